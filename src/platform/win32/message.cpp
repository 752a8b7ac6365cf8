#include "platform/message.h"

#include <windows.h>

#include <string>

namespace efi::platform {

void show_message_box(const char* title, const char* text, TextWidth width) {
  if (width == TextWidth::narrow) {
    MessageBoxA(nullptr, text, title, MB_OK);
    return;
  }
  auto widen = [](const char* utf8) {
    int n = MultiByteToWideChar(CP_UTF8, 0, utf8, -1, nullptr, 0);
    std::wstring out(n > 0 ? n : 1, L'\0');
    if (n > 0) MultiByteToWideChar(CP_UTF8, 0, utf8, -1, out.data(), n);
    return out;
  };
  MessageBoxW(nullptr, widen(text).c_str(), widen(title).c_str(), MB_OK);
}

}  // namespace efi::platform
