// needs: qt
// uses: mosquitto
// The window on a pseudo-terminal and a real Mosquitto on loopback: what an outside subscriber
// sees, each command's frame against the window's own button's, refusals on cmd/result,
// Home Assistant's discovery, a broker that is down at start, and a wrong password.
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QEventLoop>
#include <QRadioButton>
#include <QTimer>
#include <thread>

#include "dialogs/Zdalne.h"
#include "dialogs/ZdalneMqtt.h"
#include "mqtt/MqttBridge.h"
#include "remote/RemoteApi.h"
#include "tests/support/ClockFrames.h"
#include "tests/support/Mosquitto.h"
#include "tests/test_main_window_fixture.h"

namespace {

constexpr const char* Base = "kadrel/hala/kort-1/";

class MqttWindowTest : public ConnectedWindowTest {
protected:
    void SetUp() override
    {
        if (!MosquittoBroker::installed())
            GTEST_SKIP() << "mosquitto is not installed (Debian package mosquitto)";
        broker = std::make_unique<MosquittoBroker>(brokerConfig());
        ASSERT_TRUE(broker->ok()) << broker->log();
        watch = makeWatch();
        beforeWindow();
        writeFile(sandbox.configDir() + "/kadrel/mqtt.json", settingsJson());
        ConnectedWindowTest::SetUp();
    }
    void TearDown() override
    {
        ConnectedWindowTest::TearDown();
        watch.reset();
        broker.reset();
    }
    virtual std::string brokerConfig() { return {}; }
    virtual void beforeWindow() {}
    virtual std::unique_ptr<BrokerWatch> makeWatch() { return std::make_unique<BrokerWatch>(broker->port()); }
    virtual std::string settingsJson()
    {
        return R"({"enabled":true,"host":"127.0.0.1","port":)" + std::to_string(broker->port()) +
               R"(,"site":"Hala","bus":"Kort 1"})";
    }

    // The event loop run as the program runs it (QTest's wait sleeps between its turns, which
    // would pace the socket's reading rather than the program).
    template <class Pred>
    static bool spinUntil(Pred done, int ms)
    {
        QEventLoop loop;
        QTimer check;
        QObject::connect(&check, &QTimer::timeout, &loop, [&] {
            if (done())
                loop.quit();
        });
        check.start(5);
        QTimer::singleShot(ms, &loop, &QEventLoop::quit);
        loop.exec();
        return done();
    }
    static std::string topic(const char* rest) { return std::string(Base) + rest; }
    bool seen(const std::string& t, const std::string& payload, int ms = 3000)
    {
        return waitFor([&] { return watch->last(t) == payload; }, ms);
    }
    // Publishes a command and waits for its answer.
    QJsonObject command(const std::string& payload)
    {
        const size_t before = watch->count(topic("cmd/result"));
        watch->publish(topic("cmd"), payload);
        if (!waitFor([&] { return watch->count(topic("cmd/result")) > before; }))
            return {};
        return QJsonDocument::fromJson(QByteArray::fromStdString(watch->last(topic("cmd/result")))).object();
    }
    std::string tickFrame(size_t length)
    {
        form->TimerTimer();
        return toHex(sent(length));
    }

