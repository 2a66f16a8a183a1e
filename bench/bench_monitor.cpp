// Monitor benchmark: the main window connected to a pseudo-terminal with the bus monitor open,
// while the other side floods it with garbage (random bytes with no frame in them, as a device
// at the wrong speed sends). Prints the process's resident memory before and during the flood,
// the monitor's history (lines, bytes held) and the tick's period (p50, p99, max).
//
//   bench_monitor [--seconds N] [--rate BYTES_PER_S]   (default 60 s, 0 = as fast as the pty takes)
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "app/KadrelApplication.h"
#include "app/KadrelMain.h"
#include "widgets/Seams.h"
#include "bench/BenchQt.h"
#include "bench/BenchSupport.h"
#include "dialogs/Monitor.h"

namespace {

using bench::nowMicros;
using bench::percentile;
using bench::Pty;
using bench::residentMB;
using bench::runFor;

// Writes garbage to the pty's master side and drains the program's frames from it.
class Flood {
public:
    Flood(int master, double rate) : master_(master), rate_(rate), thread_([this] { run(); }) {}
    ~Flood()
    {
        stop_ = true;
        thread_.join();
    }
    long long written() const { return written_; }

private:
    void run()
    {
        std::mt19937 random(12345);
        std::vector<char> chunk(4096);
        const int64_t start = nowMicros();
        while (!stop_) {
            pollfd p{master_, POLLIN | POLLOUT, 0};
            ::poll(&p, 1, 20);
            if (p.revents & POLLIN) {
                char sink[4096];
                (void)!::read(master_, sink, sizeof sink);
            }
            if (!(p.revents & POLLOUT))
                continue;
            size_t n = chunk.size();
            if (rate_ > 0) {
                const double due = rate_ * (nowMicros() - start) / 1e6 - static_cast<double>(written_);
                if (due < 1) {
                    std::this_thread::sleep_for(std::chrono::milliseconds(2));
                    continue;
                }
                n = std::min(n, static_cast<size_t>(due));
            }
            for (size_t i = 0; i < n; ++i) {
                char c = static_cast<char>(random());
                chunk[i] = c == 'Z' ? 'z' : c;   // no start byte: every byte is thrown away
            }
            const ssize_t w = ::write(master_, chunk.data(), n);
            if (w > 0)
                written_ += w;
        }
    }

    int master_;
    double rate_;
    std::atomic<bool> stop_{false};
    std::atomic<long long> written_{0};
    std::thread thread_;
};

} // namespace

int main(int argc, char** argv)
{
    const double seconds = bench::option(argc, argv, "--seconds", 60.0, 1.0);
    const double rate = bench::option(argc, argv, "--rate", 0.0, 0.0);
    bench::offscreenByDefault();
    KadrelApplication app(argc, argv);

    bench::Sandbox sandbox("bench_monitor", {"ports", "sys"});
    Pty pty;
    sandbox.publish(pty.path);
    seams().showMessage = [](MsgKind, const QString& text) { std::printf("  box: %s\n", qUtf8Printable(text)); };

    auto* form = bench::openWindow();
    if (!bench::connectWindow(*form, pty.path))
        return 1;
    std::vector<double> periods;
    int64_t last = 0;
    QObject::connect(form->Timer, &QTimer::timeout, [&] {
        const int64_t now = nowMicros();
        if (last)
            periods.push_back((now - last) / 1000.0);
        last = now;
    });
    auto ticks = [&](const char* phase) {
        std::printf("%-34s tick period p50 %.1f ms, p99 %.1f ms, max %.1f ms over %zu ticks\n", phase,
                    percentile(periods, 50), percentile(periods, 99), percentile(periods, 100), periods.size());
        periods.clear();
        last = 0;
    };

    std::printf("bench_monitor: main window on a pty, garbage flood %s, %.0f s a phase\n",
                rate > 0 ? (std::to_string(static_cast<long>(rate)) + " B/s").c_str() : "as fast as the pty takes",
                seconds);
    runFor(1);
    periods.clear();
    last = 0;
    runFor(std::min(seconds, 10.0));
    ticks("no flood, monitor closed:");
    {
        Flood flood(pty.master, rate);
        runFor(seconds);
        std::printf("flood, monitor closed: %.0f kB/s taken;", flood.written() / 1024.0 / seconds);
        ticks("");
    }

    form->Monitor1Click();
    TFMonitor* monitor = form->FMonitor;
    runFor(1);
    const double before = residentMB();
    std::printf("monitor open, before the flood:    resident %.1f MB\n", before);
    periods.clear();
    last = 0;
    double peak = before;
    long long bytes = 0;
    {
        Flood flood(pty.master, rate);
        const int steps = static_cast<int>(seconds);
        for (int s = 1; s <= steps; ++s) {
            runFor(1);
            peak = std::max(peak, residentMB());
            if (s % 10 == 0 || s == steps)
                std::printf("flood, monitor open, after %3d s:  resident %.1f MB, monitor %d lines, %.1f MB of text held\n",
                            s, residentMB(), monitor->Log().rowCount(), monitor->Log().bytesUsed() / (1024.0 * 1024.0));
        }
        bytes = flood.written();
    }
    std::printf("flood, monitor open: %.0f kB/s taken;", bytes / 1024.0 / seconds);
    ticks("");
    std::printf("resident memory: peak %.1f MB (%.1f MB before the flood)\n", peak, before);

    delete form;
    return 0;
}
