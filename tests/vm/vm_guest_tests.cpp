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

#include "link/Frame.h"
#include "serial/ComPort.h"
#include "serial/DeviceMap.h"
#include "serial/PortIdentity.h"
#include "tests/support/ClockFrames.h"
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
