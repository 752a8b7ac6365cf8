#pragma once

#include <efilink/efilink.h>

#include <cstdint>
#include <cstring>

namespace efi {

static_assert(sizeof(CommandHeader_TS) == 8 && sizeof(ResponseHeader_TS) == 8);

// Exchanges the two bytes of each of the four 16-bit fields of an 8-byte header, either kind, in
// place: host order to link order and back.
void SwapHeaderByteOrder(void* header);

// Byte-order helpers for big-endian values on a link.
inline uint16_t load_be16(const unsigned char* p) { return static_cast<uint16_t>(p[0] << 8 | p[1]); }
inline void store_be16(unsigned char* p, uint16_t v) {
  p[0] = static_cast<unsigned char>(v >> 8);
  p[1] = static_cast<unsigned char>(v);
}

// Stores the number of response data bytes received through the host's word, if it gave one.
inline void store_received_size(const CRM* crm, uint32_t size) {
  if (crm->response_data_received_size) *crm->response_data_received_size = static_cast<uint16_t>(size);
}

// A 32-bit value in host order at any alignment.
inline uint32_t load_u32(const unsigned char* p) {
  uint32_t value;
  std::memcpy(&value, p, 4);
  return value;
}
inline void store_u32(unsigned char* p, uint32_t value) { std::memcpy(p, &value, 4); }

}  // namespace efi
