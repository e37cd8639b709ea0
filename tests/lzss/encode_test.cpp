#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <iterator>
#include <ostream>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "lzss/lzss.h"
#include "lzss/lzss_internal.h"
#include "lzss/match_finder.h"
#include "lzss/segment_coder.h"
#include "tests/lzss/reference_encoder.h"
#include "tests/lzss/test_data.h"

namespace pbo {
namespace {

using testdata::Bytes;

// Built with PBO_LZSS_TEST_SEGMENT_SIZE, the suite codes every input in segments of that
// size, each parsed from its own start and then joined, as workers and the archive writer
// do with a big file.
#ifdef PBO_LZSS_TEST_SEGMENT_SIZE
Bytes Encode(const Bytes& data) {
  return lzss::EncodeInSegments(data.data(), data.size(), {PBO_LZSS_TEST_SEGMENT_SIZE, true})
      .Stream;
}
#else
Bytes Encode(const Bytes& data) { return LzssEncode(data.data(), data.size()); }
#endif

Bytes Repeat(std::uint8_t value, std::size_t count) { return Bytes(count, value); }

bool HasZero(const Bytes& data) { return std::find(data.begin(), data.end(), 0) != data.end(); }

struct GoldenStream {
  const char* Name;
  Bytes Input;
  Bytes Stream;
};

// The streams are fixed byte for byte; each is annotated item by item.
const GoldenStream kGoldenStreams[] = {
    {"SingleByte",
     {0x61},
     {0x01, 0x61,                // flag: one literal; 'a'
      0x61, 0x00, 0x00, 0x00}},  // sum
    {"ThreeLiterals",
     {0x61, 0x62, 0x63},
     {0x07, 0x61, 0x62, 0x63,  // flag: three literals; "abc"
      0x26, 0x01, 0x00, 0x00}},
    {"TwentyLettersStopAtDistanceOne",
     Repeat(0x61, 20),
     {0x05, 0x61,  // flag 101; 'a'
      0x01, 0x0F,  // distance 1, length 18: reaches the second-to-last byte
      0x61,        // the last byte is always a literal
      0x94, 0x07, 0x00, 0x00}},
    {"TwentySpacesStopAtDistanceOne",
     Repeat(0x20, 20),
     {0x05, 0x20, 0x01, 0x0F, 0x20, 0x80, 0x02, 0x00, 0x00}},
    {"LeadingSpacesReferToTheWindowStart",
     {0x20, 0x20, 0x20, 0x20, 0x61, 0x62},
     {0x0D, 0x20,  // flag 1101; ' ' (the first byte is always a literal)
      0x13, 0x00,  // distance 19, length 3: the farthest, into the leading spaces
      0x61, 0x62,  // "ab"
      0x43, 0x01, 0x00, 0x00}},
    {"FarthestOfEquallyLongWins",
     {0x61, 0x62, 0x63, 0x58, 0x61, 0x62, 0x63, 0x59, 0x61, 0x62, 0x63, 0x5A, 0x5A},
     {0xAF, 0x61, 0x62, 0x63, 0x58,  // flag 10101111; "abcX"
      0x04, 0x00,                    // "abc" 4 back
      0x59,                          // 'Y'
      0x08, 0x00,                    // "abc": 4 and 8 back are as long; 8 wins
      0x5A,                          // 'Z'
      0x01, 0x5A,                    // second group: flag 1; 'Z'
      0xD7, 0x04, 0x00, 0x00}},
    {"FortyLetters",
     Repeat(0x61, 40),
     {0x39, 0x61,        // flag 00111001; 'a'
      0x01, 0x0F,        // distance 1, length 18
      0x13, 0x0F,        // distance 19, length 18: farthest of nineteen
      0x61, 0x61, 0x61,  // no match starts in the last three positions
      0x28, 0x0F, 0x00, 0x00}},
    {"EightLiteralsFillOneGroup",
     {1, 2, 3, 4, 5, 6, 7, 8},
     {0xFF, 1, 2, 3, 4, 5, 6, 7, 8,  // no empty group follows
      0x24, 0x00, 0x00, 0x00}},
    {"LeadingSpacesWithCopiedZerosReferToTheDataAlone",
     {0x20, 0x20, 0x20, 0x20, 0, 0, 0, 0, 0, 0},
     {0x15, 0x20,  // flag 10101; ' '
      0x01, 0x00,  // distance 1, length 3: not 19, which would reach the leading spaces
      0x00,        // a zero: no data byte before it is one
      0x01, 0x01,  // distance 1, length 4
      0x00,        // the last byte
      0x80, 0x00, 0x00, 0x00}},
    {"NinthItemOpensAGroup",
     {1, 2, 3, 4, 5, 6, 7, 8, 9},
     {0xFF, 1, 2, 3, 4, 5, 6, 7, 8,  // first group
      0x01, 9,                       // second group: one literal
      0x2D, 0x00, 0x00, 0x00}},
};

// How the test list and failures show a row: its name carries the rest.
void PrintTo(const GoldenStream& golden, std::ostream* os) {
  *os << "in " << golden.Input.size() << ", out " << golden.Stream.size() << " bytes";
}

class LzssEncodeGolden : public ::testing::TestWithParam<GoldenStream> {};

TEST_P(LzssEncodeGolden, WritesTheExactStream) {
  const GoldenStream& golden = GetParam();
  EXPECT_EQ(Encode(golden.Input), golden.Stream);
  EXPECT_EQ(reference::ReferenceEncode(golden.Input), golden.Stream);
}

INSTANTIATE_TEST_SUITE_P(Table, LzssEncodeGolden, ::testing::ValuesIn(kGoldenStreams),
                         [](const auto& info) { return std::string(info.param.Name); });

TEST(LzssEncode, EmptyInputIsTheChecksumAlone) {
  const Bytes stream = Encode({});
  EXPECT_EQ(stream, Bytes(4, 0));
  const LzssDecodeResult decoded = LzssDecode(stream.data(), stream.size(), 0);
  EXPECT_EQ(decoded.Verdict, LzssVerdict::Verified);
  EXPECT_TRUE(decoded.Output.empty());
}

// The inputs that the fast coder is compared on, by kind.
std::vector<std::pair<std::string, Bytes>> Kinds(std::size_t size) {
  using namespace testdata;
  Bytes spaceStart = Repeat(0x20, 300);
  const Bytes prose = ProseText(7, size);
  spaceStart.insert(spaceStart.end(), prose.begin(), prose.end());
  spaceStart.resize(size);
  // Spaces, then random bytes with a lone zero every 512: the zeros come as literals, so
  // the stream decodes as Repaired only if the repair leaves them alone.
  Bytes spaceStartLoneZeros = Repeat(0x20, 300);
  Bytes random = RandomBytes(15, size);
  for (std::size_t i = 0; i < random.size(); ++i) {
    random[i] = i % 512 == 511 ? 0 : std::max<std::uint8_t>(random[i], 1);
  }
  spaceStartLoneZeros.insert(spaceStartLoneZeros.end(), random.begin(), random.end());
  spaceStartLoneZeros.resize(size);
  // Twice a byte and a run, about once a window: each run comes in as the one a window
  // before leaves, and the byte before it with it.
  Bytes runsAWindowApart = RandomBytes(16, size);
  for (std::size_t at = 50; at + 400 < size; at += 4090 + at % 11) {
    for (const std::size_t run : {at, at + 300}) {
      runsAWindowApart[run] = 'x';
      std::fill_n(runsAWindowApart.begin() + static_cast<std::ptrdiff_t>(run) + 1, 20 + at % 50,
                  'a');
    }
  }
  return {{"config", ConfigText(1, size)},
          {"prose", ProseText(2, size)},
          {"geometry", Geometry(3, size)},
          {"image", Image(4, size)},
          {"random", RandomBytes(5, size)},
          {"sparse", Sparse(6, size)},
          {"runs", Runs(7, size)},
          {"spaceStart", spaceStart},
          {"spaceStartLoneZeros", spaceStartLoneZeros},
          {"zeros", Repeat(0, size)},
          {"period2", Periodic(8, 2, size)},
          {"period3", Periodic(9, 3, size)},
          {"period17", Periodic(10, 17, size)},
          {"period19", Periodic(11, 19, size)},
          {"period4094", Periodic(12, 4094, size)},
          {"period4095", Periodic(13, 4095, size)},
          {"period4096", Periodic(14, 4096, size)},
          {"runsAWindowApart", runsAWindowApart}};
}

TEST(LzssEncode, MatchesReferenceOnRandomDataOfManyLengths) {
  for (std::size_t size = 1; size <= 5000; size += size < 64 ? 1 : 97) {
    const Bytes data = testdata::RandomBytes(static_cast<std::uint32_t>(size), size);
    ASSERT_EQ(Encode(data), reference::ReferenceEncode(data)) << "size " << size;
  }
}

TEST(LzssEncode, MatchesReferenceOnEveryKind) {
  for (const std::size_t size :
       {std::size_t{37}, std::size_t{38}, std::size_t{39}, std::size_t{1000}, std::size_t{20000}}) {
    for (const auto& [name, data] : Kinds(size)) {
      ASSERT_EQ(Encode(data), reference::ReferenceEncode(data)) << name << ", size " << size;
    }
  }
}

// Long enough for buckets to go untouched for several windows and for runs to leave the
// window, with the kinds switching every few KiB.
TEST(LzssEncode, MatchesReferenceOnLongMixedInput) {
  using namespace testdata;
  Bytes data;
  for (std::uint32_t seed = 1; data.size() < 150000; ++seed) {
    const std::size_t size = 1000 + seed * 7919 % 9000;
    const Bytes blocks[] = {ConfigText(seed, size),  Sparse(seed, size),
                            RandomBytes(seed, size), Runs(seed, size),
                            Periodic(seed, 3, size), Geometry(seed, size)};
    const Bytes& block = blocks[seed % 6];
    data.insert(data.end(), block.begin(), block.end());
  }
  EXPECT_EQ(Encode(data), reference::ReferenceEncode(data));
}

TEST(LzssEncode, MatchesReferenceOnRunsOfEveryValueAndLength) {
  for (const std::uint8_t value : {0x00, 0x20, 0x41}) {
    for (std::size_t run = 1; run <= 60; ++run) {
      // Runs separated by a changing byte, so that runs end at every offset.
      Bytes data;
      for (std::size_t i = 0; i < 40; ++i) {
        data.insert(data.end(), run + i % 5, value);
        data.push_back(static_cast<std::uint8_t>(0x80 + i % 3));
      }
      ASSERT_EQ(Encode(data), reference::ReferenceEncode(data))
          << "value " << int{value} << ", run " << run;
    }
  }
}

// The finder and the scan, on their own: the segmented build of the suite leaves them out.
#ifndef PBO_LZSS_TEST_SEGMENT_SIZE

// Compares the fast finder with the scan at every position, not only those the coder
// visits, on inputs long enough to slide the window many times (under qemu-user, where
// the scan runs forty times slower, long enough to slide it twice).
TEST(MatchFinder, AgreesWithTheScanAtEveryPosition) {
#ifdef PBO_TESTS_EMULATED
  constexpr std::size_t kLength = 8000;
#else
  constexpr std::size_t kLength = 24000;
#endif
  for (const auto& [name, data] : Kinds(kLength)) {
    Bytes window(lzss::kLeadingSpaces, lzss::kSpace);
    window.insert(window.end(), data.begin(), data.end());
    lzss::MatchFinder finder(window.data(), window.size(), 0);
    for (std::size_t p = lzss::kLeadingSpaces + 1; p < finder.FastLimit(); ++p) {
      const lzss::Match fast = finder.Find(p);
      const lzss::Match scan = lzss::FindLongestMatch(window.data(), window.size(), p, 0);
      ASSERT_EQ(fast.Length, scan.Length) << name << " at " << p;
      ASSERT_EQ(fast.Distance, scan.Distance) << name << " at " << p;
    }
  }
}

// A key that comes back every `gap` bytes, for gaps around the window's length, in random
// data: its bucket empties just as the next copy comes in, or holds one position that is
// about to leave, and the ring slots of the leaving positions are reused at once.
TEST(MatchFinder, AgreesWithTheScanWhereKeysLeaveTheWindow) {
  for (std::size_t gap = 4092; gap <= 4098; ++gap) {
    Bytes window(lzss::kLeadingSpaces, lzss::kSpace);
    const Bytes data = testdata::RandomBytes(static_cast<std::uint32_t>(gap), 20000);
    window.insert(window.end(), data.begin(), data.end());
    for (std::size_t at = 100; at + 5 < window.size(); at += gap) {
      // Keys of 3, 4 and 5 bytes, so that candidates of several lengths meet at the edge.
      const std::uint8_t marker[] = {0xA5, 0x5A, 0xC3, static_cast<std::uint8_t>(at % 3),
                                     static_cast<std::uint8_t>(at % 2)};
      std::copy(std::begin(marker), std::end(marker), window.begin() + at);
    }
    lzss::MatchFinder finder(window.data(), window.size(), 0);
    for (std::size_t p = lzss::kLeadingSpaces + 1; p < finder.FastLimit(); ++p) {
      const lzss::Match fast = finder.Find(p);
      const lzss::Match scan = lzss::FindLongestMatch(window.data(), window.size(), p, 0);
      ASSERT_EQ(fast.Length, scan.Length) << "gap " << gap << " at " << p;
      ASSERT_EQ(fast.Distance, scan.Distance) << "gap " << gap << " at " << p;
    }
  }
}

// Blocks of float data, whose 3-byte walks are long, between text and zero-heavy records,
// several times over: buckets fill, empty and fill again as the kinds change.
TEST(MatchFinder, AgreesWithTheScanAcrossChangingKindsOfData) {
  using namespace testdata;
  Bytes window(lzss::kLeadingSpaces, lzss::kSpace);
  for (std::uint32_t seed = 1; seed <= 3; ++seed) {
    for (const Bytes& block :
         {Geometry(seed, 100000), ConfigText(seed, 100000), Sparse(seed, 60000)}) {
      window.insert(window.end(), block.begin(), block.end());
    }
  }
  lzss::MatchFinder finder(window.data(), window.size(), 0);
  for (std::size_t p = lzss::kLeadingSpaces + 1; p < finder.FastLimit(); ++p) {
    const lzss::Match fast = finder.Find(p);
    if (p % 7 != 0) continue;  // the scan is slow; the finder still sees every position
    const lzss::Match scan = lzss::FindLongestMatch(window.data(), window.size(), p, 0);
    ASSERT_EQ(fast.Length, scan.Length) << "at " << p;
    ASSERT_EQ(fast.Distance, scan.Distance) << "at " << p;
  }
}

TEST(FindLongestMatch, AgreesWithTheReferenceScanNearTheEnd) {
  for (const auto& [name, data] : Kinds(300)) {
    Bytes window(lzss::kLeadingSpaces, lzss::kSpace);
    window.insert(window.end(), data.begin(), data.end());
    for (std::size_t p = lzss::kLeadingSpaces + 1; p < window.size(); ++p) {
      const lzss::Match match = lzss::FindLongestMatch(window.data(), window.size(), p, 0);
      const reference::ReferenceMatch expected = reference::ReferenceFindLongestMatch(window, p);
      ASSERT_EQ(match.Length, expected.Length) << name << " at " << p;
      ASSERT_EQ(match.Distance, expected.Distance) << name << " at " << p;
    }
  }
}

TEST(FindLongestMatch, EndCappedCandidateStopsTheScanAtTheNearest) {
  // 18 spaces, then "xyzxyzQxyzQ": at the last "xyz", a candidate that runs through the
  // second-to-last byte stops the scan, even though a farther one is as long.
  const std::string text = "xyzQ_xyzQ_xyzQ";
  Bytes window(lzss::kLeadingSpaces, lzss::kSpace);
  window.insert(window.end(), text.begin(), text.end());
  const std::size_t p = window.size() - 4;  // "xyzQ": three bytes before the last
  const lzss::Match match = lzss::FindLongestMatch(window.data(), window.size(), p, 0);
  EXPECT_EQ(match.Length, 3u);
  EXPECT_EQ(match.Distance, 5u);  // the nearer "xyz", not the one 10 back
}

TEST(FindLongestMatch, FullLengthCandidateDoesNotStopTheScan) {
  // Far from the end, an 18-byte candidate does not end the scan: the farthest one wins.
  Bytes window(lzss::kLeadingSpaces, lzss::kSpace);
  const Bytes block = testdata::RandomBytes(3, 30);
  for (int i = 0; i < 4; ++i) window.insert(window.end(), block.begin(), block.end());
  const lzss::Match match = lzss::FindLongestMatch(window.data(), window.size(), 18 + 90, 0);
  EXPECT_EQ(match.Length, 18u);
  EXPECT_EQ(match.Distance, 90u);
}

TEST(FindLongestMatch, NeverReachesPastTheWindowLimit) {
  // The only earlier copy lies 4096 bytes back: one past the window.
  Bytes data = testdata::RandomBytes(4, 4096);
  const Bytes head(data.begin(), data.begin() + 40);
  data.insert(data.end(), head.begin(), head.end());
  Bytes window(lzss::kLeadingSpaces, lzss::kSpace);
  window.insert(window.end(), data.begin(), data.end());
  const lzss::Match match = lzss::FindLongestMatch(window.data(), window.size(), 18 + 4096, 0);
  EXPECT_LT(match.Length, 18u);
  data.erase(data.begin() + 4095);  // now 4095 back
  window.assign(lzss::kLeadingSpaces, lzss::kSpace);
  window.insert(window.end(), data.begin(), data.end());
  const lzss::Match inside = lzss::FindLongestMatch(window.data(), window.size(), 18 + 4095, 0);
  EXPECT_EQ(inside.Length, 18u);
  EXPECT_EQ(inside.Distance, 4095u);
}

#endif  // PBO_LZSS_TEST_SEGMENT_SIZE

TEST(LzssEncode, RoundTripsEveryKind) {
#ifdef PBO_LZSS_TEST_SEGMENT_SIZE
  constexpr std::size_t kSize = 9000;  // each tiny segment indexes a whole window first
#else
  constexpr std::size_t kSize = 50000;
#endif
  for (const auto& [name, data] : Kinds(kSize)) {
    const Bytes stream = Encode(data);
    EXPECT_LE(stream.size(), lzss::MaxEncodedSize(data.size())) << name;
    const LzssDecodeResult decoded =
        LzssDecode(stream.data(), stream.size(), static_cast<std::int32_t>(data.size()));
    EXPECT_TRUE(decoded.Verdict == LzssVerdict::Verified ||
                decoded.Verdict == LzssVerdict::Repaired)
        << name;
    EXPECT_EQ(decoded.Output, data) << name;
  }
}

TEST(LzssEncode, LeadingSpacesWithACopiedZeroComeBackVerified) {
  // "    " then six zero bytes: the usual stream would refer into the leading spaces for
  // the second to fourth spaces and repeat the first zero by a reference, which a reader
  // cannot tell from the spaces; the stream that refers to the data alone comes back whole.
  const Bytes data = {0x20, 0x20, 0x20, 0x20, 0, 0, 0, 0, 0, 0};
  const Bytes stream = Encode(data);
  const LzssDecodeResult decoded =
      LzssDecode(stream.data(), stream.size(), static_cast<std::int32_t>(data.size()));
  EXPECT_EQ(decoded.Verdict, LzssVerdict::Verified);
  EXPECT_EQ(decoded.Output, data);
}

// Files built to make the usual stream fail: random bytes, zeros among them repeated, and a
// space followed by the file's first two bytes somewhere in the first 4 KB, so that the
// farthest candidate there is the last leading space. Each must come out as the oracle
// codes it, and back whole.
TEST(LzssEncode, MatchesReferenceWhereTheUsualStreamWouldNotComeBack) {
  std::mt19937 rng(31);
  int dataOnly = 0;
  constexpr int kFiles = 300;
  for (int file = 0; file < kFiles; ++file) {
    Bytes data = testdata::RandomBytes(static_cast<std::uint32_t>(file), 40 + rng() % 1500);
    for (std::uint8_t& byte : data) byte = rng() % 3 == 0 ? 0 : byte;
    const std::size_t at = 2 + rng() % std::min<std::size_t>(data.size() - 4, 4000);
    data[at] = 0x20;
    data[at + 1] = data[0];
    data[at + 2] = data[1];
    const Bytes stream = Encode(data);
    ASSERT_EQ(stream, reference::ReferenceEncode(data)) << "file " << file;
    dataOnly += stream != reference::ReferenceParse(data.data(), data.size(), false) ? 1 : 0;
    const LzssDecodeResult decoded =
        LzssDecode(stream.data(), stream.size(), static_cast<std::int32_t>(data.size()));
    ASSERT_TRUE(decoded.Verdict == LzssVerdict::Verified ||
                decoded.Verdict == LzssVerdict::Repaired)
        << "file " << file;
    ASSERT_EQ(decoded.Output, data) << "file " << file;
  }
  EXPECT_GT(dataOnly, kFiles / 2);  // the files do hit the rule
}

// The stream does not depend on how the data is cut: segments parsed from where the file's
// parse has got to, or from their own starts and joined, of every size down to one byte,
// give the stream of a single pass. The first input refers to the leading spaces and keeps
// that stream; the second also repeats zeros far into the file, where a late segment must
// send it to the second pass.
TEST(LzssEncode, SameStreamInSegmentsOfEverySize) {
  using namespace testdata;
  // Text, runs, floats and long periods, without a zero byte.
  const auto mixed = [](std::size_t size) {
    Bytes data(300, 0x20);
    for (std::uint32_t seed = 1; data.size() < size; ++seed) {
      const Bytes blocks[] = {ProseText(seed, 3000), Runs(seed, 9000), Geometry(seed, 2000),
                              Periodic(seed, 4095, 6000)};
      data.insert(data.end(), std::begin(blocks[seed % 4]), std::end(blocks[seed % 4]));
    }
    data.resize(size);
    std::replace(data.begin(), data.end(), std::uint8_t{0}, std::uint8_t{1});
    return data;
  };
  const auto withZeros = [](Bytes data) {
    std::fill(data.end() - 40, data.end() - 20, 0);
    return data;
  };
  struct Row {
    std::uint64_t Size;
    std::size_t Length;
  };
#ifdef PBO_TESTS_EMULATED
  constexpr std::size_t kTiny = 5000;  // every tiny segment indexes a window first
#else
  constexpr std::size_t kTiny = 20000;
#endif
  for (const Row row :
       {Row{1, kTiny / 2}, Row{7, kTiny}, Row{18, kTiny}, Row{19, kTiny}, Row{4095, 60000},
        Row{4113, 60000}, Row{100003, 2'500'000}, Row{kLzssSegmentSize, 2'500'000}}) {
    for (const Bytes& data : {mixed(row.Length), withZeros(mixed(row.Length))}) {
      const lzss::EncodeResult whole =
          lzss::EncodeInSegments(data.data(), data.size(), {row.Length, false});
      ASSERT_EQ(whole.Reach, HasZero(data) ? LzssReach::DataOnly : LzssReach::LeadingSpaces);
      for (const bool fromOwnStart : {false, true}) {
        const lzss::EncodeResult cut =
            lzss::EncodeInSegments(data.data(), data.size(), {row.Size, fromOwnStart});
        ASSERT_EQ(cut.Stream, whole.Stream) << row.Size << (fromOwnStart ? " from own start" : "");
        ASSERT_EQ(cut.Reach, whole.Reach);
      }
    }
  }
}

// A reader restores the zeros only while 32 for each fits a signed 32-bit sum difference:
// up to 2^26 - 1 of them. In a file of spaces all bytes but one in 4095 derive from the
// leading spaces: 2^26 + 16396 of them come back repaired, one more would come back damaged
// (at 2^27 zeros, even verified with the zeros in it), so its stream refers to the data.
#if !defined(PBO_TESTS_EMULATED) && !defined(PBO_LZSS_TEST_SEGMENT_SIZE)
TEST(LzssEncode, MoreSpacesThanTheRepairCanCountReferToTheDataAlone) {
  const std::size_t lastRepaired = (std::size_t{1} << 26) + 16396;
  for (const std::size_t size : {lastRepaired, lastRepaired + 1}) {
    const Bytes data(size, 0x20);
    const lzss::EncodeResult coded = lzss::EncodeInSegments(data.data(), size, {});
    EXPECT_EQ(coded.Reach, size == lastRepaired ? LzssReach::LeadingSpaces : LzssReach::DataOnly);
    const LzssDecodeResult decoded =
        LzssDecode(coded.Stream.data(), coded.Stream.size(), static_cast<std::int32_t>(size));
    EXPECT_TRUE(decoded.Verdict == LzssVerdict::Verified ||
                decoded.Verdict == LzssVerdict::Repaired);
    EXPECT_TRUE(decoded.Output == data) << size;
  }
}
#endif

// Misuse of the segment interface is refused before a byte is read or written.
TEST(LzssStreamJoiner, RefusesSegmentsAndPiecesThatDoNotFit) {
  const Bytes data = testdata::ProseText(3, 12000);
  const std::uint64_t size = data.size();
  const LzssFilePiece whole{data.data(), data.size(), 0};
  const LzssFilePiece noWindow{data.data() + 5000, data.size() - 5000, 5000};
  const LzssFilePiece noLookahead{data.data(), 8010, 0};
  const LzssSegment first = LzssParseSegment(whole, size, 0, 6000, LzssReach::LeadingSpaces, 0);
  const LzssSegment second =
      LzssParseSegment(whole, size, 6000, size, LzssReach::LeadingSpaces, 6000);
  const std::pair<const char*, std::function<void()>> misuses[] = {
      {"empty segment", [&] { (void)LzssParseSegment(whole, size, 5, 5, LzssReach::DataOnly, 5); }},
      {"past the end",
       [&] { (void)LzssParseSegment(whole, size, 0, size + 1, LzssReach::DataOnly, 0); }},
      {"parse before its start",
       [&] { (void)LzssParseSegment(whole, size, 9000, size, LzssReach::DataOnly, 8999); }},
      {"no window before",
       [&] { (void)LzssParseSegment(noWindow, size, 6000, 8000, LzssReach::DataOnly, 6000); }},
      {"no bytes ahead",
       [&] { (void)LzssParseSegment(noLookahead, size, 6000, 8000, LzssReach::DataOnly, 6000); }},
      {"out of order",
       [&] {
         std::vector<std::uint8_t> out;
         LzssStreamJoiner(size, LzssReach::LeadingSpaces).Join(second, whole, out);
       }},
      {"another reach",
       [&] {
         std::vector<std::uint8_t> out;
         LzssStreamJoiner(size, LzssReach::DataOnly).Join(first, whole, out);
       }},
      {"finished early",
       [&] {
         std::vector<std::uint8_t> out;
         LzssStreamJoiner joiner(size, LzssReach::LeadingSpaces);
         joiner.Join(first, whole, out);
         (void)joiner.Finish(out);
       }},
      {"joined after the end",
       [&] {
         std::vector<std::uint8_t> out;
         LzssStreamJoiner joiner(size, LzssReach::LeadingSpaces);
         joiner.Join(first, whole, out);
         joiner.Join(second, whole, out);
         (void)joiner.Finish(out);
         joiner.Join(second, whole, out);
       }},
  };
  for (const auto& [what, misuse] : misuses) {
    EXPECT_THROW(misuse(), std::invalid_argument) << what;
  }
}

TEST(LzssEncode, SameInputGivesTheSameStream) {
  const Bytes data = testdata::ConfigText(21, 30000);
  EXPECT_EQ(Encode(data), Encode(data));
}

}  // namespace
}  // namespace pbo
