// Round trips through the reader: every pair of the three uncompressed syntaxes with 8- and 16-bit
// images, objects compared element by element and pixels byte for byte; the shared sample files
// converted the same way when they are present.
#include <algorithm>
#include <fstream>
#include <sstream>

#include "test_writer_helpers.h"

using namespace writer_test;

namespace {

const char *const kUIDs[] = {"1.2.840.10008.1.2", "1.2.840.10008.1.2.1", "1.2.840.10008.1.2.2"};

// Element-by-element comparison of two trees; group 0002 (it names the syntax) and the pixel data
// descriptor (it names the file) are left out.
void compareTrees(AppData *app, const DicomElement *a, const DicomElement *b, const std::string &where) {
    const DicomElement *x = a->firstChild;
    const DicomElement *y = b->firstChild;
    // Elements the writer never writes: (0008,0001) and (7FE0,0000).
    auto skip = [](const DicomElement *e, const DicomElement *parent) {
        while (e != nullptr && ((e->group == 0x0002 && parent->parent == nullptr) ||
                                VELMAR_TAG(e->group, e->element) == 0x00080001u ||
                                VELMAR_TAG(e->group, e->element) == 0x7FE00000u))
            e = e->next;
        return e;
    };
    x = skip(x, a);
    y = skip(y, b);
    for (; x != nullptr && y != nullptr; x = skip(x->next, a), y = skip(y->next, b)) {
        char tag[16];
        std::snprintf(tag, sizeof tag, "(%04X,%04X)", x->group, x->element);
        std::string here = where + tag;
        ASSERT_EQ(VELMAR_TAG(x->group, x->element), VELMAR_TAG(y->group, y->element)) << here;
        int32_t known = -1;
        getVR(app, VELMAR_TAG(x->group, x->element), &known);
        if (x->group == 0x7FE0 && x->element == 0x0010) {
            // Implicit VR holds Pixel Data as OW; the writer gives 8-bit samples OB.
            EXPECT_TRUE(y->vr == VR_OB || y->vr == VR_OW) << here;
            continue;
        }
        if (known >= 0) EXPECT_EQ(x->vr, y->vr) << here;
        EXPECT_EQ(x->length, y->length) << here;
        ASSERT_EQ(x->value == nullptr, y->value == nullptr) << here;
        if (x->value != nullptr && x->length == y->length)
            EXPECT_EQ(std::memcmp(x->value, y->value, x->length), 0) << here;
        compareTrees(app, x, y, here + "/");
    }
    EXPECT_EQ(x, nullptr) << where << " has more elements in the first tree";
    EXPECT_EQ(y, nullptr) << where << " has more elements in the second tree";
}

// Pixel bytes of a written file in host order.
std::vector<uint8_t> hostPixels(const std::string &path, int syntax, uint16_t bits) {
    std::vector<uint8_t> bytes = readFile(path);
    bool preamble = bytes.size() >= 132 && std::memcmp(bytes.data() + 128, "DICM", 4) == 0;
    ParsedFile f = parse(bytes, syntax, preamble);
    const Parsed *p = nullptr;  // the object's own, not an icon's
    for (const Parsed &e : f.data)
        if (e.tag == 0x7FE00010u && e.depth == 0) p = &e;
    if (p == nullptr) return {};
    std::vector<uint8_t> value = p->value;
    // Samples are stored big endian by their own size (2 bytes for 16 bits, 4 for 32).
    size_t unit = bits == 32 ? 4 : 2;
    if (syntax == 2 && bits > 8)
        for (size_t i = 0; i + unit <= value.size(); i += unit) std::reverse(value.begin() + i, value.begin() + i + unit);
    return value;
}

class RoundTripTest : public ::testing::TestWithParam<uint16_t> {
   protected:
    TempDir dir;
    Context ctx{dir.file("roundtrip.log"), true};

    void SetUp() override {
        ASSERT_TRUE(ctx.loaded) << "the shipped dictionary did not load";
        native_LibraryInit(&ctx.app);
    }

