#pragma once
// What differs between a tty and a network port. The port object (serial/ComPort.h) picks one
// back end per open, by the port's name, and keeps everything the two share: the settings and
// their checks, the write deadline, the deliveries, the error table. A back end reports a
// failure as an EComPort with the port's codes, as the port itself would.
#include <chrono>
#include <cstddef>
#include <memory>
#include <optional>
#include <string>

#include "serial/ComPort.h"

class PortBackend {
public:
    using Clock = std::chrono::steady_clock;

    virtual ~PortBackend() = default;  // releases whatever is open
    PortBackend() = default;
    PortBackend(const PortBackend&) = delete;
    PortBackend& operator=(const PortBackend&) = delete;

    virtual bool isNetwork() const = 0;

    // 0, or the errno of the failure with an explanation (possibly empty) in `detail`. A
    // network back end waits for its server here with the event loop running.
    virtual int open(std::string& detail) = 0;
    // Ends a wait in open() or applyLineSettings() from inside the event loop it runs.
    virtual void cancel() {}
    // The tty's or socket's descriptor, -1 until open() succeeded.
    virtual int fd() const = 0;

    // Hands the port's framing, speed and flow control to the device. A mode the operator asked
    // for that the device went on without leaves a Polish `notice`.
    virtual void applyLineSettings(const TCustomComPort& port, std::string& notice) = 0;
    // Discards both queues before the close; 0 or the errno.
    virtual int purge() = 0;

    // Writes all of `text` or what the deadline (none: no limit) allows; the count written.
    virtual size_t write(const ByteString& text, std::optional<Clock::time_point> deadline) = 0;
    // At most `count` bytes that have already arrived; never waits.
    virtual ByteString read(size_t count) = 0;
    virtual int receivedCount() = 0;
    // Line errors new since the last call; parity errors only when they are checked.
    virtual TComErrors readLineErrors(bool parityCheck) = 0;
    virtual TCustomComPort::ModemLines readModemLines() = 0;

    // The event thread's side: called on that thread while it waits on fd(). They only ask the
    // kernel about the descriptor, which stays open until the thread has ended.
    // The far end can close its side (a server), which shows as a read hang-up.
    virtual bool peerCanClose() const = 0;
    // On readiness: the errno when the device turns out to be gone, else 0.
    virtual int goneOnReadiness() const = 0;
    // After a hang-up: the error behind it, else `fallBack`.
    virtual int hangUpError(int fallBack) const = 0;
};

// The back end a port name calls for ("tcp://", "rfc2217://": network; anything else: a tty).
// `deviceLost` is the port's flag, raised when I/O finds the device gone.
std::unique_ptr<PortBackend> makePortBackend(const std::string& portName, bool& deviceLost);
