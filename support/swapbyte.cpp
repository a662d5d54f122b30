// Byte-order reversal of a counted stretch of bytes.
#include <algorithm>

#include "velmar/support.h"

extern "C" VELMAR_API void swapbytes(void *buffer, int16_t count) {
    if (buffer == nullptr || count <= 1) return;
    auto *bytes = static_cast<unsigned char *>(buffer);
    std::reverse(bytes, bytes + count);
}
