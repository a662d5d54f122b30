// velmar convert: rewrites a DICOM file in another transfer syntax through the writer and the
// codecs (external codec libraries found through the codec maps).
#include <cstdio>
#include <string>

#include "cli.h"

namespace velmar::cli {

namespace {

const std::vector<OptionDef> kConvertOptions = withCommonOptions({
    {'s', "syntax", "SYNTAX",
     "implicit, explicit, big, png, a codec name of the codec maps (such as jpeg-lossless) or a transfer "
     "syntax UID (default: the input's)"},
    {'n', "no-meta", nullptr, "write a bare data set: no preamble, no File Meta Information"},
    {'o', "codec-option", "TEXT",
     "options for the target syntax's codec (png: e.g. \"c=9,f=5\"), and for the decoder of "
     "encapsulated input unless --decode-option is given"},
    {'d', "decode-option", "TEXT", "options for the codec library that decodes encapsulated input"},
});

}  // namespace

int runConvert(ArgParser &args, bool verbose) {
    auto parsed = parseAll(args, kConvertOptions, "convert");
    if (!parsed) return kExitFailed;
    if (parsed->help) {
        printHelp(
            "velmar convert [--syntax SYNTAX] [--no-meta] [--codec-option TEXT] [--decode-option TEXT] IN "
            "OUT",
            "Reads the DICOM file IN and writes it to OUT in another transfer syntax. Pixel\n"
            "Data is converted frame by frame by the codecs: the built-in ones (native\n"
            "syntaxes and png) and external codec libraries that the codec maps name for a\n"
            "transfer syntax UID. The File Meta Information is generated anew.",
            kConvertOptions);
        return kExitOk;
    }
    if (parsed->positionals.size() != 2) {
        complain("convert needs IN and OUT (see 'velmar convert --help')");
        return kExitFailed;
    }
    std::optional<Syntax> target;
    if (parsed->has('s')) target = parseSyntax(parsed->value('s'));
    const std::string &in = parsed->positionals[0];
    const std::string &out = parsed->positionals[1];
    Session session(verbose || parsed->verbose);
    if (!session.start() || !session.loadDictionary() || !session.loadCodecs()) return kExitFailed;
    // Any other word may be a codec name of the codec maps ("jpeg-lossless").
    if (parsed->has('s') && !target) {
        target = syntaxOfCodecName(session, parsed->value('s'), "convert");
        if (!target) return kExitFailed;
    }
    IOObject io{};
    bool ok = readDicom(session, in, io);
    if (ok) {
        if (!target) target = Syntax{io.dataSyntax, io.transferSyntaxUID};
        ok = writeDicom(session, io, out, *target, !parsed->has('n'),
                        CodecOptions{parsed->value('o'), parsed->value('d')});
    }
    if (ok) std::printf("%s: %s\n", out.c_str(), describeObject(session, io.object, target->code, target->uid).c_str());
    DO_closeObject(&io.object);
    return ok ? kExitOk : kExitFailed;
}

}  // namespace velmar::cli
