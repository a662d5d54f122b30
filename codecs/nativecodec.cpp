// The "native" codec library: coders and decoders for the three uncompressed transfer syntaxes.
// The kernel hands out samples in host order and reverses them by sample size for a target of the
// other byte order, so the codecs only move frames.
#include <cstring>

#include "codecs/kernel.h"
#include "codecs/native.h"
#include "codecs/writefailure.h"

namespace velmar::codecs {
namespace {

constexpr const char *kUncompressed[] = {"1.2.840.10008.1.2", "1.2.840.10008.1.2.1", "1.2.840.10008.1.2.2"};

int16_t storeCoderImage(KernelPrivate *kernel, const PixelDataDescriptor *image) {
    setCoderParam(kernel, const_cast<PixelDataDescriptor *>(image));
    return 0;
}

int16_t nothing(KernelPrivate *) {
    return 0;
}

// Each frame becomes one fragment; the kernel concatenates them in frame order. The fragment
// points into the decoded frame: addCodedFragment takes its own copy.
int16_t nativeCoder(KernelPrivate *kernel, FrameBuffer *) {
    const auto *image = static_cast<const PixelDataDescriptor *>(getCoderParam(kernel));
    if (image == nullptr) image = getKernelDescriptor(kernel);
    int16_t status = 0;
    for (uint32_t frame = 1; frame <= image->numberOfFrames && status == 0; ++frame) {
        FrameBuffer *decoded = nullptr;
        status = GetDecodedFrame(kernel, &decoded, frame);
        if (status != 0) break;
        if (decoded->length < image->frameSize) {
            noteWriteFailure("the decoder handed back %u of the %u bytes of frame %u", decoded->length,
                             image->frameSize, frame);
            return -1;
        }
        CodedFragment fragment{};
        fragment.frame = static_cast<uint16_t>(frame);
        fragment.frameHigh = frame >> 16;
        fragment.fragment = 0;
        fragment.data = decoded->data;
        fragment.offset = decoded->offset;
        fragment.length = image->frameSize;
        fragment.capacity = decoded->capacity;
        status = addCodedFragment(kernel, &fragment);
    }
    return status;
}

}  // namespace

bool isNativeCoder(const Codec *codec) {
    return codec != nullptr && codec->process == nativeCoder && codec->init == storeCoderImage;
}

int16_t storeDecoderImage(KernelPrivate *kernel, const PixelDataDescriptor *image) {
    setDecoderParam(kernel, const_cast<PixelDataDescriptor *>(image));
    return 0;
}

int16_t rawFrameDecoder(KernelPrivate *kernel, FrameBuffer *request) {
    if (request == nullptr || request->offset > request->capacity ||
        request->length > request->capacity - request->offset)
        return -1;
    // A frame exactly the size asked for is read straight into the request.
    uint64_t total = 0;
    if (frameExtent(kernel, request->frameNumber, &total) && total == request->length) {
        if (readFrameInto(kernel, request->frameNumber, request->data + request->offset)) return 0;
    }
    FrameBuffer *raw = nullptr;
    int16_t status = readSourceFrame(kernel, &raw, request->frameNumber);
    if (status != 0) return status;
    // A source frame shorter than the frame asked for would leave stale bytes in the request.
    if (raw->length < request->length) {
        noteWriteFailure("frame %u is short in the source: %u of %u bytes", request->frameNumber, raw->length,
                         request->length);
        return -1;
    }
    std::memcpy(request->data + request->offset, raw->data + raw->offset, request->length);
    return 0;
}

Codec makeCodec(const char *library, const char *uid, bool coder) {
    Codec codec{};
    std::strncpy(codec.libraryName, library, VELMAR_UID_SIZE - 1);
    std::strncpy(codec.kind, coder ? "coder" : "decoder", VELMAR_UID_SIZE - 1);
    std::strncpy(codec.transferSyntaxUID, uid, VELMAR_UID_SIZE - 1);
    codec.isCoder = coder ? 1 : 0;
    return codec;
}

int16_t releaseNothing(void *) {
    return 0;
}

int16_t registerRawDecoder(AppData *app, const char *library, const char *uid) {
    Codec codec = makeCodec(library, uid, false);
    codec.init = storeDecoderImage;
    codec.done = nothing;
    codec.process = rawFrameDecoder;
    return registerCodec(app, &codec) == 0 ? 0 : -1;
}

int16_t registerPlainLibrary(AppData *app, const char *library) {
    CodecLibrary record{};
    std::strncpy(record.libraryName, library, VELMAR_UID_SIZE - 1);
    record.release = releaseNothing;
    return registerCodecLibrary(app, &record) == 0 ? 0 : -1;
}

}  // namespace velmar::codecs

using namespace velmar::codecs;

extern "C" VELMAR_API int16_t native_LibraryInit(AppData *app) {
    if (app == nullptr) return -1;
    int16_t status = 0;
    for (const char *uid : kUncompressed) {
        Codec codec = makeCodec("native", uid, true);
        codec.init = storeCoderImage;
        codec.done = nothing;
        codec.process = nativeCoder;
        if (registerCodec(app, &codec) != 0) status = -1;
    }
    for (const char *uid : kUncompressed)
        if (registerRawDecoder(app, "native", uid) != 0) status = -1;
    if (registerPlainLibrary(app, "native") != 0) status = -1;
    return status;
}
