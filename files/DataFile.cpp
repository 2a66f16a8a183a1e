#include "files/DataFile.h"

#include <cerrno>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>

#include "files/FileRoom.h"
#include "base/ErrnoText.h"
#include "base/Exceptions.h"

namespace {

// The settings file and the firmware image: a link is followed, and the size is the caller's.
const FileRoom::Policy Policy{};

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
    int fd = -1;
    const FileRoom::Outcome opened = FileRoom::openForReading(path_, Policy, fd);
    if (!opened.ok())
        throw EInOutError(opened.message, opened.error);
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
    if (::close(fd) != 0) {
        const int error = errno;
        throw EInOutError("Nie można zamknąć pliku " + path_ + ": " + ErrnoText(error), error);
    }
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
    const FileRoom::Outcome written =
        FileRoom::replace(path, std::string_view(reinterpret_cast<const char*>(buffer), count), Policy);
    if (!written.ok())
        throw EInOutError(written.message, written.error);
}
