// The writer's pre-coding step: Pixel Data in or out of an encapsulated syntax is coded into a
// temporary stream first, so that the Photometric Interpretation, Planar Configuration and lossy
// compression attributes the codecs report reach the header, which is written before it.
#include "dicom/dicomwr_coded.h"

#include <cstdlib>
#include <cstring>
#include <memory>

#include "velmar/codecs.h"

namespace velmar::dicom {
namespace {

constexpr uint16_t kImageGroup = 0x0028;

std::string evenText(std::string text) {
    if ((text.size() & 1) != 0) text.push_back(' ');
    return text;
}

std::string trimmed(const void *value, uint32_t length) {
    std::string text(static_cast<const char *>(value), value != nullptr ? length : 0);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\0')) text.pop_back();
    return text;
}

// A value with one more entry: "a" and "b" give "a\b"; an empty list gives "b".
std::string appended(const std::string &list, const std::string &entry) {
    return list.empty() ? entry : list + "\\" + entry;
}

DicomElement *topLevel(DicomObject *obj, uint16_t group, uint16_t element) {
    for (DicomElement *c = obj->root->firstChild; c != nullptr; c = c->next)
        if (c->group == group && c->element == element) return c;
    return nullptr;
}

}  // namespace

PrecodedPixels::~PrecodedPixels() {
    // The object describes its source pixels again.
    for (auto it = saved_.rbegin(); it != saved_.rend(); ++it) {
        DicomElement key{};
        key.group = it->group;
        key.element = it->element;
        if (!it->present) {
            DO_deleteElement(app_, object_, &key);
            continue;
        }
        key.length = static_cast<uint32_t>(it->value.size());
        key.value = it->value.empty() ? nullptr : it->value.data();
        key.vr = -1;
        DOU_defXVRTypeByTags(app_, it->group, it->element, &key.vr);
        DicomElement *saved_current = object_->current;
        object_->current = object_->root;
        DO_addElement(app_, object_, &key);
        object_->current = saved_current;
    }
}

bool PrecodedPixels::code(AppData *app, IOObject *io) {
    app_ = app;
    object_ = io->object;
    DicomElement *node =
        object_ != nullptr && object_->root != nullptr ? topLevel(object_, 0x7FE0, 0x0010) : nullptr;
    if (node == nullptr || !io->writePixelData || node->value == nullptr ||
        node->length < VELMAR_PDS_FIXED_SIZE)
        return true;
    const auto *pds = static_cast<const PixelDataDescriptor *>(node->value);
    if (pds->pixelLength == 0 || (io->dataSyntax != TS_OTHER && pds->syntaxCode != TS_OTHER)) return true;
    stream_.reset(std::tmpfile());
    if (stream_ == nullptr) return false;
    FILE *saved_stream = io->stream;
    io->stream = stream_.get();
    codecs::CodingEffects effects;
    int16_t status = codecs::writePixelDataElement(app, io, pds, node->length, &effects);
    io->stream = saved_stream;
    if (status != 0 || std::fflush(stream_.get()) != 0) return false;
    node_ = node;
    return apply(effects, pds->samplesPerPixel);
}

bool PrecodedPixels::copyTo(FILE *out) {
    if (stream_ == nullptr || std::fseek(stream_.get(), 0, SEEK_SET) != 0) return false;
    // Left uninitialised: a small image's coded stream touches only the pages it fills.
    constexpr size_t kBlock = 1u << 20;
    std::unique_ptr<uint8_t[]> block(new uint8_t[kBlock]);
    size_t n;
    while ((n = std::fread(block.get(), 1, kBlock, stream_.get())) > 0)
        if (std::fwrite(block.get(), 1, n, out) != n) return false;
    return std::ferror(stream_.get()) == 0;
}

bool PrecodedPixels::apply(const codecs::CodingEffects &e, uint16_t samples) {
    bool ok = true;
    if (!e.photometric.empty() && e.photometric != current(kImageGroup, 0x0004))
        ok = set(kImageGroup, 0x0004, evenText(e.photometric));
    if (ok && e.planarConfiguration >= 0 && samples > 1) {
        uint16_t planar = static_cast<uint16_t>(e.planarConfiguration);
        ok = set(kImageGroup, 0x0006, std::string(reinterpret_cast<const char *>(&planar), 2));
    }
    if (!ok || e.lossyMethod.empty()) return ok;
    char ratio[32];
    double coded = e.codedBytes != 0 ? static_cast<double>(e.codedBytes) : 1.0;
    std::snprintf(ratio, sizeof ratio, "%.2f", static_cast<double>(e.rawBytes) / coded);
    return set(kImageGroup, 0x2110, "01") &&
           set(kImageGroup, 0x2112, evenText(appended(current(kImageGroup, 0x2112), ratio))) &&
           set(kImageGroup, 0x2114, evenText(appended(current(kImageGroup, 0x2114), e.lossyMethod)));
}

std::string PrecodedPixels::current(uint16_t group, uint16_t element) const {
    const DicomElement *node = topLevel(object_, group, element);
    return node != nullptr ? trimmed(node->value, node->length) : std::string();
}

// Sets a top-level element, remembering its first value for the restore.
bool PrecodedPixels::set(uint16_t group, uint16_t element, const std::string &value) {
    const DicomElement *old = topLevel(object_, group, element);
    bool known = false;
    for (const Saved &s : saved_) known = known || (s.group == group && s.element == element);
    if (!known) {
        Saved s{group, element, old != nullptr, {}};
        if (old != nullptr && old->value != nullptr)
            s.value.assign(static_cast<const uint8_t *>(old->value),
                           static_cast<const uint8_t *>(old->value) + old->length);
        saved_.push_back(std::move(s));
    }
    DicomElement el{};
    el.group = group;
    el.element = element;
    el.length = static_cast<uint32_t>(value.size());
    el.value = const_cast<char *>(value.data());
    el.vr = -1;
    DOU_defXVRTypeByTags(app_, group, element, &el.vr);
    DicomElement *saved_current = object_->current;
    object_->current = object_->root;
    int16_t status = DO_addElement(app_, object_, &el);
    object_->current = saved_current;
    return status == 0;
}

}  // namespace velmar::dicom
