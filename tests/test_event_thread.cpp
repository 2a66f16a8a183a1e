// needs: qtcore
// The event thread over a pseudo-terminal: received bytes reach OnRxChar on the
// user-interface thread, one delivery at a time; closing during a delivery; silencing by an
// escaping exception; a vanished device reported once, without spinning.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QThread>
#include <QTimer>
#include <functional>
#include <stdexcept>
#include <thread>
#include <vector>

#include "serial/ComPort.h"
#include "tests/support/Pty.h"
#include "tests/support/RunUntil.h"

namespace {



void configure(TCustomComPort& port, const std::string& path)
{
    port.SetPort(path);
    port.SetBaudRate(br19200);
}

// Opens the port on the pty with an OnRxChar that only counts its calls.
void openCounting(TComPort& port, const TestPty& pty, int& calls)
{
    configure(port, pty.slavePath());
    port.OnRxChar = [&calls](TCustomComPort*, int) { ++calls; };
    port.OpenPort();
}

} // namespace

TEST(EventThread, ReceivedBytesReachOnRxCharOnTheUserInterfaceThread)
{
    TestPty pty;
    ByteString received;
    std::vector<int> counts;
    bool onUiThread = true;
    TComPort port;
    configure(port, pty.slavePath());
    port.OnRxChar = [&](TCustomComPort* sender, int count) {
        onUiThread = onUiThread && QThread::currentThread() == QCoreApplication::instance()->thread();
        EXPECT_EQ(sender, &port);
        counts.push_back(count);
        ByteString part;
        sender->ReadText(part, count);
        EXPECT_EQ(static_cast<int>(part.size()), count);
        received += part;
    };
    port.OpenPort();
    EXPECT_TRUE(port.EventThreadRunning());
    pty.write("Z\x01\x03");
    ASSERT_TRUE(runUntil([&] { return received.size() == 3; }));
    EXPECT_EQ(received, "Z\x01\x03");
    EXPECT_TRUE(onUiThread);
    pty.write("more");
    ASSERT_TRUE(runUntil([&] { return received.size() == 7; }));
    EXPECT_EQ(received.substr(3), "more");
}

