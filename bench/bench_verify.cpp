// Benchmark of verification against sequence size: writes NM files whose Energy Window Information
// Sequence holds N and 10 N items, times `velmar verify` on both, and prints the ratio (linear
// work gives about 10) beside `velmar dump` of the same files, the cost of reading them.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include <unistd.h>

namespace fs = std::filesystem;

namespace {

// Explicit VR little endian: one element, or an undefined-length sequence or item header.
void put(std::string &out, uint16_t group, uint16_t element, const char *vr, std::string value) {
    if (value.size() % 2 != 0) value.push_back(vr[0] == 'U' && vr[1] == 'I' ? '\0' : ' ');
    auto u16 = [&](uint32_t v) {
        out.append({static_cast<char>(v & 0xFF), static_cast<char>(v >> 8 & 0xFF)});
    };
    u16(group);
    u16(element);
    if (vr[0] == 0) {  // item tags carry no VR
        u16(0xFFFF);
        u16(0xFFFF);
        return;
    }
    out.append(vr, 2);
    if (vr[0] == 'S' && vr[1] == 'Q') {
        u16(0);
        u16(0xFFFF);
        u16(0xFFFF);
        return;
    }
    u16(static_cast<uint32_t>(value.size()));
    out += value;
}

void end(std::string &out, uint16_t element) {
    out.append(
        {'\xFE', '\xFF', static_cast<char>(element & 0xFF), static_cast<char>(element >> 8), 0, 0, 0, 0});
}

std::string nmFile(int items) {
    std::string meta;
    put(meta, 0x0002, 0x0002, "UI", "1.2.840.10008.5.1.4.1.1.20");
    put(meta, 0x0002, 0x0003, "UI", "1.2.826.0.1.3680043.2.1125.8.1");
    put(meta, 0x0002, 0x0010, "UI", "1.2.840.10008.1.2.1");
    std::string out(128, '\0');
    out += "DICM";
    put(out, 0x0002, 0x0000, "UL", std::string("\0\0\0\0", 4));
    uint32_t n = static_cast<uint32_t>(meta.size());
    for (int i = 0; i < 4; ++i) out[out.size() - 4 + i] = static_cast<char>(n >> (8 * i) & 0xFF);
    out += meta;
    put(out, 0x0008, 0x0016, "UI", "1.2.840.10008.5.1.4.1.1.20");
    put(out, 0x0008, 0x0018, "UI", "1.2.826.0.1.3680043.2.1125.8.1");
    put(out, 0x0008, 0x0060, "CS", "NM");
    put(out, 0x0054, 0x0012, "SQ", "");
    for (int i = 0; i < items; ++i) {
        put(out, 0xFFFE, 0xE000, "", "");
        put(out, 0x0054, 0x0013, "SQ", "");
        put(out, 0xFFFE, 0xE000, "", "");
        put(out, 0x0054, 0x0014, "DS", std::to_string(100 + i % 50));
        put(out, 0x0054, 0x0015, "DS", std::to_string(160 + i % 50));
        end(out, 0xE00D);
        end(out, 0xE0DD);
        put(out, 0x0054, 0x0018, "SH", "W" + std::to_string(i % 1000));
        end(out, 0xE00D);
    }
    end(out, 0xE0DD);
    return out;
}

double seconds(const std::string &command) {
    auto start = std::chrono::steady_clock::now();
    int status = std::system(command.c_str());
    auto stop = std::chrono::steady_clock::now();
    if (status == -1) std::fprintf(stderr, "cannot run: %s\n", command.c_str());
    return std::chrono::duration<double>(stop - start).count();
}

}  // namespace

int main(int argc, char **argv) {
    fs::path program = argc > 1 ? fs::path(argv[1]) : fs::current_path() / ".." / "velmar";
    int items = argc > 2 ? std::atoi(argv[2]) : 8000;
    if (!fs::exists(program)) {
        std::fprintf(stderr, "usage: bench_verify [VELMAR_PROGRAM [ITEMS]] (no program at %s)\n",
                     program.c_str());
        return 2;
    }
    setenv("VELMAR_DEF_PATH", VELMAR_SHARE_DIR, 0);
    fs::path dir = fs::temp_directory_path() / ("velmar-bench-verify-" + std::to_string(getpid()));
    fs::create_directories(dir);
    double verify[2], dump[2];
    for (int k = 0; k < 2; ++k) {
        int n = k == 0 ? items : 10 * items;
        fs::path file = dir / ("nm_" + std::to_string(n) + ".dcm");
        std::ofstream(file, std::ios::binary) << nmFile(n);
        std::string quoted = "'" + file.string() + "' >/dev/null 2>&1";
        verify[k] = seconds("'" + program.string() + "' verify --quiet " + quoted);
        dump[k] = seconds("'" + program.string() + "' dump " + quoted);
        std::printf("%7d items: verify %.3f s, dump %.3f s (verify / dump %.1f)\n", n, verify[k], dump[k],
                    verify[k] / dump[k]);
    }
    std::printf("10x items: verify takes %.1fx as long, dump %.1fx (linear: about 10)\n",
                verify[1] / verify[0], dump[1] / dump[0]);
    fs::remove_all(dir);
    return 0;
}
