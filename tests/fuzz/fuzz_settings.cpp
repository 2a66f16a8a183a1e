// The settings loader on arbitrary files: the size refusal, the byte file, the tag and check
// byte tests and the reader. Whatever the reader accepts must survive being written again.
#include <cstdint>
#include <cstdlib>

#include "app/DataFile.h"
#include "app/SettingsFile.h"
#include "tests/fuzz/TaggedFileFuzz.h"

static const std::string& scratchPath()
{
    static const std::string path = fuzzScratchPath("settings");
    return path;
}

static void loadOnce(const uint8_t* data, size_t size);

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    fuzzTaggedFile(data, size, SettingsFile::Tag, loadOnce);
    return 0;
}

static void loadOnce(const uint8_t* data, size_t size)
{
    fuzzWriteFile(scratchPath(), data, size);
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
        return;
    }
    file.ReadBlock(buffer, size);
    file.Close();

    if (!checkTaggedImage(buffer, size, SettingsFile::Tag).ok())
        return;
    const auto values = SettingsFile::parse(buffer, size);
    if (!values)
        return;
    const ByteString again = SettingsFile::build(*values);
    const auto reread = SettingsFile::parse(reinterpret_cast<const uint8_t*>(again.data()), again.size());
    if (!reread || SettingsFile::build(*reread) != again)
        abort();
    if (!checkTaggedImage(reinterpret_cast<const uint8_t*>(again.data()), again.size(), SettingsFile::Tag).ok())
        abort();
}
