#pragma once

// The model engine-control unit: answers every command 0x00..0x57 with response data laid out as
// that command's response layout, derived only from the command header and data, so a test or a
// host can predict every byte. Headers and data are in host order here; the conversion functions
// below give the unit's order for links that carry it.

#include <efilink/efilink.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "convert/layouts.h"

namespace softunit {

using Bytes = std::vector<unsigned char>;

// The unit's own response_status values for commands it refuses (answered without data).
inline constexpr uint16_t UNIT_STATUS_UNKNOWN_COMMAND = 0x0001;
inline constexpr uint16_t UNIT_STATUS_SHORT_COMMAND_DATA = 0x0002;
inline constexpr uint16_t UNIT_STATUS_BAD_COMMAND_ARRAY = 0x0003;

struct Response {
  ResponseHeader_TS header{};
  Bytes data;
};

// One array of a structure as the placement rule lays it out.
struct ArraySpan {
  uint16_t descriptor = 0;     // offset of the descriptor
  uint32_t element_size = 0;
  uint32_t element_count = 0;
  std::optional<uint32_t> offset;  // element area's offset in the structure; none when not placed
  uint64_t end() const { return offset ? *offset + uint64_t{element_size} * element_count : 0; }
};

struct Spans {
  std::vector<ArraySpan> arrays;  // every descriptor of the layout, in placement order
  uint32_t placement_status = 0;  // what PlaceArrayData reports for these bytes
};

// Where the placement rule puts each array of `layout` (already resolved for a kinded record) in
// the `size` bytes at `data`. Reads only element sizes and counts, so either byte order works.
Spans array_spans(const efi::Layout& layout, const unsigned char* data, size_t size);

// The response layout a command's answer follows: the row's layout, resolved to one kind for a
// KindedRecord_TS (the kind the command data select, see response_kind). Null when the row has
// no response layout or the command has no row.
const efi::Layout* response_layout(uint8_t command, const unsigned char* data, size_t size);

// For commands answered with a KindedRecord_TS: the offset in the command data of the 16-bit
// field whose low byte selects the kind, and the kind used when the data do not reach it.
struct KindSelector {
  uint16_t offset;
  uint8_t default_kind;
};
std::optional<KindSelector> kind_selector(uint8_t command);
uint8_t response_kind(uint8_t command, const unsigned char* data, size_t size);

// Command data a host would send for `command`: every field filled, arrays non-empty, their
// `elements` words set, a kinded record of a kind with arrays. Empty for rows without a command
// layout. A kind selector, if any, selects the command's default kind.
Bytes well_formed_command_data(uint8_t command);

class Unit {
 public:
  // The model's answer, header and data in host order. The answer is the same whatever the
  // response buffer size; a link decides what happens when it does not fit.
  Response respond(const CommandHeader_TS& header, const unsigned char* data, size_t size) const;
};

// Command data as they arrive from a link (unit order) turned into host order, and response data
// turned into unit order, with the library's own conversion operations. `elements` words are
// carried unchanged both ways.
Bytes command_data_to_host_order(uint8_t command, Bytes data);
Bytes response_data_to_unit_order(uint8_t command, Bytes data);

// Host order to the unit's (most significant byte first) and back, for an 8-byte header.
ResponseHeader_TS swapped(ResponseHeader_TS header);
CommandHeader_TS swapped(CommandHeader_TS header);

enum class ByteOrder { unit, host };

// The bytes of a response as they go on a line: header, then data, both in `order`.
Bytes serialise(uint8_t command, const Response& response, ByteOrder order);

}  // namespace softunit
