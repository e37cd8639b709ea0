#include "archive/archive.h"
#include "platform/platform.h"

namespace pbo {

void RunState::Report(const std::string& line) const {
  if (Verbose) platform::ReportError(line);
}

}  // namespace pbo
