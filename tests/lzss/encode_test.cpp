#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <iterator>
#include <ostream>
#include <string>
#include <vector>

#include "lzss/lzss.h"
#include "lzss/lzss_internal.h"
#include "tests/lzss/reference_encoder.h"
#include "tests/lzss/test_data.h"

namespace pbo {
namespace {

using testdata::Bytes;

Bytes Encode(const Bytes& data) { return LzssEncode(data.data(), data.size()); }

Bytes Repeat(std::uint8_t value, std::size_t count) { return Bytes(count, value); }

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
  const Bytes stream = LzssEncode(nullptr, 0);
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
          {"period4096", Periodic(14, 4096, size)}};
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
    lzss::MatchFinder finder(window.data(), window.size());
    for (std::size_t p = lzss::kLeadingSpaces + 1; p < finder.FastLimit(); ++p) {
      const lzss::Match fast = finder.Find(p);
      const lzss::Match scan = lzss::FindLongestMatch(window.data(), window.size(), p);
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
    lzss::MatchFinder finder(window.data(), window.size());
    for (std::size_t p = lzss::kLeadingSpaces + 1; p < finder.FastLimit(); ++p) {
      const lzss::Match fast = finder.Find(p);
      const lzss::Match scan = lzss::FindLongestMatch(window.data(), window.size(), p);
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
  lzss::MatchFinder finder(window.data(), window.size());
  for (std::size_t p = lzss::kLeadingSpaces + 1; p < finder.FastLimit(); ++p) {
    const lzss::Match fast = finder.Find(p);
    if (p % 7 != 0) continue;  // the scan is slow; the finder still sees every position
    const lzss::Match scan = lzss::FindLongestMatch(window.data(), window.size(), p);
    ASSERT_EQ(fast.Length, scan.Length) << "at " << p;
    ASSERT_EQ(fast.Distance, scan.Distance) << "at " << p;
  }
}

TEST(FindLongestMatch, AgreesWithTheReferenceScanNearTheEnd) {
  for (const auto& [name, data] : Kinds(300)) {
    Bytes window(lzss::kLeadingSpaces, lzss::kSpace);
    window.insert(window.end(), data.begin(), data.end());
    for (std::size_t p = lzss::kLeadingSpaces + 1; p < window.size(); ++p) {
      const lzss::Match match = lzss::FindLongestMatch(window.data(), window.size(), p);
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
  const lzss::Match match = lzss::FindLongestMatch(window.data(), window.size(), p);
  EXPECT_EQ(match.Length, 3u);
  EXPECT_EQ(match.Distance, 5u);  // the nearer "xyz", not the one 10 back
}

TEST(FindLongestMatch, FullLengthCandidateDoesNotStopTheScan) {
  // Far from the end, an 18-byte candidate does not end the scan: the farthest one wins.
  Bytes window(lzss::kLeadingSpaces, lzss::kSpace);
  const Bytes block = testdata::RandomBytes(3, 30);
  for (int i = 0; i < 4; ++i) window.insert(window.end(), block.begin(), block.end());
  const lzss::Match match = lzss::FindLongestMatch(window.data(), window.size(), 18 + 90);
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
  const lzss::Match match = lzss::FindLongestMatch(window.data(), window.size(), 18 + 4096);
  EXPECT_LT(match.Length, 18u);
  data.erase(data.begin() + 4095);  // now 4095 back
  window.assign(lzss::kLeadingSpaces, lzss::kSpace);
  window.insert(window.end(), data.begin(), data.end());
  const lzss::Match inside = lzss::FindLongestMatch(window.data(), window.size(), 18 + 4095);
  EXPECT_EQ(inside.Length, 18u);
  EXPECT_EQ(inside.Distance, 4095u);
}

TEST(LzssEncode, RoundTripsEveryKind) {
  for (const auto& [name, data] : Kinds(50000)) {
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

TEST(LzssEncode, LeadingSpacesWithACopiedZeroAreRestored) {
  // "    " then six zero bytes: the stream refers into the leading spaces for the second
  // to fourth spaces, and repeats the first zero by a reference, so the count of zeros
  // cannot tell the spaces from the zeros; reading spaces before the start does.
  const Bytes data = {0x20, 0x20, 0x20, 0x20, 0, 0, 0, 0, 0, 0};
  const Bytes stream = Encode(data);
  ASSERT_EQ(stream, reference::ReferenceEncode(data));
  const LzssDecodeResult decoded =
      LzssDecode(stream.data(), stream.size(), static_cast<std::int32_t>(data.size()));
  EXPECT_EQ(decoded.Verdict, LzssVerdict::Repaired);
  EXPECT_EQ(decoded.Output, data);
}

TEST(LzssEncode, SameInputGivesTheSameStream) {
  const Bytes data = testdata::ConfigText(21, 30000);
  EXPECT_EQ(Encode(data), Encode(data));
}

}  // namespace
}  // namespace pbo
