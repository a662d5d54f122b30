// The writer's temporary file: created beside the target, made durable and given the target's
// permissions before it takes the target's name; removed on failure, on a signal, and (when its
// process is gone) by the next write into the same directory.
#pragma once

#include <cstdio>
#include <string>

namespace velmar::dicom {

class TemporaryFile {
   public:
    // Creates "_velmar_<pid>_..." in the directory of `target`; stream() is null on failure.
    explicit TemporaryFile(const char *target);
    ~TemporaryFile();
    TemporaryFile(const TemporaryFile &) = delete;
    TemporaryFile &operator=(const TemporaryFile &) = delete;

    FILE *stream() const { return stream_; }
    const std::string &path() const { return path_; }
    // Flushes, syncs and closes the stream; false when any byte may not have reached the disk.
    bool close();
    // Gives the closed file the target's permission bits (and owner), renames it onto the target
    // and syncs the directory: false, and the target untouched, when the rename fails.
    bool commit();

   private:
    std::string target_;
    std::string directory_;
    std::string path_;
    FILE *stream_ = nullptr;
    int slot_ = -1;
    bool committed_ = false;
};

}  // namespace velmar::dicom
