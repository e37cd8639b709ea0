// The decoder's paths, one per instruction set, and the choice among them: the group loop
// of group_loop.inc built for AVX2, SSSE3 and SSE2 on x86-64 (by GCC or clang, with
// per-function target attributes, so that nothing else in the program assumes more than
// SSE2), and the portable item loop everywhere, which is all that other processors and
// other compilers run. The widest path the processor runs is chosen once, the first time
// a decoder asks.
#include <atomic>
#include <cstddef>
#include <cstdint>

#include "lzss/decode_core.h"
#include "lzss/lzss_internal.h"
#include "platform/bytes.h"

#if (defined(__x86_64__) || defined(_M_X64)) && (defined(__GNUC__) || defined(__clang__))
#define PBO_GROUP_LOOPS 1
#include <immintrin.h>
#else
#define PBO_GROUP_LOOPS 0
#endif
// GCC for 64-bit Windows keeps the stack aligned to 16 bytes only and may spill a 32-byte
// vector there with an aligned move: no AVX2 path in that build.
#if PBO_GROUP_LOOPS && defined(_WIN32) && !defined(__clang__)
#define PBO_AVX2_LOOP 0
#else
#define PBO_AVX2_LOOP PBO_GROUP_LOOPS
#endif

namespace pbo::lzss {
namespace {

#if PBO_GROUP_LOOPS

// Per flag byte: where each item's bytes lie after the flag byte, as the byte shuffle that
// gathers item i into 16-bit lane i (its first byte low, a reference's second byte high,
// 0x80 for the empty high byte of a literal).
struct alignas(16) GatherControl {
  std::uint8_t Bytes[16];
  [[nodiscard]] const std::uint8_t* data() const { return Bytes; }
};

constexpr GatherControl MakeGather(unsigned flags) {
  GatherControl control{};
  unsigned offset = 0;
  for (unsigned i = 0; i < 8; ++i) {
    const bool literal = (flags >> i & 1) != 0;
    control.Bytes[2 * i] = static_cast<std::uint8_t>(offset);
    control.Bytes[2 * i + 1] = literal ? 0x80 : static_cast<std::uint8_t>(offset + 1);
    offset += literal ? 1 : 2;
  }
  return control;
}

struct GatherTable {
  GatherControl Flags[256];
  const GatherControl& operator[](unsigned flags) const { return Flags[flags]; }
};

constexpr GatherTable MakeGatherTable() {
  GatherTable table{};
  for (unsigned flags = 0; flags < 256; ++flags) table.Flags[flags] = MakeGather(flags);
  return table;
}

// The bytes of a group: its flag byte, one per literal and two per reference.
struct GroupBytesTable {
  std::uint8_t Flags[256];
  std::uint8_t operator[](unsigned flags) const { return Flags[flags]; }
};

constexpr GroupBytesTable MakeGroupBytes() {
  GroupBytesTable table{};
  for (unsigned flags = 0; flags < 256; ++flags) {
    unsigned literals = 0;
    for (unsigned i = 0; i < 8; ++i) literals += flags >> i & 1;
    table.Flags[flags] = static_cast<std::uint8_t>(1 + 16 - literals);
  }
  return table;
}

// Per distance below 16: the byte shuffles that repeat the distance bytes before a
// reference over its 32 bytes (index k mod distance for byte k; for distance 0, 0x80, which
// clears the byte).
struct alignas(16) Pattern {
  std::uint8_t Bytes[32];
  [[nodiscard]] const std::uint8_t* data() const { return Bytes; }
};

struct PatternTable {
  Pattern Distances[kMaxMatch];
  const Pattern& operator[](std::size_t distance) const { return Distances[distance]; }
};

constexpr PatternTable MakePatterns() {
  PatternTable table{};
  for (std::size_t k = 0; k < 32; ++k) table.Distances[0].Bytes[k] = 0x80;
  for (std::size_t distance = 1; distance < 16; ++distance) {
    for (std::size_t k = 0; k < 32; ++k) {
      table.Distances[distance].Bytes[k] = static_cast<std::uint8_t>(k % distance);
    }
  }
  return table;
}

// Per flag byte, for SSE2, which has no byte shuffle: the same gathering as three shifts of
// the whole vector, by 4, 2 and 1 bytes, each taken where its mask is set. Every item byte
// must move forward by the number of literals before its item (0 to 7), a count that never
// falls from one byte to the next; moving the bytes whose count has bit 2 set first, then
// bit 1, then bit 0, no byte lands on one that has yet to move. Masks[k] marks the
// positions that take the byte 4 >> k places before them.
struct alignas(16) ExpandMasks {
  std::uint8_t Masks[3][16];
};

constexpr ExpandMasks MakeExpand(unsigned flags) {
  // The move of each byte after the flag byte; bytes past the group's items move with the
  // last item, and a literal's second byte is cleared afterwards.
  int move[16] = {};
  int offset = 0;
  int literals = 0;
  for (unsigned i = 0; i < 8; ++i) {
    const bool literal = (flags >> i & 1) != 0;
    for (int b = 0; b < (literal ? 1 : 2); ++b) move[offset + b] = literals;
    offset += literal ? 1 : 2;
    literals += literal ? 1 : 0;
  }
  for (int j = offset; j < 16; ++j) move[j] = move[offset - 1];
  // Which source byte each position holds as the shifts go, -1 for none.
  int at[16] = {};
  for (int q = 0; q < 16; ++q) at[q] = q;
  ExpandMasks expand{};
  for (int stage = 0; stage < 3; ++stage) {
    const int bit = 2 - stage;
    const int shift = 1 << bit;
    int next[16] = {};
    for (int q = 0; q < 16; ++q) {
      const int from = q - shift;
      const bool takes = from >= 0 && at[from] >= 0 && (move[at[from]] >> bit & 1) != 0;
      const bool leaves = at[q] >= 0 && (move[at[q]] >> bit & 1) != 0;
      expand.Masks[stage][q] = takes ? 0xFF : 0;
      next[q] = takes ? at[from] : leaves ? -1 : at[q];
    }
    for (int q = 0; q < 16; ++q) at[q] = next[q];
  }
  return expand;
}

struct ExpandTable {
  ExpandMasks Flags[256];
  const ExpandMasks& operator[](unsigned flags) const { return Flags[flags]; }
};

constexpr ExpandTable MakeExpandTable() {
  ExpandTable table{};
  for (unsigned flags = 0; flags < 256; ++flags) table.Flags[flags] = MakeExpand(flags);
  return table;
}

constexpr GatherTable kGather = MakeGatherTable();
constexpr ExpandTable kExpand = MakeExpandTable();
constexpr PatternTable kPatterns = MakePatterns();
constexpr GroupBytesTable kGroupBytes = MakeGroupBytes();

#if PBO_AVX2_LOOP
#define PBO_ISA avx2
#define PBO_ISA_TARGET __attribute__((target("avx2")))
#define PBO_ISA_LEVEL 3
#include "lzss/group_loop.inc"
#undef PBO_ISA
#undef PBO_ISA_TARGET
#undef PBO_ISA_LEVEL
#endif

#define PBO_ISA ssse3
#define PBO_ISA_TARGET __attribute__((target("ssse3")))
#define PBO_ISA_LEVEL 2
#include "lzss/group_loop.inc"
#undef PBO_ISA
#undef PBO_ISA_TARGET
#undef PBO_ISA_LEVEL

#define PBO_ISA sse2
#define PBO_ISA_TARGET
#define PBO_ISA_LEVEL 1
#include "lzss/group_loop.inc"
#undef PBO_ISA
#undef PBO_ISA_TARGET
#undef PBO_ISA_LEVEL

#endif  // PBO_GROUP_LOOPS

bool PortableGroups(Decoder& x, std::size_t pause) {
  return DecodeItems<false, Zeros::AsProduced>(x, pause);
}

struct PathFunctions {
  GroupLoop Groups;
  std::uint32_t (*Sum)(const std::uint8_t* bytes, std::size_t size);
};

PathFunctions FunctionsOf(DecodePath path) {
  switch (path) {
#if PBO_GROUP_LOOPS
#if PBO_AVX2_LOOP
    case DecodePath::Avx2:
      return {avx2::Groups, avx2::Sum};
#endif
    case DecodePath::Ssse3:
      return {ssse3::Groups, ssse3::Sum};
    case DecodePath::Sse2:
      return {sse2::Groups, sse2::Sum};
#endif
    default:
      return {PortableGroups, ByteSum};
  }
}

DecodePath WidestPath() {
  for (const DecodePath path : {DecodePath::Avx2, DecodePath::Ssse3, DecodePath::Sse2}) {
    if (DecodePathRuns(path)) return path;
  }
  return DecodePath::Portable;
}

// The path in use; read by every decoder, set once, and by tests.
std::atomic<DecodePath>& Active() {
  static std::atomic<DecodePath> active{WidestPath()};
  return active;
}

}  // namespace

bool DecodePathRuns(DecodePath path) {
  switch (path) {
    case DecodePath::Portable:
      return true;
#if PBO_GROUP_LOOPS
    case DecodePath::Sse2:
      return true;
    case DecodePath::Ssse3:
      return __builtin_cpu_supports("ssse3");
#endif
#if PBO_AVX2_LOOP
    case DecodePath::Avx2:
      return __builtin_cpu_supports("avx2");
#endif
    default:
      return false;
  }
}

bool ForceDecodePath(DecodePath path) {
  if (!DecodePathRuns(path)) return false;
  Active().store(path, std::memory_order_relaxed);
  return true;
}

DecodePath ActiveDecodePath() { return Active().load(std::memory_order_relaxed); }

const char* DecodePathName(DecodePath path) {
  switch (path) {
    case DecodePath::Avx2:
      return "avx2";
    case DecodePath::Ssse3:
      return "ssse3";
    case DecodePath::Sse2:
      return "sse2";
    default:
      return "portable";
  }
}

GroupLoop ActiveGroupLoop() { return FunctionsOf(ActiveDecodePath()).Groups; }

std::uint32_t DecodedSum(const std::uint8_t* bytes, std::size_t size) {
  return FunctionsOf(ActiveDecodePath()).Sum(bytes, size);
}

std::size_t ZeroCount(const std::uint8_t* bytes, std::size_t size) {
  constexpr std::size_t kBlock = 256;
  std::size_t zeros = 0;
  std::size_t i = 0;
  for (; size - i >= kBlock; i += kBlock) {
    std::uint16_t block = 0;
    for (std::size_t k = 0; k < kBlock; ++k) block += bytes[i + k] == 0;
    zeros += block;
  }
  for (; i < size; ++i) zeros += bytes[i] == 0;
  return zeros;
}

}  // namespace pbo::lzss
