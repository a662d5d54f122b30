// velmar verify: binds a DICOM file's IOD definitions and runs the dictionary check of every
// element and the module check of the IOD, printing both reports.
#include <cstdio>
#include <string>

#include "cli.h"

namespace velmar::cli {

namespace {

const std::vector<OptionDef> kVerifyOptions = withCommonOptions({
    {'q', "quiet", nullptr, "print only the result line, not the reports"},
});

// Runs one check with its report collected from the log and printed under a heading.
template <typename Check>
int16_t runCheck(Session &session, bool quiet, const char *heading, Check check) {
    if (quiet) {
        // The report is collected and dropped.
        session.beginReport();
        int16_t result = check();
        session.discardReport();
        return result;
    }
    std::printf("%s\n", heading);
    std::fflush(stdout);
    session.beginReport();
    int16_t result = check();
    int lines = session.endReport();
    if (lines == 0 && result == 0) std::printf("  no problems\n");
    return result;
}

}  // namespace

int runVerify(ArgParser &args, bool verbose) {
    auto parsed = parseAll(args, kVerifyOptions, "verify");
    if (!parsed) return kExitFailed;
    if (parsed->help) {
        printHelp("velmar verify [--quiet] FILE",
                  "Checks a DICOM file. The attribute check compares every element, at every depth,\n"
                  "with the attribute dictionary (VR format, length, range, VM, permitted values).\n"
                  "The module check finds the IOD of the file's SOP Class UID, binds its modules and\n"
                  "reports missing type 1 and type 2 attributes, empty type 1 attributes and the\n"
                  "value problems of the attributes present. Problems of conditional modules are\n"
                  "shown as warnings; they and problems inside sequence items do not fail it.\n"
                  "Exit status: 0 both checks clean, 1 problems found, 2 the file or its IOD could\n"
                  "not be loaded.",
                  kVerifyOptions);
        return kExitOk;
    }
    if (parsed->positionals.size() != 1) {
        complain("verify needs exactly one FILE (see 'velmar verify --help')");
        return kExitFailed;
    }
    const std::string &path = parsed->positionals[0];
    Session session(verbose || parsed->verbose);
    if (!session.start() || !session.loadDictionary()) return kExitFailed;
    IOObject io{};
    if (!readDicom(session, path, io)) {
        DO_closeObject(&io.object);
        return kExitFailed;
    }
    if (InitUABCDef(session.app(), io.object, 0) != 0) {
        complain("cannot load the IOD definitions for " + path + " (its SOP Class UID is missing or unknown)");
        DO_closeObject(&io.object);
        return kExitFailed;
    }
    AppData *app = session.app();
    DicomObject *obj = io.object;
    bool quiet = parsed->has('q');
    int16_t byTag =
        runCheck(session, quiet, "Attribute check (dictionary):", [&] { return VerifyObjectByTag(app, obj); });
    int16_t byModule = runCheck(session, quiet, "Module check:", [&] { return VerifyObjectByModule(app, obj); });
    DO_closeObject(&io.object);
    if (byModule == 2) {
        complain("cannot check the modules of " + path + ": no IOD definitions are bound");
        return kExitFailed;
    }
    std::printf("%s: attribute check %s, module check %s\n", path.c_str(), byTag == 0 ? "passed" : "found problems",
                byModule == 0 ? "passed" : "found problems");
    return byTag == 0 && byModule == 0 ? kExitOk : kExitFound;
}

}  // namespace velmar::cli
