#pragma once

// Every command 0x00..0x57 through EfiSendCommand with conversion on, against the software unit
// behind a real link: the command data must leave in unit order and come back unchanged, and the
// response must arrive placed and in host order, exactly as the model predicts.

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "api/process_state.h"
#include "convert/byte_order.h"
#include "convert/converter_table.h"
#include "convert/layouts.h"
#include "link_server.h"
#include "protocol/headers.h"
#include "unit.h"

namespace efi::test {

// `send` is the library's own send_command, or EfiSendCommand as a host finds it in the library.
using SendCommand = uint32_t (*)(uint8_t, void*, uint16_t, void*, uint16_t, uint16_t*);

inline void expect_every_command_round_trips(softunit::LinkServer& server,
                                             uint16_t capacity = TS_MAX_TRANSFERSTRUCTS_SIZE,
                                             SendCommand send = send_command) {
  for (unsigned number = 0; number < CONVERTER_ROW_COUNT; ++number) {
    const auto command = static_cast<uint8_t>(number);
    // The data sent keep the buffer they were made in: on 32-bit hosts their `elements` words are
    // addresses into it, and a copy would point into the original.
    softunit::Bytes data = softunit::well_formed_command_data(command);
    const softunit::Bytes host_data = data;
    std::vector<unsigned char> response(capacity + 16u, 0xCC);
    uint16_t received = 0xBEEF;
    const size_t before = server.received_count();
    ASSERT_EQ(send(command, data.data(), static_cast<uint16_t>(data.size()), response.data(), capacity, &received),
              0u)
        << "command " << number;
    EXPECT_EQ(data, host_data) << "command data of " << number << " are back in host order";

    // What the unit got was in its own order.
    ASSERT_EQ(server.received_count(), before + 1);
    const auto arrived = server.received().back();
    EXPECT_EQ(softunit::command_data_to_host_order(command, arrived.data), host_data) << number;

    // The response is the model's, placed into this buffer and in host order.
    CommandHeader_TS header{static_cast<uint16_t>(EFI_COMMAND_CODE_BASE + command),
                            static_cast<uint16_t>(host_data.size()), capacity, 0};
    softunit::Response expected = softunit::Unit{}.respond(header, host_data.data(), host_data.size());
    ASSERT_EQ(received, expected.data.size()) << number;
    std::vector<unsigned char> placed(response.size(), 0xCC);
    std::memcpy(placed.data(), expected.data.data(), expected.data.size());
    if (const ConverterRow* row = converter_row(command); row->response_placement)
      row->response_placement(placed.data(), capacity);
    if (const Layout* layout = softunit::response_layout(command, host_data.data(), host_data.size())) {
      // Pointer words hold addresses on 32-bit hosts: placed words must designate the same
      // offsets, words placement leaves alone (empty arrays) the same bits.
      for (uint16_t k : layout->arrays) {
        const uint32_t at = array_pointer_word(k);
        if (at + 4 > expected.data.size()) continue;
        const uint32_t got = load_u32(response.data() + at), want = load_u32(placed.data() + at);
        if (got != want) {
          EXPECT_EQ(elements_offset(response.data(), got), elements_offset(placed.data(), want))
              << "command " << number << " array at " << k;
        }
        std::memset(response.data() + at, 0, 4);
        std::memset(placed.data() + at, 0, 4);
      }
    }
    EXPECT_EQ(response, placed) << "response of command " << number;
  }
}

}  // namespace efi::test
