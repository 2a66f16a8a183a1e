#include "link/Frame.h"

#include <stdexcept>

#include "link/Exceptions.h"

std::string toHex(const ByteString& bytes)
{
    static const char digits[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(bytes.size() * 3);
    for (size_t i = 0; i < bytes.size(); ++i) {
        if (i)
            out += ' ';
        const uint8_t b = byteAt(bytes, i);
        out += digits[b >> 4];
        out += digits[b & 15];
    }
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

int StrToInt(const std::string& text)
{
    size_t i = 0;
    bool negative = false;
    if (i < text.size() && (text[i] == '-' || text[i] == '+'))
        negative = text[i++] == '-';
    if (i == text.size())
        throw EConvertError("'" + text + "' is not a valid integer value");
    long long value = 0;
    for (; i < text.size(); ++i) {
        if (text[i] < '0' || text[i] > '9')
            throw EConvertError("'" + text + "' is not a valid integer value");
        value = value * 10 + (text[i] - '0');
        if (value > 2147483648LL)
            throw EConvertError("'" + text + "' is not a valid integer value");
    }
    value = negative ? -value : value;
    if (value > 2147483647LL)
        throw EConvertError("'" + text + "' is not a valid integer value");
    return static_cast<int>(value);
}

namespace Frame {

uint8_t checksum(const ByteString& bytes)
{
    unsigned sum = 0;
    for (unsigned char b : bytes)
        sum += b;
    return static_cast<uint8_t>(sum);
}

ByteString build(uint8_t address, const ByteString& data)
{
    ByteString frame;
    frame.reserve(data.size() + 4);
    frame += static_cast<char>(StartByte);
    frame += static_cast<char>(address);
    frame += static_cast<char>(data.size());
    frame += data;
    frame += static_cast<char>(checksum(frame));
    return frame;
}

ByteString broadcast(const std::string& timeOfDay)
{
    ByteString digits;
    for (size_t pos : {0u, 1u, 3u, 4u, 6u, 7u})
        digits += pos < timeOfDay.size() ? timeOfDay[pos] : '0';
    return build(BroadcastAddress, digits);
}

} // namespace Frame

FrameAccounting accountFrame(LinkState& link, uint8_t address)
{
    FrameAccounting result;
    result.address = address;
    if (address >= 1 && address <= 4) {
        const int n = address;
        result.clock = n;
        result.missed = link.ReplySeen[n] == 0;
        link.ReplySeen[n] = 0;
        if (link.RtcMode[n] == 1)
            result.address = Frame::rtcAddress(n);
    }
    return result;
}
