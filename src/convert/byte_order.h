#pragma once

// The two operations every layout has: the byte swap between host order and unit order, and the
// placement of array data in a received structure. Both are stateless, work in place, and never
// read or write outside `data[0..size)`.

#include <cstddef>
#include <cstdint>

#include "convert/layouts.h"

namespace efi {

// Which arrays a swap walks.
enum class ArrayWalk {
  // Command data: the host laid the arrays out and set every `elements` word; follow each word,
  // but only to an element area that lies after the fixed part, inside `size`, and clear of the
  // arrays already walked.
  follow_elements,
  // Response data: only the arrays that PlaceArrayData sets, whose `elements` word still holds
  // the placed value, and whose elements lie wholly inside `size`.
  placed_only,
};

// Reverses every converted field that lies inside `size`, then the elements (2 to 16 bytes each)
// of the arrays chosen by `walk`. Never changes element_size, element_count, `elements` or the
// kind byte, so applying it twice restores the structure.
void SwapStructureByteOrder(const Layout& layout, unsigned char* data, size_t size, ArrayWalk walk);

// Sets each non-empty array's `elements` word to its place in this structure's data area and
// checks the 4088-byte limit. Returns 0, STATUS_TS_EMPTY_ARRAY or STATUS_TS_BAD_ARRAY. A
// descriptor that does not lie wholly inside `size` ends placement like a zero element size.
uint32_t PlaceArrayData(const Layout& layout, unsigned char* data, size_t size);

// A response's placement and swap in one walk over its arrays: the same bytes and result as
// PlaceArrayData followed by SwapStructureByteOrder with ArrayWalk::placed_only.
uint32_t place_and_swap(const Layout& layout, unsigned char* data, size_t size);

// Reverses each of `count` elements of `element_size` bytes at `elements`; sizes 0, 1 and
// 17 to 255 are left alone.
void swap_elements(unsigned char* elements, uint32_t element_size, size_t count);

// The `elements` word for an element area at byte `offset` of the structure at `structure`:
// the offset itself on hosts with 64-bit addresses, the address on 32-bit hosts.
uint32_t elements_word(const unsigned char* structure, uint64_t offset);

// The inverse: the byte offset from `structure` that an `elements` word designates (wrapped to
// 32 bits on 32-bit hosts, so a foreign address gives a large offset).
uint64_t elements_offset(const unsigned char* structure, uint32_t word);

}  // namespace efi
