/* velmar Interfile 3.3 headers: the key definition file, the header parser, the key store and
 * the header check. */
#ifndef VELMAR_INTERFILE_H
#define VELMAR_INTERFILE_H

#include "common.h"
#include "support.h"

VELMAR_BEGIN_DECLS

/* ---- Limits, codes -------------------------------------------------------------------- */

#define VELMAR_IF_MAX_KEYS 149       /* keys of one definition (rows 1..149) */
#define VELMAR_IF_MAX_VALUES 8       /* permitted values of one key */
#define VELMAR_IF_BLOCK_STACK 10     /* IF/FOR block stack of the definition parser; entry 0 unused */
#define VELMAR_IF_NAME_MAX 255       /* characters of a normalized key name */
#define VELMAR_IF_PATH_SIZE 512      /* buffer for the path of interfil.def */
#define VELMAR_IF_VALUE_SIZE 256     /* the getters write at most this many bytes (255 + NUL) */
#define VELMAR_IF_TITLE_SIZE 512     /* init_IAppData writes at most this many bytes of title */
#define VELMAR_IF_MAX_NODES 262144u  /* nodes one header tree may hold; copies beyond are refused */

/* Value types (KeyDef.valueType; also the words of interfil.def). */
#define VELMAR_IF_UNKNOWN 0
#define VELMAR_IF_NUMERIC 1
#define VELMAR_IF_ASCII 2
#define VELMAR_IF_ASCIILIST 3
#define VELMAR_IF_DATEFORMAT 4
#define VELMAR_IF_TIMEFORMAT 5
#define VELMAR_IF_NULL 6

/* Index kinds (KeyDef.indexKind). */
#define VELMAR_IF_NOT_INDEXED 1
#define VELMAR_IF_INDEXED 2

/* Node kinds (KeyNode.kind); also the block types of DefParseBlock.type. */
#define VELMAR_IF_NODE_ROOT 0
#define VELMAR_IF_NODE_KEY 1
#define VELMAR_IF_NODE_IF 2
#define VELMAR_IF_NODE_FOR 3

/* ---- Records ----------------------------------------------------------------------------- */

/* One key of the definition; every text lives in the definition's string buffer. */
typedef struct KeyDef {
    char *name;              /* as written in interfil.def, with a leading "!" when obligatory */
    char *normName;          /* normalizeinterkey(name); every lookup compares this */
    int16_t obligatory;      /* 1 when name begins with "!" */
    int32_t indexKind;       /* VELMAR_IF_NOT_INDEXED or VELMAR_IF_INDEXED */
    int32_t valueType;       /* VELMAR_IF_NUMERIC ... VELMAR_IF_NULL */
    char *defaultValue;      /* or NULL */
    char *allowedValues[VELMAR_IF_MAX_VALUES]; /* permitted values; empty slots NULL */
} KeyDef;

/* A node of the block tree: a key, an IF block (value = condition text) or a FOR block
 * (value = second name or NULL). Sections are key nodes whose children are their keys. */
typedef struct KeyNode {
    int32_t kind;            /* VELMAR_IF_NODE_* */
    int16_t key;             /* key number; for IF/FOR the condition key, 0 when unknown */
    char *value;             /* key value (NULL: absent), condition text or second name */
    struct KeyNode *next;
    struct KeyNode *prev;
    struct KeyNode *firstChild;
    struct KeyNode *lastChild;
    struct KeyNode *parent;
} KeyNode;

/* The loaded interfil.def. */
typedef struct InterfileDef {
    char *fileName;          /* owned path of the file read */
    DStringBuffer *strings;  /* every text of the definition */
    int16_t keyCount;        /* rows 1..keyCount of keys are valid; row 0 is never used */
    KeyDef keys[VELMAR_IF_MAX_KEYS + 1];
    uint16_t groupStarted;   /* kept for layout; the group state lives in each InterfileHeader */
    KeyNode root;            /* root of the block tree (kind 0, no key) */
    KeyNode *current;        /* container receiving the next node while parsing */
} InterfileDef;

/* The Interfile library context, filled by init_IAppData. */
typedef struct IAppData {
    char *appName;           /* owned, or NULL */
    char *appVersion;        /* owned, or NULL */
    DefFileFinder findFile;  /* resolves "interfil.def"; getDICOMdeffilefromenvpath by default */
    Log *log;                /* set by the caller, or NULL */
    InterfileDef *definition; /* NULL until InitINTERFILEdef */
} IAppData;

/* One entry of the definition parser's block stack. */
typedef struct DefParseBlock {
    int32_t type;            /* VELMAR_IF_NODE_IF or VELMAR_IF_NODE_FOR */
    const char *name;        /* condition key name (the first FOR name) */
    const char *text;        /* condition text, or the second FOR name */
} DefParseBlock;

/* State of one load of interfil.def; only definition and iapp are read by putinterdefkey. */
typedef struct DefParseState {
    int16_t line;            /* 0-based position shown in messages */
    int16_t column;
    int16_t asciiList;       /* the type just read was ASCIIlist */
    DefParseBlock blocks[VELMAR_IF_BLOCK_STACK];
    int16_t depth;           /* entries 1..depth are in use */
    InterfileDef *definition;
    IAppData *iapp;
} DefParseState;

