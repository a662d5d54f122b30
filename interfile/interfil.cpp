// Interfile key store and header check: the library context, key definitions and the block
// tree built from interfil.def, headers as copies of that tree, value access and the check.
#include <algorithm>
#include <array>
#include <cctype>
#include <cstdarg>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include <strings.h>

#include "interfile/internal.h"

// Callers and the converters compile against these records: keep their field order.
static_assert(offsetof(IAppData, appName) == 0 &&
              offsetof(IAppData, appVersion) > offsetof(IAppData, appName) &&
              offsetof(IAppData, findFile) > offsetof(IAppData, appVersion) &&
              offsetof(IAppData, log) > offsetof(IAppData, findFile) &&
              offsetof(IAppData, definition) > offsetof(IAppData, log));
static_assert(offsetof(InterfileHeader, fileName) == 0 &&
              offsetof(InterfileHeader, strings) < offsetof(InterfileHeader, root) &&
              offsetof(InterfileHeader, current) > offsetof(InterfileHeader, root) &&
              offsetof(InterfileHeader, definition) > offsetof(InterfileHeader, current) &&
              offsetof(InterfileHeader, groupStarted) > offsetof(InterfileHeader, definition));
static_assert(sizeof(InterfileDef::keys) / sizeof(KeyDef) == VELMAR_IF_MAX_KEYS + 1);

namespace velmar::interfile {

void logf(Log *log, int16_t level, const char *format, ...) {
    if (log == nullptr) return;
    char line[VELMAR_LOG_LINE_MAX + 1];
    va_list args;
    va_start(args, format);
    std::vsnprintf(line, sizeof line, format, args);
    va_end(args);
    log_message(log, line, level);
}

void reportSyntaxError(Log *log, const char *bisonMessage) {
    // bison reports stack exhaustion as "memory exhausted"; every other error is a syntax error.
    const char *text = std::strcmp(bisonMessage, "memory exhausted") == 0 ? "parser stack overflow"
                                                                          : "parse error";
    std::fputs(text, stderr);
    std::fflush(stderr);
    log_message(log, text, 1);
}

namespace {

// The text of a 0-based line of a file under the headers' line ends ("\n", "\r", "\r\n",
// "\n\r"), cut to what a log line can show; empty when the file cannot be read again.
std::string lineOfFile(const char *path, int32_t wanted) {
    std::unique_ptr<FILE, int (*)(FILE *)> file(std::fopen(path, "rb"), std::fclose);
    if (!file) return "";
    std::string text;
    int32_t line = 0;
    int c = 0;
    while ((c = std::fgetc(file.get())) != EOF && line <= wanted) {
        if (c == '\n' || c == '\r') {
            int next = std::fgetc(file.get());
            bool pair = (next == '\n' || next == '\r') && next != c;
            if (!pair && next != EOF) std::ungetc(next, file.get());
            ++line;
        } else if (line == wanted && text.size() < 200) {
            text += static_cast<char>(c);
        }
    }
    return text;
}

}  // namespace

void reportHeaderSyntaxError(const HeaderContext &ctx, const char *bisonMessage) {
    if (std::strcmp(bisonMessage, "memory exhausted") == 0) {
        log_message(ctx.iapp->log, "parser stack overflow", 1);
        return;
    }
    const char *file = ctx.header != nullptr && ctx.header->fileName != nullptr ? ctx.header->fileName : "";
    if (ctx.badLineReason != nullptr)
        logf(ctx.iapp->log, 1, "parse error in %s at line %d pos %d: %s: %s", file, ctx.line + 1,
             ctx.badLineColumn + 1, ctx.badLineReason, lineOfFile(file, ctx.line).c_str());
    else
        logf(ctx.iapp->log, 1, "parse error in %s at line %d pos %d: a key line was expected: %s", file,
             ctx.line + 1, ctx.column + 1, lineOfFile(file, ctx.line).c_str());
}

void scannerFailure(Log *log, const char *message) {
    std::fprintf(stderr, "%s\n", message);
    std::fflush(stderr);
    log_message(log, message, 1);
    throw ScannerFailure(message);
}

void DefContext::logError(const char *text) {
    logf(state.iapp->log, 1, "%s", text);
    failed = true;
}

namespace {

// Runs an exported function's body; an exception (only bad_alloc can arise) becomes the
// function's failure result, so none crosses the C boundary.
template <typename T, typename Body>
T guarded(T failure, Body &&body) noexcept {
    try {
        return body();
    } catch (...) {
        return failure;
    }
}

// What each character becomes in a normalized key name: letters upper-cased, digits and
// "/()\\-%[]" kept, anything else dropped (0).
constexpr std::array<char, 256> makeKeyChars() {
    std::array<char, 256> table{};
    for (int c = 'A'; c <= 'Z'; ++c) table[static_cast<size_t>(c)] = static_cast<char>(c);
    for (int c = 'a'; c <= 'z'; ++c) table[static_cast<size_t>(c)] = static_cast<char>(c - 'a' + 'A');
    for (int c = '0'; c <= '9'; ++c) table[static_cast<size_t>(c)] = static_cast<char>(c);
    for (char c : std::string_view("/()\\-%[]")) table[static_cast<unsigned char>(c)] = c;
    return table;
}
constexpr std::array<char, 256> kKeyChars = makeKeyChars();

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(a[i])) !=
            std::tolower(static_cast<unsigned char>(b[i])))
            return false;
    return true;
}

