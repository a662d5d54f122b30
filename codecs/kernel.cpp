// Frame kernel: runs one Pixel Data conversion between a decoder and a coder, streaming frame by
// frame from the source file to the output, and the kernel services codecs call.
#include "codecs/kernel.h"
#include "codecs/samples.h"
#include "codecs/writefailure.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <new>
#include <vector>

#include "codecs/bytecopy.h"
#include "codecs/native.h"
#include "support/regularfile.h"

// Field layout that codec libraries compile against.
static_assert(offsetof(FrameBuffer, frameNumber) == 0 && offsetof(FrameBuffer, capacity) == 4 &&
              offsetof(FrameBuffer, length) == 8 && offsetof(FrameBuffer, offset) == 12 &&
              offsetof(FrameBuffer, data) == 16 && sizeof(FrameBuffer) == 24);
static_assert(offsetof(CodedFragment, frame) == 0 && offsetof(CodedFragment, fragment) == 2 &&
              offsetof(CodedFragment, frameHigh) == 4 && offsetof(CodedFragment, capacity) == 8 &&
              offsetof(CodedFragment, length) == 12 && offsetof(CodedFragment, offset) == 16 &&
              offsetof(CodedFragment, data) == 24 && sizeof(CodedFragment) == 32);
static_assert(sizeof(PixelFrameEntry) == 12);

namespace velmar::codecs {
namespace {

constexpr uint16_t kItemGroup = 0xFFFE;
constexpr uint16_t kItemElement = 0xE000;
constexpr uint16_t kSequenceDelimitationElement = 0xE0DD;

void putLE16(uint8_t *p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}
void putLE32(uint8_t *p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}
void putBE16(uint8_t *p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v >> 8);
    p[1] = static_cast<uint8_t>(v);
}
void putBE32(uint8_t *p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * (3 - i)));
}

// Two VR characters and the two reserved zero bytes of a long-length header.
void putVR(uint8_t *p, const char *vr) {
    p[0] = static_cast<uint8_t>(vr[0]);
    p[1] = static_cast<uint8_t>(vr[1]);
    p[2] = 0;
    p[3] = 0;
}

// Sample size by which source samples are reversed into host order: codes 0 and 1 are little
// endian, 2 big endian; any other code is never swapped. 1 when nothing is reversed.
unsigned sourceSwapSize(const PixelDataDescriptor *pds) {
    bool hostBig = bigendian() != 0;
    bool swap = (pds->syntaxCode == TS_EXPLICIT_BIG && !hostBig) ||
                ((pds->syntaxCode == TS_IMPLICIT_LITTLE || pds->syntaxCode == TS_EXPLICIT_LITTLE) && hostBig);
    if (!swap) return 1;
    return pds->storedWordSize == 2 && pds->bitsAllocated <= 8 ? 2 : swapSampleSize(pds->bitsAllocated);
}

// True when the source holds 8-bit samples in words of the other byte order (see storedWordSize).
bool wordSwappedSource(const PixelDataDescriptor *pds) {
    return pds->bitsAllocated <= 8 && sourceSwapSize(pds) == 2;
}

// A coded fragment the kernel holds until its frame is written: in memory, or in the spill file
// once held fragments outgrow the memory bound.
struct Held {
    uint16_t fragment = 0;
    uint32_t length = 0;
    uint8_t *data = nullptr;  // malloc'd, or null when spilled
    uint64_t spill = 0;       // offset in the spill file
};

// An anonymous temporary file (gone with the process) for fragments that do not fit in memory.
class SpillFile {
   public:
    ~SpillFile() {
        if (file_ != nullptr) std::fclose(file_);
    }
    bool append(const uint8_t *data, size_t n, uint64_t *at) {
        if (file_ == nullptr && (file_ = std::tmpfile()) == nullptr)
            return failed("cannot create a spill file");
        if (fseeko(file_, 0, SEEK_END) != 0) return failed("cannot seek in the spill file");
        off_t end = ftello(file_);
        if (end < 0 || (n != 0 && std::fwrite(data, 1, n, file_) != n))
            return failed("cannot write the spill file");
        *at = static_cast<uint64_t>(end);
        return true;
    }
    bool read(uint64_t at, uint8_t *into, size_t n) {
        if (n == 0) return true;
        if (file_ == nullptr || std::fflush(file_) != 0 ||
            fseeko(file_, static_cast<off_t>(at), SEEK_SET) != 0 || std::fread(into, 1, n, file_) != n)
            return failed("cannot read back the spill file");
        return true;
    }

   private:
    static bool failed(const char *what) {
        noteWriteFailure("%s: %s", what, std::strerror(errno));
        return false;
    }
    FILE *file_ = nullptr;
};

// The bytes of a held fragment: its memory, or read from the spill file into `scratch`.
const uint8_t *heldBytes(const Held &h, SpillFile &spill, std::vector<uint8_t> &scratch) {
    if (h.data != nullptr || h.length == 0) return h.data;
    scratch.resize(h.length);
    return spill.read(h.spill, scratch.data(), h.length) ? scratch.data() : nullptr;
}

void freeHeld(std::vector<Held> &fragments) {
    for (Held &h : fragments) std::free(h.data);
    fragments.clear();
}

// Writes the Pixel Data element as the fragments arrive, frame after frame. The value length
// (native) and the Basic Offset Table (encapsulated) are reserved first and filled in at the end,
// so no more than one frame is ever held. Encapsulated frames already written can be taken back
// (rewound) when a coder hands a late fragment of one of them.
class PixelWriter {
   public:
    PixelWriter(FILE *out, int32_t syntax, const PixelDataDescriptor *pds)
        : out_(out),
          encapsulated_(syntax == TS_OTHER),
          bigEndian_(syntax == TS_EXPLICIT_BIG),
          explicitVR_(syntax != TS_IMPLICIT_LITTLE),
          swapSize_((syntax == TS_EXPLICIT_BIG) != (bigendian() != 0) ? swapSampleSize(pds->bitsAllocated)
                                                                      : 1),
          wordVR_(pds->bitsAllocated > 8),
          packedBits_(packedFrameBits(pds)),
          frameCount_(pds->numberOfFrames) {}

    bool begin() {
        uint8_t header[12];
        if (encapsulated_) {
            // Encapsulated pixel data is always OB (its fragments are byte streams), little endian.
            putLE16(header, 0x7FE0);
            putLE16(header + 2, 0x0010);
            putVR(header + 4, "OB");
            putLE32(header + 8, VELMAR_UNDEFINED_LENGTH);
            if (!put(header, 12)) return false;
            if (4ull * frameCount_ >= VELMAR_UNDEFINED_LENGTH) return tooLarge();
            if (!putItemHeader(4u * frameCount_)) return false;
            tablePosition_ = ftello(out_);
            offsets_.assign(frameCount_, 0);
            firstSeen_.assign(frameCount_, false);
            layout_.assign(frameCount_, {});
            std::vector<uint8_t> zeros(4u * frameCount_, 0);
            return tablePosition_ >= 0 && put(zeros.data(), zeros.size());
        }
        size_t n = 4;
        if (bigEndian_) {
            putBE16(header, 0x7FE0);
            putBE16(header + 2, 0x0010);
        } else {
            putLE16(header, 0x7FE0);
            putLE16(header + 2, 0x0010);
        }
        if (explicitVR_) {
            putVR(header + 4, wordVR_ ? "OW" : "OB");
            n = 8;
        }
        if (!put(header, n)) return false;
        lengthPosition_ = ftello(out_);
        std::memset(header, 0, 4);
        return lengthPosition_ >= 0 && put(header, 4);
    }

