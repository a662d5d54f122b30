// DICOM file writer: normalising the tree, the File Meta Information, group lengths, and writing
// the object in any transfer syntax through a temporary file that replaces the target whole.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "codecs/kernel.h"
#include "codecs/writefailure.h"
#include "dicom/deflate.h"
#include "dicom/dicomwr_check.h"
#include "dicom/dicomwr_coded.h"
#include "dicom/dicomwr_file.h"
#include "dicom/lookup.h"
#include "velmar/codecs.h"
#include "velmar/dicom.h"

namespace velmar::dicom {
namespace {

constexpr uint32_t kItem = 0xFFFEE000u;
constexpr uint32_t kItemDelimitation = 0xFFFEE00Du;
constexpr uint32_t kSequenceDelimitation = 0xFFFEE0DDu;
constexpr uint32_t kPixelData = 0x7FE00010u;
constexpr uint32_t kPixelGroupLength = 0x7FE00000u;
constexpr uint32_t kLengthToEnd = 0x00080001u;
constexpr uint32_t kTransferSyntaxUID = 0x00020010u;
constexpr uint32_t kLongestShortValue = 0xFFFEu;  // longer values do not fit a 16-bit length field
constexpr size_t kOutputBuffer = 1u << 20;

const char *const kSyntaxUIDs[] = {"1.2.840.10008.1.2", "1.2.840.10008.1.2.1", "1.2.840.10008.1.2.2"};

uint32_t tagOf(const DicomElement *node) {
    return VELMAR_TAG(node->group, node->element);
}

bool isStructural(uint32_t tag) {
    return tag == kItem || tag == kItemDelimitation || tag == kSequenceDelimitation;
}

int32_t dictionaryVR(AppData *app, uint32_t tag) {
    int32_t vr = -1;
    getVR(app, tag, &vr);
    return vr;
}

// The VR an element is written and swapped with: its own concrete VR (see concreteVR), so that
// every element keeps the VR it was read with. Encapsulated Pixel Data is always OB.
int32_t nodeVR(AppData *app, const DicomElement *node, int32_t dataSyntax) {
    if (tagOf(node) == kPixelData && dataSyntax == TS_OTHER) return VR_OB;
    return concreteVR(app, node);
}

bool hasLongLength(int32_t vr) {
    return hasLongLengthVR(vr) != 0;
}

// The UID text written for (0002,0010): the one of dataSyntax, whatever the stored value.
std::string syntaxUIDText(const IOObject *io) {
    int32_t code = io->dataSyntax;
    if (code >= 0 && code <= 2) return kSyntaxUIDs[code];
    if (code == TS_OTHER)
        return std::string(io->transferSyntaxUID, strnlen(io->transferSyntaxUID, VELMAR_UID_SIZE - 1));
    return std::string();
}

bool replacesTransferSyntax(const DicomElement *node, const IOObject *io) {
    return tagOf(node) == kTransferSyntaxUID && node->value != nullptr && io->dataSyntax != TS_NOT_SET;
}

// A sequence by the dictionary, or by the VR it was read with when the dictionary does not know it.
bool isSequence(AppData *app, const DicomElement *node) {
    int32_t vr = dictionaryVR(app, tagOf(node));
    return vr == VR_SQ || (vr < 0 && node->vr == VR_SQ);
}

bool isContainer(AppData *app, const DicomElement *node) {
    return node->firstChild != nullptr || tagOf(node) == kItem || isSequence(app, node);
}

// The length field of a node: its value's length, a container's own length; a node that lost its
// value writes 0 so that no bytes are promised that do not follow.
uint32_t lengthOf(AppData *app, const DicomElement *node) {
    if (node->value != nullptr) return node->length;
    return isContainer(app, node) ? node->length : 0;
}

// How the tag and length of one element are encoded.
struct HeaderForm {
    bool explicitVR = false;
    bool writeVRText = false;
    bool longLength = false;  // two reserved bytes and a 32-bit length
    bool asUN = false;        // a long value of a short-length VR, written with "UN"
    size_t size = 8;
};

HeaderForm headerForm(uint32_t tag, int32_t vr, uint32_t length, int32_t syntax) {
    HeaderForm form;
    if (syntax == TS_IMPLICIT_LITTLE) return form;
    form.explicitVR = true;
    if (isStructural(tag)) return form;  // tag and 32-bit length
    form.writeVRText = true;
    if (hasLongLength(vr)) {
        form.longLength = true;
        form.size = 12;
    } else if (vr == VR_XX) {
        form.size = 10;  // VR text and a 32-bit length
    } else if (length > kLongestShortValue) {
        form.asUN = true;
        form.longLength = true;
        form.size = 12;
    }
    return form;
}

// Leaves the meta header at the first node of group 4 or more.
void enterNode(IOObject *io, uint16_t group) {
    if (!io->inMeta || group < 4) return;
    io->inMeta = 0;
    if (io->dataSyntax != TS_NOT_SET)
        io->currentSyntax = io->dataSyntax;
    else
        io->currentSyntax = io->hasPreamble ? io->declaredSyntax : TS_IMPLICIT_LITTLE;
}

bool skipped(const IOObject *io, uint32_t tag) {
    return tag == kLengthToEnd || tag == kPixelGroupLength || ((tag >> 16) < 4 && !io->hasPreamble);
}

// Encoded size of a node with its children, in the syntax in force.
uint64_t encodedSize(AppData *app, IOObject *io, const DicomElement *node) {
    uint64_t size = 0;
    uint32_t tag = tagOf(node);
    enterNode(io, node->group);
    if (!skipped(io, tag) && !(tag == kPixelData && node->length != 0)) {
        int32_t vr = nodeVR(app, node, io->dataSyntax);
        uint32_t length = lengthOf(app, node);
        if (replacesTransferSyntax(node, io))
            length = static_cast<uint32_t>((syntaxUIDText(io).size() + 1) & ~size_t{1});
        size += headerForm(tag, vr, length, io->currentSyntax).size;
        if (node->value != nullptr || replacesTransferSyntax(node, io)) size += length;
    }
    for (const DicomElement *child = node->firstChild; child != nullptr; child = child->next)
        size += encodedSize(app, io, child);
    return size;
}

void storeGroupLength(DicomElement *element, uint64_t sum) {
    if (element == nullptr || element->value == nullptr || element->length < 4) return;
    uint32_t value = static_cast<uint32_t>(sum);
    std::memcpy(element->value, &value, 4);
}

// ---- Tree normalisation ----------------------------------------------------------------------

DicomElement *newDelimiter(AppData *app, uint32_t tag) {
    auto *node = static_cast<DicomElement *>(std::calloc(1, sizeof(DicomElement)));
    if (node == nullptr) return nullptr;
    node->group = static_cast<uint16_t>(tag >> 16);
    node->element = static_cast<uint16_t>(tag & 0xFFFF);
    node->vr = dictionaryVR(app, tag);
    return node;
}

void freeNode(DicomElement *node) {
    for (DicomElement *c = node->firstChild; c != nullptr;) {
        DicomElement *next = c->next;
        freeNode(c);
        c = next;
    }
    std::free(node->value);
    std::free(node);
}

void appendChild(DicomElement *parent, DicomElement *node) {
    node->parent = parent;
    node->prev = parent->lastChild;
    node->next = nullptr;
    if (parent->lastChild != nullptr)
        parent->lastChild->next = node;
    else
        parent->firstChild = node;
    parent->lastChild = node;
}

// Gives a container the delimiter its undefined length needs, or makes it empty with length 0.
int16_t normaliseNode(AppData *app, DicomElement *node) {
    for (DicomElement *child = node->firstChild; child != nullptr; child = child->next)
        if (normaliseNode(app, child) != 0) return -1;
    uint32_t tag = tagOf(node);
    if (tag == kItemDelimitation || tag == kSequenceDelimitation || tag == kPixelData) return 0;
    bool item = tag == kItem;
    if (!item && !isSequence(app, node)) return 0;
    uint32_t delimiter = item ? kItemDelimitation : kSequenceDelimitation;

    if (node->firstChild != nullptr && tagOf(node->firstChild) == delimiter) {
        // Only its delimiter (and whatever was misplaced after it) : an empty container.
        for (DicomElement *c = node->firstChild; c != nullptr;) {
            DicomElement *next = c->next;
            freeNode(c);
            c = next;
        }
        node->firstChild = node->lastChild = nullptr;
    }
    if (node->firstChild == nullptr) {
        node->length = 0;
        return 0;
    }
    // Nothing computes defined lengths, so a container with content is written with undefined
    // length and closed by its delimiter.
    node->length = VELMAR_UNDEFINED_LENGTH;
    for (DicomElement *c = node->firstChild; c != nullptr; c = c->next)
        if (tagOf(c) == delimiter) return 0;
    DicomElement *closing = newDelimiter(app, delimiter);
    if (closing == nullptr) return -1;
    appendChild(node, closing);
    return 0;
}

// ---- Meta header -------------------------------------------------------------------------------

bool hasTopLevel(DicomObject *obj, uint32_t tag) {
    for (DicomElement *c = obj->root->firstChild; c != nullptr; c = c->next)
        if (tagOf(c) == tag) return true;
    return false;
}

// Adds one meta element at the top level, as the mode allows.
void addMeta(AppData *app, IOObject *io, uint32_t tag, const void *value, uint32_t length) {
    DicomObject *obj = io->object;
    if (io->metaHeaderMode == 2 || (io->metaHeaderMode == 1 && hasTopLevel(obj, tag))) return;
    DicomElement el{};
    el.group = static_cast<uint16_t>(tag >> 16);
    el.element = static_cast<uint16_t>(tag & 0xFFFF);
    el.vr = dictionaryVR(app, tag);
    el.length = length;
    el.value = const_cast<void *>(value);
    DicomElement *saved = obj->current;
    obj->current = obj->root;
    DO_addElement(app, obj, &el);
    obj->current = saved;
}

// Copies the value of a top-level element into a meta element, when it has one.
void addMetaCopy(AppData *app, IOObject *io, uint32_t tag, uint32_t source) {
    DicomElement found{};
    found.group = static_cast<uint16_t>(source >> 16);
    found.element = static_cast<uint16_t>(source & 0xFFFF);
    if (DO_searchForElement(io->object, &found) != 0 || found.value == nullptr) return;
    addMeta(app, io, tag, found.value, found.length);
    D_Free(&found.value);
}

void addMetaText(AppData *app, IOObject *io, uint32_t tag, std::string text) {
    if (text.empty()) return;
    if ((text.size() & 1) != 0) text += ' ';
    addMeta(app, io, tag, text.data(), static_cast<uint32_t>(text.size()));
}

// ---- Writing -------------------------------------------------------------------------------

void putU16(uint8_t *p, uint16_t v, bool big) {
    if (big) {
        p[0] = static_cast<uint8_t>(v >> 8);
        p[1] = static_cast<uint8_t>(v);
    } else {
        p[0] = static_cast<uint8_t>(v);
        p[1] = static_cast<uint8_t>(v >> 8);
    }
}

void putU32(uint8_t *p, uint32_t v, bool big) {
    for (int i = 0; i < 4; ++i) p[big ? 3 - i : i] = static_cast<uint8_t>(v >> (8 * i));
}

class ElementWriter {
   public:
    ElementWriter(AppData *app, IOObject *io, PrecodedPixels *precoded)
        : app_(app), io_(io), precoded_(precoded) {}

