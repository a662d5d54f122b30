// The JPEG 2000 codec library velmar_jpeg2000: JPEG 2000 Lossless (1.2.840.10008.1.2.4.90,
// reversible 5/3 wavelet) and lossy (1.2.840.10008.1.2.4.91, irreversible 9/7) over OpenJPEG,
// one J2K codestream per frame; the decoder also takes streams in a JP2 wrapper. Option text for
// the lossy coder: "r=RATIO" (compression ratio, default 10) or "q=PSNR" (target quality in dB);
// for both coders "t=SIZE", square tiles of SIZE pixels (0, the default, for one tile).
#include <openjpeg.h>

#include <algorithm>
#include <memory>
#include <thread>

#include "codeclib.h"

namespace {

using velmar::codeclib::Layout;

constexpr const char *kLibrary = "velmar_jpeg2000";
constexpr const char *kLosslessUID = "1.2.840.10008.1.2.4.90";
constexpr const char *kLossyUID = "1.2.840.10008.1.2.4.91";

struct Settings {
    double ratio;
    double quality;  // 0: use the ratio
    int32_t tile;
    int32_t given;  // letters seen: 1 ratio, 2 quality
};
constexpr Settings kDefaults = {10.0, 0.0, 0, 0};

bool applyOption(void *target, char letter, double value) {
    auto *s = static_cast<Settings *>(target);
    switch (letter) {
        case 'r':
            if (value < 1 || value > 1000 || (s->given & 2) != 0) return false;
            s->ratio = value;
            s->given |= 1;
            return true;
        case 'q':
            if (value <= 0 || value > 200 || (s->given & 1) != 0) return false;
            s->quality = value;
            s->given |= 2;
            return true;
        case 't':
            if (value != static_cast<int32_t>(value) || (value != 0 && (value < 16 || value > 65535)))
                return false;
            s->tile = static_cast<int32_t>(value);
            return true;
        default:
            return false;
    }
}

// ---- Memory streams --------------------------------------------------------------------------

struct Memory {
    std::vector<uint8_t> *out = nullptr;  // writing
    const uint8_t *in = nullptr;          // reading
    size_t length = 0;
    size_t position = 0;
};

OPJ_SIZE_T readMemory(void *buffer, OPJ_SIZE_T n, void *user) {
    auto *m = static_cast<Memory *>(user);
    if (m->position >= m->length) return static_cast<OPJ_SIZE_T>(-1);
    n = std::min<OPJ_SIZE_T>(n, m->length - m->position);
    std::memcpy(buffer, m->in + m->position, n);
    m->position += n;
    return n;
}

OPJ_SIZE_T writeMemory(void *buffer, OPJ_SIZE_T n, void *user) {
    auto *m = static_cast<Memory *>(user);
    if (m->out->size() < m->position + n) m->out->resize(m->position + n);
    std::memcpy(m->out->data() + m->position, buffer, n);
    m->position += n;
    return n;
}

OPJ_OFF_T skipMemory(OPJ_OFF_T n, void *user) {
    auto *m = static_cast<Memory *>(user);
    size_t limit = m->out != nullptr ? SIZE_MAX / 2 : m->length;
    if (n < 0 && static_cast<size_t>(-n) > m->position) return -1;
    size_t next = static_cast<size_t>(static_cast<OPJ_OFF_T>(m->position) + n);
    if (next > limit) next = limit;
    OPJ_OFF_T moved = static_cast<OPJ_OFF_T>(next) - static_cast<OPJ_OFF_T>(m->position);
    m->position = next;
    return moved;
}

OPJ_BOOL seekMemory(OPJ_OFF_T to, void *user) {
    auto *m = static_cast<Memory *>(user);
    if (to < 0 || (m->out == nullptr && static_cast<size_t>(to) > m->length)) return OPJ_FALSE;
    m->position = static_cast<size_t>(to);
    return OPJ_TRUE;
}

void quiet(const char *, void *) {}

struct CodecDeleter {
    void operator()(opj_codec_t *c) const { opj_destroy_codec(c); }
};
struct StreamDeleter {
    void operator()(opj_stream_t *s) const { opj_stream_destroy(s); }
};
struct ImageDeleter {
    void operator()(opj_image_t *i) const { opj_image_destroy(i); }
};
using CodecPtr = std::unique_ptr<opj_codec_t, CodecDeleter>;
using StreamPtr = std::unique_ptr<opj_stream_t, StreamDeleter>;
using ImagePtr = std::unique_ptr<opj_image_t, ImageDeleter>;

StreamPtr memoryStream(Memory *memory, bool input) {
    StreamPtr stream(opj_stream_create(1u << 16, input ? OPJ_TRUE : OPJ_FALSE));
    if (stream == nullptr) return stream;
    if (input) {
        opj_stream_set_read_function(stream.get(), readMemory);
        opj_stream_set_user_data_length(stream.get(), memory->length);
    } else {
        opj_stream_set_write_function(stream.get(), writeMemory);
    }
    opj_stream_set_skip_function(stream.get(), skipMemory);
    opj_stream_set_seek_function(stream.get(), seekMemory);
    opj_stream_set_user_data(stream.get(), memory, nullptr);
    return stream;
}

// OpenJPEG's own threads, for an image of one frame; several frames are coded and decoded on
// threads of their own.
void useThreads(opj_codec_t *codec, unsigned frames) {
    if (velmar::codeclib::frameThreads(frames) == 1 && opj_has_thread_support())
        opj_codec_set_threads(codec, static_cast<int>(std::max(1u, std::thread::hardware_concurrency())));
}

void silence(opj_codec_t *codec) {
    opj_set_error_handler(codec, quiet, nullptr);
    opj_set_warning_handler(codec, quiet, nullptr);
    opj_set_info_handler(codec, quiet, nullptr);
}

// Sample (pixel p, component c) of a DICOM frame as a signed value.
template <class T>
void framePlane(const Layout &l, const T *frame, size_t c, OPJ_INT32 *plane) {
    const uint32_t mask = (1u << l.bitsStored) - 1u;
    const uint32_t sign = 1u << (l.bitsStored - 1);
    const size_t pixels = l.pixels();
    const size_t step = l.planar ? 1 : l.samples;
    const T *p = l.planar ? frame + c * pixels : frame + c;
    for (size_t i = 0; i < pixels; ++i, p += step) {
        uint32_t v = static_cast<uint32_t>(*p) & mask;
        plane[i] =
            l.signedPixels && (v & sign) != 0 ? static_cast<OPJ_INT32>(v | ~mask) : static_cast<OPJ_INT32>(v);
    }
}

template <class T>
void planeFrame(const Layout &l, const OPJ_INT32 *plane, size_t c, T *frame) {
    const size_t pixels = l.pixels();
    const size_t step = l.planar ? 1 : l.samples;
    T *p = l.planar ? frame + c * pixels : frame + c;
    for (size_t i = 0; i < pixels; ++i, p += step) *p = static_cast<T>(plane[i]);
}

// Resolution levels the image (or its tiles) can carry: each level halves the size.
int resolutionsFor(uint32_t width, uint32_t height, int32_t tile) {
    uint32_t side = std::min(width, height);
    if (tile > 0) side = std::min<uint32_t>(side, static_cast<uint32_t>(tile));
    int levels = 6;
    while (levels > 1 && (1u << (levels - 1)) > side) --levels;
    return levels;
}

template <bool Lossless>
class Encoder : public velmar::codeclib::FrameEncoder {
   public:
    Encoder(const Layout &layout, const void *settings)
        : layout_(layout),
          settings_(settings != nullptr ? *static_cast<const Settings *>(settings) : kDefaults) {}

