// End-to-end tests of the velmar program: every subcommand's success and failure exits, the
// option parser (long options, command list files, "--"), dump --json against dcm2json, convert
// across all syntax pairs with identical pixels, the bundled Interfile study through interfile and
// verify, and other toolkits reading what the program writes.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

const fs::path kProgram = fs::path(VELMAR_BINARY_DIR) / "velmar";
const fs::path kSource = VELMAR_SOURCE_DIR;
const fs::path kSampleHeader = kSource / "samples" / "tomo_sample.hdr";
const fs::path kSampleData = kSource / "samples" / "tomo_sample.img";
const char *kPython = "/usr/bin/python3";

struct Result {
    int status = -1;
    std::string out;
    std::string err;

    std::vector<std::string> errLines() const {
        std::vector<std::string> lines;
        std::istringstream in(err);
        for (std::string line; std::getline(in, line);) lines.push_back(line);
        return lines;
    }
};

std::string readFile(const fs::path &path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

void writeFile(const fs::path &path, const std::string &bytes) {
    std::ofstream out(path, std::ios::binary);
    out << bytes;
}

// Runs a shell command in `dir`, with its standard output and error kept apart.
Result shell(const fs::path &dir, const std::string &command) {
    fs::path out = dir / ".stdout", err = dir / ".stderr";
    std::string full = "cd '" + dir.string() + "' && " + command + " >'" + out.string() + "' 2>'" + err.string() + "'";
    int status = std::system(full.c_str());
    Result run;
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    run.out = readFile(out);
    run.err = readFile(err);
    return run;
}

bool have(const std::string &program) {
    return std::system(("command -v " + program + " >/dev/null 2>&1").c_str()) == 0;
}

// ---- A DICOM file written byte by byte (explicit VR little endian) -------------------------------

std::string u16(uint16_t v) { return {static_cast<char>(v & 0xFF), static_cast<char>(v >> 8)}; }
std::string u32(uint32_t v) { return u16(static_cast<uint16_t>(v & 0xFFFF)) + u16(static_cast<uint16_t>(v >> 16)); }

std::string element(uint16_t group, uint16_t elem, const std::string &vr, std::string value) {
    if (value.size() % 2 != 0) value += (vr == "UI" || vr == "OB") ? '\0' : ' ';
    bool longForm = vr == "OB" || vr == "OW" || vr == "SQ" || vr == "UN";
    std::string head = u16(group) + u16(elem) + vr;
    head += longForm ? u16(0) + u32(static_cast<uint32_t>(value.size())) : u16(static_cast<uint16_t>(value.size()));
    return head + value;
}

std::string sequence(uint16_t group, uint16_t elem, const std::vector<std::string> &items) {
    std::string out = u16(group) + u16(elem) + "SQ" + u16(0) + u32(0xFFFFFFFF);
    for (const std::string &item : items)
        out += u16(0xFFFE) + u16(0xE000) + u32(0xFFFFFFFF) + item + u16(0xFFFE) + u16(0xE00D) + u32(0);
    return out + u16(0xFFFE) + u16(0xE0DD) + u32(0);
}

std::string fileWithMeta(const std::string &sopClass, const std::string &dataset) {
    std::string meta = element(0x0002, 0x0001, "OB", std::string("\0\1", 2)) +
                       element(0x0002, 0x0002, "UI", sopClass) + element(0x0002, 0x0003, "UI", "1.2.3.4.5") +
                       element(0x0002, 0x0010, "UI", "1.2.840.10008.1.2.1");
    meta = element(0x0002, 0x0000, "UL", u32(static_cast<uint32_t>(meta.size()))) + meta;
    return std::string(128, '\0') + "DICM" + meta + dataset;
}

// A Secondary Capture object with values of many VRs, nested and private sequences, a Latin-1
// name, multi-valued and padded texts, and a small Pixel Data; `studyDate` lets a test break it.
std::string richObject(const std::string &studyDate = "20240131", bool withSopClass = true) {
    const std::string sc = "1.2.840.10008.5.1.4.1.1.7";
    std::string ds;
    ds += element(0x0008, 0x0005, "CS", "ISO_IR 100");
    ds += element(0x0008, 0x0008, "CS", "DERIVED\\SECONDARY");
    if (withSopClass) ds += element(0x0008, 0x0016, "UI", sc);
    ds += element(0x0008, 0x0018, "UI", "1.2.3.4.5");
    ds += element(0x0008, 0x0020, "DA", studyDate);
    ds += element(0x0008, 0x0060, "CS", "OT");
    ds += element(0x0008, 0x0090, "PN", "");
    ds += sequence(0x0008, 0x1110, {});
    ds += sequence(0x0008, 0x1140, {element(0x0008, 0x1150, "UI", sc) + element(0x0008, 0x1155, "UI", "1.2.3.6"),
                                    element(0x0008, 0x1150, "UI", sc) + element(0x0008, 0x1155, "UI", "1.2.3.7")});
    ds += element(0x0010, 0x0010, "PN", "M\xfcller^J\xe9r\xf4me");
    ds += element(0x0010, 0x0020, "LO", " ID-7 ");
    ds += element(0x0010, 0x1010, "AS", "045Y");
    ds += element(0x0010, 0x1020, "DS", "1.75");
    ds += element(0x0018, 0x106E, "UL", u32(4000000000u));
    ds += element(0x0018, 0x1310, "US", u16(0) + u16(64) + u16(64) + u16(0));
    ds += element(0x0018, 0x1320, "FL", std::string("\x00\x00\xc0\x3f", 4));                   // 1.5
    ds += element(0x0018, 0x1635, "FD", std::string("\0\0\0\0\0\0\x04\x40\0\0\0\0\0\0\xf0\xbf", 16));  // 2.5, -1
    ds += element(0x0020, 0x0013, "IS", " 12");
    ds += element(0x0020, 0x4000, "LT", "a\\b text");
    ds += element(0x0028, 0x0002, "US", u16(1));
    ds += element(0x0028, 0x0004, "CS", "MONOCHROME2");
    ds += element(0x0028, 0x0009, "AT", u16(0x0054) + u16(0x0010));
    ds += element(0x0028, 0x0010, "US", u16(2));
    ds += element(0x0028, 0x0011, "US", u16(2));
    ds += element(0x0028, 0x0030, "DS", "0.5\\-3e2");
    ds += element(0x0028, 0x0100, "US", u16(16));
    ds += element(0x0028, 0x0101, "US", u16(12));
    ds += element(0x0028, 0x0102, "US", u16(11));
    ds += element(0x0028, 0x0103, "US", u16(0));
    ds += element(0x0028, 0x0106, "US", u16(5));
    ds += element(0x0029, 0x0010, "LO", "VELMAR CLI TEST");
    ds += element(0x0029, 0x1001, "LO", "private text");
    ds += element(0x0029, 0x1002, "SL", u32(static_cast<uint32_t>(-70000)));
    ds += sequence(0x0029, 0x1003, {element(0x0029, 0x1010, "US", u16(7))});
    ds += element(0x0029, 0x1004, "OB", std::string("\x01\x02\x03", 3));
    ds += element(0x7FE0, 0x0010, "OW", u16(0x0123) + u16(0x0456) + u16(0x0789) + u16(0x0ABC));
    return fileWithMeta(sc, ds);
}

// Compares two DICOM JSON texts: same attributes, VRs and values (numbers within a relative
// 1e-6, since toolkits print floats with different digits), Pixel Data left out.
const char *kCompareJson = R"PY(
import json, sys
def strip(x):
    if isinstance(x, dict):
        return {k: strip(v) for k, v in x.items() if k != '7FE00010'}
    if isinstance(x, list):
        return [strip(v) for v in x]
    return x
def same(a, b, where, problems):
    number = (int, float)
    if isinstance(a, number) and isinstance(b, number) and not isinstance(a, bool) and not isinstance(b, bool):
        if abs(a - b) > 1e-6 * max(1.0, abs(a), abs(b)):
            problems.append('%s: %r != %r' % (where, a, b))
    elif isinstance(a, dict) and isinstance(b, dict):
        for k in sorted(set(a) | set(b)):
            if k not in a or k not in b:
                problems.append('%s/%s only in %s' % (where, k, 'velmar' if k in a else 'dcm2json'))
            else:
                same(a[k], b[k], where + '/' + k, problems)
    elif isinstance(a, list) and isinstance(b, list) and len(a) == len(b):
        for i, (x, y) in enumerate(zip(a, b)):
            same(x, y, '%s[%d]' % (where, i), problems)
    elif a != b:
        problems.append('%s: %r != %r' % (where, a, b))
mine = strip(json.load(open(sys.argv[1], encoding='utf-8')))
theirs = strip(json.load(open(sys.argv[2], encoding='utf-8')))
problems = []
same(mine, theirs, '', problems)
print('\n'.join(problems))
print('%d attributes compared' % len(theirs))
sys.exit(1 if problems else 0)
)PY";

