#pragma once
// The remote operation as the operator switches it: its settings file and, while it is on, the
// server. The window owns one; the "Zdalne sterowanie" dialog talks to it.
#include <QHostAddress>
#include <QObject>
#include <QString>
#include <QStringList>
#include <functional>
#include <memory>

#include "remote/RemoteServer.h"
#include "remote/RemoteSettings.h"

class RemoteService : public QObject {
    Q_OBJECT
public:
    RemoteService(StopwatchHost& host, QString settingsPath, QObject* parent = nullptr);
    ~RemoteService() override;

    const RemoteSettings& settings() const { return settings_; }
    // Starts the server if the settings say so. Empty on success, else why not.
    QString startFromSettings();
    // Stores new settings and brings the server in line. Empty on success, else why not; the
    // settings are kept either way.
    QString apply(const RemoteSettings& settings);
    QString renewToken();
    QString renewViewerKey();
    // The other buses of the site for the view page, kept for every server it starts; null: none.
    void setCampus(CampusHost* campus);

    bool running() const { return server_ != nullptr; }
    quint16 port() const { return server_ ? server_->port() : 0; }
    RemoteServer* server() const { return server_.get(); }
    QString lastError() const { return lastError_; }

    // The page's address for each of the PC's network addresses, the token included.
    QStringList pageUrls() const;
    static QString pageUrl(const QHostAddress& address, quint16 port, const QByteArray& token);
    // The same for the view page, with the viewer key; with `campus`, the site's other buses too.
    QStringList viewUrls() const;
    static QString viewUrl(const QHostAddress& address, quint16 port, const QByteArray& key, bool campus = false);
    // The overlay of one clock (1..4) for a stream, with the viewer key.
    static QString overlayUrl(const QHostAddress& address, quint16 port, const QByteArray& key, int clock);

    // The panels' controls and the plan, handed to every server it starts (RemoteServer's
    // setters); null: the API refuses their routes.
    void setClockPanels(ClockPanelHost* panels);
    void setPlanHost(PlanHost* plan);

    // Where the server listens; the program uses every address, tests only the loopback.
    QHostAddress listenAddress = QHostAddress::Any;
    RemoteLimits limits;

signals:
    void stateChanged();
    // Every command request the server answered (RemoteServer::commandAnswered).
    void commandAnswered(const RemoteCommandRecord& record);

private:
    QString restart();
    QStringList addressUrls(const std::function<QString(const QHostAddress&, quint16)>& make) const;

    StopwatchHost& host_;
    ClockPanelHost* panels_ = nullptr;
    PlanHost* plan_ = nullptr;
    QString path_;
    RemoteSettings settings_;
    std::unique_ptr<RemoteServer> server_;
    QString lastError_;
    CampusHost* campus_ = nullptr;
    // Outlives each server, so that only a new token, key or port ends the browsers' sessions.
    std::shared_ptr<RemoteSessions> sessions_ = std::make_shared<RemoteSessions>();
};
