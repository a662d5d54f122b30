// Interoperability of the DICOM reader: every sample of the shared corpus is read with the
// shipped dictionary, checked against what its manifest expects, and each element (sequences
// recursively) is compared with the values DCMTK's dcm2json gives for the same file.
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "dicom/test_reader_bytes.h"

namespace {

namespace fs = std::filesystem;

// ---- A small JSON reader, enough for cases.json and dcm2json's output ------------------------

struct Json {
    enum Kind { Null, Bool, Number, String, Array, Object } kind = Null;
    std::string text;  // String: the text; Number: the number as written
    std::vector<Json> items;
    std::vector<std::pair<std::string, Json>> members;

    const Json *get(const std::string &key) const {
        for (const auto &m : members)
            if (m.first == key) return &m.second;
        return nullptr;
    }
    std::string str(const std::string &key) const {
        const Json *v = get(key);
        return v != nullptr && v->kind == String ? v->text : std::string();
    }
};

class JsonParser {
  public:
    explicit JsonParser(const std::string &s) : s_(s) {}
    bool parse(Json &out) {
        bool ok = value(out);
        space();
        return ok && pos_ == s_.size();
    }

  private:
    void space() {
        while (pos_ < s_.size() && std::isspace(static_cast<unsigned char>(s_[pos_]))) ++pos_;
    }
    bool literal(const char *word) {
        size_t n = std::strlen(word);
        if (s_.compare(pos_, n, word) != 0) return false;
        pos_ += n;
        return true;
    }
    static void utf8(std::string &out, unsigned code) {
        if (code < 0x80) {
            out += static_cast<char>(code);
        } else if (code < 0x800) {
            out += static_cast<char>(0xC0 | code >> 6);
            out += static_cast<char>(0x80 | (code & 0x3F));
        } else {
            out += static_cast<char>(0xE0 | code >> 12);
            out += static_cast<char>(0x80 | (code >> 6 & 0x3F));
            out += static_cast<char>(0x80 | (code & 0x3F));
        }
    }
    bool string(std::string &out) {
        if (s_[pos_] != '"') return false;
        ++pos_;
        while (pos_ < s_.size() && s_[pos_] != '"') {
            char c = s_[pos_++];
            if (c != '\\') {
                out += c;
                continue;
            }
            if (pos_ >= s_.size()) return false;
            char e = s_[pos_++];
            switch (e) {
            case 'n': out += '\n'; break;
            case 't': out += '\t'; break;
            case 'r': out += '\r'; break;
            case 'b': out += '\b'; break;
            case 'f': out += '\f'; break;
            case 'u':
                if (pos_ + 4 > s_.size()) return false;
                utf8(out, static_cast<unsigned>(std::stoul(s_.substr(pos_, 4), nullptr, 16)));
                pos_ += 4;
                break;
            default: out += e;
            }
        }
        if (pos_ >= s_.size()) return false;
        ++pos_;
        return true;
    }
    bool value(Json &out) {
        space();
        if (pos_ >= s_.size()) return false;
        char c = s_[pos_];
        if (c == '{') {
            out.kind = Json::Object;
            ++pos_;
            space();
            if (pos_ < s_.size() && s_[pos_] == '}') return ++pos_, true;
            for (;;) {
                space();
                std::string key;
                if (!string(key)) return false;
                space();
                if (pos_ >= s_.size() || s_[pos_++] != ':') return false;
                Json v;
                if (!value(v)) return false;
                out.members.emplace_back(key, std::move(v));
                space();
                if (pos_ < s_.size() && s_[pos_] == ',') {
                    ++pos_;
                    continue;
                }
                return pos_ < s_.size() && s_[pos_++] == '}';
            }
        }
        if (c == '[') {
            out.kind = Json::Array;
            ++pos_;
            space();
            if (pos_ < s_.size() && s_[pos_] == ']') return ++pos_, true;
            for (;;) {
                Json v;
                if (!value(v)) return false;
                out.items.push_back(std::move(v));
                space();
                if (pos_ < s_.size() && s_[pos_] == ',') {
                    ++pos_;
                    continue;
                }
                return pos_ < s_.size() && s_[pos_++] == ']';
            }
        }
        if (c == '"') {
            out.kind = Json::String;
            return string(out.text);
        }
        if (literal("true") || literal("false")) return out.kind = Json::Bool, true;
        if (literal("null")) return out.kind = Json::Null, true;
        size_t start = pos_;
        while (pos_ < s_.size() && std::strchr("+-0123456789.eE", s_[pos_]) != nullptr) ++pos_;
        if (pos_ == start) return false;
        out.kind = Json::Number;
        out.text = s_.substr(start, pos_ - start);
        return true;
    }

