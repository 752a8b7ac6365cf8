#pragma once

#include <cstdio>
#include <string>

#include "api/process_state.h"

namespace efi::test {

// A link that records every operation it is asked for, as "name.operation(argument)," in a trace
// shared by all such links, and answers as the test says.
struct RecordingLink final : Link {
  RecordingLink(std::string name, std::string* trace) : link_name(std::move(name)), trace(trace) {}

  const char* name() const override { return link_name.c_str(); }
  uint32_t initialize(const LinkContext& context, uint32_t flags, const char*) override {
    seen_context = context;
    return record("initialize", flags);
  }
  uint32_t send(const LinkContext& context, CRM* crm) override {
    seen_context = context;
    seen_crm = *crm;
    seen_header = *crm->command_header;
    seen_transfer_status = *crm->transfer_status;
    crm->response_header->response_status = unit_status;
    record("send", 0);
    return result;
  }
  uint32_t connect(const LinkContext&) override { return record("connect", 0); }
  uint32_t close(const LinkContext&, uint32_t which) override { return record("close", which); }
  uint32_t append_playback(const void*, uint32_t size) override { return record("append", size); }

  uint32_t record(const char* operation, uint32_t argument) {
    char text[32];
    std::snprintf(text, sizeof text, "(%x),", argument);
    *trace += link_name + "." + operation + text;
    return 0;
  }

  std::string link_name;
  std::string* trace;
  uint32_t result = 0;
  uint16_t unit_status = 0;
  LinkContext seen_context;
  CRM seen_crm{};
  CommandHeader_TS seen_header{};
  uint32_t seen_transfer_status = 0xFFFFFFFF;
};

}  // namespace efi::test
