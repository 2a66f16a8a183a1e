#include "sim/Bus.h"

#include <algorithm>
#include <cstdio>
#include <functional>

#include "link/Frame.h"
#include "link/Reply.h"

namespace sim {

namespace {

std::string twoDigits(int v)
{
    char buf[8];
    std::snprintf(buf, sizeof buf, "%02d", v);
    return buf;
}

std::string clockText(const SimClock& c)
{
    std::string t = "clock " + std::to_string(c.id());
    if (c.address() != c.id())
        t += " (address " + std::to_string(c.address()) + ")";
    return t;
}

constexpr Micros kSplitGap = 2 * kMilli;

} // namespace

std::string describePoll(uint8_t poll)
{
    std::string t = (poll & 0x80) ? "count down" : "count up";
    t += ", brightness " + std::to_string((poll >> 5) & 3);
    t += (poll & 0x08) ? ", display off" : ", display on";
    if (poll & 0x10)
        t += ", reset";
    return t;
}

std::string reportLine(const BootReport& r)
{
    std::string line = "boot clock=" + std::to_string(r.clock) + " address=" + std::to_string(r.address);
    line += " status=" + r.status;
    line += " blocks=" + std::to_string(r.blocks);
    line += " size=" + std::to_string(r.image.size());
    line += " xor=" + hexByte(r.xorCheck);
    line += " size-unpadded=" + std::to_string(r.unpaddedSize);
    line += " xor-unpadded=" + hexByte(r.unpaddedXor);
    line += " sequence=" + std::string(r.sequenceErrors ? "error" : "ok");
    line += " sequence-errors=" + std::to_string(r.sequenceErrors);
    if (!r.firstSequenceError.empty()) {
        std::string e = r.firstSequenceError;
        std::replace(e.begin(), e.end(), ' ', '_');
        line += " first-error=" + e;
    }
    line += " duplicates=" + std::to_string(r.duplicates);
    line += " withheld=" + std::to_string(r.withheld);
    line += " data=" + toHexCompact(r.image);
    return line;
}

Bus::Bus(BusOptions options) : options_(std::move(options)), rng_(options_.seed)
{
    for (const ClockSetup& setup : options_.clocks)
        clocks_.push_back(Clock{SimClock(setup.id, options_.timeOfDayAtZero), setup});
}

uint16_t Bus::rawReading(int hundredths, int address)
{
    if (hundredths <= 0)
        return 0;
    const uint32_t factor = voltageFactor(address);
    // Of the two readings around the target, the one the PC shows closer to it (the higher on a tie).
    const uint32_t low = static_cast<uint32_t>(hundredths) * 1000u / factor;
    const auto shown = [&](uint32_t raw) { return static_cast<int>(raw * factor / 1000u); };
    const uint32_t raw = (hundredths - shown(low) < shown(low + 1) - hundredths) ? low : low + 1;
    return static_cast<uint16_t>(std::min<uint32_t>(raw, 0xFFFF));
}

bool Bus::chance(double share)
{
    if (share <= 0)
        return false;
    if (share >= 1)
        return true;
    return std::uniform_real_distribution<double>(0.0, 1.0)(rng_) < share;
}

void Bus::setMuted(int clockId, bool muted)
{
    for (Clock& c : clocks_)
        if (c.model.id() == clockId)
            c.muted = muted;
}

bool Bus::answers(const Clock& clock, Micros now) const
{
    if (clock.muted)
        return false;
    return !(clock.setup.muteAfter && now >= *clock.setup.muteAfter);
}

void Bus::receive(const ByteString& bytes, Micros now)
{
    checkBootTimeout(now);
    if (!rx_.empty() && now - lastRx_ > options_.frameGap) {
        if (listener_)
            listener_->received(now, rx_, "incomplete frame dropped after a pause");
        rx_.clear();
    }
    lastRx_ = now;
    // The adapter hears its own transmission: the program gets its bytes back before any answer.
    if (options_.faults.echo && !bytes.empty())
        out_.push_back({now, bytes, "echo of the received bytes"});
    rx_ += bytes;
    parse(now);
}

void Bus::parse(Micros now)
{
    for (;;) {
        const size_t pos = rx_.find(static_cast<char>(Frame::StartByte));
        if (pos != 0) {
            const size_t skip = pos == ByteString::npos ? rx_.size() : pos;
            if (skip && listener_)
                listener_->received(now, rx_.substr(0, skip), "no start byte, skipped");
            rx_.erase(0, skip);
            if (rx_.empty())
                return;
        }
        if (rx_.size() < 3)
            return;
        const size_t length = byteAt(rx_, 2) + 4u;
        if (rx_.size() < length)
            return;
        const ByteString frame = rx_.substr(0, length);
        if (Frame::checksum(frame.substr(0, length - 1)) != byteAt(frame, length - 1)) {
            // Give up only the start byte: the real frame may begin inside this candidate.
            if (listener_)
                listener_->received(now, frame, "bad checksum, ignored");
            rx_.erase(0, 1);
            continue;
        }
        rx_.erase(0, length);
        handleFrame(frame, now);
    }
}

void Bus::handleFrame(const ByteString& frame, Micros now)
{
    const uint8_t address = byteAt(frame, 1);
    const ByteString data = frame.substr(3, frame.size() - 4);
    std::string meaning;
    std::vector<std::function<void()>> after;
    deferred_ = &after;

    if (address == Frame::BroadcastAddress) {
        broadcastFrame(data, now, meaning);
    } else if (address == Frame::BootBlockAddress) {
        bootBlock(data, now, meaning);
    } else if (address == Frame::BootEndAddress) {
        bootEnd(data, now, meaning);
    } else if (address == Frame::AllClocks) {
        allClocksFrame(data, now, meaning);
    } else {
        bool rtc = false;
        if (Clock* clock = clockAt(address, rtc))
            clockFrame(*clock, rtc, data, now, meaning);
        else
            meaning = "no clock at address " + hexByte(address) + ", ignored";
    }

    deferred_ = nullptr;
    if (listener_)
        listener_->received(now, frame, meaning);
    for (auto& f : after)
        f();
}

Bus::Clock* Bus::clockAt(uint8_t addressByte, bool& rtc)
{
    for (Clock& c : clocks_)
        if (!c.booting && c.model.address() == addressByte) {
            rtc = false;
            return &c;
        }
    for (Clock& c : clocks_)
        if (!c.booting && c.model.address() * 17 == addressByte) {
            rtc = true;
            return &c;
        }
    return nullptr;
}

void Bus::defer(std::function<void()> f)
{
    if (deferred_)
        deferred_->push_back(std::move(f));
    else
        f();
}

void Bus::clockFrame(Clock& clock, bool rtc, const ByteString& data, Micros now, std::string& meaning)
{
    SimClock& c = clock.model;
    const Micros inputTime = options_.faults.wireTime ? wireTime(data.size() + 4) : 0;
    c.setMode(rtc ? ClockMode::RealTime : ClockMode::Stopwatch);
    const std::string who = clockText(c) + (rtc ? " (real time)" : "");
    const size_t n = data.size();
    const uint8_t d0 = n ? byteAt(data, 0) : 0;

    if (n == 1 && (d0 & 0x07) == 0) {
        c.applyPoll(d0, now);
        meaning = "poll " + who + ": " + describePoll(d0);
    } else if (n == 1 && d0 == Frame::CmdStart) {
        c.start(now);
        meaning = "start " + who;
    } else if (n == 1 && d0 == Frame::CmdStop) {
        c.stop(now);
        meaning = "stop " + who;
    } else if (n == 3 && d0 == Frame::CmdSet) {
        const int mm = fromBcd(byteAt(data, 1)), ss = fromBcd(byteAt(data, 2));
        c.set(mm * 60 + ss, now);
        meaning = "set " + who + " to " + twoDigits(mm) + ":" + twoDigits(ss);
    } else if (n == 2 && d0 == 0x01) {
        const int to = byteAt(data, 1);
        if (to < 1 || to > 4) {
            meaning = "address change " + who + " to " + std::to_string(to) + ": not an address 1 to 4, ignored";
            return;
        }
        const int from = c.address();
        c.setAddress(to);
        meaning = "address change " + who + " from " + std::to_string(from) + " to " + std::to_string(to);
        for (const Clock& other : clocks_)
            if (&other != &clock && other.model.address() == to)
                meaning += " (clock " + std::to_string(other.model.id()) + " has that address too)";
        const int id = c.id();
        defer([this, now, id, from, to] {
            if (listener_)
                listener_->addressChanged(now, id, from, to);
        });
    } else if (n == 1 && d0 == Frame::CmdBoot) {
        meaning = "boot command " + who + ": boot loader listens at 101";
        if (boot_)
            finishBoot("superseded", now);
        clock.booting = true;
        BootSession s;
        s.clockIndex = static_cast<int>(&clock - clocks_.data());
        s.lastFrame = now;
        s.report.clock = c.id();
        s.report.address = c.address();
        for (int seq : options_.faults.withheldAcks)
            ++s.withhold[seq];
        boot_ = std::move(s);
        return;  // the boot loader starts; no status reply
    } else {
        meaning = "unknown command to " + who + ", ignored";
        return;
    }
    if (!answers(clock, now)) {
        meaning += " [muted, no reply]";
        return;
    }
    if (chance(options_.faults.dropShare)) {
        meaning += " [reply dropped]";
        return;
    }
    sendStatus(clock, now, inputTime);
}

void Bus::allClocksFrame(const ByteString& data, Micros now, std::string& meaning)
{
    const size_t n = data.size();
    const uint8_t d0 = n ? byteAt(data, 0) : 0;
    std::string what;
    std::function<void(SimClock&)> apply;
    if (n == 1 && (d0 & 0x07) == 0) {
        what = "poll all clocks: " + describePoll(d0);
        apply = [&](SimClock& c) { c.applyPoll(d0, now); };
    } else if (n == 1 && d0 == Frame::CmdStart) {
        what = "start all clocks";
        apply = [&](SimClock& c) { c.start(now); };
    } else if (n == 1 && d0 == Frame::CmdStop) {
        what = "stop all clocks";
        apply = [&](SimClock& c) { c.stop(now); };
    } else if (n == 3 && d0 == Frame::CmdSet) {
        const int mm = fromBcd(byteAt(data, 1)), ss = fromBcd(byteAt(data, 2));
        what = "set all clocks to " + twoDigits(mm) + ":" + twoDigits(ss);
        apply = [&, mm, ss](SimClock& c) { c.set(mm * 60 + ss, now); };
    } else {
        // An address change or boot command for every clock at once would leave them all on
        // one address or all in the boot loader; no clock takes it.
        meaning = "command to all clocks not taken, ignored";
        return;
    }
    for (Clock& c : clocks_)
        if (!c.booting)
            apply(c.model);
    meaning = what;  // nobody answers a frame to all clocks: the replies would collide
}

void Bus::broadcastFrame(const ByteString& data, Micros now, std::string& meaning)
{
    bool digits = data.size() == 6;
    for (char ch : data)
        digits = digits && ch >= '0' && ch <= '9';
    if (!digits) {
        meaning = "broadcast without six digits, ignored";
        return;
    }
    const int hh = (data[0] - '0') * 10 + (data[1] - '0');
    const int mm = (data[2] - '0') * 10 + (data[3] - '0');
    const int ss = (data[4] - '0') * 10 + (data[5] - '0');
    meaning = "time broadcast " + twoDigits(hh) + ":" + twoDigits(mm) + ":" + twoDigits(ss);
    if (hh > 23 || mm > 59 || ss > 59) {
        meaning += ": not a time of day, ignored";
        return;
    }
    for (Clock& c : clocks_)
        if (!c.booting)
            c.model.setTimeOfDay(hh * 3600 + mm * 60 + ss, now);
}

void Bus::bootBlock(const ByteString& data, Micros now, std::string& meaning)
{
    if (!boot_) {
        meaning = "firmware block but no clock in its boot loader, ignored";
        return;
    }
    if (data.size() != 65) {
        meaning = "firmware block of " + std::to_string(data.size()) + " data bytes (not 65), ignored";
        return;
    }
    BootSession& s = *boot_;
    BootReport& r = s.report;
    s.lastFrame = now;
    const uint8_t counter = byteAt(data, 0);
    int seq;
    if (counter == s.expected) {
        r.image += data.substr(1);
        seq = r.blocks++;
        s.expected = static_cast<uint8_t>(s.expected + 1);
        meaning = "firmware block " + std::to_string(counter);
    } else if (r.blocks > 0 && counter == static_cast<uint8_t>(s.expected - 1)) {
        ++r.duplicates;
        seq = r.blocks - 1;
        meaning = "firmware block " + std::to_string(counter) + " again (kept once)";
    } else {
        if (r.sequenceErrors++ == 0)
            r.firstSequenceError = "expected " + std::to_string(s.expected) + ", got " + std::to_string(counter);
        meaning = "firmware block " + std::to_string(counter) + " out of sequence (expected " +
                  std::to_string(s.expected) + "), not acknowledged";
        return;
    }
    auto w = s.withhold.find(seq);
    if (w != s.withhold.end() && w->second > 0) {
        --w->second;
        ++r.withheld;
        meaning += " [acknowledgement withheld]";
        return;
    }
    if (!answers(clocks_[static_cast<size_t>(s.clockIndex)], now)) {
        meaning += " [muted, no acknowledgement]";
        return;
    }
    if (chance(options_.faults.dropShare)) {
        meaning += " [acknowledgement dropped]";
        return;
    }
    sendAck(now, options_.faults.wireTime ? wireTime(data.size() + 4) : 0, "acknowledgement of block " + std::to_string(counter));
}

void Bus::bootEnd(const ByteString& data, Micros now, std::string& meaning)
{
    if (!boot_) {
        meaning = "end of firmware update but no clock in its boot loader, ignored";
        return;
    }
    if (data != "K") {
        meaning = "frame to 102 that is not \"K\", ignored";
        return;
    }
    meaning = "end of firmware update";
    defer([this, now] { finishBoot("complete", now); });
}

void Bus::finishBoot(const std::string& status, Micros now)
{
    if (!boot_)
        return;
    BootSession s = std::move(*boot_);
    boot_.reset();
    Clock& clock = clocks_[static_cast<size_t>(s.clockIndex)];
    clock.booting = false;
    BootReport& r = s.report;
    r.status = status;
    r.xorCheck = 0;
    for (unsigned char b : r.image)
        r.xorCheck ^= b;
    r.unpaddedSize = r.image.size();
    while (r.unpaddedSize > 0 && byteAt(r.image, r.unpaddedSize - 1) == 0xFF)
        --r.unpaddedSize;
    r.unpaddedXor = 0;
    for (size_t i = 0; i < r.unpaddedSize; ++i)
        r.unpaddedXor ^= byteAt(r.image, i);
    defer([this, now, r] {
        if (listener_)
            listener_->bootFinished(now, r);
    });
}

void Bus::checkBootTimeout(Micros now)
{
    if (boot_ && now - boot_->lastFrame >= options_.bootTimeout)
        finishBoot("timeout", now);
}

void Bus::sendStatus(Clock& clock, Micros now, Micros inputTime)
{
    SimClock& c = clock.model;
    c.advance(now);
    const StatusFields s = c.status(now);
    int hundredths = clock.setup.hundredths;
    if (options_.noiseHundredths > 0)
        hundredths += std::uniform_int_distribution<int>(-options_.noiseHundredths, options_.noiseHundredths)(rng_);
    const uint16_t raw = rawReading(hundredths, c.address());
    ByteString data;
    data += static_cast<char>(s.left);
    data += static_cast<char>(s.right);
    data += static_cast<char>(raw >> 8);
    data += static_cast<char>(raw & 0xFF);
    ByteString frame = Frame::build(s.address, data);

    std::string meaning = "status " + clockText(c) + ": ";
    if (s.address & 0x40)
        meaning += "-";
    meaning += bcdDigits(s.left) + ":" + bcdDigits(s.right);
    if (s.address & 0x80)
        meaning += " highlighted";
    meaning += ", " + voltageText(raw * voltageFactor(c.address()) / 1000u);
    if (chance(options_.faults.corruptShare)) {
        frame.back() = static_cast<char>(byteAt(frame, frame.size() - 1) + 1);
        meaning += " [bad checksum]";
    }
    if (chance(options_.faults.garbageShare)) {
        ByteString junk;
        const int count = std::uniform_int_distribution<int>(1, 4)(rng_);
        for (int i = 0; i < count; ++i) {
            uint8_t b = static_cast<uint8_t>(std::uniform_int_distribution<int>(0, 255)(rng_));
            if (b == Frame::StartByte)
                b ^= 0x01;
            junk += static_cast<char>(b);
        }
        frame = junk + frame;
        meaning += " [" + std::to_string(count) + " garbage bytes in front]";
    }
    ++clock.replies;
    schedule(std::move(frame), std::move(meaning), now + inputTime, true);
}

void Bus::sendAck(Micros now, Micros inputTime, const std::string& meaning)
{
    schedule(ByteString(1, static_cast<char>(Frame::BootAck)), meaning, now + inputTime, false);
}

void Bus::schedule(ByteString bytes, std::string meaning, Micros earliest, bool allowSplit)
{
    const FaultOptions& f = options_.faults;
    // With wire time the answer also waits for the PC's frame to have crossed the wire.
    Micros at = std::max(earliest + options_.replyLatency + f.extraDelay, lineFree_);
    if (f.wireTime) {
        for (size_t i = 0; i < bytes.size(); ++i)
            out_.push_back({at + wireTime(i), bytes.substr(i, 1),
                            i == 0 ? meaning + " (paced at 19200 bit/s)" : std::string()});
        lineFree_ = at + wireTime(bytes.size());
        return;
    }
    if (allowSplit && bytes.size() > 1 && chance(f.splitShare)) {
        const int parts = static_cast<int>(std::min<size_t>(bytes.size(), 1 + std::uniform_int_distribution<int>(1, 2)(rng_)));
        std::vector<size_t> cuts;
        while (static_cast<int>(cuts.size()) < parts - 1) {
            const size_t cut = std::uniform_int_distribution<size_t>(1, bytes.size() - 1)(rng_);
            if (std::find(cuts.begin(), cuts.end(), cut) == cuts.end())
                cuts.push_back(cut);
        }
        std::sort(cuts.begin(), cuts.end());
        cuts.push_back(bytes.size());
        size_t from = 0;
        for (size_t i = 0; i < cuts.size(); ++i) {
            out_.push_back({at, bytes.substr(from, cuts[i] - from),
                            meaning + " [part " + std::to_string(i + 1) + " of " + std::to_string(cuts.size()) + "]"});
            from = cuts[i];
            at += kSplitGap;
        }
        lineFree_ = at - kSplitGap;
        return;
    }
    out_.push_back({at, std::move(bytes), std::move(meaning)});
    lineFree_ = at;
}

std::vector<Transmission> Bus::takeDue(Micros now)
{
    checkBootTimeout(now);
    std::vector<Transmission> due;
    while (!out_.empty() && out_.front().due <= now) {
        due.push_back(std::move(out_.front()));
        out_.pop_front();
    }
    return due;
}

std::optional<Micros> Bus::nextDue() const
{
    std::optional<Micros> next;
    if (!out_.empty())
        next = out_.front().due;
    if (boot_) {
        const Micros t = boot_->lastFrame + options_.bootTimeout;
        next = next ? std::min(*next, t) : t;
    }
    return next;
}

std::vector<ClockView> Bus::view(Micros now) const
{
    std::vector<ClockView> views;
    for (const Clock& c : clocks_) {
        SimClock m = c.model;
        m.advance(now);
        ClockView v;
        v.id = m.id();
        v.address = m.address();
        v.mode = m.mode();
        v.booting = c.booting;
        v.bootBlocks = (c.booting && boot_) ? boot_->report.blocks : 0;
        v.stopwatch = m.stopwatch();
        v.running = m.running();
        v.countDown = m.countDown();
        v.expired = m.expired();
        v.timeOfDay = m.timeOfDay(now);
        v.brightness = m.brightness();
        v.displayOff = m.displayOff();
        v.hundredths = c.setup.hundredths;
        v.muted = !answers(c, now);
        v.replies = c.replies;
        views.push_back(v);
    }
    return views;
}

} // namespace sim
