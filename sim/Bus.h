#pragma once
// The simulated RS485 bus: bytes from the PC go in with the time they arrived, and the replies
// of the clocks come out as pieces of bytes with the time each is due on the wire.
//
// The parser accepts any length byte (firmware blocks carry 65 data bytes) and resynchronises:
// bytes in front of a start byte are skipped, a candidate with a wrong checksum gives up only
// its start byte, and a partial frame is dropped when the line has been quiet for a while, as
// a clock's UART would. Frames to an address no clock holds are ignored.
//
// Fault injection (shares of replies dropped, corrupted, split or preceded by garbage, extra
// delay, withheld firmware acknowledgements, wire-time pacing, muted clocks) is drawn from a
// seeded generator, so a run is repeatable.
#include <deque>
#include <functional>
#include <map>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "base/Bytes.h"
#include "sim/SimClock.h"

namespace sim {

// 10 bit times per byte at 19200 bit/s: 520.83 µs, kept exact as 3125/6 µs.
constexpr Micros wireTime(size_t bytes) { return static_cast<Micros>(bytes) * 3125 / 6; }

struct FaultOptions {
    double dropShare = 0;      // status replies and acknowledgements not sent at all
    double corruptShare = 0;   // status replies sent with checksum + 1
    double splitShare = 0;     // status replies written in 2 or 3 pieces, 2 ms apart
    double garbageShare = 0;   // status replies preceded by 1 to 4 bytes other than "Z"
    Micros extraDelay = 0;     // added to every answer's latency
    bool wireTime = false;     // one byte per write, paced at 19200 bit/s
    bool echo = false;         // every received byte sent straight back, as by an adapter that hears itself
    std::vector<int> withheldAcks;  // block sequence numbers (0-based); a number listed twice is withheld twice
};

struct ClockSetup {
    int id = 1;                // 1..4, also the clock's first address
    int hundredths = 1200;     // supply voltage
    std::optional<Micros> muteAfter;
};

struct BusOptions {
    std::vector<ClockSetup> clocks;
    int noiseHundredths = 5;            // voltage noise, ± this much; 0 for exact readings
    uint32_t seed = 1;
    FaultOptions faults;
    int timeOfDayAtZero = 0;            // the clocks' time of day at time 0, seconds since midnight
    Micros replyLatency = 3 * kMilli;   // from the end of the PC's frame to the answer
    Micros bootTimeout = 10 * kSecond;  // boot loader gives up after this long without a frame
    Micros frameGap = 50 * kMilli;      // quiet time after which a partial frame is dropped
};

struct Transmission {
    Micros due = 0;
    ByteString bytes;
    std::string meaning;
};

struct BootReport {
    int clock = 0;            // the clock's id
    int address = 0;
    std::string status;       // "complete", "timeout" or "superseded"
    int blocks = 0;           // blocks taken into the image
    ByteString image;         // the bytes received, 0xFF fill included
    uint8_t xorCheck = 0;     // XOR of all image bytes
    size_t unpaddedSize = 0;  // image size without the trailing 0xFF fill
    uint8_t unpaddedXor = 0;
    int sequenceErrors = 0;
    std::string firstSequenceError;  // "expected 2, got 4"
    int duplicates = 0;       // resent blocks acknowledged again but not stored twice
    int withheld = 0;         // acknowledgements withheld on purpose
};
// One machine-readable line, key=value pairs separated by spaces; data= is the image in hex.
std::string reportLine(const BootReport& report);

class BusListener {
public:
    virtual ~BusListener() = default;
    // A frame or a run of skipped bytes from the PC, with what it meant to the clocks.
    virtual void received(Micros, const ByteString&, const std::string&) {}
    virtual void bootFinished(Micros, const BootReport&) {}
    virtual void addressChanged(Micros, int /*clock*/, int /*from*/, int /*to*/) {}
};

struct ClockView {
    int id = 0;
    int address = 0;
    ClockMode mode = ClockMode::Stopwatch;
    bool booting = false;
    int bootBlocks = 0;
    int stopwatch = 0;
    bool running = false;
    bool countDown = false;
    bool expired = false;
    int timeOfDay = 0;
    int brightness = 3;
    bool displayOff = false;
    int hundredths = 0;
    bool muted = false;
    long replies = 0;
};

class Bus {
public:
    explicit Bus(BusOptions options);

    void setListener(BusListener* listener) { listener_ = listener; }
    void receive(const ByteString& bytes, Micros now);
    // Pieces due at or before `now`, in order; each is meant for a write of its own.
    std::vector<Transmission> takeDue(Micros now);
    // When takeDue next has something to do (a piece, or the boot loader's time-out).
    std::optional<Micros> nextDue() const;
    // Silences a clock's answers (it still follows the frames), or lets it answer again.
    void setMuted(int clockId, bool muted);
    std::vector<ClockView> view(Micros now) const;
    // Raw supply reading that the PC turns into `hundredths` with the factor of `address`.
    static uint16_t rawReading(int hundredths, int address);

private:
    struct Clock {
        SimClock model;
        ClockSetup setup;
        bool booting = false;
        bool muted = false;
        long replies = 0;
    };
    struct BootSession {
        int clockIndex = 0;
        Micros lastFrame = 0;
        uint8_t expected = 0;
        BootReport report;
        std::map<int, int> withhold;  // sequence number -> acknowledgements still to withhold
    };

    void parse(Micros now);
    void handleFrame(const ByteString& frame, Micros now);
    void clockFrame(Clock& clock, bool rtc, const ByteString& data, Micros now, std::string& meaning);
    void allClocksFrame(const ByteString& data, Micros now, std::string& meaning);
    void broadcastFrame(const ByteString& data, Micros now, std::string& meaning);
    void bootBlock(const ByteString& data, Micros now, std::string& meaning);
    void bootEnd(const ByteString& data, Micros now, std::string& meaning);
    void finishBoot(const std::string& status, Micros now);
    void checkBootTimeout(Micros now);
    void sendStatus(Clock& clock, Micros now, Micros inputTime);
    void sendAck(Micros now, Micros inputTime, const std::string& meaning);
    void schedule(ByteString bytes, std::string meaning, Micros earliest, bool allowSplit);
    bool chance(double share);
    bool answers(const Clock& clock, Micros now) const;
    Clock* clockAt(uint8_t addressByte, bool& rtc);
    // Runs `f` after the frame being handled has been reported to the listener.
    void defer(std::function<void()> f);

    BusOptions options_;
    std::vector<Clock> clocks_;
    BusListener* listener_ = nullptr;
    ByteString rx_;
    Micros lastRx_ = 0;
    std::deque<Transmission> out_;
    Micros lineFree_ = 0;
    std::mt19937 rng_;
    std::optional<BootSession> boot_;
    std::vector<std::function<void()>>* deferred_ = nullptr;
};

// "poll clock 1: count down, brightness 2, display on, reset" and the like, for the log.
std::string describePoll(uint8_t poll);

} // namespace sim
