#pragma once
// The text of a port failure as the operator reads it. The port's own message stays first; a
// refused open for want of permission (errno 13, the usual first meeting with a serial adapter
// on Linux) gets one more line naming the group that owns the device, read from the device.
#include <QString>
#include <string>

class EComPort;
struct FolderCheck;

// The device a Port name stands for: a name starting with "/" is a path, any other /dev/NAME.
std::string portDevicePath(const std::string& port);
// The group owning the device behind `path` (links followed), by name, or its number when the
// system has no name for it; empty when the device cannot be looked at.
QString deviceGroup(const std::string& path);
// The message, with the permission line when it applies.
QString portErrorMessage(const EComPort& error, const std::string& port);
// Why the virtual ports' folder was passed over, for the operator (or whoever reads stderr).
QString virtualFolderRefusal(const FolderCheck& check);
