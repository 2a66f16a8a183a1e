// needs: qt
// The port list dialog: its two memos against the device map (virtual ports leading to test
// pseudo-terminals, an empty sysfs), refreshes, and a refresh while connected.
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <gtest/gtest.h>

#include "dialogs/JakieCOMy.h"
#include "tests/test_dialogs_bench.h"

namespace {

QStringList lines(const QPlainTextEdit* memo)
{
    const QString text = memo->toPlainText();
    return text.isEmpty() ? QStringList() : text.split(QLatin1Char('\n'));
}

TFormJakieCOM* portDialog(TForm1& w)
{
    w.FormJakieCOM = new TFormJakieCOM(&w);  // as the program entry does, once
    return w.FormJakieCOM;
}

} // namespace

TEST(PortList, NoPortsLeavesBothMemosEmptyAndStartDisabled)
{
    DialogBench bench(0);
    TForm1& w = bench.open();
    TFormJakieCOM* d = portDialog(w);
    EXPECT_FALSE(d->isVisible());  // created hidden

    d->Button1Click();
    EXPECT_TRUE(d->isVisible());
    EXPECT_TRUE(lines(d->PortyCom).isEmpty());
    EXPECT_TRUE(lines(d->DevCom).isEmpty());
    EXPECT_FALSE(w.Button_polacz->isEnabled());
    EXPECT_TRUE(bench.messages.empty()) << bench.messageText();
}

TEST(PortList, ThreePortsLineForLineAndRefreshesDoNotDouble)
{
    DialogBench bench(3);
    TForm1& w = bench.open();
    TFormJakieCOM* d = portDialog(w);

    QStringList names, devices;
    for (int k = 1; k <= 3; ++k) {
        names << QString::fromStdString(bench.portPath(k));
        devices << QStringLiteral("virtual ") + QString::fromStdString(bench.pty(k).slavePath());
    }

    d->Button1Click();
    EXPECT_EQ(lines(d->PortyCom), names);
    EXPECT_EQ(lines(d->DevCom), devices);
    EXPECT_TRUE(w.Button_polacz->isEnabled());

    d->Button1->click();
    EXPECT_EQ(lines(d->PortyCom), names);
    EXPECT_EQ(lines(d->DevCom), devices);

    // A port that appears is listed at the next refresh, in its place.
    TestPty& fourth = bench.addPort();
    d->Button1Click();
    names << QString::fromStdString(bench.portPath(4));
    devices << QStringLiteral("virtual ") + QString::fromStdString(fourth.slavePath());
    EXPECT_EQ(lines(d->PortyCom), names);
    EXPECT_EQ(lines(d->DevCom), devices);
}

TEST(PortList, CloseBoxOnlyHidesAndComQuestionFillsItAgain)
{
    DialogBench bench(2);
    TForm1& w = bench.open();
    TFormJakieCOM* d = portDialog(w);
    QPointer<TFormJakieCOM> alive(d);

    d->Button1Click();
    d->close();
    EXPECT_TRUE(alive);
    EXPECT_FALSE(d->isVisible());
    EXPECT_FALSE(d->isModal());

    d->PortyCom->setPlainText(QStringLiteral("stale"));
    w.Button6Click();  // "COM?"
    EXPECT_TRUE(d->isVisible());
    EXPECT_EQ(lines(d->PortyCom).size(), 2);
    EXPECT_EQ(lines(d->DevCom).size(), 2);
    EXPECT_EQ(lines(d->PortyCom).first(), QString::fromStdString(bench.portPath(1)));
}

// Connected to the second port, a refresh selects the first: the port object moves to it and
// stays open, polling goes on there, and the window still shows the connection.
TEST(PortList, RefreshWhileConnectedMovesThePortToTheFirstListed)
{
    DialogBench bench(2);
    TForm1& w = bench.open();
    TFormJakieCOM* d = portDialog(w);
    bench.connect(2);
    runEventsFor(100);
    ASSERT_GE(countPolls(bench.pty(2).drain()), 2);
    EXPECT_EQ(countPolls(bench.pty(1).drain()), 0);

    d->Button1Click();
    EXPECT_EQ(w.ComPort->Port(), bench.portPath(1));
    EXPECT_TRUE(w.ComPort->Connected());
    EXPECT_EQ(w.Edit_status->text(), QStringLiteral("POŁĄCZONY"));
    EXPECT_EQ(w.Link.LinkActive, 1);
    EXPECT_EQ(w.ComCombo->currentIndex(), 0);
    EXPECT_EQ(lines(d->PortyCom).size(), 2);

    bench.pty(2).drain();
    runEventsFor(150);
    EXPECT_GE(countPolls(bench.pty(1).drain()), 3);
    EXPECT_EQ(countPolls(bench.pty(2).drain()), 0);
    EXPECT_TRUE(bench.messages.empty()) << bench.messageText();
}
