/* velmar support services: logging, paths and directory scans, the dynamic string buffer,
 * command-line options with command-list files, and byte-string utilities. */
#ifndef VELMAR_SUPPORT_H
#define VELMAR_SUPPORT_H

#include "common.h"

VELMAR_BEGIN_DECLS

/* ---- Logging ---------------------------------------------------------------------------- */

/* One log: each message is one line, written to `file` when its level is at most mask & 0x0F
 * and to standard error when it is at most (mask >> 4) & 0x0F. */
typedef struct Log {
    FILE *file;     /* log file, or NULL */
    uint16_t mask;  /* bits 0-3: file threshold, bits 4-7: standard error threshold */
    void *owner;    /* only this address may close the log */
} Log;

/* Longest log line in characters; longer texts are cut. */
#define VELMAR_LOG_LINE_MAX 511

VELMAR_API Log *log_start(void *owner, const char *file_name, const char *title, uint16_t mask,
                          int16_t append, int argc, char **argv);
VELMAR_API void log_end(Log **log_pointer, void *owner);
VELMAR_API void log_mask(Log *log, uint16_t mask);
VELMAR_API void log_message(Log *log, const char *text, int16_t level);
VELMAR_API void log_abort(Log *log, const char *text) __attribute__((noreturn));

/* ---- Dynamic string buffer -------------------------------------------------------------- */

/* Texts stored in large fixed-size blocks; pointers stay valid until DoneDStringBuffer. */
typedef struct DStringBuffer {
    int32_t blockSize;
    int16_t blockCount;
    uint32_t *used;
    char **blocks;
} DStringBuffer;

VELMAR_API DStringBuffer *InitDStringBuffer(int32_t blockSize);
VELMAR_API char *AddToDStringBuffer(DStringBuffer *buffer, const char *text);
VELMAR_API void DoneDStringBuffer(DStringBuffer **buffer);

/* ---- Files and paths -------------------------------------------------------------------- */

/* Resolves a definition-file name to a path in `out` (empty text when not found). */
typedef char *(*DefFileFinder)(const char *file_name, char *out, size_t size);

VELMAR_API void fixpath(char *path);
VELMAR_API char *velmar_dirname(const char *path);
VELMAR_API char *path_concat(const char *dir, const char *name, char **tail_out);
VELMAR_API char *dir_concat(char *dir, const char *name);
VELMAR_API char *getfilefrompath(const char *dir, const char *file_name, char *out, size_t size);
VELMAR_API char *getfilefromenvpath(const char *variable, const char *file_name, char *out,
                                    size_t size);
VELMAR_API char *getDICOMdeffilefromenvpath(const char *file_name, char *out, size_t size);

/* Directory scan: one at a time per process. filter 0 files, 1 directories, 2 both. */
#define VELMAR_FILE_ATTR_DIRECTORY 0x10u
VELMAR_API const char *dir_open(const char *dir, const char *pattern, const char *suffix,
                                int16_t filter);
VELMAR_API const char *dir_next(void);
VELMAR_API void dir_close(void);
VELMAR_API uint32_t dir_getfiletype(void);

/* ---- String utilities ------------------------------------------------------------------- */

VELMAR_API char *velmar_stpcpy(char *destination, const char *source);
VELMAR_API char *strtoupper(char *text, int32_t count);
VELMAR_API char *strtolower(char *text, int32_t count);
VELMAR_API void swapbytes(void *buffer, int16_t count);

/* ---- Command-line options (section owned by the options code) ---------------------------- */

/* Re-entrant option scanner state; `@file` arguments are replaced by the words of the file. */
typedef struct GetOptState {
    int32_t opterr;
    int32_t optind;
    int32_t optopt;
    char *optarg;
    int32_t optpos;
    int32_t inList;
    int32_t resumeIndex;
    int32_t listCount;
    char *listText;
    char **listWords;
} GetOptState;

VELMAR_API GetOptState *initgetopt1(GetOptState *state);
VELMAR_API int32_t getopt1(GetOptState *state, int argc, char *const *argv, const char *optstring);

VELMAR_END_DECLS

#if defined(VELMAR_SHORT_NAMES)
#define stpcpy velmar_stpcpy
#define dirname velmar_dirname
#define basename velmar_basename
#endif

#endif
