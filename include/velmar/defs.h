/* velmar definitions: the definition-file scanner, the attribute dictionary, the UID table and UID
 * generation, IOD and module definitions, binding, value checks and object verification. */
#ifndef VELMAR_DEFS_H
#define VELMAR_DEFS_H

#include "common.h"
#include "dicom.h"

VELMAR_BEGIN_DECLS

/* ---- Scanner, dictionary, UIDs (section owned by the dictionary engineer) ------------------ */

/* Size of the buffer that receives an IOD key from InitUIDDef (19 characters and terminator). */
#define VELMAR_IOD_KEY_SIZE 20
/* Size of the buffer that receives a time stamp (14 digits and terminator). */
#define VELMAR_STAMP_SIZE 15
/* Size of the buffer that receives the per-conversion unique component of gen_stamp_unique. */
#define VELMAR_UNIQUE_SIZE 24

/* Loads the attribute dictionary into app from tag_tab.def and, unless primaryOnly, tag2_tab.def.
 * Returns 0, or -1 when the primary file is missing, a file has a syntax error (logged) or memory
 * runs out. Records read before an error stay loaded. */
VELMAR_API int16_t InitTagDef(AppData *app, int16_t primaryOnly);
/* Releases the attribute dictionary of app. */
VELMAR_API void DoneTagDef(AppData *app);

/* Looks uid up in uid_tab.def, then (unless primaryOnly) uid2_tab.def. Returns 0 with the IOD key
 * in iodKey (VELMAR_IOD_KEY_SIZE characters), or -1 with iodKey empty. */
VELMAR_API int16_t InitUIDDef(AppData *app, const char *uid, int16_t primaryOnly, char *iodKey);

/* Writes the local date and time as 14 digits (YYYYMMDDhhmmss) into stamp (VELMAR_STAMP_SIZE).
 * app and obj are not used. Returns 0. */
VELMAR_API int16_t gen_stamp(AppData *app, DicomObject *obj, char *stamp);
/* Like gen_stamp, and from the same clock reading writes into unique (VELMAR_UNIQUE_SIZE) a UID
 * component that no other call in any process of this host yields for the same stamp: "1", the
 * six digits of the microsecond, then the process id. Pass it as the extra component of genUID2
 * (uidFlags bit 1), which shortens it first when the UID would pass 64 characters. Returns 0. */
VELMAR_API int16_t gen_stamp_unique(AppData *app, DicomObject *obj, char *stamp, char *unique);
/* Composes a UID into uid (VELMAR_UID_SIZE): the root from base.uid, then the suffix, then with
 * uidFlags bit 2 the object's Series and Acquisition Numbers, with bit 4 its Instance Number; each
 * component after a ".". Returns 0, or -1 with uid empty when base.uid cannot be read. */
VELMAR_API int16_t genUID(AppData *app, DicomObject *obj, uint8_t uidFlags, char *uid, const char *suffix);
/* As genUID; a non-null root, seriesNumber, acquisitionNumber or instanceNumber replaces the value
 * taken from base.uid or from the object, and with uidFlags bit 1 a non-null extra is added as a
 * component after the suffix. The extra component is cut first (from its end, or dropped) so that
 * the components after it keep their room within 64 characters. */
VELMAR_API int16_t genUID2(AppData *app, DicomObject *obj, uint8_t uidFlags, char *uid, const char *suffix,
                           const char *root, const char *extra, const char *seriesNumber,
                           const char *acquisitionNumber, const char *instanceNumber);

/* ---- IOD and module definitions, binding, checks, verification, editing through entries ---- */

/* Releases the definitions bound to an object (called by DO_closeObject). */
VELMAR_API void DoneABCDef(struct ABDef **definitions);

VELMAR_END_DECLS

#endif
