// The bus monitor's describer and trace on arbitrary traffic: frames the PC sends (any bytes,
// or well-formed frames with the window's own accounting) and receptions run through the real
// assembler. The first byte of each step picks what happens and how many bytes it takes.
// Every entry must carry a meaning in valid UTF-8 and a counter row of 0..4, what was dropped
// must be bounded, and the counters must add up to the frames sent.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "link/Describe.h"
#include "link/Frame.h"
#include "link/Reply.h"

namespace {

bool validUtf8(const std::string& s)
{
    for (size_t i = 0; i < s.size();) {
        const unsigned char c = static_cast<unsigned char>(s[i]);
        const size_t n = c < 0x80 ? 1 : (c >> 5) == 0x6 ? 2 : (c >> 4) == 0xE ? 3 : (c >> 3) == 0x1E ? 4 : 0;
        if (n == 0 || i + n > s.size())
            return false;
        for (size_t k = 1; k < n; ++k)
            if ((static_cast<unsigned char>(s[i + k]) >> 6) != 0x2)
                return false;
        i += n;
    }
    return true;
}

void check(const std::vector<TraceEntry>& entries)
{
    for (const TraceEntry& e : entries) {
        if (e.meaning.empty() || !validUtf8(e.meaning) || e.row < 0 || e.row > 4) {
            std::fprintf(stderr, "entry kind %d row %d, bytes %s, meaning \"%s\"\n", static_cast<int>(e.kind), e.row,
                         toHex(e.bytes).c_str(), e.meaning.c_str());
            abort();
        }
        if (e.bytes.size() > BusTrace::MirrorLimit + 256)
            abort();
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    LinkState link;
    BusTrace trace;
    uint64_t sent = 0;
    size_t pos = 0;
    while (pos < size) {
        const uint8_t op = data[pos++];
        const size_t take = std::min<size_t>(op >> 2, size - pos);
        const ByteString bytes(reinterpret_cast<const char*>(data + pos), take);
        pos += take;
        switch (op & 3) {
        case 0:   // any bytes, as if written raw
            check(trace.frameSent(bytes, nullptr));
            ++sent;
            break;
        case 1: { // a frame as the window builds it, with its accounting
            const uint8_t address = bytes.empty() ? 0 : byteAt(bytes, 0);
            const FrameAccounting account = accountFrame(link, address);
            check(trace.frameSent(Frame::build(account.address, bytes.substr(bytes.empty() ? 0 : 1)), &account));
            ++sent;
            break;
        }
        default: { // a reception
            noteReception(link, bytes);
            trace.bytesReceived(bytes);
            const AssembleReport report = assembleReply(link, [&](uint8_t address, const ByteString& payload) {
                decodeStatus(link, address, payload);
            });
            check(trace.replyAssembled(report));
            break;
        }
        }
        if (!validUtf8(Describe::sentFrame(bytes)) || !validUtf8(Describe::pollSettings(op)))
            abort();
    }
    uint64_t counted = 0;
    for (const TraceCounters& c : trace.counters())
        counted += c.sent;
    if (counted != sent)
        abort();
    return 0;
}
