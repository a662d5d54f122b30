// Deflated Explicit VR Little Endian: the writer compresses the data set after the meta header
// into one raw deflate stream, the reader inflates it (also a zlib-wrapped one) and refuses a
// damaged one; DCMTK and GDCM read velmar's files and velmar reads theirs.
#include <sys/wait.h>
#include <zlib.h>

#include "dicom/test_reader_bytes.h"

namespace {

using readertest::Bytes;

constexpr const char *kDeflated = "1.2.840.10008.1.2.1.99";
constexpr const char *kExplicit = "1.2.840.10008.1.2.1";

// The tags of the data set below (GDCM needs the instance, study and series UIDs).
void useDeflateDictionary(AppData &app) {
    static AttrDef tags[] = {
        {0x00020000, "File Meta Information Group Length", VR_UL, 1, "", ""},
        {0x00020001, "File Meta Information Version", VR_OB, 1, "", ""},
        {0x00020002, "Media Storage SOP Class UID", VR_UI, 1, "", ""},
        {0x00020003, "Media Storage SOP Instance UID", VR_UI, 1, "", ""},
        {0x00020010, "Transfer Syntax UID", VR_UI, 1, "", ""},
        {0x00020012, "Implementation Class UID", VR_UI, 1, "", ""},
        {0x00020013, "Implementation Version Name", VR_SH, 1, "", ""},
        {0x00020016, "Source Application Entity Title", VR_AE, 1, "", ""},
        {0x00080016, "SOP Class UID", VR_UI, 1, "", ""},
        {0x00080018, "SOP Instance UID", VR_UI, 1, "", ""},
        {0x00081140, "Referenced Image Sequence", VR_SQ, 1, "", ""},
        {0x00081150, "Referenced SOP Class UID", VR_UI, 1, "", ""},
        {0x00100010, "Patient's Name", VR_PN, 1, "", ""},
        {0x0020000D, "Study Instance UID", VR_UI, 1, "", ""},
        {0x0020000E, "Series Instance UID", VR_UI, 1, "", ""},
        {0x00280002, "Samples per Pixel", VR_US, 1, "", ""},
        {0x00280004, "Photometric Interpretation", VR_CS, 1, "", ""},
        {0x00280010, "Rows", VR_US, 1, "", ""},
        {0x00280011, "Columns", VR_US, 1, "", ""},
        {0x00280100, "Bits Allocated", VR_US, 1, "", ""},
        {0x00280101, "Bits Stored", VR_US, 1, "", ""},
        {0x00280102, "High Bit", VR_US, 1, "", ""},
        {0x00280103, "Pixel Representation", VR_US, 1, "", ""},
        {0x7FE00010, "Pixel Data", VR_OX, 1, "", ""},
        {0xFFFEE000, "Item", VR_XX, 1, "", ""},
        {0xFFFEE00D, "Item Delimitation Item", VR_XX, 1, "", ""},
        {0xFFFEE0DD, "Sequence Delimitation Item", VR_XX, 1, "", ""},
    };
    app.primaryTags = tags;
    app.primaryTagCount = static_cast<int16_t>(sizeof tags / sizeof tags[0]);
}

// A data set with a nested sequence, an odd-length text padded by the writer and 16-bit pixels.
Bytes dataSet() {
    Bytes ds(1);
    ds.element(0x0008, 0x0016, "UI", std::string("1.2.840.10008.5.1.4.1.1.7\0", 26));
    ds.element(0x0008, 0x0018, "UI", std::string("1.2.826.0.1.3680043.2.1143.99.1\0", 32));
    ds.sequence(0x0008, 0x1140, VELMAR_UNDEFINED_LENGTH).item(VELMAR_UNDEFINED_LENGTH);
    ds.element(0x0008, 0x1150, "UI", std::string("1.2.3.4\0", 8)).itemEnd().sequenceEnd();
    ds.element(0x0010, 0x0010, "PN", "Deflate^Test");
    ds.element(0x0020, 0x000D, "UI", std::string("1.2.826.0.1.3680043.2.1143.99.2\0", 32));
    ds.element(0x0020, 0x000E, "UI", std::string("1.2.826.0.1.3680043.2.1143.99.3\0", 32));
    ds.us(0x0028, 0x0002, 1).element(0x0028, 0x0004, "CS", "MONOCHROME2 ");
    ds.us(0x0028, 0x0010, 16).us(0x0028, 0x0011, 16).us(0x0028, 0x0100, 16).us(0x0028, 0x0101, 16);
    ds.us(0x0028, 0x0102, 15).us(0x0028, 0x0103, 0);
    ds.header(0x7FE0, 0x0010, "OW", 512);
    for (uint32_t i = 0; i < 256; ++i) ds.u16(static_cast<uint16_t>(i * 0x0101 + (i % 7 == 0 ? 0x1234 : 0)));
    return ds;
}

// Position of the first data set byte of a PS3.10 file: after the group 0002 elements.
size_t dataSetStart(const std::string &file) {
    size_t at = 132;
    while (at + 8 <= file.size() && file[at] == 2 && file[at + 1] == 0) {
        std::string vr = file.substr(at + 4, 2);
        bool longForm = vr == "OB" || vr == "UN" || vr == "SQ";
        uint32_t length = longForm ? *reinterpret_cast<const uint32_t *>(file.data() + at + 8)
                                   : *reinterpret_cast<const uint16_t *>(file.data() + at + 6);
        at += (longForm ? 12 : 8) + length;
    }
    return at;
}

std::string zlibInflate(const std::string &stream) {
    z_stream z{};
    inflateInit2(&z, -15);
    std::string out(1 << 20, '\0');
    z.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(stream.data()));
    z.avail_in = static_cast<uInt>(stream.size());
    z.next_out = reinterpret_cast<Bytef *>(out.data());
    z.avail_out = static_cast<uInt>(out.size());
    int status = inflate(&z, Z_FINISH);
    out.resize(status == Z_STREAM_END ? z.total_out : 0);
    inflateEnd(&z);
    return out;
}

