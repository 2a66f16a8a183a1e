// uses: binaries
// build/kadrel-sim end to end: started through SimProcess in a sandbox, driven through its
// published port like the program drives it, and checked byte for byte against frames built
// here.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <thread>

#include "link/Frame.h"
#include "tests/support/SimProcess.h"
#include "tests/support/ClockFrames.h"
#include "tests/support/TempDir.h"

using namespace std::chrono_literals;

namespace {

// The program's side of the port: a raw tty opened through the published link.
class Port {
public:
    explicit Port(const std::string& path)
    {
        fd_ = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (fd_ < 0)
            throw std::runtime_error("cannot open " + path);
        termios t {};
        tcgetattr(fd_, &t);
        cfmakeraw(&t);
        tcsetattr(fd_, TCSANOW, &t);
    }
    ~Port() { ::close(fd_); }
    int fd() const { return fd_; }
    void write(const ByteString& b) { ASSERT_EQ(::write(fd_, b.data(), b.size()), static_cast<ssize_t>(b.size())); }
    // Up to `count` bytes, waiting at most `timeout` in all.
    ByteString read(size_t count, std::chrono::milliseconds timeout = 1000ms)
    {
        ByteString out;
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (out.size() < count) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            pollfd p{fd_, POLLIN, 0};
            if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) <= 0)
                break;
            char buf[512];
            const ssize_t n = ::read(fd_, buf, std::min(sizeof buf, count - out.size()));
            if (n <= 0)
                break;
            out.append(buf, static_cast<size_t>(n));
        }
        return out;
    }
    // Sends a frame and returns what comes back within `quiet` of silence after it.
    ByteString ask(uint8_t address, const ByteString& data, std::chrono::milliseconds quiet = 150ms)
    {
        write(Frame::build(address, data));
        ByteString out;
        for (;;) {
            const ByteString more = read(4096, quiet);
            if (more.empty())
                return out;
            out += more;
        }
    }

private:
    int fd_ = -1;
};

