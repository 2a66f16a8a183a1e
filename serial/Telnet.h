#pragma once
// The Telnet layer of a network port, with the COM port control option (RFC 2217) on top.
// No I/O of its own: the port feeds it what the socket gave and sends what it hands back.
//
// Data: 0xFF is doubled on the way out and undoubled on the way in (the bus's broadcast address
// is 0xFF). Options: we ask for BINARY and SUPPRESS-GO-AHEAD both ways and offer COM-PORT;
// anything else is refused once, and an answer that changes nothing is never answered again, so
// two peers cannot talk each other into a loop. Subnegotiations are kept up to a small limit;
// a longer one is dropped whole. Every input byte is looked at once: no input, however odd,
// makes the layer loop, grow without bound or answer with more than it received.
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>

#include "base/Bytes.h"

namespace telnet {

enum : uint8_t {
    SE = 240, NOP = 241, DM = 242, BRK = 243, IP = 244, AO = 245, AYT = 246, EC = 247, EL = 248,
    GA = 249, SB = 250, WILL = 251, WONT = 252, DO = 253, DONT = 254, IAC = 255
};
enum : uint8_t { OptBinary = 0, OptEcho = 1, OptSuppressGoAhead = 3, OptComPort = 44 };

// COM-PORT commands as the client sends them; the server answers with the same code + 100.
enum ComCommand : uint8_t {
    cpSignature = 0, cpSetBaudRate = 1, cpSetDataSize = 2, cpSetParity = 3, cpSetStopSize = 4,
    cpSetControl = 5, cpNotifyLineState = 6, cpNotifyModemState = 7, cpFlowSuspend = 8,
    cpFlowResume = 9, cpSetLineStateMask = 10, cpSetModemStateMask = 11, cpPurgeData = 12
};
constexpr int ComCommandCount = 13;
constexpr uint8_t ServerOffset = 100;

// RFC 2217 values.
namespace value {
constexpr uint8_t ParityNone = 1, ParityOdd = 2, ParityEven = 3, ParityMark = 4, ParitySpace = 5;
constexpr uint8_t StopOne = 1, StopTwo = 2, StopOneAndHalf = 3;
constexpr uint8_t FlowNone = 1, FlowXonXoff = 2, FlowHardware = 3;
constexpr uint8_t DtrOn = 8, DtrOff = 9, RtsOn = 11, RtsOff = 12;
constexpr uint8_t PurgeReceive = 1, PurgeTransmit = 2, PurgeBoth = 3;
}

// Doubles every 0xFF.
ByteString escape(const ByteString& data);
// The number of bytes of `data` whose escaped form ends within the first `sent` escaped bytes.
size_t sourceBytesSent(const ByteString& data, size_t sent);

class Session {
public:
    // comPort: RFC 2217 (offer COM-PORT); false: raw Telnet-free TCP, where every byte is data.
    explicit Session(bool comPort);

    bool comPort() const { return comPort_; }
    // What the client says first.
    ByteString greeting();
    // Feeds received bytes; appends the data among them to `data`. Answers pile up in
    // outgoing() until taken.
    void receive(const char* bytes, size_t count, ByteString& data);
    ByteString takeOutgoing();

    // A COM-PORT command with its value (already in network order), framed and escaped.
    static ByteString command(ComCommand cmd, const ByteString& value);
    static ByteString setBaudRate(uint32_t baud);
    static ByteString setByte(ComCommand cmd, uint8_t value);

    // The server's latest answer to a command; `answers(cmd)` counts them, so a caller can wait
    // for the one that follows its request.
    struct Answer {
        uint32_t count = 0;
        ByteString value;
    };
    const Answer& answer(ComCommand cmd) const { return answers_[cmd]; }
    // The server refused the COM-PORT option (DONT COM-PORT after our WILL).
    bool comPortRefused() const { return comPortRefused_; }
    bool comPortAgreed() const { return us_[OptComPort] == State::Yes; }
    // Modem lines from NOTIFY-MODEMSTATE (CTS 0x10, DSR 0x20, RI 0x40, CD 0x80); 0 before any.
    uint8_t modemState() const { return modemState_; }
    // The server asked us to hold our data (FLOWCONTROL-SUSPEND) and not yet to resume.
    bool suspended() const { return suspended_; }
    // The server refused binary transmission (RFC 856) in either direction, at first or later.
    bool binaryRefused() const { return binaryRefused_; }

    static constexpr size_t MaxSubnegotiation = 64;

private:
    enum class State : uint8_t { No, Yes, WantYes };
    enum class Parse : uint8_t { Data, Iac, Option, Sub, SubIac };

    void option(uint8_t verb, uint8_t opt);
    void subnegotiation();
    void send3(uint8_t verb, uint8_t opt);
    bool wantHim(uint8_t opt) const;
    bool wantUs(uint8_t opt) const;

    bool comPort_;
    Parse parse_ = Parse::Data;
    uint8_t verb_ = 0;
    ByteString sub_;
    bool subOverflow_ = false;
    std::array<State, 256> us_{};   // our side of each option
    std::array<State, 256> him_{};  // the server's side
    std::array<Answer, ComCommandCount> answers_{};
    bool comPortRefused_ = false;
    uint8_t modemState_ = 0;
    bool suspended_ = false;
    bool binaryRefused_ = false;
    ByteString out_;
};

} // namespace telnet