    std::unique_ptr<MosquittoBroker> broker;
    std::unique_ptr<BrokerWatch> watch;
};

TEST_F(MqttWindowTest, RetainedTopicsFollowTheWindow)
{
    ASSERT_TRUE(seen(topic("status"), "online")) << broker->log();
    bus->write(status(1, 0x12, 0x34, 0x0339));
    ASSERT_TRUE(waitFor([&] { return form->Clocks[1].czas->text() == QStringLiteral("12:34"); }));
    EXPECT_TRUE(seen(topic("clock/1/time"), "12:34"));
    EXPECT_TRUE(seen(topic("clock/1/voltage"), "12.28"));
    EXPECT_TRUE(seen(topic("clock/1/availability"), "online"));
    EXPECT_TRUE(seen(topic("state"), RemoteApi::stateJson(form->panelView()).toStdString()));

    // Someone who comes later reads the same from what the broker keeps.
    BrokerWatch late(broker->port());
    const struct {
        const char* topic;
        std::string payload;
    } cases[] = {
        {"status", "online"},
        {"state", RemoteApi::stateJson(form->panelView()).toStdString()},
        {"clock/1/time", "12:34"},
        {"clock/1/voltage", "12.28"},
        {"clock/1/mode", "Stoper"},
        {"clock/1/active", "true"},
        {"clock/1/silent", "false"},
    };
    for (const auto& c : cases) {
        EXPECT_TRUE(waitFor([&] { return late.last(topic(c.topic)) == c.payload; })) << c.topic << ": " << late.last(topic(c.topic));
    }
    for (const BrokerWatch::Message& m : late.messages())
        EXPECT_TRUE(m.retained) << m.topic;

    // Unanswered polls: the clocks go silent and their availability goes offline, the
    // program's own status stays online.
    for (int i = 0; i < 16; ++i) {
        form->TimerTimer();
        bus->drain(std::chrono::milliseconds(5));
    }
    EXPECT_TRUE(seen(topic("clock/2/silent"), "true"));
    EXPECT_TRUE(seen(topic("clock/2/availability"), "offline"));
    EXPECT_EQ(watch->last(topic("status")), "online");
}

// Each command from the broker puts on the bus the very bytes of the window's own controls.
TEST_F(MqttWindowTest, CommandsPutTheButtonsOwnFramesOnTheBus)
{
    ASSERT_TRUE(seen(topic("status"), "online"));
    TForm1& w = *form;
    const auto preset10 = [&w] {
        for (QPushButton* b : w.PresetButtons)
            if (b->text() == QStringLiteral("10 m"))
                b->click();
    };
    const struct {
        const char* payload;
        std::string frame;
        std::function<void()> byHand;
    } cases[] = {
        {R"({"command":"start","client":"ha"})", "5A 00 01 01 5C", [&w] { w.Button3->click(); }},
        {R"({"command":"stop","target":3})", "5A 03 01 02 60", [&w] { w.TargetButtons[3]->click(); w.Button4->click(); }},
        {R"({"command":"set","minutes":"7","seconds":"75"})", "5A 03 03 03 07 59 C3",
         [&w] {
             w.Medit->setText(QStringLiteral("7"));
             w.MeditExit();
             w.Sedit->setText(QStringLiteral("75"));
             w.SeditExit();
             w.Button5->click();
         }},
        {R"({"command":"preset","minutes":10,"target":"W"})", "5A 00 03 03 10 00 70",
         [&w, preset10] { w.Z1_4->click(); preset10(); }},
        {R"({"command":"zero"})", "5A 00 03 03 00 00 60", [&w] { w.Button11->click(); }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.payload);
        const QJsonObject result = command(c.payload);
        EXPECT_EQ(QJsonDocument(result).toJson(QJsonDocument::Compact), RemoteApi::okJson());
        const size_t length = fromHex(c.frame).size();
        const std::string fromBroker = tickFrame(length);
        c.byHand();
        const std::string fromButton = tickFrame(length);
        EXPECT_EQ(fromBroker, fromButton);
        EXPECT_EQ(fromBroker, c.frame);
    }
}

// A clock's own controls from the broker: the next poll of that clock is the one the window's
// own control gives, and the retained topics follow.
TEST_F(MqttWindowTest, ClockControlsFromTheBrokerAreThePanelsOwn)
{
    ASSERT_TRUE(seen(topic("status"), "online"));
    TForm1& w = *form;
    const struct {
        const char* payload;
        const char* topic;
        const char* shown;
        std::function<void()> byHand;
        std::function<void()> undo;
    } cases[] = {
        {R"({"command":"mode","clock":1,"mode":"RTC"})", "clock/1/mode", "RTC", [&w] { w.Clocks[1].btnZ->click(); },
         [&w] { w.Clocks[1].btnS->click(); }},
        {R"({"command":"display","clock":1,"on":false})", "clock/1/display", "OFF", [&w] { w.Clocks[1].wbox->click(); },
         [&w] { w.Clocks[1].wbox->click(); }},
        {R"({"command":"brightness","clock":1,"value":1})", "clock/1/brightness", "1",
         [&w] { w.Clocks[1].jasnosc->setValue(1); }, [&w] { w.Clocks[1].jasnosc->setValue(3); }},
    };
    // The poll of clock 1: ticks until the frame addressed to it.
    const auto pollOfClock1 = [this] {
        for (int i = 0; i < 8; ++i) {
            form->TimerTimer();
            const ByteString f = sent(3);
            if (f.size() == 3 && static_cast<uint8_t>(f[1]) == 1) {
                const ByteString rest = sent(static_cast<uint8_t>(f[2]) + 1);
                bus->drain(std::chrono::milliseconds(5));
                return toHex(f + rest);
            }
            bus->drain(std::chrono::milliseconds(5));
        }
        return std::string();
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.payload);
        const std::string before = pollOfClock1();
        const QJsonObject result = command(c.payload);
        EXPECT_EQ(QJsonDocument(result).toJson(QJsonDocument::Compact), RemoteApi::okJson());
        EXPECT_TRUE(seen(topic(c.topic), c.shown));
        const std::string fromBroker = pollOfClock1();
        c.undo();
        EXPECT_EQ(pollOfClock1(), before);
        c.byHand();
        EXPECT_EQ(pollOfClock1(), fromBroker);
        EXPECT_NE(fromBroker, before);
        c.undo();
    }
    w.Clocks[2].boxActiv->click();
    EXPECT_EQ(command(R"({"command":"mode","clock":2,"mode":"RTC"})").value("error").toString(), QStringLiteral("bad_input"));
}

