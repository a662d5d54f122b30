/* velmar Interfile-to-DICOM conversion: the conversion driver and its relations. */
#ifndef VELMAR_CONVERT_H
#define VELMAR_CONVERT_H

#include "common.h"
#include "dicom.h"
#include "interfile.h"

VELMAR_BEGIN_DECLS

/* ---- Conversion (section owned by the conversion engineer) ----------------------------------- */

VELMAR_END_DECLS

#endif
