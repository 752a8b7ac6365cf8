#include "convert/byte_order.h"

#include "protocol/headers.h"

#include <efilink/efilink.h>

#include <algorithm>
#include <array>
#include <utility>

#include "convert/element_swap.h"

namespace efi {
namespace {

void reverse2(unsigned char* p) { std::swap(p[0], p[1]); }

void reverse4(unsigned char* p) {
  std::swap(p[0], p[3]);
  std::swap(p[1], p[2]);
}

// Which arrays a placement walk visits: the descriptor offset, element size and count, and the
// element area's offset from the start of the structure.
struct PlacedArray {
  uint32_t descriptor;
  uint32_t element_size;
  uint32_t element_count;
  uint64_t offset;
};

uint32_t element_count_at(const unsigned char* data, uint32_t k) {
  return data[k + 1] * 256u + data[k + 2];
}

// The placement rule, shared by PlaceArrayData and the response swap so that both agree on
// every byte: arrays in descriptor order, each at the next multiple of its element size counted
// from the data-area start; empty arrays take no room; a zero element size, or a descriptor
// outside the buffer, ends the walk. Full-width arithmetic throughout.
template <class Visit>
uint32_t walk_placement(const Layout& layout, const unsigned char* data, size_t size,
                        Visit&& visit) {
  // 32 bits hold any walk: at most LAYOUT_MAX_ITEMS arrays of 255 x 65535 bytes plus rounding.
  static_assert(uint64_t{LAYOUT_MAX_ITEMS} * (255u * 65535u + 255u) + 0xFFFFu <
                (uint64_t{1} << 32));
  uint32_t o = 0;
  uint32_t pending = 0;
  for (uint16_t k : layout.arrays) {
    if (array_pointer_word(k) + 4u > size) return STATUS_TS_BAD_ARRAY;
    uint32_t n = element_count_at(data, k);
    if (n == 0) {
      pending = STATUS_TS_EMPTY_ARRAY;
      continue;
    }
    uint32_t s = data[k];
    if (s == 0) return STATUS_TS_BAD_ARRAY;
    o = round_up_to_element(o, s);
    visit(PlacedArray{k, s, n, uint64_t{layout.data_start} + o});
    o += s * n;
  }
  if (uint64_t{layout.data_start} + o > TS_MAX_TRANSFERSTRUCTS_SIZE) return STATUS_TS_BAD_ARRAY;
  return pending;
}

bool swaps(uint32_t element_size) { return element_size >= 2 && element_size <= LARGEST_SWAPPED_ELEMENT; }

// The elements of one array, whose place has been checked against the buffer.
void swap_array(const ElementSwaps& routines, unsigned char* elements, uint32_t element_size, size_t count) {
  routines.by_size[element_size](elements, count);
}

void swap_fields(const Layout& layout, unsigned char* data, size_t size) {
  for (uint16_t k : layout.words)
    if (k + 2u <= size) reverse2(data + k);
  for (uint16_t k : layout.longs)
    if (k + 4u <= size) reverse4(data + k);
}

// Whether a placed array is swapped: elements of 2 to 16 bytes, lying wholly inside the buffer.
bool swaps_placed(const PlacedArray& a, size_t size) {
  return swaps(a.element_size) && a.offset + uint64_t{a.element_size} * a.element_count <= size;
}

void swap_placed_arrays(const Layout& layout, unsigned char* data, size_t size) {
  const ElementSwaps& routines = element_swaps();
  walk_placement(layout, data, size, [&](const PlacedArray& a) {
    if (!swaps_placed(a, size)) return;
    if (load_u32(data + array_pointer_word(a.descriptor)) != elements_word(data, a.offset)) return;
    swap_array(routines, data + a.offset, a.element_size, a.element_count);
  });
}

void swap_followed_arrays(const Layout& layout, unsigned char* data, size_t size) {
  // Element areas already walked; refusing overlaps keeps the swap its own inverse whatever the
  // words say.
  struct Span {
    uint64_t first, end;
  };
  std::array<Span, LAYOUT_MAX_ITEMS> walked{};
  size_t walked_count = 0;
  const ElementSwaps& routines = element_swaps();
  const uint64_t fixed = layout.fixed_size();
  for (uint16_t k : layout.arrays) {
    if (array_pointer_word(k) + 4u > size) continue;
    uint32_t s = data[k];
    uint32_t n = element_count_at(data, k);
    if (!swaps(s) || n == 0) continue;
    uint64_t first = elements_offset(data, load_u32(data + array_pointer_word(k)));
    uint64_t end = first + uint64_t{s} * n;
    if (first < fixed || end > size) continue;
    bool clear = std::none_of(walked.begin(), walked.begin() + walked_count,
                              [&](const Span& w) { return first < w.end && w.first < end; });
    if (!clear) continue;
    walked[walked_count++] = {first, end};
    swap_array(routines, data + first, s, n);
  }
}

}  // namespace

uint32_t elements_word(const unsigned char* structure, uint64_t offset) {
  if constexpr (sizeof(void*) > 4) {
    return static_cast<uint32_t>(offset);
  } else {
    return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(structure) + offset);
  }
}

uint64_t elements_offset(const unsigned char* structure, uint32_t word) {
  if constexpr (sizeof(void*) > 4) {
    return word;
  } else {
    return static_cast<uint32_t>(word -
                                 static_cast<uint32_t>(reinterpret_cast<uintptr_t>(structure)));
  }
}

void swap_elements(unsigned char* elements, uint32_t element_size, size_t count) {
  if (swaps(element_size)) swap_array(element_swaps(), elements, element_size, count);
}

void SwapStructureByteOrder(const Layout& layout, unsigned char* data, size_t size,
                            ArrayWalk walk) {
  const Layout& effective = effective_layout(layout, data, size);
  swap_fields(effective, data, size);
  if (walk == ArrayWalk::placed_only)
    swap_placed_arrays(effective, data, size);
  else
    swap_followed_arrays(effective, data, size);
}

uint32_t PlaceArrayData(const Layout& layout, unsigned char* data, size_t size) {
  const Layout& effective = effective_layout(layout, data, size);
  return walk_placement(effective, data, size, [&](const PlacedArray& a) {
    store_u32(data + array_pointer_word(a.descriptor), elements_word(data, a.offset));
  });
}

uint32_t place_and_swap(const Layout& layout, unsigned char* data, size_t size) {
  const Layout& effective = effective_layout(layout, data, size);
  const ElementSwaps& routines = element_swaps();
  // Fields first, as the two separate operations would leave them; placement never reads them.
  swap_fields(effective, data, size);
  return walk_placement(effective, data, size, [&](const PlacedArray& a) {
    store_u32(data + array_pointer_word(a.descriptor), elements_word(data, a.offset));
    if (swaps_placed(a, size)) swap_array(routines, data + a.offset, a.element_size, a.element_count);
  });
}

}  // namespace efi