    // One node, then its children; -1 at the first failure.
    int16_t write(DicomElement *node) {
        uint32_t tag = tagOf(node);
        enterNode(io_, node->group);
        if (io_->inMeta == 0 && io_->currentSyntax == TS_OTHER) io_->currentSyntax = TS_EXPLICIT_LITTLE;
        if (!skipped(io_, tag)) {
            bool ok = tag == kPixelData && node->length != 0 ? writePixelData(node) : writeElement(node, tag);
            if (!ok) return -1;
        }
        for (DicomElement *child = node->firstChild; child != nullptr; child = child->next)
            if (write(child) != 0) return -1;
        return 0;
    }

   private:
    bool put(const void *data, size_t n) {
        if (n == 0 || std::fwrite(data, 1, n, io_->stream) == n) return true;
        codecs::noteWriteFailure("cannot write the file: %s", std::strerror(errno != 0 ? errno : EIO));
        return false;
    }

    // Whether values go out in the opposite order of the host's.
    bool swapValues() const { return (io_->currentSyntax == TS_EXPLICIT_BIG) != (bigendian() != 0); }

    bool writeHeader(uint32_t tag, int32_t vr, uint32_t length) {
        HeaderForm form = headerForm(tag, vr, length, io_->currentSyntax);
        bool big = io_->currentSyntax == TS_EXPLICIT_BIG;
        uint8_t header[12];
        putU16(header, static_cast<uint16_t>(tag >> 16), big);
        putU16(header + 2, static_cast<uint16_t>(tag & 0xFFFF), big);
        size_t n = 4;
        if (form.writeVRText) {
            const char *text = form.asUN ? "UN" : changeVRToVRname(vr);
            header[n++] = static_cast<uint8_t>(text[0]);
            header[n++] = static_cast<uint8_t>(text[1]);
        }
        if (!form.explicitVR || !form.writeVRText || form.size == 10) {
            putU32(header + n, length, big);
            n += 4;
        } else if (form.longLength) {
            header[n++] = 0;
            header[n++] = 0;
            putU32(header + n, length, big);
            n += 4;
        } else {
            putU16(header + n, static_cast<uint16_t>(length), big);
            n += 2;
        }
        return put(header, n);
    }