    void tell(KernelPrivate *kernel) const override {
        setCodedImageInfo(kernel, nullptr, layout_.samples > 1 ? 0 : -1, Lossless ? nullptr : "ISO_15444_1");
    }

    bool encode(const uint8_t *frame, std::vector<uint8_t> &coded) override {
        ImagePtr image = makeImage(frame);
        if (image == nullptr) return false;
        opj_cparameters_t parameters;
        setParameters(&parameters);
        CodecPtr codec(opj_create_compress(OPJ_CODEC_J2K));
        if (codec == nullptr) return false;
        silence(codec.get());
        useThreads(codec.get(), layout_.frames);
        Memory memory;
        memory.out = &coded;
        StreamPtr stream = memoryStream(&memory, false);
        if (stream == nullptr || !opj_setup_encoder(codec.get(), &parameters, image.get()) ||
            !opj_start_compress(codec.get(), image.get(), stream.get()) ||
            !opj_encode(codec.get(), stream.get()) || !opj_end_compress(codec.get(), stream.get()))
            return false;
        coded.resize(memory.position);
        return true;
    }

   private:
    ImagePtr makeImage(const uint8_t *frame) const {
        opj_image_cmptparm_t parts[3]{};
        for (uint16_t c = 0; c < layout_.samples; ++c) {
            parts[c].dx = parts[c].dy = 1;
            parts[c].w = layout_.columns;
            parts[c].h = layout_.rows;
            parts[c].prec = layout_.bitsStored;
            parts[c].sgnd = layout_.signedPixels ? 1 : 0;
        }
        ImagePtr image(opj_image_create(layout_.samples, parts,
                                        layout_.samples == 3 ? OPJ_CLRSPC_SRGB : OPJ_CLRSPC_GRAY));
        if (image == nullptr) return image;
        image->x0 = image->y0 = 0;
        image->x1 = layout_.columns;
        image->y1 = layout_.rows;
        for (uint16_t c = 0; c < layout_.samples; ++c) {
            if (layout_.bitsAllocated == 8)
                framePlane(layout_, frame, c, image->comps[c].data);
            else
                framePlane(layout_, reinterpret_cast<const uint16_t *>(frame), c, image->comps[c].data);
        }
        return image;
    }

