// needs: qt
// The remote server's connections over loopback: every connection gives its place back however
// it ends, no crowd locks the operator out, and the HTTP rules each raw request meets before
// anything is queued.
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QSet>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTcpSocket>
#include <QWebSocket>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#include <map>
#include <memory>
#include <vector>

#include "mqtt/MqttTopics.h"
#include "app/PlanRunner.h"
#include "remote/RemoteServer.h"
#include "remote/RemoteService.h"
#include "remote/RemoteSettings.h"
#include "tests/support/BuildPaths.h"
#include "tests/support/NodeDriver.h"
#include "tests/support/PlanSamples.h"
#include "tests/test_main_window_fixture.h"

namespace {

int openDescriptors()
{
    return static_cast<int>(QDir(QStringLiteral("/proc/self/fd")).entryList(QDir::Files | QDir::System).size());
}

class RemoteHttpTest : public ConnectedWindowTest {
protected:
    void startServer(const RemoteLimits& limits)
    {
        token = newAccessToken();
        server = std::make_unique<RemoteServer>(*form, token, limits);
        server->setClockPanels(form.get());
        server->setPlanHost(new PlanRunner(*form, planDir.filePath(QStringLiteral("harmonogram.json")),
                                           planDir.filePath(QStringLiteral("stan"))));
        ASSERT_TRUE(server->start(QHostAddress::LocalHost, 0).isEmpty());
    }
    void TearDown() override
    {
        server.reset();
        ConnectedWindowTest::TearDown();
    }

    std::unique_ptr<QWebSocket> openPage()
    {
        auto ws = std::make_unique<QWebSocket>();
        QNetworkRequest req(QUrl(QStringLiteral("ws://127.0.0.1:%1/api/v1/live").arg(server->port())));
        req.setRawHeader("Authorization", "Bearer " + token);
        ws->open(req);
        return ws;
    }

    std::unique_ptr<QWebSocket> openViewerPage()
    {
        auto ws = std::make_unique<QWebSocket>();
        ws->open(QUrl(QStringLiteral("ws://127.0.0.1:%1/api/v1/live?key=%2").arg(server->port()).arg(QString::fromLatin1(viewerKey))));
        return ws;
    }

    QTemporaryDir planDir;
    QByteArray token;
    QByteArray viewerKey = newAccessToken();
    std::unique_ptr<RemoteServer> server;
};

// The resident memory of this process, in KiB.
long residentKiB()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return 0;
    for (const QByteArray& line : status.readAll().split('\n'))
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').value(0).toLong();
    return 0;
}

// The operator's fresh request on a connection of its own: its status, 0 when cut or silent.
int operatorAsks(quint16 port, const QByteArray& token)
{
    QTcpSocket s;
    s.connectToHost(QHostAddress::LocalHost, port);
    if (!s.waitForConnected(1000))
        return 0;
    s.write("GET /api/v1/state HTTP/1.1\r\nHost: 127.0.0.1\r\nAuthorization: Bearer " + token + "\r\n\r\n");
    QByteArray got;
    (void)QTest::qWaitFor([&] {
        got += s.readAll();
        return got.contains("\r\n\r\n") || s.state() == QAbstractSocket::UnconnectedState;
    }, 3000);
    return got.startsWith("HTTP/1.1 ") ? got.mid(9, 3).toInt() : 0;
}

// A thousand page visits, ended each way a visit ends: the count of open connections comes
// back to nothing every time, and the server never turns anyone away.
TEST_F(RemoteHttpTest, EveryWebSocketGivesItsPlaceBack)
{
    RemoteLimits limits;
    limits.maxConnections = 16;
    startServer(limits);
    const int descriptorsBefore = openDescriptors();

    enum class End { ClientCloses, ServerCloses, Dropped };
    const struct {
        const char* name;
        End end;
        int sessions;
    } cases[] = {
        {"closed by the page", End::ClientCloses, 340},
        {"closed by the server (message over the cap)", End::ServerCloses, 340},
        {"connection dropped", End::Dropped, 340},
    };
    const int batch = 8;   // under the cap, so a place not given back shows within two batches
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        for (int done = 0; done < c.sessions; done += batch) {
            std::vector<std::unique_ptr<QWebSocket>> pages;
            int states = 0;
            for (int i = 0; i < batch; ++i) {
                pages.push_back(openPage());
                QObject::connect(pages.back().get(), &QWebSocket::textMessageReceived, [&](const QString&) { ++states; });
            }
            ASSERT_TRUE(waitFor([&] { return states >= batch; })) << "after " << done << " sessions: " << states
                                                                  << " pages have the state, open "
                                                                  << server->counters().open;
            for (auto& p : pages) {
                switch (c.end) {
                case End::ClientCloses: p->close(); break;
                case End::ServerCloses: p->sendBinaryMessage(QByteArray(8000, 'x')); break;
                case End::Dropped: p->abort(); break;
                }
            }
            ASSERT_TRUE(waitFor([&] {
                return server->counters().open == 0 && server->liveClients() == 0
                       && std::all_of(pages.begin(), pages.end(),
                                      [](const auto& p) { return p->state() == QAbstractSocket::UnconnectedState; });
            })) << "after " << done << " sessions: open " << server->counters().open << ", live " << server->liveClients();
        }
    }
    EXPECT_EQ(server->counters().refused, 0);
    EXPECT_EQ(server->counters().evicted, 0);
    EXPECT_LE(server->counters().peakOpen, batch);

    // Still serving, and no descriptor was left behind.
    auto last = openPage();
    int states = 0;
    QObject::connect(last.get(), &QWebSocket::textMessageReceived, [&](const QString&) { ++states; });
    ASSERT_TRUE(waitFor([&] { return states > 0; }));
    EXPECT_EQ(server->counters().open, 1);
    last.reset();
    ASSERT_TRUE(waitFor([&] { return server->counters().open == 0; }));
    QTest::qWait(50);   // the sockets' deferred deletions
    EXPECT_LE(openDescriptors(), descriptorsBefore + 2);
}

