// Structural checks of the DICOM file writer: what a tree must look like to be written as a file
// that readers understand (items only in sequences, delimiters only where they close, even value
// lengths, a bounded nesting depth), and the read-back of the written file.
#include "dicom/dicomwr_check.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "dicom/object.h"
#include "velmar/support.h"

namespace velmar::dicom {
namespace {

constexpr uint32_t kItem = 0xFFFEE000u;
constexpr uint32_t kItemDelimitation = 0xFFFEE00Du;
constexpr uint32_t kSequenceDelimitation = 0xFFFEE0DDu;
constexpr uint32_t kPixelData = 0x7FE00010u;
constexpr int kMaxNesting = 10;  // the reader opens at most this many sequences inside each other

enum class Kind { DataSet, Sequence, Item };

uint32_t tagOf(const DicomElement *node) {
    return VELMAR_TAG(node->group, node->element);
}

bool isDelimiter(uint32_t tag) {
    return tag == kItemDelimitation || tag == kSequenceDelimitation;
}

void report(AppData *app, int16_t level, const char *format, ...) __attribute__((format(printf, 3, 4)));
void report(AppData *app, int16_t level, const char *format, ...) {
    if (app == nullptr || app->log == nullptr) return;
    char text[VELMAR_LOG_LINE_MAX + 1];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    log_message(app->log, text, level);
}

// "the data set" or "(gggg,eeee)": where a node lies, for messages.
std::string placeOf(const DicomElement *container) {
    if (container == nullptr || container->parent == nullptr) return "the data set";
    bool item = VELMAR_TAG(container->group, container->element) == kItem && container->parent != nullptr;
    const DicomElement *named = item ? container->parent : container;
    char text[32];
    std::snprintf(text, sizeof text, "%s(%04hx,%04hx)", item ? "an item of " : "", named->group,
                  named->element);
    return text;
}

int32_t dictionaryVR(AppData *app, uint32_t tag) {
    int32_t vr = -1;
    getVR(app, tag, &vr);
    return vr;
}

bool isSequence(AppData *app, const DicomElement *node) {
    if (node->firstChild != nullptr) return true;
    int32_t vr = dictionaryVR(app, tagOf(node));
    return vr == VR_SQ || (vr < 0 && node->vr == VR_SQ);
}

// Text VRs are padded with a space, everything else with a zero byte.
bool padsWithSpace(int32_t vr) {
    switch (vr) {
        case VR_AE:
        case VR_AS:
        case VR_CS:
        case VR_DA:
        case VR_DS:
        case VR_DT:
        case VR_IS:
        case VR_LO:
        case VR_LT:
        case VR_PN:
        case VR_SH:
        case VR_ST:
        case VR_TM:
        case VR_UC:
        case VR_UR:
        case VR_UT:
            return true;
        default:
            return false;
    }
}

// The reader refuses odd lengths: an odd value gets one pad byte.
bool padOddValue(AppData *app, DicomElement *node) {
    if (node->value == nullptr || (node->length & 1u) == 0 || node->length == VELMAR_UNDEFINED_LENGTH)
        return true;
    auto *grown = static_cast<uint8_t *>(std::realloc(node->value, static_cast<size_t>(node->length) + 1));
    if (grown == nullptr) return false;
    int32_t vr = node->vr >= 0 ? node->vr : dictionaryVR(app, tagOf(node));
    grown[node->length] = padsWithSpace(vr) ? ' ' : '\0';
    node->value = grown;
    ++node->length;
    report(app, 2, "Element (%04hx,%04hx) has an odd value length; written with one pad byte", node->group,
           node->element);
    return true;
}

class TreeCheck {
   public:
    TreeCheck(AppData *app, IOObject *io) : app_(app), io_(io) {}

    bool run() { return dropForeignGroups() && container(io_->object->root, Kind::DataSet, 0); }

   private:
    // A File Meta Information holds group 0002 only; the other groups below 4 (commands) are
    // never part of a file and would end the meta header early.
    bool dropForeignGroups() {
        if (!io_->hasPreamble) return true;  // groups below 4 are not written at all then
        for (DicomElement *c = io_->object->root->firstChild; c != nullptr;) {
            DicomElement *next = c->next;
            if (c->group < 4 && c->group != 2) {
                report(app_, 2, "Element (%04hx,%04hx) does not belong in a DICOM file; not written",
                       c->group, c->element);
                deleteNode(io_->object, c);
            }
            c = next;
        }
        return true;
    }

    // Groups that no data set may hold (0001, 0003, 0005, 0007, FFFF, and the other FFFE
    // elements) and group lengths that are not 4 bytes stop peers mid-file: such an element is
    // dropped. False when `node` is gone.
    bool belongsInDataSet(DicomElement *node) {
        uint16_t group = node->group;
        bool illegalGroup = (group <= 7 && (group & 1) != 0) || group == 0xFFFF || group == 0xFFFE;
        bool badLength = node->element == 0 && node->firstChild == nullptr && node->length != 4;
        if (!illegalGroup && !badLength) return true;
        report(app_, 2, "Element (%04hx,%04hx) in %s %s; not written", node->group, node->element,
               placeOf(node->parent).c_str(),
               illegalGroup ? "lies in a group no data set may hold"
                            : "is a group length whose value is not 4 bytes");
        deleteNode(io_->object, node);
        return false;
    }

    // In implicit VR a reader knows a sequence only by its tag: one the dictionary gives SQ, or
    // one it does not know (undefined length then means a sequence). Private creators are LO.
    bool implicitSequence(const DicomElement *node) {
        bool creator = (node->group & 1) != 0 && node->element >= 0x0010 && node->element <= 0x00FF;
        int32_t vr = dictionaryVR(app_, tagOf(node));
        return !creator && (vr == VR_SQ || vr < 0);
    }

