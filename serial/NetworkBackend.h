#pragma once
// A port on a device server (tcp://HOST:PORT, rfc2217://HOST:PORT): the link of
// serial/NetLink.h behind the port object.
#include "serial/PortBackend.h"

namespace net { class Link; }

class NetworkBackend : public PortBackend {
public:
    NetworkBackend(const std::string& portName, bool& deviceLost);
    ~NetworkBackend() override;

    bool isNetwork() const override { return true; }
    int open(std::string& detail) override;
    void cancel() override;
    int fd() const override;
    void applyLineSettings(const TCustomComPort& port, std::string& notice) override;
    int purge() override;
    size_t write(const ByteString& text, std::optional<Clock::time_point> deadline) override;
    ByteString read(size_t count) override;
    int receivedCount() override;
    // The server keeps the line errors to itself.
    TComErrors readLineErrors(bool) override { return {}; }
    TCustomComPort::ModemLines readModemLines() override;
    bool peerCanClose() const override { return true; }
    // A server's end shows as a hang-up, not through the readiness.
    int goneOnReadiness() const override { return 0; }
    int hangUpError(int fallBack) const override;

private:
    // Reads what the socket holds; an error with nothing left to take is thrown as `code`.
    void pump(uint16_t code);

    std::string name_;
    bool& deviceLost_;
    std::unique_ptr<net::Link> link_;
};
