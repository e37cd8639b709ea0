// The encoder's fast match search. It must return exactly what the exhaustive scan
// returns, so it rests on two facts:
//   - Every candidate shares the first 3 bytes with the position being coded, so it sits in
//     the bucket of that 3-byte key. Walked from its oldest position, the bucket yields the
//     longest candidates, the first of them the farthest; the walk may end at the first one
//     of 18 bytes. Hash collisions only add candidates, whose bytes are compared like any
//     other's.
//   - Inside a run of one byte value nearly every distance is a long candidate, and the
//     key buckets grow to the whole window. There the length of a candidate follows from
//     where its run ends: with r equal bytes ahead of the coded position, a candidate whose
//     run goes on longer matches r bytes, one whose run is shorter matches as far as its
//     run goes, and only a candidate whose run ends exactly r bytes on can match more, if
//     the byte after its run is the coded position's next one. The farthest position of
//     the first run long enough answers the first two cases; the 3-byte key of the last two
//     run bytes and that next byte, which is no run, finds the candidates of the third.
//
// The positions are indexed as the coder passes them, so indexing is done for every byte
// and searching only for the coded positions; both are kept free of per-position branches
// that the data would decide at random.
#include "lzss/match_finder.h"

#include <algorithm>
#include <cassert>

#include "platform/bytes.h"

#if defined(_MSC_VER)
#include <intrin.h>
#endif

