#pragma once

// The ASCII line protocol of serial-line CAN adapters, without any I/O: what the host sends
// (commands, extended frames to transmit) and a reader that cuts the adapter's byte stream into
// lines. Lines end with CR; BEL (0x07) is the adapter's whole answer to a command it refused.

#include <cstddef>
#include <cstdint>

namespace efi {

inline constexpr unsigned char SLCAN_END = '\r';
inline constexpr unsigned char SLCAN_BELL = 0x07;
// "T" + 8 identifier digits + length digit + 16 data digits + CR.
inline constexpr size_t SLCAN_FRAME_TEXT_SIZE = 27;
// The longest line an adapter sends: a 64-bit frame line with a 4-digit time stamp, CR excluded.
inline constexpr size_t SLCAN_LONGEST_LINE = 30;

// Writes the transmit line of an extended data frame of 8 bytes ("T16666666" "8" <16 digits> CR)
// into `text`, which has room for SLCAN_FRAME_TEXT_SIZE bytes.
void slcan_format_frame(uint32_t identifier, const unsigned char* data, char* text);

struct SlcanLine {
  enum class Kind {
    frame,           // an extended data frame ("T…"), with or without a time stamp
    other_frame,     // a standard or remote frame ("t…", "r…", "R…"): never the unit's
    transmitted,     // "Z" or "z": a frame went out
    done,            // an empty line: a command was carried out (some adapters answer a transmit so)
    bell,            // BEL: the adapter refused what it was asked
    other,           // anything else (version and status answers, noise, a line too long)
  };
  Kind kind = Kind::other;
  uint32_t identifier = 0;
  uint8_t length = 0;
  unsigned char data[8] = {};  // bytes past `length` are 0
};

// Cuts the adapter's bytes into lines, however reads split them.
class SlcanLineReader {
 public:
  // Takes bytes from `data` up to and including the end of the first line they complete, and no
  // further; returns how many it took. When that completed a line, `line` holds it and `complete`
  // is true; otherwise all `size` bytes were taken into the line under way.
  size_t take(const unsigned char* data, size_t size, SlcanLine& line, bool& complete);
  // Forgets the line under way; returns how many bytes of it were held.
  size_t reset();

 private:
  SlcanLine finish() const;
  char text_[SLCAN_LONGEST_LINE] = {};
  size_t used_ = 0;      // bytes of the line under way held in text_
  size_t dropped_ = 0;   // bytes of it beyond text_, which make it an `other` line
};

}  // namespace efi
