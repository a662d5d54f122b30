// The built-in "png" codec library: every frame stored as one grey PNG stream, encapsulated under
// the private transfer syntax "4.4.4.4.4.4.4.4.4.1", with its option text ("f=5,c=9") and the
// small option-string tokenizer that reads it.
#include <png.h>

#include <algorithm>
#include <cctype>
#include <csetjmp>
#include <cstdlib>
#include <cstring>
#include <string>

#include "codecs/kernel.h"
#include "velmar/codecs.h"

namespace velmar::codecs {
namespace {

constexpr const char *kLibraryName = "png";
constexpr uint16_t kFilterFlags[7] = {0x00, PNG_FILTER_NONE, PNG_FILTER_SUB, PNG_FILTER_UP,
                                      PNG_FILTER_AVG, PNG_FILTER_PAETH, PNG_ALL_FILTERS};
constexpr PNGOptions kLibraryDefaults = {0, PNG_ALL_FILTERS, 0, 0xFFFF, 0};
constexpr PNGOptions kOptionDefaults = {0, PNG_FILTER_PAETH, 0, 4, 0};
constexpr bool kHostLittleEndian = __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__;

static_assert(sizeof(PNGOptions) == 10 && offsetof(PNGOptions, interlace) == 8);

// How one frame maps onto a grey PNG image: `columns` x `samplesPerPixel` samples per row at the
// bit depth of bits allocated. Frames of 1, 2 or 4 bits are one continuous bit stream (first
// sample in the low bits of a byte), which rows of a PNG image, each starting on a byte, are not.
struct Geometry {
    uint32_t width = 0;
    uint32_t height = 0;
    int depth = 0;
    size_t rowBytes = 0;   // bytes of one PNG row
    size_t frameBytes = 0; // bytes of one frame in the DICOM layout
    bool packed = false;
};

// The fields of the image description the codec needs.
struct ImageShape {
    uint16_t samplesPerPixel;
    uint16_t rows;
    uint16_t columns;
    uint16_t bitsAllocated;
    uint16_t bitsStored;
    uint16_t highBit;
    uint32_t numberOfFrames;
};

bool geometryOf(const ImageShape &image, Geometry *g) {
    uint16_t bits = image.bitsAllocated;
    if (bits != 1 && bits != 2 && bits != 4 && bits != 8 && bits != 16 && bits != 32) return false;
    if (image.rows == 0 || image.columns == 0 || image.samplesPerPixel == 0) return false;
    // PNG samples have at most 16 bits: a 32-bit sample is stored as two 16-bit ones (in host
    // order of its halves), which comes back byte for byte.
    uint32_t split = bits == 32 ? 2 : 1;
    if (bits == 32) bits = 16;
    g->width = static_cast<uint32_t>(image.columns) * image.samplesPerPixel * split;
    g->height = image.rows;
    g->depth = bits;
    g->packed = bits < 8;
    g->rowBytes = (static_cast<size_t>(g->width) * bits + 7) / 8;
    g->frameBytes = (static_cast<size_t>(g->width) * g->height * bits + 7) / 8;
    return g->frameBytes <= UINT32_MAX;
}

// Per-conversion state of the coder or the decoder. Plain data only: it is reached from libpng
// callbacks that may leave through longjmp.
struct PngWork {
    ImageShape image;
    PNGOptions options;
    KernelPrivate *kernel;
    uint8_t **chunks;  // coder: the PNG stream of the current frame, in chunks
    uint32_t *chunkLengths;
    size_t chunkCount;  // chunks in use
    size_t chunkSlots;  // chunks allocated (kept from frame to frame)
    size_t streamLength;
    const uint8_t *input;       // decoder: the PNG stream being read
    size_t inputLength;
    size_t inputPosition;
};

PngWork *newWork(KernelPrivate *kernel, const PixelDataDescriptor *image, const PNGOptions *options) {
    if (image == nullptr) return nullptr;
    auto *work = static_cast<PngWork *>(std::calloc(1, sizeof(PngWork)));
    if (work == nullptr) return nullptr;
    work->image = {image->samplesPerPixel, image->rows,       image->columns,       image->bitsAllocated,
                   image->bitsStored,      image->highBit,    image->numberOfFrames};
    work->options = options != nullptr ? *options : kLibraryDefaults;
    work->kernel = kernel;
    return work;
}

void freeWork(PngWork *work) {
    if (work == nullptr) return;
    for (size_t i = 0; i < work->chunkSlots; ++i) std::free(work->chunks[i]);
    std::free(work->chunks);
    std::free(work->chunkLengths);
    std::free(work);
}

// Chunks of the coded stream: it grows by whole chunks, never copied, so one frame's stream costs
// its own size and at most one chunk more.
constexpr uint32_t kChunkBytes = 1u << 20;

// ---- libpng callbacks ---------------------------------------------------------------------

[[noreturn]] void onError(png_structp png, png_const_charp) { png_longjmp(png, 1); }
void onWarning(png_structp, png_const_charp) {}

// A further chunk for the stream (reusing those of earlier frames); false when memory runs out.
bool addChunk(PngWork *work) {
    if (work->chunkCount == work->chunkSlots) {
        size_t slots = work->chunkSlots + 16;
        void *chunks = std::realloc(work->chunks, slots * sizeof(uint8_t *));
        if (chunks != nullptr) work->chunks = static_cast<uint8_t **>(chunks);
        void *lengths = std::realloc(work->chunkLengths, slots * sizeof(uint32_t));
        if (lengths != nullptr) work->chunkLengths = static_cast<uint32_t *>(lengths);
        if (chunks == nullptr || lengths == nullptr) return false;
        for (size_t i = work->chunkSlots; i < slots; ++i) work->chunks[i] = nullptr;
        work->chunkSlots = slots;
    }
    size_t i = work->chunkCount;
    if (work->chunks[i] == nullptr) work->chunks[i] = static_cast<uint8_t *>(std::malloc(kChunkBytes));
    if (work->chunks[i] == nullptr) return false;
    work->chunkLengths[i] = 0;
    ++work->chunkCount;
    return true;
}

void appendToStream(png_structp png, png_bytep data, size_t length) {
    auto *work = static_cast<PngWork *>(png_get_io_ptr(png));
    if (length > UINT32_MAX - work->streamLength) png_error(png, "PNG stream too long");
    while (length > 0) {
        if (work->chunkCount == 0 || work->chunkLengths[work->chunkCount - 1] == kChunkBytes)
            if (!addChunk(work)) png_error(png, "out of memory");
        size_t last = work->chunkCount - 1;
        size_t step = std::min<size_t>(length, kChunkBytes - work->chunkLengths[last]);
        std::memcpy(work->chunks[last] + work->chunkLengths[last], data, step);
        work->chunkLengths[last] += static_cast<uint32_t>(step);
        work->streamLength += step;
        data += step;
        length -= step;
    }
}

void flushNothing(png_structp) {}

// Reading past the end of the stream is an error: libpng would otherwise go on with whatever
// its buffer held.
void readFromInput(png_structp png, png_bytep data, size_t length) {
    auto *work = static_cast<PngWork *>(png_get_io_ptr(png));
    if (length > work->inputLength - work->inputPosition) png_error(png, "PNG stream truncated");
    std::memcpy(data, work->input + work->inputPosition, length);
    work->inputPosition += length;
}

// ---- Packed samples ---------------------------------------------------------------------------

// Sample i of a continuous stream of `depth`-bit samples, first sample in the low bits.
unsigned streamSample(const uint8_t *stream, size_t i, int depth) {
    size_t bit = i * static_cast<size_t>(depth);
    return (stream[bit / 8] >> (bit % 8)) & ((1u << depth) - 1);
}

void setStreamSample(uint8_t *stream, size_t i, int depth, unsigned value) {
    size_t bit = i * static_cast<size_t>(depth);
    stream[bit / 8] = static_cast<uint8_t>(stream[bit / 8] | (value << (bit % 8)));
}

// PNG rows hold their first sample in the high bits of a byte and start on a byte each.
unsigned rowSample(const uint8_t *row, size_t i, int depth) {
    size_t bit = i * static_cast<size_t>(depth);
    return (row[bit / 8] >> (8 - depth - bit % 8)) & ((1u << depth) - 1);
}

void setRowSample(uint8_t *row, size_t i, int depth, unsigned value) {
    size_t bit = i * static_cast<size_t>(depth);
    row[bit / 8] = static_cast<uint8_t>(row[bit / 8] | (value << (8 - depth - bit % 8)));
}

void streamToRows(const uint8_t *stream, uint8_t *rows, const Geometry &g) {
    std::memset(rows, 0, g.rowBytes * g.height);
    for (size_t r = 0; r < g.height; ++r)
        for (size_t c = 0; c < g.width; ++c)
            setRowSample(rows + r * g.rowBytes, c, g.depth, streamSample(stream, r * g.width + c, g.depth));
}

void rowsToStream(const uint8_t *rows, uint8_t *stream, const Geometry &g) {
    std::memset(stream, 0, g.frameBytes);
    for (size_t r = 0; r < g.height; ++r)
        for (size_t c = 0; c < g.width; ++c)
            setStreamSample(stream, r * g.width + c, g.depth, rowSample(rows + r * g.rowBytes, c, g.depth));
}

// Bits stored can be recorded as an sBIT chunk (the samples scaled up to the full depth, as PNG
// requires) only when the stored bits are the low ones and every sample fits in them; otherwise
// the samples are written as they are, which still comes back byte for byte.
int significantBits(const ImageShape &image, const Geometry &g, const uint8_t *pixels) {
    const int stored = image.bitsStored;
    if (g.packed || stored <= 0 || stored >= g.depth || image.highBit != stored - 1) return 0;
    const size_t count = static_cast<size_t>(g.width) * g.height;
    const unsigned limit = 1u << stored;
    if (g.depth == 8) {
        for (size_t i = 0; i < count; ++i)
            if (pixels[i] >= limit) return 0;
    } else {
        for (size_t i = 0; i < count; ++i) {
            uint16_t v;
            std::memcpy(&v, pixels + 2 * i, 2);
            if (v >= limit) return 0;
        }
    }
    return stored;
}

// ---- One frame ---------------------------------------------------------------------------------

// Encodes one frame into work->stream. No object with a destructor lives in this function:
// libpng leaves it through longjmp on errors.
int16_t encodeFrame(PngWork *work, const uint8_t *pixels, const Geometry &g, int sigBits) {
    work->streamLength = 0;
    work->chunkCount = 0;
    png_bytep *rows = static_cast<png_bytep *>(std::malloc(g.height * sizeof(png_bytep)));
    uint8_t *repacked = g.packed ? static_cast<uint8_t *>(std::malloc(g.rowBytes * g.height)) : nullptr;
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, work, onError, onWarning);
    png_infop info = png != nullptr ? png_create_info_struct(png) : nullptr;
    if (rows == nullptr || (g.packed && repacked == nullptr) || info == nullptr) {
        if (png != nullptr) png_destroy_write_struct(&png, info != nullptr ? &info : nullptr);
        std::free(rows);
        std::free(repacked);
        return -1;
    }
    const uint8_t *source = pixels;
    if (g.packed) {
        streamToRows(pixels, repacked, g);
        source = repacked;
    }
    for (uint32_t r = 0; r < g.height; ++r) rows[r] = const_cast<png_bytep>(source + r * g.rowBytes);

