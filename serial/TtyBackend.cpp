#include "serial/TtyBackend.h"

#include <algorithm>
#include <cerrno>
#include <poll.h>
#include <unistd.h>

TtyBackend::TtyBackend(const std::string& portName, bool& deviceLost)
    : path_(!portName.empty() && portName[0] == '/' ? portName : "/dev/" + portName), deviceLost_(deviceLost)
{
}

TtyBackend::~TtyBackend()
{
    if (fd_ < 0)
        return;
    // The tty may stay open elsewhere (a pty's other side): what it still holds must not
    // greet our next open.
    tty::flushBoth(fd_);
    tty::restoreRs485(fd_, rs485_);
    tty::closeExclusive(fd_);
}

int TtyBackend::open(std::string&)
{
    int fd = -1;
    const int e = tty::openExclusive(path_, fd);
    if (e == 0)
        fd_ = fd;
    return e;
}

void TtyBackend::applyLineSettings(const TCustomComPort& port, std::string& notice)
{
    const TComFlowControl& f = port.FlowControl();
    tty::LineSettings s;
    s.baud = BaudRateToInt(port.BaudRate(), port.CustomBaudRate());
    s.dataBits = 5 + static_cast<int>(port.DataBits());
    s.stopBits = static_cast<int>(port.StopBits());
    s.parity = static_cast<int>(port.Parity().Bits());
    s.parityCheck = port.Parity().Check();
    // Linux has one switch for both directions of the RTS/CTS handshake.
    s.hardwareFlow = f.OutCTSFlow() || f.ControlRTS() == rtsHandshake;
    s.xonXoffOut = f.XonXoffOut();
    s.xonXoffIn = f.XonXoffIn();
    s.xonChar = f.XonChar();
    s.xoffChar = f.XoffChar();
    int e = tty::applyLineSettings(fd_, s);
    if (e != 0)
        throw EComPort(peLineSettings, e);

    // DTR: there is no DTR handshake on Linux; Handshake holds the line on, as "ready".
    e = tty::setDtr(fd_, f.ControlDTR() != dtrDisable);
    if (e != 0)
        throw EComPort(peLineSettings, e);
    switch (f.ControlRTS()) {
    case rtsDisable:
    case rtsEnable:
        tty::restoreRs485(fd_, rs485_);
        e = tty::setRts(fd_, f.ControlRTS() == rtsEnable);
        // RTS held on by choice is not for the driver to drop after each frame.
        if (e == 0 && port.KernelRs485() && f.ControlRTS() == rtsDisable)
            e = tty::requestRs485(fd_, rs485_, notice);
        break;
    case rtsHandshake:
        tty::restoreRs485(fd_, rs485_);
        break;  // driven by the driver (CRTSCTS)
    case rtsToggle:
        e = tty::setRts(fd_, false);
        if (e == 0)
            e = tty::enableRs485(fd_, rs485_);
        break;
    }
    if (e != 0)
        throw EComPort(peLineSettings, e);
}

int TtyBackend::purge() { return tty::flushBoth(fd_); }

size_t TtyBackend::write(const ByteString& text, std::optional<Clock::time_point> deadline)
{
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(fd_, text.data() + done, text.size() - done);
        if (n > 0) {
            done += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
            const int e = errno;
            if (EComPort::IsDeviceGoneError(e))
                deviceLost_ = true;
            throw EComPort(peWrite, e);
        }
        // The driver's queue is full: wait for room, at most until the deadline.
        int waitMs = -1;
        if (deadline) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(*deadline - Clock::now()).count();
            if (left <= 0)
                break;
            waitMs = static_cast<int>(std::min<int64_t>(left, 1 << 30));
        }
        pollfd p{fd_, POLLOUT, 0};
        const int r = ::poll(&p, 1, waitMs);
        if (r < 0 && errno == EINTR)
            continue;
        if (r < 0)
            throw EComPort(peWrite, errno);
        if (r == 0)
            break;  // time-out: not a failure, the smaller count is the result
        if ((p.revents & (POLLERR | POLLHUP | POLLNVAL)) && !(p.revents & POLLOUT)) {
            deviceLost_ = true;
            throw EComPort(peWrite, EIO);
        }
    }
    return done;
}

ByteString TtyBackend::read(size_t count)
{
    ByteString work(count, '\0');
    size_t got = 0;
    while (got < work.size()) {
        const ssize_t n = ::read(fd_, work.data() + got, work.size() - got);
        if (n > 0) {
            got += static_cast<size_t>(n);
            continue;
        }
        if (n == 0) {
            // VMIN 0 / VTIME 0: nothing more has arrived, or the tty was hung up, which
            // reads as 0 for ever; the driver tells the two apart.
            int waiting = 0;
            const int e = tty::inputCount(fd_, waiting);
            if (e != 0 && tty::isDeviceGone(e)) {
                deviceLost_ = true;
                throw EComPort(peRead, e);
            }
            break;
        }
        if (errno == EINTR)
            continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK)
            break;
        throw EComPort(peRead, errno);
    }
    work.resize(got);
    return work;
}

int TtyBackend::receivedCount()
{
    int count = 0;
    const int e = tty::inputCount(fd_, count);
    if (e != 0)
        throw EComPort(peLineStatus, e);
    return count;
}

TComErrors TtyBackend::readLineErrors(bool parityCheck)
{
    tty::LineErrorCounts now;
    const int e = tty::readLineErrorCounts(fd_, now);
    if (e != 0)
        throw EComPort(peLineStatus, e);
    // The driver counts; a rise since the last read is a new error.
    const uint32_t counts[5] = {now.frame, now.parity, now.overrun, now.brk, now.bufOverrun};
    const TComError kinds[5] = {ceFrame, ceRxParity, ceOverrun, ceBreak, ceRxOver};
    TComErrors errors;
    for (int i = 0; i < 5; ++i) {
        if (counts[i] != lastErrorCounts_[i] && (kinds[i] != ceRxParity || parityCheck))
            errors.Include(kinds[i]);
        lastErrorCounts_[i] = counts[i];
    }
    return errors;
}

TCustomComPort::ModemLines TtyBackend::readModemLines()
{
    tty::ModemBits bits;
    const int e = tty::readModemLines(fd_, bits);
    if (e != 0)
        throw EComPort(peModemLines, e);
    return TCustomComPort::ModemLines{bits.cts, bits.dsr, bits.ring, bits.rlsd};
}

int TtyBackend::goneOnReadiness() const
{
    // A tty that vanished may still look readable; the driver's answer tells.
    int count = 0;
    const int e = tty::inputCount(fd_, count);
    return e != 0 && tty::isDeviceGone(e) ? e : 0;
}