    std::string readBack(const std::string &path, IOObject &io) {
        init_IOObject(&io);
        io.metaSyntax = -1;
        io.dataSyntax = -1;
        int16_t status = DO_importObjectFromFile(&ctx.app, path.c_str(), &io);
        return status == 0 ? std::string() : ctx.log();
    }
};

TEST_P(RoundTripTest, EveryPairOfSyntaxesKeepsEveryElementAndPixel) {
    const uint16_t bits = GetParam(), rows = 7, columns = 5, frames = 3;  // odd-sized 8-bit frames
    size_t frameSize = static_cast<size_t>(rows) * columns * bits / 8;
    std::vector<uint8_t> pixels = pixelBytes(frameSize, frames, bits);
    writeFile(dir.file("raw.bin"), pixels);
    std::vector<uint8_t> descriptor =
        makeDescriptor(dir.file("raw.bin"), rows, columns, bits, frames, 1, kUIDs[1]);

    for (int source = 0; source <= 2; ++source) {
        IOObject first{};
        init_IOObject(&first);
        ASSERT_EQ(DO_openObject(&first.object), 0);
        buildRichObject(ctx, first.object, descriptor);
        first.dataSyntax = source;
        std::string sourcePath = dir.file("source" + std::to_string(source) + ".dcm");
        ASSERT_EQ(DO_copyObjectToFile(&ctx.app, &first, sourcePath.c_str()), 0) << ctx.log();
        DO_closeObject(&first.object);

        IOObject in{};
        ASSERT_EQ(readBack(sourcePath, in), "");
        EXPECT_EQ(in.dataSyntax, source);
        EXPECT_EQ(hostPixels(sourcePath, source, bits),
                  [&] {
                      auto expected = pixels;
                      if (expected.size() % 2) expected.push_back(0);
                      return expected;
                  }())
            << "source " << source;

        for (int target = 0; target <= 2; ++target) {
            std::string targetPath =
                dir.file("target" + std::to_string(source) + std::to_string(target) + ".dcm");
            in.dataSyntax = target;
            ASSERT_EQ(DO_copyObjectToFile(&ctx.app, &in, targetPath.c_str()), 0) << ctx.log();
            IOObject out{};
            ASSERT_EQ(readBack(targetPath, out), "");
            EXPECT_EQ(out.dataSyntax, target);
            EXPECT_STREQ(out.transferSyntaxUID, kUIDs[target]);
            SCOPED_TRACE("from " + std::to_string(source) + " to " + std::to_string(target));
            ASSERT_EQ(DO_checkObject(&ctx.app, out.object), 0);
            compareTrees(&ctx.app, in.object->root, out.object->root, "");
            EXPECT_EQ(hostPixels(targetPath, target, bits), hostPixels(sourcePath, source, bits));
            // The pixels the reader indexes in the new file are the same frames.
            PixelDataDescriptor *pds = get_ppds(&ctx.app, out.object);
            ASSERT_NE(pds, nullptr);
            EXPECT_EQ(pds->numberOfFrames, frames);
            EXPECT_EQ(pds->entryCount, frames);
            EXPECT_EQ(getDCMFileImageDataLength(&ctx.app, targetPath.c_str()),
                      static_cast<int32_t>(frameSize * frames));
            std::free(pds);
            DO_closeObject(&out.object);
        }
        DO_closeObject(&in.object);
    }
    EXPECT_EQ(getDCMFileImageDataLength(&ctx.app, dir.file("absent.dcm").c_str()), -1);
}

TEST_P(RoundTripTest, FileRewrittenOverItselfKeepsItsPixels) {
    // The pixels are read from the file being replaced: the new file only takes its name once
    // it is complete, and the old one stays readable until then.
    const uint16_t bits = GetParam(), rows = 8, columns = 8, frames = 4;
    std::vector<uint8_t> pixels = pixelBytes(static_cast<size_t>(rows) * columns * bits / 8, frames, bits);
    writeFile(dir.file("raw.bin"), pixels);
    IOObject io{};
    init_IOObject(&io);
    ASSERT_EQ(DO_openObject(&io.object), 0);
    buildRichObject(ctx, io.object,
                    makeDescriptor(dir.file("raw.bin"), rows, columns, bits, frames, 1, kUIDs[1]));
    std::string path = dir.file("self.dcm");
    io.dataSyntax = 1;
    ASSERT_EQ(DO_copyObjectToFile(&ctx.app, &io, path.c_str()), 0);
    DO_closeObject(&io.object);
    for (int target : {2, 0, 1}) {
        IOObject in{};
        ASSERT_EQ(readBack(path, in), "");
        in.dataSyntax = target;
        ASSERT_EQ(DO_copyObjectToFile(&ctx.app, &in, path.c_str()), 0) << ctx.log();
        DO_closeObject(&in.object);
        EXPECT_EQ(hostPixels(path, target, bits), pixels) << target;
    }
    EXPECT_TRUE(dir.leftovers().empty());
}

INSTANTIATE_TEST_SUITE_P(Bits, RoundTripTest, ::testing::Values(8, 16));

// Cases of the shared sample manifest that a reader must read and may convert.
std::vector<std::pair<std::string, std::string>> convertibleSamples() {
    std::vector<std::pair<std::string, std::string>> out;
    for (const char *folder : {"generated", "real"}) {
        std::string dirPath = std::string(VELMAR_SHARED_DIR) + "/dicom-samples/" + folder;
        std::ifstream in(dirPath + "/cases.json");
        if (!in) continue;
        std::stringstream text;
        text << in.rdbuf();
        std::string json = text.str();
        size_t at = 0;
        while ((at = json.find("\"file\": \"", at)) != std::string::npos) {
            at += 9;
            std::string file = json.substr(at, json.find('"', at) - at);
            size_t end = json.find('}', at);
            std::string block = json.substr(at, end - at);
            bool ok = block.find("\"expect\": \"ok\"") != std::string::npos;
            bool native = block.find("\"encapsulated\": false") != std::string::npos;
            if (ok && native) out.emplace_back(dirPath, file);
        }
    }
    return out;
}

TEST(RoundTripSamples, SharedSamplesConvertToEverySyntaxElementByElement) {
    auto samples = convertibleSamples();
    if (samples.empty()) GTEST_SKIP() << "the shared DICOM samples are not present";
    TempDir dir;
    Context ctx{dir.file("samples.log"), true};
    ASSERT_TRUE(ctx.loaded);
    native_LibraryInit(&ctx.app);
    int converted = 0;
    for (const auto &[folder, file] : samples) {
        SCOPED_TRACE(file);
        std::string path = folder + "/" + file;
        IOObject in{};
        init_IOObject(&in);
        in.metaSyntax = -1;
        in.dataSyntax = -1;
        ASSERT_EQ(DO_importObjectFromFile(&ctx.app, path.c_str(), &in), 0);
        int source = in.dataSyntax;
        PixelDataDescriptor *pds = get_ppds(&ctx.app, in.object);
        uint16_t bits = pds != nullptr ? pds->bitsAllocated : 8;
        std::free(pds);
        std::vector<uint8_t> sourcePixels = hostPixels(path, source, bits);
        for (int target = 0; target <= 2; ++target) {
            std::string out = dir.file("sample" + std::to_string(target) + ".dcm");
            in.dataSyntax = target;
            ASSERT_EQ(DO_copyObjectToFile(&ctx.app, &in, out.c_str()), 0) << ctx.log();
            IOObject back{};
            init_IOObject(&back);
            back.metaSyntax = -1;
            back.dataSyntax = -1;
            ASSERT_EQ(DO_importObjectFromFile(&ctx.app, out.c_str(), &back), 0) << ctx.log();
            // Both in the written form: the reader gives empty containers their delimiter.
            ASSERT_EQ(DO_checkObject(&ctx.app, back.object), 0);
            compareTrees(&ctx.app, in.object->root, back.object->root, "");
            std::vector<uint8_t> written = hostPixels(out, target, bits);
            if (sourcePixels.size() % 2) sourcePixels.push_back(0);
            EXPECT_EQ(written, sourcePixels) << "target " << target;
            DO_closeObject(&back.object);
        }
        DO_closeObject(&in.object);
        ++converted;
    }
    EXPECT_GT(converted, 0);
}

}  // namespace