    void setParameters(opj_cparameters_t *p) const {
        opj_set_default_encoder_parameters(p);
        p->tcp_numlayers = 1;
        p->tcp_mct = 0;  // components stay RGB: the object's Photometric Interpretation holds
        p->irreversible = Lossless ? 0 : 1;
        if (!Lossless && settings_.quality > 0) {
            p->cp_fixed_quality = 1;
            p->tcp_distoratio[0] = static_cast<float>(settings_.quality);
        } else {
            p->cp_disto_alloc = 1;
            p->tcp_rates[0] = Lossless ? 0.0f : static_cast<float>(settings_.ratio);
        }
        if (settings_.tile > 0) {
            p->tile_size_on = OPJ_TRUE;
            p->cp_tdx = p->cp_tdy = settings_.tile;
        }
        p->numresolution = resolutionsFor(layout_.columns, layout_.rows, settings_.tile);
    }

    Layout layout_;
    Settings settings_;
};

// A JP2 file starts with its signature box; anything else is taken for a bare codestream.
bool isJP2(const uint8_t *coded, size_t length) {
    static const uint8_t kSignature[] = {0, 0, 0, 12, 'j', 'P', ' ', ' '};
    return length >= sizeof kSignature && std::memcmp(coded, kSignature, sizeof kSignature) == 0;
}

uint32_t bigEndian32(const uint8_t *p) {
    return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 |
           static_cast<uint32_t>(p[2]) << 8 | p[3];
}

// Where the codestream starts: at once for a bare codestream, else in the JP2 file's top-level
// contiguous codestream box ('jp2c'); `length` if there is none.
size_t codestreamStart(const uint8_t *coded, size_t length) {
    if (!isJP2(coded, length)) return 0;
    size_t at = 0;
    while (length - at >= 8) {
        uint64_t box = bigEndian32(coded + at);
        size_t header = 8;
        if (box == 1) {
            if (length - at < 16) return length;
            box = static_cast<uint64_t>(bigEndian32(coded + at + 8)) << 32 | bigEndian32(coded + at + 12);
            header = 16;
        } else if (box == 0) {
            box = length - at;  // the last box runs to the end
        }
        if (std::memcmp(coded + at + 4, "jp2c", 4) == 0) return at + header;
        if (box < header || box > length - at) return length;
        at += static_cast<size_t>(box);
    }
    return length;
}

// Whether the image and tile size marker (SIZ, right after the start of codestream) sets out
// a tile grid that a frame of `pixels` pixels can hold. In a valid stream every tile covers at
// least one pixel; a hostile one of a few bytes can declare millions of tiles, for each of which
// OpenJPEG allocates and copies coding parameters while it reads the header (seconds and
// hundreds of megabytes).
bool tileGridFits(const uint8_t *coded, size_t length, size_t pixels) {
    size_t at = codestreamStart(coded, length);
    // SOC, SIZ, Lsiz, Rsiz, then Xsiz, Ysiz, XOsiz, YOsiz, XTsiz, YTsiz, XTOsiz, YTOsiz.
    if (length - at < 40 || coded[at] != 0xFF || coded[at + 1] != 0x4F || coded[at + 2] != 0xFF ||
        coded[at + 3] != 0x51)
        return false;
    const uint8_t *siz = coded + at + 8;
    uint64_t width = bigEndian32(siz), height = bigEndian32(siz + 4);
    uint64_t tileWidth = bigEndian32(siz + 16), tileHeight = bigEndian32(siz + 20);
    uint64_t tileX = bigEndian32(siz + 24), tileY = bigEndian32(siz + 28);
    if (tileWidth == 0 || tileHeight == 0 || tileX >= width || tileY >= height) return false;
    uint64_t across = (width - tileX + tileWidth - 1) / tileWidth;
    uint64_t down = (height - tileY + tileHeight - 1) / tileHeight;
    return across <= pixels && down <= pixels && across * down <= pixels;
}

class Decoder : public velmar::codeclib::FrameDecoder {
   public:
    Decoder(const Layout &layout, const void *) : layout_(layout) {}

