// Sample-level byte work of the frame kernel: byte order by sample size and the continuous bit
// stream of 1-bit images whose frames are not whole bytes.
#pragma once

#include <cstddef>
#include <cstdint>

#include "velmar/codecs.h"

namespace velmar::codecs {

// Bytes of one sample whose byte order a change of syntax reverses: 2 for 16 bits allocated, 4
// for 32, 8 for 64; 1 (nothing to reverse) for 1 and 8 bits and anything else.
unsigned swapSampleSize(uint16_t bitsAllocated);

// Reverses the bytes of every `sampleSize`-byte sample of `count` bytes in place; a trailing
// partial sample stays as it is. A sample size of 1 leaves the bytes alone.
void swapSamples(uint8_t *bytes, size_t count, unsigned sampleSize);
// The same while copying `count` bytes (a whole number of samples) from `from` to `to`.
void copySwappingSamples(uint8_t *to, const uint8_t *from, size_t count, unsigned sampleSize);

// Bits of one frame of a 1-bit image when its frames follow each other bit by bit (the frame is
// not a whole number of bytes); 0 when frames are byte-aligned anyway.
uint64_t packedFrameBits(const PixelDataDescriptor *image);

// Moves the `bits` bits that start `shift` bits into `from` to the start of `to` (first bit in
// the low bit of a byte); the unused high bits of the last byte are cleared. `to` receives
// (bits + 7) / 8 bytes and may be `from`.
void alignBits(uint8_t *to, const uint8_t *from, uint64_t bits, unsigned shift);

}  // namespace velmar::codecs

namespace velmar::codecs {

// Where frame `frame` (from 1) of a native value lies: byte offset from the value's start and the
// bytes that cover it (for bit-packed frames the bytes its bits touch).
void nativeFrameSpan(const PixelDataDescriptor *image, uint32_t frame, uint64_t *offset, uint64_t *length);
// Bytes of the whole native value the geometry accounts for, before even-length padding.
uint64_t nativeValueBytes(const PixelDataDescriptor *image);

}  // namespace velmar::codecs
