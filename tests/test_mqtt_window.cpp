// needs: qt
// uses: mosquitto
// The window on a pseudo-terminal and a real Mosquitto on loopback: each command's frame against
// the window's own control's, refusals on cmd/result, Home Assistant's discovery, the dialog's
// tab, a wrong password and a foreign CA.
#include <QEventLoop>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QSlider>
#include <QSpinBox>
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
const std::string Ok = RemoteApi::okJson().toStdString();

// The broker, its outside client and the window's settings; the fixtures below change them.
struct BrokerSetup {
    std::string config;  // more lines for mosquitto.conf
    std::string user, password, caFile;
    std::string settings;  // more fields for mqtt.json
};

class MqttWindowTest : public ConnectedWindowTest {
protected:
    void SetUp() override
    {
        if (!MosquittoBroker::installed())
            GTEST_SKIP() << "mosquitto is not installed (Debian package mosquitto)";
        const BrokerSetup s = setup();
        broker = std::make_unique<MosquittoBroker>(s.config);
        ASSERT_TRUE(broker->ok()) << broker->log();
        watch = std::make_unique<BrokerWatch>(broker->port(), "#", s.user, s.password, s.caFile);
        writeFile(sandbox.configDir() + "/kadrel/mqtt.json",
                  R"({"enabled":true,"host":"127.0.0.1","port":)" + std::to_string(broker->port())
                      + R"(,"site":"Hala","bus":"Kort 1")" + s.settings + "}");
        ConnectedWindowTest::SetUp();
    }
    void TearDown() override
    {
        ConnectedWindowTest::TearDown();
        watch.reset();
        broker.reset();
    }
    virtual BrokerSetup setup() { return {}; }

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
    static std::string compact(const QJsonObject& o)
    {
        return QJsonDocument(o).toJson(QJsonDocument::Compact).toStdString();
    }
    // The frames of the next ticks, until one to `address` (any with -1): that one, whole.
    std::string nextFrame(int address = -1)
    {
        for (int i = 0; i < 8; ++i) {
            form->TimerTimer();
            const ByteString head = sent(3);
            const ByteString frame = head.size() == 3 ? head + sent(static_cast<uint8_t>(head[2]) + 1) : head;
            bus->drain(std::chrono::milliseconds(5));
            if (address < 0 || (frame.size() > 1 && static_cast<uint8_t>(frame[1]) == address))
                return toHex(frame);
        }
        return {};
    }

    std::unique_ptr<MosquittoBroker> broker;
    std::unique_ptr<BrokerWatch> watch;
};

// Each command from the broker puts on the bus the very bytes of the window's own controls:
// the stopwatch's commands, and a clock's own controls in that clock's next poll.
TEST_F(MqttWindowTest, CommandsPutTheControlsOwnFramesOnTheBus)
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
        int address;        // -1: the command's own frame; else that clock's poll
        const char* frame;  // the command's frame, when known
        std::function<void()> byHand;
        std::function<void()> undo;  // a clock's control put back
    } cases[] = {
        {R"({"command":"start","client":"ha"})", -1, "5A 00 01 01 5C", [&w] { w.Button3->click(); }, {}},
        {R"({"command":"stop","target":3})",
         -1,
         "5A 03 01 02 60",
         [&w] {
             w.TargetButtons[3]->click();
             w.Button4->click();
         },
         {}},
        {R"({"command":"set","minutes":"7","seconds":"75"})",
         -1,
         "5A 03 03 03 07 59 C3",
         [&w] {
             w.Medit->setText(QStringLiteral("7"));
             w.MeditExit();
             w.Sedit->setText(QStringLiteral("75"));
             w.SeditExit();
             w.Button5->click();
         },
         {}},
        {R"({"command":"preset","minutes":10,"target":"W"})",
         -1,
         "5A 00 03 03 10 00 70",
         [&w, preset10] {
             w.Z1_4->click();
             preset10();
         },
         {}},
        {R"({"command":"zero"})", -1, "5A 00 03 03 00 00 60", [&w] { w.Button11->click(); }, {}},
        {R"({"command":"mode","clock":1,"mode":"RTC"})", 1, nullptr, [&w] { w.Clocks[1].btnZ->click(); },
         [&w] { w.Clocks[1].btnS->click(); }},
        {R"({"command":"display","clock":1,"on":false})", 1, nullptr, [&w] { w.Clocks[1].wbox->click(); },
         [&w] { w.Clocks[1].wbox->click(); }},
        {R"({"command":"brightness","clock":1,"value":1})", 1, nullptr, [&w] { w.Clocks[1].jasnosc->setValue(1); },
         [&w] { w.Clocks[1].jasnosc->setValue(3); }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.payload);
        const std::string before = c.address > 0 ? nextFrame(c.address) : std::string();
        EXPECT_EQ(compact(command(c.payload)), Ok);
        const std::string fromBroker = nextFrame(c.address);
        if (c.undo) {
            c.undo();
            EXPECT_EQ(nextFrame(c.address), before);
            EXPECT_NE(fromBroker, before);
        }
        c.byHand();
        EXPECT_EQ(nextFrame(c.address), fromBroker);
        if (c.frame) {
            EXPECT_EQ(fromBroker, c.frame);
        }
        if (c.undo)
            c.undo();
    }
    // The retained topics follow a clock's control, and an inactive clock's are refused.
    EXPECT_EQ(compact(command(R"({"command":"mode","clock":1,"mode":"RTC"})")), Ok);
    EXPECT_TRUE(seen(topic("clock/1/mode"), "RTC"));
    w.Clocks[2].boxActiv->click();
    EXPECT_EQ(command(R"({"command":"mode","clock":2,"mode":"RTC"})").value("error").toString(), QStringLiteral("bad_input"));
}

