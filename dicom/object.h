// Internal interface of the DICOM object operations that other parts of the library share.
#pragma once

#include "velmar/dicom.h"

namespace velmar::dicom {

// Unlinks `node` from its parent and frees it with its subtree, keeping the object's current
// container and cursor off the freed memory.
void deleteNode(DicomObject *obj, DicomElement *node);

}  // namespace velmar::dicom
