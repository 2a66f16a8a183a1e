// kadrel-sim: up to four RS485 display clocks on a pseudo-terminal. One thread, one poll()
// loop: it wakes for bytes from the program, for signals (signalfd), for the program opening
// or closing the port, and with a time-out only for the next scheduled reply or redraw.
#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include "sim/Bus.h"
#include "base/UniqueFd.h"
#include "sim/Options.h"
#include "sim/Output.h"
#include "sim/VirtualPort.h"

using namespace sim;

namespace {

constexpr Micros kRedrawEvery = 250 * kMilli;
constexpr size_t kMaxPendingOut = 64 * 1024;

Micros monotonicMicros()
{
    timespec ts {};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<Micros>(ts.tv_sec) * kSecond + ts.tv_nsec / 1000;
}

int localTimeOfDay()
{
    const std::time_t t = std::time(nullptr);
    std::tm tm {};
    localtime_r(&t, &tm);
    return tm.tm_hour * 3600 + tm.tm_min * 60 + tm.tm_sec;
}

std::string joinClocks(const std::vector<int>& clocks)
{
    std::string s;
    for (int c : clocks) {
        if (!s.empty())
            s += ',';
        s += std::to_string(c);
    }
    return s;
}

class Reporter : public BusListener {
public:
    Reporter(EventLog* eventLog, LineFile* report, Console& console) : log_(eventLog), report_(report), console_(console) {}

    void received(Micros now, const ByteString& bytes, const std::string& meaning) override
    {
        if (log_)
            log_->frame(now, "RX", bytes, meaning);
    }
    void bootFinished(Micros now, const BootReport& r) override
    {
        const std::string summary = bootSummary(r);
        if (log_)
            log_->note(now, summary);
        if (report_)
            report_->write(reportLine(r));
        console_.event(summary);
    }
    void addressChanged(Micros now, int clock, int from, int to) override
    {
        const std::string text = "clock " + std::to_string(clock) + ": address changed from " +
                                 std::to_string(from) + " to " + std::to_string(to);
        if (log_)
            log_->note(now, text);
        if (report_)
            report_->write("address clock=" + std::to_string(clock) + " from=" + std::to_string(from) +
                           " to=" + std::to_string(to));
        console_.event(text);
    }

private:
    EventLog* log_;
    LineFile* report_;
    Console& console_;
};

int run(const SimOptions& opt)
{
    // Signals arrive through a descriptor, so the loop never races a handler.
    // An ignored signal is never pending, so signalfd would not see it: a script's background
    // job starts with SIGINT ignored. SIGHUP stays ignored when nohup asked for that.
    sigset_t mask;
    sigemptyset(&mask);
    for (int s : {SIGINT, SIGTERM, SIGUSR1, SIGUSR2}) {
        ::signal(s, SIG_DFL);
        sigaddset(&mask, s);
    }
    struct sigaction hup {};
    if (::sigaction(SIGHUP, nullptr, &hup) == 0 && hup.sa_handler != SIG_IGN)
        sigaddset(&mask, SIGHUP);
    sigprocmask(SIG_BLOCK, &mask, nullptr);
    ::signal(SIGPIPE, SIG_IGN);
    UniqueFd signals(signalfd(-1, &mask, SFD_NONBLOCK | SFD_CLOEXEC));
    if (!signals.valid()) {
        std::fprintf(stderr, "kadrel-sim: cannot watch signals: %s\n", std::strerror(errno));
        return 1;
    }

    std::unique_ptr<EventLog> eventLog;
    std::unique_ptr<LineFile> report;
    try {
        if (!opt.logFile.empty())
            eventLog = std::make_unique<EventLog>(opt.logFile);
        if (!opt.reportFile.empty())
            report = std::make_unique<LineFile>(opt.reportFile);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "kadrel-sim: %s\n", e.what());
        return 1;
    }

    const uint32_t seed = opt.seed ? *opt.seed : static_cast<uint32_t>(std::time(nullptr) ^ (::getpid() << 16));
    const Micros start = monotonicMicros();
    const auto now = [start] { return monotonicMicros() - start; };
    Bus bus(busOptions(opt, seed, localTimeOfDay()));
    Console console(stdout, ::isatty(STDOUT_FILENO) == 1, opt.quiet);
    Reporter reporter(eventLog.get(), report.get(), console);
    bus.setListener(&reporter);

    std::unique_ptr<VirtualPort> port;
    try {
        port = std::make_unique<VirtualPort>(virtualPortFolder(), opt.name);
    } catch (const PortError& e) {
        std::fprintf(stderr, "kadrel-sim: %s\n", e.what());
        return 1;
    }
    const std::string started = "kadrel-sim: port " + opt.name + " -> " + port->devicePath() + " (" +
                                port->linkPath() + "), clocks " + joinClocks(opt.clocks);
    if (eventLog)
        eventLog->note(now(), started.substr(12) + ", seed " + std::to_string(seed) +
                             "; columns: wall time, ms since start, RX from the program / TX to it, bytes | meaning");
    console.event(started);

