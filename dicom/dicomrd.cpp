// DICOM object operations: the library context, object life, building in file order, top-level
// search and delete, cursor editing, sorting, and element value memory.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "dicom/lookup.h"
#include "dicom/object.h"
#include "velmar/codecs.h"
#include "velmar/defs.h"
#include "velmar/dicom.h"

namespace velmar::dicom {
namespace {

constexpr uint32_t kItem = 0xFFFEE000u;
constexpr uint32_t kItemDelimitation = 0xFFFEE00Du;
constexpr uint32_t kSequenceDelimitation = 0xFFFEE0DDu;
constexpr uint32_t kAllTags = 0xFFFFFFFFu;

uint32_t tagOf(const DicomElement *node) { return VELMAR_TAG(node->group, node->element); }

char *copyText(const char *text) {
    if (text == nullptr) return nullptr;
    size_t n = std::strlen(text) + 1;
    char *out = static_cast<char *>(std::malloc(n));
    if (out != nullptr) std::memcpy(out, text, n);
    return out;
}

// Frees a node's children (recursively), its value and the node itself; does not unlink it.
void freeSubtree(DicomElement *node) {
    DicomElement *child = node->firstChild;
    while (child != nullptr) {
        DicomElement *next = child->next;
        freeSubtree(child);
        child = next;
    }
    std::free(node->value);
    std::free(node);
}

void unlink(DicomElement *node) {
    DicomElement *parent = node->parent;
    if (node->prev != nullptr) node->prev->next = node->next;
    else if (parent != nullptr) parent->firstChild = node->next;
    if (node->next != nullptr) node->next->prev = node->prev;
    else if (parent != nullptr) parent->lastChild = node->prev;
    node->next = node->prev = nullptr;
}

}  // namespace

void deleteNode(DicomObject *obj, DicomElement *node) {
    // Keep the object's working pointers off freed memory.
    for (DicomElement *p = obj->current; p != nullptr; p = p->parent)
        if (p == node) {
            obj->current = node->parent != nullptr ? node->parent : obj->root;
            break;
        }
    for (DicomElement *p = obj->cursor; p != nullptr; p = p->parent)
        if (p == node) {
            obj->cursor = nullptr;
            break;
        }
    unlink(node);
    freeSubtree(node);
}

namespace {

void appendChild(DicomElement *parent, DicomElement *node) {
    node->parent = parent;
    node->prev = parent->lastChild;
    node->next = nullptr;
    if (parent->lastChild != nullptr) parent->lastChild->next = node;
    else parent->firstChild = node;
    parent->lastChild = node;
}

void insertBefore(DicomElement *position, DicomElement *node) {
    DicomElement *parent = position->parent;
    node->parent = parent;
    node->next = position;
    node->prev = position->prev;
    if (position->prev != nullptr) position->prev->next = node;
    else if (parent != nullptr) parent->firstChild = node;
    position->prev = node;
}

// A fresh node holding a D_Alloc copy of the element's value; nullptr when memory runs out.
DicomElement *makeNode(const DicomElement *el) {
    auto *node = static_cast<DicomElement *>(std::calloc(1, sizeof(DicomElement)));
    if (node == nullptr) return nullptr;
    node->group = el->group;
    node->element = el->element;
    node->length = el->length;
    node->vr = el->vr;
    node->flags = el->flags;
    if (el->value != nullptr) {
        D_Alloc(node);
        if (node->value == nullptr && node->length != 0) {
            std::free(node);
            return nullptr;
        }
        if (node->value != nullptr) std::memcpy(node->value, el->value, el->length);
    }
    return node;
}

// Moves the payload of `from` into `into`, keeping `into`'s position and children.
void overwrite(DicomElement *into, DicomElement *from) {
    std::free(into->value);
    into->value = from->value;
    into->group = from->group;
    into->element = from->element;
    into->length = from->length;
    into->vr = from->vr;
    into->flags = from->flags;
    std::free(from);
}

int32_t dictionaryVR(AppData *app, uint32_t tag) {
    int32_t vr = -1;
    getVR(app, tag, &vr);
    return vr;
}

// The list a DE_ operation works on: the children of an Item, otherwise the node's siblings.
DicomElement *levelOf(DicomObject *obj, DicomElement *node) {
    if (node == nullptr) return obj->root;
    if (tagOf(node) == kItem) return node;
    return node->parent != nullptr ? node->parent : obj->root;
}

// Stable merge sort of a chain linked through `next`, by tag; returns the new first node.
// Equal tags keep their order, so the items of a sequence stay in sequence order.
DicomElement *mergeSortByTag(DicomElement *head) {
    if (head == nullptr || head->next == nullptr) return head;
    DicomElement *slow = head;
    DicomElement *fast = head->next;
    while (fast != nullptr && fast->next != nullptr) {
        slow = slow->next;
        fast = fast->next->next;
    }
    DicomElement *second = slow->next;
    slow->next = nullptr;
    DicomElement *a = mergeSortByTag(head);
    DicomElement *b = mergeSortByTag(second);
    DicomElement *first = nullptr;
    DicomElement **link = &first;
    while (a != nullptr && b != nullptr) {
        DicomElement **taken = tagOf(b) < tagOf(a) ? &b : &a;
        *link = *taken;
        link = &(*taken)->next;
        *taken = (*taken)->next;
    }
    *link = a != nullptr ? a : b;
    return first;
}

// Sorts the children of `node` by tag, recursively. Of two children with the same tag that is
// not an Item, the earlier one is freed with its subtree and the later one survives; items stay
// in order, and the delimitation items sort after the elements they close.
void sortChildren(DicomElement *node) {
    for (DicomElement *child = node->firstChild; child != nullptr; child = child->next)
        if (child->firstChild != nullptr) sortChildren(child);

    DicomElement *sorted = mergeSortByTag(node->firstChild);
    node->firstChild = nullptr;
    node->lastChild = nullptr;
    while (sorted != nullptr) {
        DicomElement *following = sorted->next;
        if (following != nullptr && tagOf(following) == tagOf(sorted) && tagOf(sorted) != kItem) {
            freeSubtree(sorted);
        } else {
            appendChild(node, sorted);
        }
        sorted = following;
    }
}

}  // namespace
}  // namespace velmar::dicom

