// Test helpers for the codec libraries that velmar builds itself: a source image written byte by
// byte, conversions through the reader, the writer and the codec libraries found by the default
// codec map in the build's codec directory, the native pixels of a file in one canonical layout,
// and peer programs run on files.
#pragma once

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <iterator>
#include <string>
#include <vector>

#include "dicom/test_reader_bytes.h"
#include "velmar.h"

namespace losslesstest {

using readertest::Bytes;

constexpr const char *kExplicitLittle = "1.2.840.10008.1.2.1";

struct Image {
    uint16_t rows = 5;
    uint16_t columns = 7;
    uint16_t samples = 1;
    uint16_t bitsAllocated = 8;
    uint16_t bitsStored = 8;
    uint16_t planar = 0;
    uint16_t frames = 2;

    size_t frameBytes() const { return static_cast<size_t>(rows) * columns * samples * (bitsAllocated / 8); }
};

// Smooth ramps with noise, flat stretches and full-range spikes, limited to bits stored: the
// kinds of runs and differences a lossless coder must get right.
inline std::vector<uint8_t> pixelsFor(const Image &im, uint32_t seed) {
    const size_t bytes = im.bitsAllocated / 8;
    const size_t count = im.frameBytes() * im.frames / bytes;
    const uint64_t mask = im.bitsStored >= 32 ? 0xFFFFFFFFull : (1ull << im.bitsStored) - 1;
    std::vector<uint8_t> out(count * bytes);
    uint32_t x = seed * 2654435761u + 1u;
    for (size_t i = 0; i < count; ++i) {
        x = x * 1103515245u + 12345u;
        uint64_t v = (i / 3) * 37 + (x >> 28);
        if (i % 50 < 12) v = 0x55;         // a flat stretch
        if ((x >> 8) % 97 == 0) v = mask;  // a spike to the top of the range
        if ((x >> 8) % 89 == 0) v = 0;
        v &= mask;
        for (size_t b = 0; b < bytes; ++b) out[i * bytes + b] = static_cast<uint8_t>(v >> (8 * b));
    }
    return out;
}

inline std::string padEven(std::string text, char pad) {
    if (text.size() % 2 != 0) text.push_back(pad);
    return text;
}

// A PS3.10 explicit VR little endian Secondary Capture file holding `pixels`.
inline Bytes sourceFile(const Image &im, const std::vector<uint8_t> &pixels) {
    Bytes ds(1);
    ds.element(0x0008, 0x0016, "UI", padEven("1.2.840.10008.5.1.4.1.1.7", '\0'));
    ds.element(0x0008, 0x0018, "UI", padEven("1.2.826.0.1.3680043.2.1143.15", '\0'));
    ds.element(0x0008, 0x0060, "CS", "OT");
    ds.us(0x0028, 0x0002, im.samples);
    ds.element(0x0028, 0x0004, "CS", im.samples == 3 ? "RGB " : "MONOCHROME2 ");
    if (im.samples > 1) ds.us(0x0028, 0x0006, im.planar);
    ds.element(0x0028, 0x0008, "IS", padEven(std::to_string(im.frames), ' '));
    ds.us(0x0028, 0x0010, im.rows);
    ds.us(0x0028, 0x0011, im.columns);
    ds.us(0x0028, 0x0100, im.bitsAllocated);
    ds.us(0x0028, 0x0101, im.bitsStored);
    ds.us(0x0028, 0x0102, static_cast<uint16_t>(im.bitsStored - 1));
    ds.us(0x0028, 0x0103, 0);
    std::vector<uint8_t> value = pixels;
    if (value.size() % 2 != 0) value.push_back(0);
    ds.header(0x7FE0, 0x0010, im.bitsAllocated > 8 ? "OW" : "OB", static_cast<uint32_t>(value.size()));
    ds.raw(value.data(), value.size());
    return readertest::fileWith(ds, kExplicitLittle);
}

inline std::string fileText(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

inline bool succeeds(const std::string &command) {
    int status = std::system((command + " >/dev/null 2>&1").c_str());
    return status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

inline bool have(const char *program) {
    return succeeds(std::string("command -v ") + program);
}

// The pixels of a native file, samples interleaved whatever its Planar Configuration.
struct Pixels {
    bool read = false;
    std::string bytes;
};

class CodecTest : public ::testing::Test {
   protected:
    void SetUp() override {
        setenv("VELMAR_DEF_PATH", VELMAR_SHARE_DIR, 0);
        char title[VELMAR_TITLE_SIZE];
        ASSERT_EQ(init_AppData(&app, "test_lossless", "1", title), 0);
        ASSERT_EQ(InitTagDef(&app, 0), 0);
        ASSERT_EQ(native_LibraryInit(&app), 0);
        initCodecMap(&map);
        ASSERT_EQ(loadCodecMapFile(&map, VELMAR_SHARE_DIR "/defcodec.map"), 0);
        dir = std::filesystem::temp_directory_path() /
              ("velmar_lossless_" + std::to_string(::getpid()) + "_" +
               ::testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::create_directories(dir);
    }
    void TearDown() override {
        freeCodecMap(&map);
        DoneTagDef(&app);
        done_AppData(&app);
        std::error_code ignored;
        if (std::getenv("VELMAR_KEEP_TEST_FILES") == nullptr) std::filesystem::remove_all(dir, ignored);
    }

    // Loads the codec library the default map names for `codec` from the build's codec directory.
    void load(const char *codec) {
        const char *names[1] = {codec};
        const char *options[1] = {""};
        ASSERT_EQ(init_DynamicCodecLibraries(&app, &map, names, options, 1, VELMAR_BINARY_DIR "/codecs"), 0)
            << "codec " << codec;
    }

    std::string path(const std::string &name) const { return (dir / name).string(); }

    std::string write(const std::string &name, const Bytes &bytes) const {
        std::string file = path(name);
        std::ofstream(file, std::ios::binary)
            .write(reinterpret_cast<const char *>(bytes.data.data()),
                   static_cast<std::streamsize>(bytes.size()));
        return file;
    }

    // Reads `in` and writes it to `out` in `uid` (one of the native syntaxes, or encapsulated).
    int16_t convert(const std::string &in, const std::string &out, const char *uid) {
        IOObject io;
        init_IOObject(&io);
        io.metaSyntax = -1;
        io.dataSyntax = -1;
        int16_t status = DO_importObjectFromFile(&app, in.c_str(), &io);
        if (status == 0) {
            io.dataSyntax = TS_OTHER;  // the writer maps the native UIDs onto their codes
            io.hasPreamble = 1;
            std::snprintf(io.transferSyntaxUID, sizeof io.transferSyntaxUID, "%s", uid);
            status = DO_copyObjectToFile(&app, &io, out.c_str());
        }
        DO_closeObject(&io.object);
        return status;
    }

    // Decodes every shared sample whose transfer syntax is one of `uids` with velmar and with the
    // peer `decoder` (a DCMTK tool taking IN OUT) and expects the same pixels; returns how many
    // samples were compared.
    int compareSharedSamples(std::initializer_list<const char *> uids, const std::string &decoder) {
        int checked = 0;
        for (const char *folder : {"generated", "real"}) {
            std::string cases =
                fileText(std::string(VELMAR_SHARED_DIR) + "/dicom-samples/" + folder + "/cases.json");
            for (size_t at = cases.find("\"file\": \""); at != std::string::npos;
                 at = cases.find("\"file\": \"", at + 1)) {
                size_t start = at + 9;
                std::string name = cases.substr(start, cases.find('"', start) - start);
                std::string entry = cases.substr(start, cases.find("\"file\": \"", start) - start);
                if (std::none_of(uids.begin(), uids.end(), [&](const char *uid) {
                        return entry.find(std::string("\"ts\": \"") + uid + "\"") != std::string::npos;
                    }))
                    continue;
                std::string file = std::string(VELMAR_SHARED_DIR) + "/dicom-samples/" + folder + "/" + name;
                SCOPED_TRACE(file);
                EXPECT_EQ(convert(file, path("v.dcm"), kExplicitLittle), 0);
                EXPECT_TRUE(succeeds(decoder + " " + file + " " + path("d.dcm")));
                Pixels ours = nativePixels(path("v.dcm"));
                EXPECT_TRUE(ours.read);
                EXPECT_EQ(ours.bytes, nativePixels(path("d.dcm")).bytes);
                ++checked;
            }
        }
        return checked;
    }

    Pixels nativePixels(const std::string &file) {
        Pixels out;
        IOObject io;
        init_IOObject(&io);
        io.metaSyntax = -1;
        io.dataSyntax = -1;
        PixelDataDescriptor *pds = nullptr;
        if (DO_importObjectFromFile(&app, file.c_str(), &io) == 0) pds = get_ppds(&app, io.object);
        DO_closeObject(&io.object);
        if (pds == nullptr || pds->pixelLength == VELMAR_UNDEFINED_LENGTH) {
            std::free(pds);
            return out;
        }
        std::string all = fileText(pds->fileName);
        std::string bytes =
            all.substr(pds->pixelOffset, static_cast<size_t>(pds->frameSize) * pds->numberOfFrames);
        out.read = true;
        out.bytes =
            pds->planarConfiguration == 1 && pds->samplesPerPixel > 1 ? interleave(*pds, bytes) : bytes;
        std::free(pds);
        return out;
    }

    static std::string interleave(const PixelDataDescriptor &d, const std::string &planes) {
        const size_t bytes = d.bitsAllocated / 8u;
        const size_t pixels = static_cast<size_t>(d.rows) * d.columns;
        std::string out(planes.size(), '\0');
        for (size_t f = 0; f < d.numberOfFrames; ++f)
            for (size_t s = 0; s < d.samplesPerPixel; ++s)
                for (size_t p = 0; p < pixels; ++p)
                    for (size_t b = 0; b < bytes; ++b)
                        out[f * d.frameSize + (p * d.samplesPerPixel + s) * bytes + b] =
                            planes[f * d.frameSize + (s * pixels + p) * bytes + b];
        return out;
    }

    static std::string interleaved(const Image &im, const std::vector<uint8_t> &pixels) {
        std::string bytes(pixels.begin(), pixels.end());
        if (im.planar == 0 || im.samples == 1) return bytes;
        PixelDataDescriptor d{};
        d.bitsAllocated = im.bitsAllocated;
        d.rows = im.rows;
        d.columns = im.columns;
        d.samplesPerPixel = im.samples;
        d.numberOfFrames = im.frames;
        d.frameSize = static_cast<uint32_t>(im.frameBytes());
        return interleave(d, bytes);
    }

    AppData app{};
    CodecMap map{};
    std::filesystem::path dir;
};

}  // namespace losslesstest
