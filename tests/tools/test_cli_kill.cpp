// A conversion killed part way: SIGKILL leaves the previous target whole and a temporary file
// that the next write into the directory removes; SIGINT and SIGTERM leave no temporary at all.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

namespace {

namespace fs = std::filesystem;

const fs::path kProgram = fs::path(VELMAR_BINARY_DIR) / "velmar";

// A bare implicit VR little endian data set: `frames` frames of 256 x 256 16-bit pixels of
// varied values, so that encoding them to PNG takes a while.
void writeLargeImage(const fs::path &path, uint32_t frames) {
    std::ofstream out(path, std::ios::binary);
    auto put = [&](uint16_t group, uint16_t element, const void *value, uint32_t length) {
        uint16_t tag[2] = {group, element};
        out.write(reinterpret_cast<const char *>(tag), 4);
        out.write(reinterpret_cast<const char *>(&length), 4);
        out.write(static_cast<const char *>(value), length);
    };
    auto text = [&](uint16_t group, uint16_t element, std::string value) {
        if (value.size() % 2 != 0) value += ' ';
        put(group, element, value.data(), static_cast<uint32_t>(value.size()));
    };
    auto word = [&](uint16_t element, uint16_t value) { put(0x0028, element, &value, 2); };
    text(0x0008, 0x0016, std::string("1.2.840.10008.5.1.4.1.1.7", 26));
    text(0x0008, 0x0018, std::string("1.2.3.4.5.6", 12));
    word(0x0002, 1);
    text(0x0028, 0x0004, "MONOCHROME2");
    text(0x0028, 0x0008, std::to_string(frames));
    word(0x0010, 256);
    word(0x0011, 256);
    word(0x0100, 16);
    word(0x0101, 16);
    word(0x0102, 15);
    word(0x0103, 0);
    std::vector<uint16_t> frame(256 * 256);
    uint32_t length = static_cast<uint32_t>(frame.size() * 2) * frames, state = 19;
    uint16_t tag[2] = {0x7FE0, 0x0010};
    out.write(reinterpret_cast<const char *>(tag), 4);
    out.write(reinterpret_cast<const char *>(&length), 4);
    for (uint32_t f = 0; f < frames; ++f) {
        for (uint16_t &sample : frame)
            sample = static_cast<uint16_t>((state = state * 1103515245u + 12345u) >> 16);
        out.write(reinterpret_cast<const char *>(frame.data()),
                  static_cast<std::streamsize>(frame.size() * 2));
    }
}

std::vector<fs::path> temporaries(const fs::path &dir) {
    std::vector<fs::path> found;
    for (const auto &entry : fs::directory_iterator(dir))
        if (entry.path().filename().string().rfind("_velmar_", 0) == 0) found.push_back(entry.path());
    return found;
}

std::string contentOf(const fs::path &path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

class KilledConversionTest : public ::testing::Test {
   protected:
    fs::path dir = fs::temp_directory_path() / ("velmar_kill_" + std::to_string(getpid()));
    fs::path large = dir / "large.dcm";
    fs::path target = dir / "target.dcm";
    const std::string old = "the previous target";

    void SetUp() override {
        fs::create_directories(dir);
        writeLargeImage(large, 400);  // 52 MB
        std::ofstream(target, std::ios::binary) << old;
    }
    void TearDown() override { fs::remove_all(dir); }

    pid_t startConversion(const fs::path &in, const fs::path &out) {
        pid_t child = fork();
        if (child == 0) {
            std::freopen("/dev/null", "w", stdout);
            std::freopen("/dev/null", "w", stderr);
            execl(kProgram.c_str(), "velmar", "convert", "--syntax", "png", in.c_str(), out.c_str(),
                  static_cast<char *>(nullptr));
            _exit(127);
        }
        return child;
    }

    // Waits until the conversion has written a good part of its temporary file; false when it
    // ended first.
    bool waitForPartialOutput(pid_t child) {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
        while (std::chrono::steady_clock::now() < deadline) {
            if (waitpid(child, nullptr, WNOHANG) == child) return false;
            for (const fs::path &t : temporaries(dir)) {
                std::error_code ec;
                if (fs::file_size(t, ec) > (1u << 20)) return true;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return false;
    }

    // Kills a conversion part way with `signal_number`; its exit status.
    int killPartWay(int signal_number) {
        pid_t child = startConversion(large, target);
        EXPECT_GT(child, 0);
        bool partial = waitForPartialOutput(child);
        EXPECT_TRUE(partial) << "the conversion ended before it could be killed";
        kill(child, signal_number);
        int status = 0;
        waitpid(child, &status, 0);
        return status;
    }
};

TEST_F(KilledConversionTest, SigkillKeepsTheTargetAndTheNextWriteRemovesTheTemporary) {
    int status = killPartWay(SIGKILL);
    ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL);
    EXPECT_EQ(contentOf(target), old);
    EXPECT_EQ(temporaries(dir).size(), 1u) << "SIGKILL cannot be caught: its temporary stays";

    // The next write into the directory removes it, its process being gone.
    fs::path small = dir / "small.dcm";
    writeLargeImage(small, 1);
    pid_t next = startConversion(small, dir / "other.dcm");
    ASSERT_GT(next, 0);
    ASSERT_EQ(waitpid(next, &status, 0), next);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_TRUE(temporaries(dir).empty());
    EXPECT_EQ(contentOf(target), old);
}

TEST_F(KilledConversionTest, SigtermAndSigintLeaveNoTemporary) {
    for (int signal_number : {SIGTERM, SIGINT}) {
        SCOPED_TRACE(signal_number);
        int status = killPartWay(signal_number);
        ASSERT_TRUE(WIFSIGNALED(status)) << "exit status " << status;
        EXPECT_EQ(WTERMSIG(status), signal_number);
        EXPECT_TRUE(temporaries(dir).empty());
        EXPECT_EQ(contentOf(target), old);
    }
}

}  // namespace
