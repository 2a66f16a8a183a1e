// The firmware loader on arbitrary files: size refusal, tag and check byte, and the cutting of
// an accepted image into blocks, which must carry every payload byte once, in order, with
// consecutive counters and only 0xFF behind the last payload byte.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <fcntl.h>
#include <unistd.h>

#include "app/DataFile.h"
#include "app/SettingsFile.h"
#include "dialogs/FirmwareImage.h"

static std::string scratchPath()
{
    static const std::string path =
        (access("/dev/shm", W_OK) == 0 ? std::string("/dev/shm") : std::string("/tmp")) +
        "/kadrel-fuzz-firmware-" + std::to_string(getpid()) + ".zfr";
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
        std::copy(Firmware::Tag, Firmware::Tag + 3, fixed);
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
    static uint8_t buffer[Firmware::MaxFileSize];

    TDataFile file;
    file.Assign(scratchPath());
    file.Reset();
    const int64_t length = file.FileSize();
    const bool refused = !sizeRefusal(length, Firmware::MinFileSize, Firmware::MaxFileSize, "Plik firmware").empty();
    if (refused) {
        file.Close();
        return 0;
    }
    file.ReadBlock(buffer, size);
    file.Close();
    if (!checkTaggedImage(buffer, size, Firmware::Tag).ok())
        return 0;

    const uint32_t n = static_cast<uint32_t>(size);
    Firmware::BlockCutter cutter(buffer, n);
    ByteString payload;
    uint32_t blocks = 0;
    int lastGauge = -1;
    while (!cutter.lastBlock()) {
        const uint8_t expected = cutter.counter();
        const ByteString block = cutter.next();
        if (block.size() != 65 || byteAt(block, 0) != expected)
            abort();
        payload += block.substr(1);
        if (cutter.gauge() >= 100 || cutter.gauge() < lastGauge)
            abort();
        lastGauge = cutter.gauge();
        if (++blocks > Firmware::BlockCutter::blockCount(n))
            abort();
    }
    if (blocks != Firmware::BlockCutter::blockCount(n))
        abort();
    const ByteString body(reinterpret_cast<const char*>(buffer) + 3, n - 4);
    if (payload.compare(0, body.size(), body) != 0)
        abort();
    for (size_t i = body.size(); i < payload.size(); ++i)
        if (byteAt(payload, i) != 0xFF)
            abort();
    return 0;
}
