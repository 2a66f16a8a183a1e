// needs: qt
// The bus monitor on a connected window: what it shows for the frames on the wire, its
// counters, its bounded history, pause, clear and save. The bytes it shows are compared with
// the bytes the pty really carried.
#include <QAction>
#include <QFile>
#include <QLabel>
#include <QMenuBar>
#include <QRadioButton>
#include <QTableView>
#include <QTableWidget>
#include <QTest>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "dialogs/Monitor.h"
#include "widgets/LinkTraffic.h"
#include "link/Frame.h"
#include "tests/test_main_window_fixture.h"

namespace {

class MonitorTest : public ConnectedWindowTest {
protected:
    void SetUp() override
    {
        ConnectedWindowTest::SetUp();
        for (int clock = 1; clock <= 4; ++clock)
            form->Clocks[clock].boxActiv->setChecked(clock == 4);   // every tick polls clock 4
        form->Monitor1->trigger();
        monitor = form->FMonitor;
        ASSERT_NE(monitor, nullptr);
    }

    void tick() { form->guard([this] { form->TimerTimer(); }); }

    // Ticks once and returns what went on the wire.
    ByteString tickAndRead(size_t count)
    {
        tick();
        return sent(count);
    }

    QString lastLine() const { return monitor->Lines().isEmpty() ? QString() : monitor->Lines().last(); }
    bool lastLineHas(const QString& text) const { return lastLine().contains(text); }
    QString counter(int row, int column) const { return monitor->Liczniki->item(row, column)->text(); }

