// Tests of the shipped definition files (share/velmar): every IOD loads with its modules, and the
// definitions bind to NM and SC objects built here and report what they lack.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "defs/test_verify_objects.h"

using velmar_test::parseReport;
using velmar_test::ReportedProblem;
using velmar_test::ShippedDictionary;
using velmar_test::TestContext;
using velmar_test::TestObject;

namespace {

std::vector<std::string> shippedIodKeys() {
    std::ifstream in(std::string(VELMAR_SHARE_DIR) + "/ab_tab.def");
    std::vector<std::string> keys;
    std::regex record("^[{]\"([^\"]+)\", \"");
    std::string line;
    std::smatch match;
    while (std::getline(in, line))
        if (std::regex_search(line, match, record)) keys.push_back(match[1]);
    return keys;
}

bool hasProblem(const std::vector<ReportedProblem> &problems, uint32_t tag, const std::string &message) {
    for (const ReportedProblem &p : problems)
        if (p.tag == tag && p.message == message) return true;
    return false;
}

const ModuleEntry *findModule(const ABDef *set, const char *key) {
    for (const ModuleEntry *m = set->firstModule; m != nullptr; m = m->next)
        if (std::strcmp(m->key, key) == 0) return m;
    return nullptr;
}

TEST(ShippedDefinitions, EveryIODLoadsWithoutAMessage) {
    TestContext ctx{ShippedDictionary{}};
    ASSERT_TRUE(ctx.loaded()) << ctx.takeText();
    std::vector<std::string> keys = shippedIodKeys();
    ASSERT_GE(keys.size(), 100u);
    size_t modules = 0;
    TestObject object(&ctx.app);
    for (const std::string &key : keys) {
        ctx.takeLines();
        ASSERT_EQ(InitABDef(&ctx.app, object.obj, 0, key.c_str()), 0) << key << "\n" << ctx.takeText();
        for (const std::string &line : ctx.takeLines())
            EXPECT_EQ(line.rfind("Info: Loading", 0), 0u) << key << line;
        const ABDef *set = object.obj->boundDefinitions;
        ASSERT_NE(set, nullptr);
        EXPECT_EQ(key, set->key);
        EXPECT_STREQ(set->lastModule->key, "P.R.I.V.A.T.E");
        for (const ModuleEntry *m = set->firstModule; m != nullptr; m = m->next) ++modules;
    }
    EXPECT_EQ(modules, 3258u + keys.size())
        << "every module line of ab_tab.def, and one private module per IOD";
}

// One IOD that holds every module of every shipped IOD: loading c_tab.def for it resolves every
// record, sequence paths included.
TEST(ShippedDefinitions, EveryModuleRecordLoadsWithoutAMessage) {
    TestContext ctx{ShippedDictionary{}};
    ASSERT_TRUE(ctx.loaded()) << ctx.takeText();
    std::ifstream in(std::string(VELMAR_SHARE_DIR) + "/ab_tab.def");
    std::set<std::string> moduleLines;
    std::regex moduleLine("^  [{]\"([^\"]+)\", \"([^\"]*)\", '(.)'");
    std::string line;
    std::smatch match;
    std::string all = "{\"ALL\", \"Every module\", {\n";
    std::set<std::string> seen;
    while (std::getline(in, line))
        if (std::regex_search(line, match, moduleLine) && seen.insert(match[1]).second)
            all += std::string(seen.size() == 1 ? "" : ",\n") + "{\"" + std::string(match[1]) + "\", \"" +
                   std::string(match[2]) + "\", 'M', \"\"}";
    all += "\n}}\n";
    ASSERT_GT(seen.size(), 300u);

    velmar_test::DefDirectory dir;
    dir.write("ab_tab.def", all);
    std::filesystem::create_symlink(std::string(VELMAR_SHARE_DIR) + "/c_tab.def", dir.file("c_tab.def"));
    TestObject object(&ctx.app);
    ASSERT_EQ(InitABDef(&ctx.app, object.obj, 1, "ALL"), 0) << ctx.takeText();
    ctx.takeLines();
    ASSERT_EQ(InitCDef(&ctx.app, object.obj, 1), 0) << ctx.takeText();
    EXPECT_EQ(ctx.takeLines().size(), 1u) << "only the loading line";
    size_t attributes = 0, empty = 0;
    std::function<void(const AttributeEntry *)> countAll = [&](const AttributeEntry *e) {
        for (; e != nullptr; e = e->next) {
            if (e->tag != 0xFFFEE000u) ++attributes;
            countAll(e->firstChild);
        }
    };
    for (const ModuleEntry *m = object.obj->boundDefinitions->firstModule; m != nullptr; m = m->next) {
        countAll(m->firstAttribute);
        if (m->firstAttribute == nullptr) ++empty;
    }
    EXPECT_GT(attributes, 10000u);
    std::cout << seen.size() << " modules used by the shipped IODs, " << empty
              << " of them without attributes, " << attributes << " attribute entries\n";
}

TEST(ShippedDefinitions, BindToAnNMImageAndReportWhatItLacks) {
    TestContext ctx{ShippedDictionary{}};
    ASSERT_TRUE(ctx.loaded()) << ctx.takeText();
    TestObject object(&ctx.app);
    velmar_test::buildSparseNM(object);
    ASSERT_EQ(InitUABCDef(&ctx.app, object.obj, 0), 0) << ctx.takeText();
    const ABDef *set = object.obj->boundDefinitions;
    EXPECT_STREQ(set->key, "A.5");
    EXPECT_STREQ(set->name, "Nuclear Medicine Image");
    const ModuleEntry *patient = findModule(set, "C.7.1.1");
    ASSERT_NE(patient, nullptr);
    const AttributeEntry *name = patient->firstAttribute;
    while (name != nullptr && name->tag != 0x00100010u) name = name->next;
    ASSERT_NE(name, nullptr);
    EXPECT_EQ(name->element, object.find(0x0010, 0x0010));

    ctx.takeLines();
    EXPECT_EQ(VerifyObjectByModule(&ctx.app, object.obj), 1);
    std::vector<std::string> lines = ctx.takeLines();
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines[0], "Nuclear Medicine Image");
    std::vector<ReportedProblem> problems = parseReport(lines);
    EXPECT_TRUE(hasProblem(problems, 0x00100020, "Error: \t\tType 2 element is missing.")) << "Patient ID";
    EXPECT_TRUE(hasProblem(problems, 0x0020000E, "Error: \t\tType 1 element is missing."))
        << "Series Instance UID";
    EXPECT_TRUE(hasProblem(problems, 0x00280002, "Error: \t\tType 1 element is missing."))
        << "Samples per Pixel";
    EXPECT_TRUE(hasProblem(problems, 0x00540012, "Error: \t\tType 2 element is missing."))
        << "Energy Window Info";
    EXPECT_FALSE(hasProblem(problems, 0x0020000D, "Error: \t\tType 1 element is missing.")) << "present";
    EXPECT_FALSE(hasProblem(problems, 0x00280010, "Error: \t\tType 1 element is missing.")) << "present";

