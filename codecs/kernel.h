// Internal interface of the frame kernel: the Pixel Data writer the DICOM writer calls.
#pragma once

#include "velmar/codecs.h"

namespace velmar::codecs {

// Converts the pixels the descriptor points to into io->transferSyntaxUID and writes the whole
// Pixel Data element (native, or encapsulated with a Basic Offset Table for code 3) to
// io->stream in io->dataSyntax. `available` is the byte count of the descriptor block (the
// element's length); a block too short for its frame table is refused. Returns 0, or a negative
// status when a codec is missing, a codec or the source fails, or the output cannot be written.
int16_t writePixelDataElement(AppData *app, IOObject *io, const PixelDataDescriptor *descriptor,
                              uint32_t available);

}  // namespace velmar::codecs
