// Test helpers for verifying whole objects: NM and SC objects built in memory, a plain writer of
// explicit VR little endian files for peers to read, and a parser of the module report.
#pragma once

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "defs/test_verify_fixture.h"

namespace velmar_test {

constexpr const char *kNMImageStorage = "1.2.840.10008.5.1.4.1.1.20";
constexpr const char *kSCImageStorage = "1.2.840.10008.5.1.4.1.1.7";

// The type 1 and type 2 attributes of the mandatory modules of a secondary capture image, with a
// 4x4 8-bit image. Attributes listed in `leaveOut` are not added.
inline void buildSC(TestObject &o, const std::set<uint32_t> &leaveOut = {}) {
    auto text = [&](uint16_t g, uint16_t e, const std::string &v) {
        if (leaveOut.count(VELMAR_TAG(g, e)) == 0) o.text(g, e, v);
    };
    auto words = [&](uint16_t g, uint16_t e, std::vector<uint16_t> v) {
        if (leaveOut.count(VELMAR_TAG(g, e)) == 0) o.words(g, e, std::move(v));
    };
    text(0x0008, 0x0016, kSCImageStorage);
    text(0x0008, 0x0018, "1.2.826.0.1.3680043.2.1125.1.1");
    text(0x0008, 0x0020, "20240229");
    text(0x0008, 0x0030, "101500");
    text(0x0008, 0x0050, "A1");
    text(0x0008, 0x0060, "OT");
    text(0x0008, 0x0064, "WSD");
    text(0x0008, 0x0090, "Roe^Jane");
    text(0x0010, 0x0010, "Doe^John");
    text(0x0010, 0x0020, "ID42");
    text(0x0010, 0x0030, "19700101");
    text(0x0010, 0x0040, "O");
    text(0x0020, 0x000D, "1.2.826.0.1.3680043.2.1125.1.2");
    text(0x0020, 0x000E, "1.2.826.0.1.3680043.2.1125.1.3");
    text(0x0020, 0x0010, "S1");
    text(0x0020, 0x0011, "1");
    text(0x0020, 0x0013, "1");
    text(0x0020, 0x0020, "");
    text(0x0020, 0x0060, "");
    words(0x0028, 0x0002, {1});
    text(0x0028, 0x0004, "MONOCHROME2");
    words(0x0028, 0x0010, {4});
    words(0x0028, 0x0011, {4});
    words(0x0028, 0x0100, {8});
    words(0x0028, 0x0101, {8});
    words(0x0028, 0x0102, {7});
    words(0x0028, 0x0103, {0});
    if (leaveOut.count(0x7FE00010u) == 0) {
        std::vector<uint16_t> pixels(8, 0x4020);
        o.words(0x7FE0, 0x0010, pixels);
    }
}

// An NM image with only a few attributes: most type 1 and type 2 attributes are missing.
inline void buildSparseNM(TestObject &o) {
    o.text(0x0008, 0x0016, kNMImageStorage);
    o.text(0x0008, 0x0018, "1.2.826.0.1.3680043.2.1125.2.1");
    o.text(0x0008, 0x0060, "NM");
    o.text(0x0010, 0x0010, "Doe^John");
    o.text(0x0020, 0x000D, "1.2.826.0.1.3680043.2.1125.2.2");
    o.words(0x0028, 0x0010, {4});
    o.words(0x0028, 0x0011, {4});
}

// Writes the object as a PS3.10 file in explicit VR little endian with a small meta header.
class PlainWriter {
   public:
    explicit PlainWriter(AppData *app) : app_(app) {}

    bool write(const DicomObject *obj, const std::string &path, const std::string &sopClass,
               const std::string &sopInstance) {
        std::string body;
        for (const DicomElement *el : sorted(obj->root))
            if (el->group >= 0x0008) element(body, el);
        std::string meta;
        std::string version("\x00\x01", 2);
        put(meta, 0x0002, 0x0001, "OB", version);
        put(meta, 0x0002, 0x0002, "UI", uid(sopClass));
        put(meta, 0x0002, 0x0003, "UI", uid(sopInstance));
        put(meta, 0x0002, 0x0010, "UI", uid("1.2.840.10008.1.2.1"));
        put(meta, 0x0002, 0x0012, "UI", uid("1.2.826.0.1.3680043.2.1125.9"));
        std::string length(4, '\0');
        uint32_t n = static_cast<uint32_t>(meta.size());
        std::memcpy(length.data(), &n, 4);
        std::string head(128, '\0');
        head += "DICM";
        put(head, 0x0002, 0x0000, "UL", length);
        std::ofstream out(path, std::ios::binary);
        out << head << meta << body;
        return static_cast<bool>(out);
    }

