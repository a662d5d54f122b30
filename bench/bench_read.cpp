// Benchmark of the DICOM file reader: generates a PS3.10 file with tens of thousands of elements in
// nested sequences (defined and undefined lengths), reads it repeatedly, and compares the time
// with DCMTK's dcmdump on the same file when that is installed.
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "velmar.h"

namespace {

// Explicit VR little endian element writer.
struct Writer {
    std::vector<uint8_t> out;

    void u16(uint16_t v) {
        out.push_back(static_cast<uint8_t>(v));
        out.push_back(static_cast<uint8_t>(v >> 8));
    }
    void u32(uint32_t v) {
        u16(static_cast<uint16_t>(v));
        u16(static_cast<uint16_t>(v >> 16));
    }
    void element(uint16_t g, uint16_t e, const char *vr, std::string value) {
        if (value.size() % 2 != 0) value.push_back(' ');
        u16(g);
        u16(e);
        out.push_back(static_cast<uint8_t>(vr[0]));
        out.push_back(static_cast<uint8_t>(vr[1]));
        bool isLong = std::strcmp(vr, "UT") == 0 || std::strcmp(vr, "OB") == 0 || std::strcmp(vr, "OW") == 0;
        if (isLong) {
            u16(0);
            u32(static_cast<uint32_t>(value.size()));
        } else {
            u16(static_cast<uint16_t>(value.size()));
        }
        out.insert(out.end(), value.begin(), value.end());
    }
    void us(uint16_t g, uint16_t e, uint16_t v) {
        u16(g);
        u16(e);
        out.push_back('U');
        out.push_back('S');
        u16(2);
        u16(v);
    }
    void tag(uint16_t g, uint16_t e, uint32_t length) {
        u16(g);
        u16(e);
        u32(length);
    }
    // A sequence around items given as byte blocks, in defined or undefined lengths.
    void sequence(uint16_t g, uint16_t e, const std::vector<std::vector<uint8_t>> &items, bool defined) {
        uint32_t body = 0;
        for (const auto &item : items) body += static_cast<uint32_t>(item.size()) + (defined ? 8 : 16);
        u16(g);
        u16(e);
        out.push_back('S');
        out.push_back('Q');
        u16(0);
        u32(defined ? body : 0xFFFFFFFF);
        for (const auto &item : items) {
            tag(0xFFFE, 0xE000, defined ? static_cast<uint32_t>(item.size()) : 0xFFFFFFFF);
            out.insert(out.end(), item.begin(), item.end());
            if (!defined) tag(0xFFFE, 0xE00D, 0);
        }
        if (!defined) tag(0xFFFE, 0xE0DD, 0);
    }
};

std::vector<uint8_t> codeItem(int i) {
    Writer w;
    w.element(0x0008, 0x0100, "SH", "C" + std::to_string(i));
    w.element(0x0008, 0x0102, "SH", "DCM");
    w.element(0x0008, 0x0104, "LO", "Measurement concept " + std::to_string(i));
    return w.out;
}

// One content item: a coded name, a numeric measurement with its units, and a text.
std::vector<uint8_t> contentItem(int i) {
    Writer units;
    units.sequence(0x0040, 0x08EA, {codeItem(i % 7)}, i % 2 == 0);
    units.element(0x0040, 0xA30A, "DS", std::to_string(i) + ".5");
    Writer w;
    w.sequence(0x0040, 0xA043, {codeItem(i)}, i % 3 == 0);
    w.element(0x0040, 0xA010, "CS", "CONTAINS");
    w.element(0x0040, 0xA040, "CS", "NUM");
    w.element(0x0040, 0xA160, "UT", "Finding number " + std::to_string(i) + " of the generated report");
    w.sequence(0x0040, 0xA300, {units.out}, i % 2 == 1);
    return w.out;
}

std::vector<uint8_t> generate(int items) {
    Writer meta;
    meta.element(0x0002, 0x0001, "OB", std::string("\0\1", 2));
    meta.element(0x0002, 0x0002, "UI", "1.2.840.10008.5.1.4.1.1.88.22");
    meta.element(0x0002, 0x0003, "UI", "1.2.826.0.1.3680043.9.7133.1.1");
    meta.element(0x0002, 0x0010, "UI", "1.2.840.10008.1.2.1");
    Writer w;
    w.out.assign(128, 0);
    for (char c : std::string("DICM")) w.out.push_back(static_cast<uint8_t>(c));
    w.u16(0x0002);
    w.u16(0x0000);
    w.out.push_back('U');
    w.out.push_back('L');
    w.u16(4);
    w.u32(static_cast<uint32_t>(meta.out.size()));
    w.out.insert(w.out.end(), meta.out.begin(), meta.out.end());
    w.element(0x0008, 0x0005, "CS", "ISO_IR 100");
    w.element(0x0008, 0x0016, "UI", "1.2.840.10008.5.1.4.1.1.88.22");
    w.element(0x0008, 0x0018, "UI", "1.2.826.0.1.3680043.9.7133.1.1");
    w.element(0x0010, 0x0010, "PN", "Bench^Mark");
    w.us(0x0028, 0x0002, 1);
    w.element(0x0028, 0x0004, "CS", "MONOCHROME2");
    w.element(0x0028, 0x0008, "IS", "4");
    w.us(0x0028, 0x0010, 128);
    w.us(0x0028, 0x0011, 128);
    w.us(0x0028, 0x0100, 16);
    std::vector<std::vector<uint8_t>> content;
    for (int i = 0; i < items; ++i) content.push_back(contentItem(i));
    w.sequence(0x0040, 0xA730, content, false);
    w.element(0x7FE0, 0x0010, "OW", std::string(4 * 128 * 128 * 2, '\x11'));
    return w.out;
}

AttrDef kDictionary[] = {
    {0x00020000, "File Meta Information Group Length", VR_UL, 1, "", ""},
    {0x00020001, "File Meta Information Version", VR_OB, 1, "", ""},
    {0x00020002, "Media Storage SOP Class UID", VR_UI, 1, "", ""},
    {0x00020003, "Media Storage SOP Instance UID", VR_UI, 1, "", ""},
    {0x00020010, "Transfer Syntax UID", VR_UI, 1, "", ""},
    {0x00080005, "Specific Character Set", VR_CS, 0, "", ""},
    {0x00080016, "SOP Class UID", VR_UI, 1, "", ""},
    {0x00080018, "SOP Instance UID", VR_UI, 1, "", ""},
    {0x00080100, "Code Value", VR_SH, 1, "", ""},
    {0x00080102, "Coding Scheme Designator", VR_SH, 1, "", ""},
    {0x00080104, "Code Meaning", VR_LO, 1, "", ""},
    {0x00100010, "Patient's Name", VR_PN, 1, "", ""},
    {0x00280002, "Samples per Pixel", VR_US, 1, "", ""},
    {0x00280004, "Photometric Interpretation", VR_CS, 1, "", ""},
    {0x00280008, "Number of Frames", VR_IS, 1, "", ""},
    {0x00280010, "Rows", VR_US, 1, "", ""},
    {0x00280011, "Columns", VR_US, 1, "", ""},
    {0x00280100, "Bits Allocated", VR_US, 1, "", ""},
    {0x004008EA, "Measurement Units Code Sequence", VR_SQ, 1, "", ""},
    {0x0040A010, "Relationship Type", VR_CS, 1, "", ""},
    {0x0040A040, "Value Type", VR_CS, 1, "", ""},
    {0x0040A043, "Concept Name Code Sequence", VR_SQ, 1, "", ""},
    {0x0040A160, "Text Value", VR_LT, 1, "", ""},
    {0x0040A300, "Measured Value Sequence", VR_SQ, 1, "", ""},
    {0x0040A30A, "Numeric Value", VR_DS, 0, "", ""},
    {0x0040A730, "Content Sequence", VR_SQ, 1, "", ""},
    {0x7FE00010, "Pixel Data", VR_OX, 1, "", ""},
    {0xFFFEE000, "Item", VR_XX, 1, "", ""},
    {0xFFFEE00D, "Item Delimitation Item", VR_XX, 1, "", ""},
    {0xFFFEE0DD, "Sequence Delimitation Item", VR_XX, 1, "", ""},
};

size_t countNodes(const DicomElement *node) {
    size_t n = 0;
    for (const DicomElement *c = node->firstChild; c != nullptr; c = c->next) n += 1 + countNodes(c);
    return n;
}

double seconds(std::chrono::steady_clock::time_point since) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

// Best of `runs` wall-clock times of one shell command (output discarded).
double timeCommand(const std::string &command, int runs) {
    double best = 1e30;
    for (int i = 0; i < runs; ++i) {
        auto start = std::chrono::steady_clock::now();
        int status = std::system(command.c_str());
        double t = seconds(start);
        if (status != 0) return -1;
        best = std::min(best, t);
    }
    return best;
}

bool installed(const char *program) {
    std::string command = std::string("command -v ") + program + " > /dev/null 2>&1";
    return std::system(command.c_str()) == 0;
}

}  // namespace

