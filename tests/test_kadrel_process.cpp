// uses: binaries
// The built program as a user starts it, with its real boxes (offscreen), against a bus played
// on a pseudo-terminal: it reconnects by itself while the lost-device box stands open, waits at
// start for an adapter that comes late, answers the remote API while the start-up box is open,
// and runs without a screen, ending cleanly on SIGTERM.
#include <algorithm>
#include <cctype>
#include <gtest/gtest.h>

#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <signal.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <thread>

#include "files/SettingsFile.h"
#include "serial/NetworkPorts.h"
#include "serial/PortIdentity.h"
#include "tests/support/KadrelProcess.h"
#include "tests/support/Pty.h"
#include "tests/support/SimProcess.h"
#include "tests/support/Ser2net.h"
#include "tests/support/TempDir.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

const std::string Token = "test-token-test-token-test-token-0123456789";
const std::string ViewerKey = "view-key-view-key-view-key-view-0123456789";

class KadrelProcessTest : public ::testing::Test {
protected:
    XdgSandbox sandbox;

    std::string link(const std::string& name) const { return sandbox.portsDir() + "/" + name; }
    // An adapter: a pty behind a virtual-port link.
    std::unique_ptr<TestPty> plug(const std::string& name)
    {
        auto pty = std::make_unique<TestPty>();
        fs::create_directories(sandbox.portsDir());
        fs::permissions(sandbox.runtimeDir(), fs::perms::owner_all, fs::perm_options::replace);
        fs::create_symlink(pty->slavePath(), link(name));
        return pty;
    }
    void pull(std::unique_ptr<TestPty>& pty, const std::string& name)
    {
        pty->closeMaster();
        pty->closeSlave();
        fs::remove(link(name));
        pty.reset();
    }
    // Settings that connect at start, clock 1 polled, the port at `index` of the list.
    void writeSettings(bool autoConnect = true, int index = 0) const
    {
        SettingsFile::Values values;
        for (int n = 0; n < 4; ++n) {
            values.clocks[n].name = "Zegar " + std::to_string(n + 1);
            values.clocks[n].active = n == 0;
        }
        values.portIndex = index;
        values.autoConnect = autoConnect;
        writeFile(sandbox.settingsFile(), SettingsFile::build(values));
    }
    int remoteOn() const
    {
        const int port = Ser2net::freePort();
        writeFile(sandbox.configDir() + "/kadrel/zdalne.json",
                  "{\"enabled\": true, \"port\": " + std::to_string(port) + ", \"token\": \"" + Token +
                      "\", \"viewerKey\": \"" + ViewerKey + "\"}");
        return port;
    }
    // The state document once the server answers (within 3 s of asking).
    static HttpAnswer stateWhenUp(int port)
    {
        HttpAnswer answer;
        for (int i = 0; i < 30 && answer.status != 200; ++i) {
            std::this_thread::sleep_for(100ms);
            answer = httpGet(port, "/api/v1/state", Token);
        }
        return answer;
    }
    // A frame from the program: its start byte within `timeout`.
    static bool polled(TestPty& pty, std::chrono::milliseconds timeout = 3000ms)
    {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (std::chrono::steady_clock::now() < deadline) {
            const ByteString got = pty.read(1, 200ms);
            if (!got.empty() && static_cast<uint8_t>(got[0]) == 0x5A)
                return true;
        }
        return false;
    }
};

