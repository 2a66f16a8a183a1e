#pragma once
// A plain watcher of the bus traffic as the main window sees it: every frame written, every
// chunk read, every assembler run. The window's traffic signals (widgets/LinkTraffic.h) call
// it right after the event; an observer only looks. It must not throw, write to the port or
// service events, so that the wire and its timing stay as they are with it.
#include "base/Bytes.h"
#include "link/Frame.h"
#include "link/Reply.h"

class LinkObserver {
public:
    virtual ~LinkObserver() = default;
    // A frame has been written. `accounting` is SendFrame's reply accounting; null for the
    // time broadcast, which bypasses it.
    virtual void frameSent(const ByteString& frame, const FrameAccounting* accounting) = 0;
    // A reception's bytes, as read from the port, before they are assembled.
    virtual void bytesReceived(const ByteString& chunk) = 0;
    // What the assembler made of the receive buffer after that reception.
    virtual void replyAssembled(const AssembleReport& report) = 0;
};
