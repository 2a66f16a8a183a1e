// needs: qt
// Replies arriving through the port: assembly over chunks, rejected frames, and what the decoder
// puts into the clock panels.
#include "tests/test_main_window_fixture.h"

#include <QLabel>
#include <QStatusBar>

#include "link/Frame.h"

class ReceptionTest : public ConnectedWindowTest {
protected:
    // Writes bytes as the bus would and waits until the window has taken them in.
    void receive(const char* hex)
    {
        form->Link.RxLastChar = 0;
        bus->write(fromHex(hex));
        ASSERT_TRUE(waitFor([&] { return form->Link.RxLastChar != 0; })) << hex;
        QTest::qWait(20);   // anything else the chunk brought
    }

    // A status reply built with its checksum.
    static std::string reply(uint8_t address, uint8_t left, uint8_t right, uint16_t raw)
    {
        ByteString data;
        data += static_cast<char>(left);
        data += static_cast<char>(right);
        data += static_cast<char>(raw >> 8);
        data += static_cast<char>(raw & 0xFF);
        return toHex(Frame::build(address, data));
    }

    QString timeOf(int n) const { return form->Clocks[n].czas->text(); }
    QString voltageOf(int n) const { return form->Clocks[n].uzas->text(); }
};

TEST_F(ReceptionTest, AStatusReplyFillsThePanel)
{
    receive("5A 01 04 12 34 03 39 E1");
    ClockPanel& c = form->Clocks[1];
    EXPECT_EQ(timeOf(1), QStringLiteral("12:34"));
    EXPECT_EQ(BackColor(c.czas), NamedColor::clBtnFace());
    EXPECT_EQ(voltageOf(1), QStringLiteral("12,28 V"));
    EXPECT_EQ(FontColor(c.uzas), NamedColor::clWindowText());
    EXPECT_EQ(form->Link.ReplySeen[1], 1);
    EXPECT_EQ(c.bar->Progress(), 1);
    EXPECT_TRUE(form->Link.RxBuffer.empty());
    EXPECT_EQ(form->Link.FrameStartFound, 0);
    EXPECT_EQ(toHex(form->Link.RxPayload), "12 34 03 39");
    EXPECT_EQ(form->Link.RxAddress, 0x01);
}

TEST_F(ReceptionTest, HighlightAndNegativeTime)
{
    receive("5A C2 04 05 30 02 00 57");
    ClockPanel& c = form->Clocks[2];
    EXPECT_EQ(timeOf(2), QStringLiteral("-5:30"));
    EXPECT_EQ(BackColor(c.czas), NamedColor::clRed);
    EXPECT_EQ(voltageOf(2), QStringLiteral("7,26 V"));
    EXPECT_EQ(FontColor(c.uzas), NamedColor::clRed);
    EXPECT_EQ(form->Link.NegativeTime, 1);

    // The next plain reply puts the field back on the button face.
    receive(reply(0x02, 0x00, 0x07, 800).c_str());
    EXPECT_EQ(timeOf(2), QStringLiteral("00:07"));
    EXPECT_EQ(BackColor(c.czas), NamedColor::clBtnFace());
    EXPECT_EQ(form->Link.NegativeTime, 0);
}

TEST_F(ReceptionTest, AFrameSplitOverTwoChunks)
{
    receive("5A 01");
    EXPECT_EQ(form->Link.FrameStartFound, 1);
    EXPECT_TRUE(timeOf(1).isEmpty());
    receive("04 12 34 03 39");
    EXPECT_TRUE(timeOf(1).isEmpty());
    receive("E1");
    EXPECT_EQ(timeOf(1), QStringLiteral("12:34"));
}

TEST_F(ReceptionTest, GarbageIsDroppedAndGarbageInFrontOfAFrameDoesNotHurt)
{
    receive("11 22 33");
    EXPECT_TRUE(form->Link.RxBuffer.empty());
    EXPECT_EQ(form->Link.FrameStartFound, 0);
    receive(("00 FF " + reply(0x03, 0x21, 0x09, 700)).c_str());
    EXPECT_EQ(timeOf(3), QStringLiteral("21:09"));
    EXPECT_EQ(voltageOf(3), QStringLiteral("9,92 V"));   // 700 * 1418 / 1000 = 992
}

TEST_F(ReceptionTest, AStrayStartByteLosesTheReply)
{
    receive("5A 5A 01 04 12 34 03 39 E1");
    EXPECT_TRUE(timeOf(1).isEmpty());
    EXPECT_TRUE(form->Link.RxBuffer.empty());
    EXPECT_EQ(form->Link.FrameStartFound, 0);
    EXPECT_EQ(form->Clocks[1].bar->Progress(), 0);
}

TEST_F(ReceptionTest, OnlyTheFirstOfTwoFramesInOneChunk)
{
    receive(("5A 01 04 12 34 03 39 E1 " + reply(0x02, 0x11, 0x22, 800)).c_str());
    EXPECT_EQ(timeOf(1), QStringLiteral("12:34"));
    EXPECT_TRUE(timeOf(2).isEmpty());
    EXPECT_TRUE(form->Link.RxBuffer.empty());
}

