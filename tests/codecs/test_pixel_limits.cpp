// Pixel Data at the edges of its counts and sizes, through the program: a count of frames above
// 16 bits converts whole, and a value its geometry does not account for, a Bits Allocated that is
// not 1, 8, 16 or 32 or an unusable Number of Frames is refused with a message naming the cause,
// leaving no file behind; float and double float pixels convert byte for byte.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <tuple>

#include "dicom/test_reader_bytes.h"

namespace {

namespace fs = std::filesystem;
using readertest::Bytes;

struct Image {
    std::optional<uint16_t> rows = 1, columns = 1;
    uint16_t bits = 8;
    std::string frames = "1";
    uint32_t valueBytes = 1;
    uint16_t pixelElement = 0x0010;  // 0x0008 Float, 0x0009 Double Float Pixel Data
    const char *pixelVR = nullptr;   // OB or OW by the bits when not given
    bool fragments = false;          // encapsulated: an empty offset table and one fragment
};

std::string slurp(const fs::path &path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

class PixelLimits : public ::testing::Test {
   protected:
    fs::path dir =
        fs::temp_directory_path() / ("velmar_limits_" + std::to_string(::getpid()) + "_" +
                                     ::testing::UnitTest::GetInstance()->current_test_info()->name());
    void SetUp() override { fs::create_directories(dir); }
    void TearDown() override {
        std::error_code ignored;
        fs::remove_all(dir, ignored);
    }

    fs::path write(const Image &image) {
        Bytes ds(1);
        ds.element(0x0008, 0x0016, "UI", std::string("1.2.840.10008.5.1.4.1.1.7") + '\0');
        ds.element(0x0008, 0x0018, "UI", "1.2.3.4.5.6 ");
        ds.us(0x0028, 0x0002, 1);
        ds.element(0x0028, 0x0004, "CS", "MONOCHROME2 ");
        std::string frames = image.frames;
        if (frames.size() % 2 != 0) frames += ' ';
        ds.element(0x0028, 0x0008, "IS", frames);
        if (image.rows) ds.us(0x0028, 0x0010, *image.rows);
        if (image.columns) ds.us(0x0028, 0x0011, *image.columns);
        ds.us(0x0028, 0x0100, image.bits);
        ds.us(0x0028, 0x0101, image.bits);
        ds.us(0x0028, 0x0102, static_cast<uint16_t>(image.bits - 1));
        ds.us(0x0028, 0x0103, 0);
        uint32_t length = image.valueBytes + (image.valueBytes & 1);
        std::string value(length, '\0');
        for (uint32_t i = 0; i < image.valueBytes; ++i) value[i] = static_cast<char>(i * 7 + i / 251);
        const char *vr = image.pixelVR != nullptr ? image.pixelVR : image.bits > 8 ? "OW" : "OB";
        if (image.fragments) {
            ds.header(0x7FE0, 0x0010, "OB", 0xFFFFFFFFu);
            ds.u16(0xFFFE).u16(0xE000).u32(0);
            ds.u16(0xFFFE).u16(0xE000).u32(length).text(value);
            ds.u16(0xFFFE).u16(0xE0DD).u32(0);
        } else {
            ds.header(0x7FE0, image.pixelElement, vr, length);
            ds.text(value);
        }
        Bytes file = readertest::fileWith(ds, "1.2.840.10008.1.2.1");
        fs::path path = dir / "in.dcm";
        std::ofstream(path, std::ios::binary)
            .write(reinterpret_cast<const char *>(file.data.data()),
                   static_cast<std::streamsize>(file.size()));
        return path;
    }

    // Runs velmar convert; the exit status, with standard error in `err`.
    int convert(const fs::path &in, const std::string &syntax, const std::string &out, std::string *err) {
        fs::path errors = dir / "stderr";
        std::string command = std::string("VELMAR_DEF_PATH='") + VELMAR_SHARE_DIR + "' '" +
                              VELMAR_BINARY_DIR + "/velmar' convert -s " + syntax + " '" + in.string() +
                              "' '" + (dir / out).string() + "' >/dev/null 2>'" + errors.string() + "'";
        int status = std::system(command.c_str());
        *err = slurp(errors);
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    void expectRefused(const Image &image, const std::string &cause) {
        std::string err;
        EXPECT_NE(convert(write(image), "big", "out.dcm", &err), 0);
        EXPECT_NE(err.find("Error: " + cause), std::string::npos) << err;
        EXPECT_NE(err.find("not fully saved"), std::string::npos) << err;
        EXPECT_LT(err.find(cause), err.find("not fully saved")) << "the cause comes first:\n" << err;
        EXPECT_FALSE(fs::exists(dir / "out.dcm"));
    }
};

TEST_F(PixelLimits, SeventyThousandFramesConvertWhole) {
    Image image;
    image.frames = "70000";
    image.valueBytes = 70000;
    fs::path in = write(image);
    std::string source = slurp(in);
    std::string err;
    for (const char *syntax : {"big", "implicit"}) {
        ASSERT_EQ(convert(in, syntax, "out.dcm", &err), 0) << syntax << ": " << err;
        std::string out = slurp(dir / "out.dcm");
        // The whole value follows its header, byte for byte (8-bit samples are never swapped).
        EXPECT_NE(out.find(source.substr(source.size() - 70000)), std::string::npos) << syntax;
        EXPECT_NE(out.find("70000"), std::string::npos);
    }
    // Encapsulated frames are numbered in 16 bits: such a file could not be read back whole.
    std::string png;
    EXPECT_NE(convert(in, "png", "out.png.dcm", &png), 0);
    EXPECT_NE(png.find("Error: encapsulated Pixel Data holds at most 65535 frames; this image has 70000"),
              std::string::npos)
        << png;
}

TEST_F(PixelLimits, ValuesTheirGeometryDoesNotAccountForAreRefused) {
    Image noRows;
    noRows.rows.reset();
    noRows.columns = 16;
    noRows.valueBytes = 256;
    std::string err;
    EXPECT_NE(convert(write(noRows), "explicit", "out.dcm", &err), 0);
    EXPECT_NE(err.find("Warning: Pixel Data of 256 bytes does not match its geometry"), std::string::npos)
        << err;
    EXPECT_NE(err.find("are 16 bytes"), std::string::npos) << err;
    expectRefused(noRows,
                  "Pixel Data holds 256 bytes but 1 frames of 1 x 16 x 1 samples of 8 bits account for 16: "
                  "the conversion would lose bytes");

    Image fewerFrames;
    fewerFrames.rows = fewerFrames.columns = 2;
    fewerFrames.frames = "2";
    fewerFrames.valueBytes = 12;
    expectRefused(fewerFrames, "Pixel Data holds 12 bytes but 2 frames");
    fewerFrames.frames = "4";
    expectRefused(fewerFrames,
                  "Pixel Data holds 12 bytes but 4 frames of 2 x 2 x 1 samples of 8 bits account for "
                  "16: the conversion would find frames short in the source");
}

TEST_F(PixelLimits, CountsAndBitDepthsOutsideTheirRangeAreRefused) {
    for (const char *frames : {"0", "65536", "2147483648", "4294967296", "x"}) {
        Image image;
        image.frames = frames;
        std::string expected = std::string(frames) == "65536" || std::string(frames) == "2147483648"
                                   ? "Pixel Data holds 2 bytes but"
                                   : "Number of Frames (0028,0008) is not a count from 1 to 4294967295";
        SCOPED_TRACE(frames);
        expectRefused(image, expected);
    }
    Image three;
    three.bits = 3;
    expectRefused(three, "Bits Allocated (0028,0100) of 3 is not 1, 8, 16 or 32");
    // Fragments under an uncompressed syntax would be read as raw samples.
    Image fragments;
    fragments.fragments = true;
    fragments.valueBytes = 2;
    expectRefused(fragments,
                  "Pixel Data holds encapsulated fragments, but transfer syntax 1.2.840.10008.1.2.1 "
                  "is uncompressed");
}

// Float (32-bit, OF) and double float (64-bit, OD) pixels keep every byte through the syntaxes,
// reversed by whole samples in big endian; 64 bits of integer Pixel Data are refused.
TEST_F(PixelLimits, FloatPixelsConvertExactlyThroughTheSyntaxes) {
    using Float = std::tuple<uint16_t, uint16_t, const char *>;
    for (auto [bits, element, vr] : {Float{32, 0x0008, "OF"}, Float{64, 0x0009, "OD"}}) {
        SCOPED_TRACE(vr);
        Image image;
        image.rows = 3;
        image.columns = 2;
        image.frames = "2";
        image.bits = bits;
        image.pixelElement = element;
        image.pixelVR = vr;
        image.valueBytes = 2u * 3u * 2u * bits / 8u;
        fs::path in = write(image);
        std::string source = slurp(in);
        std::string value = source.substr(source.size() - image.valueBytes);
        std::string swapped = value;
        for (size_t at = 0; at < swapped.size(); at += bits / 8u)
            std::reverse(swapped.begin() + static_cast<std::ptrdiff_t>(at),
                         swapped.begin() + static_cast<std::ptrdiff_t>(at + bits / 8u));
        std::string err;
        ASSERT_EQ(convert(in, "big", "big.dcm", &err), 0) << err;
        std::string big = slurp(dir / "big.dcm");
        EXPECT_EQ(big.substr(big.size() - value.size()), swapped);
        ASSERT_EQ(convert(dir / "big.dcm", "implicit", "back.dcm", &err), 0) << err;
        std::string back = slurp(dir / "back.dcm");
        EXPECT_EQ(back.substr(back.size() - value.size()), value);
    }
    Image integer64;
    integer64.bits = 64;
    integer64.valueBytes = 8;
    expectRefused(integer64, "Bits Allocated (0028,0100) of 64 is not 1, 8, 16 or 32");
}

}  // namespace
