// uses: binaries
// uses: mosquitto
// The built program without a screen on the simulator's bus and a real Mosquitto: what a
// subscriber sees, a command from the broker on the bus and in the log, a clock gone silent,
// the broker stopped and started again while polling goes on, and the last will when the
// program is killed.
#include <gtest/gtest.h>

#include <signal.h>

#include <thread>

#include "files/SettingsFile.h"
#include "tests/support/KadrelProcess.h"
#include "tests/support/Mosquitto.h"
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
    static size_t count(const std::string& text, const std::string& what)
    {
        size_t n = 0;
        for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
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
    const auto nonEmpty = [](const std::string& p) { return !p.empty(); };
    const struct {
        std::string topic;
        std::function<bool(const std::string&)> ok;
    } cases[] = {
        {"status", [](const std::string& p) { return p == "online"; }},
        {"state", [](const std::string& p) { return p.find("\"status\":\"POŁĄCZONY\"") != std::string::npos; }},
        {"clock/1/availability", [](const std::string& p) { return p == "online"; }},
        {"clock/2/availability", [](const std::string& p) { return p == "online"; }},
        {"clock/3/availability", [](const std::string& p) { return p == "offline"; }},
        {"clock/1/voltage", [](const std::string& p) { return p.rfind("12.", 0) == 0 || p.rfind("11.9", 0) == 0; }},
        {"clock/1/link", [](const std::string& p) { return p != "0"; }},
        {"clock/1/mode", [](const std::string& p) { return p == "Stoper"; }},
        {"clock/1/active", [](const std::string& p) { return p == "true"; }},
        {"clock/3/active", [](const std::string& p) { return p == "false"; }},
        {"clock/1/time", nonEmpty},
    };
    for (const auto& c : cases)
        EXPECT_TRUE(waitTopic(watch, Base + c.topic, c.ok)) << c.topic << ": " << watch.last(Base + c.topic)
                                                            << "\n" << kadrel.output();

    watch.publish(Base + "cmd", R"({"command":"start","target":2,"client":"tablica"})");
    EXPECT_TRUE(waitTopic(watch, Base + "cmd/result", R"({"ok":true})")) << kadrel.output();
    EXPECT_TRUE(SimProcess::waitForText(sim.logPath(), "RX 5A 02 01 01 5E")) << readFile(sim.logPath()).substr(0, 2000);
    EXPECT_TRUE(kadrel.waitForLog(R"(Polecenie MQTT {"command":"start","target":2,"client":"tablica"} od klienta tablica: {"ok":true})"))
        << kadrel.log();

    // A dead clock is not a dead program.
    sim.signal(SIGUSR1);
    EXPECT_TRUE(waitTopic(watch, Base + "clock/2/availability", "offline")) << kadrel.output();
    EXPECT_TRUE(waitTopic(watch, Base + "clock/2/silent", "true"));
    EXPECT_EQ(watch.last(Base + "status"), "online");
    sim.signal(SIGUSR2);
    EXPECT_TRUE(waitTopic(watch, Base + "clock/2/availability", "online")) << kadrel.output();

    // Killed without a word: the broker says it for the program.
    ::kill(kadrel.pid(), SIGKILL);
    EXPECT_TRUE(waitTopic(watch, Base + "status", "offline")) << broker->log();
    kadrel.stop();
}

TEST_F(MqttProcessTest, TheBrokerStoppedAndStartedAgainIsRejoinedWhilePollingGoesOn)
{
    SimProcess sim({"--no-noise", "--clocks", "1,2"});
    KadrelProcess kadrel({"--headless"});
    {
        BrokerWatch watch(broker->port());
        ASSERT_TRUE(waitTopic(watch, Base + "clock/1/availability", "online")) << kadrel.output();
    }
    broker->stop();
    const size_t polledBefore = count(readFile(sim.logPath()), "RX 5A");
    std::this_thread::sleep_for(2500ms);
    const size_t polledWhileAway = count(readFile(sim.logPath()), "RX 5A") - polledBefore;
    // The bus kept its pace: at least a poll for every tick of the time away, give or take
    // the start of the wait.
    EXPECT_GE(polledWhileAway, 10u) << readFile(sim.logPath()).substr(0, 2000);
    EXPECT_TRUE(kadrel.waitForLog("Brak połączenia z brokerem MQTT 127.0.0.1:" + std::to_string(broker->port())))
        << kadrel.log();

    ASSERT_TRUE(broker->start()) << broker->log();
    BrokerWatch watch(broker->port());
    // The broker kept nothing (no persistence): all of it comes from the program again.
    EXPECT_TRUE(waitTopic(watch, Base + "status", "online", 12s)) << kadrel.log() << broker->log();
    EXPECT_TRUE(waitTopic(watch, Base + "clock/1/availability", "online"));
    EXPECT_TRUE(waitTopic(watch, Base + "state", [](const std::string& p) { return !p.empty(); }));
    EXPECT_TRUE(waitTopic(watch, "homeassistant/sensor/kadrel_szkola_sala-2/clock1_time/config",
                          [](const std::string& p) { return !p.empty(); }));
    EXPECT_EQ(kadrel.stop(), 0);
    EXPECT_TRUE(waitTopic(watch, Base + "status", "offline"));
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
