#include "link/Frame.h"

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
