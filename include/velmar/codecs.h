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
    uint16_t frame;    /* from 1; native data has entry i for frame i + 1 (low 16 bits here) */
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
    uint32_t numberOfFrames; /* widened over the former 16-bit field and its padding: no offset moved */
    uint32_t frameSize;      /* bytes of one frame; for 1-bit images the bits rounded up to bytes */
    uint32_t entryCount;     /* likewise widened in place */
    /* 2 when samples of 8 bits or fewer are held in 16-bit words (OW) of a byte order other than
     * the host's, so that reading reverses each word to bring the samples into pixel order; 0
     * otherwise. It fills former padding: no field moved. */
    uint16_t storedWordSize;
    uint16_t reserved;
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

/* Fills the frame table of *descriptor_slot from the Pixel Data value at the file's position
 * (native frames, or the fragments of encapsulated data) and leaves the file after the value;
 * the block is reallocated (the slot receives the new address). With a null *descriptor_slot the
 * value is only skipped. Returns 0; -1 when the file is missing or the length is 0. */
VELMAR_API int16_t indexPixelData(FILE *file, PixelDataDescriptor **descriptor_slot, int32_t syntax,
                                  uint32_t length);

/* A fresh copy of the top-level Pixel Data descriptor of obj (free it with free or D_Free), or
 * NULL when there is none. */
VELMAR_API PixelDataDescriptor *get_ppds(AppData *app, DicomObject *obj);

/* A fresh copy of the transfer syntax UID of obj's Pixel Data descriptor (free it with free or
 * D_Free), or NULL when there is none. */
VELMAR_API char *GetPixelTransferSyntax(AppData *app, DicomObject *obj);

/* ---- Registry, maps, kernel, built-in codecs (section owned by the codec engineer) --------- */

/* One decoded frame, or the raw bytes of one source frame; the frame's bytes start at
 * data + offset. */
typedef struct FrameBuffer {
    uint32_t frameNumber; /* the frame requested, from 1 (widened in place over padding) */
    uint32_t capacity;
    uint32_t length;
    uint32_t offset;
    uint8_t *data; /* owned */
} FrameBuffer;

/* One piece of coded output; its bytes start at data + offset. */
typedef struct CodedFragment {
    uint16_t frame;     /* from 1: the low 16 bits of the frame number */
    uint16_t fragment;  /* from 0 within its frame */
    uint32_t frameHigh; /* the frame number's bits above 16 (0 up to 65535 frames) */
    uint32_t capacity;
    uint32_t length;
    uint32_t offset;
    uint8_t *data; /* owned */
} CodedFragment;

/* State of one conversion (opaque: codecs reach it through the services below). */
typedef struct KernelPrivate KernelPrivate;

/* Entry point an external codec library exports as "LibraryInit". */
typedef int16_t (*CodecLibraryInitFunc)(AppData *app, const char *options);

/* Registration and lookup. Lookups compare without regard to letter case and search from the
 * most recent registration down, so the latest one wins. */
VELMAR_API int16_t registerCodecLibrary(AppData *app, const CodecLibrary *library);
VELMAR_API int16_t registerCodec(AppData *app, const Codec *codec);
VELMAR_API Codec *get_codec(uint16_t codec_count, Codec *const *codecs, const char *uid, int16_t is_coder);
VELMAR_API CodecLibrary *get_codeclib(uint16_t library_count, CodecLibrary *const *libraries,
                                      const char *name);
VELMAR_API int32_t isLibraryLoaded(AppData *app, const char *name); /* index + 1, or 0 */
/* Frees every codec registered with the record's library, transfer syntax and direction;
 * returns the count freed. */
VELMAR_API int32_t UnregisterCodec(AppData *app, const Codec *codec);

/* Lists kept by callers of their own libraries. */
typedef struct DynLibList {
    int32_t count;
    char **names; /* owned texts */
    char **paths; /* owned texts, parallel to names */
} DynLibList;

typedef struct StringList {
    int32_t count;
    char **texts; /* owned texts */
} StringList;

VELMAR_API DynLibList *initDynLibList(DynLibList *list);
VELMAR_API void freeDynLibList(DynLibList *list);
VELMAR_API int16_t addDynLibToList(DynLibList *list, const char *first, const char *second);
VELMAR_API StringList *initStringList(StringList *list);
VELMAR_API void freeStringList(StringList *list);
VELMAR_API int16_t addStringToList(StringList *list, const char *text);

/* Codec maps: transfer syntax UID, codec name, codec library, note. */
typedef struct CodecMapEntry {
    char *uid;
    char *name;
    char *library;
    char *note;
} CodecMapEntry;

