// needs: qt
// Pulling the adapter while connected: the pty's other end closes and its link goes away. The
// window reports it once, is disconnected at once with the port closed and its event thread
// gone, sends nothing at later ticks, and connects again once a device is back under the link.
#include <unistd.h>

#include <filesystem>

#include "link/Frame.h"
#include "link/LinkObserver.h"
#include "widgets/LinkTraffic.h"
#include "tests/test_main_window_fixture.h"
#include "link/Tick.h"

namespace {

// Counts what the window hands its observer.
class Recorder : public LinkObserver {
public:
    void frameSent(const ByteString& frame, const FrameAccounting*) override { frames.push_back(frame); }
    void bytesReceived(const ByteString& chunk) override
    {
        if (throwOnReceive)
            throw std::runtime_error("not a port failure");
        chunks.push_back(chunk);
    }
    void replyAssembled(const AssembleReport&) override {}
    std::vector<ByteString> frames;
    std::vector<ByteString> chunks;
    bool throwOnReceive = false;
};

// Five bytes "Z", 0x01, 0x01, poll byte, checksum: whatever the panel's settings are.
bool isPollOfClock1(const ByteString& frame)
{
    return frame.size() == 5 && frame.substr(0, 3) == fromHex("5A 01 01") &&
           Frame::build(1, frame.substr(3, 1)) == frame;
}

class UnplugTest : public WindowTest {
protected:
    void SetUp() override
    {
        WindowTest::SetUp();
        bus = &addPort("BUS");
        createWindow();
        form->Traffic->watch(&recorder);
        form->Clocks[1].boxActiv->setChecked(true);
        connectWindow();
        messages.clear();
    }
    void TearDown() override
    {
        if (form)
            form->Traffic->unwatch(&recorder);
        WindowTest::TearDown();
    }

    // A tick as the timer runs it: what it raises goes to the window's handler.
    void tick() { form->guard([this] { form->TimerTimer(); }); }

    // The adapter goes: no descriptor of the pty's other side is left, and the link vanishes.
    void pull()
    {
        bus->closeMaster();
        bus->closeSlave();
        std::filesystem::remove(portPath("BUS"));
    }

    TestPty* bus = nullptr;
    Recorder recorder;
};

TEST_F(UnplugTest, OneBoxThenDisconnectedWithThePortClosedAndTheThreadGone)
{
    tick();
    ASSERT_TRUE(isPollOfClock1(bus->read(5)));

    bool disconnectedUnderTheBox = false;
    onMessage = [&](MsgKind, const QString&) { disconnectedUnderTheBox = disconnectedState(); };
    pull();
    ASSERT_TRUE(waitFor([&] { return !messages.empty(); }));
    QTest::qWait(50);

    ASSERT_EQ(errors().size(), 1u);
    EXPECT_TRUE(errors()[0].text.contains(QStringLiteral("(Error: "))) << errors()[0].text;
    EXPECT_TRUE(disconnectedUnderTheBox);
    EXPECT_TRUE(disconnectedState());
    EXPECT_TRUE(form->Button_polacz->isEnabled());
    // No thread is left to wake up: the port is closed and its event thread ended with it.
    EXPECT_FALSE(form->ComPort->EventThreadRunning());
    EXPECT_EQ(form->ComPort->EventThreadWakeUps(), 0u);

    const size_t framesBefore = recorder.frames.size();
    for (int i = 0; i < 70; ++i)   // past a broadcast tick too
        tick();
    EXPECT_EQ(recorder.frames.size(), framesBefore);
    EXPECT_EQ(messages.size(), 1u);
}

TEST_F(UnplugTest, TheRunningTickAddsNoBoxWhileTheBoxIsUp)
{
    tickPace().intervalMs = 10;
    form->Timer->setInterval(10);
    form->Timer->start();
    int shownDuringBox = -1;
    size_t framesDuringBox = 0;
    onMessage = [&](MsgKind, const QString&) {
        if (shownDuringBox >= 0)
            return;
        // Behave like a modal box: events, ticks included, run while it is open.
        const size_t before = messages.size();
        const size_t frames = recorder.frames.size();
        QTest::qWait(300);
        shownDuringBox = static_cast<int>(messages.size() - before);
        framesDuringBox = recorder.frames.size() - frames;
    };
    ASSERT_TRUE(waitFor([&] { return !recorder.frames.empty(); }));
    pull();
    ASSERT_TRUE(waitFor([&] { return shownDuringBox >= 0; }, 3000));
    QTest::qWait(100);
    form->Timer->stop();
    EXPECT_EQ(shownDuringBox, 0);
    EXPECT_EQ(framesDuringBox, 0u);
    EXPECT_EQ(errors().size(), 1u);
    EXPECT_TRUE(disconnectedState());
}

TEST_F(UnplugTest, AWriteThatMeetsThePulledAdapterMakesTheSameSingleReport)
{
    pull();
    // The frame goes out before the port's own notice is handled: the write fails first.
    form->guard([this] { form->SendFrame(1, ByteString(1, '\x60')); });
    QTest::qWait(100);   // the port's notice, if it comes, finds the port closed
    ASSERT_EQ(errors().size(), 1u);
    EXPECT_TRUE(errors()[0].text.startsWith(QString::fromLatin1(PortErrorMessages[peWrite]))) << errors()[0].text;
    EXPECT_TRUE(disconnectedState());
    EXPECT_TRUE(form->ComPort->DeviceLost());

    // A writer that did not notice (a maintenance dialog's loop) adds no box either.
    form->guard([this] { form->SendFrame(101, ByteString(65, '\xFF')); });
    EXPECT_EQ(messages.size(), 1u);
}

TEST_F(UnplugTest, StartConnectsAgainOnceADeviceIsBackUnderTheSameLink)
{
    pull();
    ASSERT_TRUE(waitFor([&] { return !messages.empty(); }));
    ASSERT_TRUE(disconnectedState());

    TestPty& back = addPort("BUS");   // a new pty behind the same link
    form->Button_polacz->click();
    ASSERT_TRUE(connectedState());
    tick();
    EXPECT_TRUE(isPollOfClock1(back.read(5)));
    EXPECT_TRUE(form->ComPort->EventThreadRunning());
    EXPECT_FALSE(form->ComPort->DeviceLost());
    EXPECT_EQ(errors().size(), 1u);
}

TEST_F(UnplugTest, OtherFailuresInTheReceptionHandlerStillEndTheThreadSilently)
{
    recorder.throwOnReceive = true;
    bus->write(fromHex("5A 01 04 12 34 03 39 E1"));
    ASSERT_TRUE(waitFor([&] { return !form->ComPort->EventThreadRunning(); }));
    QTest::qWait(50);
    EXPECT_TRUE(messages.empty());
    EXPECT_TRUE(connectedState());
    EXPECT_EQ(form->Clocks[1].czas->text().toStdString().find("12:34"), std::string::npos);
}

} // namespace
