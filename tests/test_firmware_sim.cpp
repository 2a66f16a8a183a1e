// needs: qt
// uses: binaries
// The firmware dialog against the bus simulator's boot loader, which checks the block counters
// and reports the image it took in when "K" reaches address 102.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QThread>

#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <thread>
#include <vector>

#include "app/KadrelMain.h"
#include "widgets/Seams.h"
#include "link/Tick.h"
#include "files/ConfigPaths.h"
#include "files/SettingsFile.h"
#include "dialogs/Ustawienia.h"
#include "widgets/ComComboBox.h"
#include "serial/NetworkPorts.h"
#include "tests/support/Ser2net.h"
#include "tests/support/SimProcess.h"
#include "tests/support/TempDir.h"
#include "tests/support/WindowSandbox.h"

namespace {

ByteString firmwareFile(size_t size)
{
    ByteString f(size, '\0');
    f[0] = 'z'; f[1] = 'f'; f[2] = 'r';
    for (size_t i = 3; i + 1 < size; ++i) f[i] = static_cast<char>((i * 29 + 3) & 0xFF);
    f.back() = static_cast<char>(xorBytes(reinterpret_cast<const uint8_t*>(f.data()), size - 1));
    return f;
}

std::string hex(const ByteString& bytes)
{
    static const char digits[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char b : bytes) {
        out += digits[b >> 4];
        out += digits[b & 15];
    }
    return out;
}

std::vector<std::string> bootLines(const std::string& path)
{
    std::ifstream in(path);
    std::vector<std::string> lines;
    std::string line;
    while (std::getline(in, line))
        if (line.rfind("boot ", 0) == 0) lines.push_back(line);
    return lines;
}

// Waits until the simulator's report holds `count` firmware updates.
bool waitForBootReports(const std::string& path, size_t count)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (bootLines(path).size() < count) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

// The last "boot ..." line of the simulator's report as key=value pairs.
std::map<std::string, std::string> lastBootReport(const std::string& path)
{
    const auto lines = bootLines(path);
    const std::string last = lines.empty() ? std::string() : lines.back();
    std::map<std::string, std::string> fields;
    std::istringstream words(last);
    std::string word;
    while (words >> word)
        if (const size_t eq = word.find('='); eq != std::string::npos)
            fields[word.substr(0, eq)] = word.substr(eq + 1);
    return fields;
}

// Messages and beeps recorded in `events`; the pauses are real unless shortened.
class FirmwareSim : public ::testing::Test, protected WindowSandbox {
protected:
    FirmwareSim() : WindowSandbox(Pauses::Real) {}

    TempDir files;
    std::unique_ptr<SimProcess> sim;
    std::unique_ptr<TForm1> form;

    void TearDown() override
    {
        if (form) form->Disconnect();
        form.reset();
        sim.reset();
    }
    void start(std::vector<std::string> args)
    {
        args.push_back("--quiet");
        sim = std::make_unique<SimProcess>(std::move(args));
        form = std::make_unique<TForm1>();
        ASSERT_EQ(form->ComCombo->Text().toStdString(), sim->portPath());
        form->Button_polaczClick();
        ASSERT_EQ(form->Link.LinkActive, 1);
        events.clear();
    }
    Firmware::Result update(const ByteString& image, int clock = 1)
    {
        const std::string path = files.file("fw.zfr");
        writeFile(path, image);
        seams().chooseFirmwareFile = [path](QWidget*) { return QString::fromStdString(path); };
        TFUstawienia dialog(form.get());
        dialog.Radio[clock]->setChecked(true);
        dialog.Button1Click();
        EXPECT_TRUE(dialog.ButtonStart->isEnabled());
        dialog.ButtonStartClick();
        EXPECT_EQ(form->Link.LinkActive, 1);
        return dialog.lastResult();
    }
    // The pauses a twentieth; the tick too, and with it the wait for a block's acknowledgement,
    // unless the bytes cross a network port, where a busy machine may take longer than that.
    void shortenWaits(bool tick = true)
    {
        seams().pause = [](int ms) { QThread::msleep(static_cast<unsigned long>(ms / 20)); };
        if (tick)
            tickPace().intervalMs = 10;
    }
};

} // namespace

// The real pauses and the real 100 ms tick, once.
TEST_F(FirmwareSim, LargestImageEndToEnd)
{
    start({"--clocks", "1"});
    const ByteString image = firmwareFile(8192);
    const Firmware::Result r = update(image);
    EXPECT_TRUE(r.completed);
    EXPECT_EQ(r.blocksSent, 128);
    EXPECT_EQ(events, (QStringList{"beep", "warning: NIE WYŁĄCZAJ ZEGARA Z ZASILANIA",
                                   "information: Aktualizacja zakonczona"}));
    ASSERT_TRUE(waitForBootReports(sim->reportPath(), 1));
    const auto report = lastBootReport(sim->reportPath());
    EXPECT_EQ(report.at("status"), "complete");
    EXPECT_EQ(report.at("blocks"), "128");
    EXPECT_EQ(report.at("sequence"), "ok");
    EXPECT_EQ(report.at("size-unpadded"), "8188");
    EXPECT_EQ(report.at("data"), hex(image.substr(3, 8188) + ByteString(4, '\xFF')));
}

