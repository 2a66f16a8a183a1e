#pragma once
// The link state shared by the main window, the tick, the frame sender, the reply
// assembler and the maintenance dialogs. One instance, owned by the main window; all
// of it is touched on the user-interface thread only, so nothing is locked.
// Per-clock arrays are indexed by clock number 1..4 (index 0 unused).
#include <array>
#include <cstddef>
#include <cstdint>

#include "base/Bytes.h"

struct LinkState {
    uint8_t LinkActive = 0;
    uint8_t PendingCommand = 0;          // 0 none, 1 start, 2 stop, 3 set
    std::array<uint8_t, 5> RtcMode{};    // 1 = real-time clock
    std::array<uint8_t, 5> ResetRequest{};
    std::array<uint8_t, 5> ReplySeen{};
    uint8_t PollIndex = 0;               // next clock looked at is PollIndex + 1
    uint16_t BroadcastTick = 0;
    uint16_t TimeoutTicks = 0;
    ByteString TxFrame;
    ByteString RxBuffer;
    uint8_t FrameStartFound = 0;
    size_t FrameStart = 0;               // 1-based positions in RxBuffer
    size_t FrameEnd = 0;
    ByteString RxPayload;
    uint8_t RxAddress = 0;
    char RxLastChar = 0;
    uint8_t NegativeTime = 0;
};
