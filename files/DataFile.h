#pragma once
// The untyped byte file of the settings loader and the firmware loader, and the block write of
// the settings file. Open and close failures are EInOutError with the errno text.
#include <cstddef>
#include <cstdint>
#include <string>

class TDataFile {
public:
    TDataFile() = default;
    ~TDataFile();
    TDataFile(const TDataFile&) = delete;
    TDataFile& operator=(const TDataFile&) = delete;

    void Assign(const std::string& path);
    const std::string& Path() const { return path_; }
    bool Exists() const;
    // Opens for reading, one-byte records, through FileRoom::openForReading: only a regular
    // file, without waiting. EInOutError on failure.
    void Reset();
    bool IsOpen() const { return fd_ >= 0; }
    int64_t FileSize() const;     // of the open file
    void Close();                 // EInOutError on failure
    // Reads count bytes into buffer; a read error, end of file included, is swallowed.
    void ReadBlock(uint8_t* buffer, size_t count);

private:
    std::string path_;
    int fd_ = -1;
};

// Replaces the file at path with count bytes through FileRoom::replace (a link is followed), so a
// failure never destroys the file that was there. Creates the folder when missing. Any failure
// is EInOutError.
void WriteBlock(const std::string& path, const uint8_t* buffer, size_t count);
