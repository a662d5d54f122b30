// Every sample layout (8, 12 in 16, 16 and 32 bits signed and unsigned, RGB in both planar
// configurations, 1-bit frames that are not whole bytes) converted by the program between every
// pair of implicit, explicit, big, png and the test codec's syntax: pydicom must see the source
// pixels exactly.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

namespace {

namespace fs = std::filesystem;

TEST(SyntaxRoundTrip, EveryLayoutComesBackExactlyBetweenEveryPairOfSyntaxes) {
    fs::path program = fs::path(VELMAR_BINARY_DIR) / "velmar";
    if (!fs::exists(program)) GTEST_SKIP() << "the velmar program is not built";
    if (std::system("/usr/bin/python3 -c 'import pydicom, numpy' >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "pydicom and numpy (python3-pydicom, python3-numpy) are not installed";
    fs::path work = fs::temp_directory_path() / ("velmar_syntaxes_" + std::to_string(::getpid()));
    std::string command = std::string("VELMAR_DEF_PATH='") + VELMAR_SHARE_DIR + "' /usr/bin/python3 '" +
                          VELMAR_SOURCE_DIR + "/tests/codecs/roundtrip_syntaxes.py' '" + program.string() +
                          "' '" + VELMAR_TEST_CODEC_PATH + "' '" + work.string() + "' 2>&1";
    std::string report;
    FILE *pipe = popen(command.c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    char buffer[4096];
    for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) report.append(buffer, n);
    int status = pclose(pipe);
    std::error_code ignored;
    fs::remove_all(work, ignored);
    ASSERT_TRUE(WIFEXITED(status));
    if (WEXITSTATUS(status) == 77) GTEST_SKIP() << report;
    EXPECT_EQ(WEXITSTATUS(status), 0) << report;
}

}  // namespace
