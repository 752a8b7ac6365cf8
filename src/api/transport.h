#pragma once

#include <efilink/efilink.h>

#include <cstdint>

namespace efi {

using SendOperation = uint32_t (*)(CRM* crm);
using ConnectOperation = uint32_t (*)();
using InitializeOperation = uint32_t (*)(uint32_t flags, const char* text);
using CloseOperation = uint32_t (*)(uint32_t which);
using AppendOperation = uint32_t (*)(const void* data, uint32_t size);

// One link's operations, as data: selecting a link copies its descriptor into the transport table.
struct TransportDescriptor {
  const char* name;
  SendOperation send;
  ConnectOperation connect;
  InitializeOperation initialize;
  CloseOperation close;
  AppendOperation append;  // only the simulator has one
};

// The connect and close operation of links that have nothing to do there.
uint32_t connect_nothing();
uint32_t close_nothing(uint32_t which);

}  // namespace efi
