// Remote operation benchmark: the real program (build/kadrel) with the remote page switched on,
// against a pseudo-terminal answered by this process, which timestamps every byte.
//
//   press to frame   an HTTP POST of START (what the page's button sends) to the START frame
//                    on the bus; median and p99 (goal: the next tick plus 10 ms)
//   reply to page    a status reply's last byte written at the bus to a WebSocket client
//                    holding the state with that reply's time (goal: p99 <= 100 ms)
//   CPU and memory   the program with the remote off, then with it on and five pages (WebSocket
//                    clients) open (goal: +0.5 % of a core, +10 MB)
//   view pages       20 view pages (WebSocket clients with the viewer key) open: a reply's last
//                    byte to each of them holding its time (goal: p99 <= 100 ms), and the
//                    program's CPU and memory against the remote off (goal: +1 % of a core, +15 MB)
//   idle crowd       120 connections held open that send nothing, then a good request on a new
//                    connection: the time to its answer (goal: <= 1 s)
//
//   bench_remote [--seconds N]      (default 30 per phase)
//   bench_remote --attacks S        S seconds of a stranger's attacks all at once: a client that
//                                   pipelines GETs every 2 ms and never reads, one that holds an
//                                   incomplete upgrade, 64 view pages and a flood of new
//                                   connections; the operator's fresh request every 100 ms (goal:
//                                   p99 <= 100 ms, none lost) and the program's peak memory
//                                   meanwhile (goal: <= 60 MB)
//   bench_remote --soak-minutes N   pages coming and going every 2 s (each ended a different way),
//                                   the state read five times a second, a command every 5 s; the
//                                   refusals (goal: 0) and the program's memory and descriptors
//                                   at the start and the end (goal: flat)
#include <QCoreApplication>
#include <QDir>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkRequest>
#include <QThread>
#include <QWebSocket>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>

#include <atomic>
#include <map>
#include <thread>
#include <memory>
#include <mutex>
#include <random>
#include <vector>

#include "bench/BenchQt.h"
#include "bench/BenchSupport.h"
#include "link/Frame.h"
#include "remote/RemoteSettings.h"
#include "tests/support/Ser2net.h"

using bench::nowMicros;
using bench::percentile;
using bench::ProcStat;
using bench::Pty;
using bench::readProc;
using bench::runFor;

namespace {

// The clocks: answer every poll at once with a time that changes at each reply, and note when
// each reply's last byte went out and when a START frame came in.
class Responder {
public:
    explicit Responder(const Pty& pty) : pty_(pty), thread_([this] { run(); }) {}
    ~Responder()
    {
        stop_ = true;
        thread_.join();
    }
    int64_t writtenAt(const std::string& key)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        const auto it = written_.find(key);
        return it == written_.end() ? -1 : it->second;
    }
    // A time broadcast went out between the two moments: the command waited a tick for it.
    bool broadcastBetween(int64_t from, int64_t to)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        for (int64_t t : broadcasts_)
            if (t >= from && t <= to)
                return true;
        return false;
    }
    int64_t startsSeen(int64_t after)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        for (int64_t t : starts_)
            if (t >= after)
                return t;
        return -1;
    }

