// Binarized mission conversion: turns the compact binarized form of a mission file back
// into tab-indented, class-structured text with CR LF line ends.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace pbo {

struct MissionText {
  std::string Text;        // every line followed by CR LF; empty when there is nothing
  bool ErrorFlag = false;  // set when the conversion met data it does not understand
};

// Converts the data block of a binarized mission (an entry that begins with the nine
// signature bytes 00 72 61 50 04 00 00 00 00 and is at least 10 bytes long; the signature
// is not checked again here). Safe on any bytes of any size: it never reads outside
// [data, data + size) and never throws because of the data, and its time and memory are
// bounded by a multiple of size + textLimit. On damage the walk stops: Text holds the lines
// made so far and the error lines that describe the damage (most name its offset as eight
// hexadecimal digits), and ErrorFlag is set.
// textLimit is the caller's allowance for this text. A text of at most textLimit bytes
// comes out whole; a longer one keeps only the whole lines that fit and ends in the line
// "Text size limit reached pos: " plus the offset of the entry that reached the limit
// (which sets ErrorFlag), so Text never exceeds textLimit by more than that line. A line
// is measured as it is built, so damage that would later drop or shorten it can make the
// limit line come a little early in a text that would have ended in an error line anyway.
[[nodiscard]] MissionText MissionToText(const std::uint8_t* data, std::size_t size,
                                        std::size_t textLimit);

}  // namespace pbo
