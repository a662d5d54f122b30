/* velmar Interfile-to-DICOM conversion: the conversion driver and its relations. */
#ifndef VELMAR_CONVERT_H
#define VELMAR_CONVERT_H

#include "common.h"
#include "dicom.h"
#include "interfile.h"

VELMAR_BEGIN_DECLS

/* ---- Conversion (section owned by the conversion engineer) ----------------------------------- */

/* The state of one conversion: zero-filled at its start, discarded at its end. The text fields
 * are handed from a sequence relation to the item relations it calls; they point into the
 * sequence relation's buffers (or to an empty text) and are valid only until the item is done. */
typedef struct ConversionContext {
    const char *actualFrameDuration;
    const char *angularStep;
    const char *energyWindowLower;
    const char *energyWindowName;
    const char *energyWindowUpper;
    const char *framingType;
    const char *pauseBetweenFrames;
    const char *phaseDelay;
    const char *radialPosition;
    const char *rotationDirection;
    const char *scanArc;
    const char *startAngle;
    int16_t framesInPhase;
    int16_t framesInRotation;
    int16_t triggersInPhase;
    int16_t energyWindowNumber;
    int16_t frameCount;    /* set by the Number of Frames relation */
    char imageType[4][40]; /* the values of Image Type; the third is the study type */
    char timeStamp[16];    /* 14-digit local date and time, taken once per conversion */
    char uniqueComponent[24]; /* with the time stamp, tells this conversion's UIDs from any other's */
} ConversionContext;

/* Converts one parsed Interfile header (and the data file it names) into `obj`: a multi-frame
 * NM Image, or a Secondary Capture Image when "type of data" is "Other". Returns 0; -1 when the
 * header lacks a usable "imaging modality", "type of data" or "process status" (the message is
 * logged at level 1, the object keeps what was added before). */
VELMAR_API int16_t IF2DCM_compile(AppData *app, DicomObject *obj, InterfileHeader *hdr);

/* The data file that "name of data file" gives must be a regular file inside the header's
 * directory (symbolic links resolved); this flag also admits one elsewhere (an absolute name,
 * "..", a link that leads out). */
#define VELMAR_IF2DCM_ALLOW_OUTSIDE 0x0001
/* IF2DCM_compile with VELMAR_IF2DCM_* flags; IF2DCM_compile is this with flags 0. */
VELMAR_API int16_t IF2DCM_compileWithFlags(AppData *app, DicomObject *obj, InterfileHeader *hdr,
                                           uint16_t flags);

/* The two attribute programs that IF2DCM_compile runs after Modality, with its context (time
 * stamp and unique component set) and zeroed vectors; the NM program fills the vectors, whose
 * arrays the caller frees. 0, or -1 when Modality, Image Type or SOP Class UID cannot be
 * made (logged at level 1; the rest of the program is not run). */
VELMAR_API int16_t IF2DCM_compileNM(AppData *app, DicomObject *obj, InterfileHeader *hdr,
                                    FrameVectors *vectors, ConversionContext *context);
VELMAR_API int16_t IF2DCM_compileSC(AppData *app, DicomObject *obj, InterfileHeader *hdr,
                                    FrameVectors *vectors, ConversionContext *context);

/* Fills context->imageType from the object's Image Type (upper case, at most 39 characters
 * each, trailing blanks dropped). Returns 0. */
VELMAR_API int16_t splitImageType(AppData *app, DicomObject *obj, ConversionContext *context);

/* Fills the frame vectors for the study type (context->imageType[2]) and context->frameCount.
 * Each array is NULL or malloc'd with count + 1 entries (indexed from 1); the caller frees
 * them. Returns the number of frames walked, or -1 when memory runs out or a count lies outside
 * 0 to 32767 (logged at level 1; the conversion then fails). */
VELMAR_API int16_t buildFrameVectors(InterfileHeader *hdr, FrameVectors *vectors,
                                     ConversionContext *context);

/* Interfile "yyyy:mm:dd" to the 8 characters of a DA value; `out` gets no terminator. */
VELMAR_API void interDateToDA(const char *text, char *out);
/* Interfile "hh:mm:ss" to the 6 characters of a TM value; `out` gets no terminator. */
VELMAR_API void interTimeToTM(const char *text, char *out);

VELMAR_END_DECLS

#endif
