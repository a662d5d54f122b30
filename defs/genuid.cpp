// UID generation: time stamps, the organisation root of base.uid, and UIDs composed of the root, a
// suffix (usually the time stamp), an extra component and the object's numbers.
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <cstring>
#include <ctime>
#include <string>

#include "defs/genuid.h"
#include "defs/parsedef.h"
#include "velmar/defs.h"

namespace velmar::defs {
namespace {

constexpr size_t kUidMax = VELMAR_UID_SIZE - 1;  // 64 characters

// Removes one trailing line end ("\n", "\r\n" or "\r").
void dropLineEnd(std::string &text) {
    if (!text.empty() && text.back() == '\n') text.pop_back();
    if (!text.empty() && text.back() == '\r') text.pop_back();
}

// Removes one trailing line end, then one trailing ".".
void trimEnd(std::string &text) {
    dropLineEnd(text);
    if (!text.empty() && text.back() == '.') text.pop_back();
}

// Reads one line of file, keeping at most keep characters (line end included) and discarding
// the rest of it. False at the end of the file.
bool readLineStart(FILE *file, std::string &line, size_t keep) {
    line.clear();
    char piece[256];
    bool any = false;
    while (std::fgets(piece, sizeof piece, file) != nullptr) {
        any = true;
        size_t n = std::strlen(piece);
        if (line.size() < keep) line.append(piece, std::min(n, keep - line.size()));
        if (n > 0 && piece[n - 1] == '\n') break;
    }
    return any;
}

// The root of base.uid: the first line that does not begin with "#", at most 64 characters,
// without its line end and one trailing ".". False when the file is missing or has no such line.
bool readBaseUID(AppData *app, std::string &root) {
    char path[kDefPathSize];
    if (!resolveDefFile(app, "base.uid", path)) return false;
    DefFilePtr file = openDefFile(path);
    if (!file) return false;
    std::string line;
    while (readLineStart(file.get(), line, kUidMax)) {
        if (!line.empty() && line[0] == '#') continue;
        root = line;
        trimEnd(root);
        return true;
    }
    return false;
}

// A UID under construction: components are joined by "." and the text never passes limit
// characters (64, or unbounded when only measuring).
class UidBuilder {
   public:
    explicit UidBuilder(size_t limit) : limit_(limit) {}

    const std::string &text() const { return text_; }
    void set(const std::string &text) { text_ = text.substr(0, std::min(text.size(), limit_)); }
    void separator() {
        if (!text_.empty() && text_.size() < limit_) text_ += '.';
    }
    void append(const char *text, size_t n) { text_.append(text, std::min(n, limit_ - text_.size())); }
    void component(const char *text) {
        separator();
        append(text, std::strlen(text));
    }
    // A component given as text: appended, then a trailing line end and "." are removed.
    void textComponent(const char *text) {
        component(text);
        trimEnd(text_);
    }
    bool full() const { return text_.size() >= limit_; }

