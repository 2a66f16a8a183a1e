// needs: qtcore
// Network ports against ser2net on loopback, its serial side a pseudo-terminal: the same bytes
// as a direct tty, 0xFF both ways, the line settings read back on ser2net's tty, a server that
// goes away, refuses, never answers or talks nonsense, and a name that does not resolve.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>
#include <arpa/inet.h>
#include <atomic>
#include <functional>
#include <netinet/in.h>
#include <sys/socket.h>
#include <termios.h>
#include <thread>

#include "serial/ComPort.h"
#include "serial/DeviceMap.h"
#include "serial/NetworkPorts.h"
#include "tests/support/Pty.h"
#include "tests/support/RunUntil.h"
#include "tests/support/Ser2net.h"
#include "tests/support/TempDir.h"

namespace {


// The main window's port: 19200 8N1, no flow control, DTR and RTS off.
void configure(TComPort& port, const std::string& name)
{
    port.SetPort(name);
    port.SetBaudRate(br19200);
    port.SetDataBits(dbEight);
    port.SetStopBits(sbOneStopBit);
    port.Parity().SetBits(prNone);
}

// A frame with the broadcast address, whose 0xFF the Telnet layer must double.
const ByteString frameWithFF = ByteString("Z\xFF\x04\x01\xFF\x00\x12", 7) + ByteString(1, '\xFF');

// Everything the pty's master receives within the time, exactly `count` bytes wanted.
ByteString readPty(TestPty& pty, size_t count)
{
    ByteString got;
    runUntil([&] {
        got += pty.drain(std::chrono::milliseconds(1));
        return got.size() >= count;
    }, 3000);
    return got;
}

// A listening socket the test controls: it accepts and then does what the test says.
class FakeServer {
public:
    FakeServer()
    {
        fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a);
        ::listen(fd_, 4);
        socklen_t len = sizeof a;
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len);
        port_ = ntohs(a.sin_port);
    }
    ~FakeServer()
    {
        if (worker_.joinable())
            worker_.join();
        ::close(fd_);
    }
    // Accepts one client, sends `talk`, then holds the connection open for `holdMs`.
    void serve(ByteString talk, int holdMs)
    {
        worker_ = std::thread([this, talk, holdMs] {
            const int c = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
            if (c < 0)
                return;
            size_t done = 0;
            while (done < talk.size()) {
                const ssize_t n = ::send(c, talk.data() + done, talk.size() - done, MSG_NOSIGNAL);
                if (n <= 0)
                    break;
                done += static_cast<size_t>(n);
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(holdMs));
            ::close(c);
        });
    }
    std::string url(const char* scheme) const { return std::string(scheme) + "://127.0.0.1:" + std::to_string(port_); }

private:
    int fd_ = -1;
    int port_ = 0;
    std::thread worker_;
};

// Opens and reports how the event loop fared meanwhile: a 10 ms timer counts its ticks.
struct TimedOpen {
    int code = 0;
    int64_t os = 0;
    std::string message;
    qint64 elapsedMs = 0;
    int ticks = 0;
};

TimedOpen openTimed(TComPort& port)
{
    TimedOpen r;
    QTimer ticker;
    ticker.setInterval(10);
    QObject::connect(&ticker, &QTimer::timeout, [&] { ++r.ticks; });
    ticker.start();
    QElapsedTimer clock;
    clock.start();
    try {
        port.OpenPort();
    } catch (const EComPort& e) {
        r.code = e.PortErrorCode;
        r.os = e.OsErrorCode;
        r.message = e.what();
    }
    r.elapsedMs = clock.elapsed();
    return r;
}

} // namespace

class NetworkPort : public ::testing::Test {
protected:
    void SetUp() override
    {
        server = std::make_unique<Ser2net>(pty.slavePath());
        if (!server->ok())
            GTEST_SKIP() << "ser2net did not start (Debian package ser2net)";
    }
    TestPty pty;
    std::unique_ptr<Ser2net> server;
};

