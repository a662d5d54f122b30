// Tests of the conditions of the definition files: the language over one object, and what the
// module check makes of usage C modules, 1C/2C attributes, shared attributes, empty sequences and
// type overrides.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "defs/test_verify_fixture.h"

// The condition language is internal: compiled into this test once, here.
#include "defs/condition.cpp"

using velmar_test::DefDirectory;
using velmar_test::ShippedDictionary;
using velmar_test::TestContext;
using velmar_test::TestObject;

namespace {

struct Case {
    const char *condition;
    int expected;  // 1 holds, 0 does not, -1 malformed
};

TEST(Condition, EvaluatesOverTheElementsOfOneLevel) {
    TestContext ctx{ShippedDictionary{}};
    ASSERT_TRUE(ctx.loaded()) << ctx.takeText();
    TestObject o(&ctx.app);
    o.text(0x0008, 0x0008, "ORIGINAL\\PRIMARY\\GATED TOMO\\EMISSION");
    o.text(0x0010, 0x0020, "ID42");
    o.empty(0x0010, 0x0030);
    o.text(0x0028, 0x0004, "PALETTE COLOR");
    o.text(0x0028, 0x0008, "8");
    o.words(0x0028, 0x0010, {4});
    uint16_t pointer[] = {0x0054, 0x0010};
    DicomElement at = velmar_test::binaryElement(0x0028, 0x0009, pointer, 4);
    at.vr = VR_AT;
    DO_addElement(&ctx.app, o.obj, &at);
    o.beginSequence(0x0054, 0x0012);
    o.endSequence();

    const Case cases[] = {
        {"present (0010,0020)", 1},
        {"absent (0010,0020)", 0},
        {"empty (0010,0030) and nonempty (0010,0020)", 1},
        {"empty (0054,0012)", 1},  // a sequence without items
        {"nonempty (0010,0040)", 0},
        {"value (0008,0008)[3] == GATED TOMO", 1},
        {"value (0008,0008) == ORIGINAL", 1},  // without a number: the first value
        {"value (0008,0008)[3] in {TOMO, GATED TOMO}", 1},
        {"value (0008,0008)[9] in {TOMO}", 0},
        {"value (0028,0004) == PALETTE COLOR and present (0010,0020)", 1},
        {"value (0028,0008) > 1 and value (0028,0010) <= 4 and value (0028,0010) == 4", 1},
        {"value (0028,0008) < 8", 0},
        {"value (0018,9361) != YES", 1},  // absent: not equal
        {"value (0018,9361) == YES", 0},
        {"value (0028,0009) == (0054,0010)", 1},
        {"not (present (0010,0020) and absent (0010,0010))", 0},
        // Left to right: (present or absent) and absent.
        {"present (0010,0020) or absent (0010,0020) and present (0010,0099)", 0},
        {"", -1},
        {"present 0010,0020", -1},
        {"value (0010,0020) ~ X", -1},
        {"value (0008,0008)[0] == X", -1},
        {"value (0008,0008) in {A, }", -1},
        {"(present (0010,0020)", -1},
        {"present (0010,0020) xor absent (0010,0020)", -1},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(velmar::defs::evaluateCondition(&ctx.app, c.condition, o.obj->root), c.expected)
            << c.condition;
        char message[velmar::defs::kConditionMessageSize];
        EXPECT_EQ(velmar::defs::checkCondition(c.condition, message), c.expected >= 0) << c.condition;
    }
    std::string deep;
    for (int i = 0; i < 10000; ++i) deep += "not (";
    EXPECT_EQ(velmar::defs::evaluateCondition(&ctx.app, deep.c_str(), o.obj->root), -1);
}

const char *kIods = R"({"A.5", "NM", {
  {"C.1", "Base", 'M', ""},
  {"C.2", "Tomo", 'C', "", "value (0008,0008)[3] == TOMO"},
  {"C.3", "Unknown", 'C', "whenever"},
  {"C.4", "Plane", 'U', ""},
  {"C.5", "Modality", 'M', "", "", "(0008,0060)=3"}
}})";

const char *kModules = R"defs(
{"C.1", "Base", {{0x00100020, "Patient ID", "1", ""}, {0x00280030, "Pixel Spacing", "3", ""},
  {0x00101010, "Patient's Age", "1C", "", "present (0010,1020)"},
  {0x00101030, "Patient's Weight", "2C", "", "value (0010,0040) == F"},
  {0x00540012, "Energy Window Information Sequence", "1", ""}}}
{"C.2", "Tomo", {{0x00181142, "Radial Position", "1", ""}}}
{"C.3", "Unknown", {{0x00181030, "Protocol Name", "1", ""}}}
{"C.4", "Plane", {{0x00280030, "Pixel Spacing", "1", ""}, {0x00200032, "Image Position (Patient)", "1", ""}}}
{"C.5", "Modality", {{0x00080060, "Modality", "1", ""}}}
)defs";

