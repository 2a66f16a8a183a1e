#pragma once
// Byte strings: counted 8-bit strings. std::string holds any byte, NUL included,
// and doubles as the buffer of a frame.
#include <cstdint>
#include <string>

using ByteString = std::string;

inline uint8_t byteAt(const ByteString& s, size_t i) { return static_cast<uint8_t>(s[i]); }

// "5A 01 04" style rendering, for logs and test messages.
std::string toHex(const ByteString& bytes);
// "5A0104": the same without the spaces, for machine-read lines.
std::string toHexCompact(const ByteString& bytes);
// Inverse of toHex; spaces are optional. Throws std::invalid_argument on bad text.
ByteString fromHex(const std::string& text);
// One byte as two upper-case hex digits: "5A".
std::string hexByte(uint8_t b);
// A BCD byte as its two digits ("05", "30"); a nibble above 9 shows as its hex digit.
inline std::string bcdDigits(uint8_t b) { return hexByte(b); }
// 0..99 (taken modulo 100) as BCD, and back: tens nibble * 10 + units nibble, as they are.
uint8_t toBcd(int value);
int fromBcd(uint8_t bcd);
