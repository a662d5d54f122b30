// The frame kernel: encapsulated output with its offset table and even fragments, streaming and
// failure rules, the Interfile decoders, the coded-frame file helpers, and an external codec
// library used end to end through a codec map.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "dicom/test_writer_helpers.h"
#include "velmar/codecs.h"

using namespace writer_test;

namespace {

constexpr const char *kTestUID = "1.2.826.0.1.3680043.9.9999.1";

// How the test coder cuts each frame: fragment lengths per frame (the rest goes into the last),
// in the order they are handed to the kernel with the fragment numbers given.
struct Plan {
    std::vector<std::vector<std::pair<uint16_t, uint32_t>>> frames;  // (fragment number, length)
    std::vector<uint16_t> frameOrder;                                // empty: 1..n
    bool unlinkSourceAfterFirstFrame = false;
    bool ignoreDecodeFailure = false;
    std::vector<long> outputSizeAtFrame;  // output position when each frame starts coding
    std::string sourceFile;
};
Plan *plan = nullptr;

int16_t planCoder(KernelPrivate *kernel, FrameBuffer *) {
    const PixelDataDescriptor *image = getKernelDescriptor(kernel);
    std::vector<uint16_t> order = plan->frameOrder;
    if (order.empty())
        for (uint16_t n = 1; n <= image->numberOfFrames; ++n) order.push_back(n);
    for (uint16_t n : order) {
        plan->outputSizeAtFrame.push_back(std::ftell(getKernelIOObject(kernel)->stream));
        FrameBuffer *frame = nullptr;
        int16_t status = GetDecodedFrame(kernel, &frame, n);
        if (status != 0) {
            if (plan->ignoreDecodeFailure) continue;
            return status;
        }
        if (plan->unlinkSourceAfterFirstFrame && n == 1) unlink(plan->sourceFile.c_str());
        const auto &cuts = plan->frames[(n - 1) % plan->frames.size()];
        // Fragments are cut in fragment-number order, then handed over in the plan's order.
        std::vector<std::pair<uint16_t, uint32_t>> sorted = cuts;
        std::sort(sorted.begin(), sorted.end());
        std::vector<uint32_t> starts(sorted.size());
        uint32_t at = 0;
        for (size_t i = 0; i < sorted.size(); ++i) {
            starts[i] = at;
            at += i + 1 == sorted.size() ? frame->length - at : sorted[i].second;
        }
        for (const auto &[number, length] : cuts) {
            size_t i =
                std::find(sorted.begin(), sorted.end(), std::make_pair(number, length)) - sorted.begin();
            CodedFragment f{};
            f.frame = n;
            f.fragment = number;
            f.data = frame->data + frame->offset;
            f.offset = starts[i];
            f.length = i + 1 == sorted.size() ? frame->length - starts[i] : length;
            if (addCodedFragment(kernel, &f) != 0) return -1;
        }
    }
    return 0;
}

// Decodes the test syntax: the frame's fragments concatenated are the frame.
int16_t concatDecoder(KernelPrivate *kernel, FrameBuffer *request) {
    FrameBuffer *raw = nullptr;
    int16_t status = readSourceFrame(kernel, &raw, request->frameNumber);
    if (status != 0) return status;
    if (raw->length < request->length) return -1;
    std::memcpy(request->data + request->offset, raw->data + raw->offset, request->length);
    return 0;
}

int16_t failingCoder(KernelPrivate *, FrameBuffer *) {
    return -3;
}
int16_t nothing(KernelPrivate *) {
    return 0;
}
int16_t releaseNothing(void *) {
    return 0;
}

void registerTestCodecs(AppData *app, int16_t (*coder)(KernelPrivate *, FrameBuffer *)) {
    Codec c{};
    std::strcpy(c.libraryName, "kerneltest");
    std::strcpy(c.kind, "coder");
    std::strcpy(c.transferSyntaxUID, kTestUID);
    c.isCoder = 1;
    c.done = nothing;
    c.process = coder;
    ASSERT_EQ(registerCodec(app, &c), 0);
    std::strcpy(c.kind, "decoder");
    c.isCoder = 0;
    c.process = concatDecoder;
    ASSERT_EQ(registerCodec(app, &c), 0);
    CodecLibrary lib{};
    std::strcpy(lib.libraryName, "kerneltest");
    lib.release = releaseNothing;
    ASSERT_EQ(registerCodecLibrary(app, &lib), 0);
}

class KernelTest : public ::testing::Test {
   protected:
    TempDir dir;
    Context ctx{dir.file("kernel.log"), true};
    IOObject io{};
    Plan thePlan;
    std::vector<uint8_t> pixels;

