// needs: qt
// A port refused for want of permission: the error box keeps the port's message and adds one
// line naming the group that owns the device. The refusal itself is produced for real, by a
// child that gives up root and opens a pty made 0660 for a group it is not in.
#include <fcntl.h>
#include <grp.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>

#include "app/PortErrors.h"
#include "tests/test_main_window_fixture.h"

namespace {

constexpr gid_t Nobody = 65534;

// A group for the device that the unprivileged child is not in: dialout where it exists.
gid_t deviceGroupId(std::string& name)
{
    if (const group* g = getgrnam("dialout")) {
        name = g->gr_name;
        return g->gr_gid;
    }
    name = "root";
    return 0;
}

std::string realPath(const std::string& path)
{
    char buffer[PATH_MAX];
    return ::realpath(path.c_str(), buffer) ? std::string(buffer) : path;
}

QString hintFor(const QString& group, const std::string& device)
{
    return QStringLiteral("Brak uprawnień: użytkownik musi należeć do grupy „%1”, do której należy urządzenie %2.")
        .arg(group, QString::fromStdString(device));
}

TEST_F(WindowTest, APermissionRefusalNamesTheDevicesGroup)
{
    TestPty& pty = addPort("BUS");
    std::string groupName;
    const gid_t gid = deviceGroupId(groupName);
    if (chown(pty.slavePath().c_str(), 0, gid) != 0 || chmod(pty.slavePath().c_str(), 0660) != 0)
        GTEST_SKIP() << "the pty cannot be given to root:" << groupName << " here (not root?)";
    TForm1& w = createWindow();
    ASSERT_EQ(w.ComPort->Port(), portPath("BUS"));

    w.HandleException(std::make_exception_ptr(EComPort(peOpen, EACCES)));
    ASSERT_EQ(errors().size(), 1u);
    const QString expected = QStringLiteral("Unable to open com port (Error: 13)\n") +
                             hintFor(QString::fromStdString(groupName), realPath(pty.slavePath()));
    EXPECT_EQ(errors()[0].text, expected);
    EXPECT_TRUE(w.Button_polacz->isEnabled());
}

TEST(PortErrorMessage, OnlyAPermissionRefusalOfTheOpenGetsTheHint)
{
    const std::string port = "/dev/null";
    struct Case {
        EComPort error;
        bool hint;
    };
    const Case cases[] = {
        {EComPort(peOpen, EACCES), true},
        {EComPort(peOpen, ENOENT), false},   // no such device
        {EComPort(peOpen, EBUSY), false},    // in use
        {EComPort(peWrite, EACCES), false},  // not an open
        {EComPort(pePortNotOpen), false},
    };
    for (const Case& c : cases) {
        const QString text = portErrorMessage(c.error, port);
        EXPECT_TRUE(text.startsWith(QString::fromUtf8(c.error.what()))) << text;
        EXPECT_EQ(text.contains(QStringLiteral("Brak uprawnień")), c.hint) << text;
    }
    // A device that cannot be looked at still gets the line, without a group to name.
    const QString missing = portErrorMessage(EComPort(peOpen, EACCES), "/nonexistent/ttyX");
    EXPECT_TRUE(missing.endsWith(QStringLiteral("do grupy, do której należy urządzenie /nonexistent/ttyX."))) << missing;
    // A bare name stands for /dev/NAME.
    EXPECT_EQ(portDevicePath("ttyUSB0"), "/dev/ttyUSB0");
    EXPECT_EQ(portDevicePath("/tmp/link"), "/tmp/link");
}

TEST(PortErrorMessage, AnUnprivilegedOpenIsRefusedWithTheHint)
{
    TestPty pty;
    std::string groupName;
    const gid_t gid = deviceGroupId(groupName);
    if (chown(pty.slavePath().c_str(), 0, gid) != 0 || chmod(pty.slavePath().c_str(), 0660) != 0)
        GTEST_SKIP() << "the pty cannot be given to root:" << groupName << " here (not root?)";

    int out[2];
    ASSERT_EQ(pipe2(out, O_CLOEXEC), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        auto say = [&](const std::string& text) {
            [[maybe_unused]] const ssize_t n = ::write(out[1], text.data(), text.size());
            _exit(0);
        };
        if (setgroups(0, nullptr) != 0 || setgid(Nobody) != 0 || setuid(Nobody) != 0 || getuid() != Nobody)
            say("SKIP");
        TComPort port;
        port.SetPort(pty.slavePath());
        try {
            port.OpenPort();
            say("OPENED");
        } catch (const EComPort& e) {
            say(portErrorMessage(e, port.Port()).toStdString());
        }
        say("NOTHING");
    }
    ::close(out[1]);
    std::string said;
    char buffer[1024];
    ssize_t n;
    while ((n = ::read(out[0], buffer, sizeof buffer)) > 0 || (n < 0 && errno == EINTR))
        if (n > 0)
            said.append(buffer, static_cast<size_t>(n));
    ::close(out[0]);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    if (said == "SKIP")
        GTEST_SKIP() << "privileges cannot be dropped to uid/gid 65534 here";
    const QString expected = QStringLiteral("Unable to open com port (Error: 13)\n") +
                             hintFor(QString::fromStdString(groupName), realPath(pty.slavePath()));
    EXPECT_EQ(QString::fromStdString(said), expected);
}

} // namespace
