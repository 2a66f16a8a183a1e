#include "remote/RemoteSettings.h"

#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonParseError>
#include <QJsonValue>
#include <QRandomGenerator>
#include <QtDebug>
#include <cerrno>

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

namespace {

QString damaged(const QString& path, const QString& why)
{
    return QStringLiteral("Plik ustawień zdalnego sterowania %1 jest uszkodzony (%2), więc pozostaje bez zmian, "
                          "a serwer zdalny jest wyłączony do czasu poprawienia pliku albo zapisania ustawień "
                          "w oknie „Zdalne sterowanie”.")
        .arg(path, why);
}

// Empty when every known key is absent or of its type; else the first one that is not.
QString wrongType(const QJsonObject& o)
{
    const auto is = [&o](const char* key, bool (QJsonValue::*test)() const) {
        const QJsonValue v = o.value(QLatin1String(key));
        return v.isUndefined() || (v.*test)();
    };
    if (!is("enabled", &QJsonValue::isBool))
        return QStringLiteral("„enabled” nie jest wartością true ani false");
    if (!is("port", &QJsonValue::isDouble))
        return QStringLiteral("„port” nie jest liczbą");
    if (!is("token", &QJsonValue::isString))
        return QStringLiteral("„token” nie jest tekstem");
    if (!is("viewerKey", &QJsonValue::isString))
        return QStringLiteral("„viewerKey” nie jest tekstem");
    return {};
}

} // namespace

RemoteSettings RemoteSettings::load(const QString& path)
{
    RemoteSettings s;
    std::string text;
    const FileRoom::Outcome outcome = FileRoom::read(QFile::encodeName(path).toStdString(), Policy, text);
    bool read = outcome.ok();
    QJsonObject o;
    if (read) {
        QJsonParseError error{};
        const QJsonDocument doc = QJsonDocument::fromJson(QByteArray::fromStdString(text), &error);
        if (error.error != QJsonParseError::NoError)
            s.damage = damaged(path, QStringLiteral("błąd składni JSON w bajcie %1: %2")
                                         .arg(error.offset).arg(error.errorString()));
        else if (!doc.isObject())
            s.damage = damaged(path, QStringLiteral("to nie jest obiekt JSON"));
        else if (const QString why = wrongType(doc.object()); !why.isEmpty())
            s.damage = damaged(path, why);
        else
            o = doc.object();
    } else if (outcome.error != ENOENT) {
        s.damage = damaged(path, QString::fromStdString(outcome.reason));
    }
    if (!s.damage.isEmpty())
        read = false;   // nothing of it is taken, and nothing is saved over it
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
    QJsonObject o;
    o.insert(QStringLiteral("enabled"), enabled);
    o.insert(QStringLiteral("port"), port);
    o.insert(QStringLiteral("token"), QString::fromLatin1(token));
    o.insert(QStringLiteral("viewerKey"), QString::fromLatin1(viewerKey));
    const FileRoom::Outcome saved =
        FileRoom::replace(QFile::encodeName(path).toStdString(), QJsonDocument(o).toJson().toStdString(), Policy);
    return saved.ok() ? QString() : QString::fromStdString(saved.message);
}
