#pragma once
// Many two-wire RS485 adapters hear their own transmission: after a write the receiver gets
// the frame just sent, then the clock's reply. The filter drops that copy before the reply
// assembler sees it. The echo is what follows a write and repeats the frame byte for byte from
// its start; bytes matching so far are held until the copy is whole. A byte that differs (a
// garbled echo, or the reply with no echo in front) ends the wait, and everything held passes
// on with it, so nothing but an exact copy is ever dropped. A copy arriving after other bytes
// is not an echo the adapter could make, and passes too.
#include <cstdint>

#include "base/Bytes.h"

class EchoFilter {
public:
    // Off (the default): bytes pass unchanged, but whole echoes are still counted, so the
    // window can suggest switching the filter on.
    void setEnabled(bool on) { enabled_ = on; }
    bool enabled() const { return enabled_; }

    // The frame just written: its echo is looked for from the next received byte on. Bytes
    // still held from the previous frame's echo go (the receive buffer is emptied at a write).
    void sent(const ByteString& frame);
    // The received chunk without the echo (the chunk itself while off).
    ByteString filter(const ByteString& chunk);

    // Whole echoes seen since the start, whether dropped or not.
    uint64_t echoesSeen() const { return echoes_; }

private:
    bool enabled_ = false;
    ByteString expected_;
    size_t matched_ = 0;
    bool looking_ = false;
    uint64_t echoes_ = 0;
};
