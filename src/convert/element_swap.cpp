#include "convert/element_swap.h"

#include <atomic>
#include <cstring>
#include <utility>

#if (defined(__x86_64__) || defined(__i386__)) && defined(__GNUC__)
#define EFI_X86_KERNELS 1
#include <cpuid.h>
#include <immintrin.h>
#endif

namespace efi {
namespace {

// ---- Portable routines: any target, and the short arrays of the vector levels.

#if defined(__GNUC__)
uint16_t bswap16(uint16_t x) { return __builtin_bswap16(x); }
uint32_t bswap32(uint32_t x) { return __builtin_bswap32(x); }
uint64_t bswap64(uint64_t x) { return __builtin_bswap64(x); }
#else
uint16_t bswap16(uint16_t x) { return static_cast<uint16_t>((x << 8) | (x >> 8)); }
uint32_t bswap32(uint32_t x) {
  x = ((x & 0x00FF00FFu) << 8) | ((x >> 8) & 0x00FF00FFu);
  return (x << 16) | (x >> 16);
}
uint64_t bswap64(uint64_t x) {
  return (uint64_t{bswap32(static_cast<uint32_t>(x))} << 32) | bswap32(static_cast<uint32_t>(x >> 32));
}
#endif

// Within a 64-bit word: the bytes of every 16-bit lane, or of every 32-bit lane, reversed.
uint64_t reverse_lanes16(uint64_t x) {
  return ((x & 0x00FF00FF00FF00FFull) << 8) | ((x >> 8) & 0x00FF00FF00FF00FFull);
}
uint64_t reverse_lanes32(uint64_t x) {
  x = reverse_lanes16(x);
  return ((x & 0x0000FFFF0000FFFFull) << 16) | ((x >> 16) & 0x0000FFFF0000FFFFull);
}

template <class T>
T load(const unsigned char* p) {
  T x;
  std::memcpy(&x, p, sizeof x);
  return x;
}
template <class T>
void store(unsigned char* p, T x) {
  std::memcpy(p, &x, sizeof x);
}

// One element of S bytes. Reversed, an element's first W bytes are its last W bytes backwards and
// its last W bytes its first W backwards; with W = 8 (or 4, or 2) two overlapping word moves cover
// every size from 9 to 16 (5 to 8, 3 to 4) without a byte loop.
template <uint32_t S>
void reverse_element(unsigned char* p) {
  if constexpr (S == 2) {
    store(p, bswap16(load<uint16_t>(p)));
  } else if constexpr (S == 4) {
    store(p, bswap32(load<uint32_t>(p)));
  } else if constexpr (S == 8) {
    store(p, bswap64(load<uint64_t>(p)));
  } else if constexpr (S > 8) {
    uint64_t head = load<uint64_t>(p), tail = load<uint64_t>(p + S - 8);
    store(p + S - 8, bswap64(head));
    store(p, bswap64(tail));
  } else if constexpr (S > 4) {
    uint32_t head = load<uint32_t>(p), tail = load<uint32_t>(p + S - 4);
    store(p + S - 4, bswap32(head));
    store(p, bswap32(tail));
  } else {
    std::swap(p[0], p[S - 1]);
  }
}

template <uint32_t S>
void swap_each(unsigned char* p, size_t count) {
  for (size_t i = 0; i < count; ++i, p += S) reverse_element<S>(p);
}

// Elements of 2, 4 or 8 bytes, a 64-bit word at a time. The last word is read before any store
// and written last, overlapping the words before it, so no element is left for a tail loop.
template <uint32_t S>
uint64_t reverse_word_lanes(uint64_t x) {
  if constexpr (S == 2) return reverse_lanes16(x);
  if constexpr (S == 4) return reverse_lanes32(x);
  if constexpr (S == 8) return bswap64(x);
}

template <uint32_t S>
void swap_words(unsigned char* p, size_t count) {
  const size_t bytes = count * S;
  if (bytes < 8) return swap_each<S>(p, count);
  const uint64_t last = load<uint64_t>(p + bytes - 8);
  for (size_t i = 0; i + 8 <= bytes; i += 8) store(p + i, reverse_word_lanes<S>(load<uint64_t>(p + i)));
  store(p + bytes - 8, reverse_word_lanes<S>(last));
}

template <uint32_t S>
void swap_portable(unsigned char* p, size_t count) {
  if constexpr (S == 2 || S == 4 || S == 8)
    swap_words<S>(p, count);
  else
    swap_each<S>(p, count);
}

template <template <uint32_t> class Routine, uint32_t S>
constexpr ElementSwap routine_for() {
  if constexpr (S < 2)
    return nullptr;
  else
    return &Routine<S>::run;
}
template <template <uint32_t> class Routine, uint32_t... S>
constexpr std::array<ElementSwap, sizeof...(S)> routines_by_size(std::integer_sequence<uint32_t, S...>) {
  return {routine_for<Routine, S>()...};
}
template <template <uint32_t> class Routine>
constexpr std::array<ElementSwap, LARGEST_SWAPPED_ELEMENT + 1> routines_by_size() {
  return routines_by_size<Routine>(std::make_integer_sequence<uint32_t, LARGEST_SWAPPED_ELEMENT + 1>{});
}

template <uint32_t S>
struct Portable {
  static void run(unsigned char* p, size_t count) { swap_portable<S>(p, count); }
};

constexpr ElementSwaps PORTABLE{SwapLevel::portable, routines_by_size<Portable>()};

#ifdef EFI_X86_KERNELS
// ---- x86 vector routines. Each is compiled for its instruction set and only called once the
// processor has been seen to support it.
//
// An array of n elements of S bytes is walked in windows of V bytes (64, 32 or 16: the widest
// that the array fills). A window that starts at an element reverses its W = V / S whole elements
// and leaves its last V mod S bytes as they were, so windows step by W x S bytes and each loads
// the next window before it stores, reading the bytes it leaves before they are written. The
// last window ends at the array's end: it is loaded before any store, and written last, only where
// it holds whole elements. Nothing outside the array is read or written, and no element is done
// one by one unless the whole array is shorter than 16 bytes.

#define EFI_TARGET_AVX2 __attribute__((target("avx2"), always_inline)) inline
#define EFI_TARGET_AVX512 \
  __attribute__((target("avx512f,avx512bw,avx512vl,avx512vbmi"), always_inline)) inline

// Window of V bytes starting at an element: byte i takes byte pattern[i] of the window.
template <uint32_t S, uint32_t V>
struct Patterns {
  static constexpr uint32_t W = V / S;
  static constexpr uint32_t STEP = W * S;
  static constexpr uint32_t REST = V - STEP;  // bytes of a partial element in each window

