// Reply assembly and status decoding, fed chunk by chunk as the port delivers them.
#include <gtest/gtest.h>

#include <vector>

#include "link/Frame.h"
#include "link/Reply.h"

namespace {

struct Decoded {
    uint8_t address;
    ByteString data;
};

// Feeds chunks through the reception steps and the assembler, collecting decoded frames.
struct Receiver {
    LinkState link;
    std::vector<Decoded> decoded;
    std::vector<AssembleOutcome> outcomes;

    void feed(const std::string& hex)
    {
        noteReception(link, fromHex(hex));
        const auto report = assembleReply(link, [this](uint8_t a, const ByteString& d) { decoded.push_back({a, d}); });
        outcomes.push_back(report.outcome);
    }
};

const char* kReply = "5A 01 04 12 34 03 39 E1";

TEST(Assembler, WholeSplitAndGarbageFronted)
{
    struct Case {
        const char* name;
        std::vector<const char*> chunks;
        size_t frames;
    };
    const Case cases[] = {
        {"one chunk", {kReply}, 1},
        {"split after address", {"5A 01", "04 12 34 03 39 E1"}, 1},
        {"split byte by byte", {"5A", "01", "04", "12", "34", "03", "39", "E1"}, 1},
        {"garbage in front", {"00 11 22 5A 01 04 12 34 03 39 E1"}, 1},
        {"garbage without start byte", {"00 11 22 33"}, 0},
        {"garbage chunk then reply", {"01 02 03", kReply}, 1},
        {"stray 5A in front", {"5A 5A 01 04 12 34 03 39 E1"}, 0},
        {"two frames in one chunk", {"5A 01 04 12 34 03 39 E1 5A 01 04 12 34 03 39 E1"}, 1},
        {"bad checksum", {"5A 01 04 12 34 03 39 E2"}, 0},
        {"length 12 refused", {"5A 01 0C"}, 0},
    };
    for (const auto& c : cases) {
        Receiver r;
        for (const char* chunk : c.chunks)
            r.feed(chunk);
        EXPECT_EQ(r.decoded.size(), c.frames) << c.name;
        EXPECT_EQ(r.link.FrameStartFound, 0) << c.name;
        EXPECT_TRUE(r.link.RxBuffer.empty()) << c.name;
    }
}

TEST(Assembler, StrayStartByteIsTakenAsTheFrameStart)
{
    Receiver r;
    r.feed("5A 5A 01 04 12 34 03 39 E1");
    // Address 0x5A, length 1: the sum 0xB9 of the first four bytes is compared with 0x12.
    EXPECT_EQ(r.outcomes.back(), AssembleOutcome::BadChecksum);
}

TEST(Assembler, LengthElevenIsWaitedForAndTwelveDropsAtOnce)
{
    Receiver r;
    r.feed("5A 03 0B");
    EXPECT_EQ(r.outcomes.back(), AssembleOutcome::Waiting);
    EXPECT_EQ(r.link.FrameStartFound, 1);
    EXPECT_EQ(r.link.FrameStart, 1u);
    ByteString data(11, '\0');
    const ByteString frame = Frame::build(3, data);
    r.feed(toHex(frame.substr(3)));
    ASSERT_EQ(r.decoded.size(), 1u);
    EXPECT_EQ(r.decoded[0].data.size(), 11u);

    Receiver t;
    t.feed("5A 03 0C");
    EXPECT_EQ(t.outcomes.back(), AssembleOutcome::TooLong);
    EXPECT_TRUE(t.link.RxBuffer.empty());
}

TEST(Assembler, StartedFrameWaitsAcrossReceptionsAndNextReplyCompletesIt)
{
    Receiver r;
    r.feed("5A 01 04 12");       // a partial reply, the rest lost on the bus
    r.feed(kReply);              // the next reply's bytes complete the old frame
    EXPECT_TRUE(r.decoded.empty());
    EXPECT_EQ(r.outcomes.back(), AssembleOutcome::BadChecksum);
}

TEST(Assembler, ReportsDroppedBytesAroundTheFrame)
{
    LinkState link;
    noteReception(link, fromHex("01 02 5A 01 04 12 34 03 39 E1 77 88"));
    const auto report = assembleReply(link, nullptr);
    EXPECT_EQ(report.outcome, AssembleOutcome::Frame);
    EXPECT_EQ(report.leadingBytes, 2u);
    EXPECT_EQ(report.trailingBytes, 2u);
    EXPECT_EQ(toHex(report.frame), kReply);
    EXPECT_EQ(toHex(link.RxPayload), "12 34 03 39");
    EXPECT_EQ(link.RxAddress, 1);
}

TEST(Reception, LastCharOnlyForOneByteReceptions)
{
    LinkState link;
    noteReception(link, "!");
    EXPECT_EQ(link.RxLastChar, '!');
    noteReception(link, "!x");
    EXPECT_EQ(link.RxLastChar, '.');
    noteReception(link, "");
    EXPECT_EQ(link.RxLastChar, '.');
}

TEST(Decoder, StatusReplies)
{
    struct Case {
        const char* frame;
        int clock;
        const char* time;
        bool highlight;
        const char* volts;
        bool low;
        uint8_t negative;
    };
    const Case cases[] = {
        {"5A 01 04 12 34 03 39 E1", 1, "12:34", false, "12,28 V", false, 0},
        {"5A C2 04 05 30 02 00 57", 2, "-5:30", true, "7,26 V", true, 1},
        {"5A 41 04 15 00 03 39 00", 1, "-5:00", false, "12,28 V", false, 1},
        {"5A 03 04 1A 00 00 00 00", 3, "110:00", false, "0,00 V", true, 0},
    };
    for (const auto& c : cases) {
        LinkState link;
        const ByteString f = fromHex(c.frame);
        const auto d = decodeStatus(link, byteAt(f, 1), f.substr(3, 4));
        ASSERT_TRUE(d.has_value()) << c.frame;
        EXPECT_EQ(d->clock, c.clock) << c.frame;
        EXPECT_EQ(d->timeText, c.time) << c.frame;
        EXPECT_EQ(d->highlight, c.highlight) << c.frame;
        EXPECT_EQ(d->voltageText, c.volts) << c.frame;
        EXPECT_EQ(d->voltageLow, c.low) << c.frame;
        EXPECT_EQ(link.NegativeTime, c.negative) << c.frame;
        EXPECT_EQ(link.ReplySeen[c.clock], 1) << c.frame;
    }
}

TEST(Decoder, VoltageThresholdsPerClockFactor)
{
    struct Case {
        int clock;
        unsigned raw;
        uint32_t value;
        bool low;
    };
    const Case cases[] = {
        {1, 672, 1000, true}, {1, 673, 1002, false}, {2, 705, 999, true}, {4, 706, 1001, false},
        {1, 825, 1228, false}, {3, 512, 726, true}, {1, 65535, 97581, false},
    };
    for (const auto& c : cases) {
        LinkState link;
        ByteString data = fromHex("00 00");
        data += static_cast<char>(c.raw >> 8);
        data += static_cast<char>(c.raw & 0xFF);
        const auto d = decodeStatus(link, static_cast<uint8_t>(c.clock), data);
        ASSERT_TRUE(d);
        EXPECT_EQ(d->voltage, c.value) << c.clock << " raw " << c.raw;
        EXPECT_EQ(d->voltageLow, c.low) << c.clock << " raw " << c.raw;
    }
}

TEST(Decoder, VoltageTextForms)
{
    const std::pair<uint32_t, const char*> cases[] = {
        {726, "7,26 V"}, {1228, "12,28 V"}, {12345, "12,34 V"}, {100, "1,00 V"},
        {95, "0,95 V"}, {7, "0,07 V"}, {0, "0,00 V"},
    };
    for (const auto& [value, text] : cases)
        EXPECT_EQ(voltageText(value), text) << value;
}

TEST(Decoder, OtherClockNumbersAndShortDataChangeNothing)
{
    for (uint8_t address : {uint8_t(0), uint8_t(5), uint8_t(63), uint8_t(0x80 | 0x40 | 7)}) {
        LinkState link;
        EXPECT_FALSE(decodeStatus(link, address, fromHex("12 34 03 39"))) << int(address);
        EXPECT_EQ(link.ReplySeen, (std::array<uint8_t, 5>{})) << int(address);
    }
    LinkState link;
    link.NegativeTime = 1;
    EXPECT_FALSE(decodeStatus(link, 0x01, fromHex("12 34 03")));
    EXPECT_EQ(link.NegativeTime, 1);
    EXPECT_EQ(link.ReplySeen[1], 0);
}

} // namespace
