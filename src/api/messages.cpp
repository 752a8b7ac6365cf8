#include "api/messages.h"

#include <cstdarg>
#include <cstdio>

#include "api/process_state.h"

namespace efi {

namespace {
EfiMessageHandler message_handler = nullptr;
void* message_context = nullptr;

// Large enough for every text the library forms; longer ones are cut, never overrun.
constexpr size_t MESSAGE_BUFFER_SIZE = 512;

void show_formatted(const char* title, TextWidth width, const char* format, va_list args) {
  char text[MESSAGE_BUFFER_SIZE];
  std::vsnprintf(text, sizeof text, format, args);
  show_message(title, text, width);
}
}  // namespace

void set_message_handler(EfiMessageHandler handler, void* context) {
  message_handler = handler;
  message_context = context;
}

void show_message(const char* title, const char* text, TextWidth width) {
  if (message_handler) {
    message_handler(title, text, message_context);
    return;
  }
  platform::show_message_box(title, text, width);
}

void report_error(TextWidth width, const char* format, ...) {
  if (process().error_messages_suppressed) return;
  va_list args;
  va_start(args, format);
  show_formatted(ERROR_TITLE, width, format, args);
  va_end(args);
}

void report_error_always(const char* title, TextWidth width, const char* format, ...) {
  va_list args;
  va_start(args, format);
  show_formatted(title, width, format, args);
  va_end(args);
}

}  // namespace efi