private:
    void run()
    {
        ByteString in;
        int counter = 0;
        while (!stop_) {
            pollfd p{pty_.master, POLLIN, 0};
            if (::poll(&p, 1, 20) <= 0)
                continue;
            char buf[512];
            const ssize_t n = ::read(pty_.master, buf, sizeof buf);
            const int64_t at = nowMicros();
            if (n <= 0)
                continue;
            in.append(buf, static_cast<size_t>(n));
            // Frames from the PC: "Z", address, length, data, checksum.
            while (in.size() >= 4) {
                const size_t start = in.find(static_cast<char>(Frame::StartByte));
                if (start == ByteString::npos) { in.clear(); break; }
                in.erase(0, start);
                if (in.size() < 4) break;
                const size_t len = 4 + static_cast<uint8_t>(in[2]);
                if (in.size() < len) break;
                const ByteString frame = in.substr(0, len);
                in.erase(0, len);
                const uint8_t address = static_cast<uint8_t>(frame[1]);
                if (toHex(frame) == "5A 00 01 01 5C") {
                    std::lock_guard<std::mutex> lock(mutex_);
                    starts_.push_back(at);
                } else if (address == 0xFF) {
                    std::lock_guard<std::mutex> lock(mutex_);
                    broadcasts_.push_back(at);
                } else if (address >= 1 && address <= 4 && frame.size() == 5) {
                    ++counter;
                    const int mm = counter / 60 % 100, ss = counter % 60;
                    ByteString data;
                    data += static_cast<char>((mm / 10) << 4 | (mm % 10));
                    data += static_cast<char>((ss / 10) << 4 | (ss % 10));
                    data += static_cast<char>(0x03);
                    data += static_cast<char>(0x39);
                    const ByteString reply = Frame::build(address, data);
                    if (::write(pty_.master, reply.data(), reply.size()) < 0)
                        continue;
                    char key[32];
                    std::snprintf(key, sizeof key, "%d|%02d:%02d", address, mm, ss);
                    std::lock_guard<std::mutex> lock(mutex_);
                    written_[key] = nowMicros();
                }
            }
        }
    }

    const Pty& pty_;
    std::atomic<bool> stop_{false};
    std::mutex mutex_;
    std::map<std::string, int64_t> written_;
    std::vector<int64_t> starts_;
    std::vector<int64_t> broadcasts_;
    std::thread thread_;
};

// Pages: WebSocket clients in a thread of their own; the first one (or every one) notes the
// clocks' times as they arrive.
class Pages : public QObject {
public:
    Pages(quint16 port, QByteArray token, Responder& bus, bool timeEach = false)
        : port_(port), token_(std::move(token)), bus_(bus), timeEach_(timeEach)
    {
    }
    void open(int count, int from = 0)
    {
        for (int i = from; i < from + count; ++i) {
            auto* ws = new QWebSocket(QString(), QWebSocketProtocol::VersionLatest, this);
            QNetworkRequest req(QUrl(QStringLiteral("ws://127.0.0.1:%1/api/v1/live").arg(port_)));
            req.setRawHeader("Authorization", "Bearer " + token_);
            const bool timing = i == 0 || timeEach_;
            // The state sent at connect holds times written before the page was there; they are
            // marked seen, not timed.
            auto first = std::make_shared<bool>(true);
            connect(ws, &QWebSocket::textMessageReceived, this, [this, timing, i, first](const QString& text) {
                ++messages;
                if (timing)
                    note(text, i, *first);
                *first = false;
            });
            connect(ws, &QWebSocket::connected, this, [this] { ++connected; });
            ws->open(req);
        }
    }
    std::atomic<int> connected{0};
    std::atomic<long> messages{0};
    std::mutex mutex;
    std::vector<double> latencies;
    bool recording = false;

private:
    void note(const QString& text, int page, bool snapshot)
    {
        const int64_t now = nowMicros();
        const QJsonArray clocks = QJsonDocument::fromJson(text.toUtf8()).object().value(QStringLiteral("clocks")).toArray();
        for (const QJsonValue& c : clocks) {
            const QJsonObject o = c.toObject();
            const std::string key = std::to_string(o.value(QStringLiteral("number")).toInt()) + "|"
                                    + o.value(QStringLiteral("time")).toString().toStdString();
            const std::string seenKey = std::to_string(page) + "#" + key;
            if (seen_.count(seenKey))
                continue;
            seen_[seenKey] = true;
            const int64_t at = bus_.writtenAt(key);
            std::lock_guard<std::mutex> lock(mutex);
            if (at > 0 && recording && !snapshot)
                latencies.push_back((now - at) / 1000.0);
        }
    }
    quint16 port_;
    QByteArray token_;
    Responder& bus_;
    bool timeEach_;
    std::map<std::string, bool> seen_;
};

// The view pages' key, the same for every run of the program here.
const QByteArray& viewerKey()
{
    static const QByteArray key = newAccessToken();
    return key;
}

// The program in a home of its own, the pty its first listed port, the remote on or off.
struct Program {
    bench::Home home;
    pid_t pid = -1;
    Program(const Pty& pty, bool remote, quint16 port, const QByteArray& token)
    {
        home.publish("BENCH", pty.path);
        home.writeSettings();
        RemoteSettings s;
        s.enabled = remote;
        s.port = port;
        s.token = token;
        s.viewerKey = viewerKey();
        s.save(QString::fromStdString((home.root / "config/kadrel/zdalne.json").string()));
        pid = home.startProgram();
    }
    ~Program()
    {
        kill(pid, SIGTERM);
        waitpid(pid, nullptr, 0);
    }
};

