#pragma once
// The few places where the program meets the desktop and the clock on the wall: message boxes,
// the beep, blocking pauses, file choice, the local time and the paths it reads. Tests replace
// them; the program uses the defaults.
#include <QString>
#include <cstdint>
#include <functional>
#include <string>

class QWidget;

enum class MsgKind { Plain, Information, Warning, Error };

// What adjtimex says of the system clock's discipline.
struct ClockSyncReading {
    bool read = false;      // false: the call failed, nothing is known
    int state = 0;          // its return value (TIME_ERROR: not synchronised)
    int status = 0;         // STA_ bits
    long maxErrorUs = 0;    // the kernel's maximum error estimate
};
// Synchronised: no STA_UNSYNC, no TIME_ERROR, and a maximum error under half a second (the
// clocks show whole seconds). Unknown readings count as synchronised: nothing to warn about.
bool clockSynchronised(const ClockSyncReading& reading);

struct Seams {
    // A modal box with a single OK, window title "Kadrel".
    std::function<void(MsgKind kind, const QString& text)> showMessage;
    // A box that holds nothing: it returns at once, with a number for dismissNotice. Unset:
    // showMessage (the tests' recorder), number 0. The program sets the real one at start.
    std::function<int(MsgKind kind, const QString& text)> showNotice;
    std::function<void(int notice)> dismissNotice;
    // One line of the event log. Unset: nothing is logged.
    std::function<void(const QString& line)> logEvent;
    std::function<void()> beep;
    // A real blocking pause of the user-interface thread (no events handled).
    std::function<void(int ms)> pause;
    // The firmware dialog's file choice: a path, or empty when cancelled.
    std::function<QString(QWidget* parent)> chooseFirmwareFile;
    // The bus monitor's "Zapisz…" choice: a path, or empty when cancelled. Unset: a file dialog.
    std::function<QString(QWidget* parent)> chooseMonitorLogFile;
    // "hh:mm:ss", 24-hour, of the PC's local time.
    std::function<std::string()> localTimeOfDay;
    // The wall clock (CLOCK_REALTIME), microseconds since the epoch: the tick is aligned to it.
    std::function<int64_t()> wallClockUs;
    // adjtimex() without changing anything.
    std::function<ClockSyncReading()> readClockSync;
    // Opens a web address in the system's browser.
    std::function<void(const QString& url)> openUrl;
    QString sysfsRoot = QStringLiteral("/sys");
    QString virtualPortDir;   // empty: $XDG_RUNTIME_DIR/kadrel/ports or /tmp/kadrel-<uid>/ports
    QString settingsPath;     // empty: $XDG_CONFIG_HOME/kadrel/z.cf (default ~/.config)
    // The profile chosen with --profile; empty: the default configuration folder.
    QString profile;
    QString devDir = QStringLiteral("/dev");                       // watched for serial nodes
    QString byIdDir = QStringLiteral("/dev/serial/by-id");         // udev's stable port names
    // How long the port watcher gathers events before one rescan.
    int portSettleMs = 150;
    int tickIntervalMs = 100;
    // Each of the ten waits of the disconnect, during which events are handled.
    int disconnectWaitMs = 100;
};

Seams& seams();
void resetSeams();            // back to the defaults

void ShowMessage(MsgKind kind, const QString& text);
// For the main window's reports, which must never hold the tick, the reconnect or the server
// until somebody clicks OK. The number closes the box again (DismissNotice), 0 does nothing.
int ShowNotice(MsgKind kind, const QString& text);
void DismissNotice(int notice);
void LogEvent(const QString& line);
void Beep();
void Pause(int ms);
// $XDG_CONFIG_HOME/kadrel (default ~/.config/kadrel): the settings file and the files kept beside it.
// With a profile: its own folder inside, $XDG_CONFIG_HOME/kadrel/NAME.
QString configFolder();
// The network ports the operator added (serial/NetworkPorts.h), in configFolder().
QString networkPortsPath();
QString settingsFilePath();
QString virtualPortFolder();
// The chosen port's stable identity, beside the settings file.
QString portIdentityPath();
// The serial line's own switches (serial/PortOptions.h), beside the settings file.
QString portOptionsPath();
