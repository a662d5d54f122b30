// IOD and module definition files: loads one IOD with its module list (ab_tab.def, ab2_tab.def)
// and the attributes of its modules, sequence items included (c_tab.def, c2_tab.def), into the
// definition set of an object.
#include <cstdlib>
#include <cstring>

#include "defs/abcdef.h"
#include "defs/condition.h"
#include "defs/parsedef.h"

namespace velmar::defs {
namespace {

constexpr const char *kPrivateModuleName = "Private Data";
constexpr const char *kMsgOnlyType3 = "only Type 3 attributes are allowed in secondary definition file";
constexpr const char *kMsgEmptySequence = "empty SQ Element";
constexpr const char *kMsgUnderscore = "'_' (underscore) expected (SQ Attribute index separator)";
constexpr const char *kMsgIndex = "short integer value expected (SQ Attribute index)";
constexpr const char *kMsgIndexBelowOne = "SQ Attribute index must be 1 or more";
constexpr const char *kMsgNoMemory = "cannot allocate memory block";

using StringBuffer = char[kDefStringMax + 1];

// Token reading with the loaders' messages: each returns false once a message is held; the end of
// input inside a record is "unexpected end of file".
class RecordReader {
   public:
    RecordReader(DefScanner *scanner, DefMessage &message) : s_(scanner), message_(message) {}

    bool need(char c, const char *missing) {
        int16_t r = scanBlankExpect(s_, c);
        if (r == 1) return true;
        message_.set(r < 0 ? kMsgUnexpectedEnd : missing);
        return false;
    }
    bool string(char *dest) {
        if (scanSkipBlank(s_) < 0) return fail(kMsgUnexpectedEnd);
        // An unterminated string or one longer than the limit is a string error.
        if (scanString(s_, dest, kDefStringMax) != 1) return fail(kMsgString);
        return true;
    }
    bool hex(uint32_t *value) {
        int16_t r = scanBlankHex(s_, value);
        if (r == 1) return true;
        return fail(r < 0 ? kMsgUnexpectedEnd : kMsgHex);
    }
    bool character(char *value) {
        if (!need('\'', kMsgApostrophe)) return false;
        int16_t c = scanGetChar(s_);
        if (c < 0) return fail(kMsgCharValue);
        *value = static_cast<char>(c);
        int16_t r = scanExpect(s_, '\'');
        if (r == 1) return true;
        return fail(r < 0 ? kMsgUnexpectedEnd : kMsgApostrophe);
    }
    // An optional further string of a line, after a comma: true when read or absent (dest empty).
    bool optionalString(char *dest) {
        dest[0] = '\0';
        int16_t r = scanBlankExpect(s_, ',');
        if (r < 0) return fail(kMsgUnexpectedEnd);
        return r == 0 || string(dest);
    }
    // An optional condition string, checked.
    bool optionalCondition(char *dest) {
        if (!optionalString(dest)) return false;
        char reason[kConditionMessageSize];
        return dest[0] == '\0' || checkCondition(dest, reason) || fail(reason);
    }
    // Opens a "{ line, line, ... }" list: true when a line follows, false at its closing brace
    // (consumed) or on error.
    bool listBegins(bool *hasLines) {
        if (!need('{', kMsgLeftBrace)) return false;
        if (scanSkipBlank(s_) < 0) return fail(kMsgUnexpectedEnd);
        *hasLines = scanPeek(s_) != '}';
        return true;
    }
    // After a line: true with *more set when a comma follows.
    bool lineEnds(bool *more) {
        if (!need('}', kMsgRightBrace)) return false;
        int16_t r = scanBlankExpect(s_, ',');
        if (r < 0) return fail(kMsgUnexpectedEnd);
        *more = r == 1;
        return true;
    }
    // The next record's "{": true when read. Parsing ends at the end of input or at anything
    // else, which the extra-input check then reports.
    bool recordBegins() { return scanBlankExpect(s_, '{') == 1; }
    bool fail(const char *text) {
        message_.set(text);
        return false;
    }

