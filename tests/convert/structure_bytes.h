#pragma once

// Building and reading transfer structures byte by byte in the conversion tests.

#include <cstdint>
#include <cstring>
#include <vector>

#include "convert/byte_order.h"
#include "convert/layouts.h"

namespace efi::test {

using Bytes = std::vector<unsigned char>;

inline void set_descriptor(Bytes& b, uint32_t k, uint8_t element_size, uint16_t count) {
  b[k] = element_size;
  b[k + 1] = static_cast<unsigned char>(count >> 8);
  b[k + 2] = static_cast<unsigned char>(count & 0xFF);
}

inline uint32_t word_at(const Bytes& b, uint32_t k) {
  uint32_t word;
  std::memcpy(&word, b.data() + array_pointer_word(k), 4);
  return word;
}

// Byte offset from the structure's start that the descriptor at k designates.
inline uint64_t placed_at(const Bytes& b, uint32_t k) {
  return elements_offset(b.data(), word_at(b, k));
}

// Points the descriptor at k to byte `offset` of its own structure, as a host does.
inline void set_offset(Bytes& b, uint32_t k, uint64_t offset) {
  uint32_t word = elements_word(b.data(), offset);
  std::memcpy(b.data() + array_pointer_word(k), &word, 4);
}

// Fills every `elements` word of `layout` with `value`, to see which ones an operation writes.
inline void fill_words(Bytes& b, const Layout& layout, unsigned char value) {
  for (uint16_t k : layout.arrays) std::memset(b.data() + array_pointer_word(k), value, 4);
}

inline Bytes patterned(size_t n) {
  Bytes b(n);
  for (size_t i = 0; i < n; ++i) b[i] = static_cast<unsigned char>(0x40 + i);
  return b;
}

}  // namespace efi::test
