#include "remote/RemoteServer.h"

#include <QElapsedTimer>
#include <QFile>
#include <QHash>
#include <QHttpServerRequest>
#include <QHttpServerResponder>
#include <QTcpServer>
#include <QTcpSocket>
#include <QUrlQuery>
#include <QWebSocket>
#include <algorithm>
#include <netinet/in.h>
#include <linux/sockios.h>
#include <linux/tcp.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <optional>
#include <unistd.h>

#include "remote/RemoteApi.h"
#include "remote/RemoteSettings.h"
#include "remote/RequestHead.h"

namespace {

using Status = QHttpServerResponder::StatusCode;

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
    void requestArrived()
    {
        if (!waiting_.isEmpty())
            current_ = waiting_.takeFirst();
        if (!upgraded_)
            deadline_.start(limits_.requestTimeoutMs);
    }
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
    GuardedTcpServer(const RemoteLimits& limits, RemoteCounters& counters, QObject* parent)
        : QTcpServer(parent), limits_(limits), counters_(counters)
    {
    }
    ~GuardedTcpServer() override
    {
        // Sockets taken over by WebSockets may outlive this server.
        for (ConnectionWatch* w : std::as_const(open_))
            w->detach();
    }

    ConnectionWatch* watchOf(const QTcpSocket* socket) const
    {
        for (ConnectionWatch* w : open_)
            if (w->socket() == socket)
                return w;
        return nullptr;
    }

    // One listening port: the peer's address and port name one connection.
    ConnectionWatch* watchOf(const QHostAddress& peer, quint16 peerPort) const
    {
        for (ConnectionWatch* w : open_)
            if (w->socket()->peerPort() == peerPort && w->socket()->peerAddress() == peer)
                return w;
        return nullptr;
    }
    QTcpSocket* socketOf(const QHostAddress& peer, quint16 peerPort) const
    {
        ConnectionWatch* w = watchOf(peer, peerPort);
        return w ? w->socket() : nullptr;
    }

    int viewerPages() const
    {
        return static_cast<int>(std::count_if(open_.cbegin(), open_.cend(), [](const ConnectionWatch* w) {
            return w->isWebSocket() && w->access() == RemoteAccess::Viewer;
        }));
    }

    void released(ConnectionWatch* watch)
    {
        open_.removeOne(watch);
        counters_.open = static_cast<int>(open_.size());
    }

protected:
    void incomingConnection(qintptr descriptor) override
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

private:
    // A peer that vanished without a word is found by the kernel's probes, not held for ever.
    void keepAlive(QTcpSocket* socket) const
    {
        socket->setSocketOption(QAbstractSocket::KeepAliveOption, 1);
        const int fd = static_cast<int>(socket->socketDescriptor());
        const int idle = limits_.keepAliveIdleS, interval = limits_.keepAliveIntervalS, count = limits_.keepAliveProbes;
        ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle);
        ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof interval);
        ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &count, sizeof count);
    }

    static bool stranger(const ConnectionWatch* w) { return w->access() == RemoteAccess::None && !w->isWebSocket(); }

    // One address's strangers keep to their share; the oldest goes for a newcomer over it.
    void strangerLimit(const QHostAddress& peer)
    {
        int mine = 0;
        ConnectionWatch* oldest = nullptr;
        for (ConnectionWatch* w : std::as_const(open_))
            if (stranger(w) && w->peer() == peer && mine++ == 0)
                oldest = w;
        if (oldest && mine >= limits_.maxStrangersPerAddress)
            evict(oldest);
    }

    bool makeRoom()
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

    void evict(ConnectionWatch* w)
    {
        ++counters_.evicted;
        w->release();
        w->cut();
    }

    const RemoteLimits& limits_;
    RemoteCounters& counters_;
    QList<ConnectionWatch*> open_;   // in the order they came
};

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
            ++counters_.oversized;
            return cut();
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

void ConnectionWatch::refuse(int status, const QByteArray& reason, const RemoteApi::Error& e)
{
    // The HTTP server reads after this, and must find nothing to act on.
    ++counters_.malformed;
    refused_ = true;
    socket_->readAll();
    socket_->write(rawError(status, reason, e));
    socket_->disconnectFromHost();
}