   private:
    static std::string uid(const std::string &text) {
        std::string v = text;
        if (v.size() % 2 != 0) v.push_back('\0');
        return v;
    }
    // The children of a node in ascending tag order, as a file holds them.
    static std::vector<const DicomElement *> sorted(const DicomElement *node) {
        std::vector<const DicomElement *> children;
        for (const DicomElement *c = node->firstChild; c != nullptr; c = c->next) children.push_back(c);
        std::stable_sort(children.begin(), children.end(), [](const DicomElement *a, const DicomElement *b) {
            return VELMAR_TAG(a->group, a->element) < VELMAR_TAG(b->group, b->element);
        });
        return children;
    }
    static void u16(std::string &out, uint16_t v) { out.append(reinterpret_cast<const char *>(&v), 2); }
    static void u32(std::string &out, uint32_t v) { out.append(reinterpret_cast<const char *>(&v), 4); }
    static bool longHeader(const std::string &vr) {
        return vr == "OB" || vr == "OW" || vr == "SQ" || vr == "UN";
    }

    static void put(std::string &out, uint16_t group, uint16_t element, const std::string &vr,
                    const std::string &value) {
        u16(out, group);
        u16(out, element);
        out += vr;
        if (longHeader(vr)) {
            u16(out, 0);
            u32(out, static_cast<uint32_t>(value.size()));
        } else {
            u16(out, static_cast<uint16_t>(value.size()));
        }
        out += value;
    }

    std::string vrOf(const DicomElement *el) const {
        int32_t vr = -1;
        getVR(app_, VELMAR_TAG(el->group, el->element), &vr);
        switch (vr) {
            case VR_XS:
            case VR_XU:
                return "US";
            case VR_OX:
                return "OW";
            case -1:
            case VR_NA:
            case VR_UNKNOWN_TEXT:
            case VR_XX:
                return "UN";
            default:
                return changeVRToVRname(vr);
        }
    }

    // Sequences and items are written with undefined lengths and their own delimiters.
    void element(std::string &out, const DicomElement *el) const {
        uint32_t tag = VELMAR_TAG(el->group, el->element);
        if (tag == 0xFFFEE00Du || tag == 0xFFFEE0DDu) return;
        std::string vr = vrOf(el);
        if (vr == "SQ") {
            u16(out, el->group);
            u16(out, el->element);
            out += "SQ";
            u16(out, 0);
            u32(out, VELMAR_UNDEFINED_LENGTH);
            for (const DicomElement *item = el->firstChild; item != nullptr; item = item->next) {
                if (VELMAR_TAG(item->group, item->element) != 0xFFFEE000u) continue;
                u16(out, 0xFFFE);
                u16(out, 0xE000);
                u32(out, VELMAR_UNDEFINED_LENGTH);
                for (const DicomElement *child : sorted(item)) element(out, child);
                u16(out, 0xFFFE);
                u16(out, 0xE00D);
                u32(out, 0);
            }
            u16(out, 0xFFFE);
            u16(out, 0xE0DD);
            u32(out, 0);
            return;
        }
        std::string value;
        if (el->value != nullptr && el->length != VELMAR_UNDEFINED_LENGTH)
            value.assign(static_cast<const char *>(el->value), el->length);
        put(out, el->group, el->element, vr, value);
    }

    AppData *app_;
};

// One problem line of the module report: the tag of the header before it and the message.
struct ReportedProblem {
    uint32_t tag;
    std::string message;  // with its level prefix, for example "Error: \t\tType 1 element is missing."
    bool operator<(const ReportedProblem &o) const {
        return tag != o.tag ? tag < o.tag : message < o.message;
    }
};

inline std::vector<ReportedProblem> parseReport(const std::vector<std::string> &lines) {
    std::vector<ReportedProblem> problems;
    uint32_t tag = 0;
    for (const std::string &line : lines) {
        unsigned group = 0, element = 0;
        if (std::sscanf(line.c_str(), "\t(%4X, %4X) --", &group, &element) == 2) {
            tag = (group << 16) | element;
        } else if (line.find("\t\t") != std::string::npos && line.find("\t\t") < 12) {
            problems.push_back({tag, line});
        }
    }
    return problems;
}

}  // namespace velmar_test