   private:
    DefScanner *s_;
    DefMessage &message_;
};

// ---- IOD files ----------------------------------------------------------------------------

struct IodLoad {
    ABDef *set;
    const char *iodKey;
    bool outOfMemory = false;
    bool matched = false;
};

// The optional condition and type overrides after a module line's note.
bool readModuleRules(RecordReader &in, char *condition, char *types) {
    if (!in.optionalCondition(condition) || !in.optionalString(types)) return false;
    char reason[kConditionMessageSize];
    return types[0] == '\0' || checkTypeOverrides(types, reason) || in.fail(reason);
}

bool readModuleLine(RecordReader &in, IodLoad &load, bool matching) {
    StringBuffer key, name, note, condition, types;
    char usage = 0;
    if (!in.need('{', kMsgLeftBrace) || !in.string(key) || !in.need(',', kMsgComma) || !in.string(name) ||
        !in.need(',', kMsgComma) || !in.character(&usage) || !in.need(',', kMsgComma) || !in.string(note) ||
        !readModuleRules(in, condition, types))
        return false;
    if (!matching) return true;
    ModuleEntry *module = appendModule(load.set, key, name, usage, note);
    if (module != nullptr) {
        module->condition = keepText(load.set, condition);
        module->types = keepText(load.set, types);
    }
    if (module == nullptr || module->condition == nullptr || module->types == nullptr) {
        load.outOfMemory = true;
        return false;
    }
    return true;
}

bool readIodRecord(RecordReader &in, IodLoad &load) {
    StringBuffer key, name;
    if (!in.string(key) || !in.need(',', kMsgComma) || !in.string(name) || !in.need(',', kMsgComma))
        return false;
    bool matching = std::strcmp(key, load.iodKey) == 0;
    if (matching) {
        load.matched = true;
        if (load.set->key[0] == '\0') load.set->key = keepText(load.set, key);
        if (load.set->name[0] == '\0') load.set->name = keepText(load.set, name);
        if (load.set->key == nullptr || load.set->name == nullptr) {
            load.outOfMemory = true;
            return false;
        }
    }
    bool more = false;
    if (!in.listBegins(&more)) return false;
    while (more)
        if (!readModuleLine(in, load, matching) || !in.lineEnds(&more)) return false;
    return in.need('}', kMsgRightBrace) && in.need('}', kMsgRightBrace);
}

// Loads the modules of iodKey from one IOD file into the object's definitions.
int16_t loadIodFile(AppData *app, DicomObject *obj, const char *path, bool primary, const char *iodKey) {
    DefFilePtr file = openDefFile(path);
    if (!file) return primary || obj->boundDefinitions == nullptr ? -1 : 0;
    ABDef *set = primary || obj->boundDefinitions == nullptr ? newDefinitionSet() : obj->boundDefinitions;
    if (set == nullptr) return -1;
    logLoading(app, "Object", primary, path);
    ScannerPtr scanner(scanOpen(file.get()));
    // Whatever happens, the object ends with this set or with none.
    auto discard = [&]() {
        if (set != obj->boundDefinitions) freeDefinitionSet(set);
        DoneABCDef(&obj->boundDefinitions);
        return static_cast<int16_t>(-1);
    };
    if (!scanner) return discard();

    DefMessage message;
    message.locate(path, scanner.get());
    RecordReader in(scanner.get(), message);
    IodLoad load{set, iodKey};
    while (in.recordBegins() && readIodRecord(in, load)) {
    }
    if (load.outOfMemory) return discard();
    checkExtraInput(scanner.get(), message);
    scanner.reset();
    file.reset();
    if (reportDefMessage(app, message) != 0) return discard();
    if (primary && !load.matched) return discard();
    if (set != obj->boundDefinitions) {
        DoneABCDef(&obj->boundDefinitions);
        obj->boundDefinitions = set;
    }
    return 0;
}

// ---- Module files -------------------------------------------------------------------------

// Follows the sequence path of a module record ("_n" parts from `position` of `key`) from the
// module's attributes to the item entry that receives the record's attributes.
AttributeEntry *resolveSequencePath(AppData *app, ModuleEntry *module, const char *key, size_t position,
                                    DefMessage &message) {
    AttributeEntry *list = module->firstAttribute;
    for (;;) {
        if (list == nullptr) {
            message.set(kMsgEmptySequence);
            return nullptr;
        }
        if (key[position] != '_') {
            message.set(kMsgUnderscore);
            return nullptr;
        }
        size_t digits = std::strspn(key + position + 1, "0123456789");
        if (digits == 0) {
            message.set(kMsgIndex);
            return nullptr;
        }
        long index = 0;
        for (size_t i = 0; i < digits && index <= INT16_MAX; ++i)
            index = index * 10 + (key[position + 1 + i] - '0');
        if (index < 1) {
            message.set(kMsgIndexBelowOne);
            return nullptr;
        }
        AttributeEntry *sequence = nullptr;
        long seen = 0;
        for (AttributeEntry *entry = list; entry != nullptr; entry = entry->next)
            if (isSequenceTag(app, entry->tag) && ++seen == index) {
                sequence = entry;
                break;
            }
        if (sequence == nullptr) {
            message.format("less SQ Attribute than referenced in %*s", static_cast<int>(position), key);
            return nullptr;
        }
        AttributeEntry *item = sequence->firstChild;
        if (item == nullptr) item = appendItemEntry(app, module->owner, sequence);
        if (item == nullptr) {
            message.set(kMsgNoMemory);
            return nullptr;
        }
        position += 1 + digits;
        if (key[position] == '\0') return item;
        list = item->firstChild;
    }
}

struct ModuleTarget {
    ModuleEntry *module = nullptr;   // attributes go to the module...
    AttributeEntry *item = nullptr;  // ...or into this item entry
};

bool findTarget(AppData *app, ABDef *set, const char *key, ModuleTarget *target, DefMessage &message) {
    size_t split = std::strcspn(key, "_");
    for (ModuleEntry *module = set->firstModule; module != nullptr; module = module->next) {
        if (split == 0 || std::strlen(module->key) != split || std::strncmp(module->key, key, split) != 0)
            continue;
        target->module = module;
        if (key[split] == '\0') return true;
        target->item = resolveSequencePath(app, module, key, split, message);
        return target->item != nullptr;
    }
    return true;  // no such module: the record is read and discarded
}

struct ModuleLoad {
    AppData *app;
    ABDef *set;
    bool primary;
    bool outOfMemory = false;
};

bool readAttributeLine(RecordReader &in, ModuleLoad &load, const ModuleTarget &target) {
    StringBuffer name, type, note, condition;
    uint32_t tag = 0;
    if (!in.need('{', kMsgLeftBrace) || !in.hex(&tag) || !in.need(',', kMsgComma) || !in.string(name) ||
        !in.need(',', kMsgComma) || !in.string(type) || !in.need(',', kMsgComma) || !in.string(note) ||
        !in.optionalCondition(condition))
        return false;
    if (!load.primary && std::strcmp(type, "3") != 0) return in.fail(kMsgOnlyType3);
    if (target.module == nullptr) return true;
    AttributeEntry *entry = newAttribute(load.set, tag, name, type, note);
    if (entry != nullptr && condition[0] != '\0') {
        entry->condition = keepText(load.set, condition);
        if (entry->condition == nullptr) {
            freeAttribute(entry);
            entry = nullptr;
        }
    }
    if (entry == nullptr) {
        load.outOfMemory = true;
        return false;
    }
    if (target.item != nullptr)
        appendToEntry(target.item, entry);
    else
        appendToModule(target.module, entry);
    return true;
}

bool readModuleRecord(RecordReader &in, ModuleLoad &load, DefMessage &message) {
    StringBuffer key, name;
    if (!in.string(key)) return false;
    ModuleTarget target;
    if (!findTarget(load.app, load.set, key, &target, message)) return false;
    if (!in.need(',', kMsgComma) || !in.string(name) || !in.need(',', kMsgComma)) return false;
    bool more = false;
    if (!in.listBegins(&more)) return false;
    while (more)
        if (!readAttributeLine(in, load, target) || !in.lineEnds(&more)) return false;
    return in.need('}', kMsgRightBrace) && in.need('}', kMsgRightBrace);
}

int16_t loadModuleFile(AppData *app, DicomObject *obj, const char *path, bool primary) {
    if (obj->boundDefinitions == nullptr) return -1;
    DefFilePtr file = openDefFile(path);
    if (!file) return primary ? -1 : 0;
    logLoading(app, "Module", primary, path);
    ScannerPtr scanner(scanOpen(file.get()));
    if (!scanner) return -1;

    DefMessage message;
    message.locate(path, scanner.get());
    RecordReader in(scanner.get(), message);
    ModuleLoad load{app, obj->boundDefinitions, primary};
    while (in.recordBegins() && readModuleRecord(in, load, message)) {
    }
    if (!load.outOfMemory) checkExtraInput(scanner.get(), message);
    scanner.reset();
    file.reset();
    if (load.outOfMemory || reportDefMessage(app, message) != 0) {
        DoneABCDef(&obj->boundDefinitions);
        return -1;
    }
    return 0;
}

// The types that the IOD gives attributes of its modules replace the modules' own.
void applyModuleTypes(ABDef *set) {
    for (ModuleEntry *module = set->firstModule; module != nullptr; module = module->next)
        if (module->types != nullptr && module->types[0] != '\0') applyTypeOverrides(module, module->types);
}

}  // namespace
}  // namespace velmar::defs

