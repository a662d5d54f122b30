// Element editing through definition entries: the cursor operations positioned at the element
// bound to an entry, followed by a new binding whenever the object's structure changed.
#include "velmar/defs.h"

namespace velmar::support {
namespace {

constexpr uint16_t kAnyTag = 0xFFFF;

// The element bound to the entry, or the first top-level element when there is no entry.
DicomElement *startNode(AppData *app, DicomObject *obj, const AttributeEntry *entry) {
    if (entry != nullptr) return entry->element;
    DicomElement *first = nullptr;
    DE_search(app, obj, &first, kAnyTag, kAnyTag, 0);
    return first;
}

}  // namespace
}  // namespace velmar::support

using velmar::support::kAnyTag;
using velmar::support::startNode;

extern "C" {

VELMAR_API int16_t DEF_search(AppData *app, DicomObject *obj, AttributeEntry *entry, uint16_t group,
                              uint16_t element, int32_t item) {
    if (obj == nullptr) return 0;
    DicomElement *node = startNode(app, obj, entry);
    DE_search(app, obj, &node, group, element, item);
    // A negative item number appended an item: the sequence needs a new item entry.
    if (item < 0) BindABCDef(app, obj);
    return 0;
}

VELMAR_API int16_t DEF_add(AppData *app, DicomObject *obj, AttributeEntry *entry, const DicomElement *el) {
    if (obj == nullptr || el == nullptr) return 0;
    obj->cursor = startNode(app, obj, entry);
    DE_add(app, obj, el);
    BindABCDef(app, obj);
    return 0;
}

VELMAR_API int16_t DEF_delete(AppData *app, DicomObject *obj, AttributeEntry *entry) {
    if (obj == nullptr || entry == nullptr || entry->element == nullptr) return 0;
    obj->cursor = entry->element;
    DicomElement key{};
    key.group = kAnyTag;
    key.element = kAnyTag;
    DE_delete(app, obj, &key);
    BindABCDef(app, obj);
    return 0;
}

}  // extern "C"
