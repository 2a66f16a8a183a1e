// Echo filter benchmark: the cost per received byte of dropping the echo of each written frame,
// against the plain path (filter off), for the chunk sizes a tty read gives: the echo and the
// reply in one read, byte by byte, and in the middle.
//
//   bench_echo [--rounds N]      (default 200000 polls per figure)
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "link/Echo.h"
#include "link/Frame.h"

namespace {

using Clock = std::chrono::steady_clock;

ByteString data(std::initializer_list<int> list)
{
    ByteString b;
    for (int v : list)
        b += static_cast<char>(v);
    return b;
}

// Nanoseconds per received byte for `rounds` polls of four clocks, each answered by its echo
// and its reply, read `chunk` bytes at a time.
double nsPerByte(bool on, size_t chunk, int rounds, size_t& kept)
{
    EchoFilter echo;
    echo.setEnabled(on);
    ByteString polls[4], wires[4];
    for (int c = 0; c < 4; ++c) {
        polls[c] = Frame::build(static_cast<uint8_t>(c + 1), data({0x60}));
        wires[c] = polls[c] + Frame::build(static_cast<uint8_t>(c + 1), data({0x12, 0x34, 0x03, 0x4F}));
    }
    size_t bytes = 0;
    kept = 0;
    const auto start = Clock::now();
    for (int r = 0; r < rounds; ++r) {
        const int c = r % 4;
        echo.sent(polls[c]);
        const ByteString& wire = wires[c];
        for (size_t at = 0; at < wire.size(); at += chunk)
            kept += echo.filter(wire.substr(at, chunk)).size();
        bytes += wire.size();
    }
    const double ns = std::chrono::duration<double, std::nano>(Clock::now() - start).count();
    return ns / static_cast<double>(bytes);
}

} // namespace

int main(int argc, char** argv)
{
    int rounds = 200000;
    for (int i = 1; i + 1 < argc; ++i)
        if (std::strcmp(argv[i], "--rounds") == 0)
            rounds = std::max(1, std::atoi(argv[i + 1]));
    std::printf("echo filter, %d polls per figure (echo 5 bytes + reply 8 bytes each)\n", rounds);
    std::printf("%-22s %14s %14s\n", "read size", "off ns/byte", "on ns/byte");
    for (size_t chunk : {size_t{1}, size_t{4}, size_t{64}}) {
        size_t keptOff = 0, keptOn = 0;
        const double off = nsPerByte(false, chunk, rounds, keptOff);
        const double on = nsPerByte(true, chunk, rounds, keptOn);
        std::printf("%-22zu %14.1f %14.1f   (bytes passed: %zu off, %zu on)\n", chunk, off, on, keptOff, keptOn);
    }
    return 0;
}
