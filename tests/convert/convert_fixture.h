// Shared fixture of the conversion tests: a library context with the shipped dictionary, an
// Interfile context with the shipped interfil.def, a temporary directory for headers and data
// files, and helpers that read elements of the converted object (top level and in sequences).
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "velmar.h"

namespace convert_test {

namespace fs = std::filesystem;

inline std::string readFile(const fs::path &path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// The value of an element as bytes; nullopt when the element is absent.
using Bytes = std::optional<std::string>;

inline Bytes bytesOf(const DicomElement *el) {
    if (el == nullptr) return std::nullopt;
    if (el->value == nullptr || el->length == 0 || el->length == VELMAR_UNDEFINED_LENGTH) return std::string();
    return std::string(static_cast<const char *>(el->value), el->length);
}

// The child of a container (the root, an item) with the tag, or nullptr.
inline const DicomElement *childOf(const DicomElement *container, uint16_t group, uint16_t element) {
    if (container == nullptr) return nullptr;
    for (const DicomElement *c = container->firstChild; c != nullptr; c = c->next)
        if (c->group == group && c->element == element) return c;
    return nullptr;
}

// The items of a sequence element (without the delimitation items).
inline std::vector<const DicomElement *> itemsOf(const DicomElement *sequence) {
    std::vector<const DicomElement *> items;
    if (sequence == nullptr) return items;
    for (const DicomElement *c = sequence->firstChild; c != nullptr; c = c->next)
        if (c->group == 0xFFFE && c->element == 0xE000) items.push_back(c);
    return items;
}

inline std::vector<uint16_t> wordsOf(const Bytes &bytes) {
    std::vector<uint16_t> words;
    if (!bytes) return words;
    for (size_t i = 0; i + 1 < bytes->size(); i += 2) {
        uint16_t w;
        std::memcpy(&w, bytes->data() + i, 2);
        words.push_back(w);
    }
    return words;
}

class ConvertTest : public ::testing::Test {
protected:
    void SetUp() override {
        setenv("VELMAR_DEF_PATH", VELMAR_SHARE_DIR, 1);
        const ::testing::TestInfo *info = ::testing::UnitTest::GetInstance()->current_test_info();
        std::string name = std::string(info->test_suite_name()) + "_" + info->name();
        for (char &c : name)
            if (c == '/') c = '_';
        dir_ = fs::temp_directory_path() / ("velmar_convert_" + std::to_string(::getpid()) + "_" + name);
        fs::remove_all(dir_);
        fs::create_directories(dir_);
        logPath_ = (dir_ / "test.log").string();

        ASSERT_EQ(init_AppData(&app_, "test", "1", nullptr), 0);
        app_.log = log_start(&app_, logPath_.c_str(), "test", 0x03, 0, 0, nullptr);
        ASSERT_NE(app_.log, nullptr);
        ASSERT_EQ(InitTagDef(&app_, 0), 0);
        init_IAppData(&iapp_, "test", "1", nullptr);
        ASSERT_EQ(InitINTERFILEdef(&iapp_), 0);
        ASSERT_EQ(DO_openObject(&obj_), 0);
    }

    void TearDown() override {
        DO_closeObject(&obj_);
        doneinterfile(&hdr_);
        DoneINTERFILEdef(&iapp_);
        done_IAppData(&iapp_);
        DoneTagDef(&app_);
        done_AppData(&app_);
        std::error_code ec;
        fs::remove_all(dir_, ec);
    }

    std::string write(const std::string &name, const std::string &bytes) {
        fs::path path = dir_ / name;
        fs::create_directories(path.parent_path());
        std::ofstream(path, std::ios::binary) << bytes;
        return path.string();
    }

    // Writes and reads a header; the test fails when it does not read.
    InterfileHeader *header(const std::string &text, const std::string &name = "study.hdr") {
        doneinterfile(&hdr_);
        std::string path = write(name, text);
        EXPECT_EQ(readinterfileheader(&iapp_, &hdr_, path.c_str()), 0) << text;
        return hdr_;
    }

    // Converts a header into a fresh object.
    int16_t convert(const std::string &text, const std::string &name = "study.hdr") {
        DO_closeObject(&obj_);
        EXPECT_EQ(DO_openObject(&obj_), 0);
        InterfileHeader *hdr = header(text, name);
        if (hdr == nullptr) return -2;
        return IF2DCM_compile(&app_, obj_, hdr);
    }

    const DicomElement *top(uint16_t group, uint16_t element) const { return childOf(obj_->root, group, element); }
    Bytes value(uint16_t group, uint16_t element) const { return bytesOf(top(group, element)); }
    // A text value without its padding blank (or terminating zero).
    std::optional<std::string> text(uint16_t group, uint16_t element) const {
        Bytes b = value(group, element);
        if (b && !b->empty() && (b->back() == ' ' || b->back() == '\0')) b->pop_back();
        return b;
    }
    std::optional<uint16_t> us(uint16_t group, uint16_t element) const {
        std::vector<uint16_t> w = wordsOf(value(group, element));
        if (w.empty()) return std::nullopt;
        return w[0];
    }

    std::string log() const { return readFile(logPath_); }

    AppData app_{};
    IAppData iapp_{};
    DicomObject *obj_ = nullptr;
    InterfileHeader *hdr_ = nullptr;
    fs::path dir_;
    std::string logPath_;
};

// Text of an element inside an item, without its padding.
inline std::optional<std::string> itemText(const DicomElement *item, uint16_t group, uint16_t element) {
    Bytes b = bytesOf(childOf(item, group, element));
    if (b && !b->empty() && (b->back() == ' ' || b->back() == '\0')) b->pop_back();
    return b;
}

// The header lines every test header begins with; `typeOfData` and `extra` fill the general
// image data section.
inline std::string headerStart(const std::string &dataFile = "study.img") {
    return "!INTERFILE :=\n"
           "!imaging modality := nucmed\n"
           "!originating system := Test Camera\n"
           "!version of keys := 3.3\n"
           "!GENERAL DATA :=\n"
           "original institution := Test Hospital\n"
           "!data offset in bytes := 0\n"
           "!name of data file := " + dataFile + "\n"
           "patient name := Doe, John\n"
           "!patient ID := ID-1\n"
           "!study ID := S-1\n";
}

}  // namespace convert_test
