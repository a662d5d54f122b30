// PNG codec options: the option text, its error codes and formatting, the option-string
// tokenizer in both presets, and the registration of the "png" library.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "velmar.h"

namespace {

std::string optStr(const PNGOptions &o) {
    char *text = getPNGOptStr(&o);
    std::string out = text != nullptr ? text : "(null)";
    std::free(text);
    return out;
}

TEST(PngOptions, ResetValuesAndEveryFilterIndex) {
    PNGOptions o{9, 9, 9, 9, 9};
    EXPECT_EQ(setPNGPrivate(&o, nullptr), 0);
    EXPECT_EQ(o.mode, 0);
    EXPECT_EQ(o.filter, 0x80);
    EXPECT_EQ(o.reserved, 0);
    EXPECT_EQ(o.compression, 4);
    EXPECT_EQ(o.interlace, 0);
    o.filter = 1;
    EXPECT_EQ(setPNGPrivate(&o, ""), 0);
    EXPECT_EQ(o.filter, 0x80);

    const uint16_t flags[] = {0x00, 0x08, 0x10, 0x20, 0x40, 0x80, 0xF8};
    for (int i = 0; i <= 6; ++i) {
        std::string text = "f=" + std::to_string(i);
        ASSERT_EQ(setPNGPrivate(&o, text.c_str()), 0) << text;
        EXPECT_EQ(o.filter, flags[i]) << text;
        EXPECT_EQ(optStr(o), "m=0\tf=" + std::to_string(i) + "\tc=4\ti=0");
    }
}

TEST(PngOptions, TextSetsEveryFieldAndFormatsBack) {
    PNGOptions o{};
    ASSERT_EQ(setPNGPrivate(&o, "f=6,c=9,i=1"), 0);
    EXPECT_EQ(o.filter, 0xF8);
    EXPECT_EQ(o.compression, 9);
    EXPECT_EQ(o.interlace, 1);
    EXPECT_EQ(optStr(o), "m=0\tf=6\tc=9\ti=1");

    // Blank-separated, letter case ignored, the value separator optional.
    ASSERT_EQ(setPNGPrivate(&o, "C=0 F=2 m=0 i0"), 0);
    EXPECT_EQ(o.compression, 0);
    EXPECT_EQ(o.filter, 0x10);
    EXPECT_EQ(o.interlace, 0);

    // A filter flag outside the table formats as 8; the library default keeps libpng's level.
    PNGOptions odd{0, 0x18, 0, 0xFFFF, 0};
    EXPECT_EQ(optStr(odd), "m=0\tf=8\tc=-1\ti=0");
    EXPECT_EQ(getPNGOptStr(nullptr), nullptr);
}

TEST(PngOptions, ErrorCodesLeaveTheResetValues) {
    struct Case {
        const char *text;
        int16_t status;
    } cases[] = {
        {"c=10", -3}, {"c=-1", -3}, {"f=7", -3},  {"i=2", -3},  {"m=1", -3},
        {"c=z", -2},  {"c=", -2},   {"c=9x", -2}, {"x=1", -4},  {"c=9, f=5", -4},
        {"c=1,c=2", -5},
    };
    for (const Case &c : cases) {
        PNGOptions o{};
        EXPECT_EQ(setPNGPrivate(&o, c.text), c.status) << c.text;
        // Nothing of a refused text is applied, not even the options before the faulty one.
        EXPECT_EQ(o.compression, 4) << c.text;
        EXPECT_EQ(o.filter, 0x80) << c.text;
    }
    PNGOptions o{};
    EXPECT_EQ(setPNGPrivate(&o, "f=1,c=10"), -3);
    EXPECT_EQ(o.filter, 0x80);
}

TEST(OptsTokenizer, InitChecksItsArguments) {
    OptsState s;
    EXPECT_EQ(initOPTS(nullptr, "ab", '-', ':', " ", 0, 64), -1);
    EXPECT_EQ(initOPTS(&s, "ab", '-', ':', "0123456789", 0, 64), -11);
    EXPECT_EQ(initOPTS(&s, "ab", '-', ':', "012345678", 0, 64), 0);
    EXPECT_EQ(initOPTS(&s, "ab", '\0', '=', "", 0, 64), -21);
    EXPECT_EQ(initOPTS(&s, std::string(100, 'a').c_str(), '-', ':', " ", 0, 64), -12);
    EXPECT_EQ(initOPTS(&s, std::string(99, 'a').c_str(), '-', ':', " ", 0, 64), 0);
    EXPECT_EQ(initOPTS_L1(&s, "cf"), 0);
    EXPECT_EQ(s.prefix, '-');
    EXPECT_EQ(s.valueSeparator, ':');
    EXPECT_STREQ(s.separators, " \t");
    EXPECT_EQ(s.limit, 64);
}

TEST(OptsTokenizer, PresetOneScansPrefixedOptions) {
    OptsState s;
    ASSERT_EQ(initOPTS_L1(&s, "cfx"), 0);
    ASSERT_EQ(parseOPTS(&s, "-c:9 -f:5\t-x"), 3);
    EXPECT_STREQ(s.names[0], "c");
    EXPECT_STREQ(s.values[0], "9");
    EXPECT_STREQ(s.names[1], "f");
    EXPECT_STREQ(s.values[1], "5");
    EXPECT_STREQ(s.names[2], "x");
    EXPECT_STREQ(s.values[2], "");
    // Negative values do not start a new option: the value runs to the separator.
    ASSERT_EQ(parseOPTS(&s, "-c:-3 -f:1"), 2);
    EXPECT_STREQ(s.values[0], "-3");
    doneOPTS(&s);
    EXPECT_EQ(s.names, nullptr);
    EXPECT_EQ(s.count, 0);
}

TEST(OptsTokenizer, PresetTwoAcceptsCommaOrBlankButNotBoth) {
    OptsState s;
    ASSERT_EQ(initOPTS_L2(&s, "cf"), 0);
    ASSERT_EQ(parseOPTS(&s, "c=9,f=5"), 2);
    EXPECT_STREQ(s.values[1], "5");
    ASSERT_EQ(parseOPTS(&s, "c=9 f=5"), 2);
    EXPECT_STREQ(s.names[1], "f");
    EXPECT_EQ(parseOPTS(&s, "c=9, f=5"), OPTS_UNKNOWN_LETTER);
    EXPECT_EQ(parseOPTS(&s, "c=9,c=5"), OPTS_REPEATED_LETTER);
    EXPECT_EQ(parseOPTS(&s, ""), OPTS_EMPTY_TEXT);
    EXPECT_EQ(parseOPTS(&s, "c=9,"), 1);  // a trailing separator ends the text
    doneOPTS(&s);

    // Repeats allowed when asked for.
    ASSERT_EQ(initOPTS(&s, "c", '\0', '=', ",", 1, 64), 0);
    EXPECT_EQ(parseOPTS(&s, "c=1,c=2"), 2);
    doneOPTS(&s);
}

TEST(OptsTokenizer, StepByStepWithValueCopies) {
    OptsState s;
    ASSERT_EQ(initOPTS_L2(&s, "abc"), 0);
    const char *text = "c=123,a=x";
    resetOPTS(&s, text);
    char letter = 0;
    const char *value = nullptr;
    EXPECT_EQ(nextOPTS(&s, &letter, &value), 2);
    EXPECT_EQ(letter, 'c');
    EXPECT_EQ(value, text + 2);
    EXPECT_EQ(getOPTSValueLength(&s, value), 3);
    char small[3];
    EXPECT_EQ(copyOPTSValue(&s, value, small, sizeof small), -1);  // refused, not cut
    char out[8];
    EXPECT_EQ(copyOPTSValue(&s, value, out, sizeof out), 3);
    EXPECT_STREQ(out, "123");
    EXPECT_EQ(nextOPTS(&s, &letter, &value), 0);
    EXPECT_EQ(letter, 'a');
    EXPECT_EQ(nextOPTS(&s, &letter, &value), OPTS_END);

    // Prefix only, no separators: values end at the next prefix character.
    ASSERT_EQ(initOPTS(&s, "ab", '/', '\0', "", 0, 64), 0);
    resetOPTS(&s, "/a1/b22");
    EXPECT_EQ(nextOPTS(&s, &letter, &value), 0);
    EXPECT_EQ(getOPTSValueLength(&s, value), 1);
    EXPECT_EQ(nextOPTS(&s, &letter, &value), 1);
    EXPECT_EQ(getOPTSValueLength(&s, value), 2);
    EXPECT_EQ(nextOPTS(&s, &letter, &value), OPTS_END);
}

TEST(PngLibrary, RegistersCoderDecoderAndOptions) {
    AppData app;
    char title[VELMAR_TITLE_SIZE];
    ASSERT_EQ(init_AppData(&app, "test_png", "1", title), 0);
    ASSERT_EQ(png_LibraryInit(&app), 0);
    Codec *coder = get_codec(app.codecCount, app.codecs, VELMAR_PNG_TRANSFER_SYNTAX_UID, 1);
    Codec *decoder = get_codec(app.codecCount, app.codecs, VELMAR_PNG_TRANSFER_SYNTAX_UID, 0);
    ASSERT_NE(coder, nullptr);
    ASSERT_NE(decoder, nullptr);
    EXPECT_STREQ(coder->kind, "coder");
    EXPECT_STREQ(decoder->libraryName, "png");
    EXPECT_NE(coder->process, decoder->process);
    CodecLibrary *library = get_codeclib(app.codecLibraryCount, app.codecLibraries, "png");
    ASSERT_NE(library, nullptr);
    auto *options = static_cast<PNGOptions *>(library->privateData);
    ASSERT_NE(options, nullptr);
    EXPECT_EQ(options->filter, 0xF8);
    EXPECT_EQ(options->compression, 0xFFFF);

    // Options reach the library through the registry, by name in any case.
    EXPECT_EQ(passCmdlineParametersToCodec(&app, "PNG", "c=9,f=1"), 0);
    EXPECT_EQ(options->compression, 9);
    EXPECT_EQ(options->filter, 0x08);
    EXPECT_EQ(passCmdlineParametersToCodec(&app, "png", "c=99"), -3);

    // A second registration replaces the library record and frees the first options.
    ASSERT_EQ(png_LibraryInit(&app), 0);
    CodecLibrary *again = get_codeclib(app.codecLibraryCount, app.codecLibraries, "png");
    ASSERT_NE(again, nullptr);
    EXPECT_EQ(static_cast<PNGOptions *>(again->privateData)->filter, 0xF8);
    done_AppData(&app);
}

}  // namespace
