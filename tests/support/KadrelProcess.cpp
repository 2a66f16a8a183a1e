#include "tests/support/KadrelProcess.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <functional>
#include <stdexcept>
#include <thread>

#include "tests/support/TempDir.h"

namespace {

std::string sandboxRoot()
{
    const char* config = std::getenv("XDG_CONFIG_HOME");
    if (!config)
        throw std::runtime_error("KadrelProcess needs an XdgSandbox");
    return std::filesystem::path(config).parent_path().string();
}

} // namespace

std::string KadrelProcess::binary()
{
    // Beside the test program, as the simulator is.
    return std::filesystem::read_symlink("/proc/self/exe").parent_path().string() + "/kadrel";
}

std::string KadrelProcess::stateHome()
{
    return sandboxRoot() + "/state";
}

KadrelProcess::KadrelProcess(std::vector<std::string> args)
{
    const std::string root = sandboxRoot();
    stateDir_ = stateHome();
    static int serial = 0;
    outputPath_ = root + "/kadrel-output-" + std::to_string(++serial) + ".txt";
    args.insert(args.begin(), binary());
    std::vector<char*> argv;
    for (std::string& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    const int out = ::open(outputPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    pid_ = ::fork();
    if (pid_ == 0) {
        ::dup2(out, 1);
        ::dup2(out, 2);
        ::setenv("XDG_STATE_HOME", stateDir_.c_str(), 1);
        ::unsetenv("DISPLAY");
        ::unsetenv("WAYLAND_DISPLAY");
        ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
        ::execv(argv[0], argv.data());
        _exit(127);
    }
    ::close(out);
    if (pid_ < 0)
        throw std::runtime_error("fork failed");
}

KadrelProcess::~KadrelProcess()
{
    stop();
}

std::string KadrelProcess::output() const
{
    return readFile(outputPath_);
}

std::string KadrelProcess::log() const
{
    return readFile(stateDir_ + "/kadrel/kadrel.log");
}

static bool waitForText(const std::function<std::string()>& read, const std::string& text,
                        std::chrono::milliseconds timeout)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (read().find(text) == std::string::npos) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

bool KadrelProcess::waitForLog(const std::string& text, std::chrono::milliseconds timeout) const
{
    return waitForText([this] { return log(); }, text, timeout);
}

bool KadrelProcess::waitForOutput(const std::string& text, std::chrono::milliseconds timeout) const
{
    return waitForText([this] { return output(); }, text, timeout);
}

int KadrelProcess::stop(std::chrono::milliseconds* took)
{
    if (pid_ <= 0)
        return exitCode_;
    const auto start = std::chrono::steady_clock::now();
    ::kill(pid_, SIGTERM);
    int status = 0;
    pid_t done = 0;
    for (int i = 0; i < 1000 && done == 0; ++i) {
        done = ::waitpid(pid_, &status, WNOHANG);
        if (done == 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (done == 0) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, &status, 0);
    }
    if (took)
        *took = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
    exitCode_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    pid_ = -1;
    return exitCode_;
}

int KadrelProcess::waitExit(std::chrono::milliseconds timeout)
{
    if (pid_ <= 0)
        return exitCode_;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    int status = 0;
    while (::waitpid(pid_, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > deadline)
            return -1;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    exitCode_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    pid_ = -1;
    return exitCode_;
}

static HttpAnswer exchange(int port, const std::string& request, std::chrono::milliseconds timeout);

HttpAnswer httpGet(int port, const std::string& path, const std::string& bearer, std::chrono::milliseconds timeout)
{
    return exchange(port, "GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) +
                              "\r\nAuthorization: Bearer " + bearer + "\r\nConnection: close\r\n\r\n",
                    timeout);
}

HttpAnswer httpPost(int port, const std::string& path, const std::string& bearer, const std::string& json,
                    const std::string& userAgent, std::chrono::milliseconds timeout)
{
    return exchange(port, "POST " + path + " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) +
                              "\r\nAuthorization: Bearer " + bearer + "\r\nUser-Agent: " + userAgent +
                              "\r\nContent-Type: application/json\r\nContent-Length: " + std::to_string(json.size()) +
                              "\r\nConnection: close\r\n\r\n" + json,
                    timeout);
}

HttpAnswer httpPut(int port, const std::string& path, const std::string& bearer, const std::string& json,
                   std::chrono::milliseconds timeout)
{
    return exchange(port, "PUT " + path + " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) +
                              "\r\nAuthorization: Bearer " + bearer +
                              "\r\nContent-Type: application/json\r\nContent-Length: " + std::to_string(json.size()) +
                              "\r\nConnection: close\r\n\r\n" + json,
                    timeout);
}

static HttpAnswer exchange(int port, const std::string& request, std::chrono::milliseconds timeout)
{
    HttpAnswer answer;
    const int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        ::close(s);
        return answer;
    }
    if (::write(s, request.data(), request.size()) != static_cast<ssize_t>(request.size())) {
        ::close(s);
        return answer;
    }
    std::string reply;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        pollfd p{s, POLLIN, 0};
        if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) <= 0)
            break;
        char buf[4096];
        const ssize_t n = ::read(s, buf, sizeof buf);
        if (n <= 0)
            break;
        reply.append(buf, static_cast<size_t>(n));
        // Whole once the body has its announced length: no wait for the server to close.
        const size_t head = reply.find("\r\n\r\n");
        const size_t length = reply.find("Content-Length: ");
        if (head != std::string::npos && length != std::string::npos && length < head &&
            reply.size() >= head + 4 + std::stoul(reply.substr(length + 16)))
            break;
    }
    ::close(s);
    if (reply.rfind("HTTP/1.", 0) == 0 && reply.size() > 12)
        answer.status = std::atoi(reply.c_str() + 9);
    const size_t body = reply.find("\r\n\r\n");
    if (body != std::string::npos)
        answer.body = reply.substr(body + 4);
    return answer;
}
