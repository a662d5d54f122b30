// velmar verify: binds a DICOM file's IOD definitions and runs the dictionary check of every
// element and the module check of the IOD, printing both reports.
#include <algorithm>
#include <cstdio>
#include <sstream>
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

// Runs one step of loading the definitions with its messages collected; they go to standard error
// afterwards. True when the step logged an error (a definition file that failed to load).
template <typename Step>
bool loadStep(Session &session, int16_t *status, Step step) {
    session.beginReport();
    *status = step();
    std::istringstream messages(session.takeReport());
    bool failed = false;
    for (std::string line; std::getline(messages, line);) {
        failed = failed || line.rfind("Error: ", 0) == 0;
        if (session.verbose() || line.rfind("Info: ", 0) != 0) std::fprintf(stderr, "%s\n", line.c_str());
    }
    return failed;
}

// Finds, loads and binds the IOD definitions of the object, saying whose fault a failure is: the
// file's (no or an unknown SOP Class UID) or the definition files' (missing or broken).
bool bindDefinitions(Session &session, DicomObject *obj, const std::string &path) {
    AppData *app = session.app();
    DicomElement sopClass{};
    sopClass.group = 0x0008;
    sopClass.element = 0x0016;
    DOU_defXVRTypeByTags(app, sopClass.group, sopClass.element, &sopClass.vr);
    std::string uid;
    if (DO_searchForElement(obj, &sopClass) == 0 && sopClass.value != nullptr)
        uid.assign(static_cast<const char *>(sopClass.value), std::min<size_t>(sopClass.length, 64));
    D_Free(&sopClass.value);
    while (!uid.empty() && (uid.back() == '\0' || uid.back() == ' ')) uid.pop_back();
    if (uid.empty()) {
        complain("cannot check the modules of " + path + ": it has no SOP Class UID (0008,0016)");
        return false;
    }
    const std::string defs = "the definition files in " + session.definitionDir();
    char iodKey[VELMAR_IOD_KEY_SIZE] = "";
    int16_t status = 0;
    if (loadStep(session, &status, [&] { return InitUIDDef(app, uid.c_str(), 0, iodKey); })) {
        complain("cannot check " + path + ": " + defs + " could not be loaded (see above)");
        return false;
    }
    if (status != 0) {
        complain("cannot check the modules of " + path + ": its SOP Class UID " + uid + " has no IOD in " +
                 defs);
        return false;
    }
    bool broken = loadStep(session, &status, [&] {
        int16_t s = InitABDef(app, obj, 0, iodKey);
        if (s == 0) s = InitCDef(app, obj, 0);
        return s == 0 ? BindABCDef(app, obj) : s;
    });
    if (status != 0) {
        complain("cannot check " + path + ": the IOD " + std::string(iodKey) +
                 " or its modules could not be loaded from " + defs + (broken ? " (see above)" : ""));
        return false;
    }
    return true;
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
                  "value problems of the attributes present. A conditional module is checked when\n"
                  "its condition holds, and a 1C/2C attribute required when its condition holds;\n"
                  "a conditional module without an evaluable condition is checked only when in use,\n"
                  "with warnings. Warnings and problems inside sequence items do not fail it.\n"
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
    if (!bindDefinitions(session, io.object, path)) {
        DO_closeObject(&io.object);
        return kExitFailed;
    }
    AppData *app = session.app();
    DicomObject *obj = io.object;
    bool quiet = parsed->has('q');
    int16_t byTag = runCheck(session, quiet,
                             "Attribute check (dictionary):", [&] { return VerifyObjectByTag(app, obj); });
    int16_t byModule =
        runCheck(session, quiet, "Module check:", [&] { return VerifyObjectByModule(app, obj); });
    DO_closeObject(&io.object);
    if (byModule == 2) {
        complain("cannot check the modules of " + path + ": no IOD definitions are bound");
        return kExitFailed;
    }
    std::printf("%s: attribute check %s, module check %s\n", path.c_str(),
                byTag == 0 ? "passed" : "found problems", byModule == 0 ? "passed" : "found problems");
    return byTag == 0 && byModule == 0 ? kExitOk : kExitFound;
}

}  // namespace velmar::cli
