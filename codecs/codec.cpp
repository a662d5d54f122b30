// Codec registry: the codec libraries and codecs registered in the library context, their
// lookups, external codec libraries loaded at run time, and the small list types of callers.
#include <dlfcn.h>
#include <strings.h>

#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <set>
#include <string>

#include "support/regularfile.h"
#include "velmar/codecs.h"

namespace velmar::codecs {
namespace {

bool sameText(const char *a, const char *b) {
    return a != nullptr && b != nullptr && strcasecmp(a, b) == 0;
}

char *copyText(const char *text) {
    if (text == nullptr) text = "";
    size_t n = std::strlen(text) + 1;
    char *out = static_cast<char *>(std::malloc(n));
    if (out != nullptr) std::memcpy(out, text, n);
    return out;
}

// Grows a registry array by one slot; returns the new slot's index or -1.
template <typename T>
int32_t appendSlot(T ***array, uint16_t *count) {
    if (*count == UINT16_MAX) return -1;
    void *grown = std::realloc(static_cast<void *>(*array), (static_cast<size_t>(*count) + 1) * sizeof(T *));
    if (grown == nullptr) return -1;
    *array = static_cast<T **>(grown);
    (*array)[*count] = nullptr;
    return (*count)++;
}

// The LibraryInit of every external library loaded, by the names of the library records it
// registered: an option text given later goes to the library through it again. Modules stay
// loaded for the life of the process, so the addresses stay valid.
std::mutex initTableLock;
std::map<std::string, CodecLibraryInitFunc> &initTable() {
    static std::map<std::string, CodecLibraryInitFunc> table;
    return table;
}

std::set<std::string> libraryNames(const AppData *app) {
    std::set<std::string> names;
    for (uint16_t i = 0; i < app->codecLibraryCount; ++i)
        if (app->codecLibraries[i] != nullptr) names.insert(app->codecLibraries[i]->libraryName);
    return names;
}

void rememberInit(const AppData *app, const std::set<std::string> &before, CodecLibraryInitFunc init) {
    std::lock_guard<std::mutex> hold(initTableLock);
    for (const std::string &name : libraryNames(app))
        if (before.count(name) == 0) initTable()[name] = init;
}

CodecLibraryInitFunc initOf(const char *name) {
    std::lock_guard<std::mutex> hold(initTableLock);
    auto it = initTable().find(name);
    return it != initTable().end() ? it->second : nullptr;
}

// Loads one library file and runs its LibraryInit: 0 success, 1 no entry point (or the file
// cannot be loaded), 2 LibraryInit reported failure.
int loadAndInit(AppData *app, const std::string &file, const char *options) {
    // A library file that someone else can change could run their code in this process.
    if (file.find('/') != std::string::npos && velmar::support::isRegularFile(file.c_str()) &&
        !velmar::support::isTrustedFile(file.c_str())) {
        std::string text = "Codec library " + file + " can be changed by another user: not loaded";
        log_message(app->log, text.c_str(), 2);
        return 1;
    }
    void *module = nullptr;
    auto init = reinterpret_cast<CodecLibraryInitFunc>(getDynLibFunc(file.c_str(), "LibraryInit", &module));
    if (init == nullptr) return 1;
    // The module stays loaded for the life of the process: the records it registered point
    // into it.
    std::set<std::string> before = libraryNames(app);
    if (init(app, options) != 0) return 2;
    rememberInit(app, before, init);
    return 0;
}

bool hasSoSuffix(const std::string &name) {
    return name.size() >= 3 && name.compare(name.size() - 3, 3, ".so") == 0;
}

}  // namespace
}  // namespace velmar::codecs

using namespace velmar::codecs;

