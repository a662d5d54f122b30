// Tests of the Interfile key store and header check on a small definition written by the
// test: lookups, occurrences, group copies, IF conditions, group markers and the check.
#include <sys/stat.h>

#include <cstring>
#include <string>

#include "interfile_fixture.h"

namespace velmar::test {
namespace {

const char *const kDefinition =
    "!INTERFILE := <NULL>\n"
    "!version of keys := <ASCII> 3.3\n"
    "!GENERAL DATA := <NULL>\n"
    "patient name := <ASCII>\n"
    "!data starting block := <Numeric>\n"
    "!data offset in bytes := <Numeric>\n"
    "!GENERAL IMAGE DATA := <NULL>\n"
    "!type of data := <ASCIIlist> Static\n"
    "Static|Dynamic\n"
    ";\n"
    "extra [<n>] := <ASCII>\n"
    "number of energy windows := <Numeric> 1\n"
    "for (number of energy windows, energy window) {\n"
    "energy window [<energy window>] := <ASCII>\n"
    "count := <Numeric> 1\n"
    "if (type of data = \"Dynamic\") {\n"
    "!DYNAMIC STUDY (general) := <NULL>\n"
    "for (count, frame group number) {\n"
    "!Dynamic Study (each frame group) := <NULL>\n"
    "!number of images this frame group := <Numeric>\n"
    "duration := <Numeric> 2.5\n"
    "}\n"
    "}\n"
    "}\n"
    "!END OF INTERFILE := <NULL>\n";

const char *const kPreamble =
    "!INTERFILE :=\n"
    "version of keys := 3.3\n"
    "!GENERAL DATA :=\n"
    "data offset in bytes := 0\n"
    "!GENERAL IMAGE DATA :=\n";

class KeyStoreTest : public InterfileTest {
protected:
    void SetUp() override {
        InterfileTest::SetUp();
        ASSERT_EQ(loadDefinition(kDefinition), 0);
        messages();
    }
    // Reads the preamble, then `lines`, and returns the key-store and check messages.
    std::vector<std::string> read(const std::string &lines) {
        EXPECT_EQ(readHeader(std::string(kPreamble) + lines), 0);
        return problems();
    }
};

TEST_F(KeyStoreTest, KeysAreFoundInAnyWrittenForm) {
    read("");
    int16_t k = key("patient name");
    ASSERT_GT(k, 0);
    EXPECT_EQ(key("!Patient_Name"), k);
    EXPECT_EQ(key("PATIENT   NAME"), k);
    EXPECT_STREQ(getinterkey(header_, key("data starting block")), "!data starting block");
    EXPECT_EQ(getinterkeytype(header_, key("energy window")), VELMAR_IF_INDEXED);
    EXPECT_EQ(getintervaluetype(header_, key("type of data")), VELMAR_IF_ASCIILIST);
    EXPECT_STREQ(getinterdefaultvalue(header_, key("version of keys")), "3.3");
    // A name the definition lacks gives 0, and every accessor fails on 0.
    EXPECT_EQ(key("patient weight"), 0);
    char buffer[VELMAR_IF_VALUE_SIZE] = "x";
    EXPECT_EQ(getintervalue(header_, 0, 0, buffer), -1);
    EXPECT_STREQ(buffer, "");
    EXPECT_EQ(getintervaluedef(header_, 0, 0, buffer), -1);
    EXPECT_EQ(putintervalue(header_, 0, 0, "v", 1), -1);
    EXPECT_EQ(putintervalue(header_, 200, 0, "v", 1), -1);
    EXPECT_EQ(getinterkey(header_, 0), nullptr);
    EXPECT_EQ(getinterkeytype(header_, 0), 0);
    EXPECT_EQ(getintervaluetype(header_, -3), 0);
    EXPECT_EQ(getinterdefaultvalue(header_, 0), nullptr);
}

TEST_F(KeyStoreTest, LaterValueReplacesEarlierAndEmptyValueClears) {
    EXPECT_TRUE(read("patient name := A\npatient name := B\n").empty());
    EXPECT_EQ(value("patient name"), "B");
    EXPECT_EQ(putintervalue(header_, key("patient name"), 0, "", 1), key("patient name"));
    EXPECT_EQ(value("patient name"), "<none>");
}

TEST_F(KeyStoreTest, IndexedWriteAppendsCopiesOfTheGroup) {
    EXPECT_TRUE(read("energy window [1] := Tc99m\ncount := 4\nenergy window [3] := Tl201\n").empty());
    EXPECT_EQ(value("energy window", 1), "Tc99m");
    EXPECT_EQ(value("energy window", 2), "<none>");
    EXPECT_EQ(value("energy window", 3), "Tl201");
    EXPECT_EQ(value("energy window", 4), "<none>");
    // The copies carry the group's other keys; a key without index goes to the newest copy.
    EXPECT_EQ(value("count", 1), "4");
    EXPECT_EQ(value("count", 3), "<none>");
    EXPECT_EQ(putintervalue(header_, key("count"), -1, "7", 1), key("count"));
    EXPECT_EQ(value("count", 3), "7");
    EXPECT_EQ(value("count", 2), "<none>");
    // Without `sequential` an index below 1 means the first occurrence.
    EXPECT_EQ(putintervalue(header_, key("count"), 0, "5", 0), key("count"));
    EXPECT_EQ(value("count", 1), "5");
    EXPECT_EQ(valueOrDefault("count", 2), "1");
}

TEST_F(KeyStoreTest, IfBlockKeysArePlacedOnlyWhileTheConditionHolds) {
    auto lines = read("!number of images this frame group := 3\n"
                      "type of data := dynamic\n"
                      "!number of images this frame group := 4\n");
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0], "Warning: Wrongly placed key: !number of images this frame group := 3");
    EXPECT_EQ(value("number of images this frame group"), "4");
    // Changing the condition key hides the block again.
    EXPECT_GT(putintervalue(header_, key("type of data"), -1, "Static", 1), 0);
    EXPECT_EQ(value("number of images this frame group"), "<none>");
    EXPECT_EQ(putintervalue(header_, key("number of images this frame group"), -1, "5", 1), -1);
}

