#include "remote/RemoteService.h"

#include <QNetworkInterface>
#include <QUrl>
#include <QUrlQuery>

RemoteService::RemoteService(StopwatchHost& host, QString settingsPath, QObject* parent)
    : QObject(parent), host_(host), path_(std::move(settingsPath)), settings_(RemoteSettings::load(path_))
{
}

RemoteService::~RemoteService() = default;

QString RemoteService::startFromSettings()
{
    return restart();
}

QString RemoteService::apply(const RemoteSettings& settings)
{
    settings_ = settings;
    const QString saved = settings_.save(path_);
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

QString RemoteService::restart()
{
    server_.reset();
    lastError_.clear();
    if (settings_.enabled) {
        auto server = std::make_unique<RemoteServer>(host_, settings_.token, limits);
        connect(server.get(), &RemoteServer::commandAnswered, this, &RemoteService::commandAnswered);
        lastError_ = server->start(listenAddress, settings_.port);
        if (lastError_.isEmpty())
            server_ = std::move(server);
    }
    emit stateChanged();
    return lastError_;
}

QString RemoteService::pageUrl(const QHostAddress& address, quint16 port, const QByteArray& token)
{
    QUrl url;
    url.setScheme(QStringLiteral("http"));
    url.setHost(address.toString());
    url.setPort(port);
    url.setPath(QStringLiteral("/"));
    QUrlQuery q;
    q.addQueryItem(QStringLiteral("token"), QString::fromLatin1(token));
    url.setQuery(q);
    return url.toString(QUrl::FullyEncoded);
}

QStringList RemoteService::pageUrls() const
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
                urls << pageUrl(a, p, settings_.token);
            else if (a.protocol() == QAbstractSocket::IPv6Protocol && !a.isLinkLocal())
                v6 << pageUrl(a, p, settings_.token);
        }
    }
    urls << v6;
    if (urls.isEmpty())
        urls << pageUrl(QHostAddress::LocalHost, p, settings_.token);
    return urls;
}
