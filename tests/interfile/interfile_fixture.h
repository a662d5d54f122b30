// Shared fixture of the Interfile tests: a temporary directory, an IAppData whose log goes to
// a file there, definition files found by path, and helpers to write and read headers.
#ifndef VELMAR_TESTS_INTERFILE_FIXTURE_H
#define VELMAR_TESTS_INTERFILE_FIXTURE_H

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "velmar.h"

namespace velmar::test {

// The definition-file finder is a plain function pointer, so the path it hands out is held here.
inline std::string &definitionPath() {
    static std::string path;
    return path;
}

inline char *findDefinition(const char *, char *out, size_t size) {
    std::snprintf(out, size, "%s", definitionPath().c_str());
    return out;
}

inline std::string shippedDefinition() { return std::string(VELMAR_SHARE_DIR) + "/interfil.def"; }

class InterfileTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/velmar-interfile-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
        init_IAppData(&app_, "test", "1.0", nullptr);
        app_.findFile = findDefinition;
        logPath_ = dir_ + "/test.log";
        // Levels 1-3 to the file, nothing to standard error.
        app_.log = log_start(&app_, logPath_.c_str(), "test", 0x03, 0, 0, nullptr);
        ASSERT_NE(app_.log, nullptr);
    }

    void TearDown() override {
        doneinterfile(&header_);
        DoneINTERFILEdef(&app_);
        done_IAppData(&app_);
        std::filesystem::remove_all(dir_);
    }

    std::string write(const std::string &name, const std::string &bytes) {
        std::string path = dir_ + "/" + name;
        std::ofstream(path, std::ios::binary) << bytes;
        return path;
    }

    // Loads a definition written by the test (or the shipped one with an empty text).
    int16_t loadDefinition(const std::string &text) {
        definitionPath() = text.empty() ? shippedDefinition() : write("interfil.def", text);
        return InitINTERFILEdef(&app_);
    }

    int16_t readHeader(const std::string &text) {
        doneinterfile(&header_);
        return readinterfileheader(&app_, &header_, write("test.hdr", text).c_str());
    }

    // The log lines written since the last call, without the three opening lines.
    std::vector<std::string> messages() {
        std::ifstream in(logPath_);
        std::vector<std::string> lines;
        std::string line;
        while (std::getline(in, line)) lines.push_back(line);
        std::vector<std::string> fresh;
        for (size_t i = std::max<size_t>(seen_, 3); i < lines.size(); ++i) fresh.push_back(lines[i]);
        seen_ = lines.size();
        return fresh;
    }

    // The log lines since the last call that are not level-3 information lines.
    std::vector<std::string> problems() {
        std::vector<std::string> out;
        for (const std::string &line : messages())
            if (line.rfind("Info: ", 0) != 0) out.push_back(line);
        return out;
    }

    int16_t key(const char *name) { return findinterkey(header_, name); }

    // The value of key `name` at `index`, or "<none>" when getintervalue fails.
    std::string value(const char *name, int16_t index = 0) {
        char buffer[VELMAR_IF_VALUE_SIZE];
        if (getintervalue(header_, key(name), index, buffer) < 0) return "<none>";
        return buffer;
    }

    std::string valueOrDefault(const char *name, int16_t index = 0) {
        char buffer[VELMAR_IF_VALUE_SIZE];
        if (getintervaluedef(header_, key(name), index, buffer) < 0) return "<none>";
        return buffer;
    }

    std::string dir_;
    std::string logPath_;
    size_t seen_ = 0;
    IAppData app_{};
    InterfileHeader *header_ = nullptr;
};

}  // namespace velmar::test

#endif