TEST_F(KeyStoreTest, GroupMarkersOpenGroupsInEveryHeader) {
    const std::string groups = "type of data := Dynamic\n"
                               "!Dynamic Study (each frame group) :=\n"
                               "number of images this frame group := 2\n"
                               "!Dynamic Study (each frame group) :=\n"
                               "number of images this frame group := 3\n"
                               "duration := 0.5\n";
    for (int pass = 0; pass < 2; ++pass) {  // the second header starts again at group 1
        EXPECT_TRUE(read(groups).empty());
        EXPECT_EQ(value("number of images this frame group", 1), "2") << pass;
        EXPECT_EQ(value("number of images this frame group", 2), "3") << pass;
        EXPECT_EQ(value("number of images this frame group", 3), "<none>") << pass;
        EXPECT_EQ(value("duration", 1), "<none>");
        EXPECT_EQ(valueOrDefault("duration", 1), "2.5");
        EXPECT_EQ(value("duration", 2), "0.5");
        // The copied marker stands as present.
        EXPECT_EQ(value("Dynamic Study (each frame group)", 2), "");
    }
}

// Thousands of groups read back exactly as a few do: every occurrence, defaults in the groups
// that lack a key, keys that stand after the copies, and a condition key changed afterwards.
TEST_F(KeyStoreTest, ManyGroupsReadBackLikeFew) {
    const int kGroups = 3000;
    std::string lines = "type of data := Dynamic\n!DYNAMIC STUDY (general) :=\n";
    for (int g = 1; g <= kGroups; ++g) {
        lines += "!Dynamic Study (each frame group) :=\n";
        lines += "number of images this frame group := " + std::to_string(g) + "\n";
        if (g % 2 == 0) lines += "duration := " + std::to_string(g) + ".5\n";
    }
    lines += "!END OF INTERFILE :=\n";
    EXPECT_TRUE(read(lines).empty());
    for (int g = 1; g <= kGroups; ++g) {
        ASSERT_EQ(value("number of images this frame group", g), std::to_string(g));
        ASSERT_EQ(valueOrDefault("duration", g), g % 2 == 0 ? std::to_string(g) + ".5" : "2.5");
    }
    EXPECT_EQ(value("number of images this frame group", kGroups + 1), "<none>");
    EXPECT_EQ(value("END OF INTERFILE"), "");
    EXPECT_EQ(checkinterfileheader(header_), 0);
    // A second energy window copies the first one, groups and all, without values.
    int16_t window = key("energy window");
    ASSERT_EQ(putintervalue(header_, window, 2, "Tl201", 1), window);
    EXPECT_EQ(value("energy window", 2), "Tl201");
    EXPECT_EQ(value("number of images this frame group", kGroups), std::to_string(kGroups));
    // Switching the condition off hides the block; switching it on shows it again.
    int16_t type = key("type of data");
    ASSERT_EQ(putintervalue(header_, type, 0, "Static", 1), type);
    EXPECT_EQ(value("number of images this frame group", 1), "<none>");
    ASSERT_EQ(putintervalue(header_, type, 0, "dynamic", 1), type);
    EXPECT_EQ(value("number of images this frame group", 7), "7");
}

