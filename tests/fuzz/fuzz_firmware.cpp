// The firmware loader on arbitrary files: size refusal, tag and check byte, and the cutting of
// an accepted image into blocks, which must carry every payload byte once, in order, with
// consecutive counters and only 0xFF behind the last payload byte.
#include <cstdint>
#include <cstdlib>

#include "app/DataFile.h"
#include "app/SettingsFile.h"
#include "dialogs/FirmwareImage.h"
#include "tests/fuzz/TaggedFileFuzz.h"

static const std::string& scratchPath()
{
    static const std::string path = fuzzScratchPath("firmware");
    return path;
}

static void loadOnce(const uint8_t* data, size_t size);

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    fuzzTaggedFile(data, size, Firmware::Tag, loadOnce);
    return 0;
}

static void loadOnce(const uint8_t* data, size_t size)
{
    fuzzWriteFile(scratchPath(), data, size);
    static uint8_t buffer[Firmware::MaxFileSize];

    TDataFile file;
    file.Assign(scratchPath());
    file.Reset();
    const int64_t length = file.FileSize();
    const bool refused = !sizeRefusal(length, Firmware::MinFileSize, Firmware::MaxFileSize, "Plik firmware").empty();
    if (refused) {
        file.Close();
        return;
    }
    file.ReadBlock(buffer, size);
    file.Close();
    if (!checkTaggedImage(buffer, size, Firmware::Tag).ok())
        return;

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
}