// Reads DICOM files with pydicom: the pixel values of each native one are compared with the raw
// sample data; for the others the transfer syntax and frame count are printed. Exit status 77:
// pydicom or numpy is missing.
const char *kPydicomReads = R"PY(
import sys
try:
    import numpy, pydicom
except ImportError:
    sys.exit(77)
raw = sys.argv[1]
status = 0
for name in sys.argv[2:]:
    ds = pydicom.dcmread(name, force=True)
    if 'TransferSyntaxUID' not in ds.file_meta:  # a bare data set: the syntax pydicom detected
        ds.file_meta = pydicom.dataset.FileMetaDataset()
        ds.file_meta.TransferSyntaxUID = (pydicom.uid.ImplicitVRLittleEndian if ds.is_implicit_VR
                                          else pydicom.uid.ExplicitVRLittleEndian)
    ts = ds.file_meta.TransferSyntaxUID
    if ts not in (pydicom.uid.ImplicitVRLittleEndian, pydicom.uid.ExplicitVRLittleEndian,
                  pydicom.uid.ExplicitVRBigEndian):
        print(name, ts, ds.NumberOfFrames)
        continue
    expected = numpy.fromfile(raw, dtype='<u2').reshape(int(ds.NumberOfFrames), ds.Rows, ds.Columns)
    if not numpy.array_equal(ds.pixel_array, expected):
        print(name, 'pixels differ')
        status = 1
sys.exit(status)
)PY";

class CliTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        shared_ = fs::temp_directory_path() / ("velmar_cli_" + std::to_string(::getpid()));
        fs::create_directories(shared_);
        // The bundled study as DICOM, made once for the tests that only read it.
        Result made = shell(shared_, command("interfile '" + kSampleHeader.string() + "' spect.dcm"));
        sampleMade_ = made.status == 0;
        sampleError_ = made.err;
    }
    static void TearDownTestSuite() { fs::remove_all(shared_); }

    void SetUp() override {
        dir_ = shared_ / ::testing::UnitTest::GetInstance()->current_test_info()->name();
        fs::create_directories(dir_);
    }

    static std::string command(const std::string &args, const std::string &env = "") {
        return (env.empty() ? "" : env + " ") + "'" + kProgram.string() + "' " + args;
    }
    Result velmar(const std::string &args, const std::string &env = "") const { return shell(dir_, command(args, env)); }

    fs::path sample() const {
        EXPECT_TRUE(sampleMade_) << sampleError_;
        return shared_ / "spect.dcm";
    }

    // Bad arguments and unreadable input: exit status 2 and one line "velmar: ..." on stderr.
    void expectRefused(const std::string &args, const std::string &words, const std::string &env = "") const {
        Result run = velmar(args, env);
        EXPECT_EQ(run.status, 2) << args << "\n" << run.err;
        auto lines = run.errLines();
        ASSERT_FALSE(lines.empty()) << args;
        EXPECT_EQ(lines.back().rfind("velmar: ", 0), 0u) << args << "\n" << run.err;
        EXPECT_NE(lines.back().find(words), std::string::npos) << args << "\n" << run.err;
    }

    // The pixel bytes of a file: converted to a bare implicit VR data set whose last element is
    // Pixel Data, they are the file's last bytes after that element's tag and length.
    std::string pixelsOf(const fs::path &file) const {
        fs::path raw = dir_ / (file.filename().string() + ".raw");
        Result run = velmar("convert --no-meta -s implicit '" + file.string() + "' '" + raw.string() + "'");
        EXPECT_EQ(run.status, 0) << run.err;
        std::string bytes = readFile(raw);
        const size_t size = fs::file_size(kSampleData);
        if (bytes.size() < size + 8) return "";
        EXPECT_EQ(bytes.substr(bytes.size() - size - 8, 8), u16(0x7FE0) + u16(0x0010) + u32(static_cast<uint32_t>(size)));
        return bytes.substr(bytes.size() - size);
    }

    // The file holds the sample study's pixels, byte for byte.
    void expectSamplePixels(const fs::path &file, const std::string &what = "") const {
        static const std::string original = readFile(kSampleData);
        std::string pixels = pixelsOf(file);
        if (pixels == original) return;
        size_t at = 0;
        while (at < pixels.size() && at < original.size() && pixels[at] == original[at]) ++at;
        ADD_FAILURE() << file.filename() << " " << what << ": " << pixels.size() << " pixel bytes, first difference at "
                      << at << " of " << original.size();
    }

    static inline fs::path shared_;
    static inline bool sampleMade_ = false;
    static inline std::string sampleError_;
    fs::path dir_;
};

// ---- Help and usage -------------------------------------------------------------------------------

TEST_F(CliTest, HelpExplainsTheProgramAndEverySubcommand) {
    Result help = velmar("--help");
    EXPECT_EQ(help.status, 0);
    for (const char *name : {"dump", "convert", "verify", "interfile", "codecs", "VELMAR_DEF_PATH", "VELMAR_LOG_MASK"})
        EXPECT_NE(help.out.find(name), std::string::npos) << name;

    const std::vector<std::pair<std::string, std::vector<std::string>>> commands = {
        {"dump", {"--json", "--meta"}},
        {"convert", {"--syntax", "--no-meta", "--codec-option", "implicit, explicit, big, png"}},
        {"verify", {"--quiet", "Exit status"}},
        {"interfile", {"--syntax", "--force", "--check"}},
        {"codecs", {"--load", "usrcodec.map"}},
    };
    for (const auto &[name, words] : commands) {
        for (const char *flag : {"--help", "-h"}) {
            Result run = velmar(name + " " + flag);
            EXPECT_EQ(run.status, 0) << name;
            EXPECT_EQ(run.out.rfind("usage: velmar " + name, 0), 0u) << run.out;
            for (const std::string &word : words) EXPECT_NE(run.out.find(word), std::string::npos) << name << " " << word;
        }
    }
    Result version = velmar("--version");
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(version.out.rfind("velmar ", 0), 0u);

    Result bare = velmar("");
    EXPECT_EQ(bare.status, 2);
    EXPECT_NE(bare.err.find("usage: velmar"), std::string::npos);
}