std::string normalized(const char *name) {
    std::string out;
    normalizeKey(name, out);
    return out;
}

// The value of a node in a copied group that the header has not given. The check counts such a
// node as present, so that a key the first group lacks is not reported again for every copy;
// the getters and IF conditions count it as holding no value, so that the key's default applies
// in that group as in the first. Nothing is ever written through it.
char copiedSlot[1] = "";

bool hasValue(const KeyNode *node) { return node->value != nullptr && node->value != copiedSlot; }

bool isKeyNode(const KeyNode *node, int16_t key) {
    return node->kind == VELMAR_IF_NODE_KEY && node->key == key;
}

const KeyDef *keyDef(const InterfileDef *def, int16_t key) {
    if (def == nullptr || key < 1 || key > def->keyCount) return nullptr;
    return &def->keys[key];
}

void appendChild(KeyNode *parent, KeyNode *node) {
    node->parent = parent;
    node->prev = parent->lastChild;
    node->next = nullptr;
    if (parent->lastChild != nullptr) parent->lastChild->next = node;
    else parent->firstChild = node;
    parent->lastChild = node;
}

void freeChildren(KeyNode *node) {
    KeyNode *child = node->firstChild;
    while (child != nullptr) {
        KeyNode *next = child->next;
        freeChildren(child);
        std::free(child);
        child = next;
    }
    node->firstChild = node->lastChild = nullptr;
}

size_t subtreeSize(const KeyNode *node) {
    size_t size = 1;
    for (const KeyNode *child = node->firstChild; child != nullptr; child = child->next)
        size += subtreeSize(child);
    return size;
}

// Node search over a header's (or the definition's) tree. IF conditions are evaluated at each
// search with a search of their own from the root; an IF met again while its own condition
// is being evaluated counts as not holding, so a definition whose condition key lies inside
// its own block cannot recurse without end.
//
// Group copies repeat the first group of their parent with the same keys and the same IF
// conditions, so a key that the walk does not find before the copies begin is not in them
// either: with the index's record of where copies begin, the walk stops there.
class NodeSearch {
public:
    explicit NodeSearch(const KeyNode *root, const KeyStoreIndex *index = nullptr)
        : root_(root), index_(index) {}

    KeyNode *find(int16_t key) { return findIn(root_->firstChild, key); }

private:
    static constexpr size_t kMaxConditionDepth = 32;

    const KeyNode *copiesOf(const KeyNode *parent) const {
        if (index_ == nullptr || parent == nullptr) return nullptr;
        auto found = index_->copiesStart.find(parent);
        return found != index_->copiesStart.end() ? found->second : nullptr;
    }

    KeyNode *findIn(KeyNode *node, int16_t key) {
        const KeyNode *copies = node != nullptr ? copiesOf(node->parent) : nullptr;
        for (; node != nullptr && node != copies; node = node->next) {
            KeyNode *found = nullptr;
            if (node->kind == VELMAR_IF_NODE_KEY) {
                if (node->key == key) return node;
                if (node->firstChild != nullptr) found = findIn(node->firstChild, key);
            } else if (node->kind == VELMAR_IF_NODE_IF) {
                if (holds(node)) found = findIn(node->firstChild, key);
            } else if (node->kind == VELMAR_IF_NODE_FOR) {
                found = findIn(node->firstChild, key);
            }
            if (found != nullptr) return found;
        }
        return nullptr;
    }

    bool holds(const KeyNode *block) {
        if (block->key == 0 || block->value == nullptr) return false;
        for (const KeyNode *open : evaluating_)
            if (open == block) return false;
        if (evaluating_.size() >= kMaxConditionDepth) return false;
        evaluating_.push_back(block);
        const KeyNode *condition = findIn(root_->firstChild, block->key);
        evaluating_.pop_back();
        if (condition == nullptr || !hasValue(condition)) return false;
        std::string_view value(condition->value);
        std::string_view alternatives(block->value);
        for (;;) {
            size_t bar = alternatives.find('|');
            std::string_view alternative = alternatives.substr(0, bar);
            if (alternative.size() >= 2 && alternative.front() == '"' && alternative.back() == '"')
                alternative = alternative.substr(1, alternative.size() - 2);
            if (equalsIgnoringCase(alternative, value)) return true;
            if (bar == std::string_view::npos) return false;
            alternatives.remove_prefix(bar + 1);
        }
    }

    const KeyNode *root_;
    const KeyStoreIndex *index_;
    std::vector<const KeyNode *> evaluating_;
};

