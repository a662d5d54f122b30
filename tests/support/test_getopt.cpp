// Option scanner: letters, clusters, attached and separate arguments, "--", unknown options and
// missing arguments, and command list files with quoted words.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "velmar/support.h"

namespace {

// Argument vector over owned strings, as main() receives it.
struct Args {
    std::vector<std::string> words;
    std::vector<char *> pointers;
    explicit Args(std::initializer_list<const char *> list) : words(list.begin(), list.end()) {
        for (auto &w : words) pointers.push_back(w.data());
        pointers.push_back(nullptr);
    }
    int argc() const { return static_cast<int>(words.size()); }
    char *const *argv() { return pointers.data(); }
};

struct Result {
    int ch;
    std::string arg;  // "(null)" when optarg is null
};

std::vector<Result> scanAll(GetOptState &state, Args &args, const char *letters) {
    std::vector<Result> out;
    for (int guard = 0; guard < 50; ++guard) {
        int ch = getopt1(&state, args.argc(), args.argv(), letters);
        if (ch == -1) break;
        out.push_back({ch, state.optarg != nullptr ? state.optarg : "(null)"});
    }
    return out;
}

class GetoptTest : public ::testing::Test {
protected:
    GetOptState state{};
    std::filesystem::path dir;
    void SetUp() override {
        initgetopt1(&state);
        dir = std::filesystem::temp_directory_path() /
              ("velmar_getopt_" + std::to_string(::getpid()) + "_" +
               ::testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::create_directories(dir);
    }
    void TearDown() override {
        // A parse that stops inside a list leaves the list's words with the state.
        std::free(state.listWords);
        std::free(state.listText);
        std::filesystem::remove_all(dir);
    }
    std::string writeList(const char *name, const std::string &text) {
        auto path = dir / name;
        std::ofstream(path, std::ios::binary) << text;
        return path.string();
    }
};

TEST_F(GetoptTest, InitialStateMatchesTheDocumentedValues) {
    GetOptState s;
    std::memset(&s, 0x5A, sizeof s);
    EXPECT_EQ(initgetopt1(&s), &s);
    EXPECT_EQ(s.opterr, 1);
    EXPECT_EQ(s.optind, 1);
    EXPECT_EQ(s.optopt, 1);
    EXPECT_EQ(s.optarg, nullptr);
    EXPECT_EQ(s.optpos, 1);
    EXPECT_EQ(s.inList, 0);
    EXPECT_EQ(s.listCount, 0);
    EXPECT_EQ(s.listText, nullptr);
    EXPECT_EQ(s.listWords, nullptr);
}

TEST_F(GetoptTest, ClusterSeparateArgumentAndFirstOperand) {
    Args args{"prog", "-ab", "-o", "out", "file"};
    auto got = scanAll(state, args, "abo:");
    ASSERT_EQ(got.size(), 3u);
    EXPECT_EQ(got[0].ch, 'a');
    EXPECT_EQ(got[0].arg, "(null)");
    EXPECT_EQ(got[1].ch, 'b');
    EXPECT_EQ(got[2].ch, 'o');
    EXPECT_EQ(got[2].arg, "out");
    EXPECT_EQ(state.optind, 4);
    EXPECT_STREQ(args.argv()[state.optind], "file");
}

TEST_F(GetoptTest, AttachedArgumentAndArgumentAfterCluster) {
    Args args{"prog", "-oout", "-ao", "x", "-"};
    auto got = scanAll(state, args, "ao:");
    ASSERT_EQ(got.size(), 3u);
    EXPECT_EQ(got[0].ch, 'o');
    EXPECT_EQ(got[0].arg, "out");
    EXPECT_EQ(got[1].ch, 'a');
    EXPECT_EQ(got[2].ch, 'o');
    EXPECT_EQ(got[2].arg, "x");
    // A lone "-" is an operand.
    EXPECT_EQ(state.optind, 4);
}

TEST_F(GetoptTest, DoubleDashEndsOptionsAndIsConsumed) {
    Args args{"prog", "--", "-a"};
    EXPECT_EQ(getopt1(&state, args.argc(), args.argv(), "a"), -1);
    EXPECT_EQ(state.optind, 2);
}

TEST_F(GetoptTest, UnknownOptionAndColonAreReported) {
    Args args{"prog", "-x:b"};
    testing::internal::CaptureStderr();
    EXPECT_EQ(getopt1(&state, args.argc(), args.argv(), "ab"), '?');
    EXPECT_EQ(state.optopt, 'x');
    EXPECT_EQ(getopt1(&state, args.argc(), args.argv(), "ab"), '?');
    EXPECT_EQ(state.optopt, ':');
    EXPECT_EQ(getopt1(&state, args.argc(), args.argv(), "ab"), 'b');
    EXPECT_EQ(getopt1(&state, args.argc(), args.argv(), "ab"), -1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              ": illegal option -- x: illegal option -- :");

    // With opterr cleared nothing is written.
    Args quiet{"prog", "-x"};
    initgetopt1(&state);
    state.opterr = 0;
    testing::internal::CaptureStderr();
    EXPECT_EQ(getopt1(&state, quiet.argc(), quiet.argv(), "ab"), '?');
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

TEST_F(GetoptTest, MissingArgumentIsReported) {
    Args args{"prog", "-o"};
    testing::internal::CaptureStderr();
    EXPECT_EQ(getopt1(&state, args.argc(), args.argv(), "o:"), '?');
    EXPECT_EQ(testing::internal::GetCapturedStderr(), ": option requires an argument -- o");
    EXPECT_EQ(getopt1(&state, args.argc(), args.argv(), "o:"), -1);
}

TEST_F(GetoptTest, EmptyLetterSetGivesEveryLetterTheRestOfItsWord) {
    Args args{"prog", "-xvalue", "-y", "rest"};
    auto got = scanAll(state, args, "");
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0].ch, 'x');
    EXPECT_EQ(got[0].arg, "value");
    EXPECT_EQ(got[1].ch, 'y');
    EXPECT_EQ(got[1].arg, "(null)");
    EXPECT_EQ(state.optind, 3);
}

TEST_F(GetoptTest, ListFileWordsComeBeforeTheFollowingArguments) {
    std::string list = writeList("opts.lst", "-a\n  -o\tval\r\n");
    std::string at = "@" + list;
    Args args{"prog", at.c_str(), "-b", "file"};
    auto got = scanAll(state, args, "abo:");
    ASSERT_EQ(got.size(), 3u);
    EXPECT_EQ(got[0].ch, 'a');
    EXPECT_EQ(got[1].ch, 'o');
    EXPECT_EQ(got[1].arg, "val");
    EXPECT_EQ(got[2].ch, 'b');
    EXPECT_EQ(state.inList, 0);
    EXPECT_EQ(state.optind, 3);
    EXPECT_EQ(state.listWords, nullptr);
}

TEST_F(GetoptTest, QuotedListWordsKeepBlanksAndLoseTheirQuotes) {
    std::string list = writeList("quoted.lst", "-o \"my file.dcm\" -t 'a \"b\"' -a");
    std::string at = "@" + list;
    Args args{"prog", at.c_str()};
    auto got = scanAll(state, args, "ao:t:");
    ASSERT_EQ(got.size(), 3u);
    EXPECT_EQ(got[0].arg, "my file.dcm");
    EXPECT_EQ(got[1].ch, 't');
    EXPECT_EQ(got[1].arg, "a \"b\"");
    EXPECT_EQ(got[2].ch, 'a');
}

TEST_F(GetoptTest, ListsDoNotNestAndEmptyListsAreSkipped) {
    std::string empty = writeList("empty.lst", " \n\t ");
    std::string at = "@" + empty;
    Args args{"prog", at.c_str(), "-a"};
    auto got = scanAll(state, args, "a");
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].ch, 'a');

    // An at-word inside a list is an ordinary word: it ends the options.
    std::string inner = writeList("inner.lst", "-a @other");
    std::string at2 = "@" + inner;
    Args nested{"prog", at2.c_str()};
    initgetopt1(&state);
    got = scanAll(state, nested, "a");
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(state.inList, 1);
    EXPECT_STREQ(state.listWords[state.optind], "@other");
}

