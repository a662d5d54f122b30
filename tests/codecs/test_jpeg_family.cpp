// The JPEG-LS, JPEG 2000, JPEG Baseline and lossless JPEG codec libraries against DCMTK and GDCM: velmar
// decodes the peers' streams to the peers' pixels; the peers decode velmar's lossless streams
// to the source pixels and its lossy ones within the bound the option asked; the lossy
// attributes and the Photometric Interpretation are written as the coding leaves them.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
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

namespace fs = std::filesystem;
using readertest::Bytes;

constexpr const char *kJls = "1.2.840.10008.1.2.4.80";
constexpr const char *kJlsNear = "1.2.840.10008.1.2.4.81";
constexpr const char *kJ2k = "1.2.840.10008.1.2.4.90";
constexpr const char *kJ2kLossy = "1.2.840.10008.1.2.4.91";
constexpr const char *kBaseline = "1.2.840.10008.1.2.4.50";
constexpr const char *kJpegLossless = "1.2.840.10008.1.2.4.70";

bool runs(const std::string &command) {
    int status = std::system((command + " >/dev/null 2>&1").c_str());
    return status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

bool have(const char *program) {
    return runs(std::string("command -v ") + program);
}

std::string evenText(std::string text, char pad = ' ') {
    if (text.size() % 2 != 0) text.push_back(pad);
    return text;
}

// A Secondary Capture file in explicit VR little endian, pixels from a smooth pattern with
// some noise (so that lossy coders have something to lose and lossless ones something to keep).
void writeImage(const fs::path &path, uint16_t samples, uint16_t bits, uint16_t stored, bool signedPixels,
                uint16_t frames) {
    const uint16_t rows = 40, columns = 56;
    Bytes ds(1);
    ds.element(0x0008, 0x0016, "UI", evenText("1.2.840.10008.5.1.4.1.1.7", '\0'));
    ds.element(0x0008, 0x0018, "UI", evenText("1.2.826.0.1.3680043.2.1143.15", '\0'));
    ds.us(0x0028, 0x0002, samples);
    ds.element(0x0028, 0x0004, "CS", samples == 3 ? "RGB " : "MONOCHROME2 ");
    if (samples > 1) ds.us(0x0028, 0x0006, 0);
    ds.element(0x0028, 0x0008, "IS", evenText(std::to_string(frames)));
    ds.us(0x0028, 0x0010, rows).us(0x0028, 0x0011, columns);
    ds.us(0x0028, 0x0100, bits).us(0x0028, 0x0101, stored).us(0x0028, 0x0102, stored - 1);
    ds.us(0x0028, 0x0103, signedPixels ? 1 : 0);
    std::vector<uint8_t> pixels;
    uint32_t noise = 7;
    const int range = 1 << stored;
    for (uint32_t i = 0; i < uint32_t{rows} * columns * samples * frames; ++i) {
        noise = noise * 1103515245u + 12345u;
        uint32_t x = i / samples % columns, y = i / samples / columns % rows;
        int v =
            static_cast<int>(x * 2 + y * 2 + i % samples * 40) * range / 256 + static_cast<int>(noise >> 28);
        if (signedPixels) v -= range / 2;
        v = std::clamp(v, signedPixels ? -range / 2 : 0, signedPixels ? range / 2 - 1 : range - 1);
        pixels.push_back(static_cast<uint8_t>(v));
        if (bits == 16) pixels.push_back(static_cast<uint8_t>(static_cast<uint16_t>(v) >> 8));
    }
    ds.header(0x7FE0, 0x0010, bits > 8 ? "OW" : "OB", static_cast<uint32_t>(pixels.size()));
    ds.raw(pixels.data(), pixels.size());
    Bytes file = readertest::fileWith(ds, "1.2.840.10008.1.2.1");
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char *>(file.data.data()), file.size());
}

struct Image {
    std::vector<uint8_t> pixels;  // native pixel bytes, host order
    std::string photometric;
    std::string lossy, ratio, method;
    uint16_t bits = 0;
    bool read = false;
};