    if (setjmp(png_jmpbuf(png)) != 0) {
        png_destroy_write_struct(&png, &info);
        std::free(rows);
        std::free(repacked);
        return -1;
    }
    png_set_write_fn(png, work, appendToStream, flushNothing);
    png_set_filter(png, PNG_FILTER_TYPE_BASE, work->options.filter);
    if (work->options.compression <= 9) png_set_compression_level(png, work->options.compression);
    png_set_IHDR(png, info, g.width, g.height, g.depth, PNG_COLOR_TYPE_GRAY,
                 work->options.interlace != 0 ? PNG_INTERLACE_ADAM7 : PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_color_8 sig{};
    sig.gray = static_cast<png_byte>(sigBits);
    if (sigBits != 0) png_set_sBIT(png, info, &sig);
    png_write_info(png, info);
    if (sigBits != 0) png_set_shift(png, &sig);
    if (g.depth == 16 && kHostLittleEndian) png_set_swap(png);
    png_write_image(png, rows);
    png_write_end(png, info);
    png_destroy_write_struct(&png, &info);
    std::free(rows);
    std::free(repacked);
    return 0;
}

// Decodes one PNG stream into `out` (g.frameBytes bytes). The stream must be a grey image of
// exactly the frame's geometry. No object with a destructor lives in this function.
int16_t decodeFrame(PngWork *work, const uint8_t *input, size_t length, uint8_t *out, const Geometry &g) {
    work->input = input;
    work->inputLength = length;
    work->inputPosition = 0;
    png_bytep *rows = static_cast<png_bytep *>(std::malloc(g.height * sizeof(png_bytep)));
    uint8_t *repacked = g.packed ? static_cast<uint8_t *>(std::malloc(g.rowBytes * g.height)) : nullptr;
    png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, work, onError, onWarning);
    png_infop info = png != nullptr ? png_create_info_struct(png) : nullptr;
    png_infop endInfo = info != nullptr ? png_create_info_struct(png) : nullptr;
    if (rows == nullptr || (g.packed && repacked == nullptr) || endInfo == nullptr) {
        if (png != nullptr)
            png_destroy_read_struct(&png, info != nullptr ? &info : nullptr, endInfo != nullptr ? &endInfo : nullptr);
        std::free(rows);
        std::free(repacked);
        return -1;
    }
    uint8_t *target = g.packed ? repacked : out;
    for (uint32_t r = 0; r < g.height; ++r) rows[r] = target + r * g.rowBytes;

