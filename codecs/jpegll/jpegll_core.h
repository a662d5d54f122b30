// Lossless JPEG frame coding (the Huffman-coded lossless process of ITU-T T.81, SOF3): one
// frame as one JPEG stream of 2 to 16 bits per sample, 1 or 3 components. The codec library,
// the fuzz target and the tests share these functions.
#ifndef VELMAR_CODECS_JPEGLL_CORE_H
#define VELMAR_CODECS_JPEGLL_CORE_H

#include <cstddef>
#include <cstdint>
#include <vector>

namespace velmar::codecs::jpegll {

// How one frame's samples lie in memory: rows x columns x components samples of one byte (8
// bits allocated) or two (host order), pixel by pixel or plane by plane.
struct Layout {
    uint16_t rows = 0;
    uint16_t columns = 0;
    uint16_t components = 0;      // 1 or 3
    uint16_t bytesPerSample = 0;  // 1 or 2
    bool planar = false;

    size_t pixels() const { return static_cast<size_t>(rows) * columns; }
    size_t samples() const { return pixels() * components; }
    size_t frameBytes() const { return samples() * bytesPerSample; }
};

// What the coder writes: sample precision P (2..16, at most 8 per byte of a sample), predictor
// (selection value 1..7), point transform Pt (0..P-1: the low Pt bits of every sample are
// dropped) and restart interval (in pixels, whole lines; 0: none).
struct Coding {
    unsigned precision = 16;
    unsigned predictor = 1;
    unsigned pointTransform = 0;
    unsigned restartInterval = 0;
};

// Encodes one frame as SOI, SOF3, DHT, DRI (with a restart interval), one scan holding every
// component, EOI. Samples are taken
// modulo 2^P. The Huffman table is built from the frame's own differences (T.81 Annex K.2), so
// it is optimal for the frame. False when the layout or the coding is out of range. Throws
// std::bad_alloc when memory runs out.
bool encodeFrame(const Layout &layout, const Coding &coding, const uint8_t *samples,
                 std::vector<uint8_t> &out);

// Decodes one stream into `samples` (layout.frameBytes() bytes): any predictor and point
// transform, restart intervals of whole lines, interleaved or one-component scans. Samples come out shifted
// back by Pt and below 2^P. False when the stream is not a lossless Huffman JPEG of the
// layout's size and component count, its precision does not fit the sample size, or its data
// is damaged or ends early; `samples` may then hold part of the frame.
bool decodeFrame(const uint8_t *stream, size_t length, const Layout &layout, uint8_t *samples);

}  // namespace velmar::codecs::jpegll

#endif
