// needs: qt
// The 100 ms tick through the window: poll bytes taken from the panels, the poll order, the time
// broadcast, stopwatch commands to their targets, and what a tick does while disconnected.
#include "tests/test_main_window_fixture.h"

#include <QRadioButton>
#include <QSlider>
#include <thread>

#include "link/Frame.h"
#include "link/Tick.h"

namespace {

std::string frame(uint8_t address, const char* data)
{
    return toHex(Frame::build(address, fromHex(data)));
}

} // namespace

class TickWindowTest : public ConnectedWindowTest {
protected:
    void setActive(std::initializer_list<int> clocks)
    {
        for (int n = 1; n <= 4; ++n) {
            const bool on = std::find(clocks.begin(), clocks.end(), n) != clocks.end();
            if (form->Clocks[n].boxActiv->isChecked() != on)
                form->Clocks[n].boxActiv->click();
        }
    }

    // One tick; what it put on the wire ("" when nothing).
    std::string tick()
    {
        form->TimerTimer();
        return toHex(bus->drain(std::chrono::milliseconds(20)));
    }
};

TEST_F(TickWindowTest, PollBytesComeFromThePanel)
{
    setActive({1});
    ClockPanel& c = form->Clocks[1];
    c.jasnosc->setValue(2);
    QTest::mouseDClick(c.czas, Qt::LeftButton);   // reset request
    EXPECT_EQ(tick(), frame(0x01, "D0"));
    EXPECT_EQ(form->Link.ResetRequest[1], 0);
    EXPECT_EQ(tick(), "");                          // clocks 2..4 inactive: a tick without a frame
    EXPECT_EQ(tick(), frame(0x01, "C0"));

    c.boxDol->click();
    c.jasnosc->setValue(0);
    tick();
    EXPECT_EQ(tick(), frame(0x01, "00"));
    c.wbox->click();
    c.jasnosc->setValue(3);
    tick();
    EXPECT_EQ(tick(), frame(0x01, "68"));
    form->BtnZClick(1);
    tick();
    EXPECT_EQ(tick(), frame(0x11, "68"));
}

TEST_F(TickWindowTest, PollOrderSkipsInactiveClocks)
{
    setActive({1, 3});
    std::vector<std::string> wire;
    for (int i = 0; i < 6; ++i)
        wire.push_back(tick());
    const std::string p1 = frame(0x01, "E0"), p3 = frame(0x03, "E0");
    EXPECT_EQ(wire, (std::vector<std::string>{p1, p3, "", p1, p3, ""}));

    setActive({1, 2, 3, 4});
    wire.clear();
    for (int i = 0; i < 5; ++i)
        wire.push_back(tick());
    EXPECT_EQ(wire, (std::vector<std::string>{p1, frame(0x02, "E0"), p3, frame(0x04, "E0"), p1}));

    setActive({});
    EXPECT_EQ(tick(), "");
    EXPECT_EQ(tick(), "");
}

TEST_F(TickWindowTest, BroadcastOnTheSixtiethTickAndTheCommandAfterIt)
{
    setActive({});
    timeOfDay = "09:05:08";
    for (int i = 1; i < 60; ++i)
        ASSERT_EQ(tick(), "") << i;
    form->Button3->click();   // queued for the broadcast tick
    EXPECT_EQ(tick(), "5A FF 06 30 39 30 35 30 38 95");
    EXPECT_EQ(form->Link.PendingCommand, 1);
    EXPECT_EQ(tick(), "5A 00 01 01 5C");
    EXPECT_EQ(form->Link.PendingCommand, 0);
    EXPECT_EQ(form->Link.BroadcastTick, 1);
}

