#include "transports/common/trace.h"

#include <algorithm>
#include <chrono>
#include <cstdio>

namespace efi {

namespace {

void append_hex(std::string& text, const void* data, size_t size) {
  static constexpr char DIGITS[] = "0123456789ABCDEF";
  const auto* bytes = static_cast<const unsigned char*>(data);
  for (size_t index = 0; index < size; ++index) {
    text += DIGITS[bytes[index] >> 4];
    text += DIGITS[bytes[index] & 0x0F];
  }
}

// Four 16-bit fields, most-significant byte first.
void append_header(std::string& text, const uint16_t (&fields)[4]) {
  for (const uint16_t field : fields) {
    const unsigned char bytes[2] = {static_cast<unsigned char>(field >> 8), static_cast<unsigned char>(field)};
    append_hex(text, bytes, 2);
  }
}

std::chrono::microseconds since_epoch() {
  return std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::system_clock::now().time_since_epoch());
}

std::string utc_time(std::chrono::microseconds time) {
  using namespace std::chrono;
  const sys_days day = floor<days>(sys_time<microseconds>(time));
  const year_month_day date(day);
  const hh_mm_ss<microseconds> clock(time - day.time_since_epoch());
  char text[48];
  std::snprintf(text, sizeof text, "%04d-%02u-%02uT%02d:%02d:%02d.%06lldZ", int(date.year()), unsigned(date.month()),
                unsigned(date.day()), int(clock.hours().count()), int(clock.minutes().count()),
                int(clock.seconds().count()), static_cast<long long>(clock.subseconds().count()));
  return text;
}

}  // namespace

std::unique_ptr<Tracer> Tracer::open(const std::string& path) {
  platform::LogFile file = platform::create_log_file(path.c_str());
  if (!file) return nullptr;
  return std::unique_ptr<Tracer>(new Tracer(path, std::move(file)));
}

void Tracer::begin(const char* link, const CRM& crm) noexcept {
  try {
    link_ = link;
    discarded_ = 0;
    note_ = nullptr;
    const CommandHeader_TS& header = *crm.command_header;
    command_number_ = static_cast<uint8_t>(header.command_code - EFI_COMMAND_CODE_BASE);
    sent_ = 8u + header.command_data_size;
    capacity_ = header.response_buffer_size;
    line_.clear();
    line_ += " out=";
    append_header(line_, {header.command_code, header.command_data_size, header.response_buffer_size, header.reserved});
    line_ += ':';
    if (crm.command_data) append_hex(line_, crm.command_data, header.command_data_size);
  } catch (...) {
    line_.clear();
  }
  started_at_ = since_epoch();
  start_ = clock_.now();
}

void Tracer::end(const CRM& crm, uint32_t status) noexcept {
  const auto microseconds = static_cast<long long>(clock_.seconds_since(start_) * 1e6);
  try {
    if (line_.empty()) return;
    const ResponseHeader_TS& response = *crm.response_header;
    // The header is the unit's only when the link got that far.
    const bool header_arrived = status == 0 || status == STATUS_CR_RESPONSE_BUFFER_TOO_SMALL;
    uint32_t data_size = 0;
    if (status == 0 && crm.response_data) {
      // The CAN links leave the command header in the unit's order: the capacity is the one taken
      // before the send.
      data_size = std::min<uint32_t>(response.response_data_returning_size, capacity_);
      if (crm.response_data_received_size) data_size = std::min<uint32_t>(data_size, *crm.response_data_received_size);
    }
    const uint32_t result = status ? status : response.response_status;
    std::string text = utc_time(started_at_);
    char fields[192];
    const uint32_t received = header_arrived ? 8u + data_size : 0u;
    std::snprintf(fields, sizeof fields, " %s command=0x%02X sent=%u received=%u status=0x%08X us=%lld discarded=%llu",
                  link_.c_str(), unsigned{command_number_}, sent_, received, result, microseconds,
                  static_cast<unsigned long long>(discarded_));
    text += fields;
    if (note_) (text += ' ') += note_;
    text += line_;
    text += " in=";
    if (header_arrived) {
      append_header(text, {response.response_code, response.response_data_returning_size, response.response_status,
                           response.dummy});
      text += ':';
      append_hex(text, crm.response_data, data_size);
    } else {
      text += '-';
    }
    text += '\n';
    platform::append_log(exchanges_, text.data(), text.size());
  } catch (...) {
  }
}

void Tracer::frame(uint32_t identifier, const unsigned char* data, uint8_t length) noexcept {
  try {
    if (!frames_ && !frames_failed_) {
      frames_ = platform::create_log_file(candump_path(path_).c_str());
      frames_failed_ = !frames_;
    }
    if (!frames_) return;
    const long long time = since_epoch().count();
    char text[80];
    const int used = std::snprintf(text, sizeof text, "(%lld.%06lld) %s %08X#", time / 1000000, time % 1000000,
                             link_.c_str(), static_cast<unsigned>(identifier & 0x1FFFFFFF));
    std::string line(text, std::min(static_cast<size_t>(used > 0 ? used : 0), sizeof text - 1));
    append_hex(line, data, std::min<uint8_t>(length, 8));
    line += '\n';
    platform::append_log(frames_, line.data(), line.size());
  } catch (...) {
  }
}

}  // namespace efi