TEST_F(CliTest, BadArgumentsGiveOneLineAndStatusTwo) {
    std::string file = sample().string();
    expectRefused("frobnicate", "unknown command 'frobnicate'");
    expectRefused("--frob", "unknown option --frob");
    expectRefused("dump", "dump needs exactly one FILE");
    expectRefused("dump a.dcm b.dcm", "dump needs exactly one FILE");
    expectRefused("dump --bogus " + file, "unknown option --bogus");
    expectRefused("dump -x " + file, "unknown option -x");
    expectRefused("dump --json=yes " + file, "option --json takes no value");
    expectRefused("convert " + file, "convert needs IN and OUT");
    expectRefused("convert " + file + " out.dcm --syntax", "option --syntax needs a value");
    expectRefused("convert " + file + " out.dcm -s", "option -s needs a value");
    expectRefused("convert --syntax jpeg2000 " + file + " out.dcm", "unknown syntax \"jpeg2000\"");
    expectRefused("convert -s explicit -o c=9 " + file + " out.dcm", "--codec-option applies to encapsulated");
    expectRefused("convert -s png -o z=1 " + file + " out.dcm", "bad png codec option \"z=1\"");
    expectRefused("convert -n -s png " + file + " out.dcm", "needs its meta header");
    expectRefused("verify", "verify needs exactly one FILE");
    expectRefused("interfile " + kSampleHeader.string(), "interfile needs HEADER and OUT");
    expectRefused("interfile --check", "interfile --check needs exactly one HEADER");
    expectRefused("interfile --check --force " + kSampleHeader.string(), "--check writes nothing");
    expectRefused("codecs extra", "codecs takes no arguments");
    expectRefused("codecs -o key=1", "--codec-option goes with --load");
    expectRefused("dump @missing.list", "cannot read command list file missing.list");
    EXPECT_FALSE(fs::exists(dir_ / "out.dcm"));
}

TEST_F(CliTest, MissingUnreadableAndForeignFilesGiveOneLineAndStatusTwo) {
    expectRefused("dump nothing.dcm", "cannot read nothing.dcm: No such file or directory");
    expectRefused("verify nothing.dcm", "cannot read nothing.dcm");
    expectRefused("convert nothing.dcm out.dcm", "cannot read nothing.dcm");
    expectRefused("interfile --check nothing.hdr", "cannot read nothing.hdr");
    expectRefused("dump .", "it is a directory");
    expectRefused("convert '" + sample().string() + "' no/such/dir/out.dcm", "cannot write no/such/dir/out.dcm");

    // A text file is neither DICOM nor Interfile.
    writeFile(dir_ / "notes.txt", "this is not an image file, only some words of text.\n");
    expectRefused("dump notes.txt", "cannot read notes.txt as a DICOM file");
    expectRefused("verify notes.txt", "cannot read notes.txt as a DICOM file");
    expectRefused("interfile notes.txt out.dcm", "cannot read notes.txt as an Interfile header");
    EXPECT_FALSE(fs::exists(dir_ / "out.dcm"));
}

TEST_F(CliTest, FileWithoutReadPermissionGivesOneLineAndStatusTwo) {
    if (::geteuid() == 0) GTEST_SKIP() << "running as root: file permissions do not stop reading";
    fs::copy_file(sample(), dir_ / "locked.dcm");
    fs::permissions(dir_ / "locked.dcm", fs::perms::none);
    expectRefused("dump locked.dcm", "cannot read locked.dcm: Permission denied");
}

// ---- Options --------------------------------------------------------------------------------------

TEST_F(CliTest, OptionsComeFromListFilesAndMayFollowPositionals) {
    fs::copy_file(sample(), dir_ / "in.dcm");
    writeFile(dir_ / "big.list", "--syntax big\n");
    Result listed = velmar("convert @big.list in.dcm a.dcm");
    EXPECT_EQ(listed.status, 0) << listed.err;
    EXPECT_NE(listed.out.find("explicit VR big endian"), std::string::npos) << listed.out;

    // Options after the positionals, and a list that holds positionals and options together.
    Result after = velmar("convert in.dcm b.dcm --syntax=implicit --no-meta");
    EXPECT_EQ(after.status, 0) << after.err;
    EXPECT_NE(after.out.find("implicit VR little endian"), std::string::npos);
    EXPECT_NE(readFile(dir_ / "b.dcm").substr(128, 4), "DICM");

    writeFile(dir_ / "all.list", "in.dcm\n'c.dcm'\n-s png\n");
    Result all = velmar("convert @all.list");
    EXPECT_EQ(all.status, 0) << all.err;
    EXPECT_NE(all.out.find("PNG per frame"), std::string::npos) << all.out;

    // After "--" a word that begins with "-" is a file name.
    fs::copy_file(sample(), dir_ / "-dash.dcm");
    Result dashes = velmar("dump -- -dash.dcm");
    EXPECT_EQ(dashes.status, 0) << dashes.err;
    EXPECT_NE(dashes.out.find("(0008,0060) CS Modality  NM"), std::string::npos);
    expectRefused("dump -dash.dcm", "unknown option -d");
}

// ---- dump -----------------------------------------------------------------------------------------

TEST_F(CliTest, DumpShowsEveryElementIndentedByNesting) {
    writeFile(dir_ / "rich.dcm", richObject());
    Result run = velmar("dump rich.dcm");
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_TRUE(run.err.empty()) << run.err;
    const char *expected[] = {
        "# rich.dcm: explicit VR little endian, with meta header\n",
        "\n(0002,0010) UI Transfer Syntax UID  1.2.840.10008.1.2.1",
        "\n(0008,0008) CS Image Type  DERIVED\\SECONDARY \n",  // the value's padding blank
        "\n(0008,1140) SQ Referenced Image Sequence\n  (FFFE,E000) Item 1\n"
        "    (0008,1150) UI Referenced SOP Class UID  1.2.840.10008.5.1.4.1.1.7",
        "\n  (FFFE,E000) Item 2\n",
        "\n(0018,1310) US Acquisition Matrix  0\\64\\64\\0\n",
        "\n(0028,0009) AT Frame Increment Pointer  00540010\n",
        "\n(0028,0106) US Smallest Image Pixel Value  5\n",
        "\n(0029,1001) LO (unknown)  private text",
        "\n(0029,1002) SL (unknown)  -70000\n",
        "\n(0029,1003) SQ (unknown)\n  (FFFE,E000) Item 1\n    (0029,1010) US (unknown)  7\n",
        "\n(7FE0,0010) OW Pixel Data  [1 frame of 2 x 2, 16 bits allocated, transfer syntax 1.2.840.10008.1.2.1]\n",
    };
    for (const char *text : expected) EXPECT_NE(run.out.find(text), std::string::npos) << text << "\n" << run.out;
    // Delimitation items are structure, not elements.
    EXPECT_EQ(run.out.find("E00D"), std::string::npos);
    EXPECT_EQ(run.out.find("E0DD"), std::string::npos);
}

