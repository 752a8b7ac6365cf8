#include "convert/byte_order.h"

#include <efilink/efilink.h>

#include <algorithm>
#include <cstring>

namespace efi {
namespace {

uint32_t load32(const unsigned char* p) {
  uint32_t value;
  std::memcpy(&value, p, 4);
  return value;
}

void store32(unsigned char* p, uint32_t value) { std::memcpy(p, &value, 4); }

void reverse2(unsigned char* p) { std::swap(p[0], p[1]); }

void reverse4(unsigned char* p) {
  std::swap(p[0], p[3]);
  std::swap(p[1], p[2]);
}

// Within each 64-bit word: exchange the bytes of every 16-bit lane, then the 16-bit halves of
// every 32-bit lane, then the two 32-bit halves. Plain shifts and masks, which compilers turn
// into vector code on any x86-64 (a byte shuffle would need SSSE3).
uint64_t reverse_lanes16(uint64_t x) {
  return ((x & 0x00FF00FF00FF00FFull) << 8) | ((x >> 8) & 0x00FF00FF00FF00FFull);
}
uint64_t reverse_lanes32(uint64_t x) {
  x = reverse_lanes16(x);
  return ((x & 0x0000FFFF0000FFFFull) << 16) | ((x >> 16) & 0x0000FFFF0000FFFFull);
}
uint64_t reverse_lanes64(uint64_t x) {
  x = reverse_lanes32(x);
  return (x << 32) | (x >> 32);
}

// Elements of 2, 4 or 8 bytes, 64 bits at a time; a tail shorter than 8 bytes holds whole
// elements of 2 or 4 bytes and is done one element at a time.
template <uint64_t (*Reverse)(uint64_t)>
void swap_words(unsigned char* p, size_t bytes) {
  size_t words = bytes / 8;
  for (size_t i = 0; i < words; ++i) {
    uint64_t x;
    std::memcpy(&x, p + i * 8, 8);
    x = Reverse(x);
    std::memcpy(p + i * 8, &x, 8);
  }
  unsigned char* tail = p + words * 8;
  size_t rest = bytes - words * 8;
  if constexpr (Reverse == reverse_lanes16) {
    for (size_t i = 0; i < rest; i += 2) reverse2(tail + i);
  } else if constexpr (Reverse == reverse_lanes32) {
    if (rest) reverse4(tail);
  }
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
  uint64_t o = 0;
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
    o += (s - o % s) % s;
    visit(PlacedArray{k, s, n, layout.data_start + o});
    o += uint64_t{s} * n;
  }
  if (layout.data_start + o > TS_MAX_TRANSFERSTRUCTS_SIZE) return STATUS_TS_BAD_ARRAY;
  return pending;
}

bool swaps(uint32_t element_size) { return element_size >= 2 && element_size <= 16; }

void swap_fields(const Layout& layout, unsigned char* data, size_t size) {
  for (uint16_t k : layout.words)
    if (k + 2u <= size) reverse2(data + k);
  for (uint16_t k : layout.longs)
    if (k + 4u <= size) reverse4(data + k);
}

void swap_placed_arrays(const Layout& layout, unsigned char* data, size_t size) {
  walk_placement(layout, data, size, [&](const PlacedArray& a) {
    if (!swaps(a.element_size)) return;
    if (load32(data + array_pointer_word(a.descriptor)) != elements_word(data, a.offset)) return;
    uint64_t bytes = uint64_t{a.element_size} * a.element_count;
    if (a.offset + bytes > size) return;
    swap_elements(data + a.offset, a.element_size, a.element_count);
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
  const uint64_t fixed = layout.fixed_size();
  for (uint16_t k : layout.arrays) {
    if (array_pointer_word(k) + 4u > size) continue;
    uint32_t s = data[k];
    uint32_t n = element_count_at(data, k);
    if (!swaps(s) || n == 0) continue;
    uint64_t first = elements_offset(data, load32(data + array_pointer_word(k)));
    uint64_t end = first + uint64_t{s} * n;
    if (first < fixed || end > size) continue;
    bool clear = std::none_of(walked.begin(), walked.begin() + walked_count,
                              [&](const Span& w) { return first < w.end && w.first < end; });
    if (!clear) continue;
    walked[walked_count++] = {first, end};
    swap_elements(data + first, s, n);
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
  switch (element_size) {
    case 2:
      swap_words<reverse_lanes16>(elements, count * 2);
      return;
    case 4:
      swap_words<reverse_lanes32>(elements, count * 4);
      return;
    case 8:
      swap_words<reverse_lanes64>(elements, count * 8);
      return;
    default:
      if (!swaps(element_size)) return;
      for (size_t i = 0; i < count; ++i, elements += element_size)
        std::reverse(elements, elements + element_size);
  }
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
    store32(data + array_pointer_word(a.descriptor), elements_word(data, a.offset));
  });
}

}  // namespace efi
