// needs: qtcore
// The serial port object over a pseudo-terminal: opening, exclusivity, line settings as the
// driver holds them, reads and writes, errors, setter rules and the event order.
#include <gtest/gtest.h>

#include <cerrno>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <string>
#include <termios.h>
#include <unistd.h>
#include <vector>

#include "serial/ComPort.h"
#include "tests/support/Pty.h"
#include "tests/support/TempDir.h"

namespace {

int openFdCount()
{
    int n = 0;
    if (DIR* d = opendir("/proc/self/fd")) {
        while (readdir(d))
            ++n;
        closedir(d);
    }
    return n;
}

// The main window's instance: 19200 8N1, no handshake; no event thread here.
void configure(TCustomComPort& port, const std::string& path)
{
    port.SetPort(path);
    port.SetBaudRate(br19200);
    port.SetEvents({});
}

void openConfigured(TCustomComPort& port, const TestPty& pty)
{
    configure(port, pty.slavePath());
    port.OpenPort();
}

termios attrs(int fd)
{
    termios t{};
    EXPECT_EQ(tcgetattr(fd, &t), 0);
    return t;
}

template <typename F>
EComPort expectComError(F&& f)
{
    try {
        f();
    } catch (const EComPort& e) {
        return e;
    }
    ADD_FAILURE() << "no EComPort raised";
    return EComPort(0);
}

} // namespace

TEST(SerialPort, OpensAndClosesThePty)
{
    TestPty pty;
    TComPort port;
    configure(port, pty.slavePath());
    EXPECT_FALSE(port.Connected());
    EXPECT_EQ(port.Handle(), -1);
    port.OpenPort();
    EXPECT_TRUE(port.Connected());
    EXPECT_GE(port.Handle(), 0);
    port.ClosePort();
    EXPECT_FALSE(port.Connected());
    EXPECT_EQ(port.Handle(), -1);
    // Exclusivity is given back: the same tty opens again.
    port.SetConnected(true);
    EXPECT_TRUE(port.Connected());
}