   private:
    size_t limit_;
    std::string text_;
};

// Appends the number held by an element of obj: its first word (IS values are space-padded), or
// "1" when the element is absent or holds only spaces.
void appendObjectNumber(AppData *app, DicomObject *obj, uint16_t group, uint16_t element, UidBuilder &uid) {
    uid.separator();
    DicomElement el{};
    el.group = group;
    el.element = element;
    DOU_defXVRTypeByTags(app, group, element, &el.vr);
    size_t start = 0;
    size_t end = 0;
    if (DO_searchForElement(obj, &el) == 0 && el.value != nullptr) {
        const char *value = static_cast<const char *>(el.value);
        size_t length = el.length;
        while (start < length && value[start] == ' ') ++start;
        end = start;
        while (end < length && value[end] != ' ' && value[end] != '\0') ++end;
        uid.append(value + start, end - start);
    }
    D_Free(&el.value);
    if (end == start && !uid.full()) uid.append("1", 1);
}

// What one call of genUID or genUID2 composes.
struct UidParts {
    AppData *app;
    DicomObject *obj;
    uint8_t flags;
    const char *suffix;
    const char *extra;  // used with flag bit 1
    const char *seriesNumber;
    const char *acquisitionNumber;
    const char *instanceNumber;
};

void appendNumber(const UidParts &p, const char *given, uint16_t element, UidBuilder &uid) {
    if (given != nullptr)
        uid.textComponent(given);
    else
        appendObjectNumber(p.app, p.obj, 0x0020, element, uid);
}

// Root, suffix, extra component (its first extraLength characters), object numbers.
std::string compose(const UidParts &p, const std::string &root, size_t extraLength, size_t limit) {
    UidBuilder uid(limit);
    uid.set(root);
    if (p.suffix != nullptr && p.suffix[0] != '\0') uid.textComponent(p.suffix);
    if ((p.flags & 1) != 0 && p.extra != nullptr && extraLength > 0)
        uid.textComponent(std::string(p.extra, extraLength).c_str());
    if ((p.flags & 2) != 0) {
        appendNumber(p, p.seriesNumber, 0x0011, uid);
        appendNumber(p, p.acquisitionNumber, 0x0012, uid);
    }
    if ((p.flags & 4) != 0) appendNumber(p, p.instanceNumber, 0x0013, uid);
    return uid.text();
}

// Composes the UID; the extra component gives up its characters first when the whole would
// pass 64 characters, so that the numbers after it (which tell instances apart) stay whole.
void composeUID(const UidParts &p, const std::string &root, char *uid) {
    size_t extraLength = (p.flags & 1) != 0 && p.extra != nullptr ? std::strlen(p.extra) : 0;
    if (extraLength > 0) {
        size_t needed = compose(p, root, extraLength, SIZE_MAX).size();
        if (needed > kUidMax) extraLength -= std::min(extraLength, needed - kUidMax);
    }
    std::string text = compose(p, root, extraLength, kUidMax);
    std::memcpy(uid, text.c_str(), text.size() + 1);
}

// Microseconds since the epoch, strictly increasing from call to call in this process.
int64_t uniqueMicros() {
    static std::atomic<int64_t> last{0};
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    int64_t micros = static_cast<int64_t>(now.tv_sec) * 1000000 + now.tv_nsec / 1000;
    int64_t previous = last.load();
    int64_t next = 0;
    do {
        next = std::max(micros, previous + 1);
    } while (!last.compare_exchange_weak(previous, next));
    return next;
}

void formatStamp(std::time_t seconds, char *stamp) {
    std::tm local{};
    localtime_r(&seconds, &local);
    // Formatted apart, so that a year past 9999 cannot overrun the caller's 15 characters.
    char text[64];
    std::snprintf(text, sizeof text, "%04d%02d%02d%02d%02d%02d", local.tm_year + 1900, local.tm_mon + 1,
                  local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec);
    std::snprintf(stamp, VELMAR_STAMP_SIZE, "%.14s", text);
}

}  // namespace

std::string rootProblem(const std::string &root) {
    if (root.empty()) return "it is empty";
    if (root.size() > kRootMax)
        return "it is " + std::to_string(root.size()) + " characters long, more than the " +
               std::to_string(kRootMax) + " that leave room for the generated part";
    size_t begin = 0;
    while (begin <= root.size()) {
        size_t end = std::min(root.find('.', begin), root.size());
        std::string component = root.substr(begin, end - begin);
        if (component.empty()) return "it has an empty component";
        if (component.find_first_not_of("0123456789") != std::string::npos)
            return "it holds a character other than digits and dots";
        if (component.size() > 1 && component[0] == '0')
            return "its component \"" + component + "\" has a leading zero";
        begin = end + 1;
    }
    return "";
}

int16_t genWholeUID(AppData *app, DicomObject *obj, uint8_t flags, char *uid, const char *suffix,
                    const char *extra, std::string &problem) {
    uid[0] = '\0';
    std::string root;
    if (!readBaseUID(app, root)) {
        problem = "base.uid cannot be read or has no root line";
        return -1;
    }
    problem = rootProblem(root);
    if (!problem.empty()) {
        problem = "the root \"" + root + "\" of base.uid is unusable: " + problem;
        return -1;
    }
    UidParts parts{app, obj, flags, suffix, extra, nullptr, nullptr, nullptr};
    size_t extraLength = (flags & 1) != 0 && extra != nullptr ? std::strlen(extra) : 0;
    std::string text = compose(parts, root, extraLength, SIZE_MAX);
    if (text.size() > kUidMax) {
        problem = "the UID " + text + " would be " + std::to_string(text.size()) +
                  " characters long, more than 64: give base.uid a shorter root";
        return -1;
    }
    std::memcpy(uid, text.c_str(), text.size() + 1);
    return 0;
}

}  // namespace velmar::defs

extern "C" {

VELMAR_API int16_t gen_stamp(AppData *, DicomObject *, char *stamp) {
    if (stamp == nullptr) return 0;
    velmar::defs::formatStamp(std::time(nullptr), stamp);
    return 0;
}

VELMAR_API int16_t gen_stamp_unique(AppData *, DicomObject *, char *stamp, char *unique) {
    int64_t micros = velmar::defs::uniqueMicros();
    if (stamp != nullptr) velmar::defs::formatStamp(static_cast<std::time_t>(micros / 1000000), stamp);
    // "1" keeps the component free of a leading zero; the fixed-width microseconds keep the
    // process id that follows them unambiguous.
    if (unique != nullptr)
        std::snprintf(unique, VELMAR_UNIQUE_SIZE, "1%06lld%ld", static_cast<long long>(micros % 1000000),
                      static_cast<long>(getpid()));
    return 0;
}

VELMAR_API int16_t genUID2(AppData *app, DicomObject *obj, uint8_t uidFlags, char *uid, const char *suffix,
                           const char *root, const char *extra, const char *seriesNumber,
                           const char *acquisitionNumber, const char *instanceNumber) {
    using namespace velmar::defs;
    if (uid == nullptr) return -1;
    uid[0] = '\0';
    try {
        std::string base;
        if (root != nullptr)
            base.assign(root, strnlen(root, kUidMax));
        else if (!readBaseUID(app, base))
            return -1;
        trimEnd(base);
        UidParts parts{app, obj, uidFlags, suffix, extra, seriesNumber, acquisitionNumber, instanceNumber};
        composeUID(parts, base, uid);
        return 0;
    } catch (...) {
        uid[0] = '\0';
        return -1;
    }
}

VELMAR_API int16_t genUID(AppData *app, DicomObject *obj, uint8_t uidFlags, char *uid, const char *suffix) {
    using namespace velmar::defs;
    if (uid == nullptr) return -1;
    uid[0] = '\0';
    try {
        std::string base;
        if (!readBaseUID(app, base)) return -1;
        // Bit 1 selects the extra component, which genUID does not have.
        UidParts parts{app,     obj,    static_cast<uint8_t>(uidFlags & ~1u), suffix, nullptr, nullptr,
                       nullptr, nullptr};
        composeUID(parts, base, uid);
        return 0;
    } catch (...) {
        uid[0] = '\0';
        return -1;
    }
}

}  // extern "C"
