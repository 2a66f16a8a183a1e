// needs: qt
// "Zdalne sterowanie": switching the server on and off, the addresses with their QR codes, a new
// token; and the settings file it keeps beside the window's own.
#include <QCheckBox>
#include <QClipboard>
#include <QComboBox>
#include <QFile>
#include <QLabel>
#include <QPixmap>
#include <QSpinBox>
#include <QTabWidget>
#include <QTcpServer>
#include <sys/stat.h>

#include "dialogs/QrImage.h"
#include "dialogs/Zdalne.h"
#include "mqtt/MqttBridge.h"
#include "remote/RemoteService.h"
#include "tests/test_main_window_fixture.h"
#include "tests/support/BuildPaths.h"
#include "tests/support/TempDir.h"

namespace {

using RemoteDialogTest = WindowTest;

// A stopwatch with no window, for the service's settings alone.
class NoWindowHost final : public StopwatchHost {
public:
    PanelView panelView() const override { return {}; }
    CommandOutcome runStopwatchCommand(const StopwatchCommand&) override { return {}; }
    void watchPanels(std::function<void()>) override {}
};

quint16 freeLoopbackPort()
{
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    return probe.serverPort();
}

TEST(RemoteSettingsTest, TokenIsLongRandomAndComparedWhole)
{
    const QByteArray a = newAccessToken(), b = newAccessToken();
    EXPECT_EQ(a.size(), 43);   // 256 bits
    EXPECT_NE(a, b);
    EXPECT_EQ(a.count('='), 0);
    const struct {
        QByteArray given;
        bool same;
    } cases[] = {{a, true}, {b, false}, {a.left(42), false}, {a + "x", false}, {QByteArray(), false},
                 {QByteArray(a).replace(42, 1, "?"), false}, {QByteArray(a).replace(0, 1, "?"), false}};
    for (const auto& c : cases)
        EXPECT_EQ(sameToken(c.given, a), c.same) << c.given.toStdString();
    EXPECT_FALSE(sameToken(QByteArray(), QByteArray()));   // no token set: nothing matches
}

TEST(RemoteSettingsTest, FileRoundTripIsPrivateAndForgiving)
{
    TempDir dir;
    const QString path = QString::fromStdString(dir.path() + "/sub/zdalne.json");
    const RemoteSettings fresh = RemoteSettings::load(path);   // missing file
    EXPECT_FALSE(fresh.enabled);
    EXPECT_EQ(fresh.port, RemoteSettings::DefaultPort);
    EXPECT_EQ(fresh.token.size(), 43);

    RemoteSettings s = fresh;
    s.enabled = true;
    s.port = 9123;
    ASSERT_TRUE(s.save(path).isEmpty());
    struct stat st{};
    ASSERT_EQ(::stat(path.toLocal8Bit().constData(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    const RemoteSettings back = RemoteSettings::load(path);
    EXPECT_TRUE(back.enabled);
    EXPECT_EQ(back.port, 9123);
    EXPECT_EQ(back.token, s.token);

    // Damaged or hostile contents fall back field by field; a short token is replaced.
    for (const QByteArray& junk : {QByteArray("{"), QByteArray(R"({"enabled":"yes","port":70000,"token":"abc"})"),
                                   QByteArray(R"([1,2,3])")}) {
        QFile f(path);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
        f.write(junk);
        f.close();
        const RemoteSettings r = RemoteSettings::load(path);
        EXPECT_FALSE(r.enabled);
        EXPECT_EQ(r.port, RemoteSettings::DefaultPort);
        EXPECT_EQ(r.token.size(), 43);
        EXPECT_FALSE(r.damage.isEmpty());
    }
}

// A file that is there but cannot be taken is named, and no part of it is used; a missing key
// or an out-of-range port is no damage.
TEST(RemoteSettingsTest, DamagedFileIsNamed)
{
    TempDir dir;
    const QString path = QString::fromStdString(dir.path() + "/zdalne.json");
    const QByteArray token = newAccessToken();
    const struct {
        QByteArray file;
        const char* why;   // in the sentence; empty when the file is taken
    } cases[] = {
        {R"({"enabled":true,"port":8480,"token":")" + token + R"(",})", "błąd składni JSON"},
        {R"({"enabled":"true","token":")" + token + R"("})", "„enabled”"},
        {R"({"enabled":true,"port":"8480","token":")" + token + R"("})", "„port”"},
        {R"({"enabled":true,"token":42})", "„token”"},
        {R"({"enabled":true,"token":")" + token + R"(","viewerKey":null})", "„viewerKey”"},
        {R"([1, 2])", "obiekt"},
        {"", "błąd składni JSON"},
        {R"({"enabled":true,"token":")" + token + R"("})", ""},
        {R"({"enabled":true,"port":70000,"token":")" + token + R"("})", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.file.toStdString());
        writeFile(path.toStdString(), c.file.toStdString());
        const RemoteSettings s = RemoteSettings::load(path);
        if (!*c.why) {
            EXPECT_TRUE(s.damage.isEmpty()) << s.damage.toStdString();
            EXPECT_TRUE(s.enabled);
            EXPECT_EQ(s.token, token);
            continue;
        }
        EXPECT_TRUE(s.damage.startsWith(QStringLiteral("Plik ustawień zdalnego sterowania ") + path)) << s.damage.toStdString();
        EXPECT_TRUE(s.damage.contains(QString::fromUtf8(c.why))) << s.damage.toStdString();
        EXPECT_FALSE(s.enabled);
        EXPECT_FALSE(s.viewerKeyMade);
        EXPECT_NE(s.token, token);
    }
}

// Files from before the view page, or edited by hand: the viewer key is made, never the token's
// twin, and kept once the service has read the file.
TEST(RemoteSettingsTest, ViewerKeyIsMadeWhenMissingOrEqualToTheToken)
{
    TempDir dir;
    const QString path = QString::fromStdString(dir.path() + "/zdalne.json");
    const QByteArray token = newAccessToken(), key = newAccessToken();
    const struct {
        QByteArray file;
        bool keptKey;    // the file's viewer key stays
        bool warned;     // a line on standard error says what was done
    } cases[] = {
        {R"({"enabled":true,"port":8480,"token":")" + token + R"("})", false, false},
        {R"({"enabled":true,"port":8480,"token":")" + token + R"(","viewerKey":")" + token + R"("})", false, true},
        {R"({"enabled":true,"port":8480,"token":")" + token + R"(","viewerKey":"short"})", false, false},
        {R"({"enabled":true,"port":8480,"token":")" + token + R"(","viewerKey":")" + key + R"("})", true, false},
    };
    static QStringList warnings;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.file.toStdString());
        QFile f(path);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
        f.write(c.file);
        f.close();
        warnings.clear();
        const QtMessageHandler before = qInstallMessageHandler(
            [](QtMsgType type, const QMessageLogContext&, const QString& m) { if (type == QtWarningMsg) warnings << m; });
        const RemoteSettings s = RemoteSettings::load(path);
        qInstallMessageHandler(before);
        EXPECT_EQ(s.token, token);
        EXPECT_EQ(s.viewerKey.size(), 43);
        EXPECT_NE(s.viewerKey, s.token);
        EXPECT_EQ(s.viewerKey == key, c.keptKey);
        EXPECT_EQ(s.viewerKeyMade, !c.keptKey);
        EXPECT_EQ(!warnings.isEmpty(), c.warned) << warnings.join(QLatin1Char('\n')).toStdString();

        // The service keeps what it was given: the key made is in the file from then on.
        NoWindowHost host;
        const RemoteService service(host, path);
        const RemoteSettings again = RemoteSettings::load(path);
        EXPECT_EQ(again.viewerKey, service.settings().viewerKey);
        EXPECT_FALSE(again.viewerKeyMade);
        EXPECT_EQ(again.token, token);
    }
}

TEST(QrImageTest, EncodesAnAddressWithAQuietZone)
{
    const QImage qr = qrImage(QStringLiteral("http://192.168.1.20:8480/?token=abcdefghijklmnopqrstuvwxyz0123456789ABCDEFG"), 4);
    ASSERT_FALSE(qr.isNull());
    EXPECT_EQ(qr.width(), qr.height());
    EXPECT_EQ(qr.width() % 4, 0);
    EXPECT_EQ(qr.pixelColor(0, 0), QColor(Qt::white));
    EXPECT_EQ(qr.pixelColor(16, 16), QColor(Qt::black));   // corner of the top-left finder pattern
}

TEST_F(RemoteDialogTest, SwitchesTheServerShowsAddressesAndRenewsTheToken)
{
    TForm1& w = createWindow();
    ASSERT_NE(w.Remote, nullptr);
    EXPECT_FALSE(w.Remote->running());   // off by default
    w.Remote->listenAddress = QHostAddress::LocalHost;
    const quint16 port = freeLoopbackPort();

    TFZdalne dialog(&w, w.Remote, w.Mqtt);
    EXPECT_EQ(dialog.windowTitle(), QStringLiteral("Zdalne sterowanie"));
    EXPECT_FALSE(dialog.BoxWlacz->isChecked());
    EXPECT_TRUE(dialog.LabelQR->pixmap().isNull());
    dialog.BoxWlacz->setChecked(true);
    dialog.EditPort->setValue(port);
    dialog.ButtonZastosuj->click();
    ASSERT_TRUE(w.Remote->running()) << w.Remote->lastError().toStdString();
    EXPECT_EQ(w.Remote->port(), port);
    EXPECT_TRUE(dialog.LabelStan->text().contains(QString::number(port)));
    ASSERT_GE(dialog.ComboAdresy->count(), 1);
    const QByteArray token = w.Remote->settings().token;
    EXPECT_TRUE(dialog.EditAdres->text().endsWith(QStringLiteral(":%1/?token=").arg(port) + QString::fromLatin1(token)));
    EXPECT_FALSE(dialog.LabelQR->pixmap().isNull());
    dialog.grab().save(QString::fromStdString(buildDir() + "/remote-dialog.png"));   // to look at

    const QString settingsPath = QString::fromStdString(sandbox.configDir()) + QStringLiteral("/kadrel/zdalne.json");
    EXPECT_EQ(RemoteSettings::load(settingsPath).token, token);
    EXPECT_FALSE(QFile::exists(QString::fromStdString(sandbox.settingsFile())));   // z.cf untouched

    dialog.ButtonNowyKlucz->click();
    const QByteArray renewed = w.Remote->settings().token;
    EXPECT_NE(renewed, token);
    EXPECT_TRUE(dialog.EditAdres->text().endsWith(QString::fromLatin1(renewed)));
    EXPECT_EQ(RemoteSettings::load(settingsPath).token, renewed);
    ASSERT_FALSE(messages.empty());
    EXPECT_EQ(messages.back().kind, MsgKind::Information);

    // The view page's tab: its own link and QR code, and its own new key that leaves the
    // operator's token alone.
    const QByteArray key = w.Remote->settings().viewerKey;
    EXPECT_TRUE(dialog.EditAdresPodgladu->text().endsWith(QStringLiteral(":%1/view?key=").arg(port) + QString::fromLatin1(key)));
    EXPECT_FALSE(dialog.LabelQRPodgladu->pixmap().isNull());
    // The overlay's link for the clock chosen, with the same key, its own code and its button.
    EXPECT_EQ(dialog.ButtonKopiujNakladke->text(), QStringLiteral("Kopiuj adres nakładki"));
    dialog.ComboZegarNakladki->setCurrentIndex(2);
    EXPECT_TRUE(dialog.EditAdresNakladki->text().endsWith(QStringLiteral(":%1/overlay?clock=3&viewer=").arg(port) +
                                                          QString::fromLatin1(key)))
        << dialog.EditAdresNakladki->text().toStdString();
    EXPECT_FALSE(dialog.LabelQRNakladki->pixmap().isNull());
    EXPECT_NE(dialog.LabelQRNakladki->pixmap().toImage(), dialog.LabelQRPodgladu->pixmap().toImage());
    dialog.ButtonKopiujNakladke->click();
    EXPECT_EQ(QApplication::clipboard()->text(), dialog.EditAdresNakladki->text());
    // With the broker link, the view's address may ask for the site's other buses too.
    ASSERT_NE(dialog.BoxKampus, nullptr);
    dialog.BoxKampus->setChecked(true);
    EXPECT_TRUE(dialog.EditAdresPodgladu->text().endsWith(QStringLiteral("/view?campus=1&key=") + QString::fromLatin1(key)));
    dialog.Strony->setCurrentIndex(1);
    dialog.grab().save(QString::fromStdString(buildDir() + "/remote-dialog-view.png"));   // to look at
    dialog.BoxKampus->setChecked(false);
    dialog.ButtonNowyKluczPodgladu->click();
    const QByteArray newKey = w.Remote->settings().viewerKey;
    EXPECT_NE(newKey, key);
    EXPECT_EQ(w.Remote->settings().token, renewed);
    EXPECT_TRUE(dialog.EditAdresPodgladu->text().endsWith(QString::fromLatin1(newKey)));
    EXPECT_EQ(RemoteSettings::load(settingsPath).viewerKey, newKey);
    ASSERT_TRUE(w.Remote->server());
    EXPECT_EQ(w.Remote->server()->port(), port);
    dialog.Strony->setCurrentIndex(0);

    // A port another program holds: the reason is shown, the choice is kept.
    QTcpServer holder;
    ASSERT_TRUE(holder.listen(QHostAddress::LocalHost, 0));
    dialog.EditPort->setValue(holder.serverPort());
    dialog.ButtonZastosuj->click();
    EXPECT_FALSE(w.Remote->running());
    EXPECT_TRUE(dialog.LabelStan->text().startsWith(QStringLiteral("Nie można otworzyć portu")));
    EXPECT_EQ(RemoteSettings::load(settingsPath).port, holder.serverPort());

    dialog.BoxWlacz->setChecked(false);
    dialog.ButtonZastosuj->click();
    EXPECT_FALSE(w.Remote->running());
    EXPECT_EQ(dialog.LabelStan->text(), QStringLiteral("Serwer wyłączony."));
    EXPECT_FALSE(RemoteSettings::load(settingsPath).enabled);
}

// A slip of the hand in the file costs nothing: it stays as it was, the dialog says why the
// server is off, and "Zastosuj" replaces it with the operator's choice.
TEST_F(RemoteDialogTest, DamagedSettingsAreShownKeptAndReplacedOnlyByApply)
{
    const std::string path = sandbox.configDir() + "/kadrel/zdalne.json";
    const std::string damaged = "{\"enabled\": true, \"port\": 8480, \"token\": \"" + std::string(43, 'a') + "\",}\n";
    writeFile(path, damaged);
    TForm1& w = createWindow();
    ASSERT_NE(w.Remote, nullptr);
    EXPECT_FALSE(w.Remote->running());
    EXPECT_EQ(readFile(path), damaged);
    w.Remote->listenAddress = QHostAddress::LocalHost;

    TFZdalne dialog(&w, w.Remote);
    EXPECT_TRUE(dialog.LabelStan->text().startsWith(QStringLiteral("Plik ustawień zdalnego sterowania")))
        << dialog.LabelStan->text().toStdString();
    EXPECT_EQ(readFile(path), damaged);

    dialog.BoxWlacz->setChecked(true);
    dialog.EditPort->setValue(freeLoopbackPort());
    dialog.ButtonZastosuj->click();
    EXPECT_TRUE(w.Remote->running()) << w.Remote->lastError().toStdString();
    const RemoteSettings now = RemoteSettings::load(QString::fromStdString(path));
    EXPECT_TRUE(now.damage.isEmpty());
    EXPECT_TRUE(now.enabled);
    EXPECT_EQ(now.token, w.Remote->settings().token);
}

TEST_F(RemoteDialogTest, MenuEntryOpensTheDialog)
{
    TForm1& w = createWindow();
    ASSERT_NE(w.Zdalne1, nullptr);
    EXPECT_EQ(w.Zdalne1->text().remove(QLatin1Char('&')), QStringLiteral("Zdalne sterowanie"));
    EXPECT_TRUE(w.Zdalne1->isEnabled());   // also while disconnected
    QString seen;
    QTimer::singleShot(0, [&] {
        if (auto* d = qobject_cast<QDialog*>(QApplication::activeModalWidget())) {
            seen = d->objectName();
            d->reject();
        }
    });
    w.Zdalne1->trigger();
    EXPECT_EQ(seen, QStringLiteral("FZdalne"));
    EXPECT_EQ(w.FZdalne, nullptr);
}

} // namespace
