// Fuzz target of the RLE Lossless frame decoder: a four-byte image description, then one coded
// frame. A frame that decodes must re-encode and decode to the same pixels.
//   byte 0: rows - 1 (mod 64)    byte 1: columns - 1
//   byte 2: bits allocated, index into {8, 16, 32, 8}    byte 3: bit 0 three samples, bit 1 planar
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "codecs/rle/rle_core.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 4 || size > (1u << 20)) return 0;
    static const uint16_t kBits[] = {8, 16, 32, 8};
    PixelDataDescriptor image{};
    image.rows = static_cast<uint16_t>(1 + data[0] % 64);
    image.columns = static_cast<uint16_t>(1 + data[1]);
    image.bitsAllocated = kBits[data[2] & 3];
    image.samplesPerPixel = (data[3] & 1) != 0 ? 3 : 1;
    image.planarConfiguration = (data[3] & 2) != 0 ? 1 : 0;
    velmar::codecs::rle::Layout layout;
    if (!velmar::codecs::rle::layoutOf(image, &layout)) std::abort();
    std::vector<uint8_t> pixels(layout.frameBytes());
    if (!velmar::codecs::rle::decodeFrame(layout, data + 4, size - 4, pixels.data())) return 0;
    std::vector<uint8_t> coded;
    velmar::codecs::rle::encodeFrame(layout, pixels.data(), coded);
    std::vector<uint8_t> again(pixels.size());
    if (!velmar::codecs::rle::decodeFrame(layout, coded.data(), coded.size(), again.data()) ||
        again != pixels)
        std::abort();
    return 0;
}
