#include "mqtt/MqttBridge.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <utility>

#include "mqtt/MqttCampus.h"
#include "mqtt/MqttTopics.h"
#include "remote/RemoteApi.h"

namespace {

using MqttTopics::BusTopic;
using MqttTopics::busTopic;

constexpr int ThrottleMs = 100;

QByteArray refusal(int status, const char* code, const QString& message)
{
    return RemoteApi::errorJson(RemoteApi::Error{status, code, message});
}

} // namespace

MqttBridge::MqttBridge(StopwatchHost& host, ClockPanelHost* panels, QString settingsPath, QString version,
                       QObject* parent)
    : QObject(parent), host_(host), panels_(panels), path_(std::move(settingsPath)), version_(std::move(version)),
      settings_(MqttSettings::load(path_))
{
    throttle_.setSingleShot(true);
    // A coarse timer would be lined up with the tick's and fire just before the next reply, so
    // that every change waited most of a tick.
    throttle_.setTimerType(Qt::PreciseTimer);
    // Only a state that went out starts another wait: a look that found nothing new must not
    // hold back the next tick's change.
    const auto publish = [this] {
        if (publishNow())
            throttle_.start(ThrottleMs);
    };
    connect(&throttle_, &QTimer::timeout, this, [this, publish] {
        if (std::exchange(dirty_, false))
            publish();
    });
    // One reply raises two notices (the panel's field, the reply itself): one look for both.
    soon_.setSingleShot(true);
    soon_.setInterval(0);
    connect(&soon_, &QTimer::timeout, this, publish);
    // A clock falling silent or a gauge falling with unanswered frames raises no signal of the
    // window's; a look twice a second finds them (and publishes only what changed).
    sweep_.setInterval(500);
    connect(&sweep_, &QTimer::timeout, this, &MqttBridge::noteChange);
    campusWatch_.setSingleShot(true);
    campusWatch_.setInterval(60000);
    connect(&campusWatch_, &QTimer::timeout, this, [this] { hearCampus(false); });
}

MqttBridge::~MqttBridge()
{
    if (client_)
        client_->stop(busTopic(base_, BusTopic::Status), "offline");
}

void MqttBridge::startFromSettings()
{
    restart(settings_);
}

QString MqttBridge::apply(const MqttSettings& settings)
{
    MqttSettings next = settings;
    const QString why = next.save(path_);
    if (why.isEmpty())
        next.damage.clear();
    restart(next);
    return why.isEmpty() ? QString() : QStringLiteral("Nie można zapisać ustawień: %1").arg(why);
}

QString MqttBridge::lastError() const
{
    if (!settings_.damage.isEmpty())
        return settings_.damage;
    return client_ ? client_->lastError() : QString();
}

// What the link that goes says last: "offline"; Home Assistant's entities removed when the link
// is switched off or moved, or its discovery is; and, moved, every retained topic of the old
// place emptied, so that no view page of the site shows a bus that is no more.
QList<std::pair<QByteArray, QByteArray>> MqttBridge::farewell(const MqttSettings& next) const
{
    const bool on = next.enabled && next.damage.isEmpty();
    const bool moved = on && MqttTopics::base(next.site, next.bus) != base_;
    QList<std::pair<QByteArray, QByteArray>> last;
    if (settings_.discovery && (!on || moved || !next.discovery))
        for (const MqttTopics::Retained& r : MqttTopics::discoveryRemoval(base_))
            last.append({r.topic, {}});
    if (!moved)
        return last << std::pair{busTopic(base_, BusTopic::Status), QByteArrayLiteral("offline")};
    for (auto it = sent_.cbegin(); it != sent_.cend(); ++it)
        last.append({it.key(), {}});
    return last << std::pair{busTopic(base_, BusTopic::Status), QByteArray()};
}

