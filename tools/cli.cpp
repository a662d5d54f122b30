// The velmar program's shared pieces: options over getopt1, the library session, reading and
// writing DICOM files with clear messages.
#include "cli.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string_view>

namespace velmar::cli {

namespace fs = std::filesystem;

// ---- Options --------------------------------------------------------------------------------

ArgParser::ArgParser(int argc, char **argv, int first) : argc_(argc), argv_(argv) {
    initgetopt1(&state_);
    state_.opterr = 0;  // the program words its own messages
    state_.optind = first;
}

ArgParser::~ArgParser() {
    // A parse that stopped inside a command list file leaves its words allocated.
    std::free(state_.listWords);
    std::free(state_.listText);
}

char *const *ArgParser::words() const {
    return state_.inList != 0 ? state_.listWords : argv_;
}

int32_t ArgParser::count() const {
    return state_.inList != 0 ? state_.listCount : argc_;
}

Token ArgParser::positionalAfterDashes() {
    if (restNext_ < rest_.size()) return {Token::Positional, 0, rest_[restNext_++]};
    return {Token::End, 0, ""};
}

namespace {

bool isOptionWord(const char *word) {
    return word != nullptr && word[0] == '-' && word[1] != '\0';
}

const OptionDef *findLetter(const std::vector<OptionDef> &options, int letter) {
    for (const OptionDef &option : options)
        if (option.letter == letter) return &option;
    return nullptr;
}

}  // namespace

Token ArgParser::longOption(const std::vector<OptionDef> &options, const std::string &text) {
    size_t equals = text.find('=');
    std::string name = text.substr(0, equals);
    const OptionDef *found = nullptr;
    for (const OptionDef &option : options)
        if (name == option.name) found = &option;
    if (found == nullptr) return {Token::Error, 0, "unknown option --" + name};
    if (found->valueName == nullptr) {
        if (equals != std::string::npos) return {Token::Error, 0, "option --" + name + " takes no value"};
        return {Token::Option, found->letter, ""};
    }
    if (equals != std::string::npos) return {Token::Option, found->letter, text.substr(equals + 1)};
    // The value is the next word of the words in use (the command list file's while in one).
    if (state_.optind >= count() || words()[state_.optind] == nullptr)
        return {Token::Error, 0, "option --" + name + " needs a value (" + found->valueName + ")"};
    std::string value = words()[state_.optind];
    ++state_.optind;
    return {Token::Option, found->letter, value};
}

Token ArgParser::next(const std::vector<OptionDef> &options) {
    if (afterDashes_) return positionalAfterDashes();
    std::string optstring = "-:";
    for (const OptionDef &option : options) {
        optstring += option.letter;
        if (option.valueName != nullptr) optstring += ':';
    }
    for (int guard = 0; guard < 1000000; ++guard) {
        int32_t listBefore = state_.inList;
        int32_t indexBefore = state_.optind;
        int32_t ch = getopt1(&state_, argc_, argv_, optstring.c_str());
        if (ch == '-') return longOption(options, state_.optarg != nullptr ? state_.optarg : "");
        if (ch == '?') {
            const OptionDef *known = findLetter(options, state_.optopt);
            if (known != nullptr && known->valueName != nullptr)
                return {Token::Error, 0,
                        std::string("option -") + static_cast<char>(state_.optopt) + " needs a value (" +
                            known->valueName + ")"};
            return {Token::Error, 0, std::string("unknown option -") + static_cast<char>(state_.optopt)};
        }
        if (ch != -1) {
            std::string value = state_.optarg != nullptr ? state_.optarg : "";
            const OptionDef *known = findLetter(options, ch);
            if (known == nullptr || known->valueName == nullptr) value.clear();
            return {Token::Option, static_cast<char>(ch), value};
        }
        // getopt1 stopped: at the end, at a positional word, or after "--".
        char *const *list = words();
        int32_t n = count();
        int32_t at = state_.optind;
        if (at >= 0 && at < n && list[at] != nullptr && !isOptionWord(list[at])) {
            const char *word = list[at];
            if (word[0] == '@' && state_.inList == 0) {
                // A command list file: getopt1 opens it when it starts on this word. When it
                // stopped here anyway (just after another list, or the file cannot be read), try
                // once more and report a file that cannot be read.
                if (listBefore != 0 || indexBefore != at) continue;
                return {Token::Error, 0, std::string("cannot read command list file ") + (word + 1)};
            }
            ++state_.optind;
            state_.optpos = 1;
            return {Token::Positional, 0, word};
        }
        if (at > 0 && at <= n && list[at - 1] != nullptr && std::strcmp(list[at - 1], "--") == 0) {
            // Everything after "--" is positional: the rest of these words, then (when they are a
            // command list file's) the rest of the command line.
            afterDashes_ = true;
            for (int32_t i = at; i < n; ++i) rest_.emplace_back(list[i]);
            if (state_.inList != 0)
                for (int32_t i = state_.resumeIndex; i < argc_; ++i) rest_.emplace_back(argv_[i]);
            return positionalAfterDashes();
        }
        if (state_.inList != 0) continue;  // the list is exhausted: go on with the command line
        return {Token::End, 0, ""};
    }
    return {Token::End, 0, ""};
}

void complain(const std::string &text) {
    std::fprintf(stderr, "velmar: %s\n", text.c_str());
    std::fflush(stderr);
}

bool ParsedArgs::has(char letter) const {
    for (const auto &option : options)
        if (option.first == letter) return true;
    return false;
}

std::string ParsedArgs::value(char letter, const std::string &fallback) const {
    std::string found = fallback;
    for (const auto &option : options)
        if (option.first == letter) found = option.second;
    return found;
}

std::vector<OptionDef> withCommonOptions(std::vector<OptionDef> options) {
    options.push_back({'v', "verbose", nullptr, "also show the library's progress notes (Info lines)"});
    options.push_back({'h', "help", nullptr, "show this help and exit"});
    return options;
}

std::optional<ParsedArgs> parseAll(ArgParser &args, const std::vector<OptionDef> &options,
                                   const char *command) {
    ParsedArgs parsed;
    for (;;) {
        Token token = args.next(options);
        switch (token.kind) {
            case Token::End:
                return parsed;
            case Token::Error:
                complain(std::string(command) + ": " + token.value + " (see 'velmar " + command +
                         " --help')");
                return std::nullopt;
            case Token::Positional:
                parsed.positionals.push_back(token.value);
                break;
            case Token::Option:
                if (token.letter == 'h')
                    parsed.help = true;
                else if (token.letter == 'v')
                    parsed.verbose = true;
                else
                    parsed.options.emplace_back(token.letter, token.value);
                break;
        }
    }
}

void printHelp(const char *usage, const char *description, const std::vector<OptionDef> &options) {
    std::printf("usage: %s\n\n%s\n\noptions:\n", usage, description);
    for (const OptionDef &option : options) {
        std::string left = std::string("-") + option.letter + ", --" + option.name;
        if (option.valueName != nullptr) left += std::string(" ") + option.valueName;
        std::printf("  %-28s %s\n", left.c_str(), option.help);
    }
    std::printf(
        "\nOptions may also come from a command list file: @FILE stands for the words of FILE.\n"
        "Exit status: 0 success, 1 input read but found wanting, 2 input not readable or\n"
        "output not writable, or bad arguments.\n");
}

// ---- Session --------------------------------------------------------------------------------

namespace {

bool hasDefinitions(const fs::path &dir) {
    std::error_code ec;
    return !dir.empty() && fs::is_regular_file(dir / "tag_tab.def", ec);
}

// The definition directory: VELMAR_DEF_PATH, else the share/velmar of the program's own
// installation, else that of the source tree it was built from.
std::string findDefinitionDir(std::string &error) {
    const char *env = std::getenv("VELMAR_DEF_PATH");
    if (env != nullptr && env[0] != '\0') {
        if (hasDefinitions(env)) return env;
        error = std::string("no definition files (tag_tab.def) in ") + env + " named by VELMAR_DEF_PATH";
        return "";
    }
    std::vector<fs::path> candidates;
    std::error_code ec;
    fs::path exe = fs::read_symlink("/proc/self/exe", ec);
    if (!ec) candidates.push_back(exe.parent_path().parent_path() / "share" / "velmar");
#ifdef VELMAR_BUILD_SHARE_DIR
    candidates.emplace_back(VELMAR_BUILD_SHARE_DIR);
#endif
#ifdef VELMAR_INSTALL_SHARE_DIR
    candidates.emplace_back(VELMAR_INSTALL_SHARE_DIR);
#endif
    for (const fs::path &dir : candidates)
        if (hasDefinitions(dir)) return fs::weakly_canonical(dir, ec).string();
    error = "cannot find the definition files (tag_tab.def); set VELMAR_DEF_PATH to their directory";
    return "";
}

// The directory of the codec libraries that the codec maps name by plain name: VELMAR_CODEC_DIR
// when set, else <prefix>/lib/velmar/codecs beside the program, the build tree's codecs/ or the
// installed directory, whichever exists first. Empty when none does.
std::string findCodecDir() {
    const char *env = std::getenv("VELMAR_CODEC_DIR");
    if (env != nullptr && env[0] != '\0') return env;
    std::vector<fs::path> candidates;
    std::error_code ec;
    fs::path exe = fs::read_symlink("/proc/self/exe", ec);
    if (!ec) {
        candidates.push_back(exe.parent_path().parent_path() / "lib" / "velmar" / "codecs");
        candidates.push_back(exe.parent_path() / "codecs");
    }
#ifdef VELMAR_BUILD_CODEC_DIR
    candidates.emplace_back(VELMAR_BUILD_CODEC_DIR);
#endif
#ifdef VELMAR_INSTALL_CODEC_DIR
    candidates.emplace_back(VELMAR_INSTALL_CODEC_DIR);
#endif
    for (const fs::path &dir : candidates)
        if (fs::is_directory(dir, ec)) return dir.string();
    return "";
}

// The log mask: VELMAR_LOG_MASK when set, else errors and warnings on standard error; -v raises
// the standard error threshold to include Info lines.
bool logMask(bool verbose, uint16_t &mask) {
    mask = 0x20;
    const char *env = std::getenv("VELMAR_LOG_MASK");
    if (env != nullptr && env[0] != '\0') {
        char *end = nullptr;
        errno = 0;
        unsigned long value = std::strtoul(env, &end, 0);
        if (errno != 0 || end == env || *end != '\0' || value > 0xFFFF) {
            complain(std::string("VELMAR_LOG_MASK must be a number such as 0x20, not \"") + env + "\"");
            return false;
        }
        mask = static_cast<uint16_t>(value);
    }
    if (verbose && ((mask >> 4) & 0x0F) < 3) mask = static_cast<uint16_t>((mask & 0xFF0F) | 0x30);
    return true;
}

}  // namespace

namespace {
// The owner of the program's log.
char kLogOwner;
}  // namespace

Session::Session(bool verbose) : verbose_(verbose) {
    initCodecMap(&map_);
}

Session::~Session() {
    if (reportStream_ != nullptr) endReport();
    freeCodecMap(&map_);
    if (dictionaryLoaded_) DoneTagDef(&app_);
    if (started_) done_AppData(&app_);
    // The log is the program's own (its owner is this session, so done_AppData leaves it): it has
    // no file, so nothing is left to close.
    std::free(log_);
}

bool Session::start() {
    std::string error;
    defDir_ = findDefinitionDir(error);
    if (defDir_.empty()) {
        complain(error);
        return false;
    }
    // Every finder of the library reads the directory from the environment.
    setenv("VELMAR_DEF_PATH", defDir_.c_str(), 1);
    uint16_t mask = 0;
    if (!logMask(verbose_, mask)) return false;
    log_ = static_cast<Log *>(std::calloc(1, sizeof(Log)));
    if (log_ == nullptr) {
        complain("out of memory");
        return false;
    }
    log_->mask = mask;
    // The owner is an address no library context has, so that no context's finaliser closes it.
    log_->owner = &kLogOwner;
    if (init_AppData(&app_, "velmar", VELMAR_VERSION_STRING, nullptr) != 0) {
        complain("cannot set up the library context");
        return false;
    }
    started_ = true;
    app_.log = log_;
    return true;
}

bool Session::loadDictionary() {
    dictionaryLoaded_ = true;  // a failed load may keep what it read before the error
    if (InitTagDef(&app_, 0) != 0) {
        complain("cannot load the attribute dictionary (tag_tab.def) from " + defDir_);
        return false;
    }
    return true;
}

const std::string &Session::codecDir() {
    if (!codecDirFound_) {
        codecDir_ = findCodecDir();
        codecDirFound_ = true;
    }
    return codecDir_;
}

bool Session::loadCodecs() {
    if (native_LibraryInit(&app_) != 0 || interfile_LibraryInit(&app_) != 0 || png_LibraryInit(&app_) != 0) {
        complain("cannot register the built-in codecs");
        return false;
    }
    loadCodecMapLogged(&map_, log());
    return true;
}

std::string Session::ensureCodec(const std::string &uid, bool coder, const std::string &options) {
    const char *kind = coder ? "coder" : "decoder";
    auto registered = [&] { return get_codec(app_.codecCount, app_.codecs, uid.c_str(), coder ? 1 : 0); };
    if (registered() != nullptr) return "";
    const char *name = getNameForUID(&map_, uid.c_str());
    if (name == nullptr)
        return std::string("no ") + kind + " for transfer syntax " + uid +
               ": no codec map (defcodec.map, usrcodec.map) names one";
    const char *library = getLibForName(&map_, name);
    std::string lib = library != nullptr ? library : "?";
    const char *names[1] = {name};
    const char *texts[1] = {options.c_str()};
    const std::string &dir = codecDir();
    int32_t rc =
        init_DynamicCodecLibraries(&app_, &map_, names, texts, 1, dir.empty() ? nullptr : dir.c_str());
    if (rc >= 4000) return "the codec library " + lib + " failed to start (LibraryInit)";
    if (rc >= 2000) return "cannot load the codec library " + lib + " (or it has no LibraryInit)";
    if (rc != 0) return std::string("the codec ") + name + " is not in the codec maps";
    if (registered() == nullptr)
        return "the codec library " + lib + " registered no " + kind + " for transfer syntax " + uid;
    return "";
}

void Session::beginReport() {
    if (reportStream_ != nullptr || log_ == nullptr) return;
    reportStream_ = open_memstream(&reportText_, &reportSize_);
    if (reportStream_ == nullptr) return;
    savedMask_ = log_->mask;
    log_->file = reportStream_;
    // Every report level into the memory stream; nothing but level 0 to standard error.
    log_->mask = 0x03;
}

void Session::closeReport() {
    std::fclose(reportStream_);
    reportStream_ = nullptr;
    log_->file = nullptr;
    log_->mask = savedMask_;
}

void Session::discardReport() {
    if (reportStream_ == nullptr) return;
    closeReport();
    std::free(reportText_);
    reportText_ = nullptr;
    reportSize_ = 0;
}

std::string Session::takeReport() {
    if (reportStream_ == nullptr) return "";
    closeReport();
    std::string text(reportText_ != nullptr ? reportText_ : "", reportSize_);
    std::free(reportText_);
    reportText_ = nullptr;
    reportSize_ = 0;
    return text;
}

namespace {

std::vector<std::string> splitLines(std::string_view text) {
    std::vector<std::string> lines;
    while (!text.empty()) {
        size_t end = text.find('\n');
        lines.emplace_back(text.substr(0, end));
        text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
    }
    return lines;
}

// The level of a log line from its prefix; unprefixed report lines count as level 0.
int lineLevel(const std::string &line) {
    if (line.rfind("Error: ", 0) == 0) return 1;
    if (line.rfind("Warning: ", 0) == 0) return 2;
    if (line.rfind("Info: ", 0) == 0) return 3;
    return 0;
}

}  // namespace

int Session::endReport(const ReportEditor &edit, FILE *out) {
    if (reportStream_ == nullptr) return 0;
    closeReport();
    std::vector<std::string> lines =
        splitLines(std::string_view(reportText_ != nullptr ? reportText_ : "", reportSize_));
    std::free(reportText_);
    reportText_ = nullptr;
    reportSize_ = 0;
    if (edit) edit(lines);
    // On standard output every report line but Info (without -v); on standard error what the
    // log mask lets through there.
    int shown = out == stdout ? (verbose_ ? 3 : 2) : (savedMask_ >> 4) & 0x0F;
    int printed = 0;
    for (const std::string &line : lines) {
        if (lineLevel(line) > shown) continue;
        std::fprintf(out, "%s\n", line.c_str());
        ++printed;
    }
    std::fflush(out);
    return printed;
}

// ---- Syntaxes -------------------------------------------------------------------------------

namespace {

constexpr const char *kDeflatedUID = "1.2.840.10008.1.2.1.99";

struct NamedSyntax {
    const char *name;
    int32_t code;
    const char *uid;
    const char *description;
};

constexpr NamedSyntax kSyntaxes[] = {
    {"implicit", TS_IMPLICIT_LITTLE, "1.2.840.10008.1.2", "implicit VR little endian"},
    {"explicit", TS_EXPLICIT_LITTLE, "1.2.840.10008.1.2.1", "explicit VR little endian"},
    {"big", TS_EXPLICIT_BIG, "1.2.840.10008.1.2.2", "explicit VR big endian"},
    {"png", TS_OTHER, VELMAR_PNG_TRANSFER_SYNTAX_UID, "PNG per frame (velmar private)"},
    {"deflated", TS_OTHER, kDeflatedUID, "deflated explicit VR little endian"},
};

bool looksLikeUID(const std::string &text) {
    if (text.empty() || text.size() > 64 || text.front() == '.' || text.back() == '.') return false;
    for (char c : text)
        if (!(c == '.' || (c >= '0' && c <= '9'))) return false;
    return true;
}

}  // namespace

std::optional<Syntax> parseSyntax(const std::string &text) {
    for (const NamedSyntax &s : kSyntaxes)
        if (text == s.name || text == s.uid) return Syntax{s.code, s.uid};
    if (looksLikeUID(text)) return Syntax{TS_OTHER, text};
    return std::nullopt;
}

std::optional<Syntax> syntaxOfCodecName(Session &session, const std::string &name, const std::string &command) {
    const char *uid = getUIDForName(session.codecMap(), name.c_str());
    std::optional<Syntax> syntax = uid != nullptr ? parseSyntax(uid) : std::nullopt;
    if (!syntax)
        complain(command + ": unknown syntax \"" + name +
                 "\": give implicit, explicit, big, png, a codec name of the codec maps or a transfer syntax UID");
    return syntax;
}

std::string describeSyntax(int32_t code, const std::string &uid) {
    for (const NamedSyntax &s : kSyntaxes)
        if ((code != TS_OTHER && s.code == code) || (code == TS_OTHER && uid == s.uid)) return s.description;
    return "transfer syntax " + uid;
}

// ---- Files ----------------------------------------------------------------------------------

std::string checkReadable(const std::string &path) {
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) return "cannot read " + path + ": " + std::strerror(errno);
    if (S_ISDIR(info.st_mode)) return "cannot read " + path + ": it is a directory";
    if (!S_ISREG(info.st_mode)) return "cannot read " + path + ": it is not a regular file";
    if (::access(path.c_str(), R_OK) != 0) return "cannot read " + path + ": " + std::strerror(errno);
    return "";
}

