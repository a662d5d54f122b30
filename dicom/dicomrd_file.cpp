// DICOM file reader: preamble and transfer syntax detection, the meta header walk, element
// headers in the three uncompressed syntaxes, sequences and items turned into the delimited form,
// and Pixel Data stored as a descriptor of where its frames lie in the file.
#include "dicom/dicomrd_file.h"
#include "dicom/deflate.h"

#include <sys/types.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "support/regularfile.h"
#include "velmar/codecs.h"
#include "velmar/dicom.h"

namespace velmar::dicom {

// ---- Buffered input file ------------------------------------------------------------------------

InputFile::InputFile(FILE *borrowed) : file_(borrowed), borrowed_(true) {
    if (file_ == nullptr) return;
    off_t position = ftello(file_);
    if (position < 0) position = 0;
    if (fseeko(file_, 0, SEEK_END) == 0) {
        off_t end = ftello(file_);
        size_ = end > 0 ? static_cast<uint64_t>(end) : 0;
    }
    fseeko(file_, position, SEEK_SET);
    bufferBase_ = static_cast<uint64_t>(position);
    buffer_.resize(kBufferSize);
}

InputFile::~InputFile() {
    if (borrowed_) {
        if (file_ != nullptr) fseeko(file_, static_cast<off_t>(tell()), SEEK_SET);
        file_ = nullptr;
    } else {
        close();
    }
}

bool InputFile::open(const char *file_name) {
    close();
    borrowed_ = false;
    file_ = support::fopenRegularFile(file_name, "rb");
    if (file_ == nullptr) return false;
    // Our own buffer does the buffering; a second one in the C library would only copy twice.
    std::setvbuf(file_, nullptr, _IONBF, 0);
    size_ = 0;
    if (fseeko(file_, 0, SEEK_END) == 0) {
        off_t end = ftello(file_);
        size_ = end > 0 ? static_cast<uint64_t>(end) : 0;
    }
    fseeko(file_, 0, SEEK_SET);
    bufferBase_ = 0;
    bufferPos_ = bufferLength_ = 0;
    buffer_.resize(kBufferSize);
    return true;
}

void InputFile::close() {
    if (file_ != nullptr && !borrowed_) std::fclose(file_);
    file_ = nullptr;
}

bool InputFile::fill() {
    bufferBase_ += bufferLength_;
    bufferPos_ = bufferLength_ = 0;
    if (file_ == nullptr) return false;
    bufferLength_ = std::fread(buffer_.data(), 1, buffer_.size(), file_);
    return bufferLength_ > 0;
}

bool InputFile::read(void *out, size_t n) {
    auto *target = static_cast<unsigned char *>(out);
    while (n > 0) {
        if (bufferPos_ == bufferLength_) {
            if (n >= buffer_.size() && file_ != nullptr) {
                // A large value goes straight into its destination.
                bufferBase_ += bufferLength_;
                bufferPos_ = bufferLength_ = 0;
                size_t got = std::fread(target, 1, n, file_);
                bufferBase_ += got;
                return got == n;
            }
            if (!fill()) return false;
        }
        size_t take = std::min(n, bufferLength_ - bufferPos_);
        std::memcpy(target, buffer_.data() + bufferPos_, take);
        bufferPos_ += take;
        target += take;
        n -= take;
    }
    return true;
}

bool InputFile::readU16(uint16_t &value, bool swap) {
    unsigned char b[2];
    if (!read(b, 2)) return false;
    value = swap ? static_cast<uint16_t>(b[0] << 8 | b[1]) : static_cast<uint16_t>(b[1] << 8 | b[0]);
    return true;
}

bool InputFile::readU32(uint32_t &value, bool swap) {
    unsigned char b[4];
    if (!read(b, 4)) return false;
    if (swap) std::reverse(b, b + 4);
    value = static_cast<uint32_t>(b[0]) | static_cast<uint32_t>(b[1]) << 8 | static_cast<uint32_t>(b[2]) << 16 |
            static_cast<uint32_t>(b[3]) << 24;
    return true;
}

void InputFile::seek(uint64_t position) {
    if (position >= bufferBase_ && position <= bufferBase_ + bufferLength_) {
        bufferPos_ = static_cast<size_t>(position - bufferBase_);
        return;
    }
    if (file_ != nullptr) fseeko(file_, static_cast<off_t>(position), SEEK_SET);
    bufferBase_ = position;
    bufferPos_ = bufferLength_ = 0;
}

bool InputFile::atEnd() {
    if (bufferPos_ < bufferLength_) return false;
    if (tell() >= size_) return true;
    return !fill();
}

// ---- The reader ---------------------------------------------------------------------------------

namespace {

constexpr uint32_t kItem = 0xFFFEE000u;
constexpr uint32_t kItemDelimitation = 0xFFFEE00Du;
constexpr uint32_t kSequenceDelimitation = 0xFFFEE0DDu;
constexpr uint32_t kPixelData = 0x7FE00010u;
constexpr uint32_t kMetaGroupLength = 0x00020000u;
constexpr uint32_t kMetaVersion = 0x00020001u;
constexpr uint32_t kMetaTransferSyntax = 0x00020010u;
constexpr int kMaxDepth = 10;
constexpr size_t kMessageSize = VELMAR_LOG_LINE_MAX + 1;

const char *const kSyntaxUIDs[] = {"1.2.840.10008.1.2", "1.2.840.10008.1.2.1", "1.2.840.10008.1.2.2"};

int32_t syntaxOfUID(const char *uid) {
    for (int32_t code = 0; code < 3; ++code)
        if (std::strcmp(uid, kSyntaxUIDs[code]) == 0) return code;
    return TS_OTHER;
}

// The VR code of an explicit VR text; -1 for a text that is no VR a file can hold (the
// dictionary's stand-ins for a choice of VRs included).
int32_t codeOfFileVR(const char *vr) {
    int32_t code = changeVRnameToVR(vr);
    switch (code) {
        case VR_XS:
        case VR_XU:
        case VR_OX:
        case VR_XW:
        case VR_XX:
        case VR_NA:
        case VR_UNKNOWN_TEXT:
        case VR_RE:
            return -1;
        default:
            return code;
    }
}

bool hasLongLength(const char *vr) {
    return hasLongLengthVR(codeOfFileVR(vr)) != 0;
}

bool isVRText(const char *vr) {
    return codeOfFileVR(vr) >= 0;
}

// What the reader knows of a container's children: while their tags (items aside) rise, a new
// larger tag cannot repeat one of them, and the node is appended without a search.
struct Children {
    uint32_t lastTag = 0;
    bool any = false;
    bool rising = true;
};

// One open sequence and the item open in it.
struct Level {
    DicomElement *sequence = nullptr;
    DicomElement *item = nullptr;
    Children sequenceChildren;
    Children itemChildren;
    bool sequenceDefined = false;
    bool itemDefined = false;
    // A UN sequence: its items are implicit VR little endian; the syntax around it comes back
    // when it closes.
    bool restoresSyntax = false;
    int32_t outerOverride = -1;
    uint64_t sequenceEnd = 0;
    uint64_t itemEnd = 0;
};

// The header of one element as read from the file.
struct Header {
    uint16_t group = 0;
    uint16_t element = 0;
    uint32_t tag = 0;
    char vr[3] = {0, 0, 0};  // explicit VR text; empty in implicit VR and for items
    uint32_t length = 0;
    uint64_t valuePosition = 0;  // file position after the length field
};

enum class Step { Next, End, Fail };

class Reader {
  public:
    Reader(AppData *app, const char *file_name, IOObject *io) : app_(app), fileName_(file_name), io_(io) {}
    int16_t run();

