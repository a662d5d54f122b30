// Tests of the DICOM file reader on byte-level data sets written by the tests: syntax detection,
// the meta header, sequences, values in host order, and the length and structure errors.
#include <string>

#include "dicom/test_reader_bytes.h"

namespace {

using readertest::Bytes;
using readertest::fileWith;
using readertest::ReaderTest;

const char *const kUIDs[] = {"1.2.840.10008.1.2", "1.2.840.10008.1.2.1", "1.2.840.10008.1.2.2"};

// A small data set of text, a 16-bit value with distinct bytes and a multi-valued US.
Bytes sampleDataSet(int syntax) {
    Bytes b(syntax);
    b.element(0x0008, 0x0005, "CS", "ISO_IR 100");
    b.element(0x0010, 0x0010, "PN", "Doe^John");
    b.header(0x0018, 0x1310, "US", 8).u16(0).u16(0x1234).u16(0xABCD).u16(0);
    b.us(0x0028, 0x0010, 0x1234);
    return b;
}

struct SyntaxCase {
    int syntax;
    bool asFile;
};

class ReaderSyntaxTest : public ReaderTest, public ::testing::WithParamInterface<SyntaxCase> {};

TEST_P(ReaderSyntaxTest, DetectsTheSyntaxAndKeepsValuesInHostOrder) {
    const SyntaxCase c = GetParam();
    Bytes dataSet = sampleDataSet(c.syntax);
    Bytes input = c.asFile ? fileWith(dataSet, kUIDs[c.syntax]) : dataSet;
    ASSERT_EQ(read(input), 0) << problems();
    EXPECT_EQ(problems(), "");

    EXPECT_EQ(io.hasPreamble, c.asFile ? 1 : 0);
    EXPECT_EQ(io.foundMetaSyntax, c.asFile ? 1 : -1);
    EXPECT_EQ(io.dataSyntax, c.syntax);
    EXPECT_EQ(io.foundDataSyntax, c.syntax);
    EXPECT_STREQ(io.transferSyntaxUID, kUIDs[c.syntax]);

    EXPECT_EQ(textOf(top(0x0008, 0x0005)), "ISO_IR 100");
    EXPECT_EQ(textOf(top(0x0010, 0x0010)), "Doe^John");
    EXPECT_EQ(top(0x0010, 0x0010)->vr, VR_PN);
    EXPECT_EQ(u16Of(top(0x0028, 0x0010)), 0x1234);
    DicomElement *matrix = top(0x0018, 0x1310);
    ASSERT_NE(matrix, nullptr);
    EXPECT_EQ(matrix->length, 8u);
    EXPECT_EQ(u16Of(matrix, 1), 0x1234);
    EXPECT_EQ(u16Of(matrix, 2), 0xABCD);
    if (c.asFile) {
        EXPECT_NE(top(0x0002, 0x0010), nullptr);
        EXPECT_EQ(top(0x0002, 0x0000)->vr, VR_UL);
    }
}

std::string syntaxCaseName(const ::testing::TestParamInfo<SyntaxCase> &info) {
    static const char *const names[] = {"ImplicitLE", "ExplicitLE", "ExplicitBE"};
    return std::string(names[info.param.syntax]) + (info.param.asFile ? "File" : "Bare");
}

INSTANTIATE_TEST_SUITE_P(AllSyntaxes, ReaderSyntaxTest,
                         ::testing::Values(SyntaxCase{0, false}, SyntaxCase{1, false}, SyntaxCase{2, false},
                                           SyntaxCase{0, true}, SyntaxCase{1, true}, SyntaxCase{2, true}),
                         syntaxCaseName);

TEST_F(ReaderTest, KeepsThePreambleAndSwitchesToTheDeclaredSyntaxWhereTheMetaHeaderEnds) {
    Bytes input = fileWith(sampleDataSet(0), "1.2.840.10008.1.2");
    input.data[0] = 0x5A;
    input.data[127] = 0xA5;
    ASSERT_EQ(read(input), 0) << problems();
    EXPECT_EQ(io.object->preamble[0], 0x5A);
    EXPECT_EQ(io.object->preamble[127], 0xA5);
    EXPECT_EQ(io.metaSyntax, 1);
    EXPECT_EQ(io.dataSyntax, 0);
    EXPECT_EQ(shape(io.object->root), "0002,0000 0002,0001 0002,0010 0008,0005 0010,0010 0018,1310 0028,0010");
}

TEST_F(ReaderTest, MetaHeaderWithoutGroupLengthWarnsOnceAndEndsAtTheFirstDataGroup) {
    ASSERT_EQ(read(fileWith(sampleDataSet(0), "1.2.840.10008.1.2", false)), 0);
    EXPECT_EQ(problems(), "Warning: File Meta Element (0002,0000) is not present. (This is a mandatory element.) "
                          "Interpretation may not be correct.\n");
    EXPECT_EQ(io.dataSyntax, 0);
    EXPECT_EQ(textOf(top(0x0010, 0x0010)), "Doe^John");
}

TEST_F(ReaderTest, PreambleWithoutMetaElementsWarns) {
    Bytes input(1);
    input.data.assign(128, 0);
    input.text("DICM").append(sampleDataSet(1));
    ASSERT_EQ(read(input), 0);
    EXPECT_EQ(problems(), "Warning: Preamble and DICM marker found but no File Meta Element. Interpretation may "
                          "not be correct.\n");
    EXPECT_EQ(textOf(top(0x0008, 0x0005)), "ISO_IR 100");
}

TEST_F(ReaderTest, ReportsBrokenMetaElementsAndGoesOn) {
    Bytes input(1);
    input.data.assign(128, 0);
    input.text("DICM");
    input.header(0x0002, 0x0000, "UL", 2).u16(30);
    input.header(0x0002, 0x0001, "OB", 4).u32(0);
    input.header(0x0002, 0x0001, "OB", 2).u16(0x0001);
    input.append(sampleDataSet(1));
    ASSERT_EQ(read(input), 0);
    EXPECT_EQ(problems(),
              "Warning: File Meta Element (0002,0000) Value Length is not 4. Interpretation may not be correct.\n"
              "Warning: File Meta Element (0002,0000) is not present. (This is a mandatory element.) "
              "Interpretation may not be correct.\n"
              "Warning: File Meta Information Header Version is not correct. Interpretation may not be correct.\n"
              "Warning: This File Meta Information Header Version is not supported. Interpretation may not be "
              "correct.\n");
}

TEST_F(ReaderTest, TransferSyntaxUIDPaddedWithABlankIsRecognised) {
    Bytes input = fileWith(sampleDataSet(0), "1.2.840.10008.1.2 ");
    ASSERT_EQ(read(input), 0) << problems();
    EXPECT_STREQ(io.transferSyntaxUID, "1.2.840.10008.1.2");
    EXPECT_EQ(io.dataSyntax, 0);
    EXPECT_EQ(textOf(top(0x0010, 0x0010)), "Doe^John");
}

TEST_F(ReaderTest, MetaGroupLengthTooLargeStillEndsTheMetaHeaderAtTheFirstDataGroup) {
    Bytes input = fileWith(sampleDataSet(0), "1.2.840.10008.1.2");
    input.data[140] = 0xF0;  // group length value, low byte
    ASSERT_EQ(read(input), 0) << problems();
    EXPECT_EQ(io.dataSyntax, 0);
    EXPECT_EQ(u16Of(top(0x0028, 0x0010)), 0x1234);
}

TEST_F(ReaderTest, UnknownTransferSyntaxIsReadAsExplicitLittleEndian) {
    ASSERT_EQ(read(fileWith(sampleDataSet(1), "1.2.840.10008.1.2.4.70")), 0) << problems();
    EXPECT_EQ(io.dataSyntax, 3);
    EXPECT_STREQ(io.transferSyntaxUID, "1.2.840.10008.1.2.4.70");
    EXPECT_EQ(u16Of(top(0x0028, 0x0010)), 0x1234);
}

// Sequence (0008,1140) holding two items of one element each, in the given lengths.
Bytes twoItemSequence(int syntax, bool definedSequence, bool definedItems) {
    Bytes item(syntax);
    item.element(0x0008, 0x1150, "UI", "1.2.34");
    Bytes b(syntax);
    Bytes body(syntax);
    for (int i = 0; i < 2; ++i) {
        body.item(definedItems ? item.size() : 0xFFFFFFFF).append(item);
        if (!definedItems) body.itemEnd();
    }
    if (definedSequence) {
        b.sequence(0x0008, 0x1140, body.size()).append(body);
    } else {
        b.sequence(0x0008, 0x1140, 0xFFFFFFFF).append(body).sequenceEnd();
    }
    b.element(0x0010, 0x0010, "PN", "Doe^John");
    return b;
}

TEST_F(ReaderTest, SequencesOfAnyLengthComeOutDelimited) {
    for (int syntax = 0; syntax < 3; ++syntax)
        for (int form = 0; form < 4; ++form) {
            SCOPED_TRACE("syntax " + std::to_string(syntax) + " form " + std::to_string(form));
            ASSERT_EQ(read(twoItemSequence(syntax, (form & 1) != 0, (form & 2) != 0)), 0) << problems();
            DicomElement *sq = top(0x0008, 0x1140);
            ASSERT_NE(sq, nullptr);
            EXPECT_EQ(sq->vr, VR_SQ);
            EXPECT_EQ(sq->length, 0xFFFFFFFFu);
            EXPECT_EQ(shape(sq), "FFFE,E000 FFFE,E000 FFFE,E0DD");
            for (DicomElement *item = sq->firstChild; item->element == 0xE000; item = item->next) {
                EXPECT_EQ(item->length, 0xFFFFFFFFu);
                EXPECT_EQ(shape(item), "0008,1150 FFFE,E00D");
                EXPECT_EQ(item->lastChild->length, 0u);
            }
            EXPECT_EQ(sq->lastChild->length, 0u);
            EXPECT_EQ(shape(io.object->root), "0008,1140 0010,0010");
        }
}

TEST_F(ReaderTest, EmptySequencesAndEmptyItems) {
    for (bool defined : {true, false}) {
        Bytes b(1);
        if (defined) {
            b.sequence(0x0008, 0x1140, 0);
            b.sequence(0x0008, 0x2112, 8).item(0);
        } else {
            b.sequence(0x0008, 0x1140, 0xFFFFFFFF).sequenceEnd();
            b.sequence(0x0008, 0x2112, 0xFFFFFFFF).item(0xFFFFFFFF).itemEnd().sequenceEnd();
        }
        b.element(0x0010, 0x0010, "PN", "Doe^John");
        ASSERT_EQ(read(b), 0) << problems();
        EXPECT_EQ(shape(top(0x0008, 0x1140)), "FFFE,E0DD");
        EXPECT_EQ(shape(top(0x0008, 0x2112)), "FFFE,E000 FFFE,E0DD");
        EXPECT_EQ(shape(top(0x0008, 0x2112)->firstChild), "FFFE,E00D");
        EXPECT_EQ(shape(io.object->root), "0008,1140 0008,2112 0010,0010");
    }
}

TEST_F(ReaderTest, SequencesTheDictionaryDoesNotKnowAreStillSequences) {
    // A private sequence in explicit VR (its VR says so) and one of undefined length in implicit VR.
    for (int syntax : {1, 0}) {
        Bytes inner(syntax);
        inner.element(0x0029, 0x1002, "LO", "inside");
        Bytes b(syntax);
        b.element(0x0029, 0x0010, "LO", "VELMAR TEST ");
        b.sequence(0x0029, 0x1001, syntax == 1 ? inner.size() + 8 : 0xFFFFFFFF).item(inner.size()).append(inner);
        if (syntax == 0) b.sequenceEnd();
        b.element(0x0029, 0x1003, "LO", "after ");
        ASSERT_EQ(read(b), 0) << problems();
        DicomElement *sq = top(0x0029, 0x1001);
        ASSERT_NE(sq, nullptr);
        EXPECT_EQ(sq->vr, VR_SQ);
        EXPECT_EQ(shape(sq), "FFFE,E000 FFFE,E0DD");
        EXPECT_EQ(textOf(childOf(sq->firstChild, 0x0029, 0x1002)), "inside");
        EXPECT_EQ(textOf(top(0x0029, 0x1003)), "after ");
        // A tag the dictionary does not know keeps the VR of an explicit file.
        EXPECT_EQ(top(0x0029, 0x1003)->vr, syntax == 1 ? VR_LO : VR_UN);
    }
}

// Sequences (0040,A730) nested `depth` deep, each in one item, the innermost item with a text.
Bytes nested(int depth, bool defined) {
    Bytes b(1);
    b.element(0x0008, 0x1030, "LO", "deepest ");
    for (int i = 0; i < depth; ++i) {
        Bytes item(1);
        item.item(defined ? b.size() : 0xFFFFFFFF).append(b);
        if (!defined) item.itemEnd();
        Bytes sq(1);
        sq.sequence(0x0040, 0xA730, defined ? item.size() : 0xFFFFFFFF).append(item);
        if (!defined) sq.sequenceEnd();
        b = sq;
    }
    return b;
}

TEST_F(ReaderTest, TenNestedSequencesAreReadAndAnEleventhStopsTheRead) {
    for (bool defined : {true, false}) {
        ASSERT_EQ(read(nested(10, defined)), 0) << problems();
        DicomElement *node = io.object->root;
        for (int i = 0; i < 10; ++i) node = childOf(node, 0x0040, 0xA730)->firstChild;
        EXPECT_EQ(textOf(childOf(node, 0x0008, 0x1030)), "deepest ");

        ASSERT_EQ(read(nested(11, defined)), -1);
        EXPECT_NE(problems().find("Error: Sequence (0040,a730) is nested deeper than 10 levels. offset=0x"),
                  std::string::npos);
        ASSERT_NE(io.object, nullptr);
        EXPECT_NE(top(0x0040, 0xA730), nullptr);  // what was read is kept
    }
}

TEST_F(ReaderTest, OddLengthStopsTheReadAndKeepsWhatWasRead) {
    Bytes b(1);
    b.element(0x0010, 0x0010, "PN", "Doe^John");
    b.header(0x0020, 0x4000, "LT", 5).text("abcde");
    b.element(0x0028, 0x0004, "CS", "MONOCHROME2 ");
    ASSERT_EQ(read(b), -1);
    EXPECT_EQ(problems(), "Error: Length of element (0020,4000) = 0x5(5) is not an even number. offset=0x10(16)\n");
    ASSERT_NE(io.object, nullptr);
    EXPECT_EQ(textOf(top(0x0010, 0x0010)), "Doe^John");
    EXPECT_EQ(top(0x0028, 0x0004), nullptr);
}

TEST_F(ReaderTest, LengthBeyondTheEndOfTheFileStopsTheReadBeforeAnyAllocation) {
    for (uint32_t length : {0x1000u, 0xFFFFFFFEu}) {
        Bytes b(0);
        b.element(0x0010, 0x0010, "PN", "Doe^John");
        b.header(0x0040, 0x0280, "LT", length).text("abcdef");
        ASSERT_EQ(read(b), -1);
        char expected[200];
        std::snprintf(expected, sizeof expected,
                      "Error: Length of element (0040,0280) is greater than the length of the rest of the file: "
                      "0x%x > 0x6 (%u > 6).\n",
                      length, length);
        EXPECT_NE(problems().find(expected), std::string::npos) << problems();
        EXPECT_EQ(textOf(top(0x0010, 0x0010)), "Doe^John");
    }
}

TEST_F(ReaderTest, FileCutInsideAHeaderEndsTheReadQuietly) {
    Bytes whole = sampleDataSet(1);
    whole.element(0x0008, 0x1030, "LO", "description ");
    for (size_t cut = whole.size() - 19; cut <= whole.size() - 13; ++cut) {
        Bytes b(1);
        b.data.assign(whole.data.begin(), whole.data.begin() + static_cast<std::ptrdiff_t>(cut));
        ASSERT_EQ(read(b), 0);
        EXPECT_EQ(problems(), "");
        EXPECT_EQ(u16Of(top(0x0028, 0x0010)), 0x1234);
        EXPECT_EQ(top(0x0008, 0x1030), nullptr);
    }
}

TEST_F(ReaderTest, ItemOutsideASequenceStopsTheRead) {
    Bytes b(1);
    b.element(0x0010, 0x0010, "PN", "Doe^John");
    b.item(0);
    ASSERT_EQ(read(b), -1);
    EXPECT_EQ(problems(), "Error: Item (fffe,e000) found outside a sequence. offset=0x10(16)\n");

    // An item inside an item that was never closed is no better.
    Bytes c(1);
    c.sequence(0x0008, 0x1140, 0xFFFFFFFF).item(0xFFFFFFFF).item(0xFFFFFFFF);
    ASSERT_EQ(read(c), -1);
    EXPECT_NE(problems().find("Item (fffe,e000) found outside a sequence. offset=0x14(20)"), std::string::npos);
}

TEST_F(ReaderTest, DelimitersWithoutTheirContainersAreKeptWhereTheyStand) {
    Bytes b(1);
    b.element(0x0008, 0x0005, "CS", "ISO_IR 100");
    b.itemEnd();
    b.sequence(0x0008, 0x1140, 0xFFFFFFFF).item(0xFFFFFFFF).itemEnd().itemEnd().sequenceEnd();
    b.sequenceEnd();
    b.element(0x0010, 0x0010, "PN", "Doe^John");
    ASSERT_EQ(read(b), 0) << problems();
    EXPECT_EQ(shape(io.object->root), "0008,0005 FFFE,E00D 0008,1140 FFFE,E0DD 0010,0010");
    // The stray item delimiter inside the sequence stays there and does not close it early.
    EXPECT_EQ(shape(top(0x0008, 0x1140)), "FFFE,E000 FFFE,E00D FFFE,E0DD");
}

TEST_F(ReaderTest, LongLengthVRsAreReadWithTheir32BitLength) {
    Bytes b(1);
    std::string text(70000, 'x');
    b.header(0x0009, 0x1001, "UN", 4).u32(0x01020304);
    b.header(0x0040, 0x0280, "UT", static_cast<uint32_t>(text.size())).text(text);
    b.header(0x0008, 0x1030, "UC", 4).text("abcd");
    b.header(0x0066, 0x0016, "OF", 8).u32(0x3F800000).u32(0x40000000);
    b.header(0x0009, 0x1002, "ZZ", 2).u16(7);  // unknown VR text: 16-bit length
    b.element(0x0010, 0x0010, "PN", "Doe^John");
    ASSERT_EQ(read(b), 0) << problems();
    EXPECT_EQ(top(0x0009, 0x1001)->length, 4u);
    EXPECT_EQ(top(0x0009, 0x1001)->vr, VR_UN);
    EXPECT_EQ(textOf(top(0x0040, 0x0280)), text);
    EXPECT_EQ(top(0x0040, 0x0280)->vr, VR_UT);
    EXPECT_EQ(textOf(top(0x0008, 0x1030)), "abcd");
    EXPECT_EQ(top(0x0066, 0x0016)->length, 8u);
    EXPECT_EQ(u16Of(top(0x0009, 0x1002)), 7);
    EXPECT_EQ(textOf(top(0x0010, 0x0010)), "Doe^John");
}

TEST_F(ReaderTest, BigEndianValuesAreSwappedByTheirRealUnits) {
    Bytes b(2);
    b.header(0x0028, 0x0106, "SS", 2).u16(0xFF01);              // XS: swapped as US
    b.header(0x0066, 0x0016, "OF", 8).u32(0x3F800000).u32(0x40000000);  // 4-byte floats
    b.header(0x0018, 0x9219, "FD", 8).u32(0x3FF00000).u32(0);   // 1.0
    b.header(0x6002, 0x3000, "OW", 4).u16(0x0102).u16(0x0304); // overlay data of a repeating group
    b.header(0x5400, 0x1010, "OW", 2).u16(0x0A0B);              // OB or OW: the file's VR decides
    b.header(0x0042, 0x0011, "OB", 2).u16(0x0A0B);              // OB: bytes stay as they are
    b.header(0x0029, 0x1010, "UL", 4).u32(0x01020304);          // not in the dictionary: the file's VR
    ASSERT_EQ(read(b), 0) << problems();
    EXPECT_EQ(u16Of(top(0x0028, 0x0106)), 0xFF01);
    float floats[2];
    std::memcpy(floats, top(0x0066, 0x0016)->value, 8);
    EXPECT_EQ(floats[0], 1.0f);
    EXPECT_EQ(floats[1], 2.0f);
    double d;
    std::memcpy(&d, top(0x0018, 0x9219)->value, 8);
    EXPECT_EQ(d, 1.0);
    EXPECT_EQ(u16Of(top(0x6002, 0x3000), 0), 0x0102);
    EXPECT_EQ(u16Of(top(0x6002, 0x3000), 1), 0x0304);
    EXPECT_EQ(u16Of(top(0x5400, 0x1010)), 0x0A0B);
    EXPECT_EQ(static_cast<const uint8_t *>(top(0x0042, 0x0011)->value)[0], 0x0A);
    uint32_t ul;
    std::memcpy(&ul, top(0x0029, 0x1010)->value, 4);
    EXPECT_EQ(ul, 0x01020304u);
    EXPECT_EQ(top(0x0029, 0x1010)->vr, VR_UL);
}

TEST_F(ReaderTest, RepeatedTagReplacesTheEarlierValueInPlace) {
    Bytes b(1);
    b.element(0x0010, 0x0010, "PN", "First1");
    b.element(0x0008, 0x1030, "LO", "out of order");
    b.element(0x0010, 0x0010, "PN", "Second");
    b.sequence(0x0008, 0x1140, 0xFFFFFFFF).item(0xFFFFFFFF).itemEnd().sequenceEnd();
    b.sequence(0x0008, 0x1140, 0xFFFFFFFF).item(0xFFFFFFFF).itemEnd().sequenceEnd();
    b.element(0x0020, 0x4000, "LT", "last");
    ASSERT_EQ(read(b), 0) << problems();
    EXPECT_EQ(shape(io.object->root), "0010,0010 0008,1030 0008,1140 0020,4000");
    EXPECT_EQ(textOf(top(0x0010, 0x0010)), "Second");
    EXPECT_EQ(textOf(top(0x0020, 0x4000)), "last");
}

TEST_F(ReaderTest, MissingFileCreatesNoObject) {
    EXPECT_EQ(DO_importObjectFromFile(&app, (dir / "absent.dcm").c_str(), &io), -1);
    EXPECT_EQ(io.object, nullptr);
    EXPECT_EQ(problems(), "");
}

TEST_F(ReaderTest, ReadingAgainReplacesThePreviousObject) {
    ASSERT_EQ(read(sampleDataSet(1)), 0);
    Bytes other(1);
    other.element(0x0008, 0x1030, "LO", "second");
    ASSERT_EQ(read(other), 0);
    EXPECT_EQ(shape(io.object->root), "0008,1030");
}

}  // namespace
