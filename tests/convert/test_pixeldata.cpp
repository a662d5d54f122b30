// Tests of the image pixel relations and of the Pixel Data descriptor: geometry, byte order,
// data offsets, the frame table, and how the data file is found.
#include <sys/stat.h>

#include "convert_fixture.h"

namespace convert_test {
namespace {

struct Study {
    std::string type = "Static";
    int images = 2;
    int columns = 4;
    int rows = 4;
    std::string bytesPerPixel = "2";
    std::string dataFile = "study.img";
    std::string dataStart = "!data offset in bytes := 0\n";
    std::string numberFormat = "unsigned integer";
    std::string more;  // further lines of the general image data section

    std::string text() const {
        std::string start = headerStart(dataFile);
        start.replace(start.find("!data offset in bytes := 0\n"), 27, dataStart);
        std::string image = "!matrix size [1] := " + std::to_string(columns) + "\n!matrix size [2] := " +
                            std::to_string(rows) + "\n!number format := " + numberFormat + "\n";
        if (!bytesPerPixel.empty()) image += "!number of bytes per pixel := " + bytesPerPixel + "\n";
        std::string body = start + "!GENERAL IMAGE DATA :=\n!type of data := " + type +
                           "\n!total number of images := " + std::to_string(images) + "\n" + more;
        if (type == "Other") return body + image + "!END OF INTERFILE :=\n";
        body += "!STATIC STUDY (General) :=\nnumber of images/energy window := " + std::to_string(images) + "\n";
        for (int i = 0; i < images; ++i) body += "!Static Study (each frame) :=\n" + image;
        return body + "!END OF INTERFILE :=\n";
    }
};

class PixelData : public ConvertTest {
protected:
    // The descriptor stored as Pixel Data, copied out of the object.
    std::vector<uint8_t> descriptorBytes() const {
        Bytes b = value(0x7FE0, 0x0010);
        if (!b || b->size() < VELMAR_PDS_FIXED_SIZE) return {};
        return std::vector<uint8_t>(b->begin(), b->end());
    }
    const PixelDataDescriptor *descriptor() {
        bytes_ = descriptorBytes();
        return bytes_.empty() ? nullptr : reinterpret_cast<const PixelDataDescriptor *>(bytes_.data());
    }
    std::vector<uint8_t> bytes_;
};

TEST_F(PixelData, DescriptorIndexesContiguousFramesFromTheDataOffset) {
    write("study.img", std::string(3 * 32 + 6144, '\0'));
    Study study;
    study.images = 3;
    study.dataStart = "!data starting block := 3\n";
    ASSERT_EQ(convert(study.text()), 0);
    const PixelDataDescriptor *d = descriptor();
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(value(0x7FE0, 0x0010)->size(), d->size);
    EXPECT_EQ(d->size, VELMAR_PDS_FIXED_SIZE + 3 * VELMAR_PDS_ENTRY_SIZE);
    EXPECT_EQ(fs::path(d->fileName), dir_ / "study.img");
    EXPECT_EQ(d->pixelOffset, 6144u);
    EXPECT_EQ(d->pixelLength, 3u * 4 * 4 * 2);
    EXPECT_EQ(d->syntaxCode, 2);  // no byte order: big endian
    EXPECT_STREQ(d->transferSyntaxUID, "Interfile.Big.Endian");
    EXPECT_EQ(d->numberOfFrames, 3);
    EXPECT_EQ(d->frameSize, 32u);
    EXPECT_EQ(d->rows, 4);
    EXPECT_EQ(d->bitsAllocated, 16);
    EXPECT_EQ(std::string(d->photometric).substr(0, 11), "MONOCHROME2");
    ASSERT_EQ(d->entryCount, 3);
    for (uint16_t i = 0; i < 3; ++i) {
        EXPECT_EQ(d->frames[i].frame, i + 1);
        EXPECT_EQ(d->frames[i].fragment, 0);
        EXPECT_EQ(d->frames[i].offset, 6144u + 32u * i);
        EXPECT_EQ(d->frames[i].length, 32u);
    }

    // "data offset in bytes" wins over the starting block; "littleendian" in any case.
    study.dataStart = "!data starting block := 3\n!data offset in bytes := 100\n";
    study.more = "imagedata byte order := LittleEndian\n";
    ASSERT_EQ(convert(study.text()), 0);
    d = descriptor();
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(d->pixelOffset, 100u);
    EXPECT_EQ(d->frames[2].offset, 164u);
    EXPECT_EQ(d->syntaxCode, 1);
    EXPECT_STREQ(d->transferSyntaxUID, "Interfile.Little.Endian");
}

TEST_F(PixelData, ImagePixelDescription) {
    write("study.img", "");
    Study study;
    study.rows = 128;
    study.columns = 64;
    study.more = "flood corrected := Y\ndecay corrected := Y\ndata compression := jpeg\n";
    ASSERT_EQ(convert(study.text()), 0);
    EXPECT_EQ(us(0x0028, 0x0002), 1);
    EXPECT_EQ(value(0x0028, 0x0004), "MONOCHROME2 ");
    EXPECT_FALSE(value(0x0028, 0x0006).has_value());
    EXPECT_EQ(us(0x0028, 0x0010), 128);
    EXPECT_EQ(us(0x0028, 0x0011), 64);
    EXPECT_EQ(us(0x0028, 0x0100), 16);
    EXPECT_EQ(us(0x0028, 0x0101), 16);
    EXPECT_EQ(us(0x0028, 0x0102), 15);
    EXPECT_EQ(us(0x0028, 0x0103), 0);
    EXPECT_EQ(text(0x0028, 0x0034), "128\\64");
    EXPECT_EQ(text(0x0028, 0x0051), "UNIF\\DECY");
    EXPECT_EQ(text(0x0028, 0x2110), "01");
    EXPECT_EQ(value(0x0028, 0x0030), "");  // no scaling factors

    study.rows = study.columns = 64;
    study.more = "flood corrected := y\n";  // only an exact "Y" counts
    std::string text = study.text();
    text.replace(text.find("unsigned integer"), 16, "signed integer");
    ASSERT_EQ(convert(text), 0);
    EXPECT_FALSE(value(0x0028, 0x0034).has_value());
    EXPECT_FALSE(value(0x0028, 0x0051).has_value());
    EXPECT_FALSE(value(0x0028, 0x2110).has_value());
    EXPECT_EQ(us(0x0028, 0x0103), 1);
}

// A Secondary Capture has no Number of Frames: one frame in the table, while the pixel length
// still counts every image of the header.
TEST_F(PixelData, SecondaryCaptureIndexesOneFrame) {
    write("study.img", std::string(40, '\0'));
    Study study;
    study.type = "Other";
    study.columns = 5;
    study.bytesPerPixel = "1";
    ASSERT_EQ(convert(study.text()), 0);
    EXPECT_FALSE(value(0x0028, 0x0008).has_value());
    const PixelDataDescriptor *d = descriptor();
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(d->entryCount, 1);
    EXPECT_EQ(d->frames[0].length, 20u);
    EXPECT_EQ(d->pixelLength, 40u);
}

// Without "number of bytes per pixel" the description has 0 bits (so frames of 0 bytes), while
// the pixel length takes one byte per pixel.
TEST_F(PixelData, MissingBytesPerPixel) {
    write("study.img", std::string(32, '\0'));
    Study study;
    study.bytesPerPixel = "";
    ASSERT_EQ(convert(study.text()), 0);
    EXPECT_EQ(us(0x0028, 0x0100), 0);
    EXPECT_EQ(us(0x0028, 0x0102), 0);
    const PixelDataDescriptor *d = descriptor();
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(d->frameSize, 0u);
    EXPECT_EQ(d->pixelLength, 32u);
}

// The data file beside the header, in the letter case written or another one; names written
// with backslashes or a drive letter by another system; absolute names as given.
TEST_F(PixelData, DataFileIsFoundBesideTheHeader) {
    write("exams/DATA.IMG", std::string(64, '\0'));
    write("exams/sub/part.img", std::string(64, '\0'));
    struct Case {
        std::string written;
        fs::path expected;
    };
    const Case cases[] = {
        {"data.img", dir_ / "exams/DATA.IMG"},
        {"Data.Img", dir_ / "exams/DATA.IMG"},
        {"sub\\part.img", dir_ / "exams/sub/part.img"},
        {"SUB\\PART.IMG", dir_ / "exams/sub/part.img"},
        {"C:\\studies\\patient 1\\data.img", dir_ / "exams/DATA.IMG"},
        {"d:data.img", dir_ / "exams/DATA.IMG"},
        {(dir_ / "exams/sub/part.img").string(), dir_ / "exams/sub/part.img"},
    };
    for (const Case &c : cases) {
        Study study;
        study.dataFile = c.written;
        ASSERT_EQ(convert(study.text(), "exams/study.hdr"), 0) << c.written;
        const PixelDataDescriptor *d = descriptor();
        ASSERT_NE(d, nullptr) << c.written;
        ASSERT_NE(d->fileName, nullptr);
        EXPECT_EQ(fs::path(d->fileName).lexically_normal(), c.expected.lexically_normal()) << c.written;
    }
}

TEST_F(PixelData, MissingDataFileIsLoggedAndLeavesNoPixelData) {
    Study study;
    study.dataFile = "absent.img";
    ASSERT_EQ(convert(study.text()), 0);  // the rest of the object is converted
    EXPECT_FALSE(value(0x7FE0, 0x0010).has_value());
    EXPECT_TRUE(value(0x0054, 0x0010).has_value());
    std::string text = log();
    size_t first = text.find("Error: The name of the data file is not valid.");
    ASSERT_NE(first, std::string::npos);
    EXPECT_NE(text.find("Error: Didn't convert the pixel data", first), std::string::npos);
}

// A data file that leaves the header's directory (by "..", an absolute name or a link) or that
// is no regular file is refused with its reason; the caller's flag admits files elsewhere.
TEST_F(PixelData, DataFileOutsideTheHeaderOrNotRegularIsRefused) {
    write("elsewhere.img", std::string(64, '\0'));
    write("exams/keep.txt", "");
    fs::create_symlink(dir_ / "elsewhere.img", dir_ / "exams/link.img");
    fs::create_directories(dir_ / "exams/sub");
    ASSERT_EQ(mkfifo((dir_ / "exams/fifo.img").c_str(), 0600), 0);
    const std::string outside = "Error: The data file lies outside the header's directory: ";
    const std::string irregular = "Error: The data file is not a regular file: ";
    const std::pair<std::string, std::string> cases[] = {
        {"../elsewhere.img", outside}, {(dir_ / "elsewhere.img").string(), outside},
        {"link.img", outside},         {"/etc/passwd", outside},
        {"fifo.img", irregular},       {"sub", irregular},
    };
    for (const auto &[written, reason] : cases) {
        Study study;
        study.dataFile = written;
        size_t logged = log().size();
        ASSERT_EQ(convert(study.text(), "exams/study.hdr"), 0) << written;
        EXPECT_FALSE(value(0x7FE0, 0x0010).has_value()) << written;
        EXPECT_NE(log().find(reason, logged), std::string::npos) << written;
    }
    for (const char *written : {"../elsewhere.img", "link.img"}) {
        Study study;
        study.dataFile = written;
        DO_closeObject(&obj_);
        ASSERT_EQ(DO_openObject(&obj_), 0);
        InterfileHeader *hdr = header(study.text(), "exams/study.hdr");
        ASSERT_EQ(IF2DCM_compileWithFlags(&app_, obj_, hdr, VELMAR_IF2DCM_ALLOW_OUTSIDE), 0);
        EXPECT_NE(descriptor(), nullptr) << written;
        EXPECT_EQ(hdr->dataFileFlags, 0);
    }
}

// Floating-point pixels would be other numbers as integer pixels, and NM images hold no 8-byte
// samples: such a study is refused whole, naming the key.
TEST_F(PixelData, FloatingPointPixelsAreRefused) {
    write("study.img", std::string(128, '\0'));
    for (const char *format : {"short float", "LONG FLOAT"}) {
        for (const char *bytes : {"4", "8"}) {
            Study study;
            study.numberFormat = format;
            study.bytesPerPixel = bytes;
            EXPECT_EQ(convert(study.text()), -1) << format;
            EXPECT_FALSE(value(0x7FE0, 0x0010).has_value()) << format;
            EXPECT_NE(log().find(std::string("Error: Not converted: \"number format\" is \"") + format +
                                 "\": floating-point pixels cannot be stored as DICOM integer pixels."),
                      std::string::npos)
                << log();
        }
    }
    // A float section after integer ones is refused as well.
    Study mixed;
    std::string text = mixed.text();
    text.replace(text.rfind("unsigned integer"), 16, "short float");
    size_t before = log().size();
    EXPECT_EQ(convert(text), -1);
    EXPECT_NE(log().find("Error: Not converted: \"number format\" is \"short float\"", before),
              std::string::npos);
    EXPECT_EQ(convert(Study().text()), 0);
}

// Frames that lie beyond what 32-bit file offsets reach are refused rather than wrapped.
TEST_F(PixelData, OffsetsBeyond32BitsAreRefused) {
    write("study.img", "");
    Study study;
    study.dataStart = "!data starting block := 3000000\n";
    ASSERT_EQ(convert(study.text()), 0);
    EXPECT_FALSE(value(0x7FE0, 0x0010).has_value());
    EXPECT_NE(log().find("Error: Didn't convert the pixel data"), std::string::npos);
}

}  // namespace
}  // namespace convert_test
