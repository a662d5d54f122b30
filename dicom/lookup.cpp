// VR and attribute lookups: the fixed VR table, key folding of repeating groups, indexed dictionary
// lookups with their defaults, and byte-order reversal of values by VR.
#include "dicom/lookup.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <new>
#include <unordered_map>

namespace velmar::dicom {
namespace {

struct VRRow {
    const char *name;
    uint32_t maxLength;
};

constexpr VRRow kVRTable[VR_COUNT] = {
    {"AE", 16},          {"AS", 4},  {"AT", 4},  {"CS", 16}, {"DA", 8},     {"DS", 16},   {"DT", 26},
    {"FL", 4},           {"FD", 8},  {"IS", 12}, {"LO", 64}, {"LT", 10240}, {"OB", 0},    {"OW", 0},
    {"PN", 64},          {"SH", 16}, {"SL", 4},  {"SQ", 0},  {"SS", 2},     {"ST", 1024}, {"TM", 16},
    {"UI", 64},          {"UL", 4},  {"US", 2},  {"RE", 0},  {"XS", 2},     {"XU", 4},    {"OX", 0},
    {"XX", 0xFFFFFFFFu}, {"na", 0},  {"??", 0},  {"UN", 0},  {"UT", 0},     {"UC", 0},    {"UR", 0},
    {"OF", 0},           {"OD", 0},  {"OL", 0},  {"OV", 0},  {"SV", 8},     {"UV", 8},    {"XW", 0},
};

// Index over both tables: folded key to the winning entry. It remembers which tables it was built
// from, so a reload (new pointers or counts) rebuilds it on the next lookup.
struct TagIndex {
    const AttrDef *primary = nullptr;
    const AttrDef *secondary = nullptr;
    int16_t primaryCount = 0;
    int16_t secondaryCount = 0;
    std::unordered_map<uint32_t, const AttrDef *> entries;
};

void addTable(TagIndex &index, const AttrDef *table, int16_t count) {
    if (table == nullptr || count <= 0) return;
    for (int i = 0; i < count; ++i) index.entries.emplace(table[i].tag, &table[i]);  // first wins
}

TagIndex *currentIndex(AppData *app) {
    auto *index = static_cast<TagIndex *>(app->tagIndex);
    if (index != nullptr && index->primary == app->primaryTags && index->secondary == app->secondaryTags &&
        index->primaryCount == app->primaryTagCount && index->secondaryCount == app->secondaryTagCount)
        return index;
    releaseTagIndex(app);
    if ((app->primaryTags == nullptr || app->primaryTagCount <= 0) &&
        (app->secondaryTags == nullptr || app->secondaryTagCount <= 0))
        return nullptr;
    try {
        auto fresh = new TagIndex();
        fresh->primary = app->primaryTags;
        fresh->secondary = app->secondaryTags;
        fresh->primaryCount = app->primaryTagCount;
        fresh->secondaryCount = app->secondaryTagCount;
        fresh->entries.reserve(static_cast<size_t>(std::max<int>(0, app->primaryTagCount)) +
                               static_cast<size_t>(std::max<int>(0, app->secondaryTagCount)));
        addTable(*fresh, app->primaryTags, app->primaryTagCount);
        addTable(*fresh, app->secondaryTags, app->secondaryTagCount);
        app->tagIndex = fresh;
        return fresh;
    } catch (const std::bad_alloc &) {
        return nullptr;
    }
}

// Linear scan, used only when the index cannot be built (memory exhausted).
const AttrDef *scanTables(const AppData *app, uint32_t key) {
    for (int i = 0; app->primaryTags != nullptr && i < app->primaryTagCount; ++i)
        if (app->primaryTags[i].tag == key) return &app->primaryTags[i];
    for (int i = 0; app->secondaryTags != nullptr && i < app->secondaryTagCount; ++i)
        if (app->secondaryTags[i].tag == key) return &app->secondaryTags[i];
    return nullptr;
}

int32_t defaultVR(uint32_t key) {
    uint16_t group = static_cast<uint16_t>(key >> 16);
    uint16_t element = static_cast<uint16_t>(key & 0xFFFF);
    if (element == 0) return VR_UL;
    if ((group & 1) != 0 && element >= 0x0010 && element <= 0x00FF) return VR_LO;
    return -1;
}

const char *defaultName(uint32_t key) {
    uint16_t group = static_cast<uint16_t>(key >> 16);
    uint16_t element = static_cast<uint16_t>(key & 0xFFFF);
    if (element == 0) return "Group Length";
    if ((group & 1) != 0 && element >= 0x0010 && element <= 0x00FF) return "Private Data Creator";
    return "";
}

// The dictionary's stand-ins for a choice of VRs, and the rows that are no VR at all.
bool isConcrete(int32_t vr) {
    if (vr < 0 || vr >= VR_COUNT) return false;
    return vr != VR_XS && vr != VR_XU && vr != VR_OX && vr != VR_XW && vr != VR_NA && vr != VR_UNKNOWN_TEXT &&
           vr != VR_RE;
}

bool isStructuralTag(uint32_t tag) {
    return tag == 0xFFFEE000u || tag == 0xFFFEE00Du || tag == 0xFFFEE0DDu;
}

// A 16-bit value of the element `tag` in the data set or item that holds `el`, or in the ones
// around it; -1 when none has it.
int32_t nearestU16(const DicomElement *el, uint32_t tag) {
    for (const DicomElement *set = el->parent; set != nullptr; set = set->parent) {
        for (const DicomElement *c = set->firstChild; c != nullptr; c = c->next) {
            if (VELMAR_TAG(c->group, c->element) != tag) continue;
            if (c->value == nullptr || c->length == VELMAR_UNDEFINED_LENGTH || c->length < 2) return -1;
            uint16_t value;
            std::memcpy(&value, c->value, 2);
            return value;
        }
        if (set->parent != nullptr) set = set->parent;  // from an item up past its sequence
    }
    return -1;
}

int32_t resolveDictionaryVR(const DicomElement *el, int32_t vr) {
    switch (vr) {
        case VR_XS:
            return nearestU16(el, 0x00280103u) == 1 ? VR_SS : VR_US;
        case VR_XU:
            return VR_US;
        case VR_OX:
            return VR_OW;
        case VR_XW:
            return VR_OW;  // LUT data may exceed what a 16-bit length holds
        case VR_RE:
        case VR_NA:
        case VR_UNKNOWN_TEXT:
            return VR_UN;
        default:
            return vr >= 0 ? vr : VR_UN;
    }
}

bool holdsItems(const DicomElement *el) {
    for (const DicomElement *c = el->firstChild; c != nullptr; c = c->next)
        if (VELMAR_TAG(c->group, c->element) == 0xFFFEE000u) return true;
    return false;
}

}  // namespace

uint32_t normaliseTag(uint32_t tag) {
    uint16_t group = static_cast<uint16_t>(tag >> 16);
    if ((group & 1) == 0 && ((group >= 0x5000 && group <= 0x501F) || (group >= 0x6000 && group <= 0x601F)))
        return tag & 0xFFE0FFFFu;
    if ((tag & 0xFFFFFF00u) == 0x00203100u) return 0x00203100u;
    return tag;
}

const AttrDef *findAttr(AppData *app, uint32_t tag) {
    if (app == nullptr) return nullptr;
    uint32_t key = normaliseTag(tag);
    TagIndex *index = currentIndex(app);
    if (index == nullptr) return scanTables(app, key);
    auto it = index->entries.find(key);
    return it == index->entries.end() ? nullptr : it->second;
}

void releaseTagIndex(AppData *app) {
    if (app == nullptr) return;
    delete static_cast<TagIndex *>(app->tagIndex);
    app->tagIndex = nullptr;
}

}  // namespace velmar::dicom

