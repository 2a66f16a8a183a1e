// The simulated bus in-process: replies byte for byte against frames built here, the boot
// loader exchange, the parser's resynchronisation and the fault injection, on injected time.
#include <gtest/gtest.h>

#include <array>
#include <random>
#include <set>

#include "link/Frame.h"
#include "link/Reply.h"
#include "sim/Bus.h"
#include "tests/support/ClockFrames.h"

using namespace sim;

namespace {

constexpr Micros ms(double v) { return static_cast<Micros>(v * 1000); }

struct Recorder : BusListener {
    std::vector<BootReport> boots;
    std::vector<std::array<int, 3>> moves;
    std::vector<std::string> meanings;
    void received(Micros, const ByteString&, const std::string& m) override { meanings.push_back(m); }
    void bootFinished(Micros, const BootReport& r) override { boots.push_back(r); }
    void addressChanged(Micros, int c, int from, int to) override { moves.push_back({c, from, to}); }
};

class SimBus : public ::testing::Test {
protected:
    BusOptions options(std::vector<int> clocks = {1, 2, 3, 4})
    {
        BusOptions o;
        for (int c : clocks)
            o.clocks.push_back(ClockSetup{c, 1200, {}});
        o.noiseHundredths = 0;
        o.timeOfDayAtZero = 8 * 3600;
        return o;
    }
    void make(BusOptions o)
    {
        bus = std::make_unique<Bus>(std::move(o));
        bus->setListener(&rec);
    }
    // Sends a frame at `at` and returns everything the bus writes within the next 100 ms.
    ByteString exchange(uint8_t address, const ByteString& data, Micros at)
    {
        bus->receive(Frame::build(address, data), at);
        return drain(at + ms(100));
    }
    ByteString drain(Micros until)
    {
        ByteString out;
        for (const Transmission& t : bus->takeDue(until))
            out += t.bytes;
        return out;
    }