TEST_F(MqttWindowTest, BadCommandsAreRefusedOnResultAndNothingIsQueued)
{
    ASSERT_TRUE(seen(topic("status"), "online"));
    const struct {
        std::string payload;
        const char* error;
    } cases[] = {
        {"to nie JSON", "bad_json"},
        {"[1,2]", "bad_json"},
        {R"({"target":2})", "missing_command"},
        {R"({"command":"jump"})", "unknown_command"},
        {R"({"command":"start","target":5})", "bad_target"},
        {R"({"command":"start","target":-1})", "bad_target"},
        {R"({"command":"preset","minutes":7})", "bad_input"},
        {R"({"command":"set","minutes":"123"})", "bad_input"},
        {R"({"command":"start","extra":1})", "unknown_field"},
        {std::string(1024 * 1024, 'x'), "body_too_large"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.payload.substr(0, 40));
        const QJsonObject r = command(c.payload);
        EXPECT_FALSE(r.value("ok").toBool(true));
        EXPECT_EQ(r.value("error").toString(), QLatin1String(c.error));
        EXPECT_FALSE(r.value("message").toString().isEmpty());
        EXPECT_EQ(form->Link.PendingCommand, 0);
    }
    // The next frame is a clock's poll, not a command.
    form->TimerTimer();
    const ByteString frame = sent(5);
    ASSERT_EQ(frame.size(), 5u);
    EXPECT_EQ(static_cast<uint8_t>(frame[3]), 0xE0) << toHex(frame);
}

