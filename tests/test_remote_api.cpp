// needs: qt
// The remote API over loopback against a window on a pseudo-terminal: the state document, each
// command's frame on the bus, refusals, the token, and clients that misbehave; the plan read,
// replaced and refused whole, and the clock panels' commands.
#include <QDateTime>
#include <QEventLoop>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QRadioButton>
#include <QSlider>
#include <QTemporaryDir>
#include <QTcpSocket>
#include <QWebSocket>
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#include <functional>

#include "app/PlanRunner.h"
#include "plan/PlanFile.h"
#include "remote/RemoteApi.h"
#include "remote/RefusalTally.h"
#include "remote/RemoteServer.h"
#include "remote/RemoteSettings.h"
#include "tests/support/ClockFrames.h"
#include "tests/support/PlanSamples.h"
#include "tests/test_main_window_fixture.h"

namespace {

struct Reply {
    int status = 0;
    QByteArray body;
    QJsonObject json;
    QList<QNetworkReply::RawHeaderPair> headers;
    QByteArray header(const QByteArray& name) const
    {
        for (const auto& h : headers)
            if (h.first.compare(name, Qt::CaseInsensitive) == 0)
                return h.second;
        return {};
    }
};

class RemoteApiTest : public ConnectedWindowTest {
protected:
    void SetUp() override
    {
        ConnectedWindowTest::SetUp();
        RemoteLimits limits;
        limits.requestTimeoutMs = 400;
        limits.maxConnections = 16;
        limits.maxWebSocketBacklog = 16 * 1024;
        token = newAccessToken();
        viewerKey = newAccessToken();
        server = std::make_unique<RemoteServer>(*form, token, limits);
        server->setViewerKey(viewerKey);
        ASSERT_TRUE(server->start(QHostAddress::LocalHost, 0).isEmpty());
        base = QStringLiteral("http://127.0.0.1:%1").arg(server->port());
    }
    void TearDown() override
    {
        server.reset();
        ConnectedWindowTest::TearDown();
    }

    Reply request(const QByteArray& method, const QString& path, const QByteArray& body = {},
                  const QByteArray& auth = "token")
    {
        QNetworkRequest req(QUrl(base + path));
        req.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::ManualRedirectPolicy);
        if (auth == "token")
            req.setRawHeader("Authorization", "Bearer " + token);
        else if (auth != "-")
            req.setRawHeader("Authorization", auth);
        if (!body.isEmpty() || method == "POST" || method == "PUT")
            req.setHeader(QNetworkRequest::ContentTypeHeader, "application/json");
        QNetworkReply* r = net.sendCustomRequest(req, method, body);
        QEventLoop wait;
        QObject::connect(r, &QNetworkReply::finished, &wait, &QEventLoop::quit);
        QTimer::singleShot(3000, &wait, &QEventLoop::quit);
        wait.exec();
        Reply out;
        out.status = r->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
        out.body = r->readAll();
        out.json = QJsonDocument::fromJson(out.body).object();
        out.headers = r->rawHeaderPairs();
        r->deleteLater();
        return out;
    }
    Reply post(const QString& command, const QByteArray& body = "{}")
    {
        return request("POST", QStringLiteral("/api/v1/stopwatch/") + command, body);
    }

    // One tick with traffic: the queued command (or a poll) goes out.
    std::string tickFrame(size_t length)
    {
        form->TimerTimer();
        return toHex(sent(length));
    }

    QByteArray token;
    QByteArray viewerKey;
    std::unique_ptr<RemoteServer> server;
    QString base;
    QNetworkAccessManager net;
};

TEST_F(RemoteApiTest, StateDocumentShowsPanelsAndClocks)
{
    form->Clocks[3].boxActiv->click();   // clock 3 off
    bus->write(status(1, 0x12, 0x34, 0x0339));
    ASSERT_TRUE(waitFor([&] { return form->Clocks[1].czas->text() == QStringLiteral("12:34"); }));

    const Reply r = request("GET", QStringLiteral("/api/v1/state"));
    ASSERT_EQ(r.status, 200);
    EXPECT_EQ(r.header("Content-Type"), "application/json; charset=utf-8");
    EXPECT_EQ(r.json.value("version").toInt(), 1);
    const QJsonObject conn = r.json.value("connection").toObject();
    EXPECT_TRUE(conn.value("connected").toBool());
    EXPECT_EQ(conn.value("status").toString(), QStringLiteral("POŁĄCZONY"));
    const QJsonObject sw = r.json.value("stopwatch").toObject();
    EXPECT_EQ(sw.value("target").toString(), QStringLiteral("W"));
    EXPECT_EQ(sw.value("minutes").toString(), QStringLiteral("00"));
    const QJsonArray clocks = r.json.value("clocks").toArray();
    ASSERT_EQ(clocks.size(), 4);
    const QJsonObject c1 = clocks[0].toObject();
    EXPECT_EQ(c1.value("name").toString(), QStringLiteral("Zegar 1"));
    EXPECT_EQ(c1.value("time").toString(), QStringLiteral("12:34"));
    EXPECT_EQ(c1.value("voltage").toString(), QStringLiteral("12,28 V"));
    EXPECT_EQ(c1.value("link").toInt(), 1);
    EXPECT_FALSE(clocks[2].toObject().value("active").toBool());
}