// Who keeps a place when the places run out, whatever crowd takes them: whoever showed the
// operator's token, always (its live page is never the one closed, its fresh requests are all
// answered, and its new page gets in); only when every place is the operator's own is the
// newcomer turned away.
TEST_F(RemoteHttpTest, NoCrowdLocksTheOperatorOut)
{
    RemoteLimits limits;
    limits.maxConnections = 16;
    limits.maxViewerPages = 12;
    limits.maxStrangersPerAddress = 6;
    limits.firstByteTimeoutMs = 60000;   // the places stay held for as long as the case runs
    limits.requestTimeoutMs = 60000;
    enum class Crowd { Idle, HalfSent, Slow, ViewerPages, Flood, OperatorPages };
    const struct {
        const char* name;
        Crowd crowd;
    } cases[] = {
        {"idle strangers that send nothing", Crowd::Idle},
        {"requests sent half-way", Crowd::HalfSent},
        {"requests dribbled a byte at a time", Crowd::Slow},
        {"every place sought by viewer pages", Crowd::ViewerPages},
        {"a flood of new connections", Crowd::Flood},
        {"every place the operator's own live page", Crowd::OperatorPages},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        startServer(limits);
        server->setViewerKey(viewerKey);
        auto operatorPage = openPage();
        ASSERT_TRUE(waitFor([&] { return server->liveClients() == 1; }));
        std::vector<std::unique_ptr<QWebSocket>> pages;
        std::vector<std::unique_ptr<QTcpSocket>> strangers;
        // Strangers come from other addresses than the operator's, up to four of them.
        const auto stranger = [&](int address, const QByteArray& says) {
            auto s = std::make_unique<QTcpSocket>();
            s->bind(QHostAddress(QStringLiteral("127.0.0.%1").arg(2 + address % 4)), 0);
            s->connectToHost(QHostAddress::LocalHost, server->port());
            if (!says.isEmpty())
                s->write(says);
            strangers.push_back(std::move(s));
        };
        QTimer crowd;
        const auto place = [&]() -> bool {
            switch (c.crowd) {
            case Crowd::Idle:
            case Crowd::HalfSent:
            case Crowd::Slow:
                for (int i = 0; i < limits.maxConnections + 4; ++i)
                    stranger(i, c.crowd == Crowd::Idle ? QByteArray() : "GET /api/v1/state HTTP/1.1\r\nHost: 127.0.0.1\r\n");
                if (c.crowd == Crowd::Slow) {
                    QObject::connect(&crowd, &QTimer::timeout, [&] {
                        for (auto& s : strangers)
                            s->write("X");
                    });
                    crowd.start(20);
                }
                return waitFor([&] { return server->counters().open == limits.maxConnections && server->counters().evicted >= 4; });
            case Crowd::ViewerPages:
                for (int i = 0; i < limits.maxConnections + 4; ++i)
                    pages.push_back(openViewerPage());
                if (!waitFor([&] { return server->liveClients() >= limits.maxViewerPages / 2; }))
                    return false;
                QTest::qWait(300);
                return server->liveClients() <= limits.maxViewerPages + 1;   // the rest were refused
            case Crowd::Flood:
                QObject::connect(&crowd, &QTimer::timeout, [&] {
                    for (int i = 0; i < 4; ++i)
                        stranger(0, {});
                    if (strangers.size() > 400)
                        strangers.erase(strangers.begin(), strangers.begin() + 200);
                });
                crowd.start(1);
                QTest::qWait(200);
                return true;
            case Crowd::OperatorPages:
                // One after another: pages still opening are strangers of one address.
                for (int i = 0; i < limits.maxConnections + 4; ++i) {
                    const int settled = server->liveClients() + server->counters().refused;
                    pages.push_back(openPage());
                    if (!waitFor([&] { return server->liveClients() + server->counters().refused > settled; }))
                        return false;
                }
                return server->liveClients() == limits.maxConnections && server->counters().refused >= 4;
            }
            return false;
        };
        ASSERT_TRUE(place()) << "open " << server->counters().open << ", live " << server->liveClients();

        if (c.crowd == Crowd::OperatorPages) {
            const int refused = server->counters().refused;
            EXPECT_EQ(operatorAsks(server->port(), token), 0);
            EXPECT_GT(server->counters().refused, refused);
        } else {
            int answered = 0;
            for (int i = 0; i < 60; ++i)
                answered += operatorAsks(server->port(), token) == 200;
            EXPECT_EQ(answered, 60);
            EXPECT_EQ(server->counters().refused, 0);
            auto mine = openPage();
            bool live = false;
            QObject::connect(mine.get(), &QWebSocket::textMessageReceived, [&](const QString&) { live = true; });
            EXPECT_TRUE(waitFor([&] { return live; }));
            // Nothing the crowd does afterwards takes the operator's pages away.
            for (int i = 0; i < limits.maxConnections; ++i)
                stranger(i, {});
            QTest::qWait(100);
            EXPECT_EQ(mine->state(), QAbstractSocket::ConnectedState);
        }
        EXPECT_EQ(operatorPage->state(), QAbstractSocket::ConnectedState);
        crowd.stop();
        operatorPage.reset();
        pages.clear();
        strangers.clear();
        server.reset();
    }

    // A connection that says nothing at all goes after its short first-byte deadline.
    RemoteLimits shortWait;
    shortWait.firstByteTimeoutMs = 200;
    startServer(shortWait);
    QTcpSocket silent;
    silent.connectToHost(QHostAddress::LocalHost, server->port());
    ASSERT_TRUE(silent.waitForConnected(1000));
    ASSERT_TRUE(waitFor([&] { return silent.state() == QAbstractSocket::UnconnectedState; }));
    EXPECT_EQ(server->counters().timedOut, 1);
    EXPECT_EQ(server->counters().open, 0);
}

