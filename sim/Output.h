#pragma once
// Where the simulator tells what happens: the --log file (every frame both ways, with wall
// time and milliseconds since the start), the --report file (machine-readable lines for
// tests), and the console (a live view of the clocks on a terminal, plain event lines
// otherwise).
#include <cstdio>
#include <string>
#include <vector>

#include "base/Bytes.h"
#include "sim/Bus.h"

namespace sim {

// "14:03:22.517 +2034.512 RX 5A 01 01 60 BC | poll clock 1: ..."; `wallMs` is milliseconds
// since local midnight, `elapsed` the simulator's time.
std::string logLine(long wallMs, Micros elapsed, const std::string& direction, const ByteString& bytes,
                    const std::string& meaning);

// A text file written line by line and flushed at once, so a test can read it while we run.
class LineFile {
public:
    LineFile() = default;
    // Throws std::runtime_error when the file cannot be created.
    explicit LineFile(const std::string& path);
    ~LineFile();
    LineFile(const LineFile&) = delete;
    LineFile& operator=(const LineFile&) = delete;
    bool open() const { return file_ != nullptr; }
    void write(const std::string& line);

private:
    std::FILE* file_ = nullptr;
};

class EventLog {
public:
    explicit EventLog(const std::string& path) : file_(path) {}
    void frame(Micros now, const std::string& direction, const ByteString& bytes, const std::string& meaning);
    void note(Micros now, const std::string& text);

private:
    LineFile file_;
};

// "clock 1  address 1  stopwatch   05:30 up   stopped  brightness 3  display on   12.00 V"
std::string clockLine(const ClockView& view);
// "boot ... " for people: size, checks and how the exchange went.
std::string bootSummary(const BootReport& report);

class Console {
public:
    // `live`: redraw the clock lines in place (stdout is a terminal); `quiet`: print nothing.
    Console(std::FILE* out, bool live, bool quiet);
    ~Console();
    bool live() const { return live_ && !quiet_; }
    void event(const std::string& text);
    // Redraws the status block if it changed (live console only).
    void show(const std::string& header, const std::vector<ClockView>& views);

private:
    void eraseBlock();
    void drawBlock();

    std::FILE* out_;
    bool live_;
    bool quiet_;
    std::vector<std::string> block_;
    size_t shown_ = 0;
};

} // namespace sim
