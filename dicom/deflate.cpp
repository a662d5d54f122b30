// Deflated Explicit VR Little Endian through zlib: inflating a deflated data set into a
// temporary copy for the reader, and compressing the data set the writer wrote.
#include "dicom/deflate.h"
#include "support/regularfile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <vector>

#include "velmar/codecs.h"
#include "velmar/support.h"

namespace velmar::dicom {
namespace {

constexpr size_t kPreambleBytes = 132;
constexpr size_t kChunk = 1 << 16;

struct FileCloser {
    void operator()(FILE *f) const {
        if (f != nullptr) std::fclose(f);
    }
};
using File = std::unique_ptr<FILE, FileCloser>;

// One element of the meta header as it stands in the file (explicit VR little endian).
struct MetaElement {
    uint16_t element = 0;
    std::string vr;
    std::string value;
};

bool hasLongLength(const std::string &vr) {
    static const char *const kLong[] = {"OB", "OW", "OF", "OD", "OL", "OV", "SQ",
                                        "SV", "UC", "UN", "UR", "UT", "UV"};
    for (const char *l : kLong)
        if (vr == l) return true;
    return false;
}

uint32_t le(const uint8_t *p, int bytes) {
    uint32_t v = 0;
    for (int i = bytes - 1; i >= 0; --i) v = v << 8 | p[i];
    return v;
}

// Reads the preamble, "DICM" and every group 0002 element after it; the file is left at the first
// byte of the data set. False when the file is no PS3.10 file with an explicit meta header.
bool readMeta(FILE *file, std::vector<MetaElement> &meta) {
    uint8_t head[kPreambleBytes];
    if (std::fread(head, 1, sizeof head, file) != sizeof head || std::memcmp(head + 128, "DICM", 4) != 0)
        return false;
    for (;;) {
        long start = std::ftell(file);
        uint8_t tag[8];
        if (std::fread(tag, 1, 8, file) != 8 || le(tag, 2) != 0x0002) {
            std::fseek(file, start, SEEK_SET);
            return !meta.empty();
        }
        MetaElement el;
        el.element = static_cast<uint16_t>(le(tag + 2, 2));
        el.vr.assign(reinterpret_cast<const char *>(tag + 4), 2);
        uint32_t length = le(tag + 6, 2);
        if (hasLongLength(el.vr)) {
            uint8_t longLength[4];
            if (std::fread(longLength, 1, 4, file) != 4) return false;
            length = le(longLength, 4);
        }
        if (length > (1u << 20)) return false;
        el.value.resize(length);
        if (length != 0 && std::fread(el.value.data(), 1, length, file) != length) return false;
        meta.push_back(std::move(el));
    }
}

std::string uidText(const std::string &value) {
    size_t end = value.find_last_not_of(std::string(" \0", 2));
    return end == std::string::npos ? std::string() : value.substr(0, end + 1);
}

void putLE(std::string &out, uint32_t v, int bytes) {
    for (int i = 0; i < bytes; ++i) out.push_back(static_cast<char>(v >> (8 * i)));
}

std::string encodeElement(const MetaElement &el) {
    std::string out;
    putLE(out, 0x0002, 2);
    putLE(out, el.element, 2);
    out += el.vr;
    if (hasLongLength(el.vr)) {
        putLE(out, 0, 2);
        putLE(out, static_cast<uint32_t>(el.value.size()), 4);
    } else {
        putLE(out, static_cast<uint32_t>(el.value.size()), 2);
    }
    return out + el.value;
}

// The meta header with (0002,0010) naming `uid` and (0002,0000), when present, the length of the
// elements after it.
std::string metaWithSyntax(std::vector<MetaElement> meta, const char *uid) {
    std::string body;
    bool hasGroupLength = false;
    for (MetaElement &el : meta) {
        if (el.element == 0x0000) {
            hasGroupLength = true;
            continue;
        }
        if (el.element == 0x0010) {
            el.value = uid;
            if (el.value.size() % 2 != 0) el.value.push_back('\0');
        }
        body += encodeElement(el);
    }
    if (!hasGroupLength) return body;
    MetaElement length{0x0000, "UL", {}};
    putLE(length.value, static_cast<uint32_t>(body.size()), 4);
    return encodeElement(length) + body;
}

// Temporary inflated copies live as long as the process: Pixel Data descriptors name them.
std::mutex &copiesLock() {
    static std::mutex lock;
    return lock;
}

std::vector<std::string> &inflatedCopies() {
    static auto *copies = new std::vector<std::string>();
    return *copies;
}

void removeInflatedCopies() {
    std::lock_guard<std::mutex> guard(copiesLock());
    for (const std::string &path : inflatedCopies()) std::remove(path.c_str());
}

File makeInflatedCopy(std::string &path) {
    const char *dir = std::getenv("TMPDIR");
    std::string pattern =
        std::string(dir != nullptr && dir[0] != '\0' ? dir : "/tmp") + "/velmar-inflated-XXXXXX";
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    int fd = ::mkstemp(name.data());
    if (fd < 0) return nullptr;
    path = name.data();
    {
        std::lock_guard<std::mutex> guard(copiesLock());
        if (inflatedCopies().empty()) std::atexit(removeInflatedCopies);
        inflatedCopies().push_back(path);
    }
    File file(::fdopen(fd, "w+b"));
    if (file == nullptr) ::close(fd);
    return file;
}

// Streams zlib over `in` into `out` until the stream ends. `window` -15 reads raw deflate; 47
// reads a zlib or gzip wrapper, which some writers put around the stream.
bool inflateStream(FILE *in, FILE *out, int window) {
    z_stream z{};
    if (inflateInit2(&z, window) != Z_OK) return false;
    std::vector<uint8_t> input(kChunk), output(kChunk);
    int status = Z_OK;
    while (status != Z_STREAM_END) {
        if (z.avail_in == 0) {
            z.avail_in = static_cast<uInt>(std::fread(input.data(), 1, input.size(), in));
            z.next_in = input.data();
            if (z.avail_in == 0) break;  // the stream ends early
        }
        z.next_out = output.data();
        z.avail_out = static_cast<uInt>(output.size());
        status = inflate(&z, Z_NO_FLUSH);
        if (status != Z_OK && status != Z_STREAM_END) break;
        size_t produced = output.size() - z.avail_out;
        if (std::fwrite(output.data(), 1, produced, out) != produced) break;
    }
    inflateEnd(&z);
    return status == Z_STREAM_END;
}

bool deflateStream(FILE *in, FILE *out) {
    z_stream z{};
    if (deflateInit2(&z, Z_DEFAULT_COMPRESSION, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY) != Z_OK) return false;
    std::vector<uint8_t> input(kChunk), output(kChunk);
    int status = Z_OK;
    bool ok = true;
    while (ok && status != Z_STREAM_END) {
        size_t read = std::fread(input.data(), 1, input.size(), in);
        z.next_in = input.data();
        z.avail_in = static_cast<uInt>(read);
        const int flush = read < input.size() ? Z_FINISH : Z_NO_FLUSH;
        do {
            z.next_out = output.data();
            z.avail_out = static_cast<uInt>(output.size());
            status = deflate(&z, flush);
            size_t produced = output.size() - z.avail_out;
            ok = status != Z_STREAM_ERROR && std::fwrite(output.data(), 1, produced, out) == produced;
        } while (ok && z.avail_out == 0);
        if (flush == Z_FINISH && status != Z_STREAM_END) ok = false;
    }
    uLong total = z.total_out;
    deflateEnd(&z);
    // The stream is the value of the data set: an odd length gets a zero pad byte.
    if (ok && total % 2 != 0) ok = std::fputc(0, out) == 0;
    return ok && std::ferror(in) == 0;
}

bool writeHead(FILE *out, const std::vector<MetaElement> &meta, const char *uid) {
    uint8_t preamble[kPreambleBytes] = {};
    std::memcpy(preamble + 128, "DICM", 4);
    std::string header = metaWithSyntax(meta, uid);
    return std::fwrite(preamble, 1, sizeof preamble, out) == sizeof preamble &&
           std::fwrite(header.data(), 1, header.size(), out) == header.size();
}

void markTree(DicomElement *node) {
    for (; node != nullptr; node = node->next) {
        if (node->group == 0x7FE0 && node->element == 0x0010 && node->value != nullptr &&
            node->length >= VELMAR_PDS_FIXED_SIZE && node->length != VELMAR_UNDEFINED_LENGTH) {
            auto *pds = static_cast<PixelDataDescriptor *>(node->value);
            pds->syntaxCode = TS_EXPLICIT_LITTLE;
            std::snprintf(pds->transferSyntaxUID, sizeof pds->transferSyntaxUID, "%s", kExplicitLittleUID);
        }
        markTree(node->firstChild);
    }
}

}  // namespace

bool isDeflatedSyntax(const char *uid) {
    return uid != nullptr && std::strncmp(uid, kDeflatedSyntaxUID, VELMAR_UID_SIZE) == 0;
}

Inflation inflateDataSet(const char *file_name, std::string &inflated) {
    // Only a regular file is looked at: opening a FIFO or a device could block.
    File in(velmar::support::fopenRegularFile(file_name, "rb"));
    std::vector<MetaElement> meta;
    if (in == nullptr || !readMeta(in.get(), meta)) return Inflation::NotDeflated;
    bool deflated = false;
    for (const MetaElement &el : meta)
        if (el.element == 0x0010) deflated = uidText(el.value) == kDeflatedSyntaxUID;
    if (!deflated) return Inflation::NotDeflated;
    // The meta header stays as it was: the reader takes the syntax from (0002,0010).
    long dataSet = std::ftell(in.get());
    File out = makeInflatedCopy(inflated);
    if (out == nullptr || !writeHead(out.get(), meta, kDeflatedSyntaxUID)) return Inflation::Failed;
    long outStart = std::ftell(out.get());
    if (inflateStream(in.get(), out.get(), -15))
        return std::fflush(out.get()) == 0 ? Inflation::Inflated : Inflation::Failed;
    std::fseek(in.get(), dataSet, SEEK_SET);
    if (std::fflush(out.get()) != 0 || ::ftruncate(::fileno(out.get()), outStart) != 0)
        return Inflation::Failed;
    std::fseek(out.get(), outStart, SEEK_SET);
    if (inflateStream(in.get(), out.get(), 47) && std::fflush(out.get()) == 0) return Inflation::Inflated;
    return Inflation::Failed;
}

void logInflateFailure(AppData *app, const char *file_name) {
    if (app == nullptr || app->log == nullptr) return;
    char text[VELMAR_LOG_LINE_MAX + 1];
    std::snprintf(text, sizeof text, "Deflated data set of %s cannot be inflated", file_name);
    log_message(app->log, text, 1);
}

void markPixelDataExplicit(DicomObject *obj) {
    if (obj != nullptr && obj->root != nullptr) markTree(obj->root->firstChild);
}

// The compressed copy is made beside the written file under a name of its own that the stale
// temporary clean-up also knows, never through a name that exists already, with the written
// file's permission bits (and owner, as root) from the start, and synced before it replaces it.
bool deflateDataSet(const std::string &path) {
    std::string compressed = path + ".z.tmp";
    bool ok = false;
    {
        File in(std::fopen(path.c_str(), "rb"));
        struct stat st {};
        std::vector<MetaElement> meta;
        if (in == nullptr || ::fstat(::fileno(in.get()), &st) != 0 || !readMeta(in.get(), meta)) return false;
        int fd = ::open(compressed.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (fd < 0) return false;
        if (::geteuid() == 0 && ::fchown(fd, st.st_uid, st.st_gid) != 0) { /* kept as created */
        }
        ok = ::fchmod(fd, st.st_mode & 07777) == 0;
        File out(::fdopen(fd, "wb"));
        if (out == nullptr) {
            ::close(fd);
            std::remove(compressed.c_str());
            return false;
        }
        ok = ok && writeHead(out.get(), meta, kDeflatedSyntaxUID) && deflateStream(in.get(), out.get());
        ok = ok && std::fflush(out.get()) == 0 && (::fsync(::fileno(out.get())) == 0 || errno == EINVAL);
        ok = std::fclose(out.release()) == 0 && ok;
    }
    if (ok) ok = std::rename(compressed.c_str(), path.c_str()) == 0;
    if (!ok) std::remove(compressed.c_str());
    return ok;
}

}  // namespace velmar::dicom