// A client that pipelines requests and never reads its answers: the server stops reading it
// (the sender's writes block), holds a bounded amount for it, and closes it when the answers
// do not drain.
TEST_F(RemoteHttpTest, AClientThatDoesNotReadIsHeldBackAndClosed)
{
    RemoteLimits limits;
    limits.drainTimeoutMs = 1500;
    startServer(limits);
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    const int small = 4096;
    ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(server->port());
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);

    // The page itself, a few KiB each: without a pause the answers pile up without end.
    const QByteArray request = "GET / HTTP/1.1\r\nHost: 127.0.0.1\r\nAuthorization: Bearer " + token + "\r\n\r\n";
    QByteArray burst;
    for (int i = 0; i < 20; ++i)
        burst += request;
    const long before = residentKiB();
    qint64 sent = 0;
    QElapsedTimer total;
    total.start();
    bool closed = false;
    while (total.elapsed() < 8000 && !closed) {
        const ssize_t n = ::send(fd, burst.constData(), burst.size(), MSG_NOSIGNAL);
        if (n > 0)
            sent += n;
        else if (n < 0 && errno != EAGAIN) {
            closed = true;
        }
        QTest::qWait(2);
        closed |= server->counters().stalled > 0;
    }
    ::close(fd);
    EXPECT_EQ(server->counters().stalled, 1);
    EXPECT_LT(total.elapsed(), 6000);
    // Bounded by the pause: a few hundred KiB of requests at most, nowhere near the 40 s of
    // an unbounded pile.
    EXPECT_LT(sent, 8 * 1024 * 1024);
    EXPECT_LT(residentKiB() - before, 32 * 1024) << "sent " << sent;
    EXPECT_EQ(operatorAsks(server->port(), token), 200);
}

// A live page whose peer answers no ping gives its place back; one that answers stays.
TEST_F(RemoteHttpTest, ALivePageThatAnswersNoPingIsDropped)
{
    RemoteLimits limits;
    limits.pingIntervalMs = 200;
    startServer(limits);
    auto answering = openPage();
    ASSERT_TRUE(waitFor([&] { return server->liveClients() == 1; }));
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(server->port());
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    const QByteArray hello = "GET /api/v1/live HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                             "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n"
                             "Authorization: Bearer " + token + "\r\n\r\n";
    ASSERT_EQ(::write(fd, hello.constData(), hello.size()), hello.size());
    ASSERT_TRUE(waitFor([&] { return server->liveClients() == 2; }));
    EXPECT_TRUE(waitFor([&] { return server->liveClients() == 1; }, 3000));
    EXPECT_EQ(server->counters().unanswered, 1);
    QTest::qWait(500);
    EXPECT_EQ(answering->state(), QAbstractSocket::ConnectedState);
    EXPECT_EQ(server->liveClients(), 1);
    ::close(fd);
}

// One HTTP answer read off a raw connection.
struct RawAnswer {
    int status = 0;
    QByteArray head;
    QByteArray body;
    QByteArray header(const QByteArray& name) const
    {
        for (const QByteArray& line : head.split('\n')) {
            const qsizetype colon = line.indexOf(':');
            if (colon > 0 && line.left(colon).trimmed().compare(name, Qt::CaseInsensitive) == 0)
                return line.mid(colon + 1).trimmed();
        }
        return {};
    }
    QList<QByteArray> headers(const QByteArray& name) const
    {
        QList<QByteArray> all;
        for (const QByteArray& line : head.split('\n')) {
            const qsizetype colon = line.indexOf(':');
            if (colon > 0 && line.left(colon).trimmed().compare(name, Qt::CaseInsensitive) == 0)
                all.append(line.mid(colon + 1).trimmed());
        }
        return all;
    }
};

// Reads one answer (headers only for a HEAD or a 1xx); waits for it as long as it takes to come.
std::optional<RawAnswer> readAnswer(QTcpSocket& s, QByteArray& buffer, bool headOnly)
{
    qsizetype end = -1;
    (void)QTest::qWaitFor([&] {
        buffer += s.readAll();
        end = buffer.indexOf("\r\n\r\n");
        return end >= 0 || s.state() == QAbstractSocket::UnconnectedState;
    }, 3000);
    if (end < 0)
        return std::nullopt;
    RawAnswer a;
    a.head = buffer.left(end);
    a.status = a.head.mid(9, 3).toInt();
    buffer.remove(0, end + 4);
    const qsizetype length = (headOnly || a.status < 200) ? 0 : a.header("Content-Length").toLongLong();
    (void)QTest::qWaitFor([&] {
        buffer += s.readAll();
        return buffer.size() >= length || s.state() == QAbstractSocket::UnconnectedState;
    }, 3000);
    a.body = buffer.left(length);
    buffer.remove(0, length);
    return a;
}

// One request on a connection of its own, closed after the answer.
std::optional<RawAnswer> ask(quint16 port, const QByteArray& request, bool headOnly = false)
{
    QTcpSocket s;
    s.connectToHost(QHostAddress::LocalHost, port);
    if (!s.waitForConnected(1000))
        return std::nullopt;
    s.write(request);
    QByteArray buffer;
    return readAnswer(s, buffer, headOnly);
}