std::string readFile(const std::string& path)
{
    std::ifstream in(path);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

bool exists(const std::string& path)
{
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0;
}

TEST(SimProcess, RepliesThroughThePtyByteForByte)
{
    XdgSandbox sandbox;
    SimProcess sim({"--no-noise", "--volts", "12"});
    EXPECT_EQ(sim.portPath(), sandbox.portsDir() + "/SIM1");
    Port port(sim.portPath());

    EXPECT_EQ(toHex(port.ask(3, bytes({3, 0x05, 0x30}))), toHex(status(0x03, 0x05, 0x30, kRaw)));
    EXPECT_EQ(toHex(port.ask(3, bytes({0x60}))), "5A 03 04 05 30 03 4F E8");
    EXPECT_EQ(toHex(port.ask(1, bytes({0x60}))), toHex(status(0x01, 0x00, 0x00, kRaw1)));
    EXPECT_EQ(toHex(port.ask(0xFF, ByteString("123456"))), "");
    EXPECT_EQ(toHex(port.ask(0x22, bytes({0xE8}))), toHex(status(0x02, 0x12, 0x34, kRaw)));
    EXPECT_EQ(toHex(port.ask(0, bytes({3, 0x10, 0x00}))), "");
    EXPECT_EQ(toHex(port.ask(4, bytes({0x60}))), toHex(status(0x04, 0x10, 0x00, kRaw)));
    // A bad checksum and an address nobody has get no answer; the next good frame does.
    ByteString bad = Frame::build(1, bytes({0x60}));
    bad.back() = static_cast<char>(bad.back() ^ 0x01);
    port.write(bad);
    EXPECT_EQ(port.ask(7, bytes({0x60})), "");
    EXPECT_EQ(port.ask(1, bytes({0x60})).size(), 8u);
}

TEST(SimProcess, AddressChangeAndFirmwareUpdate)
{
    XdgSandbox sandbox;
    SimProcess sim({"--no-noise", "--clocks", "1,3", "--withhold-ack", "1"});
    Port port(sim.portPath());

    EXPECT_EQ(toHex(port.ask(3, bytes({1, 4}))), toHex(status(0x04, 0, 0, kRaw)));
    EXPECT_EQ(port.ask(3, bytes({0x60})), "");
    EXPECT_EQ(toHex(port.ask(4, bytes({0x60}))), toHex(status(0x04, 0, 0, kRaw)));
    EXPECT_TRUE(SimProcess::waitForText(sim.reportPath(), "address clock=3 from=3 to=4\n"));

    // The exchange the firmware update dialog has with clock 1: boot command, blocks, "K".
    EXPECT_EQ(port.ask(1, bytes({4})), "");
    ByteString image;
    for (int i = 0; i < 100; ++i)
        image += static_cast<char>(i * 13 + 5);
    image += ByteString(28, '\xFF');
    EXPECT_EQ(port.ask(101, '\x00' + image.substr(0, 64)), "!");
    EXPECT_EQ(port.ask(101, '\x01' + image.substr(64)), "");   // withheld the first time
    EXPECT_EQ(port.ask(101, '\x01' + image.substr(64)), "!");  // the resend is acknowledged
    EXPECT_EQ(port.ask(102, ByteString("K")), "");
    ASSERT_TRUE(SimProcess::waitForText(sim.reportPath(), "boot clock=1"));

    uint8_t all = 0, payload = 0;
    for (size_t i = 0; i < image.size(); ++i) {
        all ^= byteAt(image, i);
        if (i < 100)
            payload ^= byteAt(image, i);
    }
    char expected[200];
    std::snprintf(expected, sizeof expected,
                  "boot clock=1 address=1 status=complete blocks=2 size=128 xor=%02X size-unpadded=100 "
                  "xor-unpadded=%02X sequence=ok sequence-errors=0 duplicates=1 withheld=1 data=",
                  all, payload);
    std::string hex = toHex(image);
    hex.erase(std::remove(hex.begin(), hex.end(), ' '), hex.end());
    EXPECT_NE(readFile(sim.reportPath()).find(std::string(expected) + hex + "\n"), std::string::npos)
        << readFile(sim.reportPath());
    EXPECT_EQ(port.ask(1, bytes({0x60})).size(), 8u);  // back to normal operation
}

TEST(SimProcess, FaultFlags)
{
    XdgSandbox sandbox;
    const ByteString reply = status(0x02, 0, 0, kRaw);
    {
        SimProcess sim({"--no-noise", "--corrupt", "1"});
        Port port(sim.portPath());
        ByteString bad = reply;
        bad.back() = static_cast<char>(bad.back() + 1);
        EXPECT_EQ(toHex(port.ask(2, bytes({0x60}))), toHex(bad));
    }
    {
        SimProcess sim({"--no-noise", "--drop", "100%"});
        Port port(sim.portPath());
        EXPECT_EQ(port.ask(2, bytes({0x60})), "");
    }
    {
        SimProcess sim({"--no-noise", "--garbage", "1", "--split", "1"});
        Port port(sim.portPath());
        const ByteString got = port.ask(2, bytes({0x60}));
        ASSERT_GT(got.size(), reply.size());
        EXPECT_EQ(got.substr(0, got.size() - reply.size()).find('\x5A'), ByteString::npos);
        EXPECT_EQ(toHex(got.substr(got.size() - reply.size())), toHex(reply));
    }
    {
        // The frame comes back first, as from an adapter that hears itself, then the reply.
        SimProcess sim({"--no-noise", "--echo"});
        Port port(sim.portPath());
        EXPECT_EQ(toHex(port.ask(2, bytes({0x60}))), toHex(Frame::build(2, bytes({0x60})) + reply));
    }
    {
        // Replies come later than asked for; bytes on the wire take their time.
        SimProcess sim({"--no-noise", "--delay", "80", "--wire-time"});
        Port port(sim.portPath());
        const auto start = std::chrono::steady_clock::now();
        port.write(Frame::build(2, bytes({0x60})));
        EXPECT_EQ(toHex(port.read(8, 2000ms)), toHex(reply));
        EXPECT_GE(std::chrono::steady_clock::now() - start, 80ms + 3ms + 6ms);
    }
}

TEST(SimProcess, MutedClocksMakeTheLinkGaugeFall)
{
    XdgSandbox sandbox;
    SimProcess sim({"--no-noise", "--mute-after", "2:0.8", "--mute-on-signal", "3"});
    Port port(sim.portPath());
    EXPECT_EQ(port.ask(2, bytes({0x60})).size(), 8u);
    EXPECT_EQ(port.ask(3, bytes({0x60})).size(), 8u);
    sim.signal(SIGUSR1);
    ASSERT_TRUE(SimProcess::waitForText(sim.logPath(), "muted clocks 3"));
    EXPECT_EQ(port.ask(3, bytes({0x60})), "");
    sim.signal(SIGUSR2);
    ASSERT_TRUE(SimProcess::waitForText(sim.logPath(), "unmuted clocks 3"));
    EXPECT_EQ(port.ask(3, bytes({0x60})).size(), 8u);
    std::this_thread::sleep_for(900ms);  // past the --mute-after time
    EXPECT_EQ(port.ask(2, bytes({0x60})), "");
    EXPECT_EQ(port.ask(1, bytes({0x60})).size(), 8u);
}

TEST(SimProcess, ArbitraryBytesDoNotStopIt)
{
    XdgSandbox sandbox;
    SimProcess sim({"--no-noise", "--seed", "5"});
    Port port(sim.portPath());
    std::mt19937 rng(99);
    for (int round = 0; round < 64; ++round) {
        ByteString junk;
        for (int i = 0; i < 1024; ++i)
            junk += static_cast<char>(rng());
        port.write(junk);
        port.read(1 << 16, 5ms);
    }
    port.read(1 << 16, 100ms);  // the pause ends any frame a stray start byte began
    EXPECT_EQ(kill(sim.pid(), 0), 0);
    ASSERT_EQ(port.ask(1, bytes({0x10})).size(), 8u);  // reset bit: a known time again
    EXPECT_EQ(toHex(port.ask(1, bytes({0x60})).substr(0, 5)), "5A 01 04 00 00");
    EXPECT_EQ(sim.stop(), 0);
}

TEST(SimProcess, SecondSimulatorWithTheSameNameRefuses)
{
    XdgSandbox sandbox;
    SimProcess first;
    const SimProcess::Result second = SimProcess::run({"--name", "SIM1"});
    EXPECT_EQ(second.exitCode, 1);
    EXPECT_NE(second.output.find("already in use by another running kadrel-sim (pid " + std::to_string(first.pid()) + ")"),
              std::string::npos)
        << second.output;
    EXPECT_TRUE(exists(first.portPath()));
    SimProcess other({"--name", "SIM2"});
    EXPECT_TRUE(exists(other.portPath()));
}

TEST(SimProcess, LinkRemovedOnSigtermAndSigint)
{
    XdgSandbox sandbox;
    for (int sig : {SIGTERM, SIGINT}) {
        SimProcess sim;
        const std::string link = sim.portPath();
        ASSERT_TRUE(exists(link));
        sim.signal(sig);
        EXPECT_EQ(sim.stop(), 0) << sig;
        EXPECT_FALSE(exists(link)) << sig;
        EXPECT_FALSE(exists(sandbox.portsDir() + "/.SIM1.lock"));
    }
}

TEST(SimProcess, ReconnectsAfterTheProgramHeldThePortExclusively)
{
    XdgSandbox sandbox;
    SimProcess sim({"--no-noise"});
    {
        Port port(sim.portPath());
        ASSERT_EQ(ioctl(port.fd(), TIOCEXCL), 0);
        port.write(Frame::build(1, bytes({0x60})));  // a reply the program never reads
        ASSERT_TRUE(SimProcess::waitForText(sim.logPath(), "TX 5A 01 04"));
    }
    ASSERT_TRUE(SimProcess::waitForText(sim.logPath(), "the program closed the port"));
    Port again(sim.portPath());
    int excl = 1;
    ASSERT_EQ(ioctl(again.fd(), TIOCGEXCL, &excl), 0);
    EXPECT_EQ(excl, 0);
    EXPECT_EQ(again.read(16, 50ms), "");
    EXPECT_EQ(again.ask(1, bytes({0x60})).size(), 8u);
}

TEST(SimProcess, HelpLogAndBadOptions)
{
    XdgSandbox sandbox;
    const SimProcess::Result help = SimProcess::run({"--help"});
    EXPECT_EQ(help.exitCode, 0);
    EXPECT_NE(help.output.find("Usage: kadrel-sim"), std::string::npos) << help.output;

    const SimProcess::Result bad = SimProcess::run({"--clocks", "9"});
    EXPECT_EQ(bad.exitCode, 2);
    EXPECT_NE(bad.output.find("--clocks"), std::string::npos) << bad.output;
    EXPECT_FALSE(exists(sandbox.portsDir() + "/SIM1"));

    SimProcess sim({"--no-noise"});
    Port port(sim.portPath());
    port.ask(2, bytes({0x48}));
    sim.stop();
    const std::string log = readFile(sim.logPath());
    EXPECT_NE(log.find(" RX 5A 02 01 48 A5 | poll clock 2: count up, brightness 2, display off"), std::string::npos) << log;
    EXPECT_NE(log.find(" TX " + toHex(status(0x02, 0, 0, kRaw)) + " | status clock 2"), std::string::npos) << log;
    // Millisecond timestamps: "hh:mm:ss.mmm +ms.µs".
    std::istringstream lines(log);
    std::string line;
    while (std::getline(lines, line)) {
        ASSERT_GE(line.size(), 16u);
        EXPECT_EQ(line[2], ':');
        EXPECT_EQ(line[8], '.');
        EXPECT_EQ(line[12], ' ');
        EXPECT_EQ(line[13], '+');
    }
    EXPECT_NE(sim.output().find("kadrel-sim: port SIM1 -> /dev/pts/"), std::string::npos) << sim.output();
}

} // namespace
