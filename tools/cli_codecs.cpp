// velmar codecs: the registered codec libraries and codecs, and the entries of the codec maps.
#include <strings.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "cli.h"

namespace velmar::cli {

namespace {

const std::vector<OptionDef> kCodecsOptions = withCommonOptions({
    {'l', "load", "NAME", "load the codec library that the codec maps give for codec NAME first"},
    {'o', "codec-option", "TEXT", "option text handed to the library loaded with --load"},
});

std::string pngOptions(const CodecLibrary *library) {
    if (library->privateData == nullptr) return "";
    char *text = getPNGOptStr(static_cast<const PNGOptions *>(library->privateData));
    if (text == nullptr) return "";
    std::string out = text;
    std::free(text);
    for (char &c : out)
        if (c == '\t') c = ' ';
    return out;
}

std::string described(const std::string &path) {
    return path + (::access(path.c_str(), R_OK) == 0 ? "" : " (absent)");
}

std::string defaultMapFile() {
    const char *dir = std::getenv("VELMAR_DEF_PATH");
    return described(dir != nullptr && dir[0] != '\0' ? std::string(dir) + "/defcodec.map" : "defcodec.map");
}

// The user map as the library looks for it: $VELMAR_USER_CODEC_PATH, else the configuration
// directory ($XDG_CONFIG_HOME/velmar, else ~/.config/velmar).
std::string userMapFile() {
    std::string dir;
    const char *config = std::getenv("XDG_CONFIG_HOME");
    const char *home = std::getenv("HOME");
    if (const char *given = std::getenv("VELMAR_USER_CODEC_PATH"))
        dir = given;
    else if (config != nullptr && config[0] == '/')
        dir = std::string(config) + "/velmar";
    else if (home != nullptr && home[0] != '\0')
        dir = std::string(home) + "/.config/velmar";
    return dir.empty() ? std::string("usrcodec.map (no configuration directory)")
                       : described(dir + "/usrcodec.map");
}

// Where the map's library can be found: "" for built-in and registered libraries and for a file
// found by its name or in the codec directory; otherwise a note saying it is missing.
std::string libraryState(Session &session, const char *library) {
    if (strcasecmp(library, "builtin") == 0 || isLibraryLoaded(session.app(), library) != 0) return "";
    std::string file = library;
    if (file.size() < 3 || file.compare(file.size() - 3, 3, ".so") != 0) file += ".so";
    if (file.find('/') != std::string::npos && ::access(file.c_str(), R_OK) == 0) return "";
    const std::string &dir = session.codecDir();
    if (!dir.empty() && ::access((dir + "/" + file).c_str(), R_OK) == 0) return "";
    return "  [missing: no " + file + " in " + (dir.empty() ? std::string("any codec directory") : dir) + "]";
}

void printRegistry(Session &session) {
    AppData *app = session.app();
    std::printf("Codec libraries:\n");
    for (uint16_t i = 0; i < app->codecLibraryCount; ++i) {
        const CodecLibrary *library = app->codecLibraries[i];
        if (library == nullptr) continue;
        std::string options = strcasecmp(library->libraryName, "png") == 0 ? pngOptions(library) : "";
        if (options.empty()) std::printf("  %s\n", library->libraryName);
        else std::printf("  %-12s options: %s\n", library->libraryName, options.c_str());
    }
    std::printf("\nCodecs:\n");
    for (uint16_t i = 0; i < app->codecCount; ++i) {
        const Codec *codec = app->codecs[i];
        if (codec == nullptr) continue;
        std::printf("  %-12s %-8s %s\n", codec->libraryName, codec->isCoder != 0 ? "coder" : "decoder",
                    codec->transferSyntaxUID);
    }
    const CodecMap *map = session.codecMap();
    std::printf("\nCodec map entries (%s, %s):\n", defaultMapFile().c_str(), userMapFile().c_str());
    if (map->count == 0) std::printf("  none\n");
    // Columns as wide as the longest name and library, so that the lines stay aligned.
    int nameWidth = 10, libraryWidth = 12;
    for (int32_t i = 0; i < map->count; ++i) {
        nameWidth = std::max(nameWidth, static_cast<int>(std::strlen(map->entries[i]->name)));
        libraryWidth = std::max(libraryWidth, static_cast<int>(std::strlen(map->entries[i]->library)));
    }
    for (int32_t i = 0; i < map->count; ++i) {
        const CodecMapEntry *entry = map->entries[i];
        std::printf("  %-24s %-*s %-*s %s%s\n", entry->uid, nameWidth, entry->name, libraryWidth, entry->library,
                    entry->note, libraryState(session, entry->library).c_str());
    }
}

}  // namespace

int runCodecs(ArgParser &args, bool verbose) {
    auto parsed = parseAll(args, kCodecsOptions, "codecs");
    if (!parsed) return kExitFailed;
    if (parsed->help) {
        printHelp("velmar codecs [--load NAME [--codec-option TEXT]]",
                  "Lists the codec libraries and codecs registered (the built-in native, interfile\n"
                  "and png libraries, and any library loaded with --load) and the entries of the\n"
                  "codec maps: defcodec.map in the definition directory and usrcodec.map in\n"
                  "$VELMAR_USER_CODEC_PATH, else in $XDG_CONFIG_HOME/velmar (~/.config/velmar),\n"
                  "never in the current directory. Each map line names a transfer syntax UID,\n"
                  "the codec name, the codec library and a note. A map or library that another\n"
                  "user can change is refused with a warning.",
                  kCodecsOptions);
        return kExitOk;
    }
    if (!parsed->positionals.empty()) {
        complain("codecs takes no arguments (see 'velmar codecs --help')");
        return kExitFailed;
    }
    if (parsed->has('o') && !parsed->has('l')) {
        complain("codecs: --codec-option goes with --load NAME");
        return kExitFailed;
    }
    Session session(verbose || parsed->verbose);
    if (!session.start() || !session.loadCodecs()) return kExitFailed;
    if (parsed->has('l')) {
        std::string name = parsed->value('l');
        std::string options = parsed->value('o');
        const char *names[1] = {name.c_str()};
        const char *texts[1] = {options.c_str()};
        const char *library = getLibForName(session.codecMap(), name.c_str());
        std::string lib = library != nullptr ? library : name;
        int32_t rc =
            init_DynamicCodecLibraries(session.app(), session.codecMap(), names, texts, 1,
                                       session.codecDir().empty() ? nullptr : session.codecDir().c_str());
        if (rc != 0) {
            if (rc >= 4000)
                complain("the codec library " + lib + " failed to start (LibraryInit)");
            else if (rc >= 2000)
                complain("cannot load the codec library " + lib + " (or it has no LibraryInit)");
            else
                complain("the codec " + name + " is not in the codec maps");
            return kExitFailed;
        }
    }
    printRegistry(session);
    return kExitOk;
}

}  // namespace velmar::cli