namespace {
using Header = HttpServerShim::Header;

// Every value a cookie of that name has: a stale one from another path may come first.
QList<QByteArray> cookieValues(const QByteArray& cookies, const QByteArray& name)
{
    QList<QByteArray> values;
    for (const QByteArray& part : cookies.split(';')) {
        const QByteArray item = part.trimmed();
        if (item.startsWith(name + '='))
            values.append(item.mid(name.size() + 1));
    }
    return values;
}

bool anyIs(const QList<QByteArray>& given, const QByteArray& secret)
{
    return std::any_of(given.cbegin(), given.cend(), [&](const QByteArray& g) { return !g.isEmpty() && sameToken(g, secret); });
}

// A browser names the page's origin; a page of another site may not listen in or send commands,
// even with the operator's cookie. Programs send no origin.
bool sameOrigin(const QByteArray& origin, const QByteArray& host)
{
    if (origin.isEmpty())
        return true;
    const QUrl from(QString::fromLatin1(origin));
    const QUrl self(QStringLiteral("http://") + QString::fromLatin1(host));
    return from.isValid() && self.isValid() && from.scheme() == QLatin1String("http") && !self.host().isEmpty()
           && from.host().compare(self.host(), Qt::CaseInsensitive) == 0 && from.port(80) == self.port(80)
           && (from.path().isEmpty() || from.path() == QLatin1String("/"));
}

bool isJson(const QByteArray& contentType)
{
    return contentType.split(';').value(0).trimmed().compare("application/json", Qt::CaseInsensitive) == 0;
}

// The overlay's own "key" is its chroma-key colour: its link carries the viewer key as "viewer".
QString viewerItem(const QString& path)
{
    return path == QLatin1String("/overlay") ? QStringLiteral("viewer") : QStringLiteral("key");
}

// Where a page's link leads once its secret is taken out: the page with its own settings, each
// short and plain (the page checks them again).
QByteArray pageHome(const QString& path, const QUrlQuery& query)
{
    const QStringList kept = path == QLatin1String("/overlay")
                                 ? QStringList{QStringLiteral("clock"), QStringLiteral("size"), QStringLiteral("color"),
                                               QStringLiteral("key")}
                             : path == QLatin1String("/view") ? QStringList{QStringLiteral("campus")}
                                                              : QStringList{};
    QUrlQuery settings;
    for (const QString& name : kept) {
        const QString value = query.queryItemValue(name, QUrl::FullyDecoded);
        if (query.hasQueryItem(name) && value.size() <= 16
            && std::all_of(value.cbegin(), value.cend(), [](QChar c) { return c.isLetterOrNumber() && c.unicode() < 128; }))
            settings.addQueryItem(name, value);
    }
    QUrl home;
    home.setPath(path == QLatin1String("/index.html") ? QStringLiteral("/") : path);
    if (!settings.isEmpty())
        home.setQuery(settings);
    return home.toString(QUrl::FullyEncoded).toLatin1();
}

const RemoteApi::Error NotFound{404, "not_found", QStringLiteral("Nie ma takiego adresu")};
const RemoteApi::Error Unauthorized{401, "unauthorized", QStringLiteral("Brak dostępu: nieprawidłowy lub brakujący klucz")};

} // namespace

// Where an answer goes, and how: HEAD gets the headers alone, and a connection that is not to
// be kept is told so.
struct RemoteServer::Answer {
    QHttpServerResponder& responder;
    QTcpSocket* socket = nullptr;
    bool head = false;
    bool http10KeepAlive = false;
    bool close = false;
    int status = 0;
    QByteArray code{};

