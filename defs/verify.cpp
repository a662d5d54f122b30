// Object verification: reports every element's value problems by the dictionary alone, or every
// module's missing, empty and faulty attributes by the object's bound definitions.
#include <cstdio>
#include <cstring>
#include <unordered_map>

#include "defs/abcdef.h"
#include "defs/condition.h"

namespace velmar::defs {
namespace {

constexpr size_t kReportLineSize = 512;

const char *problemMessage(uint16_t bit) {
    switch (bit) {
        case VELMAR_CHECK_LENGTH:
            return "\t\tLength of element is less or greater than the permitted minimum/maximum.";
        case VELMAR_CHECK_CHARACTERS:
            return "\t\tElement contains extra characters.";
        case VELMAR_CHECK_FORMAT:
            return "\t\tElement does not satisfy the standard VR format.";
        case VELMAR_CHECK_RANGE:
            return "\t\tElement contains impossible value.";
        case VELMAR_CHECK_UNKNOWN_VR:
            return "\t\tVR of element is unknown.";
        case VELMAR_CHECK_VM:
            return "\t\tVM of element is incorrect.";
        case VELMAR_CHECK_NOT_PERMITTED:
            return "\t\tElement contains nonpermitted value.";
        case VELMAR_CHECK_TYPE1_MISSING:
            return "\t\tType 1 element is missing.";
        case VELMAR_CHECK_TYPE1_EMPTY:
            return "\t\tType 1 element has 0 length.";
        case VELMAR_CHECK_TYPE2_MISSING:
            return "\t\tType 2 element is missing.";
        default:
            return "\t\tUnhandled error code.";
    }
}

Log *logOf(AppData *app) {
    return app != nullptr ? app->log : nullptr;
}

// The value text of a report: the printer's rendering, empty for an absent element.
struct ValueText {
    char text[kReportLineSize] = "";
    ValueText(AppData *app, const DicomElement *el) {
        if (el != nullptr) print_element_value(app, el, text, sizeof text);
    }
};

void verifyElements(AppData *app, DicomElement *container, int16_t *result) {
    for (DicomElement *el = container->firstChild; el != nullptr; el = el->next) {
        uint16_t mask = checkElementValue(app, el);
        if (mask != 0) {
            ValueText value(app, el);
            const char *name = "";
            getAttrName(app, VELMAR_TAG(el->group, el->element), &name);
            reportProblems(app, VELMAR_TAG(el->group, el->element), name, value.text, mask, 0);
            if ((mask & VELMAR_CHECK_UNKNOWN_VR) == 0) *result = 1;
        }
        verifyElements(app, el, result);
    }
}

// The type that applies to an entry: a 1C or 2C attribute whose condition holds over the elements
// of its level counts as type 1 or 2 (and *required says so); otherwise as written.
const char *effectiveType(AppData *app, const AttributeEntry *entry, const DicomElement *level,
                          bool *required) {
    *required = false;
    bool type1c = std::strcmp(entry->type, "1C") == 0;
    if (!type1c && std::strcmp(entry->type, "2C") != 0) return entry->type;
    if (evaluateCondition(app, entry->condition, level) != 1) return entry->type;
    *required = true;
    return type1c ? "1" : "2";
}

// Problems of one definition entry: presence by its type, then the value check. Attributes whose
// VR the dictionary does not know are not judged here.
uint16_t checkAttributeEntry(AppData *app, const AttributeEntry *entry, const char *type) {
    const DicomElement *el = entry->element;
    if (std::strcmp(type, "1") == 0) {
        if (el == nullptr) return VELMAR_CHECK_TYPE1_MISSING;
        if (elementHasNoValue(el)) return VELMAR_CHECK_TYPE1_EMPTY;
    } else if (std::strcmp(type, "2") == 0) {
        if (el == nullptr) return VELMAR_CHECK_TYPE2_MISSING;
    } else if (el == nullptr) {
        return 0;
    }
    uint16_t mask = checkElementValue(app, el);
    return (mask & VELMAR_CHECK_UNKNOWN_VR) != 0 ? 0 : mask;
}

// Checks an entry at its level and reports its problems, with the condition that made it
// required; true when it has one.
bool verifyEntry(AppData *app, const AttributeEntry *entry, const DicomElement *level, bool conditional) {
    bool required = false;
    const char *type = effectiveType(app, entry, level, &required);
    uint16_t mask = checkAttributeEntry(app, entry, type);
    if (mask == 0) return false;
    ValueText value(app, entry->element);
    reportProblems(app, entry->tag, entry->name, value.text, mask, conditional ? 1 : 0);
    if (required) {
        char line[kReportLineSize];
        std::snprintf(line, sizeof line, "\tType %s required: %s holds", entry->type, entry->condition);
        log_message(logOf(app), line, conditional ? -2 : -1);
    }
    return true;
}

// The attributes inside the items of a sequence attribute, at every depth. Only item entries bound
// to an item of the object are checked: an absent or empty sequence requires nothing inside it.
void verifySequenceContent(AppData *app, const AttributeEntry *sequence, bool conditional) {
    for (const AttributeEntry *item = sequence->firstChild; item != nullptr; item = item->next) {
        if (item->element == nullptr) continue;
        for (const AttributeEntry *entry = item->firstChild; entry != nullptr; entry = entry->next) {
            verifyEntry(app, entry, item->element, conditional);
            verifySequenceContent(app, entry, conditional);
        }
    }
}

// How many modules of the set define each top-level tag (entries added by binding not counted).
using TagCounts = std::unordered_map<uint32_t, int>;

TagCounts countModuleTags(const ABDef *set) {
    TagCounts counts;
    for (const ModuleEntry *module = set->firstModule; module != nullptr; module = module->next)
        for (const AttributeEntry *entry = module->firstAttribute; entry != nullptr; entry = entry->next)
            if ((entry->flags & VELMAR_ENTRY_ADDED) == 0) ++counts[entry->tag];
    return counts;
}

// A module is in use when the object holds an attribute that belongs to it alone: an attribute
// that another module defines too (Pixel Spacing of SC Image and Image Plane) does not switch on
// an optional module.
bool moduleInUse(const ModuleEntry *module, const TagCounts &counts) {
    for (const AttributeEntry *entry = module->firstAttribute; entry != nullptr; entry = entry->next) {
        auto it = counts.find(entry->tag);
        bool alone = (entry->flags & VELMAR_ENTRY_ADDED) != 0 || it == counts.end() || it->second < 2;
        if (alone && (entry->element != nullptr || isSQEmpty(entry) == 0)) return true;
    }
    return false;
}

enum class ModuleCheck { Skip, Required, Warn };

// Whether a module is checked, and whether its problems are errors or warnings: a usage C module
// is required when its condition holds and skipped when it does not; without an evaluable
// condition it is checked with warnings when in use. A usage U module is checked when in use.
ModuleCheck moduleCheck(AppData *app, const DicomObject *obj, const ModuleEntry *module,
                        const TagCounts &counts) {
    if (std::strcmp(module->key, VELMAR_PRIVATE_MODULE_KEY) == 0) return ModuleCheck::Skip;
    if (module->usage != 'C')
        return module->usage != 'U' || moduleInUse(module, counts) ? ModuleCheck::Required
                                                                   : ModuleCheck::Skip;
    char line[kReportLineSize];
    int holds = evaluateCondition(app, module->condition, obj->root);
    if (holds >= 0) {
        std::snprintf(line, sizeof line,
                      holds == 1 ? "\tRequired: %s holds" : "\tNot required: %s does not hold",
                      module->condition);
        log_message(logOf(app), line, -1);
        return holds == 1 ? ModuleCheck::Required : ModuleCheck::Skip;
    }
    return moduleInUse(module, counts) ? ModuleCheck::Warn : ModuleCheck::Skip;
}

int16_t verifyModule(AppData *app, const DicomObject *obj, const ModuleEntry *module,
                     const TagCounts &counts) {
    char line[kReportLineSize];
    log_message(logOf(app), "", -3);
    std::snprintf(line, sizeof line,
                  module->usage == 'C' ? "Checking %s Module -- Type = C" : "Checking %s Module",
                  module->name);
    log_message(logOf(app), line, -1);
    ModuleCheck check = moduleCheck(app, obj, module, counts);
    if (check == ModuleCheck::Skip) return 0;
    bool conditional = check == ModuleCheck::Warn;
    int16_t result = 0;
    for (const AttributeEntry *entry = module->firstAttribute; entry != nullptr; entry = entry->next) {
        if (verifyEntry(app, entry, obj->root, conditional) && !conditional) result = 1;
        verifySequenceContent(app, entry, conditional);
    }
    return result;
}

}  // namespace
}  // namespace velmar::defs

