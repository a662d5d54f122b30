// The velmar program end to end on the headers, texts and pictures of real use: headers that open
// with comments or a byte-order mark, XMedCon's headers, syntax-error messages, counts and sizes
// at the edges of their range, times and long texts, UID roots, character sets in dump and the
// preview picture.
#include <gtest/gtest.h>
#include <png.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

const fs::path kVelmar = fs::path(VELMAR_BINARY_DIR) / "velmar";
const fs::path kShare = VELMAR_SHARE_DIR;
const fs::path kSamples = fs::path(VELMAR_SHARED_DIR) / "interfile" / "samples";

struct Outcome {
    int status;
    std::string out;
    std::string err;
};

std::string slurp(const fs::path &path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

bool installed(const char *program) {
    return std::system((std::string("command -v ") + program + " >/dev/null 2>&1").c_str()) == 0;
}

// A 4 x 3 tomographic study of two 8-bit projections; pixel (f, r, c) = 100 * f + 10 * r + c.
std::string studyHeader(const std::string &totalImages = "2") {
    return "!INTERFILE :=\n!imaging modality := nucmed\n!originating system := test\n!version of keys := "
           "3.3\n"
           "!GENERAL DATA :=\n"
           "!data offset in bytes := 0\n!name of data file := study.img\npatient name := Test^Person\n"
           "!patient ID := T-1\n!study ID := S-1\n!GENERAL IMAGE DATA :=\n!type of data := Tomographic\n"
           "!total number of images := " +
           totalImages +
           "\nstudy date := 2026:01:02\nstudy time := 10:20:30\nimagedata byte order := LITTLEENDIAN\n"
           "number of energy windows := 1\n!SPECT STUDY (general) :=\nnumber of detector heads := 1\n"
           "!number of images/energy window := 2\n!process status := Acquired\n!matrix size [1] := 4\n"
           "!matrix size [2] := 3\n!number format := unsigned integer\n!number of bytes per pixel := 1\n"
           "!number of projections := 2\n!extent of rotation := 180\n!time per projection (sec) := 10\n"
           "!maximum pixel count := 223\n!SPECT STUDY (acquired data) :=\n!direction of rotation := CW\n"
           "!END OF INTERFILE :=\n";
}

std::string studyData() {
    std::string bytes;
    for (int f = 1; f <= 2; ++f)
        for (int r = 0; r < 3; ++r)
            for (int c = 0; c < 4; ++c) bytes += static_cast<char>(100 * f + 10 * r + c);
    return bytes;
}

class StudyCli : public ::testing::Test {
   protected:
    void SetUp() override {
        char pattern[] = "/tmp/velmar-study-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
        write("study.img", studyData());
    }
    void TearDown() override { fs::remove_all(dir_); }

    void write(const std::string &name, const std::string &bytes) {
        std::ofstream(dir_ / name, std::ios::binary) << bytes;
    }
    // Runs a shell command in the test's directory.
    Outcome shell(const std::string &command) {
        int status =
            std::system(("cd '" + dir_.string() + "' && (" + command + ") >out.txt 2>err.txt").c_str());
        return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, slurp(dir_ / "out.txt"),
                slurp(dir_ / "err.txt")};
    }
    Outcome velmar(const std::string &arguments, const std::string &environment = "") {
        return shell(environment + " '" + kVelmar.string() + "' " + arguments);
    }
    // Converts `header` (written as study.hdr) to out.dcm.
    Outcome convert(const std::string &header, const std::string &options = "") {
        write("study.hdr", header);
        fs::remove(dir_ / "out.dcm");
        return velmar("interfile " + options + " study.hdr out.dcm");
    }
    std::string dumpLine(const std::string &tag, const std::string &file = "out.dcm") {
        std::istringstream lines(velmar("dump " + file).out);
        for (std::string line; std::getline(lines, line);)
            if (line.rfind(tag, 0) == 0) return line;
        return "";
    }

    fs::path dir_;
};

