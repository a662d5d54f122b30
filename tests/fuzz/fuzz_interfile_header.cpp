// Fuzz target of the Interfile header parser and key store: the input is a header read with
// the shipped interfil.def, then checked and read back through the accessors.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include <unistd.h>

#include "velmar.h"

namespace {

char *findShipped(const char *, char *out, size_t size) {
    std::snprintf(out, size, "%s", VELMAR_SHARE_DIR "/interfil.def");
    return out;
}

struct Setup {
    IAppData app{};
    std::string path;
    Setup() {
        init_IAppData(&app, "fuzz", "1", nullptr);
        app.findFile = findShipped;
        if (InitINTERFILEdef(&app) != 0) std::abort();
        char pattern[] = "/tmp/velmar-fuzz-header-XXXXXX";
        int fd = mkstemp(pattern);
        if (fd < 0) std::abort();
        close(fd);
        path = pattern;
    }
    ~Setup() {
        std::remove(path.c_str());
        DoneINTERFILEdef(&app);
        done_IAppData(&app);
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static Setup setup;
    FILE *file = std::fopen(setup.path.c_str(), "wb");
    if (file == nullptr) return 0;
    if (size > 0) std::fwrite(data, 1, size, file);
    std::fclose(file);
    InterfileHeader *header = nullptr;
    if (readinterfileheader(&setup.app, &header, setup.path.c_str()) == 0) {
        checkinterfileheader(header);
        char value[VELMAR_IF_VALUE_SIZE];
        for (int16_t key = 1; key <= setup.app.definition->keyCount; ++key)
            for (int16_t index = 0; index <= 3; ++index) getintervaluedef(header, key, index, value);
        doneinterfile(&header);
    }
    return 0;
}
