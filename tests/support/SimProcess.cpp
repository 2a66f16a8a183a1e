#include "tests/support/SimProcess.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace {

using Clock = std::chrono::steady_clock;

std::string readFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

std::string readLink(const std::string& path)
{
    char buf[4096];
    const ssize_t n = ::readlink(path.c_str(), buf, sizeof buf - 1);
    return n < 0 ? std::string() : std::string(buf, static_cast<size_t>(n));
}

std::string runtimeDir()
{
    const char* dir = std::getenv("XDG_RUNTIME_DIR");
    if (!dir || !*dir)
        throw std::runtime_error("SimProcess needs XDG_RUNTIME_DIR: create an XdgSandbox first");
    return dir;
}

bool hasOption(const std::vector<std::string>& args, const std::string& option, std::string* value = nullptr)
{
    for (size_t i = 0; i < args.size(); ++i) {
        if (args[i] == option && i + 1 < args.size()) {
            if (value)
                *value = args[i + 1];
            return true;
        }
        if (args[i].rfind(option + "=", 0) == 0) {
            if (value)
                *value = args[i].substr(option.size() + 1);
            return true;
        }
    }
    return false;
}

void makeFolders(const std::string& path)
{
    for (size_t at = path.find('/', 1);; at = path.find('/', at + 1)) {
        ::mkdir(path.substr(0, at).c_str(), 0700);
        if (at == std::string::npos)
            return;
    }
}

int openPidFd(pid_t pid)
{
#ifdef SYS_pidfd_open
    return static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
#else
    (void)pid;
    return -1;
#endif
}

// fork + exec with the output in `outputPath`; everything the child needs is prepared first.
pid_t spawn(const std::vector<std::string>& args, const std::string& outputPath)
{
    const std::string bin = SimProcess::binary();
    std::vector<std::string> all{bin};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& a : all)
        argv.push_back(a.data());
    argv.push_back(nullptr);

    const pid_t pid = ::fork();
    if (pid < 0)
        throw std::runtime_error("fork failed");
    if (pid == 0) {
        const int out = ::open(outputPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        const int in = ::open("/dev/null", O_RDONLY);
        if (out < 0 || in < 0)
            ::_exit(126);
        ::dup2(in, 0);
        ::dup2(out, 1);
        ::dup2(out, 2);
        ::close_range(3, ~0U, 0);
        // An ignored or blocked signal would be inherited across exec.
        sigset_t none;
        sigemptyset(&none);
        ::sigprocmask(SIG_SETMASK, &none, nullptr);
        for (int s : {SIGINT, SIGTERM, SIGHUP, SIGUSR1, SIGUSR2, SIGPIPE})
            ::signal(s, SIG_DFL);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    return pid;
}

int exitCodeOf(int status)
{
    if (WIFEXITED(status))
        return WEXITSTATUS(status);
    if (WIFSIGNALED(status))
        return 128 + WTERMSIG(status);
    return -1;
}

// Waits for the child's end up to `timeout`; true with its code in `code` when it ended.
bool waitEnd(pid_t pid, int pidFd, std::chrono::milliseconds timeout, int& code)
{
    const auto deadline = Clock::now() + timeout;
    for (;;) {
        int status = 0;
        const pid_t r = ::waitpid(pid, &status, WNOHANG);
        if (r == pid) {
            code = exitCodeOf(status);
            return true;
        }
        if (r < 0 && errno != EINTR)
            return true;
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0)
            return false;
        if (pidFd >= 0) {
            pollfd p{pidFd, POLLIN, 0};
            ::poll(&p, 1, static_cast<int>(left.count()));
        } else {
            ::usleep(10000);  // no pidfd on this kernel: look again shortly
        }
    }
}

} // namespace

std::string SimProcess::binary()
{
    if (const char* env = std::getenv("KADREL_SIM"); env && *env)
        return env;
    const std::string self = readLink("/proc/self/exe");
    return self.substr(0, self.rfind('/')) + "/kadrel-sim";
}

