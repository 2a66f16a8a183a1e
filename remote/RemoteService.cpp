#include "remote/RemoteService.h"

#include <QNetworkInterface>
#include <QUrl>
#include <QUrlQuery>

RemoteService::RemoteService(StopwatchHost& host, QString settingsPath, QObject* parent)
    : QObject(parent), host_(host), path_(std::move(settingsPath)), settings_(RemoteSettings::load(path_))
{
    // A file from before the view page, or one whose keys were made equal by hand, keeps the
    // key just made, so that the view link shown stays good after a restart.
    if (settings_.viewerKeyMade) {
        const QString why = settings_.save(path_);
        if (!why.isEmpty())
            qWarning("zdalne.json: the new viewer key could not be saved: %s", qUtf8Printable(why));
        settings_.viewerKeyMade = false;
    }
}

RemoteService::~RemoteService() = default;

QString RemoteService::startFromSettings()
{
    return restart();
}

QString RemoteService::apply(const RemoteSettings& settings)
{
    // A session stands for the secret it was exchanged for, on the port its cookie names.
    if (settings.token != settings_.token || settings.port != settings_.port)
        sessions_->revoke(RemoteAccess::Operator);
    if (settings.viewerKey != settings_.viewerKey || settings.port != settings_.port)
        sessions_->revoke(RemoteAccess::Viewer);
    settings_ = settings;
    const QString saved = settings_.save(path_);
    if (saved.isEmpty())
        settings_.damage.clear();   // the operator's own settings have replaced the damaged file
    QString why = restart();
    if (!saved.isEmpty())
        why = QStringLiteral("Nie można zapisać ustawień: %1").arg(saved);
    lastError_ = why;
    return why;
}

QString RemoteService::renewToken()
{
    RemoteSettings s = settings_;
    s.token = newAccessToken();
    return apply(s);
}

QString RemoteService::renewViewerKey()
{
    RemoteSettings s = settings_;
    s.viewerKey = newAccessToken();
    return apply(s);
}

void RemoteService::setCampus(CampusHost* campus)
{
    campus_ = campus;
    if (server_)
        server_->setCampus(campus);
}

void RemoteService::setClockPanels(ClockPanelHost* panels)
{
    panels_ = panels;
    if (server_)
        server_->setClockPanels(panels);
}

void RemoteService::setPlanHost(PlanHost* plan)
{
    plan_ = plan;
    if (server_)
        server_->setPlanHost(plan);
}

QString RemoteService::restart()
{
    server_.reset();
    lastError_ = settings_.damage;
    if (settings_.enabled && settings_.damage.isEmpty()) {
        auto server = std::make_unique<RemoteServer>(host_, settings_.token, limits);
        server->setViewerKey(settings_.viewerKey);
        server->setSessions(sessions_);
        server->setCampus(campus_);
        server->setClockPanels(panels_);
        server->setPlanHost(plan_);
        connect(server.get(), &RemoteServer::commandAnswered, this, &RemoteService::commandAnswered);
        lastError_ = server->start(listenAddress, settings_.port);
        if (lastError_.isEmpty())
            server_ = std::move(server);
    }
    emit stateChanged();
    return lastError_;
}

// A page's address with its key in the query: what a QR code carries.
static QString keyedUrl(const QHostAddress& address, quint16 port, const QString& path, const QString& name,
                        const QByteArray& key, const QList<std::pair<QString, QString>>& settings = {})
{
    QUrl url;
    url.setScheme(QStringLiteral("http"));
    url.setHost(address.toString());
    url.setPort(port);
    url.setPath(path);
    QUrlQuery q;
    q.setQueryItems(settings);
    q.addQueryItem(name, QString::fromLatin1(key));
    url.setQuery(q);
    return url.toString(QUrl::FullyEncoded);
}

QString RemoteService::pageUrl(const QHostAddress& address, quint16 port, const QByteArray& token)
{
    return keyedUrl(address, port, QStringLiteral("/"), QStringLiteral("token"), token);
}

QString RemoteService::viewUrl(const QHostAddress& address, quint16 port, const QByteArray& key, bool campus)
{
    return campus ? keyedUrl(address, port, QStringLiteral("/view"), QStringLiteral("key"), key,
                             {{QStringLiteral("campus"), QStringLiteral("1")}})
                  : keyedUrl(address, port, QStringLiteral("/view"), QStringLiteral("key"), key);
}

// The overlay's own "key" is its chroma-key colour; the viewer key goes as "viewer".
QString RemoteService::overlayUrl(const QHostAddress& address, quint16 port, const QByteArray& key, int clock)
{
    return keyedUrl(address, port, QStringLiteral("/overlay"), QStringLiteral("viewer"), key,
                    {{QStringLiteral("clock"), QString::number(clock)}});
}

QStringList RemoteService::pageUrls() const
{
    return addressUrls([this](const QHostAddress& a, quint16 p) { return pageUrl(a, p, settings_.token); });
}

QStringList RemoteService::viewUrls() const
{
    return addressUrls([this](const QHostAddress& a, quint16 p) { return viewUrl(a, p, settings_.viewerKey); });
}

QStringList RemoteService::addressUrls(const std::function<QString(const QHostAddress&, quint16)>& make) const
{
    const quint16 p = running() ? port() : settings_.port;
    QStringList urls;
    QStringList v6;
    for (const QNetworkInterface& nif : QNetworkInterface::allInterfaces()) {
        const auto flags = nif.flags();
        if (!(flags & QNetworkInterface::IsUp) || !(flags & QNetworkInterface::IsRunning)
            || (flags & QNetworkInterface::IsLoopBack))
            continue;
        for (const QNetworkAddressEntry& e : nif.addressEntries()) {
            const QHostAddress a = e.ip();
            if (a.protocol() == QAbstractSocket::IPv4Protocol)
                urls << make(a, p);
            else if (a.protocol() == QAbstractSocket::IPv6Protocol && !a.isLinkLocal())
                v6 << make(a, p);
        }
    }
    urls << v6;
    if (urls.isEmpty())
        urls << make(QHostAddress::LocalHost, p);
    return urls;
}
