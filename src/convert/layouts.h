#pragma once

// Layouts of the transfer structures carried as command and response data, as plain data.
//
// A layout names the offsets of the converted 16-bit and 32-bit fields, the offsets of the
// array descriptors (in placement order) and the data-area start. Bytes it does not name travel
// as they are. The generic operations in byte_order.h walk these descriptions; no layout has
// code of its own.
//
// API for other components (software unit, command-line host):
//   command_layouts(n)        -> command and response layout of command number n (null: none)
//   Layout::name              -> "TS_L0_A4_A12", "KindedRecord_TS", ...
//   Layout::fixed_size()      -> smallest structure size that covers every named item
//   Layout::arrays / data_start, words / longs -> the description itself
//   array_pointer_word(k)     -> offset of the `elements` word of the descriptor at k
//   kinded_layout(kind)       -> effective layout of a KindedRecord_TS of that kind
//   effective_layout(l, d, n) -> the layout that applies to the bytes d[0..n) (resolves the kind)

#include <array>
#include <cstddef>
#include <cstdint>
#include <initializer_list>

namespace efi {

// Enough for the largest description (TS_L0_L8to72 has 18 converted 32-bit fields; a kind-37
// record has 15 descriptors).
inline constexpr size_t LAYOUT_MAX_ITEMS = 24;

// Number of kinds with a part of their own; every kind from here to 255 is read as kind 0.
inline constexpr size_t KINDED_RECORD_KIND_COUNT = 43;
inline constexpr size_t KINDED_RECORD_KIND_OFFSET = 28;

// A short list of byte offsets, usable in constant expressions.
struct OffsetList {
  std::array<uint16_t, LAYOUT_MAX_ITEMS> at{};
  uint8_t count = 0;

  constexpr OffsetList() = default;
  constexpr OffsetList(std::initializer_list<uint16_t> offsets) {
    for (uint16_t offset : offsets) push(offset);
  }
  constexpr void push(uint16_t offset) {
    // Overflowing the capacity is a table error; in a constant expression it fails to compile.
    if (count == LAYOUT_MAX_ITEMS) throw "layout description too long";
    at[count++] = offset;
  }
  constexpr const uint16_t* begin() const { return at.data(); }
  constexpr const uint16_t* end() const { return at.data() + count; }
  constexpr size_t size() const { return count; }
  constexpr bool empty() const { return count == 0; }
  constexpr uint16_t operator[](size_t i) const { return at[i]; }
};

constexpr OffsetList operator+(OffsetList a, const OffsetList& b) {
  for (uint16_t offset : b) a.push(offset);
  return a;
}

// 32-bit fields at every fourth offset from `first` to `last` inclusive ("L<first>to<last>").
constexpr OffsetList every4(uint16_t first, uint16_t last) {
  OffsetList list;
  for (uint32_t offset = first; offset <= last; offset += 4)
    list.push(static_cast<uint16_t>(offset));
  return list;
}

// The `elements` word of a descriptor at k: the first multiple of 4 at or after k + 3.
constexpr uint32_t array_pointer_word(uint32_t descriptor_offset) {
  return (descriptor_offset + 6u) & ~3u;
}

// Bytes of an ArrayDescriptor: element_size at k, element_count at k+1 (high byte) and k+2.
inline constexpr uint32_t ARRAY_DESCRIPTOR_HEAD_SIZE = 3;

struct Layout {
  const char* name = nullptr;
  OffsetList words;         // converted 16-bit fields
  OffsetList longs;         // converted 32-bit fields
  OffsetList arrays;        // ArrayDescriptor offsets, in placement order
  uint16_t data_start = 0;  // first byte of the data area (0 when there are no arrays)
  bool kinded = false;      // KindedRecord_TS: resolve with effective_layout before walking

  constexpr Layout() = default;
  constexpr Layout(const char* name_, OffsetList words_, OffsetList longs_, OffsetList arrays_ = {},
                   uint16_t data_start_ = 0, bool kinded_ = false)
      : name(name_),
        words(words_),
        longs(longs_),
        arrays(arrays_),
        data_start(data_start_),
        kinded(kinded_) {}

