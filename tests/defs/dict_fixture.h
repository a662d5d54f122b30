// Helpers of the dictionary, scanner and UID tests: a temporary definition directory that a
// library context resolves its files in, and a context whose log is read back by the test.
#pragma once

#include "defs/def_message.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "velmar.h"

namespace dict_test {

namespace fs = std::filesystem;

// Directory searched by finder(); the finder of AppData takes no context, so it lives here.
inline std::string &finderDir() {
    static std::string dir;
    return dir;
}

// Definition-file finder over finderDir(): the path when the file exists, else an empty text.
inline char *finder(const char *name, char *out, size_t size) {
    fs::path path = fs::path(finderDir()) / name;
    std::error_code ec;
    if (fs::exists(path, ec))
        std::snprintf(out, size, "%s", path.c_str());
    else if (size > 0)
        out[0] = '\0';
    return out;
}

inline std::string readText(const fs::path &path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// A temporary directory of definition files and a library context that finds its files there
// and logs (levels up to 3) to a file inside it.
class DefContext : public ::testing::Test {
   protected:
    void SetUp() override {
        const ::testing::TestInfo *info = ::testing::UnitTest::GetInstance()->current_test_info();
        std::string name = std::string(info->test_suite_name()) + "_" + info->name();
        for (char &c : name)
            if (c == '/') c = '_';
        dir_ = fs::temp_directory_path() / ("velmar_dict_" + std::to_string(::getpid()) + "_" + name);
        fs::remove_all(dir_);
        fs::create_directories(dir_);
        finderDir() = dir_.string();
        ASSERT_EQ(init_AppData(&app_, "test", "1", nullptr), 0);
        app_.findDefFile = finder;
        logPath_ = dir_ / "test.log";
        app_.log = log_start(&app_, logPath_.c_str(), "test", 0x03, 0, 0, nullptr);
        ASSERT_NE(app_.log, nullptr);
    }
    void TearDown() override {
        DoneTagDef(&app_);
        done_AppData(&app_);
        std::error_code ec;
        fs::remove_all(dir_, ec);
    }

    // Writes a file of the definition directory and returns its path.
    std::string write(const std::string &name, const std::string &content) {
        fs::path path = dir_ / name;
        std::ofstream(path, std::ios::binary) << content;
        return path.string();
    }
    void remove(const std::string &name) { fs::remove(dir_ / name); }

    // Log lines with the given prefix ("Error: ", "Info: "), prefix removed (only the first
    // line of a message that holds line ends).
    std::vector<std::string> logged(const std::string &prefix) {
        std::vector<std::string> found;
        std::string text = readText(logPath_);
        size_t at = 0;
        while ((at = text.find(prefix, at)) != std::string::npos) {
            if (at == 0 || text[at - 1] == '\n') {
                size_t end = text.find('\n', at);
                found.push_back(text.substr(at + prefix.size(),
                                            end == std::string::npos ? end : end - at - prefix.size()));
            }
            at += prefix.size();
        }
        return found;
    }
    std::string logText() { return readText(logPath_); }
    std::vector<std::string> errors() { return logged("Error: "); }

    AppData app_{};
    fs::path dir_;
    fs::path logPath_;
};

}  // namespace dict_test
