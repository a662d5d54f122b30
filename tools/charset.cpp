// Text values to UTF-8 by the data set's Specific Character Set: the single-byte character sets,
// ISO 2022 code extensions switched by escape sequences, GB18030, GBK and UTF-8, through iconv.
#include "charset.h"

#include <iconv.h>

#include <cerrno>
#include <cstring>

namespace velmar::cli {

enum class CharsetKind {
    kAscii,       // G0: ASCII
    kHighSingle,  // G1: one byte from 0x80 up
    kLowPairs,    // G0: two bytes of 0x21-0x7E (a 94 x 94 set)
    kHighPairs,   // G1: two bytes of 0xA1-0xFE (a 94 x 94 set)
    kWhole,       // the whole value in one encoding, no code extensions
};

// One character set a Defined Term names: how its bytes are coded and what iconv calls it.
struct CharacterSet {
    const char *term;       // without code extensions, or nullptr
    const char *extension;  // the term with code extensions ("ISO 2022 IR n"), or nullptr
    const char *iconvName;  // nullptr: ASCII
    const char *escape;     // the escape sequence that designates it
    CharsetKind kind;
    unsigned char prefix;  // a byte before each EUC pair (JIS X 0212), or 0
};

namespace {

constexpr const char *kReplacement = "\xEF\xBF\xBD";  // U+FFFD
constexpr unsigned char kEscape = 0x1B;

constexpr CharacterSet kSets[] = {
    {"ISO_IR 6", "ISO 2022 IR 6", nullptr, "\x1B(B", CharsetKind::kAscii, 0},
    {"ISO_IR 100", "ISO 2022 IR 100", "ISO-8859-1", "\x1B-A", CharsetKind::kHighSingle, 0},
    {"ISO_IR 101", "ISO 2022 IR 101", "ISO-8859-2", "\x1B-B", CharsetKind::kHighSingle, 0},
    {"ISO_IR 109", "ISO 2022 IR 109", "ISO-8859-3", "\x1B-C", CharsetKind::kHighSingle, 0},
    {"ISO_IR 110", "ISO 2022 IR 110", "ISO-8859-4", "\x1B-D", CharsetKind::kHighSingle, 0},
    {"ISO_IR 144", "ISO 2022 IR 144", "ISO-8859-5", "\x1B-L", CharsetKind::kHighSingle, 0},
    {"ISO_IR 127", "ISO 2022 IR 127", "ISO-8859-6", "\x1B-G", CharsetKind::kHighSingle, 0},
    {"ISO_IR 126", "ISO 2022 IR 126", "ISO-8859-7", "\x1B-F", CharsetKind::kHighSingle, 0},
    {"ISO_IR 138", "ISO 2022 IR 138", "ISO-8859-8", "\x1B-H", CharsetKind::kHighSingle, 0},
    {"ISO_IR 148", "ISO 2022 IR 148", "ISO-8859-9", "\x1B-M", CharsetKind::kHighSingle, 0},
    {"ISO_IR 203", "ISO 2022 IR 203", "ISO-8859-15", "\x1B-b", CharsetKind::kHighSingle, 0},
    {"ISO_IR 166", "ISO 2022 IR 166", "TIS-620", "\x1B-T", CharsetKind::kHighSingle, 0},
    {"ISO_IR 13", "ISO 2022 IR 13", "JIS_X0201", "\x1B)I", CharsetKind::kHighSingle, 0},
    {nullptr, "ISO 2022 IR 87", "EUC-JP", "\x1B$B", CharsetKind::kLowPairs, 0},
    {nullptr, "ISO 2022 IR 159", "EUC-JP", "\x1B$(D", CharsetKind::kLowPairs, 0x8F},
    {nullptr, "ISO 2022 IR 149", "EUC-KR", "\x1B$)C", CharsetKind::kHighPairs, 0},
    {nullptr, "ISO 2022 IR 58", "GB2312", "\x1B$)A", CharsetKind::kHighPairs, 0},
    {"ISO_IR 192", nullptr, "UTF-8", nullptr, CharsetKind::kWhole, 0},
    {"GB18030", nullptr, "GB18030", nullptr, CharsetKind::kWhole, 0},
    {"GBK", nullptr, "GBK", nullptr, CharsetKind::kWhole, 0},
};

constexpr const CharacterSet &kAscii = kSets[0];

std::string trimmed(const std::string &text) {
    size_t begin = text.find_first_not_of(' ');
    if (begin == std::string::npos) return "";
    return text.substr(begin, text.find_last_not_of(' ') - begin + 1);
}

const CharacterSet *setForTerm(const std::string &term) {
    if (term.empty()) return &kAscii;
    for (const CharacterSet &set : kSets)
        if ((set.term != nullptr && term == set.term) || (set.extension != nullptr && term == set.extension))
            return &set;
    return nullptr;
}

}  // namespace

TextDecoder::TextDecoder(const std::string &specificCharacterSet) {
    size_t begin = 0;
    for (;;) {
        size_t end = specificCharacterSet.find('\\', begin);
        std::string term =
            trimmed(specificCharacterSet.substr(begin, end == std::string::npos ? end : end - begin));
        const CharacterSet *set = setForTerm(term);
        if (set == nullptr)
            unknown_ += (unknown_.empty() ? "" : ", ") + term;
        else if (begin == 0)
            first_ = set;
        if (end == std::string::npos) break;
        begin = end + 1;
    }
    if (first_ == nullptr) first_ = &kAscii;
}

TextDecoder::~TextDecoder() {
    for (auto &[name, converter] : converters_) iconv_close(static_cast<iconv_t>(converter));
}

void *TextDecoder::converter(const char *name) {
    auto found = converters_.find(name);
    if (found != converters_.end()) return found->second;
    iconv_t made = iconv_open("UTF-8", name);
    void *kept = made == reinterpret_cast<iconv_t>(-1) ? nullptr : static_cast<void *>(made);
    converters_[name] = kept;
    return kept;
}

// Converts bytes of one coded character set; what cannot be converted becomes U+FFFD.
void TextDecoder::convert(const char *name, const std::string &bytes, std::string &out) {
    void *handle = converter(name);
    if (handle == nullptr) {
        replace(out, bytes.size());
        return;
    }
    auto *cd = static_cast<iconv_t>(handle);
    iconv(cd, nullptr, nullptr, nullptr, nullptr);
    std::string input = bytes;
    char *in = input.data();
    size_t left = input.size();
    while (left > 0) {
        char buffer[256];
        char *to = buffer;
        size_t room = sizeof buffer;
        size_t done = iconv(cd, &in, &left, &to, &room);
        out.append(buffer, static_cast<size_t>(to - buffer));
        if (done != static_cast<size_t>(-1) || errno == E2BIG) continue;
        // An invalid or incomplete sequence: one replacement, then on after its first byte.
        replace(out, 1);
        ++in;
        --left;
        iconv(cd, nullptr, nullptr, nullptr, nullptr);
    }
}

void TextDecoder::replace(std::string &out, size_t count) {
    for (size_t i = 0; i < count; ++i) out += kReplacement;
    undecodable_ = true;
}

std::string TextDecoder::toUTF8(const std::string &bytes, bool personName) {
    if (first_->kind == CharsetKind::kWhole) {
        std::string out;
        convert(first_->iconvName, bytes, out);
        return out;
    }
    return decodeExtended(bytes, personName);
}

namespace {

// Matches an escape sequence at `at`; the set it designates, or nullptr.
const CharacterSet *matchEscape(const std::string &bytes, size_t at, size_t &length) {
    for (const auto &set : kSets) {
        if (set.escape == nullptr) continue;
        size_t n = std::strlen(set.escape);
        if (bytes.compare(at, n, set.escape) == 0) {
            length = n;
            return &set;
        }
    }
    return nullptr;
}

}  // namespace

std::string TextDecoder::decodeExtended(const std::string &bytes, bool personName) {
    const CharacterSet *initialHigh = first_->kind == CharsetKind::kAscii ? nullptr : first_;
    const CharacterSet *low = &kAscii;
    const CharacterSet *high = initialHigh;
    std::string out;
    for (size_t i = 0; i < bytes.size();) {
        auto c = static_cast<unsigned char>(bytes[i]);
        if (c == kEscape) {
            size_t length = 0;
            const CharacterSet *set = matchEscape(bytes, i, length);
            if (set == nullptr) {
                replace(out, 1);
                ++i;
                continue;
            }
            if (set->kind == CharsetKind::kAscii || set->kind == CharsetKind::kLowPairs)
                low = set;
            else
                high = set;
            i += length;
            continue;
        }
        if (c < 0x80 && low->kind == CharsetKind::kLowPairs) {
            i += pair(*low, bytes, i, 0x21, 0x7E, out);
            continue;
        }
        if (c < 0x80) {
            out += static_cast<char>(c);
            // Delimiters return to the initial designations.
            if (std::strchr("\\\r\n\f\t", c) != nullptr || (personName && (c == '^' || c == '='))) {
                low = &kAscii;
                high = initialHigh;
            }
            ++i;
            continue;
        }
        if (high != nullptr && high->kind == CharsetKind::kHighPairs) {
            i += pair(*high, bytes, i, 0xA1, 0xFE, out);
            continue;
        }
        if (high != nullptr)
            convert(high->iconvName, std::string(1, static_cast<char>(c)), out);
        else
            replace(out, 1);
        ++i;
    }
    return out;
}

// One two-byte character at `at` of a 94 x 94 set, converted through its EUC form; the bytes used.
size_t TextDecoder::pair(const CharacterSet &set, const std::string &bytes, size_t at, unsigned char lowest,
                         unsigned char highest, std::string &out) {
    auto inRange = [&](size_t k) {
        if (k >= bytes.size()) return false;
        auto b = static_cast<unsigned char>(bytes[k]);
        return b >= lowest && b <= highest;
    };
    if (!inRange(at) || !inRange(at + 1)) {
        replace(out, 1);
        return 1;
    }
    std::string euc;
    if (set.prefix != 0) euc += static_cast<char>(set.prefix);
    euc += static_cast<char>(bytes[at] | 0x80);
    euc += static_cast<char>(bytes[at + 1] | 0x80);
    convert(set.iconvName, euc, out);
    return 2;
}

}  // namespace velmar::cli