  // For layouts with arrays, the data-area start; otherwise the end of the last converted field.
  constexpr uint32_t fixed_size() const {
    uint32_t end = data_start;
    for (uint16_t k : words) end = end > k + 2u ? end : k + 2u;
    for (uint16_t k : longs) end = end > k + 4u ? end : k + 4u;
    for (uint16_t k : arrays)
      end = end > array_pointer_word(k) + 4u ? end : array_pointer_word(k) + 4u;
    return end;
  }
  constexpr bool has_arrays() const { return !arrays.empty(); }
};

// Each layout: name, 16-bit fields, 32-bit fields, descriptors (placement order), data-area start.

// Layouts without arrays.
inline constexpr Layout TS_L0{"TS_L0", {}, {0}};
inline constexpr Layout TS_L0_L4{"TS_L0_L4", {}, {0, 4}};
inline constexpr Layout TS_L0_L4_L8{"TS_L0_L4_L8", {}, {0, 4, 8}};
inline constexpr Layout TS_L0_L4_W8{"TS_L0_L4_W8", {8}, {0, 4}};
inline constexpr Layout TS_L0_L8to72{"TS_L0_L8to72", {}, OffsetList{0} + every4(8, 72)};
inline constexpr Layout TS_L0_W4{"TS_L0_W4", {4}, {0}};
inline constexpr Layout TS_L0_W6{"TS_L0_W6", {6}, {0}};
inline constexpr Layout TS_L0to24{"TS_L0to24", {}, every4(0, 24)};
inline constexpr Layout TS_L0to28{"TS_L0to28", {}, every4(0, 28)};
inline constexpr Layout TS_L4to20{"TS_L4to20", {}, every4(4, 20)};
inline constexpr Layout TS_W0{"TS_W0", {0}, {}};
inline constexpr Layout TS_W0_L4{"TS_W0_L4", {0}, {4}};
inline constexpr Layout TS_W0_W2{"TS_W0_W2", {0, 2}, {}};
inline constexpr Layout TS_W0_W4{"TS_W0_W4", {0, 4}, {}};
inline constexpr Layout TS_W2{"TS_W2", {2}, {}};
inline constexpr Layout TS_W2_L4{"TS_W2_L4", {2}, {4}};

// Layouts with one array.
inline constexpr Layout TS_A0{"TS_A0", {}, {}, {0}, 8};
inline constexpr Layout TS_A0_W8{"TS_A0_W8", {8}, {}, {0}, 12};
inline constexpr Layout TS_A0_W8_L12{"TS_A0_W8_L12", {8}, {12}, {0}, 16};
inline constexpr Layout TS_A4{"TS_A4", {}, {}, {4}, 12};
inline constexpr Layout TS_L0_A4{"TS_L0_A4", {}, {0}, {4}, 12};
inline constexpr Layout TS_L0_L4_A8{"TS_L0_L4_A8", {}, {0, 4}, {8}, 16};
inline constexpr Layout TS_W0_A2{"TS_W0_A2", {0}, {}, {2}, 12};
inline constexpr Layout TS_W0_L4_A8{"TS_W0_L4_A8", {0}, {4}, {8}, 16};
inline constexpr Layout TS_W2_A4{"TS_W2_A4", {2}, {}, {4}, 12};

// Layouts with several arrays sharing one data area.
inline constexpr Layout TS_A0_A8{"TS_A0_A8", {}, {}, {0, 8}, 16};
inline constexpr Layout TS_A0_A8_A16{"TS_A0_A8_A16", {}, {}, {0, 8, 16}, 24};
inline constexpr Layout TS_L0_A4_A12{"TS_L0_A4_A12", {}, {0}, {4, 12}, 20};
inline constexpr Layout TS_L0_A4_A12_A20{"TS_L0_A4_A12_A20", {}, {0}, {4, 12, 20}, 28};
inline constexpr Layout TS_L0_L4_A8_L16_L20_A24{
    "TS_L0_L4_A8_L16_L20_A24", {}, {0, 4, 16, 20}, {8, 24}, 32};
inline constexpr Layout TS_L0_L4_L8_A12_L20_A24_A32{
    "TS_L0_L4_L8_A12_L20_A24_A32", {}, {0, 4, 8, 20}, {12, 24, 32}, 40};
inline constexpr Layout TS_W0_A44_A52{"TS_W0_A44_A52", {0}, {}, {44, 52}, 60};
inline constexpr Layout TS_W18_L24_L32_A40_A48{
    "TS_W18_L24_L32_A40_A48", {18}, {24, 32}, {40, 48}, 56};
inline constexpr Layout TS_W2_A52_A60{"TS_W2_A52_A60", {2}, {}, {52, 60}, 68};
inline constexpr Layout TS_W2_W4_A8_A16_L24to36_A40{
    "TS_W2_W4_A8_A16_L24to36_A40", {2, 4}, every4(24, 36), {8, 16, 40}, 48};

// KindedRecord_TS as named by a command: its common part (seven 32-bit fields, `kind` at 28,
// three descriptors, fields at 30, 56, 58, 60). The operations resolve the kind first.
inline constexpr Layout KindedRecord_TS{
    "KindedRecord_TS", {30, 56, 58}, every4(0, 24) + OffsetList{60}, {32, 40, 48}, 64, true};

// Effective layout of a KindedRecord_TS whose `kind` byte is `kind` (43..255 read as 0). Its
// `kinded` flag is clear: it is the full description for that kind.
const Layout& kinded_layout(uint8_t kind);

// The layout that applies to `size` bytes at `data`: `layout` itself, or for KindedRecord_TS the
// layout of the kind stored at byte 28 (kind 0 when the structure is too short to hold it).
const Layout& effective_layout(const Layout& layout, const unsigned char* data, size_t size);

// One side of a command: a layout, or none (written `nullptr` in the table).
struct LayoutRef {
  const Layout* layout;
  bool present;
  constexpr LayoutRef(std::nullptr_t) : layout(nullptr), present(false) {}
  constexpr LayoutRef(const Layout& named) : layout(&named), present(true) {}
};

// The command data and response data layouts of one command number; null means the data are
// carried unconverted. The two flags say the same as the pointers, in a form that stays a
// constant expression under every compiler setting (a null test on the address of an inline
// variable is not one under some sanitizer builds).
struct CommandLayouts {
  const Layout* command;
  const Layout* response;
  bool converts_command;
  bool converts_response;

