// Archive mode's inner entry point. Internal to the archive subsystem (and its tests).
#pragma once

#include <cstdint>

#include "archive/archive.h"

namespace pbo {

// CreateArchive with the largest size an entry's header record may state as a parameter,
// so that tests can meet the bound without files of 2 GiB: a file longer than
// largestEntrySize, or one whose stream is, ends the run with FatalError naming it, and
// no archive is written. CreateArchive passes the format's own bound, 2^31 - 1.
void CreateArchiveWithin(RunState& run, std::uint64_t largestEntrySize);

}  // namespace pbo
