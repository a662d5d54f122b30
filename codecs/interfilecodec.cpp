// The "interfile" codec library: decoders for the raw image data files Interfile headers point
// to. The descriptor's syntax code gives the byte order; there is no Interfile coder.
#include <initializer_list>

#include "codecs/native.h"

using namespace velmar::codecs;

extern "C" VELMAR_API int16_t interfile_LibraryInit(AppData *app) {
    if (app == nullptr) return -1;
    int16_t status = 0;
    for (const char *uid : {VELMAR_INTERFILE_LITTLE_ENDIAN_UID, VELMAR_INTERFILE_BIG_ENDIAN_UID})
        if (registerRawDecoder(app, "interfile", uid) != 0) status = -1;
    if (registerPlainLibrary(app, "interfile") != 0) status = -1;
    return status;
}
