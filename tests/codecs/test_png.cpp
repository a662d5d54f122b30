// PNG codec round trips through the writer and the reader: native pixels written as one PNG
// stream per frame under "4.4.4.4.4.4.4.4.4.1", read back and written natively again, must equal
// the source byte for byte. Also the encapsulated structure, the sBIT chunk, every option value,
// images the codec refuses, damaged streams, and checks against dcmdump and pydicom.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "dicom/test_reader_bytes.h"
#include "velmar.h"

namespace {

using readertest::Bytes;

constexpr const char *kExplicitLittle = "1.2.840.10008.1.2.1";
constexpr const char *kPngSignature = "\x89PNG\r\n\x1a\n";

struct Shape {
    uint16_t rows = 4;
    uint16_t columns = 6;
    uint16_t samples = 1;
    uint16_t bitsAllocated = 8;
    uint16_t bitsStored = 8;
    uint16_t highBit = 7;
    uint16_t signedPixels = 0;
    uint16_t frames = 1;

    size_t frameBytes() const {
        return (static_cast<size_t>(rows) * columns * samples * bitsAllocated + 7) / 8;
    }
};

std::string evenText(std::string text, char pad) {
    if (text.size() % 2 != 0) text.push_back(pad);
    return text;
}

// A PS3.10 file in explicit VR little endian with a Secondary Capture image of `shape`.
Bytes sourceFile(const Shape &s, const std::vector<uint8_t> &pixels) {
    Bytes ds(1);
    ds.element(0x0008, 0x0016, "UI", evenText("1.2.840.10008.5.1.4.1.1.7", '\0'));
    ds.element(0x0008, 0x0018, "UI", evenText("1.2.826.0.1.3680043.2.1143.7", '\0'));
    ds.us(0x0028, 0x0002, s.samples);
    ds.element(0x0028, 0x0004, "CS", s.samples == 3 ? "RGB " : "MONOCHROME2 ");
    if (s.samples > 1) ds.us(0x0028, 0x0006, 0);
    ds.element(0x0028, 0x0008, "IS", evenText(std::to_string(s.frames), ' '));
    ds.us(0x0028, 0x0010, s.rows);
    ds.us(0x0028, 0x0011, s.columns);
    ds.us(0x0028, 0x0100, s.bitsAllocated);
    ds.us(0x0028, 0x0101, s.bitsStored);
    ds.us(0x0028, 0x0102, s.highBit);
    ds.us(0x0028, 0x0103, s.signedPixels);
    std::vector<uint8_t> value = pixels;
    if (value.size() % 2 != 0) value.push_back(0);
    ds.header(0x7FE0, 0x0010, s.bitsAllocated > 8 ? "OW" : "OB", static_cast<uint32_t>(value.size()));
    ds.raw(value.data(), value.size());
    return readertest::fileWith(ds, kExplicitLittle);
}

// Deterministic pixels that use the whole stored range and differ from frame to frame.
std::vector<uint8_t> makePixels(const Shape &s, uint32_t seed) {
    std::vector<uint8_t> out(s.frameBytes() * s.frames);
    uint32_t x = seed * 2654435761u + 12345u;
    for (size_t i = 0; i < out.size(); ++i) {
        x = x * 1103515245u + 12345u;
        out[i] = static_cast<uint8_t>(x >> 16);
    }
    if (s.bitsAllocated == 16 && s.bitsStored < 16) {
        // Samples confined to bits stored (unsigned) or sign-extended from it (signed).
        for (size_t i = 0; i + 1 < out.size(); i += 2) {
            uint16_t v = static_cast<uint16_t>(out[i] | (out[i + 1] << 8));
            v &= static_cast<uint16_t>((1u << s.bitsStored) - 1);
            if (s.signedPixels != 0 && (v & (1u << (s.bitsStored - 1))) != 0)
                v |= static_cast<uint16_t>(~((1u << s.bitsStored) - 1));
            out[i] = static_cast<uint8_t>(v);
            out[i + 1] = static_cast<uint8_t>(v >> 8);
        }
    }
    if (s.bitsAllocated == 8 && s.bitsStored < 8)
        for (auto &b : out) b &= static_cast<uint8_t>((1u << s.bitsStored) - 1);
    if (s.bitsAllocated < 8) {
        // Bits past the last sample of a frame carry nothing and stay zero.
        size_t bits = static_cast<size_t>(s.rows) * s.columns * s.samples * s.bitsAllocated;
        if (bits % 8 != 0)
            for (size_t f = 0; f < s.frames; ++f)
                out[f * s.frameBytes() + s.frameBytes() - 1] &= static_cast<uint8_t>((1u << (bits % 8)) - 1);
    }
    return out;
}

std::string readAll(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

bool runs(const char *command) {
    int status = std::system(command);
    return status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

std::string output(const std::string &command) {
    std::string out;
    FILE *pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) return out;
    char buffer[4096];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) out.append(buffer, n);
    pclose(pipe);
    return out;
}

class PngRoundTrip : public ::testing::Test {
protected:
    void SetUp() override {
        setenv("VELMAR_DEF_PATH", VELMAR_SHARE_DIR, 0);
        char title[VELMAR_TITLE_SIZE];
        ASSERT_EQ(init_AppData(&app, "test_png", "1", title), 0);
        ASSERT_EQ(InitTagDef(&app, 0), 0) << "the attribute dictionary is needed to write files";
        ASSERT_EQ(native_LibraryInit(&app), 0);
        ASSERT_EQ(png_LibraryInit(&app), 0);
        dir = std::filesystem::temp_directory_path() /
              ("velmar_png_" + std::to_string(::getpid()) + "_" +
               ::testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::create_directories(dir);
    }
    void TearDown() override {
        DoneTagDef(&app);
        done_AppData(&app);
        std::error_code ignored;
        std::filesystem::remove_all(dir, ignored);
    }

    std::string path(const std::string &name) const { return (dir / name).string(); }

    std::string writeSource(const Shape &s, const std::vector<uint8_t> &pixels) {
        Bytes file = sourceFile(s, pixels);
        std::string name = path("source.dcm");
        std::ofstream(name, std::ios::binary)
            .write(reinterpret_cast<const char *>(file.data.data()), static_cast<std::streamsize>(file.size()));
        return name;
    }

    // Reads `in` and writes it to `out` in `syntax` (code 3 with `uid`).
    int16_t convert(const std::string &in, const std::string &out, int32_t syntax, const char *uid) {
        IOObject io;
        init_IOObject(&io);
        io.metaSyntax = -1;
        io.dataSyntax = -1;
        io.hasPreamble = 1;
        int16_t status = DO_importObjectFromFile(&app, in.c_str(), &io);
        if (status == 0) {
            io.dataSyntax = syntax;
            std::snprintf(io.transferSyntaxUID, sizeof io.transferSyntaxUID, "%s", uid);
            status = DO_copyObjectToFile(&app, &io, out.c_str());
        }
        DO_closeObject(&io.object);
        return status;
    }

    // The bytes of every frame-table entry of the file's Pixel Data, one string per entry.
    std::vector<std::string> fragments(const std::string &file, PixelDataDescriptor *shape_out = nullptr) {
        std::vector<std::string> out;
        IOObject io;
        init_IOObject(&io);
        io.metaSyntax = -1;
        io.dataSyntax = -1;
        if (DO_importObjectFromFile(&app, file.c_str(), &io) != 0) {
            DO_closeObject(&io.object);
            return out;
        }
        PixelDataDescriptor *pds = get_ppds(&app, io.object);
        if (pds != nullptr) {
            std::string bytes = readAll(file);
            for (uint32_t i = 0; i < pds->entryCount; ++i) {
                const PixelFrameEntry &e = pds->frames[i];
                out.push_back(e.offset + static_cast<size_t>(e.length) <= bytes.size() ? bytes.substr(e.offset, e.length)
                                                                                         : std::string());
            }
            if (shape_out != nullptr) std::memcpy(shape_out, pds, VELMAR_PDS_FIXED_SIZE);
            std::free(pds);
        }
        DO_closeObject(&io.object);
        return out;
    }

    std::string pixelsOf(const std::string &file) {
        std::string all;
        for (const std::string &f : fragments(file)) all += f;
        return all;
    }

    // source -> PNG -> native; returns the native pixels (the PNG file stays as png.dcm).
    std::string roundTrip(const Shape &s, const std::vector<uint8_t> &pixels) {
        std::string source = writeSource(s, pixels);
        EXPECT_EQ(convert(source, path("png.dcm"), TS_OTHER, VELMAR_PNG_TRANSFER_SYNTAX_UID), 0);
        EXPECT_EQ(convert(path("png.dcm"), path("back.dcm"), TS_EXPLICIT_LITTLE, kExplicitLittle), 0);
        std::string back = pixelsOf(path("back.dcm"));
        // The native value is padded to an even length.
        if (back.size() == pixels.size() + 1 && back.back() == '\0') back.pop_back();
        return back;
    }

    static std::string bytesOf(const std::vector<uint8_t> &v) { return std::string(v.begin(), v.end()); }

    AppData app{};
    std::filesystem::path dir;
};

TEST_F(PngRoundTrip, EightBitFramesBecomeOnePngStreamEach) {
    Shape s;
    s.rows = 5;
    s.columns = 7;
    s.frames = 3;
    std::vector<uint8_t> pixels = makePixels(s, 1);
    ASSERT_EQ(roundTrip(s, pixels), bytesOf(pixels));

    PixelDataDescriptor shape{};
    std::vector<std::string> streams = fragments(path("png.dcm"), &shape);
    ASSERT_EQ(streams.size(), 3u);
    EXPECT_STREQ(shape.transferSyntaxUID, VELMAR_PNG_TRANSFER_SYNTAX_UID);
    EXPECT_EQ(shape.entryCount, 3);
    for (const std::string &stream : streams) EXPECT_EQ(stream.rfind(kPngSignature, 0), 0u);
    // Each frame is its own stream: frame 2 differs from frame 1.
    EXPECT_NE(streams[0], streams[1]);
}

TEST_F(PngRoundTrip, SixteenBitFramesComeBackUnchanged) {
    Shape s;
    s.bitsAllocated = s.bitsStored = 16;
    s.highBit = 15;
    s.rows = 9;
    s.columns = 11;
    s.frames = 2;
    std::vector<uint8_t> pixels = makePixels(s, 2);
    EXPECT_EQ(roundTrip(s, pixels), bytesOf(pixels));

    s.frames = 1;
    pixels = makePixels(s, 3);
    EXPECT_EQ(roundTrip(s, pixels), bytesOf(pixels));
}

TEST_F(PngRoundTrip, TwelveBitsStoredAreRecordedAsSignificantBits) {
    Shape s;
    s.bitsAllocated = 16;
    s.bitsStored = 12;
    s.highBit = 11;
    s.rows = 8;
    s.columns = 8;
    s.frames = 2;
    std::vector<uint8_t> pixels = makePixels(s, 4);
    ASSERT_EQ(roundTrip(s, pixels), bytesOf(pixels));
    std::vector<std::string> streams = fragments(path("png.dcm"));
    ASSERT_EQ(streams.size(), 2u);
    EXPECT_NE(streams[0].find("sBIT"), std::string::npos);

    // Signed samples, sign-extended above bit 11, cannot be scaled: written as they are.
    s.signedPixels = 1;
    pixels = makePixels(s, 5);
    ASSERT_EQ(roundTrip(s, pixels), bytesOf(pixels));
    streams = fragments(path("png.dcm"));
    ASSERT_EQ(streams.size(), 2u);
    EXPECT_EQ(streams[0].find("sBIT"), std::string::npos);
}

// 1-bit frames follow each other bit by bit: 3 frames of 5 x 5 are 75 bits in 10 bytes, and each
// PNG stream holds one frame's 25 bits. Two and four bits allocated are not DICOM layouts.
TEST_F(PngRoundTrip, BitPackedFramesAndUnsupportedBitDepths) {
    Shape s;
    s.bitsAllocated = s.bitsStored = 1;
    s.highBit = 0;
    s.rows = s.columns = 5;
    s.frames = 3;
    std::vector<uint8_t> pixels(10);
    for (size_t i = 0; i < pixels.size(); ++i) pixels[i] = static_cast<uint8_t>(0x9D * (i + 3));
    pixels.back() &= 0x07;
    roundTrip(s, pixels);
    EXPECT_EQ(fragments(path("png.dcm")).size(), 3u);
    // The native frame entries overlap in their shared bytes: compare the whole value.
    PixelDataDescriptor shape{};
    fragments(path("back.dcm"), &shape);
    EXPECT_EQ(readAll(path("back.dcm")).substr(shape.pixelOffset, pixels.size()), bytesOf(pixels));
    EXPECT_EQ(shape.pixelLength, pixels.size());

    for (uint16_t bits : {2, 4}) {
        s.bitsAllocated = s.bitsStored = bits;
        s.highBit = static_cast<uint16_t>(bits - 1);
        s.frames = 1;
        std::string source = writeSource(s, std::vector<uint8_t>(s.frameBytes(), 1));
        EXPECT_NE(convert(source, path("packed.dcm"), TS_OTHER, VELMAR_PNG_TRANSFER_SYNTAX_UID), 0) << bits;
    }
}

TEST_F(PngRoundTrip, ColourSamplesSideBySide) {
    Shape s;
    s.samples = 3;
    s.rows = 3;
    s.columns = 5;
    s.frames = 2;
    std::vector<uint8_t> pixels = makePixels(s, 6);
    EXPECT_EQ(roundTrip(s, pixels), bytesOf(pixels));
}

TEST_F(PngRoundTrip, EveryOptionValueRoundTrips) {
    Shape s;
    s.bitsAllocated = s.bitsStored = 16;
    s.highBit = 15;
    s.rows = 10;
    s.columns = 13;
    s.frames = 2;
    std::vector<uint8_t> pixels = makePixels(s, 7);
    std::vector<std::string> texts;
    for (int f = 0; f <= 6; ++f) texts.push_back("f=" + std::to_string(f));
    for (int c = 0; c <= 9; ++c) texts.push_back("c=" + std::to_string(c));
    texts.push_back("i=1");
    texts.push_back("i=1,f=6,c=9");
    for (const std::string &text : texts) {
        ASSERT_EQ(passCmdlineParametersToCodec(&app, "png", text.c_str()), 0) << text;
        EXPECT_EQ(roundTrip(s, pixels), bytesOf(pixels)) << text;
    }
}

TEST_F(PngRoundTrip, OptionsReachTheStream) {
    // A flat image: level 9 compresses far better than level 0 (stored blocks).
    Shape s;
    s.rows = 64;
    s.columns = 64;
    std::vector<uint8_t> flat(s.frameBytes(), 17);
    ASSERT_EQ(passCmdlineParametersToCodec(&app, "png", "c=0"), 0);
    ASSERT_EQ(roundTrip(s, flat), bytesOf(flat));
    size_t stored = fragments(path("png.dcm")).at(0).size();
    ASSERT_EQ(passCmdlineParametersToCodec(&app, "png", "c=9"), 0);
    ASSERT_EQ(roundTrip(s, flat), bytesOf(flat));
    size_t packed = fragments(path("png.dcm")).at(0).size();
    EXPECT_GT(stored, 64u * 64u);
    EXPECT_LT(packed * 10, stored);

    // Interlace is recorded in the header: byte 12 of IHDR data (stream offset 28).
    ASSERT_EQ(passCmdlineParametersToCodec(&app, "png", "i=1"), 0);
    std::vector<uint8_t> pixels = makePixels(s, 8);
    ASSERT_EQ(roundTrip(s, pixels), bytesOf(pixels));
    std::string stream = fragments(path("png.dcm")).at(0);
    ASSERT_GT(stream.size(), 28u);
    EXPECT_EQ(stream[28], 1);
}

TEST_F(PngRoundTrip, ThirtyTwoBitSamplesRoundTripAndOddBitsAllocatedAreRefused) {
    Shape s;
    s.bitsAllocated = s.bitsStored = 32;
    s.highBit = 31;
    s.rows = 2;
    s.columns = 3;
    std::vector<uint8_t> pixels = makePixels(s, 7);
    EXPECT_EQ(roundTrip(s, pixels), bytesOf(pixels));

    s.bitsAllocated = s.bitsStored = 12;
    s.highBit = 11;
    std::string source = writeSource(s, std::vector<uint8_t>(s.frameBytes(), 3));
    EXPECT_NE(convert(source, path("png12.dcm"), TS_OTHER, VELMAR_PNG_TRANSFER_SYNTAX_UID), 0);
    // Nothing half-written is left under the target name.
    EXPECT_FALSE(std::filesystem::exists(path("png12.dcm")));
}

TEST_F(PngRoundTrip, DamagedStreamsFailToDecode) {
    Shape s;
    s.rows = 16;
    s.columns = 16;
    s.frames = 2;
    std::vector<uint8_t> pixels = makePixels(s, 9);
    ASSERT_EQ(roundTrip(s, pixels), bytesOf(pixels));

    // Damage the compressed data of frame 2 (its CRC no longer matches).
    PixelDataDescriptor shape{};
    std::string file = readAll(path("png.dcm"));
    IOObject io;
    init_IOObject(&io);
    io.metaSyntax = io.dataSyntax = -1;
    ASSERT_EQ(DO_importObjectFromFile(&app, path("png.dcm").c_str(), &io), 0);
    PixelDataDescriptor *pds = get_ppds(&app, io.object);
    ASSERT_NE(pds, nullptr);
    ASSERT_EQ(pds->entryCount, 2);
    size_t idat = file.find("IDAT", pds->frames[1].offset);
    std::memcpy(&shape, pds, VELMAR_PDS_FIXED_SIZE);
    std::free(pds);
    DO_closeObject(&io.object);
    ASSERT_NE(idat, std::string::npos);
    file[idat + 6] = static_cast<char>(file[idat + 6] ^ 0x55);
    std::ofstream(path("bad.dcm"), std::ios::binary) << file;
    EXPECT_NE(convert(path("bad.dcm"), path("out.dcm"), TS_EXPLICIT_LITTLE, kExplicitLittle), 0);

    // A stream cut short is refused too, not read past its end.
    std::string cut = readAll(path("png.dcm"));
    size_t iend = cut.find("IEND", shape.pixelOffset);
    ASSERT_NE(iend, std::string::npos);
    std::ofstream(path("cut.dcm"), std::ios::binary) << cut.substr(0, iend - 40);
    EXPECT_NE(convert(path("cut.dcm"), path("out2.dcm"), TS_EXPLICIT_LITTLE, kExplicitLittle), 0);
}

TEST_F(PngRoundTrip, DcmdumpReadsTheEncapsulatedStructure) {
    if (!runs("command -v dcmdump >/dev/null 2>&1")) GTEST_SKIP() << "dcmdump (DCMTK) is not installed";
    Shape s;
    s.bitsAllocated = s.bitsStored = 16;
    s.highBit = 15;
    s.frames = 3;
    std::vector<uint8_t> pixels = makePixels(s, 11);
    ASSERT_EQ(roundTrip(s, pixels), bytesOf(pixels));
    std::string dump = output("dcmdump -q " + path("png.dcm") + " 2>&1");
    EXPECT_NE(dump.find("PixelSequence #=4"), std::string::npos) << dump;  // offset table + 3 frames
    size_t streams = 0;
    for (size_t at = dump.find("pi 89\\50\\4e\\47"); at != std::string::npos; at = dump.find("pi 89\\50\\4e\\47", at + 1))
        ++streams;
    EXPECT_EQ(streams, 3u) << dump;
    EXPECT_NE(dump.find("4.4.4.4.4.4.4.4.4.1"), std::string::npos);
}

// With pydicom: the frames of the PNG file, split by pydicom from the encapsulated value, are
// decoded by an independent PNG reader (zlib and the five row filters) and compared with the
// source pixels that pydicom reads from the source file.
TEST_F(PngRoundTrip, PydicomFramesDecodeToTheSourcePixels) {
    if (!runs("/usr/bin/python3 -c 'import pydicom' >/dev/null 2>&1"))
        GTEST_SKIP() << "/usr/bin/python3 with pydicom is not installed";
    const char *script = R"PY(
import struct, sys, zlib
import pydicom
from pydicom.encaps import generate_pixel_data_frame

def decode(png):
    assert png[:8] == b"\x89PNG\r\n\x1a\n"
    pos, idat, sbit = 8, b"", None
    while pos < len(png):
        n, kind = struct.unpack(">I4s", png[pos:pos + 8])
        data = png[pos + 8:pos + 8 + n]
        assert zlib.crc32(kind + data) == struct.unpack(">I", png[pos + 8 + n:pos + 12 + n])[0]
        if kind == b"IHDR":
            w, h, depth, colour, _, _, interlace = struct.unpack(">IIBBBBB", data)
            assert colour == 0 and interlace == 0
        elif kind == b"sBIT":
            sbit = data[0]
        elif kind == b"IDAT":
            idat += data
        elif kind == b"IEND":
            break  # an item of odd length carries one pad byte after the stream
        pos += 12 + n
    raw, bpp = zlib.decompress(idat), max(1, depth // 8)
    stride = (w * depth + 7) // 8
    rows, prev, at = [], bytearray(stride), 0
    for _ in range(h):
        f, line = raw[at], bytearray(raw[at + 1:at + 1 + stride])
        at += 1 + stride
        for i in range(stride):
            a = line[i - bpp] if i >= bpp else 0
            b, c = prev[i], prev[i - bpp] if i >= bpp else 0
            if f == 1: line[i] = (line[i] + a) & 255
            elif f == 2: line[i] = (line[i] + b) & 255
            elif f == 3: line[i] = (line[i] + (a + b) // 2) & 255
            elif f == 4:
                p = a + b - c
                pa, pb, pc = abs(p - a), abs(p - b), abs(p - c)
                line[i] = (line[i] + (a if pa <= pb and pa <= pc else b if pb <= pc else c)) & 255
        rows.append(bytes(line))
        prev = line
    out = bytearray()
    for line in rows:
        if depth == 16:
            for i in range(0, len(line), 2):
                v = (line[i] << 8) | line[i + 1]
                if sbit: v >>= 16 - sbit
                out += struct.pack("<H", v)
        else:
            out += line
    return bytes(out)

png, source = pydicom.dcmread(sys.argv[1]), pydicom.dcmread(sys.argv[2])
frames = list(generate_pixel_data_frame(png.PixelData, int(png.NumberOfFrames)))
size = len(source.PixelData) // int(source.NumberOfFrames)
assert len(frames) == int(source.NumberOfFrames), len(frames)
for i, frame in enumerate(frames):
    assert decode(frame) == source.PixelData[i * size:(i + 1) * size], "frame %d differs" % (i + 1)
print("frames match", len(frames))
)PY";
    std::ofstream(path("check.py")) << script;
    for (uint16_t bitsStored : {8, 12, 16}) {
        Shape s;
        s.bitsAllocated = bitsStored > 8 ? 16 : 8;
        s.bitsStored = bitsStored;
        s.highBit = static_cast<uint16_t>(bitsStored - 1);
        s.rows = 7;
        s.columns = 9;
        s.frames = 3;
        std::vector<uint8_t> pixels = makePixels(s, 20 + bitsStored);
        ASSERT_EQ(roundTrip(s, pixels), bytesOf(pixels));
        std::string result =
            output("/usr/bin/python3 " + path("check.py") + " " + path("png.dcm") + " " + path("source.dcm") + " 2>&1");
        EXPECT_EQ(result, "frames match 3\n") << bitsStored << " bits stored";
    }
}

}  // namespace
