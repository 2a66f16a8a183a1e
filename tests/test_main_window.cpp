// needs: qt
// The main window's start-up, connection, port list, menu and exception handler, against
// virtual ports that are links to pseudo-terminals.
#include "tests/test_main_window_fixture.h"

#include <QAction>
#include <QDialog>
#include <QMenu>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QPointer>
#include <QClipboard>
#include <sys/resource.h>

#include "dialogs/JakieCOMy.h"
#include "dialogs/Pomoc.h"
#include "dialogs/Zmienadres.h"
#include "base/Exceptions.h"
#include "files/ConfigPaths.h"
#include "link/Tick.h"

namespace {

double cpuSeconds()
{
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return u.ru_utime.tv_sec + u.ru_stime.tv_sec + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

} // namespace

TEST_F(WindowTest, StartsWithoutPortsDisconnectedAndSmall)
{
    TForm1& w = createWindow();
    EXPECT_EQ(w.windowTitle(), QStringLiteral("Kadrel v2.6"));
    EXPECT_EQ(w.ComCombo->count(), 0);
    EXPECT_EQ(w.ComCombo->currentIndex(), -1);
    EXPECT_FALSE(w.Button_polacz->isEnabled());
    EXPECT_TRUE(disconnectedState());
    EXPECT_TRUE(w.PortNames.isEmpty());
    EXPECT_TRUE(w.PortDevices.isEmpty());
    EXPECT_EQ(w.ComPort->BaudRate(), br19200);
    // The missing settings file is the only thing said at start-up.
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].kind, MsgKind::Plain);
    EXPECT_TRUE(errors().empty());

    // "COM?" with no port: the dialog comes up with two empty memos and no error.
    w.FormJakieCOM = new TFormJakieCOM(&w);
    w.Button6->click();
    EXPECT_TRUE(w.FormJakieCOM->isVisible());
    EXPECT_TRUE(w.FormJakieCOM->PortyCom->toPlainText().isEmpty());
    EXPECT_TRUE(w.FormJakieCOM->DevCom->toPlainText().isEmpty());
    EXPECT_TRUE(errors().empty());
    EXPECT_FALSE(w.Button_polacz->isEnabled());
}

TEST_F(WindowTest, ListsVirtualPortsInNameOrderAndSelectsTheFirst)
{
    TestPty& b = addPort("B-second");
    TestPty& a = addPort("A-first");
    TForm1& w = createWindow();
    ASSERT_EQ(w.ComCombo->count(), 2);
    EXPECT_EQ(w.ComCombo->itemText(0).toStdString(), portPath("A-first"));
    EXPECT_EQ(w.ComCombo->itemText(1).toStdString(), portPath("B-second"));
    EXPECT_EQ(w.ComCombo->currentIndex(), 0);
    EXPECT_EQ(w.ComPort->Port(), portPath("A-first"));
    EXPECT_TRUE(w.Button_polacz->isEnabled());
    ASSERT_EQ(w.PortNames.size(), 2);
    ASSERT_EQ(w.PortDevices.size(), 2);
    EXPECT_EQ(w.PortNames[0].toStdString(), portPath("A-first"));
    EXPECT_EQ(w.PortDevices[0].toStdString(), "virtual " + a.slavePath());
    EXPECT_EQ(w.PortDevices[1].toStdString(), "virtual " + b.slavePath());

    // The port list dialog shows them line for line.
    w.FormJakieCOM = new TFormJakieCOM(&w);
    w.Button6->click();
    EXPECT_EQ(w.FormJakieCOM->PortyCom->toPlainText().split('\n').size(), 2);
    EXPECT_EQ(w.FormJakieCOM->DevCom->toPlainText().split('\n').value(1).toStdString(), "virtual " + b.slavePath());
}

TEST_F(WindowTest, ConnectAndStop)
{
    addPort("BUS");
    TForm1& w = createWindow();
    w.show();
    const int smallHeight = w.height();
    pauses.clear();

    w.Button_polacz->click();
    EXPECT_TRUE(connectedState());
    EXPECT_EQ(BackColor(w.Edit_status), NamedColor::clLime);
    EXPECT_FALSE(w.ComCombo->isEnabled());
    EXPECT_TRUE(w.GroupZegary->isVisible());
    EXPECT_TRUE(w.Opcje1->isEnabled());
    EXPECT_TRUE(w.Opcje1->menuAction()->isEnabled());
    EXPECT_TRUE(w.Button_polacz->isEnabled());   // START stays enabled while connected
    EXPECT_EQ(pauses, std::vector<int>{100});
    EXPECT_GT(w.height(), smallHeight + 200);    // the clock group made the window grow

    // A second START repeats the connected state without reopening.
    w.Button_polacz->click();
    EXPECT_TRUE(connectedState());

    w.Button2->click();
    EXPECT_TRUE(disconnectedState());
    EXPECT_EQ(w.height(), smallHeight);          // and shrinks back to the connection strip
    EXPECT_TRUE(errors().empty());
}