    if (setjmp(png_jmpbuf(png)) != 0) {
        png_destroy_read_struct(&png, &info, &endInfo);
        std::free(rows);
        std::free(repacked);
        return -1;
    }
    png_set_read_fn(png, work, readFromInput);
    png_read_info(png, info);
    if (png_get_image_width(png, info) != g.width || png_get_image_height(png, info) != g.height ||
        png_get_bit_depth(png, info) != g.depth || png_get_color_type(png, info) != PNG_COLOR_TYPE_GRAY)
        png_error(png, "PNG image does not match the frame");
    png_color_8p sig = nullptr;
    if (!g.packed && png_get_sBIT(png, info, &sig) != 0 && sig != nullptr && sig->gray > 0 && sig->gray < g.depth)
        png_set_shift(png, sig);
    if (g.depth == 16 && kHostLittleEndian) png_set_swap(png);
    png_set_interlace_handling(png);
    png_read_update_info(png, info);
    if (png_get_rowbytes(png, info) != g.rowBytes) png_error(png, "unexpected row length");
    png_read_image(png, rows);
    png_read_end(png, endInfo);
    png_destroy_read_struct(&png, &info, &endInfo);
    if (g.packed) rowsToStream(repacked, out, g);
    std::free(rows);
    std::free(repacked);
    return 0;
}

// ---- The codecs ------------------------------------------------------------------------------

int16_t coderInit(KernelPrivate *kernel, const PixelDataDescriptor *image) {
    PngWork *work = newWork(kernel, image, static_cast<const PNGOptions *>(getCoderPrivate(kernel)));
    if (work == nullptr) return -1;
    setCoderParam(kernel, work);
    return 0;
}

int16_t coderDone(KernelPrivate *kernel) {
    freeWork(static_cast<PngWork *>(getCoderParam(kernel)));
    setCoderParam(kernel, nullptr);
    return 0;
}

int16_t coderProcess(KernelPrivate *kernel, FrameBuffer *) {
    auto *work = static_cast<PngWork *>(getCoderParam(kernel));
    if (work == nullptr) return -1;
    Geometry g;
    if (!geometryOf(work->image, &g)) return -1;
    for (uint32_t n = 1; n <= work->image.numberOfFrames; ++n) {
        FrameBuffer *frame = nullptr;
        int16_t status = GetDecodedFrame(kernel, &frame, n);
        if (status != 0) return status;
        if (frame == nullptr || frame->data == nullptr || frame->length < g.frameBytes) return -1;
        const uint8_t *pixels = frame->data + frame->offset;
        status = encodeFrame(work, pixels, g, significantBits(work->image, g, pixels));
        if (status != 0) return status;
        // The whole stream of a frame is one fragment: one item per frame in the file, written
        // from the chunks without a copy.
        status = addCodedFrame(kernel, n, work->chunks, work->chunkLengths, work->chunkCount);
        if (status != 0) return status;
    }
    return 0;
}

int16_t decoderInit(KernelPrivate *kernel, const PixelDataDescriptor *image) {
    PngWork *work = newWork(kernel, image, static_cast<const PNGOptions *>(getDecoderPrivate(kernel)));
    if (work == nullptr) return -1;
    setDecoderParam(kernel, work);
    return 0;
}

int16_t decoderDone(KernelPrivate *kernel) {
    freeWork(static_cast<PngWork *>(getDecoderParam(kernel)));
    setDecoderParam(kernel, nullptr);
    return 0;
}

int16_t decoderProcess(KernelPrivate *kernel, FrameBuffer *request) {
    auto *work = static_cast<PngWork *>(getDecoderParam(kernel));
    if (work == nullptr || request == nullptr || request->data == nullptr) return -1;
    Geometry g;
    if (!geometryOf(work->image, &g) || request->capacity < g.frameBytes) return -1;
    FrameBuffer *raw = nullptr;
    int16_t status = readSourceFrame(kernel, &raw, request->frameNumber);
    if (status != 0) return status;
    if (raw == nullptr || raw->data == nullptr) return -1;
    request->offset = 0;
    status = decodeFrame(work, raw->data + raw->offset, raw->length, request->data, g);
    if (status == 0) request->length = static_cast<uint32_t>(g.frameBytes);
    return status;
}

int16_t releaseOptions(void *options) {
    std::free(options);
    return 0;
}

Codec makeCodec(bool coder) {
    Codec codec{};
    std::strncpy(codec.libraryName, kLibraryName, VELMAR_UID_SIZE - 1);
    std::strncpy(codec.kind, coder ? "coder" : "decoder", VELMAR_UID_SIZE - 1);
    std::strncpy(codec.transferSyntaxUID, VELMAR_PNG_TRANSFER_SYNTAX_UID, VELMAR_UID_SIZE - 1);
    codec.isCoder = coder ? 1 : 0;
    codec.init = coder ? coderInit : decoderInit;
    codec.done = coder ? coderDone : decoderDone;
    codec.process = coder ? coderProcess : decoderProcess;
    return codec;
}

// ---- Option texts --------------------------------------------------------------------------------

bool isSeparator(const OptsState *state, char c) {
    return c != '\0' && std::strchr(state->separators, c) != nullptr;
}

// A whole value that is a decimal number (leading blanks and a sign allowed, as for "%d").
bool parseNumber(const char *text, long *out) {
    if (text == nullptr || text[0] == '\0') return false;
    char *end = nullptr;
    long value = std::strtol(text, &end, 10);
    if (end == text || *end != '\0') return false;
    *out = value;
    return true;
}

int16_t applyOption(PNGOptions *options, char letter, const char *text) {
    long value = 0;
    if (!parseNumber(text, &value)) return -2;
    switch (letter) {
    case 'm':
        if (value != 0) return -3;
        options->mode = 0;
        return 0;
    case 'f':
        if (value < 0 || value > 6) return -3;
        options->filter = kFilterFlags[value];
        return 0;
    case 'c':
        if (value < 0 || value > 9) return -3;
        options->compression = static_cast<uint16_t>(value);
        return 0;
    case 'i':
        if (value < 0 || value > 1) return -3;
        options->interlace = static_cast<uint16_t>(value);
        return 0;
    default:
        return -4;
    }
}

}  // namespace
}  // namespace velmar::codecs

