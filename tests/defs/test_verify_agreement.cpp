// The velmar program and dciodvfy over the same files find the same missing and empty type 1, 2,
// 1C and 2C attributes. Files: the shared samples, the Interfile samples converted by velmar, and
// fixtures derived here from a converted tomographic study. Every finding of only one of the two
// must be in the list of explained differences below.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>

#include "defs/test_verify_objects.h"

namespace fs = std::filesystem;
using velmar_test::ShippedDictionary;
using velmar_test::TestContext;

namespace {

const fs::path kShared = VELMAR_SHARED_DIR;
const fs::path kProgram = fs::path(VELMAR_BINARY_DIR) / "velmar";
constexpr const char *kDciodvfy = "/usr/bin/dciodvfy";

// (tag, "missing 1" / "empty 1" / "missing 2")
using Finding = std::pair<uint32_t, std::string>;

// Differences that remain, with the reason. Side: which program reports it.
struct Explained {
    uint32_t tag;
    const char *kind;
    const char *side;
    const char *why;
};
const Explained kExplained[] = {
    {0x00200060, "missing 2", "dciodvfy",
     "Laterality (2C) is required for a paired body part; the condition has no structured form "
     "(dciodvfy's rule LateralityRequired), so velmar does not require it"},
    {0x00200020, "missing 2", "dciodvfy",
     "Patient Orientation (2C) is required when the image needs no Image Position/Orientation; no "
     "structured form (PatientOrientationRequired), so velmar does not require it"},
    {0x00081070, "missing 2", "velmar",
     "Operators' Name is type 2 in the RT Series module of the 2024 templates; the installed "
     "dciodvfy's templates are older"},
    {0x00181242, "missing 1", "dciodvfy",
     "Actual Frame Duration (1C) of NM Image depends on the Image Type; its condition has no "
     "structured form, so velmar does not require it"},
    {0x00020000, "missing 1", "dciodvfy",
     "File Meta Information Group Length belongs to the file meta header, which the module check "
     "does not cover (velmar's reader accepts its absence)"},
    {0x7FE00010, "missing 1", "dciodvfy",
     "Pixel Data in velmar's private PNG transfer syntax, which dciodvfy cannot read"},
};

std::string run(const std::string &command) {
    std::string output;
    FILE *pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) return output;
    char buffer[4096];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) output.append(buffer, n);
    pclose(pipe);
    return output;
}

std::map<std::string, uint32_t> keywordTags() {
    std::map<std::string, uint32_t> tags;
    std::ifstream in(kShared / "standard" / "dictionary.tsv");
    std::string line, tag, keyword;
    std::getline(in, line);
    while (std::getline(in, line)) {
        std::istringstream cells(line);
        std::getline(cells, tag, '\t');
        std::getline(cells, keyword, '\t');
        if (tag.find('x') == std::string::npos && !keyword.empty())
            tags[keyword] = std::stoul(tag, nullptr, 16);
    }
    return tags;
}

std::set<Finding> peerFindings(const fs::path &file) {
    static const std::map<std::string, uint32_t> tags = keywordTags();
    static const std::regex finding(
        R"(Error - (Missing|Empty) attribute (?:\(no value\) )?Type (1|2)C? \w+ Element=<(\w+)>)");
    std::set<Finding> found;
    std::string out = run(std::string(kDciodvfy) + " '" + file.string() + "' 2>&1");
    for (std::sregex_iterator m(out.begin(), out.end(), finding), end; m != end; ++m) {
        auto tag = tags.find((*m)[3]);
        std::string kind = std::string((*m)[1] == "Missing" ? "missing " : "empty ") + (*m)[2].str();
        found.insert({tag != tags.end() ? tag->second : 0, kind});
    }
    return found;
}

// The findings of `velmar verify` (module check, errors and warnings); false when it cannot read
// the file.
bool velmarFindings(const fs::path &file, std::set<Finding> *found) {
    std::string out = run(kProgram.string() + " verify '" + file.string() + "' 2>&1");
    if (out.find("Module check") == std::string::npos) return false;
    std::istringstream lines(out.substr(out.find("Module check")));
    std::string line;
    unsigned group = 0, element = 0;
    while (std::getline(lines, line)) {
        if (std::sscanf(line.c_str(), "\t(%4X, %4X) --", &group, &element) == 2) continue;
        uint32_t tag = group << 16 | element;
        if (line.find("Type 1 element is missing.") != std::string::npos) found->insert({tag, "missing 1"});
        if (line.find("Type 1 element has 0 length.") != std::string::npos) found->insert({tag, "empty 1"});
        if (line.find("Type 2 element is missing.") != std::string::npos) found->insert({tag, "missing 2"});
    }
    return true;
}

const Explained *explanation(const Finding &f, const std::string &side) {
    for (const Explained &e : kExplained)
        if (e.tag == f.first && f.second == e.kind && side == e.side) return &e;
    return nullptr;
}

class VerifyAgreement : public ::testing::Test {
   protected:
    void SetUp() override {
        if (access(kDciodvfy, X_OK) != 0) GTEST_SKIP() << "dciodvfy (dicom3tools) is not installed";
        if (!fs::exists(kProgram)) GTEST_SKIP() << "the velmar program is not built at " << kProgram;
        if (!fs::exists(kShared / "dicom-samples")) GTEST_SKIP() << "no shared samples at " << kShared;
        ASSERT_TRUE(ctx.loaded()) << ctx.takeText();
        dir = fs::temp_directory_path() / ("velmar-agree-" + std::to_string(getpid()));
        fs::create_directories(dir);
    }
    void TearDown() override {
        if (!dir.empty()) fs::remove_all(dir);
    }

