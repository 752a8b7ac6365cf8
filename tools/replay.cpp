// efilink replay: the exchanges of a trace answered again by the simulator link from playback
// records, each checked against the traced response.
#include <efilink/efilink.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "commands.h"
#include "convert/converter_table.h"
#include "trace_reader.h"
#include "system.h"

namespace efilink_cli {

const char* const REPLAY_HELP =
    "usage: efilink replay <trace> [--sim <library>]\n"
    "\n"
    "Reads a trace that the library wrote (EfiSetTraceFile or EFILINK_TRACE), possibly against a\n"
    "real unit, and replays it offline: for each traced exchange with a complete response it\n"
    "appends that response as a playback record (EfiAppendPlayback) to the simulator link\n"
    "(flag 0x200), sends the traced command with its traced data, and checks that the host gets\n"
    "the traced response data and size back. Prints one line per exchange and a summary; exit\n"
    "code 0 when every replayed exchange matched, 1 when one differed or none could be replayed.\n"
    "The simulator link carries data unconverted, so the bytes are compared exactly as they went\n"
    "over the traced link; it always reports unit status 0, so a traced unit status is only noted.\n"
    "\n"
    "  --sim <library>   the simulator library (default: the bundled one)\n";

namespace {

// The playback record that answers with the traced response: header in host order, then the data.
std::vector<unsigned char> playback_record(const Side& in) {
  const ResponseHeader_TS header{field(in.header, 0), field(in.header, 1), field(in.header, 2), field(in.header, 3)};
  std::vector<unsigned char> record(sizeof header);
  std::memcpy(record.data(), &header, sizeof header);
  record.insert(record.end(), in.data.begin(), in.data.end());
  return record;
}

std::string hex(const std::vector<unsigned char>& bytes, size_t from, size_t count) {
  std::string text;
  char pair[3];
  for (size_t index = from; index < bytes.size() && index < from + count; ++index) {
    std::snprintf(pair, sizeof pair, "%02X", bytes[index]);
    text += pair;
  }
  return text;
}

enum class Outcome { matched, differs, skipped };

// Replays one exchange and prints its line.
Outcome replay_one(const TracedExchange& traced, size_t index) {
  std::printf("%4zu  line %-5zu %-10s 0x%02X  ", index, traced.line, traced.link.c_str(), traced.command);
  if (const char* reason = unreplayable(traced)) {
    std::printf("skipped: %s\n", reason);
    return Outcome::skipped;
  }
  const Side& in = *traced.in;
  const std::vector<unsigned char> record = playback_record(in);
  if (const uint32_t status = EfiAppendPlayback(record.data(), static_cast<uint32_t>(record.size())); status != 0) {
    std::printf("DIFFERS: EfiAppendPlayback refused the record (status 0x%08x)\n", status);
    return Outcome::differs;
  }

  std::vector<unsigned char> command_data = traced.out.data;
  const uint16_t capacity = field(traced.out.header, 2);
  std::vector<unsigned char> response(capacity ? capacity : 1);
  uint16_t received = 0;
  const uint32_t status =
      EfiSendCommand(traced.command, command_data.empty() ? nullptr : command_data.data(),
                     static_cast<uint16_t>(command_data.size()), response.data(), capacity, &received);
  if (status != 0) {
    std::printf("DIFFERS: status 0x%08x\n", status);
    return Outcome::differs;
  }
  // The library points the response's array descriptors into the host's buffer (whatever the
  // conversion); the traced bytes are compared after the same placement in the same buffer.
  std::vector<unsigned char> got(response.begin(), response.begin() + std::min<size_t>(received, capacity));
  std::fill(response.begin(), response.end(), 0);
  std::copy(in.data.begin(), in.data.end(), response.begin());
  const efi::ConverterRow* row = efi::converter_row(traced.command);
  if (row && row->response_placement) row->response_placement(response.data(), capacity);
  const std::vector<unsigned char> expected(response.begin(), response.begin() + in.data.size());
  if (got != expected) {
    size_t first = 0;
    while (first < got.size() && first < expected.size() && got[first] == expected[first]) ++first;
    std::printf("DIFFERS: %u bytes received, %zu traced; first difference at byte %zu (%s, traced %s)\n", received,
                expected.size(), first, hex(got, first, 8).c_str(), hex(expected, first, 8).c_str());
    return Outcome::differs;
  }
  std::printf("matched, %u bytes", received);
  if (const uint16_t unit_status = field(in.header, 2))
    std::printf(" (traced unit status 0x%04x: the simulator link reports 0)", unit_status);
  std::printf("\n");
  return Outcome::matched;
}

}  // namespace

int run_replay(Arguments& arguments) {
  std::string trace, library;
  while (!arguments.empty()) {
    const std::string argument = arguments.take();
    if (argument == "--help" || argument == "-h") {
      std::fputs(REPLAY_HELP, stdout);
      return 0;
    } else if (argument == "--sim") {
      library = arguments.value_of("--sim");
    } else if (argument.rfind("--", 0) == 0 || !trace.empty()) {
      throw UsageError("replay: unexpected argument '" + argument + "'");
    } else {
      trace = argument;
    }
  }
  if (trace.empty()) throw UsageError("replay: which trace?");
  if (library.empty()) library = bundled_simulator_path();

  std::ifstream file(trace);
  if (!file) {
    std::fprintf(stderr, "efilink: cannot read the trace %s\n", trace.c_str());
    return 1;
  }
  std::vector<TracedExchange> exchanges;
  size_t number = 0, unreadable = 0;
  for (std::string line; std::getline(file, line);) {
    ++number;
    if (line.empty()) continue;
    if (std::optional<TracedExchange> exchange = parse_line(line, number))
      exchanges.push_back(std::move(*exchange));
    else
      ++unreadable;
  }

  LibraryMessages messages;
  // The replay may be traced too, but never into the trace being replayed.
  if (const char* traced_to = std::getenv("EFILINK_TRACE")) {
    std::error_code error;
    if (std::filesystem::equivalent(traced_to, trace, error)) EfiSetTraceFile(nullptr);
  }
  const std::string text = "@" + library;
  if (const uint32_t status = EfiInitializeInterfaces(EFI_FLAG_SIMULATOR, text.c_str()); status != 0) {
    std::fprintf(stderr, "efilink: cannot start the simulator library %s (status %u)\n", library.c_str(), status);
    return 1;
  }
  size_t matched = 0, differing = 0, skipped = 0;
  for (size_t index = 0; index < exchanges.size(); ++index) {
    switch (replay_one(exchanges[index], index + 1)) {
      case Outcome::matched: ++matched; break;
      case Outcome::differs: ++differing; break;
      case Outcome::skipped: ++skipped; break;
    }
  }
  EfiCloseInterfaces(0);
  for (const std::string& line : messages.lines()) std::printf("library: %s\n", line.c_str());
  std::printf("\n%zu exchanges in %s: %zu matched, %zu differ, %zu skipped", exchanges.size(), trace.c_str(), matched,
              differing, skipped);
  if (unreadable) std::printf("; %zu lines not exchanges", unreadable);
  std::printf("\n");
  return differing == 0 && matched > 0 ? 0 : 1;
}

}  // namespace efilink_cli