SimProcess::SimProcess(std::vector<std::string> args)
{
    const std::string runtime = runtimeDir();
    std::string name = "SIM1";
    hasOption(args, "--name", &name);
    const std::string ports = runtime + "/kadrel/ports";
    portPath_ = ports + "/" + name;
    if (!hasOption(args, "--log", &logPath_)) {
        logPath_ = runtime + "/sim-" + name + ".log";
        args.insert(args.end(), {"--log", logPath_});
    }
    if (!hasOption(args, "--report", &reportPath_)) {
        reportPath_ = runtime + "/sim-" + name + ".report";
        args.insert(args.end(), {"--report", reportPath_});
    }
    outputPath_ = runtime + "/sim-" + name + ".out";

    // Ready means: the link is there and the lock beside it records this child and that link's
    // target (a stale link of an earlier run may be there before the child replaces it).
    makeFolders(ports);
    const int watch = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (watch >= 0)
        ::inotify_add_watch(watch, ports.c_str(), IN_CREATE | IN_MOVED_TO | IN_MODIFY | IN_CLOSE_WRITE);
    pid_ = spawn(args, outputPath_);
    pidFd_ = openPidFd(pid_);
    const std::string lockPath = ports + "/." + name + ".lock";
    const auto ready = [&] {
        const std::string record = readFile(lockPath);
        const std::string expect = std::to_string(pid_) + "\n";
        if (record.rfind(expect, 0) != 0)
            return false;
        const std::string device = record.substr(expect.size(), record.find('\n', expect.size()) - expect.size());
        return !device.empty() && readLink(portPath_) == device;
    };

    const auto deadline = Clock::now() + std::chrono::seconds(10);
    std::string failure;
    while (!ready()) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0) {
            failure = "kadrel-sim did not publish " + portPath_ + " within 10 s";
            break;
        }
        pollfd fds[2] = {{watch, POLLIN, 0}, {pidFd_, POLLIN, 0}};
        const int timeoutMs = (watch < 0 || pidFd_ < 0) ? 20 : static_cast<int>(left.count());
        ::poll(fds, 2, timeoutMs);
        if (fds[0].revents & POLLIN) {
            char buf[4096];
            while (::read(watch, buf, sizeof buf) > 0) {
            }
        }
        int code = 0;
        if (waitEnd(pid_, -1, std::chrono::milliseconds(0), code)) {
            exitCode_ = code;
            pid_ = -1;
            failure = "kadrel-sim ended (exit code " + std::to_string(code) + ") before publishing its port";
            break;
        }
    }
    if (watch >= 0)
        ::close(watch);
    if (!failure.empty()) {
        stop();
        throw std::runtime_error(failure + ":\n" + readFile(outputPath_));
    }
}

SimProcess::~SimProcess()
{
    stop();
}

std::string SimProcess::output() const
{
    return readFile(outputPath_);
}

void SimProcess::signal(int sig) const
{
    if (pid_ > 0)
        ::kill(pid_, sig);
}

int SimProcess::stop()
{
    if (pid_ > 0) {
        ::kill(pid_, SIGTERM);
        int code = -1;
        if (!waitEnd(pid_, pidFd_, std::chrono::seconds(5), code)) {
            ::kill(pid_, SIGKILL);
            waitEnd(pid_, pidFd_, std::chrono::seconds(5), code);
        }
        exitCode_ = code;
        pid_ = -1;
    }
    if (pidFd_ >= 0) {
        ::close(pidFd_);
        pidFd_ = -1;
    }
    return exitCode_;
}

SimProcess::Result SimProcess::run(const std::vector<std::string>& args, std::chrono::milliseconds timeout)
{
    static int runs = 0;
    const std::string outputPath =
        runtimeDir() + "/sim-run-" + std::to_string(::getpid()) + "-" + std::to_string(++runs) + ".out";
    Result result;
    const pid_t pid = spawn(args, outputPath);
    const int pidFd = openPidFd(pid);
    int code = -1;
    if (!waitEnd(pid, pidFd, timeout, code)) {
        ::kill(pid, SIGKILL);
        waitEnd(pid, pidFd, std::chrono::seconds(5), code);
        code = -1;
    }
    if (pidFd >= 0)
        ::close(pidFd);
    result.exitCode = code;
    result.output = readFile(outputPath);
    ::unlink(outputPath.c_str());
    return result;
}

bool SimProcess::waitForText(const std::string& path, const std::string& text, std::chrono::milliseconds timeout)
{
    const std::string folder = path.substr(0, path.rfind('/'));
    const int watch = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (watch >= 0)
        ::inotify_add_watch(watch, folder.c_str(), IN_MODIFY | IN_CREATE | IN_MOVED_TO | IN_CLOSE_WRITE);
    const auto deadline = Clock::now() + timeout;
    bool found = false;
    for (;;) {
        if (readFile(path).find(text) != std::string::npos) {
            found = true;
            break;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0)
            break;
        pollfd p{watch, POLLIN, 0};
        ::poll(&p, 1, watch < 0 ? 20 : static_cast<int>(left.count()));
        char buf[4096];
        while (watch >= 0 && ::read(watch, buf, sizeof buf) > 0) {
        }
    }
    if (watch >= 0)
        ::close(watch);
    return found;
}
