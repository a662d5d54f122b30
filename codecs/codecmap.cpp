// Codec maps: which codec name and codec library serve a transfer syntax, read from the default
// map (defcodec.map) and the user map (usrcodec.map).
#include <strings.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "velmar/codecs.h"

namespace velmar::codecs {
namespace {

constexpr size_t kLineLimit = 500;  // a line holds at most 499 characters
constexpr size_t kWordLimit = 127;

struct FileCloser {
    void operator()(FILE *file) const { std::fclose(file); }
};
using FilePtr = std::unique_ptr<FILE, FileCloser>;

char *copyText(const char *text) {
    if (text == nullptr) text = "";
    size_t n = std::strlen(text) + 1;
    char *out = static_cast<char *>(std::malloc(n));
    if (out != nullptr) std::memcpy(out, text, n);
    return out;
}

void freeEntry(CodecMapEntry *entry) {
    if (entry == nullptr) return;
    std::free(entry->uid);
    std::free(entry->name);
    std::free(entry->library);
    std::free(entry->note);
    std::free(entry);
}

// Reads the next line that is not a comment; false at the end of the file.
bool nextDataLine(FILE *file, char (&line)[kLineLimit]) {
    while (std::fgets(line, sizeof line, file) != nullptr)
        if (line[0] != '#') return true;
    return false;
}

// Splits a line into words separated by blanks and tabs (line ends count as blanks); each word
// is cut to its first 127 characters.
std::vector<std::string> wordsOf(const char *line) {
    std::vector<std::string> words;
    const char *p = line;
    while (*p != '\0') {
        while (*p == ' ' || *p == '\t' || *p == '\r' || *p == '\n') ++p;
        if (*p == '\0') break;
        const char *start = p;
        while (*p != '\0' && *p != ' ' && *p != '\t' && *p != '\r' && *p != '\n') ++p;
        words.emplace_back(start, std::min(static_cast<size_t>(p - start), kWordLimit));
    }
    return words;
}

// The entry whose column equals `key` (case-insensitive), first one in file order.
const CodecMapEntry *findEntry(const CodecMap *map, const char *key, char *CodecMapEntry::*column) {
    if (map == nullptr || key == nullptr || map->entries == nullptr) return nullptr;
    for (int32_t i = 0; i < map->count; ++i) {
        const CodecMapEntry *entry = map->entries[i];
        if (entry != nullptr && entry->*column != nullptr && strcasecmp(entry->*column, key) == 0)
            return entry;
    }
    return nullptr;
}

void loadFrom(CodecMap *map, const char *directory, const char *file_name) {
    char *path = path_concat(directory, file_name, nullptr);
    if (path == nullptr) return;
    loadCodecMapFile(map, path);
    std::free(path);
}

}  // namespace
}  // namespace velmar::codecs

using namespace velmar::codecs;

extern "C" {

VELMAR_API CodecMap *initCodecMap(CodecMap *map) {
    if (map == nullptr) return nullptr;
    map->entries = nullptr;
    map->count = 0;
    return map;
}

VELMAR_API void freeCodecMap(CodecMap *map) {
    if (map == nullptr) return;
    for (int32_t i = 0; i < map->count && map->entries != nullptr; ++i) freeEntry(map->entries[i]);
    std::free(map->entries);
    initCodecMap(map);
}

VELMAR_API int16_t addCodecToCodecMap(CodecMap *map, const char *uid, const char *name, const char *library,
                                      const char *note) {
    if (map == nullptr) return -1;
    auto **grown = static_cast<CodecMapEntry **>(
        std::realloc(map->entries, (static_cast<size_t>(map->count) + 1) * sizeof(CodecMapEntry *)));
    if (grown == nullptr) return -1;
    map->entries = grown;
    auto *entry = static_cast<CodecMapEntry *>(std::calloc(1, sizeof(CodecMapEntry)));
    if (entry == nullptr) return -1;
    entry->uid = copyText(uid);
    entry->name = copyText(name);
    entry->library = copyText(library);
    entry->note = copyText(note);
    if (entry->uid == nullptr || entry->name == nullptr || entry->library == nullptr ||
        entry->note == nullptr) {
        freeEntry(entry);
        return -2;
    }
    map->entries[map->count++] = entry;
    return 0;
}

VELMAR_API int16_t loadCodecMapFile(CodecMap *map, const char *path) {
    if (map == nullptr || path == nullptr) return -1;
    FilePtr file(std::fopen(path, "rb"));
    if (file == nullptr) return -1;
    char line[kLineLimit];
    if (!nextDataLine(file.get(), line)) return -2;
    try {
        do {
            std::vector<std::string> words = wordsOf(line);
            // The first line that is not an entry ends the map.
            if (words.size() < 4) return 0;
            if (addCodecToCodecMap(map, words[0].c_str(), words[1].c_str(), words[2].c_str(),
                                   words[3].c_str()) != 0)
                return -4;
        } while (nextDataLine(file.get(), line));
    } catch (...) {
        return -4;
    }
    return 0;
}

VELMAR_API int16_t loadCodecMap(CodecMap *map) {
    if (map == nullptr) return 0;
    // The default map first: lookups return the first match, so its entries win.
    if (const char *definitions = std::getenv("VELMAR_DEF_PATH")) loadFrom(map, definitions, "defcodec.map");
    if (const char *user = std::getenv("VELMAR_USER_CODEC_PATH"))
        loadFrom(map, user, "usrcodec.map");
    else
        loadCodecMapFile(map, "usrcodec.map");
    return 0;
}

VELMAR_API const char *getLibForUID(const CodecMap *map, const char *uid) {
    const CodecMapEntry *entry = findEntry(map, uid, &CodecMapEntry::uid);
    return entry != nullptr ? entry->library : nullptr;
}

VELMAR_API const char *getNameForUID(const CodecMap *map, const char *uid) {
    const CodecMapEntry *entry = findEntry(map, uid, &CodecMapEntry::uid);
    return entry != nullptr ? entry->name : nullptr;
}

VELMAR_API const char *getUIDForName(const CodecMap *map, const char *name) {
    const CodecMapEntry *entry = findEntry(map, name, &CodecMapEntry::name);
    return entry != nullptr ? entry->uid : nullptr;
}

VELMAR_API const char *getLibForName(const CodecMap *map, const char *name) {
    const CodecMapEntry *entry = findEntry(map, name, &CodecMapEntry::name);
    return entry != nullptr ? entry->library : nullptr;
}

}  // extern "C"
