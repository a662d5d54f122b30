// Interoperability: files written in each uncompressed syntax are read by DCMTK's dcmdump and by
// pydicom, which must see every element written and the same pixel values.
#include <sys/wait.h>

#include <array>
#include <set>
#include <sstream>

#include "test_writer_helpers.h"

using namespace writer_test;

namespace {

struct CommandResult {
    int status = -1;
    std::string out;
};

CommandResult run(const std::string &command) {
    CommandResult r;
    FILE *pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) return r;
    std::array<char, 4096> buffer{};
    size_t n;
    while ((n = std::fread(buffer.data(), 1, buffer.size(), pipe)) > 0) r.out.append(buffer.data(), n);
    int status = pclose(pipe);
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return r;
}

bool have(const std::string &command) {
    return run(command + " >/dev/null 2>&1").status == 0;
}

std::string tagText(uint32_t tag) {
    char text[16];
    std::snprintf(text, sizeof text, "(%04x,%04x)", tag >> 16, tag & 0xFFFF);
    return text;
}

// Every tag of a written file, nested ones too, items and delimiters left out.
std::set<std::string> tagsOf(const ParsedFile &f) {
    std::set<std::string> tags;
    for (const auto *list : {&f.meta, &f.data})
        for (const Parsed &p : *list)
            if ((p.tag >> 16) != 0xFFFE) tags.insert(tagText(p.tag));
    return tags;
}

const char *kPydicomScript = R"PY(
import sys
import numpy
import pydicom
path, raw, rows, columns, frames, bits = sys.argv[1], sys.argv[2], *map(int, sys.argv[3:7])
ds = pydicom.dcmread(path)
tags = set()
for element in list(ds.file_meta.iterall()) + list(ds.iterall()):
    tags.add("(%04x,%04x)" % (element.tag.group, element.tag.element))
for tag in sorted(tags):
    print(tag)
expected = numpy.fromfile(raw, dtype=numpy.uint16 if bits == 16 else numpy.uint8)
expected = expected.reshape((frames, rows, columns))
pixels = ds.pixel_array
print("PIXELS", "SAME" if numpy.array_equal(pixels, expected) else "DIFFERENT")
print("NAME", str(ds.PatientName))
print("MATRIX", list(ds.AcquisitionMatrix))
print("BVALUE", ds[0x00189087].value)
)PY";

class InteropTest : public ::testing::TestWithParam<uint16_t> {};

TEST_P(InteropTest, DcmdumpAndPydicomReadEverySyntax) {
    bool dcmdump = have("dcmdump --version");
    bool pydicom = have("/usr/bin/python3 -c 'import pydicom, numpy'");
    if (!dcmdump && !pydicom) GTEST_SKIP() << "neither dcmdump (DCMTK) nor pydicom with numpy is installed";
    TempDir dir;
    Context ctx{dir.file("interop.log"), true};
    ASSERT_TRUE(ctx.loaded);
    native_LibraryInit(&ctx.app);
    const uint16_t bits = GetParam(), rows = 6, columns = 10, frames = 3;
    std::vector<uint8_t> pixels = pixelBytes(static_cast<size_t>(rows) * columns * bits / 8, frames, bits);
    writeFile(dir.file("raw.bin"), pixels);
    std::string script = dir.file("check.py");
    writeFile(script, std::vector<uint8_t>(kPydicomScript, kPydicomScript + std::strlen(kPydicomScript)));

    IOObject io{};
    init_IOObject(&io);
    ASSERT_EQ(DO_openObject(&io.object), 0);
    buildRichObject(
        ctx, io.object,
        makeDescriptor(dir.file("raw.bin"), rows, columns, bits, frames, 1, "1.2.840.10008.1.2.1"));
    for (int syntax : {0, 1, 2}) {
        SCOPED_TRACE("syntax " + std::to_string(syntax));
        std::string path = dir.file("interop" + std::to_string(syntax) + ".dcm");
        io.dataSyntax = syntax;
        ASSERT_EQ(DO_copyObjectToFile(&ctx.app, &io, path.c_str()), 0) << ctx.log();
        ParsedFile parsed = parse(readFile(path), syntax, true);
        ASSERT_EQ(parsed.error, "");
        std::set<std::string> written = tagsOf(parsed);

        if (dcmdump) {
            CommandResult dump = run("dcmdump +L -q " + path + " 2>&1");
            EXPECT_EQ(dump.status, 0) << dump.out;
            EXPECT_EQ(dump.out.find("W: "), std::string::npos) << dump.out;
            EXPECT_EQ(dump.out.find("E: "), std::string::npos) << dump.out;
            for (const std::string &tag : written) EXPECT_NE(dump.out.find(tag), std::string::npos) << tag;
            EXPECT_NE(dump.out.find("[Doe^Jane]"), std::string::npos);
            EXPECT_NE(dump.out.find("(0018,1310) US 0\\64\\64\\0"), std::string::npos) << dump.out;
        }
        if (pydicom) {
            std::ostringstream command;
            command << "/usr/bin/python3 " << script << ' ' << path << ' ' << dir.file("raw.bin") << ' '
                    << rows << ' ' << columns << ' ' << frames << ' ' << bits << " 2>&1";
            CommandResult check = run(command.str());
            ASSERT_EQ(check.status, 0) << check.out;
            std::set<std::string> seen;
            std::istringstream lines(check.out);
            std::string line;
            while (std::getline(lines, line))
                if (line.size() == 11 && line[0] == '(') seen.insert(line);
            EXPECT_EQ(seen, written);
            EXPECT_NE(check.out.find("PIXELS SAME"), std::string::npos) << check.out;
            EXPECT_NE(check.out.find("NAME Doe^Jane"), std::string::npos) << check.out;
            EXPECT_NE(check.out.find("MATRIX [0, 64, 64, 0]"), std::string::npos) << check.out;
            EXPECT_NE(check.out.find("BVALUE 800.25"), std::string::npos) << check.out;
        }
    }
    DO_closeObject(&io.object);
}

INSTANTIATE_TEST_SUITE_P(Bits, InteropTest, ::testing::Values(8, 16));

}  // namespace
