// The Interfile-to-DICOM conversion driver: the entry point, the NM and Secondary Capture
// programs of relations, the study type, the frame vectors, and the helpers the relations share.
#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <map>
#include <span>
#include <string>
#include <utility>

#include "convert/relations.h"
#include "velmar/defs.h"

static_assert(sizeof(ConversionContext::uniqueComponent) == VELMAR_UNIQUE_SIZE);
static_assert(sizeof(ConversionContext::timeStamp) >= VELMAR_STAMP_SIZE);

namespace velmar::convert {

// ---- Reading the header --------------------------------------------------------------------

namespace {

// The key store writes at most this many bytes (longer values cut); the relations keep the
// first kValueMax characters.
constexpr size_t kStoreValueSize = VELMAR_IF_VALUE_SIZE;

Value takeValue(int16_t status, const char *text) {
    Value v;
    if (status < 0) return v;
    v.found = true;
    size_t n = strnlen(text, kValueMax);
    std::memcpy(v.text, text, n);
    v.text[n] = '\0';
    return v;
}

}  // namespace

Value readKey(Header *hdr, const char *key, int16_t index) {
    if (hdr == nullptr) return Value{};
    int16_t number = findinterkey(hdr, key);
    if (number <= 0) return Value{};
    char buffer[kStoreValueSize] = {0};
    return takeValue(getintervaluedef(hdr, number, index, buffer), buffer);
}

Value readOwnValue(Header *hdr, const char *key, int16_t index) {
    if (hdr == nullptr) return Value{};
    int16_t number = findinterkey(hdr, key);
    if (number <= 0) return Value{};
    char buffer[kStoreValueSize] = {0};
    return takeValue(getintervalue(hdr, number, index, buffer), buffer);
}

int16_t readCount(Header *hdr, const char *key, int16_t index, int16_t fallback) {
    Value v = readKey(hdr, key, index);
    short count = 0;
    if (!v.found || std::sscanf(v.text, "%hd", &count) != 1) return fallback;
    return count;
}

bool equalsNoCase(const char *a, const char *b) {
    for (; *a != '\0' && *b != '\0'; ++a, ++b)
        if (std::tolower(static_cast<unsigned char>(*a)) != std::tolower(static_cast<unsigned char>(*b)))
            return false;
    return *a == *b;
}

bool startsWithNoCase(const char *text, const char *prefix) {
    for (; *prefix != '\0'; ++text, ++prefix)
        if (*text == '\0' ||
            std::tolower(static_cast<unsigned char>(*text)) != std::tolower(static_cast<unsigned char>(*prefix)))
            return false;
    return true;
}

// ---- Building elements ---------------------------------------------------------------------

int16_t addBytes(AppData *app, DicomObject *obj, uint16_t group, uint16_t element, const void *value,
                 uint32_t length) {
    DicomElement el{};
    el.group = group;
    el.element = element;
    el.length = length;
    el.vr = -1;
    DOU_defXVRTypeByTags(app, group, element, &el.vr);
    // DO_addElement keeps its own copy (odd lengths raised to even, zero-filled).
    el.value = length != 0 && length != VELMAR_UNDEFINED_LENGTH ? const_cast<void *>(value) : nullptr;
    return DO_addElement(app, obj, &el);
}

namespace {

bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

// One field of 1 or 2 digits (hours, minutes, seconds) at `at`; -1 when there is none.
int timeField(const char *&at) {
    if (!isDigit(*at)) return -1;
    int value = *at++ - '0';
    if (isDigit(*at)) value = value * 10 + (*at++ - '0');
    return value;
}

// Cuts every backslash-separated value of `text` to `max` characters; true when one was cut.
bool cutValues(std::string &text, uint32_t max) {
    std::string out;
    bool cut = false;
    size_t begin = 0;
    for (;;) {
        size_t end = text.find('\\', begin);
        std::string value = text.substr(begin, end == std::string::npos ? std::string::npos : end - begin);
        if (value.size() > max) {
            value.resize(max);
            cut = true;
        }
        out += value;
        if (end == std::string::npos) break;
        out += '\\';
        begin = end + 1;
    }
    text = out;
    return cut;
}

void logCut(AppData *app, uint16_t group, uint16_t element, uint32_t max, const std::string &value) {
    const char *name = nullptr;
    if (getAttrName(app, (static_cast<uint32_t>(group) << 16) | element, &name) != 0 || name == nullptr)
        name = "";
    char text[VELMAR_LOG_LINE_MAX];
    std::snprintf(text, sizeof text, "%s (%04X,%04X) cut to the %u characters of its VR: %s", name, group,
                  element, max, value.c_str());
    log_message(app != nullptr ? app->log : nullptr, text, 2);
}

}  // namespace

size_t normalizeTime(const char *text, char *out) {
    while (*text == ' ') ++text;
    int hours = timeField(text);
    if (hours < 0 || *text++ != ':') return 0;
    int minutes = timeField(text);
    int seconds = -1;  // may be left out
    if (minutes >= 0 && *text == ':') {
        ++text;
        seconds = timeField(text);
        if (seconds < 0) return 0;
    }
    if (hours > 23 || minutes < 0 || minutes > 59 || seconds > 60) return 0;
    size_t n = static_cast<size_t>(std::snprintf(out, kTimeSize, "%02d%02d", hours, minutes));
    if (seconds >= 0) n += static_cast<size_t>(std::snprintf(out + n, kTimeSize - n, "%02d", seconds));
    if (*text == '.' && isDigit(text[1])) {
        out[n++] = '.';
        for (++text; isDigit(*text) && n < kTimeSize - 1; ++text) out[n++] = *text;
    }
    while (isDigit(*text)) ++text;  // fraction digits past the sixth
    while (*text == ' ') ++text;
    out[n] = '\0';
    return *text == '\0' ? n : 0;
}

int16_t addText(AppData *app, DicomObject *obj, uint16_t group, uint16_t element, const char *text) {
    std::string value(text, strnlen(text, kValueMax));
    int32_t vr = -1;
    DOU_defXVRTypeByTags(app, group, element, &vr);
    uint32_t max = vr >= 0 ? getVRMaxLength(vr) : 0;
    if (max != 0 && max != 0xFFFFFFFFu && cutValues(value, max)) logCut(app, group, element, max, value);
    char buffer[kValueMax + 2];
    std::memcpy(buffer, value.c_str(), value.size() + 1);
    padwithspace(buffer);
    return addBytes(app, obj, group, element, buffer, static_cast<uint32_t>(std::strlen(buffer)));
}

int16_t addTextCut(AppData *app, DicomObject *obj, uint16_t group, uint16_t element, const char *text,
                   uint32_t max) {
    char buffer[kValueMax + 2];
    size_t n = strnlen(text, kValueMax);
    std::memcpy(buffer, text, n);
    buffer[n] = '\0';
    padwithspace(buffer);
    uint32_t length = static_cast<uint32_t>(std::strlen(buffer));
    if (max != 0 && length > max) length = max;
    return addBytes(app, obj, group, element, buffer, length);
}

int16_t addUID(AppData *app, DicomObject *obj, uint16_t group, uint16_t element, const char *uid) {
    size_t n = strnlen(uid, VELMAR_UID_SIZE - 1);
    char buffer[VELMAR_UID_SIZE + 1] = {0};
    std::memcpy(buffer, uid, n);
    // An odd length takes the terminating zero as its padding.
    uint32_t length = static_cast<uint32_t>(n + (n & 1));
    return addBytes(app, obj, group, element, buffer, length);
}

int16_t addEmpty(AppData *app, DicomObject *obj, uint16_t group, uint16_t element) {
    return addBytes(app, obj, group, element, nullptr, 0);
}

int16_t addTextOrEmpty(AppData *app, DicomObject *obj, uint16_t group, uint16_t element, const char *text) {
    if (text == nullptr || text[0] == '\0') return addEmpty(app, obj, group, element);
    return addText(app, obj, group, element, text);
}

int16_t addUS(AppData *app, DicomObject *obj, uint16_t group, uint16_t element, uint16_t number) {
    return addBytes(app, obj, group, element, &number, 2);
}

int16_t openSequence(AppData *app, DicomObject *obj, uint16_t group, uint16_t element) {
    return addBytes(app, obj, group, element, nullptr, VELMAR_UNDEFINED_LENGTH);
}

int16_t closeSequence(AppData *app, DicomObject *obj) { return add_Sequence_Delimitation_Item(app, obj); }
int16_t openItem(AppData *app, DicomObject *obj) { return add_Item(app, obj, VELMAR_UNDEFINED_LENGTH); }
int16_t closeItem(AppData *app, DicomObject *obj) { return add_Item_Delimitation_Item(app, obj); }

bool hasElement(const DicomObject *obj, uint16_t group, uint16_t element) {
    if (obj == nullptr || obj->root == nullptr) return false;
    for (const DicomElement *c = obj->root->firstChild; c != nullptr; c = c->next)
        if (c->group == group && c->element == element) return true;
    return false;
}

uint16_t objectUS(DicomObject *obj, uint16_t group, uint16_t element) {
    DicomElement el{};
    el.group = group;
    el.element = element;
    if (DO_searchForElement(obj, &el) != 0) return 0;
    uint16_t number = 0;
    if (el.value != nullptr && el.length >= 2) std::memcpy(&number, el.value, 2);
    D_Free(&el.value);
    return number;
}

bool studyTypeIs(const ConversionContext *context, const char *type) {
    return std::strcmp(context->imageType[2], type) == 0;
}

bool isTomographic(const ConversionContext *context) {
    return studyTypeIs(context, "TOMO") || studyTypeIs(context, "GATED TOMO") ||
           studyTypeIs(context, "RECON TOMO") || studyTypeIs(context, "RECON GATED TOMO");
}

bool isGated(const ConversionContext *context) {
    return studyTypeIs(context, "GATED") || studyTypeIs(context, "GATED TOMO") ||
           studyTypeIs(context, "RECON GATED TOMO");
}

bool isReconstructed(const ConversionContext *context) {
    return studyTypeIs(context, "RECON TOMO") || studyTypeIs(context, "RECON GATED TOMO");
}

// ---- The frame walk ------------------------------------------------------------------------

namespace {

// The arrays a study type fills: each vector's slot in FrameVectors.
enum Vector { kEnergyWindow, kDetector, kPhase, kRotation, kRRInterval, kTimeSlot, kSlice, kAngularView,
              kTimeSlice, kVectorCount };

uint16_t *&slotOf(FrameVectors *vectors, Vector which) {
    switch (which) {
        case kEnergyWindow: return vectors->energyWindow;
        case kDetector: return vectors->detector;
        case kPhase: return vectors->phase;
        case kRotation: return vectors->rotation;
        case kRRInterval: return vectors->rrInterval;
        case kTimeSlot: return vectors->timeSlot;
        case kSlice: return vectors->slice;
        case kAngularView: return vectors->angularView;
        default: return vectors->timeSlice;
    }
}

// Fills frames in walk order and never past the last frame. A header whose counts describe
// far more loop steps than frames (a damaged or hostile header) stops the walk after a bounded
// number of steps, so that no header keeps the conversion busy for hours.
class FrameWalk {
   public:
    FrameWalk(Header *hdr, FrameVectors *vectors) : hdr_(hdr), vectors_(vectors) {}

