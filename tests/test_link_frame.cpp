// Frame codec and reply accounting: the bytes as they appear on the wire.
#include <gtest/gtest.h>

#include "base/Exceptions.h"
#include "link/Frame.h"

namespace {

struct WireCase {
    const char* name;
    uint8_t address;
    const char* data;
    const char* wire;
};

const WireCase wireCases[] = {
    {"poll clock 1 stopwatch 0x60", 0x01, "60", "5A 01 01 60 BC"},
    {"poll clock 1 rtc 0xE8", 0x11, "E8", "5A 11 01 E8 54"},
    {"start all clocks", 0x00, "01", "5A 00 01 01 5C"},
    {"stop clock 2", 0x02, "02", "5A 02 01 02 5F"},
    {"set clock 3 05:30", 0x03, "03 05 30", "5A 03 03 03 05 30 98"},
    {"set all 10:00", 0x00, "03 10 00", "5A 00 03 03 10 00 70"},
    {"broadcast 12:34:56", 0xFF, "31 32 33 34 35 36", "5A FF 06 31 32 33 34 35 36 94"},
    {"empty data clock 1", 0x01, "", "5A 01 00 5B"},
    {"boot command clock 1", 0x01, "04", "5A 01 01 04 60"},
    {"closing frame", 102, "4B", "5A 66 01 4B 0C"},
    {"address change 3 to 1", 0x03, "01 01", "5A 03 02 01 01 61"},
};

TEST(FrameCodec, WireVectors)
{
    for (const auto& c : wireCases)
        EXPECT_EQ(toHex(Frame::build(c.address, fromHex(c.data))), c.wire) << c.name;
}

TEST(FrameCodec, BroadcastTakesDigitsAndSkipsSeparators)
{
    EXPECT_EQ(toHex(Frame::broadcast("12:34:56")), "5A FF 06 31 32 33 34 35 36 94");
    EXPECT_EQ(toHex(Frame::broadcast("09:05:08")), "5A FF 06 30 39 30 35 30 38 95");
    EXPECT_EQ(Frame::broadcast("09.05.08"), Frame::broadcast("09:05:08"));
}

TEST(FrameCodec, ChecksumWrapsAndCoversTheWholeFrame)
{
    // 65 data bytes of 0xFF: the sum wraps many times over.
    const ByteString block = ByteString(1, '\x07') + ByteString(64, '\xFF');
    const ByteString frame = Frame::build(101, block);
    ASSERT_EQ(frame.size(), 69u);
    EXPECT_EQ(byteAt(frame, 2), 65);
    unsigned sum = 0;
    for (size_t i = 0; i + 1 < frame.size(); ++i)
        sum += byteAt(frame, i);
    EXPECT_EQ(byteAt(frame, 68), sum % 256);
}

TEST(FrameCodec, HexRoundTripRejectsBadText)
{
    EXPECT_EQ(fromHex("5a01ff"), ByteString("\x5A\x01\xFF", 3));
    EXPECT_THROW(fromHex("5A 0"), std::invalid_argument);
    EXPECT_THROW(fromHex("zz"), std::invalid_argument);
}

TEST(ReplyAccounting, FirstFrameCountsAsMissedThenAlternates)
{
    LinkState link;
    auto a = accountFrame(link, 1);
    EXPECT_EQ(a.clock, 1);
    EXPECT_TRUE(a.missed);
    link.ReplySeen[1] = 1;           // a reply was decoded
    a = accountFrame(link, 1);
    EXPECT_FALSE(a.missed);
    EXPECT_EQ(link.ReplySeen[1], 0);
    a = accountFrame(link, 1);       // no reply in between
    EXPECT_TRUE(a.missed);
}

TEST(ReplyAccounting, RtcOffsetOnlyForClocksOneToFour)
{
    LinkState link;
    link.RtcMode = {0, 1, 1, 1, 1};
    const uint8_t expected[] = {0, 0x11, 0x22, 0x33, 0x44};
    for (int n = 1; n <= 4; ++n)
        EXPECT_EQ(accountFrame(link, static_cast<uint8_t>(n)).address, expected[n]) << n;

    for (uint8_t other : {uint8_t(0x00), uint8_t(0xFF), uint8_t(101), uint8_t(102), uint8_t(5)}) {
        link.ReplySeen = {0, 1, 1, 1, 1};
        const auto a = accountFrame(link, other);
        EXPECT_EQ(a.clock, 0);
        EXPECT_EQ(a.address, other);
        EXPECT_EQ(link.ReplySeen, (std::array<uint8_t, 5>{0, 1, 1, 1, 1})) << int(other);
    }
}

TEST(ReplyAccounting, OnlyTheValueOneSelectsTheOffset)
{
    LinkState link;
    link.RtcMode[2] = 2;
    EXPECT_EQ(accountFrame(link, 2).address, 2);
}

TEST(Conversion, StrToIntIsStrict)
{
    EXPECT_EQ(StrToInt("59"), 59);
    EXPECT_EQ(StrToInt("-7"), -7);
    for (const char* bad : {"", "a", "5a", " 5", "-", "99999999999"})
        EXPECT_THROW(StrToInt(bad), EConvertError) << bad;
}

} // namespace
