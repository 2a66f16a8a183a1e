#pragma once
// The one way the program opens a file of its own or the operator's (the settings and the
// files beside them, the bus monitor's saved log, the event log):
//   - without blocking: a FIFO would wait for a writer (or a reader) for ever, a device for
//     its carrier;
//   - only a regular file is kept: a folder, FIFO, socket or device is closed again at once;
//   - a symbolic link at the path is followed or refused, as the caller's policy says
//     (O_NOFOLLOW).
// The descriptor handed back blocks again, as plain file work expects.
#include <string>
#include <sys/stat.h>
#include <sys/types.h>

#include "base/UniqueFd.h"

namespace SafeOpen {

enum class Links { Follow, Refuse };

enum class Refusal {
    None,
    System,       // the open or fstat failed: error says why
    Link,         // a symbolic link stands at the path and the policy refuses it (ELOOP)
    Folder,       // a folder (EISDIR)
    NotRegular,   // a FIFO, socket or device (EINVAL)
};

struct Opened {
    UniqueFd fd;
    Refusal refusal = Refusal::None;
    int error = 0;
    struct stat st {};   // of the file opened, when ok()
    bool ok() const { return refusal == Refusal::None; }
    std::string reason() const;
};

// Polish, without the file: "Brak uprawnień (błąd 13)", "to nie jest zwykły plik" ...
std::string reasonOf(Refusal refusal, int error);

// flags: the access and creation flags (O_RDONLY, O_WRONLY | O_CREAT | O_TRUNC, O_APPEND ...);
// the open adds O_NONBLOCK, O_NOCTTY and O_CLOEXEC, and O_NOFOLLOW when links are refused.
Opened open(const std::string& path, int flags, Links links, mode_t mode = 0666);

} // namespace SafeOpen