TEST(SerialPort, DriverHoldsTheClockLineSettings)
{
    TestPty pty;
    TComPort port;
    openConfigured(port, pty);
    const termios t = attrs(port.Handle());
    EXPECT_EQ(cfgetospeed(&t), B19200);
    EXPECT_EQ(cfgetispeed(&t), B19200);
    EXPECT_EQ(t.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_FALSE(t.c_cflag & PARENB);
    EXPECT_FALSE(t.c_cflag & CSTOPB);
    EXPECT_FALSE(t.c_cflag & CRTSCTS);
    EXPECT_TRUE(t.c_cflag & CLOCAL);
    EXPECT_TRUE(t.c_cflag & CREAD);
    EXPECT_FALSE(t.c_iflag & (IXON | IXOFF | ICRNL | INLCR | ISTRIP));
    EXPECT_FALSE(t.c_oflag & OPOST);
    EXPECT_FALSE(t.c_lflag & (ICANON | ECHO | ISIG | IEXTEN));
    EXPECT_EQ(t.c_cc[VMIN], 0);
    EXPECT_EQ(t.c_cc[VTIME], 0);
}

TEST(SerialPort, SettingsMadeWhileClosedTakeEffectAtOpenAndWhileOpenAtOnce)
{
    TestPty pty;
    TComPort port;
    configure(port, pty.slavePath());
    port.SetBaudRate(br57600);
    port.FlowControl().SetFlowControl(fcSoftware);
    port.OpenPort();
    termios t = attrs(port.Handle());
    EXPECT_EQ(cfgetospeed(&t), B57600);
    EXPECT_TRUE(t.c_iflag & IXON);
    EXPECT_TRUE(t.c_iflag & IXOFF);

    port.SetBaudRate(br9600);
    port.FlowControl().SetFlowControl(fcHardware);
    t = attrs(port.Handle());
    EXPECT_EQ(cfgetospeed(&t), B9600);
    EXPECT_TRUE(t.c_cflag & CRTSCTS);
    EXPECT_FALSE(t.c_iflag & (IXON | IXOFF));
}

TEST(SerialPort, RatesWithoutAStandardCodeAreAccepted)
{
    TestPty pty;
    TComPort port;
    openConfigured(port, pty);
    for (TBaudRate rate : {br14400, br56000, br128000, br256000}) {
        SCOPED_TRACE(BaudRateToStr(rate));
        EXPECT_NO_THROW(port.SetBaudRate(rate));
    }
    port.SetCustomBaudRate(31250);
    EXPECT_NO_THROW(port.SetBaudRate(brCustom));
    // A rate of 0 would hang the line up; it is refused, not passed on.
    const EComPort e = expectComError([&] { port.SetCustomBaudRate(0); });
    EXPECT_EQ(e.PortErrorCode, 7);
    EXPECT_TRUE(port.Connected());
}

TEST(SerialPort, SettingsTheDriverRefusesRaiseCode7AndTheOldOnesStay)
{
    // A pseudo-terminal knows no parity: the read-back shows the refusal.
    TestPty pty;
    TComPort port;
    openConfigured(port, pty);
    const EComPort e = expectComError([&] { port.Parity().SetBits(prEven); });
    EXPECT_EQ(e.PortErrorCode, 7);
    EXPECT_EQ(e.OsErrorCode, EINVAL);
    EXPECT_EQ(port.Parity().Bits(), prEven);  // stored all the same
    EXPECT_TRUE(port.Connected());
    const termios t = attrs(port.Handle());
    EXPECT_EQ(cfgetospeed(&t), B19200);
    EXPECT_FALSE(t.c_cflag & PARENB);
}

TEST(SerialPort, RefusedSettingsAtOpenLeaveThePortClosed)
{
    TestPty pty;
    TComPort port;
    configure(port, pty.slavePath());
    port.SetDataBits(dbSeven);
    const int before = openFdCount();
    const EComPort e = expectComError([&] { port.OpenPort(); });
    EXPECT_EQ(e.PortErrorCode, 7);
    EXPECT_FALSE(port.Connected());
    EXPECT_EQ(port.Handle(), -1);
    EXPECT_EQ(openFdCount(), before);
    port.SetDataBits(dbEight);
    EXPECT_NO_THROW(port.OpenPort());
}

TEST(SerialPort, BytesWrittenArriveAtTheOtherEnd)
{
    TestPty pty;
    TComPort port;
    openConfigured(port, pty);
    const ByteString frame("Z\x01\x02\x00\xff\n\r", 7);
    EXPECT_EQ(port.WriteText(frame), 7);
    EXPECT_EQ(pty.read(7), frame);  // raw: no CR/LF translation, NUL kept
}

TEST(SerialPort, ReadTextTakesWhatHasArrivedAtOnce)
{
    TestPty pty;
    TComPort port;
    openConfigured(port, pty);
    ByteString text = "old";
    EXPECT_EQ(port.ReadText(text, 10), 0);  // nothing yet: returns at once
    EXPECT_EQ(text, "");

    pty.write(ByteString("ab\0c", 4));
    for (int i = 0; i < 100 && port.ReceivedCount() < 4; ++i)
        usleep(5000);
    EXPECT_EQ(port.ReceivedCount(), 4);
    EXPECT_EQ(port.ReadText(text, 100), 4);
    EXPECT_EQ(text, ByteString("ab\0c", 4));
    EXPECT_EQ(text.size(), 4u);

    pty.write("12345");
    for (int i = 0; i < 100 && port.ReceivedCount() < 5; ++i)
        usleep(5000);
    EXPECT_EQ(port.ReadText(text, 2), 2);
    EXPECT_EQ(text, "12");
    EXPECT_EQ(port.ReceivedCount(), 3);
    EXPECT_EQ(port.ReadText(text, 0), 0);
    EXPECT_EQ(text, "");
    EXPECT_EQ(port.ReadText(text, 3), 3);
    EXPECT_EQ(text, "345");
}

TEST(SerialPort, EmptyTransfersOnAClosedPortReturnZero)
{
    TComPort port;
    ByteString text = "x";
    EXPECT_EQ(port.WriteText(""), 0);
    EXPECT_EQ(port.ReadText(text, 0), 0);
    EXPECT_EQ(text, "");
    EXPECT_EQ(port.ReadText(text, -5), 0);
}

TEST(SerialPort, TransfersOnAClosedPortArePortNotOpen)
{
    TComPort port;
    ByteString text;
    for (int which = 0; which < 2; ++which) {
        const EComPort e = expectComError([&] {
            if (which == 0)
                port.WriteText("x");
            else
                port.ReadText(text, 5);
        });
        EXPECT_EQ(e.PortErrorCode, 24);
        EXPECT_EQ(e.OsErrorCode, -1);
        EXPECT_STREQ(e.what(), "Port Not Open");
    }
}

TEST(SerialPort, SecondOpenOfTheSameDeviceIsRefused)
{
    TestPty pty;
    TComPort first, second;
    configure(first, pty.slavePath());
    configure(second, pty.slavePath());
    first.OpenPort();
    const int before = openFdCount();
    const EComPort e = expectComError([&] { second.OpenPort(); });
    EXPECT_EQ(e.PortErrorCode, 1);
    EXPECT_TRUE(e.OsErrorCode == EBUSY || e.OsErrorCode == EWOULDBLOCK) << e.OsErrorCode;
    EXPECT_EQ(std::string(e.what()), "Unable to open com port (Error: " + std::to_string(e.OsErrorCode) + ")");
    EXPECT_FALSE(second.Connected());
    EXPECT_EQ(second.Handle(), -1);
    EXPECT_EQ(openFdCount(), before);
    EXPECT_EQ(first.WriteText("ok"), 2);  // the first is untouched
    EXPECT_EQ(pty.read(2), "ok");
    first.ClosePort();
    EXPECT_NO_THROW(second.OpenPort());
}

TEST(SerialPort, MissingDeviceAndNonTtyAreClearOpenErrors)
{
    TempDir dir;
    std::ofstream(dir.file("plain")) << "not a tty";
    struct Case {
        std::string port;
        int64_t osError;
        const char* message;
    } cases[] = {
        {"COM1", ENOENT, "Unable to open com port (Error: 2)"},             // /dev/COM1
        {dir.file("nothing-here"), ENOENT, "Unable to open com port (Error: 2)"},
        {dir.file("plain"), ENOTTY, "Unable to open com port (Error: 25)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.port);
        TComPort port;
        port.SetPort(c.port);
        bool beforeOpen = false, afterOpen = false;
        port.OnBeforeOpen = [&](TCustomComPort*) { beforeOpen = true; };
        port.OnAfterOpen = [&](TCustomComPort*) { afterOpen = true; };
        const int before = openFdCount();
        const EComPort e = expectComError([&] { port.OpenPort(); });
        EXPECT_EQ(e.PortErrorCode, 1);
        EXPECT_EQ(e.OsErrorCode, c.osError);
        EXPECT_STREQ(e.what(), c.message);
        EXPECT_FALSE(port.Connected());
        EXPECT_TRUE(beforeOpen);
        EXPECT_FALSE(afterOpen);
        EXPECT_EQ(openFdCount(), before);
    }
}

TEST(SerialPort, ErrorMessagesAndCodes)
{
    EXPECT_STREQ(EComPort(1, 2).what(), "Unable to open com port (Error: 2)");
    EXPECT_EQ(EComPort(1, 2).OsErrorCode, 2);
    EXPECT_STREQ(EComPort(24).what(), "Port Not Open");
    EXPECT_EQ(EComPort(24).OsErrorCode, -1);
    EXPECT_EQ(EComPort(24, -24).OsErrorCode, -1);
    EXPECT_STREQ(EComPort(14).what(), "Cannot set property while connected");
    EXPECT_STREQ(EComPort(3, 5).what(), "ReadFile function failed (Error: 5)");
    EXPECT_TRUE(EComPort(3, EIO).DeviceGone());
    EXPECT_FALSE(EComPort(1, EBUSY).DeviceGone());
    EXPECT_FALSE(EComPort(24).DeviceGone());
    const Exception& base = EComPort(2, 5);  // a general exception, not a conversion error
    EXPECT_EQ(dynamic_cast<const EConvertError*>(&base), nullptr);
}

TEST(SerialPort, TextToValueFallBacks)
{
    EXPECT_EQ(StrToBaudRate("19200"), br19200);
    EXPECT_EQ(StrToBaudRate("custom"), brCustom);
    EXPECT_EQ(StrToBaudRate("19201"), br9600);
    EXPECT_EQ(StrToBaudRate(""), br9600);
    EXPECT_EQ(StrToStopBits("1.5"), sbOne5StopBits);
    EXPECT_EQ(StrToStopBits("3"), sbOneStopBit);
    EXPECT_EQ(StrToDataBits("7"), dbSeven);
    EXPECT_EQ(StrToDataBits("9"), dbEight);
    EXPECT_EQ(StrToParity("even"), prEven);
    EXPECT_EQ(StrToParity("SPACE"), prSpace);
    EXPECT_EQ(StrToParity("evens"), prNone);
    EXPECT_EQ(StrToDTR("handshake"), dtrHandshake);
    EXPECT_EQ(StrToDTR("x"), dtrDisable);
    EXPECT_EQ(StrToRTS("toggle"), rtsToggle);
    EXPECT_EQ(StrToRTS(""), rtsDisable);
    EXPECT_EQ(StrToFlowControl("none"), fcNone);
    EXPECT_EQ(StrToFlowControl(""), fcCustom);
    for (int i = brCustom; i <= br256000; ++i)
        EXPECT_EQ(StrToBaudRate(BaudRateToStr(static_cast<TBaudRate>(i))), i);
    EXPECT_EQ(BaudRateToInt(br256000, 1), 256000);
    EXPECT_EQ(BaudRateToInt(brCustom, 31250), 31250);
}

TEST(SerialPort, EventSetsAndDriverMasks)
{
    EXPECT_EQ(EventsToMask(AllComEvents), 0x05FFu);
    EXPECT_EQ(MaskToEvents(0x05FF), AllComEvents);
    EXPECT_EQ(EventsToMask({evTxEmpty}), 0x0004u);
    EXPECT_EQ(MaskToEvents(0x0002), (TComEvents{evRxFlag}));
    EXPECT_EQ(MaskToEvents(0xF800), TComEvents{});  // bits outside the table are ignored
    EXPECT_EQ((TComEvents{evRxChar, evRx80Full}).ToBits(), 0x0201);
}

TEST(SerialPort, DerivedFlowControl)
{
    struct Row {
        TRTSFlowControl rts;
        bool cts, xIn, xOut;
        TFlowControl expected;
    } rows[] = {
        {rtsHandshake, true, false, false, fcHardware},
        {rtsDisable, false, true, true, fcSoftware},
        {rtsDisable, false, false, false, fcNone},
        {rtsEnable, false, false, false, fcCustom},
        {rtsHandshake, false, false, false, fcCustom},
        {rtsDisable, false, true, false, fcCustom},
        {rtsHandshake, true, true, true, fcCustom},
        {rtsToggle, false, false, false, fcCustom},
    };
    for (const Row& r : rows) {
        TComFlowControl f;
        f.SetControlRTS(r.rts);
        f.SetOutCTSFlow(r.cts);
        f.SetXonXoffIn(r.xIn);
        f.SetXonXoffOut(r.xOut);
        f.SetOutDSRFlow(true);  // plays no part
        f.SetControlDTR(dtrHandshake);
        EXPECT_EQ(f.FlowControl(), r.expected) << int(r.rts) << r.cts << r.xIn << r.xOut;
    }
    TComFlowControl f;
    f.SetControlRTS(rtsEnable);
    f.SetXonXoffIn(true);
    f.SetFlowControl(fcCustom);  // changes nothing
    EXPECT_EQ(f.ControlRTS(), rtsEnable);
    EXPECT_TRUE(f.XonXoffIn());
    f.SetFlowControl(fcHardware);
    EXPECT_EQ(f.ControlRTS(), rtsHandshake);
    EXPECT_TRUE(f.OutCTSFlow());
    EXPECT_FALSE(f.XonXoffIn());
    f.SetFlowControl(fcSoftware);
    EXPECT_EQ(f.ControlRTS(), rtsDisable);
    EXPECT_FALSE(f.OutCTSFlow());
    EXPECT_TRUE(f.XonXoffIn() && f.XonXoffOut());
    f.SetFlowControl(fcNone);
    EXPECT_EQ(f.FlowControl(), fcNone);
}

TEST(SerialPort, QueueSizes)
{
    TComPort port;
    port.Buffer().SetInputSize(1025);
    EXPECT_EQ(port.Buffer().InputSize(), 1024);
    port.Buffer().SetOutputSize(-3);
    EXPECT_EQ(port.Buffer().OutputSize(), -3);
    TComBuffer b;
    b.SetInputSize(513);
    b.SetOutputSize(2);
    port.SetBuffer(b);
    EXPECT_EQ(port.Buffer().InputSize(), 512);
    EXPECT_EQ(port.Buffer().OutputSize(), 2);

    // A negative size cannot be used: the open fails with code 9 and closes again.
    TestPty pty;
    configure(port, pty.slavePath());
    port.Buffer().SetOutputSize(-3);
    const EComPort e = expectComError([&] { port.OpenPort(); });
    EXPECT_EQ(e.PortErrorCode, 9);
    EXPECT_FALSE(port.Connected());
}

TEST(SerialPort, PortNameChanges)
{
    std::vector<std::string> log;  // outlives the port, whose destructor still reports
    TComPort port;
    port.SetPort("COM1");
    EXPECT_EQ(port.Port(), "COM1");
    port.SetPort("com1");  // a change: compared exactly
    EXPECT_EQ(port.Port(), "com1");

    TestPty a, b;
    configure(port, a.slavePath());
    port.OpenPort();
    port.OnBeforeClose = [&](TCustomComPort*) { log.push_back("BeforeClose"); };
    port.OnAfterClose = [&](TCustomComPort*) { log.push_back("AfterClose"); };
    port.OnBeforeOpen = [&](TCustomComPort*) { log.push_back("BeforeOpen"); };
    port.OnAfterOpen = [&](TCustomComPort*) { log.push_back("AfterOpen:" + port.Port()); };
    port.SetPort(a.slavePath());  // the same: nothing
    EXPECT_TRUE(log.empty());
    port.SetPort(b.slavePath());  // open: closes and reopens on the new name
    EXPECT_EQ(log, (std::vector<std::string>{"BeforeClose", "AfterClose", "BeforeOpen", "AfterOpen:" + b.slavePath()}));
    EXPECT_TRUE(port.Connected());
    port.WriteText("b");
    EXPECT_EQ(b.read(1), "b");
    EXPECT_EQ(a.drain(std::chrono::milliseconds(20)), "");
}

TEST(SerialPort, SyncMethodIsRefusedWhileOpen)
{
    TestPty pty;
    TComPort port;
    configure(port, pty.slavePath());
    port.SetSyncMethod(smNone);
    EXPECT_EQ(port.SyncMethod(), smNone);
    port.OpenPort();
    const EComPort e = expectComError([&] { port.SetSyncMethod(smThreadSync); });
    EXPECT_EQ(e.PortErrorCode, 14);
    EXPECT_EQ(e.OsErrorCode, -1);
    EXPECT_EQ(port.SyncMethod(), smNone);
    EXPECT_NO_THROW(port.SetSyncMethod(smNone));  // the same value is no change
}

TEST(SerialPort, SameValueDoesNothingWholeGroupAlwaysReapplies)
{
    // Someone else changes the tty's speed behind the port's back; only a real apply restores it.
    TestPty pty;
    TComPort port;
    openConfigured(port, pty);
    auto spoil = [&] {
        termios t = attrs(port.Handle());
        cfsetspeed(&t, B4800);
        ASSERT_EQ(tcsetattr(port.Handle(), TCSANOW, &t), 0);
    };
    auto speed = [&] {
        const termios t = attrs(port.Handle());
        return cfgetospeed(&t);
    };
    spoil();
    port.SetBaudRate(br19200);
    port.Parity().SetBits(prNone);
    port.FlowControl().SetXonChar(17);
    EXPECT_EQ(speed(), static_cast<speed_t>(B4800));  // same values: nothing applied

    port.SetParity(port.Parity());
    EXPECT_EQ(speed(), static_cast<speed_t>(B19200));
    spoil();
    port.Parity() = TComParity();
    EXPECT_EQ(speed(), static_cast<speed_t>(B19200));
    spoil();
    port.FlowControl().SetFlowControl(fcNone);  // the derived property always re-applies
    EXPECT_EQ(speed(), static_cast<speed_t>(B19200));
    spoil();
    port.SetFlowControl(TComFlowControl());
    EXPECT_EQ(speed(), static_cast<speed_t>(B19200));
}

TEST(SerialPort, OpenTwiceCloseTwiceFireNothing)
{
    TestPty pty;
    TComPort port;
    configure(port, pty.slavePath());
    int events = 0;
    auto count = [&](TCustomComPort*) { ++events; };
    port.OnBeforeOpen = port.OnAfterOpen = port.OnBeforeClose = port.OnAfterClose = count;
    port.ClosePort();
    EXPECT_EQ(events, 0);
    port.OpenPort();
    EXPECT_EQ(events, 2);
    port.OpenPort();
    port.SetConnected(true);
    EXPECT_EQ(events, 2);
    port.ClosePort();
    EXPECT_EQ(events, 4);
    port.ClosePort();
    port.SetConnected(false);
    EXPECT_EQ(events, 4);
}

TEST(SerialPort, EventOrderAroundOpenAndClose)
{
    TestPty pty;
    TComPort port;
    configure(port, pty.slavePath());
    std::vector<std::string> log;
    port.OnBeforeOpen = [&](TCustomComPort* s) { log.push_back(std::string("BeforeOpen") + (s->Connected() ? "+" : "-")); };
    port.OnAfterOpen = [&](TCustomComPort* s) { log.push_back(std::string("AfterOpen") + (s->Connected() ? "+" : "-")); };
    port.OnBeforeClose = [&](TCustomComPort* s) { log.push_back(std::string("BeforeClose") + (s->Connected() ? "+" : "-")); };
    port.OnAfterClose = [&](TCustomComPort* s) { log.push_back(std::string("AfterClose") + (s->Connected() ? "+" : "-")); };
    // A pseudo-terminal has no modem lines: they read off.
    port.OnCTSChange = [&](TCustomComPort*, bool on) { log.push_back(std::string("CTS") + (on ? "1" : "0")); };
    port.OnDSRChange = [&](TCustomComPort*, bool on) { log.push_back(std::string("DSR") + (on ? "1" : "0")); };
    port.OnRLSDChange = [&](TCustomComPort*, bool on) { log.push_back(std::string("RLSD") + (on ? "1" : "0")); };
    port.OpenPort();
    port.ClosePort();
    EXPECT_EQ(log, (std::vector<std::string>{"BeforeOpen-", "AfterOpen+", "CTS0", "DSR0", "RLSD0",
                                             "CTS0", "DSR0", "RLSD0", "BeforeClose+", "AfterClose-"}));
}

TEST(SerialPort, ClosingDiscardsUnreadInput)
{
    TestPty pty;
    TComPort port;
    openConfigured(port, pty);
    pty.write("stale bytes");
    for (int i = 0; i < 100 && port.ReceivedCount() < 11; ++i)
        usleep(5000);
    ASSERT_EQ(port.ReceivedCount(), 11);
    port.ClosePort();
    port.OpenPort();
    EXPECT_EQ(port.ReceivedCount(), 0);
    ByteString text;
    EXPECT_EQ(port.ReadText(text, 100), 0);
}

TEST(SerialPort, WriteEndsAtItsTimeOutWithTheSmallerCount)
{
    // Nobody reads the other end: the pty's queue fills and the write time-out ends the wait.
    TestPty pty;
    TComPort port;
    configure(port, pty.slavePath());
    port.Timeouts().SetWriteTotalMultiplier(0);
    port.Timeouts().SetWriteTotalConstant(150);
    port.OpenPort();
    const ByteString big(1 << 20, 'x');
    const int written = port.WriteText(big);
    EXPECT_GT(written, 0);
    EXPECT_LT(written, static_cast<int>(big.size()));
    EXPECT_TRUE(port.Connected());
}

TEST(SerialPort, WriteToAVanishedDeviceIsCode2WithTheOsError)
{
    TestPty pty;
    TComPort port;
    openConfigured(port, pty);
    pty.closeMaster();
    const EComPort e = expectComError([&] { port.WriteText("x"); });
    EXPECT_EQ(e.PortErrorCode, 2);
    EXPECT_EQ(e.OsErrorCode, EIO);
    EXPECT_TRUE(e.DeviceGone());
    EXPECT_TRUE(port.DeviceLost());
    EXPECT_TRUE(port.Connected());
    EXPECT_NO_THROW(port.ClosePort());  // nothing to purge, but it closes
    EXPECT_FALSE(port.Connected());
    EXPECT_EQ(port.Handle(), -1);
}

TEST(SerialPort, LoadingRecordsConnectedAndOpensWhenDone)
{
    TestPty pty;
    TComPort port;
    port.BeginLoading();
    configure(port, pty.slavePath());
    port.SetConnected(true);
    EXPECT_FALSE(port.Connected());
    port.Loaded();
    EXPECT_TRUE(port.Connected());
}

TEST(SerialPort, ModemLineAndStopBitSettingsOnAPty)
{
    // A pty has no modem lines and no RS485 mode: holding DTR/RTS or asking for the kernel's
    // RS485 mode is no failure there.
    TestPty pty;
    TComPort port;
    openConfigured(port, pty);
    for (TDTRFlowControl dtr : {dtrEnable, dtrHandshake, dtrDisable})
        EXPECT_NO_THROW(port.FlowControl().SetControlDTR(dtr)) << int(dtr);
    for (TRTSFlowControl rts : {rtsEnable, rtsToggle, rtsHandshake, rtsDisable})
        EXPECT_NO_THROW(port.FlowControl().SetControlRTS(rts)) << int(rts);
    port.SetStopBits(sbTwoStopBits);
    EXPECT_TRUE(attrs(port.Handle()).c_cflag & CSTOPB);
    port.SetStopBits(sbOneStopBit);
    EXPECT_FALSE(attrs(port.Handle()).c_cflag & CSTOPB);
}