TEST_F(StudyCli, HeadersOpeningWithCommentsBlanksOrAByteOrderMarkAreRead) {
    for (const std::string prefix :
         {"; written by a site\n", "\n  \n", "\xEF\xBB\xBF", "\xEF\xBB\xBF; c\r\n\r\n"}) {
        Outcome run = convert(prefix + studyHeader());
        EXPECT_EQ(run.status, 0) << run.err;
        EXPECT_EQ(run.err, "");
    }
    // Without the "!" too, as the shared dynamic sample writes it.
    EXPECT_EQ(convert("INTERFILE := ; dynamic\n" + studyHeader().substr(14)).status, 0);
    Outcome notInterfile = convert("; no header\npatient name := X\n!INTERFILE :=\n");
    EXPECT_EQ(notInterfile.status, 2);
    EXPECT_EQ(notInterfile.err,
              "velmar: cannot read study.hdr as an Interfile header: its first key is not !INTERFILE\n");
}

TEST_F(StudyCli, SyntaxErrorsGiveOneMessageOnItsOwnLineAndStrayTextOnePerLine) {
    std::string header = studyHeader();
    header.insert(header.find("patient name"), "x. ");
    header.insert(header.find("!patient ID"), "patient weight 70\n");
    write("study.hdr", header);
    Outcome run = velmar("interfile --check study.hdr");
    EXPECT_EQ(run.status, 2);
    EXPECT_EQ(run.out,
              "Error: stray text in study.hdr at line 8 pos 1 (skipped): \"x.\"\n"
              "Error: parse error in study.hdr at line 9 pos 1: key line without ':=': patient weight 70\n");
    EXPECT_EQ(run.err, "velmar: cannot read study.hdr as an Interfile header\n");
    // Stray text only: the header reads and the check goes on.
    header = studyHeader();
    header.insert(header.find("patient name"), "#'");
    write("study.hdr", header);
    run = velmar("interfile --check study.hdr");
    EXPECT_EQ(run.out,
              "Error: stray text in study.hdr at line 8 pos 1 (skipped): \"#'\"\n"
              "study.hdr: passes the Interfile 3.3 check\n");
}

struct Refused {
    const char *key;
    const char *value;
};

TEST_F(StudyCli, SizesAndCountsOutsideTheirRangeAreRefusedNamingTheKey) {
    const Refused cases[] = {{"!total number of images", "0"},
                             {"!total number of images", "32768"},
                             {"!total number of images", "2147483648"},
                             {"!total number of images", "-3"},
                             {"!matrix size [1]", "0"},
                             {"!matrix size [1]", "65536"},
                             {"!matrix size [2]", "4294967297"},
                             {"!number of bytes per pixel", "0"},
                             {"!number of bytes per pixel", "3"},
                             {"!number format", "short float"},
                             {"!number format", "long float"},
                             {"!number of projections", "32768"},
                             {"number of detector heads", "2147483648"}};
    for (const Refused &bad : cases) {
        std::string header = studyHeader();
        size_t at = header.find(std::string(bad.key) + " := ");
        size_t end = header.find('\n', at);
        header.replace(at, end - at, std::string(bad.key) + " := " + bad.value);
        Outcome run = convert(header);
        EXPECT_EQ(run.status, 1) << bad.key << " " << bad.value;
        EXPECT_NE(
            run.err.find(std::string("Error: Not converted: \"") + (bad.key + (bad.key[0] == '!')) + "\""),
            std::string::npos)
            << run.err;
        EXPECT_FALSE(fs::exists(dir_ / "out.dcm"));
    }
}

TEST_F(StudyCli, CountsThatMissTheTotalAreRefusedUnlessForced) {
    std::string header = studyHeader("3");
    Outcome run = convert(header);
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(
        run.err.find("Error: The image counts of the header describe 2 frames, but total number of images "
                     "is 3. Not converted (--force converts it anyway)."),
        std::string::npos)
        << run.err;
    EXPECT_FALSE(fs::exists(dir_ / "out.dcm"));
    // Forced, with a data file long enough: the third frame repeats the second's entries.
    write("study.img", studyData() + studyData().substr(0, 12));
    run = convert(header, "--force");
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_NE(run.err.find("Warning: The image counts of the header describe 2 frames"), std::string::npos);
    EXPECT_EQ(dumpLine("(0054,0090)"), "(0054,0090) US Angular View Vector  1\\2\\2");
    EXPECT_EQ(dumpLine("(0054,0020)"), "(0054,0020) US Detector Vector  1\\1\\1");
}

