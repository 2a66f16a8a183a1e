#pragma once
// The virtual-port folder under /tmp is in a place every local user can write to. Another user
// could make /tmp/kadrel-<uid> (or a link by that name) before us and fill it with links to a
// pty of theirs: we would list it first and connect to it. So such a folder, and its parent, are
// used only when both are ours, not writable by anyone else and not symbolic links; the checks
// are made on opened descriptors, and nobody else can rename or replace a folder of ours in
// the sticky /tmp afterwards.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "base/UniqueFd.h"

enum class FolderFault {
    None,            // the folder is usable (or missing: nothing to list, nothing refused)
    Missing,
    Symlink,         // the folder or its parent is a symbolic link
    NotFolder,
    OtherOwner,      // owned by another user
    OpenToOthers,    // group or others may write to it
    Unreadable,
};

struct FolderCheck {
    FolderFault fault = FolderFault::None;
    std::string path;         // the folder that failed the check (the folder or its parent)
    unsigned uid = 0;         // its owner, for OtherOwner
    int error = 0;            // errno, for Unreadable
    bool ok() const { return fault == FolderFault::None; }
};

namespace PrivateFolder {

// "/tmp/kadrel-<uid>/ports": the virtual-port folder when XDG_RUNTIME_DIR is unset.
inline std::string sharedFallback()
{
    return "/tmp/kadrel-" + std::to_string(::getuid()) + "/ports";
}

inline std::string withoutTrailingSlash(std::string path)
{
    while (path.size() > 1 && path.back() == '/')
        path.pop_back();
    return path;
}

inline std::string parentOf(const std::string& path)
{
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

// Checks one opened folder; fills check on a fault.
inline bool judge(int fd, const std::string& path, FolderCheck& check)
{
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        check.fault = FolderFault::Unreadable;
        check.error = errno;
    } else if (!S_ISDIR(st.st_mode)) {
        check.fault = FolderFault::NotFolder;
    } else if (st.st_uid != ::geteuid()) {
        check.fault = FolderFault::OtherOwner;
        check.uid = st.st_uid;
    } else if (st.st_mode & (S_IWGRP | S_IWOTH)) {
        check.fault = FolderFault::OpenToOthers;
    } else {
        return true;
    }
    check.path = path;
    return false;
}

inline bool fail(FolderCheck& check, const std::string& path, int error)
{
    check.path = path;
    check.error = error;
    // O_NOFOLLOW with O_DIRECTORY on a link gives ELOOP or ENOTDIR; which of the two it was is
    // looked up only to word the refusal.
    struct stat st {};
    if ((error == ELOOP || error == ENOTDIR) && ::lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode))
        check.fault = FolderFault::Symlink;
    else
        check.fault = error == ENOTDIR ? FolderFault::NotFolder
                      : error == ENOENT ? FolderFault::Missing
                                        : FolderFault::Unreadable;
    return false;
}

// Opens folder after checking it and its parent; an invalid descriptor and the fault in check
// otherwise. A missing folder is fault Missing.
inline UniqueFd open(const std::string& path, FolderCheck& check)
{
    check = FolderCheck();
    const std::string folder = withoutTrailingSlash(path);
    const std::string parent = parentOf(folder);
    const std::string leaf = folder.substr(folder.rfind('/') == std::string::npos ? 0 : folder.rfind('/') + 1);
    UniqueFd up(::open(parent.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!up.valid()) {
        fail(check, parent, errno);
        return {};
    }
    if (!judge(up.get(), parent, check))
        return {};
    UniqueFd fd(::openat(up.get(), leaf.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!fd.valid()) {
        fail(check, folder, errno);
        return {};
    }
    if (!judge(fd.get(), folder, check))
        return {};
    return fd;
}

} // namespace PrivateFolder
