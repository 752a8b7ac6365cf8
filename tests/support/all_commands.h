#pragma once

// Every command 0x00..0x57 through EfiSendCommand with conversion on, against the software unit
// behind a real link: the command data must leave in unit order and come back unchanged, and the
// response must arrive placed and in host order, exactly as the model predicts.

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "api/process_state.h"
#include "convert/converter_table.h"
#include "convert/layouts.h"
#include "link_server.h"
#include "unit.h"

namespace efi::test {

inline void expect_every_command_round_trips(softunit::LinkServer& server) {
  constexpr uint16_t capacity = TS_MAX_TRANSFERSTRUCTS_SIZE;
  for (unsigned number = 0; number < CONVERTER_ROW_COUNT; ++number) {
    SCOPED_TRACE(testing::Message() << "command " << number);
    const auto command = static_cast<uint8_t>(number);
    const softunit::Bytes host_data = softunit::well_formed_command_data(command);
    softunit::Bytes data = host_data;
    std::vector<unsigned char> response(capacity + 16u, 0xCC), placed(capacity + 16u, 0xCC);
    uint16_t received = 0xBEEF;
    const size_t before = server.received_count();
    ASSERT_EQ(send_command(command, data.data(), static_cast<uint16_t>(data.size()), response.data(), capacity, &received), 0u);
    EXPECT_EQ(data, host_data) << "command data are back in host order";

    // What the unit got was in its own order.
    ASSERT_EQ(server.received_count(), before + 1);
    EXPECT_EQ(softunit::command_data_to_host_order(command, server.received().back().data), host_data);

    // The response is the model's, placed into this buffer and in host order.
    const CommandHeader_TS header{static_cast<uint16_t>(EFI_COMMAND_CODE_BASE + command),
                                  static_cast<uint16_t>(host_data.size()), capacity, 0};
    const softunit::Response expected = softunit::Unit{}.respond(header, host_data.data(), host_data.size());
    ASSERT_EQ(received, expected.data.size());
    std::memcpy(placed.data(), expected.data.data(), expected.data.size());
    if (const ConverterRow* row = converter_row(command); row->response_placement)
      row->response_placement(placed.data(), capacity);
    if (const Layout* layout = softunit::response_layout(command, host_data.data(), host_data.size())) {
      // Pointer words hold addresses on 32-bit hosts: compare where they point, not their bits.
      for (uint16_t k : layout->arrays) {
        const uint32_t at = array_pointer_word(k);
        if (at + 4 > expected.data.size()) continue;
        const auto offset = static_cast<unsigned char*>(EfiArrayElements(placed.data(), k)) - placed.data();
        EXPECT_EQ(EfiArrayElements(response.data(), k), static_cast<void*>(response.data() + offset)) << "array " << k;
        std::memset(response.data() + at, 0, 4);
        std::memset(placed.data() + at, 0, 4);
      }
    }
    EXPECT_EQ(response, placed);
  }
}

}  // namespace efi::test
