#include "json.h"

#include <charconv>
#include <cmath>
#include <cstdio>

#include "system.h"

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
  // One decimal, however large the value: to_chars reports what does not fit instead of cutting.
  std::string text(32, '\0');
  std::to_chars_result written;
  while ((written = std::to_chars(text.data(), text.data() + text.size(), value, std::chars_format::fixed, 1)).ec !=
         std::errc())
    text.resize(text.size() * 2);
  out_.append(text.data(), written.ptr);
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

namespace {
std::FILE* json_stream = nullptr;
}  // namespace

void keep_standard_output_for_json() {
  if (!json_stream) json_stream = set_standard_output_apart();
}

void print_json(const Json& json) {
  std::FILE* stream = json_stream ? json_stream : stdout;
  std::fputs(json.text().c_str(), stream);
  std::fputc('\n', stream);
  std::fflush(stream);
}

Json json_error(std::string_view text, const std::vector<std::string>& messages) {
  Json json;
  json.begin_object().key("error").string(text).key("messages").begin_array();
  for (const std::string& message : messages) json.string(message);
  json.end_array().end_object();
  return json;
}

}  // namespace efilink_cli