// One HTTP/1.1 connection kept open, as the page's fetch keeps it.
class Presser {
public:
    Presser(quint16 port, const QByteArray& token)
    {
        fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(port);
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a);
        const int one = 1;
        ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        request_ = "POST /api/v1/stopwatch/start HTTP/1.1\r\nHost: 127.0.0.1\r\nAuthorization: Bearer " + token.toStdString()
                   + "\r\nContent-Type: application/json\r\nContent-Length: 2\r\n\r\n{}";
    }
    ~Presser() { ::close(fd_); }
    // Sends the press; returns when the answer has come (or failed).
    bool press()
    {
        if (::write(fd_, request_.data(), request_.size()) != static_cast<ssize_t>(request_.size()))
            return false;
        std::string got;
        char buf[2048];
        while (got.find("{\"ok\":") == std::string::npos || got.find('}', got.find("{\"ok\":")) == std::string::npos) {
            pollfd p{fd_, POLLIN, 0};
            if (::poll(&p, 1, 2000) <= 0)
                return false;
            const ssize_t n = ::read(fd_, buf, sizeof buf);
            if (n <= 0)
                return false;
            got.append(buf, static_cast<size_t>(n));
        }
        return true;
    }

private:
    int fd_ = -1;
    std::string request_;
};

int loopbackSocket(quint16 port, bool blocking, const char* from = nullptr)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | (blocking ? 0 : SOCK_NONBLOCK), 0);
    if (from) {   // another address of the loopback range: a stranger of its own
        sockaddr_in source{};
        source.sin_family = AF_INET;
        ::inet_pton(AF_INET, from, &source.sin_addr);
        ::bind(fd, reinterpret_cast<sockaddr*>(&source), sizeof source);
    }
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    return fd;
}

// A state read on a connection of its own, from connect to the answer's end; -1 if none came.
double goodRequestMs(quint16 port, const QByteArray& token)
{
    const int64_t t0 = nowMicros();
    const int fd = loopbackSocket(port, true);
    const std::string request = "GET /api/v1/state HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\nAuthorization: Bearer "
                                + token.toStdString() + "\r\n\r\n";
    double ms = -1;
    if (::write(fd, request.data(), request.size()) == static_cast<ssize_t>(request.size())) {
        std::string got;
        char buf[4096];
        for (;;) {
            pollfd p{fd, POLLIN, 0};
            if (::poll(&p, 1, 5000) <= 0)
                break;
            const ssize_t n = ::read(fd, buf, sizeof buf);
            if (n <= 0)
                break;
            got.append(buf, static_cast<size_t>(n));
        }
        if (got.rfind("HTTP/1.1 200", 0) == 0 && got.find("\"clocks\"") != std::string::npos)
            ms = (nowMicros() - t0) / 1000.0;
    }
    ::close(fd);
    return ms;
}

int descriptorsOf(pid_t pid)
{
    return static_cast<int>(QDir(QStringLiteral("/proc/%1/fd").arg(pid)).entryList(QDir::Files | QDir::System).size());
}

