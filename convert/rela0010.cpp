// Relations of group 0010: the patient's name, ID, birth date and time, and sex.
#include "convert/relations.h"

namespace velmar::convert {

VELMAR_RELATION(relPatientsName) {
    (void)context;
    return addTextFrom(app, obj, hdr, 0x0010, 0x0010, "patient name", Presence::kEmpty);
}

VELMAR_RELATION(relPatientID) {
    (void)context;
    return addTextFrom(app, obj, hdr, 0x0010, 0x0020, "patient ID", Presence::kEmpty);
}

VELMAR_RELATION(relPatientsBirthDate) {
    (void)context;
    return addDateFrom(app, obj, hdr, 0x0010, 0x0030, "patient dob", Presence::kEmpty);
}

VELMAR_RELATION(relPatientsBirthTime) {
    (void)hdr;
    (void)context;
    return addEmpty(app, obj, 0x0010, 0x0032);
}

// The first character of "patient sex" decides: M or F in either case, anything else "O".
VELMAR_RELATION(relPatientsSex) {
    (void)context;
    Value v = readKey(hdr, "patient sex");
    if (!v.found) return addEmpty(app, obj, 0x0010, 0x0040);
    const char *sex = "O";
    if (v.text[0] == 'M' || v.text[0] == 'm') sex = "M";
    else if (v.text[0] == 'F' || v.text[0] == 'f') sex = "F";
    return addText(app, obj, 0x0010, 0x0040, sex);
}

}  // namespace velmar::convert
