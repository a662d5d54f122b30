// Tests of the verification reports: lines, levels and results of the check by module and of the
// check by tag.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "defs/test_verify_fixture.h"

using velmar_test::DefDirectory;
using velmar_test::TestContext;
using velmar_test::TestObject;

namespace {

using Lines = std::vector<std::string>;

const char *kIods = R"({"A.5", "Nuclear Medicine Image", {
  {"C.7.1.1", "Patient", 'M', ""},
  {"C.7.2.1", "General Study", 'C', "if present"},
  {"C.99", "Extra", 'U', ""},
  {"C.8.4.10", "NM Isotope", 'M', ""}
}})";

const char *kModules = R"(
{"C.7.1.1", "Patient", {{0x00100010, "Patient's Name", "2", ""}, {0x00100020, "Patient ID", "1", ""},
                        {0x00101010, "Patient's Age", "3", ""}}}
{"C.7.2.1", "General Study", {{0x0020000D, "Study Instance UID", "1", ""}, {0x00080020, "Study Date", "2", ""}}}
{"C.99", "Extra", {{0x00181030, "Protocol Name", "1", ""}, {0x00540016, "Radiopharmaceutical Information Sequence", "3", ""}}}
{"C.99_1", "Extra", {{0x00180031, "Radiopharmaceutical", "1", ""}}}
{"C.8.4.10", "NM Isotope", {{0x00540012, "Energy Window Information Sequence", "2", ""}}}
{"C.8.4.10_1", "NM Isotope", {{0x00540014, "Energy Window Lower Limit", "1", ""}, {0x00540018, "Energy Window Name", "3", ""}}}
)";

struct Verified {
    TestContext ctx;
    DefDirectory dir;
    TestObject object{&ctx.app};

    Verified() {
        dir.write("ab_tab.def", kIods);
        dir.write("c_tab.def", kModules);
        dir.write("ab2_tab.def", "");
    }
    // A complete object: nothing to report.
    void fill() {
        object.text(0x0010, 0x0010, "Doe^John");
        object.text(0x0010, 0x0020, "ID42");
        object.text(0x0020, 0x000D, "1.2.3");
        object.text(0x0008, 0x0020, "20240229");
        object.beginSequence(0x0054, 0x0012);
        object.beginItem();
        object.text(0x0054, 0x0014, "126");
        object.endItem();
        object.endSequence();
    }
    int16_t verify() {
        EXPECT_EQ(InitABDef(&ctx.app, object.obj, 0, "A.5"), 0);
        EXPECT_EQ(InitCDef(&ctx.app, object.obj, 0), 0);
        EXPECT_EQ(BindABCDef(&ctx.app, object.obj), 0);
        ctx.takeLines();
        return VerifyObjectByModule(&ctx.app, object.obj);
    }
};

const Lines kHeadings = {"Nuclear Medicine Image",
                         "",
                         "Checking Patient Module",
                         "",
                         "Checking General Study Module -- Type = C",
                         "",
                         "Checking Extra Module",
                         "",
                         "Checking NM Isotope Module",
                         "",
                         "Checking Private Data Module"};

// The headings with extra lines inserted after the heading of `module`.
Lines withReport(const std::string &module, const Lines &report) {
    Lines out;
    for (const std::string &line : kHeadings) {
        out.push_back(line);
        if (line.find("Checking " + module + " Module") == 0)
            out.insert(out.end(), report.begin(), report.end());
    }
    return out;
}

TEST(VerifyObjectByModule, ACompleteObjectGivesOnlyTheHeadings) {
    Verified v;
    v.fill();
    EXPECT_EQ(v.verify(), 0);
    EXPECT_EQ(v.ctx.takeLines(), kHeadings);
}

TEST(VerifyObjectByModule, WithoutDefinitionsItReturns2AndWritesNothing) {
    TestContext ctx;
    TestObject object(&ctx.app);
    EXPECT_EQ(VerifyObjectByModule(&ctx.app, object.obj), 2);
    EXPECT_EQ(VerifyObjectByModule(&ctx.app, nullptr), 2);
    EXPECT_TRUE(ctx.takeLines().empty());
}

