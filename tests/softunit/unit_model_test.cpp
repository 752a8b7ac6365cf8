// The model unit: answers that follow each command's response layout, refusals, and the
// conversion to the unit's byte order checked against the library's own converters.
#include <gtest/gtest.h>

#include <cstring>
#include <set>

#include "convert/byte_order.h"
#include "convert/converter_table.h"
#include "unit.h"

namespace softunit {
namespace {

CommandHeader_TS header_for(uint8_t command, size_t data_size) {
  return {static_cast<uint16_t>(EFI_COMMAND_CODE_BASE + command), static_cast<uint16_t>(data_size),
          TS_MAX_TRANSFERSTRUCTS_SIZE, 0};
}

Response answer(uint8_t command, const Bytes& data) {
  return Unit().respond(header_for(command, data.size()), data.data(), data.size());
}

uint32_t fixed_part(const efi::Layout& layout) {
  return layout.has_arrays() ? layout.data_start : layout.fixed_size();
}

// What every well-formed answer must satisfy whatever the layout: a complete header, the fixed
// part present, every array placed wholly inside the data, and nothing after the last array.
void expect_follows_layout(uint8_t command, const Bytes& command_data, const Response& response,
                           const efi::Layout& layout, std::set<uint32_t>& element_sizes, size_t& empty_arrays) {
  SCOPED_TRACE(testing::Message() << "command 0x" << std::hex << int{command} << " layout " << layout.name);
  EXPECT_EQ(response.header.response_code, EFI_COMMAND_CODE_BASE + command);
  EXPECT_EQ(response.header.response_status, 0);
  EXPECT_EQ(response.header.dummy, EFI_RESPONSE_MARKER);
  ASSERT_EQ(response.header.response_data_returning_size, response.data.size());
  ASSERT_GE(response.data.size(), fixed_part(layout));
  ASSERT_LE(response.data.size(), TS_MAX_TRANSFERSTRUCTS_SIZE);
  const Spans spans = array_spans(layout, response.data.data(), response.data.size());
  EXPECT_NE(spans.placement_status, STATUS_TS_BAD_ARRAY);
  uint64_t end = fixed_part(layout);
  for (const ArraySpan& span : spans.arrays) {
    if (span.element_count == 0) {
      ++empty_arrays;
      continue;
    }
    ASSERT_TRUE(span.offset.has_value());
    element_sizes.insert(span.element_size);
    end = std::max(end, span.end());
  }
  EXPECT_EQ(end, response.data.size());
  EXPECT_EQ(response_layout(command, command_data.data(), command_data.size()), &layout);
}

TEST(UnitModel, EveryCommandAnswersWithItsResponseLayout) {
  std::set<uint32_t> element_sizes;
  size_t empty_arrays = 0, answered_with_arrays = 0;
  for (unsigned n = 0; n < EFI_COMMAND_COUNT; ++n) {
    const auto command = static_cast<uint8_t>(n);
    const Bytes data = well_formed_command_data(command);
    const Response response = answer(command, data);
    const efi::CommandLayouts& row = efi::COMMAND_LAYOUTS[n];
    if (!row.converts_response) {
      EXPECT_EQ(response.header.response_status, 0);
      EXPECT_FALSE(response.data.empty());
      continue;
    }
    const efi::Layout& layout = efi::effective_layout(*row.response, response.data.data(), response.data.size());
    expect_follows_layout(command, data, response, layout, element_sizes, empty_arrays);
    answered_with_arrays += layout.has_arrays();
  }
  // The answers exercise what conversion has to handle: swapped sizes, sizes carried as they
  // are (1 and 17 and more), sizes that need rounding, and empty arrays.
  for (uint32_t size : {1u, 2u, 3u, 4u, 8u, 12u, 16u, 17u}) EXPECT_TRUE(element_sizes.count(size)) << size;
  EXPECT_GT(empty_arrays, 0u);
  EXPECT_GT(answered_with_arrays, 60u);
}

TEST(UnitModel, KindedAnswersFollowTheKindTheCommandSelects) {
  const std::optional<KindSelector> selector = kind_selector(0x33);
  ASSERT_TRUE(selector.has_value());
  std::set<uint32_t> element_sizes;
  size_t empty_arrays = 0;
  for (unsigned kind = 0; kind <= 255; ++kind) {
    Bytes data = well_formed_command_data(0x33);
    const uint16_t selected = static_cast<uint16_t>(kind);
    std::memcpy(&data[selector->offset], &selected, 2);
    const Response response = answer(0x33, data);
    ASSERT_GT(response.data.size(), efi::KINDED_RECORD_KIND_OFFSET);
    EXPECT_EQ(response.data[efi::KINDED_RECORD_KIND_OFFSET], kind);
    expect_follows_layout(0x33, data, response, efi::kinded_layout(static_cast<uint8_t>(kind)), element_sizes,
                          empty_arrays);
  }
}

TEST(UnitModel, AnswersDependOnTheCommandDataButNotOnTheHostsElementsWords) {
  Bytes one = {1, 0, 0, 0}, two = {2, 0, 0, 0};
  EXPECT_EQ(answer(0x05, one).data, answer(0x05, one).data);
  EXPECT_NE(answer(0x05, one).data, answer(0x05, two).data);

  // Command 0x52 carries two arrays: where the host's buffer lies must not change the answer.
  Bytes data = well_formed_command_data(0x52);
  const Bytes before = answer(0x52, data).data;
  for (uint16_t k : efi::TS_L0_A4_A12.arrays) data[efi::array_pointer_word(k)] ^= 0x5A;
  EXPECT_EQ(answer(0x52, data).data, before);
}

TEST(UnitModel, RefusesWhatItCannotAnswer) {
  struct Case {
    const char* what;
    uint16_t code;
    Bytes data;
    uint16_t status;
  };
  Bytes oversized_array = well_formed_command_data(0x17);  // TS_A0: count beyond the data sent
  oversized_array[1] = 0x10;
  const Case cases[] = {
      {"number without a row", EFI_COMMAND_CODE_BASE + 0x58, {}, UNIT_STATUS_UNKNOWN_COMMAND},
      {"code outside the command range", 0x1234, {}, UNIT_STATUS_UNKNOWN_COMMAND},
      {"data shorter than the fixed part", EFI_COMMAND_CODE_BASE + 0x05, {1, 2, 3}, UNIT_STATUS_SHORT_COMMAND_DATA},
      {"array past the data", EFI_COMMAND_CODE_BASE + 0x17, oversized_array, UNIT_STATUS_BAD_COMMAND_ARRAY},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const CommandHeader_TS header{c.code, static_cast<uint16_t>(c.data.size()), 100, 0};
    const Response response = Unit().respond(header, c.data.data(), c.data.size());
    EXPECT_EQ(response.header.response_status, c.status);
    EXPECT_EQ(response.header.response_code, c.code);
    EXPECT_EQ(response.header.response_data_returning_size, 0);
    EXPECT_TRUE(response.data.empty());
  }
}

// The unit's conversion of command data must undo the library's command swap, which follows the
// host's elements words, for every command: the two walk the arrays differently.
TEST(UnitByteOrder, CommandDataFromTheLibraryComeBackToHostOrder) {
  size_t changed = 0;
  for (unsigned n = 0; n < EFI_COMMAND_COUNT; ++n) {
    SCOPED_TRACE(n);
    // Converted in the buffer it was made in, whose addresses its words hold on 32-bit hosts.
    Bytes unit_order = well_formed_command_data(static_cast<uint8_t>(n));
    const Bytes host = unit_order;
    if (const efi::Converter swap = efi::CommandConverterTable[n].command_swap)
      swap(unit_order.data(), unit_order.size());
    changed += unit_order != host;
    EXPECT_EQ(command_data_to_host_order(static_cast<uint8_t>(n), unit_order), host);
  }
  // Only commands with a command layout change order (a lone array of bytes stays as it is).
  EXPECT_GE(changed, 50u);
}

// And the library's response conversion must turn the unit-order answer back into the model's.
TEST(UnitByteOrder, ResponsesInUnitOrderConvertBackToTheModel) {
  for (unsigned n = 0; n < EFI_COMMAND_COUNT; ++n) {
    SCOPED_TRACE(n);
    const auto command = static_cast<uint8_t>(n);
    const Response response = answer(command, well_formed_command_data(command));
    Bytes buffer = response_data_to_unit_order(command, response.data);
    buffer.resize(TS_MAX_TRANSFERSTRUCTS_SIZE, 0);
    const efi::ConverterRow& row = efi::CommandConverterTable[n];
    if (row.response_placement) row.response_placement(buffer.data(), buffer.size());
    if (row.response_swap) row.response_swap(buffer.data(), buffer.size());
    buffer.resize(response.data.size());
    // Placement pointed the elements words into the host's buffer where the model wrote 0.
    if (efi::COMMAND_LAYOUTS[n].converts_response) {
      const efi::Layout& layout = efi::effective_layout(*efi::COMMAND_LAYOUTS[n].response, buffer.data(), buffer.size());
      for (const ArraySpan& span : array_spans(layout, buffer.data(), buffer.size()).arrays) {
        if (!span.offset) continue;
        EXPECT_EQ(EfiArrayElements(buffer.data(), span.descriptor), buffer.data() + *span.offset);
        std::memset(buffer.data() + efi::array_pointer_word(span.descriptor), 0, 4);
      }
    }
    EXPECT_EQ(buffer, response.data);
  }
}

TEST(UnitByteOrder, SerialisedAnswerHasTheHeaderMostSignificantByteFirst) {
  const Bytes data = {1, 0, 0, 0};
  const Response response = answer(0x05, data);
  const Bytes line = serialise(0x05, response, ByteOrder::unit);
  ASSERT_EQ(line.size(), 8u + 4u);
  EXPECT_EQ(Bytes(line.begin(), line.begin() + 8), (Bytes{0xCD, 0x05, 0x00, 0x04, 0x00, 0x00, 0x55, 0xAA}));
  // TS_L0: the one 32-bit field reversed.
  EXPECT_EQ(Bytes(line.begin() + 8, line.end()), Bytes(response.data.rbegin(), response.data.rend()));
  const Bytes host_line = serialise(0x05, response, ByteOrder::host);
  EXPECT_EQ(Bytes(host_line.begin() + 8, host_line.end()), response.data);
  EXPECT_EQ(host_line[0], 0x05);
}

}  // namespace
}  // namespace softunit
