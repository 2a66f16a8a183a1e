#pragma once
// The remote page and API on Qt's HTTP server: every request needs the access token (link,
// bearer header, or the session cookie its link was exchanged for); commands go to the window
// through StopwatchHost; the state goes out live over WebSocket. Everything runs on the
// user-interface thread, in short handlers.
//
// The guard in front of it (RemoteGuard.h) keeps clients from holding the window up or eating
// its memory: a bounded number of connections (a stranger or a viewer makes room for a
// newcomer, the operator never), deadlines, one strict reading of each request's head, caps,
// and a pause for a client that does not read its answers; the server itself pings and caps
// the live pages.
#include <QByteArray>
#include <QHostAddress>
#include <QList>
#include <QPointer>
#include <QTimer>
#include <memory>
#include <optional>

#include "remote/CampusHost.h"
#include "remote/ClockPanelHost.h"
#include "remote/HttpShim.h"
#include "remote/PlanHost.h"
#include "remote/RemoteApi.h"
#include "remote/RemoteGuard.h"
#include "remote/RemoteSessions.h"
#include "remote/StopwatchHost.h"

class QWebSocket;
class QHttpServerResponder;

// One command request (POST or PUT) as it was answered, for the program's event log.
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
    struct Answer;
    struct Exchange;

public:
    // One route: a method and path the server answers, the least key that reaches it, and the
    // handler that answers it.
    struct Route {
        const char* method;   // "GET" (which answers HEAD too), "POST", "PUT", ...
        const char* path;     // as the API's description writes it; each "{name}" segment is
                              // handed to the handler (Exchange::captured)
        RemoteAccess access;  // Viewer: the viewer key reaches it too; Operator: the token alone
        void (RemoteServer::*handler)(Exchange& exchange);
    };

    RemoteServer(StopwatchHost& host, QByteArray token, RemoteLimits limits = {}, QObject* parent = nullptr);
    ~RemoteServer() override;

    // Empty on success, else why not (Polish).
    QString start(const QHostAddress& address, quint16 port);
    quint16 port() const;
    int liveClients() const { return static_cast<int>(clients_.size()); }
    const RemoteCounters& counters() const { return counters_; }

    // Every route the server answers; Qt's router dispatches on it and the API's description
    // is checked against it.
    static const QList<Route>& routes();

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

    // The clock panels' commands and the plan; without them their routes answer 503.
    void setClockPanels(ClockPanelHost* panels) { panels_ = panels; }
    void setPlanHost(PlanHost* plan);

signals:
    // After the answer to every POST and PUT, done or refused (a refused token included).
    void commandAnswered(const RemoteCommandRecord& record);

protected:
    QTcpSocket* connectionOf(const QHostAddress& peer, quint16 peerPort) const override;
    void serveRequest(const QHttpServerRequest& request, QHttpServerResponder& responder, QTcpSocket* socket) override;
    bool admitUpgrade(const QHttpServerRequest& request, QTcpSocket* socket) override;
    void refuseUpgrade(const QHttpServerRequest& request, QHttpServerResponder& responder, QTcpSocket* socket) override;

private:
    // The handlers of routes().
    void operatorPage(Exchange& ex);
    void viewPage(Exchange& ex);
    void overlayPage(Exchange& ex);
    void file(Exchange& ex);
    void state(Exchange& ex);
    void campus(Exchange& ex);
    void live(Exchange& ex);
    void command(Exchange& ex);
    void clockCommand(Exchange& ex);
    void plan(Exchange& ex);
    void replacePlan(Exchange& ex);
    void nextFirings(Exchange& ex);

    void addRoutes();
    void page(Exchange& ex, const QString& resource);
    RemoteAccess access(const QByteArray& bearer, const QByteArray& cookies, const QByteArray& token,
                        const QByteArray& key) const;
    RemoteAccess access(const QHttpServerRequest& request) const;
    void exchangeLink(const QHttpServerRequest& request, Answer& out);
    std::optional<RemoteApi::Error> upgradeRefusal(const QHttpServerRequest& request) const;
    void serve(const QHttpServerRequest& request, Answer& out, RemoteAccess granted);
    void serveFile(const QString& path, Answer& out);
    QByteArray currentState() const;
    // Whether a head may bring a body up to maxPlanRequestBytes: the operator's PUT of the plan.
    bool mayCarryPlan(const HeadReading& head) const;
    void acceptWebSockets();
    void stateChanged();
    void broadcast();
    void sendTo(QWebSocket* client, const QString& state);
    void pingClients();
    void drop(QWebSocket* client);

    StopwatchHost& host_;
    ClockPanelHost* panels_ = nullptr;
    PlanHost* plan_ = nullptr;
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
    HttpRouterShim<Exchange> router_{this};
};

using RemoteRoute = RemoteServer::Route;
