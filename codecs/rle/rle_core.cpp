// RLE Lossless frame coding: PackBits segments per byte plane, rows coded separately, and the
// 64-byte segment table in front of them.
#include "codecs/rle/rle_core.h"

#include <cstring>

namespace velmar::codecs::rle {
namespace {

constexpr size_t kHeaderBytes = 64;
constexpr uint32_t kMaxSegments = 15;

uint32_t readLE32(const uint8_t *p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

void writeLE32(uint8_t *p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

// Where byte plane `segment` lives in a raw frame: the first byte and the distance between
// successive pixels. Segment s x bytes + b holds byte b (0 the most significant) of sample s;
// on a little-endian host that is byte bytes - 1 - b of the stored sample.
struct Plane {
    size_t first;
    size_t stride;
};

Plane planeOf(const Layout &layout, uint32_t segment) {
    const uint32_t sample = segment / layout.bytesPerSample;
    const uint32_t byte = layout.bytesPerSample - 1 - segment % layout.bytesPerSample;
    if (layout.planar)
        return {sample * layout.pixels() * layout.bytesPerSample + byte, layout.bytesPerSample};
    const size_t pixelBytes = static_cast<size_t>(layout.samples) * layout.bytesPerSample;
    return {static_cast<size_t>(sample) * layout.bytesPerSample + byte, pixelBytes};
}

// Length of the run of equal bytes starting at row[i], at most 128.
size_t runLength(const uint8_t *row, size_t i, size_t n) {
    const size_t limit = n - i < 128 ? n - i : 128;
    size_t run = 1;
    while (run < limit && row[i + run] == row[i]) ++run;
    return run;
}

// PackBits of one row of one byte plane: runs of three or more equal bytes are replicated,
// everything else goes out in literal runs of up to 128 bytes. Returns the end of the output.
uint8_t *packRow(const uint8_t *row, size_t n, uint8_t *out) {
    size_t i = 0;
    while (i < n) {
        size_t run = runLength(row, i, n);
        if (run >= 3) {
            *out++ = static_cast<uint8_t>(257 - run);
            *out++ = row[i];
            i += run;
            continue;
        }
        size_t j = i;
        while (j < n && j - i < 128) {
            if (j + 2 < n && row[j] == row[j + 1] && row[j] == row[j + 2]) break;
            ++j;
        }
        *out++ = static_cast<uint8_t>(j - i - 1);
        std::memcpy(out, row + i, j - i);
        out += j - i;
        i = j;
    }
    return out;
}

// Unpacks one segment into the plane; false when the segment ends before `count` bytes.
bool unpackSegment(const uint8_t *in, size_t length, uint8_t *out, size_t stride, size_t count) {
    size_t pos = 0;
    size_t produced = 0;
    while (produced < count && pos < length) {
        const uint8_t control = in[pos++];
        if (control < 128) {
            size_t n = static_cast<size_t>(control) + 1;
            if (n > length - pos) n = length - pos;
            if (n > count - produced) n = count - produced;
            for (size_t k = 0; k < n; ++k) out[(produced + k) * stride] = in[pos + k];
            pos += n;
            produced += n;
        } else if (control > 128) {
            if (pos >= length) break;
            size_t n = 257 - static_cast<size_t>(control);
            if (n > count - produced) n = count - produced;
            const uint8_t value = in[pos++];
            if (stride == 1) {
                std::memset(out + produced, value, n);
            } else {
                for (size_t k = 0; k < n; ++k) out[(produced + k) * stride] = value;
            }
            produced += n;
        }  // 128 is a no-op
    }
    return produced == count;
}

}  // namespace

bool layoutOf(const PixelDataDescriptor &image, Layout *layout) {
    const uint16_t bits = image.bitsAllocated;
    if (bits != 8 && bits != 16 && bits != 32) return false;
    if (image.rows == 0 || image.columns == 0 || image.samplesPerPixel == 0) return false;
    layout->rows = image.rows;
    layout->columns = image.columns;
    layout->samples = image.samplesPerPixel;
    layout->bytesPerSample = bits / 8u;
    layout->planar = image.samplesPerPixel > 1 && image.planarConfiguration == 1;
    return layout->segments() <= kMaxSegments && layout->frameBytes() <= UINT32_MAX;
}

void encodeFrame(const Layout &layout, const uint8_t *pixels, std::vector<uint8_t> &out) {
    const uint32_t segments = layout.segments();
    const size_t columns = layout.columns;
    // Worst case: one control byte per 128 literal bytes of every row, and an even pad.
    const size_t rowWorst = columns + (columns + 127) / 128;
    out.resize(kHeaderBytes + segments * (layout.rows * rowWorst + 1));
    std::memset(out.data(), 0, kHeaderBytes);
    writeLE32(out.data(), segments);
    std::vector<uint8_t> row(columns);
    uint8_t *end = out.data() + kHeaderBytes;
    for (uint32_t s = 0; s < segments; ++s) {
        writeLE32(out.data() + 4 + 4 * s, static_cast<uint32_t>(end - out.data()));
        const Plane plane = planeOf(layout, s);
        for (uint32_t r = 0; r < layout.rows; ++r) {
            const uint8_t *src = pixels + plane.first + r * columns * plane.stride;
            for (size_t c = 0; c < columns; ++c) row[c] = src[c * plane.stride];
            end = packRow(row.data(), columns, end);
        }
        if ((end - out.data()) % 2 != 0) *end++ = 0;
    }
    out.resize(static_cast<size_t>(end - out.data()));
}

bool decodeFrame(const Layout &layout, const uint8_t *in, size_t length, uint8_t *out) {
    const uint32_t segments = layout.segments();
    if (length < kHeaderBytes || readLE32(in) != segments) return false;
    for (uint32_t s = 0; s < segments; ++s) {
        const size_t start = readLE32(in + 4 + 4 * s);
        const size_t end = s + 1 < segments ? readLE32(in + 8 + 4 * s) : length;
        if (start < kHeaderBytes || start > end || end > length) return false;
        const Plane plane = planeOf(layout, s);
        if (!unpackSegment(in + start, end - start, out + plane.first, plane.stride, layout.pixels()))
            return false;
    }
    return true;
}

}  // namespace velmar::codecs::rle
