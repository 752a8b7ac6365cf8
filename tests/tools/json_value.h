#pragma once

// Just enough of a JSON reader to check the host's --json output: one entry per value, named by
// its path ("fields.0.width"), with its text (strings without quotes or escapes, null as "null");
// an object or array also gets "<path>#", its number of items. Malformed text throws, which fails
// the test that reads it.

#include <cctype>
#include <cstring>
#include <map>
#include <stdexcept>
#include <string>

namespace efi::test {

class Json {
 public:
  explicit Json(const std::string& text) : text_(text) {
    read("");
    if (next() != '\0') throw std::runtime_error("text after the JSON value");
  }
  const std::string& operator[](const std::string& path) const { return values_.at(path); }
  double number(const std::string& path) const { return std::stod(values_.at(path)); }

 private:
  char next() {
    while (at_ < text_.size() && std::isspace(static_cast<unsigned char>(text_[at_]))) ++at_;
    return at_ < text_.size() ? text_[at_] : '\0';
  }
  void expect(char c) {
    if (next() != c) throw std::runtime_error(std::string("expected ") + c + " at " + std::to_string(at_));
    ++at_;
  }
  std::string string() {
    expect('"');
    std::string out;
    for (char c; (c = text_.at(at_++)) != '"'; out += c)
      if (c == '\\' && (c = text_.at(at_++)) == 'u') at_ += 4;
    return out;
  }
  void read(const std::string& path) {
    const char open = next();
    if (open == '{' || open == '[') {
      const char close = open == '{' ? '}' : ']';
      size_t count = 0;
      ++at_;
      if (next() != close) do {
          const std::string key = open == '{' ? string() : std::to_string(count);
          if (open == '{') expect(':');
          read(path + (path.empty() ? "" : ".") + key);
          ++count;
        } while (next() == ',' && ++at_);
      expect(close);
      values_[path + "#"] = std::to_string(count);
    } else if (open == '"') {
      values_[path] = string();
    } else {
      size_t used = 0;
      for (const char* word : {"true", "false", "null"})
        if (text_.compare(at_, std::strlen(word), word) == 0) used = std::strlen(word);
      if (!used) std::stod(text_.substr(at_), &used);
      values_[path] = text_.substr(at_, used);
      at_ += used;
    }
  }

  const std::string& text_;
  size_t at_ = 0;
  std::map<std::string, std::string> values_;
};

}  // namespace efi::test
