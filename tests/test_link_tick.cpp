// The tick's choice of frame, with a recording host in place of the window and the port.
#include <gtest/gtest.h>

#include <vector>

#include "base/Exceptions.h"
#include "link/Frame.h"
#include "link/Tick.h"

namespace {

struct RecordingHost : TickHost {
    LinkState* link = nullptr;
    std::array<ClockInputs, 5> clocks{};
    int target = 0;
    std::string minutes = "00", seconds = "00", now = "12:34:56";
    std::vector<ByteString> wire;   // frames as SendFrame or the broadcast would write them
    int serviced = 0;

    void serviceMessages() override { ++serviced; }
    void sendFrame(uint8_t address, const ByteString& data) override
    {
        const auto a = accountFrame(*link, address);
        wire.push_back(Frame::build(a.address, data));
    }
    void writePort(const ByteString& frame) override { wire.push_back(frame); }
    ClockInputs clockInputs(int clock) override { return clocks[clock]; }
    int commandTarget() override { return target; }
    std::string minutesText() override { return minutes; }
    std::string secondsText() override { return seconds; }
    std::string localTimeOfDay() override { return now; }
};

struct TickTest : ::testing::Test {
    LinkState link;
    RecordingHost host;
    void SetUp() override
    {
        host.link = &link;
        for (int n = 1; n <= 4; ++n)
            host.clocks[n] = ClockInputs{true, false, false, 3};
        link.LinkActive = 1;
    }
    std::string tick()
    {
        host.wire.clear();
        runTick(link, host);
        return host.wire.empty() ? "" : toHex(host.wire.back());
    }
};

TEST_F(TickTest, PausedTicksOnlyCountTimeoutDown)
{
    link.LinkActive = 0;
    link.TimeoutTicks = 2;
    EXPECT_EQ(tick(), "");
    EXPECT_EQ(tick(), "");
    EXPECT_EQ(tick(), "");
    EXPECT_EQ(link.TimeoutTicks, 0);
    EXPECT_EQ(link.BroadcastTick, 0);
    EXPECT_EQ(link.PollIndex, 0);
    EXPECT_EQ(host.serviced, 3);
}

TEST_F(TickTest, PollBytesFromPanelSettings)
{
    struct Case {
        ClockInputs in;
        bool reset;
        uint8_t byte;
    };
    const Case cases[] = {
        {{true, true, false, 2}, true, 0xD0}, {{true, true, false, 2}, false, 0xC0},
        {{true, false, false, 0}, false, 0x00}, {{true, false, false, 3}, false, 0x60},
        {{true, true, true, 1}, false, 0xA8}, {{true, false, false, 7}, false, 0x00},
        {{true, false, false, -1}, true, 0x10},
    };
    for (const auto& c : cases)
        EXPECT_EQ(pollByte(c.in, c.reset), c.byte);
}

TEST_F(TickTest, ResetRequestGoesOutOnceWithTheNextPoll)
{
    host.clocks = {};
    host.clocks[1] = ClockInputs{true, true, false, 2};
    link.ResetRequest[1] = 1;
    EXPECT_EQ(tick(), toHex(Frame::build(1, "\xD0")));
    EXPECT_EQ(link.ResetRequest[1], 0);
    tick();   // clocks 2..4 inactive: a pass ending in clock 4 sends nothing
    EXPECT_EQ(tick(), toHex(Frame::build(1, "\xC0")));
}

TEST_F(TickTest, PollOrderSkipsInactiveClocks)
{
    host.clocks[2].active = false;
    host.clocks[4].active = false;
    std::vector<std::string> seen;
    for (int i = 0; i < 6; ++i)
        seen.push_back(tick());
    const std::string c1 = toHex(Frame::build(1, "\x60")), c3 = toHex(Frame::build(3, "\x60"));
    EXPECT_EQ(seen, (std::vector<std::string>{c1, c3, "", c1, c3, ""}));

    for (auto& c : host.clocks)
        c.active = false;
    EXPECT_EQ(tick(), "");
    EXPECT_EQ(tick(), "");
}

TEST_F(TickTest, AllFourPolledInTurn)
{
    for (int n = 1; n <= 4; ++n)
        EXPECT_EQ(tick(), toHex(Frame::build(static_cast<uint8_t>(n), "\x60")));
    EXPECT_EQ(tick(), toHex(Frame::build(1, "\x60")));
}

TEST_F(TickTest, BroadcastOnSixtiethTickAndCommandOnTheNext)
{
    host.now = "09:05:08";
    for (int i = 1; i < 59; ++i)
        tick();
    link.PendingCommand = 1;
    EXPECT_EQ(tick(), "5A 00 01 01 5C");                          // tick 59: the command
    link.PendingCommand = 2;
    EXPECT_EQ(tick(), "5A FF 06 30 39 30 35 30 38 95");           // tick 60: broadcast first
    EXPECT_EQ(link.PendingCommand, 2);
    EXPECT_EQ(tick(), "5A 00 01 02 5D");                          // tick 61: the command
    EXPECT_EQ(link.PendingCommand, 0);
    EXPECT_EQ(link.BroadcastTick, 1);
}

TEST_F(TickTest, BroadcastGoesOutWithNoActiveClockAndNoAccounting)
{
    for (auto& c : host.clocks)
        c.active = false;
    link.BroadcastTick = 59;
    link.RtcMode = {0, 1, 1, 1, 1};
    EXPECT_EQ(tick(), "5A FF 06 31 32 33 34 35 36 94");
    EXPECT_EQ(link.TxFrame, fromHex("5A FF 06 31 32 33 34 35 36 94"));
}

TEST_F(TickTest, CommandsToTargetsWithRtcOffset)
{
    link.PendingCommand = 1;
    EXPECT_EQ(tick(), "5A 00 01 01 5C");
    host.target = 3;
    link.RtcMode[3] = 1;
    link.PendingCommand = 2;
    EXPECT_EQ(tick(), "5A 33 01 02 90");
    host.target = 3;
    link.RtcMode[3] = 0;
    host.minutes = "05";
    host.seconds = "30";
    link.PendingCommand = 3;
    EXPECT_EQ(tick(), "5A 03 03 03 05 30 98");
    host.target = 0;
    host.minutes = "60";
    host.seconds = "00";
    link.PendingCommand = 3;
    EXPECT_EQ(tick(), toHex(Frame::build(0, fromHex("03 60 00"))));
}

TEST_F(TickTest, UnknownCommandSendsNothingButIsCleared)
{
    link.PendingCommand = 9;
    EXPECT_EQ(tick(), "");
    EXPECT_EQ(link.PendingCommand, 0);
}

TEST_F(TickTest, ShortFieldsArePaddedAndNonDigitsThrowLeavingCommandPending)
{
    EXPECT_EQ(fieldToBcd("7"), 0x07);
    EXPECT_EQ(fieldToBcd(""), 0x00);
    EXPECT_EQ(fieldToBcd("99"), 0x99);
    host.minutes = "1a";
    link.PendingCommand = 3;
    EXPECT_THROW(runTick(link, host), EConvertError);
    EXPECT_EQ(link.PendingCommand, 3);
    host.minutes = "10";
    EXPECT_EQ(tick(), "5A 00 03 03 10 00 70");
}

TEST_F(TickTest, CountersSurvivePauses)
{
    tick();
    tick();
    link.LinkActive = 0;
    tick();
    link.LinkActive = 1;
    EXPECT_EQ(link.PollIndex, 2);
    EXPECT_EQ(link.BroadcastTick, 2);
    EXPECT_EQ(tick(), toHex(Frame::build(3, "\x60")));
}

} // namespace