    // Counts are read through a cache: the nested loops read the same count many times.
    int16_t count(const char *key, int16_t index) {
        auto [position, fresh] = counts_.try_emplace({key, index}, 0);
        if (fresh) position->second = readCountChecked(hdr_, key, index, 1, invalid_);
        return position->second;
    }

    // One more loop step; false when the walk must stop. A step asked for when every frame is
    // filled means the counts describe more frames than the total.
    bool step() {
        if (full()) {
            exceeded_ = true;
            return false;
        }
        return ++steps_ <= kMaxSteps;
    }
    bool full() const { return frame_ >= vectors_->count; }

    // Writes the next frame's entries: pairs of (vector, number).
    void frame(std::initializer_list<std::pair<Vector, int>> entries) {
        if (full()) return;
        ++frame_;
        for (const auto &[which, number] : entries) {
            uint16_t *array = slotOf(vectors_, which);
            if (array != nullptr) array[frame_] = static_cast<uint16_t>(number);
        }
    }

    int16_t frames() const { return static_cast<int16_t>(frame_); }
    bool exceeded() const { return exceeded_; }
    // A count was out of range (and reported): the study is not converted.
    bool invalid() const { return invalid_; }

    // The frames the counts did not reach repeat the last counted frame's entries (or 1 when
    // none was counted), so that no vector holds the invalid index 0.
    void fillRest(std::span<const Vector> which) {
        for (Vector vector : which) {
            uint16_t *array = slotOf(vectors_, vector);
            if (array == nullptr) continue;
            uint16_t last = frame_ > 0 ? array[frame_] : 1;
            for (uint32_t f = frame_ + 1u; f <= vectors_->count; ++f) array[f] = last;
        }
    }