TEST_F(CliTest, DumpJsonMatchesDcm2jsonOnFilesVelmarWrites) {
    if (!have("dcm2json")) GTEST_SKIP() << "dcm2json (DCMTK) is not installed";
    if (!fs::exists(kPython)) GTEST_SKIP() << kPython << " is not installed";
    writeFile(dir_ / "compare.py", kCompareJson);
    writeFile(dir_ / "rich.dcm", richObject());
    fs::copy_file(sample(), dir_ / "spect.dcm");
    ASSERT_EQ(velmar("convert -s explicit rich.dcm rich_explicit.dcm").status, 0);
    ASSERT_EQ(velmar("convert -s big rich.dcm rich_big.dcm").status, 0);
    for (const char *name : {"spect.dcm", "rich_explicit.dcm", "rich_big.dcm"}) {
        Result mine = velmar(std::string("dump --json ") + name);
        ASSERT_EQ(mine.status, 0) << name << mine.err;
        writeFile(dir_ / "mine.json", mine.out);
        Result theirs = shell(dir_, std::string("dcm2json ") + name);
        ASSERT_EQ(theirs.status, 0) << name << theirs.err;
        writeFile(dir_ / "theirs.json", theirs.out);
        Result compared = shell(dir_, std::string(kPython) + " compare.py mine.json theirs.json");
        EXPECT_EQ(compared.status, 0) << name << ":\n" << compared.out << compared.err;
    }
    // The model's forms, checked on the text itself.
    Result rich = velmar("dump --json rich_explicit.dcm");
    const char *forms[] = {
        "\"00100010\": {\"vr\": \"PN\", \"Value\": [{\"Alphabetic\": \"M\xc3\xbcller^J\xc3\xa9r\xc3\xb4me\"}]}",
        "\"00080005\": {\"vr\": \"CS\", \"Value\": [\"ISO_IR 192\"]}",
        "\"00280009\": {\"vr\": \"AT\", \"Value\": [\"00540010\"]}",
        "\"00280030\": {\"vr\": \"DS\", \"Value\": [0.5, -3e2]}",
        "\"00200013\": {\"vr\": \"IS\", \"Value\": [12]}",
        "\"00100020\": {\"vr\": \"LO\", \"Value\": [\"ID-7\"]}",
        "\"00204000\": {\"vr\": \"LT\", \"Value\": [\"a\\\\b text\"]}",
        "\"00080090\": {\"vr\": \"PN\"}",
        "\"00081110\": {\"vr\": \"SQ\"}",
        "\"00291004\": {\"vr\": \"OB\", \"InlineBinary\": \"AQIDAA==\"}",
    };
    for (const char *form : forms) EXPECT_NE(rich.out.find(form), std::string::npos) << form << "\n" << rich.out;
    EXPECT_EQ(rich.out.find("\"7FE00010\""), std::string::npos);
    EXPECT_EQ(rich.out.find("\"0002"), std::string::npos);
    EXPECT_NE(velmar("dump --json --meta rich_explicit.dcm").out.find("\"00020010\""), std::string::npos);
}

// ---- convert --------------------------------------------------------------------------------------

TEST_F(CliTest, ConvertAcrossAllSyntaxPairsKeepsThePixels) {
    const std::vector<std::string> syntaxes = {"implicit", "explicit", "big", "png"};
    for (const std::string &from : syntaxes) {
        Result made = velmar("convert -s " + from + " '" + sample().string() + "' from_" + from + ".dcm");
        ASSERT_EQ(made.status, 0) << from << made.err;
    }
    for (const std::string &from : syntaxes) {
        for (const std::string &to : syntaxes) {
            std::string out = from + "_to_" + to + ".dcm";
            Result run = velmar("convert --syntax " + to + " from_" + from + ".dcm " + out);
            ASSERT_EQ(run.status, 0) << from << " -> " << to << "\n" << run.err;
            EXPECT_TRUE(run.err.empty()) << run.err;
            expectSamplePixels(dir_ / out, from + " -> " + to);
        }
    }
    // The syntax stays the input's when none is given, and the transfer syntax UID says which.
    Result same = velmar("convert from_big.dcm again.dcm");
    EXPECT_EQ(same.status, 0);
    EXPECT_NE(same.out.find("explicit VR big endian"), std::string::npos) << same.out;
    EXPECT_NE(velmar("dump from_png.dcm").out.find("Transfer Syntax UID  4.4.4.4.4.4.4.4.4.1"), std::string::npos);
    // png options reach the coder: the strongest compression gives a file no larger.
    ASSERT_EQ(velmar("convert -s png -o c=0 from_explicit.dcm c0.dcm").status, 0);
    ASSERT_EQ(velmar("convert -s png --codec-option c=9,f=5 from_explicit.dcm c9.dcm").status, 0);
    EXPECT_LT(fs::file_size(dir_ / "c9.dcm"), fs::file_size(dir_ / "c0.dcm"));
    expectSamplePixels(dir_ / "c9.dcm");
}

