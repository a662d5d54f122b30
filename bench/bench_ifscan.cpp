// Benchmark of the Interfile header scanner on stray text: a key line whose value ends at a bar
// followed by a long run of name characters, and a control byte followed by such a run, each at n
// and 10 n characters. Every stray character is logged (to /dev/null), so a linear scanner takes
// about ten times as long for ten times the text; the physical floor is reading the file.
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include "velmar.h"

namespace {

std::string gDefinition;

char *findDefinition(const char *, char *out, size_t size) {
    std::snprintf(out, size, "%s", gDefinition.c_str());
    return out;
}

double secondsToRead(IAppData *iapp, const std::string &path) {
    auto start = std::chrono::steady_clock::now();
    InterfileHeader *header = nullptr;
    readinterfileheader(iapp, &header, path.c_str());
    doneinterfile(&header);
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

double secondsToCopy(const std::string &path) {
    auto start = std::chrono::steady_clock::now();
    std::ifstream in(path, std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    volatile size_t size = bytes.size();
    (void)size;
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

std::string header(const std::string &strayLine) {
    return "!INTERFILE :=\n!GENERAL DATA :=\n" + strayLine + "\n";
}

}  // namespace

int main() {
    gDefinition = std::string(VELMAR_SHARE_DIR) + "/interfil.def";
    IAppData iapp;
    init_IAppData(&iapp, "bench", "1.0", nullptr);
    iapp.findFile = findDefinition;
    iapp.log = log_start(&iapp, "/dev/null", "bench", 0x03, 0, 0, nullptr);
    if (InitINTERFILEdef(&iapp) != 0) {
        std::fprintf(stderr, "bench_ifscan: cannot load %s\n", gDefinition.c_str());
        return 1;
    }
    std::string path = "/tmp/velmar_bench_ifscan_" + std::to_string(getpid()) + ".hdr";
    std::printf("%-34s %10s %10s %10s %8s\n", "header", "n", "10 n", "10n/n", "floor");
    // The run without messages is made long enough that neither size fits in the caches.
    struct Case {
        const char *kind;
        size_t base;
    };
    for (const Case &test :
         {Case{"value, bar, stray run", 100000}, Case{"control byte, stray run", 1000000}}) {
        const char *kind = test.kind;
        const size_t base = test.base;
        double seconds[2] = {0, 0};
        double floor = 0;
        for (int scale = 0; scale < 2; ++scale) {
            std::string run((scale == 0 ? 1 : 10) * base, 'a');
            std::string line = kind[0] == 'v' ? "patient name := A|" + run : "\x01" + run + " := x";
            std::ofstream(path, std::ios::binary) << header(line);
            // The best of three runs, so that a cold cache or a busy machine weighs less.
            seconds[scale] = secondsToRead(&iapp, path);
            for (int again = 0; again < 2; ++again)
                seconds[scale] = std::min(seconds[scale], secondsToRead(&iapp, path));
            floor = secondsToCopy(path);
        }
        std::printf("%-34s %9.4fs %9.4fs %10.1f %7.4fs\n", kind, seconds[0], seconds[1],
                    seconds[1] / seconds[0], floor);
    }
    std::remove(path.c_str());
    DoneINTERFILEdef(&iapp);
    done_IAppData(&iapp);
    return 0;
}
