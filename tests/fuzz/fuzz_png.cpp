// Fuzz target of the PNG decoder: the input is a six-byte image description followed by the
// bytes of one encapsulated fragment. A pixel data descriptor pointing at those bytes under the
// PNG transfer syntax is written natively, so that the frame kernel runs the PNG decoder on them.
//   byte 0: rows - 1 (mod 64)     byte 1: columns - 1 (mod 64)
//   byte 2: bits allocated, index into {1, 2, 4, 8, 16, 12, 32, 8}
//   byte 3: bits stored - 1 (mod bits allocated)
//   byte 4: bit 0 three samples per pixel
//   byte 5: bit 0 take rows, columns and depth from the stream's IHDR when it has one, so that
//           mutations get past the geometry check.
// A successful conversion must give exactly one frame of native pixels.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "velmar.h"

namespace {

AttrDef kDictionary[] = {
    {0x00020000, "File Meta Information Group Length", VR_UL, 1, "", ""},
    {0x00020001, "File Meta Information Version", VR_OB, 1, "", ""},
    {0x00020010, "Transfer Syntax UID", VR_UI, 1, "", ""},
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

    Context() {
        char title[VELMAR_TITLE_SIZE];
        init_AppData(&app, "fuzz_png", "1", title);
        app.primaryTags = kDictionary;
        app.primaryTagCount = static_cast<int16_t>(sizeof kDictionary / sizeof kDictionary[0]);
        native_LibraryInit(&app);
        png_LibraryInit(&app);
        auto dir = std::filesystem::temp_directory_path() / ("velmar_fuzz_png_" + std::to_string(getpid()));
        std::filesystem::create_directories(dir);
        input = (dir / "fragment.bin").string();
        output = (dir / "native.dcm").string();
        internedInput = velmar_internFileName(input.c_str());
    }
};

Context &context() {
    static Context *c = new Context();  // lives as long as the process
    return *c;
}

uint32_t bigEndian32(const uint8_t *p) {
    return (static_cast<uint32_t>(p[0]) << 24) | (static_cast<uint32_t>(p[1]) << 16) |
           (static_cast<uint32_t>(p[2]) << 8) | p[3];
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 6 || size > (1u << 20)) return 0;
    Context &c = context();
    const uint8_t *stream = data + 6;
    const size_t streamSize = size - 6;

    static const uint16_t kBits[] = {1, 2, 4, 8, 16, 12, 32, 8};
    uint16_t rows = static_cast<uint16_t>(1 + data[0] % 64);
    uint16_t columns = static_cast<uint16_t>(1 + data[1] % 64);
    uint16_t bits = kBits[data[2] & 7];
    uint16_t samples = (data[4] & 1) != 0 ? 3 : 1;
    if ((data[5] & 1) != 0 && streamSize >= 25 && std::memcmp(stream + 12, "IHDR", 4) == 0) {
        uint32_t width = bigEndian32(stream + 16);
        uint32_t height = bigEndian32(stream + 20);
        if (width >= 1 && width <= 256 && height >= 1 && height <= 256) {
            samples = 1;
            columns = static_cast<uint16_t>(width);
            rows = static_cast<uint16_t>(height);
            bits = stream[24];
        }
    }
    uint16_t stored = static_cast<uint16_t>(1 + data[3] % (bits != 0 ? bits : 1));

    FILE *file = std::fopen(c.input.c_str(), "wb");
    if (file == nullptr) return 0;
    std::fwrite(stream, 1, streamSize, file);
    std::fclose(file);

    std::vector<uint8_t> block(VELMAR_PDS_FIXED_SIZE + 2 * VELMAR_PDS_ENTRY_SIZE, 0);
    auto *pds = reinterpret_cast<PixelDataDescriptor *>(block.data());
    pds->size = VELMAR_PDS_FIXED_SIZE + VELMAR_PDS_ENTRY_SIZE;
    pds->samplesPerPixel = samples;
    std::strcpy(pds->photometric, "MONOCHROME2");
    pds->rows = rows;
    pds->columns = columns;
    pds->bitsAllocated = bits;
    pds->bitsStored = stored;
    pds->highBit = static_cast<uint16_t>(stored - 1);
    pds->numberOfFrames = 1;
    pds->frameSize = static_cast<uint32_t>((static_cast<uint64_t>(bits) * rows * columns * samples + 7) / 8);
    pds->entryCount = 1;
    pds->fileName = c.internedInput;
    pds->pixelOffset = 0;
    pds->pixelLength = VELMAR_UNDEFINED_LENGTH;
    pds->syntaxCode = TS_OTHER;
    std::strcpy(pds->transferSyntaxUID, VELMAR_PNG_TRANSFER_SYNTAX_UID);
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
        // Tag, VR, reserved bytes and length, then the frame padded to an even length.
        uint64_t expected = 12 + pds->frameSize + (pds->frameSize & 1);
        if (std::filesystem::file_size(c.output) != expected) std::abort();
    }
    DO_closeObject(&obj);
    return 0;
}
