#pragma once
// Reply assembly and status decoding. Bytes arrive in chunks; the assembler takes at most one
// frame per reception from RxBuffer and empties the buffer after every resolved frame, valid
// or not. The decoder turns a status reply into what the clock's panel shows.
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "base/Bytes.h"
#include "link/LinkState.h"

enum class AssembleOutcome {
    Waiting,      // start byte found, frame not complete yet
    NoStartByte,  // no 0x5A in the buffer: all of it dropped
    TooLong,      // length byte above 11: buffer dropped
    BadChecksum,  // checksum mismatch: buffer dropped
    Frame,        // a valid frame was decoded
};

// What one assembler run did, for diagnostics; the link state holds the protocol's own view.
struct AssembleReport {
    AssembleOutcome outcome = AssembleOutcome::Waiting;
    ByteString frame;         // the valid frame, or the rejected candidate from its start byte
    size_t leadingBytes = 0;  // bytes in front of the start byte thrown away with the buffer
    size_t trailingBytes = 0; // bytes behind the frame's last byte thrown away with the buffer
};

using DecodeFn = std::function<void(uint8_t address, const ByteString& data)>;

// AssembleReply: runs `decode` (DecodeStatus) on a valid frame before emptying the buffer.
AssembleReport assembleReply(LinkState& link, const DecodeFn& decode);

// Reception steps 1, 3 and 4: RxLastChar and the append. The caller reads the bytes and then
// runs assembleReply.
void noteReception(LinkState& link, const ByteString& chunk);

struct StatusDisplay {
    int clock = 0;               // 1..4
    std::string timeText;        // "12:34", "-5:30"
    bool highlight = false;      // time field background red
    uint32_t voltage = 0;        // hundredths of a volt
    std::string voltageText;     // "12,28 V"
    bool voltageLow = false;     // value not above 1000: label in red
};

// DecodeStatus without the widgets: sets NegativeTime and ReplySeen, and says what the panel
// of the clock shows. Empty for a clock number outside 1..4, or a frame with fewer than four
// data bytes (which changes no flag at all).
std::optional<StatusDisplay> decodeStatus(LinkState& link, uint8_t address, const ByteString& data);

uint32_t voltageFactor(int clock);
// "7,26 V", "12,28 V"; values below 100 as "0,95 V", "0,07 V".
std::string voltageText(uint32_t hundredths);
