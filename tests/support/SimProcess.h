#pragma once
// Runs build/kadrel-sim as a child process for end-to-end tests.
//
//   XdgSandbox sandbox;                                   // first: the simulator's port goes there
//   SimProcess sim({"--clocks", "1,3", "--no-noise"});    // returns once the port is published
//   open sim.portPath() as the program's port ...
//   sim.stop();                                           // or let the destructor send SIGTERM
//
// The simulator inherits the environment, so its virtual-port folder is the sandbox's. Unless
// the arguments name them, a --log and a --report file are added in the sandbox's runtime
// folder; its console output goes to a file as well (it is not a terminal, so it stays plain).
#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

class SimProcess {
public:
    // Starts the simulator and waits (at most 10 s) until its link is in the virtual-port
    // folder. Throws std::runtime_error with the simulator's output if it ends or times out.
    explicit SimProcess(std::vector<std::string> args = {});
    ~SimProcess();
    SimProcess(const SimProcess&) = delete;
    SimProcess& operator=(const SimProcess&) = delete;

    const std::string& portPath() const { return portPath_; }    // the link the program opens
    const std::string& logPath() const { return logPath_; }
    const std::string& reportPath() const { return reportPath_; }
    std::string output() const;                                   // console output so far
    pid_t pid() const { return pid_; }
    void signal(int sig) const;                                   // e.g. SIGUSR1 for --mute-on-signal
    // SIGTERM, then waits for the end (SIGKILL after 5 s). Returns the exit code, or 128 + the
    // signal that ended it. Calling it again returns the same value.
    int stop();

    struct Result {
        int exitCode = -1;       // 128 + signal when killed; -1 if it had to be killed on time-out
        std::string output;      // stdout and stderr together
    };
    // Runs the simulator to its end (for --help, refused starts and the like).
    static Result run(const std::vector<std::string>& args,
                      std::chrono::milliseconds timeout = std::chrono::seconds(10));
    // Waits until the file contains `text`; false if it did not within `timeout`.
    static bool waitForText(const std::string& path, const std::string& text,
                            std::chrono::milliseconds timeout = std::chrono::seconds(5));
    // build/kadrel-sim beside the test program, or $KADREL_SIM when set.
    static std::string binary();

private:
    pid_t pid_ = -1;
    int pidFd_ = -1;
    int exitCode_ = -1;
    std::string portPath_;
    std::string logPath_;
    std::string reportPath_;
    std::string outputPath_;
};
