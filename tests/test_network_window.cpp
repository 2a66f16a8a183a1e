// needs: qt
// Network ports from the window's side: the "Porty sieciowe" dialog and the lists it feeds,
// polls through ser2net that put the same bytes on the pty as a direct connection, a server
// that stops (one box), and profiles (folder, window title, one instance each).
#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QElapsedTimer>
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include "files/Profile.h"
#include "dialogs/JakieCOMy.h"
#include "dialogs/PortySieciowe.h"
#include "serial/NetworkPorts.h"
#include "tests/support/Ser2net.h"
#include "tests/test_dialogs_bench.h"
#include "files/ConfigPaths.h"

namespace {

QStringList lines(const QPlainTextEdit* memo)
{
    const QString text = memo->toPlainText();
    return text.isEmpty() ? QStringList() : text.split(QLatin1Char('\n'));
}

void addNetworkPort(const std::string& address)
{
    std::vector<std::string> list = NetworkPorts::load(networkPortsPath().toStdString());
    list.push_back(address);
    ASSERT_EQ(NetworkPorts::save(networkPortsPath().toStdString(), list), 0);
}

} // namespace

TEST(NetworkPortsDialog, AddRefuseRemoveAndTheListsFollow)
{
    DialogBench bench(1);
    TForm1& w = bench.open();
    w.FormJakieCOM = new TFormJakieCOM(&w);
    w.FormJakieCOM->Button1Click();

    whenModal<TFPortySieciowe>([&](TFPortySieciowe& d) {
        d.Rodzaj->setCurrentIndex(0);  // RFC 2217
        d.Adres->setText(QStringLiteral("serwer.lan"));
        d.PortIp->setValue(4001);
        d.Dodaj->click();
        d.Rodzaj->setCurrentIndex(1);  // TCP
        d.Adres->setText(QStringLiteral("fe80::7"));
        d.PortIp->setValue(23);
        d.Dodaj->click();
        d.Adres->setText(QStringLiteral("zła nazwa"));
        d.Dodaj->click();   // refused: a space
        d.Adres->setText(QStringLiteral("fe80::7"));
        d.Dodaj->click();   // refused: already there
        EXPECT_EQ(d.Lista->count(), 2);

        // The port list behind the dialog already shows both, after the virtual port.
        EXPECT_EQ(lines(w.FormJakieCOM->PortyCom).mid(1),
                  (QStringList{QStringLiteral("rfc2217://serwer.lan:4001"), QStringLiteral("tcp://[fe80::7]:23")}));
        EXPECT_EQ(lines(w.FormJakieCOM->DevCom).mid(1),
                  (QStringList{QStringLiteral("sieć RFC 2217"), QStringLiteral("sieć TCP")}));

        d.Lista->setCurrentRow(0);
        d.Usun->click();
        d.Zamknij->click();
    });
    w.FormJakieCOM->ButtonSiec->click();

    EXPECT_EQ(readFile(networkPortsPath().toStdString()), "tcp://[fe80::7]:23\n");
    EXPECT_EQ(lines(w.FormJakieCOM->PortyCom).size(), 2);
    EXPECT_EQ(w.ComCombo->count(), 2);
    ASSERT_EQ(bench.messages.size(), 2u) << bench.messageText();
    EXPECT_TRUE(bench.messages[0].contains(QStringLiteral("Nieprawidłowy adres")));
    EXPECT_TRUE(bench.messages[1].contains(QStringLiteral("już jest na liście")));
}

TEST(NetworkPortsWindow, ServerStoppedShowsOneBoxThenReconnectsWhenItIsBack)
{
    DialogBench bench(0);
    TestPty pty;
    Ser2net server(pty.slavePath());
    if (!server.ok())
        GTEST_SKIP() << "ser2net did not start";
    addNetworkPort(server.rfc2217Url());
    TForm1& w = bench.open();
    w.Clocks[1].boxActiv->setChecked(true);
    bench.connect(1);
    runEventsFor(100);
    server.stop();
    for (int i = 0; i < 100 && w.ComPort->Connected(); ++i)
        runEventsFor(20);
    runEventsFor(300);  // ticks go on: no further box
    EXPECT_FALSE(w.ComPort->Connected());
    EXPECT_EQ(w.Edit_status->text(), QStringLiteral("ROZŁĄCZONY"));
    ASSERT_EQ(bench.messages.size(), 1u) << bench.messageText();
    EXPECT_TRUE(bench.messages[0].contains(QStringLiteral("(Error: "))) << bench.messageText();

    // The wait for the server: tried again at a calm pace, without boxes, until it is back.
    ASSERT_TRUE(w.WaitingForPort());
    runEventsFor(2500);
    EXPECT_FALSE(w.ComPort->Connected());
    EXPECT_EQ(bench.messages.size(), 1u) << bench.messageText();
    server.restart();
    ASSERT_TRUE(server.ok());
    for (int i = 0; i < 200 && !w.ComPort->Connected(); ++i)
        runEventsFor(20);
    EXPECT_TRUE(w.ComPort->Connected());
    EXPECT_EQ(w.Edit_status->text(), QStringLiteral("POŁĄCZONY"));
    EXPECT_EQ(bench.messages.size(), 1u) << bench.messageText();
}

