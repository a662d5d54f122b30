// The JPEG codec library velmar_jpeg: JPEG Baseline (1.2.840.10008.1.2.4.50, 8 bits) over
// libjpeg-turbo, one JPEG stream per frame. Option text: "q=QUALITY", 1 to 100 (default 90).
// Grey frames stay MONOCHROME; colour frames are coded as YCbCr with the chrominance halved
// horizontally, so the object written says YBR_FULL_422. On decoding, YBR_FULL and
// YBR_FULL_422 streams come back as RGB, and a stream of an object that says RGB is taken as
// RGB without a colour transform.
#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>

#include "codeclib.h"

// jpeglib.h needs size_t and FILE declared before it.
#include <jpeglib.h>

namespace {

using velmar::codeclib::Layout;

constexpr const char *kLibrary = "velmar_jpeg";
constexpr const char *kBaselineUID = "1.2.840.10008.1.2.4.50";

struct Settings {
    int32_t quality;
};
constexpr Settings kDefaults = {90};

bool applyOption(void *target, char letter, double value) {
    if (letter != 'q' || value < 1 || value > 100 || value != static_cast<int32_t>(value)) return false;
    static_cast<Settings *>(target)->quality = static_cast<int32_t>(value);
    return true;
}

// libjpeg reports errors through error_exit, which must not return: it leaves through longjmp
// to the setjmp of the frame function. No object with a destructor lives in those functions.
struct ErrorManager {
    jpeg_error_mgr base;
    jmp_buf exit;
};

[[noreturn]] void onError(j_common_ptr info) {
    std::longjmp(reinterpret_cast<ErrorManager *>(info->err)->exit, 1);
}
void onMessage(j_common_ptr) {}

void setErrors(jpeg_error_mgr *base) {
    jpeg_std_error(base);
    base->error_exit = onError;
    base->output_message = onMessage;
}

// Codes one pixel-interleaved 8-bit frame; the stream is malloc'd by libjpeg (free it).
bool encodeFrame(const Layout &l, int quality, const uint8_t *pixels, unsigned char **stream,
                 unsigned long *size) {
    jpeg_compress_struct info{};
    ErrorManager errors{};
    info.err = &errors.base;
    setErrors(&errors.base);
    if (setjmp(errors.exit) != 0) {
        jpeg_destroy_compress(&info);
        return false;
    }
    jpeg_create_compress(&info);
    jpeg_mem_dest(&info, stream, size);
    info.image_width = l.columns;
    info.image_height = l.rows;
    info.input_components = l.samples;
    info.in_color_space = l.samples == 3 ? JCS_RGB : JCS_GRAYSCALE;
    jpeg_set_defaults(&info);
    jpeg_set_quality(&info, quality, TRUE);
    if (l.samples == 3) {
        // 4:2:2: the chrominance halved along rows only.
        info.comp_info[0].h_samp_factor = 2;
        info.comp_info[0].v_samp_factor = 1;
    }
    jpeg_start_compress(&info, TRUE);
    const size_t stride = static_cast<size_t>(l.columns) * l.samples;
    while (info.next_scanline < info.image_height) {
        JSAMPROW row = const_cast<JSAMPROW>(pixels + info.next_scanline * stride);
        jpeg_write_scanlines(&info, &row, 1);
    }
    jpeg_finish_compress(&info);
    jpeg_destroy_compress(&info);
    return true;
}

// Decodes one stream into a pixel-interleaved 8-bit frame of the layout's geometry.
bool decodeFrame(const Layout &l, bool rgbStream, const uint8_t *coded, size_t length, uint8_t *pixels) {
    jpeg_decompress_struct info{};
    ErrorManager errors{};
    info.err = &errors.base;
    setErrors(&errors.base);
    if (setjmp(errors.exit) != 0) {
        jpeg_destroy_decompress(&info);
        return false;
    }
    jpeg_create_decompress(&info);
    jpeg_mem_src(&info, coded, static_cast<unsigned long>(length));
    jpeg_read_header(&info, TRUE);
    if (info.num_components != l.samples || info.image_width != l.columns || info.image_height != l.rows ||
        info.data_precision != 8) {
        jpeg_destroy_decompress(&info);
        return false;
    }
    if (l.samples == 3) {
        if (rgbStream) info.jpeg_color_space = JCS_RGB;
        info.out_color_space = JCS_RGB;
    } else {
        info.out_color_space = JCS_GRAYSCALE;
    }
    jpeg_start_decompress(&info);
    const size_t stride = static_cast<size_t>(l.columns) * l.samples;
    while (info.output_scanline < info.output_height) {
        JSAMPROW row = pixels + info.output_scanline * stride;
        jpeg_read_scanlines(&info, &row, 1);
    }
    jpeg_finish_decompress(&info);
    jpeg_destroy_decompress(&info);
    return true;
}

class Encoder : public velmar::codeclib::FrameEncoder {
   public:
    Encoder(const Layout &layout, const void *settings)
        : layout_(layout),
          quality_(settings != nullptr ? static_cast<const Settings *>(settings)->quality : 90) {
        if (layout.bitsAllocated != 8 || layout.signedPixels)
            throw std::invalid_argument("not 8-bit unsigned");
        if (!layout.direct() || layout.planar) samples_.resize(layout.codecFrameBytes());
    }

