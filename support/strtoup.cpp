// Byte-string utilities: copying with an end pointer and ASCII case conversion of counted bytes.
#include <cstring>

#include "velmar/support.h"

extern "C" {

VELMAR_API char *velmar_stpcpy(char *destination, const char *source) {
    size_t n = std::strlen(source);
    std::memcpy(destination, source, n + 1);
    return destination + n;
}

VELMAR_API char *strtoupper(char *text, int32_t count) {
    for (int32_t i = 0; i < count; ++i)
        if (text[i] >= 'a' && text[i] <= 'z') text[i] = static_cast<char>(text[i] - 'a' + 'A');
    return text;
}

VELMAR_API char *strtolower(char *text, int32_t count) {
    for (int32_t i = 0; i < count; ++i)
        if (text[i] >= 'A' && text[i] <= 'Z') text[i] = static_cast<char>(text[i] - 'A' + 'a');
    return text;
}

}  // extern "C"