TEST_F(KadrelProcessTest, ReconnectsWhileTheLostDeviceBoxIsOpenAndTheBoxClosesItself)
{
    auto bus = plug("BUS");
    writeSettings();
    KadrelProcess kadrel;
    ASSERT_TRUE(kadrel.waitForLog("Połączono z portem")) << kadrel.output();
    ASSERT_TRUE(polled(*bus));

    pull(bus, "BUS");
    ASSERT_TRUE(kadrel.waitForLog("Komunikat (błąd): ReadFile function failed (Error: 5) / Adapter został odłączony"))
        << kadrel.log();
    std::this_thread::sleep_for(1500ms);   // past the disconnect's second; nobody clicks OK
    bus = plug("BUS");
    EXPECT_TRUE(polled(*bus)) << kadrel.log();
    EXPECT_TRUE(kadrel.waitForLog("Komunikat o utracie połączenia zamknięty")) << kadrel.log();
    EXPECT_TRUE(kadrel.waitForLog("Połączono ponownie z portem"));
    EXPECT_EQ(kadrel.stop(), 0);
}

TEST_F(KadrelProcessTest, ReconnectsThroughSer2netStoppedAndStartedWithTheBoxOpen)
{
    TestPty serial;
    Ser2net server(serial.slavePath());
    if (!server.ok())
        GTEST_SKIP() << "ser2net is not installed or did not start (Debian package ser2net)";
    ASSERT_EQ(NetworkPorts::save(sandbox.configDir() + "/kadrel/network-ports", {server.rfc2217Url()}), 0);
    writeSettings();
    KadrelProcess kadrel;
    ASSERT_TRUE(kadrel.waitForLog("Połączono z portem rfc2217://")) << kadrel.output() << kadrel.log();
    ASSERT_TRUE(polled(serial, 5000ms));

    server.stop();
    ASSERT_TRUE(kadrel.waitForLog("Komunikat (błąd)", 15s)) << kadrel.log();
    std::this_thread::sleep_for(3s);
    server.restart();
    serial.drain();
    EXPECT_TRUE(polled(serial, 8000ms)) << kadrel.log();
    EXPECT_TRUE(kadrel.waitForLog("Komunikat o utracie połączenia zamknięty")) << kadrel.log();
}

TEST_F(KadrelProcessTest, WaitsAtStartForTheSavedAdapterWithoutABox)
{
    writeSettings();
    fs::create_directories(sandbox.configDir() + "/kadrel");
    ASSERT_TRUE(writeIdentityFile(sandbox.configDir() + "/kadrel/port-id", "link:LATE", link("LATE")));
    KadrelProcess kadrel;
    ASSERT_TRUE(kadrel.waitForLog("Start: czekam na adapter link:LATE")) << kadrel.output() << kadrel.log();
    std::this_thread::sleep_for(1s);
    auto bus = plug("LATE");
    EXPECT_TRUE(polled(*bus)) << kadrel.log();
    EXPECT_TRUE(kadrel.waitForLog("Połączono z portem " + link("LATE") + " (adapter pojawił się po starcie)"));
    EXPECT_EQ(kadrel.log().find("Komunikat ("), std::string::npos) << kadrel.log();
}

TEST_F(KadrelProcessTest, AnswersTheApiWhileTheStartUpBoxIsOpen)
{
    const int port = remoteOn();
    KadrelProcess kadrel;
    ASSERT_TRUE(kadrel.waitForLog("Komunikat (komunikat): Brak pliku z konfiguracja")) << kadrel.output();
    const HttpAnswer answer = stateWhenUp(port);
    EXPECT_EQ(answer.status, 200) << kadrel.output();
    EXPECT_NE(answer.body.find("\"version\":1"), std::string::npos) << answer.body;
    // The hall's view opens with its own key, which commands nothing.
    EXPECT_EQ(httpGet(port, "/view", ViewerKey).status, 200);
    EXPECT_EQ(httpPost(port, "/api/v1/stopwatch/start", ViewerKey, "{}", "tv").status, 403);
}

TEST_F(KadrelProcessTest, SaysOnceThatTheAdapterEchoesItsFrames)
{
    SimProcess sim({"--echo", "--clocks", "1"});
    writeSettings();
    KadrelProcess kadrel;
    ASSERT_TRUE(kadrel.waitForLog("Adapter odsyła nadawane ramki", 8s)) << kadrel.output() << kadrel.log();
    std::this_thread::sleep_for(1s);   // ten more echoed polls
    const std::string log = kadrel.log();
    EXPECT_EQ(log.find("Adapter odsyła"), log.rfind("Adapter odsyła")) << log;
}

