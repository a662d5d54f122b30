// Log thresholds, prefixes, owners and line limits.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "velmar/support.h"

namespace {

std::string readFile(const std::filesystem::path &path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

class LogTest : public ::testing::Test {
protected:
    std::filesystem::path path = std::filesystem::temp_directory_path() /
                                 ("velmar_log_" + std::to_string(::getpid()) + ".txt");
    void TearDown() override { std::filesystem::remove(path); }
    int owner = 0;
};

TEST_F(LogTest, StartWritesStampTitleAndCommandLineThenFileThresholdApplies) {
    char arg0[] = "prog", arg1[] = "-x", arg2[] = "file";
    char *argv[] = {arg0, arg1, arg2};
    testing::internal::CaptureStderr();
    Log *log = log_start(&owner, path.c_str(), "velmar 1.0", 0x01, 0, 3, argv);
    ASSERT_NE(log, nullptr);
    log_message(log, "bad", 1);
    log_message(log, "careful", 2);
    log_message(log, "always", 0);
    log_end(&log, &owner);
    std::string console = testing::internal::GetCapturedStderr();
    EXPECT_EQ(log, nullptr);
    // Standard error threshold 0: only the level-0 line reaches it.
    EXPECT_EQ(console, "always\n");

    std::string text = readFile(path);
    std::istringstream lines(text);
    std::string line;
    std::getline(lines, line);
    EXPECT_EQ(line.rfind("*** Log start: ", 0), 0u);
    std::getline(lines, line);
    EXPECT_EQ(line, "velmar 1.0");
    std::getline(lines, line);
    EXPECT_EQ(line, "prog -x file");
    std::getline(lines, line);
    EXPECT_EQ(line, "Error: bad");
    std::getline(lines, line);
    EXPECT_EQ(line, "always");
    std::getline(lines, line);
    EXPECT_EQ(line.rfind("*** Log end  : ", 0), 0u);
    // The end stamp keeps its own line end, so an empty line follows.
    std::getline(lines, line);
    EXPECT_EQ(line, "");
    EXPECT_EQ(text.find("careful"), std::string::npos);
}

TEST_F(LogTest, NegativeLevelsAreUnprefixedAndUseTheirAbsoluteValue) {
    Log *log = log_start(&owner, nullptr, "t", 0x00, 0, 0, nullptr);
    ASSERT_NE(log, nullptr);
    log_mask(log, 0x22);
    testing::internal::CaptureStderr();
    log_message(log, "x", -2);
    log_message(log, "info", 3);
    log_mask(log, 0x11);
    log_message(log, "y", -2);
    std::string console = testing::internal::GetCapturedStderr();
    EXPECT_EQ(console, "x\n");
    log_end(&log, &owner);
}

TEST_F(LogTest, OnlyTheOwnerClosesAndNullLogsAreSilent) {
    int stranger = 0;
    Log *log = log_start(&owner, nullptr, "t", 0x00, 0, 0, nullptr);
    Log *copy = log;
    log_end(&copy, &stranger);
    EXPECT_EQ(copy, log);  // left open, variable unchanged
    log_end(&log, &owner);
    EXPECT_EQ(log, nullptr);
    Log *none = nullptr;
    log_end(&none, &owner);
    log_end(nullptr, &owner);
    log_mask(nullptr, 0xFF);
    testing::internal::CaptureStderr();
    log_message(nullptr, "nothing", 0);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

TEST_F(LogTest, LongLinesAreCutAtTheLineLimit) {
    Log *log = log_start(&owner, path.c_str(), "t", 0x0F, 0, 0, nullptr);
    std::string longText(2000, 'a');
    log_message(log, longText.c_str(), 1);
    log_end(&log, &owner);
    std::string text = readFile(path);
    size_t at = text.find("Error: ");
    ASSERT_NE(at, std::string::npos);
    size_t end = text.find('\n', at);
    EXPECT_EQ(end - at, static_cast<size_t>(VELMAR_LOG_LINE_MAX));
}

TEST(LogAbortTest, WritesTheErrorAndExitsWithStatusOne) {
    int owner = 0;
    EXPECT_EXIT(
        {
            Log *log = log_start(&owner, nullptr, "t", 0x10, 0, 0, nullptr);
            log_abort(log, "fatal thing");
        },
        ::testing::ExitedWithCode(1), "Error: fatal thing");
}

}  // namespace
