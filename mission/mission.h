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
// [data, data + size), never throws because of the data, and its time and memory are
// bounded by a multiple of size plus a constant. On damage the walk stops: Text holds the
// lines made so far and the error lines that describe the damage (most name its offset as
// eight hexadecimal digits), and ErrorFlag is set. Text never exceeds 64 * size + 64 KiB
// bytes; a text that would grow past that ends in the error line
// "Text size limit reached pos: " plus the offset of the entry that reached it.
[[nodiscard]] MissionText MissionToText(const std::uint8_t* data, std::size_t size);

}  // namespace pbo