// Each command: the bytes on the bus at the next tick and the window's fields afterwards.
TEST_F(RemoteApiTest, CommandsGoOutAsTheWindowsOwn)
{
    struct Case {
        const char* command;
        QByteArray body;
        std::string frame;
        const char* minutes;
        const char* seconds;
        int target;
    };
    const Case cases[] = {
        {"start", "{}", "5A 00 01 01 5C", "00", "00", 0},
        {"stop", R"({"target":3})", "5A 03 01 02 60", "00", "00", 3},
        {"set", R"({"minutes":"7","seconds":"75"})", "5A 03 03 03 07 59 C3", "07", "59", 3},
        {"preset", R"({"minutes":10,"target":"W"})", "5A 00 03 03 10 00 70", "10", "00", 0},
        {"zero", "", "5A 00 03 03 00 00 60", "00", "00", 0},
        {"set", R"({"minutes":"","seconds":"5","target":"2"})", "5A 02 03 03 00 05 67", "00", "05", 2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.command);
        const Reply r = post(QString::fromLatin1(c.command), c.body);
        ASSERT_EQ(r.status, 200) << r.body.toStdString();
        EXPECT_TRUE(r.json.value("ok").toBool());
        EXPECT_EQ(tickFrame(fromHex(c.frame).size()), c.frame);
        EXPECT_EQ(form->Link.PendingCommand, 0);
        EXPECT_EQ(form->Medit->text(), QString::fromLatin1(c.minutes));
        EXPECT_EQ(form->Sedit->text(), QString::fromLatin1(c.seconds));
        if (c.target == 0)
            EXPECT_TRUE(form->Z1_4->isChecked());
        else
            EXPECT_TRUE(form->TargetButtons[c.target]->isChecked());
    }
    // Selecting the target alone sends nothing but the next poll.
    ASSERT_EQ(post("target", R"({"target":4})").status, 200);
    EXPECT_TRUE(form->TargetButtons[4]->isChecked());
    EXPECT_EQ(form->Link.PendingCommand, 0);
}

TEST_F(RemoteApiTest, BadInputIsRefusedAndNothingQueued)
{
    const QByteArray huge(RemoteApi::MaxBodyBytes + 10, 'x');
    struct Case {
        const char* method;
        const char* path;
        QByteArray body;
        int status;
        const char* code;
    };
    const Case cases[] = {
        {"POST", "/api/v1/stopwatch/set", R"({"minutes":"7a","seconds":"00"})", 400, "bad_input"},
        {"POST", "/api/v1/stopwatch/set", R"({"minutes":"123"})", 400, "bad_input"},
        {"POST", "/api/v1/stopwatch/set", R"({"minutes":"-1"})", 400, "bad_input"},
        {"POST", "/api/v1/stopwatch/set", R"({"minutes":1.5})", 400, "bad_minutes"},
        {"POST", "/api/v1/stopwatch/set", R"({"seconds":"30"})", 400, "bad_minutes"},
        {"POST", "/api/v1/stopwatch/preset", R"({"minutes":7})", 400, "bad_input"},
        {"POST", "/api/v1/stopwatch/start", R"({"target":5})", 400, "bad_target"},
        {"POST", "/api/v1/stopwatch/start", R"({"target":"x"})", 400, "bad_target"},
        {"POST", "/api/v1/stopwatch/start", R"({"minutes":"10"})", 400, "unexpected_field"},
        {"POST", "/api/v1/stopwatch/start", R"({"boom":1})", 400, "unknown_field"},
        {"POST", "/api/v1/stopwatch/start", "{", 400, "bad_json"},
        {"POST", "/api/v1/stopwatch/start", "[1,2]", 400, "bad_json"},
        {"POST", "/api/v1/stopwatch/start", "\xff\xfe\x00garbage", 400, "bad_json"},
        {"POST", "/api/v1/stopwatch/start", huge, 413, "body_too_large"},
        {"POST", "/api/v1/stopwatch/target", "{}", 400, "missing_target"},
        {"POST", "/api/v1/stopwatch/explode", "{}", 404, "unknown_command"},
        {"GET", "/api/v1/stopwatch/start", "", 405, "method_not_allowed"},
        {"POST", "/api/v1/state", "{}", 405, "method_not_allowed"},
        {"GET", "/api/v2/state", "", 404, "not_found"},
        {"GET", "/api/v1/live", "", 426, "upgrade_required"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.method) + " " + c.path + " " + c.body.left(40).toStdString());
        const Reply r = request(c.method, QString::fromLatin1(c.path), c.body);
        EXPECT_EQ(r.status, c.status);
        EXPECT_EQ(r.json.value("error").toString().toStdString(), c.code);
        EXPECT_FALSE(r.json.value("message").toString().isEmpty());
        EXPECT_EQ(form->Link.PendingCommand, 0);
        EXPECT_EQ(form->Medit->text(), QStringLiteral("00"));
        EXPECT_TRUE(form->Z1_4->isChecked());
    }
    // The tick sends a poll, not a command.
    EXPECT_EQ(tickFrame(5).substr(0, 8), "5A 01 01");
}

TEST_F(RemoteApiTest, RefusedWhileDisconnectedOrPaused)
{
    form->PausePolling();   // a maintenance dialog holds the bus
    Reply r = post("start");
    EXPECT_EQ(r.status, 409);
    EXPECT_EQ(r.json.value("error").toString(), QStringLiteral("paused"));
    form->ResumePolling();

    form->Button2->click();   // "STOP": disconnect
    r = post("preset", R"({"minutes":10})");
    EXPECT_EQ(r.status, 409);
    EXPECT_EQ(r.json.value("error").toString(), QStringLiteral("disconnected"));
    EXPECT_TRUE(r.json.value("message").toString().contains(QStringLiteral("Brak połączenia")));
    EXPECT_EQ(form->Link.PendingCommand, 0);
    EXPECT_EQ(form->Medit->text(), QStringLiteral("00"));
    const Reply s = request("GET", QStringLiteral("/api/v1/state"));
    EXPECT_FALSE(s.json.value("connection").toObject().value("connected").toBool());
}

