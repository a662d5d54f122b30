// The frame of the fuzz targets of the external codec libraries: the input is a six-byte image
// description followed by one frame's coded stream. The library is loaded from the build's
// codec directory, and a pixel data descriptor pointing at the stream under the library's
// transfer syntax is written natively, so that the frame kernel runs the decoder on it.
//   byte 0: rows - 1 (mod 64)      byte 1: columns - 1 (mod 64)
//   byte 2: bit 0 16 bits allocated (else 8)   byte 3: bits stored - 1 (mod bits allocated)
//   byte 4: bit 0 three samples per pixel, bit 1 planar, bit 2 signed
//   byte 5: Photometric Interpretation, index into the list below
// A successful conversion must give exactly one frame of native pixels.
#pragma once

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "velmar.h"

namespace codecfuzz {

inline AttrDef kDictionary[] = {
    {0x00020000, "File Meta Information Group Length", VR_UL, 1, "", ""},
    {0x00020001, "File Meta Information Version", VR_OB, 1, "", ""},
    {0x00020010, "Transfer Syntax UID", VR_UI, 1, "", ""},
    {0x00280004, "Photometric Interpretation", VR_CS, 1, "", ""},
    {0x00280006, "Planar Configuration", VR_US, 1, "", ""},
    {0x7FE00010, "Pixel Data", VR_OX, 1, "", ""},
    {0xFFFEE000, "Item", VR_XX, 1, "", ""},
    {0xFFFEE00D, "Item Delimitation Item", VR_XX, 1, "", ""},
    {0xFFFEE0DD, "Sequence Delimitation Item", VR_XX, 1, "", ""},
};

struct Context {
    AppData app{};
    std::string input;
    std::string output;
    const char *internedInput = nullptr;
    std::string uid;

    Context(const char *codec, const char *library, const char *transferSyntax) : uid(transferSyntax) {
        char title[VELMAR_TITLE_SIZE];
        init_AppData(&app, "fuzz_codec", "1", title);
        app.primaryTags = kDictionary;
        app.primaryTagCount = static_cast<int16_t>(sizeof kDictionary / sizeof kDictionary[0]);
        native_LibraryInit(&app);
        CodecMap map;
        initCodecMap(&map);
        addCodecToCodecMap(&map, transferSyntax, codec, library, "-");
        const char *names[1] = {codec};
        const char *options[1] = {""};
        if (init_DynamicCodecLibraries(&app, &map, names, options, 1, VELMAR_CODEC_BUILD_DIR) != 0) {
            std::fprintf(stderr, "cannot load %s from %s\n", library, VELMAR_CODEC_BUILD_DIR);
            std::abort();
        }
        freeCodecMap(&map);
        auto dir = std::filesystem::temp_directory_path() /
                   ("velmar_fuzz_" + std::string(codec) + "_" + std::to_string(getpid()));
        std::filesystem::create_directories(dir);
        input = (dir / "fragment.bin").string();
        output = (dir / "native.dcm").string();
        internedInput = velmar_internFileName(input.c_str());
    }
};

inline int decodeOne(Context &c, const uint8_t *data, size_t size) {
    static const char *const kPhotometric[] = {"MONOCHROME2",  "MONOCHROME1", "RGB",     "YBR_FULL",
                                               "YBR_FULL_422", "YBR_RCT",     "YBR_ICT", "PALETTE COLOR"};
    if (size < 6 || size > (1u << 20)) return 0;
    const uint8_t *stream = data + 6;
    const size_t streamSize = size - 6;
    uint16_t rows = static_cast<uint16_t>(1 + data[0] % 64);
    uint16_t columns = static_cast<uint16_t>(1 + data[1] % 64);
    uint16_t bits = (data[2] & 1) != 0 ? 16 : 8;
    uint16_t stored = static_cast<uint16_t>(1 + data[3] % bits);
    uint16_t samples = (data[4] & 1) != 0 ? 3 : 1;

    FILE *file = std::fopen(c.input.c_str(), "wb");
    if (file == nullptr) return 0;
    std::fwrite(stream, 1, streamSize, file);
    std::fclose(file);

    std::vector<uint8_t> block(VELMAR_PDS_FIXED_SIZE + 2 * VELMAR_PDS_ENTRY_SIZE, 0);
    auto *pds = reinterpret_cast<PixelDataDescriptor *>(block.data());
    pds->size = VELMAR_PDS_FIXED_SIZE + VELMAR_PDS_ENTRY_SIZE;
    pds->samplesPerPixel = samples;
    std::snprintf(pds->photometric, sizeof pds->photometric, "%s", kPhotometric[data[5] % 8]);
    pds->planarConfiguration = (data[4] & 2) != 0 ? 1 : 0;
    pds->rows = rows;
    pds->columns = columns;
    pds->bitsAllocated = bits;
    pds->bitsStored = stored;
    pds->highBit = static_cast<uint16_t>(stored - 1);
    pds->pixelRepresentation = (data[4] & 4) != 0 ? 1 : 0;
    pds->numberOfFrames = 1;
    pds->frameSize = static_cast<uint32_t>(bits / 8 * rows * columns * samples);
    pds->entryCount = 1;
    pds->fileName = c.internedInput;
    pds->pixelOffset = 0;
    pds->pixelLength = VELMAR_UNDEFINED_LENGTH;
    pds->syntaxCode = TS_OTHER;
    std::snprintf(pds->transferSyntaxUID, sizeof pds->transferSyntaxUID, "%s", c.uid.c_str());
    pds->frames[0] = {1, 0, 0, static_cast<uint32_t>(streamSize)};

    DicomObject *obj = nullptr;
    if (DO_openObject(&obj) != 0) return 0;
    DicomElement pixel{};
    pixel.group = 0x7FE0;
    pixel.element = 0x0010;
    pixel.vr = VR_OB;
    pixel.length = pds->size;
    pixel.value = block.data();
    DO_addElement(&c.app, obj, &pixel);

    IOObject io;
    init_IOObject(&io);
    io.object = obj;
    io.hasPreamble = 0;
    io.metaHeaderMode = 2;
    io.metaSyntax = TS_EXPLICIT_LITTLE;
    io.dataSyntax = TS_EXPLICIT_LITTLE;
    std::remove(c.output.c_str());
    if (DO_copyObjectToFile(&c.app, &io, c.output.c_str()) == 0) {
        // The frame (tag, VR, reserved bytes, length, even-padded pixels), after any element the
        // decoder's colour model changed.
        uint64_t pixels = 12 + pds->frameSize + (pds->frameSize & 1);
        if (std::filesystem::file_size(c.output) < pixels) std::abort();
    }
    DO_closeObject(&obj);
    return 0;
}

}  // namespace codecfuzz
