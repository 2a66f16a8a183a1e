// Network port benchmark: the program polling four simulated clocks through ser2net's RFC 2217
// port on loopback, against the same over a direct pseudo-terminal, in one run.
//
// Wire phase, per path: build/kadrel runs as a child (sandboxed settings that auto-connect to
// the first listed port) and the simulated bus, on the pty's master side in this process,
// timestamps every frame arriving there: tick period (median, p99 deviation from 100 ms) and the
// program's CPU share. Panel phase, per path: the main window runs in this process; the time
// from a reply's last byte written at the pty to the clock panel showing it (median, p99).
//
//   bench_network [--seconds N]      (default 30 per phase and path)
#include <signal.h>
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "app/KadrelApplication.h"
#include "bench/BenchSupport.h"
#include "bench/PanelLatency.h"
#include "tests/support/Ser2net.h"

using Clock = std::chrono::steady_clock;
using bench::BusThread;
using bench::FrameLog;
using bench::Home;
using bench::percentile;
using bench::Pty;

namespace {

// A home whose first listed port is either the pty itself (a virtual port) or the ser2net
// address in front of it (a network port; no virtual port then).
void listPort(const Home& home, const std::string& port)
{
    if (port.rfind("rfc2217://", 0) == 0 || port.rfind("tcp://", 0) == 0)
        std::ofstream(home.root / "config/kadrel/network-ports") << port << "\n";
    else
        home.publish("BENCH", port);
    home.writeSettings();
}

struct WireFigures {
    size_t frames = 0;
    double median = NAN, p99dev = NAN, cpu = NAN;
};

WireFigures phaseWire(const Pty& pty, const std::string& port, int seconds)
{
    WireFigures out;
    Home home;
    listPort(home, port);
    FrameLog bus;
    BusThread simulated(pty, &bus);
    const pid_t pid = home.startProgram();
    if (!bus.awaitFirst()) {
        std::printf("  %s: the program sent nothing within 20 s\n", port.c_str());
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
        return out;
    }
    const size_t first = bus.frames().size();
    const double cpu0 = bench::readProc(pid).cpuSeconds;
    const auto t0 = Clock::now();
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    const double cpu1 = bench::readProc(pid).cpuSeconds;
    const double wall = std::chrono::duration<double>(Clock::now() - t0).count();
    const auto frames = bus.frames();
    kill(pid, SIGTERM);
    waitpid(pid, nullptr, 0);

    std::vector<double> periods, deviations;
    for (size_t i = first; i < frames.size(); ++i) {
        const double ms = (frames[i].at - frames[i - 1].at) / 1000.0;
        periods.push_back(ms);
        deviations.push_back(std::fabs(ms - 100.0));
    }
    out.frames = periods.size();
    out.median = percentile(periods, 50);
    out.p99dev = percentile(deviations, 99);
    out.cpu = 100.0 * (cpu1 - cpu0) / wall;
    return out;
}

struct PanelFigures {
    size_t replies = 0;
    double median = NAN, p99 = NAN;
};

PanelFigures phasePanel(const Pty& pty, const std::string& port, int seconds)
{
    Home home;
    listPort(home, port);
    home.env();
    const std::vector<double> latencies = bench::replyToPanel(home, pty.master, seconds);
    return {latencies.size(), percentile(latencies, 50), percentile(latencies, 99)};
}

} // namespace

int main(int argc, char** argv)
{
    const int seconds = bench::option(argc, argv, "--seconds", 30, 1);
    std::printf("bench_network: %d s per phase and path; ser2net RFC 2217 on loopback vs direct pty\n", seconds);
    std::fflush(stdout);

    Pty pty;
    Ser2net server(pty.path);
    if (!server.ok()) {
        std::printf("ser2net did not start (Debian package ser2net)\n");
        return 1;
    }
    const std::string paths[2] = {pty.path, server.rfc2217Url()};
    const char* labels[2] = {"direct pty   ", "rfc2217     "};

    WireFigures wire[2];
    for (int i = 0; i < 2; ++i) {
        wire[i] = phaseWire(pty, paths[i], seconds);
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
    }
    std::printf("wire (tick period at ser2net's pty):\n");
    for (int i = 0; i < 2; ++i)
        std::printf("  %s %5zu frames, median %.3f ms, p99 deviation %.3f ms, program CPU %.2f %%\n", labels[i],
                    wire[i].frames, wire[i].median, wire[i].p99dev, wire[i].cpu);
    std::fflush(stdout);

    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    KadrelApplication app(argc, argv);
    PanelFigures panel[2];
    for (int i = 0; i < 2; ++i) {
        panel[i] = phasePanel(pty, paths[i], seconds);
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
    }
    std::printf("reply-to-panel:\n");
    for (int i = 0; i < 2; ++i)
        std::printf("  %s %5zu replies, median %.3f ms, p99 %.3f ms\n", labels[i], panel[i].replies, panel[i].median,
                    panel[i].p99);
    std::printf("rfc2217 minus direct: p99 latency %+.3f ms, median period %+.3f ms\n", panel[1].p99 - panel[0].p99,
                wire[1].median - wire[0].median);
    return 0;
}
