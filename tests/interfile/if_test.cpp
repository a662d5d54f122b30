// Tests of the Interfile header parser against the shipped interfil.def: key lines, indexes,
// comments, line ends, unexpected characters, unknown keys and refused headers.
#include <algorithm>
#include <cstring>
#include <string>

#include "interfile_fixture.h"

namespace velmar::test {
namespace {

class HeaderTest : public InterfileTest {
protected:
    void SetUp() override {
        InterfileTest::SetUp();
        ASSERT_EQ(loadDefinition(""), 0);
        messages();
    }
};

TEST_F(HeaderTest, EmptyHeaderReadsAsEmptyHeader) {
    ASSERT_EQ(readHeader(""), 0);
    ASSERT_NE(header_, nullptr);
    EXPECT_EQ(std::string(getInterfileName(header_)), dir_ + "/test.hdr");
    auto lines = messages();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0], "Info: INTERFILE " + dir_ + "/test.hdr loaded.");
    EXPECT_EQ(value("patient name"), "<none>");
}

TEST_F(HeaderTest, KeyLinesStoreValuesWithoutBlanksAndComments) {
    ASSERT_EQ(readHeader("!INTERFILE := ; first line\n"
                         "!GENERAL DATA :=\n"
                         "patient name :=\n"
                         "!name of data file := a.img ; the data\n"
                         "original institution:=  General  Hospital  \n"
                         "!GENERAL IMAGE DATA :=\n"
                         "!type of data := Static\n"
                         "number of energy windows := 2\n"
                         "energy window [2] := Tc99m\n"
                         "matrix size [1] := 128\n"),
              0);
    EXPECT_TRUE(problems().empty());
    EXPECT_EQ(value("patient name"), "<none>");
    EXPECT_EQ(value("GENERAL DATA"), "");  // a NULL key present: empty text, success
    EXPECT_EQ(value("END OF INTERFILE"), "<none>");
    EXPECT_EQ(value("name of data file"), "a.img");
    EXPECT_EQ(value("original institution"), "General  Hospital");
    EXPECT_EQ(value("energy window", 2), "Tc99m");
    EXPECT_EQ(value("energy window", 1), "<none>");
    // The dimension key is a key of its own, stored without index.
    EXPECT_EQ(value("matrix size [1]"), "128");
    EXPECT_EQ(value("!Matrix Size[1]"), "128");
}

TEST_F(HeaderTest, LineEndsOfEveryKindAndHighBytes) {
    for (const char *eol : {"\n", "\r\n", "\r", "\n\r"}) {
        std::string text = std::string("!GENERAL DATA :=") + eol + "patient name := M\xfcller, J\xe9r\xf4me" +
                           eol + "!study ID := X\x80\xff" + eol + "exam type:=" + eol +
                           "data description := d" + eol;
        ASSERT_EQ(readHeader(text), 0);
        EXPECT_TRUE(problems().empty()) << "line end " << static_cast<int>(eol[0]);
        EXPECT_EQ(value("patient name"), "M\xfcller, J\xe9r\xf4me");
        EXPECT_EQ(value("study ID"), "X\x80\xff");
        EXPECT_EQ(value("exam type"), "<none>");
        EXPECT_EQ(value("data description"), "d");
    }
}

TEST_F(HeaderTest, BarEndsValueAndRestIsScannedAsKeyText) {
    ASSERT_EQ(readHeader("!GENERAL DATA :=\npatient name := Doe|x\n"), 0);
    EXPECT_EQ(value("patient name"), "Doe");
    auto lines = problems();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], "Error: in INTERFILE | at line 1 pos 19");
    EXPECT_EQ(lines[1], "Error: in INTERFILE x at line 1 pos 20");
}

