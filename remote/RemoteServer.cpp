#include "remote/RemoteServer.h"

#include <QFile>
#include <QHttpServerRequest>
#include <QHttpServerResponder>
#include <QTcpServer>
#include <QTcpSocket>
#include <QUrlQuery>
#include <QWebSocket>
#include <algorithm>
#include <optional>
#include <unistd.h>

#include "remote/RemoteApi.h"
#include "remote/RemoteSettings.h"

namespace {

using Status = QHttpServerResponder::StatusCode;

const QByteArray JsonType = QByteArrayLiteral("application/json; charset=utf-8");

// What the raw head of a request says, read before the HTTP server parses it: the server would
// take ambiguous framing or a flood of headers in its stride, and knows nothing of HTTP/1.0
// connections or of "Expect: 100-continue".
struct HeadCheck {
    int status = 0;             // 0: the head is fine; else 400 or 431
    bool keepAlive = true;
    bool expectContinue = false;
    QByteArray userAgent;       // as sent: Qt 6.8 drops a header with control bytes in it
};

HeadCheck checkHead(const QByteArray& head, const RemoteLimits& limits)
{
    HeadCheck out;
    const QList<QByteArray> lines = head.split('\n');
    const QList<QByteArray> requestLine = lines.value(0).trimmed().split(' ');
    const bool http10 = requestLine.size() == 3 && requestLine[2] == "HTTP/1.0";
    if (lines.size() - 1 > limits.maxHeaderLines + 1) {   // the empty line that ends the head is one
        out.status = 431;
        return out;
    }
    QByteArray length;
    bool lengthSeen = false, chunked = false, askedKeepAlive = false, askedClose = false;
    for (qsizetype i = 1; i < lines.size(); ++i) {
        const QByteArray line = lines[i].trimmed();
        const qsizetype colon = line.indexOf(':');
        if (colon <= 0)
            continue;
        const QByteArray name = line.left(colon).trimmed().toLower();
        const QByteArray value = line.mid(colon + 1).trimmed();
        if (name == "content-length") {
            // A list of one repeated value is the same length; anything else is two framings.
            for (const QByteArray& item : value.split(',')) {
                if (lengthSeen && item.trimmed() != length) {
                    out.status = 400;
                    return out;
                }
                length = item.trimmed();
                lengthSeen = true;
            }
        } else if (name == "transfer-encoding") {
            chunked = true;
        } else if (name == "connection") {
            for (const QByteArray& token : value.toLower().split(',')) {
                askedKeepAlive |= token.trimmed() == "keep-alive";
                askedClose |= token.trimmed() == "close";
            }
        } else if (name == "user-agent") {
            if (out.userAgent.isEmpty())
                out.userAgent = lines[i].mid(lines[i].indexOf(':') + 1).trimmed();
        } else if (name == "expect") {
            out.expectContinue = value.compare("100-continue", Qt::CaseInsensitive) == 0;
        }
    }
    if (lengthSeen && chunked) {
        out.status = 400;
        return out;
    }
    out.keepAlive = http10 ? askedKeepAlive && !askedClose : !askedClose;
    return out;
}

RemoteApi::Error headersTooLarge()
{
    return {431, "headers_too_large", QStringLiteral("Nagłówki żądania są za duże albo jest ich za wiele")};
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
// the bytes and the head it has sent towards that request, and whether it has made a request
// with the token. Lives as a child of the socket, so it goes when the socket goes.
class ConnectionWatch : public QObject {
public:
    ConnectionWatch(QTcpSocket* socket, GuardedTcpServer* server, const RemoteLimits& limits, RemoteCounters& counters);
    ~ConnectionWatch() override;

    void requestArrived()
    {
        bytes_ = 0;
        headBytes_.clear();
        headDone_ = false;
        deadline_.start(limits_.requestTimeoutMs);
    }
    void markAuthenticated() { authenticated_ = true; }
    bool authenticated() const { return authenticated_; }
    bool keepAlive() const { return head_.keepAlive; }
    const QByteArray& userAgent() const { return head_.userAgent; }
    // A WebSocket now: its own rules apply.
    void upgraded();
    QTcpSocket* socket() const { return socket_; }
    void detach() { server_ = nullptr; }
    // The connection has ended, however it ended; its place is given back once.
    void release();

private:
    void arrived();
    void refuse(int status, const QByteArray& reason, const RemoteApi::Error& e);
    void watchEnd();

    QTcpSocket* socket_;
    GuardedTcpServer* server_;
    const RemoteLimits& limits_;
    RemoteCounters& counters_;
    QTimer deadline_;
    QTimer firstByte_;
    qint64 bytes_ = 0;
    QByteArray headBytes_;
    HeadCheck head_;
    bool headDone_ = false;
    bool upgraded_ = false;
    bool authenticated_ = false;
    bool refused_ = false;
    bool released_ = false;
};

// Accepts connections up to the limit. Over it, the oldest connection that has not yet made a
// request with the token is closed to make room; only when every place is held by a known
// client is the newcomer closed, before any byte is read.
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
    QTcpSocket* socketOf(const QHostAddress& peer, quint16 peerPort) const
    {
        for (ConnectionWatch* w : open_)
            if (w->socket()->peerPort() == peerPort && w->socket()->peerAddress() == peer)
                return w->socket();
        return nullptr;
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
        open_.append(new ConnectionWatch(socket, this, limits_, counters_));
        counters_.open = static_cast<int>(open_.size());
        counters_.peakOpen = std::max(counters_.peakOpen, counters_.open);
        addPendingConnection(socket);
    }

private:
    bool makeRoom()
    {
        const auto idle = std::find_if(open_.cbegin(), open_.cend(), [](ConnectionWatch* w) { return !w->authenticated(); });
        if (idle == open_.cend())
            return false;
        ConnectionWatch* w = *idle;
        ++counters_.evicted;
        w->release();
        w->socket()->abort();
        return true;
    }

    const RemoteLimits& limits_;
    RemoteCounters& counters_;
    QList<ConnectionWatch*> open_;   // in the order they came
};

ConnectionWatch::ConnectionWatch(QTcpSocket* socket, GuardedTcpServer* server, const RemoteLimits& limits,
                                 RemoteCounters& counters)
    : QObject(socket), socket_(socket), server_(server), limits_(limits), counters_(counters)
{
    deadline_.setSingleShot(true);
    connect(&deadline_, &QTimer::timeout, this, [this] {
        ++counters_.timedOut;
        socket_->abort();
    });
    deadline_.start(limits_.requestTimeoutMs);
    // A connection that says nothing at all is given less time than a slow one.
    firstByte_.setSingleShot(true);
    connect(&firstByte_, &QTimer::timeout, this, [this] {
        ++counters_.timedOut;
        socket_->abort();
    });
    firstByte_.start(std::min(limits_.firstByteTimeoutMs, limits_.requestTimeoutMs));
    // Connected before the HTTP server's own reader, so it sees each arrival first.
    connect(socket_, &QTcpSocket::readyRead, this, [this] { arrived(); });
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
    authenticated_ = true;
    deadline_.stop();
    firstByte_.stop();
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
    if (server_)
        server_->released(this);
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
    const QByteArray fresh = socket_->peek(socket_->bytesAvailable());
    bytes_ += fresh.size();
    if (!headDone_) {
        headBytes_ += fresh;
        const qsizetype end = headBytes_.indexOf("\r\n\r\n");
        if (end < 0 ? headBytes_.size() > limits_.maxHeadBytes : end + 4 > limits_.maxHeadBytes)
            return refuse(431, "Request Header Fields Too Large", headersTooLarge());
        if (end >= 0) {
            headDone_ = true;
            head_ = checkHead(headBytes_.left(end + 2), limits_);
            const bool bodyStarted = headBytes_.size() > end + 4;
            headBytes_.clear();
            if (head_.status == 431)
                return refuse(431, "Request Header Fields Too Large", headersTooLarge());
            if (head_.status == 400)
                return refuse(400, "Bad Request",
                              {400, "bad_framing", QStringLiteral("Długość treści żądania jest niejednoznaczna")});
            if (head_.expectContinue && !bodyStarted && !HttpServerShim::answersContinue)
                socket_->write("HTTP/1.1 100 Continue\r\n\r\n");
        }
    }
    if (bytes_ > limits_.maxRequestBytes) {
        ++counters_.oversized;
        socket_->abort();
    }
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

QByteArray cookieValue(const QByteArray& cookies, const QByteArray& name)
{
    for (const QByteArray& part : cookies.split(';')) {
        const QByteArray item = part.trimmed();
        if (item.startsWith(name + '='))
            return item.mid(name.size() + 1);
    }
    return {};
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

const RemoteApi::Error NotFound{404, "not_found", QStringLiteral("Nie ma takiego adresu")};
const RemoteApi::Error Unauthorized{401, "unauthorized", QStringLiteral("Brak dostępu: nieprawidłowy lub brakujący klucz")};

} // namespace

// Where an answer goes, and how: HEAD gets the headers alone, and a connection that is not to
// be kept is told so.
struct RemoteServer::Answer {
    QHttpServerResponder& responder;
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
        HttpServerShim::write(responder, this->status, headers, head ? QByteArray() : body);
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
    return "kadrel_token_" + QByteArray::number(port());
}

QByteArray RemoteServer::viewerCookieName() const
{
    return "kadrel_view_" + QByteArray::number(port());
}

RemoteAccess RemoteServer::access(const QByteArray& bearer, const QByteArray& cookies, const QByteArray& token,
                                  const QByteArray& key) const
{
    const QByteArray given = bearer.startsWith("Bearer ") ? bearer.mid(7).trimmed() : QByteArray();
    const QByteArray cookie = cookieValue(cookies, cookieName());
    if ((!given.isEmpty() && sameToken(given, token_)) || (!cookie.isEmpty() && sameToken(cookie, token_))
        || (!token.isEmpty() && sameToken(token, token_)))
        return RemoteAccess::Operator;
    const QByteArray viewerCookie = cookieValue(cookies, viewerCookieName());
    if ((!given.isEmpty() && sameToken(given, viewerKey_)) || (!viewerCookie.isEmpty() && sameToken(viewerCookie, viewerKey_))
        || (!key.isEmpty() && sameToken(key, viewerKey_)))
        return RemoteAccess::Viewer;
    return RemoteAccess::None;
}

RemoteAccess RemoteServer::access(const QHttpServerRequest& request) const
{
    const QUrlQuery q = request.query();
    return access(headerValue(request, "authorization"), headerValue(request, "cookie"),
                  q.queryItemValue(QStringLiteral("token"), QUrl::FullyDecoded).toLatin1(),
                  q.queryItemValue(QStringLiteral("key"), QUrl::FullyDecoded).toLatin1());
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
    return std::nullopt;
}

bool RemoteServer::admitUpgrade(const QHttpServerRequest& request, QTcpSocket* socket)
{
    // Only a request that may listen gets as far as the upgrade.
    if (upgradeRefusal(request))
        return false;
    if (ConnectionWatch* watch = tcp_ ? tcp_->watchOf(socket) : nullptr) {
        watch->requestArrived();
        watch->markAuthenticated();
        watch->upgraded();
    }
    return true;
}

void RemoteServer::refuseUpgrade(const QHttpServerRequest& request, QHttpServerResponder& responder, QTcpSocket* socket)
{
    ConnectionWatch* watch = tcp_ ? tcp_->watchOf(socket) : nullptr;
    if (watch) {
        watch->requestArrived();
        if (access(request) != RemoteAccess::None)
            watch->markAuthenticated();
    }
    // Refused, or an upgrade the HTTP server did not take as one: its 401 (or 404, 403, 400)
    // and the connection is cut.
    const RemoteApi::Error refused = upgradeRefusal(request).value_or(
        RemoteApi::Error{400, "bad_upgrade", QStringLiteral("Niepełna prośba o połączenie WebSocket")});
    if (refused.status == 401)
        ++counters_.unauthorized;
    Answer out{responder};
    out.close = true;
    out.error(refused);
    closeAfterAnswer(socket, true);
}

void RemoteServer::serveRequest(const QHttpServerRequest& request, QHttpServerResponder& responder, QTcpSocket* socket)
{
    ConnectionWatch* watch = tcp_ ? tcp_->watchOf(socket) : nullptr;
    if (watch)
        watch->requestArrived();
    if (watch && access(request) != RemoteAccess::None)
        watch->markAuthenticated();
    Answer out{responder};
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
                              out.status, out.code});
    }
    if (out.close)
        closeAfterAnswer(socket);
}

