#pragma once
// Shared pieces of the benchmarks, free of Qt: options, figures, CPU and memory readings, a raw
// pseudo-terminal pair, the simulated bus answering on its master side in a thread of its own,
// and a home folder of its own for the program.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <functional>
#include <thread>
#include <type_traits>
#include <vector>

#include "files/SettingsFile.h"
#include "link/Frame.h"
#include "sim/Bus.h"

namespace bench {

inline int64_t nowMicros()
{
    using namespace std::chrono;
    return duration_cast<microseconds>(steady_clock::now().time_since_epoch()).count();
}

// The number after NAME on the command line, at least LEAST; FALLBACK when NAME is not given.
template <class T>
T option(int argc, char** argv, const char* name, T fallback, T least)
{
    for (int i = 1; i + 1 < argc; ++i) {
        if (std::strcmp(argv[i], name) != 0)
            continue;
        if constexpr (std::is_integral_v<T>)
            fallback = std::max<T>(least, std::atoi(argv[i + 1]));
        else
            fallback = std::max<T>(least, std::atof(argv[i + 1]));
    }
    return fallback;
}

// The P-th percentile (0..100), interpolated between neighbouring ranks; NaN when V is empty.
inline double percentile(std::vector<double> v, double p)
{
    if (v.empty())
        return NAN;
    std::sort(v.begin(), v.end());
    const double idx = p / 100.0 * (v.size() - 1);
    const size_t lo = static_cast<size_t>(std::floor(idx)), hi = static_cast<size_t>(std::ceil(idx));
    return v[lo] + (v[hi] - v[lo]) * (idx - lo);
}

// CPU time of this process, all its threads.
inline double cpuSeconds()
{
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + ts.tv_nsec / 1e9;
}

// Another process's CPU time and memory, from /proc.
struct ProcStat {
    double cpuSeconds = 0;
    long rssKb = 0, hwmKb = 0;
};

inline ProcStat readProc(pid_t pid)
{
    ProcStat s;
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    std::getline(stat, line);
    const auto close = line.rfind(')');   // the command name may hold spaces
    if (close != std::string::npos) {
        std::istringstream rest(line.substr(close + 2));
        std::string field;
        unsigned long long utime = 0, stime = 0;
        for (int i = 3; i <= 15 && rest >> field; ++i) {
            if (i == 14) utime = std::stoull(field);
            if (i == 15) stime = std::stoull(field);
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

inline double residentMB() { return readProc(getpid()).rssKb / 1024.0; }

struct Pty {
    int master = -1, slave = -1;
    std::string path;
    Pty()
    {
        master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) {
            std::perror("posix_openpt");
            std::exit(1);
        }
        char name[128];
        ptsname_r(master, name, sizeof name);
        path = name;
        slave = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);  // keeps the master readable
        termios t{};
        tcgetattr(slave, &t);
        cfmakeraw(&t);
        tcsetattr(slave, TCSANOW, &t);
    }
    Pty(const Pty&) = delete;
    Pty& operator=(const Pty&) = delete;
    // Both ends closed: the program's side sees the adapter pulled.
    void closeAll()
    {
        if (master >= 0)
            ::close(master);
        if (slave >= 0)
            ::close(slave);
        master = slave = -1;
    }
    ~Pty() { closeAll(); }
};

// Four simulated clocks, their time of day the PC's, answering on the master side. `written`,
// if given, sees each answer as soon as it is on the pty; `maxWaitMs` bounds a wait for input.
class BusThread {
public:
    explicit BusThread(const Pty& pty, sim::BusListener* listener = nullptr,
                       std::function<void(const ByteString&)> written = {}, int maxWaitMs = 50)
        : pty_(pty), written_(std::move(written)), maxWaitMs_(maxWaitMs)
    {
        sim::BusOptions options;
        for (int id = 1; id <= 4; ++id)
            options.clocks.push_back(sim::ClockSetup{id, 1200, std::nullopt});
        const std::time_t t = std::time(nullptr);
        std::tm lt{};
        localtime_r(&t, &lt);
        options.timeOfDayAtZero = lt.tm_hour * 3600 + lt.tm_min * 60 + lt.tm_sec;
        bus_ = std::make_unique<sim::Bus>(options);
        bus_->setListener(listener);
        start_ = nowMicros();
        thread_ = std::thread([this] { run(); });
    }
    ~BusThread() { stop(); }
    void stop()
    {
        stop_ = true;
        if (thread_.joinable())
            thread_.join();
    }

private:
    void run()
    {
        while (!stop_) {
            const sim::Micros now = nowMicros() - start_;
            int timeout = maxWaitMs_;
            if (auto due = bus_->nextDue())
                timeout = static_cast<int>(std::clamp<sim::Micros>((*due - now + 999) / 1000, 0, maxWaitMs_));
            pollfd p{pty_.master, POLLIN, 0};
            if (::poll(&p, 1, timeout) > 0 && (p.revents & POLLIN)) {
                char buf[512];
                const ssize_t n = ::read(pty_.master, buf, sizeof buf);
                if (n > 0)
                    bus_->receive(ByteString(buf, static_cast<size_t>(n)), nowMicros() - start_);
            }
            for (const auto& t : bus_->takeDue(nowMicros() - start_)) {
                if (::write(pty_.master, t.bytes.data(), t.bytes.size()) < 0)
                    break;
                if (written_)
                    written_(t.bytes);
            }
        }
    }

    const Pty& pty_;
    std::function<void(const ByteString&)> written_;
    int maxWaitMs_;
    std::unique_ptr<sim::Bus> bus_;
    sim::Micros start_ = 0;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

// Timestamps every frame the program puts on the wire, as the simulated bus sees it.
class FrameLog : public sim::BusListener {
public:
    struct Seen {
        sim::Micros at;
        uint8_t address;
    };
    void received(sim::Micros at, const ByteString& bytes, const std::string&) override
    {
        if (bytes.size() >= 4 && byteAt(bytes, 0) == Frame::StartByte) {
            std::lock_guard<std::mutex> lock(mutex_);
            frames_.push_back({at, byteAt(bytes, 1)});
        }
    }
    std::vector<Seen> frames()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return frames_;
    }
    // Waits up to 20 s for the first frame, then 2 s for start-up to settle; false: none came.
    bool awaitFirst()
    {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (frames().empty() && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        if (frames().empty())
            return false;
        std::this_thread::sleep_for(std::chrono::seconds(2));
        return true;
    }

private:
    std::mutex mutex_;
    std::vector<Seen> frames_;
};

// A home folder of its own for build/kadrel, as a child or as this process: settings under
// config/kadrel, virtual ports under runtime/kadrel/ports; removed with the object, so the
// real home's settings are never read or written.
struct Home {
    std::filesystem::path root;
    Home()
    {
        std::string pattern = (std::filesystem::temp_directory_path() / "kadrel-bench-XXXXXX").string();
        if (!mkdtemp(pattern.data())) {
            std::perror("mkdtemp");
            std::exit(1);
        }
        root = pattern;
        std::filesystem::create_directories(root / "config/kadrel");
        std::filesystem::create_directories(root / "runtime/kadrel/ports");
        chmod((root / "runtime").c_str(), 0700);
    }
    Home(const Home&) = delete;
    Home& operator=(const Home&) = delete;
    ~Home()
    {
        std::error_code ec;
        std::filesystem::remove_all(root, ec);
    }
    // A virtual port NAME, a link to DEVICE.
    void publish(const std::string& name, const std::string& device) const
    {
        std::filesystem::create_symlink(device, root / "runtime/kadrel/ports" / name);
    }
    // Four clocks named "Zegar 1" … "Zegar 4", the rest as designed, connecting at start.
    void writeSettings(int portIndex = 0) const
    {
        SettingsFile::Values values;
        values.portIndex = portIndex;
        for (int n = 0; n < 4; ++n)
            values.clocks[n].name = "Zegar " + std::to_string(n + 1);
        values.autoConnect = true;
        const ByteString image = SettingsFile::build(values);
        std::ofstream(root / "config/kadrel/z.cf", std::ios::binary) << image;
    }
    void env() const
    {
        setenv("HOME", root.c_str(), 1);
        setenv("XDG_CONFIG_HOME", (root / "config").c_str(), 1);
        setenv("XDG_RUNTIME_DIR", (root / "runtime").c_str(), 1);
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
    }
    // Starts build/kadrel living here, with these arguments; its process id. Its output goes
    // to OUTPUT when given.
    pid_t startProgram(std::vector<std::string> args = {}, const std::string& output = {}) const
    {
        const pid_t pid = fork();
        if (pid == 0) {
            env();
            if (!output.empty()) {
                const int fd = ::open(output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
                ::dup2(fd, 1);
                ::dup2(fd, 2);
            }
            std::string program = KADREL_BUILD_DIR "/kadrel";
            std::vector<char*> argv{program.data()};
            for (std::string& a : args)
                argv.push_back(a.data());
            argv.push_back(nullptr);
            execv(argv[0], argv.data());
            _exit(127);
        }
        return pid;
    }
    // The program's event log (its state folder is the default one below this home).
    std::string eventLog() const { return readText(root / ".local/state/kadrel/kadrel.log"); }
    static std::string readText(const std::filesystem::path& path)
    {
        std::ifstream in(path, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    // How often `text` stands in the event log.
    int logCount(const std::string& text) const
    {
        const std::string log = eventLog();
        int n = 0;
        for (size_t at = log.find(text); at != std::string::npos; at = log.find(text, at + 1))
            ++n;
        return n;
    }
};

} // namespace bench
