#include "remote/RemoteSettings.h"

#include <QRandomGenerator>
#include <QtDebug>

#include "files/JsonFile.h"

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

namespace {

QString damaged(const QString& path, const QString& why)
{
    return QStringLiteral("Plik ustawień zdalnego sterowania %1 jest uszkodzony (%2), więc pozostaje bez zmian, "
                          "a serwer zdalny jest wyłączony do czasu poprawienia pliku albo zapisania ustawień "
                          "w oknie „Zdalne sterowanie”.")
        .arg(path, why);
}

QString wrongType(const QJsonObject& o)
{
    using JsonFile::Kind;
    return JsonFile::wrongKind(o, {{"enabled", Kind::Bool}, {"port", Kind::Number}, {"token", Kind::Text},
                                   {"viewerKey", Kind::Text}});
}

} // namespace

RemoteSettings RemoteSettings::load(const QString& path)
{
    RemoteSettings s;
    const JsonFile::Read file = JsonFile::read(path);
    const QJsonObject& o = file.object;
    bool read = !file.missing;
    if (const QString why = read && file.damage.isEmpty() ? wrongType(o) : file.damage; !why.isEmpty()) {
        s.damage = damaged(path, why);
        read = false;   // nothing of it is taken, and nothing is saved over it
    }
    if (read) {
        s.enabled = o.value(QStringLiteral("enabled")).toBool(false);
        const int port = o.value(QStringLiteral("port")).toInt(DefaultPort);
        if (port >= 1 && port <= 65535)
            s.port = static_cast<quint16>(port);
        const QByteArray token = o.value(QStringLiteral("token")).toString().toLatin1();
        // A token too short to be safe is replaced, as a missing one is.
        if (token.size() >= 22)
            s.token = token;
        const QByteArray key = o.value(QStringLiteral("viewerKey")).toString().toLatin1();
        if (key.size() >= 22)
            s.viewerKey = key;
    }
    if (s.token.isEmpty())
        s.token = newAccessToken();
    // A viewer key equal to the token would let every viewer send commands.
    if (!s.viewerKey.isEmpty() && sameToken(s.viewerKey, s.token)) {
        qWarning("zdalne.json: the viewer key was the operator's token; a new viewer key is made");
        s.viewerKey.clear();
    }
    if (s.viewerKey.isEmpty()) {
        s.viewerKey = newAccessToken();
        s.viewerKeyMade = read;
    }
    return s;
}

QString RemoteSettings::save(const QString& path) const
{
    return JsonFile::write(path, {
                                     {QStringLiteral("enabled"), enabled},
                                     {QStringLiteral("port"), port},
                                     {QStringLiteral("token"), QString::fromLatin1(token)},
                                     {QStringLiteral("viewerKey"), QString::fromLatin1(viewerKey)},
                                 });
}
