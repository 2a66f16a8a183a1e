// needs: qt
// A planned entry does what the window's own control does: for each action, the frames of the
// ticks after its firing are byte for byte those after the operator's click, and the firing is
// logged with its name, target and action. With the bus away a command is logged as missed.
#include "tests/test_main_window_fixture.h"

#include <QDateTime>
#include <QLabel>
#include <QMenuBar>
#include <QRadioButton>
#include <QSlider>
#include <QStatusBar>
#include <QTemporaryDir>
#include <functional>

#include "app/PlanRunner.h"
#include "plan/PlanFile.h"
#include "unattended/EventLog.h"

namespace {

struct ActionCase {
    const char* what;
    PlanAction action;
    int target;
    int minutes;
    int seconds;
    int value;
    std::function<void(TForm1&)> click;   // the operator's way to the same
    const char* logged;                   // the log's words for it
};

const ActionCase Cases[] = {
    {"START W", PlanAction::Start, 0, 0, 0, 0, [](TForm1& f) { f.Z1_4->click(); f.Button3->click(); }, "START W"},
    {"STOP 4", PlanAction::Stop, 4, 0, 0, 0, [](TForm1& f) { f.TargetButtons[4]->click(); f.Button4->click(); }, "STOP 4"},
    {"preset 10 m on 2", PlanAction::Preset, 2, 10, 0, 0,
     [](TForm1& f) { f.TargetButtons[2]->click(); f.PresetButtons[5]->click(); }, "10 m 2"},
    {"USTAW 45:05 on 3", PlanAction::Set, 3, 45, 5, 0,
     [](TForm1& f) {
         f.TargetButtons[3]->click();
         f.Medit->setText(QStringLiteral("45"));
         f.Sedit->setText(QStringLiteral("05"));
         f.Button5->click();
     },
     "USTAW 45:05 3"},
    {"ZERUJ W", PlanAction::Zero, 0, 0, 0, 0, [](TForm1& f) { f.Button11->click(); }, "ZERUJ W"},
    {"RTC on 1", PlanAction::Mode, 1, 0, 0, 1, [](TForm1& f) { f.Clocks[1].btnZ->click(); }, "RTC 1"},
    {"brightness 1 on all", PlanAction::Brightness, 0, 0, 0, 1,
     [](TForm1& f) {
         for (int n = 1; n <= 4; ++n)
             f.Clocks[n].jasnosc->setValue(1);
     },
     "Jasność 1 W"},
    {"display off on 2", PlanAction::Display, 2, 0, 0, 1, [](TForm1& f) { f.Clocks[2].wbox->click(); }, "Wył tak 2"},
    {"count up on 1", PlanAction::Direction, 1, 0, 0, 0, [](TForm1& f) { f.Clocks[1].boxDol->click(); }, "D w górę 1"},
};

class PlanWindowTest : public ConnectedWindowTest {
protected:
    void SetUp() override
    {
        ConnectedWindowTest::SetUp();
        form->Timer->stop();
        seams().wallClockUs = [this] { return wallUs; };
        eventSink() = [this](const QString& line) { logged << line; };
    }
    void TearDown() override
    {
        eventSink() = {};
        ConnectedWindowTest::TearDown();
    }
    // A fresh connected window, as after SetUp.
    void freshWindow()
    {
        form.reset();
        createWindow();
        connectWindow();
        form->Timer->stop();
        bus->drain(std::chrono::milliseconds(10));
    }
    // What six ticks put on the bus.
    ByteString sixTicks()
    {
        ByteString all;
        for (int i = 0; i < 6; ++i) {
            form->TimerTimer();
            wallUs += 100000;
            all += bus->drain(std::chrono::milliseconds(20));
        }
        return all;
    }
    // A plan of these entries every day, and a first run of it from the next tick.
    PlanRunner* runPlan(std::vector<PlanEntry> entries)
    {
        Plan p;
        p.dayTypes.push_back({QStringLiteral("Dzień"), std::move(entries)});
        p.week.fill(QStringLiteral("Dzień"));
        EXPECT_EQ(savePlanFile(planFilePath(dir.path()), p), QString());
        logged.clear();
        QFile::remove(stamp);   // the last case's run is no earlier run of this one
        return new PlanRunner(*form, planFilePath(dir.path()), stamp);
    }