// ---- Key store index ----------------------------------------------------------------------

// Adds a node and its subtree to the index (nodes appended after the ones already indexed).
void indexSubtree(KeyStoreIndex &index, KeyNode *node) {
    if (node->kind == VELMAR_IF_NODE_KEY)
        index.siblings[KeyStoreIndex::Siblings{node->parent, node->key}].push_back(node);
    else if (node->kind == VELMAR_IF_NODE_IF && node->key > 0 &&
             static_cast<size_t>(node->key) < index.conditionKey.size())
        index.conditionKey[node->key] = 1;
    for (KeyNode *child = node->firstChild; child != nullptr; child = child->next) indexSubtree(index, child);
}

KeyStoreIndex *buildIndex(const InterfileHeader *header) {
    auto index = std::make_unique<KeyStoreIndex>();
    const InterfileDef *def = header->definition;
    size_t keys = static_cast<size_t>(def != nullptr ? def->keyCount : 0) + 1;
    index->first.assign(keys, nullptr);
    index->firstKnown.assign(keys, 0);
    index->conditionKey.assign(keys, 0);
    for (int16_t key = 1; def != nullptr && key <= def->keyCount; ++key)
        index->keyNumbers.emplace(def->keys[key].normName, key);  // the first equal row wins
    for (KeyNode *child = header->root.firstChild; child != nullptr; child = child->next)
        indexSubtree(*index, child);
    return index.release();
}

// The header's index, built at its first use. It is a cache of the tree: the getters, which take
// the header as const, may fill it.
KeyStoreIndex &indexOf(const InterfileHeader *header) {
    auto *mutableHeader = const_cast<InterfileHeader *>(header);
    if (mutableHeader->index == nullptr) mutableHeader->index = buildIndex(header);
    return *mutableHeader->index;
}

// First node of `key` by the node search from the root (see NodeSearch), remembered.
KeyNode *firstNode(const InterfileHeader *header, int16_t key) {
    KeyStoreIndex &index = indexOf(header);
    if (index.firstKnown[key] == 0) {
        index.first[key] = NodeSearch(&header->root, &index).find(key);
        index.firstKnown[key] = 1;
    }
    return index.first[key];
}

// The key nodes of `key` among the first node and its following siblings, in order. The first
// node is the first such child of its parent: the node search walks the parent's children in
// order and takes a key node of `key` wherever it stands.
const std::vector<KeyNode *> &occurrences(const InterfileHeader *header, const KeyNode *first, int16_t key) {
    return indexOf(header).siblings[KeyStoreIndex::Siblings{first->parent, key}];
}

// The occurrence-th key node of `key` among the first node and its following siblings.
KeyNode *occurrence(const InterfileHeader *header, const KeyNode *first, int16_t key, int16_t index) {
    size_t n = index < 1 ? 1 : static_cast<size_t>(index);
    const std::vector<KeyNode *> &nodes = occurrences(header, first, key);
    return n <= nodes.size() ? nodes[n - 1] : nullptr;
}

// A stored value of a key that IF blocks test may switch blocks on or off.
void valueWritten(InterfileHeader *header, int16_t key) {
    KeyStoreIndex &index = indexOf(header);
    if (index.conditionKey[key] != 0) std::fill(index.firstKnown.begin(), index.firstKnown.end(), 0);
}

bool isGroupMarker(const InterfileDef *def, int16_t key) {
    static const std::string markers[] = {normalized("Static Study (each frame)"),
                                          normalized("Dynamic Study (each frame group)"),
                                          normalized("Gated Study (each time window)")};
    const char *name = def->keys[key].normName;
    for (const std::string &marker : markers)
        if (marker == name) return true;
    return false;
}

class GroupCopier {
public:
    explicit GroupCopier(InterfileHeader *header) : header_(header) {}

    // Appends `copies` copies of the first group of node's parent and returns the node of
    // `key` in the newest copy, or nullptr (also when the copies would exceed the node budget
    // or memory runs out; then `refused` is set).
    KeyNode *append(KeyNode *node, int16_t key, long copies) {
        KeyNode *parent = node->parent;
        std::vector<KeyNode *> group;
        for (KeyNode *child = parent->firstChild; child != nullptr; child = child->next) {
            if (!group.empty() && child->key == group.front()->key) break;
            group.push_back(child);
        }
        size_t size = 0;
        for (const KeyNode *member : group) size += subtreeSize(member);
        if (header_->nodeCount >= VELMAR_IF_MAX_NODES ||
            static_cast<double>(size) * static_cast<double>(copies) >
                static_cast<double>(VELMAR_IF_MAX_NODES - header_->nodeCount)) {
            refused = true;
            return nullptr;
        }
        KeyNode *target = nullptr;
        for (long i = 0; i < copies; ++i) {
            target = nullptr;
            for (const KeyNode *member : group) {
                KeyNode *copy = copyTree(member);
                if (copy == nullptr) {
                    refused = true;
                    return nullptr;
                }
                appendChild(parent, copy);
                KeyStoreIndex &index = indexOf(header_);
                index.copiesStart.try_emplace(parent, copy);  // kept for the first copy only
                indexSubtree(index, copy);
                if (target == nullptr && isKeyNode(copy, key)) target = copy;
            }
        }
        return target;
    }

