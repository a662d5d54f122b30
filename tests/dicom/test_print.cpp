// Tests of the element value printer: renderings by dictionary VR and the buffer limits.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "defs/test_verify_fixture.h"

using velmar_test::binaryElement;
using velmar_test::TestContext;
using velmar_test::textElement;

namespace {

std::string render(AppData *app, const DicomElement &el, size_t size = 512, const char *start = "") {
    std::string buffer(size, '\0');
    std::strcpy(buffer.data(), start);
    print_element_value(app, &el, buffer.data(), size);
    return std::string(buffer.c_str());
}

TEST(PrintElementValue, NumbersAreSeparatedByOneBackslash) {
    TestContext ctx;
    const uint16_t words[] = {1, 2, 3};
    EXPECT_EQ(render(&ctx.app, binaryElement(0x0054, 0x0010, words, 6)), "  1\\2\\3");

    const uint16_t tags[] = {0x0028, 0x0009, 0x0054, 0x0010};
    EXPECT_EQ(render(&ctx.app, binaryElement(0x0028, 0x0009, tags, 8)), "  00280009\\00540010");
}

TEST(PrintElementValue, SignedFloatingAndLongValues) {
    TestContext ctx({{0x00111001, "ss", "SS", 0},
                     {0x00111002, "sl", "SL", 0},
                     {0x00111003, "ul", "UL", 0},
                     {0x00111004, "fl", "FL", 0},
                     {0x00111005, "fd", "FD", 0}});
    const int16_t ss[] = {-2, 7};
    EXPECT_EQ(render(&ctx.app, binaryElement(0x0011, 0x1001, ss, 4)), "  -2\\7");
    const int32_t sl[] = {-70000};
    EXPECT_EQ(render(&ctx.app, binaryElement(0x0011, 0x1002, sl, 4)), "  -70000");
    const uint32_t ul[] = {4000000000u, 1};
    EXPECT_EQ(render(&ctx.app, binaryElement(0x0011, 0x1003, ul, 8)), "  4000000000\\1");
    const float fl[] = {1.5f, -0.25f};
    EXPECT_EQ(render(&ctx.app, binaryElement(0x0011, 0x1004, fl, 8)), "  1.500000\\-0.250000");
    const double fd[] = {2.0};
    EXPECT_EQ(render(&ctx.app, binaryElement(0x0011, 0x1005, fd, 8)), "  2.000000");
}

TEST(PrintElementValue, BinaryDataIsOneHexadecimalNumber) {
    TestContext ctx;
    const uint8_t bytes[] = {0x01, 0xFF};
    // An unknown tag prints as bytes (UN); Pixel Data without a VR of its own is OW.
    EXPECT_EQ(render(&ctx.app, binaryElement(0x0009, 0x1000, bytes, 2)), "  01FFH");
    EXPECT_EQ(render(&ctx.app, binaryElement(0x7FE0, 0x0010, bytes, 2)), "  FF01H");
    const uint16_t words[] = {0x0001, 0x0203};
    EXPECT_EQ(render(&ctx.app, binaryElement(0x6000, 0x3000, words, 4)), "  00010203H");
}

TEST(PrintElementValue, TextIsCopiedUpToItsFirstZeroByte) {
    TestContext ctx;
    EXPECT_EQ(render(&ctx.app, textElement(0x0010, 0x0010, "Doe^John")), "  Doe^John");
    std::string uid("1.2.3", 6);  // the zero pad byte of a UID
    EXPECT_EQ(render(&ctx.app, textElement(0x0008, 0x0016, uid)), "  1.2.3");
    EXPECT_EQ(render(&ctx.app, textElement(0x0010, 0x0010, "A"), 512, "Value:"), "Value:  A");
}

TEST(PrintElementValue, NothingForSequencesStructuralTagsAndEmptyValues) {
    TestContext ctx;
    const uint8_t bytes[] = {1, 2};
    DicomElement item = binaryElement(0xFFFE, 0xE000, bytes, 2);
    EXPECT_EQ(render(&ctx.app, item), "");
    EXPECT_EQ(render(&ctx.app, binaryElement(0x0054, 0x0012, bytes, 2)), "");  // SQ
    EXPECT_EQ(render(&ctx.app, binaryElement(0x0010, 0x0010, bytes, 0)), "");
    EXPECT_EQ(render(&ctx.app, binaryElement(0x0010, 0x0010, bytes, VELMAR_UNDEFINED_LENGTH)), "");
    char buffer[16] = "x";
    print_element_value(&ctx.app, nullptr, buffer, sizeof buffer);
    EXPECT_STREQ(buffer, "x");
}

TEST(PrintElementValue, LongValuesAreCutToTheBuffer) {
    TestContext ctx({{0x00204000, "Image Comments", "LT", 1},
                     {0x00111000, "words", "OW", 0},
                     {0x00111001, "bytes", "OB", 0},
                     {0x00111002, "numbers", "US", 0}});
    std::string comment(600, 'c');
    std::string text = render(&ctx.app, textElement(0x0020, 0x4000, comment));
    EXPECT_LT(text.size(), 510u);
    EXPECT_EQ(text.substr(0, 4), "  cc");
    // A text already in the buffer counts towards the limit.
    std::string after = render(&ctx.app, textElement(0x0020, 0x4000, comment), 512, "prefix");
    EXPECT_LT(after.size(), 510u);
    EXPECT_EQ(after.substr(0, 8), "prefix  ");

    std::vector<uint16_t> words(1000, 0xABCD);
    std::string hex = render(&ctx.app, binaryElement(0x0011, 0x1000, words.data(), 2000), 64);
    EXPECT_LE(hex.size(), 63u);
    EXPECT_EQ(hex.back(), 'H');
    EXPECT_EQ(hex.find_first_not_of("ABCD", 2), hex.size() - 1);

    std::vector<uint8_t> bytes(1000, 0x5A);
    std::string byteHex = render(&ctx.app, binaryElement(0x0011, 0x1001, bytes.data(), 1000), 33);
    EXPECT_LE(byteHex.size(), 32u);
    EXPECT_EQ(byteHex.back(), 'H');

    std::vector<uint16_t> numbers(1000, 12345);
    std::string list = render(&ctx.app, binaryElement(0x0011, 0x1002, numbers.data(), 2000), 40);
    EXPECT_EQ(list.size(), 39u);
    EXPECT_EQ(list.substr(0, 14), "  12345\\12345\\");
}

TEST(PrintElementValue, ABufferThatIsAlreadyFullStaysUnchanged) {
    TestContext ctx;
    std::string full(15, 'z');
    const uint16_t words[] = {1, 2, 3};
    EXPECT_EQ(render(&ctx.app, binaryElement(0x0054, 0x0010, words, 6), 16, full.c_str()), full);
    EXPECT_EQ(render(&ctx.app, textElement(0x0010, 0x0010, "Doe"), 16, full.c_str()), full);
    EXPECT_EQ(render(&ctx.app, binaryElement(0x0009, 0x1000, words, 6), 16, full.c_str()), full);
}

}  // namespace
