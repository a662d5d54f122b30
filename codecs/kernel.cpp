// Frame kernel: runs one Pixel Data conversion between a decoder and a coder, streaming frame by
// frame from the source file to the output, and the kernel services codecs call.
#include "codecs/kernel.h"

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
              offsetof(CodedFragment, reserved) == 4 && offsetof(CodedFragment, capacity) == 8 &&
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

// Reverses every 16-bit unit (a trailing odd byte stays); written so that it vectorises.
// Two VR characters and the two reserved zero bytes of a long-length header.
void putVR(uint8_t *p, const char *vr) {
    p[0] = static_cast<uint8_t>(vr[0]);
    p[1] = static_cast<uint8_t>(vr[1]);
    p[2] = 0;
    p[3] = 0;
}

void reverseWords(uint8_t *bytes, size_t count) {
    size_t words = count / 2;
    for (size_t i = 0; i < words; ++i) {
        uint16_t w;
        std::memcpy(&w, bytes + 2 * i, 2);
        w = __builtin_bswap16(w);
        std::memcpy(bytes + 2 * i, &w, 2);
    }
}

// Copies `count` bytes (even) reversing every 16-bit unit, in one pass.
void copyReversingWords(uint8_t *to, const uint8_t *from, size_t count) {
    for (size_t i = 0; i < count / 2; ++i) {
        uint16_t w;
        std::memcpy(&w, from + 2 * i, 2);
        w = __builtin_bswap16(w);
        std::memcpy(to + 2 * i, &w, 2);
    }
}

// Source byte order against the host's: codes 0 and 1 are little endian, 2 big endian; any other
// code is never swapped.
bool sourceNeedsSwap(const PixelDataDescriptor *pds) {
    if (pds->bitsAllocated < 9) return false;
    if (pds->syntaxCode == TS_EXPLICIT_BIG) return bigendian() == 0;
    if (pds->syntaxCode == TS_IMPLICIT_LITTLE || pds->syntaxCode == TS_EXPLICIT_LITTLE)
        return bigendian() != 0;
    return false;
}

// Writes the Pixel Data element as the fragments arrive, frame after frame. The value length
// (native) and the Basic Offset Table (encapsulated) are reserved first and filled in at the end,
// so no more than one frame is ever held.
class PixelWriter {
   public:
    PixelWriter(FILE *out, int32_t syntax, const PixelDataDescriptor *pds)
        : out_(out),
          encapsulated_(syntax == TS_OTHER),
          bigEndian_(syntax == TS_EXPLICIT_BIG),
          explicitVR_(syntax != TS_IMPLICIT_LITTLE),
          swapWords_(pds->bitsAllocated >= 9 && (syntax == TS_EXPLICIT_BIG) != (bigendian() != 0)),
          wordVR_(pds->bitsAllocated > 8),
          frameCount_(pds->numberOfFrames) {}