TEST_F(KadrelProcessTest, HeadlessPollsServesLogsALossAndEndsOnSigterm)
{
    auto bus = plug("BUS");
    writeSettings();
    const int port = remoteOn();
    KadrelProcess kadrel({"--headless"});
    ASSERT_TRUE(polled(*bus, 5000ms)) << kadrel.output();
    const HttpAnswer answer = stateWhenUp(port);
    EXPECT_EQ(answer.status, 200);
    EXPECT_NE(answer.body.find("POŁĄCZONY"), std::string::npos) << answer.body;
    // A remote command is logged with its sender, whatever bytes its user agent carries (a
    // control byte is refused with the request).
    EXPECT_EQ(httpPost(port, "/api/v1/stopwatch/start", Token, "{\"target\":2}", "zł\x1b[2J\xff").status, 400);
    EXPECT_EQ(httpPost(port, "/api/v1/stopwatch/start", Token, "{\"target\":2}", "zł[2J\xff").status, 200);
    EXPECT_EQ(httpPost(port, "/api/v1/stopwatch/set", Token, "{\"minutes\":\"x\"}", "curl/8").status, 400);
    EXPECT_TRUE(kadrel.waitForOutput("Zdalne polecenie start {\"target\":2} od 127.0.0.1 (zł[2J\\xff): wykonane"))
        << kadrel.output();
    EXPECT_TRUE(kadrel.waitForOutput("Zdalne polecenie set {\"minutes\":\"x\"} od 127.0.0.1 (curl/8): odrzucone (400 bad_"))
        << kadrel.output();

    pull(bus, "BUS");
    EXPECT_TRUE(kadrel.waitForOutput("kadrel: Komunikat (błąd): ReadFile function failed (Error: 5)")) << kadrel.output();
    bus = plug("BUS");
    ASSERT_TRUE(polled(*bus)) << kadrel.output();
    // The program must let go of the port: with the test's own slave closed, its end is a hang-up.
    bus->closeSlave();
    std::chrono::milliseconds took{};
    EXPECT_EQ(kadrel.stop(&took), 0);
    EXPECT_LT(took.count(), 3000);
    pollfd p{bus->masterFd(), POLLIN, 0};
    ASSERT_EQ(::poll(&p, 1, 1000), 1);
    EXPECT_TRUE(p.revents & POLLHUP);
    EXPECT_NE(kadrel.output().find("Koniec programu"), std::string::npos);
}

// A trailing comma in the remote settings is named and costs nothing: the file is left byte for
// byte, and the server stays off.
TEST_F(KadrelProcessTest, DamagedRemoteSettingsAreNamedAndLeftAsTheyWere)
{
    const int port = Ser2net::freePort();
    const std::string path = sandbox.configDir() + "/kadrel/zdalne.json";
    const std::string damaged = "{\"enabled\": true, \"port\": " + std::to_string(port) + ", \"token\": \"" + Token
                                + "\", \"viewerKey\": \"" + ViewerKey + "\",}\n";
    writeFile(path, damaged);
    KadrelProcess kadrel({"--headless"});
    ASSERT_TRUE(kadrel.waitForLog("Start programu")) << kadrel.output();
    EXPECT_TRUE(kadrel.waitForLog("Plik ustawień zdalnego sterowania " + path + " jest uszkodzony")) << kadrel.log();
    EXPECT_TRUE(kadrel.waitForOutput("serwer zdalny jest wyłączony")) << kadrel.output();
    std::this_thread::sleep_for(1s);   // well past the start, where a save would have come
    EXPECT_EQ(httpGet(port, "/api/v1/state", Token, 500ms).status, 0);
    EXPECT_EQ(kadrel.stop(), 0);
    EXPECT_EQ(readFile(path), damaged);
}

