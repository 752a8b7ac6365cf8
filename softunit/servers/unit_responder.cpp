#include "unit_responder.h"

#include <algorithm>

#include "unit.h"

namespace softunit {

Responder unit_responder(bool no_conversion) {
  return [no_conversion](const CommandHeader_TS& header, const Bytes& data) {
    const auto command = static_cast<uint8_t>(header.command_code - EFI_COMMAND_CODE_BASE);
    const Bytes host_data = no_conversion ? data : command_data_to_host_order(command, data);
    Response response = Unit{}.respond(header, host_data.data(), host_data.size());
    Answer answer;
    answer.header = response.header;
    answer.data = no_conversion ? response.data : response_data_to_unit_order(command, std::move(response.data));
    return answer;
  };
}

Responder echo_responder() {
  return [](const CommandHeader_TS& header, const Bytes& data) {
    Answer answer;
    answer.header.response_code = header.command_code;
    answer.data.assign(data.begin(), data.begin() + std::min<size_t>(data.size(), header.response_buffer_size));
    return answer;
  };
}

}  // namespace softunit