// Pages that come and go, state reads and commands against the running program for MINUTES.
int soak(int minutes, const QByteArray& token)
{
    Pty pty;
    Responder bus(pty);
    const quint16 port = static_cast<quint16>(Ser2net::freePort());
    Program program(pty, true, port, token);
    runFor(3);
    const ProcStat startUse = readProc(program.pid);
    const int startFds = descriptorsOf(program.pid);
    std::printf("soak: %d min; start: program resident %.1f MB, %d descriptors\n", minutes, startUse.rssKb / 1024.0,
                startFds);
    std::fflush(stdout);

    long sessions = 0, pageRefused = 0, reads = 0, readRefused = 0, commands = 0, commandRefused = 0;
    QObject owner;
    QList<QWebSocket*> pages;
    const auto openPage = [&] {
        auto* ws = new QWebSocket(QString(), QWebSocketProtocol::VersionLatest, &owner);
        ws->setProperty("live", false);
        QNetworkRequest req(QUrl(QStringLiteral("ws://127.0.0.1:%1/api/v1/live").arg(port)));
        req.setRawHeader("Authorization", "Bearer " + token);
        QObject::connect(ws, &QWebSocket::textMessageReceived, ws, [ws] { ws->setProperty("live", true); });
        ws->open(req);
        pages.append(ws);
        ++sessions;
    };
    for (int i = 0; i < 5; ++i)
        openPage();
    int turn = 0;
    QTimer churn;   // the oldest page goes, ended one of three ways, and a new one comes
    QObject::connect(&churn, &QTimer::timeout, [&] {
        QWebSocket* old = pages.takeFirst();
        if (!old->property("live").toBool())
            ++pageRefused;
        switch (turn++ % 3) {
        case 0: old->close(); break;
        case 1: old->sendBinaryMessage(QByteArray(8000, 'x')); break;   // over the cap: the server closes it
        default: old->abort(); break;
        }
        QTimer::singleShot(1000, old, &QObject::deleteLater);
        openPage();
    });
    churn.start(2000);

    QNetworkAccessManager net;
    QNetworkRequest stateReq(QUrl(QStringLiteral("http://127.0.0.1:%1/api/v1/state").arg(port)));
    stateReq.setRawHeader("Authorization", "Bearer " + token);
    QTimer reading;
    QObject::connect(&reading, &QTimer::timeout, [&] {
        QNetworkReply* r = net.get(stateReq);
        ++reads;
        QObject::connect(r, &QNetworkReply::finished, r, [&, r] {
            if (r->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt() != 200)
                ++readRefused;
            r->deleteLater();
        });
    });
    reading.start(200);
    QNetworkRequest commandReq(QUrl(QStringLiteral("http://127.0.0.1:%1/api/v1/stopwatch/start").arg(port)));
    commandReq.setRawHeader("Authorization", "Bearer " + token);
    commandReq.setHeader(QNetworkRequest::ContentTypeHeader, "application/json");
    QTimer commanding;
    QObject::connect(&commanding, &QTimer::timeout, [&] {
        QNetworkReply* r = net.post(commandReq, QByteArray("{}"));
        ++commands;
        QObject::connect(r, &QNetworkReply::finished, r, [&, r] {
            if (r->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt() != 200)
                ++commandRefused;
            r->deleteLater();
        });
    });
    commanding.start(5000);

    for (int m = 1; m <= minutes; ++m) {
        runFor(60);
        const ProcStat now = readProc(program.pid);
        std::printf("  %3d min: %ld page sessions (%ld refused), %ld reads (%ld refused), %ld commands (%ld refused); "
                    "resident %.1f MB, %d descriptors\n",
                    m, sessions, pageRefused, reads, readRefused, commands, commandRefused, now.rssKb / 1024.0,
                    descriptorsOf(program.pid));
        std::fflush(stdout);
    }
    churn.stop();
    reading.stop();
    commanding.stop();
    for (QWebSocket* ws : pages)
        ws->close();
    runFor(2);
    const ProcStat endUse = readProc(program.pid);
    const int endFds = descriptorsOf(program.pid);
    std::printf("soak end: refused %ld pages, %ld reads, %ld commands (goal 0 each)\n", pageRefused, readRefused,
                commandRefused);
    std::printf("program resident memory %.1f MB at the start, %.1f MB at the end (%+.1f MB); descriptors %d -> %d "
                "(goal: flat)\n",
                startUse.rssKb / 1024.0, endUse.rssKb / 1024.0, (endUse.rssKb - startUse.rssKb) / 1024.0, startFds, endFds);
    return pageRefused + readRefused + commandRefused == 0 ? 0 : 1;
}

} // namespace

