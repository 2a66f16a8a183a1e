#pragma once
// The remote page and API on Qt's HTTP server: every request needs the access token (link,
// bearer header, or the session cookie its link was exchanged for); commands go to the window
// through StopwatchHost; the state goes out live over WebSocket. Everything runs on the
// user-interface thread, in short handlers.
//
// Guards against clients that would hold the window up or eat its memory: a bounded number of
// connections (a stranger or a viewer makes room for a newcomer, the operator never), a
// deadline for each request to arrive whole, a strict reading of each request's head, caps on
// its head and size, a pause for a client that does not read its answers, and pings and caps
// for the live pages.
#include <QByteArray>
#include <QHostAddress>
#include <QList>
#include <QPointer>
#include <QTimer>
#include <memory>
#include <optional>

#include "remote/CampusHost.h"
#include "remote/HttpShim.h"
#include "remote/RemoteApi.h"
#include "remote/RemoteSessions.h"
#include "remote/StopwatchHost.h"

class QWebSocket;
class QHttpServerResponder;
class GuardedTcpServer;

struct RemoteLimits {
    int maxConnections = 64;            // HTTP and WebSocket together
    int firstByteTimeoutMs = 2000;      // a new connection must start its request in this
    int requestTimeoutMs = 10000;       // a request (or the next one on a kept connection) must arrive in this
    qint64 maxRequestBytes = 16 * 1024; // headers and body of one request
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

struct RemoteRoute {
    const char* method;   // "GET" (which answers HEAD too) or "POST"
    const char* path;
    bool viewer = false;  // the viewer key reaches it too
};

// One command request as it was answered, for the program's event log.
struct RemoteCommandRecord {
    QHostAddress sender;
    QByteArray userAgent;   // as sent: not yet text one may trust
    QString path;
    QByteArray body;        // as sent
    int status = 0;         // the answer's status code
    QByteArray code;        // the error's code, empty when it was done
    RemoteAccess access = RemoteAccess::None;   // the key the request showed
};

class RemoteServer : public HttpServerShim {
    Q_OBJECT
public:
    RemoteServer(StopwatchHost& host, QByteArray token, RemoteLimits limits = {}, QObject* parent = nullptr);
    ~RemoteServer() override;

    // Empty on success, else why not (Polish).
    QString start(const QHostAddress& address, quint16 port);
    quint16 port() const;
    int liveClients() const { return static_cast<int>(clients_.size()); }
    const RemoteCounters& counters() const { return counters_; }

    // Every path the server answers; the dispatch and the API's description both follow it.
    static const QList<RemoteRoute>& routes();

    // The session cookies' names. The port is in the name, so that two programs on one PC keep
    // a cookie each, and a cookie another port's server set is not read here.
    QByteArray cookieName() const;
    QByteArray viewerCookieName() const;

    // The browsers' sessions; the service shares one store among the servers it starts, so
    // that a restart for another setting does not end them.
    void setSessions(std::shared_ptr<RemoteSessions> sessions) { sessions_ = std::move(sessions); }
    RemoteSessions& sessions() const { return *sessions_; }

    // The view page's key; without one only the token opens anything.
    void setViewerKey(QByteArray key) { viewerKey_ = std::move(key); }
    // The other buses of the site for the view page; none without it.
    void setCampus(CampusHost* campus) { campus_ = campus; }

signals:
    // After the answer to every POST, done or refused (a refused token included).
    void commandAnswered(const RemoteCommandRecord& record);

protected:
    QTcpSocket* connectionOf(const QHostAddress& peer, quint16 peerPort) const override;
    void serveRequest(const QHttpServerRequest& request, QHttpServerResponder& responder, QTcpSocket* socket) override;
    bool admitUpgrade(const QHttpServerRequest& request, QTcpSocket* socket) override;
    void refuseUpgrade(const QHttpServerRequest& request, QHttpServerResponder& responder, QTcpSocket* socket) override;

private:
    struct Answer;
    RemoteAccess access(const QByteArray& bearer, const QByteArray& cookies, const QByteArray& token,
                        const QByteArray& key) const;
    RemoteAccess access(const QHttpServerRequest& request) const;
    void exchangeLink(const QHttpServerRequest& request, Answer& out);
    std::optional<RemoteApi::Error> upgradeRefusal(const QHttpServerRequest& request) const;
    void serve(const QHttpServerRequest& request, Answer& out);
    void serveFile(const QString& path, Answer& out);
    void acceptWebSockets();
    void stateChanged();
    void broadcast();
    void sendTo(QWebSocket* client, const QString& state);
    void pingClients();
    void drop(QWebSocket* client);

    StopwatchHost& host_;
    QByteArray token_;
    QByteArray viewerKey_;
    CampusHost* campus_ = nullptr;
    std::shared_ptr<RemoteSessions> sessions_ = std::make_shared<RemoteSessions>();
    RemoteLimits limits_;
    RemoteCounters counters_;
    GuardedTcpServer* tcp_ = nullptr;
    QList<QPointer<QWebSocket>> clients_;
    QByteArray lastState_;
    QTimer coalesce_;       // one broadcast for a burst of changes
    QTimer sweep_;          // catches changes that come without a notice (gauge colours)
    QTimer ping_;
    QList<QWebSocket*> awaitingPong_;
};
