// The tty calls behind the serial port object, over the kernel's termios2 interface.
// termios2 is used for every rate: a standard rate goes in as its Bnnn code exactly as
// cfsetspeed() would put it, any other rate as BOTHER with the number itself. glibc's
// <termios.h> cannot be included beside the kernel's <asm/termbits.h>, so this file uses the
// ioctls directly (TCGETS2/TCSETS2, TCFLSH) and nothing else in the program includes them.
#include "serial/Termios.h"

#include "base/ErrnoText.h"
#include "base/UniqueFd.h"

#include <asm/termbits.h>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <linux/serial.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace tty {

IoctlHook& ioctlHook()
{
    static IoctlHook hook;
    return hook;
}

namespace {

int doIoctl(int fd, unsigned long request, void* arg)
{
    if (const IoctlHook& hook = ioctlHook())
        return hook(fd, request, arg);
    return ::ioctl(fd, request, arg);
}

static_assert(sizeof(serial_rs485) <= sizeof(Rs485State::raw));

// A device without modem lines or RS485 support answers one of these.
bool notSupported(int error)
{
    return error == ENOTTY || error == EINVAL || error == EIO || error == ENOSYS || error == EOPNOTSUPP;
}

// A modem-line or RS485 call fails the open only when the device itself is gone; flaky USB
// clones answer EPIPE, EPROTO or ETIMEDOUT to requests they serve badly and work on regardless.
int optionalCall(int error)
{
    return error == ENODEV || error == ENXIO ? error : 0;
}

tcflag_t standardCode(int baud)
{
    switch (baud) {
    case 50: return B50;
    case 75: return B75;
    case 110: return B110;
    case 134: return B134;
    case 150: return B150;
    case 200: return B200;
    case 300: return B300;
    case 600: return B600;
    case 1200: return B1200;
    case 1800: return B1800;
    case 2400: return B2400;
    case 4800: return B4800;
    case 9600: return B9600;
    case 19200: return B19200;
    case 38400: return B38400;
    case 57600: return B57600;
    case 115200: return B115200;
    case 230400: return B230400;
    case 460800: return B460800;
    case 500000: return B500000;
    case 576000: return B576000;
    case 921600: return B921600;
    case 1000000: return B1000000;
    default: return 0;
    }
}

tcflag_t sizeFlag(int dataBits)
{
    switch (dataBits) {
    case 5: return CS5;
    case 6: return CS6;
    case 7: return CS7;
    default: return CS8;
    }
}

// The control and input flags we set; only these are compared on read-back.
constexpr tcflag_t CompareCflag = CSIZE | CSTOPB | PARENB | CRTSCTS | CLOCAL | CREAD;
constexpr tcflag_t CompareIflag = IXON | IXOFF | INPCK;

int modemLine(int fd, int line, bool on)
{
    int bits = line;
    if (doIoctl(fd, on ? TIOCMBIS : TIOCMBIC, &bits) == 0)
        return 0;
    return optionalCall(errno);
}

// An FTDI chip holds received bytes up to 16 ms before handing them over; low latency makes
// it 1 ms. Drivers without the flag, and ptys, refuse: that is fine.
void requestLowLatency(int fd)
{
    serial_struct info{};
    if (doIoctl(fd, TIOCGSERIAL, &info) != 0)
        return;
    if (info.flags & ASYNC_LOW_LATENCY)
        return;
    info.flags |= ASYNC_LOW_LATENCY;
    doIoctl(fd, TIOCSSERIAL, &info);
}

} // namespace