using namespace velmar::dicom;

extern "C" {

VELMAR_API int16_t init_AppData(AppData *app, const char *name, const char *version, char *title_out) {
    if (app == nullptr) return -1;
    std::memset(app, 0, sizeof *app);
    app->appName = copyText(name);
    app->appVersion = copyText(version);
    app->findDefFile = getDICOMdeffilefromenvpath;
    if (title_out != nullptr)
        std::snprintf(title_out, VELMAR_TITLE_SIZE, "%s%s%s", name != nullptr ? name : "",
                      name != nullptr && version != nullptr ? " " : "", version != nullptr ? version : "");
    if ((name != nullptr && app->appName == nullptr) || (version != nullptr && app->appVersion == nullptr))
        return -1;
    return 0;
}

VELMAR_API void done_AppData(AppData *app) {
    if (app == nullptr) return;
    if (app->log != nullptr) log_end(&app->log, app);
    std::free(app->appName);
    std::free(app->appVersion);
    app->appName = app->appVersion = nullptr;
    for (uint16_t i = 0; i < app->tempFileCount; ++i) {
        if (app->tempFiles != nullptr && app->tempFiles[i] != nullptr) {
            std::remove(app->tempFiles[i]);
            std::free(app->tempFiles[i]);
        }
    }
    std::free(app->tempFiles);
    app->tempFiles = nullptr;
    app->tempFileCount = 0;
    done_CodecLibraryRegistry(app);
    releaseTagIndex(app);
}

VELMAR_API void init_IOObject(IOObject *io) {
    if (io == nullptr) return;
    std::memset(io, 0, sizeof *io);
    io->object = nullptr;
    io->foundMetaSyntax = -1;
    io->foundDataSyntax = -1;
    io->metaSyntax = 1;
    io->dataSyntax = 0;
    std::strcpy(io->transferSyntaxUID, "1.2.840.10008.1.2");
    io->metaHeaderMode = 0;
    io->hasPreamble = 1;
    io->writePixelData = 1;
    io->currentSyntax = -1;
    io->declaredSyntax = -1;
}

VELMAR_API int16_t DO_openObject(DicomObject **handle) {
    if (handle == nullptr) return -1;
    if (*handle != nullptr) DO_closeObject(handle);
    auto *obj = static_cast<DicomObject *>(std::calloc(1, sizeof(DicomObject)));
    if (obj == nullptr) return -1;
    obj->root = static_cast<DicomElement *>(std::calloc(1, sizeof(DicomElement)));
    if (obj->root == nullptr) {
        std::free(obj);
        return -1;
    }
    obj->current = obj->root;
    *handle = obj;
    return 0;
}

VELMAR_API int16_t DO_closeObject(DicomObject **handle) {
    if (handle == nullptr || *handle == nullptr) return 0;
    DicomObject *obj = *handle;
    if (obj->boundDefinitions != nullptr) DoneABCDef(&obj->boundDefinitions);
    if (obj->root != nullptr) freeSubtree(obj->root);
    std::free(obj);
    *handle = nullptr;
    return 0;
}

VELMAR_API void D_Alloc(DicomElement *el) {
    if (el == nullptr) return;
    if (el->length == 0 || el->length == VELMAR_UNDEFINED_LENGTH || el->vr == VR_SQ ||
        VELMAR_TAG(el->group, el->element) == kItem) {
        el->value = nullptr;
        return;
    }
    if ((el->length & 1) != 0) el->length += 1;
    el->value = std::calloc(1, el->length);
    if (el->value == nullptr) el->length = 0;
}

VELMAR_API void D_Free(void *slot) {
    if (slot == nullptr) return;
    void **pointer = static_cast<void **>(slot);
    std::free(*pointer);
    *pointer = nullptr;
}

VELMAR_API char *padwithspace(char *text) {
    if (text == nullptr) return text;
    size_t n = std::strlen(text);
    if ((n & 1) != 0) {
        text[n] = ' ';
        text[n + 1] = '\0';
    }
    return text;
}

VELMAR_API int16_t DO_addElement(AppData *app, DicomObject *obj, const DicomElement *el) {
    if (obj == nullptr || el == nullptr) return -1;
    DicomElement *node = makeNode(el);
    if (node == nullptr) return -1;
    DicomElement *container = obj->current != nullptr ? obj->current : obj->root;
    uint32_t tag = tagOf(node);
    DicomElement *existing = nullptr;
    if (tag != kItem)
        for (DicomElement *c = container->firstChild; c != nullptr; c = c->next)
            if (tagOf(c) == tag) {
                existing = c;
                break;
            }
    if (existing != nullptr) {
        overwrite(existing, node);
        node = existing;
    } else {
        appendChild(container, node);
    }

    bool closes = tag == kItemDelimitation || tag == kSequenceDelimitation;
    if (closes) {
        bool belowRoot = container != obj->root && container->parent != nullptr;
        obj->current = belowRoot ? container->parent : obj->root;
    } else if (tag == kItem || dictionaryVR(app, tag) == VR_SQ) {
        obj->current = node;  // an item or a sequence becomes the container
    }
    return 0;
}

VELMAR_API int16_t add_Item(AppData *app, DicomObject *obj, uint32_t length) {
    DicomElement el{};
    el.group = 0xFFFE;
    el.element = 0xE000;
    el.length = length;
    el.vr = dictionaryVR(app, kItem);
    return DO_addElement(app, obj, &el);
}

VELMAR_API int16_t add_Item_Delimitation_Item(AppData *app, DicomObject *obj) {
    DicomElement el{};
    el.group = 0xFFFE;
    el.element = 0xE00D;
    el.vr = dictionaryVR(app, kItemDelimitation);
    return DO_addElement(app, obj, &el);
}

VELMAR_API int16_t add_Sequence_Delimitation_Item(AppData *app, DicomObject *obj) {
    DicomElement el{};
    el.group = 0xFFFE;
    el.element = 0xE0DD;
    el.vr = dictionaryVR(app, kSequenceDelimitation);
    return DO_addElement(app, obj, &el);
}

VELMAR_API int16_t DO_searchForElement(DicomObject *obj, DicomElement *el) {
    if (el == nullptr) return -1;
    DicomElement *found = nullptr;
    if (obj != nullptr && obj->root != nullptr)
        for (DicomElement *c = obj->root->firstChild; c != nullptr; c = c->next)
            if (c->group == el->group && c->element == el->element) {
                found = c;
                break;
            }
    if (found == nullptr) {
        el->length = 0;
        el->value = nullptr;
        return -1;
    }
    *el = *found;
    el->value = nullptr;
    if (found->value != nullptr && found->length != 0 && found->length != VELMAR_UNDEFINED_LENGTH) {
        el->value = std::malloc(found->length);
        if (el->value == nullptr) {
            el->length = 0;
            return -1;
        }
        std::memcpy(el->value, found->value, found->length);
    }
    return 0;
}

VELMAR_API int16_t DO_deleteElement(AppData *, DicomObject *obj, const DicomElement *el) {
    if (obj == nullptr || obj->root == nullptr || el == nullptr) return 0;
    for (DicomElement *c = obj->root->firstChild; c != nullptr; c = c->next)
        if (c->group == el->group && c->element == el->element) {
            deleteNode(obj, c);
            break;
        }
    return 0;
}

VELMAR_API int16_t DE_search(AppData *app, DicomObject *obj, DicomElement **node_inout, uint16_t group,
                             uint16_t element, int32_t item) {
    if (obj == nullptr || node_inout == nullptr) return -1;
    uint32_t tag = VELMAR_TAG(group, element);
    DicomElement *start = *node_inout;
    DicomElement *result = nullptr;
    if (tag == kAllTags) {
        result = obj->root->firstChild;
    } else {
        DicomElement *list = start == nullptr ? obj->root : levelOf(obj, start);
        DicomElement *found = nullptr;
        for (DicomElement *c = list->firstChild; c != nullptr; c = c->next)
            if (tagOf(c) == tag) {
                found = c;
                break;
            }
        if (item == 0 || found == nullptr) {
            result = found;
        } else if (found->vr != VR_SQ) {
            result = start;
        } else if (item >= 1) {
            int32_t index = 0;
            for (DicomElement *c = found->firstChild; c != nullptr && tagOf(c) == kItem; c = c->next)
                if (++index == item) {
                    result = c;
                    break;
                }
        } else {
            auto *fresh = static_cast<DicomElement *>(std::calloc(1, sizeof(DicomElement)));
            if (fresh == nullptr) return -1;
            fresh->group = 0xFFFE;
            fresh->element = 0xE000;
            fresh->length = VELMAR_UNDEFINED_LENGTH;
            fresh->vr = dictionaryVR(app, kItem);
            DicomElement *firstOther = found->firstChild;
            while (firstOther != nullptr && tagOf(firstOther) == kItem) firstOther = firstOther->next;
            if (firstOther != nullptr) insertBefore(firstOther, fresh);
            else appendChild(found, fresh);
            fresh->parent = found;
            result = fresh;
        }
    }
    *node_inout = result;
    obj->cursor = result;
    return result != nullptr ? 0 : -1;
}

VELMAR_API int16_t DE_add(AppData *app, DicomObject *obj, const DicomElement *el) {
    if (obj == nullptr || el == nullptr) return -1;
    if (obj->cursor == nullptr) {
        if (DO_addElement(app, obj, el) != 0) return -1;
        obj->cursor = obj->root->firstChild;
        return 0;
    }
    DicomElement *level = levelOf(obj, obj->cursor);
    uint32_t key = VELMAR_TAG(el->group, el->element);
    DicomElement *position = level->firstChild;
    while (position != nullptr && tagOf(position) < key) position = position->next;
    DicomElement *node = makeNode(el);
    if (node == nullptr) return -1;
    if (position != nullptr && tagOf(position) == key) {
        overwrite(position, node);
    } else if (position != nullptr) {
        insertBefore(position, node);
    } else {
        appendChild(level, node);
    }
    return 0;
}

VELMAR_API int16_t DE_delete(AppData *, DicomObject *obj, const DicomElement *key_el) {
    if (obj == nullptr || key_el == nullptr) return -1;
    uint32_t key = VELMAR_TAG(key_el->group, key_el->element);
    DicomElement *cursor = obj->cursor;
    if (key == kAllTags) {
        if (cursor == nullptr) return -1;
        DicomElement *next = cursor->next;
        deleteNode(obj, cursor);
        obj->cursor = next;
        return 0;
    }
    DicomElement *level;
    if (cursor == nullptr) level = obj->root;
    else if (tagOf(cursor) == kItem && key != kItem) level = cursor;
    else level = cursor->parent != nullptr ? cursor->parent : obj->root;
    DicomElement *node = level->firstChild;
    while (node != nullptr && tagOf(node) < key) node = node->next;
    if (node == nullptr || tagOf(node) != key) return -1;
    DicomElement *next = node->next;
    deleteNode(obj, node);
    obj->cursor = next;
    return 0;
}

VELMAR_API void SortCodes(DicomElement *node) {
    if (node != nullptr) sortChildren(node);
}

VELMAR_API int16_t isInFrameIncrementPointer(AppData *, DicomObject *obj, uint16_t group, uint16_t element) {
    if (obj == nullptr || obj->root == nullptr) return 0;
    for (DicomElement *c = obj->root->firstChild; c != nullptr; c = c->next) {
        if (c->group != 0x0028 || c->element != 0x0009) continue;
        if (c->value == nullptr) return 0;
        const auto *words = static_cast<const uint16_t *>(c->value);
        for (uint32_t i = 0; i + 4 <= c->length; i += 4)
            if (words[i / 2] == group && words[i / 2 + 1] == element) return 1;
        return 0;
    }
    return 0;
}

VELMAR_API int16_t addNMVectors(AppData *app, DicomObject *obj, const FrameVectors *vectors) {
    if (obj == nullptr || vectors == nullptr || vectors->count == 0) return 0;
    struct Slot {
        const uint16_t *array;
        uint16_t element;
    };
    const Slot slots[] = {
        {vectors->energyWindow, 0x0010}, {vectors->detector, 0x0020},   {vectors->phase, 0x0030},
        {vectors->rotation, 0x0050},     {vectors->rrInterval, 0x0060}, {vectors->timeSlot, 0x0070},
        {vectors->slice, 0x0080},        {vectors->angularView, 0x0090}, {vectors->timeSlice, 0x0100},
    };
    int16_t status = 0;
    for (const Slot &slot : slots) {
        if (slot.array == nullptr) continue;
        DicomElement el{};
        el.group = 0x0054;
        el.element = slot.element;
        el.length = 2u * vectors->count;
        el.vr = dictionaryVR(app, VELMAR_TAG(el.group, el.element));
        el.value = const_cast<uint16_t *>(slot.array + 1);
        if (DO_addElement(app, obj, &el) != 0) status = -1;
    }
    return status;
}

}  // extern "C"
