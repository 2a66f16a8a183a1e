// needs: qt
// What the broker link names, sends and takes, apart from any broker: the names made topic-safe,
// each clock's retained topics, Home Assistant's discovery configs, the clocks' own commands,
// the site's other buses, and the settings file.
#include <gtest/gtest.h>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <sys/stat.h>

#include "mqtt/MqttCampus.h"
#include "mqtt/MqttSettings.h"
#include "mqtt/MqttTopics.h"
#include "remote/RemoteApi.h"
#include "tests/support/TempDir.h"

namespace {

TEST(MqttTopics, NamesBecomeOneSafeTopicLevel)
{
    const std::pair<const char*, const char*> cases[] = {
        {"Hala Główna", "hala-glowna"},
        {"Sala/1", "sala-1"},
        {"kort+#", "kort"},
        {"ŁÓDŹ Żółć", "lodz-zolc"},
        {"  ", "fallback"},
        {"/+/#", "fallback"},
        {"Бассейн 2", "2"},
        {"a__b", "a__b"},
    };
    for (const auto& [name, level] : cases)
        EXPECT_EQ(MqttTopics::safeLevel(QString::fromUtf8(name), QStringLiteral("fallback")), QLatin1String(level))
            << name;
    EXPECT_EQ(MqttTopics::base(QStringLiteral("Szkoła"), QStringLiteral("")), "kadrel/szkola/bus/");
}

// A clock answers while the port is open, it is polled and it has not gone silent.
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
        v.voltage = QStringLiteral("12,28 V");
        QHash<QByteArray, QByteArray> got;
        for (const MqttTopics::Retained& r : MqttTopics::clockTopics("kadrel/s/b/", v, c.connected))
            got.insert(r.topic, r.payload);
        EXPECT_EQ(got.value("kadrel/s/b/clock/2/availability"), c.availability);
        EXPECT_EQ(got.value("kadrel/s/b/clock/2/voltage"), "12.28");
    }
    EXPECT_EQ(MqttTopics::voltageValue(QString()), QByteArray());
}