   private:
    static constexpr long kMaxSteps = 1L << 20;
    Header *hdr_;
    FrameVectors *vectors_;
    std::map<std::pair<const char *, int16_t>, int16_t> counts_;  // keys are the walk's literals
    uint16_t frame_ = 0;
    long steps_ = 0;
    bool exceeded_ = false;
    bool invalid_ = false;
};

void walkStatic(FrameWalk &walk) {
    int16_t windows = walk.count("number of energy windows", 0);
    for (int e = 1; e <= windows && walk.step(); ++e) {
        int16_t images = walk.count("number of images/energy window", static_cast<int16_t>(e));
        for (int i = 1; i <= images && walk.step(); ++i) walk.frame({{kEnergyWindow, e}, {kDetector, 1}});
    }
}

void walkDynamic(FrameWalk &walk) {
    int16_t windows = walk.count("number of energy windows", 0);
    int g = 1;  // frame groups are numbered across energy windows
    for (int e = 1; e <= windows && walk.step(); ++e) {
        int16_t groups = walk.count("number of frame groups", static_cast<int16_t>(e));
        for (int k = 1; k <= groups && walk.step(); ++k, ++g) {
            int16_t images = walk.count("number of images this frame group", static_cast<int16_t>(g));
            for (int i = 1; i <= images && walk.step(); ++i)
                walk.frame({{kEnergyWindow, e}, {kDetector, 1}, {kPhase, g}, {kTimeSlice, i}});
        }
    }
}

void walkGated(FrameWalk &walk) {
    int16_t windows = walk.count("number of energy windows", 0);
    int w = 1;  // time windows are numbered across energy windows
    for (int e = 1; e <= windows && walk.step(); ++e) {
        int16_t timeWindows = walk.count("number of time windows", static_cast<int16_t>(e));
        for (int k = 1; k <= timeWindows && walk.step(); ++k, ++w) {
            int16_t images = walk.count("number of images in time window", static_cast<int16_t>(w));
            for (int i = 1; i <= images && walk.step(); ++i)
                walk.frame({{kEnergyWindow, e}, {kDetector, 1}, {kRRInterval, w}, {kTimeSlot, i}});
        }
    }
}

void walkTomo(FrameWalk &walk) {
    int16_t windows = walk.count("number of energy windows", 0);
    int h = 1;  // detector heads are numbered across energy windows
    for (int e = 1; e <= windows && walk.step(); ++e) {
        int16_t heads = walk.count("number of detector heads", static_cast<int16_t>(e));
        for (int d = 1; d <= heads && walk.step(); ++d, ++h) {
            int16_t projections = walk.count("number of projections", static_cast<int16_t>(h));
            for (int p = 1; p <= projections && walk.step(); ++p)
                walk.frame({{kEnergyWindow, e}, {kDetector, d}, {kRotation, 1}, {kAngularView, p}});
        }
    }
}

// Gated SPECT with the time windows as the outer level: window, time slot, head, projection.
void walkGatedTomoGatedOuter(FrameWalk &walk) {
    int16_t windows = walk.count("number of energy windows", 0);
    int hb = 1;     // first detector number of the energy window
    int w = 1;      // running time-window number
    int lastH = 1;  // the last number of heads read
    for (int e = 1; e <= windows && walk.step(); ++e) {
        int16_t timeWindows = walk.count("number of time windows", static_cast<int16_t>(e));
        for (int k = 1; k <= timeWindows && walk.step(); ++k, ++w) {
            int16_t images = walk.count("number of images in time window", static_cast<int16_t>(w));
            for (int s = 1; s <= images && walk.step(); ++s) {
                int16_t heads = walk.count("number of detector heads", static_cast<int16_t>(e));
                lastH = heads;
                for (int d = 1; d <= heads && walk.step(); ++d) {
                    int16_t projections = walk.count("number of projections", static_cast<int16_t>(hb));
                    for (int p = 1; p <= projections && walk.step(); ++p)
                        walk.frame({{kEnergyWindow, e}, {kDetector, hb + d - 1}, {kRRInterval, w},
                                    {kTimeSlot, s}, {kRotation, 1}, {kAngularView, p}});
                }
            }
        }
        hb += lastH;
    }
}

// Gated SPECT with the heads as the outer level: head, projection, window, time slot.
void walkGatedTomoSpectOuter(FrameWalk &walk) {
    int16_t windows = walk.count("number of energy windows", 0);
    int h = 1;      // running head number
    int wb = 1;     // first time-window number of the energy window
    int lastT = 1;  // the last number of time windows read
    for (int e = 1; e <= windows && walk.step(); ++e) {
        int16_t heads = walk.count("number of detector heads", static_cast<int16_t>(e));
        for (int d = 1; d <= heads && walk.step(); ++d, ++h) {
            int16_t projections = walk.count("number of projections", static_cast<int16_t>(h));
            for (int p = 1; p <= projections && walk.step(); ++p) {
                int16_t timeWindows = walk.count("number of time windows", static_cast<int16_t>(e));
                lastT = timeWindows;
                for (int k = 1; k <= timeWindows && walk.step(); ++k) {
                    int16_t images = walk.count("number of images in time window", static_cast<int16_t>(wb));
                    for (int s = 1; s <= images && walk.step(); ++s)
                        walk.frame({{kEnergyWindow, e}, {kDetector, h}, {kRRInterval, wb + k - 1},
                                    {kTimeSlot, s}, {kRotation, 1}, {kAngularView, p}});
                }
            }
        }
        wb += lastT;
    }
}

void walkReconTomo(FrameWalk &walk) {
    int16_t slices = walk.count("number of slices", 0);
    for (int s = 1; s <= slices && walk.step(); ++s) walk.frame({{kSlice, s}});
}

void walkReconGatedTomo(FrameWalk &walk) {
    int16_t timeWindows = walk.count("number of time windows", 1);
    for (int w = 1; w <= timeWindows && walk.step(); ++w) {
        int16_t images = walk.count("number of images in time window", static_cast<int16_t>(w));
        for (int t = 1; t <= images && walk.step(); ++t) {
            int16_t slices = walk.count("number of slices", 0);
            for (int s = 1; s <= slices && walk.step(); ++s)
                walk.frame({{kSlice, s}, {kRRInterval, w}, {kTimeSlot, t}});
        }
    }
}

// Walks the header's counts for the study type; the number of frames numbered.
struct StudyWalk {
    const char *studyType;
    Vector vectors[6];
    int count;
};

// Counts that do not add up to the total are reported; the vectors are completed either way.
void reportShortfall(Header *hdr, FrameWalk &walk, const StudyWalk &study, uint16_t total) {
    if (!walk.exceeded() && walk.frames() == total) return;
    char text[VELMAR_LOG_LINE_MAX];
    std::snprintf(text, sizeof text,
                  "The image counts of the header describe %s%d frames, but total number of images is %u.",
                  walk.exceeded() ? "more than " : "", walk.frames(), static_cast<unsigned>(total));
    log_message(hdr->log, text, 2);
    walk.fillRest({study.vectors, study.vectors + study.count});
}

int16_t walkFrames(Header *hdr, FrameVectors *vectors, const ConversionContext *context,
                   const StudyWalk &study) {
    FrameWalk walk(hdr, vectors);
    if (studyTypeIs(context, "STATIC")) walkStatic(walk);
    else if (studyTypeIs(context, "DYNAMIC")) walkDynamic(walk);
    else if (studyTypeIs(context, "GATED")) walkGated(walk);
    else if (studyTypeIs(context, "TOMO")) walkTomo(walk);
    else if (studyTypeIs(context, "GATED TOMO")) {
        if (equalsNoCase(readKey(hdr, "Gated SPECT nesting outer level").text, "Gated"))
            walkGatedTomoGatedOuter(walk);
        else
            walkGatedTomoSpectOuter(walk);
    } else if (studyTypeIs(context, "RECON TOMO")) walkReconTomo(walk);
    else walkReconGatedTomo(walk);
    if (walk.invalid()) return -1;
    reportShortfall(hdr, walk, study, vectors->count);
    return walk.frames();
}

}  // namespace

void releaseFrameVectors(FrameVectors *vectors) {
    for (int which = 0; which < kVectorCount; ++which) D_Free(&slotOf(vectors, static_cast<Vector>(which)));
    vectors->count = 0;
}

// ---- The programs --------------------------------------------------------------------------

namespace {

// One program step: a relation, and whether the program stops when it fails (the object is
// then not of any SOP class).
struct Step {
    Relation relation;
    bool essential = false;
};

class Program {
   public:
    Program(AppData *app, DicomObject *obj, Header *hdr, ConversionContext *context)
        : app_(app), obj_(obj), hdr_(hdr), context_(context) {}

