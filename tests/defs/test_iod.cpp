// Tests of the IOD and module definition loaders: module lists, sequence paths, the secondary
// files and the messages of malformed files.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "defs/test_verify_fixture.h"

using velmar_test::DefDirectory;
using velmar_test::TestContext;
using velmar_test::TestObject;

namespace {

const char *kIods = R"(# two IODs
{"A.5", "Nuclear Medicine Image", {
  {"C.7.1.1", "Patient", 'M', ""},
  {"C.8.4.10", "NM Isotope", 'M', ""},
  {"C.9.2", "Overlay Plane", 'U', "may be present"}
}}
{"A.8.1", "Secondary Capture Image", {
  {"C.7.1.1", "Patient", 'M', ""}
}}
{"A.99", "Empty IOD", {}}
)";

const char *kModules = R"(
{"C.7.1.1", "Patient", {
  {0x00100010, "Patient's Name", "2", ""},
  {0x00100020, "Patient ID", "2C ", "long type"}
}}
{"C.8.4.10", "NM Isotope", {
  {0x00540012, "Energy Window Information Sequence", "2", ""},
  {0x00180031, "Radiopharmaceutical", "3", ""},
  {0x00540016, "Radiopharmaceutical Information Sequence", "3", ""}
}}
{"C.8.4.10_1", "NM Isotope", {
  {0x00540013, "Energy Window Range Sequence", "3", ""},
  {0x00540018, "Energy Window Name", "3", ""}
}}
{"C.8.4.10_1_1", "NM Isotope", {
  {0x00540014, "Energy Window Lower Limit", "1", ""},
  {0x00540015, "Energy Window Upper Limit", "1", ""}
}}
{"C.8.4.10_2", "NM Isotope", {
  {0x00180031, "Radiopharmaceutical", "3", "inside"}
}}
{"C.99_7_7", "Not in the IOD", {}}
)";

std::vector<std::string> moduleKeys(const ABDef *set) {
    std::vector<std::string> keys;
    for (const ModuleEntry *m = set->firstModule; m != nullptr; m = m->next) keys.push_back(m->key);
    return keys;
}

std::vector<uint32_t> tags(const AttributeEntry *first) {
    std::vector<uint32_t> out;
    for (const AttributeEntry *e = first; e != nullptr; e = e->next) out.push_back(e->tag);
    return out;
}

const ModuleEntry *module(const ABDef *set, const std::string &key) {
    for (const ModuleEntry *m = set->firstModule; m != nullptr; m = m->next)
        if (key == m->key) return m;
    return nullptr;
}

struct Loaded {
    TestContext ctx;
    DefDirectory dir;
    TestObject object{&ctx.app};
};

TEST(InitABDef, LoadsTheModulesOfOneIODInFileOrder) {
    Loaded l;
    l.dir.write("ab_tab.def", kIods);
    ASSERT_EQ(InitABDef(&l.ctx.app, l.object.obj, 1, "A.5"), 0);
    const ABDef *set = l.object.obj->boundDefinitions;
    ASSERT_NE(set, nullptr);
    EXPECT_STREQ(set->key, "A.5");
    EXPECT_STREQ(set->name, "Nuclear Medicine Image");
    EXPECT_EQ(moduleKeys(set), (std::vector<std::string>{"C.7.1.1", "C.8.4.10", "C.9.2"}));
    EXPECT_EQ(set->lastModule->usage, 'U');
    EXPECT_STREQ(set->lastModule->note, "may be present");
    EXPECT_STREQ(set->lastModule->name, "Overlay Plane");
    EXPECT_EQ(set->lastModule->prev->next, set->lastModule);
    EXPECT_EQ(set->firstModule->owner, set);
    EXPECT_EQ(l.ctx.takeLines(),
              std::vector<std::string>{"Info: Loading primary DICOM Object definition file " +
                                       l.dir.file("ab_tab.def")});

    ASSERT_EQ(InitABDef(&l.ctx.app, l.object.obj, 1, "A.99"), 0) << "an empty module list is allowed";
    EXPECT_EQ(l.object.obj->boundDefinitions->firstModule, nullptr);
}

