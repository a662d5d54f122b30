/* velmar DICOM data model and files: the library context, DICOM objects and elements, VR and
 * attribute lookups, the file reader and writer, and the element value printer. */
#ifndef VELMAR_DICOM_H
#define VELMAR_DICOM_H

#include "common.h"
#include "support.h"

VELMAR_BEGIN_DECLS

struct Codec;
struct CodecLibrary;
struct ABDef;

/* ---- Tags, VR codes, transfer syntax codes ---------------------------------------------- */

#define VELMAR_TAG(group, element) ((((uint32_t)(group)) << 16) | ((uint32_t)(element)))
#define VELMAR_UNDEFINED_LENGTH 0xFFFFFFFFu
#define VELMAR_UID_SIZE 65 /* 64 characters and the terminator */

/* VR codes: the row of the fixed VR table. Codes 0 to 30 never change; the VRs added to the
 * standard later follow them. "XS" is US or SS, "XU" the three values of a LUT descriptor (US or
 * SS), "OX" OB or OW, "XW" US or OW and US or SS or OW (LUT data): dictionary VRs that every
 * element in memory carries resolved to a concrete VR. */
enum {
    VR_AE = 0, VR_AS, VR_AT, VR_CS, VR_DA, VR_DS, VR_DT, VR_FL, VR_FD, VR_IS, VR_LO, VR_LT,
    VR_OB, VR_OW, VR_PN, VR_SH, VR_SL, VR_SQ, VR_SS, VR_ST, VR_TM, VR_UI, VR_UL, VR_US,
    VR_RE, VR_XS, VR_XU, VR_OX, VR_XX, VR_NA, VR_UNKNOWN_TEXT, /* "??" */
    VR_UN, VR_UT, VR_UC, VR_UR, VR_OF, VR_OD, VR_OL, VR_OV, VR_SV, VR_UV, VR_XW,
    VR_COUNT
};

/* Transfer syntax codes. */
typedef int32_t TransferSyntaxCode;
#define TS_NOT_SET (-1)
#define TS_IMPLICIT_LITTLE 0 /* "1.2.840.10008.1.2" */
#define TS_EXPLICIT_LITTLE 1 /* "1.2.840.10008.1.2.1" */
#define TS_EXPLICIT_BIG 2    /* "1.2.840.10008.1.2.2" */
#define TS_OTHER 3           /* named only by its UID text */

/* ---- Elements, objects, file descriptors --------------------------------------------------- */

/* Element flag set by definition binding. */
#define VELMAR_ELEMENT_BOUND 0x1u

typedef struct DicomElement {
    void *value;       /* value bytes in host byte order, owned; NULL when none */
    uint16_t group;
    uint16_t element;
    uint32_t length;   /* 0xFFFFFFFF: undefined length */
    int32_t vr;        /* VR code, -1 unknown */
    uint32_t flags;    /* bit 0: bound to a definition entry */
    struct DicomElement *next;
    struct DicomElement *prev;
    struct DicomElement *firstChild;
    struct DicomElement *lastChild;
    struct DicomElement *parent;
} DicomElement;

typedef struct DicomObject {
    uint8_t preamble[128];
    DicomElement *root;             /* zero tag, no value; its children are the top level */
    DicomElement *current;          /* container that DO_addElement appends to */
    DicomElement *cursor;           /* position of the DE_ cursor operations */
    struct ABDef *boundDefinitions; /* bound IOD and module definitions, owned */
} DicomObject;

typedef struct IOObject {
    DicomObject *object;
    int32_t foundMetaSyntax;
    int32_t foundDataSyntax;
    int32_t metaSyntax;
    int32_t dataSyntax;
    char transferSyntaxUID[VELMAR_UID_SIZE];
    uint32_t metaHeaderMode; /* writer: 0 regenerate, 1 add missing, 2 none */
    int16_t hasPreamble;
    int16_t writePixelData;
    int16_t inMeta;
    int32_t currentSyntax;
    int32_t declaredSyntax;
    FILE *stream;
} IOObject;

/* One attribute dictionary entry. */
typedef struct AttrDef {
    uint32_t tag;
    const char *name;
    int32_t vr;
    int16_t vm;
    const char *csType;
    const char *permitted;
} AttrDef;

