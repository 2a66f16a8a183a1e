#include "remote/RemoteServer.h"

#include <QFile>
#include <QHttpServerRequest>
#include <QHttpServerResponder>
#include <QTcpServer>
#include <QTcpSocket>
#include <QUrlQuery>
#include <QWebSocket>
#include <optional>
#include <unistd.h>

#include "remote/RemoteApi.h"
#include "remote/RemoteSettings.h"

namespace {

using Status = QHttpServerResponder::StatusCode;

const QByteArray JsonType = QByteArrayLiteral("application/json; charset=utf-8");

// One kept connection: the deadline by which its next request must have arrived whole, and the
// bytes it has sent towards that request. Lives as a child of the socket.
class ConnectionWatch : public QObject {
public:
    ConnectionWatch(QTcpSocket* socket, const RemoteLimits& limits, RemoteCounters& counters)
        : QObject(socket), socket_(socket), limits_(limits), counters_(counters)
    {
        deadline_.setSingleShot(true);
        connect(&deadline_, &QTimer::timeout, this, [this] {
            if (upgraded_)
                return;
            ++counters_.timedOut;
            socket_->abort();
        });
        deadline_.start(limits_.requestTimeoutMs);
        // Connected before the HTTP server's own reader, so it sees each arrival first.
        connect(socket_, &QTcpSocket::readyRead, this, [this] {
            if (upgraded_)
                return;
            bytes_ += socket_->bytesAvailable();
            if (bytes_ > limits_.maxRequestBytes) {
                ++counters_.oversized;
                socket_->abort();
            }
        });
    }

    void requestArrived()
    {
        bytes_ = 0;
        deadline_.start(limits_.requestTimeoutMs);
    }
    // A WebSocket now: its own rules apply.
    void upgraded()
    {
        upgraded_ = true;
        deadline_.stop();
    }
    QTcpSocket* socket() const { return socket_; }

private:
    QTcpSocket* socket_;
    const RemoteLimits& limits_;
    RemoteCounters& counters_;
    QTimer deadline_;
    qint64 bytes_ = 0;
    bool upgraded_ = false;
};

} // namespace

// Accepts connections up to the limit and closes the rest at once, before any byte is read.
class GuardedTcpServer : public QTcpServer {
public:
    GuardedTcpServer(const RemoteLimits& limits, RemoteCounters& counters, QObject* parent)
        : QTcpServer(parent), limits_(limits), counters_(counters)
    {
    }