  constexpr CommandLayouts(LayoutRef command_side, LayoutRef response_side)
      : command(command_side.layout),
        response(response_side.layout),
        converts_command(command_side.present),
        converts_response(response_side.present) {}
};

inline constexpr size_t COMMAND_LAYOUT_COUNT = 88;

inline constexpr std::array<CommandLayouts, COMMAND_LAYOUT_COUNT> COMMAND_LAYOUTS{{
    {nullptr, TS_L0_L4},                          // 0x00
    {TS_L0_W6, TS_A0},                            // 0x01
    {TS_L0_A4, TS_L0},                            // 0x02
    {TS_L0_L4_L8, nullptr},                       // 0x03
    {TS_L0_L4, nullptr},                          // 0x04
    {TS_L0, TS_L0},                               // 0x05
    {TS_W2_W4_A8_A16_L24to36_A40, TS_L0_A4_A12},  // 0x06
    {nullptr, nullptr},                           // 0x07
    {TS_L0, TS_L0},                               // 0x08
    {TS_L0, TS_L0to24},                           // 0x09
    {TS_W2_L4, TS_L0_L4_W8},                      // 0x0A
    {TS_A4, TS_A0},                               // 0x0B
    {nullptr, TS_A0},                             // 0x0C
    {TS_W0_W2, TS_A0},                            // 0x0D
    {TS_W0, TS_L0_A4_A12},                        // 0x0E
    {nullptr, TS_A0},                             // 0x0F
    {nullptr, TS_L0_A4_A12},                      // 0x10
    {nullptr, TS_L0_A4_A12},                      // 0x11
    {TS_A0, TS_L0_A4_A12},                        // 0x12
    {nullptr, TS_L0_A4_A12},                      // 0x13
    {TS_A0, TS_L0_A4_A12},                        // 0x14
    {nullptr, TS_L0_A4_A12},                      // 0x15
    {nullptr, TS_L0_A4_A12},                      // 0x16
    {TS_A0, TS_A0},                               // 0x17
    {TS_A0, TS_A0},                               // 0x18
    {nullptr, TS_A0},                             // 0x19
    {TS_A0_A8, TS_L0_A4_A12},                     // 0x1A
    {TS_A0_A8, TS_L0_A4_A12},                     // 0x1B
    {TS_L4to20, nullptr},                         // 0x1C
    {TS_W0_A2, TS_L0},                            // 0x1D
    {TS_W0_A2, TS_L0},                            // 0x1E
    {TS_W0, TS_L0_A4},                            // 0x1F
    {TS_W0_W4, TS_L0to28},                        // 0x20
    {TS_W0, TS_L0},                               // 0x21
    {nullptr, TS_L0_L8to72},                      // 0x22
    {nullptr, TS_L0},                             // 0x23
    {TS_L0_A4, TS_L0_L4_A8},                      // 0x24
    {TS_L0_A4, TS_L0_L4},                         // 0x25
    {TS_L0, TS_L0},                               // 0x26
    {TS_L0_W4, TS_W0_L4_A8},                      // 0x27
    {nullptr, TS_L0_A4_A12},                      // 0x28
    {nullptr, TS_L0_A4_A12},                      // 0x29
    {TS_A0, TS_L0_A4_A12},                        // 0x2A
    {nullptr, TS_A0},                             // 0x2B
    {TS_L0_L4, TS_A0},                            // 0x2C
    {TS_L0_L4_A8, TS_L0_A4_A12},                  // 0x2D
    {nullptr, TS_L0_A4_A12},                      // 0x2E
    {nullptr, nullptr},                           // 0x2F
    {KindedRecord_TS, TS_L0_A4_A12},              // 0x30
    {KindedRecord_TS, TS_L0_A4_A12},              // 0x31
    {TS_W0_W2, TS_L0_A4_A12},                     // 0x32
    {TS_W0_W2, KindedRecord_TS},                  // 0x33
    {TS_A0_W8, KindedRecord_TS},                  // 0x34
    {nullptr, TS_L0_A4_A12},                      // 0x35
    {nullptr, TS_L0_A4_A12},                      // 0x36
    {nullptr, TS_L0_A4_A12},                      // 0x37
    {nullptr, nullptr},                           // 0x38
    {TS_A0_W8, TS_W0},                            // 0x39
    {TS_A0_W8, TS_W0_L4},                         // 0x3A
    {nullptr, TS_L0_A4_A12},                      // 0x3B
    {nullptr, TS_L0_A4_A12},                      // 0x3C
    {nullptr, TS_L0_A4_A12},                      // 0x3D
    {nullptr, TS_L0_A4_A12},                      // 0x3E
    {TS_A0_W8_L12, TS_L0_A4_A12},                 // 0x3F
    {TS_A0, TS_A0},                               // 0x40
    {TS_A0, TS_A0},                               // 0x41
    {TS_A0, TS_L0_A4_A12},                        // 0x42
    {TS_A0, TS_L0_A4_A12_A20},                    // 0x43
    {TS_W2, TS_L0_A4_A12},                        // 0x44
    {nullptr, nullptr},                           // 0x45
    {nullptr, TS_W2_A52_A60},                     // 0x46
    {TS_W0, TS_W0_A44_A52},                       // 0x47
    {TS_W0_W2, TS_L0_A4_A12},                     // 0x48
    {TS_A0, TS_A0},                               // 0x49
    {nullptr, TS_L0_A4_A12},                      // 0x4A
    {nullptr, TS_W18_L24_L32_A40_A48},            // 0x4B
    {TS_A0_W8, TS_L0_A4_A12},                     // 0x4C
    {TS_W0_L4, TS_A0},                            // 0x4D
    {TS_A0_A8, TS_L0_A4_A12},                     // 0x4E
    {TS_L0, TS_L0_L4_L8_A12_L20_A24_A32},         // 0x4F
    {TS_W2_A4, TS_L0_A4_A12},                     // 0x50
    {TS_W0, TS_A0},                               // 0x51
    {TS_L0_A4_A12, TS_L0_A4_A12},                 // 0x52
    {TS_L0, TS_L0_L4_A8_L16_L20_A24},             // 0x53
    {TS_A0, TS_L0_A4_A12},                        // 0x54
    {nullptr, TS_A0},                             // 0x55
    {nullptr, TS_A0_A8_A16},                      // 0x56
    {KindedRecord_TS, TS_L0_A4_A12},              // 0x57
}};

// Layouts of command number `command`, or null for numbers without a row (0x58..0xFF).
inline const CommandLayouts* command_layouts(uint8_t command) {
  return command < COMMAND_LAYOUT_COUNT ? &COMMAND_LAYOUTS[command] : nullptr;
}

}  // namespace efi