    // Streams coded with a component transform come out of OpenJPEG as RGB again.
    void tell(KernelPrivate *kernel) const override {
        if (layout_.isPhotometric("YBR_RCT") || layout_.isPhotometric("YBR_ICT"))
            setCodedImageInfo(kernel, "RGB", -1, nullptr);
    }

    bool decode(const uint8_t *coded, size_t length, uint8_t *frame) override {
        if (!tileGridFits(coded, length, layout_.pixels())) return false;
        CodecPtr codec(opj_create_decompress(isJP2(coded, length) ? OPJ_CODEC_JP2 : OPJ_CODEC_J2K));
        if (codec == nullptr) return false;
        silence(codec.get());
        useThreads(codec.get(), layout_.frames);
        opj_dparameters_t parameters;
        opj_set_default_decoder_parameters(&parameters);
        Memory memory;
        memory.in = coded;
        memory.length = length;
        StreamPtr stream = memoryStream(&memory, true);
        opj_image_t *raw = nullptr;
        if (stream == nullptr || !opj_setup_decoder(codec.get(), &parameters) ||
            !opj_read_header(stream.get(), codec.get(), &raw))
            return false;
        ImagePtr image(raw);
        // A stream of another geometry is refused before OpenJPEG allocates and decodes it.
        if (!matches(*image) || !opj_decode(codec.get(), stream.get(), image.get()) ||
            !opj_end_decompress(codec.get(), stream.get()) || !decoded(*image))
            return false;
        for (uint16_t c = 0; c < layout_.samples; ++c) {
            if (layout_.bitsAllocated == 8)
                planeFrame(layout_, image->comps[c].data, c, frame);
            else
                planeFrame(layout_, image->comps[c].data, c, reinterpret_cast<uint16_t *>(frame));
        }
        return true;
    }

   private:
    // The header's geometry is the frame's: as many components, each of the frame's size, with
    // no more bits than a sample holds.
    bool matches(const opj_image_t &image) const {
        if (image.numcomps != layout_.samples || image.comps == nullptr) return false;
        for (uint16_t c = 0; c < layout_.samples; ++c) {
            const opj_image_comp_t &comp = image.comps[c];
            if (comp.w != layout_.columns || comp.h != layout_.rows || comp.dx != 1 || comp.dy != 1 ||
                comp.prec > layout_.bitsAllocated)
                return false;
        }
        return true;
    }

    // The decoded image still has that geometry and holds every component's samples.
    bool decoded(const opj_image_t &image) const {
        if (!matches(image)) return false;
        for (uint16_t c = 0; c < layout_.samples; ++c)
            if (image.comps[c].data == nullptr) return false;
        return true;
    }

    Layout layout_;
};

}  // namespace

extern "C" __attribute__((visibility("default"))) int16_t LibraryInit(AppData *app, const char *options) {
    using namespace velmar::codeclib;
    try {
        std::vector<Codec> codecs = {
            coderRecord<Encoder<true>, 1>(kLibrary, kLosslessUID),
            decoderRecord<Decoder, 1>(kLibrary, kLosslessUID),
            coderRecord<Encoder<false>, 1>(kLibrary, kLossyUID),
            decoderRecord<Decoder, 1>(kLibrary, kLossyUID),
        };
        return initLibrary(app, kLibrary, codecs, &kDefaults, sizeof kDefaults, options, "rqt", applyOption);
    } catch (...) {
        return -1;
    }
}
