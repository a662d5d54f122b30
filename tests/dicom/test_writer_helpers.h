// Helpers of the writer tests: a small hand-filled dictionary, objects built element by element,
// pixel data descriptors over raw files, and a byte-level parser of the files written.
#pragma once

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "velmar/codecs.h"
#include "velmar/defs.h"
#include "velmar/dicom.h"

namespace writer_test {

namespace fs = std::filesystem;

inline const std::vector<AttrDef> &dictionary() {
    static const std::vector<AttrDef> tags = {
        {0x00020000u, "File Meta Information Group Length", VR_UL, 1, "", ""},
        {0x00020001u, "File Meta Information Version", VR_OB, 1, "", ""},
        {0x00020002u, "Media Storage SOP Class UID", VR_UI, 1, "", ""},
        {0x00020003u, "Media Storage SOP Instance UID", VR_UI, 1, "", ""},
        {0x00020010u, "Transfer Syntax UID", VR_UI, 1, "", ""},
        {0x00020012u, "Implementation Class UID", VR_UI, 1, "", ""},
        {0x00020013u, "Implementation Version Name", VR_SH, 1, "", ""},
        {0x00020016u, "Source Application Entity Title", VR_AE, 1, "", ""},
        {0x00080001u, "Length to End", VR_UL, 1, "", ""},
        {0x00080005u, "Specific Character Set", VR_CS, 0, "", ""},
        {0x00080016u, "SOP Class UID", VR_UI, 1, "", ""},
        {0x00080018u, "SOP Instance UID", VR_UI, 1, "", ""},
        {0x00080060u, "Modality", VR_CS, 1, "", ""},
        {0x00081140u, "Referenced Image Sequence", VR_SQ, 1, "", ""},
        {0x00081150u, "Referenced SOP Class UID", VR_UI, 1, "", ""},
        {0x00081155u, "Referenced SOP Instance UID", VR_UI, 1, "", ""},
        {0x00082112u, "Source Image Sequence", VR_SQ, 1, "", ""},
        {0x00100010u, "Patient's Name", VR_PN, 1, "", ""},
        {0x00100020u, "Patient ID", VR_LO, 1, "", ""},
        {0x00181310u, "Acquisition Matrix", VR_US, 4, "", ""},
        {0x00189087u, "Diffusion b-value", VR_FD, 1, "", ""},
        {0x00201041u, "Slice Location", VR_DS, 1, "", ""},
        {0x00204000u, "Image Comments", VR_LT, 1, "", ""},
        {0x00280002u, "Samples per Pixel", VR_US, 1, "", ""},
        {0x00280004u, "Photometric Interpretation", VR_CS, 1, "", ""},
        {0x00280008u, "Number of Frames", VR_IS, 1, "", ""},
        {0x00280009u, "Frame Increment Pointer", VR_AT, 0, "", ""},
        {0x00280010u, "Rows", VR_US, 1, "", ""},
        {0x00280011u, "Columns", VR_US, 1, "", ""},
        {0x00280100u, "Bits Allocated", VR_US, 1, "", ""},
        {0x00280101u, "Bits Stored", VR_US, 1, "", ""},
        {0x00280102u, "High Bit", VR_US, 1, "", ""},
        {0x00280103u, "Pixel Representation", VR_US, 1, "", ""},
        {0x00280106u, "Smallest Image Pixel Value", VR_XS, 1, "", ""},
        {0x00281052u, "Rescale Intercept", VR_DS, 1, "", ""},
        {0x00540011u, "Number of Energy Windows", VR_US, 1, "", ""},
        {0x00880200u, "Icon Image Sequence", VR_SQ, 1, "", ""},
        {0x00540012u, "Energy Window Information Sequence", VR_SQ, 1, "", ""},
        {0x00540013u, "Energy Window Range Sequence", VR_SQ, 1, "", ""},
        {0x00540014u, "Energy Window Lower Limit", VR_DS, 1, "", ""},
        {0x00189089u, "Diffusion Gradient Orientation", VR_FD, 3, "", ""},
        {0x00186020u, "Reference Pixel X0", VR_SL, 1, "", ""},
        {0x00209157u, "Dimension Index Values", VR_UL, 0, "", ""},
        {0x00281041u, "Pixel Intensity Relationship Sign", VR_SS, 1, "", ""},
        {0x00189108u, "Inversion Time", VR_FL, 1, "", ""},
        {0x50003000u, "Curve Data", VR_OX, 1, "", ""},
        {0x60000010u, "Overlay Rows", VR_US, 1, "", ""},
        {0x60003000u, "Overlay Data", VR_OX, 1, "", ""},
        {0x7FE00000u, "Group Length", VR_UL, 1, "", ""},
        {0x7FE00010u, "Pixel Data", VR_OX, 1, "", ""},
        {0xFFFEE000u, "Item", VR_XX, 1, "", ""},
        {0xFFFEE00Du, "Item Delimitation Item", VR_XX, 1, "", ""},
        {0xFFFEE0DDu, "Sequence Delimitation Item", VR_XX, 1, "", ""},
    };
    return tags;
}

// A temporary directory removed with everything in it.
struct TempDir {
    fs::path path;
    TempDir() {
        std::string pattern = (fs::temp_directory_path() / "velmar_wr_XXXXXX").string();
        char *made = mkdtemp(pattern.data());
        path = made != nullptr ? fs::path(made) : fs::temp_directory_path();
    }
    ~TempDir() {
        std::error_code ignored;
        fs::remove_all(path, ignored);
    }
    std::string file(const std::string &name) const { return (path / name).string(); }
    std::vector<std::string> leftovers() const {
        std::vector<std::string> names;
        for (const auto &entry : fs::directory_iterator(path)) {
            std::string name = entry.path().filename().string();
            if (name.rfind("_velmar_", 0) == 0) names.push_back(name);
        }
        return names;
    }
};

inline std::vector<uint8_t> readFile(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void writeFile(const std::string &path, const std::vector<uint8_t> &bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char *>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

// Library context with the hand-filled dictionary and a log file to read messages from.
struct Context {
    AppData app{};
    std::string logPath;
    bool loaded = false;  // the shipped dictionary rather than the hand-filled one
    explicit Context(const std::string &log_path = std::string(), bool shippedDictionary = false)
        : logPath(log_path) {
        init_AppData(&app, "velmar", "1.0", nullptr);
        if (!logPath.empty()) app.log = log_start(&app, logPath.c_str(), "writer test", 0x03, 0, 0, nullptr);
        if (shippedDictionary) {
            setenv("VELMAR_DEF_PATH", VELMAR_SHARE_DIR, 0);
            loaded = InitTagDef(&app, 1) == 0;
            return;
        }
        app.primaryTags = const_cast<AttrDef *>(dictionary().data());
        app.primaryTagCount = static_cast<int16_t>(dictionary().size());
    }
    ~Context() {
        if (loaded) {
            DoneTagDef(&app);
        } else {
            app.primaryTags = nullptr;
            app.primaryTagCount = 0;
        }
        done_AppData(&app);
    }
    std::string log() {
        if (app.log != nullptr && app.log->file != nullptr) std::fflush(app.log->file);
        auto bytes = readFile(logPath);
        return std::string(bytes.begin(), bytes.end());
    }
    int32_t vr(uint32_t tag) {
        int32_t code = -1;
        getVR(&app, tag, &code);
        return code;
    }
};

// Adds elements in file order.
struct Builder {
    Context &ctx;
    DicomObject *obj;
    void add(uint32_t tag, const void *value, uint32_t length) {
        DicomElement el{};
        el.group = static_cast<uint16_t>(tag >> 16);
        el.element = static_cast<uint16_t>(tag & 0xFFFF);
        el.vr = ctx.vr(tag);
        el.length = length;
        el.value = const_cast<void *>(value);
        ASSERT_EQ(DO_addElement(&ctx.app, obj, &el), 0);
    }
    void text(uint32_t tag, std::string value) {
        if (value.size() % 2 != 0) value += ' ';
        add(tag, value.data(), static_cast<uint32_t>(value.size()));
    }
    void uid(uint32_t tag, std::string value) {
        add(tag, value.data(), static_cast<uint32_t>(value.size()));  // odd lengths gain a zero byte
    }
    void u16(uint32_t tag, std::vector<uint16_t> values) {
        add(tag, values.data(), static_cast<uint32_t>(values.size() * 2));
    }
    void sequence(uint32_t tag) { add(tag, nullptr, VELMAR_UNDEFINED_LENGTH); }
    void item() { ASSERT_EQ(add_Item(&ctx.app, obj, VELMAR_UNDEFINED_LENGTH), 0); }
    void endItem() { ASSERT_EQ(add_Item_Delimitation_Item(&ctx.app, obj), 0); }
    void endSequence() { ASSERT_EQ(add_Sequence_Delimitation_Item(&ctx.app, obj), 0); }
};

// A descriptor over a raw native pixel file: `frames` frames of rows x columns samples.
inline std::vector<uint8_t> makeDescriptor(const std::string &file, uint16_t rows, uint16_t columns,
                                           uint16_t bits, uint16_t frames, int32_t syntax, const char *uid,
                                           uint32_t offset = 0, uint16_t samples = 1) {
    uint32_t frameSize = static_cast<uint32_t>(bits / 8) * rows * columns * samples;
    size_t size = VELMAR_PDS_FIXED_SIZE + static_cast<size_t>(frames) * VELMAR_PDS_ENTRY_SIZE;
    std::vector<uint8_t> block(size + VELMAR_PDS_ENTRY_SIZE, 0);
    auto *d = reinterpret_cast<PixelDataDescriptor *>(block.data());
    d->size = static_cast<uint32_t>(size);
    d->samplesPerPixel = samples;
    std::strcpy(d->photometric, "MONOCHROME2");
    d->planarConfiguration = 0;
    d->rows = rows;
    d->columns = columns;
    d->bitsAllocated = bits;
    d->bitsStored = bits;
    d->highBit = static_cast<uint16_t>(bits - 1);
    d->numberOfFrames = frames;
    d->frameSize = frameSize;
    d->entryCount = frames;
    d->fileName = velmar_internFileName(file.c_str());
    d->pixelOffset = offset;
    d->pixelLength = frameSize * frames;
    d->syntaxCode = syntax;
    std::strncpy(d->transferSyntaxUID, uid, VELMAR_UID_SIZE - 1);
    for (uint16_t i = 0; i < frames; ++i)
        d->frames[i] = PixelFrameEntry{static_cast<uint16_t>(i + 1), 0, offset + i * frameSize, frameSize};
    block.resize(size);
    return block;
}

// Adds the image pixel module for a descriptor and the Pixel Data element holding it.
inline void addImage(Builder &b, const std::vector<uint8_t> &descriptor) {
    const auto *d = reinterpret_cast<const PixelDataDescriptor *>(descriptor.data());
    b.u16(0x00280002u, {d->samplesPerPixel});
    b.text(0x00280004u, "MONOCHROME2");
    b.text(0x00280008u, std::to_string(d->numberOfFrames));
    b.u16(0x00280010u, {d->rows});
    b.u16(0x00280011u, {d->columns});
    b.u16(0x00280100u, {d->bitsAllocated});
    b.u16(0x00280101u, {d->bitsStored});
    b.u16(0x00280102u, {d->highBit});
    b.u16(0x00280103u, {0});
    b.add(0x7FE00010u, descriptor.data(), static_cast<uint32_t>(descriptor.size()));
}

// An object with one element of most VRs, nested and empty sequences, private elements, an
// overlay and an image over a raw file; built against the shipped dictionary.
inline void buildRichObject(Context &ctx, DicomObject *obj, const std::vector<uint8_t> &descriptor) {
    Builder b{ctx, obj};
    b.text(0x00080005u, "ISO_IR 100");
    b.text(0x00080008u, "ORIGINAL\\PRIMARY");
    b.uid(0x00080016u, "1.2.840.10008.5.1.4.1.1.20");
    b.uid(0x00080018u, "1.2.826.0.1.3680043.9.7.1");
    b.text(0x00080020u, "20240131");
    b.text(0x00080030u, "101500");
    b.text(0x00080060u, "NM");
    b.text(0x00080070u, "velmar");
    b.sequence(0x00081140u);  // empty
    b.endSequence();
    b.sequence(0x00082112u);  // one empty item
    b.item();
    b.endItem();
    b.endSequence();
    b.text(0x00100010u, "Doe^Jane");
    b.text(0x00101010u, "042Y");
    b.text(0x00181030u, "Whole body");
    b.text(0x00185100u, "HFS");
    double b_value = 800.25;
    b.add(0x00189087u, &b_value, 8);
    double inversion[2] = {12.5, -3.0};
    b.add(0x00189079u, inversion, 16);
    b.u16(0x00181310u, {0, 64, 64, 0});
    b.text(0x00201041u, "-12.5");
    b.text(0x00204000u, std::string(300, 'c'));
    uint16_t pointer[4] = {0x0054, 0x0010, 0x0054, 0x0020};
    b.add(0x00280009u, pointer, 8);
    int16_t smallest = -5;
    b.add(0x00280106u, &smallest, 2);
    b.text(0x00281052u, "0");
    uint32_t windowCount = 1;
    b.add(0x00209157u, &windowCount, 4);
    // Private group: a creator, a word value with the VR an explicit file gives it, bytes.
    b.text(0x00290010u, "VELMAR TEST");
    DicomElement priv{};
    priv.group = 0x0029;
    priv.element = 0x1010;
    priv.vr = VR_US;
    uint16_t privWords[2] = {0x1234, 0xABCD};
    priv.value = privWords;
    priv.length = 4;
    ASSERT_EQ(DO_addElement(&ctx.app, obj, &priv), 0);
    b.u16(0x00540010u, {1, 1, 1});
    b.u16(0x00540011u, {1});
    b.sequence(0x00540012u);
    b.item();
    b.sequence(0x00540013u);
    b.item();
    b.text(0x00540014u, "126");
    b.text(0x00540015u, "154");
    b.endItem();
    b.endSequence();
    b.text(0x00540018u, "Tc99m");
    b.endItem();
    b.endSequence();
    b.u16(0x60000010u, {4});
    b.u16(0x60000011u, {4});
    std::vector<uint8_t> overlay = {0x0F, 0xF0};
    b.add(0x60003000u, overlay.data(), 2);
    addImage(b, descriptor);
}

// One element of a parsed file, in file order (sequences and items are opened, not skipped).
struct Parsed {
    uint32_t tag = 0;
    std::string vr;  // empty in implicit syntax and for items and delimiters
    uint32_t length = 0;
    size_t offset = 0;  // of the value
    std::vector<uint8_t> value;
    int depth = 0;
};

struct ParsedFile {
    bool preamble = false;
    std::vector<Parsed> meta;
    std::vector<Parsed> data;
    std::string error;

    const Parsed *find(uint32_t tag, bool inMeta = false) const {
        for (const Parsed &p : inMeta ? meta : data)
            if (p.tag == tag) return &p;
        return nullptr;
    }
    size_t count(uint32_t tag) const {
        size_t n = 0;
        for (const Parsed &p : data) n += p.tag == tag;
        for (const Parsed &p : meta) n += p.tag == tag;
        return n;
    }
};

inline uint16_t get16(const std::vector<uint8_t> &b, size_t at, bool big) {
    return big ? static_cast<uint16_t>(b[at] << 8 | b[at + 1])
               : static_cast<uint16_t>(b[at] | b[at + 1] << 8);
}
inline uint32_t get32(const std::vector<uint8_t> &b, size_t at, bool big) {
    uint32_t v = 0;
    for (int i = 0; i < 4; ++i) v |= static_cast<uint32_t>(b[at + (big ? 3 - i : i)]) << (8 * i);
    return v;
}

// Parses a file written with the given data set syntax (0 implicit, 1 explicit, 2 big endian).
inline ParsedFile parse(const std::vector<uint8_t> &bytes, int syntax, bool expectPreamble) {
    ParsedFile out;
    size_t at = 0;
    if (expectPreamble) {
        if (bytes.size() < 132 || std::memcmp(bytes.data() + 128, "DICM", 4) != 0) {
            out.error = "no DICM";
            return out;
        }
        out.preamble = true;
        at = 132;
    }
    bool inMeta = expectPreamble;
    bool inPixelItems = false;
    int depth = 0;
    while (at + 8 <= bytes.size()) {
        bool big = !inMeta && syntax == 2;
        uint16_t group = get16(bytes, at, big);
        if (inMeta && group != 0x0002) inMeta = false;
        big = !inMeta && syntax == 2;
        bool explicitVR = inMeta || syntax != 0;
        group = get16(bytes, at, big);
        uint16_t element = get16(bytes, at + 2, big);
        Parsed p;
        p.tag = static_cast<uint32_t>(group) << 16 | element;
        p.depth = depth;
        at += 4;
        if (group == 0xFFFE || !explicitVR) {
            p.length = get32(bytes, at, big);
            at += 4;
        } else {
            p.vr.assign(reinterpret_cast<const char *>(bytes.data() + at), 2);
            at += 2;
            static const std::vector<std::string> longVRs = {"OB", "OW", "SQ", "UN", "UT", "UC", "UR",
                                                             "OF", "OD", "OL", "OV", "SV", "UV"};
            if (std::find(longVRs.begin(), longVRs.end(), p.vr) != longVRs.end()) {
                at += 2;
                p.length = get32(bytes, at, big);
                at += 4;
            } else {
                p.length = get16(bytes, at, big);
                at += 2;
            }
        }
        p.offset = at;
        bool opens =
            p.length == VELMAR_UNDEFINED_LENGTH || p.vr == "SQ" || (p.tag == 0xFFFEE000u && !inPixelItems);
        if (p.tag == 0x7FE00010u && p.length == VELMAR_UNDEFINED_LENGTH) inPixelItems = true;
        if (p.tag == 0xFFFEE0DDu) {
            if (inPixelItems) inPixelItems = false;
            depth = depth > 0 ? depth - 1 : 0;
        } else if (p.tag == 0xFFFEE00Du) {
            depth = depth > 0 ? depth - 1 : 0;
        } else if (opens && p.length == VELMAR_UNDEFINED_LENGTH) {
            ++depth;
        } else if (!opens || (p.tag == 0xFFFEE000u && inPixelItems)) {
            if (at + p.length > bytes.size()) {
                out.error = "value beyond the end";
                return out;
            }
            p.value.assign(bytes.begin() + static_cast<long>(at),
                           bytes.begin() + static_cast<long>(at + p.length));
            at += p.length;
        }
        (p.tag >> 16 == 0x0002 && inMeta ? out.meta : out.data).push_back(std::move(p));
    }
    if (at != bytes.size()) out.error = "trailing bytes";
    return out;
}

inline std::string textOf(const Parsed *p) {
    return p == nullptr ? std::string("<absent>") : std::string(p->value.begin(), p->value.end());
}

// Pixel values of a test image: distinct high and low bytes, different in every frame.
inline std::vector<uint8_t> pixelBytes(size_t frameSize, uint16_t frames, uint16_t bits) {
    std::vector<uint8_t> bytes(frameSize * frames);
    for (size_t i = 0; i < bytes.size(); ++i)
        bytes[i] = bits > 8 ? static_cast<uint8_t>((i * 37 + i / 2 * 11 + 0x12) & 0xFF)
                            : static_cast<uint8_t>(i * 7 + 3);
    return bytes;
}

}  // namespace writer_test