    // Writes one frame's fragments, sorted by fragment number, empty ones left out.
    bool writeFrame(uint32_t frame, std::vector<Held> &fragments, SpillFile &spill) {
        std::stable_sort(fragments.begin(), fragments.end(),
                         [](const Held &a, const Held &b) { return a.fragment < b.fragment; });
        return encapsulated_ ? writeItems(frame, fragments, spill) : writeNative(fragments, spill);
    }

    bool native() const { return !encapsulated_; }
    // Native fragments may go straight out unless frames are packed bit by bit.
    bool streamsNative() const { return !encapsulated_ && packedBits_ == 0; }
    // The sample size reversed for the target (1 when its byte order is the host's).
    unsigned swapSize() const { return swapSize_; }
    // Native bytes that went to the file past the stream (the direct copy): counted for the
    // value length.
    void countNative(uint64_t n) { valueBytes_ += n; }
    // Bytes of pixel data written: the native value, or the items of the fragments.
    uint64_t codedBytes() const { return encapsulated_ ? itemBytes_ : valueBytes_; }

    // Native bytes that the caller keeps; samples are reversed for an opposite-order target
    // (through a scratch buffer, also across fragment boundaries).
    bool emitNative(const uint8_t *p, size_t n) {
        valueBytes_ += n;
        if (swapSize_ == 1) return put(p, n);
        while (n > 0 && carryBytes_ > 0) {
            carry_[carryBytes_++] = *p++;
            --n;
            if (carryBytes_ == swapSize_) {
                swapSamples(carry_, swapSize_, swapSize_);
                if (!put(carry_, swapSize_)) return false;
                carryBytes_ = 0;
            }
        }
        size_t whole = n - n % swapSize_;
        constexpr size_t kChunk = 256 * 1024;
        scratch_.resize(std::min(whole, kChunk));
        for (size_t done = 0; done < whole;) {
            size_t step = std::min(kChunk, whole - done);
            copySwappingSamples(scratch_.data(), p + done, step, swapSize_);
            if (!put(scratch_.data(), step)) return false;
            done += step;
        }
        for (size_t i = whole; i < n; ++i) carry_[carryBytes_++] = p[i];
        return true;
    }

    bool finish() {
        if (encapsulated_) return finishItems();
        // A partial sample or a partial byte of packed bits has no partner: it goes out as is.
        if (carryBytes_ > 0 && !put(carry_, carryBytes_)) return false;
        carryBytes_ = 0;
        if (bitFill_ > 0) {
            uint8_t last = static_cast<uint8_t>(bitAccumulator_);
            if (!put(&last, 1)) return false;
            ++valueBytes_;
            bitFill_ = 0;
        }
        if ((valueBytes_ & 1) != 0) {
            uint8_t zero = 0;
            if (!put(&zero, 1)) return false;
            ++valueBytes_;
        }
        if (valueBytes_ >= VELMAR_UNDEFINED_LENGTH) return tooLarge();
        uint8_t bytes[4];
        if (bigEndian_)
            putBE32(bytes, static_cast<uint32_t>(valueBytes_));
        else
            putLE32(bytes, static_cast<uint32_t>(valueBytes_));
        return patch(lengthPosition_, bytes, 4);
    }

    // Takes back encapsulated frames `frame` and later that were written: their fragments, as
    // handed in, are copied into the spill file and returned per frame; the output continues
    // where `frame` began.
    bool rewind(uint32_t frame, SpillFile &spill, std::map<uint32_t, std::vector<Held>> &into, uint32_t *taken) {
        if (!encapsulated_ || frame == 0 || frame > frameCount_ || !firstSeen_[frame - 1]) return false;
        if (std::fflush(out_) != 0) return writeFailed();
        uint64_t end = itemBytes_;
        for (uint32_t j = frameCount_; j >= frame; --j) {
            if (!firstSeen_[j - 1]) continue;
            if (!takeBackFrame(j, end, spill, into[j])) return false;
            ++*taken;
            end = offsets_[j - 1];
            firstSeen_[j - 1] = false;
            layout_[j - 1].clear();
        }
        itemBytes_ = offsets_[frame - 1];
        return fseeko(out_, static_cast<off_t>(itemsStart() + itemBytes_), SEEK_SET) == 0 || writeFailed();
    }

    // A whole frame as one item made of pieces, written without a copy; fragment number 0.
    bool writePieces(uint32_t frame, const uint8_t *const *pieces, const uint32_t *lengths, size_t count) {
        uint64_t total = 0;
        for (size_t i = 0; i < count; ++i) total += lengths[i];
        if (total == 0) return true;
        if (total >= VELMAR_UNDEFINED_LENGTH - 1 || itemBytes_ > UINT32_MAX) return tooLarge();
        if (!firstSeen_[frame - 1]) {
            offsets_[frame - 1] = static_cast<uint32_t>(itemBytes_);
            firstSeen_[frame - 1] = true;
        }
        layout_[frame - 1].push_back({0, static_cast<uint32_t>(total)});
        uint32_t itemLength = static_cast<uint32_t>(total + (total & 1));
        if (!putItemHeader(itemLength)) return false;
        for (size_t i = 0; i < count; ++i)
            if (!put(pieces[i], lengths[i])) return false;
        uint8_t zero = 0;
        if ((total & 1) != 0 && !put(&zero, 1)) return false;
        itemBytes_ += 8u + itemLength;
        return true;
    }

   private:
    bool putItemHeader(uint32_t length) {
        uint8_t header[8];
        putLE16(header, kItemGroup);
        putLE16(header + 2, kItemElement);
        putLE32(header + 4, length);
        return put(header, 8);
    }

    bool put(const void *data, size_t n) {
        return n == 0 || std::fwrite(data, 1, n, out_) == n || writeFailed();
    }
    static bool writeFailed() {
        noteWriteFailure("cannot write Pixel Data: %s", std::strerror(errno != 0 ? errno : EIO));
        return false;
    }
    static bool tooLarge() {
        noteWriteFailure("Pixel Data would exceed the 32-bit value length");
        return false;
    }

    bool patch(off_t position, const uint8_t *data, size_t n) {
        off_t end = ftello(out_);
        if (end < 0 || fseeko(out_, position, SEEK_SET) != 0) return writeFailed();
        if (!put(data, n)) return false;
        return fseeko(out_, end, SEEK_SET) == 0 || writeFailed();
    }

    uint64_t itemsStart() const { return static_cast<uint64_t>(tablePosition_) + 4ull * frameCount_; }

    bool finishItems() {
        uint8_t bytes[8];
        putLE16(bytes, kItemGroup);
        putLE16(bytes + 2, kSequenceDelimitationElement);
        putLE32(bytes + 4, 0);
        if (!put(bytes, 8)) return false;
        // A frame that produced nothing points where the next frame's data begins.
        uint64_t next = itemBytes_;
        for (size_t i = offsets_.size(); i-- > 0;) {
            if (!firstSeen_[i]) offsets_[i] = static_cast<uint32_t>(next);
            next = offsets_[i];
        }
        std::vector<uint8_t> table(4 * offsets_.size());
        for (size_t i = 0; i < offsets_.size(); ++i) putLE32(table.data() + 4 * i, offsets_[i]);
        return patch(tablePosition_, table.data(), table.size());
    }

