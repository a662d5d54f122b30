// Fuzz target of the attribute dictionary loader: the input is tag_tab.def (and, as the
// secondary file, tag2_tab.def); every loaded entry is then looked up.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "velmar.h"

namespace {

// A private directory for the definition files, removed at exit.
const std::string &fuzzDir() {
    static const std::string dir = [] {
        char pattern[] = "/tmp/velmar_fuzz_tagdef_XXXXXX";
        const char *made = mkdtemp(pattern);
        if (made == nullptr) std::abort();
        std::string path(made);
        static std::string cleanup;
        cleanup = path;
        std::atexit([] {
            std::remove((cleanup + "/tag_tab.def").c_str());
            std::remove((cleanup + "/tag2_tab.def").c_str());
            rmdir(cleanup.c_str());
        });
        return path;
    }();
    return dir;
}

char *finder(const char *name, char *out, size_t size) {
    std::snprintf(out, size, "%s/%s", fuzzDir().c_str(), name);
    if (access(out, R_OK) != 0) out[0] = '\0';
    return out;
}

void writeFile(const char *name, const uint8_t *data, size_t size) {
    std::string path = fuzzDir() + "/" + name;
    FILE *file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) std::abort();
    if (size > 0) std::fwrite(data, 1, size, file);
    std::fclose(file);
}

void lookUpAll(AppData &app, const AttrDef *table, int16_t count) {
    for (int i = 0; i < count; ++i) {
        int32_t vr = 0;
        int16_t vm = 0;
        const char *text = nullptr;
        getVR(&app, table[i].tag, &vr);
        getVM(&app, table[i].tag, &vm);
        getAttrName(&app, table[i].tag, &text);
        if (text == nullptr || std::strlen(text) > 2005) std::abort();
        getPermitted(&app, table[i].tag, &text);
        getCStype(&app, table[i].tag, &text);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    // The same bytes serve as primary file and, behind a one-record primary, as secondary file.
    static const char primary[] = "{0x00100010, \"Patient's Name\", \"PN\", 1, \"\", \"\"},\n";
    AppData app;
    if (init_AppData(&app, "fuzz", "1", nullptr) != 0) std::abort();
    app.findDefFile = finder;

    writeFile("tag_tab.def", data, size);
    std::remove((fuzzDir() + "/tag2_tab.def").c_str());
    InitTagDef(&app, 0);
    lookUpAll(app, app.primaryTags, app.primaryTagCount);
    if (app.primaryTagCount > app.primaryTagCapacity) std::abort();
    DoneTagDef(&app);

    writeFile("tag_tab.def", reinterpret_cast<const uint8_t *>(primary), sizeof primary - 1);
    writeFile("tag2_tab.def", data, size);
    InitTagDef(&app, 0);
    lookUpAll(app, app.secondaryTags, app.secondaryTagCount);
    DoneTagDef(&app);
    done_AppData(&app);
    return 0;
}
