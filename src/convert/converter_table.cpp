#include "convert/converter_table.h"

#include <utility>

#include "convert/byte_order.h"
#include "convert/layouts.h"

namespace efi {
namespace {

// The converters of command number N, bound to the layouts COMMAND_LAYOUTS names for it, so the
// table below is derived from the layout list and cannot disagree with it.
template <size_t N>
uint32_t command_swap(unsigned char* data, size_t size) {
  SwapStructureByteOrder(*COMMAND_LAYOUTS[N].command, data, size, ArrayWalk::follow_elements);
  return 0;
}

template <size_t N>
uint32_t command_placement(unsigned char* data, size_t size) {
  return PlaceArrayData(*COMMAND_LAYOUTS[N].command, data, size);
}

// Follows only the arrays placement sets (see ArrayWalk::placed_only), so a response whose
// placement stopped early or overran the buffer is still swapped safely.
template <size_t N>
uint32_t response_swap(unsigned char* data, size_t size) {
  SwapStructureByteOrder(*COMMAND_LAYOUTS[N].response, data, size, ArrayWalk::placed_only);
  return 0;
}

template <size_t N>
uint32_t response_placement(unsigned char* data, size_t size) {
  return PlaceArrayData(*COMMAND_LAYOUTS[N].response, data, size);
}

template <size_t N>
uint32_t response_conversion(unsigned char* data, size_t size) {
  return place_and_swap(*COMMAND_LAYOUTS[N].response, data, size);
}

constexpr bool places(const Layout* layout, bool present) {
  return present && layout->has_arrays();
}

template <size_t N>
constexpr ConverterRow make_row() {
  constexpr CommandLayouts layouts = COMMAND_LAYOUTS[N];
  return ConverterRow{
      layouts.converts_command ? &command_swap<N> : nullptr,
      places(layouts.command, layouts.converts_command) ? &command_placement<N> : nullptr,
      layouts.converts_response ? &response_swap<N> : nullptr,
      places(layouts.response, layouts.converts_response) ? &response_placement<N> : nullptr,
      places(layouts.response, layouts.converts_response) ? &response_conversion<N> : nullptr,
  };
}

template <size_t... N>
constexpr std::array<ConverterRow, sizeof...(N)> make_rows(std::index_sequence<N...>) {
  return {make_row<N>()...};
}

static_assert(COMMAND_LAYOUT_COUNT == CONVERTER_ROW_COUNT);
constexpr std::array<ConverterRow, CONVERTER_ROW_COUNT> ROWS =
    make_rows(std::make_index_sequence<CONVERTER_ROW_COUNT>{});

}  // namespace

// Constant-initialized from ROWS, eight rows per line.
#define EFI_ROWS8(b) \
  ROWS[b], ROWS[b + 1], ROWS[b + 2], ROWS[b + 3], ROWS[b + 4], ROWS[b + 5], ROWS[b + 6], ROWS[b + 7]
const ConverterRow CommandConverterTable[CONVERTER_ROW_COUNT] = {
    EFI_ROWS8(0x00), EFI_ROWS8(0x08), EFI_ROWS8(0x10), EFI_ROWS8(0x18),
    EFI_ROWS8(0x20), EFI_ROWS8(0x28), EFI_ROWS8(0x30), EFI_ROWS8(0x38),
    EFI_ROWS8(0x40), EFI_ROWS8(0x48), EFI_ROWS8(0x50),
};
#undef EFI_ROWS8
static_assert(0x50 + 8 == CONVERTER_ROW_COUNT);

}  // namespace efi
