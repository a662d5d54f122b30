// velmar dump: a DICOM file's elements, one per line indented by nesting, or the data set in the
// DICOM JSON model (PS3.18 Annex F) with Pixel Data left out.
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <regex>
#include <string>
#include <vector>

#include "charset.h"
#include "cli.h"

namespace velmar::cli {

namespace {

uint32_t tagOf(const DicomElement *el) { return VELMAR_TAG(el->group, el->element); }

bool isItem(const DicomElement *el) { return el->group == 0xFFFE && el->element == 0xE000; }
bool isDelimiter(const DicomElement *el) {
    return el->group == 0xFFFE && (el->element == 0xE00D || el->element == 0xE0DD);
}
bool isPixelData(const DicomElement *el) { return el->group == 0x7FE0 && el->element == 0x0010; }

bool hasItems(const DicomElement *el) {
    for (const DicomElement *child = el->firstChild; child != nullptr; child = child->next)
        if (isItem(child)) return true;
    return false;
}

bool isStructural(const DicomElement *el) { return isItem(el) || isDelimiter(el); }

// The VR the element has in the file as velmar writes it: its concrete VR; encapsulated Pixel
// Data is OB.
int32_t fileVR(AppData *app, const DicomElement *el, int32_t syntax) {
    if (isPixelData(el) && syntax == TS_OTHER) return VR_OB;
    return concreteVR(app, el);
}

std::string vrName(int32_t vr) {
    const char *name = vr >= 0 && vr < VR_COUNT ? changeVRToVRname(vr) : nullptr;
    return name != nullptr ? name : "??";
}

// ---- Text dump ------------------------------------------------------------------------------

bool isTextVR(int32_t vr) {
    switch (vr) {
    case VR_AE: case VR_AS: case VR_CS: case VR_DA: case VR_DS: case VR_DT: case VR_IS: case VR_LO:
    case VR_LT: case VR_PN: case VR_SH: case VR_ST: case VR_TM: case VR_UI: case VR_UT: case VR_UC:
    case VR_UR: return true;
    default: return false;
    }
}

std::string renderValue(AppData *app, const DicomElement *el, TextDecoder &decoder) {
    if (el->value == nullptr || el->length == 0 || el->length == VELMAR_UNDEFINED_LENGTH) return "";
    if (isPixelData(el)) {
        const auto *pds = static_cast<const PixelDataDescriptor *>(el->value);
        if (el->length < VELMAR_PDS_FIXED_SIZE) return "";
        char text[256];
        std::snprintf(text, sizeof text, "  [%u frame%s of %u x %u, %u bits allocated, transfer syntax %s]",
                      pds->numberOfFrames, pds->numberOfFrames == 1 ? "" : "s", pds->columns, pds->rows,
                      pds->bitsAllocated, pds->transferSyntaxUID);
        return text;
    }
    char buffer[1024] = {0};
    print_element_value(app, el, buffer, sizeof buffer);
    // Text is shown in UTF-8, decoded by the data set's character set.
    int32_t vr = concreteVR(app, el);
    if (isTextVR(vr)) return decoder.toUTF8(buffer, vr == VR_PN);
    return buffer;
}

void dumpText(AppData *app, const DicomElement *first, int depth, int32_t syntax, TextDecoder &decoder) {
    int itemNumber = 0;
    for (const DicomElement *el = first; el != nullptr; el = el->next) {
        if (isDelimiter(el)) continue;
        std::string indent(static_cast<size_t>(depth) * 2, ' ');
        if (isItem(el)) {
            std::printf("%s(FFFE,E000) Item %d\n", indent.c_str(), ++itemNumber);
        } else {
            const char *name = nullptr;
            getAttrName(app, tagOf(el), &name);
            std::string value = renderValue(app, el, decoder);
            std::printf("%s(%04X,%04X) %s %s%s\n", indent.c_str(), el->group, el->element,
                        vrName(fileVR(app, el, syntax)).c_str(),
                        name != nullptr && name[0] != '\0' ? name : "(unknown)", value.c_str());
        }
        if (el->firstChild != nullptr) dumpText(app, el->firstChild, depth + 1, syntax, decoder);
    }
}

// ---- DICOM JSON -----------------------------------------------------------------------------

// VRs whose values the JSON model carries as base64 bytes.
bool isBinaryVR(int32_t vr) {
    switch (vr) {
        case VR_OB:
        case VR_OW:
        case VR_UN:
        case VR_OF:
        case VR_OD:
        case VR_OL:
        case VR_OV:
            return true;
        default:
            return false;
    }
}

class JsonWriter {
public:
    // decoder: turns the data set's texts into UTF-8 by its Specific Character Set.
    JsonWriter(AppData *app, int32_t syntax, TextDecoder &decoder)
        : app_(app), syntax_(syntax), decoder_(decoder) {}

