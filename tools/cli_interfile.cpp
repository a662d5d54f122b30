// velmar interfile: reads and checks an Interfile 3.3 study and converts it (header and image data
// file) into one DICOM file; with --check only reads and checks, printing each finding.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "cli.h"

namespace velmar::cli {

namespace {

const std::vector<OptionDef> kInterfileOptions = withCommonOptions({
    {'s', "syntax", "SYNTAX",
     "implicit, explicit (default), big, png, a codec name of the codec maps or a transfer syntax UID"},
    {'f', "force", nullptr, "convert even when the header fails the check"},
    {'c', "check", nullptr, "only read and check the header, printing each finding"},
    {'o', "codec-option", "TEXT", "options for the target syntax's codec (png: e.g. \"c=9,f=5\")"},
    {'a', "allow-outside", nullptr, "accept a data file outside the header's directory"},
});

// The converted object has Pixel Data whose data file can be read.
bool hasPixelData(Session &session, DicomObject *obj) {
    PixelDataDescriptor *pds = get_ppds(session.app(), obj);
    bool readable = pds != nullptr && pds->fileName != nullptr && checkReadable(pds->fileName).empty();
    std::free(pds);
    return readable;
}

// The library warns when the header's image counts do not add up to its total number of
// images (and completes the frame vectors); without --force that refuses the conversion.
constexpr const char *kShortfallWarning = "Warning: The image counts of the header describe ";

bool convertHeader(Session &session, DicomObject *obj, InterfileHeader *header, bool force, uint16_t flags) {
    session.beginReport();
    bool converted = IF2DCM_compileWithFlags(session.app(), obj, header, flags) == 0;
    bool refused = false;
    session.endReport(
        [&](std::vector<std::string> &lines) {
            for (std::string &line : lines) {
                if (force || line.rfind(kShortfallWarning, 0) != 0) continue;
                line = "Error: " + line.substr(9) + " Not converted (--force converts it anyway).";
                refused = true;
            }
        },
        stderr);
    return converted && !refused;
}

int checkOnly(Session &session, const std::string &path) {
    InterfileSession interfile(session);
    if (!interfile.loadDefinition(session)) return kExitFailed;
    // The parser's and the check's messages are the findings: they go to standard output.
    if (!interfile.read(session, path, stdout)) return kExitFailed;
    session.beginReport();
    int16_t result = checkinterfileheader(interfile.header());
    session.endReport();
    std::printf("%s: %s\n", path.c_str(),
                result == 0 ? "passes the Interfile 3.3 check" : "fails the Interfile 3.3 check");
    return result == 0 ? kExitOk : kExitFound;
}

}  // namespace

int runInterfile(ArgParser &args, bool verbose) {
    auto parsed = parseAll(args, kInterfileOptions, "interfile");
    if (!parsed) return kExitFailed;
    if (parsed->help) {
        printHelp(
            "velmar interfile [--syntax SYNTAX] [--force] [--allow-outside] HEADER OUT\n"
            "       velmar interfile --check HEADER",
            "Reads an Interfile 3.3 header, checks it (version of keys 3.3, every obligatory\n"
            "key given) and converts the study, with the image data file the header names,\n"
            "into one DICOM file: a multi-frame NM Image, or a Secondary Capture Image when\n"
            "the type of data is Other. A header that fails the check is reported and not\n"
            "converted (exit status 1) unless --force is given. With --check the header is\n"
            "only read and checked, and each finding is printed. The data file must be a\n"
            "regular file in the header's directory (or below it) unless --allow-outside\n"
            "is given.",
            kInterfileOptions);
        return kExitOk;
    }
    bool check = parsed->has('c');
    size_t wanted = check ? 1 : 2;
    if (parsed->positionals.size() != wanted) {
        complain(check ? "interfile --check needs exactly one HEADER (see 'velmar interfile --help')"
                       : "interfile needs HEADER and OUT (see 'velmar interfile --help')");
        return kExitFailed;
    }
    if (check && (parsed->has('s') || parsed->has('f') || parsed->has('o'))) {
        complain("interfile --check writes nothing: --syntax, --force and --codec-option do not apply");
        return kExitFailed;
    }
    Syntax syntax;
    std::optional<Syntax> given;
    if (parsed->has('s')) given = parseSyntax(parsed->value('s'));
    if (given) syntax = *given;
    const std::string &headerPath = parsed->positionals[0];
    std::string problem = checkReadable(headerPath);
    if (!problem.empty()) {
        complain(problem);
        return kExitFailed;
    }
    if (!firstKeyIsInterfile(headerPath)) {
        complain("cannot read " + headerPath + " as an Interfile header: its first key is not !INTERFILE");
        return kExitFailed;
    }
    Session session(verbose || parsed->verbose);
    if (!session.start()) return kExitFailed;
    if (check) return checkOnly(session, headerPath);

    const std::string &out = parsed->positionals[1];
    problem = checkWritable(out);
    if (!problem.empty()) {
        complain(problem);
        return kExitFailed;
    }
    if (!session.loadDictionary() || !session.loadCodecs()) return kExitFailed;
    // Any other word may be a codec name of the codec maps ("jpeg-lossless").
    if (parsed->has('s') && !given) {
        given = syntaxOfCodecName(session, parsed->value('s'), "interfile");
        if (!given) return kExitFailed;
        syntax = *given;
    }
    InterfileSession interfile(session);
    if (!interfile.loadDefinition(session) || !interfile.read(session, headerPath, stderr))
        return kExitFailed;
    if (checkinterfileheader(interfile.header()) != 0 && !parsed->has('f')) {
        complain(headerPath + " fails the Interfile 3.3 check (see the warnings above); not converted "
                              "(--force converts it anyway)");
        return kExitFound;
    }
    IOObject io{};
    init_IOObject(&io);
    if (DO_openObject(&io.object) != 0) {
        complain("out of memory");
        return kExitFailed;
    }
    int status = kExitOk;
    uint16_t flags = parsed->has('a') ? VELMAR_IF2DCM_ALLOW_OUTSIDE : 0;
    if (!convertHeader(session, io.object, interfile.header(), parsed->has('f'), flags)) {
        complain("cannot convert " + headerPath + " (see the error above); nothing written");
        status = kExitFound;
    } else if (!hasPixelData(session, io.object)) {
        // The conversion reports pixel data it cannot use (a missing or unreadable data file,
        // floating-point pixels) and goes on without pixels.
        complain("cannot convert " + headerPath + ": its pixel data could not be read or converted");
        status = kExitFailed;
    } else if (!writeDicom(session, io, out, syntax, true,
                           CodecOptions{
                               parsed->value('o'),
                           })) {
        status = kExitFailed;
    } else {
        std::printf("%s: %s\n", out.c_str(), describeObject(session, io.object, syntax.code, syntax.uid).c_str());
    }
    DO_closeObject(&io.object);
    return status;
}

}  // namespace velmar::cli
