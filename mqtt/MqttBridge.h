#pragma once
// The program on the broker: its settings file and, while they say so, one MqttClient that
// publishes the bus under kadrel/SITE/BUS/ (status, name, the API's state document, each
// clock's topics, Home Assistant's discovery) and takes the API's commands on cmd, answering
// each on cmd/result; it hears the site's other buses for the view page. The window owns one;
// it reads the panels and runs commands through StopwatchHost, the same path as the remote
// page's.
#include <QElapsedTimer>
#include <QHash>
#include <QObject>
#include <QString>
#include <QTimer>
#include <array>
#include <memory>

#include "remote/ClockPanelHost.h"
#include "mqtt/MqttClient.h"
#include "mqtt/MqttSettings.h"
#include "remote/CampusHost.h"
#include "remote/StopwatchHost.h"

struct MqttCommandRecord {
    QString client;             // the sender's "client" field, as it gave it
    QByteArray payload;
    QByteArray result;          // what cmd/result carried
    bool done = false;
};

class MqttCampus;

class MqttBridge : public QObject, public CampusHost {
    Q_OBJECT
public:
    // `panels` may be null: the clocks' own commands are then refused.
    MqttBridge(StopwatchHost& host, ClockPanelHost* panels, QString settingsPath, QString version,
               QObject* parent = nullptr);
    ~MqttBridge() override;

    const MqttSettings& settings() const { return settings_; }
    // Connects if the settings say so; returns at once.
    void startFromSettings();
    // Stores new settings and brings the link in line. Empty, or why they could not be saved.
    QString apply(const MqttSettings& settings);

    bool connected() const { return client_ && client_->connected(); }
    // Empty while connected or off; else why not (Polish).
    QString lastError() const;
    QByteArray base() const { return base_; }
    // The site's other buses, for the view page; asking keeps them heard for a minute.
    CampusView campusView() override;

    // Most commands a second; the rest are refused on cmd/result.
    static constexpr int CommandsPerSecond = 20;

public slots:
    // What the panels show may have changed: published at most ten times a second, the latest
    // view winning.
    void noteChange();

signals:
    void stateChanged();
    void commandAnswered(const MqttCommandRecord& record);

private:
    void restart(const MqttSettings& next);
    QList<std::pair<QByteArray, QByteArray>> farewell(const MqttSettings& next) const;
    void onConnected(bool connected);
    void onMessage(const QByteArray& topic, const QByteArray& payload, bool retained);
    void runCommand(const QByteArray& payload);
    // True when the state document went out (it is what the ten a second bound).
    bool publishNow();
    void hearCampus(bool on);
    void publishDiscovery();
    // True when it went out now (not when the broker has it already).
    bool publishRetained(const QByteArray& topic, const QByteArray& payload);

    StopwatchHost& host_;
    ClockPanelHost* panels_;
    QString path_;
    QString version_;
    MqttSettings settings_;
    QByteArray base_;
    std::unique_ptr<MqttClient> client_;
    std::unique_ptr<MqttCampus> campus_;
    QTimer throttle_;
    QTimer soon_;
    QTimer sweep_;                  // what changes with no signal: a clock that stops answering
    QTimer campusWatch_;            // someone looked at the other buses lately
    bool campusHeard_ = false;
    bool dirty_ = false;
    QHash<QByteArray, QByteArray> sent_;   // the retained topics' last payloads
    std::array<bool, 4> discovered_{};
    bool discoveredOnce_ = false;
    QElapsedTimer commandWindow_;
    int commandsInWindow_ = 0;
};
