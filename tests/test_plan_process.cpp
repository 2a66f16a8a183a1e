// uses: binaries
// The built program without a screen runs its plan: an entry due a few seconds after the start
// puts its frame on the bus in the tick of its second, byte for byte the frame of the window's
// "START" with "W" selected; an entry that came due while the program was stopped is logged as
// missed and never sent. A plan put over the remote API is stored and fires on the simulated bus.
#include <gtest/gtest.h>

#include <QDateTime>
#include <chrono>
#include <filesystem>
#include <thread>

#include "files/SettingsFile.h"
#include "tests/support/KadrelProcess.h"
#include "tests/support/Pty.h"
#include "tests/support/Ser2net.h"
#include "tests/support/SimProcess.h"
#include "tests/support/TempDir.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

std::string timeOfDay(const QDateTime& t)
{
    return t.toString(QStringLiteral("HH:mm:ss")).toStdString();
}

// As the log writes an entry's time: the seconds only when not zero, the date when not today.
std::string logTime(const QDateTime& t)
{
    std::string text = t.toString(t.time().second() ? QStringLiteral("HH:mm:ss") : QStringLiteral("HH:mm")).toStdString();
    if (t.date() != QDate::currentDate())
        text = t.date().toString(Qt::ISODate).toStdString() + " " + text;
    return text;
}

std::string entryJson(const QDateTime& at, const char* name, const char* action)
{
    return std::string("{\"time\": \"") + timeOfDay(at) + "\", \"name\": \"" + name + "\", \"target\": \"W\", "
           + "\"action\": \"" + action + "\"}";
}

// One whole frame from the bus: "Z", address, length, data, checksum.
struct BusFrame {
    ByteString bytes;
    qint64 firstByteMs = 0;   // the wall clock when its first byte was read
};

TEST(PlanProcess, HeadlessFiresOnItsSecondAndLogsWhatItMissed)
{
    XdgSandbox sandbox;
    TestPty bus;
    fs::create_directories(sandbox.portsDir());
    fs::permissions(sandbox.runtimeDir(), fs::perms::owner_all, fs::perm_options::replace);
    fs::create_symlink(bus.slavePath(), sandbox.portsDir() + "/BUS");
    SettingsFile::Values values;
    for (int n = 0; n < 4; ++n) {
        values.clocks[n].name = "Zegar " + std::to_string(n + 1);
        values.clocks[n].active = n == 0;
    }
    values.autoConnect = true;
    writeFile(sandbox.settingsFile(), SettingsFile::build(values));

    // Whole seconds: the entry's second is the one a frame must reach the bus in.
    const QDateTime now = QDateTime::fromSecsSinceEpoch(QDateTime::currentSecsSinceEpoch());
    // Far enough for a slow start (sanitizers, a loaded machine) to be over before it.
    const QDateTime due = now.addSecs(8);
    const QDateTime missed = now.addSecs(-60);
    writeFile(sandbox.configDir() + "/kadrel/harmonogram.json",
              "{\"format\": \"kadrel-harmonogram\", \"version\": 1, \"dayTypes\": [{\"name\": \"Dzień\", \"entries\": ["
                  + entryJson(due, "Koniec lekcji", "start") + ", " + entryJson(missed, "Wcześniej", "stop")
                  + "]}], \"week\": [\"Dzień\", \"Dzień\", \"Dzień\", \"Dzień\", \"Dzień\", \"Dzień\", \"Dzień\"]}");
    // The last run ended five minutes ago.
    writeFile(KadrelProcess::stateHome() + "/kadrel/harmonogram.stan",
              std::to_string(now.toSecsSinceEpoch() - 300) + "\n");

    KadrelProcess kadrel({"--headless"});
    std::vector<BusFrame> frames;
    ByteString pending;
    qint64 pendingMs = 0;
    const ByteString start("\x5A\x00\x01\x01\x5C", 5);   // "START" with "W" selected
    const ByteString stop("\x5A\x00\x01\x02\x5D", 5);
    bool seen = false;
    const auto deadline = std::chrono::steady_clock::now() + 16s;
    while (std::chrono::steady_clock::now() < deadline && !seen) {
        const ByteString got = bus.read(1, 100ms);
        if (got.empty())
            continue;
        if (pending.empty())
            pendingMs = QDateTime::currentMSecsSinceEpoch();
        pending += got;
        if (pending.size() >= 3 && pending.size() == 4u + static_cast<uint8_t>(pending[2])) {
            frames.push_back({pending, pendingMs});
            seen = pending == start;
            pending.clear();
        }
    }
    ASSERT_TRUE(seen) << kadrel.output();
    const BusFrame& fired = frames.back();
    EXPECT_GE(fired.firstByteMs, due.toMSecsSinceEpoch()) << "never early";
    EXPECT_LT(fired.firstByteMs, due.toMSecsSinceEpoch() + 1000) << "in the tick of its second";
    for (const BusFrame& f : frames)
        EXPECT_NE(f.bytes, stop) << "the missed entry is not sent late";

    EXPECT_TRUE(kadrel.waitForLog("Harmonogram: " + logTime(due) + " „Koniec lekcji” — START W")) << kadrel.log();
    EXPECT_NE(kadrel.log().find("Harmonogram: pominięto " + logTime(missed) + " „Wcześniej” — STOP W (program nie działał)"),
              std::string::npos)
        << kadrel.log();
    EXPECT_EQ(kadrel.stop(), 0);
    // What was handled is kept for the next start.
    EXPECT_GE(std::stoll(readFile(KadrelProcess::stateHome() + "/kadrel/harmonogram.stan")), due.toSecsSinceEpoch());
}

