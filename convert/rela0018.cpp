// Relations of group 0018: slice geometry, Counts Accumulated, frame durations, patient position,
// the Secondary Capture date and time, and the acquisition attributes inside NM sequence items.
#include <cinttypes>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "convert/relations.h"

namespace velmar::convert {

void formatFloat(const char *text, char (&out)[64]) {
    out[0] = '\0';
    float number = 0.0f;
    if (std::sscanf(text, "%f", &number) != 1 || !std::isfinite(number)) return;
    std::snprintf(out, sizeof out, "%f", static_cast<double>(number));
}

void formatMilliseconds(const char *text, char (&out)[64]) {
    out[0] = '\0';
    float seconds = 0.0f;
    if (std::sscanf(text, "%f", &seconds) != 1) return;
    float milliseconds = seconds * 1000.0f;
    // The truncated value must be a 32-bit integer (and a valid IS).
    if (!std::isfinite(milliseconds) || milliseconds >= 2147483648.0f || milliseconds <= -2147483649.0f) return;
    std::snprintf(out, sizeof out, "%ld", static_cast<long>(static_cast<int32_t>(milliseconds)));
}

VELMAR_RELATION(relSliceThickness) {
    (void)context;
    Value pixels = readKey(hdr, "slice thickness (pixels)");
    Value scale = readKey(hdr, "scaling factor (mm/pixel) [2]");
    float thickness = 0.0f;
    float millimetres = 0.0f;
    if (!pixels.found || !scale.found || std::sscanf(pixels.text, "%f", &thickness) != 1 ||
        std::sscanf(scale.text, "%f", &millimetres) != 1)
        return addEmpty(app, obj, 0x0018, 0x0050);
    float product = thickness * millimetres;
    if (!std::isfinite(product)) return addEmpty(app, obj, 0x0018, 0x0050);
    char text[64];
    std::snprintf(text, sizeof text, "%f", static_cast<double>(product));
    return addText(app, obj, 0x0018, 0x0050, text);
}

// The counts of the static images: the sum of "total counts" over the first N images, with N
// the number of energy windows times the images of the first energy window. Each count is
// scanned as a 32-bit integer and the sum is kept in 64 bits, so that no image or study
// overflows it.
VELMAR_RELATION(relCountsAccumulated) {
    bool original = std::strcmp(context->imageType[0], "DERIVED") != 0 &&
                    std::strcmp(context->imageType[1], "SECONDARY") != 0;
    if (!original || !studyTypeIs(context, "STATIC")) return addEmpty(app, obj, 0x0018, 0x0070);
    Value windows = readKey(hdr, "number of energy windows");
    Value images = readKey(hdr, "number of images/energy window");
    short windowCount = 0;
    short imageCount = 0;
    if (!windows.found || !images.found || std::sscanf(windows.text, "%hd", &windowCount) != 1 ||
        std::sscanf(images.text, "%hd", &imageCount) != 1)
        return addEmpty(app, obj, 0x0018, 0x0070);
    // No more indexes than a study can hold frames.
    long n = static_cast<long>(windowCount) * imageCount;
    if (n > SHRT_MAX) n = SHRT_MAX;
    int64_t sum = 0;
    for (long i = 1; i <= n; ++i) {
        Value counts = readKey(hdr, "total counts", static_cast<int16_t>(i));
        int32_t number = 0;
        if (counts.found && std::sscanf(counts.text, "%" SCNd32, &number) == 1) sum += number;
    }
    if (sum == 0) return addEmpty(app, obj, 0x0018, 0x0070);
    char text[32];
    std::snprintf(text, sizeof text, "%" PRId64, sum);
    return addText(app, obj, 0x0018, 0x0070, text);
}

VELMAR_RELATION(relSpacingBetweenSlices) {
    (void)hdr;
    (void)context;
    return addEmpty(app, obj, 0x0018, 0x0088);
}

// Whole seconds of "image duration (sec)" in milliseconds, for static studies only.
VELMAR_RELATION(relActualFrameDuration) {
    if (!studyTypeIs(context, "STATIC")) return 0;
    Value v = readKey(hdr, "image duration (sec)");
    long seconds = 0;
    if (v.found && std::sscanf(v.text, "%ld", &seconds) != 1) seconds = 0;
    // Actual Frame Duration is an IS: a duration beyond a 32-bit count of milliseconds cannot
    // be written.
    if (seconds > INT32_MAX / 1000 || seconds < INT32_MIN / 1000) return addEmpty(app, obj, 0x0018, 0x1242);
    char text[32];
    std::snprintf(text, sizeof text, "%ld", seconds * 1000);
    return addText(app, obj, 0x0018, 0x1242, text);
}

VELMAR_RELATION(relPatientPosition) {
    (void)hdr;
    (void)context;
    return addEmpty(app, obj, 0x0018, 0x5100);
}

VELMAR_RELATION(relDateOfSecondaryCapture) {
    (void)context;
    return addDateFrom(app, obj, hdr, 0x0018, 0x1012, "study date", Presence::kEmpty);
}

VELMAR_RELATION(relTimeOfSecondaryCapture) {
    (void)context;
    return addTimeFrom(app, obj, hdr, 0x0018, 0x1014, "study time", Presence::kEmpty);
}

// ---- Item relations: they write what the sequence relation left in the context ----

VELMAR_RELATION(relItemActualFrameDuration) {
    (void)hdr;
    return addTextOrEmpty(app, obj, 0x0018, 0x1242, context->actualFrameDuration);
}

VELMAR_RELATION(relItemAngularStep) {
    (void)hdr;
    return addTextOrEmpty(app, obj, 0x0018, 0x1144, context->angularStep);
}

VELMAR_RELATION(relItemRotationDirection) {
    (void)hdr;
    return addTextOrEmpty(app, obj, 0x0018, 0x1140, context->rotationDirection);
}

VELMAR_RELATION(relItemScanArc) {
    (void)hdr;
    return addTextOrEmpty(app, obj, 0x0018, 0x1143, context->scanArc);
}

// Radial Position is written for reconstructed data only.
VELMAR_RELATION(relItemRadialPosition) {
    (void)hdr;
    if (studyTypeIs(context, "TOMO") || studyTypeIs(context, "GATED TOMO")) return 0;
    if (context->radialPosition == nullptr || context->radialPosition[0] == '\0') return 0;
    return addText(app, obj, 0x0018, 0x1142, context->radialPosition);
}

VELMAR_RELATION(relItemCardiacFramingType) {
    (void)hdr;
    if (context->framingType == nullptr || context->framingType[0] == '\0') return 0;
    return addText(app, obj, 0x0018, 0x1064, context->framingType);
}

}  // namespace velmar::convert
