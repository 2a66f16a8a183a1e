#pragma once
// The device map: the list of serial ports the program offers, with a device name for each.
// Virtual ports come first: every symbolic link in the virtual-port folder whose target is a
// character device (the bus simulator publishes its pseudo-terminal there), in name order.
// Hardware ports follow: each sysfs class/tty entry with a device/driver link, in natural
// order (ttyS2 before ttyS10), leaving out the phantom 8250 ports whose sysfs `type` reads 0.
// Only sysfs files are read; no device is opened. A missing folder gives no entries, an entry
// that cannot be read is skipped.
#include <string>
#include <vector>

#include "base/PrivateFolder.h"

struct PortEntry {
    std::string portName;    // what TCustomComPort::SetPort accepts: a full path
    std::string deviceName;  // "virtual /dev/pts/3", "ftdi_sio: FTDI FT232R USB UART", "serial8250"
};

class DeviceMap {
public:
    // privateOnly: list virtual ports only when the folder and its parent are the user's alone
    // (PrivateFolder.h); by default so for the shared /tmp fallback folder.
    explicit DeviceMap(std::string sysfsRoot = "/sys", std::string virtualDir = DeviceMap::defaultVirtualDir());
    DeviceMap(std::string sysfsRoot, std::string virtualDir, bool privateOnly);
    // $XDG_RUNTIME_DIR/kadrel/ports, or /tmp/kadrel-<uid>/ports when XDG_RUNTIME_DIR is unset.
    static std::string defaultVirtualDir();
    std::vector<PortEntry> list() const;
    // Network ports the operator added, listed after the virtual ports and before the hardware
    // ports, in this order: port name the address, device name "sieć TCP" or "sieć RFC 2217".
    void setNetworkPorts(std::vector<std::string> addresses) { networkPorts_ = std::move(addresses); }

    const std::string& sysfsRoot() const { return sysfsRoot_; }
    const std::string& virtualDir() const { return virtualDir_; }
    // Why the last list() left the virtual ports out (fault None when it did not).
    const FolderCheck& virtualFolderRefusal() const { return refusal_; }

private:
    std::vector<PortEntry> virtualPorts() const;
    std::vector<PortEntry> hardwarePorts() const;
    std::string sysfsRoot_;
    std::string virtualDir_;
    bool privateOnly_ = false;
    mutable FolderCheck refusal_;
    std::vector<std::string> networkPorts_;
};

// The USB device (the folder with idVendor) at or above a tty's sysfs device, never climbing
// to `stopAt`; empty when the tty is not on USB.
std::string usbDeviceOf(const std::string& device, const std::string& stopAt);
// The first line of a small sysfs file, trimmed; empty when unreadable.
std::string sysfsLine(const std::string& file);

// "ttyS2" before "ttyS10": runs of digits compare by value, the rest byte by byte.
bool NaturalLess(const std::string& a, const std::string& b);
