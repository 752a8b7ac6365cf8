// A simulator library for the bridge's tests. It logs every call with the command data as they
// arrive, echoes those data back as the response, and claims a non-zero unit status that the bridge must overwrite. Built in variants
// that lack one export each.
#include <efilink/efilink.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#if defined(_WIN32)
#define SIM_EXPORT extern "C" __declspec(dllexport)
#else
#define SIM_EXPORT extern "C" __attribute__((visibility("default")))
#endif

namespace {
std::string call_log;

// Writes "unloaded" to the file named by EFI_TEST_SIM_TRACE when the library leaves the process,
// so a test can see that the host library released it.
struct UnloadTrace {
  ~UnloadTrace() {
    if (const char* path = std::getenv("EFI_TEST_SIM_TRACE")) {
      if (FILE* file = std::fopen(path, "a")) {
        std::fputs("unloaded\n", file);
        std::fclose(file);
      }
    }
  }
} unload_trace;
}  // namespace

SIM_EXPORT const char* TestSimulatorLog() { return call_log.c_str(); }
SIM_EXPORT void TestSimulatorReset() { call_log.clear(); }

#if !defined(TEST_SIM_NO_START)
SIM_EXPORT void SimulatorStart(const char* text) { call_log += std::string("start(") + (text ? text : "") + ");"; }
#endif

#if !defined(TEST_SIM_NO_PROCESSOR)
SIM_EXPORT void SimulatorCommandProcessor(CRM* crm) {
  uint16_t size = crm->command_header->command_data_size;
  char entry[64];
  std::snprintf(entry, sizeof entry, "command(%04x,%u,", crm->command_header->command_code,
                static_cast<unsigned>(*crm->transfer_status));
  call_log += entry;
  for (uint16_t i = 0; i < size; ++i) {
    std::snprintf(entry, sizeof entry, "%02x", static_cast<const unsigned char*>(crm->command_data)[i]);
    call_log += entry;
  }
  call_log += ");";
  if (size > crm->command_header->response_buffer_size) size = crm->command_header->response_buffer_size;
  if (size) std::memcpy(crm->response_data, crm->command_data, size);
  crm->response_header->response_code = crm->command_header->command_code;
  crm->response_header->response_data_returning_size = size;
  crm->response_header->response_status = 7;
  crm->response_header->dummy = EFI_RESPONSE_MARKER;
  *crm->response_data_received_size = size;
}
#endif

#if !defined(TEST_SIM_NO_APPEND)
SIM_EXPORT uint32_t SimulatorAppendPlayback(const void*, uint32_t size) {
  call_log += "append(" + std::to_string(size) + ");";
  return 0x1000 + size;
}
#endif