    // The tag and text of the first IS or DS value that is no number (written as a string).
    const std::string &firstInvalidNumber() const { return invalidNumber_; }

    // Writes the elements of one data set (the top level or one item) as a JSON object.
    void dataset(const DicomElement *first, bool withMeta, int depth) {
        out_ += "{";
        bool any = false;
        for (const DicomElement *el = first; el != nullptr; el = el->next) {
            if (isItem(el) || isDelimiter(el) || isPixelData(el)) continue;
            if (el->element == 0x0000) continue;  // group lengths are not part of the model
            if (el->group == 0x0002 && !withMeta) continue;
            out_ += any ? ",\n" : "\n";
            any = true;
            indent(depth + 1);
            char key[16];
            std::snprintf(key, sizeof key, "\"%04X%04X\": ", el->group, el->element);
            out_ += key;
            attribute(el, depth + 1);
        }
        if (any) {
            out_ += "\n";
            indent(depth);
        }
        out_ += "}";
    }

    const std::string &text() const { return out_; }

private:
    void indent(int depth) { out_.append(static_cast<size_t>(depth) * 2, ' '); }

    void attribute(const DicomElement *el, int depth) {
        int32_t vr = fileVR(app_, el, syntax_);
        out_ += "{\"vr\": \"" + vrName(vr) + "\"";
        if (vr == VR_SQ) {
            sequence(el, depth);
        } else if (el->value != nullptr && el->length != 0 && el->length != VELMAR_UNDEFINED_LENGTH) {
            if (el->group == 0x0008 && el->element == 0x0005 && el->parent != nullptr &&
                el->parent->parent == nullptr) {
                // The JSON text is UTF-8 whatever the file's character set.
                out_ += ", \"Value\": [\"ISO_IR 192\"]";
            } else if (isBinaryVR(vr)) {
                out_ += ", \"InlineBinary\": \"" + base64(el) + "\"";
            } else {
                std::vector<std::string> values = valuesOf(el, vr);
                if (!values.empty()) {
                    out_ += ", \"Value\": [";
                    for (size_t i = 0; i < values.size(); ++i) out_ += (i == 0 ? "" : ", ") + values[i];
                    out_ += "]";
                }
            }
        }
        out_ += "}";
    }

    void sequence(const DicomElement *el, int depth) {
        std::vector<const DicomElement *> items;
        for (const DicomElement *child = el->firstChild; child != nullptr; child = child->next)
            if (isItem(child)) items.push_back(child);
        if (items.empty()) return;
        out_ += ", \"Value\": [\n";
        for (size_t i = 0; i < items.size(); ++i) {
            indent(depth + 1);
            dataset(items[i]->firstChild, true, depth + 1);
            out_ += i + 1 < items.size() ? ",\n" : "\n";
        }
        indent(depth);
        out_ += "]";
    }

    static std::string quote(const std::string &text) {
        std::string out = "\"";
        for (unsigned char c : text) {
            if (c == '"' || c == '\\') {
                out += '\\';
                out += static_cast<char>(c);
            } else if (c < 0x20) {
                char esc[8];
                std::snprintf(esc, sizeof esc, "\\u%04x", c);
                out += esc;
            } else {
                out += static_cast<char>(c);
            }
        }
        return out + "\"";
    }

    static bool leadingInsignificant(int32_t vr) {
        return vr == VR_AE || vr == VR_CS || vr == VR_DS || vr == VR_IS || vr == VR_LO || vr == VR_SH;
    }

    static std::string trim(std::string text, int32_t vr) {
        while (!text.empty() && (text.back() == ' ' || text.back() == '\0')) text.pop_back();
        if (leadingInsignificant(vr)) {
            size_t start = text.find_first_not_of(' ');
            text = start == std::string::npos ? "" : text.substr(start);
        }
        return text;
    }

    // A decimal or integer string as a JSON number (its own text when that is one already); a
    // text that is no number stays a string, and the first such is remembered for a warning.
    std::string number(const DicomElement *el, const std::string &text, bool integer) {
        std::string converted = numberOrEmpty(text, integer);
        if (!converted.empty()) return converted;
        if (invalidNumber_.empty()) {
            char tag[16];
            std::snprintf(tag, sizeof tag, "(%04X,%04X)", el->group, el->element);
            invalidNumber_ = std::string(tag) + " \"" + text + "\"";
        }
        return quote(text);
    }

    static std::string numberOrEmpty(const std::string &text, bool integer) {
        static const std::regex jsonNumber(R"(-?(0|[1-9][0-9]*)(\.[0-9]+)?([eE][+-]?[0-9]+)?)");
        if (text.empty()) return "null";
        if (std::regex_match(text, jsonNumber)) return text;
        char *end = nullptr;
        char out[64];
        if (integer) {
            errno = 0;
            long long value = std::strtoll(text.c_str(), &end, 10);
            if (end == text.c_str() || *end != '\0' || errno == ERANGE) return "";
            std::snprintf(out, sizeof out, "%lld", value);
        } else {
            double value = std::strtod(text.c_str(), &end);
            if (end == text.c_str() || *end != '\0' || !std::isfinite(value)) return "";
            std::snprintf(out, sizeof out, "%.17g", value);
        }
        return out;
    }

