// needs: qt
// The firmware dialog against a boot loader played on the other side of a pseudo-terminal:
// file choice and load, the frames on the wire, acknowledgements, resends and time-outs.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QTimer>

#include <atomic>
#include <memory>
#include <mutex>
#include <poll.h>
#include <set>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

#include "app/KadrelMain.h"
#include "widgets/Seams.h"
#include "link/Tick.h"
#include "files/SettingsFile.h"
#include "dialogs/Ustawienia.h"
#include "base/Exceptions.h"
#include "link/Frame.h"
#include "tests/support/Pty.h"
#include "tests/support/TempDir.h"
#include "tests/support/WindowSandbox.h"

namespace {

// Reads the PC's frames on the pty master and answers each block frame with "!", unless told
// to withhold the answer to a given block send (counted from 0, resends included) or to send
// it together with another byte.
class BootLoader {
public:
    explicit BootLoader(TestPty& pty) : pty_(pty) {}
    ~BootLoader() { stop(); }

    // The test body sets these while the thread runs: both under the lock.
    void withhold(std::set<int> sends)
    {
        std::lock_guard lock(mutex_);
        withheld_ = std::move(sends);
    }
    void ackWithExtra(std::set<int> sends)
    {
        std::lock_guard lock(mutex_);
        ackWithExtra_ = std::move(sends);
    }

    void start() { thread_ = std::thread([this] { run(); }); }
    void stop()
    {
        stop_ = true;
        if (thread_.joinable()) thread_.join();
    }
    std::vector<ByteString> frames()
    {
        std::lock_guard lock(mutex_);
        return frames_;
    }
    // The boot command and the frames to the boot loader after it (polls before the dialog
    // paused them, and after it resumed them, are left out), once at least `count` are in.
    std::vector<ByteString> updateFrames(size_t count = 0)
    {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(3);
        while (collect().size() < count && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        std::this_thread::sleep_for(std::chrono::milliseconds(50));  // for anything that should not come
        return collect();
    }

private:
    std::vector<ByteString> collect()
    {
        std::vector<ByteString> update;
        for (const ByteString& f : frames()) {
            if (update.empty() && f.size() == 5 && f[3] == 0x04)
                update.push_back(f);
            else if (!update.empty() && (byteAt(f, 1) == Frame::BootBlockAddress || byteAt(f, 1) == Frame::BootEndAddress))
                update.push_back(f);
        }
        return update;
    }

    void run()
    {
        ByteString buffer;
        int blockSends = 0;
        while (!stop_) {
            pollfd p{pty_.masterFd(), POLLIN, 0};
            if (::poll(&p, 1, 20) <= 0)
                continue;
            char chunk[512];
            const ssize_t n = ::read(pty_.masterFd(), chunk, sizeof chunk);
            if (n <= 0)
                continue;
            buffer.append(chunk, static_cast<size_t>(n));
            for (;;) {
                while (!buffer.empty() && buffer[0] != 'Z') buffer.erase(0, 1);
                if (buffer.size() < 3 || buffer.size() < 4u + byteAt(buffer, 2))
                    break;
                const ByteString frame = buffer.substr(0, 4u + byteAt(buffer, 2));
                buffer.erase(0, frame.size());
                {
                    std::lock_guard lock(mutex_);
                    frames_.push_back(frame);
                }
                if (byteAt(frame, 1) != Frame::BootBlockAddress)
                    continue;
                const int send = blockSends++;
                bool withhold = false, extra = false;
                {
                    std::lock_guard lock(mutex_);
                    withhold = withheld_.count(send) != 0;
                    extra = ackWithExtra_.count(send) != 0;
                }
                if (withhold)
                    continue;
                pty_.write(extra ? ByteString("!\x00", 2) : ByteString("!"));
            }
        }
    }

    TestPty& pty_;
    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::mutex mutex_;
    std::vector<ByteString> frames_;
    std::set<int> withheld_;
    std::set<int> ackWithExtra_;
};

ByteString firmwareFile(size_t size)
{
    ByteString f(size, '\0');
    f[0] = 'z'; f[1] = 'f'; f[2] = 'r';
    for (size_t i = 3; i + 1 < size; ++i) f[i] = static_cast<char>((i * 13 + 5) & 0xFF);
    f.back() = static_cast<char>(xorBytes(reinterpret_cast<const uint8_t*>(f.data()), size - 1));
    return f;
}

// Messages and beeps recorded in `events`, pauses in `pauses`.
class FirmwareDialog : public ::testing::Test, protected WindowSandbox {
protected:
    TempDir files;
    TestPty pty;
    BootLoader loader{pty};
    QString chosen;
    std::unique_ptr<TForm1> form;