TEST(InitABDef, TheSecondaryFileAddsModulesAndThePrivateModule) {
    Loaded l;
    l.dir.write("ab_tab.def", kIods);
    ASSERT_EQ(InitABDef(&l.ctx.app, l.object.obj, 0, "A.8.1"), 0);
    EXPECT_EQ(moduleKeys(l.object.obj->boundDefinitions), (std::vector<std::string>{"C.7.1.1"}))
        << "without ab2_tab.def there is no private module";

    l.dir.write("ab2_tab.def",
                "# site additions\n{\"A.8.1\", \"SC\", {{\"C.8.6.1\", \"SC Equipment\", 'M', \"\"}}}\n");
    ASSERT_EQ(InitABDef(&l.ctx.app, l.object.obj, 0, "A.8.1"), 0);
    const ABDef *set = l.object.obj->boundDefinitions;
    EXPECT_EQ(moduleKeys(set), (std::vector<std::string>{"C.7.1.1", "C.8.6.1", "P.R.I.V.A.T.E"}));
    EXPECT_STREQ(set->name, "Secondary Capture Image") << "the primary name stays";
    EXPECT_STREQ(set->lastModule->name, "Private Data");
    EXPECT_EQ(set->lastModule->usage, 'U');
    EXPECT_EQ(set->lastModule->firstAttribute, nullptr);

    ASSERT_EQ(InitABDef(&l.ctx.app, l.object.obj, 1, "A.8.1"), 0);
    EXPECT_EQ(moduleKeys(l.object.obj->boundDefinitions), (std::vector<std::string>{"C.7.1.1"}))
        << "primaryOnly reads neither the secondary file nor adds the private module";
}

TEST(InitABDef, AnUnknownKeyOrAMissingFileLeavesNoDefinitions) {
    Loaded l;
    EXPECT_EQ(InitABDef(&l.ctx.app, l.object.obj, 0, "A.5"), -1) << "no ab_tab.def";
    l.dir.write("ab_tab.def", kIods);
    ASSERT_EQ(InitABDef(&l.ctx.app, l.object.obj, 0, "A.5"), 0);
    l.ctx.takeLines();
    EXPECT_EQ(InitABDef(&l.ctx.app, l.object.obj, 0, "A.55"), -1);
    EXPECT_EQ(l.object.obj->boundDefinitions, nullptr) << "the earlier set is gone too";
    for (const std::string &line : l.ctx.takeLines())
        EXPECT_EQ(line.find("Error"), std::string::npos) << line;
    EXPECT_EQ(InitABDef(&l.ctx.app, l.object.obj, 0, "a.5"), -1) << "keys are case-sensitive";
}

struct BadFile {
    const char *name;
    const char *text;
    const char *message;
};

class MalformedIodFile : public ::testing::TestWithParam<BadFile> {};

TEST_P(MalformedIodFile, IsReportedAndDiscarded) {
    Loaded l;
    l.dir.write("ab_tab.def", GetParam().text);
    EXPECT_EQ(InitABDef(&l.ctx.app, l.object.obj, 1, "A.5"), -1);
    EXPECT_EQ(l.object.obj->boundDefinitions, nullptr);
    std::vector<std::string> lines = l.ctx.takeLines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(velmar_test::withoutPlace(lines[1]), std::string("Error: ") + GetParam().message + ".");
}

INSTANTIATE_TEST_SUITE_P(
    Messages, MalformedIodFile,
    ::testing::Values(
        BadFile{"NoRecordBrace", R"("A.5", "NM", {})", "extra input after the last record"},
        BadFile{"NoListBrace", R"({"A.5", "NM", "C.1"})", "'{' (left brace) expected"},
        BadFile{"NoComma", R"({"A.5" "NM", {}})", "',' (comma) expected"},
        BadFile{"NoString", R"({"A.5", NM, {}})", "character string between \"s (double quote) expected"},
        BadFile{"NoApostrophe", R"({"A.5", "NM", {{"C.1", "P", M, ""}}})", "''' (apostrophe) expected"},
        BadFile{"EmptyCharacter", R"({"A.5", "NM", {{"C.1", "P", '', ""}}})", "''' (apostrophe) expected"},
        BadFile{"EndAfterApostrophe", "{\"A.5\", \"NM\", {{\"C.1\", \"P\", '", "character value expected"},
        BadFile{"LinesWithoutComma", R"({"A.5", "NM", {{"C.1", "P", 'M', ""} {"C.2", "Q", 'M', ""}}})",
                "'}' (right brace) expected"},
        BadFile{"EndInsideList", R"({"A.5", "NM", {{"C.1", "P", 'M', ""},)", "unexpected end of file"},
        BadFile{"EndInsideRecord", R"({"A.5", "NM")", "unexpected end of file"},
        BadFile{"ErrorInAnotherRecord", R"({"A.5", "NM", {}} {"A.6", "X", {{"C.1"}}})",
                "',' (comma) expected"},
        BadFile{"ExtraInput", R"({"A.5", "NM", {}} stray)", "extra input after the last record"}),
    [](const ::testing::TestParamInfo<BadFile> &info) { return info.param.name; });

