#include "archive/archive.h"
#include "platform/platform.h"

namespace pbo {

void RunState::Report(const std::string& line) const {
  if (!Verbose) return;
  if (ReportLine) {
    ReportLine(line);
  } else {
    platform::ReportError(line);
  }
}

void RunState::Fail(std::int32_t code, const std::string& line) {
  RaiseResult(code);
  if (code == kEntryFailed) ++FailedEntries;
  if (FirstFailure.empty()) FirstFailure = line;
  Report(line);
}

}  // namespace pbo
