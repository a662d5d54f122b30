// Opening input files only when they are regular files, and telling whether a path stays inside
// a directory once its symbolic links are resolved.
#include "support/regularfile.h"

#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <memory>

namespace velmar::support {
namespace {

std::string resolved(const std::string &path) {
    std::unique_ptr<char, decltype(&std::free)> real(realpath(path.c_str(), nullptr), &std::free);
    return real != nullptr ? std::string(real.get()) : std::string();
}

}  // namespace

int openRegularFile(const char *path) {
    if (path == nullptr) {
        errno = EINVAL;
        return -1;
    }
    // O_NONBLOCK keeps the open of a FIFO without writer from waiting; it is cleared again for
    // the reads of a regular file.
    int fd = open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) return -1;
    struct stat info {};
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        close(fd);
        errno = S_ISDIR(info.st_mode) ? EISDIR : EINVAL;
        return -1;
    }
    int flags = fcntl(fd, F_GETFL);
    if (flags >= 0) fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    return fd;
}

FILE *fopenRegularFile(const char *path, const char *mode) {
    int fd = openRegularFile(path);
    if (fd < 0) return nullptr;
    FILE *file = fdopen(fd, mode != nullptr ? mode : "r");
    if (file == nullptr) close(fd);
    return file;
}

bool isRegularFile(const char *path) {
    struct stat info {};
    return path != nullptr && stat(path, &info) == 0 && S_ISREG(info.st_mode);
}

bool isTrustedFile(const char *path) {
    struct stat info {};
    if (path == nullptr || stat(path, &info) != 0 || !S_ISREG(info.st_mode)) return false;
    if ((info.st_mode & (S_IWGRP | S_IWOTH)) != 0) return false;
    return info.st_uid == geteuid() || info.st_uid == 0;
}

bool liesInside(const std::string &directory, const std::string &path) {
    std::string base = resolved(directory), target = resolved(path);
    // A file that does not exist (yet) lies where its directory lies.
    size_t cut = path.rfind('/');
    if (target.empty() && cut != std::string::npos && cut + 1 < path.size()) {
        std::string parent = resolved(cut == 0 ? "/" : path.substr(0, cut));
        if (!parent.empty()) target = parent + (parent.back() == '/' ? "" : "/") + path.substr(cut + 1);
    }
    if (base.empty() || target.empty()) return false;
    if (base.back() != '/') base += '/';
    return target.compare(0, base.size(), base) == 0;
}

}  // namespace velmar::support
