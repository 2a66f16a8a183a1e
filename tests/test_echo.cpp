// needs: qtcore
// Echo-tolerant reception over a pseudo-terminal: the port writes a poll, the test plays an
// adapter that hears itself (or not) on the master side, and the received bytes go through
// the echo filter into the reply assembler as in the main window. Also the file that keeps the
// port's options.
#include <gtest/gtest.h>

#include <vector>

#include "link/Echo.h"
#include "link/Reply.h"
#include "serial/ComPort.h"
#include "serial/PortOptions.h"
#include "tests/support/ClockFrames.h"
#include "tests/support/Pty.h"
#include "tests/support/TempDir.h"

namespace {

const ByteString poll2 = Frame::build(2, bytes({0x60}));
const ByteString reply2 = status(0x02, 0x12, 0x34, kRaw);

// The frame with one byte changed.
ByteString garbled(ByteString b, size_t at)
{
    b[at] = static_cast<char>(b[at] ^ 0x40);
    return b;
}

struct Outcome {
    ByteString passed;             // what the filter handed on
    std::vector<uint8_t> decoded;  // addresses of status replies the assembler decoded
    uint64_t echoes = 0;
};

// One poll through the port on `pty`, then the chunks, each read by the port before the next.
Outcome exchange(TComPort& port, TestPty& pty, EchoFilter& echo, LinkState& link,
                 const std::vector<ByteString>& chunks)
{
    Outcome o;
    echo.sent(poll2);
    EXPECT_EQ(port.WriteText(poll2), static_cast<int>(poll2.size()));
    EXPECT_EQ(toHex(pty.read(poll2.size())), toHex(poll2));
    for (const ByteString& chunk : chunks) {
        pty.write(chunk);
        ByteString got;
        for (int i = 0; i < 200 && got.size() < chunk.size(); ++i) {
            ByteString more;
            port.ReadText(more, 4096);
            if (more.empty())
                pty.drain(std::chrono::milliseconds(5));  // a short wait: nothing is read from it
            got += more;
        }
        EXPECT_EQ(toHex(got), toHex(chunk));
        const ByteString kept = echo.filter(got);
        o.passed += kept;
        if (kept.empty())
            continue;
        noteReception(link, kept);
        assembleReply(link, [&](uint8_t address, const ByteString& data) {
            if (data.size() >= 4)
                o.decoded.push_back(address);
        });
    }
    o.echoes = echo.echoesSeen();
    return o;
}

} // namespace

TEST(EchoFilter, OverAPty)
{
    struct Case {
        const char* what;
        bool on;
        std::vector<ByteString> chunks;
        ByteString passed;
        std::vector<uint8_t> decoded;
        uint64_t echoes;
    };
    const Case cases[] = {
        {"no echo, filter on: the reply as it came", true, {reply2}, reply2, {2}, 0},
        {"echo, filter off: the echo is taken for the answer and the reply lost, but counted",
         false, {poll2 + reply2}, poll2 + reply2, {}, 1},
        {"echo then at once the reply in one chunk", true, {poll2 + reply2}, reply2, {2}, 1},
        {"echo split across chunks", true, {poll2.substr(0, 2), poll2.substr(2), reply2}, reply2, {2}, 1},
        {"echo split, its end and the reply in one chunk", true,
         {poll2.substr(0, 3), poll2.substr(3) + reply2}, reply2, {2}, 1},
        {"garbled echo: one byte differs, kept (the assembler drops it, the reply after it decodes)", true,
         {garbled(poll2, 1), reply2}, garbled(poll2, 1) + reply2, {2}, 0},
        {"garbled in its second chunk: the held start comes back with it", true,
         {poll2.substr(0, 2), garbled(poll2, 3).substr(2) + reply2}, garbled(poll2, 3) + reply2, {}, 0},
        {"echo after the reply: no echo an adapter makes, kept", true, {reply2, poll2}, reply2 + poll2, {2}, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TestPty pty;
        TComPort port;
        port.SetPort(pty.slavePath());
        port.SetBaudRate(br19200);
        port.SetEvents({});
        port.OpenPort();
        EchoFilter echo;
        echo.setEnabled(c.on);
        LinkState link;
        const Outcome o = exchange(port, pty, echo, link, c.chunks);
        EXPECT_EQ(toHex(o.passed), toHex(c.passed));
        EXPECT_EQ(o.decoded, c.decoded);
        EXPECT_EQ(o.echoes, c.echoes);
    }
}

TEST(EchoFilter, NextWriteForgetsAHalfEcho)
{
    EchoFilter echo;
    echo.setEnabled(true);
    echo.sent(poll2);
    EXPECT_EQ(echo.filter(poll2.substr(0, 3)), "");
    // The rest never came; the next frame's echo and reply are judged afresh.
    const ByteString poll3 = Frame::build(3, bytes({0x60}));
    echo.sent(poll3);
    EXPECT_EQ(toHex(echo.filter(poll3 + reply2)), toHex(reply2));
    EXPECT_EQ(echo.echoesSeen(), 1u);
}

TEST(PortOptions, FileReadBackAndOddContent)
{
    struct Case {
        const char* content;  // nullptr: no file
        PortOptions expected;
    };
    const Case cases[] = {
        {nullptr, {false, false}},
        {"echo=1\nrs485=0\n", {true, false}},
        {"rs485=1\r\necho=0\r\n", {false, true}},
        {"echo=yes\nrs485=2\nnonsense\n=1\nlater=1\n", {false, false}},
        {"echo=1\necho=0\n", {false, false}},
    };
    for (const Case& c : cases) {
        TempDir dir;
        const std::string path = dir.file("kadrel/port-options");
        if (c.content)
            writeFile(path, c.content);
        EXPECT_EQ(PortOptionsFile::load(path), c.expected) << (c.content ? c.content : "(none)");
    }
    TempDir dir;
    const std::string path = dir.file("kadrel/profil/port-options");
    for (const PortOptions o : {PortOptions{true, false}, PortOptions{false, true}, PortOptions{true, true}}) {
        ASSERT_EQ(PortOptionsFile::save(path, o), 0);
        EXPECT_EQ(PortOptionsFile::load(path), o);
    }
}