    bool writeElement(DicomElement *node, uint32_t tag) {
        int32_t vr = nodeVR(app_, node, io_->dataSyntax);
        if (replacesTransferSyntax(node, io_)) {
            std::string uid = syntaxUIDText(io_);
            if ((uid.size() & 1) != 0) uid.push_back('\0');
            return writeHeader(tag, VR_UI, static_cast<uint32_t>(uid.size())) && put(uid.data(), uid.size());
        }
        uint32_t length = lengthOf(app_, node);
        if (!writeHeader(tag, vr, length)) return false;
        if (node->value == nullptr || length == 0) return true;
        if (!swapValues()) return put(node->value, length);
        // Swap a copy, so that the object keeps its host-order value.
        scratch_.assign(static_cast<const uint8_t *>(node->value),
                        static_cast<const uint8_t *>(node->value) + length);
        DicomElement copy{};
        copy.value = scratch_.data();
        copy.length = length;
        change_TransferSyntax(vr, &copy);
        return put(scratch_.data(), length);
    }

    bool writePixelData(DicomElement *node) {
        if (precoded_ != nullptr && precoded_->node() == node) return precoded_->copyTo(io_->stream);
        const auto *pds = static_cast<const PixelDataDescriptor *>(node->value);
        if (io_->writePixelData && pds != nullptr && node->length >= VELMAR_PDS_FIXED_SIZE &&
            pds->pixelLength != 0) {
            bool nested = node->parent != nullptr && node->parent->parent != nullptr;
            if (!nested) return codecs::writePixelDataElement(app_, io_, pds, node->length) == 0;
            std::vector<uint8_t> own = nestedDescriptor(node, pds);
            if (own.empty()) return false;
            return codecs::writePixelDataElement(app_, io_,
                                                 reinterpret_cast<const PixelDataDescriptor *>(own.data()),
                                                 static_cast<uint32_t>(own.size())) == 0;
        }
        int32_t vr = nodeVR(app_, node, io_->dataSyntax);
        if (io_->currentSyntax != TS_IMPLICIT_LITTLE && !hasLongLength(vr)) vr = VR_OB;
        return writeHeader(kPixelData, vr, 0);
    }

