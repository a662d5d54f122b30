// Internal interface of the frame kernel: the Pixel Data writer the DICOM writer calls.
#pragma once

#include <string>

#include "velmar/codecs.h"

namespace velmar::codecs {

// What one conversion changed in the image it wrote (see setCodedImageInfo): the Photometric
// Interpretation and Planar Configuration after it (empty, -1: unchanged), the lossy method (empty:
// lossless), and the byte counts of the raw frames and of the coded output.
struct CodingEffects {
    std::string photometric;
    int16_t planarConfiguration = -1;  // -1: unchanged
    std::string lossyMethod;
    uint64_t rawBytes = 0;
    uint64_t codedBytes = 0;
};

// Converts the pixels the descriptor points to into io->transferSyntaxUID and writes the whole
// Pixel Data element (native, or encapsulated with a Basic Offset Table for code 3) to
// io->stream in io->dataSyntax. `available` is the byte count of the descriptor block (the
// element's length); a block too short for its frame table is refused. Returns 0, or a negative
// status when a codec is missing, a codec or the source fails, or the output cannot be written.
int16_t writePixelDataElement(AppData *app, IOObject *io, const PixelDataDescriptor *descriptor,
                              uint32_t available, CodingEffects *effects = nullptr);

// Byte count of one source frame (its fragments in order); false when it has no entries, lies
// beyond the end of the source file, or the file cannot be opened.
bool frameExtent(KernelPrivate *kernel, uint32_t frame, uint64_t *total_out);
// Reads one source frame of frameExtent bytes into `into`, in host byte order (a bit-packed
// frame moved to its first bit).
bool readFrameInto(KernelPrivate *kernel, uint32_t frame, uint8_t *into);
// The bytes a frame of `extent` bytes in the source has once read (bit-packed frames: frameSize).
uint64_t frameBytesRead(KernelPrivate *kernel, uint64_t extent);

// Hands over a whole coded frame in pieces, written without a copy when it is the next frame of
// an encapsulated output; otherwise held as fragment 0 like any other fragment. 0 or -1.
int16_t addCodedFrame(KernelPrivate *kernel, uint32_t frame, const uint8_t *const *pieces,
                      const uint32_t *lengths, size_t count);

}  // namespace velmar::codecs
