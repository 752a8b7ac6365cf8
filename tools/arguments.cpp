#include "arguments.h"

#include <cctype>

namespace efilink_cli {

uint64_t parse_number(std::string_view text, uint64_t max, std::string_view what) {
  std::string_view digits = text;
  unsigned base = 10;
  if (digits.size() > 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X')) {
    digits.remove_prefix(2);
    base = 16;
  }
  if (digits.empty()) throw UsageError(std::string(what) + " '" + std::string(text) + "' is not a number");
  uint64_t value = 0;
  for (char c : digits) {
    unsigned digit;
    if (c >= '0' && c <= '9')
      digit = static_cast<unsigned>(c - '0');
    else if (base == 16 && std::isxdigit(static_cast<unsigned char>(c)))
      digit = static_cast<unsigned>(std::tolower(static_cast<unsigned char>(c)) - 'a' + 10);
    else
      throw UsageError(std::string(what) + " '" + std::string(text) + "' is not a number");
    value = value * base + digit;
    if (value > max)
      throw UsageError(std::string(what) + " '" + std::string(text) + "' is larger than " + std::to_string(max));
  }
  return value;
}

std::vector<unsigned char> parse_hex(std::string_view text) {
  if (text.size() >= 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) text.remove_prefix(2);
  std::string digits;
  for (char c : text) {
    if (c == ' ' || c == ':' || c == '\t') continue;
    if (!std::isxdigit(static_cast<unsigned char>(c)))
      throw UsageError(std::string("command data '") + std::string(text) + "' is not hexadecimal");
    digits += c;
  }
  if (digits.size() % 2) throw UsageError(std::string("command data '") + std::string(text) + "' has an odd number of digits");
  std::vector<unsigned char> bytes;
  for (size_t i = 0; i < digits.size(); i += 2)
    bytes.push_back(static_cast<unsigned char>(std::stoul(digits.substr(i, 2), nullptr, 16)));
  return bytes;
}

Arguments::Arguments(int argc, char** argv, int first) {
  for (int i = first; i < argc; ++i) items_.emplace_back(argv[i]);
}

bool Arguments::asks_for_help() const {
  for (size_t i = at_; i < items_.size(); ++i)
    if (items_[i] == "--help" || items_[i] == "-h") return true;
  return false;
}

std::string Arguments::take() {
  const std::string& argument = items_[at_++];
  if (argument.size() > 2 && argument.rfind("--", 0) == 0 && !options_seen_.insert(argument).second)
    throw UsageError("option " + argument + " given twice");
  if (argument == "--json") json_ = true;
  return argument;
}

std::string Arguments::value_of(std::string_view option) {
  if (empty()) throw UsageError(std::string(option) + " needs a value");
  return items_[at_++];
}

}  // namespace efilink_cli
