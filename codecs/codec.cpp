// Codec registry: the codec libraries and codecs registered in the library context.
#include <cstdlib>
#include <cstring>

#include "velmar/codecs.h"

extern "C" {

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

}  // extern "C"
