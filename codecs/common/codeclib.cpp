// Shared plumbing of the external codec libraries: frame geometry, sample buffer conversion,
// option texts, the coder and decoder frame loops and library registration.
#include "codeclib.h"

#include <algorithm>
#include <cctype>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

namespace velmar::codeclib {
namespace {

// Sample (pixel p, component c) at its index in a planar or pixel-interleaved buffer.
inline size_t sampleIndex(const Layout &l, size_t p, size_t c, bool planar) {
    return planar ? c * l.pixels() + p : p * l.samples + c;
}

template <class From, class To>
void convertSamples(const Layout &l, const From *from, bool fromPlanar, To *to, bool toPlanar, bool extend) {
    const uint32_t mask = l.bitsStored >= 32 ? 0xFFFFFFFFu : (1u << l.bitsStored) - 1u;
    const uint32_t sign = 1u << (l.bitsStored - 1);
    const size_t pixels = l.pixels();
    const bool same = fromPlanar == toPlanar || l.samples == 1;
    for (size_t c = 0; c < l.samples; ++c)
        for (size_t p = 0; p < pixels; ++p) {
            size_t i = sampleIndex(l, p, c, fromPlanar);
            uint32_t v = static_cast<uint32_t>(from[i]) & mask;
            if (extend && (v & sign) != 0) v |= ~mask;
            to[same ? i : sampleIndex(l, p, c, toPlanar)] = static_cast<To>(v);
        }
}

template <class Frame>
void toSamples(const Layout &l, const Frame *frame, uint8_t *samples, bool planarSamples) {
    if (l.codecBytes() == 1)
        convertSamples(l, frame, l.planar, samples, planarSamples, false);
    else
        convertSamples(l, frame, l.planar, reinterpret_cast<uint16_t *>(samples), planarSamples, false);
}

template <class Frame>
void fromSamples(const Layout &l, const uint8_t *samples, bool planarSamples, Frame *frame) {
    if (l.codecBytes() == 1)
        convertSamples(l, samples, planarSamples, frame, l.planar, l.signedPixels);
    else
        convertSamples(l, reinterpret_cast<const uint16_t *>(samples), planarSamples, frame, l.planar,
                       l.signedPixels);
}

}  // namespace

bool layoutOf(const PixelDataDescriptor *image, unsigned minBits, Layout *out) {
    if (image == nullptr || out == nullptr) return false;
    Layout l;
    l.samples = image->samplesPerPixel;
    l.rows = image->rows;
    l.columns = image->columns;
    l.bitsAllocated = image->bitsAllocated;
    l.bitsStored = image->bitsStored;
    l.signedPixels = image->pixelRepresentation != 0;
    l.planar = image->planarConfiguration == 1 && l.samples > 1;
    l.frames = image->numberOfFrames;
    std::memcpy(l.photometric, image->photometric, sizeof l.photometric - 1);
    for (size_t n = std::strlen(l.photometric); n > 0 && l.photometric[n - 1] == ' '; --n)
        l.photometric[n - 1] = '\0';
    if (l.samples != 1 && l.samples != 3) return false;
    if (l.bitsAllocated != 8 && l.bitsAllocated != 16) return false;
    if (l.bitsStored < minBits || l.bitsStored > l.bitsAllocated || l.rows == 0 || l.columns == 0)
        return false;
    if (l.frameBytes() > UINT32_MAX / 2) return false;
    *out = l;
    return true;
}

void frameToSamples(const Layout &layout, const uint8_t *frame, uint8_t *samples, bool planarSamples) {
    // Frames are read from the kernel's byte buffer; the 16-bit view is aligned by malloc.
    if (layout.bitsAllocated == 8)
        toSamples(layout, frame, samples, planarSamples);
    else
        toSamples(layout, reinterpret_cast<const uint16_t *>(frame), samples, planarSamples);
}

void samplesToFrame(const Layout &layout, const uint8_t *samples, bool planarSamples, uint8_t *frame) {
    if (layout.bitsAllocated == 8)
        fromSamples(layout, samples, planarSamples, frame);
    else
        fromSamples(layout, samples, planarSamples, reinterpret_cast<uint16_t *>(frame));
}

bool parseOptions(const char *text, const char *letters,
                  bool (*apply)(void *target, char letter, double value), void *target) {
    if (text == nullptr || text[0] == '\0') return true;
    std::string lowered(text);
    for (char &c : lowered) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    OptsState state;
    if (initOPTS_L2(&state, letters) != 0) return false;
    int32_t count = parseOPTS(&state, lowered.c_str());
    bool ok = count > 0;
    for (int32_t i = 0; ok && i < count; ++i) {
        const char *value = state.values[i];
        char *end = nullptr;
        double number = std::strtod(value, &end);
        ok = end != value && *end == '\0' && apply(target, state.names[i][0], number);
    }
    doneOPTS(&state);
    return ok;
}

unsigned frameThreads(unsigned frames) {
    unsigned cores = std::thread::hardware_concurrency();
    return std::max(1u, std::min({cores == 0 ? 1u : cores, 4u, frames}));
}

namespace {

// Frames in flight between the thread that talks to the kernel and worker threads that code
// them, one worker per frame codec. The kernel thread fills a slot's buffers and posts it; a
// free worker runs the job on its own codec; the kernel thread waits for the slot's result.
// The workers live as long as the pipeline, so a conversion starts its threads once.
class Pipeline {
   public:
    // job(worker, slot): the work of one slot on worker `worker`'s codec; false on failure.
    using Job = std::function<bool(size_t, size_t)>;