// A config's field by its path: "device.model", "availability.1.topic", "options.0".
QJsonValue field(const QJsonObject& config, const QString& path)
{
    QJsonValue v = config;
    for (const QString& part : path.split(QLatin1Char('.'))) {
        bool index = false;
        const int n = part.toInt(&index);
        v = index ? v.toArray().at(n) : v.toObject().value(part);
    }
    return v;
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
    const struct {
        const char* entity;  // COMPONENT/OBJECT
        const char* field;
        QJsonValue value;
    } cases[] = {
        {"button/start", "payload_press", R"({"command":"start"})"},
        {"button/stop", "payload_press", R"({"command":"stop"})"},
        {"button/zero", "name", "ZERUJ"},
        {"button/zero", "command_topic", "kadrel/hala/kort-2/cmd"},
        {"button/zero", "availability.0.topic", "kadrel/hala/kort-2/status"},
        {"select/preset", "command_template", R"({"command":"preset","minutes":"{{ value }}"})"},
        {"select/preset", "options.9", "60"},
        {"sensor/clock1_time", "state_topic", "kadrel/hala/kort-2/clock/1/time"},
        {"sensor/clock1_voltage", "unit_of_measurement", "V"},
        {"sensor/clock1_voltage", "device_class", "voltage"},
        {"sensor/clock3_link", "unit_of_measurement", "%"},
        {"sensor/clock3_link", "unique_id", "kadrel_hala_kort-2_clock3_link"},
        {"sensor/clock3_time", "availability_mode", "all"},
        {"sensor/clock3_time", "availability.0.topic", "kadrel/hala/kort-2/status"},
        {"sensor/clock3_time", "availability.1.topic", "kadrel/hala/kort-2/clock/3/availability"},
        {"sensor/clock3_time", "device.model", "Kadrel"},
        {"sensor/clock3_time", "device.sw_version", "2.6.0"},
        {"sensor/clock3_time", "device.name", "Kadrel Hala Kort 2"},
        {"sensor/clock3_time", "device.identifiers.0", "kadrel_hala_kort-2"},
        {"select/clock1_mode", "command_template", R"({"command":"mode","clock":1,"mode":"{{ value }}"})"},
        {"select/clock1_mode", "options.1", "Stoper"},
        {"select/clock3_mode", "state_topic", "kadrel/hala/kort-2/clock/3/mode"},
        {"number/clock3_brightness", "command_template",
         R"({"command":"brightness","clock":3,"value":{{ value | int }}})"},
        {"number/clock1_brightness", "state_topic", "kadrel/hala/kort-2/clock/1/brightness"},
        {"number/clock1_brightness", "min", 0},
        {"number/clock1_brightness", "max", 3},
        {"switch/clock1_display", "payload_on", R"({"command":"display","clock":1,"on":true})"},
        {"switch/clock3_display", "payload_off", R"({"command":"display","clock":3,"on":false})"},
        {"switch/clock3_display", "state_off", "OFF"},
    };
    for (const auto& c : cases) {
        const QString entity = QString::fromLatin1(c.entity);
        const QByteArray topic = "homeassistant/" + entity.section(QLatin1Char('/'), 0, 0).toLatin1()
            + "/kadrel_hala_kort-2/" + entity.section(QLatin1Char('/'), 1).toLatin1() + "/config";
        ASSERT_TRUE(got.contains(topic)) << topic.toStdString();
        EXPECT_EQ(field(got[topic], QLatin1String(c.field)), c.value) << c.entity << " " << c.field;
    }
    // The bus's four and six for each active clock; the inactive clocks' six each emptied.
    EXPECT_EQ(got.size(), 4 + 2 * 6);
    EXPECT_EQ(empty.size(), 2 * 6);
    EXPECT_TRUE(empty.contains("homeassistant/sensor/kadrel_hala_kort-2/clock2_voltage/config"));
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

// The other buses of the site, from what anyone on the broker may publish: what the view page
// gets is each field checked alone, in bounds, and nothing of this bus's own or another site's.
TEST(MqttCampus, TakesOnlyWhatAnotherBusOfTheSiteWouldSay)
{
    const QByteArray good = R"({"connection":{"connected":true},"clocks":[{"number":1,"name":"Zegar 1","active":true,)"
                            R"("time":"12:34","negative":false},{"number":2,"name":"Zegar 2","active":false,"time":"1:00"}]})";
    const QByteArray huge = good.chopped(1) + ",\"pad\":\"" + QByteArray(1024 * 1024, 'x') + "\"}";   // parses
    const QByteArray five = R"({"clocks":[{"number":1,"active":true},{"number":2,"active":true},{"number":3,"active":true},)"
                            R"({"number":4,"active":true},{"number":4,"active":true}]})";
    const QByteArray marks = R"({"clocks":[{"number":7,"active":true,"time":"1:00"},{"number":3,"active":true,)"
                             R"("name":"A\u0007B<script>","time":"<b>12:34</b>"}]})";
    using Heard = std::pair<const char*, QByteArray>;
    const struct {
        const char* what;
        std::vector<Heard> messages;
        const char* buses;   // level|name|online|connected|clocks; …
    } cases[] = {
        {"a bus's state", {{"kadrel/hala/kort-2/state", good}}, "kort-2||1|1|1 Zegar 1 12:34"},
        {"its name and status", {{"kadrel/hala/kort-2/state", good}, {"kadrel/hala/kort-2/name", "Kort Dwa"},
                                 {"kadrel/hala/kort-2/status", "offline"}}, "kort-2|Kort Dwa|0|1|1 Zegar 1 12:34"},
        {"this bus's own", {{"kadrel/hala/kort-1/state", good}}, ""},
        {"another site's", {{"kadrel/szkola/kort-2/state", good}}, ""},
        {"a topic of no bus", {{"kadrel/hala/kort-2/clock/1/time", "12:34"}, {"kadrel/hala/kort-2/cmd", good}}, ""},
        {"a level the program does not make", {{"kadrel/hala/Kort 2/state", good}, {"kadrel/hala/-x/state", good}}, ""},
        {"not JSON", {{"kadrel/hala/kort-2/state", "<html>"}}, "kort-2||1|0|"},
        {"a huge state", {{"kadrel/hala/kort-2/state", huge}}, "kort-2||1|0|"},
        {"five clocks", {{"kadrel/hala/kort-2/state", five}}, "kort-2||1|0|"},
        {"clock 7, a control character, markup for a time", {{"kadrel/hala/kort-2/state", marks}}, "kort-2||1|0|3 A B<script> "},
        {"a huge name", {{"kadrel/hala/kort-2/name", QByteArray(300, 'n')}}, "kort-2||1|0|"},
        {"everything taken back", {{"kadrel/hala/kort-2/state", good}, {"kadrel/hala/kort-2/state", {}}}, ""},
        {"a removal of nothing", {{"kadrel/hala/kort-9/status", {}}}, ""},
    };
    for (const auto& c : cases) {
        MqttCampus campus("kadrel/hala/kort-1/");
        for (const auto& [topic, payload] : c.messages)
            campus.take(topic, payload);
        QStringList buses;
        for (const CampusBus& b : campus.buses()) {
            QStringList clocks;
            for (const CampusClock& k : b.clocks)
                clocks << QStringLiteral("%1 %2 %3").arg(k.number).arg(k.name, k.time);
            buses << QStringLiteral("%1|%2|%3|%4|%5").arg(b.level, b.name).arg(b.online).arg(b.connected).arg(clocks.join(QLatin1Char(',')));
        }
        EXPECT_EQ(buses.join(QStringLiteral("; ")).toStdString(), c.buses) << c.what;
    }
    // A flood of buses left on the broker: bounded, and a bus that goes on speaking keeps its place.
    MqttCampus campus("kadrel/hala/kort-1/");
    for (int i = 0; i < 3 * MqttCampus::MaxBuses; ++i) {
        campus.take("kadrel/hala/bus-" + QByteArray::number(1000 + i) + "/state", good);
        campus.take("kadrel/hala/kort-2/state", good);
    }
    const QList<CampusBus> kept = campus.buses();
    ASSERT_EQ(kept.size(), MqttCampus::MaxBuses);
    EXPECT_EQ(kept.constLast().level, QStringLiteral("kort-2"));
    EXPECT_EQ(kept.constFirst().level, QStringLiteral("bus-%1").arg(1000 + 2 * MqttCampus::MaxBuses + 1));
}

// Every field goes to the file and comes back (the file written again from what was read is
// the same file), owner-only: it holds the password.
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
    const std::string first = readFile(dir.file("mqtt.json"));
    const MqttSettings r = MqttSettings::load(path);
    EXPECT_TRUE(r.damage.isEmpty()) << r.damage.toStdString();
    ASSERT_EQ(r.save(path), QString());
    EXPECT_EQ(readFile(dir.file("mqtt.json")), first);
    EXPECT_NE(first.find("tajne hasło"), std::string::npos);
    EXPECT_TRUE(MqttSettings::load(QString::fromStdString(dir.file("none.json"))).damage.isEmpty());
}

