// Tests of interfil.def loading: the shipped file, key definition lines, blocks, limits and
// refused files.
#include <cstring>
#include <string>

#include "interfile_fixture.h"

namespace velmar::test {
namespace {

using DefinitionTest = InterfileTest;

const KeyDef *defined(const IAppData &app, const char *name) {
    char norm[256];
    normalizeinterkey(name, norm);
    for (int16_t k = 1; k <= app.definition->keyCount; ++k)
        if (std::strcmp(app.definition->keys[k].normName, norm) == 0) return &app.definition->keys[k];
    return nullptr;
}

TEST_F(DefinitionTest, ShippedDefinitionLoadsWithoutMessage) {
    ASSERT_EQ(loadDefinition(""), 0);
    EXPECT_TRUE(problems().empty());
    ASSERT_NE(app_.definition, nullptr);
    EXPECT_EQ(app_.definition->keyCount, 119);
    EXPECT_EQ(std::string(app_.definition->fileName), shippedDefinition());
    // Every key the conversion reads, with the attributes it relies on.
    for (const char *name :
         {"version of keys", "data starting block", "data offset in bytes", "imaging modality",
          "type of data", "process status", "total number of images", "image number",
          "study date", "study time", "originating system", "original institution",
          "patient name", "patient ID", "patient dob", "patient sex", "study ID",
          "number of energy windows", "number of images/energy window", "number of frame groups",
          "number of images this frame group", "number of time windows",
          "number of images in time window", "number of detector heads", "number of projections",
          "Gated SPECT nesting outer level", "number of slices", "energy window",
          "energy window lower level", "energy window upper level", "image duration (sec)",
          "pause between images (sec)", "pause between frame groups (sec)", "start angle",
          "extent of rotation", "direction of rotation", "time per projection (sec)", "Radius",
          "acquisition mode", "framing type", "slice thickness (pixels)", "total counts",
          "number of bytes per pixel", "number format", "imagedata byte order",
          "data compression", "flood corrected", "decay corrected",
          "attenuation correction coefficient/cm", "scatter corrected", "name of data file",
          "matrix size [1]", "matrix size [2]", "scaling factor (mm/pixel) [1]",
          "scaling factor (mm/pixel) [2]"})
        EXPECT_NE(defined(app_, name), nullptr) << name;
    EXPECT_EQ(defined(app_, "data offset in bytes")->defaultValue, nullptr);
    EXPECT_EQ(defined(app_, "data starting block")->defaultValue, nullptr);
    EXPECT_EQ(defined(app_, "framing type")->defaultValue, nullptr);
    EXPECT_EQ(defined(app_, "energy window")->indexKind, VELMAR_IF_INDEXED);
    EXPECT_EQ(defined(app_, "matrix size[1]")->indexKind, VELMAR_IF_NOT_INDEXED);
    EXPECT_STREQ(defined(app_, "type of data")->allowedValues[7], "Other");
}

TEST_F(DefinitionTest, KeyLinesGiveNameTypeDefaultAndIndex) {
    ASSERT_EQ(loadDefinition("!INTERFILE := <NULL>\n"
                             "!version of keys := <ASCII> 3.3\n"
                             "matrix size [1] := <Numeric>\n"
                             "scaling factor (mm/pixel) [2] := <Numeric>\n"
                             "energy window [<number of energy windows>] := <ASCII>\n"
                             "Label [ 2 ] := <ASCII>\n"
                             "type of data := <ASCIIlist> Other\n"
                             "Static|Dynamic|Gated|Other\n"
                             "; end of the list\n"
                             "study date := <DateFormat>\n"),
              0);
    EXPECT_TRUE(problems().empty());
    const InterfileDef *def = app_.definition;
    ASSERT_EQ(def->keyCount, 8);
    const KeyDef &version = def->keys[2];
    EXPECT_STREQ(version.name, "!version of keys");
    EXPECT_STREQ(version.normName, "VERSIONOFKEYS");
    EXPECT_EQ(version.obligatory, 1);
    EXPECT_EQ(version.valueType, VELMAR_IF_ASCII);
    EXPECT_STREQ(version.defaultValue, "3.3");
    EXPECT_STREQ(def->keys[3].name, "matrix size[1]");
    EXPECT_EQ(def->keys[3].indexKind, VELMAR_IF_NOT_INDEXED);
    EXPECT_STREQ(def->keys[4].normName, "SCALINGFACTOR(MM/PIXEL)[2]");
    EXPECT_STREQ(def->keys[5].name, "energy window");
    EXPECT_EQ(def->keys[5].indexKind, VELMAR_IF_INDEXED);
    EXPECT_EQ(def->keys[6].indexKind, VELMAR_IF_INDEXED);
    const KeyDef &type = def->keys[7];
    EXPECT_EQ(type.valueType, VELMAR_IF_ASCIILIST);
    EXPECT_STREQ(type.defaultValue, "Other");
    EXPECT_STREQ(type.allowedValues[0], "Static");
    EXPECT_STREQ(type.allowedValues[3], "Other");
    EXPECT_EQ(type.allowedValues[4], nullptr);
    // The list ended at the comment: the next line is a key of its own.
    EXPECT_STREQ(def->keys[8].name, "study date");
    EXPECT_EQ(def->keys[8].valueType, VELMAR_IF_DATEFORMAT);
}

TEST_F(DefinitionTest, BlocksBuildTheTreeAndSectionsGoToTheRoot) {
    ASSERT_EQ(loadDefinition("!GENERAL IMAGE DATA := <NULL>\n"
                             "type of data := <ASCII>\n"
                             "count := <Numeric> 1\n"
                             "if (type of data = Static|Dynamic) {\n"
                             "inside := <ASCII>\n"
                             "!GENERAL DATA := <NULL>\n"
                             "}\n"
                             "for (count, item) {\n"
                             "each := <NULL>\n"
                             "}\n"),
              0);
    EXPECT_TRUE(problems().empty());
    const KeyNode *image = app_.definition->root.firstChild;
    ASSERT_NE(image, nullptr);
    EXPECT_EQ(image->kind, VELMAR_IF_NODE_KEY);
    const KeyNode *block = image->firstChild->next->next;
    ASSERT_EQ(block->kind, VELMAR_IF_NODE_IF);
    EXPECT_EQ(block->key, 2);
    EXPECT_STREQ(block->value, "Static|Dynamic");
    EXPECT_EQ(block->firstChild->key, 4);
    // A NULL key named like a section leaves the block and becomes a section of its own; the
    // block's end then returns to the section's parent, the root.
    const KeyNode *general = image->next;
    ASSERT_NE(general, nullptr);
    EXPECT_EQ(general->key, 5);
    EXPECT_EQ(block->lastChild, block->firstChild);
    const KeyNode *loop = general->next;
    ASSERT_NE(loop, nullptr);
    EXPECT_EQ(loop->kind, VELMAR_IF_NODE_FOR);
    EXPECT_EQ(loop->key, 3);
    EXPECT_STREQ(loop->value, "item");
    EXPECT_EQ(loop->firstChild->key, 6);
}

TEST_F(DefinitionTest, KeyDefinedTwiceKeepsFirstAttributesAndGetsTwoNodes) {
    ASSERT_EQ(loadDefinition("!INTERFILE := <NULL>\n"
                             "label := <ASCII> first\n"
                             "!label [<n>] := <Numeric> second\n"),
              0);
    ASSERT_EQ(app_.definition->keyCount, 2);
    const KeyDef &label = app_.definition->keys[2];
    EXPECT_STREQ(label.name, "label");
    EXPECT_EQ(label.valueType, VELMAR_IF_ASCII);
    EXPECT_STREQ(label.defaultValue, "first");
    EXPECT_EQ(label.obligatory, 0);
    const KeyNode *section = app_.definition->root.firstChild;
    EXPECT_EQ(section->firstChild->key, 2);
    EXPECT_EQ(section->lastChild->key, 2);
    EXPECT_NE(section->firstChild, section->lastChild);
}

TEST_F(DefinitionTest, LineEndsAndUnexpectedCharactersAreCounted) {
    // The four newline sequences \r\n, \r, \n\r and \n each count one line.
    ASSERT_EQ(loadDefinition("?a := <ASCII>\r\nb := <ASCII>\rc := <ASCII>\n\r  d := <Numeric> 1 ?\n\x02"), 0);
    EXPECT_EQ(app_.definition->keyCount, 4);
    auto lines = problems();
    ASSERT_EQ(lines.size(), 4u);  // each message ends with its own empty line
    EXPECT_EQ(lines[0], "Error: in INTERFILE definition ? at line 0 pos 0");
    EXPECT_EQ(lines[1], "");
    EXPECT_EQ(lines[2], "Error: in INTERFILE definition \x02 at line 4 pos 0");
    // Blanks inside a value belong to it.
    EXPECT_STREQ(app_.definition->keys[4].defaultValue, "1 ?");
    DoneINTERFILEdef(&app_);
    ASSERT_EQ(loadDefinition("x := <Numeric>\n  \x01\n"), 0);
    lines = problems();
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines[0], "Error: in INTERFILE definition \x01 at line 1 pos 2");
}

TEST_F(DefinitionTest, UnknownBlockKeyIsReportedAndLoadingGoesOn) {
    ASSERT_EQ(loadDefinition("!INTERFILE := <NULL>\n"
                             "if (nothing = x) {\n"
                             "a := <ASCII>\n"
                             "}\n"
                             "for (none) {\n"
                             "b := <ASCII>\n"
                             "}\n"),
              0);
    auto lines = problems();
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[0], "Error: IF start with unknown key nothing");
    EXPECT_EQ(lines[2], "Error: FOR start with unknown key none");
    EXPECT_EQ(app_.definition->keyCount, 3);
}