    void reply(Status status, const QByteArray& type, const QByteArray& body, std::initializer_list<Header> extra = {})
    {
        this->status = static_cast<int>(status);
        QList<Header> headers{{"Content-Type", type},
                              {"Content-Length", QByteArray::number(body.size())},
                              {"Cache-Control", "no-store"},
                              {"X-Content-Type-Options", "nosniff"},
                              {"Referrer-Policy", "no-referrer"}};
        if (close)
            headers.append(Header{"Connection", "close"});
        else if (http10KeepAlive)
            headers.append(Header{"Connection", "keep-alive"});
        for (const Header& h : extra)
            headers.append(h);
        HttpServerShim::write(responder, socket, this->status, headers, body, head);
    }
    void error(const RemoteApi::Error& e, std::initializer_list<Header> extra = {})
    {
        code = e.code;
        reply(static_cast<Status>(e.status), JsonType, RemoteApi::errorJson(e), extra);
    }
};

RemoteServer::RemoteServer(StopwatchHost& host, QByteArray token, RemoteLimits limits, QObject* parent)
    : HttpServerShim(parent), host_(host), token_(std::move(token)), limits_(limits)
{
    Q_INIT_RESOURCE(remote);   // the page lives in this static library
    coalesce_.setSingleShot(true);
    coalesce_.setInterval(0);
    connect(&coalesce_, &QTimer::timeout, this, [this] { broadcast(); });
    ping_.setInterval(limits_.pingIntervalMs);
    connect(&ping_, &QTimer::timeout, this, [this] { pingClients(); });
    sweep_.setInterval(1000);
    connect(&sweep_, &QTimer::timeout, this, [this] { broadcast(); });
    connect(this, &QAbstractHttpServer::newWebSocketConnection, this, [this] { acceptWebSockets(); });
    host_.watchPanels([this] { stateChanged(); });
}

RemoteServer::~RemoteServer()
{
    host_.watchPanels({});
    for (const QPointer<QWebSocket>& c : clients_)
        delete c.data();
}

QString RemoteServer::start(const QHostAddress& address, quint16 port)
{
    tcp_ = new GuardedTcpServer(limits_, counters_, this);
    if (!tcp_->listen(address, port)) {
        const QString why = tcp_->errorString();
        delete tcp_;
        tcp_ = nullptr;
        return QStringLiteral("Nie można otworzyć portu %1: %2").arg(port).arg(why);
    }
    bind(tcp_);
    return {};
}

quint16 RemoteServer::port() const
{
    return tcp_ ? tcp_->serverPort() : 0;
}

QByteArray RemoteServer::cookieName() const
{
    return "kadrel_session_" + QByteArray::number(port());
}

QByteArray RemoteServer::viewerCookieName() const
{
    return "kadrel_viewer_" + QByteArray::number(port());
}

RemoteAccess RemoteServer::access(const QByteArray& bearer, const QByteArray& cookies, const QByteArray& token,
                                  const QByteArray& key) const
{
    // The scheme's name is read without case.
    const QByteArray scheme = bearer.left(7);
    const QByteArray given = scheme.compare("Bearer ", Qt::CaseInsensitive) == 0 ? bearer.mid(7).trimmed() : QByteArray();
    // A cookie holds a session and never a secret itself: a browser sends its cookies to every
    // port of the host, and a session dies with the program or a new token.
    const auto session = [this, &cookies](const QByteArray& name, RemoteAccess wanted) {
        const QList<QByteArray> values = cookieValues(cookies, name);
        return std::any_of(values.cbegin(), values.cend(),
                           [&](const QByteArray& v) { return sessions_->find(v) == wanted; });
    };
    if (anyIs({given, token}, token_) || session(cookieName(), RemoteAccess::Operator))
        return RemoteAccess::Operator;
    if (anyIs({given, key}, viewerKey_) || session(viewerCookieName(), RemoteAccess::Viewer))
        return RemoteAccess::Viewer;
    return RemoteAccess::None;
}

RemoteAccess RemoteServer::access(const QHttpServerRequest& request) const
{
    const QUrlQuery q = request.query();
    return access(headerValue(request, "authorization"), headerValue(request, "cookie"),
                  q.queryItemValue(QStringLiteral("token"), QUrl::FullyDecoded).toLatin1(),
                  q.queryItemValue(viewerItem(request.url().path()), QUrl::FullyDecoded).toLatin1());
}

QTcpSocket* RemoteServer::connectionOf(const QHostAddress& peer, quint16 peerPort) const
{
    return tcp_ ? tcp_->socketOf(peer, peerPort) : nullptr;
}

