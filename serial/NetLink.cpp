#include "serial/NetLink.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QSocketNotifier>
#include <QThread>
#include <QTimer>
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <thread>
#include <vector>

namespace net {

namespace {

bool startsWithNoCase(const std::string& s, const char* prefix)
{
    const size_t n = std::strlen(prefix);
    if (s.size() < n)
        return false;
    for (size_t i = 0; i < n; ++i)
        if (std::tolower(static_cast<unsigned char>(s[i])) != prefix[i])
            return false;
    return true;
}

int msLeft(Clock::time_point deadline)
{
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return static_cast<int>(std::clamp<int64_t>(left, 0, 1 << 30));
}

// The outcome of one name resolution, shared with its thread: a resolution that outlives its
// limit finishes on its own and frees this.
struct Resolution {
    std::mutex lock;
    bool done = false;
    int rc = 0;
    std::vector<sockaddr_storage> addresses;
    std::vector<unsigned> lengths;
    UniqueFd wake{eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)};
};

void collect(addrinfo* list, std::vector<sockaddr_storage>& out, std::vector<unsigned>& lengths)
{
    for (addrinfo* a = list; a; a = a->ai_next) {
        if (a->ai_addrlen > sizeof(sockaddr_storage))
            continue;
        sockaddr_storage s{};
        std::memcpy(&s, a->ai_addr, a->ai_addrlen);
        out.push_back(s);
        lengths.push_back(static_cast<unsigned>(a->ai_addrlen));
    }
}

} // namespace

bool isNetworkName(const std::string& name)
{
    return startsWithNoCase(name, "tcp://") || startsWithNoCase(name, "rfc2217://");
}

std::optional<Address> parseAddress(const std::string& name)
{
    Address a;
    std::string rest;
    if (startsWithNoCase(name, "tcp://")) {
        rest = name.substr(6);
    } else if (startsWithNoCase(name, "rfc2217://")) {
        a.comPort = true;
        rest = name.substr(10);
    } else {
        return std::nullopt;
    }
    std::string port;
    if (!rest.empty() && rest[0] == '[') {
        const size_t close = rest.find(']');
        if (close == std::string::npos || close + 1 >= rest.size() || rest[close + 1] != ':')
            return std::nullopt;
        a.host = rest.substr(1, close - 1);
        port = rest.substr(close + 2);
    } else {
        const size_t colon = rest.rfind(':');
        if (colon == std::string::npos)
            return std::nullopt;
        a.host = rest.substr(0, colon);
        port = rest.substr(colon + 1);
        if (a.host.find(':') != std::string::npos)
            return std::nullopt;  // an IPv6 literal needs its brackets
    }
    if (a.host.empty() || a.host.size() > 253 || port.empty() || port.size() > 5)
        return std::nullopt;
    for (char c : a.host)
        if (static_cast<unsigned char>(c) <= ' ' || c == '/' || c == '@' || c == '[' || c == ']')
            return std::nullopt;
    unsigned value = 0;
    for (char c : port) {
        if (c < '0' || c > '9')
            return std::nullopt;
        value = value * 10 + static_cast<unsigned>(c - '0');
    }
    if (value == 0 || value > 65535)
        return std::nullopt;
    a.port = static_cast<uint16_t>(value);
    return a;
}

Link::Link(Address address) : address_(std::move(address)), session_(address_.comPort) {}

Link::~Link() = default;

void Link::cancel()
{
    cancelled_ = true;
    if (waiting_)
        waiting_->quit();
}

int Link::wait(int fd, short events, Clock::time_point deadline)
{
    if (cancelled_)
        return -1;
    QCoreApplication* app = QCoreApplication::instance();
    if (!app || QThread::currentThread() != app->thread()) {
        pollfd p{fd, events, 0};
        for (;;) {
            const int r = ::poll(&p, 1, msLeft(deadline));
            if (r < 0 && errno == EINTR)
                continue;
            return r <= 0 ? 0 : p.revents;
        }
    }
    // On the user-interface thread: its events go on being handled while we wait.
    for (;;) {
        pollfd p{fd, events, 0};
        if (::poll(&p, 1, 0) > 0)
            return p.revents;
        if (Clock::now() >= deadline)
            return 0;
        QEventLoop loop;
        QSocketNotifier notifier(fd, (events & POLLOUT) ? QSocketNotifier::Write : QSocketNotifier::Read);
        QObject::connect(&notifier, &QSocketNotifier::activated, &loop, &QEventLoop::quit);
        QTimer timer;
        timer.setSingleShot(true);
        timer.setTimerType(Qt::PreciseTimer);
        QObject::connect(&timer, &QTimer::timeout, &loop, &QEventLoop::quit);
        timer.start(std::max(1, msLeft(deadline)));
        QEventLoop* const outer = waiting_;
        waiting_ = &loop;
        loop.exec();
        waiting_ = outer;
        if (cancelled_)
            return -1;
    }
}