// The operator puts a plan over the API while the program runs without a screen: the next
// firings name its entry, the file holds it, and the entry's frame reaches the simulated bus.
TEST(PlanProcess, APlanPutOverTheApiFiresOnTheSimulatedBus)
{
    XdgSandbox sandbox;
    SimProcess sim({"--no-noise", "--clocks", "1"});
    SettingsFile::Values values;
    for (int n = 0; n < 4; ++n) {
        values.clocks[n].name = "Zegar " + std::to_string(n + 1);
        values.clocks[n].active = n == 0;
    }
    values.autoConnect = true;
    writeFile(sandbox.settingsFile(), SettingsFile::build(values));
    const std::string token = "test-token-test-token-test-token-0123456789";
    const int port = Ser2net::freePort();
    writeFile(sandbox.configDir() + "/kadrel/zdalne.json",
              "{\"enabled\": true, \"port\": " + std::to_string(port) + ", \"token\": \"" + token + "\"}");
    KadrelProcess kadrel({"--headless"});
    ASSERT_TRUE(kadrel.waitForLog("Połączono z portem", 8s)) << kadrel.output();

    const QDateTime due = QDateTime::fromSecsSinceEpoch(QDateTime::currentSecsSinceEpoch() + 4);
    const std::string plan = "{\"format\": \"kadrel-harmonogram\", \"version\": 1, \"dayTypes\": [{\"name\": \"Dzień\", "
                             "\"entries\": [{\"time\": \"" + timeOfDay(due) + "\", \"name\": \"Koniec lekcji\", \"target\": 1, "
                             "\"action\": \"start\"}]}], \"week\": [\"Dzień\", \"Dzień\", \"Dzień\", \"Dzień\", \"Dzień\", "
                             "\"Dzień\", \"Dzień\"]}";
    const HttpAnswer put = httpPut(port, "/api/v1/plan", token, plan);
    ASSERT_EQ(put.status, 200) << put.body << kadrel.log();
    const HttpAnswer next = httpGet(port, "/api/v1/plan/next", token);
    EXPECT_NE(next.body.find("\"at\":\"" + due.toString(QStringLiteral("yyyy-MM-ddTHH:mm:ss")).toStdString()),
              std::string::npos)
        << next.body;
    EXPECT_NE(next.body.find("Koniec lekcji"), std::string::npos) << next.body;
    EXPECT_NE(readFile(sandbox.configDir() + "/kadrel/harmonogram.json").find("Koniec lekcji"), std::string::npos);

    EXPECT_TRUE(SimProcess::waitForText(sim.logPath(), "RX 5A 01 01 01 5D", 10s)) << readFile(sim.logPath()).substr(0, 2000);
    EXPECT_TRUE(kadrel.waitForLog("Harmonogram: " + logTime(due) + " „Koniec lekcji” — START 1")) << kadrel.log();
    EXPECT_NE(kadrel.log().find("Zdalne polecenie plan"), std::string::npos) << kadrel.log();
    EXPECT_EQ(kadrel.stop(), 0);
}

} // namespace
