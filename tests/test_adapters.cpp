// needs: qtcore
// Real adapters without the hardware: the driver and USB strings on fake sysfs trees, stable
// port identities and their file, the open sequence through the ioctl seam (lines dropped
// first, low latency asked for, flaky modem-line answers tolerated), and the wall-clock tick.
#include <gtest/gtest.h>

#include <linux/serial.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <vector>

#include "link/Tick.h"
#include "serial/ComPort.h"
#include "serial/DeviceMap.h"
#include "serial/PortIdentity.h"
#include "serial/Termios.h"
#include "tests/support/Pty.h"
#include "tests/support/TempDir.h"

namespace fs = std::filesystem;

namespace {

void link(const std::string& target, const std::string& at)
{
    fs::create_directories(fs::path(at).parent_path());
    fs::create_symlink(target, at);
}

// A newer kernel's 8250 port behind the serial core's own devices, and two USB adapters under
// a hub: one without strings of its own (the hub's and the host controller's must not show),
// one with a serial number.
struct AdapterSysfs {
    explicit AdapterSysfs(const TempDir& dir) : root(dir.mkdir("sys"))
    {
        const std::string drivers = root + "/bus/drivers";
        for (const char* d : {"serial8250", "port", "ctrl", "ch341", "ftdi_sio", "usb"})
            fs::create_directories(drivers + "/" + d);
        fs::create_directories(root + "/bus/serial-base");
        const std::string p = root + "/devices/platform/serial8250";
        link(drivers + "/serial8250", p + "/driver");
        link(drivers + "/ctrl", p + "/serial8250:0/driver");
        link(root + "/bus/serial-base", p + "/serial8250:0/subsystem");
        link(drivers + "/port", p + "/serial8250:0/serial8250:0.0/driver");
        link(root + "/bus/serial-base", p + "/serial8250:0/serial8250:0.0/subsystem");
        link(p + "/serial8250:0/serial8250:0.0", root + "/class/tty/ttyS0/device");
        writeFile(root + "/class/tty/ttyS0/type", "4\n");

        const std::string hc = root + "/devices/pci0000:00/usb1";
        writeFile(hc + "/idVendor", "1d6b\n");
        writeFile(hc + "/manufacturer", "Linux 6.1.0 xhci-hcd\n");
        writeFile(hc + "/product", "xHCI Host Controller\n");
        const std::string hub = hc + "/1-1";
        writeFile(hub + "/idVendor", "05e3\n");
        writeFile(hub + "/product", "USB2.0 Hub\n");
        const std::string ch = hub + "/1-1.2";
        writeFile(ch + "/idVendor", "1a86\n");
        writeFile(ch + "/idProduct", "7523\n");
        link(drivers + "/ch341", ch + "/1-1.2:1.0/driver");
        link(ch + "/1-1.2:1.0/ttyUSB0", root + "/class/tty/ttyUSB1/device");
        link(drivers + "/ch341", ch + "/1-1.2:1.0/ttyUSB0/driver");
        const std::string ft = hub + "/1-1.3";
        writeFile(ft + "/idVendor", "0403\n");
        writeFile(ft + "/idProduct", "6001\n");
        writeFile(ft + "/serial", "A10K3XYZ\n");
        writeFile(ft + "/manufacturer", "FTDI\n");
        writeFile(ft + "/product", "FT232R USB UART\n");
        link(drivers + "/ftdi_sio", ft + "/1-1.3:1.0/ttyUSB0/driver");
        link(ft + "/1-1.3:1.0/ttyUSB0", root + "/class/tty/ttyUSB0/device");
    }
    std::string root;
};

} // namespace

