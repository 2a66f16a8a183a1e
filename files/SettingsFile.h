#pragma once
// The settings image and the checks of a tagged file, without widgets.
//
// Image layout: "zcf", the port selector's index (0xFF for none), four length-prefixed clock
// names in Windows-1250, then per clock the active, count-down and display-off bytes, the four
// brightness positions, a mode byte (0x10 << (clock - 1) set for a real-time clock), the
// auto-connect byte, and an XOR of every byte before it. Names are UTF-8 on this side and
// converted at this boundary only.
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "base/Bytes.h"

namespace SettingsFile {

constexpr char Tag[] = "zcf";
constexpr size_t MaxNameBytes = 255;       // one length byte
constexpr size_t FlagBytes = 19;           // active..auto-connect and the check byte
constexpr size_t MinFileSize = 2;          // smaller files are refused before loading
constexpr size_t MaxFileSize = 8192;       // the image buffer

struct Clock {
    std::string name;         // UTF-8
    bool active = true;
    bool countDown = true;
    bool displayOff = false;
    uint8_t brightness = 3;   // as stored; the window keeps the track bar within 0..3
    bool rtc = false;
};

struct Values {
    int portIndex = 0;        // -1: nothing selected
    std::array<Clock, 4> clocks{};  // clocks 1..4 at 0..3
    bool autoConnect = false;
};

// The whole image, check byte included. Names longer than 255 bytes once encoded are cut at a
// character boundary so the length byte stays true.
ByteString build(const Values& values);

// Reads an image that has passed the tag and check-byte tests. Empty when the image is shorter
// than the fields its name lengths declare: such a file is damaged and nothing of it is used.
std::optional<Values> parse(const uint8_t* image, size_t size);

// Windows-1250 <-> UTF-8 through iconv. A character the other side cannot hold becomes "?".
std::string toCp1250(const std::string& utf8);
std::string fromCp1250(const std::string& cp1250);
// Whether every character of the text has a Windows-1250 byte.
bool fitsCp1250(const std::string& utf8);

} // namespace SettingsFile

// The two tests that every tagged file (settings "zcf", firmware "zfr") must pass.
struct TaggedCheck {
    bool tagOk = false;
    bool checkByteOk = false;
    bool ok() const { return tagOk && checkByteOk; }
};

// XOR of bytes [0, size - 1) against the last byte, and the first three bytes against tag.
// The buffer must hold at least max(size, 3) bytes; size must be at least 2.
TaggedCheck checkTaggedImage(const uint8_t* buffer, size_t size, const char* tag);

uint8_t xorBytes(const uint8_t* data, size_t count);

// Polish text of the refusal for a file whose size lies outside [minSize, maxSize], or empty.
// what: "Plik konfiguracji", "Plik firmware".
std::string sizeRefusal(int64_t size, int64_t minSize, int64_t maxSize, const std::string& what);