    // Runs the steps in order while no essential relation has failed.
    Program &run(std::initializer_list<Step> steps) {
        for (const Step &step : steps) {
            if (failed_) return *this;
            int16_t status = step.relation(app_, obj_, hdr_, context_);
            if (status < 0 && step.essential) failed_ = true;
        }
        return *this;
    }
    Program &runIf(bool condition, std::initializer_list<Step> steps) { return condition ? run(steps) : *this; }

    bool failed() const { return failed_; }

   private:
    AppData *app_;
    DicomObject *obj_;
    Header *hdr_;
    ConversionContext *context_;
    bool failed_ = false;
};

constexpr bool kEssential = true;

// Steps shared by the two programs: patient and study.
void runPatientAndStudy(Program &program) {
    program.run({{relPatientsName}, {relPatientID}, {relPatientsBirthDate}, {relPatientsSex},
                 {relPatientsBirthTime}});
    program.run({{relStudyDate}, {relStudyTime}, {relReferringPhysiciansName}, {relStudyID},
                 {relAccessionNumber}, {relStudyInstanceUID, kEssential}});
}

void runSeries(Program &program) {
    program.run({{relModality, kEssential}, {relSeriesNumber}, {relLaterality}, {relSeriesDate},
                 {relSeriesTime}, {relPatientPosition}, {relSeriesInstanceUID, kEssential}});
}

void runImage(Program &program) {
    program.run({{relInstanceNumber}, {relPatientOrientation}, {relContentDate}, {relContentTime},
                 {relImageType, kEssential}, {relAcquisitionDate}, {relAcquisitionTime},
                 {relImagesInAcquisition}});
    program.run({{relSamplesPerPixel}, {relPhotometricInterpretation}, {relRows}, {relColumns},
                 {relBitsAllocated}, {relBitsStored}, {relHighBit}, {relPixelRepresentation},
                 {relPlanarConfiguration}, {relPixelAspectRatio}});
}

void runInstance(Program &program) {
    // Specific Character Set and Instance Creator UID are not written.
    program.run({{relSOPClassUID, kEssential}, {relSOPInstanceUID, kEssential}, {relInstanceCreationDate},
                 {relInstanceCreationTime}});
}

int16_t splitImageTypeStep(AppData *app, DicomObject *obj, Header *, ConversionContext *context) {
    return splitImageType(app, obj, context);
}

int16_t runNM(AppData *app, DicomObject *obj, Header *hdr, FrameVectors *vectors, ConversionContext *context) {
    Program program(app, obj, hdr, context);
    runPatientAndStudy(program);
    runSeries(program);
    program.run({{relPatientOrientationCodeSequence}, {relPatientGantryRelationshipCodeSequence}});
    program.run({{relManufacturer}, {relInstitutionName}});
    runImage(program);
    program.run({{relPixelSpacing}});
    if (program.failed()) return -1;

    splitImageType(app, obj, context);
    program.run({{relNumberOfFrames}, {relFrameIncrementPointer}});
    if (buildFrameVectors(hdr, vectors, context) < 0) return -1;
    program.run({{relNumberOfEnergyWindows}, {relNumberOfDetectors}, {relNumberOfPhases},
                 {relNumberOfRotations}, {relNumberOfRRIntervals}, {relNumberOfTimeSlots},
                 {relNumberOfSlices}});
    program.run({{relLossyImageCompression}, {relCountsAccumulated}, {relActualFrameDuration},
                 {relCorrectedImage}});
    program.run({{relEnergyWindowInformationSequence}, {relRadiopharmaceuticalInformationSequence},
                 {relDetectorInformationSequence}});
    program.runIf(isTomographic(context), {{relRotationInformationSequence}, {relTypeOfDetectorMotion}});
    program.runIf(isGated(context), {{relGatedInformationSequence}});
    program.runIf(studyTypeIs(context, "DYNAMIC"), {{relPhaseInformationSequence}});
    program.runIf(isReconstructed(context), {{relSpacingBetweenSlices}, {relSliceThickness}});
    runInstance(program);
    program.run({{relPixelData}});
    if (program.failed()) return -1;
    addNMVectors(app, obj, vectors);
    return 0;
}

int16_t runSC(AppData *app, DicomObject *obj, Header *hdr, FrameVectors *vectors, ConversionContext *context) {
    Program program(app, obj, hdr, context);
    runPatientAndStudy(program);
    runSeries(program);
    program.run({{relManufacturer}, {relInstitutionName}, {relConversionType}});
    runImage(program);
    program.run({{splitImageTypeStep}, {relDateOfSecondaryCapture}, {relTimeOfSecondaryCapture}});
    runInstance(program);
    program.run({{relPixelData}});
    if (program.failed()) return -1;
    addNMVectors(app, obj, vectors);
    return 0;
}

}  // namespace

}  // namespace velmar::convert