    // Native: fragments are concatenated as they are (no per-fragment padding, which would shift
    // every later frame); bit-packed frames are appended bit by bit.
    bool writeNative(std::vector<Held> &fragments, SpillFile &spill) {
        std::vector<uint8_t> loaded;
        if (packedBits_ != 0) {
            std::vector<uint8_t> frame;
            for (Held &h : fragments) {
                const uint8_t *p = heldBytes(h, spill, loaded);
                if (p == nullptr && h.length != 0) return false;
                frame.insert(frame.end(), p, p + h.length);
            }
            frame.resize((packedBits_ + 7) / 8, 0);
            return appendBits(frame.data(), packedBits_);
        }
        for (Held &h : fragments) {
            const uint8_t *p = heldBytes(h, spill, loaded);
            if ((p == nullptr && h.length != 0) || !emitNative(p, h.length)) return false;
        }
        return true;
    }

    // Appends `bits` bits (first in the low bit of the first byte) to the continuous bit stream.
    bool appendBits(const uint8_t *p, uint64_t bits) {
        scratch_.clear();
        for (uint64_t done = 0; done < bits; done += 8) {
            unsigned take = static_cast<unsigned>(std::min<uint64_t>(8, bits - done));
            unsigned v = p[done / 8] & ((1u << take) - 1);
            bitAccumulator_ |= v << bitFill_;
            bitFill_ += take;
            if (bitFill_ >= 8) {
                scratch_.push_back(static_cast<uint8_t>(bitAccumulator_));
                bitAccumulator_ >>= 8;
                bitFill_ -= 8;
            }
        }
        valueBytes_ += scratch_.size();
        return put(scratch_.data(), scratch_.size());
    }

    // One item per fragment, each of even length: an odd fragment takes the first byte of the
    // next fragment of its frame, or gains a zero byte when it is the frame's last.
    bool writeItems(uint32_t frame, std::vector<Held> &fragments, SpillFile &spill) {
        if (frame >= 1 && frame <= offsets_.size() && !firstSeen_[frame - 1]) {
            if (itemBytes_ > UINT32_MAX) return tooLarge();
            offsets_[frame - 1] = static_cast<uint32_t>(itemBytes_);
            firstSeen_[frame - 1] = true;
        }
        std::vector<uint8_t> loaded;
        bool lent = false;  // the first byte of this fragment went into the previous item
        for (size_t i = 0; i < fragments.size(); ++i) {
            Held &h = fragments[i];
            if (h.length == 0) continue;
            if (frame >= 1 && frame <= layout_.size()) layout_[frame - 1].push_back({h.fragment, h.length});
            const uint8_t *p = heldBytes(h, spill, loaded);
            if (p == nullptr) return false;
            uint32_t skip = lent ? 1 : 0;
            uint32_t n = h.length - skip;
            lent = false;
            if (n == 0) continue;
            uint8_t tail[1] = {0};
            bool odd = (n & 1) != 0;
            if (odd) {
                size_t j = i + 1;
                while (j < fragments.size() && fragments[j].length == 0) ++j;
                if (j < fragments.size()) {
                    if (!firstByte(fragments[j], spill, tail)) return false;
                    lent = true;
                }
            }
            uint32_t itemLength = n + (odd ? 1 : 0);
            if (!putItemHeader(itemLength) || !put(p + skip, n) || (odd && !put(tail, 1))) return false;
            itemBytes_ += 8u + itemLength;
        }
        return true;
    }

    static bool firstByte(const Held &h, SpillFile &spill, uint8_t *out) {
        if (h.data != nullptr) {
            *out = h.data[0];
            return true;
        }
        return spill.read(h.spill, out, 1);
    }

    // The item payloads of frame j (between its first item and `end`) concatenated into the
    // spill file and cut back into the fragments that were handed in (only the last item of a
    // frame can carry a pad byte, and borrowing keeps the concatenation).
    bool takeBackFrame(uint32_t j, uint64_t end, SpillFile &spill, std::vector<Held> &out) {
        int fd = fileno(out_);
        uint64_t at = itemsStart() + offsets_[j - 1];
        uint64_t stop = itemsStart() + end;
        uint64_t base = 0;
        bool haveBase = false;
        std::vector<uint8_t> buffer;
        while (at + 8 <= stop) {
            uint8_t header[8];
            if (pread(fd, header, 8, static_cast<off_t>(at)) != 8) return writeFailed();
            uint32_t length = static_cast<uint32_t>(header[4]) | header[5] << 8 | header[6] << 16 |
                              static_cast<uint32_t>(header[7]) << 24;
            buffer.resize(length);
            if (length != 0 && pread(fd, buffer.data(), length, static_cast<off_t>(at + 8)) != length)
                return writeFailed();
            uint64_t where = 0;
            if (!spill.append(buffer.data(), length, &where)) return false;
            if (!haveBase) base = where;
            haveBase = true;
            at += 8u + length;
        }
        for (const auto &[fragment, length] : layout_[j - 1]) {
            out.push_back(Held{fragment, length, nullptr, base});
            base += length;
        }
        return true;
    }

    FILE *out_;
    bool encapsulated_;
    bool bigEndian_;
    bool explicitVR_;
    unsigned swapSize_;
    bool wordVR_;
    uint64_t packedBits_;
    uint32_t frameCount_;
    off_t lengthPosition_ = -1;
    off_t tablePosition_ = -1;
    uint64_t valueBytes_ = 0;
    uint64_t itemBytes_ = 0;
    uint8_t carry_[8] = {};
    unsigned carryBytes_ = 0;
    unsigned bitAccumulator_ = 0;
    unsigned bitFill_ = 0;
    std::vector<uint32_t> offsets_;
    std::vector<bool> firstSeen_;
    std::vector<std::vector<std::pair<uint16_t, uint32_t>>> layout_;  // per frame: fragments written
    std::vector<uint8_t> scratch_;
};

bool growBuffer(FrameBuffer &buffer, uint32_t size) {
    if (buffer.capacity >= size && buffer.data != nullptr) return true;
    void *grown = std::realloc(buffer.data, size == 0 ? 1 : size);
    if (grown == nullptr) return false;
    buffer.data = static_cast<uint8_t *>(grown);
    buffer.capacity = size;
    return true;
}

}  // namespace
}  // namespace velmar::codecs

using namespace velmar::codecs;

// State of one conversion. Opaque to codecs, which use the services below.
struct KernelPrivate {
    AppData *app = nullptr;
    uint32_t framesWritten = 0;
    IOObject *io = nullptr;
    const PixelDataDescriptor *descriptor = nullptr;
    Codec *coder = nullptr;
    Codec *decoder = nullptr;
    CodecLibrary *coderLibrary = nullptr;
    CodecLibrary *decoderLibrary = nullptr;
    void *coderParam = nullptr;
    void *decoderParam = nullptr;
    FrameBuffer decoded{};
    FrameBuffer raw{};

    // The source file, opened at the first frame read and kept open to the end.
    int sourceFd = -1;
    uint64_t sourceSize = 0;
    std::vector<uint32_t> entryOrder;  // frame-table indices sorted by frame, then fragment