/* The library context. */
typedef struct AppData {
    char *appName;
    char *appVersion;
    DStringBuffer *defStrings;
    AttrDef *primaryTags;
    AttrDef *secondaryTags;
    int16_t primaryTagCount;
    int16_t secondaryTagCount;
    int16_t primaryTagCapacity;
    int16_t secondaryTagCapacity;
    DefFileFinder findDefFile;
    Log *log;
    uint16_t tempFileCount;
    char **tempFiles;
    uint16_t codecLibraryCount;
    struct CodecLibrary **codecLibraries;
    uint16_t codecCount;
    struct Codec **codecs;
    void *tagIndex; /* private: the lookup index over the two tag tables */
    /* Optional: called after each frame of Pixel Data is written, with the frames written so
     * far and the frames in all; NULL (the default) for none. */
    void (*progress)(void *user, uint32_t framesWritten, uint32_t framesTotal);
    void *progressUser;
} AppData;

/* Per-frame index vectors of the NM Multi-frame module; each array is NULL or holds
 * count + 1 entries, indexed by frame number from 1. */
typedef struct FrameVectors {
    uint16_t count;
    uint16_t *energyWindow;
    uint16_t *detector;
    uint16_t *phase;
    uint16_t *rotation;
    uint16_t *rrInterval;
    uint16_t *timeSlot;
    uint16_t *slice;
    uint16_t *angularView;
    uint16_t *timeSlice;
} FrameVectors;

/* Size of the buffer init_AppData fills with the log title. */
#define VELMAR_TITLE_SIZE 512

/* ---- Context and object life --------------------------------------------------------------- */

VELMAR_API int16_t init_AppData(AppData *app, const char *name, const char *version, char *title_out);
VELMAR_API void done_AppData(AppData *app);
VELMAR_API void init_IOObject(IOObject *io);
VELMAR_API int16_t DO_openObject(DicomObject **handle);
VELMAR_API int16_t DO_closeObject(DicomObject **handle);

/* ---- Building, searching, editing -------------------------------------------------------- */

VELMAR_API int16_t DO_addElement(AppData *app, DicomObject *obj, const DicomElement *el);
VELMAR_API int16_t add_Item(AppData *app, DicomObject *obj, uint32_t length);
VELMAR_API int16_t add_Item_Delimitation_Item(AppData *app, DicomObject *obj);
VELMAR_API int16_t add_Sequence_Delimitation_Item(AppData *app, DicomObject *obj);
VELMAR_API int16_t DOU_defXVRTypeByTags(AppData *app, uint16_t group, uint16_t element, int32_t *vr_out);
VELMAR_API int16_t DO_searchForElement(DicomObject *obj, DicomElement *el);
VELMAR_API int16_t DO_deleteElement(AppData *app, DicomObject *obj, const DicomElement *el);
VELMAR_API int16_t DE_search(AppData *app, DicomObject *obj, DicomElement **node_inout, uint16_t group,
                             uint16_t element, int32_t item);
VELMAR_API int16_t DE_add(AppData *app, DicomObject *obj, const DicomElement *el);
VELMAR_API int16_t DE_delete(AppData *app, DicomObject *obj, const DicomElement *key);
VELMAR_API void SortCodes(DicomElement *node);
VELMAR_API void D_Alloc(DicomElement *el);
VELMAR_API void D_Free(void *slot); /* slot: address of a pointer variable */
VELMAR_API char *padwithspace(char *text);
VELMAR_API int16_t isInFrameIncrementPointer(AppData *app, DicomObject *obj, uint16_t group,
                                             uint16_t element);
VELMAR_API int16_t addNMVectors(AppData *app, DicomObject *obj, const FrameVectors *vectors);

/* ---- VR and attribute lookups ---------------------------------------------------------------
 * Each lookup returns 0 when the tag is in the dictionary and -1 when the default was taken. */

VELMAR_API int16_t getVR(AppData *app, uint32_t tag, int32_t *vr_out);
VELMAR_API int16_t getVRtext(AppData *app, uint32_t tag, int32_t *vr_out, const char **name_out);
VELMAR_API int16_t getVM(AppData *app, uint32_t tag, int16_t *vm_out);
VELMAR_API int16_t getAttrName(AppData *app, uint32_t tag, const char **text_out);
VELMAR_API int16_t getPermitted(AppData *app, uint32_t tag, const char **text_out);
VELMAR_API int16_t getCStype(AppData *app, uint32_t tag, const char **text_out);
VELMAR_API int16_t getVRandName(AppData *app, uint32_t tag, int32_t *vr_out, const char **vrname_out,
                                const char **name_out);
