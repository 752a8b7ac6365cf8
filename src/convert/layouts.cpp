#include "convert/layouts.h"

namespace efi {
namespace {

// What one kind adds to the common part of a KindedRecord_TS, from offset 64 on.
struct KindPart {
  OffsetList kinds;
  OffsetList words;
  OffsetList longs;
  OffsetList arrays;
  uint16_t data_start;
};

// Kinds that are not listed (0, 2, 11, 12, 21, 25, 29, 40, and 43..255) have no part of their own.
constexpr KindPart KIND_PARTS[] = {
    {{1}, {}, {112}, {116, 124, 132, 140, 148, 156, 164}, 176},
    {{3}, {}, every4(64, 76), {}, 84},
    {{4}, {}, {68, 72}, {}, 88},
    {{5, 6}, {}, {88, 92, 96}, {64, 72, 80, 100}, 108},
    {{7}, {84}, {72, 76}, {64, 86}, 96},
    {{8}, {92, 94}, {80, 84}, {64, 72, 96}, 104},
    {{9}, {64}, {68}, {72}, 80},
    {{10}, {}, every4(68, 88), {}, 92},
    {{13, 17}, {}, {}, {}, 68},
    {{14}, {64, 66, 68}, {}, {72}, 80},
    {{15}, {}, {64, 68, 72}, {76, 84, 92, 100, 108}, 116},
    {{16, 24}, {64}, {}, {}, 68},
    {{18, 22}, {}, every4(64, 84), {}, 92},
    {{19}, {}, {64}, {68, 76, 84}, 92},
    {{20}, {}, {}, {64, 72, 80}, 88},
    {{23}, {68, 70}, {}, {84}, 100},
    {{26}, {}, {}, {64}, 72},
    {{27}, {}, {64}, {}, 72},
    {{28}, {}, every4(64, 76), {84, 92}, 100},
    {{30}, {}, {68}, {72, 80}, 88},
    {{31}, {}, {64, 68}, {}, 76},
    {{32}, {}, {64}, {72}, 80},
    {{33}, {}, {64}, {}, 76},
    {{34}, {}, {64, 68, 72}, {}, 76},
    {{35}, {}, {68}, {72, 80, 88, 96, 104, 112}, 120},
    {{36}, {}, {}, {64, 72, 80, 88}, 96},
    {{37}, {}, {156, 160, 164}, {64, 72, 80, 88, 96, 104, 112, 120, 128, 136, 144, 172}, 180},
    {{38}, {144}, {128, 140}, {64, 72, 80, 88, 96, 104, 112, 120, 132}, 148},
    {{39}, {}, {88, 96, 104, 112, 120}, {128, 136}, 144},
    {{41}, {86, 88, 90, 92, 94, 96, 98, 100}, every4(68, 80), {}, 104},
    {{42}, {}, {132}, {64, 72, 80, 88, 96, 104, 112, 120, 140}, 148},
};

constexpr Layout make_kinded_layout(uint8_t kind) {
  Layout layout = KindedRecord_TS;
  layout.kinded = false;
  for (const KindPart& part : KIND_PARTS) {
    for (uint16_t listed : part.kinds) {
      if (listed != kind) continue;
      layout.words = layout.words + part.words;
      layout.longs = layout.longs + part.longs;
      layout.arrays = layout.arrays + part.arrays;
      layout.data_start = part.data_start;
    }
  }
  return layout;
}

constexpr std::array<Layout, KINDED_RECORD_KIND_COUNT> make_kinded_layouts() {
  std::array<Layout, KINDED_RECORD_KIND_COUNT> layouts{};
  for (size_t kind = 0; kind < KINDED_RECORD_KIND_COUNT; ++kind)
    layouts[kind] = make_kinded_layout(static_cast<uint8_t>(kind));
  return layouts;
}

constexpr std::array<Layout, KINDED_RECORD_KIND_COUNT> KINDED_LAYOUTS = make_kinded_layouts();

// A description is sound when no two named items share a byte, descriptors ascend (placement
// order is offset order), everything lies before the data area, and the kind byte is never
// converted. The operations rely on this: swapping fields never changes a descriptor, and
// placement never writes over anything it reads.
constexpr bool is_sound(const Layout& layout, bool kinded_record) {
  std::array<bool, 256> used{};  // every fixed part is shorter
  auto claim = [&](uint32_t first, uint32_t length) {
    for (uint32_t i = first; i < first + length; ++i) {
      if (i >= used.size() || used[i]) return false;
      used[i] = true;
    }
    return true;
  };
  for (uint16_t k : layout.words)
    if (!claim(k, 2)) return false;
  for (uint16_t k : layout.longs)
    if (!claim(k, 4)) return false;
  uint32_t previous = 0;
  for (size_t i = 0; i < layout.arrays.size(); ++i) {
    uint16_t k = layout.arrays[i];
    if (i > 0 && k <= previous) return false;
    previous = k;
    if (!claim(k, ARRAY_DESCRIPTOR_HEAD_SIZE) || !claim(array_pointer_word(k), 4)) return false;
  }
  if (kinded_record && used[KINDED_RECORD_KIND_OFFSET]) return false;
  return !layout.has_arrays() || layout.fixed_size() == layout.data_start;
}

constexpr bool all_sound() {
  for (const CommandLayouts& row : COMMAND_LAYOUTS) {
    if (row.converts_command && !is_sound(*row.command, row.command->kinded)) return false;
    if (row.converts_response && !is_sound(*row.response, row.response->kinded)) return false;
  }
  for (const Layout& layout : KINDED_LAYOUTS)
    if (!is_sound(layout, true)) return false;
  return true;
}

static_assert(all_sound(), "a layout description overlaps itself or runs past its data area");
static_assert(TS_L0_L8to72.fixed_size() == 76 && TS_W2.fixed_size() == 4);
static_assert(KINDED_LAYOUTS[37].arrays.size() == 15 && KINDED_LAYOUTS[37].data_start == 180);
static_assert(KINDED_LAYOUTS[26].arrays[3] == 64 && KINDED_LAYOUTS[26].data_start == 72);

}  // namespace

const Layout& kinded_layout(uint8_t kind) {
  return KINDED_LAYOUTS[kind < KINDED_RECORD_KIND_COUNT ? kind : 0];
}

const Layout& effective_layout(const Layout& layout, const unsigned char* data, size_t size) {
  if (!layout.kinded) return layout;
  return kinded_layout(size > KINDED_RECORD_KIND_OFFSET ? data[KINDED_RECORD_KIND_OFFSET] : 0);
}

}  // namespace efi
