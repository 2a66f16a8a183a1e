// Broker link benchmark: the built program without a screen (build/kadrel --headless) polling
// four simulated clocks on a pseudo-terminal, with a real Mosquitto on loopback. The simulated
// bus runs in this process, stamps every frame the program writes and decodes every reply it
// sends with the program's own assembler. Prints:
//   - a command published on cmd -> its frame on the bus (goal: p99 <= one tick + 20 ms);
//   - a reply with a new time on the bus -> clock/1/time at a subscriber, and the state
//     document's messages per second;
//   - the broker stopped for a while and started again -> status online again;
//   - the tick's pacing with the broker there, stopped, and hung (SIGSTOP);
//   - a campus: N programs (N profiles, N buses of four clocks) on one broker, then the same
//     with a view page showing the other buses from the first program, beside the same N
//     without the broker link: each bus's pacing, the CPU of the programs and the broker, the
//     broker's messages a second, each program's memory.
//
//   bench_mqtt [--commands N] [--restarts N] [--instances N] [--seconds S] [--broker-nodelay 1]
//              (default 100 commands, 5 restarts, 20 instances, 30 s per campus phase; the
//              broker as Debian installs it, or with set_tcp_nodelay)
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "bench/BenchSupport.h"
#include "link/Frame.h"
#include "link/Reply.h"
#include "tests/support/Mosquitto.h"

using bench::Home;
using bench::nowMicros;
using bench::percentile;
using bench::ProcStat;
using bench::Pty;
using bench::readProc;

namespace {

int64_t micros(std::chrono::steady_clock::time_point t)
{
    return std::chrono::duration_cast<std::chrono::microseconds>(t.time_since_epoch()).count();
}

// Four simulated clocks answering on the master side; every frame from the program stamped as
// it is read, every reply's time decoded as it is written.
class StampedBus : public sim::BusListener {
public:
    struct Seen {
        int64_t at;
        ByteString bytes;
    };
    explicit StampedBus(const Pty& pty)
        : bus_(pty, this, [this](const ByteString& bytes) { stampReply(bytes); }, 20)
    {
    }
    void received(sim::Micros, const ByteString& bytes, const std::string&) override
    {
        if (bytes.size() < 4 || byteAt(bytes, 0) != Frame::StartByte)
            return;
        std::lock_guard lock(mutex_);
        frames_.push_back({nowMicros(), bytes});
    }
    std::vector<Seen> frames()
    {
        std::lock_guard lock(mutex_);
        return frames_;
    }
    // When a reply of `clock` first carried `time`; 0 if none has.
    int64_t replied(int clock, const std::string& time)
    {
        std::lock_guard lock(mutex_);
        const auto it = replies_.find({clock, time});
        return it == replies_.end() ? 0 : it->second;
    }

private:
    void stampReply(const ByteString& bytes)
    {
        const int64_t at = nowMicros();
        noteReception(replies_link_, bytes);
        assembleReply(replies_link_, [&](uint8_t address, const ByteString& data) {
            if (const auto shown = decodeStatus(replies_link_, address, data)) {
                std::lock_guard lock(mutex_);
                replies_.emplace(std::pair{shown->clock, shown->timeText}, at);
            }
        });
    }

    std::mutex mutex_;
    std::vector<Seen> frames_;
    LinkState replies_link_;
    std::map<std::pair<int, std::string>, int64_t> replies_;
    bench::BusThread bus_;   // last: its thread stops before what it writes to goes
};

bool waitUntil(const std::function<bool()>& done, double seconds)
{
    const int64_t end = nowMicros() + static_cast<int64_t>(seconds * 1e6);
    while (!done()) {
        if (nowMicros() > end)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

void stopProgram(pid_t pid)
{
    kill(pid, SIGTERM);
    waitpid(pid, nullptr, 0);
}

std::string mqttJson(int port, const std::string& bus)
{
    return R"({"enabled":true,"host":"127.0.0.1","port":)" + std::to_string(port) + R"(,"site":"bench","bus":")" + bus +
           R"("})";
}

