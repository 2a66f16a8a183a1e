#include "serial/Telnet.h"

namespace telnet {

ByteString escape(const ByteString& data)
{
    ByteString out;
    out.reserve(data.size() + 4);
    for (char c : data) {
        out.push_back(c);
        if (static_cast<uint8_t>(c) == IAC)
            out.push_back(c);
    }
    return out;
}

size_t sourceBytesSent(const ByteString& data, size_t sent)
{
    size_t used = 0, n = 0;
    for (char c : data) {
        used += static_cast<uint8_t>(c) == IAC ? 2 : 1;
        if (used > sent)
            break;
        ++n;
    }
    return n;
}

Session::Session(bool comPort) : comPort_(comPort) {}

bool Session::wantHim(uint8_t opt) const
{
    return opt == OptBinary || opt == OptSuppressGoAhead;
}

bool Session::wantUs(uint8_t opt) const
{
    return opt == OptBinary || opt == OptSuppressGoAhead || (opt == OptComPort && comPort_);
}

void Session::send3(uint8_t verb, uint8_t opt)
{
    out_.push_back(static_cast<char>(IAC));
    out_.push_back(static_cast<char>(verb));
    out_.push_back(static_cast<char>(opt));
}

ByteString Session::greeting()
{
    if (!comPort_)
        return {};
    for (uint8_t opt : {OptBinary, OptSuppressGoAhead, OptComPort}) {
        us_[opt] = State::WantYes;
        send3(WILL, opt);
    }
    for (uint8_t opt : {OptBinary, OptSuppressGoAhead}) {
        him_[opt] = State::WantYes;
        send3(DO, opt);
    }
    return takeOutgoing();
}

ByteString Session::takeOutgoing()
{
    ByteString out;
    out.swap(out_);
    return out;
}

void Session::receive(const char* bytes, size_t count, ByteString& data)
{
    if (!comPort_) {
        data.append(bytes, count);
        return;
    }
    for (size_t i = 0; i < count; ++i) {
        const auto b = static_cast<uint8_t>(bytes[i]);
        switch (parse_) {
        case Parse::Data:
            if (b == IAC)
                parse_ = Parse::Iac;
            else
                data.push_back(static_cast<char>(b));
            break;
        case Parse::Iac:
            if (b == IAC) {
                data.push_back(static_cast<char>(b));
                parse_ = Parse::Data;
            } else if (b >= WILL) {
                verb_ = b;
                parse_ = Parse::Option;
            } else if (b == SB) {
                sub_.clear();
                subOverflow_ = false;
                parse_ = Parse::Sub;
            } else {
                parse_ = Parse::Data;  // NOP, GA, DM, a stray SE or an unknown code: nothing to do
            }
            break;
        case Parse::Option:
            option(verb_, b);
            parse_ = Parse::Data;
            break;
        case Parse::Sub:
            if (b == IAC) {
                parse_ = Parse::SubIac;
                break;
            }
            if (sub_.size() < MaxSubnegotiation)
                sub_.push_back(static_cast<char>(b));
            else
                subOverflow_ = true;
            break;
        case Parse::SubIac:
            if (b == IAC) {
                if (sub_.size() < MaxSubnegotiation)
                    sub_.push_back(static_cast<char>(b));
                else
                    subOverflow_ = true;
                parse_ = Parse::Sub;
            } else if (b == SE) {
                if (!subOverflow_)
                    subnegotiation();
                parse_ = Parse::Data;
            } else {
                // A command inside a subnegotiation: the server never finished it. Drop what
                // was gathered and read this command as the start of a new one.
                parse_ = Parse::Iac;
                --i;
            }
            break;
        }
    }
}

void Session::option(uint8_t verb, uint8_t opt)
{
    State& him = him_[opt];
    State& us = us_[opt];
    switch (verb) {
    case WILL:
        if (him == State::Yes)
            break;
        if (him == State::WantYes) {
            him = State::Yes;
        } else if (wantHim(opt)) {
            him = State::Yes;
            send3(DO, opt);
        } else {
            send3(DONT, opt);  // him stays No: the same offer again gets the same one answer
        }
        break;
    case WONT:
        if (opt == OptBinary && comPort_ && him != State::No)
            binaryRefused_ = true;
        if (him == State::Yes)
            send3(DONT, opt);
        him = State::No;
        break;
    case DO:
        if (us == State::Yes)
            break;
        if (us == State::WantYes) {
            us = State::Yes;
        } else if (wantUs(opt)) {
            us = State::Yes;
            send3(WILL, opt);
        } else {
            send3(WONT, opt);
        }
        break;
    case DONT:
        if (opt == OptComPort && comPort_ && us != State::No)
            comPortRefused_ = true;
        if (opt == OptBinary && comPort_ && us != State::No)
            binaryRefused_ = true;
        if (us == State::Yes)
            send3(WONT, opt);
        us = State::No;
        break;
    default:
        break;
    }
}

void Session::subnegotiation()
{
    if (sub_.size() < 2 || byteAt(sub_, 0) != OptComPort)
        return;
    const uint8_t code = byteAt(sub_, 1);
    if (code < ServerOffset || code >= ServerOffset + ComCommandCount)
        return;
    const auto cmd = static_cast<ComCommand>(code - ServerOffset);
    const ByteString value = sub_.substr(2);
    // Answers of the wrong length are not answers.
    switch (cmd) {
    case cpSignature:
        break;
    case cpSetBaudRate:
        if (value.size() != 4)
            return;
        break;
    case cpFlowSuspend:
        suspended_ = true;
        break;
    case cpFlowResume:
        suspended_ = false;
        break;
    default:
        if (value.size() != 1)
            return;
        if (cmd == cpNotifyModemState)
            modemState_ = byteAt(value, 0);
        break;
    }
    Answer& a = answers_[cmd];
    ++a.count;
    a.value = value;
}

ByteString Session::command(ComCommand cmd, const ByteString& value)
{
    ByteString out;
    out.push_back(static_cast<char>(IAC));
    out.push_back(static_cast<char>(SB));
    out.push_back(static_cast<char>(OptComPort));
    out.push_back(static_cast<char>(cmd));
    out += escape(value);
    out.push_back(static_cast<char>(IAC));
    out.push_back(static_cast<char>(SE));
    return out;
}

ByteString Session::setBaudRate(uint32_t baud)
{
    ByteString v(4, '\0');
    for (int i = 0; i < 4; ++i)
        v[i] = static_cast<char>((baud >> (24 - 8 * i)) & 0xFF);
    return command(cpSetBaudRate, v);
}

ByteString Session::setByte(ComCommand cmd, uint8_t value)
{
    return command(cmd, ByteString(1, static_cast<char>(value)));
}

} // namespace telnet
