#include "base/SafeOpen.h"

#include <cerrno>
#include <fcntl.h>

#include "base/ErrnoText.h"

namespace SafeOpen {

namespace {

Opened refused(Refusal refusal, int error)
{
    Opened o;
    o.refusal = refusal;
    o.error = error;
    return o;
}

bool isLink(const std::string& path)
{
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
}

} // namespace

std::string reasonOf(Refusal refusal, int error)
{
    switch (refusal) {
    case Refusal::None: return {};
    case Refusal::Link: return "to dowiązanie symboliczne, a nie plik";
    case Refusal::NotRegular: return "to nie jest zwykły plik";
    case Refusal::Folder:
    case Refusal::System: break;
    }
    return ErrnoText(error);
}

std::string Opened::reason() const
{
    return reasonOf(refusal, error);
}

Opened open(const std::string& path, int flags, Links links, mode_t mode)
{
    flags |= O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
    if (links == Links::Refuse)
        flags |= O_NOFOLLOW;
    UniqueFd fd(::open(path.c_str(), flags, mode));
    if (!fd.valid()) {
        const int error = errno;
        // ELOOP also comes from a loop further up the path: only a link at the end is refused.
        if (error == ELOOP && links == Links::Refuse && isLink(path))
            return refused(Refusal::Link, ELOOP);
        if (error == EISDIR)
            return refused(Refusal::Folder, EISDIR);
        return refused(Refusal::System, error);
    }
    Opened o;
    if (::fstat(fd.get(), &o.st) != 0)
        return refused(Refusal::System, errno);
    // A folder opens for reading too, but reads nothing.
    if (S_ISDIR(o.st.st_mode))
        return refused(Refusal::Folder, EISDIR);
    if (!S_ISREG(o.st.st_mode))
        return refused(Refusal::NotRegular, EINVAL);
    ::fcntl(fd.get(), F_SETFL, ::fcntl(fd.get(), F_GETFL) & ~O_NONBLOCK);
    o.fd = std::move(fd);
    return o;
}

} // namespace SafeOpen