TEST_F(WindowTest, ConnectWithoutSelectionOnlyRunsTheDisconnectWait)
{
    addPort("BUS");
    TForm1& w = createWindow();
    w.ComCombo->setCurrentIndex(-1);
    w.Button_polacz->click();
    EXPECT_TRUE(disconnectedState());
    EXPECT_EQ(pauses, std::vector<int>{100});
    EXPECT_TRUE(errors().empty());
}

TEST_F(WindowTest, PortThatCannotBeOpenedShowsOneErrorAndStaysDisconnected)
{
    addPort("BUS");
    TComPort other;   // another program holds the port
    other.SetPort(portPath("BUS"));
    other.OpenPort();

    TForm1& w = createWindow(false);
    messages.clear();
    w.Button_polacz->setEnabled(false);
    // Through the event loop, as a click on "START" arrives.
    QTimer::singleShot(0, &w, [&] { w.Button_polacz->setEnabled(true); w.Button_polacz->click(); });
    ASSERT_TRUE(waitFor([&] { return !errors().empty(); }));
    QTest::qWait(50);
    ASSERT_EQ(errors().size(), 1u);
    EXPECT_TRUE(errors()[0].text.startsWith(QStringLiteral("Unable to open com port"))) << errors()[0].text;
    EXPECT_TRUE(w.Button_polacz->isEnabled());
    EXPECT_TRUE(disconnectedState());
    EXPECT_EQ(beeps, 0);
}

TEST_F(WindowTest, AutoConnectOnFirstShowOnly)
{
    addPort("BUS");
    TForm1& w = createWindow();
    w.BoxAuto->setChecked(true);
    w.show();
    EXPECT_TRUE(connectedState());
    w.Button2->click();
    w.hide();
    w.show();
    EXPECT_TRUE(disconnectedState());
}

TEST_F(WindowTest, ClosingTheWindowDisconnects)
{
    addPort("BUS");
    TForm1& w = createWindow();
    w.show();
    connectWindow();
    bool closed = false;
    QObject::connect(&w, &TForm1::windowClosed, [&] { closed = true; });
    w.close();
    EXPECT_TRUE(closed);
    EXPECT_EQ(w.Link.LinkActive, 0);
    EXPECT_FALSE(w.ComPort->Connected());
}

TEST_F(WindowTest, ComComboChangeAndExit)
{
    addPort("A");
    addPort("B");
    TForm1& w = createWindow();
    w.Button_polacz->setEnabled(false);
    w.ComCombo->setCurrentIndex(1);
    emit w.ComCombo->activated(1);   // the operator's pick
    EXPECT_TRUE(w.Button_polacz->isEnabled());
    EXPECT_EQ(w.ComPort->Port(), portPath("B"));

    w.ComCombo->setCurrentIndex(-1);
    w.ComComboExit();
    EXPECT_FALSE(w.Button_polacz->isEnabled());
}

TEST_F(WindowTest, StopWhileDisconnectedKeepsTheWindowResponsiveWithoutSpinning)
{
    TForm1& w = createWindow();
    tickPace().disconnectWaitMs = 30;
    int fired = 0;
    QTimer ticker;
    QObject::connect(&ticker, &QTimer::timeout, [&] { ++fired; });
    ticker.start(20);
    const double cpuBefore = cpuSeconds();
    const auto start = std::chrono::steady_clock::now();
    w.Button2->click();
    const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const double cpu = cpuSeconds() - cpuBefore;
    EXPECT_GE(wall, 0.29);
    EXPECT_GE(fired, 5);             // events were handled during the wait
    EXPECT_LT(cpu, wall * 0.5);      // and it blocked rather than spun
    EXPECT_TRUE(disconnectedState());
    EXPECT_TRUE(messages.size() == 1u);  // only the start-up note about the settings file
}

TEST_F(WindowTest, StartClickedDuringTheDisconnectWaitKeepsTheNewConnection)
{
    addPort("BUS");
    TForm1& w = createWindow();
    connectWindow();
    tickPace().disconnectWaitMs = 20;
    QTimer::singleShot(50, &w, [&] { w.Button_polacz->click(); });
    w.Button2->click();
    EXPECT_TRUE(connectedState());
    EXPECT_EQ(w.Edit_status->text(), QStringLiteral("POŁĄCZONY"));
}