// Refused on cmd/result, nothing queued; a command left retained on the broker from before is
// not run when the program connects, and not answered.
TEST_F(MqttWindowTest, BadCommandsAreRefusedOnResultAndNothingIsQueued)
{
    ASSERT_TRUE(seen(topic("status"), "online"));
    watch->publish(topic("cmd"), R"({"command":"target","target":3})", true);
    // Heard as it came, it is run.
    ASSERT_TRUE(waitFor([&] { return form->TargetButtons[3]->isChecked() && watch->count(topic("cmd/result")) == 1; }));
    form->Z1_4->click();
    watch->clear();
    EXPECT_EQ(form->Mqtt->apply(form->Mqtt->settings()), QString());  // connects again: the broker hands it over
    ASSERT_TRUE(seen(topic("status"), "online"));
    QTest::qWait(300);
    EXPECT_TRUE(form->Z1_4->isChecked());
    EXPECT_EQ(watch->count(topic("cmd/result")), 0u);
    const std::pair<std::string, const char*> cases[] = {
        {"to nie JSON", "bad_json"},
        {"[1,2]", "bad_json"},
        {R"({"target":2})", "missing_command"},
        {R"({"command":"jump"})", "unknown_command"},
        {R"({"command":"start","target":5})", "bad_target"},
        {R"({"command":"preset","minutes":7})", "bad_input"},
        {R"({"command":"set","minutes":"123"})", "bad_input"},
        {R"({"command":"start","extra":1})", "unknown_field"},
        {std::string(1024 * 1024, 'x'), "body_too_large"},
    };
    for (const auto& [payload, error] : cases) {
        SCOPED_TRACE(payload.substr(0, 40));
        const QJsonObject r = command(payload);
        EXPECT_FALSE(r.value("ok").toBool(true));
        EXPECT_EQ(r.value("error").toString(), QLatin1String(error));
        EXPECT_FALSE(r.value("message").toString().isEmpty());
        EXPECT_EQ(form->Link.PendingCommand, 0);
    }
}

// A burst of a thousand: each answered, those past the second's allowance refused, the window
// still serving its own tick.
TEST_F(MqttWindowTest, AFloodOfCommandsIsBoundedAndAnswered)
{
    ASSERT_TRUE(seen(topic("status"), "online"));
    for (int i = 0; i < 1000; ++i)
        watch->publish(topic("cmd"), R"({"command":"target","target":2})");
    // The event loop run as the program runs it (QTest's wait sleeps between its turns, which
    // would pace the socket's reading rather than the program).
    QEventLoop loop;
    QTimer check;
    QObject::connect(&check, &QTimer::timeout, &loop, [&] {
        if (watch->count(topic("cmd/result")) == 1000)
            loop.quit();
    });
    check.start(5);
    QTimer::singleShot(20000, &loop, &QEventLoop::quit);
    loop.exec();
    size_t done = 0, refused = 0;
    for (const BrokerWatch::Message& m : watch->messages()) {
        done += m.topic == topic("cmd/result") && m.payload == Ok;
        refused += m.topic == topic("cmd/result") && m.payload.find("\"too_many\"") != std::string::npos;
    }
    EXPECT_EQ(done + refused, 1000u);
    EXPECT_LE(done, 20u * 11);   // one second's allowance for each second the burst could span
    EXPECT_GE(done, 20u);
    EXPECT_TRUE(form->TargetButtons[2]->isChecked());
    EXPECT_EQ(fromHex(nextFrame()).size(), 5u);
}

// Home Assistant's discovery: sent again when it announces itself, an inactive clock's
// entities emptied, everything emptied and the status offline when the link is switched off.
TEST_F(MqttWindowTest, DiscoveryFollowsHomeAssistantTheClocksAndTheSwitch)
{
    const std::string at = "homeassistant/sensor/kadrel_hala_kort-1/";
    const std::string start = "homeassistant/button/kadrel_hala_kort-1/start/config";
    ASSERT_TRUE(waitFor([&] { return !watch->last(at + "clock3_time/config").empty(); })) << broker->log();
    const size_t sentOnce = watch->count(start);
    watch->publish("homeassistant/status", "online");
    EXPECT_TRUE(waitFor([&] { return watch->count(start) > sentOnce; }));

    form->Clocks[3].boxActiv->click();
    EXPECT_TRUE(waitFor(
        [&] { return watch->has(at + "clock3_time/config") && watch->last(at + "clock3_time/config").empty(); }));
    EXPECT_FALSE(watch->last(at + "clock1_time/config").empty());

    MqttSettings off = form->Mqtt->settings();
    off.enabled = false;
    EXPECT_EQ(form->Mqtt->apply(off), QString());
    EXPECT_TRUE(seen(topic("status"), "offline"));
    EXPECT_TRUE(
        waitFor([&] { return watch->last(start).empty() && watch->last(at + "clock1_voltage/config").empty(); }));
    EXPECT_EQ(readFile(sandbox.configDir() + "/kadrel/mqtt.json").find("\"enabled\": true"), std::string::npos);
}

