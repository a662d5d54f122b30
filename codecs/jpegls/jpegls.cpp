// The JPEG-LS codec library velmar_jpegls: JPEG-LS Lossless (1.2.840.10008.1.2.4.80) and
// Near-Lossless (1.2.840.10008.1.2.4.81) over CharLS, one JPEG-LS stream per frame. Option
// text: "n=NEAR", the largest error per sample the near-lossless coder may make (default 2).
#include <charls/charls.h>

#include <algorithm>
#include <memory>

#include "codeclib.h"

namespace {

using velmar::codeclib::Layout;

constexpr charls::jpegls_errc kOk = charls::jpegls_errc::success;
constexpr const char *kLibrary = "velmar_jpegls";
constexpr const char *kLosslessUID = "1.2.840.10008.1.2.4.80";
constexpr const char *kNearLosslessUID = "1.2.840.10008.1.2.4.81";

struct Settings {
    int32_t nearLossless;
};
constexpr Settings kDefaults = {2};

bool applyOption(void *target, char letter, double value) {
    if (letter != 'n' || value < 0 || value > 255 || value != static_cast<int32_t>(value)) return false;
    static_cast<Settings *>(target)->nearLossless = static_cast<int32_t>(value);
    return true;
}

struct EncoderDeleter {
    void operator()(charls_jpegls_encoder *e) const { charls_jpegls_encoder_destroy(e); }
};
struct DecoderDeleter {
    void operator()(charls_jpegls_decoder *d) const { charls_jpegls_decoder_destroy(d); }
};

// The near value the coder of one syntax uses: 0 for the lossless syntax, else the option's,
// bounded by what the sample range allows.
int32_t nearFor(const Layout &layout, int32_t asked) {
    int32_t limit = std::min<int32_t>(255, ((1 << layout.bitsStored) - 1) / 2);
    return std::min(asked, limit);
}

template <bool Lossless>
class Encoder : public velmar::codeclib::FrameEncoder {
   public:
    Encoder(const Layout &layout, const void *settings) : layout_(layout) {
        int32_t asked = settings != nullptr ? static_cast<const Settings *>(settings)->nearLossless : 2;
        near_ = Lossless ? 0 : nearFor(layout, asked);
        if (!layout.direct()) samples_.resize(layout.codecFrameBytes());
    }

    // Components are coded in any order the frame has; decoders lay them out again as the
    // object says, which is pixel by pixel.
    void tell(KernelPrivate *kernel) const override {
        setCodedImageInfo(kernel, nullptr, layout_.samples > 1 ? 0 : -1, near_ > 0 ? "ISO_14495_1" : nullptr);
    }

    bool encode(const uint8_t *frame, std::vector<uint8_t> &coded) override {
        std::unique_ptr<charls_jpegls_encoder, EncoderDeleter> encoder(charls_jpegls_encoder_create());
        if (encoder == nullptr) return false;
        const uint8_t *source = frame;
        bool planar = layout_.planar;
        if (!layout_.direct()) {
            velmar::codeclib::frameToSamples(layout_, frame, samples_.data(), planar);
            source = samples_.data();
        }
        charls_frame_info info{layout_.columns, layout_.rows, layout_.bitsStored, layout_.samples};
        charls_interleave_mode mode =
            layout_.samples == 1 || planar ? charls::interleave_mode::none : charls::interleave_mode::sample;
        size_t size = 0;
        if (charls_jpegls_encoder_set_frame_info(encoder.get(), &info) != kOk ||
            charls_jpegls_encoder_set_near_lossless(encoder.get(), near_) != kOk ||
            charls_jpegls_encoder_set_interleave_mode(encoder.get(), mode) != kOk ||
            charls_jpegls_encoder_get_estimated_destination_size(encoder.get(), &size) != kOk)
            return false;
        coded.resize(size);
        size_t written = 0;
        if (charls_jpegls_encoder_set_destination_buffer(encoder.get(), coded.data(), size) != kOk ||
            charls_jpegls_encoder_encode_from_buffer(encoder.get(), source, layout_.codecFrameBytes(), 0) !=
                kOk ||
            charls_jpegls_encoder_get_bytes_written(encoder.get(), &written) != kOk)
            return false;
        coded.resize(written);
        return true;
    }

