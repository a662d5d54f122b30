// The "interfile" codec library: decoders for the raw image data files Interfile headers point
// to. The descriptor's syntax code gives the byte order; there is no Interfile coder.
#include <cstring>
#include <initializer_list>

#include "codecs/native.h"

using namespace velmar::codecs;

namespace {
int16_t nothing(KernelPrivate *) {
    return 0;
}
}  // namespace

extern "C" VELMAR_API int16_t interfile_LibraryInit(AppData *app) {
    if (app == nullptr) return -1;
    int16_t status = 0;
    for (const char *uid : {VELMAR_INTERFILE_LITTLE_ENDIAN_UID, VELMAR_INTERFILE_BIG_ENDIAN_UID}) {
        Codec codec = makeCodec("interfile", uid, false);
        codec.init = storeDecoderImage;
        codec.done = nothing;
        codec.process = rawFrameDecoder;
        if (registerCodec(app, &codec) != 0) status = -1;
    }
    CodecLibrary library{};
    std::strncpy(library.libraryName, "interfile", VELMAR_UID_SIZE - 1);
    library.release = releaseNothing;
    if (registerCodecLibrary(app, &library) != 0) status = -1;
    return status;
}