TEST(Adapters, DriverAndStringsAreTheAdaptersOwn)
{
    TempDir dir;
    AdapterSysfs sys(dir);
    const std::vector<PortEntry> list = DeviceMap(sys.root, dir.file("no-ports")).list();
    ASSERT_EQ(list.size(), 3u);
    EXPECT_EQ(list[0].portName, "/dev/ttyS0");
    EXPECT_EQ(list[0].deviceName, "serial8250");   // not "port"
    EXPECT_EQ(list[1].deviceName, "ftdi_sio: FTDI FT232R USB UART");
    EXPECT_EQ(list[2].deviceName, "ch341");        // no hub or host-controller strings
}

TEST(Adapters, IdentitiesFollowTheAdapterNotItsName)
{
    TempDir dir;
    AdapterSysfs sys(dir);
    TestPty pty, other;
    const std::string ports = dir.mkdir("ports");
    const std::string byId = dir.mkdir("by-id");
    link(pty.slavePath(), ports + "/BUS");
    link(other.slavePath(), ports + "/SIM");
    link(pty.slavePath(), byId + "/usb-FTDI_FT232R_USB_UART_A10K3XYZ-if00-port0");
    writeFile(dir.file("plain"), "x");
    link(dir.file("plain"), byId + "/usb-not-a-tty");   // leads to no tty: names nothing
    const IdentityRoots roots{sys.root, byId, ports};

    struct Row { std::string port, identity; };
    for (const Row& row : std::vector<Row>{
             {ports + "/BUS", "by-id:usb-FTDI_FT232R_USB_UART_A10K3XYZ-if00-port0"},
             {ports + "/SIM", "link:SIM"},
             {"/dev/ttyUSB0", "usb:0403:6001:A10K3XYZ"},
             {"/dev/ttyUSB1", "usb:1a86:7523:"},
             {"/dev/ttyS0", ""},
             {"tcp://10.0.0.5:4001", ""},
         })
        EXPECT_EQ(portIdentity(row.port, roots), row.identity) << row.port;

    // After a reboot the two adapters swapped names: the identity finds the FTDI one again.
    const std::vector<PortEntry> swapped = {{"/dev/ttyUSB1", ""}, {"/dev/ttyUSB0", ""}};
    EXPECT_EQ(findIdentity(swapped, "usb:0403:6001:A10K3XYZ", roots), std::optional<size_t>(1));
    EXPECT_EQ(findIdentity(swapped, "usb:0403:6001:OTHER", roots), std::nullopt);
    EXPECT_EQ(findIdentity(swapped, "", roots), std::nullopt);
}

TEST(Adapters, IdentityFileIsReadOnlyWhenWhole)
{
    TempDir dir;
    const std::string path = dir.file("port-id");
    ASSERT_TRUE(writeIdentityFile(path, "by-id:usb-X-if00", "/dev/ttyUSB0"));
    EXPECT_EQ(readFile(path), "by-id:usb-X-if00\n/dev/ttyUSB0\n");
    EXPECT_EQ(readIdentityFile(path), "by-id:usb-X-if00");

    struct Row { const char* what; std::string content; std::string expected; };
    for (const Row& row : std::vector<Row>{
             {"no port name", "link:SIM1", "link:SIM1"},
             {"unknown kind", "com:COM1\n", ""},
             {"a path hidden in it", "by-id:../../etc/passwd\n", ""},
             {"control bytes", std::string("usb:0403:6001:\x01\x02\n", 18), ""},
             {"empty", "", ""},
             {"huge", "link:" + std::string(100000, 'A') + "\n", ""},
         }) {
        writeFile(path, row.content);
        EXPECT_EQ(readIdentityFile(path), row.expected) << row.what;
    }
    fs::remove(path);
    EXPECT_EQ(readIdentityFile(path), "");
    ASSERT_EQ(mkfifo(path.c_str(), 0600), 0);   // a pipe would block a plain read for ever
    EXPECT_EQ(readIdentityFile(path), "");
    fs::remove(path);
    writeFile(path, "link:OLD\n");
    EXPECT_TRUE(writeIdentityFile(path, "", "/dev/ttyS0"));   // no identity: the stale one goes
    EXPECT_FALSE(fs::exists(path));
}