using namespace velmar::codecs;

extern "C" {

VELMAR_API int16_t png_LibraryInit(AppData *app) {
    if (app == nullptr) return -1;
    auto *options = static_cast<PNGOptions *>(std::malloc(sizeof(PNGOptions)));
    if (options == nullptr) return -1;
    *options = kLibraryDefaults;
    Codec coder = makeCodec(true);
    Codec decoder = makeCodec(false);
    if (registerCodec(app, &coder) != 0 || registerCodec(app, &decoder) != 0) {
        std::free(options);
        return -1;
    }
    CodecLibrary library{};
    std::strncpy(library.libraryName, kLibraryName, VELMAR_UID_SIZE - 1);
    library.privateData = options;
    // The options belong to the library record: they are freed when it is replaced or removed.
    library.release = releaseOptions;
    if (registerCodecLibrary(app, &library) != 0) {
        std::free(options);
        return -1;
    }
    return 0;
}

VELMAR_API int16_t setPNGPrivate(PNGOptions *options, const char *text) {
    if (options == nullptr) return -1;
    *options = kOptionDefaults;
    if (text == nullptr || text[0] == '\0') return 0;
    std::string lowered;
    try {
        lowered = text;
    } catch (...) {
        return -1;
    }
    for (char &c : lowered) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));

    OptsState state;
    initOPTS_L2(&state, "mfci");
    int32_t count = parseOPTS(&state, lowered.c_str());
    int16_t status = 0;
    PNGOptions parsed = kOptionDefaults;
    if (count == OPTS_REPEATED_LETTER) status = -5;
    else if (count == OPTS_NO_MEMORY) status = -1;
    else if (count < 0) status = -4;  // a letter other than m, f, c, i (a stray blank included)
    for (int32_t i = 0; i < count && status == 0; ++i)
        status = applyOption(&parsed, state.names[i][0], state.values[i]);
    doneOPTS(&state);
    if (status == 0) *options = parsed;
    return status;
}