// A burst of a thousand: each answered, those past the second's allowance refused, the window
// still serving its own tick.
TEST_F(MqttWindowTest, AFloodOfCommandsIsBoundedAndAnswered)
{
    ASSERT_TRUE(seen(topic("status"), "online"));
    for (int i = 0; i < 1000; ++i)
        watch->publish(topic("cmd"), R"({"command":"target","target":2})");
    ASSERT_TRUE(spinUntil([&] { return watch->count(topic("cmd/result")) == 1000; }, 20000))
        << watch->count(topic("cmd/result"));
    size_t done = 0, refused = 0;
    for (const BrokerWatch::Message& m : watch->messages()) {
        if (m.topic != topic("cmd/result"))
            continue;
        done += m.payload == RemoteApi::okJson().toStdString();
        refused += m.payload.find("\"too_many\"") != std::string::npos;
    }
    EXPECT_EQ(done + refused, 1000u);
    EXPECT_LE(done, 20u * 11);   // one second's allowance for each second the burst could span
    EXPECT_GE(done, 20u);
    EXPECT_TRUE(form->TargetButtons[2]->isChecked());
    form->TimerTimer();
    EXPECT_EQ(sent(5).size(), 5u);
}

// Home Assistant's discovery: sent again when it announces itself, an inactive clock's
// entities emptied, everything emptied and the status offline when the link is switched off.
TEST_F(MqttWindowTest, DiscoveryFollowsHomeAssistantTheClocksAndTheSwitch)
{
    const std::string start = "homeassistant/button/kadrel_hala_kort-1/start/config";
    const std::string time3 = "homeassistant/sensor/kadrel_hala_kort-1/clock3_time/config";
    ASSERT_TRUE(waitFor([&] { return !watch->last(time3).empty(); })) << broker->log();
    const size_t sentOnce = watch->count(start);
    watch->publish("homeassistant/status", "online");
    EXPECT_TRUE(waitFor([&] { return watch->count(start) > sentOnce; }));

    form->Clocks[3].boxActiv->click();
    EXPECT_TRUE(waitFor([&] { return watch->has(time3) && watch->last(time3).empty(); }));
    EXPECT_FALSE(watch->last("homeassistant/sensor/kadrel_hala_kort-1/clock1_time/config").empty());

    MqttSettings off = form->Mqtt->settings();
    off.enabled = false;
    EXPECT_EQ(form->Mqtt->apply(off), QString());
    EXPECT_TRUE(seen(topic("status"), "offline"));
    EXPECT_TRUE(waitFor([&] { return watch->last(start).empty(); }));
    EXPECT_TRUE(watch->last("homeassistant/sensor/kadrel_hala_kort-1/clock1_voltage/config").empty());
    EXPECT_EQ(readFile(sandbox.configDir() + "/kadrel/mqtt.json").find("\"enabled\": true"), std::string::npos);
}

// The dialog's "MQTT" tab: a new bus name is stored and the program moves there, Home
// Assistant forgetting the old device; the tab shows the link's state.
TEST_F(MqttWindowTest, TheDialogTabStoresTheSettingsAndMovesTheBus)
{
    const std::string oldStart = "homeassistant/button/kadrel_hala_kort-1/start/config";
    ASSERT_TRUE(waitFor([&] { return !watch->last(oldStart).empty(); }));
    TFZdalne dialog(form.get(), form->Remote, form->Mqtt);
    TMqttTab* tab = dialog.ZakladkaMqtt;
    ASSERT_NE(tab, nullptr);
    EXPECT_EQ(tab->EditMagistrala->text(), QStringLiteral("Kort 1"));
    EXPECT_EQ(tab->LabelTemat->text(), QStringLiteral("kadrel/hala/kort-1/#"));
    EXPECT_TRUE(waitFor([&] { return tab->LabelStan->text() == QStringLiteral("Połączono z brokerem"); }));
    tab->EditMagistrala->setText(QStringLiteral("Kort Główny"));
    EXPECT_EQ(tab->LabelTemat->text(), QStringLiteral("kadrel/hala/kort-glowny/#"));
    // Home Assistant's chatter has come in and waits unread as the link goes (a close with it
    // unread would be a reset, and the broker would drop what the old link said last).
    for (int i = 0; i < 100; ++i)
        watch->publish("homeassistant/status", "offline");
    for (int i = 0; i < 300 && watch->count("homeassistant/status") < 100; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));   // not the event loop
    tab->ButtonZastosuj->click();
    EXPECT_TRUE(seen("kadrel/hala/kort-glowny/status", "online"));
    EXPECT_TRUE(seen(topic("status"), "offline"));
    EXPECT_TRUE(waitFor([&] { return watch->last(oldStart).empty(); }));
    EXPECT_TRUE(waitFor([&] { return !watch->last("homeassistant/button/kadrel_hala_kort-glowny/start/config").empty(); }));
    EXPECT_NE(readFile(sandbox.configDir() + "/kadrel/mqtt.json").find("Kort Główny"), std::string::npos);

    tab->EditPort->setValue(Ser2net::freePort());
    tab->ButtonZastosuj->click();
    EXPECT_TRUE(waitFor([&] { return tab->LabelStan->text().startsWith(QStringLiteral("Brak połączenia z brokerem MQTT")); }))
        << tab->LabelStan->text().toStdString();
}