void printMs(const char* what, const std::vector<double>& ms, const char* goal = "")
{
    std::printf("  %s, %zu: median %.1f ms, p99 %.1f ms, max %.1f ms%s\n", what, ms.size(), percentile(ms, 50),
                percentile(ms, 99), ms.empty() ? NAN : *std::max_element(ms.begin(), ms.end()), goal);
}

// The gaps between the frames written in [from, to), in ms.
std::vector<double> gaps(const std::vector<StampedBus::Seen>& frames, int64_t from, int64_t to)
{
    std::vector<double> out;
    for (size_t i = 1; i < frames.size(); ++i)
        if (frames[i - 1].at >= from && frames[i].at < to)
            out.push_back((frames[i].at - frames[i - 1].at) / 1000.0);
    return out;
}

void printPacing(const char* what, const std::vector<double>& g)
{
    const auto late = std::count_if(g.begin(), g.end(), [](double ms) { return ms > 150; });
    std::printf("  %-28s %5zu gaps: median %.1f ms, p99 %.1f ms, max %.1f ms, over 150 ms: %ld\n", what, g.size(),
                percentile(g, 50), percentile(g, 99), g.empty() ? NAN : *std::max_element(g.begin(), g.end()),
                static_cast<long>(late));
}

void phaseOneBus(int commands, int restarts, bool brokerNoDelay)
{
    // A broker's own writes wait for the subscriber's delayed ACK unless it is told otherwise.
    MosquittoBroker broker(brokerNoDelay ? "set_tcp_nodelay true\n" : "");
    if (!broker.ok()) {
        std::printf("mosquitto did not start: %s\n", broker.log().c_str());
        return;
    }
    Home home;
    Pty pty;
    home.publish("BENCH", pty.path);
    home.writeSettings();
    std::ofstream(home.root / "config/kadrel/mqtt.json") << mqttJson(broker.port(), "kort");
    StampedBus bus(pty);
    BrokerWatch watch(broker.port(), "kadrel/bench/kort/#");
    const pid_t pid = home.startProgram({"--headless"}, (home.root / "output.txt").string());
    if (!waitUntil([&] { return watch.last("kadrel/bench/kort/status") == "online" && !bus.frames().empty(); }, 20)) {
        std::printf("one bus: the program did not come up on the broker within 20 s\n");
        stopProgram(pid);
        return;
    }
    std::this_thread::sleep_for(std::chrono::seconds(2));
    std::printf("one bus: build/kadrel --headless, four simulated clocks, Mosquitto on loopback%s\n",
                brokerNoDelay ? " (set_tcp_nodelay true)" : "");

    // Commands at random moments of the tick, under the link's 20 a second.
    std::mt19937 random(28);
    std::vector<double> toFrame, notWaiting, toResult;
    double answered = 0;
    for (int i = 0; i < commands; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(110 + random() % 200));
        const bool start = i % 2 == 0;
        const size_t seen = bus.frames().size();
        const int64_t sent = nowMicros();
        watch.publish("kadrel/bench/kort/cmd", start ? R"({"command":"start"})" : R"({"command":"stop"})");
        const uint8_t code = start ? 1 : 2;
        int64_t at = 0;
        bool afterBroadcast = false;   // the tick that would have taken it broadcast the time
        waitUntil([&] {
            const auto f = bus.frames();
            for (size_t k = seen; k < f.size() && !at; ++k) {
                afterBroadcast = afterBroadcast || byteAt(f[k].bytes, 1) == Frame::BroadcastAddress;
                if (f[k].bytes.size() == 5 && byteAt(f[k].bytes, 1) == 0 && byteAt(f[k].bytes, 3) == code)
                    at = f[k].at;
            }
            return at != 0;
        }, 2);
        if (at)
            toFrame.push_back((at - sent) / 1000.0);
        if (at && !afterBroadcast)
            notWaiting.push_back((at - sent) / 1000.0);
        waitUntil([&] { return watch.count("kadrel/bench/kort/cmd/result") > static_cast<size_t>(i); }, 2);
        for (const BrokerWatch::Message& m : watch.messages())
            if (m.topic == "kadrel/bench/kort/cmd/result")
                answered = (micros(m.at) - sent) / 1000.0;
        toResult.push_back(answered);
    }
    printMs("cmd published -> its frame on the bus", toFrame, " (goal: p99 <= 120 ms)");
    printMs("the same without those that waited for a time broadcast's tick", notWaiting);
    printMs("cmd published -> cmd/result at the sender", toResult);

    // Counting: each second every clock's time moves on.
    watch.publish("kadrel/bench/kort/cmd", R"({"command":"start"})");
    std::this_thread::sleep_for(std::chrono::seconds(2));
    watch.clear();
    const int64_t t0 = nowMicros();
    std::this_thread::sleep_for(std::chrono::seconds(15));
    const double wall = (nowMicros() - t0) / 1e6;
    std::vector<double> toSubscriber;
    size_t states = 0;
    for (const BrokerWatch::Message& m : watch.messages()) {
        states += m.topic == "kadrel/bench/kort/state";
        if (m.topic == "kadrel/bench/kort/clock/1/time")
            if (const int64_t replied = bus.replied(1, m.payload))
                toSubscriber.push_back((micros(m.at) - replied) / 1000.0);
    }
    printMs("reply with a new time -> clock/1/time at a subscriber", toSubscriber);
    std::printf("  state documents: %.1f a second (four clocks counting; at most 10)\n", states / wall);

    // The broker stopped and started again; then hung.
    std::vector<double> back;
    int64_t awayFrom = 0, awayTo = 0;
    for (int r = 0; r < restarts; ++r) {
        if (r == 0)
            awayFrom = nowMicros();   // the line's end is within it
        broker.stop();
        std::this_thread::sleep_for(std::chrono::seconds(2));
        if (r == 0)
            awayTo = nowMicros();
        if (!broker.start()) {
            std::printf("the broker did not start again\n");
            break;
        }
        const int64_t started = nowMicros();
        BrokerWatch fresh(broker.port(), "kadrel/bench/kort/status");
        if (waitUntil([&] { return fresh.last("kadrel/bench/kort/status") == "online"; }, 70))
            back.push_back((nowMicros() - started) / 1000.0);
    }
    printMs("broker started again after 2 s away -> status online", back, " (retries after 1 s, 2 s, 4 s ...)");
    const int64_t beforeHang = nowMicros();
    std::this_thread::sleep_for(std::chrono::seconds(5));
    const int64_t hangFrom = nowMicros();
    ::kill(broker.pid(), SIGSTOP);
    for (int i = 0; i < 20; ++i)   // the program goes on changing what it publishes
        watch.publish("kadrel/bench/kort/cmd", i % 2 ? R"({"command":"stop"})" : R"({"command":"start"})");
    std::this_thread::sleep_for(std::chrono::seconds(5));
    const int64_t hangTo = nowMicros();
    ::kill(broker.pid(), SIGCONT);
    std::this_thread::sleep_for(std::chrono::seconds(1));
    const auto frames = bus.frames();
    std::printf("tick pacing (gaps between frames on the bus):\n");
    printPacing("broker there", gaps(frames, beforeHang, hangFrom));
    printPacing("broker stopping, away (2 s)", gaps(frames, awayFrom, awayTo));
    printPacing("broker hung, SIGSTOP (5 s)", gaps(frames, hangFrom, hangTo));
    stopProgram(pid);
}

