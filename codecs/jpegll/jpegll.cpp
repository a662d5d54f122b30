// The lossless JPEG codec library velmar_jpegll: JPEG Lossless, Non-Hierarchical (Process 14,
// 1.2.840.10008.1.2.4.57) and its First-Order Prediction form (1.2.840.10008.1.2.4.70), one
// JPEG stream per frame. Both decode with any predictor and point transform; the coder writes
// .70 only: predictor 1, no point transform, precision = Bits Stored, every component in one
// scan, and a Huffman table made for each frame from its own differences. It takes no options.
#include <stdexcept>

#include "codeclib.h"
#include "codecs/jpegll/jpegll_core.h"

namespace {

using velmar::codeclib::Layout;
namespace core = velmar::codecs::jpegll;

constexpr const char *kLibrary = "velmar_jpegll";
constexpr const char *kProcess14UID = "1.2.840.10008.1.2.4.57";
constexpr const char *kFirstOrderUID = "1.2.840.10008.1.2.4.70";

// The library has no options; the record only gives the shared registration something to hold.
struct Settings {
    int32_t unused;
};
constexpr Settings kDefaults = {0};

bool refuseOption(void *, char, double) {
    return false;
}

core::Layout frameLayout(const Layout &l) {
    core::Layout frame;
    frame.rows = l.rows;
    frame.columns = l.columns;
    frame.components = l.samples;
    frame.bytesPerSample = static_cast<uint16_t>(l.bitsAllocated / 8);
    frame.planar = l.planar;
    return frame;
}

class Encoder : public velmar::codeclib::FrameEncoder {
   public:
    Encoder(const Layout &layout, const void *) : layout_(layout) {
        // Samples are coded in bits stored; the bits above (a sign extension) are dropped and
        // given back by the decoder from Pixel Representation.
        coding_.precision = layout.bitsStored;
        coding_.predictor = 1;
        coding_.pointTransform = 0;
    }

    // One scan holds the components pixel by pixel; the object then says so.
    void tell(KernelPrivate *kernel) const override {
        setCodedImageInfo(kernel, nullptr, layout_.samples > 1 ? 0 : -1, nullptr);
    }

    bool encode(const uint8_t *frame, std::vector<uint8_t> &coded) override {
        return core::encodeFrame(frameLayout(layout_), coding_, frame, coded);
    }

   private:
    Layout layout_;
    core::Coding coding_;
};

class Decoder : public velmar::codeclib::FrameDecoder {
   public:
    Decoder(const Layout &layout, const void *) : layout_(layout) {}

    bool decode(const uint8_t *coded, size_t length, uint8_t *frame) override {
        if (!core::decodeFrame(coded, length, frameLayout(layout_), frame)) return false;
        if (!layout_.direct()) fitToBitsStored(frame);
        return true;
    }

   private:
    // Samples of a stream whose precision passes bits stored are cut to it; signed samples are
    // sign-extended from it.
    void fitToBitsStored(uint8_t *frame) const {
        const uint32_t mask = (1u << layout_.bitsStored) - 1u;
        const uint32_t sign = 1u << (layout_.bitsStored - 1);
        const size_t count = layout_.pixels() * layout_.samples;
        auto fit = [&](uint32_t v) {
            v &= mask;
            return layout_.signedPixels && (v & sign) != 0 ? v | ~mask : v;
        };
        if (layout_.bitsAllocated == 8) {
            for (size_t i = 0; i < count; ++i) frame[i] = static_cast<uint8_t>(fit(frame[i]));
            return;
        }
        for (size_t i = 0; i < count; ++i) {
            uint16_t v;
            std::memcpy(&v, frame + 2 * i, 2);
            v = static_cast<uint16_t>(fit(v));
            std::memcpy(frame + 2 * i, &v, 2);
        }
    }

    Layout layout_;
};

}  // namespace

extern "C" __attribute__((visibility("default"))) int16_t LibraryInit(AppData *app, const char *options) {
    using namespace velmar::codeclib;
    try {
        std::vector<Codec> codecs = {
            coderRecord<Encoder, 2>(kLibrary, kFirstOrderUID),
            decoderRecord<Decoder, 2>(kLibrary, kFirstOrderUID),
            decoderRecord<Decoder, 2>(kLibrary, kProcess14UID),
        };
        return initLibrary(app, kLibrary, codecs, &kDefaults, sizeof kDefaults, options, "", refuseOption);
    } catch (...) {
        return -1;
    }
}
