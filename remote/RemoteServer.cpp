#include "remote/RemoteServer.h"

#include <QHash>
#include <QHttpServerRequest>
#include <QHttpServerResponder>
#include <QHttpServerResponse>
#include <QJsonObject>
#include <QTcpSocket>
#include <QUrlQuery>
#include <QWebSocket>
#include <algorithm>
#include <optional>

#include "remote/RemoteApi.h"
#include "remote/RemoteGuard.h"
#include "remote/RemoteSettings.h"

namespace {

using Status = QHttpServerResponder::StatusCode;
using Header = HttpServerShim::Header;

const QByteArray JsonType = QByteArrayLiteral("application/json; charset=utf-8");

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
const RemoteApi::Error Unavailable{503, "unavailable", QStringLiteral("Ta część programu teraz nie działa")};
const RemoteApi::Error ViewerOnly{403, "viewer_only", QStringLiteral("Klucz podglądu pozwala tylko oglądać zegary")};

// The methods a route's method name answers: a GET answers HEAD too.
QHttpServerRequest::Methods methodsOf(const char* name)
{
    using M = QHttpServerRequest::Method;
    static const QHash<QByteArray, QHttpServerRequest::Methods> known{
        {"GET", M::Get | M::Head}, {"POST", M::Post}, {"PUT", M::Put}, {"PATCH", M::Patch}, {"DELETE", M::Delete}};
    return known.value(name);
}

// A command changes something: it is a request by any method the routes name but GET.
bool isCommand(QHttpServerRequest::Method method)
{
    static const QHttpServerRequest::Methods commands = [] {
        QHttpServerRequest::Methods all;
        for (const RemoteRoute& r : RemoteServer::routes())
            if (qstrcmp(r.method, "GET") != 0)
                all |= methodsOf(r.method);
        return all;
    }();
    return commands.testFlag(method);
}

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

// One request on its way through the router to its route's handler.
struct RemoteServer::Exchange {
    const QHttpServerRequest& request;
    Answer& out;
    RemoteAccess granted;          // the strongest key the request showed
    const Route* route = nullptr;  // the route that took it
    QStringList captured{};        // its path's "{name}" segments, in order
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
    addRoutes();
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
    tcp_->carriesPlan = [this](const HeadReading& head) { return mayCarryPlan(head); };
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
    return access(request.value("authorization"), request.value("cookie"),
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
    if (!sameOrigin(request.value("origin"), request.value("host")))
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
    out.http10KeepAlive = keepAlive && watch && request.value("connection").toLower().contains("keep-alive");
    serve(request, out, granted);
    if (isCommand(request.method())) {
        QByteArray userAgent = request.value("user-agent");
        if (userAgent.isEmpty() && watch)
            userAgent = watch->userAgent();
        emit commandAnswered({request.remoteAddress(), userAgent, request.url().path(), request.body().left(200),
                              out.status, out.code, granted});
    }
    if (out.close)
        closeAfterAnswer(socket);
}

// What every request meets before the router (the key, and a command's checks), and what a
// path no route names gets after it.
void RemoteServer::serve(const QHttpServerRequest& request, Answer& out, RemoteAccess granted)
{
    const QString path = request.url().path();
    if (granted == RemoteAccess::None) {
        ++counters_.unauthorized;
        const auto page = [&path](const Route& r) {
            return path == QLatin1String(r.path)
                && (r.handler == &RemoteServer::operatorPage || r.handler == &RemoteServer::viewPage
                    || r.handler == &RemoteServer::overlayPage);
        };
        if (request.method() == QHttpServerRequest::Method::Get
            && std::any_of(routes().cbegin(), routes().cend(), page)) {
            out.reply(Status::Unauthorized, "text/plain; charset=utf-8",
                      QStringLiteral("Brak dostępu. Otwórz stronę z adresu (lub kodu QR) pokazanego w programie Kadrel, "
                                     "w oknie „Zdalne sterowanie”.\n").toUtf8());
        } else {
            out.error(Unauthorized, {{"WWW-Authenticate", "Bearer realm=\"Kadrel\""}});
        }
        return;
    }
    const bool command = isCommand(request.method());
    // The viewer key shows and never commands, whatever else the request says.
    if (granted == RemoteAccess::Viewer && command)
        return out.error(ViewerOnly);
    if (command) {
        // A page of another site may post a form or a plain text with the operator's cookie;
        // neither gets this far.
        if (!isJson(request.value("content-type")))
            return out.error({403, "json_required", QStringLiteral("Polecenie musi mieć treść typu application/json")});
        if (!sameOrigin(request.value("origin"), request.value("host")))
            return out.error({403, "foreign_origin", QStringLiteral("Polecenie z innej strony jest niedozwolone")});
    }
    Exchange ex{request, out, granted};
    if (router_.handleRequest(request, out.responder, out.socket, ex))
        return;
    // A path the routes name, asked by another method: 405, after the key's check.
    const QList<Route>& all = routes();
    const auto samePath = [&path](const Route& r) {
        return HttpRouterShim<Exchange>::pathMatches(QString::fromLatin1(r.path), path);
    };
    if (std::any_of(all.cbegin(), all.cend(), samePath)) {
        const bool viewer = std::any_of(
            all.cbegin(), all.cend(), [&](const Route& r) { return samePath(r) && r.access == RemoteAccess::Viewer; });
        if (granted == RemoteAccess::Viewer && !viewer)
            return out.error(ViewerOnly);
        return out.error({405, "method_not_allowed", QStringLiteral("Ta metoda nie jest tu obsługiwana")});
    }
    static const QString commandPrefix = QStringLiteral("/api/v1/stopwatch/");
    if (command && path.startsWith(commandPrefix))  // names the command it does not know
        return out.error(RemoteApi::parseCommand(path.mid(commandPrefix.size()), {}).error);
    out.error(NotFound);
}

// Each route a rule of Qt's router, in the table's order.
void RemoteServer::addRoutes()
{
    const QList<Route>& all = routes();
    for (const Route& route : all) {
        const bool taken = router_.addRule(QString::fromLatin1(route.path), methodsOf(route.method),
                                           [this, &route](Exchange& ex, const QStringList& captured) {
                                               if (ex.granted < route.access)
                                                   return ex.out.error(ViewerOnly);
                                               ex.route = &route;
                                               ex.captured = captured;
                                               (this->*route.handler)(ex);
                                           });
        if (!taken)
            qWarning("Kadrel: Qt's router refused the route %s %s", route.method, route.path);
    }
}

void RemoteServer::operatorPage(Exchange& ex)
{
    page(ex, QStringLiteral(":/remote/index.html"));
}

void RemoteServer::viewPage(Exchange& ex)
{
    page(ex, QStringLiteral(":/remote/view.html"));
}

void RemoteServer::overlayPage(Exchange& ex)
{
    page(ex, QStringLiteral(":/remote/overlay.html"));
}

// A link with its secret is exchanged for a session first; the page itself comes after.
void RemoteServer::page(Exchange& ex, const QString& resource)
{
    const QUrlQuery query = ex.request.query();
    if (query.hasQueryItem(QStringLiteral("token")) || query.hasQueryItem(viewerItem(ex.request.url().path())))
        return exchangeLink(ex.request, ex.out);
    serveFile(resource, ex.out);
}

// The page's other files, each under its own name in the resources.
void RemoteServer::file(Exchange& ex)
{
    serveFile(QStringLiteral(":/remote/") + QString::fromLatin1(ex.route->path).section(QLatin1Char('/'), -1), ex.out);
}

void RemoteServer::state(Exchange& ex)
{
    ex.out.reply(Status::Ok, JsonType, currentState());
}

// The site's other buses as the broker link heard them; none without the link.
void RemoteServer::campus(Exchange& ex)
{
    ex.out.reply(Status::Ok, JsonType, RemoteApi::campusJson(campus_ ? campus_->campusView() : CampusView{}));
}

// A plain request for what only a WebSocket gets (an upgrade never reaches the router).
void RemoteServer::live(Exchange& ex)
{
    ex.out.error({426, "upgrade_required", QStringLiteral("Ten adres przyjmuje tylko połączenia WebSocket")},
                 {{"Upgrade", "websocket"}});
}

// The stopwatch's commands, named by the path's last segment.
void RemoteServer::command(Exchange& ex)
{
    const QString name = ex.request.url().path().section(QLatin1Char('/'), -1);
    const RemoteApi::Parsed parsed = RemoteApi::parseCommand(name, ex.request.body());
    if (!parsed.command)
        return ex.out.error(parsed.error);
    const CommandOutcome outcome = host_.runStopwatchCommand(*parsed.command);
    if (!outcome.ok())
        return ex.out.error(RemoteApi::refusal(outcome));
    stateChanged();
    ex.out.reply(Status::Ok, JsonType, RemoteApi::okJson());
}

// A clock panel's mode, display, brightness or direction, through that panel's controls.
void RemoteServer::clockCommand(Exchange& ex)
{
    RemoteApi::Error error;
    const std::optional<QJsonObject> object = RemoteApi::commandBody(ex.request.body(), error);
    if (!object)
        return ex.out.error(error);
    const RemoteApi::ClockParsed parsed =
        RemoteApi::parseClockCommand(ex.request.url().path().section(QLatin1Char('/'), -1), *object);
    if (!parsed.command)
        return ex.out.error(parsed.error);
    if (!panels_)
        return ex.out.error(Unavailable);
    const CommandOutcome outcome = panels_->runClockCommand(*parsed.command);
    if (!outcome.ok())
        return ex.out.error(RemoteApi::refusal(outcome));
    stateChanged();
    ex.out.reply(Status::Ok, JsonType, RemoteApi::okJson());
}

void RemoteServer::plan(Exchange& ex)
{
    if (!plan_)
        return ex.out.error(Unavailable);
    ex.out.reply(Status::Ok, JsonType, plan_->planDocument());
}

// The whole plan, in the plan file's own format, or nothing of it.
void RemoteServer::replacePlan(Exchange& ex)
{
    if (!plan_)
        return ex.out.error(Unavailable);
    if (const std::optional<PlanRefusal> refused = plan_->replacePlan(ex.request.body()))
        return ex.out.error(RemoteApi::refusal(*refused));
    stateChanged();
    ex.out.reply(Status::Ok, JsonType, RemoteApi::okJson());
}

void RemoteServer::nextFirings(Exchange& ex)
{
    if (!plan_)
        return ex.out.error(Unavailable);
    ex.out.reply(Status::Ok, JsonType, RemoteApi::firingsJson(plan_->nextFirings(10)));
}

void RemoteServer::setPlanHost(PlanHost* plan)
{
    plan_ = plan;
    stateChanged();
}

// The state document, with what the pages show of the plan when there is one.
QByteArray RemoteServer::currentState() const
{
    if (!plan_)
        return RemoteApi::stateJson(host_.panelView());
    const RemoteApi::PlanGlance glance{plan_->currentEntries(), plan_->nextFirings(3)};
    return RemoteApi::stateJson(host_.panelView(), &glance);
}

bool RemoteServer::mayCarryPlan(const HeadReading& head) const
{
    const qsizetype query = head.target.indexOf('?');
    if (head.method != "PUT" || (query < 0 ? head.target : head.target.left(query)) != "/api/v1/plan")
        return false;
    QByteArray bearer, cookies;
    for (const auto& [name, value] : head.headers) {
        if (name.compare("authorization", Qt::CaseInsensitive) == 0)
            bearer = value;
        else if (name.compare("cookie", Qt::CaseInsensitive) == 0)
            cookies = value;
    }
    const QUrlQuery q(query < 0 ? QString() : QString::fromLatin1(head.target.mid(query + 1)));
    return access(bearer, cookies, q.queryItemValue(QStringLiteral("token"), QUrl::FullyDecoded).toLatin1(), {})
        == RemoteAccess::Operator;
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
    const QByteArray cookies = request.value("cookie");
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

// To add a route: one entry here (method, path as the API's description writes it, the least
// key, the handler) and its handler, a member taking the Exchange; name it in openapi.json too.
// Qt's router dispatches on this table in its order, and the description test compares with it.
const QList<RemoteServer::Route>& RemoteServer::routes()
{
    using A = RemoteAccess;
    static const QList<Route> all{
        {"GET", "/", A::Operator, &RemoteServer::operatorPage},
        {"GET", "/index.html", A::Operator, &RemoteServer::operatorPage},
        {"GET", "/app.js", A::Operator, &RemoteServer::file},
        {"GET", "/style.css", A::Operator, &RemoteServer::file},
        {"GET", "/view", A::Viewer, &RemoteServer::viewPage},
        {"GET", "/view.js", A::Viewer, &RemoteServer::file},
        {"GET", "/view.css", A::Viewer, &RemoteServer::file},
        {"GET", "/overlay", A::Viewer, &RemoteServer::overlayPage},
        {"GET", "/overlay.js", A::Viewer, &RemoteServer::file},
        {"GET", "/overlay.css", A::Viewer, &RemoteServer::file},
        {"GET", "/live.js", A::Viewer, &RemoteServer::file},
        {"GET", "/favicon.ico", A::Viewer, &RemoteServer::file},
        {"GET", "/api/v1/state", A::Viewer, &RemoteServer::state},
        {"GET", "/api/v1/campus", A::Viewer, &RemoteServer::campus},
        {"GET", "/api/v1/live", A::Viewer, &RemoteServer::live},
        {"GET", "/api/v1/openapi.json", A::Operator, &RemoteServer::file},
        {"GET", "/api/v1/asyncapi.json", A::Operator, &RemoteServer::file},
        {"POST", "/api/v1/stopwatch/start", A::Operator, &RemoteServer::command},
        {"POST", "/api/v1/stopwatch/stop", A::Operator, &RemoteServer::command},
        {"POST", "/api/v1/stopwatch/set", A::Operator, &RemoteServer::command},
        {"POST", "/api/v1/stopwatch/zero", A::Operator, &RemoteServer::command},
        {"POST", "/api/v1/stopwatch/preset", A::Operator, &RemoteServer::command},
        {"POST", "/api/v1/stopwatch/target", A::Operator, &RemoteServer::command},
        {"POST", "/api/v1/clock/mode", A::Operator, &RemoteServer::clockCommand},
        {"POST", "/api/v1/clock/display", A::Operator, &RemoteServer::clockCommand},
        {"POST", "/api/v1/clock/brightness", A::Operator, &RemoteServer::clockCommand},
        {"POST", "/api/v1/clock/direction", A::Operator, &RemoteServer::clockCommand},
        {"GET", "/api/v1/plan", A::Operator, &RemoteServer::plan},
        {"PUT", "/api/v1/plan", A::Operator, &RemoteServer::replacePlan},
        {"GET", "/api/v1/plan/next", A::Operator, &RemoteServer::nextFirings},
    };
    return all;
}

// The type is the one Qt's MIME database gives the file's name and bytes.
void RemoteServer::serveFile(const QString& path, Answer& out)
{
    const QHttpServerResponse file = QHttpServerResponse::fromFile(path);
    if (file.statusCode() != Status::Ok)
        return out.error(NotFound);
    out.reply(Status::Ok, file.mimeType(), file.data(),
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
            lastState_ = currentState();
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
    const QByteArray state = currentState();
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