TEST_F(WindowTest, ComQuestionDisconnectsFirst)
{
    addPort("BUS");
    TForm1& w = createWindow();
    connectWindow();
    w.FormJakieCOM = new TFormJakieCOM(&w);
    w.Button6->click();
    EXPECT_TRUE(disconnectedState());
    EXPECT_TRUE(w.Button_polacz->isEnabled());
    EXPECT_EQ(w.FormJakieCOM->PortyCom->toPlainText().toStdString(), portPath("BUS"));
}

TEST_F(WindowTest, MenuEnablingFollowsTheConnection)
{
    addPort("BUS");
    TForm1& w = createWindow();
    EXPECT_EQ(w.MainMenu1->actions().size(), 4);   // "Opcje", "Zdalne sterowanie", "Pomoc", "Monitor"
    // The captions as shown, without the mnemonic mark.
    auto shown = [](QString text) { return text.remove(QLatin1Char('&')); };
    EXPECT_EQ(shown(w.Opcje1->title()), QStringLiteral("Opcje"));
    EXPECT_EQ(shown(w.Zmianaadresu1->text()), QStringLiteral("Zmiana adresu"));
    EXPECT_EQ(shown(w.Aktualizacja1->text()), QStringLiteral("Aktualizacja firmware"));
    EXPECT_EQ(shown(w.Zapiszustawienia1->text()), QStringLiteral("Zapisz ustawienia"));
    EXPECT_EQ(shown(w.Pomoc2->text()), QStringLiteral("Pomoc"));
    EXPECT_FALSE(w.Opcje1->menuAction()->isEnabled());
    EXPECT_TRUE(w.Pomoc2->isEnabled());
    connectWindow();
    EXPECT_TRUE(w.Opcje1->menuAction()->isEnabled());
    w.Button2->click();
    EXPECT_FALSE(w.Opcje1->menuAction()->isEnabled());
    EXPECT_TRUE(w.Pomoc2->isEnabled());
}

TEST_F(WindowTest, ModalDialogsAreFreshAndDestroyedAfterClosing)
{
    addPort("BUS");
    TForm1& w = createWindow();
    connectWindow();
    for (QAction* item : {w.Pomoc2, w.Zmianaadresu1}) {
        QPointer<QDialog> seen;
        bool storedWhileOpen = false;
        QTimer::singleShot(50, &w, [&] {
            seen = qobject_cast<QDialog*>(QApplication::activeModalWidget());
            QDialog* stored = item == w.Pomoc2 ? static_cast<QDialog*>(w.FPomoc) : static_cast<QDialog*>(w.FAdresy);
            storedWhileOpen = seen && seen == stored;
            if (seen)
                seen->reject();
        });
        item->trigger();
        EXPECT_TRUE(storedWhileOpen) << item->text();
        EXPECT_TRUE(seen.isNull()) << "the dialog is destroyed after its modal loop";
        EXPECT_EQ(w.FPomoc, nullptr);
        EXPECT_EQ(w.FAdresy, nullptr);
    }
    EXPECT_EQ(w.Link.LinkActive, 1);   // the address dialog gives the link back when it closes
}

TEST_F(WindowTest, ConversionErrorInTheTickDisconnectsAndKeepsTheCommand)
{
    addPort("BUS");
    TForm1& w = createWindow();
    w.show();
    connectWindow();
    messages.clear();
    ptys[0]->drain(std::chrono::milliseconds(10));

    // A paste gets past the key filter.
    QApplication::clipboard()->setText(QStringLiteral("a"));
    w.Medit->clear();
    w.Medit->paste();
    ASSERT_EQ(w.Medit->text(), QStringLiteral("a"));
    w.MeditExit();
    EXPECT_EQ(w.Medit->text(), QStringLiteral("0a"));
    w.Button5->click();
    ASSERT_EQ(w.Link.PendingCommand, 3);

    ASSERT_TRUE(tickUntil([&] { return messages.size() >= 2; }));
    ASSERT_EQ(messages.size(), 2u);
    EXPECT_EQ(messages[0].kind, MsgKind::Error);
    EXPECT_TRUE(messages[0].text.contains(QStringLiteral("'a' is not a valid integer value"))) << messages[0].text;
    EXPECT_EQ(messages[1].kind, MsgKind::Plain);
    EXPECT_EQ(messages[1].text, QStringLiteral("Port COM niedostępny"));
    EXPECT_EQ(beeps, 1);
    EXPECT_TRUE(disconnectedState());
    EXPECT_EQ(w.Link.PendingCommand, 3);   // tried again once traffic runs again
    EXPECT_TRUE(ptys[0]->drain(std::chrono::milliseconds(20)).empty());
}