    // Once the attributes are there and bound again, their reports are gone.
    object.text(0x0010, 0x0020, "ID42");
    object.text(0x0020, 0x000E, "1.2.3.4");
    ASSERT_EQ(RebindABCDef(&ctx.app, object.obj), 0);
    VerifyObjectByModule(&ctx.app, object.obj);
    problems = parseReport(ctx.takeLines());
    EXPECT_FALSE(hasProblem(problems, 0x00100020, "Error: \t\tType 2 element is missing."));
    EXPECT_FALSE(hasProblem(problems, 0x0020000E, "Error: \t\tType 1 element is missing."));
    EXPECT_TRUE(hasProblem(problems, 0x00280002, "Error: \t\tType 1 element is missing."));
}

TEST(ShippedDefinitions, ACompleteSecondaryCaptureImagePasses) {
    TestContext ctx{ShippedDictionary{}};
    ASSERT_TRUE(ctx.loaded()) << ctx.takeText();
    TestObject object(&ctx.app);
    velmar_test::buildSC(object);
    ASSERT_EQ(InitUABCDef(&ctx.app, object.obj, 0), 0) << ctx.takeText();
    EXPECT_STREQ(object.obj->boundDefinitions->key, "A.8.1");
    ctx.takeLines();
    EXPECT_EQ(VerifyObjectByModule(&ctx.app, object.obj), 0);
    for (const ReportedProblem &p : parseReport(ctx.takeLines()))
        EXPECT_EQ(p.message.rfind("Warning: ", 0), 0u) << std::hex << p.tag << p.message;
    EXPECT_EQ(VerifyObjectByTag(&ctx.app, object.obj), 0) << ctx.takeText();

    TestObject lacking(&ctx.app);
    velmar_test::buildSC(lacking, {0x00080064, 0x0020000D, 0x00280010, 0x00100010, 0x00200013});
    ASSERT_EQ(InitUABCDef(&ctx.app, lacking.obj, 0), 0) << ctx.takeText();
    ctx.takeLines();
    EXPECT_EQ(VerifyObjectByModule(&ctx.app, lacking.obj), 1);
    std::vector<ReportedProblem> problems;
    for (const ReportedProblem &p : parseReport(ctx.takeLines()))
        if (p.message.rfind("Error: ", 0) == 0) problems.push_back(p);  // conditional modules warn
    std::vector<ReportedProblem> expected = {{0x00080064, "Error: \t\tType 1 element is missing."},
                                             {0x00100010, "Error: \t\tType 2 element is missing."},
                                             {0x0020000D, "Error: \t\tType 1 element is missing."},
                                             {0x00200013, "Error: \t\tType 2 element is missing."},
                                             {0x00280010, "Error: \t\tType 1 element is missing."}};
    std::sort(problems.begin(), problems.end());
    EXPECT_EQ(problems.size(), expected.size()) << [&] {
        std::string t;
        for (auto &p : problems) t += std::to_string(p.tag) + " " + p.message + "\n";
        return t;
    }();
    for (const ReportedProblem &p : expected)
        EXPECT_TRUE(hasProblem(problems, p.tag, p.message)) << std::hex << p.tag;
}

}  // namespace