  private:
    void message(int16_t level, const char *format, ...) __attribute__((format(printf, 3, 4)));
    void detectPreamble();
    void applyPresets();
    void detectSyntax();
    // The syntax of the element at hand: the file's, or implicit VR little endian inside a UN
    // sequence.
    int32_t syntax() const { return overrideSyntax_ >= 0 ? overrideSyntax_ : io_->currentSyntax; }
    bool swapsInFile() const { return (syntax() == TS_EXPLICIT_BIG) != (bigendian() != 0); }
    int detectAt(uint64_t at, bool little, int32_t vrCode);
    void leaveMetaIfEnded(Header &h);
    bool readHeader(Header &h);
    Step readElement();
    Step readItem(const Header &h);
    Step readItemDelimitation(const Header &h);
    Step readSequenceDelimitation(const Header &h);
    Step openSequence(const Header &h, bool implicitItems = false);
    Step readPixelData(const Header &h);
    Step readValue(const Header &h, int32_t storedVR);
    void checkMetaElement(const Header &h, int32_t swapVR, const DicomElement &el);
    int32_t storedVROf(const Header &h, int32_t fileVR);
    DicomElement *add(const DicomElement &el);
    DicomElement *insert(const DicomElement &el);
    Children &currentChildren();
    void appendDelimiter(uint32_t tag, int32_t vr);
    void closeItem(int32_t vr);
    void closeSequence(int32_t vr);
    int32_t dictionaryVR(uint32_t tag);
    void addStray(const Header &h);
    void syncCurrent();
    void closeFinished(uint64_t position);
    bool valueFits(const Header &h);

