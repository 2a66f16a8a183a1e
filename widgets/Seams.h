#pragma once
// The few places where the program meets the desktop and the clock on the wall: message boxes,
// the beep, blocking pauses, file choice, the local time and the clock's discipline. Tests
// replace them; the program uses the defaults. The paths are files/ConfigPaths.h, the tick's
// pace link/Tick.h, the event log's entry unattended/EventLog.h.
#include <QString>
#include <cstdint>
#include <functional>
#include <string>

#include "base/ClockSync.h"

class QWidget;

enum class MsgKind { Plain, Information, Warning, Error };

struct Seams {
    // A modal box with a single OK, window title "Kadrel".
    std::function<void(MsgKind kind, const QString& text)> showMessage;
    // A box that holds nothing: it returns at once, with a number for dismissNotice. Unset:
    // showMessage (the tests' recorder), number 0. The program sets the real one at start.
    std::function<int(MsgKind kind, const QString& text)> showNotice;
    std::function<void(int notice)> dismissNotice;
    std::function<void()> beep;
    // A real blocking pause of the user-interface thread (no events handled).
    std::function<void(int ms)> pause;
    // The firmware dialog's file choice: a path, or empty when cancelled.
    std::function<QString(QWidget* parent)> chooseFirmwareFile;
    // The bus monitor's "Zapisz…" choice: a path, or empty when cancelled. Unset: a file dialog.
    std::function<QString(QWidget* parent)> chooseMonitorLogFile;
    // The plan's "Eksportuj plan…" (forSaving) and "Importuj plan…" choice. Unset: a file dialog.
    std::function<QString(QWidget* parent, bool forSaving)> choosePlanFile;
    // The plan's "Importuj święta (.ics)" choice. Unset: a file dialog.
    std::function<QString(QWidget* parent)> chooseHolidayFile;
    // "hh:mm:ss", 24-hour, of the PC's local time.
    std::function<std::string()> localTimeOfDay;
    // The wall clock (CLOCK_REALTIME), microseconds since the epoch: the tick is aligned to it.
    std::function<int64_t()> wallClockUs;
    // adjtimex() without changing anything.
    std::function<ClockSyncReading()> readClockSync;
    // Opens a web address in the system's browser.
    std::function<void(const QString& url)> openUrl;
};

Seams& seams();
// Back to the defaults, with the path roots and the tick's pace.
void resetSeams();

void ShowMessage(MsgKind kind, const QString& text);
// For the main window's reports, which must never hold the tick, the reconnect or the server
// until somebody clicks OK. The number closes the box again (DismissNotice), 0 does nothing.
int ShowNotice(MsgKind kind, const QString& text);
void DismissNotice(int notice);
void Beep();
void Pause(int ms);