TEST_F(RemoteApiTest, EveryRequestNeedsTheToken)
{
    QByteArray wrong = token;
    wrong[5] = wrong[5] == 'A' ? 'B' : 'A';
    const struct {
        const char* method;
        QByteArray path;   // owns its bytes: one case is built from the token
        QByteArray auth;
    } cases[] = {
        {"GET", "/api/v1/state", ""},
        {"GET", "/api/v1/state", "Bearer " + wrong},
        {"GET", "/api/v1/state", "Bearer " + token.left(token.size() - 1)},
        {"GET", "/api/v1/state", "Basic " + token},
        {"POST", "/api/v1/stopwatch/start", ""},
        {"GET", "/app.js", ""},
        {"GET", "/no/such/thing", ""},
        {"GET", "/?token=" + wrong, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.method) + " " + c.path.toStdString() + " " + c.auth.toStdString());
        const Reply r = request(c.method, QString::fromLatin1(c.path), {}, c.auth.isEmpty() ? QByteArray("-") : c.auth);
        EXPECT_EQ(r.status, 401);
        EXPECT_FALSE(r.body.contains("Zegar"));
        EXPECT_FALSE(r.body.contains(token));
    }
    EXPECT_EQ(form->Link.PendingCommand, 0);

    // The link's token is exchanged for a session cookie and leaves the address bar; the cookie
    // then works alone.
    const Reply first = request("GET", QStringLiteral("/?token=") + QString::fromLatin1(token), {}, "-");
    EXPECT_EQ(first.status, 303);
    EXPECT_EQ(first.header("Location"), "/");
    const QByteArray cookie = first.header("Set-Cookie");
    EXPECT_TRUE(cookie.startsWith("kadrel_session_" + QByteArray::number(server->port()) + '='));
    EXPECT_FALSE(cookie.contains(token));
    EXPECT_TRUE(cookie.contains("HttpOnly"));
    EXPECT_TRUE(cookie.contains("SameSite=Strict"));
    const Reply page = request("GET", QStringLiteral("/"), {}, "-");   // the manager kept the cookie
    EXPECT_EQ(page.status, 200);
    EXPECT_TRUE(page.body.contains("Sterowanie stoper"));
    EXPECT_FALSE(page.header("Content-Security-Policy").isEmpty());
}

TEST_F(RemoteApiTest, WebSocketCarriesTheStateLive)
{
    QWebSocket ws;
    QList<QJsonObject> got;
    QObject::connect(&ws, &QWebSocket::textMessageReceived,
                     [&](const QString& m) { got << QJsonDocument::fromJson(m.toUtf8()).object(); });
    QNetworkRequest req(QUrl(QStringLiteral("ws://127.0.0.1:%1/api/v1/live").arg(server->port())));
    req.setRawHeader("Authorization", "Bearer " + token);
    ws.open(req);
    ASSERT_TRUE(waitFor([&] { return !got.isEmpty(); }))
        << "unauthorized " << server->counters().unauthorized << " close " << ws.closeCode() << " live "
        << server->liveClients() << " state " << int(ws.state());
    EXPECT_EQ(got.last().value("version").toInt(), 1);

    bus->write(status(2, 0x05, 0x30, 0x0339));
    ASSERT_TRUE(waitFor([&] {
        return !got.isEmpty() && got.last().value("clocks").toArray()[1].toObject().value("time").toString() == "05:30";
    }));
    form->TargetButtons[4]->click();
    ASSERT_TRUE(waitFor([&] { return got.last().value("stopwatch").toObject().value("target").toString() == "4"; }));

    // Without the token: closed at once, nothing sent.
    QWebSocket stranger;
    int strangerMessages = 0;
    bool closed = false;
    QObject::connect(&stranger, &QWebSocket::textMessageReceived, [&](const QString&) { ++strangerMessages; });
    QObject::connect(&stranger, &QWebSocket::disconnected, [&] { closed = true; });
    stranger.open(QUrl(QStringLiteral("ws://127.0.0.1:%1/api/v1/live").arg(server->port())));
    ASSERT_TRUE(waitFor([&] { return closed; }));
    EXPECT_EQ(strangerMessages, 0);
    EXPECT_EQ(server->counters().unauthorized, 1);
    EXPECT_EQ(server->liveClients(), 1);
}

