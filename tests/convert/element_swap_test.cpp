#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <numeric>
#include <vector>

#include "convert/byte_order.h"
#include "convert/element_swap.h"

namespace efi {
namespace {

std::vector<const ElementSwaps*> available_levels() {
  std::vector<const ElementSwaps*> levels;
  for (SwapLevel level : {SwapLevel::portable, SwapLevel::avx2, SwapLevel::avx512})
    if (const ElementSwaps* routines = element_swaps_at(level)) levels.push_back(routines);
  return levels;
}

// Every level this processor runs, every element size from 2 to 16, counts that leave each
// window width (16, 32, 64 bytes) with and without a partial last window, at every offset within
// a 64-byte line: each element is reversed end to end as one value. The heap block ends where the
// array does, so a read past it faults under ASan; the bytes before the array must stay put.
TEST(ElementSwap, EveryLevelReversesEachWholeElementAtAnyOffset) {
  for (const ElementSwaps* routines : available_levels()) {
    for (uint32_t size = 2; size <= LARGEST_SWAPPED_ELEMENT; ++size) {
      for (size_t count : {1u, 2u, 3u, 5u, 7u, 9u, 13u, 21u, 33u, 70u, 255u}) {
        for (size_t offset = 0; offset < 64; ++offset) {
          const size_t bytes = size * count, total = offset + bytes;
          std::unique_ptr<unsigned char[]> block(new unsigned char[total]);
          std::iota(block.get(), block.get() + total, static_cast<unsigned char>(size * 7 + count));
          std::vector<unsigned char> expected(block.get(), block.get() + total);
          for (size_t i = 0; i < count; ++i)
            std::reverse(expected.begin() + offset + i * size, expected.begin() + offset + (i + 1) * size);
          routines->by_size[size](block.get() + offset, count);
          ASSERT_EQ(std::vector<unsigned char>(block.get(), block.get() + total), expected)
              << "level " << int(routines->level) << ", element size " << size << ", count " << count
              << ", offset " << offset;
        }
      }
    }
  }
}

TEST(ElementSwap, LeavesSizesZeroOneAndAboveSixteenAlone) {
  for (uint32_t size : {0u, 1u, 17u, 64u, 255u}) {
    std::vector<unsigned char> bytes(255 * 3);
    std::iota(bytes.begin(), bytes.end(), 1);
    std::vector<unsigned char> before = bytes;
    swap_elements(bytes.data(), size, 3);
    EXPECT_EQ(bytes, before) << "element size " << size;
  }
}

}  // namespace
}  // namespace efi