    ConnectionWatch* watchOf(const QTcpSocket* socket) const
    {
        for (const QPointer<ConnectionWatch>& w : watches_)
            if (w && w->socket() == socket)
                return w;
        return nullptr;
    }

protected:
    void incomingConnection(qintptr descriptor) override
    {
        if (open_ >= limits_.maxConnections) {
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
        ++open_;
        counters_.peakOpen = std::max(counters_.peakOpen, open_);
        connect(socket, &QObject::destroyed, this, [this] {
            --open_;
            watches_.removeAll(nullptr);
        });
        watches_.append(new ConnectionWatch(socket, limits_, counters_));
        addPendingConnection(socket);
    }

private:
    const RemoteLimits& limits_;
    RemoteCounters& counters_;
    int open_ = 0;
    QList<QPointer<ConnectionWatch>> watches_;
};

namespace {

QByteArray headerValue(const QHttpServerRequest& request, const QByteArray& name)
{
    for (const auto& h : request.headers())
        if (h.first.compare(name, Qt::CaseInsensitive) == 0)
            return h.second;
    return {};
}

QByteArray cookieValue(const QByteArray& cookies, const QByteArray& name)
{
    for (const QByteArray& part : cookies.split(';')) {
        const QByteArray item = part.trimmed();
        if (item.startsWith(name + '='))
            return item.mid(name.size() + 1);
    }
    return {};
}

struct Header {
    QByteArray name;
    QByteArray value;
};

void reply(QHttpServerResponder& r, Status status, const QByteArray& type, const QByteArray& body,
           std::initializer_list<Header> extra = {})
{
    r.writeStatusLine(status);
    r.writeHeader("Content-Type", type);
    r.writeHeader("Content-Length", QByteArray::number(body.size()));
    r.writeHeader("Cache-Control", "no-store");
    r.writeHeader("X-Content-Type-Options", "nosniff");
    r.writeHeader("Referrer-Policy", "no-referrer");
    for (const Header& h : extra)
        r.writeHeader(h.name, h.value);
    r.writeBody(body);
}

void replyError(QHttpServerResponder& r, const RemoteApi::Error& e, std::initializer_list<Header> extra = {})
{
    reply(r, static_cast<Status>(e.status), JsonType, RemoteApi::errorJson(e), extra);
}

// A browser names the page's origin; a page of another site may not listen in, even with the
// operator's cookie. Programs send no origin.
bool sameOrigin(const QByteArray& origin, const QByteArray& host)
{
    return origin.isEmpty() || QUrl(QString::fromLatin1(origin)).authority() == QString::fromLatin1(host);
}

} // namespace

RemoteServer::RemoteServer(StopwatchHost& host, QByteArray token, RemoteLimits limits, QObject* parent)
    : QAbstractHttpServer(parent), host_(host), token_(std::move(token)), limits_(limits)
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

bool RemoteServer::authorized(const QHttpServerRequest& request, bool* viaQuery) const
{
    if (viaQuery)
        *viaQuery = false;
    const QByteArray bearer = headerValue(request, "authorization");
    if (bearer.startsWith("Bearer ") && sameToken(bearer.mid(7).trimmed(), token_))
        return true;
    const QByteArray cookie = cookieValue(headerValue(request, "cookie"), CookieName);
    if (!cookie.isEmpty() && sameToken(cookie, token_))
        return true;
    const QString query = request.query().queryItemValue(QStringLiteral("token"), QUrl::FullyDecoded);
    if (!query.isEmpty() && sameToken(query.toLatin1(), token_)) {
        if (viaQuery)
            *viaQuery = true;
        return true;
    }
    return false;
}

bool RemoteServer::handleRequest(const QHttpServerRequest& request, QTcpSocket* socket)
{
    ConnectionWatch* watch = tcp_ ? tcp_->watchOf(socket) : nullptr;
    if (watch)
        watch->requestArrived();
    if (headerValue(request, "upgrade").compare("websocket", Qt::CaseInsensitive) == 0) {
        // The server upgrades the connection itself once this returns; only a request that may
        // listen gets that far. Any other gets its 401 (or 404) and the connection is cut.
        std::optional<RemoteApi::Error> refused;
        if (!authorized(request))
            refused = RemoteApi::Error{401, "unauthorized", QStringLiteral("Brak dostępu: nieprawidłowy lub brakujący klucz")};
        else if (request.url().path() != QLatin1String("/api/v1/live"))
            refused = RemoteApi::Error{404, "not_found", QStringLiteral("Nie ma takiego adresu")};
        else if (!sameOrigin(headerValue(request, "origin"), headerValue(request, "host")))
            refused = RemoteApi::Error{403, "forbidden", QStringLiteral("Połączenie z innej strony jest niedozwolone")};
        if (refused) {
            if (refused->status == 401)
                ++counters_.unauthorized;
            QHttpServerResponder responder = makeResponder(request, socket);
            replyError(responder, *refused, {{"Connection", "close"}});
            socket->flush();
            socket->abort();
            return true;
        }
        if (watch)
            watch->upgraded();
        return true;
    }
    QHttpServerResponder responder = makeResponder(request, socket);
    serve(request, responder);
    return true;
}

void RemoteServer::missingHandler(const QHttpServerRequest& request, QTcpSocket* socket)
{
    QHttpServerResponder responder = makeResponder(request, socket);
    replyError(responder, {404, "not_found", QStringLiteral("Nie ma takiego adresu")});
}

void RemoteServer::serve(const QHttpServerRequest& request, QHttpServerResponder& responder)
{
    const QString path = request.url().path();
    const auto method = request.method();
    bool viaQuery = false;
    if (!authorized(request, &viaQuery)) {
        ++counters_.unauthorized;
        if (method == QHttpServerRequest::Method::Get && (path == QLatin1String("/") || path == QLatin1String("/index.html"))) {
            reply(responder, Status::Unauthorized, "text/plain; charset=utf-8",
                  QStringLiteral("Brak dostępu. Otwórz stronę z adresu (lub kodu QR) pokazanego w programie Kadrel, "
                                 "w oknie „Zdalne sterowanie”.\n").toUtf8());
        } else {
            replyError(responder, {401, "unauthorized", QStringLiteral("Brak dostępu: nieprawidłowy lub brakujący klucz")},
                       {{"WWW-Authenticate", "Bearer realm=\"Kadrel\""}});
        }
        return;
    }

    const bool get = method == QHttpServerRequest::Method::Get || method == QHttpServerRequest::Method::Head;
    const bool post = method == QHttpServerRequest::Method::Post;
    const RemoteApi::Error notAllowed{405, "method_not_allowed", QStringLiteral("Ta metoda nie jest tu obsługiwana")};

    if (path == QLatin1String("/") || path == QLatin1String("/index.html")) {
        if (!get)
            return replyError(responder, notAllowed);
        if (viaQuery) {
            // The link's token becomes a cookie, and the address bar loses it.
            const QByteArray cookie = QByteArray(CookieName) + '=' + token_
                                      + "; Path=/; HttpOnly; SameSite=Strict; Max-Age=31536000";
            return reply(responder, Status::SeeOther, "text/plain; charset=utf-8", "/\n",
                         {{"Location", "/"}, {"Set-Cookie", cookie}});
        }
        return serveFile(QStringLiteral(":/remote/index.html"), responder);
    }
    if (path == QLatin1String("/app.js") || path == QLatin1String("/style.css")) {
        if (!get)
            return replyError(responder, notAllowed);
        return serveFile(QStringLiteral(":/remote") + path, responder);
    }
    if (path == QLatin1String("/api/v1/state")) {
        if (!get)
            return replyError(responder, notAllowed);
        return reply(responder, Status::Ok, JsonType, RemoteApi::stateJson(host_.panelView()));
    }
    if (path == QLatin1String("/api/v1/live"))
        return replyError(responder, {426, "upgrade_required", QStringLiteral("Ten adres przyjmuje tylko połączenia WebSocket")},
                          {{"Upgrade", "websocket"}});
    static const QString commandPrefix = QStringLiteral("/api/v1/stopwatch/");
    if (path.startsWith(commandPrefix)) {
        if (!post)
            return replyError(responder, notAllowed);
        const RemoteApi::Parsed parsed = RemoteApi::parseCommand(path.mid(commandPrefix.size()), request.body());
        if (!parsed.command)
            return replyError(responder, parsed.error);
        const CommandOutcome outcome = host_.runStopwatchCommand(*parsed.command);
        if (!outcome.ok())
            return replyError(responder, RemoteApi::refusal(outcome));
        stateChanged();
        return reply(responder, Status::Ok, JsonType, RemoteApi::okJson());
    }
    replyError(responder, {404, "not_found", QStringLiteral("Nie ma takiego adresu")});
}

void RemoteServer::serveFile(const QString& path, QHttpServerResponder& responder)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return replyError(responder, {404, "not_found", QStringLiteral("Nie ma takiego adresu")});
    QByteArray type = "application/octet-stream";
    if (path.endsWith(QLatin1String(".html")))
        type = "text/html; charset=utf-8";
    else if (path.endsWith(QLatin1String(".js")))
        type = "text/javascript; charset=utf-8";
    else if (path.endsWith(QLatin1String(".css")))
        type = "text/css; charset=utf-8";
    else if (path.endsWith(QLatin1String(".svg")))
        type = "image/svg+xml";
    reply(responder, Status::Ok, type, file.readAll(),
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
        const QByteArray bearer = req.rawHeader("Authorization");
        const QByteArray cookie = cookieValue(req.rawHeader("Cookie"), CookieName);
        const QByteArray query = QUrlQuery(ws->requestUrl()).queryItemValue(QStringLiteral("token"), QUrl::FullyDecoded).toLatin1();
        const bool ok = (bearer.startsWith("Bearer ") && sameToken(bearer.mid(7).trimmed(), token_))
                        || (!cookie.isEmpty() && sameToken(cookie, token_)) || (!query.isEmpty() && sameToken(query, token_));
        // Checked before the upgrade already; this is the second line.
        if (!ok || !sameOrigin(req.rawHeader("Origin"), req.rawHeader("Host"))
            || ws->requestUrl().path() != QLatin1String("/api/v1/live")) {
            ++counters_.unauthorized;
            ws->close(static_cast<QWebSocketProtocol::CloseCode>(4401), QStringLiteral("Brak dostępu"));
            ws->deleteLater();
            continue;
        }
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
