#include "link/Describe.h"

#include <algorithm>
#include <utility>

namespace {

// "0x5A": an address or a checksum, told apart from the BCD digits beside it.
std::string hexValue(uint8_t b)
{
    return "0x" + hexByte(b);
}

std::string bytes(size_t n)
{
    return std::to_string(n) + " B";
}

// Clock n from a PC address byte: 1..4 as a stopwatch, 17 * n as a real-time clock.
int clockOf(uint8_t address, bool& rtc)
{
    rtc = false;
    if (address >= 1 && address <= 4)
        return address;
    if (address % 17 == 0 && address / 17 >= 1 && address / 17 <= 4) {
        rtc = true;
        return address / 17;
    }
    return 0;
}

std::string toClock(int clock, bool rtc, const std::string& data)
{
    const std::string who = "zegara " + std::to_string(clock);
    const std::string mode = rtc ? " (tryb RTC)" : "";
    const size_t n = data.size();
    const uint8_t first = n > 0 ? byteAt(data, 0) : 0;
    if (n == 0)
        return "pusta ramka do " + who + mode;
    if (n == 1) {
        switch (first) {
        case Frame::CmdStart: return "START " + who + mode;
        case Frame::CmdStop: return "STOP " + who + mode;
        case Frame::CmdBoot: return "wejście w aktualizację firmware " + who + mode;
        default: break;
        }
        if ((first & 0x07) == 0)
            return "odpytanie " + who + " (" + (rtc ? "tryb RTC, " : "") + Describe::pollSettings(first) + ")";
        return "nieznane polecenie " + hexValue(first) + " do " + who + mode;
    }
    if (n == 2 && first == 0x01)
        return "zmiana adresu " + std::to_string(clock) + " → " + std::to_string(byteAt(data, 1)) + mode;
    if (n == 3 && first == Frame::CmdSet)
        return "USTAW zegar " + std::to_string(clock) + " na " + bcdDigits(byteAt(data, 1)) + ":" + bcdDigits(byteAt(data, 2)) + mode;
    return "dane do " + who + mode + ", " + bytes(n);
}

std::string toAll(const std::string& data)
{
    const size_t n = data.size();
    const uint8_t first = n > 0 ? byteAt(data, 0) : 0;
    if (n == 1 && first == Frame::CmdStart)
        return "START do wszystkich";
    if (n == 1 && first == Frame::CmdStop)
        return "STOP do wszystkich";
    if (n == 3 && first == Frame::CmdSet)
        return "USTAW wszystkie zegary na " + bcdDigits(byteAt(data, 1)) + ":" + bcdDigits(byteAt(data, 2));
    return "dane do wszystkich, " + bytes(n);
}

} // namespace

namespace Describe {

std::string pollSettings(uint8_t poll)
{
    std::string s = (poll & 0x80) ? "liczenie w dół" : "liczenie w górę";
    s += ", jasność " + std::to_string((poll >> 5) & 3);
    if (poll & 0x10)
        s += ", kasowanie";
    if (poll & 0x08)
        s += ", wyświetlacz wyłączony";
    return s;
}

std::string sentFrame(const ByteString& frame)
{
    if (frame.size() < 4 || byteAt(frame, 0) != Frame::StartByte || byteAt(frame, 2) + 4u != frame.size())
        return "ramka niepełna, " + bytes(frame.size());
    const uint8_t address = byteAt(frame, 1);
    const ByteString data = frame.substr(3, frame.size() - 4);
    std::string text;
    bool rtc = false;
    if (address == Frame::BroadcastAddress) {
        // Only digits read as a time: other bytes would go into the text as they are.
        if (data.size() == 6 && std::all_of(data.begin(), data.end(), [](char c) { return c >= '0' && c <= '9'; }))
            text = "czas " + data.substr(0, 2) + ":" + data.substr(2, 2) + ":" + data.substr(4, 2) + " do wszystkich";
        else
            text = "rozgłoszenie, " + bytes(data.size());
    } else if (address == Frame::BootBlockAddress) {
        text = data.size() == 65 ? "blok firmware " + std::to_string(byteAt(data, 0))
                                 : "blok firmware, " + bytes(data.size());
    } else if (address == Frame::BootEndAddress) {
        text = data == ByteString(1, static_cast<char>(Frame::BootEnd)) ? "koniec aktualizacji"
                                                                         : "do programu rozruchowego, " + bytes(data.size());
    } else if (address == Frame::AllClocks) {
        text = toAll(data);
    } else if (const int clock = clockOf(address, rtc); clock != 0) {
        text = toClock(clock, rtc, data);
    } else {
        text = "ramka na adres " + hexValue(address) + ", " + bytes(data.size());
    }
    if (Frame::checksum(frame.substr(0, frame.size() - 1)) != byteAt(frame, frame.size() - 1))
        text += " (zła suma kontrolna)";
    return text;
}

std::string reply(const ByteString& frame)
{
    if (frame.size() < 4)
        return "ramka niepełna, " + bytes(frame.size());
    const uint8_t address = byteAt(frame, 1);
    const ByteString data = frame.substr(3, frame.size() - 4);
    const int clock = address & 0x3F;
    if (clock < 1 || clock > 4)
        return "odpowiedź z adresu " + std::to_string(clock) + " (żaden zegar)";
    if (data.size() < 4)
        return "odpowiedź zegara " + std::to_string(clock) + " bez stanu, " + bytes(data.size());
    LinkState scratch;  // the decoder's own rules, without touching the window's state
    const std::optional<StatusDisplay> shown = decodeStatus(scratch, address, data);
    if (!shown)
        return "odpowiedź zegara " + std::to_string(clock);
    std::string text = "odpowiedź zegara " + std::to_string(clock) + ": " + shown->timeText + ", " + shown->voltageText;
    if (shown->highlight)
        text += ", wyróżnienie";
    if (shown->voltageLow)
        text += ", niskie napięcie";
    return text;
}

std::string rejected(const AssembleReport& report)
{
    switch (report.outcome) {
    case AssembleOutcome::NoStartByte:
        return "odrzucone: brak bajtu startu";
    case AssembleOutcome::TooLong:
        return "odrzucone: długość " + std::to_string(report.frame.size() > 2 ? byteAt(report.frame, 2) : 0) + " > " +
               std::to_string(Frame::MaxReplyLength);
    case AssembleOutcome::BadChecksum: {
        const ByteString& f = report.frame;
        if (f.size() < 4)
            return "odrzucone: zła suma kontrolna";
        return "odrzucone: zła suma kontrolna (odebrano " + hexValue(byteAt(f, f.size() - 1)) + ", wyliczono " +
               hexValue(Frame::checksum(f.substr(0, f.size() - 1))) + ")";
    }
    case AssembleOutcome::Waiting:
    case AssembleOutcome::Frame:
        break;
    }
    return {};
}

std::string lostBefore(size_t n)
{
    return "utracone przed ramką: " + bytes(n);
}

std::string lostBehind(size_t n)
{
    return "utracone za ramką: " + bytes(n);
}

std::string acknowledgement()
{
    return "potwierdzenie „!”";
}

} // namespace Describe