    QTemporaryDir dir;
    const QString stamp = dir.filePath(QStringLiteral("stan"));
    const QDateTime noon{QDate(2027, 5, 4), QTime(12, 0)};
    int64_t wallUs = noon.toMSecsSinceEpoch() * 1000 + 5000;
    QStringList logged;
};

TEST_F(PlanWindowTest, EachActionSendsTheFramesOfItsControl)
{
    for (const ActionCase& c : Cases) {
        SCOPED_TRACE(c.what);
        freshWindow();
        c.click(*form);
        const ByteString byHand = sixTicks();

        freshWindow();
        PlanEntry e;
        e.hour = 12;
        e.name = QStringLiteral("Lekcja 3");
        e.action = c.action;
        e.target = c.target;
        e.minutes = c.minutes;
        e.seconds = c.seconds;
        e.value = c.value;
        wallUs = noon.toMSecsSinceEpoch() * 1000 + 5000;
        PlanRunner* runner = runPlan({e});
        const ByteString planned = sixTicks();
        EXPECT_EQ(toHex(planned), toHex(byHand));
        EXPECT_TRUE(logged.contains(QStringLiteral("Harmonogram: 12:00 „Lekcja 3” — %1").arg(QString::fromUtf8(c.logged))))
            << logged.join(QLatin1Char('\n'));
        EXPECT_TRUE(runner->nextText().startsWith(QStringLiteral("Następne: 05.05 12:00 Lekcja 3 — ")))
            << runner->nextText();
    }
}

// A damaged plan is named in the log and the status bar, and runs nothing.
TEST_F(PlanWindowTest, DamagedPlanIsNamedAndFiresNothing)
{
    QFile f(planFilePath(dir.path()));
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write("{\"format\": \"kadrel-harmonogram\", \"version\": 1, \"dayTypes\": [");
    f.close();
    auto* runner = new PlanRunner(*form, f.fileName(), stamp);
    EXPECT_TRUE(form->MainMenu1->actions().contains(runner->Harmonogram1));
    EXPECT_TRUE(logged.value(0).startsWith(QStringLiteral("Plik harmonogramu %1 nie został wczytany").arg(f.fileName())))
        << logged.join(QLatin1Char('\n'));
    form->TimerTimer();
    const auto* status = form->statusBar()->findChild<QLabel*>(QStringLiteral("StatusPlan"));
    ASSERT_TRUE(status);
    EXPECT_EQ(status->text(), QStringLiteral("Harmonogram nie działa: plik jest uszkodzony (zob. Dziennik zdarzeń)"));
    EXPECT_TRUE(runner->nextText().isEmpty());
}

// The bus away when entries come due, the port closed or a dialog holding it (firmware, address
// change): a command is missed and named so, never sent later; a panel setting waits and is set
// when the bus is back, and the polls carry it.
TEST_F(PlanWindowTest, BusAwayMissesCommandsAndKeepsSettingsForLater)
{
    PlanEntry start;
    start.hour = 12;
    start.name = QStringLiteral("Lekcja");
    PlanEntry dim = start;
    dim.second = 1;
    dim.name = QStringLiteral("Ciemno");
    dim.action = PlanAction::Brightness;
    dim.value = 0;
    const struct {
        const char* name;
        std::function<void()> away, back;
        const char* why;
    } cases[] = {
        {"port closed",
         [this] {
             form->Button2->click();   // "STOP": disconnected
             ASSERT_TRUE(waitFor([&] { return !form->ComPort->Connected(); }));
         },
         [this] {
             connectWindow();
             form->Timer->stop();
         },
         "brak połączenia z zegarami"},
        {"a dialog holds the bus", [this] { form->PausePolling(); }, [this] { form->ResumePolling(); },
         "magistralę zajmuje aktualizacja firmware lub zmiana adresu"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        freshWindow();
        wallUs = noon.toMSecsSinceEpoch() * 1000 - 495000;   // 11:59:59.505
        runPlan({start, dim});
        c.away();
        for (int i = 0; i < 20; ++i) {
            form->TimerTimer();
            wallUs += 100000;
        }
        const QString why = QString::fromUtf8(c.why);
        EXPECT_TRUE(logged.contains(QStringLiteral("Harmonogram: pominięto 12:00 „Lekcja” — START W (%1)").arg(why)))
            << logged.join(QLatin1Char('\n'));
        EXPECT_TRUE(logged.contains(QStringLiteral("Harmonogram: 12:00:01 „Ciemno” — Jasność 0 W czeka na powrót łączności (%1)").arg(why)))
            << logged.join(QLatin1Char('\n'));
        EXPECT_EQ(form->Clocks[1].jasnosc->value(), 3) << "nothing changes while the bus is away";
        c.back();
        bus->drain(std::chrono::milliseconds(20));
        const std::string after = toHex(sixTicks());
        EXPECT_TRUE(logged.contains(QStringLiteral("Harmonogram: po powrocie łączności 12:00:01 „Ciemno” — Jasność 0 W")));
        EXPECT_EQ(after.find("5A 00 01 01 5C"), std::string::npos) << after;
        EXPECT_NE(after.find("5A 01 01 80 DC"), std::string::npos) << "clock 1 polled dark: " << after;
        for (int n = 1; n <= 4; ++n)
            EXPECT_EQ(form->Clocks[n].jasnosc->value(), 0);
    }
}

// A restart within a "nadrabiaj" window: the entry fired before the restart, and the second run
// knows it from the state kept between runs, so it is neither caught up nor logged as missed.
TEST_F(PlanWindowTest, RestartWithinTheCatchUpWindowDoesNothingTwice)
{
    PlanEntry e;
    e.hour = 12;
    e.name = QStringLiteral("Lekcja");
    e.catchUp = true;
    e.catchUpMinutes = 5;
    runPlan({e});
    EXPECT_NE(toHex(sixTicks()).find("5A 00 01 01 5C"), std::string::npos);
    freshWindow();   // the first run ends
    wallUs += 30 * 1000000LL;
    logged.clear();
    new PlanRunner(*form, planFilePath(dir.path()), stamp);
    EXPECT_EQ(toHex(sixTicks()).find("5A 00 01 01 5C"), std::string::npos);
    EXPECT_TRUE(logged.filter(QStringLiteral("Lekcja")).isEmpty()) << logged.join(QLatin1Char('\n'));
    // Without what the first run kept, the start would take it for missed and catch it up.
    freshWindow();
    runPlan({e});
    EXPECT_NE(toHex(sixTicks()).find("5A 00 01 01 5C"), std::string::npos);
    EXPECT_TRUE(logged.contains(QStringLiteral("Harmonogram: nadrobiono 12:00 „Lekcja” — START W")))
        << logged.join(QLatin1Char('\n'));
}

} // namespace