// Strangers' attacks at once, each in a thread of its own on raw sockets from an address of its
// own (127.0.0.2 to .4), the view pages and the operator's fresh requests from 127.0.0.1.
int attacks(int seconds, const QByteArray& token)
{
    Pty pty;
    Responder bus(pty);
    const quint16 port = static_cast<quint16>(Ser2net::freePort());
    Program program(pty, true, port, token);
    runFor(3);
    const ProcStat before = readProc(program.pid);
    std::atomic<bool> stop{false};
    std::atomic<long> pipelinedConnections{0}, heldConnections{0}, floodConnections{0};
    const auto pause = [](int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); };
    std::vector<std::thread> attackers;
    // Twenty GETs every 2 ms, answers never read; a new connection when the server cuts it.
    attackers.emplace_back([&] {
        std::string burst;
        for (int i = 0; i < 20; ++i)
            burst += "GET / HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
        while (!stop) {
            const int fd = loopbackSocket(port, true, "127.0.0.2");
            const timeval limit{0, 100000};
            ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
            ++pipelinedConnections;
            while (!stop) {
                if (::send(fd, burst.data(), burst.size(), MSG_NOSIGNAL) < 0 && errno != EAGAIN && errno != EWOULDBLOCK)
                    break;
                pause(2);
            }
            ::close(fd);
        }
    });
    // An upgrade with no "Connection: upgrade", held until the server ends it.
    attackers.emplace_back([&] {
        const std::string upgrade = "GET /api/v1/live HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgrade: websocket\r\n\r\n";
        while (!stop) {
            const int fd = loopbackSocket(port, true, "127.0.0.3");
            ++heldConnections;
            if (::send(fd, upgrade.data(), upgrade.size(), MSG_NOSIGNAL) > 0) {
                char buf[4096];
                while (!stop) {
                    pollfd p{fd, POLLIN, 0};
                    if (::poll(&p, 1, 100) > 0 && ::read(fd, buf, sizeof buf) <= 0)
                        break;
                }
            }
            ::close(fd);
            pause(10);
        }
    });
    // New connections that say nothing, 200 a second.
    attackers.emplace_back([&] {
        while (!stop) {
            ::close(loopbackSocket(port, false, "127.0.0.4"));
            ++floodConnections;
            pause(5);
        }
    });
    QThread viewsThread;
    Pages views(port, viewerKey(), bus);
    views.moveToThread(&viewsThread);
    viewsThread.start();
    // Eight at a time, as a hall's screens come up: one address's connections that have shown
    // no key yet are capped.
    for (int batch = 0; batch < 8; ++batch) {
        QMetaObject::invokeMethod(&views, [&] { views.open(8); });
        runFor(0.3);
    }
    runFor(1);

    std::vector<double> operatorMs;
    int lost = 0;
    long peakKb = 0;
    const int64_t end = nowMicros() + int64_t(seconds) * 1000000;
    while (nowMicros() < end) {
        const double ms = goodRequestMs(port, token);
        if (ms < 0)
            ++lost;
        else
            operatorMs.push_back(ms);
        peakKb = std::max(peakKb, readProc(program.pid).rssKb);
        runFor(0.1);
    }
    const ProcStat after = readProc(program.pid);
    const int viewers = views.connected.load();
    stop = true;
    for (std::thread& t : attackers)
        t.join();
    QMetaObject::invokeMethod(&views, [&] { qDeleteAll(views.children()); }, Qt::BlockingQueuedConnection);
    viewsThread.quit();
    viewsThread.wait();

    std::printf("attacks for %d s: a pipelining reader (%ld connections), a held upgrade (%ld), %d of 64 view pages "
                "let in, a flood (%ld connections)\n",
                seconds, pipelinedConnections.load(), heldConnections.load(), viewers, floodConnections.load());
    std::printf("  the operator's fresh request, %zu answered, %d lost: median %.1f ms, p99 %.1f ms, max %.1f ms "
                "(goal: p99 <= 100 ms, none lost)\n",
                operatorMs.size(), lost, percentile(operatorMs, 50), percentile(operatorMs, 99),
                percentile(operatorMs, 100));
    std::printf("  program resident memory: %.1f MB before, peak %.1f MB, high-water %.1f MB (goal: <= 60 MB)\n",
                before.rssKb / 1024.0, peakKb / 1024.0, after.hwmKb / 1024.0);
    return 0;
}