typedef struct CodecMap {
    CodecMapEntry **entries;
    int32_t count;
} CodecMap;

VELMAR_API CodecMap *initCodecMap(CodecMap *map);
VELMAR_API void freeCodecMap(CodecMap *map);
VELMAR_API int16_t addCodecToCodecMap(CodecMap *map, const char *uid, const char *name, const char *library,
                                      const char *note);
/* Reads one map file: 0 (also when its first data line is malformed), -1 not openable or not a
 * regular file, -2 no data line, -4 an entry cannot be added, -5 refused because another user
 * can change it (group- or other-writable, or owned by someone else than the user or root).
 * A library named by a relative path with a "/" is resolved against the map's directory. */
VELMAR_API int16_t loadCodecMapFile(CodecMap *map, const char *path);
/* defcodec.map from $VELMAR_DEF_PATH, then usrcodec.map from $VELMAR_USER_CODEC_PATH, else from
 * $XDG_CONFIG_HOME/velmar, else from $HOME/.config/velmar (never the current directory). */
VELMAR_API int16_t loadCodecMap(CodecMap *map);
/* loadCodecMap that reports a refused map as a warning (level 2) to `log`. */
VELMAR_API int16_t loadCodecMapLogged(CodecMap *map, Log *log);
VELMAR_API const char *getLibForUID(const CodecMap *map, const char *uid);
VELMAR_API const char *getNameForUID(const CodecMap *map, const char *uid);
VELMAR_API const char *getUIDForName(const CodecMap *map, const char *name);
VELMAR_API const char *getLibForName(const CodecMap *map, const char *name);

/* Dynamic codec libraries. */
VELMAR_API void *getDynLibFunc(const char *file_name, const char *function_name, void **module_out);
VELMAR_API void freeDynLib(void *module);
/* 0 all loaded; 1 a null name; 1000+i name i not in the map; 2000+i no LibraryInit; 3000+i no
 * LibraryInit in `directory` either; 4000+i LibraryInit of library i failed. */
VELMAR_API int32_t init_DynamicCodecLibraries(AppData *app, const CodecMap *codec_map,
                                              const char *const *names, const char *const *options,
                                              int32_t count, const char *directory);
/* Hands an option text to the registered library `name`: png applies it with setPNGPrivate; an
 * external library loaded by init_DynamicCodecLibraries receives it through its LibraryInit,
 * called again (-2 when that refuses it); others accept it without effect (0). -1 when no
 * library `name` with private data is registered. */
VELMAR_API int32_t passCmdlineParametersToCodec(AppData *app, const char *name, const char *options);

/* Frame kernel services for codecs. GetDecodedFrame and readSourceFrame hand back buffers the
 * kernel owns (valid until the next call of the same service); they return 0, or the failure of
 * the decoder or of the source read. Once any of them fails, the conversion fails. */
VELMAR_API int16_t GetDecodedFrame(KernelPrivate *kernel, FrameBuffer **frame_out, uint32_t frame_number);
VELMAR_API int16_t readSourceFrame(KernelPrivate *kernel, FrameBuffer **buffer_out, uint32_t frame_number);
/* Copies the fragment (length bytes from data + offset); 0, or -1 when memory runs out or the
 * fragment belongs to a frame whose output has already been written. */
VELMAR_API int16_t addCodedFragment(KernelPrivate *kernel, const CodedFragment *fragment);
/* What a codec's work changes in the image description of the object being written, told from
 * its init: the Photometric Interpretation the pixels have after it (null: unchanged), the
 * Planar Configuration (-1: unchanged) and, for a lossy coder, its compression method for Lossy
 * Image Compression Method (0028,2114), such as "ISO_10918_1" (null: nothing is lost). The
 * coder's word wins over the decoder's. The writer records them, with the compression ratio, in
 * the object it writes when the source or the target syntax is encapsulated. */
VELMAR_API void setCodedImageInfo(KernelPrivate *kernel, const char *photometric, int16_t planar_configuration,
                                  const char *lossy_method);
VELMAR_API void setCoderParam(KernelPrivate *kernel, void *param);
VELMAR_API void *getCoderParam(const KernelPrivate *kernel);
VELMAR_API void setDecoderParam(KernelPrivate *kernel, void *param);
VELMAR_API void *getDecoderParam(const KernelPrivate *kernel);
VELMAR_API void *getCoderPrivate(const KernelPrivate *kernel);   /* coder library's privateData */
VELMAR_API void *getDecoderPrivate(const KernelPrivate *kernel); /* decoder library's privateData */
VELMAR_API const PixelDataDescriptor *getKernelDescriptor(const KernelPrivate *kernel);
VELMAR_API const IOObject *getKernelIOObject(const KernelPrivate *kernel);

