// Fuzz target of the UID table and of base.uid: the input is uid_tab.def, uid2_tab.def and
// base.uid at once; a few UIDs are looked up and UIDs are generated from that root.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "velmar.h"

namespace {

const std::string &fuzzDir() {
    static const std::string dir = [] {
        char pattern[] = "/tmp/velmar_fuzz_uiddef_XXXXXX";
        const char *made = mkdtemp(pattern);
        if (made == nullptr) std::abort();
        std::string path(made);
        static std::string cleanup;
        cleanup = path;
        std::atexit([] {
            for (const char *name : {"/uid_tab.def", "/uid2_tab.def", "/base.uid"})
                std::remove((cleanup + name).c_str());
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

void checkKey(int16_t result, const char *key) {
    if (key[VELMAR_IOD_KEY_SIZE] != 'G') std::abort();  // overrun
    if (result != 0 && key[0] != '\0') std::abort();    // a failure leaves the key empty
}

void checkUID(int16_t result, const char *uid) {
    if (uid[VELMAR_UID_SIZE] != 'G' || std::strlen(uid) > 64) std::abort();
    if (result != 0 && uid[0] != '\0') std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    AppData app;
    if (init_AppData(&app, "fuzz", "1", nullptr) != 0) std::abort();
    app.findDefFile = finder;
    writeFile("uid_tab.def", data, size);
    writeFile("uid2_tab.def", data, size);
    writeFile("base.uid", data, size);

    char key[VELMAR_IOD_KEY_SIZE + 1];
    for (const char *uid : {"1.2.840.10008.5.1.4.1.1.20", "", "1.2.3"}) {
        std::memset(key, 'G', sizeof key);
        checkKey(InitUIDDef(&app, uid, 0, key), key);
    }

    DicomObject *obj = nullptr;
    DO_openObject(&obj);
    char uid[VELMAR_UID_SIZE + 1];
    for (uint8_t flags : {0, 1, 3, 7}) {
        std::memset(uid, 'G', sizeof uid);
        checkUID(genUID(&app, obj, flags, uid, "20240101120000"), uid);
        std::memset(uid, 'G', sizeof uid);
        checkUID(genUID2(&app, obj, flags, uid, "20240101120000", nullptr, "1123456789012345", nullptr, "12",
                         nullptr),
                 uid);
    }
    DO_closeObject(&obj);
    done_AppData(&app);
    return 0;
}
