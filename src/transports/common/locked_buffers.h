#pragma once

#include <efilink/efilink.h>

#include <cstddef>
#include <cstdint>

#include "platform/locked_memory.h"
#include "report/report.h"

namespace efi {

// The four page-locked exchange buffers of a link (command header, command data, response header,
// response data). A link points the host's CRM at them for one exchange and copies the results back.
class LockedBuffers {
 public:
  // `reporter_name` begins the messages ("Ethernet_DataToLockedBuffers"), `buffer_prefix` the
  // buffers' names ("Ethernet_" gives "Ethernet_pLocked_command_header").
  LockedBuffers(const char* reporter_name, const char* buffer_prefix, size_t data_size, bool report_response_lock_failures);

  // Allocates and locks the buffers that are missing, in the order command header, command data,
  // response header, response data. A failure is reported and leaves that buffer missing; the
  // others are still set up.
  void set_up(const Reporter& report);
  bool ready() const;
  void release();

  size_t data_size() const { return data_size_; }
  CommandHeader_TS* command_header() const { return reinterpret_cast<CommandHeader_TS*>(buffers_[0].data()); }
  unsigned char* command_data() const { return buffers_[1].data(); }
  ResponseHeader_TS* response_header() const { return reinterpret_cast<ResponseHeader_TS*>(buffers_[2].data()); }
  unsigned char* response_data() const { return buffers_[3].data(); }

 private:
  const char* reporter_name_;
  const char* buffer_prefix_;
  size_t data_size_;
  bool report_response_lock_failures_;
  platform::LockedPages buffers_[4];
};

// The host's CRM pointers, saved while the CRM points at a link's locked buffers for one exchange.
class LockedExchange {
 public:
  // Copies the command header and `command_data_size` bytes of command data (placed at
  // `data_offset` in the command data buffer) into the buffers and points the CRM at them.
  LockedExchange(CRM* crm, const LockedBuffers& buffers, size_t data_offset);
  // Copies the command header, the command data and the response header back to the host's
  // buffers, and at most `limit` bytes of response data (the host's capacity, or fewer when this
  // exchange received fewer; never more than the link's buffer or the announced size), then
  // gives the host its pointers back.
  void finish(uint32_t limit);

  const CRM& host() const { return host_; }

 private:
  CRM* crm_;
  CRM host_;
  const LockedBuffers& buffers_;
  size_t data_offset_;
  uint32_t command_data_size_;
};

}  // namespace efi