    // Pixel Data inside an item (an icon image) has the geometry of its own item, not the
    // object's: a descriptor with that geometry, and for native data a frame table made from it.
    std::vector<uint8_t> nestedDescriptor(const DicomElement *node, const PixelDataDescriptor *pds) {
        if (VELMAR_PDS_FIXED_SIZE + static_cast<uint64_t>(pds->entryCount) * VELMAR_PDS_ENTRY_SIZE >
            node->length)
            return {};
        std::vector<uint8_t> block(static_cast<const uint8_t *>(node->value),
                                   static_cast<const uint8_t *>(node->value) + node->length);
        auto *own = reinterpret_cast<PixelDataDescriptor *>(block.data());
        DicomObject item{};
        item.root = node->parent;
        fill_pds(app_, &item, own);
        bool native =
            own->pixelLength != VELMAR_UNDEFINED_LENGTH && own->syntaxCode >= 0 && own->syntaxCode <= 2;
        if (!native || own->frameSize == 0) return block;
        std::vector<PixelFrameEntry> entries;
        for (uint32_t frame = 1; frame <= own->numberOfFrames; ++frame) {
            uint64_t offset = static_cast<uint64_t>(frame - 1) * own->frameSize;
            if (offset >= own->pixelLength) break;
            uint32_t length =
                static_cast<uint32_t>(std::min<uint64_t>(own->frameSize, own->pixelLength - offset));
            entries.push_back(
                {static_cast<uint16_t>(frame), 0, static_cast<uint32_t>(own->pixelOffset + offset), length});
        }
        block.resize(VELMAR_PDS_FIXED_SIZE + entries.size() * VELMAR_PDS_ENTRY_SIZE);
        own = reinterpret_cast<PixelDataDescriptor *>(block.data());
        own->entryCount = static_cast<uint32_t>(entries.size());
        own->size = static_cast<uint32_t>(block.size());
        std::memcpy(own->frames, entries.data(), entries.size() * VELMAR_PDS_ENTRY_SIZE);
        return block;
    }