    bool refused = false;

private:
    KeyNode *copyTree(const KeyNode *source) {
        auto *copy = static_cast<KeyNode *>(std::calloc(1, sizeof(KeyNode)));
        if (copy == nullptr) return nullptr;
        ++header_->nodeCount;
        copy->kind = source->kind;
        copy->key = source->key;
        if (source->kind == VELMAR_IF_NODE_KEY) {
            // A copy of a given value must be given again; a copy of an empty slot (a group
            // label, a key the first group never had) stands as present for the check but
            // holds no value.
            bool given = source->value != nullptr && source->value[0] != '\0';
            copy->value = given ? nullptr : copiedSlot;
        } else {
            copy->value = source->value;
        }
        for (const KeyNode *child = source->firstChild; child != nullptr; child = child->next) {
            KeyNode *childCopy = copyTree(child);
            if (childCopy == nullptr) {
                freeChildren(copy);
                std::free(copy);
                return nullptr;
            }
            appendChild(copy, childCopy);
        }
        return copy;
    }

    InterfileHeader *header_;
};

// Copies the definition tree below `from` into `to`, condition texts into the header's strings.
bool copyDefinitionTree(InterfileHeader *header, const KeyNode *from, KeyNode *to) {
    for (const KeyNode *node = from->firstChild; node != nullptr; node = node->next) {
        auto *copy = static_cast<KeyNode *>(std::calloc(1, sizeof(KeyNode)));
        if (copy == nullptr) return false;
        ++header->nodeCount;
        copy->kind = node->kind;
        copy->key = node->key;
        if (node->kind != VELMAR_IF_NODE_KEY && node->value != nullptr)
            copy->value = AddToDStringBuffer(header->strings, node->value);
        appendChild(to, copy);
        if (!copyDefinitionTree(header, node, copy)) return false;
    }
    return true;
}

void copyOut(const char *value, char *out) {
    if (out == nullptr) return;
    size_t n = std::strlen(value);
    if (n > VELMAR_IF_VALUE_SIZE - 1) n = VELMAR_IF_VALUE_SIZE - 1;
    std::memcpy(out, value, n);
    out[n] = '\0';
}

void reportWronglyPlaced(const InterfileHeader *header, int16_t key, int16_t index,
                         const char *value) {
    const char *name = getinterdefkey(header->definition, key);
    if (name == nullptr) name = "";
    if (value == nullptr) value = "";
    if (index >= 1)
        logf(header->log, 2, "Wrongly placed key: %s [%hd] := %s", name, index, value);
    else
        logf(header->log, 2, "Wrongly placed key: %s := %s", name, value);
}

// Picks (or makes) the node that a write of `key` goes to; see putintervalue.
KeyNode *chooseTarget(InterfileHeader *header, KeyNode *first, int16_t key, int16_t index,
                      int16_t sequential, GroupCopier &copier) {
    const std::vector<KeyNode *> &nodes = occurrences(header, first, key);
    size_t count = nodes.size();
    if (sequential == 0 || index >= 1) {
        size_t n = index < 1 ? 1 : static_cast<size_t>(index);
        if (count >= n) return nodes[n - 1];
        return copier.append(first, key, static_cast<long>(n - count));
    }
    KeyNode *last = nodes.back();
    if (last->parent != nullptr && last->parent->kind == VELMAR_IF_NODE_FOR &&
        isGroupMarker(header->definition, key)) {
        if (header->groupStarted == 0) {
            header->groupStarted = 1;
            return last;
        }
        return copier.append(first, key, 1);
    }
    return last;
}

// Whether a number begins the text, as scanf's "%lf" reads it. Plain decimals, nearly every
// value, are recognised at a glance; anything else is left to strtod.
bool startsWithNumber(const char *text) {
    const char *p = text;
    while (*p == ' ' || (*p >= '\t' && *p <= '\r')) ++p;
    if (*p == '+' || *p == '-') ++p;
    if ((*p >= '0' && *p <= '9') || (*p == '.' && p[1] >= '0' && p[1] <= '9')) return true;
    char *end = nullptr;
    std::strtod(text, &end);
    return end != text;
}

// The value-check text for one stored value, or nullptr when it passes.
const char *valueProblem(const KeyDef &def, const char *value) {
    switch (def.valueType) {
    case VELMAR_IF_NUMERIC: {
        if (value[0] != '\0' && !startsWithNumber(value)) return "Wrong value for <Numeric> type key";
        return nullptr;
    }
    case VELMAR_IF_ASCIILIST:
        if (value[0] == '\0') return nullptr;
        for (const char *allowed : def.allowedValues)
            if (allowed != nullptr && equalsIgnoringCase(allowed, value)) return nullptr;
        return "Not defined value for <ASCIIlist> type key";
    case VELMAR_IF_NULL:
        return value[0] != '\0' ? "Value defined for a key of valuetype <NULL>" : nullptr;
    default:
        return nullptr;
    }
}

}  // namespace