namespace pbo::lzss {
namespace {

// A tail this far back reads as an empty bucket from the first position on.
constexpr std::int32_t kLongGone = -(1 << 30);

unsigned CountTrailingZeros(std::uint64_t value) {
#if defined(_MSC_VER)
  unsigned long index;
  _BitScanForward64(&index, value);
  return static_cast<unsigned>(index);
#else
  return static_cast<unsigned>(__builtin_ctzll(value));
#endif
}

// The match of bestLength bytes at bestPos for position p, if it is long enough.
Match Result(std::size_t p, std::size_t bestLength, std::size_t bestPos) {
  if (bestLength < kMinMatch) return {};
  return {static_cast<std::uint32_t>(bestLength), static_cast<std::uint32_t>(p - bestPos)};
}

}  // namespace

MatchFinder::MatchFinder(const std::uint8_t* window, std::size_t n, std::size_t floor)
    : window_(window),
      n_(n),
      floor_(floor),
      fastLimit_(n > kMaxMatch + 1 ? n - kMaxMatch - 1 : 0),
      indexLimit_(n > kMinMatch ? n - kMinMatch : 0),
      indexed_(floor) {
  assert(n < kMaxBuffer);
  unsigned bits = kMinBucketBits;
  while (bits < kMaxBucketBits && (std::size_t{1} << bits) < 4 * n) ++bits;
  hashShift_ = 32 - bits;
  spare_ = std::uint32_t{1} << bits;
  buckets_.assign(spare_ + 1, Bucket{kLongGone, kLongGone});
  next_.assign(kRingSize + 1, 0);
  bucketOf_.assign(kRingSize, spare_);
  next2_.assign(kRingSize, 0);
}

// Length of the run of equal bytes at pos, not reaching limit; eight bytes at a time.
std::size_t MatchFinder::RunLength(std::size_t pos, std::size_t limit) const {
  const std::uint8_t value = window_[pos];
  const std::uint64_t spread = value * 0x0101010101010101ull;
  std::size_t end = pos + 1;
  for (; end + 8 <= limit; end += 8) {
    const std::uint64_t diff = bytes::LoadLe64(window_ + end) ^ spread;
    if (diff != 0) return end + CountTrailingZeros(diff) / 8 - pos;
  }
  while (end < limit && window_[end] == value) ++end;
  return end - pos;
}

void MatchFinder::ListRun(std::size_t start, std::size_t length) {
  RunList& list = runs_[window_[start]];
  // Drop the runs that have left the window once they make up most of the list.
  if (list.First >= 1024 && list.First * 2 >= list.Runs.size()) {
    list.Runs.erase(list.Runs.begin(), list.Runs.begin() + list.First);
    list.First = 0;
  }
  list.Runs.push_back({static_cast<std::uint32_t>(start), static_cast<std::uint32_t>(length)});
}

// Indexes the run of equal bytes at pos: a run starts where the byte before differs (or at
// the floor) and is listed whole, and its positions up to the last two bytes go to the
// spare bucket, all at once. Returns the first position after them.
//
// The positions of a run need not wait for the coder to pass them one by one: a search
// inside the run reads the run lists, and the buckets only for candidates that go on past
// a run's end, which lie further on than anything the run's positions unlink as they come
// in. Most of the leaving positions of a long run are run positions themselves, in the
// spare bucket: stretches of them noted as such are passed over at once, the others by a
// test of their bucket, and the run's own slots are marked in one fill. On long runs
// (runs.dat) that is 2.6 times as fast as indexing each position as the coder passes it.
std::size_t MatchFinder::IndexRun(std::size_t pos) {
  const std::size_t length = RunLength(pos, n_);
  if (pos == floor_ || window_[pos - 1] != window_[pos]) ListRun(pos, length);
  const std::size_t runKeys = std::min(length - (kMinMatch - 1), indexLimit_ - pos);
  // Positions from pos on never were in a bucket, and the slots of those before were not
  // yet reused.
  const auto leaving = static_cast<std::int32_t>(pos) - static_cast<std::int32_t>(kMaxDistance);
  UnlinkLeaving(leaving, leaving + static_cast<std::int32_t>(std::min(runKeys, kMaxDistance)));
  MarkSpare(pos, runKeys);
  if (runKeys >= kSpanKeys) NoteSpan(pos, pos + runKeys);
  return pos + runKeys;
}

// Unlinks the positions from `from` to `to` that are in a bucket: it passes over the
// stretches noted as run positions at once, and tests the bucket of each other one.
void MatchFinder::UnlinkLeaving(std::int32_t from, std::int32_t to) {
  while (from < to) {
    while (spanHead_ < spans_.size() && spans_[spanHead_].End <= from) ++spanHead_;
    const bool inSpan = spanHead_ < spans_.size() && spans_[spanHead_].Start <= from;
    if (inSpan) {
      from = std::min(to, spans_[spanHead_].End);
      continue;
    }
    const std::int32_t limit =
        spanHead_ < spans_.size() ? std::min(to, spans_[spanHead_].Start) : to;
    for (; from < limit; ++from) {
      if (bucketOf_[static_cast<std::uint32_t>(from) & kRingMask] != spare_) Unlink(from);
    }
  }
}

// Notes that the positions from start to end are run positions, joined to the stretch
// before when they follow it.
void MatchFinder::NoteSpan(std::size_t start, std::size_t end) {
  const auto first = static_cast<std::int32_t>(start);
  const auto last = static_cast<std::int32_t>(end);
  if (spanHead_ < spans_.size() && spans_.back().End == first) {
    spans_.back().End = last;
    return;
  }
  // Drop the stretches that have left the window once they make up most of the list.
  if (spanHead_ >= 1024 && spanHead_ * 2 >= spans_.size()) {
    spans_.erase(spans_.begin(), spans_.begin() + static_cast<std::ptrdiff_t>(spanHead_));
    spanHead_ = 0;
  }
  spans_.push_back({first, last});
}

// Marks the ring slots of the count positions from pos as being in the spare bucket.
void MatchFinder::MarkSpare(std::size_t pos, std::size_t count) {
  std::uint32_t* const slots = bucketOf_.data();
  if (count >= kRingSize) {
    std::fill(slots, slots + kRingSize, spare_);
    return;
  }
  const std::size_t first = pos & kRingMask;
  const std::size_t untilWrap = std::min(count, kRingSize - first);
  std::fill(slots + first, slots + first + untilWrap, spare_);
  std::fill(slots, slots + (count - untilWrap), spare_);
}

// Length of the common prefix of the 18 bytes at candidate and at p.
std::size_t MatchFinder::MatchLength(std::size_t candidate, std::size_t p) const {
  const std::uint8_t* a = window_ + candidate;
  const std::uint8_t* b = window_ + p;
  for (std::size_t offset = 0; offset < 16; offset += 8) {
    const std::uint64_t diff = bytes::LoadLe64(a + offset) ^ bytes::LoadLe64(b + offset);
    if (diff != 0) return offset + CountTrailingZeros(diff) / 8;
  }
  if (a[16] != b[16]) return 16;
  return a[17] != b[17] ? 17 : 18;
}

// Calls visit(position) for the positions of a bucket from the oldest one, until it
// returns true. Most walks are short and go a link at a time. A long one goes two
// candidates a step: the slot two places on is guessed from what the last walk left, so
// that its links load with the next slot's instead of after it; the guess is checked a
// step later and mended where the chain has grown since.
template <typename Visit>
void MatchFinder::Walk(std::size_t p, const Bucket& bucket, Visit&& visit) {
  const std::uint16_t* const next = next_.data();
  std::uint16_t* const next2 = next2_.data();
  // The position of a slot in the window, which lies less than a ring back.
  auto position = [p](std::size_t slot) { return p - ((p - slot) & kRingMask); };
  const auto tailSlot = static_cast<std::size_t>(bucket.Tail) & kRingMask;
  std::size_t slot = static_cast<std::size_t>(bucket.Head) & kRingMask;
  for (int step = 0; step < 4; ++step, slot = next[slot]) {
    if (visit(position(slot)) || slot == tailSlot) return;
  }
  std::size_t second = next[slot];
  std::size_t third = next2[slot];
  for (;;) {
    if (visit(position(slot)) || slot == tailSlot) return;
    if (visit(position(second)) || second == tailSlot) return;
    std::size_t fourth = next[third];
    std::size_t fifth = next2[third];
    const std::size_t actual = next[second];
    if (third != actual) {
      next2[slot] = static_cast<std::uint16_t>(actual);
      third = actual;
      fourth = next[third];
      fifth = next2[third];
    }
    slot = third;
    second = fourth;
    third = fifth;
  }
}

// Walks the bucket of p from its oldest position. Returns the longest candidate, the
// farthest of equally long ones, ending at the first one of 18 bytes.
Match MatchFinder::SearchBucket(std::size_t p, const Bucket& bucket) {
  const std::uint8_t* const window = window_;
  std::size_t bestLength = 0;
  std::size_t bestPos = 0;
  Walk(p, bucket, [&](std::size_t pos) {
    // A candidate can only be longer if it matches the byte that ended the best one.
    if (window[pos + bestLength] != window[p + bestLength]) return false;
    const std::size_t length = MatchLength(pos, p);
    if (length <= bestLength) return false;
    bestLength = length;
    bestPos = pos;
    return length == kMaxMatch;
  });
  return Result(p, bestLength, bestPos);
}

// Near the end a comparison may not reach the last byte, so a candidate is at most `cap`
// bytes long, and the exhaustive scan, trying the distances in rising order, stops at the
// first candidate that reaches that: the nearest one of `cap` bytes wins, not the farthest.
// Candidates up to 3 bytes before the end are listed (a shorter one cannot match), and the
// walk goes through the whole bucket.
Match MatchFinder::FindNearEnd(std::size_t p) {
  assert(p >= fastLimit_ && p < n_);
  const std::size_t cap = n_ - 1 - p;
  if (cap < kMinMatch) return {};
  IndexUpTo(p);
  const std::uint32_t key = Key(window_ + p);
  // Runs are rare this near the end; the scan answers them.
  if (IsRunKey(key)) return FindLongestMatch(window_, n_, p, floor_);
  const Bucket& bucket = buckets_[KeyHash(key)];
  if (bucket.Tail < static_cast<std::int32_t>(p) - static_cast<std::int32_t>(kMaxDistance)) {
    return {};
  }
  const std::uint8_t* const window = window_;
  std::size_t bestLength = 0;
  std::size_t bestPos = 0;
  std::size_t nearest = p;  // the nearest candidate of cap bytes, if any
  Walk(p, bucket, [&](std::size_t pos) {
    std::size_t length = 0;
    while (length < cap && window[pos + length] == window[p + length]) ++length;
    if (length == cap) nearest = pos;
    if (length > bestLength) {
      bestLength = length;
      bestPos = pos;
    }
    return false;
  });
  if (nearest < p) bestPos = nearest;
  return Result(p, bestLength, bestPos);
}

// Answers a position that begins with a run (three or more equal bytes).
Match MatchFinder::SearchRuns(std::size_t p) {
  const std::size_t run = RunLength(p, p + kMaxMatch);
  RunList& list = runs_[window_[p]];
  const std::size_t lowest = Lowest(p);
  while (list.First < list.Runs.size() &&
         list.Runs[list.First].Start + list.Runs[list.First].Length <= lowest) {
    ++list.First;
  }
  std::size_t bestLength = 0;
  std::size_t bestPos = 0;
  if (run < kMaxMatch) {
    // Longer than the run: the candidate's run ends `run` bytes on, before p's next byte,
    // so `run - 2` bytes on the candidate has the 3-byte key of p + run - 2.
    const Bucket& bucket = buckets_[KeyHash(Key(window_ + p + run - 2))];
    const std::size_t offset = run - 2;
    if (bucket.Tail >= static_cast<std::int32_t>(lowest + offset)) {
      Walk(p, bucket, [&](std::size_t listed) {
        if (listed < lowest + offset) return false;
        const std::size_t pos = listed - offset;
        if (window_[pos + bestLength] != window_[p + bestLength]) return false;
        const std::size_t length = MatchLength(pos, p);
        if (length <= bestLength) return false;
        bestLength = length;
        bestPos = pos;
        return length == kMaxMatch;
      });
    }
    if (bestLength <= run) bestLength = 0;
  }
  if (bestLength == 0) {
    // No candidate is longer than the run: the farthest position with the most equal bytes
    // ahead begins a run, or the window.
    for (std::size_t i = list.First; i < list.Runs.size(); ++i) {
      const std::size_t start = list.Runs[i].Start;
      assert(start < p);
      const std::size_t first = std::max(start, lowest);
      const std::size_t length = std::min(start + list.Runs[i].Length - first, run);
      if (length > bestLength) {
        bestLength = length;
        bestPos = first;
        if (length == run) break;
      }
    }
  }
  return Result(p, bestLength, bestPos);
}

}  // namespace pbo::lzss