TEST(InitCDef, FillsModulesAndSequenceItemsThroughPaths) {
    Loaded l;
    l.dir.write("ab_tab.def", kIods);
    l.dir.write("c_tab.def", kModules);
    ASSERT_EQ(InitABDef(&l.ctx.app, l.object.obj, 1, "A.5"), 0);
    ASSERT_EQ(InitCDef(&l.ctx.app, l.object.obj, 0), 0) << l.ctx.takeText();
    const ABDef *set = l.object.obj->boundDefinitions;

    const ModuleEntry *patient = module(set, "C.7.1.1");
    EXPECT_EQ(tags(patient->firstAttribute), (std::vector<uint32_t>{0x00100010, 0x00100020}));
    EXPECT_STREQ(patient->lastAttribute->type, "2C ") << "three characters of the type are kept";
    EXPECT_STREQ(patient->lastAttribute->note, "long type");
    EXPECT_EQ(patient->lastAttribute->parent, patient);
    EXPECT_EQ(patient->lastAttribute->inSequence, 0);
    EXPECT_EQ(module(set, "C.9.2")->firstAttribute, nullptr) << "a module without a record has no attributes";

    const ModuleEntry *isotope = module(set, "C.8.4.10");
    EXPECT_EQ(tags(isotope->firstAttribute), (std::vector<uint32_t>{0x00540012, 0x00180031, 0x00540016}));
    const AttributeEntry *window = isotope->firstAttribute;
    ASSERT_NE(window->firstChild, nullptr);
    const AttributeEntry *windowItem = window->firstChild;
    EXPECT_EQ(windowItem->next, nullptr);
    EXPECT_EQ(windowItem->tag, 0xFFFEE000u);
    EXPECT_STREQ(windowItem->name, "Item");
    EXPECT_STREQ(windowItem->type, "3");
    EXPECT_EQ(windowItem->inSequence, 1);
    EXPECT_EQ(windowItem->parent, window);
    EXPECT_EQ(tags(windowItem->firstChild), (std::vector<uint32_t>{0x00540013, 0x00540018}));
    EXPECT_EQ(windowItem->firstChild->parent, windowItem);
    EXPECT_EQ(windowItem->firstChild->inSequence, 1);
    const AttributeEntry *rangeItem = windowItem->firstChild->firstChild;
    ASSERT_NE(rangeItem, nullptr);
    EXPECT_EQ(tags(rangeItem->firstChild), (std::vector<uint32_t>{0x00540014, 0x00540015}));

    const AttributeEntry *radiopharmaceutical = isotope->lastAttribute;
    ASSERT_NE(radiopharmaceutical->firstChild, nullptr) << "_2 is the second sequence attribute";
    EXPECT_STREQ(radiopharmaceutical->firstChild->firstChild->note, "inside");
    EXPECT_EQ(isotope->firstAttribute->next->firstChild, nullptr);

    std::vector<std::string> lines = l.ctx.takeLines();
    ASSERT_EQ(lines.size(), 2u) << ::testing::PrintToString(lines);
    EXPECT_EQ(lines[1], "Info: Loading primary DICOM Module definition file " + l.dir.file("c_tab.def"));
}

