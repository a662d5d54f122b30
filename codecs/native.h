// Internal pieces shared by the built-in "native" and "interfile" codec libraries.
#pragma once

#include "velmar/codecs.h"

namespace velmar::codecs {

// Decoder init: keeps the image description as the decoder parameter.
int16_t storeDecoderImage(KernelPrivate *kernel, const PixelDataDescriptor *image);
// Decoder process: the source frame's bytes (in host order) copied into the request.
int16_t rawFrameDecoder(KernelPrivate *kernel, FrameBuffer *request);
// True for the built-in native coder, which only moves decoded frames.
bool isNativeCoder(const Codec *codec);
// A codec record of the given library, transfer syntax and direction, with empty slots.
Codec makeCodec(const char *library, const char *uid, bool coder);
// Release function of libraries without private data.
int16_t releaseNothing(void *privateData);
// Registers the raw-frame decoder of `library` for `uid`; -1 when it cannot be registered.
int16_t registerRawDecoder(AppData *app, const char *library, const char *uid);
// Registers a library record without private data; -1 when it cannot be registered.
int16_t registerPlainLibrary(AppData *app, const char *library);

}  // namespace velmar::codecs