// ---- trace -----------------------------------------------------------------------------------

std::vector<TraceEntry> BusTrace::frameSent(const ByteString& frame, const FrameAccounting* accounting)
{
    const int row = accounting && accounting->clock >= 1 && accounting->clock <= 4 ? accounting->clock : OtherRow;
    TraceCounters& c = counters_[row];
    ++c.sent;
    if (row != OtherRow) {
        if (accounting->missed && seen_[row])
            ++c.unanswered;
        seen_[row] = true;
    }
    lastRow_ = row;
    return {TraceEntry{TraceKind::Sent, frame, Describe::sentFrame(frame), row}};
}

void BusTrace::bytesReceived(const ByteString& chunk)
{
    lastChunk_ = chunk;
    pending_ += chunk;
    if (pending_.size() > MirrorLimit)
        pending_.erase(0, pending_.size() - MirrorLimit);
}

void BusTrace::countDrop(std::vector<TraceEntry>& out, const ByteString& bytes, std::string meaning, int row)
{
    ++counters_[row].dropped;
    out.push_back(TraceEntry{TraceKind::Dropped, bytes, std::move(meaning), row});
}

std::vector<TraceEntry> BusTrace::replyAssembled(const AssembleReport& report)
{
    std::vector<TraceEntry> out;
    if (report.outcome == AssembleOutcome::Waiting)
        return out;
    // The buffer is gone after every resolved run; take it apart as leading | frame | trailing.
    ByteString buffer;
    buffer.swap(pending_);
    const ByteString chunk = std::exchange(lastChunk_, ByteString());

    if (report.outcome == AssembleOutcome::NoStartByte) {
        const size_t n = std::min(report.leadingBytes, buffer.size());
        const ByteString dropped = buffer.substr(buffer.size() - n);
        // A lone "!" is how the boot loader acknowledges; the assembler drops it, RxLastChar keeps it.
        if (chunk.size() == 1 && chunk[0] == static_cast<char>(Frame::BootAck) && dropped == chunk) {
            ++counters_[OtherRow].replies;
            out.push_back(TraceEntry{TraceKind::Received, dropped, Describe::acknowledgement(), OtherRow});
        } else {
            countDrop(out, dropped, Describe::rejected(report), lastRow_);
        }
        return out;
    }

    const size_t trailingCount = std::min(report.trailingBytes, buffer.size());
    const ByteString trailing = buffer.substr(buffer.size() - trailingCount);
    buffer.resize(buffer.size() - trailingCount);
    buffer.resize(buffer.size() >= report.frame.size() ? buffer.size() - report.frame.size() : 0);
    const ByteString leading = buffer.substr(buffer.size() - std::min(report.leadingBytes, buffer.size()));

    // A status reply names its clock; anything else is put down to the clock last addressed.
    int dropRow = lastRow_, replyRow = OtherRow;
    if (report.outcome == AssembleOutcome::Frame && report.frame.size() >= 8) {
        const int clock = byteAt(report.frame, 1) & 0x3F;
        if (clock >= 1 && clock <= 4)
            dropRow = replyRow = clock;
    }
    if (report.leadingBytes > 0)
        countDrop(out, leading, Describe::lostBefore(report.leadingBytes), dropRow);
    if (report.outcome == AssembleOutcome::Frame) {
        ++counters_[replyRow].replies;
        out.push_back(TraceEntry{TraceKind::Received, report.frame, Describe::reply(report.frame), replyRow});
    } else {
        countDrop(out, report.frame, Describe::rejected(report), dropRow);
    }
    if (report.trailingBytes > 0)
        countDrop(out, trailing, Describe::lostBehind(report.trailingBytes), dropRow);
    return out;
}
