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
#include <QApplication>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
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
#include "bench/BenchSupport.h"
#include "bench/PanelLatency.h"
#include "link/Frame.h"
#include "sim/Bus.h"
#include "tests/support/Ser2net.h"

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using bench::BusThread;
using bench::nowMicros;
using bench::Pty;

namespace {

double percentile(std::vector<double> v, double p)
{
    if (v.empty())
        return NAN;
    std::sort(v.begin(), v.end());
    const double idx = p / 100.0 * (v.size() - 1);
    const size_t lo = static_cast<size_t>(std::floor(idx)), hi = static_cast<size_t>(std::ceil(idx));
    return v[lo] + (v[hi] - v[lo]) * (idx - lo);
}

class FrameLog : public sim::BusListener {
public:
    void received(sim::Micros at, const ByteString& bytes, const std::string&) override
    {
        if (bytes.size() >= 4 && byteAt(bytes, 0) == Frame::StartByte) {
            std::lock_guard<std::mutex> lock(mutex_);
            at_.push_back(at);
        }
    }
    std::vector<sim::Micros> frames()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return at_;
    }

private:
    std::mutex mutex_;
    std::vector<sim::Micros> at_;
};

double cpuSeconds(pid_t pid)
{
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    std::getline(stat, line);
    const auto close = line.rfind(')');
    if (close == std::string::npos)
        return 0;
    std::istringstream rest(line.substr(close + 2));
    std::string field;
    unsigned long utime = 0, stime = 0;
    for (int i = 3; i <= 15 && rest >> field; ++i) {
        if (i == 14) utime = std::stoul(field);
        if (i == 15) stime = std::stoul(field);
    }
    return static_cast<double>(utime + stime) / sysconf(_SC_CLK_TCK);
}

// A sandboxed home whose first listed port is either the pty itself (a virtual port) or the
// ser2net address in front of it (a network port; no virtual port then).
struct Sandbox {
    fs::path root;
    explicit Sandbox(const std::string& port)
    {
        std::string pattern = (fs::temp_directory_path() / "kadrel-bench-XXXXXX").string();
        root = mkdtemp(pattern.data());
        fs::create_directories(root / "config/kadrel");
        fs::create_directories(root / "runtime/kadrel/ports");
        chmod((root / "runtime").c_str(), 0700);
        if (port.rfind("rfc2217://", 0) == 0 || port.rfind("tcp://", 0) == 0)
            std::ofstream(root / "config/kadrel/network-ports") << port << "\n";
        else
            fs::create_symlink(port, root / "runtime/kadrel/ports/BENCH");
        SettingsFile::Values values;
        for (int n = 0; n < 4; ++n)
            values.clocks[n].name = "Zegar " + std::to_string(n + 1);
        values.autoConnect = true;
        const ByteString image = SettingsFile::build(values);
        std::ofstream(root / "config/kadrel/z.cf", std::ios::binary) << image;
    }
    ~Sandbox()
    {
        std::error_code ec;
        fs::remove_all(root, ec);
    }
    void env() const
    {
        setenv("HOME", root.c_str(), 1);
        setenv("XDG_CONFIG_HOME", (root / "config").c_str(), 1);
        setenv("XDG_RUNTIME_DIR", (root / "runtime").c_str(), 1);
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
    }
};

struct WireFigures {
    size_t frames = 0;
    double median = NAN, p99dev = NAN, cpu = NAN;
};

WireFigures phaseWire(const Pty& pty, const std::string& port, int seconds)
{
    WireFigures out;
    Sandbox box(port);
    FrameLog bus;
    BusThread simulated(pty, &bus);
    const pid_t pid = fork();
    if (pid == 0) {
        box.env();
        const std::string program = std::string(KADREL_BUILD_DIR) + "/kadrel";
        execl(program.c_str(), program.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    const auto deadline = Clock::now() + std::chrono::seconds(20);
    while (bus.frames().empty() && Clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    if (bus.frames().empty()) {
        std::printf("  %s: the program sent nothing within 20 s\n", port.c_str());
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
        return out;
    }
    std::this_thread::sleep_for(std::chrono::seconds(2));
    const size_t first = bus.frames().size();
    const double cpu0 = cpuSeconds(pid);
    const auto t0 = Clock::now();
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    const double cpu1 = cpuSeconds(pid);
    const double wall = std::chrono::duration<double>(Clock::now() - t0).count();
    const auto frames = bus.frames();
    kill(pid, SIGTERM);
    waitpid(pid, nullptr, 0);

    std::vector<double> periods, deviations;
    for (size_t i = first; i < frames.size(); ++i) {
        const double ms = (frames[i] - frames[i - 1]) / 1000.0;
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
    Sandbox box(port);
    box.env();
    resetSeams();
    seams().showMessage = [](MsgKind, const QString& text) { std::fprintf(stderr, "box: %s\n", qPrintable(text)); };
    seams().beep = [] {};
    seams().sysfsRoot = QString::fromStdString((box.root / "nosys").string());

    auto* form = new TForm1;
    form->Button_polacz->click();

    const std::vector<double> latencies = bench::replyToPanel(*form, pty.master, seconds);
    delete form;
    return {latencies.size(), percentile(latencies, 50), percentile(latencies, 99)};
}

} // namespace

int main(int argc, char** argv)
{
    int seconds = 30;
    for (int i = 1; i + 1 < argc; ++i)
        if (std::string(argv[i]) == "--seconds")
            seconds = std::max(1, std::atoi(argv[i + 1]));
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
