// Path utilities: separator normalisation, directory part, joining, and the one-at-a-time
// directory scan over opendir and fnmatch.
#include <dirent.h>
#include <fnmatch.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "velmar/support.h"

namespace {

char *copyText(const std::string &text) {
    char *out = static_cast<char *>(std::malloc(text.size() + 1));
    if (out != nullptr) std::memcpy(out, text.c_str(), text.size() + 1);
    return out;
}

// State of the process-wide directory scan.
struct DirScan {
    DIR *handle = nullptr;
    std::string directory;
    std::string pattern;
    std::string suffix;
    bool hasSuffix = false;
    int filter = 0;
    uint32_t attributes = 0;
    char name[260] = {0};
};

DirScan &scan() {
    static DirScan state;
    return state;
}

bool endsWithSuffix(const char *name, const std::string &suffix) {
    const char *hit = std::strstr(name, suffix.c_str());
    return hit != nullptr && std::strlen(hit) == suffix.size();
}

uint32_t attributesOf(const std::string &path) {
    struct stat info {};
    if (stat(path.c_str(), &info) != 0) return 0;
    uint32_t bits = 0;
    if (S_ISDIR(info.st_mode)) bits |= VELMAR_FILE_ATTR_DIRECTORY;
    if ((info.st_mode & S_IWUSR) == 0) bits |= 0x01;  // read-only
    if (S_ISREG(info.st_mode)) bits |= 0x20;          // archive: an ordinary file
    return bits;
}

const char *advance() {
    DirScan &s = scan();
    if (s.handle == nullptr) return nullptr;
    while (dirent *entry = readdir(s.handle)) {
        if (fnmatch(s.pattern.c_str(), entry->d_name, 0) != 0) continue;
        std::string full = s.directory + "/" + entry->d_name;
        uint32_t bits = attributesOf(full);
        bool isDir = (bits & VELMAR_FILE_ATTR_DIRECTORY) != 0;
        if (s.filter == 0 && isDir) continue;
        if (s.filter == 1 && !isDir) continue;
        if (s.hasSuffix && endsWithSuffix(entry->d_name, s.suffix)) continue;
        s.attributes = bits;
        std::strncpy(s.name, entry->d_name, sizeof s.name - 1);
        s.name[sizeof s.name - 1] = '\0';
        return s.name;
    }
    return nullptr;
}

bool exists(const char *path) { return path != nullptr && path[0] != '\0' && access(path, F_OK) == 0; }

// Copies a found path into the caller's buffer; a path that does not fit gives an empty text.
char *copyOut(const char *path, char *out, size_t size) {
    if (out == nullptr || size == 0) return out;
    size_t n = std::strlen(path);
    if (n + 1 > size) {
        out[0] = '\0';
    } else {
        std::memcpy(out, path, n + 1);
    }
    return out;
}

}  // namespace

extern "C" {

VELMAR_API void fixpath(char *path) {
    if (path == nullptr) return;
    for (char *p = path; *p != '\0'; ++p)
        if (*p == '\\') *p = '/';
}

VELMAR_API char *velmar_dirname(const char *path) {
    if (path == nullptr) return nullptr;
    const char *last = std::strrchr(path, '/');
    if (last == nullptr) return copyText(".");
    const char *p = last;
    while (p > path && *(p - 1) == '/') --p;
    // p is the first of the run of separators before the last component; keep up to the
    // character before it, or the root separator itself.
    if (p == path) return copyText(std::string(path, 1));
    return copyText(std::string(path, static_cast<size_t>(p - path)));
}

VELMAR_API char *path_concat(const char *dir, const char *name, char **tail_out) {
    if (dir == nullptr || name == nullptr) return nullptr;
    std::string result(dir);
    bool dirEnds = !result.empty() && result.back() == '/';
    bool nameStarts = name[0] == '/';
    if (dirEnds && nameStarts) {
        result.pop_back();
    } else if (!dirEnds && !nameStarts) {
        result.push_back('/');
    }
    size_t tail = result.size();
    if (nameStarts) tail += 1;  // the name proper begins after its own separator
    result += name;
    char *out = copyText(result);
    if (out != nullptr && tail_out != nullptr) *tail_out = out + (tail <= result.size() ? tail : result.size());
    return out;
}

VELMAR_API char *dir_concat(char *dir, const char *name) {
    if (dir == nullptr || name == nullptr) return nullptr;
    size_t n = std::strlen(dir);
    if (n > 1 && dir[n - 1] == '/') dir[n - 1] = '\0';
    std::string result(dir);
    result += "/";
    result += name;
    return copyText(result);
}

VELMAR_API char *getfilefrompath(const char *dir, const char *file_name, char *out, size_t size) {
    if (out == nullptr || size == 0) return out;
    if (file_name == nullptr) {
        out[0] = '\0';
        return out;
    }
    if (exists(file_name)) return copyOut(file_name, out, size);
    if (dir != nullptr) {
        std::string directory(dir);
        fixpath(directory.data());
        char *joined = path_concat(directory.c_str(), file_name, nullptr);
        if (joined != nullptr) {
            bool found = exists(joined);
            if (found) copyOut(joined, out, size);
            std::free(joined);
            if (found) return out;
        }
    }
    out[0] = '\0';
    return out;
}

VELMAR_API char *getfilefromenvpath(const char *variable, const char *file_name, char *out, size_t size) {
    if (variable == nullptr) return out;
    return getfilefrompath(std::getenv(variable), file_name, out, size);
}

VELMAR_API char *getDICOMdeffilefromenvpath(const char *file_name, char *out, size_t size) {
    return getfilefromenvpath("VELMAR_DEF_PATH", file_name, out, size);
}

VELMAR_API const char *dir_open(const char *dir, const char *pattern, const char *suffix, int16_t filter) {
    dir_close();
    if (dir == nullptr || pattern == nullptr) return nullptr;
    DirScan &s = scan();
    s.filter = filter;
    s.directory = dir;
    while (s.directory.size() > 1 && s.directory.back() == '/') s.directory.pop_back();
    s.pattern = pattern;
    s.hasSuffix = suffix != nullptr;
    s.suffix = suffix != nullptr ? suffix : "";
    s.handle = opendir(s.directory.c_str());
    if (s.handle == nullptr) return nullptr;
    return advance();
}

VELMAR_API const char *dir_next(void) { return advance(); }

VELMAR_API void dir_close(void) {
    DirScan &s = scan();
    if (s.handle != nullptr) closedir(s.handle);
    s.handle = nullptr;
    s.directory.clear();
    s.pattern.clear();
    s.suffix.clear();
    s.hasSuffix = false;
    s.attributes = 0;
    s.name[0] = '\0';
}

VELMAR_API uint32_t dir_getfiletype(void) { return scan().attributes; }

}  // extern "C"
