// Codec-side utilities: PGM frames and streams written and read back, temporary names, file
// masks, file length, base name, the statistics line and the chronometer.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "velmar/codecs.h"

namespace {

std::string readFile(const std::filesystem::path &path) {
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

PixelDataDescriptor describe(uint16_t rows, uint16_t columns, uint16_t bitsAllocated, uint16_t bitsStored) {
    PixelDataDescriptor d{};
    d.samplesPerPixel = 1;
    d.rows = rows;
    d.columns = columns;
    d.bitsAllocated = bitsAllocated;
    d.bitsStored = bitsStored;
    d.highBit = static_cast<uint16_t>(bitsStored - 1);
    d.numberOfFrames = 1;
    d.frameSize = static_cast<uint32_t>(rows) * columns * (bitsAllocated / 8);
    return d;
}

FrameBuffer frameOver(std::vector<uint8_t> &bytes, uint32_t offset = 0) {
    FrameBuffer f{};
    f.frameNumber = 1;
    f.capacity = static_cast<uint32_t>(bytes.size());
    f.length = static_cast<uint32_t>(bytes.size()) - offset;
    f.offset = offset;
    f.data = bytes.data();
    return f;
}

class CodecUtilTest : public ::testing::Test {
protected:
    std::filesystem::path dir;
    void SetUp() override {
        dir = std::filesystem::temp_directory_path() /
              ("velmar_codecutil_" + std::to_string(::getpid()) + "_" +
               ::testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::create_directories(dir);
    }
    void TearDown() override { std::filesystem::remove_all(dir); }
    std::string path(const char *name) const { return (dir / name).string(); }
};

TEST_F(CodecUtilTest, EightBitFrameWritesAP5FileAndReadsBack) {
    PixelDataDescriptor d = describe(2, 3, 8, 8);
    // The frame starts after two bytes of something else inside its buffer.
    std::vector<uint8_t> bytes = {0xEE, 0xEE, 1, 2, 3, 4, 5, 250};
    FrameBuffer frame = frameOver(bytes, 2);
    std::string file = path("f8.pgm");
    ASSERT_EQ(saveFrameInPGM(&d, &frame, file.c_str(), nullptr), 0);
    EXPECT_EQ(readFile(file), std::string("P5\n3 2\n255\n\x01\x02\x03\x04\x05\xFA", 17));

    std::vector<uint8_t> back(6, 0);
    FrameBuffer in = frameOver(back);
    int16_t bytesPerSample = 0;
    ASSERT_EQ(loadFrameFromPGMFile(&d, &in, file.c_str(), &bytesPerSample), 0);
    EXPECT_EQ(bytesPerSample, 1);
    EXPECT_EQ(in.length, 6u);
    EXPECT_EQ(back, std::vector<uint8_t>(bytes.begin() + 2, bytes.end()));
}

TEST_F(CodecUtilTest, TwelveBitFrameUsesMaximum65535AndLowBytesFirst) {
    PixelDataDescriptor d = describe(1, 2, 16, 12);
    std::vector<uint8_t> bytes = {0x34, 0x0F, 0xFF, 0x00};  // 0x0F34, 0x00FF in host order
    FrameBuffer frame = frameOver(bytes);
    std::string file = path("f12.pgm");
    uint8_t row[4];
    ASSERT_EQ(saveFrameInPGM(&d, &frame, file.c_str(), row), 0);
    EXPECT_EQ(readFile(file), std::string("P5\n2 1\n65535\n\x34\x0F\xFF\x00", 17));

    std::vector<uint8_t> back(4, 0);
    FrameBuffer in = frameOver(back);
    int16_t bytesPerSample = 0;
    ASSERT_EQ(loadFrameFromPGMFile(&d, &in, file.c_str(), &bytesPerSample), 0);
    EXPECT_EQ(bytesPerSample, 2);
    EXPECT_EQ(back, bytes);
}

TEST_F(CodecUtilTest, FrameReaderRefusesForeignFiles) {
    PixelDataDescriptor d = describe(2, 3, 8, 8);
    std::vector<uint8_t> back(6, 0);
    FrameBuffer in = frameOver(back);
    auto write = [&](const char *name, const std::string &text) {
        std::ofstream(path(name), std::ios::binary) << text;
        return path(name);
    };
    EXPECT_EQ(loadFrameFromPGMFile(&d, &in, path("missing.pgm").c_str(), nullptr), -2);
    EXPECT_EQ(loadFrameFromPGMFile(&d, &in, write("p2.pgm", "P2\n3 2\n255\n1 2 3 4 5 6\n").c_str(), nullptr), -3);
    EXPECT_EQ(loadFrameFromPGMFile(&d, &in, write("size.pgm", "P5\n2 3\n255\nabcdef").c_str(), nullptr), -4);
    EXPECT_EQ(loadFrameFromPGMFile(&d, &in, write("wide.pgm", "P5\n3 2\n65535\nabcdefghijkl").c_str(), nullptr), -5);
    EXPECT_EQ(loadFrameFromPGMFile(&d, &in, write("short.pgm", "P5\n3 2\n255\nabc").c_str(), nullptr), -4);
    // Comment lines between header lines are skipped.
    ASSERT_EQ(loadFrameFromPGMFile(&d, &in, write("c.pgm", "P5\n# made by hand\n3 2\n# max\n255\nabcdef").c_str(),
                                   nullptr),
              0);
    EXPECT_EQ(std::string(back.begin(), back.end()), "abcdef");
    // A buffer that cannot hold the frame is refused, not overrun.
    std::vector<uint8_t> small(5, 0);
    FrameBuffer tiny = frameOver(small);
    EXPECT_EQ(loadFrameFromPGMFile(&d, &tiny, path("c.pgm").c_str(), nullptr), -1);
    // A frame shorter than the description is not written.
    FrameBuffer shortFrame = frameOver(small);
    EXPECT_EQ(saveFrameInPGM(&d, &shortFrame, path("x.pgm").c_str(), nullptr), -1);
    EXPECT_EQ(saveFrameInPGM(&d, &in, (dir / "no" / "such.pgm").string().c_str(), nullptr), -2);
}

TEST_F(CodecUtilTest, StreamCopiesSwapTwoByteSamplesBothWays) {
    const uint8_t raw[] = {0x12, 0x34, 0x56, 0x78, 0x9A, 0xBC};  // 3 x 1 samples of 2 bytes
    FILE *input = std::fopen(path("raw").c_str(), "w+b");
    FILE *pgm = std::fopen(path("s.pgm").c_str(), "w+b");
    ASSERT_NE(input, nullptr);
    ASSERT_NE(pgm, nullptr);
    std::fwrite(raw, 1, sizeof raw, input);
    std::rewind(input);
    uint8_t buffer[8];
    EXPECT_EQ(savePGM(input, pgm, 2, 1, 3, 1, buffer), 0);
    std::fflush(pgm);
    EXPECT_EQ(readFile(path("s.pgm")), std::string("P5\n3 1\n65535\n\x34\x12\x78\x56\xBC\x9A", 19));

    std::rewind(pgm);
    FILE *output = std::fopen(path("back").c_str(), "w+b");
    ASSERT_NE(output, nullptr);
    EXPECT_EQ(loadPGM(pgm, output, 2, 1, 3, 1, buffer), 0);
    std::fflush(output);
    EXPECT_EQ(readFile(path("back")), std::string(reinterpret_cast<const char *>(raw), sizeof raw));

    std::rewind(pgm);
    EXPECT_EQ(loadPGM(pgm, output, 2, 1, 4, 1, buffer), -4);  // size differs
    std::rewind(pgm);
    EXPECT_EQ(loadPGM(pgm, output, 1, 0, 3, 1, buffer), -5);  // wide samples into one byte
    EXPECT_EQ(savePGM(nullptr, output, 1, 0, 3, 1, buffer), -1);
    EXPECT_EQ(savePGM(input, output, 1, 0, 3, 1, nullptr), -2);
    std::rewind(input);
    EXPECT_EQ(savePGM(input, output, 2, 0, 3, 2, buffer), -4);  // input too short
    std::fclose(input);
    std::fclose(pgm);
    std::fclose(output);
}

TEST_F(CodecUtilTest, TemporaryNames) {
    char *block = MTN_Init(3);
    ASSERT_NE(block, nullptr);
    EXPECT_STREQ(MTN_GetEntryN(block, 0), "~~0000~~.tmp");
    EXPECT_STREQ(MTN_GetEntryN(block, 2), "~~0002~~.tmp");
    EXPECT_EQ(MTN_GetEntryN(block, 2), block + 26);
    MTN_Free(block);
    EXPECT_EQ(MTN_Init(0), nullptr);
    // Names beyond four digits would not fit their entries.
    EXPECT_EQ(MTN_Init(10001), nullptr);
    block = MTN_Init(10000);
    ASSERT_NE(block, nullptr);
    EXPECT_STREQ(MTN_GetEntryN(block, 9999), "~~9999~~.tmp");
    MTN_Free(block);
}

TEST_F(CodecUtilTest, FileMasksFromAnExtensionList) {
    char list[] = "dcm;.img";
    char *cursor = list;
    char mask[32];
    ASSERT_EQ(nextfilemask(mask, sizeof mask, "img*", &cursor, ';'), 0);
    EXPECT_STREQ(mask, "img*.dcm");
    ASSERT_EQ(nextfilemask(mask, sizeof mask, "img*", &cursor, ';'), 0);
    EXPECT_STREQ(mask, "img*.img");
    EXPECT_EQ(nextfilemask(mask, sizeof mask, "img*", &cursor, ';'), 2);

    cursor = nullptr;
    ASSERT_EQ(nextfilemask(mask, sizeof mask, "a*", &cursor, ';'), 0);
    EXPECT_STREQ(mask, "a*");
    EXPECT_EQ(nextfilemask(mask, sizeof mask, "a*", &cursor, ';'), 2);

    EXPECT_EQ(nextfilemask(nullptr, 8, "a*", &cursor, ';'), 1);
    char longList[] = "verylongextension";
    cursor = longList;
    char small[8];
    EXPECT_EQ(nextfilemask(small, sizeof small, "img*", &cursor, ';'), 3);
    EXPECT_STREQ(small, "");
}

TEST_F(CodecUtilTest, FileLengthAndBaseName) {
    std::ofstream(path("len.bin"), std::ios::binary) << std::string(1234, 'x');
    EXPECT_EQ(get_file_length(path("len.bin").c_str()), 1234);
    EXPECT_EQ(get_file_length(path("none.bin").c_str()), -1);

    EXPECT_STREQ(velmar_basename("a/b/c.dcm"), "c.dcm");
    EXPECT_STREQ(velmar_basename("C:\\data\\x.img"), "x.img");
    EXPECT_STREQ(velmar_basename("plain"), "plain");
    EXPECT_STREQ(velmar_basename("dir/"), "");
    const char *p = "a/b";
    EXPECT_EQ(velmar_basename(p), p + 2);  // points into the argument
}

TEST_F(CodecUtilTest, StatisticsLine) {
    CodecStatistics s;
    std::memset(&s, 0x7F, sizeof s);
    ASSERT_EQ(initStatistics(&s), &s);
    EXPECT_EQ(s.counter[3], -1);
    EXPECT_EQ(s.result, nullptr);
    EXPECT_STREQ(getStatisticsStr(&s), "STAT error");

    s.text[0] = "ct.dcm";
    s.text[1] = "png";
    s.counter[0] = 1024;
    s.number[0] = 2.5f;
    s.value[3] = 7;
    EXPECT_STREQ(getStatisticsStr(&s),
                 "ct.dcm\tpng\t\t\t1024\t-1\t-1\t-1\t 2.50\t-1.00\t-1\t-1\t-1\t7\t\n");
    // Texts far longer than the two named ones still fit: the line is sized to its content.
    std::string long_note(5000, 'n');
    s.note = long_note.c_str();
    std::string line = getStatisticsStr(&s);
    EXPECT_EQ(line.size(), std::strlen("ct.dcm\tpng\t\t\t1024\t-1\t-1\t-1\t 2.50\t-1.00\t-1\t-1\t-1\t7\t\n") + 5000);
    freeStatistics(&s);
    EXPECT_EQ(s.result, nullptr);
}

TEST_F(CodecUtilTest, ChronometerMeasuresAndWarns) {
    Chronometer c;
    std::memset(&c, 0, sizeof c);
    testing::internal::CaptureStdout();
    EXPECT_EQ(CHRONO_read(&c), -1.0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "chronometer not initialized !");

    CHRONO_init(&c);
    testing::internal::CaptureStdout();
    EXPECT_EQ(CHRONO_stop(&c), 0);  // stopped: warns and changes nothing
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "chronometer not started !");
    EXPECT_EQ(c.total, 0);
    EXPECT_EQ(c.running, 0);

    CHRONO_start(&c);
    testing::internal::CaptureStdout();
    CHRONO_start(&c);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "chronometer already on!");
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    EXPECT_GE(CHRONO_read(&c), 0.029);  // running: includes the time since start
    int32_t run = CHRONO_stop(&c);
    EXPECT_GE(run, 30);
    EXPECT_EQ(c.total, run);
    EXPECT_DOUBLE_EQ(CHRONO_read(&c), run * 0.001);

    // A second run adds to the total.
    CHRONO_start(&c);
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    int32_t second = CHRONO_stop(&c);
    EXPECT_EQ(c.total, run + second);

    EXPECT_LT(CHRONO_restart(&c), 0.5);
    EXPECT_EQ(c.running, 1);
}

}  // namespace
