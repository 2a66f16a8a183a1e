#pragma once
// The network ports the operator added: a text file, one address per line ("tcp://HOST:PORT"
// or "rfc2217://HOST:PORT"), in the order they were added. Lines that are no valid address are
// skipped on reading, as are repeats; saving replaces the file whole (written beside it, then
// renamed), so a crash never leaves half a list.
#include <string>
#include <vector>

#include "files/FileRoom.h"

namespace NetworkPorts {

// The file's name inside the configuration folder.
inline constexpr const char* FileName = "network-ports";
// At most this many entries are kept.
inline constexpr size_t MaxEntries = 64;

// A missing or unreadable file (a FIFO or device in its place) gives an empty list.
std::vector<std::string> load(const std::string& path);
// 0, or the errno of the failure, whose reason outcome gets. Creates the folder when it is missing.
int save(const std::string& path, const std::vector<std::string>& addresses, FileRoom::Outcome* outcome = nullptr);
// The address as it will be stored, or empty when it is not a valid network port name.
std::string normalise(const std::string& address);

} // namespace NetworkPorts
