// Interoperability: the shared Interfile sample headers (hand-written and XMedCon's) read with
// the shipped interfil.def, pass the check, and give back every value key by key.
#include <algorithm>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "interfile_fixture.h"

namespace velmar::test {
namespace {

namespace fs = std::filesystem;

fs::path samplesDir() { return fs::path(VELMAR_SHARED_DIR) / "interfile" / "samples"; }

std::vector<fs::path> headers(const fs::path &dir, const std::string &extension) {
    std::vector<fs::path> out;
    if (!fs::is_directory(dir)) return out;
    for (const auto &entry : fs::directory_iterator(dir))
        if (entry.is_regular_file() && entry.path().extension() == extension) out.push_back(entry.path());
    std::sort(out.begin(), out.end());
    return out;
}

std::string trim(const std::string &text) {
    size_t begin = text.find_first_not_of(" \t");
    if (begin == std::string::npos) return "";
    return text.substr(begin, text.find_last_not_of(" \t") - begin + 1);
}

// One "key := value" line of a header, split the way the 3.3 text describes it.
struct Line {
    std::string key;   // dimension keys keep their number: "matrix size[1]"
    int index = -1;    // a bracketed number of any other key
    std::string value;
};

std::vector<Line> keyLines(const std::string &text) {
    std::vector<Line> lines;
    std::string line;
    auto flush = [&]() {
        std::string body = line.substr(0, line.find(';'));
        line.clear();
        size_t assign = body.find(":=");
        if (assign == std::string::npos) return;
        Line out;
        out.key = trim(body.substr(0, assign));
        out.value = trim(body.substr(assign + 2));
        size_t open = out.key.rfind('[');
        if (!out.key.empty() && out.key.back() == ']' && open != std::string::npos) {
            std::string number = trim(out.key.substr(open + 1, out.key.size() - open - 2));
            if (!number.empty() && number.find_first_not_of("0123456789") == std::string::npos) {
                std::string base = trim(out.key.substr(0, open));
                char norm[256];
                normalizeinterkey(base.c_str(), norm);
                if (std::string(norm) == "MATRIXSIZE" || std::string(norm) == "SCALINGFACTOR(MM/PIXEL)") {
                    out.key = base + "[" + number + "]";
                } else {
                    out.key = base;
                    out.index = std::stoi(number);
                }
            }
        }
        lines.push_back(out);
    };
    for (char c : text) {
        if (c == '\n' || c == '\r') flush();
        else line.push_back(c);
    }
    flush();
    return lines;
}

class SampleTest : public InterfileTest {
protected:
    void SetUp() override {
        if (!fs::is_directory(samplesDir()))
            GTEST_SKIP() << "shared Interfile samples not found at " << samplesDir();
        InterfileTest::SetUp();
        ASSERT_EQ(loadDefinition(""), 0);
        messages();
    }

    // Reads a sample and compares each key line of the file with the value stored for it:
    // indexed keys at their index, other keys at the n-th occurrence for their n-th line.
    void readBack(const fs::path &path) {
        std::ifstream in(path, std::ios::binary);
        std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        std::map<int16_t, int16_t> seen;
        for (const Line &line : keyLines(text)) {
            int16_t k = key(line.key.c_str());
            if (k == 0) continue;  // the writer's own keys
            int16_t n = line.index >= 0 ? static_cast<int16_t>(line.index) : ++seen[k];
            std::string stored = value(line.key.c_str(), n);
            if (getintervaluetype(header_, k) == VELMAR_IF_NULL) {
                // Group labels repeat inside one block; each line marks the same node present.
                EXPECT_EQ(value(line.key.c_str(), 1), "") << path << ": " << line.key;
            } else if (line.value.empty()) {
                EXPECT_EQ(stored, "<none>") << path << ": " << line.key << " #" << n;
            } else {
                EXPECT_EQ(stored, line.value) << path << ": " << line.key << " #" << n;
            }
        }
    }
};

TEST_F(SampleTest, HandWrittenHeadersReadCleanlyAndPassTheCheck) {
    auto files = headers(samplesDir(), ".hdr");
    ASSERT_FALSE(files.empty());
    for (const fs::path &path : files) {
        SCOPED_TRACE(path.string());
        ASSERT_EQ(readinterfileheader(&app_, &header_, path.c_str()), 0);
        EXPECT_EQ(problems(), std::vector<std::string>{});
        EXPECT_EQ(checkinterfileheader(header_), 0);
        EXPECT_EQ(problems(), std::vector<std::string>{});
        readBack(path);
        doneinterfile(&header_);
    }
}

TEST_F(SampleTest, XMedConHeadersGiveOnlyUnknownKeyMessages) {
    auto files = headers(samplesDir() / "xmedcon", ".h33");
    if (files.empty()) GTEST_SKIP() << "no XMedCon samples";
    for (const fs::path &path : files) {
        SCOPED_TRACE(path.string());
        ASSERT_EQ(readinterfileheader(&app_, &header_, path.c_str()), 0);
        for (const std::string &line : problems())
            EXPECT_EQ(line.rfind("Warning: Unknown key", 0), 0u) << line;
        // The check fails exactly when it reports a missing obligatory key (XMedCon leaves
        // "!extent of rotation" of reconstructed studies empty).
        int16_t result = checkinterfileheader(header_);
        bool missing = false;
        for (const std::string &line : problems())
            missing = missing || line.rfind("Warning: Missing obligatory key: ", 0) == 0;
        EXPECT_EQ(result, missing ? -1 : 0);
        readBack(path);
        doneinterfile(&header_);
    }
}

TEST_F(SampleTest, CountsPerEnergyWindowAndFramesLineUp) {
    fs::path path = samplesDir() / "static_2ew.hdr";
    if (!fs::exists(path)) GTEST_SKIP() << "static_2ew.hdr not found";
    ASSERT_EQ(readinterfileheader(&app_, &header_, path.c_str()), 0);
    EXPECT_EQ(value("number of images/energy window", 1), "3");
    EXPECT_EQ(value("number of images/energy window", 2), "2");
    for (int16_t frame = 1; frame <= 5; ++frame)
        EXPECT_EQ(value("total counts", frame), std::to_string(1000 * frame));
    EXPECT_EQ(value("energy window", 2), "Tl201");
    EXPECT_EQ(valueOrDefault("data starting block"), "<none>");
    EXPECT_EQ(value("data offset in bytes"), "256");
}

}  // namespace
}  // namespace velmar::test
