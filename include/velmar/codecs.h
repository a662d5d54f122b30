/* velmar pixel codecs: the pixel data descriptor and frame index, codec libraries and codecs,
 * codec maps, the frame kernel, the built-in codecs and codec-side file utilities. */
#ifndef VELMAR_CODECS_H
#define VELMAR_CODECS_H

#include "common.h"
#include "dicom.h"

VELMAR_BEGIN_DECLS

/* ---- Pixel data descriptor ------------------------------------------------------------------ */

/* One frame-table entry: where one fragment of one frame lies in the source file. */
typedef struct PixelFrameEntry {
    uint16_t frame;    /* from 1 */
    uint16_t fragment; /* from 0 within its frame */
    uint32_t offset;   /* file offset of the bytes */
    uint32_t length;
} PixelFrameEntry;

/* The value of a Pixel Data element after reading or conversion: one block whose first field is
 * its own size, VELMAR_PDS_FIXED_SIZE + 12 x entryCount. The fields from samplesPerPixel on are
 * the image description handed to every codec. The file name is interned (one process-wide owner),
 * so every byte copy of a descriptor may share it. */
typedef struct PixelDataDescriptor {
    uint32_t size;
    uint16_t samplesPerPixel;
    char photometric[18];
    uint16_t planarConfiguration;
    uint16_t rows;
    uint16_t columns;
    uint16_t bitsAllocated;
    uint16_t bitsStored;
    uint16_t highBit;
    uint16_t pixelRepresentation;
    uint16_t pixelPaddingValue;
    uint16_t numberOfFrames;
    uint32_t frameSize;
    uint16_t entryCount;
    const char *fileName;
    uint32_t pixelOffset;
    uint32_t pixelLength; /* 0xFFFFFFFF for encapsulated data */
    int32_t syntaxCode;
    char transferSyntaxUID[VELMAR_UID_SIZE];
    PixelFrameEntry frames[]; /* entryCount entries, then one spare entry */
} PixelDataDescriptor;

#define VELMAR_PDS_FIXED_SIZE ((uint32_t)offsetof(PixelDataDescriptor, frames))
#define VELMAR_PDS_ENTRY_SIZE ((uint32_t)sizeof(PixelFrameEntry))

/* Interns a file name for descriptors: the returned text lives until the process ends. */
VELMAR_API const char *velmar_internFileName(const char *name);

/* ---- Codec libraries and codecs ------------------------------------------------------------- */

struct KernelPrivate;
struct FrameBuffer;

typedef struct CodecLibrary {
    char libraryName[VELMAR_UID_SIZE];
    void *privateData;
    int16_t (*release)(void *privateData);
} CodecLibrary;

typedef struct Codec {
    char libraryName[VELMAR_UID_SIZE];
    char kind[VELMAR_UID_SIZE]; /* "coder" or "decoder" */
    char transferSyntaxUID[VELMAR_UID_SIZE];
    int16_t isCoder;
    int16_t (*init)(struct KernelPrivate *kernel, const PixelDataDescriptor *image);
    int16_t (*done)(struct KernelPrivate *kernel);
    /* coder: process(kernel, NULL) converts the whole image;
     * decoder: process(kernel, frame) fills the frame record with the raw frame it names. */
    int16_t (*process)(struct KernelPrivate *kernel, struct FrameBuffer *frame);
} Codec;

/* ---- Codec registry ------------------------------------------------------------------------- */

/* Unregisters every codec library and codec and frees both registries (called by done_AppData). */
VELMAR_API void done_CodecLibraryRegistry(AppData *app);
VELMAR_API int16_t UnregisterCodecLibrary(AppData *app, const char *name);

/* ---- Pixel data descriptor and frame index (section owned by the reader) ------------------- */

/* ---- Registry, maps, kernel, built-in codecs (section owned by the codec engineer) --------- */

/* ---- PNG codec and codec-side utilities (section owned by the PNG engineer) ---------------- */

VELMAR_END_DECLS

#endif