// A FIFO or a directory is neither a definition file nor a header: refused at once.
TEST_F(InterfileTest, FifoOrDirectoryIsNoDefinitionAndNoHeader) {
    std::string fifo = dir_ + "/fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    for (const std::string &path : {fifo, dir_}) {
        definitionPath() = path;
        EXPECT_EQ(InitINTERFILEdef(&app_), -1) << path;
    }
    ASSERT_EQ(loadDefinition(""), 0);
    EXPECT_EQ(readinterfileheader(&app_, &header_, fifo.c_str()), -1);
    EXPECT_EQ(readinterfileheader(&app_, &header_, dir_.c_str()), -1);
    EXPECT_EQ(header_, nullptr);
}

TEST_F(KeyStoreTest, CopiedGroupKeysWithoutValueFallBackToTheirDefault) {
    // The first frame group lacks "duration" and the first energy window lacks "count": their
    // copies in the second group hold no value, so the defaults apply there as in the first.
    EXPECT_TRUE(read("energy window [1] := Tc99m\n"
                     "type of data := Dynamic\n"
                     "!Dynamic Study (each frame group) :=\n"
                     "number of images this frame group := 2\n"
                     "!Dynamic Study (each frame group) :=\n"
                     "number of images this frame group := 3\n"
                     "energy window [2] := In111\n")
                    .empty());
    for (int16_t group : {1, 2}) {
        EXPECT_EQ(value("duration", group), "<none>") << group;
        EXPECT_EQ(valueOrDefault("duration", group), "2.5") << group;
        EXPECT_EQ(value("count", group), "<none>") << group;
        EXPECT_EQ(valueOrDefault("count", group), "1") << group;
    }
    // A group label written by the header is a value of its own.
    EXPECT_EQ(value("Dynamic Study (each frame group)", 2), "");
    // A copied key that the header does give reads back as given.
    EXPECT_GT(putintervalue(header_, key("duration"), 2, "0.25", 1), 0);
    EXPECT_EQ(valueOrDefault("duration", 2), "0.25");
    EXPECT_EQ(valueOrDefault("duration", 1), "2.5");
}

