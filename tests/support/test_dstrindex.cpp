// The string buffer's first-fit index must place every text exactly where the buffer's own
// first-fit search would, also when others add to the same buffer behind its back.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <utility>

#include "support/dstrindex.h"

namespace {

// Block number and offset of a stored text; (-1, 0) for null.
std::pair<int, long> placeOf(const DStringBuffer *buffer, const char *text) {
    if (text == nullptr) return {-1, 0};
    for (int b = 0; b < buffer->blockCount; ++b)
        if (text >= buffer->blocks[b] && text < buffer->blocks[b] + buffer->blockSize) return {b, text - buffer->blocks[b]};
    return {-2, 0};
}

TEST(DStringIndex, PlacesEveryTextWhereTheBuffersOwnSearchWould) {
    DStringBuffer *plain = InitDStringBuffer(1024);
    DStringBuffer *indexed = InitDStringBuffer(1024);
    ASSERT_NE(plain, nullptr);
    ASSERT_NE(indexed, nullptr);
    velmar::support::DStringIndex index;
    std::mt19937 random(16);
    for (int i = 0; i < 20000; ++i) {
        // Mostly short values, some long ones, a few too long for any block, some empty.
        size_t length = random() % 10 == 0 ? random() % 1100 : random() % 24;
        std::string text(length, static_cast<char>('a' + i % 26));
        bool behindItsBack = random() % 7 == 0;
        char *expected = AddToDStringBuffer(plain, text.c_str());
        char *got = behindItsBack ? AddToDStringBuffer(indexed, text.c_str()) : index.add(indexed, text.c_str());
        ASSERT_EQ(placeOf(plain, expected), placeOf(indexed, got)) << "text " << i << " of length " << length;
        if (got != nullptr) EXPECT_EQ(std::string(got), text);
    }
    EXPECT_EQ(plain->blockCount, indexed->blockCount);
    EXPECT_GT(indexed->blockCount, 64);  // the index grew past its first size
    DoneDStringBuffer(&plain);
    DoneDStringBuffer(&indexed);
}

}  // namespace
