// Internal interface of the DICOM file reader: a buffered input file and the frame indexer that
// the reader runs on it when it meets Pixel Data.
#pragma once

#include <cstdint>
#include <cstdio>
#include <vector>

#include "velmar/codecs.h"

namespace velmar::dicom {

// Reads a file through one large buffer, so that the many small fields of a data set cost no call
// into the C library each. Positions are absolute file offsets.
class InputFile {
  public:
    static constexpr size_t kBufferSize = 256 * 1024;

    InputFile() = default;
    // Borrows an open file from its current position; the destructor leaves the file positioned
    // where this reader stopped.
    explicit InputFile(FILE *borrowed);
    ~InputFile();
    InputFile(const InputFile &) = delete;
    InputFile &operator=(const InputFile &) = delete;

    bool open(const char *file_name);  // mode "rb"; takes the size once
    void close();
    bool isOpen() const { return file_ != nullptr; }

    uint64_t size() const { return size_; }
    uint64_t tell() const { return bufferBase_ + bufferPos_; }
    uint64_t remaining() const { return tell() < size_ ? size_ - tell() : 0; }

    // Reads exactly n bytes; false when the file ends first (what was there is consumed).
    bool read(void *out, size_t n);
    bool readU16(uint16_t &value, bool swap);
    bool readU32(uint32_t &value, bool swap);
    // Moves to an absolute position (may lie past the end: the next read then fails).
    void seek(uint64_t position);
    void skip(uint64_t n) { seek(tell() + n); }
    // True when no byte is left to read.
    bool atEnd();

  private:
    bool fill();

    FILE *file_ = nullptr;
    bool borrowed_ = false;
    uint64_t size_ = 0;
    uint64_t bufferBase_ = 0;  // file offset of buffer_[0]
    size_t bufferPos_ = 0;
    size_t bufferLength_ = 0;
    std::vector<unsigned char> buffer_;
};

}  // namespace velmar::dicom

namespace velmar::codecs {

// The frame indexer on the reader's buffered file: see indexPixelData. The file stands at the
// first byte of the value; on return it stands after the pixel data. A native value that its
// geometry does not account for is reported at level 2 to `log` (when given).
int16_t indexPixelData(velmar::dicom::InputFile &in, PixelDataDescriptor **descriptor_slot, int32_t syntax,
                       uint32_t length, Log *log = nullptr);

}  // namespace velmar::codecs