// The API's description as the server serves it: valid OpenAPI 3.1 to a validator from npm
// (@seriousme/openapi-schema-validator, which checks against the official 3.1 schemas and
// resolves every reference), naming every route the server answers and no other, each of
// them answered with a status the description lists for it.
TEST_F(RemoteHttpTest, ApiDescriptionIsValidAndComplete)
{
    ASSERT_FALSE(QStandardPaths::findExecutable(QStringLiteral("node")).isEmpty()) << "node is needed to validate the description";
    const QString dir = QString::fromStdString(buildDir() + "/openapi-check");
    const QString prepared = prepareNodeDriver(dir);
    ASSERT_TRUE(prepared.isEmpty()) << prepared.toStdString();
    startServer({});
    const QByteArray auth = "Authorization: Bearer " + token + "\r\nHost: 127.0.0.1\r\nConnection: close\r\n";

    const std::optional<RawAnswer> served = ask(server->port(), "GET /api/v1/openapi.json HTTP/1.1\r\n" + auth + "\r\n");
    ASSERT_TRUE(served);
    ASSERT_EQ(served->status, 200);
    EXPECT_TRUE(served->header("Content-Type").startsWith("application/json"));
    QTemporaryDir temp;
    const QString file = temp.filePath(QStringLiteral("openapi.json"));
    {
        QFile f(file);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(served->body);
    }

    QProcess node;
    node.setWorkingDirectory(dir);
    node.start(QStringLiteral("node"), {QStringLiteral("openapi.mjs"), file});
    ASSERT_TRUE(waitFor([&] { return node.state() == QProcess::NotRunning; }, 60000));
    const QString out = QString::fromUtf8(node.readAllStandardOutput());
    ASSERT_EQ(node.exitCode(), 0) << out.toStdString() << node.readAllStandardError().toStdString();
    const QStringList lines = out.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    ASSERT_FALSE(lines.isEmpty());
    EXPECT_EQ(lines.first(), QStringLiteral("VALID 3.1"));

    QStringList described = lines.filter(QRegularExpression(QStringLiteral("^OP ")));
    for (QString& d : described)
        d = d.mid(3);
    QStringList answered;
    for (const RemoteRoute& r : RemoteServer::routes())
        answered << QStringLiteral("%1 %2").arg(QLatin1String(r.method), QLatin1String(r.path));
    described.sort();
    answered.sort();
    EXPECT_EQ(described, answered);

    // Each described operation, asked as a client would: the answer is one it describes.
    const QJsonObject paths = QJsonDocument::fromJson(served->body).object().value("paths").toObject();
    const std::map<QString, QByteArray> bodies = {
        {"/api/v1/stopwatch/set", R"({"minutes":"5"})"},
        {"/api/v1/stopwatch/preset", R"({"minutes":10})"},
        {"/api/v1/stopwatch/target", R"({"target":"W"})"},
        {"/api/v1/clock/mode", R"({"clock":1,"mode":"RTC"})"},
        {"/api/v1/clock/display", R"({"clock":1,"on":false})"},
        {"/api/v1/clock/brightness", R"({"clock":1,"value":2})"},
        {"/api/v1/clock/direction", R"({"clock":1,"down":true})"},
        {"/api/v1/plan", schoolPlanJson()},
    };
    for (const QString& op : std::as_const(described)) {
        SCOPED_TRACE(op.toStdString());
        const QString method = op.section(QLatin1Char(' '), 0, 0), path = op.section(QLatin1Char(' '), 1);
        QByteArray request = method.toLatin1() + ' ' + path.toLatin1() + " HTTP/1.1\r\n" + auth;
        if (method == QLatin1String("POST") || method == QLatin1String("PUT")) {
            const auto b = bodies.find(path);
            const QByteArray body = b == bodies.end() ? QByteArray("{}") : b->second;
            request += "Content-Type: application/json\r\nContent-Length: " + QByteArray::number(body.size()) + "\r\n\r\n" + body;
        } else {
            request += "\r\n";
        }
        const std::optional<RawAnswer> a = ask(server->port(), request);
        ASSERT_TRUE(a);
        const QJsonObject responses = paths.value(path).toObject().value(method.toLower()).toObject().value("responses").toObject();
        EXPECT_TRUE(responses.contains(QString::number(a->status))) << a->status << " " << a->body.toStdString();
        EXPECT_LT(a->status, 500);
        EXPECT_NE(a->status, 404);
    }
}

// The broker link's topics as the server describes them: valid AsyncAPI 3 to the AsyncAPI
// initiative's own parser from npm (@asyncapi/parser: AsyncAPI 3.0's own schemas and its
// rules, warnings included), and its channels exactly the topics the link makes: each topic
// MqttTopics names for a bus, and each it subscribes to across the site, belongs to one
// channel, and no channel is left without one.
TEST_F(RemoteHttpTest, BrokerTopicsDescriptionIsValidAndComplete)
{
    ASSERT_FALSE(QStandardPaths::findExecutable(QStringLiteral("node")).isEmpty()) << "node is needed to validate the description";
    const QString dir = QString::fromStdString(buildDir() + "/asyncapi-check");
    const QString prepared = prepareNodeDriver(dir, QStringLiteral("asyncapi"));
    ASSERT_TRUE(prepared.isEmpty()) << prepared.toStdString();
    startServer({});
    const std::optional<RawAnswer> served = ask(
        server->port(), "GET /api/v1/asyncapi.json HTTP/1.1\r\nHost: 127.0.0.1\r\nAuthorization: Bearer " + token + "\r\nConnection: close\r\n\r\n");
    ASSERT_TRUE(served);
    ASSERT_EQ(served->status, 200);
    EXPECT_TRUE(served->header("Content-Type").startsWith("application/json"));
    QTemporaryDir temp;
    const QString file = temp.filePath(QStringLiteral("asyncapi.json"));
    {
        QFile f(file);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(served->body);
    }
    QProcess node;
    node.setWorkingDirectory(dir);
    node.start(QStringLiteral("node"), {QStringLiteral("asyncapi.mjs"), file});
    ASSERT_TRUE(waitFor([&] { return node.state() == QProcess::NotRunning; }, 60000));
    const QString out = QString::fromUtf8(node.readAllStandardOutput());
    ASSERT_EQ(node.exitCode(), 0) << out.toStdString() << node.readAllStandardError().toStdString();
    ASSERT_TRUE(out.startsWith(QStringLiteral("VALID 3.0.0\n"))) << out.toStdString();

    // Each channel's address with its parameters as one level each.
    QList<std::pair<QString, QRegularExpression>> channels;
    for (const QString& line : out.split(QLatin1Char('\n')).filter(QRegularExpression(QStringLiteral("^CHANNEL ")))) {
        const QString address = line.mid(8);
        QString pattern = QRegularExpression::escape(address);
        pattern.replace(QRegularExpression(QStringLiteral(R"(\\\{\w+\\\})")), QStringLiteral("[^/+#]+"));
        channels.append({address, QRegularExpression(QStringLiteral("^%1$").arg(pattern))});
    }
    using MqttTopics::BusTopic;
    const QByteArray base = MqttTopics::base(QStringLiteral("Hala"), QStringLiteral("Kort 1"));
    QList<QByteArray> made{MqttTopics::HomeAssistantStatus};
    for (const BusTopic t : {BusTopic::Status, BusTopic::Name, BusTopic::State, BusTopic::Command, BusTopic::Result})
        made << MqttTopics::busTopic(base, t);
    for (const BusTopic t : {BusTopic::Status, BusTopic::Name, BusTopic::State})
        made << MqttTopics::siteWide(base, t).replace('+', "kort-2");   // another bus of the site
    for (int n = 1; n <= 4; ++n) {
        ClockView clock;
        clock.number = n;
        for (const MqttTopics::Retained& r : MqttTopics::clockTopics(base, clock, true))
            made << r.topic;
    }
    for (const MqttTopics::Retained& r : MqttTopics::discoveryRemoval(base))
        made << r.topic;
    QSet<QString> used;
    for (const QByteArray& topic : std::as_const(made)) {
        QStringList matching;
        for (const auto& [address, pattern] : std::as_const(channels))
            if (pattern.match(QString::fromUtf8(topic)).hasMatch())
                matching << address;
        EXPECT_EQ(matching.size(), 1) << topic.toStdString() << ": " << matching.join(QLatin1Char(' ')).toStdString();
        used += QSet<QString>(matching.cbegin(), matching.cend());
    }
    for (const auto& [address, pattern] : std::as_const(channels))
        EXPECT_TRUE(used.contains(address)) << address.toStdString() << " is no topic of the link's";
    EXPECT_EQ(used.size(), channels.size());
}

