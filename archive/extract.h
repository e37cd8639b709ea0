// Extract mode's bounds. Internal to the archive subsystem (and its tests).
#pragma once

#include <cstdint>

namespace pbo {

// The bounds extract mode works within, which tests may set smaller so that the suites
// meet the stretch road with the archives they already have.
struct ExtractionLimits {
  // An entry that expands to more than this (a stored one: whose block is longer) is
  // decoded or copied in stretches as it is written, in constant memory; a shorter one is
  // held whole, several to a worker. Binarized missions are always held whole.
  std::uint64_t WholeEntryLimit = std::uint64_t{4} << 20;
};

// Makes ExtractArchive work within limits from now on, for tests. Not for the tool, and not
// thread-safe: call it before a run.
void SetExtractionLimitsForTests(const ExtractionLimits& limits);

}  // namespace pbo