struct ModuleCheck : ::testing::Test {
    TestContext ctx{ShippedDictionary{}};
    DefDirectory dir;
    TestObject object{&ctx.app};

    void SetUp() override {
        ASSERT_TRUE(ctx.loaded()) << ctx.takeText();
        dir.write("ab_tab.def", kIods);
        dir.write("c_tab.def", kModules);
    }
    // The problem lines of the module check, each after the tag of its report.
    std::vector<std::string> check(int16_t *result) {
        EXPECT_EQ(InitABDef(&ctx.app, object.obj, 1, "A.5"), 0) << ctx.takeText();
        EXPECT_EQ(InitCDef(&ctx.app, object.obj, 1), 0) << ctx.takeText();
        EXPECT_EQ(BindABCDef(&ctx.app, object.obj), 0);
        ctx.takeLines();
        *result = VerifyObjectByModule(&ctx.app, object.obj);
        std::vector<std::string> problems;
        std::string tag;
        for (const std::string &line : ctx.takeLines()) {
            if (line.find(") -- ") != std::string::npos) tag = line.substr(line.find('(') + 1, 10);
            if (line.find("\t\t") != std::string::npos || line.find("\tType ") == 0 ||
                line.find("equired: ") != std::string::npos)
                problems.push_back(tag + " " + line.substr(line.find_first_not_of('\t')));
        }
        return problems;
    }
};

TEST_F(ModuleCheck, ConditionsDecideWhatIsRequired) {
    object.text(0x0008, 0x0008, "ORIGINAL\\PRIMARY\\TOMO");
    object.text(0x0010, 0x0020, "ID42");
    object.text(0x0010, 0x0040, "F");
    object.text(0x0010, 0x1020, "1.80");
    object.text(0x0028, 0x0030, "1\\1");   // shared by Base and Plane: does not switch Plane on
    object.beginSequence(0x0054, 0x0012);  // type 1 without items
    object.endSequence();
    int16_t result = 0;
    std::vector<std::string> expected = {
        "0010, 1010 Error: \t\tType 1 element is missing.",
        "0010, 1010 Type 1C required: present (0010,1020) holds",
        "0010, 1030 Error: \t\tType 2 element is missing.",
        "0010, 1030 Type 2C required: value (0010,0040) == F holds",
        "0054, 0012 Error: \t\tType 1 element has 0 length.",
        "0054, 0012 Required: value (0008,0008)[3] == TOMO holds",
        "0018, 1142 Error: \t\tType 1 element is missing.",
    };
    EXPECT_EQ(check(&result), expected);
    EXPECT_EQ(result, 1);
}

TEST_F(ModuleCheck, FalseOrUnknownConditionsAndOverriddenTypesRequireNothing) {
    object.text(0x0008, 0x0008, "ORIGINAL\\PRIMARY\\STATIC");
    object.text(0x0010, 0x0020, "ID42");
    object.text(0x0010, 0x0040, "M");
    object.beginSequence(0x0054, 0x0012);
    object.beginItem();
    object.endItem();
    object.endSequence();
    int16_t result = 0;
    std::vector<std::string> problems = check(&result);
    // Modality is type 3 by the IOD's override; Tomo's condition fails; Unknown has none and
    // nothing of it is present; Patient's Age and Weight are not required.
    std::vector<std::string> expected = {" Not required: value (0008,0008)[3] == TOMO does not hold"};
    EXPECT_EQ(problems, expected);
    EXPECT_EQ(result, 0);

    // Once Unknown is in use, its problems are warnings, as before conditions were evaluated.
    object.empty(0x0018, 0x1030);
    ASSERT_EQ(RebindABCDef(&ctx.app, object.obj), 0);
    ctx.takeLines();
    EXPECT_EQ(VerifyObjectByModule(&ctx.app, object.obj), 0);
    std::string report = ctx.takeText();
    EXPECT_NE(report.find("Warning: \t\tType 1 element has 0 length."), std::string::npos) << report;
}

TEST_F(ModuleCheck, MalformedConditionsAreLoaderErrors) {
    dir.write("c_tab.def",
              R"({"C.1", "Base", {{0x00100020, "Patient ID", "1C", "", "present (0010,0020"}}})");
    ASSERT_EQ(InitABDef(&ctx.app, object.obj, 1, "A.5"), 0);
    EXPECT_EQ(InitCDef(&ctx.app, object.obj, 1), -1);
    EXPECT_NE(ctx.takeText().find("condition: tag (gggg,eeee) expected at character 9"), std::string::npos);
    EXPECT_EQ(object.obj->boundDefinitions, nullptr);

    dir.write("ab_tab.def", R"({"A.5", "NM", {{"C.1", "Base", 'M', "", "", "(0008,0060)=4"}}})");
    EXPECT_EQ(InitABDef(&ctx.app, object.obj, 1, "A.5"), -1);
    EXPECT_NE(ctx.takeText().find("type override: type 1, 1C, 2, 2C or 3 expected"), std::string::npos);
}

}  // namespace