TEST(NetworkPortsWindow, RefusedServerIsTheOpenFailureBox)
{
    DialogBench bench(0);
    addNetworkPort("rfc2217://127.0.0.1:" + std::to_string(Ser2net::freePort()));
    TForm1& w = bench.open();
    w.ComCombo->setCurrentIndex(0);
    w.guard([&] { w.Button_polaczClick(); });
    ASSERT_EQ(bench.messages.size(), 1u) << bench.messageText();
    EXPECT_TRUE(bench.messages[0].startsWith(QStringLiteral("Unable to open com port (Error: 111)")));
    EXPECT_FALSE(w.ComPort->Connected());
}

TEST(Profiles, FolderTitleAndOneInstanceEach)
{
    struct Case {
        QStringList args;
        const char* name;
        bool error;
    };
    const Case cases[] = {
        {{"kadrel"}, "", false},
        {{"kadrel", "--profile", "hala-2"}, "hala-2", false},
        {{"kadrel", "-platform", "offscreen", "--profile=Sala_B.1"}, "Sala_B.1", false},
        {{"kadrel", "--profile"}, "", true},
        {{"kadrel", "--profile", "../etc"}, "", true},
        {{"kadrel", "--profile", ".ukryty"}, "", true},
        {{"kadrel", "--profile="}, "", true},
    };
    for (const Case& c : cases) {
        const ProfileChoice p = ParseProfileArguments(c.args);
        EXPECT_EQ(p.name, QString::fromLatin1(c.name)) << c.args.join(' ').toStdString();
        EXPECT_EQ(!p.error.isEmpty(), c.error) << c.args.join(' ').toStdString();
    }

    DialogBench bench(0);
    const QString plain = configFolder();
    configRoots().profile = QStringLiteral("hala-2");
    EXPECT_EQ(configFolder(), plain + QStringLiteral("/hala-2"));
    EXPECT_EQ(settingsFilePath(), plain + QStringLiteral("/hala-2/z.cf"));
    EXPECT_EQ(networkPortsPath(), plain + QStringLiteral("/hala-2/network-ports"));
    TForm1& w = bench.open();
    EXPECT_EQ(w.windowTitle(), QStringLiteral("Kadrel v2.6 – profil hala-2"));

    QString message;
    EXPECT_TRUE(LockProfile(configFolder(), QStringLiteral("hala-2"), message)) << message.toStdString();
    // A second holder (another open of the lock file, as a second process would have) is refused.
    bool heldElsewhere = false;
    EXPECT_FALSE(LockProfile(configFolder(), QStringLiteral("hala-2"), message, &heldElsewhere));
    EXPECT_TRUE(message.contains(QStringLiteral("jest już otwarty"))) << message.toStdString();
    EXPECT_TRUE(heldElsewhere);
    EXPECT_TRUE(LockProfile(plain + QStringLiteral("/hala-3"), QStringLiteral("hala-3"), message));
    configRoots().profile.clear();
}

TEST(NetworkPortsWindow, StopWhileConnectingGivesUpWithoutABoxAndStartTwiceChangesNothing)
{
    // A server whose kernel completes the connection but which never says a word.
    const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    ASSERT_EQ(::listen(listener, 4), 0);
    socklen_t len = sizeof a;
    ::getsockname(listener, reinterpret_cast<sockaddr*>(&a), &len);

    DialogBench bench(0);
    addNetworkPort("rfc2217://127.0.0.1:" + std::to_string(ntohs(a.sin_port)));
    TForm1& w = bench.open();
    w.ComCombo->setCurrentIndex(0);
    bool startIgnored = false;
    QTimer::singleShot(150, &w, [&] {
        w.Button_polaczClick();  // while the first is still connecting
        startIgnored = w.ComPort->Opening();
    });
    QTimer::singleShot(300, &w, [&] { w.Button2Click(); });
    QElapsedTimer clock;
    clock.start();
    w.guard([&] { w.Button_polaczClick(); });
    EXPECT_LT(clock.elapsed(), 2000);
    EXPECT_TRUE(startIgnored);
    EXPECT_FALSE(w.ComPort->Connected());
    EXPECT_FALSE(w.ComPort->Opening());
    EXPECT_EQ(w.Edit_status->text(), QStringLiteral("ROZŁĄCZONY"));
    EXPECT_TRUE(bench.messages.empty()) << bench.messageText();
    ::close(listener);
}
