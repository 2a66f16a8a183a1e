#pragma once
// One simulated display clock: a stopwatch that ticks once a second from the moment it was
// started or set, a time of day that follows the broadcast, and the display settings the
// polls carry. Time is the simulator's monotonic clock in microseconds; nothing here reads
// the system clock, so tests drive it with plain numbers.
#include <cstdint>

#include "base/Bytes.h"

namespace sim {

using Micros = int64_t;
constexpr Micros kSecond = 1'000'000;
constexpr Micros kMilli = 1'000;

enum class ClockMode { Stopwatch, RealTime };

// The four bytes of a status reply besides the frame around them.
struct StatusFields {
    uint8_t address = 0;  // clock address | 0x40 negative time | 0x80 highlight
    uint8_t left = 0;     // BCD: stopwatch minutes, or hours in real-time mode
    uint8_t right = 0;    // BCD: stopwatch seconds, or minutes in real-time mode
};

class SimClock {
public:
    // The display wraps after 99:59, so the stopwatch counts modulo 100 minutes.
    static constexpr int kWrap = 100 * 60;

    SimClock(int id, int timeOfDayAtZero);

    int id() const { return id_; }
    int address() const { return address_; }
    void setAddress(int address) { address_ = address; }
    ClockMode mode() const { return mode_; }
    void setMode(ClockMode mode) { mode_ = mode; }

    // Poll byte: bit 7 count down, bits 6-5 brightness, bit 4 reset, bit 3 display off.
    void applyPoll(uint8_t poll, Micros now);
    void start(Micros now);
    void stop(Micros now);
    void set(int seconds, Micros now);
    void setTimeOfDay(int secondsSinceMidnight, Micros now);

    // Brings the stopwatch up to `now`; the getters below read the state as of the last call.
    void advance(Micros now);
    int stopwatch() const { return value_; }   // signed seconds, negative after a count-down passed zero
    bool running() const { return running_; }
    bool countDown() const { return countDown_; }
    bool expired() const { return expired_; }  // a count-down has reached zero
    int brightness() const { return brightness_; }
    bool displayOff() const { return displayOff_; }
    int timeOfDay(Micros now) const;           // seconds since midnight

    // The reply's address and time bytes as of `now` (call advance first).
    StatusFields status(Micros now) const;

private:
    int id_;
    int address_;
    ClockMode mode_ = ClockMode::Stopwatch;
    int value_ = 0;
    bool running_ = false;
    bool countDown_ = false;
    bool expired_ = false;
    Micros nextTick_ = 0;
    int brightness_ = 3;
    bool displayOff_ = false;
    int todBase_;
    Micros todRef_ = 0;
};

} // namespace sim