using velmar::dicom::findAttr;
using velmar::dicom::normaliseTag;

extern "C" {

VELMAR_API int32_t changeVRnameToVR(const char *text) {
    if (text == nullptr) return -1;
    // Two upper-case letters, as nearly every name is: one table look-up.
    static const std::array<int8_t, 26 * 26> byLetters = [] {
        std::array<int8_t, 26 * 26> table{};
        table.fill(-1);
        for (int32_t i = VR_COUNT - 1; i >= 0; --i) {  // downwards, so the first row of a name wins
            const char *name = velmar::dicom::kVRTable[i].name;
            if (name[0] >= 'A' && name[0] <= 'Z' && name[1] >= 'A' && name[1] <= 'Z' && name[2] == '\0')
                table[static_cast<size_t>((name[0] - 'A') * 26 + (name[1] - 'A'))] = static_cast<int8_t>(i);
        }
        return table;
    }();
    if (text[0] >= 'A' && text[0] <= 'Z' && text[1] >= 'A' && text[1] <= 'Z' && text[2] == '\0')
        return byLetters[static_cast<size_t>((text[0] - 'A') * 26 + (text[1] - 'A'))];
    for (int32_t i = 0; i < VR_COUNT; ++i)
        if (std::strcmp(velmar::dicom::kVRTable[i].name, text) == 0) return i;
    return -1;
}

VELMAR_API const char *changeVRToVRname(int32_t code) {
    if (code < 0 || code >= VR_COUNT) return nullptr;
    return velmar::dicom::kVRTable[code].name;
}

VELMAR_API uint32_t getVRMaxLength(int32_t code) {
    if (code < 0 || code >= VR_COUNT) return 0;
    return velmar::dicom::kVRTable[code].maxLength;
}

VELMAR_API int16_t hasLongLengthVR(int32_t code) {
    switch (code) {
        case VR_OB:
        case VR_OW:
        case VR_SQ:
        case VR_UN:
        case VR_UT:
        case VR_UC:
        case VR_UR:
        case VR_OF:
        case VR_OD:
        case VR_OL:
        case VR_OV:
        case VR_SV:
        case VR_UV:
            return 1;
        default:
            return 0;
    }
}

VELMAR_API int16_t isAllowedVR(AppData *app, uint32_t tag, int32_t vr) {
    using velmar::dicom::isConcrete;
    if (!isConcrete(vr)) return 0;
    int32_t known = -1;
    if (getVR(app, tag, &known) != 0 && known < 0) return 1;
    switch (known) {
        case VR_XS:
        case VR_XU:
            return vr == VR_US || vr == VR_SS ? 1 : 0;
        case VR_OX:
            return vr == VR_OB || vr == VR_OW ? 1 : 0;
        case VR_XW:
            return vr == VR_US || vr == VR_SS || vr == VR_OW ? 1 : 0;
        default:
            return vr == known ? 1 : 0;
    }
}

VELMAR_API int32_t concreteVR(AppData *app, const DicomElement *el) {
    if (el == nullptr) return -1;
    uint32_t tag = VELMAR_TAG(el->group, el->element);
    if (velmar::dicom::isStructuralTag(tag)) return VR_XX;
    if (velmar::dicom::holdsItems(el)) return VR_SQ;
    if (isAllowedVR(app, tag, el->vr) != 0) return el->vr;
    int32_t known = -1;
    getVR(app, tag, &known);
    return velmar::dicom::resolveDictionaryVR(el, known);
}

VELMAR_API int16_t getVR(AppData *app, uint32_t tag, int32_t *vr_out) {
    const AttrDef *def = findAttr(app, tag);
    if (vr_out != nullptr) *vr_out = def != nullptr ? def->vr : velmar::dicom::defaultVR(normaliseTag(tag));
    return def != nullptr ? 0 : -1;
}

VELMAR_API int16_t getVRtext(AppData *app, uint32_t tag, int32_t *vr_out, const char **name_out) {
    int32_t vr = -1;
    int16_t found = getVR(app, tag, &vr);
    if (vr_out != nullptr) *vr_out = vr;
    if (name_out != nullptr) *name_out = vr < 0 ? "??" : changeVRToVRname(vr);
    return found;
}

VELMAR_API int16_t getVM(AppData *app, uint32_t tag, int16_t *vm_out) {
    const AttrDef *def = findAttr(app, tag);
    if (vm_out != nullptr) *vm_out = def != nullptr ? def->vm : 0;
    return def != nullptr ? 0 : -1;
}

VELMAR_API int16_t getAttrName(AppData *app, uint32_t tag, const char **text_out) {
    const AttrDef *def = findAttr(app, tag);
    if (text_out != nullptr) {
        const char *name = def != nullptr ? def->name : velmar::dicom::defaultName(normaliseTag(tag));
        *text_out = name != nullptr ? name : "";
    }
    return def != nullptr ? 0 : -1;
}

VELMAR_API int16_t getPermitted(AppData *app, uint32_t tag, const char **text_out) {
    const AttrDef *def = findAttr(app, tag);
    if (text_out != nullptr) *text_out = def != nullptr && def->permitted != nullptr ? def->permitted : "";
    return def != nullptr ? 0 : -1;
}

VELMAR_API int16_t getCStype(AppData *app, uint32_t tag, const char **text_out) {
    const AttrDef *def = findAttr(app, tag);
    if (text_out != nullptr) *text_out = def != nullptr && def->csType != nullptr ? def->csType : "";
    return def != nullptr ? 0 : -1;
}

VELMAR_API int16_t getVRandName(AppData *app, uint32_t tag, int32_t *vr_out, const char **vrname_out,
                                const char **name_out) {
    const AttrDef *def = findAttr(app, tag);
    uint32_t key = normaliseTag(tag);
    int32_t vr = def != nullptr ? def->vr : velmar::dicom::defaultVR(key);
    if (vr_out != nullptr) *vr_out = vr;
    if (vrname_out != nullptr) *vrname_out = vr < 0 ? "??" : changeVRToVRname(vr);
    if (name_out != nullptr) {
        const char *name = def != nullptr ? def->name : velmar::dicom::defaultName(key);
        *name_out = name != nullptr ? name : "";
    }
    return def != nullptr ? 0 : -1;
}

VELMAR_API int16_t DOU_defXVRTypeByTags(AppData *app, uint16_t group, uint16_t element, int32_t *vr_out) {
    return getVR(app, VELMAR_TAG(group, element), vr_out);
}

VELMAR_API int16_t bigendian(void) { return 0; }

VELMAR_API void change_TransferSyntax(int32_t vr, DicomElement *el) {
    if (el == nullptr || el->value == nullptr || el->length == 0 || el->length == VELMAR_UNDEFINED_LENGTH) return;
    uint32_t unit = 0;
    switch (vr) {
    case VR_AT: case VR_OW: case VR_SS: case VR_US: unit = 2; break;
    case VR_FL:
    case VR_SL:
    case VR_UL:
    case VR_OF:
    case VR_OL:
        unit = 4;
        break;
    case VR_FD:
    case VR_OD:
    case VR_OV:
    case VR_SV:
    case VR_UV:
        unit = 8;
        break;
    default: return;
    }
    auto *bytes = static_cast<unsigned char *>(el->value);
    // Only whole units are reversed, so a value whose length is not a multiple of the unit
    // never has bytes past its end touched.
    for (uint32_t offset = 0; offset + unit <= el->length; offset += unit)
        swapbytes(bytes + offset, static_cast<int16_t>(unit));
}

}  // extern "C"
