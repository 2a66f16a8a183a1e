#include "mqtt/MqttSettings.h"

#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonParseError>
#include <cerrno>

#include "files/FileRoom.h"

namespace {

const FileRoom::Policy Policy{.maxBytes = 64 * 1024 - 1, .ownerOnly = true, .keepReadOnly = true};

QString damaged(const QString& path, const QString& why)
{
    return QStringLiteral("Plik ustawień MQTT %1 jest uszkodzony (%2), więc pozostaje bez zmian, a połączenie "
                          "z brokerem jest wyłączone do czasu poprawienia pliku albo zapisania ustawień.")
        .arg(path, why);
}

QString wrongType(const QJsonObject& o)
{
    static const char* const bools[] = {"enabled", "tls", "discovery"};
    static const char* const texts[] = {"host", "caFile", "user", "password", "site", "bus"};
    for (const char* key : bools)
        if (const QJsonValue v = o.value(QLatin1String(key)); !v.isUndefined() && !v.isBool())
            return QStringLiteral("„%1” nie jest wartością true ani false").arg(QLatin1String(key));
    for (const char* key : texts)
        if (const QJsonValue v = o.value(QLatin1String(key)); !v.isUndefined() && !v.isString())
            return QStringLiteral("„%1” nie jest tekstem").arg(QLatin1String(key));
    const QJsonValue port = o.value(QLatin1String("port"));
    if (!port.isUndefined() && (!port.isDouble() || port.toInt(-1) < 1 || port.toInt(-1) > 65535))
        return QStringLiteral("„port” nie jest numerem portu od 1 do 65535");
    return {};
}

} // namespace

MqttSettings MqttSettings::load(const QString& path)
{
    MqttSettings s;
    std::string text;
    const FileRoom::Outcome outcome = FileRoom::read(QFile::encodeName(path).toStdString(), Policy, text);
    if (!outcome.ok()) {
        if (outcome.error != ENOENT)
            s.damage = damaged(path, QString::fromStdString(outcome.reason));
        return s;
    }
    QJsonParseError error{};
    const QJsonDocument doc = QJsonDocument::fromJson(QByteArray::fromStdString(text), &error);
    if (error.error != QJsonParseError::NoError) {
        s.damage = damaged(path, QStringLiteral("błąd składni JSON w bajcie %1: %2").arg(error.offset).arg(error.errorString()));
        return s;
    }
    if (!doc.isObject()) {
        s.damage = damaged(path, QStringLiteral("to nie jest obiekt JSON"));
        return s;
    }
    const QJsonObject o = doc.object();
    if (const QString why = wrongType(o); !why.isEmpty()) {
        s.damage = damaged(path, why);
        return s;
    }
    const auto text_ = [&o](const char* key, const QString& fallback) {
        return o.value(QLatin1String(key)).toString(fallback);
    };
    s.enabled = o.value(QLatin1String("enabled")).toBool(false);
    s.host = text_("host", s.host);
    s.port = static_cast<quint16>(o.value(QLatin1String("port")).toInt(DefaultPort));
    s.tls = o.value(QLatin1String("tls")).toBool(false);
    s.caFile = text_("caFile", {});
    s.user = text_("user", {});
    s.password = text_("password", {});
    s.site = text_("site", s.site);
    s.bus = text_("bus", s.bus);
    s.discovery = o.value(QLatin1String("discovery")).toBool(true);
    return s;
}

QString MqttSettings::save(const QString& path) const
{
    const QJsonObject o{
        {QStringLiteral("enabled"), enabled}, {QStringLiteral("host"), host},
        {QStringLiteral("port"), port},       {QStringLiteral("tls"), tls},
        {QStringLiteral("caFile"), caFile},   {QStringLiteral("user"), user},
        {QStringLiteral("password"), password}, {QStringLiteral("site"), site},
        {QStringLiteral("bus"), bus},         {QStringLiteral("discovery"), discovery},
    };
    const FileRoom::Outcome saved =
        FileRoom::replace(QFile::encodeName(path).toStdString(), QJsonDocument(o).toJson().toStdString(), Policy);
    return saved.ok() ? QString() : QString::fromStdString(saved.message);
}
