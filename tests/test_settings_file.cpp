// The settings image, the tagged-file checks and the size refusals, without widgets.
#include <gtest/gtest.h>

#include <cstring>

#include "files/SettingsFile.h"
#include "base/Bytes.h"

namespace {

SettingsFile::Values designValues()
{
    SettingsFile::Values v;
    for (int i = 0; i < 4; ++i) v.clocks[i].name = "Zegar " + std::to_string(i + 1);
    return v;
}

const uint8_t* bytes(const ByteString& s) { return reinterpret_cast<const uint8_t*>(s.data()); }

ByteString hex(const std::string& text)
{
    ByteString out;
    for (size_t i = 0; i + 1 < text.size();) {
        if (text[i] == ' ') { ++i; continue; }
        out += static_cast<char>(std::stoi(text.substr(i, 2), nullptr, 16));
        i += 2;
    }
    return out;
}

} // namespace

TEST(SettingsImage, DesignValuesGiveThe55ByteImage)
{
    const ByteString image = SettingsFile::build(designValues());
    ByteString expected = ByteString("zcf") + '\0';
    for (int i = 1; i <= 4; ++i) expected += "\x07Zegar " + std::to_string(i);
    expected += hex("01 01 01 01  01 01 01 01  00 00 00 00  03 03 03 03  00 00 7B");
    ASSERT_EQ(image.size(), 55u);
    EXPECT_EQ(image, expected);
    EXPECT_EQ(static_cast<uint8_t>(image.back()), 0x7B);
    EXPECT_TRUE(checkTaggedImage(bytes(image), image.size(), "zcf").ok());
}

TEST(SettingsImage, EmptyNamesGiveThe27ByteImage)
{
    SettingsFile::Values v;  // names empty
    const ByteString image = SettingsFile::build(v);
    ASSERT_EQ(image.size(), 27u);
    EXPECT_EQ(image.substr(3, 5), hex("00 00 00 00 00"));
    EXPECT_TRUE(checkTaggedImage(bytes(image), image.size(), "zcf").ok());
    ASSERT_TRUE(SettingsFile::parse(bytes(image), image.size()));
}

TEST(SettingsImage, EveryFieldRoundTrips)
{
    SettingsFile::Values v;
    v.portIndex = 2;
    v.autoConnect = true;
    const char* names[] = {"A", "", "Łódź 12", "12345678"};
    for (int i = 0; i < 4; ++i) {
        auto& c = v.clocks[i];
        c.name = names[i];
        c.active = i % 2 == 0;
        c.countDown = i < 2;
        c.displayOff = i == 3;
        c.brightness = static_cast<uint8_t>(i);
        c.rtc = i == 1 || i == 2;
    }
    const ByteString image = SettingsFile::build(v);
    const auto back = SettingsFile::parse(bytes(image), image.size());
    ASSERT_TRUE(back);
    EXPECT_EQ(back->portIndex, 2);
    EXPECT_TRUE(back->autoConnect);
    for (int i = 0; i < 4; ++i) {
        SCOPED_TRACE(i + 1);
        EXPECT_EQ(back->clocks[i].name, v.clocks[i].name);
        EXPECT_EQ(back->clocks[i].active, v.clocks[i].active);
        EXPECT_EQ(back->clocks[i].countDown, v.clocks[i].countDown);
        EXPECT_EQ(back->clocks[i].displayOff, v.clocks[i].displayOff);
        EXPECT_EQ(back->clocks[i].brightness, v.clocks[i].brightness);
        EXPECT_EQ(back->clocks[i].rtc, v.clocks[i].rtc);
    }
    // Mode byte: clocks 2 and 3.
    EXPECT_EQ(static_cast<uint8_t>(image[image.size() - 3]), 0x60);
}

TEST(SettingsImage, NoSelectionIsStoredAs0xFF)
{
    SettingsFile::Values v = designValues();
    v.portIndex = -1;
    const ByteString image = SettingsFile::build(v);
    EXPECT_EQ(static_cast<uint8_t>(image[3]), 0xFF);
    EXPECT_EQ(SettingsFile::parse(bytes(image), image.size())->portIndex, -1);
}

TEST(SettingsImage, PolishNamesTravelAsWindows1250)
{
    SettingsFile::Values v = designValues();
    v.clocks[0].name = "Łódź";
    v.clocks[1].name = "ŚĆŻąęń€";
    const ByteString image = SettingsFile::build(v);
    EXPECT_EQ(image.substr(4, 5), hex("04 A3 F3 64 9F"));
    EXPECT_EQ(image.substr(9, 8), hex("07 8C C6 AF B9 EA F1 80"));
    const auto back = SettingsFile::parse(bytes(image), image.size());
    ASSERT_TRUE(back);
    EXPECT_EQ(back->clocks[0].name, "Łódź");
    EXPECT_EQ(back->clocks[1].name, "ŚĆŻąęń€");
}