TEST_F(GetoptTest, MissingListFileEndsParsingWithMessage) {
    std::string missing = (dir / "nothere.lst").string();
    std::string at = "@" + missing;
    Args args{"prog", at.c_str(), "-a"};
    testing::internal::CaptureStderr();
    EXPECT_EQ(getopt1(&state, args.argc(), args.argv(), "a"), -1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              ": could not open command list file -- " + missing);

    Args bare{"prog", "@"};
    initgetopt1(&state);
    EXPECT_EQ(getopt1(&state, bare.argc(), bare.argv(), "a"), -1);
}

TEST_F(GetoptTest, OptionArgumentMissingAtTheEndOfAList) {
    std::string list = writeList("short.lst", "-o");
    std::string at = "@" + list;
    Args args{"prog", at.c_str(), "next"};
    testing::internal::CaptureStderr();
    EXPECT_EQ(getopt1(&state, args.argc(), args.argv(), "o:"), '?');
    EXPECT_EQ(testing::internal::GetCapturedStderr(), ": option requires an argument -- o");
    // The list is then left and the next argument is an operand.
    EXPECT_EQ(getopt1(&state, args.argc(), args.argv(), "o:"), -1);
    EXPECT_EQ(state.inList, 0);
    EXPECT_EQ(state.optind, 2);
}

}  // namespace
