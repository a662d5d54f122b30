// Relations of group 0054: the counts of the NM multi-frame description and the NM sequences
// (energy window, phase, rotation and gated information) with their items.
#include <cmath>
#include <cstdio>
#include <cstring>

#include "convert/relations.h"

namespace velmar::convert {

namespace {

// A count element: "%hd" of the key at index 0, or `fallback`.
int16_t addCount(AppData *app, DicomObject *obj, Header *hdr, uint16_t element, const char *key,
                 int16_t fallback) {
    int16_t count = key != nullptr ? readCount(hdr, key, 0, fallback) : fallback;
    return addUS(app, obj, 0x0054, element, static_cast<uint16_t>(count));
}

// Counts of the vectors that are not always there follow the Frame Increment Pointer.
bool pointsTo(AppData *app, DicomObject *obj, uint16_t element) {
    return isInFrameIncrementPointer(app, obj, 0x0054, element) != 0;
}

int16_t addEmptySequence(AppData *app, DicomObject *obj, uint16_t element) {
    openSequence(app, obj, 0x0054, element);
    return closeSequence(app, obj);
}

}  // namespace

VELMAR_RELATION(relNumberOfEnergyWindows) {
    const char *key = isReconstructed(context) ? nullptr : "number of energy windows";
    return addCount(app, obj, hdr, 0x0011, key, 1);
}

VELMAR_RELATION(relNumberOfDetectors) {
    const char *key = isReconstructed(context) ? nullptr : "number of detector heads";
    return addCount(app, obj, hdr, 0x0021, key, 1);
}

VELMAR_RELATION(relNumberOfPhases) {
    (void)context;
    if (!pointsTo(app, obj, 0x0030)) return 0;
    return addCount(app, obj, hdr, 0x0031, "number of frame groups", 1);
}

// Reconstructed data carries no Rotation Vector but is still the product of one rotation, which
// the NM multi-frame description requires it to count.
VELMAR_RELATION(relNumberOfRotations) {
    if (!pointsTo(app, obj, 0x0050) && !isReconstructed(context)) return 0;
    return addCount(app, obj, hdr, 0x0051, nullptr, 1);
}

VELMAR_RELATION(relNumberOfRRIntervals) {
    (void)context;
    if (!pointsTo(app, obj, 0x0060)) return 0;
    return addCount(app, obj, hdr, 0x0061, "number of time windows", 1);
}

VELMAR_RELATION(relNumberOfTimeSlots) {
    (void)context;
    if (!pointsTo(app, obj, 0x0070)) return 0;
    return addCount(app, obj, hdr, 0x0071, "number of images in time window", 0);
}

VELMAR_RELATION(relNumberOfSlices) {
    (void)context;
    if (!pointsTo(app, obj, 0x0080)) return 0;
    return addCount(app, obj, hdr, 0x0081, "number of slices", 1);
}

// ---- Energy windows ----

namespace {

int16_t addEnergyWindowName(AppData *app, DicomObject *obj, ConversionContext *context) {
    if (context->energyWindowName == nullptr || context->energyWindowName[0] == '\0') return 0;
    return addTextCut(app, obj, 0x0054, 0x0018, context->energyWindowName, getVRMaxLength(VR_SH));
}

int16_t addLimit(AppData *app, DicomObject *obj, uint16_t element, const char *limit) {
    if (limit == nullptr || limit[0] == '\0') return 0;
    return addText(app, obj, 0x0054, element, limit);
}

// One item: the lower and upper limits of the current energy window.
void addEnergyWindowRange(AppData *app, DicomObject *obj, Header *hdr, ConversionContext *context) {
    openSequence(app, obj, 0x0054, 0x0013);
    openItem(app, obj);
    Value lower = readKey(hdr, "energy window lower level", context->energyWindowNumber);
    context->energyWindowLower = lower.text;
    addLimit(app, obj, 0x0014, context->energyWindowLower);
    Value upper = readKey(hdr, "energy window upper level", context->energyWindowNumber);
    context->energyWindowUpper = upper.text;
    addLimit(app, obj, 0x0015, context->energyWindowUpper);
    context->energyWindowLower = context->energyWindowUpper = "";
    closeItem(app, obj);
    closeSequence(app, obj);
}

}  // namespace

VELMAR_RELATION(relEnergyWindowInformationSequence) {
    uint16_t items = objectUS(obj, 0x0054, 0x0011);
    openSequence(app, obj, 0x0054, 0x0012);
    for (uint32_t w = 1; w <= items && w <= INT16_MAX; ++w) {
        context->energyWindowNumber = static_cast<int16_t>(w);
        openItem(app, obj);
        Value name = readKey(hdr, "energy window", static_cast<int16_t>(w));
        context->energyWindowName = name.text;
        addEnergyWindowName(app, obj, context);
        context->energyWindowName = "";
        addEnergyWindowRange(app, obj, hdr, context);
        closeItem(app, obj);
    }
    return closeSequence(app, obj);
}

// ---- Phases of a dynamic study ----

VELMAR_RELATION(relPhaseInformationSequence) {
    if (!pointsTo(app, obj, 0x0030)) return 0;
    uint16_t items = objectUS(obj, 0x0054, 0x0031);
    openSequence(app, obj, 0x0054, 0x0032);
    for (uint32_t p = 1; p <= items && p <= INT16_MAX; ++p) {
        auto index = static_cast<int16_t>(p);
        openItem(app, obj);
        char delay[64], duration[64], pause[64];
        formatMilliseconds(readKey(hdr, "pause between frame groups (sec)", index).text, delay);
        formatMilliseconds(readKey(hdr, "image duration (sec)", index).text, duration);
        formatMilliseconds(readKey(hdr, "pause between images (sec)", index).text, pause);
        context->phaseDelay = delay;
        context->actualFrameDuration = duration;
        context->pauseBetweenFrames = pause;
        Value frames = readKey(hdr, "number of images this frame group", index);
        short framesInPhase = 0;
        if (!frames.found || std::sscanf(frames.text, "%hd", &framesInPhase) != 1) framesInPhase = 0;
        context->framesInPhase = framesInPhase;
        context->triggersInPhase = 0;

        addTextOrEmpty(app, obj, 0x0054, 0x0036, context->phaseDelay);
        relItemActualFrameDuration(app, obj, hdr, context);
        addTextOrEmpty(app, obj, 0x0054, 0x0038, context->pauseBetweenFrames);
        addUS(app, obj, 0x0054, 0x0033, static_cast<uint16_t>(context->framesInPhase));
        addUS(app, obj, 0x0054, 0x0211, static_cast<uint16_t>(context->triggersInPhase));
        context->phaseDelay = context->actualFrameDuration = context->pauseBetweenFrames = "";
        closeItem(app, obj);
    }
    return closeSequence(app, obj);
}

// ---- Rotations of a tomographic study ----

namespace {

// "extent of rotation" over "number of projections"; empty without either or with no projections.
void angularStep(Header *hdr, int16_t index, char (&out)[64]) {
    out[0] = '\0';
    Value extent = readKey(hdr, "extent of rotation", index);
    Value projections = readKey(hdr, "number of projections", index);
    float arc = 0.0f;
    float count = 0.0f;
    if (!extent.found || !projections.found || std::sscanf(extent.text, "%f", &arc) != 1 ||
        std::sscanf(projections.text, "%f", &count) != 1 || count == 0.0f)
        return;
    float step = arc / count;
    if (std::isfinite(step)) std::snprintf(out, sizeof out, "%f", static_cast<double>(step));
}

// The angular views of one rotation: "number of projections" of the rotation, as the frame
// vectors number them; 1 when the key gives no positive count. Readers take this count for the
// projections of the study, so it must not say 1 for a study of many.
int16_t framesInRotation(Header *hdr, int16_t index) {
    int16_t projections = readCount(hdr, "number of projections", index, 1);
    return projections > 0 ? projections : 1;
}

// "CW" stays, "CCW" becomes "CC"; any other text gives no direction.
const char *rotationDirection(const Value &direction) {
    if (!direction.found) return "";
    if (equalsNoCase(direction.text, "CW")) return "CW";
    if (equalsNoCase(direction.text, "CCW")) return "CC";
    return "";
}

}  // namespace

VELMAR_RELATION(relRotationInformationSequence) {
    uint16_t items = objectUS(obj, 0x0054, 0x0051);
    openSequence(app, obj, 0x0054, 0x0052);
    for (uint32_t r = 1; r <= items && r <= INT16_MAX; ++r) {
        auto index = static_cast<int16_t>(r);
        openItem(app, obj);
        char start[64], step[64], arc[64], duration[64], radius[64];
        formatFloat(readKey(hdr, "start angle", index).text, start);
        angularStep(hdr, index, step);
        formatFloat(readKey(hdr, "extent of rotation", index).text, arc);
        formatMilliseconds(readKey(hdr, "time per projection (sec)", index).text, duration);
        formatFloat(readKey(hdr, "Radius", index).text, radius);

        context->startAngle = start;
        context->angularStep = step;
        context->rotationDirection = rotationDirection(readKey(hdr, "direction of rotation", index));
        context->scanArc = arc;
        context->actualFrameDuration = duration;
        context->radialPosition = radius;
        context->framesInRotation = framesInRotation(hdr, index);

        addTextOrEmpty(app, obj, 0x0054, 0x0200, context->startAngle);
        relItemAngularStep(app, obj, hdr, context);
        relItemRotationDirection(app, obj, hdr, context);
        relItemScanArc(app, obj, hdr, context);
        relItemActualFrameDuration(app, obj, hdr, context);
        relItemRadialPosition(app, obj, hdr, context);
        addUS(app, obj, 0x0054, 0x0053, static_cast<uint16_t>(context->framesInRotation));
        context->startAngle = context->angularStep = context->rotationDirection = "";
        context->scanArc = context->actualFrameDuration = context->radialPosition = "";
        closeItem(app, obj);
    }
    return closeSequence(app, obj);
}

VELMAR_RELATION(relTypeOfDetectorMotion) {
    (void)context;
    Value mode = readKey(hdr, "acquisition mode");
    const char *motion = nullptr;
    if (equalsNoCase(mode.text, "stepped")) motion = "STEP AND SHOOT";
    else if (equalsNoCase(mode.text, "continuous")) motion = "CONTINUOUS";
    if (!mode.found || motion == nullptr) return 0;
    return addText(app, obj, 0x0054, 0x0202, motion);
}

// ---- Gated information ----

namespace {

// "forward", "backward" and "mixed" framing; any other text gives no framing type.
const char *framingType(const char *text) {
    if (equalsNoCase(text, "forward")) return "forward";
    if (equalsNoCase(text, "backward")) return "backward";
    if (equalsNoCase(text, "mixed")) return "forward/backward";
    return "";
}

}  // namespace

VELMAR_RELATION(relGatedInformationSequence) {
    if (!pointsTo(app, obj, 0x0060)) return 0;
    uint16_t items = objectUS(obj, 0x0054, 0x0061);
    Value framing = readKey(hdr, "framing type");
    openSequence(app, obj, 0x0054, 0x0062);
    for (uint32_t i = 1; i <= items && i <= INT16_MAX; ++i) {
        openItem(app, obj);
        if (framing.found && !framing.empty()) {
            context->framingType = framingType(framing.text);
            relItemCardiacFramingType(app, obj, hdr, context);
            context->framingType = "";
        }
        addEmptySequence(app, obj, 0x0063);
        closeItem(app, obj);
    }
    return closeSequence(app, obj);
}

// ---- Sequences the conversion leaves empty ----

VELMAR_RELATION(relRadiopharmaceuticalInformationSequence) {
    (void)hdr;
    (void)context;
    return addEmptySequence(app, obj, 0x0016);
}

VELMAR_RELATION(relDetectorInformationSequence) {
    (void)hdr;
    (void)context;
    return addEmptySequence(app, obj, 0x0022);
}

VELMAR_RELATION(relPatientOrientationCodeSequence) {
    (void)hdr;
    (void)context;
    return addEmptySequence(app, obj, 0x0410);
}

VELMAR_RELATION(relPatientGantryRelationshipCodeSequence) {
    (void)hdr;
    (void)context;
    return addEmptySequence(app, obj, 0x0414);
}

}  // namespace velmar::convert
