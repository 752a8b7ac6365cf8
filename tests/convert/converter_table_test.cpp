#include <gtest/gtest.h>

#include <map>
#include <set>
#include <string>
#include <vector>

#include "convert/converter_table.h"
#include "convert/layouts.h"

namespace efi {
namespace {

std::string name_of(const Layout* layout) { return layout ? layout->name : "-"; }

TEST(ConverterTable, RowsThatConvertNothing) {
  std::vector<unsigned> empty_rows;
  for (unsigned n = 0; n < CONVERTER_ROW_COUNT; ++n) {
    const ConverterRow& row = CommandConverterTable[n];
    if (!row.command_swap && !row.command_placement && !row.response_swap && !row.response_placement)
      empty_rows.push_back(n);
  }
  EXPECT_EQ(empty_rows, (std::vector<unsigned>{0x07, 0x2F, 0x38, 0x45}));
}

TEST(ConverterTable, NumbersBeyondTheTableHaveNoRow) {
  EXPECT_EQ(converter_row(0x57), &CommandConverterTable[0x57]);
  for (unsigned n = 0x58; n <= 0xFF; ++n) {
    EXPECT_EQ(converter_row(static_cast<uint8_t>(n)), nullptr);
    EXPECT_EQ(command_layouts(static_cast<uint8_t>(n)), nullptr);
  }
}

// Each entry exists exactly when its layout does, and placement only for layouts with arrays.
TEST(ConverterTable, EntriesFollowTheNamedLayouts) {
  for (unsigned n = 0; n < CONVERTER_ROW_COUNT; ++n) {
    const ConverterRow& row = CommandConverterTable[n];
    const CommandLayouts& layouts = *command_layouts(static_cast<uint8_t>(n));
    EXPECT_EQ(row.command_swap != nullptr, layouts.command != nullptr) << n;
    EXPECT_EQ(row.response_swap != nullptr, layouts.response != nullptr) << n;
    EXPECT_EQ(row.command_placement != nullptr, layouts.command && layouts.command->has_arrays())
        << n;
    EXPECT_EQ(row.response_placement != nullptr,
              layouts.response && layouts.response->has_arrays())
        << n;
  }
}

TEST(ConverterTable, LayoutFrequencies) {
  std::map<std::string, int> responses, sides;
  std::set<unsigned> kinded_commands, kinded_responses, l0_a4_a12_commands;
  for (unsigned n = 0; n < CONVERTER_ROW_COUNT; ++n) {
    const CommandLayouts& layouts = COMMAND_LAYOUTS[n];
    ++responses[name_of(layouts.response)];
    ++sides[name_of(layouts.command)];
    ++sides[name_of(layouts.response)];
    if (layouts.command == &KindedRecord_TS) kinded_commands.insert(n);
    if (layouts.response == &KindedRecord_TS) kinded_responses.insert(n);
    if (layouts.command == &TS_L0_A4_A12) l0_a4_a12_commands.insert(n);
  }
  EXPECT_EQ(responses["TS_L0_A4_A12"], 37);
  EXPECT_EQ(l0_a4_a12_commands, (std::set<unsigned>{0x52}));
  EXPECT_EQ(sides["TS_A0"], 27);
  EXPECT_EQ(kinded_commands, (std::set<unsigned>{0x30, 0x31, 0x57}));
  EXPECT_EQ(kinded_responses, (std::set<unsigned>{0x33, 0x34}));
}

TEST(ConverterTable, SpotChecksOfRowsAndNames) {
  struct Expected {
    uint8_t command;
    const char* command_layout;
    const char* response_layout;
  };
  for (const Expected& e : {Expected{0x00, "-", "TS_L0_L4"}, Expected{0x06, "TS_W2_W4_A8_A16_L24to36_A40", "TS_L0_A4_A12"},
                            Expected{0x1C, "TS_L4to20", "-"}, Expected{0x27, "TS_L0_W4", "TS_W0_L4_A8"},
                            Expected{0x4B, "-", "TS_W18_L24_L32_A40_A48"},
                            Expected{0x4F, "TS_L0", "TS_L0_L4_L8_A12_L20_A24_A32"},
                            Expected{0x50, "TS_W2_A4", "TS_L0_A4_A12"}, Expected{0x56, "-", "TS_A0_A8_A16"}}) {
    const CommandLayouts* layouts = command_layouts(e.command);
    ASSERT_NE(layouts, nullptr);
    EXPECT_EQ(name_of(layouts->command), e.command_layout) << int{e.command};
    EXPECT_EQ(name_of(layouts->response), e.response_layout) << int{e.command};
  }
}

// What a software unit or a command-line host reads from the descriptions.
TEST(LayoutDescription, FixedPartSizes) {
  EXPECT_EQ(TS_L0.fixed_size(), 4u);
  EXPECT_EQ(TS_L0_W6.fixed_size(), 8u);
  EXPECT_EQ(TS_L0_L8to72.fixed_size(), 76u);
  EXPECT_EQ(TS_L4to20.fixed_size(), 24u);
  EXPECT_EQ(TS_W2.fixed_size(), 4u);
  EXPECT_EQ(TS_A0.fixed_size(), 8u);
  EXPECT_EQ(TS_L0_A4_A12.fixed_size(), 20u);
  EXPECT_EQ(TS_W2_A52_A60.fixed_size(), 68u);
  EXPECT_EQ(KindedRecord_TS.fixed_size(), 64u);
  EXPECT_EQ(kinded_layout(1).fixed_size(), 176u);
  EXPECT_EQ(kinded_layout(3).fixed_size(), 84u);
}

}  // namespace
}  // namespace efi
