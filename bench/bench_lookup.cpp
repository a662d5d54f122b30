// Dictionary lookup benchmark: the indexed getVR over the loaded dictionary against a linear scan
// of the same tables with the same first-match rule, for every dictionary tag and for random
// tags the dictionary lacks. Prints lookups per second for both and, last, the speedup.
#include <time.h>

#include <cstdio>
#include <cstdlib>
#include <random>
#include <vector>

#include "velmar.h"

namespace {

// Repeating groups fold onto their base entry, as the library's lookups do.
uint32_t fold(uint32_t tag) {
    uint16_t group = static_cast<uint16_t>(tag >> 16);
    if ((group & 1) == 0 && ((group >= 0x5000 && group <= 0x501F) || (group >= 0x6000 && group <= 0x601F)))
        return tag & 0xFFE0FFFFu;
    if ((tag & 0xFFFFFF00u) == 0x00203100u) return 0x00203100u;
    return tag;
}

int32_t defaultVR(uint32_t key) {
    uint16_t element = static_cast<uint16_t>(key & 0xFFFF);
    if (element == 0) return VR_UL;
    if (((key >> 16) & 1) != 0 && element >= 0x0010 && element <= 0x00FF) return VR_LO;
    return -1;
}

// The lookup as a plain scan: primary table, then secondary, first record of the tag wins.
int32_t linearVR(const AppData &app, uint32_t tag) {
    uint32_t key = fold(tag);
    for (int i = 0; i < app.primaryTagCount; ++i)
        if (app.primaryTags[i].tag == key) return app.primaryTags[i].vr;
    for (int i = 0; i < app.secondaryTagCount; ++i)
        if (app.secondaryTags[i].tag == key) return app.secondaryTags[i].vr;
    return defaultVR(key);
}

int32_t indexedVR(AppData &app, uint32_t tag) {
    int32_t vr = -1;
    getVR(&app, tag, &vr);
    return vr;
}

// Processor time of this process in seconds: the machine may be shared, so wall time would
// count other programs' work.
double cpuSeconds() {
    timespec now{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

// Runs lookup over all tags until at least minSeconds of processor time have passed; returns
// lookups per second.
template <typename Lookup>
double measure(const std::vector<uint32_t> &tags, double minSeconds, Lookup lookup, long long &checksum) {
    long long lookups = 0;
    double start = cpuSeconds();
    double elapsed = 0;
    do {
        for (uint32_t tag : tags) checksum += lookup(tag);
        lookups += static_cast<long long>(tags.size());
        elapsed = cpuSeconds() - start;
    } while (elapsed < minSeconds);
    return static_cast<double>(lookups) / elapsed;
}

}  // namespace

int main() {
    if (std::getenv("VELMAR_DEF_PATH") == nullptr) setenv("VELMAR_DEF_PATH", VELMAR_SHARE_DIR, 1);
    AppData app;
    if (init_AppData(&app, "bench_lookup", "1", nullptr) != 0 || InitTagDef(&app, 0) != 0) {
        std::fprintf(stderr, "bench_lookup: the dictionary could not be loaded from %s\n",
                     std::getenv("VELMAR_DEF_PATH"));
        return 1;
    }

    // Every dictionary tag, then as many random tags that are not in the dictionary.
    std::vector<uint32_t> tags;
    for (int i = 0; i < app.primaryTagCount; ++i) tags.push_back(app.primaryTags[i].tag);
    for (int i = 0; i < app.secondaryTagCount; ++i) tags.push_back(app.secondaryTags[i].tag);
    size_t known = tags.size();
    std::mt19937 random(12345);
    while (tags.size() < 2 * known) {
        uint32_t tag = random();
        if (getVR(&app, tag, nullptr) != 0) tags.push_back(tag);
    }

    // Both ways must agree on every tag before their speed means anything.
    size_t differences = 0;
    for (uint32_t tag : tags)
        if (linearVR(app, tag) != indexedVR(app, tag)) ++differences;

    long long checksum = 0;
    double linear = measure(
        tags, 1.0, [&](uint32_t tag) { return linearVR(app, tag); }, checksum);
    double indexed = measure(
        tags, 1.0, [&](uint32_t tag) { return indexedVR(app, tag); }, checksum);

    std::printf("dictionary entries: %d primary, %d secondary\n", app.primaryTagCount, app.secondaryTagCount);
    std::printf("tags looked up: %zu known, %zu unknown; results that differ: %zu (checksum %lld)\n", known,
                tags.size() - known, differences, checksum);
    std::printf("linear scan: %.0f lookups/s\n", linear);
    std::printf("indexed:     %.0f lookups/s\n", indexed);
    std::printf("speedup: %.0f\n", indexed / linear);
    DoneTagDef(&app);
    done_AppData(&app);
    return differences == 0 ? 0 : 1;
}