TEST_F(CliTest, ConvertRefusesAnEncapsulatedSyntaxWithoutACodec) {
    expectRefused("convert -s 1.2.3.999 '" + sample().string() + "' out.dcm",
                  "no coder for transfer syntax 1.2.3.999: no codec map");
    EXPECT_FALSE(fs::exists(dir_ / "out.dcm"));
}

// ---- interfile and verify -------------------------------------------------------------------------

TEST_F(CliTest, BundledStudyConvertsAndVerifies) {
    Result check = velmar("interfile --check '" + kSampleHeader.string() + "'");
    EXPECT_EQ(check.status, 0) << check.out << check.err;
    EXPECT_NE(check.out.find("passes the Interfile 3.3 check"), std::string::npos);

    Result made = velmar("interfile '" + kSampleHeader.string() + "' spect.dcm");
    ASSERT_EQ(made.status, 0) << made.err;
    EXPECT_EQ(made.out, "spect.dcm: NM, 32 frames of 64 x 64, 16 bits, explicit VR little endian\n");
    Result dump = velmar("dump spect.dcm");
    for (const char *text : {"(0008,0016) UI SOP Class UID  1.2.840.10008.5.1.4.1.1.20",
                             "(0010,0020) LO Patient ID  VELMAR-0001", "(0028,0008) IS Number of Frames  32",
                             "(0054,0090) US Angular View Vector  1\\2\\3"})
        EXPECT_NE(dump.out.find(text), std::string::npos) << text;
    expectSamplePixels(dir_ / "spect.dcm");

    Result verify = velmar("verify spect.dcm");
    EXPECT_EQ(verify.status, 0) << verify.out << verify.err;
    EXPECT_NE(verify.out.find("Attribute check (dictionary):\n  no problems\nModule check:\nNuclear Medicine Image\n"),
              std::string::npos) << verify.out;
    EXPECT_NE(verify.out.find("\nChecking NM Image Module\n"), std::string::npos);
    Result quiet = velmar("verify -q spect.dcm");
    EXPECT_EQ(quiet.status, 0);
    EXPECT_EQ(quiet.out, "spect.dcm: attribute check passed, module check passed\n");

    // Straight to png, and back with the same pixels.
    Result png = velmar("interfile --syntax png '" + kSampleHeader.string() + "' spect_png.dcm");
    ASSERT_EQ(png.status, 0) << png.err;
    expectSamplePixels(dir_ / "spect_png.dcm");
}

TEST_F(CliTest, HeaderThatFailsTheCheckIsReportedAndConvertedOnlyWhenForced) {
    // The sample header without its study ID, its data file named by full path.
    std::string header = readFile(kSampleHeader);
    auto replaceLine = [&](const std::string &start, const std::string &line) {
        size_t at = header.find(start);
        ASSERT_NE(at, std::string::npos) << start;
        header.replace(at, header.find('\n', at) - at, line);
    };
    replaceLine("!study ID", "");
    replaceLine("!name of data file", "!name of data file := " + kSampleData.string());
    writeFile(dir_ / "broken.hdr", header);

    Result check = velmar("interfile --check broken.hdr");
    EXPECT_EQ(check.status, 1);
    EXPECT_NE(check.out.find("Missing obligatory key: !study ID"), std::string::npos) << check.out;
    EXPECT_NE(check.out.find("broken.hdr: fails the Interfile 3.3 check"), std::string::npos);

    Result refused = velmar("interfile broken.hdr out.dcm");
    EXPECT_EQ(refused.status, 1);
    EXPECT_NE(refused.err.find("Missing obligatory key: !study ID"), std::string::npos) << refused.err;
    EXPECT_NE(refused.err.find("velmar: broken.hdr fails the Interfile 3.3 check"), std::string::npos);
    EXPECT_FALSE(fs::exists(dir_ / "out.dcm"));

    // The sample's data file lies outside the header's directory: used only when allowed.
    Result outside = velmar("interfile --force broken.hdr out.dcm");
    EXPECT_EQ(outside.status, 2);
    EXPECT_NE(outside.err.find("The data file lies outside the header's directory: " + kSampleData.string()),
              std::string::npos)
        << outside.err;
    EXPECT_FALSE(fs::exists(dir_ / "out.dcm"));
    Result forced = velmar("interfile --force --allow-outside broken.hdr out.dcm");
    EXPECT_EQ(forced.status, 0) << forced.err;
    EXPECT_TRUE(fs::exists(dir_ / "out.dcm"));

    // A data file that is not there: reported, and nothing is written.
    std::string missing = header;
    size_t at = missing.find(kSampleData.string());
    missing.replace(at, kSampleData.string().size(), (dir_ / "nosuch.img").string());
    writeFile(dir_ / "nodata.hdr", missing);
    Result noData = velmar("interfile --force nodata.hdr nodata.dcm");
    EXPECT_EQ(noData.status, 2);
    EXPECT_NE(noData.err.find("velmar: cannot convert nodata.hdr: its pixel data could not be read or converted"),
              std::string::npos) << noData.err;
    EXPECT_FALSE(fs::exists(dir_ / "nodata.dcm"));

    replaceLine("!version of keys", "!version of keys := 3.4");
    writeFile(dir_ / "version.hdr", header);
    Result version = velmar("interfile -c version.hdr");
    EXPECT_EQ(version.status, 1);
    EXPECT_NE(version.out.find("Wrong INTERFILE version. File version: 3.4"), std::string::npos) << version.out;
}

