#include "remote/RemoteGuard.h"

#include <QHash>
#include <QTcpSocket>
#include <algorithm>
#include <linux/sockios.h>
#include <linux/tcp.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include "remote/HttpShim.h"

namespace {

const QByteArray JsonType = QByteArrayLiteral("application/json; charset=utf-8");

// Bytes the kernel has handed to the program on this connection: received less still queued.
// -1 where the kernel does not say.
qint64 takenFromKernel(int fd)
{
    for (int attempt = 0; attempt < 3; ++attempt) {
        tcp_info before{}, after{};
        socklen_t size = sizeof before;
        int queued = 0;
        if (::getsockopt(fd, IPPROTO_TCP, TCP_INFO, &before, &size) != 0 || size < sizeof before
            || ::ioctl(fd, SIOCINQ, &queued) != 0)
            return -1;
        size = sizeof after;
        // Bytes that came between the two calls would be counted wrong; they are asked again.
        if (::getsockopt(fd, IPPROTO_TCP, TCP_INFO, &after, &size) == 0 && after.tcpi_bytes_received == before.tcpi_bytes_received)
            return static_cast<qint64>(before.tcpi_bytes_received) - queued;
    }
    return -1;
}

QByteArray reasonOf(int status)
{
    switch (status) {
    case 431: return "Request Header Fields Too Large";
    case 501: return "Not Implemented";
    default: return "Bad Request";
    }
}

QByteArray rawError(int status, const QByteArray& reason, const RemoteApi::Error& e)
{
    const QByteArray body = RemoteApi::errorJson(e);
    return "HTTP/1.1 " + QByteArray::number(status) + ' ' + reason + "\r\nContent-Type: " + JsonType
           + "\r\nContent-Length: " + QByteArray::number(body.size())
           + "\r\nCache-Control: no-store\r\nConnection: close\r\n\r\n" + body;
}

} // namespace

GuardedTcpServer::GuardedTcpServer(const RemoteLimits& limits, RemoteCounters& counters, QObject* parent)
    : QTcpServer(parent), limits_(limits), counters_(counters)
{
}

GuardedTcpServer::~GuardedTcpServer()
{
    // Sockets taken over by WebSockets may outlive this server.
    for (ConnectionWatch* w : std::as_const(open_))
        w->detach();
}

ConnectionWatch* GuardedTcpServer::watchOf(const QTcpSocket* socket) const
{
    for (ConnectionWatch* w : open_)
        if (w->socket() == socket)
            return w;
    return nullptr;
}

ConnectionWatch* GuardedTcpServer::watchOf(const QHostAddress& peer, quint16 peerPort) const
{
    for (ConnectionWatch* w : open_)
        if (w->socket()->peerPort() == peerPort && w->socket()->peerAddress() == peer)
            return w;
    return nullptr;
}

QTcpSocket* GuardedTcpServer::socketOf(const QHostAddress& peer, quint16 peerPort) const
{
    ConnectionWatch* w = watchOf(peer, peerPort);
    return w ? w->socket() : nullptr;
}

int GuardedTcpServer::viewerPages() const
{
    return static_cast<int>(std::count_if(open_.cbegin(), open_.cend(), [](const ConnectionWatch* w) {
        return w->isWebSocket() && w->access() == RemoteAccess::Viewer;
    }));
}

void GuardedTcpServer::released(ConnectionWatch* watch)
{
    open_.removeOne(watch);
    counters_.open = static_cast<int>(open_.size());
}

void GuardedTcpServer::incomingConnection(qintptr descriptor)
{
    if (open_.size() >= limits_.maxConnections && !makeRoom()) {
        ++counters_.refused;
        ::close(static_cast<int>(descriptor));
        return;
    }
    auto* socket = new QTcpSocket(this);
    if (!socket->setSocketDescriptor(descriptor)) {
        delete socket;
        ::close(static_cast<int>(descriptor));
        return;
    }
    keepAlive(socket);
    // Read no more at a time than one request may hold: what one arrival can make Qt
    // answer is bounded, and a connection that is paused stops at this.
    socket->setReadBufferSize(limits_.maxRequestBytes);
    auto* watch = new ConnectionWatch(socket, this, limits_, counters_);
    strangerLimit(watch->peer());
    open_.append(watch);
    counters_.open = static_cast<int>(open_.size());
    counters_.peakOpen = std::max(counters_.peakOpen, counters_.open);
    addPendingConnection(socket);
}

// A peer that vanished without a word is found by the kernel's probes, not held for ever.
void GuardedTcpServer::keepAlive(QTcpSocket* socket) const
{
    socket->setSocketOption(QAbstractSocket::KeepAliveOption, 1);
    const int fd = static_cast<int>(socket->socketDescriptor());
    const int idle = limits_.keepAliveIdleS, interval = limits_.keepAliveIntervalS, count = limits_.keepAliveProbes;
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle);
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof interval);
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &count, sizeof count);
}