TEST_F(FirmwareSim, SmallImagesArriveWhole)
{
    shortenWaits();
    start({"--clocks", "1,2"});
    size_t updates = 0;
    for (const size_t size : {size_t{5}, size_t{68}, size_t{69}}) {
        SCOPED_TRACE(size);
        const ByteString image = firmwareFile(size);
        ASSERT_TRUE(update(image, 2).completed);
        ASSERT_TRUE(waitForBootReports(sim->reportPath(), ++updates)) << sim->output();
        const auto report = lastBootReport(sim->reportPath());
        EXPECT_EQ(report.at("clock"), "2");
        EXPECT_EQ(report.at("status"), "complete");
        EXPECT_EQ(report.at("sequence"), "ok");
        ByteString padded = image.substr(3, size - 4);
        padded.resize((padded.size() + 63) / 64 * 64, '\xFF');
        EXPECT_EQ(report.at("data"), hex(padded));
    }
}

TEST_F(FirmwareSim, AWithheldAcknowledgementIsResentOnce)
{
    shortenWaits();
    start({"--clocks", "1", "--withhold-ack", "2"});
    const ByteString image = firmwareFile(400);
    const Firmware::Result r = update(image);
    EXPECT_TRUE(r.completed);
    EXPECT_EQ(r.resends, 1);
    ASSERT_TRUE(waitForBootReports(sim->reportPath(), 1));
    const auto report = lastBootReport(sim->reportPath());
    EXPECT_EQ(report.at("status"), "complete");
    EXPECT_EQ(report.at("withheld"), "1");
    EXPECT_EQ(report.at("sequence"), "ok");
    EXPECT_EQ(report.at("blocks"), "7");
}

TEST_F(FirmwareSim, ThreeTimeOutsEndTheUpdateWithoutTheClosingFrame)
{
    shortenWaits();
    start({"--clocks", "1", "--withhold-ack", "0,3,3", "--boot-timeout", "1"});
    const Firmware::Result r = update(firmwareFile(400));
    EXPECT_FALSE(r.completed);
    EXPECT_EQ(r.resends, 2);
    EXPECT_EQ(events, (QStringList{"beep", "warning: NIE WYŁĄCZAJ ZEGARA Z ZASILANIA", "beep",
                                   "error: Brak odpowiedzi, aktualizacja nieudana"}));
    // No "K": the boot loader gives up on its own.
    ASSERT_TRUE(waitForBootReports(sim->reportPath(), 1));
    EXPECT_EQ(lastBootReport(sim->reportPath()).at("status"), "timeout");
}

TEST_F(FirmwareSim, TheBootCommandCarriesTheRtcOffset)
{
    shortenWaits();
    start({"--clocks", "3"});
    form->BtnZClick(3);
    ASSERT_TRUE(update(firmwareFile(68), 3).completed);
    ASSERT_TRUE(waitForBootReports(sim->reportPath(), 1));
    const auto report = lastBootReport(sim->reportPath());
    EXPECT_EQ(report.at("clock"), "3");
    EXPECT_EQ(report.at("status"), "complete");
    const std::string text = readFile(sim->logPath());
    EXPECT_NE(text.find("5A 33 01 04 92"), std::string::npos) << text.substr(0, 2000);
}

// The same update through ser2net's RFC 2217 and raw TCP ports in front of the simulator's
// pty: the boot loader takes in the same image (its 0xFF padding and the broadcast-free block
// frames cross the Telnet layer), with the same boxes.
TEST_F(FirmwareSim, ThroughANetworkPortTheImageArrivesTheSame)
{
    shortenWaits(false);
    sim = std::make_unique<SimProcess>(std::vector<std::string>{"--clocks", "1", "--quiet"});
    Ser2net server(sim->portPath());
    if (!server.ok())
        GTEST_SKIP() << "ser2net did not start";
    ASSERT_EQ(NetworkPorts::save(networkPortsPath().toStdString(), {server.rfc2217Url(), server.tcpUrl()}), 0);
    const ByteString image = firmwareFile(400);
    size_t updates = 0;
    for (const std::string& url : {server.rfc2217Url(), server.tcpUrl()}) {
        SCOPED_TRACE(url);
        form = std::make_unique<TForm1>();
        form->ComCombo->setCurrentIndex(form->ComCombo->findText(QString::fromStdString(url)));
        form->ComComboChange();
        form->Button_polaczClick();
        ASSERT_EQ(form->Link.LinkActive, 1) << events.join('\n').toStdString();
        events.clear();
        const Firmware::Result r = update(image);
        EXPECT_TRUE(r.completed);
        EXPECT_EQ(r.resends, 0);
        EXPECT_EQ(events, (QStringList{"beep", "warning: NIE WYŁĄCZAJ ZEGARA Z ZASILANIA",
                                       "information: Aktualizacja zakonczona"}));
        ASSERT_TRUE(waitForBootReports(sim->reportPath(), ++updates));
        const auto report = lastBootReport(sim->reportPath());
        EXPECT_EQ(report.at("status"), "complete");
        EXPECT_EQ(report.at("sequence"), "ok");
        ByteString padded = image.substr(3, image.size() - 4);
        padded.resize((padded.size() + 63) / 64 * 64, '\xFF');
        EXPECT_EQ(report.at("data"), hex(padded));
        form->Disconnect();
        form.reset();
        ASSERT_TRUE(server.waitDeviceFree());
    }
}