TEST_F(WindowTest, ConversionErrorWhenTheSecondsFieldLosesFocus)
{
    addPort("BUS");
    TForm1& w = createWindow();
    w.show();
    w.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&w));
    connectWindow();
    messages.clear();

    w.Sedit->setFocus();
    ASSERT_TRUE(waitFor([&] { return w.Sedit->hasFocus(); }));
    w.Sedit->setText(QStringLiteral("x"));
    w.Medit->setFocus();   // the focus-out runs the normalisation, which cannot convert "0x"
    ASSERT_TRUE(waitFor([&] { return messages.size() >= 2; }));
    EXPECT_EQ(messages[0].kind, MsgKind::Error);
    EXPECT_EQ(messages[1].text, QStringLiteral("Port COM niedostępny"));
    EXPECT_EQ(beeps, 1);
    EXPECT_TRUE(disconnectedState());
    EXPECT_EQ(w.Sedit->text(), QStringLiteral("0x"));
}

TEST_F(WindowTest, OtherExceptionsOnlyReportAndReenableStart)
{
    TForm1& w = createWindow();
    messages.clear();
    ASSERT_FALSE(w.Button_polacz->isEnabled());
    w.HandleException(std::make_exception_ptr(EInOutError("No such file or directory", 2)));
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].kind, MsgKind::Error);
    EXPECT_EQ(messages[0].text, QStringLiteral("No such file or directory"));
    EXPECT_EQ(beeps, 0);
    EXPECT_TRUE(w.Button_polacz->isEnabled());
}

TEST_F(WindowTest, AFailureRepeatingWhileItsBoxIsOpenIsShownOnce)
{
    tickPace().intervalMs = 10;
    addPort("BUS");
    TForm1& w = createWindow(false);
    connectWindow();
    messages.clear();
    w.ComPort->ClosePort();   // every tick's write now fails with the same error
    int shownDuringBox = -1;
    onMessage = [&](MsgKind kind, const QString&) {
        if (kind != MsgKind::Error || shownDuringBox >= 0)
            return;
        // Behave like a modal box: events, ticks included, run while it is open.
        const size_t before = messages.size();
        QTest::qWait(200);
        shownDuringBox = static_cast<int>(messages.size() - before);
    };
    ASSERT_TRUE(waitFor([&] { return shownDuringBox >= 0; }));
    w.Timer->stop();
    EXPECT_EQ(shownDuringBox, 0);
    EXPECT_TRUE(errors()[0].text.startsWith(QStringLiteral("Port Not Open"))) << errors()[0].text;
}

TEST_F(WindowTest, ALostDeviceDisconnectsWithOneMessage)
{
    TestPty& bus = addPort("BUS");
    TForm1& w = createWindow();
    connectWindow();
    messages.clear();
    bus.closeMaster();
    bus.closeSlave();
    ASSERT_TRUE(waitFor([&] { return !messages.empty(); }));
    QTest::qWait(100);
    EXPECT_EQ(errors().size(), 1u);
    EXPECT_TRUE(disconnectedState());
    EXPECT_TRUE(w.Button_polacz->isEnabled());
}

TEST(SeamPaths, FollowTheXdgVariables)
{
    XdgSandbox sandbox;
    resetSeams();
    EXPECT_EQ(settingsFilePath().toStdString(), sandbox.settingsFile());
    EXPECT_EQ(virtualPortFolder().toStdString(), sandbox.portsDir());

    setenv("XDG_CONFIG_HOME", "relative/config", 1);   // not absolute: ignored
    EXPECT_EQ(settingsFilePath().toStdString(), sandbox.home() + "/.config/kadrel/z.cf");
    unsetenv("XDG_CONFIG_HOME");
    EXPECT_EQ(settingsFilePath().toStdString(), sandbox.home() + "/.config/kadrel/z.cf");

    unsetenv("XDG_RUNTIME_DIR");
    EXPECT_EQ(virtualPortFolder().toStdString(), "/tmp/kadrel-" + std::to_string(getuid()) + "/ports");

    configRoots().settingsPath = QStringLiteral("/elsewhere/z.cf");
    configRoots().virtualPortDir = QStringLiteral("/elsewhere/ports");
    EXPECT_EQ(settingsFilePath(), QStringLiteral("/elsewhere/z.cf"));
    EXPECT_EQ(virtualPortFolder(), QStringLiteral("/elsewhere/ports"));
    resetSeams();
}
