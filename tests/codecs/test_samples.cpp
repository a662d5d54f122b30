// Byte-order reversal of samples: the vector path (whole 32-byte blocks) and the sample-by-sample
// tail must agree with a plain reversal for every sample size, length and alignment.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <vector>

#include "codecs/samples.h"

namespace {

std::vector<uint8_t> reversedByHand(const std::vector<uint8_t> &bytes, unsigned size) {
    std::vector<uint8_t> out(bytes);
    for (size_t at = 0; at + size <= out.size(); at += size) std::reverse(out.begin() + at, out.begin() + at + size);
    return out;
}

TEST(SampleSwap, EverySizeLengthAndAlignmentMatchesAPlainReversal) {
    for (unsigned size : {2u, 4u, 8u}) {
        for (size_t length : {0, 1, 7, 31, 32, 33, 127, 128, 129, 160, 1000, 4099}) {
            for (size_t shift : {0, 1, 3}) {
                std::vector<uint8_t> storage(length + shift + 8);
                for (size_t i = 0; i < storage.size(); ++i) storage[i] = static_cast<uint8_t>(i * 37 + 11);
                std::vector<uint8_t> input(storage.begin() + static_cast<long>(shift),
                                           storage.begin() + static_cast<long>(shift + length));
                const std::vector<uint8_t> expected = reversedByHand(input, size);

                velmar::codecs::swapSamples(storage.data() + shift, length, size);
                EXPECT_TRUE(std::equal(expected.begin(), expected.end(), storage.begin() + static_cast<long>(shift)))
                    << "in place, size " << size << ", length " << length << ", shift " << shift;
                EXPECT_EQ(storage[shift + length], static_cast<uint8_t>((shift + length) * 37 + 11))
                    << "byte past the end changed";

                size_t whole = length - length % size;
                std::vector<uint8_t> copy(whole + shift);
                velmar::codecs::copySwappingSamples(copy.data() + shift, input.data(), whole, size);
                EXPECT_TRUE(std::equal(expected.begin(), expected.begin() + static_cast<long>(whole),
                                       copy.begin() + static_cast<long>(shift)))
                    << "copying, size " << size << ", length " << length << ", shift " << shift;
            }
        }
    }
}

}  // namespace
