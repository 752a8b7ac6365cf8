#include <gtest/gtest.h>

#include "all_commands.h"
#include "api/process_state.h"
#include "link_server.h"
#include "unit_responder.h"

namespace efi {
namespace {

TEST(UsbLinkWithTheUnit, EveryCommandRoundTripsWithConversion) {
  on_library_load();
  softunit::DeviceServer server(softunit::unit_responder());
  ASSERT_EQ(initialize_interfaces(EFI_FLAG_USB, server.device_path().c_str()), 0u);
  test::expect_every_command_round_trips(server);
  close_interfaces(0);
}

}  // namespace
}  // namespace efi