    bool refuse(const DicomElement *node, const char *what) {
        report(app_, 1, "Cannot write element (%04hx,%04hx) in %s: %s", node->group, node->element,
               placeOf(node->parent).c_str(), what);
        return false;
    }

    // A delimiter closes only the kind of container it stands in; anywhere else it is dropped.
    bool delimiter(DicomElement *node, Kind kind) {
        uint32_t tag = tagOf(node);
        bool fits = (kind == Kind::Item && tag == kItemDelimitation) ||
                    (kind == Kind::Sequence && tag == kSequenceDelimitation);
        if (node->firstChild != nullptr) return refuse(node, "a delimitation item that holds elements");
        if (fits) {
            std::free(node->value);
            node->value = nullptr;
            node->length = 0;
            return true;
        }
        report(app_, 2, "Dropped delimitation item (%04hx,%04hx) misplaced in %s", node->group, node->element,
               placeOf(node->parent).c_str());
        deleteNode(io_->object, node);
        return true;
    }

    // The elements of a data set or item rise by tag; SortCodes puts them in order and keeps the
    // later of two equal tags, which is worth a warning since the earlier one is lost. Objects
    // built in memory are not kept in order, so sorting them is only noted.
    void noteOrder(DicomElement *node, uint32_t &previous, bool &any) {
        uint32_t tag = tagOf(node);
        if (any && tag == previous)
            report(app_, 2, "Element (%04hx,%04hx) appears twice in %s; the later one is written",
                   node->group, node->element, placeOf(node->parent).c_str());
        else if (any && tag < previous && !unorderedNoted_)
            report(app_, 3, "Elements of %s are out of order; written sorted", placeOf(node->parent).c_str());
        if (any && tag < previous) unorderedNoted_ = true;
        previous = tag > previous || !any ? tag : previous;
        any = true;
    }

    bool element(DicomElement *node, int depth) {
        if (tagOf(node) == kPixelData) return true;  // written by the frame kernel from its descriptor
        if (node->element == 0 && node->firstChild != nullptr)
            return refuse(node, "a group length element that holds items");
        if (node->firstChild != nullptr && io_->dataSyntax == TS_IMPLICIT_LITTLE && !implicitSequence(node))
            return refuse(node, "items under a tag that implicit VR readers take for another VR");
        if (!isSequence(app_, node)) {
            if (!padOddValue(app_, node)) return refuse(node, "no memory to pad its odd value");
            return true;
        }
        if (node->value != nullptr) return refuse(node, "a sequence that also holds a value");
        if (depth >= kMaxNesting) return refuse(node, "sequences nested more than 10 deep");
        return container(node, Kind::Sequence, depth + 1);
    }

    bool child(DicomElement *node, Kind kind, int depth, uint32_t &previous, bool &any) {
        uint32_t tag = tagOf(node);
        if (isDelimiter(tag)) return delimiter(node, kind);
        if (kind == Kind::Sequence) {
            if (tag != kItem) return refuse(node, "an element directly in a sequence, outside any item");
            if (node->value != nullptr) return refuse(node, "an item that holds a value");
            return container(node, Kind::Item, depth);
        }
        if (tag == kItem) return refuse(node, "an item outside a sequence");
        if (!belongsInDataSet(node)) return true;
        noteOrder(node, previous, any);
        return element(node, depth);
    }

    bool container(DicomElement *node, Kind kind, int depth) {
        uint32_t previous = 0;
        bool any = false;
        for (DicomElement *c = node->firstChild; c != nullptr;) {
            DicomElement *next = c->next;  // c may be dropped
            if (!child(c, kind, depth, previous, any)) return false;
            c = next;
        }
        return true;
    }

    AppData *app_;
    IOObject *io_;
    bool unorderedNoted_ = false;
};

// The text of the first error a read logged, without its prefix.
std::string firstError(const std::string &log) {
    const char *prefix = "Error: ";
    size_t at = log.find(prefix);
    if (at == std::string::npos) return "the reader refuses it";
    size_t end = log.find('\n', at);
    return log.substr(at + std::strlen(prefix), end == std::string::npos ? std::string::npos : end - at - 7);
}

}  // namespace

int16_t prepareTreeForWrite(AppData *app, IOObject *io) {
    if (io == nullptr || io->object == nullptr || io->object->root == nullptr) return 0;
    return TreeCheck(app, io).run() ? 0 : -1;
}

bool readsBack(AppData *app, const char *path, const char *target) {
    char *text = nullptr;
    size_t size = 0;
    FILE *capture = open_memstream(&text, &size);
    Log log{capture, 0x01, nullptr};  // errors into the capture, nothing on standard error
    Log *saved = app != nullptr ? app->log : nullptr;
    if (app != nullptr) app->log = capture != nullptr ? &log : nullptr;
    IOObject io;
    init_IOObject(&io);
    io.metaSyntax = TS_NOT_SET;
    io.dataSyntax = TS_NOT_SET;
    bool ok = DO_importObjectFromFile(app, path, &io) == 0;
    DO_closeObject(&io.object);
    if (app != nullptr) app->log = saved;
    if (capture != nullptr) std::fclose(capture);
    std::string errors = text != nullptr ? std::string(text, size) : std::string();
    std::free(text);
    if (!ok) report(app, 1, "DICOM object %s would not read back: %s", target, firstError(errors).c_str());
    return ok;
}

}  // namespace velmar::dicom