    std::unique_ptr<Bus> bus;
    Recorder rec;
};

TEST_F(SimBus, RepliesToPollsAndCommandsByteForByte)
{
    struct Step {
        uint8_t address;
        ByteString data;
        double atMs;
    };
    struct Case {
        const char* name;
        std::vector<Step> setup;
        Step poll;
        ByteString expected;
    };
    const std::vector<Case> cases = {
        {"idle clock 1 counting up", {}, {1, bytes({0x60}), 0}, status(0x01, 0x00, 0x00, kRaw1)},
        {"clock 3 set to 05:30", {{3, bytes({3, 0x05, 0x30}), 0}}, {3, bytes({0x60}), 500}, status(0x03, 0x05, 0x30, kRaw)},
        {"set to all clocks reaches clock 4", {{0, bytes({3, 0x10, 0x00}), 0}}, {4, bytes({0x00}), 200},
         status(0x04, 0x10, 0x00, kRaw)},
        {"running up for 65.2 s", {{2, bytes({1}), 0}}, {2, bytes({0x60}), 65200}, status(0x02, 0x01, 0x05, kRaw)},
        {"start to all clocks, stop to clock 2 at 10.5 s",
         {{0, bytes({1}), 0}, {2, bytes({2}), 10500}}, {2, bytes({0x60}), 30000}, status(0x02, 0x00, 0x10, kRaw)},
        {"count-down at zero is highlighted",
         {{1, bytes({0x80}), 0}, {1, bytes({3, 0x00, 0x02}), 0}, {1, bytes({1}), 0}}, {1, bytes({0x80}), 2500},
         status(0x81, 0x00, 0x00, kRaw1)},
        {"count-down past zero is negative and highlighted",
         {{2, bytes({0xE0}), 0}, {2, bytes({3, 0x00, 0x02}), 0}, {2, bytes({1}), 0}}, {2, bytes({0xE0}), 14100},
         status(0xC2, 0x00, 0x12, kRaw)},
        {"reset bit zeroes the stopwatch", {{3, bytes({3, 0x12, 0x34}), 0}}, {3, bytes({0x70}), 100},
         status(0x03, 0x00, 0x00, kRaw)},
        {"real-time mode shows hours and minutes of the broadcast time",
         {{0xFF, ByteString("123456"), 0}}, {0x33, bytes({0x60}), 100}, status(0x03, 0x12, 0x34, kRaw)},
        {"real-time clock runs on past midnight",
         {{0xFF, ByteString("235930"), 0}}, {0x44, bytes({0x60}), 31000}, status(0x04, 0x00, 0x00, kRaw)},
        {"real-time clock before any broadcast keeps its own time", {}, {0x11, bytes({0x60}), 61000},
         status(0x01, 0x08, 0x01, kRaw1)},
        {"a command in real-time form is taken and answered", {{0x33, bytes({3, 0x05, 0x30}), 0}},
         {3, bytes({0x60}), 100}, status(0x03, 0x05, 0x30, kRaw)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        make(options());
        for (const Step& s : c.setup)
            bus->receive(Frame::build(s.address, s.data), ms(s.atMs));
        drain(ms(c.poll.atMs) - 1);
        EXPECT_EQ(toHex(exchange(c.poll.address, c.poll.data, ms(c.poll.atMs))), toHex(c.expected));
    }
}

TEST_F(SimBus, AnswersAFewMillisecondsLaterAndNeverToAllClocks)
{
    make(options());
    bus->receive(Frame::build(2, bytes({0x60})), ms(1000));
    EXPECT_TRUE(bus->takeDue(ms(1000)).empty());
    ASSERT_TRUE(bus->nextDue());
    EXPECT_GE(*bus->nextDue(), ms(1001));
    EXPECT_LE(*bus->nextDue(), ms(1010));
    drain(ms(2000));
    for (const ByteString& data : {bytes({0x60}), bytes({1}), bytes({2}), bytes({3, 0, 0})})
        EXPECT_EQ(exchange(0, data, ms(3000)), "") << toHex(data);
    EXPECT_EQ(exchange(0xFF, ByteString("120000"), ms(4000)), "");
}

TEST_F(SimBus, RemembersBrightnessAndDisplayOffFromPolls)
{
    make(options());
    exchange(2, bytes({0x48}), 0);  // brightness 2, display off
    exchange(0, bytes({0x20}), ms(200));  // brightness 1 to all
    const auto v = bus->view(ms(300));
    EXPECT_EQ(v[1].brightness, 1);
    EXPECT_FALSE(v[1].displayOff);
    exchange(3, bytes({0x08}), ms(400));
    const auto w = bus->view(ms(500));
    EXPECT_EQ(w[2].brightness, 0);
    EXPECT_TRUE(w[2].displayOff);
    EXPECT_EQ(w[0].brightness, 1);
}

TEST_F(SimBus, VoltageReadingIsTheOneThePcShowsClosestToTheSetting)
{
    EXPECT_EQ(Bus::rawReading(1200, 1), 806);
    EXPECT_EQ(Bus::rawReading(1200, 2), 847);
    EXPECT_EQ(Bus::rawReading(1228, 1), 825);  // 825 * 1489 / 1000 = 1228
    for (int address : {1, 2}) {
        const uint32_t f = voltageFactor(address);
        for (int h = 0; h <= 2500; ++h) {
            const uint16_t raw = Bus::rawReading(h, address);
            const int shown = static_cast<int>(raw * f / 1000);
            // Every achievable value is within one step of factor/1000 hundredths.
            ASSERT_LE(std::abs(shown - h), 1) << "address " << address << ", " << h;
        }
    }
}

TEST_F(SimBus, NoiseStaysWithinItsBand)
{
    BusOptions o = options({3});
    o.noiseHundredths = 5;
    o.seed = 7;
    make(o);
    std::set<int> seen;
    for (int i = 0; i < 200; ++i) {
        const ByteString r = exchange(3, bytes({0x60}), ms(200.0 * i));
        ASSERT_EQ(r.size(), 8u);
        const int shown = static_cast<int>((byteAt(r, 5) * 256 + byteAt(r, 6)) * 1418u / 1000u);
        EXPECT_LE(std::abs(shown - 1200), 6);
        seen.insert(shown);
    }
    EXPECT_GE(seen.size(), 5u);
}

TEST_F(SimBus, AddressChangeMovesTheClock)
{
    make(options({3}));
    exchange(3, bytes({3, 0x05, 0x30}), 0);
    // 5A 03 02 01 01 61: clock 3 takes address 1, and answers there with the factor of address 1.
    EXPECT_EQ(toHex(Frame::build(3, bytes({1, 1}))), "5A 03 02 01 01 61");
    EXPECT_EQ(toHex(exchange(3, bytes({1, 1}), ms(100))), toHex(status(0x01, 0x05, 0x30, kRaw1)));
    EXPECT_EQ(exchange(3, bytes({0x60}), ms(200)), "");
    EXPECT_EQ(toHex(exchange(1, bytes({0x60}), ms(300))), toHex(status(0x01, 0x05, 0x30, kRaw1)));
    EXPECT_EQ(toHex(exchange(0x11, bytes({0x60}), ms(400))).substr(0, 5), "5A 01");
    ASSERT_EQ(rec.moves.size(), 1u);
    EXPECT_EQ(rec.moves[0], (std::array<int, 3>{3, 3, 1}));
    // An address outside 1..4 is not taken; neither is a change for all clocks at once.
    EXPECT_EQ(exchange(1, bytes({1, 9}), ms(500)), "");
    exchange(0, bytes({1, 2}), ms(600));
    EXPECT_EQ(bus->view(ms(700))[0].address, 1);
    EXPECT_EQ(rec.moves.size(), 1u);
}

ByteString block(int counter, uint8_t fill)
{
    return static_cast<char>(counter) + ByteString(64, static_cast<char>(fill));
}

TEST_F(SimBus, BootExchangeAcknowledgesBlocksChecksTheCounterAndReports)
{
    make(options({1, 2}));
    EXPECT_EQ(exchange(1, bytes({4}), 0), "");                   // no reply to the boot command
    EXPECT_EQ(exchange(1, bytes({0x60}), ms(100)), "");          // the boot loader does not poll
    EXPECT_EQ(exchange(2, bytes({0x60}), ms(150)).size(), 8u);   // the other clock runs on
    EXPECT_EQ(exchange(101, block(0, 0x11), ms(200)), "!");
    EXPECT_EQ(exchange(101, block(1, 0x22), ms(300)), "!");
    EXPECT_EQ(exchange(101, block(1, 0x22), ms(400)), "!");      // a resend: kept once
    EXPECT_EQ(exchange(101, block(3, 0x33), ms(500)), "");       // skipped a counter: refused
    EXPECT_EQ(exchange(101, block(1, 0x22).substr(0, 10), ms(600)), "");  // not 65 bytes
    ByteString last = block(2, 0x44);
    std::fill(last.begin() + 33, last.end(), '\xFF');
    EXPECT_EQ(exchange(101, last, ms(700)), "!");
    EXPECT_EQ(exchange(102, ByteString("K"), ms(800)), "");
    ASSERT_EQ(rec.boots.size(), 1u);
    const BootReport& r = rec.boots[0];
    EXPECT_EQ(r.status, "complete");
    EXPECT_EQ(r.clock, 1);
    EXPECT_EQ(r.blocks, 3);
    EXPECT_EQ(r.image, ByteString(64, '\x11') + ByteString(64, '\x22') + ByteString(32, '\x44') + ByteString(32, '\xFF'));
    EXPECT_EQ(r.unpaddedSize, 160u);
    EXPECT_EQ(r.duplicates, 1);
    EXPECT_EQ(r.sequenceErrors, 1);
    EXPECT_EQ(r.firstSequenceError, "expected 2, got 3");
    const std::string line = reportLine(r);
    EXPECT_NE(line.find("boot clock=1 address=1 status=complete blocks=3 size=192 "), std::string::npos) << line;
    EXPECT_NE(line.find(" sequence=error "), std::string::npos);
    EXPECT_NE(line.find(" data=1111"), std::string::npos);
    // Back to normal operation.
    EXPECT_EQ(exchange(1, bytes({0x60}), ms(900)).size(), 8u);
    EXPECT_EQ(exchange(101, block(0, 0), ms(1000)), "");
}

TEST_F(SimBus, ImageChecksCountEveryByte)
{
    make(options({1}));
    exchange(1, bytes({4}), 0);
    ByteString data = block(0, 0);
    for (int i = 0; i < 64; ++i)
        data[1 + i] = static_cast<char>(i * 7 + 1);
    data[64] = '\xFF';
    exchange(101, data, ms(100));
    exchange(102, ByteString("K"), ms(200));
    ASSERT_EQ(rec.boots.size(), 1u);
    uint8_t all = 0, unpadded = 0;
    for (int i = 0; i < 64; ++i) {
        all ^= static_cast<uint8_t>(data[1 + i]);
        if (i < 63)
            unpadded ^= static_cast<uint8_t>(data[1 + i]);
    }
    EXPECT_EQ(rec.boots[0].xorCheck, all);
    EXPECT_EQ(rec.boots[0].unpaddedSize, 63u);
    EXPECT_EQ(rec.boots[0].unpaddedXor, unpadded);
}

TEST_F(SimBus, BlockCounterWrapsAt256)
{
    make(options({2}));
    exchange(0x22, bytes({4}), 0);  // the boot command in real-time form
    std::string acks;
    for (int i = 0; i < 258; ++i)
        acks += exchange(101, block(i & 255, static_cast<uint8_t>(i)), ms(100.0 * (i + 1)));
    EXPECT_EQ(acks, std::string(258, '!'));
    exchange(102, ByteString("K"), ms(100.0 * 260));
    ASSERT_EQ(rec.boots.size(), 1u);
    EXPECT_EQ(rec.boots[0].blocks, 258);
    EXPECT_EQ(rec.boots[0].sequenceErrors, 0);
    EXPECT_EQ(rec.boots[0].clock, 2);
}

TEST_F(SimBus, BootLoaderGivesUpAfterItsTimeout)
{
    BusOptions o = options({1});
    o.bootTimeout = ms(5000);
    make(o);
    exchange(1, bytes({4}), 0);
    exchange(101, block(0, 1), ms(1000));
    EXPECT_EQ(bus->nextDue().value_or(-1), ms(6000));
    EXPECT_TRUE(rec.boots.empty());
    drain(ms(6000));
    ASSERT_EQ(rec.boots.size(), 1u);
    EXPECT_EQ(rec.boots[0].status, "timeout");
    EXPECT_EQ(rec.boots[0].blocks, 1);
    EXPECT_EQ(exchange(1, bytes({0x60}), ms(6100)).size(), 8u);
}

TEST_F(SimBus, WithheldAcknowledgementIsGivenOnTheResend)
{
    BusOptions o = options({1});
    o.faults.withheldAcks = {1, 2, 2};
    make(o);
    exchange(1, bytes({4}), 0);
    std::string acks;
    // Block 1 is withheld once and block 2 twice: each resend of them is kept only once.
    const std::vector<std::pair<int, std::string>> steps = {{0, "!"}, {1, ""}, {1, "!"}, {2, ""},
                                                            {2, ""}, {2, "!"}, {3, "!"}};
    Micros t = 0;
    for (const auto& [counter, ack] : steps)
        EXPECT_EQ(exchange(101, block(counter, static_cast<uint8_t>(counter)), t += ms(1000)), ack) << counter;
    exchange(102, ByteString("K"), ms(9000));
    ASSERT_EQ(rec.boots.size(), 1u);
    EXPECT_EQ(rec.boots[0].blocks, 4);
    EXPECT_EQ(rec.boots[0].withheld, 3);
    EXPECT_EQ(rec.boots[0].duplicates, 3);
    EXPECT_EQ(rec.boots[0].image.size(), 256u);
}

TEST_F(SimBus, ParserIgnoresBadFramesAndResynchronises)
{
    make(options({1, 3}));
    const ByteString poll1 = Frame::build(1, bytes({0x60}));
    ByteString badSum = poll1;
    badSum.back() = static_cast<char>(badSum.back() + 1);
    const ByteString reply1 = status(0x01, 0, 0, kRaw1);

    struct Case {
        const char* name;
        std::vector<ByteString> chunks;  // fed 1 ms apart
        ByteString expected;
    };
    const std::vector<Case> cases = {
        {"bad checksum is ignored", {badSum}, ""},
        {"unknown address is ignored", {Frame::build(2, bytes({0x60}))}, ""},
        {"address 5 is ignored", {Frame::build(5, bytes({0x60}))}, ""},
        {"unknown command is ignored", {Frame::build(1, bytes({0x05}))}, ""},
        {"garbage in front is skipped", {bytes({0x00, 0x13, 0xFF}) + poll1}, reply1},
        {"a stray start byte in front does not hide the frame", {bytes({0x5A}) + poll1}, reply1},
        {"a bad frame then a good one in one chunk", {badSum + poll1}, reply1},
        {"a frame split into single bytes",
         {poll1.substr(0, 1), poll1.substr(1, 1), poll1.substr(2, 1), poll1.substr(3, 1), poll1.substr(4)}, reply1},
        {"two frames in one chunk are both answered", {poll1 + Frame::build(3, bytes({0x60}))},
         reply1 + status(0x03, 0, 0, kRaw)},
        {"long frames are accepted", {Frame::build(3, ByteString(252, '\x5A')) + poll1}, reply1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        make(options({1, 3}));
        Micros t = 0;
        for (const ByteString& chunk : c.chunks)
            bus->receive(chunk, t += ms(1));
        EXPECT_EQ(toHex(drain(t + ms(500))), toHex(c.expected));
    }
}

TEST_F(SimBus, PartialFrameIsDroppedAfterAPause)
{
    make(options({1}));
    // A stray start byte announcing 200 data bytes would swallow the next polls; the pause
    // before the next poll ends it.
    bus->receive(bytes({0x5A, 0x01, 200, 1, 2}), 0);
    EXPECT_EQ(drain(ms(100)), "");
    EXPECT_EQ(exchange(1, bytes({0x60}), ms(100)).size(), 8u);
    EXPECT_EQ(rec.meanings.front(), "incomplete frame dropped after a pause");
}

TEST_F(SimBus, FaultsChangeTheRepliesAsAsked)
{
    const ByteString poll = bytes({0x60});
    const ByteString expected = status(0x02, 0, 0, kRaw);
    const auto run = [&](FaultOptions f) {
        BusOptions o = options({2});
        o.faults = f;
        o.seed = 3;
        make(o);
        bus->receive(Frame::build(2, poll), ms(1000));
        return bus->takeDue(ms(2000));
    };
    {
        FaultOptions f;
        f.dropShare = 1;
        EXPECT_TRUE(run(f).empty());
    }
    {
        FaultOptions f;
        f.corruptShare = 1;
        const auto out = run(f);
        ASSERT_EQ(out.size(), 1u);
        ByteString bad = expected;
        bad.back() = static_cast<char>(bad.back() + 1);
        EXPECT_EQ(toHex(out[0].bytes), toHex(bad));
    }
    {
        FaultOptions f;
        f.splitShare = 1;
        const auto out = run(f);
        ASSERT_GE(out.size(), 2u);
        ASSERT_LE(out.size(), 3u);
        ByteString joined;
        for (size_t i = 0; i < out.size(); ++i) {
            joined += out[i].bytes;
            if (i) {
                EXPECT_GE(out[i].due - out[i - 1].due, ms(2));
            }
        }
        EXPECT_EQ(toHex(joined), toHex(expected));
    }
    {
        FaultOptions f;
        f.garbageShare = 1;
        const auto out = run(f);
        ASSERT_EQ(out.size(), 1u);
        const ByteString& b = out[0].bytes;
        ASSERT_GT(b.size(), expected.size());
        ASSERT_LE(b.size(), expected.size() + 4);
        const ByteString junk = b.substr(0, b.size() - expected.size());
        EXPECT_EQ(junk.find('\x5A'), ByteString::npos);
        EXPECT_EQ(toHex(b.substr(junk.size())), toHex(expected));
    }
    {
        FaultOptions f;
        f.extraDelay = ms(40);
        const auto out = run(f);
        ASSERT_EQ(out.size(), 1u);
        EXPECT_EQ(out[0].due, ms(1000 + 3 + 40));
    }
    {
        FaultOptions f;
        f.wireTime = true;
        const auto out = run(f);
        ASSERT_EQ(out.size(), 8u);
        // The poll's 5 bytes cross the wire first, then the latency, then one byte every 520.8 µs.
        EXPECT_EQ(out[0].due, ms(1000) + wireTime(5) + ms(3));
        for (size_t i = 1; i < out.size(); ++i) {
            EXPECT_EQ(out[i].bytes.size(), 1u);
            EXPECT_EQ(out[i].due - out[0].due, wireTime(i));
        }
        EXPECT_EQ(out[7].due - out[0].due, 3645);  // 7 * 520.83 µs
    }
}

TEST_F(SimBus, WireTimeKeepsRepliesFromOverlapping)
{
    BusOptions o = options({1, 2});
    o.faults.wireTime = true;
    make(o);
    bus->receive(Frame::build(1, bytes({0x60})) + Frame::build(2, bytes({0x60})), 0);
    const auto out = bus->takeDue(ms(100));
    ASSERT_EQ(out.size(), 16u);
    for (size_t i = 1; i < out.size(); ++i)
        EXPECT_GE(out[i].due - out[i - 1].due, wireTime(1) - 1);
}

TEST_F(SimBus, MutedClocksStopAnswering)
{
    BusOptions o = options({1, 2});
    o.clocks[1].muteAfter = ms(1500);
    make(o);
    EXPECT_EQ(exchange(2, bytes({0x60}), ms(1000)).size(), 8u);
    EXPECT_EQ(exchange(2, bytes({0x60}), ms(1600)), "");
    EXPECT_EQ(exchange(1, bytes({0x60}), ms(1700)).size(), 8u);
    bus->setMuted(1, true);
    EXPECT_EQ(exchange(1, bytes({0x60}), ms(1800)), "");
    EXPECT_TRUE(bus->view(ms(1800))[0].muted);
    bus->setMuted(1, false);
    EXPECT_EQ(exchange(1, bytes({0x60}), ms(1900)).size(), 8u);
}

TEST_F(SimBus, ArbitraryBytesNeverBreakTheBus)
{
    BusOptions o = options();
    o.faults.withheldAcks = {0};
    make(o);
    std::mt19937 rng(12345);
    Micros t = 0;
    int replies = 0;
    const ByteString valid[] = {Frame::build(1, bytes({0x60})), Frame::build(0x22, bytes({0xE8})),
                                Frame::build(3, bytes({4})), Frame::build(101, block(0, 0x5A)),
                                Frame::build(102, ByteString("K")), Frame::build(4, bytes({1, 3})),
                                Frame::build(0xFF, ByteString("999999"))};
    for (int i = 0; i < 20000; ++i) {
        ByteString chunk;
        const int len = std::uniform_int_distribution<int>(1, 40)(rng);
        for (int k = 0; k < len; ++k)
            chunk += static_cast<char>(std::uniform_int_distribution<int>(0, 255)(rng));
        if (i % 7 == 0)
            chunk += valid[static_cast<size_t>(i / 7) % std::size(valid)];
        t += std::uniform_int_distribution<int>(0, 80)(rng) * kMilli;
        bus->receive(chunk, t);
        for (const Transmission& out : bus->takeDue(t)) {
            // Every answer is an acknowledgement or a well-formed status reply.
            ++replies;
            if (out.bytes == "!")
                continue;
            ASSERT_EQ(out.bytes.size(), 8u) << toHex(out.bytes);
            EXPECT_EQ(byteAt(out.bytes, 0), 0x5A);
            EXPECT_EQ(byteAt(out.bytes, 2), 4);
            EXPECT_EQ(Frame::checksum(out.bytes.substr(0, 7)), byteAt(out.bytes, 7));
            EXPECT_GE(byteAt(out.bytes, 1) & 0x3F, 1);
            EXPECT_LE(byteAt(out.bytes, 1) & 0x3F, 4);
        }
    }
    EXPECT_GT(replies, 500);
    // Still a working bus afterwards: after a pause, every clock on its address answers.
    t += kSecond * 20;
    drain(t);
    int answered = 0;
    for (const ClockView& v : bus->view(t))
        answered += exchange(static_cast<uint8_t>(v.address), bytes({0x60}), t += ms(100)).size() == 8u;
    EXPECT_GE(answered, 1);
}

} // namespace
