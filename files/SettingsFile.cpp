#include "files/SettingsFile.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <iconv.h>
#include <stdexcept>

#include "base/ErrnoText.h"
#include "base/Exceptions.h"

namespace {

// One conversion descriptor per call: names are a few bytes, so opening costs nothing worth
// caching, and nothing is shared between threads.
class Converter {
public:
    Converter(const char* to, const char* from) : cd_(iconv_open(to, from))
    {
        if (cd_ == reinterpret_cast<iconv_t>(-1))
            throw Exception(std::string("iconv ") + from + " -> " + to + ": " + ErrnoText(errno));
    }
    ~Converter() { iconv_close(cd_); }
    Converter(const Converter&) = delete;
    Converter& operator=(const Converter&) = delete;

    // skipLength tells how many input bytes an unconvertible character spans.
    template <typename Skip>
    std::string run(const std::string& input, Skip skipLength)
    {
        std::string out;
        char buffer[256];
        char* in = const_cast<char*>(input.data());
        size_t inLeft = input.size();
        while (inLeft > 0) {
            char* o = buffer;
            size_t oLeft = sizeof buffer;
            const size_t r = iconv(cd_, &in, &inLeft, &o, &oLeft);
            out.append(buffer, o);
            if (r != static_cast<size_t>(-1))
                continue;
            if (errno == E2BIG)
                continue;
            // EILSEQ (no such character, or malformed input) or EINVAL (cut at the end).
            const size_t skip = std::min(inLeft, std::max<size_t>(1, skipLength(static_cast<uint8_t>(*in))));
            in += skip;
            inLeft -= skip;
            out += '?';
        }
        char* o = buffer;
        size_t oLeft = sizeof buffer;
        iconv(cd_, nullptr, nullptr, &o, &oLeft);
        out.append(buffer, o);
        return out;
    }

private:
    iconv_t cd_;
};

size_t utf8SequenceLength(uint8_t lead)
{
    if (lead < 0x80) return 1;
    if ((lead & 0xE0) == 0xC0) return 2;
    if ((lead & 0xF0) == 0xE0) return 3;
    if ((lead & 0xF8) == 0xF0) return 4;
    return 1;  // a stray continuation byte
}

} // namespace

namespace SettingsFile {

std::string toCp1250(const std::string& utf8)
{
    Converter c("WINDOWS-1250", "UTF-8");
    return c.run(utf8, utf8SequenceLength);
}

bool fitsCp1250(const std::string& utf8)
{
    bool fits = true;
    Converter c("WINDOWS-1250", "UTF-8");
    c.run(utf8, [&fits](uint8_t lead) {
        fits = false;
        return utf8SequenceLength(lead);
    });
    return fits;
}

std::string fromCp1250(const std::string& cp1250)
{
    Converter c("UTF-8", "WINDOWS-1250");
    return c.run(cp1250, [](uint8_t) { return size_t{1}; });
}

ByteString build(const Values& v)
{
    ByteString image(Tag, 3);
    image += static_cast<char>(v.portIndex < 0 ? 0xFF : (v.portIndex & 0xFF));
    for (const Clock& c : v.clocks) {
        std::string name = toCp1250(c.name);
        if (name.size() > MaxNameBytes)
            name.resize(MaxNameBytes);  // single-byte code page: any cut is between characters
        image += static_cast<char>(name.size());
        image += name;
    }
    for (const Clock& c : v.clocks) image += static_cast<char>(c.active ? 1 : 0);
    for (const Clock& c : v.clocks) image += static_cast<char>(c.countDown ? 1 : 0);
    for (const Clock& c : v.clocks) image += static_cast<char>(c.displayOff ? 1 : 0);
    for (const Clock& c : v.clocks) image += static_cast<char>(c.brightness);
    uint8_t mode = 0;
    for (size_t i = 0; i < v.clocks.size(); ++i)
        if (v.clocks[i].rtc) mode |= static_cast<uint8_t>(0x10 << i);
    image += static_cast<char>(mode);
    image += static_cast<char>(v.autoConnect ? 1 : 0);
    image += static_cast<char>(xorBytes(reinterpret_cast<const uint8_t*>(image.data()), image.size()));
    return image;
}

std::optional<Values> parse(const uint8_t* image, size_t size)
{
    if (size < 5)
        return std::nullopt;
    Values v;
    v.portIndex = image[3] == 0xFF ? -1 : image[3];
    size_t pos = 4;
    for (Clock& c : v.clocks) {
        if (pos >= size)
            return std::nullopt;
        const size_t length = image[pos++];
        if (length > size - pos)
            return std::nullopt;
        c.name = fromCp1250(std::string(reinterpret_cast<const char*>(image + pos), length));
        pos += length;
    }
    // pos is now P, the first flag; the check byte sits at P + 18.
    if (size - pos < FlagBytes)
        return std::nullopt;
    const uint8_t* f = image + pos;
    for (size_t i = 0; i < 4; ++i) {
        Clock& c = v.clocks[i];
        c.active = f[i] != 0;
        c.countDown = f[4 + i] != 0;
        c.displayOff = f[8 + i] != 0;
        c.brightness = f[12 + i];
        c.rtc = (f[16] & (0x10 << i)) != 0;
    }
    v.autoConnect = f[17] != 0;
    return v;
}

} // namespace SettingsFile

uint8_t xorBytes(const uint8_t* data, size_t count)
{
    uint8_t x = 0;
    for (size_t i = 0; i < count; ++i) x ^= data[i];
    return x;
}

TaggedCheck checkTaggedImage(const uint8_t* buffer, size_t size, const char* tag)
{
    if (size < 2)
        throw std::invalid_argument("checkTaggedImage: file too small");
    TaggedCheck r;
    r.tagOk = std::memcmp(buffer, tag, 3) == 0;
    r.checkByteOk = xorBytes(buffer, size - 1) == buffer[size - 1];
    return r;
}

std::string sizeRefusal(int64_t size, int64_t minSize, int64_t maxSize, const std::string& what)
{
    if (size >= minSize && size <= maxSize)
        return {};
    return what + " ma nieprawidłowy rozmiar: " + std::to_string(size) + " B (dozwolone od "
        + std::to_string(minSize) + " do " + std::to_string(maxSize) + " B)";
}
