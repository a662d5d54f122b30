// Every shared sample keeps each element's VR and value: velmar's JSON dump agrees with dcm2json,
// and the file converted to each uncompressed syntax (and from there back to explicit VR) reads
// in pydicom like its source and in dcmdump without a warning the source does not give.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

const fs::path kSamples = fs::path(VELMAR_SHARED_DIR) / "dicom-samples";
const std::string kProgram = (fs::path(VELMAR_BINARY_DIR) / "velmar").string();
const std::string kScript = (fs::path(VELMAR_SOURCE_DIR) / "tests" / "tools" / "fidelity.py").string();

struct Outcome {
    int status = -1;
    std::string out;
};

Outcome run(const fs::path &dir, const std::string &command) {
    fs::path out = dir / ".out";
    int status =
        std::system(("cd '" + dir.string() + "' && (" + command + ") >'" + out.string() + "' 2>&1").c_str());
    std::ifstream in(out);
    std::stringstream text;
    text << in.rdbuf();
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, text.str()};
}

bool have(const std::string &program) {
    return std::system(("command -v " + program + " >/dev/null 2>&1").c_str()) == 0;
}

// The warnings dcmdump gives on a file, one per line.
std::set<std::string> warnings(const fs::path &dir, const std::string &file) {
    Outcome dump = run(dir, "dcmdump '" + file + "' 2>&1 >/dev/null | grep -E '^(W|E):'");
    std::set<std::string> lines;
    std::istringstream in(dump.out);
    for (std::string line; std::getline(in, line);) lines.insert(line);
    return lines;
}

std::vector<fs::path> samples(std::initializer_list<const char *> folders = {"generated", "real"}) {
    std::vector<fs::path> files;
    for (const char *folder : folders) {
        std::error_code error;
        for (const auto &entry : fs::directory_iterator(kSamples / folder, error))
            if (entry.path().extension() == ".dcm") files.push_back(entry.path());
    }
    std::sort(files.begin(), files.end());
    if (files.empty()) files.emplace_back();  // one case that skips
    return files;
}

class Fidelity : public ::testing::TestWithParam<fs::path> {
   protected:
    void SetUp() override {
        if (GetParam().empty()) GTEST_SKIP() << "no DICOM samples at " << kSamples;
        fs::create_directories(dir);
        if (!have("dcm2json") || !have("dcmdump"))
            GTEST_SKIP() << "DCMTK (dcm2json, dcmdump) is not installed";
        if (run(dir, "/usr/bin/python3 -c 'import numpy, pydicom'").status != 0)
            GTEST_SKIP() << "/usr/bin/python3 with pydicom and numpy is not installed";
    }
    void TearDown() override { fs::remove_all(dir); }

    std::string source() const { return GetParam().string(); }
    fs::path dir = fs::temp_directory_path() /
                   ("velmar_fidelity_" + std::to_string(::getpid()) + "_" + GetParam().filename().string());
};

// velmar's JSON dump of `source` against dcm2json's, then the source converted to each
// uncompressed syntax and back, against pydicom and dcmdump. Returns why the source was not
// checked, or nothing.
std::string checkFidelity(const fs::path &dir, const std::string &source) {
    if (run(dir, kProgram + " dump '" + source + "'").status != 0)
        return "velmar refuses to read this sample (its own tests say why)";
    if (run(dir, "dcm2json '" + source + "' > theirs.json").status == 0) {
        EXPECT_EQ(run(dir, kProgram + " dump --json '" + source + "' > mine.json").status, 0);
        Outcome compared = run(dir, "/usr/bin/python3 '" + kScript + "' json mine.json theirs.json");
        EXPECT_EQ(compared.status, 0) << compared.out;
    }
    std::set<std::string> known = warnings(dir, source);
    std::string outputs;
    for (const std::string syntax : {"implicit", "explicit", "big"}) {
        std::string out = "to_" + syntax + ".dcm", back = "back_from_" + syntax + ".dcm";
        Outcome made = run(dir, kProgram + " convert -s " + syntax + " '" + source + "' " + out);
        if (made.status != 0 && made.out.find("no decoder") != std::string::npos)
            return "no codec decodes this sample's pixel data";
        if (made.status != 0 && made.out.find("the conversion would lose bytes") != std::string::npos)
            return "the sample's geometry does not account for its Pixel Data, so it is not converted";
        EXPECT_EQ(made.status, 0) << made.out;
        EXPECT_EQ(run(dir, kProgram + " convert -s explicit " + out + " " + back).status, 0);
        if (made.status != 0) return {};
        // In implicit VR every private sequence has undefined length and no VR: DCMTK says it
        // reads it as one (CP-246), which is what it is.
        for (const std::string &file : {out, back})
            for (const std::string &line : warnings(dir, file))
                EXPECT_TRUE(known.count(line) != 0 || (syntax == "implicit" && file == out &&
                                                       line.find("(CP-246)") != std::string::npos))
                    << file << ": " << line;
        outputs += " " + out + " " + back;
    }
    Outcome compared = run(dir, "/usr/bin/python3 '" + kScript + "' same '" + source + "'" + outputs);
    EXPECT_EQ(compared.status, 0) << compared.out;
    return {};
}

TEST_P(Fidelity, DumpAgreesWithDcm2jsonAndConversionsKeepEveryElement) {
    std::string skipped = checkFidelity(dir, source());
    if (!skipped.empty()) GTEST_SKIP() << skipped;
}

// The same for what the peer toolkits write of each real sample: DCMTK in explicit big endian,
// GDCM in implicit VR, XMedCon as its own DICOM writer does.
class PeerFidelity : public Fidelity {};

TEST_P(PeerFidelity, PeerWrittenCopiesKeepEveryElement) {
    const struct {
        const char *program, *command;
    } peers[] = {{"dcmconv", "dcmconv +tb '%s' peer.dcm"},
                 {"gdcmconv", "gdcmconv -M '%s' peer.dcm"},
                 {"medcon", "medcon -f '%s' -c dicom -o peer"}};
    int checked = 0;
    for (const auto &peer : peers) {
        SCOPED_TRACE(peer.program);
        if (!have(peer.program)) continue;
        fs::remove(dir / "peer.dcm");
        std::string command = peer.command;
        command.replace(command.find("%s"), 2, source());
        std::error_code error;
        if (run(dir, command).status != 0 || fs::file_size(dir / "peer.dcm", error) == 0) continue;
        fs::copy_file(dir / "peer.dcm", dir / "written.dcm", fs::copy_options::overwrite_existing);
        if (checkFidelity(dir, (dir / "written.dcm").string()).empty()) ++checked;
    }
    if (checked == 0) GTEST_SKIP() << "no peer writes a copy of this sample that velmar converts";
}

std::string caseName(const ::testing::TestParamInfo<fs::path> &info) {
    std::string name = info.param.empty()
                           ? "NoSamples"
                           : info.param.parent_path().filename().string() + "_" + info.param.stem().string();
    for (char &c : name)
        if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
    return name;
}

INSTANTIATE_TEST_SUITE_P(Samples, Fidelity, ::testing::ValuesIn(samples()), caseName);
INSTANTIATE_TEST_SUITE_P(Samples, PeerFidelity, ::testing::ValuesIn(samples({"real"})), caseName);

}  // namespace