int main(int argc, char **argv) {
    int items = argc > 1 ? std::atoi(argv[1]) : 3000;
    int runs = argc > 2 ? std::atoi(argv[2]) : 10;
    std::filesystem::path file =
        std::filesystem::temp_directory_path() / ("velmar_bench_read_" + std::to_string(getpid()) + ".dcm");
    std::vector<uint8_t> bytes = generate(items);
    std::ofstream(file, std::ios::binary).write(reinterpret_cast<const char *>(bytes.data()),
                                                static_cast<std::streamsize>(bytes.size()));

    AppData app;
    init_AppData(&app, "bench_read", "1", nullptr);
    app.primaryTags = kDictionary;
    app.primaryTagCount = static_cast<int16_t>(sizeof kDictionary / sizeof kDictionary[0]);

    double best = 1e30;
    size_t nodes = 0;
    for (int i = 0; i < runs; ++i) {
        IOObject io;
        init_IOObject(&io);
        auto start = std::chrono::steady_clock::now();
        int16_t status = DO_importObjectFromFile(&app, file.c_str(), &io);
        double t = seconds(start);
        if (status != 0) {
            std::fprintf(stderr, "bench_read: the generated file was not read\n");
            return 1;
        }
        best = std::min(best, t);
        nodes = countNodes(io.object->root);
        DO_closeObject(&io.object);
    }
    std::printf("file: %zu bytes, %d content items, %zu nodes in the tree\n", bytes.size(), items, nodes);
    std::printf("velmar DO_importObjectFromFile: %.3f ms (best of %d)\n", best * 1e3, runs);

    if (installed("dcmdump")) {
        double dump = timeCommand("dcmdump -q " + file.string() + " > /dev/null 2>&1", runs);
        // Start-up and dictionary loading, measured on the smallest file dcmdump reads.
        std::filesystem::path tiny = file;
        tiny += ".tiny";
        std::vector<uint8_t> small = generate(0);
        std::ofstream(tiny, std::ios::binary).write(reinterpret_cast<const char *>(small.data()),
                                                    static_cast<std::streamsize>(small.size()));
        double startup = timeCommand("dcmdump -q " + tiny.string() + " > /dev/null 2>&1", runs);
        std::filesystem::remove(tiny);
        if (dump > 0 && startup > 0) {
            std::printf("dcmdump: %.3f ms, of which %.3f ms start-up (best of %d)\n", dump * 1e3, startup * 1e3, runs);
            std::printf("ratio dcmdump / velmar: %.2f (whole run), %.2f (without dcmdump's start-up)\n", dump / best,
                        (dump - startup) / best);
        } else {
            std::printf("dcmdump failed on the generated file\n");
        }
    } else {
        std::printf("dcmdump (DCMTK) is not installed: no comparison\n");
    }
    app.primaryTags = nullptr;
    app.primaryTagCount = 0;
    done_AppData(&app);
    std::filesystem::remove(file);
    return 0;
}
