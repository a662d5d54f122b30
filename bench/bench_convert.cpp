// Converting a large multi-frame image: velmar rewrites an explicit VR little endian file of about
// 250 MB as implicit VR and as explicit big endian, timed and measured for peak memory against a
// plain file copy and DCMTK's dcmconv in the same run. Each conversion runs in a child process so
// that its peak resident size is its own.
//
// Usage: bench_convert [megabytes] [repeats]    (defaults: 250, 3)
#include <fcntl.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "velmar.h"

namespace {

constexpr uint16_t kRows = 512;
constexpr uint16_t kColumns = 512;
constexpr size_t kFrameBytes = static_cast<size_t>(kRows) * kColumns * 2;

struct Measure {
    double seconds = 0;
    double peakMB = 0;
    bool ok = false;
    int status = -1;
};

double now() {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

// Runs `work` in a child process (or execs `argv` when given): wall time and peak resident size.
Measure inChild(const std::function<int()> &work, const std::vector<std::string> &argv = {}) {
    Measure m;
    double start = now();
    pid_t child = fork();
    if (child < 0) return m;
    if (child == 0) {
        if (!argv.empty()) {
            std::vector<char *> args;
            args.reserve(argv.size() + 1);
            for (const std::string &a : argv) args.push_back(const_cast<char *>(a.c_str()));
            args.push_back(nullptr);
            int null = open("/dev/null", O_WRONLY);
            if (null >= 0) {
                dup2(null, 1);
                dup2(null, 2);
            }
            execvp(args[0], args.data());
            _exit(127);
        }
        _exit(work());
    }
    int status = 0;
    rusage usage{};
    if (wait4(child, &status, 0, &usage) != child) return m;
    m.seconds = now() - start;
    m.peakMB = static_cast<double>(usage.ru_maxrss) / 1024.0;
    m.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    m.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return m;
}

void put16(std::vector<uint8_t> &b, uint16_t v) {
    b.push_back(static_cast<uint8_t>(v));
    b.push_back(static_cast<uint8_t>(v >> 8));
}
void put32(std::vector<uint8_t> &b, uint32_t v) {
    for (int i = 0; i < 4; ++i) b.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

// One explicit VR little endian element.
void element(std::vector<uint8_t> &b, uint16_t group, uint16_t el, const char *vr, const std::string &value) {
    put16(b, group);
    put16(b, el);
    b.push_back(static_cast<uint8_t>(vr[0]));
    b.push_back(static_cast<uint8_t>(vr[1]));
    bool longLength = std::strcmp(vr, "OB") == 0 || std::strcmp(vr, "OW") == 0;
    if (longLength) {
        put16(b, 0);
        put32(b, static_cast<uint32_t>(value.size()));
    } else {
        put16(b, static_cast<uint16_t>(value.size()));
    }
    b.insert(b.end(), value.begin(), value.end());
}

std::string us(uint16_t v) {
    return std::string{static_cast<char>(v & 0xFF), static_cast<char>(v >> 8)};
}

// Writes the source image frame by frame.
bool generate(const std::string &path, uint16_t frames) {
    std::vector<uint8_t> meta, data;
    std::string sopClass("1.2.840.10008.5.1.4.1.1.20", 26);
    std::string instance = "1.2.826.0.1.3680043.9.7.2";
    instance.push_back('\0');
    element(meta, 0x0002, 0x0001, "OB", std::string("\0\1", 2));
    element(meta, 0x0002, 0x0002, "UI", sopClass);
    element(meta, 0x0002, 0x0003, "UI", instance);
    element(meta, 0x0002, 0x0010, "UI", std::string("1.2.840.10008.1.2.1\0", 20));
    std::vector<uint8_t> head(128, 0);
    head.insert(head.end(), {'D', 'I', 'C', 'M'});
    std::string groupLength;
    for (int i = 0; i < 4; ++i) groupLength.push_back(static_cast<char>((meta.size() >> (8 * i)) & 0xFF));
    element(head, 0x0002, 0x0000, "UL", groupLength);
    head.insert(head.end(), meta.begin(), meta.end());

    std::string frameText = std::to_string(frames);
    if (frameText.size() % 2) frameText += ' ';
    element(data, 0x0008, 0x0016, "UI", sopClass);
    element(data, 0x0008, 0x0018, "UI", instance);
    element(data, 0x0008, 0x0060, "CS", "NM");
    element(data, 0x0010, 0x0010, "PN", "Bench^Mark");
    element(data, 0x0028, 0x0002, "US", us(1));
    element(data, 0x0028, 0x0004, "CS", "MONOCHROME2 ");
    element(data, 0x0028, 0x0008, "IS", frameText);
    element(data, 0x0028, 0x0010, "US", us(kRows));
    element(data, 0x0028, 0x0011, "US", us(kColumns));
    element(data, 0x0028, 0x0100, "US", us(16));
    element(data, 0x0028, 0x0101, "US", us(16));
    element(data, 0x0028, 0x0102, "US", us(15));
    element(data, 0x0028, 0x0103, "US", us(0));
    put16(data, 0x7FE0);
    put16(data, 0x0010);
    data.insert(data.end(), {'O', 'W', 0, 0});
    put32(data, static_cast<uint32_t>(kFrameBytes * frames));

    FILE *out = std::fopen(path.c_str(), "wb");
    if (out == nullptr) return false;
    bool ok = std::fwrite(head.data(), 1, head.size(), out) == head.size() &&
              std::fwrite(data.data(), 1, data.size(), out) == data.size();
    std::vector<uint16_t> frame(kFrameBytes / 2);
    for (uint16_t f = 0; ok && f < frames; ++f) {
        for (size_t i = 0; i < frame.size(); ++i)
            frame[i] = static_cast<uint16_t>(i * 7 + f * 131 + (i >> 9));
        ok = std::fwrite(frame.data(), 1, kFrameBytes, out) == kFrameBytes;
    }
    return std::fclose(out) == 0 && ok;
}

int plainCopy(const std::string &from, const std::string &to) {
    int in = open(from.c_str(), O_RDONLY);
    int out = open(to.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (in < 0 || out < 0) return 1;
    std::vector<char> buffer(1 << 20);
    for (;;) {
        ssize_t n = read(in, buffer.data(), buffer.size());
        if (n < 0) return 1;
        if (n == 0) break;
        if (write(out, buffer.data(), static_cast<size_t>(n)) != n) return 1;
    }
    close(in);
    return close(out) == 0 ? 0 : 1;
}

int velmarConvert(const std::string &from, const std::string &to, int syntax) {
    AppData app{};
    init_AppData(&app, "bench_convert", "1", nullptr);
    if (InitTagDef(&app, 1) != 0) return 2;
    native_LibraryInit(&app);
    IOObject io{};
    init_IOObject(&io);
    io.metaSyntax = -1;
    io.dataSyntax = -1;
    if (DO_importObjectFromFile(&app, from.c_str(), &io) != 0) return 3;
    io.dataSyntax = syntax;
    int16_t status = DO_copyObjectToFile(&app, &io, to.c_str());
    DO_closeObject(&io.object);
    DoneTagDef(&app);
    done_AppData(&app);
    return status == 0 ? 0 : 4;
}

void report(const char *what, const Measure &m, const Measure &copy) {
    if (!m.ok) {
        std::printf("  %-34s failed (status %d)\n", what, m.status);
        return;
    }
    std::printf("  %-34s %7.3f s  %7.1f MB peak  %5.2fx copy\n", what, m.seconds, m.peakMB,
                m.seconds / copy.seconds);
}

bool haveDcmconv() {
    Measure m = inChild(nullptr, {"dcmconv", "--version"});
    return m.ok;
}

}  // namespace

int main(int argc, char **argv) {
    double megabytes = argc > 1 ? std::atof(argv[1]) : 250.0;
    int repeats = argc > 2 ? std::max(1, std::atoi(argv[2])) : 3;
    auto frames = static_cast<uint16_t>(std::clamp(megabytes * 1e6 / kFrameBytes, 1.0, 65535.0));
    setenv("VELMAR_DEF_PATH", VELMAR_SHARE_DIR, 0);

    const char *base = std::getenv("TMPDIR");
    std::string pattern = std::string(base != nullptr ? base : "/tmp") + "/velmar_bench_XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) {
        std::perror("mkdtemp");
        return 1;
    }
    std::string dir = pattern;
    std::string source = dir + "/source.dcm", small = dir + "/small.dcm", out = dir + "/out.dcm";
    if (!generate(source, frames) || !generate(small, static_cast<uint16_t>(std::max(1, frames / 8)))) {
        std::fprintf(stderr, "cannot write the source image in %s\n", dir.c_str());
        return 1;
    }
    struct stat info {};
    stat(source.c_str(), &info);
    std::printf("bench_convert: %u frames of %ux%u 16-bit, %.1f MB explicit VR little endian, best of %d\n",
                frames, kRows, kColumns, static_cast<double>(info.st_size) / 1e6, repeats);

    // Warm the page cache so that every contender reads from memory.
    plainCopy(source, out);
    unlink(out.c_str());

    // The contenders run in turns, round after round, so that a busy moment of the machine does
    // not fall on one of them only; each keeps its fastest round and its largest peak.
    bool dcmtk = haveDcmconv();
    struct Contender {
        const char *name;
        std::function<Measure()> once;
        Measure best;
    };
    auto velmarRun = [&](const std::string &from, int syntax) {
        return [&, from, syntax] { return inChild([&] { return velmarConvert(from, out, syntax); }); };
    };
    auto dcmconvRun = [&](const char *option) {
        return [&, option] { return inChild(nullptr, {"dcmconv", option, source, out}); };
    };
    std::vector<Contender> contenders = {
        {"plain copy", [&] { return inChild([&] { return plainCopy(source, out); }); }, {}},
        {"velmar -> implicit VR LE", velmarRun(source, 0), {}},
        {"velmar -> explicit VR BE", velmarRun(source, 2), {}},
        {"velmar -> explicit VR BE, 1/8 frames", velmarRun(small, 2), {}},
    };
    if (dcmtk) {
        contenders.push_back({"dcmconv +ti (implicit VR LE)", dcmconvRun("+ti"), {}});
        contenders.push_back({"dcmconv +tb (explicit VR BE)", dcmconvRun("+tb"), {}});
    }
    for (int round = 0; round < repeats; ++round)
        for (Contender &c : contenders) {
            Measure m = c.once();
            unlink(out.c_str());
            double peak = std::max(c.best.peakMB, m.peakMB);
            bool failedBefore = round > 0 && !c.best.ok;
            if (failedBefore) continue;  // a failure is what is reported
            if (round == 0 || !m.ok || m.seconds < c.best.seconds) c.best = m;
            c.best.peakMB = peak;
        }
    Measure copy = contenders[0].best, toImplicit = contenders[1].best, toBig = contenders[2].best,
            smallBig = contenders[3].best;
    Measure dcmImplicit = dcmtk ? contenders[4].best : Measure{},
            dcmBig = dcmtk ? contenders[5].best : Measure{};

    report("plain copy", copy, copy);
    report("velmar -> implicit VR LE", toImplicit, copy);
    report("velmar -> explicit VR BE", toBig, copy);
    report("velmar -> explicit VR BE, 1/8 frames", smallBig, copy);
    if (dcmtk) {
        report("dcmconv +ti (implicit VR LE)", dcmImplicit, copy);
        report("dcmconv +tb (explicit VR BE)", dcmBig, copy);
    } else {
        std::printf("  dcmconv (DCMTK) is not installed: no comparison with it\n");
    }
    std::printf("ratios: velmar/copy implicit %.2f, big endian %.2f", toImplicit.seconds / copy.seconds,
                toBig.seconds / copy.seconds);
    if (dcmtk && dcmImplicit.ok && dcmBig.ok)
        std::printf("; velmar/dcmconv implicit %.2f, big endian %.2f",
                    toImplicit.seconds / dcmImplicit.seconds, toBig.seconds / dcmBig.seconds);
    std::printf("\npeak memory: velmar %.1f MB (%.1f MB with 1/8 of the frames)",
                std::max(toImplicit.peakMB, toBig.peakMB), smallBig.peakMB);
    if (dcmtk) std::printf(", dcmconv %.1f MB", std::max(dcmImplicit.peakMB, dcmBig.peakMB));
    std::printf("\n");

    unlink(source.c_str());
    unlink(small.c_str());
    rmdir(dir.c_str());
    bool ok = copy.ok && toImplicit.ok && toBig.ok && smallBig.ok;
    return ok ? 0 : 1;
}
