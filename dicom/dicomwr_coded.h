// Internal interface of the writer's pre-coding step: Pixel Data that enters or leaves an
// encapsulated syntax is coded before the header is written, and what the coding changed is
// recorded in the object for the time of the write.
#pragma once

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "codecs/kernel.h"
#include "velmar/dicom.h"

namespace velmar::dicom {

struct CloseFile {
    void operator()(FILE *file) const {
        if (file != nullptr) std::fclose(file);
    }
};

// The coded Pixel Data element of the top level, waiting in a temporary stream, and the values
// of the attributes the coding replaced, put back after the write.
class PrecodedPixels {
   public:
    ~PrecodedPixels();
    // Codes the top-level Pixel Data of io->object when the source or the target syntax is
    // encapsulated; true when there was nothing to code. False when the coding failed.
    bool code(AppData *app, IOObject *io);
    // The node whose element waits in the stream (null when none does).
    const DicomElement *node() const { return node_; }
    // Copies the coded element to `out`.
    bool copyTo(FILE *out);

   private:
    struct Saved {
        uint16_t group;
        uint16_t element;
        bool present;
        std::vector<uint8_t> value;
    };
    bool apply(const codecs::CodingEffects &effects, uint16_t samples);
    bool set(uint16_t group, uint16_t element, const std::string &value);
    std::string current(uint16_t group, uint16_t element) const;

    AppData *app_ = nullptr;
    DicomObject *object_ = nullptr;
    const DicomElement *node_ = nullptr;
    std::unique_ptr<FILE, CloseFile> stream_;
    std::vector<Saved> saved_;
};

}  // namespace velmar::dicom
