// Archive mode's inner entry point. Internal to the archive subsystem (and its tests).
#pragma once

#include <cstdint>

#include "archive/archive.h"
#include "lzss/lzss.h"

namespace pbo {

// The bounds archive mode works within, which tests may set smaller so that they meet them
// without files of gigabytes.
struct PackingLimits {
  // The largest size an entry's header record may state: a file longer, or one whose
  // stream is, ends the run with FatalError naming it, and no archive is written.
  std::uint64_t LargestEntrySize = 0x7FFFFFFF;
  // Files longer than this are read, coded and written a segment of this size at a time,
  // on all the worker threads; shorter ones whole, several to a worker.
  std::uint64_t SegmentSize = kLzssSegmentSize;
};

// CreateArchive within limits; CreateArchive passes the defaults.
void CreateArchiveWithin(RunState& run, const PackingLimits& limits);

// Makes CreateArchive work within limits from now on, for tests that run whole suites
// with small segments. Not for the tool, and not thread-safe: call it before a run.
void SetPackingLimitsForTests(const PackingLimits& limits);

}  // namespace pbo