    AppData *app_;
    IOObject *io_;
    PrecodedPixels *precoded_;
    std::vector<uint8_t> scratch_;
};

// The system error of a failed file operation, as the cause of the failed write.
void noteSystemFailure(const char *what, const char *file_name) {
    codecs::noteWriteFailure("%s %s: %s", what, file_name, std::strerror(errno != 0 ? errno : EIO));
}

// The noted cause of a failed write, at level 1, before the writer reports the failure.
void logFailureCause(AppData *app) {
    std::string cause = codecs::takeWriteFailure();
    if (app == nullptr || app->log == nullptr) return;
    if (cause.empty()) cause = "the object could not be written";
    char text[VELMAR_LOG_LINE_MAX + 1];
    std::snprintf(text, sizeof text, "%s", cause.c_str());
    log_message(app->log, text, 1);
}

void logSaving(AppData *app, int16_t level, const char *format, const char *file_name) {
    if (app == nullptr || app->log == nullptr) return;
    char text[VELMAR_LOG_LINE_MAX + 1];
    std::snprintf(text, sizeof text, format, file_name);
    log_message(app->log, text, level);
}

// Resolves the syntax codes left to what the reader found.
// The meta header is explicit VR little endian whatever the data set's syntax and whatever the
// caller asked for: no other encoding of it is a valid file.
void resolveSyntaxes(IOObject *io) {
    io->metaSyntax = TS_EXPLICIT_LITTLE;
    if (io->dataSyntax == TS_NOT_SET)
        io->dataSyntax = io->foundDataSyntax != TS_NOT_SET ? io->foundDataSyntax : TS_IMPLICIT_LITTLE;
    // Code 3 naming one of the uncompressed syntaxes is that syntax: encapsulated pixel data
    // under an uncompressed Transfer Syntax UID would be a file no reader understands.
    if (io->dataSyntax == TS_OTHER)
        for (int32_t code = 0; code <= 2; ++code)
            if (std::strncmp(io->transferSyntaxUID, kSyntaxUIDs[code], VELMAR_UID_SIZE) == 0)
                io->dataSyntax = code;
}

// The preamble, the meta header and the data set, to io->stream.
bool writeStream(AppData *app, IOObject *io, PrecodedPixels *precoded) {
    bool ok = true;
    if (io->hasPreamble) {
        uint8_t preamble[132] = {0};
        std::memcpy(preamble + 128, "DICM", 4);
        ok = std::fwrite(preamble, 1, sizeof preamble, io->stream) == sizeof preamble;
        io->currentSyntax = io->metaSyntax;
    } else {
        io->currentSyntax = io->dataSyntax;
    }
    io->declaredSyntax = io->currentSyntax;
    io->inMeta = io->hasPreamble;
    SortCodes(io->object->root);

    ElementWriter writer(app, io, precoded);
    for (DicomElement *node = io->object->root->firstChild; ok && node != nullptr; node = node->next)
        ok = writer.write(node) == 0;
    return ok;
}

int16_t writeFile(AppData *app, IOObject *io, const char *file_name, bool deflated) {
    if (io->dataSyntax >= 0 && io->dataSyntax <= 2) {
        std::snprintf(io->transferSyntaxUID, sizeof io->transferSyntaxUID, "%s", kSyntaxUIDs[io->dataSyntax]);
    }
    if (io->dataSyntax == TS_OTHER || deflated) {
        // Another transfer syntax always gets a meta header, itself explicit VR little endian.
        io->hasPreamble = 1;
        io->metaSyntax = TS_EXPLICIT_LITTLE;
    }
    if (prepareTreeForWrite(app, io) != 0) {
        codecs::noteWriteFailure("the object's tree cannot be written as valid DICOM");
        return -1;
    }
    // Restores, when it goes, what the coding changed in the object.
    PrecodedPixels precoded;
    if (!precoded.code(app, io)) return -1;
    if (DO_checkObject(app, io->object) != 0) {
        codecs::noteWriteFailure("the object's elements cannot be put in writing order");
        return -1;
    }
    DO_calcElementsLength(app, io);

    TemporaryFile temporary(file_name);
    if (temporary.stream() == nullptr) return -2;  // nothing written, nothing to report
    std::setvbuf(temporary.stream(), nullptr, _IOFBF, kOutputBuffer);
    io->stream = temporary.stream();
    bool ok = writeStream(app, io, &precoded);
    io->stream = nullptr;
    bool closed = temporary.close();
    if (ok && !closed) noteSystemFailure("cannot write", temporary.path().c_str());
    ok = ok && closed;
    if (ok && deflated && !deflateDataSet(temporary.path())) {
        noteSystemFailure("cannot deflate the data set of", temporary.path().c_str());
        return -1;
    }
    if (ok && !readsBack(app, temporary.path().c_str(), file_name)) {
        codecs::noteWriteFailure("the written file does not read back");
        return -1;
    }
    if (ok && !temporary.commit()) {
        noteSystemFailure("cannot rename the temporary file to", file_name);
        return -1;
    }
    return ok ? 0 : -1;
}

int16_t writeObject(AppData *app, IOObject *io, const char *file_name) {
    resolveSyntaxes(io);
    // A deflated file is written in explicit VR little endian, then its data set is compressed.
    const bool deflated = io->dataSyntax == TS_OTHER && isDeflatedSyntax(io->transferSyntaxUID);
    if (deflated) io->dataSyntax = TS_EXPLICIT_LITTLE;
    int16_t status = writeFile(app, io, file_name, deflated);
    if (deflated) {
        io->dataSyntax = TS_OTHER;
        std::snprintf(io->transferSyntaxUID, sizeof io->transferSyntaxUID, "%s", kDeflatedSyntaxUID);
    }
    return status;
}

}  // namespace
}  // namespace velmar::dicom

