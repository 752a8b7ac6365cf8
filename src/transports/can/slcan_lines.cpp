#include "transports/can/slcan_lines.h"

namespace efi {

namespace {

constexpr char DIGITS[] = "0123456789ABCDEF";

// The value of one hexadecimal digit (either case), or -1.
int digit_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

bool read_hex(const char* text, size_t digits, uint32_t& value) {
  value = 0;
  for (size_t i = 0; i < digits; ++i) {
    const int d = digit_value(text[i]);
    if (d < 0) return false;
    value = value << 4 | static_cast<uint32_t>(d);
  }
  return true;
}

}  // namespace

void slcan_format_frame(uint32_t identifier, const unsigned char* data, char* text) {
  text[0] = 'T';
  for (int i = 0; i < 8; ++i) text[1 + i] = DIGITS[(identifier >> (28 - 4 * i)) & 0x0F];
  text[9] = '8';
  for (int i = 0; i < 8; ++i) {
    text[10 + 2 * i] = DIGITS[data[i] >> 4];
    text[11 + 2 * i] = DIGITS[data[i] & 0x0F];
  }
  text[26] = static_cast<char>(SLCAN_END);
}

size_t SlcanLineReader::take(const unsigned char* data, size_t size, SlcanLine& line, bool& complete) {
  complete = false;
  for (size_t at = 0; at < size; ++at) {
    const unsigned char c = data[at];
    if (c == SLCAN_BELL) {
      // A refusal is a line of its own; what came before it on the line is noise.
      used_ = dropped_ = 0;
      line = SlcanLine{};
      line.kind = SlcanLine::Kind::bell;
      complete = true;
      return at + 1;
    }
    if (c == SLCAN_END) {
      line = finish();
      used_ = dropped_ = 0;
      complete = true;
      return at + 1;
    }
    // Adapters that end lines with CR LF: the LF begins no line.
    if (c == '\n' && used_ == 0 && dropped_ == 0) continue;
    if (used_ < sizeof text_)
      text_[used_++] = static_cast<char>(c);
    else
      ++dropped_;
  }
  return size;
}

size_t SlcanLineReader::reset() {
  const size_t held = used_ + dropped_;
  used_ = dropped_ = 0;
  return held;
}

SlcanLine SlcanLineReader::finish() const {
  SlcanLine line;
  if (dropped_ > 0) return line;
  if (used_ == 0) {
    line.kind = SlcanLine::Kind::done;
    return line;
  }
  if (used_ == 1 && (text_[0] == 'Z' || text_[0] == 'z')) {
    line.kind = SlcanLine::Kind::transmitted;
    return line;
  }
  const char type = text_[0];
  if (type == 't' || type == 'r' || type == 'R') {
    line.kind = SlcanLine::Kind::other_frame;
    return line;
  }
  if (type != 'T' || used_ < 10) return line;
  uint32_t identifier = 0, length = 0;
  if (!read_hex(text_ + 1, 8, identifier) || identifier > 0x1FFFFFFF || !read_hex(text_ + 9, 1, length) ||
      length > 8)
    return line;
  // The data, then nothing or a 4-digit time stamp.
  const size_t data_end = 10 + 2 * length;
  if (used_ != data_end && used_ != data_end + 4) return line;
  uint32_t value = 0;
  for (size_t i = 0; i < length; ++i) {
    if (!read_hex(text_ + 10 + 2 * i, 2, value)) return SlcanLine{};
    line.data[i] = static_cast<unsigned char>(value);
  }
  if (used_ == data_end + 4 && !read_hex(text_ + data_end, 4, value)) return SlcanLine{};
  line.kind = SlcanLine::Kind::frame;
  line.identifier = identifier;
  line.length = static_cast<uint8_t>(length);
  return line;
}

}  // namespace efi
