#pragma once

// Just enough of a JSON reader to check the shape of the host's --json output: a parse error
// fails the test that parses.

#include <cctype>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace efi::test {

struct JsonValue {
  enum class Type { null, boolean, number, string, array, object } type = Type::null;
  bool boolean = false;
  double number = 0;
  std::string string;
  std::vector<JsonValue> items;
  std::map<std::string, JsonValue> members;

  bool has(const std::string& key) const { return type == Type::object && members.count(key); }
  const JsonValue& operator[](const std::string& key) const { return members.at(key); }
  const JsonValue& operator[](size_t i) const { return items.at(i); }
};

class JsonReader {
 public:
  static JsonValue parse(const std::string& text) {
    JsonReader reader(text);
    JsonValue value = reader.value();
    reader.space();
    if (reader.at_ != text.size()) throw std::runtime_error("text after the JSON value");
    return value;
  }

 private:
  explicit JsonReader(const std::string& text) : text_(text) {}
  void space() {
    while (at_ < text_.size() && std::isspace(static_cast<unsigned char>(text_[at_]))) ++at_;
  }
  char next() {
    space();
    if (at_ >= text_.size()) throw std::runtime_error("JSON ends early");
    return text_[at_];
  }
  void expect(char c) {
    if (next() != c) throw std::runtime_error(std::string("expected ") + c + " at " + std::to_string(at_));
    ++at_;
  }
  bool literal(const char* word) {
    const std::string w(word);
    if (text_.compare(at_, w.size(), w) != 0) return false;
    at_ += w.size();
    return true;
  }
  std::string string() {
    expect('"');
    std::string out;
    while (at_ < text_.size() && text_[at_] != '"') {
      char c = text_[at_++];
      if (c == '\\') {
        if (at_ >= text_.size()) break;
        c = text_[at_++];
        if (c == 'u') {
          out += static_cast<char>(std::stoi(text_.substr(at_, 4), nullptr, 16));
          at_ += 4;
          continue;
        }
        if (c == 'n') c = '\n';
      }
      out += c;
    }
    expect('"');
    return out;
  }
  JsonValue value() {
    JsonValue v;
    const char c = next();
    if (c == '{') {
      v.type = JsonValue::Type::object;
      ++at_;
      if (next() == '}') return ++at_, v;
      do {
        std::string key = string();
        expect(':');
        v.members[key] = value();
      } while (next() == ',' && ++at_);
      expect('}');
    } else if (c == '[') {
      v.type = JsonValue::Type::array;
      ++at_;
      if (next() == ']') return ++at_, v;
      do v.items.push_back(value());
      while (next() == ',' && ++at_);
      expect(']');
    } else if (c == '"') {
      v.type = JsonValue::Type::string;
      v.string = string();
    } else if (literal("true") || literal("false")) {
      v.type = JsonValue::Type::boolean;
      v.boolean = text_[at_ - 1] == 'e' && text_[at_ - 2] == 'u';
    } else if (literal("null")) {
      v.type = JsonValue::Type::null;
    } else {
      size_t used = 0;
      v.type = JsonValue::Type::number;
      v.number = std::stod(text_.substr(at_), &used);
      at_ += used;
    }
    return v;
  }

  const std::string& text_;
  size_t at_ = 0;
};

}  // namespace efi::test