// A command left retained on the broker from before is not run when the program connects.
class MqttRetainedCommandTest : public MqttWindowTest {
protected:
    void beforeWindow() override
    {
        watch->publish(topic("cmd"), R"({"command":"start"})", true);
        ASSERT_TRUE(waitFor([&] { return watch->has(topic("cmd")); }));
    }
};

TEST_F(MqttRetainedCommandTest, ACommandKeptOnTheBrokerIsNotRun)
{
    ASSERT_TRUE(seen(topic("status"), "online"));
    QTest::qWait(300);
    EXPECT_EQ(form->Link.PendingCommand, 0);
    EXPECT_EQ(watch->count(topic("cmd/result")), 0u);
}

// The broker is not there when the window starts: the tick goes on, and the link comes up by
// itself once the broker does.
class MqttBrokerLateTest : public MqttWindowTest {
protected:
    void beforeWindow() override
    {
        watch.reset();
        broker->stop();
    }
};

TEST_F(MqttBrokerLateTest, TheTickGoesOnAndTheLinkComesUpWithTheBroker)
{
    int frames = 0;
    QObject::connect(form->Traffic, &LinkTraffic::frameSent, form.get(), [&frames] { ++frames; });
    form->Timer->start();
    ASSERT_TRUE(waitFor([&] { return !form->Mqtt->lastError().isEmpty(); }));
    EXPECT_TRUE(form->Mqtt->lastError().startsWith(QStringLiteral("Brak połączenia z brokerem MQTT 127.0.0.1:")))
        << form->Mqtt->lastError().toStdString();
    ASSERT_TRUE(waitFor([&] { return frames >= 5; }, 5000)) << frames;
    EXPECT_FALSE(form->Mqtt->connected());

    ASSERT_TRUE(broker->start()) << broker->log();
    watch = std::make_unique<BrokerWatch>(broker->port());
    EXPECT_TRUE(seen(topic("status"), "online", 10000)) << broker->log();
    EXPECT_TRUE(form->Mqtt->lastError().isEmpty());
    EXPECT_FALSE(watch->last(topic("state")).empty());
    const int before = frames;
    EXPECT_TRUE(waitFor([&] { return frames > before; }));
    form->Timer->stop();
}

// A broker with accounts: a wrong password is told in Polish and tried again after a growing
// wait, never in a tight loop; the right one connects.
class MqttPasswordTest : public MqttWindowTest {
protected:
    std::string brokerConfig() override
    {
        passwords = std::make_unique<TempDir>();
        const std::string path = passwords->file("passwd");
        const std::string cmd = "mosquitto_passwd -b -c " + path + " hala dobre-haslo >/dev/null 2>&1";
        if (std::system(cmd.c_str()) != 0)
            return {};
        return "password_file " + path + "\n";
    }
    std::unique_ptr<BrokerWatch> makeWatch() override
    {
        return std::make_unique<BrokerWatch>(broker->port(), "#", "hala", "dobre-haslo");
    }
    std::string settingsJson() override
    {
        return R"({"enabled":true,"host":"127.0.0.1","port":)" + std::to_string(broker->port()) +
               R"(,"site":"Hala","bus":"Kort 1","user":"hala","password":"złe"})";
    }
    std::unique_ptr<TempDir> passwords;
};

