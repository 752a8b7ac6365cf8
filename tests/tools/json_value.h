#pragma once

// Just enough of a JSON reader to check the shape of the host's --json output: malformed text
// throws, which fails the test that parses it.

#include <cctype>
#include <map>
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

  const JsonValue& operator[](const std::string& key) const { return members.at(key); }
  const JsonValue& operator[](size_t i) const { return items.at(i); }
};

class JsonReader {
 public:
  static JsonValue parse(const std::string& text) {
    JsonReader reader(text);
    JsonValue value = reader.value();
    if (reader.next() != '\0') throw std::runtime_error("text after the JSON value");
    return value;
  }

 private:
  explicit JsonReader(const std::string& text_) : text(text_) {}
  // The next character that is not white space, '\0' at the end.
  char next() {
    while (at < text.size() && std::isspace(static_cast<unsigned char>(text[at]))) ++at;
    return at < text.size() ? text[at] : '\0';
  }
  void expect(char c) {
    if (next() != c) throw std::runtime_error(std::string("expected ") + c + " at " + std::to_string(at));
    ++at;
  }
  bool word(const std::string& w) { return text.compare(at, w.size(), w) == 0 && (at += w.size()); }
  std::string string() {
    expect('"');
    std::string out;
    for (char c; (c = text.at(at++)) != '"';) {
      if (c == '\\') {
        c = text.at(at++);
        if (c == 'n') c = '\n';
        if (c == 'u') {
          c = static_cast<char>(std::stoi(text.substr(at, 4), nullptr, 16));
          at += 4;
        }
      }
      out += c;
    }
    return out;
  }
  // The members of an object or the items of an array, up to `close`.
  template <class Add>
  void sequence(char close, Add add) {
    ++at;
    if (next() == close) return void(++at);
    do add();
    while (next() == ',' && ++at);
    expect(close);
  }
  JsonValue value() {
    JsonValue v;
    const char c = next();
    if (c == '{') {
      v.type = JsonValue::Type::object;
      sequence('}', [&] {
        const std::string key = string();
        expect(':');
        v.members[key] = value();
      });
    } else if (c == '[') {
      v.type = JsonValue::Type::array;
      sequence(']', [&] { v.items.push_back(value()); });
    } else if (c == '"') {
      v.type = JsonValue::Type::string;
      v.string = string();
    } else if (word("true") || word("false")) {
      v.type = JsonValue::Type::boolean;
      v.boolean = text[at - 1] == 'e' && text[at - 2] == 'u';
    } else if (!word("null")) {
      size_t used = 0;
      v.type = JsonValue::Type::number;
      v.number = std::stod(text.substr(at), &used);
      at += used;
    }
    return v;
  }

  const std::string& text;
  size_t at = 0;
};

}  // namespace efi::test