using namespace velmar::convert;

extern "C" {

VELMAR_API void interDateToDA(const char *text, char *out) {
    if (out == nullptr) return;
    std::memset(out, '0', 8);
    if (text == nullptr) return;
    static constexpr int kSource[8] = {0, 1, 2, 3, 5, 6, 8, 9};
    size_t n = std::strlen(text);
    for (int i = 0; i < 8; ++i)
        if (static_cast<size_t>(kSource[i]) < n) out[i] = text[kSource[i]];
}

VELMAR_API void interTimeToTM(const char *text, char *out) {
    if (out == nullptr) return;
    std::memset(out, '0', 6);
    if (text == nullptr) return;
    static constexpr int kSource[6] = {0, 1, 3, 4, 6, 7};
    size_t n = std::strlen(text);
    for (int i = 0; i < 6; ++i)
        if (static_cast<size_t>(kSource[i]) < n) out[i] = text[kSource[i]] == ' ' ? '0' : text[kSource[i]];
}

VELMAR_API int16_t splitImageType(AppData *app, DicomObject *obj, ConversionContext *context) {
    if (context == nullptr) return 0;
    std::memset(context->imageType, 0, sizeof context->imageType);
    if (obj == nullptr) return 0;
    DicomElement el{};
    el.group = 0x0008;
    el.element = 0x0008;
    DOU_defXVRTypeByTags(app, el.group, el.element, &el.vr);
    if (DO_searchForElement(obj, &el) != 0 || el.value == nullptr || el.length == 0) {
        D_Free(&el.value);
        return 0;
    }
    const char *value = static_cast<const char *>(el.value);
    size_t length = strnlen(value, el.length);
    size_t at = 0;
    for (auto &text : context->imageType) {
        size_t n = 0;
        while (at < length && value[at] != '\\') {
            if (n + 1 < sizeof text) text[n++] = value[at];
            ++at;
        }
        while (n > 0 && text[n - 1] == ' ') --n;  // the padding blank of the last value
        text[n] = '\0';
        strtoupper(text, static_cast<int32_t>(n));
        if (at < length) ++at;  // the backslash
        else break;
    }
    D_Free(&el.value);
    return 0;
}

VELMAR_API int16_t buildFrameVectors(InterfileHeader *hdr, FrameVectors *vectors,
                                     ConversionContext *context) {
    if (vectors == nullptr || context == nullptr) return 0;
    vectors->count = context->frameCount > 0 ? static_cast<uint16_t>(context->frameCount) : 0;
    if (vectors->count == 0) return 0;

    static const StudyWalk kWalks[] = {
        {"STATIC", {kEnergyWindow, kDetector}, 2},
        {"DYNAMIC", {kEnergyWindow, kDetector, kPhase, kTimeSlice}, 4},
        {"GATED", {kEnergyWindow, kDetector, kRRInterval, kTimeSlot}, 4},
        {"TOMO", {kEnergyWindow, kDetector, kRotation, kAngularView}, 4},
        {"GATED TOMO", {kEnergyWindow, kDetector, kRotation, kRRInterval, kTimeSlot, kAngularView}, 6},
        {"RECON TOMO", {kSlice}, 1},
        {"RECON GATED TOMO", {kRRInterval, kTimeSlot, kSlice}, 3},
    };
    const StudyWalk *chosen = nullptr;
    for (const StudyWalk &walk : kWalks)
        if (studyTypeIs(context, walk.studyType)) chosen = &walk;
    if (chosen == nullptr) return 0;

    for (int i = 0; i < chosen->count; ++i) {
        uint16_t *&slot = slotOf(vectors, chosen->vectors[i]);
        std::free(slot);
        slot = static_cast<uint16_t *>(std::calloc(vectors->count + 1u, sizeof(uint16_t)));
        if (slot == nullptr) return -1;  // the arrays made so far stay
    }

    try {
        return walkFrames(hdr, vectors, context, *chosen);
    } catch (...) {
        return -1;  // memory ran out; the arrays stay
    }
}

VELMAR_API int16_t IF2DCM_compileNM(AppData *app, DicomObject *obj, InterfileHeader *hdr,
                                    FrameVectors *vectors, ConversionContext *context) {
    if (app == nullptr || obj == nullptr || hdr == nullptr || vectors == nullptr || context == nullptr) return -1;
    try {
        return runNM(app, obj, hdr, vectors, context);
    } catch (...) {
        return -1;
    }
}

VELMAR_API int16_t IF2DCM_compileSC(AppData *app, DicomObject *obj, InterfileHeader *hdr,
                                    FrameVectors *vectors, ConversionContext *context) {
    if (app == nullptr || obj == nullptr || hdr == nullptr || vectors == nullptr || context == nullptr) return -1;
    try {
        return runSC(app, obj, hdr, vectors, context);
    } catch (...) {
        return -1;
    }
}

VELMAR_API int16_t IF2DCM_compile(AppData *app, DicomObject *obj, InterfileHeader *hdr) {
    if (app == nullptr || obj == nullptr || hdr == nullptr) return -1;
    try {
        ConversionContext context{};
        FrameVectors vectors{};
        struct Release {
            FrameVectors *vectors;
            ~Release() { releaseFrameVectors(vectors); }
        } release{&vectors};
        if (!headerLimitsHold(app, hdr)) return -1;
        gen_stamp_unique(app, obj, context.timeStamp, context.uniqueComponent);
        if (relModality(app, obj, hdr, &context) < 0) return -1;

        char modality[3] = {0};
        DicomElement el{};
        el.group = 0x0008;
        el.element = 0x0060;
        if (DO_searchForElement(obj, &el) == 0 && el.value != nullptr && el.length >= 2)
            std::memcpy(modality, el.value, 2);
        D_Free(&el.value);

        int16_t status = std::strcmp(modality, "NM") == 0
                             ? IF2DCM_compileNM(app, obj, hdr, &vectors, &context)
                             : IF2DCM_compileSC(app, obj, hdr, &vectors, &context);
        return status;
    } catch (...) {
        return -1;
    }
}

VELMAR_API int16_t IF2DCM_compileWithFlags(AppData *app, DicomObject *obj, InterfileHeader *hdr,
                                           uint16_t flags) {
    if (hdr == nullptr) return -1;
    // The relations read the flags from the header for this conversion only.
    uint16_t before = hdr->dataFileFlags;
    hdr->dataFileFlags = flags;
    int16_t status = IF2DCM_compile(app, obj, hdr);
    hdr->dataFileFlags = before;
    return status;
}

}  // extern "C"
