// Read, write in each uncompressed syntax, read back: the round trip that the writer's mutation
// test and its fuzz target run on every input. A write reported saved must read back.
#pragma once

#include <string>

#include "velmar.h"

namespace writer_roundtrip {

struct Outcome {
    bool read = false;  // the input was read whole
    int saved = 0;      // writes reported saved
    std::string failure;
};

// Each syntax once with and once without meta header (implicit only bare: the common case).
struct Form {
    int32_t syntax;
    int16_t preamble;
};
constexpr Form kForms[] = {{TS_IMPLICIT_LITTLE, 0},
                           {TS_IMPLICIT_LITTLE, 1},
                           {TS_EXPLICIT_LITTLE, 1},
                           {TS_EXPLICIT_BIG, 1},
                           {TS_EXPLICIT_BIG, 0}};

inline bool readsWhole(AppData *app, const std::string &path) {
    IOObject io;
    init_IOObject(&io);
    io.metaSyntax = TS_NOT_SET;
    io.dataSyntax = TS_NOT_SET;
    bool ok = DO_importObjectFromFile(app, path.c_str(), &io) == 0 && io.object != nullptr;
    DO_closeObject(&io.object);
    return ok;
}

inline Outcome run(AppData *app, const std::string &input, const std::string &output) {
    Outcome outcome;
    IOObject io;
    init_IOObject(&io);
    io.metaSyntax = TS_NOT_SET;
    io.dataSyntax = TS_NOT_SET;
    outcome.read = DO_importObjectFromFile(app, input.c_str(), &io) == 0 && io.object != nullptr;
    for (const Form &form : kForms) {
        if (!outcome.read) break;
        io.dataSyntax = form.syntax;
        io.metaSyntax = TS_EXPLICIT_LITTLE;
        io.hasPreamble = form.preamble;
        io.metaHeaderMode = 0;
        io.writePixelData = 1;
        if (DO_copyObjectToFile(app, &io, output.c_str()) != 0) continue;
        ++outcome.saved;
        if (!readsWhole(app, output))
            outcome.failure = "syntax " + std::to_string(form.syntax) +
                              (form.preamble ? " with" : " without") +
                              " meta header: reported saved, does not read back";
    }
    DO_closeObject(&io.object);
    return outcome;
}

}  // namespace writer_roundtrip