int main(int argc, char** argv)
{
    const int seconds = bench::option(argc, argv, "--seconds", 30, 3);
    const int soakMinutes = bench::option(argc, argv, "--soak-minutes", 0, 0);
    QCoreApplication app(argc, argv);
    const int attackSeconds = bench::option(argc, argv, "--attacks", 0, 0);
    if (soakMinutes > 0)
        return soak(soakMinutes, newAccessToken());
    if (attackSeconds > 0)
        return attacks(attackSeconds, newAccessToken());
    std::printf("bench_remote: %d s per phase, program %s\n", seconds, KADREL_BUILD_DIR "/kadrel");
    std::fflush(stdout);
    const QByteArray token = newAccessToken();

    // Phase 1: the remote off.
    ProcStat offUse;
    double offWall = 0;
    {
        Pty pty;
        Responder bus(pty);
        Program program(pty, false, static_cast<quint16>(Ser2net::freePort()), token);
        runFor(3);
        const ProcStat a = readProc(program.pid);
        const int64_t t0 = nowMicros();
        runFor(seconds);
        offWall = (nowMicros() - t0) / 1e6;
        offUse = readProc(program.pid);
        offUse.cpuSeconds -= a.cpuSeconds;
    }

    // Phase 2: the remote on, five pages open; then the presses.
    Pty pty;
    Responder bus(pty);
    const quint16 port = static_cast<quint16>(Ser2net::freePort());
    Program program(pty, true, port, token);
    runFor(3);
    QThread pagesThread;
    Pages pages(port, token, bus);
    pages.moveToThread(&pagesThread);
    pagesThread.start();
    QMetaObject::invokeMethod(&pages, [&] { pages.open(5); pages.recording = true; });
    runFor(2);
    if (pages.connected != 5) {
        std::printf("only %d of 5 pages connected\n", pages.connected.load());
        pagesThread.quit();
        pagesThread.wait();
        return 1;
    }
    const ProcStat b = readProc(program.pid);
    const long messagesAtStart = pages.messages.load();
    const int64_t t0 = nowMicros();
    runFor(seconds);
    const double onWall = (nowMicros() - t0) / 1e6;
    const long messagesBefore = pages.messages.load() - messagesAtStart;
    ProcStat onUse = readProc(program.pid);
    onUse.cpuSeconds -= b.cpuSeconds;
    std::vector<double> replyToPage;
    QMetaObject::invokeMethod(&pages, [&] { pages.recording = false; }, Qt::BlockingQueuedConnection);
    {
        std::lock_guard<std::mutex> lock(pages.mutex);
        replyToPage = pages.latencies;
    }

    std::vector<double> pressToFrame, pressToFrameNoBroadcast;
    std::mt19937 random(42);
    Presser presser(port, token);
    for (int i = 0; i < 100; ++i) {
        runFor((150 + random() % 250) / 1000.0);   // presses fall anywhere in the tick
        const int64_t pressed = nowMicros();
        if (!presser.press())
            break;
        int64_t frame = -1;
        for (int w = 0; w < 100 && frame < 0; ++w) {
            frame = bus.startsSeen(pressed);
            if (frame < 0)
                runFor(0.005);
        }
        if (frame > 0) {
            pressToFrame.push_back((frame - pressed) / 1000.0);
            if (!bus.broadcastBetween(pressed, frame))
                pressToFrameNoBroadcast.push_back((frame - pressed) / 1000.0);
        }
    }
    QMetaObject::invokeMethod(&pages, [&] { qDeleteAll(pages.children()); }, Qt::BlockingQueuedConnection);
    pagesThread.quit();
    pagesThread.wait();

    // Twenty view pages with the viewer key, each timed.
    runFor(2);
    QThread viewsThread;
    Pages views(port, viewerKey(), bus, true);
    views.moveToThread(&viewsThread);
    viewsThread.start();
    // A few at a time, as tablets come: one address may hold only so many connections that have
    // not yet shown a key, and twenty opened in one instant would evict each other.
    for (int from = 0; from < 20; from += 5) {
        QMetaObject::invokeMethod(&views, [&views, from] { views.open(5, from); });
        runFor(0.5);
    }
    QMetaObject::invokeMethod(&views, [&] { views.recording = true; });
    runFor(2);
    if (views.connected != 20) {
        std::printf("only %d of 20 view pages connected\n", views.connected.load());
        viewsThread.quit();
        viewsThread.wait();
        return 1;
    }
    const ProcStat v = readProc(program.pid);
    const int64_t v0 = nowMicros();
    runFor(seconds);
    const double viewWall = (nowMicros() - v0) / 1e6;
    ProcStat viewUse = readProc(program.pid);
    viewUse.cpuSeconds -= v.cpuSeconds;
    std::vector<double> replyToView;
    QMetaObject::invokeMethod(&views, [&] { views.recording = false; }, Qt::BlockingQueuedConnection);
    {
        std::lock_guard<std::mutex> lock(views.mutex);
        replyToView = views.latencies;
    }
    QMetaObject::invokeMethod(&views, [&] { qDeleteAll(views.children()); }, Qt::BlockingQueuedConnection);
    viewsThread.quit();
    viewsThread.wait();

    // A crowd of idle connections, more than the server takes, then a good request.
    std::vector<double> crowded;
    int unanswered = 0;
    for (int round = 0; round < 10; ++round) {
        std::vector<int> idle;
        for (int i = 0; i < 120; ++i)
            idle.push_back(loopbackSocket(port, false));
        runFor(0.2);
        const double ms = goodRequestMs(port, token);
        if (ms < 0)
            ++unanswered;
        else
            crowded.push_back(ms);
        for (int fd : idle)
            ::close(fd);
        runFor(0.3);
    }

    std::printf("press to frame (HTTP POST start -> frame on the bus), %zu presses:\n", pressToFrame.size());
    std::printf("  median %.1f ms, p99 %.1f ms, max %.1f ms (goal: next tick + 10 ms, at most 110 ms)\n",
                percentile(pressToFrame, 50), percentile(pressToFrame, 99), percentile(pressToFrame, 100));
    std::printf("  without the %zu presses that waited for a time broadcast's tick: median %.1f ms, p99 %.1f ms, max %.1f ms\n",
                pressToFrame.size() - pressToFrameNoBroadcast.size(), percentile(pressToFrameNoBroadcast, 50),
                percentile(pressToFrameNoBroadcast, 99), percentile(pressToFrameNoBroadcast, 100));
    std::printf("reply to page (reply's last byte on the bus -> WebSocket client has it), %zu replies:\n",
                replyToPage.size());
    std::printf("  median %.1f ms, p99 %.1f ms, max %.1f ms (goal: p99 <= 100 ms)\n", percentile(replyToPage, 50),
                percentile(replyToPage, 99), percentile(replyToPage, 100));
    const double offCpu = 100.0 * offUse.cpuSeconds / offWall, onCpu = 100.0 * onUse.cpuSeconds / onWall;
    std::printf("program CPU: %.2f %% of a core with the remote off, %.2f %% with it on and 5 pages (extra %+.2f %%; goal +0.5 %%)\n",
                offCpu, onCpu, onCpu - offCpu);
    std::printf("program resident memory: %.1f MB off, %.1f MB on with 5 pages (extra %+.1f MB; goal +10 MB)\n",
                offUse.rssKb / 1024.0, onUse.rssKb / 1024.0, (onUse.rssKb - offUse.rssKb) / 1024.0);
    std::printf("WebSocket messages to the five pages during that phase: %ld in %.0f s\n", messagesBefore, onWall);
    std::printf("reply to view page (reply's last byte on the bus -> each of 20 view pages has it), %zu arrivals:\n",
                replyToView.size());
    std::printf("  median %.1f ms, p99 %.1f ms, max %.1f ms (goal: p99 <= 100 ms)\n", percentile(replyToView, 50),
                percentile(replyToView, 99), percentile(replyToView, 100));
    const double viewCpu = 100.0 * viewUse.cpuSeconds / viewWall;
    std::printf("program CPU with 20 view pages: %.2f %% of a core (extra %+.2f %% on the remote off; goal +1 %%)\n",
                viewCpu, viewCpu - offCpu);
    std::printf("program resident memory with 20 view pages: %.1f MB (extra %+.1f MB on the remote off; goal +15 MB)\n",
                viewUse.rssKb / 1024.0, (viewUse.rssKb - offUse.rssKb) / 1024.0);
    std::printf("good request with 120 idle connections held, %zu rounds: median %.1f ms, max %.1f ms, %d unanswered "
                "(goal: <= 1000 ms, none unanswered)\n",
                crowded.size(), percentile(crowded, 50), percentile(crowded, 100), unanswered);
    return 0;
}
