#pragma once
// What the maintenance dialogs may use of the main window, and no more. The window implements
// these; the dialogs hold one of them instead of the window itself.
#include <QStringList>
#include <cstdint>
#include <functional>

#include "base/Bytes.h"

class QTimer;
class QWidget;
class LinkTraffic;
class TDataFile;
struct LinkState;

// Every dialog: the window it sits on, and the window's exception guard for its handlers.
class WindowHost {
public:
    virtual QWidget* hostWindow() = 0;
    // Runs a handler; what it raises goes to the window's exception handler.
    virtual void guard(const std::function<void()>& handler) noexcept = 0;

protected:
    ~WindowHost() = default;
};

// Dialogs that put their own frames on the bus while polling is paused.
class BusHost : public virtual WindowHost {
public:
    virtual LinkState& linkState() = 0;
    virtual void SendFrame(uint8_t address, const ByteString& data) = 0;
    virtual void PausePolling() = 0;
    virtual void ResumePolling() = 0;
    virtual bool portOpen() const = 0;
    // The 100 ms tick, for a dialog that must notice when ticks stop coming.
    virtual QTimer* tickTimer() = 0;

protected:
    ~BusHost() = default;
};

// The firmware update: the bus, plus the shared image buffer and its file loader.
class FirmwareHost : public virtual BusHost {
public:
    virtual TDataFile& dataFile() = 0;
    virtual uint8_t* configBuffer() = 0;
    virtual bool LoadTaggedFile(TDataFile& file, const char* tag) = 0;

protected:
    ~FirmwareHost() = default;
};

// The port list: the window's two lists and their refresh.
class PortListHost : public virtual WindowHost {
public:
    virtual const QStringList& portNames() const = 0;
    virtual const QStringList& portDevices() const = 0;
    virtual void FillPortCombo() = 0;

protected:
    ~PortListHost() = default;
};

// The bus monitor: watching the traffic.
class MonitorHost : public virtual WindowHost {
public:
    // The window's traffic signals; a watcher connects for as long as it lives.
    virtual LinkTraffic* linkTraffic() = 0;
    // "Dziennik zdarzeń…": the window's event log.
    virtual void showEventLog() {}

protected:
    ~MonitorHost() = default;
};
