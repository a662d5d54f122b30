// Internal interface of the Interfile-to-DICOM conversion: the relation signature, the value
// and element helpers the relations share, and every relation by DICOM group.
#pragma once

#include <cstddef>
#include <cstdint>

#include "velmar/convert.h"
#include "velmar/dicom.h"
#include "velmar/interfile.h"

namespace velmar::convert {

using Header = InterfileHeader;

// A relation adds one attribute (or one sequence) to the object.
using Relation = int16_t (*)(AppData *app, DicomObject *obj, Header *hdr, ConversionContext *context);

// Longest Interfile value a relation keeps; longer values are cut.
constexpr size_t kValueMax = 255;

// One Interfile value as a relation reads it: at most kValueMax characters, with room for the
// blank that makes a text even.
struct Value {
    char text[kValueMax + 2] = {0};
    bool found = false;  // the key store gave a value or the definition's default
    bool empty() const { return text[0] == '\0'; }
};

// ---- Reading the header (i2dcomp.cpp) ----

// The value of `key` at `index` (the n-th occurrence; 0 and 1 both give the first), or its
// default from the definition.
Value readKey(Header *hdr, const char *key, int16_t index = 0);
// As readKey, but without the definition's default.
Value readOwnValue(Header *hdr, const char *key, int16_t index = 0);
// A count as the frame walk and the count relations read it: "%hd"; `fallback` when the key
// has no value or does not scan.
int16_t readCount(Header *hdr, const char *key, int16_t index, int16_t fallback);
// readCount at full width: a count outside 0 to 32767 gives 0, a level-1 message naming the
// key and `invalid` set (limits.cpp).
int16_t readCountChecked(Header *hdr, const char *key, int16_t index, int16_t fallback, bool &invalid);
// Whether total number of images, matrix size and bytes per pixel lie in the ranges the DICOM
// object can hold; false after a level-1 message naming the key (limits.cpp).
bool headerLimitsHold(AppData *app, Header *hdr);
bool equalsNoCase(const char *a, const char *b);
bool startsWithNoCase(const char *text, const char *prefix);

// An Interfile time "h:m", "h:m:s" or "h:m:s.f" (fields of one or two digits) as a TM value
// "HHMM", "HHMMSS" or "HHMMSS.FFFFFF" in `out` (kTimeSize bytes); its length, or 0 when the
// text is no such time.
constexpr size_t kTimeSize = 14;
size_t normalizeTime(const char *text, char *out);

// ---- Building elements (i2dcomp.cpp) ----

int16_t addBytes(AppData *app, DicomObject *obj, uint16_t group, uint16_t element, const void *value,
                 uint32_t length);
// A text element made even with one blank (a text of odd length gets the blank); each value
// longer than its VR allows is cut, with a level-2 message naming the attribute.
int16_t addText(AppData *app, DicomObject *obj, uint16_t group, uint16_t element, const char *text);
// A text element cut to `max` characters after the blank is appended.
int16_t addTextCut(AppData *app, DicomObject *obj, uint16_t group, uint16_t element, const char *text,
                   uint32_t max);
// A UI element: an odd length gets the terminating zero, never a blank.
int16_t addUID(AppData *app, DicomObject *obj, uint16_t group, uint16_t element, const char *uid);
int16_t addEmpty(AppData *app, DicomObject *obj, uint16_t group, uint16_t element);
// A text element, or an empty one when the text is null or empty.
int16_t addTextOrEmpty(AppData *app, DicomObject *obj, uint16_t group, uint16_t element, const char *text);
int16_t addUS(AppData *app, DicomObject *obj, uint16_t group, uint16_t element, uint16_t number);
// A sequence element of undefined length; the object's container moves into it.
int16_t openSequence(AppData *app, DicomObject *obj, uint16_t group, uint16_t element);
int16_t closeSequence(AppData *app, DicomObject *obj);
int16_t openItem(AppData *app, DicomObject *obj);
int16_t closeItem(AppData *app, DicomObject *obj);
bool hasElement(const DicomObject *obj, uint16_t group, uint16_t element);
// First 16-bit value of a top-level element, 0 when it is absent or empty.
uint16_t objectUS(DicomObject *obj, uint16_t group, uint16_t element);

// Frees the arrays of a FrameVectors record and sets its count to 0.
void releaseFrameVectors(FrameVectors *vectors);

bool studyTypeIs(const ConversionContext *context, const char *type);
bool isTomographic(const ConversionContext *context);
bool isGated(const ConversionContext *context);
bool isReconstructed(const ConversionContext *context);

// ---- Relation kinds shared across groups ----

// What a relation adds when its key has no usable value.
enum class Presence { kEmpty, kAbsent };

// A DA value from an Interfile date, a TM value from an Interfile time, a text as read
// (rela0008.cpp). An empty date or time counts as missing.
int16_t addDateFrom(AppData *app, DicomObject *obj, Header *hdr, uint16_t group, uint16_t element,
                    const char *key, Presence missing);
int16_t addTimeFrom(AppData *app, DicomObject *obj, Header *hdr, uint16_t group, uint16_t element,
                    const char *key, Presence missing);
int16_t addTextFrom(AppData *app, DicomObject *obj, Header *hdr, uint16_t group, uint16_t element,
                    const char *key, Presence missing);
// A generated UID for this conversion (rela0020.cpp); empty when no UID can be made.
int16_t addGeneratedUID(AppData *app, DicomObject *obj, ConversionContext *context, uint16_t group,
                        uint16_t element, uint8_t uidFlags);

// ---- Relations, by DICOM group ----

#define VELMAR_RELATION(name) \
    int16_t name(AppData *app, DicomObject *obj, Header *hdr, ConversionContext *context)

// rela0008.cpp: general study, series and instance attributes of group 0008.
VELMAR_RELATION(relImageType);
VELMAR_RELATION(relInstanceCreationDate);
VELMAR_RELATION(relInstanceCreationTime);
VELMAR_RELATION(relSOPClassUID);
VELMAR_RELATION(relSOPInstanceUID);
VELMAR_RELATION(relStudyDate);
VELMAR_RELATION(relSeriesDate);
VELMAR_RELATION(relAcquisitionDate);
VELMAR_RELATION(relContentDate);
VELMAR_RELATION(relStudyTime);
VELMAR_RELATION(relSeriesTime);
VELMAR_RELATION(relAcquisitionTime);
VELMAR_RELATION(relContentTime);
VELMAR_RELATION(relAccessionNumber);
VELMAR_RELATION(relModality);
VELMAR_RELATION(relConversionType);
VELMAR_RELATION(relManufacturer);
VELMAR_RELATION(relInstitutionName);
VELMAR_RELATION(relReferringPhysiciansName);

// rela0010.cpp: patient attributes.
VELMAR_RELATION(relPatientsName);
VELMAR_RELATION(relPatientID);
VELMAR_RELATION(relPatientsBirthDate);
VELMAR_RELATION(relPatientsBirthTime);
VELMAR_RELATION(relPatientsSex);

// rela0018.cpp: acquisition attributes of group 0018 (the Secondary Capture date and time too).
VELMAR_RELATION(relSliceThickness);
VELMAR_RELATION(relCountsAccumulated);
VELMAR_RELATION(relSpacingBetweenSlices);
VELMAR_RELATION(relActualFrameDuration);
VELMAR_RELATION(relPatientPosition);
VELMAR_RELATION(relDateOfSecondaryCapture);
VELMAR_RELATION(relTimeOfSecondaryCapture);
// Item relations, writing the context's hand-off fields.
VELMAR_RELATION(relItemActualFrameDuration);
VELMAR_RELATION(relItemAngularStep);
VELMAR_RELATION(relItemRotationDirection);
VELMAR_RELATION(relItemScanArc);
VELMAR_RELATION(relItemRadialPosition);
VELMAR_RELATION(relItemCardiacFramingType);

// rela0020.cpp: study, series and instance identification of group 0020.
VELMAR_RELATION(relStudyInstanceUID);
VELMAR_RELATION(relSeriesInstanceUID);
VELMAR_RELATION(relStudyID);
VELMAR_RELATION(relSeriesNumber);
VELMAR_RELATION(relInstanceNumber);
VELMAR_RELATION(relPatientOrientation);
VELMAR_RELATION(relLaterality);
VELMAR_RELATION(relImagesInAcquisition);

// rela0028.cpp: the image pixel description, Number of Frames and Frame Increment Pointer.
VELMAR_RELATION(relSamplesPerPixel);
VELMAR_RELATION(relPhotometricInterpretation);
VELMAR_RELATION(relPlanarConfiguration);
VELMAR_RELATION(relNumberOfFrames);
VELMAR_RELATION(relFrameIncrementPointer);
VELMAR_RELATION(relRows);
VELMAR_RELATION(relColumns);
VELMAR_RELATION(relPixelSpacing);
VELMAR_RELATION(relPixelAspectRatio);
VELMAR_RELATION(relCorrectedImage);
VELMAR_RELATION(relBitsAllocated);
VELMAR_RELATION(relBitsStored);
VELMAR_RELATION(relHighBit);
VELMAR_RELATION(relPixelRepresentation);
VELMAR_RELATION(relLossyImageCompression);

// rela0054.cpp: the NM counts and sequences of group 0054.
VELMAR_RELATION(relNumberOfEnergyWindows);
VELMAR_RELATION(relNumberOfDetectors);
VELMAR_RELATION(relNumberOfPhases);
VELMAR_RELATION(relNumberOfRotations);
VELMAR_RELATION(relNumberOfRRIntervals);
VELMAR_RELATION(relNumberOfTimeSlots);
VELMAR_RELATION(relNumberOfSlices);
VELMAR_RELATION(relEnergyWindowInformationSequence);
VELMAR_RELATION(relRadiopharmaceuticalInformationSequence);
VELMAR_RELATION(relDetectorInformationSequence);
VELMAR_RELATION(relPhaseInformationSequence);
VELMAR_RELATION(relRotationInformationSequence);
VELMAR_RELATION(relGatedInformationSequence);
VELMAR_RELATION(relTypeOfDetectorMotion);
VELMAR_RELATION(relPatientOrientationCodeSequence);
VELMAR_RELATION(relPatientGantryRelationshipCodeSequence);

// rela7fe0.cpp: Pixel Data as a descriptor into the Interfile data file.
VELMAR_RELATION(relPixelData);

// Number conversions shared by the relations (rela0018.cpp).
// "%f" of a 32-bit float scanned with "%f"; empty when the text does not scan.
void formatFloat(const char *text, char (&out)[64]);
// Seconds to whole milliseconds ("%f", times 1000 as a float, truncated); empty when the text
// does not scan or the result leaves the range of a 32-bit integer.
void formatMilliseconds(const char *text, char (&out)[64]);

}  // namespace velmar::convert
