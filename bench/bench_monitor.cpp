// Monitor benchmark: the main window connected to a pseudo-terminal with the bus monitor open,
// while the other side floods it with garbage (random bytes with no frame in them, as a device
// at the wrong speed sends). Prints the process's resident memory before and during the flood,
// the monitor's history (lines, bytes held) and the tick's period (p50, p99, max).
//
//   bench_monitor [--seconds N] [--rate BYTES_PER_S]   (default 60 s, 0 = as fast as the pty takes)
#include <QApplication>
#include <QCheckBox>
#include <QEventLoop>
#include <QPushButton>
#include <QTimer>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "app/KadrelApplication.h"
#include "app/KadrelMain.h"
#include "app/Seams.h"
#include "bench/BenchSupport.h"
#include "dialogs/Monitor.h"
#include "serial/ComPort.h"

namespace fs = std::filesystem;

namespace {

using bench::nowMicros;
using bench::Pty;

double residentMB()
{
    std::ifstream statm("/proc/self/statm");
    long pages = 0, resident = 0;
    statm >> pages >> resident;
    return resident * static_cast<double>(sysconf(_SC_PAGESIZE)) / (1024.0 * 1024.0);
}

double percentile(std::vector<double> v, double p)
{
    if (v.empty())
        return NAN;
    std::sort(v.begin(), v.end());
    return v[static_cast<size_t>(std::lround(p / 100.0 * (v.size() - 1)))];
}

void runFor(double seconds)
{
    QEventLoop loop;
    QTimer::singleShot(static_cast<int>(seconds * 1000), &loop, &QEventLoop::quit);
    loop.exec();
}

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
    double seconds = 60, rate = 0;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--seconds") == 0 && i + 1 < argc)
            seconds = std::max(1.0, std::atof(argv[++i]));
        else if (std::strcmp(argv[i], "--rate") == 0 && i + 1 < argc)
            rate = std::max(0.0, std::atof(argv[++i]));
    }
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    KadrelApplication app(argc, argv);

    char folderTemplate[] = "/tmp/bench_monitor.XXXXXX";
    const char* folder = mkdtemp(folderTemplate);
    if (!folder) {
        std::perror("mkdtemp");
        return 1;
    }
    const fs::path root(folder);
    fs::create_directories(root / "ports");
    fs::create_directories(root / "sys");
    Pty pty;
    fs::create_symlink(pty.path, root / "ports" / "BUS");
    resetSeams();
    seams().sysfsRoot = QString::fromStdString((root / "sys").string());
    seams().virtualPortDir = QString::fromStdString((root / "ports").string());
    seams().settingsPath = QString::fromStdString((root / "z.cf").string());
    seams().showMessage = [](MsgKind, const QString& text) { std::printf("  box: %s\n", qUtf8Printable(text)); };
    seams().beep = [] {};

    auto* form = new TForm1;
    for (int clock = 1; clock <= 4; ++clock)
        form->Clocks[clock].boxActiv->setChecked(true);
    form->show();
    form->Button_polacz->click();
    if (!form->ComPort->Connected()) {
        std::fprintf(stderr, "could not connect to %s\n", pty.path.c_str());
        return 1;
    }
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
    fs::remove_all(root);
    return 0;
}
