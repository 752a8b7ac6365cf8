#include "transports/common/locked_buffers.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "platform/system_error.h"

namespace efi {

namespace {
constexpr const char* BUFFER_NAMES[4] = {"pLocked_command_header", "pLocked_command_data", "pLocked_response_header",
                                         "pLocked_response_data"};
}  // namespace

LockedBuffers::LockedBuffers(const char* reporter_name, const char* buffer_prefix, size_t data_size,
                             bool report_response_lock_failures)
    : reporter_name_(reporter_name),
      buffer_prefix_(buffer_prefix),
      data_size_(data_size),
      report_response_lock_failures_(report_response_lock_failures) {}

void LockedBuffers::set_up(const Reporter& report) {
  const size_t sizes[4] = {sizeof(CommandHeader_TS), data_size_, sizeof(ResponseHeader_TS), data_size_};
  for (int index = 0; index < 4; ++index) {
    if (buffers_[index]) continue;
    const std::string name = std::string(buffer_prefix_) + BUFFER_NAMES[index];
    platform::LockedPages pages = platform::LockedPages::allocate(sizes[index]);
    if (!pages) {
      report.error(TextWidth::narrow, "%s VirtualAlloc %s failed GetLastError = %08x", reporter_name_, name.c_str(),
                   platform::last_error());
      continue;
    }
    if (!pages.lock()) {
      const uint32_t error = platform::last_error();
      if (index < 2 || report_response_lock_failures_)
        report.error(TextWidth::narrow, "%s VirtualLock %s failed GetLastError = %08x", reporter_name_, name.c_str(),
                     error);
      continue;
    }
    buffers_[index] = std::move(pages);
  }
}

bool LockedBuffers::ready() const {
  return std::all_of(std::begin(buffers_), std::end(buffers_), [](const auto& pages) { return bool(pages); });
}

void LockedBuffers::release() {
  for (auto& pages : buffers_) pages = platform::LockedPages{};
}

LockedExchange::LockedExchange(CRM* crm, const LockedBuffers& buffers, size_t data_offset)
    : crm_(crm),
      host_(*crm),
      buffers_(buffers),
      data_offset_(data_offset),
      command_data_size_(crm->command_header->command_data_size) {
  *buffers.command_header() = *host_.command_header;
  if (command_data_size_ && host_.command_data)
    std::memcpy(buffers.command_data() + data_offset, host_.command_data, command_data_size_);
  // No header of an earlier exchange may reach the host.
  *buffers.response_header() = ResponseHeader_TS{};
  crm->command_header = buffers.command_header();
  crm->command_data = buffers.command_data();
  crm->response_header = buffers.response_header();
  crm->response_data = buffers.response_data();
}

void LockedExchange::finish(uint32_t limit) {
  *host_.command_header = *buffers_.command_header();
  if (command_data_size_ && host_.command_data)
    std::memcpy(host_.command_data, buffers_.command_data() + data_offset_, command_data_size_);
  *host_.response_header = *buffers_.response_header();
  const uint32_t returning = buffers_.response_header()->response_data_returning_size;
  const size_t copy = std::min<size_t>({returning, limit, buffers_.data_size()});
  if (copy && host_.response_data) std::memcpy(host_.response_data, buffers_.response_data(), copy);
  *crm_ = host_;
}

}  // namespace efi
