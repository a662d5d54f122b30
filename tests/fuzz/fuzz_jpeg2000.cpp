// Fuzz target of the JPEG 2000 decoder of the codec library velmar_jpeg2000 (see codec_fuzz.h for the input).
#include "codec_fuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static auto *context = new codecfuzz::Context("jpeg2000", "velmar_jpeg2000", "1.2.840.10008.1.2.4.90");
    return codecfuzz::decodeOne(*context, data, size);
}
