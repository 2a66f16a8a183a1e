// needs: qt
// The remote page in a real browser: the system's headless Chromium, driven by playwright-core
// (installed here with npm ci from tests/browser's lockfile), loads the page from a window on a
// pseudo-terminal, sees the clocks' times change, taps START and "10 m"; the bus must carry the
// window's own frames and the window's fields must show the preset.
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRadioButton>
#include <QStandardPaths>

#include "remote/RemoteServer.h"
#include "remote/RemoteService.h"
#include "remote/RemoteSettings.h"
#include "tests/support/ClockFrames.h"
#include "tests/support/NodeDriver.h"
#include "tests/test_main_window_fixture.h"

namespace {

const QString Chromium = QStringLiteral("/usr/bin/chromium");

uint8_t bcd(int v)
{
    return static_cast<uint8_t>((v / 10) << 4 | (v % 10));
}

using RemoteBrowserTest = ConnectedWindowTest;

TEST_F(RemoteBrowserTest, PageShowsClocksAndSendsTheWindowsFrames)
{
    if (!QFile::exists(Chromium))
        GTEST_SKIP() << "Chromium is not installed (" << Chromium.toStdString()
                     << "); the browser test of the remote page needs it (Debian package chromium)";
    ASSERT_FALSE(QStandardPaths::findExecutable(QStringLiteral("node")).isEmpty()) << "node is needed to drive Chromium";
    const QString dir = QStringLiteral(KADREL_BUILD_DIR "/browser");
    const QString prepared = prepareNodeDriver(dir);
    ASSERT_TRUE(prepared.isEmpty()) << prepared.toStdString();

    const QByteArray token = newAccessToken();
    RemoteServer server(*form, token);
    ASSERT_TRUE(server.start(QHostAddress::LocalHost, 0).isEmpty());

    // The four clocks answer in turn, clock 1 with a time that moves on; everything the window
    // writes is kept.
    ByteString wire;
    int turn = 0;
    QTimer clocks;
    QObject::connect(&clocks, &QTimer::timeout, [&] {
        const int n = turn % 4 + 1, second = turn / 4;
        ++turn;
        const uint8_t minutes[5] = {0, bcd(second / 60 % 100), 0x05, 0x12, 0x00};
        const uint8_t seconds[5] = {0, bcd(second % 60), 0x30, 0x00, 0x45};
        bus->write(status(static_cast<uint8_t>(n), minutes[n], seconds[n], n == 4 ? 0x0300 : 0x0339));
    });
    QTimer collect;
    QObject::connect(&collect, &QTimer::timeout, [&] { wire += bus->read(4096, std::chrono::milliseconds(0)); });
    clocks.start(80);
    collect.start(20);
    form->Timer->start();

    QProcess node;
    node.setWorkingDirectory(dir);
    node.setProcessChannelMode(QProcess::SeparateChannels);
    const QString url = RemoteService::pageUrl(QHostAddress::LocalHost, server.port(), token);
    const QString shot = QStringLiteral(KADREL_BUILD_DIR "/remote-page.png");
    node.start(QStringLiteral("node"), {QStringLiteral("page.mjs"), url, shot});
    QStringList lines;
    QObject::connect(&node, &QProcess::readyReadStandardOutput, [&] {
        while (node.canReadLine())
            lines << QString::fromUtf8(node.readLine()).trimmed();
    });
    ASSERT_TRUE(waitFor([&] { return node.state() == QProcess::NotRunning; }, 60000)) << "the browser did not finish";
    QTest::qWait(300);   // the preset's tick
    form->Timer->stop();
    clocks.stop();
    collect.stop();
    wire += bus->read(4096, std::chrono::milliseconds(50));

    const QString log = lines.join(QLatin1Char('\n')) + QLatin1Char('\n') + QString::fromUtf8(node.readAllStandardError());
    ASSERT_EQ(node.exitCode(), 0) << log.toStdString();
    EXPECT_TRUE(lines.contains(QStringLiteral("START"))) << log.toStdString();
    EXPECT_TRUE(lines.contains(QStringLiteral("PRESET 10"))) << log.toStdString();
    EXPECT_TRUE(lines.filter(QStringLiteral("CHANGED ")).size() == 1) << log.toStdString();
    EXPECT_TRUE(lines.contains(QStringLiteral("STATUS POŁĄCZONY"))) << log.toStdString();
    EXPECT_TRUE(lines.filter(QStringLiteral("PAGEERROR")).isEmpty()) << log.toStdString();

    const std::string hex = toHex(wire);
    const size_t start = hex.find("5A 00 01 01 5C");
    const size_t preset = hex.find("5A 00 03 03 10 00 70");
    EXPECT_NE(start, std::string::npos) << hex.substr(0, 400);
    EXPECT_NE(preset, std::string::npos);
    EXPECT_LT(start, preset);
    EXPECT_EQ(form->Medit->text(), QStringLiteral("10"));
    EXPECT_EQ(form->Sedit->text(), QStringLiteral("00"));
    EXPECT_TRUE(form->Z1_4->isChecked());
    EXPECT_EQ(form->Link.PendingCommand, 0);
    EXPECT_TRUE(QFile::exists(shot));
}

} // namespace
