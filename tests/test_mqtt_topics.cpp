// needs: qt
// What the broker link names and sends, apart from any broker: the names made topic-safe, each
// clock's retained topics, Home Assistant's discovery configs, and the settings file.
#include <gtest/gtest.h>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <sys/stat.h>

#include "mqtt/MqttSettings.h"
#include "mqtt/MqttTopics.h"
#include "remote/RemoteApi.h"
#include "tests/support/TempDir.h"

namespace {

TEST(MqttTopics, NamesBecomeOneSafeTopicLevel)
{
    const struct {
        const char* name;
        const char* level;
    } cases[] = {
        {"Hala Główna", "hala-glowna"},
        {"Sala/1", "sala-1"},
        {"kort+#", "kort"},
        {"ŁÓDŹ Żółć", "lodz-zolc"},
        {"  ", "fallback"},
        {"/+/#", "fallback"},
        {"Бассейн 2", "2"},
        {"a__b", "a__b"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(MqttTopics::safeLevel(QString::fromUtf8(c.name), QStringLiteral("fallback")), QLatin1String(c.level))
            << c.name;
    EXPECT_EQ(MqttTopics::base(QStringLiteral("Szkoła"), QStringLiteral("")), "kadrel/szkola/bus/");
}

TEST(MqttTopics, ClockAvailabilityFollowsThePortTheSwitchAndSilence)
{
    const struct {
        bool connected, active, silent;
        const char* availability;
    } cases[] = {
        {true, true, false, "online"},
        {true, true, true, "offline"},
        {true, false, false, "offline"},
        {false, true, false, "offline"},
    };
    for (const auto& c : cases) {
        ClockView v;
        v.number = 2;
        v.active = c.active;
        v.silent = c.silent;
        v.time = QStringLiteral("-5:30");
        v.voltage = QStringLiteral("12,28 V");
        v.link = 80;
        v.rtc = true;
        QHash<QByteArray, QByteArray> got;
        for (const MqttTopics::Retained& r : MqttTopics::clockTopics("kadrel/s/b/", v, c.connected))
            got.insert(r.topic, r.payload);
        EXPECT_EQ(got.value("kadrel/s/b/clock/2/availability"), c.availability);
        EXPECT_EQ(got.value("kadrel/s/b/clock/2/silent"), c.silent ? "true" : "false");
        EXPECT_EQ(got.value("kadrel/s/b/clock/2/time"), "-5:30");
        EXPECT_EQ(got.value("kadrel/s/b/clock/2/voltage"), "12.28");
        EXPECT_EQ(got.value("kadrel/s/b/clock/2/link"), "80");
        EXPECT_EQ(got.value("kadrel/s/b/clock/2/mode"), "RTC");
    }
    EXPECT_EQ(MqttTopics::voltageValue(QString()), QByteArray());
}

// One bus, clocks 1 and 3 active: every config topic and the fields Home Assistant reads.
TEST(MqttTopics, DiscoveryConfigsForOneBus)
{
    const MqttTopics::Discovery d{QStringLiteral("Hala"), QStringLiteral("Kort 2"), QStringLiteral("2.6.0"),
                                  {true, false, true, false}};
    QHash<QByteArray, QJsonObject> got;
    QList<QByteArray> empty;
    for (const MqttTopics::Retained& r : MqttTopics::discoveryConfigs("kadrel/hala/kort-2/", d)) {
        if (r.payload.isEmpty())
            empty << r.topic;
        else
            got.insert(r.topic, QJsonDocument::fromJson(r.payload).object());
    }
    const QByteArray at = "homeassistant/";
    const QByteArray node = "/kadrel_hala_kort-2/";
    const struct {
        const char* component;
        const char* object;
        const char* field;
        const char* value;
    } cases[] = {
        {"button", "start", "payload_press", R"({"command":"start"})"},
        {"button", "stop", "payload_press", R"({"command":"stop"})"},
        {"button", "zero", "name", "ZERUJ"},
        {"button", "zero", "command_topic", "kadrel/hala/kort-2/cmd"},
        {"select", "preset", "command_template", R"({"command":"preset","minutes":"{{ value }}"})"},
        {"sensor", "clock1_time", "state_topic", "kadrel/hala/kort-2/clock/1/time"},
        {"sensor", "clock1_voltage", "unit_of_measurement", "V"},
        {"sensor", "clock1_voltage", "device_class", "voltage"},
        {"sensor", "clock3_link", "unit_of_measurement", "%"},
        {"sensor", "clock3_link", "unique_id", "kadrel_hala_kort-2_clock3_link"},
        {"sensor", "clock3_time", "availability_mode", "all"},
        {"select", "clock1_mode", "command_template", R"({"command":"mode","clock":1,"mode":"{{ value }}"})"},
        {"select", "clock3_mode", "state_topic", "kadrel/hala/kort-2/clock/3/mode"},
        {"number", "clock3_brightness", "command_template", R"({"command":"brightness","clock":3,"value":{{ value | int }}})"},
        {"number", "clock1_brightness", "state_topic", "kadrel/hala/kort-2/clock/1/brightness"},
        {"switch", "clock1_display", "payload_on", R"({"command":"display","clock":1,"on":true})"},
        {"switch", "clock3_display", "payload_off", R"({"command":"display","clock":3,"on":false})"},
        {"switch", "clock3_display", "state_off", "OFF"},
    };
    for (const auto& c : cases) {
        const QByteArray topic = at + c.component + node + c.object + "/config";
        ASSERT_TRUE(got.contains(topic)) << topic.toStdString();
        EXPECT_EQ(got[topic].value(QLatin1String(c.field)).toString(), QString::fromUtf8(c.value)) << topic.toStdString();
    }
    EXPECT_EQ(got.size(), 4 + 2 * 6);
    // Clocks 2 and 4 are inactive: their entities are removed.
    EXPECT_EQ(empty.size(), 2 * 6);
    const QJsonObject brightness = got[at + "number" + node + "clock1_brightness/config"];
    EXPECT_EQ(brightness.value("min").toInt(-1), 0);
    EXPECT_EQ(brightness.value("max").toInt(), 3);
    EXPECT_EQ(got[at + "select" + node + "clock1_mode/config"].value("options").toArray(),
              QJsonArray({QStringLiteral("RTC"), QStringLiteral("Stoper")}));
    EXPECT_TRUE(empty.contains(at + "sensor" + node + "clock2_voltage/config"));
    const QJsonObject time3 = got[at + "sensor" + node + "clock3_time/config"];
    const QJsonArray availability = time3.value("availability").toArray();
    ASSERT_EQ(availability.size(), 2);
    EXPECT_EQ(availability[0].toObject().value("topic").toString(), QStringLiteral("kadrel/hala/kort-2/status"));
    EXPECT_EQ(availability[1].toObject().value("topic").toString(), QStringLiteral("kadrel/hala/kort-2/clock/3/availability"));
    const QJsonObject device = time3.value("device").toObject();
    EXPECT_EQ(device.value("model").toString(), QStringLiteral("Kadrel"));
    EXPECT_EQ(device.value("sw_version").toString(), QStringLiteral("2.6.0"));
    EXPECT_EQ(device.value("name").toString(), QStringLiteral("Kadrel Hala Kort 2"));
    EXPECT_EQ(device.value("identifiers").toArray().first().toString(), QStringLiteral("kadrel_hala_kort-2"));
    const QJsonArray options = got[at + "select" + node + "preset/config"].value("options").toArray();
    EXPECT_EQ(options.size(), 10);
    EXPECT_EQ(MqttTopics::discoveryRemoval("kadrel/hala/kort-2/").size(), 4 + 4 * 6);
}

TEST(MqttTopics, ClockCommandsAreParsedOrRefused)
{
    using Control = ClockCommand::Control;
    const struct {
        const char* name;
        const char* body;
        const char* code;     // "" when taken
        Control control;
        int clock, value;
    } cases[] = {
        {"mode", R"({"clock":2,"mode":"RTC"})", "", Control::Mode, 2, 1},
        {"mode", R"({"clock":4,"mode":"Stoper"})", "", Control::Mode, 4, 0},
        {"mode", R"({"clock":4,"mode":"rtc"})", "bad_mode", Control::Mode, 0, 0},
        {"display", R"({"clock":1,"on":false})", "", Control::Display, 1, 0},
        {"display", R"({"clock":1,"on":"OFF"})", "bad_display", Control::Display, 0, 0},
        {"brightness", R"({"clock":3,"value":0})", "", Control::Brightness, 3, 0},
        {"brightness", R"({"clock":3,"value":4})", "bad_brightness", Control::Brightness, 0, 0},
        {"brightness", R"({"clock":3,"value":1.5})", "bad_brightness", Control::Brightness, 0, 0},
        {"brightness", R"({"clock":0,"value":1})", "bad_clock", Control::Brightness, 0, 0},
        {"brightness", R"({"clock":5,"value":1})", "bad_clock", Control::Brightness, 0, 0},
        {"brightness", R"({"clock":"1","value":1})", "bad_clock", Control::Brightness, 0, 0},
        {"mode", R"({"clock":1,"mode":"RTC","target":2})", "unknown_field", Control::Mode, 0, 0},
        {"direction", R"({"clock":2,"down":true})", "", Control::Direction, 2, 1},
        {"direction", R"({"clock":2,"down":1})", "bad_direction", Control::Direction, 0, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.body);
        const RemoteApi::ClockParsed p = RemoteApi::parseClockCommand(
            QLatin1String(c.name), QJsonDocument::fromJson(c.body).object());
        EXPECT_TRUE(p.matched);
        EXPECT_EQ(p.error.code, QByteArray(c.code));
        ASSERT_EQ(p.command.has_value(), *c.code == 0);
        if (p.command) {
            EXPECT_EQ(p.command->control, c.control);
            EXPECT_EQ(p.command->clock, c.clock);
            EXPECT_EQ(p.command->value, c.value);
        } else {
            EXPECT_FALSE(p.error.message.isEmpty());
        }
    }
    EXPECT_FALSE(RemoteApi::parseClockCommand(QStringLiteral("start"), {}).matched);
}

TEST(MqttSettings, SavedOwnerOnlyAndReadBack)
{
    TempDir dir;
    const QString path = QString::fromStdString(dir.file("mqtt.json"));
    MqttSettings s;
    s.enabled = true;
    s.host = QStringLiteral("broker.lan");
    s.port = 8883;
    s.tls = true;
    s.caFile = QStringLiteral("/etc/ca.pem");
    s.user = QStringLiteral("hala");
    s.password = QStringLiteral("tajne hasło");
    s.site = QStringLiteral("Szkoła");
    s.bus = QStringLiteral("Sala 1");
    s.discovery = false;
    ASSERT_EQ(s.save(path), QString());
    struct stat st {};
    ASSERT_EQ(::stat(dir.file("mqtt.json").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    const MqttSettings r = MqttSettings::load(path);
    EXPECT_TRUE(r.damage.isEmpty()) << r.damage.toStdString();
    EXPECT_TRUE(r.enabled);
    EXPECT_EQ(r.host, s.host);
    EXPECT_EQ(r.port, 8883);
    EXPECT_TRUE(r.tls);
    EXPECT_EQ(r.caFile, s.caFile);
    EXPECT_EQ(r.password, s.password);
    EXPECT_EQ(r.site, s.site);
    EXPECT_EQ(r.bus, s.bus);
    EXPECT_FALSE(r.discovery);
    EXPECT_TRUE(MqttSettings::load(QString::fromStdString(dir.file("none.json"))).damage.isEmpty());
}

// A damaged file is named in one sentence, left as it was, and keeps the link off.
TEST(MqttSettings, DamagedFileIsNamedAndKept)
{
    const struct {
        const char* content;
        const char* why;
    } cases[] = {
        {R"({"enabled": true,})", "błąd składni JSON"},
        {R"([1, 2])", "to nie jest obiekt JSON"},
        {R"({"enabled": "tak"})", "„enabled” nie jest wartością true ani false"},
        {R"({"enabled": true, "port": 70000})", "„port” nie jest numerem portu"},
        {R"({"enabled": true, "password": 5})", "„password” nie jest tekstem"},
    };
    TempDir dir;
    for (const auto& c : cases) {
        writeFile(dir.file("mqtt.json"), c.content);
        const QString path = QString::fromStdString(dir.file("mqtt.json"));
        const MqttSettings s = MqttSettings::load(path);
        EXPECT_FALSE(s.enabled) << c.content;
        EXPECT_TRUE(s.damage.startsWith(QStringLiteral("Plik ustawień MQTT ") + path + QStringLiteral(" jest uszkodzony")))
            << s.damage.toStdString();
        EXPECT_TRUE(s.damage.contains(QString::fromUtf8(c.why))) << s.damage.toStdString();
        EXPECT_TRUE(s.damage.endsWith(QLatin1Char('.')) && !s.damage.contains(QLatin1String(". ")))
            << s.damage.toStdString();
        EXPECT_EQ(readFile(dir.file("mqtt.json")), c.content);
    }
}

} // namespace
