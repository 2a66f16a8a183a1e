#pragma once
// A real Mosquitto broker (Debian package mosquitto) on a free loopback port, with a
// configuration file of its own in a scratch folder and no persistence; stopped and its files
// removed at the end. And a plain outside client (libmosquitto, its own thread) that records
// what it hears. Header only: the window tests and the process tests both use it.
#include <mosquitto.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/Ser2net.h"

class MosquittoBroker {
public:
    // `extra`: more lines for the configuration (a password file, TLS). ok() is false when the
    // program is missing or did not start listening.
    explicit MosquittoBroker(std::string extra = {}, int port = 0) : extra_(std::move(extra))
    {
        char dir[] = "/tmp/kadrel-mosquitto-XXXXXX";
        if (!mkdtemp(dir))
            return;
        dir_ = dir;
        port_ = port ? port : Ser2net::freePort();
        start();
    }
    ~MosquittoBroker()
    {
        stop();
        std::error_code ec;
        if (!dir_.empty())
            std::filesystem::remove_all(dir_, ec);
    }
    MosquittoBroker(const MosquittoBroker&) = delete;
    MosquittoBroker& operator=(const MosquittoBroker&) = delete;

    static bool installed() { return ::access("/usr/sbin/mosquitto", X_OK) == 0; }
    bool ok() const { return pid_ > 0; }
    pid_t pid() const { return pid_; }
    int port() const { return port_; }
    const std::string& dir() const { return dir_; }

    void stop()
    {
        if (pid_ <= 0)
            return;
        ::kill(pid_, SIGTERM);
        int status = 0;
        ::waitpid(pid_, &status, 0);
        pid_ = -1;
    }
    // The same port and configuration again.
    bool start()
    {
        std::ofstream cfg(dir_ + "/mosquitto.conf");
        cfg << "listener " << port_ << " 127.0.0.1\npersistence false\n"
            << (extra_.find("password_file") == std::string::npos ? "allow_anonymous true\n" : "allow_anonymous false\n")
            << extra_;
        // Started as root it would drop to the mosquitto account, which cannot read the
        // test's private folders.
        if (::geteuid() == 0)
            cfg << "user root\n";
        cfg.close();
        const std::string conf = dir_ + "/mosquitto.conf";
        const std::string logPath = dir_ + "/mosquitto.log";
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_addopen(&fa, 1, logPath.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
        posix_spawn_file_actions_adddup2(&fa, 1, 2);
        const char* argv[] = {"/usr/sbin/mosquitto", "-c", conf.c_str(), nullptr};
        pid_t pid = -1;
        const int rc = posix_spawn(&pid, argv[0], &fa, nullptr, const_cast<char* const*>(argv), environ);
        posix_spawn_file_actions_destroy(&fa);
        if (rc != 0)
            return false;
        pid_ = pid;
        // It says so once its listener is open.
        for (int i = 0; i < 100; ++i) {
            const size_t at = log().rfind(" running");
            if (at != std::string::npos && (lastRunning_ == std::string::npos || at > lastRunning_)) {
                lastRunning_ = at;
                return true;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        stop();
        return false;
    }
    std::string log() const { return readAll(dir_ + "/mosquitto.log"); }

    // A password file with one account (mosquitto_passwd, from the same package).
    std::string passwordFile(const std::string& user, const std::string& password) const
    {
        const std::string path = dir_ + "/passwd";
        const std::string cmd = "mosquitto_passwd -b -c " + path + " " + user + " " + password + " >/dev/null 2>&1";
        return std::system(cmd.c_str()) == 0 ? path : std::string();
    }

private:
    static std::string readAll(const std::string& path)
    {
        std::ifstream in(path);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }

    std::string extra_;
    std::string dir_;
    int port_ = 0;
    pid_t pid_ = -1;
    size_t lastRunning_ = std::string::npos;   // where the last start said it runs
};

// The outside client: subscribes to `pattern` and keeps every message, in order, and the last
// payload of each topic.
class BrokerWatch {
public:
    struct Message {
        std::string topic;
        std::string payload;
        bool retained = false;
        std::chrono::steady_clock::time_point at;   // when it was heard
    };

    explicit BrokerWatch(int port, const std::string& pattern = "#", const std::string& user = {},
                         const std::string& password = {}, const std::string& caFile = {})
    {
        mosquitto_lib_init();
        mosq_ = mosquitto_new(nullptr, true, this);
        mosquitto_int_option(mosq_, MOSQ_OPT_TCP_NODELAY, 1);   // times the program, not this client
        if (!user.empty())
            mosquitto_username_pw_set(mosq_, user.c_str(), password.c_str());
        if (!caFile.empty())
            mosquitto_tls_set(mosq_, caFile.c_str(), nullptr, nullptr, nullptr, nullptr);
        mosquitto_message_callback_set(mosq_, [](mosquitto*, void* self, const mosquitto_message* m) {
            auto* w = static_cast<BrokerWatch*>(self);
            std::lock_guard lock(w->mutex_);
            w->messages_.push_back({m->topic, std::string(static_cast<const char*>(m->payload),
                                                           static_cast<size_t>(m->payloadlen)), m->retain,
                                    std::chrono::steady_clock::now()});
            w->last_[m->topic] = w->messages_.back().payload;
            w->changed_.notify_all();
        });
        mosquitto_connect_callback_set(mosq_, [](mosquitto* mosq, void* self, int rc) {
            if (rc == 0)
                mosquitto_subscribe(mosq, nullptr, static_cast<BrokerWatch*>(self)->pattern_.c_str(), 1);
        });
        pattern_ = pattern;
        mosquitto_connect(mosq_, "127.0.0.1", port, 30);
        mosquitto_loop_start(mosq_);
    }
    ~BrokerWatch()
    {
        mosquitto_disconnect(mosq_);
        mosquitto_loop_stop(mosq_, true);
        mosquitto_destroy(mosq_);
    }
    BrokerWatch(const BrokerWatch&) = delete;
    BrokerWatch& operator=(const BrokerWatch&) = delete;

    void publish(const std::string& topic, const std::string& payload, bool retain = false)
    {
        mosquitto_publish(mosq_, nullptr, topic.c_str(), static_cast<int>(payload.size()), payload.data(), 1, retain);
    }
    // The last payload of the topic ("" when none has come).
    std::string last(const std::string& topic) const
    {
        std::lock_guard lock(mutex_);
        const auto it = last_.find(topic);
        return it == last_.end() ? std::string() : it->second;
    }
    bool has(const std::string& topic) const
    {
        std::lock_guard lock(mutex_);
        return last_.count(topic) > 0;
    }
    std::vector<Message> messages() const
    {
        std::lock_guard lock(mutex_);
        return messages_;
    }
    size_t count(const std::string& topic) const
    {
        std::lock_guard lock(mutex_);
        size_t n = 0;
        for (const Message& m : messages_)
            n += m.topic == topic;
        return n;
    }
    void clear()
    {
        std::lock_guard lock(mutex_);
        messages_.clear();
        last_.clear();
    }

private:
    mosquitto* mosq_ = nullptr;
    std::string pattern_;
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<Message> messages_;
    std::map<std::string, std::string> last_;
};
