// The "native" codec library: coders and decoders for the three uncompressed transfer syntaxes.
// The kernel hands out samples in host order and reverses them for a big-endian target, so the
// codecs only move frames.
#include <cstdlib>
#include <cstring>

#include "codecs/native.h"

namespace velmar::codecs {
namespace {

constexpr const char *kUncompressed[] = {"1.2.840.10008.1.2", "1.2.840.10008.1.2.1", "1.2.840.10008.1.2.2"};

int16_t storeCoderImage(KernelPrivate *kernel, const PixelDataDescriptor *image) {
    setCoderParam(kernel, const_cast<PixelDataDescriptor *>(image));
    return 0;
}

int16_t nothing(KernelPrivate *) { return 0; }

// Each frame becomes one fragment; the kernel concatenates them in frame order.
int16_t nativeCoder(KernelPrivate *kernel, FrameBuffer *) {
    const auto *image = static_cast<const PixelDataDescriptor *>(getCoderParam(kernel));
    if (image == nullptr) image = getKernelDescriptor(kernel);
    CodedFragment work{};
    work.capacity = image->frameSize;
    work.data = static_cast<uint8_t *>(std::malloc(image->frameSize == 0 ? 1 : image->frameSize));
    if (work.data == nullptr) return -1;
    int16_t status = 0;
    for (uint32_t frame = 1; frame <= image->numberOfFrames && status == 0; ++frame) {
        FrameBuffer *decoded = nullptr;
        status = GetDecodedFrame(kernel, &decoded, static_cast<uint16_t>(frame));
        if (status != 0) break;
        if (decoded->length < image->frameSize) {
            status = -1;
            break;
        }
        std::memcpy(work.data, decoded->data + decoded->offset, image->frameSize);
        work.frame = static_cast<uint16_t>(frame);
        work.fragment = 0;
        work.length = image->frameSize;
        status = addCodedFragment(kernel, &work);
    }
    std::free(work.data);
    return status;
}

}  // namespace

int16_t storeDecoderImage(KernelPrivate *kernel, const PixelDataDescriptor *image) {
    setDecoderParam(kernel, const_cast<PixelDataDescriptor *>(image));
    return 0;
}

int16_t rawFrameDecoder(KernelPrivate *kernel, FrameBuffer *request) {
    if (request == nullptr) return -1;
    FrameBuffer *raw = nullptr;
    int16_t status = readSourceFrame(kernel, &raw, request->frameNumber);
    if (status != 0) return status;
    // A source frame shorter than the frame asked for would leave stale bytes in the request.
    if (raw->length < request->length || request->offset > request->capacity ||
        request->length > request->capacity - request->offset)
        return -1;
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

int16_t releaseNothing(void *) { return 0; }

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
    for (const char *uid : kUncompressed) {
        Codec codec = makeCodec("native", uid, false);
        codec.init = storeDecoderImage;
        codec.done = nothing;
        codec.process = rawFrameDecoder;
        if (registerCodec(app, &codec) != 0) status = -1;
    }
    CodecLibrary library{};
    std::strncpy(library.libraryName, "native", VELMAR_UID_SIZE - 1);
    library.release = releaseNothing;
    if (registerCodecLibrary(app, &library) != 0) status = -1;
    return status;
}
