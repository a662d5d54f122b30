// Interfile internals shared by the two scanners, the two parsers and the key store: the
// per-load parse contexts, the scanner failure exception and key-store helpers.
#ifndef VELMAR_INTERFILE_INTERNAL_H
#define VELMAR_INTERFILE_INTERNAL_H

#include <cstdint>
#include <cstring>
#include <memory>
#include <deque>
#include <stdexcept>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "support/dstrindex.h"
#include "velmar/interfile.h"

namespace velmar::interfile {

// Thrown by the scanners' YY_FATAL_ERROR (buffer or memory failure inside flex) and caught at
// the exported entry points, so a broken input never ends the process.
struct ScannerFailure : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// Texts and value lists that the scanner and the parser hand around as semantic values. The
// context owns them, so an aborted parse (syntax error, refused limit, scanner failure)
// leaks nothing.
class TextArena {
public:
    const char *keep(std::string_view text) {
        size_t need = text.size() + 1;
        if (need > room_) grow(need);
        char *at = next_;
        if (!text.empty()) std::memcpy(at, text.data(), text.size());
        at[text.size()] = '\0';
        next_ += need;
        room_ -= need;
        return at;
    }
    std::vector<const char *> *newList() {
        lists_.emplace_back();
        return &lists_.back();
    }

private:
    // Texts are packed into chunks: a header of thousands of lines costs a handful of
    // allocations, not one per token.
    static constexpr size_t kChunkSize = 64u << 10;
    void grow(size_t need) {
        size_t size = need > kChunkSize ? need : kChunkSize;
        chunks_.emplace_back(new char[size]);
        next_ = chunks_.back().get();
        room_ = size;
    }
    std::vector<std::unique_ptr<char[]>> chunks_;
    char *next_ = nullptr;
    size_t room_ = 0;
    std::deque<std::vector<const char *>> lists_;
};

// Position counting shared by both scanners: lines and columns are 0-based; a newline
// sequence moves to the next line, any other match moves the column by its length. The
// counters are 16-bit (they wrap on very long files, which only affects messages).
inline void advanceColumn(int16_t &column, size_t length) {
    column = static_cast<int16_t>(static_cast<uint16_t>(column) + static_cast<uint16_t>(length));
}
inline void nextLine(int16_t &line, int16_t &column) {
    line = static_cast<int16_t>(static_cast<uint16_t>(line) + 1u);
    column = 0;
}

// One load of interfil.def: the public parse state plus what the generated code needs.
struct DefContext {
    DefParseState state{};
    TextArena arena;
    void *scanner = nullptr;
    bool failed = false;     // a limit was refused or a key could not be stored
    // Logs a refused limit at level 1 and marks the load failed.
    void logError(const char *text);
};

// A map from texts that is searched with a string_view, so that a lookup builds no string.
struct TextHash {
    using is_transparent = void;
    size_t operator()(std::string_view text) const { return std::hash<std::string_view>()(text); }
};
template <typename T>
using NameMap = std::unordered_map<std::string, T, TextHash, std::equal_to<>>;

// One read of a header.
struct HeaderContext {
    InterfileHeader *header = nullptr;
    IAppData *iapp = nullptr;
    int32_t line = 0;  // 32-bit: a long header must not wrap the positions of its messages
    int32_t column = 0;
    const char *badLineReason = nullptr;  // what the last line without a grammar rule lacked
    int32_t badLineColumn = 0;
    bool tokenOnLine = false;    // a token other than EOL came from the current line
    bool lineHasAssign = false;  // the current line was found to hold ":=" after stray text
    TextArena arena;
    void *scanner = nullptr;
    // Key numbers of the names met so far, as written: a header repeats the same few names in
    // every group, so each is normalized and looked up once.
    NameMap<int16_t> keysByName;
};

// Intermediate key reference built by the header grammar.
struct KeyRef {
    const char *name;
    int16_t index;           // -1 without index
    int16_t key;             // the key's number in the definition, 0 when unknown
};

// Definition-parser actions (ifd.y).
// beginBlock is false (and logged) when the blocks would nest deeper than the stack allows.
bool beginBlock(DefContext &ctx, int32_t type);
void startBlock(DefContext &ctx, int32_t type, const char *name, const char *text);
void endBlock(DefContext &ctx, int32_t type, const char *name);
void defineKey(DefContext &ctx, const char *name, int32_t indexKind, int32_t valueType,
               const char *defaultValue, const std::vector<const char *> *values);
// The name used for an indexed definition or header key: the dimension keys "matrix size" and
// "scaling factor (mm/pixel)" become "<name>[<index>]"; nullptr for any other key.
const char *dimensionKeyName(TextArena &arena, const char *name, const char *index);

// Header-parser actions (if.y).
KeyRef headerKeyRef(HeaderContext &ctx, const char *name, const char *index);
void headerKeyLine(HeaderContext &ctx, const KeyRef &ref, const char *value);

// Writes "parse error" / "parser stack overflow" to standard error and logs it at level 1.
void reportSyntaxError(Log *log, const char *bisonMessage);
// Logs one level-1 message for a syntax error in a header: file, 1-based line and position,
// what was expected and the text of the line.
void reportHeaderSyntaxError(const HeaderContext &ctx, const char *bisonMessage);
// Writes a flex failure to standard error with a line end and logs it at level 1.
[[noreturn]] void scannerFailure(Log *log, const char *message);

// Normalizes a key name; false when the normalized form exceeds VELMAR_IF_NAME_MAX.
bool normalizeKey(const char *name, std::string &out);
// Writes the normalized form of `name` into `out`, at most `capacity` characters and no
// terminator, and returns its whole length (which exceeds `capacity` when it did not fit).
size_t normalizeInto(const char *name, char *out, size_t capacity);
// Key number of a normalized name in the definition, 0 when absent.
int16_t lookupKey(const InterfileDef *def, const std::string &normName);
// Formats and logs one message (the text is cut to the log line length).
void logf(Log *log, int16_t level, const char *format, ...) __attribute__((format(printf, 3, 4)));

}  // namespace velmar::interfile

// The key store's index of one header, so that reading and writing a value costs constant time
// on average whatever the number of groups: key numbers by normalized name, the key nodes of
// each key under each parent in sibling order, and the first node the node search finds per
// key. Appended group copies hold only keys of the first group, under the same conditions, so
// they leave every result of the node search as it was; a write to a key that an IF block tests may change
// which blocks are active, so it drops the found first nodes.
struct KeyStoreIndex {
    struct Siblings {
        const KeyNode *parent;
        int16_t key;
        bool operator==(const Siblings &other) const { return parent == other.parent && key == other.key; }
    };
    struct SiblingsHash {
        size_t operator()(const Siblings &s) const {
            return std::hash<const void *>()(s.parent) * 131u + static_cast<uint16_t>(s.key);
        }
    };
    velmar::interfile::NameMap<int16_t> keyNumbers;
    std::unordered_map<Siblings, std::vector<KeyNode *>, SiblingsHash> siblings;
    std::vector<KeyNode *> first;       // per key: the node search's result, when known
    std::vector<uint8_t> firstKnown;    // per key: `first` holds the current result
    std::vector<uint8_t> conditionKey;  // per key: some IF block tests this key
    // Parents that received group copies: the first copy appended to each.
    std::unordered_map<const KeyNode *, const KeyNode *> copiesStart;
    // Places the stored values in the header's string buffer without a scan over its blocks.
    velmar::support::DStringIndex strings;
};

#endif
