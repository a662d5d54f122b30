// Object verification: reports every element's value problems by the dictionary alone, or every
// module's missing, empty and faulty attributes by the object's bound definitions.
#include <cstdio>
#include <cstring>

#include "defs/abcdef.h"

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

// Problems of one definition entry: presence by its type, then the value check. Attributes whose
// VR the dictionary does not know are not judged here.
uint16_t checkAttributeEntry(AppData *app, const AttributeEntry *entry) {
    const DicomElement *el = entry->element;
    if (std::strcmp(entry->type, "1") == 0) {
        if (el == nullptr) return VELMAR_CHECK_TYPE1_MISSING;
        if (el->length == 0) return VELMAR_CHECK_TYPE1_EMPTY;
    } else if (std::strcmp(entry->type, "2") == 0) {
        if (el == nullptr) return VELMAR_CHECK_TYPE2_MISSING;
    } else if (el == nullptr) {
        return 0;
    }
    uint16_t mask = checkElementValue(app, el);
    return (mask & VELMAR_CHECK_UNKNOWN_VR) != 0 ? 0 : mask;
}

// Checks an entry and reports its problems; true when it has one.
bool verifyEntry(AppData *app, const AttributeEntry *entry, bool conditional) {
    uint16_t mask = checkAttributeEntry(app, entry);
    if (mask == 0) return false;
    ValueText value(app, entry->element);
    reportProblems(app, entry->tag, entry->name, value.text, mask, conditional ? 1 : 0);
    return true;
}

// The attributes inside the items of a sequence attribute, at every depth. Only item entries bound
// to an item of the object are checked: an absent or empty sequence requires nothing inside it.
void verifySequenceContent(AppData *app, const AttributeEntry *sequence, bool conditional) {
    for (const AttributeEntry *item = sequence->firstChild; item != nullptr; item = item->next) {
        if (item->element == nullptr) continue;
        for (const AttributeEntry *entry = item->firstChild; entry != nullptr; entry = entry->next) {
            verifyEntry(app, entry, conditional);
            verifySequenceContent(app, entry, conditional);
        }
    }
}

bool moduleIsUnused(const ModuleEntry *module) {
    for (const AttributeEntry *entry = module->firstAttribute; entry != nullptr; entry = entry->next)
        if (entry->element != nullptr || isSQEmpty(entry) == 0) return false;
    return true;
}

int16_t verifyModule(AppData *app, const ModuleEntry *module) {
    bool conditional = module->usage == 'C';
    char line[kReportLineSize];
    log_message(logOf(app), "", -3);
    std::snprintf(line, sizeof line, conditional ? "Checking %s Module -- Type = C" : "Checking %s Module",
                  module->name);
    log_message(logOf(app), line, -1);
    if (std::strcmp(module->key, VELMAR_PRIVATE_MODULE_KEY) == 0) return 0;
    if (module->usage == 'U' && moduleIsUnused(module)) return 0;
    int16_t result = 0;
    for (const AttributeEntry *entry = module->firstAttribute; entry != nullptr; entry = entry->next) {
        if (verifyEntry(app, entry, conditional) && !conditional) result = 1;
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
    for (const ModuleEntry *module = obj->boundDefinitions->firstModule; module != nullptr;
         module = module->next)
        if (verifyModule(app, module) != 0) result = 1;
    return result;
}

}  // extern "C"