VELMAR_API char *getPNGOptStr(const PNGOptions *options) {
    if (options == nullptr) return nullptr;
    int filter = 8;
    for (int i = 0; i < 7; ++i)
        if (kFilterFlags[i] == options->filter) {
            filter = i;
            break;
        }
    char line[64];
    int length = std::snprintf(line, sizeof line, "m=%d\tf=%d\tc=%d\ti=%d", static_cast<int16_t>(options->mode),
                               filter, static_cast<int16_t>(options->compression),
                               static_cast<int16_t>(options->interlace));
    if (length < 0) return nullptr;
    auto *text = static_cast<char *>(std::malloc(static_cast<size_t>(length) + 1));
    if (text != nullptr) std::memcpy(text, line, static_cast<size_t>(length) + 1);
    return text;
}

// ---- Option-string tokenizer -----------------------------------------------------------------

VELMAR_API int16_t initOPTS(OptsState *state, const char *letters, char prefix, char value_separator,
                            const char *separators, int16_t repeat, int16_t limit) {
    if (state == nullptr) return -1;
    if (letters == nullptr) letters = "";
    if (separators == nullptr) separators = "";
    if (std::strlen(separators) > VELMAR_OPTS_MAX_SEPARATORS) return -11;
    if (separators[0] == '\0' && prefix == '\0') return -21;
    if (std::strlen(letters) > VELMAR_OPTS_MAX_LETTERS) return -12;
    std::memset(state, 0, sizeof *state);
    std::snprintf(state->letters, sizeof state->letters, "%s", letters);
    std::snprintf(state->separators, sizeof state->separators, "%s", separators);
    state->prefix = prefix;
    state->valueSeparator = value_separator;
    state->repeat = repeat;
    state->limit = limit;
    return 0;
}