extern "C" {

// ---- Registration ---------------------------------------------------------------------------

VELMAR_API int16_t registerCodecLibrary(AppData *app, const CodecLibrary *library) {
    if (app == nullptr || library == nullptr) return 0;
    auto *copy = static_cast<CodecLibrary *>(std::malloc(sizeof(CodecLibrary)));
    if (copy == nullptr) return -1;
    *copy = *library;
    copy->libraryName[VELMAR_UID_SIZE - 1] = '\0';
    for (uint16_t i = 0; i < app->codecLibraryCount; ++i) {
        CodecLibrary *old = app->codecLibraries[i];
        if (old == nullptr || std::strcmp(old->libraryName, copy->libraryName) != 0) continue;
        if (old->release != nullptr) old->release(old->privateData);
        std::free(old);
        app->codecLibraries[i] = copy;
        return 0;
    }
    int32_t slot = appendSlot(&app->codecLibraries, &app->codecLibraryCount);
    if (slot < 0) {
        std::free(copy);
        return -1;
    }
    app->codecLibraries[slot] = copy;
    return 0;
}

VELMAR_API int16_t registerCodec(AppData *app, const Codec *codec) {
    if (app == nullptr || codec == nullptr) return 0;
    auto *copy = static_cast<Codec *>(std::malloc(sizeof(Codec)));
    if (copy == nullptr) return -1;
    *copy = *codec;
    copy->libraryName[VELMAR_UID_SIZE - 1] = '\0';
    copy->kind[VELMAR_UID_SIZE - 1] = '\0';
    copy->transferSyntaxUID[VELMAR_UID_SIZE - 1] = '\0';
    for (uint16_t i = 0; i < app->codecCount; ++i)
        if (app->codecs[i] == nullptr) {
            app->codecs[i] = copy;
            return 0;
        }
    int32_t slot = appendSlot(&app->codecs, &app->codecCount);
    if (slot < 0) {
        std::free(copy);
        return -1;
    }
    app->codecs[slot] = copy;
    return 0;
}

// ---- Lookup -----------------------------------------------------------------------------------

VELMAR_API Codec *get_codec(uint16_t codec_count, Codec *const *codecs, const char *uid, int16_t is_coder) {
    if (codecs == nullptr || uid == nullptr) return nullptr;
    for (int32_t i = codec_count - 1; i >= 0; --i) {
        Codec *codec = codecs[i];
        if (codec != nullptr && codec->isCoder == is_coder && sameText(codec->transferSyntaxUID, uid))
            return codec;
    }
    return nullptr;
}

VELMAR_API CodecLibrary *get_codeclib(uint16_t library_count, CodecLibrary *const *libraries,
                                      const char *name) {
    if (libraries == nullptr || name == nullptr) return nullptr;
    for (int32_t i = library_count - 1; i >= 0; --i) {
        CodecLibrary *library = libraries[i];
        if (library != nullptr && sameText(library->libraryName, name)) return library;
    }
    return nullptr;
}

VELMAR_API int32_t isLibraryLoaded(AppData *app, const char *name) {
    if (app == nullptr || name == nullptr) return 0;
    for (uint16_t i = 0; i < app->codecLibraryCount; ++i) {
        CodecLibrary *library = app->codecLibraries[i];
        if (library != nullptr && sameText(library->libraryName, name)) return i + 1;
    }
    return 0;
}

// ---- Removal ----------------------------------------------------------------------------------

VELMAR_API int16_t UnregisterCodecLibrary(AppData *app, const char *name) {
    if (app == nullptr || name == nullptr) return 0;
    for (uint16_t i = 0; i < app->codecLibraryCount; ++i) {
        CodecLibrary *library = app->codecLibraries[i];
        if (library == nullptr || std::strcmp(library->libraryName, name) != 0) continue;
        if (library->release != nullptr) library->release(library->privateData);
        std::free(library);
        app->codecLibraries[i] = nullptr;
    }
    for (uint16_t i = 0; i < app->codecCount; ++i) {
        Codec *codec = app->codecs[i];
        if (codec == nullptr || std::strcmp(codec->libraryName, name) != 0) continue;
        std::free(codec);
        app->codecs[i] = nullptr;
    }
    return 0;
}

// Removes the registrations that match the given record: same library, transfer syntax and
// direction. The slots are emptied, not compacted.
VELMAR_API int32_t UnregisterCodec(AppData *app, const Codec *codec) {
    if (app == nullptr || codec == nullptr) return 0;
    int32_t removed = 0;
    for (uint16_t i = 0; i < app->codecCount; ++i) {
        Codec *slot = app->codecs[i];
        if (slot == nullptr || slot->isCoder != codec->isCoder ||
            std::strncmp(slot->libraryName, codec->libraryName, VELMAR_UID_SIZE) != 0 ||
            !sameText(slot->transferSyntaxUID, codec->transferSyntaxUID))
            continue;
        std::free(slot);
        app->codecs[i] = nullptr;
        ++removed;
    }
    return removed;
}

VELMAR_API void done_CodecLibraryRegistry(AppData *app) {
    if (app == nullptr) return;
    for (uint16_t i = 0; i < app->codecLibraryCount; ++i) {
        CodecLibrary *library = app->codecLibraries[i];
        if (library == nullptr) continue;
        char name[VELMAR_UID_SIZE];
        std::memcpy(name, library->libraryName, sizeof name);
        name[sizeof name - 1] = '\0';
        UnregisterCodecLibrary(app, name);
    }
    std::free(app->codecLibraries);
    app->codecLibraries = nullptr;
    app->codecLibraryCount = 0;
    for (uint16_t i = 0; i < app->codecCount; ++i) std::free(app->codecs[i]);
    std::free(app->codecs);
    app->codecs = nullptr;
    app->codecCount = 0;
}

// ---- Dynamic libraries ------------------------------------------------------------------------

VELMAR_API void *getDynLibFunc(const char *file_name, const char *function_name, void **module_out) {
    if (module_out != nullptr) *module_out = nullptr;
    if (file_name == nullptr || function_name == nullptr) return nullptr;
    // A path must name a regular file (the loader would wait on a FIFO); a bare name is looked
    // for by the loader in the system's library directories.
    if (std::strchr(file_name, '/') != nullptr && !velmar::support::isRegularFile(file_name)) return nullptr;
    void *module = dlopen(file_name, RTLD_NOW | RTLD_LOCAL);
    if (module == nullptr) return nullptr;
    void *function = dlsym(module, function_name);
    if (function == nullptr) {
        dlclose(module);
        return nullptr;
    }
    if (module_out != nullptr) *module_out = module;
    return function;
}

VELMAR_API void freeDynLib(void *module) {
    if (module != nullptr) dlclose(module);
}

VELMAR_API int32_t passCmdlineParametersToCodec(AppData *app, const char *name, const char *options) {
    if (app == nullptr || name == nullptr) return -1;
    CodecLibrary *library = get_codeclib(app->codecLibraryCount, app->codecLibraries, name);
    if (library == nullptr || library->privateData == nullptr) return -1;
    if (strcasecmp(name, "PNG") == 0) {
        // An option text the PNG library refuses is reported, not silently dropped.
        return setPNGPrivate(static_cast<PNGOptions *>(library->privateData), options);
    }
    // An external library loaded here takes the text through its LibraryInit, called again:
    // -2 when it refuses the text.
    CodecLibraryInitFunc init = initOf(library->libraryName);
    if (init != nullptr && options != nullptr && options[0] != '\0') {
        try {
            return init(app, options) == 0 ? 0 : -2;
        } catch (...) {
            return -2;
        }
    }
    return 0;
}

VELMAR_API int32_t init_DynamicCodecLibraries(AppData *app, const CodecMap *codec_map,
                                              const char *const *names, const char *const *options,
                                              int32_t count, const char *directory) {
    if (app == nullptr) return 0;
    try {
        for (int32_t i = 0; i < count; ++i) {
            const char *name = names != nullptr ? names[i] : nullptr;
            if (name == nullptr) return 1;
            const char *option = options != nullptr ? options[i] : nullptr;
            if (strcasecmp(name, "png") == 0) {
                passCmdlineParametersToCodec(app, name, option);
                continue;
            }
            const char *library = getLibForName(codec_map, name);
            if (library == nullptr) return 1000 + i;
            if (strcasecmp(library, "builtin") == 0) continue;
            if (isLibraryLoaded(app, library) != 0) {
                // Loaded before: a new option text still reaches it.
                if (passCmdlineParametersToCodec(app, library, option) < -1) return 4000 + i;
                continue;
            }

            // The plain name follows the loader's search rules; like the platform loader that
            // adds the default extension to a name without one, ".so" is tried next.
            std::string plain(library);
            int result = loadAndInit(app, plain, option);
            if (result == 1 && !hasSoSuffix(plain)) result = loadAndInit(app, plain + ".so", option);
            int32_t error = result == 0 ? 0 : (result == 1 ? 2000 : 4000) + i;
            // A library that loaded but refused to start is not looked for again elsewhere: its
            // failure is the answer.
            if (result == 1 && directory != nullptr) {
                std::string path(directory);
                fixpath(path.data());
                if (!path.empty() && path.back() != '/') path += '/';
                path += plain;
                if (!hasSoSuffix(plain)) path += ".so";
                result = loadAndInit(app, path, option);
                error = result == 0 ? 0 : (result == 1 ? 3000 : 4000) + i;
            }
            if (error != 0) return error;
        }
    } catch (...) {
        return 1;
    }
    return 0;
}

// ---- Lists ------------------------------------------------------------------------------------

VELMAR_API DynLibList *initDynLibList(DynLibList *list) {
    if (list == nullptr) return nullptr;
    list->count = 0;
    list->names = nullptr;
    list->paths = nullptr;
    return list;
}

VELMAR_API void freeDynLibList(DynLibList *list) {
    if (list == nullptr) return;
    for (int32_t i = 0; i < list->count; ++i) {
        if (list->names != nullptr) std::free(list->names[i]);
        if (list->paths != nullptr) std::free(list->paths[i]);
    }
    std::free(list->names);
    std::free(list->paths);
    initDynLibList(list);
}

VELMAR_API int16_t addDynLibToList(DynLibList *list, const char *first, const char *second) {
    if (list == nullptr) return -1;
    size_t grown = static_cast<size_t>(list->count) + 1;
    auto **names = static_cast<char **>(std::realloc(list->names, grown * sizeof(char *)));
    if (names == nullptr) return -1;
    list->names = names;
    auto **paths = static_cast<char **>(std::realloc(list->paths, grown * sizeof(char *)));
    if (paths == nullptr) return -1;
    list->paths = paths;
    char *a = copyText(first);
    char *b = copyText(second);
    if (a == nullptr || b == nullptr) {
        std::free(a);
        std::free(b);
        return -2;
    }
    list->names[list->count] = a;
    list->paths[list->count] = b;
    ++list->count;
    return 0;
}

VELMAR_API StringList *initStringList(StringList *list) {
    if (list == nullptr) return nullptr;
    list->count = 0;
    list->texts = nullptr;
    return list;
}

VELMAR_API void freeStringList(StringList *list) {
    if (list == nullptr) return;
    for (int32_t i = 0; i < list->count && list->texts != nullptr; ++i) std::free(list->texts[i]);
    std::free(list->texts);
    initStringList(list);
}

VELMAR_API int16_t addStringToList(StringList *list, const char *text) {
    if (list == nullptr) return -1;
    auto **texts = static_cast<char **>(
        std::realloc(list->texts, (static_cast<size_t>(list->count) + 1) * sizeof(char *)));
    if (texts == nullptr) return -1;
    list->texts = texts;
    char *copy = copyText(text);
    if (copy == nullptr) return -2;
    list->texts[list->count++] = copy;
    return 0;
}

}  // extern "C"