   private:
    Layout layout_;
    int32_t near_ = 0;
    std::vector<uint8_t> samples_;
};

class Decoder : public velmar::codeclib::FrameDecoder {
   public:
    Decoder(const Layout &layout, const void *) : layout_(layout) {}

    bool decode(const uint8_t *coded, size_t length, uint8_t *frame) override {
        std::unique_ptr<charls_jpegls_decoder, DecoderDeleter> decoder(charls_jpegls_decoder_create());
        if (decoder == nullptr) return false;
        charls_frame_info info{};
        charls_interleave_mode mode{};
        const uint8_t *source = terminated(coded, length);
        if (charls_jpegls_decoder_set_source_buffer(decoder.get(), source, length) != kOk ||
            charls_jpegls_decoder_read_header(decoder.get()) != kOk ||
            charls_jpegls_decoder_get_frame_info(decoder.get(), &info) != kOk ||
            charls_jpegls_decoder_get_interleave_mode(decoder.get(), &mode) != kOk)
            return false;
        if (!matches(info)) return false;
        // CharLS hands back planes for a stream without interleaving, pixels otherwise.
        bool planar = mode == charls::interleave_mode::none && layout_.samples > 1;
        bool direct = layout_.direct() && (planar == layout_.planar || layout_.samples == 1);
        size_t size = layout_.codecFrameBytes();
        if (!direct) samples_.resize(size);
        uint8_t *target = direct ? frame : samples_.data();
        if (charls_jpegls_decoder_decode_to_buffer(decoder.get(), target, size, 0) != kOk) return false;
        if (!direct) velmar::codeclib::samplesToFrame(layout_, samples_.data(), planar, frame);
        return true;
    }

   private:
    // CharLS spins for seconds decoding a scan that runs into the end of its buffer (a
    // truncated or hostile fragment of a few dozen bytes): a stream that does not end in an EOI
    // marker is decoded from a copy that has one, so the scan always meets a marker. `length`
    // becomes the copy's length.
    const uint8_t *terminated(const uint8_t *coded, size_t &length) {
        size_t end = length;
        if (end > 0 && coded[end - 1] == 0) --end;  // the fragment's pad byte
        if (end >= 2 && coded[end - 2] == 0xFF && coded[end - 1] == 0xD9) return coded;
        terminatedStream_.assign(coded, coded + length);
        terminatedStream_.insert(terminatedStream_.end(), {0xFF, 0xD9});
        length = terminatedStream_.size();
        return terminatedStream_.data();
    }

    // The stream must have the frame's geometry; its sample precision may be any that fits the
    // frame's sample container.
    bool matches(const charls_frame_info &info) const {
        unsigned container = info.bits_per_sample <= 8 ? 1 : 2;
        return info.width == layout_.columns && info.height == layout_.rows &&
               info.component_count == layout_.samples && container == layout_.codecBytes();
    }

    Layout layout_;
    std::vector<uint8_t> samples_;
    std::vector<uint8_t> terminatedStream_;
};

}  // namespace

extern "C" __attribute__((visibility("default"))) int16_t LibraryInit(AppData *app, const char *options) {
    using namespace velmar::codeclib;
    try {
        std::vector<Codec> codecs = {
            coderRecord<Encoder<true>, 2>(kLibrary, kLosslessUID),
            decoderRecord<Decoder, 2>(kLibrary, kLosslessUID),
            coderRecord<Encoder<false>, 2>(kLibrary, kNearLosslessUID),
            decoderRecord<Decoder, 2>(kLibrary, kNearLosslessUID),
        };
        return initLibrary(app, kLibrary, codecs, &kDefaults, sizeof kDefaults, options, "n", applyOption);
    } catch (...) {
        return -1;
    }
}