  static constexpr std::array<uint8_t, V> from_start() {
    std::array<uint8_t, V> p{};
    for (uint32_t i = 0; i < V; ++i) p[i] = static_cast<uint8_t>(i < STEP ? i - i % S + (S - 1 - i % S) : i);
    return p;
  }
  // Window that ends at an element boundary: the whole elements are its last STEP bytes.
  static constexpr std::array<uint8_t, V> from_end() {
    std::array<uint8_t, V> p{};
    for (uint32_t i = 0; i < V; ++i) {
      uint32_t j = i - REST;
      p[i] = static_cast<uint8_t>(i < REST ? i : REST + j - j % S + (S - 1 - j % S));
    }
    return p;
  }
  alignas(64) static constexpr std::array<uint8_t, V> START = from_start();
  alignas(64) static constexpr std::array<uint8_t, V> END = from_end();
  // Byte mask of the whole elements of an end window.
  static constexpr uint64_t END_MASK = (V == 64 ? ~uint64_t{0} : (uint64_t{1} << V) - 1) & ~((uint64_t{1} << REST) - 1);
};

// Vector operations of one width. `reorder` puts byte pattern[i] at byte i: within 16-byte lanes
// for the AVX2 types (enough for element sizes that divide 16), across the whole vector for the
// AVX-512 ones (in the zero-masking form with every byte selected: the unmasked intrinsic trips a
// false uninitialised-value warning of GCC 12).
struct Avx2x32 {
  using V = __m256i;
  static constexpr uint32_t WIDTH = 32;
  static EFI_TARGET_AVX2 V load(const unsigned char* p) { return _mm256_loadu_si256(reinterpret_cast<const V*>(p)); }
  static EFI_TARGET_AVX2 void store(unsigned char* p, V x) { _mm256_storeu_si256(reinterpret_cast<V*>(p), x); }
  static EFI_TARGET_AVX2 V pattern(const uint8_t* p) { return _mm256_broadcastsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p))); }
  static EFI_TARGET_AVX2 V reorder(V pattern, V x) { return _mm256_shuffle_epi8(x, pattern); }
};
struct Avx2x16 {
  using V = __m128i;
  static constexpr uint32_t WIDTH = 16;
  static EFI_TARGET_AVX2 V load(const unsigned char* p) { return _mm_loadu_si128(reinterpret_cast<const V*>(p)); }
  static EFI_TARGET_AVX2 void store(unsigned char* p, V x) { _mm_storeu_si128(reinterpret_cast<V*>(p), x); }
  static EFI_TARGET_AVX2 V pattern(const uint8_t* p) { return load(p); }
  static EFI_TARGET_AVX2 V reorder(V pattern, V x) { return _mm_shuffle_epi8(x, pattern); }
};
struct Avx512x64 {
  using V = __m512i;
  static constexpr uint32_t WIDTH = 64;
  static EFI_TARGET_AVX512 V load(const unsigned char* p) { return _mm512_loadu_si512(p); }
  static EFI_TARGET_AVX512 void store(unsigned char* p, V x) { _mm512_storeu_si512(p, x); }
  static EFI_TARGET_AVX512 void store_masked(unsigned char* p, uint64_t mask, V x) { _mm512_mask_storeu_epi8(p, mask, x); }
  static EFI_TARGET_AVX512 V pattern(const uint8_t* p) { return load(p); }
  static EFI_TARGET_AVX512 V reorder(V pattern, V x) { return _mm512_maskz_permutexvar_epi8(~__mmask64{0}, pattern, x); }
};
struct Avx512x32 {
  using V = __m256i;
  static constexpr uint32_t WIDTH = 32;
  static EFI_TARGET_AVX512 V load(const unsigned char* p) { return _mm256_loadu_si256(reinterpret_cast<const V*>(p)); }
  static EFI_TARGET_AVX512 void store(unsigned char* p, V x) { _mm256_storeu_si256(reinterpret_cast<V*>(p), x); }
  static EFI_TARGET_AVX512 void store_masked(unsigned char* p, uint64_t mask, V x) { _mm256_mask_storeu_epi8(p, static_cast<__mmask32>(mask), x); }
  static EFI_TARGET_AVX512 V pattern(const uint8_t* p) { return load(p); }
  static EFI_TARGET_AVX512 V reorder(V pattern, V x) { return _mm256_maskz_permutexvar_epi8(~__mmask32{0}, pattern, x); }
};
struct Avx512x16 {
  using V = __m128i;
  static constexpr uint32_t WIDTH = 16;
  static EFI_TARGET_AVX512 V load(const unsigned char* p) { return _mm_loadu_si128(reinterpret_cast<const V*>(p)); }
  static EFI_TARGET_AVX512 void store(unsigned char* p, V x) { _mm_storeu_si128(reinterpret_cast<V*>(p), x); }
  static EFI_TARGET_AVX512 void store_masked(unsigned char* p, uint64_t mask, V x) { _mm_mask_storeu_epi8(p, static_cast<__mmask16>(mask), x); }
  static EFI_TARGET_AVX512 V pattern(const uint8_t* p) { return load(p); }
  static EFI_TARGET_AVX512 V reorder(V pattern, V x) { return _mm_maskz_permutexvar_epi8(~__mmask16{0}, pattern, x); }
};