    ByteString pendingOut;
    Micros nextRedraw = 0;
    bool stop = false;
    while (!stop) {
        Micros t = now();
        for (Transmission& piece : bus.takeDue(t)) {
            if (eventLog)
                eventLog->frame(t, "TX", piece.bytes, piece.meaning);
            if (pendingOut.empty()) {
                const ssize_t n = ::write(port->masterFd(), piece.bytes.data(), piece.bytes.size());
                if (n > 0)
                    piece.bytes.erase(0, static_cast<size_t>(n));
            }
            if (pendingOut.size() + piece.bytes.size() > kMaxPendingOut) {
                if (eventLog)
                    eventLog->note(t, "nobody reads the port: " + std::to_string(piece.bytes.size()) + " bytes dropped");
                continue;
            }
            pendingOut += piece.bytes;
        }
        if (console.live() && t >= nextRedraw) {
            console.show("kadrel-sim " + opt.name + " -> " + port->devicePath() +
                             (port->openers() ? "   program connected" : "   waiting for the program"),
                         bus.view(t));
            nextRedraw = t + kRedrawEvery;
        }

        Micros wake = -1;
        if (const auto due = bus.nextDue())
            wake = *due;
        if (console.live())
            wake = wake < 0 ? nextRedraw : std::min(wake, nextRedraw);
        timespec timeout {};
        timespec* timeoutPtr = nullptr;
        if (wake >= 0) {
            const Micros wait = std::max<Micros>(0, wake - now());
            timeout.tv_sec = wait / kSecond;
            timeout.tv_nsec = static_cast<long>(wait % kSecond) * 1000;
            timeoutPtr = &timeout;
        }
        pollfd fds[3] = {
            {signals.get(), POLLIN, 0},
            {port->masterFd(), static_cast<short>(POLLIN | (pendingOut.empty() ? 0 : POLLOUT)), 0},
            {port->watchFd(), POLLIN, 0},
        };
        if (::ppoll(fds, 3, timeoutPtr, nullptr) < 0) {
            if (errno == EINTR)
                continue;
            std::fprintf(stderr, "kadrel-sim: poll failed: %s\n", std::strerror(errno));
            return 1;
        }
        t = now();

        if (fds[0].revents & POLLIN) {
            signalfd_siginfo si {};
            while (::read(signals.get(), &si, sizeof si) == static_cast<ssize_t>(sizeof si)) {
                if (si.ssi_signo == SIGUSR1 || si.ssi_signo == SIGUSR2) {
                    const bool mute = si.ssi_signo == SIGUSR1;
                    for (int c : opt.muteOnSignal)
                        bus.setMuted(c, mute);
                    const std::string text = opt.muteOnSignal.empty()
                                                 ? std::string("signal ignored: no --mute-on-signal clocks")
                                                 : std::string(mute ? "muted" : "unmuted") + " clocks " +
                                                       joinClocks(opt.muteOnSignal);
                    if (eventLog)
                        eventLog->note(t, text);
                    console.event("kadrel-sim: " + text);
                } else {
                    stop = true;
                }
            }
        }
        if (fds[2].revents & POLLIN) {
            const int before = port->openers();
            port->handleOpenClose();
            if (eventLog && before != port->openers())
                eventLog->note(t, port->openers() ? "the program opened the port" : "the program closed the port");
        }
        if (fds[1].revents & POLLOUT && !pendingOut.empty()) {
            const ssize_t n = ::write(port->masterFd(), pendingOut.data(), pendingOut.size());
            if (n > 0)
                pendingOut.erase(0, static_cast<size_t>(n));
        }
        if (fds[1].revents & POLLIN) {
            char buf[4096];
            for (;;) {
                const ssize_t n = ::read(port->masterFd(), buf, sizeof buf);
                if (n <= 0)
                    break;
                bus.receive(ByteString(buf, static_cast<size_t>(n)), t);
            }
        }
        if (fds[1].revents & (POLLERR | POLLNVAL)) {
            // We hold the slave open, so this is not the program going away.
            std::fprintf(stderr, "kadrel-sim: the pseudo-terminal failed\n");
            return 1;
        }
    }

    port->unpublish();
    if (eventLog)
        eventLog->note(now(), "stopped, link removed");
    console.event("kadrel-sim: stopped, " + port->linkPath() + " removed");
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    SimOptions options;
    try {
        options = parseOptions(std::vector<std::string>(argv + 1, argv + argc));
    } catch (const OptionError& e) {
        std::fprintf(stderr, "kadrel-sim: %s\nTry 'kadrel-sim --help'.\n", e.what());
        return 2;
    }
    if (options.help) {
        std::fputs(usageText().c_str(), stdout);
        return 0;
    }
    return run(options);
}
