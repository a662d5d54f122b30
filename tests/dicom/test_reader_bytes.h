// Test helpers for the DICOM reader: byte-level data set builders, a small hand-made dictionary,
// a log captured in memory, and a temporary file to read from.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "velmar.h"

namespace readertest {

// Data set bytes in one transfer syntax: 0 implicit VR LE, 1 explicit VR LE, 2 explicit VR BE,
// 3 (encapsulated) framed as explicit VR LE.
struct Bytes {
    int syntax = 1;
    std::vector<uint8_t> data;

    explicit Bytes(int s = 1) : syntax(s) {}
    bool big() const { return syntax == 2; }
    bool explicitVR() const { return syntax != 0; }

    Bytes &raw(const void *p, size_t n) {
        auto *b = static_cast<const uint8_t *>(p);
        data.insert(data.end(), b, b + n);
        return *this;
    }
    Bytes &text(const std::string &s) { return raw(s.data(), s.size()); }
    Bytes &u16(uint16_t v) {
        uint8_t b[2] = {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8)};
        if (big()) std::swap(b[0], b[1]);
        return raw(b, 2);
    }
    Bytes &u32(uint32_t v) {
        uint8_t b[4] = {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v >> 16),
                        static_cast<uint8_t>(v >> 24)};
        if (big()) {
            std::swap(b[0], b[3]);
            std::swap(b[1], b[2]);
        }
        return raw(b, 4);
    }
    // An element header; in explicit VR the VR decides between the short and the long form.
    Bytes &header(uint16_t g, uint16_t e, const char *vr, uint32_t length) {
        u16(g).u16(e);
        if (!explicitVR()) return u32(length);
        static const char *const kLong[] = {"OB", "OW", "SQ", "UN", "UT", "UC", "UR",
                                            "OF", "OD", "OL", "OV", "SV", "UV"};
        bool isLong = false;
        for (const char *l : kLong) isLong = isLong || std::strcmp(l, vr) == 0;
        raw(vr, 2);
        if (isLong) return u16(0).u32(length);
        return u16(static_cast<uint16_t>(length));
    }
    Bytes &element(uint16_t g, uint16_t e, const char *vr, const std::string &value) {
        header(g, e, vr, static_cast<uint32_t>(value.size()));
        return text(value);
    }
    Bytes &us(uint16_t g, uint16_t e, uint16_t v) {
        header(g, e, "US", 2);
        return u16(v);
    }
    Bytes &ul(uint16_t g, uint16_t e, uint32_t v) {
        header(g, e, "UL", 4);
        return u32(v);
    }
    // Items and delimiters have no VR in any syntax.
    Bytes &item(uint32_t length, uint16_t e = 0xE000) { return u16(0xFFFE).u16(e).u32(length); }
    Bytes &itemEnd() { return item(0, 0xE00D); }
    Bytes &sequenceEnd() { return item(0, 0xE0DD); }
    Bytes &sequence(uint16_t g, uint16_t e, uint32_t length) { return header(g, e, "SQ", length); }
    Bytes &append(const Bytes &other) { return raw(other.data.data(), other.data.size()); }
    uint32_t size() const { return static_cast<uint32_t>(data.size()); }
};

// A PS3.10 file: preamble, "DICM", an explicit VR LE meta header with its group length and
// transfer syntax, then the data set.
inline Bytes fileWith(const Bytes &dataSet, const char *syntaxUID, bool groupLength = true) {
    Bytes meta(1);
    std::string uid = syntaxUID;
    if (uid.size() % 2 != 0) uid.push_back('\0');
    Bytes body(1);
    body.header(0x0002, 0x0001, "OB", 2).u16(0x0100);
    body.element(0x0002, 0x0010, "UI", uid);
    Bytes out(1);
    out.data.assign(128, 0);
    out.text("DICM");
    if (groupLength) out.ul(0x0002, 0x0000, body.size());
    out.append(body);
    out.append(dataSet);
    return out;
}

