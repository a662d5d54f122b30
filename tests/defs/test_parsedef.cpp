// Tests of the definition-file scanner: tokens, blanks and comments, piece boundaries, limits,
// and the loaders' message buffer.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "velmar.h"
// The scanner is internal to the library (hidden visibility): its source is compiled into this
// test once, here, so that no other test file may include it as well.
#include "defs/parsedef.cpp"
// ... with the file opener it uses.
#include "support/regularfile.cpp"

namespace {

using namespace velmar::defs;

// A scanner over an in-memory text.
class Input {
   public:
    explicit Input(std::string text) : text_(std::move(text)) {
        file_ = fmemopen(text_.data(), text_.size(), "r");
        scanner_ = scanOpen(file_);
    }
    ~Input() {
        D_Free(&scanner_);
        if (file_ != nullptr) std::fclose(file_);
    }
    Input(const Input &) = delete;
    Input &operator=(const Input &) = delete;
    DefScanner *operator->() { return scanner_; }
    DefScanner *get() { return scanner_; }

   private:
    std::string text_;
    FILE *file_ = nullptr;
    DefScanner *scanner_ = nullptr;
};

struct StringResult {
    int16_t result;
    std::string text;
};

StringResult readString(DefScanner *s, int16_t limit = kDefStringMax) {
    std::string buffer(static_cast<size_t>(limit) + 1, 'X');
    int16_t r = scanBlankString(s, buffer.data(), limit);
    return {r, std::string(buffer.c_str())};
}

TEST(DefScanner, BlanksAndCommentsAreSkippedUntilTheNextToken) {
    Input in(" \t\f\v\r\n# a comment, with \"quotes\"\n\n  # another\n\t{");
    EXPECT_EQ(scanSkipBlank(in.get()), 1);
    EXPECT_EQ(scanPeek(in.get()), '{');
    EXPECT_EQ(scanBlankExpect(in.get(), '{'), 1);
    EXPECT_EQ(scanSkipBlank(in.get()), -1);
    EXPECT_EQ(scanPeek(in.get()), -1);
}

TEST(DefScanner, HashAfterATokenStartsACommentButNotInsideAString) {
    Input in(",# trailing comment\n\"a # b\"#x\n,");
    EXPECT_EQ(scanBlankExpect(in.get(), ','), 1);
    StringResult s = readString(in.get());
    EXPECT_EQ(s.result, 1);
    EXPECT_EQ(s.text, "a # b");
    EXPECT_EQ(scanBlankExpect(in.get(), ','), 1);
}

TEST(DefScanner, StringsKeepLineEndsAndMayBeEmpty) {
    Input in("\"first\nsecond\" \"\" \"x\"");
    StringResult s = readString(in.get());
    EXPECT_EQ(s.result, 1);
    EXPECT_EQ(s.text, "first\nsecond");
    s = readString(in.get());
    EXPECT_EQ(s.result, 1);
    EXPECT_EQ(s.text, "");
    s = readString(in.get());
    EXPECT_EQ(s.text, "x");
}

TEST(DefScanner, StringResults) {
    Input notAString("abc");
    EXPECT_EQ(readString(notAString.get()).result, 0);
    EXPECT_EQ(scanPeek(notAString.get()), 'a') << "a refused string consumes nothing";
    Input unterminated("\"runs to the end\n");
    EXPECT_EQ(readString(unterminated.get()).result, -1);
    Input atEnd("   ");
    EXPECT_EQ(readString(atEnd.get()).result, -1);
}

TEST(DefScanner, StringLimitIsInclusive) {
    std::string exact(kDefStringMax, 'a');
    Input fits("\"" + exact + "\"");
    StringResult s = readString(fits.get());
    EXPECT_EQ(s.result, 1);
    EXPECT_EQ(s.text, exact);

    Input tooLong("\"" + exact + "b\"");
    s = readString(tooLong.get());
    EXPECT_EQ(s.result, 0);
    EXPECT_EQ(s.text.size(), static_cast<size_t>(kDefStringMax)) << "never more than the limit is stored";

    // A small limit, with the buffer exactly limit + 1 long: the guard byte beyond stays.
    Input small("\"abcdef\"");
    char buffer[5] = {'X', 'X', 'X', 'X', 'G'};
    EXPECT_EQ(scanBlankString(small.get(), buffer, 3), 0);
    EXPECT_STREQ(buffer, "abc");
    EXPECT_EQ(buffer[4], 'G');
}

TEST(DefScanner, LongLinesAreReadAcrossPieces) {
    // A 600-character string on one line crosses two piece boundaries, and so does a run of
    // blanks before a token.
    std::string longText(600, 'z');
    longText[255] = 'A';
    longText[256] = 'B';
    Input in("\"" + longText + "\"" + std::string(700, ' ') + ",");
    StringResult s = readString(in.get());
    EXPECT_EQ(s.result, 1);
    EXPECT_EQ(s.text, longText);
    EXPECT_EQ(scanBlankExpect(in.get(), ','), 1);

    std::string longComment = "#" + std::string(1000, 'c') + "\n{";
    Input comment(longComment);
    EXPECT_EQ(scanBlankExpect(comment.get(), '{'), 1);
}

TEST(DefScanner, DecimalNumbers) {
    Input in("12 -3 +7 -32768 32767");
    int16_t v = -1;
    EXPECT_EQ(scanBlankShort(in.get(), &v), 1);
    EXPECT_EQ(v, 12);
    EXPECT_EQ(scanBlankShort(in.get(), &v), 1);
    EXPECT_EQ(v, -3);
    EXPECT_EQ(scanBlankShort(in.get(), &v), 1);
    EXPECT_EQ(v, 7);
    EXPECT_EQ(scanBlankShort(in.get(), &v), 1);
    EXPECT_EQ(v, -32768);
    EXPECT_EQ(scanBlankShort(in.get(), &v), 1);
    EXPECT_EQ(v, 32767);
    EXPECT_EQ(scanBlankShort(in.get(), &v), -1);
}

TEST(DefScanner, DecimalNumberRefusals) {
    for (const char *text : {"n", "-", "32768", "-32769", "99999999999"}) {
        Input in(std::string(text) + "\n,");
        int16_t v = 5;
        EXPECT_EQ(scanBlankShort(in.get(), &v), 0) << text;
        EXPECT_EQ(v, 0) << text;
        // The rest of the piece is dropped; the next line is read afresh.
        EXPECT_EQ(scanBlankExpect(in.get(), ','), 1) << text;
    }
    Input partial("1-n,");
    int16_t v = 0;
    EXPECT_EQ(scanBlankShort(partial.get(), &v), 1);
    EXPECT_EQ(v, 1);
    EXPECT_EQ(scanBlankExpect(partial.get(), ','), 0) << "\"-n\" follows the number";
}

TEST(DefScanner, HexadecimalValues) {
    Input in("0x00100010 0xffffFFFF 0x7 0X10 0x 0xg");
    uint32_t v = 1;
    EXPECT_EQ(scanBlankHex(in.get(), &v), 1);
    EXPECT_EQ(v, 0x00100010u);
    EXPECT_EQ(scanBlankHex(in.get(), &v), 1);
    EXPECT_EQ(v, 0xFFFFFFFFu);
    EXPECT_EQ(scanBlankHex(in.get(), &v), 1);
    EXPECT_EQ(v, 7u);
    EXPECT_EQ(scanBlankHex(in.get(), &v), 0) << "upper-case X is not a prefix";
    EXPECT_EQ(v, 0u);

    for (const char *text : {"0x", "0xg", "10", "0x100000000", "0x123456789abc"}) {
        Input bad(std::string(text) + "\n}");
        EXPECT_EQ(scanBlankHex(bad.get(), &v), 0) << text;
        EXPECT_EQ(scanBlankExpect(bad.get(), '}'), 1) << text;
    }
    Input leadingZeros("0x0000000000000010,");
    EXPECT_EQ(scanBlankHex(leadingZeros.get(), &v), 1);
    EXPECT_EQ(v, 0x10u);
}

TEST(DefScanner, CharacterValuesBetweenApostrophes) {
    // The module loader reads 'c' as: blank-skipping apostrophe, any character, apostrophe.
    Input in(" 'x' ' ' '' ");
    EXPECT_EQ(scanBlankExpect(in.get(), '\''), 1);
    EXPECT_EQ(scanGetChar(in.get()), 'x');
    EXPECT_EQ(scanExpect(in.get(), '\''), 1);
    EXPECT_EQ(scanBlankExpect(in.get(), '\''), 1);
    EXPECT_EQ(scanGetChar(in.get()), ' ');
    EXPECT_EQ(scanExpect(in.get(), '\''), 1);
    EXPECT_EQ(scanBlankExpect(in.get(), '\''), 1);
    EXPECT_EQ(scanGetChar(in.get()), '\'') << "two apostrophes: the second is the character";
    EXPECT_EQ(scanExpect(in.get(), '\''), 0);
    EXPECT_EQ(scanPeek(in.get()), ' ');

    Input end("'");
    EXPECT_EQ(scanBlankExpect(end.get(), '\''), 1);
    EXPECT_EQ(scanGetChar(end.get()), -1);

    Input high("\xff");
    EXPECT_EQ(scanPeek(high.get()), 0xFF) << "a byte 0xFF is a character, not the end";
    EXPECT_EQ(scanGetChar(high.get()), 0xFF);
}

TEST(DefScanner, ZeroBytesEndTheirPieceButNotTheFile) {
    std::string text("{\0junk\n,", 8);
    Input in(text);
    EXPECT_EQ(scanBlankExpect(in.get(), '{'), 1);
    EXPECT_EQ(scanBlankExpect(in.get(), ','), 1);
    EXPECT_EQ(scanSkipBlank(in.get()), -1);
}

TEST(DefMessageBuffer, KeepsTheFirstMessageCutToTheBuffer) {
    DefMessage msg;
    EXPECT_TRUE(msg.empty());
    msg.set(kMsgComma);
    msg.set(kMsgLeftBrace);
    EXPECT_STREQ(msg.text(), kMsgComma);

    DefMessage longOne;
    std::string input(3000, 'q');
    longOne.format("%s\n%s\n", kMsgString, input.c_str());
    EXPECT_EQ(std::strlen(longOne.text()), kDefMessageSize - 1);
}

TEST(DefExtraInput, ReportsNonBlankInputLeftOver) {
    Input clean("  # only a comment\n");
    DefMessage msg;
    checkExtraInput(clean.get(), msg);
    EXPECT_TRUE(msg.empty());

    Input stray("\n word");
    checkExtraInput(stray.get(), msg);
    EXPECT_STREQ(msg.text(), kMsgExtraInput);

    Input keep("word");
    DefMessage earlier;
    earlier.set(kMsgHex);
    checkExtraInput(keep.get(), earlier);
    EXPECT_STREQ(earlier.text(), kMsgHex) << "an earlier message is never replaced";
}

}  // namespace
