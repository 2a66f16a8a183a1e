// The Telnet / RFC 2217 layer on its own: 0xFF both ways, option talk that always ends,
// subnegotiations cut short, split or overlong, and the network port names.
#include <gtest/gtest.h>

#include "serial/NetLink.h"
#include "serial/NetworkPorts.h"
#include "serial/Telnet.h"

using namespace telnet;

namespace {

ByteString bytes(std::initializer_list<int> list)
{
    ByteString out;
    for (int b : list)
        out.push_back(static_cast<char>(b));
    return out;
}

ByteString feed(Session& s, const ByteString& in)
{
    ByteString data;
    s.receive(in.data(), in.size(), data);
    return data;
}

} // namespace

TEST(Telnet, EscapeDoublesEveryFF)
{
    const ByteString frame = bytes({'Z', 0xFF, 0x02, 0xFF, 0xFF, 0x5A});
    const ByteString wire = escape(frame);
    EXPECT_EQ(wire, bytes({'Z', 0xFF, 0xFF, 0x02, 0xFF, 0xFF, 0xFF, 0xFF, 0x5A}));
    // Whatever way the wire is cut, the same frame comes out.
    for (size_t cut = 0; cut <= wire.size(); ++cut) {
        Session s(true);
        ByteString data = feed(s, wire.substr(0, cut));
        data += feed(s, wire.substr(cut));
        EXPECT_EQ(data, frame) << "cut at " << cut;
        EXPECT_TRUE(s.takeOutgoing().empty());
    }
    // Bytes counted back from a partial send.
    EXPECT_EQ(sourceBytesSent(frame, 0), 0u);
    EXPECT_EQ(sourceBytesSent(frame, 2), 1u);  // half of the escaped 0xFF is not the byte
    EXPECT_EQ(sourceBytesSent(frame, 3), 2u);
    EXPECT_EQ(sourceBytesSent(frame, wire.size()), frame.size());
}

TEST(Telnet, RawTcpPassesEveryByte)
{
    Session s(false);
    EXPECT_TRUE(s.greeting().empty());
    const ByteString in = bytes({0xFF, 0xFB, 0x01, 0xFF, 0xFA});
    EXPECT_EQ(feed(s, in), in);
    EXPECT_TRUE(s.takeOutgoing().empty());
}

struct OptionCase {
    const char* what;
    ByteString in;
    ByteString answer;
};

TEST(Telnet, OptionAnswersAreOneEachAndNeverRepeatAgreement)
{
    const OptionCase cases[] = {
        {"offered ECHO refused", bytes({IAC, WILL, OptEcho}), bytes({IAC, DONT, OptEcho})},
        {"asked for an unknown option", bytes({IAC, DO, 99}), bytes({IAC, WONT, 99})},
        {"agreement to what we asked: no answer", bytes({IAC, WILL, OptBinary, IAC, DO, OptComPort}), {}},
        {"the same agreement twice: still none", bytes({IAC, DO, OptBinary, IAC, DO, OptBinary}), {}},
        {"turned off after agreeing: acknowledged once",
         bytes({IAC, WILL, OptSuppressGoAhead, IAC, WONT, OptSuppressGoAhead, IAC, WONT, OptSuppressGoAhead}),
         bytes({IAC, DONT, OptSuppressGoAhead})},
        {"NOP, GA, DM and a stray SE are ignored", bytes({IAC, NOP, IAC, GA, IAC, DM, IAC, SE, 'x'}), {}},
    };
    for (const OptionCase& c : cases) {
        Session s(true);
        s.greeting();
        feed(s, c.in);
        EXPECT_EQ(toHex(s.takeOutgoing()), toHex(c.answer)) << c.what;
    }
}

TEST(Telnet, BinaryRefusedEitherWayIsNoted)
{
    struct Case {
        const char* what;
        ByteString in;
        bool refused;
    };
    const Case cases[] = {
        {"agreed both ways", bytes({IAC, WILL, OptBinary, IAC, DO, OptBinary}), false},
        {"will not send binary", bytes({IAC, WONT, OptBinary}), true},
        {"will not take binary", bytes({IAC, DONT, OptBinary}), true},
        {"agreed, then turned off", bytes({IAC, WILL, OptBinary, IAC, WONT, OptBinary}), true},
        {"another option refused", bytes({IAC, WONT, OptEcho, IAC, DONT, OptSuppressGoAhead}), false},
    };
    for (const Case& c : cases) {
        Session s(true);
        s.greeting();
        feed(s, c.in);
        EXPECT_EQ(s.binaryRefused(), c.refused) << c.what;
    }
    // Raw TCP has no options to refuse.
    Session raw(false);
    feed(raw, bytes({IAC, WONT, OptBinary}));
    EXPECT_FALSE(raw.binaryRefused());
}

