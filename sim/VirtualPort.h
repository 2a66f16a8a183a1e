#pragma once
// The simulator's end of the bus: a pseudo-terminal published as a symbolic link NAME ->
// /dev/pts/N in the virtual-port folder, where the program's device map lists it.
//
// A hidden lock file ".NAME.lock" beside the link, held with flock for the simulator's life,
// tells a live simulator from a stale link: a second simulator with the same name fails to
// take the lock and refuses to start. A link left by a simulator that died without cleaning
// up (its lock is free, and the link's target is gone or is the device it recorded) is
// replaced; a link that some other tool made is left alone and the start refused.
//
// The simulator keeps a descriptor of the slave side open, so the master never sees a
// hang-up while the program has the port closed. That also keeps the tty alive between the
// program's sessions, and with it the exclusive-use flag (TIOCEXCL) the program set: nobody
// but root could open the port again. So the simulator watches the device's opens and closes
// (inotify) and, when the last of the program's descriptors has closed, clears the flag and
// drops replies nobody read.
#include <stdexcept>
#include <string>

#include "base/PrivateFolder.h"
#include "base/UniqueFd.h"

namespace sim {

class PortError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// $XDG_RUNTIME_DIR/kadrel/ports, or /tmp/kadrel-<uid>/ports when XDG_RUNTIME_DIR is unset or empty.
std::string virtualPortFolder();

class VirtualPort {
public:
    // Creates the folder (mode 0700) if needed, takes the name and publishes the link.
    // Throws PortError with a message for the user. privateOnly: refuse a folder or parent
    // that is not the user's alone (PrivateFolder.h); by default so for the /tmp fallback.
    VirtualPort(const std::string& folder, const std::string& name);
    VirtualPort(const std::string& folder, const std::string& name, bool privateOnly);
    ~VirtualPort();
    VirtualPort(const VirtualPort&) = delete;
    VirtualPort& operator=(const VirtualPort&) = delete;

    int masterFd() const { return master_.get(); }
    int slaveFd() const { return slave_.get(); }
    const std::string& linkPath() const { return link_; }
    const std::string& devicePath() const { return device_; }
    // Removes the link if it still points to this simulator's device; the destructor calls it.
    void unpublish();

    // Readable when the program opened or closed the port; then call handleOpenClose.
    int watchFd() const { return watch_.get(); }
    void handleOpenClose();
    // Descriptors of the port the program holds (the simulator's own not counted).
    int openers() const { return openers_; }

private:
    void takeLock();
    void openPty();
    void publish();

    std::string folder_;
    std::string name_;
    std::string link_;
    std::string lockPath_;
    std::string device_;
    std::string previousDevice_;  // what the last holder of the lock recorded
    UniqueFd lock_;
    UniqueFd master_;
    UniqueFd slave_;
    UniqueFd watch_;
    int openers_ = 0;
    bool published_ = false;
};

} // namespace sim
