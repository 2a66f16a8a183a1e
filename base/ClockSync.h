#pragma once
// Whether the system clock is disciplined: the clocks on the bus show the PC's time, so the
// operator is told when that time may be wrong.

// What adjtimex says of the system clock's discipline.
struct ClockSyncReading {
    bool read = false;      // false: the call failed, nothing is known
    int state = 0;          // its return value (TIME_ERROR: not synchronised)
    int status = 0;         // STA_ bits
    long maxErrorUs = 0;    // the kernel's maximum error estimate
};

// adjtimex() without changing anything.
ClockSyncReading readClockSync();
// Synchronised: no STA_UNSYNC, no TIME_ERROR, and a maximum error under half a second (the
// clocks show whole seconds). Unknown readings count as synchronised: nothing to warn about.
bool clockSynchronised(const ClockSyncReading& reading);