TEST_F(NetworkPort, SameBytesAsADirectTtyBothWaysWithFF)
{
    for (const std::string& url : {server->rfc2217Url(), server->tcpUrl(), pty.slavePath()}) {
        SCOPED_TRACE(url);
        TComPort port;
        configure(port, url);
        ByteString received;
        port.OnRxChar = [&](TCustomComPort* sender, int count) {
            ByteString chunk;
            sender->ReadText(chunk, count);
            received += chunk;
        };
        ASSERT_NO_THROW(port.OpenPort());
        pty.drain();
        EXPECT_EQ(port.WriteText(frameWithFF), static_cast<int>(frameWithFF.size()));
        EXPECT_EQ(toHex(readPty(pty, frameWithFF.size())), toHex(frameWithFF));

        const ByteString reply = ByteString("Z\xFF\x03\xFF\xFF\x01", 6);
        pty.write(reply);
        EXPECT_TRUE(runUntil([&] { return received.size() >= reply.size(); }, 3000));
        EXPECT_EQ(toHex(received), toHex(reply));
        port.ClosePort();
        // ser2net sees the client go before the next one comes.
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
}

TEST_F(NetworkPort, Rfc2217SetsTheLineOfTheServersTty)
{
    TComPort port;
    configure(port, server->rfc2217Url());
    ASSERT_NO_THROW(port.OpenPort());
    termios t{};
    ASSERT_EQ(tcgetattr(pty.masterFd(), &t), 0);
    EXPECT_EQ(cfgetospeed(&t), B19200);
    EXPECT_EQ(t.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_EQ(t.c_cflag & (PARENB | CSTOPB | CRTSCTS), 0u);
    EXPECT_EQ(t.c_iflag & (IXON | IXOFF), 0u);

    // A change while open is negotiated at once.
    port.SetBaudRate(br9600);
    ASSERT_EQ(tcgetattr(pty.masterFd(), &t), 0);
    EXPECT_EQ(cfgetospeed(&t), B9600);
    port.ClosePort();
}

TEST_F(NetworkPort, ServerStoppedWhileConnectedIsOneLostDeviceWithoutSpinning)
{
    TComPort port;
    configure(port, server->rfc2217Url());
    int lost = 0;
    std::string message;
    port.OnDeviceLost = [&](TCustomComPort*, const EComPort& e) {
        ++lost;
        message = e.what();
    };
    ASSERT_NO_THROW(port.OpenPort());
    server->stop();
    EXPECT_TRUE(runUntil([&] { return lost > 0; }, 2000));
    runUntil([] { return false; }, 300);
    EXPECT_EQ(lost, 1);
    EXPECT_TRUE(port.DeviceLost());
    EXPECT_LT(port.EventThreadWakeUps(), 5u);
    EXPECT_FALSE(port.EventThreadRunning());
    EXPECT_NE(message.find("(Error: "), std::string::npos);
    EXPECT_NO_THROW(port.ClosePort());
}

TEST(NetworkPortFailures, RefusedUnresolvedSilentAndGarbledServers)
{
    const int unused = Ser2net::freePort();
    {
        SCOPED_TRACE("refused");
        TComPort port;
        configure(port, "rfc2217://127.0.0.1:" + std::to_string(unused));
        const TimedOpen r = openTimed(port);
        EXPECT_EQ(r.code, 1);
        EXPECT_EQ(r.os, ECONNREFUSED);
        EXPECT_EQ(r.message.rfind("Unable to open com port (Error: " + std::to_string(ECONNREFUSED) + ")", 0), 0u)
            << r.message;
        EXPECT_NE(r.message.find("odmówił"), std::string::npos);
        EXPECT_FALSE(port.Connected());
    }
    {
        SCOPED_TRACE("name that does not resolve");
        TComPort port;
        configure(port, "tcp://nie-ma-takiego-serwera.invalid:4001");
        const TimedOpen r = openTimed(port);
        EXPECT_EQ(r.code, 1);
        EXPECT_LE(r.elapsedMs, 3500);
        EXPECT_NE(r.message.find("nie-ma-takiego-serwera.invalid"), std::string::npos) << r.message;
    }
    {
        SCOPED_TRACE("malformed address");
        TComPort port;
        configure(port, "tcp://host-without-port");
        const TimedOpen r = openTimed(port);
        EXPECT_EQ(r.code, 1);
        EXPECT_EQ(r.os, EINVAL);
    }
    {
        SCOPED_TRACE("accepts and never answers: the event loop keeps running meanwhile");
        FakeServer silent;
        silent.serve({}, 4000);
        TComPort port;
        configure(port, silent.url("rfc2217"));
        const TimedOpen r = openTimed(port);
        EXPECT_EQ(r.code, 7);
        EXPECT_EQ(r.os, ETIMEDOUT);
        EXPECT_GE(r.elapsedMs, 2900);
        EXPECT_LE(r.elapsedMs, 3600);
        EXPECT_GE(r.ticks, r.elapsedMs / 10 / 2) << "the event loop stalled";
        EXPECT_FALSE(port.Connected());
    }
    {
        SCOPED_TRACE("garbage options, endless IAC, unfinished subnegotiation, then refusal");
        ByteString talk;
        for (int i = 0; i < 2000; ++i)
            talk += ByteString{'\xFF', static_cast<char>(251 + i % 4), static_cast<char>(i % 256)};
        talk += ByteString(20000, '\xFF');
        talk += ByteString("\xFF\xFA\x2c\x65\x00", 5) + ByteString(3000, 'x');
        talk += ByteString("\xFF\xFE\x2c", 3);  // DONT COM-PORT
        FakeServer garbled;
        garbled.serve(talk, 1000);
        TComPort port;
        configure(port, garbled.url("rfc2217"));
        const TimedOpen r = openTimed(port);
        EXPECT_EQ(r.code, 7);
        EXPECT_EQ(r.os, EPROTO);
        EXPECT_FALSE(port.Connected());
    }
}

TEST(NetworkPortList, AddedPortsBetweenVirtualAndHardware)
{
    TempDir dir;
    const std::string file = dir.file("kadrel/network-ports");
    writeFile(file, "rfc2217://box.lan:4001\nnonsense\ntcp://10.0.0.9:23\nrfc2217://box.lan:4001\n");
    const std::vector<std::string> ports = NetworkPorts::load(file);
    ASSERT_EQ(ports, (std::vector<std::string>{"rfc2217://box.lan:4001", "tcp://10.0.0.9:23"}));
    EXPECT_EQ(NetworkPorts::save(file, {"tcp://10.0.0.9:23"}), 0);
    EXPECT_EQ(readFile(file), "tcp://10.0.0.9:23\n");

    TestPty pty;
    const std::string virtualDir = dir.mkdir("ports");
    ASSERT_EQ(::symlink(pty.slavePath().c_str(), (virtualDir + "/BUS").c_str()), 0);
    const std::string sys = dir.mkdir("sys");
    dir.mkdir("sys/bus/drivers/serial8250");
    dir.mkdir("sys/devices/platform/serial8250");
    ASSERT_EQ(::symlink((sys + "/bus/drivers/serial8250").c_str(), (sys + "/devices/platform/serial8250/driver").c_str()), 0);
    dir.mkdir("sys/class/tty/ttyS0");
    ASSERT_EQ(::symlink((sys + "/devices/platform/serial8250").c_str(), (sys + "/class/tty/ttyS0/device").c_str()), 0);
    writeFile(sys + "/class/tty/ttyS0/type", "4\n");

    DeviceMap map(sys, virtualDir);
    map.setNetworkPorts(ports);
    const std::vector<PortEntry> list = map.list();
    ASSERT_EQ(list.size(), 4u);
    EXPECT_EQ(list[0].portName, virtualDir + "/BUS");
    EXPECT_EQ(list[1].portName, "rfc2217://box.lan:4001");
    EXPECT_EQ(list[1].deviceName, "sieć RFC 2217");
    EXPECT_EQ(list[2].portName, "tcp://10.0.0.9:23");
    EXPECT_EQ(list[2].deviceName, "sieć TCP");
    EXPECT_EQ(list[3].portName, "/dev/ttyS0");
}