TEST(InitCDef, TheSecondaryFileTakesOnlyType3Attributes) {
    Loaded l;
    l.dir.write("ab_tab.def", kIods);
    l.dir.write("c_tab.def", kModules);
    l.dir.write("c2_tab.def",
                "# site\n{\"C.7.1.1\", \"Patient\", {{0x00101010, \"Patient's Age\", \"3\", \"\"}}}\n"
                "{\"C.8.4.10_1\", \"NM Isotope\", {{0x00111010, \"private\", \"3\", \"\"}}}\n");
    ASSERT_EQ(InitABDef(&l.ctx.app, l.object.obj, 1, "A.5"), 0);
    ASSERT_EQ(InitCDef(&l.ctx.app, l.object.obj, 0), 0) << l.ctx.takeText();
    const ABDef *set = l.object.obj->boundDefinitions;
    EXPECT_EQ(tags(module(set, "C.7.1.1")->firstAttribute),
              (std::vector<uint32_t>{0x00100010, 0x00100020, 0x00101010}));
    EXPECT_EQ(module(set, "C.8.4.10")->firstAttribute->firstChild->lastChild->tag, 0x00111010u);
    EXPECT_NE(l.ctx.takeText().find("Info: Loading secondary DICOM Module definition file"),
              std::string::npos);

    l.dir.write("c2_tab.def", "{\"C.99\", \"Elsewhere\", {{0x00101010, \"Patient's Age\", \"1\", \"\"}}}\n");
    ASSERT_EQ(InitABDef(&l.ctx.app, l.object.obj, 1, "A.5"), 0);
    EXPECT_EQ(InitCDef(&l.ctx.app, l.object.obj, 1), 0) << "primaryOnly does not read c2_tab.def";
    l.ctx.takeLines();
    EXPECT_EQ(InitCDef(&l.ctx.app, l.object.obj, 0), -1);
    EXPECT_EQ(l.object.obj->boundDefinitions, nullptr);
    EXPECT_EQ(l.ctx.takeLines().back(),
              "Error: only Type 3 attributes are allowed in secondary definition file (" +
                  l.dir.file("c2_tab.def") + ", line 1).");
}

TEST(InitCDef, NeedsDefinitionsAndItsPrimaryFile) {
    Loaded l;
    l.dir.write("c_tab.def", kModules);
    EXPECT_EQ(InitCDef(&l.ctx.app, l.object.obj, 0), -1) << "no definition set";
    l.dir.write("ab_tab.def", kIods);
    ASSERT_EQ(InitABDef(&l.ctx.app, l.object.obj, 1, "A.5"), 0);
    std::remove(l.dir.file("c_tab.def").c_str());
    EXPECT_EQ(InitCDef(&l.ctx.app, l.object.obj, 0), -1);
    EXPECT_NE(l.object.obj->boundDefinitions, nullptr) << "a missing file changes nothing";
}

class MalformedModuleFile : public ::testing::TestWithParam<BadFile> {};

TEST_P(MalformedModuleFile, IsReportedAndDiscardsTheDefinitions) {
    Loaded l;
    l.dir.write("ab_tab.def", kIods);
    l.dir.write("c_tab.def", GetParam().text);
    ASSERT_EQ(InitABDef(&l.ctx.app, l.object.obj, 1, "A.5"), 0);
    l.ctx.takeLines();
    EXPECT_EQ(InitCDef(&l.ctx.app, l.object.obj, 1), -1);
    EXPECT_EQ(l.object.obj->boundDefinitions, nullptr);
    std::vector<std::string> lines = l.ctx.takeLines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(velmar_test::withoutPlace(lines[1]), std::string("Error: ") + GetParam().message + ".");
}

#define ISOTOPE R"({"C.8.4.10", "NM Isotope", {{0x00540012, "EWIS", "2", ""}, {0x00540016, "RIS", "3", ""}}})"
#define WINDOW_ITEM R"({"C.8.4.10_1", "NM Isotope", {{0x00540013, "EWRS", "3", ""}}})"

