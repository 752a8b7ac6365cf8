#pragma once

// A small writer for the --json output: nested objects and arrays, commas and escapes handled,
// and the stream the objects go to.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace efilink_cli {

class Json {
 public:
  Json& begin_object() { return open('{'); }
  Json& end_object() { return close('}'); }
  Json& begin_array() { return open('['); }
  Json& end_array() { return close(']'); }
  Json& key(std::string_view name);
  Json& string(std::string_view text);
  Json& number(uint64_t value);
  Json& number(double value);
  Json& boolean(bool value);
  Json& null();
  // Writes the value or null.
  Json& string_or_null(const char* text) { return text ? string(text) : null(); }

  const std::string& text() const { return out_; }

 private:
  Json& open(char bracket);
  Json& close(char bracket);
  void separate();
  std::string out_;
  std::vector<bool> has_items_;
  bool after_key_ = false;
};

// Before a link is used with --json: from then on standard output carries only what
// print_json writes; anything else printed there (a link's progress lines) goes to standard error.
void keep_standard_output_for_json();
// Writes the value and a newline to standard output (as it was before it was kept apart).
void print_json(const Json& json);

// {"error": <text>, "messages": [<lines>]}, for a failure reported as JSON.
Json json_error(std::string_view text, const std::vector<std::string>& messages = {});

}  // namespace efilink_cli