std::string zlibWrapped(const std::string &plain) {
    uLongf size = compressBound(plain.size());
    std::string out(size, '\0');
    compress(reinterpret_cast<Bytef *>(out.data()), &size, reinterpret_cast<const Bytef *>(plain.data()),
             plain.size());
    out.resize(size);
    return out;
}

std::string slurp(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

bool succeeds(const std::string &command) {
    int status = std::system((command + " >/dev/null 2>&1").c_str());
    return status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

class Deflated : public readertest::ReaderTest {
   protected:
    void SetUp() override {
        ReaderTest::SetUp();
        useDeflateDictionary(app);
        ASSERT_EQ(native_LibraryInit(&app), 0);
        source = write(readertest::fileWith(dataSet(), kExplicit), "source.dcm");
    }

    std::string file(const std::string &name) const { return (dir / name).string(); }

    // Reads `in` and writes it to `out` in the syntax named by `uid` (TS_OTHER lets the writer map it).
    int16_t convert(const std::string &in, const std::string &out, const char *uid) {
        DO_closeObject(&io.object);
        init_IOObject(&io);
        io.metaSyntax = io.dataSyntax = -1;
        int16_t status = DO_importObjectFromFile(&app, in.c_str(), &io);
        if (status != 0) return status;
        io.dataSyntax = TS_OTHER;
        std::snprintf(io.transferSyntaxUID, sizeof io.transferSyntaxUID, "%s", uid);
        return DO_copyObjectToFile(&app, &io, out.c_str());
    }

    // The dcmdump lines of a file's data set (group 0002 and comments left out).
    static std::string dataSetDump(const std::string &path) {
        std::string out;
        FILE *pipe = popen(("dcmdump +L " + path).c_str(), "r");
        char line[4096];
        while (pipe != nullptr && std::fgets(line, sizeof line, pipe) != nullptr)
            if (line[0] == '(' && std::strncmp(line, "(0002,", 6) != 0) out += line;
        if (pipe != nullptr) pclose(pipe);
        return out;
    }

    std::string source;
};

TEST_F(Deflated, TheDataSetIsOneRawDeflateStreamAndReadsBackUnchanged) {
    ASSERT_EQ(convert(source, file("explicit.dcm"), kExplicit), 0);
    ASSERT_EQ(convert(source, file("deflated.dcm"), kDeflated), 0);
    EXPECT_EQ(io.dataSyntax, TS_OTHER);
    EXPECT_STREQ(io.transferSyntaxUID, kDeflated);
    std::string plain = slurp(file("explicit.dcm"));
    std::string packed = slurp(file("deflated.dcm"));
    size_t plainStart = dataSetStart(plain), packedStart = dataSetStart(packed);
    EXPECT_EQ(packed.size() % 2, 0u);
    EXPECT_NE(packed.substr(132, packedStart - 132).find(kDeflated), std::string::npos);
    // The group length counts the longer Transfer Syntax UID.
    EXPECT_EQ(*reinterpret_cast<const uint32_t *>(packed.data() + 140), packedStart - 144);
    std::string inflated = zlibInflate(packed.substr(packedStart));
    EXPECT_EQ(inflated, plain.substr(plainStart));

    // Read back: the object is in the deflated syntax; written out again explicitly, it is the
    // same file byte for byte, pixels included.
    ASSERT_EQ(convert(file("deflated.dcm"), file("again.dcm"), kExplicit), 0);
    EXPECT_EQ(slurp(file("again.dcm")), plain);
    ASSERT_EQ(convert(file("deflated.dcm"), file("redeflated.dcm"), kDeflated), 0);
    EXPECT_EQ(slurp(file("redeflated.dcm")), packed);
    EXPECT_EQ(problems(), "");
}

TEST_F(Deflated, ZlibWrappedStreamsAreReadAndDamagedOnesRefused) {
    ASSERT_EQ(convert(source, file("explicit.dcm"), kExplicit), 0);
    ASSERT_EQ(convert(source, file("deflated.dcm"), kDeflated), 0);
    std::string packed = slurp(file("deflated.dcm"));
    size_t start = dataSetStart(packed);
    std::string plain = slurp(file("explicit.dcm"));
    std::string wrapped = packed.substr(0, start) + zlibWrapped(plain.substr(dataSetStart(plain)));
    std::ofstream(file("wrapped.dcm"), std::ios::binary) << wrapped;
    ASSERT_EQ(convert(file("wrapped.dcm"), file("unwrapped.dcm"), kExplicit), 0);
    EXPECT_EQ(slurp(file("unwrapped.dcm")), plain);

    std::string cut = file("truncated.dcm");
    std::ofstream(cut, std::ios::binary) << packed.substr(0, start + (packed.size() - start) / 2);
    io.metaSyntax = io.dataSyntax = -1;
    EXPECT_EQ(DO_importObjectFromFile(&app, cut.c_str(), &io), -1);
    EXPECT_EQ(problems(), "Error: Deflated data set of " + cut + " cannot be inflated\n");
}

TEST_F(Deflated, DcmtkAndGdcmReadVelmarsFilesAndVelmarReadsTheirs) {
    if (!succeeds("command -v dcmconv") || !succeeds("command -v gdcmconv"))
        GTEST_SKIP() << "DCMTK (dcmconv, dcmdump) or GDCM (gdcmconv) is not installed";
    ASSERT_EQ(convert(source, file("explicit.dcm"), kExplicit), 0);
    ASSERT_EQ(convert(source, file("deflated.dcm"), kDeflated), 0);
    std::string expected = dataSetDump(file("explicit.dcm"));
    ASSERT_NE(expected.find("(7fe0,0010)"), std::string::npos);
    ASSERT_TRUE(succeeds("dcmconv -e +te " + file("deflated.dcm") + " " + file("dcmtk.dcm")));
    EXPECT_EQ(dataSetDump(file("dcmtk.dcm")), expected);
    ASSERT_TRUE(succeeds("gdcmconv -w " + file("deflated.dcm") + " " + file("gdcm.dcm")));
    EXPECT_EQ(dataSetDump(file("gdcm.dcm")), expected);

    for (const char *peer : {"dcmconv -e +td", "gdcmconv --deflated"}) {
        SCOPED_TRACE(peer);
        ASSERT_TRUE(succeeds(std::string(peer) + " " + file("explicit.dcm") + " " + file("peer.dcm")));
        ASSERT_EQ(convert(file("peer.dcm"), file("back.dcm"), kExplicit), 0);
        EXPECT_EQ(dataSetDump(file("back.dcm")), expected);
    }
}

}  // namespace
