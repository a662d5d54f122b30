// Interfile headers as the velmar program sees them: the session that reads one, whether a file
// is an Interfile header at all, and the folding of the parser's per-character messages into one line per
// line.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <set>
#include <string>

#include "cli.h"

namespace velmar::cli {

namespace {

constexpr const char *kCharacterPrefix = "Error: in INTERFILE ";
constexpr const char *kSyntaxPrefix = "Error: parse error in ";

std::string trimmed(const std::string &text) {
    size_t begin = text.find_first_not_of(" \t\v\f\r");
    if (begin == std::string::npos) return "";
    size_t end = text.find_last_not_of(" \t\v\f\r");
    return text.substr(begin, end - begin + 1);
}

// A per-character message of the header scanner: the character, its 0-based line and column.
struct CharacterMessage {
    char character;
    long line;
    long column;
};

bool parseCharacterMessage(const std::string &line, CharacterMessage &out) {
    size_t prefix = std::char_traits<char>::length(kCharacterPrefix);
    if (line.size() < prefix + 2 || line.compare(0, prefix, kCharacterPrefix) != 0) return false;
    // "<c> at line <n> pos <m>": the character is one byte, whatever it is.
    const char *rest = line.c_str() + prefix + 1;
    int used = 0;
    if (std::sscanf(rest, " at line %ld pos %ld%n", &out.line, &out.column, &used) != 2 || rest[used] != '\0')
        return false;
    out.character = line[prefix];
    return true;
}

// The 1-based line of a syntax-error message, or -1.
long syntaxErrorLine(const std::string &line) {
    if (line.rfind(kSyntaxPrefix, 0) != 0) return -1;
    size_t at = line.rfind(" at line ");
    return at == std::string::npos ? -1 : std::strtol(line.c_str() + at + 9, nullptr, 10);
}

std::string printable(const std::string &text) {
    std::string out;
    for (unsigned char c : text) {
        if (c >= 0x20 && c < 0x7F && c != '"' && c != '\\') {
            out += static_cast<char>(c);
        } else {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02X", c);
            out += escaped;
        }
    }
    return out;
}

}  // namespace

InterfileSession::InterfileSession(Session &session) {
    init_IAppData(&iapp_, "velmar", VELMAR_VERSION_STRING, nullptr);
    iapp_.log = session.log();
}

InterfileSession::~InterfileSession() {
    doneinterfile(&header_);
    DoneINTERFILEdef(&iapp_);
    iapp_.log = nullptr;  // the program's log outlives this context
    done_IAppData(&iapp_);
}

bool InterfileSession::loadDefinition(const Session &session) {
    if (InitINTERFILEdef(&iapp_) == 0) return true;
    complain("cannot load the Interfile definitions (interfil.def) from " + session.definitionDir());
    return false;
}

bool InterfileSession::read(Session &session, const std::string &path, FILE *out) {
    session.beginReport();
    bool read = readinterfileheader(&iapp_, &header_, path.c_str()) == 0 && header_ != nullptr;
    session.endReport([&](std::vector<std::string> &lines) { foldHeaderMessages(lines, path); }, out);
    if (!read) complain("cannot read " + path + " as an Interfile header");
    return read;
}

bool firstKeyIsInterfile(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::string line;
    bool first = true;
    // Every line end a header may use ends a line here: "\r" splits what getline left whole.
    while (std::getline(in, line)) {
        if (first && line.rfind("\xEF\xBB\xBF", 0) == 0) line.erase(0, 3);
        first = false;
        size_t begin = 0;
        while (begin <= line.size()) {
            size_t end = std::min(line.find('\r', begin), line.size());
            std::string text = trimmed(line.substr(begin, end - begin));
            begin = end + 1;
            if (text.empty() || text[0] == ';') continue;
            size_t assign = text.find(":=");
            if (assign == std::string::npos) return false;
            char norm[VELMAR_IF_VALUE_SIZE];
            normalizeinterkey(text.substr(0, assign).c_str(), norm);
            return std::string(norm) == "INTERFILE";
        }
    }
    return false;
}

namespace {

// The stray characters of one line, folded into one message.
struct StrayText {
    size_t index;  // of the message in the edited lines
    long column;   // 0-based column of the first character
    std::string characters;
};

std::string strayMessage(const std::string &path, long line, const StrayText &stray) {
    return "Error: stray text in " + path + " at line " + std::to_string(line + 1) + " pos " +
           std::to_string(stray.column + 1) + " (skipped): \"" + printable(stray.characters) + "\"";
}

}  // namespace

void foldHeaderMessages(std::vector<std::string> &lines, const std::string &path) {
    std::set<long> rejected;  // 1-based lines that a syntax-error message already names
    for (const std::string &line : lines) {
        long at = syntaxErrorLine(line);
        if (at > 0) rejected.insert(at);
    }
    std::vector<std::string> out;
    std::map<long, StrayText> strays;  // by 0-based line
    for (const std::string &line : lines) {
        CharacterMessage message{};
        if (!parseCharacterMessage(line, message)) {
            out.push_back(line);
            continue;
        }
        if (rejected.count(message.line + 1) != 0) continue;
        auto [found, added] = strays.try_emplace(message.line, StrayText{out.size(), message.column, ""});
        if (added) out.emplace_back();
        found->second.characters += message.character;
    }
    for (const auto &[line, stray] : strays) out[stray.index] = strayMessage(path, line, stray);
    lines = std::move(out);
}

}  // namespace velmar::cli
