#pragma once
// A port's stable identity, kept beside the settings file so that the same adapter is found
// again when the kernel hands out its tty under another name (two adapters swapping ttyUSB0
// and ttyUSB1 after a reboot). In order of preference:
//   "by-id:NAME"            the port's link in /dev/serial/by-id (udev's stable name)
//   "usb:VID:PID:SERIAL"    the adapter's sysfs ids where that link is missing
//   "link:NAME"             a virtual port's link name
// A port with none of these (a motherboard UART) has no identity: the stored index rules.
// The identity file holds the identity on its first line and the port name on the second.
#include <optional>
#include <string>
#include <vector>

#include "serial/DeviceMap.h"

struct IdentityRoots {
    std::string sysfsRoot = "/sys";
    std::string byIdDir = "/dev/serial/by-id";
    std::string virtualDir;
};

std::string portIdentity(const std::string& portName, const IdentityRoots& roots);
// The index of the entry with this identity, if any.
std::optional<size_t> findIdentity(const std::vector<PortEntry>& ports, const std::string& identity,
                                   const IdentityRoots& roots);

// The identity stored in the file; empty when the file is missing, too large, a link, or not one.
std::string readIdentityFile(const std::string& path);
// Replaces the file whole; an empty identity removes it. False on failure, with the reason
// naming the file in message.
bool writeIdentityFile(const std::string& path, const std::string& identity, const std::string& portName,
                       std::string* message = nullptr);
