// The one way the tool speaks: a line on standard error, the same on every system.
#include <cstdio>
#include <string>

#include "platform/platform.h"

namespace pbo::platform {

void ReportError(const std::string& message) {
  // Paths and entry names may hold any byte. A line break or another control byte among
  // them would split the report or reach the terminal as a command, so each shows as "?",
  // as a listing of such names would show it.
  std::string line = "pbo: " + message;
  for (char& c : line) {
    const auto byte = static_cast<unsigned char>(c);
    if ((byte < 0x20 && byte != '\t') || byte == 0x7F) c = '?';
  }
  line += '\n';
  std::fwrite(line.data(), 1, line.size(), stderr);
  std::fflush(stderr);
}

}  // namespace pbo::platform
