#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "lzss/lzss.h"
#include "lzss/lzss_internal.h"
#include "tests/lzss/reference_decoder.h"
#include "tests/lzss/test_data.h"

namespace pbo {
namespace {

using testdata::Bytes;

// The packed block of an item stream and its stored checksum, in a buffer of exactly its
// size so that a read past it is caught under AddressSanitizer.
Bytes Packed(Bytes items, std::uint32_t checksum) {
  for (int shift = 0; shift < 32; shift += 8) {
    items.push_back(static_cast<std::uint8_t>(checksum >> shift));
  }
  return items;
}

// The block read through a reader, rated and delivered in stretches.
LzssDecodeResult DecodeInStretches(const Bytes& packed, std::int32_t originalSize) {
  const LzssBlockReader read = [&](std::uint64_t offset, std::uint8_t* into, std::size_t size) {
    EXPECT_TRUE(offset <= packed.size() && size <= packed.size() - offset);
    std::copy_n(packed.begin() + static_cast<std::ptrdiff_t>(offset), size, into);
    return true;
  };
  const LzssStreamRating rating = LzssRateStream(packed.size(), originalSize, read);
  EXPECT_FALSE(rating.ReadFailed);
  LzssDecodeResult result;
  result.Verdict = rating.Verdict;
  EXPECT_TRUE(LzssDeliverStream(packed.size(), originalSize, rating, read,
                                [&](const std::uint8_t* bytes, std::size_t size) {
                                  result.Output.insert(result.Output.end(), bytes, bytes + size);
                                  return true;
                                }));
  EXPECT_EQ(result.Output.size(), rating.OutputSize);
  return result;
}

// LzssDecode, checked against the reference decoder and against the stretch functions at
// their default sizes and at tiny ones, where items straddle every read and every stretch.
LzssDecodeResult Decode(const Bytes& packed, std::int32_t originalSize) {
  // An exact copy on the heap, so that the decoder sees no slack after the block.
  const auto exact = std::make_unique<std::uint8_t[]>(packed.size() + 1);
  std::copy(packed.begin(), packed.end(), exact.get());
  const LzssDecodeResult fast = LzssDecode(exact.get(), packed.size(), originalSize);
  const LzssDecodeResult plain =
      reference::ReferenceDecode(exact.get(), packed.size(), originalSize);
  EXPECT_EQ(fast.Verdict, plain.Verdict);
  EXPECT_EQ(fast.Output, plain.Output);
  struct PieceSizes {
    std::size_t Read;
    std::size_t Stretch;
  };
  for (const PieceSizes sizes : {PieceSizes{0, 0}, PieceSizes{1, 1}, PieceSizes{13, 700}}) {
    if (sizes.Stretch == 1 && packed.size() > 4096) continue;  // a move of the history per group
    lzss::SetStreamPieceSizes(sizes.Read, sizes.Stretch);
    const LzssDecodeResult stretches = DecodeInStretches(packed, originalSize);
    lzss::SetStreamPieceSizes(0, 0);
    EXPECT_EQ(stretches.Verdict, fast.Verdict) << "read " << sizes.Read << ", stretch " << sizes.Stretch;
    EXPECT_EQ(stretches.Output, fast.Output) << "read " << sizes.Read << ", stretch " << sizes.Stretch;
  }
  return fast;
}

Bytes Text(const std::string& text) { return Bytes(text.begin(), text.end()); }

TEST(LzssDecode, OverlappingReferenceRepeatsTheLastBytes) {
  const Bytes packed = Packed({0x07, 0x61, 0x62, 0x63,  // flag 111; "abc"
                               0x03, 0x03},             // distance 3, length 6
                              882);
  const LzssDecodeResult result = Decode(packed, 9);
  EXPECT_EQ(result.Verdict, LzssVerdict::Verified);
  EXPECT_EQ(result.Output, Text("abcabcabc"));
}

TEST(LzssDecode, RepairsLeadingSpaces) {
  const Bytes packed = Packed({0x06,         // flag 110
                               0x05, 0x00,   // distance 5, length 3: wholly before the start
                               0x61, 0x62},  // "ab"
                              291);          // 195 + 3 * 32
  const LzssDecodeResult result = Decode(packed, 5);
  EXPECT_EQ(result.Verdict, LzssVerdict::Repaired);
  EXPECT_EQ(result.Output, Text("   ab"));
}

// A zero of the data copied by a reference spoils the count of zeros; a second pass that
// reads spaces before the start, as the coder had them, finds the bytes the sum stands for.
// A distance of 0 still yields zeros on that pass.
TEST(LzssDecode, ReadsLeadingSpacesWhenTheZeroCountFails) {
  struct Case {
    const char* What;
    Bytes Packed;
    std::int32_t Size;
    Bytes Output;
  };
  // clang-format off
  const Case cases[] = {
      {"a literal zero copied after three leading spaces",
       Packed({0x02,                // flag 010
               0x05, 0x00,          // distance 5, length 3: before the start, at 0..2
               0x00,                // literal zero at 3
               0x01, 0x00},         // distance 1, length 3: copies it to 4..6
              96), 7, Bytes{' ', ' ', ' ', 0, 0, 0, 0}},
      {"distance 0 after three leading spaces",
       Packed({0x00,                // flag 00
               0x05, 0x00,          // distance 5, length 3: before the start, at 0..2
               0x00, 0x00},         // distance 0, length 3: zeros at 3..5
              96), 6, Bytes{' ', ' ', ' ', 0, 0, 0}},
  };
  // clang-format on
  for (const Case& c : cases) {
    const LzssDecodeResult result = Decode(c.Packed, c.Size);
    EXPECT_EQ(result.Verdict, LzssVerdict::Repaired) << c.What;
    EXPECT_EQ(result.Output, c.Output) << c.What;
  }
}

TEST(LzssDecode, ReferenceStraddlingTheStartRepairsOnlyItsZeros) {
  const Bytes packed = Packed({0x0B,        // flag 1011
                               0x61,        // 'a'
                               0x62,        // 'b'
                               0x04, 0x01,  // distance 4, length 4: two zeros, then "ab"
                               0x00},       // literal zero stays a zero
                              0x61 + 0x62 + 2 * 32 + 0x61 + 0x62);
  const LzssDecodeResult result = Decode(packed, 7);
  EXPECT_EQ(result.Verdict, LzssVerdict::Repaired);
  EXPECT_EQ(result.Output, (Bytes{'a', 'b', ' ', ' ', 'a', 'b', 0}));
}

TEST(LzssDecode, ZerosCopiedFromLeadingZerosAreRepairedToo) {
  const Bytes packed = Packed({0x00,         // flag 00000000
                               0x03, 0x00,   // distance 3, length 3: zeros at 0..2
                               0x03, 0x00},  // distance 3, length 3: copies them to 3..5
                              6 * 32);
  const LzssDecodeResult result = Decode(packed, 6);
  EXPECT_EQ(result.Verdict, LzssVerdict::Repaired);
  EXPECT_EQ(result.Output, Bytes(6, 0x20));
}

TEST(LzssDecode, CopiedZerosWithoutLeadingReferenceVerify) {
  const Bytes packed = Packed({0x03,         // flag 011
                               0x00, 0x07,   // literal zero, literal 7
                               0x02, 0x01},  // distance 2, length 4: 0 7 0 7
                              21);
  const LzssDecodeResult result = Decode(packed, 6);
  EXPECT_EQ(result.Verdict, LzssVerdict::Verified);
  EXPECT_EQ(result.Output, (Bytes{0, 7, 0, 7, 0, 7}));
}

// Long enough for the group loop: all-literal groups, then a distance of 0 whose zeros the
// checksum shows to be spaces. The count of zero literals must see literals alone.
TEST(LzssDecode, RepairsDistanceZeroAmidLiteralGroups) {
  Bytes items;
  Bytes expected;
  std::uint32_t sum = 0;
  for (int group = 0; group < 60; ++group) {
    items.push_back(0xFF);  // flag 11111111
    for (int i = 0; i < 8; ++i) {
      const auto literal = static_cast<std::uint8_t>('a' + (group + i) % 26);
      items.push_back(literal);
      expected.push_back(literal);
      sum += literal;
    }
    if (group == 40) {
      items.insert(items.end(), {0xFE, 0x00, 0x02});  // flag 11111110, distance 0, length 5
      items.insert(items.end(), 7, 'x');
      expected.insert(expected.end(), 5, ' ');
      expected.insert(expected.end(), 7, 'x');
      sum += 5 * 32 + 7 * 'x';
    }
  }
  const LzssDecodeResult result =
      Decode(Packed(items, sum), static_cast<std::int32_t>(expected.size()));
  EXPECT_EQ(result.Verdict, LzssVerdict::Repaired);
  EXPECT_EQ(result.Output, expected);
}

TEST(LzssDecode, DistanceZeroYieldsZeros) {
  const Bytes packed = Packed({0x01,         // flag 01
                               0x61,         // 'a'
                               0x00, 0x02},  // distance 0, length 5
                              0x61 + 5 * 32);
  const LzssDecodeResult result = Decode(packed, 6);
  EXPECT_EQ(result.Verdict, LzssVerdict::Repaired);
  EXPECT_EQ(result.Output, Text("a     "));
}

// The repair is all or nothing, and only for a sum short by exactly 32 per zero that a
// reference made, or for the sum of a pass that reads spaces before the start; every other
// difference leaves the bytes as decoded.
TEST(LzssDecode, RepairNeedsExactly32PerReferenceZero) {
  struct Case {
    const char* What;
    Bytes Packed;
    std::int32_t Size;
    Bytes Output;
  };
  // clang-format off
  const Case cases[] = {
      {"no zero made by a reference, the sum off by 32",
       Packed({0x07,                // flag 111
               0x61, 0x62, 0x63},   // "abc"
              294 + 32), 3, Text("abc")},
      {"the stored sum 96 below the produced one",
       Packed({0x02,                // flag 10
               0x05, 0x00,          // distance 5, length 3: zeros at 0..2
               0x70},               // 'p'
              0x70 - 96), 4, Bytes{0, 0, 0, 0x70}},
      {"three zeros made before the start, two spaces' worth of difference",
       Packed({0x00,                // flag 0
               0x05, 0x00},         // distance 5, length 3: zeros at 0..2
              64), 3, Bytes(3, 0)},
      {"leading spaces and a copied zero explain the sum, but the stream runs out short of 9",
       Packed({0x02,                // flag 010
               0x05, 0x00,          // distance 5, length 3: zeros at 0..2
               0x00,                // literal zero at 3
               0x01, 0x00},         // distance 1, length 3: zeros at 4..6
              96), 9, Bytes(9, 0)},
  };
  // clang-format on
  for (const Case& c : cases) {
    const LzssDecodeResult result = Decode(c.Packed, c.Size);
    EXPECT_EQ(result.Verdict, LzssVerdict::Unrepairable) << c.What;
    EXPECT_EQ(result.Output, c.Output) << c.What;
  }
}

TEST(LzssDecode, IgnoresUnusedFlagBitsAndTrailingBytes) {
  const Bytes packed = Packed({0x07, 0x61, 0x62, 0x63,  // flag 111 announces more items
                               0xEE, 0xEE},             // bytes before the checksum
                              294);
  const LzssDecodeResult result = Decode(packed, 3);
  EXPECT_EQ(result.Verdict, LzssVerdict::Verified);
  EXPECT_EQ(result.Output, Text("abc"));
}

TEST(LzssDecode, SumWrapsOnBothSides) {
  // 0xFF bytes, 17 million of them: their sum passes 2^32.
  const std::size_t size = 17'000'010;
  const Bytes data(size, 0xFF);
  const Bytes stream = LzssEncode(data.data(), data.size());
  const std::uint32_t stored = stream[stream.size() - 4] | stream[stream.size() - 3] << 8 |
                               stream[stream.size() - 2] << 16 |
                               std::uint32_t{stream[stream.size() - 1]} << 24;
  EXPECT_EQ(stored, static_cast<std::uint32_t>(std::uint64_t{size} * 0xFF));
  const LzssDecodeResult result =
      LzssDecode(stream.data(), stream.size(), static_cast<std::int32_t>(size));
  EXPECT_EQ(result.Verdict, LzssVerdict::Verified);
  EXPECT_TRUE(result.Output == data);
}

// A stream that ran out early, or ran past the declared end, is damaged even when its
// checksum matches, at once or after the repair: it must not pass as verified or repaired.
TEST(LzssDecode, ProducedLengthOtherThanDeclaredIsLengthMismatch) {
  struct Case {
    const char* What;
    Bytes Packed;
    std::int32_t Size;
  };
  // clang-format off
  const Case cases[] = {
      {"repaired, then the stream runs out short of 9",
       Packed({0x06,                // flag 110, and a fourth item that never comes
               0x05, 0x00,          // distance 5, length 3: zeros at 0..2
               0x61, 0x62},         // "ab"
              0x61 + 0x62 + 3 * 32), 9},
      {"repaired, but the reference runs past a declared 2",
       Packed({0x01,                // flag 01
               0x61,                // 'a'
               0x05, 0x00},         // distance 5, length 3: zeros at 1..3
              0x61 + 3 * 32), 2},
      {"the sum matching, but the reference runs past a declared 4",
       Packed({0x03,                // flag 011
               0x61, 0x62,          // "ab"
               0x02, 0x00},         // distance 2, length 3: "aba"
              0x61 + 0x62 + 0x61 + 0x62 + 0x61), 4},
      {"the sum matching, the stream ending inside a reference",
       Packed({0x01,                // flag 01
               0x61,                // 'a'
               0x05},               // half a reference
              0x61), 4},
  };
  // clang-format on
  for (const Case& c : cases) {
    EXPECT_EQ(Decode(c.Packed, c.Size).Verdict, LzssVerdict::LengthMismatch) << c.What;
  }
}

TEST(LzssDecode, BytesPastTheDeclaredEndAreCountedButNotStored) {
  // Only the zero at 1 is stored; those at 2 and 3 still count, so one space's worth of
  // difference does not explain the sum.
  const Bytes packed = Packed({0x01,         // flag 01
                               0x61,         // 'a'
                               0x05, 0x00},  // distance 5, length 3: zeros at 1..3
                              0x61 + 32);
  const LzssDecodeResult result = Decode(packed, 2);
  EXPECT_EQ(result.Verdict, LzssVerdict::Unrepairable);
  EXPECT_EQ(result.Output, (Bytes{0x61, 0}));
}

TEST(LzssDecode, RunOutStreamLeavesZerosWhenUnrepairable) {
  const Bytes packed = Packed({0x03, 0x61, 0x62}, 1);
  const LzssDecodeResult result = Decode(packed, 5);
  EXPECT_EQ(result.Verdict, LzssVerdict::Unrepairable);
  EXPECT_EQ(result.Output, (Bytes{0x61, 0x62, 0, 0, 0}));
}

TEST(LzssDecode, BlockWithoutChecksumIsUnrepairableAndEmpty) {
  for (const Bytes& packed : {Bytes{}, Bytes{0x01}, Bytes{0x01, 0x61, 0x00}}) {
    const LzssDecodeResult result = Decode(packed, 1);
    EXPECT_EQ(result.Verdict, LzssVerdict::Unrepairable);
    EXPECT_TRUE(result.Output.empty());
  }
}

TEST(LzssDecode, NegativeSizeIsLengthMismatch) {
  const LzssDecodeResult result = Decode(Packed({0x01, 0x61}, 0x61), -1);
  EXPECT_EQ(result.Verdict, LzssVerdict::LengthMismatch);
  EXPECT_TRUE(result.Output.empty());
}

TEST(LzssDecode, ZeroSizeStillDecodesTheFirstItem) {
  EXPECT_EQ(Decode(Packed({0x01, 0x61}, 0x61), 0).Verdict, LzssVerdict::LengthMismatch);
  EXPECT_EQ(Decode(Packed({}, 0), 0).Verdict, LzssVerdict::Verified);
  EXPECT_EQ(Decode(Packed({0x00, 0x05, 0x00}, 96), 0).Verdict, LzssVerdict::LengthMismatch);
}

TEST(LzssDecode, HugeDeclaredSizeCostsOnlyWhatTheBlockCanExpandTo) {
  // 17 stream bytes claiming 2 GiB: the output stops at 9 bytes per stream byte.
  const Bytes packed = Packed({0x00, 0x01, 0x0F, 0x01, 0x0F, 0x01, 0x0F, 0x01, 0x0F, 0x01, 0x0F,
                               0x01, 0x0F, 0x01, 0x0F, 0x01, 0x0F},
                              0);
  const LzssDecodeResult result = Decode(packed, 0x7FFFFFFF);
  EXPECT_EQ(result.Verdict, LzssVerdict::LengthMismatch);
  EXPECT_LE(result.Output.size(), 9u * 17u);
}

// Hostile streams: random flags, distances and lengths against random declared sizes. The
// decoder and the reference must agree byte for byte (Decode checks), and sanitizers watch the
// reads and writes.
TEST(LzssDecode, AgreesWithTheReferenceOnRandomStreams) {
  std::mt19937 rng(99);
  for (int round = 0; round < 3000; ++round) {
    Bytes items(rng() % 600);
    const std::uint32_t maxDistance = round % 3 == 0 ? 4096 : 40;
    for (std::size_t i = 0; i < items.size(); ++i) {
      items[i] = static_cast<std::uint8_t>(i % 2 == 0 ? rng() % maxDistance : rng());
    }
    const std::uint32_t checksum = round % 5 == 0 ? 0 : rng();
    const auto size = static_cast<std::int32_t>(rng() % (items.size() * 10 + 2));
    Decode(Packed(items, checksum), size);
  }
}

// Entries of several stretches, each repaired another way (Decode runs the stretch
// functions too): every zero a space, only the references' zeros, the leading spaces read
// as such, and none.
TEST(LzssDecode, LargeEntriesComeBackWhole) {
  const auto spacesThen = [](const Bytes& data) {
    Bytes spaced(data.size() + 4, ' ');
    std::copy(data.begin(), data.end(), spaced.begin() + 4);
    return spaced;
  };
  Bytes textWithZero = spacesThen(testdata::ProseText(3, 700000));
  textWithZero[500000] = 0;
  const Bytes inputs[] = {spacesThen(testdata::ProseText(2, 700000)), textWithZero,
                          spacesThen(testdata::Sparse(4, 700000)), testdata::Runs(5, 700000)};
  for (const Bytes& data : inputs) {
    const Bytes stream = LzssEncode(data.data(), data.size());
    const LzssDecodeResult result = Decode(stream, static_cast<std::int32_t>(data.size()));
    EXPECT_NE(result.Verdict, LzssVerdict::Unrepairable);
    EXPECT_TRUE(result.Output == data);

  }
}

TEST(LzssDecode, AgreesWithTheReferenceOnTruncatedAndAlteredStreams) {
  const Bytes data = testdata::ConfigText(5, 20000);
  const Bytes stream = LzssEncode(data.data(), data.size());
  std::mt19937 rng(5);
  for (int round = 0; round < 200; ++round) {
    Bytes damaged(stream.begin(), stream.begin() + rng() % stream.size());
    if (!damaged.empty()) damaged[rng() % damaged.size()] ^= static_cast<std::uint8_t>(rng());
    Decode(damaged, static_cast<std::int32_t>(data.size()));
  }
}

// A read that fails, in the rating or in the delivery, or a sink that refuses a stretch
// ends the pass there, and the caller hears of it.
TEST(LzssStream, FailedReadOrRefusedStretchEndsThePass) {
  const Bytes data = testdata::ConfigText(8, 900000);
  const Bytes packed = LzssEncode(data.data(), data.size());
  const auto size = static_cast<std::int32_t>(data.size());
  int readsLeft = 0;
  const LzssBlockReader read = [&](std::uint64_t offset, std::uint8_t* into, std::size_t n) {
    std::copy_n(packed.begin() + static_cast<std::ptrdiff_t>(offset), n, into);
    return --readsLeft != 0;
  };
  readsLeft = 3;
  EXPECT_TRUE(LzssRateStream(packed.size(), size, read).ReadFailed);
  readsLeft = -1;
  const LzssStreamRating rating = LzssRateStream(packed.size(), size, read);
  ASSERT_EQ(rating.Verdict, LzssVerdict::Verified);
  int stretches = 0;
  const LzssSink refuseSecond = [&](const std::uint8_t*, std::size_t) { return ++stretches < 2; };
  EXPECT_FALSE(LzssDeliverStream(packed.size(), size, rating, read, refuseSecond));
  EXPECT_EQ(stretches, 2);
  readsLeft = 3;
  EXPECT_FALSE(LzssDeliverStream(packed.size(), size, rating, read,
                                 [](const std::uint8_t*, std::size_t) { return true; }));
}

}  // namespace
}  // namespace pbo
