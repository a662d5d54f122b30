// Checks of the DICOM file writer: the structure of a tree before it is written, and the written
// file read back before it replaces the target.
#pragma once

#include "velmar/dicom.h"

namespace velmar::dicom {

// Normalises what has a plain meaning (misplaced delimiters are dropped, odd values padded,
// elements that do not belong in a file dropped, each with a level-2 message) and refuses what
// cannot be written as valid DICOM (a level-1 message naming the element): 0 or -1.
int16_t prepareTreeForWrite(AppData *app, IOObject *io);

// Whether the file at `path` reads back through the reader; when it does not, a level-1 message
// says why, naming `target`.
bool readsBack(AppData *app, const char *path, const char *target);

}  // namespace velmar::dicom
