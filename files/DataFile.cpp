#include "files/DataFile.h"

#include <cerrno>
#include <cstdlib>
#include <random>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "link/ErrnoText.h"
#include "link/Exceptions.h"

namespace {

[[noreturn]] void raise(const std::string& what, const std::string& path, int error)
{
    throw EInOutError(what + " " + path + ": " + ErrnoText(error), error);
}

// Closes on every path out of WriteBlock unless released.
class FdOwner {
public:
    explicit FdOwner(int fd) : fd_(fd) {}
    ~FdOwner() { if (fd_ >= 0) ::close(fd_); }
    FdOwner(const FdOwner&) = delete;
    FdOwner& operator=(const FdOwner&) = delete;
    int get() const { return fd_; }
    int release() { const int f = fd_; fd_ = -1; return f; }

private:
    int fd_;
};

std::string folderOf(const std::string& path)
{
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

void makeFolders(const std::string& folder)
{
    struct stat st;
    if (::stat(folder.c_str(), &st) == 0) {
        if (!S_ISDIR(st.st_mode))
            raise("Nie można utworzyć folderu", folder, ENOTDIR);
        return;
    }
    const std::string parent = folderOf(folder);
    if (parent != folder)
        makeFolders(parent);
    if (::mkdir(folder.c_str(), 0755) != 0 && errno != EEXIST)
        raise("Nie można utworzyć folderu", folder, errno);
}

// The file a chain of symbolic links ends at (the path itself when it is no link), so that saving
// replaces the file the link names and keeps the link.
std::string followLinks(const std::string& path)
{
    std::string at = path;
    for (int hops = 0; hops < 40; ++hops) {
        struct stat st;
        if (::lstat(at.c_str(), &st) != 0 || !S_ISLNK(st.st_mode))
            return at;
        char buf[4096];
        const ssize_t n = ::readlink(at.c_str(), buf, sizeof buf - 1);
        if (n <= 0)
            raise("Nie można utworzyć pliku", path, n < 0 ? errno : ENOENT);
        const std::string target(buf, static_cast<size_t>(n));
        at = target[0] == '/' ? target : folderOf(at) + "/" + target;
    }
    raise("Nie można utworzyć pliku", path, ELOOP);
}

// A new temporary file beside target. Created with mode 0666, so the umask (or the folder's
// default ACL) decides its permissions as for any new file.
int createTemp(const std::string& target, std::string& name)
{
    static const char letters[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    std::random_device rng;
    for (int attempt = 0; attempt < 100; ++attempt) {
        name = target + ".";
        for (int i = 0; i < 6; ++i)
            name += letters[rng() % (sizeof letters - 1)];
        const int fd = ::open(name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
        if (fd >= 0 || errno != EEXIST)
            return fd;
    }
    errno = EEXIST;
    return -1;
}

} // namespace

TDataFile::~TDataFile()
{
    if (fd_ >= 0) ::close(fd_);
}

void TDataFile::Assign(const std::string& path)
{
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
    path_ = path;
}

bool TDataFile::Exists() const
{
    struct stat st;
    return !path_.empty() && ::stat(path_.c_str(), &st) == 0;
}

void TDataFile::Reset()
{
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
    // Without blocking: a FIFO would wait for a writer for ever, a device for its carrier.
    const int fd = ::open(path_.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        raise("Nie można otworzyć pliku", path_, errno);
    // A folder opens for reading too, but reads nothing; a FIFO, socket or device is no file
    // of ours to read. Only a regular file is taken.
    struct stat st;
    const int error = ::fstat(fd, &st) != 0 ? errno : S_ISDIR(st.st_mode) ? EISDIR : 0;
    if (error != 0) {
        ::close(fd);
        raise("Nie można otworzyć pliku", path_, error);
    }
    if (!S_ISREG(st.st_mode)) {
        ::close(fd);
        throw EInOutError("Nie można otworzyć pliku " + path_ + ": to nie jest zwykły plik", EINVAL);
    }
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    fd_ = fd;
}

int64_t TDataFile::FileSize() const
{
    struct stat st;
    if (fd_ < 0 || ::fstat(fd_, &st) != 0)
        return -1;
    return st.st_size;
}

void TDataFile::Close()
{
    if (fd_ < 0)
        return;
    const int fd = fd_;
    fd_ = -1;
    if (::close(fd) != 0)
        raise("Nie można zamknąć pliku", path_, errno);
}

void TDataFile::ReadBlock(uint8_t* buffer, size_t count)
{
    size_t done = 0;
    while (done < count) {
        const ssize_t n = ::read(fd_, buffer + done, count - done);
        if (n > 0) {
            done += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        return;  // end of file or a read error: the rest of the buffer keeps what it held
    }
}

void WriteBlock(const std::string& path, const uint8_t* buffer, size_t count)
{
    const std::string target = followLinks(path);
    const std::string folder = folderOf(target);
    makeFolders(folder);

    std::string temp;
    FdOwner fd(createTemp(target, temp));
    // The operator knows the file, not the temporary name beside it.
    if (fd.get() < 0)
        raise("Nie można zapisać pliku", path, errno);
    // From here on the temporary file must not outlive a failure.
    struct TempGuard {
        const std::string& name;
        bool keep = false;
        ~TempGuard() { if (!keep) ::unlink(name.c_str()); }
    } guard{temp};

    // Keep the old file's permissions; a new file keeps those the umask gave it.
    struct stat old;
    if (::lstat(target.c_str(), &old) == 0 && S_ISREG(old.st_mode))
        ::fchmod(fd.get(), old.st_mode & 07777);

    size_t done = 0;
    while (done < count) {
        const ssize_t n = ::write(fd.get(), buffer + done, count - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            raise("Nie można zapisać pliku", path, errno);
        }
        if (n == 0)
            raise("Nie można zapisać pliku", path, ENOSPC);
        done += static_cast<size_t>(n);
    }
    if (::fsync(fd.get()) != 0)
        raise("Nie można zapisać pliku", path, errno);
    if (::close(fd.release()) != 0)
        raise("Nie można zamknąć pliku", path, errno);
    if (::rename(temp.c_str(), target.c_str()) != 0)
        raise("Nie można zapisać pliku", path, errno);
    guard.keep = true;

    // Make the rename itself durable; a failure here leaves a complete file either way.
    const int dir = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
        ::fsync(dir);
        ::close(dir);
    }
}
