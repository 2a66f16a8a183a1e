// The bus simulator fed arbitrary bytes at arbitrary times, with every fault switched on: it
// must never crash, and the replies it schedules must be due in order.
#include <cstdint>
#include <cstdlib>

#include "sim/Bus.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    sim::BusOptions options;
    for (int id = 1; id <= 4; ++id)
        options.clocks.push_back(sim::ClockSetup{id, 1200, std::nullopt});
    options.faults.dropShare = 0.1;
    options.faults.corruptShare = 0.1;
    options.faults.splitShare = 0.2;
    options.faults.garbageShare = 0.2;
    options.faults.withheldAcks = {1, 3};
    sim::Bus bus(options);

    sim::Micros now = 0;
    size_t pos = 0;
    while (pos < size) {
        const uint8_t step = data[pos++];
        now += (step & 0x0F) * 7 * sim::kMilli;   // gaps up to ~100 ms, past the frame gap
        const size_t take = std::min<size_t>(1 + (step >> 4) * 5, size - pos);
        bus.receive(ByteString(reinterpret_cast<const char*>(data + pos), take), now);
        pos += take;
        sim::Micros last = 0;
        for (const auto& t : bus.takeDue(now)) {
            if (t.due < last || t.due > now)
                abort();
            last = t.due;
        }
        bus.view(now);
    }
    return 0;
}