TEST(SettingsImage, CharactersOutsideTheCodePageBecomeQuestionMarks)
{
    EXPECT_EQ(SettingsFile::toCp1250("a☃b"), "a?b");
    EXPECT_EQ(SettingsFile::toCp1250("x\xC3"), "x?");           // cut UTF-8 sequence
    EXPECT_EQ(SettingsFile::fromCp1250("a\x98" "b"), "a?b");   // 0x98 is undefined there
}

TEST(SettingsImage, OverlongNamesAreCutSoTheLengthByteStaysTrue)
{
    SettingsFile::Values v = designValues();
    v.clocks[2].name = std::string(300, 'x');
    const ByteString image = SettingsFile::build(v);
    EXPECT_EQ(image.size(), 55u - 7 + 255);
    const auto back = SettingsFile::parse(bytes(image), image.size());
    ASSERT_TRUE(back);
    EXPECT_EQ(back->clocks[2].name, std::string(255, 'x'));
    EXPECT_EQ(back->clocks[3].name, "Zegar 4");
}

TEST(SettingsImage, ModeByte0xA0AndRawBytes)
{
    ByteString image = SettingsFile::build(designValues());
    const size_t p = 55 - 19;
    image[p + 12] = 7;                       // brightness of clock 1
    image[p + 16] = static_cast<char>(0xA0); // clocks 2 and 4 in real-time mode
    image[p + 8] = 2;                        // any non-zero flag counts as set
    const auto v = SettingsFile::parse(bytes(image), image.size());
    ASSERT_TRUE(v);
    EXPECT_FALSE(v->clocks[0].rtc);
    EXPECT_TRUE(v->clocks[1].rtc);
    EXPECT_FALSE(v->clocks[2].rtc);
    EXPECT_TRUE(v->clocks[3].rtc);
    EXPECT_EQ(v->clocks[0].brightness, 7);   // the window clamps it
    EXPECT_TRUE(v->clocks[0].displayOff);
}

TEST(SettingsImage, ImagesShorterThanTheirFieldsAreRefused)
{
    const ByteString good = SettingsFile::build(designValues());
    struct Case { const char* what; ByteString image; bool accepted; };
    ByteString longName = good;
    longName[4] = 60;  // first name claims 60 bytes
    const Case cases[] = {
        {"tag and check byte only", hex("7A 63 66 19"), false},
        {"tag, index, check byte", hex("7A 63 66 00 19"), false},
        {"cut inside the names", good.substr(0, 20), false},
        {"name length beyond the end", longName, false},
        {"one flag byte short", good.substr(0, 54), false},
        {"exactly the fields", good, true},
        {"more than the fields", good + "xyz", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(SettingsFile::parse(bytes(c.image), c.image.size()).has_value(), c.accepted);
    }
}

TEST(TaggedFile, EachTestFailsOnItsOwn)
{
    const ByteString good = SettingsFile::build(designValues());
    ByteString lastByte = good;
    lastByte.back() = static_cast<char>(lastByte.back() ^ 0x01);
    ByteString capital = good;
    capital[0] = 'Z';
    ByteString capitalFixed = capital;  // tag wrong, check byte made right again
    capitalFixed.back() = static_cast<char>(capitalFixed.back() ^ ('z' ^ 'Z'));
    struct Case { const char* what; ByteString image; const char* tag; bool tagOk; bool checkOk; };
    const Case cases[] = {
        {"intact", good, "zcf", true, true},
        {"last byte changed", lastByte, "zcf", true, false},
        {"Z for z", capital, "zcf", false, false},
        {"Z for z, check byte fixed", capitalFixed, "zcf", false, true},
        {"settings file as firmware", good, "zfr", false, true},
        {"firmware image", hex("7A 66 72 AA") + static_cast<char>(0x7A ^ 0x66 ^ 0x72 ^ 0xAA), "zfr", true, true},
        {"two bytes", hex("41 42"), "zcf", false, false},
        {"two bytes, XOR right", hex("00 00"), "zcf", false, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        uint8_t buffer[8192] = {};
        std::memcpy(buffer, c.image.data(), c.image.size());
        const TaggedCheck r = checkTaggedImage(buffer, c.image.size(), c.tag);
        EXPECT_EQ(r.tagOk, c.tagOk);
        EXPECT_EQ(r.checkByteOk, c.checkOk);
    }
}

TEST(TaggedFile, SizeLimits)
{
    struct Case { int64_t size; int64_t min; bool refused; };
    const Case cases[] = {
        {0, 2, true}, {1, 2, true}, {2, 2, false}, {8192, 2, false}, {8193, 2, true},
        {4, 5, true}, {5, 5, false}, {8192, 5, false}, {8193, 5, true}, {70000, 5, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.size);
        const std::string text = sizeRefusal(c.size, c.min, 8192, "Plik firmware");
        EXPECT_EQ(!text.empty(), c.refused);
        if (c.refused) {
            EXPECT_NE(text.find("Plik firmware"), std::string::npos);
            EXPECT_NE(text.find(std::to_string(c.size) + " B"), std::string::npos);
        }
    }
}
