#include "report/report.h"

#include <cstdarg>
#include <cstdio>

namespace efi {

namespace {

// Large enough for every text the library forms (the longest is the serial port statistics of 31
// lines); longer ones are cut.
constexpr size_t MESSAGE_BUFFER_SIZE = 2048;

void show_formatted(const MessageSink& sink, const char* title, TextWidth width, const char* format, va_list args) {
  char text[MESSAGE_BUFFER_SIZE];
  std::vsnprintf(text, sizeof text, format, args);
  sink.show(title, text, width);
}

}  // namespace

void MessageSink::show(const char* title, const char* text, TextWidth width) const {
  if (handler) {
    handler(title, text, context);
    return;
  }
  platform::show_message_box(title, text, width);
}

void Reporter::error(TextWidth width, const char* format, ...) const {
  if (suppressed_) return;
  va_list args;
  va_start(args, format);
  show_formatted(sink_, ERROR_TITLE, width, format, args);
  va_end(args);
}

void Reporter::always(const char* title, TextWidth width, const char* format, ...) const {
  va_list args;
  va_start(args, format);
  show_formatted(sink_, title, width, format, args);
  va_end(args);
}

void print_line(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::vprintf(format, args);
  va_end(args);
  std::fflush(stdout);
}

}  // namespace efi