// Strangers' refused commands are counted into one line, so they cannot push the program's own
// lines out of the log; the operator's user agent is written with its format characters named.
TEST_F(KadrelProcessTest, StrangersCannotFloodTheLogNorReorderIt)
{
    const int port = remoteOn();
    KadrelProcess kadrel({"--headless"});
    ASSERT_EQ(stateWhenUp(port).status, 200) << kadrel.output();
    for (int i = 0; i < 300; ++i)
        ASSERT_EQ(httpPost(port, "/api/v1/stopwatch/start", "wrong-token", "{}", "x").status, 401);
    EXPECT_EQ(httpPost(port, "/api/v1/stopwatch/start", Token, "{}", "a\u202Eevil\u2066").status, 409);
    EXPECT_TRUE(kadrel.waitForLog("(a\\u{202E}evil\\u{2066}): odrzucone (409")) << kadrel.log();
    EXPECT_EQ(kadrel.stop(), 0);
    const std::string log = kadrel.log();
    EXPECT_NE(log.find("300 odrzuconych żądań z 127.0.0.1 w ciągu minuty"), std::string::npos) << log;
    EXPECT_NE(log.find("Start programu"), std::string::npos);
    EXPECT_EQ(log.find("od 127.0.0.1 (x)"), std::string::npos) << log;
}

// One request with "Connection: close" on a raw connection: the whole answer, as it came.
std::string rawExchange(int port, const std::string& request)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    std::string answer;
    if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0
        && ::write(fd, request.data(), request.size()) == static_cast<ssize_t>(request.size())) {
        char buffer[4096];
        pollfd p{fd, POLLIN, 0};
        while (::poll(&p, 1, 3000) == 1) {
            const ssize_t n = ::read(fd, buffer, sizeof buffer);
            if (n <= 0)
                break;
            answer.append(buffer, static_cast<size_t>(n));
        }
    }
    ::close(fd);
    return answer;
}

