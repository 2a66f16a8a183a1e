#include "dialogs/JpegImage.h"

#include <csetjmp>
#include <cstdio>  // jpeglib.h needs FILE
#include <cstring>
#include <string>

#include <jpeglib.h>

namespace {

// libjpeg's default error exit ends the process; this one jumps back into decodeJpeg instead.
// Throwing a C++ exception through libjpeg's C frames is not safe, hence setjmp/longjmp.
struct ErrorManager {
    jpeg_error_mgr pub;
    std::jmp_buf jump;
    char message[JMSG_LENGTH_MAX];
};

void errorExit(j_common_ptr cinfo)
{
    auto* err = reinterpret_cast<ErrorManager*>(cinfo->err);
    (*cinfo->err->format_message)(cinfo, err->message);
    std::longjmp(err->jump, 1);
}

// A warning (level -1) is corrupt or truncated data that libjpeg would paper over: end the
// decoding the same way. Trace messages (levels 0 and up) are dropped.
void emitMessage(j_common_ptr cinfo, int level)
{
    if (level < 0)
        errorExit(cinfo);
}

// Owns the decompressor so that every way out of decodeJpeg releases libjpeg's memory. It is
// built before setjmp, so a longjmp back into decodeJpeg leaves it intact.
struct Decompressor {
    jpeg_decompress_struct cinfo;
    ErrorManager err;

    Decompressor()
    {
        std::memset(&cinfo, 0, sizeof cinfo);
        std::memset(&err, 0, sizeof err);
        cinfo.err = jpeg_std_error(&err.pub);
        err.pub.error_exit = errorExit;
        err.pub.emit_message = emitMessage;
    }
    ~Decompressor() { jpeg_destroy_decompress(&cinfo); }  // safe before create: mem is null
    Decompressor(const Decompressor&) = delete;
    Decompressor& operator=(const Decompressor&) = delete;
};

[[noreturn]] void fail(const std::string& what)
{
    throw EJpegError("JPEG: " + what);
}

// Everything that may longjmp runs here; the picture it fills lives in the caller's frame, so
// no object of this frame is read after a jump but the decompressor's own error text.
void decodeInto(Decompressor& d, const uint8_t* data, size_t size, JpegPicture& picture)
{
    if (setjmp(d.err.jump))
        fail(d.err.message);

    jpeg_create_decompress(&d.cinfo);
    jpeg_mem_src(&d.cinfo, data, static_cast<unsigned long>(size));
    jpeg_read_header(&d.cinfo, TRUE);
    picture.progressive = d.cinfo.progressive_mode != 0;
    picture.multipleScans = jpeg_has_multiple_scans(&d.cinfo) != 0;

    d.cinfo.out_color_space = JCS_RGB;
    jpeg_calc_output_dimensions(&d.cinfo);
    const uint64_t pixels = uint64_t(d.cinfo.output_width) * d.cinfo.output_height;
    if (pixels == 0 || pixels > JpegMaxPixels)
        fail("picture of " + std::to_string(d.cinfo.output_width) + " x "
             + std::to_string(d.cinfo.output_height) + " pixels refused");

    jpeg_start_decompress(&d.cinfo);
    if (d.cinfo.output_components != 3)
        fail("unexpected output of " + std::to_string(d.cinfo.output_components) + " components");
    const size_t stride = size_t(d.cinfo.output_width) * 3;
    picture.rgb.resize(stride * d.cinfo.output_height);
    while (d.cinfo.output_scanline < d.cinfo.output_height) {
        JSAMPROW row = picture.rgb.data() + stride * d.cinfo.output_scanline;
        jpeg_read_scanlines(&d.cinfo, &row, 1);
    }
    jpeg_finish_decompress(&d.cinfo);
    picture.width = static_cast<int>(d.cinfo.output_width);
    picture.height = static_cast<int>(d.cinfo.output_height);
}

} // namespace

JpegPicture decodeJpeg(const uint8_t* data, size_t size)
{
    if (!data || size == 0)
        fail("no data");
    JpegPicture picture;
    Decompressor decompressor;
    decodeInto(decompressor, data, size, picture);
    return picture;
}
