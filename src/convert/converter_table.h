#pragma once

#include <cstddef>
#include <cstdint>

namespace efi {

// A converter works in place on one data block. `size` is the number of bytes the caller owns at
// `data` (command data size, or response buffer capacity); a converter never reads or writes
// outside them. Placement returns a status; swaps return 0.
using Converter = uint32_t (*)(unsigned char* data, size_t size);

struct ConverterRow {
  Converter command_swap;
  Converter command_placement;
  Converter response_swap;
  Converter response_placement;
  // response_placement then response_swap in one walk over the arrays, for conversion that is on;
  // null where the row has no response_placement.
  Converter response_conversion = nullptr;
};

inline constexpr size_t CONVERTER_ROW_COUNT = 88;

// Rows 0x00..0x57 by command number.
extern const ConverterRow CommandConverterTable[CONVERTER_ROW_COUNT];

// The row of a command number, or null for numbers that have none (0x58..0xFF).
inline const ConverterRow* converter_row(uint8_t command) {
  return command < CONVERTER_ROW_COUNT ? &CommandConverterTable[command] : nullptr;
}

}  // namespace efi
