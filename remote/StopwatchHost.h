#pragma once
// What the remote server may use of the main window: the stopwatch operations and a read-only
// view of the panels. The window implements it; the server never sees a widget.
#include <QString>
#include <array>
#include <functional>

struct ClockView {
    int number = 0;             // 1..4
    bool active = false;        // "Aktywny"
    QString name;
    QString time;               // as the time field shows it: "12:34", "-5:30", or empty
    bool highlight = false;     // time field in red
    bool displayOff = false;
    QString voltage;            // "12,28 V"
    bool voltageLow = false;
    int link = 0;               // link gauge, 0..100
    bool linkMissed = false;    // the gauge turned red by an unanswered frame
    bool rtc = false;           // real-time-clock mode
    bool silent = false;        // three frames unanswered (not in the API's document)
    int brightness = 3;         // the slider, 0..3 (not in the API's document)
};

struct PanelView {
    bool connected = false;     // the port is open
    bool polling = false;       // traffic runs (no maintenance dialog open)
    QString status;             // "POŁĄCZONY" / "ROZŁĄCZONY"
    int target = 0;             // 0 "W" (all clocks), 1..4
    QString minutes;            // Medit
    QString seconds;            // Sedit
    int pending = 0;            // queued command: 0 none, 1 start, 2 stop, 3 set
    std::array<ClockView, 4> clocks{};
};

enum class StopwatchAction { Start, Stop, Set, Zero, Preset, Target };

struct StopwatchCommand {
    StopwatchAction action = StopwatchAction::Start;
    int target = -1;            // -1 keeps the selected target, 0 "W", 1..4 a clock
    QString minutes;            // Set: as typed; Preset: the preset's minutes ("10")
    QString seconds;            // Set only
};

struct CommandOutcome {
    enum class Code { Done, Disconnected, Paused, BadInput };
    Code code = Code::Done;
    QString message;            // Polish, for the operator on the page
    bool ok() const { return code == Code::Done; }
};

class StopwatchHost {
public:
    virtual PanelView panelView() const = 0;
    // Does what the window's own controls do, or refuses with nothing queued.
    virtual CommandOutcome runStopwatchCommand(const StopwatchCommand& command) = 0;
    // `changed` is called (on the user-interface thread) whenever what panelView() shows may
    // have changed; an empty function stops the calls.
    virtual void watchPanels(std::function<void()> changed) = 0;

protected:
    ~StopwatchHost() = default;
};
