// Lossless JPEG: frame coding round trips over predictors, point transforms, restart intervals
// and layouts; refusal of damaged and foreign streams; the shared samples against dcmdjpeg.
#include <cstring>

#include "codecs/jpegll/jpegll_core.h"
#include "codecs/lossless_fixture.h"

namespace {

using namespace losslesstest;
namespace jll = velmar::codecs::jpegll;

struct FrameCase {
    jll::Layout layout;
    unsigned precision;
};

std::string describe(const jll::Layout &l, const jll::Coding &c) {
    return std::to_string(l.rows) + "x" + std::to_string(l.columns) + "x" + std::to_string(l.components) +
           (l.planar ? " planar" : "") + " P" + std::to_string(c.precision) + " sv" +
           std::to_string(c.predictor) + " Pt" + std::to_string(c.pointTransform) + " ri" +
           std::to_string(c.restartInterval);
}

// Samples of the fixture's kinds (ramps, flats, spikes to both ends of the range) plus, every
// 13th sample, a jump of half the range, which at 16 bits is a difference of category 16.
std::vector<uint8_t> samplesFor(const jll::Layout &l, unsigned precision) {
    Image im{l.rows,
             l.columns,
             l.components,
             static_cast<uint16_t>(8 * l.bytesPerSample),
             static_cast<uint16_t>(precision),
             0,
             1};
    std::vector<uint8_t> out = pixelsFor(im, l.columns + precision);
    for (size_t i = 0; i < l.samples(); i += 13) {
        uint32_t half = 1u << (precision - 1);
        if (l.bytesPerSample == 1)
            out[i] = static_cast<uint8_t>(half);
        else
            out[2 * i + 1] = static_cast<uint8_t>(half >> 8), out[2 * i] = static_cast<uint8_t>(half);
    }
    return out;
}

// What a decoder gives back of `in` under a point transform: the low Pt bits dropped.
std::vector<uint8_t> expected(const jll::Layout &l, const jll::Coding &c, const std::vector<uint8_t> &in) {
    std::vector<uint8_t> out = in;
    const uint32_t keep = ((1u << c.precision) - 1u) >> c.pointTransform << c.pointTransform;
    for (size_t i = 0; i < l.samples(); ++i) {
        if (l.bytesPerSample == 1) {
            out[i] = static_cast<uint8_t>(out[i] & keep);
        } else {
            uint32_t v = (out[2 * i] | out[2 * i + 1] << 8) & keep;
            out[2 * i] = static_cast<uint8_t>(v), out[2 * i + 1] = static_cast<uint8_t>(v >> 8);
        }
    }
    return out;
}

TEST(JpegLosslessFrames, EveryPredictorPointTransformAndRestartIntervalComesBack) {
    const std::vector<FrameCase> cases = {
        {{6, 9, 1, 2, false}, 16}, {{7, 5, 1, 2, false}, 12},  {{5, 11, 1, 1, false}, 8},
        {{4, 6, 3, 1, false}, 8},  {{4, 6, 3, 1, true}, 8},    {{3, 4, 3, 2, true}, 16},
        {{1, 1, 1, 1, false}, 2},  {{1, 40, 1, 2, false}, 16}, {{40, 1, 1, 2, false}, 9},
    };
    for (const FrameCase &fc : cases)
        for (unsigned predictor = 1; predictor <= 7; ++predictor)
            for (unsigned pt : {0u, 1u, fc.precision - 1})
                for (unsigned interval : {0u, 1u * fc.layout.columns, 2u * fc.layout.columns}) {
                    jll::Coding coding{fc.precision, predictor, pt, interval};
                    SCOPED_TRACE(describe(fc.layout, coding));
                    std::vector<uint8_t> in = samplesFor(fc.layout, fc.precision);
                    std::vector<uint8_t> coded;
                    ASSERT_TRUE(jll::encodeFrame(fc.layout, coding, in.data(), coded));
                    std::vector<uint8_t> back(fc.layout.frameBytes(), 0xEE);
                    ASSERT_TRUE(jll::decodeFrame(coded.data(), coded.size(), fc.layout, back.data()));
                    EXPECT_EQ(back, expected(fc.layout, coding, in));
                }
}

// A colour frame coded as three one-component scans (each with its own table and predictor)
// decodes like one interleaved scan: spliced here from three grey frames.
TEST(JpegLosslessFrames, OneScanPerComponentDecodesLikeOneInterleavedScan) {
    const jll::Layout colour{5, 7, 3, 2, false}, grey{5, 7, 1, 2, false};
    std::vector<uint8_t> in = samplesFor(colour, 12);
    std::vector<uint8_t> stream;
    for (uint8_t c = 0; c < 3; ++c) {
        std::vector<uint8_t> plane(grey.frameBytes()), coded;
        for (size_t p = 0; p < grey.pixels(); ++p) std::memcpy(&plane[2 * p], &in[2 * (3 * p + c)], 2);
        ASSERT_TRUE(jll::encodeFrame(grey, jll::Coding{12, 1u + 3u * c, 0, 0}, plane.data(), coded));
        if (c == 0) {  // SOI and SOF3, the frame header grown to three components
            stream.assign(coded.begin(), coded.begin() + 2);
            stream.insert(stream.end(),
                          {0xFF, 0xC3, 0, 17, 12, 0, 5, 0, 7, 3, 1, 0x11, 0, 2, 0x11, 0, 3, 0x11, 0});
        }
        size_t from = 0;
        while (!(coded[from] == 0xFF && coded[from + 1] == 0xC4)) ++from;
        std::vector<uint8_t> scan(coded.begin() + from, coded.end() - 2);  // DHT, SOS, data
        for (size_t i = 0; i + 5 < scan.size(); ++i)
            if (scan[i] == 0xFF && scan[i + 1] == 0xDA) {
                scan[i + 5] = static_cast<uint8_t>(c + 1);  // the scan's component
                break;
            }
        stream.insert(stream.end(), scan.begin(), scan.end());
    }
    stream.insert(stream.end(), {0xFF, 0xD9});
    std::vector<uint8_t> back(colour.frameBytes());
    ASSERT_TRUE(jll::decodeFrame(stream.data(), stream.size(), colour, back.data()));
    EXPECT_EQ(back, expected(colour, jll::Coding{12, 1, 0, 0}, in));
}

// A stream cut anywhere before its EOI fails; so do streams of another size, component count
// or process, and streams that reach for tables or predictors they do not have.
TEST(JpegLosslessFrames, DamagedAndForeignStreamsFailToDecode) {
    const jll::Layout layout{8, 10, 1, 2, false};
    std::vector<uint8_t> in = samplesFor(layout, 16);
    std::vector<uint8_t> coded;
    ASSERT_TRUE(jll::encodeFrame(layout, jll::Coding{16, 1, 0, 0}, in.data(), coded));
    std::vector<uint8_t> out(layout.frameBytes());
    auto decodes = [&](const std::vector<uint8_t> &s, const jll::Layout &l) {
        std::vector<uint8_t> frame(l.frameBytes());
        return jll::decodeFrame(s.data(), s.size(), l, frame.data());
    };
    ASSERT_TRUE(decodes(coded, layout));
    EXPECT_TRUE(decodes(std::vector<uint8_t>(coded.begin(), coded.end() - 2), layout)) << "no EOI is fine";
    for (size_t cut = 0; cut + 2 < coded.size(); ++cut)
        EXPECT_FALSE(decodes(std::vector<uint8_t>(coded.begin(), coded.begin() + cut), layout)) << cut;

    EXPECT_FALSE(decodes(coded, jll::Layout{8, 11, 1, 2, false}));
    EXPECT_FALSE(decodes(coded, jll::Layout{8, 10, 3, 2, false}));
    EXPECT_FALSE(decodes(coded, jll::Layout{8, 10, 1, 1, false})) << "16 bits do not fit a byte";
    auto patched = [&](uint8_t markerCode, size_t offset, uint8_t value) {
        std::vector<uint8_t> s = coded;
        for (size_t i = 0; i + 1 < s.size(); ++i)
            if (s[i] == 0xFF && s[i + 1] == markerCode) {
                s[i + 4 + offset] = value;
                break;
            }
        return s;
    };
    EXPECT_FALSE(decodes(patched(0xC3, 0, 17), layout)) << "precision 17";
    EXPECT_FALSE(decodes(patched(0xDA, 3, 0), layout)) << "predictor 0";
    EXPECT_FALSE(decodes(patched(0xDA, 3, 8), layout)) << "predictor 8";
    EXPECT_FALSE(decodes(patched(0xDA, 2, 0x10), layout)) << "Huffman table 1 was never defined";
    // A table with more codes of one length than the length holds (three of one bit).
    std::vector<uint8_t> overfull = coded;
    for (size_t i = 0; i + 3 < overfull.size(); ++i)
        if (overfull[i] == 0xFF && overfull[i + 1] == 0xC4) {
            size_t length = overfull[i + 2] << 8 | overfull[i + 3];
            std::vector<uint8_t> table = {0xFF, 0xC4, 0, 22, 0x00, 3};
            table.resize(table.size() + 15, 0);
            table.insert(table.end(), {0, 1, 2});
            overfull.erase(overfull.begin() + i, overfull.begin() + i + 2 + length);
            overfull.insert(overfull.begin() + i, table.begin(), table.end());
            break;
        }
    EXPECT_FALSE(decodes(overfull, layout));
    std::vector<uint8_t> baseline = coded;
    baseline[3] = 0xC0;  // SOF0 where SOF3 was
    EXPECT_FALSE(decodes(baseline, layout));
    EXPECT_FALSE(decodes(std::vector<uint8_t>(coded.begin() + 2, coded.end()), layout)) << "no SOI";
}

// Every .57 or .70 file of the shared samples decodes to the pixels dcmdjpeg gives.
TEST_F(CodecTest, SharedJpegLosslessSamplesDecodeAsDcmdjpegDecodesThem) {
    if (!have("dcmdjpeg")) GTEST_SKIP() << "dcmdjpeg (DCMTK) is not installed";
    load("jpeg-lossless");
    int checked = compareSharedSamples({"1.2.840.10008.1.2.4.57", "1.2.840.10008.1.2.4.70"}, "dcmdjpeg");
    if (checked == 0) GTEST_SKIP() << "no JPEG Lossless files in " VELMAR_SHARED_DIR "/dicom-samples";
}

}  // namespace
