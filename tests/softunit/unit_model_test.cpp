// The model unit: answers that follow each command's response layout, and refusals. Its byte
// order against the library's converters is checked end to end by the links' every-command tests.
#include <gtest/gtest.h>

#include <set>

#include "convert/byte_order.h"
#include "unit.h"

namespace softunit {
namespace {

Response answer(uint8_t command, const Bytes& data) {
  const CommandHeader_TS header{static_cast<uint16_t>(EFI_COMMAND_CODE_BASE + command),
                                static_cast<uint16_t>(data.size()), TS_MAX_TRANSFERSTRUCTS_SIZE, 0};
  return Unit().respond(header, data.data(), data.size());
}

// What the answers exercise across commands, so the link tests see every case conversion has.
struct Exercised {
  std::set<uint32_t> element_sizes;
  size_t empty_arrays = 0;
};

// A well-formed answer: a complete header, the fixed part present, every array placed wholly
// inside the data, and nothing after the last array.
void expect_follows_layout(uint8_t command, const Bytes& command_data, const efi::Layout& layout, Exercised& seen) {
  SCOPED_TRACE(testing::Message() << "command 0x" << std::hex << int{command} << " layout " << layout.name);
  const Response response = answer(command, command_data);
  EXPECT_EQ(response.header.response_code, EFI_COMMAND_CODE_BASE + command);
  EXPECT_EQ(response.header.response_status, 0);
  EXPECT_EQ(response.header.dummy, EFI_RESPONSE_MARKER);
  ASSERT_EQ(response.header.response_data_returning_size, response.data.size());
  ASSERT_LE(response.data.size(), TS_MAX_TRANSFERSTRUCTS_SIZE);
  EXPECT_EQ(response_layout(command, command_data.data(), command_data.size()), &layout);
  if (!layout.has_arrays()) {
    EXPECT_EQ(response.data.size(), layout.fixed_size());
    return;
  }
  const Spans spans = array_spans(layout, response.data.data(), response.data.size());
  EXPECT_NE(spans.placement_status, STATUS_TS_BAD_ARRAY);
  uint64_t end = layout.data_start;
  for (const ArraySpan& span : spans.arrays) {
    if (span.element_count == 0) {
      ++seen.empty_arrays;
      continue;
    }
    ASSERT_TRUE(span.offset.has_value());
    seen.element_sizes.insert(span.element_size);
    end = std::max(end, span.end());
  }
  EXPECT_EQ(end, response.data.size());
}

TEST(UnitModel, EveryCommandAndEveryKindAnswersWithItsResponseLayout) {
  Exercised seen;
  for (unsigned n = 0; n < EFI_COMMAND_COUNT; ++n) {
    const auto command = static_cast<uint8_t>(n);
    const Bytes data = well_formed_command_data(command);
    const efi::CommandLayouts& row = efi::COMMAND_LAYOUTS[n];
    const Bytes reply = answer(command, data).data;
    if (row.converts_response)
      expect_follows_layout(command, data, efi::effective_layout(*row.response, reply.data(), reply.size()), seen);
    else
      EXPECT_FALSE(reply.empty()) << n;
  }
  const std::optional<KindSelector> selector = kind_selector(0x33);
  ASSERT_TRUE(selector.has_value());
  for (unsigned kind = 0; kind <= 255; ++kind) {
    Bytes data = well_formed_command_data(0x33);
    data[selector->offset] = static_cast<unsigned char>(kind);
    expect_follows_layout(0x33, data, efi::kinded_layout(static_cast<uint8_t>(kind)), seen);
    EXPECT_EQ(answer(0x33, data).data[efi::KINDED_RECORD_KIND_OFFSET], kind);
  }
  // Sizes swapped, carried as they are (1, 17) and needing rounding (3), and empty arrays.
  for (uint32_t size : {1u, 2u, 3u, 4u, 8u, 12u, 16u, 17u}) EXPECT_TRUE(seen.element_sizes.count(size)) << size;
  EXPECT_GT(seen.empty_arrays, 0u);
}

TEST(UnitModel, AnswersDependOnTheCommandDataButNotOnTheHostsElementsWords) {
  EXPECT_NE(answer(0x05, {1, 0, 0, 0}).data, answer(0x05, {2, 0, 0, 0}).data);
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

}  // namespace
}  // namespace softunit
