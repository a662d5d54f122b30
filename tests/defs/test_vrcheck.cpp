// Tests of the value-format checks: each VR's rules over tables of values, the VM rule and the
// permitted values.
#include <gtest/gtest.h>
#include <unistd.h>

#include <ostream>
#include <string>

#include "defs/test_verify_fixture.h"

using velmar_test::binaryElement;
using velmar_test::TestContext;
using velmar_test::textElement;

namespace {

// Test tags in group 0011... would be private; the checks skip odd groups, so the table uses even
// group 0012 with one tag per VR and VM.
constexpr uint16_t kGroup = 0x0012;

std::vector<velmar_test::DictRow> checkDictionary() {
    return {
        {0x00121001, "ae", "AE", 1},
        {0x00121002, "as", "AS", 1},
        {0x00121003, "cs", "CS", 0},
        {0x00121004, "da", "DA", 1},
        {0x00121005, "ds", "DS", 0},
        {0x00121006, "dt", "DT", 1},
        {0x00121007, "is", "IS", 1},
        {0x00121008, "lo", "LO", 1},
        {0x00121009, "lt", "LT", 1},
        {0x0012100A, "pn", "PN", 1},
        {0x0012100B, "sh", "SH", 1},
        {0x0012100C, "st", "ST", 1},
        {0x0012100D, "tm", "TM", 1},
        {0x0012100E, "ui", "UI", 1},
        {0x0012100F, "ds3", "DS", 3},
        {0x00121010, "ds-2", "DS", -2},
        {0x00121011, "tm-n", "TM", 0},
        {0x00121012, "sh enumerated", "SH", 1, "ALPHA, BETA GAMMA, nnn", "E"},
        {0x00121013, "cs defined", "CS", 1, "ONE, TWO", "D"},
        {0x00121014, "cs multiline", "CS", 0, "ONE,\nTWO, THREE", "E"},
        {0x00080008, "Image Type", "CS", -4, "ORIGINAL, DERIVED, PRIMARY, SECONDARY", "E"},
        {0x00121020, "at", "AT", 0},
        {0x00121021, "fl", "FL", 2},
        {0x00121022, "fd", "FD", 1},
        {0x00121023, "sl", "SL", 1},
        {0x00121024, "ss", "SS", -2},
        {0x00121025, "ul", "UL", 1},
        {0x00121026, "us", "US", 0, "0001, 0002, 0016", "E"},
        {0x00121027, "xs", "XS", 1, "0000", "E"},
        {0x00121028, "xu", "XU", 3},
        {0x00121029, "ob", "OB", 1},
        {0x0012102A, "ow", "OW", 1},
        {0x0012102B, "sq", "SQ", 1},
        {0x0012102C, "bad vr", "ZZ", 1},
        {0x00121030, "lo 1-n", "LO", 0},
        {0x00121031, "lo 2", "LO", 2},
        {0x00121032, "lo 1-2", "LO", -2},
        {0x00121033, "sh 1-n enumerated", "SH", 0, "ALPHA, BETA GAMMA, nnn", "E"},
        {0x00121034, "sh vm -1", "SH", -1},
        {0x00121035, "lt vm 0", "LT", 0},
        {0x00121036, "st vm 0", "ST", 0},
        {0x00121040, "ut", "UT", 1},
        {0x00121041, "uc", "UC", 0},
        {0x00121042, "ur", "UR", 1},
    };
}

struct TextCase {
    uint16_t element;
    const char *value;
    uint16_t mask;
};

std::ostream &operator<<(std::ostream &out, const TextCase &c) {
    return out << "(0012," << std::hex << c.element << ") \"" << c.value << "\" -> " << std::dec << c.mask;
}

class TextValueCheck : public ::testing::TestWithParam<TextCase> {};

TEST_P(TextValueCheck, GivesTheExpectedMask) {
    TestContext ctx(checkDictionary());
    const TextCase &c = GetParam();
    std::string value = c.value;
    DicomElement el =
        textElement(c.element == 0x0008 ? 0x0008 : kGroup, c.element == 0x0008 ? 0x0008 : c.element, value);
    EXPECT_EQ(checkElementValue(&ctx.app, &el), c.mask);
    EXPECT_EQ(std::string(static_cast<const char *>(el.value), el.length), c.value)
        << "the value is left as it was";
}

INSTANTIATE_TEST_SUITE_P(AE, TextValueCheck,
                         ::testing::Values(TextCase{0x1001, "STORESCP", 0}, TextCase{0x1001, "STORESCP ", 0},
                                           TextCase{0x1001, "ABCDEFGHIJKLMNOPQ", 1},
                                           TextCase{0x1001, "AB\r\n", 2}, TextCase{0x1001, "A\\B", 32}));

INSTANTIATE_TEST_SUITE_P(AS, TextValueCheck,
                         ::testing::Values(TextCase{0x1002, "045Y", 0}, TextCase{0x1002, "45Y", 1},
                                           TextCase{0x1002, "045X", 2}, TextCase{0x1002, "0451", 2},
                                           TextCase{0x1002, "04Y5", 2}, TextCase{0x1002, "045Y\\003D", 32}));

INSTANTIATE_TEST_SUITE_P(
    CS, TextValueCheck,
    ::testing::Values(TextCase{0x1003, "ORIGINAL\\PRIMARY", 0}, TextCase{0x1003, "lower_case. 9", 0},
                      TextCase{0x1003, "SEVENTEEN_LETTERS", 1}, TextCase{0x1003, "A-B", 2},
                      TextCase{0x1013, "THREE", 0},  // defined terms are not checked
                      TextCase{0x1014, "TWO", 0}, TextCase{0x1014, "ONE\\THREE", 0},
                      TextCase{0x1014, "FOUR", 64},
                      // Image Type: only its first two values are compared with the permitted values.
                      TextCase{0x0008, "ORIGINAL\\PRIMARY\\WHOLE BODY", 0},
                      TextCase{0x0008, "ORIGINAL\\STATIC", 64},
                      TextCase{0x0008, "ORIGINAL\\PRIMARY\\A\\B\\C", 32}));

INSTANTIATE_TEST_SUITE_P(DA, TextValueCheck,
                         ::testing::Values(TextCase{0x1004, "20240229", 0}, TextCase{0x1004, "20230229", 0},
                                           TextCase{0x1004, "20240230", 8}, TextCase{0x1004, "20241301", 8},
                                           TextCase{0x1004, "20240100", 8}, TextCase{0x1004, "2024013A", 2},
                                           TextCase{0x1004, "2024.02.29", 4},
                                           TextCase{0x1004, "2024-13-01", 2 | 8},
                                           TextCase{0x1004, "240229", 1 | 2},
                                           TextCase{0x1004, "20240101\\20240102", 32}));

INSTANTIATE_TEST_SUITE_P(DS, TextValueCheck,
                         ::testing::Values(TextCase{0x1005, "1.5E+3", 0}, TextCase{0x1005, "-0.5 \\ 2", 0},
                                           TextCase{0x1005, "1,5", 2},
                                           TextCase{0x1005, "12345678901234567", 1},
                                           TextCase{0x100F, "1\\2", 32}, TextCase{0x100F, "1\\2\\3", 0},
                                           TextCase{0x1010, "1\\2\\3", 32}, TextCase{0x1010, "1", 0}));

INSTANTIATE_TEST_SUITE_P(DT, TextValueCheck,
                         ::testing::Values(TextCase{0x1006, "20240101120000.123456+0100", 0},
                                           TextCase{0x1006, "20240101120000.12 ", 0},
                                           TextCase{0x1006, "20240101120000.1234567+0100", 1},
                                           TextCase{0x1006, "2024-01-01T12", 2}));

INSTANTIATE_TEST_SUITE_P(IS, TextValueCheck,
                         ::testing::Values(TextCase{0x1007, "-12 ", 0}, TextCase{0x1007, "+1234567890 ", 0},
                                           TextCase{0x1007, "1234567890123", 1}, TextCase{0x1007, "1.5", 2}));

INSTANTIATE_TEST_SUITE_P(
    LO_LT_SH_ST, TextValueCheck,
    ::testing::Values(TextCase{0x1008, "ABC\\DEF", 2 | 32}, TextCase{0x1008, "An ordinary text ", 0},
                      TextCase{0x1008,
                               "0123456789012345678901234567890123456789012345678901234567890123456789", 1},
                      TextCase{0x1009, "line one\r\nline two", 0}, TextCase{0x1009, "a\\b", 2 | 32},
                      TextCase{0x100B, "ANY TEXT", 0}, TextCase{0x100B, "SEVENTEEN LETTERS", 1},
                      TextCase{0x1012, "ALPHA", 0}, TextCase{0x1012, "  BETA   GAMMA ", 0},
                      TextCase{0x1012, "1234", 0}, TextCase{0x1012, "DELTA", 64}, TextCase{0x1012, "12A", 64},
                      TextCase{0x1012, "alpha", 64}, TextCase{0x1012, "SEVENTEEN LETTERS", 1 | 64},
                      TextCase{0x100C, "A short text", 0}, TextCase{0x100C, "x\\y", 2 | 32}));

// LO and SH attributes whose VM admits several values: split at backslashes, the length limit per
// value, the VM rule, and for SH the permitted values of each value. LT and ST stay single-valued.
INSTANTIATE_TEST_SUITE_P(
    LO_SH_MultiValued, TextValueCheck,
    ::testing::Values(
        TextCase{0x1030, "ABC\\DEF", 0}, TextCase{0x1030, "One\\Two\\Three ", 0}, TextCase{0x1030, "\\", 0},
        TextCase{0x1030,
                 "0123456789012345678901234567890123456789012345678901234567890123\\"
                 "0123456789012345678901234567890123456789012345678901234567890123",
                 0},  // two values of 64 characters
        TextCase{0x1030, "x\\0123456789012345678901234567890123456789012345678901234567890123456789", 1},
        TextCase{0x1031, "A\\B", 0}, TextCase{0x1031, "A", 32}, TextCase{0x1031, "A\\B\\C", 32},
        TextCase{0x1032, "A\\B", 0}, TextCase{0x1032, "A\\B\\C", 32},
        TextCase{0x1033, "ALPHA\\BETA GAMMA\\42", 0}, TextCase{0x1033, "ALPHA\\DELTA", 64},
        TextCase{0x1033, "ALPHA\\SEVENTEEN LETTERS", 1 | 64}, TextCase{0x1034, "(555) 123\\(555) 456", 0},
        TextCase{0x1034, "0123456789ABCDEF\\0123456789ABCDEFG", 1}, TextCase{0x1035, "a\\b", 2 | 32},
        TextCase{0x1036, "a\\b", 2 | 32}));

// UT is LT without its length limit, UC a multi-valued LO without one, UR one value that
// allows trailing blanks only.
const std::string kLongUT(20000, 't');
const std::string kLongUC = std::string(100, 'c') + "\\d";
INSTANTIATE_TEST_SUITE_P(UT_UC_UR, TextValueCheck,
                         ::testing::Values(TextCase{0x1040, kLongUT.c_str(), 0},
                                           TextCase{0x1040, "a\\b", 2 | 32},
                                           TextCase{0x1041, kLongUC.c_str(), 0},
                                           TextCase{0x1042, "http://x.org/a ", 0},
                                           TextCase{0x1042, " http://x.org/a", 2},
                                           TextCase{0x1042, "http://a\\b", 2 | 32}));

INSTANTIATE_TEST_SUITE_P(PN, TextValueCheck,
                         ::testing::Values(TextCase{0x100A, "Doe^John", 0}, TextCase{0x100A, "Doe^John\n", 2},
                                           TextCase{0x100A, "Doe\\Roe", 32}));

INSTANTIATE_TEST_SUITE_P(
    TM, TextValueCheck,
    ::testing::Values(TextCase{0x100D, "235959", 0}, TextCase{0x100D, "235960", 8},
                      TextCase{0x100D, "240000", 8}, TextCase{0x100D, "2360", 8}, TextCase{0x100D, "12", 0},
                      TextCase{0x100D, "1230 ", 0}, TextCase{0x100D, "12:30:00", 4},
                      TextCase{0x100D, "123000.123456", 0}, TextCase{0x100D, "123000.1234567", 8},
                      TextCase{0x100D, "12.5", 0}, TextCase{0x100D, "123.5", 4},
                      TextCase{0x100D, "1230.5.5", 4}, TextCase{0x100D, "12300A", 2},
                      TextCase{0x100D, "12345678901234567", 1}, TextCase{0x1011, "1200\\2500", 8}));

INSTANTIATE_TEST_SUITE_P(
    UI, TextValueCheck,
    ::testing::Values(TextCase{0x100E, "1.2.840.10008.1.2", 0}, TextCase{0x100E, "1.02.3", 64},
                      TextCase{0x100E, "1.0.3", 0}, TextCase{0x100E, "1.2.a", 2},
                      TextCase{0x100E, "1.2.3.44444444444444444444444444444444444444444444444444444444444444",
                               1}));

TEST(ValueCheck, ZeroPaddedUIDsAreCheckedWithoutTheirPadByte) {
    TestContext ctx(checkDictionary());
    std::string uid("1.2.840.10008.1.2.1", 20);  // odd length stored with a zero pad byte
    DicomElement el = textElement(kGroup, 0x100E, uid);
    EXPECT_EQ(checkElementValue(&ctx.app, &el), 0);
}

TEST(ValueCheck, BinaryVRsCheckLengthAndValueCount) {
    TestContext ctx(checkDictionary());
    const uint8_t bytes[16] = {1, 0, 2, 0, 16, 0, 3, 0};
    struct Case {
        uint16_t element;
        uint32_t length;
        uint16_t mask;
    };
    const Case cases[] = {
        {0x1020, 8, 0}, {0x1020, 6, 1},                            // AT, any number of tags
        {0x1021, 8, 0}, {0x1021, 4, 32},     {0x1021, 7, 1 | 32},  // FL, two values
        {0x1022, 8, 0}, {0x1022, 16, 32},    {0x1022, 4, 1 | 32},  // FD, one value
        {0x1023, 4, 0}, {0x1023, 3, 1 | 32},                       // SL
        {0x1024, 4, 0}, {0x1024, 6, 32},     {0x1024, 3, 1},       // SS, at most two values
        {0x1025, 4, 0}, {0x1025, 8, 32},                           // UL
        {0x1026, 6, 0}, {0x1026, 8, 64},     {0x1026, 5, 1},       // US: 1, 2, 16 permitted, 3 not
        {0x1028, 6, 0}, {0x1028, 4, 1 | 32},                       // XU: exactly six bytes
        {0x1029, 3, 0}, {0x102A, 5, 0},      {0x102B, 4, 0},       // OB, OW, SQ: not checked
    };
    for (const Case &c : cases) {
        DicomElement el = binaryElement(kGroup, c.element, bytes, c.length);
        EXPECT_EQ(checkElementValue(&ctx.app, &el), c.mask)
            << std::hex << c.element << " length " << std::dec << c.length;
    }
}

TEST(ValueCheck, AUSElementChecksEveryWordAgainstThePermittedValues) {
    TestContext ctx(checkDictionary());
    uint16_t words[4] = {1, 2, 16, 2};
    DicomElement el = binaryElement(kGroup, 0x1026, words, 8);
    EXPECT_EQ(checkElementValue(&ctx.app, &el), 0);
    for (int i = 0; i < 4; ++i) {
        uint16_t saved = words[i];
        words[i] = 5;
        EXPECT_EQ(checkElementValue(&ctx.app, &el), 64) << "word " << i;
        words[i] = saved;
    }
}

TEST(ValueCheck, XSReportsOnlyWhatBothViewsReport) {
    TestContext ctx(checkDictionary());
    const uint16_t notPermitted[] = {7};
    DicomElement el = binaryElement(kGroup, 0x1027, notPermitted, 2);
    EXPECT_EQ(checkElementValue(&ctx.app, &el), 0) << "a value outside the US list passes as SS";
    const uint16_t two[] = {7, 0};
    el = binaryElement(kGroup, 0x1027, two, 4);
    EXPECT_EQ(checkElementValue(&ctx.app, &el), 32 | 64) << "with a VM problem both views are joined";
    el = binaryElement(kGroup, 0x1027, two, 3);
    EXPECT_EQ(checkElementValue(&ctx.app, &el), 1 | 64);
}

TEST(ValueCheck, SkipsPrivateEmptyAndUnknownElements) {
    TestContext ctx(checkDictionary());
    DicomElement priv = textElement(0x0013, 0x1001, "ABC\\DEF\r\n");
    EXPECT_EQ(checkElementValue(&ctx.app, &priv), 0);
    DicomElement empty = textElement(kGroup, 0x1004, "");
    EXPECT_EQ(checkElementValue(&ctx.app, &empty), 0);
    DicomElement unknown = textElement(kGroup, 0x7777, "20241301");
    EXPECT_EQ(checkElementValue(&ctx.app, &unknown), 16);
    DicomElement badVR = textElement(kGroup, 0x102C, "x");
    EXPECT_EQ(checkElementValue(&ctx.app, &badVR), 16);
    const uint32_t length = 10;
    DicomElement groupLength = binaryElement(kGroup, 0x0000, &length, 4);
    EXPECT_EQ(checkElementValue(&ctx.app, &groupLength), 0) << "group lengths default to UL";
    EXPECT_EQ(checkElementValue(&ctx.app, nullptr), 0);
}

TEST(ValueCheck, MultiValuedLOAndSHOfTheShippedDictionaryPass) {
    TestContext ctx{velmar_test::ShippedDictionary{}};
    ASSERT_TRUE(ctx.loaded()) << ctx.takeText();
    struct Case {
        uint16_t group, element;
        const char *value;
        uint16_t mask;
    };
    const Case cases[] = {
        {0x0018, 0x1020, "Acquisition 1.2\\Reconstruction 3.4", 0},  // Software Versions, LO 1-n
        {0x0010, 0x1000, "ID-1\\ID-2\\ID-3 ", 0},                    // Other Patient IDs, LO 1-n
        {0x0008, 0x0094, "555-0100\\555-0101", 0},                   // telephone numbers, SH 1-n
        {0x0008, 0x0070, "Maker\\Other", 2 | 32},                    // Manufacturer, LO 1
    };
    for (const Case &c : cases) {
        DicomElement el = textElement(c.group, c.element, c.value);
        EXPECT_EQ(checkElementValue(&ctx.app, &el), c.mask) << std::hex << c.group << "," << c.element;
    }
}

TEST(ValueCheck, TheSharedCleanNMSamplePassesBothChecks) {
    const std::string path = std::string(VELMAR_SHARED_DIR) + "/dicom-samples/generated/verify_nm_clean.dcm";
    if (access(path.c_str(), R_OK) != 0) GTEST_SKIP() << "shared sample " << path << " not found";
    TestContext ctx{velmar_test::ShippedDictionary{}};
    ASSERT_TRUE(ctx.loaded()) << ctx.takeText();
    IOObject io;
    init_IOObject(&io);
    io.dataSyntax = -1;
    ASSERT_EQ(DO_importObjectFromFile(&ctx.app, path.c_str(), &io), 0) << ctx.takeText();
    ASSERT_EQ(InitUABCDef(&ctx.app, io.object, 0), 0) << ctx.takeText();
    EXPECT_EQ(VerifyObjectByTag(&ctx.app, io.object), 0) << ctx.takeText();
    EXPECT_EQ(VerifyObjectByModule(&ctx.app, io.object), 0) << ctx.takeText();
    DO_closeObject(&io.object);
}

TEST(CheckPermitted, ComparesNormalisedValuesWithTheEntries) {
    TestContext ctx(checkDictionary());
    const uint32_t sh = 0x00121012;
    EXPECT_EQ(checkPermitted(&ctx.app, sh, "ALPHA"), 0);
    EXPECT_EQ(checkPermitted(&ctx.app, sh, " BETA  GAMMA  "), 0);
    EXPECT_EQ(checkPermitted(&ctx.app, sh, "BETAGAMMA"), 64);
    EXPECT_EQ(checkPermitted(&ctx.app, sh, "007"), 0) << "nnn stands for any decimal number";
    EXPECT_EQ(checkPermitted(&ctx.app, sh, "-7"), 64);
    EXPECT_EQ(checkPermitted(&ctx.app, sh, ""), 64);
    EXPECT_EQ(checkPermitted(&ctx.app, 0x00121014, "TWO"), 0) << "line ends in the list are blanks";
    EXPECT_EQ(checkPermitted(&ctx.app, 0x00121013, "ANYTHING"), 0) << "type D is not checked";
    EXPECT_EQ(checkPermitted(&ctx.app, 0x00121001, "ANYTHING"), 0) << "no list";
    EXPECT_EQ(checkPermitted(&ctx.app, 0x0012FFFF, "ANYTHING"), 0) << "not in the dictionary";
}

}  // namespace
