#pragma once
// What the bytes on the bus mean, in the operator's words (Polish, as the window speaks), and
// a trace that turns the main window's traffic events into described entries with per-clock
// counters. Widget-free: the bus monitor shows the entries, tests read them.
//
// The trace mirrors the receive buffer from the chunks it is shown, so that a rejected buffer
// can be shown byte for byte: the assembler empties the buffer whenever it resolves a frame, and
// the mirror does the same at each report that is not Waiting.
#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "base/Bytes.h"
#include "link/Frame.h"
#include "link/Reply.h"

namespace Describe {

// A frame as the PC sends it: "odpytanie zegara 1 (liczenie w dół, jasność 2, kasowanie)",
// "START do wszystkich", "czas 12:34:56 do wszystkich", "blok firmware 5" ...
std::string sentFrame(const ByteString& frame);
// The settings a poll byte carries: "liczenie w dół, jasność 2, kasowanie".
std::string pollSettings(uint8_t poll);
// A frame the assembler accepted: "odpowiedź zegara 1: 12:34, 12,28 V".
std::string reply(const ByteString& frame);
// Why the assembler threw a buffer away (NoStartByte, TooLong, BadChecksum).
std::string rejected(const AssembleReport& report);
std::string lostBefore(size_t bytes);   // "utracone przed ramką: 2 B"
std::string lostBehind(size_t bytes);   // "utracone za ramką: 3 B"
// A one-byte reception "!": the boot loader's acknowledgement of a firmware block.
std::string acknowledgement();

} // namespace Describe

enum class TraceKind { Sent, Received, Dropped };

struct TraceEntry {
    TraceKind kind = TraceKind::Sent;
    ByteString bytes;
    std::string meaning;
    int row = 0;   // counter row: clock 1..4, or 0 for the rest
};

struct TraceCounters {
    uint64_t sent = 0;        // frames written
    uint64_t replies = 0;     // frames accepted from it
    uint64_t unanswered = 0;  // frames followed by another frame to the clock with no reply between
    uint64_t dropped = 0;     // buffers or bytes the assembler threw away
};

class BusTrace {
public:
    // Row 0 collects what belongs to no single clock: frames to all clocks, the time broadcast,
    // firmware blocks, acknowledgements, replies from addresses without a clock, and drops
    // while the last frame sent went to no single clock.
    static constexpr int OtherRow = 0;
    // Bytes kept of a receive buffer that never resolves (the assembler keeps fewer).
    static constexpr size_t MirrorLimit = 4096;

    std::vector<TraceEntry> frameSent(const ByteString& frame, const FrameAccounting* accounting);
    void bytesReceived(const ByteString& chunk);
    std::vector<TraceEntry> replyAssembled(const AssembleReport& report);

    const std::array<TraceCounters, 5>& counters() const { return counters_; }
    void clearCounters() { counters_ = {}; }

private:
    void countDrop(std::vector<TraceEntry>& out, const ByteString& bytes, std::string meaning, int row);

    std::array<TraceCounters, 5> counters_{};
    // A frame to the clock was seen, so a missed reply at the next one is one this trace saw.
    std::array<bool, 5> seen_{};
    int lastRow_ = OtherRow;   // the row of the last frame sent: where a stray reply came from
    ByteString pending_;       // the receive buffer as the chunks built it
    ByteString lastChunk_;
};
