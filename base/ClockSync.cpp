#include "base/ClockSync.h"

#include <sys/timex.h>

ClockSyncReading readClockSync()
{
    timex t{};
    ClockSyncReading r;
    const int state = adjtimex(&t);
    if (state < 0)
        return r;
    r.read = true;
    r.state = state;
    r.status = t.status;
    r.maxErrorUs = t.maxerror;
    return r;
}

bool clockSynchronised(const ClockSyncReading& reading)
{
    if (!reading.read)
        return true;
    return reading.state != TIME_ERROR && (reading.status & STA_UNSYNC) == 0 && reading.maxErrorUs < 500000;
}
