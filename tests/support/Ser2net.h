#pragma once
// ser2net (Debian package ser2net, 4.x) started on loopback with a configuration of our own:
// one RFC 2217 port and one raw TCP port, both on the given serial device (a pseudo-terminal
// whose other side the test or benchmark plays). Stopped and its files removed at the end.
// Header only: the tests and the benchmarks both use it.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <dirent.h>
#include <limits.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

extern char** environ;

class Ser2net {
public:
    // False from ok() when the program is missing or did not start listening.
    explicit Ser2net(const std::string& device)
    {
        char dir[] = "/tmp/kadrel-ser2net-XXXXXX";
        if (!mkdtemp(dir))
            return;
        dir_ = dir;
        char real[PATH_MAX];
        device_ = ::realpath(device.c_str(), real) ? real : device;
        rfc2217Port_ = freePort();
        tcpPort_ = freePort();
        // The RFC 2217 connection's serial side starts at 9600, so the negotiation has
        // something to change. No character delay: ser2net would otherwise hold received bytes
        // back for a few character times to send them in bigger packets.
        std::ofstream cfg(dir_ + "/ser2net.yaml");
        cfg << "%YAML 1.1\n---\n"
            << "connection: &rfc\n  accepter: telnet(rfc2217),tcp,127.0.0.1," << rfc2217Port_ << "\n"
            << "  connector: serialdev," << device << ",9600n81,local\n"
            << "  options:\n    kickolduser: true\n    chardelay: false\n"
            << "connection: &raw\n  accepter: tcp,127.0.0.1," << tcpPort_ << "\n"
            << "  connector: serialdev," << device << ",19200n81,local\n"
            << "  options:\n    kickolduser: true\n    chardelay: false\n";
        cfg.close();
        start();
    }
    ~Ser2net()
    {
        stop();
        if (!dir_.empty()) {
            std::remove((dir_ + "/ser2net.yaml").c_str());
            std::remove((dir_ + "/ser2net.pid").c_str());
            std::remove((dir_ + "/log").c_str());
            ::rmdir(dir_.c_str());
        }
    }
    Ser2net(const Ser2net&) = delete;
    Ser2net& operator=(const Ser2net&) = delete;

    bool ok() const { return pid_ > 0 && listening_; }
    std::string rfc2217Url() const { return "rfc2217://127.0.0.1:" + std::to_string(rfc2217Port_); }
    std::string tcpUrl() const { return "tcp://127.0.0.1:" + std::to_string(tcpPort_); }
    int rfc2217Port() const { return rfc2217Port_; }

    // Ends the server (its connections close).
    void stop()
    {
        if (pid_ <= 0)
            return;
        ::kill(pid_, SIGTERM);
        int status = 0;
        for (int i = 0; i < 200; ++i) {
            if (::waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = -1;
                return;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, &status, 0);
        pid_ = -1;
    }

    // Starts it again on the same ports after stop().
    void restart()
    {
        stop();
        listening_ = false;
        start();
    }

    // Waits until ser2net holds the serial device no more. It closes the device some time after
    // its client has gone; a connection on the other port before that finds the device taken
    // and is dropped after it was accepted.
    bool waitDeviceFree(int timeoutMs = 5000) const
    {
        for (int waited = 0; waited < timeoutMs; waited += 10) {
            if (!holdsDevice())
                return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return false;
    }

    // A port nobody listens on (bound, then closed).
    static int freePort()
    {
        const int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
        socklen_t len = sizeof a;
        ::getsockname(s, reinterpret_cast<sockaddr*>(&a), &len);
        ::close(s);
        return ntohs(a.sin_port);
    }

private:
    void start()
    {
        const std::string cfg = dir_ + "/ser2net.yaml", pid = dir_ + "/ser2net.pid", log = dir_ + "/log";
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 1, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        posix_spawn_file_actions_adddup2(&actions, 1, 2);
        const char* argv[] = {"ser2net", "-n", "-u", "-c", cfg.c_str(), "-P", pid.c_str(), nullptr};
        pid_t child = -1;
        int rc = posix_spawn(&child, "/usr/sbin/ser2net", &actions, nullptr, const_cast<char**>(argv), environ);
        if (rc != 0)
            rc = posix_spawnp(&child, "ser2net", &actions, nullptr, const_cast<char**>(argv), environ);
        posix_spawn_file_actions_destroy(&actions);
        if (rc != 0)
            return;
        pid_ = child;
        // Listening once both ports stand in the kernel's table as listening. A probe
        // connection would not do: ser2net opens the device for it, and may still hold it when
        // the test's own connection comes, so that two readers share the clock's replies.
        for (int i = 0; i < 300 && !listening_; ++i) {
            listening_ = listens(rfc2217Port_) && listens(tcpPort_);
            if (!listening_)
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }

    static bool listens(int port)
    {
        std::ifstream table("/proc/net/tcp");
        std::string line;
        char wanted[16];
        std::snprintf(wanted, sizeof wanted, ":%04X", port);
        std::getline(table, line);   // the header
        while (std::getline(table, line)) {
            std::istringstream fields(line);
            std::string slot, local, remote, state;
            fields >> slot >> local >> remote >> state;
            if (state == "0A" && local.size() > 5 && local.compare(local.size() - 5, 5, wanted) == 0)
                return true;
        }
        return false;
    }

    bool holdsDevice() const
    {
        if (pid_ <= 0)
            return false;
        const std::string fds = "/proc/" + std::to_string(pid_) + "/fd";
        DIR* d = ::opendir(fds.c_str());
        if (!d)
            return false;
        bool held = false;
        while (const dirent* e = ::readdir(d)) {
            char target[PATH_MAX];
            const ssize_t n = ::readlink((fds + "/" + e->d_name).c_str(), target, sizeof target - 1);
            if (n > 0 && std::string(target, static_cast<size_t>(n)) == device_)
                held = true;
        }
        ::closedir(d);
        return held;
    }

    std::string dir_;
    std::string device_;
    int rfc2217Port_ = 0, tcpPort_ = 0;
    pid_t pid_ = -1;
    bool listening_ = false;
};
