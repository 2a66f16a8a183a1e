// needs: qt
// The window left alone: the reconnect wait after a pulled adapter (same link, same adapter
// under another path, ended by "STOP"), the selector following ports plugged in and out, the
// stored port identity, the silent-clock mark, the clock-sync status and the wall-clock tick.
#include <QDateTime>
#include <QLabel>
#include <QPlainTextEdit>
#include <QSignalBlocker>
#include <QThread>
#include <QScopeGuard>

#include <sys/timex.h>

#include <cerrno>
#include <filesystem>

#include "app/PortErrors.h"
#include "app/StatusLine.h"
#include "dialogs/JakieCOMy.h"
#include "link/LinkObserver.h"
#include "widgets/LinkTraffic.h"
#include "tests/test_main_window_fixture.h"
#include "files/ConfigPaths.h"
#include "unattended/EventLog.h"

namespace fs = std::filesystem;

namespace {

class Frames : public LinkObserver {
public:
    void frameSent(const ByteString& frame, const FrameAccounting* accounting) override
    {
        sent.push_back({frame, accounting == nullptr, seams().wallClockUs(), QDateTime::currentMSecsSinceEpoch()});
    }
    void bytesReceived(const ByteString&) override {}
    void replyAssembled(const AssembleReport&) override {}
    struct Sent {
        ByteString frame;
        bool broadcast;
        int64_t wallUs;
        int64_t ms;
    };
    std::vector<Sent> sent;
};

class UnattendedTest : public WindowTest {
protected:
    std::string byIdDir() const { return configRoots().byIdDir.toStdString(); }
    // An adapter: a pty behind a virtual-port link and, if named, a by-id link.
    TestPty& plug(const std::string& link, const std::string& byId = {})
    {
        TestPty& pty = addPort(link);
        if (!byId.empty()) {
            fs::create_directories(byIdDir());
            fs::create_symlink(pty.slavePath(), byIdDir() + "/" + byId);
        }
        return pty;
    }
    void pull(TestPty& pty, const std::string& link, const std::string& byId = {})
    {
        pty.closeMaster();
        pty.closeSlave();
        fs::remove(portPath(link));
        if (!byId.empty())
            fs::remove(byIdDir() + "/" + byId);
    }
    QString statusText() const { return form->StatusLink->text(); }
    QStringList entries() const
    {
        QStringList out;
        for (int i = 0; i < form->ComCombo->count(); ++i)
            out << form->ComCombo->itemText(i);
        return out;
    }
};

TEST_F(UnattendedTest, ReconnectsByItselfWhenThePortComesBack)
{
    TestPty& bus = plug("BUS");
    createWindow();
    form->Clocks[1].boxActiv->setChecked(true);
    connectWindow();
    messages.clear();
    pauses.clear();

    pull(bus, "BUS");
    ASSERT_TRUE(waitFor([&] { return form->WaitingForPort(); }));
    EXPECT_TRUE(waitFor([&] { return errors().size() == 1; }));
    EXPECT_TRUE(disconnectedState());
    EXPECT_TRUE(statusText().contains(QStringLiteral("czekam na ponowne podłączenie"))) << statusText();
    EXPECT_TRUE(statusText().contains(QString::fromStdString(portPath("BUS"))));

    TestPty& back = plug("BUS");
    ASSERT_TRUE(waitFor([&] { return connectedState(); }, 3000));
    EXPECT_FALSE(form->WaitingForPort());
    EXPECT_TRUE(statusText().startsWith(QStringLiteral("Połączono ponownie z portem"))) << statusText();
    EXPECT_EQ(pauses, std::vector<int>{100});   // the same steps as "START"
    EXPECT_EQ(errors().size(), 1u);              // one box for the loss, none for the return
    form->TimerTimer();
    EXPECT_EQ(back.read(5).size(), 5u);
}

TEST_F(UnattendedTest, LogsEachStepAndTheStatusLineCutsTheLongPortNotItsWords)
{
    QStringList logged;
    eventSink() = [&](const QString& line) { logged << line; };
    const auto unhook = qScopeGuard([] { eventSink() = {}; });
    const std::string name = "adapter-w-hali-sportowej-przy-tablicy-wynikow-numer-dwa";
    TestPty& bus = plug(name);
    TestPty& other = plug("INNY");
    createWindow();
    form->Clocks[1].boxActiv->setChecked(true);
    {
        const QSignalBlocker quiet(form->ComCombo);
        form->ComCombo->setCurrentIndex(form->ComCombo->findText(QString::fromStdString(portPath(name))));
    }
    connectWindow();
    form->show();
    pull(bus, name);
    ASSERT_TRUE(waitFor([&] { return form->WaitingForPort() && !errors().empty(); }));
    // The box says what happened in the operator's words under the driver's.
    EXPECT_TRUE(errors()[0].text.endsWith(QStringLiteral("\nAdapter został odłączony lub zresetowany.")));
    const QString shown = form->StatusLink->shownText();
    EXPECT_TRUE(shown.endsWith(QStringLiteral("czekam na ponowne podłączenie…"))) << shown.toStdString();
    EXPECT_TRUE(shown.contains(QStringLiteral("…"))) << shown.toStdString();
    EXPECT_TRUE(form->StatusLink->text().contains(QString::fromStdString(portPath(name))));
    plug(name);
    ASSERT_TRUE(waitFor([&] { return connectedState(); }, 3000));
    EXPECT_TRUE(form->StatusLink->text().contains(QStringLiteral("(utracono o "))) << form->StatusLink->text().toStdString();

    const QStringList expected = {QStringLiteral("Połączono z portem "), QStringLiteral("Utracono połączenie z "),
                                  QStringLiteral("Połączono ponownie z portem ")};
    QStringList got;
    for (const QString& line : logged)
        for (const QString& start : expected)
            if (line.startsWith(start))
                got << start;
    EXPECT_EQ(got, expected) << logged.join(QLatin1Char('|')).toStdString();
    (void)other;
}

TEST_F(UnattendedTest, StopEndsTheWait)
{
    TestPty& bus = plug("BUS");
    createWindow();
    connectWindow();
    pull(bus, "BUS");
    ASSERT_TRUE(waitFor([&] { return form->WaitingForPort(); }));
    form->Button2->click();
    EXPECT_FALSE(form->WaitingForPort());
    EXPECT_TRUE(statusText().isEmpty());
    plug("BUS");
    QTest::qWait(600);
    EXPECT_TRUE(disconnectedState());
}

TEST_F(UnattendedTest, ALinkLeftBehindIsNotBackWhenItsTerminalNumberIsReused)
{
    // BUS -> node -> pty: the node stands for /dev/pts/N, which the kernel may hand out again.
    TestPty& first = *ptys.emplace_back(std::make_unique<TestPty>());
    const std::string node = sysfs.file("node");
    fs::create_symlink(first.slavePath(), node);
    publishPort(node, "BUS");
    createWindow();
    connectWindow();
    first.closeMaster();
    first.closeSlave();
    ASSERT_TRUE(waitFor([&] { return form->WaitingForPort(); }));

    TestPty& stranger = *ptys.emplace_back(std::make_unique<TestPty>());
    fs::remove(node);
    fs::create_symlink(stranger.slavePath(), node);   // the number reused by another program
    plug("OTHER");                                     // something in the folder changes
    ASSERT_TRUE(waitFor([&] { return form->ComCombo->count() == 2; }));
    QTest::qWait(300);
    EXPECT_TRUE(form->WaitingForPort());
    EXPECT_FALSE(form->ComPort->Connected());

    fs::remove(portPath("BUS"));
    publishPort(node, "BUS");   // the link made anew: the port is back
    EXPECT_TRUE(waitFor([&] { return connectedState(); }, 3000));
}

TEST_F(UnattendedTest, FindsTheSameAdapterUnderAnotherPathAndNoOtherAtTheOldOne)
{
    TestPty& first = plug("A", "usb-FTDI_FT232R_A10K3XYZ-if00-port0");
    createWindow();
    connectWindow();
    pull(first, "A", "usb-FTDI_FT232R_A10K3XYZ-if00-port0");
    ASSERT_TRUE(waitFor([&] { return form->WaitingForPort(); }));

    plug("A", "usb-Prolific_PL2303_other-if00-port0");   // another adapter at the old path
    QTest::qWait(600);
    EXPECT_TRUE(disconnectedState());
    EXPECT_TRUE(form->WaitingForPort());

    plug("B", "usb-FTDI_FT232R_A10K3XYZ-if00-port0");
    ASSERT_TRUE(waitFor([&] { return connectedState(); }, 3000));
    EXPECT_EQ(form->ComPort->Port(), portPath("B"));
    EXPECT_EQ(form->ComCombo->Text(), QString::fromStdString(portPath("B")));
}

TEST_F(UnattendedTest, TheSelectorAndThePortListFollowPortsPluggedInAndOut)
{
    createWindow();
    ASSERT_EQ(form->ComCombo->count(), 0);
    form->FormJakieCOM = new TFormJakieCOM(form.get());   // as the program entry does
    form->FormJakieCOM->show();
    plug("P1");
    ASSERT_TRUE(waitFor([&] { return form->ComCombo->count() == 1; }));
    EXPECT_EQ(form->ComCombo->currentIndex(), 0);   // the first port on a machine that had none
    EXPECT_TRUE(form->Button_polacz->isEnabled());
    plug("P0");
    ASSERT_TRUE(waitFor([&] { return form->ComCombo->count() == 2; }));
    EXPECT_EQ(form->ComCombo->Text(), QString::fromStdString(portPath("P1")));   // kept by name
    EXPECT_TRUE(form->FormJakieCOM->PortyCom->toPlainText().contains(QString::fromStdString(portPath("P0"))));
    fs::remove(portPath("P1"));
    ASSERT_TRUE(waitFor([&] { return form->ComCombo->count() == 1; }));
    EXPECT_EQ(form->ComCombo->currentIndex(), -1);
    EXPECT_FALSE(form->Button_polacz->isEnabled());
    form->FormJakieCOM->hide();
}

TEST_F(UnattendedTest, AConnectedPortKeepsItsSelection)
{
    plug("B");
    createWindow();
    connectWindow();
    plug("A");
    ASSERT_TRUE(waitFor([&] { return form->ComCombo->count() == 2; }));
    EXPECT_EQ(form->ComCombo->Text(), QString::fromStdString(portPath("B")));
    EXPECT_TRUE(connectedState());
}

TEST_F(UnattendedTest, TheStoredIdentityWinsOverTheIndexOnlyWhenWhole)
{
    plug("A");
    plug("B");
    createWindow();
    form->ComCombo->setCurrentIndex(1);
    form->SaveSettings();
    const std::string idFile = sandbox.configDir() + "/kadrel/port-id";
    EXPECT_EQ(readFile(idFile), "link:B\n" + portPath("B") + "\n");
    const std::string good = readFile(idFile);
    form.reset();
    plug("0");   // sorts first: the stored index 1 now points at A

    struct Row { const char* what; std::string content; std::string selected; };
    for (const Row& row : std::vector<Row>{
             {"whole", good, "B"},
             {"absent", "", "A"},
             {"damaged", "\x01\x02garbage", "A"},
             {"huge", "link:B" + std::string(20000, ' '), "A"},
             {"names a port not there", "link:GONE\n", "A"},
         }) {
        fs::remove(idFile);
        if (!row.content.empty())
            writeFile(idFile, row.content);
        createWindow();
        EXPECT_EQ(form->ComCombo->Text(), QString::fromStdString(portPath(row.selected))) << row.what;
        form.reset();
    }
}

TEST_F(UnattendedTest, ASilentClockIsMarkedUntilItAnswers)
{
    TestPty& bus = plug("BUS");
    createWindow();
    for (int n = 1; n <= 4; ++n)
        form->Clocks[n].boxActiv->setChecked(n == 1);
    connectWindow();
    QLineEdit* field = form->Clocks[1].czas;
    const QColor ink = FontColor(field), back = BackColor(field);
    for (int ticks = 0; !form->ClockSilent(1) && ticks < 20; ++ticks)
        form->TimerTimer();
    EXPECT_EQ(bus.drain().size(), 4u * 5);   // three polls unanswered, seen when the fourth goes out
    EXPECT_EQ(field->accessibleName(), QStringLiteral("Zegar 1: %1, czas nieaktualny").arg(field->text()));
    EXPECT_TRUE(field->font().italic());
    EXPECT_EQ(FontColor(field), ink);
    EXPECT_EQ(BackColor(field), back);

    bus.write(fromHex("5A 01 04 12 34 03 39 E1"));
    ASSERT_TRUE(waitFor([&] { return !form->ClockSilent(1); }));
    EXPECT_EQ(field->accessibleName(), QStringLiteral("Zegar 1: %1").arg(field->text()));
    EXPECT_FALSE(field->font().italic());
}

TEST_F(UnattendedTest, TheStatusBarSaysWhenTheSystemClockIsNotSynchronised)
{
    struct Row { const char* what; ClockSyncReading reading; bool warned; };
    for (const Row& row : std::vector<Row>{
             {"synchronised", {true, TIME_OK, 0, 20000}, false},
             {"STA_UNSYNC", {true, TIME_OK, STA_UNSYNC, 20000}, true},
             {"maximum error 16 s", {true, TIME_OK, 0, 16000000}, true},
             {"TIME_ERROR", {true, TIME_ERROR, 0, 1000}, true},
             {"adjtimex refused", {false, -1, 0, 0}, false},
         }) {
        seams().readClockSync = [&] { return row.reading; };
        if (!form)
            createWindow();   // checked at start
        else
            form->CheckClockSync();
        EXPECT_EQ(!form->StatusSync->isHidden(), row.warned) << row.what;
        if (row.warned) {
            EXPECT_TRUE(form->StatusSync->text().contains(QStringLiteral("nie jest zsynchronizowany")));
            EXPECT_EQ(FontColor(form->StatusSync), NamedColor::clRed);
        }
    }
    EXPECT_EQ(form->SyncTimer->interval(), 60000);
    EXPECT_TRUE(form->SyncTimer->isActive());
}

TEST_F(UnattendedTest, APortHeldByAnotherProgramSaysSo)
{
    for (int error : {EBUSY, EAGAIN})
        EXPECT_TRUE(portErrorMessage(EComPort(peOpen, error), "/dev/ttyUSB0").contains(QStringLiteral("zajęty")));
    EXPECT_FALSE(portErrorMessage(EComPort(peOpen, ENOENT), "/dev/ttyUSB0").contains(QStringLiteral("zajęty")));
}

// The tick on a wall clock of the test's own: the broadcast leaves just after the second it
// carries, the first two frames after "START" keep a tick apart, and after the clock steps back
// an hour the ticks are on the new clock's slots.
TEST_F(UnattendedTest, TheTickFollowsTheWallClock)
{
    int64_t offsetUs = 0;
    seams().wallClockUs = [&] {
        timespec now{};
        clock_gettime(CLOCK_REALTIME, &now);
        return static_cast<int64_t>(now.tv_sec) * 1000000 + now.tv_nsec / 1000 + offsetUs;
    };
    seams().pause = [](int ms) { QThread::msleep(static_cast<unsigned long>(ms)); };   // the real pause
    plug("BUS");
    createWindow(false);
    form->Clocks[1].boxActiv->setChecked(true);
    Frames frames;
    form->Traffic->watch(&frames);
    QTest::qWait(150);
    form->Link.BroadcastTick = 50;
    form->Button_polacz->click();
    ASSERT_TRUE(waitFor([&] { return frames.sent.size() >= 12; }, 4000));
    EXPECT_GE(frames.sent[1].ms - frames.sent[0].ms, 90);
    bool broadcastSeen = false;
    for (const auto& f : frames.sent)
        if (f.broadcast) {
            broadcastSeen = true;
            EXPECT_LE(f.wallUs % 1000000, 40000) << "late after the second";
        }
    EXPECT_TRUE(broadcastSeen);

    offsetUs = -3600LL * 1000000 + 437000;
    const size_t before = frames.sent.size();
    ASSERT_TRUE(waitFor([&] { return frames.sent.size() >= before + 5; }, 3000));
    for (size_t i = before + 1; i < frames.sent.size(); ++i) {
        const int64_t phase = frames.sent[i].wallUs % 100000;
        EXPECT_TRUE(phase >= 5000 && phase <= 35000) << "tick " << i << " at " << phase << " us into its slot";
    }
    form->Timer->stop();
    form->Traffic->unwatch(&frames);
}

} // namespace
