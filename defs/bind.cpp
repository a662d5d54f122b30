// Definition binding: ties the entries of an object's definition set to the object's elements,
// adapts overlay and curve modules to the repeating groups in use, makes one item entry per item
// of every sequence, and collects undefined elements into the set's last module.
#include <cstring>

#include "defs/abcdef.h"

namespace velmar::defs {
namespace {

constexpr uint32_t kRepeatingGroupMask = 0xFFE0FFFFu;

uint32_t tagOf(const DicomElement *el) {
    return VELMAR_TAG(el->group, el->element);
}

void clearBoundFlags(DicomElement *node) {
    for (DicomElement *child = node->firstChild; child != nullptr; child = child->next) {
        child->flags &= ~VELMAR_ELEMENT_BOUND;
        clearBoundFlags(child);
    }
}

void bindEntry(AttributeEntry *entry, DicomElement *el) {
    entry->element = el;
    el->flags |= VELMAR_ELEMENT_BOUND;
}

// Clears an entry's binding and reduces its sequence content to the first item entry.
void unbindEntry(AttributeEntry *entry) {
    entry->flags &= static_cast<uint16_t>(~VELMAR_ENTRY_ADDED);
    entry->element = nullptr;
    AttributeEntry *first = entry->firstChild;
    if (first == nullptr) return;
    while (first->next != nullptr) {
        AttributeEntry *extra = first->next;
        unlinkAttribute(extra);
        freeAttribute(extra);
    }
    first->flags &= static_cast<uint16_t>(~VELMAR_ENTRY_ADDED);
    first->element = nullptr;
    for (AttributeEntry *child = first->firstChild; child != nullptr; child = child->next) unbindEntry(child);
}

void unbind(DicomObject *obj) {
    if (obj->root != nullptr) clearBoundFlags(obj->root);
    for (ModuleEntry *module = obj->boundDefinitions->firstModule; module != nullptr; module = module->next)
        for (AttributeEntry *entry = module->firstAttribute; entry != nullptr; entry = entry->next)
            unbindEntry(entry);
}

DicomElement *findChild(DicomElement *container, uint32_t tag) {
    for (DicomElement *child = container->firstChild; child != nullptr; child = child->next)
        if (tagOf(child) == tag) return child;
    return nullptr;
}

// Elements that binding collects into new entries: not bound, not a group length, group 0008 up.
bool isLeftover(const DicomElement *el) {
    return (el->flags & VELMAR_ELEMENT_BOUND) == 0 && el->element != 0x0000 && el->group >= 0x0008;
}

// A new type 3 entry for an element that the definitions lack, bound to it.
AttributeEntry *newAddedEntry(AppData *app, ABDef *set, DicomElement *el) {
    const char *name = "";
    getAttrName(app, tagOf(el), &name);
    AttributeEntry *entry = newAttribute(set, tagOf(el), name, "3", "");
    if (entry == nullptr) return nullptr;
    entry->flags = VELMAR_ENTRY_ADDED;
    bindEntry(entry, el);
    return entry;
}

ModuleEntry *findModule(ABDef *set, const char *key) {
    for (ModuleEntry *module = set->firstModule; module != nullptr; module = module->next)
        if (std::strcmp(module->key, key) == 0) return module;
    return nullptr;
}

// The module of a repeating group element: curves and overlays; nullptr for other groups.
const char *repeatingModuleKey(const DicomElement *el) {
    if ((el->group & 1) != 0) return nullptr;
    if (el->group >= 0x5000 && el->group <= 0x501E) return "C.10.2";
    if (el->group >= 0x6000 && el->group <= 0x601E) return el->element == 0x0015 ? "C.9.3" : "C.9.2";
    return nullptr;
}

AttributeEntry *findAttribute(ModuleEntry *module, uint32_t tag, uint32_t mask) {
    for (AttributeEntry *entry = module->firstAttribute; entry != nullptr; entry = entry->next)
        if ((entry->tag & mask) == (tag & mask)) return entry;
    return nullptr;
}

// Copies an entry with its non-added descendants; the copy is unbound and unlinked.
AttributeEntry *copyEntry(ABDef *set, const AttributeEntry *source) {
    // Texts are shared, not copied: copies per item would make binding quadratic in the items.
    AttributeEntry *copy = cloneAttribute(source);
    if (copy == nullptr) return nullptr;
    for (const AttributeEntry *child = source->firstChild; child != nullptr; child = child->next) {
        if ((child->flags & VELMAR_ENTRY_ADDED) != 0) continue;
        AttributeEntry *childCopy = copyEntry(set, child);
        if (childCopy == nullptr) {
            freeAttribute(copy);
            return nullptr;
        }
        appendToEntry(copy, childCopy);
    }
    return copy;
}

uint16_t groupOf(uint32_t tag) {
    return static_cast<uint16_t>(tag >> 16);
}
uint32_t withGroup(uint32_t tag, uint16_t group) {
    return (static_cast<uint32_t>(group) << 16) | (tag & 0xFFFFu);
}

// Makes the module's template group (its first group of the same repeating range as `group`)
// describe `group`: in place while the template is unused, else as appended copies.
bool adaptModule(ABDef *set, ModuleEntry *module, uint16_t group) {
    AttributeEntry *templateEntry = nullptr;
    for (AttributeEntry *entry = module->firstAttribute; entry != nullptr; entry = entry->next)
        if ((groupOf(entry->tag) >> 8) == (group >> 8)) {
            templateEntry = entry;
            break;
        }
    if (templateEntry == nullptr) return true;
    uint16_t templateGroup = groupOf(templateEntry->tag);
    bool used = false;
    for (AttributeEntry *entry = module->firstAttribute; entry != nullptr; entry = entry->next)
        if (groupOf(entry->tag) == templateGroup && entry->element != nullptr) used = true;

    AttributeEntry *last = module->lastAttribute;  // copies are appended after it
    for (AttributeEntry *entry = module->firstAttribute; entry != nullptr; entry = entry->next) {
        if (groupOf(entry->tag) == templateGroup && (entry->flags & VELMAR_ENTRY_ADDED) == 0) {
            if (!used) {
                entry->tag = withGroup(entry->tag, group);
            } else {
                AttributeEntry *copy = copyEntry(set, entry);
                if (copy == nullptr) return false;
                copy->tag = withGroup(entry->tag, group);
                appendToModule(module, copy);
            }
        }
        if (entry == last) break;
    }
    return true;
}

// Binds a top-level element that no entry has by its exact tag. False when memory is short.
bool bindLeftover(AppData *app, ABDef *set, DicomElement *el) {
    const char *key = repeatingModuleKey(el);
    ModuleEntry *module = key != nullptr ? findModule(set, key) : nullptr;
    uint32_t tag = tagOf(el);
    if (module != nullptr) {
        AttributeEntry *exact = findAttribute(module, tag, 0xFFFFFFFFu);
        if (exact == nullptr && findAttribute(module, tag, kRepeatingGroupMask) != nullptr) {
            if (!adaptModule(set, module, el->group)) return false;
            exact = findAttribute(module, tag, 0xFFFFFFFFu);
        }
        if (exact != nullptr) {
            bindEntry(exact, el);
            return true;
        }
    }
    if (set->lastModule == nullptr) return true;
    AttributeEntry *entry = newAddedEntry(app, set, el);
    if (entry == nullptr) return false;
    appendToModule(set->lastModule, entry);
    return true;
}

bool bindSequence(AppData *app, ABDef *set, AttributeEntry *sequence);

// Binds the attributes of one item entry to the item's elements and collects the rest.
bool bindItem(AppData *app, ABDef *set, AttributeEntry *itemEntry) {
    DicomElement *item = itemEntry->element;
    for (AttributeEntry *entry = itemEntry->firstChild; entry != nullptr; entry = entry->next) {
        DicomElement *el = findChild(item, entry->tag);
        if (el != nullptr) bindEntry(entry, el);
    }
    for (DicomElement *el = item->firstChild; el != nullptr && tagOf(el) != kItemDelimitationTag;
         el = el->next) {
        if (!isLeftover(el)) continue;
        AttributeEntry *entry = newAddedEntry(app, set, el);
        if (entry == nullptr) return false;
        appendToEntry(itemEntry, entry);
    }
    for (AttributeEntry *entry = itemEntry->firstChild; entry != nullptr; entry = entry->next)
        if (isSequenceTag(app, entry->tag) && !bindSequence(app, set, entry)) return false;
    return true;
}

// One item entry per item of the bound sequence element, each bound to its item.
bool bindSequence(AppData *app, ABDef *set, AttributeEntry *sequence) {
    AttributeEntry *itemEntry = sequence->firstChild;
    if (sequence->element != nullptr) {
        AttributeEntry *previous = nullptr;
        for (DicomElement *item = sequence->element->firstChild; item != nullptr; item = item->next) {
            if (tagOf(item) != kItemTag) continue;
            AttributeEntry *entry = previous == nullptr ? sequence->firstChild : previous->next;
            if (entry == nullptr && sequence->firstChild == nullptr) {
                // A sequence defined without its item gets an empty item entry to collect into.
                entry = appendItemEntry(app, set, sequence);
                if (entry == nullptr) return false;
            } else if (entry == nullptr) {
                entry = copyEntry(set, sequence->firstChild);
                if (entry == nullptr) return false;
                appendToEntry(sequence, entry);
            }
            bindEntry(entry, item);
            previous = entry;
        }
        itemEntry = previous;
    }
    // Item entries beyond the items go, except the first.
    if (itemEntry != nullptr || sequence->firstChild != nullptr) {
        AttributeEntry *keep = itemEntry != nullptr ? itemEntry : sequence->firstChild;
        while (keep->next != nullptr) {
            AttributeEntry *extra = keep->next;
            unlinkAttribute(extra);
            freeAttribute(extra);
        }
    }
    for (AttributeEntry *entry = sequence->firstChild; entry != nullptr; entry = entry->next)
        if (entry->element != nullptr && !bindItem(app, set, entry)) return false;
    return true;
}

int16_t bind(AppData *app, DicomObject *obj) {
    ABDef *set = obj->boundDefinitions;
    unbind(obj);
    DicomElement *root = obj->root;
    if (root == nullptr) return 0;
    for (ModuleEntry *module = set->firstModule; module != nullptr; module = module->next)
        for (AttributeEntry *entry = module->firstAttribute; entry != nullptr; entry = entry->next) {
            DicomElement *el = findChild(root, entry->tag);
            if (el != nullptr) bindEntry(entry, el);
        }
    for (DicomElement *el = root->firstChild; el != nullptr; el = el->next)
        if (isLeftover(el) && !bindLeftover(app, set, el)) return -1;
    for (ModuleEntry *module = set->firstModule; module != nullptr; module = module->next)
        for (AttributeEntry *entry = module->firstAttribute; entry != nullptr; entry = entry->next)
            if (isSequenceTag(app, entry->tag) && !bindSequence(app, set, entry)) return -1;
    return 0;
}

}  // namespace
}  // namespace velmar::defs

