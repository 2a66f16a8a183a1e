#include "sim/SimClock.h"

#include <cstdlib>

namespace sim {

namespace {
Micros floorDiv(Micros a, Micros b)
{
    Micros q = a / b;
    if ((a % b != 0) && ((a < 0) != (b < 0)))
        --q;
    return q;
}
} // namespace

SimClock::SimClock(int id, int timeOfDayAtZero) : id_(id), address_(id), todBase_(timeOfDayAtZero) {}

void SimClock::advance(Micros now)
{
    if (!running_ || now < nextTick_)
        return;
    const Micros ticks = (now - nextTick_) / kSecond + 1;
    nextTick_ += ticks * kSecond;
    const int step = static_cast<int>(ticks % kWrap);
    value_ += countDown_ ? -step : step;
    while (value_ >= kWrap)
        value_ -= kWrap;
    while (value_ <= -kWrap)
        value_ += kWrap;
    if (value_ > 0)
        expired_ = false;
    else if (countDown_)
        expired_ = true;
}

void SimClock::applyPoll(uint8_t poll, Micros now)
{
    advance(now);
    countDown_ = (poll & 0x80) != 0;
    brightness_ = (poll >> 5) & 3;
    displayOff_ = (poll & 0x08) != 0;
    if (poll & 0x10) {
        value_ = 0;
        expired_ = false;
        nextTick_ = now + kSecond;
    }
}

void SimClock::start(Micros now)
{
    advance(now);
    if (running_)
        return;
    running_ = true;
    nextTick_ = now + kSecond;
}

void SimClock::stop(Micros now)
{
    advance(now);
    running_ = false;
}

void SimClock::set(int seconds, Micros now)
{
    advance(now);
    value_ = seconds % kWrap;
    expired_ = false;
    nextTick_ = now + kSecond;
}

void SimClock::setTimeOfDay(int secondsSinceMidnight, Micros now)
{
    todBase_ = secondsSinceMidnight;
    todRef_ = now;
}

int SimClock::timeOfDay(Micros now) const
{
    const Micros t = todBase_ + floorDiv(now - todRef_, kSecond);
    return static_cast<int>(((t % 86400) + 86400) % 86400);
}

StatusFields SimClock::status(Micros now) const
{
    StatusFields s;
    s.address = static_cast<uint8_t>(address_ & 0x3F);
    if (mode_ == ClockMode::RealTime) {
        const int tod = timeOfDay(now);
        s.left = toBcd(tod / 3600);
        s.right = toBcd(tod / 60 % 60);
        return s;
    }
    const int magnitude = std::abs(value_);
    s.left = toBcd(magnitude / 60);
    s.right = toBcd(magnitude % 60);
    if (value_ < 0)
        s.address |= 0x40;
    if (expired_)
        s.address |= 0x80;
    return s;
}

} // namespace sim
