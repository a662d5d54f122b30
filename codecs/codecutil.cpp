// Codec-side file utilities: frames as binary PGM files for external compressor programs,
// numbered temporary names, file masks, file length and base name, a statistics line and a
// millisecond chronometer.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <utility>
#include <vector>

#include "support/regularfile.h"
#include "velmar/codecs.h"

namespace velmar::codecs {
namespace {

struct FileCloser {
    void operator()(FILE *file) const {
        if (file != nullptr) std::fclose(file);
    }
};
using FilePtr = std::unique_ptr<FILE, FileCloser>;

// Bytes per sample of a PGM frame: 1 up to 8 bits allocated, 2 up to 16; 0 for anything else.
int bytesPerSample(const PixelDataDescriptor *description) {
    unsigned bits = description->bitsAllocated;
    if (bits == 0 || bits > 16) return 0;
    return static_cast<int>((bits - 1) / 8 + 1);
}

bool writeHeader(FILE *out, long width, long height, int bytes) {
    long maximum = bytes == 2 ? 65535L : 255L;
    return std::fprintf(out, "P5\n%ld %ld\n%ld\n", width, height, maximum) > 0;
}

// The header of a P5 file: magic, width, height, maximum, each separated by white space, with
// comment lines ("#" to the line end) allowed between them; one white-space character ends it.
struct PgmHeader {
    long width = 0;
    long height = 0;
    long maximum = 0;
};

bool readNumber(FILE *in, long *out) {
    int c = std::fgetc(in);
    for (;;) {
        if (c == '#') {
            while (c != EOF && c != '\n') c = std::fgetc(in);
        } else if (c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f') {
            c = std::fgetc(in);
        } else {
            break;
        }
    }
    if (c < '0' || c > '9') return false;
    long value = 0;
    while (c >= '0' && c <= '9') {
        if (value > 100000000L) return false;
        value = value * 10 + (c - '0');
        c = std::fgetc(in);
    }
    *out = value;
    // The single white-space character after the number belongs to the header.
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

// 0, or -3 when the file is not a binary PGM with a sane header.
int readHeader(FILE *in, PgmHeader *header) {
    if (std::fgetc(in) != 'P' || std::fgetc(in) != '5') return -3;
    if (!readNumber(in, &header->width) || !readNumber(in, &header->height) ||
        !readNumber(in, &header->maximum))
        return -3;
    if (header->maximum <= 0 || header->maximum > 65535) return -3;
    return 0;
}

void swapPairs(uint8_t *bytes, size_t count) {
    for (size_t i = 0; i + 1 < count; i += 2) std::swap(bytes[i], bytes[i + 1]);
}

// The monotonic clock in milliseconds; the chronometer works with differences modulo 2^32.
uint32_t ticks() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<uint32_t>(static_cast<uint64_t>(now.tv_sec) * 1000u +
                                 static_cast<uint64_t>(now.tv_nsec) / 1000000u);
}

const char *orEmpty(const char *text) { return text != nullptr ? text : ""; }

}  // namespace
}  // namespace velmar::codecs

using namespace velmar::codecs;