// The viewer key opens the view page, the state and the live WebSocket, and nothing else; the
// operator's token opens the view too.
TEST_F(RemoteApiTest, ViewerKeyShowsAndNeverCommands)
{
    const QByteArray viewer = "Bearer " + viewerKey, op = "token";
    const struct {
        const char* method;
        const char* path;
        QByteArray body;
        QByteArray auth;
        int status;
        const char* code;   // the error's code, "" when allowed
    } cases[] = {
        {"GET", "/view", {}, viewer, 200, ""},
        {"GET", "/view.js", {}, viewer, 200, ""},
        {"GET", "/view.css", {}, viewer, 200, ""},
        {"GET", "/favicon.ico", {}, viewer, 200, ""},
        {"GET", "/api/v1/state", {}, viewer, 200, ""},
        {"GET", "/api/v1/live", {}, viewer, 426, "upgrade_required"},   // reached; wants the upgrade
        {"GET", "/overlay", {}, viewer, 200, ""},
        {"GET", "/overlay.js", {}, viewer, 200, ""},
        {"GET", "/overlay.css", {}, viewer, 200, ""},
        {"GET", "/live.js", {}, viewer, 200, ""},
        {"GET", "/api/v1/campus", {}, viewer, 200, ""},
        {"GET", "/api/v1/asyncapi.json", {}, viewer, 403, "viewer_only"},
        {"GET", "/", {}, viewer, 403, "viewer_only"},
        {"GET", "/index.html", {}, viewer, 403, "viewer_only"},
        {"GET", "/app.js", {}, viewer, 403, "viewer_only"},
        {"GET", "/style.css", {}, viewer, 403, "viewer_only"},
        {"GET", "/api/v1/openapi.json", {}, viewer, 403, "viewer_only"},
        {"POST", "/api/v1/stopwatch/start", "{}", viewer, 403, "viewer_only"},
        {"POST", "/api/v1/stopwatch/stop", "{}", viewer, 403, "viewer_only"},
        {"POST", "/api/v1/stopwatch/set", R"({"minutes":"05","seconds":"30"})", viewer, 403, "viewer_only"},
        {"POST", "/api/v1/stopwatch/zero", "{}", viewer, 403, "viewer_only"},
        {"POST", "/api/v1/stopwatch/preset", R"({"minutes":10})", viewer, 403, "viewer_only"},
        {"POST", "/api/v1/stopwatch/target", R"({"target":3})", viewer, 403, "viewer_only"},
        {"POST", "/api/v1/stopwatch/explode", "{}", viewer, 403, "viewer_only"},
        {"GET", "/view", {}, op, 200, ""},
        {"GET", "/view.js", {}, op, 200, ""},
        {"GET", "/favicon.ico", {}, op, 200, ""},
        {"GET", "/view", {}, "Bearer " + token.left(20), 401, ""},
    };
    bus->drain(std::chrono::milliseconds(10));
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.method) + " " + c.path + " " + c.auth.left(12).toStdString());
        const Reply r = request(c.method, QString::fromLatin1(c.path), c.body, c.auth);
        EXPECT_EQ(r.status, c.status) << r.body.toStdString();
        if (*c.code) {
            EXPECT_EQ(r.json.value("error").toString(), QLatin1String(c.code));
        }
        if (r.status == 403) {
            EXPECT_FALSE(r.json.value("message").toString().isEmpty());
        }
    }
    form->TimerTimer();
    EXPECT_EQ(form->Link.PendingCommand, 0);
    EXPECT_EQ(toHex(bus->read(4096, std::chrono::milliseconds(50))).find("5A 00 01 01"), std::string::npos);

    // The view link's key is exchanged for its own session cookie and leaves the address bar; the cookie opens the
    // view and the state, and still not the operator's page.
    const Reply first = request("GET", QStringLiteral("/view?key=") + QString::fromLatin1(viewerKey), {}, "-");
    EXPECT_EQ(first.status, 303);
    EXPECT_EQ(first.header("Location"), "/view");
    EXPECT_TRUE(first.header("Set-Cookie").startsWith("kadrel_viewer_" + QByteArray::number(server->port()) + '='));
    EXPECT_FALSE(first.header("Set-Cookie").contains(viewerKey));
    EXPECT_EQ(request("GET", QStringLiteral("/view"), {}, "-").status, 200);
    EXPECT_EQ(request("GET", QStringLiteral("/api/v1/state"), {}, "-").status, 200);
    EXPECT_EQ(request("GET", QStringLiteral("/"), {}, "-").status, 403);
    EXPECT_EQ(request("POST", QStringLiteral("/api/v1/stopwatch/start"), "{}", "-").json.value("error").toString(),
              QStringLiteral("viewer_only"));
    // A wrong key in the link: back to the bare address, no cookie.
    const Reply wrong = request("GET", QStringLiteral("/view?key=") + QString::fromLatin1(token), {}, "-");
    EXPECT_EQ(wrong.status, 303);
    EXPECT_TRUE(wrong.header("Set-Cookie").isEmpty());

    // The operator's link to the view: the operator's cookie, back to the view.
    const Reply operatorLink = request("GET", QStringLiteral("/view?token=") + QString::fromLatin1(token), {}, "-");
    EXPECT_EQ(operatorLink.status, 303);
    EXPECT_EQ(operatorLink.header("Location"), "/view");
    EXPECT_TRUE(operatorLink.header("Set-Cookie").startsWith("kadrel_session_" + QByteArray::number(server->port()) + '='));

    // The live WebSocket with the key, as a header and in the address.
    for (const bool inQuery : {false, true}) {
        QWebSocket ws;
        int messages = 0;
        QObject::connect(&ws, &QWebSocket::textMessageReceived, [&](const QString&) { ++messages; });
        QUrl url(QStringLiteral("ws://127.0.0.1:%1/api/v1/live").arg(server->port()));
        if (inQuery)
            url.setQuery(QStringLiteral("key=") + QString::fromLatin1(viewerKey));
        QNetworkRequest req(url);
        if (!inQuery)
            req.setRawHeader("Authorization", "Bearer " + viewerKey);
        ws.open(req);
        EXPECT_TRUE(waitFor([&] { return messages > 0; })) << "in query " << inQuery;
        ws.close();
        waitFor([&] { return server->liveClients() == 0; });
    }
}

