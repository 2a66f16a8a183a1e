#pragma once
// JPEG decoding from memory with libjpeg, free of Qt so plain tests can use it. The picture
// comes out as packed 8-bit RGB rows (grey pictures are widened to RGB by libjpeg).
//
// Decoding is strict: what libjpeg only warns about (a truncated stream it pads with a fake
// end marker, corrupt entropy data) is an error here, so a damaged picture is never shown half
// grey as if all were well.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "base/Exceptions.h"

class EJpegError : public Exception {
public:
    using Exception::Exception;
};

struct JpegPicture {
    int width = 0;
    int height = 0;
    bool progressive = false;     // the frame is a progressive one (SOF2)
    bool multipleScans = false;   // jpeg_has_multiple_scans: the data comes in several scans
    std::vector<uint8_t> rgb;     // height rows of width * 3 bytes, top row first
};

// Pictures beyond this many pixels are refused before anything is allocated for them.
constexpr uint64_t JpegMaxPixels = 64ull * 1024 * 1024;

// Throws EJpegError with libjpeg's message when the data is not a sound JPEG.
JpegPicture decodeJpeg(const uint8_t* data, size_t size);
