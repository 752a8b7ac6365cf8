#include <efilink/efilink.h>
#include <gtest/gtest.h>

#include "convert/byte_order.h"
#include "convert/layouts.h"
#include "structure_bytes.h"

namespace efi {
namespace {

using namespace test;

// The response swap converts only what placement set and what lies inside the buffer; the bytes
// between `size` and the end of the backing storage are a guard that must never change.
struct SecondArrayOverruns {
  uint16_t second_count;
  size_t size;
  uint32_t status;
};

class ResponseOverrun : public ::testing::TestWithParam<SecondArrayOverruns> {};

TEST_P(ResponseOverrun, OnlyTheArrayThatFitsIsSwapped) {
  const SecondArrayOverruns c = GetParam();
  Bytes b = patterned(TS_MAX_TRANSFERSTRUCTS_SIZE + 256);
  set_descriptor(b, 4, 2, 100);  // 20..219
  set_descriptor(b, 12, 2, c.second_count);
  ASSERT_EQ(PlaceArrayData(TS_L0_A4_A12, b.data(), c.size), c.status);
  const Bytes placed = b;
  SwapStructureByteOrder(TS_L0_A4_A12, b.data(), c.size, ArrayWalk::placed_only);
  EXPECT_EQ(b[20], placed[21]);
  EXPECT_EQ(b[219], placed[218]);
  EXPECT_EQ(Bytes(b.begin() + 220, b.end()), Bytes(placed.begin() + 220, placed.end()));
}

INSTANTIATE_TEST_SUITE_P(PastTheBufferOrTheLimit, ResponseOverrun,
                         ::testing::Values(SecondArrayOverruns{8, 230, 0},
                                           SecondArrayOverruns{2000, TS_MAX_TRANSFERSTRUCTS_SIZE,
                                                               STATUS_TS_BAD_ARRAY}));

TEST(ResponseBounds, ArraysAfterAZeroElementSizeAreNotFollowed) {
  Bytes b = patterned(64);
  set_descriptor(b, 4, 0, 1);
  set_descriptor(b, 12, 2, 2);
  set_offset(b, 12, 20);  // a plausible word the unit sent; placement never set it
  EXPECT_EQ(PlaceArrayData(TS_L0_A4_A12, b.data(), b.size()), STATUS_TS_BAD_ARRAY);
  Bytes placed = b;
  SwapStructureByteOrder(TS_L0_A4_A12, b.data(), b.size(), ArrayWalk::placed_only);
  EXPECT_EQ(Bytes(b.begin() + 4, b.end()), Bytes(placed.begin() + 4, placed.end()));
}

TEST(ResponseBounds, WordThatIsNotThePlacedValueIsNotFollowed) {
  Bytes b = patterned(64);
  set_descriptor(b, 0, 2, 4);
  set_offset(b, 0, 10);  // unplaced: the unit's word, pointing inside the buffer
  Bytes before = b;
  SwapStructureByteOrder(TS_A0, b.data(), b.size(), ArrayWalk::placed_only);
  EXPECT_EQ(b, before);
}

TEST(ResponseBounds, FieldsBeyondTheBufferAreNotTouched) {
  Bytes b = patterned(80);
  Bytes before = b;
  SwapStructureByteOrder(TS_L0_L8to72, b.data(), 10, ArrayWalk::placed_only);
  EXPECT_EQ(b[0], 0x43);
  EXPECT_EQ(Bytes(b.begin() + 4, b.end()), Bytes(before.begin() + 4, before.end()));
}

TEST(ResponseBounds, DescriptorOutsideTheBufferEndsPlacementUntouched) {
  Bytes b = patterned(64);
  set_descriptor(b, 4, 2, 1);
  set_descriptor(b, 12, 2, 1);
  Bytes before = b;
  // The second descriptor's word (16..19) is beyond a 17-byte buffer.
  EXPECT_EQ(PlaceArrayData(TS_L0_A4_A12, b.data(), 17), STATUS_TS_BAD_ARRAY);
  EXPECT_EQ(Bytes(b.begin() + 16, b.end()), Bytes(before.begin() + 16, before.end()));
  EXPECT_EQ(placed_at(b, 4), 20u) << "arrays before it are placed";
}

TEST(ResponseBounds, ShortKindedRecordIsReadAsKindZero) {
  Bytes b = patterned(40);
  Bytes before = b;
  SwapStructureByteOrder(KindedRecord_TS, b.data(), 28, ArrayWalk::placed_only);
  EXPECT_EQ(b[0], before[3]);
  EXPECT_EQ(b[24], before[27]);
  EXPECT_EQ(Bytes(b.begin() + 28, b.end()), Bytes(before.begin() + 28, before.end()));
  EXPECT_EQ(PlaceArrayData(KindedRecord_TS, b.data(), 28), STATUS_TS_BAD_ARRAY);
}

TEST(CommandBounds, FollowsTheHostsWordsWhereverTheyPointInsideTheData) {
  Bytes b = patterned(40);
  set_descriptor(b, 0, 2, 2);
  set_descriptor(b, 8, 4, 1);
  set_offset(b, 0, 24);  // the host laid the arrays out in reverse order
  set_offset(b, 8, 16);
  Bytes before = b;
  SwapStructureByteOrder(TS_A0_A8, b.data(), 28, ArrayWalk::follow_elements);
  EXPECT_EQ(Bytes(b.begin() + 16, b.begin() + 28),
            (Bytes{before[19], before[18], before[17], before[16], before[20], before[21],
                   before[22], before[23], before[25], before[24], before[27], before[26]}));
  SwapStructureByteOrder(TS_A0_A8, b.data(), 28, ArrayWalk::follow_elements);
  EXPECT_EQ(b, before);
}

TEST(CommandBounds, ArrayOutsideTheDataOrInsideTheFixedPartIsNotWalked) {
  for (uint64_t offset : {uint64_t{30}, uint64_t{12}, uint64_t{0}, uint64_t{0xFFFFFFF0}}) {
    Bytes b = patterned(40);
    set_descriptor(b, 0, 4, 1);
    set_offset(b, 0, 16);
    set_descriptor(b, 8, 2, 2);
    set_offset(b, 8, offset);  // 30..33 crosses the end of 32 bytes of data
    Bytes before = b;
    SwapStructureByteOrder(TS_A0_A8, b.data(), 32, ArrayWalk::follow_elements);
    EXPECT_EQ(b[16], before[19]) << "the array inside is converted";
    EXPECT_EQ(Bytes(b.begin() + 20, b.end()), Bytes(before.begin() + 20, before.end()))
        << "offset " << offset;
    EXPECT_EQ(Bytes(b.begin(), b.begin() + 16), Bytes(before.begin(), before.begin() + 16));
  }
}

TEST(CommandBounds, OverlappingArraysSwapOnlyTheFirstSoTwoSwapsRestore) {
  Bytes b = patterned(40);
  set_descriptor(b, 0, 4, 2);
  set_descriptor(b, 8, 2, 2);
  set_offset(b, 0, 16);
  set_offset(b, 8, 18);
  Bytes before = b;
  SwapStructureByteOrder(TS_A0_A8, b.data(), b.size(), ArrayWalk::follow_elements);
  EXPECT_EQ(b[16], before[19]);
  EXPECT_EQ(b[18], before[17]);
  SwapStructureByteOrder(TS_A0_A8, b.data(), b.size(), ArrayWalk::follow_elements);
  EXPECT_EQ(b, before);
}

}  // namespace
}  // namespace efi
