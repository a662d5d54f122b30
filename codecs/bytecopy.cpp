// Moving uncompressed pixel bytes from file to file: runs of the source go to the target by
// copy_file_range (the kernel copies, no user-space pass) when no byte order changes, else
// through one large buffer whose samples are reversed in place; the source is read ahead.
#include "codecs/bytecopy.h"
#include "codecs/samples.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace velmar::codecs {
namespace {

// Bytes queued before they are copied: large enough that system calls cost nothing next to the
// bytes. The buffer of the reversing copy stays small enough to remain in the processor's cache
// between the read, the reversal and the write, so the bytes cross memory only once each way.
constexpr uint64_t kQueueBytes = 8u << 20;
constexpr size_t kBufferBytes = 256u << 10;
// One copy_file_range call moves at most this much (the call itself takes less than 2 GiB).
constexpr uint64_t kDirectStep = 1u << 30;

bool readAll(int fd, uint8_t *into, size_t length, uint64_t offset) {
    while (length > 0) {
        ssize_t got = pread(fd, into, length, static_cast<off_t>(offset));
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return false;
        into += got;
        length -= static_cast<size_t>(got);
        offset += static_cast<uint64_t>(got);
    }
    return true;
}

bool writeAll(int fd, const uint8_t *from, size_t length, uint64_t offset) {
    while (length > 0) {
        ssize_t put = pwrite(fd, from, length, static_cast<off_t>(offset));
        if (put < 0 && errno == EINTR) continue;
        if (put <= 0) return false;
        from += put;
        length -= static_cast<size_t>(put);
        offset += static_cast<uint64_t>(put);
    }
    return true;
}

}  // namespace

RunCopier::RunCopier(int source, int target, uint64_t targetOffset, unsigned swapUnit)
    : source_(source),
      target_(target),
      targetOffset_(targetOffset),
      swapUnit_(swapUnit == 2 || swapUnit == 4 || swapUnit == 8 ? swapUnit : 0),
      direct_(swapUnit_ == 0) {}

bool RunCopier::add(uint64_t offset, uint64_t length) {
    if (failed_) return false;
    if (length == 0) return true;
    if (pendingLength_ > 0 && pendingOffset_ + pendingLength_ == offset) {
        pendingLength_ += length;
        return true;
    }
    if (!flush()) return false;
    pendingOffset_ = offset;
    pendingLength_ = length;
    return true;
}

int64_t RunCopier::endFrame() {
    if (failed_) return -1;
    ++pendingFrames_;
    if (pendingLength_ < kQueueBytes) return 0;
    return finish();
}

int64_t RunCopier::finish() {
    if (!flush()) return -1;
    int64_t frames = pendingFrames_;
    pendingFrames_ = 0;
    return frames;
}

bool RunCopier::flush() {
    if (failed_) return false;
    uint64_t offset = pendingOffset_, length = pendingLength_;
    pendingLength_ = 0;
    if (length == 0) return true;
    if (direct_ && !copyDirect(offset, length)) failed_ = true;
    // What copy_file_range could not move (another file system, an old kernel) goes through
    // the buffer.
    if (!failed_ && length > 0 && !copyBuffered(offset, length)) failed_ = true;
    return !failed_;
}

// Moves what it can with copy_file_range, advancing `offset` and reducing `length`; false only
// when the source ends before the run does.
bool RunCopier::copyDirect(uint64_t &offset, uint64_t &length) {
    while (length > 0) {
        auto from = static_cast<off_t>(offset);
        auto to = static_cast<off_t>(targetOffset_);
        ssize_t moved = copy_file_range(source_, &from, target_, &to, std::min(length, kDirectStep), 0);
        if (moved < 0 && errno == EINTR) continue;
        if (moved < 0) {
            direct_ = false;  // not supported between these files: the buffered copy takes over
            return true;
        }
        if (moved == 0) return false;
        offset += static_cast<uint64_t>(moved);
        length -= static_cast<uint64_t>(moved);
        startWriteback(targetOffset_, static_cast<uint64_t>(moved));
        targetOffset_ += static_cast<uint64_t>(moved);
        bytesWritten_ += static_cast<uint64_t>(moved);
    }
    return true;
}

bool RunCopier::copyBuffered(uint64_t offset, uint64_t length) {
    if (!buffer_) buffer_.reset(new uint8_t[kBufferBytes]);
    // Read-ahead is asked for, and write-back started, a queue's worth at a time: per block the
    // two calls would cost more than they save, and a run of one huge frame still overlaps its
    // reading, writing and syncing.
    uint64_t announced = offset;        // read-ahead asked for up to here (source)
    uint64_t flushed = targetOffset_;   // write-back started up to here (target)
    while (length > 0) {
        if (offset >= announced) {
            announced = offset + std::min(length, kQueueBytes);
            readAhead(offset, announced - offset);
        }
        size_t step = static_cast<size_t>(std::min<uint64_t>(length, kBufferBytes));
        if (!readAll(source_, buffer_.get(), step, offset)) return false;
        swapSamples(buffer_.get(), step, swapUnit_);
        if (!writeAll(target_, buffer_.get(), step, targetOffset_)) return false;
        offset += step;
        length -= step;
        targetOffset_ += step;
        bytesWritten_ += step;
        if (targetOffset_ - flushed >= kQueueBytes || length == 0) {
            startWriteback(flushed, targetOffset_ - flushed);
            flushed = targetOffset_;
        }
    }
    return true;
}

void RunCopier::readAhead(uint64_t from, uint64_t length) const {
#ifdef POSIX_FADV_WILLNEED
    posix_fadvise(source_, static_cast<off_t>(from), static_cast<off_t>(length), POSIX_FADV_WILLNEED);
#else
    (void)from;
    (void)length;
#endif
}

// The written file is synced before it replaces the target: starting the write-back of each run
// as soon as it is copied lets the disk work while the next run is copied, so that the final
// sync has less left to wait for. A file system that does not support it just waits then.
void RunCopier::startWriteback(uint64_t from, uint64_t length) const {
#ifdef SYNC_FILE_RANGE_WRITE
    sync_file_range(target_, static_cast<off_t>(from), static_cast<off_t>(length), SYNC_FILE_RANGE_WRITE);
#else
    (void)from;
    (void)length;
#endif
}

}  // namespace velmar::codecs