    // Coded frames not yet written (normally just the frame being coded), and the writer.
    std::map<uint32_t, std::vector<Held>> pending;
    uint64_t heldInMemory = 0;  // bytes of pending fragments kept in memory
    uint64_t memoryBound = 0;   // beyond it, pending fragments go to the spill file
    SpillFile spill;
    int64_t lastWrittenFrame = -1;
    int64_t openFrame = -1;  // native output: the frame whose fragments go straight out
    uint32_t openNext = 0;   // the fragment number that may follow them
    std::unique_ptr<PixelWriter> writer;
    int16_t failure = 0;
    // What the codecs said their work changes (setCodedImageInfo).
    std::string photometric;
    int16_t planarConfiguration = -1;
    std::string lossyMethod;
    bool coderTold = false;  // the coder's photometric word wins over the decoder's
    bool inCoderInit = false;

    void fail(int16_t status) {
        if (failure == 0) failure = status != 0 ? status : -1;
    }

    ~KernelPrivate() {
        for (auto &frame : pending) freeHeld(frame.second);
        std::free(decoded.data);
        std::free(raw.data);
        if (sourceFd >= 0) close(sourceFd);
    }
};

namespace velmar::codecs {
namespace {

constexpr uint64_t kMinimumMemoryBound = 4u << 20;

Codec *findCodec(AppData *app, const char *uid, int16_t isCoder) {
    for (int32_t i = app->codecCount - 1; i >= 0; --i) {
        Codec *codec = app->codecs[i];
        if (codec != nullptr && codec->isCoder == isCoder && std::strcmp(codec->transferSyntaxUID, uid) == 0)
            return codec;
    }
    return nullptr;
}

CodecLibrary *findLibrary(AppData *app, const char *name) {
    for (int32_t i = app->codecLibraryCount - 1; i >= 0; --i) {
        CodecLibrary *library = app->codecLibraries[i];
        if (library != nullptr && std::strcmp(library->libraryName, name) == 0) return library;
    }
    return nullptr;
}

// The decoder of the source syntax and the coder of the target, with their libraries.
bool pickCodecs(AppData *app, const IOObject *io, const PixelDataDescriptor *descriptor, Codec **decoder,
                Codec **coder, CodecLibrary **decoderLibrary, CodecLibrary **coderLibrary) {
    char sourceUID[VELMAR_UID_SIZE];
    std::memcpy(sourceUID, descriptor->transferSyntaxUID, sizeof sourceUID);
    sourceUID[sizeof sourceUID - 1] = '\0';
    *decoder = findCodec(app, sourceUID, 0);
    *coder = findCodec(app, io->transferSyntaxUID, 1);
    if (*decoder == nullptr) {
        noteWriteFailure("no decoder is registered for the transfer syntax %s of the pixel data", sourceUID);
        return false;
    }
    if (*coder == nullptr) {
        noteWriteFailure("no coder is registered for the target transfer syntax %s", io->transferSyntaxUID);
        return false;
    }
    *decoderLibrary = findLibrary(app, (*decoder)->libraryName);
    *coderLibrary = findLibrary(app, (*coder)->libraryName);
    if (*decoderLibrary == nullptr || *coderLibrary == nullptr) {
        noteWriteFailure("the codec library %s is not registered",
                         *decoderLibrary == nullptr ? (*decoder)->libraryName : (*coder)->libraryName);
        return false;
    }
    return true;
}

bool sortEntries(KernelPrivate *kernel) {
    const PixelDataDescriptor *descriptor = kernel->descriptor;
    try {
        kernel->entryOrder.resize(descriptor->entryCount);
        for (uint32_t i = 0; i < descriptor->entryCount; ++i) kernel->entryOrder[i] = i;
        const PixelFrameEntry *entries = descriptor->frames;
        std::stable_sort(kernel->entryOrder.begin(), kernel->entryOrder.end(),
                         [entries](uint32_t a, uint32_t b) {
                             if (entries[a].frame != entries[b].frame)
                                 return entries[a].frame < entries[b].frame;
                             return entries[a].fragment < entries[b].fragment;
                         });
    } catch (const std::bad_alloc &) {
        return false;
    }
    return true;
}

int16_t init_kernelprivate(KernelPrivate **kernel_out, AppData *app, IOObject *io,
                           const PixelDataDescriptor *descriptor) {
    *kernel_out = nullptr;
    if (app == nullptr || io == nullptr || descriptor == nullptr || app->codecs == nullptr) {
        noteWriteFailure("no codecs are registered");
        return -1;
    }
    Codec *decoder = nullptr, *coder = nullptr;
    CodecLibrary *decoderLibrary = nullptr, *coderLibrary = nullptr;
    if (!pickCodecs(app, io, descriptor, &decoder, &coder, &decoderLibrary, &coderLibrary)) return -1;

    auto *kernel = new (std::nothrow) KernelPrivate();
    if (kernel == nullptr) return -1;
    kernel->app = app;
    kernel->io = io;
    kernel->descriptor = descriptor;
    kernel->decoder = decoder;
    kernel->coder = coder;
    kernel->decoderLibrary = decoderLibrary;
    kernel->coderLibrary = coderLibrary;
    kernel->memoryBound = std::max<uint64_t>(descriptor->frameSize, kMinimumMemoryBound);
    kernel->decoded.data =
        static_cast<uint8_t *>(std::calloc(descriptor->frameSize == 0 ? 1 : descriptor->frameSize, 1));
    if (kernel->decoded.data == nullptr || !sortEntries(kernel)) {
        noteWriteFailure("out of memory for a frame of %u bytes", descriptor->frameSize);
        delete kernel;
        return -1;
    }
    kernel->decoded.capacity = descriptor->frameSize;
    *kernel_out = kernel;
    return 0;
}

void done_kernelprivate(KernelPrivate **kernel_slot) {
    if (kernel_slot == nullptr) return;
    delete *kernel_slot;
    *kernel_slot = nullptr;
}

bool openSource(KernelPrivate *kernel) {
    if (kernel->sourceFd >= 0) return true;
    const char *name = kernel->descriptor->fileName;
    if (name == nullptr) {
        noteWriteFailure("the pixel data has no source file");
        return false;
    }
    int fd = velmar::support::openRegularFile(name);
    struct stat info {};
    if (fd < 0 || fstat(fd, &info) != 0) {
        noteWriteFailure("cannot open the pixel data source %s: %s", name, std::strerror(errno));
        if (fd >= 0) close(fd);
        return false;
    }
#ifdef POSIX_FADV_SEQUENTIAL
    posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
#endif
    kernel->sourceFd = fd;
    kernel->sourceSize = static_cast<uint64_t>(info.st_size);
    return true;
}

bool readFully(int fd, uint8_t *into, uint32_t length, uint64_t offset) {
    while (length > 0) {
        ssize_t got = pread(fd, into, length, static_cast<off_t>(offset));
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return false;
        into += got;
        length -= static_cast<uint32_t>(got);
        offset += static_cast<uint64_t>(got);
    }
    return true;
}

// Tells the caller's progress function, when there is one, that one more frame is written.
void reportProgress(KernelPrivate *kernel) {
    ++kernel->framesWritten;
    AppData *app = kernel->app;
    if (app != nullptr && app->progress != nullptr)
        app->progress(app->progressUser, kernel->framesWritten, kernel->descriptor->numberOfFrames);
}

// Writes every pending frame whose number is below `limit` (all of them for -1).
bool flushFrames(KernelPrivate *kernel, int64_t limit) {
    while (!kernel->pending.empty()) {
        auto first = kernel->pending.begin();
        if (limit >= 0 && first->first >= limit) break;
        bool ok = kernel->writer->writeFrame(first->first, first->second, kernel->spill);
        kernel->lastWrittenFrame = first->first;
        for (const Held &h : first->second)
            if (h.data != nullptr) kernel->heldInMemory -= h.length;
        freeHeld(first->second);
        kernel->pending.erase(first);
        if (!ok) return false;
        reportProgress(kernel);
    }
    return true;
}

// Frame-table indices of one frame. Native data has entry i for frame i + 1, found at once; other
// tables are searched in the sorted order.
std::vector<uint32_t> frameEntries(const KernelPrivate *kernel, uint32_t frame) {
    const PixelDataDescriptor *pds = kernel->descriptor;
    const PixelFrameEntry *entries = pds->frames;
    if (pds->pixelLength != VELMAR_UNDEFINED_LENGTH && frame >= 1 && frame <= pds->entryCount &&
        entries[frame - 1].frame == static_cast<uint16_t>(frame))
        return {frame - 1};
    if (frame > UINT16_MAX) return {};
    auto first = std::partition_point(kernel->entryOrder.begin(), kernel->entryOrder.end(),
                                      [entries, frame](uint32_t i) { return entries[i].frame < frame; });
    auto last = std::partition_point(first, kernel->entryOrder.end(),
                                     [entries, frame](uint32_t i) { return entries[i].frame == frame; });
    return {first, last};
}

// Bit offset of a bit-packed native frame inside its first byte (0 for every other frame).
unsigned packedShift(const PixelDataDescriptor *pds, uint32_t frame) {
    uint64_t bits = packedFrameBits(pds);
    if (bits == 0 || pds->pixelLength == VELMAR_UNDEFINED_LENGTH || frame == 0) return 0;
    return static_cast<unsigned>(((frame - 1u) * bits) % 8);
}

}  // namespace

// Byte count of one source frame: its fragments in order, each fragment number once. False when
// the frame has no entries, an entry lies beyond the end of the source file, or the file cannot
// be opened.
bool frameExtent(KernelPrivate *kernel, uint32_t frame, uint64_t *total_out) {
    std::vector<uint32_t> indices = frameEntries(kernel, frame);
    if (indices.empty()) {
        noteWriteFailure("frame %u has no data in the source", frame);
        return false;
    }
    if (!openSource(kernel)) return false;
    const PixelFrameEntry *entries = kernel->descriptor->frames;
    uint64_t total = 0;
    int32_t previous = -1;
    for (uint32_t i : indices) {
        const PixelFrameEntry &e = entries[i];
        if (e.fragment == previous) continue;
        previous = e.fragment;
        if (static_cast<uint64_t>(e.offset) + e.length > kernel->sourceSize) {
            noteWriteFailure("frame %u is short in the source file %s", frame, kernel->descriptor->fileName);
            return false;
        }
        total += e.length;
    }
    if (total >= VELMAR_UNDEFINED_LENGTH) return false;
    *total_out = total;
    return true;
}

// Reads the bytes of one entry whose samples are held in words of the other byte order: the
// whole words that cover it (a frame of odd size starts or ends inside a word) are read and
// reversed, and the entry's own bytes kept.
bool readWholeWords(KernelPrivate *kernel, const PixelFrameEntry &e, uint8_t *into) {
    const PixelDataDescriptor *pds = kernel->descriptor;
    uint64_t start = e.offset - ((e.offset - pds->pixelOffset) & 1u);
    uint64_t end = static_cast<uint64_t>(e.offset) + e.length;
    if (((end - pds->pixelOffset) & 1u) != 0) ++end;
    if (start == e.offset && end == e.offset + static_cast<uint64_t>(e.length)) {
        // Whole words: reversed where they are read.
        if (!readFully(kernel->sourceFd, into, e.length, e.offset)) return false;
        swapSamples(into, e.length, 2);
        return true;
    }
    std::vector<uint8_t> words(end - start);
    // An OW value has an even length, so the covering words lie within it.
    if (!readFully(kernel->sourceFd, words.data(), static_cast<uint32_t>(words.size()), start)) return false;
    swapSamples(words.data(), words.size(), 2);
    std::memcpy(into, words.data() + (e.offset - start), e.length);
    return true;
}

// Reads one source frame (frameExtent bytes) into `into`, in host byte order; a bit-packed frame
// is moved to start at the first bit.
bool readFrameInto(KernelPrivate *kernel, uint32_t frame, uint8_t *into) {
    const PixelFrameEntry *entries = kernel->descriptor->frames;
    const bool wordSwapped = wordSwappedSource(kernel->descriptor);
    uint64_t filled = 0;
    int32_t previous = -1;
    for (uint32_t i : frameEntries(kernel, frame)) {
        const PixelFrameEntry &e = entries[i];
        if (e.fragment == previous) continue;
        previous = e.fragment;
        bool read = wordSwapped ? readWholeWords(kernel, e, into + filled)
                                : readFully(kernel->sourceFd, into + filled, e.length, e.offset);
        if (!read) {
            noteWriteFailure("cannot read frame %u from the source file %s: %s", frame,
                             kernel->descriptor->fileName, errno != 0 ? std::strerror(errno) : "end of file");
            return false;
        }
        filled += e.length;
    }
    if (!wordSwapped) swapSamples(into, filled, sourceSwapSize(kernel->descriptor));
    uint64_t bits = packedFrameBits(kernel->descriptor);
    if (bits != 0 && kernel->descriptor->pixelLength != VELMAR_UNDEFINED_LENGTH)
        alignBits(into, into, bits, packedShift(kernel->descriptor, frame));
    return true;
}

// Bytes a frame has once read: a bit-packed native frame is its frame size.
uint64_t frameBytesRead(KernelPrivate *kernel, uint64_t extent) {
    const PixelDataDescriptor *pds = kernel->descriptor;
    if (packedFrameBits(pds) != 0 && pds->pixelLength != VELMAR_UNDEFINED_LENGTH)
        return std::min<uint64_t>(extent, pds->frameSize);
    return extent;
}

namespace {

// Which codec failed, when no more precise cause is known.
void noteCodecFailure(const Codec *codec, const char *what, int16_t status) {
    noteWriteFailure("the %s of codec library %s (transfer syntax %s) %s (status %d)",
                     codec->isCoder != 0 ? "coder" : "decoder", codec->libraryName, codec->transferSyntaxUID,
                     what, status);
}

// ---- Direct copy of uncompressed frames -------------------------------------------------------

// True when the stream is backed by a regular file, which positioned writes can reach.
bool onRegularFile(FILE *stream) {
    struct stat info {};
    int fd = stream != nullptr ? fileno(stream) : -1;
    return fd >= 0 && fstat(fd, &info) == 0 && S_ISREG(info.st_mode);
}

// The built-in raw-frame decoder feeding the built-in native coder only moves each frame's bytes
// and turns their byte order, so such a conversion copies the frames from file to file instead
// (see bytecopy). It applies when every frame is exactly frameSize bytes, frames are not packed
// bit by bit and the output is a regular file; `swapUnit_out` gets the sample size to reverse
// (0 when source and target orders agree).
bool directCopyApplies(KernelPrivate *kernel, unsigned *swapUnit_out) {
    const PixelDataDescriptor *pds = kernel->descriptor;
    if (kernel->decoder->process != rawFrameDecoder || !isNativeCoder(kernel->coder) ||
        !kernel->writer->streamsNative() || pds->numberOfFrames == 0 || pds->frameSize == 0 ||
        !onRegularFile(kernel->io->stream))
        return false;
    // Source and target reverse by the same unit, or one of them by none.
    unsigned sourceUnit = sourceSwapSize(pds), targetUnit = kernel->writer->swapSize();
    unsigned unit = sourceUnit == targetUnit ? 0 : std::max(sourceUnit, targetUnit);
    if (unit == 1) unit = 0;
    for (uint32_t frame = 1; frame <= pds->numberOfFrames; ++frame) {
        uint64_t total = 0;
        if (!frameExtent(kernel, frame, &total) || total != pds->frameSize) return false;
        for (uint32_t i : frameEntries(kernel, frame))
            if (unit != 0 && pds->frames[i].length % unit != 0) return false;
    }
    *swapUnit_out = unit;
    return true;
}

// Queues one frame's fragments (each fragment number once, as frameExtent counts them).
bool queueFrame(KernelPrivate *kernel, uint32_t frame, RunCopier &copier) {
    int32_t previous = -1;
    for (uint32_t i : frameEntries(kernel, frame)) {
        const PixelFrameEntry &e = kernel->descriptor->frames[i];
        if (e.fragment == previous) continue;
        previous = e.fragment;
        if (!copier.add(e.offset, e.length)) return false;
    }
    return true;
}

int16_t runDirectCopy(KernelPrivate *kernel, unsigned swapUnit) {
    FILE *out = kernel->io->stream;
    off_t start = std::fflush(out) == 0 ? ftello(out) : -1;
    if (start < 0) return -1;
    RunCopier copier(kernel->sourceFd, fileno(out), static_cast<uint64_t>(start), swapUnit);
    for (uint32_t frame = 1; frame <= kernel->descriptor->numberOfFrames; ++frame) {
        int64_t written = queueFrame(kernel, frame, copier) ? copier.endFrame() : -1;
        if (written < 0) return -1;
        while (written-- > 0) reportProgress(kernel);
    }
    int64_t written = copier.finish();
    if (written < 0) return -1;
    while (written-- > 0) reportProgress(kernel);
    if (fseeko(out, static_cast<off_t>(copier.targetOffset()), SEEK_SET) != 0) return -1;
    kernel->writer->countNative(copier.bytesWritten());
    return kernel->writer->finish() ? 0 : -1;
}

int16_t runConversion(KernelPrivate *kernel) {
    const PixelDataDescriptor *pds = kernel->descriptor;
    Codec *decoder = kernel->decoder;
    Codec *coder = kernel->coder;
    if (!kernel->writer->begin()) return -1;
    if (unsigned unit = 0; directCopyApplies(kernel, &unit)) return runDirectCopy(kernel, unit);

    int16_t status = decoder->init == nullptr ? 0 : decoder->init(kernel, pds);
    bool decoderReady = status == 0;
    if (!decoderReady) noteCodecFailure(decoder, "refused the image", status);
    kernel->inCoderInit = true;
    bool coderReady = decoderReady && (coder->init == nullptr || (status = coder->init(kernel, pds)) == 0);
    kernel->inCoderInit = false;
    if (decoderReady && !coderReady) noteCodecFailure(coder, "refused the image", status);
    if (!decoderReady || !coderReady) kernel->fail(-1);
    if (coderReady) {
        status = coder->process != nullptr ? coder->process(kernel, nullptr) : -1;
        if (status != 0) {
            noteCodecFailure(coder, "failed", status);
            kernel->fail(status);
        }
    }
    if (decoderReady && decoder->done != nullptr) decoder->done(kernel);
    if (coderReady && coder->done != nullptr) coder->done(kernel);
    if (kernel->failure != 0) return kernel->failure;
    if (kernel->openFrame >= 0) {
        kernel->openFrame = -1;
        reportProgress(kernel);  // the last frame written straight out
    }
    if (!flushFrames(kernel, -1) || !kernel->writer->finish()) return -1;
    if (kernel->framesWritten < pds->numberOfFrames) {
        noteWriteFailure("the coder of codec library %s wrote %u of %u frames", coder->libraryName,
                         kernel->framesWritten, pds->numberOfFrames);
        return -1;
    }
    return 0;
}

const char *photometricOrBlank(const PixelDataDescriptor *pds) {
    return pds->photometric[0] != '\0' ? pds->photometric : "(none)";
}

// Fragments of frames beyond Number of Frames would never be read: such data is refused.
bool encapsulatedFramesCounted(const PixelDataDescriptor *pds) {
    for (uint32_t i = 0; i < pds->entryCount; ++i)
        if (pds->frames[i].frame > pds->numberOfFrames) {
            noteWriteFailure("the encapsulated Pixel Data holds fragments of frame %u, beyond Number of Frames "
                             "(0028,0008) of %u",
                             pds->frames[i].frame, pds->numberOfFrames);
            return false;
        }
    return true;
}

// An image the conversion cannot carry whole is refused before anything is written.
bool acceptableImage(const PixelDataDescriptor *pds) {
    uint16_t bits = pds->bitsAllocated;
    if (bits != 1 && bits != 8 && bits != 16 && bits != 32) {
        noteWriteFailure(
            "Bits Allocated (0028,0100) of %u is not 1, 8, 16 or 32: the pixel data cannot be converted",
            bits);
        return false;
    }
    if (pds->numberOfFrames == 0) {
        noteWriteFailure("Number of Frames (0028,0008) is not a count from 1 to 4294967295");
        return false;
    }
    if (pds->rows == 0 || pds->columns == 0 || pds->samplesPerPixel == 0) {
        noteWriteFailure("an image of %u rows, %u columns and %u samples per pixel (%s) has no pixels",
                         pds->rows, pds->columns, pds->samplesPerPixel, photometricOrBlank(pds));
        return false;
    }
    if (pds->pixelLength == VELMAR_UNDEFINED_LENGTH) {
        // Fragments under an uncompressed syntax name no codec: read as raw samples they would be
        // converted into other pixels.
        if (pds->syntaxCode >= TS_IMPLICIT_LITTLE && pds->syntaxCode <= TS_EXPLICIT_BIG) {
            noteWriteFailure(
                "Pixel Data holds encapsulated fragments, but transfer syntax %s is "
                "uncompressed: the fragments cannot be decoded",
                pds->transferSyntaxUID);
            return false;
        }
        return encapsulatedFramesCounted(pds);
    }
    // An Interfile study's length counts every image of the header, of which a Secondary Capture
    // object takes the first: its frames are checked by the conversion that made it.
    if (std::strncmp(pds->transferSyntaxUID, "Interfile.", 10) == 0) return true;
    uint64_t expected = nativeValueBytes(pds);
    uint64_t stored = pds->pixelLength;
    if (stored != expected && stored != expected + (expected & 1)) {
        noteWriteFailure(
            "Pixel Data holds %llu bytes but %u frames of %u x %u x %u samples of %u bits account for "
            "%llu: the conversion would %s",
            static_cast<unsigned long long>(stored), pds->numberOfFrames, pds->rows, pds->columns,
            pds->samplesPerPixel, bits, static_cast<unsigned long long>(expected),
            stored > expected ? "lose bytes" : "find frames short in the source");
        return false;
    }
    return true;
}

}  // namespace

// The counts and words a finished conversion hands to the writer.
static void collectEffects(const KernelPrivate *kernel, CodingEffects *effects) {
    if (effects == nullptr) return;
    effects->photometric = kernel->photometric;
    effects->planarConfiguration = kernel->planarConfiguration;
    effects->lossyMethod = kernel->lossyMethod;
    effects->rawBytes =
        static_cast<uint64_t>(kernel->descriptor->frameSize) * kernel->descriptor->numberOfFrames;
    effects->codedBytes = kernel->writer->codedBytes();
}

int16_t writePixelDataElement(AppData *app, IOObject *io, const PixelDataDescriptor *descriptor,
                              uint32_t available, CodingEffects *effects) {
    if (io == nullptr || io->stream == nullptr || descriptor == nullptr || available < VELMAR_PDS_FIXED_SIZE)
        return -1;
    if (VELMAR_PDS_FIXED_SIZE + static_cast<uint64_t>(descriptor->entryCount) * VELMAR_PDS_ENTRY_SIZE >
        available) {
        noteWriteFailure("the pixel data descriptor is too short for its frame table");
        return -1;
    }
    if (!acceptableImage(descriptor)) return -1;
    if (io->dataSyntax == TS_OTHER && descriptor->numberOfFrames > UINT16_MAX) {
        // The frame table of encapsulated data numbers frames in 16 bits: such a file could not
        // be read back whole.
        noteWriteFailure("encapsulated Pixel Data holds at most 65535 frames; this image has %u",
                         descriptor->numberOfFrames);
        return -1;
    }
    KernelPrivate *kernel = nullptr;
    int16_t status = init_kernelprivate(&kernel, app, io, descriptor);
    if (status != 0) return status;
    try {
        kernel->writer = std::make_unique<PixelWriter>(io->stream, io->dataSyntax, descriptor);
        status = runConversion(kernel);
        if (status == 0) collectEffects(kernel, effects);
    } catch (...) {
        noteWriteFailure("out of memory while converting the pixel data");
        status = -1;
    }
    done_kernelprivate(&kernel);
    return status;
}

}  // namespace velmar::codecs

