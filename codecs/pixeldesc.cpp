// Pixel data descriptor and frame index: where each native frame or each encapsulated fragment of
// a Pixel Data value lies in its file, and the accessors that hand the descriptor to callers.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>
#include <vector>

#include "codecs/samples.h"
#include "dicom/dicomrd_file.h"
#include "velmar/codecs.h"

// Offsets that codec libraries and callers compile against: the counts were widened to 32 bits
// over their padding, so no field moved.
static_assert(offsetof(PixelDataDescriptor, numberOfFrames) == 40 &&
              offsetof(PixelDataDescriptor, frameSize) == 44 &&
              offsetof(PixelDataDescriptor, entryCount) == 48 &&
              offsetof(PixelDataDescriptor, storedWordSize) == 52 &&
              offsetof(PixelDataDescriptor, fileName) == 56 &&
              offsetof(PixelDataDescriptor, transferSyntaxUID) == 76 && VELMAR_PDS_FIXED_SIZE == 144);

namespace velmar::codecs {
namespace {

using velmar::dicom::InputFile;

constexpr uint32_t kItem = 0xFFFEE000u;
constexpr uint32_t kSequenceDelimitation = 0xFFFEE0DDu;
constexpr uint32_t kPixelData = 0x7FE00010u;
constexpr size_t kMaxEntries = 1u << 28;  // frame-table entries of one descriptor

struct ItemHeader {
    uint32_t tag = 0;
    uint32_t length = 0;
};

bool readItemHeader(InputFile &in, bool swap, ItemHeader &h) {
    uint16_t group = 0, element = 0;
    if (!in.readU16(group, swap) || !in.readU16(element, swap) || !in.readU32(h.length, swap)) return false;
    h.tag = static_cast<uint32_t>(group) << 16 | element;
    return true;
}

// Native frames from the value's start (bit-packed 1-bit frames at their bit offsets); only the
// bytes of the value that are really there (in the value and in the file) get entries, the last
// one cut.
void indexNative(const PixelDataDescriptor &d, uint64_t available, std::vector<PixelFrameEntry> &entries) {
    if (d.frameSize == 0) return;
    for (uint64_t i = 1; i <= d.numberOfFrames && entries.size() < kMaxEntries; ++i) {
        uint64_t offset = 0, span = 0;
        nativeFrameSpan(&d, static_cast<uint32_t>(i), &offset, &span);
        if (offset >= available) break;
        uint64_t start = d.pixelOffset + offset;
        uint64_t length = std::min<uint64_t>(span, available - offset);
        if (start + length > UINT32_MAX) break;
        entries.push_back({static_cast<uint16_t>(i), 0, static_cast<uint32_t>(start), static_cast<uint32_t>(length)});
    }
}

// A native value of another size than its geometry accounts for is reported with both sizes.
void reportGeometry(Log *log, const PixelDataDescriptor &d, uint32_t length) {
    if (log == nullptr) return;
    uint64_t expected = nativeValueBytes(&d);
    if (length == expected || length == expected + (expected & 1)) return;
    char text[VELMAR_LOG_LINE_MAX + 1];
    std::snprintf(
        text, sizeof text,
        "Pixel Data of %u bytes does not match its geometry: %u frame(s) of %u rows x %u columns x %u "
        "samples of %u bits allocated are %llu bytes",
        length, d.numberOfFrames, d.rows, d.columns, d.samplesPerPixel, d.bitsAllocated,
        static_cast<unsigned long long>(expected));
    log_message(log, text, 2);
}

// Encapsulated data: the Basic Offset Table item, then one item per fragment up to the Sequence
// Delimitation Item. A header that is neither ends the value and is left for the reader.
void indexEncapsulated(InputFile &in, bool swap, uint32_t frames, std::vector<PixelFrameEntry> *entries) {
    ItemHeader h;
    uint64_t at = in.tell();
    if (!readItemHeader(in, swap, h)) return;
    if (h.tag != kItem) {
        if (h.tag != kSequenceDelimitation) in.seek(at);
        return;
    }
    // The table of frame starts, relative to the first fragment item, closed by a 0 that no later
    // fragment matches; an empty or ill-sized table is {0, 0}.
    std::vector<uint32_t> table;
    bool tableFilled = false;
    if (h.length != VELMAR_UNDEFINED_LENGTH && h.length != 0 && frames > 0 && h.length == 4ull * frames &&
        h.length <= in.remaining()) {
        table.resize(frames);
        for (uint32_t i = 0; i < frames; ++i)
            if (!in.readU32(table[i], bigendian() != 0)) return;
        table.push_back(0);
        tableFilled = true;
    } else {
        if (h.length != VELMAR_UNDEFINED_LENGTH) in.skip(h.length);
        table = {0, 0};
    }
    uint64_t tableEnd = in.tell();

    size_t frame = 0;  // index into table of the next frame start; also the current frame number
    uint32_t fragment = 0;
    for (;;) {
        at = in.tell();
        if (!readItemHeader(in, swap, h)) break;
        if (h.tag == kSequenceDelimitation) break;
        if (h.tag != kItem) {
            in.seek(at);
            break;
        }
        if (h.length == 0 || h.length == VELMAR_UNDEFINED_LENGTH) continue;
        uint64_t position = in.tell();
        uint64_t present = std::min<uint64_t>(h.length, in.remaining());
        in.skip(h.length);
        if (entries == nullptr || entries->size() >= kMaxEntries || present == 0 ||
            position + present > UINT32_MAX)
            continue;
        if ((frame < table.size() && position - tableEnd - 8 == table[frame]) || frame == 0) {
            ++frame;
            fragment = 0;
        } else {
            ++fragment;
        }
        if (frame > UINT16_MAX || fragment > UINT16_MAX) continue;
        entries->push_back({static_cast<uint16_t>(frame), static_cast<uint16_t>(fragment),
                            static_cast<uint32_t>(position), static_cast<uint32_t>(present)});
    }
    // Without a table, as many fragments as frames are one fragment per frame.
    if (entries != nullptr && !tableFilled && frames > 1 && entries->size() == frames)
        for (size_t i = 0; i < entries->size(); ++i) (*entries)[i] = {static_cast<uint16_t>(i + 1), 0,
                                                                        (*entries)[i].offset, (*entries)[i].length};
}

// Skips encapsulated data without indexing it.
void skipEncapsulated(InputFile &in, bool swap) { indexEncapsulated(in, swap, 0, nullptr); }

// A copy of the top-level Pixel Data value when it is a well-formed descriptor.
PixelDataDescriptor *copyDescriptor(DicomObject *obj) {
    if (obj == nullptr || obj->root == nullptr) return nullptr;
    for (const DicomElement *c = obj->root->firstChild; c != nullptr; c = c->next) {
        if ((static_cast<uint32_t>(c->group) << 16 | c->element) != kPixelData) continue;
        if (c->value == nullptr || c->length < VELMAR_PDS_FIXED_SIZE || c->length == VELMAR_UNDEFINED_LENGTH)
            return nullptr;
        const auto *d = static_cast<const PixelDataDescriptor *>(c->value);
        uint32_t size;
        uint16_t count;
        std::memcpy(&size, &d->size, sizeof size);
        std::memcpy(&count, &d->entryCount, sizeof count);
        if (size > c->length || size < VELMAR_PDS_FIXED_SIZE + static_cast<uint64_t>(count) * VELMAR_PDS_ENTRY_SIZE)
            return nullptr;
        auto *copy = static_cast<PixelDataDescriptor *>(std::malloc(c->length));
        if (copy != nullptr) std::memcpy(copy, c->value, c->length);
        return copy;
    }
    return nullptr;
}

}  // namespace

int16_t indexPixelData(InputFile &in, PixelDataDescriptor **descriptor_slot, int32_t syntax, uint32_t length,
                       Log *log) {
    if (length == 0) return -1;
    bool swap = (syntax == TS_EXPLICIT_BIG) != (bigendian() != 0);
    PixelDataDescriptor *d = descriptor_slot != nullptr ? *descriptor_slot : nullptr;
    uint64_t start = in.tell();
    std::vector<PixelFrameEntry> entries;
    if (length == VELMAR_UNDEFINED_LENGTH) {
        // Encapsulated fragments; any syntax that gives Pixel Data an undefined length has them.
        if (d == nullptr) skipEncapsulated(in, swap);
        else indexEncapsulated(in, swap, d->numberOfFrames, &entries);
    } else {
        // A defined length is a native value whatever the syntax; the file continues after the
        // value's real length, whether frames x frame size is shorter or longer.
        if (d != nullptr) {
            indexNative(*d, std::min<uint64_t>(length, in.size() > start ? in.size() - start : 0), entries);
            reportGeometry(log, *d, length);
        }
        in.seek(start + length);
    }
    if (d == nullptr) return 0;
    size_t count = entries.size();
    // Room for one spare entry after the table.
    auto *grown = static_cast<PixelDataDescriptor *>(
        std::realloc(d, VELMAR_PDS_FIXED_SIZE + (count + 1) * VELMAR_PDS_ENTRY_SIZE));
    if (grown == nullptr) {
        d->entryCount = 0;
        d->size = VELMAR_PDS_FIXED_SIZE;
        return 0;
    }
    std::copy(entries.begin(), entries.end(), grown->frames);
    std::memset(&grown->frames[count], 0, VELMAR_PDS_ENTRY_SIZE);
    grown->entryCount = static_cast<uint32_t>(count);
    grown->size = static_cast<uint32_t>(VELMAR_PDS_FIXED_SIZE + count * VELMAR_PDS_ENTRY_SIZE);
    *descriptor_slot = grown;
    return 0;
}

}  // namespace velmar::codecs

extern "C" {

VELMAR_API int16_t indexPixelData(FILE *file, PixelDataDescriptor **descriptor_slot, int32_t syntax,
                                  uint32_t length) {
    if (file == nullptr || length == 0) return -1;
    try {
        velmar::dicom::InputFile in(file);
        return velmar::codecs::indexPixelData(in, descriptor_slot, syntax, length);
    } catch (...) {
        return -1;
    }
}

VELMAR_API PixelDataDescriptor *get_ppds(AppData *, DicomObject *obj) {
    return velmar::codecs::copyDescriptor(obj);
}

VELMAR_API char *GetPixelTransferSyntax(AppData *, DicomObject *obj) {
    PixelDataDescriptor *d = velmar::codecs::copyDescriptor(obj);
    if (d == nullptr) return nullptr;
    char *uid = static_cast<char *>(std::malloc(VELMAR_UID_SIZE));
    if (uid != nullptr) {
        std::memcpy(uid, d->transferSyntaxUID, VELMAR_UID_SIZE);
        uid[VELMAR_UID_SIZE - 1] = '\0';
    }
    std::free(d);
    return uid;
}

}  // extern "C"
