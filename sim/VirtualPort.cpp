#include "sim/VirtualPort.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <vector>

#include "base/ErrnoText.h"

namespace sim {

namespace {

// mkdir -p with mode 0700 for each folder it creates.
void makeFolders(const std::string& path)
{
    std::vector<std::string> prefixes;
    for (size_t at = path.find('/', 1); at != std::string::npos; at = path.find('/', at + 1))
        prefixes.push_back(path.substr(0, at));
    prefixes.push_back(path);
    for (const std::string& p : prefixes) {
        if (p.empty())
            continue;
        if (::mkdir(p.c_str(), 0700) != 0 && errno != EEXIST)
            throw PortError("cannot create the folder " + p + ": " + ErrnoText(errno));
    }
}

std::string readAll(int fd)
{
    std::string text;
    char buf[256];
    off_t offset = 0;
    for (;;) {
        const ssize_t n = ::pread(fd, buf, sizeof buf, offset);
        if (n <= 0)
            return text;
        text.append(buf, static_cast<size_t>(n));
        offset += n;
        if (text.size() > 4096)
            return text;
    }
}

std::string readLink(const std::string& path)
{
    char buf[4096];
    const ssize_t n = ::readlink(path.c_str(), buf, sizeof buf - 1);
    if (n < 0)
        return {};
    return std::string(buf, static_cast<size_t>(n));
}

} // namespace

std::string virtualPortFolder()
{
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (runtime && *runtime)
        return std::string(runtime) + "/kadrel/ports";
    return "/tmp/kadrel-" + std::to_string(::getuid()) + "/ports";
}

// Why a folder that other users could have prepared is refused, and what to do about it.
static std::string refusalText(const FolderCheck& check)
{
    std::string why;
    switch (check.fault) {
    case FolderFault::Symlink: why = check.path + " is a symbolic link"; break;
    case FolderFault::NotFolder: why = check.path + " is not a folder"; break;
    case FolderFault::OtherOwner: why = check.path + " belongs to another user (uid " + std::to_string(check.uid) + ")"; break;
    case FolderFault::OpenToOthers: why = check.path + " is writable by other users"; break;
    default: why = "cannot open " + check.path + ": " + ErrnoText(check.error); break;
    }
    return "refusing the virtual-port folder: " + why +
           "; another user could see and answer the program's frames there. Remove it, or set XDG_RUNTIME_DIR";
}

VirtualPort::VirtualPort(const std::string& folder, const std::string& name)
    : VirtualPort(folder, name, PrivateFolder::withoutTrailingSlash(folder) == PrivateFolder::sharedFallback())
{
}

VirtualPort::VirtualPort(const std::string& folder, const std::string& name, bool privateOnly)
    : folder_(folder), name_(name), link_(folder + "/" + name), lockPath_(folder + "/." + name + ".lock")
{
    makeFolders(folder_);
    if (privateOnly) {
        FolderCheck check;
        if (!PrivateFolder::open(folder_, check).valid())
            throw PortError(refusalText(check));
    }
    struct stat st {};
    if (::lstat(folder_.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
        throw PortError("the virtual-port folder " + folder_ + " is not a folder");
    if (st.st_uid != ::geteuid())
        throw PortError("the virtual-port folder " + folder_ + " belongs to another user");
    takeLock();
    openPty();
    publish();
}

VirtualPort::~VirtualPort()
{
    unpublish();
    if (lock_.valid())
        ::unlink(lockPath_.c_str());  // still held, so nobody can take the name in between
}

void VirtualPort::takeLock()
{
    // The lock file may be removed by a simulator ending just now: a lock on a file that is no
    // longer at the path proves nothing, so check the inode and try again.
    for (int attempt = 0; attempt < 5; ++attempt) {
        UniqueFd fd(::open(lockPath_.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600));
        if (!fd.valid())
            throw PortError("cannot open the lock file " + lockPath_ + ": " + ErrnoText(errno));
        if (::flock(fd.get(), LOCK_EX | LOCK_NB) != 0) {
            if (errno != EWOULDBLOCK)
                throw PortError("cannot lock " + lockPath_ + ": " + ErrnoText(errno));
            const std::string held = readAll(fd.get());
            const std::string pid = held.substr(0, held.find('\n'));
            throw PortError("the port name " + name_ + " is already in use by another running kadrel-sim" +
                            (pid.empty() ? std::string() : " (pid " + pid + ")") + " at " + link_ +
                            "; stop it or choose another --name");
        }
        struct stat held {}, named {};
        if (::fstat(fd.get(), &held) == 0 && ::stat(lockPath_.c_str(), &named) == 0 &&
            held.st_ino == named.st_ino && held.st_dev == named.st_dev) {
            const std::string previous = readAll(fd.get());
            const size_t nl = previous.find('\n');
            if (nl != std::string::npos)
                previousDevice_ = previous.substr(nl + 1, previous.find('\n', nl + 1) - nl - 1);
            lock_ = std::move(fd);
            return;
        }
    }
    throw PortError("cannot take the lock file " + lockPath_ + ": it keeps changing");
}

void VirtualPort::openPty()
{
    master_.reset(::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC));
    if (!master_.valid() || ::grantpt(master_.get()) != 0 || ::unlockpt(master_.get()) != 0)
        throw PortError("cannot open a pseudo-terminal: " + ErrnoText(errno));
    char name[128];
    if (::ptsname_r(master_.get(), name, sizeof name) != 0)
        throw PortError("cannot name the pseudo-terminal: " + ErrnoText(errno));
    device_ = name;
    slave_.reset(::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK));
    if (!slave_.valid())
        throw PortError("cannot open " + device_ + ": " + ErrnoText(errno));
    // Raw both ways: no echo of the PC's frames, no line editing, no CR/LF translation.
    termios t {};
    if (::tcgetattr(slave_.get(), &t) != 0)
        throw PortError("cannot read the settings of " + device_ + ": " + ErrnoText(errno));
    ::cfmakeraw(&t);
    t.c_cflag |= CLOCAL | CREAD;
    ::cfsetspeed(&t, B19200);
    if (::tcsetattr(slave_.get(), TCSANOW, &t) != 0)
        throw PortError("cannot set " + device_ + " to raw mode: " + ErrnoText(errno));
    const int flags = ::fcntl(master_.get(), F_GETFL);
    ::fcntl(master_.get(), F_SETFL, flags | O_NONBLOCK);

    // Watching starts after our own open, so only the program's descriptors are counted.
    watch_.reset(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
    if (!watch_.valid() || ::inotify_add_watch(watch_.get(), device_.c_str(), IN_OPEN | IN_CLOSE) < 0)
        throw PortError("cannot watch " + device_ + ": " + ErrnoText(errno));
}

void VirtualPort::handleOpenClose()
{
    alignas(inotify_event) char buf[4096];
    bool overflow = false;
    for (;;) {
        const ssize_t n = ::read(watch_.get(), buf, sizeof buf);
        if (n <= 0)
            break;
        for (ssize_t at = 0; at + static_cast<ssize_t>(sizeof(inotify_event)) <= n;) {
            const auto* e = reinterpret_cast<const inotify_event*>(buf + at);
            if (e->mask & IN_OPEN)
                ++openers_;
            if (e->mask & (IN_CLOSE_WRITE | IN_CLOSE_NOWRITE))
                --openers_;
            if (e->mask & IN_Q_OVERFLOW)
                overflow = true;
            at += static_cast<ssize_t>(sizeof(inotify_event) + e->len);
        }
    }
    if (overflow || openers_ < 0)
        openers_ = 0;
    if (openers_ == 0) {
        ::ioctl(slave_.get(), TIOCNXCL);
        ::tcflush(slave_.get(), TCIFLUSH);
    }
}

void VirtualPort::publish()
{
    struct stat st {};
    if (::lstat(link_.c_str(), &st) == 0) {
        if (!S_ISLNK(st.st_mode))
            throw PortError(link_ + " exists and is not a link; remove it or choose another --name");
        const std::string target = readLink(link_);
        struct stat targetSt {};
        const bool targetGone = ::stat(link_.c_str(), &targetSt) != 0;
        if (!targetGone && target != previousDevice_)
            throw PortError(link_ + " already points to " + target +
                            ", which no kadrel-sim holds; remove it or choose another --name");
        // A stale link of a simulator that ended without cleaning up: replaced below.
    } else if (errno != ENOENT) {
        throw PortError("cannot look at " + link_ + ": " + ErrnoText(errno));
    }

    const std::string temp = folder_ + "/." + name_ + ".new-" + std::to_string(::getpid());
    ::unlink(temp.c_str());
    if (::symlink(device_.c_str(), temp.c_str()) != 0)
        throw PortError("cannot create the link " + temp + ": " + ErrnoText(errno));
    // rename() replaces a stale link in one step, so the port never seems to vanish.
    if (::rename(temp.c_str(), link_.c_str()) != 0) {
        const int e = errno;
        ::unlink(temp.c_str());
        throw PortError("cannot publish the link " + link_ + ": " + ErrnoText(e));
    }
    published_ = true;
    const std::string record = std::to_string(::getpid()) + "\n" + device_ + "\n";
    if (::ftruncate(lock_.get(), 0) == 0)
        (void)!::pwrite(lock_.get(), record.data(), record.size(), 0);
}

void VirtualPort::unpublish()
{
    if (!published_)
        return;
    published_ = false;
    if (readLink(link_) == device_)
        ::unlink(link_.c_str());
}

} // namespace sim
