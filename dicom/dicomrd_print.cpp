// Element value printer: renders one element's value as a line of text by its concrete VR, for
// the verification reports and the dump.
#include <cstdio>
#include <cstring>

#include "velmar/dicom.h"

namespace velmar::dicom {
namespace {

constexpr size_t kTextPiece = 255;

bool isStructural(uint32_t tag) {
    return tag == 0xFFFEE000u || tag == 0xFFFEE00Du || tag == 0xFFFEE0DDu;
}

// Text VRs: two blanks, then the bytes as they are, in pieces of at most 255 bytes each ending at
// its first zero byte, while the whole text stays below size - 2 characters.
void appendText(const DicomElement *el, char *buffer, size_t size) {
    size_t used = std::strlen(buffer);
    const size_t limit = size - 3;  // longest text allowed
    if (used + 2 > limit) return;
    std::memcpy(buffer + used, "  ", 3);
    used += 2;
    const auto *bytes = static_cast<const char *>(el->value);
    for (uint32_t offset = 0; offset < el->length && used < limit; offset += kTextPiece) {
        size_t piece = el->length - offset < kTextPiece ? el->length - offset : kTextPiece;
        const void *zero = std::memchr(bytes + offset, '\0', piece);
        if (zero != nullptr) piece = static_cast<size_t>(static_cast<const char *>(zero) - (bytes + offset));
        if (piece > limit - used) piece = limit - used;
        std::memcpy(buffer + used, bytes + offset, piece);
        used += piece;
        buffer[used] = '\0';
    }
}

// Appends one formatted piece with the room left; false once the buffer is full.
template <typename... Args>
bool appendFormatted(char *buffer, size_t size, const char *format, Args... args) {
    size_t used = std::strlen(buffer);
    if (used + 1 >= size) return false;
    int written = std::snprintf(buffer + used, size - used, format, args...);
    return written >= 0 && used + static_cast<size_t>(written) < size - 1;
}

template <typename T>
T unitAt(const DicomElement *el, uint32_t index) {
    T value;
    std::memcpy(&value, static_cast<const unsigned char *>(el->value) + index * sizeof(T), sizeof(T));
    return value;
}

// Numbers one by one: the first with two leading blanks, each further one after a backslash.
template <typename T, typename Shown>
void appendNumbers(const DicomElement *el, char *buffer, size_t size, const char *first, const char *next) {
    uint32_t count = el->length / static_cast<uint32_t>(sizeof(T));
    for (uint32_t i = 0; i < count; ++i) {
        Shown shown = static_cast<Shown>(unitAt<T>(el, i));
        if (!appendFormatted(buffer, size, i == 0 ? first : next, shown)) return;
    }
}

void appendTags(const DicomElement *el, char *buffer, size_t size) {
    uint32_t count = el->length / 4;
    for (uint32_t i = 0; i < count; ++i) {
        auto group = unitAt<uint16_t>(el, 2 * i);
        auto element = unitAt<uint16_t>(el, 2 * i + 1);
        if (!appendFormatted(buffer, size, i == 0 ? "  %04hX%04hX" : "\\%04hX%04hX", group, element)) return;
    }
}

// Binary data as one long hexadecimal number ending in "H": units run together while the text
// stays within size - 2 characters, so the closing "H" and the terminator always fit.
template <typename T>
void appendHex(const DicomElement *el, char *buffer, size_t size) {
    constexpr size_t digits = 2 * sizeof(T);
    size_t used = std::strlen(buffer);
    if (used + 2 > size - 2) return;
    std::memcpy(buffer + used, "  ", 3);
    used += 2;
    uint32_t count = el->length / static_cast<uint32_t>(sizeof(T));
    for (uint32_t i = 0; i < count && used + digits <= size - 2; ++i) {
        std::snprintf(buffer + used, size - used, "%0*llXH", static_cast<int>(digits),
                      static_cast<unsigned long long>(unitAt<T>(el, i)));
        used += digits;
    }
    if (count > 0 && buffer[used] != 'H') {
        buffer[used] = 'H';
        buffer[used + 1] = '\0';
    }
}

}  // namespace
}  // namespace velmar::dicom

using namespace velmar::dicom;

extern "C" {

VELMAR_API void print_element_value(AppData *app, const DicomElement *el, char *buffer, size_t size) {
    if (el == nullptr || buffer == nullptr || size < 4 || el->value == nullptr) return;
    if (el->length == 0 || el->length == VELMAR_UNDEFINED_LENGTH) return;
    uint32_t tag = VELMAR_TAG(el->group, el->element);
    if (isStructural(tag)) return;
    switch (concreteVR(app, el)) {
        case VR_AE:
        case VR_AS:
        case VR_CS:
        case VR_DA:
        case VR_DS:
        case VR_DT:
        case VR_IS:
        case VR_LO:
        case VR_LT:
        case VR_PN:
        case VR_SH:
        case VR_ST:
        case VR_TM:
        case VR_UI:
        case VR_UT:
        case VR_UC:
        case VR_UR:
            appendText(el, buffer, size);
            break;
        case VR_AT:
            appendTags(el, buffer, size);
            break;
        case VR_FL:
            appendNumbers<float, double>(el, buffer, size, "  %f", "\\%f");
            break;
        case VR_FD:
            appendNumbers<double, double>(el, buffer, size, "  %f", "\\%f");
            break;
        case VR_SL:
            appendNumbers<int32_t, long>(el, buffer, size, "  %ld", "\\%ld");
            break;
        case VR_SS:
            appendNumbers<int16_t, short>(el, buffer, size, "  %hd", "\\%hd");
            break;
        case VR_UL:
            appendNumbers<uint32_t, unsigned long>(el, buffer, size, "  %lu", "\\%lu");
            break;
        case VR_US:
            appendNumbers<uint16_t, unsigned short>(el, buffer, size, "  %hu", "\\%hu");
            break;
        case VR_SV:
            appendNumbers<int64_t, long long>(el, buffer, size, "  %lld", "\\%lld");
            break;
        case VR_UV:
            appendNumbers<uint64_t, unsigned long long>(el, buffer, size, "  %llu", "\\%llu");
            break;
        case VR_OW:
            appendHex<uint16_t>(el, buffer, size);
            break;
        case VR_OF:
        case VR_OL:
            appendHex<uint32_t>(el, buffer, size);
            break;
        case VR_OD:
        case VR_OV:
            appendHex<uint64_t>(el, buffer, size);
            break;
        case VR_OB:
        case VR_UN:
            appendHex<uint8_t>(el, buffer, size);
            break;
        default:
            break;  // SQ, XX: nothing
    }
}

}  // extern "C"
