// Re-entrant single-letter option scanner with command list files: an argument "@name" is
// replaced by the words of the file "name", read as one text and cut into words in place.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "support/regularfile.h"
#include "velmar/support.h"

namespace {

bool isBlank(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

// Messages of the scanner go to standard error without a line end, only when opterr is set.
void complain(const GetOptState *state, const char *format, const char *text) {
    if (state->opterr == 0) return;
    std::fprintf(stderr, format, text);
    std::fflush(stderr);
}

void complainChar(const GetOptState *state, const char *format, int ch) {
    if (state->opterr == 0) return;
    std::fprintf(stderr, format, ch);
    std::fflush(stderr);
}

void freeList(GetOptState *state) {
    std::free(state->listWords);
    std::free(state->listText);
    state->listWords = nullptr;
    state->listText = nullptr;
    state->listCount = 0;
}

// Reads the whole file into one text; the text ends after the characters actually read.
char *readListText(GetOptState *state, const char *name) {
    FILE *file = velmar::support::fopenRegularFile(name, "r");
    if (file == nullptr) {
        complain(state, ": could not open command list file -- %s", name);
        return nullptr;
    }
    long size = -1;
    if (std::fseek(file, 0, SEEK_END) == 0) size = std::ftell(file);
    std::rewind(file);
    char *text = size >= 0 ? static_cast<char *>(std::malloc(static_cast<size_t>(size) + 1)) : nullptr;
    if (text == nullptr) {
        std::fclose(file);
        complain(state, ": could not alloc memory for command list file -- %s", name);
        return nullptr;
    }
    size_t got = std::fread(text, 1, static_cast<size_t>(size), file);
    text[got] = '\0';
    std::fclose(file);
    return text;
}

// Cuts the text into words in place (or only counts them when `words` is null, leaving the text
// as it is). A word that begins with a quote runs to the next occurrence of the same quote; both
// quotes are dropped from the word.
int32_t cutWords(char *text, char **words) {
    const bool cut = words != nullptr;
    int32_t count = 0;
    char *p = text;
    while (*p != '\0') {
        if (isBlank(*p)) {
            if (cut) *p = '\0';
            ++p;
            continue;
        }
        if (*p == '"' || *p == '\'') {
            char quote = *p++;
            if (cut) words[count] = p;
            ++count;
            while (*p != '\0' && *p != quote) ++p;
            if (*p == quote) {
                if (cut) *p = '\0';
                ++p;
            }
            continue;
        }
        if (cut) words[count] = p;
        ++count;
        while (*p != '\0' && !isBlank(*p)) ++p;
    }
    return count;
}

bool loadList(GetOptState *state, const char *name) {
    if (name == nullptr || name[0] == '\0') return false;
    char *text = readListText(state, name);
    if (text == nullptr) return false;
    int32_t count = cutWords(text, nullptr);
    auto **words = static_cast<char **>(std::calloc(static_cast<size_t>(count) + 1, sizeof(char *)));
    if (words == nullptr) {
        std::free(text);
        complain(state, ": could not alloc memory for command list file -- %s", name);
        return false;
    }
    cutWords(text, words);
    words[count] = nullptr;
    state->listText = text;
    state->listWords = words;
    state->listCount = count;
    return true;
}

void leaveList(GetOptState *state) {
    state->inList = 0;
    state->optind = state->resumeIndex;
    freeList(state);
}

// Steps past the option character just examined; at the end of the word moves to the next word.
void stepInWord(GetOptState *state, const char *word) {
    ++state->optpos;
    if (word[state->optpos] == '\0') {
        state->optpos = 1;
        ++state->optind;
    }
}

}  // namespace

extern "C" {

VELMAR_API GetOptState *initgetopt1(GetOptState *state) {
    if (state == nullptr) return nullptr;
    state->opterr = 1;
    state->optind = 1;
    state->optopt = 1;
    state->optarg = nullptr;
    state->optpos = 1;
    state->inList = 0;
    state->resumeIndex = 0;
    state->listCount = 0;
    state->listText = nullptr;
    state->listWords = nullptr;
    return state;
}

VELMAR_API int32_t getopt1(GetOptState *state, int argc, char *const *argv, const char *optstring) {
    if (state == nullptr || argv == nullptr) return -1;
    if (optstring == nullptr) optstring = "";

    if (state->optpos <= 1) {
        state->optpos = 1;
        bool listAtStart = state->inList != 0;
        if (state->inList != 0 && state->optind >= state->listCount) leaveList(state);
        if (!listAtStart) {
            if (state->optind >= argc) return -1;
            const char *word = argv[state->optind];
            if (word != nullptr && word[0] == '@') {
                if (!loadList(state, word + 1)) return -1;
                state->resumeIndex = state->optind + 1;
                state->inList = 1;
                state->optind = 0;
                // An empty list is left at once: parsing goes on with the next argument.
                if (state->listCount == 0) leaveList(state);
            }
        }
    }

    char *const *words = state->inList != 0 ? state->listWords : argv;
    int32_t count = state->inList != 0 ? state->listCount : argc;
    if (state->optind < 0 || state->optind >= count) return -1;
    const char *word = words[state->optind];
    if (state->optpos == 1) {
        if (word == nullptr || word[0] != '-' || word[1] == '\0') return -1;
        if (std::strcmp(word, "--") == 0) {
            ++state->optind;
            return -1;
        }
    }

    int ch = static_cast<unsigned char>(word[state->optpos]);
    state->optopt = ch;

    if (optstring[0] == '\0') {
        state->optarg = word[state->optpos + 1] == '\0' ? nullptr
                                                        : const_cast<char *>(word + state->optpos + 1);
        ++state->optind;
        state->optpos = 1;
        return ch;
    }

    const char *spec = ch == ':' ? nullptr : std::strchr(optstring, ch);
    if (spec == nullptr) {
        complainChar(state, ": illegal option -- %c", ch);
        stepInWord(state, word);
        return '?';
    }
    if (spec[1] != ':') {
        state->optarg = nullptr;
        stepInWord(state, word);
        return ch;
    }

    const char *argument = word + state->optpos + 1;
    if (*argument == '\0') {
        ++state->optind;
        if (state->optind >= count) {
            complainChar(state, ": option requires an argument -- %c", ch);
            state->optpos = 1;
            return '?';
        }
        argument = words[state->optind];
    }
    state->optarg = const_cast<char *>(argument);
    ++state->optind;
    state->optpos = 1;
    return ch;
}

}  // extern "C"