TEST(EventThread, BytesArrivingDuringADeliveryAreAnnouncedOnceAfterIt)
{
    TestPty pty;
    std::vector<int> counts;
    ByteString received;
    TComPort port;
    configure(port, pty.slavePath());
    port.OnRxChar = [&](TCustomComPort* sender, int count) {
        counts.push_back(count);
        ByteString part;
        sender->ReadText(part, count);
        received += part;
        if (counts.size() == 1) {
            // Three more batches while this handler still runs.
            for (const char* batch : {"12", "345", "6789"}) {
                pty.write(batch);
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            }
            for (int i = 0; i < 400 && sender->ReceivedCount() < 9; ++i)
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    };
    port.OpenPort();
    pty.write("a");
    ASSERT_TRUE(runUntil([&] { return received.size() == 10; }));
    runFor(100);  // no further delivery follows
    EXPECT_EQ(counts, (std::vector<int>{1, 9}));
    EXPECT_EQ(received, "a123456789");
}

TEST(EventThread, BytesLeftUnreadDoNotWakeTheThreadAgain)
{
    TestPty pty;
    std::vector<int> counts;
    TComPort port;
    configure(port, pty.slavePath());
    port.OnRxChar = [&](TCustomComPort*, int count) { counts.push_back(count); };  // reads nothing
    port.OpenPort();
    pty.write("abc");
    ASSERT_TRUE(runUntil([&] { return counts.size() == 1; }));
    const uint64_t wakeUps = port.EventThreadWakeUps();
    runFor(200);
    EXPECT_EQ(counts.size(), 1u);
    EXPECT_EQ(port.EventThreadWakeUps(), wakeUps);
    // New bytes are news again; the count covers everything waiting.
    pty.write("de");
    ASSERT_TRUE(runUntil([&] { return counts.size() == 2; }));
    EXPECT_EQ(counts[1], 5);
}

TEST(EventThread, ReadByAnEarlierDeliveryFiresNothing)
{
    // The bytes are gone by the time the thread's delivery runs: Count 0 fires no OnRxChar.
    TestPty pty;
    int calls = 0;
    TComPort port;
    openCounting(port, pty, calls);
    pty.write("xy");
    for (int i = 0; i < 400 && port.ReceivedCount() < 2; ++i)  // the thread wakes meanwhile
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    ByteString text;
    EXPECT_EQ(port.ReadText(text, 10), 2);
    runFor(100);
    EXPECT_EQ(calls, 0);
}

TEST(EventThread, OnRxBufWhenTheThreadReadsItself)
{
    TestPty pty;
    ByteString got;
    int rxChar = 0;
    TComPort port;
    configure(port, pty.slavePath());
    port.SetTriggersOnRxChar(false);
    port.OnRxBuf = [&](TCustomComPort*, const ByteString& buffer, int count) {
        EXPECT_EQ(static_cast<int>(buffer.size()), count);
        got += buffer;
    };
    port.OnRxChar = [&](TCustomComPort*, int) { ++rxChar; };
    port.OpenPort();
    pty.write("hello");
    ASSERT_TRUE(runUntil([&] { return got.size() == 5; }));
    EXPECT_EQ(got, "hello");
    EXPECT_EQ(rxChar, 0);
    EXPECT_EQ(port.ReceivedCount(), 0);
}

TEST(EventThread, NoThreadWithEventsEmpty)
{
    TestPty pty;
    int calls = 0;
    TComPort port;
    configure(port, pty.slavePath());
    port.SetEvents({});
    port.OnRxChar = [&](TCustomComPort*, int) { ++calls; };
    port.OpenPort();
    EXPECT_FALSE(port.EventThreadRunning());
    pty.write("abc");
    runFor(150);
    EXPECT_EQ(calls, 0);
    EXPECT_EQ(port.ReceivedCount(), 3);
    // Events changed while open wait for the next open.
    port.SetEvents(AllComEvents);
    EXPECT_FALSE(port.EventThreadRunning());
    port.ClosePort();
    port.OpenPort();
    EXPECT_TRUE(port.EventThreadRunning());
}

TEST(EventThread, CloseDuringADeliveryLetsItCompleteWithThePortOpen)
{
    TestPty pty;
    int calls = 0;
    bool openInHandler = false;
    ByteString read;
    TComPort port;
    configure(port, pty.slavePath());
    port.OnRxChar = [&](TCustomComPort* sender, int count) {
        ++calls;
        openInHandler = sender->Connected();
        sender->ReadText(read, count);
    };
    port.OpenPort();
    pty.write("abc");
    // The user-interface thread is busy: the thread hands the delivery over and waits.
    for (int i = 0; i < 400 && port.EventThreadWakeUps() == 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    EXPECT_EQ(calls, 0);
    port.ClosePort();  // must run the delivery in flight, not deadlock
    EXPECT_EQ(calls, 1);
    EXPECT_TRUE(openInHandler);
    EXPECT_EQ(read, "abc");
    EXPECT_FALSE(port.Connected());
    EXPECT_FALSE(port.EventThreadRunning());
    runFor(50);  // the queued call that comes late finds nothing to do
    EXPECT_EQ(calls, 1);
}

TEST(EventThread, CloseFromInsideTheHandlerDoesNotDeadlock)
{
    // A handler that ends up closing the port (a disconnect from a nested message loop).
    TestPty pty;
    int calls = 0;
    TComPort port;
    configure(port, pty.slavePath());
    port.OnRxChar = [&](TCustomComPort* sender, int) {
        ++calls;
        sender->ClosePort();
    };
    port.OpenPort();
    pty.write("x");
    ASSERT_TRUE(runUntil([&] { return !port.Connected(); }));
    EXPECT_EQ(calls, 1);
    EXPECT_FALSE(port.EventThreadRunning());
    EXPECT_NO_THROW(port.OpenPort());
    pty.write("y");
    ASSERT_TRUE(runUntil([&] { return calls == 2; }));
}

TEST(EventThread, AnExceptionEscapingOnRxCharSilencesThePortUntilReopened)
{
    TestPty pty;
    int calls = 0;
    bool lost = false;
    TComPort port;
    configure(port, pty.slavePath());
    port.OnDeviceLost = [&](TCustomComPort*, const EComPort&) { lost = true; };
    port.OnRxChar = [&](TCustomComPort* sender, int count) {
        ++calls;
        ByteString text;
        sender->ReadText(text, count);
        if (calls == 1)
            throw std::runtime_error("handler failed");
    };
    port.OpenPort();
    pty.write("a");
    ASSERT_TRUE(runUntil([&] { return !port.EventThreadRunning(); }));
    EXPECT_EQ(calls, 1);
    pty.write("b");
    runFor(150);
    EXPECT_EQ(calls, 1);
    EXPECT_TRUE(port.Connected());  // the port stays open, silent
    EXPECT_FALSE(lost);
    port.ClosePort();
    port.OpenPort();
    pty.write("c");
    ASSERT_TRUE(runUntil([&] { return calls == 2; }));
}

TEST(EventThread, MasterClosedGivesOneDeviceLostAndTheThreadEnds)
{
    TestPty pty;
    std::vector<EComPort> lost;
    bool onUiThread = false;
    int rx = 0;
    TComPort port;
    configure(port, pty.slavePath());
    port.OnDeviceLost = [&](TCustomComPort* sender, const EComPort& error) {
        EXPECT_EQ(sender, &port);
        onUiThread = QThread::currentThread() == QCoreApplication::instance()->thread();
        lost.push_back(error);
    };
    port.OnRxChar = [&](TCustomComPort*, int) { ++rx; };
    port.OpenPort();
    pty.closeMaster();
    ASSERT_TRUE(runUntil([&] { return !lost.empty(); }));
    EXPECT_TRUE(onUiThread);
    EXPECT_EQ(lost[0].PortErrorCode, 3);
    EXPECT_EQ(lost[0].OsErrorCode, EIO);
    EXPECT_STREQ(lost[0].what(), "ReadFile function failed (Error: 5)");
    ASSERT_TRUE(runUntil([&] { return !port.EventThreadRunning(); }));
    const uint64_t wakeUps = port.EventThreadWakeUps();
    EXPECT_LE(wakeUps, 3u);  // it does not spin on the hung-up tty
    runFor(200);
    EXPECT_EQ(lost.size(), 1u);
    EXPECT_EQ(port.EventThreadWakeUps(), wakeUps);
    EXPECT_EQ(rx, 0);
    EXPECT_TRUE(port.DeviceLost());
    EXPECT_TRUE(port.Connected());  // closing is the owner's decision
    EXPECT_NO_THROW(port.ClosePort());
    EXPECT_EQ(port.Handle(), -1);
}

TEST(EventThread, DeviceLostHandlerMayCloseThePort)
{
    TestPty pty;
    int lost = 0;
    TComPort port;
    configure(port, pty.slavePath());
    port.OnDeviceLost = [&](TCustomComPort* sender, const EComPort&) {
        ++lost;
        sender->ClosePort();
    };
    port.OpenPort();
    pty.closeMaster();
    ASSERT_TRUE(runUntil([&] { return !port.Connected(); }));
    runFor(100);
    EXPECT_EQ(lost, 1);
}

TEST(EventThread, DeviceGoneInsideTheHandlerIsReportedNotSwallowed)
{
    // The handler's read meets the vanished device: its EComPort, carried back into the thread,
    // becomes the one OnDeviceLost instead of a silent end.
    TestPty pty;
    std::vector<EComPort> lost;
    TComPort port;
    configure(port, pty.slavePath());
    port.OnDeviceLost = [&](TCustomComPort*, const EComPort& error) { lost.push_back(error); };
    port.OnRxChar = [&](TCustomComPort* sender, int) {
        pty.closeMaster();
        ByteString text;
        sender->ReadText(text, 10);  // a hung-up tty reads as empty: the read tells
    };
    port.OpenPort();
    pty.write("abc");
    ASSERT_TRUE(runUntil([&] { return !lost.empty(); }));
    runFor(100);
    ASSERT_EQ(lost.size(), 1u);
    EXPECT_EQ(lost[0].PortErrorCode, 3);
    EXPECT_EQ(lost[0].OsErrorCode, EIO);
    EXPECT_FALSE(port.EventThreadRunning());
}

TEST(EventThread, DestroyingAnOpenPortStopsTheThread)
{
    TestPty pty;
    int calls = 0;
    {
        TComPort port;
        openCounting(port, pty, calls);
        pty.write("abc");
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    runFor(50);  // a queued hand-over to the destroyed port is dropped
    EXPECT_LE(calls, 1);
}