struct Campus {
    std::vector<double> worstP99, worstMax;   // per bus
    double cpuPercent = 0, brokerPercent = 0, sentPerSecond = 0, receivedPerSecond = 0;
    std::vector<double> rssMB;
    int up = 0;
    int viewAnswers = 0;
};

// GET path on the loopback with the bearer key; the status, 0 when nothing answered.
int loopbackGet(int port, const std::string& path, const std::string& key)
{
    const int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int status = 0;
    const std::string request = "GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\nAuthorization: Bearer " + key +
                                "\r\nConnection: close\r\n\r\n";
    if (::connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
        ::write(s, request.data(), request.size()) == static_cast<ssize_t>(request.size())) {
        std::string answer;
        char buf[4096];
        for (ssize_t n; (n = ::read(s, buf, sizeof buf)) > 0;)
            answer.append(buf, static_cast<size_t>(n));
        if (answer.rfind("HTTP/1.1 ", 0) == 0)
            status = std::atoi(answer.c_str() + 9);
    }
    ::close(s);
    return status;
}

long sysCounter(const BrokerWatch& w, const char* name)
{
    const std::string v = w.last(std::string("$SYS/broker/messages/") + name);
    return v.empty() ? -1 : std::stol(v);
}

// `watched`: a view page shows the other buses from the first program's API, once a second.
Campus phaseCampus(int instances, int seconds, bool mqtt, bool watched = false)
{
    Campus out;
    const int viewPort = Ser2net::freePort();
    const std::string viewKey(43, 'v');
    MosquittoBroker broker("sys_interval 1\n");
    if (!broker.ok())
        return out;
    Home home;
    std::vector<std::unique_ptr<Pty>> ptys;
    std::vector<std::unique_ptr<StampedBus>> buses;
    std::vector<pid_t> pids;
    for (int i = 0; i < instances; ++i) {
        char name[16];
        std::snprintf(name, sizeof name, "kort-%02d", i + 1);
        ptys.push_back(std::make_unique<Pty>());
        home.publish(std::string("BENCH") + (name + 5), ptys.back()->path);
        const std::filesystem::path folder = home.root / "config/kadrel" / name;
        std::filesystem::create_directories(folder);
        SettingsFile::Values values;
        values.portIndex = i;
        for (int n = 0; n < 4; ++n)
            values.clocks[n].name = "Zegar " + std::to_string(n + 1);
        values.autoConnect = true;
        std::ofstream(folder / "z.cf", std::ios::binary) << SettingsFile::build(values);
        if (mqtt)
            std::ofstream(folder / "mqtt.json") << mqttJson(broker.port(), name);
        if (watched && i == 0)
            std::ofstream(folder / "zdalne.json") << R"({"enabled":true,"port":)" << viewPort << R"(,"token":")"
                                                  << std::string(43, 't') << R"(","viewerKey":")" << viewKey << R"("})";
        buses.push_back(std::make_unique<StampedBus>(*ptys.back()));
    }
    for (int i = 0; i < instances; ++i) {
        char name[16];
        std::snprintf(name, sizeof name, "kort-%02d", i + 1);
        pids.push_back(home.startProgram({"--headless", "--profile", name}, (home.root / (std::string(name) + ".txt")).string()));
    }
    waitUntil([&] {
        return std::all_of(buses.begin(), buses.end(), [](const auto& b) { return !b->frames().empty(); });
    }, 60);
    std::atomic<bool> viewing{watched};
    std::thread viewer([&] {
        while (viewing) {
            out.viewAnswers += loopbackGet(viewPort, "/api/v1/campus", viewKey) == 200;
            std::this_thread::sleep_for(std::chrono::seconds(1));
        }
    });
    std::this_thread::sleep_for(std::chrono::seconds(5));
    BrokerWatch sys(broker.port(), "$SYS/broker/messages/#");
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    const long sent0 = sysCounter(sys, "sent"), received0 = sysCounter(sys, "received");
    std::vector<ProcStat> before;
    for (const pid_t p : pids)
        before.push_back(readProc(p));
    const ProcStat brokerBefore = readProc(broker.pid());
    const int64_t t0 = nowMicros();
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    const int64_t t1 = nowMicros();
    const double wall = (t1 - t0) / 1e6;
    const long sent1 = sysCounter(sys, "sent"), received1 = sysCounter(sys, "received");
    double cpu = 0;
    for (size_t i = 0; i < pids.size(); ++i) {
        const ProcStat now = readProc(pids[i]);
        cpu += now.cpuSeconds - before[i].cpuSeconds;
        out.rssMB.push_back(now.rssKb / 1024.0);
    }
    out.cpuPercent = 100 * cpu / wall;
    out.brokerPercent = 100 * (readProc(broker.pid()).cpuSeconds - brokerBefore.cpuSeconds) / wall;
    out.sentPerSecond = sent0 >= 0 && sent1 >= 0 ? (sent1 - sent0) / wall : NAN;
    out.receivedPerSecond = received0 >= 0 && received1 >= 0 ? (received1 - received0) / wall : NAN;
    for (const auto& b : buses) {
        const std::vector<double> g = gaps(b->frames(), t0, t1);
        out.up += !g.empty();
        out.worstP99.push_back(percentile(g, 99));
        out.worstMax.push_back(g.empty() ? NAN : *std::max_element(g.begin(), g.end()));
    }
    viewing = false;
    viewer.join();
    for (const pid_t p : pids)
        stopProgram(p);
    buses.clear();
    return out;
}