void RemoteServer::serve(const QHttpServerRequest& request, Answer& out)
{
    const QString path = request.url().path();
    const auto method = request.method();
    const bool view = path == QLatin1String("/view");
    const bool page = path == QLatin1String("/") || path == QLatin1String("/index.html") || view;
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
        const bool withToken = query.hasQueryItem(QStringLiteral("token"));
        if (withToken || query.hasQueryItem(QStringLiteral("key"))) {
            // The address bar loses the secret, whichever way the request got in; a good one in
            // the link becomes the cookie.
            const QByteArray home = view ? "/view" : "/";
            const QByteArray given = query.queryItemValue(withToken ? QStringLiteral("token") : QStringLiteral("key"),
                                                          QUrl::FullyDecoded).toLatin1();
            const QByteArray& secret = withToken ? token_ : viewerKey_;
            if (!sameToken(given, secret))
                return out.reply(Status::SeeOther, "text/plain; charset=utf-8", home + '\n', {{"Location", home}});
            const QByteArray cookie = (withToken ? cookieName() : viewerCookieName()) + '=' + secret
                                      + "; Path=/; HttpOnly; SameSite=Strict; Max-Age=31536000";
            return out.reply(Status::SeeOther, "text/plain; charset=utf-8", home + '\n',
                             {{"Location", home}, {"Set-Cookie", cookie}});
        }
        return serveFile(view ? QStringLiteral(":/remote/view.html") : QStringLiteral(":/remote/index.html"), out);
    }
    if (path == QLatin1String("/app.js") || path == QLatin1String("/style.css") || path == QLatin1String("/view.js")
        || path == QLatin1String("/view.css") || path == QLatin1String("/favicon.ico"))
        return serveFile(QStringLiteral(":/remote") + path, out);
    if (path == QLatin1String("/api/v1/openapi.json"))
        return serveFile(QStringLiteral(":/remote/openapi.json"), out);
    if (path == QLatin1String("/api/v1/state"))
        return out.reply(Status::Ok, JsonType, RemoteApi::stateJson(host_.panelView()));
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
        {"GET", "/favicon.ico", true},
        {"GET", "/api/v1/state", true},
        {"GET", "/api/v1/live", true},
        {"GET", "/api/v1/openapi.json"},
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
        connect(ws, &QWebSocket::disconnected, this, [this, ws] {
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
    }
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
        clients_.removeAll(client);
        client->abort();
        client->deleteLater();
        return;
    }
    client->sendTextMessage(state);
}