struct RefusedDefinition {
    const char *name;
    std::string text;
    const char *message;
};

std::string manyKeys(int count) {
    std::string text;
    for (int i = 0; i < count; ++i) text += "key " + std::to_string(i) + " := <ASCII>\n";
    return text;
}

std::string nested(int depth) {
    std::string text = "k := <ASCII>\n";
    for (int i = 0; i < depth; ++i) text += "if (k = x) {\n";
    text += "inner := <ASCII>\n";
    for (int i = 0; i < depth; ++i) text += "}\n";
    return text;
}

class RefusedDefinitionTest : public InterfileTest,
                              public ::testing::WithParamInterface<RefusedDefinition> {};

TEST_P(RefusedDefinitionTest, ReturnsMinusOneWithMessageAndLoadsNothing) {
    const RefusedDefinition &param = GetParam();
    EXPECT_EQ(loadDefinition(param.text), -1);
    EXPECT_EQ(app_.definition, nullptr);
    auto lines = problems();
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back(), std::string("Error: ") + param.message);
}

INSTANTIATE_TEST_SUITE_P(
    Files, RefusedDefinitionTest,
    ::testing::Values(
        RefusedDefinition{"KeyWithoutType", "a := \n", "parse error"},
        RefusedDefinition{"UnknownTypeWord", "a := <numeric>\n", "parse error"},
        RefusedDefinition{"BraceWithoutNewline", "k := <ASCII>\nif (k = x) {\nb := <ASCII>\n}",
                          "parse error"},
        RefusedDefinition{"EmptyBlock", "k := <ASCII>\nif (k = x) {}\n", "parse error"},
        RefusedDefinition{"NineValues", "a := <ASCIIlist> 1\n1|2|3|4|5|6|7|8|9\n;\n",
                          "Maximum number of values exceeded."},
        RefusedDefinition{"TooManyKeys", manyKeys(150), "Too many keys in Interfile definition"},
        RefusedDefinition{"TenNestedBlocks", nested(10),
                          "Too many nested blocks in Interfile definition"},
        RefusedDefinition{"NameTooLong", std::string(256, 'a') + " := <ASCII>\n",
                          "Key name too long in Interfile definition: "
                          "aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa..."}),
    [](const ::testing::TestParamInfo<RefusedDefinition> &info) { return info.param.name; });