TEST_F(HeaderTest, UnknownAndWronglyIndexedKeysAreReported) {
    ASSERT_EQ(readHeader("!GENERAL DATA :=\n"
                         "favourite colour := blue\n"
                         "other thing [3] := 4\n"
                         "NUD/Patient Weight [kg] := 0.00\n"
                         "patient name [2] := Doe\n"
                         "!GENERAL IMAGE DATA :=\n"
                         "energy window := Tc99m\n"),
              0);
    auto lines = problems();
    std::vector<std::string> expected = {
        "Warning: Unknown key: favourite colour",
        "Warning: Unknown key ignored: favourite colour := blue",
        "Warning: Unknown key: other thing",
        "Warning: Unknown key ignored: other thing [3] := 4",
        "Warning: Unknown key: NUD/Patient Weight [kg]",
        "Warning: Unknown key ignored: NUD/Patient Weight [kg] := 0.00",
        "Error: Key should not be indexed: patient name",
        "Error: Key should be indexed: energy window",
    };
    EXPECT_EQ(lines, expected);
    // A wrongly indexed known key is stored anyway.
    EXPECT_EQ(value("patient name", 2), "Doe");
    EXPECT_EQ(value("energy window", 1), "Tc99m");
}

TEST_F(HeaderTest, CenterSpellingFindsCentreKey) {
    ASSERT_EQ(readHeader("!GENERAL IMAGE DATA :=\n"
                         "!type of data := Tomographic\n"
                         "!process status := Acquired\n"
                         "Center of Rotation := Single_value\n"
                         "radius := 200\n"),
              0);
    EXPECT_TRUE(problems().empty());
    EXPECT_EQ(value("Centre_of_rotation"), "Single_value");
    EXPECT_EQ(value("Radius"), "200");
}

TEST_F(HeaderTest, EndMarkAndTrailingTextAfterIt) {
    ASSERT_EQ(readHeader("!GENERAL DATA :=\npatient name := A\n\x1a\n\x04"), 0);
    EXPECT_TRUE(problems().empty());
    EXPECT_EQ(value("patient name"), "A");
}

struct MalformedHeader {
    const char *name;
    const char *text;
};

class MalformedHeaderTest : public HeaderTest,
                            public ::testing::WithParamInterface<MalformedHeader> {};

TEST_P(MalformedHeaderTest, IsRefusedWithParseErrorAndProcessGoesOn) {
    std::string text = std::string("!GENERAL DATA :=\npatient name := A\n") + GetParam().text;
    header_ = reinterpret_cast<InterfileHeader *>(&app_);  // must be replaced by null
    EXPECT_EQ(readinterfileheader(&app_, &header_, write("bad.hdr", text).c_str()), -1);
    EXPECT_EQ(header_, nullptr);
    auto lines = problems();
    ASSERT_FALSE(lines.empty());
    // One message names the file, the 1-based line and what the line lacks.
    EXPECT_EQ(lines.back().rfind("Error: parse error in " + dir_ + "/bad.hdr at line ", 0), 0u)
        << lines.back();
    EXPECT_EQ(std::count(lines.begin(), lines.end(), lines.back()), 1);
    // The definition is intact and the next header reads.
    ASSERT_EQ(readHeader("!GENERAL DATA :=\npatient name := B\n"), 0);
    EXPECT_EQ(value("patient name"), "B");
}

