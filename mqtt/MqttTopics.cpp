#include "mqtt/MqttTopics.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <array>

namespace MqttTopics {

QString safeLevel(const QString& name, const QString& fallback)
{
    QString out;
    for (const QChar c : name.normalized(QString::NormalizationForm_D)) {
        if (c.category() == QChar::Mark_NonSpacing)
            continue;   // the mark of "ó", "ą", "ę", …
        QChar a = c.toLower();
        if (a == QChar(0x0142))
            a = QLatin1Char('l');   // "ł" has no decomposition
        const bool plain = (a >= QLatin1Char('a') && a <= QLatin1Char('z')) || (a >= QLatin1Char('0') && a <= QLatin1Char('9'))
                           || a == QLatin1Char('_');
        if (plain)
            out += a;
        else if (!out.endsWith(QLatin1Char('-')))
            out += QLatin1Char('-');
    }
    while (out.startsWith(QLatin1Char('-')))
        out.remove(0, 1);
    while (out.endsWith(QLatin1Char('-')))
        out.chop(1);
    return out.isEmpty() ? fallback : out.left(64);
}

QByteArray base(const QString& site, const QString& bus)
{
    return "kadrel/" + safeLevel(site, QStringLiteral("kadrel")).toUtf8() + '/'
           + safeLevel(bus, QStringLiteral("bus")).toUtf8() + '/';
}

namespace {

const char* levelOf(BusTopic which)
{
    switch (which) {
    case BusTopic::Status: return "status";
    case BusTopic::Name: return "name";
    case BusTopic::State: return "state";
    case BusTopic::Command: return "cmd";
    case BusTopic::Result: return "cmd/result";
    }
    return "";
}

} // namespace

QByteArray busTopic(const QByteArray& base, BusTopic which)
{
    return base + levelOf(which);
}

QByteArray siteWide(const QByteArray& base, BusTopic which)
{
    // "kadrel/SITE/BUS/" without its bus level
    const QByteArray site = base.left(base.lastIndexOf('/', base.size() - 2) + 1);
    return site + "+/" + levelOf(which);
}

QByteArray voltageValue(const QString& shown)
{
    QString v = shown;
    v.remove(QLatin1Char('V')).replace(QLatin1Char(','), QLatin1Char('.'));
    v = v.trimmed();
    bool ok = false;
    v.toDouble(&ok);
    return ok ? v.toUtf8() : QByteArray();
}

QList<Retained> clockTopics(const QByteArray& base, const ClockView& c, bool connected)
{
    const QByteArray at = base + "clock/" + QByteArray::number(c.number) + '/';
    const auto flag = [](bool b) { return b ? QByteArray("true") : QByteArray("false"); };
    // A clock answers while the bus is open, it is polled, and it has not gone silent.
    const bool answers = connected && c.active && !c.silent;
    return {
        {at + "time", c.time.toUtf8()},
        {at + "voltage", voltageValue(c.voltage)},
        {at + "link", QByteArray::number(c.link)},
        {at + "mode", c.rtc ? QByteArray("RTC") : QByteArray("Stoper")},
        {at + "brightness", QByteArray::number(c.brightness)},
        {at + "display", c.displayOff ? QByteArray("OFF") : QByteArray("ON")},
        {at + "active", flag(c.active)},
        {at + "silent", flag(c.silent)},
        {at + "availability", answers ? QByteArray("online") : QByteArray("offline")},
    };
}

namespace {

QString nodeId(const QByteArray& base)
{
    // "kadrel/SITE/BUS/" → "kadrel_SITE_BUS"
    QString id = QString::fromUtf8(base);
    id.chop(1);
    return id.replace(QLatin1Char('/'), QLatin1Char('_'));
}

struct Entity {
    QByteArray component;
    QString object;
    QJsonObject config;
    int clock = 0;              // 0: the bus's own entity
};

QList<Entity> entities(const QByteArray& base)
{
    const QString b = QString::fromUtf8(base);
    const QString cmd = b + QStringLiteral("cmd");
    QList<Entity> out;
    const auto button = [&](const char* object, const char* name, const char* command) {
        out.append({"button", QLatin1String(object),
                    QJsonObject{{QStringLiteral("name"), QLatin1String(name)},
                                {QStringLiteral("command_topic"), cmd},
                                {QStringLiteral("payload_press"),
                                 QStringLiteral("{\"command\":\"%1\"}").arg(QLatin1String(command))}},
                    0});
    };
    button("start", "START", "start");
    button("stop", "STOP", "stop");
    button("zero", "ZERUJ", "zero");
    QJsonArray presets;
    for (const char* m : {"2", "3", "4", "6", "8", "10", "15", "20", "30", "60"})
        presets.append(QLatin1String(m));
    out.append({"select", QStringLiteral("preset"),
                QJsonObject{{QStringLiteral("name"), QStringLiteral("Czas gotowy")},
                            {QStringLiteral("command_topic"), cmd},
                            {QStringLiteral("command_template"),
                             QStringLiteral("{\"command\":\"preset\",\"minutes\":\"{{ value }}\"}")},
                            {QStringLiteral("options"), presets}},
                0});
    for (int n = 1; n <= 4; ++n) {
        const QString at = b + QStringLiteral("clock/%1/").arg(n);
        const auto sensor = [&](const char* what, const QString& name, QJsonObject extra) {
            extra.insert(QStringLiteral("name"), name);
            extra.insert(QStringLiteral("state_topic"), at + QLatin1String(what));
            out.append({"sensor", QStringLiteral("clock%1_%2").arg(n).arg(QLatin1String(what)), extra, n});
        };
        sensor("time", QStringLiteral("Zegar %1 czas").arg(n), {});
        sensor("voltage", QStringLiteral("Zegar %1 napięcie").arg(n),
               {{QStringLiteral("unit_of_measurement"), QStringLiteral("V")},
                {QStringLiteral("device_class"), QStringLiteral("voltage")},
                {QStringLiteral("state_class"), QStringLiteral("measurement")}});
        sensor("link", QStringLiteral("Zegar %1 jakość łącza").arg(n),
               {{QStringLiteral("unit_of_measurement"), QStringLiteral("%")},
                {QStringLiteral("state_class"), QStringLiteral("measurement")}});
        const QString command = QStringLiteral("{\"command\":\"%1\",\"clock\":%2,%3}");
        out.append({"select", QStringLiteral("clock%1_mode").arg(n),
                    QJsonObject{{QStringLiteral("name"), QStringLiteral("Zegar %1 tryb").arg(n)},
                                {QStringLiteral("state_topic"), at + QStringLiteral("mode")},
                                {QStringLiteral("command_topic"), cmd},
                                {QStringLiteral("command_template"),
                                 command.arg(QStringLiteral("mode")).arg(n).arg(QStringLiteral("\"mode\":\"{{ value }}\""))},
                                {QStringLiteral("options"), QJsonArray{QStringLiteral("RTC"), QStringLiteral("Stoper")}}},
                    n});
        out.append({"number", QStringLiteral("clock%1_brightness").arg(n),
                    QJsonObject{{QStringLiteral("name"), QStringLiteral("Zegar %1 jasność").arg(n)},
                                {QStringLiteral("state_topic"), at + QStringLiteral("brightness")},
                                {QStringLiteral("command_topic"), cmd},
                                {QStringLiteral("command_template"),
                                 command.arg(QStringLiteral("brightness")).arg(n).arg(QStringLiteral("\"value\":{{ value | int }}"))},
                                {QStringLiteral("min"), 0}, {QStringLiteral("max"), 3}, {QStringLiteral("step"), 1},
                                {QStringLiteral("mode"), QStringLiteral("slider")}},
                    n});
        out.append({"switch", QStringLiteral("clock%1_display").arg(n),
                    QJsonObject{{QStringLiteral("name"), QStringLiteral("Zegar %1 wyświetlacz").arg(n)},
                                {QStringLiteral("state_topic"), at + QStringLiteral("display")},
                                {QStringLiteral("command_topic"), cmd},
                                {QStringLiteral("payload_on"), command.arg(QStringLiteral("display")).arg(n).arg(QStringLiteral("\"on\":true"))},
                                {QStringLiteral("payload_off"), command.arg(QStringLiteral("display")).arg(n).arg(QStringLiteral("\"on\":false"))},
                                {QStringLiteral("state_on"), QStringLiteral("ON")},
                                {QStringLiteral("state_off"), QStringLiteral("OFF")}},
                    n});
    }
    return out;
}

QByteArray configTopic(const QByteArray& base, const Entity& e)
{
    return "homeassistant/" + e.component + '/' + nodeId(base).toUtf8() + '/' + e.object.toUtf8() + "/config";
}

} // namespace

QList<Retained> discoveryConfigs(const QByteArray& base, const Discovery& d)
{
    const QString node = nodeId(base);
    const QString b = QString::fromUtf8(base);
    const QJsonObject device{
        {QStringLiteral("identifiers"), QJsonArray{node}},
        {QStringLiteral("name"), QStringLiteral("Kadrel %1 %2").arg(d.site, d.bus)},
        {QStringLiteral("model"), QStringLiteral("Kadrel")},
        {QStringLiteral("sw_version"), d.version},
        {QStringLiteral("suggested_area"), d.site},
    };
    QList<Retained> out;
    for (Entity& e : entities(base)) {
        if (e.clock > 0 && !d.active[static_cast<size_t>(e.clock - 1)]) {
            out.append({configTopic(base, e), {}});
            continue;
        }
        QJsonArray availability{QJsonObject{{QStringLiteral("topic"), b + QStringLiteral("status")}}};
        if (e.clock > 0) {
            availability.append(QJsonObject{{QStringLiteral("topic"), b + QStringLiteral("clock/%1/availability").arg(e.clock)}});
            e.config.insert(QStringLiteral("availability_mode"), QStringLiteral("all"));
        }
        e.config.insert(QStringLiteral("availability"), availability);
        e.config.insert(QStringLiteral("unique_id"), node + QLatin1Char('_') + e.object);
        e.config.insert(QStringLiteral("device"), device);
        out.append({configTopic(base, e), QJsonDocument(e.config).toJson(QJsonDocument::Compact)});
    }
    return out;
}

QList<Retained> discoveryRemoval(const QByteArray& base)
{
    QList<Retained> out;
    for (const Entity& e : entities(base))
        out.append({configTopic(base, e), {}});
    return out;
}

} // namespace MqttTopics
