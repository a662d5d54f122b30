// Internal interface of the definition-file scanner shared by every definition-file loader
// (attribute tags, UIDs, IODs, modules), and the loaders' common error protocol.
#pragma once

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <memory>

#include "velmar/dicom.h"

namespace velmar::defs {

// One piece of input: a line, or up to 256 characters of a longer one (fgets with size 257).
constexpr int kChunkSize = 257;
// Longest quoted string of a definition file; string buffers hold one more for the terminator.
constexpr int16_t kDefStringMax = 2005;
// Size of the buffer that receives a resolved definition-file path.
constexpr size_t kDefPathSize = 512;
// Size of a loader's message buffer; longer messages are cut.
constexpr size_t kDefMessageSize = VELMAR_LOG_LINE_MAX + 1;

// Blanks between tokens.
constexpr const char *kBlankSet = "[ \t\f\v\n\r]";

// Messages of the scanner-level errors (logged with a full stop appended).
constexpr const char *kMsgLeftBrace = "'{' (left brace) expected";
constexpr const char *kMsgComma = "',' (comma) expected";
constexpr const char *kMsgRightBrace = "'}' (right brace) expected";
constexpr const char *kMsgString = "character string between \"s (double quote) expected";
constexpr const char *kMsgApostrophe = "''' (apostrophe) expected";
constexpr const char *kMsgCharValue = "character value expected";
constexpr const char *kMsgHex = "hexadecimal value with 0x prefix expected";
constexpr const char *kMsgShort = "short integer value expected";
constexpr const char *kMsgUnexpectedEnd = "unexpected end of file";
constexpr const char *kMsgExtraInput = "extra input after the last record";

// Scanner state of one definition file. Created by scanOpen (malloc), released with D_Free.
// The file belongs to the loader, which opens and closes it.
struct DefScanner {
    FILE *file;
    char chunk[kChunkSize];  // current piece; chunk[pos] == 0 means: read the next piece first
    int32_t pos;             // next unread character of chunk
    int32_t line;            // 1-based line of the current piece (0 before the first)
    int32_t nextLine;        // line of the piece that the next read gives
};

// All primitives return -1 at the end of input ("end").

// New scanner over an open file, or nullptr when memory is short.
DefScanner *scanOpen(FILE *file);
// Consumes characters of a scanf bracket set ("[ \t]", "[^\n\r]") across pieces: 0 once the
// next character is outside the set, -1 at end.
int16_t scanSkipSet(DefScanner *s, const char *set);
// Next character (0..255), not consumed.
int16_t scanPeek(DefScanner *s);
// Consumes the next character when it equals c and returns c; otherwise returns the next
// character without consuming it.
int16_t scanAccept(DefScanner *s, char c);
// Skips blanks and "#" comments: 1, or -1 when the end is reached while skipping.
int16_t scanSkipBlank(DefScanner *s);
// Next character (0..255), consumed; blanks are not skipped.
int16_t scanGetChar(DefScanner *s);
// Reads a double-quoted string into dest (which holds limit + 1 characters): 1 when read, 0
// when no string stands there or it is longer than limit, -1 at end (also inside the string).
int16_t scanString(DefScanner *s, char *dest, int16_t limit);
int16_t scanBlankString(DefScanner *s, char *dest, int16_t limit);
// Reads a decimal 16-bit integer (leading blanks of the piece skipped, optional sign): 1 when
// read, 0 when none stands there (the rest of the piece is then discarded). *value is 0 first.
int16_t scanShort(DefScanner *s, int16_t *value);
int16_t scanBlankShort(DefScanner *s, int16_t *value);
// Reads "0x" followed by hexadecimal digits (at most 32 bits): 1 when read, 0 otherwise (the
// rest of the piece is then discarded). *value is 0 first.
int16_t scanHex(DefScanner *s, uint32_t *value);
int16_t scanBlankHex(DefScanner *s, uint32_t *value);
// 1 when the next character equals c (consumed), 0 otherwise (not consumed).
int16_t scanExpect(DefScanner *s, char c);
int16_t scanBlankExpect(DefScanner *s, char c);

// RAII holders for a loader's file and scanner.
struct FileCloser {
    void operator()(FILE *file) const;
};
struct ScannerFree {
    void operator()(DefScanner *scanner) const;
};
using DefFilePtr = std::unique_ptr<FILE, FileCloser>;
using ScannerPtr = std::unique_ptr<DefScanner, ScannerFree>;

// Opens a definition file for reading as text; nullptr when it cannot be opened.
DefFilePtr openDefFile(const char *path);

// Resolves a definition-file name with the context's finder into path (kDefPathSize
// characters). False when the file is not found.
bool resolveDefFile(AppData *app, const char *name, char *path);

// Writes "Loading <primary|secondary> DICOM <what> definition file <path>" at level 3.
void logLoading(AppData *app, const char *what, bool primary, const char *path);

// The message buffer of one load: only the first error is kept; texts are cut to the buffer.
class DefMessage {
   public:
    bool empty() const { return text_[0] == '\0'; }
    const char *text() const { return text_; }
    // Keeps text unless a message is already held.
    void set(const char *text);
    // Keeps a formatted message unless one is already held.
    void format(const char *fmt, ...) __attribute__((format(printf, 2, 3)));
    // Names the file and the scanner whose line a kept message is placed at.
    void locate(const char *path, const DefScanner *scanner) {
        path_ = path;
        scanner_ = scanner;
    }
    const char *path() const { return path_; }
    int32_t line() const { return line_; }

   private:
    void place() { line_ = scanner_ != nullptr ? scanner_->line : 0; }

    char text_[kDefMessageSize] = "";
    const char *path_ = nullptr;
    const DefScanner *scanner_ = nullptr;
    int32_t line_ = 0;
};

// End of the common error protocol, after parsing stopped: when no message is held, non-blank
// input left in the file becomes "extra input after the last record". The scanner is not
// released here.
void checkExtraInput(DefScanner *s, DefMessage &message);

// Logs a held message at level 1 and returns -1; returns 0 when none is held. A located message
// names its file and line: "%s (%s, line %d)."; otherwise "%s.".
int16_t reportDefMessage(AppData *app, const DefMessage &message);

}  // namespace velmar::defs
