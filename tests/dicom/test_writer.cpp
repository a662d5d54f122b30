// The DICOM writer on objects built by hand: meta header modes, group lengths, the elements never
// written, sequences, byte order, long values, pixel data through the kernel, and failed writes
// that leave the previous file alone.
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include <algorithm>

#include "test_writer_helpers.h"

using namespace writer_test;

namespace {

class WriterTest : public ::testing::Test {
   protected:
    TempDir dir;
    Context ctx{dir.file("writer.log")};
    IOObject io{};
    DicomObject *obj = nullptr;

    void SetUp() override {
        native_LibraryInit(&ctx.app);
        init_IOObject(&io);
        ASSERT_EQ(DO_openObject(&io.object), 0);
        obj = io.object;
    }
    void TearDown() override { DO_closeObject(&io.object); }

    Builder builder() { return Builder{ctx, obj}; }

    void addIdentity(Builder &b) {
        b.uid(0x00080016u, "1.2.840.10008.5.1.4.1.1.20");
        b.uid(0x00080018u, "1.2.3.4.5.6.7");
        b.text(0x00080060u, "NM");
        b.text(0x00100010u, "Doe^Jane");
        b.text(0x00100020u, "ID42");
    }

    ParsedFile writeAndParse(int syntax, const std::string &name = "out.dcm") {
        io.dataSyntax = syntax;
        EXPECT_EQ(DO_copyObjectToFile(&ctx.app, &io, dir.file(name).c_str()), 0);
        ParsedFile parsed = parse(readFile(dir.file(name)), syntax, io.hasPreamble != 0);
        EXPECT_EQ(parsed.error, "");
        return parsed;
    }
};

// Sum of the encoded sizes of the parsed elements of one group (after its group length).
size_t groupBytes(const std::vector<uint8_t> &file, const std::vector<Parsed> &elements, uint16_t group) {
    size_t first = 0, end = 0;
    bool seen = false;
    for (size_t i = 0; i < elements.size(); ++i) {
        const Parsed &p = elements[i];
        if ((p.tag >> 16) != group) continue;
        if ((p.tag & 0xFFFF) == 0) {
            first = p.offset + p.length;
            seen = true;
            continue;
        }
        end = p.offset + p.value.size();
    }
    (void)file;
    return seen && end > first ? end - first : 0;
}

TEST_F(WriterTest, MetaHeaderIsGeneratedWithExactGroupLengthAndSyntaxUID) {
    Builder b = builder();
    addIdentity(b);
    std::vector<uint8_t> bytes;
    for (int syntax : {0, 1, 2}) {
        ParsedFile f = writeAndParse(syntax);
        bytes = readFile(dir.file("out.dcm"));
        EXPECT_TRUE(std::all_of(bytes.begin(), bytes.begin() + 128, [](uint8_t c) { return c == 0; }));
        const Parsed *length = f.find(0x00020000u, true);
        ASSERT_NE(length, nullptr);
        EXPECT_EQ(length->vr, "UL");
        // The group length covers exactly the meta elements after it.
        size_t metaEnd = f.meta.back().offset + f.meta.back().value.size();
        EXPECT_EQ(get32(length->value, 0, false), metaEnd - (length->offset + 4));
        const Parsed *ts = f.find(0x00020010u, true);
        ASSERT_NE(ts, nullptr);
        static const char *uids[] = {"1.2.840.10008.1.2", "1.2.840.10008.1.2.1", "1.2.840.10008.1.2.2"};
        std::string expected(uids[syntax]);
        if (expected.size() % 2) expected.push_back('\0');
        EXPECT_EQ(textOf(ts), expected) << syntax;
        EXPECT_EQ(textOf(f.find(0x00020002u, true)), std::string("1.2.840.10008.5.1.4.1.1.20"));
        EXPECT_EQ(textOf(f.find(0x00020003u, true)), std::string("1.2.3.4.5.6.7", 13) + '\0');
        EXPECT_EQ(textOf(f.find(0x00020013u, true)), "velmar 1.0");
        EXPECT_EQ(textOf(f.find(0x00020016u, true)), "velmar");
        // The Implementation Class UID is never left empty.
        EXPECT_EQ(textOf(f.find(0x00020012u, true)), VELMAR_IMPLEMENTATION_CLASS_UID);
        const Parsed *version = f.find(0x00020001u, true);
        ASSERT_NE(version, nullptr);
        EXPECT_EQ(version->value, (std::vector<uint8_t>{0x00, 0x01}));
        EXPECT_EQ(textOf(f.find(0x00100010u)), "Doe^Jane");
        // The io keeps the syntax it wrote.
        EXPECT_EQ(std::string(io.transferSyntaxUID), uids[syntax]);
    }
}

TEST_F(WriterTest, MetaHeaderModes) {
    Builder b = builder();
    b.text(0x00020013u, "OLD");
    b.text(0x00100010u, "Doe^Jane");  // no SOP Class UID: no (0002,0002)

    io.metaHeaderMode = 1;
    ParsedFile kept = writeAndParse(1);
    EXPECT_EQ(textOf(kept.find(0x00020013u, true)), "OLD ");
    EXPECT_EQ(kept.find(0x00020002u, true), nullptr);
    EXPECT_NE(kept.find(0x00020000u, true), nullptr);

    io.metaHeaderMode = 0;
    ParsedFile replaced = writeAndParse(1);
    EXPECT_EQ(textOf(replaced.find(0x00020013u, true)), "velmar 1.0");

    DicomElement meta{};
    for (uint16_t element : {0x0000, 0x0001, 0x0010, 0x0012, 0x0013, 0x0016}) {
        meta.group = 0x0002;
        meta.element = element;
        DO_deleteElement(&ctx.app, obj, &meta);
    }
    io.metaHeaderMode = 2;
    ParsedFile none = writeAndParse(1);
    EXPECT_TRUE(none.meta.empty());
    EXPECT_TRUE(none.preamble);
    EXPECT_EQ(textOf(none.find(0x00100010u)), "Doe^Jane");
}

TEST_F(WriterTest, WithoutPreambleNoGroupTwoIsWritten) {
    Builder b = builder();
    addIdentity(b);
    b.text(0x00020013u, "OLD");
    io.hasPreamble = 0;
    for (int syntax : {0, 1, 2}) {
        ParsedFile f = writeAndParse(syntax);
        EXPECT_FALSE(f.preamble);
        for (const Parsed &p : f.data) EXPECT_GE(p.tag >> 16, 4u);
        EXPECT_EQ(textOf(f.find(0x00080060u)), "NM");
    }
}

TEST_F(WriterTest, LengthToEndAndPixelGroupLengthAreNeverWritten) {
    Builder b = builder();
    addIdentity(b);
    uint32_t zero = 0;
    b.add(0x00080001u, &zero, 4);
    b.add(0x7FE00000u, &zero, 4);
    b.add(0x00080000u, &zero, 4);
    for (int syntax : {0, 1, 2}) {
        ParsedFile f = writeAndParse(syntax);
        EXPECT_EQ(f.count(0x00080001u), 0u);
        EXPECT_EQ(f.count(0x7FE00000u), 0u);
        // A group that has a group length element gets its real length.
        const Parsed *g8 = f.find(0x00080000u);
        ASSERT_NE(g8, nullptr);
        EXPECT_EQ(get32(g8->value, 0, syntax == 2), groupBytes({}, f.data, 0x0008)) << syntax;
    }
}

TEST_F(WriterTest, EmptySequencesAndEmptyItems) {
    Builder b = builder();
    addIdentity(b);
    b.sequence(0x00081140u);  // empty sequence
    b.endSequence();
    b.sequence(0x00082112u);  // one empty item
    b.item();
    b.endItem();
    b.endSequence();
    b.sequence(0x00540012u);  // nested: item holding a sequence with one element
    b.item();
    b.sequence(0x00540013u);
    b.item();
    b.text(0x00540014u, "126");
    b.endItem();
    b.endSequence();
    b.endItem();
    b.endSequence();
    for (int syntax : {0, 1, 2}) {
        ParsedFile f = writeAndParse(syntax);
        std::vector<std::pair<uint32_t, uint32_t>> seen;
        for (const Parsed &p : f.data)
            if (p.tag == 0x00081140u || p.tag == 0x00082112u || (p.tag >> 16) == 0xFFFE ||
                (p.tag >> 16) == 0x0054)
                seen.emplace_back(p.tag, p.length);
        std::vector<std::pair<uint32_t, uint32_t>> expected = {
            {0x00081140u, 0},
            {0x00082112u, VELMAR_UNDEFINED_LENGTH},
            {0xFFFEE000u, 0},
            {0xFFFEE0DDu, 0},
            {0x00540012u, VELMAR_UNDEFINED_LENGTH},
            {0xFFFEE000u, VELMAR_UNDEFINED_LENGTH},
            {0x00540013u, VELMAR_UNDEFINED_LENGTH},
            {0xFFFEE000u, VELMAR_UNDEFINED_LENGTH},
            {0x00540014u, 4},
            {0xFFFEE00Du, 0},
            {0xFFFEE0DDu, 0},
            {0xFFFEE00Du, 0},
            {0xFFFEE0DDu, 0},
        };
        EXPECT_EQ(seen, expected) << syntax;
        if (syntax != 0) EXPECT_EQ(f.find(0x00081140u)->vr, "SQ");
    }
}

TEST_F(WriterTest, CheckObjectAddsMissingDelimitersAndEmptiesDelimiterOnlyContainers) {
    Builder b = builder();
    b.sequence(0x00081140u);
    b.item();
    b.uid(0x00081150u, "1.2.3");
    // no delimiters: the object is left inside the item
    obj->current = obj->root;
    b.sequence(0x00082112u);
    b.endSequence();
    ASSERT_EQ(DO_checkObject(&ctx.app, obj), 0);
    DicomElement *seq = obj->root->firstChild;
    ASSERT_EQ(VELMAR_TAG(seq->group, seq->element), 0x00081140u);
    EXPECT_EQ(seq->length, VELMAR_UNDEFINED_LENGTH);
    ASSERT_NE(seq->lastChild, nullptr);
    EXPECT_EQ(VELMAR_TAG(seq->lastChild->group, seq->lastChild->element), 0xFFFEE0DDu);
    DicomElement *item = seq->firstChild;
    EXPECT_EQ(VELMAR_TAG(item->lastChild->group, item->lastChild->element), 0xFFFEE00Du);
    DicomElement *empty = seq->next;
    EXPECT_EQ(empty->firstChild, nullptr);
    EXPECT_EQ(empty->length, 0u);
    EXPECT_EQ(obj->cursor, nullptr);
    // Normalising twice changes nothing.
    ASSERT_EQ(DO_checkObject(&ctx.app, obj), 0);
    int delimiters = 0;
    for (DicomElement *c = seq->firstChild; c != nullptr; c = c->next) delimiters += c->element == 0xE0DD;
    EXPECT_EQ(delimiters, 1);
}

TEST_F(WriterTest, BigEndianSwapsBinaryValuesTagsAndLengths) {
    Builder b = builder();
    addIdentity(b);
    b.u16(0x00181310u, {0x1234, 0x0001, 0xABCD, 0x0100});
    double bvalue = 1000.5;
    b.add(0x00189087u, &bvalue, 8);
    int32_t x0 = -70000;
    b.add(0x00186020u, &x0, 4);
    int16_t sign = -1;
    b.add(0x00281041u, &sign, 2);
    float inversion = 2.5f;
    b.add(0x00189108u, &inversion, 4);
    uint16_t pointer[2] = {0x0054, 0x0010};
    b.add(0x00280009u, pointer, 4);
    uint16_t smallest = 0x0102;
    b.add(0x00280106u, &smallest, 2);  // XS, written as US
    std::vector<uint8_t> host = {0x01, 0x02, 0x03, 0x04};

    ParsedFile f = writeAndParse(2);
    auto value = [&](uint32_t tag) {
        return f.find(tag) != nullptr ? f.find(tag)->value : std::vector<uint8_t>{};
    };
    EXPECT_EQ(value(0x00181310u), (std::vector<uint8_t>{0x12, 0x34, 0x00, 0x01, 0xAB, 0xCD, 0x01, 0x00}));
    std::vector<uint8_t> fd(8);
    std::memcpy(fd.data(), &bvalue, 8);
    std::reverse(fd.begin(), fd.end());
    EXPECT_EQ(value(0x00189087u), fd);
    EXPECT_EQ(value(0x00186020u), (std::vector<uint8_t>{0xFF, 0xFE, 0xEE, 0x90}));
    EXPECT_EQ(value(0x00281041u), (std::vector<uint8_t>{0xFF, 0xFF}));
    EXPECT_EQ(value(0x00280009u), (std::vector<uint8_t>{0x00, 0x54, 0x00, 0x10}));
    EXPECT_EQ(value(0x00280106u), (std::vector<uint8_t>{0x01, 0x02}));
    EXPECT_EQ(f.find(0x00280106u)->vr, "US");
    EXPECT_EQ(textOf(f.find(0x00100010u)), "Doe^Jane");  // texts are not swapped
    // The object keeps its host-order values.
    DicomElement probe{};
    probe.group = 0x0018;
    probe.element = 0x1310;
    ASSERT_EQ(DO_searchForElement(obj, &probe), 0);
    EXPECT_EQ(static_cast<uint16_t *>(probe.value)[0], 0x1234);
    D_Free(&probe.value);
    (void)host;
}

TEST_F(WriterTest, OverlayAndCurveDataOfEveryRepeatingGroupAreWords) {
    Builder b = builder();
    addIdentity(b);
    std::vector<uint8_t> bits = {0x01, 0x80, 0xF0, 0x0F};
    b.add(0x50023000u, bits.data(), 4);
    b.u16(0x60020010u, {4});
    b.add(0x60023000u, bits.data(), 4);
    b.add(0x60003000u, bits.data(), 4);
    ParsedFile big = writeAndParse(2);
    for (uint32_t tag : {0x50023000u, 0x60003000u, 0x60023000u}) {
        const Parsed *p = big.find(tag);
        ASSERT_NE(p, nullptr);
        EXPECT_EQ(p->vr, "OW");
        EXPECT_EQ(p->value, (std::vector<uint8_t>{0x80, 0x01, 0x0F, 0xF0})) << std::hex << tag;
    }
    ParsedFile little = writeAndParse(1);
    EXPECT_EQ(little.find(0x60023000u)->vr, "OW");
    EXPECT_EQ(little.find(0x60023000u)->value, bits);
}

TEST_F(WriterTest, LongValuesOfShortLengthVRsAreWrittenAsUN) {
    Builder b = builder();
    addIdentity(b);
    std::string comment(70000, 'x');
    b.text(0x00204000u, comment);
    std::string shortComment(65534, 'y');
    b.text(0x00201041u, "1.5");
    for (int syntax : {1, 2}) {
        ParsedFile f = writeAndParse(syntax);
        const Parsed *p = f.find(0x00204000u);
        ASSERT_NE(p, nullptr);
        EXPECT_EQ(p->vr, "UN");
        EXPECT_EQ(p->length, 70000u);
        EXPECT_EQ(textOf(p), comment);
        EXPECT_NE(f.find(0x00201041u), nullptr);  // the file goes on after it
    }
    ParsedFile implicit = writeAndParse(0);
    EXPECT_EQ(implicit.find(0x00204000u)->length, 70000u);

    // 65534 bytes still fit the 16-bit length.
    b.text(0x00204000u, shortComment);
    ParsedFile fits = writeAndParse(1);
    EXPECT_EQ(fits.find(0x00204000u)->vr, "LT");
    EXPECT_EQ(fits.find(0x00204000u)->length, 65534u);
}

TEST_F(WriterTest, NativePixelDataInEverySyntax) {
    for (uint16_t bits : {8, 16}) {
        const uint16_t rows = 5, columns = 6, frames = 3;
        size_t frameSize = rows * columns * bits / 8;
        std::vector<uint8_t> pixels = pixelBytes(frameSize, frames, bits);
        std::vector<uint8_t> raw(10, 0xEE);  // the pixels start at offset 10
        raw.insert(raw.end(), pixels.begin(), pixels.end());
        writeFile(dir.file("raw.bin"), raw);
        for (int source : {0, 1}) {
            const char *uid = source == 0 ? "1.2.840.10008.1.2" : "1.2.840.10008.1.2.1";
            std::vector<uint8_t> descriptor =
                makeDescriptor(dir.file("raw.bin"), rows, columns, bits, frames, source, uid, 10);
            Builder b = builder();
            addIdentity(b);
            addImage(b, descriptor);
            for (int target : {0, 1, 2}) {
                ParsedFile f = writeAndParse(target);
                const Parsed *p = f.find(0x7FE00010u);
                ASSERT_NE(p, nullptr);
                if (target != 0) EXPECT_EQ(p->vr, bits > 8 ? "OW" : "OB");
                std::vector<uint8_t> expected = pixels;
                if (target == 2 && bits == 16)
                    for (size_t i = 0; i + 1 < expected.size(); i += 2)
                        std::swap(expected[i], expected[i + 1]);
                EXPECT_EQ(p->value, expected) << "bits " << bits << " from " << source << " to " << target;
            }
        }
    }
}

// A caller's progress function hears of every frame as it is written, in order, with the total.
TEST_F(WriterTest, ProgressIsReportedFrameByFrame) {
    const uint16_t rows = 4, columns = 4, frames = 5;
    std::vector<uint8_t> pixels = pixelBytes(rows * columns * 2, frames, 16);
    writeFile(dir.file("raw.bin"), pixels);
    std::vector<uint8_t> descriptor =
        makeDescriptor(dir.file("raw.bin"), rows, columns, 16, frames, 1, "1.2.840.10008.1.2.1", 0);
    Builder b = builder();
    addIdentity(b);
    addImage(b, descriptor);
    std::vector<std::pair<uint32_t, uint32_t>> calls;
    ctx.app.progressUser = &calls;
    ctx.app.progress = [](void *user, uint32_t written, uint32_t total) {
        static_cast<std::vector<std::pair<uint32_t, uint32_t>> *>(user)->emplace_back(written, total);
    };
    ParsedFile f = writeAndParse(2);
    ctx.app.progress = nullptr;
    ASSERT_NE(f.find(0x7FE00010u), nullptr);
    std::vector<std::pair<uint32_t, uint32_t>> expected;
    for (uint32_t i = 1; i <= frames; ++i) expected.emplace_back(i, frames);
    EXPECT_EQ(calls, expected);
}

TEST_F(WriterTest, BigEndianSourceFramesComeOutInHostOrder) {
    const uint16_t rows = 4, columns = 4, frames = 2;
    std::vector<uint8_t> pixels = pixelBytes(rows * columns * 2, frames, 16);
    std::vector<uint8_t> swapped = pixels;
    for (size_t i = 0; i + 1 < swapped.size(); i += 2) std::swap(swapped[i], swapped[i + 1]);
    writeFile(dir.file("big.bin"), swapped);
    std::vector<uint8_t> descriptor =
        makeDescriptor(dir.file("big.bin"), rows, columns, 16, frames, 2, "1.2.840.10008.1.2.2");
    Builder b = builder();
    addIdentity(b);
    addImage(b, descriptor);
    EXPECT_EQ(writeAndParse(1).find(0x7FE00010u)->value, pixels);
    EXPECT_EQ(writeAndParse(2).find(0x7FE00010u)->value, swapped);
}

TEST_F(WriterTest, OddFramesAreConcatenatedAndTheValuePaddedOnce) {
    const uint16_t rows = 3, columns = 3, frames = 3;  // 27 bytes
    std::vector<uint8_t> pixels = pixelBytes(9, frames, 8);
    writeFile(dir.file("odd.bin"), pixels);
    std::vector<uint8_t> descriptor =
        makeDescriptor(dir.file("odd.bin"), rows, columns, 8, frames, 1, "1.2.840.10008.1.2.1");
    Builder b = builder();
    addIdentity(b);
    addImage(b, descriptor);
    for (int target : {0, 1, 2}) {
        ParsedFile f = writeAndParse(target);
        const Parsed *p = f.find(0x7FE00010u);
        ASSERT_NE(p, nullptr);
        EXPECT_EQ(p->length, 28u);
        std::vector<uint8_t> expected = pixels;
        expected.push_back(0);
        EXPECT_EQ(p->value, expected);
    }
}

TEST_F(WriterTest, IconPixelDataTakesTheGeometryOfItsItem) {
    // The object: 4 x 4 16-bit; the icon: 2 x 3 8-bit. The reader gives a nested Pixel Data the
    // object's geometry and one frame cut to the bytes the value holds.
    std::vector<uint8_t> image = pixelBytes(32, 1, 16);
    std::vector<uint8_t> icon = {1, 2, 3, 4, 5, 6};
    std::vector<uint8_t> file = image;
    file.insert(file.end(), icon.begin(), icon.end());
    writeFile(dir.file("both.bin"), file);
    std::vector<uint8_t> iconDescriptor =
        makeDescriptor(dir.file("both.bin"), 4, 4, 16, 1, 1, "1.2.840.10008.1.2.1", 32);
    auto *d = reinterpret_cast<PixelDataDescriptor *>(iconDescriptor.data());
    d->pixelLength = 6;
    d->frames[0].length = 6;
    Builder b = builder();
    addIdentity(b);
    b.sequence(0x00880200u);
    b.item();
    b.u16(0x00280002u, {1});
    b.u16(0x00280010u, {2});
    b.u16(0x00280011u, {3});
    b.u16(0x00280100u, {8});
    b.u16(0x00280101u, {8});
    b.add(0x7FE00010u, iconDescriptor.data(), static_cast<uint32_t>(iconDescriptor.size()));
    b.endItem();
    b.endSequence();
    addImage(b, makeDescriptor(dir.file("both.bin"), 4, 4, 16, 1, 1, "1.2.840.10008.1.2.1"));
    ParsedFile f = writeAndParse(2);
    std::vector<const Parsed *> found;
    for (const Parsed &p : f.data)
        if (p.tag == 0x7FE00010u) found.push_back(&p);
    ASSERT_EQ(found.size(), 2u);
    EXPECT_EQ(found[0]->depth, 2);
    EXPECT_EQ(found[0]->vr, "OB");
    EXPECT_EQ(found[0]->value, icon);
    std::vector<uint8_t> swapped = image;
    for (size_t i = 0; i + 1 < swapped.size(); i += 2) std::swap(swapped[i], swapped[i + 1]);
    EXPECT_EQ(found[1]->value, swapped);
}

TEST_F(WriterTest, OtherSyntaxCodeNamingAnUncompressedSyntaxWritesThatSyntax) {
    std::vector<uint8_t> pixels = pixelBytes(32, 1, 16);
    writeFile(dir.file("p.bin"), pixels);
    Builder b = builder();
    addIdentity(b);
    addImage(b, makeDescriptor(dir.file("p.bin"), 4, 4, 16, 1, 1, "1.2.840.10008.1.2.1"));
    io.dataSyntax = 3;
    std::strcpy(io.transferSyntaxUID, "1.2.840.10008.1.2.2");
    ASSERT_EQ(DO_copyObjectToFile(&ctx.app, &io, dir.file("big.dcm").c_str()), 0);
    EXPECT_EQ(io.dataSyntax, 2);
    ParsedFile f = parse(readFile(dir.file("big.dcm")), 2, true);
    ASSERT_EQ(f.error, "");
    EXPECT_EQ(f.find(0x7FE00010u)->length, 32u);  // native, not encapsulated
}

TEST_F(WriterTest, PixelDataIsWrittenEmptyWhenAskedNotToConvert) {
    std::vector<uint8_t> descriptor =
        makeDescriptor(dir.file("absent.bin"), 2, 2, 16, 1, 1, "1.2.840.10008.1.2.1");
    Builder b = builder();
    addIdentity(b);
    addImage(b, descriptor);
    io.writePixelData = 0;
    for (int syntax : {0, 1, 2}) {
        ParsedFile f = writeAndParse(syntax);
        const Parsed *p = f.find(0x7FE00010u);
        ASSERT_NE(p, nullptr);
        EXPECT_EQ(p->length, 0u);
        if (syntax != 0) EXPECT_EQ(p->vr, "OW");
    }
}

TEST_F(WriterTest, FailedWriteKeepsThePreviousFileAndLeavesNoTemporary) {
    Builder b = builder();
    addIdentity(b);
    std::string target = dir.file("kept.dcm");
    writeFile(target, {'o', 'l', 'd'});

    // The source holds one frame and a half of the two the descriptor promises.
    std::vector<uint8_t> pixels = pixelBytes(32, 2, 16);
    pixels.resize(48);
    writeFile(dir.file("short.bin"), pixels);
    std::vector<uint8_t> descriptor =
        makeDescriptor(dir.file("short.bin"), 4, 4, 16, 2, 1, "1.2.840.10008.1.2.1");
    addImage(b, descriptor);
    io.dataSyntax = 1;
    EXPECT_EQ(DO_copyObjectToFile(&ctx.app, &io, target.c_str()), -1);
    EXPECT_EQ(readFile(target), (std::vector<uint8_t>{'o', 'l', 'd'}));
    EXPECT_TRUE(dir.leftovers().empty());
    EXPECT_NE(ctx.log().find("Error: DICOM object " + target + " not fully saved"), std::string::npos);

    // A source file that is gone fails the same way.
    std::vector<uint8_t> missing =
        makeDescriptor(dir.file("gone.bin"), 4, 4, 16, 1, 1, "1.2.840.10008.1.2.1");
    b.add(0x7FE00010u, missing.data(), static_cast<uint32_t>(missing.size()));
    EXPECT_EQ(DO_copyObjectToFile(&ctx.app, &io, target.c_str()), -1);
    EXPECT_EQ(readFile(target), (std::vector<uint8_t>{'o', 'l', 'd'}));

    // No coder for the target syntax: refused too.
    std::vector<uint8_t> whole = pixelBytes(32, 1, 16);
    writeFile(dir.file("whole.bin"), whole);
    std::vector<uint8_t> good = makeDescriptor(dir.file("whole.bin"), 4, 4, 16, 1, 1, "1.2.840.10008.1.2.1");
    b.add(0x7FE00010u, good.data(), static_cast<uint32_t>(good.size()));
    io.dataSyntax = 3;
    std::strcpy(io.transferSyntaxUID, "1.2.840.10008.1.2.4.50");
    EXPECT_EQ(DO_copyObjectToFile(&ctx.app, &io, target.c_str()), -1);
    EXPECT_EQ(readFile(target), (std::vector<uint8_t>{'o', 'l', 'd'}));
    EXPECT_TRUE(dir.leftovers().empty());

    // And once the pixels are all there, the target is replaced.
    io.dataSyntax = 1;
    EXPECT_EQ(DO_copyObjectToFile(&ctx.app, &io, target.c_str()), 0);
    EXPECT_EQ(parse(readFile(target), 1, true).find(0x7FE00010u)->value, whole);
    EXPECT_NE(ctx.log().find("Info: DICOM object " + target + " successfully saved"), std::string::npos);
    EXPECT_NE(ctx.log().find("Info: Saving DICOM object " + target), std::string::npos);
}

TEST_F(WriterTest, TemporaryFileIsUniqueAndAnUnwritableDirectoryFailsQuietly) {
    Builder b = builder();
    addIdentity(b);
    // Another program's temporary file of the old fixed name is left untouched.
    writeFile(dir.file("_velmar_.tmp"), {'b', 'u', 's', 'y'});
    io.dataSyntax = 1;
    ASSERT_EQ(DO_copyObjectToFile(&ctx.app, &io, dir.file("a.dcm").c_str()), 0);
    EXPECT_EQ(readFile(dir.file("_velmar_.tmp")), (std::vector<uint8_t>{'b', 'u', 's', 'y'}));
    EXPECT_EQ(dir.leftovers(), std::vector<std::string>{"_velmar_.tmp"});

    EXPECT_EQ(DO_copyObjectToFile(&ctx.app, &io, dir.file("no/such/dir/a.dcm").c_str()), -1);
    EXPECT_EQ(ctx.log().find("not fully saved"), std::string::npos);

    // Nothing to write is not an error.
    IOObject empty{};
    init_IOObject(&empty);
    EXPECT_EQ(DO_copyObjectToFile(&ctx.app, &empty, dir.file("b.dcm").c_str()), 0);
    EXPECT_FALSE(fs::exists(dir.file("b.dcm")));
    EXPECT_EQ(DO_copyObjectToFile(&ctx.app, nullptr, dir.file("b.dcm").c_str()), 0);
}

TEST_F(WriterTest, ShortWritesAreReportedAsNotSaved) {
    // A file size limit makes the system refuse writes past 64 KiB, as a full disk would.
    std::vector<uint8_t> pixels = pixelBytes(256 * 256 * 2, 2, 16);
    writeFile(dir.file("big.bin"), pixels);
    std::vector<uint8_t> descriptor =
        makeDescriptor(dir.file("big.bin"), 256, 256, 16, 2, 1, "1.2.840.10008.1.2.1");
    Builder b = builder();
    addIdentity(b);
    addImage(b, descriptor);
    std::string target = dir.file("limited.dcm");
    writeFile(target, {'o', 'l', 'd'});
    io.dataSyntax = 2;
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        signal(SIGXFSZ, SIG_IGN);
        struct rlimit limit {
            65536, 65536
        };
        setrlimit(RLIMIT_FSIZE, &limit);
        _exit(DO_copyObjectToFile(&ctx.app, &io, target.c_str()) == -1 ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "the limited write was reported as saved";
    EXPECT_EQ(readFile(target), (std::vector<uint8_t>{'o', 'l', 'd'}));
    EXPECT_TRUE(dir.leftovers().empty());
}

}  // namespace