// A link's secret leaves the address and the page's own settings stay, each short and plain;
// anything else of the address is dropped, whatever it holds. The overlay's "key" is its
// chroma-key colour: its viewer key comes as "viewer".
TEST_F(RemoteApiTest, LinksKeepThePagesSettingsAndNothingElse)
{
    const QString key = QString::fromLatin1(viewerKey);
    const struct {
        QString link;
        int status;
        QByteArray location;
    } cases[] = {
        {"/overlay?clock=2&key=00ff00&viewer=" + key, 303, "/overlay?clock=2&key=00ff00"},
        {"/overlay?viewer=" + key + "&size=120&color=%3Cscript%3Ealert(1)%3C/script%3E&evil=1", 303, "/overlay?size=120"},
        {"/overlay?viewer=" + key + "&clock=1%0D%0ASet-Cookie:%20x=1", 303, "/overlay"},
        {"/overlay?viewer=" + key + "&key=" + QString(40, QLatin1Char('f')), 303, "/overlay"},
        {"/overlay?viewer=" + QString::fromLatin1(token.left(30)) + "&clock=3", 303, "/overlay?clock=3"},
        {"/view?campus=1&key=" + key, 303, "/view?campus=1"},
        {"/view?key=" + key + "&clock=2", 303, "/view"},
        {"/?token=" + QString::fromLatin1(token) + "&campus=1", 303, "/"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.link.toStdString());
        const Reply r = request("GET", c.link, {}, "-");
        EXPECT_EQ(r.status, c.status);
        EXPECT_EQ(r.header("Location"), c.location);
        EXPECT_FALSE(r.header("Location").contains(viewerKey));
        EXPECT_FALSE(r.header("Set-Cookie").contains("x=1"));
    }
    // The chroma key is no viewer key: without a session the overlay is closed.
    QNetworkAccessManager fresh;
    QNetworkRequest req(QUrl(base + QStringLiteral("/overlay?key=00ff00")));
    QNetworkReply* r = fresh.get(req);
    ASSERT_TRUE(waitFor([&] { return r->isFinished(); }));
    EXPECT_EQ(r->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt(), 401);
    r->deleteLater();
}

// A page that opens after every other has gone gets the clocks as they are now, not as the
// last page saw them.
TEST_F(RemoteApiTest, PageOpenedLaterGetsTodaysState)
{
    const auto firstTimeOfClock2 = [&] {
        QWebSocket ws;
        QString time;
        QObject::connect(&ws, &QWebSocket::textMessageReceived, [&](const QString& m) {
            if (time.isEmpty())
                time = QJsonDocument::fromJson(m.toUtf8()).object().value("clocks").toArray()[1].toObject().value("time").toString();
        });
        QNetworkRequest req(QUrl(QStringLiteral("ws://127.0.0.1:%1/api/v1/live").arg(server->port())));
        req.setRawHeader("Authorization", "Bearer " + viewerKey);
        ws.open(req);
        waitFor([&] { return !time.isEmpty(); });
        ws.close();
        waitFor([&] { return server->liveClients() == 0; });
        return time;
    };
    bus->write(status(2, 0x05, 0x30, 0x0339));
    ASSERT_TRUE(waitFor([&] { return form->panelView().clocks[1].time == QStringLiteral("05:30"); }));
    EXPECT_EQ(firstTimeOfClock2(), QStringLiteral("05:30"));
    bus->write(status(2, 0x07, 0x15, 0x0339));
    ASSERT_TRUE(waitFor([&] { return form->panelView().clocks[1].time == QStringLiteral("07:15"); }));
    EXPECT_EQ(firstTimeOfClock2(), QStringLiteral("07:15"));
}

