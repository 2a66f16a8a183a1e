#pragma once
// The names and payloads the program publishes on the broker, apart from the connection, so
// that each can be read and checked alone.
#include <QByteArray>
#include <QJsonObject>
#include <QList>
#include <QString>

#include <optional>

#include "remote/StopwatchHost.h"

namespace MqttTopics {

// A site's or bus's name as one topic level: Polish letters lose their marks ("Hala Główna" →
// "hala-glowna"), other letters outside ASCII, '/', '+', '#' and spaces become '-', upper case
// becomes lower; an empty result is `fallback`.
QString safeLevel(const QString& name, const QString& fallback);

// "kadrel/SITE/BUS/"
QByteArray base(const QString& site, const QString& bus);

// The bus's own topics under base.
enum class BusTopic { Status, Name, State, Command, Result };
QByteArray busTopic(const QByteArray& base, BusTopic which);
// The same topic of every bus of the site ("kadrel/SITE/+/state"): the other buses the view
// page shows are read from these.
QByteArray siteWide(const QByteArray& base, BusTopic which);
// Home Assistant says "online" here when it starts.
inline constexpr char HomeAssistantStatus[] = "homeassistant/status";

// The retained per-clock topics under base (clock/N/…) and their payloads.
struct Retained {
    QByteArray topic;
    QByteArray payload;
};
QList<Retained> clockTopics(const QByteArray& base, const ClockView& clock, bool connected);
// "12,28 V" → "12.28"; empty when no voltage is shown.
QByteArray voltageValue(const QString& shown);

// Home Assistant's discovery: each entity's config topic and payload for one bus. `active`
// tells which clocks have their entities; those of the others are sent empty (removed).
struct Discovery {
    QString site;
    QString bus;
    QString version;
    std::array<bool, 4> active{};
};
QList<Retained> discoveryConfigs(const QByteArray& base, const Discovery& d);
// The same topics, each with an empty payload (everything removed).
QList<Retained> discoveryRemoval(const QByteArray& base);

} // namespace MqttTopics