namespace {

using namespace velmar::codecs;

uint32_t fragmentFrame(const CodedFragment *fragment) {
    return static_cast<uint32_t>(fragment->frame) | fragment->frameHigh << 16;
}

// Keeps a fragment until its frame is written: a copy in memory, or in the spill file when the
// memory bound is reached.
bool holdFragment(KernelPrivate *kernel, uint32_t frame, uint16_t number, const uint8_t *bytes,
                  uint32_t length) {
    auto known = kernel->pending.find(frame);
    if (known != kernel->pending.end())
        for (const Held &h : known->second)
            if (h.fragment == number) {
                noteWriteFailure("the coder of codec library %s handed fragment %u of frame %u twice",
                                 kernel->coder->libraryName, number, frame);
                return false;
            }
    Held held{number, length, nullptr, 0};
    if (kernel->heldInMemory + length <= kernel->memoryBound) {
        held.data = static_cast<uint8_t *>(std::malloc(length == 0 ? 1 : length));
        if (held.data == nullptr) {
            noteWriteFailure("out of memory for a coded fragment of %u bytes", length);
            return false;
        }
        if (length != 0) std::memcpy(held.data, bytes, length);
        kernel->heldInMemory += length;
    } else if (!kernel->spill.append(bytes, length, &held.spill)) {
        return false;
    }
    try {
        kernel->pending[frame].push_back(held);
    } catch (...) {
        std::free(held.data);
        return false;
    }
    return true;
}

// A fragment of a frame already written: encapsulated frames from it on are taken back into the
// pending set; native output cannot be taken back.
bool takeBackWritten(KernelPrivate *kernel, uint32_t frame) {
    uint32_t taken = 0;
    if (kernel->writer->native() || !kernel->writer->rewind(frame, kernel->spill, kernel->pending, &taken)) {
        noteWriteFailure(
            "the coder of codec library %s handed a fragment of frame %u after the frame was written",
            kernel->coder->libraryName, frame);
        return false;
    }
    kernel->framesWritten -= taken;
    kernel->lastWrittenFrame = frame - 1;
    return true;
}

// Native output in order needs no copy: the next frame's fragments (frames count from 1), numbered
// from 0 without gaps, are written as they come.
bool writesStraightOut(KernelPrivate *kernel, uint32_t frame, uint16_t number) {
    if (!kernel->writer->streamsNative() || !kernel->pending.empty()) return false;
    int64_t nextFrame = kernel->lastWrittenFrame < 1 ? 1 : kernel->lastWrittenFrame + 1;
    return kernel->openFrame == frame ? number == kernel->openNext : frame == nextFrame && number == 0;
}

int16_t failWith(KernelPrivate *kernel) {
    kernel->fail(-1);
    return -1;
}

}  // namespace