std::optional<RemoteApi::Error> RemoteServer::upgradeRefusal(const QHttpServerRequest& request) const
{
    if (access(request) == RemoteAccess::None)
        return Unauthorized;
    if (request.url().path() != QLatin1String("/api/v1/live"))
        return NotFound;
    if (!sameOrigin(headerValue(request, "origin"), headerValue(request, "host")))
        return RemoteApi::Error{403, "forbidden", QStringLiteral("Połączenie z innej strony jest niedozwolone")};
    // Viewers keep to their share of the places, so the operator's page always finds one.
    if (access(request) == RemoteAccess::Viewer && tcp_ && tcp_->viewerPages() >= limits_.maxViewerPages)
        return RemoteApi::Error{503, "too_many_viewers", QStringLiteral("Otwarto już najwięcej stron podglądu")};
    return std::nullopt;
}

bool RemoteServer::admitUpgrade(const QHttpServerRequest& request, QTcpSocket* socket)
{
    // Only a request that may listen gets as far as the upgrade.
    if (upgradeRefusal(request))
        return false;
    if (ConnectionWatch* watch = tcp_ ? tcp_->watchOf(socket) : nullptr) {
        watch->requestArrived();
        watch->showed(access(request));
        watch->upgraded();
    }
    return true;
}

void RemoteServer::refuseUpgrade(const QHttpServerRequest& request, QHttpServerResponder& responder, QTcpSocket* socket)
{
    ConnectionWatch* watch = tcp_ ? tcp_->watchOf(socket) : nullptr;
    if (watch) {
        watch->requestArrived();
        watch->showed(access(request));
    }
    // Refused, or an upgrade the HTTP server did not take as one: its 401 (or 404, 403, 400)
    // and the connection is cut.
    const RemoteApi::Error refused = upgradeRefusal(request).value_or(
        RemoteApi::Error{400, "bad_upgrade", QStringLiteral("Niepełna prośba o połączenie WebSocket")});
    if (refused.status == 401)
        ++counters_.unauthorized;
    Answer out{responder, socket};
    out.close = true;
    out.error(refused);
    closeAfterAnswer(socket, true);
}

void RemoteServer::serveRequest(const QHttpServerRequest& request, QHttpServerResponder& responder, QTcpSocket* socket)
{
    ConnectionWatch* watch = tcp_ ? tcp_->watchOf(socket) : nullptr;
    const RemoteAccess granted = access(request);
    if (watch) {
        watch->requestArrived();
        watch->showed(granted);
    }
    Answer out{responder, socket};
    out.head = request.method() == QHttpServerRequest::Method::Head;
    const bool keepAlive = !watch || watch->keepAlive();
    out.close = !keepAlive;
    out.http10KeepAlive = keepAlive && watch && headerValue(request, "connection").toLower().contains("keep-alive");
    serve(request, out);
    if (request.method() == QHttpServerRequest::Method::Post) {
        QByteArray userAgent = headerValue(request, "user-agent");
        if (userAgent.isEmpty() && watch)
            userAgent = watch->userAgent();
        emit commandAnswered({request.remoteAddress(), userAgent, request.url().path(), request.body().left(200),
                              out.status, out.code, granted});
    }
    if (out.close)
        closeAfterAnswer(socket);
}

