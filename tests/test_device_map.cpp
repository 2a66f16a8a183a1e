// The device map on a fake sysfs tree and a virtual-port folder of the test's own.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <functional>
#include <sys/stat.h>
#include <unistd.h>

#include "serial/DeviceMap.h"
#include "tests/support/Pty.h"
#include "tests/support/TempDir.h"

namespace fs = std::filesystem;

namespace {

void link(const std::string& target, const std::string& at)
{
    fs::create_directories(fs::path(at).parent_path());
    fs::create_symlink(target, at);
}

// A sysfs tree: two real 8250 ports, a phantom one, two USB adapters, a virtual console and
// a couple of entries that cannot be read.
class FakeSysfs {
public:
    explicit FakeSysfs(const TempDir& dir) : root(dir.mkdir("sys"))
    {
        const std::string drivers = root + "/bus/drivers";
        fs::create_directories(drivers + "/serial8250");
        fs::create_directories(drivers + "/ftdi_sio");
        fs::create_directories(drivers + "/cdc_acm");

        const std::string platform = root + "/devices/platform/serial8250";
        link(drivers + "/serial8250", platform + "/driver");
        for (const char* name : {"ttyS0", "ttyS10", "ttyS2", "ttyS1"}) {
            const std::string entry = root + "/class/tty/" + name;
            link(platform, entry + "/device");
            writeFile(entry + "/type", std::string(name) == "ttyS1" ? "0\n" : "4\n");
        }

        const std::string usb = root + "/devices/pci0000:00/usb1";
        writeFile(usb + "/1-1/manufacturer", "FTDI\n");
        writeFile(usb + "/1-1/product", "FT232R USB UART\n");
        link(drivers + "/ftdi_sio", usb + "/1-1/1-1:1.0/ttyUSB0/driver");
        link(usb + "/1-1/1-1:1.0/ttyUSB0", root + "/class/tty/ttyUSB0/device");

        writeFile(usb + "/1-2/product", "Pico\n");
        link(drivers + "/cdc_acm", usb + "/1-2/1-2:1.0/driver");
        link(usb + "/1-2/1-2:1.0", root + "/class/tty/ttyACM0/device");

        fs::create_directories(root + "/class/tty/tty0");  // no device behind it
        link(root + "/devices/gone", root + "/class/tty/ttyS5/device");  // dangling
        const std::string unreadable = root + "/class/tty/ttyS3";
        link(platform, unreadable + "/device");
        fs::create_directories(unreadable + "/type");  // a type that cannot be read as a file
    }
    std::string root;
};

} // namespace

TEST(DeviceMap, VirtualPortsFirstThenHardwareInNaturalOrder)
{
    TempDir dir;
    FakeSysfs sys(dir);
    TestPty a, b;
    const std::string ports = dir.mkdir("ports");
    link(b.slavePath(), ports + "/COM2");
    link(a.slavePath(), ports + "/COM10");
    link(dir.file("plain"), ports + "/FILE");  // not a character device
    writeFile(dir.file("plain"), "x");
    link(dir.file("nowhere"), ports + "/BROKEN");
    writeFile(ports + "/NOTALINK", "x");

    const std::vector<PortEntry> list = DeviceMap(sys.root, ports).list();
    std::vector<std::string> names, devices;
    for (const PortEntry& e : list) {
        names.push_back(e.portName);
        devices.push_back(e.deviceName);
    }
    EXPECT_EQ(names, (std::vector<std::string>{ports + "/COM10", ports + "/COM2", "/dev/ttyACM0", "/dev/ttyS0",
                                               "/dev/ttyS2", "/dev/ttyS10", "/dev/ttyUSB0"}));
    EXPECT_EQ(devices, (std::vector<std::string>{"virtual " + a.slavePath(), "virtual " + b.slavePath(), "cdc_acm: Pico",
                                                 "serial8250", "serial8250", "serial8250",
                                                 "ftdi_sio: FTDI FT232R USB UART"}));
}

TEST(DeviceMap, RelativeVirtualTargetsAreShownAsFullPaths)
{
    TempDir dir;
    TestPty pty;
    const std::string ports = dir.mkdir("run/ports");
    link(dir.file("dev/tty-sim"), ports + "/SIM");
    link(pty.slavePath(), dir.file("dev/tty-sim"));
    link("../../dev/tty-sim", ports + "/REL");
    const std::vector<PortEntry> list = DeviceMap(dir.file("no-sys"), ports).list();
    ASSERT_EQ(list.size(), 2u);
    EXPECT_EQ(list[0].portName, ports + "/REL");
    EXPECT_EQ(list[0].deviceName, "virtual " + dir.file("dev/tty-sim"));
    EXPECT_EQ(list[1].deviceName, "virtual " + dir.file("dev/tty-sim"));
}

TEST(DeviceMap, MissingFoldersGiveAnEmptyList)
{
    TempDir dir;
    EXPECT_TRUE(DeviceMap(dir.file("none"), dir.file("none-either")).list().empty());
    writeFile(dir.file("sys/class/tty"), "a file where a folder belongs");
    EXPECT_TRUE(DeviceMap(dir.file("sys"), dir.file("sys/class/tty")).list().empty());
}

