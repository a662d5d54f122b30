// Tests of tools/gen-defs: the shipped definition files pass its check, the
// generator reproduces them from the standard's facts, and its check refuses
// what the library's definition-file loaders would reject or silently drop.

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

const fs::path kGenDefs = fs::path(VELMAR_SOURCE_DIR) / "tools" / "gen-defs";
const fs::path kShare = VELMAR_SHARE_DIR;
const fs::path kStandard = fs::path(VELMAR_SHARED_DIR) / "standard";

const std::vector<std::string> kFiles = {"tag_tab.def", "tag2_tab.def", "uid_tab.def",
                                         "uid2_tab.def", "base.uid",     "ab_tab.def",
                                         "ab2_tab.def",  "c_tab.def",    "c2_tab.def"};

bool havePython() { return std::system("python3 -c pass >/dev/null 2>&1") == 0; }

std::string readFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

void writeFile(const fs::path& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
}

struct RunResult {
    int status;
    std::string output;
};

class GenDefs : public ::testing::Test {
protected:
    void SetUp() override {
        if (!havePython()) GTEST_SKIP() << "python3 is not installed";
        std::string pattern = (fs::temp_directory_path() / "velmar-gendefs-XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        dir_ = pattern;
    }
    void TearDown() override {
        if (!dir_.empty()) fs::remove_all(dir_);
    }

    // Runs gen-defs with the given arguments; output and errors go to one log.
    RunResult run(const std::string& args) const {
        const fs::path log = dir_ / "gen-defs.log";
        const std::string command =
            "python3 '" + kGenDefs.string() + "' " + args + " >'" + log.string() + "' 2>&1";
        const int rc = std::system(command.c_str());
        return {WIFEXITED(rc) ? WEXITSTATUS(rc) : -1, readFile(log)};
    }

    // A copy of the shipped files in which one file is replaced.
    fs::path shippedWith(const std::string& name, const std::string& text) const {
        fs::path out = dir_ / "defs";
        fs::create_directories(out);
        for (const auto& file : kFiles)
            fs::copy_file(kShare / file, out / file, fs::copy_options::overwrite_existing);
        writeFile(out / name, text);
        return out;
    }

    fs::path dir_;
};

TEST_F(GenDefs, ShippedFilesPassTheCheck) {
    const RunResult r = run("--check '" + kShare.string() + "'");
    EXPECT_EQ(r.status, 0) << r.output;
}

TEST_F(GenDefs, RegenerationReproducesTheShippedFiles) {
    if (!fs::exists(kStandard / "dictionary.tsv"))
        GTEST_SKIP() << "the standard's facts are not at " << kStandard;
    const fs::path out = dir_ / "out";
    const RunResult r = run("--standard '" + kStandard.string() + "' --out '" + out.string() + "'");
    ASSERT_EQ(r.status, 0) << r.output;
    for (const auto& file : kFiles)
        EXPECT_TRUE(readFile(out / file) == readFile(kShare / file))
            << file << " differs from a fresh generation: regenerate with tools/gen-defs";
}

// Limits that a site file may reach: a string of exactly 2005 bytes on a line
// without numbers, a string over two lines, comments between records.
TEST_F(GenDefs, CheckAcceptsStringsAtTheLimit) {
    const std::string text = "# site attributes\n{0x00091010,\n\"" + std::string(2005, 'a') +
                             "\", \"LO\",\n 1, \"A,\nB\", \"\"}, # first\n"
                             "{0x00091011, \"Other\", \"US\", -3, \"\", \"\"},\n";
    const RunResult r = run("--check '" + shippedWith("tag2_tab.def", text).string() + "'");
    EXPECT_EQ(r.status, 0) << r.output;
}

struct BrokenFile {
    const char* label;
    const char* file;
    std::string text;
    const char* message;
};

class GenDefsRefuses : public GenDefs, public ::testing::WithParamInterface<BrokenFile> {};

TEST_P(GenDefsRefuses, BrokenFile) {
    const BrokenFile& c = GetParam();
    const RunResult r = run("--check '" + shippedWith(c.file, c.text).string() + "'");
    EXPECT_EQ(r.status, 1) << r.output;
    EXPECT_NE(r.output.find(c.message), std::string::npos) << r.output;
}

INSTANTIATE_TEST_SUITE_P(
    Files, GenDefsRefuses,
    ::testing::Values(
        BrokenFile{"string2006", "tag2_tab.def",
                   "{0x00091010,\n\"" + std::string(2006, 'a') + "\", \"LO\",\n 1, \"\", \"\"},\n",
                   "character string between \"s (double quote) expected"},
        BrokenFile{"lastCommaMissing", "tag2_tab.def", "{0x00091010, \"A\", \"LO\", 1, \"\", \"\"}\n",
                   "terminating comma"},
        BrokenFile{"longNumberLine", "tag2_tab.def",
                   "{0x00091010, \"" + std::string(300, 'a') + "\", \"LO\", 1, \"\", \"\"},\n",
                   "line carrying a number"},
        BrokenFile{"vmRange", "tag2_tab.def", "{0x00091010, \"A\", \"LO\", 1-n, \"\", \"\"},\n",
                   "',' (comma) expected"},
        BrokenFile{"upperCaseHexPrefix", "tag2_tab.def",
                   "{0X00091010, \"A\", \"LO\", 1, \"\", \"\"},\n",
                   "hexadecimal value with 0x prefix expected"},
        BrokenFile{"strayWord", "tag2_tab.def", "{0x00091010, \"A\", \"LO\", 1, \"\", \"\"},\nend\n",
                   "'{' (left brace) expected"},
        BrokenFile{"unknownVR", "tag2_tab.def", "{0x00091010, \"A\", \"QQ\", 1, \"\", \"\"},\n",
                   "is not one of the library's"},
        BrokenFile{"secondaryType1", "c2_tab.def",
                   "{\"C.7.1.1\", \"Patient\", {\n  {0x00100010, \"Patient's Name\", \"1\", \"\"}\n}}\n",
                   "only Type 3 attributes are allowed in secondary definition file"},
        BrokenFile{"pathBeyondSequences", "c2_tab.def",
                   "{\"C.7.1.1_99\", \"Patient\", {\n  {0x00100010, \"Patient's Name\", \"3\", \"\"}\n}}\n",
                   "less SQ Attribute than referenced"},
        BrokenFile{"pathIndexZero", "c2_tab.def",
                   "{\"C.7.1.1_0\", \"Patient\", {\n  {0x00100010, \"Patient's Name\", \"3\", \"\"}\n}}\n",
                   "SQ Attribute index must be 1 or more"},
        BrokenFile{"uidWithoutIod", "uid2_tab.def", "{\"Z.99\", \"1.2.3.4\", \"Site class\"},\n",
                   "is not in ab_tab.def"},
        BrokenFile{"usageLetter", "ab2_tab.def",
                   "{\"A.5\", \"Nuclear Medicine Image\", {\n  {\"C.10.2\", \"Curve\", 'X', \"\"}\n}}\n",
                   "usage 'X'"},
        BrokenFile{"baseUidFirstLineEmpty", "base.uid", "# root\n\n1.2.3\n", "is empty"},
        BrokenFile{"baseUidTooLong", "base.uid", "1.2.840.99999.123456789.123456789\n",
                   "longer than 28"}),
    [](const ::testing::TestParamInfo<BrokenFile>& info) { return std::string(info.param.label); });

}  // namespace
