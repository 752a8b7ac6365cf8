#include "api/process_state.h"

namespace efi {

uint32_t send_command(uint8_t command, void* command_data, uint16_t command_data_size, void* response_data,
                      uint16_t response_buffer_size, uint16_t* received_size) {
  ProcessState& state = process();
  const Reporter report = state.reporter();
  Link* link = state.table.installed;
  if (!link) {
    report.error(TextWidth::wide, "EfiSendCommand Error ! No interface initialized");
    return STATUS_CR_NOT_INITIALIZED;
  }

  auto* command_bytes = static_cast<unsigned char*>(command_data);
  auto* response_bytes = static_cast<unsigned char*>(response_data);
  // Numbers past the table have no row: they travel unconverted.
  const ConverterRow* row = state.converter_row(command);
  const bool convert = state.no_conversion == 0;
  auto convert_command = [&] {
    if (convert && row && row->command_swap && command_bytes) row->command_swap(command_bytes, command_data_size);
  };

  state.command_header.command_code = static_cast<uint16_t>(EFI_COMMAND_CODE_BASE + command);
  state.command_header.command_data_size = command_data_size;
  state.command_header.response_buffer_size = response_buffer_size;

  convert_command();

  uint32_t transfer_status = 0;
  state.crm = CRM{&state.command_header, command_bytes,  &state.response_header,
                  response_bytes,        received_size, &transfer_status};

  Tracer* const tracer = state.tracer.get();
  if (tracer) tracer->begin(link->name(), state.crm);
  uint32_t result = link->send(state.link_context(), &state.crm);
  if (tracer) tracer->end(state.crm, result);
  if (result != 0) {
    report.error(TextWidth::narrow, "EfiSendCommand SendCommandReceiveResponse failed return_status = %08x", result);
  } else {
    result = state.response_header.response_status;
    if (result == 0 && row && response_bytes) {
      if (convert && row->response_conversion) {
        row->response_conversion(response_bytes, response_buffer_size);
      } else {
        if (row->response_placement) row->response_placement(response_bytes, response_buffer_size);
        if (!convert) return 0;
        if (row->response_swap) row->response_swap(response_bytes, response_buffer_size);
      }
    }
  }

  convert_command();
  return result;
}

}  // namespace efi
