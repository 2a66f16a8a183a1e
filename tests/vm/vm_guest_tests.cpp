// Cases run inside the QEMU guest (tests/vm/vm-stage.sh) on real tty drivers: ftdi_sio behind
// an emulated xHCI controller as /dev/ttyUSB0, and a 16550 UART as /dev/ttyS1, each with a
// kadrel-sim of four clocks on the host side of the line. The emulated lines have no baud
// pacing and the guest's timers jitter: bytes, order and behaviour are checked, never timing.
#include <gtest/gtest.h>

#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>

#include <algorithm>
#include <cstdlib>
#include <optional>
#include <chrono>
#include <cstdio>
#include <thread>
#include <unistd.h>

#include <QObject>
#include <QTimer>

#include "link/Frame.h"
#include "serial/ComPort.h"
#include "serial/DeviceMap.h"
#include "serial/PortIdentity.h"
#include "tests/support/ClockFrames.h"
#include "tests/support/RunUntil.h"
#include "tests/support/TempDir.h"

namespace {

struct Line {
    const char* what;
    const char* path;
};
const Line lines[] = {
    {"ftdi_sio over USB", "/dev/ttyUSB0"},
    {"16550 UART", "/dev/ttyS1"},
};

// The main window's port: 19200 8N1, no handshake, DTR and RTS off, no event thread.
void openLikeTheWindow(TComPort& port, const std::string& path, bool rs485 = false)
{
    port.SetPort(path);
    port.SetBaudRate(br19200);
    port.SetDataBits(dbEight);
    port.SetStopBits(sbOneStopBit);
    port.Parity().SetBits(prNone);
    port.FlowControl().SetControlDTR(dtrDisable);
    port.FlowControl().SetControlRTS(rtsDisable);
    port.SetEvents({});
    port.SetKernelRs485(rs485);
    port.OpenPort();
}

// What the port receives until `count` bytes are in or a generous bound has passed.
ByteString readReply(TComPort& port, size_t count, int rounds = 300)
{
    ByteString got;
    for (int i = 0; i < rounds && got.size() < count; ++i) {
        pollfd p{port.Handle(), POLLIN, 0};
        ::poll(&p, 1, 10);
        ByteString more;
        port.ReadText(more, 256);
        got += more;
    }
    return got;
}

// Polls each clock once; every reply must be a whole status frame of that clock whose supply
// reading is the simulator's 12.00 V, with nothing before or after it.
void pollFourClocks(TComPort& port)
{
    for (uint8_t clock = 1; clock <= 4; ++clock) {
        SCOPED_TRACE("clock " + std::to_string(clock));
        const ByteString poll = Frame::build(clock, bytes({0x60}));
        ASSERT_EQ(port.WriteText(poll), static_cast<int>(poll.size()));
        const ByteString reply = readReply(port, 8);
        ASSERT_EQ(reply.size(), 8u) << toHex(reply);
        EXPECT_EQ(toHex(reply), toHex(status(byteAt(reply, 1), byteAt(reply, 3), byteAt(reply, 4),
                                             clock == 1 ? kRaw1 : kRaw)));
        EXPECT_EQ(byteAt(reply, 1) & 0x7F, clock);
        // Nothing trails it (a short look: the next poll's reply would show a stray byte anyway).
        EXPECT_EQ(readReply(port, 1, 5), "");
    }
}

} // namespace

