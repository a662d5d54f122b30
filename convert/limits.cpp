// The ranges an Interfile header's sizes and counts must lie in before a conversion narrows
// them to the 16-bit values of the DICOM object: checked at full width, refused whole.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "convert/relations.h"

namespace velmar::convert {

namespace {

struct Limit {
    const char *key;
    long long lowest;
    long long highest;
    bool powerOfTwo;  // bytes per pixel: 1, 2 or 4 (8, 16 or 32 bits allocated)
};

constexpr Limit kLimits[] = {
    {"total number of images", 1, 32767, false},
    {"matrix size [1]", 1, 65535, false},
    {"matrix size [2]", 1, 65535, false},
    {"number of bytes per pixel", 1, 4, true},
};

// The whole text as a decimal number (blanks around it allowed); false for anything else.
bool wholeNumber(const char *text, long long &number) {
    errno = 0;
    char *end = nullptr;
    number = std::strtoll(text, &end, 10);
    if (end == text || errno == ERANGE) return false;
    while (*end == ' ' || *end == '\t') ++end;
    return *end == '\0';
}

bool withinLimit(const Limit &limit, const Value &value) {
    long long number = 0;
    // A key without a value is left to the relations, which leave its attribute empty.
    if (!value.found || value.empty()) return true;
    if (!wholeNumber(value.text, number)) return false;
    if (number < limit.lowest || number > limit.highest) return false;
    return !limit.powerOfTwo || (number & (number - 1)) == 0;
}

// The Pixel Data of an NM or Secondary Capture image holds integers of 8, 16 or 32 bits only:
// "short float" and "long float" samples taken as integers would be other numbers, and 8-byte
// samples have no place at all, so such a study is refused whole. Every occurrence counts, since
// each image section of a header may give its own number format.
bool isFloatFormat(const Value &format) {
    return equalsNoCase(format.text, "short float") || equalsNoCase(format.text, "long float");
}

bool integerPixels(AppData *app, Header *hdr) {
    for (int16_t index = 1; index < INT16_MAX; ++index) {
        Value format = readOwnValue(hdr, "number format", index);
        if (!format.found) return true;
        if (!isFloatFormat(format)) continue;
        char text[VELMAR_LOG_LINE_MAX];
        std::snprintf(text, sizeof text,
                      "Not converted: \"number format\" is \"%s\": floating-point pixels cannot be stored "
                      "as DICOM integer pixels.",
                      format.text);
        log_message(app != nullptr ? app->log : nullptr, text, 1);
        return false;
    }
    return true;
}

}  // namespace

bool headerLimitsHold(AppData *app, Header *hdr) {
    if (!integerPixels(app, hdr)) return false;
    for (const Limit &limit : kLimits) {
        Value value = readKey(hdr, limit.key);
        if (withinLimit(limit, value)) continue;
        char text[VELMAR_LOG_LINE_MAX];
        if (limit.powerOfTwo)
            std::snprintf(text, sizeof text, "Not converted: \"%s\" must be 1, 2 or 4, not \"%s\".",
                          limit.key, value.text);
        else
            std::snprintf(text, sizeof text,
                          "Not converted: \"%s\" must be a whole number from %lld to %lld, not \"%s\".",
                          limit.key, limit.lowest, limit.highest, value.text);
        log_message(app != nullptr ? app->log : nullptr, text, 1);
        return false;
    }
    return true;
}

int16_t readCountChecked(Header *hdr, const char *key, int16_t index, int16_t fallback, bool &invalid) {
    Value v = readKey(hdr, key, index);
    if (!v.found) return fallback;
    // Read as "%hd" would (leading number), but at full width: a count the 16-bit frame walk
    // cannot hold is refused instead of wrapping to another count.
    errno = 0;
    char *end = nullptr;
    long long number = std::strtoll(v.text, &end, 10);
    if (end == v.text) return fallback;
    if (errno == 0 && number >= 0 && number <= 32767) return static_cast<int16_t>(number);
    char text[VELMAR_LOG_LINE_MAX];
    std::snprintf(text, sizeof text,
                  "Not converted: \"%s\" must be a whole number from 0 to 32767, not \"%s\".", key, v.text);
    log_message(hdr->log, text, 1);
    invalid = true;
    return 0;
}

}  // namespace velmar::convert
