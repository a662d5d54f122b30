// Conversion UIDs made whole or not at all: the checks of the base.uid root and the composition
// that refuses, instead of cutting, a UID that would pass 64 characters.
#ifndef VELMAR_DEFS_GENUID_H
#define VELMAR_DEFS_GENUID_H

#include <cstddef>
#include <cstdint>
#include <string>

#include "velmar/dicom.h"

namespace velmar::defs {

// The longest root that leaves room for a conversion's time stamp, unique component and numbers.
constexpr size_t kRootMax = 28;

// Why `root` cannot serve as the root of generated UIDs (digits and dots, no empty component, no
// leading zero, at most kRootMax characters), or empty when it can.
std::string rootProblem(const std::string &root);

// As genUID2 with base.uid's root, `suffix` and `extra`, but every component whole: -1 with
// `problem` set when the root is unusable or the UID would pass 64 characters.
int16_t genWholeUID(AppData *app, DicomObject *obj, uint8_t flags, char *uid, const char *suffix,
                    const char *extra, std::string &problem);

}  // namespace velmar::defs

#endif
