#include "inspect.h"

#include <efilink/efilink.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>

namespace efilink_cli {

namespace {

// printf into a string of the length the text needs.
std::string format(const char* pattern, auto... values) {
  const int length = std::snprintf(nullptr, 0, pattern, values...);
  if (length <= 0) return "";
  std::string text(static_cast<size_t>(length) + 1, '\0');
  std::snprintf(text.data(), text.size(), pattern, values...);
  text.resize(static_cast<size_t>(length));
  return text;
}

uint32_t fixed_part(const efi::Layout& layout) {
  return layout.has_arrays() ? layout.data_start : layout.fixed_size();
}

}  // namespace

Decoded decode_response(uint8_t command, unsigned char* buffer, size_t received) {
  Decoded decoded;
  const efi::CommandLayouts* row = efi::command_layouts(command);
  if (!row || !row->converts_response) return decoded;
  const efi::Layout& layout = efi::effective_layout(*row->response, buffer, received);
  decoded.layout = &layout;
  if (row->response->kinded && received > efi::KINDED_RECORD_KIND_OFFSET)
    decoded.kind = buffer[efi::KINDED_RECORD_KIND_OFFSET];

  if (received < fixed_part(layout)) {
    // Too short to hold its descriptors: the arrays say nothing.
    decoded.problems.push_back(format("%zu bytes received, %s needs %u", received, layout.name, fixed_part(layout)));
  }
  for (uint16_t k : layout.words)
    if (k + 2u <= received) {
      uint16_t value;
      std::memcpy(&value, buffer + k, 2);
      decoded.fields.push_back({k, 16, value});
    }
  for (uint16_t k : layout.longs)
    if (k + 4u <= received) {
      uint32_t value;
      std::memcpy(&value, buffer + k, 4);
      decoded.fields.push_back({k, 32, value});
    }
  std::sort(decoded.fields.begin(), decoded.fields.end(),
            [](const FieldValue& a, const FieldValue& b) { return a.offset < b.offset; });

  if (received < fixed_part(layout)) return decoded;
  const softunit::Spans spans = softunit::array_spans(layout, buffer, received);
  if (spans.placement_status == STATUS_TS_BAD_ARRAY)
    decoded.problems.push_back("the arrays do not fit the placement rule (STATUS_TS_BAD_ARRAY)");
  for (const softunit::ArraySpan& span : spans.arrays) {
    ArrayView view{span.descriptor, span.element_size, span.element_count, span.offset, std::nullopt};
    if (efi::array_pointer_word(span.descriptor) + 4u <= received && span.element_count && span.element_size) {
      const auto* elements = static_cast<unsigned char*>(EfiArrayElements(buffer, span.descriptor));
      view.points_at = static_cast<int64_t>(reinterpret_cast<uintptr_t>(elements)) -
                       static_cast<int64_t>(reinterpret_cast<uintptr_t>(buffer));
      if (span.offset && *view.points_at != static_cast<int64_t>(*span.offset))
        decoded.problems.push_back(format("array at %u: elements word points at %+lld, placement puts it at +%u",
                                          span.descriptor, static_cast<long long>(*view.points_at), *span.offset));
      if (span.offset && span.end() > received)
        decoded.problems.push_back(
            format("array at %u: elements run to %llu, past the %zu bytes received", span.descriptor,
                   static_cast<unsigned long long>(span.end()), received));
    }
    decoded.arrays.push_back(view);
  }
  return decoded;
}

std::vector<std::string> compare_with_model(const softunit::Response& expected, const unsigned char* buffer,
                                            size_t received, const Decoded& decoded) {
  std::vector<std::string> problems;
  if (received != expected.data.size())
    problems.push_back(format("%zu bytes received, the model answers %zu", received, expected.data.size()));
  std::vector<bool> skip(received, false);
  if (decoded.layout)
    for (uint16_t k : decoded.layout->arrays)
      for (uint32_t i = efi::array_pointer_word(k); i < efi::array_pointer_word(k) + 4 && i < received; ++i)
        skip[i] = true;
  const size_t common = std::min(received, expected.data.size());
  for (size_t i = 0; i < common; ++i) {
    if (!skip[i] && buffer[i] != expected.data[i]) {
      problems.push_back(format("byte %zu is 0x%02x, the model answers 0x%02x", i, buffer[i], expected.data[i]));
      break;
    }
  }
  return problems;
}

std::string layout_label(const efi::Layout* row_layout, const Decoded& decoded) {
  if (!row_layout) return "-";
  std::string label = row_layout->name;
  if (decoded.kind) label += std::string(" kind ") + std::to_string(*decoded.kind);
  return label;
}

std::string hex_string(const unsigned char* data, size_t size) {
  std::string text;
  for (size_t i = 0; i < size; ++i) text += format("%02x", data[i]);
  return text;
}

std::string hex_dump(const unsigned char* data, size_t size, const char* indent) {
  std::string text;
  for (size_t line = 0; line < size; line += 16) {
    text += format("%s%04zx ", indent, line);
    std::string characters;
    for (size_t i = line; i < line + 16; ++i) {
      if (i < size) {
        text += format(" %02x", data[i]);
        characters += std::isprint(data[i]) ? static_cast<char>(data[i]) : '.';
      } else {
        text += "   ";
      }
    }
    text += "  " + characters + "\n";
  }
  return text;
}

}  // namespace efilink_cli
