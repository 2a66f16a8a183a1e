#pragma once
// The clock panels' own controls the broker link may set: the RTC/Stoper buttons, "Wył" and
// the brightness slider. The remote API has no such commands; the window implements this
// beside StopwatchHost, driving the same controls, so the tick's frames are the button's.
#include "remote/StopwatchHost.h"

struct ClockCommand {
    enum class Control { Mode, Display, Brightness };
    Control control = Control::Mode;
    int clock = 1;              // 1..4
    int value = 0;              // Mode: 1 RTC, 0 Stoper; Display: 1 on, 0 off; Brightness: 0..3
};

class ClockPanelHost {
public:
    virtual CommandOutcome runClockCommand(const ClockCommand& command) = 0;

protected:
    ~ClockPanelHost() = default;
};
