#include "dialogs/FirmwareImage.h"

#include <stdexcept>

#include "link/Frame.h"

namespace Firmware {

BlockCutter::BlockCutter(const uint8_t* image, uint32_t size) : image_(image), size_(size)
{
    // Below five bytes there is no payload byte to end on; above the buffer there is no image.
    if (size < MinFileSize || size > MaxFileSize)
        throw std::invalid_argument("firmware image size out of range");
}

ByteString BlockCutter::next()
{
    ByteString data(1 + BlockSize, static_cast<char>(Fill));
    data[0] = static_cast<char>(counter_);
    const uint32_t payload = size_ - 4;
    for (size_t pos = 0; pos < BlockSize && index_ < payload; ++pos) {
        data[1 + pos] = static_cast<char>(image_[3 + index_]);
        ++index_;
    }
    last_ = index_ == payload;
    ++counter_;
    return data;
}

Result transfer(LinkState& link, Host& host, const uint8_t* image, uint32_t size, int clock)
{
    host.warnKeepPowered();

    BlockCutter cutter(image, size);
    uint8_t budget = ResendBudget;
    bool stop = false;
    Result result;

    host.sendFrame(static_cast<uint8_t>(clock), ByteString(1, static_cast<char>(Frame::CmdBoot)));
    host.pause(BootPauseMs);
    link.TimeoutTicks = AckTimeoutTicks;

    bool failed = false;
    do {
        const ByteString block = cutter.next();
        host.sendFrame(Frame::BootBlockAddress, block);
        ++result.blocksSent;
        link.TimeoutTicks = AckTimeoutTicks;

        // A lone "!" left from before this wait counts: look before blocking.
        bool first = true;
        for (;;) {
            if (first)
                host.serviceMessages();
            else
                host.waitForEvents();
            first = false;
            if (link.TimeoutTicks == 0) {
                if (budget > 0) {
                    --budget;
                    host.sendFrame(Frame::BootBlockAddress, block);
                    ++result.resends;
                    host.serviceMessages();
                } else {
                    host.reportNoAnswer();
                    host.serviceMessages();
                    stop = true;
                    failed = true;
                }
                link.TimeoutTicks = AckTimeoutTicks;
            }
            if (link.RxLastChar == static_cast<char>(Frame::BootAck) || stop)
                break;
        }
        link.RxLastChar = '.';
        host.setGauge(cutter.gauge());
        host.serviceMessages();
        if (cutter.lastBlock())
            stop = true;
    } while (!stop);

    if (!failed) {
        host.setGauge(100);
        host.pause(BootPauseMs);
        host.sendFrame(Frame::BootEndAddress, ByteString(1, static_cast<char>(Frame::BootEnd)));
        host.reportFinished();
        result.completed = true;
    }
    host.pause(ClosePauseMs);
    return result;
}

} // namespace Firmware
