// Conversion of whole studies to DICOM files: small studies written by the test in 8 and 16 bits
// and both byte orders, and the sample studies of the shared folder (skipped when absent), each
// written in the three uncompressed transfer syntaxes, read back, and checked against the pixel
// formula; pydicom, dcmdump and dciodvfy check the files where they are installed.
#include <sys/wait.h>

#include <array>
#include <map>
#include <regex>

#include "convert_fixture.h"

namespace convert_test {
namespace {

const fs::path kSamples = fs::path(VELMAR_SHARED_DIR) / "interfile" / "samples";
const char *const kSyntaxUIDs[3] = {"1.2.840.10008.1.2", "1.2.840.10008.1.2.1", "1.2.840.10008.1.2.2"};

// What a study's data file holds: frames of v(f, r, c) = (K f + C r + c) mod 2^(8 B).
struct PixelFormula {
    int frames = 0;
    int rows = 0;
    int columns = 0;
    int bytes = 1;
    uint32_t k = 0;

    uint32_t value(int frame, int row, int column) const {
        uint64_t v = static_cast<uint64_t>(k) * frame + static_cast<uint64_t>(columns) * row + column;
        return static_cast<uint32_t>(v % (uint64_t{1} << (8 * bytes)));
    }
    // The frames as stored in a file of the given byte order.
    std::string bytesOf(bool bigEndian, int frameCount) const {
        std::string out;
        for (int f = 1; f <= frameCount; ++f)
            for (int r = 0; r < rows; ++r)
                for (int c = 0; c < columns; ++c) {
                    uint32_t v = value(f, r, c);
                    for (int b = 0; b < bytes; ++b) {
                        int shift = bigEndian ? 8 * (bytes - 1 - b) : 8 * b;
                        out.push_back(static_cast<char>((v >> shift) & 0xFF));
                    }
                }
        return out;
    }
};

struct RunResult {
    int status = -1;
    std::string output;
};

// Runs a shell command and collects its standard output and error.
RunResult run(const std::string &command) {
    RunResult result;
    FILE *pipe = popen((command + " 2>&1").c_str(), "r");
    if (pipe == nullptr) return result;
    std::array<char, 4096> buffer{};
    size_t n;
    while ((n = std::fread(buffer.data(), 1, buffer.size(), pipe)) > 0) result.output.append(buffer.data(), n);
    int status = pclose(pipe);
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

bool haveProgram(const std::string &name) { return run("command -v " + name).status == 0; }
bool havePydicom() { return run("/usr/bin/python3 -c 'import pydicom'").status == 0; }

// dciodvfy's errors that follow from the library's choices:
// - Patient Position is always written, empty, beside the (empty) Patient Orientation Code
//   Sequence;
// - Pixel Aspect Ratio is written for a matrix that is not square, beside Pixel Spacing;
// - every phase item carries Number of Triggers in Phase (0);
// - the items of a rotation carry Start Angle, Angular Step, Scan Arc and Actual Frame Duration
//   empty when the header does not give them (reconstructed data has no start angle).
const char *const kExplained[] = {
    "Shall not be present when PatientOrientationCodeSequence is present - attribute <PatientPosition>",
    "Shall not be present when PixelSpacing is present - attribute <PixelAspectRatio>",
    "Element=<NumberOfTriggersInPhase> Module=<NMPhase>",
    "Empty attribute (no value) Type 1 Required Element=<StartAngle> Module=<NMTomoAcquisition>",
    "Empty attribute (no value) Type 1 Required Element=<AngularStep> Module=<NMTomoAcquisition>",
    "Empty attribute (no value) Type 1 Required Element=<ScanArc> Module=<NMTomoAcquisition>",
    "Empty attribute (no value) Type 1 Required Element=<ActualFrameDuration> Module=<NMTomoAcquisition>",
};

// dciodvfy's findings ("Error - ..." lines) that the explained list does not cover.
std::vector<std::string> unexplainedErrors(const std::string &output) {
    std::vector<std::string> errors;
    std::istringstream lines(output);
    std::string line;
    while (std::getline(lines, line)) {
        if (line.rfind("Error", 0) != 0) continue;
        bool explained = false;
        for (const char *text : kExplained)
            if (line.find(text) != std::string::npos) explained = true;
        if (!explained) errors.push_back(line);
    }
    return errors;
}

class Samples : public ConvertTest {
protected:
    void SetUp() override {
        ConvertTest::SetUp();
        ASSERT_EQ(native_LibraryInit(&app_), 0);
        ASSERT_EQ(interfile_LibraryInit(&app_), 0);
    }

    // Writes the converted object in one of the three syntaxes.
    std::string writeAs(int syntax, const std::string &name) {
        IOObject io;
        init_IOObject(&io);
        io.object = obj_;
        io.dataSyntax = syntax;
        std::strcpy(io.transferSyntaxUID, kSyntaxUIDs[syntax]);
        std::string path = (dir_ / name).string();
        EXPECT_EQ(DO_copyObjectToFile(&app_, &io, path.c_str()), 0) << name;
        return path;
    }

    // Reads a written file back and compares its frames with the formula, in the byte order
    // of the file's syntax.
    void expectPixels(const std::string &path, int syntax, const PixelFormula &formula, int frames) {
        IOObject io;
        init_IOObject(&io);
        io.metaSyntax = -1;
        io.dataSyntax = -1;
        ASSERT_EQ(DO_importObjectFromFile(&app_, path.c_str(), &io), 0) << path;
        PixelDataDescriptor *d = get_ppds(&app_, io.object);
        ASSERT_NE(d, nullptr) << path;
        EXPECT_EQ(d->numberOfFrames, frames);
        EXPECT_EQ(d->syntaxCode, syntax);
        std::string expected = formula.bytesOf(syntax == TS_EXPLICIT_BIG, frames);
        std::string file = readFile(path);
        std::string found;
        for (uint16_t i = 0; i < d->entryCount; ++i)
            found += file.substr(d->frames[i].offset, d->frames[i].length);
        EXPECT_EQ(found.size(), expected.size()) << path;
        EXPECT_TRUE(found == expected) << path << ": pixel values differ from the formula";
        std::free(d);
        DO_closeObject(&io.object);
    }

    void expectToolsAccept(const std::string &path, bool verify) {
        if (haveProgram("dcmdump")) {
            RunResult dump = run("dcmdump -q '" + path + "'");
            EXPECT_EQ(dump.status, 0) << path << "\n" << dump.output;
        }
        if (verify && haveProgram("dciodvfy")) {
            RunResult check = run("dciodvfy '" + path + "'");
            std::vector<std::string> errors = unexplainedErrors(check.output);
            EXPECT_TRUE(errors.empty()) << path << "\n" << check.output;
        }
    }
};

// A study written by the test: every combination of 8 and 16 bits and of both byte orders,
// written in every syntax, reads back with the formula's pixels.
TEST_F(Samples, OwnStudiesConvertToEverySyntax) {
    for (int bytes : {1, 2}) {
        for (bool bigEndian : {false, true}) {
            PixelFormula formula{3, 5, 6, bytes, bytes == 1 ? 40u : 30000u};
            std::string data = std::string(100, '\xFF') + formula.bytesOf(bigEndian, formula.frames);
            write("study.img", data);
            std::string text = headerStart();
            text.replace(text.find("!data offset in bytes := 0"), 26, "!data offset in bytes := 100");
            text += "!GENERAL IMAGE DATA :=\n!type of data := Static\n!total number of images := 3\n"
                    "study date := 2001:02:03\nstudy time := 04:05:06\n";
            text += bigEndian ? "imagedata byte order := BIGENDIAN\n" : "imagedata byte order := LITTLEENDIAN\n";
            text += "number of energy windows := 1\n!STATIC STUDY (General) :=\nnumber of images/energy window := 3\n";
            for (int i = 1; i <= 3; ++i)
                text += "!Static Study (each frame) :=\n!image number := 1\n!matrix size [1] := 6\n"
                        "!matrix size [2] := 5\n!number format := unsigned integer\n!number of bytes per pixel := " +
                        std::to_string(bytes) + "\nscaling factor (mm/pixel) [1] := 2\nscaling factor (mm/pixel) [2] := 2\n"
                        "image duration (sec) := 10\ntotal counts := 100\n";
            ASSERT_EQ(convert(text + "!END OF INTERFILE :=\n"), 0);
            for (int syntax = 0; syntax < 3; ++syntax) {
                std::string name = "own_" + std::to_string(bytes) + (bigEndian ? "b" : "l") + std::to_string(syntax) + ".dcm";
                std::string path = writeAs(syntax, name);
                expectPixels(path, syntax, formula, 3);
                expectToolsAccept(path, syntax == TS_EXPLICIT_LITTLE);
            }
        }
    }
}

// Rows of the README's table of data files: the pixel formula of each sample study.
std::map<std::string, PixelFormula> sampleFormulas(const std::string &readme) {
    std::map<std::string, PixelFormula> formulas;
    std::regex row(R"(^\| (\S+) \| \S+ \| Interfile\.\w+\.Endian \| (\d+) \| \w+ \| (\d+) x (\d+) \| \d+ \| (\d+) \| (\d+) \|)");
    std::istringstream lines(readme);
    std::string line;
    std::smatch m;
    while (std::getline(lines, line)) {
        if (!std::regex_search(line, m, row)) continue;
        PixelFormula f;
        f.bytes = std::stoi(m[2]) / 8;
        f.rows = std::stoi(m[3]);
        f.columns = std::stoi(m[4]);
        f.frames = std::stoi(m[5]);
        f.k = static_cast<uint32_t>(std::stoul(m[6]));
        std::string header = m[1];
        size_t edited = header.find("[_edited]");
        if (edited != std::string::npos) header.replace(edited, 9, "_edited");
        formulas[header] = f;
    }
    return formulas;
}

class SampleStudies : public Samples, public ::testing::WithParamInterface<const char *> {};

TEST_P(SampleStudies, ConvertAndMatchTheReadme) {
    fs::path header = kSamples / GetParam();
    fs::path readme = kSamples / "README.md";
    if (!fs::exists(header) || !fs::exists(readme)) GTEST_SKIP() << "sample studies not found in " << kSamples;
    std::map<std::string, PixelFormula> formulas = sampleFormulas(readFile(readme));
    ASSERT_TRUE(formulas.count(GetParam())) << GetParam() << " not in the README's tables";
    const PixelFormula &formula = formulas[GetParam()];

    ASSERT_EQ(readinterfileheader(&iapp_, &hdr_, header.c_str()), 0);
    bool complete = checkinterfileheader(hdr_) == 0;
    ASSERT_EQ(IF2DCM_compile(&app_, obj_, hdr_), 0) << GetParam();
    ASSERT_TRUE(value(0x7FE0, 0x0010).has_value()) << log();

    bool pydicom = havePydicom();
    for (int syntax = 0; syntax < 3; ++syntax) {
        std::string path = writeAs(syntax, "sample" + std::to_string(syntax) + ".dcm");
        expectPixels(path, syntax, formula, formula.frames);
        expectToolsAccept(path, syntax == TS_EXPLICIT_LITTLE && complete);
        if (pydicom) {
            RunResult check = run("/usr/bin/python3 '" VELMAR_SOURCE_DIR "/tests/convert/check_sample.py' '" +
                                  readme.string() + "' '" + GetParam() + "' '" + path + "'");
            EXPECT_EQ(check.status, 0) << check.output;
        }
    }
    if (!pydicom) std::cout << "pydicom is not installed: the README's attributes were not compared\n";
}

INSTANTIATE_TEST_SUITE_P(Readme, SampleStudies,
                         ::testing::Values("static_2ew.hdr", "dynamic_2fg.hdr", "gated_1tw.hdr", "tomo_acq.hdr",
                                           "recon.hdr", "other.hdr", "gspect_acq.hdr", "xmedcon/xmc_static_edited.h33",
                                           "xmedcon/xmc_dynamic_edited.h33", "xmedcon/xmc_gated_edited.h33",
                                           "xmedcon/xmc_tomo_edited.h33", "xmedcon/xmc_recon_edited.h33"),
                         [](const ::testing::TestParamInfo<const char *> &info) {
                             std::string name = fs::path(info.param).stem().string();
                             for (char &c : name)
                                 if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
                             return name;
                         });

}  // namespace
}  // namespace convert_test