int Link::resolve(Clock::time_point deadline, std::string& detail, std::vector<sockaddr_storage>& out,
                  std::vector<unsigned>& lengths)
{
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    const std::string service = std::to_string(address_.port);

    // A numeric address needs no resolver.
    addrinfo numericHints = hints;
    numericHints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV;
    addrinfo* list = nullptr;
    if (getaddrinfo(address_.host.c_str(), service.c_str(), &numericHints, &list) == 0) {
        collect(list, out, lengths);
        freeaddrinfo(list);
        return 0;
    }

    auto shared = std::make_shared<Resolution>();
    if (!shared->wake.valid())
        return errno;
    const std::string host = address_.host;
    std::thread([shared, host, service, hints] {
        addrinfo* found = nullptr;
        const int rc = getaddrinfo(host.c_str(), service.c_str(), &hints, &found);
        std::lock_guard<std::mutex> guard(shared->lock);
        shared->rc = rc;
        if (rc == 0) {
            collect(found, shared->addresses, shared->lengths);
            freeaddrinfo(found);
        }
        shared->done = true;
        const uint64_t one = 1;
        [[maybe_unused]] const ssize_t n = ::write(shared->wake.get(), &one, sizeof one);
    }).detach();

    for (;;) {
        {
            std::lock_guard<std::mutex> guard(shared->lock);
            if (shared->done)
                break;
        }
        const int r = wait(shared->wake.get(), POLLIN, deadline);
        if (r < 0) {
            detail = "Otwieranie przerwane";
            return ECANCELED;
        }
        if (r == 0) {
            std::lock_guard<std::mutex> guard(shared->lock);
            if (shared->done)
                break;
            detail = "Nie udało się ustalić adresu „" + address_.host + "” w ciągu 3 s";
            return ETIMEDOUT;
        }
    }
    std::lock_guard<std::mutex> guard(shared->lock);
    if (shared->rc != 0 || shared->addresses.empty()) {
        detail = "Nie znaleziono komputera „" + address_.host + "”";
        return EHOSTUNREACH;
    }
    out = shared->addresses;
    lengths = shared->lengths;
    return 0;
}