namespace {
bool stranger(const ConnectionWatch* w)
{
    return w->access() == RemoteAccess::None && !w->isWebSocket();
}
} // namespace

// One address's strangers keep to their share; the oldest goes for a newcomer over it.
void GuardedTcpServer::strangerLimit(const QHostAddress& peer)
{
    int mine = 0;
    ConnectionWatch* oldest = nullptr;
    for (ConnectionWatch* w : std::as_const(open_))
        if (stranger(w) && w->peer() == peer && mine++ == 0)
            oldest = w;
    if (oldest && mine >= limits_.maxStrangersPerAddress)
        evict(oldest);
}

bool GuardedTcpServer::makeRoom()
{
    QHash<QHostAddress, int> strangers;
    for (ConnectionWatch* w : std::as_const(open_))
        if (stranger(w))
            ++strangers[w->peer()];
    ConnectionWatch* pick = nullptr;
    for (ConnectionWatch* w : std::as_const(open_))
        if (stranger(w) && (!pick || strangers.value(w->peer()) > strangers.value(pick->peer())))
            pick = w;
    // Then a viewer: plain requests before live pages, the oldest first.
    for (ConnectionWatch* w : std::as_const(open_))
        if (!pick && w->access() == RemoteAccess::Viewer && !w->isWebSocket())
            pick = w;
    for (ConnectionWatch* w : std::as_const(open_))
        if (!pick && w->access() == RemoteAccess::Viewer)
            pick = w;
    if (!pick)
        return false;
    evict(pick);
    return true;
}

void GuardedTcpServer::evict(ConnectionWatch* w)
{
    ++counters_.evicted;
    w->release();
    w->cut();
}

ConnectionWatch::ConnectionWatch(QTcpSocket* socket, GuardedTcpServer* server, const RemoteLimits& limits,
                                 RemoteCounters& counters)
    : QObject(socket), socket_(socket), server_(server), limits_(limits), counters_(counters),
      peer_(socket->peerAddress())
{
    deadline_.setSingleShot(true);
    connect(&deadline_, &QTimer::timeout, this, [this] {
        ++counters_.timedOut;
        cut();
    });
    deadline_.start(limits_.requestTimeoutMs);
    // A connection that says nothing at all is given less time than a slow one.
    firstByte_.setSingleShot(true);
    connect(&firstByte_, &QTimer::timeout, this, [this] {
        ++counters_.timedOut;
        cut();
    });
    firstByte_.start(std::min(limits_.firstByteTimeoutMs, limits_.requestTimeoutMs));
    drain_.setInterval(20);
    connect(&drain_, &QTimer::timeout, this, [this] { checkDrain(); });
    // Connected before the HTTP server's own reader, so it sees each arrival first.
    connect(socket_, &QTcpSocket::readyRead, this, [this] { arrived(); });
    // Queued, so that it runs once the HTTP server's reader has taken what it takes.
    connect(socket_, &QTcpSocket::readyRead, this, [this] { afterArrival(); }, Qt::QueuedConnection);
    watchEnd();
}

ConnectionWatch::~ConnectionWatch()
{
    release();
}

void ConnectionWatch::requestArrived()
{
    if (!waiting_.isEmpty())
        current_ = waiting_.takeFirst();
    if (widened_ && !upgraded_)
        socket_->setReadBufferSize(limits_.maxRequestBytes);
    widened_ = false;
    if (!upgraded_)
        deadline_.start(limits_.requestTimeoutMs);
}

void ConnectionWatch::watchEnd()
{
    connect(socket_, &QAbstractSocket::stateChanged, this, [this](QAbstractSocket::SocketState state) {
        if (state == QAbstractSocket::UnconnectedState)
            release();
    });
}

void ConnectionWatch::upgraded()
{
    upgraded_ = true;
    firstByte_.stop();
    drain_.stop();
    paused_ = false;
    socket_->blockSignals(false);
    // The WebSocket's frames are capped by the WebSocket itself.
    socket_->setReadBufferSize(0);
    // The HTTP server cuts every connection of the socket's signals when it hands the socket
    // to the WebSocket server; the end is watched again once that is done.
    QTimer::singleShot(0, this, [this] {
        watchEnd();
        if (socket_->state() == QAbstractSocket::UnconnectedState)
            release();
    });
}

void ConnectionWatch::release()
{
    if (released_)
        return;
    released_ = true;
    deadline_.stop();
    firstByte_.stop();
    drain_.stop();
    if (server_)
        server_->released(this);
}