// The two window walks, compiled once for each instruction set (the vector operations they call
// must be inlined into a function of the same target).
namespace avx2 {
#define EFI_WALK_TARGET EFI_TARGET_AVX2
#include "convert/element_windows.inc"
#undef EFI_WALK_TARGET
}  // namespace avx2
namespace avx512 {
#define EFI_WALK_TARGET EFI_TARGET_AVX512
#include "convert/element_windows.inc"
#undef EFI_WALK_TARGET
}  // namespace avx512

template <uint32_t S>
EFI_TARGET_AVX2 void swap_avx2(unsigned char* p, size_t count) {
  const size_t bytes = count * S;
  if (bytes >= 32) {
    if (reinterpret_cast<uintptr_t>(p) % S == 0) return avx2::swap_aligned<S, Avx2x32>(p, bytes);
    return avx2::swap_windows<S, Avx2x32>(p, bytes);
  }
  if (bytes >= 16) return avx2::swap_windows<S, Avx2x16>(p, bytes);
  swap_portable<S>(p, count);
}

template <uint32_t S>
EFI_TARGET_AVX512 void swap_avx512(unsigned char* p, size_t count) {
  const size_t bytes = count * S;
  if (bytes >= 64) {
    if constexpr (64 % S == 0)
      if (reinterpret_cast<uintptr_t>(p) % S == 0) return avx512::swap_aligned<S, Avx512x64>(p, bytes);
    return avx512::swap_windows<S, Avx512x64>(p, bytes);
  }
  if (bytes >= 32) return avx512::swap_windows<S, Avx512x32>(p, bytes);
  if (bytes >= 16) return avx512::swap_windows<S, Avx512x16>(p, bytes);
  swap_portable<S>(p, count);
}