using namespace velmar::defs;

extern "C" {

VELMAR_API int16_t InitABDef(AppData *app, DicomObject *obj, int16_t primaryOnly, const char *iodKey) {
    if (obj == nullptr || iodKey == nullptr) return -1;
    char path[kDefPathSize];
    if (!resolveDefFile(app, "ab_tab.def", path)) return -1;
    int16_t status = loadIodFile(app, obj, path, true, iodKey);
    if (status != 0 || primaryOnly != 0) return status;
    if (!resolveDefFile(app, "ab2_tab.def", path)) return 0;
    status = loadIodFile(app, obj, path, false, iodKey);
    if (status != 0) return status;
    if (appendModule(obj->boundDefinitions, VELMAR_PRIVATE_MODULE_KEY, kPrivateModuleName, 'U', "") ==
        nullptr) {
        DoneABCDef(&obj->boundDefinitions);
        return -1;
    }
    return 0;
}

VELMAR_API int16_t InitCDef(AppData *app, DicomObject *obj, int16_t primaryOnly) {
    if (obj == nullptr || obj->boundDefinitions == nullptr) return -1;
    char path[kDefPathSize];
    if (!resolveDefFile(app, "c_tab.def", path)) return -1;
    int16_t status = loadModuleFile(app, obj, path, true);
    if (status != 0) return status;
    if (primaryOnly != 0) {
        applyModuleTypes(obj->boundDefinitions);
        return 0;
    }
    if (resolveDefFile(app, "c2_tab.def", path)) status = loadModuleFile(app, obj, path, false);
    if (status == 0) applyModuleTypes(obj->boundDefinitions);
    return status;
}

}  // extern "C"
