#pragma once
// One MQTT connection on libmosquitto, run on the thread that owns it, inside Qt's event loop:
// the socket is watched by QSocketNotifiers, the keep-alive by a QTimer, the name is looked up
// by QHostInfo and the connection is made without blocking, so a broker that is slow, gone or
// refusing never holds the caller. A lost or refused connection is tried again with a back-off
// (1 s doubling to 60 s). libmosquitto's own thread is never started.
#include <QByteArray>
#include <QList>
#include <QObject>
#include <QSet>
#include <QSocketNotifier>
#include <QString>
#include <QTimer>
#include <memory>
#include <utility>

struct mosquitto;
struct mosquitto_message;

struct MqttEndpoint {
    QString host;
    quint16 port = 1883;
    bool tls = false;
    QString caFile;             // empty with tls: the system's certificates
    QString user;
    QString password;
    QString clientId;
    QByteArray willTopic;       // empty: no last will
    QByteArray willPayload;
    int keepAlive = 30;         // seconds
};

class MqttClient : public QObject {
    Q_OBJECT
public:
    explicit MqttClient(MqttEndpoint endpoint, QObject* parent = nullptr);
    ~MqttClient() override;

    // Starts connecting; returns at once.
    void start();
    // Publishes what is given and leaves the broker at once (the last will is not sent), for
    // the program's end: what the broker may miss of it, the last will says as well.
    void stop(const QByteArray& lastTopic = {}, const QByteArray& lastPayload = {});
    // Leaves the broker for good, having said `last` (each retained, acknowledged): the
    // subscriptions are ended first, so that nothing more comes in, and the line closes only
    // once the broker has acknowledged all of it, so that nothing is left unread and the close
    // is no reset (which makes a broker drop what it has not yet read, and send the last will).
    // `left` comes then, or after `withinMs` whatever the broker does; at once when not
    // connected. Returns at once.
    void leave(const QList<std::pair<QByteArray, QByteArray>>& last, int withinMs = 3000);

    bool connected() const { return connected_; }
    // False when not connected (nothing is queued for later). QoS 0 by default: what the
    // broker keeps is said again at each connection anyway.
    bool publish(const QByteArray& topic, const QByteArray& payload, int qos = 0, bool retain = true);
    void subscribe(const QByteArray& pattern, int qos = 1);
    void unsubscribe(const QByteArray& pattern);
    // Why the last attempt failed (Polish), empty while connected.
    QString lastError() const { return lastError_; }
    // The wait before the next attempt (tests and the dialog).
    int retryDelayMs() const { return retryMs_; }

signals:
    void connectedChanged(bool connected);
    void messageReceived(const QByteArray& topic, const QByteArray& payload, bool retained);
    void errorChanged(const QString& message);
    // leave() is done.
    void left();

private:
    static void onConnect(mosquitto*, void* self, int rc);
    static void onDisconnect(mosquitto*, void* self, int rc);
    static void onMessage(mosquitto*, void* self, const mosquitto_message* message);
    static void onAcknowledged(mosquitto*, void* self, int mid);
    static void onLog(mosquitto*, void* self, int level, const char* text);

    void attempt();
    void attemptAt(const QString& address);
    void failed(const QString& why);
    void service(int rc);
    void syncNotifiers();
    void setError(const QString& why);
    QString errorText(int rc) const;
    void goodbye();
    void drainInput();
    void finishLeaving();

    MqttEndpoint endpoint_;
    mosquitto* mosq_ = nullptr;
    std::unique_ptr<QSocketNotifier> readable_;
    std::unique_ptr<QSocketNotifier> writable_;
    int fd_ = -1;
    QTimer misc_;
    QTimer retry_;
    int retryMs_ = 1000;
    int lookupId_ = -1;
    bool connected_ = false;
    bool stopped_ = true;
    QString lastError_;
    QString tlsFailure_;            // what OpenSSL said of this attempt's handshake
    QList<QByteArray> subscribed_;
    QSet<int> unacknowledged_;      // leave(): the messages the broker has yet to acknowledge
    QTimer leaveDeadline_;
    enum class Leaving { No, Acknowledging, Closing, Left } leaving_ = Leaving::No;
};
