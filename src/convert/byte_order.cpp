#include "convert/byte_order.h"

#include "protocol/headers.h"

#include <efilink/efilink.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <utility>

#if (defined(__x86_64__) || defined(__i386__)) && defined(__GNUC__)
#include <immintrin.h>
#endif

namespace efi {
namespace {

void reverse2(unsigned char* p) { std::swap(p[0], p[1]); }

void reverse4(unsigned char* p) {
  std::swap(p[0], p[3]);
  std::swap(p[1], p[2]);
}

// Within each 64-bit word: exchange the bytes of every 16-bit lane, then the 16-bit halves of
// every 32-bit lane, then the two 32-bit halves. Shifts and masks only, so any target runs it
// well; it is the path for tails and for hosts without the vector path below.
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

uint32_t reverse32(uint32_t x) {
  x = ((x & 0x00FF00FFu) << 8) | ((x >> 8) & 0x00FF00FFu);
  return (x << 16) | (x >> 16);
}

// Any element size known at compile time. Reversed, an element's first W bytes are its last W
// bytes backwards and its last W bytes its first W backwards; with W = 8 (or 4) two overlapping
// word moves cover every size from 9 to 16 (or 5 to 8) without a byte loop.
template <uint32_t S>
void swap_fixed(unsigned char* p, size_t count) {
  for (size_t i = 0; i < count; ++i, p += S) {
    if constexpr (S > 8) {
      uint64_t head, tail;
      std::memcpy(&head, p, 8);
      std::memcpy(&tail, p + S - 8, 8);
      head = reverse_lanes64(head);
      tail = reverse_lanes64(tail);
      std::memcpy(p + S - 8, &head, 8);
      std::memcpy(p, &tail, 8);
    } else if constexpr (S > 4) {
      uint32_t head, tail;
      std::memcpy(&head, p, 4);
      std::memcpy(&tail, p + S - 4, 4);
      head = reverse32(head);
      tail = reverse32(tail);
      std::memcpy(p + S - 4, &head, 4);
      std::memcpy(p, &tail, 4);
    } else {
      for (uint32_t j = 0; j < S / 2; ++j) std::swap(p[j], p[S - 1 - j]);
    }
  }
}

// Elements of 2, 4 or 8 bytes, 64 bits at a time; the tail shorter than 8 bytes holds whole
// elements of 2 or 4 bytes.
template <uint32_t S, uint64_t (*Reverse)(uint64_t)>
void swap_words(unsigned char* p, size_t count) {
  size_t bytes = count * S;
  size_t words = bytes / 8;
  for (size_t i = 0; i < words; ++i) {
    uint64_t x;
    std::memcpy(&x, p + i * 8, 8);
    x = Reverse(x);
    std::memcpy(p + i * 8, &x, 8);
  }
  swap_fixed<S>(p + words * 8, (bytes - words * 8) / S);
}

using ElementSwap = void (*)(unsigned char*, size_t);

template <uint32_t S>
constexpr ElementSwap element_swap_for() {
  if constexpr (S == 2) return swap_words<2, reverse_lanes16>;
  if constexpr (S == 4) return swap_words<4, reverse_lanes32>;
  if constexpr (S == 8) return swap_words<8, reverse_lanes64>;
  if constexpr (S >= 2 && S <= 16 && S != 2 && S != 4 && S != 8) return swap_fixed<S>;
  return nullptr;
}

template <uint32_t... S>
constexpr std::array<ElementSwap, sizeof...(S)> make_element_swaps(
    std::integer_sequence<uint32_t, S...>) {
  return {element_swap_for<S>()...};
}

// Indexed by element size; null for sizes that are carried as they are.
constexpr std::array<ElementSwap, 17> ELEMENT_SWAPS =
    make_element_swaps(std::make_integer_sequence<uint32_t, 17>{});

#if (defined(__x86_64__) || defined(__i386__)) && defined(__GNUC__)
#define EFI_CONVERT_AVX2 1
// On x86 one byte shuffle reverses 32 bytes of 2-, 4-, 8- or 16-byte elements. It needs AVX2,
// which the baseline target lacks, so this one function is compiled for AVX2 and chosen at run
// time. Each shuffle works within 16-byte lanes, which these element sizes never straddle.
template <uint32_t S>
constexpr std::array<unsigned char, 32> reversal_pattern() {
  std::array<unsigned char, 32> pattern{};
  for (uint32_t i = 0; i < 32; ++i) {
    uint32_t lane_index = i % 16, within = i % S;
    pattern[i] = static_cast<unsigned char>(lane_index - within + (S - 1 - within));
  }
  return pattern;
}
constexpr std::array<unsigned char, 32> PATTERN2 = reversal_pattern<2>();
constexpr std::array<unsigned char, 32> PATTERN4 = reversal_pattern<4>();
constexpr std::array<unsigned char, 32> PATTERN8 = reversal_pattern<8>();
constexpr std::array<unsigned char, 32> PATTERN16 = reversal_pattern<16>();

// Returns the number of bytes done, a multiple of 32. Only whole 32-byte blocks are shuffled;
// the caller finishes the tail.
__attribute__((target("avx2"))) size_t swap_avx2(unsigned char* p, size_t bytes,
                                                 const unsigned char* pattern) {
  const __m256i shuffle = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(pattern));
  size_t i = 0;
  for (; i + 64 <= bytes; i += 64) {
    __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + i));
    __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + i + 32));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(p + i), _mm256_shuffle_epi8(a, shuffle));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(p + i + 32), _mm256_shuffle_epi8(b, shuffle));
  }
  for (; i + 32 <= bytes; i += 32) {
    __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + i));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(p + i), _mm256_shuffle_epi8(v, shuffle));
  }
  return i;
}

