#include "unit.h"

#include <algorithm>
#include <cstring>

#include "convert/byte_order.h"

namespace softunit {

namespace {

using efi::Layout;

void put16(unsigned char* p, uint16_t value) { std::memcpy(p, &value, 2); }
void put32(unsigned char* p, uint32_t value) { std::memcpy(p, &value, 4); }
uint32_t get32(const unsigned char* p) {
  uint32_t value;
  std::memcpy(&value, p, 4);
  return value;
}

// A pointer word no placement produces, so a word that still holds it was left alone.
constexpr uint32_t UNPLACED = 0xFFFFFFFFu;

// The fixed part of a structure: up to the data area, or up to the last named field.
uint32_t fixed_part(const Layout& layout) {
  return layout.has_arrays() ? layout.data_start : layout.fixed_size();
}

bool is_command_code(uint16_t code) {
  return code >= EFI_COMMAND_CODE_BASE && code < EFI_COMMAND_CODE_BASE + EFI_COMMAND_COUNT;
}

// Kinds the model picks where nothing selects one: kinds with many arrays, or with the oddly
// placed descriptor at 86, so that the defaults exercise the hard cases.
uint8_t default_response_kind(uint8_t command) { return command == 0x34 ? 7 : 37; }
uint8_t command_kind(uint8_t command) {
  switch (command) {
    case 0x30:
      return 5;
    case 0x31:
      return 28;
    default:
      return 1;
  }
}

// Sum of the command bytes outside the `elements` words: the same in host and unit order, and
// independent of where the host's buffer lies, so every link gives the same answer.
uint16_t command_digest(const Layout* layout, const unsigned char* data, size_t size) {
  uint32_t sum = 0;
  for (size_t i = 0; i < size; ++i) sum += data[i];
  if (layout) {
    for (uint16_t k : layout->arrays) {
      const uint32_t word = efi::array_pointer_word(k);
      for (uint32_t i = word; i < word + 4 && i < size; ++i) sum -= data[i];
    }
  }
  return static_cast<uint16_t>(sum);
}

// Response array shapes: element sizes that need rounding (3, 5, 6, 12) and that are carried
// as they are (1, 17) alongside the swapped ones; one-array responses carry long arrays, others
// short ones with an empty array now and then.
constexpr uint8_t RESPONSE_ELEMENT_SIZES[] = {2, 1, 4, 3, 8, 16, 6, 12, 17, 5};

void response_shape(uint8_t command, size_t array, size_t array_count, uint32_t& size, uint32_t& count) {
  size = RESPONSE_ELEMENT_SIZES[(command + 3 * array) % std::size(RESPONSE_ELEMENT_SIZES)];
  if (array_count == 1) {
    count = 8 + (command * 13u) % 120;
  } else {
    count = 1 + (command * 5u + array * 3) % 7;
    if ((command + 2 * array) % 11 == 7) count = 0;
  }
}

unsigned char response_element_byte(uint8_t command, size_t array, uint32_t element, uint32_t byte) {
  return static_cast<unsigned char>(command * 7u + array * 41u + element * 3u + byte * 13u + 1u);
}

// Writes the descriptor heads, sizes the buffer to the placed arrays and fills the elements.
// `elements` words are left for the caller.
std::vector<ArraySpan> lay_out_arrays(const Layout& layout, Bytes& data,
                                      unsigned char (*element_byte)(uint8_t, size_t, uint32_t, uint32_t),
                                      uint8_t command,
                                      void (*shape)(uint8_t, size_t, size_t, uint32_t&, uint32_t&)) {
  for (size_t j = 0; j < layout.arrays.size(); ++j) {
    uint32_t size = 0, count = 0;
    shape(command, j, layout.arrays.size(), size, count);
    const uint16_t k = layout.arrays[j];
    data[k] = static_cast<unsigned char>(size);
    data[k + 1] = static_cast<unsigned char>(count >> 8);
    data[k + 2] = static_cast<unsigned char>(count);
  }
  Spans spans = array_spans(layout, data.data(), data.size());
  uint64_t end = data.size();
  for (const ArraySpan& span : spans.arrays) end = std::max(end, span.end());
  data.resize(end);
  for (size_t j = 0; j < spans.arrays.size(); ++j) {
    const ArraySpan& span = spans.arrays[j];
    if (!span.offset) continue;
    unsigned char* at = data.data() + *span.offset;
    for (uint32_t i = 0; i < span.element_count; ++i)
      for (uint32_t b = 0; b < span.element_size; ++b) *at++ = element_byte(command, j, i, b);
  }
  return spans.arrays;
}

void command_shape(uint8_t command, size_t array, size_t, uint32_t& size, uint32_t& count) {
  constexpr uint8_t SIZES[] = {4, 1, 2, 8, 3};
  size = SIZES[(command + array) % std::size(SIZES)];
  count = 2 + (command + array) % 4;
}

unsigned char command_element_byte(uint8_t command, size_t array, uint32_t element, uint32_t byte) {
  return static_cast<unsigned char>(0x10u + command + array * 5u + element * 11u + byte);
}

Response refusal(uint16_t code, uint16_t status) {
  Response response;
  response.header = {code, 0, status, EFI_RESPONSE_MARKER};
  return response;
}

// Swaps a structure between the two orders the way a unit would: it cannot follow the host's
// `elements` words, so it places the arrays itself, swaps the placed ones, and puts the words
// back as they came.
Bytes convert(const Layout& layout, Bytes data) {
  const Layout& effective = efi::effective_layout(layout, data.data(), data.size());
  std::vector<std::pair<uint32_t, uint32_t>> words;
  for (uint16_t k : effective.arrays) {
    const uint32_t at = efi::array_pointer_word(k);
    if (at + 4 <= data.size()) words.emplace_back(at, get32(data.data() + at));
  }
  efi::PlaceArrayData(layout, data.data(), data.size());
  efi::SwapStructureByteOrder(layout, data.data(), data.size(), efi::ArrayWalk::placed_only);
  for (const auto& [at, word] : words) put32(data.data() + at, word);
  return data;
}

}  // namespace

Spans array_spans(const Layout& layout, const unsigned char* data, size_t size) {
  Bytes scratch(data, data + size);
  Spans spans;
  for (uint16_t k : layout.arrays) {
    ArraySpan span;
    span.descriptor = k;
    if (k + efi::ARRAY_DESCRIPTOR_HEAD_SIZE <= size) {
      span.element_size = data[k];
      span.element_count = data[k + 1] * 256u + data[k + 2];
    }
    const uint32_t word = efi::array_pointer_word(k);
    if (word + 4 <= size) put32(scratch.data() + word, UNPLACED);
    spans.arrays.push_back(span);
  }
  spans.placement_status = efi::PlaceArrayData(layout, scratch.data(), scratch.size());
  for (ArraySpan& span : spans.arrays) {
    const uint32_t word = efi::array_pointer_word(span.descriptor);
    if (word + 4 > size) continue;
    const uint32_t placed = get32(scratch.data() + word);
    if (placed != UNPLACED) span.offset = static_cast<uint32_t>(efi::elements_offset(scratch.data(), placed));
  }
  return spans;
}

std::optional<KindSelector> kind_selector(uint8_t command) {
  const efi::CommandLayouts* row = efi::command_layouts(command);
  if (!row || !row->converts_response || !row->response->kinded) return std::nullopt;
  if (!row->converts_command || row->command->words.empty()) return KindSelector{UINT16_MAX, default_response_kind(command)};
  return KindSelector{row->command->words[0], default_response_kind(command)};
}

uint8_t response_kind(uint8_t command, const unsigned char* data, size_t size) {
  const std::optional<KindSelector> selector = kind_selector(command);
  if (!selector) return 0;
  if (selector->offset == UINT16_MAX || size < selector->offset + 2u) return selector->default_kind;
  return data[selector->offset];  // the low byte of a host-order 16-bit field
}

const Layout* response_layout(uint8_t command, const unsigned char* data, size_t size) {
  const efi::CommandLayouts* row = efi::command_layouts(command);
  if (!row || !row->converts_response) return nullptr;
  if (!row->response->kinded) return row->response;
  return &efi::kinded_layout(response_kind(command, data, size));
}

Bytes well_formed_command_data(uint8_t command) {
  const efi::CommandLayouts* row = efi::command_layouts(command);
  if (!row || !row->converts_command) return {};
  const uint8_t kind = command_kind(command);
  const Layout& layout = row->command->kinded ? efi::kinded_layout(kind) : *row->command;

  Bytes data(fixed_part(layout));
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<unsigned char>(0x20 + command + i);
  for (uint16_t k : layout.words) put16(&data[k], static_cast<uint16_t>(0x1000 + command * 16 + k));
  for (uint16_t k : layout.longs) put32(&data[k], 0x20000000u + command * 0x10000u + k);
  if (row->command->kinded) data[efi::KINDED_RECORD_KIND_OFFSET] = kind;
  if (const std::optional<KindSelector> selector = kind_selector(command); selector && selector->offset != UINT16_MAX)
    put16(&data[selector->offset], selector->default_kind);

  const std::vector<ArraySpan> spans = lay_out_arrays(layout, data, command_element_byte, command, command_shape);
  for (const ArraySpan& span : spans)
    if (span.offset) EfiSetArrayElements(data.data(), span.descriptor, data.data() + *span.offset);
  return data;
}

Response Unit::respond(const CommandHeader_TS& header, const unsigned char* data, size_t size) const {
  const uint16_t code = header.command_code;
  if (!is_command_code(code)) return refusal(code, UNIT_STATUS_UNKNOWN_COMMAND);
  if (!data) size = 0;
  const auto command = static_cast<uint8_t>(code - EFI_COMMAND_CODE_BASE);
  const efi::CommandLayouts& row = efi::COMMAND_LAYOUTS[command];

  const Layout* command_layout = nullptr;
  if (row.converts_command) {
    command_layout = &efi::effective_layout(*row.command, data, size);
    if (size < command_layout->fixed_size()) return refusal(code, UNIT_STATUS_SHORT_COMMAND_DATA);
    const Spans spans = array_spans(*command_layout, data, size);
    if (spans.placement_status == STATUS_TS_BAD_ARRAY) return refusal(code, UNIT_STATUS_BAD_COMMAND_ARRAY);
    for (const ArraySpan& span : spans.arrays)
      if (span.end() > size) return refusal(code, UNIT_STATUS_BAD_COMMAND_ARRAY);
  }
  const uint16_t digest = command_digest(command_layout, data, size);

  Response response;
  response.header = {code, 0, 0, EFI_RESPONSE_MARKER};
  Bytes& out = response.data;
  const Layout* layout = response_layout(command, data, size);
  if (!layout) {
    out.resize(4 + command % 13);
    for (size_t i = 0; i < out.size(); ++i) out[i] = static_cast<unsigned char>(command * 11 + i * 29 + digest);
  } else {
    out.resize(fixed_part(*layout));
    for (size_t i = 0; i < out.size(); ++i) out[i] = static_cast<unsigned char>(0x80 + command + 3 * i);
    for (uint16_t k : layout->words) put16(&out[k], static_cast<uint16_t>(command << 8 | k));
    for (uint16_t k : layout->longs) put32(&out[k], uint32_t{command} << 24 | uint32_t{k} << 16 | digest);
    if (row.response->kinded) out[efi::KINDED_RECORD_KIND_OFFSET] = response_kind(command, data, size);
    // The unit knows no host address: its `elements` words are 0 until the host places them.
    for (uint16_t k : layout->arrays) put32(&out[efi::array_pointer_word(k)], 0);
    lay_out_arrays(*layout, out, response_element_byte, command, response_shape);
  }
  response.header.response_data_returning_size = static_cast<uint16_t>(out.size());
  return response;
}

Bytes command_data_to_host_order(uint8_t command, Bytes data) {
  const efi::CommandLayouts* row = efi::command_layouts(command);
  if (!row || !row->converts_command) return data;
  return convert(*row->command, std::move(data));
}

Bytes response_data_to_unit_order(uint8_t command, Bytes data) {
  const efi::CommandLayouts* row = efi::command_layouts(command);
  if (!row || !row->converts_response) return data;
  return convert(*row->response, std::move(data));
}

ResponseHeader_TS swapped(ResponseHeader_TS header) {
  for (uint16_t* field : {&header.response_code, &header.response_data_returning_size, &header.response_status,
                          &header.dummy})
    *field = static_cast<uint16_t>(*field << 8 | *field >> 8);
  return header;
}

CommandHeader_TS swapped(CommandHeader_TS header) {
  for (uint16_t* field :
       {&header.command_code, &header.command_data_size, &header.response_buffer_size, &header.reserved})
    *field = static_cast<uint16_t>(*field << 8 | *field >> 8);
  return header;
}

Bytes serialise(uint8_t command, const Response& response, ByteOrder order) {
  const ResponseHeader_TS header = order == ByteOrder::unit ? swapped(response.header) : response.header;
  Bytes bytes(sizeof header);
  std::memcpy(bytes.data(), &header, sizeof header);
  const Bytes data = order == ByteOrder::unit ? response_data_to_unit_order(command, response.data) : response.data;
  bytes.insert(bytes.end(), data.begin(), data.end());
  return bytes;
}

}  // namespace softunit
