#include "serial/NetworkBackend.h"

#include <algorithm>
#include <cerrno>
#include <sys/socket.h>

#include "serial/NetLink.h"

NetworkBackend::NetworkBackend(const std::string& portName, bool& deviceLost) : name_(portName), deviceLost_(deviceLost) {}

NetworkBackend::~NetworkBackend() = default;

int NetworkBackend::open(std::string& detail)
{
    const std::optional<net::Address> address = net::parseAddress(name_);
    if (!address) {
        detail = "Błędny adres portu sieciowego: " + name_;
        return EINVAL;
    }
    link_ = std::make_unique<net::Link>(*address);
    return link_->open(net::Clock::now() + net::ConnectLimit, detail);
}

void NetworkBackend::cancel()
{
    if (link_)
        link_->cancel();
}

int NetworkBackend::fd() const { return link_ ? link_->fd() : -1; }

void NetworkBackend::applyLineSettings(const TCustomComPort& port, std::string&)
{
    // Raw TCP carries bytes only: the device server keeps its own line settings.
    if (!link_->address().comPort)
        return;
    net::Link::LineRequest r;
    r.baud = static_cast<uint32_t>(BaudRateToInt(port.BaudRate(), port.CustomBaudRate()));
    r.dataSize = static_cast<uint8_t>(5 + static_cast<int>(port.DataBits()));
    static constexpr uint8_t parities[] = {telnet::value::ParityNone, telnet::value::ParityOdd, telnet::value::ParityEven,
                                           telnet::value::ParityMark, telnet::value::ParitySpace};
    r.parity = parities[std::min<unsigned>(port.Parity().Bits(), 4)];
    static constexpr uint8_t stops[] = {telnet::value::StopOne, telnet::value::StopOneAndHalf, telnet::value::StopTwo};
    r.stopSize = stops[std::min<unsigned>(port.StopBits(), 2)];
    const TComFlowControl& f = port.FlowControl();
    if (f.OutCTSFlow() || f.ControlRTS() == rtsHandshake)
        r.flow = telnet::value::FlowHardware;
    else if (f.XonXoffOut() || f.XonXoffIn())
        r.flow = telnet::value::FlowXonXoff;
    else
        r.flow = telnet::value::FlowNone;
    r.dtr = f.ControlDTR() != dtrDisable;
    r.rts = f.ControlRTS() == rtsEnable;
    std::string detail;
    const int e = link_->negotiate(r, net::Clock::now() + net::ConnectLimit, detail);
    if (e != 0)
        throw EComPort(peLineSettings, e, detail);
}

int NetworkBackend::purge()
{
    link_->purge();
    return 0;
}

size_t NetworkBackend::write(const ByteString& text, std::optional<Clock::time_point> deadline)
{
    size_t sent = 0;
    const int e = link_->sendData(text, deadline, sent);
    if (e != 0) {
        if (EComPort::IsDeviceGoneError(e))
            deviceLost_ = true;
        throw EComPort(peWrite, e);
    }
    return sent;
}

void NetworkBackend::pump(uint16_t code)
{
    const int e = link_->pump();
    if (e != 0 && link_->data().empty()) {
        deviceLost_ = EComPort::IsDeviceGoneError(e);
        throw EComPort(code, e);
    }
}

ByteString NetworkBackend::read(size_t count)
{
    pump(peRead);
    ByteString& queued = link_->data();
    ByteString work = queued.substr(0, count);
    queued.erase(0, work.size());
    return work;
}

int NetworkBackend::receivedCount()
{
    // The socket's bytes pass the Telnet layer first: only data counts.
    pump(peLineStatus);
    return static_cast<int>(std::min<size_t>(link_->data().size(), 1 << 30));
}

TCustomComPort::ModemLines NetworkBackend::readModemLines()
{
    const uint8_t m = link_->session().modemState();
    return TCustomComPort::ModemLines{(m & 0x10) != 0, (m & 0x20) != 0, (m & 0x40) != 0, (m & 0x80) != 0};
}

int NetworkBackend::hangUpError(int fallBack) const
{
    int e = 0;
    socklen_t len = sizeof e;
    if (getsockopt(fd(), SOL_SOCKET, SO_ERROR, &e, &len) != 0 || e == 0)
        return fallBack;
    return e;
}