const bool HAVE_AVX2 = [] {
  __builtin_cpu_init();
  return __builtin_cpu_supports("avx2") != 0;
}();

const unsigned char* avx2_pattern(uint32_t element_size) {
  switch (element_size) {
    case 2:
      return PATTERN2.data();
    case 4:
      return PATTERN4.data();
    case 8:
      return PATTERN8.data();
    case 16:
      return PATTERN16.data();
    default:
      return nullptr;
  }
}
#endif

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
    // Round o up to a multiple of s; a mask for powers of two keeps division off the common path.
    o = (s & (s - 1)) == 0 ? (o + s - 1) & ~(s - 1) : o + (s - o % s) % s;
    visit(PlacedArray{k, s, n, uint64_t{layout.data_start} + o});
    o += s * n;
  }
  if (uint64_t{layout.data_start} + o > TS_MAX_TRANSFERSTRUCTS_SIZE) return STATUS_TS_BAD_ARRAY;
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
    if (load_u32(data + array_pointer_word(a.descriptor)) != elements_word(data, a.offset)) return;
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
    uint64_t first = elements_offset(data, load_u32(data + array_pointer_word(k)));
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
  if (element_size >= ELEMENT_SWAPS.size() || !ELEMENT_SWAPS[element_size]) return;
#ifdef EFI_CONVERT_AVX2
  if (const unsigned char* pattern = avx2_pattern(element_size); pattern && HAVE_AVX2) {
    // Blocks that straddle cache lines cost twice; when whole elements reach a 32-byte
    // boundary, do those first so that the blocks are aligned.
    size_t head = (32 - reinterpret_cast<uintptr_t>(elements) % 32) % 32;
    if (head % element_size == 0 && head / element_size <= count) {
      ELEMENT_SWAPS[element_size](elements, head / element_size);
      elements += head;
      count -= head / element_size;
    }
    size_t done = swap_avx2(elements, count * element_size, pattern);
    elements += done;
    count -= done / element_size;
  }
#endif
  ELEMENT_SWAPS[element_size](elements, count);
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

}  // namespace efi