    void SetUp() override {
        ASSERT_TRUE(ctx.loaded);
        native_LibraryInit(&ctx.app);
        interfile_LibraryInit(&ctx.app);
        plan = &thePlan;
        init_IOObject(&io);
        ASSERT_EQ(DO_openObject(&io.object), 0);
    }
    void TearDown() override {
        DO_closeObject(&io.object);
        plan = nullptr;
    }

    // A 3-frame image of `bits` bits over a raw file, under the given source syntax.
    void image(uint16_t rows, uint16_t columns, uint16_t bits, uint16_t frames, int32_t syntax,
               const char *uid, bool swappedFile = false) {
        pixels = pixelBytes(static_cast<size_t>(rows) * columns * bits / 8, frames, bits);
        std::vector<uint8_t> file = pixels;
        if (swappedFile)
            for (size_t i = 0; i + 1 < file.size(); i += 2) std::swap(file[i], file[i + 1]);
        thePlan.sourceFile = dir.file("pixels.raw");
        writeFile(thePlan.sourceFile, file);
        Builder b{ctx, io.object};
        b.uid(0x00080016u, "1.2.840.10008.5.1.4.1.1.7");
        b.uid(0x00080018u, "1.2.3.4");
        addImage(b, makeDescriptor(thePlan.sourceFile, rows, columns, bits, frames, syntax, uid));
    }

    // Reads `name` back and writes it in explicit VR little endian: the source pixels come back.
    void expectNativeRoundTrip(const std::string &name) {
        IOObject back{};
        init_IOObject(&back);
        back.metaSyntax = back.dataSyntax = -1;
        ASSERT_EQ(DO_importObjectFromFile(&ctx.app, dir.file(name).c_str(), &back), 0);
        back.dataSyntax = 1;
        std::strcpy(back.transferSyntaxUID, "1.2.840.10008.1.2.1");
        ASSERT_EQ(DO_copyObjectToFile(&ctx.app, &back, dir.file("back_" + name).c_str()), 0) << ctx.log();
        std::vector<uint8_t> value =
            parse(readFile(dir.file("back_" + name)), 1, true).find(0x7FE00010u)->value;
        if (value.size() == pixels.size() + 1) value.pop_back();
        EXPECT_EQ(value, pixels) << name;
        DO_closeObject(&back.object);
    }