/* One parsed header: a copy of the definition's tree whose key nodes carry the values. */
typedef struct InterfileHeader {
    char *fileName;          /* owned path of the header, or NULL */
    DStringBuffer *strings;  /* every value text of this header */
    KeyNode root;            /* root of this header's tree (kind 0) */
    KeyNode *current;        /* set to &root */
    InterfileDef *definition; /* the definition read against (not owned; must outlive the header) */
    uint16_t groupStarted;   /* a group marker has taken the first group (reset per header) */
    Log *log;                /* where the key store and the check report (from IAppData) */
    uint32_t nodeCount;      /* nodes in the tree, bounded by VELMAR_IF_MAX_NODES */
    struct KeyStoreIndex *index; /* the key store's lookup index: internal, built on first use */
    uint16_t dataFileFlags;      /* VELMAR_IF2DCM_* flags of the conversion reading this header (0) */
} InterfileHeader;

/* ---- Context ----------------------------------------------------------------------------- */

/* Stores owned copies of the names and installs the default finder. title_out, when given,
 * receives "name version" (at most VELMAR_IF_TITLE_SIZE bytes). log and definition are left
 * alone: the caller sets log and must have definition NULL. */
VELMAR_API void init_IAppData(IAppData *iapp, const char *appName, const char *appVersion,
                              char *title_out);
/* Closes the log (when iapp owns it) and frees the names; the definition is not freed. */
VELMAR_API void done_IAppData(IAppData *iapp);

/* ---- Definition file --------------------------------------------------------------------- */

/* Finds and loads "interfil.def". 0 loaded; -1 not found, not openable, out of memory, or a
 * syntax error or exceeded limit (logged at level 1; nothing is loaded then). */
VELMAR_API int16_t InitINTERFILEdef(IAppData *iapp);
/* Frees the loaded definition; iapp->definition is set to NULL. */
VELMAR_API void DoneINTERFILEdef(IAppData *iapp);
/* Adds one key definition and its node. values: up to 8 texts ended by NULL, or NULL.
 * Returns keyCount after the call, or 0 when the key was refused (logged at level 1). */
VELMAR_API uint16_t putinterdefkey(DefParseState *parse, const char *name, int16_t obligatory,
                                   int32_t indexKind, int32_t valueType,
                                   const char *defaultValue, const char *const *values);

/* ---- Header parser ----------------------------------------------------------------------- */

/* Reads the header at path into a new header (*header_out). 0 read (messages only logged);
 * -1 when it cannot be created or opened, or on a syntax error (*header_out is NULL then). */
VELMAR_API int16_t readinterfileheader(IAppData *iapp, InterfileHeader **header_out,
                                       const char *path);
/* Writes the normalized key name into out (256 bytes; longer names are cut) and returns out. */
VELMAR_API char *normalizeinterkey(const char *name, char *out);

/* ---- Key store --------------------------------------------------------------------------- */

/* Creates an empty header bound to iapp's loaded definition. 0, or -1 (variable left NULL). */
VELMAR_API int16_t initinterfile(IAppData *iapp, InterfileHeader **header);
/* Frees a header and sets the caller's variable to NULL. */
VELMAR_API void doneinterfile(InterfileHeader **header);
VELMAR_API const char *getInterfileName(const InterfileHeader *header);
/* Key number of a name in any written form, or 0 when the definition lacks it. */
VELMAR_API int16_t findinterkey(const InterfileHeader *header, const char *name);
VELMAR_API const char *getinterdefkey(const InterfileDef *definition, int16_t key);
VELMAR_API const char *getinterkey(const InterfileHeader *header, int16_t key);
VELMAR_API int32_t getinterkeytype(const InterfileHeader *header, int16_t key);
VELMAR_API int32_t getintervaluetype(const InterfileHeader *header, int16_t key);
VELMAR_API const char *getinterdefaultvalue(const InterfileHeader *header, int16_t key);
/* Copies the index-th occurrence (index < 1: the first) into value_out, which must hold
 * VELMAR_IF_VALUE_SIZE bytes (longer values are cut). Returns key, or -1 (value_out empty). */
VELMAR_API int16_t getintervalue(const InterfileHeader *header, int16_t key, int16_t index,
                                 char *value_out);
/* As getintervalue, falling back to the key's default value. */
VELMAR_API int16_t getintervaluedef(const InterfileHeader *header, int16_t key, int16_t index,
                                    char *value_out);
/* Stores a value (NULL or empty: no value); see the key store for groups and occurrences.
 * Returns key, or -1 when the key is out of range or cannot be placed. */
VELMAR_API int16_t putintervalue(InterfileHeader *header, int16_t key, int16_t index,
                                 const char *value, int16_t sequential);

/* ---- Header check ------------------------------------------------------------------------ */

/* 0 when the version is 3.3 and every active obligatory key has a value, else -1. */
VELMAR_API int16_t checkinterfileheader(const InterfileHeader *header);

VELMAR_END_DECLS

#endif
