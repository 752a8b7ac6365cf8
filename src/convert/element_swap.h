#pragma once

// Reversal of array elements between host and unit order: one routine per element size, for each
// instruction-set level this build knows, and the level the processor runs picked once per
// process, on the first conversion (never while a library loads).

#include <array>
#include <cstddef>
#include <cstdint>

namespace efi {

// Reverses each of `count` elements at `elements`; the element size is the routine's own.
using ElementSwap = void (*)(unsigned char* elements, size_t count);

// Best last. `portable` runs anywhere; the others exist on x86 builds only.
enum class SwapLevel : uint8_t {
  portable,
  avx2,    // 32-byte byte shuffles: elements of 2, 4, 8 and 16 bytes
  avx512,  // 64-byte byte permutes (AVX-512 VBMI): every element size from 2 to 16
};

// Element sizes above this are carried as they are.
inline constexpr uint32_t LARGEST_SWAPPED_ELEMENT = 16;

struct ElementSwaps {
  SwapLevel level;
  // Indexed by element size; null for 0 and 1, which are carried as they are.
  std::array<ElementSwap, LARGEST_SWAPPED_ELEMENT + 1> by_size;
};

// The routines of the best level this processor supports. The first call detects it.
const ElementSwaps& element_swaps();

// The routines of `level`, or null when this build or this processor lacks it.
const ElementSwaps* element_swaps_at(SwapLevel level);

// Makes element_swaps() return the routines of `level` from now on (it must be available), so
// that tests and benchmarks can run every level on one machine. Returns the previous level.
SwapLevel select_swap_level(SwapLevel level);

// `offset` rounded up to a multiple of an element size that is not a power of two (3 to 255),
// through a routine per size so that no division by a run-time value is made.
uint32_t round_up_to_odd_element(uint32_t offset, uint32_t element_size);

// `offset` rounded up to a multiple of `element_size` (1 to 255). Inline: the placement walk
// runs it once per array, on the chain of offsets that each array's place depends on.
inline uint32_t round_up_to_element(uint32_t offset, uint32_t element_size) {
  if ((element_size & (element_size - 1)) == 0) return (offset + element_size - 1) & ~(element_size - 1);
  return round_up_to_odd_element(offset, element_size);
}

}  // namespace efi