// Clients that would hold the program up: none of them queues anything or stops the tick.
TEST_F(RemoteApiTest, AbusiveClientsAreCutOffAndTheTickGoesOn)
{
    // A request sent a byte at a time, too slowly: closed at the deadline.
    QTcpSocket slow;
    slow.connectToHost(QHostAddress::LocalHost, server->port());
    ASSERT_TRUE(slow.waitForConnected(1000));
    slow.write("P");
    QElapsedTimer since;
    since.start();
    QTimer dribble;
    QObject::connect(&dribble, &QTimer::timeout, [&] { slow.write("O"); });
    dribble.start(150);
    ASSERT_TRUE(waitFor([&] { return slow.state() == QAbstractSocket::UnconnectedState; }, 3000));
    dribble.stop();
    EXPECT_LT(since.elapsed(), 1500);
    EXPECT_GE(server->counters().timedOut, 1);

    // A request larger than the cap: the connection is closed.
    QTcpSocket big;
    big.connectToHost(QHostAddress::LocalHost, server->port());
    ASSERT_TRUE(big.waitForConnected(1000));
    big.write("POST /api/v1/stopwatch/start HTTP/1.1\r\nHost: x\r\nContent-Length: 10000000\r\nAuthorization: Bearer " + token + "\r\n\r\n");
    big.write(QByteArray(200 * 1024, '{'));
    ASSERT_TRUE(waitFor([&] { return big.state() == QAbstractSocket::UnconnectedState; }, 3000));
    EXPECT_GE(server->counters().oversized, 1);

    // Malformed request lines: a 4xx (a 501 for a method unknown) or a closed connection,
    // never a command.
    for (const QByteArray& junk : {QByteArray("\x16\x03\x01\x02\x00garbage\r\n\r\n"), QByteArray("GET\r\n\r\n"),
                                   QByteArray("BREW /api/v1/stopwatch/start HTTP/1.1\r\nHost: x\r\n\r\n")}) {
        QTcpSocket s;
        s.connectToHost(QHostAddress::LocalHost, server->port());
        ASSERT_TRUE(s.waitForConnected(1000));
        s.write(junk);
        waitFor([&] { return s.state() == QAbstractSocket::UnconnectedState || s.bytesAvailable() > 0; }, 1500);
        const QByteArray answer = s.readAll();
        EXPECT_TRUE(answer.isEmpty() || answer.contains(" 4") || answer.startsWith("HTTP/1.1 501 ")) << answer.toStdString();
    }

    // A WebSocket that never reads, the operator's or a view page's: dropped once its backlog
    // passes the cap.
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(server->port());
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int dropped = 0;
    for (const QByteArray& secret : {token, viewerKey}) {
        SCOPED_TRACE(secret == token ? "operator" : "viewer");
        const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
        const int small = 2048;
        ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
        ASSERT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
        const QByteArray hello = "GET /api/v1/live HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                                 "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n"
                                 "Authorization: Bearer " + secret + "\r\n\r\n";
        ASSERT_EQ(::write(fd, hello.constData(), hello.size()), hello.size());
        ASSERT_TRUE(waitFor([&] { return server->liveClients() == 1; }));
        for (int i = 0; i < 4000 && server->counters().dropped == dropped; ++i) {
            form->Medit->setText(QString::number(i % 100));
            QCoreApplication::processEvents();
        }
        EXPECT_EQ(server->counters().dropped, ++dropped);
        EXPECT_EQ(server->liveClients(), 0);
        ::close(fd);
    }

    // A thousand connections at once, while the window ticks: the oldest idle ones make room
    // for the newer, the polls keep their pace, and a proper request still gets through.
    form->Medit->setText(QStringLiteral("00"));
    bus->drain(std::chrono::milliseconds(10));
    std::vector<int> fds;
    for (int i = 0; i < 1000; ++i) {
        const int c = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
        ::connect(c, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
        fds.push_back(c);
    }
    QElapsedTimer ticking;
    ticking.start();
    form->Timer->start();
    const auto closed = [&] { return server->counters().refused + server->counters().evicted; };
    waitFor([&] { return closed() >= 950; }, 3000);   // the kernel's backlog paces them
    QTest::qWait(200);
    form->Timer->stop();
    const qint64 elapsed = ticking.elapsed();
    const ByteString polls = bus->read(100000, std::chrono::milliseconds(50));
    EXPECT_GE(closed(), 50);
    EXPECT_EQ(server->counters().refused, 0);   // none of them had made a request: each made room
    EXPECT_LE(server->counters().peakOpen, 16);
    // One frame a tick (polls of 5 bytes, a broadcast of 10 now and then), allowing for a slow machine.
    EXPECT_GE(polls.size() / 5, static_cast<size_t>(elapsed / 100 * 8 / 10)) << "in " << elapsed << " ms";
    for (int c : fds)
        ::close(c);
    QTest::qWait(50);
    EXPECT_EQ(request("GET", QStringLiteral("/api/v1/state")).status, 200);
    EXPECT_EQ(form->Link.PendingCommand, 0);
}

// The same server with the window's plan and panels behind it, on a wall clock of the test's own:
// Tuesday 4 May 2027, 11:59:58.
class RemotePlanTest : public RemoteApiTest {
protected:
    void SetUp() override
    {
        seams().wallClockUs = [this] { return wallUs; };
        RemoteApiTest::SetUp();
        startServer();
    }
    // With the program's own limits: a whole plan takes longer to arrive than a command.
    void startServer()
    {
        server = std::make_unique<RemoteServer>(*form, token);
        server->setViewerKey(viewerKey);
        ASSERT_TRUE(server->start(QHostAddress::LocalHost, 0).isEmpty());
        base = QStringLiteral("http://127.0.0.1:%1").arg(server->port());
        runner = new PlanRunner(*form, planPath, dir.filePath(QStringLiteral("stan")));
        server->setPlanHost(runner);
        server->setClockPanels(form.get());
    }
    // A fresh window and server, as after SetUp.
    void fresh()
    {
        server.reset();
        form.reset();
        createWindow();
        connectWindow();
        bus->drain(std::chrono::milliseconds(10));
        startServer();
    }
    // What six ticks put on the bus.
    std::string sixTicks()
    {
        ByteString all;
        for (int i = 0; i < 6; ++i) {
            form->TimerTimer();
            wallUs += 100000;
            all += bus->drain(std::chrono::milliseconds(20));
        }
        return toHex(all);
    }
    QByteArray onDisk() const
    {
        QFile f(planPath);
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }

    QTemporaryDir dir;
    const QString planPath = planFilePath(dir.path());
    int64_t wallUs = QDateTime(QDate(2027, 5, 4), QTime(11, 59, 58)).toMSecsSinceEpoch() * 1000;
    PlanRunner* runner = nullptr;
};

// Only the operator reads or replaces the plan; a plan with a fault is refused whole, its first
// bad entry named, and the plan on disk and in force stays the last good one.
TEST_F(RemotePlanTest, ThePlanIsTheOperatorsAndABadOneIsRefusedWhole)
{
    const QByteArray viewer = "Bearer " + viewerKey, none = "-", op = "token";
    const QByteArray good = schoolPlanJson();
    QByteArray badEntry = good;
    badEntry.replace(R"({"time": "08:00", "name": "Lekcja 1")", R"({"time": "24:00", "name": "Lekcja 1")");
    QByteArray tooBig = good;
    tooBig.append(QByteArray(PlanFileMaxBytes, ' '));
    const struct {
        const char* name;
        const char* method;
        const char* path;
        QByteArray body;
        QByteArray auth;
        int status;
        const char* code;
        const char* says = "";         // a piece of the message
        const char* entry = nullptr;   // the bad entry named: "day type/index/name"
    } cases[] = {
        {"viewer reads", "GET", "/api/v1/plan", {}, viewer, 403, "viewer_only"},
        {"viewer reads ahead", "GET", "/api/v1/plan/next", {}, viewer, 403, "viewer_only"},
        {"no key reads", "GET", "/api/v1/plan", {}, none, 401, "unauthorized"},
        {"viewer writes", "PUT", "/api/v1/plan", good, viewer, 403, "viewer_only"},
        {"no key writes", "PUT", "/api/v1/plan", good, none, 401, "unauthorized"},
        {"operator writes", "PUT", "/api/v1/plan", good, op, 200, ""},
        {"a bad entry", "PUT", "/api/v1/plan", badEntry, op, 400, "bad_plan",
         "Typ dnia „Zwykły dzień”, wpis 2 („Lekcja 1”): godzina 24:00 nie istnieje", "Zwykły dzień/2/Lekcja 1"},
        {"not JSON", "PUT", "/api/v1/plan", "{\"format\": \"kadrel-harm", op, 400, "bad_plan", "błąd składni JSON"},
        {"a line break in a name, for the log", "PUT", "/api/v1/plan",
         QByteArray(badEntry).replace("24:00", "08:00").replace(R"("name": "Lekcja 1", "target": "W", "action": "start")",
                                                                 R"("name": "Lekcja\n12:00 Fałszywy wiersz", "target": "W", "action": "start")"),
         op, 400, "bad_plan", "wpis 2: nazwa zawiera znak sterujący", "Zwykły dzień/2/"},
        {"a list for a plan", "PUT", "/api/v1/plan", "[]", op, 400, "bad_plan", "to nie jest harmonogram"},
        {"empty", "PUT", "/api/v1/plan", {}, op, 400, "bad_plan", "błąd składni JSON"},
        {"day types of the wrong kind", "PUT", "/api/v1/plan",
         R"({"format": "kadrel-harmonogram", "version": 1, "dayTypes": {}})", op, 400, "bad_plan", "„dayTypes” nie jest listą"},
        {"a newer version", "PUT", "/api/v1/plan", R"({"format": "kadrel-harmonogram", "version": 9})", op, 400, "bad_plan",
         "nowszą wersję"},
        {"over the plan's cap", "PUT", "/api/v1/plan", tooBig, op, 413, "body_too_large", "najwyżej 1048576 B"},
        {"a large body without the token is cut unread", "PUT", "/api/v1/plan", tooBig, viewer, 0, ""},
        {"POST is not PUT", "POST", "/api/v1/plan", good, op, 405, "method_not_allowed"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const QByteArray before = onDisk();
        const Reply r = request(c.method, QString::fromLatin1(c.path), c.body, c.auth);
        EXPECT_EQ(r.status, c.status) << r.body.left(300).toStdString();
        EXPECT_EQ(r.json.value("error").toString().toStdString(), c.code);
        EXPECT_TRUE(r.json.value("message").toString().contains(QString::fromUtf8(c.says)))
            << r.json.value("message").toString().toStdString();
        if (c.entry) {
            const QJsonObject e = r.json.value("entry").toObject();
            EXPECT_EQ(QStringLiteral("%1/%2/%3").arg(e.value("dayType").toString()).arg(e.value("index").toInt()).arg(e.value("name").toString()),
                      QString::fromUtf8(c.entry));
        }
        if (c.status != 200) {
            EXPECT_EQ(onDisk(), before) << "the file stays as it was";
        }
        EXPECT_EQ(planToJson(runner->engine().plan()), onDisk().isEmpty() ? planToJson(Plan{}) : onDisk())
            << "the plan in force is the one on disk";
    }
    const Reply read = request("GET", QStringLiteral("/api/v1/plan"));
    EXPECT_EQ(read.status, 200);
    EXPECT_EQ(read.body, planToJson(schoolPlan())) << "read back as it was stored";
    EXPECT_EQ(onDisk(), planToJson(schoolPlan()));
}

// A good plan takes effect at once: the status bar, the next firings, the pages' part of the
// state document, and the entry's frame in the tick of its second. While the window's dialog
// is open the plan is not replaced from afar.
TEST_F(RemotePlanTest, AGoodPlanRunsFromTheNextTick)
{
    const QByteArray plan = R"({"format": "kadrel-harmonogram", "version": 1, "dayTypes": [{"name": "Dzień", "entries": [
        {"time": "12:00", "name": "Lekcja 3", "target": 2, "action": "start"},
        {"time": "12:45", "name": "Przerwa", "target": "W", "action": "stop"},
        {"time": "13:00", "target": "W", "action": "brightness", "value": 1}]}],
        "week": ["Dzień", "Dzień", "Dzień", "Dzień", "Dzień", "Dzień", "Dzień"]})";
    form->TimerTimer();
    ASSERT_EQ(request("PUT", QStringLiteral("/api/v1/plan"), plan).status, 200);
    EXPECT_EQ(runner->nextText(), QStringLiteral("Następne: 12:00 Lekcja 3 — START 2"));
    const QJsonArray next = request("GET", QStringLiteral("/api/v1/plan/next")).json.value("next").toArray();
    ASSERT_EQ(next.size(), 10);
    const auto at = [&](int i) { return QDateTime::fromString(next[i].toObject().value("at").toString(), Qt::ISODate); };
    EXPECT_EQ(at(0), QDateTime(QDate(2027, 5, 4), QTime(12, 0)));
    EXPECT_EQ(at(0).offsetFromUtc(), QDateTime(QDate(2027, 5, 4), QTime(12, 0)).offsetFromUtc()) << "the local offset";
    EXPECT_EQ(next[1].toObject().value("action").toString(), QStringLiteral("STOP W"));
    EXPECT_EQ(at(3), QDateTime(QDate(2027, 5, 5), QTime(12, 0)));
    QJsonObject state = request("GET", QStringLiteral("/api/v1/state")).json;
    EXPECT_EQ(state.value("plan").toObject().value("next").toArray().size(), 3);
    EXPECT_EQ(state.value("clocks").toArray()[1].toObject().value("entry").toString(), QString());

    wallUs += 1800000;   // 11:59:59.8: the third tick is in 12:00:00, the broadcast's second
    bus->drain(std::chrono::milliseconds(20));
    EXPECT_NE(sixTicks().find("5A 02 01 01 5E"), std::string::npos) << "START to clock 2";
    state = request("GET", QStringLiteral("/api/v1/state"), {}, "Bearer " + viewerKey).json;
    const QJsonArray clocks = state.value("clocks").toArray();
    EXPECT_EQ(clocks[1].toObject().value("entry").toString(), QStringLiteral("Lekcja 3"));
    EXPECT_EQ(clocks[0].toObject().value("entry").toString(), QString()) << "the entry was clock 2's";

    int whileOpen = 0;
    QTimer::singleShot(0, [&] {
        whileOpen = request("PUT", QStringLiteral("/api/v1/plan"), schoolPlanJson()).status;
        QApplication::activeModalWidget()->close();
    });
    runner->HarmonogramClick();
    EXPECT_EQ(whileOpen, 409);
    EXPECT_EQ(runner->engine().plan().dayTypes[0].name, QStringLiteral("Dzień"));
}

