// Every layout's offsets read back from its name, independently of the layout tables: the other
// conversion tests build their structures from those same tables, so only this check sees a
// wrong offset in them.
#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <string>
#include <vector>

#include "convert/layouts.h"

namespace efi {
namespace {

using Offsets = std::vector<uint32_t>;

struct Items {
  Offsets words, longs, arrays;
  uint32_t end = 0;  // first byte after the last item
};

// Reads the items of a name without its "TS_": W<k> is a 16-bit field at k, L<k> a 32-bit field,
// L<a>to<b> 32-bit fields at every fourth offset from a to b, A<k> an array descriptor whose
// `elements` word is the first multiple of 4 at or after k + 3. Items ascend without overlap.
Items parse_items(const std::string& text) {
  Items items;
  for (size_t at = 0; at < text.size();) {
    const size_t stop = std::min(text.find('_', at), text.size());
    const std::string item = text.substr(at, stop - at);
    at = stop + 1;
    size_t digits = 0;
    const uint32_t first = static_cast<uint32_t>(std::stoul(item.substr(1), &digits));
    uint32_t last = first;
    if (item.compare(1 + digits, 2, "to") == 0)
      last = static_cast<uint32_t>(std::stoul(item.substr(3 + digits), &digits));
    EXPECT_GE(first, items.end) << item << " in " << text;
    for (uint32_t k = first; k <= last; k += 4) {
      if (item[0] == 'W') {
        items.words.push_back(k);
        items.end = k + 2;
      } else if (item[0] == 'L') {
        items.longs.push_back(k);
        items.end = k + 4;
      } else if (item[0] == 'A') {
        items.arrays.push_back(k);
        items.end = (k + 3 + 3) / 4 * 4 + 4;
      } else {
        ADD_FAILURE() << "unknown item " << item << " in " << text;
      }
    }
  }
  return items;
}

Offsets sorted(const OffsetList& list) {
  Offsets offsets(list.begin(), list.end());
  std::sort(offsets.begin(), offsets.end());
  return offsets;
}

// Field order means nothing to the swap; descriptor order is placement order.
void expect_items(const Layout& layout, const Items& items, uint32_t data_start) {
  EXPECT_EQ(sorted(layout.words), items.words);
  EXPECT_EQ(sorted(layout.longs), items.longs);
  EXPECT_EQ(Offsets(layout.arrays.begin(), layout.arrays.end()), items.arrays);
  EXPECT_EQ(layout.data_start, data_start);
  EXPECT_EQ(layout.fixed_size(), items.arrays.empty() ? items.end : data_start);
}

std::vector<const Layout*> named_layouts() {
  std::set<const Layout*> seen;
  for (const CommandLayouts& row : COMMAND_LAYOUTS) {
    if (row.converts_command && !row.command->kinded) seen.insert(row.command);
    if (row.converts_response && !row.response->kinded) seen.insert(row.response);
  }
  return {seen.begin(), seen.end()};
}

class LayoutName : public ::testing::TestWithParam<const Layout*> {};

// In every named layout the data area follows the last item at the next multiple of 4.
TEST_P(LayoutName, OffsetsAreTheOnesTheNameGives) {
  const Layout& layout = *GetParam();
  const std::string name = layout.name;
  ASSERT_EQ(name.rfind("TS_", 0), 0u) << name;
  const Items items = parse_items(name.substr(3));
  expect_items(layout, items, items.arrays.empty() ? 0 : (items.end + 3) / 4 * 4);
  EXPECT_FALSE(layout.kinded);
}

INSTANTIATE_TEST_SUITE_P(EveryLayoutOfTheTable, LayoutName, ::testing::ValuesIn(named_layouts()),
                         [](const auto& info) { return std::string(info.param->name); });

// KindedRecord_TS names no offsets: its common part and the part of each kind are written here
// the way layout names are, from the documented tables, each with its data-area start, which for
// these records does not follow from the items.
constexpr const char* KINDED_COMMON = "L0to24_W30_A32_A40_A48_W56_W58_L60";

struct KindPart {
  std::vector<unsigned> kinds;
  const char* items;
  uint32_t data_start;
};

const KindPart KIND_PARTS[] = {
    {{1}, "L112_A116_A124_A132_A140_A148_A156_A164", 176},
    {{3}, "L64to76", 84},
    {{4}, "L68_L72", 88},
    {{5, 6}, "A64_A72_A80_L88_L92_L96_A100", 108},
    {{7}, "A64_L72_L76_W84_A86", 96},
    {{8}, "A64_A72_L80_L84_W92_W94_A96", 104},
    {{9}, "W64_L68_A72", 80},
    {{10}, "L68to88", 92},
    {{13, 17}, "", 68},
    {{14}, "W64_W66_W68_A72", 80},
    {{15}, "L64_L68_L72_A76_A84_A92_A100_A108", 116},
    {{16, 24}, "W64", 68},
    {{18, 22}, "L64to84", 92},
    {{19}, "L64_A68_A76_A84", 92},
    {{20}, "A64_A72_A80", 88},
    {{23}, "W68_W70_A84", 100},
    {{26}, "A64", 72},
    {{27}, "L64", 72},
    {{28}, "L64to76_A84_A92", 100},
    {{30}, "L68_A72_A80", 88},
    {{31}, "L64_L68", 76},
    {{32}, "L64_A72", 80},
    {{33}, "L64", 76},
    {{34}, "L64_L68_L72", 76},
    {{35}, "L68_A72_A80_A88_A96_A104_A112", 120},
    {{36}, "A64_A72_A80_A88", 96},
    {{37}, "A64_A72_A80_A88_A96_A104_A112_A120_A128_A136_A144_L156_L160_L164_A172", 180},
    {{38}, "A64_A72_A80_A88_A96_A104_A112_A120_L128_A132_L140_W144", 148},
    {{39}, "L88_L96_L104_L112_L120_A128_A136", 144},
    {{41}, "L68to80_W86_W88_W90_W92_W94_W96_W98_W100", 104},
    {{42}, "A64_A72_A80_A88_A96_A104_A112_A120_L132_A140", 148},
};

// Kinds without a part of their own, 43 to 255 among them, are the common part alone.
TEST(KindedRecordLayout, EveryKindIsTheCommonPartThenItsOwn) {
  expect_items(KindedRecord_TS, parse_items(KINDED_COMMON), 64);
  EXPECT_TRUE(KindedRecord_TS.kinded);
  for (unsigned kind = 0; kind <= 255; ++kind) {
    SCOPED_TRACE(testing::Message() << "kind " << kind);
    std::string items = KINDED_COMMON;
    uint32_t data_start = 64;
    for (const KindPart& part : KIND_PARTS) {
      if (std::count(part.kinds.begin(), part.kinds.end(), kind) == 0) continue;
      if (*part.items) items = items + "_" + part.items;
      data_start = part.data_start;
    }
    const Layout& layout = kinded_layout(static_cast<uint8_t>(kind));
    expect_items(layout, parse_items(items), data_start);
    EXPECT_FALSE(layout.kinded);
  }
}

}  // namespace
}  // namespace efi
