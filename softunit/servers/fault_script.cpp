// The unit's faults by name, and scripts of them: what `efilink unit --script` reads.
#include <cctype>
#include <sstream>
#include <stdexcept>
#include <string>

#include "link_server.h"

namespace softunit {

namespace {
constexpr std::pair<LinkFault::Kind, const char*> FAULT_NAMES[] = {
    {LinkFault::Kind::none, "none"},
    {LinkFault::Kind::answer, "answer"},
    {LinkFault::Kind::status, "status"},
    {LinkFault::Kind::bad_marker, "bad_marker"},
    {LinkFault::Kind::announce_more, "announce_more"},
    {LinkFault::Kind::oversize, "oversize"},
    {LinkFault::Kind::short_header, "short_header"},
    {LinkFault::Kind::split, "split"},
    {LinkFault::Kind::delay, "delay"},
    {LinkFault::Kind::silence, "silence"},
    {LinkFault::Kind::garbage, "garbage"},
    {LinkFault::Kind::close, "close"},
    {LinkFault::Kind::stall, "stall"},
    {LinkFault::Kind::chunk_size, "chunk_size"},
    {LinkFault::Kind::ack, "ack"},
    {LinkFault::Kind::split_header, "split_header"},
    {LinkFault::Kind::stale, "stale"},
    {LinkFault::Kind::trailing, "trailing"},
    {LinkFault::Kind::drip, "drip"},
    {LinkFault::Kind::trickle, "trickle"},
    {LinkFault::Kind::flow_control, "flow_control"},
    {LinkFault::Kind::block_size, "block_size"},
    {LinkFault::Kind::no_flow_control, "no_flow_control"},
    {LinkFault::Kind::not_first_frame, "not_first_frame"},
    {LinkFault::Kind::declared_length, "declared_length"},
    {LinkFault::Kind::wrong_sequence, "wrong_sequence"},
    {LinkFault::Kind::missing_frame, "missing_frame"},
    {LinkFault::Kind::foreign_frames, "foreign_frames"},
    {LinkFault::Kind::flow_control_again, "flow_control_again"},
    {LinkFault::Kind::frame_gap, "frame_gap"},
};
}  // namespace

const char* fault_name(LinkFault::Kind kind) {
  for (const auto& [named, name] : FAULT_NAMES)
    if (named == kind) return name;
  return "?";
}

std::optional<LinkFault::Kind> fault_kind(std::string_view name) {
  for (const auto& [kind, named] : FAULT_NAMES)
    if (name == named) return kind;
  return std::nullopt;
}

std::vector<LinkFault> parse_fault_script(std::string_view text) {
  std::vector<LinkFault> faults;
  std::istringstream lines{std::string(text)};
  size_t number = 0;
  for (std::string line; std::getline(lines, line);) {
    ++number;
    const auto fail = [&](const std::string& what) {
      throw std::invalid_argument("line " + std::to_string(number) + ": " + what);
    };
    if (const size_t comment = line.find('#'); comment != std::string::npos) line.erase(comment);
    std::istringstream words(line);
    std::string name, value, rest;
    if (!(words >> name)) continue;
    const std::optional<LinkFault::Kind> kind = fault_kind(name);
    if (!kind) fail("no fault is called '" + name + "'");
    LinkFault fault;
    fault.kind = *kind;
    if (words >> value) {
      try {
        size_t used = 0;
        const unsigned long long number_value = std::stoull(value, &used, 0);
        if (used != value.size() || number_value > UINT32_MAX) throw std::out_of_range(value);
        fault.value = static_cast<uint32_t>(number_value);
      } catch (const std::logic_error&) {
        fail("'" + value + "' is not a number");
      }
    }
    std::string digits;
    for (std::string word; words >> word;) digits += word;
    if (!digits.empty() && fault.kind != LinkFault::Kind::answer) fail("only an answer takes data");
    if (digits.size() % 2) fail("the answer's data have an odd number of hex digits");
    for (size_t at = 0; at < digits.size(); at += 2) {
      if (!std::isxdigit(static_cast<unsigned char>(digits[at])) ||
          !std::isxdigit(static_cast<unsigned char>(digits[at + 1])))
        fail("the answer's data are not hexadecimal");
      fault.data.push_back(static_cast<unsigned char>(std::stoul(digits.substr(at, 2), nullptr, 16)));
    }
    if (fault.data.size() > TS_MAX_TRANSFERSTRUCTS_SIZE) fail("an answer holds at most 4088 bytes");
    faults.push_back(std::move(fault));
  }
  return faults;
}

}  // namespace softunit
