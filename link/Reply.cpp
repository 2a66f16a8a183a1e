#include "link/Reply.h"

#include "link/Frame.h"

void noteReception(LinkState& link, const ByteString& chunk)
{
    link.RxLastChar = '.';
    if (chunk.size() == 1)
        link.RxLastChar = chunk[0];
    link.RxBuffer += chunk;
}

AssembleReport assembleReply(LinkState& link, const DecodeFn& decode)
{
    AssembleReport report;
    ByteString& buf = link.RxBuffer;

    if (link.FrameStartFound == 0) {
        const size_t pos = buf.find(static_cast<char>(Frame::StartByte));
        if (pos == ByteString::npos) {
            report.outcome = AssembleOutcome::NoStartByte;
            report.leadingBytes = buf.size();
            buf.clear();
            return report;
        }
        link.FrameStart = pos + 1;
        link.FrameStartFound = 1;
    }

    const size_t start = link.FrameStart;   // 1-based
    if (buf.size() < start + 2)
        return report;                       // address and length not both there

    const uint8_t n = byteAt(buf, start + 1); // position FrameStart + 2, 1-based
    if (n > Frame::MaxReplyLength) {
        report.outcome = AssembleOutcome::TooLong;
        report.frame = buf.substr(start - 1);
        report.leadingBytes = start - 1;
        link.FrameStartFound = 0;
        buf.clear();
        return report;
    }

    link.FrameEnd = start + n + 3;
    if (buf.size() < link.FrameEnd)
        return report;

    const ByteString candidate = buf.substr(start - 1, n + 4);
    report.frame = candidate;
    report.leadingBytes = start - 1;
    report.trailingBytes = buf.size() - link.FrameEnd;
    if (Frame::checksum(candidate.substr(0, n + 3)) != byteAt(candidate, n + 3)) {
        report.outcome = AssembleOutcome::BadChecksum;
        buf.clear();
        link.FrameStart = 0;
        link.FrameStartFound = 0;
        return report;
    }

    link.RxPayload = candidate.substr(3, n);
    link.RxAddress = byteAt(candidate, 1);
    if (decode)
        decode(link.RxAddress, link.RxPayload);
    report.outcome = AssembleOutcome::Frame;
    buf.clear();
    link.FrameStart = 0;
    link.FrameStartFound = 0;
    return report;
}

uint32_t voltageFactor(int clock)
{
    return clock == 1 ? 1489u : 1418u;
}

std::string voltageText(uint32_t value)
{
    const std::string d = std::to_string(value);
    if (value < 10)
        return "0,0" + d + " V";
    if (value < 100)
        return "0," + d + " V";
    if (value < 1000)
        return d.substr(0, 1) + "," + d.substr(1, 2) + " V";
    return d.substr(0, 2) + "," + d.substr(2, 2) + " V";
}

std::optional<StatusDisplay> decodeStatus(LinkState& link, uint8_t address, const ByteString& data)
{
    if (data.size() < 4)
        return std::nullopt;

    StatusDisplay out;
    out.highlight = (address & 0x80) != 0;
    address &= 0x7F;
    link.NegativeTime = 0;
    if (address & 0x40) {
        link.NegativeTime = 1;
        address &= ~0x40;
    }
    const int clock = address;

    const uint8_t b1 = byteAt(data, 0);
    const uint8_t b2 = byteAt(data, 1);
    // Appended piece by piece: GCC 12 warns (-Wrestrict, falsely) on a string prepended to.
    std::string left = link.NegativeTime ? std::string("-") : std::to_string(b1 >> 4);
    left += std::to_string(b1 & 15);
    std::string right = std::to_string(b2 >> 4);
    right += std::to_string(b2 & 15);
    const uint32_t raw = static_cast<uint32_t>(byteAt(data, 2)) * 256u + byteAt(data, 3);

    if (clock < 1 || clock > 4)
        return std::nullopt;

    out.clock = clock;
    out.timeText = left + ":" + right;
    link.ReplySeen[clock] = 1;
    out.voltage = raw * voltageFactor(clock) / 1000u;
    out.voltageText = voltageText(out.voltage);
    out.voltageLow = !(out.voltage > 1000);
    return out;
}
