// The settings loader on arbitrary files: the size refusal, the byte file, the tag and check
// byte tests and the reader. Whatever the reader accepts must survive being written again.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <fcntl.h>
#include <unistd.h>

#include "app/DataFile.h"
#include "app/SettingsFile.h"

static std::string scratchPath()
{
    static const std::string path =
        (access("/dev/shm", W_OK) == 0 ? std::string("/dev/shm") : std::string("/tmp")) +
        "/kadrel-fuzz-settings-" + std::to_string(getpid()) + ".cf";
    return path;
}

static void writeInput(const uint8_t* data, size_t size)
{
    const int fd = ::open(scratchPath().c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0 || (size && ::write(fd, data, size) != static_cast<ssize_t>(size)))
        abort();
    ::close(fd);
}

static int loadOnce(const uint8_t* data, size_t size);

// Each input is tried as it is, and once more with the tag and the check byte made right, so
// the reader behind the two tests sees arbitrary sizes and bytes too.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    loadOnce(data, size);
    if (size >= 4 && size <= 8192) {
        static uint8_t fixed[8192];
        std::copy(data, data + size, fixed);
        std::copy(SettingsFile::Tag, SettingsFile::Tag + 3, fixed);
        uint8_t x = 0;
        for (size_t i = 0; i + 1 < size; ++i)
            x ^= fixed[i];
        fixed[size - 1] = x;
        loadOnce(fixed, size);
    }
    return 0;
}

static int loadOnce(const uint8_t* data, size_t size)
{
    writeInput(data, size);
    static uint8_t buffer[SettingsFile::MaxFileSize];

    TDataFile file;
    file.Assign(scratchPath());
    file.Reset();
    const int64_t length = file.FileSize();
    if (length != static_cast<int64_t>(size))
        abort();
    const bool refused = !sizeRefusal(length, SettingsFile::MinFileSize, SettingsFile::MaxFileSize,
                                      "Plik konfiguracji").empty();
    if (refused != (size < SettingsFile::MinFileSize || size > SettingsFile::MaxFileSize))
        abort();
    if (refused) {
        file.Close();
        return 0;
    }
    file.ReadBlock(buffer, size);
    file.Close();

    if (!checkTaggedImage(buffer, size, SettingsFile::Tag).ok())
        return 0;
    const auto values = SettingsFile::parse(buffer, size);
    if (!values)
        return 0;
    const ByteString again = SettingsFile::build(*values);
    const auto reread = SettingsFile::parse(reinterpret_cast<const uint8_t*>(again.data()), again.size());
    if (!reread || SettingsFile::build(*reread) != again)
        abort();
    if (!checkTaggedImage(reinterpret_cast<const uint8_t*>(again.data()), again.size(), SettingsFile::Tag).ok())
        abort();
    return 0;
}
