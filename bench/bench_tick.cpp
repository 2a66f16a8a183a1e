// Tick benchmark: the real program polling four simulated clocks over a pseudo-terminal.
//
// Phase 1 runs build/kadrel as a child process (sandboxed settings that auto-connect) against
// the simulated bus, which runs in this process and timestamps every frame the program puts on
// the wire: tick period, broadcast interval, the program's CPU share and resident memory.
// Phase 2 runs the main window in this process and measures the time from a reply's last byte
// written at the pty to the clock panel showing it.
//
//   bench_tick [--seconds N]      (default 60 per phase)
#include <signal.h>
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "app/KadrelApplication.h"
#include "bench/BenchSupport.h"
#include "bench/PanelLatency.h"
#include "link/Frame.h"

using Clock = std::chrono::steady_clock;

namespace {

using bench::BusThread;
using bench::FrameLog;
using bench::Home;
using bench::percentile;
using bench::ProcStat;
using bench::Pty;
using bench::readProc;

void phaseWire(int seconds)
{
    Home home;
    Pty pty;
    home.publish("BENCH", pty.path);
    home.writeSettings();

    FrameLog bus;
    BusThread simulated(pty, &bus);
    const pid_t pid = home.startProgram();

    // Wait for the first frame, let start-up settle, then measure.
    if (!bus.awaitFirst()) {
        std::printf("phase 1: the program sent nothing within 20 s\n");
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
        return;
    }
    const size_t first = bus.frames().size();
    const ProcStat before = readProc(pid);
    const auto t0 = Clock::now();
    long peakRss = 0;
    for (int i = 0; i < seconds * 4; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(250));
        peakRss = std::max(peakRss, readProc(pid).rssKb);
    }
    const ProcStat after = readProc(pid);
    const double wall = std::chrono::duration<double>(Clock::now() - t0).count();
    const auto frames = bus.frames();
    kill(pid, SIGTERM);
    int status = 0;
    waitpid(pid, &status, 0);

    std::vector<double> periods, deviations, broadcasts;
    sim::Micros lastBroadcast = -1;
    for (size_t i = first; i < frames.size(); ++i) {
        const double ms = (frames[i].at - frames[i - 1].at) / 1000.0;
        periods.push_back(ms);
        deviations.push_back(std::fabs(ms - 100.0));
        if (frames[i].address == Frame::BroadcastAddress) {
            if (lastBroadcast >= 0)
                broadcasts.push_back((frames[i].at - lastBroadcast) / 1e6);
            lastBroadcast = frames[i].at;
        }
    }
    std::printf("phase 1: %zu frames over %.1f s, four clocks polled\n", periods.size(), wall);
    std::printf("  tick period on the wire: median %.3f ms, p99 deviation %.3f ms, max deviation %.3f ms\n",
                percentile(periods, 50), percentile(deviations, 99),
                deviations.empty() ? NAN : *std::max_element(deviations.begin(), deviations.end()));
    if (!broadcasts.empty())
        std::printf("  broadcast interval: %zu intervals, min %.4f s, median %.4f s, max %.4f s\n",
                    broadcasts.size(), *std::min_element(broadcasts.begin(), broadcasts.end()),
                    percentile(broadcasts, 50), *std::max_element(broadcasts.begin(), broadcasts.end()));
    std::printf("  program CPU: %.2f %% of one core\n", 100.0 * (after.cpuSeconds - before.cpuSeconds) / wall);
    std::printf("  program resident memory: %.1f MB (peak during the run %.1f MB, high-water %.1f MB)\n",
                after.rssKb / 1024.0, peakRss / 1024.0, after.hwmKb / 1024.0);
}

void phasePanel(const Home& home, int seconds)
{
    Pty pty;
    home.publish("BENCH", pty.path);
    const std::vector<double> latencies = bench::replyToPanel(home, pty.master, seconds);
    std::printf("phase 2: %zu replies shown\n", latencies.size());
    std::printf("  reply-to-panel: median %.3f ms, p99 %.3f ms, max %.3f ms\n", percentile(latencies, 50),
                percentile(latencies, 99),
                latencies.empty() ? NAN : *std::max_element(latencies.begin(), latencies.end()));
}

} // namespace

int main(int argc, char** argv)
{
    const int seconds = bench::option(argc, argv, "--seconds", 60, 1);
    std::printf("bench_tick: %d s per phase\n", seconds);
    std::fflush(stdout);
    phaseWire(seconds);
    std::fflush(stdout);
    Home home;
    home.env();
    KadrelApplication app(argc, argv);
    phasePanel(home, seconds);
    return 0;
}
