// Shared plumbing of the external codec libraries: frame geometry, sample buffer conversion,
// option texts, the coder and decoder frame loops and library registration.
#include "codeclib.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>

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

int16_t encodeAllFrames(KernelPrivate *kernel, const Layout &layout, FrameEncoder &encoder) {
    std::vector<uint8_t> coded;
    for (uint32_t n = 1; n <= layout.frames; ++n) {
        FrameBuffer *frame = nullptr;
        int16_t status = GetDecodedFrame(kernel, &frame, static_cast<uint16_t>(n));
        if (status != 0) return status;
        if (frame == nullptr || frame->length < layout.frameBytes()) return -1;
        coded.clear();
        try {
            if (!encoder.encode(frame->data + frame->offset, coded)) return -1;
        } catch (...) {
            return -1;
        }
        CodedFragment fragment{};
        fragment.frame = static_cast<uint16_t>(n);
        fragment.length = static_cast<uint32_t>(coded.size());
        fragment.capacity = fragment.length;
        fragment.data = coded.data();
        status = addCodedFragment(kernel, &fragment);
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
