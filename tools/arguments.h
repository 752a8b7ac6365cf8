#pragma once

// Argument parsing shared by the subcommands. A bad argument throws UsageError; main turns it
// into one line on standard error (or, once --json was seen, a JSON object) and exit code 2.

#include <cstdint>
#include <set>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace efilink_cli {

inline constexpr int EXIT_USAGE = 2;

struct UsageError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// "0x1F" (hexadecimal) or "31" (decimal), at most `max`.
uint64_t parse_number(std::string_view text, uint64_t max, std::string_view what);

// Hexadecimal bytes: "01000000", "01 00 00 00" or "01:00:00:00", with an optional 0x in front.
std::vector<unsigned char> parse_hex(std::string_view text);

// The arguments after the subcommand, consumed front to back. An option ("--name") taken a
// second time is a usage error; taking "--json" switches the error reports to JSON.
class Arguments {
 public:
  Arguments(int argc, char** argv, int first);
  bool empty() const { return at_ >= items_.size(); }
  const std::string& peek() const { return items_[at_]; }
  std::string take();
  // The value after an option such as --flags; a missing value is a usage error.
  std::string value_of(std::string_view option);
  // Whether --help or -h is among the arguments not yet taken.
  bool asks_for_help() const;
  // Whether --json was taken, so that a failure is reported as JSON too.
  bool json() const { return json_; }

 private:
  std::vector<std::string> items_;
  size_t at_ = 0;
  std::set<std::string> options_seen_;
  bool json_ = false;
};

}  // namespace efilink_cli
