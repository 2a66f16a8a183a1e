#pragma once
// Shared harness of the two file-loader targets: the input goes to a scratch file that the
// loader under test opens like any other, and is tried as it is and once more with the tag and
// the check byte made right, so the reader behind the two tests sees arbitrary bytes too.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>

// tools/fuzz.sh hands a folder of its own that it removes when the run ends, however it ends.
inline std::string fuzzScratchPath(const char* name)
{
    const char* given = getenv("KADREL_FUZZ_SCRATCH");
    const std::string folder = given && *given ? given : access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
    return folder + "/kadrel-fuzz-" + name + "-" + std::to_string(getpid());
}

inline void fuzzWriteFile(const std::string& path, const uint8_t* data, size_t size)
{
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0 || (size && ::write(fd, data, size) != static_cast<ssize_t>(size)))
        abort();
    ::close(fd);
}

template <typename Load>
void fuzzTaggedFile(const uint8_t* data, size_t size, const char* tag, Load load)
{
    load(data, size);
    if (size >= 4 && size <= 8192) {
        static uint8_t fixed[8192];
        std::copy(data, data + size, fixed);
        std::copy(tag, tag + 3, fixed);
        uint8_t x = 0;
        for (size_t i = 0; i + 1 < size; ++i)
            x ^= fixed[i];
        fixed[size - 1] = x;
        load(fixed, size);
    }
}
