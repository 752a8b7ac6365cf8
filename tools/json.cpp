#include "json.h"

#include <cmath>
#include <cstdio>

namespace efilink_cli {

void Json::separate() {
  if (after_key_) {
    after_key_ = false;
    return;
  }
  if (!has_items_.empty()) {
    if (has_items_.back()) out_ += ',';
    has_items_.back() = true;
  }
}

Json& Json::open(char bracket) {
  separate();
  out_ += bracket;
  has_items_.push_back(false);
  return *this;
}

Json& Json::close(char bracket) {
  out_ += bracket;
  has_items_.pop_back();
  return *this;
}

Json& Json::key(std::string_view name) {
  string(name);
  out_ += ':';
  after_key_ = true;
  return *this;
}

Json& Json::string(std::string_view text) {
  separate();
  out_ += '"';
  for (unsigned char c : text) {
    if (c == '"' || c == '\\') {
      out_ += '\\';
      out_ += static_cast<char>(c);
    } else if (c < 0x20) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
      out_ += escaped;
    } else {
      out_ += static_cast<char>(c);
    }
  }
  out_ += '"';
  return *this;
}

Json& Json::number(uint64_t value) {
  separate();
  out_ += std::to_string(value);
  return *this;
}

Json& Json::number(double value) {
  if (!std::isfinite(value)) return null();
  separate();
  char text[32];
  std::snprintf(text, sizeof text, "%.1f", value);
  out_ += text;
  return *this;
}

Json& Json::boolean(bool value) {
  separate();
  out_ += value ? "true" : "false";
  return *this;
}

Json& Json::null() {
  separate();
  out_ += "null";
  return *this;
}

}  // namespace efilink_cli