    TFMonitor* monitor = nullptr;
};

TEST_F(MonitorTest, OpensOnceModelessFromItsOwnMenuItem)
{
    QList<QAction*> top = form->MainMenu1->actions();
    ASSERT_GE(top.size(), 3);
    EXPECT_EQ(top.last(), form->Monitor1);
    EXPECT_EQ(top[top.size() - 2], form->Pomoc2);
    EXPECT_EQ(form->Monitor1->text().remove(QLatin1Char('&')), QStringLiteral("Monitor"));
    EXPECT_EQ(form->Monitor1->objectName(), QStringLiteral("Monitor1"));

    EXPECT_TRUE(monitor->isVisible());
    EXPECT_FALSE(monitor->isModal());
    EXPECT_EQ(monitor->windowTitle(), QStringLiteral("Monitor magistrali"));
    EXPECT_EQ(form->Traffic->watchers(), 1);   // the monitor, from its creation on
    monitor->close();
    form->Monitor1->trigger();
    EXPECT_EQ(form->FMonitor, monitor);
    EXPECT_TRUE(monitor->isVisible());

    form->Button2->click();   // disconnected: the item stays usable
    EXPECT_TRUE(form->Monitor1->isEnabled());
}

TEST_F(MonitorTest, LinesForAPollAReplyABroadcastABadChecksumAndAFirmwareBlock)
{
    const ByteString poll = tickAndRead(5);
    ASSERT_EQ(poll.size(), 5u);
    EXPECT_TRUE(lastLineHas(QStringLiteral("→ ") + QString::fromStdString(toHex(poll)))) << lastLine();
    EXPECT_TRUE(lastLineHas(QStringLiteral("odpytanie zegara 4 (liczenie w dół, jasność 3)"))) << lastLine();

    bus->write(fromHex("5A 04 04 12 34 03 39 E4"));
    ASSERT_TRUE(waitFor([&] { return lastLineHas(QStringLiteral("odpowiedź zegara 4: 12:34, 11,69 V")); })) << lastLine();
    EXPECT_TRUE(lastLineHas(QStringLiteral("← 5A 04 04 12 34 03 39 E4"))) << lastLine();

    form->Link.BroadcastTick = BroadcastEvery - 1;
    const ByteString broadcast = tickAndRead(10);
    EXPECT_EQ(toHex(broadcast), "5A FF 06 31 32 33 34 35 36 94");
    EXPECT_TRUE(lastLineHas(QStringLiteral("→ 5A FF 06 31 32 33 34 35 36 94"))) << lastLine();
    EXPECT_TRUE(lastLineHas(QStringLiteral("czas 12:34:56 do wszystkich"))) << lastLine();

    bus->write(fromHex("5A 04 04 12 34 03 39 00"));
    ASSERT_TRUE(waitFor([&] { return lastLineHas(QStringLiteral("odrzucone: zła suma kontrolna")); })) << lastLine();
    EXPECT_TRUE(lastLineHas(QStringLiteral("× 5A 04 04 12 34 03 39 00"))) << lastLine();

    ByteString block(1, '\x07');
    block += ByteString(64, '\xFF');
    form->SendFrame(Frame::BootBlockAddress, block);
    EXPECT_EQ(sent(69), Frame::build(Frame::BootBlockAddress, block));
    EXPECT_TRUE(lastLineHas(QStringLiteral("blok firmware 7"))) << lastLine();
    EXPECT_TRUE(lastLineHas(QString::fromStdString(toHex(Frame::build(Frame::BootBlockAddress, block)))));
}

TEST_F(MonitorTest, EveryLineCarriesTheWallClockAndTheTimeSinceOpening)
{
    monitor->clock = [] { return TFMonitor::Stamp{83'042, QTime(9, 5, 8, 7)}; };
    tick();
    EXPECT_TRUE(lastLine().startsWith(QStringLiteral("09:05:08.007    +83,042 s → 5A 04 01"))) << lastLine();
}

TEST_F(MonitorTest, CountersAfterAClockStopsAnswering)
{
    const ByteString reply = fromHex("5A 04 04 12 34 03 39 E4");
    for (int i = 0; i < 2; ++i) {
        ASSERT_EQ(tickAndRead(5).size(), 5u);
        bus->write(reply);
        ASSERT_TRUE(waitFor([&] { return monitor->Trace().counters()[4].replies == static_cast<uint64_t>(i + 1); }));
    }
    // Silent from here: five more polls, of which four are known unanswered.
    for (int i = 0; i < 5; ++i)
        ASSERT_EQ(tickAndRead(5).size(), 5u);
    bus->write(fromHex("01 02"));   // noise while it is silent
    ASSERT_TRUE(waitFor([&] { return monitor->Trace().counters()[4].dropped == 1; }));

    // Row 3 is clock 4.
    EXPECT_EQ(counter(3, 0), QStringLiteral("7"));   // nadane
    EXPECT_EQ(counter(3, 1), QStringLiteral("2"));   // odpowiedzi
    EXPECT_EQ(counter(3, 2), QStringLiteral("4"));   // bez odpowiedzi
    EXPECT_EQ(counter(3, 3), QStringLiteral("1"));   // odrzucone
    for (int row : {0, 1, 2, 4})
        EXPECT_EQ(counter(row, 0), QStringLiteral("0")) << row;
    // The gauge went down with it: the monitor counts what the window itself saw.
    EXPECT_EQ(form->Clocks[4].bar->Progress(), 0);
}

TEST_F(MonitorTest, KeepsTheLastTenThousandLines)
{
    auto frame = [](int i) {
        char digits[8];
        std::snprintf(digits, sizeof digits, "%06d", i);
        return Frame::build(Frame::BroadcastAddress, ByteString(digits, 6));
    };
    const int total = TFMonitor::HistoryLimit + 5;
    for (int i = 0; i < total; ++i)
        monitor->frameSent(frame(i), nullptr);
    ASSERT_EQ(monitor->Log().rowCount(), TFMonitor::HistoryLimit);
    EXPECT_EQ(monitor->Log().at(0).meaning, QStringLiteral("czas 00:00:05 do wszystkich"));
    EXPECT_EQ(monitor->Log().at(TFMonitor::HistoryLimit - 1).meaning, QStringLiteral("czas 01:00:04 do wszystkich"));
    EXPECT_EQ(monitor->Trace().counters()[BusTrace::OtherRow].sent, static_cast<uint64_t>(total));
}

// Garbage arrives in kilobyte runs: a line shows at most LineBytesShown bytes and says how many
// it left out, and the history keeps within HistoryBytes whatever arrives.
TEST_F(MonitorTest, LongLinesAreCutAndTheHistoryIsBoundedByBytes)
{
    // However the pty splits it, every byte is accounted for: shown, or counted as left out.
    const int before = monitor->Log().rowCount();
    bus->write(ByteString(3000, '\x11'));
    const size_t shown = TFMonitor::LineBytesShown;
    qint64 accounted = 0;
    ASSERT_TRUE(waitFor([&] {
        accounted = 0;
        for (int row = before; row < monitor->Log().rowCount(); ++row) {
            if (monitor->Log().at(row).kind != TMonitorLog::Kind::Dropped)
                continue;
            const QString bytes = monitor->Log().at(row).bytes;
            const QString left = bytes.section(QStringLiteral(" … pominięto "), 0, 0);
            const QString omitted = bytes.section(QStringLiteral(" … pominięto "), 1).section(QLatin1Char(' '), 0, 0);
            EXPECT_LE(left.size(), static_cast<qsizetype>(shown * 3)) << row;
            accounted += (left.size() + 1) / 3 + omitted.toLongLong();
        }
        return accounted >= 3000;
    }));
    EXPECT_EQ(accounted, 3000);

    struct Case { size_t size; const char* text; };
    const Case cases[] = {
        {3, "AB AB AB"},
        {shown, nullptr},   // whole: a firmware block's 69 bytes never cut
        {shown + 1, " … pominięto 1 B"},
        {4096, " … pominięto 4000 B"},
    };
    for (const Case& c : cases) {
        const QString text = TMonitorLog::bytesText(ByteString(c.size, '\xAB'), shown);
        if (!c.text)
            EXPECT_FALSE(text.contains(QStringLiteral("…"))) << c.size;
        else
            EXPECT_TRUE(text.endsWith(QString::fromUtf8(c.text))) << c.size << " " << text.right(30).toStdString();
    }

    // Lines of 40 kB (as uncut lines of garbage were): the byte bound, not the line count, rules.
    TMonitorLog log(TFMonitor::HistoryLimit, 1024 * 1024);
    const QString big(20'000, QLatin1Char('x'));
    for (int i = 0; i < 200; ++i)
        log.append(TMonitorLog::Line{QTime(), i, TMonitorLog::Kind::Dropped, big, QStringLiteral("%1").arg(i)});
    EXPECT_LE(log.bytesUsed(), 1024 * 1024);
    EXPECT_GT(log.bytesUsed(), 1024 * 1024 - 50'000);
    EXPECT_LT(log.rowCount(), 30);
    EXPECT_EQ(log.at(log.rowCount() - 1).meaning, QStringLiteral("199"));
    log.clear();
    EXPECT_EQ(log.bytesUsed(), 0);
}

// The table takes its batch right after the frame a tick sent, not on a timer of its own that
// now and then would repaint just as the next tick is due; without frames a batch still comes.
TEST_F(MonitorTest, TheBatchFollowsTheTicksFrame)
{
    QAbstractItemModel* table = monitor->LogView->model();
    const int before = monitor->Log().rowCount();
    QTest::qWait(TFMonitor::MinFlushMs);
    tick();
    QCoreApplication::processEvents();
    EXPECT_EQ(table->rowCount(), before + 1);
    bus->write(ByteString(5, '\x11'));   // garbage with no frame after it
    EXPECT_TRUE(waitFor([&] { return table->rowCount() == before + 2; }, 2 * TFMonitor::IdleFlushMs));
}

TEST_F(MonitorTest, PauseStopsTheLogButNotTheCountersAndClearEmptiesBoth)
{
    tick();
    const int before = monitor->Log().rowCount();
    monitor->ButtonPauza->click();
    EXPECT_TRUE(monitor->Paused());
    EXPECT_EQ(monitor->ButtonPauza->text(), QStringLiteral("Wznów"));
    for (int i = 0; i < 4; ++i)
        tick();
    EXPECT_EQ(monitor->Log().rowCount(), before);
    EXPECT_EQ(counter(3, 0), QStringLiteral("5"));
    monitor->ButtonPauza->click();
    EXPECT_EQ(monitor->ButtonPauza->text(), QStringLiteral("Pauza"));
    EXPECT_EQ(monitor->Log().rowCount(), before + 1);
    EXPECT_TRUE(lastLineHas(QStringLiteral("pominięto 4 wpisy"))) << lastLine();

    monitor->ButtonWyczysc->click();
    EXPECT_EQ(monitor->Log().rowCount(), 0);
    EXPECT_EQ(counter(3, 0), QStringLiteral("0"));
    tick();
    EXPECT_EQ(monitor->Log().rowCount(), 1);
}

TEST_F(MonitorTest, SavesTheLogAsText)
{
    tick();
    bus->write(fromHex("5A 04 04 12 34 03 39 E4"));
    ASSERT_TRUE(waitFor([&] { return monitor->Log().rowCount() == 2; }));
    const QString path = QString::fromStdString(sandbox.home() + "/magistrala.txt");
    seams().chooseMonitorLogFile = [&](QWidget*) { return path; };
    monitor->ButtonZapisz->click();
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    EXPECT_EQ(QString::fromUtf8(file.readAll()), monitor->Lines().join(QLatin1Char('\n')) + QLatin1Char('\n'));
    EXPECT_TRUE(messages.empty());

    // Cancelled: nothing written, nothing said.
    seams().chooseMonitorLogFile = [](QWidget*) { return QString(); };
    monitor->ButtonZapisz->click();
    EXPECT_TRUE(messages.empty());

    // A folder that does not exist: the window's error box says so.
    seams().chooseMonitorLogFile = [&](QWidget*) { return QString::fromStdString(sandbox.home() + "/nie/ma/log.txt"); };
    monitor->ButtonZapisz->click();
    ASSERT_EQ(errors().size(), 1u);
    EXPECT_TRUE(errors()[0].text.contains(QStringLiteral("log.txt"))) << errors()[0].text;

    // A FIFO, with or without a reader, is refused at once rather than holding the window.
    const std::string fifo = sandbox.home() + "/fifo.txt";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    seams().chooseMonitorLogFile = [&](QWidget*) { return QString::fromStdString(fifo); };
    monitor->ButtonZapisz->click();
    const int reader = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
    monitor->ButtonZapisz->click();
    ::close(reader);
    ASSERT_EQ(errors().size(), 3u);
    EXPECT_TRUE(errors()[2].text.contains(QStringLiteral("zwykły plik"))) << errors()[2].text;
}

TEST_F(MonitorTest, TheWireCarriesExactlyWhatTheMonitorShows)
{
    // Polls, a command, a broadcast: the bytes read off the pty are the bytes of the "→" lines.
    ByteString wire;
    wire += tickAndRead(5);
    form->Z1_4->setChecked(true);
    form->Button3->click();   // START to all
    wire += tickAndRead(5);
    form->Link.BroadcastTick = BroadcastEvery - 1;
    wire += tickAndRead(10);
    wire += tickAndRead(5);

    ByteString shown;
    for (int row = 0; row < monitor->Log().rowCount(); ++row)
        if (monitor->Log().at(row).kind == TMonitorLog::Kind::Sent)
            shown += fromHex(monitor->Log().at(row).bytes.toStdString());
    EXPECT_EQ(toHex(shown), toHex(wire));
    EXPECT_EQ(wire.size(), 25u);
}

TEST_F(MonitorTest, AMonitorDestroyedTakesItselfOffTheWindow)
{
    delete form->FMonitor;
    form->FMonitor = nullptr;
    EXPECT_EQ(form->Traffic->watchers(), 0);
    EXPECT_EQ(tickAndRead(5).size(), 5u);
}

} // namespace