void RemoteServer::serve(const QHttpServerRequest& request, Answer& out)
{
    const QString path = request.url().path();
    const auto method = request.method();
    const bool view = path == QLatin1String("/view");
    const bool overlay = path == QLatin1String("/overlay");
    const bool page = path == QLatin1String("/") || path == QLatin1String("/index.html") || view || overlay;
    const RemoteAccess granted = access(request);
    if (granted == RemoteAccess::None) {
        ++counters_.unauthorized;
        if (method == QHttpServerRequest::Method::Get && page) {
            out.reply(Status::Unauthorized, "text/plain; charset=utf-8",
                      QStringLiteral("Brak dostępu. Otwórz stronę z adresu (lub kodu QR) pokazanego w programie Kadrel, "
                                     "w oknie „Zdalne sterowanie”.\n").toUtf8());
        } else {
            out.error(Unauthorized, {{"WWW-Authenticate", "Bearer realm=\"Kadrel\""}});
        }
        return;
    }

    const bool get = method == QHttpServerRequest::Method::Get || method == QHttpServerRequest::Method::Head;
    const bool post = method == QHttpServerRequest::Method::Post;
    static const QString commandPrefix = QStringLiteral("/api/v1/stopwatch/");
    const QList<RemoteRoute>& all = routes();
    const auto route = std::find_if(all.begin(), all.end(), [&](const RemoteRoute& r) { return path == QLatin1String(r.path); });

    // The viewer key shows and never commands, whatever else the request says.
    if (granted == RemoteAccess::Viewer && (post || (route != all.end() && !route->viewer)))
        return out.error({403, "viewer_only", QStringLiteral("Klucz podglądu pozwala tylko oglądać zegary")});

    if (post) {
        // A page of another site may post a form or a plain text with the operator's cookie;
        // neither gets this far.
        if (!isJson(headerValue(request, "content-type")))
            return out.error({403, "json_required", QStringLiteral("Polecenie musi mieć treść typu application/json")});
        if (!sameOrigin(headerValue(request, "origin"), headerValue(request, "host")))
            return out.error({403, "foreign_origin", QStringLiteral("Polecenie z innej strony jest niedozwolone")});
    }

    if (route == all.end()) {
        if (post && path.startsWith(commandPrefix))   // names the command it does not know
            return out.error(RemoteApi::parseCommand(path.mid(commandPrefix.size()), {}).error);
        return out.error(NotFound);
    }
    if (qstrcmp(route->method, "POST") == 0 ? !post : !get)
        return out.error({405, "method_not_allowed", QStringLiteral("Ta metoda nie jest tu obsługiwana")});

    if (page) {
        const QUrlQuery query = request.query();
        if (query.hasQueryItem(QStringLiteral("token")) || query.hasQueryItem(viewerItem(path)))
            return exchangeLink(request, out);
        return serveFile(view ? QStringLiteral(":/remote/view.html")
                         : overlay ? QStringLiteral(":/remote/overlay.html") : QStringLiteral(":/remote/index.html"),
                         out);
    }
    if (path == QLatin1String("/app.js") || path == QLatin1String("/style.css") || path == QLatin1String("/view.js")
        || path == QLatin1String("/view.css") || path == QLatin1String("/favicon.ico") || path == QLatin1String("/live.js")
        || path == QLatin1String("/overlay.js") || path == QLatin1String("/overlay.css"))
        return serveFile(QStringLiteral(":/remote") + path, out);
    if (path == QLatin1String("/api/v1/openapi.json"))
        return serveFile(QStringLiteral(":/remote/openapi.json"), out);
    if (path == QLatin1String("/api/v1/asyncapi.json"))
        return serveFile(QStringLiteral(":/remote/asyncapi.json"), out);
    if (path == QLatin1String("/api/v1/state"))
        return out.reply(Status::Ok, JsonType, RemoteApi::stateJson(host_.panelView()));
    if (path == QLatin1String("/api/v1/campus"))
        return out.reply(Status::Ok, JsonType, RemoteApi::campusJson(campus_ ? campus_->campusView() : CampusView{}));
    if (path == QLatin1String("/api/v1/live"))
        return out.error({426, "upgrade_required", QStringLiteral("Ten adres przyjmuje tylko połączenia WebSocket")},
                         {{"Upgrade", "websocket"}});
    // The rest are the commands.
    const RemoteApi::Parsed parsed = RemoteApi::parseCommand(path.mid(commandPrefix.size()), request.body());
    if (!parsed.command)
        return out.error(parsed.error);
    const CommandOutcome outcome = host_.runStopwatchCommand(*parsed.command);
    if (!outcome.ok())
        return out.error(RemoteApi::refusal(outcome));
    stateChanged();
    out.reply(Status::Ok, JsonType, RemoteApi::okJson());
}