size_t normalizeInto(const char *name, char *out, size_t capacity) {
    size_t n = 0;
    if (name == nullptr) return 0;
    for (const char *p = name; *p != '\0'; ++p) {
        char c = kKeyChars[static_cast<unsigned char>(*p)];
        if (c == '\0') continue;
        if (n < capacity) out[n] = c;
        ++n;
    }
    // The American spellings of two keys name the same keys as the British ones.
    if (n <= capacity) {
        std::string_view text(out, n);
        if (text == "CENTEROFROTATION")
            std::memcpy(out, "CENTREOFROTATION", n);
        else if (text == "CENTERCENTERSLICESEPARATION(PIXELS)")
            std::memcpy(out, "CENTRECENTRESLICESEPARATION(PIXELS)", n);
    }
    return n;
}

bool normalizeKey(const char *name, std::string &out) {
    out.resize(name != nullptr ? std::strlen(name) : 0);
    out.resize(normalizeInto(name, out.data(), out.size()));
    return out.size() <= VELMAR_IF_NAME_MAX;
}

int16_t lookupKey(const InterfileDef *def, const std::string &normName) {
    if (def == nullptr) return 0;
    for (int16_t key = 1; key <= def->keyCount; ++key)
        if (normName == def->keys[key].normName) return key;
    return 0;
}

const char *dimensionKeyName(TextArena &arena, const char *name, const char *index) {
    char norm[32];
    size_t n = normalizeInto(name, norm, sizeof norm);
    std::string_view text(norm, std::min(n, sizeof norm));
    if (n > sizeof norm || (text != "MATRIXSIZE" && text != "SCALINGFACTOR(MM/PIXEL)")) return nullptr;
    return arena.keep(std::string(name) + "[" + index + "]");
}

// ---- Definition-parser actions ----------------------------------------------------------

bool beginBlock(DefContext &ctx, int32_t type) {
    DefParseState &state = ctx.state;
    if (state.depth + 1 >= VELMAR_IF_BLOCK_STACK) {
        ctx.logError("Too many nested blocks in Interfile definition");
        return false;
    }
    ++state.depth;
    state.blocks[state.depth] = DefParseBlock{type, nullptr, nullptr};
    return true;
}

void startBlock(DefContext &ctx, int32_t type, const char *name, const char *text) {
    DefParseState &state = ctx.state;
    InterfileDef *def = state.definition;
    state.blocks[state.depth].name = name;
    state.blocks[state.depth].text = text;
    auto *node = static_cast<KeyNode *>(std::calloc(1, sizeof(KeyNode)));
    if (node == nullptr) {
        ctx.logError("Out of memory in Interfile definition");
        return;
    }
    node->kind = type;
    std::string norm;
    node->key = normalizeKey(name, norm) ? lookupKey(def, norm) : 0;
    if (node->key == 0)
        logf(state.iapp->log, 1,
             type == VELMAR_IF_NODE_IF ? "IF start with unknown key %s\n"
                                       : "FOR start with unknown key %s\n",
             name);
    node->value = text != nullptr ? AddToDStringBuffer(def->strings, text) : nullptr;
    appendChild(def->current, node);
    def->current = node;
}

void endBlock(DefContext &ctx, int32_t type, const char *name) {
    DefParseState &state = ctx.state;
    InterfileDef *def = state.definition;
    DefParseBlock &top = state.blocks[state.depth];
    if (state.depth < 1 || top.type != type || top.name == nullptr ||
        std::strcmp(top.name, name) != 0) {
        logf(state.iapp->log, 1,
             type == VELMAR_IF_NODE_IF ? "Unmatched {} in IF" : "Unmatched {} in FOR");
        return;
    }
    if (def->current->parent != nullptr) def->current = def->current->parent;
    top = DefParseBlock{0, nullptr, nullptr};
    --state.depth;
}

void defineKey(DefContext &ctx, const char *name, int32_t indexKind, int32_t valueType,
               const char *defaultValue, const std::vector<const char *> *values) {
    std::vector<const char *> list;
    if (values != nullptr) list = *values;
    list.push_back(nullptr);
    if (putinterdefkey(&ctx.state, name, name[0] == '!' ? 1 : 0, indexKind, valueType,
                       defaultValue, values != nullptr ? list.data() : nullptr) == 0)
        ctx.failed = true;
}

// ---- Header-parser actions --------------------------------------------------------------

namespace {

// findinterkey through the parse's memory of the names it has met.
int16_t knownKey(HeaderContext &ctx, const char *name) {
    auto found = ctx.keysByName.find(std::string_view(name));
    if (found != ctx.keysByName.end()) return found->second;
    int16_t key = findinterkey(ctx.header, name);
    ctx.keysByName.emplace(name, key);
    return key;
}

}  // namespace