    // Trailing component delimiters of each group carry nothing and are left out, as the DICOM
    // JSON writers of the peers do; a name with no component left is an empty value.
    std::string personName(const std::string &text) const {
        static const char *groups[] = {"Alphabetic", "Ideographic", "Phonetic"};
        std::string out = "{";
        size_t start = 0;
        bool any = false;
        for (int g = 0; g < 3 && start <= text.size(); ++g) {
            size_t end = text.find('=', start);
            std::string part = text.substr(start, end == std::string::npos ? std::string::npos : end - start);
            part.erase(part.find_last_not_of('^') + 1);
            if (!part.empty()) {
                out += std::string(any ? ", " : "") + "\"" + groups[g] + "\": " + quote(part);
                any = true;
            }
            if (end == std::string::npos) break;
            start = end + 1;
        }
        return any ? out + "}" : "null";
    }

    // A 64-bit integer: a JSON number while a double holds it exactly, else its digits quoted.
    static std::string wide(bool negative, uint64_t magnitude) {
        std::string digits = (negative ? "-" : "") + std::to_string(magnitude);
        return magnitude <= (uint64_t{1} << 53) - 1 ? digits : "\"" + digits + "\"";
    }

    std::vector<std::string> valuesOf(const DicomElement *el, int32_t vr) {
        std::vector<std::string> values;
        const auto *bytes = static_cast<const uint8_t *>(el->value);
        const uint32_t n = el->length;
        char piece[64];
        auto binary = [&](size_t unit, auto format) {
            for (uint32_t i = 0; i + unit <= n; i += static_cast<uint32_t>(unit)) values.push_back(format(bytes + i));
        };
        switch (vr) {
        case VR_US: binary(2, [&](const uint8_t *p) { uint16_t v; std::memcpy(&v, p, 2); return std::to_string(v); }); break;
        case VR_SS: binary(2, [&](const uint8_t *p) { int16_t v; std::memcpy(&v, p, 2); return std::to_string(v); }); break;
        case VR_UL: binary(4, [&](const uint8_t *p) { uint32_t v; std::memcpy(&v, p, 4); return std::to_string(v); }); break;
        case VR_SL: binary(4, [&](const uint8_t *p) { int32_t v; std::memcpy(&v, p, 4); return std::to_string(v); }); break;
        case VR_SV:
            binary(8, [&](const uint8_t *p) {
                int64_t v;
                std::memcpy(&v, p, 8);
                return wide(v < 0, v < 0 ? 0 - static_cast<uint64_t>(v) : static_cast<uint64_t>(v));
            });
            break;
        case VR_UV:
            binary(8, [&](const uint8_t *p) {
                uint64_t v;
                std::memcpy(&v, p, 8);
                return wide(false, v);
            });
            break;
        case VR_FL:
            binary(4, [&](const uint8_t *p) {
                float v;
                std::memcpy(&v, p, 4);
                std::snprintf(piece, sizeof piece, "%.9g", static_cast<double>(v));
                return std::isfinite(v) ? std::string(piece) : std::string("null");
            });
            break;
        case VR_FD:
            binary(8, [&](const uint8_t *p) {
                double v;
                std::memcpy(&v, p, 8);
                std::snprintf(piece, sizeof piece, "%.17g", v);
                return std::isfinite(v) ? std::string(piece) : std::string("null");
            });
            break;
        case VR_AT:
            binary(4, [&](const uint8_t *p) {
                uint16_t group, element;
                std::memcpy(&group, p, 2);
                std::memcpy(&element, p + 2, 2);
                std::snprintf(piece, sizeof piece, "\"%04X%04X\"", group, element);
                return std::string(piece);
            });
            break;
        default: textValues(el, vr, values); break;
        }
        return values;
    }

    void textValues(const DicomElement *el, int32_t vr, std::vector<std::string> &values) {
        std::string text(static_cast<const char *>(el->value), el->length);
        size_t zero = text.find('\0');
        if (zero != std::string::npos) text.resize(zero);
        // Decoded whole: in GBK or ISO 2022 a byte 0x5C may be part of a character.
        text = decoder_.toUTF8(text, vr == VR_PN);
        std::vector<std::string> parts;
        if (vr == VR_LT || vr == VR_ST || vr == VR_UT || vr == VR_UR) {
            parts.push_back(text);  // single-valued: a backslash is part of the text
        } else {
            size_t start = 0;
            for (;;) {
                size_t end = text.find('\\', start);
                parts.push_back(text.substr(start, end == std::string::npos ? std::string::npos : end - start));
                if (end == std::string::npos) break;
                start = end + 1;
            }
        }
        for (const std::string &raw : parts) {
            std::string part = trim(raw, vr);
            if (vr == VR_DS || vr == VR_IS)
                values.push_back(part.empty() ? "null" : number(el, part, vr == VR_IS));
            else if (vr == VR_PN) values.push_back(personName(part));
            else values.push_back(part.empty() ? "null" : quote(part));
        }
        // A value that is only blanks is an empty value: no "Value" at all.
        if (values.size() == 1 && values[0] == "null") values.clear();
    }

