// The velmar program's shared pieces: the option parser over the library's getopt1, the session
// that sets up the library context, and the helpers every subcommand uses.
#ifndef VELMAR_TOOLS_CLI_H
#define VELMAR_TOOLS_CLI_H

#include <cstdint>
#include <cstdio>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "velmar.h"

namespace velmar::cli {

// Exit statuses of every subcommand.
constexpr int kExitOk = 0;
constexpr int kExitFound = 1;   // the input was read but found wanting (problems reported)
constexpr int kExitFailed = 2;  // could not be read or written, or bad arguments

// One option of a subcommand: every option has a one-letter form and a long form.
struct OptionDef {
    char letter;
    const char *name;       // long name without the leading "--"
    const char *valueName;  // name of the value in the help text, or nullptr for a flag
    const char *help;
};

// What the parser found next on the command line.
struct Token {
    enum Kind { Option, Positional, End, Error } kind = End;
    char letter = 0;    // Option: the one-letter form
    std::string value;  // Option: its value; Positional: the word; Error: the message
};

// Walks the command line with getopt1 (so that "@FILE" words are replaced by the words of the
// file), adding long options ("--name", "--name=value", "--name value"), positional words between
// options, and "--" after which every word is positional.
class ArgParser {
   public:
    ArgParser(int argc, char **argv, int first);
    ~ArgParser();
    ArgParser(const ArgParser &) = delete;
    ArgParser &operator=(const ArgParser &) = delete;

    Token next(const std::vector<OptionDef> &options);

   private:
    char *const *words() const;
    int32_t count() const;
    Token positionalAfterDashes();
    Token longOption(const std::vector<OptionDef> &options, const std::string &text);

    int argc_;
    char **argv_;
    GetOptState state_{};
    bool afterDashes_ = false;
    std::vector<std::string> rest_;  // positional words after "--", not yet handed out
    size_t restNext_ = 0;
};

// Prints "velmar: <text>" on standard error.
void complain(const std::string &text);

// The options and positional words of one subcommand's command line.
struct ParsedArgs {
    std::vector<std::pair<char, std::string>> options;  // in command-line order
    std::vector<std::string> positionals;
    bool help = false;
    bool verbose = false;

    bool has(char letter) const;
    // The last value given for the option, or `fallback`.
    std::string value(char letter, const std::string &fallback = "") const;
};

// Appends -v/--verbose and -h/--help to a subcommand's options.
std::vector<OptionDef> withCommonOptions(std::vector<OptionDef> options);
// Reads the whole rest of the command line. nullopt after one message on a bad option.
std::optional<ParsedArgs> parseAll(ArgParser &args, const std::vector<OptionDef> &options,
                                   const char *command);
// Prints "usage: ...", the description and the option table of a subcommand on standard output.
void printHelp(const char *usage, const char *description, const std::vector<OptionDef> &options);

// The library context of one run: log, definition files, dictionary, codecs.
class Session {
   public:
    explicit Session(bool verbose);
    ~Session();
    Session(const Session &) = delete;
    Session &operator=(const Session &) = delete;

    // Finds the definition files, opens the log and fills the context. false (after one message)
    // when something is missing.
    bool start();
    // Loads the attribute dictionary (tag_tab.def, tag2_tab.def).
    bool loadDictionary();
    // Registers the built-in codec libraries and loads the codec maps.
    bool loadCodecs();
    // Makes sure a codec for `uid` (coder or decoder) is registered, loading its library through
    // the codec maps when needed; `options` goes to the library. An error text or empty.
    std::string ensureCodec(const std::string &uid, bool coder, const std::string &options);

    AppData *app() { return &app_; }
    Log *log() { return log_; }
    CodecMap *codecMap() { return &map_; }
    const std::string &definitionDir() const { return defDir_; }
    // Where codec libraries named by plain name in the codec maps are looked for.
    const std::string &codecDir();
    bool verbose() const { return verbose_; }

