#pragma once
// The broker link's own settings, per profile, in a file of their own ("mqtt.json", owner-only:
// it holds the broker's password): on or off, the broker, TLS, the account, and the names that
// make the topics.
#include <QString>

struct MqttSettings {
    static constexpr quint16 DefaultPort = 1883;
    bool enabled = false;
    QString host = QStringLiteral("localhost");
    quint16 port = DefaultPort;
    bool tls = false;
    QString caFile;             // empty: the system's certificates
    QString user;
    QString password;
    QString site = QStringLiteral("kadrel");
    QString bus = QStringLiteral("bus");
    bool discovery = true;      // Home Assistant's discovery
    // Why the file that is there could not be taken (Polish, one sentence naming it). Such a
    // file is left as it is and the link stays off.
    QString damage;

    static MqttSettings load(const QString& path);
    // Empty, or why the file could not be written (naming it).
    QString save(const QString& path) const;
};
