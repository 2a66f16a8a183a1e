#include "serial/DeviceMap.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "base/UniqueFd.h"

namespace fs = std::filesystem;

namespace {

// The first line of a small sysfs file, trimmed; false when it cannot be read.
bool readLine(const fs::path& file, std::string& out)
{
    UniqueFd fd(::open(file.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd.valid())
        return false;
    char buf[256];
    const ssize_t n = ::read(fd.get(), buf, sizeof buf);
    if (n < 0)
        return false;
    std::string line(buf, static_cast<size_t>(n));
    line = line.substr(0, line.find('\n'));
    while (!line.empty() && std::isspace(static_cast<unsigned char>(line.back())))
        line.pop_back();
    size_t start = 0;
    while (start < line.size() && std::isspace(static_cast<unsigned char>(line[start])))
        ++start;
    out = line.substr(start);
    return true;
}


} // namespace

std::string usbDeviceOf(const std::string& device, const std::string& stopAt)
{
    std::error_code ec;
    fs::path dir = fs::canonical(device, ec);
    if (ec)
        return {};
    const fs::path top = fs::weakly_canonical(stopAt, ec);
    for (int depth = 0; depth < 32 && !dir.empty(); ++depth) {
        if (dir == top || dir == dir.root_path())
            break;
        // Interfaces and usb-serial ports sit below the USB device; only the device itself
        // carries idVendor and the strings. Above it are hubs and the host controller, whose strings are not
        // the adapter's.
        if (fs::exists(dir / "idVendor", ec) || fs::exists(dir / "manufacturer", ec) || fs::exists(dir / "product", ec))
            return dir.string();
        dir = dir.parent_path();
    }
    return {};
}

std::string sysfsLine(const std::string& file)
{
    std::string line;
    return readLine(file, line) ? line : std::string();
}

namespace {

// The adapter's own manufacturer and product strings, or nothing.
std::string usbStrings(const fs::path& device, const fs::path& stopAt)
{
    const std::string usb = usbDeviceOf(device.string(), stopAt.string());
    if (usb.empty())
        return {};
    const std::string manufacturer = sysfsLine(usb + "/manufacturer");
    const std::string product = sysfsLine(usb + "/product");
    if (!manufacturer.empty() && !product.empty())
        return manufacturer + " " + product;
    return manufacturer.empty() ? product : manufacturer;
}

// The link's last component: the name of the folder or driver it points at.
std::string linkName(const fs::path& link)
{
    std::error_code ec;
    const std::string name = fs::read_symlink(link, ec).filename().string();
    return ec ? std::string() : name;
}

// Newer kernels put the serial core's own devices (subsystem serial-base, drivers "port" and
// "ctrl") between a UART's tty and the device its driver serves; the driver worth naming is
// that of the first device above them.
std::string driverName(const fs::path& device)
{
    std::error_code ec;
    fs::path dir = fs::canonical(device, ec);
    if (ec)
        return {};
    for (int depth = 0; depth < 4 && linkName(dir / "subsystem") == "serial-base"; ++depth)
        dir = dir.parent_path();
    if (!fs::exists(dir / "driver", ec))
        return linkName(device / "driver");
    return linkName(dir / "driver");
}

} // namespace

bool NaturalLess(const std::string& a, const std::string& b)
{
    size_t i = 0, j = 0;
    while (i < a.size() && j < b.size()) {
        const bool da = std::isdigit(static_cast<unsigned char>(a[i]));
        const bool db = std::isdigit(static_cast<unsigned char>(b[j]));
        if (da && db) {
            size_t ei = i, ej = j;
            while (ei < a.size() && std::isdigit(static_cast<unsigned char>(a[ei])))
                ++ei;
            while (ej < b.size() && std::isdigit(static_cast<unsigned char>(b[ej])))
                ++ej;
            // Compare by value: strip leading zeros, then length, then digits.
            size_t si = i, sj = j;
            while (si + 1 < ei && a[si] == '0')
                ++si;
            while (sj + 1 < ej && b[sj] == '0')
                ++sj;
            if (ei - si != ej - sj)
                return ei - si < ej - sj;
            const int c = a.compare(si, ei - si, b, sj, ej - sj);
            if (c != 0)
                return c < 0;
            if (ei - i != ej - j)
                return ei - i < ej - j;  // "1" before "01"
            i = ei;
            j = ej;
            continue;
        }
        if (a[i] != b[j])
            return static_cast<unsigned char>(a[i]) < static_cast<unsigned char>(b[j]);
        ++i;
        ++j;
    }
    return a.size() - i < b.size() - j;
}

DeviceMap::DeviceMap(std::string sysfsRoot, std::string virtualDir)
    : sysfsRoot_(std::move(sysfsRoot)), virtualDir_(std::move(virtualDir))
{
    privateOnly_ = PrivateFolder::withoutTrailingSlash(virtualDir_) == PrivateFolder::sharedFallback();
}

DeviceMap::DeviceMap(std::string sysfsRoot, std::string virtualDir, bool privateOnly)
    : sysfsRoot_(std::move(sysfsRoot)), virtualDir_(std::move(virtualDir)), privateOnly_(privateOnly)
{
}

std::string DeviceMap::defaultVirtualDir()
{
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (runtime && *runtime)
        return std::string(runtime) + "/kadrel/ports";
    return "/tmp/kadrel-" + std::to_string(::getuid()) + "/ports";
}

std::vector<PortEntry> DeviceMap::list() const
{
    std::vector<PortEntry> all = virtualPorts();
    for (const std::string& address : networkPorts_) {
        const bool rfc2217 = address.rfind("rfc2217://", 0) == 0;
        all.push_back({address, rfc2217 ? "sieć RFC 2217" : "sieć TCP"});
    }
    std::vector<PortEntry> hardware = hardwarePorts();
    all.insert(all.end(), hardware.begin(), hardware.end());
    return all;
}

std::vector<PortEntry> DeviceMap::virtualPorts() const
{
    std::vector<PortEntry> out;
    refusal_ = FolderCheck();
    UniqueFd folder;
    if (privateOnly_) {
        FolderCheck check;
        folder = PrivateFolder::open(virtualDir_, check);
        if (!folder.valid()) {
            if (check.fault != FolderFault::Missing)
                refusal_ = check;
            return out;
        }
    } else {
        folder.reset(::open(virtualDir_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (!folder.valid())
            return out;
    }
    // Entries are looked at through the opened folder, never again by its path.
    UniqueFd listing(::fcntl(folder.get(), F_DUPFD_CLOEXEC, 0));
    DIR* dir = listing.valid() ? ::fdopendir(listing.get()) : nullptr;
    if (!dir)
        return out;
    listing.release();  // closedir closes it
    const fs::path base(virtualDir_);
    while (const dirent* e = ::readdir(dir)) {
        const std::string name = e->d_name;
        if (name == "." || name == "..")
            continue;
        struct stat st {};
        if (::fstatat(folder.get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISLNK(st.st_mode))
            continue;
        if (::fstatat(folder.get(), name.c_str(), &st, 0) != 0 || !S_ISCHR(st.st_mode))
            continue;
        char buf[4096];
        const ssize_t n = ::readlinkat(folder.get(), name.c_str(), buf, sizeof buf - 1);
        if (n <= 0)
            continue;
        fs::path target(std::string(buf, static_cast<size_t>(n)));
        if (target.is_relative())
            target = (base / target).lexically_normal();
        out.push_back({(base / name).string(), "virtual " + target.string()});
    }
    ::closedir(dir);
    std::sort(out.begin(), out.end(), [](const PortEntry& a, const PortEntry& b) { return a.portName < b.portName; });
    return out;
}

std::vector<PortEntry> DeviceMap::hardwarePorts() const
{
    std::vector<std::pair<std::string, std::string>> found;  // name, device name
    std::error_code ec;
    const fs::path classDir = fs::path(sysfsRoot_) / "class" / "tty";
    fs::directory_iterator it(classDir, ec);
    if (ec)
        return {};
    for (; it != fs::directory_iterator(); it.increment(ec)) {
        if (ec)
            break;
        const fs::path entry = it->path();
        const std::string name = entry.filename().string();
        std::error_code e2;
        const fs::path driverLink = entry / "device" / "driver";
        if (!fs::exists(driverLink, e2) || e2)
            continue;  // virtual terminals, ptys: no driver behind them
        const std::string driver = driverName(entry / "device");
        if (driver.empty())
            continue;
        // serial_core ports report their UART type; 0 means none is there (a phantom 8250
        // slot). Reading the file, unlike opening the device, disturbs no one.
        const fs::path typeFile = entry / "type";
        if (fs::exists(typeFile, e2)) {
            std::string type;
            if (!readLine(typeFile, type))
                continue;  // cannot tell: leave it out
            if (type == "0")
                continue;
        }
        std::string device = driver;
        const std::string usb = usbStrings(entry / "device", fs::path(sysfsRoot_));
        if (!usb.empty())
            device += ": " + usb;
        found.emplace_back(name, device);
    }
    std::sort(found.begin(), found.end(), [](const auto& a, const auto& b) { return NaturalLess(a.first, b.first); });
    std::vector<PortEntry> out;
    out.reserve(found.size());
    for (auto& [name, device] : found)
        out.push_back({"/dev/" + name, device});
    return out;
}