    AppData *app_;
    const char *fileName_;
    IOObject *io_;
    DicomObject *obj_ = nullptr;
    InputFile in_;
    unsigned char preamble_[128] = {};
    bool hasPreamble_ = false;
    int64_t metaGroupLength_ = -1;
    uint64_t metaEnd_ = 0;  // file position where the meta header ends, when its length is known
    bool metaSeen_ = false;
    bool groupLengthWarned_ = false;
    int depth_ = -1;
    int32_t overrideSyntax_ = -1;
    Children rootChildren_;
    Level levels_[kMaxDepth];
    std::vector<unsigned char> scratch_;
};

void Reader::message(int16_t level, const char *format, ...) {
    if (app_ == nullptr || app_->log == nullptr) return;
    char text[kMessageSize];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    log_message(app_->log, text, level);
}

void Reader::detectPreamble() {
    char marker[4];
    hasPreamble_ = in_.read(preamble_, sizeof preamble_) && in_.read(marker, 4) && std::memcmp(marker, "DICM", 4) == 0;
    if (!hasPreamble_) std::memset(preamble_, 0, sizeof preamble_);
    in_.seek(0);
    io_->hasPreamble = hasPreamble_ ? 1 : 0;
}

void Reader::applyPresets() {
    if (hasPreamble_) {
        if (io_->metaSyntax == TS_NOT_SET) io_->metaSyntax = TS_EXPLICIT_LITTLE;
        if (io_->dataSyntax == TS_NOT_SET) io_->dataSyntax = io_->metaSyntax;
        io_->currentSyntax = io_->metaSyntax;
        io_->inMeta = 1;
        in_.seek(132);
    } else {
        if (io_->dataSyntax == TS_NOT_SET) io_->dataSyntax = TS_IMPLICIT_LITTLE;
        io_->currentSyntax = io_->dataSyntax;
        io_->inMeta = 0;
    }
}

// How plausible the first element is when read in one byte order: 0 not at all (a VR the
// dictionary does not allow for the tag, or a length past the end of the file), 1 for a tag the
// dictionary does not know, 2 for a tag it knows by its defaults (group lengths, private
// creators) and 3 for a tag it holds, each with an allowed VR.
int Reader::detectAt(uint64_t at, bool little, int32_t vrCode) {
    in_.seek(at);
    uint16_t group = 0, element = 0, shortLength = 0;
    uint32_t length = 0;
    bool swap = little == (bigendian() != 0);
    in_.readU16(group, swap);
    in_.readU16(element, swap);
    in_.skip(2);
    bool longLength = hasLongLengthVR(vrCode) != 0;
    if (longLength) in_.skip(2);
    bool read = longLength ? in_.readU32(length, swap) : in_.readU16(shortLength, swap);
    if (!longLength) length = shortLength;
    if (!read || (length != VELMAR_UNDEFINED_LENGTH && length > in_.remaining())) return 0;
    uint32_t tag = VELMAR_TAG(group, element);
    if (element == 0 && length != 4) return 0;  // a group length holds one UL
    int32_t known = -1;
    bool inDictionary = getVR(app_, tag, &known) == 0;
    if (known < 0) return (group & 1) == 0 ? 1 : 0;
    if (vrCode != VR_UN && isAllowedVR(app_, tag, vrCode) == 0) return 0;
    return inDictionary ? 3 : 2;
}

// Explicit VR when the two bytes after the first tag are a VR name; the byte order whose reading
// of the first element is the more plausible, little endian when both are alike.
void Reader::detectSyntax() {
    uint64_t at = in_.tell();
    unsigned char b[6];
    int32_t found = TS_EXPLICIT_LITTLE;
    if (in_.read(b, sizeof b)) {
        char vr[3] = {static_cast<char>(b[4]), static_cast<char>(b[5]), 0};
        if (isVRText(vr)) {
            int32_t code = codeOfFileVR(vr);
            found =
                detectAt(at, false, code) > detectAt(at, true, code) ? TS_EXPLICIT_BIG : TS_EXPLICIT_LITTLE;
        } else {
            found = TS_IMPLICIT_LITTLE;
        }
    }
    in_.seek(at);
    if (found != io_->currentSyntax) io_->currentSyntax = io_->metaSyntax = found;
    if (hasPreamble_) io_->dataSyntax = io_->currentSyntax;
    io_->foundMetaSyntax = hasPreamble_ ? found : TS_NOT_SET;
    io_->declaredSyntax = io_->currentSyntax;
    const char *uid = io_->currentSyntax >= 0 && io_->currentSyntax < 3 ? kSyntaxUIDs[io_->currentSyntax] : "";
    std::snprintf(io_->transferSyntaxUID, sizeof io_->transferSyntaxUID, "%s", uid);
}

// The meta header ends at the first element that lies past its declared length or whose group is
// not a meta group; the tag just read is then re-read in the declared syntax.
void Reader::leaveMetaIfEnded(Header &h) {
    uint64_t tagStart = in_.tell() - 4;
    bool stillMeta = h.group < 4 && (metaGroupLength_ < 0 || tagStart < metaEnd_);
    if (stillMeta) {
        metaSeen_ = true;
        return;
    }
    if (!metaSeen_)
        message(2, "Preamble and DICM marker found but no File Meta Element. Interpretation may not be correct.");
    io_->inMeta = 0;
    if (swapsInFile()) {
        h.group = static_cast<uint16_t>(h.group << 8 | h.group >> 8);
        h.element = static_cast<uint16_t>(h.element << 8 | h.element >> 8);
    }
    io_->currentSyntax = io_->declaredSyntax;
    if (swapsInFile()) {
        h.group = static_cast<uint16_t>(h.group << 8 | h.group >> 8);
        h.element = static_cast<uint16_t>(h.element << 8 | h.element >> 8);
    }
}

// Tag, VR and length; false when the file ends inside the header.
bool Reader::readHeader(Header &h) {
    if (!in_.readU16(h.group, swapsInFile()) || !in_.readU16(h.element, swapsInFile())) return false;
    if (io_->inMeta != 0) leaveMetaIfEnded(h);
    io_->foundDataSyntax = io_->dataSyntax = io_->currentSyntax;
    h.tag = VELMAR_TAG(h.group, h.element);
    bool swap = swapsInFile();
    bool structural = h.tag == kItem || h.tag == kItemDelimitation || h.tag == kSequenceDelimitation;
    if (syntax() == TS_IMPLICIT_LITTLE || structural) {
        if (!in_.readU32(h.length, swap)) return false;
    } else {
        if (!in_.read(h.vr, 2)) return false;
        if (hasLongLength(h.vr)) {
            unsigned char reserved[2];
            if (!in_.read(reserved, 2) || !in_.readU32(h.length, swap)) return false;
        } else {
            uint16_t shortLength = 0;
            if (!in_.readU16(shortLength, swap)) return false;
            h.length = shortLength;
        }
    }
    h.valuePosition = in_.tell();
    return true;
}

// The two length checks that stop a read; both run before anything is allocated for the value.
bool Reader::valueFits(const Header &h) {
    if (h.length == VELMAR_UNDEFINED_LENGTH) return true;
    unsigned long offset = static_cast<unsigned long>(h.valuePosition - 8);
    if ((h.length & 1) != 0) {
        message(1, "Length of element (%04hx,%04hx) = 0x%lX(%lu) is not an even number. offset=0x%lX(%lu)",
                h.group, h.element, static_cast<unsigned long>(h.length), static_cast<unsigned long>(h.length),
                offset, offset);
        return false;
    }
    uint64_t rest = in_.size() > h.valuePosition ? in_.size() - h.valuePosition : 0;
    if (h.length > rest) {
        message(1,
                "Length of element (%04hx,%04hx) is greater than the length of the rest of the file: 0x%lx > "
                "0x%lx (%lu > %lu).",
                h.group, h.element, static_cast<unsigned long>(h.length), static_cast<unsigned long>(rest),
                static_cast<unsigned long>(h.length), static_cast<unsigned long>(rest));
        return false;
    }
    return true;
}

// A node holding a copy of el, appended as the container's last child; nullptr when memory runs
// out. The same node DO_addElement makes, without its search for a child of the same tag.
DicomElement *appendNode(DicomElement *container, const DicomElement &el) {
    auto *node = static_cast<DicomElement *>(std::calloc(1, sizeof(DicomElement)));
    if (node == nullptr) return nullptr;
    node->group = el.group;
    node->element = el.element;
    node->length = el.length;
    node->vr = el.vr;
    node->flags = el.flags;
    if (el.value != nullptr) {
        D_Alloc(node);
        if (node->value == nullptr && node->length != 0) {
            std::free(node);
            return nullptr;
        }
        if (node->value != nullptr) std::memcpy(node->value, el.value, el.length);
    }
    node->parent = container;
    node->prev = container->lastChild;
    if (container->lastChild != nullptr) container->lastChild->next = node;
    else container->firstChild = node;
    container->lastChild = node;
    return node;
}

Children &Reader::currentChildren() {
    if (depth_ < 0) return rootChildren_;
    Level &level = levels_[depth_];
    return level.item != nullptr ? level.itemChildren : level.sequenceChildren;
}

// Adds a copy of el under the current container and returns the node that holds it: a new last
// child, or the existing child of the same tag that DO_addElement overwrote. Files list their
// elements in rising tag order, so the search for a same-tag child is only needed when they do
// not; a flat data set of many elements then costs no quadratic time.
DicomElement *Reader::insert(const DicomElement &el) {
    DicomElement *container = obj_->current;
    Children &children = currentChildren();
    uint32_t tag = VELMAR_TAG(el.group, el.element);
    bool item = tag == kItem;  // items are never merged
    DicomElement *node = nullptr;
    if (item || (children.rising && (!children.any || tag > children.lastTag))) {
        node = appendNode(container, el);
    } else if (DO_addElement(app_, obj_, &el) == 0) {
        node = container->lastChild;
        if (node == nullptr || VELMAR_TAG(node->group, node->element) != tag)
            for (node = container->firstChild; node != nullptr; node = node->next)
                if (VELMAR_TAG(node->group, node->element) == tag) break;
    }
    if (node != nullptr && !item) {
        if (children.any && tag <= children.lastTag) children.rising = false;
        children.lastTag = std::max(children.lastTag, tag);
        children.any = true;
    }
    return node;
}

DicomElement *Reader::add(const DicomElement &el) {
    DicomElement *node = insert(el);
    syncCurrent();
    return node;
}

// A delimiter for a container that is not open is kept as a plain node where it stands.
void Reader::addStray(const Header &h) {
    DicomElement el{};
    el.group = h.group;
    el.element = h.element;
    el.vr = dictionaryVR(h.tag);
    add(el);
}

// The container that DO_addElement appends to is always the innermost open one.
void Reader::syncCurrent() {
    if (depth_ < 0) obj_->current = obj_->root;
    else obj_->current = levels_[depth_].item != nullptr ? levels_[depth_].item : levels_[depth_].sequence;
}

// Appends a delimiter to the current container (the item or sequence it closes).
void Reader::appendDelimiter(uint32_t tag, int32_t vr) {
    DicomElement el{};
    el.group = static_cast<uint16_t>(tag >> 16);
    el.element = static_cast<uint16_t>(tag);
    el.vr = vr;
    insert(el);
}

void Reader::closeItem(int32_t vr) {
    appendDelimiter(kItemDelimitation, vr);
    levels_[depth_].item = nullptr;
    levels_[depth_].itemDefined = false;
    syncCurrent();
}

void Reader::closeSequence(int32_t vr) {
    appendDelimiter(kSequenceDelimitation, vr);
    if (levels_[depth_].restoresSyntax) overrideSyntax_ = levels_[depth_].outerOverride;
    levels_[depth_] = Level{};
    --depth_;
    syncCurrent();
}

// Adds the delimiters of the defined-length items and sequences that end at or before position.
// An undefined-length item still open when its sequence's defined length is used up is closed too.
void Reader::closeFinished(uint64_t position) {
    while (depth_ >= 0) {
        Level &level = levels_[depth_];
        if (level.item != nullptr && level.itemDefined && level.itemEnd <= position) closeItem(VR_XX);
        if (!level.sequenceDefined || level.sequenceEnd > position) break;
        if (level.item != nullptr) closeItem(VR_XX);
        closeSequence(VR_XX);
    }
}

int32_t Reader::dictionaryVR(uint32_t tag) {
    int32_t vr = -1;
    getVR(app_, tag, &vr);
    return vr;
}

Step Reader::readItem(const Header &h) {
    if (depth_ < 0 || levels_[depth_].item != nullptr) {
        unsigned long offset = static_cast<unsigned long>(h.valuePosition - 8);
        message(1, "Item (%04hx,%04hx) found outside a sequence. offset=0x%lX(%lu)", h.group, h.element, offset,
                offset);
        return Step::Fail;
    }
    DicomElement el{};
    el.group = h.group;
    el.element = h.element;
    el.length = VELMAR_UNDEFINED_LENGTH;
    el.vr = dictionaryVR(h.tag);
    DicomElement *node = add(el);
    if (node == nullptr) return Step::Fail;
    Level &level = levels_[depth_];
    level.item = node;
    level.itemChildren = Children{};
    level.itemDefined = h.length != VELMAR_UNDEFINED_LENGTH;
    level.itemEnd = h.valuePosition + (level.itemDefined ? h.length : 0);
    syncCurrent();
    return Step::Next;
}

// A delimiter read from the file closes the container it belongs to; one for a container that is
// not open is kept as a plain node where it stands. A (non-standard) value is skipped.
Step Reader::readItemDelimitation(const Header &h) {
    if (h.length != VELMAR_UNDEFINED_LENGTH) in_.skip(h.length);
    if (depth_ >= 0 && levels_[depth_].item != nullptr) closeItem(dictionaryVR(h.tag));
    else addStray(h);
    return Step::Next;
}

Step Reader::readSequenceDelimitation(const Header &h) {
    if (h.length != VELMAR_UNDEFINED_LENGTH) in_.skip(h.length);
    if (depth_ >= 0 && levels_[depth_].item == nullptr) closeSequence(dictionaryVR(h.tag));
    else addStray(h);
    return Step::Next;
}

Step Reader::openSequence(const Header &h, bool implicitItems) {
    if (depth_ + 1 >= kMaxDepth) {
        unsigned long offset = static_cast<unsigned long>(h.valuePosition - 8);
        message(1, "Sequence (%04hx,%04hx) is nested deeper than %d levels. offset=0x%lX(%lu)", h.group,
                h.element, kMaxDepth, offset, offset);
        return Step::Fail;
    }
    DicomElement el{};
    el.group = h.group;
    el.element = h.element;
    el.length = VELMAR_UNDEFINED_LENGTH;
    el.vr = VR_SQ;
    DicomElement *node = add(el);
    if (node == nullptr) return Step::Fail;
    Level &level = levels_[++depth_];
    level = Level{};
    level.sequence = node;
    // A sequence met again (the same tag twice in one container) already has children.
    level.sequenceChildren.rising = node->firstChild == nullptr;
    level.sequenceDefined = h.length != VELMAR_UNDEFINED_LENGTH;
    level.sequenceEnd = h.valuePosition + (level.sequenceDefined ? h.length : 0);
    if (implicitItems) {
        level.restoresSyntax = true;
        level.outerOverride = overrideSyntax_;
        overrideSyntax_ = TS_IMPLICIT_LITTLE;
    }
    syncCurrent();
    return Step::Next;
}

Step Reader::readPixelData(const Header &h) {
    DicomElement el{};
    el.group = h.group;
    el.element = h.element;
    el.vr = io_->dataSyntax == TS_OTHER ? VR_OB : storedVROf(h, h.vr[0] != 0 ? codeOfFileVR(h.vr) : -1);
    if (h.length == 0) return add(el) != nullptr ? Step::Next : Step::Fail;

    auto *descriptor = static_cast<PixelDataDescriptor *>(std::calloc(1, VELMAR_PDS_FIXED_SIZE + VELMAR_PDS_ENTRY_SIZE));
    if (descriptor == nullptr) {
        codecs::indexPixelData(in_, nullptr, syntax(), h.length);
        return add(el) != nullptr ? Step::Next : Step::Fail;
    }
    descriptor->size = VELMAR_PDS_FIXED_SIZE;
    descriptor->fileName = velmar_internFileName(fileName_);
    descriptor->pixelOffset = static_cast<uint32_t>(std::min<uint64_t>(h.valuePosition, UINT32_MAX));
    descriptor->pixelLength = h.length;
    // Pixel Data inside an item (an icon image) has the geometry of its own item.
    DicomObject item{};
    item.root = obj_->current;
    fill_pds(app_, depth_ >= 0 ? &item : obj_, descriptor);
    descriptor->syntaxCode = io_->dataSyntax;
    // 8-bit samples in words of the other byte order sit in the file with each pair exchanged.
    bool otherOrder = (io_->dataSyntax == TS_EXPLICIT_BIG) != (bigendian() != 0);
    if (el.vr == VR_OW && otherOrder && io_->dataSyntax != TS_OTHER && descriptor->bitsAllocated <= 8)
        descriptor->storedWordSize = 2;
    std::memcpy(descriptor->transferSyntaxUID, io_->transferSyntaxUID, VELMAR_UID_SIZE);
    descriptor->transferSyntaxUID[VELMAR_UID_SIZE - 1] = '\0';
    codecs::indexPixelData(in_, &descriptor, syntax(), h.length, app_ != nullptr ? app_->log : nullptr);
    el.value = descriptor;
    el.length = descriptor->size;
    DicomElement *node = add(el);
    std::free(descriptor);
    return node != nullptr ? Step::Next : Step::Fail;
}

// The concrete VR an element keeps: the one the file gives when the dictionary allows it for the
// tag, else the dictionary's, resolved in the data set or item that holds the element.
int32_t Reader::storedVROf(const Header &h, int32_t fileVR) {
    DicomElement probe{};
    probe.group = h.group;
    probe.element = h.element;
    probe.vr = fileVR;
    probe.parent = obj_->current;
    return concreteVR(app_, &probe);
}

Step Reader::readValue(const Header &h, int32_t storedVR) {
    DicomElement el{};
    el.group = h.group;
    el.element = h.element;
    el.length = h.length;
    el.vr = storedVR;
    int32_t swapVR = storedVR;
    if (h.length != 0) {
        // Zeroed first: should the file end inside the value, it keeps what was read.
        scratch_.assign(h.length, 0);
        in_.read(scratch_.data(), h.length);
        el.value = scratch_.data();
        if (swapsInFile()) change_TransferSyntax(swapVR, &el);
    }
    if (add(el) == nullptr) return Step::Fail;
    if (io_->inMeta != 0) checkMetaElement(h, swapVR, el);
    return Step::Next;
}

void Reader::checkMetaElement(const Header &h, int32_t swapVR, const DicomElement &el) {
    if (h.tag == kMetaGroupLength) {
        if (swapVR != VR_UL) {
            message(2, "File Meta Element (0002,0000) Value Representation is not UL. Interpretation may not be "
                       "correct.");
        } else if (h.length != 4) {
            message(2, "File Meta Element (0002,0000) Value Length is not 4. Interpretation may not be correct.");
        } else {
            uint32_t value;
            std::memcpy(&value, el.value, 4);
            metaGroupLength_ = value;
            metaEnd_ = h.valuePosition + 4 + value;
        }
        return;
    }
    if (metaGroupLength_ < 0 && !groupLengthWarned_) {
        message(2, "File Meta Element (0002,0000) is not present. (This is a mandatory element.) Interpretation "
                   "may not be correct.");
        groupLengthWarned_ = true;
    }
    if (h.tag == kMetaVersion) {
        if (h.length != 2)
            message(2, "File Meta Information Header Version is not correct. Interpretation may not be correct.");
        else if ((static_cast<const unsigned char *>(el.value)[1] & 1) == 0)
            message(2, "This File Meta Information Header Version is not supported. Interpretation may not be "
                       "correct.");
    } else if (h.tag == kMetaTransferSyntax && el.value != nullptr) {
        // The UID up to its first zero byte, without the blanks some writers pad it with.
        size_t n = std::min<size_t>(h.length, VELMAR_UID_SIZE - 1);
        char uid[VELMAR_UID_SIZE] = {};
        std::memcpy(uid, el.value, n);
        n = std::strlen(uid);
        while (n > 0 && uid[n - 1] == ' ') uid[--n] = '\0';
        std::memcpy(io_->transferSyntaxUID, uid, VELMAR_UID_SIZE);
        io_->declaredSyntax = syntaxOfUID(uid);
    }
}

Step Reader::readElement() {
    Header h;
    if (!readHeader(h)) return Step::End;
    if (!valueFits(h)) return Step::Fail;

    if (h.tag == kItem) return readItem(h);
    if (h.tag == kItemDelimitation) return readItemDelimitation(h);
    if (h.tag == kSequenceDelimitation) return readSequenceDelimitation(h);
    if (h.tag == kPixelData) return readPixelData(h);

    int32_t known = dictionaryVR(h.tag);
    int32_t fileVR = h.vr[0] != 0 ? codeOfFileVR(h.vr) : -1;
    // UN of undefined length is a sequence of unknown VR, and so is UN whose tag the dictionary
    // knows as one: its items are encoded in implicit VR little endian whatever the file's syntax.
    if (fileVR == VR_UN && (h.length == VELMAR_UNDEFINED_LENGTH || known == VR_SQ))
        return openSequence(h, true);
    // A sequence: what the dictionary says is one; for a tag it does not know, what the file says
    // is one; and any element of undefined length, which only a sequence can have here.
    bool sequence = known == VR_SQ || (known < 0 && fileVR == VR_SQ) ||
                    h.length == VELMAR_UNDEFINED_LENGTH;
    if (sequence) return openSequence(h);
    // UN of a tag the dictionary knows gets the dictionary's VR, its value put in host order by it.
    return readValue(h, storedVROf(h, fileVR));
}

int16_t Reader::run() {
    if (io_ == nullptr || fileName_ == nullptr || !in_.open(fileName_)) return -1;
    message(3, "Loading DICOM object %s", fileName_);
    detectPreamble();
    applyPresets();
    detectSyntax();
    if (DO_openObject(&io_->object) != 0) return -1;
    obj_ = io_->object;
    std::memcpy(obj_->preamble, preamble_, sizeof preamble_);

    for (;;) {
        closeFinished(in_.tell());
        if (in_.atEnd()) break;
        Step step = readElement();
        if (step == Step::Fail) return -1;
        if (step == Step::End) break;
    }
    closeFinished(std::min(in_.tell(), in_.size()));
    in_.close();
    message(3, "DICOM object %s succesfully loaded", fileName_);
    return 0;
}

// A 16-bit value of a top-level element, or the default when it is absent or too short.
uint16_t topLevelU16(const DicomObject *obj, uint32_t tag, uint16_t fallback) {
    for (const DicomElement *c = obj->root->firstChild; c != nullptr; c = c->next)
        if (VELMAR_TAG(c->group, c->element) == tag) {
            if (c->value == nullptr || c->length < 2 || c->length == VELMAR_UNDEFINED_LENGTH) return fallback;
            uint16_t value;
            std::memcpy(&value, c->value, 2);
            return value;
        }
    return fallback;
}

// Up to `limit` characters of a top-level text element into out (zero-terminated, zero-filled).
void topLevelText(const DicomObject *obj, uint32_t tag, char *out, size_t limit) {
    for (const DicomElement *c = obj->root->firstChild; c != nullptr; c = c->next)
        if (VELMAR_TAG(c->group, c->element) == tag) {
            if (c->value == nullptr || c->length == VELMAR_UNDEFINED_LENGTH) return;
            size_t n = std::min<size_t>(c->length, limit);
            const char *text = static_cast<const char *>(c->value);
            for (size_t i = 0; i < n && text[i] != '\0'; ++i) out[i] = text[i];
            return;
        }
}

// Number of Frames read at full width: an IS count from 1 to 4294967295 (blanks around it
// allowed); an empty value is one frame, anything else 0, which the conversion refuses.
uint32_t frameCount(const char *text) {
    while (*text == ' ') ++text;
    const char *start = text;
    if (*text == '+') ++text;
    uint64_t count = 0;
    const char *digits = text;
    while (*text >= '0' && *text <= '9') {
        count = count * 10 + static_cast<uint64_t>(*text - '0');
        if (count > UINT32_MAX) return 0;
        ++text;
    }
    bool empty = text == digits;
    while (*text == ' ') ++text;
    if (*text != '\0') return 0;
    return empty ? (digits == start ? 1 : 0) : static_cast<uint32_t>(count);
}

}  // namespace
}  // namespace velmar::dicom

