// Definition-file scanner: the lexical layer of every definition file (blanks, comments, quoted
// strings, numbers, character values, punctuation) and the loaders' common error protocol.
#include "defs/parsedef.h"

#include <algorithm>
#include <array>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "support/regularfile.h"
#include "velmar/support.h"

namespace velmar::defs {
namespace {

// Makes chunk[pos] a character to look at: reads pieces until one is there. False at end.
// A piece that begins with a zero byte holds nothing readable and is skipped.
bool refill(DefScanner *s) {
    while (s->chunk[s->pos] == '\0') {
        s->pos = 0;
        if (std::fgets(s->chunk, kChunkSize, s->file) == nullptr) {
            s->chunk[0] = '\0';
            return false;
        }
        s->line = s->nextLine;
        size_t n = std::strlen(s->chunk);
        if (n > 0 && s->chunk[n - 1] == '\n') ++s->nextLine;
    }
    return true;
}

unsigned char current(const DefScanner *s) {
    return static_cast<unsigned char>(s->chunk[s->pos]);
}

// Drops the rest of the current piece; the next primitive reads the following one.
void discardChunk(DefScanner *s) {
    s->chunk[0] = '\0';
    s->pos = 0;
}

// A scanf bracket set ("[abc]", "[^abc]", ranges "a-z", "]" first taken literally) as a table.
using CharSet = std::array<bool, 256>;

CharSet parseSet(const char *set) {
    CharSet members{};
    const char *p = set;
    if (*p == '[') ++p;
    bool negate = false;
    if (*p == '^') {
        negate = true;
        ++p;
    }
    bool first = true;
    for (; *p != '\0' && (first || *p != ']'); ++p, first = false) {
        auto low = static_cast<unsigned char>(*p);
        if (p[1] == '-' && p[2] != '\0' && p[2] != ']') {
            auto high = static_cast<unsigned char>(p[2]);
            for (unsigned c = low; c <= high; ++c) members[c] = true;
            p += 2;
        } else {
            members[low] = true;
        }
    }
    if (negate)
        for (bool &m : members) m = !m;
    members[0] = false;  // the terminator never belongs to a run
    return members;
}

bool isBlankChar(unsigned char c) {
    return c == ' ' || c == '\t' || c == '\f' || c == '\v' || c == '\n' || c == '\r';
}

int hexDigit(unsigned char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// The table of a set: the few sets the loaders use are built once per thread, not per call
// (building a table per token made loading cost a table per blank run).
const CharSet &setTable(const char *set) {
    struct Cached {
        const char *pointer;
        std::string text;
        CharSet members;
    };
    static const CharSet blanks = parseSet(kBlankSet);
    if (set == kBlankSet) return blanks;
    thread_local std::vector<Cached> cache;
    for (const Cached &c : cache)
        if (c.pointer == set || c.text == set) return c.members;
    if (cache.size() >= 8) cache.clear();
    cache.push_back({set, set, parseSet(set)});
    return cache.back().members;
}

}  // namespace

DefScanner *scanOpen(FILE *file) {
    auto *s = static_cast<DefScanner *>(std::malloc(sizeof(DefScanner)));
    if (s == nullptr) return nullptr;
    s->file = file;
    s->chunk[0] = '\0';
    s->pos = 0;
    s->line = 0;
    s->nextLine = 1;
    return s;
}

int16_t scanSkipSet(DefScanner *s, const char *set) {
    const CharSet &members = setTable(set);
    for (;;) {
        if (!refill(s)) return -1;
        int32_t start = s->pos;
        while (members[current(s)]) ++s->pos;
        if (s->pos == start) return 0;
        // The run may go on in the next piece: loop (the refill reads it when this one is used up).
    }
}

int16_t scanPeek(DefScanner *s) {
    if (!refill(s)) return -1;
    return current(s);
}

int16_t scanAccept(DefScanner *s, char c) {
    if (!refill(s)) return -1;
    unsigned char next = current(s);
    if (next == static_cast<unsigned char>(c)) ++s->pos;
    return next;
}

// Blanks, and comments from '#' to the line end, in one pass: every token of every record
// starts here, so this is the loaders' innermost loop.
int16_t scanSkipBlank(DefScanner *s) {
    for (;;) {
        if (!refill(s)) return -1;
        unsigned char c = current(s);
        if (isBlankChar(c)) {
            ++s->pos;
        } else if (c == '#') {
            ++s->pos;
            for (;;) {
                if (!refill(s)) return -1;
                c = current(s);
                if (c == '\n' || c == '\r') break;
                ++s->pos;
            }
        } else {
            return 1;
        }
    }
}

int16_t scanGetChar(DefScanner *s) {
    if (!refill(s)) return -1;
    unsigned char c = current(s);
    if (c == '\0') return -1;
    ++s->pos;
    return c;
}

int16_t scanString(DefScanner *s, char *dest, int16_t limit) {
    dest[0] = '\0';
    if (!refill(s)) return -1;
    int16_t r = scanAccept(s, '"');
    if (r < 0) return -1;
    if (r != '"') return 0;
    int32_t n = 0;
    for (;;) {
        if (!refill(s)) return -1;
        if (current(s) == '"') {
            ++s->pos;
            return 1;
        }
        // Take the characters up to the next quote or the end of the piece, within the limit.
        int32_t room = limit - n;
        if (room <= 0) return 0;  // longer than the limit
        const char *from = s->chunk + s->pos;
        // The piece is terminated, so the search for the quote stops at its end at the latest.
        auto count = static_cast<int32_t>(std::min<size_t>(std::strcspn(from, "\""), static_cast<size_t>(room)));
        std::memcpy(dest + n, from, static_cast<size_t>(count));
        n += count;
        dest[n] = '\0';
        s->pos += count;
    }
}

int16_t scanBlankString(DefScanner *s, char *dest, int16_t limit) {
    if (scanSkipBlank(s) < 0) {
        dest[0] = '\0';
        return -1;
    }
    return scanString(s, dest, limit);
}

int16_t scanShort(DefScanner *s, int16_t *value) {
    *value = 0;
    if (!refill(s)) return -1;
    int32_t p = s->pos;
    while (isBlankChar(static_cast<unsigned char>(s->chunk[p]))) ++p;
    if (s->chunk[p] == '\0') {
        // Only blanks were left in the piece: nothing to convert, as at the end of input.
        s->pos = p;
        return -1;
    }
    bool negative = false;
    if (s->chunk[p] == '+' || s->chunk[p] == '-') negative = s->chunk[p++] == '-';
    int32_t number = 0;
    int32_t digits = 0;
    bool tooLarge = false;
    while (s->chunk[p] >= '0' && s->chunk[p] <= '9') {
        if (!tooLarge) number = number * 10 + (s->chunk[p] - '0');
        if (number > 32768) tooLarge = true;
        ++p;
        ++digits;
    }
    if (negative) number = -number;
    // A number outside the 16-bit range is not a short integer (it would be stored wrapped).
    if (digits == 0 || tooLarge || number > INT16_MAX || number < INT16_MIN) {
        discardChunk(s);
        return 0;
    }
    *value = static_cast<int16_t>(number);
    s->pos = p;
    return 1;
}

int16_t scanBlankShort(DefScanner *s, int16_t *value) {
    *value = 0;
    if (scanSkipBlank(s) < 0) return -1;
    return scanShort(s, value);
}

int16_t scanHex(DefScanner *s, uint32_t *value) {
    *value = 0;
    if (!refill(s)) return -1;
    const char *text = s->chunk + s->pos;
    if (text[0] != '0' || text[1] != 'x') {
        discardChunk(s);
        return 0;
    }
    int32_t p = 2;
    uint64_t number = 0;
    int digit = 0;
    while ((digit = hexDigit(static_cast<unsigned char>(text[p]))) >= 0) {
        number = (number << 4) | static_cast<uint64_t>(digit);
        if (number > 0xFFFFFFFFu) break;  // more than 32 bits: not a tag
        ++p;
    }
    if (p == 2 || number > 0xFFFFFFFFu) {
        discardChunk(s);
        return 0;
    }
    *value = static_cast<uint32_t>(number);
    s->pos += p;
    return 1;
}

int16_t scanBlankHex(DefScanner *s, uint32_t *value) {
    *value = 0;
    if (scanSkipBlank(s) < 0) return -1;
    return scanHex(s, value);
}

int16_t scanExpect(DefScanner *s, char c) {
    if (!refill(s)) return -1;
    if (current(s) != static_cast<unsigned char>(c)) return 0;
    ++s->pos;
    return 1;
}

int16_t scanBlankExpect(DefScanner *s, char c) {
    if (scanSkipBlank(s) < 0) return -1;
    return scanExpect(s, c);
}

void FileCloser::operator()(FILE *file) const {
    if (file != nullptr) std::fclose(file);
}

void ScannerFree::operator()(DefScanner *scanner) const {
    D_Free(&scanner);
}

DefFilePtr openDefFile(const char *path) {
    if (path == nullptr || path[0] == '\0') return DefFilePtr();
    return DefFilePtr(velmar::support::fopenRegularFile(path, "r"));
}

bool resolveDefFile(AppData *app, const char *name, char *path) {
    path[0] = '\0';
    if (app == nullptr || app->findDefFile == nullptr) return false;
    app->findDefFile(name, path, kDefPathSize);
    path[kDefPathSize - 1] = '\0';
    return path[0] != '\0';
}

void logLoading(AppData *app, const char *what, bool primary, const char *path) {
    if (app == nullptr) return;
    char line[kDefMessageSize];
    std::snprintf(line, sizeof line, "Loading %s DICOM %s definition file %s",
                  primary ? "primary" : "secondary", what, path);
    log_message(app->log, line, 3);
}

void DefMessage::set(const char *text) {
    if (!empty()) return;
    std::snprintf(text_, sizeof text_, "%s", text);
    place();
}

void DefMessage::format(const char *fmt, ...) {
    if (!empty()) return;
    va_list args;
    va_start(args, fmt);
    std::vsnprintf(text_, sizeof text_, fmt, args);
    va_end(args);
    place();
}

void checkExtraInput(DefScanner *s, DefMessage &message) {
    if (message.empty() && scanSkipBlank(s) != -1) message.set(kMsgExtraInput);
}

int16_t reportDefMessage(AppData *app, const DefMessage &message) {
    if (message.empty()) return 0;
    char line[kDefMessageSize + 1];  // cut by the log to its line limit
    if (message.path() != nullptr)
        std::snprintf(line, sizeof line, "%s (%s, line %d).", message.text(), message.path(),
                      static_cast<int>(message.line()));
    else
        std::snprintf(line, sizeof line, "%s.", message.text());
    log_message(app != nullptr ? app->log : nullptr, line, 1);
    return -1;
}

}  // namespace velmar::defs
