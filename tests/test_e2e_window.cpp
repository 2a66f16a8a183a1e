// needs: qt
// uses: binaries
// The window against the bus simulator: it connects, polls four clocks in real 100 ms ticks,
// shows their times and voltages, and its gauges follow whether the clocks answer.
#include "tests/test_main_window_fixture.h"

#include <QLabel>
#include <csignal>

#include "tests/support/SimProcess.h"

namespace {

double volts(const QString& text)
{
    QString t = text;
    t.remove(QStringLiteral(" V"));
    t.replace(',', '.');
    return t.toDouble();
}

} // namespace

class E2eWindowTest : public WindowTest {
protected:
    // Starts the simulator (its port lands in the sandbox) and connects a window with its tick running.
    void start(std::vector<std::string> simArgs)
    {
        sim = std::make_unique<SimProcess>(std::move(simArgs));
        createWindow(false);
        ASSERT_EQ(form->ComCombo->Text().toStdString(), sim->portPath());
        connectWindow();
    }

    std::unique_ptr<SimProcess> sim;
};

TEST_F(E2eWindowTest, PollsFourClocksAndShowsTheirState)
{
    start({"--no-noise", "--volts", "1:12.3,2:11.8,3:9.6,4:12.1", "--quiet"});
    ASSERT_TRUE(waitFor([&] {
        for (int n = 1; n <= 4; ++n)
            if (form->Clocks[n].bar->Progress() < 4)
                return false;
        return true;
    }, 6000));
    const double expected[] = {0, 12.3, 11.8, 9.6, 12.1};
    for (int n = 1; n <= 4; ++n) {
        SCOPED_TRACE(n);
        const ClockPanel& c = form->Clocks[n];
        EXPECT_EQ(c.czas->text(), QStringLiteral("00:00"));
        EXPECT_NEAR(volts(c.uzas->text()), expected[n], 0.015) << c.uzas->text();
        EXPECT_EQ(FontColor(c.uzas), expected[n] > 10 ? NamedColor::clWindowText() : NamedColor::clRed);
    }
    EXPECT_TRUE(errors().empty());

    // Set every stopwatch to 05:00 and start it: the count-down boxes are ticked, so they run down.
    form->Medit->setText(QStringLiteral("05"));
    form->Button5->click();
    ASSERT_TRUE(waitFor([&] { return form->Clocks[1].czas->text() == QStringLiteral("05:00"); }, 3000));
    form->Button3->click();
    ASSERT_TRUE(waitFor([&] {
        for (int n = 1; n <= 4; ++n)
            if (!form->Clocks[n].czas->text().startsWith(QStringLiteral("04:5")))
                return false;
        return true;
    }, 5000));
    form->Button2->click();
    EXPECT_TRUE(disconnectedState());
}

TEST_F(E2eWindowTest, AMutedClocksGaugeTurnsRedAndFalls)
{
    start({"--no-noise", "--mute-on-signal", "2", "--quiet"});
    LinkGauge* muted = form->Clocks[2].bar;
    LinkGauge* healthy = form->Clocks[1].bar;
    ASSERT_TRUE(waitFor([&] { return muted->Progress() >= 6; }, 8000));
    sim->signal(SIGUSR1);
    QTest::qWait(300);   // a poll may still be answered
    const int mutedBefore = muted->Progress();
    const int healthyBefore = healthy->Progress();
    QTest::qWait(2000);   // about five polls of each clock
    EXPECT_EQ(muted->Color(), NamedColor::clRed);
    EXPECT_LE(muted->Progress(), mutedBefore - 3);
    EXPECT_GE(healthy->Progress(), healthyBefore + 3);

    sim->signal(SIGUSR2);   // answering again: the gauge climbs back, the colour stays
    const int low = muted->Progress();
    ASSERT_TRUE(waitFor([&] { return muted->Progress() >= low + 3; }, 5000));
    EXPECT_EQ(muted->Color(), NamedColor::clRed);
}
