/* velmar definitions: the definition-file scanner, the attribute dictionary, the UID table and UID
 * generation, IOD and module definitions, binding, value checks and object verification. */
#ifndef VELMAR_DEFS_H
#define VELMAR_DEFS_H

#include "common.h"
#include "dicom.h"

VELMAR_BEGIN_DECLS

/* ---- Scanner, dictionary, UIDs (section owned by the dictionary engineer) ------------------ */

/* ---- IOD and module definitions, binding, checks, verification, editing through entries ---- */

/* Releases the definitions bound to an object (called by DO_closeObject). */
VELMAR_API void DoneABCDef(struct ABDef **definitions);

VELMAR_END_DECLS

#endif
