// Seeded mutation test of the writer: mutated copies of files the test writes itself (and of a
// few shared samples when present) are read, written in each uncompressed syntax and read back.
// A write reported saved that does not read back fails the test and keeps the input.
#include <random>

#include "fuzz/writer_roundtrip.h"
#include "test_writer_helpers.h"

using namespace writer_test;

namespace {

constexpr int kMutants = 300;  // a few seconds: each saved write is synced to disk

std::vector<uint8_t> mutate(std::vector<uint8_t> bytes, std::mt19937 &rng) {
    static const std::vector<std::vector<uint8_t>> plants = {
        {0xFE, 0xFF, 0x00, 0xE0}, {0xFE, 0xFF, 0x0D, 0xE0}, {0xFE, 0xFF, 0xDD, 0xE0},
        {0xFF, 0xFF, 0xFF, 0xFF}, {'S', 'Q', 0, 0},         {0, 0, 0, 0}};
    int edits = 1 + static_cast<int>(rng() % 3);
    for (int i = 0; i < edits && !bytes.empty(); ++i) {
        size_t at = rng() % bytes.size();
        switch (rng() % 4) {
            case 0:
                bytes[at] ^= static_cast<uint8_t>(1u << (rng() % 8));
                break;
            case 1:
                bytes[at] = static_cast<uint8_t>(rng());
                break;
            case 2: {
                const auto &plant = plants[rng() % plants.size()];
                for (size_t k = 0; k < plant.size() && at + k < bytes.size(); ++k) bytes[at + k] = plant[k];
                break;
            }
            default:
                bytes.erase(bytes.begin() + at, bytes.begin() + std::min(bytes.size(), at + 1 + rng() % 16));
        }
    }
    return bytes;
}

TEST(WriterMutation, EveryWriteReportedSavedReadsBack) {
    TempDir dir;
    Context ctx(dir.file("writer.log"), true);
    ASSERT_TRUE(ctx.loaded) << "the shipped dictionary did not load";
    native_LibraryInit(&ctx.app);
    log_mask(ctx.app.log, 0x00);  // thousands of refusals: keep the log quiet

    std::vector<uint8_t> pixels = pixelBytes(6 * 4 * 2, 2, 16);
    writeFile(dir.file("raw.bin"), pixels);
    std::vector<uint8_t> descriptor =
        makeDescriptor(dir.file("raw.bin"), 6, 4, 16, 2, 1, "1.2.840.10008.1.2.1");
    std::vector<std::vector<uint8_t>> seeds;
    for (int syntax = 0; syntax <= 2; ++syntax) {
        IOObject io{};
        init_IOObject(&io);
        ASSERT_EQ(DO_openObject(&io.object), 0);
        buildRichObject(ctx, io.object, descriptor);
        io.dataSyntax = syntax;
        io.hasPreamble = syntax != 0;
        std::string seed = dir.file("seed" + std::to_string(syntax) + ".dcm");
        ASSERT_EQ(DO_copyObjectToFile(&ctx.app, &io, seed.c_str()), 0);
        DO_closeObject(&io.object);
        seeds.push_back(readFile(seed));
    }
    for (const char *name : {"seq_mixed_evrle.dcm", "private_ivrle.dcm", "seq_defined_evrbe.dcm"}) {
        std::string shared = std::string(VELMAR_SHARED_DIR) + "/dicom-samples/generated/" + name;
        if (fs::exists(shared)) seeds.push_back(readFile(shared));
    }

    std::mt19937 rng(19);
    int read = 0, saved = 0;
    std::string input = dir.file("mutant.dcm"), output = dir.file("out.dcm");
    for (int i = 0; i < kMutants; ++i) {
        writeFile(input, mutate(seeds[i % seeds.size()], rng));
        writer_roundtrip::Outcome outcome = writer_roundtrip::run(&ctx.app, input, output);
        read += outcome.read ? 1 : 0;
        saved += outcome.saved;
        if (outcome.failure.empty()) continue;
        std::string kept =
            (fs::temp_directory_path() / ("velmar_mutant_" + std::to_string(i) + ".dcm")).string();
        fs::copy_file(input, kept, fs::copy_options::overwrite_existing);
        ADD_FAILURE() << "mutant " << i << " (kept as " << kept << "): " << outcome.failure;
    }
    // The mutants must exercise the writer, not only the reader's refusals.
    std::printf("%d mutants: %d read, %d writes saved and read back\n", kMutants, read, saved);
    EXPECT_GT(read, kMutants / 4);
    EXPECT_GT(saved, kMutants / 2);
    EXPECT_TRUE(dir.leftovers().empty());
}

}  // namespace
