// Reply assembler and decoder fed arbitrary bytes in arbitrary chunks. The first byte of each
// step picks the chunk's length, so the fuzzer explores the split points as well as the bytes.
#include <cstddef>
#include <cstdint>
#include <algorithm>
#include <cstdlib>

#include "link/Reply.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    LinkState link;
    size_t pos = 0;
    while (pos < size) {
        const size_t len = 1 + data[pos++] % 24;
        const size_t take = std::min(len, size - pos);
        const ByteString chunk(reinterpret_cast<const char*>(data + pos), take);
        pos += take;

        noteReception(link, chunk);
        const auto report = assembleReply(link, [&](uint8_t address, const ByteString& payload) {
            const auto shown = decodeStatus(link, address, payload);
            if (shown && (shown->clock < 1 || shown->clock > 4 || shown->voltageText.empty()))
                abort();
        });
        // A resolved frame always leaves an empty buffer; a started one holds less than one
        // longest reply from its start byte on, so the buffer never grows without bound.
        if (report.outcome != AssembleOutcome::Waiting && !link.RxBuffer.empty())
            abort();
        if (report.outcome == AssembleOutcome::Waiting) {
            if (!link.FrameStartFound || link.FrameStart < 1 || link.FrameStart > link.RxBuffer.size())
                abort();
            if (link.RxBuffer.size() - (link.FrameStart - 1) > 14)
                abort();
        }
    }
    return 0;
}
