#pragma once
// The firmware transfer without widgets.
//
// An image file is "zfr", the payload, and an XOR check byte. The payload goes to the boot
// loader at bus address 101 in 64-byte blocks, each preceded by a one-byte block counter that
// wraps at 256; the last block is filled up with 0xFF. After each block the host handles events
// until the reception handler leaves the lone acknowledgement "!" in RxLastChar or the tick has
// counted TimeoutTicks down to 0. A time-out resends the block while the transfer's budget of
// two resends lasts; the third time-out ends the transfer. "K" to address 102 closes it.
#include <cstddef>
#include <cstdint>

#include "base/Bytes.h"
#include "link/LinkState.h"

namespace Firmware {

constexpr char Tag[] = "zfr";
constexpr size_t BlockSize = 64;
constexpr uint8_t Fill = 0xFF;
constexpr uint32_t MinFileSize = 5;      // tag, one payload byte, check byte
constexpr uint32_t MaxFileSize = 8192;   // the image buffer
constexpr uint8_t ResendBudget = 2;      // for the whole transfer
constexpr uint16_t AckTimeoutTicks = 10; // 100 ms ticks
constexpr int BootPauseMs = 2000;        // after the boot command, and before the closing frame
constexpr int ClosePauseMs = 1000;       // before the dialog closes

// Cuts a loaded image (tag, payload, check byte) into block frames' data.
class BlockCutter {
public:
    // size must lie within [MinFileSize, MaxFileSize]; image holds size bytes.
    BlockCutter(const uint8_t* image, uint32_t size);

    // Fills the next block: the counter byte followed by 64 bytes (65 in all), and moves the
    // counter on. Sets lastBlock() once the last payload byte has been taken.
    ByteString next();
    bool lastBlock() const { return last_; }
    uint32_t payloadIndex() const { return index_; }
    uint8_t counter() const { return counter_; }
    // The gauge after the block just cut: payload bytes taken × 100 / file size. The tag and
    // the check byte count in the size, so this stays below 100 until the end.
    int gauge() const { return static_cast<int>(index_ * 100u / size_); }

    static uint32_t blockCount(uint32_t size) { return (size - 4 + BlockSize - 1) / BlockSize; }

private:
    const uint8_t* image_;
    uint32_t size_;
    uint32_t index_ = 0;
    uint8_t counter_ = 0;
    bool last_ = false;
};

// What the transfer needs of the dialog and the main window.
class Host {
public:
    virtual ~Host() = default;
    virtual void sendFrame(uint8_t address, const ByteString& data) = 0;  // SendFrame
    virtual void serviceMessages() = 0;  // handle what is pending, without waiting
    virtual void waitForEvents() = 0;    // block until at least one event has been handled
    virtual void pause(int ms) = 0;      // blocking, no events handled
    virtual void setGauge(int percent) = 0;
    virtual void warnKeepPowered() = 0;  // beep, "NIE WYŁĄCZAJ ZEGARA Z ZASILANIA"
    virtual void reportNoAnswer() = 0;   // beep, "Brak odpowiedzi, aktualizacja nieudana"
    virtual void reportFinished() = 0;   // "Aktualizacja zakonczona"
};

struct Result {
    bool completed = false;  // every block acknowledged and the closing frame sent
    int blocksSent = 0;      // distinct blocks
    int resends = 0;
};

// The whole "Start" handler but the closing of the dialog. clock is 1..4.
Result transfer(LinkState& link, Host& host, const uint8_t* image, uint32_t size, int clock);

} // namespace Firmware
