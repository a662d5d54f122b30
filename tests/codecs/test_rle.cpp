// RLE Lossless: frame coding round trips over the layouts RLE holds, refusal of damaged frames,
// and interoperability with DCMTK (dcmcrle, dcmdrle), GDCM (gdcmconv) and the shared samples.
#include <fstream>

#include "codecs/lossless_fixture.h"
#include "codecs/rle/rle_core.h"

namespace {

using namespace losslesstest;
using velmar::codecs::rle::Layout;

constexpr const char *kRle = "1.2.840.10008.1.2.5";

Layout layoutFor(const Image &im) {
    PixelDataDescriptor d{};
    d.rows = im.rows;
    d.columns = im.columns;
    d.samplesPerPixel = im.samples;
    d.bitsAllocated = im.bitsAllocated;
    d.planarConfiguration = im.planar;
    Layout layout;
    EXPECT_TRUE(velmar::codecs::rle::layoutOf(d, &layout));
    return layout;
}

std::vector<Image> rleImages() {
    // Widths past 128 and 256 split literal and replicate runs; 3 samples of 32 bits use 12 segments.
    return {{5, 7, 1, 8, 8, 0, 2},     {3, 300, 1, 8, 8, 0, 1}, {9, 129, 1, 16, 12, 0, 2},
            {4, 6, 3, 8, 8, 0, 1},     {4, 6, 3, 8, 8, 1, 1},   {6, 5, 3, 16, 16, 1, 2},
            {2, 130, 1, 32, 32, 0, 1}, {3, 3, 3, 32, 32, 0, 1}, {1, 1, 1, 16, 16, 0, 1}};
}

TEST(RleFrames, EveryLayoutComesBackExactly) {
    for (const Image &im : rleImages()) {
        Layout layout = layoutFor(im);
        std::vector<uint8_t> pixels = pixelsFor(im, im.columns);
        pixels.resize(layout.frameBytes());
        std::vector<uint8_t> coded;
        velmar::codecs::rle::encodeFrame(layout, pixels.data(), coded);
        EXPECT_EQ(coded.size() % 2, 0u);
        EXPECT_EQ(coded[0], layout.segments());
        std::vector<uint8_t> back(layout.frameBytes(), 0xEE);
        ASSERT_TRUE(velmar::codecs::rle::decodeFrame(layout, coded.data(), coded.size(), back.data()))
            << im.rows << "x" << im.columns << "x" << im.samples << " bits " << im.bitsAllocated;
        EXPECT_EQ(back, pixels) << im.rows << "x" << im.columns << "x" << im.samples << " bits "
                                << im.bitsAllocated << " planar " << im.planar;
    }
}

TEST(RleFrames, LayoutsRleCannotHoldAreRefused) {
    PixelDataDescriptor d{};
    d.rows = d.columns = d.samplesPerPixel = 1;
    Layout layout;
    for (uint16_t bits : {1, 12, 24, 64}) {
        d.bitsAllocated = bits;
        EXPECT_FALSE(velmar::codecs::rle::layoutOf(d, &layout)) << bits;
    }
    d.bitsAllocated = 32;
    d.samplesPerPixel = 4;  // 16 segments
    EXPECT_FALSE(velmar::codecs::rle::layoutOf(d, &layout));
}

TEST(RleFrames, DamagedFramesFailToDecode) {
    Image im{4, 10, 1, 16, 16, 0, 1};
    Layout layout = layoutFor(im);
    std::vector<uint8_t> pixels = pixelsFor(im, 3);
    std::vector<uint8_t> coded;
    velmar::codecs::rle::encodeFrame(layout, pixels.data(), coded);
    std::vector<uint8_t> out(layout.frameBytes());
    auto decodes = [&](std::vector<uint8_t> frame) {
        return velmar::codecs::rle::decodeFrame(layout, frame.data(), frame.size(), out.data());
    };
    ASSERT_TRUE(decodes(coded));
    std::vector<uint8_t> wrongCount = coded;
    wrongCount[0] = 1;
    EXPECT_FALSE(decodes(wrongCount));
    std::vector<uint8_t> offsetPastEnd = coded;
    offsetPastEnd[8] = 0xFF;
    offsetPastEnd[9] = 0xFF;
    EXPECT_FALSE(decodes(offsetPastEnd));
    std::vector<uint8_t> offsetInHeader = coded;
    offsetInHeader[4] = 10;
    EXPECT_FALSE(decodes(offsetInHeader));
    EXPECT_FALSE(decodes(std::vector<uint8_t>(coded.begin(), coded.end() - 12)));  // last plane short
    EXPECT_FALSE(decodes(std::vector<uint8_t>(coded.begin(), coded.begin() + 40)));
}

class RleCodec : public CodecTest {
   protected:
    void SetUp() override {
        CodecTest::SetUp();
        load("rle");
    }
};

// velmar's RLE of each image decodes in dcmdrle and gdcmconv to the source pixels, and velmar
// decodes dcmcrle's RLE of it to the source pixels.
TEST_F(RleCodec, PeersDecodeVelmarsFramesAndVelmarDecodesTheirs) {
    if (!have("dcmdrle") || !have("dcmcrle") || !have("gdcmconv"))
        GTEST_SKIP() << "DCMTK (dcmcrle, dcmdrle) or GDCM (gdcmconv) is not installed";
    for (const Image &im : {Image{5, 7, 1, 8, 8, 0, 2}, Image{9, 129, 1, 16, 12, 0, 3},
                            Image{4, 6, 3, 8, 8, 0, 2}, Image{6, 5, 3, 16, 16, 1, 1}}) {
        std::vector<uint8_t> pixels = pixelsFor(im, im.rows);
        std::string source = write("source.dcm", sourceFile(im, pixels));
        std::string expected = interleaved(im, pixels);
        SCOPED_TRACE(std::to_string(im.rows) + "x" + std::to_string(im.columns) + "x" +
                     std::to_string(im.samples) + " bits " + std::to_string(im.bitsAllocated));
        ASSERT_EQ(convert(source, path("v.rle.dcm"), kRle), 0);
        ASSERT_TRUE(succeeds("dcmdrle " + path("v.rle.dcm") + " " + path("d.dcm")));
        ASSERT_TRUE(succeeds("gdcmconv --raw " + path("v.rle.dcm") + " " + path("g.dcm")));
        EXPECT_EQ(nativePixels(path("d.dcm")).bytes, expected);

        ASSERT_TRUE(succeeds("dcmcrle " + source + " " + path("d.rle.dcm")));
        ASSERT_EQ(convert(path("d.rle.dcm"), path("v.dcm"), kExplicitLittle), 0);
        EXPECT_EQ(nativePixels(path("v.dcm")).bytes, expected);

        // gdcmconv 3.0 shuffles the bytes of 16-bit colour RLE (DCMTK's frames as well as
        // velmar's): there it must at least treat both alike.
        std::string gdcmExpected = expected;
        if (im.samples == 3 && im.bitsAllocated == 16) {
            ASSERT_TRUE(succeeds("gdcmconv --raw " + path("d.rle.dcm") + " " + path("g2.dcm")));
            gdcmExpected = nativePixels(path("g2.dcm")).bytes;
        }
        EXPECT_EQ(nativePixels(path("g.dcm")).bytes, gdcmExpected);
    }
}

// Every RLE file of the shared samples decodes to the pixels dcmdrle gives.
TEST_F(RleCodec, SharedSamplesDecodeAsDcmdrleDecodesThem) {
    if (!have("dcmdrle")) GTEST_SKIP() << "dcmdrle (DCMTK) is not installed";
    int checked = compareSharedSamples({kRle}, "dcmdrle");
    if (checked == 0) GTEST_SKIP() << "no RLE files in " VELMAR_SHARED_DIR "/dicom-samples";
}

}  // namespace
