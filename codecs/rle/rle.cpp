// The "rle" codec library: RLE Lossless (1.2.840.10008.1.2.5) coder and decoder, one fragment
// per frame, loaded through the codec map. It takes no options.
#include <cstdio>
#include <cstdlib>
#include <new>
#include <vector>

#include "codecs/rle/rle_core.h"
#include "velmar/codecs.h"

namespace {

using velmar::codecs::rle::Layout;

constexpr const char *kLibrary = "rle";
constexpr const char *kUID = "1.2.840.10008.1.2.5";

// Per-conversion state: the layout of the frames and, for the coder, the coded frame.
struct Work {
    Layout layout;
    uint16_t frames = 0;
    std::vector<uint8_t> coded;
};

Work *newWork(const PixelDataDescriptor *image) {
    if (image == nullptr) return nullptr;
    auto *work = new (std::nothrow) Work();
    if (work == nullptr) return nullptr;
    if (!velmar::codecs::rle::layoutOf(*image, &work->layout) ||
        image->frameSize < work->layout.frameBytes()) {
        delete work;
        return nullptr;
    }
    work->frames = image->numberOfFrames;
    return work;
}

int16_t coderInit(KernelPrivate *kernel, const PixelDataDescriptor *image) {
    Work *work = newWork(image);
    setCoderParam(kernel, work);
    return work != nullptr ? 0 : -1;
}

int16_t decoderInit(KernelPrivate *kernel, const PixelDataDescriptor *image) {
    Work *work = newWork(image);
    setDecoderParam(kernel, work);
    return work != nullptr ? 0 : -1;
}

int16_t coderDone(KernelPrivate *kernel) {
    delete static_cast<Work *>(getCoderParam(kernel));
    setCoderParam(kernel, nullptr);
    return 0;
}

int16_t decoderDone(KernelPrivate *kernel) {
    delete static_cast<Work *>(getDecoderParam(kernel));
    setDecoderParam(kernel, nullptr);
    return 0;
}

int16_t encodeFrames(KernelPrivate *kernel, Work *work) {
    for (uint32_t n = 1; n <= work->frames; ++n) {
        FrameBuffer *frame = nullptr;
        int16_t status = GetDecodedFrame(kernel, &frame, static_cast<uint16_t>(n));
        if (status != 0) return status;
        if (frame == nullptr || frame->length < work->layout.frameBytes()) return -1;
        velmar::codecs::rle::encodeFrame(work->layout, frame->data + frame->offset, work->coded);
        CodedFragment fragment{};
        fragment.frame = static_cast<uint16_t>(n);
        fragment.capacity = static_cast<uint32_t>(work->coded.capacity());
        fragment.length = static_cast<uint32_t>(work->coded.size());
        fragment.data = work->coded.data();
        status = addCodedFragment(kernel, &fragment);
        if (status != 0) return status;
    }
    return 0;
}

int16_t coderProcess(KernelPrivate *kernel, FrameBuffer *) {
    auto *work = static_cast<Work *>(getCoderParam(kernel));
    if (work == nullptr) return -1;
    try {
        return encodeFrames(kernel, work);
    } catch (...) {
        return -1;
    }
}

int16_t decoderProcess(KernelPrivate *kernel, FrameBuffer *request) {
    auto *work = static_cast<Work *>(getDecoderParam(kernel));
    if (work == nullptr || request == nullptr || request->data == nullptr) return -1;
    const size_t bytes = work->layout.frameBytes();
    if (request->capacity < bytes) return -1;
    FrameBuffer *raw = nullptr;
    int16_t status = readSourceFrame(kernel, &raw, request->frameNumber);
    if (status != 0) return status;
    request->offset = 0;
    request->length = static_cast<uint32_t>(bytes);
    if (!velmar::codecs::rle::decodeFrame(work->layout, raw->data + raw->offset, raw->length, request->data))
        return -1;
    return 0;
}

Codec makeCodec(bool coder) {
    Codec codec{};
    std::snprintf(codec.libraryName, sizeof codec.libraryName, "%s", kLibrary);
    std::snprintf(codec.kind, sizeof codec.kind, "%s", coder ? "coder" : "decoder");
    std::snprintf(codec.transferSyntaxUID, sizeof codec.transferSyntaxUID, "%s", kUID);
    codec.isCoder = coder ? 1 : 0;
    codec.init = coder ? coderInit : decoderInit;
    codec.done = coder ? coderDone : decoderDone;
    codec.process = coder ? coderProcess : decoderProcess;
    return codec;
}

int16_t releaseNothing(void *) {
    return 0;
}

}  // namespace

extern "C" __attribute__((visibility("default"))) int16_t LibraryInit(AppData *app, const char *) {
    if (app == nullptr) return -1;
    Codec coder = makeCodec(true);
    Codec decoder = makeCodec(false);
    CodecLibrary library{};
    std::snprintf(library.libraryName, sizeof library.libraryName, "%s", kLibrary);
    library.release = releaseNothing;
    if (registerCodec(app, &coder) != 0 || registerCodec(app, &decoder) != 0 ||
        registerCodecLibrary(app, &library) != 0)
        return -1;
    return 0;
}
