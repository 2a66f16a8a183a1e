// The simulator's set-up pieces in-process: its command line, the virtual port (folder, link,
// lock, stale links, the exclusive flag after the program closes) and the log line format.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>

#include "sim/Options.h"
#include "sim/Output.h"
#include "sim/VirtualPort.h"
#include "tests/support/TempDir.h"

using namespace sim;

namespace {

std::string readLink(const std::string& path)
{
    std::error_code ec;
    return std::filesystem::read_symlink(path, ec).string();
}

TEST(SimOptions, DefaultsAndValues)
{
    const SimOptions d = parseOptions({});
    EXPECT_EQ(d.name, "SIM1");
    EXPECT_EQ(d.clocks, (std::vector<int>{1, 2, 3, 4}));
    EXPECT_EQ(d.defaultHundredths, 1200);
    EXPECT_TRUE(d.noise);

    const SimOptions o = parseOptions({"--name", "BUS2", "--clocks=3,1", "--volts", "1:12.5,3:9.8", "--no-noise",
                                       "--seed", "42", "--drop", "25%", "--corrupt", "0.5", "--split", "1",
                                       "--garbage", "0", "--delay", "12.5", "--withhold-ack", "3,3,7", "--wire-time",
                                       "--mute-after", "3:1.5", "--mute-on-signal", "1", "--boot-timeout", "2",
                                       "--log", "a.log", "--report", "r.txt", "--quiet"});
    EXPECT_EQ(o.name, "BUS2");
    EXPECT_EQ(o.clocks, (std::vector<int>{3, 1}));
    EXPECT_EQ(o.clockHundredths.at(1), 1250);
    EXPECT_EQ(o.clockHundredths.at(3), 980);
    EXPECT_FALSE(o.noise);
    EXPECT_EQ(o.seed.value_or(0), 42u);
    EXPECT_DOUBLE_EQ(o.faults.dropShare, 0.25);
    EXPECT_DOUBLE_EQ(o.faults.corruptShare, 0.5);
    EXPECT_DOUBLE_EQ(o.faults.splitShare, 1);
    EXPECT_EQ(o.faults.extraDelay, 12500);
    EXPECT_EQ(o.faults.withheldAcks, (std::vector<int>{3, 3, 7}));
    EXPECT_TRUE(o.faults.wireTime);
    EXPECT_EQ(o.muteAfter.at(3), 1'500'000);
    EXPECT_EQ(o.muteOnSignal, (std::vector<int>{1}));
    EXPECT_EQ(o.bootTimeout, 2'000'000);
    EXPECT_EQ(o.logFile, "a.log");
    EXPECT_EQ(o.reportFile, "r.txt");
    EXPECT_TRUE(o.quiet);

    const BusOptions b = busOptions(o, 9, 3600);
    ASSERT_EQ(b.clocks.size(), 2u);
    EXPECT_EQ(b.clocks[0].id, 3);
    EXPECT_EQ(b.clocks[0].hundredths, 980);
    EXPECT_EQ(b.clocks[0].muteAfter.value_or(0), 1'500'000);
    EXPECT_FALSE(b.clocks[1].muteAfter);
    EXPECT_EQ(b.noiseHundredths, 0);
}

TEST(SimOptions, BadInputIsRefusedWithAMessage)
{
    const std::vector<std::vector<std::string>> bad = {
        {"--clocks", "1,5"}, {"--clocks", "1,1"}, {"--clocks", ""}, {"--volts", "twelve"}, {"--volts", "-1"},
        {"--volts", "5:12"}, {"--clocks", "1", "--volts", "2:12"}, {"--drop", "1.5"}, {"--drop", "x"},
        {"--name", "a/b"}, {"--name", ""}, {"--name", ".hidden"}, {"--delay"}, {"--withhold-ack", "1,,2"},
        {"--mute-after", "2"}, {"--clocks", "1", "--mute-on-signal", "2"}, {"--frobnicate"}, {"--quiet=yes"},
        {"--seed", "-3"},
    };
    for (const auto& args : bad) {
        std::string joined;
        for (const auto& a : args)
            joined += a + " ";
        EXPECT_THROW(parseOptions(args), OptionError) << joined;
    }
    try {
        parseOptions({"--clocks", "7"});
    } catch (const OptionError& e) {
        EXPECT_NE(std::string(e.what()).find("--clocks"), std::string::npos);
    }
}

TEST(SimOptions, HelpNamesEveryOption)
{
    EXPECT_TRUE(parseOptions({"--help"}).help);
    const std::string help = usageText();
    for (const char* opt : {"--name", "--clocks", "--volts", "--no-noise", "--seed", "--boot-timeout", "--drop",
                            "--corrupt", "--split", "--garbage", "--delay", "--withhold-ack", "--wire-time",
                            "--mute-after", "--mute-on-signal", "--log", "--report", "--quiet", "--help"})
        EXPECT_NE(help.find(opt), std::string::npos) << opt;
}

TEST(SimVirtualPort, FolderFollowsXdgRuntimeDir)
{
    XdgSandbox sandbox;
    EXPECT_EQ(virtualPortFolder(), sandbox.portsDir());
    unsetenv("XDG_RUNTIME_DIR");
    EXPECT_EQ(virtualPortFolder(), "/tmp/kadrel-" + std::to_string(getuid()) + "/ports");
}

TEST(SimVirtualPort, PublishesARawPtyAndRemovesTheLink)
{
    XdgSandbox sandbox;
    std::string link;
    {
        VirtualPort port(sandbox.portsDir(), "SIM1");
        link = port.linkPath();
        EXPECT_EQ(link, sandbox.portsDir() + "/SIM1");
        EXPECT_EQ(readLink(link), port.devicePath());
        struct stat st {};
        ASSERT_EQ(stat(sandbox.portsDir().c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0700u);
        ASSERT_EQ(stat(link.c_str(), &st), 0);
        EXPECT_TRUE(S_ISCHR(st.st_mode));

        // Bytes pass both ways unchanged: no echo, no CR/LF translation.
        const int fd = open(link.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        ASSERT_GE(fd, 0);
        const std::string probe("\x5A\r\n\x03\x00\xFF", 6);
        ASSERT_EQ(write(fd, probe.data(), probe.size()), 6);
        pollfd p{port.masterFd(), POLLIN, 0};
        ASSERT_EQ(poll(&p, 1, 1000), 1);
        char buf[16];
        EXPECT_EQ(std::string(buf, static_cast<size_t>(read(port.masterFd(), buf, sizeof buf))), probe);
        pollfd q{fd, POLLIN, 0};
        EXPECT_EQ(poll(&q, 1, 50), 0) << "echoed";
        close(fd);
    }
    struct stat st {};
    EXPECT_NE(lstat(link.c_str(), &st), 0);
    EXPECT_FALSE(std::filesystem::exists(sandbox.portsDir() + "/.SIM1.lock"));
}

TEST(SimVirtualPort, ASecondSimulatorWithTheSameNameIsRefused)
{
    XdgSandbox sandbox;
    VirtualPort first(sandbox.portsDir(), "SIM1");
    try {
        VirtualPort second(sandbox.portsDir(), "SIM1");
        FAIL() << "second simulator started";
    } catch (const PortError& e) {
        EXPECT_NE(std::string(e.what()).find("already in use"), std::string::npos) << e.what();
        EXPECT_NE(std::string(e.what()).find(std::to_string(getpid())), std::string::npos) << e.what();
    }
    EXPECT_EQ(readLink(first.linkPath()), first.devicePath());
    VirtualPort other(sandbox.portsDir(), "SIM2");
    EXPECT_NE(other.devicePath(), first.devicePath());
}

TEST(SimVirtualPort, StaleLinksAreReplacedForeignOnesKept)
{
    XdgSandbox sandbox;
    std::filesystem::create_directories(sandbox.portsDir());
    const std::string link = sandbox.portsDir() + "/SIM1";

    // Target gone: a simulator that died without cleaning up.
    std::filesystem::create_symlink("/dev/pts/no-such-device", link);
    {
        VirtualPort port(sandbox.portsDir(), "SIM1");
        EXPECT_EQ(readLink(link), port.devicePath());
    }
    // A live device some other tool linked there, or a file that is not a link: left alone.
    std::filesystem::create_symlink("/dev/null", link);
    EXPECT_THROW(VirtualPort(sandbox.portsDir(), "SIM1"), PortError);
    EXPECT_EQ(readLink(link), "/dev/null");
    std::filesystem::remove(link);
    { std::ofstream(link) << "x"; }
    EXPECT_THROW(VirtualPort(sandbox.portsDir(), "SIM1"), PortError);
    EXPECT_TRUE(std::filesystem::is_regular_file(link));
}

TEST(SimVirtualPort, LinkOfAKilledSimulatorIsReplacedEvenIfItsDeviceNumberIsTakenAgain)
{
    XdgSandbox sandbox;
    std::filesystem::create_directories(sandbox.portsDir());
    const std::string link = sandbox.portsDir() + "/SIM1";
    // What a killed simulator leaves: its link, and its record in the free lock file. The pty
    // number it had now belongs to someone else (here: our own test pty, alive).
    const int other = posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(other, 0);
    ASSERT_EQ(grantpt(other) | unlockpt(other), 0);
    const std::string device = ptsname(other);
    std::filesystem::create_symlink(device, link);
    { std::ofstream(sandbox.portsDir() + "/.SIM1.lock") << "99999\n" << device << "\n"; }
    {
        VirtualPort port(sandbox.portsDir(), "SIM1");
        EXPECT_EQ(readLink(link), port.devicePath());
    }
    close(other);
}

TEST(SimVirtualPort, ExclusiveUseEndsWhenTheProgramClosesThePort)
{
    XdgSandbox sandbox;
    VirtualPort port(sandbox.portsDir(), "SIM1");
    const auto settle = [&] {
        pollfd p{port.watchFd(), POLLIN, 0};
        while (poll(&p, 1, 200) == 1)
            port.handleOpenClose();
    };
    int fd = open(port.linkPath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(ioctl(fd, TIOCEXCL), 0);
    settle();
    EXPECT_EQ(port.openers(), 1);
    int excl = 0;
    ASSERT_EQ(ioctl(port.slaveFd(), TIOCGEXCL, &excl), 0);
    EXPECT_EQ(excl, 1);
    // A reply the program never read is not handed to its next session.
    ASSERT_EQ(write(port.masterFd(), "stale", 5), 5);
    close(fd);
    settle();
    EXPECT_EQ(port.openers(), 0);
    ASSERT_EQ(ioctl(port.slaveFd(), TIOCGEXCL, &excl), 0);
    EXPECT_EQ(excl, 0);
    fd = open(port.linkPath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(fd, 0);
    char buf[8];
    EXPECT_LT(read(fd, buf, sizeof buf), 1);
    close(fd);
}

// The /tmp fallback folder, or its parent, made by someone else first: the simulator refuses
// to publish its port there and says why.
TEST(SimVirtualPort, ASharedFolderNotOursAloneIsRefused)
{
    TempDir dir;
    struct Case {
        const char* what;
        mode_t parentMode;
        uid_t owner;   // of the parent; 0 keeps ours
        const char* says;
    };
    const Case cases[] = {
        {"writable by all", 01777, 0, "is writable by other users"},
        {"a second user's", 0755, 65534, "belongs to another user (uid 65534)"},
    };
    int n = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string parent = dir.mkdir("kadrel-" + std::to_string(n++));
        chmod(parent.c_str(), c.parentMode);
        if (c.owner && chown(parent.c_str(), c.owner, c.owner) != 0) {
            std::printf("skipped \"%s\": cannot give a folder to a second user id without root\n", c.what);
            continue;
        }
        try {
            VirtualPort port(parent + "/ports", "SIM1", true);
            ADD_FAILURE() << "published in " << parent;
        } catch (const PortError& e) {
            EXPECT_NE(std::string(e.what()).find(parent + " " + c.says), std::string::npos) << e.what();
            EXPECT_NE(std::string(e.what()).find("set XDG_RUNTIME_DIR"), std::string::npos) << e.what();
        }
        EXPECT_FALSE(std::filesystem::exists(parent + "/ports/SIM1"));
    }
    // Ours alone: published.
    const std::string ours = dir.mkdir("kadrel-ours");
    chmod(ours.c_str(), 0700);
    VirtualPort port(ours + "/ports", "SIM1", true);
    EXPECT_EQ(readLink(ours + "/ports/SIM1"), port.devicePath());
}

TEST(SimOutput, LogLineCarriesTimesBytesAndMeaning)
{
    const long wall = ((14 * 60 + 3) * 60 + 22) * 1000L + 517;
    EXPECT_EQ(logLine(wall, 2'034'512, "RX", fromHex("5A 01 01 60 BC"), "poll clock 1"),
              "14:03:22.517 +2034.512 RX 5A 01 01 60 BC | poll clock 1");
    EXPECT_EQ(logLine(0, 7, "--", {}, "started"), "00:00:00.000 +0.007 -- | started");
}

TEST(SimOutput, ClockLineShowsTheClockState)
{
    ClockView v;
    v.id = 2;
    v.address = 3;
    v.stopwatch = -75;
    v.countDown = true;
    v.running = true;
    v.expired = true;
    v.brightness = 1;
    v.displayOff = true;
    v.hundredths = 1175;
    v.muted = true;
    const std::string line = clockLine(v);
    for (const char* part : {"clock 2", "address 3", "stopwatch", "-01:15", "down running time up", "brightness 1",
                             "display off", "11.75 V", "muted"})
        EXPECT_NE(line.find(part), std::string::npos) << part << " in " << line;
    v.mode = ClockMode::RealTime;
    v.timeOfDay = 13 * 3600 + 5 * 60 + 9;
    EXPECT_NE(clockLine(v).find("real time   13:05:09"), std::string::npos) << clockLine(v);
}

} // namespace
