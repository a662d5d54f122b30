// Tests of the pixel data descriptor: the geometry taken from group 0028, the frame tables of
// native and encapsulated Pixel Data, and the accessors that copy the descriptor.
#include <string>
#include <vector>

#include "dicom/test_reader_bytes.h"

namespace {

using readertest::Bytes;
using readertest::fileWith;
using readertest::ReaderTest;

const char *const kJPEG = "1.2.840.10008.1.2.4.70";

Bytes imageHeader(int syntax, uint16_t rows, uint16_t columns, uint16_t bits, const char *frames) {
    Bytes b(syntax);
    b.us(0x0028, 0x0002, 1);
    b.element(0x0028, 0x0004, "CS", "MONOCHROME2 ");
    if (frames != nullptr) b.element(0x0028, 0x0008, "IS", frames);
    b.us(0x0028, 0x0010, rows).us(0x0028, 0x0011, columns);
    b.us(0x0028, 0x0100, bits).us(0x0028, 0x0101, bits).us(0x0028, 0x0102, static_cast<uint16_t>(bits - 1));
    b.us(0x0028, 0x0103, 0);
    return b;
}

// A private element after the pixel data shows where the reader went on.
void trailer(Bytes &b) { b.element(0x7FE1, 0x0010, "LO", "after "); }

class PixelDescriptorTest : public ReaderTest {
  protected:
    PixelDataDescriptor *descriptor() {
        DicomElement *pixels = top(0x7FE0, 0x0010);
        if (pixels == nullptr || pixels->value == nullptr) return nullptr;
        auto *d = static_cast<PixelDataDescriptor *>(pixels->value);
        EXPECT_EQ(pixels->length, d->size);
        EXPECT_EQ(d->size, VELMAR_PDS_FIXED_SIZE + d->entryCount * VELMAR_PDS_ENTRY_SIZE);
        return d;
    }
    // The frame table as "frame.fragment@offset+length" entries.
    static std::string table(const PixelDataDescriptor *d, uint32_t base) {
        std::string out;
        for (uint16_t i = 0; i < d->entryCount; ++i) {
            const PixelFrameEntry &e = d->frames[i];
            out += (out.empty() ? "" : " ") + std::to_string(e.frame) + "." + std::to_string(e.fragment) + "@" +
                   std::to_string(e.offset - base) + "+" + std::to_string(e.length);
        }
        return out;
    }
    // Encapsulated pixel data: a Basic Offset Table, then one item per fragment.
    static Bytes encapsulated(const std::vector<uint32_t> &offsets, const std::vector<uint32_t> &fragments,
                              int64_t tableLength = -1) {
        Bytes b(1);
        b.header(0x7FE0, 0x0010, "OB", 0xFFFFFFFF);
        b.item(tableLength >= 0 ? static_cast<uint32_t>(tableLength) : static_cast<uint32_t>(4 * offsets.size()));
        for (uint32_t o : offsets) b.u32(o);
        for (uint32_t length : fragments) b.item(length).data.resize(b.data.size() + length, 0x5A);
        b.sequenceEnd();
        return b;
    }
};

TEST_F(PixelDescriptorTest, NativeFramesFollowEachOther) {
    for (int syntax = 0; syntax < 3; ++syntax) {
        Bytes b = imageHeader(syntax, 64, 64, 16, "3 ");
        b.header(0x7FE0, 0x0010, "OW", 3 * 8192).data.resize(b.data.size() + 3 * 8192, 1);
        trailer(b);
        static const char *const uids[] = {"1.2.840.10008.1.2", "1.2.840.10008.1.2.1", "1.2.840.10008.1.2.2"};
        ASSERT_EQ(read(fileWith(b, uids[syntax])), 0) << problems();
        PixelDataDescriptor *d = descriptor();
        ASSERT_NE(d, nullptr);
        EXPECT_EQ(top(0x7FE0, 0x0010)->vr, VR_OW);
        EXPECT_EQ(d->rows, 64);
        EXPECT_EQ(d->columns, 64);
        EXPECT_EQ(d->bitsAllocated, 16);
        EXPECT_EQ(d->highBit, 15);
        EXPECT_EQ(d->numberOfFrames, 3);
        EXPECT_STREQ(d->photometric, "MONOCHROME2 ");
        EXPECT_EQ(d->frameSize, 8192u);
        EXPECT_EQ(d->pixelLength, 3u * 8192);
        EXPECT_EQ(d->syntaxCode, syntax);
        EXPECT_STREQ(d->transferSyntaxUID, uids[syntax]);
        EXPECT_EQ(d->fileName, velmar_internFileName(path.c_str()));
        EXPECT_EQ(table(d, d->pixelOffset), "1.0@0+8192 2.0@8192+8192 3.0@16384+8192");
        EXPECT_EQ(textOf(top(0x7FE1, 0x0010)), "after ");
    }
}

TEST_F(PixelDescriptorTest, ShortNativeValueIndexesOnlyTheBytesThatAreThere) {
    Bytes b = imageHeader(1, 4, 4, 8, "3 ");
    b.header(0x7FE0, 0x0010, "OB", 40).data.resize(b.data.size() + 40, 1);
    trailer(b);
    ASSERT_EQ(read(b), 0) << problems();
    PixelDataDescriptor *d = descriptor();
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(table(d, d->pixelOffset), "1.0@0+16 2.0@16+16 3.0@32+8");
    EXPECT_EQ(textOf(top(0x7FE1, 0x0010)), "after ");
}

TEST_F(PixelDescriptorTest, PaddedNativeValueIsLeftAtItsRealLength) {
    // Five 7 x 3 frames of 8 bits: 105 bytes padded to 106.
    Bytes b = imageHeader(1, 3, 7, 8, "5 ");
    b.header(0x7FE0, 0x0010, "OB", 106).data.resize(b.data.size() + 106, 1);
    trailer(b);
    ASSERT_EQ(read(b), 0) << problems();
    PixelDataDescriptor *d = descriptor();
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(d->entryCount, 5);
    EXPECT_EQ(d->frames[4].offset - d->pixelOffset, 84u);
    EXPECT_EQ(d->frames[4].length, 21u);
    EXPECT_EQ(textOf(top(0x7FE1, 0x0010)), "after ");
}

TEST_F(PixelDescriptorTest, OneBitFramesKeepTheirBytes) {
    Bytes b = imageHeader(1, 16, 12, 1, "2 ");
    b.header(0x7FE0, 0x0010, "OB", 48).data.resize(b.data.size() + 48, 1);
    ASSERT_EQ(read(b), 0) << problems();
    PixelDataDescriptor *d = descriptor();
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(d->frameSize, 24u);
    EXPECT_EQ(table(d, d->pixelOffset), "1.0@0+24 2.0@24+24");
}

TEST_F(PixelDescriptorTest, EncapsulatedFragmentsAreGroupedIntoFrames) {
    struct Case {
        const char *frames;
        std::vector<uint32_t> offsets;
        std::vector<uint32_t> fragments;
        int64_t tableLength;  // -1: four bytes per offset
        const char *expected;  // offsets relative to the first fragment's bytes
    };
    const Case cases[] = {
        // Empty table, one frame in two fragments.
        {"1 ", {}, {10, 20}, -1, "1.0@0+10 1.1@18+20"},
        // Full table: two frames, the first in two fragments.
        {"2 ", {0, 36}, {10, 10, 30}, -1, "1.0@0+10 1.1@18+10 2.0@36+30"},
        // Empty table and as many fragments as frames: one fragment per frame.
        {"3 ", {}, {10, 12, 14}, -1, "1.0@0+10 2.0@18+12 3.0@38+14"},
        // Empty table, more fragments than frames: everything after the first is frame 1.
        {"2 ", {}, {10, 12, 14}, -1, "1.0@0+10 1.1@18+12 1.2@38+14"},
        // A table of the wrong size is taken as empty.
        {"2 ", {0}, {10, 12}, -1, "1.0@0+10 2.0@18+12"},
        // Zero-length fragments are not entries.
        {"1 ", {}, {0, 10}, -1, "1.0@8+10"},
        // An undefined-length table item is an empty table.
        {"1 ", {}, {10}, 0xFFFFFFFF, "1.0@0+10"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.expected);
        Bytes b = imageHeader(1, 8, 8, 8, c.frames);
        b.append(encapsulated(c.offsets, c.fragments, c.tableLength));
        trailer(b);
        ASSERT_EQ(read(fileWith(b, kJPEG)), 0) << problems();
        PixelDataDescriptor *d = descriptor();
        ASSERT_NE(d, nullptr);
        EXPECT_EQ(top(0x7FE0, 0x0010)->vr, VR_OB);
        EXPECT_EQ(d->pixelLength, 0xFFFFFFFFu);
        EXPECT_EQ(d->syntaxCode, 3);
        EXPECT_STREQ(d->transferSyntaxUID, kJPEG);
        uint32_t table = 4 * static_cast<uint32_t>(c.offsets.size());
        uint32_t firstFragment = d->pixelOffset + 8 + (c.tableLength == 0xFFFFFFFF ? 0 : table) + 8;
        EXPECT_EQ(this->table(d, firstFragment), c.expected);
        EXPECT_EQ(textOf(top(0x7FE1, 0x0010)), "after ");
    }
}

TEST_F(PixelDescriptorTest, IconPixelDataTakesTheGeometryOfItsItem) {
    Bytes icon = imageHeader(1, 2, 3, 8, nullptr);
    icon.header(0x7FE0, 0x0010, "OB", 6).text("iconpx");
    Bytes b = imageHeader(1, 64, 64, 16, "2 ");
    b.sequence(0x0088, 0x0200, 0xFFFFFFFF).item(icon.size()).append(icon).sequenceEnd();
    b.header(0x7FE0, 0x0010, "OW", 2 * 8192).data.resize(b.data.size() + 2 * 8192, 1);
    ASSERT_EQ(read(b), 0) << problems();
    DicomElement *item = top(0x0088, 0x0200)->firstChild;
    auto *nested = static_cast<PixelDataDescriptor *>(childOf(item, 0x7FE0, 0x0010)->value);
    ASSERT_NE(nested, nullptr);
    EXPECT_EQ(nested->rows, 2);
    EXPECT_EQ(nested->columns, 3);
    EXPECT_EQ(table(nested, nested->pixelOffset), "1.0@0+6");
    PixelDataDescriptor *d = descriptor();
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(table(d, d->pixelOffset), "1.0@0+8192 2.0@8192+8192");
}

TEST_F(PixelDescriptorTest, FragmentCutByTheEndOfTheFileIsCutInTheTable) {
    Bytes b = imageHeader(1, 8, 8, 8, "1 ");
    b.header(0x7FE0, 0x0010, "OB", 0xFFFFFFFF).item(0).item(100).data.resize(b.data.size() + 10, 1);
    ASSERT_EQ(read(b), 0) << problems();
    PixelDataDescriptor *d = descriptor();
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(table(d, d->pixelOffset + 16), "1.0@0+10");
}

TEST_F(PixelDescriptorTest, AccessorsHandOutFreshCopies) {
    Bytes plain = imageHeader(1, 2, 2, 8, nullptr);
    ASSERT_EQ(read(plain), 0);
    EXPECT_EQ(get_ppds(&app, io.object), nullptr);
    EXPECT_EQ(GetPixelTransferSyntax(&app, io.object), nullptr);

    Bytes empty = imageHeader(1, 2, 2, 8, nullptr);
    empty.header(0x7FE0, 0x0010, "OB", 0);
    ASSERT_EQ(read(empty), 0);
    EXPECT_EQ(top(0x7FE0, 0x0010)->value, nullptr);
    EXPECT_EQ(get_ppds(&app, io.object), nullptr);

    Bytes b = imageHeader(1, 8, 8, 8, "2 ");
    b.append(encapsulated({}, {10, 12}));
    ASSERT_EQ(read(fileWith(b, kJPEG)), 0);
    PixelDataDescriptor *copy = get_ppds(&app, io.object);
    ASSERT_NE(copy, nullptr);
    EXPECT_NE(copy, top(0x7FE0, 0x0010)->value);
    EXPECT_EQ(std::memcmp(copy, top(0x7FE0, 0x0010)->value, copy->size), 0);
    EXPECT_EQ(copy->entryCount, 2);
    D_Free(&copy);
    char *uid = GetPixelTransferSyntax(&app, io.object);
    ASSERT_NE(uid, nullptr);
    EXPECT_STREQ(uid, kJPEG);
    std::free(uid);
}

TEST_F(PixelDescriptorTest, IndexerWorksOnAnOpenFile) {
    Bytes b(1);
    b.data.assign(20, 0);
    b.item(0).item(6).text("abcdef").item(4).text("ghij").sequenceEnd().text("tail");
    std::string file = write(b, "pixels.bin");
    FILE *f = std::fopen(file.c_str(), "rb");
    ASSERT_NE(f, nullptr);

    auto *d = static_cast<PixelDataDescriptor *>(std::calloc(1, VELMAR_PDS_FIXED_SIZE));
    d->size = VELMAR_PDS_FIXED_SIZE;
    d->numberOfFrames = 1;
    d->pixelOffset = 20;
    std::fseek(f, 20, SEEK_SET);
    ASSERT_EQ(indexPixelData(f, &d, 3, 0xFFFFFFFF), 0);
    EXPECT_EQ(std::ftell(f), static_cast<long>(b.size() - 4));
    ASSERT_EQ(d->entryCount, 2);
    EXPECT_EQ(d->size, VELMAR_PDS_FIXED_SIZE + 2 * VELMAR_PDS_ENTRY_SIZE);
    EXPECT_EQ(d->frames[0].offset, 36u);
    EXPECT_EQ(d->frames[1].offset, 50u);
    EXPECT_EQ(d->frames[1].fragment, 1);

    // Without a descriptor the value is only skipped.
    PixelDataDescriptor *none = nullptr;
    std::fseek(f, 20, SEEK_SET);
    ASSERT_EQ(indexPixelData(f, &none, 3, 0xFFFFFFFF), 0);
    EXPECT_EQ(std::ftell(f), static_cast<long>(b.size() - 4));
    EXPECT_EQ(none, nullptr);
    std::fseek(f, 4, SEEK_SET);
    ASSERT_EQ(indexPixelData(f, &none, 1, 12), 0);
    EXPECT_EQ(std::ftell(f), 16);

    EXPECT_EQ(indexPixelData(f, &d, 1, 0), -1);
    EXPECT_EQ(indexPixelData(nullptr, &d, 1, 12), -1);
    std::free(d);
    std::fclose(f);
}

TEST_F(PixelDescriptorTest, FillTakesDefaultsAndParsesTheFrameCount) {
    ASSERT_EQ(DO_openObject(&io.object), 0);
    PixelDataDescriptor d{};
    EXPECT_EQ(fill_pds(&app, io.object, &d), 0);
    EXPECT_EQ(d.samplesPerPixel, 1);
    EXPECT_EQ(d.planarConfiguration, 1);
    EXPECT_EQ(d.numberOfFrames, 1);
    EXPECT_EQ(d.bitsAllocated, 1);
    EXPECT_EQ(d.pixelPaddingValue, 0);
    EXPECT_STREQ(d.photometric, "");
    EXPECT_EQ(d.frameSize, 1u);

    Bytes b = imageHeader(1, 10, 20, 16, "000000000012");
    b.us(0x0028, 0x0002, 3);
    b.element(0x0028, 0x0004, "CS", "PALETTE COLOR AND MORE");
    ASSERT_EQ(read(b), 0) << problems();
    EXPECT_EQ(fill_pds(&app, io.object, &d), 0);
    EXPECT_EQ(d.numberOfFrames, 12);
    EXPECT_STREQ(d.photometric, "PALETTE COLOR AN");
    EXPECT_EQ(d.frameSize, 2u * 10 * 20 * 3);
}

}  // namespace
