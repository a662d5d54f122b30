// Deflated Explicit VR Little Endian: the data set after the meta header is one raw deflate
// stream. The reader inflates such a file into a temporary file it then reads; the writer writes
// the data set in explicit VR little endian and compresses it afterwards.
#pragma once

#include <string>

#include "velmar/dicom.h"

namespace velmar::dicom {

inline constexpr const char *kDeflatedSyntaxUID = "1.2.840.10008.1.2.1.99";
inline constexpr const char *kExplicitLittleUID = "1.2.840.10008.1.2.1";

bool isDeflatedSyntax(const char *uid);

enum class Inflation { NotDeflated, Inflated, Failed };

// When `file_name` is a PS3.10 file in the deflated syntax, writes its meta header and its
// inflated data set to a temporary file (removed when the process ends) named in `inflated`.
Inflation inflateDataSet(const char *file_name, std::string &inflated);

// Logs at level 1 that the deflated data set of `file_name` cannot be inflated.
void logInflateFailure(AppData *app, const char *file_name);

// After reading an inflated copy: the pixel data of the object lies natively in explicit VR little
// endian in that copy, which is what every Pixel Data descriptor of the object then says.
void markPixelDataExplicit(DicomObject *obj);

// Rewrites the PS3.10 file at `path`, whose data set is explicit VR little endian, into the
// deflated syntax: (0002,0010) and (0002,0000) rewritten, the data set compressed. False on any
// failure (the file may then be incomplete).
bool deflateDataSet(const std::string &path);

}  // namespace velmar::dicom