TEST_F(KeyStoreTest, CheckCountsCopiedGroupKeysAsPresent) {
    // The first group lacks an obligatory key: reported once, not again for its copy.
    ASSERT_EQ(readHeader("!INTERFILE :=\nversion of keys := 3.3\n!GENERAL DATA :=\n"
                         "data offset in bytes := 0\n!GENERAL IMAGE DATA :=\ntype of data := Dynamic\n"
                         "!DYNAMIC STUDY (general) :=\n!END OF INTERFILE :=\n"
                         "!Dynamic Study (each frame group) :=\n!Dynamic Study (each frame group) :=\n"),
              0);
    messages();
    EXPECT_EQ(checkinterfileheader(header_), -1);
    std::vector<std::string> expected = {"Warning: Missing obligatory key: !number of images this frame group"};
    EXPECT_EQ(problems(), expected);
    EXPECT_EQ(value("number of images this frame group", 2), "<none>");
}

TEST_F(KeyStoreTest, NullKeysReadAsEmptyWhenPresent) {
    auto lines = read("type of data := Dynamic\n!DYNAMIC STUDY (general) := yes\n");
    EXPECT_EQ(value("DYNAMIC STUDY (general)"), "");
    EXPECT_EQ(value("END OF INTERFILE"), "<none>");
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0], "Warning: Value defined for a key of valuetype <NULL>: "
                        "!DYNAMIC STUDY (general) := yes");
}

TEST_F(KeyStoreTest, IndexedKeyInSectionCopiesTheSection) {
    EXPECT_TRUE(read("extra [2] := b\nnumber of energy windows := 3\n").empty());
    EXPECT_EQ(value("extra", 2), "b");
    // Written after the copy, without index: into the newest copy; read: the first.
    EXPECT_EQ(value("number of energy windows"), "<none>");
    EXPECT_EQ(value("number of energy windows", 2), "3");
    EXPECT_EQ(valueOrDefault("number of energy windows"), "1");
}

TEST_F(KeyStoreTest, DefaultAnswersForAbsentKeys) {
    read("");
    char buffer[VELMAR_IF_VALUE_SIZE];
    int16_t version = key("version of keys");
    EXPECT_EQ(getintervaluedef(header_, version, 0, buffer), version);
    EXPECT_STREQ(buffer, "3.3");
    EXPECT_EQ(getintervaluedef(header_, key("patient name"), 0, buffer), -1);
    EXPECT_STREQ(buffer, "");
}

TEST_F(KeyStoreTest, LongValuesAreCutOrLeftOut) {
    std::string long300(300, 'v');
    std::string long1024(1024, 'w');
    read("patient name := " + long300 + "\nextra [1] := " + long1024 + "\n");
    char buffer[VELMAR_IF_VALUE_SIZE + 16];
    std::memset(buffer, '#', sizeof buffer);
    ASSERT_GT(getintervalue(header_, key("patient name"), 0, buffer), 0);
    EXPECT_EQ(std::string(buffer), long300.substr(0, VELMAR_IF_VALUE_SIZE - 1));
    EXPECT_EQ(buffer[VELMAR_IF_VALUE_SIZE], '#');  // nothing written past 256 bytes
    EXPECT_EQ(value("extra", 1), "<none>");
}

TEST_F(KeyStoreTest, HeaderTreeIsACopyOfTheDefinition) {
    read("");
    const KeyNode *def = app_.definition->root.firstChild;
    const KeyNode *copy = header_->root.firstChild;
    int nodes = 0;
    while (def != nullptr && copy != nullptr) {
        EXPECT_EQ(def->kind, copy->kind);
        EXPECT_EQ(def->key, copy->key);
        ++nodes;
        // Walk both trees in the same pre-order.
        auto step = [](const KeyNode *n) {
            if (n->firstChild != nullptr) return n->firstChild;
            while (n != nullptr && n->next == nullptr) n = n->parent;
            return n != nullptr ? n->next : nullptr;
        };
        def = step(def);
        copy = step(copy);
        if (copy == &header_->root) copy = nullptr;
        if (def == &app_.definition->root) def = nullptr;
    }
    EXPECT_EQ(def, copy);
    EXPECT_GT(nodes, 15);
}

