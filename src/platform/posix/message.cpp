#include "platform/message.h"

#include <cstdio>

namespace efi::platform {

void show_message_box(const char* title, const char* text, TextWidth) {
  std::fprintf(stderr, "%s: %s\n", title, text);
  std::fflush(stderr);
}

}  // namespace efi::platform