TEST_F(MqttPasswordTest, AWrongPasswordIsToldAndRetriedWithAGrowingWait)
{
    ASSERT_TRUE(waitFor([&] { return form->Mqtt->lastError().contains(QStringLiteral("użytkownika albo hasło")); }))
        << form->Mqtt->lastError().toStdString() << broker->log();
    QTest::qWait(3500);
    // Tries at 0, 1 and 3 s, then not before 7 s.
    const std::string log = broker->log();
    size_t attempts = 0;
    for (size_t at = log.find("not authorised"); at != std::string::npos; at = log.find("not authorised", at + 1))
        ++attempts;
    EXPECT_GE(attempts, 2u) << log;
    EXPECT_LE(attempts, 3u) << log;

    MqttSettings right = form->Mqtt->settings();
    right.user = QStringLiteral("hala");
    right.password = QStringLiteral("dobre-haslo");
    EXPECT_EQ(form->Mqtt->apply(right), QString());
    EXPECT_TRUE(seen(topic("status"), "online", 5000)) << broker->log();
}

// A broker that takes only TLS and an account: the program connects with the CA file that
// signed the broker's certificate and the password; with another CA it says so and retries.
class MqttTlsTest : public MqttWindowTest {
protected:
    std::string brokerConfig() override
    {
        certs = std::make_unique<TempDir>();
        const std::string d = certs->path();
        writeFile(d + "/san.ext", "subjectAltName=IP:127.0.0.1\n");
        const std::string ec = " -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes";
        const std::string script =
            "cd " + d + " && openssl req -x509" + ec + " -keyout ca.key -out ca.crt -days 2 -subj /CN=kadrel-test-ca"
            " && openssl req -x509" + ec + " -keyout other.key -out other.crt -days 2 -subj /CN=another-ca"
            " && openssl req" + ec + " -keyout server.key -out server.csr -subj /CN=127.0.0.1"
            " && openssl x509 -req -in server.csr -CA ca.crt -CAkey ca.key -CAcreateserial -out server.crt -days 2"
            " -extfile san.ext && mosquitto_passwd -b -c passwd hala dobre-haslo";
        if (std::system((script + " >/dev/null 2>&1").c_str()) != 0)
            return {};
        return "password_file " + d + "/passwd\ncafile " + d + "/ca.crt\ncertfile " + d + "/server.crt\nkeyfile " + d +
               "/server.key\n";
    }
    std::unique_ptr<BrokerWatch> makeWatch() override
    {
        return std::make_unique<BrokerWatch>(broker->port(), "#", "hala", "dobre-haslo", certs->file("ca.crt"));
    }
    std::string settingsJson() override
    {
        return R"({"enabled":true,"host":"127.0.0.1","port":)" + std::to_string(broker->port()) +
               R"(,"site":"Hala","bus":"Kort 1","tls":true,"caFile":")" + certs->file("ca.crt") +
               R"(","user":"hala","password":"dobre-haslo"})";
    }
    std::unique_ptr<TempDir> certs;
};

TEST_F(MqttTlsTest, ConnectsWithTheRightCaAndSaysSoForAnother)
{
    ASSERT_TRUE(seen(topic("status"), "online", 5000)) << form->Mqtt->lastError().toStdString() << broker->log();
    MqttSettings other = form->Mqtt->settings();
    other.caFile = QString::fromStdString(certs->file("other.crt"));
    EXPECT_EQ(form->Mqtt->apply(other), QString());
    // What OpenSSL said, whichever way the release's libmosquitto reports the refused handshake.
    EXPECT_TRUE(waitFor([&] {
        return form->Mqtt->lastError().contains(QStringLiteral("błąd TLS: certyfikat brokera nie przeszedł weryfikacji"));
    }, 5000)) << form->Mqtt->lastError().toStdString();
    EXPECT_FALSE(form->Mqtt->connected());
}

} // namespace