void MqttBridge::restart(const MqttSettings& next)
{
    if (client_) {
        // The old link goes by itself once the broker has taken its last words.
        MqttClient* leaving = client_.release();
        leaving->disconnect(this);
        leaving->setParent(this);
        connect(leaving, &MqttClient::left, leaving, &QObject::deleteLater);
        leaving->leave(farewell(next));
    }
    settings_ = next;
    campus_.reset();
    campusHeard_ = false;
    sent_.clear();
    discoveredOnce_ = false;
    if (settings_.enabled && settings_.damage.isEmpty()) {
        base_ = MqttTopics::base(settings_.site, settings_.bus);
        campus_ = std::make_unique<MqttCampus>(base_);
        MqttEndpoint e;
        e.host = settings_.host;
        e.port = settings_.port;
        e.tls = settings_.tls;
        e.caFile = settings_.caFile;
        e.user = settings_.user;
        e.password = settings_.password;
        e.clientId = QString::fromUtf8(base_).chopped(1).replace(QLatin1Char('/'), QLatin1Char('-'));
        e.willTopic = busTopic(base_, BusTopic::Status);
        e.willPayload = "offline";
        client_ = std::make_unique<MqttClient>(e);
        connect(client_.get(), &MqttClient::connectedChanged, this, &MqttBridge::onConnected);
        connect(client_.get(), &MqttClient::messageReceived, this, &MqttBridge::onMessage);
        connect(client_.get(), &MqttClient::errorChanged, this, &MqttBridge::stateChanged);
        client_->start();
    }
    emit stateChanged();
}

void MqttBridge::onConnected(bool connected)
{
    if (connected) {
        // Whatever the broker kept from before is said again: it may have lost it meanwhile.
        sent_.clear();
        discoveredOnce_ = false;
        client_->subscribe(busTopic(base_, BusTopic::Command));
        client_->subscribe(MqttTopics::HomeAssistantStatus);
        campusHeard_ = false;
        if (campusWatch_.isActive())
            hearCampus(true);
        client_->publish(busTopic(base_, BusTopic::Status), "online");
        publishRetained(busTopic(base_, BusTopic::Name), settings_.bus.left(64).toUtf8());
        publishNow();
        sweep_.start();
    } else {
        sweep_.stop();
        campusHeard_ = false;
        campus_->clear();   // what it heard is not kept up to date any more
    }
    emit stateChanged();
}

// The site's other buses are heard while someone looks at them, and a minute more: on a
// campus of twenty buses each one's state would otherwise reach every other, ten times a
// second.
void MqttBridge::hearCampus(bool on)
{
    if (on == campusHeard_ || !connected())
        return;
    campusHeard_ = on;
    for (const BusTopic t : {BusTopic::Status, BusTopic::Name, BusTopic::State}) {
        if (on)
            client_->subscribe(MqttTopics::siteWide(base_, t), 0);
        else
            client_->unsubscribe(MqttTopics::siteWide(base_, t));
    }
    if (!on)
        campus_->clear();
}

CampusView MqttBridge::campusView()
{
    CampusView v;
    if (!campus_)
        return v;
    campusWatch_.start();
    hearCampus(true);
    v.linked = connected();
    v.site = MqttTopics::safeLevel(settings_.site, QStringLiteral("kadrel"));
    v.bus = MqttTopics::safeLevel(settings_.bus, QStringLiteral("bus"));
    v.name = settings_.bus.left(64);
    v.others = campus_->buses();
    return v;
}

void MqttBridge::noteChange()
{
    if (!connected())
        return;
    if (throttle_.isActive())
        dirty_ = true;
    else
        soon_.start();
}

bool MqttBridge::publishRetained(const QByteArray& topic, const QByteArray& payload)
{
    const auto it = sent_.constFind(topic);
    if (it != sent_.cend() && *it == payload)
        return false;
    if (!client_->publish(topic, payload))
        return false;
    sent_.insert(topic, payload);
    return true;
}

bool MqttBridge::publishNow()
{
    if (!connected())
        return false;
    const PanelView view = host_.panelView();
    const bool stateSent = publishRetained(busTopic(base_, BusTopic::State), RemoteApi::stateJson(view));
    for (const ClockView& c : view.clocks)
        for (const MqttTopics::Retained& r : MqttTopics::clockTopics(base_, c, view.connected))
            publishRetained(r.topic, r.payload);
    std::array<bool, 4> active{};
    for (size_t i = 0; i < 4; ++i)
        active[i] = view.clocks[i].active;
    if (settings_.discovery && (!discoveredOnce_ || active != discovered_)) {
        discovered_ = active;
        publishDiscovery();
    }
    return stateSent;
}

