#pragma once
// The remote server's guard: everything that reads the raw sockets before Qt HTTP Server does.
// It accepts connections up to a limit and makes room by eviction (never the operator's), holds
// every connection to deadlines (its first byte, each request, a WebSocket's handshake), reads
// the request stream itself so that each pipelined head gets one verdict (RequestHead) and its
// caps, answers "100 Continue" where Qt does not, sets TCP keep-alive, and stops reading a client
// whose answers pile up unread. The application (RemoteServer) only tells it what each request
// showed and when a connection becomes a WebSocket.
#include <QElapsedTimer>
#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QTcpServer>
#include <QTimer>
#include <algorithm>
#include <functional>

#include "remote/RemoteApi.h"
#include "remote/RemoteSessions.h"
#include "remote/RequestHead.h"

class QTcpSocket;

struct RemoteLimits {
    int maxConnections = 64;            // HTTP and WebSocket together
    int firstByteTimeoutMs = 2000;      // a new connection must start its request in this
    int requestTimeoutMs = 10000;       // a request (or the next one on a kept connection) must arrive in this
    qint64 maxRequestBytes = 16 * 1024; // headers and body of one request
    // The operator's PUT of a whole plan: the plan file's own cap (1 MiB) and a head. No one
    // else's request may be larger than the one above.
    qint64 maxPlanRequestBytes = 1024 * 1024 + 16 * 1024;
    qint64 maxHeadBytes = 8 * 1024;     // request line and headers
    int maxHeaderLines = 99;            // more gets 431
    qint64 maxWebSocketBacklog = 64 * 1024;
    qint64 maxUnsentBytes = 64 * 1024;  // answers waiting to go out before the connection is read no further
    int drainTimeoutMs = 10000;         // ...and the time they have to go
    int maxViewerPages = 48;            // live pages with the viewer key: the rest stay free for the operator
    int maxStrangersPerAddress = 16;    // connections of one address that have shown no key
    int pingIntervalMs = 15000;         // a live page is pinged this often, and closed when the
                                        // answer has not come by the next ping
    int keepAliveIdleS = 60;            // TCP keep-alive: a silent peer is probed after this,
    int keepAliveIntervalS = 10;        // this often,
    int keepAliveProbes = 3;            // and given up after this many unanswered probes
};

struct RemoteCounters {
    int open = 0;           // connections open now, upgraded ones included
    int refused = 0;        // connections over the limit with no one to make room
    int evicted = 0;        // connections without a good request closed to make room
    int timedOut = 0;       // requests that did not arrive in time
    int oversized = 0;      // requests over the size cap
    int unauthorized = 0;   // 401s and WebSockets closed for a bad token
    int dropped = 0;        // WebSockets closed for not reading
    int malformed = 0;      // requests refused on their head alone (400, 431)
    int stalled = 0;        // connections closed for not reading their answers
    int unanswered = 0;     // WebSockets closed for not answering a ping
    int peakOpen = 0;       // most connections open at once
};

class GuardedTcpServer;

// One connection: the deadlines by which its first byte and each request must have arrived,
// its own reading of the request stream (each pipelined request counted and checked on its
// own), the checked heads Qt has yet to serve, and the strongest key it has shown. Lives as a
// child of the socket, so it goes when the socket goes.
class ConnectionWatch : public QObject {
public:
    ConnectionWatch(QTcpSocket* socket, GuardedTcpServer* server, const RemoteLimits& limits, RemoteCounters& counters);
    ~ConnectionWatch() override;

    // Qt is serving the next request: its head is the one checked first of those waiting.
    void requestArrived();
    void showed(RemoteAccess access) { access_ = std::max(access_, access); }
    RemoteAccess access() const { return access_; }
    bool keepAlive() const { return current_.keepAlive; }
    const QByteArray& userAgent() const { return current_.userAgent; }
    // Qt takes the connection for a WebSocket: the guard no longer reads it, and its deadline
    // stands until the handshake is done.
    void upgraded();
    void handshakeDone() { deadline_.stop(); }
    bool isWebSocket() const { return upgraded_; }
    QTcpSocket* socket() const { return socket_; }
    QHostAddress peer() const { return peer_; }
    void detach() { server_ = nullptr; }
    // The connection has ended, however it ended; its place is given back once.
    void release();
    // Closed to make room or for over-staying: told to Qt as well, whatever was paused.
    void cut();

private:
    void arrived();
    void afterArrival();
    void pause();
    void checkDrain();
    void refuse(int status, const QByteArray& reason, const RemoteApi::Error& e);
    void watchEnd();
    bool mayCarry(qint64 requestBytes) const;

    QTcpSocket* socket_;
    GuardedTcpServer* server_;
    const RemoteLimits& limits_;
    RemoteCounters& counters_;
    QHostAddress peer_;
    QTimer deadline_;
    QTimer firstByte_;
    QTimer drain_;
    QElapsedTimer pausedFor_;
    QByteArray stream_;        // bytes of the request being read that are not yet accounted for
    qint64 seen_ = 0;          // bytes at the front of the socket's buffer already in stream_
    qint64 taken_ = 0;         // bytes the socket had taken from the kernel at the last arrival
    bool inBody_ = false;
    qint64 bodyLeft_ = 0;
    qint64 requestBytes_ = 0;
    bool passedUpgrade_ = false;   // what follows a whole upgrade head is the WebSocket's
    QList<HeadCheck> waiting_;
    HeadCheck current_;
    RemoteAccess access_ = RemoteAccess::None;
    bool upgraded_ = false;
    bool widened_ = false;  // the read buffer holds a plan's PUT until Qt serves it
    bool refused_ = false;
    bool released_ = false;
    bool paused_ = false;
};

// Accepts connections up to the limit. Over it, a connection is closed to make room: a stranger
// (one that has shown no key) from the address that holds the most of them, else a viewer's;
// a connection that showed the operator's token is never closed for room. Only when every
// place is the operator's is the newcomer closed, before any byte is read.
class GuardedTcpServer : public QTcpServer {
public:
    GuardedTcpServer(const RemoteLimits& limits, RemoteCounters& counters, QObject* parent);
    ~GuardedTcpServer() override;

    ConnectionWatch* watchOf(const QTcpSocket* socket) const;
    // One listening port: the peer's address and port name one connection.
    ConnectionWatch* watchOf(const QHostAddress& peer, quint16 peerPort) const;
    QTcpSocket* socketOf(const QHostAddress& peer, quint16 peerPort) const;
    int viewerPages() const;
    void released(ConnectionWatch* watch);
    // Whether a head may bring a larger body than maxRequestBytes (the server's own rule).
    std::function<bool(const HeadReading&)> carriesPlan;

protected:
    void incomingConnection(qintptr descriptor) override;

private:
    void keepAlive(QTcpSocket* socket) const;
    void strangerLimit(const QHostAddress& peer);
    bool makeRoom();
    void evict(ConnectionWatch* w);

    const RemoteLimits& limits_;
    RemoteCounters& counters_;
    QList<ConnectionWatch*> open_;   // in the order they came
};
