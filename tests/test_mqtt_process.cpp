// uses: binaries
// uses: mosquitto
// The built program without a screen on the simulator's bus and a real Mosquitto: what a
// subscriber sees, a command from the broker on the bus and in the log, a clock gone silent,
// a broker away at the start and stopped and started again while polling goes on, and the last
// will when the program is killed.
#include <gtest/gtest.h>

#include <signal.h>

#include <algorithm>
#include <thread>

#include "files/SettingsFile.h"
#include "mqtt/MqttCampus.h"
#include "tests/support/KadrelProcess.h"
#include "tests/support/Mosquitto.h"
#include "tests/support/Ser2net.h"
#include "tests/support/SimProcess.h"
#include "tests/support/TempDir.h"

using namespace std::chrono_literals;

namespace {

const std::string Base = "kadrel/szkola/sala-2/";

class MqttProcessTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!MosquittoBroker::installed())
            GTEST_SKIP() << "mosquitto is not installed (Debian package mosquitto)";
        broker = std::make_unique<MosquittoBroker>();
        ASSERT_TRUE(broker->ok()) << broker->log();
        SettingsFile::Values values;
        for (int n = 0; n < 4; ++n) {
            values.clocks[n].name = "Zegar " + std::to_string(n + 1);
            values.clocks[n].active = n < 2;
        }
        values.portIndex = 0;
        values.autoConnect = true;
        writeFile(sandbox.settingsFile(), SettingsFile::build(values));
        writeFile(sandbox.configDir() + "/kadrel/mqtt.json",
                  R"({"enabled":true,"host":"127.0.0.1","port":)" + std::to_string(broker->port()) +
                      R"(,"site":"Szkoła","bus":"Sala 2"})");
    }

    // Waits for the topic's last payload to satisfy `ok`.
    template <class Pred>
    static bool waitTopic(const BrokerWatch& w, const std::string& topic, Pred ok, std::chrono::milliseconds timeout = 8s)
    {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (std::chrono::steady_clock::now() < deadline) {
            if (w.has(topic) && ok(w.last(topic)))
                return true;
            std::this_thread::sleep_for(20ms);
        }
        return false;
    }
    static bool waitTopic(const BrokerWatch& w, const std::string& topic, const char* payload,
                          std::chrono::milliseconds timeout = 8s)
    {
        const std::string wanted = payload;
        return waitTopic(w, topic, [&](const std::string& p) { return p == wanted; }, timeout);
    }
    static size_t polls(const SimProcess& sim)
    {
        const std::string text = readFile(sim.logPath());
        size_t n = 0;
        for (size_t at = text.find("RX 5A"); at != std::string::npos; at = text.find("RX 5A", at + 1))
            ++n;
        return n;
    }

    XdgSandbox sandbox;
    std::unique_ptr<MosquittoBroker> broker;
};

