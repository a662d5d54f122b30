// The string buffer's first fit and limits, and the byte-string helpers.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "velmar/support.h"

namespace {

TEST(DStringBufferTest, StoresTextsFirstFitAndRefusesTooLongOnes) {
    DStringBuffer *buffer = InitDStringBuffer(1024);
    ASSERT_NE(buffer, nullptr);
    char *empty1 = AddToDStringBuffer(buffer, "");
    char *empty2 = AddToDStringBuffer(buffer, "");
    EXPECT_EQ(empty1, empty2);
    EXPECT_EQ(empty1, buffer->blocks[0]);
    EXPECT_EQ(AddToDStringBuffer(buffer, nullptr), nullptr);

    std::string longest(1023, 'a');
    EXPECT_EQ(AddToDStringBuffer(buffer, std::string(1024, 'b').c_str()), nullptr);
    char *stored = AddToDStringBuffer(buffer, longest.c_str());  // needs a block of its own
    ASSERT_NE(stored, nullptr);
    EXPECT_EQ(longest, stored);
    EXPECT_EQ(buffer->blockCount, 2);

    // Fill block 0 nearly up: a short text still fits there, a longer one opens a new block.
    std::string filler(1000, 'c');
    char *f = AddToDStringBuffer(buffer, filler.c_str());
    EXPECT_EQ(f, buffer->blocks[0] + 1);
    char *shortText = AddToDStringBuffer(buffer, "short");
    EXPECT_EQ(shortText, buffer->blocks[0] + 1002);
    char *longer = AddToDStringBuffer(buffer, std::string(100, 'd').c_str());
    EXPECT_EQ(buffer->blockCount, 3);
    EXPECT_EQ(longer, buffer->blocks[2]);
    EXPECT_STREQ(f, filler.c_str());  // earlier pointers stay valid
    DoneDStringBuffer(&buffer);
    EXPECT_EQ(buffer, nullptr);
    DoneDStringBuffer(&buffer);
}

TEST(StringUtilTest, CopyCaseAndSwap) {
    char text[16];
    char *end = velmar_stpcpy(text, "ab");
    end = velmar_stpcpy(end, "cd");
    EXPECT_STREQ(text, "abcd");
    EXPECT_EQ(end, text + 4);

    char mixed[] = "abc";
    strtoupper(mixed, 2);
    EXPECT_STREQ(mixed, "ABc");
    strtolower(mixed, 0);
    EXPECT_STREQ(mixed, "ABc");
    strtolower(mixed, 3);
    EXPECT_STREQ(mixed, "abc");

    unsigned char bytes[] = {1, 2, 3, 4};
    swapbytes(bytes, 4);
    EXPECT_EQ(std::memcmp(bytes, "\x04\x03\x02\x01", 4), 0);
    unsigned char three[] = {1, 2, 3, 4};
    swapbytes(three, 3);
    EXPECT_EQ(std::memcmp(three, "\x03\x02\x01\x04", 4), 0);
    swapbytes(three, 1);
    EXPECT_EQ(std::memcmp(three, "\x03\x02\x01\x04", 4), 0);
}

}  // namespace
