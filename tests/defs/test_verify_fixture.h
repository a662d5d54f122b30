// Test helpers for the definition, binding and verification tests: a dictionary filled by hand,
// a log captured in memory, elements built from text or words, and definition files written
// into a temporary directory.
#pragma once

#include "defs/def_message.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "velmar.h"

namespace velmar_test {

struct DictRow {
    uint32_t tag;
    const char *name;
    const char *vr;
    int16_t vm;
    const char *permitted = "";
    const char *csType = "";
};

// A few attributes of the NM and SC objects, enough for the tests of this folder.
inline std::vector<DictRow> smallDictionary() {
    return {
        {0x00080008, "Image Type", "CS", -4, "ORIGINAL, DERIVED, PRIMARY, SECONDARY", "E"},
        {0x00080016, "SOP Class UID", "UI", 1},
        {0x00080018, "SOP Instance UID", "UI", 1},
        {0x00080020, "Study Date", "DA", 1},
        {0x00080030, "Study Time", "TM", 1},
        {0x00080060, "Modality", "CS", 1, "NM, OT, CT", "E"},
        {0x00080064, "Conversion Type", "CS", 1},
        {0x00080070, "Manufacturer", "LO", 1},
        {0x00081140, "Referenced Image Sequence", "SQ", 1},
        {0x00081150, "Referenced SOP Class UID", "UI", 1},
        {0x00081155, "Referenced SOP Instance UID", "UI", 1},
        {0x00100010, "Patient's Name", "PN", 1},
        {0x00100020, "Patient ID", "LO", 1},
        {0x00101010, "Patient's Age", "AS", 1},
        {0x00181030, "Protocol Name", "LO", 1},
        {0x0020000D, "Study Instance UID", "UI", 1},
        {0x00200011, "Series Number", "IS", 1},
        {0x00280002, "Samples per Pixel", "US", 1, "0001", "E"},
        {0x00280004, "Photometric Interpretation", "CS", 1},
        {0x00280009, "Frame Increment Pointer", "AT", 0},
        {0x00280010, "Rows", "US", 1},
        {0x00280030, "Pixel Spacing", "DS", 2},
        {0x00280106, "Smallest Image Pixel Value", "XS", 1, "0000", "E"},
        {0x00281101, "Red Palette Color Lookup Table Descriptor", "XU", 3},
        {0x00540010, "Energy Window Vector", "US", 0},
        {0x00540012, "Energy Window Information Sequence", "SQ", 1},
        {0x00540013, "Energy Window Range Sequence", "SQ", 1},
        {0x00540014, "Energy Window Lower Limit", "DS", 1},
        {0x00540015, "Energy Window Upper Limit", "DS", 1},
        {0x00540018, "Energy Window Name", "SH", 1},
        {0x00540016, "Radiopharmaceutical Information Sequence", "SQ", 1},
        {0x00180031, "Radiopharmaceutical", "LO", 1},
        {0x50000005, "Curve Dimensions", "US", 1},
        {0x50003000, "Curve Data", "OX", 1},
        {0x60000010, "Overlay Rows", "US", 1},
        {0x60000011, "Overlay Columns", "US", 1},
        {0x60000015, "Number of Frames in Overlay", "IS", 1},
        {0x60003000, "Overlay Data", "OW", 1},
        {0x7FE00010, "Pixel Data", "OX", 1},
        {0xFFFEE000, "Item", "XX", 1},
        {0xFFFEE00D, "Item Delimitation Item", "XX", 1},
        {0xFFFEE0DD, "Sequence Delimitation Item", "XX", 1},
    };
}

// Selects the dictionary that the project ships (share/velmar) instead of one filled by hand.
struct ShippedDictionary {};

// A context whose dictionary is filled by hand (or loaded from share/velmar); the log goes to a
// temporary file.
class TestContext {
   public:
    explicit TestContext(const std::vector<DictRow> &rows = smallDictionary()) {
        init_AppData(&app, "velmar-test", "0", nullptr);
        setDictionary(rows);
        openLog();
    }
    explicit TestContext(ShippedDictionary) {
        init_AppData(&app, "velmar-test", "0", nullptr);
        openLog();
        setenv("VELMAR_DEF_PATH", VELMAR_SHARE_DIR, 1);
        shipped_ = true;
        loaded_ = InitTagDef(&app, 0) == 0;
    }
    ~TestContext() {
        app.log = nullptr;
        if (shipped_) {
            DoneTagDef(&app);
        } else {
            app.primaryTags = nullptr;
            app.primaryTagCount = 0;
        }
        done_AppData(&app);
        if (logFile_ != nullptr) std::fclose(logFile_);
    }
    TestContext(const TestContext &) = delete;
    TestContext &operator=(const TestContext &) = delete;

    void setDictionary(const std::vector<DictRow> &rows) {
        entries_.clear();
        for (const DictRow &row : rows) {
            AttrDef def{};
            def.tag = row.tag;
            def.name = keep(row.name);
            def.vr = changeVRnameToVR(row.vr);
            def.vm = row.vm;
            def.permitted = keep(row.permitted);
            def.csType = keep(row.csType);
            entries_.push_back(def);
        }
        app.primaryTags = entries_.data();
        app.primaryTagCount = static_cast<int16_t>(entries_.size());
        app.primaryTagCapacity = app.primaryTagCount;
    }