extern "C" {

VELMAR_API int16_t DO_importObjectFromFile(AppData *app, const char *file_name, IOObject *io) {
    try {
        // A deflated data set is read from an inflated copy of the file.
        std::string inflated;
        velmar::dicom::Inflation inflation = file_name != nullptr
                                                 ? velmar::dicom::inflateDataSet(file_name, inflated)
                                                 : velmar::dicom::Inflation::NotDeflated;
        if (inflation == velmar::dicom::Inflation::Failed) {
            velmar::dicom::logInflateFailure(app, file_name);
            return -1;
        }
        const bool wasDeflated = inflation == velmar::dicom::Inflation::Inflated;
        velmar::dicom::Reader reader(app, wasDeflated ? inflated.c_str() : file_name, io);
        int16_t status = reader.run();
        if (wasDeflated && io != nullptr) velmar::dicom::markPixelDataExplicit(io->object);
        return status;
    } catch (...) {
        return -1;
    }
}

VELMAR_API int16_t fill_pds(AppData *, DicomObject *obj, PixelDataDescriptor *d) {
    using velmar::dicom::topLevelU16;
    if (d == nullptr) return 0;
    d->samplesPerPixel = 1;
    std::memset(d->photometric, 0, sizeof d->photometric);
    d->planarConfiguration = d->numberOfFrames = d->rows = d->columns = 1;
    d->bitsAllocated = d->bitsStored = d->highBit = d->pixelRepresentation = 1;
    d->pixelPaddingValue = 0;
    if (obj != nullptr && obj->root != nullptr) {
        d->samplesPerPixel = topLevelU16(obj, 0x00280002u, 1);
        velmar::dicom::topLevelText(obj, 0x00280004u, d->photometric, 16);
        d->planarConfiguration = topLevelU16(obj, 0x00280006u, 1);
        char frames[13] = {};
        velmar::dicom::topLevelText(obj, 0x00280008u, frames, 12);
        d->numberOfFrames = velmar::dicom::frameCount(frames);
        d->rows = topLevelU16(obj, 0x00280010u, 1);
        d->columns = topLevelU16(obj, 0x00280011u, 1);
        d->bitsAllocated = topLevelU16(obj, 0x00280100u, 1);
        d->bitsStored = topLevelU16(obj, 0x00280101u, 1);
        d->highBit = topLevelU16(obj, 0x00280102u, 1);
        d->pixelRepresentation = topLevelU16(obj, 0x00280103u, 1);
        d->pixelPaddingValue = topLevelU16(obj, 0x00280120u, 0);
    }
    // Bits of one frame rounded up to whole bytes, so that 1-bit images keep their pixels.
    uint64_t bits = static_cast<uint64_t>(d->bitsAllocated) * d->rows * d->columns * d->samplesPerPixel;
    d->frameSize = static_cast<uint32_t>(std::min<uint64_t>((bits + 7) / 8, UINT32_MAX));
    return 0;
}

}  // extern "C"