    Pipeline(size_t workers, size_t slots, Job job) : job_(std::move(job)), state_(slots, State::idle) {
        try {
            for (size_t w = 0; w < workers; ++w) threads_.emplace_back([this, w] { work(w); });
        } catch (...) {
            stop();
            throw;
        }
    }
    ~Pipeline() { stop(); }
    Pipeline(const Pipeline &) = delete;
    Pipeline &operator=(const Pipeline &) = delete;

    size_t slots() const { return state_.size(); }

    // Queues an idle slot's job.
    void post(size_t slot) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            state_[slot] = State::queued;
            queue_.push_back(slot);
        }
        queued_.notify_one();
    }

    // Waits until a posted slot's job has run and makes the slot idle again: the job's result.
    // An idle slot gives false at once.
    bool wait(size_t slot) {
        std::unique_lock<std::mutex> lock(mutex_);
        if (state_[slot] == State::idle) return false;
        finished_.wait(lock, [&] { return state_[slot] == State::ok || state_[slot] == State::failed; });
        bool ok = state_[slot] == State::ok;
        state_[slot] = State::idle;
        return ok;
    }

   private:
    enum class State : uint8_t { idle, queued, running, ok, failed };

    void work(size_t worker) {
        std::unique_lock<std::mutex> lock(mutex_);
        for (;;) {
            queued_.wait(lock, [&] { return stopping_ || !queue_.empty(); });
            if (stopping_) return;
            size_t slot = queue_.front();
            queue_.pop_front();
            state_[slot] = State::running;
            lock.unlock();
            bool ok = false;
            try {
                ok = job_(worker, slot);
            } catch (...) {
                ok = false;
            }
            lock.lock();
            state_[slot] = ok ? State::ok : State::failed;
            finished_.notify_all();
        }
    }

    // Drops the queued jobs, lets running ones finish and joins the workers.
    void stop() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stopping_ = true;
            queue_.clear();
        }
        queued_.notify_all();
        for (std::thread &t : threads_) t.join();
        threads_.clear();
    }

    Job job_;
    std::mutex mutex_;
    std::condition_variable queued_;
    std::condition_variable finished_;
    std::deque<size_t> queue_;
    std::vector<State> state_;
    bool stopping_ = false;
    std::vector<std::thread> threads_;
};

// Frames read ahead per codec thread: enough that a worker finds the next frame queued while
// the kernel thread reads or writes.
constexpr size_t kSlotsPerThread = 2;

// Codes one frame; false on any failure, exceptions included (this runs on worker threads).
bool encodeSafely(FrameEncoder *encoder, const uint8_t *frame, std::vector<uint8_t> *coded) {
    try {
        coded->clear();
        return encoder->encode(frame, *coded);
    } catch (...) {
        return false;
    }
}

int16_t handOver(KernelPrivate *kernel, uint32_t frame, std::vector<uint8_t> &coded) {
    CodedFragment fragment{};
    fragment.frame = static_cast<uint16_t>(frame);
    fragment.length = static_cast<uint32_t>(coded.size());
    fragment.capacity = fragment.length;
    fragment.data = coded.data();
    return addCodedFragment(kernel, &fragment);
}

// The next raw frame from the kernel; its buffer is reused by the next GetDecodedFrame.
int16_t pullFrame(KernelPrivate *kernel, const Layout &layout, uint32_t number, const uint8_t **frame) {
    FrameBuffer *buffer = nullptr;
    int16_t status = GetDecodedFrame(kernel, &buffer, static_cast<uint16_t>(number));
    if (status != 0) return status;
    if (buffer == nullptr || buffer->data == nullptr || buffer->length < layout.frameBytes()) return -1;
    *frame = buffer->data + buffer->offset;
    return 0;
}

