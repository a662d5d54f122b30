// Shared plumbing of the external codec libraries built with velmar: the frame geometry a codec
// sees, conversion between the DICOM frame layout and a codec's sample buffers, option texts, and
// the coder and decoder records that drive one frame codec class through the kernel services.
#pragma once

#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "velmar/codecs.h"

namespace velmar::codeclib {

// The geometry of one frame as the descriptor gives it. Codec sample buffers hold one byte per
// sample for up to 8 bits stored, else two (host order).
struct Layout {
    uint16_t samples = 0;
    uint16_t rows = 0;
    uint16_t columns = 0;
    uint16_t bitsAllocated = 0;
    uint16_t bitsStored = 0;
    bool signedPixels = false;
    bool planar = false;
    uint16_t frames = 0;
    char photometric[18] = {};  // of the source pixels, without padding

    bool isPhotometric(const char *name) const { return std::strcmp(photometric, name) == 0; }
    size_t pixels() const { return static_cast<size_t>(rows) * columns; }
    size_t frameBytes() const { return pixels() * samples * (bitsAllocated / 8); }
    unsigned codecBytes() const { return bitsStored <= 8 ? 1 : 2; }
    size_t codecFrameBytes() const { return pixels() * samples * codecBytes(); }
    // Whether a codec can read or write the frame as it stands: samples in a container of their
    // own size, no bits above bits stored to mask off or sign-extend.
    bool direct() const { return bitsStored == bitsAllocated; }
};

// Frames of 8 or 16 bits allocated, 1 or 3 samples, bits stored from `minBits` up to bits
// allocated; false for any other image.
bool layoutOf(const PixelDataDescriptor *image, unsigned minBits, Layout *out);

// DICOM frame (host order) -> codec samples, masked to bits stored, planar or pixel-interleaved.
void frameToSamples(const Layout &layout, const uint8_t *frame, uint8_t *samples, bool planarSamples);
// Codec samples -> DICOM frame; signed samples are sign-extended from bits stored.
void samplesToFrame(const Layout &layout, const uint8_t *samples, bool planarSamples, uint8_t *frame);

// Reads an option text of one-letter options with decimal values ("n=2", "r=10,t=256"): calls
// apply(letter, value) for each; false on a malformed text, an unknown or repeated letter, a
// value that is not a number, or a value apply refuses.
bool parseOptions(const char *text, const char *letters,
                  bool (*apply)(void *target, char letter, double value), void *target);

// One frame codec: an encoder turns a raw frame into one coded stream, a decoder a coded stream
// into a raw frame. `settings` is the library's privateData.
class FrameEncoder {
   public:
    virtual ~FrameEncoder() = default;
    virtual bool encode(const uint8_t *frame, std::vector<uint8_t> &coded) = 0;
    // Tells the kernel what the coding changes in the image description (setCodedImageInfo).
    virtual void tell(KernelPrivate *) const {}
};

class FrameDecoder {
   public:
    virtual ~FrameDecoder() = default;
    virtual bool decode(const uint8_t *coded, size_t length, uint8_t *frame) = 0;
    virtual void tell(KernelPrivate *) const {}
};

// The frame loop of a coder: pulls frames 1..n through GetDecodedFrame and hands each coded
// stream to the kernel as one fragment.
// With more than one encoder, each runs on a worker thread of its own for the whole loop: the
// calling thread keeps reading frames ahead while the workers code, and hands the coded
// streams to the kernel in order.
int16_t encodeAllFrames(KernelPrivate *kernel, const Layout &layout,
                        const std::vector<FrameEncoder *> &encoders);
// Threads a coder uses for a conversion of `frames` frames: one per core, at most 4.
unsigned frameThreads(unsigned frames);
// One decoder request: reads the source frame and decodes it into the request's buffer.
int16_t decodeRequest(KernelPrivate *kernel, const Layout &layout, FrameDecoder &decoder,
                      FrameBuffer *request);

// Serves decoder requests from frames decoded ahead by worker threads, one per decoder: each
// request reads the source frames after it and queues them, so the workers keep decoding while
// the kernel writes. With one decoder it decodes each request straight into the request's buffer.
class FrameCache {
   public:
    FrameCache();
    ~FrameCache();
    FrameCache(const FrameCache &) = delete;
    FrameCache &operator=(const FrameCache &) = delete;
    int16_t serve(KernelPrivate *kernel, const Layout &layout, const std::vector<FrameDecoder *> &decoders,
                  FrameBuffer *request);

