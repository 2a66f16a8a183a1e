#include "serial/PortIdentity.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>

#include "files/FileRoom.h"

namespace fs = std::filesystem;

namespace {

// The identity picks the port the program connects to by itself: a link in the file's place
// is not followed, and a file larger than any identity is none.
const FileRoom::Policy IdentityPolicy{.links = FileRoom::Links::Refuse, .maxBytes = 4096};

bool isCharDevice(const std::string& path)
{
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISCHR(st.st_mode);
}

std::string devicePath(const std::string& portName)
{
    return !portName.empty() && portName[0] == '/' ? portName : "/dev/" + portName;
}

// The character device a path leads to, resolved; empty when it is none.
std::string realDevice(const std::string& path)
{
    if (!isCharDevice(path))
        return {};
    std::error_code ec;
    const fs::path real = fs::canonical(path, ec);
    return ec ? std::string() : real.string();
}

std::string byIdName(const std::string& device, const std::string& byIdDir)
{
    std::error_code ec;
    std::vector<std::string> names;
    for (fs::directory_iterator it(byIdDir, ec), end; !ec && it != end; it.increment(ec)) {
        // A link to anything but a tty (a stray file, a dangling link) names no port.
        if (realDevice(it->path().string()) == device)
            names.push_back(it->path().filename().string());
    }
    if (names.empty())
        return {};
    return *std::min_element(names.begin(), names.end());
}

bool printable(const std::string& text)
{
    return std::all_of(text.begin(), text.end(), [](unsigned char c) { return c >= 0x20 && c != 0x7F; });
}

} // namespace

std::string portIdentity(const std::string& portName, const IdentityRoots& roots)
{
    if (portName.empty() || portName[0] != '/')
        return {};   // not a device path: no identity of this kind
    const std::string path = devicePath(portName);
    const std::string device = realDevice(path);
    if (!device.empty()) {
        const std::string byId = byIdName(device, roots.byIdDir);
        if (!byId.empty())
            return "by-id:" + byId;
    }
    if (!roots.virtualDir.empty() && fs::path(path).parent_path() == fs::path(roots.virtualDir))
        return "link:" + fs::path(path).filename().string();
    if (path.rfind("/dev/", 0) == 0) {
        const std::string name = path.substr(5);
        const std::string usb = usbDeviceOf(roots.sysfsRoot + "/class/tty/" + name + "/device", roots.sysfsRoot);
        if (!usb.empty()) {
            const std::string vendor = sysfsLine(usb + "/idVendor");
            const std::string product = sysfsLine(usb + "/idProduct");
            if (!vendor.empty() && !product.empty())
                return "usb:" + vendor + ":" + product + ":" + sysfsLine(usb + "/serial");
        }
    }
    return {};
}

std::optional<size_t> findIdentity(const std::vector<PortEntry>& ports, const std::string& identity,
                                   const IdentityRoots& roots)
{
    if (identity.empty())
        return std::nullopt;
    for (size_t i = 0; i < ports.size(); ++i)
        if (portIdentity(ports[i].portName, roots) == identity)
            return i;
    return std::nullopt;
}

std::string readIdentityFile(const std::string& path)
{
    std::string text;
    if (!FileRoom::read(path, IdentityPolicy, text).ok() || text.empty())
        return {};
    const std::string line = text.substr(0, text.find('\n'));
    const bool known = line.rfind("by-id:", 0) == 0 || line.rfind("usb:", 0) == 0 || line.rfind("link:", 0) == 0;
    if (!known || !printable(line) || line.find('/') != std::string::npos)
        return {};
    return line;
}

bool writeIdentityFile(const std::string& path, const std::string& identity, const std::string& portName,
                       std::string* message)
{
    const FileRoom::Outcome done = identity.empty()
                                       ? FileRoom::remove(path, IdentityPolicy)
                                       : FileRoom::replace(path, identity + "\n" + portName + "\n", IdentityPolicy);
    if (message)
        *message = done.message;
    return done.ok();
}