INSTANTIATE_TEST_SUITE_P(
    Headers, MalformedHeaderTest,
    ::testing::Values(MalformedHeader{"IndexedKeyWithoutAssign", "energy window [1] Tc99m\n"},
                      MalformedHeader{"BracketWithoutClose", "energy window [ := Tc99m\n"},
                      MalformedHeader{"AssignWithoutKey", ":= value\n"},
                      MalformedHeader{"IndexWithoutName", "[2] := x\n"},
                      // Key lines that lack their ":=".
                      MalformedHeader{"KeyWithoutAssign", "patient name Doe\n"},
                      MalformedHeader{"ObligatoryKeyWithoutAssign", "!study id P-1\n"},
                      MalformedHeader{"SingleWord", "ab\n"},
                      MalformedHeader{"IndentedKeyWithoutAssign", " \t patient name Doe\n"},
                      MalformedHeader{"SingleColon", "patient name: Doe\n"},
                      MalformedHeader{"AssignOnlyInComment", "patient name Doe ; a := b\n"},
                      MalformedHeader{"AtEndOfFile", "patient name Doe"},
                      MalformedHeader{"BetweenCRLines", "\rpatient name Doe\r!study ID := 1\r"},
                      MalformedHeader{"BetweenCRLFLines", "\r\npatient name Doe\r\n!study ID := 1\r\n"},
                      MalformedHeader{"AfterStrayCharacter", "# patient name Doe\n"},
                      MalformedHeader{"UnitKeyWithoutAssign", "NUD/Patient Weight [kg] 0.00\n"},
                      // "[" without "]", with and without ":=".
                      MalformedHeader{"OpenIndexWithoutAssign", "energy window [1 Tc99m\n"},
                      MalformedHeader{"OpenIndexBeforeAssign", "energy window [1 := Tc99m\n"},
                      MalformedHeader{"OpenUnitBeforeAssign", "NUD/Patient Weight [kg := 0.00\n"},
                      MalformedHeader{"OpenBracketAfterValue", "patient name := Doe|[x\n"}),
    [](const ::testing::TestParamInfo<MalformedHeader> &info) { return info.param.name; });

TEST_F(HeaderTest, StrayTextBeforeAKeyLineIsReportedCharacterByCharacter) {
    // The line holds ":=", so the text that cannot start a key is stray text, not a key line
    // without ":=": it is logged and the key after it is read.
    ASSERT_EQ(readHeader("!GENERAL DATA :=\nx. patient name := A\n"), 0);
    auto lines = problems();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], "Error: in INTERFILE x at line 1 pos 0");
    EXPECT_EQ(lines[1], "Error: in INTERFILE . at line 1 pos 1");
    EXPECT_EQ(value("patient name"), "A");
    // A bracket closed on its line is stray text as well.
    ASSERT_EQ(readHeader("!GENERAL DATA :=\npatient name := Doe|[x]\n"), 0);
    lines = problems();
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[1], "Error: in INTERFILE [ at line 1 pos 20");
    EXPECT_EQ(lines[3], "Error: in INTERFILE ] at line 1 pos 22");
    EXPECT_EQ(value("patient name"), "Doe");
}

TEST_F(HeaderTest, PositionsPastSixteenBitsAndByteOrderMark) {
    // 40000 lines and a 40000-character stray run: neither counter wraps. A byte-order mark
    // at the start is skipped silently.
    std::string text = "\xEF\xBB\xBF!GENERAL DATA :=\n" + std::string(40000, '\n') + "patient name := A|" +
                       std::string(40000, 'b') + "\n";
    ASSERT_EQ(readHeader(text), 0);
    auto lines = problems();
    ASSERT_EQ(lines.size(), 40001u);
    EXPECT_EQ(lines.front(), "Error: in INTERFILE | at line 40001 pos 17");
    EXPECT_EQ(lines.back(), "Error: in INTERFILE b at line 40001 pos 40017");
    EXPECT_EQ(value("patient name"), "A");
}

TEST_F(HeaderTest, SyntaxErrorMessageSaysWhatTheLineLacks) {
    EXPECT_EQ(readHeader("!GENERAL DATA :=\n\npatient name Doe ; c\n"), -1);
    EXPECT_EQ(problems().back(),
              "Error: parse error in " + dir_ +
                  "/test.hdr at line 3 pos 1: key line without ':=': patient name Doe ; c");
    EXPECT_EQ(readHeader("!GENERAL DATA :=\r\nenergy window [1 := Tc99m\r\n"), -1);
    EXPECT_EQ(problems().back(),
              "Error: parse error in " + dir_ +
                  "/test.hdr at line 2 pos 15: '[' without ']': energy window [1 := Tc99m");
}

