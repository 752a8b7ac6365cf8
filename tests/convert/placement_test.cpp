#include <efilink/efilink.h>
#include <gtest/gtest.h>

#include <optional>
#include <ostream>
#include <vector>

#include "convert/byte_order.h"
#include "convert/layouts.h"
#include "structure_bytes.h"

namespace efi {
namespace {

using namespace test;

constexpr uint32_t UNTOUCHED = 0xCCCCCCCCu;

struct Array {
  uint32_t descriptor;
  uint8_t element_size;
  uint16_t count;
  std::optional<uint64_t> placed_at;  // none: the `elements` word keeps what it held
};

struct PlacementCase {
  const char* what;
  const Layout* layout;
  std::vector<Array> arrays;
  uint32_t status;
};

std::ostream& operator<<(std::ostream& out, const PlacementCase& c) { return out << c.what; }

class Placement : public ::testing::TestWithParam<PlacementCase> {};

TEST_P(Placement, SetsTheWordsAndStatusTheRuleGives) {
  const PlacementCase& c = GetParam();
  Bytes b(4096);
  fill_words(b, *c.layout, 0xCC);
  for (const Array& a : c.arrays) set_descriptor(b, a.descriptor, a.element_size, a.count);
  EXPECT_EQ(PlaceArrayData(*c.layout, b.data(), b.size()), c.status);
  for (const Array& a : c.arrays) {
    if (a.placed_at)
      EXPECT_EQ(placed_at(b, a.descriptor), *a.placed_at) << "array at " << a.descriptor;
    else
      EXPECT_EQ(word_at(b, a.descriptor), UNTOUCHED) << "array at " << a.descriptor;
  }
}

constexpr std::nullopt_t KEPT = std::nullopt;

INSTANTIATE_TEST_SUITE_P(
    DocumentedCases, Placement,
    ::testing::Values(
        PlacementCase{"one array after the fixed part", &TS_A0, {{0, 2, 3, 8}}, 0},
        PlacementCase{"empty array", &TS_A0, {{0, 2, 0, KEPT}}, STATUS_TS_EMPTY_ARRAY},
        PlacementCase{"zero element size", &TS_A0, {{0, 0, 5, KEPT}}, STATUS_TS_BAD_ARRAY},
        PlacementCase{"4088 bytes in all fit", &TS_A0, {{0, 4, 1020, 8}}, 0},
        PlacementCase{"4092 bytes do not; word set first", &TS_A0, {{0, 4, 1021, 8}}, STATUS_TS_BAD_ARRAY},
        PlacementCase{"65536 bytes of elements do not wrap", &TS_A0, {{0, 16, 4096, 8}}, STATUS_TS_BAD_ARRAY},
        PlacementCase{"rounding counts from the data area", &TS_L0_A4_A12, {{4, 1, 3, 20}, {12, 4, 2, 24}}, 0},
        PlacementCase{"eight-byte elements after three bytes", &TS_L0_A4_A12, {{4, 1, 3, 20}, {12, 8, 1, 28}}, 0},
        PlacementCase{"three-byte elements after one byte", &TS_A0_A8, {{0, 1, 1, 16}, {8, 3, 2, 19}}, 0},
        PlacementCase{"three-byte elements after two bytes", &TS_A0_A8, {{0, 1, 2, 16}, {8, 3, 2, 19}}, 0},
        PlacementCase{"three-byte elements after four bytes", &TS_A0_A8, {{0, 1, 4, 16}, {8, 3, 2, 22}}, 0},
        PlacementCase{"empty array takes no room", &TS_L0_A4_A12, {{4, 1, 0, KEPT}, {12, 4, 2, 20}},
                      STATUS_TS_EMPTY_ARRAY},
        PlacementCase{"zero size stops at once", &TS_L0_A4_A12, {{4, 0, 1, KEPT}, {12, 4, 2, KEPT}},
                      STATUS_TS_BAD_ARRAY},
        PlacementCase{"zero size keeps earlier words", &TS_L0_A4_A12_A20,
                      {{4, 2, 1, 28}, {12, 0, 1, KEPT}, {20, 2, 1, KEPT}}, STATUS_TS_BAD_ARRAY},
        PlacementCase{"oversize found after every array is placed", &TS_L0_A4_A12,
                      {{4, 2, 2040, 20}, {12, 2, 2040, 4100}}, STATUS_TS_BAD_ARRAY},
        PlacementCase{"an empty array does not hide oversize", &TS_L0_A4_A12,
                      {{4, 1, 0, KEPT}, {12, 255, 0xFFFF, 20}}, STATUS_TS_BAD_ARRAY},
        PlacementCase{"three response arrays of command 0x43", COMMAND_LAYOUTS[0x43].response,
                      {{4, 2, 1, 28}, {12, 4, 1, 32}, {20, 8, 1, 36}}, 0}));

}  // namespace
}  // namespace efi