TEST_F(MqttProcessTest, TopicsFollowTheSimulatedBusAndCommandsReachIt)
{
    SimProcess sim({"--no-noise", "--clocks", "1,2", "--volts", "12", "--mute-on-signal", "2"});
    KadrelProcess kadrel({"--headless"});
    BrokerWatch watch(broker->port());
    const auto is = [](const char* wanted) {
        return [w = std::string(wanted)](const std::string& p) { return p == w; };
    };
    const std::pair<std::string, std::function<bool(const std::string&)>> cases[] = {
        {"status", is("online")},
        {"state", [](const std::string& p) { return p.find("\"status\":\"POŁĄCZONY\"") != std::string::npos; }},
        {"clock/1/availability", is("online")},
        {"clock/2/availability", is("online")},
        {"clock/3/availability", is("offline")},
        {"clock/1/voltage", [](const std::string& p) { return p.rfind("12.", 0) == 0 || p.rfind("11.9", 0) == 0; }},
        {"clock/1/link", [](const std::string& p) { return p != "0"; }},
        {"clock/1/mode", is("Stoper")},
        {"clock/3/active", is("false")},
        {"clock/1/time", [](const std::string& p) { return !p.empty(); }},
    };
    for (const auto& [t, ok] : cases)
        EXPECT_TRUE(waitTopic(watch, Base + t, ok)) << t << ": " << watch.last(Base + t) << "\n" << kadrel.output();
    // Someone who comes later reads them from what the broker keeps.
    BrokerWatch late(broker->port());
    for (const auto& [t, ok] : cases) {
        ASSERT_TRUE(waitTopic(late, Base + t, [](const std::string&) { return true; })) << t;
        const std::vector<BrokerWatch::Message> heard = late.messages();
        EXPECT_TRUE(
            std::find_if(heard.begin(), heard.end(), [&](const auto& m) { return m.topic == Base + t; })->retained)
            << t;
    }

    watch.publish(Base + "cmd", R"({"command":"start","target":2,"client":"tablica"})");
    EXPECT_TRUE(waitTopic(watch, Base + "cmd/result", R"({"ok":true})")) << kadrel.output();
    EXPECT_TRUE(SimProcess::waitForText(sim.logPath(), "RX 5A 02 01 01 5E")) << readFile(sim.logPath()).substr(0, 2000);
    EXPECT_TRUE(kadrel.waitForLog(R"(Polecenie MQTT {"command":"start","target":2,"client":"tablica"} od klienta tablica: {"ok":true})"))
        << kadrel.log();

    // A dead clock is not a dead program.
    sim.signal(SIGUSR1);
    EXPECT_TRUE(waitTopic(watch, Base + "clock/2/availability", "offline")) << kadrel.output();
    EXPECT_EQ(watch.last(Base + "status"), "online");
    sim.signal(SIGUSR2);
    EXPECT_TRUE(waitTopic(watch, Base + "clock/2/availability", "online")) << kadrel.output();

    // Killed without a word: the broker says it for the program.
    ::kill(kadrel.pid(), SIGKILL);
    EXPECT_TRUE(waitTopic(watch, Base + "status", "offline")) << broker->log();
    kadrel.stop();
}

// The broker is not there when the program starts, then goes away and comes back: the link
// comes up by itself each time, says again all the broker lost, and the polling never waits.
TEST_F(MqttProcessTest, TheBrokerAwayAtStartOrLaterIsJoinedWhilePollingGoesOn)
{
    broker->stop();
    SimProcess sim({"--no-noise", "--clocks", "1,2"});
    KadrelProcess kadrel({"--headless"});
    const std::string refused = "Brak połączenia z brokerem MQTT 127.0.0.1:" + std::to_string(broker->port());
    EXPECT_TRUE(kadrel.waitForLog(refused)) << kadrel.log();
    ASSERT_TRUE(broker->start()) << broker->log();
    {
        BrokerWatch watch(broker->port());
        ASSERT_TRUE(waitTopic(watch, Base + "clock/1/availability", "online", 12s)) << kadrel.output();
    }
    broker->stop();
    const size_t polledBefore = polls(sim);
    std::this_thread::sleep_for(2500ms);
    // The bus kept its pace: at least a poll for every tick of the time away, give or take
    // the start of the wait.
    EXPECT_GE(polls(sim) - polledBefore, 10u) << readFile(sim.logPath()).substr(0, 2000);

    ASSERT_TRUE(broker->start()) << broker->log();
    BrokerWatch watch(broker->port());
    // The broker kept nothing (no persistence): all of it comes from the program again.
    EXPECT_TRUE(waitTopic(watch, Base + "status", "online", 12s)) << kadrel.log() << broker->log();
    EXPECT_TRUE(waitTopic(watch, Base + "clock/1/availability", "online"));
    for (const std::string& t :
         {Base + "state", std::string("homeassistant/sensor/kadrel_szkola_sala-2/clock1_time/config")})
        EXPECT_TRUE(waitTopic(watch, t, [](const std::string& p) { return !p.empty(); })) << t;
    EXPECT_EQ(kadrel.stop(), 0);
    EXPECT_TRUE(waitTopic(watch, Base + "status", "offline"));
}