using namespace velmar::defs;

extern "C" {

VELMAR_API void reportProblems(AppData *app, uint32_t tag, const char *name, const char *valueText,
                               uint16_t mask, int16_t conditional) {
    char line[kReportLineSize];
    std::snprintf(line, sizeof line, "\t(%04hX, %04hX) -- %s\n\tValue:\t%s",
                  static_cast<unsigned short>(tag >> 16), static_cast<unsigned short>(tag & 0xFFFF),
                  name != nullptr ? name : "", valueText != nullptr ? valueText : "");
    bool warning = conditional != 0 || (mask & VELMAR_CHECK_UNKNOWN_VR) != 0;
    log_message(logOf(app), line, warning ? -2 : -1);
    for (uint32_t bit = 1; bit <= 0x8000u; bit <<= 1) {
        if ((mask & bit) == 0) continue;
        bool bitWarning = conditional != 0 || bit == VELMAR_CHECK_UNKNOWN_VR;
        log_message(logOf(app), problemMessage(static_cast<uint16_t>(bit)), bitWarning ? 2 : 1);
    }
}

VELMAR_API int16_t isSQEmpty(const AttributeEntry *entry) {
    if (entry == nullptr) return 1;
    for (const AttributeEntry *item = entry->firstChild; item != nullptr; item = item->next)
        for (const AttributeEntry *inner = item->firstChild; inner != nullptr; inner = inner->next)
            if (inner->element != nullptr || isSQEmpty(inner) == 0) return 0;
    return 1;
}

VELMAR_API int16_t VerifyObjectByTag(AppData *app, DicomObject *obj) {
    if (obj == nullptr || obj->root == nullptr) return 0;
    int16_t result = 0;
    verifyElements(app, obj->root, &result);
    return result;
}

VELMAR_API int16_t VerifyObjectByModule(AppData *app, DicomObject *obj) {
    if (obj == nullptr || obj->boundDefinitions == nullptr) return 2;
    char line[kReportLineSize];
    std::snprintf(line, sizeof line, "%s", obj->boundDefinitions->name);
    log_message(logOf(app), line, -1);
    int16_t result = 0;
    const TagCounts counts = countModuleTags(obj->boundDefinitions);
    for (const ModuleEntry *module = obj->boundDefinitions->firstModule; module != nullptr;
         module = module->next)
        if (verifyModule(app, obj, module, counts) != 0) result = 1;
    return result;
}

}  // extern "C"
