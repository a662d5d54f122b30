// Agreement with dciodvfy (dicom3tools): every type 1 or type 2 attribute that dciodvfy finds
// missing (or a type 1 attribute it finds empty) is reported by the module check too. The cases
// are NM and SC objects built here and written to files, and the NM and SC verification samples.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "defs/test_verify_objects.h"

using velmar_test::parseReport;
using velmar_test::ReportedProblem;
using velmar_test::ShippedDictionary;
using velmar_test::TestContext;
using velmar_test::TestObject;

namespace {

constexpr const char *kDciodvfy = "/usr/bin/dciodvfy";
const std::string kSharedDir = VELMAR_SHARED_DIR;

// Keyword to tag, from the standard's dictionary.
std::map<std::string, uint32_t> keywordTags() {
    std::map<std::string, uint32_t> tags;
    std::ifstream in(kSharedDir + "/standard/dictionary.tsv");
    std::string line;
    std::getline(in, line);
    while (std::getline(in, line)) {
        std::istringstream cells(line);
        std::string tag, keyword;
        std::getline(cells, tag, '\t');
        std::getline(cells, keyword, '\t');
        if (tag.find('x') == std::string::npos && !keyword.empty())
            tags.emplace(keyword, static_cast<uint32_t>(std::stoul(tag, nullptr, 16)));
    }
    return tags;
}

std::string run(const std::string &command) {
    std::string output;
    FILE *pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) return output;
    char buffer[4096];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) output.append(buffer, n);
    pclose(pipe);
    return output;
}

enum class Finding { MissingType1, MissingType2, EmptyType1 };

struct PeerFinding {
    uint32_t tag;
    std::string keyword;
    Finding kind;
    std::string module;
};

// The missing and empty required attributes that dciodvfy reports for a file.
std::vector<PeerFinding> peerFindings(const std::string &path, const std::map<std::string, uint32_t> &tags) {
    std::vector<PeerFinding> findings;
    std::regex missing(R"(Error - Missing attribute Type ([12]) Required Element=<(\w+)> Module=<(\w+)>)");
    std::regex empty(
        R"(Error - Empty attribute \(no value\) Type 1 Required Element=<(\w+)> Module=<(\w+)>)");
    std::istringstream lines(run(std::string(kDciodvfy) + " '" + path + "' 2>&1"));
    std::string line;
    std::smatch m;
    while (std::getline(lines, line)) {
        PeerFinding f{};
        if (std::regex_search(line, m, missing)) {
            f = {0, m[2], m[1] == "1" ? Finding::MissingType1 : Finding::MissingType2, m[3]};
        } else if (std::regex_search(line, m, empty)) {
            f = {0, m[1], Finding::EmptyType1, m[2]};
        } else {
            continue;
        }
        auto it = tags.find(f.keyword);
        f.tag = it != tags.end() ? it->second : 0;
        findings.push_back(f);
    }
    return findings;
}

// Reported as an error (dciodvfy judges the modules that apply, velmar warns only for the
// conditional modules whose conditions it does not evaluate).
bool reported(const std::vector<ReportedProblem> &problems, const PeerFinding &f) {
    for (const ReportedProblem &p : problems) {
        if (p.tag != f.tag || p.message.rfind("Error: ", 0) != 0) continue;
        bool missing = p.message.find("element is missing.") != std::string::npos;
        bool empty = p.message.find("Type 1 element has 0 length.") != std::string::npos;
        if (f.kind == Finding::EmptyType1 ? empty : missing) return true;
    }
    return false;
}

// Verifies the object by module and compares with dciodvfy's findings for the file.
void compare(TestContext &ctx, DicomObject *obj, const std::string &path, const std::string &label,
             size_t *peerCount = nullptr) {
    static const std::map<std::string, uint32_t> tags = keywordTags();
    ASSERT_FALSE(tags.empty());
    ASSERT_EQ(InitUABCDef(&ctx.app, obj, 0), 0) << label << "\n" << ctx.takeText();
    ctx.takeLines();
    VerifyObjectByModule(&ctx.app, obj);
    std::vector<ReportedProblem> problems = parseReport(ctx.takeLines());
    std::vector<PeerFinding> findings = peerFindings(path, tags);
    if (peerCount != nullptr) *peerCount = findings.size();

    std::set<uint32_t> peerTags;
    size_t agreed = 0;
    for (const PeerFinding &f : findings) {
        ASSERT_NE(f.tag, 0u) << label << ": unknown keyword " << f.keyword;
        peerTags.insert(f.tag);
        bool found = reported(problems, f);
        agreed += found ? 1 : 0;
        EXPECT_TRUE(found) << label << ": dciodvfy finds " << f.keyword << " ("
                           << (f.kind == Finding::EmptyType1 ? "empty" : "missing") << ", module " << f.module
                           << ")";
    }
    // What velmar reports beyond the peer, for the record.
    std::set<std::string> extra;
    for (const ReportedProblem &p : problems) {
        if (peerTags.count(p.tag) != 0 || p.message.find("Type") == std::string::npos) continue;
        char text[64];
        std::snprintf(text, sizeof text, "(%04X,%04X) %s", p.tag >> 16, p.tag & 0xFFFF,
                      p.message.substr(0, p.message.find(':')).c_str());
        extra.insert(text);
    }
    std::cout << label << ": dciodvfy finds " << findings.size()
              << " required attributes missing or empty, velmar"
              << " reports " << agreed << " of them as errors; velmar also reports " << extra.size() << ":";
    for (const std::string &e : extra) std::cout << " " << e;
    std::cout << "\n";
}