TEST_F(ReceptionTest, LengthElevenIsTakenTwelveIsNot)
{
    receive("5A 01 0C");
    EXPECT_TRUE(form->Link.RxBuffer.empty());
    EXPECT_EQ(form->Link.FrameStartFound, 0);

    const std::string eleven = toHex(Frame::build(0x04, fromHex("08 15 02 00 00 00 00 00 00 00 00")));
    receive(eleven.c_str());
    EXPECT_EQ(timeOf(4), QStringLiteral("08:15"));
    EXPECT_EQ(form->Link.RxPayload.size(), 11u);
}

TEST_F(ReceptionTest, VoltageThresholdsAndTexts)
{
    struct Case {
        int clock;
        uint16_t raw;
        const char* text;
        bool low;
    } cases[] = {
        {1, 672, "10,00 V", true},  {1, 673, "10,02 V", false}, {2, 705, "9,99 V", true},
        {3, 706, "10,01 V", false}, {4, 512, "7,26 V", true},   {1, 825, "12,28 V", false},
        {2, 0, "0,00 V", true},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.raw);
        receive(reply(static_cast<uint8_t>(k.clock), 0x12, 0x34, k.raw).c_str());
        EXPECT_EQ(voltageOf(k.clock).toStdString(), k.text);
        EXPECT_EQ(FontColor(form->Clocks[k.clock].uzas), k.low ? NamedColor::clRed : NamedColor::clWindowText());
    }
}

TEST_F(ReceptionTest, TimeTexts)
{
    struct Case {
        uint8_t address;
        uint8_t left, right;
        const char* text;
    } cases[] = {
        {0x01, 0x1A, 0x00, "110:00"}, {0x41, 0x15, 0x59, "-5:59"}, {0x81, 0x00, 0x00, "00:00"},
        {0xC1, 0x09, 0x01, "-9:01"},
    };
    for (const Case& k : cases) {
        receive(reply(k.address, k.left, k.right, 800).c_str());
        EXPECT_EQ(timeOf(1).toStdString(), k.text);
        EXPECT_EQ(BackColor(form->Clocks[1].czas), (k.address & 0x80) ? NamedColor::clRed : NamedColor::clBtnFace());
    }
}

TEST_F(ReceptionTest, FramesForNoClockAreConsumedSilently)
{
    for (uint8_t address : {0x00, 0x05, 0x3F, 0x45}) {
        receive(reply(address, 0x12, 0x34, 800).c_str());
        EXPECT_TRUE(form->Link.RxBuffer.empty());
    }
    for (int n = 1; n <= 4; ++n) {
        EXPECT_TRUE(timeOf(n).isEmpty());
        EXPECT_EQ(voltageOf(n), QStringLiteral("0,0 V"));
        EXPECT_EQ(form->Link.ReplySeen[n], 0);
    }
}

TEST_F(ReceptionTest, TheLoneAcknowledgementByte)
{
    receive("21");
    EXPECT_EQ(form->Link.RxLastChar, '!');
    receive("21 21");
    EXPECT_EQ(form->Link.RxLastChar, '.');
}

TEST_F(ReceptionTest, TheGaugeClimbsToOneHundredAtMost)
{
    LinkGauge* bar = form->Clocks[1].bar;
    bar->SetProgress(99);
    receive("5A 01 04 12 34 03 39 E1");
    EXPECT_EQ(bar->Progress(), 100);
    receive("5A 01 04 12 34 03 39 E1");
    EXPECT_EQ(bar->Progress(), 100);
}

TEST_F(ReceptionTest, AFrameTooShortForAStatusChangesNothing)
{
    receive(toHex(Frame::build(0x01, fromHex("12 34"))).c_str());
    EXPECT_TRUE(timeOf(1).isEmpty());
    EXPECT_EQ(form->Link.ReplySeen[1], 0);
    EXPECT_TRUE(form->Link.RxBuffer.empty());
}

// An adapter that hears itself: each poll comes back before the reply. Off, the echo is taken
// for the answer and the window suggests the option once; on, the reply fills the panel and
// the choice is kept in the port options file, not in the settings file.
TEST_F(ReceptionTest, EchoOfTheSentFrameIsSuggestedThenDropped)
{
    const ByteString poll = Frame::build(0x01, ByteString(1, '\x60'));
    const std::string answer = reply(0x01, 0x12, 0x34, 825);
    auto exchange = [&] {
        form->SendFrame(0x01, ByteString(1, '\x60'));
        ASSERT_EQ(toHex(sent(poll.size())), toHex(poll));
        receive((toHex(poll) + " " + answer).c_str());
    };
    ASSERT_FALSE(form->OdrzucajEcho1->isChecked());
    exchange();
    EXPECT_TRUE(timeOf(1).isEmpty());
    EXPECT_TRUE(form->statusBar()->currentMessage().isEmpty());
    exchange();
    EXPECT_TRUE(form->statusBar()->currentMessage().contains(QStringLiteral("adapter odsyła nadawane ramki")));
    form->statusBar()->clearMessage();
    exchange();
    EXPECT_TRUE(form->statusBar()->currentMessage().isEmpty()) << "said more than once";

    form->OdrzucajEcho1->trigger();
    exchange();
    EXPECT_EQ(timeOf(1), QStringLiteral("12:34"));
    EXPECT_EQ(readFile(sandbox.configDir() + "/kadrel/port-options"), "echo=1\nrs485=0\n");
    EXPECT_EQ(readFile(sandbox.settingsFile()).find("echo"), std::string::npos);
}
