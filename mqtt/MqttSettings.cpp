#include "mqtt/MqttSettings.h"

#include "files/JsonFile.h"

namespace {

QString damaged(const QString& path, const QString& why)
{
    return QStringLiteral("Plik ustawień MQTT %1 jest uszkodzony (%2), więc pozostaje bez zmian, a połączenie "
                          "z brokerem jest wyłączone do czasu poprawienia pliku albo zapisania ustawień.")
        .arg(path, why);
}

QString wrongType(const QJsonObject& o)
{
    using JsonFile::Kind;
    const QString why = JsonFile::wrongKind(o, {{"enabled", Kind::Bool}, {"tls", Kind::Bool}, {"discovery", Kind::Bool},
                                               {"host", Kind::Text}, {"caFile", Kind::Text}, {"user", Kind::Text},
                                               {"password", Kind::Text}, {"site", Kind::Text}, {"bus", Kind::Text}});
    if (!why.isEmpty())
        return why;
    const QJsonValue port = o.value(QLatin1String("port"));
    if (!port.isUndefined() && (!port.isDouble() || port.toInt(-1) < 1 || port.toInt(-1) > 65535))
        return QStringLiteral("„port” nie jest numerem portu od 1 do 65535");
    return {};
}

} // namespace

MqttSettings MqttSettings::load(const QString& path)
{
    MqttSettings s;
    const JsonFile::Read file = JsonFile::read(path);
    const QJsonObject& o = file.object;
    if (file.missing)
        return s;
    if (const QString why = file.damage.isEmpty() ? wrongType(o) : file.damage; !why.isEmpty()) {
        s.damage = damaged(path, why);
        return s;
    }
    const auto text = [&o](const char* key, const QString& fallback) {
        return o.value(QLatin1String(key)).toString(fallback);
    };
    s.enabled = o.value(QLatin1String("enabled")).toBool(false);
    s.host = text("host", s.host);
    s.port = static_cast<quint16>(o.value(QLatin1String("port")).toInt(DefaultPort));
    s.tls = o.value(QLatin1String("tls")).toBool(false);
    s.caFile = text("caFile", {});
    s.user = text("user", {});
    s.password = text("password", {});
    s.site = text("site", s.site);
    s.bus = text("bus", s.bus);
    s.discovery = o.value(QLatin1String("discovery")).toBool(true);
    return s;
}

QString MqttSettings::save(const QString& path) const
{
    return JsonFile::write(path, {
                                     {QStringLiteral("enabled"), enabled}, {QStringLiteral("host"), host},
                                     {QStringLiteral("port"), port},       {QStringLiteral("tls"), tls},
                                     {QStringLiteral("caFile"), caFile},   {QStringLiteral("user"), user},
                                     {QStringLiteral("password"), password}, {QStringLiteral("site"), site},
                                     {QStringLiteral("bus"), bus},         {QStringLiteral("discovery"), discovery},
                                 });
}