TEST_F(HeaderTest, LinesWithoutKeysStillRead) {
    // Comments, blank and whitespace-only lines, unit brackets, "!" keys and the closing
    // Ctrl-Z, under every kind of line end.
    for (const char *eol : {"\n", "\r\n", "\r", "\n\r"}) {
        std::string e = eol;
        std::string text = "!INTERFILE :=" + e + ";" + e + "; a comment without assign" + e + e +
                           " \t " + e + "!GENERAL DATA :=   ; section" + e + "   ; indented comment" + e +
                           "NUD/Patient Weight [kg] := 0.00" + e + "isotope half life [hours]:=6.0" + e +
                           "!study ID := P-1" + e + "\t patient name := Doe ; trailing" + e + "\x1a";
        ASSERT_EQ(readHeader(text), 0) << "line end " << static_cast<int>(eol[0]);
        auto lines = problems();
        std::vector<std::string> expected = {
            "Warning: Unknown key: NUD/Patient Weight [kg]",
            "Warning: Unknown key ignored: NUD/Patient Weight [kg] := 0.00",
            "Warning: Unknown key: isotope half life [hours]",
            "Warning: Unknown key ignored: isotope half life [hours] := 6.0",
        };
        EXPECT_EQ(lines, expected) << "line end " << static_cast<int>(eol[0]);
        EXPECT_EQ(value("study ID"), "P-1");
        EXPECT_EQ(value("patient name"), "Doe");
    }
}

TEST_F(HeaderTest, MissingFileGivesMinusOne) {
    header_ = nullptr;
    EXPECT_EQ(readinterfileheader(&app_, &header_, (dir_ + "/absent.hdr").c_str()), -1);
    EXPECT_EQ(header_, nullptr);
    EXPECT_TRUE(messages().empty());
}

TEST_F(HeaderTest, HugeIndexIsRefusedWithoutBuildingCopies) {
    ASSERT_EQ(readHeader("!GENERAL IMAGE DATA :=\n"
                         "!type of data := Tomographic\n"
                         "energy window [99999] := Tc99m\n"
                         "energy window [3] := In111\n"),
              0);
    auto lines = problems();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0], "Warning: Wrongly placed key: energy window [32767] := Tc99m");
    EXPECT_LT(header_->nodeCount, 2000u);
    EXPECT_EQ(value("energy window", 3), "In111");
}

struct Normalized {
    const char *name;
    const char *expected;
};

class NormalizeTest : public ::testing::TestWithParam<Normalized> {};

TEST_P(NormalizeTest, KeepsLettersDigitsAndSigns) {
    char out[256];
    EXPECT_STREQ(normalizeinterkey(GetParam().name, out), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Names, NormalizeTest,
    ::testing::Values(Normalized{"!matrix size [1]", "MATRIXSIZE[1]"},
                      Normalized{"MATRIX SIZE[1]", "MATRIXSIZE[1]"},
                      Normalized{"scaling factor (mm/pixel)", "SCALINGFACTOR(MM/PIXEL)"},
                      Normalized{"Center of rotation", "CENTREOFROTATION"},
                      Normalized{"center center slice separation (pixels)",
                                 "CENTRECENTRESLICESEPARATION(PIXELS)"},
                      Normalized{"center-center slice separation (pixels)",
                                 "CENTER-CENTERSLICESEPARATION(PIXELS)"},
                      Normalized{"% R-R cycles_acquired.this:window\\", "%R-RCYCLESACQUIREDTHISWINDOW\\"},
                      Normalized{"M\xfcller", "MLLER"}, Normalized{"", ""}));

TEST(NormalizeLongTest, CutsAt255Characters) {
    std::string name(300, 'k');
    char out[256];
    normalizeinterkey(name.c_str(), out);
    EXPECT_EQ(std::strlen(out), 255u);
}

}  // namespace
}  // namespace velmar::test
