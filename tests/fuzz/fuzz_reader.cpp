// Fuzz target of the DICOM file reader: any bytes, read as a file with a small dictionary that
// knows sequences, "either" VRs and Pixel Data; the resulting tree and frame table are walked and
// checked against the file.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "velmar.h"

namespace {

AttrDef kDictionary[] = {
    {0x00020000, "File Meta Information Group Length", VR_UL, 1, "", ""},
    {0x00020001, "File Meta Information Version", VR_OB, 1, "", ""},
    {0x00020010, "Transfer Syntax UID", VR_UI, 1, "", ""},
    {0x00080005, "Specific Character Set", VR_CS, 0, "", ""},
    {0x00081140, "Referenced Image Sequence", VR_SQ, 1, "", ""},
    {0x00081150, "Referenced SOP Class UID", VR_UI, 1, "", ""},
    {0x00100010, "Patient's Name", VR_PN, 1, "", ""},
    {0x00280002, "Samples per Pixel", VR_US, 1, "", ""},
    {0x00280008, "Number of Frames", VR_IS, 1, "", ""},
    {0x00280010, "Rows", VR_US, 1, "", ""},
    {0x00280011, "Columns", VR_US, 1, "", ""},
    {0x00280100, "Bits Allocated", VR_US, 1, "", ""},
    {0x00280106, "Smallest Image Pixel Value", VR_XS, 1, "", ""},
    {0x00281201, "Red Palette Color Lookup Table Data", VR_OW, 1, "", ""},
    {0x0040A730, "Content Sequence", VR_SQ, 1, "", ""},
    {0x00189219, "Tag Angle Second Axis", VR_FD, 1, "", ""},
    {0x50003000, "Curve Data", VR_OX, 1, "", ""},
    {0x60003000, "Overlay Data", VR_OX, 1, "", ""},
    {0x7FE00010, "Pixel Data", VR_OX, 1, "", ""},
    {0xFFFEE000, "Item", VR_XX, 1, "", ""},
    {0xFFFEE00D, "Item Delimitation Item", VR_XX, 1, "", ""},
    {0xFFFEE0DD, "Sequence Delimitation Item", VR_XX, 1, "", ""},
};

// Touches every value byte, so that a value shorter than its length shows under the sanitizers.
size_t walk(const DicomElement *node, int depth) {
    if (depth > 64) std::abort();  // the reader nests at most 10 sequences
    size_t sum = 0;
    for (const DicomElement *c = node->firstChild; c != nullptr; c = c->next) {
        if (c->parent != node) std::abort();
        if (c->value != nullptr)
            for (uint32_t i = 0; i < c->length; ++i) sum += static_cast<const uint8_t *>(c->value)[i];
        sum += walk(c, depth + 1);
    }
    return sum;
}

// Every frame-table entry lies inside the file.
void checkFrames(AppData *app, DicomObject *obj, size_t fileSize) {
    PixelDataDescriptor *d = get_ppds(app, obj);
    if (d == nullptr) return;
    for (uint16_t i = 0; i < d->entryCount; ++i)
        if (static_cast<uint64_t>(d->frames[i].offset) + d->frames[i].length > fileSize) std::abort();
    char *uid = GetPixelTransferSyntax(app, obj);
    if (uid == nullptr || std::strlen(uid) >= VELMAR_UID_SIZE) std::abort();
    std::free(uid);
    std::free(d);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static const std::string path = "/tmp/velmar_fuzz_reader_" + std::to_string(getpid()) + ".dcm";
    static const bool cleanup = std::atexit([] { std::remove(path.c_str()); }) == 0;
    (void)cleanup;
    FILE *f = std::fopen(path.c_str(), "wb");
    if (f == nullptr) return 0;
    if (size > 0) std::fwrite(data, 1, size, f);
    std::fclose(f);

    AppData app;
    init_AppData(&app, "fuzz", "1", nullptr);
    app.primaryTags = kDictionary;
    app.primaryTagCount = static_cast<int16_t>(sizeof kDictionary / sizeof kDictionary[0]);
    IOObject io;
    init_IOObject(&io);
    io.metaSyntax = -1;
    io.dataSyntax = -1;
    DO_importObjectFromFile(&app, path.c_str(), &io);
    if (io.object != nullptr) {
        static volatile size_t sink;
        sink = walk(io.object->root, 0);
        checkFrames(&app, io.object, size);
        SortCodes(io.object->root);
    }
    DO_closeObject(&io.object);
    app.primaryTags = nullptr;
    app.primaryTagCount = 0;
    done_AppData(&app);
    return 0;
}
