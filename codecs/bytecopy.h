// Moving uncompressed pixel bytes from file to file with the least work: copy_file_range when the
// byte order stays, large blocks reversed in place when it changes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

namespace velmar::codecs {

// Copies byte runs of a source file to a target file from a given offset on, in order. Runs
// that follow each other in the source are merged, so that a frame table of contiguous frames
// becomes a few large copies; frames are counted as they are closed, and reported as written
// once their bytes are in the target.
class RunCopier {
   public:
    // swapUnit 0: the bytes go unchanged; 2, 4 or 8: every sample of that size is reversed.
    RunCopier(int source, int target, uint64_t targetOffset, unsigned swapUnit);

    // Queues `length` bytes at `offset` of the source. False when an earlier copy failed.
    bool add(uint64_t offset, uint64_t length);
    // Closes a frame: returns how many closed frames are now written (0 while their bytes are
    // still queued), or -1 when a copy failed.
    int64_t endFrame();
    // Writes what is queued: the count of frames written by it, or -1 when a copy failed.
    int64_t finish();

    uint64_t targetOffset() const { return targetOffset_; }
    uint64_t bytesWritten() const { return bytesWritten_; }

   private:
    bool flush();
    bool copyDirect(uint64_t &offset, uint64_t &length);
    bool copyBuffered(uint64_t offset, uint64_t length);
    void readAhead(uint64_t from, uint64_t length) const;
    void startWriteback(uint64_t from, uint64_t length) const;

    int source_;
    int target_;
    uint64_t targetOffset_;
    unsigned swapUnit_;
    bool direct_;  // copy_file_range still works between these files
    bool failed_ = false;
    uint64_t pendingOffset_ = 0;
    uint64_t pendingLength_ = 0;
    int64_t pendingFrames_ = 0;
    uint64_t bytesWritten_ = 0;
    std::unique_ptr<uint8_t[]> buffer_;  // kBufferBytes, left uninitialised: every byte is read into first
};

}  // namespace velmar::codecs
