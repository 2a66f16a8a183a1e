// Request heads fed to the remote guard's verdict and to Qt's own HTTP server, in this process
// over loopback. A head the guard passes must reach Qt as the same request (method, path and
// query, headers, body length, whether it becomes a WebSocket), and a request sent after its
// body must reach Qt as the next one, so that the two agree where the body ends. What the guard
// refuses, or has not seen whole, is not compared: it never reaches Qt.
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QHttpServerRequest>
#include <QHttpServerResponder>
#include <QTcpServer>
#include <QTcpSocket>
#include <QUrl>
#include <QWebSocket>
#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "remote/HttpShim.h"
#include "remote/RequestHead.h"

namespace {

using Header = HttpServerShim::Header;

// The guard's limits as the program sets them (RemoteLimits).
constexpr qint64 MaxHeadBytes = 8 * 1024;
constexpr int MaxHeaderLines = 99;
constexpr qint64 MaxRequestBytes = 16 * 1024;
const QByteArray NextRequest = "GET /fuzz-next HTTP/1.1\r\nHost: n\r\n\r\n";

struct Reading {
    QByteArray method;
    QByteArray path;
    QByteArray query;
    bool hasQuery = false;
    QList<Header> headers;   // names in lower case, sorted
    qsizetype body = 0;
    bool upgrade = false;
};

QByteArray methodName(QHttpServerRequest::Method m)
{
    using M = QHttpServerRequest::Method;
    switch (m) {
    case M::Get: return "GET";
    case M::Put: return "PUT";
    case M::Delete: return "DELETE";
    case M::Post: return "POST";
    case M::Head: return "HEAD";
    case M::Options: return "OPTIONS";
    case M::Patch: return "PATCH";
    case M::Connect: return "CONNECT";
    case M::Trace: return "TRACE";
    default: return "?";
    }
}

void sortHeaders(QList<Header>& headers)
{
    for (Header& h : headers)
        h.name = h.name.toLower();
    std::sort(headers.begin(), headers.end(),
              [](const Header& a, const Header& b) { return a.name != b.name ? a.name < b.name : a.value < b.value; });
}

// Qt's server, answering every request at once with an empty 200 and taking every upgrade.
class QtReader : public HttpServerShim {
public:
    QtReader()
    {
        connect(this, &QAbstractHttpServer::newWebSocketConnection, this, [this] {
            while (hasPendingWebSocketConnections()) {
                auto ws = nextPendingWebSocketConnection();
                if (!ws)
                    break;
                if (!seen.isEmpty())
                    seen.last().upgrade = true;
                ws->abort();
            }
        });
        if (!tcp_.listen(QHostAddress::LocalHost, 0))
            abort();
        bind(&tcp_);
    }
    quint16 port() const { return tcp_.serverPort(); }

    QList<Reading> seen;
    bool upgradeAsked = false;

protected:
    QTcpSocket* connectionOf(const QHostAddress&, quint16) const override { return nullptr; }
    void serveRequest(const QHttpServerRequest& request, QHttpServerResponder& responder, QTcpSocket*) override
    {
        seen.append(readingOf(request));
        write(responder, nullptr, 200, {{"Content-Length", "0"}}, {});
    }
    bool admitUpgrade(const QHttpServerRequest& request, QTcpSocket*) override
    {
        // Whether it becomes a WebSocket is told by the WebSocket that comes of it.
        upgradeAsked = true;
        seen.append(readingOf(request));
        return true;
    }
    void refuseUpgrade(const QHttpServerRequest& request, QHttpServerResponder& responder, QTcpSocket*) override
    {
        seen.append(readingOf(request));
        write(responder, nullptr, 400, {{"Content-Length", "0"}}, {});
    }

private:
    static Reading readingOf(const QHttpServerRequest& request)
    {
        Reading r;
        r.method = methodName(request.method());
        r.path = request.url().path(QUrl::FullyEncoded).toUtf8();
        r.hasQuery = request.url().hasQuery();
        r.query = request.url().query(QUrl::FullyEncoded).toUtf8();
        r.headers = headers(request);
        sortHeaders(r.headers);
        r.body = request.body().size();
        return r;
    }