// One encoder: each frame is coded straight from the kernel's buffer.
int16_t encodeInOrder(KernelPrivate *kernel, const Layout &layout, FrameEncoder &encoder) {
    std::vector<uint8_t> coded;
    for (uint32_t n = 1; n <= layout.frames; ++n) {
        const uint8_t *frame = nullptr;
        int16_t status = pullFrame(kernel, layout, n, &frame);
        if (status != 0) return status;
        if (!encodeSafely(&encoder, frame, &coded)) return -1;
        status = handOver(kernel, n, coded);
        if (status != 0) return status;
    }
    return 0;
}

}  // namespace

int16_t encodeAllFrames(KernelPrivate *kernel, const Layout &layout,
                        const std::vector<FrameEncoder *> &encoders) {
    if (encoders.size() == 1) return encodeInOrder(kernel, layout, *encoders.front());
    const size_t slots = kSlotsPerThread * encoders.size();
    // Frame n travels in slot (n - 1) % slots, copied out of the kernel's buffer.
    std::vector<std::vector<uint8_t>> raw(slots, std::vector<uint8_t>(layout.frameBytes()));
    std::vector<std::vector<uint8_t>> coded(slots);
    // Declared last: its workers stop before the buffers they use go.
    Pipeline pipeline(encoders.size(), slots, [&](size_t worker, size_t slot) {
        return encodeSafely(encoders[worker], raw[slot].data(), &coded[slot]);
    });
    uint32_t read = 1;
    for (uint32_t n = 1; n <= layout.frames; ++n) {
        for (; read <= layout.frames && read < n + slots; ++read) {
            const uint8_t *frame = nullptr;
            int16_t status = pullFrame(kernel, layout, read, &frame);
            if (status != 0) return status;
            std::memcpy(raw[(read - 1) % slots].data(), frame, layout.frameBytes());
            pipeline.post((read - 1) % slots);
        }
        if (!pipeline.wait((n - 1) % slots)) return -1;
        int16_t status = handOver(kernel, n, coded[(n - 1) % slots]);
        if (status != 0) return status;
    }
    return 0;
}

int16_t decodeRequest(KernelPrivate *kernel, const Layout &layout, FrameDecoder &decoder,
                      FrameBuffer *request) {
    if (request == nullptr || request->data == nullptr || request->capacity < layout.frameBytes()) return -1;
    FrameBuffer *raw = nullptr;
    int16_t status = readSourceFrame(kernel, &raw, request->frameNumber);
    if (status != 0) return status;
    if (raw == nullptr || raw->data == nullptr) return -1;
    request->offset = 0;
    try {
        if (!decoder.decode(raw->data + raw->offset, raw->length, request->data)) return -1;
    } catch (...) {
        return -1;
    }
    request->length = static_cast<uint32_t>(layout.frameBytes());
    return 0;
}

// The frames read ahead: frame n sits in slot n % slots. A slot's status is kPending while its
// frame is with the pipeline, 0 once decoded, and a failure status (of reading or decoding).
struct FrameCache::Ahead {
    static constexpr int16_t kPending = 1;

    Ahead(const Layout &layout, const std::vector<FrameDecoder *> &decoders)
        : frame(kSlotsPerThread * decoders.size(), 0),
          status(frame.size(), -1),
          coded(frame.size()),
          decoded(frame.size(), std::vector<uint8_t>(layout.frameBytes())),
          pipeline(decoders.size(), frame.size(), [this, decoders](size_t worker, size_t slot) {
              return decoders[worker]->decode(coded[slot].data(), coded[slot].size(), decoded[slot].data());
          }) {}

    // Waits for a slot's frame if it is with the pipeline; its status.
    int16_t settle(size_t slot) {
        if (status[slot] == kPending) status[slot] = pipeline.wait(slot) ? 0 : -1;
        return status[slot];
    }

    // Reads frame n into its slot and queues it.
    void read(KernelPrivate *kernel, uint32_t n) {
        size_t slot = n % frame.size();
        settle(slot);
        FrameBuffer *raw = nullptr;
        frame[slot] = n;
        status[slot] = readSourceFrame(kernel, &raw, n);
        if (status[slot] != 0) return;
        status[slot] = -1;  // until the copy is made
        if (raw == nullptr || raw->data == nullptr) return;
        coded[slot].assign(raw->data + raw->offset, raw->data + raw->offset + raw->length);
        status[slot] = kPending;
        pipeline.post(slot);
    }

