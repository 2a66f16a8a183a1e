// needs: qtcore
// The two back ends behind the port object: which one a name gets, a tty back end that gives
// its device up whole when it goes, and a network back end whose server resets the link.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "serial/ComPort.h"
#include "serial/PortBackend.h"
#include "tests/support/Pty.h"
#include "tests/support/RunUntil.h"
#include "base/UniqueFd.h"

namespace {

// A listening socket on loopback; the back end connects to it.
struct Listener {
    Listener()
    {
        fd.reset(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        if (::bind(fd.get(), reinterpret_cast<sockaddr*>(&a), len) != 0 || ::listen(fd.get(), 4) != 0
            || ::getsockname(fd.get(), reinterpret_cast<sockaddr*>(&a), &len) != 0)
            ADD_FAILURE() << "no loopback listener";
        name = "tcp://127.0.0.1:" + std::to_string(ntohs(a.sin_port));
    }
    UniqueFd fd;
    std::string name;
};

bool waitFor(int fd, short events)
{
    pollfd p{fd, events, 0};
    return ::poll(&p, 1, 2000) == 1;
}

} // namespace

TEST(PortBackend, TheNameChoosesTheKind)
{
    bool lost = false;
    for (const char* name : {"tcp://10.0.0.5:4001", "RFC2217://host:2217"}) {
        const auto b = makePortBackend(name, lost);
        EXPECT_TRUE(b->isNetwork()) << name;
        EXPECT_TRUE(b->peerCanClose()) << name;  // else a server's close would go unnoticed
        EXPECT_EQ(b->fd(), -1) << name;
    }
    for (const char* name : {"ttyUSB0", "/dev/tcp", "/tmp/rfc2217:"}) {
        const auto b = makePortBackend(name, lost);
        EXPECT_FALSE(b->isNetwork()) << name;
        EXPECT_FALSE(b->peerCanClose()) << name;
    }
}

TEST(PortBackend, TtyBackEndGivesItsDeviceUpWithItsInput)
{
    TestPty pty;
    bool lost = false;
    auto first = makePortBackend(pty.slavePath(), lost);
    std::string detail;
    ASSERT_EQ(first->open(detail), 0) << detail;
    auto second = makePortBackend(pty.slavePath(), lost);
    EXPECT_NE(second->open(detail), 0);  // held for exclusive use
    pty.write("abc");
    ASSERT_TRUE(runUntil([&] { return first->receivedCount() == 3; }));

    first.reset();
    second = makePortBackend(pty.slavePath(), lost);
    ASSERT_EQ(second->open(detail), 0) << detail;
    EXPECT_EQ(second->read(16), "");  // what the last owner left unread is gone
    EXPECT_EQ(second->hangUpError(EIO), EIO);  // a tty has no error of its own to tell
    EXPECT_FALSE(lost);
}

TEST(PortBackend, NetworkBackEndTellsAResetAndMarksTheDeviceLost)
{
    Listener server;
    bool lost = false;
    const auto b = makePortBackend(server.name, lost);
    std::string detail;
    ASSERT_EQ(b->open(detail), 0) << detail;
    ASSERT_GE(b->fd(), 0);
    UniqueFd peer(::accept4(server.fd.get(), nullptr, nullptr, SOCK_CLOEXEC));
    ASSERT_TRUE(peer.valid());
    ASSERT_EQ(::write(peer.get(), "hi", 2), 2);
    ASSERT_TRUE(runUntil([&] { return b->receivedCount() == 2; }));
    EXPECT_EQ(b->read(16), "hi");
    EXPECT_EQ(b->hangUpError(EIO), EIO);  // nothing pending on a healthy link

    // An abortive close: the link gets a reset, not an orderly end.
    const linger abort{1, 0};
    ASSERT_EQ(::setsockopt(peer.get(), SOL_SOCKET, SO_LINGER, &abort, sizeof abort), 0);
    peer.reset();
    ASSERT_TRUE(waitFor(b->fd(), POLLIN));
    EXPECT_EQ(b->hangUpError(EIO), ECONNRESET);
    try {
        b->receivedCount();
        ADD_FAILURE() << "a reset link still counted";
    } catch (const EComPort& e) {
        EXPECT_EQ(e.PortErrorCode, peLineStatus);
        EXPECT_TRUE(e.DeviceGone()) << e.what();
    }
    EXPECT_TRUE(lost);  // the port's own flag, not a copy
}

TEST(PortBackend, ThePortSaysWhichKindItHoldsWhileOpen)
{
    TestPty pty;
    Listener server;
    TComPort tty, network;
    tty.SetPort(pty.slavePath());
    network.SetPort(server.name);
    EXPECT_FALSE(network.IsNetwork());
    tty.OpenPort();
    network.OpenPort();
    EXPECT_FALSE(tty.IsNetwork());
    EXPECT_TRUE(network.IsNetwork());
    network.ClosePort();
    EXPECT_FALSE(network.IsNetwork());
    tty.ClosePort();
}
