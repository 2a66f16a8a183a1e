#include "files/FileRoom.h"

#include <cerrno>
#include <fcntl.h>
#include <random>
#include <sys/stat.h>
#include <unistd.h>

#include <QScopeGuard>

#include "base/ErrnoText.h"
#include "base/SafeOpen.h"
#include "base/UniqueFd.h"

namespace FileRoom {

namespace {

// The safe open's words, so that reading and writing refuse alike.
const std::string NotRegular = SafeOpen::reasonOf(SafeOpen::Refusal::NotRegular, EINVAL);
const std::string IsLink = SafeOpen::reasonOf(SafeOpen::Refusal::Link, ELOOP);

Outcome failure(const char* what, const std::string& path, int error, std::string reason = {})
{
    Outcome o;
    o.error = error;
    o.reason = reason.empty() ? ErrnoText(error) : std::move(reason);
    o.message = std::string(what) + " " + path + ": " + o.reason;
    return o;
}

std::string folderOf(const std::string& path)
{
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

bool isLink(const std::string& path)
{
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
}

// The file a chain of symbolic links ends at (the path itself when it is no link), so that
// saving replaces the file the link names and keeps the link. Empty with errno on failure.
std::string followLinks(const std::string& path)
{
    std::string at = path;
    for (int hops = 0; hops < 40; ++hops) {
        if (!isLink(at))
            return at;
        char buf[4096];
        const ssize_t n = ::readlink(at.c_str(), buf, sizeof buf - 1);
        if (n <= 0) {
            errno = n < 0 ? errno : ENOENT;
            return {};
        }
        const std::string target(buf, static_cast<size_t>(n));
        at = target[0] == '/' ? target : folderOf(at) + "/" + target;
    }
    errno = ELOOP;
    return {};
}

// A new temporary file beside target, created with mode so that the umask (or the folder's
// default ACL) decides its permissions as for any new file.
int createTemp(const std::string& target, mode_t mode, std::string& name)
{
    static const char letters[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    std::random_device rng;
    for (int attempt = 0; attempt < 100; ++attempt) {
        name = target + ".";
        for (int i = 0; i < 6; ++i)
            name += letters[rng() % (sizeof letters - 1)];
        const int fd = ::open(name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
        if (fd >= 0 || errno != EEXIST)
            return fd;
    }
    errno = EEXIST;
    return -1;
}

ssize_t writeSome(int fd, const char* data, size_t count)
{
    const WriteCall& hook = writeHook();
    return hook ? hook(fd, data, count) : ::write(fd, data, count);
}

} // namespace

WriteCall& writeHook()
{
    static WriteCall hook;
    return hook;
}

Outcome openForReading(const std::string& path, const Policy& policy, int& fd)
{
    fd = -1;
    SafeOpen::Opened file = SafeOpen::open(
        path, O_RDONLY, policy.links == Links::Refuse ? SafeOpen::Links::Refuse : SafeOpen::Links::Follow);
    if (!file.ok())
        return failure("Nie można otworzyć pliku", path, file.error, file.reason());
    fd = file.fd.release();
    return {};
}

Outcome read(const std::string& path, const Policy& policy, std::string& bytes)
{
    bytes.clear();
    int raw = -1;
    Outcome opened = openForReading(path, policy, raw);
    if (!opened.ok())
        return opened;
    UniqueFd file(raw);
    struct stat st;
    const bool over = ::fstat(file.get(), &st) == 0 && static_cast<unsigned long long>(st.st_size) > policy.maxBytes;
    if (over && policy.oversize == Oversize::Refuse)
        return failure("Nie można otworzyć pliku", path, EFBIG,
                       "plik jest za duży (" + std::to_string(st.st_size) + " B, dozwolone do "
                           + std::to_string(policy.maxBytes) + " B)");
    // One byte past the cap tells a file that grew since fstat.
    bytes.resize(policy.maxBytes + 1);
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::read(file.get(), bytes.data() + done, bytes.size() - done);
        if (n > 0) {
            done += static_cast<size_t>(n);
        } else if (n == 0) {
            break;
        } else if (errno != EINTR) {
            const int error = errno;
            bytes.clear();
            return failure("Nie można odczytać pliku", path, error);
        }
    }
    bytes.resize(done);
    if (done > policy.maxBytes) {
        if (policy.oversize == Oversize::Refuse) {
            bytes.clear();
            return failure("Nie można otworzyć pliku", path, EFBIG,
                           "plik jest za duży (dozwolone do " + std::to_string(policy.maxBytes) + " B)");
        }
        // A line cut at the cap could read as another valid line: it goes with the rest.
        bytes.resize(policy.maxBytes);
        const size_t lastEnd = bytes.rfind('\n');
        bytes.resize(lastEnd == std::string::npos ? 0 : lastEnd + 1);
    }
    return {};
}

Outcome makeFolder(const std::string& folder)
{
    struct stat st;
    if (::stat(folder.c_str(), &st) == 0) {
        if (!S_ISDIR(st.st_mode))
            return failure("Nie można utworzyć folderu", folder, ENOTDIR);
        return {};
    }
    const std::string parent = folderOf(folder);
    if (parent != folder) {
        Outcome up = makeFolder(parent);
        if (!up.ok())
            return up;
    }
    if (::mkdir(folder.c_str(), 0777) != 0 && errno != EEXIST)
        return failure("Nie można utworzyć folderu", folder, errno);
    return {};
}

Outcome replace(const std::string& path, std::string_view bytes, const Policy& policy)
{
    const char what[] = "Nie można zapisać pliku";
    if (policy.links == Links::Refuse && isLink(path))
        return failure(what, path, ELOOP, IsLink);
    const std::string target = followLinks(path);
    if (target.empty())
        return failure(what, path, errno);

    // Only a regular file is replaced: a folder, FIFO or device in its place is not ours.
    struct stat old;
    const bool existing = ::lstat(target.c_str(), &old) == 0;
    if (existing && S_ISDIR(old.st_mode))
        return failure(what, path, EISDIR);
    if (existing && !S_ISREG(old.st_mode))
        return failure(what, path, EINVAL, NotRegular);
    if (existing && policy.keepReadOnly && ::faccessat(AT_FDCWD, target.c_str(), W_OK, AT_EACCESS) != 0)
        return failure(what, path, errno);

    const std::string folder = folderOf(target);
    Outcome made = makeFolder(folder);
    if (!made.ok()) {
        made.reason = "nie można utworzyć folderu " + folder + ": " + made.reason;
        return made;
    }

    std::string temp;
    UniqueFd fd(createTemp(target, policy.ownerOnly ? 0600 : 0666, temp));
    // The operator knows the file, not the temporary name beside it.
    if (fd.get() < 0)
        return failure(what, path, errno);
    // From here on the temporary file must not outlive a failure.
    auto removeTemp = qScopeGuard([&temp] { ::unlink(temp.c_str()); });

    // An old file keeps its permissions; a new one keeps those the umask gave it.
    if (policy.ownerOnly)
        ::fchmod(fd.get(), 0600);
    else if (existing)
        ::fchmod(fd.get(), old.st_mode & 07777);

    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = writeSome(fd.get(), bytes.data() + done, bytes.size() - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            return failure(what, path, errno);
        }
        if (n == 0)
            return failure(what, path, ENOSPC);
        done += static_cast<size_t>(n);
    }
    // On disk before the rename, or a crash could leave the new name on an empty file.
    if (::fsync(fd.get()) != 0)
        return failure(what, path, errno);
    if (::close(fd.release()) != 0)
        return failure("Nie można zamknąć pliku", path, errno);
    if (::rename(temp.c_str(), target.c_str()) != 0)
        return failure(what, path, errno);
    removeTemp.dismiss();

    // Make the rename itself durable; a failure here leaves a complete file either way.
    const int dir = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
        ::fsync(dir);
        ::close(dir);
    }
    return {};
}

Outcome remove(const std::string& path, const Policy& policy)
{
    const char what[] = "Nie można usunąć pliku";
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0)
        return errno == ENOENT ? Outcome{} : failure(what, path, errno);
    if (S_ISLNK(st.st_mode) && policy.links == Links::Refuse)
        return failure(what, path, ELOOP, IsLink);
    // A link to be followed goes itself; its file may be another program's.
    if (S_ISDIR(st.st_mode))
        return failure(what, path, EISDIR);
    if (!S_ISREG(st.st_mode) && !S_ISLNK(st.st_mode))
        return failure(what, path, EINVAL, NotRegular);
    if (::unlink(path.c_str()) != 0 && errno != ENOENT)
        return failure(what, path, errno);
    return {};
}

} // namespace FileRoom