// The routines the tables hold, each of its level's target so that the walk inlines into it.
template <uint32_t S>
struct Avx2 {
  // 16-byte lanes hold whole elements only for sizes that divide 16.
  __attribute__((target("avx2"))) static void run(unsigned char* p, size_t count) {
    if constexpr (16 % S == 0)
      swap_avx2<S>(p, count);
    else
      swap_portable<S>(p, count);
  }
};
template <uint32_t S>
struct Avx512 {
  __attribute__((target("avx512f,avx512bw,avx512vl,avx512vbmi"))) static void run(unsigned char* p, size_t count) {
    swap_avx512<S>(p, count);
  }
};

constexpr ElementSwaps AVX2{SwapLevel::avx2, routines_by_size<Avx2>()};
constexpr ElementSwaps AVX512{SwapLevel::avx512, routines_by_size<Avx512>()};

uint64_t enabled_register_state() {
  uint32_t low, high;
  __asm__ volatile("xgetbv" : "=a"(low), "=d"(high) : "c"(0));
  return (uint64_t{high} << 32) | low;
}

// cpuid and the register state the system saves, read directly: the compiler's own feature
// check runs a constructor while a library loads, and reads far more than needed.
SwapLevel detect_level() {
  unsigned a, b, c, d;
  if (!__get_cpuid(1, &a, &b, &c, &d)) return SwapLevel::portable;
  if (!(c & bit_OSXSAVE) || !(c & bit_AVX)) return SwapLevel::portable;
  const uint64_t state = enabled_register_state();
  constexpr uint64_t YMM_STATE = 0x6, ZMM_STATE = 0xE6;
  if ((state & YMM_STATE) != YMM_STATE || __get_cpuid_max(0, nullptr) < 7) return SwapLevel::portable;
  __cpuid_count(7, 0, a, b, c, d);
  if (!(b & bit_AVX2)) return SwapLevel::portable;
  const bool avx512 = (b & bit_AVX512F) && (b & bit_AVX512BW) && (b & bit_AVX512VL) && (c & bit_AVX512VBMI);
  return avx512 && (state & ZMM_STATE) == ZMM_STATE ? SwapLevel::avx512 : SwapLevel::avx2;
}
#else
SwapLevel detect_level() { return SwapLevel::portable; }
#endif

const ElementSwaps* level_routines(SwapLevel level) {
  switch (level) {
    case SwapLevel::portable:
      return &PORTABLE;
#ifdef EFI_X86_KERNELS
    case SwapLevel::avx2:
      return &AVX2;
    case SwapLevel::avx512:
      return &AVX512;
#endif
    default:
      return nullptr;
  }
}

// Null until the first conversion. Two threads converting at once may both detect; they store the
// same answer.
std::atomic<const ElementSwaps*> chosen{nullptr};

// The best level detected, once.
std::atomic<int> detected{-1};
SwapLevel best_level() {
  int level = detected.load(std::memory_order_relaxed);
  if (level < 0) {
    level = static_cast<int>(detect_level());
    detected.store(level, std::memory_order_relaxed);
  }
  return static_cast<SwapLevel>(level);
}

template <uint32_t S>
uint32_t round_up(uint32_t offset) {
  return offset + (S - offset % S) % S;
}
template <uint32_t... S>
constexpr std::array<uint32_t (*)(uint32_t), sizeof...(S)> round_ups(std::integer_sequence<uint32_t, S...>) {
  return {(S == 0 ? nullptr : &round_up<S == 0 ? 1 : S>)...};
}
constexpr auto ROUND_UPS = round_ups(std::make_integer_sequence<uint32_t, 256>{});

}  // namespace

const ElementSwaps& element_swaps() {
  const ElementSwaps* routines = chosen.load(std::memory_order_acquire);
  if (!routines) {
    routines = level_routines(best_level());
    chosen.store(routines, std::memory_order_release);
  }
  return *routines;
}

const ElementSwaps* element_swaps_at(SwapLevel level) {
  return level <= best_level() ? level_routines(level) : nullptr;
}

SwapLevel select_swap_level(SwapLevel level) {
  const SwapLevel previous = element_swaps().level;
  if (const ElementSwaps* routines = element_swaps_at(level)) chosen.store(routines, std::memory_order_release);
  return previous;
}

uint32_t round_up_to_odd_element(uint32_t offset, uint32_t element_size) { return ROUND_UPS[element_size](offset); }

}  // namespace efi
