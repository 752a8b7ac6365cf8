#include <gtest/gtest.h>

#include <algorithm>
#include <numeric>
#include <vector>

#include "convert/byte_order.h"

namespace efi {
namespace {

std::vector<unsigned char> counting_bytes(size_t n, unsigned char first = 1) {
  std::vector<unsigned char> bytes(n);
  std::iota(bytes.begin(), bytes.end(), first);
  return bytes;
}

// Every element of 2..16 bytes is reversed end to end as one value, for counts that exercise the
// 64-bit fast paths, their tails and the byte-wise path; the bytes around the run stay put.
TEST(ElementSwap, ReversesEachWholeElementOfTwoToSixteenBytes) {
  for (uint32_t size = 2; size <= 16; ++size) {
    for (size_t count : {1u, 2u, 3u, 5u, 7u, 33u}) {
      std::vector<unsigned char> bytes = counting_bytes(size * count + 2);
      std::vector<unsigned char> expected = bytes;
      for (size_t i = 0; i < count; ++i)
        std::reverse(expected.begin() + 1 + i * size, expected.begin() + 1 + (i + 1) * size);
      swap_elements(bytes.data() + 1, size, count);
      EXPECT_EQ(bytes, expected) << "element size " << size << ", count " << count;
    }
  }
}

TEST(ElementSwap, LeavesSizesZeroOneAndAboveSixteenAlone) {
  for (uint32_t size : {0u, 1u, 17u, 64u, 255u}) {
    std::vector<unsigned char> bytes = counting_bytes(255 * 3);
    std::vector<unsigned char> before = bytes;
    swap_elements(bytes.data(), size, 3);
    EXPECT_EQ(bytes, before) << "element size " << size;
  }
}

TEST(ElementSwap, FastPathsWorkAtAnyAlignment) {
  for (uint32_t size : {2u, 4u, 8u}) {
    for (size_t misalign = 0; misalign < 8; ++misalign) {
      std::vector<unsigned char> bytes = counting_bytes(misalign + size * 9);
      std::vector<unsigned char> expected = bytes;
      for (size_t i = 0; i < 9; ++i)
        std::reverse(expected.begin() + misalign + i * size,
                     expected.begin() + misalign + (i + 1) * size);
      swap_elements(bytes.data() + misalign, size, 9);
      EXPECT_EQ(bytes, expected) << "size " << size << " at +" << misalign;
    }
  }
}

}  // namespace
}  // namespace efi
