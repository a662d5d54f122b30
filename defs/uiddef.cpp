// UID table: finds the IOD key of a UID (in practice a SOP Class UID) by reading uid_tab.def and
// uid2_tab.def afresh at each call; nothing is kept in memory.
#include <cstring>

#include "defs/parsedef.h"
#include "velmar/defs.h"

namespace velmar::defs {
namespace {

// Only the first 64 characters of a UID in the table are compared.
constexpr size_t kUidMax = VELMAR_UID_SIZE - 1;

// Copies text into a buffer of size characters, cut to fit.
void copyCut(char *out, size_t size, const char *text) {
    size_t n = std::strlen(text);
    if (n > size - 1) n = size - 1;
    std::memcpy(out, text, n);
    out[n] = '\0';
}

// A missing string is reported with the input line that holds the offending text.
bool needString(DefScanner *s, int16_t result, DefMessage &msg) {
    if (result == 1) return true;
    msg.format("%s\n%s\n", kMsgString, s->chunk);
    return false;
}

bool needChar(int16_t result, const char *message, DefMessage &msg) {
    if (result == 1) return true;
    msg.set(message);
    return false;
}

enum class Search { Found, NotFound };

// Reads the records of one file until one carries uid. Leaves iodKey with the key of the last
// record read.
Search searchRecords(DefScanner *s, const char *uid, char *iodKey, DefMessage &msg) {
    char text[kDefStringMax + 1];
    char value[kDefStringMax + 1];
    int16_t r = scanBlankExpect(s, '{');
    while (r != -1) {
        if (r == 0) {
            msg.set(kMsgLeftBrace);
            return Search::NotFound;
        }
        if (!needString(s, scanBlankString(s, text, kDefStringMax), msg)) return Search::NotFound;
        copyCut(iodKey, VELMAR_IOD_KEY_SIZE, text);
        if (!needChar(scanBlankExpect(s, ','), kMsgComma, msg)) return Search::NotFound;
        if (!needString(s, scanBlankString(s, value, kDefStringMax), msg)) return Search::NotFound;
        if (!needChar(scanBlankExpect(s, ','), kMsgComma, msg)) return Search::NotFound;
        if (!needString(s, scanBlankString(s, text, kDefStringMax), msg)) return Search::NotFound;
        if (!needChar(scanBlankExpect(s, '}'), kMsgRightBrace, msg)) return Search::NotFound;
        r = scanBlankExpect(s, ',');
        if (r == -1) return Search::NotFound;  // a last record without its comma never matches
        if (r == 0) {
            msg.set(kMsgComma);
            return Search::NotFound;
        }
        if (std::strlen(value) > kUidMax) value[kUidMax] = '\0';
        if (std::strcmp(value, uid) == 0) return Search::Found;
        r = scanBlankExpect(s, '{');
    }
    return Search::NotFound;
}

int16_t searchUIDFile(AppData *app, const char *path, const char *uid, char *iodKey) {
    iodKey[0] = '\0';
    DefFilePtr file = openDefFile(path);
    if (!file) return -1;
    ScannerPtr scanner(scanOpen(file.get()));
    if (!scanner) return -1;
    DefMessage msg;
    msg.locate(path, scanner.get());
    if (searchRecords(scanner.get(), uid, iodKey, msg) == Search::Found) return 0;
    iodKey[0] = '\0';
    checkExtraInput(scanner.get(), msg);
    reportDefMessage(app, msg);
    return -1;
}

}  // namespace
}  // namespace velmar::defs

extern "C" {

VELMAR_API int16_t InitUIDDef(AppData *app, const char *uid, int16_t primaryOnly, char *iodKey) {
    using namespace velmar::defs;
    if (iodKey == nullptr) return -1;
    iodKey[0] = '\0';
    if (app == nullptr || uid == nullptr) return -1;
    char path[kDefPathSize];
    if (!resolveDefFile(app, "uid_tab.def", path)) return -1;
    if (searchUIDFile(app, path, uid, iodKey) == 0) return 0;
    if (primaryOnly != 0) return -1;
    if (!resolveDefFile(app, "uid2_tab.def", path)) return -1;
    return searchUIDFile(app, path, uid, iodKey);
}

}  // extern "C"