// A dictionary of the few tags the reader tests meet; the tables live as long as the process.
inline void useSmallDictionary(AppData &app) {
    static AttrDef entries[] = {
        {0x00020000, "File Meta Information Group Length", VR_UL, 1, "", ""},
        {0x00020001, "File Meta Information Version", VR_OB, 1, "", ""},
        {0x00020010, "Transfer Syntax UID", VR_UI, 1, "", ""},
        {0x00080005, "Specific Character Set", VR_CS, 0, "", ""},
        {0x00080016, "SOP Class UID", VR_UI, 1, "", ""},
        {0x00081140, "Referenced Image Sequence", VR_SQ, 1, "", ""},
        {0x00081150, "Referenced SOP Class UID", VR_UI, 1, "", ""},
        {0x00082112, "Source Image Sequence", VR_SQ, 1, "", ""},
        {0x00100010, "Patient's Name", VR_PN, 1, "", ""},
        {0x00181310, "Acquisition Matrix", VR_US, 4, "", ""},
        {0x00204000, "Image Comments", VR_LT, 1, "", ""},
        {0x00280002, "Samples per Pixel", VR_US, 1, "", ""},
        {0x00280004, "Photometric Interpretation", VR_CS, 1, "", ""},
        {0x00280008, "Number of Frames", VR_IS, 1, "", ""},
        {0x00280010, "Rows", VR_US, 1, "", ""},
        {0x00280011, "Columns", VR_US, 1, "", ""},
        {0x00280100, "Bits Allocated", VR_US, 1, "", ""},
        {0x00280101, "Bits Stored", VR_US, 1, "", ""},
        {0x00280102, "High Bit", VR_US, 1, "", ""},
        {0x00280103, "Pixel Representation", VR_US, 1, "", ""},
        {0x00280106, "Smallest Image Pixel Value", VR_XS, 1, "", ""},
        {0x00283002, "LUT Descriptor", VR_XU, 3, "", ""},
        {0x00280120, "Pixel Padding Value", VR_XS, 1, "", ""},
        {0x00080119, "Long Code Value", VR_UC, 0, "", ""},
        {0x00660022, "Double Point Coordinates Data", VR_OD, 1, "", ""},
        {0x00660040, "Long Primitive Point Index List", VR_OL, 1, "", ""},
        {0x00720082, "Selector SV Value", VR_SV, 0, "", ""},
        {0x00720083, "Selector UV Value", VR_UV, 0, "", ""},
        {0x00283006, "LUT Data", VR_XW, 0, "", ""},
        {0x0040A730, "Content Sequence", VR_SQ, 1, "", ""},
        {0x00541300, "Frame Reference Time", VR_DS, 1, "", ""},
        {0x00660016, "Point Coordinates Data", VR_OF, 1, "", ""},
        {0x00189219, "Tag Angle Second Axis", VR_FD, 1, "", ""},
        {0x00420011, "Encapsulated Document", VR_OB, 1, "", ""},
        {0x00081030, "Study Description", VR_LO, 1, "", ""},
        {0x00400280, "Comments on the Performed Procedure Step", VR_UT, 1, "", ""},
        {0x54001010, "Waveform Data", VR_OX, 1, "", ""},
        {0x60003000, "Overlay Data", VR_OX, 1, "", ""},
        {0x7FE00010, "Pixel Data", VR_OX, 1, "", ""},
        {0xFFFEE000, "Item", VR_XX, 1, "", ""},
        {0xFFFEE00D, "Item Delimitation Item", VR_XX, 1, "", ""},
        {0xFFFEE0DD, "Sequence Delimitation Item", VR_XX, 1, "", ""},
    };
    app.primaryTags = entries;
    app.primaryTagCount = static_cast<int16_t>(sizeof entries / sizeof entries[0]);
}

// A library context whose log is kept in memory.
class ReaderTest : public ::testing::Test {
  protected:
    void SetUp() override {
        init_AppData(&app, "test", "1", nullptr);
        useSmallDictionary(app);
        stream = open_memstream(&logText, &logSize);
        log.file = stream;
        log.mask = 0x0F;
        log.owner = this;
        app.log = &log;
        init_IOObject(&io);
        dir = std::filesystem::temp_directory_path() /
              ("velmar_reader_" + std::to_string(getpid()) + "_" +
               ::testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::create_directories(dir);
    }
    void TearDown() override {
        DO_closeObject(&io.object);
        app.log = nullptr;
        app.primaryTags = nullptr;
        app.primaryTagCount = 0;
        done_AppData(&app);
        std::fclose(stream);
        std::free(logText);
        std::error_code ignored;
        std::filesystem::remove_all(dir, ignored);
    }

    std::string write(const Bytes &b, const std::string &name = "in.dcm") {
        std::string path = (dir / name).string();
        std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char *>(b.data.data()),
                                                    static_cast<std::streamsize>(b.data.size()));
        return path;
    }
    // Reads bytes written to a file, with the syntaxes to be detected.
    int16_t read(const Bytes &b) {
        path = write(b);
        io.metaSyntax = -1;
        io.dataSyntax = -1;
        return DO_importObjectFromFile(&app, path.c_str(), &io);
    }
    // The messages of levels 1 and 2 logged so far, one per line.
    std::string problems() {
        std::fflush(stream);
        std::string out;
        std::string all(logText != nullptr ? logText : "", logSize);
        size_t start = 0;
        while (start < all.size()) {
            size_t end = all.find('\n', start);
            if (end == std::string::npos) end = all.size();
            std::string line = all.substr(start, end - start);
            if (line.rfind("Error: ", 0) == 0 || line.rfind("Warning: ", 0) == 0) out += line + "\n";
            start = end + 1;
        }
        return out;
    }

    DicomElement *top(uint16_t g, uint16_t e) { return childOf(io.object->root, g, e); }
    static DicomElement *childOf(DicomElement *node, uint16_t g, uint16_t e) {
        for (DicomElement *c = node != nullptr ? node->firstChild : nullptr; c != nullptr; c = c->next)
            if (c->group == g && c->element == e) return c;
        return nullptr;
    }
    static std::string textOf(const DicomElement *el) {
        if (el == nullptr || el->value == nullptr) return {};
        return std::string(static_cast<const char *>(el->value), el->length);
    }
    static uint16_t u16Of(const DicomElement *el, size_t index = 0) {
        uint16_t v = 0;
        if (el != nullptr && el->value != nullptr && el->length >= 2 * (index + 1))
            std::memcpy(&v, static_cast<const uint8_t *>(el->value) + 2 * index, 2);
        return v;
    }
    // The tags of a node's children, "gggg,eeee" joined by blanks.
    static std::string shape(const DicomElement *node) {
        std::string out;
        char tag[16];
        for (const DicomElement *c = node->firstChild; c != nullptr; c = c->next) {
            std::snprintf(tag, sizeof tag, "%s%04X,%04X", out.empty() ? "" : " ", c->group, c->element);
            out += tag;
        }
        return out;
    }

    AppData app{};
    Log log{};
    IOObject io{};
    FILE *stream = nullptr;
    char *logText = nullptr;
    size_t logSize = 0;
    std::filesystem::path dir;
    std::string path;
};

}  // namespace readertest