// The dialog's "MQTT" tab: a new bus name is stored and the program moves there, Home
// Assistant forgetting the old device and the broker the old place; the tab shows the link's
// state.
TEST_F(MqttWindowTest, TheDialogTabStoresTheSettingsAndMovesTheBus)
{
    const std::string oldStart = "homeassistant/button/kadrel_hala_kort-1/start/config";
    ASSERT_TRUE(waitFor([&] { return !watch->last(oldStart).empty(); }));
    TFZdalne dialog(form.get(), form->Remote, form->Mqtt);
    TMqttTab* tab = dialog.ZakladkaMqtt;
    ASSERT_NE(tab, nullptr);
    EXPECT_EQ(tab->EditMagistrala->text(), QStringLiteral("Kort 1"));
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
    // The old place is emptied: no view page of the site shows a bus that is no more.
    const std::string lastRemoved = "homeassistant/switch/kadrel_hala_kort-1/clock4_display/config";
    for (const std::string& t : {oldStart, lastRemoved, topic("state"), topic("clock/1/mode"), topic("status")})
        EXPECT_TRUE(waitFor([&] { return watch->has(t) && watch->last(t).empty(); })) << t << ": " << watch->last(t);
    EXPECT_TRUE(waitFor([&] { return !watch->last("homeassistant/button/kadrel_hala_kort-glowny/start/config").empty(); }));
    EXPECT_NE(readFile(sandbox.configDir() + "/kadrel/mqtt.json").find("Kort Główny"), std::string::npos);

    tab->EditPort->setValue(Ser2net::freePort());
    tab->ButtonZastosuj->click();
    EXPECT_TRUE(waitFor([&] { return tab->LabelStan->text().startsWith(QStringLiteral("Brak połączenia z brokerem MQTT")); }))
        << tab->LabelStan->text().toStdString();
}

// A broker that takes only TLS and an account. A wrong password is told in Polish and tried
// again after a growing wait, never in a tight loop; the right one connects with the CA file
// that signed the broker's certificate; with another CA it says so.
class MqttTlsTest : public MqttWindowTest {
protected:
    BrokerSetup setup() override
    {
        const std::string d = certs.path();
        writeFile(d + "/san.ext", "subjectAltName=IP:127.0.0.1\n");
        const std::string ec = " -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes";
        const std::string script = "cd " + d + " && openssl req -x509" + ec
            + " -keyout ca.key -out ca.crt -days 2 -subj /CN=kadrel-test-ca"
              " && openssl req -x509"
            + ec
            + " -keyout other.key -out other.crt -days 2 -subj /CN=another-ca"
              " && openssl req"
            + ec
            + " -keyout server.key -out server.csr -subj /CN=127.0.0.1"
              " && openssl x509 -req -in server.csr -CA ca.crt -CAkey ca.key -CAcreateserial -out server.crt -days 2"
              " -extfile san.ext && mosquitto_passwd -b -c passwd hala dobre-haslo";
        if (std::system((script + " >/dev/null 2>&1").c_str()) != 0)
            return {};
        return {"password_file " + d + "/passwd\ncafile " + d + "/ca.crt\ncertfile " + d + "/server.crt\nkeyfile " + d
                    + "/server.key\n",
                "hala", "dobre-haslo", d + "/ca.crt",
                R"(,"tls":true,"caFile":")" + d + R"(/ca.crt","user":"hala","password":"złe")"};
    }
    TempDir certs;
};

TEST_F(MqttTlsTest, APasswordAndTheBrokersCaAreCheckedAndToldInPolish)
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

    MqttSettings s = form->Mqtt->settings();
    s.password = QStringLiteral("dobre-haslo");
    EXPECT_EQ(form->Mqtt->apply(s), QString());
    EXPECT_TRUE(seen(topic("status"), "online", 5000)) << form->Mqtt->lastError().toStdString() << broker->log();

    s.caFile = QString::fromStdString(certs.file("other.crt"));
    EXPECT_EQ(form->Mqtt->apply(s), QString());
    // What OpenSSL said, whichever way the release's libmosquitto reports the refused handshake.
    EXPECT_TRUE(waitFor([&] {
        return form->Mqtt->lastError().contains(QStringLiteral("błąd TLS: certyfikat brokera nie przeszedł weryfikacji"));
    }, 5000)) << form->Mqtt->lastError().toStdString();
    EXPECT_FALSE(form->Mqtt->connected());
}

} // namespace