// A damaged file is named in one sentence, left as it was, and keeps the link off.
TEST(MqttSettings, DamagedFileIsNamedAndKept)
{
    const std::pair<const char*, const char*> cases[] = {
        {R"({"enabled": true,})", "błąd składni JSON"},
        {R"([1, 2])", "to nie jest obiekt JSON"},
        {R"({"enabled": "tak"})", "„enabled” nie jest wartością true ani false"},
        {R"({"enabled": true, "port": 70000})", "„port” nie jest numerem portu"},
        {R"({"enabled": true, "password": 5})", "„password” nie jest tekstem"},
    };
    TempDir dir;
    const QString path = QString::fromStdString(dir.file("mqtt.json"));
    for (const auto& [content, why] : cases) {
        writeFile(dir.file("mqtt.json"), content);
        const MqttSettings s = MqttSettings::load(path);
        EXPECT_FALSE(s.enabled) << content;
        EXPECT_TRUE(s.damage.startsWith(QStringLiteral("Plik ustawień MQTT ") + path + QStringLiteral(" jest uszkodzony")))
            << s.damage.toStdString();
        EXPECT_TRUE(s.damage.contains(QString::fromUtf8(why))) << s.damage.toStdString();
        EXPECT_TRUE(s.damage.endsWith(QLatin1Char('.')) && !s.damage.contains(QLatin1String(". ")))
            << s.damage.toStdString();
        EXPECT_EQ(readFile(dir.file("mqtt.json")), content);
    }
}

} // namespace
