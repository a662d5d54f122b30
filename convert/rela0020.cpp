// Relations of group 0020: the generated Study and Series Instance UIDs, Study ID, series and
// instance numbering, orientation, laterality and Images in Acquisition.
#include <cstdio>
#include <string>

#include "convert/relations.h"
#include "defs/genuid.h"
#include "velmar/defs.h"

namespace velmar::convert {

// The UID is the root of base.uid, the conversion's time stamp, the conversion's unique
// component (so that two conversions in one second never share a UID), then the object's
// numbers that uidFlags asks for. No component is ever cut: a UID that cannot be made whole
// fails the conversion.
int16_t addGeneratedUID(AppData *app, DicomObject *obj, ConversionContext *context, uint16_t group,
                        uint16_t element, uint8_t uidFlags) {
    char uid[VELMAR_UID_SIZE] = {0};
    const char *unique = context->uniqueComponent[0] != '\0' ? context->uniqueComponent : nullptr;
    std::string problem;
    if (velmar::defs::genWholeUID(app, obj, uidFlags, uid, context->timeStamp, unique, problem) != 0) {
        std::string text = "Not converted: " + problem + ".";
        log_message(app != nullptr ? app->log : nullptr, text.c_str(), 1);
        return -1;
    }
    return addUID(app, obj, group, element, uid);
}

VELMAR_RELATION(relStudyInstanceUID) {
    (void)hdr;
    return addGeneratedUID(app, obj, context, 0x0020, 0x000D, 1);
}

VELMAR_RELATION(relSeriesInstanceUID) {
    (void)hdr;
    return addGeneratedUID(app, obj, context, 0x0020, 0x000E, 3);
}

VELMAR_RELATION(relStudyID) {
    (void)context;
    Value v = readKey(hdr, "study ID");
    if (!v.found) return addEmpty(app, obj, 0x0020, 0x0010);
    return addTextCut(app, obj, 0x0020, 0x0010, v.text, getVRMaxLength(VR_SH));
}

VELMAR_RELATION(relSeriesNumber) {
    (void)hdr;
    (void)context;
    return addEmpty(app, obj, 0x0020, 0x0011);
}

VELMAR_RELATION(relInstanceNumber) {
    (void)context;
    Value v = readKey(hdr, "image number");
    short number = 0;
    if (!v.found || std::sscanf(v.text, "%hd", &number) != 1) return addEmpty(app, obj, 0x0020, 0x0013);
    char text[16];
    std::snprintf(text, sizeof text, "%hd", number);
    return addText(app, obj, 0x0020, 0x0013, text);
}

VELMAR_RELATION(relPatientOrientation) {
    (void)hdr;
    (void)context;
    return addEmpty(app, obj, 0x0020, 0x0020);
}

VELMAR_RELATION(relLaterality) {
    (void)hdr;
    (void)context;
    return addEmpty(app, obj, 0x0020, 0x0060);
}

// Reconstructed tomographic data counts its acquisition in projections, everything else in
// images.
VELMAR_RELATION(relImagesInAcquisition) {
    (void)context;
    Value type = readKey(hdr, "type of data");
    if (!type.found || type.empty()) return 0;
    const char *key = "total number of images";
    if (equalsNoCase(type.text, "Tomographic") || equalsNoCase(type.text, "GSPECT")) {
        Value status = readKey(hdr, "process status");
        if (!status.found || status.empty()) return 0;
        if (equalsNoCase(status.text, "Reconstructed")) key = "number of projections";
    }
    Value v = readKey(hdr, key);
    short number = 0;
    if (!v.found || std::sscanf(v.text, "%hd", &number) != 1) return 0;
    char text[16];
    std::snprintf(text, sizeof text, "%hd", number);
    return addText(app, obj, 0x0020, 0x1002, text);
}

}  // namespace velmar::convert