    // Lines written to the log so far (and forgets them); level filter by mask threshold.
    std::vector<std::string> takeLines() {
        std::vector<std::string> lines;
        std::fflush(logFile_);
        std::rewind(logFile_);
        char line[4096];
        while (std::fgets(line, sizeof line, logFile_) != nullptr) {
            std::string text(line);
            if (!text.empty() && text.back() == '\n') text.pop_back();
            lines.push_back(text);
        }
        std::fclose(logFile_);
        logFile_ = std::tmpfile();
        log_.file = logFile_;
        return lines;
    }
    std::string takeText() {
        std::string all;
        for (const std::string &line : takeLines()) all += line + "\n";
        return all;
    }
    void setLogThreshold(uint16_t level) { log_.mask = level & 0x0F; }
    // The shipped dictionary was loaded.
    bool loaded() const { return loaded_; }

    AppData app{};

   private:
    void openLog() {
        logFile_ = std::tmpfile();
        log_ = Log{logFile_, 0x000F, nullptr};
        app.log = &log_;
    }
    const char *keep(const char *text) { return strings_.emplace_back(text != nullptr ? text : "").c_str(); }
    std::vector<AttrDef> entries_;
    std::deque<std::string> strings_;
    FILE *logFile_ = nullptr;
    Log log_{};
    bool shipped_ = false;
    bool loaded_ = false;
};

// An element whose value points at `text` (which must outlive it); string literals are picked up by
// the overload below, which points at their static storage.
inline DicomElement textElement(uint16_t group, uint16_t element, const std::string &text) {
    DicomElement el{};
    el.group = group;
    el.element = element;
    el.length = static_cast<uint32_t>(text.size());
    el.value = const_cast<char *>(text.data());
    return el;
}

inline DicomElement textElement(uint16_t group, uint16_t element, const char *literal) {
    DicomElement el{};
    el.group = group;
    el.element = element;
    el.length = static_cast<uint32_t>(std::strlen(literal));
    el.value = const_cast<char *>(literal);
    return el;
}
inline DicomElement textElement(uint16_t, uint16_t, std::string &&) = delete;

inline DicomElement binaryElement(uint16_t group, uint16_t element, const void *bytes, uint32_t length) {
    DicomElement el{};
    el.group = group;
    el.element = element;
    el.length = length;
    el.vr = -1;  // no VR of its own: the dictionary's applies
    el.value = const_cast<void *>(bytes);
    return el;
}

// An object built in memory with DO_addElement; closed by the destructor.
class TestObject {
   public:
    explicit TestObject(AppData *app) : app_(app) { DO_openObject(&obj); }
    ~TestObject() { DO_closeObject(&obj); }
    TestObject(const TestObject &) = delete;
    TestObject &operator=(const TestObject &) = delete;

    // A text value, padded to even length with a blank (a zero byte for UIDs).
    void text(uint16_t group, uint16_t element, const std::string &value) {
        std::string padded = value;
        int32_t vr = -1;
        DOU_defXVRTypeByTags(app_, group, element, &vr);
        if (padded.size() % 2 != 0) padded.push_back(vr == VR_UI ? '\0' : ' ');
        DicomElement el = textElement(group, element, padded);
        el.vr = vr;
        DO_addElement(app_, obj, &el);
    }
    void words(uint16_t group, uint16_t element, std::vector<uint16_t> values) {
        DicomElement el =
            binaryElement(group, element, values.data(), static_cast<uint32_t>(2 * values.size()));
        DOU_defXVRTypeByTags(app_, group, element, &el.vr);
        DO_addElement(app_, obj, &el);
    }
    void empty(uint16_t group, uint16_t element) {
        DicomElement el{};
        el.group = group;
        el.element = element;
        DOU_defXVRTypeByTags(app_, group, element, &el.vr);
        DO_addElement(app_, obj, &el);
    }
    // Opens a sequence; close it with endSequence after its items.
    void beginSequence(uint16_t group, uint16_t element) {
        DicomElement el{};
        el.group = group;
        el.element = element;
        el.length = VELMAR_UNDEFINED_LENGTH;
        el.vr = VR_SQ;
        DO_addElement(app_, obj, &el);
    }
    void beginItem() { add_Item(app_, obj, VELMAR_UNDEFINED_LENGTH); }
    void endItem() { add_Item_Delimitation_Item(app_, obj); }
    void endSequence() { add_Sequence_Delimitation_Item(app_, obj); }

    DicomElement *find(uint16_t group, uint16_t element) const {
        for (DicomElement *c = obj->root->firstChild; c != nullptr; c = c->next)
            if (c->group == group && c->element == element) return c;
        return nullptr;
    }

    DicomObject *obj = nullptr;

   private:
    AppData *app_;
};

// A temporary directory for definition files; VELMAR_DEF_PATH points at it while it lives.
class DefDirectory {
   public:
    DefDirectory() {
        char pattern[] = "/tmp/velmar-defs-XXXXXX";
        const char *made = mkdtemp(pattern);
        path_ = made != nullptr ? made : "/tmp";
        const char *old = std::getenv("VELMAR_DEF_PATH");
        hadOld_ = old != nullptr;
        if (hadOld_) old_ = old;
        setenv("VELMAR_DEF_PATH", path_.c_str(), 1);
    }
    ~DefDirectory() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
        if (hadOld_)
            setenv("VELMAR_DEF_PATH", old_.c_str(), 1);
        else
            unsetenv("VELMAR_DEF_PATH");
    }
    DefDirectory(const DefDirectory &) = delete;
    DefDirectory &operator=(const DefDirectory &) = delete;

    void write(const std::string &name, const std::string &content) const {
        std::ofstream out(path_ + "/" + name, std::ios::binary);
        out << content;
    }
    std::string file(const std::string &name) const { return path_ + "/" + name; }
    const std::string &path() const { return path_; }

   private:
    std::string path_;
    std::string old_;
    bool hadOld_ = false;
};

}  // namespace velmar_test
