#include "remote/RemoteSettings.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRandomGenerator>
#include <QSaveFile>

QByteArray newAccessToken()
{
    QByteArray raw(32, Qt::Uninitialized);
    QRandomGenerator::system()->fillRange(reinterpret_cast<quint32*>(raw.data()), raw.size() / 4);
    return raw.toBase64(QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals);
}

bool sameToken(const QByteArray& given, const QByteArray& expected)
{
    if (expected.isEmpty())
        return false;
    // Every byte of the expected token is looked at whatever the given one holds.
    unsigned diff = static_cast<unsigned>(given.size() ^ expected.size());
    for (qsizetype i = 0; i < expected.size(); ++i) {
        const char g = i < given.size() ? given[i] : 0;
        diff |= static_cast<unsigned char>(g ^ expected[i]);
    }
    return diff == 0;
}

RemoteSettings RemoteSettings::load(const QString& path)
{
    RemoteSettings s;
    QFile file(path);
    if (file.open(QIODevice::ReadOnly) && file.size() < 64 * 1024) {
        const QJsonObject o = QJsonDocument::fromJson(file.readAll()).object();
        s.enabled = o.value(QStringLiteral("enabled")).toBool(false);
        const int port = o.value(QStringLiteral("port")).toInt(DefaultPort);
        if (port >= 1 && port <= 65535)
            s.port = static_cast<quint16>(port);
        const QByteArray token = o.value(QStringLiteral("token")).toString().toLatin1();
        // A token too short to be safe is replaced, as a missing one is.
        if (token.size() >= 22)
            s.token = token;
    }
    if (s.token.isEmpty())
        s.token = newAccessToken();
    return s;
}

QString RemoteSettings::save(const QString& path) const
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return file.errorString();
    file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    QJsonObject o;
    o.insert(QStringLiteral("enabled"), enabled);
    o.insert(QStringLiteral("port"), port);
    o.insert(QStringLiteral("token"), QString::fromLatin1(token));
    file.write(QJsonDocument(o).toJson());
    if (!file.commit())
        return file.errorString();
    return {};
}