std::string checkWritable(const std::string &path) {
    struct stat info {};
    if (::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode))
        return "cannot write " + path + ": it is a directory";
    fs::path dir = fs::path(path).parent_path();
    if (dir.empty()) dir = ".";
    if (::stat(dir.c_str(), &info) != 0 || !S_ISDIR(info.st_mode))
        return "cannot write " + path + ": no directory " + dir.string();
    if (::access(dir.c_str(), W_OK | X_OK) != 0) return "cannot write " + path + ": " + std::strerror(errno);
    return "";
}

bool readDicom(Session &session, const std::string &path, IOObject &io) {
    std::string problem = checkReadable(path);
    if (!problem.empty()) {
        complain(problem);
        return false;
    }
    init_IOObject(&io);
    io.metaSyntax = TS_NOT_SET;
    io.dataSyntax = TS_NOT_SET;
    if (DO_importObjectFromFile(session.app(), path.c_str(), &io) != 0) {
        complain("cannot read " + path + " as a DICOM file");
        return false;
    }
    if (io.object == nullptr || io.object->root == nullptr || io.object->root->firstChild == nullptr) {
        complain("cannot read " + path + " as a DICOM file: it holds no elements");
        return false;
    }
    return true;
}

namespace {

void complainCodecOptionUnused() {
    complain("convert: --codec-option applies to encapsulated syntaxes (png or a codec map UID) only");
}

bool isUncompressed(const std::string &uid) {
    return uid == "1.2.840.10008.1.2" || uid == "1.2.840.10008.1.2.1" || uid == "1.2.840.10008.1.2.2" ||
           uid == VELMAR_INTERFILE_LITTLE_ENDIAN_UID || uid == VELMAR_INTERFILE_BIG_ENDIAN_UID;
}

bool validPngOption(const std::string &uid, const std::string &option) {
    PNGOptions check{};
    if (uid != VELMAR_PNG_TRANSFER_SYNTAX_UID || option.empty() || setPNGPrivate(&check, option.c_str()) == 0)
        return true;
    complain("bad png codec option \"" + option +
             "\": give letters with values such as \"c=9,f=5\" (c 0-9 compression, f 0-6 filter, i 0-1 "
             "interlace)");
    return false;
}

// Hands the option text to the library of the codec for `uid` (png: c, f, i letters).
bool passOptions(Session &session, const std::string &uid, bool coder, const std::string &options) {
    if (options.empty()) return true;
    Codec *codec = get_codec(session.app()->codecCount, session.app()->codecs, uid.c_str(), coder ? 1 : 0);
    int32_t rc = codec != nullptr
                     ? passCmdlineParametersToCodec(session.app(), codec->libraryName, options.c_str())
                     : 0;
    if (rc == -1) {
        complain(std::string("the codec library ") + codec->libraryName + " takes no options");
        return false;
    }
    if (rc < -1) {
        complain(std::string("the codec library ") + codec->libraryName + " refuses the codec option \"" +
                 options + "\"");
        return false;
    }
    return true;
}

// The option texts of the decoder's and the coder's libraries: --decode-option goes to the
// decoder of encapsulated input; --codec-option to the coder of an encapsulated target and, unless
// --decode-option is given, to the decoder of encapsulated input as well.
bool splitOptions(const std::string &sourceUID, const Syntax &target, const CodecOptions &given,
                  std::string *decoderOptions, std::string *coderOptions) {
    bool encapsulatedSource = !isUncompressed(sourceUID);
    bool encapsulatedTarget = target.code == TS_OTHER;
    if (!given.decoder.empty() && !encapsulatedSource) {
        complain("convert: --decode-option applies to encapsulated input (png or a codec map UID) only");
        return false;
    }
    if (!given.coder.empty() && !encapsulatedSource && !encapsulatedTarget) {
        complainCodecOptionUnused();
        return false;
    }
    *coderOptions = encapsulatedTarget ? given.coder : "";
    *decoderOptions = !given.decoder.empty() ? given.decoder : (encapsulatedSource ? given.coder : "");
    return validPngOption(sourceUID, *decoderOptions) && validPngOption(target.uid, *coderOptions);
}

// Loads (through the codec maps when needed) the decoder of the pixel data's present syntax and
// the coder of the target, and hands each codec library its option text.
bool prepareCodecs(Session &session, DicomObject *obj, const Syntax &syntax, const CodecOptions &given) {
    char *source = GetPixelTransferSyntax(session.app(), obj);
    if (source == nullptr) {
        // No pixel data: nothing to convert, and no codec to take an option.
        if (!given.coder.empty() && syntax.code != TS_OTHER) {
            complainCodecOptionUnused();
            return false;
        }
        return validPngOption(syntax.uid, given.coder);
    }
    std::string sourceUID = source;
    std::free(source);
    std::string decoderOptions, coderOptions;
    if (!splitOptions(sourceUID, syntax, given, &decoderOptions, &coderOptions)) return false;
    // A deflated data set keeps its pixels native: the library writes them in explicit VR little endian.
    const std::string coderUID = syntax.uid == kDeflatedUID ? "1.2.840.10008.1.2.1" : syntax.uid;
    std::string problem = session.ensureCodec(sourceUID, false, decoderOptions);
    if (problem.empty()) problem = session.ensureCodec(coderUID, true, coderOptions);
    if (!problem.empty()) {
        complain(problem);
        return false;
    }
    Codec *decoder = get_codec(session.app()->codecCount, session.app()->codecs, sourceUID.c_str(), 0);
    Codec *coder = get_codec(session.app()->codecCount, session.app()->codecs, coderUID.c_str(), 1);
    if (decoder != nullptr && coder != nullptr && !decoderOptions.empty() && !coderOptions.empty() &&
        decoderOptions != coderOptions && std::strcmp(decoder->libraryName, coder->libraryName) == 0) {
        complain(std::string("the codec library ") + coder->libraryName +
                 " both decodes and codes this conversion: it takes one option text");
        return false;
    }
    return passOptions(session, sourceUID, false, decoderOptions) &&
           passOptions(session, coderUID, true, coderOptions);
}

}  // namespace

