#pragma once

#include <efilink/efilink.h>

#include "platform/message.h"

namespace efi {

using platform::TextWidth;

inline constexpr const char* ERROR_TITLE = "ERROR!";

void set_message_handler(EfiMessageHandler handler, void* context);

// Shows a message whatever the suppression flag says (for the links that always report).
void show_message(const char* title, const char* text, TextWidth width);

// Formats printf-style into a fixed-size buffer and shows it with the title "ERROR!", unless error
// messages are suppressed.
void report_error(TextWidth width, const char* format, ...) __attribute__((format(printf, 2, 3)));

// As report_error, but shown even while messages are suppressed.
void report_error_always(const char* title, TextWidth width, const char* format, ...)
    __attribute__((format(printf, 3, 4)));

}  // namespace efi