namespace {

// The ioctls the port makes, in order; one request may be made to fail with an errno.
struct IoctlScript {
    IoctlScript() { tty::ioctlHook() = [this](int fd, unsigned long r, void* arg) { return call(fd, r, arg); }; }
    ~IoctlScript() { tty::ioctlHook() = nullptr; }
    int call(int fd, unsigned long request, void* arg)
    {
        requests.push_back(request);
        if (request == TIOCMBIC && arg)
            cleared.push_back(*static_cast<int*>(arg));
        if (request == failRequest) {
            errno = failErrno;
            return -1;
        }
        if (request == TIOCGSERIAL && fakeSerial) {   // a driver that has the low-latency flag
            *static_cast<serial_struct*>(arg) = serial_struct{};
            return 0;
        }
        if (request == TIOCGRS485 && fakeSerial) {    // and an RS485 mode
            *static_cast<serial_rs485*>(arg) = serial_rs485{};
            return 0;
        }
        if (request == TIOCSSERIAL)
            lowLatency = (static_cast<serial_struct*>(arg)->flags & ASYNC_LOW_LATENCY) != 0;
        return ::ioctl(fd, request, arg);
    }
    std::vector<unsigned long> requests;
    std::vector<int> cleared;
    unsigned long failRequest = 0;
    int failErrno = 0;
    bool fakeSerial = false;
    bool lowLatency = false;
};

void openLikeTheWindow(TComPort& port, const TestPty& pty, TRTSFlowControl rts)
{
    port.SetPort(pty.slavePath());
    port.SetBaudRate(br19200);
    port.SetEvents({});
    port.FlowControl().SetControlDTR(dtrDisable);
    port.FlowControl().SetControlRTS(rts);
    port.OpenPort();
}

} // namespace

TEST(Adapters, OpenDropsTheLinesFirstAndAsksForLowLatency)
{
    TestPty pty;
    IoctlScript script;
    script.fakeSerial = true;
    TComPort port;
    openLikeTheWindow(port, pty, rtsDisable);
    ASSERT_TRUE(port.Connected());
    const auto excl = std::find(script.requests.begin(), script.requests.end(), static_cast<unsigned long>(TIOCEXCL));
    ASSERT_NE(excl, script.requests.end());
    ASSERT_NE(excl + 1, script.requests.end());
    EXPECT_EQ(*(excl + 1), static_cast<unsigned long>(TIOCMBIC));   // before any line setting
    ASSERT_FALSE(script.cleared.empty());
    EXPECT_EQ(script.cleared[0], TIOCM_DTR | TIOCM_RTS);
    EXPECT_TRUE(script.lowLatency);
    port.ClosePort();
}

TEST(Adapters, FlakyModemLineAnswersDoNotFailTheOpenButAGoneDeviceDoes)
{
    struct Row { unsigned long request; int error; TRTSFlowControl rts; bool opens; };
    for (const Row& row : std::vector<Row>{
             {TIOCMBIC, EPIPE, rtsDisable, true},
             {TIOCMBIC, EPROTO, rtsDisable, true},
             {TIOCMBIC, ETIMEDOUT, rtsDisable, true},
             {TIOCGRS485, EPIPE, rtsToggle, true},
             {TIOCSRS485, EPROTO, rtsToggle, true},
             {TIOCSSERIAL, EPERM, rtsDisable, true},
             {TIOCMBIC, ENODEV, rtsDisable, false},
             {TIOCSRS485, ENXIO, rtsToggle, false},
         }) {
        TestPty pty;
        IoctlScript script;
        script.fakeSerial = true;
        script.failRequest = row.request;
        script.failErrno = row.error;
        TComPort port;
        bool opened = false;
        try {
            openLikeTheWindow(port, pty, row.rts);
            opened = port.Connected();
        } catch (const EComPort& e) {
            EXPECT_EQ(e.OsErrorCode, row.error) << e.what();
        }
        EXPECT_EQ(opened, row.opens) << "request 0x" << std::hex << row.request << std::dec << " errno " << row.error;
        if (opened)
            port.ClosePort();
    }
}