// Each rule of the HTTP the server speaks, as raw requests on a connection of their own.
TEST_F(RemoteHttpTest, RawRequestsMeetEachRule)
{
    startServer({});
    const QByteArray port = QByteArray::number(server->port());
    const QByteArray auth = "Authorization: Bearer " + token + "\r\n";
    const QByteArray host = "Host: 127.0.0.1:" + port + "\r\n";
    const QByteArray start = "POST /api/v1/stopwatch/start HTTP/1.1\r\n" + host + auth;
    const QByteArray putPlan = "PUT /api/v1/plan HTTP/1.1\r\n" + host;
    const QByteArray target = "POST /api/v1/stopwatch/target HTTP/1.1\r\n" + host + auth;
    const QByteArray json = "Content-Type: application/json\r\n";
    const QByteArray body = "Content-Length: 2\r\n\r\n{}";
    const QByteArray state = "GET /api/v1/state HTTP/1.1\r\n" + host + auth;
    const QByteArray cookieName = "kadrel_session_" + port;
    const QByteArray session = server->sessions().open(RemoteAccess::Operator);
    QByteArray hundredHeaders = state;
    for (int i = 0; i < 100; ++i)
        hundredHeaders += "X-Filler-" + QByteArray::number(i) + ": 1\r\n";
    const QByteArray live = "GET /api/v1/live HTTP/1.1\r\n" + host + auth;
    const QByteArray wsKey = "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n";
    QByteArray pipelined;   // twenty requests of 1 KB each, sent at once
    for (int i = 0; i < 20; ++i)
        pipelined += state + "X-Pad: " + QByteArray(1000, 'p') + "\r\n\r\n";
    QByteArray bareLf = state + "\r\n";
    bareLf.replace("\r\n", "\n");

    struct Case {
        const char* name;
        QByteArray send;
        QByteArray then;              // sent once the first answer is in
        std::vector<int> statuses;    // the answers, in order
        const char* code = "";        // the error code of the last answer
        bool closed = false;          // the server ends the connection after the last answer
        bool headOnly = false;        // the first answer is to a HEAD
        QByteArray header = {};       // a header the first answer must carry...
        QByteArray value = {};        // ...starting with this (empty: must not carry it)
    };
    const Case cases[] = {
        {"command with a JSON body", target + json + "Content-Length: 14\r\n\r\n{\"target\":\"W\"}", {}, {200}},
        {"command with the page's own origin", target + json + "Origin: http://127.0.0.1:" + port + "\r\nContent-Length: 14\r\n\r\n{\"target\":\"W\"}", {}, {200}},
        {"command with no content type", start + body, {}, {403}, "json_required"},
        {"command as plain text", start + "Content-Type: text/plain\r\n" + body, {}, {403}, "json_required"},
        {"command as a form", start + "Content-Type: application/x-www-form-urlencoded\r\n" + body, {}, {403}, "json_required"},
        {"command from another site", start + json + "Origin: http://evil.example\r\n" + body, {}, {403}, "foreign_origin"},
        {"command from an opaque origin", start + json + "Origin: null\r\n" + body, {}, {403}, "foreign_origin"},
        {"command from the same host over https", start + json + "Origin: https://127.0.0.1:" + port + "\r\n" + body, {}, {403}, "foreign_origin"},
        {"command from the same host, another port", start + json + "Origin: http://127.0.0.1:1\r\n" + body, {}, {403}, "foreign_origin"},
        {"a plan as plain text", putPlan + auth + "Content-Type: text/plain\r\n" + body, {}, {403}, "json_required"},
        {"a plan from another site", putPlan + auth + json + "Origin: http://evil.example\r\n" + body, {}, {403}, "foreign_origin"},
        {"a plan of 100 KB with the token", putPlan + auth + json + "Content-Length: 100000\r\n\r\n" + QByteArray(100000, ' '), {}, {400}, "bad_plan"},
        {"a plan of 100 KB with the token in the address", "PUT /api/v1/plan?token=" + token + " HTTP/1.1\r\n" + host + json + "Content-Length: 100000\r\n\r\n" + QByteArray(100000, ' '), {}, {400}, "bad_plan"},
        {"a plan of 100 KB with a wrong token is cut", putPlan + "Authorization: Bearer wrong\r\n" + json + "Content-Length: 100000\r\n\r\n" + QByteArray(100000, ' '), {}, {}, "", true},
        {"100 KB to another path with the token is cut", "PUT /api/v1/state HTTP/1.1\r\n" + host + auth + json + "Content-Length: 100000\r\n\r\n" + QByteArray(100000, ' '), {}, {}, "", true},
        {"HEAD gets the headers alone", "HEAD /api/v1/state HTTP/1.1\r\n" + host + auth + "\r\n", state + "\r\n", {200, 200}, "", false, true, "Content-Type", "application/json"},
        {"HTTP/1.0 is closed after its answer", "GET /api/v1/state HTTP/1.0\r\n" + auth + "\r\n", {}, {200}, "", true, false, "Connection", "close"},
        {"HTTP/1.0 asking keep-alive is kept", "GET /api/v1/state HTTP/1.0\r\nConnection: keep-alive\r\n" + auth + "\r\n", state + "\r\n", {200, 200}, "", false, false, "Connection", "keep-alive"},
        {"HTTP/1.1 asking close is closed", state + "Connection: close\r\n\r\n", {}, {200}, "", true},
        {"length and chunked framing together", start + json + "Content-Length: 2\r\nTransfer-Encoding: chunked\r\n\r\n2\r\n{}\r\n0\r\n\r\n", {}, {400}, "bad_framing", true},
        {"two different lengths", start + json + "Content-Length: 2\r\nContent-Length: 3\r\n\r\n{} ", {}, {400}, "bad_framing", true},
        {"two lengths in one header", start + json + "Content-Length: 2, 3\r\n\r\n{} ", {}, {400}, "bad_framing", true},
        {"a header too large", state + "X-Big: " + QByteArray(10000, 'a') + "\r\n\r\n", {}, {431}, "headers_too_large", true},
        {"Expect: 100-continue", target + json + "Expect: 100-continue\r\nContent-Length: 14\r\n\r\n", "{\"target\":\"W\"}", {100, 200}},
        {"the link's token becomes a session cookie", "GET /?token=" + token + " HTTP/1.1\r\n" + host + "\r\n", {}, {303}, "", false, false, "Set-Cookie", cookieName + '='},
        {"the link's token leaves the address even with the cookie set", "GET /?token=" + token + " HTTP/1.1\r\n" + host + "Cookie: " + cookieName + '=' + session + "\r\n\r\n", {}, {303}, "", false, false, "Location", "/"},
        {"a wrong token in the link, the cookie good", "GET /?token=wrong HTTP/1.1\r\n" + host + "Cookie: " + cookieName + '=' + session + "\r\n\r\n", {}, {303}, "", false, false, "Set-Cookie", ""},
        // Whatever two readers of the head could read apart is refused, and the connection closed.
        {"leading empty lines", "\r\n\r\n" + state + "\r\n", {}, {400}, "bad_request", true},
        {"bare LF line ends", bareLf, {}, {400}, "bad_request", true},
        {"a bare CR in a header", state + "X-A: 1\r2\r\n\r\n", {}, {400}, "bad_request", true},
        {"a control byte in a header", state + "User-Agent: a\x1b[2Jb\r\n\r\n", {}, {400}, "bad_request", true},
        {"a folded length", start + json + "Content-Length: 2\r\n 0\r\n\r\n{}", {}, {400}, "bad_header", true},
        {"a folded header", state + "X-A: 1\r\n\tmore\r\n\r\n", {}, {400}, "bad_header", true},
        {"a space before the colon", state + "Content-Length : 0\r\n\r\n", {}, {400}, "bad_header", true},
        {"a header without a colon", state + "Nonsense\r\n\r\n", {}, {400}, "bad_header", true},
        {"two spaces in the request line", "GET  /api/v1/state HTTP/1.1\r\n" + host + auth + "\r\n", {}, {400}, "bad_request", true},
        {"an unknown HTTP version", "GET /api/v1/state HTTP/1.2\r\n" + host + auth + "\r\n", {}, {400}, "bad_request", true},
        {"HTTP/1.1 without a host", "GET /api/v1/state HTTP/1.1\r\n" + auth + "\r\n", {}, {400}, "bad_header", true},
        {"two hosts", state + host + "\r\n", {}, {400}, "bad_header", true},
        {"the same length twice", start + json + "Content-Length: 2\r\n" + body, {}, {400}, "bad_framing", true},
        {"a length that is not a number", start + json + "Content-Length: +2\r\n\r\n{}", {}, {400}, "bad_framing", true},
        {"chunked alone", start + json + "Transfer-Encoding: chunked\r\n\r\n2\r\n{}\r\n0\r\n\r\n", {}, {400}, "bad_framing", true},
        {"an upgrade without Connection: upgrade", live + "Upgrade: websocket\r\n" + wsKey + "\r\n", {}, {400}, "bad_upgrade", true},
        {"two upgrades", live + "Connection: Upgrade\r\nUpgrade: websocket\r\nUpgrade: websocket\r\n" + wsKey + "\r\n", {}, {400}, "bad_upgrade", true},
        {"an upgrade without its key", live + "Connection: Upgrade\r\nUpgrade: websocket\r\nSec-WebSocket-Version: 13\r\n\r\n", {}, {400}, "bad_upgrade", true},
        {"an upgrade of another version", live + "Connection: Upgrade\r\nUpgrade: websocket\r\nSec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 8\r\n\r\n", {}, {400}, "bad_upgrade", true},
        {"an upgrade by POST", "POST /api/v1/live HTTP/1.1\r\n" + host + auth + "Connection: Upgrade\r\nUpgrade: websocket\r\n" + wsKey + "\r\n", {}, {400}, "bad_upgrade", true},
        {"a hundred header lines", hundredHeaders + "\r\n", {}, {431}, "headers_too_large", true},
        // Found by setting the guard beside Qt's own parser (tests/fuzz/fuzz_http_head.cpp).
        {"a method Qt does not know", "JEAD /api/v1/state HTTP/1.1\r\n" + host + auth + "\r\n", {}, {501}, "not_implemented", true},
        {"CONNECT", "CONNECT 127.0.0.1:" + port + " HTTP/1.1\r\n" + host + auth + "\r\n", {}, {400}, "bad_request", true},
        {"a fragment in the target", "GET /api/v1/stat%23e#x HTTP/1.1\r\n" + host + auth + "\r\n", {}, {400}, "bad_request", true},
        {"a target in absolute form", "GET http://127.0.0.1/api/v1/state HTTP/1.1\r\n" + host + auth + "\r\n", {}, {400}, "bad_request", true},
        {"a target that reads as a host", "GET //evil/api/v1/state HTTP/1.1\r\n" + host + auth + "\r\n", {}, {400}, "bad_request", true},
        {"a raw byte above ASCII in the target", "GET /api/v1/st\xc3\xa4te HTTP/1.1\r\n" + host + auth + "\r\n", {}, {400}, "bad_request", true},
        {"a bad escape in the target", "GET /api/v1/state?x=%zz HTTP/1.1\r\n" + host + auth + "\r\n", {}, {400}, "bad_request", true},
        {"an upgrade with a host no URL reads", "GET /api/v1/live HTTP/1.1\r\nHost: 127.0..10:" + port + "\r\n" + auth + "Connection: Upgrade\r\nUpgrade: websocket\r\n" + wsKey + "\r\n", {}, {400}, "bad_header", true},
        {"a host with a user", "GET /api/v1/state HTTP/1.1\r\nHost: me@127.0.0.1\r\n" + auth + "\r\n", {}, {400}, "bad_header", true},
        {"an upgrade with a second Connection header", live + "Connection: keep-alive\r\nConnection: Upgrade\r\nUpgrade: websocket\r\n" + wsKey + "\r\n", {}, {400}, "bad_header", true},
        {"a header given twice", state + "Cookie: a=1\r\nCookie: b=2\r\n\r\n", {}, {400}, "bad_header", true},
        {"TRACE, which Qt's router knows no rule for, on a known path", "TRACE /api/v1/state HTTP/1.1\r\n" + host + auth + "\r\n", {}, {405}, "method_not_allowed"},
        {"an IPv6 host with its port", "GET /api/v1/state HTTP/1.1\r\nHost: [::1]:" + port + "\r\n" + auth + "\r\n", {}, {200}},
        {"twenty pipelined requests of 1 KB", pipelined, {}, std::vector<int>(20, 200)},
        {"a bad head after a good one on a kept connection", state + "\r\n", bareLf, {200, 400}, "bad_request", true},
        {"a bad request after a body, sent together: refused whole", target + json + "Content-Length: 14\r\n\r\n{\"target\":\"W\"}" + bareLf, {}, {400}, "bad_request", true},
        {"the scheme in lower case", "GET /api/v1/state HTTP/1.1\r\n" + host + "Authorization: bearer " + token + "\r\n\r\n", {}, {200}},
        {"a stale cookie of the same name first", "GET /api/v1/state HTTP/1.1\r\n" + host + "Cookie: " + cookieName + "=old; " + cookieName + '=' + session + "\r\n\r\n", {}, {200}},
        {"another profile's cookie does not let in", "GET /api/v1/state HTTP/1.1\r\n" + host + "Cookie: kadrel_session_1=" + session + "\r\n\r\n", {}, {401}, "unauthorized"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        QTcpSocket s;
        s.connectToHost(QHostAddress::LocalHost, server->port());
        ASSERT_TRUE(s.waitForConnected(1000));
        s.write(c.send);
        QByteArray buffer;
        std::optional<RawAnswer> last;
        for (size_t i = 0; i < c.statuses.size(); ++i) {
            last = readAnswer(s, buffer, c.headOnly && i == 0);
            ASSERT_TRUE(last) << "answer " << i << " missing; got " << buffer.left(200).toStdString();
            EXPECT_EQ(last->status, c.statuses[i]) << last->head.toStdString();
            // One length, whoever writes the head (Qt 6.8 counts the body itself).
            EXPECT_LE(last->headers("Content-Length").size(), 1) << last->head.toStdString();
            if (i > 0)
                continue;
            if (!c.header.isEmpty()) {
                EXPECT_TRUE(last->header(c.header).startsWith(c.value)) << last->head.toStdString();
            }
            if (c.header == "Set-Cookie" && c.value.isEmpty()) {
                EXPECT_TRUE(last->header("Set-Cookie").isEmpty());
            }
            if (c.headOnly) {   // the length of the body a GET would get, and no body
                EXPECT_GT(last->header("Content-Length").toInt(), 0);
                EXPECT_TRUE(last->body.isEmpty());
                QTest::qWait(100);
                buffer += s.readAll();
                EXPECT_TRUE(buffer.isEmpty()) << buffer.left(80).toStdString();
            }
            if (!c.then.isEmpty())
                s.write(c.then);
        }
        if (*c.code) {
            EXPECT_EQ(QJsonDocument::fromJson(last->body).object().value("error").toString().toStdString(), c.code);
        }
        if (c.closed)
            EXPECT_TRUE(waitFor([&] { return s.state() == QAbstractSocket::UnconnectedState; }));
        else
            EXPECT_EQ(s.state(), QAbstractSocket::ConnectedState);
        EXPECT_EQ(form->Link.PendingCommand, 0);
    }
}

// The cookie holds a session the link's secret was exchanged for, never the secret: each step
// against the program's own service, in order, since a new token or key changes what follows.
TEST_F(RemoteHttpTest, TheCookieHoldsASessionNeverTheSecret)
{
    QTemporaryDir config;
    RemoteService service(*form, config.filePath(QStringLiteral("zdalne.json")));
    service.listenAddress = QHostAddress::LocalHost;
    RemoteSettings on = service.settings();
    on.enabled = true;
    on.port = 0;
    {
        QTcpServer probe;   // a free port, so that the restarts keep it
        ASSERT_TRUE(probe.listen(QHostAddress::LocalHost, 0));
        on.port = probe.serverPort();
    }
    ASSERT_TRUE(service.apply(on).isEmpty());
    const QByteArray port = QByteArray::number(service.port());
    const QByteArray host = "Host: 127.0.0.1:" + port + "\r\n";
    const auto get = [&](const QByteArray& path, const QByteArray& cookie) {
        const QByteArray extra = cookie.isEmpty() ? QByteArray() : "Cookie: " + cookie + "\r\n";
        return ask(service.port(), "GET " + path + " HTTP/1.1\r\n" + host + extra + "Connection: close\r\n\r\n")
            .value_or(RawAnswer{});
    };
    // The value a link's exchange set, for the cookie's name.
    const auto exchange = [&](const QByteArray& link, const QByteArray& name) {
        const RawAnswer a = get(link, {});
        const QByteArray set = a.header("Set-Cookie");
        EXPECT_EQ(a.status, 303);
        EXPECT_TRUE(set.startsWith(name + '=')) << set.toStdString();
        EXPECT_TRUE(set.contains("HttpOnly") && set.contains("SameSite=Strict") && set.contains("Path=/"));
        return set.mid(name.size() + 1).split(';').value(0);
    };
    const QByteArray operatorName = "kadrel_session_" + port, viewerName = "kadrel_viewer_" + port;
    const QByteArray token = service.settings().token, key = service.settings().viewerKey;
    const QByteArray mine = exchange("/?token=" + token, operatorName);
    const QByteArray other = exchange("/?token=" + token, operatorName);
    const QByteArray viewing = exchange("/view?key=" + key, viewerName);
    EXPECT_NE(mine, other);   // one per browser
    EXPECT_EQ(mine.size(), 43);
    EXPECT_FALSE(mine.contains(token));

    enum Then { Nothing, NewToken, NewKey };
    const struct {
        const char* name;
        Then before;
        QByteArray path;
        QByteArray cookie;
        int status;
    } steps[] = {
        {"the token exchanged: the session opens the state", Nothing, "/api/v1/state", operatorName + '=' + mine, 200},
        {"...and the operator's page", Nothing, "/", operatorName + '=' + other, 200},
        {"the viewer's session opens the view", Nothing, "/view", viewerName + '=' + viewing, 200},
        {"the viewer's session under the operator's name", Nothing, "/api/v1/state", operatorName + '=' + viewing, 401},
        {"the raw token as the cookie", Nothing, "/api/v1/state", operatorName + '=' + token, 401},
        {"the raw token in the older cookie", Nothing, "/api/v1/state", "kadrel_token_" + port + '=' + token, 401},
        {"the raw viewer key in the older cookie", Nothing, "/view", "kadrel_view_" + port + '=' + key, 401},
        {"a session under another port's name", Nothing, "/api/v1/state", "kadrel_session_1=" + mine, 401},
        {"a made-up session", Nothing, "/api/v1/state", operatorName + "=" + newAccessToken(), 401},
        {"after a new viewer key the viewer's session ends", NewKey, "/view", viewerName + '=' + viewing, 401},
        {"...and the operator's stays", Nothing, "/api/v1/state", operatorName + '=' + mine, 200},
        {"after a new token the operator's session ends", NewToken, "/api/v1/state", operatorName + '=' + mine, 401},
        {"...every one of them", Nothing, "/", operatorName + '=' + other, 401},
    };
    for (const auto& step : steps) {
        SCOPED_TRACE(step.name);
        if (step.before == NewToken) {
            ASSERT_TRUE(service.renewToken().isEmpty());
        }
        if (step.before == NewKey) {
            ASSERT_TRUE(service.renewViewerKey().isEmpty());
        }
        ASSERT_EQ(QByteArray::number(service.port()), port);
        EXPECT_EQ(get(step.path, step.cookie).status, step.status);
    }

    // A browser that holds a good session keeps it when the link is opened again; one that
    // holds the older cookie with the token has it expired.
    const QByteArray fresh = exchange("/?token=" + service.settings().token, operatorName);
    EXPECT_TRUE(get("/?token=" + service.settings().token, operatorName + '=' + fresh).header("Set-Cookie").isEmpty());
    const RawAnswer upgraded = get("/?token=" + service.settings().token, "kadrel_token_" + port + '=' + token);
    const QList<QByteArray> set = upgraded.headers("Set-Cookie");
    ASSERT_EQ(set.size(), 2);
    EXPECT_TRUE(set[1].startsWith("kadrel_token_" + port + "=;"));
    EXPECT_TRUE(set[1].contains("Max-Age=0"));
}

TEST(RemoteSessionsTest, EachKindKeepsItsNewestAndEndsAlone)
{
    RemoteSessions sessions(2);
    const QByteArray first = sessions.open(RemoteAccess::Operator);
    const QByteArray second = sessions.open(RemoteAccess::Operator);
    // Viewers over their cap push out viewers only.
    const QByteArray viewers[] = {sessions.open(RemoteAccess::Viewer), sessions.open(RemoteAccess::Viewer),
                                  sessions.open(RemoteAccess::Viewer)};
    EXPECT_EQ(sessions.find(first), RemoteAccess::Operator);
    EXPECT_EQ(sessions.find(viewers[0]), RemoteAccess::None);
    EXPECT_EQ(sessions.find(viewers[2]), RemoteAccess::Viewer);
    const QByteArray third = sessions.open(RemoteAccess::Operator);
    EXPECT_EQ(sessions.find(first), RemoteAccess::None);   // the oldest goes
    EXPECT_EQ(sessions.find(second), RemoteAccess::Operator);
    EXPECT_EQ(sessions.find(third), RemoteAccess::Operator);
    EXPECT_EQ(sessions.open(RemoteAccess::None), QByteArray());
    EXPECT_EQ(sessions.find({}), RemoteAccess::None);
    sessions.revoke(RemoteAccess::Operator);
    EXPECT_EQ(sessions.count(RemoteAccess::Operator), 0);
    EXPECT_EQ(sessions.count(RemoteAccess::Viewer), 2);
}

} // namespace
