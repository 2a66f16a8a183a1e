// needs: qtcore
// The kernel RS485 option at open: a pseudo-terminal has no RS485 mode, so the refusal is said
// once and the port works on; a driver that has the mode (played through the ioctl hook) gets
// RTS on while sending and off after, and its old state back at close.
#include <gtest/gtest.h>

#include <linux/serial.h>
#include <sys/ioctl.h>

#include <cerrno>

#include "serial/ComPort.h"
#include "serial/Termios.h"
#include "tests/support/Pty.h"

namespace {

// A driver's RS485 state behind the hook; every other request goes to the pty.
struct Rs485Driver {
    explicit Rs485Driver(int getError, int setError, bool keepsOff)
        : getError(getError), setError(setError), keepsOff(keepsOff)
    {
        tty::ioctlHook() = [this](int fd, unsigned long r, void* arg) {
            if (r == TIOCGRS485) {
                if (this->getError) {
                    errno = this->getError;
                    return -1;
                }
                *static_cast<serial_rs485*>(arg) = state;
                return 0;
            }
            if (r == TIOCSRS485) {
                ++sets;
                if (this->setError) {
                    errno = this->setError;
                    return -1;
                }
                state = *static_cast<serial_rs485*>(arg);
                if (this->keepsOff)
                    state.flags &= ~static_cast<__u32>(SER_RS485_ENABLED);
                return 0;
            }
            return ::ioctl(fd, r, arg);
        };
        state.flags = SER_RS485_RTS_AFTER_SEND;  // what it held before: something to put back
    }
    ~Rs485Driver() { tty::ioctlHook() = nullptr; }
    int getError, setError;
    bool keepsOff;
    serial_rs485 state{};
    int sets = 0;
};

void openLikeTheWindow(TComPort& port, const TestPty& pty, bool rs485)
{
    port.SetPort(pty.slavePath());
    port.SetBaudRate(br19200);
    port.SetEvents({});
    port.FlowControl().SetControlDTR(dtrDisable);
    port.FlowControl().SetControlRTS(rtsDisable);
    port.SetKernelRs485(rs485);
    port.OpenPort();
}

} // namespace

TEST(KernelRs485, APtyRefusesItOnceAndThePortWorksOn)
{
    TestPty pty;
    TComPort port;
    openLikeTheWindow(port, pty, true);
    ASSERT_TRUE(port.Connected());
    const std::string notice = port.TakeRs485Notice();
    EXPECT_NE(notice.find("RS485"), std::string::npos) << notice;
    EXPECT_EQ(port.TakeRs485Notice(), "");
    EXPECT_EQ(port.WriteText("Z\x01\x01\x60\xBC"), 5);
    EXPECT_EQ(pty.read(5), "Z\x01\x01\x60\xBC");
    // Opened again, the same port says nothing new.
    port.ClosePort();
    port.OpenPort();
    EXPECT_EQ(port.TakeRs485Notice(), "");
    port.ClosePort();
    // Off: not asked for, nothing said.
    TestPty other;
    TComPort plain;
    openLikeTheWindow(plain, other, false);
    EXPECT_EQ(plain.TakeRs485Notice(), "");
}

TEST(KernelRs485, DriversThatHaveItOrNot)
{
    struct Case {
        const char* what;
        int getError, setError;
        bool keepsOff;
        bool opens, notice, enabled;
    };
    const Case cases[] = {
        {"the driver takes it", 0, 0, false, true, false, true},
        {"no RS485 ioctls at all (ENOTTY)", ENOTTY, 0, false, true, true, false},
        {"reads but will not set (EINVAL)", 0, EINVAL, false, true, true, false},
        {"takes the call, keeps the mode off", 0, 0, true, true, true, false},
        {"the device is gone (ENODEV): the open fails", 0, ENODEV, false, false, false, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TestPty pty;
        Rs485Driver driver(c.getError, c.setError, c.keepsOff);
        TComPort port;
        bool opened = true;
        try {
            openLikeTheWindow(port, pty, true);
        } catch (const EComPort&) {
            opened = false;
        }
        EXPECT_EQ(opened, c.opens);
        EXPECT_EQ(!port.TakeRs485Notice().empty(), c.notice);
        if (c.enabled) {
            EXPECT_TRUE(driver.state.flags & SER_RS485_ENABLED);
            EXPECT_TRUE(driver.state.flags & SER_RS485_RTS_ON_SEND);
            EXPECT_FALSE(driver.state.flags & SER_RS485_RTS_AFTER_SEND);
            port.ClosePort();
            EXPECT_EQ(driver.state.flags, static_cast<__u32>(SER_RS485_RTS_AFTER_SEND)) << "not put back at close";
        }
    }
}