    void drain() {
        for (size_t slot = 0; slot < frame.size(); ++slot) {
            settle(slot);
            frame[slot] = 0;
        }
        next = 0;
    }

    std::vector<uint32_t> frame;  // the frame number in each slot, 0 for none
    std::vector<int16_t> status;
    std::vector<std::vector<uint8_t>> coded;
    std::vector<std::vector<uint8_t>> decoded;
    uint32_t next = 0;  // the next frame to read ahead
    Pipeline pipeline;  // declared last: its workers stop before the buffers they use go
};

FrameCache::FrameCache() = default;
FrameCache::~FrameCache() = default;

int16_t FrameCache::serve(KernelPrivate *kernel, const Layout &layout,
                          const std::vector<FrameDecoder *> &decoders, FrameBuffer *request) {
    if (decoders.size() == 1) return decodeRequest(kernel, layout, *decoders.front(), request);
    if (request == nullptr || request->data == nullptr || request->capacity < layout.frameBytes()) return -1;
    try {
        if (ahead_ == nullptr) ahead_ = std::make_unique<Ahead>(layout, decoders);
    } catch (...) {
        return -1;
    }
    Ahead &a = *ahead_;
    const uint32_t n = request->frameNumber;
    if (n == 0 || n > layout.frames) {
        // Not a frame of the image: the kernel's answer, with every worker idle.
        a.drain();
        return decodeRequest(kernel, layout, *decoders.front(), request);
    }
    const size_t slot = n % a.frame.size();
    if (a.frame[slot] != n) a.next = n;  // not read ahead (a jump): start again at n
    try {
        for (; a.next <= layout.frames && a.next < n + a.frame.size(); ++a.next) a.read(kernel, a.next);
    } catch (...) {
        return -1;
    }
    int16_t status = a.settle(slot);
    if (status != 0) return status;
    std::memcpy(request->data, a.decoded[slot].data(), layout.frameBytes());
    request->offset = 0;
    request->length = static_cast<uint32_t>(layout.frameBytes());
    return 0;
}

Codec codecRecord(const char *library, const char *uid, bool coder,
                  int16_t (*init)(KernelPrivate *, const PixelDataDescriptor *),
                  int16_t (*done)(KernelPrivate *), int16_t (*process)(KernelPrivate *, FrameBuffer *)) {
    Codec codec{};
    std::snprintf(codec.libraryName, sizeof codec.libraryName, "%s", library);
    std::snprintf(codec.kind, sizeof codec.kind, "%s", coder ? "coder" : "decoder");
    std::snprintf(codec.transferSyntaxUID, sizeof codec.transferSyntaxUID, "%s", uid);
    codec.isCoder = coder ? 1 : 0;
    codec.init = init;
    codec.done = done;
    codec.process = process;
    return codec;
}

namespace {

int16_t releaseSettings(void *settings) {
    std::free(settings);
    return 0;
}

}  // namespace

int16_t initLibrary(AppData *app, const char *library, const std::vector<Codec> &codecs, const void *defaults,
                    size_t settingsSize, const char *options, const char *letters,
                    bool (*apply)(void *settings, char letter, double value)) {
    if (app == nullptr) return -1;
    std::vector<uint8_t> parsed(static_cast<const uint8_t *>(defaults),
                                static_cast<const uint8_t *>(defaults) + settingsSize);
    if (!parseOptions(options, letters, apply, parsed.data())) return -1;
    CodecLibrary *registered = get_codeclib(app->codecLibraryCount, app->codecLibraries, library);
    if (registered != nullptr && registered->privateData != nullptr) {
        std::memcpy(registered->privateData, parsed.data(), settingsSize);
        return 0;
    }
    void *settings = std::malloc(settingsSize);
    if (settings == nullptr) return -1;
    std::memcpy(settings, parsed.data(), settingsSize);
    for (const Codec &codec : codecs)
        if (registerCodec(app, &codec) != 0) {
            std::free(settings);
            return -1;
        }
    CodecLibrary record{};
    std::snprintf(record.libraryName, sizeof record.libraryName, "%s", library);
    record.privateData = settings;
    record.release = releaseSettings;
    if (registerCodecLibrary(app, &record) != 0) {
        std::free(settings);
        return -1;
    }
    return 0;
}

}  // namespace velmar::codeclib