    void tell(KernelPrivate *kernel) const override {
        setCodedImageInfo(kernel, layout_.samples == 3 ? "YBR_FULL_422" : nullptr,
                          layout_.samples > 1 ? 0 : -1, "ISO_10918_1");
    }

    bool encode(const uint8_t *frame, std::vector<uint8_t> &coded) override {
        const uint8_t *pixels = frame;
        if (!samples_.empty()) {
            velmar::codeclib::frameToSamples(layout_, frame, samples_.data(), false);
            pixels = samples_.data();
        }
        unsigned char *stream = nullptr;
        unsigned long size = 0;
        bool ok = encodeFrame(layout_, quality_, pixels, &stream, &size);
        if (ok) coded.assign(stream, stream + size);
        std::free(stream);
        return ok;
    }

   private:
    Layout layout_;
    int quality_;
    std::vector<uint8_t> samples_;
};

class Decoder : public velmar::codeclib::FrameDecoder {
   public:
    Decoder(const Layout &layout, const void *) : layout_(layout) {
        if (layout.bitsAllocated != 8) throw std::invalid_argument("not 8-bit");
        if (!layout.direct() || layout.planar) samples_.resize(layout.codecFrameBytes());
    }

    // libjpeg turns YCbCr into RGB.
    void tell(KernelPrivate *kernel) const override {
        if (layout_.samples == 3 &&
            (layout_.isPhotometric("YBR_FULL") || layout_.isPhotometric("YBR_FULL_422")))
            setCodedImageInfo(kernel, "RGB", -1, nullptr);
    }

    bool decode(const uint8_t *coded, size_t length, uint8_t *frame) override {
        uint8_t *pixels = samples_.empty() ? frame : samples_.data();
        if (!decodeFrame(layout_, layout_.isPhotometric("RGB"), coded, length, pixels)) return false;
        if (!samples_.empty()) velmar::codeclib::samplesToFrame(layout_, samples_.data(), false, frame);
        return true;
    }

   private:
    Layout layout_;
    std::vector<uint8_t> samples_;
};

}  // namespace

extern "C" __attribute__((visibility("default"))) int16_t LibraryInit(AppData *app, const char *options) {
    using namespace velmar::codeclib;
    try {
        std::vector<Codec> codecs = {
            coderRecord<Encoder, 1>(kLibrary, kBaselineUID),
            decoderRecord<Decoder, 1>(kLibrary, kBaselineUID),
        };
        return initLibrary(app, kLibrary, codecs, &kDefaults, sizeof kDefaults, options, "q", applyOption);
    } catch (...) {
        return -1;
    }
}