extern "C" {

VELMAR_API int16_t GetDecodedFrame(KernelPrivate *kernel, FrameBuffer **frame_out, uint32_t frame_number) {
    if (frame_out != nullptr) *frame_out = nullptr;
    if (kernel == nullptr) return -1;
    FrameBuffer &buffer = kernel->decoded;
    buffer.frameNumber = frame_number;
    buffer.length = kernel->descriptor->frameSize;
    buffer.offset = 0;
    Codec *decoder = kernel->decoder;
    int16_t status = decoder->process != nullptr ? decoder->process(kernel, &buffer) : -1;
    // What the decoder hands back must lie inside the buffer.
    if (status == 0 && (buffer.offset > buffer.capacity || buffer.length > buffer.capacity - buffer.offset)) {
        noteWriteFailure("the decoder of codec library %s handed back frame %u outside its buffer",
                         decoder->libraryName, frame_number);
        status = -1;
    }
    if (status != 0) {
        noteWriteFailure("the decoder of codec library %s failed on frame %u (status %d)",
                         decoder->libraryName, frame_number, status);
        kernel->fail(status);
        return status;
    }
    if (frame_out != nullptr) *frame_out = &buffer;
    return 0;
}

VELMAR_API int16_t readSourceFrame(KernelPrivate *kernel, FrameBuffer **buffer_out, uint32_t frame_number) {
    if (buffer_out != nullptr) *buffer_out = nullptr;
    if (kernel == nullptr) return -1;
    uint64_t total = 0;
    FrameBuffer &raw = kernel->raw;
    if (!frameExtent(kernel, frame_number, &total)) return failWith(kernel);
    if (!growBuffer(raw, static_cast<uint32_t>(total))) {
        noteWriteFailure("out of memory for source frame %u of %llu bytes", frame_number,
                         static_cast<unsigned long long>(total));
        return failWith(kernel);
    }
    if (!readFrameInto(kernel, frame_number, raw.data)) return failWith(kernel);
    raw.frameNumber = frame_number;
    raw.length = static_cast<uint32_t>(frameBytesRead(kernel, total));
    raw.offset = 0;
    if (buffer_out != nullptr) *buffer_out = &raw;
    return 0;
}

VELMAR_API int16_t addCodedFragment(KernelPrivate *kernel, const CodedFragment *fragment) {
    if (kernel == nullptr || fragment == nullptr) return -1;
    uint32_t frame = fragmentFrame(fragment);
    if ((fragment->length != 0 && fragment->data == nullptr) || kernel->writer == nullptr)
        return failWith(kernel);
    if (frame == 0 || frame > kernel->descriptor->numberOfFrames) {
        noteWriteFailure(
            "the coder of codec library %s handed a fragment of frame %u of an image of %u frames",
            kernel->coder->libraryName, frame, kernel->descriptor->numberOfFrames);
        return failWith(kernel);
    }
    // A fragment of a later frame closes the frame that went straight out.
    if (kernel->openFrame >= 0 && frame != kernel->openFrame) {
        kernel->lastWrittenFrame = std::max(kernel->lastWrittenFrame, kernel->openFrame);
        kernel->openFrame = -1;
        reportProgress(kernel);  // the frame written straight out is complete
    }
    if (static_cast<int64_t>(frame) <= kernel->lastWrittenFrame && !takeBackWritten(kernel, frame))
        return failWith(kernel);
    const uint8_t *bytes = fragment->data + fragment->offset;
    if (writesStraightOut(kernel, frame, fragment->fragment)) {
        if (!kernel->writer->emitNative(bytes, fragment->length)) return failWith(kernel);
        kernel->openFrame = frame;
        kernel->openNext = fragment->fragment + 1u;
        return 0;
    }
    if (!holdFragment(kernel, frame, fragment->fragment, bytes, fragment->length) ||
        !flushFrames(kernel, frame))
        return failWith(kernel);
    return 0;
}

}  // extern "C"

