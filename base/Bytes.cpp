#include "base/Bytes.h"

#include <stdexcept>

namespace {

constexpr char Digits[] = "0123456789ABCDEF";

void appendByte(std::string& out, uint8_t b)
{
    out += Digits[b >> 4];
    out += Digits[b & 15];
}

} // namespace

std::string toHex(const ByteString& bytes)
{
    std::string out;
    out.reserve(bytes.size() * 3);
    for (size_t i = 0; i < bytes.size(); ++i) {
        if (i)
            out += ' ';
        appendByte(out, byteAt(bytes, i));
    }
    return out;
}

std::string toHexCompact(const ByteString& bytes)
{
    std::string out;
    out.reserve(bytes.size() * 2);
    for (unsigned char b : bytes)
        appendByte(out, b);
    return out;
}

std::string hexByte(uint8_t b)
{
    std::string out;
    appendByte(out, b);
    return out;
}

ByteString fromHex(const std::string& text)
{
    ByteString out;
    int high = -1;
    for (char c : text) {
        int v;
        if (c >= '0' && c <= '9') v = c - '0';
        else if (c >= 'a' && c <= 'f') v = c - 'a' + 10;
        else if (c >= 'A' && c <= 'F') v = c - 'A' + 10;
        else if (c == ' ') { if (high >= 0) throw std::invalid_argument("odd hex digit"); continue; }
        else throw std::invalid_argument("not a hex digit");
        if (high < 0) high = v;
        else { out += static_cast<char>(high * 16 + v); high = -1; }
    }
    if (high >= 0)
        throw std::invalid_argument("odd hex digit");
    return out;
}

uint8_t toBcd(int value)
{
    value %= 100;
    return static_cast<uint8_t>((value / 10) << 4 | (value % 10));
}

int fromBcd(uint8_t bcd)
{
    return (bcd >> 4) * 10 + (bcd & 0x0F);
}
