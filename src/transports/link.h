#pragma once

#include <efilink/efilink.h>

#include <cstdint>

#include "platform/clock.h"
#include "protocol/status.h"
#include "report/report.h"
#include "transports/common/adapter_libraries.h"
#include "transports/common/trace.h"

namespace efi {

// What a link may know of the process at the moment of a call; the api layer forms it from its
// own state for every call, so links never read process state themselves.
struct LinkContext {
  // False while the host chose no conversion: the links that can send headers as they are do so.
  bool convert_headers = true;
  Reporter report;
  platform::Clock clock;
  // The files adapter links load at initialisation; null means every default name.
  const AdapterLibraries* adapter_libraries = nullptr;

  std::string adapter_library(AdapterLibrary which) const {
    return adapter_libraries ? adapter_libraries->file(which) : default_adapter_library(which);
  }
  // Given to the connect handshake only: where a serial unit's answer switches the conversion of
  // the host's data off (1) or on (0).
  uint8_t* no_conversion = nullptr;
  // The exchange trace, null while tracing is off: every use is this one check.
  Tracer* tracer = nullptr;

  // Bytes read and thrown away to get back in step with the unit, counted in the exchange's trace.
  void discarded(uint64_t bytes) const {
    if (tracer) tracer->discarded(bytes);
  }
};

// One link: its operations and, in the object, all of its state. Selecting a link installs it in
// the transport table; the library's load makes every link object anew.
class Link {
 public:
  virtual ~Link() = default;

  // The link's short name: in exchange traces, and as the interface of traced CAN frames.
  virtual const char* name() const = 0;
  virtual uint32_t initialize(const LinkContext& context, uint32_t flags, const char* text) = 0;
  virtual uint32_t send(const LinkContext& context, CRM* crm) = 0;
  // The connect handshake; links without one have nothing to do.
  virtual uint32_t connect(const LinkContext&) { return 0; }
  virtual uint32_t close(const LinkContext&, uint32_t /*which*/) { return 0; }
  // Only the simulator takes playback data; the transport table installs it only for that link.
  virtual uint32_t append_playback(const void*, uint32_t) { return LINK_FAILED; }
};

}  // namespace efi
