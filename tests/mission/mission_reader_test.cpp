// The reading steps: compressed integers, type codes, the header and the word table.
#include "mission/mission_reader.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "mission_builder.h"

namespace pbo {
namespace {

using test::MissionBuilder;

std::vector<std::uint8_t> Encoded(int value) {
  const CompressedIntBytes encoded = EncodeCompressedInt(value);
  return {encoded.Bytes, encoded.Bytes + encoded.Size};
}

TEST(CompressedInt, EncodesOneOrTwoBytes) {
  EXPECT_EQ(Encoded(5), (std::vector<std::uint8_t>{0x05}));
  EXPECT_EQ(Encoded(127), (std::vector<std::uint8_t>{0x7F}));
  EXPECT_EQ(Encoded(128), (std::vector<std::uint8_t>{0x80, 0x01}));
  EXPECT_EQ(Encoded(300), (std::vector<std::uint8_t>{0xAC, 0x02}));
  EXPECT_EQ(Encoded(32767), (std::vector<std::uint8_t>{0xFF, 0xFF}));
}

TEST(CompressedInt, DecodesEveryEncodedPair) {
  for (int value = 128; value <= kMaxCompressedInt; ++value) {
    const CompressedIntBytes encoded = EncodeCompressedInt(value);
    ASSERT_EQ(DecodeCompressedInt(encoded.Bytes[0] | encoded.Bytes[1] << 8), value);
  }
}

TEST(CompressedInt, DecodesZeroSecondByteAsNegative) {
  EXPECT_EQ(DecodeCompressedInt(0x0080), -128);
  EXPECT_EQ(DecodeCompressedInt(0x00FF), -1);
}

TEST(MissionReader, ReadsCompressedIntegersAndTypeCodes) {
  const std::vector<std::uint8_t> data = {
      0x7F,        // 127
      0xAC, 0x02,  // 300
      0x05,        // type code 5
      0x01, 0x02,  // type code 0x102
      0x80,        // a two-byte integer cut short
  };
  MissionReader reader(data.data(), data.size());
  EXPECT_EQ(reader.ReadCompressedInt(), 127);
  EXPECT_EQ(reader.ReadCompressedInt(), 300);
  EXPECT_EQ(reader.ReadTypeCode(), static_cast<EntryType>(0x05));
  EXPECT_EQ(reader.ReadTypeCode(), EntryType::IntValue);
  EXPECT_FALSE(reader.AtEnd());
  EXPECT_EQ(reader.ReadCompressedInt(), std::nullopt);
  EXPECT_EQ(reader.Fault().Kind, ReadFaultKind::Truncated);
  EXPECT_EQ(reader.Fault().Offset, 6u);
}

TEST(MissionReader, RefusesNegativeCount) {
  const std::vector<std::uint8_t> data = {0x85, 0x00};  // decodes to -123
  MissionReader reader(data.data(), data.size());
  EXPECT_EQ(reader.ReadCount(), std::nullopt);
  EXPECT_EQ(reader.Fault().Kind, ReadFaultKind::NegativeNumber);
  EXPECT_EQ(reader.Fault().Offset, 0u);
}

TEST(MissionReader, LocatesFirstEntryBehindHeader) {
  MissionBuilder smallest;
  smallest.Signature()
      .Bytes({0x00, 0x00, 0x00, 0x00})  // 09 .. 0C; z = 10
      .Bytes({0x07, 0x02});             // 0D: not 01, so 0E alone is the code
  MissionReader reader(smallest.Data().data(), smallest.Size());
  EXPECT_EQ(reader.LocateFirstEntry(), EntryType::ArrayEntry);
  EXPECT_EQ(reader.Position(), 15u);

  MissionBuilder twoByte;
  twoByte.Signature()
      .Bytes({0x00, 0x00, 0x00, 0x00})  // 09 .. 0C; z = 10
      .Bytes({0x01, 0x01});             // 0D: 01, so the code is 0x100 + 01
  MissionReader twoByteReader(twoByte.Data().data(), twoByte.Size());
  EXPECT_EQ(twoByteReader.LocateFirstEntry(), EntryType::FloatValue);
  EXPECT_EQ(twoByteReader.Position(), 15u);

  MissionBuilder withRun;
  withRun.Signature()
      .Byte(0x00)                // 09
      .PlainText("ABCDEFGHIJK")  // 0A .. 14 non-zero; z = 21
      .Bytes({0x00, 0x00, 0x00, 0x00});
  MissionReader withRunReader(withRun.Data().data(), withRun.Size());
  EXPECT_EQ(withRunReader.LocateFirstEntry(), EntryType::ClassEntry);
  EXPECT_EQ(withRunReader.Position(), 26u);
}

TEST(MissionReader, TrimsNamesButNotStrings) {
  MissionBuilder mission;
  mission
      .NewWord(" \t name \x01")  // word 1, a name
      .NewWord("  text  ")       // word 2, a string value
      .Reference(2)              // read as a name: not trimmed again
      .NewWord("")               // word 3, an empty array string
      .NewWord("   ");           // word 4, a name that trims to nothing
  MissionReader reader(mission.Data().data(), mission.Size());
  EXPECT_EQ(reader.ReadWordField(WordKind::Name)->Text, "name");
  EXPECT_EQ(reader.ReadWordField(WordKind::StringValue)->Text, "  text  ");
  EXPECT_EQ(reader.ReadWordField(WordKind::Name)->Text, "  text  ");
  const std::optional<WordField> empty = reader.ReadWordField(WordKind::ArrayString);
  EXPECT_FALSE(empty->IsZeroReference);
  EXPECT_EQ(empty->Text, "");
  EXPECT_TRUE(reader.ReadWordField(WordKind::Name)->IsZeroReference);
  EXPECT_EQ(reader.NextWordIndex(), 5);
  EXPECT_TRUE(reader.AtEnd());
}

TEST(MissionReader, IntroducesWordsWithTwoByteIndices) {
  MissionBuilder mission;
  for (int index = 1; index <= 299; ++index) mission.NewWord("w" + std::to_string(index));
  const std::size_t word300 = mission.Size();
  mission
      .NewWord("three hundred")  // AC 02, then the characters
      .Reference(5)              // one byte, while the next index is above 127
      .Reference(300);           // AC 02 again, now a reference
  ASSERT_EQ(mission.Data()[word300], 0xAC);
  ASSERT_EQ(mission.Data()[word300 + 1], 0x02);
  MissionReader reader(mission.Data().data(), mission.Size());
  for (int index = 1; index <= 299; ++index) ASSERT_TRUE(reader.ReadWordField(WordKind::Name));
  EXPECT_EQ(reader.ReadWordField(WordKind::Name)->Text, "three hundred");
  EXPECT_EQ(reader.ReadWordField(WordKind::Name)->Text, "w5");
  EXPECT_EQ(reader.ReadWordField(WordKind::Name)->Text, "three hundred");
}

TEST(MissionReader, StopsIntroducingWordsAtLastIndex) {
  MissionBuilder mission;
  for (int index = 1; index <= kMaxCompressedInt; ++index) mission.NewWord("");
  mission
      .Bytes({0xFF, 0xFF})              // word 32767, now a reference
      .Bytes({0x80, 0x00, 'x', 0x00});  // not a word 32768: a negative reference
  MissionReader reader(mission.Data().data(), mission.Size());
  for (int index = 1; index <= kMaxCompressedInt; ++index) {
    ASSERT_TRUE(reader.ReadWordField(WordKind::StringValue));
  }
  const std::optional<WordField> last = reader.ReadWordField(WordKind::StringValue);
  ASSERT_TRUE(last);
  EXPECT_FALSE(last->IsZeroReference);
  EXPECT_EQ(reader.ReadWordField(WordKind::StringValue), std::nullopt);
  EXPECT_EQ(reader.Fault().Kind, ReadFaultKind::NegativeNumber);
}

TEST(MissionReader, RefusesBadWordFields) {
  const std::vector<std::uint8_t> undefined = {0x02};  // word 2 while no word exists
  MissionReader undefinedReader(undefined.data(), undefined.size());
  EXPECT_EQ(undefinedReader.ReadWordField(WordKind::Name), std::nullopt);
  EXPECT_EQ(undefinedReader.Fault().Kind, ReadFaultKind::UndefinedWord);

  const std::vector<std::uint8_t> negative = {0x90, 0x00};  // decodes to -112
  MissionReader negativeReader(negative.data(), negative.size());
  EXPECT_EQ(negativeReader.ReadWordField(WordKind::StringValue), std::nullopt);
  EXPECT_EQ(negativeReader.Fault().Kind, ReadFaultKind::NegativeNumber);

  const std::vector<std::uint8_t> unterminated = {0x01, 'a', 'b'};  // new word, no 00
  MissionReader unterminatedReader(unterminated.data(), unterminated.size());
  EXPECT_EQ(unterminatedReader.ReadWordField(WordKind::Name), std::nullopt);
  EXPECT_EQ(unterminatedReader.Fault().Kind, ReadFaultKind::Truncated);
  EXPECT_EQ(unterminatedReader.Fault().Offset, 0u);
}

TEST(MissionReader, RefusesFieldsPastTheEnd) {
  const std::vector<std::uint8_t> data = {0x01, 0x02, 0x03};  // three bytes of a 32-bit field
  MissionReader reader(data.data(), data.size());
  EXPECT_EQ(reader.ReadInt32(), std::nullopt);
  EXPECT_EQ(reader.ReadFloat32(), std::nullopt);
  EXPECT_EQ(reader.ReadPlainText(), std::nullopt);  // no closing 00
  EXPECT_EQ(reader.Fault().Kind, ReadFaultKind::Truncated);
  EXPECT_EQ(reader.Fault().Offset, 0u);
}

}  // namespace
}  // namespace pbo