VELMAR_API int32_t changeVRnameToVR(const char *text);
VELMAR_API const char *changeVRToVRname(int32_t code);
VELMAR_API uint32_t getVRMaxLength(int32_t code); /* 0: not limited; 0xFFFFFFFF for "XX" */
/* 1 when an explicit-VR header of the VR has two reserved bytes and a 32-bit length, else 0. */
VELMAR_API int16_t hasLongLengthVR(int32_t code);
/* Whether a concrete VR is one the dictionary allows for the tag: 1 yes, 0 no; a tag the
 * dictionary does not know allows every concrete VR. */
VELMAR_API int16_t isAllowedVR(AppData *app, uint32_t tag, int32_t vr);
/* The concrete VR of an element: its own `vr` when the dictionary allows it for the tag, else
 * the dictionary's, with the ambiguous ones resolved as implicit VR encoding does (US or SS by
 * the Pixel Representation of the data set or item that holds it, the LUT descriptors as US, OB or
 * OW and the LUT data as OW), and UN when neither is known. An element
 * that holds items is SQ; items and delimiters are XX. */
VELMAR_API int32_t concreteVR(AppData *app, const DicomElement *el);
VELMAR_API int16_t bigendian(void);
VELMAR_API void change_TransferSyntax(int32_t vr, DicomElement *el);

/* ---- Reading DICOM files (section owned by the reader) ----------------------------------- */

struct PixelDataDescriptor;

/* Reads a DICOM file (PS3.10 file with preamble, "DICM" and meta header, or a bare data set, in
 * implicit VR little endian, explicit VR little or big endian) into a new object stored in
 * io->object; values are kept in host byte order and Pixel Data becomes a PixelDataDescriptor.
 * Returns 0 when the whole file was read; -1 when it cannot be opened, the object cannot be made,
 * or a broken length, nesting or item stops the read (the object then holds what was read). */
VELMAR_API int16_t DO_importObjectFromFile(AppData *app, const char *file_name, IOObject *io);

/* Fills the image geometry of a descriptor from the top-level group 0028 elements of obj
 * (defaults for absent ones) and computes its frame size. Returns 0. */
VELMAR_API int16_t fill_pds(AppData *app, DicomObject *obj, struct PixelDataDescriptor *descriptor);

/* Implementation Class UID (0002,0012) written into every generated meta header
 * (44 characters: an even length, so it needs no padding). */
#define VELMAR_IMPLEMENTATION_CLASS_UID "2.25.210672239561900782102109213072485829201"

/* ---- Writing DICOM files (section owned by the writer) ----------------------------------- */

/* Writes io->object to file_name in the syntax io->dataSyntax names (io->transferSyntaxUID for
 * code 3), through a unique temporary file in the target's directory that replaces the target
 * only once it is complete: 0 when written (or nothing to write), -1 otherwise. */
VELMAR_API int16_t DO_copyObjectToFile(AppData *app, IOObject *io, const char *file_name);
/* Unlinks the temporary files of the writes this process has in progress. Async-signal-safe:
 * meant for a SIGINT/SIGTERM handler; the next write into a directory removes the temporary
 * files of processes that are gone. */
VELMAR_API void DO_removeTemporaryFiles(void);
VELMAR_API int16_t DO_checkObject(AppData *app, DicomObject *obj);
VELMAR_API int16_t DO_generateMetaHeader(AppData *app, IOObject *io);
VELMAR_API int16_t DO_calcElementsLength(AppData *app, IOObject *io);

/* ---- Printing element values (section owned by the printer) ------------------------------ */

/* Appends the rendering of the element's value (by its dictionary VR) to the zero-terminated text
 * in `buffer` of `size` bytes; the text never grows beyond the buffer. */
VELMAR_API void print_element_value(AppData *app, const DicomElement *el, char *buffer, size_t size);

VELMAR_END_DECLS

#endif