    const std::string &s_;
    size_t pos_ = 0;
};

std::string slurp(const fs::path &path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

bool runCommand(const std::string &command, std::string &out) {
    FILE *pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) return false;
    char buffer[65536];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) out.append(buffer, n);
    return pclose(pipe) == 0;
}

bool haveProgram(const char *name) {
    return std::system((std::string("command -v ") + name + " > /dev/null 2>&1").c_str()) == 0;
}

std::vector<uint8_t> base64(const std::string &text) {
    std::vector<uint8_t> out;
    unsigned value = 0;
    int bits = 0;
    for (char c : text) {
        const char *alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
        const char *p = std::strchr(alphabet, c);
        if (c == '=' || p == nullptr || c == '\0') continue;
        value = value << 6 | static_cast<unsigned>(p - alphabet);
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            out.push_back(static_cast<uint8_t>(value >> bits));
        }
    }
    return out;
}

// ---- The corpus manifest ----------------------------------------------------------------------

struct SampleCase {
    std::string folder;
    std::string file;
    std::string expect;
    std::string syntax;
    int frames = 0;
};

void PrintTo(const SampleCase &c, std::ostream *os) { *os << c.folder << "/" << c.file << " (" << c.expect << ")"; }

const fs::path kSamples = fs::path(VELMAR_SHARED_DIR) / "dicom-samples";

std::vector<SampleCase> loadCases() {
    std::vector<SampleCase> cases;
    for (const char *folder : {"generated", "real"}) {
        std::string text = slurp(kSamples / folder / "cases.json");
        Json root;
        if (text.empty() || !JsonParser(text).parse(root) || root.get("cases") == nullptr) continue;
        for (const Json &c : root.get("cases")->items) {
            SampleCase s;
            s.folder = folder;
            s.file = c.str("file");
            s.expect = c.str("expect");
            s.syntax = c.str("syntax");
            const Json *frames = c.get("frames");
            if (frames != nullptr && frames->kind == Json::Number) s.frames = std::atoi(frames->text.c_str());
            cases.push_back(s);
        }
    }
    if (cases.empty()) cases.push_back({"", "", "", "", 0});  // reported as skipped
    return cases;
}

// ---- Comparing one element with dcm2json's ----------------------------------------------------

std::string trimmed(std::string s, bool leading) {
    while (!s.empty() && (s.back() == ' ' || s.back() == '\0')) s.pop_back();
    size_t start = 0;
    while (leading && start < s.size() && s[start] == ' ') ++start;
    return s.substr(start);
}