VELMAR_API int16_t initOPTS_L1(OptsState *state, const char *letters) {
    return initOPTS(state, letters, '-', ':', " \t", 0, 64);
}

VELMAR_API int16_t initOPTS_L2(OptsState *state, const char *letters) {
    return initOPTS(state, letters, '\0', '=', ", ", 0, 64);
}

VELMAR_API void resetOPTS(OptsState *state, const char *text) {
    if (state == nullptr) return;
    state->text = text;
    state->position = nullptr;
    std::memset(state->seen, 0, sizeof state->seen);
}

VELMAR_API int16_t nextOPTS(OptsState *state, char *letter_out, const char **value_out) {
    if (state == nullptr || state->text == nullptr) return OPTS_END;
    const char *p = state->position;
    if (p == nullptr) {
        p = state->text;
    } else if (state->separators[0] != '\0') {
        // Past the value of the previous option to the next separator, and over it.
        while (*p != '\0' && !isSeparator(state, *p)) ++p;
        if (*p == '\0') return OPTS_END;
        ++p;
    }
    if (state->prefix != '\0') {
        p = std::strchr(p, state->prefix);
        if (p == nullptr) return OPTS_END;
        ++p;
    }
    const char letter = *p;
    if (letter == '\0') return OPTS_END;
    const char *hit = std::strchr(state->letters, letter);
    state->position = p + 1;
    if (hit == nullptr) return OPTS_UNKNOWN_LETTER;
    auto index = static_cast<int16_t>(hit - state->letters);
    if (state->repeat == 0 && state->seen[index] != 0) return OPTS_REPEATED_LETTER;
    state->seen[index] = 1;
    ++p;
    if (state->valueSeparator != '\0' && *p == state->valueSeparator) ++p;
    state->position = p;
    if (letter_out != nullptr) *letter_out = letter;
    if (value_out != nullptr) *value_out = p;
    return index;
}

