// Placement and swap of every command's command data and response data layout (every kind of
// KindedRecord_TS through its byte 28), on arbitrary bytes in a buffer of arbitrary size.
//
// Input: byte 0 picks the row (mod 88), byte 1 bit 0 the side (command or response), bytes 2-3
// the buffer size (little-endian, mod 4200), the rest the structure's bytes (zeros beyond).
// The buffer is a heap block of exactly that size, so any access outside it faults under ASan.
// Responses are also converted in one walk, and with the portable element routines, and must
// come out the same.

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "convert/byte_order.h"
#include "convert/converter_table.h"
#include "convert/element_swap.h"
#include "convert/layouts.h"

namespace {

constexpr size_t MAX_BUFFER = 4200;

void check(bool condition) {
  if (!condition) std::abort();
}

// Bytes of `a` and `b` are equal outside the `elements` words of `layout`.
bool equal_but_words(const efi::Layout& layout, const unsigned char* a, const unsigned char* b,
                     size_t size) {
  for (size_t i = 0; i < size; ++i) {
    bool in_word = false;
    for (uint16_t k : layout.arrays) {
      uint32_t word = efi::array_pointer_word(k);
      in_word = in_word || (i >= word && i < word + 4);
    }
    if (!in_word && a[i] != b[i]) return false;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* input, size_t length) {
  if (length < 4) return 0;
  const unsigned row_number = input[0] % efi::CONVERTER_ROW_COUNT;
  const bool response_side = input[1] & 1;
  const size_t size = (input[2] | input[3] << 8) % MAX_BUFFER;
  input += 4;
  length -= 4;

  const efi::ConverterRow& row = efi::CommandConverterTable[row_number];
  const efi::CommandLayouts& layouts = efi::COMMAND_LAYOUTS[row_number];
  const efi::Layout* layout = response_side ? layouts.response : layouts.command;
  if (!layout) return 0;

  // Exactly `size` bytes (at least one, so the block has an address of its own).
  std::unique_ptr<unsigned char[]> original(new unsigned char[size + (size == 0)]);
  std::memset(original.get(), 0, size);
  std::memcpy(original.get(), input, length < size ? length : size);
  std::unique_ptr<unsigned char[]> data(new unsigned char[size + (size == 0)]);
  std::memcpy(data.get(), original.get(), size);
  const efi::Layout& effective = efi::effective_layout(*layout, data.get(), size);

  if (!response_side) {
    // Command data: two swaps give back every byte, whatever the host's words say.
    row.command_swap(data.get(), size);
    row.command_swap(data.get(), size);
    check(std::memcmp(data.get(), original.get(), size) == 0);
    if (row.command_placement) row.command_placement(data.get(), size);
    check(equal_but_words(effective, data.get(), original.get(), size));
    return 0;
  }

  // Response data: placement writes only `elements` words and is idempotent; two swaps after it
  // give back every byte of the placed structure.
  uint32_t first = row.response_placement ? row.response_placement(data.get(), size) : 0;
  check(equal_but_words(effective, data.get(), original.get(), size));
  std::unique_ptr<unsigned char[]> placed(new unsigned char[size + (size == 0)]);
  std::memcpy(placed.get(), data.get(), size);
  if (row.response_placement) {
    check(row.response_placement(data.get(), size) == first);
    check(std::memcmp(data.get(), placed.get(), size) == 0);
  }
  row.response_swap(data.get(), size);
  std::unique_ptr<unsigned char[]> swapped(new unsigned char[size + (size == 0)]);
  std::memcpy(swapped.get(), data.get(), size);
  row.response_swap(data.get(), size);
  check(std::memcmp(data.get(), placed.get(), size) == 0);

  // Placement and swap in one walk give the same bytes and result as the two operations, and
  // the portable element routines the same bytes as the vector ones.
  if (row.response_conversion) {
    std::memcpy(data.get(), original.get(), size);
    check(row.response_conversion(data.get(), size) == first);
    check(std::memcmp(data.get(), swapped.get(), size) == 0);
    const efi::SwapLevel best = efi::select_swap_level(efi::SwapLevel::portable);
    std::memcpy(data.get(), original.get(), size);
    row.response_conversion(data.get(), size);
    efi::select_swap_level(best);
    check(std::memcmp(data.get(), swapped.get(), size) == 0);
  }
  return 0;
}