using namespace velmar::dicom;

extern "C" {

VELMAR_API int16_t DO_checkObject(AppData *app, DicomObject *obj) {
    if (obj == nullptr || obj->root == nullptr) return 0;
    SortCodes(obj->root);
    int16_t status = 0;
    for (DicomElement *node = obj->root->firstChild; node != nullptr && status == 0; node = node->next)
        status = normaliseNode(app, node);
    obj->cursor = nullptr;
    return status;
}

VELMAR_API int16_t DO_generateMetaHeader(AppData *app, IOObject *io) {
    if (io == nullptr || io->object == nullptr || io->metaHeaderMode == 2) return 0;
    try {
        const uint8_t zero[4] = {0, 0, 0, 0};
        const uint8_t version[2] = {0x00, 0x01};
        addMeta(app, io, 0x00020000u, zero, 4);
        addMeta(app, io, 0x00020001u, version, 2);
        addMetaCopy(app, io, 0x00020002u, 0x00080016u);
        addMetaCopy(app, io, 0x00020003u, 0x00080018u);
        addMeta(app, io, kTransferSyntaxUID, kSyntaxUIDs[0], 18);  // 17 characters and a zero byte
        // An empty Implementation Class UID makes the meta header non-conformant (it is type 1),
        // so velmar writes its own.
        addMeta(app, io, 0x00020012u, VELMAR_IMPLEMENTATION_CLASS_UID,
                static_cast<uint32_t>(sizeof VELMAR_IMPLEMENTATION_CLASS_UID - 1));
        const char *name = app != nullptr && app->appName != nullptr ? app->appName : "";
        const char *version_text = app != nullptr && app->appVersion != nullptr ? app->appVersion : "";
        std::string implementation =
            std::string(name) + (*name != '\0' && *version_text != '\0' ? " " : "") + version_text;
        addMetaText(app, io, 0x00020013u, implementation);
        addMetaText(app, io, 0x00020016u, name);
    } catch (...) {
        return -1;
    }
    return 0;
}

VELMAR_API int16_t DO_calcElementsLength(AppData *app, IOObject *io) {
    if (io == nullptr || io->object == nullptr || io->object->root == nullptr) return 0;
    io->inMeta = io->hasPreamble;
    SortCodes(io->object->root);
    resolveSyntaxes(io);
    if (io->hasPreamble) {
        DO_generateMetaHeader(app, io);
        io->currentSyntax = io->metaSyntax;
    } else {
        io->currentSyntax = io->dataSyntax;
    }
    io->declaredSyntax = io->currentSyntax;
    SortCodes(io->object->root);

    uint64_t sum = 0;
    DicomElement *pending = nullptr;
    for (DicomElement *node = io->object->root->firstChild; node != nullptr; node = node->next) {
        if (node->element == 0) {
            storeGroupLength(pending, sum);
            sum = 0;
            pending = node;
        }
        uint64_t size = encodedSize(app, io, node);
        if (pending != nullptr && node->group != pending->group) {
            storeGroupLength(pending, sum);
            pending = nullptr;
        } else if (node->element != 0) {
            sum += size;
        }
    }
    storeGroupLength(pending, sum);
    return 0;
}

VELMAR_API int16_t DO_copyObjectToFile(AppData *app, IOObject *io, const char *file_name) {
    if (io == nullptr || io->object == nullptr) return 0;
    if (file_name == nullptr) return -1;
    logSaving(app, 3, "Saving DICOM object %s", file_name);
    int16_t status;
    velmar::codecs::takeWriteFailure();  // a cause left from an earlier write is not this one's
    try {
        status = writeObject(app, io, file_name);
    } catch (...) {
        velmar::codecs::noteWriteFailure("out of memory while writing");
        status = -1;
    }
    io->stream = nullptr;
    if (status == -2) {
        velmar::codecs::takeWriteFailure();
        return -1;  // the temporary file could not be created
    }
    if (status != 0) {
        logFailureCause(app);
        logSaving(app, 1, "DICOM object %s not fully saved", file_name);
        return -1;
    }
    logSaving(app, 3, "DICOM object %s successfully saved", file_name);
    return 0;
}

}  // extern "C"
