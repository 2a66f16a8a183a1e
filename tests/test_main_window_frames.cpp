// needs: qt
// SendFrame as the bus sees it: the bytes on the wire, the real-time offset and the reply
// accounting on the link gauges.
#include "tests/test_main_window_fixture.h"

#include "link/Frame.h"

namespace {

struct WireCase {
    const char* what;
    uint8_t address;
    const char* data;
    int rtcClock;   // clock put into RTC mode first, 0 for none
    const char* wire;
};

const WireCase WireCases[] = {
    {"poll of clock 1, stopwatch", 0x01, "60", 0, "5A 01 01 60 BC"},
    {"poll of clock 1 in RTC mode", 0x01, "E8", 1, "5A 11 01 E8 54"},
    {"start, all clocks", 0x00, "01", 0, "5A 00 01 01 5C"},
    {"stop, clock 2", 0x02, "02", 0, "5A 02 01 02 5F"},
    {"set clock 3 to 05:30", 0x03, "03 05 30", 0, "5A 03 03 03 05 30 98"},
    {"set all clocks to 10:00", 0x00, "03 10 00", 0, "5A 00 03 03 10 00 70"},
    {"empty data to clock 1", 0x01, "", 0, "5A 01 00 5B"},
    {"address change of clock 2 in RTC mode", 0x02, "01 03", 2, "5A 22 02 01 03 82"},
    {"stop, clock 3 in RTC mode", 0x03, "02", 3, "5A 33 01 02 90"},
    {"firmware block address passes unchanged", 101, "07", 0, "5A 65 01 07 C7"},
    {"broadcast address passes unchanged", 0xFF, "31 32 33 34 35 36", 0, "5A FF 06 31 32 33 34 35 36 94"},
};

} // namespace

TEST_F(ConnectedWindowTest, WireVectors)
{
    for (const WireCase& c : WireCases) {
        SCOPED_TRACE(c.what);
        for (int n = 1; n <= 4; ++n)
            form->Link.RtcMode[n] = n == c.rtcClock ? 1 : 0;
        form->Link.RxPayload = "left over";
        const ByteString expected = fromHex(c.wire);
        form->SendFrame(c.address, fromHex(c.data));
        EXPECT_EQ(toHex(sent(expected.size())), c.wire);
        EXPECT_EQ(toHex(form->Link.TxFrame), c.wire);
        EXPECT_TRUE(form->Link.RxPayload.empty());
    }
}

TEST_F(ConnectedWindowTest, BroadcastToAllClocksTouchesNoAccounting)
{
    for (int n = 1; n <= 4; ++n) {
        form->Link.RtcMode[n] = 1;
        form->Link.ReplySeen[n] = 1;
        form->Clocks[n].bar->SetProgress(50);
    }
    const QColor neutral = form->Clocks[1].bar->Color();
    form->SendFrame(0x00, fromHex("01"));
    EXPECT_EQ(toHex(sent(5)), "5A 00 01 01 5C");
    for (int n = 1; n <= 4; ++n) {
        EXPECT_EQ(form->Link.ReplySeen[n], 1);
        EXPECT_EQ(form->Clocks[n].bar->Progress(), 50);
        EXPECT_EQ(form->Clocks[n].bar->Color(), neutral);
    }
    EXPECT_NE(neutral, NamedColor::clRed);
}

TEST_F(ConnectedWindowTest, UnansweredFramesRedAndLowerTheGauge)
{
    LinkGauge* bar = form->Clocks[2].bar;
    ASSERT_EQ(bar->Progress(), 0);
    ASSERT_NE(bar->Color(), NamedColor::clRed);

    // The first frame after start-up counts as unanswered, but the gauge stays at 0.
    form->SendFrame(0x02, fromHex("60"));
    EXPECT_EQ(bar->Color(), NamedColor::clRed);
    EXPECT_EQ(bar->Progress(), 0);
    form->SendFrame(0x02, fromHex("60"));
    EXPECT_EQ(bar->Progress(), 0);

    bar->SetProgress(10);
    form->Link.ReplySeen[2] = 1;       // answered: no change, and the flag is used up
    form->SendFrame(0x02, fromHex("60"));
    EXPECT_EQ(bar->Progress(), 10);
    EXPECT_EQ(form->Link.ReplySeen[2], 0);
    form->SendFrame(0x02, fromHex("60")); // two frames without a reply between: one lower
    EXPECT_EQ(bar->Progress(), 9);
    EXPECT_EQ(bar->Color(), NamedColor::clRed);   // never set back

    // Other clocks are untouched.
    EXPECT_NE(form->Clocks[1].bar->Color(), NamedColor::clRed);
    sent(4 * 5);
}

TEST_F(WindowTest, SendFrameOnAClosedPortRaisesAfterTheAccounting)
{
    TForm1& w = createWindow();
    w.Link.RxPayload = "x";
    EXPECT_THROW(w.SendFrame(0x01, fromHex("60")), EComPort);
    EXPECT_EQ(toHex(w.Link.TxFrame), "5A 01 01 60 BC");
    EXPECT_TRUE(w.Link.RxPayload.empty());
    EXPECT_EQ(w.Clocks[1].bar->Color(), NamedColor::clRed);
}
