// velmar preview: one greyscale PNG showing the frames of a DICOM file or of an Interfile study
// (read from its data file, nothing converted to disk) as a grid, each frame under its number.
#include <png.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "cli.h"

namespace velmar::cli {

namespace {

const std::vector<OptionDef> kPreviewOptions = withCommonOptions({
    {'F', "frames", "LIST", "the frames to show, for example 1-8,12 or 5- (default: all)"},
    {'C', "columns", "N", "frames per row of the grid (default: as many as make it square)"},
    {'w', "window", "C,W", "window centre and width (default: Window Center/Width, else the data's range)"},
});

// The grid's spacing: a gap around every cell and a strip above each frame for its number.
constexpr int kGap = 2;
constexpr int kLabelHeight = 7;
// Dark grey, so that the edges of black frames show.
constexpr uint8_t kBackground = 48;

struct Window {
    double centre;
    double width;
};

// Where the stored pixels of each frame lie and how they read.
struct PixelSource {
    std::string file;
    std::vector<uint32_t> offsets;  // of frame 1, 2, ...
    int rows = 0;
    int columns = 0;
    int bytesPerPixel = 0;
    bool isSigned = false;
    bool bigEndian = false;
    bool wordSwapped = false;      // 8-bit samples held in words of the other byte order
    uint32_t pixelOffset = 0;      // where the value starts, for the word boundaries
    std::optional<Window> window;  // Window Center/Width of the object
};

// ---- Reading ----------------------------------------------------------------------------------

std::string elementText(DicomObject *obj, uint16_t group, uint16_t element) {
    DicomElement el{};
    el.group = group;
    el.element = element;
    std::string text;
    if (DO_searchForElement(obj, &el) == 0 && el.value != nullptr)
        text.assign(static_cast<const char *>(el.value),
                    strnlen(static_cast<const char *>(el.value), el.length));
    D_Free(&el.value);
    return text;
}

// "C,W" or the first values of Window Center and Width; nullopt when either is not a number or
// the width is below 1.
std::optional<Window> parseWindow(const std::string &centre, const std::string &width) {
    char *end = nullptr;
    Window window{std::strtod(centre.c_str(), &end), 0};
    if (end == centre.c_str()) return std::nullopt;
    const char *w = width.c_str();
    window.width = std::strtod(w, &end);
    if (end == w || !(window.width >= 1)) return std::nullopt;
    return window;
}

std::optional<Window> objectWindow(DicomObject *obj) {
    std::string centre = elementText(obj, 0x0028, 0x1050);
    std::string width = elementText(obj, 0x0028, 0x1051);
    if (centre.empty() || width.empty()) return std::nullopt;
    return parseWindow(centre.substr(0, centre.find('\\')), width.substr(0, width.find('\\')));
}

// The frames of an object whose Pixel Data is stored unencapsulated; false when it is
// encapsulated (`encapsulated` set) or unusable (after a message).
bool sourceFromObject(Session &session, DicomObject *obj, PixelSource &source, bool &encapsulated) {
    std::unique_ptr<PixelDataDescriptor, void (*)(void *)> pds(get_ppds(session.app(), obj), std::free);
    encapsulated = pds != nullptr && pds->pixelLength == 0xFFFFFFFFu;
    if (encapsulated) return false;
    if (pds == nullptr || pds->fileName == nullptr || pds->samplesPerPixel > 1) {
        complain("preview: no greyscale Pixel Data to show");
        return false;
    }
    if (pds->bitsAllocated != 8 && pds->bitsAllocated != 16 && pds->bitsAllocated != 32) {
        complain("preview: pixels of " + std::to_string(pds->bitsAllocated) +
                 " bits allocated cannot be shown");
        return false;
    }
    source.file = pds->fileName;
    source.rows = pds->rows;
    source.columns = pds->columns;
    source.bytesPerPixel = pds->bitsAllocated / 8;
    source.isSigned = pds->pixelRepresentation == 1;
    source.bigEndian = pds->syntaxCode == TS_EXPLICIT_BIG;
    source.wordSwapped = pds->storedWordSize == 2 && pds->bitsAllocated == 8;
    source.pixelOffset = pds->pixelOffset;
    for (uint32_t i = 0; i < pds->entryCount; ++i)
        if (pds->frames[i].fragment == 0) source.offsets.push_back(pds->frames[i].offset);
    source.window = objectWindow(obj);
    if (source.offsets.empty() || source.rows == 0 || source.columns == 0) {
        complain("preview: the Pixel Data holds no frames");
        return false;
    }
    return true;
}

// A temporary file that is removed when it goes.
struct TemporaryFile {
    std::string path;
    ~TemporaryFile() {
        if (!path.empty()) unlink(path.c_str());
    }
};

bool createTemporary(TemporaryFile &temporary) {
    const char *dir = std::getenv("TMPDIR");
    std::string pattern =
        std::string(dir != nullptr && dir[0] != '\0' ? dir : "/tmp") + "/velmar_preview_XXXXXX";
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    int fd = mkstemp(name.data());
    if (fd < 0) {
        complain("preview: cannot create a temporary file: " + std::string(std::strerror(errno)));
        return false;
    }
    close(fd);
    temporary.path = name.data();
    return true;
}

// A DICOM file; encapsulated Pixel Data is decoded into a temporary uncompressed copy first.
bool sourceFromDicom(Session &session, const std::string &path, PixelSource &source,
                     TemporaryFile &temporary) {
    if (!session.loadDictionary() || !session.loadCodecs()) return false;
    IOObject io{};
    if (!readDicom(session, path, io)) return false;
    bool encapsulated = false;
    bool found = sourceFromObject(session, io.object, source, encapsulated);
    if (encapsulated && createTemporary(temporary) &&
        writeDicom(session, io, temporary.path, Syntax{}, true, CodecOptions{})) {
        DO_closeObject(&io.object);
        if (!readDicom(session, temporary.path, io)) return false;
        std::optional<Window> window = objectWindow(io.object);
        found = sourceFromObject(session, io.object, source, encapsulated);
        source.window = window;
    }
    DO_closeObject(&io.object);
    return found;
}

// An Interfile study: the conversion is run in memory only, for the data file's layout.
bool sourceFromInterfile(Session &session, const std::string &path, PixelSource &source) {
    if (!session.loadDictionary()) return false;
    InterfileSession interfile(session);
    if (!interfile.loadDefinition(session) || !interfile.read(session, path, stderr)) return false;
    IOObject io{};
    init_IOObject(&io);
    if (DO_openObject(&io.object) != 0) {
        complain("out of memory");
        return false;
    }
    bool encapsulated = false;
    bool found = IF2DCM_compile(session.app(), io.object, interfile.header()) == 0 &&
                 sourceFromObject(session, io.object, source, encapsulated);
    DO_closeObject(&io.object);
    if (!found) complain("preview: " + path + " describes no pixel data that can be read");
    return found;
}

int64_t pixelAt(const PixelSource &source, const unsigned char *bytes) {
    uint64_t raw = 0;
    for (int b = 0; b < source.bytesPerPixel; ++b) {
        int shift = source.bigEndian ? (source.bytesPerPixel - 1 - b) * 8 : b * 8;
        raw |= static_cast<uint64_t>(bytes[b]) << shift;
    }
    int bits = source.bytesPerPixel * 8;
    if (source.isSigned && (raw >> (bits - 1)) != 0) return static_cast<int64_t>(raw) - (int64_t{1} << bits);
    return static_cast<int64_t>(raw);
}

// The pixels of one frame (1-based) in row order; empty after a message when they cannot be read.
std::vector<int64_t> readFrame(const PixelSource &source, FILE *file, size_t frame) {
    size_t count = static_cast<size_t>(source.rows) * source.columns;
    // Samples held in words are read as the whole words that cover the frame, each pair exchanged.
    uint32_t offset = source.offsets[frame - 1];
    size_t lead = source.wordSwapped ? (offset - source.pixelOffset) & 1u : 0;
    size_t span = count * source.bytesPerPixel + lead;
    if (source.wordSwapped && span % 2 != 0) ++span;
    std::vector<unsigned char> bytes(span);
    if (std::fseek(file, static_cast<long>(offset - lead), SEEK_SET) != 0 ||
        std::fread(bytes.data(), 1, bytes.size(), file) != bytes.size()) {
        complain("preview: frame " + std::to_string(frame) + " lies past the end of " + source.file);
        return {};
    }
    if (source.wordSwapped)
        for (size_t i = 0; i + 1 < span; i += 2) std::swap(bytes[i], bytes[i + 1]);
    bytes.erase(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(lead));
    std::vector<int64_t> pixels(count);
    for (size_t i = 0; i < count; ++i) pixels[i] = pixelAt(source, &bytes[i * source.bytesPerPixel]);
    return pixels;
}

// ---- Choosing --------------------------------------------------------------------------------

// "1-8,12,20-": the frames in the order given; an empty list after a message when a part is no
// frame number or range within 1..count.
std::vector<size_t> parseFrames(const std::string &text, size_t count) {
    std::vector<size_t> frames;
    size_t begin = 0;
    while (begin <= text.size()) {
        size_t end = std::min(text.find(',', begin), text.size());
        std::string part = text.substr(begin, end - begin);
        begin = end + 1;
        char *stop = nullptr;
        unsigned long first = std::strtoul(part.c_str(), &stop, 10);
        unsigned long last = first;
        if (*stop == '-')
            last = stop[1] == '\0' ? count : std::strtoul(stop + 1, &stop, 10);
        else if (stop == part.c_str())
            last = 0;
        if (stop == part.c_str() || (*stop != '\0' && *stop != '-') || first < 1 || last < first ||
            last > count) {
            complain("preview: --frames \"" + text + "\": \"" + part + "\" is no frame or range of 1 to " +
                     std::to_string(count));
            return {};
        }
        for (unsigned long f = first; f <= last; ++f) frames.push_back(f);
    }
    return frames;
}

Window dataWindow(const std::vector<std::vector<int64_t>> &frames) {
    int64_t low = std::numeric_limits<int64_t>::max();
    int64_t high = std::numeric_limits<int64_t>::min();
    for (const auto &frame : frames)
        for (int64_t value : frame) {
            low = std::min(low, value);
            high = std::max(high, value);
        }
    return {(static_cast<double>(low) + static_cast<double>(high)) / 2.0 + 0.5,
            static_cast<double>(high - low) + 1.0};
}

// The linear window function of the DICOM VOI LUT, to 8 bits.
uint8_t windowed(int64_t value, const Window &window) {
    double x = static_cast<double>(value);
    double centre = window.centre - 0.5;
    double half = (window.width - 1) / 2;
    if (x <= centre - half) return 0;
    if (x > centre + half) return 255;
    return static_cast<uint8_t>(std::lround(((x - centre) / (window.width - 1) + 0.5) * 255));
}

// ---- Drawing ---------------------------------------------------------------------------------

// Digits 0-9 of a 3 x 5 font, row by row from the top, 3 bits a row.
constexpr uint16_t kDigits[10] = {075557, 026227, 071747, 071717, 055711,
                                  074717, 074757, 071111, 075757, 075717};

struct Canvas {
    int width;
    int height;
    std::vector<uint8_t> pixels;
    void set(int x, int y, uint8_t value) {
        if (x >= 0 && y >= 0 && x < width && y < height) pixels[static_cast<size_t>(y) * width + x] = value;
    }
};

void drawNumber(Canvas &canvas, int x, int y, size_t number) {
    for (char c : std::to_string(number)) {
        uint16_t glyph = kDigits[c - '0'];
        for (int row = 0; row < 5; ++row)
            for (int col = 0; col < 3; ++col)
                if ((glyph >> ((4 - row) * 3 + (2 - col)) & 1) != 0) canvas.set(x + col, y + row, 255);
        x += 4;
    }
}

struct Grid {
    int columns;
    int cellWidth;
    int cellHeight;
};

Grid gridFor(const PixelSource &source, const std::vector<size_t> &frames, int columns) {
    int widestLabel =
        static_cast<int>(
            std::to_string(frames.empty() ? 0 : *std::max_element(frames.begin(), frames.end())).size()) *
        4;
    return {columns, std::max(source.columns, widestLabel), kLabelHeight + source.rows};
}

Canvas drawGrid(const PixelSource &source, const std::vector<size_t> &numbers,
                const std::vector<std::vector<int64_t>> &frames, const Grid &grid, const Window &window) {
    int gridRows = static_cast<int>((numbers.size() + grid.columns - 1) / grid.columns);
    Canvas canvas{
        kGap + grid.columns * (grid.cellWidth + kGap), kGap + gridRows * (grid.cellHeight + kGap), {}};
    canvas.pixels.assign(static_cast<size_t>(canvas.width) * canvas.height, kBackground);
    for (size_t i = 0; i < numbers.size(); ++i) {
        int left = kGap + static_cast<int>(i % grid.columns) * (grid.cellWidth + kGap);
        int top = kGap + static_cast<int>(i / grid.columns) * (grid.cellHeight + kGap);
        drawNumber(canvas, left, top + 1, numbers[i]);
        for (int r = 0; r < source.rows; ++r)
            for (int c = 0; c < source.columns; ++c)
                canvas.set(left + c, top + kLabelHeight + r,
                           windowed(frames[i][static_cast<size_t>(r) * source.columns + c], window));
    }
    return canvas;
}

bool writePng(const Canvas &canvas, const std::string &path) {
    std::unique_ptr<FILE, int (*)(FILE *)> file(std::fopen(path.c_str(), "wb"), std::fclose);
    if (!file) {
        complain("cannot write " + path + ": " + std::strerror(errno));
        return false;
    }
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png != nullptr ? png_create_info_struct(png) : nullptr;
    if (info == nullptr || setjmp(png_jmpbuf(png)) != 0) {
        png_destroy_write_struct(&png, &info);
        complain("cannot write " + path + ": the PNG could not be encoded");
        return false;
    }
    png_init_io(png, file.get());
    png_set_IHDR(png, info, static_cast<png_uint_32>(canvas.width), static_cast<png_uint_32>(canvas.height),
                 8, PNG_COLOR_TYPE_GRAY, PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
                 PNG_FILTER_TYPE_DEFAULT);
    png_set_compression_level(png, 9);
    png_write_info(png, info);
    for (int y = 0; y < canvas.height; ++y)
        png_write_row(png, &canvas.pixels[static_cast<size_t>(y) * canvas.width]);
    png_write_end(png, info);
    png_destroy_write_struct(&png, &info);
    return true;
}

std::string windowText(const Window &window) {
    char text[64];
    std::snprintf(text, sizeof text, "%g,%g", window.centre, window.width);
    return text;
}

struct PreviewChoice {
    std::string frames;
    std::string columns;
    std::optional<Window> window;
};

int drawPreview(const PixelSource &source, const PreviewChoice &choice, const std::string &out) {
    std::vector<size_t> numbers;
    if (choice.frames.empty())
        for (size_t f = 1; f <= source.offsets.size(); ++f) numbers.push_back(f);
    else
        numbers = parseFrames(choice.frames, source.offsets.size());
    if (numbers.empty()) return kExitFailed;
    std::unique_ptr<FILE, int (*)(FILE *)> file(std::fopen(source.file.c_str(), "rb"), std::fclose);
    if (!file) {
        complain("cannot read " + source.file + ": " + std::strerror(errno));
        return kExitFailed;
    }
    std::vector<std::vector<int64_t>> frames;
    for (size_t number : numbers) {
        frames.push_back(readFrame(source, file.get(), number));
        if (frames.back().empty()) return kExitFailed;
    }
    int columns = choice.columns.empty()
                      ? static_cast<int>(std::ceil(std::sqrt(static_cast<double>(numbers.size()))))
                      : std::atoi(choice.columns.c_str());
    Window window = choice.window ? *choice.window : source.window ? *source.window : dataWindow(frames);
    const char *from = choice.window ? "given" : source.window ? "Window Center/Width" : "the data's range";
    if (!writePng(drawGrid(source, numbers, frames, gridFor(source, numbers, columns), window), out))
        return kExitFailed;
    std::printf("%s: %zu frame%s of %d x %d in %d column%s, window %s (%s)\n", out.c_str(), numbers.size(),
                numbers.size() == 1 ? "" : "s", source.columns, source.rows, columns, columns == 1 ? "" : "s",
                windowText(window).c_str(), from);
    return kExitOk;
}

// The options' values; nullopt after a message when one is malformed.
std::optional<PreviewChoice> previewChoice(const ParsedArgs &parsed) {
    PreviewChoice choice{parsed.value('F'), parsed.value('C'), std::nullopt};
    if (!choice.columns.empty() && (choice.columns.find_first_not_of("0123456789") != std::string::npos ||
                                    std::atoi(choice.columns.c_str()) < 1 || choice.columns.size() > 4)) {
        complain("preview: --columns needs a number from 1 to 9999, not \"" + choice.columns + "\"");
        return std::nullopt;
    }
    if (parsed.has('w')) {
        std::string text = parsed.value('w');
        size_t comma = text.find(',');
        choice.window = comma == std::string::npos
                            ? std::nullopt
                            : parseWindow(text.substr(0, comma), text.substr(comma + 1));
        if (!choice.window) {
            complain("preview: --window needs a centre and a width of at least 1, as C,W; not \"" + text +
                     "\"");
            return std::nullopt;
        }
    }
    return choice;
}

}  // namespace

int runPreview(ArgParser &args, bool verbose) {
    auto parsed = parseAll(args, kPreviewOptions, "preview");
    if (!parsed) return kExitFailed;
    if (parsed->help) {
        printHelp("velmar preview [--frames LIST] [--columns N] [--window C,W] IN OUT.png",
                  "Writes one greyscale PNG that shows the frames of a DICOM file or of an Interfile\n"
                  "study (read from its data file; nothing is converted) as a grid, each frame under\n"
                  "its number. Grey levels come from the window: --window, else the file's Window\n"
                  "Center/Width, else the range of the frames shown. Frames are spaced 2 pixels\n"
                  "apart, with a 7-pixel strip above each for its number.",
                  kPreviewOptions);
        return kExitOk;
    }
    if (parsed->positionals.size() != 2) {
        complain("preview needs IN and OUT.png (see 'velmar preview --help')");
        return kExitFailed;
    }
    auto choice = previewChoice(*parsed);
    if (!choice) return kExitFailed;
    const std::string &in = parsed->positionals[0];
    const std::string &out = parsed->positionals[1];
    for (const std::string &problem : {checkReadable(in), checkWritable(out)})
        if (!problem.empty()) {
            complain(problem);
            return kExitFailed;
        }
    Session session(verbose || parsed->verbose);
    if (!session.start()) return kExitFailed;
    PixelSource source;
    TemporaryFile temporary;
    bool found = firstKeyIsInterfile(in) ? sourceFromInterfile(session, in, source)
                                         : sourceFromDicom(session, in, source, temporary);
    return found ? drawPreview(source, *choice, out) : kExitFailed;
}

}  // namespace velmar::cli
