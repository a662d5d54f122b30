// Internal interface of the attribute lookups: the dictionary index kept in AppData.
#pragma once

#include "velmar/dicom.h"

namespace velmar::dicom {

// Folds repeating groups onto the key under which the dictionary holds them.
uint32_t normaliseTag(uint32_t tag);

// The dictionary entry of a tag (primary table first, first record wins), or nullptr.
const AttrDef *findAttr(AppData *app, uint32_t tag);

// Frees the lookup index; the dictionary loaders call it whenever the tables change.
void releaseTagIndex(AppData *app);

}  // namespace velmar::dicom
