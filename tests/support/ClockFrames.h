#pragma once
// Frames written out by hand in the bus tests, to compare replies byte for byte.
#include <cstdint>
#include <initializer_list>

#include "base/Bytes.h"
#include "link/Frame.h"

inline ByteString bytes(std::initializer_list<int> list)
{
    ByteString b;
    for (int v : list)
        b += static_cast<char>(v);
    return b;
}

// A clock's status reply: its two display bytes and the raw supply reading, high byte first.
inline ByteString status(uint8_t address, uint8_t left, uint8_t right, uint16_t raw)
{
    return Frame::build(address, bytes({left, right, raw >> 8, raw & 0xFF}));
}

// 12.00 V shown by the PC: clock 1 raw 806 (1200), the others raw 847 (1201; 846 would be 1199).
constexpr uint16_t kRaw1 = 806;
constexpr uint16_t kRaw = 847;