void printCampus(int instances, const std::vector<std::pair<const char*, Campus>>& runs)
{
    std::printf("campus: %d programs (profiles), a bus of four simulated clocks each, one Mosquitto\n", instances);
    std::printf("  %-44s", "");
    for (const auto& [name, c] : runs)
        std::printf(" %15s", name);
    std::printf("\n");
    const auto row = [&](const char* what, const char* unit, const std::function<double(const Campus&)>& value) {
        std::printf("  %-44s", what);
        for (const auto& [name, c] : runs)
            std::printf(" %12.1f %-2s", value(c), unit);
        std::printf("\n");
    };
    const auto median = [](const std::vector<double>& v) { return percentile(v, 50); };
    const auto worst = [](const std::vector<double>& v) { return v.empty() ? NAN : *std::max_element(v.begin(), v.end()); };
    row("buses polling", "", [](const Campus& c) { return c.up; });
    row("bus pacing, p99 gap (median of the buses)", "ms", [&](const Campus& c) { return median(c.worstP99); });
    row("bus pacing, p99 gap (worst bus)", "ms", [&](const Campus& c) { return worst(c.worstP99); });
    row("bus pacing, longest gap (worst bus)", "ms", [&](const Campus& c) { return worst(c.worstMax); });
    row("CPU of the programs, together", "%", [](const Campus& c) { return c.cpuPercent; });
    row("CPU of the broker", "%", [](const Campus& c) { return c.brokerPercent; });
    row("broker: messages received a second", "/s", [](const Campus& c) { return c.receivedPerSecond; });
    row("broker: messages sent a second", "/s", [](const Campus& c) { return c.sentPerSecond; });
    row("program memory, median", "MB", [&](const Campus& c) { return median(c.rssMB); });
    row("program memory, largest", "MB", [&](const Campus& c) { return worst(c.rssMB); });
    row("view page's campus answers (one a second)", "", [](const Campus& c) { return c.viewAnswers; });
}

} // namespace

int main(int argc, char** argv)
{
    if (!MosquittoBroker::installed()) {
        std::printf("bench_mqtt: mosquitto is not installed (Debian package mosquitto)\n");
        return 1;
    }
    const int commands = bench::option(argc, argv, "--commands", 100, 1);
    const int restarts = bench::option(argc, argv, "--restarts", 5, 1);
    const int instances = bench::option(argc, argv, "--instances", 20, 1);
    const int seconds = bench::option(argc, argv, "--seconds", 30, 5);
    std::printf("bench_mqtt: program %s\n", KADREL_BUILD_DIR "/kadrel");
    std::fflush(stdout);
    phaseOneBus(commands, restarts, bench::option(argc, argv, "--broker-nodelay", 0, 0) != 0);
    std::fflush(stdout);
    const Campus with = phaseCampus(instances, seconds, true);
    const Campus watched = phaseCampus(instances, seconds, true, true);
    const Campus without = phaseCampus(instances, seconds, false);
    printCampus(instances, {{"broker link", with}, {"+ campus view", watched}, {"without", without}});
    return 0;
}