namespace velmar::codecs {

int16_t addCodedFrame(KernelPrivate *kernel, uint32_t frame, const uint8_t *const *pieces,
                      const uint32_t *lengths, size_t count) {
    if (kernel == nullptr || kernel->writer == nullptr) return -1;
    int64_t nextFrame = kernel->lastWrittenFrame < 1 ? 1 : kernel->lastWrittenFrame + 1;
    if (!kernel->writer->native() && kernel->pending.empty() && frame == nextFrame &&
        frame <= kernel->descriptor->numberOfFrames) {
        if (!kernel->writer->writePieces(frame, pieces, lengths, count)) return failWith(kernel);
        kernel->lastWrittenFrame = frame;
        reportProgress(kernel);
        return 0;
    }
    std::vector<uint8_t> whole;
    for (size_t i = 0; i < count; ++i) whole.insert(whole.end(), pieces[i], pieces[i] + lengths[i]);
    CodedFragment fragment{};
    fragment.frame = static_cast<uint16_t>(frame);
    fragment.frameHigh = frame >> 16;
    fragment.data = whole.data();
    fragment.length = static_cast<uint32_t>(whole.size());
    fragment.capacity = fragment.length;
    return addCodedFragment(kernel, &fragment);
}

}  // namespace velmar::codecs

