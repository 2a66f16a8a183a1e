#pragma once
// ClockFrame codec: "Z", address byte, length N, N data bytes, and the sum of all bytes
// before the checksum modulo 256 (no seed, no complement). Nothing is escaped.
#include <cstdint>

#include "base/Bytes.h"
#include "link/LinkState.h"

namespace Frame {

constexpr uint8_t StartByte = 0x5A;       // "Z"
constexpr uint8_t AllClocks = 0x00;
constexpr uint8_t BroadcastAddress = 0xFF;
constexpr uint8_t BootBlockAddress = 101;
constexpr uint8_t BootEndAddress = 102;
constexpr uint8_t MaxReplyLength = 11;
constexpr uint8_t CmdStart = 0x01;
constexpr uint8_t CmdStop = 0x02;
constexpr uint8_t CmdSet = 0x03;
constexpr uint8_t CmdBoot = 0x04;
constexpr uint8_t BootAck = '!';
constexpr uint8_t BootEnd = 'K';

uint8_t checksum(const ByteString& bytes);
// The whole frame for an address byte as transmitted (after any mode offset).
ByteString build(uint8_t address, const ByteString& data);
// Address byte of clock n while it runs as a real-time clock: n + 16 * n.
constexpr uint8_t rtcAddress(int clock) { return static_cast<uint8_t>(clock * 17); }
// Time broadcast frame from "hh:mm:ss" (characters 1,2,4,5,7,8 are taken, separators skipped).
ByteString broadcast(const std::string& timeOfDay);

} // namespace Frame

// Reply accounting and mode offset of SendFrame, step 1: for addresses 1..4 notes whether the
// clock answered since the previous frame to it, clears its ReplySeen and applies the RTC offset.
struct FrameAccounting {
    int clock = 0;          // 1..4, or 0 when the address skips accounting
    bool missed = false;    // no reply decoded since the last frame to that clock
    uint8_t address = 0;    // the address byte to transmit
};
FrameAccounting accountFrame(LinkState& link, uint8_t address);
