// Relations of group 0008: Image Type, SOP class and instance, dates and times, modality,
// manufacturer and institution, and the shared date, time and clock kinds.
#include <cstdio>
#include <cstring>
#include <ctime>

#include "convert/relations.h"
#include "velmar/defs.h"

namespace velmar::convert {

namespace {

constexpr const char *kSecondaryCaptureUID = "1.2.840.10008.5.1.4.1.1.7";
constexpr const char *kNuclearMedicineUID = "1.2.840.10008.5.1.4.1.1.20";
constexpr const char *kModalityMessage = "Modality not NM, OT or not specified";

// "imaging modality" must begin with "nucmed"; otherwise the header is not a nuclear-medicine
// study and the conversion cannot name its modality or SOP class.
bool isNucmed(AppData *app, Header *hdr) {
    Value modality = readKey(hdr, "imaging modality");
    if (modality.found && !modality.empty() && startsWithNoCase(modality.text, "nucmed")) return true;
    log_message(app != nullptr ? app->log : nullptr, kModalityMessage, 1);
    return false;
}

bool isOther(const Value &typeOfData) { return typeOfData.found && equalsNoCase(typeOfData.text, "Other"); }

std::tm localNow() {
    std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    return local;
}

}  // namespace

int16_t addDateFrom(AppData *app, DicomObject *obj, Header *hdr, uint16_t group, uint16_t element,
                    const char *key, Presence missing) {
    Value v = readKey(hdr, key);
    if (!v.found || v.empty()) return missing == Presence::kEmpty ? addEmpty(app, obj, group, element) : 0;
    char date[8];
    interDateToDA(v.text, date);
    return addBytes(app, obj, group, element, date, sizeof date);
}

int16_t addTimeFrom(AppData *app, DicomObject *obj, Header *hdr, uint16_t group, uint16_t element,
                    const char *key, Presence missing) {
    Value v = readKey(hdr, key);
    if (!v.found || v.empty()) return missing == Presence::kEmpty ? addEmpty(app, obj, group, element) : 0;
    char time[kTimeSize];
    size_t length = normalizeTime(v.text, time);
    if (length == 0) {
        char text[VELMAR_LOG_LINE_MAX];
        std::snprintf(text, sizeof text, "%s := %s is no time of the form hh:mm:ss; left empty.", key,
                      v.text);
        log_message(app != nullptr ? app->log : nullptr, text, 2);
        return addEmpty(app, obj, group, element);
    }
    return addText(app, obj, group, element, time);
}

int16_t addTextFrom(AppData *app, DicomObject *obj, Header *hdr, uint16_t group, uint16_t element,
                    const char *key, Presence missing) {
    Value v = readKey(hdr, key);
    if (!v.found) return missing == Presence::kEmpty ? addEmpty(app, obj, group, element) : 0;
    return addText(app, obj, group, element, v.text);
}

VELMAR_RELATION(relModality) {
    (void)context;
    if (!isNucmed(app, hdr)) return -1;
    // A header without any "type of data" is taken as a nuclear-medicine image.
    const char *modality = isOther(readKey(hdr, "type of data")) ? "OT" : "NM";
    return addBytes(app, obj, 0x0008, 0x0060, modality, 2);
}

VELMAR_RELATION(relSOPClassUID) {
    (void)context;
    if (!isNucmed(app, hdr)) return -1;
    Value type = readKey(hdr, "type of data");
    if (!type.found || type.empty()) return addEmpty(app, obj, 0x0008, 0x0016);
    return addUID(app, obj, 0x0008, 0x0016, isOther(type) ? kSecondaryCaptureUID : kNuclearMedicineUID);
}

VELMAR_RELATION(relImageType) {
    (void)context;
    struct Rule {
        const char *typeOfData;
        const char *processStatus;  // nullptr: not consulted
        const char *imageType;
    };
    static const Rule kRules[] = {
        {"Static", nullptr, "ORIGINAL\\PRIMARY\\STATIC\\EMISSION"},
        {"Dynamic", nullptr, "ORIGINAL\\PRIMARY\\DYNAMIC\\EMISSION"},
        {"Gated", nullptr, "ORIGINAL\\PRIMARY\\GATED\\EMISSION"},
        {"Tomographic", "Acquired", "ORIGINAL\\PRIMARY\\TOMO\\EMISSION"},
        {"Tomographic", "Reconstructed", "ORIGINAL\\PRIMARY\\RECON TOMO\\EMISSION"},
        {"GSPECT", "Acquired", "ORIGINAL\\PRIMARY\\GATED TOMO\\EMISSION"},
        {"GSPECT", "Reconstructed", "ORIGINAL\\PRIMARY\\RECON GATED TOMO\\EMISSION"},
        {"Other", nullptr, "DERIVED\\SECONDARY\\\\CAPTURED"},
    };
    Value type = readKey(hdr, "type of data");
    if (type.found && !type.empty()) {
        Value status = readKey(hdr, "process status");
        for (const Rule &rule : kRules) {
            if (!equalsNoCase(type.text, rule.typeOfData)) continue;
            if (rule.processStatus != nullptr && !(status.found && equalsNoCase(status.text, rule.processStatus)))
                continue;
            return addText(app, obj, 0x0008, 0x0008, rule.imageType);
        }
    }
    log_message(app != nullptr ? app->log : nullptr, "Image type not specified", 1);
    return -1;
}

VELMAR_RELATION(relInstanceCreationDate) {
    (void)hdr;
    (void)context;
    std::tm now = localNow();
    char text[32];
    std::snprintf(text, sizeof text, "%04hd%02hd%02hd", static_cast<short>(now.tm_year + 1900),
                  static_cast<short>(now.tm_mon + 1), static_cast<short>(now.tm_mday));
    return addText(app, obj, 0x0008, 0x0012, text);
}

VELMAR_RELATION(relInstanceCreationTime) {
    (void)hdr;
    (void)context;
    std::tm now = localNow();
    char text[32];
    std::snprintf(text, sizeof text, "%02hd%02hd%02hd.00", static_cast<short>(now.tm_hour),
                  static_cast<short>(now.tm_min), static_cast<short>(now.tm_sec));
    return addText(app, obj, 0x0008, 0x0013, text);
}

VELMAR_RELATION(relStudyDate) {
    (void)context;
    return addDateFrom(app, obj, hdr, 0x0008, 0x0020, "study date", Presence::kEmpty);
}
VELMAR_RELATION(relSeriesDate) {
    (void)context;
    return addDateFrom(app, obj, hdr, 0x0008, 0x0021, "study date", Presence::kAbsent);
}
VELMAR_RELATION(relAcquisitionDate) {
    (void)context;
    return addDateFrom(app, obj, hdr, 0x0008, 0x0022, "study date", Presence::kAbsent);
}
VELMAR_RELATION(relContentDate) {
    (void)context;
    return addDateFrom(app, obj, hdr, 0x0008, 0x0023, "study date", Presence::kEmpty);
}
VELMAR_RELATION(relStudyTime) {
    (void)context;
    return addTimeFrom(app, obj, hdr, 0x0008, 0x0030, "study time", Presence::kEmpty);
}
VELMAR_RELATION(relSeriesTime) {
    (void)context;
    return addTimeFrom(app, obj, hdr, 0x0008, 0x0031, "study time", Presence::kAbsent);
}
VELMAR_RELATION(relAcquisitionTime) {
    (void)context;
    return addTimeFrom(app, obj, hdr, 0x0008, 0x0032, "study time", Presence::kAbsent);
}
VELMAR_RELATION(relContentTime) {
    (void)context;
    return addTimeFrom(app, obj, hdr, 0x0008, 0x0033, "study time", Presence::kEmpty);
}

VELMAR_RELATION(relAccessionNumber) {
    (void)hdr;
    (void)context;
    return addEmpty(app, obj, 0x0008, 0x0050);
}

VELMAR_RELATION(relConversionType) {
    (void)hdr;
    (void)context;
    return addText(app, obj, 0x0008, 0x0064, "WSD");
}

VELMAR_RELATION(relManufacturer) {
    (void)context;
    return addTextFrom(app, obj, hdr, 0x0008, 0x0070, "originating system", Presence::kEmpty);
}

VELMAR_RELATION(relInstitutionName) {
    (void)context;
    Value v = readKey(hdr, "original institution");
    if (!v.found || v.empty()) return 0;
    return addText(app, obj, 0x0008, 0x0080, v.text);
}

VELMAR_RELATION(relReferringPhysiciansName) {
    (void)hdr;
    (void)context;
    return addEmpty(app, obj, 0x0008, 0x0090);
}

VELMAR_RELATION(relSOPInstanceUID) {
    (void)hdr;
    return addGeneratedUID(app, obj, context, 0x0008, 0x0018, 7);
}

}  // namespace velmar::convert