    // Between these two calls the log's messages are collected in memory instead of going to
    // standard error; endReport prints them on standard output ("Info: " lines only when
    // verbose) and returns how many lines it printed. `edit` may rewrite the collected lines
    // first; with `out` stderr only the levels the log mask shows there are printed.
    using ReportEditor = std::function<void(std::vector<std::string> &)>;
    void beginReport();
    int endReport(const ReportEditor &edit = {}, FILE *out = stdout);
    // Ends a report without printing it.
    void discardReport();
    // Ends a report and returns its text instead of printing it.
    std::string takeReport();

   private:
    void closeReport();

    AppData app_{};
    Log *log_ = nullptr;
    CodecMap map_{};
    bool verbose_;
    bool started_ = false;
    bool dictionaryLoaded_ = false;
    std::string defDir_;
    std::string codecDir_;
    bool codecDirFound_ = false;
    char *reportText_ = nullptr;
    size_t reportSize_ = 0;
    FILE *reportStream_ = nullptr;
    uint16_t savedMask_ = 0;
};

// The transfer syntax that a --syntax value names.
struct Syntax {
    int32_t code = TS_EXPLICIT_LITTLE;
    std::string uid = "1.2.840.10008.1.2.1";
};
std::optional<Syntax> parseSyntax(const std::string &text);
// The transfer syntax of the codec map line that names the codec `name` ("jpeg-lossless"); when
// there is none, says so for `command` and gives nothing.
std::optional<Syntax> syntaxOfCodecName(Session &session, const std::string &name, const std::string &command);
// "explicit VR little endian" and so on, or the UID itself.
std::string describeSyntax(int32_t code, const std::string &uid);

// Checks that `path` names a readable regular file; an error text or empty.
std::string checkReadable(const std::string &path);
// Checks that `path` can be created or replaced; an error text or empty.
std::string checkWritable(const std::string &path);

// Reads a DICOM file into `io`; false after one message on standard error.
bool readDicom(Session &session, const std::string &path, IOObject &io);
// Option texts for the codec libraries of a conversion: the coder's (--codec-option) and the
// decoder's (--decode-option).
struct CodecOptions {
    std::string coder;
    std::string decoder;
};

// Writes io's object to `path` in `syntax`, with or without the meta header, showing progress on
// a terminal. Loads the codecs the pixel data needs and hands them their option texts. false
// after one message.
bool writeDicom(Session &session, IOObject &io, const std::string &path, const Syntax &syntax, bool withMeta,
                const CodecOptions &codecOptions);
// One line describing what was written: IOD name, frames, syntax.
std::string describeObject(Session &session, DicomObject *obj, int32_t code, const std::string &uid);

// The Interfile context of one run with its loaded definition and the header read; releases
// both when it goes.
class InterfileSession {
   public:
    explicit InterfileSession(Session &session);
    ~InterfileSession();
    InterfileSession(const InterfileSession &) = delete;
    InterfileSession &operator=(const InterfileSession &) = delete;

    bool loadDefinition(const Session &session);
    // Reads the header; the parser's messages go where `out` says (standard output for a
    // check report, standard error otherwise), folded to one per line.
    bool read(Session &session, const std::string &path, FILE *out);
    InterfileHeader *header() { return header_; }

   private:
    IAppData iapp_{};
    InterfileHeader *header_ = nullptr;
};

// Whether the first key of a file, after a byte-order mark, blank and comment lines, is
// "!INTERFILE" (with or without the "!").
bool firstKeyIsInterfile(const std::string &path);
// Replaces the header scanner's per-character messages by one message per line, and drops
// those of a line that a syntax-error message already reports.
void foldHeaderMessages(std::vector<std::string> &lines, const std::string &path);

// The subcommands: each parses its own options (verbose: -v was given before the subcommand)
// and returns the exit status.
int runDump(ArgParser &args, bool verbose);
int runConvert(ArgParser &args, bool verbose);
int runVerify(ArgParser &args, bool verbose);
int runInterfile(ArgParser &args, bool verbose);
int runCodecs(ArgParser &args, bool verbose);
int runPreview(ArgParser &args, bool verbose);

}  // namespace velmar::cli

#endif
