// RLE Lossless frame coding: one frame as a 64-byte header and one PackBits segment per byte
// plane of every sample, most significant byte first. The codec library and the fuzz target
// share these functions.
#ifndef VELMAR_CODECS_RLE_CORE_H
#define VELMAR_CODECS_RLE_CORE_H

#include <cstddef>
#include <cstdint>
#include <vector>

#include "velmar/codecs.h"

namespace velmar::codecs::rle {

// How raw frames are laid out in memory (host byte order; the library is built for
// little-endian hosts).
struct Layout {
    uint32_t rows = 0;
    uint32_t columns = 0;
    uint32_t samples = 0;         // samples per pixel, 1..15
    uint32_t bytesPerSample = 0;  // 1, 2 or 4
    bool planar = false;          // colour-by-plane (Planar Configuration 1)

    size_t pixels() const { return static_cast<size_t>(rows) * columns; }
    size_t frameBytes() const { return pixels() * samples * bytesPerSample; }
    uint32_t segments() const { return samples * bytesPerSample; }
};

// The layout of the descriptor's frames; false when RLE cannot hold them (bits allocated other
// than 8, 16 or 32, more than 15 segments, an empty frame).
bool layoutOf(const PixelDataDescriptor &image, Layout *layout);

// Encodes one raw frame of layout.frameBytes() bytes; `out` receives the whole RLE frame (even
// length). Throws std::bad_alloc when memory runs out.
void encodeFrame(const Layout &layout, const uint8_t *pixels, std::vector<uint8_t> &out);

// Decodes one RLE frame into `out` (layout.frameBytes() bytes). False when the header does not
// fit the layout or a segment ends before its byte plane is complete; bytes a segment holds
// beyond its plane are ignored.
bool decodeFrame(const Layout &layout, const uint8_t *in, size_t length, uint8_t *out);

}  // namespace velmar::codecs::rle

#endif
