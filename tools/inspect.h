#pragma once

// Reading a response the way its layout says: fields, arrays and where their `elements` words
// point, checked against the placement rule and, for the demo, against the model's prediction.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "convert/layouts.h"
#include "unit.h"

namespace efilink_cli {

struct FieldValue {
  uint16_t offset;
  unsigned width;  // 16 or 32
  uint32_t value;
};

struct ArrayView {
  uint16_t descriptor = 0;
  uint32_t element_size = 0;
  uint32_t element_count = 0;
  std::optional<uint32_t> placed;     // where the placement rule puts the elements
  std::optional<int64_t> points_at;   // where the `elements` word points, from the buffer's start
};

struct Decoded {
  const efi::Layout* layout = nullptr;  // resolved to one kind for a KindedRecord_TS
  std::optional<unsigned> kind;
  std::vector<FieldValue> fields;
  std::vector<ArrayView> arrays;
  std::vector<std::string> problems;  // empty when the response is what its layout says
};

// Decodes `received` bytes of command `command`'s response in the host's buffer; layout-less
// responses decode to no layout and no problems.
Decoded decode_response(uint8_t command, unsigned char* buffer, size_t received);

// Differences between the received bytes and the model's answer, `elements` words aside (they
// are the host's and checked by decode_response).
std::vector<std::string> compare_with_model(const softunit::Response& expected, const unsigned char* buffer,
                                            size_t received, const Decoded& decoded);

// The name of the layout as the host sees it: "KindedRecord_TS kind 37" for a kinded record.
std::string layout_label(const efi::Layout* row_layout, const Decoded& decoded);

// Lines of "offset  hex bytes  characters", 16 bytes each.
std::string hex_dump(const unsigned char* data, size_t size, const char* indent);
std::string hex_string(const unsigned char* data, size_t size);

}  // namespace efilink_cli
