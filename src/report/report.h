#pragma once

#include <efilink/efilink.h>

#include "platform/message.h"

namespace efi {

using platform::TextWidth;

inline constexpr const char* ERROR_TITLE = "ERROR!";

// Where shown messages go: the host's handler while it set one, else the platform's message box.
struct MessageSink {
  EfiMessageHandler handler = nullptr;
  void* context = nullptr;

  void show(const char* title, const char* text, TextWidth width) const;
};

// How a link reports: through the sink, and not at all for ordinary errors while the host has
// suppressed messages. Texts are formed printf-style into a fixed-size buffer, cut, never overrun.
class Reporter {
 public:
  Reporter() = default;
  Reporter(MessageSink sink, bool suppressed) : sink_(sink), suppressed_(suppressed) {}

  bool suppressed() const { return suppressed_; }

  // Shows the text with the title "ERROR!", unless messages are suppressed.
  void error(TextWidth width, const char* format, ...) const __attribute__((format(printf, 3, 4)));
  // Shows the text whatever the suppression says (for the reports that always appear).
  void always(const char* title, TextWidth width, const char* format, ...) const
      __attribute__((format(printf, 4, 5)));

 private:
  MessageSink sink_;
  bool suppressed_ = false;
};

// A progress line on the host's standard output, where the Bluetooth and Ethernet links and the
// Bluetooth device search write theirs; flushed at once, so it keeps its place among the host's.
void print_line(const char* format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace efi
