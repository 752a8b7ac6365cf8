#pragma once

namespace efi::platform {

// Narrow texts are shown through the ANSI message box, wide ones through the Unicode box; the
// difference matters only on Windows. Texts arrive as UTF-8 either way.
enum class TextWidth { narrow, wide };

// Shows a modal error message without owner window and with an OK button only (Windows), or
// writes one line "TITLE: text" to standard error (elsewhere). Returns when the user has seen it.
void show_message_box(const char* title, const char* text, TextWidth width);

}  // namespace efi::platform