VELMAR_API int32_t getDCMFileImageDataLength(AppData *app, const char *file_name);
VELMAR_API int16_t saveCodedFrameInFile(const FrameBuffer *buffer, const char *file_name);
VELMAR_API int16_t loadCodedFragmentFromFile(KernelPrivate *kernel, const char *file_name,
                                             CodedFragment *fragment);

/* Built-in codec libraries. */
#define VELMAR_INTERFILE_LITTLE_ENDIAN_UID "Interfile.Little.Endian"
#define VELMAR_INTERFILE_BIG_ENDIAN_UID "Interfile.Big.Endian"
VELMAR_API int16_t native_LibraryInit(AppData *app);
VELMAR_API int16_t interfile_LibraryInit(AppData *app);

/* ---- PNG codec and codec-side utilities (section owned by the PNG engineer) ---------------- */

/* Private transfer syntax of the built-in "png" codec: one PNG stream per frame, encapsulated. */
#define VELMAR_PNG_TRANSFER_SYNTAX_UID "4.4.4.4.4.4.4.4.4.1"

/* Settings of the "png" codec library (its privateData). */
typedef struct PNGOptions {
    uint16_t mode;        /* m: reserved, only 0 */
    uint16_t filter;      /* f: libpng filter flag; option index 0..6 selects
                             0x00, 0x08 none, 0x10 sub, 0x20 up, 0x40 average, 0x80 Paeth, 0xF8 all */
    uint16_t reserved;    /* not settable, 0 */
    uint16_t compression; /* c: zlib level 0..9; 0xFFFF leaves libpng's default */
    uint16_t interlace;   /* i: 0 none, 1 Adam7 */
} PNGOptions;

/* Registers the "png" coder and decoder and the "png" library with options {0, 0xF8, 0, 0xFFFF, 0}. */
VELMAR_API int16_t png_LibraryInit(AppData *app);
/* Resets `options` to {0, 0x80, 0, 4, 0}, then applies a text such as "f=5,c=9" (letters m, f,
 * c, i; letter case ignored). 0; -2 a value that is not a number, -3 a value out of range, -4 an
 * unknown letter or a malformed text, -5 a letter given twice. On failure the reset values stay. */
VELMAR_API int16_t setPNGPrivate(PNGOptions *options, const char *text);
/* "m=%d\tf=%d\tc=%d\ti=%d" (f as the option index, 8 for a flag outside the table); free() it. */
VELMAR_API char *getPNGOptStr(const PNGOptions *options);

/* Option-string tokenizer: texts like "-c:9 -f:5" (initOPTS_L1) or "c=9,f=5" (initOPTS_L2). */
#define VELMAR_OPTS_MAX_LETTERS 99
#define VELMAR_OPTS_MAX_SEPARATORS 9
#define OPTS_END (-11)            /* nextOPTS: no further option */
#define OPTS_UNKNOWN_LETTER (-12) /* nextOPTS: a letter not in the allowed set */
#define OPTS_REPEATED_LETTER (-13)
#define OPTS_NO_MEMORY (-100)
#define OPTS_EMPTY_TEXT (-101)

typedef struct OptsState {
    char letters[VELMAR_OPTS_MAX_LETTERS + 1];
    char prefix;         /* 0: none */
    char valueSeparator; /* 0: none */
    char separators[VELMAR_OPTS_MAX_SEPARATORS + 1];
    int16_t repeat;      /* non-zero: a letter may be given more than once */
    int16_t limit;       /* stored only */
    uint8_t seen[VELMAR_OPTS_MAX_LETTERS + 1];
    const char *text;
    const char *position; /* start of the last value; null before the first option */
    int32_t count;        /* after parseOPTS: the options found */
    char **names;         /* after parseOPTS: count one-letter texts, owned */
    char **values;        /* after parseOPTS: count value texts, owned */
} OptsState;

/* 0; -1 null state, -11 ten or more separators, -12 a hundred or more letters, -21 neither
 * separators nor a prefix (options could not be told apart). */
VELMAR_API int16_t initOPTS(OptsState *state, const char *letters, char prefix, char value_separator,
                            const char *separators, int16_t repeat, int16_t limit);
VELMAR_API int16_t initOPTS_L1(OptsState *state, const char *letters); /* "-", ":", " \t" */
VELMAR_API int16_t initOPTS_L2(OptsState *state, const char *letters); /* none, "=", ", " */
/* Starts a scan of `text` (not copied: it must outlive the scan) and forgets letters seen. */
VELMAR_API void resetOPTS(OptsState *state, const char *text);
/* The letter's index in the allowed letters, with the letter and the start of its value; or
 * OPTS_END, OPTS_UNKNOWN_LETTER, OPTS_REPEATED_LETTER. */