TEST(VerifyObjectByModule, AMissingType1AttributeOfAMandatoryModuleIsAnError) {
    Verified v;
    v.fill();
    DicomElement key{};
    key.group = 0x0010;
    key.element = 0x0020;
    DO_deleteElement(&v.ctx.app, v.object.obj, &key);
    EXPECT_EQ(v.verify(), 1);
    const Lines report = {"\t(0010, 0020) -- Patient ID", "\tValue:\t",
                          "Error: \t\tType 1 element is missing."};
    EXPECT_EQ(v.ctx.takeLines(), withReport("Patient", report));

    // Levels: the header at -1 and the message at 1 pass a threshold of 1; the empty lines (-3) do not.
    v.ctx.setLogThreshold(1);
    VerifyObjectByModule(&v.ctx.app, v.object.obj);
    Lines atOne = v.ctx.takeLines();
    EXPECT_EQ(atOne.size(), 6u + report.size());
    EXPECT_EQ(atOne[2], report[0]);
    EXPECT_EQ(atOne[4], report[2]);
}

TEST(VerifyObjectByModule, ProblemsOfAConditionalModuleAreWarningsAndDoNotCount) {
    Verified v;
    v.fill();
    DicomElement key{};
    key.group = 0x0020;
    key.element = 0x000D;
    DO_deleteElement(&v.ctx.app, v.object.obj, &key);
    v.object.text(0x0008, 0x0020, "20241301");
    EXPECT_EQ(v.verify(), 0);
    const Lines report = {"\t(0020, 000D) -- Study Instance UID",
                          "\tValue:\t",
                          "Warning: \t\tType 1 element is missing.",
                          "\t(0008, 0020) -- Study Date",
                          "\tValue:\t  20241301",
                          "Warning: \t\tElement contains impossible value."};
    EXPECT_EQ(v.ctx.takeLines(), withReport("General Study", report));
    v.ctx.setLogThreshold(1);
    VerifyObjectByModule(&v.ctx.app, v.object.obj);
    EXPECT_EQ(v.ctx.takeLines().size(), 6u) << "headers at -2 and messages at 2";
}

TEST(VerifyObjectByModule, EmptyAndMissingByType) {
    Verified v;
    v.fill();
    v.object.empty(0x0010, 0x0020);  // type 1, empty
    v.object.empty(0x0010, 0x0010);  // type 2, empty: fine
    DicomElement key{};
    key.group = 0x0054;
    key.element = 0x0012;
    DO_deleteElement(&v.ctx.app, v.object.obj, &key);  // type 2 sequence, absent
    EXPECT_EQ(v.verify(), 1);
    Lines expected = withReport(
        "Patient", {"\t(0010, 0020) -- Patient ID", "\tValue:\t", "Error: \t\tType 1 element has 0 length."});
    // An absent sequence requires nothing inside its items.
    expected = [&] {
        Lines out;
        for (const std::string &line : expected) {
            out.push_back(line);
            if (line == "Checking NM Isotope Module")
                out.insert(out.end(), {"\t(0054, 0012) -- Energy Window Information Sequence", "\tValue:\t",
                                       "Error: \t\tType 2 element is missing."});
        }
        return out;
    }();
    EXPECT_EQ(v.ctx.takeLines(), expected);
}

TEST(VerifyObjectByModule, ProblemsInsideItemsAreReportedButDoNotCount) {
    Verified v;
    v.fill();
    DicomElement key{};
    key.group = 0x0054;
    key.element = 0x0012;
    DO_deleteElement(&v.ctx.app, v.object.obj, &key);
    v.object.beginSequence(0x0054, 0x0012);
    v.object.beginItem();
    v.object.text(0x0054, 0x0014, "126");
    v.object.endItem();
    v.object.beginItem();
    v.object.text(0x0054, 0x0018, "second");
    v.object.endItem();
    v.object.endSequence();
    EXPECT_EQ(v.verify(), 0);
    EXPECT_EQ(v.ctx.takeLines(),
              withReport("NM Isotope", {"\t(0054, 0014) -- Energy Window Lower Limit", "\tValue:\t",
                                        "Error: \t\tType 1 element is missing."}));
}

TEST(VerifyObjectByModule, AUsedOptionalModuleIsChecked) {
    Verified v;
    v.fill();
    v.object.beginSequence(0x0054, 0x0016);
    v.object.beginItem();
    v.object.text(0x0018, 0x0031, "Tc-99m");
    v.object.endItem();
    v.object.endSequence();
    EXPECT_EQ(v.verify(), 1) << "the Extra module is in use, so its type 1 attribute counts";
    EXPECT_EQ(v.ctx.takeLines(), withReport("Extra", {"\t(0018, 1030) -- Protocol Name", "\tValue:\t",
                                                      "Error: \t\tType 1 element is missing."}));
}

