// A codec library outside velmar, loaded by the tests through a codec map: it stores every frame
// XOR-ed with a key byte, as two fragments of which the first has an odd length, under a made-up
// transfer syntax UID. Options: "key=N" sets the key, "fail" makes LibraryInit refuse.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "velmar/codecs.h"

namespace {

constexpr const char *kLibrary = "xorcodec";
constexpr const char *kUID = "9.9.9.9.9.9.9.9.9.1";

struct Settings {
    uint8_t key;
};

int16_t releaseSettings(void *settings) {
    std::free(settings);
    return 0;
}

int16_t coderInit(KernelPrivate *kernel, const PixelDataDescriptor *image) {
    setCoderParam(kernel, const_cast<PixelDataDescriptor *>(image));
    return 0;
}

int16_t decoderInit(KernelPrivate *kernel, const PixelDataDescriptor *image) {
    setDecoderParam(kernel, const_cast<PixelDataDescriptor *>(image));
    return 0;
}

int16_t nothing(KernelPrivate *) {
    return 0;
}

int16_t encode(KernelPrivate *kernel, FrameBuffer *) {
    const auto *image = static_cast<const PixelDataDescriptor *>(getCoderParam(kernel));
    const auto *settings = static_cast<const Settings *>(getCoderPrivate(kernel));
    if (image == nullptr || settings == nullptr) return -1;
    std::vector<uint8_t> coded;
    for (uint32_t n = 1; n <= image->numberOfFrames; ++n) {
        FrameBuffer *frame = nullptr;
        int16_t status = GetDecodedFrame(kernel, &frame, static_cast<uint16_t>(n));
        if (status != 0) return status;
        coded.assign(frame->data + frame->offset, frame->data + frame->offset + frame->length);
        for (uint8_t &byte : coded) byte ^= settings->key;
        uint32_t head = coded.size() > 3 ? 3 : static_cast<uint32_t>(coded.size());
        CodedFragment fragment{};
        fragment.frame = static_cast<uint16_t>(n);
        fragment.data = coded.data();
        fragment.length = head;
        if (addCodedFragment(kernel, &fragment) != 0) return -1;
        fragment.fragment = 1;
        fragment.offset = head;
        fragment.length = static_cast<uint32_t>(coded.size()) - head;
        if (addCodedFragment(kernel, &fragment) != 0) return -1;
    }
    return 0;
}

int16_t decode(KernelPrivate *kernel, FrameBuffer *request) {
    const auto *settings = static_cast<const Settings *>(getDecoderPrivate(kernel));
    FrameBuffer *raw = nullptr;
    int16_t status = readSourceFrame(kernel, &raw, request->frameNumber);
    if (status != 0) return status;
    if (settings == nullptr || raw->length < request->length) return -1;
    for (uint32_t i = 0; i < request->length; ++i)
        request->data[request->offset + i] = raw->data[raw->offset + i] ^ settings->key;
    return 0;
}

Codec makeCodec(bool coder) {
    Codec codec{};
    std::snprintf(codec.libraryName, sizeof codec.libraryName, "%s", kLibrary);
    std::snprintf(codec.kind, sizeof codec.kind, "%s", coder ? "coder" : "decoder");
    std::snprintf(codec.transferSyntaxUID, sizeof codec.transferSyntaxUID, "%s", kUID);
    codec.isCoder = coder ? 1 : 0;
    codec.init = coder ? coderInit : decoderInit;
    codec.done = nothing;
    codec.process = coder ? encode : decode;
    return codec;
}

}  // namespace

extern "C" __attribute__((visibility("default"))) int16_t LibraryInit(AppData *app, const char *options) {
    if (options != nullptr && std::strstr(options, "fail") != nullptr) return 7;
    auto *settings = static_cast<Settings *>(std::malloc(sizeof(Settings)));
    if (settings == nullptr) return -1;
    settings->key = 0x5A;
    if (options != nullptr) {
        if (const char *key = std::strstr(options, "key="))
            settings->key = static_cast<uint8_t>(std::atoi(key + 4));
    }
    Codec coder = makeCodec(true);
    Codec decoder = makeCodec(false);
    CodecLibrary library{};
    std::snprintf(library.libraryName, sizeof library.libraryName, "%s", kLibrary);
    library.privateData = settings;
    library.release = releaseSettings;
    if (registerCodec(app, &coder) != 0 || registerCodec(app, &decoder) != 0 ||
        registerCodecLibrary(app, &library) != 0) {
        std::free(settings);
        return -1;
    }
    return 0;
}
