// Damage the format leaves open: data that ends early, bad numbers and references, and data
// that would make the text grow without bound. Each ends the walk with the lines made so
// far, one error line naming an offset, and the error flag.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "mission/mission.h"
#include "mission_builder.h"

namespace pbo::test {
namespace {

constexpr unsigned kClassEntry = 0x00;
constexpr unsigned kArrayEntry = 0x02;
constexpr unsigned kStringValue = 0x100;
constexpr unsigned kIntValue = 0x102;

// "Text size limit reached pos: " and eight hexadecimal digits, then CR LF.
constexpr std::size_t kLimitLineSize = 29 + 8 + 2;

// The last line of a text, without its CR LF.
std::string LastLine(const std::string& text) {
  if (text.size() < 2) return {};
  const std::size_t start = text.rfind("\r\n", text.size() - 3);
  return text.substr(start == std::string::npos ? 0 : start + 2,
                     text.size() - 2 - (start == std::string::npos ? 0 : start + 2));
}

MissionText ConvertPrefix(const std::vector<std::uint8_t>& data, std::size_t size,
                          std::size_t textLimit = MissionBuilder::kNoTextLimit) {
  const std::unique_ptr<std::uint8_t[]> copy(new std::uint8_t[size]);
  std::copy(data.begin(), data.begin() + static_cast<std::ptrdiff_t>(size), copy.get());
  return MissionToText(copy.get(), size, textLimit);
}

TEST(MissionDamage, ReportsDataTooShortForHeader) {
  const std::vector<std::uint8_t> signature = {0x00, 0x72, 0x61, 0x50, 0x04,
                                               0x00, 0x00, 0x00, 0x00, 0x00};
  for (std::size_t size = 0; size <= signature.size(); ++size) {
    const MissionText result = ConvertPrefix(signature, size);
    EXPECT_TRUE(result.ErrorFlag);
    EXPECT_EQ(result.Text, Lines({"Unexpected end of data pos: 0000000A"})) << size;
  }
  MissionBuilder noTypeCode;
  noTypeCode.Signature().Byte(0x00).Bytes({0x00, 0x00, 0x00, 0x00});  // z = 10, then only 3
  EXPECT_EQ(noTypeCode.Convert().Text, Lines({"Unexpected end of data pos: 0000000B"}));
}

// The 79-byte mission of the rendering tests: a class with a float, an int and an array.
std::vector<std::uint8_t> WorkedExample() {
  MissionBuilder mission;
  mission.Header(kClassEntry)
      .NewWord("Mission")
      .PlainText("")
      .CompressedInt(3)
      .TypeCode(0x101)
      .NewWord("day")
      .Float32(4.0f)
      .TypeCode(kIntValue)
      .NewWord("count")
      .Int32(-10)
      .TypeCode(kArrayEntry)
      .NewWord("list")
      .CompressedInt(3)
      .Byte(0x00)
      .NewWord("a\"b")
      .Byte(0x01)
      .Float32(1.5f)
      .Bytes({0x03, 0x02})
      .Byte(0x02)
      .Int32(7)
      .Byte(0x00)
      .Reference(1)
      .TypeCode(kClassEntry);
  return mission.Data();
}

TEST(MissionDamage, ReportsEveryTruncation) {
  const std::vector<std::uint8_t> full = WorkedExample();
  // Cut right after a type code, the data ends the stream as a complete one would.
  const std::vector<std::size_t> cleanEnds = {0x1C, 0x27, 0x33, full.size()};
  for (std::size_t size = 0; size <= full.size(); ++size) {
    const MissionText result = ConvertPrefix(full, size);
    const bool clean = std::find(cleanEnds.begin(), cleanEnds.end(), size) != cleanEnds.end();
    EXPECT_EQ(result.ErrorFlag, !clean) << size;
    if (!clean) {
      EXPECT_EQ(LastLine(result.Text).rfind("Unexpected end of data pos: ", 0), 0u) << size;
    }
  }
  // Without its last byte the array is complete but the type code after it is missing.
  EXPECT_EQ(ConvertPrefix(full, full.size() - 1).Text,
            Lines({"class Mission", "{", "\tday=3.000000;", "\tcount=-10;",
                   "\tlist[]={\"a\"\"b\",1.500000,{7,\"Mission\"}};",
                   "Unexpected end of data pos: 0000004E"}));
}

TEST(MissionDamage, ReportsReferenceToWordNotYetDefined) {
  MissionBuilder mission;
  mission.Header(kClassEntry)
      .NewWord("C")
      .PlainText("")
      .CompressedInt(2)
      .TypeCode(kStringValue)
      .NewWord("s")   // 14: type code, 16: name
      .Reference(9);  // 19: only two words exist
  const MissionText result = mission.Convert();
  EXPECT_TRUE(result.ErrorFlag);
  EXPECT_EQ(result.Text, Lines({"class C", "{", "Word not defined yet pos: 00000019"}));
}

TEST(MissionDamage, ReportsNegativeCountsAndReferences) {
  MissionBuilder classCount;
  classCount.Header(kClassEntry)
      .NewWord("C")
      .PlainText("")         // 0F: name, 12: no base
      .Bytes({0xFF, 0x00});  // 13: member count -1
  EXPECT_EQ(classCount.Convert().Text, Lines({"Invalid compressed integer pos: 00000013"}));

  MissionBuilder arrayCount;
  arrayCount.Header(kArrayEntry)
      .NewWord("a")          // 0F: name
      .Bytes({0x80, 0x00});  // 12: element count -128
  EXPECT_EQ(arrayCount.Convert().Text, Lines({"Invalid compressed integer pos: 00000012"}));

  MissionBuilder nestedCount;
  nestedCount.Header(kArrayEntry)
      .NewWord("a")
      .CompressedInt(1)            // 0F: name, 12: one element
      .Bytes({0x03, 0x81, 0x00});  // 13: nested count -127
  EXPECT_EQ(nestedCount.Convert().Text, Lines({"Invalid compressed integer pos: 00000014"}));

  MissionBuilder name;
  name.Header(kIntValue).Bytes({0xC0, 0x00});  // 0F: name reference -64
  EXPECT_EQ(name.Convert().Text, Lines({"Invalid compressed integer pos: 0000000F"}));
  EXPECT_TRUE(name.Convert().ErrorFlag);
}

TEST(MissionDamage, HugeCountsCostOnlyTheDataBehindThem) {
  MissionBuilder array;
  array.Header(kArrayEntry)
      .NewWord("a")
      .CompressedInt(32767)  // 0F: name, 12: count
      .Byte(0x02)
      .Int32(1);  // 14: the only element
  EXPECT_EQ(array.Convert().Text, Lines({"Unexpected end of data pos: 00000019"}));

  // A class announcing more members than follow stays open; its end is a clean one.
  MissionBuilder members;
  members.Header(kClassEntry)
      .NewWord("C")
      .PlainText("")
      .CompressedInt(32767)
      .TypeCode(kIntValue)
      .NewWord("v")
      .Int32(1)
      .TypeCode(kIntValue);
  const MissionText result = members.Convert();
  EXPECT_FALSE(result.ErrorFlag);
  EXPECT_EQ(result.Text, Lines({"class C", "{", "\tv=1;"}));
}

TEST(MissionDamage, DeepNestingStopsAtTheTextLimit) {
  // Whole, this text would take 15 GB: the limit must bound the work, not just the result.
  constexpr int kDepth = 100000;
  constexpr std::size_t kLimit = std::size_t{1} << 20;
  MissionBuilder mission;
  mission.Header(kClassEntry).NewWord("c").PlainText("").CompressedInt(1);
  for (int level = 1; level < kDepth; ++level) {
    mission.TypeCode(kClassEntry).Reference(1).PlainText("").CompressedInt(1);
  }
  mission.TypeCode(kIntValue).Reference(1).Int32(0).TypeCode(kClassEntry);
  const MissionText result = mission.Convert(kLimit);
  EXPECT_TRUE(result.ErrorFlag);
  EXPECT_LE(result.Text.size(), kLimit + kLimitLineSize);
  EXPECT_GT(result.Text.size(), kLimit - 2000);  // the limit, not before
  EXPECT_EQ(LastLine(result.Text).rfind("Text size limit reached pos: ", 0), 0u);
}

TEST(MissionDamage, RepeatedLongWordStopsAtTextLimit) {
  MissionBuilder mission;
  mission.Header(kArrayEntry)
      .NewWord(std::string(100000, 'w'))  // word 1, 100 kB
      .CompressedInt(32767);
  for (int element = 0; element < 32767; ++element) mission.Bytes({0x00, 0x01});  // word 1
  mission.TypeCode(kClassEntry);
  const MissionText result = mission.Convert(std::size_t{1} << 20);
  EXPECT_TRUE(result.ErrorFlag);
  // Nothing of the array's line is written: the text is the error line alone.
  EXPECT_EQ(result.Text, Lines({"Text size limit reached pos: 0000000F"}));
}

TEST(MissionDamage, TextLimitHoldsToTheByte) {
  const std::vector<std::uint8_t> data = WorkedExample();
  const std::string whole = ConvertPrefix(data, data.size()).Text;
  ASSERT_EQ(whole.size(), 93u);
  const MissionText atLimit = ConvertPrefix(data, data.size(), 93);
  EXPECT_FALSE(atLimit.ErrorFlag);
  EXPECT_EQ(atLimit.Text, whole);
  // One byte short, the last "};" does not fit; the closing step belongs to the array entry,
  // whose name field is at 33.
  const MissionText oneShort = ConvertPrefix(data, data.size(), 92);
  EXPECT_TRUE(oneShort.ErrorFlag);
  EXPECT_EQ(oneShort.Text, Lines({"class Mission", "{", "\tday=3.000000;", "\tcount=-10;",
                                  "\tlist[]={\"a\"\"b\",1.500000,{7,\"Mission\"}};",
                                  "Text size limit reached pos: 00000033"}));
}

TEST(MissionDamage, ArbitraryBytesStayInBoundsAndUnderLimit) {
  std::mt19937 random(20261207);
  const std::vector<std::uint8_t> prefix = WorkedExample();
  for (int round = 0; round < 3000; ++round) {
    // Start from the well-formed mission and damage a few bytes, or from noise.
    std::vector<std::uint8_t> data(prefix.begin(), prefix.begin() + 15);
    const std::size_t size = 15 + random() % 120;
    if (round % 2 == 0) {
      data = prefix;
      for (int flip = 0; flip < 3; ++flip)
        data[15 + random() % (data.size() - 15)] = static_cast<std::uint8_t>(random());
    } else {
      while (data.size() < size) data.push_back(static_cast<std::uint8_t>(random() % 8));
    }
    const std::size_t limit = random() % 400;
    const MissionText result = ConvertPrefix(data, data.size(), limit);
    ASSERT_LE(result.Text.size(), limit + kLimitLineSize);
    ASSERT_TRUE(result.Text.empty() || result.Text.compare(result.Text.size() - 2, 2, "\r\n") == 0);
  }
}

}  // namespace
}  // namespace pbo::test