// The address bar loses the secret, whichever way the request got in; a good one in the link is
// exchanged for a session of this browser's own (kept when it already holds a good one), and
// the cookie of an older version, which held the secret itself, is expired. The page's own
// settings stay in the address.
void RemoteServer::exchangeLink(const QHttpServerRequest& request, Answer& out)
{
    const QUrlQuery query = request.query();
    const QString path = request.url().path();
    const bool withToken = query.hasQueryItem(QStringLiteral("token"));
    const QByteArray home = pageHome(path, query);
    const QString item = withToken ? QStringLiteral("token") : viewerItem(path);
    const QByteArray given = query.queryItemValue(item, QUrl::FullyDecoded).toLatin1();
    const RemoteAccess kind = withToken ? RemoteAccess::Operator : RemoteAccess::Viewer;
    const QByteArray name = withToken ? cookieName() : viewerCookieName();
    const QByteArray legacy = (withToken ? "kadrel_token_" : "kadrel_view_") + QByteArray::number(port());
    const QByteArray text = "text/plain; charset=utf-8";
    if (!sameToken(given, withToken ? token_ : viewerKey_))
        return out.reply(Status::SeeOther, text, home + '\n', {{"Location", home}});
    const QByteArray cookies = headerValue(request, "cookie");
    const QList<QByteArray> held = cookieValues(cookies, name);
    if (std::any_of(held.cbegin(), held.cend(), [&](const QByteArray& v) { return sessions_->find(v) == kind; }))
        return out.reply(Status::SeeOther, text, home + '\n', {{"Location", home}});
    const QByteArray cookie =
        name + '=' + sessions_->open(kind) + "; Path=/; HttpOnly; SameSite=Strict; Max-Age=31536000";
    if (cookieValues(cookies, legacy).isEmpty())
        return out.reply(Status::SeeOther, text, home + '\n', {{"Location", home}, {"Set-Cookie", cookie}});
    out.reply(Status::SeeOther, text, home + '\n',
              {{"Location", home},
               {"Set-Cookie", cookie},
               {"Set-Cookie", legacy + "=; Path=/; HttpOnly; SameSite=Strict; Max-Age=0"}});
}

const QList<RemoteRoute>& RemoteServer::routes()
{
    static const QList<RemoteRoute> all{
        {"GET", "/"},
        {"GET", "/index.html"},
        {"GET", "/app.js"},
        {"GET", "/style.css"},
        {"GET", "/view", true},
        {"GET", "/view.js", true},
        {"GET", "/view.css", true},
        {"GET", "/overlay", true},
        {"GET", "/overlay.js", true},
        {"GET", "/overlay.css", true},
        {"GET", "/live.js", true},
        {"GET", "/favicon.ico", true},
        {"GET", "/api/v1/state", true},
        {"GET", "/api/v1/campus", true},
        {"GET", "/api/v1/live", true},
        {"GET", "/api/v1/openapi.json"},
        {"GET", "/api/v1/asyncapi.json"},
        {"POST", "/api/v1/stopwatch/start"},
        {"POST", "/api/v1/stopwatch/stop"},
        {"POST", "/api/v1/stopwatch/set"},
        {"POST", "/api/v1/stopwatch/zero"},
        {"POST", "/api/v1/stopwatch/preset"},
        {"POST", "/api/v1/stopwatch/target"},
    };
    return all;
}

void RemoteServer::serveFile(const QString& path, Answer& out)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return out.error(NotFound);
    QByteArray type = "application/octet-stream";
    if (path.endsWith(QLatin1String(".html")))
        type = "text/html; charset=utf-8";
    else if (path.endsWith(QLatin1String(".js")))
        type = "text/javascript; charset=utf-8";
    else if (path.endsWith(QLatin1String(".css")))
        type = "text/css; charset=utf-8";
    else if (path.endsWith(QLatin1String(".ico")))
        type = "image/x-icon";
    else if (path.endsWith(QLatin1String(".svg")))
        type = "image/svg+xml";
    else if (path.endsWith(QLatin1String(".json")))
        type = JsonType;
    out.reply(Status::Ok, type, file.readAll(),
              {{"Content-Security-Policy",
                "default-src 'self'; connect-src 'self' ws: wss:; img-src 'self' data:; frame-ancestors 'none'"}});
}

