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

#include "support/regularfile.h"
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

void loadFrom(CodecMap *map, const std::string &directory, const char *file_name, Log *log) {
    char *path = path_concat(directory.c_str(), file_name, nullptr);
    if (path == nullptr) return;
    if (loadCodecMapFile(map, path) == -5) {
        std::string text = std::string("Codec map ") + path + " can be changed by another user: not read";
        log_message(log, text.c_str(), 2);
    }
    std::free(path);
}

// Where the user's codec map lives: $VELMAR_USER_CODEC_PATH, else the user's configuration
// directory. Never the current directory, whose owner may be anyone.
std::string userMapDirectory() {
    if (const char *given = std::getenv("VELMAR_USER_CODEC_PATH")) return given;
    const char *config = std::getenv("XDG_CONFIG_HOME");
    if (config != nullptr && config[0] == '/') return std::string(config) + "/velmar";
    const char *home = std::getenv("HOME");
    if (home != nullptr && home[0] != '\0') return std::string(home) + "/.config/velmar";
    return "";
}

// A library named by a relative path ("codecs/librle.so") lies beside the map that names it; a
// bare name is left to the loader's search, an absolute path stays as written.
std::string resolvedLibrary(const std::string &library, const char *mapPath) {
    if (library.empty() || library[0] == '/' || library.find('/') == std::string::npos) return library;
    std::string map(mapPath);
    size_t cut = map.rfind('/');
    std::string directory = cut == std::string::npos ? "." : map.substr(0, cut == 0 ? 1 : cut);
    return directory + "/" + library;
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
    FilePtr file(velmar::support::fopenRegularFile(path, "rb"));
    if (file == nullptr) return -1;
    if (!velmar::support::isTrustedFile(path)) return -5;
    char line[kLineLimit];
    if (!nextDataLine(file.get(), line)) return -2;
    try {
        do {
            std::vector<std::string> words = wordsOf(line);
            // The first line that is not an entry ends the map.
            if (words.size() < 4) return 0;
            std::string library = resolvedLibrary(words[2], path);
            if (addCodecToCodecMap(map, words[0].c_str(), words[1].c_str(), library.c_str(),
                                   words[3].c_str()) != 0)
                return -4;
        } while (nextDataLine(file.get(), line));
    } catch (...) {
        return -4;
    }
    return 0;
}

VELMAR_API int16_t loadCodecMapLogged(CodecMap *map, Log *log) {
    if (map == nullptr) return 0;
    try {
        // The default map first: lookups return the first match, so its entries win.
        if (const char *definitions = std::getenv("VELMAR_DEF_PATH"))
            loadFrom(map, definitions, "defcodec.map", log);
        std::string user = userMapDirectory();
        if (!user.empty()) loadFrom(map, user, "usrcodec.map", log);
    } catch (...) {
        // Out of memory: the map keeps what was read.
    }
    return 0;
}

VELMAR_API int16_t loadCodecMap(CodecMap *map) {
    return loadCodecMapLogged(map, nullptr);
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
