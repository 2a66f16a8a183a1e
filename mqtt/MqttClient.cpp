#include "mqtt/MqttClient.h"

#include <QFile>
#include <QHostAddress>
#include <QHostInfo>
#include <algorithm>
#include <cerrno>
#include <utility>
#include <mosquitto.h>
#include <sys/ioctl.h>

#include "base/ErrnoText.h"

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

} // namespace

MqttClient::MqttClient(MqttEndpoint endpoint, QObject* parent) : QObject(parent), endpoint_(std::move(endpoint))
{
    libraryOnce();
    const QByteArray id = endpoint_.clientId.toUtf8();
    mosq_ = mosquitto_new(id.isEmpty() ? nullptr : id.constData(), true, this);
    mosquitto_connect_callback_set(mosq_, &MqttClient::onConnect);
    mosquitto_disconnect_callback_set(mosq_, &MqttClient::onDisconnect);
    mosquitto_message_callback_set(mosq_, &MqttClient::onMessage);
    mosquitto_publish_callback_set(mosq_, &MqttClient::onAcknowledged);
    mosquitto_unsubscribe_callback_set(mosq_, &MqttClient::onAcknowledged);
    mosquitto_log_callback_set(mosq_, &MqttClient::onLog);
    // A command's answer is a small write just after the acknowledgement of the command: with
    // Nagle's algorithm it would wait for the broker's delayed ACK, some 40 ms.
    mosquitto_int_option(mosq_, MOSQ_OPT_TCP_NODELAY, 1);
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
    leaveDeadline_.setSingleShot(true);
    connect(&leaveDeadline_, &QTimer::timeout, this, [this] {
        if (leaving_ == Leaving::Acknowledging)
            goodbye();
        else
            finishLeaving();
    });
}

// libmosquitto reports a refused handshake as a lost connection on some releases and as a TLS
// error on others; what OpenSSL said, which it logs either way, tells which it was.
QString MqttClient::errorText(int rc) const
{
    if (!tlsFailure_.isEmpty() && (rc == MOSQ_ERR_TLS || rc == MOSQ_ERR_CONN_LOST || rc == MOSQ_ERR_ERRNO))
        return tlsFailure_.contains(QLatin1String("certificate verify failed"))
                   ? QStringLiteral("błąd TLS: certyfikat brokera nie przeszedł weryfikacji (nie podpisał go wskazany "
                                    "urząd certyfikacji albo broker ma inną nazwę)")
                   : QStringLiteral("błąd TLS: nieudane uzgodnienie połączenia szyfrowanego (%1)").arg(tlsFailure_);
    switch (rc) {
    case MOSQ_ERR_ERRNO: return QString::fromStdString(ErrnoText(errno));
    case MOSQ_ERR_TLS: return QStringLiteral("błąd TLS (nieznany urząd certyfikacji albo zły certyfikat brokera)");
    case MOSQ_ERR_CONN_LOST: return QStringLiteral("połączenie z brokerem zostało zerwane");
    case MOSQ_ERR_PROTOCOL: return QStringLiteral("broker przysłał niepoprawne dane");
    case MOSQ_ERR_KEEPALIVE: return QStringLiteral("broker przestał odpowiadać");
    default: return QString::fromUtf8(mosquitto_strerror(rc));
    }
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
    drainInput();
    if (fd_ >= 0)
        mosquitto_disconnect(mosq_);
    connected_ = false;
    syncNotifiers();
}

void MqttClient::leave(const QList<std::pair<QByteArray, QByteArray>>& last, int withinMs)
{
    stopped_ = true;
    retry_.stop();
    if (lookupId_ >= 0)
        QHostInfo::abortHostLookup(lookupId_);
    lookupId_ = -1;
    leaveDeadline_.start(withinMs);
    if (!connected_)
        return finishLeaving();
    leaving_ = Leaving::Acknowledging;
    for (const QByteArray& pattern : std::as_const(subscribed_)) {
        int mid = 0;
        if (mosquitto_unsubscribe(mosq_, &mid, pattern.constData()) == MOSQ_ERR_SUCCESS)
            unacknowledged_.insert(mid);
    }
    for (const auto& [topic, payload] : last) {
        int mid = 0;
        if (mosquitto_publish(mosq_, &mid, topic.constData(), static_cast<int>(payload.size()), payload.constData(), 1,
                              true)
            == MOSQ_ERR_SUCCESS)
            unacknowledged_.insert(mid);
    }
    syncNotifiers();
    if (unacknowledged_.isEmpty())
        goodbye();
}

