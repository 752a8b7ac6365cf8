#include <gtest/gtest.h>

#include <cstring>

#include "protocol/headers.h"
#include "protocol/status.h"

namespace efi {
namespace {

TEST(SwapHeaderByteOrder, ProducesLinkOrderAndIsItsOwnInverse) {
  CommandHeader_TS header{0xCD05, 0x0010, 0x0200, 0x0000};
  SwapHeaderByteOrder(&header);
  const unsigned char link[8] = {0xCD, 0x05, 0x00, 0x10, 0x02, 0x00, 0x00, 0x00};
  EXPECT_EQ(std::memcmp(&header, link, 8), 0);
  SwapHeaderByteOrder(&header);
  EXPECT_EQ(header.command_code, 0xCD05);
  EXPECT_EQ(header.command_data_size, 0x10);
  EXPECT_EQ(header.response_buffer_size, 0x200);
}

TEST(SwapHeaderByteOrder, EmptySuccessfulResponseFromTheLink) {
  const unsigned char link[8] = {0, 0, 0, 0, 0, 0, 0x55, 0xAA};
  ResponseHeader_TS header;
  std::memcpy(&header, link, 8);
  SwapHeaderByteOrder(&header);
  EXPECT_EQ(header.response_data_returning_size, 0);
  EXPECT_EQ(header.response_status, 0);
  EXPECT_EQ(header.dummy, EFI_RESPONSE_MARKER);
}

TEST(StatusCodes, NamesAndRanges) {
  EXPECT_STREQ(status_name(0), "OK");
  EXPECT_STREQ(status_name(0x20000005), "STATUS_CR_RESPONSE_BUFFER_TOO_SMALL");
  EXPECT_STREQ(status_name(0x2000000A), "STATUS_CR_OPEN_FAILED");
  EXPECT_STREQ(status_name(0x60000002), "STATUS_TS_EMPTY_ARRAY");
  EXPECT_STREQ(status_name(1), "UNIT_STATUS");
  EXPECT_STREQ(status_name(0xFFFF), "UNIT_STATUS");
  EXPECT_STREQ(status_name(0x2000000B), "UNKNOWN");
}

}  // namespace
}  // namespace efi