class JpegFamily : public ::testing::Test {
   protected:
    void SetUp() override {
        setenv("VELMAR_DEF_PATH", VELMAR_SHARE_DIR, 0);
        setenv("VELMAR_CODEC_DIR", VELMAR_BINARY_DIR "/codecs", 1);
        ASSERT_EQ(init_AppData(&app_, "test_jpeg_family", "1", nullptr), 0);
        ASSERT_EQ(InitTagDef(&app_, 0), 0);
        dir_ = fs::temp_directory_path() / ("velmar_jpegfam_" + std::to_string(::getpid()) + "_" +
                                            ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::create_directories(dir_);
        writeImage(dir_ / "grey16.dcm", 1, 16, 16, false, 3);
        writeImage(dir_ / "grey12s.dcm", 1, 16, 12, true, 2);
        writeImage(dir_ / "grey8.dcm", 1, 8, 8, false, 2);
        writeImage(dir_ / "rgb8.dcm", 3, 8, 8, false, 2);
    }
    void TearDown() override {
        DoneTagDef(&app_);
        done_AppData(&app_);
        std::error_code ignored;
        fs::remove_all(dir_, ignored);
    }

    static bool haveLibrary(const char *name) {
        return fs::exists(fs::path(VELMAR_BINARY_DIR) / "codecs" / (std::string(name) + ".so"));
    }

    std::string path(const std::string &name) const { return (dir_ / name).string(); }

    bool convert(const std::string &in, const std::string &out, const char *syntax,
                 const std::string &option = "") {
        std::string command = std::string("'") + VELMAR_BINARY_DIR + "/velmar' convert --syntax " + syntax +
                              " " + (option.empty() ? "" : "--codec-option " + option + " ") + path(in) +
                              " " + path(out);
        return runs(command);
    }

    std::string text(DicomObject *obj, uint16_t group, uint16_t element) {
        DicomElement el{};
        el.group = group;
        el.element = element;
        std::string value;
        if (DO_searchForElement(obj, &el) == 0 && el.value != nullptr)
            value.assign(static_cast<const char *>(el.value), el.length);
        D_Free(&el.value);
        while (!value.empty() && (value.back() == ' ' || value.back() == '\0')) value.pop_back();
        return value;
    }

    // The native pixels and the image attributes of a file.
    Image load(const std::string &name) {
        Image image;
        IOObject io{};
        init_IOObject(&io);
        io.metaSyntax = TS_NOT_SET;
        io.dataSyntax = TS_NOT_SET;
        io.hasPreamble = 1;
        if (DO_importObjectFromFile(&app_, path(name).c_str(), &io) == 0) {
            PixelDataDescriptor *pds = get_ppds(&app_, io.object);
            if (pds != nullptr && pds->pixelLength != VELMAR_UNDEFINED_LENGTH) {
                std::ifstream in(path(name), std::ios::binary);
                in.seekg(pds->pixelOffset);
                image.pixels.resize(static_cast<size_t>(pds->frameSize) * pds->numberOfFrames);
                in.read(reinterpret_cast<char *>(image.pixels.data()),
                        static_cast<std::streamsize>(image.pixels.size()));
                image.bits = pds->bitsAllocated;
                image.read = static_cast<bool>(in);
            }
            std::free(pds);
            image.photometric = text(io.object, 0x0028, 0x0004);
            image.lossy = text(io.object, 0x0028, 0x2110);
            image.ratio = text(io.object, 0x0028, 0x2112);
            image.method = text(io.object, 0x0028, 0x2114);
        }
        DO_closeObject(&io.object);
        return image;
    }

    // The largest difference and the peak signal-to-noise ratio (dB) between two images'
    // samples, compared in the low `stored` bits (peers differ in the bits above).
    struct Error {
        double worst = 0;
        double psnr = 0;
    };
    static Error error(const Image &a, const Image &b, unsigned stored) {
        EXPECT_TRUE(a.read && b.read);
        EXPECT_EQ(a.pixels.size(), b.pixels.size());
        Error e;
        double squares = 0;
        size_t step = a.bits == 16 ? 2 : 1, count = 0;
        const int mask = (1 << stored) - 1;
        for (size_t i = 0; i + step <= std::min(a.pixels.size(), b.pixels.size()); i += step, ++count) {
            auto value = [&](const std::vector<uint8_t> &p) {
                return (step == 2 ? p[i] | p[i + 1] << 8 : p[i]) & mask;
            };
            double d = std::fabs(static_cast<double>(value(a.pixels) - value(b.pixels)));
            e.worst = std::max(e.worst, d);
            squares += d * d;
        }
        double mse = count != 0 ? squares / static_cast<double>(count) : 0;
        e.psnr = mse > 0 ? 10 * std::log10(static_cast<double>(mask) * mask / mse) : 1000;
        return e;
    }

    // Pixels equal in the low `stored` bits.
    static void expectSamePixels(const Image &a, const Image &b, unsigned stored) {
        EXPECT_EQ(a.pixels.size(), b.pixels.size());
        EXPECT_EQ(error(a, b, stored).worst, 0);
    }

    AppData app_{};
    fs::path dir_;
};

struct LosslessCase {
    const char *syntax;
    const char *library;
};

class JpegFamilyLossless : public JpegFamily, public ::testing::WithParamInterface<LosslessCase> {};

// velmar's lossless streams decode in DCMTK (JPEG-LS) and GDCM to the source pixels, and in
// velmar itself; every image kind the codecs take is tried.
TEST_P(JpegFamilyLossless, PeersDecodeVelmarStreamsToTheSourcePixels) {
    const LosslessCase &c = GetParam();
    if (!haveLibrary(c.library)) GTEST_SKIP() << c.library << " was not built";
    for (const char *source : {"grey16.dcm", "grey12s.dcm", "grey8.dcm", "rgb8.dcm"}) {
        SCOPED_TRACE(source);
        Image original = load(source);
        ASSERT_TRUE(convert(source, "coded.dcm", c.syntax));
        ASSERT_TRUE(convert("coded.dcm", "back.dcm", "explicit"));
        EXPECT_EQ(load("back.dcm").pixels, original.pixels) << "velmar keeps the sign extension too";
        EXPECT_EQ(load("coded.dcm").lossy, "");
        const unsigned stored = source == std::string("grey12s.dcm") ? 12 : 16;
        // GDCM refuses signed 12-bit Secondary Capture objects whatever their syntax.
        if (have("gdcmconv") && stored == 16) {
            ASSERT_TRUE(runs("gdcmconv --raw " + path("coded.dcm") + " " + path("gdcm.dcm")));
            expectSamePixels(load("gdcm.dcm"), original, stored);
        }
        if (c.syntax == std::string(kJls) && have("dcmdjpls")) {
            ASSERT_TRUE(runs("dcmdjpls " + path("coded.dcm") + " " + path("dcmtk.dcm")));
            expectSamePixels(load("dcmtk.dcm"), original, stored);
        }
        if (c.syntax == std::string(kJpegLossless) && have("dcmdjpeg")) {
            ASSERT_TRUE(runs("dcmdjpeg " + path("coded.dcm") + " " + path("dcmtk.dcm")));
            expectSamePixels(load("dcmtk.dcm"), original, stored);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Syntaxes, JpegFamilyLossless,
                         ::testing::Values(LosslessCase{kJls, "velmar_jpegls"},
                                           LosslessCase{kJ2k, "velmar_jpeg2000"},
                                           LosslessCase{kJpegLossless, "velmar_jpegll"}));

struct PeerCase {
    const char *name;
    const char *library;
    const char *encode;  // peer command coding IN into OUT
    const char *decode;  // peer command decoding IN into OUT
    const char *sources;
};

class JpegFamilyPeers : public JpegFamily, public ::testing::WithParamInterface<PeerCase> {};

// Streams the peers write decode in velmar to the pixels the peers decode them to.
TEST_P(JpegFamilyPeers, VelmarDecodesPeerStreamsToThePeersPixels) {
    const PeerCase &c = GetParam();
    if (!haveLibrary(c.library)) GTEST_SKIP() << c.library << " was not built";
    std::string encoder = std::string(c.encode).substr(0, std::string(c.encode).find(' '));
    if (!have(encoder.c_str()) ||
        !have(std::string(c.decode).substr(0, std::string(c.decode).find(' ')).c_str()))
        GTEST_SKIP() << c.encode << " or " << c.decode << " is not installed";
    std::string sources = c.sources;
    for (size_t start = 0; start < sources.size();) {
        size_t end = sources.find(',', start);
        std::string source = sources.substr(start, end - start);
        start = end == std::string::npos ? sources.size() : end + 1;
        SCOPED_TRACE(source);
        ASSERT_TRUE(runs(std::string(c.encode) + " " + path(source) + " " + path("peer.dcm")));
        ASSERT_TRUE(runs(std::string(c.decode) + " " + path("peer.dcm") + " " + path("peer_raw.dcm")));
        ASSERT_TRUE(convert("peer.dcm", "velmar_raw.dcm", "explicit"));
        Image theirs = load("peer_raw.dcm");
        Image ours = load("velmar_raw.dcm");
        EXPECT_TRUE(ours.read);
        expectSamePixels(ours, theirs, source == "grey12s.dcm" ? 12 : 16);
        EXPECT_EQ(ours.photometric, theirs.photometric);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Peers, JpegFamilyPeers,
    ::testing::Values(
        PeerCase{"dcmcjpls", "velmar_jpegls", "dcmcjpls", "dcmdjpls", "grey16.dcm,grey12s.dcm,rgb8.dcm"},
        PeerCase{"dcmcjpls_near", "velmar_jpegls", "dcmcjpls +en +md 4", "dcmdjpls", "grey16.dcm,rgb8.dcm"},
        PeerCase{"gdcm_jpegls", "velmar_jpegls", "gdcmconv --jpegls", "gdcmconv --raw",
                 "grey16.dcm,rgb8.dcm"},
        PeerCase{"gdcm_j2k", "velmar_jpeg2000", "gdcmconv --j2k", "gdcmconv --raw",
                 "grey16.dcm,grey8.dcm,rgb8.dcm"},
        PeerCase{"gdcm_j2k_lossy", "velmar_jpeg2000", "gdcmconv --j2k --lossy -r 10", "gdcmconv --raw",
                 "grey16.dcm"},
        PeerCase{"dcmcjpeg", "velmar_jpeg", "dcmcjpeg +eb", "dcmdjpeg", "grey8.dcm,rgb8.dcm"},
        // Lossless JPEG: every predictor, point transforms, frames in several fragments.
        PeerCase{"dcmcjpeg_sv1", "velmar_jpegll", "dcmcjpeg +e1", "dcmdjpeg",
                 "grey16.dcm,grey12s.dcm,grey8.dcm,rgb8.dcm"},
        PeerCase{"dcmcjpeg_sv2_pt1", "velmar_jpegll", "dcmcjpeg +el +sv 2 +pt 1", "dcmdjpeg", "grey16.dcm,rgb8.dcm"},
        PeerCase{"dcmcjpeg_sv3", "velmar_jpegll", "dcmcjpeg +el +sv 3", "dcmdjpeg", "grey12s.dcm,rgb8.dcm"},
        PeerCase{"dcmcjpeg_sv4_pt3", "velmar_jpegll", "dcmcjpeg +el +sv 4 +pt 3", "dcmdjpeg", "grey16.dcm,grey8.dcm"},
        PeerCase{"dcmcjpeg_sv5", "velmar_jpegll", "dcmcjpeg +el +sv 5", "dcmdjpeg", "grey16.dcm,rgb8.dcm"},
        PeerCase{"dcmcjpeg_sv6", "velmar_jpegll", "dcmcjpeg +el +sv 6", "dcmdjpeg", "grey16.dcm,grey12s.dcm"},
        PeerCase{"dcmcjpeg_sv7_fragments", "velmar_jpegll", "dcmcjpeg +el +sv 7 +fs 1", "dcmdjpeg",
                 "grey16.dcm,rgb8.dcm"},
        PeerCase{"gdcm_jpeg_lossless", "velmar_jpegll", "gdcmconv --jpeg", "gdcmconv --raw",
                 "grey16.dcm,grey8.dcm,rgb8.dcm"}),
    [](const ::testing::TestParamInfo<PeerCase> &info) { return std::string(info.param.name); });

// Lossy coding: the peers decode within the bound the option asked, and the object records the
// loss, the method, the ratio and the colour model the coder left.
TEST_F(JpegFamily, LossyStreamsStayWithinTheAskedBoundAndSayTheyAreLossy) {
    if (haveLibrary("velmar_jpegls") && have("dcmdjpls")) {
        ASSERT_TRUE(convert("grey16.dcm", "near.dcm", kJlsNear, "n=3"));
        ASSERT_TRUE(runs("dcmdjpls " + path("near.dcm") + " " + path("near_raw.dcm")));
        double worst = error(load("grey16.dcm"), load("near_raw.dcm"), 16).worst;
        EXPECT_LE(worst, 3);
        EXPECT_GT(worst, 0) << "n=3 should lose something on noisy pixels";
        Image coded = load("near.dcm");
        EXPECT_EQ(coded.lossy, "01");
        EXPECT_EQ(coded.method, "ISO_14495_1");
        EXPECT_GT(std::atof(coded.ratio.c_str()), 1.0);
    }
    if (haveLibrary("velmar_jpeg2000") && have("gdcmconv")) {
        // A ratio asks for the size, a quality for the peak signal-to-noise ratio.
        ASSERT_TRUE(convert("grey16.dcm", "j2k.dcm", kJ2kLossy, "r=20"));
        Image coded = load("j2k.dcm");
        EXPECT_EQ(coded.method, "ISO_15444_1");
        EXPECT_GE(std::atof(coded.ratio.c_str()), 18.0) << coded.ratio;
        ASSERT_TRUE(convert("grey16.dcm", "j2kq.dcm", kJ2kLossy, "q=60"));
        ASSERT_TRUE(runs("gdcmconv --raw " + path("j2kq.dcm") + " " + path("j2kq_raw.dcm")));
        EXPECT_GE(error(load("grey16.dcm"), load("j2kq_raw.dcm"), 16).psnr, 59.0);
    }
    if (haveLibrary("velmar_jpeg") && have("dcmdjpeg")) {
        ASSERT_TRUE(convert("rgb8.dcm", "jpeg.dcm", kBaseline, "q=95"));
        Image coded = load("jpeg.dcm");
        EXPECT_EQ(coded.photometric, "YBR_FULL_422");
        EXPECT_EQ(coded.method, "ISO_10918_1");
        ASSERT_TRUE(runs("dcmdjpeg " + path("jpeg.dcm") + " " + path("jpeg_raw.dcm")));
        ASSERT_TRUE(convert("jpeg.dcm", "jpeg_velmar.dcm", "explicit"));
        EXPECT_GE(error(load("rgb8.dcm"), load("jpeg_raw.dcm"), 8).psnr, 30.0);
        EXPECT_EQ(load("jpeg_velmar.dcm").photometric, "RGB");
        EXPECT_EQ(load("jpeg_velmar.dcm").pixels, load("jpeg_raw.dcm").pixels);
    }
}

// Options a library does not know are refused with the library's name; images a codec cannot
// take fail the conversion instead of writing a damaged file.
TEST_F(JpegFamily, BadOptionsAndImagesAreRefused) {
    if (!haveLibrary("velmar_jpegls") || !haveLibrary("velmar_jpeg"))
        GTEST_SKIP() << "codec libraries not built";
    std::string command = std::string("'") + VELMAR_BINARY_DIR + "/velmar' convert --syntax " + kJlsNear +
                          " --codec-option n=300 " + path("grey16.dcm") + " " + path("x.dcm") + " 2>&1";
    FILE *pipe = popen(command.c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    char line[512] = {0};
    std::string out;
    while (std::fgets(line, sizeof line, pipe) != nullptr) out += line;
    EXPECT_NE(pclose(pipe), 0);
    // Refused when the library starts with the text, or when it is running already.
    EXPECT_NE(out.find("the codec library velmar_jpegls "), std::string::npos) << out;
    EXPECT_FALSE(convert("grey16.dcm", "baseline16.dcm", kBaseline)) << "JPEG Baseline holds 8 bits only";
    EXPECT_FALSE(fs::exists(dir_ / "baseline16.dcm"));
}

// --syntax takes the codec names of the codec maps; a syntax whose library only decodes is
// refused as a target, writing nothing.
TEST_F(JpegFamily, CodecNamesOfTheMapNameTargetSyntaxes) {
    if (!haveLibrary("velmar_jpegll")) GTEST_SKIP() << "velmar_jpegll was not built";
    ASSERT_TRUE(convert("grey16.dcm", "named.dcm", "jpeg-lossless"));
    std::ifstream in(path("named.dcm"), std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_NE(bytes.find(kJpegLossless), std::string::npos);
    ASSERT_TRUE(convert("named.dcm", "back.dcm", "explicit"));
    EXPECT_EQ(load("back.dcm").pixels, load("grey16.dcm").pixels);
    EXPECT_FALSE(convert("grey16.dcm", "p14.dcm", "jpeg-lossless-p14"));
    EXPECT_FALSE(fs::exists(dir_ / "p14.dcm"));
    EXPECT_FALSE(convert("grey16.dcm", "none.dcm", "no-such-codec"));
}

// A map entry whose library is nowhere to be found says so in the listing.
TEST_F(JpegFamily, CodecsListingMarksLibrariesThatAreMissing) {
    std::string command =
        "VELMAR_CODEC_DIR='" + dir_.string() + "' '" + VELMAR_BINARY_DIR + "/velmar' codecs";
    FILE *pipe = popen(command.c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    char line[512];
    std::string jpegls;
    while (std::fgets(line, sizeof line, pipe) != nullptr)
        if (std::strstr(line, kJls) != nullptr) jpegls = line;
    EXPECT_EQ(pclose(pipe), 0);
    EXPECT_NE(jpegls.find("[missing: no velmar_jpegls.so in " + dir_.string() + "]"), std::string::npos)
        << jpegls;
}

}  // namespace
