// Attribute tag dictionary: loading tag_tab.def and tag2_tab.def into the tables of AppData, and
// releasing them.
#include <cstdlib>
#include <cstring>

#include "defs/parsedef.h"
#include "dicom/lookup.h"
#include "velmar/defs.h"

namespace velmar::defs {
namespace {

// Tables grow by this many entries at a time.
constexpr int kTableStep = 20;
// Largest capacity a table with a signed 16-bit count can reach in steps of kTableStep.
constexpr int kTableMaxCapacity = (INT16_MAX / kTableStep) * kTableStep;
// Block size of the dictionary's string buffer: large enough for the longest string a
// definition file can hold, so that no accepted text is refused by the buffer.
constexpr int32_t kStringBlockSize = 8192;

// The table of one file (primary or secondary) inside AppData.
struct TagTable {
    AttrDef *&entries;
    int16_t &count;
    int16_t &capacity;
};

TagTable tableOf(AppData *app, bool primary) {
    if (primary) return {app->primaryTags, app->primaryTagCount, app->primaryTagCapacity};
    return {app->secondaryTags, app->secondaryTagCount, app->secondaryTagCapacity};
}

// The texts of one record, as read.
struct TagRecord {
    uint32_t tag = 0;
    char name[kDefStringMax + 1] = "";
    char vr[kDefStringMax + 1] = "";
    int16_t vm = 0;
    char permitted[kDefStringMax + 1] = "";
    char csType[kDefStringMax + 1] = "";
};

enum class Step { Ok, End, Failed };

// One token of a record: a message when it is missing (end of input included).
Step need(int16_t result, const char *message, DefMessage &out) {
    if (result == 1) return Step::Ok;
    out.set(message);
    return Step::Failed;
}

// Fields 2 to 13 of a record, the opening brace already read.
Step readRecordBody(DefScanner *s, TagRecord &r, DefMessage &msg) {
    if (need(scanBlankHex(s, &r.tag), kMsgHex, msg) != Step::Ok) return Step::Failed;
    if (need(scanBlankExpect(s, ','), kMsgComma, msg) != Step::Ok) return Step::Failed;
    if (need(scanBlankString(s, r.name, kDefStringMax), kMsgString, msg) != Step::Ok) return Step::Failed;
    if (need(scanBlankExpect(s, ','), kMsgComma, msg) != Step::Ok) return Step::Failed;
    if (need(scanBlankString(s, r.vr, kDefStringMax), kMsgString, msg) != Step::Ok) return Step::Failed;
    if (need(scanBlankExpect(s, ','), kMsgComma, msg) != Step::Ok) return Step::Failed;
    if (need(scanBlankShort(s, &r.vm), kMsgShort, msg) != Step::Ok) return Step::Failed;
    if (need(scanBlankExpect(s, ','), kMsgComma, msg) != Step::Ok) return Step::Failed;
    if (need(scanBlankString(s, r.permitted, kDefStringMax), kMsgString, msg) != Step::Ok)
        return Step::Failed;
    if (need(scanBlankExpect(s, ','), kMsgComma, msg) != Step::Ok) return Step::Failed;
    if (need(scanBlankString(s, r.csType, kDefStringMax), kMsgString, msg) != Step::Ok) return Step::Failed;
    if (need(scanBlankExpect(s, '}'), kMsgRightBrace, msg) != Step::Ok) return Step::Failed;
    return Step::Ok;
}

// Appends a record to the table, growing it by kTableStep entries when full. False when memory
// (or the 16-bit count) runs out.
bool storeRecord(AppData *app, TagTable table, const TagRecord &r) {
    if (table.capacity <= table.count) {
        int grown = table.capacity + kTableStep;
        if (grown > kTableMaxCapacity) return false;
        auto *entries =
            static_cast<AttrDef *>(std::realloc(table.entries, sizeof(AttrDef) * static_cast<size_t>(grown)));
        if (entries == nullptr) return false;
        table.entries = entries;
        table.capacity = static_cast<int16_t>(grown);
    }
    AttrDef def{};
    def.tag = r.tag;
    def.name = AddToDStringBuffer(app->defStrings, r.name);
    def.vr = changeVRnameToVR(r.vr);
    def.vm = r.vm;
    def.permitted = AddToDStringBuffer(app->defStrings, r.permitted);
    def.csType = AddToDStringBuffer(app->defStrings, r.csType);
    if (def.name == nullptr || def.permitted == nullptr || def.csType == nullptr) return false;
    table.entries[table.count] = def;
    ++table.count;
    return true;
}

// Parses the records of a file into its table. False when memory ran out (no message).
bool parseTagFile(AppData *app, DefScanner *s, TagTable table, DefMessage &msg) {
    TagRecord record;
    int16_t r = scanBlankExpect(s, '{');
    while (r != -1) {
        if (r == 0) {
            msg.set(kMsgLeftBrace);
            return true;
        }
        if (readRecordBody(s, record, msg) != Step::Ok) return true;
        r = scanBlankExpect(s, ',');
        if (r == -1) return true;  // the last record lacks its comma: read, not stored
        if (r == 0) {
            msg.set(kMsgComma);
            return true;
        }
        if (!storeRecord(app, table, record)) return false;
        r = scanBlankExpect(s, '{');
    }
    return true;
}

int16_t loadTagFile(AppData *app, const char *path, bool primary) {
    DefFilePtr file = openDefFile(path);
    if (!file) return primary ? -1 : 0;
    if (app->defStrings == nullptr) {
        app->defStrings = InitDStringBuffer(kStringBlockSize);
        if (app->defStrings == nullptr) return -1;
    }
    logLoading(app, "Attribute Tag", primary, path);
    ScannerPtr scanner(scanOpen(file.get()));
    if (!scanner) return -1;
    DefMessage msg;
    msg.locate(path, scanner.get());
    bool stored = parseTagFile(app, scanner.get(), tableOf(app, primary), msg);
    // The tables changed: no index built over the old ones may survive.
    velmar::dicom::releaseTagIndex(app);
    if (!stored) return -1;
    checkExtraInput(scanner.get(), msg);
    return reportDefMessage(app, msg);
}

}  // namespace
}  // namespace velmar::defs

extern "C" {

VELMAR_API int16_t InitTagDef(AppData *app, int16_t primaryOnly) {
    using namespace velmar::defs;
    if (app == nullptr) return -1;
    char path[kDefPathSize];
    if (!resolveDefFile(app, "tag_tab.def", path)) return -1;
    int16_t result = loadTagFile(app, path, true);
    if (result != 0) return result;
    if (primaryOnly != 0) return 0;
    if (!resolveDefFile(app, "tag2_tab.def", path)) return 0;
    return loadTagFile(app, path, false);
}

VELMAR_API void DoneTagDef(AppData *app) {
    if (app == nullptr) return;
    velmar::dicom::releaseTagIndex(app);
    std::free(app->primaryTags);
    std::free(app->secondaryTags);
    app->primaryTags = nullptr;
    app->secondaryTags = nullptr;
    DoneDStringBuffer(&app->defStrings);
    app->primaryTagCount = app->secondaryTagCount = 0;
    app->primaryTagCapacity = app->secondaryTagCapacity = 0;
}

}  // extern "C"
