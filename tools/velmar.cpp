// The velmar command-line program: dump, convert and verify DICOM files, convert Interfile
// studies, list codecs. The subcommands live in the cli_*.cpp files beside this one.
#include <signal.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "cli.h"

using namespace velmar::cli;

namespace {

struct Command {
    const char *name;
    int (*run)(ArgParser &, bool);
    const char *summary;
};

constexpr Command kCommands[] = {
    {"dump", runDump, "print a DICOM file's elements, as text or as DICOM JSON"},
    {"convert", runConvert, "rewrite a DICOM file in another transfer syntax"},
    {"verify", runVerify, "check a DICOM file against the dictionary and its IOD"},
    {"interfile", runInterfile, "check an Interfile 3.3 study and convert it to DICOM"},
    {"preview", runPreview, "draw the frames of a DICOM file or an Interfile study into one PNG"},
    {"codecs", runCodecs, "list the codec libraries, codecs and codec map entries"},
};

const std::vector<OptionDef> kGlobalOptions = {
    {'v', "verbose", nullptr, "also show the library's progress notes (Info lines)"},
    {'V', "version", nullptr, "print the program and library version and exit"},
    {'h', "help", nullptr, "show this help and exit"},
};

void printUsage(FILE *out) {
    std::fprintf(out,
                 "usage: velmar [-v] COMMAND [OPTIONS] ARGUMENTS\n\n"
                 "velmar reads, checks and writes nuclear-medicine image files: DICOM files and\n"
                 "Interfile 3.3 studies.\n\ncommands:\n");
    for (const Command &command : kCommands) std::fprintf(out, "  %-10s %s\n", command.name, command.summary);
    std::fprintf(out,
                 "\n'velmar COMMAND --help' explains a command and its options.\n\n"
                 "options:\n"
                 "  -v, --verbose    also show the library's progress notes (Info lines)\n"
                 "  -V, --version    print the program and library version and exit\n"
                 "  -h, --help       show this help and exit\n\n"
                 "Options may also come from a command list file: @FILE stands for the words of FILE.\n"
                 "Definition files: $VELMAR_DEF_PATH, else the share/velmar of this installation.\n"
                 "Log mask: $VELMAR_LOG_MASK (default 0x20: errors and warnings on standard error).\n"
                 "Exit status: 0 success, 1 input read but found wanting, 2 input not readable or\n"
                 "output not writable, or bad arguments.\n");
}

// An interrupted write leaves no temporary file behind: the handler unlinks the names the
// library prepared, then lets the signal end the program as it would have.
void removeTemporariesAndDie(int signal_number) {
    DO_removeTemporaryFiles();
    ::signal(signal_number, SIG_DFL);
    ::raise(signal_number);
}

void installSignalCleanup() {
    struct sigaction action {};
    action.sa_handler = removeTemporariesAndDie;
    sigemptyset(&action.sa_mask);
    for (int signal_number : {SIGINT, SIGTERM, SIGHUP}) {
        struct sigaction previous {};
        // A signal ignored by whoever started the program (nohup) stays ignored.
        if (sigaction(signal_number, nullptr, &previous) == 0 && previous.sa_handler == SIG_IGN) continue;
        sigaction(signal_number, &action, nullptr);
    }
}

}  // namespace

int main(int argc, char **argv) {
    installSignalCleanup();
    ArgParser args(argc, argv, 1);
    bool verbose = false;
    for (;;) {
        Token token = args.next(kGlobalOptions);
        switch (token.kind) {
        case Token::Error:
            complain(token.value + " (see 'velmar --help')");
            return kExitFailed;
        case Token::End:
            printUsage(stderr);
            return kExitFailed;
        case Token::Option:
            if (token.letter == 'h') {
                printUsage(stdout);
                return kExitOk;
            }
            if (token.letter == 'V') {
                std::printf("velmar %s (library %s)\n", VELMAR_VERSION_STRING, velmar_version());
                return kExitOk;
            }
            verbose = true;
            break;
        case Token::Positional:
            for (const Command &command : kCommands)
                if (token.value == command.name) return command.run(args, verbose);
            complain("unknown command '" + token.value + "' (see 'velmar --help')");
            return kExitFailed;
        }
    }
}
