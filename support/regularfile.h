// Opening input files only when they are regular files, so that a FIFO, a device, a socket or a
// directory given as input is refused at once instead of blocking or being read as data.
#pragma once

#include <cstdio>
#include <string>

namespace velmar::support {

// Opens `path` read-only (close-on-exec) when it is a regular file: -1 otherwise, with errno
// set (EINVAL for a file that is not regular). Opening never blocks, even on a FIFO.
int openRegularFile(const char *path);
// The same as a stream for reading ("r" or "rb"); nullptr when it cannot be opened or is not
// a regular file.
FILE *fopenRegularFile(const char *path, const char *mode);
// True when `path` names a regular file (symbolic links followed).
bool isRegularFile(const char *path);
// True when `path` is a regular file that only this user (or root) can change: owned by the
// effective user or by root, and writable neither by its group nor by others. Files that decide
// which code runs (codec maps, codec libraries) are used only then.
bool isTrustedFile(const char *path);
// True when `path`, with every symbolic link resolved, lies below `directory` (also resolved).
bool liesInside(const std::string &directory, const std::string &path);

}  // namespace velmar::support
