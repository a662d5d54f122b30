// Fuzz target of the interfil.def parser: the input is loaded as the definition file; when it
// loads, a small header is read, checked and read back against it.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include <unistd.h>

#include "velmar.h"

namespace {

std::string &definitionPath() {
    static std::string path;
    return path;
}

char *findDefinition(const char *, char *out, size_t size) {
    std::snprintf(out, size, "%s", definitionPath().c_str());
    return out;
}

std::string temporaryFile(const char *pattern) {
    std::string name(pattern);
    int fd = mkstemp(name.data());
    if (fd < 0) std::abort();
    close(fd);
    return name;
}

// Key lines that reach blocks, groups and indexes of typical definitions.
const char kHeader[] =
    "!INTERFILE :=\n!version of keys := 3.3\n!GENERAL DATA :=\n!data offset in bytes := 0\n"
    "!GENERAL IMAGE DATA :=\n!type of data := Static\nnumber of energy windows := 2\n"
    "energy window [1] := a\n!Static Study (each frame) :=\nk := 1\n"
    "!Static Study (each frame) :=\nk := 2\nenergy window [2] := b\nx [2] := y\n"
    "!END OF INTERFILE :=\n";

// Temporary files of one fuzzing run, removed at exit.
struct Files {
    std::string definition = temporaryFile("/tmp/velmar-fuzz-def-XXXXXX");
    std::string header = temporaryFile("/tmp/velmar-fuzz-defhdr-XXXXXX");
    Files() {
        FILE *file = std::fopen(header.c_str(), "wb");
        if (file == nullptr) std::abort();
        std::fputs(kHeader, file);
        std::fclose(file);
        definitionPath() = definition;
    }
    ~Files() {
        std::remove(definition.c_str());
        std::remove(header.c_str());
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static Files files;
    FILE *file = std::fopen(files.definition.c_str(), "wb");
    if (file == nullptr) return 0;
    if (size > 0) std::fwrite(data, 1, size, file);
    std::fclose(file);

    IAppData app{};
    init_IAppData(&app, "fuzz", "1", nullptr);
    app.findFile = findDefinition;
    if (InitINTERFILEdef(&app) == 0) {
        InterfileHeader *header = nullptr;
        if (readinterfileheader(&app, &header, files.header.c_str()) == 0) {
            checkinterfileheader(header);
            char value[VELMAR_IF_VALUE_SIZE];
            for (int16_t key = 1; key <= app.definition->keyCount; ++key)
                getintervaluedef(header, key, 2, value);
            doneinterfile(&header);
        }
        DoneINTERFILEdef(&app);
    }
    done_IAppData(&app);
    return 0;
}
