// Fuzz target of the lossless JPEG frame decoder: a three-byte image description, then one
// stream. A frame that decodes must code again (predictor and restart interval from the
// description) and decode to the same samples.
//   byte 0: rows - 1 (mod 64)    byte 1: columns - 1 (mod 64)
//   byte 2: bit 0 two bytes per sample, bit 1 three components, bit 2 planar,
//           bits 3-5 predictor of the second coding, bit 6 a restart every line
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "codecs/jpegll/jpegll_core.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    namespace jll = velmar::codecs::jpegll;
    if (size < 3 || size > (1u << 20)) return 0;
    jll::Layout layout;
    layout.rows = static_cast<uint16_t>(1 + data[0] % 64);
    layout.columns = static_cast<uint16_t>(1 + data[1] % 64);
    layout.bytesPerSample = (data[2] & 1) != 0 ? 2 : 1;
    layout.components = (data[2] & 2) != 0 ? 3 : 1;
    layout.planar = (data[2] & 4) != 0;
    std::vector<uint8_t> samples(layout.frameBytes());
    if (!jll::decodeFrame(data + 3, size - 3, layout, samples.data())) return 0;
    jll::Coding coding;
    coding.precision = 8u * layout.bytesPerSample;
    coding.predictor = 1 + (data[2] >> 3 & 7) % 7;
    coding.restartInterval = (data[2] & 64) != 0 ? layout.columns : 0;
    std::vector<uint8_t> coded;
    if (!jll::encodeFrame(layout, coding, samples.data(), coded)) std::abort();
    std::vector<uint8_t> again(samples.size());
    if (!jll::decodeFrame(coded.data(), coded.size(), layout, again.data()) || again != samples) std::abort();
    return 0;
}
