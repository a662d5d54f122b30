// Fuzz target of the JPEG Baseline decoder of the codec library velmar_jpeg (see codec_fuzz.h for the input).
#include "codec_fuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static auto *context = new codecfuzz::Context("jpeg", "velmar_jpeg", "1.2.840.10008.1.2.4.50");
    return codecfuzz::decodeOne(*context, data, size);
}
