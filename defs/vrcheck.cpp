// Value-format checks per VR: one element's value against the VR, VM and permitted values that the
// dictionary gives for its tag, as a problem mask.
#include <cstdio>
#include <cstring>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "velmar/defs.h"

namespace velmar::defs {
namespace {

constexpr uint16_t kLength = VELMAR_CHECK_LENGTH;
constexpr uint16_t kCharacters = VELMAR_CHECK_CHARACTERS;
constexpr uint16_t kFormat = VELMAR_CHECK_FORMAT;
constexpr uint16_t kRange = VELMAR_CHECK_RANGE;
constexpr uint16_t kUnknownVR = VELMAR_CHECK_UNKNOWN_VR;
constexpr uint16_t kVM = VELMAR_CHECK_VM;
constexpr uint16_t kNotPermitted = VELMAR_CHECK_NOT_PERMITTED;

constexpr uint32_t kImageType = 0x00080008u;
constexpr int kDaysPerMonth[12] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};

// Character sets of the VR patterns.
constexpr const char *kDigits = "0123456789";
constexpr const char *kAgeSet = "0123456789DWMY";
constexpr const char *kCodeSet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789 _.";
constexpr const char *kDecimalSet = "-0123456789+Ee. ";
constexpr const char *kDateTimeSet = "-0123456789+.";
constexpr const char *kIntegerSet = "-0123456789+ ";
constexpr const char *kDottedDigits = "0123456789.";
constexpr const char *kLineBreaks = "\n\f\r";

bool onlyFrom(std::string_view text, const char *set) {
    return text.find_first_not_of(set) == std::string_view::npos;
}

bool hasAny(std::string_view text, const char *set) {
    return text.find_first_of(set) != std::string_view::npos;
}

std::vector<std::string_view> splitValues(std::string_view text) {
    std::vector<std::string_view> values;
    size_t start = 0;
    for (;;) {
        size_t stop = text.find('\\', start);
        if (stop == std::string_view::npos) {
            values.push_back(text.substr(start));
            return values;
        }
        values.push_back(text.substr(start, stop - start));
        start = stop + 1;
    }
}

uint16_t vmRule(int16_t vm, size_t count) {
    if (vm >= 1) return count == static_cast<size_t>(vm) ? 0 : kVM;
    if (vm >= -1) return 0;
    return count <= static_cast<size_t>(-static_cast<int>(vm)) ? 0 : kVM;
}

// The VM code admits more than one value (1-n, 2, 1-3, ...). LO and SH attributes of that kind
// hold backslash-separated values like the other multi-valued text VRs.
bool admitsSeveral(int16_t vm) {
    return vm != 1;
}

// A two-digit field read as "%2hd"; -1 when it cannot be read.
int twoDigits(std::string_view text, size_t position) {
    if (position >= text.size()) return -1;
    char field[3] = {text[position], position + 1 < text.size() ? text[position + 1] : '\0', '\0'};
    short value = 0;
    if (std::sscanf(field, "%2hd", &value) != 1) return -1;
    return value;
}

bool monthAndDayValid(std::string_view value, size_t monthAt, size_t dayAt) {
    int month = twoDigits(value, monthAt);
    int day = twoDigits(value, dayAt);
    return month >= 1 && month <= 12 && day >= 1 && day <= kDaysPerMonth[month - 1];
}

uint16_t checkAge(std::string_view value) {
    uint16_t mask = 0;
    if (value.size() != 4) mask |= kLength;
    if (!onlyFrom(value, kAgeSet)) mask |= kCharacters;
    if (value.size() == 4 && !(onlyFrom(value.substr(0, 3), kDigits) && hasAny(value.substr(3), "DWMY")))
        mask |= kCharacters;
    return mask;
}

uint16_t checkDate(std::string_view value) {
    if (value.size() == 8) {
        uint16_t mask = onlyFrom(value, kDigits) ? 0 : kCharacters;
        if (!monthAndDayValid(value, 4, 6)) mask |= kRange;
        return mask;
    }
    if (value.size() == 10) {
        uint16_t mask = onlyFrom(value, kDottedDigits) ? 0 : kCharacters;
        if (value.find('.') != std::string_view::npos) return mask | kFormat;  // the dotted form
        if (!monthAndDayValid(value, 5, 8)) mask |= kRange;
        return mask;
    }
    return kLength | kCharacters;
}

uint16_t checkTime(std::string_view value) {
    while (!value.empty() && value.back() == ' ') value.remove_suffix(1);
    uint16_t mask = value.size() > 16 ? kLength : 0;
    if (value.find(':') != std::string_view::npos) return mask | kFormat;  // the older colon form
    if (!onlyFrom(value, kDottedDigits)) mask |= kCharacters;
    size_t dot = value.find('.');
    if (dot != std::string_view::npos) {
        if (value.find('.', dot + 1) != std::string_view::npos) mask |= kFormat;
        if (dot != 2 && dot != 4 && dot != 6) mask |= kFormat;
    }
    if ((mask & kFormat) != 0) return mask;
    auto inRange = [](int field, int highest) { return field >= 0 && field <= highest; };
    if (!inRange(twoDigits(value, 0), 23)) mask |= kRange;
    bool minutes = value.size() > 2 && dot != 2;
    if (minutes && !inRange(twoDigits(value, 2), 59)) mask |= kRange;
    if (minutes && value.size() > 4 && dot != 4 && !inRange(twoDigits(value, 4), 59)) mask |= kRange;
    if (dot != std::string_view::npos && value.size() - dot - 1 > 6) mask |= kRange;
    return mask;
}

uint16_t checkUID(std::string_view value) {
    uint16_t mask = value.size() > 64 ? kLength : 0;
    if (!onlyFrom(value, kDottedDigits)) mask |= kCharacters;
    size_t start = 0;
    for (;;) {
        size_t stop = value.find('.', start);
        std::string_view component =
            value.substr(start, stop == std::string_view::npos ? value.npos : stop - start);
        if (component.size() >= 2 && component[0] == '0') mask |= kNotPermitted;
        if (stop == std::string_view::npos) break;
        start = stop + 1;
    }
    return mask;
}

// Each 16-bit value as the last four digits of its "%05hu" text.
uint16_t checkPermittedWords(AppData *app, uint32_t tag, const DicomElement *el) {
    uint16_t mask = 0;
    const auto *bytes = static_cast<const unsigned char *>(el->value);
    for (uint32_t offset = 0; offset + 2 <= el->length; offset += 2) {
        uint16_t word;
        std::memcpy(&word, bytes + offset, 2);
        char text[8];
        std::snprintf(text, sizeof text, "%05hu", word);
        mask |= checkPermitted(app, tag, text + 1);
    }
    return mask;
}

uint16_t checkBinary(const DicomElement *el, uint32_t unit, int16_t vm) {
    uint16_t mask = el->length % unit != 0 ? kLength : 0;
    return mask | vmRule(vm, el->length / unit);
}

// VRs whose padding blank is dropped before the check.
bool dropsPadding(int32_t vr) {
    switch (vr) {
        case VR_AE:
        case VR_CS:
        case VR_DS:
        case VR_DT:
        case VR_IS:
        case VR_LO:
        case VR_LT:
        case VR_SH:
        case VR_ST:
        case VR_UT:
        case VR_UC:
        case VR_UR:
            return true;
        default:
            return false;
    }
}

// Checks of the text VRs, on the value as text (it ends at its first zero byte).
uint16_t checkText(AppData *app, uint32_t tag, int32_t vr, int16_t vm, std::string_view text) {
    uint16_t mask = 0;
    auto values = splitValues(text);
    auto each = [&](auto check) {
        for (size_t i = 0; i < values.size(); ++i) mask |= check(values[i], i);
    };
    auto longerThan = [&](size_t limit) {
        each([&](std::string_view v, size_t) -> uint16_t { return v.size() > limit ? kLength : 0; });
    };
    // The single-valued text VRs (LT, ST, and LO and SH of single-valued attributes): a backslash
    // is both a foreign character and a second value.
    auto single = [&](size_t limit, bool permitted) {
        if (text.find('\\') != std::string_view::npos) mask |= kCharacters | kVM;
        if (permitted) mask |= checkPermitted(app, tag, std::string(text).c_str());
        if (text.size() > limit) mask |= kLength;
    };
    switch (vr) {
        case VR_AE:
            longerThan(16);
            if (hasAny(text, kLineBreaks)) mask |= kCharacters;
            break;
        case VR_AS:
            each([](std::string_view v, size_t) { return checkAge(v); });
            break;
        case VR_CS:
            longerThan(16);
            each([&](std::string_view v, size_t i) -> uint16_t {
                uint16_t m = onlyFrom(v, kCodeSet) ? 0 : kCharacters;
                if (tag != kImageType || i < 2) m |= checkPermitted(app, tag, std::string(v).c_str());
                return m;
            });
            break;
        case VR_DA:
            each([](std::string_view v, size_t) { return checkDate(v); });
            break;
        case VR_DS:
            longerThan(16);
            each([](std::string_view v, size_t) -> uint16_t {
                return onlyFrom(v, kDecimalSet) ? 0 : kCharacters;
            });
            break;
        case VR_DT:
            longerThan(26);
            each([](std::string_view v, size_t) -> uint16_t {
                return onlyFrom(v, kDateTimeSet) ? 0 : kCharacters;
            });
            break;
        case VR_IS:
            longerThan(12);
            each([](std::string_view v, size_t) -> uint16_t {
                return onlyFrom(v, kIntegerSet) ? 0 : kCharacters;
            });
            break;
        case VR_LO:
            if (admitsSeveral(vm)) {
                longerThan(64);
                break;
            }
            single(64, false);
            return mask;
        case VR_LT:
            single(10240, false);
            return mask;
        case VR_UT:  // LT without its length limit
            single(text.size(), false);
            return mask;
        case VR_UC:  // multi-valued LO without its length limit
            break;
        case VR_UR:  // one value, no backslash, trailing blanks only
            single(text.size(), false);
            if (!text.empty() && text.front() == ' ') mask |= kCharacters;
            return mask;
        case VR_SH:
            if (admitsSeveral(vm)) {
                longerThan(16);
                each([&](std::string_view v, size_t) {
                    return checkPermitted(app, tag, std::string(v).c_str());
                });
                break;
            }
            single(16, true);
            return mask;
        case VR_ST:
            single(1024, true);
            return mask;
        case VR_PN:
            if (hasAny(text, kLineBreaks)) mask |= kCharacters;
            longerThan(64);
            break;
        case VR_TM:
            each([](std::string_view v, size_t) { return checkTime(v); });
            break;
        case VR_UI:
            each([](std::string_view v, size_t) { return checkUID(v); });
            break;
        default:
            return 0;
    }
    return mask | vmRule(vm, values.size());
}

uint16_t checkValue(AppData *app, const DicomElement *el) {
    uint32_t tag = VELMAR_TAG(el->group, el->element);
    int32_t vr = -1;
    int16_t vm = 0;
    getVR(app, tag, &vr);
    getVM(app, tag, &vm);
    if (vr < 0 || vr >= VR_COUNT) return kUnknownVR;
    switch (vr) {
        case VR_AT:
        case VR_FL:
        case VR_SL:
        case VR_UL:
            return checkBinary(el, 4, vm);
        case VR_FD:
        case VR_SV:
        case VR_UV:
            return checkBinary(el, 8, vm);
        case VR_OF:
        case VR_OL:
            return el->length % 4 != 0 ? kLength : 0;
        case VR_OD:
        case VR_OV:
            return el->length % 8 != 0 ? kLength : 0;
        case VR_SS:
            return checkBinary(el, 2, vm);
        case VR_US:
            return checkBinary(el, 2, vm) | checkPermittedWords(app, tag, el);
        case VR_XS: {
            uint16_t asUS = checkBinary(el, 2, vm) | checkPermittedWords(app, tag, el);
            uint16_t asSS = checkBinary(el, 2, vm);
            return asUS != 0 && asSS != 0 ? (asUS | asSS) : (asUS & asSS);
        }
        case VR_XU:
            return el->length != 6 ? kLength | kVM : 0;
        case VR_OB:
        case VR_OW:
        case VR_SQ:
        case VR_RE:
        case VR_OX:
        case VR_XX:
        case VR_NA:
        case VR_UNKNOWN_TEXT:
        case VR_UN:
        case VR_XW:
            return 0;
        default:
            break;
    }
    // Text: a private copy that ends at the first zero byte, without its padding blank.
    std::string copy(static_cast<const char *>(el->value), el->length);
    copy.resize(std::strlen(copy.c_str()));
    if (dropsPadding(vr) && !copy.empty() && copy.back() == ' ') copy.pop_back();
    return checkText(app, tag, vr, vm, copy);
}

// Permitted-values entries: the text split at ", " after line ends became blanks.
bool isPermitted(std::string permitted, const std::string &value) {
    for (char &c : permitted)
        if (c == '\n' || c == '\r') c = ' ';
    bool digitsOnly = !value.empty() && value.find_first_not_of(kDigits) == std::string::npos;
    size_t start = 0;
    for (;;) {
        size_t stop = permitted.find(", ", start);
        std::string_view entry(permitted);
        entry = entry.substr(start, stop == std::string::npos ? std::string::npos : stop - start);
        while (!entry.empty() && entry.front() == ' ') entry.remove_prefix(1);
        while (!entry.empty() && entry.back() == ' ') entry.remove_suffix(1);
        if (entry == value || (entry == "nnn" && digitsOnly)) return true;
        if (stop == std::string::npos) return false;
        start = stop + 2;
    }
}

// Leading and trailing blanks dropped, inner runs of blanks reduced to one.
std::string normalised(const char *text) {
    std::string out;
    bool blank = false;
    for (const char *p = text; *p != '\0'; ++p) {
        if (*p == ' ') {
            blank = !out.empty();
            continue;
        }
        if (blank) out.push_back(' ');
        blank = false;
        out.push_back(*p);
    }
    return out;
}

}  // namespace
}  // namespace velmar::defs

using namespace velmar::defs;

extern "C" {

VELMAR_API uint16_t checkPermitted(AppData *app, uint32_t tag, const char *valueText) {
    const char *csType = "";
    const char *permitted = "";
    getCStype(app, tag, &csType);
    if (csType[0] != 'E') return 0;
    getPermitted(app, tag, &permitted);
    if (permitted[0] == '\0') return 0;
    try {
        return isPermitted(permitted, normalised(valueText != nullptr ? valueText : "")) ? 0 : kNotPermitted;
    } catch (const std::bad_alloc &) {
        return 0xFFFF;
    }
}

VELMAR_API uint16_t checkElementValue(AppData *app, const DicomElement *element) {
    if (element == nullptr || (element->group & 1) != 0) return 0;
    if (element->length == 0 || element->value == nullptr || element->length == VELMAR_UNDEFINED_LENGTH)
        return 0;
    try {
        return checkValue(app, element);
    } catch (const std::bad_alloc &) {
        return 0xFFFF;
    }
}

}  // extern "C"
