// Fuzz target of the DICOM file writer: any bytes that the reader accepts are written in each
// uncompressed syntax with the shipped dictionary, and every write reported saved must read back.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "tests/fuzz/writer_roundtrip.h"

namespace {

struct Session {
    AppData app{};
    bool ready = false;
    Session() {
        setenv("VELMAR_DEF_PATH", VELMAR_SHARE_DIR, 0);
        init_AppData(&app, "fuzz", "1", nullptr);
        ready = InitTagDef(&app, 1) == 0 && native_LibraryInit(&app) == 0;
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static Session session;
    static const std::string base = "/tmp/velmar_fuzz_writer_" + std::to_string(getpid());
    static const std::string input = base + ".dcm", output = base + "_out.dcm";
    static const bool cleanup = std::atexit([] {
                                    std::remove(input.c_str());
                                    std::remove(output.c_str());
                                }) == 0;
    (void)cleanup;
    if (!session.ready) std::abort();
    FILE *f = std::fopen(input.c_str(), "wb");
    if (f == nullptr) return 0;
    if (size > 0) std::fwrite(data, 1, size, f);
    std::fclose(f);
    writer_roundtrip::Outcome outcome = writer_roundtrip::run(&session.app, input, output);
    if (!outcome.failure.empty()) {
        std::fprintf(stderr, "%s\n", outcome.failure.c_str());
        std::abort();
    }
    return 0;
}
