#pragma once
// The tty calls behind the serial port object. Everything that needs kernel headers (termios2,
// linux/serial.h) lives in Termios.cpp alone; this interface carries none of them. Each call
// returns 0 or the errno of the failure.
#include <cstdint>
#include <functional>
#include <string>

namespace tty {

// Every ioctl of the port goes through this hook; tests put a recorder or a refusing driver in
// its place. Empty: the real ioctl.
using IoctlHook = std::function<int(int fd, unsigned long request, void* arg)>;
IoctlHook& ioctlHook();

struct LineSettings {
    int baud = 9600;          // bits per second
    int dataBits = 8;         // 5..8
    int stopBits = 0;         // 0 one, 1 one and a half, 2 two
    int parity = 0;           // 0 none, 1 odd, 2 even, 3 mark, 4 space
    bool parityCheck = false; // check received parity
    bool hardwareFlow = false;  // CTS/RTS handshake
    bool xonXoffOut = false;  // transmit obeys XOFF from the other side
    bool xonXoffIn = false;   // we send XOFF when our queue fills
    uint8_t xonChar = 17;
    uint8_t xoffChar = 19;
};

// The driver's RS485 state before we switched it on, so closing can put it back.
struct Rs485State {
    bool saved = false;
    alignas(8) unsigned char raw[64] = {};
};

// Opens the device for exclusive use, then at once drops DTR and RTS (a converter whose
// transmitter follows RTS must not drive the bus) and asks for low latency. On failure nothing
// is left open and fd is -1.
int openExclusive(const std::string& path, int& fd);
// Gives exclusivity up and closes.
void closeExclusive(int fd);

// Raw mode with the given framing and speed; the settings are read back and a difference
// from what was asked (a rate off by more than 3 %) counts as refused: the old settings are
// put back and EINVAL returned.
int applyLineSettings(int fd, const LineSettings& settings);

// DTR and RTS held on or off. A device without modem lines (a pseudo-terminal) is fine, and so
// is any refusal but the device being gone: cheap USB clones answer EPIPE, EPROTO or ETIMEDOUT.
int setDtr(int fd, bool on);
int setRts(int fd, bool on);
// Kernel RS485 mode, RTS on while sending; fine where the driver has no RS485 mode or refuses
// it for any reason but the device being gone.
int enableRs485(int fd, Rs485State& saved);
void restoreRs485(int fd, Rs485State& saved);
// The same mode asked for because the operator chose it (not because of the flow control):
// RTS on while sending, off after. A driver without the mode (ENOTTY, EINVAL ...), or one that
// reads back without it, leaves `refusal` saying so in Polish and the port goes on as it was;
// only the device being gone is returned as an error.
int requestRs485(int fd, Rs485State& saved, std::string& refusal);

struct ModemBits { bool cts = false, dsr = false, ring = false, rlsd = false; };
// A device without modem lines reads all lines off.
int readModemLines(int fd, ModemBits& bits);

struct LineErrorCounts { uint32_t frame = 0, parity = 0, overrun = 0, brk = 0, bufOverrun = 0; };
// The driver's error counters (all 0 where it keeps none).
int readLineErrorCounts(int fd, LineErrorCounts& counts);

// Bytes waiting in the receive queue.
int inputCount(int fd, int& count);
// Discards both queues.
int flushBoth(int fd);

// The device is gone (unplugged adapter, hung-up terminal), as opposed to a refused call.
bool isDeviceGone(int error);

} // namespace tty
