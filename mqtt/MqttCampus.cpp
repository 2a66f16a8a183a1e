#include "mqtt/MqttCampus.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <algorithm>

namespace {

// What MqttTopics::safeLevel makes, and nothing else.
bool plainLevel(const QByteArray& level)
{
    if (level.isEmpty() || level.size() > 64 || level.startsWith('-') || level.endsWith('-'))
        return false;
    return std::all_of(level.cbegin(), level.cend(), [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' || c == '-';
    });
}

// Printable text of at most `chars` characters.
QString cleanText(const QString& text, int chars)
{
    QString out;
    for (const QChar c : text.left(chars))
        out += c.isPrint() ? c : QChar(QLatin1Char(' '));
    return out.trimmed();
}

bool isTime(const QString& text)
{
    static const QRegularExpression time(QStringLiteral("^-?[0-9]{1,2}:[0-9]{2}$"));
    return time.match(text).hasMatch();
}

} // namespace

MqttCampus::MqttCampus(const QByteArray& base)
{
    const qsizetype cut = base.lastIndexOf('/', base.size() - 2) + 1;
    site_ = base.left(cut);
    own_ = base.mid(cut).chopped(1);
}

bool MqttCampus::take(const QByteArray& topic, const QByteArray& payload)
{
    if (!topic.startsWith(site_))
        return false;
    const QList<QByteArray> levels = topic.mid(site_.size()).split('/');
    if (levels.size() != 2 || !plainLevel(levels[0]) || levels[0] == own_)
        return false;
    const QByteArray& what = levels[1];
    if (what != "status" && what != "name" && what != "state")
        return false;
    auto it = buses_.find(levels[0]);
    if (it == buses_.end()) {
        // A removal of what was never kept takes no place.
        if (payload.isEmpty())
            return false;
        // Full: the bus heard of longest ago makes room, so that what a stranger left on the
        // broker cannot keep the site's live buses out.
        if (static_cast<int>(buses_.size()) >= MaxBuses)
            buses_.erase(std::min_element(buses_.begin(), buses_.end(), [](const auto& a, const auto& b) {
                return a.second.heard < b.second.heard;
            }));
        it = buses_.emplace(levels[0], Heard{}).first;
    }
    Heard& bus = it->second;
    bus.heard = ++heard_;
    if (what == "status") {
        bus.offline = payload == "offline";
    } else if (what == "name") {
        bus.name = payload.size() <= MaxNameBytes ? cleanText(QString::fromUtf8(payload), 64) : QString();
    } else {
        bus.hasState = false;
        bus.connected = false;
        bus.clocks.clear();
        const QJsonDocument doc =
            payload.size() <= MaxDocumentBytes ? QJsonDocument::fromJson(payload) : QJsonDocument();
        const QJsonValue clocks = doc.object().value(QStringLiteral("clocks"));
        if (clocks.isArray() && clocks.toArray().size() <= 4) {
            bus.hasState = true;
            bus.connected = doc.object().value(QStringLiteral("connection")).toObject().value(QStringLiteral("connected")).toBool();
            for (const QJsonValue& v : clocks.toArray()) {
                const QJsonObject c = v.toObject();
                const int number = c.value(QStringLiteral("number")).toInt();
                if (number < 1 || number > 4 || !c.value(QStringLiteral("active")).toBool())
                    continue;
                const QString time = c.value(QStringLiteral("time")).toString();
                bus.clocks.append({number, cleanText(c.value(QStringLiteral("name")).toString(), 64),
                                   isTime(time) ? time : QString(), c.value(QStringLiteral("negative")).toBool(),
                                   c.value(QStringLiteral("highlight")).toBool(),
                                   c.value(QStringLiteral("displayOff")).toBool()});
            }
        }
    }
    if (!bus.hasState && bus.name.isEmpty() && !bus.offline && payload.isEmpty())
        buses_.erase(it);   // everything it said was taken back
    return true;
}

QList<CampusBus> MqttCampus::buses() const
{
    QList<CampusBus> out;
    for (const auto& [level, heard] : buses_)
        out.append({QString::fromLatin1(level), heard.name, !heard.offline, heard.connected, heard.clocks});
    return out;
}
