#pragma once
// Two switches of the serial line kept in a file of their own beside the settings file (whose
// format stays as it is): "port-options", one "name=0|1" a line. Unknown lines are skipped on
// reading, so a newer program's file still reads; saving replaces the file whole (written
// beside it, then renamed).
//   echo   drop the echo of each written frame from the received bytes (link/Echo.h)
//   rs485  ask the driver for its RS485 mode at open (RTS on while sending)
#include <string>

#include "files/FileRoom.h"

struct PortOptions {
    bool dropEcho = false;
    bool kernelRs485 = false;

    bool operator==(const PortOptions&) const = default;
};

namespace PortOptionsFile {

inline constexpr const char* FileName = "port-options";

// A missing or unreadable file (a FIFO or device in its place) gives the defaults (both off).
PortOptions load(const std::string& path);
// 0, or the errno of the failure, whose reason outcome gets. Creates the folder when it is missing.
int save(const std::string& path, const PortOptions& options, FileRoom::Outcome* outcome = nullptr);

} // namespace PortOptionsFile
