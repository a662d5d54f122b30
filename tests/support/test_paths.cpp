// Path joining and splitting, file lookup through the definition path, directory scans.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <set>
#include <string>

#include "velmar/support.h"

namespace {

struct FreeText {
    void operator()(char *p) const { std::free(p); }
};
using Text = std::unique_ptr<char, FreeText>;

std::string join(const char *dir, const char *name, std::string *tail = nullptr) {
    char *tailPtr = nullptr;
    Text joined(path_concat(dir, name, &tailPtr));
    if (tail != nullptr) *tail = tailPtr;
    return joined.get();
}

TEST(PathTest, ConcatPutsExactlyOneSeparatorAtTheSeam) {
    std::string tail;
    EXPECT_EQ(join("/defs/", "tag_tab.def", &tail), "/defs/tag_tab.def");
    EXPECT_EQ(tail, "tag_tab.def");
    EXPECT_EQ(join("/defs", "/x"), "/defs/x");
    EXPECT_EQ(join("/defs/", "/x"), "/defs/x");
    EXPECT_EQ(join("", "x"), "/x");
    Text dir(strdup("/defs/"));
    Text concat(dir_concat(dir.get(), "*.def"));
    EXPECT_STREQ(concat.get(), "/defs/*.def");
    EXPECT_STREQ(dir.get(), "/defs");
    EXPECT_EQ(dir_concat(nullptr, "x"), nullptr);
}

TEST(PathTest, DirnameKeepsTheDirectoryPart) {
    EXPECT_STREQ(Text(velmar_dirname("/data/dir/file")).get(), "/data/dir");
    EXPECT_STREQ(Text(velmar_dirname("/data/dir//file")).get(), "/data/dir");
    EXPECT_STREQ(Text(velmar_dirname("/file")).get(), "/");
    EXPECT_STREQ(Text(velmar_dirname("file")).get(), ".");
}

TEST(PathTest, FixpathTurnsBackslashesIntoSeparators) {
    char path[] = "C:\\studies\\a.img";
    fixpath(path);
    EXPECT_STREQ(path, "C:/studies/a.img");
    fixpath(nullptr);
}

class LookupTest : public ::testing::Test {
protected:
    std::filesystem::path dir = std::filesystem::temp_directory_path() /
                                ("velmar_paths_" + std::to_string(::getpid()));
    void SetUp() override {
        std::filesystem::create_directories(dir / "sub");
        for (const char *name : {"a.def", "a.def.bak", "x.bak.bak", "b.txt"}) std::ofstream(dir / name) << "x";
    }
    void TearDown() override {
        std::filesystem::remove_all(dir);
        unsetenv("VELMAR_DEF_PATH");
    }
};

TEST_F(LookupTest, FileIsFoundDirectlyOrInTheEnvironmentDirectory) {
    char out[512];
    setenv("VELMAR_DEF_PATH", dir.c_str(), 1);
    getDICOMdeffilefromenvpath("a.def", out, sizeof out);
    EXPECT_EQ(std::string(out), (dir / "a.def").string());
    getDICOMdeffilefromenvpath("missing.def", out, sizeof out);
    EXPECT_STREQ(out, "");
    // A full name is found as given, before the directory is tried.
    std::string full = (dir / "b.txt").string();
    getDICOMdeffilefromenvpath(full.c_str(), out, sizeof out);
    EXPECT_EQ(std::string(out), full);
    unsetenv("VELMAR_DEF_PATH");
    getDICOMdeffilefromenvpath("a.def", out, sizeof out);
    EXPECT_STREQ(out, "");
    // A directory written with backslashes is used with separators.
    std::string backslashed = dir.string();
    for (char &c : backslashed)
        if (c == '/') c = '\\';
    getfilefrompath(backslashed.c_str(), "a.def", out, sizeof out);
    EXPECT_EQ(std::string(out), (dir / "a.def").string());
}

TEST_F(LookupTest, PathThatDoesNotFitGivesAnEmptyTerminatedText) {
    char out[8];
    std::memset(out, 'z', sizeof out);
    getfilefrompath(dir.c_str(), "a.def", out, sizeof out);
    EXPECT_STREQ(out, "");
}

TEST_F(LookupTest, DirectoryScanFiltersByTypeAndSuffix) {
    std::set<std::string> files;
    for (const char *name = dir_open(dir.c_str(), "*", ".bak", 0); name != nullptr; name = dir_next()) {
        files.insert(name);
        EXPECT_EQ(dir_getfiletype() & VELMAR_FILE_ATTR_DIRECTORY, 0u);
    }
    dir_close();
    // "x.bak.bak": the first occurrence of the suffix is not at the end, so the name is listed.
    EXPECT_EQ(files, (std::set<std::string>{"a.def", "b.txt", "x.bak.bak"}));
    files.clear();
    for (const char *name = dir_open(dir.c_str(), "x*", ".bak", 0); name != nullptr; name = dir_next())
        files.insert(name);
    dir_close();
    EXPECT_EQ(files, (std::set<std::string>{"x.bak.bak"}));

    std::set<std::string> dirs;
    for (const char *name = dir_open(dir.c_str(), "*", nullptr, 1); name != nullptr; name = dir_next()) {
        dirs.insert(name);
        EXPECT_NE(dir_getfiletype() & VELMAR_FILE_ATTR_DIRECTORY, 0u);
    }
    dir_close();
    EXPECT_EQ(dirs, (std::set<std::string>{".", "..", "sub"}));
    EXPECT_EQ(dir_open((dir / "none").c_str(), "*", nullptr, 2), nullptr);
}

}  // namespace
