#include "mqtt/MqttBridge.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <utility>

#include "mqtt/MqttTopics.h"
#include "remote/RemoteApi.h"

namespace {

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
    connect(&throttle_, &QTimer::timeout, this, [this] {
        if (std::exchange(dirty_, false)) {
            publishNow();
            throttle_.start(ThrottleMs);
        }
    });
    // A clock falling silent or a gauge falling with unanswered frames raises no signal of the
    // window's; a look twice a second finds them (and publishes only what changed).
    sweep_.setInterval(500);
    connect(&sweep_, &QTimer::timeout, this, &MqttBridge::noteChange);
}

MqttBridge::~MqttBridge()
{
    if (client_)
        client_->stop(base_ + "status", "offline");
}

void MqttBridge::startFromSettings()
{
    restart(false);
}

QString MqttBridge::apply(const MqttSettings& settings)
{
    const bool wasOn = client_ != nullptr;
    settings_ = settings;
    const QString why = settings_.save(path_);
    if (why.isEmpty())
        settings_.damage.clear();
    restart(wasOn);
    return why.isEmpty() ? QString() : QStringLiteral("Nie można zapisać ustawień: %1").arg(why);
}

QString MqttBridge::lastError() const
{
    if (!settings_.damage.isEmpty())
        return settings_.damage;
    return client_ ? client_->lastError() : QString();
}

void MqttBridge::restart(bool removeDiscovery)
{
    if (client_) {
        // Switched off or moved: Home Assistant forgets the old device's entities; the old
        // link goes by itself once the broker has taken its last words.
        QList<std::pair<QByteArray, QByteArray>> last;
        if (removeDiscovery)
            for (const MqttTopics::Retained& r : MqttTopics::discoveryRemoval(base_))
                last.append({r.topic, r.payload});
        last.append({base_ + "status", QByteArrayLiteral("offline")});
        MqttClient* leaving = client_.release();
        leaving->disconnect(this);
        leaving->setParent(this);
        connect(leaving, &MqttClient::left, leaving, &QObject::deleteLater);
        leaving->leave(last);
    }
    sent_.clear();
    discoveredOnce_ = false;
    if (settings_.enabled && settings_.damage.isEmpty()) {
        base_ = MqttTopics::base(settings_.site, settings_.bus);
        MqttEndpoint e;
        e.host = settings_.host;
        e.port = settings_.port;
        e.tls = settings_.tls;
        e.caFile = settings_.caFile;
        e.user = settings_.user;
        e.password = settings_.password;
        e.clientId = QString::fromUtf8(base_).chopped(1).replace(QLatin1Char('/'), QLatin1Char('-'));
        e.willTopic = base_ + "status";
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
        client_->subscribe(base_ + "cmd");
        client_->subscribe("homeassistant/status");
        client_->publish(base_ + "status", "online");
        publishNow();
        sweep_.start();
    } else {
        sweep_.stop();
    }
    emit stateChanged();
}

void MqttBridge::noteChange()
{
    if (!connected())
        return;
    if (throttle_.isActive()) {
        dirty_ = true;
        return;
    }
    publishNow();
    throttle_.start(ThrottleMs);
}

bool MqttBridge::publishRetained(const QByteArray& topic, const QByteArray& payload)
{
    const auto it = sent_.constFind(topic);
    if (it != sent_.cend() && *it == payload)
        return true;
    if (!client_->publish(topic, payload))
        return false;
    sent_.insert(topic, payload);
    return true;
}

void MqttBridge::publishNow()
{
    if (!connected())
        return;
    const PanelView view = host_.panelView();
    publishRetained(base_ + "state", RemoteApi::stateJson(view));
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
    if (topic == "homeassistant/status") {
        if (payload == "online")
            publishDiscovery();
        return;
    }
    if (topic != base_ + "cmd")
        return;
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
        client_->publish(base_ + "cmd/result", result, 0, false);
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
