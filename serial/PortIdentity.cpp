#include "serial/PortIdentity.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>

#include "serial/UniqueFd.h"

namespace fs = std::filesystem;

namespace {

constexpr size_t MaxIdentityFile = 4096;

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
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    if (!fd.valid())
        return {};
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_size > static_cast<off_t>(MaxIdentityFile))
        return {};
    std::string text(MaxIdentityFile + 1, '\0');
    const ssize_t n = ::read(fd.get(), text.data(), text.size());
    if (n <= 0 || static_cast<size_t>(n) > MaxIdentityFile)
        return {};
    text.resize(static_cast<size_t>(n));
    const std::string line = text.substr(0, text.find('\n'));
    const bool known = line.rfind("by-id:", 0) == 0 || line.rfind("usb:", 0) == 0 || line.rfind("link:", 0) == 0;
    if (!known || !printable(line) || line.find('/') != std::string::npos)
        return {};
    return line;
}

bool writeIdentityFile(const std::string& path, const std::string& identity, const std::string& portName)
{
    if (identity.empty()) {
        std::error_code ec;
        fs::remove(path, ec);
        return !ec;
    }
    // Written aside and renamed over: a crash leaves the old file or the new one, never half.
    const std::string temporary = path + ".new";
    {
        UniqueFd fd(::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0644));
        if (!fd.valid())
            return false;
        const std::string text = identity + "\n" + portName + "\n";
        if (::write(fd.get(), text.data(), text.size()) != static_cast<ssize_t>(text.size()))
            return false;
    }
    return ::rename(temporary.c_str(), path.c_str()) == 0;
}