using namespace velmar::defs;

extern "C" {

VELMAR_API int16_t InitUABCDef(AppData *app, DicomObject *obj, int16_t primaryOnly) {
    if (obj == nullptr) return -1;
    DicomElement sopClass{};
    sopClass.group = 0x0008;
    sopClass.element = 0x0016;
    DOU_defXVRTypeByTags(app, sopClass.group, sopClass.element, &sopClass.vr);
    char uid[VELMAR_UID_SIZE] = "";
    if (DO_searchForElement(obj, &sopClass) == 0 && sopClass.value != nullptr) {
        size_t n = sopClass.length < VELMAR_UID_SIZE - 1 ? sopClass.length : VELMAR_UID_SIZE - 1;
        std::memcpy(uid, sopClass.value, n);
        uid[n] = '\0';
    }
    D_Free(&sopClass.value);
    if (uid[0] == '\0') {
        log_message(app != nullptr ? app->log : nullptr, "SOP Class UID (0008,0016) not defined.", 1);
        return -1;
    }
    char iodKey[VELMAR_IOD_KEY_SIZE] = "";
    int16_t status = InitUIDDef(app, uid, primaryOnly, iodKey);
    if (status == 0) status = InitABDef(app, obj, primaryOnly, iodKey);
    if (status == 0) status = InitCDef(app, obj, primaryOnly);
    if (status == 0) status = BindABCDef(app, obj);
    return status;
}

VELMAR_API int16_t BindABCDef(AppData *app, DicomObject *obj) {
    if (obj == nullptr || obj->boundDefinitions == nullptr) return 0;
    return bind(app, obj);
}

VELMAR_API int16_t RebindABCDef(AppData *app, DicomObject *obj) {
    if (obj == nullptr || obj->boundDefinitions == nullptr) return 0;
    unbind(obj);
    return BindABCDef(app, obj);
}

}  // extern "C"
