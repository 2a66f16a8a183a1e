#include "mqtt/MqttClient.h"

#include <QFile>
#include <QHostAddress>
#include <QHostInfo>
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>
#include <mosquitto.h>

namespace {

constexpr int FirstRetryMs = 1000;
constexpr int LastRetryMs = 60000;

void libraryOnce()
{
    static const bool ready = [] {
        mosquitto_lib_init();
        return true;
    }();
    (void)ready;
}

QString connackText(int rc)
{
    switch (rc) {
    case 1: return QStringLiteral("broker nie przyjmuje tej wersji protokołu MQTT");
    case 2: return QStringLiteral("broker odrzucił identyfikator klienta");
    case 3: return QStringLiteral("broker jest niedostępny");
    case 4: return QStringLiteral("broker odrzucił nazwę użytkownika albo hasło");
    case 5: return QStringLiteral("broker nie zezwala na połączenie (zła nazwa użytkownika albo hasło, albo brak uprawnień)");
    default: return QStringLiteral("broker odrzucił połączenie (kod %1)").arg(rc);
    }
}

QString errorText(int rc)
{
    switch (rc) {
    case MOSQ_ERR_ERRNO: return QString::fromLocal8Bit(std::strerror(errno));
    case MOSQ_ERR_TLS: return QStringLiteral("błąd TLS (nieznany urząd certyfikacji albo zły certyfikat brokera)");
    case MOSQ_ERR_CONN_LOST: return QStringLiteral("połączenie z brokerem zostało zerwane");
    case MOSQ_ERR_PROTOCOL: return QStringLiteral("broker przysłał niepoprawne dane");
    case MOSQ_ERR_KEEPALIVE: return QStringLiteral("broker przestał odpowiadać");
    default: return QString::fromUtf8(mosquitto_strerror(rc));
    }
}

} // namespace

MqttClient::MqttClient(MqttEndpoint endpoint, QObject* parent) : QObject(parent), endpoint_(std::move(endpoint))
{
    libraryOnce();
    const QByteArray id = endpoint_.clientId.toUtf8();
    mosq_ = mosquitto_new(id.isEmpty() ? nullptr : id.constData(), true, this);
    mosquitto_connect_callback_set(mosq_, &MqttClient::onConnect);
    mosquitto_disconnect_callback_set(mosq_, &MqttClient::onDisconnect);
    mosquitto_message_callback_set(mosq_, &MqttClient::onMessage);
    if (!endpoint_.willTopic.isEmpty())
        mosquitto_will_set(mosq_, endpoint_.willTopic.constData(), static_cast<int>(endpoint_.willPayload.size()),
                           endpoint_.willPayload.constData(), 1, true);
    if (!endpoint_.user.isEmpty())
        mosquitto_username_pw_set(mosq_, endpoint_.user.toUtf8().constData(),
                                  endpoint_.password.isEmpty() ? nullptr : endpoint_.password.toUtf8().constData());
    misc_.setInterval(1000);
    connect(&misc_, &QTimer::timeout, this, [this] {
        if (fd_ >= 0)
            service(mosquitto_loop_misc(mosq_));
    });
    retry_.setSingleShot(true);
    connect(&retry_, &QTimer::timeout, this, &MqttClient::attempt);
}

MqttClient::~MqttClient()
{
    if (lookupId_ >= 0)
        QHostInfo::abortHostLookup(lookupId_);
    readable_.reset();
    writable_.reset();
    mosquitto_destroy(mosq_);
}

void MqttClient::start()
{
    stopped_ = false;
    retryMs_ = FirstRetryMs;
    if (endpoint_.tls) {
        const QByteArray ca = QFile::encodeName(endpoint_.caFile);
        const int rc = ca.isEmpty() ? mosquitto_int_option(mosq_, MOSQ_OPT_TLS_USE_OS_CERTS, 1)
                                    : mosquitto_tls_set(mosq_, ca.constData(), nullptr, nullptr, nullptr, nullptr);
        if (rc != MOSQ_ERR_SUCCESS) {
            setError(ca.isEmpty() ? QStringLiteral("Nie można użyć certyfikatów systemu: %1.").arg(errorText(rc))
                                  : QStringLiteral("Nie można odczytać pliku urzędu certyfikacji %1.").arg(endpoint_.caFile));
            stopped_ = true;
            return;
        }
    }
    attempt();
}

void MqttClient::stop(const QByteArray& lastTopic, const QByteArray& lastPayload)
{
    stopped_ = true;
    retry_.stop();
    if (lookupId_ >= 0)
        QHostInfo::abortHostLookup(lookupId_);
    lookupId_ = -1;
    // Without libmosquitto's thread a publish and the disconnect are written at once when the
    // socket takes them, so the retained goodbye reaches the broker before the line goes.
    if (connected_ && !lastTopic.isEmpty())
        publish(lastTopic, lastPayload, 0, true);
    if (fd_ >= 0)
        mosquitto_disconnect(mosq_);
    connected_ = false;
    syncNotifiers();
}

bool MqttClient::publish(const QByteArray& topic, const QByteArray& payload, int qos, bool retain)
{
    if (!connected_)
        return false;
    const int rc = mosquitto_publish(mosq_, nullptr, topic.constData(), static_cast<int>(payload.size()),
                                     payload.constData(), qos, retain);
    syncNotifiers();
    return rc == MOSQ_ERR_SUCCESS;
}

