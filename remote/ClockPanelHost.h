#pragma once
// The clock panels' own controls that the remote API and the broker link may set: the
// RTC/Stoper buttons, "Wył", the brightness slider and "D". The window implements this beside
// StopwatchHost, driving the same controls, so the tick's frames are the controls' own.
#include "remote/StopwatchHost.h"

struct ClockCommand {
    enum class Control { Mode, Display, Brightness, Direction };
    Control control = Control::Mode;
    int clock = 1;  // 1..4
    // Mode: 1 RTC, 0 Stoper; Display: 1 on, 0 off; Brightness: 0..3; Direction: 1 down, 0 up
    int value = 0;
};

class ClockPanelHost {
public:
    // Sets the control as a click would, or refuses with nothing changed.
    virtual CommandOutcome runClockCommand(const ClockCommand& command) = 0;

protected:
    ~ClockPanelHost() = default;
};
