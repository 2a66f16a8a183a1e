// Meanings of the frames on the bus, and the trace that turns the window's traffic events into
// described entries and per-clock counters. Fed through the real assembler, so the trace's view
// of a dropped buffer is checked against what the assembler really threw away.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "link/Describe.h"
#include "link/Frame.h"
#include "link/Reply.h"

namespace {

ByteString bytes(const std::string& hex)
{
    return fromHex(hex);
}

struct SentCase {
    const char* hex;
    const char* meaning;
};

const SentCase sentCases[] = {
    {"5A 01 01 60 BC", "odpytanie zegara 1 (liczenie w górę, jasność 3)"},
    {"5A 01 01 D0 2C", "odpytanie zegara 1 (liczenie w dół, jasność 2, kasowanie)"},
    {"5A 11 01 E8 54", "odpytanie zegara 1 (tryb RTC, liczenie w dół, jasność 3, wyświetlacz wyłączony)"},
    {"5A 04 01 00 5F", "odpytanie zegara 4 (liczenie w górę, jasność 0)"},
    {"5A 00 01 01 5C", "START do wszystkich"},
    {"5A 00 01 02 5D", "STOP do wszystkich"},
    {"5A 02 01 02 5F", "STOP zegara 2"},
    {"5A 33 01 02 90", "STOP zegara 3 (tryb RTC)"},
    {"5A 03 03 03 05 30 98", "USTAW zegar 3 na 05:30"},
    {"5A 00 03 03 10 00 70", "USTAW wszystkie zegary na 10:00"},
    {"5A FF 06 31 32 33 34 35 36 94", "czas 12:34:56 do wszystkich"},
    {"5A FF 06 FF 5F 70 02 A2 8C 5D", "rozgłoszenie, 6 B"},   // not digits: no time to read
    {"5A 03 02 01 01 61", "zmiana adresu 3 → 1"},
    {"5A 01 01 04 60", "wejście w aktualizację firmware zegara 1"},
    {"5A 66 01 4B 0C", "koniec aktualizacji"},
    {"5A 01 00 5B", "pusta ramka do zegara 1"},
    {"5A 01 01 05 61", "nieznane polecenie 0x05 do zegara 1"},
    {"5A 07 01 01 63", "ramka na adres 0x07, 1 B"},
    {"5A 01 01 60 00", "odpytanie zegara 1 (liczenie w górę, jasność 3) (zła suma kontrolna)"},
    {"5A 01", "ramka niepełna, 2 B"},
};

TEST(Describe, SentFrames)
{
    for (const SentCase& c : sentCases)
        EXPECT_EQ(Describe::sentFrame(bytes(c.hex)), c.meaning) << c.hex;
}

TEST(Describe, FirmwareBlockNamesItsNumber)
{
    ByteString data(1, '\x05');
    data += ByteString(64, '\xFF');
    EXPECT_EQ(Describe::sentFrame(Frame::build(Frame::BootBlockAddress, data)), "blok firmware 5");
    data[0] = static_cast<char>(200);
    EXPECT_EQ(Describe::sentFrame(Frame::build(Frame::BootBlockAddress, data)), "blok firmware 200");
}

TEST(Describe, Replies)
{
    const SentCase cases[] = {
        {"5A 01 04 12 34 03 39 E1", "odpowiedź zegara 1: 12:34, 12,28 V"},
        {"5A C2 04 05 30 02 00 57", "odpowiedź zegara 2: -5:30, 7,26 V, wyróżnienie, niskie napięcie"},
        {"5A 07 04 12 34 03 39 E7", "odpowiedź z adresu 7 (żaden zegar)"},
        {"5A 01 02 12 34 A3", "odpowiedź zegara 1 bez stanu, 2 B"},
    };
    for (const SentCase& c : cases) {
        const ByteString frame = bytes(c.hex);
        ASSERT_EQ(Frame::checksum(frame.substr(0, frame.size() - 1)), byteAt(frame, frame.size() - 1)) << c.hex;
        EXPECT_EQ(Describe::reply(frame), c.meaning) << c.hex;
    }
}

// ---- the trace, fed by the real assembler ---------------------------------------------------

struct Expected {
    TraceKind kind;
    const char* hex;
    const char* meaning;
};

struct TraceCase {
    const char* name;
    std::vector<std::string> chunks;
    std::vector<Expected> entries;
};

class Feed {
public:
    std::vector<TraceEntry> receive(const ByteString& chunk)
    {
        trace.bytesReceived(chunk);
        noteReception(link, chunk);
        const AssembleReport report =
            assembleReply(link, [this](uint8_t a, const ByteString& d) { decodeStatus(link, a, d); });
        return trace.replyAssembled(report);
    }
    std::vector<TraceEntry> send(uint8_t address, const ByteString& data)
    {
        const FrameAccounting account = accountFrame(link, address);
        return trace.frameSent(Frame::build(account.address, data), &account);
    }
    LinkState link;
    BusTrace trace;
};

TEST(BusTrace, ReceivedBuffersBecomeEntries)
{
    const TraceCase cases[] = {
        {"one reply", {"5A 01 04 12 34 03 39 E1"},
         {{TraceKind::Received, "5A 01 04 12 34 03 39 E1", "odpowiedź zegara 1: 12:34, 12,28 V"}}},
        {"split reply", {"5A 01", "04 12 34 03 39 E1"},
         {{TraceKind::Received, "5A 01 04 12 34 03 39 E1", "odpowiedź zegara 1: 12:34, 12,28 V"}}},
        {"garbage", {"01 02 03"}, {{TraceKind::Dropped, "01 02 03", "odrzucone: brak bajtu startu"}}},
        {"garbage in front", {"11 22 5A 01 04 12 34 03 39 E1"},
         {{TraceKind::Dropped, "11 22", "utracone przed ramką: 2 B"},
          {TraceKind::Received, "5A 01 04 12 34 03 39 E1", "odpowiedź zegara 1: 12:34, 12,28 V"}}},
        {"two replies in one chunk", {"5A 01 04 12 34 03 39 E1 5A 02 04 12 34 03 39 E2"},
         {{TraceKind::Received, "5A 01 04 12 34 03 39 E1", "odpowiedź zegara 1: 12:34, 12,28 V"},
          {TraceKind::Dropped, "5A 02 04 12 34 03 39 E2", "utracone za ramką: 8 B"}}},
        {"length 12", {"5A 01 0C 00"}, {{TraceKind::Dropped, "5A 01 0C 00", "odrzucone: długość 12 > 11"}}},
        {"stray start byte", {"5A 5A 01 04 12 34 03 39 E1"},
         {{TraceKind::Dropped, "5A 5A 01 04 12", "odrzucone: zła suma kontrolna (odebrano 0x12, wyliczono 0xB9)"},
          {TraceKind::Dropped, "34 03 39 E1", "utracone za ramką: 4 B"}}},
        {"acknowledgement", {"21"}, {{TraceKind::Received, "21", "potwierdzenie „!”"}}},
        {"acknowledgement with another byte", {"21 33"}, {{TraceKind::Dropped, "21 33", "odrzucone: brak bajtu startu"}}},
    };
    for (const TraceCase& c : cases) {
        Feed feed;
        std::vector<TraceEntry> got;
        for (const std::string& chunk : c.chunks) {
            const std::vector<TraceEntry> more = feed.receive(bytes(chunk));
            got.insert(got.end(), more.begin(), more.end());
        }
        ASSERT_EQ(got.size(), c.entries.size()) << c.name;
        for (size_t i = 0; i < got.size(); ++i) {
            EXPECT_EQ(got[i].kind, c.entries[i].kind) << c.name << " #" << i;
            EXPECT_EQ(toHex(got[i].bytes), c.entries[i].hex) << c.name << " #" << i;
            EXPECT_EQ(got[i].meaning, c.entries[i].meaning) << c.name << " #" << i;
        }
        EXPECT_TRUE(feed.link.RxBuffer.empty()) << c.name;
    }
}

TEST(BusTrace, CountsPerClock)
{
    Feed feed;
    const ByteString poll(1, '\x60');
    const ByteString reply1 = bytes("5A 01 04 12 34 03 39 E1");
    // Clock 1 answers three polls, then falls silent for four more.
    for (int i = 0; i < 3; ++i) {
        feed.send(1, poll);
        feed.receive(reply1);
    }
    for (int i = 0; i < 4; ++i)
        feed.send(1, poll);
    // Clock 2 answers its poll with a broken frame.
    feed.send(2, poll);
    feed.receive(bytes("5A 02 04 12 34 03 39 00"));
    // Broadcast and a command to all go to the rest.
    feed.trace.frameSent(Frame::broadcast("12:00:00"), nullptr);
    feed.send(0, ByteString(1, '\x01'));

    const auto& c = feed.trace.counters();
    EXPECT_EQ(c[1].sent, 7u);
    EXPECT_EQ(c[1].replies, 3u);
    // The fourth silent poll is still waiting: only the next frame to clock 1 can tell.
    EXPECT_EQ(c[1].unanswered, 3u);
    EXPECT_EQ(c[1].dropped, 0u);
    EXPECT_EQ(c[2].sent, 1u);
    EXPECT_EQ(c[2].replies, 0u);
    EXPECT_EQ(c[2].dropped, 1u);
    EXPECT_EQ(c[2].unanswered, 0u);   // the first frame the trace saw to it has no predecessor
    EXPECT_EQ(c[BusTrace::OtherRow].sent, 2u);
    EXPECT_EQ(c[3].sent + c[4].sent, 0u);

    feed.send(1, poll);
    EXPECT_EQ(feed.trace.counters()[1].unanswered, 4u);
    feed.trace.clearCounters();
    EXPECT_EQ(feed.trace.counters()[1].sent, 0u);
}

TEST(BusTrace, FirstFrameAfterStartIsNotCountedUnanswered)
{
    // ReplySeen starts at 0, so the first frame to a clock reads as "missed" to the gauge; the
    // trace saw no frame before it, so it counts nothing.
    Feed feed;
    const std::vector<TraceEntry> sent = feed.send(3, ByteString(1, '\x60'));
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].row, 3);
    EXPECT_EQ(feed.trace.counters()[3].unanswered, 0u);
}

} // namespace
