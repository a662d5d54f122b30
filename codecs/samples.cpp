// Sample-level byte work of the frame kernel: byte order by sample size and the continuous bit
// stream of 1-bit images whose frames are not whole bytes.
#include "codecs/samples.h"

#include <cstring>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace velmar::codecs {

unsigned swapSampleSize(uint16_t bitsAllocated) {
    switch (bitsAllocated) {
        case 16:
            return 2;
        case 32:
            return 4;
        case 64:
            return 8;
        default:
            return 1;
    }
}

namespace {

template <typename T, T (*Swap)(T)>
void swapEach(uint8_t *to, const uint8_t *from, size_t samples) {
    for (size_t i = 0; i < samples; ++i) {
        T v;
        std::memcpy(&v, from + sizeof(T) * i, sizeof(T));
        v = Swap(v);
        std::memcpy(to + sizeof(T) * i, &v, sizeof(T));
    }
}

uint16_t swap16(uint16_t v) {
    return __builtin_bswap16(v);
}
uint32_t swap32(uint32_t v) {
    return __builtin_bswap32(v);
}
uint64_t swap64(uint64_t v) {
    return __builtin_bswap64(v);
}

#if defined(__x86_64__) && defined(__GNUC__)
// The reversal 32 bytes at a time with one byte shuffle, on processors that have AVX2 (chosen
// at run time: the library is built for the baseline instruction set). Returns the bytes done,
// a multiple of 32; the caller finishes the rest.
__attribute__((target("avx2"))) size_t copySwappingWithAvx2(uint8_t *to, const uint8_t *from, size_t count,
                                                            unsigned sampleSize) {
    // The shuffle works within each 16-byte lane: byte i takes the byte at the mirrored place
    // of its own sample.
    alignas(32) uint8_t order[32];
    for (unsigned i = 0; i < 32; ++i) {
        unsigned sampleStart = i % 16 - i % sampleSize;
        order[i] = static_cast<uint8_t>(sampleStart + sampleSize - 1 - i % sampleSize);
    }
    const __m256i shuffle = _mm256_load_si256(reinterpret_cast<const __m256i *>(order));
    size_t done = 0;
    for (; done + 128 <= count; done += 128) {
        const auto *in = reinterpret_cast<const __m256i *>(from + done);
        auto *out = reinterpret_cast<__m256i *>(to + done);
        __m256i a = _mm256_loadu_si256(in), b = _mm256_loadu_si256(in + 1);
        __m256i c = _mm256_loadu_si256(in + 2), d = _mm256_loadu_si256(in + 3);
        _mm256_storeu_si256(out, _mm256_shuffle_epi8(a, shuffle));
        _mm256_storeu_si256(out + 1, _mm256_shuffle_epi8(b, shuffle));
        _mm256_storeu_si256(out + 2, _mm256_shuffle_epi8(c, shuffle));
        _mm256_storeu_si256(out + 3, _mm256_shuffle_epi8(d, shuffle));
    }
    for (; done + 32 <= count; done += 32)
        _mm256_storeu_si256(reinterpret_cast<__m256i *>(to + done),
                            _mm256_shuffle_epi8(_mm256_loadu_si256(reinterpret_cast<const __m256i *>(from + done)),
                                                shuffle));
    return done;
}

size_t copySwappingFast(uint8_t *to, const uint8_t *from, size_t count, unsigned sampleSize) {
    static const bool avx2 = __builtin_cpu_supports("avx2") != 0;
    return avx2 ? copySwappingWithAvx2(to, from, count, sampleSize) : 0;
}
#else
size_t copySwappingFast(uint8_t *, const uint8_t *, size_t, unsigned) {
    return 0;
}
#endif

}  // namespace

void copySwappingSamples(uint8_t *to, const uint8_t *from, size_t count, unsigned sampleSize) {
    if (sampleSize == 2 || sampleSize == 4 || sampleSize == 8) {
        // Whole vectors first (32 bytes hold whole samples of every size), the rest one by one.
        size_t done = copySwappingFast(to, from, count, sampleSize);
        to += done;
        from += done;
        count -= done;
    }
    switch (sampleSize) {
        case 2:
            swapEach<uint16_t, swap16>(to, from, count / 2);
            break;
        case 4:
            swapEach<uint32_t, swap32>(to, from, count / 4);
            break;
        case 8:
            swapEach<uint64_t, swap64>(to, from, count / 8);
            break;
        default:
            if (to != from) std::memmove(to, from, count);
            return;
    }
    size_t whole = count - count % sampleSize;
    if (to != from && whole != count) std::memcpy(to + whole, from + whole, count - whole);
}

void swapSamples(uint8_t *bytes, size_t count, unsigned sampleSize) {
    copySwappingSamples(bytes, bytes, count, sampleSize);
}

uint64_t packedFrameBits(const PixelDataDescriptor *image) {
    if (image == nullptr || image->bitsAllocated != 1) return 0;
    uint64_t bits = static_cast<uint64_t>(image->rows) * image->columns * image->samplesPerPixel;
    return bits % 8 != 0 ? bits : 0;
}

void alignBits(uint8_t *to, const uint8_t *from, uint64_t bits, unsigned shift) {
    size_t bytes = static_cast<size_t>((bits + 7) / 8);
    if (bytes == 0) return;
    if (shift == 0) {
        if (to != from) std::memmove(to, from, bytes);
    } else {
        // Each output byte takes the high bits of one input byte and the low bits of the next;
        // the input covers shift + bits bits, so the next byte exists whenever it is needed.
        size_t inputBytes = static_cast<size_t>((shift + bits + 7) / 8);
        for (size_t i = 0; i < bytes; ++i) {
            unsigned next = i + 1 < inputBytes ? from[i + 1] : 0u;
            to[i] = static_cast<uint8_t>((from[i] >> shift) | (next << (8 - shift)));
        }
    }
    unsigned used = static_cast<unsigned>(bits % 8);
    if (used != 0) to[bytes - 1] = static_cast<uint8_t>(to[bytes - 1] & ((1u << used) - 1));
}

}  // namespace velmar::codecs

namespace velmar::codecs {

void nativeFrameSpan(const PixelDataDescriptor *image, uint32_t frame, uint64_t *offset, uint64_t *length) {
    uint64_t bits = packedFrameBits(image);
    uint64_t index = frame > 0 ? frame - 1u : 0u;
    if (bits == 0) {
        *offset = index * image->frameSize;
        *length = image->frameSize;
        return;
    }
    uint64_t first = index * bits;
    *offset = first / 8;
    *length = (first % 8 + bits + 7) / 8;
}

uint64_t nativeValueBytes(const PixelDataDescriptor *image) {
    uint64_t bits = packedFrameBits(image);
    if (bits == 0) return static_cast<uint64_t>(image->numberOfFrames) * image->frameSize;
    return (static_cast<uint64_t>(image->numberOfFrames) * bits + 7) / 8;
}

}  // namespace velmar::codecs
