#include <efilink/efilink.h>
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "convert/byte_order.h"
#include "convert/converter_table.h"
#include "convert/layouts.h"
#include "structure_bytes.h"

namespace efi {
namespace {

using namespace test;

// A TS_A0 response of 02 00 03, five arbitrary bytes, then 11 22 33 44 55 66.
Bytes ts_a0_response(uint8_t element_size) {
  Bytes b{element_size, 0x00, 0x03, 0xEE, 0xA1, 0xA2, 0xA3,
          0xA4,         0x11, 0x22, 0x33, 0x44, 0x55, 0x66};
  return b;
}

TEST(OneArray, PlacesAfterFixedPartAndSwapsTwoByteElements) {
  Bytes b = ts_a0_response(2);
  EXPECT_EQ(PlaceArrayData(TS_A0, b.data(), b.size()), 0u);
  EXPECT_EQ(EfiArrayElements(b.data(), 0), b.data() + 8);
  SwapStructureByteOrder(TS_A0, b.data(), b.size(), ArrayWalk::placed_only);
  EXPECT_EQ(Bytes(b.begin() + 8, b.end()), (Bytes{0x22, 0x11, 0x44, 0x33, 0x66, 0x55}));
  EXPECT_EQ(b[3], 0xEE);
}

TEST(OneArray, ElementsOfOneOrSeventeenBytesArePlacedButNotSwapped) {
  for (uint8_t size : {1, 17}) {
    Bytes b = patterned(8 + 34);
    set_descriptor(b, 0, size, 2);
    ASSERT_EQ(PlaceArrayData(TS_A0, b.data(), b.size()), 0u);
    EXPECT_EQ(EfiArrayElements(b.data(), 0), b.data() + 8);
    Bytes placed = b;
    SwapStructureByteOrder(TS_A0, b.data(), b.size(), ArrayWalk::placed_only);
    EXPECT_EQ(b, placed) << "element size " << int{size};
  }
}

TEST(OneArray, EmptyArrayReportsEmptyAndKeepsPointerWord) {
  Bytes b = ts_a0_response(2);
  b[1] = b[2] = 0;
  Bytes before = b;
  EXPECT_EQ(PlaceArrayData(TS_A0, b.data(), b.size()), STATUS_TS_EMPTY_ARRAY);
  EXPECT_EQ(b, before);
  SwapStructureByteOrder(TS_A0, b.data(), b.size(), ArrayWalk::placed_only);
  EXPECT_EQ(b, before);
}

TEST(OneArray, ZeroElementSizeIsBadAndKeepsPointerWord) {
  Bytes b = ts_a0_response(0);
  b[2] = 5;
  Bytes before = b;
  EXPECT_EQ(PlaceArrayData(TS_A0, b.data(), b.size()), STATUS_TS_BAD_ARRAY);
  EXPECT_EQ(b, before);
}

TEST(OneArray, LimitIs4088BytesIncludingTheFixedPart) {
  Bytes b(4096);
  set_descriptor(b, 0, 4, 1020);  // 8 + 4080 = 4088
  EXPECT_EQ(PlaceArrayData(TS_A0, b.data(), b.size()), 0u);
  std::memset(b.data() + 4, 0xCC, 4);
  set_descriptor(b, 0, 4, 1021);
  EXPECT_EQ(PlaceArrayData(TS_A0, b.data(), b.size()), STATUS_TS_BAD_ARRAY);
  EXPECT_EQ(placed_at(b, 0), 8u) << "the pointer word is set before the limit is checked";

  set_descriptor(b, 0, 16, 4096);  // 65536 bytes: must not wrap at 16 bits
  EXPECT_EQ(PlaceArrayData(TS_A0, b.data(), b.size()), STATUS_TS_BAD_ARRAY);
}

TEST(FixedFields, SwapReversesNamedFieldsOnlyAndIsItsOwnInverse) {
  Bytes b{0x78, 0x56, 0x34, 0x12, 0xAA, 0xBB, 0x34, 0x12};
  SwapStructureByteOrder(TS_L0_W6, b.data(), b.size(), ArrayWalk::follow_elements);
  EXPECT_EQ(b, (Bytes{0x12, 0x34, 0x56, 0x78, 0xAA, 0xBB, 0x12, 0x34}));
  SwapStructureByteOrder(TS_L0_W6, b.data(), b.size(), ArrayWalk::follow_elements);
  EXPECT_EQ(b, (Bytes{0x78, 0x56, 0x34, 0x12, 0xAA, 0xBB, 0x34, 0x12}));
}

TEST(FixedFields, CarriedBytesOfL0L8to72StayPut) {
  Bytes b(76);
  for (size_t i = 0; i < b.size(); ++i) b[i] = static_cast<unsigned char>(i);
  SwapStructureByteOrder(TS_L0_L8to72, b.data(), b.size(), ArrayWalk::placed_only);
  EXPECT_EQ(Bytes(b.begin(), b.begin() + 8), (Bytes{3, 2, 1, 0, 4, 5, 6, 7}));
  EXPECT_EQ(Bytes(b.begin() + 72, b.end()), (Bytes{75, 74, 73, 72}));
}

TEST(SeveralArrays, RoundsEachArrayFromTheDataAreaStart) {
  Bytes b(64);
  set_descriptor(b, 4, 1, 3);
  set_descriptor(b, 12, 4, 2);
  EXPECT_EQ(PlaceArrayData(TS_L0_A4_A12, b.data(), b.size()), 0u);
  EXPECT_EQ(EfiArrayElements(b.data(), 4), b.data() + 20);
  EXPECT_EQ(EfiArrayElements(b.data(), 12), b.data() + 24);

  set_descriptor(b, 12, 8, 1);  // after three bytes, eight-byte elements go to D + 8
  EXPECT_EQ(PlaceArrayData(TS_L0_A4_A12, b.data(), b.size()), 0u);
  EXPECT_EQ(placed_at(b, 12), 28u);
}

TEST(SeveralArrays, ThreeByteElementsRoundToMultiplesOfThree) {
  for (auto [first_count, expected] : {std::pair{1, 3}, {2, 3}, {4, 6}}) {
    Bytes b(64);
    set_descriptor(b, 0, 1, static_cast<uint16_t>(first_count));
    set_descriptor(b, 8, 3, 2);
    EXPECT_EQ(PlaceArrayData(TS_A0_A8, b.data(), b.size()), 0u);
    EXPECT_EQ(placed_at(b, 8), 16u + expected) << first_count << " one-byte elements first";
  }
}

TEST(SeveralArrays, EmptyArrayTakesNoRoomAndDoesNotStopPlacement) {
  Bytes b(64);
  fill_words(b, TS_L0_A4_A12, 0xCC);
  set_descriptor(b, 4, 1, 0);
  set_descriptor(b, 12, 4, 2);
  EXPECT_EQ(PlaceArrayData(TS_L0_A4_A12, b.data(), b.size()), STATUS_TS_EMPTY_ARRAY);
  EXPECT_EQ(word_at(b, 4), 0xCCCCCCCCu);
  EXPECT_EQ(placed_at(b, 12), 20u);
}

TEST(SeveralArrays, ZeroElementSizeStopsAndLeavesLaterWords) {
  Bytes b(64);
  fill_words(b, TS_L0_A4_A12, 0xCC);
  set_descriptor(b, 4, 0, 1);
  set_descriptor(b, 12, 4, 2);
  EXPECT_EQ(PlaceArrayData(TS_L0_A4_A12, b.data(), b.size()), STATUS_TS_BAD_ARRAY);
  EXPECT_EQ(word_at(b, 4), 0xCCCCCCCCu);
  EXPECT_EQ(word_at(b, 12), 0xCCCCCCCCu);

  // A zero size after a placed array keeps the earlier word and stops before the next.
  Bytes c(64);
  fill_words(c, TS_L0_A4_A12_A20, 0xCC);
  set_descriptor(c, 4, 2, 1);
  set_descriptor(c, 12, 0, 1);
  set_descriptor(c, 20, 2, 1);
  EXPECT_EQ(PlaceArrayData(TS_L0_A4_A12_A20, c.data(), c.size()), STATUS_TS_BAD_ARRAY);
  EXPECT_EQ(placed_at(c, 4), 28u);
  EXPECT_EQ(word_at(c, 12), 0xCCCCCCCCu);
  EXPECT_EQ(word_at(c, 20), 0xCCCCCCCCu);
}

TEST(SeveralArrays, OversizeIsCheckedAfterEveryArrayIsPlaced) {
  Bytes b(TS_MAX_TRANSFERSTRUCTS_SIZE);
  set_descriptor(b, 4, 2, 2040);
  set_descriptor(b, 12, 2, 2040);
  EXPECT_EQ(PlaceArrayData(TS_L0_A4_A12, b.data(), b.size()), STATUS_TS_BAD_ARRAY);
  EXPECT_EQ(placed_at(b, 4), 20u);
  EXPECT_EQ(placed_at(b, 12), 4100u);

  set_descriptor(b, 4, 1, 0);  // an empty array before it does not hide the oversize
  set_descriptor(b, 12, 255, 0xFFFF);
  EXPECT_EQ(PlaceArrayData(TS_L0_A4_A12, b.data(), b.size()), STATUS_TS_BAD_ARRAY);
}

TEST(SeveralArrays, ThreeResponseArraysOfCommand43) {
  const ConverterRow* row = converter_row(0x43);
  ASSERT_NE(row, nullptr);
  Bytes b(128);
  set_descriptor(b, 4, 2, 1);
  set_descriptor(b, 12, 4, 1);
  set_descriptor(b, 20, 8, 1);
  EXPECT_EQ(row->response_placement(b.data(), b.size()), 0u);
  EXPECT_EQ(EfiArrayPointerWordOffset(4), 8u);
  EXPECT_EQ(EfiArrayPointerWordOffset(12), 16u);
  EXPECT_EQ(EfiArrayPointerWordOffset(20), 24u);
  EXPECT_EQ(EfiArrayElements(b.data(), 4), b.data() + 28);
  EXPECT_EQ(EfiArrayElements(b.data(), 12), b.data() + 32);
  EXPECT_EQ(EfiArrayElements(b.data(), 20), b.data() + 36);
}

TEST(PointerWord, HoldsOffsetOnWideHostsAndAddressOnNarrowOnes) {
  Bytes b(64);
  set_descriptor(b, 4, 2, 1);
  ASSERT_EQ(PlaceArrayData(TS_L0_A4_A12, b.data(), b.size()), STATUS_TS_EMPTY_ARRAY);
  uint32_t word = word_at(b, 4);
  if constexpr (sizeof(void*) > 4) {
    EXPECT_EQ(word, 20u);
  } else {
    EXPECT_EQ(word, static_cast<uint32_t>(reinterpret_cast<uintptr_t>(b.data() + 20)));
  }
  // The header's helpers and the library agree in both directions.
  EXPECT_EQ(EfiArrayElements(b.data(), 4), b.data() + 20);
  EfiSetArrayElements(b.data(), 12, b.data() + 36);
  EXPECT_EQ(placed_at(b, 12), 36u);
}

Bytes kinded_record(uint8_t kind) {
  Bytes b(256);
  for (size_t i = 0; i < b.size(); ++i) b[i] = static_cast<unsigned char>(i * 7 + 3);
  b[KINDED_RECORD_KIND_OFFSET] = kind;
  for (uint32_t k : {32u, 40u, 48u}) set_descriptor(b, k, 4, 1);
  return b;
}

TEST(KindedRecord, KindTwentySixPlacesCommonArraysFirstFromSeventyTwo) {
  Bytes b = kinded_record(26);
  set_descriptor(b, 64, 4, 1);
  EXPECT_EQ(PlaceArrayData(KindedRecord_TS, b.data(), b.size()), 0u);
  EXPECT_EQ(placed_at(b, 32), 72u);
  EXPECT_EQ(placed_at(b, 40), 76u);
  EXPECT_EQ(placed_at(b, 48), 80u);
  EXPECT_EQ(placed_at(b, 64), 84u);
}

TEST(KindedRecord, KindSevenUsesTheDescriptorAtEightySix) {
  Bytes b = kinded_record(7);
  set_descriptor(b, 64, 2, 2);
  set_descriptor(b, 86, 8, 1);
  EXPECT_EQ(PlaceArrayData(KindedRecord_TS, b.data(), b.size()), 0u);
  EXPECT_EQ(placed_at(b, 64), 96u + 12);
  EXPECT_EQ(placed_at(b, 86), 96u + 16);
}

TEST(KindedRecord, KindsFromFortyThreeAreConvertedAsKindZero) {
  for (uint8_t kind : {43, 200, 255}) {
    Bytes zero = kinded_record(0);
    Bytes other = kinded_record(kind);
    for (Bytes* b : {&zero, &other}) {
      EXPECT_EQ(PlaceArrayData(KindedRecord_TS, b->data(), b->size()), 0u);
      SwapStructureByteOrder(KindedRecord_TS, b->data(), b->size(), ArrayWalk::placed_only);
    }
    EXPECT_EQ(other[KINDED_RECORD_KIND_OFFSET], kind) << "the kind byte is never converted";
    other[KINDED_RECORD_KIND_OFFSET] = 0;
    EXPECT_EQ(placed_at(zero, 32), 64u);
    // On 32-bit hosts the words are addresses, each into its own buffer: compare the places.
    for (uint32_t k : {32u, 40u, 48u}) {
      EXPECT_EQ(placed_at(other, k), placed_at(zero, k)) << "kind " << int{kind} << " array at " << k;
      std::memset(other.data() + array_pointer_word(k), 0, 4);
      std::memset(zero.data() + array_pointer_word(k), 0, 4);
    }
    EXPECT_EQ(other, zero) << "kind " << int{kind};
  }
}

TEST(KindedRecord, CommonFieldsAreReversedAndKindBytesCarried) {
  Bytes b = kinded_record(0);
  Bytes before = b;
  SwapStructureByteOrder(KindedRecord_TS, b.data(), 64, ArrayWalk::placed_only);
  EXPECT_EQ(b[0], before[3]);
  EXPECT_EQ(b[24], before[27]);
  EXPECT_EQ(b[28], before[28]);
  EXPECT_EQ(b[29], before[29]);
  EXPECT_EQ(b[30], before[31]);
  EXPECT_EQ(b[56], before[57]);
  EXPECT_EQ(b[58], before[59]);
  EXPECT_EQ(b[60], before[63]);
}

}  // namespace
}  // namespace efi