    int16_t write(int syntax, const std::string &name, const char *uid = nullptr) {
        io.dataSyntax = syntax;
        if (uid != nullptr) std::strcpy(io.transferSyntaxUID, uid);
        return DO_copyObjectToFile(&ctx.app, &io, dir.file(name).c_str());
    }
};

TEST_F(KernelTest, EncapsulatedOutputHasAnOffsetTableAndEvenFragments) {
    registerTestCodecs(&ctx.app, planCoder);
    image(4, 4, 8, 3, 1, "1.2.840.10008.1.2.1");  // 16 bytes a frame
    // Frame 1: 3 + 13, the odd first borrows the first byte of the second: 4 + 12. Frame 2: an
    // empty fragment (dropped), 5 and 11 handed over last-first: 6 + 10. Frame 3: one of 16.
    thePlan.frames = {{{0, 3}, {1, 13}}, {{2, 11}, {0, 0}, {1, 5}}, {{0, 16}}};
    ASSERT_EQ(write(3, "encaps.dcm", kTestUID), 0) << ctx.log();

    std::vector<uint8_t> bytes = readFile(dir.file("encaps.dcm"));
    ParsedFile f = parse(bytes, 1, true);
    ASSERT_EQ(f.error, "");
    EXPECT_EQ(textOf(f.find(0x00020010u, true)), std::string(kTestUID));
    const Parsed *pixel = f.find(0x7FE00010u);
    ASSERT_NE(pixel, nullptr);
    EXPECT_EQ(pixel->vr, "OB");
    EXPECT_EQ(pixel->length, VELMAR_UNDEFINED_LENGTH);
    std::vector<const Parsed *> items;
    bool after = false;
    for (const Parsed &p : f.data) {
        if (&p == pixel)
            after = true;
        else if (after)
            items.push_back(&p);
    }
    ASSERT_EQ(items.size(), 7u);  // table, five fragments, delimiter
    EXPECT_EQ(items.back()->tag, 0xFFFEE0DDu);
    std::vector<uint32_t> lengths;
    for (size_t i = 1; i + 1 < items.size(); ++i) lengths.push_back(items[i]->length);
    EXPECT_EQ(lengths, (std::vector<uint32_t>{4, 12, 6, 10, 16}));
    // Offsets from the first fragment item to each frame's first one (each item: 8 + length).
    const Parsed *table = items[0];
    ASSERT_EQ(table->length, 12u);
    EXPECT_EQ(get32(table->value, 0, false), 0u);
    EXPECT_EQ(get32(table->value, 4, false), 32u);
    EXPECT_EQ(get32(table->value, 8, false), 64u);
    // Borrowing moves bytes between items but keeps the stream of each frame.
    std::vector<uint8_t> joined;
    for (size_t i = 1; i + 1 < items.size(); ++i)
        joined.insert(joined.end(), items[i]->value.begin(), items[i]->value.end());
    EXPECT_EQ(joined, pixels);
    EXPECT_EQ(getDCMFileImageDataLength(&ctx.app, dir.file("encaps.dcm").c_str()), 48 + 4 * 8 + 4 * 3 + 24);

    // Read back: the reader indexes the fragments by the table; the decoder joins them.
    IOObject back{};
    init_IOObject(&back);
    back.metaSyntax = back.dataSyntax = -1;
    ASSERT_EQ(DO_importObjectFromFile(&ctx.app, dir.file("encaps.dcm").c_str(), &back), 0);
    back.dataSyntax = 1;
    ASSERT_EQ(DO_copyObjectToFile(&ctx.app, &back, dir.file("native.dcm").c_str()), 0) << ctx.log();
    EXPECT_EQ(parse(readFile(dir.file("native.dcm")), 1, true).find(0x7FE00010u)->value, pixels);
    DO_closeObject(&back.object);
}

TEST_F(KernelTest, OddLastFragmentOfAFrameGainsAZeroByte) {
    registerTestCodecs(&ctx.app, planCoder);
    image(3, 3, 8, 2, 1, "1.2.840.10008.1.2.1");  // 9 bytes a frame
    thePlan.frames = {{{0, 9}}};
    ASSERT_EQ(write(3, "odd.dcm", kTestUID), 0) << ctx.log();
    ParsedFile f = parse(readFile(dir.file("odd.dcm")), 1, true);
    std::vector<std::vector<uint8_t>> fragments;
    bool after = false;
    for (const Parsed &p : f.data) {
        if (p.tag == 0x7FE00010u)
            after = true;
        else if (after && p.tag == 0xFFFEE000u)
            fragments.push_back(p.value);
    }
    ASSERT_EQ(fragments.size(), 3u);
    EXPECT_EQ(get32(fragments[0], 4, false), 18u);  // the second frame starts after 8 + 10 bytes
    std::vector<uint8_t> first(pixels.begin(), pixels.begin() + 9);
    first.push_back(0);
    EXPECT_EQ(fragments[1], first);
}

TEST_F(KernelTest, FramesAreWrittenWhileTheCoderRunsAndTheSourceStaysOpen) {
    registerTestCodecs(&ctx.app, planCoder);
    image(64, 64, 16, 4, 1, "1.2.840.10008.1.2.1");  // 8 KiB a frame
    thePlan.frames = {{{0, 8192}}};
    thePlan.unlinkSourceAfterFirstFrame = true;  // later frames come from the open file
    ASSERT_EQ(write(3, "stream.dcm", kTestUID), 0) << ctx.log();
    ASSERT_EQ(thePlan.outputSizeAtFrame.size(), 4u);
    // Frame n - 1 is in the file when frame n + 1 starts: no more than one frame is held.
    for (size_t i = 2; i < 4; ++i)
        EXPECT_GE(thePlan.outputSizeAtFrame[i] - thePlan.outputSizeAtFrame[1],
                  static_cast<long>((i - 1) * 8192))
            << i;
}

TEST_F(KernelTest, FramesComeOutInOrderAndAFrameAlreadyWrittenCannotGrow) {
    registerTestCodecs(&ctx.app, planCoder);
    image(2, 2, 8, 3, 1, "1.2.840.10008.1.2.1");
    thePlan.frames = {{{0, 4}}};
    // Frames not yet written are still sorted.
    thePlan.frameOrder = {1, 3, 2};
    ASSERT_EQ(write(3, "order_encaps.dcm", kTestUID), 0);
    // Frame 1 is written once frame 2 starts; more of it can no longer be placed.
    thePlan.frameOrder = {1, 2, 1};
    EXPECT_EQ(write(3, "late.dcm", kTestUID), -1);
    EXPECT_NE(ctx.log().find("DICOM object " + dir.file("late.dcm") + " not fully saved"), std::string::npos);
    EXPECT_TRUE(dir.leftovers().empty());
    EXPECT_FALSE(fs::exists(dir.file("late.dcm")));

    IOObject back{};
    init_IOObject(&back);
    back.metaSyntax = back.dataSyntax = -1;
    ASSERT_EQ(DO_importObjectFromFile(&ctx.app, dir.file("order_encaps.dcm").c_str(), &back), 0);
    back.dataSyntax = 1;
    ASSERT_EQ(DO_copyObjectToFile(&ctx.app, &back, dir.file("order_native.dcm").c_str()), 0);
    EXPECT_EQ(parse(readFile(dir.file("order_native.dcm")), 1, true).find(0x7FE00010u)->value, pixels);
    DO_closeObject(&back.object);
}

// Hands every frame in two parts of odd length, interleaved across frames: part 0 of every frame,
// then part 1 of every frame, as coders that work on several frames at once do.
int16_t interleavingCoder(KernelPrivate *kernel, FrameBuffer *) {
    const PixelDataDescriptor *image = getKernelDescriptor(kernel);
    std::vector<std::vector<uint8_t>> frames;
    for (uint32_t n = 1; n <= image->numberOfFrames; ++n) {
        FrameBuffer *frame = nullptr;
        if (GetDecodedFrame(kernel, &frame, n) != 0) return -1;
        frames.emplace_back(frame->data + frame->offset, frame->data + frame->offset + frame->length);
    }
    for (uint16_t part = 0; part < 2; ++part)
        for (uint32_t n = 1; n <= frames.size(); ++n) {
            std::vector<uint8_t> &bytes = frames[n - 1];
            uint32_t head = 3;
            CodedFragment f{};
            f.frame = static_cast<uint16_t>(n);
            f.fragment = part;
            f.data = bytes.data();
            f.offset = part == 0 ? 0 : head;
            f.length = part == 0 ? head : static_cast<uint32_t>(bytes.size()) - head;
            if (addCodedFragment(kernel, &f) != 0) return -1;
        }
    return 0;
}

TEST_F(KernelTest, FragmentsInAnyOrderOfFramesAndPartsAreWrittenPerFrame) {
    registerTestCodecs(&ctx.app, interleavingCoder);
    image(3, 5, 8, 4, 1, "1.2.840.10008.1.2.1");
    ASSERT_EQ(write(3, "interleaved.dcm", kTestUID), 0) << ctx.log();
    ParsedFile f = parse(readFile(dir.file("interleaved.dcm")), 1, true);
    // One offset per frame, each frame's two items in a row: (8 + 4) + (8 + 12) bytes a frame.
    const Parsed *table = nullptr;
    for (const Parsed &p : f.data)
        if (p.tag == 0xFFFEE000u) {
            table = &p;
            break;
        }
    ASSERT_NE(table, nullptr);
    for (uint32_t i = 0; i < 4; ++i) EXPECT_EQ(get32(table->value, 4 * i, false), 32u * i);
    expectNativeRoundTrip("interleaved.dcm");

    // Frames handed last first are held, beyond the memory bound in the spill file.
    registerTestCodecs(&ctx.app, planCoder);
    DO_closeObject(&io.object);
    ASSERT_EQ(DO_openObject(&io.object), 0);
    image(1024, 1024, 16, 3, 1, "1.2.840.10008.1.2.1");
    thePlan.frames = {{{0, 1001}, {1, 0}}};
    thePlan.frameOrder = {3, 2, 1};
    ASSERT_EQ(write(3, "reversed.dcm", kTestUID), 0) << ctx.log();
    expectNativeRoundTrip("reversed.dcm");
}

TEST_F(KernelTest, EncapsulatedFragmentsBeyondNumberOfFramesAreRefused) {
    registerTestCodecs(&ctx.app, planCoder);
    writeFile(dir.file("coded.raw"), std::vector<uint8_t>(12, 5));
    std::vector<uint8_t> block = makeDescriptor(dir.file("coded.raw"), 2, 2, 8, 3, 3, kTestUID);
    auto *d = reinterpret_cast<PixelDataDescriptor *>(block.data());
    d->numberOfFrames = 2;
    d->pixelLength = VELMAR_UNDEFINED_LENGTH;
    Builder b{ctx, io.object};
    b.uid(0x00080016u, "1.2.840.10008.5.1.4.1.1.7");
    b.uid(0x00080018u, "1.2.3.4");
    addImage(b, block);
    EXPECT_EQ(write(1, "beyond.dcm"), -1);
    EXPECT_NE(ctx.log().find("Error: the encapsulated Pixel Data holds fragments of frame 3, beyond Number of "
                             "Frames (0028,0008) of 2"),
              std::string::npos)
        << ctx.log();
}

TEST_F(KernelTest, ThirtyTwoBitSamplesAreReversedWhole) {
    image(2, 3, 32, 2, 1, "1.2.840.10008.1.2.1");
    ASSERT_EQ(write(2, "big32.dcm"), 0) << ctx.log();
    std::vector<uint8_t> reversed = pixels;
    for (size_t i = 0; i + 3 < reversed.size(); i += 4)
        std::reverse(reversed.begin() + i, reversed.begin() + i + 4);
    EXPECT_EQ(parse(readFile(dir.file("big32.dcm")), 2, true).find(0x7FE00010u)->value, reversed);
    expectNativeRoundTrip("big32.dcm");
}

TEST_F(KernelTest, DecoderFailureFailsTheWriteEvenWhenTheCoderIgnoresIt) {
    registerTestCodecs(&ctx.app, planCoder);
    image(4, 4, 16, 3, 1, "1.2.840.10008.1.2.1");
    thePlan.frames = {{{0, 32}}};
    thePlan.ignoreDecodeFailure = true;
    std::vector<uint8_t> cut(pixels.begin(), pixels.begin() + 70);  // frame 3 is short
    writeFile(thePlan.sourceFile, cut);
    EXPECT_EQ(write(3, "short.dcm", kTestUID), -1);
    EXPECT_FALSE(fs::exists(dir.file("short.dcm")));
}

TEST_F(KernelTest, CoderFailureAndMissingCodecsFailTheWrite) {
    registerTestCodecs(&ctx.app, failingCoder);
    image(2, 2, 8, 1, 1, "1.2.840.10008.1.2.1");
    EXPECT_EQ(write(3, "fail.dcm", kTestUID), -1);
    EXPECT_EQ(write(3, "nocoder.dcm", "1.2.3.4.5.6.7"), -1);
    // Codec lookups for a conversion compare UIDs exactly.
    EXPECT_EQ(write(3, "case.dcm", "1.2.826.0.1.3680043.9.9999.1 "), -1);
    EXPECT_EQ(write(1, "ok.dcm"), 0);
}

TEST_F(KernelTest, InterfileDataIsDecodedInEitherByteOrder) {
    image(4, 5, 16, 2, 2, "Interfile.Big.Endian", true);
    ASSERT_EQ(write(1, "from_big.dcm"), 0) << ctx.log();
    EXPECT_EQ(parse(readFile(dir.file("from_big.dcm")), 1, true).find(0x7FE00010u)->value, pixels);

    DO_closeObject(&io.object);
    ASSERT_EQ(DO_openObject(&io.object), 0);
    image(4, 5, 16, 2, 1, "Interfile.Little.Endian");
    ASSERT_EQ(write(2, "to_big.dcm"), 0) << ctx.log();
    std::vector<uint8_t> swapped = pixels;
    for (size_t i = 0; i + 1 < swapped.size(); i += 2) std::swap(swapped[i], swapped[i + 1]);
    EXPECT_EQ(parse(readFile(dir.file("to_big.dcm")), 2, true).find(0x7FE00010u)->value, swapped);

    // An Interfile data file shorter than its header says is refused, not padded.
    std::vector<uint8_t> shortFile(pixels.begin(), pixels.end() - 2);
    writeFile(thePlan.sourceFile, shortFile);
    EXPECT_EQ(write(1, "short.dcm"), -1);
    EXPECT_NE(ctx.log().find("Error: frame 2 is short in the source file"), std::string::npos) << ctx.log();

    // 32-bit samples are reversed as 4-byte units: 100000 stored big endian stays 100000.
    DO_closeObject(&io.object);
    ASSERT_EQ(DO_openObject(&io.object), 0);
    image(1, 2, 32, 1, 2, "Interfile.Big.Endian");
    writeFile(thePlan.sourceFile, {0x00, 0x01, 0x86, 0xA0, 0x80, 0x00, 0x00, 0x01});
    ASSERT_EQ(write(1, "from_big32.dcm"), 0) << ctx.log();
    EXPECT_EQ(parse(readFile(dir.file("from_big32.dcm")), 1, true).find(0x7FE00010u)->value,
              (std::vector<uint8_t>{0xA0, 0x86, 0x01, 0x00, 0x01, 0x00, 0x00, 0x80}));
}

// The JPEG-LS and JPEG 2000 libraries decode several frames ahead on worker threads: a coder
// that asks for the frames out of order, jumping back and past the frames read ahead, still gets
// each frame's own pixels.
int16_t jumpingCoder(KernelPrivate *kernel, FrameBuffer *) {
    std::vector<std::vector<uint8_t>> frames(getKernelDescriptor(kernel)->numberOfFrames);
    for (uint16_t n : plan->frameOrder) {
        FrameBuffer *frame = nullptr;
        if (GetDecodedFrame(kernel, &frame, n) != 0) return -1;
        frames[n - 1].assign(frame->data + frame->offset, frame->data + frame->offset + frame->length);
    }
    for (uint16_t n = 1; n <= frames.size(); ++n) {
        CodedFragment f{};
        f.frame = n;
        f.data = frames[n - 1].data();
        f.length = static_cast<uint32_t>(frames[n - 1].size());
        if (addCodedFragment(kernel, &f) != 0) return -1;
    }
    return 0;
}

// Loads a codec library of the build (under the codec map name `name`); false when it was not built.
bool loadBuiltCodec(AppData *app, const char *name, const char *library, const char *uid) {
    if (!fs::exists(fs::path(VELMAR_BINARY_DIR) / "codecs" / (std::string(library) + ".so"))) return false;
    CodecMap map;
    initCodecMap(&map);
    addCodecToCodecMap(&map, uid, name, library, "-");
    const char *names[] = {name};
    const char *options[] = {""};
    EXPECT_EQ(init_DynamicCodecLibraries(app, &map, names, options, 1, VELMAR_BINARY_DIR "/codecs"), 0);
    freeCodecMap(&map);
    return true;
}

TEST_F(KernelTest, CodecLibrariesServeFramesAskedForInAnyOrder) {
    registerTestCodecs(&ctx.app, jumpingCoder);
    image(24, 20, 16, 11, 1, "1.2.840.10008.1.2.1");
    thePlan.frameOrder = {6, 1, 2, 11, 3, 3, 10, 4, 5, 9, 8, 7, 2};
    const char *libraries[][3] = {{"jpegls", "velmar_jpegls", "1.2.840.10008.1.2.4.80"},
                                  {"j2k", "velmar_jpeg2000", "1.2.840.10008.1.2.4.90"}};
    int tried = 0;
    for (const auto &[name, library, uid] : libraries) {
        if (!loadBuiltCodec(&ctx.app, name, library, uid)) continue;
        ++tried;
        std::string coded = std::string(name) + ".dcm", ordered = std::string(name) + "_ordered.dcm";
        ASSERT_EQ(write(3, coded, uid), 0) << ctx.log();
        IOObject back{};
        init_IOObject(&back);
        back.metaSyntax = back.dataSyntax = -1;
        ASSERT_EQ(DO_importObjectFromFile(&ctx.app, dir.file(coded).c_str(), &back), 0);
        back.dataSyntax = 3;
        std::strcpy(back.transferSyntaxUID, kTestUID);
        EXPECT_EQ(DO_copyObjectToFile(&ctx.app, &back, dir.file(ordered).c_str()), 0) << ctx.log();
        DO_closeObject(&back.object);
        expectNativeRoundTrip(ordered);
    }
    if (tried == 0) GTEST_SKIP() << "neither velmar_jpegls nor velmar_jpeg2000 was built";
}

void bigEndian(std::vector<uint8_t> &out, uint64_t value, int bytes) {
    for (int i = bytes - 1; i >= 0; --i) out.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

// A JP2 box: its length (in the extended form when asked), its type, its contents.
void box(std::vector<uint8_t> &out, const char *type, const std::vector<uint8_t> &content,
         bool extended = false) {
    bigEndian(out, extended ? 1 : 8 + content.size(), 4);
    out.insert(out.end(), type, type + 4);
    if (extended) bigEndian(out, 16 + content.size(), 8);
    out.insert(out.end(), content.begin(), content.end());
}

// The JPEG 2000 decoder finds the codestream of a JP2 file after boxes of either length form,
// also in a last box whose length is 0 (to the end).
TEST_F(KernelTest, JpegTwoThousandFramesInAJp2FileAreDecoded) {
    const char *uid = "1.2.840.10008.1.2.4.90";
    if (!loadBuiltCodec(&ctx.app, "j2k", "velmar_jpeg2000", uid))
        GTEST_SKIP() << "velmar_jpeg2000 was not built";
    const uint16_t rows = 12, columns = 10;
    image(rows, columns, 16, 1, 1, "1.2.840.10008.1.2.1");
    ASSERT_EQ(write(3, "bare.dcm", uid), 0) << ctx.log();
    std::vector<uint8_t> codestream;  // the frame's fragment, after the offset table
    int items = 0;
    for (const Parsed &p : parse(readFile(dir.file("bare.dcm")), 1, true).data)
        if (p.tag == 0xFFFEE000u && ++items == 2) codestream = p.value;
    ASSERT_GT(codestream.size(), 2u);
    if (codestream.back() == 0 && codestream[codestream.size() - 2] != 0xFF) codestream.pop_back();

    std::vector<uint8_t> header, image, jp2 = {0, 0, 0, 12, 'j', 'P', ' ', ' ', 0x0D, 0x0A, 0x87, 0x0A};
    box(jp2, "ftyp", {'j', 'p', '2', ' ', 0, 0, 0, 0, 'j', 'p', '2', ' '}, true);
    bigEndian(image, rows, 4);
    bigEndian(image, columns, 4);
    bigEndian(image, 0x0001'0F07'0000, 6);  // one component of 16 bits, unsigned; compression 7
    box(header, "ihdr", image);
    box(header, "colr", {1, 0, 0, 0, 0, 0, 17});  // greyscale
    box(jp2, "jp2h", header);
    bigEndian(jp2, 0, 4);
    jp2.insert(jp2.end(), {'j', 'p', '2', 'c'});
    jp2.insert(jp2.end(), codestream.begin(), codestream.end());
    if (jp2.size() % 2 != 0) jp2.push_back(0);
    writeFile(dir.file("frame.jp2"), jp2);

    std::vector<uint8_t> block = makeDescriptor(dir.file("frame.jp2"), rows, columns, 16, 1, TS_OTHER, uid);
    auto *d = reinterpret_cast<PixelDataDescriptor *>(block.data());
    d->pixelLength = VELMAR_UNDEFINED_LENGTH;
    d->frames[0] = PixelFrameEntry{1, 0, 0, static_cast<uint32_t>(jp2.size())};
    DO_closeObject(&io.object);
    ASSERT_EQ(DO_openObject(&io.object), 0);
    Builder b{ctx, io.object};
    b.uid(0x00080016u, "1.2.840.10008.5.1.4.1.1.7");
    b.uid(0x00080018u, "1.2.3.4");
    addImage(b, block);
    ASSERT_EQ(write(1, "from_jp2.dcm"), 0) << ctx.log();
    EXPECT_EQ(parse(readFile(dir.file("from_jp2.dcm")), 1, true).find(0x7FE00010u)->value, pixels);
}

// Uncompressed frames go from file to file in large runs: a frame table out of file order, an
// image larger than one run, both byte orders, and progress heard once per frame.
TEST_F(KernelTest, NativeFramesAreCopiedInFrameOrderWhateverTheirPlaceInTheFile) {
    const uint16_t kSide = 512, kFrames = 40;  // 20 MiB
    const size_t frameSize = size_t{kSide} * kSide * 2;
    pixels = pixelBytes(frameSize, kFrames, 16);
    std::vector<uint8_t> file = pixels;  // frames 1 and 2 trade places in the file
    std::swap_ranges(file.begin(), file.begin() + frameSize, file.begin() + frameSize);
    thePlan.sourceFile = dir.file("pixels.raw");
    writeFile(thePlan.sourceFile, file);
    std::vector<uint8_t> block =
        makeDescriptor(thePlan.sourceFile, kSide, kSide, 16, kFrames, 1, "1.2.840.10008.1.2.1");
    auto *table = reinterpret_cast<PixelDataDescriptor *>(block.data())->frames;
    std::swap(table[0].offset, table[1].offset);
    Builder b{ctx, io.object};
    b.uid(0x00080016u, "1.2.840.10008.5.1.4.1.1.7");
    b.uid(0x00080018u, "1.2.3.4");
    addImage(b, block);

    std::vector<uint32_t> heard;
    ctx.app.progressUser = &heard;
    ctx.app.progress = [](void *user, uint32_t written, uint32_t) {
        static_cast<std::vector<uint32_t> *>(user)->push_back(written);
    };
    ASSERT_EQ(write(0, "implicit.dcm"), 0) << ctx.log();
    ctx.app.progress = nullptr;
    EXPECT_EQ(parse(readFile(dir.file("implicit.dcm")), 0, true).find(0x7FE00010u)->value, pixels);
    ASSERT_EQ(heard.size(), kFrames);
    for (uint32_t i = 0; i < kFrames; ++i) EXPECT_EQ(heard[i], i + 1);

    ASSERT_EQ(write(2, "big.dcm"), 0) << ctx.log();
    std::vector<uint8_t> swapped = pixels;
    for (size_t i = 0; i + 1 < swapped.size(); i += 2) std::swap(swapped[i], swapped[i + 1]);
    EXPECT_EQ(parse(readFile(dir.file("big.dcm")), 2, true).find(0x7FE00010u)->value, swapped);
}

// A FIFO is neither a DICOM file to read nor a pixel source: refused at once, never waited on.
TEST_F(KernelTest, FifoIsRefusedAsInputAndAsPixelSource) {
    std::string fifo = dir.file("fifo.dcm");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    IOObject other{};
    init_IOObject(&other);
    EXPECT_NE(DO_importObjectFromFile(&ctx.app, fifo.c_str(), &other), 0);
    DO_closeObject(&other.object);

    image(4, 5, 16, 2, 1, "1.2.840.10008.1.2.1");
    ASSERT_EQ(unlink(thePlan.sourceFile.c_str()), 0);
    ASSERT_EQ(mkfifo(thePlan.sourceFile.c_str(), 0600), 0);
    EXPECT_NE(write(2, "from_fifo.dcm"), 0);
}

TEST(CodedFrameFiles, SaveAndLoad) {
    TempDir dir;
    std::vector<uint8_t> bytes = {9, 8, 7, 6, 5};
    FrameBuffer frame{};
    frame.data = bytes.data();
    frame.offset = 1;
    frame.length = 3;
    frame.capacity = 5;
    EXPECT_EQ(saveCodedFrameInFile(&frame, dir.file("frame.bin").c_str()), 0);
    EXPECT_EQ(readFile(dir.file("frame.bin")), (std::vector<uint8_t>{8, 7, 6}));
    EXPECT_EQ(saveCodedFrameInFile(&frame, dir.file("no/dir/frame.bin").c_str()), -2);

    CodedFragment fragment{};
    ASSERT_EQ(loadCodedFragmentFromFile(nullptr, dir.file("frame.bin").c_str(), &fragment), 0);
    EXPECT_EQ(fragment.length, 3u);
    EXPECT_EQ(fragment.capacity, 3u);
    EXPECT_EQ(fragment.offset, 0u);
    EXPECT_EQ(std::vector<uint8_t>(fragment.data, fragment.data + 3), (std::vector<uint8_t>{8, 7, 6}));
    std::free(fragment.data);
    EXPECT_EQ(loadCodedFragmentFromFile(nullptr, dir.file("absent.bin").c_str(), &fragment), -1);
}

// The external library of tests/codecs/plugin, found through a codec map and loaded with
// init_DynamicCodecLibraries, writes an image that reads back to the same pixels.
TEST(ExternalCodec, WritesAndReadsBackThroughTheCodecMap) {
    TempDir dir;
    Context ctx{dir.file("plugin.log"), true};
    ASSERT_TRUE(ctx.loaded);
    native_LibraryInit(&ctx.app);
    std::string mapText = "# test map\n9.9.9.9.9.9.9.9.9.1 xor velmar_testcodec test\n";
    writeFile(dir.file("usrcodec.map"), std::vector<uint8_t>(mapText.begin(), mapText.end()));
    CodecMap map;
    initCodecMap(&map);
    ASSERT_EQ(loadCodecMapFile(&map, dir.file("usrcodec.map").c_str()), 0);
    const char *names[] = {"xor"};
    const char *options[] = {"key=165"};
    ASSERT_EQ(init_DynamicCodecLibraries(&ctx.app, &map, names, options, 1, VELMAR_TEST_CODEC_DIR), 0);
    const char *uid = getUIDForName(&map, "XOR");
    ASSERT_NE(uid, nullptr);

    const uint16_t rows = 6, columns = 7, frames = 3;
    std::vector<uint8_t> pixels = pixelBytes(rows * columns * 2, frames, 16);
    writeFile(dir.file("raw.bin"), pixels);
    IOObject io{};
    init_IOObject(&io);
    ASSERT_EQ(DO_openObject(&io.object), 0);
    Builder b{ctx, io.object};
    b.uid(0x00080016u, "1.2.840.10008.5.1.4.1.1.20");
    b.uid(0x00080018u, "1.2.3.4.5");
    addImage(b, makeDescriptor(dir.file("raw.bin"), rows, columns, 16, frames, 1, "1.2.840.10008.1.2.1"));
    io.dataSyntax = 3;
    std::strcpy(io.transferSyntaxUID, uid);
    ASSERT_EQ(DO_copyObjectToFile(&ctx.app, &io, dir.file("xor.dcm").c_str()), 0) << ctx.log();
    DO_closeObject(&io.object);

    // The stored fragments are the coded bytes, not the pixels.
    ParsedFile f = parse(readFile(dir.file("xor.dcm")), 1, true);
    EXPECT_EQ(textOf(f.find(0x00020010u, true)), std::string("9.9.9.9.9.9.9.9.9.1") + '\0');
    std::vector<uint8_t> stored;
    int fragments = 0;
    bool after = false;
    for (const Parsed &p : f.data) {
        if (p.tag == 0x7FE00010u)
            after = true;
        else if (after && p.tag == 0xFFFEE000u && ++fragments > 1)
            stored.insert(stored.end(), p.value.begin(), p.value.end());
    }
    EXPECT_EQ(fragments, 1 + 2 * frames);
    ASSERT_EQ(stored.size(), pixels.size());
    for (size_t i = 0; i < pixels.size(); ++i) ASSERT_EQ(stored[i], pixels[i] ^ 165) << i;

    IOObject back{};
    init_IOObject(&back);
    back.metaSyntax = back.dataSyntax = -1;
    ASSERT_EQ(DO_importObjectFromFile(&ctx.app, dir.file("xor.dcm").c_str(), &back), 0);
    EXPECT_EQ(back.dataSyntax, 3);
    back.dataSyntax = 2;
    ASSERT_EQ(DO_copyObjectToFile(&ctx.app, &back, dir.file("plain.dcm").c_str()), 0) << ctx.log();
    std::vector<uint8_t> swapped = pixels;
    for (size_t i = 0; i + 1 < swapped.size(); i += 2) std::swap(swapped[i], swapped[i + 1]);
    EXPECT_EQ(parse(readFile(dir.file("plain.dcm")), 2, true).find(0x7FE00010u)->value, swapped);
    DO_closeObject(&back.object);
    freeCodecMap(&map);
}

}  // namespace