// Everything acknowledged (or no more time): the DISCONNECT, and `left` once the line is closed.
void MqttClient::goodbye()
{
    if (leaving_ != Leaving::Acknowledging)
        return;
    leaving_ = Leaving::Closing;
    unacknowledged_.clear();
    drainInput();
    if (mosquitto_socket(mosq_) >= 0)
        mosquitto_disconnect(mosq_);
    connected_ = false;
    syncNotifiers();
    if (fd_ < 0)
        finishLeaving();
    else
        leaveDeadline_.start(1000);   // the DISCONNECT waits for room in the socket
}

// A close with bytes the broker sent still unread is a reset, not an end; and a broker drops
// what it has not yet read of a reset connection, and sends the last will.
void MqttClient::drainInput()
{
    int unread = 0;
    for (int i = 0; i < 64 && fd_ >= 0 && ::ioctl(fd_, FIONREAD, &unread) == 0 && unread > 0; ++i)
        if (mosquitto_loop_read(mosq_, 1) != MOSQ_ERR_SUCCESS)
            break;
}

void MqttClient::finishLeaving()
{
    if (leaving_ == Leaving::Left)
        return;
    leaving_ = Leaving::Left;
    leaveDeadline_.stop();
    // Not from inside libmosquitto's own call: the owner may delete this at once.
    QMetaObject::invokeMethod(this, &MqttClient::left, Qt::QueuedConnection);
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
    if (connected_ && mosquitto_subscribe(mosq_, nullptr, pattern.constData(), qos) == MOSQ_ERR_SUCCESS
        && !subscribed_.contains(pattern))
        subscribed_.append(pattern);
    syncNotifiers();
}

void MqttClient::unsubscribe(const QByteArray& pattern)
{
    if (connected_ && subscribed_.removeAll(pattern) > 0)
        mosquitto_unsubscribe(mosq_, nullptr, pattern.constData());
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
    tlsFailure_.clear();
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
    c->subscribed_.clear();
    c->connected_ = true;
    c->setError({});
    emit c->connectedChanged(true);
}

void MqttClient::onDisconnect(mosquitto*, void* self, int rc)
{
    auto* c = static_cast<MqttClient*>(self);
    if (c->leaving_ != Leaving::No) {
        c->connected_ = false;
        return c->finishLeaving();
    }
    if (c->stopped_ || c->retry_.isActive()) {
        if (std::exchange(c->connected_, false))
            emit c->connectedChanged(false);
        return;
    }
    c->failed(rc == 0 ? QStringLiteral("połączenie zakończone") : c->errorText(MOSQ_ERR_CONN_LOST));
}

void MqttClient::onMessage(mosquitto*, void* self, const mosquitto_message* m)
{
    auto* c = static_cast<MqttClient*>(self);
    if (c->stopped_)
        return;   // read only to leave cleanly
    emit c->messageReceived(QByteArray(m->topic),
                            QByteArray(static_cast<const char*>(m->payload), m->payloadlen), m->retain);
}

void MqttClient::onAcknowledged(mosquitto*, void* self, int mid)
{
    auto* c = static_cast<MqttClient*>(self);
    // A QoS 0 publish is "done" when written; only the goodbye's own are waited for.
    if (c->unacknowledged_.remove(mid) && c->unacknowledged_.isEmpty() && c->leaving_ == Leaving::Acknowledging)
        QMetaObject::invokeMethod(c, &MqttClient::goodbye, Qt::QueuedConnection);
}

void MqttClient::onLog(mosquitto*, void* self, int level, const char* text)
{
    if (level == MOSQ_LOG_ERR && qstrncmp(text, "OpenSSL Error", 13) == 0)
        static_cast<MqttClient*>(self)->tlsFailure_ = QString::fromUtf8(text).section(QStringLiteral(": "), 1).trimmed();
}