VELMAR_API int32_t getOPTSValueLength(const OptsState *state, const char *value) {
    if (state == nullptr || value == nullptr) return 0;
    const char *p = value;
    if (state->separators[0] != '\0') {
        while (*p != '\0' && !isSeparator(state, *p)) ++p;
    } else {
        while (*p != '\0' && *p != state->prefix) ++p;
    }
    return static_cast<int32_t>(p - value);
}

VELMAR_API int32_t copyOPTSValue(const OptsState *state, const char *value, char *out, size_t size) {
    if (out == nullptr || size == 0) return -1;
    int32_t length = getOPTSValueLength(state, value);
    if (static_cast<size_t>(length) + 1 > size) {
        out[0] = '\0';
        return -1;
    }
    if (length > 0) std::memcpy(out, value, static_cast<size_t>(length));
    out[length] = '\0';
    return length;
}

VELMAR_API void doneOPTS(OptsState *state) {
    if (state == nullptr) return;
    for (int32_t i = 0; i < state->count; ++i) {
        if (state->names != nullptr) std::free(state->names[i]);
        if (state->values != nullptr) std::free(state->values[i]);
    }
    std::free(state->names);
    std::free(state->values);
    state->names = nullptr;
    state->values = nullptr;
    state->count = 0;
}

VELMAR_API int32_t parseOPTS(OptsState *state, const char *text) {
    if (state == nullptr) return -1;
    doneOPTS(state);
    if (text == nullptr || text[0] == '\0') return OPTS_EMPTY_TEXT;
    // First pass: count, so that every error is known before anything is allocated.
    resetOPTS(state, text);
    int32_t count = 0;
    int16_t status;
    while ((status = nextOPTS(state, nullptr, nullptr)) >= 0) ++count;
    if (status != OPTS_END) return status;

    state->names = static_cast<char **>(std::calloc(static_cast<size_t>(count) + 1, sizeof(char *)));
    state->values = static_cast<char **>(std::calloc(static_cast<size_t>(count) + 1, sizeof(char *)));
    state->count = count;
    if (state->names == nullptr || state->values == nullptr) {
        doneOPTS(state);
        return OPTS_NO_MEMORY;
    }
    resetOPTS(state, text);
    for (int32_t i = 0; i < count; ++i) {
        char letter = 0;
        const char *value = nullptr;
        nextOPTS(state, &letter, &value);
        int32_t length = getOPTSValueLength(state, value);
        state->names[i] = static_cast<char *>(std::malloc(2));
        state->values[i] = static_cast<char *>(std::malloc(static_cast<size_t>(length) + 1));
        if (state->names[i] == nullptr || state->values[i] == nullptr) {
            doneOPTS(state);
            return OPTS_NO_MEMORY;
        }
        state->names[i][0] = letter;
        state->names[i][1] = '\0';
        copyOPTSValue(state, value, state->values[i], static_cast<size_t>(length) + 1);
    }
    return count;
}

}  // extern "C"