extern "C" {

// ---- PGM frames ------------------------------------------------------------------------------

VELMAR_API int16_t saveFrameInPGM(const PixelDataDescriptor *description, const FrameBuffer *frame,
                                  const char *file_name, void *work) {
    if (description == nullptr || frame == nullptr || frame->data == nullptr || file_name == nullptr)
        return -1;
    int bytes = bytesPerSample(description);
    if (bytes == 0) return -1;
    const size_t width = static_cast<size_t>(description->columns) * description->samplesPerPixel;
    const size_t rowBytes = width * static_cast<size_t>(bytes);
    const size_t needed = rowBytes * description->rows;
    if (frame->length < needed) return -1;
    try {
        std::vector<uint8_t> own;
        uint8_t *row = static_cast<uint8_t *>(work);
        if (row == nullptr) {
            own.resize(rowBytes);
            row = own.data();
        }
        FilePtr out(std::fopen(file_name, "wb"));
        if (!out) return -2;
        if (!writeHeader(out.get(), static_cast<long>(width), description->rows, bytes)) return -4;
        const uint8_t *source = frame->data + frame->offset;
        for (size_t r = 0; r < description->rows; ++r) {
            // Samples are kept in host order (little endian), which is the order of the file.
            std::memcpy(row, source + r * rowBytes, rowBytes);
            if (std::fwrite(row, 1, rowBytes, out.get()) != rowBytes) return -4;
        }
        if (std::fclose(out.release()) != 0) return -4;
        return 0;
    } catch (...) {
        return -1;
    }
}

VELMAR_API int16_t loadFrameFromPGMFile(const PixelDataDescriptor *description, FrameBuffer *frame,
                                        const char *file_name, int16_t *bytes_per_sample_out) {
    if (description == nullptr || frame == nullptr || frame->data == nullptr || file_name == nullptr)
        return -1;
    FilePtr in(velmar::support::fopenRegularFile(file_name, "rb"));
    if (!in) return -2;
    PgmHeader header;
    if (readHeader(in.get(), &header) != 0) return -3;
    const long width = static_cast<long>(description->columns) * description->samplesPerPixel;
    if (header.width != width || header.height != description->rows) return -4;
    if (header.maximum >= 256 && description->bitsAllocated < 9) return -5;
    const int bytes = header.maximum > 255 ? 2 : 1;
    const size_t needed = static_cast<size_t>(width) * static_cast<size_t>(header.height) * bytes;
    if (static_cast<size_t>(frame->capacity) < frame->offset + needed) return -1;
    if (std::fread(frame->data + frame->offset, 1, needed, in.get()) != needed) return -4;
    frame->length = static_cast<uint32_t>(needed);
    if (bytes_per_sample_out != nullptr) *bytes_per_sample_out = static_cast<int16_t>(bytes);
    return 0;
}

VELMAR_API int16_t savePGM(FILE *input, FILE *output, int16_t bytes_per_sample, int16_t swap,
                           int32_t width, int32_t height, void *buffer) {
    if (input == nullptr || output == nullptr) return -1;
    if (buffer == nullptr) return -2;
    if ((bytes_per_sample != 1 && bytes_per_sample != 2) || width < 0 || height < 0) return -3;
    if (!writeHeader(output, width, height, bytes_per_sample)) return -3;
    const size_t block = static_cast<size_t>(bytes_per_sample) * static_cast<size_t>(height);
    auto *bytes = static_cast<uint8_t *>(buffer);
    for (int32_t i = 0; i < width; ++i) {
        if (std::fread(bytes, 1, block, input) != block) return -4;
        if (bytes_per_sample == 2 && swap != 0) swapPairs(bytes, block);
        if (std::fwrite(bytes, 1, block, output) != block) return -3;
    }
    return 0;
}

VELMAR_API int16_t loadPGM(FILE *input, FILE *output, int16_t bytes_per_sample, int16_t swap,
                           int32_t width, int32_t height, void *buffer) {
    if (input == nullptr || output == nullptr) return -1;
    if (buffer == nullptr) return -2;
    if (bytes_per_sample != 1 && bytes_per_sample != 2) return -4;
    PgmHeader header;
    if (readHeader(input, &header) != 0) return -3;
    if (header.width != width || header.height != height) return -4;
    if (header.maximum >= 256 && bytes_per_sample == 1) return -5;
    // 1-byte samples in the file cannot fill 2-byte samples: the data size differs.
    if (header.maximum < 256 && bytes_per_sample == 2) return -4;
    const size_t block = static_cast<size_t>(bytes_per_sample) * static_cast<size_t>(height);
    auto *bytes = static_cast<uint8_t *>(buffer);
    for (int32_t i = 0; i < width; ++i) {
        if (std::fread(bytes, 1, block, input) != block) return -4;
        if (bytes_per_sample == 2 && swap != 0) swapPairs(bytes, block);
        if (std::fwrite(bytes, 1, block, output) != block) return -3;
    }
    return 0;
}

// ---- Names and files -------------------------------------------------------------------------

VELMAR_API char *MTN_Init(int32_t count) {
    // Five-digit numbers would not fit the 13-byte entries.
    if (count <= 0 || count > 10000) return nullptr;
    auto *block = static_cast<char *>(std::malloc(static_cast<size_t>(count) * VELMAR_MTN_ENTRY_SIZE));
    if (block == nullptr) return nullptr;
    for (int32_t i = 0; i < count; ++i)
        std::snprintf(block + static_cast<size_t>(i) * VELMAR_MTN_ENTRY_SIZE, VELMAR_MTN_ENTRY_SIZE,
                      "~~%04u~~.tmp", static_cast<unsigned>(i) % 10000u);
    return block;
}

VELMAR_API char *MTN_GetEntryN(char *block, int32_t index) {
    if (block == nullptr || index < 0) return nullptr;
    return block + static_cast<size_t>(index) * VELMAR_MTN_ENTRY_SIZE;
}

VELMAR_API void MTN_Free(char *block) { std::free(block); }

VELMAR_API int16_t nextfilemask(char *mask_out, size_t size, const char *prefix, char **cursor,
                                char separator) {
    static char exhausted[1] = {'\0'};
    if (mask_out == nullptr || cursor == nullptr || size == 0) return 1;
    if (prefix == nullptr) prefix = "";
    const size_t prefixLength = std::strlen(prefix);
    if (*cursor == nullptr) {
        if (prefixLength + 1 > size) return 3;
        std::memcpy(mask_out, prefix, prefixLength + 1);
        *cursor = exhausted;
        return 0;
    }
    char *extension = *cursor;
    if (*extension == '\0') return 2;
    char *end = separator != '\0' ? std::strchr(extension, separator) : nullptr;
    char *next = extension + std::strlen(extension);
    if (end != nullptr) {
        *end = '\0';
        next = end + 1;
    }
    const char *dot = extension[0] == '.' ? "" : ".";
    int written = std::snprintf(mask_out, size, "%s%s%s", prefix, dot, extension);
    *cursor = next;
    if (written < 0 || static_cast<size_t>(written) >= size) {
        mask_out[0] = '\0';
        return 3;
    }
    return 0;
}

VELMAR_API int64_t get_file_length(const char *file_name) {
    if (file_name == nullptr) return -1;
    FilePtr file(velmar::support::fopenRegularFile(file_name, "rb"));
    if (!file) return -1;
    if (fseeko(file.get(), 0, SEEK_END) != 0) return -2;
    off_t size = ftello(file.get());
    if (size < 0) return -2;
    return static_cast<int64_t>(size);
}

VELMAR_API char *velmar_basename(const char *path) {
    if (path == nullptr) return nullptr;
    const char *base = path;
    for (const char *p = path; *p != '\0'; ++p)
        if (*p == '/' || *p == '\\') base = p + 1;
    return const_cast<char *>(base);
}

// ---- Statistics ------------------------------------------------------------------------------

VELMAR_API CodecStatistics *initStatistics(CodecStatistics *record) {
    if (record == nullptr) return nullptr;
    for (auto &text : record->text) text = nullptr;
    for (auto &counter : record->counter) counter = -1;
    for (auto &number : record->number) number = -1.0f;
    for (auto &value : record->value) value = -1;
    record->note = nullptr;
    record->result = nullptr;
    return record;
}

VELMAR_API const char *getStatisticsStr(CodecStatistics *record) {
    static const char kError[] = "STAT error";
    if (record == nullptr || record->text[0] == nullptr || record->text[1] == nullptr) return kError;
    const char *format = "%s\t%s\t%s\t%s\t%ld\t%ld\t%ld\t%ld\t%5.2f\t%5.2f\t%d\t%d\t%d\t%d\t%s\n";
    auto print = [&](char *out, size_t size) {
        return std::snprintf(out, size, format, record->text[0], record->text[1],
                             orEmpty(record->text[2]), orEmpty(record->text[3]),
                             static_cast<long>(record->counter[0]), static_cast<long>(record->counter[1]),
                             static_cast<long>(record->counter[2]), static_cast<long>(record->counter[3]),
                             static_cast<double>(record->number[0]),
                             static_cast<double>(record->number[1]), record->value[0], record->value[1],
                             record->value[2], record->value[3], orEmpty(record->note));
    };
    // The line is measured first, so that long texts never overrun the buffer.
    int length = print(nullptr, 0);
    if (length < 0) return kError;
    auto *line = static_cast<char *>(std::malloc(static_cast<size_t>(length) + 1));
    if (line == nullptr) return kError;
    print(line, static_cast<size_t>(length) + 1);
    std::free(record->result);
    record->result = line;
    return line;
}

VELMAR_API void freeStatistics(CodecStatistics *record) {
    if (record == nullptr) return;
    std::free(record->result);
    record->result = nullptr;
}

// ---- Chronometer -----------------------------------------------------------------------------

VELMAR_API void CHRONO_warn(const char *text) {
    std::printf("%s", text != nullptr ? text : "");
    std::fflush(stdout);
}

VELMAR_API void CHRONO_init(Chronometer *chrono) {
    if (chrono == nullptr) return;
    chrono->start = 0;
    chrono->total = 0;
    chrono->initialised = 1;
    chrono->running = 0;
}

VELMAR_API void CHRONO_start(Chronometer *chrono) {
    if (chrono == nullptr) return;
    if (chrono->initialised == 0) CHRONO_warn("chronometer not init'd !");
    if (chrono->running != 0) {
        CHRONO_warn("chronometer already on!");
        return;
    }
    chrono->start = ticks();
    chrono->running = 1;
}

VELMAR_API int32_t CHRONO_stop(Chronometer *chrono) {
    if (chrono == nullptr) return 0;
    if (chrono->running == 0) {
        CHRONO_warn("chronometer not started !");
        return 0;
    }
    auto run = static_cast<int32_t>(ticks() - chrono->start);
    chrono->total += run;
    chrono->running = 0;
    return run;
}

VELMAR_API double CHRONO_read(Chronometer *chrono) {
    if (chrono == nullptr || chrono->initialised == 0) {
        CHRONO_warn("chronometer not initialized !");
        return -1.0;
    }
    double total = chrono->total;
    if (chrono->running != 0) total += static_cast<int32_t>(ticks() - chrono->start);
    return total * 0.001;
}

VELMAR_API double CHRONO_restart(Chronometer *chrono) {
    CHRONO_init(chrono);
    CHRONO_start(chrono);
    return CHRONO_read(chrono);
}

}  // extern "C"