TEST_F(TickWindowTest, CommandsGoToTheSelectedTarget)
{
    setActive({});
    struct Case {
        int target;   // 0 for "W"
        int rtcClock;
        QPushButton* button;
        const char* minutes;
        const char* seconds;
        std::string wire;
    } cases[] = {
        {0, 0, form->Button3, "00", "00", "5A 00 01 01 5C"},
        {3, 3, form->Button4, "00", "00", "5A 33 01 02 90"},
        {0, 2, form->Button4, "00", "00", "5A 00 01 02 5D"},   // all clocks: no offset
        {3, 0, form->Button5, "05", "30", "5A 03 03 03 05 30 98"},
        {0, 0, form->Button5, "10", "00", "5A 00 03 03 10 00 70"},
        {2, 2, form->PresetButtons[9], "", "", frame(0x22, "03 60 00")},
        {4, 0, form->Button11, "", "", frame(0x04, "03 00 00")},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.wire);
        (k.target == 0 ? form->Z1_4 : form->TargetButtons[k.target])->click();
        for (int n = 1; n <= 4; ++n)
            (n == k.rtcClock ? form->Clocks[n].btnZ : form->Clocks[n].btnS)->click();
        if (*k.minutes) {
            form->Medit->setText(QString::fromLatin1(k.minutes));
            form->Sedit->setText(QString::fromLatin1(k.seconds));
        }
        k.button->click();
        EXPECT_EQ(tick(), k.wire);
        EXPECT_EQ(form->Link.PendingCommand, 0);
    }
}

TEST_F(TickWindowTest, TwoClicksInOneTickSendOnlyTheLater)
{
    setActive({});
    form->PresetButtons[5]->click();   // "10 m"
    form->Button3->click();            // "START"
    EXPECT_EQ(tick(), "5A 00 01 01 5C");
    EXPECT_EQ(tick(), "");
}

TEST_F(TickWindowTest, AResetRequestOfAnInactiveClockWaits)
{
    setActive({2});
    form->Clocks[3].boxActiv->setChecked(false);
    form->ZczasDblClick(3);
    for (int i = 0; i < 4; ++i)
        EXPECT_EQ(tick().find(" 03 01 "), std::string::npos);
    EXPECT_EQ(form->Link.ResetRequest[3], 1);
    setActive({3});
    std::string wire;
    for (int i = 0; i < 4 && wire.empty(); ++i)
        wire = tick();
    EXPECT_EQ(wire, frame(0x03, "F0"));
    EXPECT_EQ(form->Link.ResetRequest[3], 0);
}

TEST_F(TickWindowTest, AReplyWaitingBeforeTheTickIsDecodedFirst)
{
    setActive({1});
    bus->write(fromHex("5A 01 04 12 34 03 39 E1"));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));   // arrived, not yet handled
    EXPECT_EQ(tick(), frame(0x01, "E0"));
    EXPECT_EQ(form->Clocks[1].czas->text(), QStringLiteral("12:34"));
    EXPECT_NE(form->Clocks[1].bar->Color(), NamedColor::clRed);   // the reply counted for this poll
    EXPECT_EQ(form->Clocks[1].bar->Progress(), 1);
}

TEST_F(WindowTest, WhileDisconnectedTicksOnlyCountDown)
{
    addPort("BUS");
    TForm1& w = createWindow();
    w.Link.TimeoutTicks = 3;
    w.Link.PendingCommand = 1;
    for (int i = 0; i < 5; ++i)
        w.TimerTimer();
    EXPECT_EQ(w.Link.TimeoutTicks, 0);
    EXPECT_EQ(w.Link.BroadcastTick, 0);
    EXPECT_EQ(w.Link.PollIndex, 0);
    EXPECT_EQ(w.Link.PendingCommand, 1);
    EXPECT_TRUE(w.Link.TxFrame.empty());

    // After connecting the first broadcast still comes on the 60th tick.
    connectWindow();
    for (int i = 0; i < 59; ++i)
        w.TimerTimer();
    EXPECT_EQ(w.Link.BroadcastTick, 59);
    w.Button2->click();
    w.TimerTimer();
    EXPECT_EQ(w.Link.BroadcastTick, 59);
}

TEST_F(WindowTest, TheTimerRunsFromCreationAtTheTickInterval)
{
    tickPace().intervalMs = 20;
    TForm1& w = createWindow(false);
    EXPECT_TRUE(w.Timer->isActive());
    EXPECT_EQ(w.Timer->interval(), 20);
    EXPECT_EQ(w.Timer->timerType(), Qt::PreciseTimer);
    w.Link.TimeoutTicks = 5;
    EXPECT_TRUE(waitFor([&] { return w.Link.TimeoutTicks == 0; }));
}