void RemoteServer::acceptWebSockets()
{
    while (hasPendingWebSocketConnections()) {
        QWebSocket* ws = nextPendingWebSocketConnection().release();
        if (!ws)
            break;
        ws->setParent(this);
        ws->setMaxAllowedIncomingMessageSize(4096);
        ws->setMaxAllowedIncomingFrameSize(4096);

        const QNetworkRequest& req = ws->request();
        const QUrlQuery query(ws->requestUrl());
        const bool ok = access(req.rawHeader("Authorization"), req.rawHeader("Cookie"),
                               query.queryItemValue(QStringLiteral("token"), QUrl::FullyDecoded).toLatin1(),
                               query.queryItemValue(QStringLiteral("key"), QUrl::FullyDecoded).toLatin1())
                        != RemoteAccess::None;
        // Checked before the upgrade already; this is the second line.
        if (!ok || !sameOrigin(req.rawHeader("Origin"), req.rawHeader("Host"))
            || ws->requestUrl().path() != QLatin1String("/api/v1/live")) {
            ++counters_.unauthorized;
            ws->close(static_cast<QWebSocketProtocol::CloseCode>(4401), QStringLiteral("Brak dostępu"));
            ws->deleteLater();
            continue;
        }
        // With no page open the last state sent is not kept up to date: a first page gets
        // the state as it is now.
        if (clients_.isEmpty())
            lastState_.clear();
        clients_.append(ws);
        if (ConnectionWatch* watch = tcp_ ? tcp_->watchOf(ws->peerAddress(), ws->peerPort()) : nullptr)
            watch->handshakeDone();
        connect(ws, &QWebSocket::pong, this, [this, ws] { awaitingPong_.removeAll(ws); });
        connect(ws, &QWebSocket::disconnected, this, [this, ws] {
            awaitingPong_.removeAll(ws);
            clients_.removeAll(ws);
            ws->deleteLater();
            if (clients_.isEmpty())
                sweep_.stop();
        });
        // Incoming messages are not used; they are read and dropped.
        connect(ws, &QWebSocket::textMessageReceived, ws, [](const QString&) {});
        connect(ws, &QWebSocket::binaryMessageReceived, ws, [](const QByteArray&) {});
        if (lastState_.isEmpty())
            lastState_ = RemoteApi::stateJson(host_.panelView());
        sendTo(ws, QString::fromUtf8(lastState_));
        sweep_.start();
        if (!ping_.isActive())
            ping_.start();
    }
}

// A page whose peer has gone without a word answers no ping, and gives its place back.
void RemoteServer::pingClients()
{
    const QList<QPointer<QWebSocket>> now = clients_;
    for (const QPointer<QWebSocket>& c : now) {
        if (!c)
            continue;
        if (awaitingPong_.contains(c.data())) {
            ++counters_.unanswered;
            drop(c);
            continue;
        }
        awaitingPong_.append(c.data());
        c->ping();
    }
    if (clients_.isEmpty())
        ping_.stop();
}

void RemoteServer::drop(QWebSocket* client)
{
    awaitingPong_.removeAll(client);
    clients_.removeAll(client);
    client->abort();
    client->deleteLater();
}

void RemoteServer::stateChanged()
{
    if (!clients_.isEmpty() && !coalesce_.isActive())
        coalesce_.start();
}

void RemoteServer::broadcast()
{
    if (clients_.isEmpty())
        return;
    const QByteArray state = RemoteApi::stateJson(host_.panelView());
    if (state == lastState_)
        return;
    lastState_ = state;
    const QString text = QString::fromUtf8(state);   // once for all clients
    const QList<QPointer<QWebSocket>> now = clients_;
    for (const QPointer<QWebSocket>& c : now)
        if (c)
            sendTo(c, text);
}

void RemoteServer::sendTo(QWebSocket* client, const QString& state)
{
    // A client that does not read gets no further than the backlog cap.
    if (client->bytesToWrite() > limits_.maxWebSocketBacklog) {
        ++counters_.dropped;
        drop(client);
        return;
    }
    client->sendTextMessage(state);
}
