// The Pixel Data relation: finds the Interfile data file and stores a pixel data descriptor that
// indexes its frames, so that the writer converts the pixels only when it writes the object.
#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include <sys/stat.h>
#include <unistd.h>

#include "convert/relations.h"
#include "support/regularfile.h"
#include "velmar/codecs.h"

namespace velmar::convert {

namespace {

// The pseudo transfer syntaxes under which the Interfile codec reads raw data files.
constexpr const char *kLittleEndianUID = "Interfile.Little.Endian";
constexpr const char *kBigEndianUID = "Interfile.Big.Endian";

struct FreeDeleter {
    void operator()(void *block) const { std::free(block); }
};
using Descriptor = std::unique_ptr<PixelDataDescriptor, FreeDeleter>;

bool canOpen(const std::string &path) {
    int fd = support::openRegularFile(path.c_str());
    if (fd < 0) return false;
    close(fd);
    return true;
}

bool exists(const std::string &path) {
    struct stat info {};
    return stat(path.c_str(), &info) == 0;
}

std::string joined(const char *directory, const std::string &name) {
    std::unique_ptr<char, FreeDeleter> path(path_concat(directory, name.c_str(), nullptr));
    return path != nullptr ? std::string(path.get()) : std::string();
}

// A name that begins with a drive letter ("C:/studies/a.img", "C:a.img") comes from another
// system; here only its last component can be looked for, beside the header.
bool hasDriveLetter(const std::string &name) {
    return name.size() >= 2 && std::isalpha(static_cast<unsigned char>(name[0])) && name[1] == ':';
}

std::string lastComponent(const std::string &name) {
    size_t cut = name.find_last_of("/:");
    return cut == std::string::npos ? name : name.substr(cut + 1);
}

enum class Lookup { kNoName, kFound, kNotFound, kNotRegular, kOutside };

// Whether a data file that exists may be used: it must be a regular file, and, unless the caller
// allows it, lie inside the header's directory once symbolic links are resolved.
Lookup admit(const std::string &path, const std::string &directory, bool allowOutside) {
    if (!support::isRegularFile(path.c_str())) return Lookup::kNotRegular;
    if (!allowOutside && !support::liesInside(directory, path)) return Lookup::kOutside;
    return Lookup::kFound;
}

// The data file: a name in the header's directory, as written, then in lower case, then in upper
// case; an absolute name as written. Separators written as backslashes count as "/".
Lookup findDataFile(Header *hdr, std::string &path) {
    Value value = readKey(hdr, "name of data file");
    if (!value.found || value.empty()) return Lookup::kNoName;
    fixpath(value.text);
    std::string name(value.text);
    const char *headerPath = getInterfileName(hdr);
    bool allowOutside = (hdr->dataFileFlags & VELMAR_IF2DCM_ALLOW_OUTSIDE) != 0;
    std::unique_ptr<char, FreeDeleter> directory(headerPath != nullptr ? velmar_dirname(headerPath)
                                                                       : nullptr);
    if (name[0] == '/') {
        path = name;
        std::string base = directory != nullptr ? directory.get() : "";
        // A name that does not exist is left for the pixel reader to report.
        if (!exists(name))
            return allowOutside || support::liesInside(base, name) ? Lookup::kFound : Lookup::kOutside;
        return admit(name, base, allowOutside);
    }
    if (headerPath == nullptr) return Lookup::kNoName;
    if (hasDriveLetter(name)) name = lastComponent(name);
    if (name.empty() || directory == nullptr) return Lookup::kNotFound;

    std::string lower = name;
    strtolower(lower.data(), static_cast<int32_t>(lower.size()));
    std::string upper = name;
    strtoupper(upper.data(), static_cast<int32_t>(upper.size()));
    for (const std::string &candidate : {name, lower, upper}) {
        std::string full = joined(directory.get(), candidate);
        if (full.empty() || !exists(full)) continue;
        Lookup verdict = admit(full, directory.get(), allowOutside);
        if (verdict != Lookup::kFound || canOpen(full)) {
            path = full;
            return verdict;
        }
    }
    return Lookup::kNotFound;
}

void logNotConverted(AppData *app, const char *reason) {
    Log *log = app != nullptr ? app->log : nullptr;
    if (reason != nullptr) log_message(log, reason, 1);
    log_message(log, "Didn't convert the pixel data", 1);
}

// "data offset in bytes" when the header gives it, else "data starting block" blocks of 2048
// bytes; the definition's default of either only when the header gives neither.
uint64_t dataOffset(Header *hdr) {
    unsigned long number = 0;
    Value bytes = readOwnValue(hdr, "data offset in bytes");
    if (bytes.found && !bytes.empty() && std::sscanf(bytes.text, "%lu", &number) == 1) return number;
    Value blocks = readKey(hdr, "data starting block");
    if (blocks.found && std::sscanf(blocks.text, "%lu", &number) == 1) return static_cast<uint64_t>(number) * 2048u;
    bytes = readKey(hdr, "data offset in bytes");
    if (bytes.found && std::sscanf(bytes.text, "%lu", &number) == 1) return number;
    return 0;
}

template <typename T>
T readNumber(Header *hdr, const char *key, const char *format, T fallback) {
    Value v = readKey(hdr, key);
    T number{};
    if (!v.found || std::sscanf(v.text, format, &number) != 1) return fallback;
    return number;
}

}  // namespace

VELMAR_RELATION(relPixelData) {
    (void)context;
    Descriptor descriptor(static_cast<PixelDataDescriptor *>(std::calloc(1, VELMAR_PDS_FIXED_SIZE)));
    if (descriptor == nullptr) return addEmpty(app, obj, 0x7FE0, 0x0010);

    std::string path;
    switch (findDataFile(hdr, path)) {
        case Lookup::kNotFound:
            logNotConverted(app, "The name of the data file is not valid.");
            return -1;
        case Lookup::kNotRegular:
            logNotConverted(app, ("The data file is not a regular file: " + path).c_str());
            return -1;
        case Lookup::kOutside:
            logNotConverted(app, ("The data file lies outside the header's directory: " + path).c_str());
            return -1;
        case Lookup::kFound:
            descriptor->fileName = velmar_internFileName(path.c_str());
            break;
        case Lookup::kNoName:
            break;
    }

    unsigned short rows = readNumber<unsigned short>(hdr, "matrix size [2]", "%hu", 0);
    unsigned short columns = readNumber<unsigned short>(hdr, "matrix size [1]", "%hu", 0);
    unsigned short bytesPerPixel = readNumber<unsigned short>(hdr, "number of bytes per pixel", "%hu", 1);
    short images = readNumber<short>(hdr, "total number of images", "%hd", 0);
    uint64_t offset = dataOffset(hdr);
    uint64_t length = static_cast<uint64_t>(images > 0 ? images : 0) * columns * rows * bytesPerPixel;

    fill_pds(app, obj, descriptor.get());
    uint32_t entries = descriptor->numberOfFrames;
    uint32_t frameSize = descriptor->frameSize;
    // Every frame must lie within the reach of the descriptor's 32-bit offsets.
    if (offset + static_cast<uint64_t>(entries) * frameSize > UINT32_MAX ||
        entries > (UINT32_MAX - VELMAR_PDS_FIXED_SIZE) / VELMAR_PDS_ENTRY_SIZE - 1) {
        logNotConverted(app, nullptr);
        return -1;
    }
    descriptor->pixelOffset = static_cast<uint32_t>(offset);
    descriptor->pixelLength = static_cast<uint32_t>(std::min<uint64_t>(length, UINT32_MAX - 1));

    bool little = equalsNoCase(readKey(hdr, "imagedata byte order").text, "littleendian");
    descriptor->syntaxCode = little ? 1 : 2;
    std::snprintf(descriptor->transferSyntaxUID, sizeof descriptor->transferSyntaxUID, "%s",
                  little ? kLittleEndianUID : kBigEndianUID);

    uint32_t size = VELMAR_PDS_FIXED_SIZE + VELMAR_PDS_ENTRY_SIZE * entries;
    // One spare entry after the table, as the frame index keeps it.
    void *grown = std::realloc(descriptor.get(), size + VELMAR_PDS_ENTRY_SIZE);
    if (grown == nullptr) return addEmpty(app, obj, 0x7FE0, 0x0010);
    (void)descriptor.release();  // realloc took over the old block
    descriptor.reset(static_cast<PixelDataDescriptor *>(grown));
    std::memset(descriptor->frames, 0, VELMAR_PDS_ENTRY_SIZE * (entries + static_cast<size_t>(1)));
    descriptor->entryCount = entries;
    descriptor->size = size;
    for (uint32_t i = 0; i < entries; ++i) {
        PixelFrameEntry &entry = descriptor->frames[i];
        entry.frame = static_cast<uint16_t>(i + 1);
        entry.fragment = 0;
        entry.offset = static_cast<uint32_t>(offset + static_cast<uint64_t>(i) * frameSize);
        entry.length = frameSize;
    }
    return addBytes(app, obj, 0x7FE0, 0x0010, descriptor.get(), size);
}

}  // namespace velmar::convert
