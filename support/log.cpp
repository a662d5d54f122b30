// Logging: one line per message to an optional file and to standard error, each with its own
// level threshold taken from the log's mask.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "velmar/support.h"

namespace {

constexpr size_t kLineSize = VELMAR_LOG_LINE_MAX + 1;

const char *prefixFor(int level) {
    switch (level) {
    case 1: return "Error: ";
    case 2: return "Warning: ";
    case 3: return "Info: ";
    default: return "";
    }
}

// asctime-style text of the current local time, with its line end.
void timeText(char *out, size_t size) {
    std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    if (std::strftime(out, size, "%a %b %e %H:%M:%S %Y\n", &local) == 0) out[0] = '\0';
}

}  // namespace

extern "C" {

VELMAR_API void log_message(Log *log, const char *text, int16_t level) {
    if (log == nullptr) return;
    const char *prefix = prefixFor(level);
    int effective = level < 0 ? -level : level;
    // Long texts are cut so that the line (prefix included) stays within the line buffer.
    char line[kLineSize];
    std::snprintf(line, sizeof line, "%s%s", prefix, text != nullptr ? text : "");
    if (log->file != nullptr && effective <= (log->mask & 0x0F)) {
        std::fprintf(log->file, "%s\n", line);
        std::fflush(log->file);
    }
    if (effective <= ((log->mask >> 4) & 0x0F)) {
        std::fprintf(stderr, "%s\n", line);
        std::fflush(stderr);
    }
}

VELMAR_API Log *log_start(void *owner, const char *file_name, const char *title, uint16_t mask,
                          int16_t append, int argc, char **argv) {
    auto *log = static_cast<Log *>(std::calloc(1, sizeof(Log)));
    if (log == nullptr) return nullptr;
    log->mask = mask;
    log->owner = owner;
    if (file_name != nullptr) log->file = std::fopen(file_name, append != 0 ? "a" : "w");

    char stamp[64];
    timeText(stamp, sizeof stamp);
    size_t n = std::strlen(stamp);
    if (n > 0 && stamp[n - 1] == '\n') stamp[n - 1] = '\0';
    char line[kLineSize];
    std::snprintf(line, sizeof line, "*** Log start: %s", stamp);
    log_message(log, line, -1);
    std::snprintf(line, sizeof line, "%s", title != nullptr ? title : "");
    log_message(log, line, -1);

    // The command line: the first word, then " word" for each further one, cut at the buffer.
    line[0] = '\0';
    size_t used = 0;
    for (int i = 0; i < argc && argv != nullptr && argv[i] != nullptr; ++i) {
        int written = std::snprintf(line + used, sizeof line - used, i == 0 ? "%s" : " %s", argv[i]);
        if (written < 0) break;
        used += static_cast<size_t>(written);
        if (used >= sizeof line - 1) break;  // the line is full: snprintf has cut it
    }
    log_message(log, line, -1);
    return log;
}

VELMAR_API void log_end(Log **log_pointer, void *owner) {
    if (log_pointer == nullptr || *log_pointer == nullptr) return;
    Log *log = *log_pointer;
    if (log->owner != owner) return;
    char stamp[64];
    timeText(stamp, sizeof stamp);
    char line[kLineSize];
    std::snprintf(line, sizeof line, "*** Log end  : %s", stamp);
    log_message(log, line, -1);
    if (log->file != nullptr) std::fclose(log->file);
    std::free(log);
    *log_pointer = nullptr;
}

VELMAR_API void log_mask(Log *log, uint16_t mask) {
    if (log != nullptr) log->mask = mask;
}

VELMAR_API void log_abort(Log *log, const char *text) {
    if (log == nullptr) std::exit(1);
    log_message(log, text, 1);
    Log *own = log;
    log_end(&own, log->owner);
    std::exit(1);
}

}  // extern "C"