// The built program as a stranger on the network meets it: the link is exchanged for a session
// cookie and the token itself is no cookie, a head Qt and the guard could read apart is refused
// at once, and a client that pipelines without reading its answers costs the program a bounded
// amount of memory while the operator is still answered.
TEST_F(KadrelProcessTest, RawAttacksOnTheRemoteServerCostLittle)
{
    const int port = remoteOn();
    KadrelProcess kadrel({"--headless"});
    ASSERT_EQ(stateWhenUp(port).status, 200) << kadrel.output();
    const std::string name = "kadrel_session_" + std::to_string(port);
    const std::string host = "Host: 127.0.0.1:" + std::to_string(port) + "\r\nConnection: close\r\n";
    const std::string link = rawExchange(port, "GET /?token=" + Token + " HTTP/1.1\r\n" + host + "\r\n");
    ASSERT_EQ(link.rfind("HTTP/1.1 303 ", 0), 0u) << link;
    // Header names as either Qt writes them (6.8 in lower case).
    std::string lower = link;
    std::transform(lower.begin(), lower.end(), lower.begin(), [](unsigned char c) { return std::tolower(c); });
    const size_t at = lower.find("set-cookie: " + name + '=');
    ASSERT_NE(at, std::string::npos) << link;
    const size_t from = at + 13 + name.size();
    const std::string session = link.substr(from, link.find(';', from) - from);
    EXPECT_EQ(session.size(), 43u);
    EXPECT_EQ(link.find(Token), std::string::npos);

    const std::string state = "GET /api/v1/state HTTP/1.1\r\n" + host;
    const struct {
        const char* name;
        std::string request;
        const char* status;
    } cases[] = {
        {"the session", state + "Cookie: " + name + '=' + session + "\r\n\r\n", "200"},
        {"the token as the cookie", state + "Cookie: " + name + '=' + Token + "\r\n\r\n", "401"},
        {"the token in the older cookie",
         state + "Cookie: kadrel_token_" + std::to_string(port) + '=' + Token + "\r\n\r\n", "401"},
        {"the session under another port's name",
         state + "Cookie: kadrel_session_" + std::to_string(port + 1) + '=' + session + "\r\n\r\n", "401"},
        // Not held as a WebSocket to be.
        {"an upgrade with bare LF line ends",
         "GET /api/v1/live HTTP/1.1\nHost: 127.0.0.1\nUpgrade: websocket\nConnection: Upgrade\n"
         "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\nSec-WebSocket-Version: 13\nAuthorization: Bearer "
             + Token + "\n\n",
         "400"},
    };
    for (const auto& c : cases) {
        const std::string answer = rawExchange(port, c.request);
        EXPECT_EQ(answer.substr(0, 12), std::string("HTTP/1.1 ") + c.status) << c.name << ": " << answer;
    }

    const auto residentKiB = [&kadrel] {
        std::ifstream status("/proc/" + std::to_string(kadrel.pid()) + "/status");
        std::string line;
        while (std::getline(status, line))
            if (line.rfind("VmRSS:", 0) == 0)
                return std::stol(line.substr(6));
        return 0L;
    };
    // Twenty requests every 2 ms for 3 s, none of the answers read.
    const int greedy = ::socket(AF_INET, SOCK_STREAM, 0);
    const int small = 4096;
    ::setsockopt(greedy, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::connect(greedy, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    ::fcntl(greedy, F_SETFL, ::fcntl(greedy, F_GETFL) | O_NONBLOCK);
    std::string burst;
    for (int i = 0; i < 20; ++i)
        burst += "GET / HTTP/1.1\r\nHost: 127.0.0.1\r\nAuthorization: Bearer " + Token + "\r\n\r\n";
    const long before = residentKiB();
    const auto end = std::chrono::steady_clock::now() + 3s;
    while (std::chrono::steady_clock::now() < end) {
        (void)::send(greedy, burst.data(), burst.size(), MSG_NOSIGNAL);
        std::this_thread::sleep_for(2ms);
    }
    const long grown = residentKiB() - before;
#ifndef __SANITIZE_ADDRESS__  // AddressSanitizer holds freed memory back: the bound is the plain build's
    EXPECT_LT(grown, 16 * 1024) << "KiB";
#else
    (void)grown;
#endif
    EXPECT_EQ(httpGet(port, "/api/v1/state", Token).status, 200);
    ::close(greedy);
    EXPECT_EQ(kadrel.stop(), 0);
}

TEST_F(KadrelProcessTest, RefusesBadCommandLinesWithALine)
{
    const struct {
        std::vector<std::string> args;
        std::string said;
    } rows[] = {
        {{"--headless", "--headless"}, "--headless podana dwa razy"},
        {{"--headless", "--no-such-option"}, "Nieznana opcja „--no-such-option”"},
        {{"--profile", "../x"}, "Nieprawidłowa nazwa profilu"},
    };
    for (const auto& row : rows) {
        KadrelProcess kadrel(row.args);
        EXPECT_EQ(kadrel.waitExit(5s), 2) << row.said;
        EXPECT_NE(kadrel.output().find(row.said), std::string::npos) << kadrel.output();
    }
}

// A second instance of a running profile ends with its own status, which the service units
// name as one not to restart on.
TEST_F(KadrelProcessTest, ASecondInstanceOfAProfileEndsWithItsOwnStatus)
{
    KadrelProcess first({"--headless", "--profile", "hala-2"});
    ASSERT_TRUE(first.waitForOutput("Start programu")) << first.output();
    KadrelProcess second({"--headless", "--profile", "hala-2"});
    EXPECT_EQ(second.waitExit(5s), 3);
    EXPECT_NE(second.output().find("jest już otwarty"), std::string::npos) << second.output();
    // The first may still be starting (its stop signal not yet caught): its status is not ours.
    first.stop();
}

} // namespace