TEST_F(CliTest, VerifyReportsProblemsAndMissingDefinitions) {
    writeFile(dir_ / "bad_date.dcm", richObject("20241301"));
    Result bad = velmar("verify bad_date.dcm");
    EXPECT_EQ(bad.status, 1) << bad.out << bad.err;
    EXPECT_NE(bad.out.find("\t(0008, 0020) -- Study Date\n\tValue:\t  20241301\nError: \t\tElement contains impossible value."),
              std::string::npos) << bad.out;
    EXPECT_NE(bad.out.find("bad_date.dcm: attribute check found problems"), std::string::npos);
    EXPECT_EQ(velmar("verify --quiet bad_date.dcm").out.find("Element contains"), std::string::npos);

    writeFile(dir_ / "no_class.dcm", richObject("20240131", false));
    expectRefused("verify no_class.dcm", "no_class.dcm: it has no SOP Class UID (0008,0016)");

    // A broken module file is the definitions' fault, named with its line, not the input's.
    fs::path defs = dir_ / "defs";
    fs::create_directories(defs);
    for (const auto &entry : fs::directory_iterator(VELMAR_SHARE_DIR))
        fs::copy(entry.path(), defs / entry.path().filename());
    writeFile(defs / "c_tab.def", "\n{\"C.7.1.1\", \"Patient\", {{0x00100010}}}\n");
    std::string env = "VELMAR_DEF_PATH='" + defs.string() + "'";
    expectRefused("verify " + sample().string(),
                  "modules could not be loaded from the definition files in " + defs.string(), env);
    EXPECT_NE(velmar("verify " + sample().string(), env)
                  .err.find("Error: ',' (comma) expected (" + (defs / "c_tab.def").string() + ", line 2)."),
              std::string::npos);
}

// ---- codecs ---------------------------------------------------------------------------------------

TEST_F(CliTest, CodecsListsRegistriesAndMapsAndLoadsExternalLibraries) {
    Result plain = velmar("codecs");
    EXPECT_EQ(plain.status, 0) << plain.err;
    for (const char *text : {"  native ", "  interfile ", "  png ", "png          coder    4.4.4.4.4.4.4.4.4.1",
                             "interfile    decoder  Interfile.Little.Endian", "native       decoder  1.2.840.10008.1.2.2"})
        EXPECT_NE(plain.out.find(text), std::string::npos) << text << "\n" << plain.out;

    // A user map names an external codec library. One in the current directory is never read;
    // the one in the user's configuration directory is.
    fs::path plugin = fs::path(VELMAR_BINARY_DIR) / "tests" / "velmar_testcodec.so";
    std::string mapText = "# uid name library note\n9.9.9.9.9.9.9.9.9.1 xor " + plugin.string() +
                          " test-codec\n1.2.3.4.5 missing /no/such/libcodec.so absent\n";
    writeFile(dir_ / "usrcodec.map", mapText);
    Result ignored =
        velmar("codecs", "env -u VELMAR_USER_CODEC_PATH XDG_CONFIG_HOME=" + (dir_ / "none").string());
    EXPECT_EQ(ignored.out.find("9.9.9.9.9.9.9.9.9.1"), std::string::npos) << ignored.out;
    fs::create_directories(dir_ / "config" / "velmar");
    writeFile(dir_ / "config" / "velmar" / "usrcodec.map", mapText);
    struct ConfigHome {
        explicit ConfigHome(const fs::path &dir) { setenv("XDG_CONFIG_HOME", dir.c_str(), 1); }
        ~ConfigHome() { unsetenv("XDG_CONFIG_HOME"); }
    } configHome(dir_ / "config");
    Result mapped = velmar("codecs", "env -u VELMAR_USER_CODEC_PATH");
    EXPECT_NE(mapped.out.find("9.9.9.9.9.9.9.9.9.1"), std::string::npos) << mapped.out;
    expectRefused("codecs --load nosuch", "the codec nosuch is not in the codec maps");
    expectRefused("codecs --load missing", "cannot load the codec library /no/such/libcodec.so");
    expectRefused("convert -s 1.2.3.4.5 '" + sample().string() + "' out.dcm", "cannot load the codec library");

    if (!fs::exists(plugin)) GTEST_SKIP() << "the test codec library " << plugin << " is not built";
    Result loaded = velmar("codecs --load xor --codec-option key=7");
    EXPECT_EQ(loaded.status, 0) << loaded.err;
    EXPECT_NE(loaded.out.find("xorcodec     coder    9.9.9.9.9.9.9.9.9.1"), std::string::npos) << loaded.out;
    expectRefused("codecs --load xor -o fail", "failed to start");

    // Convert through it and back: the coder is loaded for the target, the decoder for the source.
    Result coded = velmar("convert -s 9.9.9.9.9.9.9.9.9.1 '" + sample().string() + "' xor.dcm");
    ASSERT_EQ(coded.status, 0) << coded.err;
    EXPECT_NE(velmar("dump xor.dcm").out.find("Transfer Syntax UID  9.9.9.9.9.9.9.9.9.1"), std::string::npos);
    expectSamplePixels(dir_ / "xor.dcm");
    // The codec option reaches the coder: frames coded with another key than the decoder's
    // default come back different.
    ASSERT_EQ(velmar("convert -s 9.9.9.9.9.9.9.9.9.1 -o key=9 '" + sample().string() + "' xor9.dcm").status, 0);
    EXPECT_NE(pixelsOf(dir_ / "xor9.dcm").substr(0, 64), readFile(kSampleData).substr(0, 64));
    // The same option decodes it: with a native target --codec-option goes to the decoder's
    // library, --decode-option always does.
    ASSERT_EQ(velmar("convert -s explicit -o key=9 xor9.dcm plain9.dcm").status, 0);
    expectSamplePixels(dir_ / "plain9.dcm", "--codec-option");
    ASSERT_EQ(velmar("convert -s png -d key=9 xor9.dcm png9.dcm").status, 0);
    expectSamplePixels(dir_ / "png9.dcm", "--decode-option");
    expectRefused("convert -s 9.9.9.9.9.9.9.9.9.1 -d key=9 -o key=3 xor9.dcm x3.dcm",
                  "takes one option text");
    expectRefused("convert -s png -d key=9 '" + sample().string() + "' p.dcm",
                  "applies to encapsulated input");
}

