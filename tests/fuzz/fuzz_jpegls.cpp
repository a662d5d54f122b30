// Fuzz target of the JPEG-LS decoder of the codec library velmar_jpegls (see codec_fuzz.h for the input).
#include "codec_fuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static auto *context = new codecfuzz::Context("jpegls", "velmar_jpegls", "1.2.840.10008.1.2.4.80");
    return codecfuzz::decodeOne(*context, data, size);
}