    void SetUp() override
    {
        seams().chooseFirmwareFile = [this](QWidget*) { return chosen; };
        tickPace().intervalMs = 10;  // a time-out of ten ticks lasts 100 ms
        publishPort(pty, "bus");
        loader.start();
        form = std::make_unique<TForm1>();
        form->Button_polaczClick();
        ASSERT_EQ(form->Link.LinkActive, 1);
        events.clear();
        pauses.clear();
    }
    void TearDown() override
    {
        if (form) form->Disconnect();
        form.reset();
        loader.stop();
    }
    QString file(const std::string& name, const ByteString& content)
    {
        writeFile(files.file(name), content);
        return QString::fromStdString(files.file(name));
    }
    // Loads the file and runs the transfer; returns the gauge values it showed.
    std::vector<int> update(TFUstawienia& dialog, const QString& path)
    {
        chosen = path;
        dialog.Button1Click();
        EXPECT_TRUE(dialog.ButtonStart->isEnabled());
        std::vector<int> gauges;
        QObject::connect(dialog.BarBoot, &QProgressBar::valueChanged, [&](int v) { gauges.push_back(v); });
        dialog.ButtonStartClick();
        return gauges;
    }
    void expectBlocks(const std::vector<ByteString>& frames, const ByteString& image, size_t firstBlock, size_t count)
    {
        const ByteString payload = image.substr(3, image.size() - 4);
        for (size_t b = 0; b < count; ++b) {
            SCOPED_TRACE(b);
            const ByteString& f = frames[firstBlock + b];
            ASSERT_EQ(f.size(), 69u);
            ByteString data(1, static_cast<char>(b));
            ByteString bytes = payload.substr(std::min(payload.size(), b * 64), 64);
            bytes.resize(64, '\xFF');
            data += bytes;
            EXPECT_EQ(f, Frame::build(Frame::BootBlockAddress, data));
        }
    }
};

const ByteString Boot1 = ByteString("\x5A\x01\x01\x04\x60", 5);
const ByteString Closing = ByteString("\x5A\x66\x01\x4B\x0C", 5);

} // namespace

TEST_F(FirmwareDialog, LayoutAndPausedPolling)
{
    TFUstawienia dialog(form.get());
    EXPECT_EQ(form->Link.LinkActive, 0);
    EXPECT_EQ(dialog.windowTitle(), QStringLiteral("Aktualizacja"));
    EXPECT_EQ(dialog.size(), QSize(193, 169));
    EXPECT_EQ(dialog.findChild<QLabel*>("Label1")->text(), QStringLiteral("Adres Zegara do aktualizacji"));
    for (int n = 1; n <= 4; ++n) {
        auto* r = dialog.findChild<QRadioButton*>(QStringLiteral("Radio%1").arg(n));
        ASSERT_TRUE(r);
        EXPECT_EQ(r->text(), QString::number(n));
        EXPECT_EQ(r->isChecked(), n == 1);
    }
    EXPECT_EQ(dialog.findChild<QLabel*>("LabelNazwaPliku")->text(), QString());
    EXPECT_EQ(dialog.findChild<QPushButton*>("Button1")->text(), QStringLiteral("Plik"));
    auto* start = dialog.findChild<QPushButton*>("ButtonStart");
    EXPECT_EQ(start->text(), QStringLiteral("Start"));
    EXPECT_FALSE(start->isEnabled());
    auto* bar = dialog.findChild<QProgressBar*>("BarBoot");
    EXPECT_EQ(bar->minimum(), 0);
    EXPECT_EQ(bar->maximum(), 100);
    EXPECT_EQ(bar->value(), 0);
    EXPECT_EQ(dialog.windowFlags() & Qt::WindowContextHelpButtonHint, Qt::WindowFlags());
    EXPECT_TRUE(dialog.windowFlags() & Qt::WindowCloseButtonHint);
    dialog.show();
    dialog.close();
    EXPECT_EQ(form->Link.LinkActive, 1);
}

TEST_F(FirmwareDialog, FullBlockFileIsOneBlockAndTheGaugeShows94Then100)
{
    TFUstawienia dialog(form.get());
    const ByteString image = firmwareFile(68);
    const auto gauges = update(dialog, file("a.zfr", image));
    EXPECT_EQ(gauges, (std::vector<int>{94, 100}));
    EXPECT_EQ(events, (QStringList{"beep", "warning: NIE WYŁĄCZAJ ZEGARA Z ZASILANIA",
                                   "information: Aktualizacja zakonczona"}));
    EXPECT_EQ(pauses, (std::vector<int>{2000, 2000, 1000}));
    const auto frames = loader.updateFrames(3);
    ASSERT_EQ(frames.size(), 3u);
    EXPECT_EQ(frames[0], Boot1);
    expectBlocks(frames, image, 1, 1);
    EXPECT_EQ(frames[2], Closing);
    EXPECT_TRUE(dialog.lastResult().completed);
    EXPECT_TRUE(dialog.isHidden());
    EXPECT_EQ(form->Link.LinkActive, 1);
    EXPECT_EQ(dialog.LabelNazwaPliku->toolTip(), QString::fromStdString(files.file("a.zfr")));
}

TEST_F(FirmwareDialog, LargestFileIs128Blocks)
{
    TFUstawienia dialog(form.get());
    const ByteString image = firmwareFile(8192);
    const auto gauges = update(dialog, file("big.zfr", image));
    // The gauge shows each new value once: taken × 100 / 8192 after each block, then 100.
    std::vector<int> expected;
    for (int b = 1; b <= 128; ++b) {
        const int v = std::min(b * 64, 8188) * 100 / 8192;
        if (v != (expected.empty() ? 0 : expected.back())) expected.push_back(v);
    }
    expected.push_back(100);
    EXPECT_EQ(gauges, expected);
    EXPECT_EQ(expected[expected.size() - 2], 99);
    const auto frames = loader.updateFrames(130);
    ASSERT_EQ(frames.size(), 130u);
    expectBlocks(frames, image, 1, 128);
    EXPECT_EQ(frames[128].substr(4 + 60, 4), ByteString(4, '\xFF'));
    EXPECT_EQ(frames.back(), Closing);
}

TEST_F(FirmwareDialog, ThreeTimeOutsEndTheTransferWithoutTheClosingFrame)
{
    loader.withhold({0, 2, 4});  // one time-out on each of blocks 0, 1 and 2
    TFUstawienia dialog(form.get());
    const auto gauges = update(dialog, file("a.zfr", firmwareFile(400)));
    EXPECT_EQ(events, (QStringList{"beep", "warning: NIE WYŁĄCZAJ ZEGARA Z ZASILANIA", "beep",
                                   "error: Brak odpowiedzi, aktualizacja nieudana"}));
    EXPECT_EQ(pauses, (std::vector<int>{2000, 1000}));
    const auto frames = loader.updateFrames(6);
    ASSERT_EQ(frames.size(), 1 + 5u);  // boot, block 0 twice, block 1 twice, block 2 once
    EXPECT_EQ(byteAt(frames.back(), 3), 2);
    for (const ByteString& f : frames) EXPECT_NE(byteAt(f, 1), Frame::BootEndAddress);
    EXPECT_FALSE(dialog.lastResult().completed);
    EXPECT_NE(gauges.back(), 100);
    EXPECT_TRUE(dialog.isHidden());
    EXPECT_EQ(form->Link.LinkActive, 1);
}

TEST_F(FirmwareDialog, AnAcknowledgementWithOtherBytesIsNotRecognised)
{
    loader.ackWithExtra({0});
    TFUstawienia dialog(form.get());
    update(dialog, file("a.zfr", firmwareFile(68)));
    const auto frames = loader.updateFrames(4);
    ASSERT_EQ(frames.size(), 4u);
    EXPECT_EQ(frames[1], frames[2]);
    EXPECT_EQ(dialog.lastResult().resends, 1);
    EXPECT_TRUE(dialog.lastResult().completed);
}

TEST_F(FirmwareDialog, RefusedFilesKeepStartDisabled)
{
    TFUstawienia dialog(form.get());
    form->ConfigBuffer.fill(0xAA);
    struct Case { const char* what; ByteString content; QStringList events; };
    ByteString badCheck = firmwareFile(68);
    badCheck.back() = static_cast<char>(badCheck.back() ^ 1);
    ByteString badTag = firmwareFile(68);
    badTag[1] = 'c';
    const Case cases[] = {
        {"check byte", badCheck, {"beep", "error: Bląd CRC pliku konfiguracji"}},
        {"tag", badTag, {"error: Zly format pliku", "beep", "error: Bląd CRC pliku konfiguracji"}},
        {"settings file", ByteString("zcf\x00\x19", 5), {"error: Zly format pliku", "beep", "error: Bląd CRC pliku konfiguracji"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        chosen = file("good.zfr", firmwareFile(68));
        dialog.Button1Click();
        ASSERT_TRUE(dialog.ButtonStart->isEnabled());
        events.clear();
        chosen = file("bad.zfr", c.content);
        dialog.Button1Click();
        EXPECT_EQ(events, c.events);
        EXPECT_FALSE(dialog.ButtonStart->isEnabled());
        EXPECT_EQ(dialog.LabelNazwaPliku->toolTip(), chosen);   // the whole path; the label may cut it
    }

    // Sizes outside 5..8192 are refused before anything is read.
    for (const size_t size : {size_t{4}, size_t{8193}}) {
        SCOPED_TRACE(size);
        form->ConfigBuffer.fill(0xAA);
        TFUstawienia::ImageSize = 68;
        events.clear();
        chosen = file("odd.zfr", firmwareFile(size));
        dialog.Button1Click();
        ASSERT_EQ(events.size(), 1);
        EXPECT_TRUE(events[0].startsWith("error: Plik firmware ma nieprawidłowy rozmiar: " + QString::number(size) + " B"))
            << events[0].toStdString();
        EXPECT_FALSE(dialog.ButtonStart->isEnabled());
        EXPECT_EQ(TFUstawienia::ImageSize, 68);
        EXPECT_TRUE(std::all_of(form->ConfigBuffer.begin(), form->ConfigBuffer.end(), [](uint8_t b) { return b == 0xAA; }));
    }
    EXPECT_TRUE(loader.updateFrames().empty());  // nothing was sent
}

TEST_F(FirmwareDialog, CancelAndMissingFiles)
{
    TFUstawienia dialog(form.get());
    chosen = file("good.zfr", firmwareFile(68));
    dialog.Button1Click();
    const uint16_t size = TFUstawienia::ImageSize;
    chosen.clear();  // cancelled
    dialog.Button1Click();
    EXPECT_EQ(dialog.LabelNazwaPliku->toolTip(), QString::fromStdString(files.file("good.zfr")));
    EXPECT_TRUE(dialog.ButtonStart->isEnabled());
    EXPECT_EQ(TFUstawienia::ImageSize, size);

    chosen = QString::fromStdString(files.file("missing.zfr"));
    EXPECT_THROW(dialog.Button1Click(), EInOutError);
    EXPECT_EQ(dialog.LabelNazwaPliku->toolTip(), chosen);   // the whole path; the label may cut it
    EXPECT_FALSE(dialog.ButtonStart->isEnabled());
}

TEST_F(FirmwareDialog, ACloseDuringTheTransferWaitsForItsEnd)
{
    TFUstawienia dialog(form.get());
    dialog.show();
    int closesTried = 0;
    bool buttonsLocked = true;
    QObject::connect(dialog.BarBoot, &QProgressBar::valueChanged, [&](int v) {
        if (v == 100) return;
        buttonsLocked = buttonsLocked && !dialog.Button1->isEnabled() && !dialog.ButtonStart->isEnabled();
        dialog.close();
        ++closesTried;
        EXPECT_TRUE(dialog.isVisible());
        EXPECT_EQ(form->Link.LinkActive, 0);
    });
    update(dialog, file("a.zfr", firmwareFile(200)));
    EXPECT_EQ(closesTried, 4);
    EXPECT_TRUE(buttonsLocked);
    EXPECT_TRUE(dialog.lastResult().completed);
    EXPECT_FALSE(dialog.isVisible());
    EXPECT_EQ(form->Link.LinkActive, 1);
}

// A dialog opened from inside the tick's own event handling holds that timer up; the wait
// must still time out and resend rather than wait for ever.
TEST_F(FirmwareDialog, AHeldUpTickStillTimesTheWaitOut)
{
    loader.withhold({0});
    form->Timer->stop();
    TFUstawienia dialog(form.get());
    update(dialog, file("a.zfr", firmwareFile(68)));
    EXPECT_TRUE(dialog.lastResult().completed);
    EXPECT_EQ(dialog.lastResult().resends, 1);
    const auto frames = loader.updateFrames(4);
    ASSERT_EQ(frames.size(), 4u);
    EXPECT_EQ(frames[1], frames[2]);
}

TEST_F(FirmwareDialog, PollingStaysOffWhenThePortWentAwayMeanwhile)
{
    TFUstawienia dialog(form.get());
    dialog.show();
    form->Disconnect();
    dialog.close();
    EXPECT_TRUE(dialog.isHidden());
    EXPECT_EQ(form->Link.LinkActive, 0);
}

// "Plik" runs through the window's handler: a FIFO chosen (whose open would wait for a writer
// for ever) and a missing file are each one error box, and "Start" stays off.
TEST_F(FirmwareDialog, AFifoOrAMissingFileIsOneErrorBoxThroughTheWindowsHandler)
{
    TFUstawienia dialog(form.get());
    ASSERT_EQ(mkfifo(files.file("fifo.zfr").c_str(), 0600), 0);
    for (const char* name : {"fifo.zfr", "missing.zfr"}) {
        SCOPED_TRACE(name);
        events.clear();
        chosen = QString::fromStdString(files.file(name));
        dialog.Button1->click();
        ASSERT_EQ(events.size(), 1) << events.join(" | ").toStdString();
        EXPECT_TRUE(events[0].startsWith("error: Nie można otworzyć pliku " + chosen)) << events[0].toStdString();
        EXPECT_FALSE(dialog.ButtonStart->isEnabled());
    }
}

// With the port gone while the dialog was open, "Start" says it cannot work and sends nothing.
TEST_F(FirmwareDialog, StartAfterTheLinkWentDownSaysSoAndSendsNothing)
{
    TFUstawienia dialog(form.get());
    chosen = file("a.zfr", firmwareFile(68));
    dialog.Button1Click();
    ASSERT_TRUE(dialog.ButtonStart->isEnabled());
    form->Disconnect();
    events.clear();
    dialog.ButtonStart->click();
    EXPECT_EQ(events, QStringList{QStringLiteral("error: Port COM niedostępny: połączenie zostało przerwane, "
                                                 "aktualizacja nie została rozpoczęta.")});
    EXPECT_TRUE(loader.updateFrames().empty());
}
