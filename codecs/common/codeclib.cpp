// Shared plumbing of the external codec libraries: frame geometry, sample buffer conversion,
// option texts, the coder and decoder frame loops and library registration.
#include "codeclib.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
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

// Codes one frame; false on any failure, exceptions included (this runs on worker threads).
bool encodeSafely(FrameEncoder *encoder, const uint8_t *frame, std::vector<uint8_t> *coded) {
    try {
        coded->clear();
        return encoder->encode(frame, *coded);
    } catch (...) {
        return false;
    }
}

}  // namespace

int16_t encodeAllFrames(KernelPrivate *kernel, const Layout &layout,
                        const std::vector<FrameEncoder *> &encoders) {
    const size_t width = encoders.size();
    // Raw frames are copied out of the kernel's buffer, which the next GetDecodedFrame reuses.
    std::vector<std::vector<uint8_t>> raw(width, std::vector<uint8_t>(width > 1 ? layout.frameBytes() : 0));
    std::vector<std::vector<uint8_t>> coded(width);
    std::vector<char> ok(width);
    for (uint32_t first = 1; first <= layout.frames; first += static_cast<uint32_t>(width)) {
        size_t count = std::min<size_t>(width, layout.frames - first + 1);
        const uint8_t *only = nullptr;
        for (size_t i = 0; i < count; ++i) {
            FrameBuffer *frame = nullptr;
            int16_t status = GetDecodedFrame(kernel, &frame, static_cast<uint16_t>(first + i));
            if (status != 0) return status;
            if (frame == nullptr || frame->length < layout.frameBytes()) return -1;
            only = frame->data + frame->offset;
            if (width > 1) std::memcpy(raw[i].data(), only, layout.frameBytes());
        }
        std::vector<std::thread> workers;
        for (size_t i = 1; i < count; ++i)
            workers.emplace_back([&, i] { ok[i] = encodeSafely(encoders[i], raw[i].data(), &coded[i]); });
        ok[0] = encodeSafely(encoders[0], width > 1 ? raw[0].data() : only, &coded[0]);
        for (std::thread &w : workers) w.join();
        for (size_t i = 0; i < count; ++i) {
            if (!ok[i]) return -1;
            CodedFragment fragment{};
            fragment.frame = static_cast<uint16_t>(first + i);
            fragment.length = static_cast<uint32_t>(coded[i].size());
            fragment.capacity = fragment.length;
            fragment.data = coded[i].data();
            int16_t status = addCodedFragment(kernel, &fragment);
            if (status != 0) return status;
        }
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

int16_t FrameCache::serve(KernelPrivate *kernel, const Layout &layout,
                          const std::vector<FrameDecoder *> &decoders, FrameBuffer *request) {
    if (decoders.size() == 1) return decodeRequest(kernel, layout, *decoders.front(), request);
    if (request == nullptr || request->data == nullptr || request->capacity < layout.frameBytes()) return -1;
    uint32_t n = request->frameNumber;
    if (n < first_ || n >= first_ + count_) {
        int16_t status = fill(kernel, layout, decoders, n);
        if (status != 0) return status;
    }
    if (!ok_[n - first_]) return -1;
    std::memcpy(request->data, frames_[n - first_].data(), layout.frameBytes());
    request->offset = 0;
    request->length = static_cast<uint32_t>(layout.frameBytes());
    return 0;
}

int16_t FrameCache::fill(KernelPrivate *kernel, const Layout &layout,
                         const std::vector<FrameDecoder *> &decoders, uint32_t first) {
    const size_t width = decoders.size();
    size_t count = first <= layout.frames ? std::min<size_t>(width, layout.frames - first + 1) : 1;
    coded_.resize(width);
    frames_.resize(width);
    ok_.assign(width, 0);
    count_ = 0;
    for (size_t i = 0; i < count; ++i) {
        FrameBuffer *raw = nullptr;
        int16_t status = readSourceFrame(kernel, &raw, static_cast<uint16_t>(first + i));
        if (status != 0) return status;
        if (raw == nullptr || raw->data == nullptr) return -1;
        coded_[i].assign(raw->data + raw->offset, raw->data + raw->offset + raw->length);
        frames_[i].resize(layout.frameBytes());
    }
    auto decodeOne = [&](size_t i) {
        try {
            ok_[i] = decoders[i]->decode(coded_[i].data(), coded_[i].size(), frames_[i].data()) ? 1 : 0;
        } catch (...) {
            ok_[i] = 0;
        }
    };
    std::vector<std::thread> workers;
    for (size_t i = 1; i < count; ++i) workers.emplace_back(decodeOne, i);
    decodeOne(0);
    for (std::thread &w : workers) w.join();
    first_ = first;
    count_ = count;
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