    bool begin() {
        uint8_t header[12];
        size_t n = 0;
        if (encapsulated_) {
            // Encapsulated pixel data is always OB (its fragments are byte streams), little endian.
            putLE16(header, 0x7FE0);
            putLE16(header + 2, 0x0010);
            putVR(header + 4, "OB");
            putLE32(header + 8, VELMAR_UNDEFINED_LENGTH);
            if (!put(header, 12)) return false;
            putLE16(header, kItemGroup);
            putLE16(header + 2, kItemElement);
            putLE32(header + 4, 4u * frameCount_);
            if (!put(header, 8)) return false;
            tablePosition_ = ftello(out_);
            offsets_.assign(frameCount_, 0);
            firstSeen_.assign(frameCount_, false);
            std::vector<uint8_t> zeros(4u * frameCount_, 0);
            return tablePosition_ >= 0 && put(zeros.data(), zeros.size());
        }
        if (bigEndian_) {
            putBE16(header, 0x7FE0);
            putBE16(header + 2, 0x0010);
        } else {
            putLE16(header, 0x7FE0);
            putLE16(header + 2, 0x0010);
        }
        n = 4;
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
    bool writeFrame(uint16_t frame, std::vector<CodedFragment> &fragments) {
        std::stable_sort(
            fragments.begin(), fragments.end(),
            [](const CodedFragment &a, const CodedFragment &b) { return a.fragment < b.fragment; });
        return encapsulated_ ? writeItems(frame, fragments) : writeNative(fragments);
    }

    bool native() const { return !encapsulated_; }
    bool swapsWords() const { return swapWords_; }
    // Native bytes that went to the file past the stream (the direct copy): counted for the
    // value length.
    void countNative(uint64_t n) { valueBytes_ += n; }

    // Native bytes that the caller keeps; 16-bit units are reversed for an opposite-order
    // target (through a scratch buffer, also across fragment boundaries).
    bool emitNative(const uint8_t *p, size_t n) {
        valueBytes_ += n;
        if (!swapWords_) return put(p, n);
        if (n == 0) return true;
        if (haveCarry_) {
            uint8_t pair[2] = {p[0], carry_};
            if (!put(pair, 2)) return false;
            haveCarry_ = false;
            ++p;
            --n;
        }
        size_t whole = n & ~static_cast<size_t>(1);
        constexpr size_t kChunk = 256 * 1024;
        scratch_.resize(std::min(whole, kChunk));
        for (size_t done = 0; done < whole;) {
            size_t step = std::min(kChunk, whole - done);
            copyReversingWords(scratch_.data(), p + done, step);
            if (!put(scratch_.data(), step)) return false;
            done += step;
        }
        if (whole != n) {
            carry_ = p[whole];
            haveCarry_ = true;
        }
        return true;
    }

    bool finish() {
        uint8_t bytes[8];
        if (encapsulated_) {
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
        if (haveCarry_) {
            // A lone trailing byte has no partner to swap with.
            if (!put(&carry_, 1)) return false;
            haveCarry_ = false;
        }
        if ((valueBytes_ & 1) != 0) {
            uint8_t zero = 0;
            if (!put(&zero, 1)) return false;
            ++valueBytes_;
        }
        if (valueBytes_ >= VELMAR_UNDEFINED_LENGTH) return false;
        if (bigEndian_)
            putBE32(bytes, static_cast<uint32_t>(valueBytes_));
        else
            putLE32(bytes, static_cast<uint32_t>(valueBytes_));
        return patch(lengthPosition_, bytes, 4);
    }

   private:
    bool put(const void *data, size_t n) { return n == 0 || std::fwrite(data, 1, n, out_) == n; }

    bool patch(off_t position, const uint8_t *data, size_t n) {
        off_t end = ftello(out_);
        if (end < 0 || fseeko(out_, position, SEEK_SET) != 0) return false;
        if (!put(data, n)) return false;
        return fseeko(out_, end, SEEK_SET) == 0;
    }

    // Native: fragments are concatenated as they are (no per-fragment padding, which would shift
    // every later frame).
    bool writeNative(std::vector<CodedFragment> &fragments) {
        for (CodedFragment &f : fragments)
            if (!emitNative(f.data + f.offset, f.length)) return false;
        return true;
    }

    // Encapsulated: one item per fragment, each of even length: an odd fragment takes the first
    // byte of the next fragment of its frame, or gains a zero byte when it is the frame's last.
    bool writeItems(uint16_t frame, std::vector<CodedFragment> &fragments) {
        if (frame >= 1 && frame <= offsets_.size() && !firstSeen_[frame - 1]) {
            if (itemBytes_ > UINT32_MAX) return false;
            offsets_[frame - 1] = static_cast<uint32_t>(itemBytes_);
            firstSeen_[frame - 1] = true;
        }
        for (size_t i = 0; i < fragments.size(); ++i) {
            CodedFragment &f = fragments[i];
            if (f.length == 0) continue;
            const uint8_t *p = f.data + f.offset;
            uint32_t n = f.length;
            uint8_t tail[1] = {0};
            bool odd = (n & 1) != 0;
            if (odd) {
                for (size_t j = i + 1; j < fragments.size(); ++j) {
                    CodedFragment &next = fragments[j];
                    if (next.length == 0) continue;
                    tail[0] = next.data[next.offset];
                    ++next.offset;
                    --next.length;
                    break;
                }
            }
            uint32_t itemLength = n + (odd ? 1 : 0);
            uint8_t header[8];
            putLE16(header, kItemGroup);
            putLE16(header + 2, kItemElement);
            putLE32(header + 4, itemLength);
            if (!put(header, 8) || !put(p, n) || (odd && !put(tail, 1))) return false;
            itemBytes_ += 8u + itemLength;
        }
        return true;
    }

    FILE *out_;
    bool encapsulated_;
    bool bigEndian_;
    bool explicitVR_;
    bool swapWords_;
    bool wordVR_;
    uint16_t frameCount_;
    off_t lengthPosition_ = -1;
    off_t tablePosition_ = -1;
    uint64_t valueBytes_ = 0;
    uint64_t itemBytes_ = 0;
    bool haveCarry_ = false;
    uint8_t carry_ = 0;
    std::vector<uint32_t> offsets_;
    std::vector<bool> firstSeen_;
    std::vector<uint8_t> scratch_;
};

void freeFragments(std::vector<CodedFragment> &fragments) {
    for (CodedFragment &f : fragments) std::free(f.data);
    fragments.clear();
}

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
    std::map<uint16_t, std::vector<CodedFragment>> pending;
    int32_t lastWrittenFrame = -1;
    int32_t openFrame = -1;  // native output: the frame whose fragments go straight out
    uint32_t openNext = 0;   // the fragment number that may follow them
    std::unique_ptr<PixelWriter> writer;
    int16_t failure = 0;

    void fail(int16_t status) {
        if (failure == 0) failure = status != 0 ? status : -1;
    }

    ~KernelPrivate() {
        for (auto &frame : pending) freeFragments(frame.second);
        std::free(decoded.data);
        std::free(raw.data);
        if (sourceFd >= 0) close(sourceFd);
    }
};

namespace velmar::codecs {
namespace {

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

int16_t init_kernelprivate(KernelPrivate **kernel_out, AppData *app, IOObject *io,
                           const PixelDataDescriptor *descriptor) {
    *kernel_out = nullptr;
    if (app == nullptr || io == nullptr || descriptor == nullptr || app->codecs == nullptr) return -1;
    char sourceUID[VELMAR_UID_SIZE];
    std::memcpy(sourceUID, descriptor->transferSyntaxUID, sizeof sourceUID);
    sourceUID[sizeof sourceUID - 1] = '\0';
    Codec *decoder = findCodec(app, sourceUID, 0);
    Codec *coder = findCodec(app, io->transferSyntaxUID, 1);
    if (decoder == nullptr || coder == nullptr) return -1;
    CodecLibrary *decoderLibrary = findLibrary(app, decoder->libraryName);
    CodecLibrary *coderLibrary = findLibrary(app, coder->libraryName);
    if (decoderLibrary == nullptr || coderLibrary == nullptr) return -1;

    auto *kernel = new (std::nothrow) KernelPrivate();
    if (kernel == nullptr) return -1;
    kernel->app = app;
    kernel->io = io;
    kernel->descriptor = descriptor;
    kernel->decoder = decoder;
    kernel->coder = coder;
    kernel->decoderLibrary = decoderLibrary;
    kernel->coderLibrary = coderLibrary;
    kernel->decoded.data =
        static_cast<uint8_t *>(std::calloc(descriptor->frameSize == 0 ? 1 : descriptor->frameSize, 1));
    if (kernel->decoded.data == nullptr) {
        delete kernel;
        return -1;
    }
    kernel->decoded.capacity = descriptor->frameSize;
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
        delete kernel;
        return -1;
    }
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
    if (name == nullptr) return false;
    int fd = velmar::support::openRegularFile(name);
    if (fd < 0) return false;
    struct stat info {};
    if (fstat(fd, &info) != 0) {
        close(fd);
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
bool flushFrames(KernelPrivate *kernel, int32_t limit) {
    while (!kernel->pending.empty()) {
        auto first = kernel->pending.begin();
        if (limit >= 0 && first->first >= limit) break;
        bool ok = kernel->writer->writeFrame(first->first, first->second);
        kernel->lastWrittenFrame = first->first;
        freeFragments(first->second);
        kernel->pending.erase(first);
        if (!ok) return false;
        reportProgress(kernel);
    }
    return true;
}

// The entries of one frame in the sorted frame table.
std::pair<std::vector<uint32_t>::const_iterator, std::vector<uint32_t>::const_iterator> frameEntries(
    const KernelPrivate *kernel, uint16_t frame) {
    const PixelFrameEntry *entries = kernel->descriptor->frames;
    auto first = std::partition_point(kernel->entryOrder.begin(), kernel->entryOrder.end(),
                                      [entries, frame](uint32_t i) { return entries[i].frame < frame; });
    auto last = std::partition_point(first, kernel->entryOrder.end(),
                                     [entries, frame](uint32_t i) { return entries[i].frame == frame; });
    return {first, last};
}

}  // namespace

// Byte count of one source frame: its fragments in order, each fragment number once. False when
// the frame has no entries, an entry lies beyond the end of the source file, or the file cannot
// be opened.
bool frameExtent(KernelPrivate *kernel, uint16_t frame, uint64_t *total_out) {
    auto [first, last] = frameEntries(kernel, frame);
    if (first == last || !openSource(kernel)) return false;
    const PixelFrameEntry *entries = kernel->descriptor->frames;
    uint64_t total = 0;
    int32_t previous = -1;
    for (auto it = first; it != last; ++it) {
        const PixelFrameEntry &e = entries[*it];
        if (e.fragment == previous) continue;
        previous = e.fragment;
        if (static_cast<uint64_t>(e.offset) + e.length > kernel->sourceSize) return false;
        total += e.length;
    }
    if (total >= VELMAR_UNDEFINED_LENGTH) return false;
    *total_out = total;
    return true;
}

// Reads one source frame (frameExtent bytes) into `into`, in host byte order.
bool readFrameInto(KernelPrivate *kernel, uint16_t frame, uint8_t *into) {
    auto [first, last] = frameEntries(kernel, frame);
    const PixelFrameEntry *entries = kernel->descriptor->frames;
    uint64_t filled = 0;
    int32_t previous = -1;
    for (auto it = first; it != last; ++it) {
        const PixelFrameEntry &e = entries[*it];
        if (e.fragment == previous) continue;
        previous = e.fragment;
        if (!readFully(kernel->sourceFd, into + filled, e.length, e.offset)) return false;
        filled += e.length;
    }
    if (sourceNeedsSwap(kernel->descriptor)) reverseWords(into, filled);
    return true;
}

namespace {

// ---- Direct copy of uncompressed frames -------------------------------------------------------

// True when the stream is backed by a regular file, which positioned writes can reach.
bool onRegularFile(FILE *stream) {
    struct stat info {};
    int fd = stream != nullptr ? fileno(stream) : -1;
    return fd >= 0 && fstat(fd, &info) == 0 && S_ISREG(info.st_mode);
}

// The built-in raw-frame decoder feeding the built-in native coder only moves each frame's bytes
// and turns their byte order, so such a conversion copies the frames from file to file instead
// (see bytecopy). It applies when every frame is exactly frameSize bytes and the output is a
// regular file; `swapUnit_out` gets the sample size to reverse (0 when both orders agree).
bool directCopyApplies(KernelPrivate *kernel, unsigned *swapUnit_out) {
    const PixelDataDescriptor *pds = kernel->descriptor;
    if (kernel->decoder->process != rawFrameDecoder || !isNativeCoder(kernel->coder) ||
        !kernel->writer->native() || pds->numberOfFrames == 0 || pds->frameSize == 0 ||
        !onRegularFile(kernel->io->stream))
        return false;
    unsigned unit = sourceNeedsSwap(pds) != kernel->writer->swapsWords() ? 2 : 0;
    for (uint32_t frame = 1; frame <= pds->numberOfFrames; ++frame) {
        uint64_t total = 0;
        if (!frameExtent(kernel, static_cast<uint16_t>(frame), &total) || total != pds->frameSize)
            return false;
        auto [first, last] = frameEntries(kernel, static_cast<uint16_t>(frame));
        for (auto it = first; unit != 0 && it != last; ++it)
            if (pds->frames[*it].length % unit != 0) return false;
    }
    *swapUnit_out = unit;
    return true;
}

// Queues one frame's fragments (each fragment number once, as frameExtent counts them).
bool queueFrame(KernelPrivate *kernel, uint16_t frame, RunCopier &copier) {
    auto [first, last] = frameEntries(kernel, frame);
    int32_t previous = -1;
    for (auto it = first; it != last; ++it) {
        const PixelFrameEntry &e = kernel->descriptor->frames[*it];
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
        int64_t written = queueFrame(kernel, static_cast<uint16_t>(frame), copier) ? copier.endFrame() : -1;
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

    bool decoderReady = decoder->init == nullptr || decoder->init(kernel, pds) == 0;
    bool coderReady = decoderReady && (coder->init == nullptr || coder->init(kernel, pds) == 0);
    if (!decoderReady || !coderReady) kernel->fail(-1);
    if (coderReady) {
        if (coder->process == nullptr)
            kernel->fail(-1);
        else {
            int16_t status = coder->process(kernel, nullptr);
            if (status != 0) kernel->fail(status);
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
    return 0;
}

}  // namespace

int16_t writePixelDataElement(AppData *app, IOObject *io, const PixelDataDescriptor *descriptor,
                              uint32_t available) {
    if (io == nullptr || io->stream == nullptr || descriptor == nullptr || available < VELMAR_PDS_FIXED_SIZE)
        return -1;
    if (VELMAR_PDS_FIXED_SIZE + static_cast<uint64_t>(descriptor->entryCount) * VELMAR_PDS_ENTRY_SIZE >
        available)
        return -1;
    KernelPrivate *kernel = nullptr;
    int16_t status = init_kernelprivate(&kernel, app, io, descriptor);
    if (status != 0) return status;
    try {
        kernel->writer = std::make_unique<PixelWriter>(io->stream, io->dataSyntax, descriptor);
        status = runConversion(kernel);
    } catch (...) {
        status = -1;
    }
    done_kernelprivate(&kernel);
    return status;
}

}  // namespace velmar::codecs

extern "C" {

VELMAR_API int16_t GetDecodedFrame(KernelPrivate *kernel, FrameBuffer **frame_out, uint16_t frame_number) {
    if (frame_out != nullptr) *frame_out = nullptr;
    if (kernel == nullptr) return -1;
    FrameBuffer &buffer = kernel->decoded;
    buffer.frameNumber = frame_number;
    buffer.length = kernel->descriptor->frameSize;
    buffer.offset = 0;
    Codec *decoder = kernel->decoder;
    int16_t status = decoder->process != nullptr ? decoder->process(kernel, &buffer) : -1;
    // What the decoder hands back must lie inside the buffer.
    if (status == 0 && (buffer.offset > buffer.capacity || buffer.length > buffer.capacity - buffer.offset))
        status = -1;
    if (status != 0) {
        kernel->fail(status);
        return status;
    }
    if (frame_out != nullptr) *frame_out = &buffer;
    return 0;
}

VELMAR_API int16_t readSourceFrame(KernelPrivate *kernel, FrameBuffer **buffer_out, uint16_t frame_number) {
    if (buffer_out != nullptr) *buffer_out = nullptr;
    if (kernel == nullptr) return -1;
    uint64_t total = 0;
    FrameBuffer &raw = kernel->raw;
    if (!frameExtent(kernel, frame_number, &total) || !growBuffer(raw, static_cast<uint32_t>(total)) ||
        !readFrameInto(kernel, frame_number, raw.data)) {
        kernel->fail(-1);
        return -1;
    }
    raw.frameNumber = frame_number;
    raw.length = static_cast<uint32_t>(total);
    raw.offset = 0;
    if (buffer_out != nullptr) *buffer_out = &raw;
    return 0;
}

VELMAR_API int16_t addCodedFragment(KernelPrivate *kernel, const CodedFragment *fragment) {
    if (kernel == nullptr || fragment == nullptr) return -1;
    if ((fragment->length != 0 && fragment->data == nullptr) || kernel->writer == nullptr) {
        kernel->fail(-1);
        return -1;
    }
    int32_t frame = fragment->frame;
    // A fragment of a later frame closes the frame that went straight out.
    if (kernel->openFrame >= 0 && frame != kernel->openFrame) {
        kernel->lastWrittenFrame = std::max(kernel->lastWrittenFrame, kernel->openFrame);
        kernel->openFrame = -1;
        reportProgress(kernel);  // the frame written straight out is complete
    }
    // Frames are written in ascending order as soon as a later frame starts; a fragment of a
    // frame already written cannot be placed any more.
    if (frame <= kernel->lastWrittenFrame) {
        kernel->fail(-1);
        return -1;
    }
    // Native output in order needs no copy: the next frame's fragments (frames count from 1),
    // numbered from 0 without gaps, are written as they come.
    int32_t nextFrame = kernel->lastWrittenFrame < 1 ? 1 : kernel->lastWrittenFrame + 1;
    bool inOrder = kernel->openFrame == frame ? fragment->fragment == kernel->openNext
                                              : frame == nextFrame && fragment->fragment == 0;
    if (kernel->writer->native() && kernel->pending.empty() && inOrder) {
        if (!kernel->writer->emitNative(fragment->data + fragment->offset, fragment->length)) {
            kernel->fail(-1);
            return -1;
        }
        kernel->openFrame = frame;
        kernel->openNext = fragment->fragment + 1u;
        return 0;
    }
    CodedFragment copy{};
    copy.frame = fragment->frame;
    copy.fragment = fragment->fragment;
    copy.length = fragment->length;
    copy.capacity = fragment->length + 1;
    copy.offset = 0;
    copy.data = static_cast<uint8_t *>(std::malloc(copy.capacity));
    if (copy.data == nullptr) {
        kernel->fail(-1);
        return -1;
    }
    if (fragment->length != 0) std::memcpy(copy.data, fragment->data + fragment->offset, fragment->length);
    try {
        kernel->pending[copy.frame].push_back(copy);
    } catch (...) {
        std::free(copy.data);
        kernel->fail(-1);
        return -1;
    }
    if (!flushFrames(kernel, copy.frame)) {
        kernel->fail(-1);
        return -1;
    }
    return 0;
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
        for (uint16_t i = 0; i < pds->entryCount; ++i) length += pds->frames[i].length;
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