TEST(WallClockTick, SlotsTheBroadcastAndTheSpacing)
{
    constexpr int64_t S = 1000000, ms = 1000;
    const int64_t base = 1765200000 * S;   // a whole second
    const int64_t never = S * 1000;
    struct Row { const char* what; int64_t wall; int64_t since; int interval; bool broadcast; int64_t delay; };
    for (const Row& r : std::vector<Row>{
             {"on the grid", base, never, 100, false, 5 * ms},
             {"just before a slot", base + 4 * ms, never, 100, false, 1 * ms},
             {"just after a slot", base + 6 * ms, never, 100, false, 99 * ms},
             {"overdue tick after the pause", base + 47 * ms, 0, 100, false, 158 * ms},
             {"late tick keeps 90 ms", base + 120 * ms, 5 * ms, 100, false, 85 * ms},
             {"broadcast waits for the second", base + 347 * ms, never, 100, true, 658 * ms},
             {"broadcast right after the second", base + 995 * ms, never, 100, true, 10 * ms},
             {"broadcast too close to the last tick", base + 995 * ms, 0, 100, true, 1010 * ms},
             {"clock stepped back an hour", base - 3600 * S + 437 * ms, 100 * ms, 100, false, 68 * ms},
             {"short test interval: no second alignment", base + 3 * ms, never, 20, true, 18 * ms},
         })
        EXPECT_EQ(nextTickDelayUs(r.wall, r.since, r.interval, r.broadcast), r.delay) << r.what;
}

// A tick that ends late does not lose the next slot: the ticks close up to 90 ms and are back on
// their slots a few ticks later, so the tick count keeps step with the wall clock.
TEST(WallClockTick, ALateTickClosesUpInsteadOfLosingASlot)
{
    constexpr int64_t ms = 1000;
    const int64_t base = INT64_C(1765200000) * 1000000;
    struct Row { const char* what; int64_t previous; int64_t late; bool broadcast; int64_t delay; int64_t slot; };
    for (const Row& r : std::vector<Row>{
             {"on time", 5 * ms, 1 * ms, false, 99 * ms, 105 * ms},
             {"30 ms late", 5 * ms, 30 * ms, false, 90 * ms, 105 * ms},
             {"a whole interval late", 5 * ms, 100 * ms, false, 90 * ms, 105 * ms},
             {"half a second late: the slot is lost", 5 * ms, 500 * ms, false, 100 * ms, 605 * ms},
             {"broadcast 14 ms behind its second", 905 * ms, 24 * ms, true, 90 * ms, 1005 * ms},
             {"broadcast 20 ms behind waits for the next second", 905 * ms, 30 * ms, true, 1070 * ms, 2005 * ms},
             {"broadcast out of phase waits for its second", 805 * ms, 20 * ms, true, 180 * ms, 1005 * ms},
         }) {
        // The previous tick stood for the slot `previous` into the second and ended `late` after it.
        const TickPlan plan = planNextTick(base + r.previous + r.late, 0, 100, r.broadcast, r.late);
        EXPECT_EQ(plan.delayUs, r.delay) << r.what;
        EXPECT_EQ(plan.slotWallUs - base, r.slot) << r.what;
    }
    // Ticks that take 1 ms each after one that ended 35 ms late: back on the slots by the fourth.
    int64_t slot = base + 5 * ms, end = slot + 35 * ms;
    std::vector<int64_t> phases;
    for (int i = 0; i < 5; ++i) {
        const TickPlan plan = planNextTick(end, 0, 100, false, end - slot);
        slot = plan.slotWallUs;
        end += plan.delayUs + 1 * ms;
        phases.push_back((end - 1 * ms - base) % (100 * ms) / ms);
    }
    EXPECT_EQ(phases, (std::vector<int64_t>{30, 21, 12, 5, 5}));
}