// Each clock panel's command from afar sends what a click on that control sends.
TEST_F(RemotePlanTest, ClockCommandsSendTheirControlsFrames)
{
    const struct {
        const char* path;
        QByteArray body;
        std::function<void(TForm1&)> click;
    } cases[] = {
        {"mode", R"({"clock":2,"mode":"RTC"})", [](TForm1& f) { f.Clocks[2].btnZ->click(); }},
        {"display", R"({"clock":3,"on":false})", [](TForm1& f) { f.Clocks[3].wbox->click(); }},
        {"brightness", R"({"clock":1,"value":1})", [](TForm1& f) { f.Clocks[1].jasnosc->setValue(1); }},
        {"direction", R"({"clock":4,"down":false})", [](TForm1& f) { f.Clocks[4].boxDol->click(); }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        fresh();
        c.click(*form);
        const std::string byHand = sixTicks();
        fresh();
        const Reply r = request("POST", QStringLiteral("/api/v1/clock/") + QLatin1String(c.path), c.body);
        ASSERT_EQ(r.status, 200) << r.body.toStdString();
        EXPECT_EQ(sixTicks(), byHand);
    }
    // Clicked again with the same value: nothing changes (the box is not toggled back).
    ASSERT_EQ(request("POST", QStringLiteral("/api/v1/clock/direction"), R"({"clock":4,"down":false})").status, 200);
    EXPECT_FALSE(form->Clocks[4].boxDol->isChecked());
}

TEST_F(RemotePlanTest, ClockCommandsAreRefusedWithNothingChanged)
{
    form->Clocks[3].boxActiv->click();   // clock 3 off
    const struct {
        const char* path;
        QByteArray body;
        QByteArray auth;
        int status;
        const char* code;
    } cases[] = {
        // The bodies' own refusals are the broker's too (test_mqtt_topics goes through them).
        {"mode", R"({"clock":5,"mode":"RTC"})", "token", 400, "bad_clock"},
        {"brightness", R"({"clock":3,"value":0})", "token", 400, "bad_input"},
        {"brightness", R"({"clock":1,"value":0})", "Bearer " + viewerKey, 403, "viewer_only"},
        {"explode", R"({"clock":1})", "token", 404, "not_found"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.path) + " " + c.body.toStdString());
        const Reply r = request("POST", QStringLiteral("/api/v1/clock/") + QLatin1String(c.path), c.body, c.auth);
        EXPECT_EQ(r.status, c.status);
        EXPECT_EQ(r.json.value("error").toString().toStdString(), c.code);
    }
    form->Button2->click();   // "STOP": disconnected
    const Reply r = request("POST", QStringLiteral("/api/v1/clock/brightness"), R"({"clock":1,"value":0})");
    EXPECT_EQ(r.status, 409);
    EXPECT_EQ(r.json.value("error").toString(), QStringLiteral("disconnected"));
    for (int n = 1; n <= 4; ++n)
        EXPECT_EQ(form->Clocks[n].jasnosc->value(), 3);
}

