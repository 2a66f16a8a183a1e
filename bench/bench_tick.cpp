// Tick benchmark: the real program polling four simulated clocks over a pseudo-terminal.
//
// Phase 1 runs build/kadrel as a child process (sandboxed settings that auto-connect) against
// the simulated bus, which runs in this process and timestamps every frame the program puts on
// the wire: tick period, broadcast interval, the program's CPU share and resident memory.
// Phase 2 runs the main window in this process and measures the time from a reply's last byte
// written at the pty to the clock panel showing it.
//
//   bench_tick [--seconds N]      (default 60 per phase)
#include <QApplication>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "app/KadrelApplication.h"
#include "app/KadrelMain.h"
#include "app/Seams.h"
#include "app/SettingsFile.h"
#include "link/Frame.h"
#include "bench/BenchSupport.h"
#include "bench/PanelLatency.h"
#include "sim/Bus.h"

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

using bench::BusThread;
using bench::nowMicros;
using bench::Pty;

double percentile(std::vector<double> v, double p)
{
    if (v.empty())
        return NAN;
    std::sort(v.begin(), v.end());
    const double idx = p / 100.0 * (v.size() - 1);
    const size_t lo = static_cast<size_t>(std::floor(idx)), hi = static_cast<size_t>(std::ceil(idx));
    return v[lo] + (v[hi] - v[lo]) * (idx - lo);
}

// Timestamps every frame the program puts on the wire, as the simulated bus sees it.
class FrameLog : public sim::BusListener {
public:
    void received(sim::Micros at, const ByteString& bytes, const std::string&) override
    {
        if (bytes.size() >= 4 && byteAt(bytes, 0) == Frame::StartByte) {
            std::lock_guard<std::mutex> lock(mutex_);
            frames_.push_back({at, byteAt(bytes, 1)});
        }
    }
    struct Seen {
        sim::Micros at;
        uint8_t address;
    };
    std::vector<Seen> frames()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return frames_;
    }

private:
    std::mutex mutex_;
    std::vector<Seen> frames_;
};

struct ProcStat {
    double cpuSeconds = 0;
    long rssKb = 0, hwmKb = 0;
};

ProcStat readProc(pid_t pid)
{
    ProcStat s;
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    std::getline(stat, line);
    const auto close = line.rfind(')');
    if (close != std::string::npos) {
        std::istringstream rest(line.substr(close + 2));
        std::string field;
        unsigned long utime = 0, stime = 0;
        for (int i = 3; i <= 15 && rest >> field; ++i) {
            if (i == 14) utime = std::stoul(field);
            if (i == 15) stime = std::stoul(field);
        }
        s.cpuSeconds = static_cast<double>(utime + stime) / sysconf(_SC_CLK_TCK);
    }
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    while (std::getline(status, line)) {
        if (line.rfind("VmRSS:", 0) == 0) s.rssKb = std::stol(line.substr(6));
        if (line.rfind("VmHWM:", 0) == 0) s.hwmKb = std::stol(line.substr(6));
    }
    return s;
}

struct Sandbox {
    fs::path root;
    Sandbox()
    {
        std::string pattern = (fs::temp_directory_path() / "kadrel-bench-XXXXXX").string();
        root = mkdtemp(pattern.data());
        fs::create_directories(root / "config/kadrel");
        fs::create_directories(root / "runtime/kadrel/ports");
        chmod((root / "runtime").c_str(), 0700);
    }
    ~Sandbox()
    {
        std::error_code ec;
        fs::remove_all(root, ec);
    }
    void publish(const std::string& name, const std::string& device) const
    {
        fs::create_symlink(device, root / "runtime/kadrel/ports" / name);
    }
    void env() const
    {
        setenv("HOME", root.c_str(), 1);
        setenv("XDG_CONFIG_HOME", (root / "config").c_str(), 1);
        setenv("XDG_RUNTIME_DIR", (root / "runtime").c_str(), 1);
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
    }
};

void phaseWire(int seconds)
{
    Sandbox box;
    Pty pty;
    box.publish("BENCH", pty.path);
    SettingsFile::Values values;           // design values, but connecting at start
    for (int n = 0; n < 4; ++n)
        values.clocks[n].name = "Zegar " + std::to_string(n + 1);
    values.autoConnect = true;
    const ByteString image = SettingsFile::build(values);
    std::ofstream(box.root / "config/kadrel/z.cf", std::ios::binary) << image;

    FrameLog bus;
    BusThread simulated(pty, &bus);
    const pid_t pid = fork();
    if (pid == 0) {
        box.env();
        const std::string program = std::string(KADREL_BUILD_DIR) + "/kadrel";
        execl(program.c_str(), program.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }

    // Wait for the first frame, let start-up settle, then measure.
    const auto deadline = Clock::now() + std::chrono::seconds(20);
    while (bus.frames().empty() && Clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    if (bus.frames().empty()) {
        std::printf("phase 1: the program sent nothing within 20 s\n");
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
        return;
    }
    std::this_thread::sleep_for(std::chrono::seconds(2));
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

void phasePanel(const Sandbox& box, int seconds)
{
    Pty pty;
    box.publish("BENCH", pty.path);
    resetSeams();
    seams().showMessage = [](MsgKind, const QString& text) { std::fprintf(stderr, "box: %s\n", qPrintable(text)); };
    seams().beep = [] {};
    seams().sysfsRoot = QString::fromStdString((box.root / "nosys").string());

    auto* form = new TForm1;
    form->Button_polacz->click();

    const std::vector<double> latencies = bench::replyToPanel(*form, pty.master, seconds);
    delete form;
    std::printf("phase 2: %zu replies shown\n", latencies.size());
    std::printf("  reply-to-panel: median %.3f ms, p99 %.3f ms, max %.3f ms\n", percentile(latencies, 50),
                percentile(latencies, 99),
                latencies.empty() ? NAN : *std::max_element(latencies.begin(), latencies.end()));
}

} // namespace

int main(int argc, char** argv)
{
    int seconds = 60;
    for (int i = 1; i + 1 < argc; ++i)
        if (std::string(argv[i]) == "--seconds")
            seconds = std::max(1, std::atoi(argv[i + 1]));
    std::printf("bench_tick: %d s per phase\n", seconds);
    std::fflush(stdout);
    phaseWire(seconds);
    std::fflush(stdout);
    Sandbox box;
    box.env();
    KadrelApplication app(argc, argv);
    phasePanel(box, seconds);
    return 0;
}