TEST(VerifyObjectByModule, ThePrivateModuleIsNotChecked) {
    Verified v;
    v.fill();
    v.object.text(0x0028, 0x0030, "1,5");  // defined by no module: collected into the private module
    EXPECT_EQ(v.verify(), 0);
    EXPECT_EQ(v.ctx.takeLines(), kHeadings);
    EXPECT_EQ(VerifyObjectByTag(&v.ctx.app, v.object.obj), 1);
    EXPECT_EQ(v.ctx.takeLines(), (Lines{"\t(0028, 0030) -- Pixel Spacing", "\tValue:\t  1,5 ",
                                        "Error: \t\tElement contains extra characters.",
                                        "Error: \t\tVM of element is incorrect."}))
        << "several problems follow one header in increasing bit order";
}

TEST(VerifyObjectByTag, ChecksEveryElementAtEveryDepth) {
    TestContext ctx;
    TestObject object(&ctx.app);
    object.text(0x0010, 0x0010, "Doe^John");
    EXPECT_EQ(VerifyObjectByTag(&ctx.app, object.obj), 0);
    EXPECT_TRUE(ctx.takeLines().empty());

    object.beginSequence(0x0054, 0x0012);
    object.beginItem();
    object.text(0x0008, 0x0020, "20241301");
    object.endItem();
    object.endSequence();
    EXPECT_EQ(VerifyObjectByTag(&ctx.app, object.obj), 1);
    EXPECT_EQ(ctx.takeLines(), (Lines{"\t(0008, 0020) -- Study Date", "\tValue:\t  20241301",
                                      "Error: \t\tElement contains impossible value."}));
}

TEST(VerifyObjectByTag, AnUnknownVRIsAWarningThatDoesNotCount) {
    TestContext ctx;
    TestObject object(&ctx.app);
    const uint8_t bytes[] = {0xAB, 0xCD};
    DicomElement el = velmar_test::binaryElement(0x0012, 0x3456, bytes, 2);
    DO_addElement(&ctx.app, object.obj, &el);
    EXPECT_EQ(VerifyObjectByTag(&ctx.app, object.obj), 0);
    EXPECT_EQ(ctx.takeLines(),
              (Lines{"\t(0012, 3456) -- ", "\tValue:\t  ABCDH", "Warning: \t\tVR of element is unknown."}));
    ctx.setLogThreshold(1);
    VerifyObjectByTag(&ctx.app, object.obj);
    EXPECT_TRUE(ctx.takeLines().empty()) << "the header is at level -2";
    EXPECT_EQ(VerifyObjectByTag(&ctx.app, nullptr), 0);
}

TEST(ReportProblems, WritesEveryBitAndCutsLongLines) {
    TestContext ctx;
    reportProblems(&ctx.app, 0x00100010, "Patient's Name", "  Doe", 0x0400 | 0x0200 | 0x0001, 0);
    EXPECT_EQ(ctx.takeLines(),
              (Lines{"\t(0010, 0010) -- Patient's Name", "\tValue:\t  Doe",
                     "Error: \t\tLength of element is less or greater than the permitted minimum/maximum.",
                     "Error: \t\tType 2 element is missing.", "Error: \t\tUnhandled error code."}));
    std::string longName(2000, 'n');
    reportProblems(&ctx.app, 0x00100010, longName.c_str(), "", 0x8000, 1);
    Lines lines = ctx.takeLines();
    ASSERT_EQ(lines.size(), 2u) << "the value line is cut off with the header";
    EXPECT_LE(lines[0].size(), 511u);
    EXPECT_EQ(lines[1], "Warning: \t\tUnhandled error code.");
}

TEST(IsSQEmpty, LooksAtTheAttributesInsideTheItemsAtAnyDepth) {
    AttributeEntry sequence{}, item{}, inner{}, nestedItem{}, deep{};
    EXPECT_EQ(isSQEmpty(&sequence), 1) << "no children";
    sequence.firstChild = sequence.lastChild = &item;
    item.firstChild = item.lastChild = &inner;
    DicomElement el{};
    item.element = &el;
    EXPECT_EQ(isSQEmpty(&sequence), 1) << "the item entry's own binding is not looked at";
    inner.firstChild = inner.lastChild = &nestedItem;
    nestedItem.firstChild = nestedItem.lastChild = &deep;
    deep.element = &el;
    EXPECT_EQ(isSQEmpty(&sequence), 0);
    deep.element = nullptr;
    inner.element = &el;
    EXPECT_EQ(isSQEmpty(&sequence), 0);
}

}  // namespace