void MqttBridge::publishDiscovery()
{
    if (!connected() || !settings_.discovery)
        return;
    discoveredOnce_ = true;
    MqttTopics::Discovery d{settings_.site, settings_.bus, version_, discovered_};
    for (const MqttTopics::Retained& r : MqttTopics::discoveryConfigs(base_, d))
        client_->publish(r.topic, r.payload);
}

void MqttBridge::onMessage(const QByteArray& topic, const QByteArray& payload, bool retained)
{
    if (topic == MqttTopics::HomeAssistantStatus) {
        if (payload == "online")
            publishDiscovery();
        return;
    }
    if (topic != busTopic(base_, BusTopic::Command)) {
        campus_->take(topic, payload);
        return;
    }
    // A command kept on the broker from some earlier day is not run on connecting.
    if (retained) {
        emit commandAnswered({QString(), payload.left(200), QByteArrayLiteral("pominięte (zachowane na brokerze)"), false});
        return;
    }
    runCommand(payload);
}

void MqttBridge::runCommand(const QByteArray& payload)
{
    MqttCommandRecord record{QString(), payload.left(RemoteApi::MaxBodyBytes), {}, false};
    const auto answer = [&](const QByteArray& result) {
        record.result = result;
        client_->publish(busTopic(base_, BusTopic::Result), result, 0, false);
        emit commandAnswered(record);
    };
    if (!commandWindow_.isValid() || commandWindow_.elapsed() >= 1000) {
        commandWindow_.start();
        commandsInWindow_ = 0;
    }
    if (++commandsInWindow_ > CommandsPerSecond)
        return answer(refusal(429, "too_many", QStringLiteral("Za dużo poleceń w ciągu sekundy – polecenie odrzucone")));
    if (payload.size() > RemoteApi::MaxBodyBytes)
        return answer(refusal(413, "body_too_large", QStringLiteral("Treść polecenia jest za duża")));
    QJsonParseError error{};
    const QJsonDocument doc = QJsonDocument::fromJson(payload, &error);
    if (error.error != QJsonParseError::NoError || !doc.isObject())
        return answer(refusal(400, "bad_json", QStringLiteral("Polecenie nie jest poprawnym obiektem JSON")));
    QJsonObject body = doc.object();
    const QJsonValue name = body.take(QStringLiteral("command"));
    const QJsonValue client = body.take(QStringLiteral("client"));
    if (client.isString())
        record.client = client.toString().left(80);
    if (!name.isString())
        return answer(refusal(400, "missing_command", QStringLiteral("Brak pola „command” z nazwą polecenia")));
    const RemoteApi::ClockParsed clock = RemoteApi::parseClockCommand(name.toString(), body);
    if (clock.matched) {
        if (!clock.command)
            return answer(RemoteApi::errorJson(clock.error));
        if (!panels_)
            return answer(refusal(404, "unknown_command", QStringLiteral("Nieznane polecenie: %1").arg(name.toString())));
        const CommandOutcome outcome = panels_->runClockCommand(*clock.command);
        record.done = outcome.ok();
        answer(outcome.ok() ? RemoteApi::okJson() : RemoteApi::errorJson(RemoteApi::refusal(outcome)));
        return noteChange();
    }
    // The rest is the API's own body for the command of that name.
    const RemoteApi::Parsed parsed =
        RemoteApi::parseCommand(name.toString(), QJsonDocument(body).toJson(QJsonDocument::Compact));
    if (!parsed.command)
        return answer(RemoteApi::errorJson(parsed.error));
    const CommandOutcome outcome = host_.runStopwatchCommand(*parsed.command);
    record.done = outcome.ok();
    answer(outcome.ok() ? RemoteApi::okJson() : RemoteApi::errorJson(RemoteApi::refusal(outcome)));
    noteChange();
}