int Link::open(Clock::time_point deadline, std::string& detail)
{
    std::vector<sockaddr_storage> addresses;
    std::vector<unsigned> lengths;
    int e = resolve(deadline, detail, addresses, lengths);
    if (e != 0)
        return e;
    const std::string where = address_.host + ":" + std::to_string(address_.port);
    e = EHOSTUNREACH;
    for (size_t i = 0; i < addresses.size(); ++i) {
        const auto* sa = reinterpret_cast<const sockaddr*>(&addresses[i]);
        UniqueFd s(::socket(sa->sa_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, IPPROTO_TCP));
        if (!s.valid()) {
            e = errno;
            continue;
        }
        if (::connect(s.get(), sa, lengths[i]) != 0) {
            if (errno != EINPROGRESS) {
                e = errno;
                continue;
            }
            const int r = wait(s.get(), POLLOUT, deadline);
            if (r < 0) {
                detail = "Otwieranie przerwane";
                return ECANCELED;
            }
            if (r == 0) {
                e = ETIMEDOUT;
                break;
            }
            int soError = 0;
            socklen_t len = sizeof soError;
            if (getsockopt(s.get(), SOL_SOCKET, SO_ERROR, &soError, &len) != 0)
                soError = errno;
            if (soError != 0) {
                e = soError;
                continue;
            }
        }
        // Small frames go at once; a server that vanished is noticed whether the link is idle
        // (keepalive probes) or has data in flight (user time-out).
        const int on = 1, idle = 3, interval = 2, probes = 3;
        const unsigned userTimeout = DeadPeerSeconds * 1000;
        setsockopt(s.get(), IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        setsockopt(s.get(), SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
        setsockopt(s.get(), IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle);
        setsockopt(s.get(), IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof interval);
        setsockopt(s.get(), IPPROTO_TCP, TCP_KEEPCNT, &probes, sizeof probes);
        setsockopt(s.get(), IPPROTO_TCP, TCP_USER_TIMEOUT, &userTimeout, sizeof userTimeout);
        fd_ = std::move(s);
        data_.clear();
        wire_.clear();
        held_.clear();
        heldSource_ = 0;
        eof_ = false;
        e = sendCommand(session_.greeting(), deadline);
        if (e != 0) {
            fd_.reset();
            detail = "Serwer " + where + " zerwał połączenie";
        }
        return e;
    }
    if (e == ECONNREFUSED)
        detail = "Serwer " + where + " odmówił połączenia";
    else if (e == ETIMEDOUT)
        detail = "Serwer " + where + " nie odpowiedział w ciągu 3 s";
    else
        detail = "Nie można połączyć się z " + where;
    return e;
}

int Link::pump()
{
    if (!fd_.valid())
        return EBADF;
    char buf[4096];
    for (;;) {
        const ssize_t n = ::recv(fd_.get(), buf, sizeof buf, MSG_DONTWAIT);
        if (n > 0) {
            session_.receive(buf, static_cast<size_t>(n), data_);
            continue;
        }
        if (n == 0) {
            eof_ = true;
            break;
        }
        if (errno == EINTR)
            continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK)
            break;
        return errno;
    }
    if (!session_.suspended() && !held_.empty()) {
        wire_ += held_;
        held_.clear();
        heldSource_ = 0;
    }
    wire_ += session_.takeOutgoing();
    if (!wire_.empty() && !eof_) {
        // Answers are a few bytes; what the socket cannot take within this goes with the next
        // send, never dropped and never cut into by other bytes.
        const int e = flush(Clock::now() + std::chrono::milliseconds(100));
        if (e != 0)
            return e;
        if (wire_.size() > WireLimit)
            return ETIMEDOUT;
    }
    if (session_.binaryRefused())
        return EPROTO;
    return eof_ && data_.empty() ? ECONNRESET : 0;
}

int Link::flush(std::optional<Clock::time_point> deadline)
{
    if (wire_.empty())
        return 0;
    size_t sent = 0;
    const int e = writeWire(wire_.data(), wire_.size(), deadline, sent);
    wire_.erase(0, sent);
    return e;
}

int Link::sendCommand(const ByteString& frame, Clock::time_point deadline)
{
    if (!fd_.valid())
        return EBADF;
    wire_ += frame;
    const int e = flush(deadline);
    if (e != 0)
        return e;
    return wire_.empty() ? 0 : ETIMEDOUT;
}

int Link::sendData(const ByteString& data, std::optional<Clock::time_point> deadline, size_t& accepted)
{
    accepted = 0;
    if (!fd_.valid())
        return EBADF;
    if (!address_.comPort)
        return writeWire(data.data(), data.size(), deadline, accepted);
    if (session_.suspended()) {
        const size_t n = std::min(data.size(), HeldLimit - std::min(HeldLimit, heldSource_));
        held_ += telnet::escape(data.substr(0, n));
        heldSource_ += n;
        accepted = n;
        return 0;
    }
    if (!held_.empty()) {
        wire_ += held_;
        held_.clear();
        heldSource_ = 0;
    }
    int e = flush(deadline);
    if (e != 0 || !wire_.empty())
        return e;  // still owed at the deadline: nothing of this write went
    const ByteString raw = telnet::escape(data);
    size_t sent = 0;
    e = writeWire(raw.data(), raw.size(), deadline, sent);
    accepted = telnet::sourceBytesSent(data, sent);
    // Cut between the two halves of a doubled 0xFF: the second half is owed, so that nothing
    // (an option answer, a command, the next write) lands between them; the byte counts as sent.
    if (accepted < data.size() && telnet::escape(data.substr(0, accepted)).size() < sent) {
        wire_.push_back(static_cast<char>(telnet::IAC));
        ++accepted;
    }
    return e;
}

int Link::writeWire(const char* raw, size_t size, std::optional<Clock::time_point> deadline, size_t& sent)
{
    sent = 0;
    while (sent < size) {
        const ssize_t n = ::send(fd_.get(), raw + sent, size - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            sent += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK)
            return errno;
        // The socket's queue is full: a plain wait, as a tty write waits for room.
        pollfd p{fd_.get(), POLLOUT, 0};
        const int r = ::poll(&p, 1, deadline ? msLeft(*deadline) : -1);
        if (r < 0 && errno == EINTR)
            continue;
        if (r < 0)
            return errno;
        if (r == 0)
            return 0;
        if ((p.revents & (POLLERR | POLLHUP | POLLNVAL)) && !(p.revents & POLLOUT)) {
            int soError = 0;
            socklen_t len = sizeof soError;
            getsockopt(fd_.get(), SOL_SOCKET, SO_ERROR, &soError, &len);
            return soError ? soError : EPIPE;
        }
    }
    return 0;
}

int Link::negotiate(const LineRequest& request, Clock::time_point deadline, std::string& detail)
{
    using telnet::Session;
    struct Wanted {
        telnet::ComCommand cmd;
        ByteString value;
        ByteString frame;
        uint32_t before;
        bool awaited;
    };
    ByteString baud(4, '\0');
    for (int i = 0; i < 4; ++i)
        baud[i] = static_cast<char>((request.baud >> (24 - 8 * i)) & 0xFF);
    std::vector<Wanted> wanted;
    auto add = [&](telnet::ComCommand cmd, const ByteString& value, bool awaited = true) {
        wanted.push_back({cmd, value, Session::command(cmd, value), 0, awaited});
    };
    auto one = [](uint8_t v) { return ByteString(1, static_cast<char>(v)); };
    add(telnet::cpSetBaudRate, baud);
    add(telnet::cpSetDataSize, one(request.dataSize));
    add(telnet::cpSetParity, one(request.parity));
    add(telnet::cpSetStopSize, one(request.stopSize));
    add(telnet::cpSetControl, one(request.flow));
    // A server whose line has no modem lines (a pseudo-terminal behind it) leaves these
    // unanswered, as a tty without them refuses the request: not a failure.
    add(telnet::cpSetControl, one(request.dtr ? telnet::value::DtrOn : telnet::value::DtrOff), false);
    add(telnet::cpSetControl, one(request.rts ? telnet::value::RtsOn : telnet::value::RtsOff), false);

    // One SET-CONTROL answer is awaited at a time, since the answers do not say which request
    // they belong to.
    for (Wanted& w : wanted) {
        w.before = session_.answer(w.cmd).count;
        int e = sendCommand(w.frame, deadline);
        if (e != 0) {
            detail = "Serwer zerwał połączenie";
            return e;
        }
        while (w.awaited) {
            e = pump();
            if (session_.binaryRefused()) {
                detail = "Serwer nie zgodził się na przesyłanie binarne (RFC 856): ramki zegarów "
                         "nie przeszłyby bez zmian";
                return EPROTO;
            }
            if (e != 0 && !(e == ECONNRESET && !eof_)) {
                detail = "Serwer zerwał połączenie";
                return e;
            }
            if (eof_) {
                detail = "Serwer zerwał połączenie";
                return ECONNRESET;
            }
            if (session_.comPortRefused()) {
                detail = "Serwer nie obsługuje sterowania portem (RFC 2217)";
                return EPROTO;
            }
            const Session::Answer& a = session_.answer(w.cmd);
            if (a.count != w.before) {
                if (a.value != w.value) {
                    detail = "Serwer nie przyjął ustawień łącza";
                    return EPROTO;
                }
                break;
            }
            if (Clock::now() >= deadline) {
                detail = "Serwer nie potwierdził ustawień łącza w ciągu 3 s";
                return ETIMEDOUT;
            }
            // Short slices: while the port is open its event thread may take the answer first.
            const int r = wait(fd_.get(), POLLIN, std::min(deadline, Clock::now() + std::chrono::milliseconds(20)));
            if (r < 0) {
                detail = "Otwieranie przerwane";
                return ECANCELED;
            }
        }
    }
    return 0;
}

void Link::purge()
{
    data_.clear();
    // Held data is our own transmit queue: it goes with the server's.
    held_.clear();
    heldSource_ = 0;
    if (!fd_.valid() || !address_.comPort)
        return;
    sendCommand(telnet::Session::setByte(telnet::cpPurgeData, telnet::value::PurgeBoth),
                Clock::now() + std::chrono::milliseconds(100));
}

} // namespace net