// Two programs on one broker: the view page's API of one shows the other bus by its name with
// its clocks, keeps to its bounds when a stranger floods the site's topics, and shows the
// other bus gone from the broker once it has ended; the overlay's link opens with the same
// viewer key, keeping its settings.
TEST_F(MqttProcessTest, TheViewPageShowsTheSitesOtherBus)
{
    const int port = Ser2net::freePort();
    const std::string key = std::string(43, 'k');
    writeFile(sandbox.configDir() + "/kadrel/zdalne.json", R"({"enabled":true,"port":)" + std::to_string(port) +
                                                               R"(,"token":")" + std::string(43, 't') +
                                                               R"(","viewerKey":")" + key + R"("})");
    writeFile(sandbox.configDir() + "/kadrel/druga/mqtt.json",
              R"({"enabled":true,"host":"127.0.0.1","port":)" + std::to_string(broker->port()) +
                  R"(,"site":"Szkoła","bus":"Sala Gimnastyczna"})");
    SimProcess sim({"--no-noise", "--clocks", "1,2"});
    KadrelProcess kadrel({"--headless"});
    auto other = std::make_unique<KadrelProcess>(std::vector<std::string>{"--headless", "--profile", "druga"});
    const auto campus = [&] { return httpGet(port, "/api/v1/campus", key).body; };
    const auto waitCampus = [&](const std::string& part) {
        for (int i = 0; i < 100; ++i) {
            if (campus().find(part) != std::string::npos)
                return true;
            std::this_thread::sleep_for(100ms);
        }
        return false;
    };
    EXPECT_TRUE(waitCampus(R"("bus":"sala-gimnastyczna","clocks":[)")) << campus() << kadrel.log() << other->log();
    EXPECT_NE(campus().find(R"("name":"Sala Gimnastyczna","online":true)"), std::string::npos) << campus();
    EXPECT_NE(campus().find(R"("linked":true,"name":"Sala 2","site":"szkola")"), std::string::npos) << campus();
    EXPECT_EQ(httpGet(port, "/api/v1/campus", "zly-klucz").status, 401);

    // What a stranger puts on the broker: a huge state, one that is no JSON, and a crowd of buses.
    BrokerWatch stranger(broker->port());
    stranger.publish("kadrel/szkola/obcy/state", std::string(1024 * 1024, '{'), true);
    stranger.publish("kadrel/szkola/obcy-2/state", "<script>alert(1)</script>", true);
    for (int i = 0; i < 2 * MqttCampus::MaxBuses; ++i)
        stranger.publish("kadrel/szkola/tlum-" + std::to_string(i) + "/state", R"({"clocks":[]})", true);
    EXPECT_TRUE(waitCampus("tlum-" + std::to_string(2 * MqttCampus::MaxBuses - 1))) << campus();
    size_t buses = 0;
    const std::string now = campus();
    for (size_t at = now.find("\"online\":"); at != std::string::npos; at = now.find("\"online\":", at + 1))
        ++buses;
    EXPECT_LE(buses, size_t(MqttCampus::MaxBuses)) << now;
    EXPECT_EQ(now.find("script"), std::string::npos);

    EXPECT_EQ(other->stop(), 0);
    other.reset();
    // Crowded out while it said nothing, it comes back with its last word.
    EXPECT_TRUE(waitCampus(R"("name":"sala-gimnastyczna","online":false)")) << campus();

    const HttpAnswer overlay = httpGet(port, "/overlay?clock=2&key=00ff00&viewer=" + key, "-");
    EXPECT_EQ(overlay.status, 303);
    EXPECT_EQ(overlay.body, "/overlay?clock=2&key=00ff00\n");
    EXPECT_EQ(kadrel.stop(), 0);
}

// A damaged settings file is named in the log, left as it was, and nothing goes to the broker.
TEST_F(MqttProcessTest, DamagedSettingsAreNamedAndKept)
{
    const std::string path = sandbox.configDir() + "/kadrel/mqtt.json";
    const std::string damaged = R"({"enabled":true,"host":"127.0.0.1","port":)" + std::to_string(broker->port()) + ",}";
    writeFile(path, damaged);
    BrokerWatch watch(broker->port());
    KadrelProcess kadrel({"--headless"});
    EXPECT_TRUE(kadrel.waitForLog("Plik ustawień MQTT " + path + " jest uszkodzony")) << kadrel.log();
    std::this_thread::sleep_for(1s);
    EXPECT_FALSE(watch.has(Base + "status"));
    EXPECT_EQ(kadrel.stop(), 0);
    EXPECT_EQ(readFile(path), damaged);
}

} // namespace
