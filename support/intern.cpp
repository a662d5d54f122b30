// Process-wide table of interned file names: pixel data descriptors are copied byte for byte,
// so the file name they point to must have one owner that outlives every copy.
#include <memory>
#include <mutex>
#include <set>
#include <string>

#include "velmar/codecs.h"

namespace {
std::set<std::string> &table() {
    static auto *names = new std::set<std::string>();  // lives until the process ends
    return *names;
}
std::mutex &tableLock() {
    static std::mutex lock;
    return lock;
}
}  // namespace

extern "C" VELMAR_API const char *velmar_internFileName(const char *name) {
    if (name == nullptr) return nullptr;
    try {
        std::lock_guard<std::mutex> guard(tableLock());
        return table().insert(std::string(name)).first->c_str();
    } catch (...) {
        return nullptr;
    }
}

extern "C" VELMAR_API const char *velmar_version(void) { return VELMAR_VERSION_TEXT; }