KeyRef headerKeyRef(HeaderContext &ctx, const char *name, const char *index) {
    InterfileHeader *header = ctx.header;
    Log *log = ctx.iapp->log;
    if (index != nullptr) {
        if (const char *dimension = dimensionKeyName(ctx.arena, name, index))
            return KeyRef{dimension, -1, knownKey(ctx, dimension)};
    }
    int16_t key = knownKey(ctx, name);
    int32_t kind = getinterkeytype(header, key);
    if (index == nullptr && kind == VELMAR_IF_INDEXED)
        logf(log, 1, "Key should be indexed: %s", name);
    else if (index != nullptr && kind == VELMAR_IF_NOT_INDEXED)
        logf(log, 1, "Key should not be indexed: %s", name);
    else if (kind != VELMAR_IF_NOT_INDEXED && kind != VELMAR_IF_INDEXED)
        logf(log, 2, "Unknown key: %s", name);
    if (index == nullptr) return KeyRef{name, -1, key};
    // The index is a run of digits; it is read as a 16-bit number and held at its maximum.
    long number = 0;
    for (const char *p = index; *p >= '0' && *p <= '9'; ++p) {
        number = number * 10 + (*p - '0');
        if (number > INT16_MAX) {
            number = INT16_MAX;
            break;
        }
    }
    return KeyRef{name, static_cast<int16_t>(number), key};
}

void headerKeyLine(HeaderContext &ctx, const KeyRef &ref, const char *value) {
    const char *name = ref.name;
    int16_t index = ref.index;
    int16_t key = ref.key;
    if (key == 0) {
        if (index >= 0)
            logf(ctx.iapp->log, 2, "Unknown key ignored: %s [%hd] := %s", name, index,
                 value != nullptr ? value : "");
        else
            logf(ctx.iapp->log, 2, "Unknown key ignored: %s := %s", name,
                 value != nullptr ? value : "");
        return;
    }
    putintervalue(ctx.header, key, index, value, 1);
}

}  // namespace velmar::interfile

using namespace velmar::interfile;

