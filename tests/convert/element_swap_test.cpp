#include <gtest/gtest.h>

#include <algorithm>
#include <numeric>
#include <vector>

#include "convert/byte_order.h"

namespace efi {
namespace {

class ElementSwap : public ::testing::TestWithParam<uint32_t> {};

// An element of 2 to 16 bytes is reversed end to end as one value; other sizes are left alone.
// Counts and alignments reach the word and vector paths and their tails; the bytes around the
// run never change.
TEST_P(ElementSwap, ReversesWholeElementsOfTwoToSixteenBytesOnly) {
  const uint32_t size = GetParam();
  for (size_t count : {1u, 3u, 7u, 33u}) {
    for (size_t misalign = 0; misalign < 8; ++misalign) {
      std::vector<unsigned char> bytes(misalign + size * count + 1);
      std::iota(bytes.begin(), bytes.end(), 1);
      std::vector<unsigned char> expected = bytes;
      for (size_t i = 0; i < count && size >= 2 && size <= 16; ++i)
        std::reverse(expected.begin() + misalign + i * size, expected.begin() + misalign + (i + 1) * size);
      swap_elements(bytes.data() + misalign, size, count);
      EXPECT_EQ(bytes, expected) << count << " elements at +" << misalign;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(EverySizeToSeventeenAndSomeAbove, ElementSwap,
                         ::testing::Values(0u, 1u, 2u, 3u, 4u, 5u, 6u, 7u, 8u, 9u, 10u, 11u, 12u, 13u, 14u, 15u,
                                           16u, 17u, 64u, 255u));

}  // namespace
}  // namespace efi
