#pragma once
// A pseudo-terminal pair for tests: the program's serial code opens the slave path like any
// tty, the test plays the bus on the master.
#include <chrono>
#include <string>

#include "base/Bytes.h"

class TestPty {
public:
    TestPty();                     // opens a raw pty pair; the test holds the slave open too
    ~TestPty();
    TestPty(const TestPty&) = delete;
    TestPty& operator=(const TestPty&) = delete;

    const std::string& slavePath() const { return slavePath_; }
    int masterFd() const { return master_; }
    // Writes to the master side (bytes the program will receive).
    void write(const ByteString& bytes);
    // Reads what the program sent, waiting at most `timeout` for `count` bytes.
    ByteString read(size_t count, std::chrono::milliseconds timeout = std::chrono::milliseconds(1000));
    // Everything available within `quiet` of silence.
    ByteString drain(std::chrono::milliseconds quiet = std::chrono::milliseconds(50));
    // Closes the master: the slave side sees a hang-up.
    void closeMaster();
    // Closes the test's own slave descriptor.
    void closeSlave();

private:
    int master_ = -1;
    int slave_ = -1;
    std::string slavePath_;
};
