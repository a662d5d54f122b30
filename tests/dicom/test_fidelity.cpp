// Each element keeps its VR and value from file to file: signed "US or SS" values, the VRs newer
// than the original table, UN sequences and UN of known tags, 8-bit OW pixels of big-endian
// files, bare data sets in every syntax, and a meta header that is always explicit VR LE.
#include "test_reader_bytes.h"

using readertest::Bytes;

namespace {

class FidelityTest : public readertest::ReaderTest {
   protected:
    // Writes the object read last in `syntax` (bare unless `preamble`) and reads it back.
    std::vector<uint8_t> rewrite(int syntax, bool preamble = false) {
        std::string out = (dir / "out.dcm").string();
        io.dataSyntax = syntax;
        io.hasPreamble = preamble ? 1 : 0;
        io.writePixelData = 1;
        EXPECT_EQ(DO_copyObjectToFile(&app, &io, out.c_str()), 0) << problems();
        DO_closeObject(&io.object);
        init_IOObject(&io);
        io.metaSyntax = io.dataSyntax = -1;
        EXPECT_EQ(DO_importObjectFromFile(&app, out.c_str(), &io), 0) << problems();
        std::ifstream in(out, std::ios::binary);
        return {std::istreambuf_iterator<char>(in), {}};
    }
    template <typename T>
    T valueOf(uint16_t g, uint16_t e, size_t index = 0) {
        T v{};
        DicomElement *el = top(g, e);
        if (el != nullptr && el->value != nullptr && el->length >= sizeof(T) * (index + 1))
            std::memcpy(&v, static_cast<const uint8_t *>(el->value) + sizeof(T) * index, sizeof(T));
        return v;
    }
    static bool contains(const std::vector<uint8_t> &bytes, std::initializer_list<uint8_t> run) {
        return std::search(bytes.begin(), bytes.end(), run.begin(), run.end()) != bytes.end();
    }
};

TEST_F(FidelityTest, SignedPaddingStaysSSInEverySyntax) {
    for (int input : {0, 1}) {
        Bytes b(input);
        b.us(0x0028, 0x0103, 1);
        b.header(0x0028, 0x0120, "SS", 2).u16(static_cast<uint16_t>(-2000));
        ASSERT_EQ(read(b), 0) << problems();
        EXPECT_EQ(top(0x0028, 0x0120)->vr, VR_SS) << input;
        for (int output : {1, 2, 0}) {
            std::vector<uint8_t> bytes = rewrite(output);
            EXPECT_EQ(io.dataSyntax, output);
            EXPECT_EQ(top(0x0028, 0x0120)->vr, VR_SS) << input << " -> " << output;
            EXPECT_EQ(valueOf<int16_t>(0x0028, 0x0120), -2000) << input << " -> " << output;
            if (output != 0) EXPECT_TRUE(contains(bytes, {'S', 'S'})) << output;
        }
        DO_closeObject(&io.object);
    }
}

TEST_F(FidelityTest, NewerVRsKeepTheirValuesThroughBigEndian) {
    Bytes b(1);
    b.header(0x0008, 0x0119, "UC", 8).text("abc\\def ");
    std::string text(70000, 'u');
    b.header(0x0040, 0x0280, "UT", static_cast<uint32_t>(text.size())).text(text);
    b.header(0x0066, 0x0016, "OF", 4).u32(0x3FC00000);         // 1.5f
    b.header(0x0066, 0x0022, "OD", 8).u32(0).u32(0x3FF80000);  // 1.5
    b.header(0x0066, 0x0040, "OL", 4).u32(0x01020304);
    b.header(0x0072, 0x0082, "SV", 8).u32(0xFFFFFFFE).u32(0xFFFFFFFF);  // -2
    b.header(0x0072, 0x0083, "UV", 8).u32(1).u32(0x80000000);           // 2^63 + 1
    ASSERT_EQ(read(b), 0) << problems();
    std::vector<uint8_t> big = rewrite(2);
    EXPECT_EQ(io.dataSyntax, 2);
    EXPECT_TRUE(contains(big, {'O', 'F', 0, 0, 0, 0, 0, 4, 0x3F, 0xC0, 0, 0}));
    EXPECT_TRUE(contains(big, {'U', 'T', 0, 0, 0, 1, 0x11, 0x70}));  // a 32-bit length of 70000
    for (int output : {1, 0, 2}) {
        if (output != 2) rewrite(output);
        EXPECT_EQ(top(0x0008, 0x0119)->vr, VR_UC);
        EXPECT_EQ(textOf(top(0x0008, 0x0119)), "abc\\def ");
        EXPECT_EQ(textOf(top(0x0040, 0x0280)), text);
        EXPECT_EQ(valueOf<float>(0x0066, 0x0016), 1.5f) << output;
        EXPECT_EQ(valueOf<double>(0x0066, 0x0022), 1.5) << output;
        EXPECT_EQ(valueOf<uint32_t>(0x0066, 0x0040), 0x01020304u) << output;
        EXPECT_EQ(valueOf<int64_t>(0x0072, 0x0082), -2) << output;
        EXPECT_EQ(valueOf<uint64_t>(0x0072, 0x0083), (uint64_t{1} << 63) + 1) << output;
    }
    EXPECT_EQ(checkElementValue(&app, top(0x0008, 0x0119)), 0) << "UC is multi-valued and unlimited";
}

TEST_F(FidelityTest, UNSequencesAreImplicitLittleAndKnownUNTakesTheDictionaryVR) {
    for (int syntax : {1, 2}) {
        Bytes inner(0);
        inner.header(0x0029, 0x1002, "LO", 6).text("inside");
        Bytes b(syntax);
        b.header(0x0028, 0x0010, "UN", 2).u16(256);  // Rows, in the file's byte order
        b.element(0x0029, 0x0010, "LO", "VELMAR  ");
        b.header(0x0029, 0x1001, "UN", 0xFFFFFFFF);
        Bytes little(0);
        little.item(0xFFFFFFFF).append(inner).itemEnd().sequenceEnd();
        b.append(little);
        b.element(0x0029, 0x1003, "LO", "after ");
        ASSERT_EQ(read(b), 0) << problems();
        EXPECT_EQ(io.dataSyntax, syntax);
        DicomElement *sq = top(0x0029, 0x1001);
        ASSERT_NE(sq, nullptr);
        EXPECT_EQ(sq->vr, VR_SQ);
        ASSERT_NE(sq->firstChild, nullptr);
        EXPECT_EQ(textOf(childOf(sq->firstChild, 0x0029, 0x1002)), "inside");
        EXPECT_EQ(textOf(top(0x0029, 0x1003)), "after ");
        EXPECT_EQ(top(0x0028, 0x0010)->vr, VR_US);
        EXPECT_EQ(u16Of(top(0x0028, 0x0010)), 256);
        std::vector<uint8_t> bytes = rewrite(syntax);
        EXPECT_EQ(textOf(childOf(top(0x0029, 0x1001)->firstChild, 0x0029, 0x1002)), "inside");
        EXPECT_EQ(u16Of(top(0x0028, 0x0010)), 256);
        // The sequence is written as SQ; its private elements, read without a VR, stay UN.
        EXPECT_FALSE(contains(bytes, {'U', 'N', 0, 0, 0xFF, 0xFF, 0xFF, 0xFF}));
        EXPECT_TRUE(contains(bytes, {'S', 'Q', 0, 0, 0xFF, 0xFF, 0xFF, 0xFF}));
        DO_closeObject(&io.object);
    }
}

TEST_F(FidelityTest, EightBitOWPixelsOfABigEndianFileComeOutInPixelOrder) {
    native_LibraryInit(&app);
    // Two frames of 1 x 3 pixels, 1 to 6: the second frame starts inside a word.
    Bytes ds(2);
    ds.element(0x0028, 0x0008, "IS", "2 ").us(0x0028, 0x0002, 1).us(0x0028, 0x0010, 1).us(0x0028, 0x0011, 3);
    ds.us(0x0028, 0x0100, 8).us(0x0028, 0x0101, 8).us(0x0028, 0x0102, 7).us(0x0028, 0x0103, 0);
    ds.header(0x7FE0, 0x0010, "OW", 6).u16(0x0201).u16(0x0403).u16(0x0605);
    const std::vector<uint8_t> pixels{1, 2, 3, 4, 5, 6};
    for (int output : {1, 0, 2}) {
        ASSERT_EQ(read(readertest::fileWith(ds, "1.2.840.10008.1.2.2")), 0) << problems();
        std::vector<uint8_t> bytes = rewrite(output, true);
        ASSERT_GE(bytes.size(), 6u);
        EXPECT_TRUE(std::equal(bytes.end() - 6, bytes.end(), pixels.begin())) << output;
        // Read back, the output converts again without a change.
        std::vector<uint8_t> again = rewrite(1, true);
        EXPECT_TRUE(std::equal(again.end() - 6, again.end(), pixels.begin())) << output << " -> 1";
        DO_closeObject(&io.object);
    }
}

TEST_F(FidelityTest, BareDataSetsAreReadBackInTheSyntaxTheyWereWrittenIn) {
    Bytes b(1);
    b.element(0x3F03, 0x0010, "LO", "CREATOR ");
    b.element(0x3F03, 0x1001, "LO", "private ");
    ASSERT_EQ(read(b), 0) << problems();
    EXPECT_EQ(io.dataSyntax, 1) << "an odd first group above 0x00FF";
    EXPECT_EQ(textOf(top(0x3F03, 0x1001)), "private ");
    for (int output : {2, 0, 1}) {
        rewrite(output);
        EXPECT_EQ(io.dataSyntax, output);
        EXPECT_EQ(textOf(top(0x3F03, 0x1001)), "private ") << output;
    }
    Bytes lengths(2);  // big endian, starting with a group length
    lengths.ul(0x0008, 0x0000, 14).element(0x0008, 0x0060, "CS", "NM");
    ASSERT_EQ(read(lengths), 0) << problems();
    EXPECT_EQ(io.dataSyntax, 2);
    EXPECT_EQ(textOf(top(0x0008, 0x0060)), "NM");
}

TEST_F(FidelityTest, MetaHeaderIsExplicitLittleWhateverTheCallerAsks) {
    Bytes b(2);
    b.element(0x0008, 0x0016, "UI", "1.2.3 ");
    ASSERT_EQ(read(b), 0) << problems();
    io.metaSyntax = TS_EXPLICIT_BIG;
    std::vector<uint8_t> bytes = rewrite(2, true);
    ASSERT_GT(bytes.size(), 140u);
    EXPECT_TRUE(std::equal(bytes.begin() + 132, bytes.begin() + 138,
                           std::vector<uint8_t>{0x02, 0x00, 0x00, 0x00, 'U', 'L'}.begin()));
    EXPECT_EQ(io.dataSyntax, 2);
    EXPECT_EQ(textOf(top(0x0008, 0x0016)), "1.2.3 ");
}

}  // namespace
