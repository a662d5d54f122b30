// Relations of group 0028: the Interfile matrix as a monochrome image, pixel spacing and aspect,
// corrections and compression, and the frame machinery (Number of Frames, Frame Increment
// Pointer).
#include <cstdio>
#include <cstring>
#include <string>

#include "convert/relations.h"

namespace velmar::convert {

namespace {

// An unsigned 16-bit geometry value ("%hu"), or `fallback` without a value.
unsigned short readUnsigned(Header *hdr, const char *key, unsigned short fallback) {
    Value v = readKey(hdr, key);
    unsigned short number = 0;
    if (!v.found || std::sscanf(v.text, "%hu", &number) != 1) return fallback;
    return number;
}

uint16_t bitsAllocated(Header *hdr) { return static_cast<uint16_t>(8u * readUnsigned(hdr, "number of bytes per pixel", 0)); }

}  // namespace

VELMAR_RELATION(relSamplesPerPixel) {
    (void)hdr;
    (void)context;
    return addUS(app, obj, 0x0028, 0x0002, 1);
}

VELMAR_RELATION(relPhotometricInterpretation) {
    (void)hdr;
    (void)context;
    return addText(app, obj, 0x0028, 0x0004, "MONOCHROME2");
}

VELMAR_RELATION(relPlanarConfiguration) {
    (void)hdr;
    (void)context;
    if (objectUS(obj, 0x0028, 0x0002) <= 1) return 0;
    return addUS(app, obj, 0x0028, 0x0006, 0);
}

VELMAR_RELATION(relRows) {
    (void)context;
    return addUS(app, obj, 0x0028, 0x0010, readUnsigned(hdr, "matrix size [2]", 0));
}

VELMAR_RELATION(relColumns) {
    (void)context;
    return addUS(app, obj, 0x0028, 0x0011, readUnsigned(hdr, "matrix size [1]", 0));
}

VELMAR_RELATION(relBitsAllocated) {
    (void)context;
    return addUS(app, obj, 0x0028, 0x0100, bitsAllocated(hdr));
}

VELMAR_RELATION(relBitsStored) {
    (void)context;
    return addUS(app, obj, 0x0028, 0x0101, bitsAllocated(hdr));
}

VELMAR_RELATION(relHighBit) {
    (void)context;
    uint16_t bits = bitsAllocated(hdr);
    return addUS(app, obj, 0x0028, 0x0102, bits > 0 ? static_cast<uint16_t>(bits - 1) : 0);
}

VELMAR_RELATION(relPixelRepresentation) {
    (void)context;
    Value format = readKey(hdr, "number format");
    bool isUnsigned = format.found && (equalsNoCase(format.text, "unsigned integer") || equalsNoCase(format.text, "bit"));
    return addUS(app, obj, 0x0028, 0x0103, isUnsigned ? 0 : 1);
}

// Rows and columns when the matrix is not square.
VELMAR_RELATION(relPixelAspectRatio) {
    (void)context;
    unsigned short rows = readUnsigned(hdr, "matrix size [2]", 0);
    unsigned short columns = readUnsigned(hdr, "matrix size [1]", 0);
    if (rows == 0 || columns == 0 || rows == columns) return 0;
    char text[32];
    std::snprintf(text, sizeof text, "%hu\\%hu", rows, columns);
    return addText(app, obj, 0x0028, 0x0034, text);
}

// Row spacing, then column spacing, in millimetres.
VELMAR_RELATION(relPixelSpacing) {
    (void)context;
    Value row = readKey(hdr, "scaling factor (mm/pixel) [2]");
    Value column = readKey(hdr, "scaling factor (mm/pixel) [1]");
    float rowSpacing = -9999.0f;
    float columnSpacing = -9999.0f;
    if (row.found) std::sscanf(row.text, "%f", &rowSpacing);
    if (column.found) std::sscanf(column.text, "%f", &columnSpacing);
    if (!(rowSpacing > -9999.0f) || !(columnSpacing > -9999.0f)) return addEmpty(app, obj, 0x0028, 0x0030);
    char text[160];
    std::snprintf(text, sizeof text, "%f\\%f", static_cast<double>(rowSpacing), static_cast<double>(columnSpacing));
    return addText(app, obj, 0x0028, 0x0030, text);
}

VELMAR_RELATION(relCorrectedImage) {
    (void)context;
    std::string list;
    auto add = [&list](const char *value) {
        if (!list.empty()) list += '\\';
        list += value;
    };
    if (std::strcmp(readKey(hdr, "flood corrected").text, "Y") == 0) add("UNIF");
    if (std::strcmp(readKey(hdr, "decay corrected").text, "Y") == 0) add("DECY");
    float attenuation = 0.0f;
    Value coefficient = readKey(hdr, "attenuation correction coefficient/cm");
    if (coefficient.found && std::sscanf(coefficient.text, "%f", &attenuation) == 1 && attenuation != 0.0f)
        add("ATTN");
    if (std::strcmp(readKey(hdr, "scatter corrected").text, "Y") == 0) add("SCAT");
    if (list.empty()) return 0;
    return addText(app, obj, 0x0028, 0x0051, list.c_str());
}

VELMAR_RELATION(relLossyImageCompression) {
    (void)context;
    if (!equalsNoCase(readKey(hdr, "data compression").text, "JPEG")) return 0;
    return addText(app, obj, 0x0028, 0x2110, "01");
}

// Number of Frames from "total number of images"; a count that is not a positive 16-bit
// number gives an empty element and no frames.
VELMAR_RELATION(relNumberOfFrames) {
    context->frameCount = 0;
    Value v = readKey(hdr, "total number of images");
    short frames = 0;
    if (!v.found || std::sscanf(v.text, "%hd", &frames) != 1 || frames < 0)
        return addEmpty(app, obj, 0x0028, 0x0008);
    context->frameCount = frames;
    char text[16];
    std::snprintf(text, sizeof text, "%hd", frames);
    return addText(app, obj, 0x0028, 0x0008, text);
}

// The vectors that index the frames, by study type.
VELMAR_RELATION(relFrameIncrementPointer) {
    (void)hdr;
    struct Pointers {
        const char *studyType;
        uint16_t elements[6];  // of group 0054; 0 ends the list
    };
    static const Pointers kTable[] = {
        {"STATIC", {0x0010, 0x0020}},
        {"DYNAMIC", {0x0010, 0x0020, 0x0030, 0x0100}},
        {"GATED", {0x0010, 0x0020, 0x0060, 0x0070}},
        {"TOMO", {0x0010, 0x0020, 0x0050, 0x0090}},
        {"GATED TOMO", {0x0010, 0x0020, 0x0050, 0x0060, 0x0070, 0x0090}},
        {"RECON TOMO", {0x0080}},
        {"RECON GATED TOMO", {0x0060, 0x0070, 0x0080}},
    };
    uint16_t value[2 * 6];
    uint32_t length = 0;
    for (const Pointers &row : kTable) {
        if (!studyTypeIs(context, row.studyType)) continue;
        for (uint16_t element : row.elements) {
            if (element == 0) break;
            value[length / 2] = 0x0054;
            value[length / 2 + 1] = element;
            length += 4;
        }
        break;
    }
    return addBytes(app, obj, 0x0028, 0x0009, value, length);
}

}  // namespace velmar::convert
