#include "link/Tick.h"

#include <algorithm>

#include "base/Exceptions.h"
#include "link/Frame.h"

uint8_t pollByte(const ClockInputs& in, bool reset)
{
    uint8_t b = 0;
    if (in.countDown)
        b |= 0x80;
    if (in.brightness >= 0 && in.brightness <= 3)
        b |= static_cast<uint8_t>(in.brightness << 5);
    if (reset)
        b |= 0x10;
    if (in.displayOff)
        b |= 0x08;
    return b;
}

uint8_t fieldToBcd(const std::string& field)
{
    std::string f = field;
    while (f.size() < 2)
        f.insert(f.begin(), '0');
    const int high = StrToInt(std::string(1, f[0]));
    const int low = StrToInt(std::string(1, f[1]));
    return static_cast<uint8_t>(high * 16 + low);
}

static void sendCommand(LinkState& link, TickHost& host)
{
    const uint8_t target = static_cast<uint8_t>(host.commandTarget());
    switch (link.PendingCommand) {
    case 1:
        host.sendFrame(target, ByteString(1, static_cast<char>(Frame::CmdStart)));
        break;
    case 2:
        host.sendFrame(target, ByteString(1, static_cast<char>(Frame::CmdStop)));
        break;
    case 3: {
        ByteString data(1, static_cast<char>(Frame::CmdSet));
        data += static_cast<char>(fieldToBcd(host.minutesText()));
        data += static_cast<char>(fieldToBcd(host.secondsText()));
        host.sendFrame(target, data);
        break;
    }
    default:
        break;
    }
}

TickResult runTick(LinkState& link, TickHost& host)
{
    TickResult result;
    host.serviceMessages();
    if (link.TimeoutTicks != 0)
        --link.TimeoutTicks;
    if (link.LinkActive != 1)
        return result;

    if (++link.BroadcastTick == BroadcastEvery) {
        link.BroadcastTick = 0;
        link.TxFrame = Frame::broadcast(host.localTimeOfDay());
        link.RxPayload.clear();
        host.writePort(link.TxFrame);
        host.serviceMessages();
        result.outcome = TickOutcome::Broadcast;
        return result;
    }

    if (link.PendingCommand != 0) {
        sendCommand(link, host);   // a failed write or conversion leaves the command pending
        link.PendingCommand = 0;
        result.outcome = TickOutcome::Command;
        return result;
    }

    for (;;) {
        const int clock = link.PollIndex + 1;
        link.PollIndex = static_cast<uint8_t>((link.PollIndex + 1) % 4);
        const ClockInputs in = host.clockInputs(clock);
        if (in.active) {
            const bool reset = link.ResetRequest[clock] != 0;
            link.ResetRequest[clock] = 0;
            host.sendFrame(static_cast<uint8_t>(clock), ByteString(1, static_cast<char>(pollByte(in, reset))));
            result.outcome = TickOutcome::Poll;
            result.clock = clock;
            return result;
        }
        if (clock == 4) {
            host.serviceMessages();
            result.outcome = TickOutcome::Nothing;
            return result;
        }
    }
}

int64_t nextTickDelayUs(int64_t wallUs, int64_t sinceLastUs, int intervalMs, bool broadcastNext)
{
    return planNextTick(wallUs, sinceLastUs, intervalMs, broadcastNext, 0).delayUs;
}

TickPlan planNextTick(int64_t wallUs, int64_t sinceLastUs, int intervalMs, bool broadcastNext, int64_t lateUs)
{
    const int64_t period = static_cast<int64_t>(intervalMs > 0 ? intervalMs : 1) * 1000;
    const int64_t offset = period / 20;
    const int64_t gap = period * 9 / 10;
    const int64_t earliest = wallUs + std::max<int64_t>(0, gap - sinceLastUs);
    auto slotFrom = [&](int64_t step) {
        // The first instant offset + k × step at or after `earliest`.
        const int64_t k = (earliest - offset + step - 1) / step;
        return k * step + offset;
    };
    int64_t slot = slotFrom(period);
    // Only where sixty ticks make whole seconds does a broadcast on the second keep its place.
    const bool onTheSecond = broadcastNext && (BroadcastEvery * period) % 1000000 == 0;
    if (onTheSecond)
        slot = slotFrom(1000000);
    // Up to half a second late is caught up within one broadcast cycle; a longer stall (a box, a
    // blocking pause) starts afresh on the next slot.
    if (lateUs > 0 && lateUs < 5 * period && sinceLastUs < period) {
        // The slot after the previous tick's own one, which the spacing has pushed `earliest` past.
        const int64_t nominal = wallUs - sinceLastUs - lateUs + period;
        const int64_t behind = earliest - nominal;
        // A broadcast closes up only onto its own second: out of phase (after connecting, say)
        // it waits for the second as before.
        const bool closesUp = !onTheSecond || (behind <= 15000 && (nominal - offset) % 1000000 == 0);
        if (behind > 0 && slot > earliest && closesUp)
            return TickPlan{earliest - wallUs, nominal};
    }
    return TickPlan{slot - wallUs, slot};
}

bool broadcastComesNext(const LinkState& link)
{
    return link.LinkActive == 1 && link.BroadcastTick + 1 == BroadcastEvery;
}

TickPace& tickPace()
{
    static TickPace pace;
    return pace;
}

void resetTickPace()
{
    tickPace() = TickPace();
}