bool writeDicom(Session &session, IOObject &io, const std::string &path, const Syntax &syntax, bool withMeta,
                const CodecOptions &codecOptions) {
    std::string problem = checkWritable(path);
    if (!problem.empty()) {
        complain(problem);
        return false;
    }
    if (!withMeta && syntax.code == TS_OTHER) {
        complain("a file in " + describeSyntax(syntax.code, syntax.uid) +
                 " needs its meta header (--no-meta works with implicit, explicit and big only)");
        return false;
    }
    if (!prepareCodecs(session, io.object, syntax, codecOptions)) return false;
    io.dataSyntax = syntax.code;
    io.metaSyntax = TS_EXPLICIT_LITTLE;
    std::snprintf(io.transferSyntaxUID, sizeof io.transferSyntaxUID, "%s", syntax.uid.c_str());
    io.hasPreamble = withMeta ? 1 : 0;
    io.metaHeaderMode = 0;
    io.writePixelData = 1;

    // On a terminal, the library's per-frame progress function redraws one status line.
    bool progress = ::isatty(STDERR_FILENO) != 0;
    AppData *app = session.app();
    if (progress) {
        std::fprintf(stderr, "velmar: writing %s ...", path.c_str());
        std::fflush(stderr);
        app->progressUser = const_cast<char *>(path.c_str());
        app->progress = [](void *user, uint32_t written, uint32_t total) {
            std::fprintf(stderr, "\rvelmar: writing %s: frame %u of %u", static_cast<const char *>(user),
                         written, total);
            std::fflush(stderr);
        };
    }
    int16_t rc = DO_copyObjectToFile(app, &io, path.c_str());
    app->progress = nullptr;
    app->progressUser = nullptr;
    if (progress) {
        std::fprintf(stderr, rc == 0 ? " done\n" : " failed\n");
        std::fflush(stderr);
    }
    if (rc != 0) {
        complain("cannot write " + path);
        return false;
    }
    return true;
}

std::string describeObject(Session &session, DicomObject *obj, int32_t code, const std::string &uid) {
    std::string text;
    DicomElement modality{};
    modality.group = 0x0008;
    modality.element = 0x0060;
    if (DO_searchForElement(obj, &modality) == 0 && modality.value != nullptr) {
        std::string value(static_cast<const char *>(modality.value), modality.length);
        while (!value.empty() && (value.back() == ' ' || value.back() == '\0')) value.pop_back();
        text = value;
    }
    D_Free(&modality.value);
    PixelDataDescriptor *pds = get_ppds(session.app(), obj);
    if (pds != nullptr) {
        char geometry[128];
        std::snprintf(geometry, sizeof geometry, "%s%u frame%s of %u x %u, %u bits", text.empty() ? "" : ", ",
                      pds->numberOfFrames, pds->numberOfFrames == 1 ? "" : "s", pds->columns, pds->rows,
                      pds->bitsAllocated);
        text += geometry;
        std::free(pds);
    }
    if (!text.empty()) text += ", ";
    return text + describeSyntax(code, uid);
}

}  // namespace velmar::cli
