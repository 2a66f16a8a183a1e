#pragma once
// The 100 ms tick: at most one frame per tick, by fixed priority — the time broadcast on every
// 60th tick, else the queued stopwatch command, else the poll of the next active clock.
// The host (the main window) supplies the controls' values and the port.
#include <cstdint>
#include <string>

#include "base/Bytes.h"
#include "link/LinkState.h"

// The pace of the window's traffic; tests shorten it.
struct TickPace {
    int intervalMs = 100;
    // Each of the ten waits of the disconnect, during which events are handled.
    int disconnectWaitMs = 100;
};
TickPace& tickPace();
void resetTickPace();

struct ClockInputs {
    bool active = false;      // "Aktywny"
    bool countDown = false;   // "D"
    bool displayOff = false;  // "Wyłącz wyświetlacz"
    int brightness = 3;       // track bar position 0..3
};

class TickHost {
public:
    virtual ~TickHost() = default;
    virtual void serviceMessages() = 0;                                  // handle pending events
    virtual void sendFrame(uint8_t address, const ByteString& data) = 0; // SendFrame
    virtual void writePort(const ByteString& frame) = 0;                 // ComPort.WriteText
    virtual ClockInputs clockInputs(int clock) = 0;
    virtual int commandTarget() = 0;                                     // 1..4, 0 for all
    virtual std::string minutesText() = 0;                               // Medit
    virtual std::string secondsText() = 0;                               // Sedit
    virtual std::string localTimeOfDay() = 0;                            // "hh:mm:ss"
};

enum class TickOutcome { Paused, Broadcast, Command, Poll, Nothing };

struct TickResult {
    TickOutcome outcome = TickOutcome::Paused;
    int clock = 0;  // the clock polled
};

constexpr uint16_t BroadcastEvery = 60;

// TimerTimer: services messages first, counts TimeoutTicks down, then sends at most one frame.
TickResult runTick(LinkState& link, TickHost& host);

uint8_t pollByte(const ClockInputs& in, bool reset);
// Two characters of a minutes or seconds field as BCD; a shorter field is padded with "0" in
// front. A non-digit throws EConvertError.
uint8_t fieldToBcd(const std::string& field);

// The tick on the wall clock. Ticks sit at a fixed offset (5 % of the interval, 5 ms at 100 ms)
// into each interval of the wall clock, so at 100 ms they fall on hh:mm:ss.x05; the tick that
// carries the time broadcast goes on the first such slot just after a whole second, so the
// time it carries is at most a few milliseconds old on the bus. Every delay is worked out
// afresh from the wall clock, so a step of the clock (NTP, a manual change, resume) is
// followed from the next tick on. No tick comes sooner than 90 % of the interval after the
// previous one, measured on the monotonic clock: an overdue tick after a blocking pause is not
// followed by another a few milliseconds later.
//   wallUs          the wall clock now, microseconds since the epoch
//   sinceLastUs     monotonic time since the previous tick (large when none)
//   broadcastNext   the coming tick sends the time broadcast
// Returns the delay to the next tick in microseconds.
int64_t nextTickDelayUs(int64_t wallUs, int64_t sinceLastUs, int intervalMs, bool broadcastNext);

// The same, for a tick that knows how late the previous one ended after the slot it stood for
// (lateUs, on the wall clock; 0 when unknown). A tick that ended late by less than half a second
// does not cost the next slot: the next tick comes as soon as the spacing allows, standing for
// that slot, and the ones after it close up, 90 % of the interval apart, until they are back on
// their slots. A lost slot would put the tick count a slot behind the wall clock, and the next
// broadcast would then wait most of a second for its own. The broadcast closes up only while
// that keeps it within 15 ms of its second.
struct TickPlan {
    int64_t delayUs = 0;      // from wallUs to the next tick
    int64_t slotWallUs = 0;   // the slot that tick stands for, to measure its lateness against
};
TickPlan planNextTick(int64_t wallUs, int64_t sinceLastUs, int intervalMs, bool broadcastNext, int64_t lateUs);
// Whether the next tick, should it find the link active, sends the time broadcast.
bool broadcastComesNext(const LinkState& link);
