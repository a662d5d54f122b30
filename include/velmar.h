/* velmar: nuclear-medicine image files (DICOM objects and files, definitions and verification,
 * Interfile 3.3 headers and their conversion, pixel codecs, support services). */
#ifndef VELMAR_H
#define VELMAR_H

#define VELMAR_VERSION_MAJOR 0
#define VELMAR_VERSION_MINOR 1
#define VELMAR_VERSION_PATCH 0
#define VELMAR_VERSION_STRING "0.1.0"

#include "velmar/common.h"
#include "velmar/support.h"
#include "velmar/dicom.h"
#include "velmar/defs.h"
#include "velmar/interfile.h"
#include "velmar/convert.h"
#include "velmar/codecs.h"

VELMAR_BEGIN_DECLS
/* The run-time version of the library, "major.minor.patch". */
VELMAR_API const char *velmar_version(void);
VELMAR_END_DECLS

#endif