    // Compares the two programs on one file; counts what agrees and what is explained.
    void compare(const fs::path &file) {
        std::set<Finding> ours;
        if (!velmarFindings(file, &ours)) {
            unreadable.push_back(file.filename().string());
            return;
        }
        std::set<Finding> peer = peerFindings(file);
        for (const auto &[mine, theirs, side] :
             {std::tuple{&ours, &peer, "velmar"}, {&peer, &ours, "dciodvfy"}})
            for (const Finding &f : *mine) {
                if (theirs->count(f) != 0) {
                    agreed += side == std::string("velmar") ? 1 : 0;
                    continue;
                }
                const Explained *e = explanation(f, side);
                char tag[16];
                std::snprintf(tag, sizeof tag, "(%04X,%04X)", f.first >> 16, f.first & 0xFFFF);
                EXPECT_NE(e, nullptr)
                    << file.filename() << ": only " << side << " finds " << tag << " " << f.second;
                if (e != nullptr) ++explained[e];
            }
        ++files;
    }

    TestContext ctx{ShippedDictionary{}};
    fs::path dir;
    int files = 0, agreed = 0;
    std::map<const Explained *, int> explained;
    std::vector<std::string> unreadable;
};

// A converted tomographic study with elements removed, emptied or replaced, as a fixture.
struct Edit {
    std::string name;
    std::set<uint32_t> remove, empty;
    std::string imageType;
};

void applyEdit(AppData *app, DicomObject *obj, const Edit &edit) {
    for (uint32_t tag : edit.remove) {
        DicomElement key{};
        key.group = static_cast<uint16_t>(tag >> 16);
        key.element = static_cast<uint16_t>(tag & 0xFFFF);
        DO_deleteElement(app, obj, &key);
    }
    obj->current = obj->root;
    for (uint32_t tag : edit.empty) {
        DicomElement el{};
        el.group = static_cast<uint16_t>(tag >> 16);
        el.element = static_cast<uint16_t>(tag & 0xFFFF);
        DOU_defXVRTypeByTags(app, el.group, el.element, &el.vr);
        if (el.vr == VR_SQ) el.length = VELMAR_UNDEFINED_LENGTH;
        DO_addElement(app, obj, &el);
        if (el.vr == VR_SQ) add_Sequence_Delimitation_Item(app, obj);
    }
    if (!edit.imageType.empty()) {
        DicomElement el = velmar_test::textElement(0x0008, 0x0008, edit.imageType);
        el.vr = VR_CS;
        DO_addElement(app, obj, &el);
    }
}

TEST_F(VerifyAgreement, SamplesConversionsAndFixturesGiveTheSameFindings) {
    for (const char *folder : {"generated", "real"})
        for (const auto &entry : fs::directory_iterator(kShared / "dicom-samples" / folder))
            if (entry.path().extension() == ".dcm") compare(entry.path());

    for (const auto &entry : fs::directory_iterator(kShared / "interfile" / "samples")) {
        if (entry.path().extension() != ".hdr") continue;
        fs::path out = dir / (entry.path().stem().string() + ".dcm");
        run(kProgram.string() + " interfile '" + entry.path().string() + "' '" + out.string() + "' 2>&1");
        if (!fs::exists(out)) continue;
        compare(out);
        std::string report = run(kProgram.string() + " verify '" + out.string() + "' 2>&1");
        EXPECT_EQ(report.find("Warning"), std::string::npos)
            << out.filename() << ": a clean conversion warns\n"
            << report;
    }

    const fs::path tomo = dir / "tomo_acq.dcm";
    ASSERT_TRUE(fs::exists(tomo)) << "the tomographic Interfile sample did not convert";
    const Edit edits[] = {
        {"missing", {0x0020000D, 0x00280010, 0x00540011, 0x00100010, 0x00080020, 0x00540052}, {}, ""},
        {"empty", {0x0020000E, 0x00280004, 0x00080060}, {0x0020000E, 0x00280004, 0x00080060}, ""},
        {"empty_sequence", {}, {0x00081164}, ""},
        {"static", {0x00080008}, {}, "ORIGINAL\\PRIMARY\\STATIC\\EMISSION"},
    };
    for (const Edit &edit : edits) {
        IOObject io;
        init_IOObject(&io);
        io.dataSyntax = -1;
        ASSERT_EQ(DO_importObjectFromFile(&ctx.app, tomo.c_str(), &io), 0) << ctx.takeText();
        applyEdit(&ctx.app, io.object, edit);
        velmar_test::PlainWriter writer(&ctx.app);
        fs::path out = dir / ("fixture_" + edit.name + ".dcm");
        EXPECT_TRUE(
            writer.write(io.object, out, velmar_test::kNMImageStorage, "1.2.826.0.1.3680043.2.1125.7.1"));
        DO_closeObject(&io.object);
        compare(out);
    }

    velmar_test::TestObject sc(&ctx.app);
    velmar_test::buildSC(sc, {0x00080060});  // SC Equipment makes Modality type 3
    velmar_test::PlainWriter writer(&ctx.app);
    ASSERT_TRUE(writer.write(sc.obj, dir / "sc_no_modality.dcm", velmar_test::kSCImageStorage,
                             "1.2.826.0.1.3680043.2.1125.7.2"));
    compare(dir / "sc_no_modality.dcm");

    EXPECT_GE(files, 80);
    EXPECT_GT(agreed, 100);
    std::cout << files << " files, " << agreed << " findings of both programs; velmar cannot read "
              << unreadable.size() << " (dciodvfy's findings on them not compared):";
    for (const std::string &name : unreadable) std::cout << " " << name;
    std::cout << "\nexplained differences:\n";
    for (const auto &[e, count] : explained)
        std::cout << "  " << count << "x only " << e->side << ": " << e->kind << " -- " << e->why << "\n";
}

}  // namespace