int openExclusive(const std::string& path, int& fd)
{
    fd = -1;
    UniqueFd handle(::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    if (!handle.valid())
        return errno;
    // flock() is the convention other serial programs honour, and it holds for root too,
    // which TIOCEXCL does not.
    if (flock(handle.get(), LOCK_EX | LOCK_NB) != 0)
        return errno;
    // TIOCEXCL makes every further open() of this tty fail with EBUSY. It also tells a
    // file that is no tty at all (ENOTTY) before any setting is tried.
    if (doIoctl(handle.get(), TIOCEXCL, nullptr) != 0)
        return errno;
    // Opening raised DTR and RTS; drop both before anything else happens on the line.
    int bits = TIOCM_DTR | TIOCM_RTS;
    if (doIoctl(handle.get(), TIOCMBIC, &bits) != 0) {
        if (const int e = optionalCall(errno))
            return e;
    }
    requestLowLatency(handle.get());
    fd = handle.release();
    return 0;
}

void closeExclusive(int fd)
{
    if (fd < 0)
        return;
    // The exclusive flag belongs to the tty, not to our descriptor: if anyone else still holds
    // the tty open (a pty's other users), it would outlive us and lock out our next open.
    ioctl(fd, TIOCNXCL);
    ::close(fd);
}

int applyLineSettings(int fd, const LineSettings& s)
{
    if (s.baud <= 0)
        return EINVAL;  // B0 would hang the line up
    termios2 old{};
    if (ioctl(fd, TCGETS2, &old) != 0)
        return errno;
    termios2 t = old;
    t.c_iflag &= ~(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON | IXOFF | IXANY | INPCK | IGNPAR | IUCLC | IMAXBEL);
    t.c_oflag &= ~(OPOST);
    t.c_lflag &= ~(ECHO | ECHONL | ECHOE | ECHOK | ICANON | ISIG | IEXTEN);
    t.c_cflag &= ~(CSIZE | CSTOPB | PARENB | PARODD | CMSPAR | CRTSCTS | CBAUD | (CBAUD << IBSHIFT));
    t.c_cflag |= CLOCAL | CREAD | sizeFlag(s.dataBits);
    // One and a half stop bits exist only with five data bits; a UART gives them for CSTOPB.
    if (s.stopBits != 0)
        t.c_cflag |= CSTOPB;
    switch (s.parity) {
    case 1: t.c_cflag |= PARENB | PARODD; break;
    case 2: t.c_cflag |= PARENB; break;
    case 3: t.c_cflag |= PARENB | CMSPAR | PARODD; break;  // mark: stick parity, always 1
    case 4: t.c_cflag |= PARENB | CMSPAR; break;           // space: stick parity, always 0
    default: break;
    }
    if (s.parity != 0 && s.parityCheck)
        t.c_iflag |= INPCK;
    if (s.hardwareFlow)
        t.c_cflag |= CRTSCTS;
    if (s.xonXoffOut)
        t.c_iflag |= IXON;
    if (s.xonXoffIn)
        t.c_iflag |= IXOFF;
    t.c_cc[VSTART] = s.xonChar;
    t.c_cc[VSTOP] = s.xoffChar;
    t.c_cc[VMIN] = 0;
    t.c_cc[VTIME] = 0;
    const tcflag_t code = standardCode(s.baud);
    t.c_cflag |= code ? code : BOTHER;  // input speed bits left 0: the same as output
    t.c_ispeed = static_cast<speed_t>(s.baud);
    t.c_ospeed = static_cast<speed_t>(s.baud);
    if (ioctl(fd, TCSETS2, &t) != 0)
        return errno;

    termios2 got{};
    if (ioctl(fd, TCGETS2, &got) != 0)
        return errno;
    bool same = (got.c_cflag & CompareCflag) == (t.c_cflag & CompareCflag)
        && (got.c_iflag & CompareIflag) == (t.c_iflag & CompareIflag);
    if (same && (t.c_cflag & PARENB))
        same = (got.c_cflag & (PARODD | CMSPAR)) == (t.c_cflag & (PARODD | CMSPAR));
    const long want = s.baud;
    const long diff = std::labs(static_cast<long>(got.c_ospeed) - want);
    if (same && diff * 100 > want * 3)
        same = false;
    if (!same) {
        ioctl(fd, TCSETS2, &old);
        return EINVAL;
    }
    return 0;
}

int setDtr(int fd, bool on) { return modemLine(fd, TIOCM_DTR, on); }
int setRts(int fd, bool on) { return modemLine(fd, TIOCM_RTS, on); }

// RTS raised by the driver for the length of each transmission: the bus transceiver's
// driver-enable line. The driver's own settings are kept once for the close. 0 or the errno.
static int setRs485OnSend(int fd, Rs485State& saved)
{
    serial_rs485 current{};
    if (doIoctl(fd, TIOCGRS485, &current) != 0)
        return errno;
    if (!saved.saved) {
        std::memcpy(saved.raw, &current, sizeof current);
        saved.saved = true;
    }
    serial_rs485 wanted = current;
    wanted.flags |= SER_RS485_ENABLED | SER_RS485_RTS_ON_SEND;
    wanted.flags &= ~static_cast<__u32>(SER_RS485_RTS_AFTER_SEND);
    return doIoctl(fd, TIOCSRS485, &wanted) == 0 ? 0 : errno;
}

int enableRs485(int fd, Rs485State& saved)
{
    const int e = setRs485OnSend(fd, saved);
    return e == 0 ? 0 : optionalCall(e);
}

int requestRs485(int fd, Rs485State& saved, std::string& refusal)
{
    refusal.clear();
    int e = setRs485OnSend(fd, saved);
    // A driver may take the call and keep its own mind: what it holds now is what counts.
    serial_rs485 got{};
    if (e == 0 && doIoctl(fd, TIOCGRS485, &got) == 0 && !(got.flags & SER_RS485_ENABLED))
        e = EINVAL;
    if (e == 0)
        return 0;
    if (const int gone = optionalCall(e))
        return gone;
    refusal = "Sterownik portu nie ma trybu RS485 (" + ErrnoText(e)
        + "): kierunek nadawania musi przełączać sam konwerter. Port działa dalej bez tego trybu.";
    return 0;
}

void restoreRs485(int fd, Rs485State& saved)
{
    if (!saved.saved)
        return;
    serial_rs485 old{};
    std::memcpy(&old, saved.raw, sizeof old);
    doIoctl(fd, TIOCSRS485, &old);
    saved.saved = false;
}

int readModemLines(int fd, ModemBits& bits)
{
    bits = {};
    int status = 0;
    if (ioctl(fd, TIOCMGET, &status) != 0) {
        const int e = errno;
        return notSupported(e) ? 0 : e;
    }
    bits.cts = status & TIOCM_CTS;
    bits.dsr = status & TIOCM_DSR;
    bits.ring = status & TIOCM_RNG;
    bits.rlsd = status & TIOCM_CAR;
    return 0;
}

int readLineErrorCounts(int fd, LineErrorCounts& counts)
{
    counts = {};
    serial_icounter_struct c{};
    if (ioctl(fd, TIOCGICOUNT, &c) != 0) {
        const int e = errno;
        return notSupported(e) ? 0 : e;
    }
    counts.frame = static_cast<uint32_t>(c.frame);
    counts.parity = static_cast<uint32_t>(c.parity);
    counts.overrun = static_cast<uint32_t>(c.overrun);
    counts.brk = static_cast<uint32_t>(c.brk);
    counts.bufOverrun = static_cast<uint32_t>(c.buf_overrun);
    return 0;
}

int inputCount(int fd, int& count)
{
    count = 0;
    return ioctl(fd, FIONREAD, &count) == 0 ? 0 : errno;
}

int flushBoth(int fd)
{
    return ioctl(fd, TCFLSH, TCIOFLUSH) == 0 ? 0 : errno;
}

bool isDeviceGone(int error)
{
    return error == EIO || error == ENXIO || error == ENODEV || error == EPIPE;
}

} // namespace tty
