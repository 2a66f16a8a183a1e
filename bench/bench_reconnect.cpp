// Reconnect benchmark: the built program (build/kadrel, offscreen, its real boxes) polling four
// simulated clocks, the adapter pulled and brought back again and again while nobody clicks the
// box; then the same through ser2net's RFC 2217 port, the server stopped and started. Prints
// the time from the device's (or server's) return to the first frame on the bus, median and
// max, the boxes shown, and the CPU and memory of the program without a screen (--headless,
// remote page on) next to the desktop program's.
//
//   bench_reconnect [--pulls N] [--server-restarts N] [--seconds S]
//                   (default 20 pulls, 5 server restarts, 20 s of each CPU reading)

#include <sys/wait.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <vector>

#include "bench/BenchSupport.h"
#include "serial/NetworkPorts.h"
#include "tests/support/Ser2net.h"

namespace fs = std::filesystem;
using bench::BusThread;
using bench::Home;
using bench::nowMicros;
using bench::Pty;

namespace {

// The moment the first frame reached the bus after it was armed.
class FirstFrame : public sim::BusListener {
public:
    void received(sim::Micros, const ByteString& bytes, const std::string&) override
    {
        int64_t none = 0;
        if (!bytes.empty() && static_cast<uint8_t>(bytes[0]) == 0x5A)
            at.compare_exchange_strong(none, nowMicros());
    }
    void arm() { at = 0; }
    std::atomic<int64_t> at{0};
};

bool waitUntil(const std::function<bool()>& done, double seconds)
{
    const int64_t end = nowMicros() + static_cast<int64_t>(seconds * 1e6);
    while (!done()) {
        if (nowMicros() > end)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

void stopProgram(pid_t pid)
{
    kill(pid, SIGTERM);
    waitpid(pid, nullptr, 0);
}

void printTimes(const char* what, std::vector<double> ms, const char* target)
{
    if (ms.empty())
        return;
    std::sort(ms.begin(), ms.end());
    std::printf("%s over %zu returns: median %.0f ms, max %.0f ms%s\n", what, ms.size(), ms[ms.size() / 2], ms.back(),
                target);
}

// The adapter (a pty behind a virtual port's link) pulled and back, `pulls` times.
bool phasePty(int pulls)
{
    Home home;
    home.writeSettings();
    const fs::path link = home.root / "runtime/kadrel/ports/BENCH";
    auto pty = std::make_unique<Pty>();
    FirstFrame first;
    auto bus = std::make_unique<BusThread>(*pty, &first);
    fs::create_symlink(pty->path, link);
    const pid_t pid = home.startProgram({}, (home.root / "output.txt").string());
    if (!waitUntil([&] { return first.at != 0; }, 20)) {
        std::printf("pty: the program sent nothing within 20 s\n");
        stopProgram(pid);
        return false;
    }
    std::printf("pty: build/kadrel polling four simulated clocks, %d pulls, the box never clicked\n", pulls);
    std::vector<double> times;
    double waitingCpu = -1;
    for (int pull = 0; pull < pulls; ++pull) {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        bus.reset();
        pty->closeAll();
        fs::remove(link);
        if (!waitUntil([&] { return home.logCount("Komunikat (błąd)") == pull + 1; }, 5)) {
            std::printf("pull %d: no box for the loss\n%s", pull + 1, home.eventLog().c_str());
            stopProgram(pid);
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1200));   // past the disconnect's second
        if (pull == 0) {
            const bench::ProcStat before = bench::readProc(pid);
            const int64_t t0 = nowMicros();
            std::this_thread::sleep_for(std::chrono::seconds(10));   // /proc counts in 10 ms steps
            const bench::ProcStat after = bench::readProc(pid);
            waitingCpu = 100.0 * (after.cpuSeconds - before.cpuSeconds) / ((nowMicros() - t0) / 1e6);
        }
        pty = std::make_unique<Pty>();
        first.arm();
        bus = std::make_unique<BusThread>(*pty, &first);
        const int64_t back = nowMicros();
        fs::create_symlink(pty->path, link);
        if (!waitUntil([&] { return first.at != 0; }, 10)) {
            std::printf("pull %d: no frame within 10 s of the return\n", pull + 1);
            stopProgram(pid);
            return false;
        }
        times.push_back((first.at - back) / 1000.0);
    }
    waitUntil([&] { return home.logCount("Komunikat o utracie połączenia zamknięty") == pulls; }, 2);
    printTimes("device back -> first frame", times, " (target <= 1500 ms)");
    std::printf("CPU while waiting for the device under its open box (10 s, the tick running): %.3f %% of one core "
                "(target <= 0.2 %%)\n", waitingCpu);
    std::printf("boxes: %d shown, one per loss; %d closed by the return, none by a click\n",
                home.logCount("Komunikat (błąd)"), home.logCount("Komunikat o utracie połączenia zamknięty"));
    stopProgram(pid);
    return true;
}

// ser2net's RFC 2217 port in front of the bus, the server stopped and started again.
bool phaseSer2net(int restarts)
{
    Home home;
    Pty pty;
    FirstFrame first;
    BusThread bus(pty, &first);
    Ser2net server(pty.path);
    if (!server.ok()) {
        std::printf("ser2net: not installed or did not start (Debian package ser2net); skipped\n");
        return true;
    }
    NetworkPorts::save((home.root / "config/kadrel/network-ports").string(), {server.rfc2217Url()});
    home.writeSettings();
    const pid_t pid = home.startProgram({}, (home.root / "output.txt").string());
    if (!waitUntil([&] { return first.at != 0; }, 20)) {
        std::printf("ser2net: the program sent nothing within 20 s\n");
        stopProgram(pid);
        return false;
    }
    std::printf("ser2net: build/kadrel on %s, %d server restarts\n", server.rfc2217Url().c_str(), restarts);
    std::vector<double> times;
    for (int n = 0; n < restarts; ++n) {
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        server.stop();
        if (!waitUntil([&] { return home.logCount("Komunikat (błąd)") == n + 1; }, 15)) {
            std::printf("restart %d: no box for the loss\n", n + 1);
            stopProgram(pid);
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1200));
        first.arm();
        const int64_t back = nowMicros();
        server.restart();
        if (!waitUntil([&] { return first.at != 0; }, 10)) {
            std::printf("restart %d: no frame within 10 s of the server's return\n", n + 1);
            stopProgram(pid);
            return false;
        }
        times.push_back((first.at - back) / 1000.0);
    }
    printTimes("server back -> first frame", times, " (the open is tried again every second; target <= 1500 ms)");
    std::printf("boxes: %d shown, %d closed by the return\n", home.logCount("Komunikat (błąd)"),
                home.logCount("Komunikat o utracie połączenia zamknięty"));
    stopProgram(pid);
    return true;
}

// CPU and memory while polling four clocks with the remote page on.
void phaseUse(bool headless, int seconds)
{
    Home home;
    Pty pty;
    FirstFrame first;
    BusThread bus(pty, &first);
    home.publish("BENCH", pty.path);
    home.writeSettings();
    std::ofstream(home.root / "config/kadrel/zdalne.json")
        << "{\"enabled\": true, \"port\": " << Ser2net::freePort()
        << ", \"token\": \"bench-token-bench-token-bench-token-0123\"}";
    const pid_t pid = home.startProgram(headless ? std::vector<std::string>{"--headless"} : std::vector<std::string>{},
                                        (home.root / "output.txt").string());
    if (!waitUntil([&] { return first.at != 0; }, 20)) {
        std::printf("%s: the program sent nothing within 20 s\n", headless ? "--headless" : "desktop");
        stopProgram(pid);
        return;
    }
    std::this_thread::sleep_for(std::chrono::seconds(2));
    const bench::ProcStat before = bench::readProc(pid);
    const int64_t t0 = nowMicros();
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    const bench::ProcStat after = bench::readProc(pid);
    const double wall = (nowMicros() - t0) / 1e6;
    std::printf("%-10s polling four clocks, remote page on: CPU %.2f %% of one core, resident %.1f MB (high-water %.1f MB)\n",
                headless ? "--headless" : "desktop", 100.0 * (after.cpuSeconds - before.cpuSeconds) / wall,
                after.rssKb / 1024.0, after.hwmKb / 1024.0);
    stopProgram(pid);
}

} // namespace

int main(int argc, char** argv)
{
    const int pulls = bench::option(argc, argv, "--pulls", 20, 1);
    const int restarts = bench::option(argc, argv, "--server-restarts", 5, 0);
    const int seconds = bench::option(argc, argv, "--seconds", 20, 2);
    if (!phasePty(pulls))
        return 1;
    if (restarts > 0 && !phaseSer2net(restarts))
        return 1;
    phaseUse(true, seconds);
    phaseUse(false, seconds);
    return 0;
}
