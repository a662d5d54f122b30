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
 * component: "1", the six digits of the microsecond, then the process id. Within one process the
 * microseconds of successive calls strictly increase, so stamp and component together differ
 * between any two calls on one host (unless a process id is reused within the same second).
 * Pass it as the extra component of genUID2 (uidFlags bit 1), which shortens it first when the
 * UID would pass 64 characters. Returns 0. */
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

/* Bit of AttributeEntry.flags: the entry was created by binding for an element that the
 * definitions lack. */
#define VELMAR_ENTRY_ADDED 0x1u

/* Key of the module that collects the elements no other module defines. */
#define VELMAR_PRIVATE_MODULE_KEY "P.R.I.V.A.T.E"

/* Problem mask bits of the value and module checks. */
#define VELMAR_CHECK_LENGTH 0x0001u        /* value length outside the VR's limits */
#define VELMAR_CHECK_CHARACTERS 0x0002u    /* characters beyond the VR's pattern */
#define VELMAR_CHECK_FORMAT 0x0004u        /* value does not match the VR's format */
#define VELMAR_CHECK_RANGE 0x0008u         /* a field out of its range */
#define VELMAR_CHECK_UNKNOWN_VR 0x0010u    /* the dictionary has no usable VR */
#define VELMAR_CHECK_VM 0x0020u            /* number of values does not fit the VM */
#define VELMAR_CHECK_NOT_PERMITTED 0x0040u /* a value not among the permitted values */
#define VELMAR_CHECK_TYPE1_MISSING 0x0080u
#define VELMAR_CHECK_TYPE1_EMPTY 0x0100u
#define VELMAR_CHECK_TYPE2_MISSING 0x0200u

struct ModuleEntry;

/* One attribute of a module, one item entry (tag (FFFE,E000)) of a sequence attribute, or one
 * attribute inside an item entry. Texts belong to the owning ABDef. */
typedef struct AttributeEntry {
    uint32_t tag;                      /* group in the high 16 bits */
    const char *name;
    char type[4];                      /* "1", "1C", "2", "2C" or "3" */
    const char *note;
    uint16_t flags;                    /* VELMAR_ENTRY_ADDED */
    DicomElement *element;             /* bound element or NULL */
    struct AttributeEntry *next;
    struct AttributeEntry *prev;
    struct AttributeEntry *firstChild; /* sequence: its item entries; item: its attributes */
    struct AttributeEntry *lastChild;
    uint16_t inSequence;               /* 0: attribute of a module; 1: item entry or inside one */
    void *parent;                      /* ModuleEntry when inSequence is 0, else AttributeEntry */
    const char *condition;             /* when a 1C/2C attribute is required; "" unknown */
} AttributeEntry;

/* One module of an IOD. */
typedef struct ModuleEntry {
    const char *key;  /* for example "C.9.2"; the private module has VELMAR_PRIVATE_MODULE_KEY */
    const char *name;
    char usage;       /* 'M', 'C' or 'U' */
    const char *note;
    struct ModuleEntry *next;
    struct ModuleEntry *prev;
    AttributeEntry *firstAttribute;
    AttributeEntry *lastAttribute;
    struct ABDef *owner;
    const char *condition; /* when a usage C module is required; "" unknown */
    const char *types;     /* type overrides "(gggg,eeee)=T ..." of this IOD; "" none */
} ModuleEntry;

/* The IOD definition set owned by one DicomObject (its boundDefinitions). */
typedef struct ABDef {
    const char *key;
    const char *name;
    ModuleEntry *firstModule;
    ModuleEntry *lastModule;
    DStringBuffer *strings; /* all texts of the set */
} ABDef;

/* Loading: the IOD named iodKey from ab_tab.def (and ab2_tab.def unless primaryOnly, which also
 * adds the private module), then the attributes of its modules from c_tab.def (and c2_tab.def). */
VELMAR_API int16_t InitABDef(AppData *app, DicomObject *obj, int16_t primaryOnly, const char *iodKey);
VELMAR_API int16_t InitCDef(AppData *app, DicomObject *obj, int16_t primaryOnly);
/* Releases the definitions bound to an object and sets the pointer to NULL (called by
 * DO_closeObject). */
VELMAR_API void DoneABCDef(struct ABDef **definitions);

/* Binding: finds the IOD by the object's SOP Class UID, loads and binds it. */
VELMAR_API int16_t InitUABCDef(AppData *app, DicomObject *obj, int16_t primaryOnly);
VELMAR_API int16_t BindABCDef(AppData *app, DicomObject *obj);
VELMAR_API int16_t RebindABCDef(AppData *app, DicomObject *obj);

/* Value checks: problem masks of the VELMAR_CHECK_ bits 1 to 64. */
VELMAR_API uint16_t checkElementValue(AppData *app, const DicomElement *element);
VELMAR_API uint16_t checkPermitted(AppData *app, uint32_t tag, const char *valueText);

/* Verification reports, written to the context's log. */
VELMAR_API int16_t VerifyObjectByTag(AppData *app, DicomObject *obj);
VELMAR_API int16_t VerifyObjectByModule(AppData *app, DicomObject *obj);
VELMAR_API int16_t isSQEmpty(const AttributeEntry *entry);
VELMAR_API void reportProblems(AppData *app, uint32_t tag, const char *name, const char *valueText,
                               uint16_t mask, int16_t conditional);

/* Editing through entries: the DE_ cursor operations at the element bound to an entry, followed
 * by a new binding when the structure changed. All return 0. */
VELMAR_API int16_t DEF_search(AppData *app, DicomObject *obj, AttributeEntry *entry, uint16_t group,
                              uint16_t element, int32_t item);
VELMAR_API int16_t DEF_add(AppData *app, DicomObject *obj, AttributeEntry *entry, const DicomElement *el);
VELMAR_API int16_t DEF_delete(AppData *app, DicomObject *obj, AttributeEntry *entry);

VELMAR_END_DECLS

#endif
