// The writer's temporary file: a name of its own beside the target that carries the writing
// process's id, the target's permissions from the start, fsync before the rename and of the
// directory after it, and a table of the names in use that a signal handler may unlink.
#include "dicom/dicomwr_file.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "velmar/dicom.h"
#include "velmar/support.h"

namespace velmar::dicom {
namespace {

constexpr char kPrefix[] = "_velmar_";
constexpr char kSuffix[] = ".tmp";

// Names of the temporary files this process is writing, prepared before a signal may need them.
// state: 0 free, 1 being filled, 2 armed (the handler unlinks it).
struct PendingSlot {
    std::atomic<int> state{0};
    char path[PATH_MAX];
};
PendingSlot gPending[16];

int armSlot(const std::string &path) {
    if (path.size() >= PATH_MAX) return -1;
    for (int i = 0; i < 16; ++i) {
        int expected = 0;
        if (!gPending[i].state.compare_exchange_strong(expected, 1)) continue;
        std::memcpy(gPending[i].path, path.c_str(), path.size() + 1);
        gPending[i].state.store(2);
        return i;
    }
    return -1;  // not tracked: a signal leaves the file to the next write's clean-up
}

void releaseSlot(int slot) {
    if (slot >= 0) gPending[slot].state.store(0);
}

// The process id in a temporary name "_velmar_<pid>_....tmp", or 0.
long ownerOf(const char *name) {
    size_t length = std::strlen(name);
    if (std::strncmp(name, kPrefix, sizeof kPrefix - 1) != 0 || length < sizeof kSuffix ||
        std::strcmp(name + length - (sizeof kSuffix - 1), kSuffix) != 0)
        return 0;
    char *end = nullptr;
    long pid = std::strtol(name + sizeof kPrefix - 1, &end, 10);
    return end != nullptr && *end == '_' && pid > 0 ? pid : 0;
}

// Removes the temporary files that writers killed part way left in `directory`: those whose
// process no longer exists. A process that exists (even of another user) keeps its file.
void removeStaleTemporaries(const std::string &directory) {
    DIR *dir = opendir(directory.c_str());
    if (dir == nullptr) return;
    for (dirent *entry = readdir(dir); entry != nullptr; entry = readdir(dir)) {
        long pid = ownerOf(entry->d_name);
        if (pid == 0 || pid == static_cast<long>(getpid())) continue;
        if (kill(static_cast<pid_t>(pid), 0) == 0 || errno != ESRCH) continue;
        struct stat st {};
        if (fstatat(dirfd(dir), entry->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode))
            unlinkat(dirfd(dir), entry->d_name, 0);
    }
    closedir(dir);
}

std::string joinPath(const std::string &directory, const char *name) {
    char *joined = path_concat(directory.c_str(), name, nullptr);
    if (joined == nullptr) return std::string();
    std::string path(joined);
    std::free(joined);
    return path;
}

// Gives the new file the target's owner (when allowed) and permission bits, before any data is
// written, so that a private target's content is never readable by others on the way.
void copyOwnership(int fd, const struct stat &target) {
    if (geteuid() == 0) {
        if (fchown(fd, target.st_uid, target.st_gid) != 0) { /* kept as created */
        }
    } else if (geteuid() == target.st_uid) {
        if (fchown(fd, static_cast<uid_t>(-1), target.st_gid) != 0) { /* not a member of that group */
        }
    }
    fchmod(fd, target.st_mode & 07777);
}

int openExclusive(const std::string &directory, bool privateMode, std::string &path_out) {
    static std::atomic<unsigned> counter{0};
    auto ticks = static_cast<unsigned long long>(std::chrono::steady_clock::now().time_since_epoch().count());
    for (int attempt = 0; attempt < 100; ++attempt) {
        char name[96];
        std::snprintf(name, sizeof name, "%s%ld_%u_%llx%s", kPrefix, static_cast<long>(getpid()), counter++,
                      (ticks + static_cast<unsigned long long>(attempt) * 7919u) & 0xFFFFFFFFFFull, kSuffix);
        std::string path = joinPath(directory, name);
        if (path.empty()) return -1;
        int fd = open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, privateMode ? 0600 : 0666);
        if (fd >= 0) {
            path_out = path;
            return fd;
        }
        if (errno != EEXIST) return -1;
    }
    return -1;
}

// A file system that cannot sync (EINVAL) has nothing more to make durable.
bool synced(int fd) {
    return fsync(fd) == 0 || errno == EINVAL;
}

void syncDirectory(const std::string &directory) {
    int fd = open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    fsync(fd);
    ::close(fd);
}

}  // namespace

TemporaryFile::TemporaryFile(const char *target) : target_(target) {
    char *directory = velmar_dirname(target);
    if (directory == nullptr) return;
    directory_ = directory;
    std::free(directory);
    removeStaleTemporaries(directory_);
    struct stat st {};
    bool exists = stat(target, &st) == 0 && S_ISREG(st.st_mode);
    int fd = openExclusive(directory_, exists, path_);
    if (fd < 0) return;
    slot_ = armSlot(path_);
    if (exists) copyOwnership(fd, st);
    stream_ = fdopen(fd, "w+b");
    if (stream_ == nullptr) ::close(fd);
}

TemporaryFile::~TemporaryFile() {
    if (stream_ != nullptr) std::fclose(stream_);
    if (!committed_ && !path_.empty()) unlink(path_.c_str());
    releaseSlot(slot_);
}

bool TemporaryFile::close() {
    if (stream_ == nullptr) return false;
    bool ok = std::fflush(stream_) == 0 && std::ferror(stream_) == 0 && synced(fileno(stream_));
    ok = std::fclose(stream_) == 0 && ok;
    stream_ = nullptr;
    return ok;
}

bool TemporaryFile::commit() {
    if (stream_ != nullptr || path_.empty()) return false;
    if (std::rename(path_.c_str(), target_.c_str()) != 0) return false;
    committed_ = true;
    releaseSlot(slot_);
    slot_ = -1;
    syncDirectory(directory_);
    return true;
}

}  // namespace velmar::dicom

extern "C" {

// Only unlink and atomic loads: safe in a signal handler.
VELMAR_API void DO_removeTemporaryFiles(void) {
    for (velmar::dicom::PendingSlot &slot : velmar::dicom::gPending)
        if (slot.state.load() == 2) unlink(slot.path);
}

}  // extern "C"