extern "C" {

VELMAR_API void setCodedImageInfo(KernelPrivate *kernel, const char *photometric,
                                  int16_t planar_configuration, const char *lossy_method) {
    if (kernel == nullptr) return;
    try {
        if (planar_configuration >= 0 && (kernel->inCoderInit || kernel->planarConfiguration < 0))
            kernel->planarConfiguration = planar_configuration;
        if (photometric != nullptr && (kernel->inCoderInit || !kernel->coderTold)) {
            kernel->photometric.assign(photometric, strnlen(photometric, 16));
            kernel->coderTold = kernel->inCoderInit;
        }
        if (lossy_method != nullptr && lossy_method[0] != '\0')
            kernel->lossyMethod.assign(lossy_method, strnlen(lossy_method, 16));
    } catch (...) {
        kernel->fail(-1);
    }
}

VELMAR_API void setCoderParam(KernelPrivate *kernel, void *param) {
    if (kernel != nullptr) kernel->coderParam = param;
}
VELMAR_API void *getCoderParam(const KernelPrivate *kernel) {
    return kernel != nullptr ? kernel->coderParam : nullptr;
}
VELMAR_API void setDecoderParam(KernelPrivate *kernel, void *param) {
    if (kernel != nullptr) kernel->decoderParam = param;
}
VELMAR_API void *getDecoderParam(const KernelPrivate *kernel) {
    return kernel != nullptr ? kernel->decoderParam : nullptr;
}
VELMAR_API void *getCoderPrivate(const KernelPrivate *kernel) {
    return kernel != nullptr ? kernel->coderLibrary->privateData : nullptr;
}
VELMAR_API void *getDecoderPrivate(const KernelPrivate *kernel) {
    return kernel != nullptr ? kernel->decoderLibrary->privateData : nullptr;
}
VELMAR_API const PixelDataDescriptor *getKernelDescriptor(const KernelPrivate *kernel) {
    return kernel != nullptr ? kernel->descriptor : nullptr;
}
VELMAR_API const IOObject *getKernelIOObject(const KernelPrivate *kernel) {
    return kernel != nullptr ? kernel->io : nullptr;
}

VELMAR_API int32_t getDCMFileImageDataLength(AppData *app, const char *file_name) {
    if (file_name == nullptr) return -1;
    IOObject io{};
    init_IOObject(&io);
    io.metaSyntax = TS_NOT_SET;
    io.dataSyntax = TS_NOT_SET;
    io.hasPreamble = 1;
    if (DO_importObjectFromFile(app, file_name, &io) != 0) {
        DO_closeObject(&io.object);
        return -1;
    }
    PixelDataDescriptor *pds = get_ppds(app, io.object);
    DO_closeObject(&io.object);
    if (pds == nullptr) return 0;
    int64_t length = 0;
    if (pds->syntaxCode == TS_OTHER) {
        // The encapsulated value as written with one offset per frame: from the first fragment's
        // bytes to the end of the last, plus the offset table and the item and delimiter headers.
        if (pds->entryCount > 0) {
            const PixelFrameEntry &first = pds->frames[0];
            const PixelFrameEntry &last = pds->frames[pds->entryCount - 1];
            length =
                static_cast<int64_t>(last.offset) + last.length - first.offset + 4 * pds->numberOfFrames + 24;
        }
    } else {
        for (uint32_t i = 0; i < pds->entryCount; ++i) length += pds->frames[i].length;
    }
    std::free(pds);
    return static_cast<int32_t>(std::min<int64_t>(length, INT32_MAX));
}

VELMAR_API int16_t saveCodedFrameInFile(const FrameBuffer *buffer, const char *file_name) {
    if (buffer == nullptr || file_name == nullptr) return -2;
    FILE *file = std::fopen(file_name, "wb");
    if (file == nullptr) return -2;
    bool written = buffer->length == 0 ||
                   (buffer->data != nullptr &&
                    std::fwrite(buffer->data + buffer->offset, 1, buffer->length, file) == buffer->length);
    int closed = std::fclose(file);
    if (!written) return -1;
    return static_cast<int16_t>(closed);
}

VELMAR_API int16_t loadCodedFragmentFromFile(KernelPrivate *, const char *file_name,
                                             CodedFragment *fragment) {
    if (file_name == nullptr || fragment == nullptr) return -1;
    struct stat info {};
    if (stat(file_name, &info) != 0 || info.st_size < 0 ||
        static_cast<uint64_t>(info.st_size) >= VELMAR_UNDEFINED_LENGTH)
        return -1;
    FILE *file = velmar::support::fopenRegularFile(file_name, "rb");
    if (file == nullptr) return -2;
    uint32_t size = static_cast<uint32_t>(info.st_size);
    auto *data = static_cast<uint8_t *>(std::malloc(size == 0 ? 1 : size));
    if (data == nullptr) {
        std::fclose(file);
        return -1;
    }
    bool read = size == 0 || std::fread(data, 1, size, file) == size;
    std::fclose(file);
    if (!read) {
        std::free(data);
        return -3;
    }
    fragment->data = data;
    fragment->capacity = size;
    fragment->length = size;
    fragment->offset = 0;
    return 0;
}

}  // extern "C"
