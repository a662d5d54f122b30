// Internal interface of the IOD and module definition sets: building and freeing entries, shared
// by the loaders, the binding and the verification.
#pragma once

#include <cstdint>

#include "velmar/defs.h"

namespace velmar::defs {

constexpr uint32_t kItemTag = 0xFFFEE000u;
constexpr uint32_t kItemDelimitationTag = 0xFFFEE00Du;

// Block size of a set's text buffer: holds any definition-file string (2005 characters).
constexpr int32_t kSetTextBlock = 2048;

// A new, empty set with its text buffer; nullptr when memory is short.
ABDef *newDefinitionSet();
// Frees every module with its attributes (at all depths), the texts and the set.
void freeDefinitionSet(ABDef *set);

// Copies a text into the set's buffer; nullptr when memory is short.
const char *keepText(ABDef *set, const char *text);

// Appends a module; nullptr when memory is short.
ModuleEntry *appendModule(ABDef *set, const char *key, const char *name, char usage, const char *note);

// A new attribute entry (texts copied into the set, at most 3 characters of type), not yet linked;
// nullptr when memory is short.
AttributeEntry *newAttribute(ABDef *set, uint32_t tag, const char *name, const char *type, const char *note);
// A copy of an entry alone (no children, no links, unbound) that shares the texts of the same set.
AttributeEntry *cloneAttribute(const AttributeEntry *source);
// Links an entry at the end of a module (inSequence 0) or of an item / sequence entry
// (inSequence 1).
void appendToModule(ModuleEntry *module, AttributeEntry *entry);
void appendToEntry(AttributeEntry *parent, AttributeEntry *entry);
// Unlinks an entry from its parent's list.
void unlinkAttribute(AttributeEntry *entry);
// Frees an entry with all its descendants (the entry must be unlinked or its list discarded).
void freeAttribute(AttributeEntry *entry);

// The dictionary says the tag is a sequence.
bool isSequenceTag(AppData *app, uint32_t tag);

// Creates the item entry of a sequence attribute: tag (FFFE,E000), the dictionary's name, type
// "3", empty note. nullptr when memory is short.
AttributeEntry *appendItemEntry(AppData *app, ABDef *set, AttributeEntry *sequence);

}  // namespace velmar::defs
