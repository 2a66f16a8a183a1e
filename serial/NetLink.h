#pragma once
// The network side of a port named tcp://HOST:PORT (raw bytes) or rfc2217://HOST:PORT (Telnet
// with COM port control): resolving and connecting within a time limit, keepalive, and the
// socket I/O under the Telnet layer (serial/Telnet.h). Waits made on the user-interface thread
// run its event loop, so the window stays alive while a name resolves or a server answers.
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>
#include <sys/socket.h>

#include "base/Bytes.h"
#include "serial/Telnet.h"
#include "base/UniqueFd.h"

class QEventLoop;

namespace net {

struct Address {
    bool comPort = false;  // rfc2217://
    std::string host;      // without the brackets of an IPv6 literal
    uint16_t port = 0;
};

// True for a name that starts with "tcp://" or "rfc2217://" (any letter case).
bool isNetworkName(const std::string& name);
// The address a port name gives, or nothing when it is malformed.
std::optional<Address> parseAddress(const std::string& name);

using Clock = std::chrono::steady_clock;

// Opening, name resolution included, gives up after this.
constexpr std::chrono::milliseconds ConnectLimit{3000};
// A vanished server is noticed within this (keepalive on an idle link, user time-out on a busy one).
constexpr int DeadPeerSeconds = 9;

class Link {
public:
    explicit Link(Address address);
    ~Link();

    const Address& address() const { return address_; }
    // Resolves and connects before `deadline`; 0 or the errno of the failure, with a Polish
    // explanation in `detail`.
    int open(Clock::time_point deadline, std::string& detail);
    // Ends a wait in open() or negotiate() from inside the event loop it runs (ECANCELED).
    void cancel();
    int fd() const { return fd_.get(); }

    // Reads everything the socket holds into data(), answering the server's Telnet talk.
    // 0, or ECONNRESET once the server has closed and nothing is left to read, or the errno.
    int pump();
    ByteString& data() { return data_; }
    bool closedByPeer() const { return eof_; }

    // Sends data (not yet escaped) until done or the deadline; `accepted` counts the bytes of
    // `data` that are on the wire or held for it. While the server has suspended the flow
    // (RFC 2217 FLOWCONTROL-SUSPEND) data is held, at most HeldLimit bytes, and goes out in order
    // at FLOWCONTROL-RESUME; more is not accepted, as a write that times out. 0, or the errno
    // (EPIPE, ECONNRESET ... when the server is gone).
    int sendData(const ByteString& data, std::optional<Clock::time_point> deadline, size_t& accepted);
    // Sends a Telnet command (already framed) after whatever the wire still owes; 0 once it is
    // all sent, ETIMEDOUT when part of it is still queued at the deadline (it goes out later, so
    // the stream stays whole), or the errno.
    int sendCommand(const ByteString& frame, Clock::time_point deadline);
    static constexpr size_t HeldLimit = 4096;
    // Bytes owed to the wire beyond this mean a server that takes nothing in: a dead one.
    static constexpr size_t WireLimit = 65536;
    size_t heldCount() const { return heldSource_; }
    // Bytes committed to the stream that the socket has not taken yet.
    size_t owedCount() const { return wire_.size(); }

    // RFC 2217: sends the line settings and waits until the server has answered each of them;
    // 0 when every answer matches, EPROTO when one differs or the server refuses COM-PORT,
    // ETIMEDOUT when an answer is missing at the deadline.
    struct LineRequest {
        uint32_t baud = 19200;
        uint8_t dataSize = 8;
        uint8_t parity = telnet::value::ParityNone;
        uint8_t stopSize = telnet::value::StopOne;
        uint8_t flow = telnet::value::FlowNone;
        bool dtr = false, rts = false;
    };
    int negotiate(const LineRequest& request, Clock::time_point deadline, std::string& detail);
    // Asks the server to discard both of its queues; what we had gathered goes too.
    void purge();

    telnet::Session& session() { return session_; }

private:
    // Waits for readiness of the socket (POLLIN / POLLOUT); the revents, 0 at the deadline,
    // -1 when cancelled.
    int wait(int fd, short events, Clock::time_point deadline);
    // Writes to the socket until done or the deadline (none: no limit).
    int writeWire(const char* raw, size_t size, std::optional<Clock::time_point> deadline, size_t& sent);
    // Sends what the wire owes, as far as the deadline allows; the rest stays owed.
    int flush(std::optional<Clock::time_point> deadline);
    int resolve(Clock::time_point deadline, std::string& detail, std::vector<sockaddr_storage>& out,
                std::vector<unsigned>& lengths);

    Address address_;
    UniqueFd fd_;
    telnet::Session session_;
    ByteString data_;
    // Bytes committed to the stream but not yet taken by the socket: the second half of a
    // doubled 0xFF whose first half went, and option answers. Nothing overtakes them.
    ByteString wire_;
    // Escaped data held while the server has the flow suspended, and its count unescaped.
    ByteString held_;
    size_t heldSource_ = 0;
    bool eof_ = false;
    bool cancelled_ = false;
    QEventLoop* waiting_ = nullptr;
};

} // namespace net
