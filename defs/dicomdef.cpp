// IOD and module definition sets bound to objects: building, linking and freeing their module and
// attribute entries.
#include <cstdlib>
#include <cstring>

#include "defs/abcdef.h"

namespace velmar::defs {

ABDef *newDefinitionSet() {
    auto *set = static_cast<ABDef *>(std::calloc(1, sizeof(ABDef)));
    if (set == nullptr) return nullptr;
    set->strings = InitDStringBuffer(kSetTextBlock);
    if (set->strings == nullptr) {
        std::free(set);
        return nullptr;
    }
    set->key = keepText(set, "");
    set->name = set->key;
    return set;
}

const char *keepText(ABDef *set, const char *text) {
    if (set == nullptr) return nullptr;
    return AddToDStringBuffer(set->strings, text != nullptr ? text : "");
}

void freeAttribute(AttributeEntry *entry) {
    AttributeEntry *child = entry->firstChild;
    while (child != nullptr) {
        AttributeEntry *next = child->next;
        freeAttribute(child);
        child = next;
    }
    std::free(entry);
}

void freeDefinitionSet(ABDef *set) {
    if (set == nullptr) return;
    ModuleEntry *module = set->firstModule;
    while (module != nullptr) {
        AttributeEntry *entry = module->firstAttribute;
        while (entry != nullptr) {
            AttributeEntry *next = entry->next;
            freeAttribute(entry);
            entry = next;
        }
        ModuleEntry *next = module->next;
        std::free(module);
        module = next;
    }
    DoneDStringBuffer(&set->strings);
    std::free(set);
}

ModuleEntry *appendModule(ABDef *set, const char *key, const char *name, char usage, const char *note) {
    auto *module = static_cast<ModuleEntry *>(std::calloc(1, sizeof(ModuleEntry)));
    if (module == nullptr) return nullptr;
    module->key = keepText(set, key);
    module->name = keepText(set, name);
    module->note = keepText(set, note);
    if (module->key == nullptr || module->name == nullptr || module->note == nullptr) {
        std::free(module);
        return nullptr;
    }
    module->condition = module->key + std::strlen(module->key);  // ""
    module->types = module->condition;
    module->usage = usage;
    module->owner = set;
    module->prev = set->lastModule;
    if (set->lastModule != nullptr)
        set->lastModule->next = module;
    else
        set->firstModule = module;
    set->lastModule = module;
    return module;
}

AttributeEntry *newAttribute(ABDef *set, uint32_t tag, const char *name, const char *type, const char *note) {
    auto *entry = static_cast<AttributeEntry *>(std::calloc(1, sizeof(AttributeEntry)));
    if (entry == nullptr) return nullptr;
    entry->tag = tag;
    entry->name = keepText(set, name);
    entry->note = keepText(set, note);
    if (entry->name == nullptr || entry->note == nullptr) {
        std::free(entry);
        return nullptr;
    }
    entry->condition = entry->note + std::strlen(entry->note);  // ""
    if (type != nullptr) std::strncpy(entry->type, type, sizeof entry->type - 1);
    return entry;
}

AttributeEntry *cloneAttribute(const AttributeEntry *source) {
    auto *entry = static_cast<AttributeEntry *>(std::calloc(1, sizeof(AttributeEntry)));
    if (entry == nullptr) return nullptr;
    entry->tag = source->tag;
    entry->name = source->name;
    entry->note = source->note;
    entry->condition = source->condition;
    std::memcpy(entry->type, source->type, sizeof entry->type);
    entry->flags = source->flags;
    return entry;
}

void appendToModule(ModuleEntry *module, AttributeEntry *entry) {
    entry->inSequence = 0;
    entry->parent = module;
    entry->next = nullptr;
    entry->prev = module->lastAttribute;
    if (module->lastAttribute != nullptr)
        module->lastAttribute->next = entry;
    else
        module->firstAttribute = entry;
    module->lastAttribute = entry;
}

void appendToEntry(AttributeEntry *parent, AttributeEntry *entry) {
    entry->inSequence = 1;
    entry->parent = parent;
    entry->next = nullptr;
    entry->prev = parent->lastChild;
    if (parent->lastChild != nullptr)
        parent->lastChild->next = entry;
    else
        parent->firstChild = entry;
    parent->lastChild = entry;
}

void unlinkAttribute(AttributeEntry *entry) {
    AttributeEntry **first;
    AttributeEntry **last;
    if (entry->inSequence == 0) {
        auto *module = static_cast<ModuleEntry *>(entry->parent);
        first = &module->firstAttribute;
        last = &module->lastAttribute;
    } else {
        auto *parent = static_cast<AttributeEntry *>(entry->parent);
        first = &parent->firstChild;
        last = &parent->lastChild;
    }
    if (entry->prev != nullptr)
        entry->prev->next = entry->next;
    else
        *first = entry->next;
    if (entry->next != nullptr)
        entry->next->prev = entry->prev;
    else
        *last = entry->prev;
    entry->next = entry->prev = nullptr;
}

bool isSequenceTag(AppData *app, uint32_t tag) {
    int32_t vr = -1;
    getVR(app, tag, &vr);
    return vr == VR_SQ;
}

AttributeEntry *appendItemEntry(AppData *app, ABDef *set, AttributeEntry *sequence) {
    const char *name = "";
    getAttrName(app, kItemTag, &name);
    AttributeEntry *item = newAttribute(set, kItemTag, name, "3", "");
    if (item != nullptr) appendToEntry(sequence, item);
    return item;
}

}  // namespace velmar::defs

extern "C" {

VELMAR_API void DoneABCDef(struct ABDef **definitions) {
    if (definitions == nullptr || *definitions == nullptr) return;
    // The bound elements are not touched: after edits without a new binding they may be gone.
    velmar::defs::freeDefinitionSet(*definitions);
    *definitions = nullptr;
}

}  // extern "C"