class DciodvfyAgreement : public ::testing::Test {
   protected:
    void SetUp() override {
        if (access(kDciodvfy, X_OK) != 0) GTEST_SKIP() << "dciodvfy (dicom3tools) is not installed";
        if (access((kSharedDir + "/standard/dictionary.tsv").c_str(), R_OK) != 0)
            GTEST_SKIP() << "the standard's dictionary (keywords of dciodvfy's messages) is not at "
                         << kSharedDir;
        ASSERT_TRUE(ctx.loaded()) << ctx.takeText();
        char pattern[] = "/tmp/velmar-dciodvfy-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir = pattern;
    }
    void TearDown() override {
        if (!dir.empty()) std::filesystem::remove_all(dir);
    }
    std::string write(const TestObject &object, const std::string &name, const std::string &sopClass) {
        std::string path = dir + "/" + name;
        velmar_test::PlainWriter writer(&ctx.app);
        EXPECT_TRUE(writer.write(object.obj, path, sopClass, "1.2.826.0.1.3680043.2.1125.5.5"));
        return path;
    }

    TestContext ctx{ShippedDictionary{}};
    std::string dir;
};

TEST_F(DciodvfyAgreement, BuiltSecondaryCaptureImagesWithMissingAttributes) {
    const std::vector<std::pair<std::string, std::set<uint32_t>>> cases = {
        {"sc_complete", {}},
        {"sc_missing_type1", {0x00080064, 0x0020000D, 0x0020000E, 0x00280010, 0x00280101, 0x00280004}},
        {"sc_missing_type2",
         {0x00100010, 0x00100020, 0x00100030, 0x00100040, 0x00080020, 0x00080030, 0x00080090, 0x00200010,
          0x00080050, 0x00200011, 0x00200013}},
    };
    for (const auto &[name, leaveOut] : cases) {
        TestObject object(&ctx.app);
        velmar_test::buildSC(object, leaveOut);
        size_t peer = 0;
        compare(ctx, object.obj, write(object, name + ".dcm", velmar_test::kSCImageStorage), name, &peer);
        if (!leaveOut.empty()) EXPECT_GE(peer, leaveOut.size() - 1) << name << ": the peer sees the gaps too";
    }
}

TEST_F(DciodvfyAgreement, ABuiltSparseNMImage) {
    TestObject object(&ctx.app);
    velmar_test::buildSparseNM(object);
    object.empty(0x0008, 0x0008);  // Image Type, type 1, empty
    size_t peer = 0;
    compare(ctx, object.obj, write(object, "nm_sparse.dcm", velmar_test::kNMImageStorage), "nm_sparse",
            &peer);
    EXPECT_GE(peer, 10u);
}

TEST_F(DciodvfyAgreement, VerificationSamples) {
    const std::string samples = kSharedDir + "/dicom-samples/generated/";
    const char *names[] = {"verify_nm_clean.dcm",     "verify_nm_missing_t1.dcm", "verify_nm_missing_t2.dcm",
                           "verify_nm_empty_t1.dcm",  "verify_sc_clean.dcm",      "verify_sc_missing_t1.dcm",
                           "verify_sc_missing_t2.dcm"};
    if (access((samples + names[0]).c_str(), R_OK) != 0)
        GTEST_SKIP() << "no verification samples in " << samples;
    for (const char *name : names) {
        IOObject io;
        init_IOObject(&io);
        io.dataSyntax = -1;
        EXPECT_EQ(DO_importObjectFromFile(&ctx.app, (samples + name).c_str(), &io), 0)
            << name << ctx.takeText();
        ASSERT_NE(io.object, nullptr) << name;
        compare(ctx, io.object, samples + name, name);
        DO_closeObject(&io.object);
    }
}

}  // namespace
