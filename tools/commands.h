#pragma once

// The subcommands of the efilink host and what they share.

#include <string>
#include <vector>

#include "arguments.h"

namespace efilink_cli {

int run_demo(Arguments& arguments);
int run_send(Arguments& arguments);
int run_layouts(Arguments& arguments);
int run_lock(Arguments& arguments);
int run_replay(Arguments& arguments);

// The simulator library that comes with the host, beside its executable.
std::string bundled_simulator_path();

// Messages the library would show, collected through its message handler so that they reach
// the user as lines of ours (and stay out of --json output).
class LibraryMessages {
 public:
  LibraryMessages();
  ~LibraryMessages();
  LibraryMessages(const LibraryMessages&) = delete;
  LibraryMessages& operator=(const LibraryMessages&) = delete;
  const std::vector<std::string>& lines() const { return lines_; }

 private:
  static void handler(const char* title, const char* text, void* context);
  std::vector<std::string> lines_;
};

// Help texts, shown by --help and named in usage errors.
extern const char* const DEMO_HELP;
extern const char* const SEND_HELP;
extern const char* const LAYOUTS_HELP;
extern const char* const LOCK_HELP;
extern const char* const REPLAY_HELP;

}  // namespace efilink_cli