    static std::string base64(const DicomElement *el) {
        static const char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
        const auto *bytes = static_cast<const uint8_t *>(el->value);
        std::string out;
        out.reserve((el->length + 2) / 3 * 4);
        for (uint32_t i = 0; i < el->length; i += 3) {
            uint32_t chunk = static_cast<uint32_t>(bytes[i]) << 16;
            if (i + 1 < el->length) chunk |= static_cast<uint32_t>(bytes[i + 1]) << 8;
            if (i + 2 < el->length) chunk |= bytes[i + 2];
            out += alphabet[(chunk >> 18) & 63];
            out += alphabet[(chunk >> 12) & 63];
            out += i + 1 < el->length ? alphabet[(chunk >> 6) & 63] : '=';
            out += i + 2 < el->length ? alphabet[chunk & 63] : '=';
        }
        return out;
    }

    AppData *app_;
    int32_t syntax_;
    TextDecoder &decoder_;
    std::string invalidNumber_;
    std::string out_;
};

// The value of the top-level Specific Character Set, empty without one.
std::string specificCharacterSet(DicomObject *obj) {
    DicomElement charset{};
    charset.group = 0x0008;
    charset.element = 0x0005;
    std::string value;
    if (DO_searchForElement(obj, &charset) == 0 && charset.value != nullptr)
        value.assign(static_cast<const char *>(charset.value),
                     strnlen(static_cast<const char *>(charset.value), charset.length));
    D_Free(&charset.value);
    while (!value.empty() && value.back() == ' ') value.pop_back();
    return value;
}

// One warning each for unknown character set terms and for bytes shown as U+FFFD.
void warnAboutText(const TextDecoder &decoder, const std::string &charset) {
    if (!decoder.unknownTerms().empty())
        complain("dump: Specific Character Set \"" + decoder.unknownTerms() +
                 "\" is not known; only ASCII is decoded");
    if (decoder.undecodable())
        complain("dump: text bytes that Specific Character Set \"" + charset +
                 "\" does not decode are shown as U+FFFD");
}

const std::vector<OptionDef> kDumpOptions = withCommonOptions({
    {'j', "json", nullptr, "write the data set in the DICOM JSON model (PS3.18 F), Pixel Data left out"},
    {'m', "meta", nullptr, "with --json, also write the File Meta Information (group 0002)"},
});

}  // namespace

int runDump(ArgParser &args, bool verbose) {
    auto parsed = parseAll(args, kDumpOptions, "dump");
    if (!parsed) return kExitFailed;
    if (parsed->help) {
        printHelp("velmar dump [--json [--meta]] FILE",
                  "Prints the elements of a DICOM file. As text: one element per line, indented by\n"
                  "nesting, with its tag, VR, name and value as the library prints it (Pixel Data as\n"
                  "a summary of its frames). With --json: the data set in the DICOM JSON model, the\n"
                  "form other toolkits such as dcm2json write, without Pixel Data.",
                  kDumpOptions);
        return kExitOk;
    }
    if (parsed->positionals.size() != 1) {
        complain(std::string("dump needs exactly one FILE") + " (see 'velmar dump --help')");
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
    int32_t syntax = io.dataSyntax;
    std::string charset = specificCharacterSet(io.object);
    TextDecoder decoder(charset);
    if (parsed->has('j')) {
        JsonWriter json(session.app(), syntax, decoder);
        json.dataset(io.object->root->firstChild, parsed->has('m'), 0);
        std::printf("%s\n", json.text().c_str());
        if (!json.firstInvalidNumber().empty())
            complain("dump: " + json.firstInvalidNumber() +
                     " is no number; IS and DS values that are none are written as strings");
    } else {
        std::printf("# %s: %s, %s\n", path.c_str(), describeSyntax(io.dataSyntax, io.transferSyntaxUID).c_str(),
                    io.hasPreamble != 0 ? "with meta header" : "no meta header");
        dumpText(session.app(), io.object->root->firstChild, 0, syntax, decoder);
    }
    warnAboutText(decoder, charset);
    std::fflush(stdout);
    DO_closeObject(&io.object);
    return kExitOk;
}

}  // namespace velmar::cli