   private:
    struct Ahead;
    std::unique_ptr<Ahead> ahead_;
};

// A codec's state: one encoder or decoder per frame thread.
template <class Work>
struct Slot {
    Layout layout;
    std::vector<std::unique_ptr<Work>> works;
    FrameCache cache;
    Slot(const Layout &l, const void *settings) : layout(l) {
        for (unsigned n = frameThreads(l.frames); n > 0; --n)
            works.push_back(std::make_unique<Work>(l, settings));
    }
    template <class Base>
    std::vector<Base *> all() const {
        std::vector<Base *> out;
        for (const auto &w : works) out.push_back(w.get());
        return out;
    }
};

// Coder and decoder records over the classes Encoder and Decoder, each constructed from
// (const Layout &, const void *settings) for one conversion and free to refuse it by throwing.
template <class Encoder, unsigned MinBits>
struct CoderOf {
    static int16_t init(KernelPrivate *kernel, const PixelDataDescriptor *image) {
        Layout layout;
        if (!layoutOf(image, MinBits, &layout)) return -1;
        try {
            auto *slot = new Slot<Encoder>(layout, getCoderPrivate(kernel));
            setCoderParam(kernel, slot);
            slot->works.front()->tell(kernel);
        } catch (...) {
            return -1;
        }
        return 0;
    }
    static int16_t done(KernelPrivate *kernel) {
        delete static_cast<Slot<Encoder> *>(getCoderParam(kernel));
        setCoderParam(kernel, nullptr);
        return 0;
    }
    static int16_t process(KernelPrivate *kernel, FrameBuffer *) {
        auto *slot = static_cast<Slot<Encoder> *>(getCoderParam(kernel));
        return slot == nullptr ? -1
                               : encodeAllFrames(kernel, slot->layout, slot->template all<FrameEncoder>());
    }
};

template <class Decoder, unsigned MinBits>
struct DecoderOf {
    static int16_t init(KernelPrivate *kernel, const PixelDataDescriptor *image) {
        Layout layout;
        if (!layoutOf(image, MinBits, &layout)) return -1;
        try {
            auto *slot = new Slot<Decoder>(layout, getDecoderPrivate(kernel));
            setDecoderParam(kernel, slot);
            slot->works.front()->tell(kernel);
        } catch (...) {
            return -1;
        }
        return 0;
    }
    static int16_t done(KernelPrivate *kernel) {
        delete static_cast<Slot<Decoder> *>(getDecoderParam(kernel));
        setDecoderParam(kernel, nullptr);
        return 0;
    }
    static int16_t process(KernelPrivate *kernel, FrameBuffer *request) {
        auto *slot = static_cast<Slot<Decoder> *>(getDecoderParam(kernel));
        return slot == nullptr
                   ? -1
                   : slot->cache.serve(kernel, slot->layout, slot->template all<FrameDecoder>(), request);
    }
};

Codec codecRecord(const char *library, const char *uid, bool coder,
                  int16_t (*init)(KernelPrivate *, const PixelDataDescriptor *),
                  int16_t (*done)(KernelPrivate *), int16_t (*process)(KernelPrivate *, FrameBuffer *));

template <class Encoder, unsigned MinBits>
Codec coderRecord(const char *library, const char *uid) {
    using C = CoderOf<Encoder, MinBits>;
    return codecRecord(library, uid, true, C::init, C::done, C::process);
}

template <class Decoder, unsigned MinBits>
Codec decoderRecord(const char *library, const char *uid) {
    using D = DecoderOf<Decoder, MinBits>;
    return codecRecord(library, uid, false, D::init, D::done, D::process);
}

// The LibraryInit protocol of these libraries: the first call registers `codecs` and the library
// record with a malloc'd copy of `defaults` as privateData; every call (a later one only updates
// the registered settings) resets the settings to `defaults` and applies `options` with `apply`.
// 0, or -1 when the option text is refused or registration fails.
int16_t initLibrary(AppData *app, const char *library, const std::vector<Codec> &codecs, const void *defaults,
                    size_t settingsSize, const char *options, const char *letters,
                    bool (*apply)(void *settings, char letter, double value));

}  // namespace velmar::codeclib
