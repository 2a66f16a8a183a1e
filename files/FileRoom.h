#pragma once
// One way in and out for the program's own small files (the settings, the port identity, the
// network ports, the port options, the remote settings), each reading and writing with a policy
// of its own:
//   - reading opens without blocking (a FIFO would wait for a writer for ever) and takes only a
//     regular file, up to the file's size cap;
//   - writing puts the new content in a temporary file beside the target, flushes it to disk and
//     renames it over the target, so a failure at any point leaves the old file whole and no
//     temporary file behind; a missing folder is made;
//   - a new file is created 0666 and gets what the umask allows (0600 for an owner-only file);
//     an existing one keeps its mode;
//   - a failure names the file the caller gave and says why in Polish.
// Only files/ and link/ headers may be included here: serial/ and remote/ build on this.
#include <cstddef>
#include <functional>
#include <string>
#include <string_view>
#include <sys/types.h>

namespace FileRoom {

// A symbolic link standing at the file's path.
enum class Links {
    Follow,   // read the file it names; writing replaces that file and the link stays
    Refuse,   // not read, not written through, not removed
};

// A file larger than the cap.
enum class Oversize {
    Refuse,       // nothing of it is read
    WholeLines,   // a line-based file: the whole lines within the cap are read
};

struct Policy {
    Links links = Links::Follow;
    size_t maxBytes = 64 * 1024;
    Oversize oversize = Oversize::Refuse;
    // 0600 whatever the umask or the old file's mode: the file holds a secret.
    bool ownerOnly = false;
    // A file its owner made read-only is not replaced behind his back.
    bool keepReadOnly = false;
};

struct Outcome {
    int error = 0;          // errno (EINVAL for what is not a regular file, ELOOP for a refused link)
    std::string reason;     // Polish, without the file: "Brak uprawnień (błąd 13)"
    std::string message;    // "Nie można zapisać pliku PATH: " + reason
    bool ok() const { return error == 0; }
};

// The whole file into bytes (only its whole lines within the cap for WholeLines). A missing
// file is ENOENT; the caller decides whether that is a failure.
Outcome read(const std::string& path, const Policy& policy, std::string& bytes);
// Opens the file for a caller that reads it itself; fd is a blocking descriptor it then owns.
// The size cap is the caller's.
Outcome openForReading(const std::string& path, const Policy& policy, int& fd);
// Replaces the file with bytes, or leaves it as it was.
Outcome replace(const std::string& path, std::string_view bytes, const Policy& policy);
// Removes the file; a missing one is no failure.
Outcome remove(const std::string& path, const Policy& policy);
// Makes the folder and its parents when missing (0777, less the umask).
Outcome makeFolder(const std::string& folder);

// The system call that writes a new file's content; a test sets it to fail as a full disk
// would. Empty: write(2).
using WriteCall = std::function<ssize_t(int fd, const void* data, size_t count)>;
WriteCall& writeHook();

} // namespace FileRoom
