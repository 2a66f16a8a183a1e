// The libjpeg decoder of the help dialog's picture: the committed picture, pictures encoded
// here, and damaged data that must be refused rather than shown or crash the program.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <jpeglib.h>

#include "dialogs/JpegImage.h"
#include "tests/support/BuildPaths.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes readFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), {});
}

Bytes committedPicture()
{
    return readFile(sourceDir() + "/dialogs/help-picture.jpg");
}

// Encodes a small test pattern: red rises to the right, green downwards, blue fixed.
Bytes encode(int width, int height, bool grey, bool progressive)
{
    jpeg_compress_struct cinfo;
    jpeg_error_mgr err;
    cinfo.err = jpeg_std_error(&err);
    jpeg_create_compress(&cinfo);
    unsigned char* buffer = nullptr;
    unsigned long size = 0;
    jpeg_mem_dest(&cinfo, &buffer, &size);
    cinfo.image_width = width;
    cinfo.image_height = height;
    cinfo.input_components = grey ? 1 : 3;
    cinfo.in_color_space = grey ? JCS_GRAYSCALE : JCS_RGB;
    jpeg_set_defaults(&cinfo);
    jpeg_set_quality(&cinfo, 95, TRUE);
    if (progressive)
        jpeg_simple_progression(&cinfo);
    jpeg_start_compress(&cinfo, TRUE);
    std::vector<uint8_t> row(size_t(width) * cinfo.input_components);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            if (grey) {
                row[x] = static_cast<uint8_t>(x * 255 / (width - 1));
            } else {
                row[x * 3] = static_cast<uint8_t>(x * 255 / (width - 1));
                row[x * 3 + 1] = static_cast<uint8_t>(y * 255 / (height - 1));
                row[x * 3 + 2] = 64;
            }
        }
        JSAMPROW r = row.data();
        jpeg_write_scanlines(&cinfo, &r, 1);
    }
    jpeg_finish_compress(&cinfo);
    jpeg_destroy_compress(&cinfo);
    Bytes out(buffer, buffer + size);
    std::free(buffer);
    return out;
}

const uint8_t* pixel(const JpegPicture& p, int x, int y)
{
    return p.rgb.data() + (size_t(y) * p.width + x) * 3;
}

JpegPicture decode(const Bytes& b)
{
    return decodeJpeg(b.data(), b.size());
}

} // namespace

TEST(HelpJpeg, CommittedPictureIsProgressive1012x666ClockFace)
{
    const Bytes file = committedPicture();
    ASSERT_GT(file.size(), 1000u);
    const JpegPicture p = decode(file);
    EXPECT_EQ(p.width, 1012);
    EXPECT_EQ(p.height, 666);
    EXPECT_TRUE(p.progressive);
    EXPECT_TRUE(p.multipleScans);
    ASSERT_EQ(p.rgb.size(), 1012u * 666u * 3u);

    // A lit segment (the right-hand stroke of the first digit "1") is bright red, the unlit
    // left-hand one of the same digit nearly black, the surround dark grey.
    const uint8_t* lit = pixel(p, 236, 250);
    EXPECT_GT(lit[0], 200);
    EXPECT_LT(lit[1], 110);
    EXPECT_LT(lit[2], 110);
    const uint8_t* unlit = pixel(p, 100, 250);
    EXPECT_LT(unlit[0], 90);
    const uint8_t* corner = pixel(p, 4, 4);
    EXPECT_LT(corner[0], 50);
    EXPECT_LT(corner[1], 50);
    EXPECT_LT(corner[2], 50);
}

TEST(HelpJpeg, EncodedPicturesDecodeWithTheirKindAndPixels)
{
    struct Case {
        const char* name;
        bool grey;
        bool progressive;
    };
    const Case cases[] = {
        {"baseline colour", false, false},
        {"progressive colour", false, true},
        {"baseline grey", true, false},
        {"progressive grey", true, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const JpegPicture p = decode(encode(48, 24, c.grey, c.progressive));
        EXPECT_EQ(p.width, 48);
        EXPECT_EQ(p.height, 24);
        EXPECT_EQ(p.progressive, c.progressive);
        EXPECT_EQ(p.multipleScans, c.progressive);
        ASSERT_EQ(p.rgb.size(), 48u * 24u * 3u);
        const uint8_t* left = pixel(p, 1, 12);
        const uint8_t* right = pixel(p, 46, 12);
        EXPECT_LT(left[0], 40);
        EXPECT_GT(right[0], 215);
        if (c.grey) {
            EXPECT_EQ(right[0], right[1]);
            EXPECT_EQ(right[0], right[2]);
        } else {
            EXPECT_NEAR(pixel(p, 24, 1)[1], 10, 25);
            EXPECT_NEAR(pixel(p, 24, 22)[1], 243, 25);
            EXPECT_NEAR(right[2], 64, 20);
        }
    }
}

TEST(HelpJpeg, RefusesDataThatIsNoJpeg)
{
    const Bytes png = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A, 0, 0, 0, 13};
    const Bytes soiOnly = {0xFF, 0xD8};
    const Bytes garbage(300, 0xA5);
    for (const Bytes* b : {&png, &soiOnly, &garbage})
        EXPECT_THROW(decode(*b), EJpegError);
    EXPECT_THROW(decodeJpeg(nullptr, 0), EJpegError);
    EXPECT_THROW(decodeJpeg(png.data(), 0), EJpegError);
}

// libjpeg on its own pads a cut stream with a fake end marker and returns a half-grey
// picture; every cut of the committed picture must be refused instead.
TEST(HelpJpeg, RefusesEveryTruncationOfThePicture)
{
    const Bytes file = committedPicture();
    ASSERT_GT(file.size(), 1000u);
    int refused = 0;
    for (size_t cut = 1; cut < file.size() - 2; cut += 997) {
        const Bytes head(file.begin(), file.begin() + cut);
        try {
            decode(head);
            ADD_FAILURE() << "a cut at " << cut << " bytes was accepted";
        } catch (const EJpegError& e) {
            EXPECT_NE(std::string(e.what()).find("JPEG: "), std::string::npos);
            ++refused;
        }
    }
    EXPECT_GT(refused, 30);
    // The message is libjpeg's own.
    const Bytes half(file.begin(), file.begin() + file.size() / 2);
    try {
        decode(half);
        FAIL();
    } catch (const EJpegError& e) {
        EXPECT_NE(std::string(e.what()).find("Premature end"), std::string::npos) << e.what();
    }
}

TEST(HelpJpeg, RefusesHugeDimensionsBeforeAllocating)
{
    Bytes b = encode(16, 16, false, false);
    // Patch the frame header (FF C0, length, precision, height, width) to 65000 x 65000.
    bool patched = false;
    for (size_t i = 0; i + 8 < b.size(); ++i) {
        if (b[i] == 0xFF && b[i + 1] == 0xC0) {
            b[i + 5] = 0xFD; b[i + 6] = 0xE8;
            b[i + 7] = 0xFD; b[i + 8] = 0xE8;
            patched = true;
            break;
        }
    }
    ASSERT_TRUE(patched);
    try {
        decode(b);
        FAIL();
    } catch (const EJpegError& e) {
        EXPECT_NE(std::string(e.what()).find("65000 x 65000"), std::string::npos) << e.what();
    }
}