TEST(Telnet, TwoPeersTalkingToEachOtherStop)
{
    Session a(true), b(true);
    ByteString toB = a.greeting(), toA = b.greeting();
    int rounds = 0;
    while ((!toA.empty() || !toB.empty()) && rounds < 10) {
        feed(b, toB);
        feed(a, toA);
        toB = a.takeOutgoing();
        toA = b.takeOutgoing();
        ++rounds;
    }
    EXPECT_LT(rounds, 4);
}

TEST(Telnet, ComPortAnswersAreReadBack)
{
    Session s(true);
    s.greeting();
    // Baud 19200 split across three reads, then data, a data size and a malformed parity.
    const ByteString baud = bytes({IAC, SB, OptComPort, 101, 0x00, 0x00, 0x4B, 0x00, IAC, SE});
    EXPECT_TRUE(feed(s, baud.substr(0, 4)).empty());
    EXPECT_TRUE(feed(s, baud.substr(4, 3)).empty());
    EXPECT_EQ(feed(s, baud.substr(7) + "ab"), "ab");
    EXPECT_EQ(s.answer(cpSetBaudRate).count, 1u);
    EXPECT_EQ(s.answer(cpSetBaudRate).value, bytes({0, 0, 0x4B, 0}));
    feed(s, bytes({IAC, SB, OptComPort, 102, 8, IAC, SE, IAC, SB, OptComPort, 103, 1, 1, IAC, SE}));
    EXPECT_EQ(s.answer(cpSetDataSize).value, bytes({8}));
    EXPECT_EQ(s.answer(cpSetParity).count, 0u);
    // A value of 0xFF arrives doubled inside the subnegotiation.
    feed(s, bytes({IAC, SB, OptComPort, 107, IAC, IAC, IAC, SE}));
    EXPECT_EQ(s.modemState(), 0xFF);
    feed(s, bytes({IAC, DONT, OptComPort}));
    EXPECT_TRUE(s.comPortRefused());
}

TEST(Telnet, BadInputCannotGrowLoopOrAmplify)
{
    // Endless IAC: pairs are data, nothing is answered.
    {
        Session s(true);
        const ByteString flood(200000, static_cast<char>(0xFF));
        EXPECT_EQ(feed(s, flood), ByteString(100000, static_cast<char>(0xFF)));
        EXPECT_TRUE(s.takeOutgoing().empty());
    }
    // A subnegotiation that never ends holds back at most its limit; a longer one is dropped
    // whole, and the data after it comes through.
    {
        Session s(true);
        ByteString longSub = bytes({IAC, SB, OptComPort, 107});
        longSub += ByteString(5000, 'q');
        EXPECT_TRUE(feed(s, longSub).empty());
        EXPECT_EQ(feed(s, bytes({0x10, IAC, SE, 'o', 'k'})), "ok");
        EXPECT_EQ(s.modemState(), 0);
    }
    // A subnegotiation cut short by another command: that command counts, then data again.
    {
        Session s(true);
        s.greeting();
        EXPECT_EQ(feed(s, bytes({IAC, SB, OptComPort, 101, 1, IAC, WILL, OptEcho, 'z'})), "z");
        EXPECT_EQ(s.takeOutgoing(), bytes({IAC, DONT, OptEcho}));
        EXPECT_EQ(s.answer(cpSetBaudRate).count, 0u);
    }
    // Garbage offers: never more answer bytes than were received.
    {
        Session s(true);
        s.greeting();
        ByteString junk;
        for (int i = 0; i < 3000; ++i)
            junk += bytes({IAC, WILL + i % 4, (i * 37) % 256});
        feed(s, junk);
        EXPECT_LE(s.takeOutgoing().size(), junk.size());
        feed(s, junk);
        EXPECT_LE(s.takeOutgoing().size(), junk.size());
    }
}

TEST(NetworkPortNames, ParsedOrRefused)
{
    struct Case {
        const char* name;
        const char* stored;  // empty: refused
    };
    const Case cases[] = {
        {"tcp://10.0.0.5:4001", "tcp://10.0.0.5:4001"},
        {"RFC2217://Serwer.lan:2000", "rfc2217://Serwer.lan:2000"},
        {" rfc2217://[fe80::1]:7000 ", "rfc2217://[fe80::1]:7000"},
        {"tcp://host:0", ""},
        {"tcp://host:65536", ""},
        {"tcp://host:", ""},
        {"tcp://:4001", ""},
        {"tcp://fe80::1:4001", ""},
        {"tcp://a b:1", ""},
        {"udp://host:1", ""},
        {"tcp://host:12x", ""},
        {"/dev/ttyS0", ""},
    };
    for (const Case& c : cases)
        EXPECT_EQ(NetworkPorts::normalise(c.name), c.stored) << c.name;
    EXPECT_TRUE(net::isNetworkName("tcp://x"));
    EXPECT_FALSE(net::isNetworkName("/dev/tcp"));
}