TEST_F(KeyStoreTest, ConditionKeyInsideItsOwnBlockEndsTheSearch) {
    DoneINTERFILEdef(&app_);
    // y's only places are an inactive block and a block on y itself.
    ASSERT_EQ(loadDefinition("!INTERFILE := <NULL>\n"
                             "x := <ASCII>\n"
                             "if (x = never) {\n"
                             "y := <ASCII>\n"
                             "}\n"
                             "if (y = 1) {\n"
                             "y := <ASCII>\n"
                             "}\n"),
              0);
    messages();
    ASSERT_EQ(readHeader("!INTERFILE :=\nx := 1\ny := 1\n"), 0);
    EXPECT_EQ(value("x"), "1");
    EXPECT_EQ(value("y"), "<none>");
    EXPECT_EQ(problems(), std::vector<std::string>{"Warning: Wrongly placed key: y := 1"});
}

// ---- Check -------------------------------------------------------------------------------

struct CheckCase {
    const char *name;
    std::string lines;
    int16_t result;
    std::vector<std::string> messages;
};

class CheckTest : public KeyStoreTest, public ::testing::WithParamInterface<CheckCase> {};

TEST_P(CheckTest, CountsFindings) {
    const CheckCase &param = GetParam();
    ASSERT_EQ(readHeader(param.lines), 0);
    messages();
    EXPECT_EQ(checkinterfileheader(header_), param.result);
    EXPECT_EQ(problems(), param.messages);
}

const std::string kComplete = "!INTERFILE :=\n!GENERAL DATA :=\n!GENERAL IMAGE DATA :=\n"
                              "type of data := Static\n!END OF INTERFILE :=\n";

INSTANTIATE_TEST_SUITE_P(
    Headers, CheckTest,
    ::testing::Values(
        CheckCase{"Complete", kComplete + "version of keys := 3.3\ndata offset in bytes := 0\n", 0, {}},
        CheckCase{"WrongVersion",
                  kComplete + "version of keys := 3.4\ndata starting block := 1\n",
                  -1,
                  {"Warning: Wrong INTERFILE version. File version: 3.4 Expected version: 3.3"}},
        CheckCase{"VersionLowerCaseLongerText",
                  kComplete + "version of keys := 3.3x\ndata starting block := 1\n", 0, {}},
        CheckCase{"NoVersionLineButDefault",
                  kComplete + "data starting block := 1\n",
                  -1,  // the default passes the version test, the obligatory key is missing
                  {"Warning: Missing obligatory key: !version of keys"}},
        CheckCase{"NeitherDataStart",
                  kComplete + "version of keys := 3.3\n",
                  -1,
                  {"Warning: Missing obligatory key: !data starting block",
                   "Warning: Missing obligatory key: !data offset in bytes"}},
        CheckCase{"InactiveBlockNotRequired",
                  kComplete + "version of keys := 3.3\ndata offset in bytes := 0\ncount := 2\n",
                  0,
                  {}},
        CheckCase{"ActiveBlockRequired",
                  "!INTERFILE :=\n!GENERAL DATA :=\n!GENERAL IMAGE DATA :=\n"
                  "type of data := Dynamic\n!END OF INTERFILE :=\nversion of keys := 3.3\n"
                  "data offset in bytes := 0\n!DYNAMIC STUDY (general) :=\n"
                  "!Dynamic Study (each frame group) :=\n",
                  -1,
                  {"Warning: Missing obligatory key: !number of images this frame group"}},
        CheckCase{"ValueChecksAreReportedNotCounted",
                  kComplete + "version of keys := 3.3\ndata offset in bytes := zero\n"
                              "type of data := static\ncount := 1.5e3\nenergy window [1] := x\n",
                  0,
                  {"Warning: Wrong value for <Numeric> type key: !data offset in bytes := zero"}},
        CheckCase{"ListValueOutsideList",
                  kComplete + "version of keys := 3.3\ndata offset in bytes := 0\n"
                              "type of data := Other\n",
                  0,
                  {"Warning: Not defined value for <ASCIIlist> type key: !type of data := Other"}}),
    [](const ::testing::TestParamInfo<CheckCase> &info) { return info.param.name; });

}  // namespace
}  // namespace velmar::test