void MqttClient::subscribe(const QByteArray& pattern, int qos)
{
    if (connected_)
        mosquitto_subscribe(mosq_, nullptr, pattern.constData(), qos);
    syncNotifiers();
}

void MqttClient::attempt()
{
    if (stopped_)
        return;
    QHostAddress numeric;
    if (numeric.setAddress(endpoint_.host))
        return attemptAt(endpoint_.host);
    // getaddrinfo may wait for a DNS server: Qt's lookup does it on a thread of its own.
    lookupId_ = QHostInfo::lookupHost(endpoint_.host, this, [this](const QHostInfo& info) {
        lookupId_ = -1;
        if (stopped_)
            return;
        if (info.error() != QHostInfo::NoError || info.addresses().isEmpty())
            return failed(QStringLiteral("nie znaleziono adresu %1").arg(endpoint_.host));
        // With TLS the certificate is checked against the name, which libmosquitto looks up
        // again (answered from what was just found on most systems).
        attemptAt(endpoint_.tls ? endpoint_.host : info.addresses().constFirst().toString());
    });
}

void MqttClient::attemptAt(const QString& address)
{
    const int rc = mosquitto_connect_async(mosq_, address.toUtf8().constData(), endpoint_.port, endpoint_.keepAlive);
    if (rc != MOSQ_ERR_SUCCESS)
        return failed(errorText(rc));
    syncNotifiers();
}

void MqttClient::failed(const QString& why)
{
    setError(QStringLiteral("Brak połączenia z brokerem MQTT %1:%2 – %3; następna próba za %4 s.")
                 .arg(endpoint_.host)
                 .arg(endpoint_.port)
                 .arg(why)
                 .arg(retryMs_ / 1000));
    if (connected_) {
        connected_ = false;
        emit connectedChanged(false);
    }
    syncNotifiers();
    if (stopped_)
        return;
    retry_.start(retryMs_);
    retryMs_ = std::min(retryMs_ * 2, LastRetryMs);
}

// After each of libmosquitto's steps: a failure ends this connection and plans the next.
void MqttClient::service(int rc)
{
    if (rc != MOSQ_ERR_SUCCESS && rc != MOSQ_ERR_NO_CONN) {
        const int saved = errno;
        // The socket is given up here, not left half open for the next step to find.
        if (mosquitto_socket(mosq_) >= 0)
            mosquitto_disconnect(mosq_);
        errno = saved;
        if (!retry_.isActive() && !stopped_)
            failed(errorText(rc));
    }
    syncNotifiers();
}

// The notifiers follow libmosquitto's socket, which changes at each connection and goes with
// each loss; the writable one is armed only while something waits to go out.
void MqttClient::syncNotifiers()
{
    const int fd = mosquitto_socket(mosq_);
    if (fd != fd_) {
        // This may run inside a notifier's own signal: the old ones go when it has returned.
        for (std::unique_ptr<QSocketNotifier>* n : {&readable_, &writable_})
            if (*n) {
                (*n)->setEnabled(false);
                n->release()->deleteLater();
            }
        fd_ = fd;
        if (fd_ >= 0) {
            readable_ = std::make_unique<QSocketNotifier>(fd_, QSocketNotifier::Read);
            connect(readable_.get(), &QSocketNotifier::activated, this, [this] { service(mosquitto_loop_read(mosq_, 1)); });
            writable_ = std::make_unique<QSocketNotifier>(fd_, QSocketNotifier::Write);
            connect(writable_.get(), &QSocketNotifier::activated, this, [this] { service(mosquitto_loop_write(mosq_, 1)); });
            misc_.start();
        } else {
            misc_.stop();
        }
    }
    if (writable_)
        writable_->setEnabled(mosquitto_want_write(mosq_));
}

void MqttClient::setError(const QString& why)
{
    if (why == lastError_)
        return;
    lastError_ = why;
    emit errorChanged(why);
}

void MqttClient::onConnect(mosquitto*, void* self, int rc)
{
    auto* c = static_cast<MqttClient*>(self);
    if (rc != 0) {
        // A refusal is not worth hammering the broker over: the back-off goes on growing.
        mosquitto_disconnect(c->mosq_);
        c->failed(connackText(rc));
        return;
    }
    c->retryMs_ = FirstRetryMs;
    c->connected_ = true;
    c->setError({});
    emit c->connectedChanged(true);
}

void MqttClient::onDisconnect(mosquitto*, void* self, int rc)
{
    auto* c = static_cast<MqttClient*>(self);
    if (c->stopped_ || c->retry_.isActive()) {
        if (std::exchange(c->connected_, false))
            emit c->connectedChanged(false);
        return;
    }
    c->failed(rc == 0 ? QStringLiteral("połączenie zakończone") : errorText(MOSQ_ERR_CONN_LOST));
}

void MqttClient::onMessage(mosquitto*, void* self, const mosquitto_message* m)
{
    auto* c = static_cast<MqttClient*>(self);
    emit c->messageReceived(QByteArray(m->topic),
                            QByteArray(static_cast<const char*>(m->payload), m->payloadlen), m->retain);
}