TEST_F(DefinitionTest, LimitsThemselvesAreAccepted) {
    ASSERT_EQ(loadDefinition(manyKeys(149) + nested(9) + "a := <ASCIIlist> 1\n1|2|3|4|5|6|7|8\n;\n" +
                             std::string(255, 'b') + " := <ASCII>\n"),
              -1);  // 149 + 4 keys
    DoneINTERFILEdef(&app_);
    ASSERT_EQ(loadDefinition(manyKeys(146) + nested(9) + "a := <ASCIIlist> 1\n1|2|3|4|5|6|7|8\n;\n"), 0);
    EXPECT_EQ(app_.definition->keyCount, 149);
    EXPECT_STREQ(app_.definition->keys[149].allowedValues[7], "8");
}

TEST_F(DefinitionTest, MissingFileGivesMinusOne) {
    definitionPath() = dir_ + "/absent.def";
    EXPECT_EQ(InitINTERFILEdef(&app_), -1);
    definitionPath() = "";
    EXPECT_EQ(InitINTERFILEdef(&app_), -1);
    EXPECT_EQ(app_.definition, nullptr);
    // A finder that fills the whole buffer without a terminator is refused, not overrun.
    app_.findFile = [](const char *, char *out, size_t size) {
        std::memset(out, 'x', size);
        return out;
    };
    EXPECT_EQ(InitINTERFILEdef(&app_), -1);
}

TEST_F(DefinitionTest, ContextKeepsNamesAndTitle) {
    IAppData app{};
    char title[VELMAR_IF_TITLE_SIZE];
    init_IAppData(&app, "prog", nullptr, title);
    EXPECT_STREQ(title, "prog ");
    EXPECT_STREQ(app.appName, "prog");
    EXPECT_EQ(app.appVersion, nullptr);
    EXPECT_EQ(app.findFile, &getDICOMdeffilefromenvpath);
    done_IAppData(&app);
    std::string longName(1000, 'n');
    init_IAppData(&app, longName.c_str(), "2", title);  // the title is cut, not overrun
    EXPECT_EQ(std::strlen(title), VELMAR_IF_TITLE_SIZE - 1u);
    done_IAppData(&app);
    init_IAppData(&app, "prog", "2", title);
    EXPECT_STREQ(title, "prog 2");
    // The log is closed by the context that owns it.
    app.log = log_start(&app, nullptr, "t", 0, 0, 0, nullptr);
    done_IAppData(&app);
    EXPECT_EQ(app.log, nullptr);
    EXPECT_EQ(app.appVersion, nullptr);
}

}  // namespace
}  // namespace velmar::test