std::string latin1ToUtf8(const std::string &s) {
    std::string out;
    for (unsigned char c : s) {
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else {
            out += static_cast<char>(0xC0 | c >> 6);
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

std::vector<std::string> splitValues(const std::string &text, bool multi) {
    std::vector<std::string> parts;
    if (!multi) return {text};
    size_t start = 0;
    for (;;) {
        size_t end = text.find('\\', start);
        parts.push_back(text.substr(start, end == std::string::npos ? std::string::npos : end - start));
        if (end == std::string::npos) return parts;
        start = end + 1;
    }
}

// A person name whose trailing empty components (carets) are dropped, as dcm2json writes it.
std::string withoutEmptyNameParts(const std::string &name) {
    std::string out;
    size_t start = 0;
    for (;;) {
        size_t end = name.find('=', start);
        std::string part = name.substr(start, end == std::string::npos ? std::string::npos : end - start);
        while (!part.empty() && (part.back() == '^' || part.back() == ' ')) part.pop_back();
        out += (start == 0 ? "" : "=") + part;
        if (end == std::string::npos) return out;
        start = end + 1;
    }
}

bool isText(const std::string &vr) {
    static const char *const kText[] = {"AE", "AS", "CS", "DA", "DT", "LO", "LT", "SH",
                                        "ST", "TM", "UI", "UT", "UC", "UR", "PN", "DS", "IS"};
    for (const char *t : kText)
        if (vr == t) return true;
    return false;
}

bool closeEnough(double a, double b, double relative) {
    return std::fabs(a - b) <= relative * std::max(1.0, std::max(std::fabs(a), std::fabs(b)));
}

class Comparer {
  public:
    std::vector<std::string> differences;
    int compared = 0;

    void compareItem(const DicomElement *node, const Json &json, const std::string &where) {
        for (const auto &[key, value] : json.members) {
            unsigned long tag = std::stoul(key, nullptr, 16);
            uint16_t group = static_cast<uint16_t>(tag >> 16), element = static_cast<uint16_t>(tag);
            if (tag == 0x7FE00010) continue;  // compared through the descriptor
            if (tag == 0x00080005) continue;  // dcm2json names the character set it converted to
            const DicomElement *el = nullptr;
            for (const DicomElement *c = node->firstChild; c != nullptr; c = c->next)
                if (c->group == group && c->element == element) el = c;
            std::string here = where + "(" + key.substr(0, 4) + "," + key.substr(4) + ")";
            if (el == nullptr) {
                differences.push_back(here + " missing");
                continue;
            }
            compareElement(el, value, here);
        }
    }

  private:
    void differ(const std::string &where, const std::string &what) { differences.push_back(where + ": " + what); }

    void compareElement(const DicomElement *el, const Json &json, const std::string &where) {
        std::string vr = json.str("vr");
        const Json *values = json.get("Value");
        ++compared;
        if (vr == "SQ") {
            std::vector<const DicomElement *> items;
            for (const DicomElement *c = el->firstChild; c != nullptr; c = c->next)
                if (c->group == 0xFFFE && c->element == 0xE000) items.push_back(c);
            size_t expected = values != nullptr ? values->items.size() : 0;
            if (items.size() != expected) {
                differ(where, "items " + std::to_string(items.size()) + " != " + std::to_string(expected));
                return;
            }
            for (size_t i = 0; i < items.size(); ++i)
                compareItem(items[i], values->items[i], where + "[" + std::to_string(i) + "]");
            return;
        }
        const Json *inline64 = json.get("InlineBinary");
        const auto *bytes = static_cast<const uint8_t *>(el->value);
        uint32_t length = el->value != nullptr ? el->length : 0;
        if (inline64 != nullptr) {
            std::vector<uint8_t> expected = base64(inline64->text);
            std::vector<uint8_t> ours(bytes, bytes + length);
            if (ours != expected)
                differ(where, "binary value of " + std::to_string(ours.size()) + " bytes differs (" +
                                  std::to_string(expected.size()) + " expected)");
            return;
        }
        if (json.get("BulkDataURI") != nullptr) return;
        if (isText(vr)) {
            compareText(std::string(reinterpret_cast<const char *>(bytes), length), vr, values, where);
            return;
        }
        compareNumbers(bytes, length, vr, values, where);
    }

    void compareText(const std::string &raw, const std::string &vr, const Json *values, const std::string &where) {
        bool block = vr == "LT" || vr == "ST" || vr == "UT" || vr == "UR";
        std::vector<std::string> ours = splitValues(raw, !block);
        if (values == nullptr) {
            if (!trimmed(raw, true).empty() && trimmed(raw, true) != std::string(ours.size() - 1, '\\'))
                differ(where, "value '" + raw + "' where dcm2json has none");
            return;
        }
        if (ours.size() != values->items.size()) {
            differ(where, std::to_string(ours.size()) + " values != " + std::to_string(values->items.size()));
            return;
        }
        for (size_t i = 0; i < ours.size(); ++i) {
            const Json &v = values->items[i];
            std::string mine = trimmed(ours[i], !block);
            if (vr == "DS" || vr == "IS") {
                if (v.kind == Json::Null ? !mine.empty()
                                         : !closeEnough(std::atof(mine.c_str()), std::atof(v.text.c_str()), 1e-9))
                    differ(where, "number '" + mine + "' != " + v.text);
                continue;
            }
            std::string theirs = v.text;
            if (vr == "PN" && v.kind == Json::Object) {
                theirs = v.str("Alphabetic");
                if (v.get("Ideographic") != nullptr || v.get("Phonetic") != nullptr)
                    theirs += "=" + v.str("Ideographic");
                if (v.get("Phonetic") != nullptr) theirs += "=" + v.str("Phonetic");
            }
            if (v.kind == Json::Null) theirs.clear();
            if (vr == "PN") mine = withoutEmptyNameParts(mine);
            if (mine != theirs && latin1ToUtf8(mine) != theirs)
                differ(where, "'" + mine + "' != '" + theirs + "'");
        }
    }

    void compareNumbers(const uint8_t *bytes, uint32_t length, const std::string &vr, const Json *values,
                        const std::string &where) {
        size_t unit = vr == "US" || vr == "SS" ? 2 : vr == "UL" || vr == "SL" || vr == "FL" || vr == "AT" ? 4
                      : vr == "FD" || vr == "SV" || vr == "UV"                                          ? 8
                                                                                                         : 0;
        if (unit == 0) return;  // a VR this comparison does not know
        size_t count = length / unit;
        size_t expected = values != nullptr ? values->items.size() : 0;
        if (count != expected) {
            differ(where, std::to_string(count) + " values != " + std::to_string(expected));
            return;
        }
        for (size_t i = 0; i < count; ++i) {
            const uint8_t *p = bytes + i * unit;
            const Json &v = values->items[i];
            if (vr == "AT") {
                uint16_t g, e;
                std::memcpy(&g, p, 2);
                std::memcpy(&e, p + 2, 2);
                char text[9];
                std::snprintf(text, sizeof text, "%04X%04X", g, e);
                if (v.text != text) differ(where, std::string(text) + " != " + v.text);
                continue;
            }
            double mine = 0;
            double tolerance = 0;
            if (vr == "US") { uint16_t x; std::memcpy(&x, p, 2); mine = x; }
            if (vr == "SS") { int16_t x; std::memcpy(&x, p, 2); mine = x; }
            if (vr == "UL") { uint32_t x; std::memcpy(&x, p, 4); mine = x; }
            if (vr == "SL") { int32_t x; std::memcpy(&x, p, 4); mine = x; }
            if (vr == "FL") { float x; std::memcpy(&x, p, 4); mine = x; tolerance = 1e-6; }
            if (vr == "FD") { double x; std::memcpy(&x, p, 8); mine = x; tolerance = 1e-12; }
            if (vr == "SV") { int64_t x; std::memcpy(&x, p, 8); mine = static_cast<double>(x); }
            if (vr == "UV") { uint64_t x; std::memcpy(&x, p, 8); mine = static_cast<double>(x); }
            double theirs = std::strtod(v.text.c_str(), nullptr);
            if (std::isnan(mine) && v.text.find("NaN") != std::string::npos) continue;
            if (!closeEnough(mine, theirs, tolerance))
                differ(where, "value " + std::to_string(mine) + " != " + v.text);
        }
    }
};

// ---- The test ---------------------------------------------------------------------------------

class SampleReadTest : public readertest::ReaderTest, public ::testing::WithParamInterface<SampleCase> {
  protected:
    void SetUp() override {
        ReaderTest::SetUp();
        app.primaryTags = nullptr;
        app.primaryTagCount = 0;
        setenv("VELMAR_DEF_PATH", VELMAR_SHARE_DIR, 0);
        ASSERT_EQ(InitTagDef(&app, 0), 0) << "the shipped dictionary does not load";
    }
    void TearDown() override {
        DO_closeObject(&io.object);
        DoneTagDef(&app);
        ReaderTest::TearDown();
    }
};

int syntaxCode(const std::string &name) {
    if (name == "ivrle") return 0;
    if (name == "evrle") return 1;
    if (name == "evrbe") return 2;
    if (name == "other") return 3;
    return -1;
}

TEST_P(SampleReadTest, ReadsLikeDcm2json) {
    const SampleCase &c = GetParam();
    if (c.file.empty()) GTEST_SKIP() << "no DICOM samples at " << kSamples;
    fs::path file = kSamples / c.folder / c.file;
    if (!fs::exists(file)) GTEST_SKIP() << file << " is listed but absent";

    io.metaSyntax = -1;
    io.dataSyntax = -1;
    int16_t status = DO_importObjectFromFile(&app, file.c_str(), &io);
    std::string messages = problems();
    bool hasError = messages.find("Error: ") != std::string::npos;
    if (c.expect == "read-error") {
        EXPECT_EQ(status, -1);
        EXPECT_NE(messages.find("Error: Length of element ("), std::string::npos) << messages;
        return;
    }
    if (c.expect == "ok-or-read-error" && status != 0) {
        EXPECT_TRUE(hasError) << "a refused read must say why";
        return;
    }
    ASSERT_EQ(status, 0) << messages;
    EXPECT_FALSE(hasError) << messages;
    if (syntaxCode(c.syntax) >= 0) EXPECT_EQ(io.dataSyntax, syntaxCode(c.syntax));

    // Every frame can be found through the frame table.
    PixelDataDescriptor *d = get_ppds(&app, io.object);
    if (c.frames > 0 && d != nullptr) {
        EXPECT_EQ(d->numberOfFrames, c.frames);
        int highest = 0;
        for (uint16_t i = 0; i < d->entryCount; ++i) highest = std::max<int>(highest, d->frames[i].frame);
        EXPECT_EQ(highest, c.frames) << "frames reachable through the frame table";
        if (d->syntaxCode != 3) EXPECT_EQ(d->entryCount, c.frames);
    }
    std::free(d);

    if (!haveProgram("dcm2json")) GTEST_SKIP() << "dcm2json (DCMTK) is not installed: values not compared";
    std::string json;
    if (!runCommand("dcm2json '" + file.string() + "' 2>/dev/null", json)) {
        // dcm2json writes no encapsulated pixel data: compare a copy without it.
        if (!haveProgram("dcmodify")) GTEST_SKIP() << "dcm2json refuses " << file << " and dcmodify is absent";
        fs::path copy = dir / "copy.dcm";
        fs::copy_file(file, copy, fs::copy_options::overwrite_existing);
        fs::permissions(copy, fs::perms::owner_write, fs::perm_options::add);
        json.clear();
        ASSERT_TRUE(runCommand("dcmodify -nb -ea '(7fe0,0010)' '" + copy.string() + "' > /dev/null 2>&1 && dcm2json '" +
                                   copy.string() + "' 2>/dev/null",
                               json))
            << "dcm2json failed on " << file;
    }
    Json root;
    ASSERT_TRUE(JsonParser(json).parse(root)) << "dcm2json output not understood";
    Comparer comparer;
    comparer.compareItem(io.object->root, root, "");
    EXPECT_GT(comparer.compared, 0);
    std::string report;
    for (const std::string &d : comparer.differences) report += d + "\n";
    EXPECT_TRUE(comparer.differences.empty()) << report;
}

std::string caseName(const ::testing::TestParamInfo<SampleCase> &info) {
    std::string name = info.param.file.empty() ? "NoSamples" : info.param.folder + "_" + info.param.file;
    for (char &ch : name)
        if (!std::isalnum(static_cast<unsigned char>(ch))) ch = '_';
    return name;
}

INSTANTIATE_TEST_SUITE_P(SharedSamples, SampleReadTest, ::testing::ValuesIn(loadCases()), caseName);

}  // namespace