INSTANTIATE_TEST_SUITE_P(
    Messages, MalformedModuleFile,
    ::testing::Values(
        BadFile{"BadTag", R"({"C.7.1.1", "Patient", {{0X00100010, "n", "2", ""}}})",
                "hexadecimal value with 0x prefix expected"},
        BadFile{"EndInsideList", R"({"C.7.1.1", "Patient", {{0x00100010, "n", "2", ""})",
                "unexpected end of file"},
        BadFile{"MoreSequencesThanDefined", ISOTOPE R"({"C.8.4.10_3", "NM Isotope", {}})",
                "less SQ Attribute than referenced in C.8.4.10_3"},
        BadFile{"ItemBeforeItsSequence", R"({"C.8.4.10_1", "NM Isotope", {}})" ISOTOPE, "empty SQ Element"},
        BadFile{"ItemBeforeItsSequenceAmongOthers",
                R"({"C.8.4.10", "NM", {{0x00180031, "R", "3", ""}}} {"C.8.4.10_1", "NM Isotope", {}})",
                "less SQ Attribute than referenced in C.8.4.10_1"},
        BadFile{"IndexZero", ISOTOPE R"({"C.8.4.10_0", "NM Isotope", {}})",
                "SQ Attribute index must be 1 or more"},
        BadFile{"NoIndex", ISOTOPE R"({"C.8.4.10_x", "NM Isotope", {}})",
                "short integer value expected (SQ Attribute index)"},
        BadFile{"NoSeparator", ISOTOPE WINDOW_ITEM R"({"C.8.4.10_1x", "NM Isotope", {}})",
                "'_' (underscore) expected (SQ Attribute index separator)"},
        BadFile{"EmptyItem", ISOTOPE R"({"C.8.4.10_2_1", "NM Isotope", {}})", "empty SQ Element"},
        BadFile{"NestedTooFar", ISOTOPE WINDOW_ITEM R"({"C.8.4.10_1_2", "NM Isotope", {}})",
                "less SQ Attribute than referenced in C.8.4.10_1_2"},
        BadFile{"ExtraInput", ISOTOPE "}", "extra input after the last record"}),
    [](const ::testing::TestParamInfo<BadFile> &info) { return info.param.name; });

TEST(InitCDef, RecordsOfOtherModulesAreReadAndDiscarded) {
    Loaded l;
    l.dir.write("ab_tab.def", kIods);
    l.dir.write("c_tab.def", R"({"C.42_9_9", "Other", {{0x00100010, "n", "1", ""}}})"
                             "\n" ISOTOPE);
    ASSERT_EQ(InitABDef(&l.ctx.app, l.object.obj, 1, "A.5"), 0);
    ASSERT_EQ(InitCDef(&l.ctx.app, l.object.obj, 1), 0) << l.ctx.takeText();
    EXPECT_EQ(module(l.object.obj->boundDefinitions, "C.7.1.1")->firstAttribute, nullptr);
    EXPECT_EQ(tags(module(l.object.obj->boundDefinitions, "C.8.4.10")->firstAttribute),
              (std::vector<uint32_t>{0x00540012, 0x00540016}));
}

TEST(DoneABCDef, FreesTheSetAndLeavesTheElements) {
    Loaded l;
    l.dir.write("ab_tab.def", kIods);
    l.dir.write("c_tab.def", kModules);
    l.object.text(0x0010, 0x0010, "Doe^John");
    ASSERT_EQ(InitABDef(&l.ctx.app, l.object.obj, 1, "A.5"), 0);
    ASSERT_EQ(InitCDef(&l.ctx.app, l.object.obj, 1), 0);
    DoneABCDef(&l.object.obj->boundDefinitions);
    EXPECT_EQ(l.object.obj->boundDefinitions, nullptr);
    DoneABCDef(&l.object.obj->boundDefinitions);
    DoneABCDef(nullptr);
    EXPECT_NE(l.object.find(0x0010, 0x0010), nullptr);
}


TEST(ModuleFileMessages, NameTheFileAndTheLine) {
    Loaded l;
    l.dir.write("ab_tab.def", kIods);
    // A line of more than one input piece counts once.
    std::string longName(600, 'x');
    l.dir.write("c_tab.def", "# comment\n{\"C.7.1.1\", \"" + longName +
                                 "\", {\n  {0x00100010, \"Name\", \"2\", \"\"}\n  {");
    ASSERT_EQ(InitABDef(&l.ctx.app, l.object.obj, 1, "A.5"), 0);
    l.ctx.takeLines();
    EXPECT_EQ(InitCDef(&l.ctx.app, l.object.obj, 1), -1);
    EXPECT_EQ(l.ctx.takeLines().back(),
              "Error: '}' (right brace) expected (" + l.dir.file("c_tab.def") + ", line 4).");
}

}  // namespace