TEST(DeviceMap, DefaultVirtualFolderFollowsXdgRuntimeDir)
{
    const char* old = std::getenv("XDG_RUNTIME_DIR");
    const std::string saved = old ? old : "";
    setenv("XDG_RUNTIME_DIR", "/run/user/4242", 1);
    EXPECT_EQ(DeviceMap::defaultVirtualDir(), "/run/user/4242/kadrel/ports");
    unsetenv("XDG_RUNTIME_DIR");
    EXPECT_EQ(DeviceMap::defaultVirtualDir(), "/tmp/kadrel-" + std::to_string(getuid()) + "/ports");
    if (old)
        setenv("XDG_RUNTIME_DIR", saved.c_str(), 1);
}

// The /tmp fallback folder: another local user could have made it, or its parent, first, with a
// link to a pty of theirs. Its ports are listed only when both folders are ours alone.
namespace {

struct SharedFolder {
    explicit SharedFolder(const TempDir& dir, const std::string& name, const std::string& device)
        : parent(dir.file(name)), ports(parent + "/ports")
    {
        ::mkdir(parent.c_str(), 0700);
        ::mkdir(ports.c_str(), 0700);
        link(device, ports + "/SIM1");
    }
    // The refusal, and how many ports were listed.
    FolderFault fault(size_t& listed) const
    {
        DeviceMap map(parent + "/no-sys", ports, true);
        listed = map.list().size();
        return map.virtualFolderRefusal().fault;
    }
    std::string parent, ports;
};

} // namespace

TEST(DeviceMap, ASharedFolderIsListedOnlyWhenItAndItsParentAreOursAlone)
{
    TempDir dir;
    TestPty pty;
    struct Case {
        const char* what;
        std::function<void(const SharedFolder&)> spoil;
        FolderFault fault;
    };
    auto relink = [](const std::string& path) {
        fs::rename(path, path + "-real");
        fs::create_symlink(path + "-real", path);
    };
    const Case cases[] = {
        {"ours alone", [](const SharedFolder&) {}, FolderFault::None},
        {"parent writable by all", [](const SharedFolder& f) { chmod(f.parent.c_str(), 0777); }, FolderFault::OpenToOthers},
        {"parent sticky and writable by all", [](const SharedFolder& f) { chmod(f.parent.c_str(), 01777); }, FolderFault::OpenToOthers},
        {"folder writable by the group", [](const SharedFolder& f) { chmod(f.ports.c_str(), 0770); }, FolderFault::OpenToOthers},
        {"parent a link", [&](const SharedFolder& f) { relink(f.parent); }, FolderFault::Symlink},
        {"folder a link", [&](const SharedFolder& f) { relink(f.ports); }, FolderFault::Symlink},
        {"folder a file", [](const SharedFolder& f) { fs::remove_all(f.ports); writeFile(f.ports, "x"); }, FolderFault::NotFolder},
        {"folder missing", [](const SharedFolder& f) { fs::remove_all(f.ports); }, FolderFault::Missing},
    };
    int n = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        SharedFolder folder(dir, "kadrel-" + std::to_string(n++), pty.slavePath());
        c.spoil(folder);
        size_t listed = 0;
        const FolderFault fault = folder.fault(listed);
        // A missing folder is no refusal: there is nothing to list.
        EXPECT_EQ(fault, c.fault == FolderFault::Missing ? FolderFault::None : c.fault);
        EXPECT_EQ(listed, c.fault == FolderFault::None ? 1u : 0u);
    }
}

TEST(DeviceMap, ASharedFolderOfASecondUserIsNotListed)
{
    TempDir dir;
    TestPty pty;
    const uid_t other = 65534;   // nobody
    SharedFolder parentTaken(dir, "kadrel-parent", pty.slavePath());
    SharedFolder folderTaken(dir, "kadrel-folder", pty.slavePath());
    if (chown(parentTaken.parent.c_str(), other, other) != 0 || chown(folderTaken.ports.c_str(), other, other) != 0)
        GTEST_SKIP() << "cannot give a folder to a second user id (uid " << other << ") without root: not checked";
    for (const SharedFolder* f : {&parentTaken, &folderTaken}) {
        DeviceMap map(dir.file("no-sys"), f->ports, true);
        EXPECT_TRUE(map.list().empty());
        EXPECT_EQ(map.virtualFolderRefusal().fault, FolderFault::OtherOwner);
        EXPECT_EQ(map.virtualFolderRefusal().uid, other);
    }
    // Only the shared fallback folder is held to this; a folder named by the caller is not.
    EXPECT_EQ(DeviceMap(dir.file("no-sys"), parentTaken.ports).list().size(), 1u);
}

TEST(DeviceMap, NaturalOrder)
{
    EXPECT_TRUE(NaturalLess("ttyS2", "ttyS10"));
    EXPECT_FALSE(NaturalLess("ttyS10", "ttyS2"));
    EXPECT_TRUE(NaturalLess("ttyACM0", "ttyS0"));
    EXPECT_TRUE(NaturalLess("ttyS", "ttyS0"));
    EXPECT_TRUE(NaturalLess("ttyUSB9", "ttyUSB10"));
    EXPECT_FALSE(NaturalLess("ttyS1", "ttyS1"));
    EXPECT_TRUE(NaturalLess("a1b2", "a1b10"));
    EXPECT_TRUE(NaturalLess("x1", "x01"));
}