// ---- Set-up: definition files and the log mask ----------------------------------------------------

TEST_F(CliTest, DefinitionFilesAreFoundWithoutSetUpAndTheLogMaskApplies) {
    std::string file = "'" + sample().string() + "'";
    Result found = velmar("dump " + file, "env -u VELMAR_DEF_PATH");
    EXPECT_EQ(found.status, 0) << found.err;
    EXPECT_NE(found.out.find("(0008,0060) CS Modality  NM"), std::string::npos);
    expectRefused("dump " + file, "no definition files (tag_tab.def) in /no/such/dir", "VELMAR_DEF_PATH=/no/such/dir");

    Result quiet = velmar("dump " + file);
    EXPECT_TRUE(quiet.err.empty()) << quiet.err;
    Result verbose = velmar("dump -v " + file);
    EXPECT_NE(verbose.err.find("Info: "), std::string::npos) << verbose.err;
    EXPECT_EQ(velmar("-v dump " + file).err, verbose.err);
    Result masked = velmar("dump " + file, "VELMAR_LOG_MASK=0x30");
    EXPECT_EQ(masked.err, verbose.err);
    // The library's own error lines follow the mask; the program's last line is always there.
    writeFile(dir_ / "notes.txt", "not a DICOM file at all, only text.\n");
    Result loud = velmar("dump notes.txt");
    EXPECT_NE(loud.err.find("Error: "), std::string::npos) << loud.err;
    Result silent = velmar("dump notes.txt", "VELMAR_LOG_MASK=0x00");
    EXPECT_EQ(silent.status, 2);
    EXPECT_EQ(silent.err, "velmar: cannot read notes.txt as a DICOM file\n");
    expectRefused("dump " + file, "VELMAR_LOG_MASK must be a number", "VELMAR_LOG_MASK=lots");
}

// ---- Other toolkits read what velmar writes -------------------------------------------------------

TEST_F(CliTest, DcmdumpPydicomAndDciodvfyReadTheOutput) {
    const std::vector<std::string> syntaxes = {"implicit", "explicit", "big", "png"};
    for (const std::string &syntax : syntaxes)
        ASSERT_EQ(velmar("convert -s " + syntax + " '" + sample().string() + "' " + syntax + ".dcm").status, 0);
    ASSERT_EQ(velmar("convert -n -s explicit '" + sample().string() + "' bare.dcm").status, 0);

    bool ran = false;
    if (have("dcmdump")) {
        ran = true;
        for (const std::string &name : {"implicit", "explicit", "big", "png", "bare"}) {
            Result run = shell(dir_, "dcmdump " + name + ".dcm");
            EXPECT_EQ(run.status, 0) << name << run.err;
            EXPECT_EQ(run.err.find("E: "), std::string::npos) << name << run.err;
            EXPECT_NE(run.out.find("(0028,0008) IS [32]"), std::string::npos) << name;
        }
    }
    if (fs::exists(kPython)) {
        writeFile(dir_ / "pydicom_reads.py", kPydicomReads);
        Result run = shell(dir_, std::string(kPython) + " pydicom_reads.py '" + kSampleData.string() +
                                     "' implicit.dcm explicit.dcm big.dcm bare.dcm png.dcm");
        if (run.status != 77) {
            ran = true;
            EXPECT_EQ(run.status, 0) << run.out << run.err;
            EXPECT_EQ(run.out, "png.dcm 4.4.4.4.4.4.4.4.4.1 32\n") << run.err;
        }
    }
    if (have("dciodvfy")) {
        ran = true;
        for (const std::string &name : {"implicit", "explicit", "big"}) {
            Result run = shell(dir_, "dciodvfy " + name + ".dcm");
            std::string all = run.out + run.err;
            EXPECT_NE(all.find("NMImage"), std::string::npos) << name << all;
            EXPECT_EQ(all.find("read failed"), std::string::npos) << name << all;
        }
    }
    if (!ran) GTEST_SKIP() << "none of dcmdump, pydicom (" << kPython << ") and dciodvfy is installed";
}

}  // namespace