// Refusals counted per address, a line each when the interval ends, in Polish numbers.
TEST(RefusalTallyTest, CountsPerAddressAndWritesOneLineAnInterval)
{
    const struct {
        int count;
        const char* line;
    } rows[] = {
        {1, "1 odrzucone żądanie z 10.1.2.3 w ciągu minuty"},
        {2, "2 odrzucone żądania z 10.1.2.3 w ciągu minuty"},
        {5, "5 odrzuconych żądań z 10.1.2.3 w ciągu minuty"},
        {12, "12 odrzuconych żądań z 10.1.2.3 w ciągu minuty"},
        {22, "22 odrzucone żądania z 10.1.2.3 w ciągu minuty"},
        {42, "42 odrzucone żądania z 10.1.2.3 w ciągu minuty"},
        {114, "114 odrzuconych żądań z 10.1.2.3 w ciągu minuty"},
    };
    for (const auto& row : rows)
        EXPECT_EQ(RefusalTally::line(row.count, QStringLiteral("10.1.2.3")).toStdString(), row.line);

    QStringList written;
    {
        RefusalTally tally([&](const QString& l) { written << l; }, 100);
        for (int i = 0; i < 6000; ++i)
            tally.count(i % 3 ? QStringLiteral("10.0.0.1") : QStringLiteral("10.0.0.2"));
        EXPECT_TRUE(written.isEmpty());
        ASSERT_TRUE(QTest::qWaitFor([&] { return written.size() == 2; }, 2000));
        EXPECT_EQ(written[0], RefusalTally::line(2000, QStringLiteral("10.0.0.2")));
        EXPECT_EQ(written[1], RefusalTally::line(4000, QStringLiteral("10.0.0.1")));
        tally.count(QStringLiteral("10.0.0.1"));
    }
    // The last interval's count is written when the tally goes.
    ASSERT_EQ(written.size(), 3);
    EXPECT_EQ(written[2], RefusalTally::line(1, QStringLiteral("10.0.0.1")));
}

} // namespace