TEST_F(StudyCli, TimesAreNormalisedAndLongTextsCutWithAWarning) {
    std::string header = studyHeader();
    header.replace(header.find("10:20:30"), 8, "9:05:03.25");
    header.replace(header.find("Test^Person"), 11, std::string(255, 'N'));
    Outcome run = convert(header);
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(dumpLine("(0008,0030)"), "(0008,0030) TM Study Time  090503.25 ");
    EXPECT_EQ(dumpLine("(0010,0010)"), "(0010,0010) PN Patient's Name  " + std::string(64, 'N'));
    EXPECT_NE(run.err.find("Warning: Patient's Name (0010,0010) cut to the 64 characters of its VR"),
              std::string::npos);
}

TEST_F(StudyCli, UidRootsAreCheckedAndUidsNeverCut) {
    fs::create_directory(dir_ / "defs");
    for (const auto &entry : fs::directory_iterator(kShare))
        fs::copy(entry.path(), dir_ / "defs" / entry.path().filename());
    const std::string env = "VELMAR_DEF_PATH=defs";
    for (const char *root : {"1.2.03", "1.2.x", "1..2", "1.2.3456789012345678901234567890"}) {
        write("defs/base.uid", std::string(root) + "\n");
        write("study.hdr", studyHeader());
        Outcome run = velmar("interfile study.hdr out.dcm", env);
        EXPECT_EQ(run.status, 1) << root;
        EXPECT_NE(run.err.find(std::string("Error: Not converted: the root \"") + root +
                               "\" of base.uid is unusable"),
                  std::string::npos)
            << run.err;
        EXPECT_FALSE(fs::exists(dir_ / "out.dcm"));
    }
    // A 24-character root leaves room for the largest numbers a conversion writes: every
    // component comes out whole.
    write("defs/base.uid", "1.2.826.0.1.3680043.9.77\n");
    std::string header = studyHeader();
    write("study.hdr", header);
    Outcome run = velmar("interfile study.hdr out.dcm", env);
    ASSERT_EQ(run.status, 0) << run.err;
    std::string uid = dumpLine("(0008,0018)");
    std::smatch parts;
    ASSERT_TRUE(std::regex_search(
        uid, parts, std::regex(R"(  (1\.2\.826\.0\.1\.3680043\.9\.77\.\d{14}\.1\d+\.1\.1\.1)$)")))
        << uid;
    EXPECT_LE(parts[1].length(), 64);
}

// A Secondary Capture file with one Patient's Name in `charset` (and an IS that is no number).
std::string nameFile(const std::string &charset, const std::string &name, bool badNumber = true) {
    auto u16 = [](unsigned v) { return std::string{static_cast<char>(v & 0xFF), static_cast<char>(v >> 8)}; };
    auto element = [&](unsigned group, unsigned elem, const char *vr, std::string value) {
        if (value.size() % 2 != 0) value += vr[0] == 'U' ? '\0' : ' ';
        return u16(group) + u16(elem) + vr + u16(static_cast<unsigned>(value.size())) + value;
    };
    std::string meta = element(2, 0x10, "UI", "1.2.840.10008.1.2.1");
    std::string group = u16(2) + u16(0) + "UL" + u16(4) + u16(static_cast<unsigned>(meta.size())) + u16(0);
    return std::string(128, '\0') + "DICM" + group + meta + element(8, 5, "CS", charset) +
           element(8, 0x16, "UI", "1.2.840.10008.5.1.4.1.1.7") + element(0x10, 0x10, "PN", name) +
           (badNumber ? element(0x20, 0x13, "IS", "7x") : "");
}

struct NameCase {
    const char *charset;
    const char *bytes;
    const char *json;  // the Patient's Name as JSON shows it
    const char *text;  // and as the text dump does
};

