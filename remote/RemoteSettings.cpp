#include "remote/RemoteSettings.h"

#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRandomGenerator>
#include <QtDebug>

#include "files/FileRoom.h"

namespace {

// The file holds the operator's token: the owner's alone, whatever the umask, and a file he
// made read-only stays as it is. A file of 64 KiB or more is none of ours.
const FileRoom::Policy Policy{.maxBytes = 64 * 1024 - 1, .ownerOnly = true, .keepReadOnly = true};

} // namespace

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
    std::string text;
    const bool read = FileRoom::read(QFile::encodeName(path).toStdString(), Policy, text).ok();
    if (read) {
        const QJsonObject o = QJsonDocument::fromJson(QByteArray::fromStdString(text)).object();
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
    QJsonObject o;
    o.insert(QStringLiteral("enabled"), enabled);
    o.insert(QStringLiteral("port"), port);
    o.insert(QStringLiteral("token"), QString::fromLatin1(token));
    o.insert(QStringLiteral("viewerKey"), QString::fromLatin1(viewerKey));
    const FileRoom::Outcome saved =
        FileRoom::replace(QFile::encodeName(path).toStdString(), QJsonDocument(o).toJson().toStdString(), Policy);
    return saved.ok() ? QString() : QString::fromStdString(saved.message);
}
