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

  static JsonValue parse(const std::string& text) {
    Reader reader{text};
    JsonValue value = reader.value();
    if (reader.next() != '\0') throw std::runtime_error("text after the JSON value");
    return value;
  }

 private:
  struct Reader {
    const std::string& text;
    size_t at = 0;

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
    // An escaped character stands for itself; \uXXXX keeps only its 'u' (no test reads those).
    std::string string() {
      expect('"');
      std::string out;
      for (char c; (c = text.at(at++)) != '"'; out += c)
        if (c == '\\' && (c = text.at(at++)) == 'u') at += 4;
      return out;
    }
    JsonValue value() {
      JsonValue v;
      // The members of an object or the items of an array, up to `close`.
      auto sequence = [&](Type type, char close, auto add) {
        v.type = type;
        ++at;
        if (next() == close) return void(++at);
        do add();
        while (next() == ',' && ++at);
        expect(close);
      };
      if (next() == '{') {
        sequence(Type::object, '}', [&] {
          const std::string key = string();
          expect(':');
          v.members[key] = value();
        });
      } else if (next() == '[') {
        sequence(Type::array, ']', [&] { v.items.push_back(value()); });
      } else if (next() == '"') {
        v.type = Type::string;
        v.string = string();
      } else if (word("true") || word("false")) {
        v.type = Type::boolean;
        v.boolean = text[at - 1] == 'e' && text[at - 2] == 'u';
      } else if (!word("null")) {
        size_t used = 0;
        v.type = Type::number;
        v.number = std::stod(text.substr(at), &used);
        at += used;
      }
      return v;
    }
  };
};

}  // namespace efi::test
