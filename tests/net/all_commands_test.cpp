#include <gtest/gtest.h>

#include <string>

#include "all_commands.h"
#include "api/process_state.h"
#include "link_server.h"
#include "transports/net/ethernet_link.h"
#include "unit_responder.h"

namespace efi {
namespace {

TEST(EthernetLinkWithTheUnit, EveryCommandRoundTripsWithConversionInOnePieceAndInChunks) {
  on_library_load();
  softunit::TcpServer server(softunit::unit_responder());
  set_ethernet_address("127.0.0.1", std::to_string(server.port()).c_str());
  ASSERT_EQ(initialize_interfaces(EFI_FLAG_ETHERNET, nullptr), 0u);
  test::expect_every_command_round_trips(server);
  for (uint16_t chunk_size : {uint16_t{9}, uint16_t{64}, uint16_t{1032}}) {
    server.set_chunk_size(chunk_size);
    test::expect_every_command_round_trips(server);
  }
  EXPECT_TRUE(server.complaints().empty());
  set_ethernet_address(nullptr, nullptr);
}

}  // namespace
}  // namespace efi
