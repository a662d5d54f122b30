// Tests of the attribute dictionary loader: malformed files and their messages, primary and
// secondary files, table growth, release and reload, and the shipped dictionary against the
// standard's facts.
#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <sstream>

#include "defs/dict_fixture.h"

namespace {

using dict_test::DefContext;

std::string record(const std::string &tag, const std::string &name, const std::string &vr = "CS",
                   const std::string &vm = "1", const std::string &permitted = "",
                   const std::string &type = "") {
    return "{" + tag + ", \"" + name + "\", \"" + vr + "\", " + vm + ", \"" + permitted + "\", \"" + type +
           "\"},\n";
}

std::string nameOf(AppData *app, uint32_t tag) {
    const char *name = nullptr;
    getAttrName(app, tag, &name);
    return name;
}

class TagDef : public DefContext {};

// ---- Malformed files: each yields exactly one message, logged with its full stop ----------------

struct Malformed {
    const char *label;
    std::string text;
    const char *message;
    int16_t entriesKept;
};

class TagDefMalformed : public DefContext, public ::testing::WithParamInterface<Malformed> {};

TEST_P(TagDefMalformed, ReportsTheFirstErrorOnly) {
    const Malformed &m = GetParam();
    write("tag_tab.def", record("0x00100010", "Patient's Name", "PN") + m.text);
    write("tag2_tab.def", record("0x00110010", "Secondary"));
    EXPECT_EQ(InitTagDef(&app_, 0), -1);
    std::vector<std::string> logged = errors();
    ASSERT_EQ(logged.size(), 1u);
    EXPECT_EQ(velmar_test::withoutPlace(logged[0]), std::string(m.message) + ".");
    EXPECT_EQ(app_.primaryTagCount, m.entriesKept);
    EXPECT_EQ(app_.secondaryTagCount, 0) << "the secondary file is not read after an error";
    EXPECT_EQ(nameOf(&app_, 0x00100010), "Patient's Name") << "records before the error stay usable";
}

const std::string kLong2006(2006, 'n');

INSTANTIATE_TEST_SUITE_P(
    Messages, TagDefMalformed,
    ::testing::Values(
        Malformed{"NoLeftBrace", "0x00100020, \"x\", \"LO\", 1, \"\", \"\"},\n", "'{' (left brace) expected",
                  1},
        Malformed{"NoHex", "{00100020, \"x\", \"LO\", 1, \"\", \"\"},\n",
                  "hexadecimal value with 0x prefix expected", 1},
        Malformed{"UpperCaseX", "{0X00100020, \"x\", \"LO\", 1, \"\", \"\"},\n",
                  "hexadecimal value with 0x prefix expected", 1},
        Malformed{"NoCommaAfterTag", "{0x00100020 \"x\", \"LO\", 1, \"\", \"\"},\n", "',' (comma) expected",
                  1},
        Malformed{"NameUnquoted", "{0x00100020, x, \"LO\", 1, \"\", \"\"},\n",
                  "character string between \"s (double quote) expected", 1},
        Malformed{"NameTooLong", "{0x00100020, \"" + kLong2006 + "\", \"LO\", 1, \"\", \"\"},\n",
                  "character string between \"s (double quote) expected", 1},
        Malformed{"VmLetter", "{0x00100020, \"x\", \"LO\", n, \"\", \"\"},\n", "short integer value expected",
                  1},
        Malformed{"VmRange", "{0x00100020, \"x\", \"LO\", 1-n, \"\", \"\"},\n", "',' (comma) expected", 1},
        Malformed{"NoRightBrace", "{0x00100020, \"x\", \"LO\", 1, \"\", \"\", \"extra\"},\n",
                  "'}' (right brace) expected", 1},
        Malformed{"NoCommaBetweenRecords",
                  "{0x00100020, \"x\", \"LO\", 1, \"\", \"\"}\n{0x00100030, \"y\", \"DA\", 1, \"\", \"\"},\n",
                  "',' (comma) expected", 1},
        Malformed{"EndInsideRecord", "{0x00100020, \"x\", \"LO\"", "',' (comma) expected", 1},
        Malformed{"UnterminatedString", "{0x00100020, \"x\", \"LO\", 1, \"runs on\n",
                  "character string between \"s (double quote) expected", 1},
        // After a complete record only "{" or the end may follow.
        Malformed{"StrayWordAtTheEnd", record("0x00100020", "Patient ID", "LO") + "stray\n",
                  "'{' (left brace) expected", 2},
        Malformed{"SecondErrorNotReported", "{0x00100020 \"x\" \"LO\"}\n}}}}\n", "',' (comma) expected", 1}),
    [](const ::testing::TestParamInfo<Malformed> &info) { return std::string(info.param.label); });

// ---- Well-formed files ------------------------------------------------------------------------

TEST_F(TagDef, LoadsFieldsAndLogsTheLoadingLine) {
    std::string path =
        write("tag_tab.def",
              "# comment\n" + record("0x00100040", "Patient's Sex", "CS", "1", "M, F, O", "E") +
                  record("0x00280010", "Rows", "US") + record("0x00080008", "Image Type", "CS", "0") +
                  record("0x00281100", "Descriptor", "XU", "3") + record("0x00091001", "Odd VR", "QQ", "-2"));
    EXPECT_EQ(InitTagDef(&app_, 1), 0);
    EXPECT_TRUE(errors().empty());
    std::vector<std::string> info = logged("Info: ");
    ASSERT_EQ(info.size(), 1u);
    EXPECT_EQ(info[0], "Loading primary DICOM Attribute Tag definition file " + path);

    int32_t vr = 0;
    int16_t vm = 0;
    const char *text = nullptr;
    EXPECT_EQ(getVR(&app_, 0x00100040, &vr), 0);
    EXPECT_EQ(vr, VR_CS);
    EXPECT_EQ(getPermitted(&app_, 0x00100040, &text), 0);
    EXPECT_STREQ(text, "M, F, O");
    EXPECT_EQ(getCStype(&app_, 0x00100040, &text), 0);
    EXPECT_STREQ(text, "E");
    getVR(&app_, 0x00281100, &vr);
    EXPECT_EQ(vr, VR_XU);
    getVM(&app_, 0x00080008, &vm);
    EXPECT_EQ(vm, 0);
    EXPECT_EQ(getVR(&app_, 0x00091001, &vr), 0);
    EXPECT_EQ(vr, -1) << "a VR text outside the table loads as -1";
    getVM(&app_, 0x00091001, &vm);
    EXPECT_EQ(vm, -2);
    EXPECT_EQ(getPermitted(&app_, 0x00280010, &text), 0);
    EXPECT_STREQ(text, "");
}

TEST_F(TagDef, LastRecordWithoutCommaIsNotStored) {
    write("tag_tab.def", record("0x00100010", "Patient's Name", "PN") +
                             "{0x00100020, \"Patient ID\", \"LO\", 1, \"\", \"\"}\n");
    EXPECT_EQ(InitTagDef(&app_, 1), 0);
    EXPECT_TRUE(errors().empty());
    EXPECT_EQ(app_.primaryTagCount, 1);
    EXPECT_EQ(getAttrName(&app_, 0x00100020, nullptr), -1);
}

TEST_F(TagDef, EmptyAndCommentOnlyFilesLoadNothing) {
    write("tag_tab.def", "");
    EXPECT_EQ(InitTagDef(&app_, 0), 0);
    write("tag_tab.def", "# nothing\n   \n# here");
    EXPECT_EQ(InitTagDef(&app_, 0), 0);
    EXPECT_EQ(app_.primaryTagCount, 0);
    EXPECT_TRUE(errors().empty());
}

TEST_F(TagDef, StringsUpToTheLimitAreKept) {
    std::string name(2005, 'a');
    std::string permitted(2005, 'p');
    write("tag_tab.def", record("0x00100010", name, "PN", "1", permitted, "E"));
    EXPECT_EQ(InitTagDef(&app_, 1), 0);
    EXPECT_EQ(nameOf(&app_, 0x00100010), name);
    const char *text = nullptr;
    getPermitted(&app_, 0x00100010, &text);
    EXPECT_EQ(std::string(text), permitted);
}

TEST_F(TagDef, PrimaryWinsOverSecondaryAndFirstRecordWins) {
    write("tag_tab.def",
          record("0x00100010", "Primary Name", "PN") + record("0x00100010", "Second Record", "LO"));
    std::string secondary = write("tag2_tab.def", record("0x00100010", "Secondary Name", "SH") +
                                                      record("0x00110010", "Site Private", "LO"));
    EXPECT_EQ(InitTagDef(&app_, 0), 0);
    EXPECT_EQ(app_.primaryTagCount, 2);
    EXPECT_EQ(app_.secondaryTagCount, 2);
    EXPECT_EQ(nameOf(&app_, 0x00100010), "Primary Name");
    EXPECT_EQ(nameOf(&app_, 0x00110010), "Site Private");
    std::vector<std::string> info = logged("Info: ");
    ASSERT_EQ(info.size(), 2u);
    EXPECT_EQ(info[1], "Loading secondary DICOM Attribute Tag definition file " + secondary);
}

TEST_F(TagDef, PrimaryOnlyAndMissingFiles) {
    write("tag2_tab.def", record("0x00110010", "Site Private", "LO"));
    EXPECT_EQ(InitTagDef(&app_, 0), -1) << "tag_tab.def is missing";
    EXPECT_EQ(app_.primaryTagCount, 0);
    EXPECT_EQ(app_.secondaryTagCount, 0);
    EXPECT_EQ(app_.primaryTags, nullptr);

    write("tag_tab.def", record("0x00100010", "Patient's Name", "PN"));
    EXPECT_EQ(InitTagDef(&app_, 1), 0);
    EXPECT_EQ(app_.secondaryTagCount, 0) << "primaryOnly never reads tag2_tab.def";
    DoneTagDef(&app_);

    remove("tag2_tab.def");
    EXPECT_EQ(InitTagDef(&app_, 0), 0) << "a missing secondary file is not an error";
    EXPECT_EQ(app_.primaryTagCount, 1);
    EXPECT_TRUE(errors().empty());
}

TEST_F(TagDef, SecondarySyntaxErrorKeepsItsEarlierRecords) {
    write("tag_tab.def", record("0x00100010", "Patient's Name", "PN"));
    write("tag2_tab.def", record("0x00110010", "Site Private", "LO") + "{0x00111000,");
    EXPECT_EQ(InitTagDef(&app_, 0), -1);
    ASSERT_EQ(errors().size(), 1u);
    EXPECT_EQ(velmar_test::withoutPlace(errors()[0]),
              "character string between \"s (double quote) expected.");
    EXPECT_EQ(nameOf(&app_, 0x00110010), "Site Private");
}

TEST_F(TagDef, TablesGrowInStepsOfTwenty) {
    std::string text;
    for (int i = 0; i < 20; ++i) text += record("0x0011" + std::to_string(1000 + i), "e" + std::to_string(i));
    write("tag_tab.def", text);
    ASSERT_EQ(InitTagDef(&app_, 1), 0);
    EXPECT_EQ(app_.primaryTagCapacity, 20);
    DoneTagDef(&app_);
    write("tag_tab.def", text + record("0x00112000", "twenty-first"));
    ASSERT_EQ(InitTagDef(&app_, 1), 0);
    EXPECT_EQ(app_.primaryTagCount, 21);
    EXPECT_EQ(app_.primaryTagCapacity, 40);
    EXPECT_EQ(nameOf(&app_, 0x00111000), "e0");
    EXPECT_EQ(nameOf(&app_, 0x00112000), "twenty-first");
}

TEST_F(TagDef, DoneReleasesAndAReloadSeesTheNewTables) {
    write("tag_tab.def", record("0x00100010", "Old Name", "PN"));
    ASSERT_EQ(InitTagDef(&app_, 1), 0);
    EXPECT_EQ(nameOf(&app_, 0x00100010), "Old Name");  // builds the lookup index
    DoneTagDef(&app_);
    EXPECT_EQ(app_.primaryTags, nullptr);
    EXPECT_EQ(app_.defStrings, nullptr);
    EXPECT_EQ(app_.primaryTagCount, 0);
    EXPECT_EQ(app_.primaryTagCapacity, 0);
    EXPECT_EQ(app_.tagIndex, nullptr);
    EXPECT_EQ(getAttrName(&app_, 0x00100010, nullptr), -1);

    // Same count, likely the same memory: the lookups must see the new texts.
    write("tag_tab.def", record("0x00100010", "New Name", "LO"));
    ASSERT_EQ(InitTagDef(&app_, 1), 0);
    EXPECT_EQ(nameOf(&app_, 0x00100010), "New Name");
    int32_t vr = 0;
    getVR(&app_, 0x00100010, &vr);
    EXPECT_EQ(vr, VR_LO);
}

// ---- The shipped dictionary ---------------------------------------------------------------------

class ShippedTagDef : public DefContext {
   protected:
    void SetUp() override {
        DefContext::SetUp();
        dict_test::finderDir() = VELMAR_SHARE_DIR;
    }
};

TEST_F(ShippedTagDef, LoadsWithoutAMessage) {
    ASSERT_EQ(InitTagDef(&app_, 0), 0);
    EXPECT_TRUE(errors().empty()) << logText();
    EXPECT_GT(app_.primaryTagCount, 4000);
    EXPECT_EQ(logged("Info: ").size(), 2u) << "both files are read";
}

TEST_F(ShippedTagDef, SampleTagsHaveTheStandardsVRVMAndName) {
    ASSERT_EQ(InitTagDef(&app_, 0), 0);
    struct Sample {
        uint32_t tag;
        int32_t vr;
        int16_t vm;
        const char *name;
    };
    const Sample samples[] = {
        {0x00100010, VR_PN, 1, "Patient's Name"},
        {0x00080008, VR_CS, 0, "Image Type"},  // 2-n
        {0x00280030, VR_DS, 2, "Pixel Spacing"},
        {0x00181310, VR_US, 4, "Acquisition Matrix"},
        {0x7FE00010, VR_OX, 1, "Pixel Data"},
        {0x00280106, VR_XS, 1, "Smallest Image Pixel Value"},
        {0x00281101, VR_XU, 3, "Red Palette Color Lookup Table Descriptor"},
        {0xFFFEE000, VR_XX, 1, "Item"},
        {0x00540011, VR_US, 1, "Number of Energy Windows"},
        {0x00540012, VR_SQ, 1, "Energy Window Information Sequence"},
        {0x60023000, VR_OX, 1, "Overlay Data"},  // folded onto 6000
        {0x00020010, VR_UI, 1, "Transfer Syntax UID"},
        {0x00180088, VR_DS, 1, "Spacing Between Slices"},
        {0x00200037, VR_DS, 6, "Image Orientation (Patient)"},
    };
    for (const Sample &s : samples) {
        int32_t vr = -2;
        int16_t vm = -9;
        EXPECT_EQ(getVR(&app_, s.tag, &vr), 0) << std::hex << s.tag;
        EXPECT_EQ(vr, s.vr) << std::hex << s.tag;
        getVM(&app_, s.tag, &vm);
        EXPECT_EQ(vm, s.vm) << std::hex << s.tag;
        EXPECT_EQ(nameOf(&app_, s.tag), s.name) << std::hex << s.tag;
    }
    const char *text = nullptr;
    getCStype(&app_, 0x00100040, &text);
    EXPECT_EQ(text[0], 'E') << "Patient's Sex is enumerated";
    getPermitted(&app_, 0x00100040, &text);
    std::string permitted = text;
    for (const char *value : {"M", "F", "O"}) EXPECT_NE(permitted.find(value), std::string::npos) << value;
}

// The library's code of a VR the standard writes: its own code, or the code of a choice of VRs.
int32_t codeOfStandardVR(const std::string &vr, const std::string &vm) {
    if (vr == "US or SS") return vm == "3" ? VR_XU : VR_XS;
    if (vr == "OB or OW") return VR_OX;
    if (vr == "US or OW" || vr == "US or SS or OW") return VR_XW;
    if (vr == "See Note 2") return VR_XX;
    return vr.empty() ? VR_UN : changeVRnameToVR(vr.c_str());
}

// Every row of the standard's dictionary: the name and VR as the standard gives them (no stand-in
// for a newer VR), and the VM code by the library's rule (n exact, open range 0, "1-k" as -k).
TEST_F(ShippedTagDef, AgreesWithTheStandardsDictionary) {
    std::ifstream in(VELMAR_SHARED_DIR "/standard/dictionary.tsv");
    if (!in) GTEST_SKIP() << "the standard's dictionary.tsv is not available";
    ASSERT_EQ(InitTagDef(&app_, 0), 0);
    std::string line;
    std::getline(in, line);
    int checked = 0;
    while (std::getline(in, line)) {
        std::vector<std::string> cells;
        std::stringstream row(line);
        for (std::string cell; std::getline(row, cell, '\t');) cells.push_back(cell);
        if (cells.size() < 6) continue;
        // Of the repeating ranges, the library folds curves, overlays and (0020,31xx) onto their
        // base entry; the generator places the retired others as it chooses.
        std::string tagText = cells[0];
        if (tagText.find('x') != std::string::npos) {
            if (tagText.rfind("50xx", 0) != 0 && tagText.rfind("60xx", 0) != 0 && tagText != "002031xx")
                continue;
            for (char &c : tagText)
                if (c == 'x') c = '0';
        }
        auto tag = static_cast<uint32_t>(std::stoul(tagText, nullptr, 16));
        if ((tag & 0xFFFF) == 0 && tag != 0x00000000 && tag != 0x00020000) continue;
        int32_t vr = -2;
        ASSERT_EQ(getVR(&app_, tag, &vr), 0) << cells[0];
        EXPECT_EQ(vr, codeOfStandardVR(cells[3], cells[5])) << cells[0];
        if (cells[0].find('x') == std::string::npos) EXPECT_EQ(nameOf(&app_, tag), cells[2]) << cells[0];
        const std::string &vmText = cells[5];
        int16_t vm = -9;
        getVM(&app_, tag, &vm);
        if (vmText.find('n') != std::string::npos)
            EXPECT_EQ(vm, 0) << cells[0] << " " << vmText;
        else if (vmText.find('-') == std::string::npos)
            EXPECT_EQ(vm, std::stoi(vmText)) << cells[0] << " " << vmText;
        else if (vmText.rfind("1-", 0) == 0)
            EXPECT_EQ(vm, -std::stoi(vmText.substr(2))) << cells[0] << " " << vmText;
        ++checked;
    }
    EXPECT_GT(checked, 5000);
}

}  // namespace