void ConnectionWatch::cut()
{
    drain_.stop();
    bool endedUnheard = false;
    if (paused_) {
        paused_ = false;
        // Qt must hear of the end to let the socket go; an end that came while paused was
        // not heard by anyone.
        endedUnheard = socket_->state() == QAbstractSocket::UnconnectedState;
        socket_->blockSignals(false);
    }
    socket_->abort();
    release();
    if (endedUnheard)
        socket_->deleteLater();
}

void ConnectionWatch::arrived()
{
    if (upgraded_)
        return;
    firstByte_.stop();
    if (refused_) {
        socket_->readAll();   // the answer is on its way; nothing more is read
        return;
    }
    if (passedUpgrade_)
        return;
    // Qt serves one pipelined request at a time and leaves the rest in the socket, and may
    // take them later than this: what is new is told by what the socket has taken from the
    // kernel since, else by what Qt left after the last arrival.
    const qint64 available = socket_->bytesAvailable();
    const qint64 taken = takenFromKernel(static_cast<int>(socket_->socketDescriptor()));
    const qint64 fresh = taken >= 0 && taken_ >= 0 ? taken - taken_ : available - std::min(seen_, available);
    taken_ = taken;
    stream_ += socket_->peek(available).right(std::clamp<qint64>(fresh, 0, available));
    seen_ = available;
    // Each pipelined request on its own: its head checked, its length counted to its cap.
    while (!stream_.isEmpty()) {
        if (inBody_) {
            const qint64 take = std::min<qint64>(bodyLeft_, stream_.size());
            stream_.remove(0, take);
            bodyLeft_ -= take;
            if (bodyLeft_ > 0)
                break;
            inBody_ = false;
            continue;
        }
        const HeadCheck head = readHead(stream_, limits_.maxHeadBytes, limits_.maxHeaderLines);
        if (head.status != 0)
            return refuse(head.status, reasonOf(head.status), {head.status, head.code, head.why});
        if (head.length == 0)
            break;
        requestBytes_ = head.length + head.bodyBytes;
        if (requestBytes_ > limits_.maxRequestBytes) {
            if (!mayCarry(requestBytes_)) {
                ++counters_.oversized;
                return cut();
            }
            // Qt reads no body past a full read buffer: this one request gets room for itself.
            socket_->setReadBufferSize(limits_.maxPlanRequestBytes);
            widened_ = true;
        }
        stream_.remove(0, head.length);
        waiting_.append(head);
        if (head.upgrade) {
            passedUpgrade_ = true;
            stream_.clear();
            break;
        }
        bodyLeft_ = head.bodyBytes;
        inBody_ = bodyLeft_ > 0;
        if (inBody_ && head.expectContinue && stream_.isEmpty() && !HttpServerShim::answersContinue)
            socket_->write("HTTP/1.1 100 Continue\r\n\r\n");
    }
}

void ConnectionWatch::afterArrival()
{
    seen_ = socket_->bytesAvailable();   // what the HTTP server left of what was seen
    if (!upgraded_ && !refused_ && !paused_ && socket_->bytesToWrite() > limits_.maxUnsentBytes)
        pause();
}

// A client that sends and does not read: nothing more of its requests reaches Qt until its
// answers have gone out, and it goes if they do not. The socket stops reading once its read
// buffer is full, so the kernel holds the sender back.
void ConnectionWatch::pause()
{
    paused_ = true;
    socket_->blockSignals(true);
    pausedFor_.start();
    drain_.start();
}

void ConnectionWatch::checkDrain()
{
    if (socket_->state() != QAbstractSocket::ConnectedState || pausedFor_.elapsed() > limits_.drainTimeoutMs) {
        ++counters_.stalled;
        return cut();
    }
    if (socket_->bytesToWrite() > limits_.maxUnsentBytes / 2)
        return;
    drain_.stop();
    paused_ = false;
    socket_->blockSignals(false);
    if (socket_->bytesAvailable() > 0)
        QMetaObject::invokeMethod(socket_, "readyRead", Qt::QueuedConnection);
}

// A body over the common cap only for the one request that needs it, read again with its
// headers: a stranger's large body is cut before it is read, as before.
bool ConnectionWatch::mayCarry(qint64 requestBytes) const
{
    if (requestBytes > limits_.maxPlanRequestBytes || !server_ || !server_->carriesPlan)
        return false;
    HeadReading reading;
    readHead(stream_, limits_.maxHeadBytes, limits_.maxHeaderLines, &reading);
    return server_->carriesPlan(reading);
}

void ConnectionWatch::refuse(int status, const QByteArray& reason, const RemoteApi::Error& e)
{
    // The HTTP server reads after this, and must find nothing to act on.
    ++counters_.malformed;
    refused_ = true;
    socket_->readAll();
    socket_->write(rawError(status, reason, e));
    socket_->disconnectFromHost();
}
