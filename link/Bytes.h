#pragma once
// Byte strings: counted 8-bit strings. std::string holds any byte, NUL included,
// and doubles as the buffer of a frame.
#include <cstdint>
#include <string>

using ByteString = std::string;

inline uint8_t byteAt(const ByteString& s, size_t i) { return static_cast<uint8_t>(s[i]); }

// "5A 01 04" style rendering, for logs and test messages.
std::string toHex(const ByteString& bytes);
// Inverse of toHex; spaces are optional. Throws std::invalid_argument on bad text.
ByteString fromHex(const std::string& text);
