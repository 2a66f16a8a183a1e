#pragma once
// Shared pieces of the benchmarks: a raw pseudo-terminal pair and the simulated bus answering
// on its master side in a thread of its own, timestamping what the program sends.
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <memory>
#include <string>
#include <thread>

#include "sim/Bus.h"

namespace bench {

inline int64_t nowMicros()
{
    using namespace std::chrono;
    return duration_cast<microseconds>(steady_clock::now().time_since_epoch()).count();
}

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

// Four simulated clocks, their time of day the PC's, answering on the master side.
class BusThread {
public:
    explicit BusThread(const Pty& pty, sim::BusListener* listener = nullptr) : pty_(pty)
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
            int timeout = 50;
            if (auto due = bus_->nextDue())
                timeout = static_cast<int>(std::clamp<sim::Micros>((*due - now + 999) / 1000, 0, 50));
            pollfd p{pty_.master, POLLIN, 0};
            if (::poll(&p, 1, timeout) > 0 && (p.revents & POLLIN)) {
                char buf[512];
                const ssize_t n = ::read(pty_.master, buf, sizeof buf);
                if (n > 0)
                    bus_->receive(ByteString(buf, static_cast<size_t>(n)), nowMicros() - start_);
            }
            for (const auto& t : bus_->takeDue(nowMicros() - start_))
                if (::write(pty_.master, t.bytes.data(), t.bytes.size()) < 0)
                    break;
        }
    }

    const Pty& pty_;
    std::unique_ptr<sim::Bus> bus_;
    sim::Micros start_ = 0;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

} // namespace bench
