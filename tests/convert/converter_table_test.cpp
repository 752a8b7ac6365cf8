#include "convert/converter_table.h"

#include <gtest/gtest.h>

#include <map>
#include <set>
#include <string>
#include <vector>

#include "convert/layouts.h"

namespace efi {
namespace {

std::string name_of(const Layout* layout) { return layout ? layout->name : "-"; }

TEST(ConverterTable, RowsThatConvertNothing) {
  std::vector<unsigned> empty_rows;
  for (unsigned n = 0; n < CONVERTER_ROW_COUNT; ++n) {
    const ConverterRow& row = CommandConverterTable[n];
    if (!row.command_swap && !row.command_placement && !row.response_swap &&
        !row.response_placement)
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
    EXPECT_EQ(row.response_placement != nullptr, layouts.response && layouts.response->has_arrays())
        << n;
    EXPECT_EQ(row.response_conversion != nullptr, row.response_placement != nullptr) << n;
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

// What a software unit or a command-line host reads from the descriptions.
TEST(LayoutDescription, FixedPartSizes) {
  EXPECT_EQ(TS_L0_W6.fixed_size(), 8u);
  EXPECT_EQ(TS_L0_L8to72.fixed_size(), 76u);
  EXPECT_EQ(TS_W2_A52_A60.fixed_size(), 68u);
  EXPECT_EQ(KindedRecord_TS.fixed_size(), 64u);
  EXPECT_EQ(kinded_layout(3).fixed_size(), 84u) << "the data area starts past the last field";
}

}  // namespace
}  // namespace efi
