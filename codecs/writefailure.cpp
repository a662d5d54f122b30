// The cause of a failed write, kept per thread between the failure and the writer's report.
#include "codecs/writefailure.h"

#include <cstdarg>
#include <cstdio>

namespace velmar::codecs {
namespace {

thread_local std::string noted;

}  // namespace

void noteWriteFailure(const char *format, ...) {
    if (!noted.empty()) return;
    char text[512];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    try {
        noted = text[0] != '\0' ? text : "unknown failure";
    } catch (...) {
    }
}

bool writeFailureNoted() {
    return !noted.empty();
}

std::string takeWriteFailure() {
    std::string cause;
    cause.swap(noted);
    return cause;
}

}  // namespace velmar::codecs