extern "C" {

// ---- Context ----------------------------------------------------------------------------

VELMAR_API void init_IAppData(IAppData *iapp, const char *appName, const char *appVersion,
                              char *title_out) {
    if (iapp == nullptr) return;
    iapp->appName = appName != nullptr ? strdup(appName) : nullptr;
    iapp->appVersion = appVersion != nullptr ? strdup(appVersion) : nullptr;
    iapp->findFile = getDICOMdeffilefromenvpath;
    if (title_out != nullptr)
        std::snprintf(title_out, VELMAR_IF_TITLE_SIZE, "%s %s", appName != nullptr ? appName : "",
                      appVersion != nullptr ? appVersion : "");
}

VELMAR_API void done_IAppData(IAppData *iapp) {
    if (iapp == nullptr) return;
    if (iapp->log != nullptr) log_end(&iapp->log, iapp);
    std::free(iapp->appName);
    std::free(iapp->appVersion);
    iapp->appName = nullptr;
    iapp->appVersion = nullptr;
}

// ---- Definition -------------------------------------------------------------------------

VELMAR_API uint16_t putinterdefkey(DefParseState *parse, const char *name, int16_t obligatory,
                                   int32_t indexKind, int32_t valueType,
                                   const char *defaultValue, const char *const *values) {
    return guarded<uint16_t>(0, [&]() -> uint16_t {
        if (parse == nullptr || parse->definition == nullptr || name == nullptr) return 0;
        InterfileDef *def = parse->definition;
        Log *log = parse->iapp != nullptr ? parse->iapp->log : nullptr;
        std::string norm;
        if (!normalizeKey(name, norm)) {
            logf(log, 1, "Key name too long in Interfile definition: %.64s...", name);
            return 0;
        }
        int16_t key = lookupKey(def, norm);
        if (key == 0) {
            if (def->keyCount >= VELMAR_IF_MAX_KEYS) {
                logf(log, 1, "Too many keys in Interfile definition");
                return 0;
            }
            KeyDef row{};
            row.name = AddToDStringBuffer(def->strings, name);
            row.normName = AddToDStringBuffer(def->strings, norm.c_str());
            if (row.name == nullptr || row.normName == nullptr) {
                logf(log, 1, "Key name too long in Interfile definition: %.64s...", name);
                return 0;
            }
            if (defaultValue != nullptr) {
                row.defaultValue = AddToDStringBuffer(def->strings, defaultValue);
                if (row.defaultValue == nullptr) {
                    logf(log, 1, "Value too long in Interfile definition: %s", row.name);
                    return 0;
                }
            }
            for (int i = 0; values != nullptr && i < VELMAR_IF_MAX_VALUES && values[i] != nullptr; ++i) {
                row.allowedValues[i] = AddToDStringBuffer(def->strings, values[i]);
                if (row.allowedValues[i] == nullptr) {
                    logf(log, 1, "Value too long in Interfile definition: %s", row.name);
                    return 0;
                }
            }
            row.obligatory = obligatory != 0 ? 1 : 0;
            row.indexKind = indexKind;
            row.valueType = valueType;
            key = ++def->keyCount;
            def->keys[key] = row;
        }
        auto *node = static_cast<KeyNode *>(std::calloc(1, sizeof(KeyNode)));
        if (node == nullptr) {
            logf(log, 1, "Out of memory in Interfile definition");
            return 0;
        }
        node->kind = VELMAR_IF_NODE_KEY;
        node->key = key;
        static const char *const sections[] = {"INTERFILE", "GENERALDATA", "GENERALIMAGEDATA",
                                               "ENDOFINTERFILE"};
        bool section = false;
        if (valueType == VELMAR_IF_NULL)
            for (const char *name : sections) section = section || norm == name;
        if (section) {
            appendChild(&def->root, node);
            def->current = node;
        } else {
            appendChild(def->current, node);
        }
        return static_cast<uint16_t>(def->keyCount);
    });
}

// ---- Headers ----------------------------------------------------------------------------

VELMAR_API int16_t initinterfile(IAppData *iapp, InterfileHeader **header) {
    if (header == nullptr) return -1;
    *header = nullptr;
    if (iapp == nullptr || iapp->definition == nullptr) return -1;
    auto *created = static_cast<InterfileHeader *>(std::calloc(1, sizeof(InterfileHeader)));
    if (created == nullptr) return -1;
    created->strings = InitDStringBuffer(1024);
    created->current = &created->root;
    created->definition = iapp->definition;
    created->log = iapp->log;
    if (created->strings == nullptr ||
        !copyDefinitionTree(created, &iapp->definition->root, &created->root)) {
        doneinterfile(&created);
        return -1;
    }
    *header = created;
    return 0;
}

VELMAR_API void doneinterfile(InterfileHeader **header) {
    if (header == nullptr || *header == nullptr) return;
    InterfileHeader *h = *header;
    freeChildren(&h->root);
    delete h->index;
    std::free(h->fileName);
    DoneDStringBuffer(&h->strings);
    std::free(h);
    *header = nullptr;
}

VELMAR_API const char *getInterfileName(const InterfileHeader *header) {
    return header != nullptr ? header->fileName : nullptr;
}

VELMAR_API int16_t findinterkey(const InterfileHeader *header, const char *name) {
    return guarded<int16_t>(0, [&]() -> int16_t {
        if (header == nullptr || name == nullptr) return 0;
        char norm[VELMAR_IF_NAME_MAX + 1];
        size_t n = normalizeInto(name, norm, sizeof norm);
        if (n > VELMAR_IF_NAME_MAX) return 0;
        const auto &numbers = indexOf(header).keyNumbers;
        auto found = numbers.find(std::string_view(norm, n));
        return found != numbers.end() ? found->second : int16_t{0};
    });
}

VELMAR_API const char *getinterdefkey(const InterfileDef *definition, int16_t key) {
    const KeyDef *row = keyDef(definition, key);
    return row != nullptr ? row->name : nullptr;
}

VELMAR_API const char *getinterkey(const InterfileHeader *header, int16_t key) {
    return header != nullptr ? getinterdefkey(header->definition, key) : nullptr;
}

VELMAR_API int32_t getinterkeytype(const InterfileHeader *header, int16_t key) {
    const KeyDef *row = keyDef(header != nullptr ? header->definition : nullptr, key);
    return row != nullptr ? row->indexKind : 0;
}

VELMAR_API int32_t getintervaluetype(const InterfileHeader *header, int16_t key) {
    const KeyDef *row = keyDef(header != nullptr ? header->definition : nullptr, key);
    return row != nullptr ? row->valueType : 0;
}

VELMAR_API const char *getinterdefaultvalue(const InterfileHeader *header, int16_t key) {
    const KeyDef *row = keyDef(header != nullptr ? header->definition : nullptr, key);
    return row != nullptr ? row->defaultValue : nullptr;
}

VELMAR_API int16_t getintervalue(const InterfileHeader *header, int16_t key, int16_t index,
                                 char *value_out) {
    return guarded<int16_t>(-1, [&]() -> int16_t {
        if (value_out != nullptr) value_out[0] = '\0';
        if (header == nullptr || keyDef(header->definition, key) == nullptr) return -1;
        KeyNode *first = firstNode(header, key);
        if (first == nullptr) return -1;
        const KeyNode *node = occurrence(header, first, key, index);
        if (node == nullptr || !hasValue(node)) return -1;
        copyOut(node->value, value_out);
        return key;
    });
}

VELMAR_API int16_t getintervaluedef(const InterfileHeader *header, int16_t key, int16_t index,
                                    char *value_out) {
    if (getintervalue(header, key, index, value_out) >= 0) return key;
    const char *fallback = getinterdefaultvalue(header, key);
    if (fallback == nullptr) return -1;
    copyOut(fallback, value_out);
    return key;
}

VELMAR_API int16_t putintervalue(InterfileHeader *header, int16_t key, int16_t index,
                                 const char *value, int16_t sequential) {
    return guarded<int16_t>(-1, [&]() -> int16_t {
        if (header == nullptr) return -1;
        const KeyDef *row = keyDef(header->definition, key);
        if (row == nullptr) return -1;
        KeyNode *first = firstNode(header, key);
        if (first == nullptr) {
            reportWronglyPlaced(header, key, index, value);
            return -1;
        }
        bool present = value != nullptr && value[0] != '\0';
        GroupCopier copier(header);
        KeyNode *target = chooseTarget(header, first, key, index, sequential, copier);
        if (copier.refused) {
            reportWronglyPlaced(header, key, index, value);
            return -1;
        }
        if (target == nullptr) return key;
        if (row->valueType == VELMAR_IF_NULL) {
            if (present) {
                if (index >= 1)
                    logf(header->log, 2, "Value defined for a key of valuetype <NULL>: %s [%hd] := %s",
                         row->name, index, value);
                else
                    logf(header->log, 2, "Value defined for a key of valuetype <NULL>: %s := %s",
                         row->name, value);
            }
            target->value = AddToDStringBuffer(header->strings, "");
        } else {
            target->value = present ? indexOf(header).strings.add(header->strings, value) : nullptr;
        }
        valueWritten(header, key);
        return key;
    });
}

// ---- Check ------------------------------------------------------------------------------

VELMAR_API int16_t checkinterfileheader(const InterfileHeader *header) {
    return guarded<int16_t>(-1, [&]() -> int16_t {
        if (header == nullptr || header->definition == nullptr) return -1;
        const InterfileDef *def = header->definition;
        Log *log = header->log;
        int findings = 0;

        char version[VELMAR_IF_VALUE_SIZE];
        int16_t versionKey = findinterkey(header, "version of keys");
        if (versionKey > 0 && getintervaluedef(header, versionKey, 0, version) >= 0 &&
            strncasecmp(version, "3.3", 3) != 0) {
            ++findings;
            logf(log, 2, "Wrong INTERFILE version. File version: %s Expected version: 3.3", version);
        }

        int16_t startBlock = findinterkey(header, "data starting block");
        int16_t offsetBytes = findinterkey(header, "data offset in bytes");
        const KeyNode *startNode = startBlock > 0 ? firstNode(header, startBlock) : nullptr;
        const KeyNode *offsetNode = offsetBytes > 0 ? firstNode(header, offsetBytes) : nullptr;
        bool hasStart = startNode != nullptr && startNode->value != nullptr;
        bool hasOffset = offsetNode != nullptr && offsetNode->value != nullptr;
        // A reconstruction need not know the arc its projections were taken over: writers of
        // reconstructed studies (XMedCon among them) leave "extent of rotation" empty.
        int16_t extentKey = findinterkey(header, "extent of rotation");
        int16_t statusKey = findinterkey(header, "process status");
        const KeyNode *statusNode = statusKey > 0 ? firstNode(header, statusKey) : nullptr;
        bool reconstructed = statusNode != nullptr && hasValue(statusNode) &&
                             equalsIgnoringCase(statusNode->value, "Reconstructed");

        for (int16_t key = 1; key <= def->keyCount; ++key) {
            const KeyDef &row = def->keys[key];
            KeyNode *first = firstNode(header, key);
            if (first == nullptr) continue;
            int occurrenceNumber = 0;
            for (const KeyNode *node : occurrences(header, first, key)) {
                if (node->value == nullptr) {
                    if (!row.obligatory || (key == startBlock && hasOffset) ||
                        (key == offsetBytes && hasStart) || (key == extentKey && reconstructed))
                        continue;
                    ++findings;
                    logf(log, 2, "Missing obligatory key: %s", row.name);
                    continue;
                }
                ++occurrenceNumber;
                const char *problem = valueProblem(row, node->value);
                if (problem == nullptr) continue;
                if (row.indexKind == VELMAR_IF_INDEXED)
                    logf(log, 2, "%s: %s [%hd] := %s", problem, row.name,
                         static_cast<int16_t>(occurrenceNumber), node->value);
                else
                    logf(log, 2, "%s: %s := %s", problem, row.name, node->value);
            }
        }
        return findings > 0 ? -1 : 0;
    });
}

VELMAR_API char *normalizeinterkey(const char *name, char *out) {
    return guarded<char *>(nullptr, [&]() -> char * {
        if (out == nullptr) return nullptr;
        std::string norm;
        normalizeKey(name, norm);
        size_t n = norm.size() < VELMAR_IF_NAME_MAX ? norm.size() : VELMAR_IF_NAME_MAX;
        std::memcpy(out, norm.data(), n);
        out[n] = '\0';
        return out;
    });
}

}  // extern "C"
