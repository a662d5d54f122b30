// The exported interface as callers see it: only the C functions are exported, the headers
// compile as C11, and an installed copy is found through pkg-config and find_package.
#include <gtest/gtest.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>

namespace {

namespace fs = std::filesystem;

struct CommandResult {
    int status;
    std::string output;
};

CommandResult run(const std::string &command) {
    std::string full = command + " 2>&1";
    FILE *pipe = popen(full.c_str(), "r");
    if (pipe == nullptr) return {-1, ""};
    std::string out;
    std::array<char, 4096> buffer{};
    size_t n;
    while ((n = fread(buffer.data(), 1, buffer.size(), pipe)) > 0) out.append(buffer.data(), n);
    int status = pclose(pipe);
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, out};
}

bool have(const std::string &program) { return run("command -v " + program).status == 0; }

std::string readFile(const fs::path &path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

const fs::path kBinary = VELMAR_BINARY_DIR;
const fs::path kSource = VELMAR_SOURCE_DIR;
const std::string kFlags = VELMAR_EXTRA_CFLAGS;

TEST(InterfaceTest, OnlyTheListedCFunctionsAreExported) {
    if (!have("nm")) GTEST_SKIP() << "nm is not installed";
    CommandResult result =
        run("nm -D --defined-only " + (kBinary / "libvelmar.so").string() + " | awk '{print $3}' | sed 's/@.*//' | grep -v '^VELMAR_0$' | LC_ALL=C sort");
    ASSERT_EQ(result.status, 0) << result.output;
    std::string expected = readFile(kSource / "tests" / "exported_symbols.txt");
    CommandResult sorted = run("LC_ALL=C sort " + (kSource / "tests" / "exported_symbols.txt").string());
    EXPECT_EQ(result.output, sorted.output)
        << "the exported symbols differ from tests/exported_symbols.txt";
    // The C library's own names are never taken over.
    for (const char *name : {"stpcpy", "basename", "dirname"})
        EXPECT_EQ(("\n" + result.output).find(std::string("\n") + name + "\n"), std::string::npos) << name;
}

TEST(InterfaceTest, HeadersCompileAsC11AndTheLibraryLinks) {
    if (!have("cc")) GTEST_SKIP() << "no C compiler (cc) is installed";
    fs::path exe = fs::temp_directory_path() / ("velmar_consumer_" + std::to_string(::getpid()));
    std::string compile = "cc " + kFlags + " -std=c11 -Wall -Wextra -Werror -I" + (kSource / "include").string() + " " +
                          (kSource / "tests" / "tools" / "consumer.c").string() + " -L" + kBinary.string() +
                          " -lvelmar -o " + exe.string();
    CommandResult built = run(compile);
    ASSERT_EQ(built.status, 0) << built.output;
    CommandResult ran = run("LD_LIBRARY_PATH=" + kBinary.string() + " " + exe.string());
    fs::remove(exe);
    EXPECT_EQ(ran.status, 0) << ran.output;
    EXPECT_EQ(ran.output.rfind("0008 Group Length ", 0), 0u) << ran.output;
}

TEST(InterfaceTest, InstalledCopyIsFoundByPkgConfigAndFindPackage) {
    if (!have("cmake") || !have("pkg-config") || !have("cc"))
        GTEST_SKIP() << "cmake, pkg-config or cc is not installed";
    fs::path prefix = fs::temp_directory_path() / ("velmar_install_" + std::to_string(::getpid()));
    fs::remove_all(prefix);
    CommandResult installed = run("cmake --install " + kBinary.string() + " --prefix " + prefix.string());
    ASSERT_EQ(installed.status, 0) << installed.output;
    EXPECT_TRUE(fs::exists(prefix / "include" / "velmar.h"));
    EXPECT_TRUE(fs::exists(prefix / "share" / "velmar"));

    // pkg-config: compile and run the C consumer against the installed copy.
    fs::path pcDir;
    for (const auto &entry : fs::recursive_directory_iterator(prefix))
        if (entry.path().filename() == "velmar.pc") pcDir = entry.path().parent_path();
    ASSERT_FALSE(pcDir.empty());
    fs::path libDir = pcDir.parent_path();
    fs::path exe = prefix / "consumer";
    CommandResult built = run("PKG_CONFIG_PATH=" + pcDir.string() + " sh -c 'cc " + kFlags + " -std=c11 " +
                              (kSource / "tests" / "tools" / "consumer.c").string() +
                              " $(pkg-config --cflags --libs velmar) -o " + exe.string() + "'");
    ASSERT_EQ(built.status, 0) << built.output;
    CommandResult ran = run("LD_LIBRARY_PATH=" + libDir.string() + " " + exe.string());
    EXPECT_EQ(ran.status, 0) << ran.output;

    // find_package: a tiny CMake project links velmar::velmar.
    fs::path project = prefix / "project";
    fs::create_directories(project);
    std::ofstream(project / "CMakeLists.txt")
        << "cmake_minimum_required(VERSION 3.25)\nproject(consumer C)\nfind_package(velmar REQUIRED)\n"
           "add_executable(consumer " << (kSource / "tests" / "tools" / "consumer.c").string()
        << ")\ntarget_link_libraries(consumer PRIVATE velmar::velmar)\n";
    CommandResult configured = run("cmake -S " + project.string() + " -B " + (project / "build").string() +
                                   " -DCMAKE_PREFIX_PATH=" + prefix.string() +
                                   " \"-DCMAKE_C_FLAGS=" + kFlags + "\"");
    ASSERT_EQ(configured.status, 0) << configured.output;
    CommandResult compiled = run("cmake --build " + (project / "build").string());
    ASSERT_EQ(compiled.status, 0) << compiled.output;
    CommandResult ranCmake = run("LD_LIBRARY_PATH=" + libDir.string() + " " + (project / "build" / "consumer").string());
    EXPECT_EQ(ranCmake.status, 0) << ranCmake.output;
    fs::remove_all(prefix);
}

}  // namespace