TEST_F(StudyCli, DumpDecodesEveryCharacterSetToUTF8) {
    const NameCase cases[] = {
        {"ISO_IR 144", "\xbb\xee\xda\xd8\xdd^\xb8\xd2\xd0\xdd", R"({"Alphabetic": "Люкин^Иван"})",
         "Люкин^Иван"},
        {"ISO_IR 126", "\xc4\xe9\xef\xed\xf5\xf3\xe9\xef\xf2", R"({"Alphabetic": "Διονυσιος"})", "Διονυσιος"},
        {"ISO_IR 101", "Dvo\xf8\xe1k^Anton\xedn", R"({"Alphabetic": "Dvořák^Antonín"})", "Dvořák^Antonín"},
        {"\\ISO 2022 IR 87", "Yamada^Tarou=\x1b$B;3ED\x1b(B^\x1b$BB@O:\x1b(B",
         R"({"Alphabetic": "Yamada^Tarou", "Ideographic": "山田^太郎"})", "Yamada^Tarou=山田^太郎"},
        {"\\ISO 2022 IR 149", "Hong^Gildong=\x1b$)C\xfb\xf3^\x1b$)C\xd1\xce\xd4\xd7",
         R"({"Alphabetic": "Hong^Gildong", "Ideographic": "洪^吉洞"})", "Hong^Gildong=洪^吉洞"},
        {"GB18030", "Wang^XiaoDong=\xcd\xf5^\xd0\xa1\xb6\xab",
         R"({"Alphabetic": "Wang^XiaoDong", "Ideographic": "王^小东"})", "Wang^XiaoDong=王^小东"},
        // Trailing component delimiters carry nothing; an empty group is left out.
        {"ISO_IR 100", "Unknown^^^^=^^=Ph^", R"({"Alphabetic": "Unknown", "Phonetic": "Ph"})",
         "Unknown^^^^=^^=Ph^"},
    };
    for (const NameCase &test : cases) {
        write("name.dcm", nameFile(test.charset, test.bytes));
        Outcome run = velmar("dump --json name.dcm");
        ASSERT_EQ(run.status, 0) << run.err;
        EXPECT_NE(run.out.find(std::string(R"("00100010": {"vr": "PN", "Value": [)") + test.json + "]}"),
                  std::string::npos)
            << test.charset << "\n"
            << run.out;
        // An IS that is no number stays a string, so the JSON stays valid.
        EXPECT_NE(run.out.find(R"("00200013": {"vr": "IS", "Value": ["7x"]})"), std::string::npos);
        EXPECT_EQ(run.err,
                  "velmar: dump: (0020,0013) \"7x\" is no number; IS and DS values that are none are "
                  "written as strings\n");
        EXPECT_NE(velmar("dump name.dcm").out.find(std::string("PN Patient's Name  ") + test.text),
                  std::string::npos);
        if (!installed("dcm2json")) continue;
        // The peer reads the name the same (its JSON spacing set aside).
        write("peer.dcm", nameFile(test.charset, test.bytes, false));
        std::string theirs = shell("dcm2json peer.dcm | tr -d ' \\n'").out;
        if (theirs.empty()) continue;  // DCMTK on glibc iconv cannot decode ISO 2022 IR 87
        std::string ours = test.json;
        ours.erase(std::remove(ours.begin(), ours.end(), ' '), ours.end());
        EXPECT_NE(theirs.find(ours), std::string::npos) << test.charset << "\n" << theirs;
    }
    write("name.dcm", nameFile("ISO_IR 192",
                               "ab\xff\xfe"
                               "cd"));
    Outcome bad = velmar("dump --json name.dcm");
    EXPECT_NE(bad.out.find("ab\xEF\xBF\xBD\xEF\xBF\xBD"
                           "cd"),
              std::string::npos);
    EXPECT_NE(bad.err.find(
                  "velmar: dump: text bytes that Specific Character Set \"ISO_IR 192\" does not decode are "
                  "shown as U+FFFD\n"),
              std::string::npos);
}

// Reads an 8-bit greyscale PNG: width, height and rows.
bool readPng(const fs::path &path, int &width, int &height, std::vector<std::vector<uint8_t>> &rows) {
    FILE *file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) return false;
    png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    bool ok = setjmp(png_jmpbuf(png)) == 0;
    if (ok) {
        png_init_io(png, file);
        png_read_info(png, info);
        width = static_cast<int>(png_get_image_width(png, info));
        height = static_cast<int>(png_get_image_height(png, info));
        ok = png_get_color_type(png, info) == PNG_COLOR_TYPE_GRAY && png_get_bit_depth(png, info) == 8;
        rows.assign(static_cast<size_t>(height), std::vector<uint8_t>(static_cast<size_t>(width)));
        for (auto &row : rows) png_read_row(png, row.data(), nullptr);
    }
    png_destroy_read_struct(&png, &info, nullptr);
    std::fclose(file);
    return ok;
}

