#include "sim/Output.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <cstdlib>
#include <ctime>
#include <stdexcept>


namespace sim {

namespace {

long wallMillisOfDay()
{
    const auto now = std::chrono::system_clock::now();
    const std::time_t t = std::chrono::system_clock::to_time_t(now);
    std::tm tm {};
    localtime_r(&t, &tm);
    const long ms = static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000);
    return ((tm.tm_hour * 60L + tm.tm_min) * 60L + tm.tm_sec) * 1000L + ms;
}

std::string volts(int hundredths)
{
    char buf[16];
    std::snprintf(buf, sizeof buf, "%d.%02d V", hundredths / 100, hundredths % 100);
    return buf;
}

std::string mmss(int seconds)
{
    char buf[40];
    const int a = std::abs(seconds);
    std::snprintf(buf, sizeof buf, "%s%02d:%02d", seconds < 0 ? "-" : " ", a / 60, a % 60);
    return buf;
}

} // namespace

std::string logLine(long wallMs, Micros elapsed, const std::string& direction, const ByteString& bytes,
                    const std::string& meaning)
{
    char head[64];
    std::snprintf(head, sizeof head, "%02ld:%02ld:%02ld.%03ld +%lld.%03lld %s", wallMs / 3600000 % 24,
                  wallMs / 60000 % 60, wallMs / 1000 % 60, wallMs % 1000, static_cast<long long>(elapsed / 1000),
                  static_cast<long long>(elapsed % 1000), direction.c_str());
    std::string line = head;
    if (!bytes.empty())
        line.append(" ").append(toHex(bytes));
    if (!meaning.empty())
        line.append(" | ").append(meaning);
    return line;
}

LineFile::LineFile(const std::string& path)
{
    file_ = std::fopen(path.c_str(), "we");
    if (!file_)
        throw std::runtime_error("cannot create " + path + ": " + std::strerror(errno));
}

LineFile::~LineFile()
{
    if (file_)
        std::fclose(file_);
}

void LineFile::write(const std::string& line)
{
    if (!file_)
        return;
    std::fputs(line.c_str(), file_);
    std::fputc('\n', file_);
    std::fflush(file_);
}

void EventLog::frame(Micros now, const std::string& direction, const ByteString& bytes, const std::string& meaning)
{
    file_.write(logLine(wallMillisOfDay(), now, direction, bytes, meaning));
}

void EventLog::note(Micros now, const std::string& text)
{
    file_.write(logLine(wallMillisOfDay(), now, "--", {}, text));
}

std::string clockLine(const ClockView& v)
{
    char buf[200];
    const std::string address = std::to_string(v.address);
    if (v.booting) {
        std::snprintf(buf, sizeof buf, "clock %d  address %-2s  boot loader  %d blocks received", v.id, address.c_str(),
                      v.bootBlocks);
        return buf;
    }
    std::string time, state;
    if (v.mode == ClockMode::RealTime) {
        char t[40];
        std::snprintf(t, sizeof t, " %02d:%02d:%02d", v.timeOfDay / 3600, v.timeOfDay / 60 % 60, v.timeOfDay % 60);
        time = t;
    } else {
        time = mmss(v.stopwatch);
        state = std::string(v.countDown ? "down" : "up  ") + (v.running ? " running" : " stopped");
        if (v.expired)
            state += " time up";
    }
    std::snprintf(buf, sizeof buf, "clock %d  address %-2s  %-10s %-9s %-21s brightness %d  display %-3s  %s", v.id,
                  address.c_str(), v.mode == ClockMode::RealTime ? "real time" : "stopwatch", time.c_str(),
                  state.c_str(), v.brightness, v.displayOff ? "off" : "on", volts(v.hundredths).c_str());
    std::string line = buf;
    if (v.muted)
        line += "  muted";
    return line;
}

std::string bootSummary(const BootReport& r)
{
    char buf[96];
    std::string t = "clock " + std::to_string(r.clock) + ": firmware update ";
    t += r.status == "complete" ? "complete" : r.status == "timeout" ? "abandoned (no frame for too long)" :
                                                                       "abandoned (another clock was put into boot mode)";
    std::snprintf(buf, sizeof buf, ", %d blocks, %zu bytes, XOR %02X (without the 0xFF fill: %zu bytes, XOR %02X)",
                  r.blocks, r.image.size(), r.xorCheck, r.unpaddedSize, r.unpaddedXor);
    t += buf;
    t += r.sequenceErrors ? ", block counter out of sequence " + std::to_string(r.sequenceErrors) + " times (first: " +
                                r.firstSequenceError + ")"
                          : ", block counters in sequence";
    if (r.duplicates)
        t += ", " + std::to_string(r.duplicates) + " blocks resent";
    if (r.withheld)
        t += ", " + std::to_string(r.withheld) + " acknowledgements withheld";
    return t;
}

Console::Console(std::FILE* out, bool live, bool quiet) : out_(out), live_(live), quiet_(quiet) {}

Console::~Console()
{
    if (live())
        std::fflush(out_);
}

void Console::eraseBlock()
{
    if (shown_ == 0)
        return;
    std::fprintf(out_, "\x1b[%zuA\r\x1b[J", shown_);
    shown_ = 0;
}

void Console::drawBlock()
{
    for (const std::string& line : block_)
        std::fprintf(out_, "\r\x1b[2K%s\n", line.c_str());
    shown_ = block_.size();
    std::fflush(out_);
}

void Console::event(const std::string& text)
{
    if (quiet_)
        return;
    if (live()) {
        eraseBlock();
        std::fprintf(out_, "%s\n", text.c_str());
        drawBlock();
        return;
    }
    std::fprintf(out_, "%s\n", text.c_str());
    std::fflush(out_);
}

void Console::show(const std::string& header, const std::vector<ClockView>& views)
{
    if (!live())
        return;
    std::vector<std::string> block{header};
    for (const ClockView& v : views)
        block.push_back("  " + clockLine(v));
    if (block == block_ && shown_ == block.size())
        return;
    block_ = std::move(block);
    if (shown_ == block_.size()) {
        std::fprintf(out_, "\x1b[%zuA", shown_);
        shown_ = 0;
        drawBlock();
        return;
    }
    eraseBlock();
    drawBlock();
}

} // namespace sim