    QTcpServer tcp_;
};

QtReader* reader = nullptr;

// The guard's reading put in Qt's terms: the target split as origin-form, each part through
// QUrl's own normalisation of that part alone.
Reading guardReading(const HeadReading& head, const HeadCheck& check)
{
    Reading r;
    r.method = head.method;
    const qsizetype q = head.target.indexOf('?');
    QUrl url;
    url.setPath(QString::fromUtf8(head.target.left(q < 0 ? head.target.size() : q)), QUrl::TolerantMode);
    r.path = url.path(QUrl::FullyEncoded).toUtf8();
    r.hasQuery = q >= 0;
    if (r.hasQuery) {
        url.setQuery(QString::fromUtf8(head.target.mid(q + 1)), QUrl::TolerantMode);
        r.query = url.query(QUrl::FullyEncoded).toUtf8();
    }
    for (const auto& h : head.headers)
        r.headers.append({h.first, h.second});
    sortHeaders(r.headers);
    r.body = check.bodyBytes;
    r.upgrade = check.upgrade;
    return r;
}

void print(const char* who, const Reading& r)
{
    std::fprintf(stderr, "%s: %s path=%s query%s=%s body=%lld upgrade=%d\n", who, r.method.constData(),
                 r.path.constData(), r.hasQuery ? "" : "(none)", r.query.constData(), static_cast<long long>(r.body),
                 r.upgrade);
    for (const Header& h : r.headers)
        std::fprintf(stderr, "    [%s] = [%s]\n", h.name.constData(), h.value.constData());
}

[[noreturn]] void disagree(const char* what, const Reading& guard)
{
    std::fprintf(stderr, "the guard passed a head Qt read differently: %s\n", what);
    print("guard", guard);
    for (const Reading& r : reader->seen)
        print("qt", r);
    abort();
}

int connectTo(quint16 port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    // Ended with a reset, so that thousands of inputs a second leave no ports waiting.
    const linger reset{1, 0};
    if (fd < 0 || ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &reset, sizeof reset) != 0
        || ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        // libFuzzer's own timer may interrupt it: that input is not tried.
        if (errno == EINTR) {
            ::close(fd);
            return -1;
        }
        std::perror("connect");
        abort();
    }
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
    return fd;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv)
{
    static int qtArgc = 1;
    static char* qtArgv[] = {(*argv)[0], nullptr};
    (void)argc;
    new QCoreApplication(qtArgc, qtArgv);
    reader = new QtReader;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const QByteArray stream(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    HeadReading head;
    const HeadCheck check = readHead(stream, MaxHeadBytes, MaxHeaderLines, &head);
    if (check.status != 0 || check.length == 0 || check.length + check.bodyBytes > MaxRequestBytes)
        return 0;
    const Reading guard = guardReading(head, check);

    // The head, a body of the length the guard read, and (on a connection kept open) the next
    // request: Qt must end the body where the guard does.
    QByteArray sent = stream.left(check.length) + QByteArray(check.bodyBytes, 'b');
    const bool next = !check.upgrade && check.keepAlive;
    if (next)
        sent += NextRequest;
    const qsizetype expected = next ? 2 : 1;
    reader->seen.clear();
    reader->upgradeAsked = false;
    const int fd = connectTo(reader->port());
    if (fd < 0)
        return 0;
    const auto length = static_cast<size_t>(sent.size());
    const ssize_t wrote = ::send(fd, sent.constData(), length, MSG_NOSIGNAL);
    if (wrote < 0 && errno == EINTR) {
        ::close(fd);
        return 0;
    }
    if (wrote != static_cast<ssize_t>(length))
        abort();
    QElapsedTimer waited;
    waited.start();
    bool ended = false;
    while (waited.elapsed() < 300 && !ended) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 2);
        char answers[4096];
        ssize_t n;
        while ((n = ::recv(fd, answers, sizeof answers, 0)) > 0) {
        }
        ended = n == 0;
        if (reader->seen.size() >= expected && (!check.upgrade || reader->seen.first().upgrade))
            break;
    }
    ::close(fd);
    // Let the server's side of the connection go before the next input.
    for (int i = 0; i < 3; ++i)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 1);
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);

    const QList<Reading>& seen = reader->seen;
    if (seen.isEmpty())
        disagree("Qt served no request", guard);
    const Reading& qt = seen.first();
    if (qt.method != guard.method)
        disagree("the method", guard);
    if (qt.path != guard.path || qt.hasQuery != guard.hasQuery || qt.query != guard.query)
        disagree("the target", guard);
    if (qt.headers.size() != guard.headers.size())
        disagree("the number of headers", guard);
    for (qsizetype i = 0; i < qt.headers.size(); ++i)
        if (qt.headers[i].name != guard.headers[i].name || qt.headers[i].value != guard.headers[i].value)
            disagree("a header", guard);
    if (qt.body != guard.body)
        disagree("the body's length", guard);
    if (qt.upgrade != guard.upgrade)
        disagree("the upgrade", guard);
    if (seen.size() != expected || (next && seen.last().path != "/fuzz-next"))
        disagree("where the body ends", guard);
    return 0;
}
