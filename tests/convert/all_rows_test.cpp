#include <efilink/efilink.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <vector>

#include "convert/byte_order.h"
#include "convert/converter_table.h"
#include "convert/layouts.h"

namespace efi {
namespace {

using Bytes = std::vector<unsigned char>;

struct Array {
  uint32_t descriptor;
  uint64_t offset;
  uint32_t size, count;
};

// One structure in both byte orders, built from its description: host order as the host writes
// it, unit order as the unit writes it (every named field and every 2..16-byte element reversed).
// Arrays are laid out by the placement rule, computed here independently of the library.
struct Structure {
  Bytes host, unit;
  std::vector<Array> placed;  // the non-empty arrays
  uint32_t expected_placement = 0;

  // Both images with the `elements` words the library writes for a buffer at `base`.
  Bytes host_at(const unsigned char* base) const { return with_words(host, base); }
  Bytes unit_at(const unsigned char* base) const { return with_words(unit, base); }

  Bytes with_words(Bytes image, const unsigned char* base) const {
    for (const Array& a : placed) {
      uint32_t word = elements_word(base, a.offset);
      std::memcpy(image.data() + array_pointer_word(a.descriptor), &word, 4);
    }
    return image;
  }
};

Structure build(const Layout& layout, int kind, std::mt19937& rng) {
  auto byte = [&] { return static_cast<unsigned char>(rng()); };
  Structure s;
  s.host.resize(layout.fixed_size());
  std::generate(s.host.begin(), s.host.end(), byte);
  if (kind >= 0) s.host[KINDED_RECORD_KIND_OFFSET] = static_cast<unsigned char>(kind);

  static constexpr uint8_t SIZES[] = {1, 2, 3, 4, 8, 12, 16, 17};
  uint64_t o = 0;
  for (uint16_t k : layout.arrays) {
    uint8_t size = SIZES[rng() % std::size(SIZES)];
    uint16_t count = static_cast<uint16_t>(rng() % 5);
    s.host[k] = size;
    s.host[k + 1] = 0;
    s.host[k + 2] = static_cast<unsigned char>(count);
    if (count == 0) {
      s.expected_placement = STATUS_TS_EMPTY_ARRAY;
      continue;
    }
    o = (o + size - 1) / size * size;
    s.placed.push_back({k, layout.data_start + o, size, count});
    o += uint64_t{size} * count;
  }
  size_t end = layout.has_arrays() ? layout.data_start + o : layout.fixed_size();
  size_t old_size = s.host.size();
  s.host.resize(end + rng() % 4);
  std::generate(s.host.begin() + old_size, s.host.end(), byte);

  s.unit = s.host;
  for (uint16_t k : layout.words) std::reverse(s.unit.begin() + k, s.unit.begin() + k + 2);
  for (uint16_t k : layout.longs) std::reverse(s.unit.begin() + k, s.unit.begin() + k + 4);
  for (const Array& a : s.placed) {
    for (uint32_t i = 0; i < a.count && a.size >= 2 && a.size <= 16; ++i) {
      auto first = s.unit.begin() + static_cast<ptrdiff_t>(a.offset + i * a.size);
      std::reverse(first, first + a.size);
    }
  }
  return s;
}

std::vector<int> kinds_of(const Layout& layout) {
  if (!layout.kinded) return {-1};
  std::vector<int> kinds;
  for (int kind = 0; kind < 43; ++kind) kinds.push_back(kind);
  for (int kind : {43, 200, 255}) kinds.push_back(kind);
  return kinds;
}

const Layout& resolved(const Layout& layout, int kind) {
  return kind < 0 ? layout : kinded_layout(static_cast<uint8_t>(kind));
}

// For each of the 88 rows: well-formed host-order command data survive command_swap twice and
// are in unit order in between; a unit-order response is placed and swapped into host order.
TEST(AllRows, CommandDataRoundTripAndResponsesArriveInHostOrder) {
  std::mt19937 rng(20240611);
  for (unsigned n = 0; n < CONVERTER_ROW_COUNT; ++n) {
    const ConverterRow& row = CommandConverterTable[n];
    const CommandLayouts& layouts = COMMAND_LAYOUTS[n];
    for (int trial = 0; trial < 12; ++trial) {
      if (layouts.command) {
        for (int kind : kinds_of(*layouts.command)) {
          Structure s = build(resolved(*layouts.command, kind), kind, rng);
          Bytes data = s.host;
          data = s.host_at(data.data());
          if (row.command_placement) {
            EXPECT_EQ(row.command_placement(data.data(), data.size()), s.expected_placement)
                << "command " << n << " kind " << kind;
            EXPECT_EQ(data, s.host_at(data.data())) << "placement records the host's layout";
          }
          row.command_swap(data.data(), data.size());
          ASSERT_EQ(data, s.unit_at(data.data())) << "command " << n << " kind " << kind;
          row.command_swap(data.data(), data.size());
          ASSERT_EQ(data, s.host_at(data.data())) << "command " << n << " kind " << kind;
        }
      }
      if (layouts.response) {
        for (int kind : kinds_of(*layouts.response)) {
          Structure s = build(resolved(*layouts.response, kind), kind, rng);
          Bytes response = s.unit;  // `elements` words as the unit sent them: meaningless
          if (row.response_placement) {
            EXPECT_EQ(row.response_placement(response.data(), response.size()), s.expected_placement)
                << "response " << n << " kind " << kind;
          }
          row.response_swap(response.data(), response.size());
          // Empty arrays keep the word the unit sent, which both images share.
          ASSERT_EQ(response, s.host_at(response.data())) << "response " << n << " kind " << kind;
          if (row.response_conversion) {
            // In the same buffer: on 32-bit hosts the `elements` words are addresses.
            std::copy(s.unit.begin(), s.unit.end(), response.begin());
            EXPECT_EQ(row.response_conversion(response.data(), response.size()), s.expected_placement);
            ASSERT_EQ(response, s.host_at(response.data())) << "placement and swap in one walk, response " << n << " kind " << kind;
          }
        }
      }
    }
  }
}

TEST(AllRows, FourRowsConvertNothingAndNumbersPastTheTableHaveNoRow) {
  std::vector<unsigned> empty_rows;
  for (unsigned n = 0; n <= 0xFF; ++n) {
    const ConverterRow* row = converter_row(static_cast<uint8_t>(n));
    if (n >= CONVERTER_ROW_COUNT) {
      EXPECT_EQ(row, nullptr) << n;
      EXPECT_EQ(command_layouts(static_cast<uint8_t>(n)), nullptr) << n;
    } else if (!row->command_swap && !row->command_placement && !row->response_swap && !row->response_placement) {
      empty_rows.push_back(n);
    }
  }
  EXPECT_EQ(empty_rows, (std::vector<unsigned>{0x07, 0x2F, 0x38, 0x45}));
}

}  // namespace
}  // namespace efi