TEST_F(StudyCli, PreviewDrawsTheFramesOfAStudyOrAFileAsAGrid) {
    write("study.hdr", studyHeader());
    // Centre 128, width 256: the identity for 8-bit values.
    Outcome run = velmar("preview --window 128,256 --columns 1 study.hdr grid.png");
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, "grid.png: 2 frames of 4 x 3 in 1 column, window 128,256 (given)\n");
    int width = 0, height = 0;
    std::vector<std::vector<uint8_t>> rows;
    ASSERT_TRUE(readPng(dir_ / "grid.png", width, height, rows));
    // Cells of 4 columns (the label "2" is 3 pixels wide) under a 7-pixel label strip, 2 apart.
    EXPECT_EQ(width, 2 + 4 + 2);
    EXPECT_EQ(height, 2 + 2 * (7 + 3 + 2));
    int top = 2 + (7 + 3 + 2) + 7;  // frame 2
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 4; ++c) EXPECT_EQ(rows[top + r][2 + c], 200 + 10 * r + c) << r << "," << c;
    // The same frames from the converted DICOM file, chosen by --frames, windowed by the data.
    ASSERT_EQ(velmar("interfile study.hdr out.dcm").status, 0);
    run = velmar("preview --frames 2 out.dcm one.png");
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, "one.png: 1 frame of 4 x 3 in 1 column, window 212,24 (the data's range)\n");
    ASSERT_TRUE(readPng(dir_ / "one.png", width, height, rows));
    EXPECT_EQ(rows[2 + 7][2], 0);            // the lowest value of frame 2
    EXPECT_EQ(rows[2 + 7 + 2][2 + 3], 255);  // its highest
    EXPECT_EQ(velmar("preview --frames 3 out.dcm x.png").status, 2);
    EXPECT_EQ(velmar("preview --window 5 out.dcm x.png").status, 2);
}

TEST_F(StudyCli, XMedConHeadersConvert) {
    if (!installed("medcon")) GTEST_SKIP() << "medcon (XMedCon) is not installed";
    write("study.hdr", studyHeader());
    ASSERT_EQ(velmar("interfile study.hdr out.dcm").status, 0);
    Outcome peer = shell("medcon -f out.dcm -c intf -o xmc >/dev/null 2>&1; ls xmc*.h33");
    ASSERT_NE(peer.out.find("xmc.h33"), std::string::npos) << peer.err;
    Outcome run = velmar("interfile xmc.h33 back.dcm");
    EXPECT_EQ(run.status, 0) << run.err;
    if (!fs::exists(kSamples)) GTEST_SKIP() << "the shared Interfile samples are not available";
    // Every study type of the shared samples, written by velmar, rewritten by XMedCon, read back.
    for (const char *study :
         {"static_2ew", "dynamic_2fg", "gated_1tw", "tomo_acq", "recon", "other", "gspect_acq"}) {
        fs::copy(kSamples / (std::string(study) + ".hdr"), dir_ / "s.hdr",
                 fs::copy_options::overwrite_existing);
        fs::copy(kSamples / (std::string(study) + ".img"), dir_ / (std::string(study) + ".img"),
                 fs::copy_options::overwrite_existing);
        ASSERT_EQ(velmar("interfile --force s.hdr s.dcm").status, 0) << study;
        fs::remove(dir_ / "x.h33");
        fs::remove(dir_ / "x.i33");  // XMedCon writes no file over an existing one
        shell("medcon -f s.dcm -c intf -o x >/dev/null 2>&1");
        Outcome back = velmar("interfile x.h33 x.dcm");
        EXPECT_EQ(back.status, 0) << study << "\n" << back.err;
        if (std::string(study) != "gspect_acq") continue;
        // XMedCon takes a gated SPECT study's projections from Number of Frames in Rotation: the
        // frames come back in the same slots and views.
        for (const char *tag : {"(0028,0008)", "(0054,0070)", "(0054,0090)"})
            EXPECT_EQ(dumpLine(tag, "x.dcm"), dumpLine(tag, "s.dcm")) << tag;
    }
    // XMedCon's reconstructed studies leave extent of rotation empty.
    fs::copy(kSamples / "xmedcon" / "xmc_recon.h33", dir_ / "recon.h33");
    fs::copy(kSamples / "xmedcon" / "xmc_recon.i33", dir_ / "xmc_recon.i33");
    Outcome recon = velmar("interfile recon.h33 recon.dcm");
    EXPECT_EQ(recon.status, 0) << recon.err;
}

}  // namespace