TEST(VmLines, FourClocksAt19200_8N1WithDtrAndRtsDropped)
{
    for (const Line& line : lines) {
        SCOPED_TRACE(line.what);
        TComPort port;
        openLikeTheWindow(port, line.path);
        ASSERT_TRUE(port.Connected());
        termios t{};
        ASSERT_EQ(tcgetattr(port.Handle(), &t), 0);
        EXPECT_EQ(cfgetospeed(&t), B19200);
        EXPECT_EQ(cfgetispeed(&t), B19200);
        EXPECT_EQ(t.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
        EXPECT_FALSE(t.c_cflag & (PARENB | CSTOPB | CRTSCTS));
        int lines = 0;
        ASSERT_EQ(ioctl(port.Handle(), TIOCMGET, &lines), 0);
        EXPECT_EQ(lines & (TIOCM_DTR | TIOCM_RTS), 0) << "modem lines " << lines;
        pollFourClocks(port);
        port.ClosePort();
    }
}

TEST(VmLines, KernelRs485RefusedOnceThenPollingGoesOn)
{
    for (const Line& line : lines) {
        SCOPED_TRACE(line.what);
        TComPort port;
        openLikeTheWindow(port, line.path, true);
        ASSERT_TRUE(port.Connected());
        const std::string notice = port.TakeRs485Notice();
        std::printf("%s: %s\n", line.path, notice.c_str());
        EXPECT_NE(notice.find("RS485"), std::string::npos);
        pollFourClocks(port);
        port.ClosePort();
        port.OpenPort();
        EXPECT_EQ(port.TakeRs485Notice(), "");
        port.ClosePort();
    }
}

TEST(VmListing, NamesTheRealDriversAndTheAdaptersStrings)
{
    TempDir noVirtual;
    const std::vector<PortEntry> ports = DeviceMap("/sys", noVirtual.path()).list();
    for (const PortEntry& p : ports)
        std::printf("  %s  %s\n", p.portName.c_str(), p.deviceName.c_str());
    auto find = [&](const std::string& name) {
        return std::find_if(ports.begin(), ports.end(), [&](const PortEntry& p) { return p.portName == name; });
    };
    ASSERT_NE(find("/dev/ttyUSB0"), ports.end());
    EXPECT_NE(find("/dev/ttyUSB0")->deviceName.find("ftdi_sio"), std::string::npos);
    EXPECT_NE(find("/dev/ttyUSB0")->deviceName.find("QEMU"), std::string::npos);
    ASSERT_NE(find("/dev/ttyS1"), ports.end());
    EXPECT_FALSE(find("/dev/ttyS1")->deviceName.empty());
    // The 8250 driver's unused slots (no UART behind them) are not offered.
    EXPECT_EQ(find("/dev/ttyS3"), ports.end());
}

// Run once before udevd starts (no /dev/serial/by-id yet) and once after (KADREL_VM_UDEV=1).
TEST(VmIdentity, IdentityFileNamesTheAdapterByIdOrByItsUsbIds)
{
    const bool udev = std::getenv("KADREL_VM_UDEV") != nullptr;
    IdentityRoots roots;
    TempDir noVirtual;
    roots.virtualDir = noVirtual.path();
    const std::string identity = portIdentity("/dev/ttyUSB0", roots);
    std::printf("  /dev/ttyUSB0 identity: %s\n", identity.c_str());
    if (udev)
        EXPECT_EQ(identity, "by-id:usb-QEMU_QEMU_USB_SERIAL_KADREL0001-if00-port0");
    else
        EXPECT_EQ(identity, "usb:0403:6001:KADREL0001");
    // The file beside the settings reads back, and finds the adapter in the listing.
    TempDir config;
    const std::string file = config.file("port-id");
    ASSERT_TRUE(writeIdentityFile(file, identity, "/dev/ttyUSB0"));
    EXPECT_EQ(readIdentityFile(file), identity);
    const std::vector<PortEntry> ports = DeviceMap("/sys", noVirtual.path()).list();
    const std::optional<size_t> at = findIdentity(ports, identity, roots);
    ASSERT_TRUE(at.has_value());
    EXPECT_EQ(ports[*at].portName, "/dev/ttyUSB0");
    // The motherboard UART has no identity: the stored index rules for it.
    EXPECT_EQ(portIdentity("/dev/ttyS1", roots), "");
}

namespace {

// Asks the host (tests/vm/vm-stage.sh reads the console) to act on the emulated USB bus:
//   unplug / plug-same (same serial, same port) / plug-other-port (same serial, another port)
//   plug-second / unplug-second (another adapter with serial OTHER0002)
void askHost(const char* action)
{
    std::printf("KADREL-VM-REQUEST %s\n", action);
    std::fflush(stdout);
}

const char* const ourIdentity = "usb:0403:6001:KADREL0001";

// The tty the listing finds for an identity, once it is there (or is gone, for `present` false).
std::string waitForIdentity(const std::string& identity, bool present)
{
    IdentityRoots roots;
    TempDir noVirtual;
    roots.virtualDir = noVirtual.path();
    for (int i = 0; i < 300; ++i) {
        const std::vector<PortEntry> ports = DeviceMap("/sys", noVirtual.path()).list();
        const std::optional<size_t> at = findIdentity(ports, identity, roots);
        if (at.has_value() == present && (!present || ::access(ports[*at].portName.c_str(), R_OK | W_OK) == 0))
            return present ? ports[*at].portName : std::string("gone");
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return {};
}

void pollOnce(const std::string& path)
{
    TComPort port;
    openLikeTheWindow(port, path);
    pollFourClocks(port);
    port.ClosePort();
}

} // namespace

TEST(VmUnplug, PulledWhilePollingThenFoundAgainByIdentityOnly)
{
    ASSERT_EQ(waitForIdentity(ourIdentity, true), "/dev/ttyUSB0");
    // Polling through the event thread, as the window does, when the adapter is pulled.
    TComPort port;
    int lost = 0, writeErrors = 0, replies = 0;
    port.OnDeviceLost = [&](TCustomComPort*, const EComPort&) { ++lost; };
    port.OnRxChar = [&](TCustomComPort* sender, int count) {
        ByteString got;
        sender->ReadText(got, count);
        replies += static_cast<int>(got.size());
    };
    port.SetPort("/dev/ttyUSB0");
    port.SetBaudRate(br19200);
    port.FlowControl().SetControlDTR(dtrDisable);
    port.FlowControl().SetControlRTS(rtsDisable);
    port.SetEvents({evRxChar});
    port.OpenPort();
    QTimer poller;
    QObject::connect(&poller, &QTimer::timeout, [&] {
        if (!port.Connected() || lost)
            return;
        try {
            port.WriteText(Frame::build(1, bytes({0x60})));
        } catch (const EComPort&) {
            ++writeErrors;
        }
    });
    poller.start(50);
    ASSERT_TRUE(runUntil([&] { return replies >= 16; }, 10000)) << "no replies before the pull";
    askHost("unplug");
    ASSERT_TRUE(runUntil([&] { return lost > 0; }, 15000)) << "the pull was not noticed";
    runFor(1000);  // a storm would show here
    poller.stop();
    EXPECT_EQ(lost, 1);
    EXPECT_LE(writeErrors, 1);
    EXPECT_TRUE(port.DeviceLost());
    port.ClosePort();
    EXPECT_FALSE(port.Connected());
    EXPECT_EQ(port.Handle(), -1);
    EXPECT_EQ(waitForIdentity(ourIdentity, false), "gone");

    // Another adapter alone on the bus is never taken for ours.
    askHost("plug-second");
    ASSERT_EQ(waitForIdentity("usb:0403:6001:OTHER0002", true), "/dev/ttyUSB0");
    EXPECT_EQ(waitForIdentity(ourIdentity, false), "gone");

    // Ours back in the same port: found by its identity under whatever tty it got, and polled.
    askHost("plug-same");
    const std::string again = waitForIdentity(ourIdentity, true);
    EXPECT_EQ(again, "/dev/ttyUSB1");
    if (!again.empty())
        pollOnce(again);

    // Pulled again and put into another USB port, the other adapter gone meanwhile.
    askHost("unplug");
    EXPECT_EQ(waitForIdentity(ourIdentity, false), "gone");
    askHost("unplug-second");
    askHost("plug-other-port");
    const std::string moved = waitForIdentity(ourIdentity, true);
    ASSERT_FALSE(moved.empty());
    pollOnce(moved);
}