VELMAR_API int16_t nextOPTS(OptsState *state, char *letter_out, const char **value_out);
VELMAR_API int32_t getOPTSValueLength(const OptsState *state, const char *value);
/* Copies the value into `out`; its length, or -1 when it does not fit in `size` bytes. */
VELMAR_API int32_t copyOPTSValue(const OptsState *state, const char *value, char *out, size_t size);
/* Scans the whole text into names and values: the count, a nextOPTS error, OPTS_EMPTY_TEXT or
 * OPTS_NO_MEMORY. */
VELMAR_API int32_t parseOPTS(OptsState *state, const char *text);
/* Frees the parsed names and values. */
VELMAR_API void doneOPTS(OptsState *state);

/* PGM ("P5") files for external compressor programs: 2-byte samples are stored least
 * significant byte first. Width is columns x samplesPerPixel. `work` may be null or hold one row. */
VELMAR_API int16_t saveFrameInPGM(const PixelDataDescriptor *description, const struct FrameBuffer *frame,
                                  const char *file_name, void *work);
/* Reads into frame->data + frame->offset and sets frame->length; bytes per sample (2 when the
 * maximum exceeds 255) through `bytes_per_sample_out` when not null. 0; -1 missing arguments or a
 * frame too small, -2 cannot open, -3 not a P5 header, -4 size differs or short read, -5 a
 * maximum of 256 or more for 8 bits allocated. */
VELMAR_API int16_t loadFrameFromPGMFile(const PixelDataDescriptor *description, struct FrameBuffer *frame,
                                        const char *file_name, int16_t *bytes_per_sample_out);
/* Stream copies raw <-> PGM in `width` blocks of bytes_per_sample x height bytes through
 * `buffer` (at least that large); `swap` reverses 2-byte samples. */
VELMAR_API int16_t savePGM(FILE *input, FILE *output, int16_t bytes_per_sample, int16_t swap,
                           int32_t width, int32_t height, void *buffer);
VELMAR_API int16_t loadPGM(FILE *input, FILE *output, int16_t bytes_per_sample, int16_t swap,
                           int32_t width, int32_t height, void *buffer);

/* Numbered temporary names "~~0000~~.tmp": a block of `count` (1..10000) entries of 13 bytes. */
#define VELMAR_MTN_ENTRY_SIZE 13
VELMAR_API char *MTN_Init(int32_t count);
VELMAR_API char *MTN_GetEntryN(char *block, int32_t index);
VELMAR_API void MTN_Free(char *block);

/* Next mask `prefix`[.]extension from a `separator`-separated list walked by *cursor (the list
 * is cut in place). 0 a mask made; 1 null arguments; 2 the list is exhausted; 3 the mask does not
 * fit in `size` bytes. With *cursor null the mask is `prefix` alone, once. */
VELMAR_API int16_t nextfilemask(char *mask_out, size_t size, const char *prefix, char **cursor,
                                char separator);
/* Size in bytes; -1 the file cannot be opened, -2 seeking fails. */
VELMAR_API int64_t get_file_length(const char *file_name);
/* The part after the last "/" or "\" (the whole text when there is none); points into `path`. */
VELMAR_API char *velmar_basename(const char *path);

/* One result line of a codec run; text[0] and text[1] must be set. */
typedef struct CodecStatistics {
    const char *text[4];
    int32_t counter[4];
    float number[2];
    int32_t value[4];
    const char *note;
    char *result; /* owned: freed by freeStatistics */
} CodecStatistics;

VELMAR_API CodecStatistics *initStatistics(CodecStatistics *record);
/* The tab-separated line (kept in the record), or "STAT error". */
VELMAR_API const char *getStatisticsStr(CodecStatistics *record);
VELMAR_API void freeStatistics(CodecStatistics *record);

/* Millisecond chronometer on a monotonic clock; warnings go to standard output. */
typedef struct Chronometer {
    uint32_t start; /* tick of the running measurement */
    int32_t total;  /* accumulated milliseconds */
    int32_t initialised;
    int32_t running;
} Chronometer;

VELMAR_API void CHRONO_init(Chronometer *chrono);
VELMAR_API void CHRONO_start(Chronometer *chrono);
VELMAR_API int32_t CHRONO_stop(Chronometer *chrono);   /* milliseconds of this run */
VELMAR_API double CHRONO_read(Chronometer *chrono);    /* seconds; -1.0 when not initialised */
VELMAR_API double CHRONO_restart(Chronometer *chrono);
VELMAR_API void CHRONO_warn(const char *text);

VELMAR_END_DECLS

#endif
