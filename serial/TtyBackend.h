#pragma once
// A port on a tty: the kernel calls of serial/Termios.h behind the port object.
#include <cstdint>

#include "serial/PortBackend.h"
#include "serial/Termios.h"

class TtyBackend : public PortBackend {
public:
    // A name starting with "/" is a device path; any other means /dev/NAME.
    TtyBackend(const std::string& portName, bool& deviceLost);
    ~TtyBackend() override;

    bool isNetwork() const override { return false; }
    int open(std::string& detail) override;
    int fd() const override { return fd_; }
    void applyLineSettings(const TCustomComPort& port, std::string& notice) override;
    int purge() override;
    size_t write(const ByteString& text, std::optional<Clock::time_point> deadline) override;
    ByteString read(size_t count) override;
    int receivedCount() override;
    TComErrors readLineErrors(bool parityCheck) override;
    TCustomComPort::ModemLines readModemLines() override;
    bool peerCanClose() const override { return false; }
    int goneOnReadiness() const override;
    int hangUpError(int fallBack) const override { return fallBack; }

private:
    std::string path_;
    bool& deviceLost_;
    int fd_ = -1;
    tty::Rs485State rs485_;             // the driver's RS485 state before we changed it
    uint32_t lastErrorCounts_[5] = {};  // frame, parity, overrun, break, queue overrun
};
