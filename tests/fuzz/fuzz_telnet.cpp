// The Telnet / RFC 2217 layer fed arbitrary server bytes in arbitrary chunks. The first byte of
// each step picks the chunk's length. Checks what must hold for any input: no answer larger than
// what came in, data never more than the bytes received, and an escaped write decoding back whole.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "serial/Telnet.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    telnet::Session session(size > 0 && (data[0] & 1));
    const size_t greeting = session.greeting().size();
    size_t pos = 0, received = 0, answered = 0, delivered = 0;
    while (pos < size) {
        const size_t len = 1 + data[pos++] % 64;
        const size_t take = std::min(len, size - pos);
        ByteString out;
        session.receive(reinterpret_cast<const char*>(data + pos), take, out);
        pos += take;
        received += take;
        delivered += out.size();
        answered += session.takeOutgoing().size();
        if (delivered > received || answered > received + greeting)
            abort();
    }
    // Whatever the input, escaping it and reading it back in a fresh session gives it whole.
    const ByteString plain(reinterpret_cast<const char*>(data), size);
    telnet::Session reader(true);
    ByteString back;
    const ByteString wire = telnet::escape(plain);
    reader.receive(wire.data(), wire.size(), back);
    if (back != plain || !reader.takeOutgoing().empty())
        abort();
    if (telnet::sourceBytesSent(plain, wire.size()) != plain.size())
        abort();
    return 0;
}
