// The serial-line adapters' line reader on byte streams cut every way a port's reads may cut them.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "transports/can/slcan_lines.h"

namespace efi {
namespace {

using Kind = SlcanLine::Kind;

// Every line `stream` holds, read in pieces of `piece` bytes; a line still open at the end is not
// reported.
std::vector<SlcanLine> lines_of(const std::string& stream, size_t piece) {
  SlcanLineReader reader;
  std::vector<SlcanLine> lines;
  const auto* bytes = reinterpret_cast<const unsigned char*>(stream.data());
  for (size_t at = 0; at < stream.size(); at += piece) {
    const size_t size = std::min(piece, stream.size() - at);
    for (size_t used = 0; used < size;) {
      SlcanLine line;
      bool complete = false;
      used += reader.take(bytes + at + used, size - used, line, complete);
      if (complete) lines.push_back(line);
    }
  }
  return lines;
}

std::vector<Kind> kinds(const std::vector<SlcanLine>& lines) {
  std::vector<Kind> result;
  for (const SlcanLine& line : lines) result.push_back(line.kind);
  return result;
}

TEST(SlcanLines, SameLinesHoweverTheReadsCutTheStream) {
  const std::string stream =
      "T1666666781011223344556678\r"        // a unit frame
      "Z\rz\r\r"                            // answers to transmits, and a bare CR
      "t1238DEADBEEF00000000\rr1230\rR166666670\r"
      "V1013\r\a"                           // a version answer, a refusal
      "T16666667211224F00\r"                // two bytes with a time stamp
      "\nT1666666730A0B\r";                 // CR LF line ends; a data part too short
  const std::vector<Kind> expected = {Kind::frame,       Kind::transmitted, Kind::transmitted, Kind::done,
                                      Kind::other_frame, Kind::other_frame, Kind::other_frame, Kind::other,
                                      Kind::bell,        Kind::frame,       Kind::other};
  for (size_t piece : {size_t{1}, size_t{2}, size_t{7}, size_t{27}, stream.size()}) {
    const std::vector<SlcanLine> lines = lines_of(stream, piece);
    ASSERT_EQ(kinds(lines), expected) << "pieces of " << piece;
    EXPECT_EQ(lines[0].identifier, 0x16666667u);
    EXPECT_EQ(lines[0].length, 8);
    EXPECT_EQ(lines[0].data[7], 0x78);
    EXPECT_EQ(lines[9].length, 2);
    EXPECT_EQ(lines[9].data[1], 0x22);
    EXPECT_EQ(lines[9].data[2], 0) << "bytes past the length are 0";
  }
}

TEST(SlcanLines, MalformedFrameLinesAreNotFrames) {
  for (const char* text : {
           "T16666667811223344556677889\r",  // one digit too many
           "T16666667811223344556677\r",     // one byte short
           "T166666679\r",                   // length 9
           "T2666666700\r",                  // identifier above 29 bits
           "T1666666G0\r",                   // not hexadecimal
           "T16666667811223344556677881\r",  // a time stamp of one digit
           "T166666671XY\r",
           "\x01T16666667112\r",             // noise ahead of the line
       }) {
    EXPECT_EQ(kinds(lines_of(text, 3)), std::vector<Kind>{Kind::other}) << text;
  }
  // A line far longer than any adapter sends is one line, and the next is read as it is.
  const std::string stream = std::string(500, 'T') + "\rT1666666711A\r";
  const std::vector<SlcanLine> lines = lines_of(stream, 64);
  ASSERT_EQ(kinds(lines), (std::vector<Kind>{Kind::other, Kind::frame}));
  EXPECT_EQ(lines[1].data[0], 0x1A);
  // A refusal ends whatever stood before it on the line.
  EXPECT_EQ(kinds(lines_of("T16666\aZ\r", 1)), (std::vector<Kind>{Kind::bell, Kind::transmitted}));
}

}  // namespace
}  // namespace efi
