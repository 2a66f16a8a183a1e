#pragma once
// The built program (build/kadrel) as a child process, with its real boxes, in the test's XDG
// sandbox (the environment it inherits) plus a state folder of its own. Its standard output and
// error go to a file; the event log is read from the state folder.
//
//   XdgSandbox sandbox;
//   KadrelProcess kadrel({"--headless"});
//   kadrel.waitForLog("Połączono z portem");
//   kadrel.stop();           // SIGTERM, then the exit code
#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

class KadrelProcess {
public:
    // Offscreen, with no display to reach.
    explicit KadrelProcess(std::vector<std::string> args = {});
    ~KadrelProcess();
    KadrelProcess(const KadrelProcess&) = delete;
    KadrelProcess& operator=(const KadrelProcess&) = delete;

    pid_t pid() const { return pid_; }
    std::string output() const;                    // standard output and error so far
    std::string log() const;                       // the event log file so far
    // Waits until the event log holds `text`.
    bool waitForLog(const std::string& text, std::chrono::milliseconds timeout = std::chrono::seconds(5)) const;
    bool waitForOutput(const std::string& text, std::chrono::milliseconds timeout = std::chrono::seconds(5)) const;
    // Sends SIGTERM and waits for the end (SIGKILL after 10 s): the exit code, or 128 + the
    // signal; `took` gets the time from the signal to the end.
    int stop(std::chrono::milliseconds* took = nullptr);
    // Waits for the program to end by itself: its exit code, or -1 if it is still running.
    int waitExit(std::chrono::milliseconds timeout);

    static std::string binary();   // build/kadrel
    // The XDG_STATE_HOME the program is given (its log and state under kadrel/).
    static std::string stateHome();

private:
    pid_t pid_ = -1;
    int exitCode_ = -1;
    std::string stateDir_;
    std::string outputPath_;
};

// A blocking HTTP/1.1 GET on loopback: the status code (0 when nothing answered) and the body.
struct HttpAnswer {
    int status = 0;
    std::string body;
};
HttpAnswer httpGet(int port, const std::string& path, const std::string& bearer,
                   std::chrono::milliseconds timeout = std::chrono::seconds(3));
// The same for a JSON POST, with a user agent of the caller's bytes.
HttpAnswer httpPost(int port, const std::string& path, const std::string& bearer, const std::string& json,
                    const std::string& userAgent, std::chrono::milliseconds timeout = std::chrono::seconds(3));
// And a JSON PUT.
HttpAnswer httpPut(int port, const std::string& path, const std::string& bearer, const std::string& json,
                   std::chrono::milliseconds timeout = std::chrono::seconds(3));
