// Rendering of well-formed missions and of the damage the format itself defines.
#include <gtest/gtest.h>

#include "mission/mission.h"
#include "mission_builder.h"

namespace pbo::test {
namespace {

constexpr unsigned kClassEntry = 0x00;
constexpr unsigned kArrayEntry = 0x02;
constexpr unsigned kStringValue = 0x100;
constexpr unsigned kFloatValue = 0x101;
constexpr unsigned kIntValue = 0x102;

// A class "Mission" with a float "day", an int "count" and an array "list" that holds every
// kind of element. 79 bytes; offsets in hex.
MissionBuilder WorkedExample() {
  MissionBuilder mission;
  mission
      .Header(kClassEntry)     // 00-0E: signature, empty run, type code ClassEntry
      .NewWord("Mission")      // 0F: name, word 1
      .PlainText("")           // 18: no base class
      .CompressedInt(3)        // 19: three members
      .TypeCode(kFloatValue)   // 1A
      .NewWord("day")          // 1C: word 2
      .Float32(4.0f)           // 21
      .TypeCode(kIntValue)     // 25
      .NewWord("count")        // 27: word 3
      .Int32(-10)              // 2E
      .TypeCode(kArrayEntry)   // 32
      .NewWord("list")         // 33: word 4
      .CompressedInt(3)        // 39: three elements
      .Byte(0x00)              // 3A: StringElement
      .NewWord("a\"b")         //     word 5
      .Byte(0x01)              // 40: FloatElement
      .Float32(1.5f)           //     1.5
      .Bytes({0x03, 0x02})     // 45: ArrayElement with two inner elements
      .Byte(0x02)              // 47: IntElement
      .Int32(7)                //     7
      .Byte(0x00)              // 4C: StringElement
      .Reference(1)            //     word 1
      .TypeCode(kClassEntry);  // 4E: the last byte, so the stream ends
  return mission;
}

TEST(MissionToText, RendersWorkedExample) {
  const MissionBuilder mission = WorkedExample();
  const std::vector<std::uint8_t> published = {
      0x00, 0x72, 0x61, 0x50, 0x04, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
      0x00, 0x01, 0x4D, 0x69, 0x73, 0x73, 0x69, 0x6F, 0x6E, 0x00, 0x00, 0x03, 0x01, 0x01,
      0x02, 0x64, 0x61, 0x79, 0x00, 0x00, 0x00, 0x80, 0x40, 0x01, 0x02, 0x03, 0x63, 0x6F,
      0x75, 0x6E, 0x74, 0x00, 0xF6, 0xFF, 0xFF, 0xFF, 0x02, 0x04, 0x6C, 0x69, 0x73, 0x74,
      0x00, 0x03, 0x00, 0x05, 0x61, 0x22, 0x62, 0x00, 0x01, 0x00, 0x00, 0xC0, 0x3F, 0x03,
      0x02, 0x02, 0x07, 0x00, 0x00, 0x00, 0x00, 0x01, 0x00};
  ASSERT_EQ(mission.Data(), published);
  const MissionText result = mission.Convert();
  EXPECT_FALSE(result.ErrorFlag);
  EXPECT_EQ(result.Text, Lines({"class Mission", "{", "\tday=3.000000;", "\tcount=-10;",
                                "\tlist[]={\"a\"\"b\",1.500000,{7,\"Mission\"}};", "};"}));
  EXPECT_EQ(result.Text.size(), 93u);
}

TEST(MissionToText, ZeroReferenceStringValueEndsWithUnknownWord) {
  MissionBuilder mission;
  mission.Header(kClassEntry)
      .NewWord("Mission")
      .PlainText("")
      .CompressedInt(3)
      .TypeCode(kFloatValue)
      .NewWord("day")
      .Float32(4.0f)
      .TypeCode(kIntValue)
      .NewWord("count")
      .Int32(-10)
      .TypeCode(kStringValue)  // 32
      .NewWord("list")         // 34: word 4
      .Byte(0x00);             // 3A: the value is the zero reference
  const MissionText result = mission.Convert();
  EXPECT_TRUE(result.ErrorFlag);
  EXPECT_EQ(result.Text, Lines({"class Mission", "{", "\tday=3.000000;", "\tcount=-10;",
                                "Unknown word pos: 0000003A"}));
}

// One top-level entry of the given type and name, then `body`, then a closing type code at
// the last byte.
template <typename Body>
MissionText ConvertSingle(unsigned type, std::string_view name, Body body) {
  MissionBuilder mission;
  mission.Header(type).NewWord(name);
  body(mission);
  mission.TypeCode(kClassEntry);
  return mission.Convert();
}

std::string FloatValueText(std::string_view name, float value) {
  return ConvertSingle(kFloatValue, name, [&](MissionBuilder& m) { m.Float32(value); }).Text;
}

TEST(MissionToText, DayIsWrittenCountingFromZero) {
  EXPECT_EQ(FloatValueText("day", 1.0f), Lines({"day=0.000000;"}));
  EXPECT_EQ(FloatValueText("Day", 1.0f), Lines({"Day=0.000000;"}));
  EXPECT_EQ(FloatValueText("DAY", 1.0f), Lines({"DAY=0.000000;"}));
  EXPECT_EQ(FloatValueText("days", 1.0f), Lines({"days=1.000000;"}));
  EXPECT_EQ(FloatValueText("day", 1.0000006f), Lines({"day=0.000001;"}));
  // In single precision 16777218 - 1 would round to an even neighbour.
  EXPECT_EQ(FloatValueText("day", 16777218.0f), Lines({"day=16777217.000000;"}));
  const MissionText array = ConvertSingle(kArrayEntry, "DAY", [](MissionBuilder& m) {
    m.CompressedInt(1).Byte(0x01).Float32(1.0f);  // one FloatElement 1.0
  });
  EXPECT_EQ(array.Text, Lines({"DAY[]={1.000000};"}));
}

TEST(MissionToText, WritesValuesOfEachKind) {
  EXPECT_EQ(FloatValueText("f", 0.1f), Lines({"f=0.100000;"}));
  EXPECT_EQ(ConvertSingle(kIntValue, "i", [](MissionBuilder& m) { m.Int32(INT32_MIN); }).Text,
            Lines({"i=-2147483648;"}));
  EXPECT_EQ(ConvertSingle(kIntValue, "i", [](MissionBuilder& m) { m.Int32(INT32_MAX); }).Text,
            Lines({"i=2147483647;"}));
  // Names are trimmed when introduced; string values keep every byte but the doubled quotes.
  EXPECT_EQ(
      ConvertSingle(kStringValue, " \tname ", [](MissionBuilder& m) { m.NewWord(" say \"hi\"\t"); })
          .Text,
      Lines({"name=\" say \"\"hi\"\"\t\";"}));
  EXPECT_EQ(ConvertSingle(kStringValue, "s", [](MissionBuilder& m) { m.NewWord(""); }).Text,
            Lines({"s=\"\";"}));
}

TEST(MissionToText, ClosesNestedClassesRightAfterLastMember) {
  MissionBuilder mission;
  mission.Header(kClassEntry)
      .NewWord("Outer")
      .PlainText("")
      .CompressedInt(2)
      .TypeCode(kClassEntry)
      .NewWord("Inner")
      .PlainText("")
      .CompressedInt(1)
      .TypeCode(kIntValue)
      .NewWord("v")
      .Int32(1)  // Inner's only member
      .TypeCode(kClassEntry)
      .NewWord("Empty")
      .PlainText("Base")
      .CompressedInt(0)
      .TypeCode(kIntValue)
      .NewWord("after")
      .Int32(2)  // top level again
      .TypeCode(kClassEntry);
  const MissionText result = mission.Convert();
  EXPECT_FALSE(result.ErrorFlag);
  EXPECT_EQ(result.Text, Lines({"class Outer", "{", "\tclass Inner", "\t{", "\t\tv=1;", "\t};",
                                "\tclass Empty: Base {};", "};", "after=2;"}));
}

TEST(MissionToText, LeavesClassOpenWhenStreamEndsEarly) {
  MissionBuilder mission;
  mission.Header(kClassEntry)
      .NewWord("Open")
      .PlainText("B")
      .CompressedInt(5)
      .TypeCode(kIntValue)
      .NewWord("v")
      .Int32(1)
      .TypeCode(kIntValue)
      .Byte(0x00);  // a name field holding 00 ends the stream
  const MissionText result = mission.Convert();
  EXPECT_FALSE(result.ErrorFlag);
  EXPECT_EQ(result.Text, Lines({"class Open: B", "{", "\tv=1;"}));
}

TEST(MissionToText, ZeroNameEndsTheStreamWithoutError) {
  MissionBuilder first;
  first.Header(kIntValue).Byte(0x00);  // the first name field is the zero reference
  EXPECT_EQ(first.Convert().Text, "");
  EXPECT_FALSE(first.Convert().ErrorFlag);

  MissionBuilder blank;
  blank.Header(kIntValue).NewWord(" \t ").Int32(1);  // a name that trims to nothing
  EXPECT_EQ(blank.Convert().Text, "");
  EXPECT_FALSE(blank.Convert().ErrorFlag);
}

TEST(MissionToText, TwoByteTypeCodeAtLastByteEndsStream) {
  MissionBuilder mission;
  mission.Header(kIntValue).NewWord("a").Int32(1).TypeCode(kFloatValue);
  const MissionText result = mission.Convert();
  EXPECT_FALSE(result.ErrorFlag);
  EXPECT_EQ(result.Text, Lines({"a=1;"}));
}

std::string ArrayText(std::string_view name, void (*elements)(MissionBuilder&)) {
  return ConvertSingle(kArrayEntry, name, elements).Text;
}

TEST(MissionToText, WritesArrayEdgeForms) {
  EXPECT_EQ(ArrayText("list", [](MissionBuilder& m) { m.CompressedInt(0); }),
            Lines({"list[]={};"}));
  EXPECT_EQ(ArrayText("list",
                      [](MissionBuilder& m) {
                        m.CompressedInt(1).Bytes({0x03, 0x00});  // a nested array of count 0
                      }),
            Lines({"list[]={{}};"}));
  EXPECT_EQ(ArrayText("list",
                      [](MissionBuilder& m) {
                        m.CompressedInt(1).Bytes({0x03, 0x03});  // nested array of three
                        m.Byte(0x02).Int32(1);                   // IntElement 1
                        m.Byte(0x03);                            // no payload inside a nested array
                        m.Byte(0x02).Int32(2);                   // IntElement 2
                      }),
            Lines({"list[]={{1,2}};"}));
  // With no inner text the removal of the last character takes the nested array's "{".
  EXPECT_EQ(
      ArrayText("list",
                [](MissionBuilder& m) {
                  m.CompressedInt(1).Bytes({0x03, 0x01, 0x05});  // nested array of one bare 05
                }),
      Lines({"list[]={}};"}));
  EXPECT_EQ(ArrayText("list",
                      [](MissionBuilder& m) {
                        m.CompressedInt(2).Byte(0x00).NewWord("");  // StringElement, empty new word
                        m.Byte(0x00).Reference(1);  // StringElement, the array's name
                      }),
            Lines({"list[]={\"\",\"list\"};"}));
}

TEST(MissionToText, UnknownTypeCodeEndsWithErrorLine) {
  MissionBuilder last;
  last.Header(kClassEntry)
      .NewWord("C")
      .PlainText("")
      .CompressedInt(2)
      .TypeCode(kIntValue)
      .NewWord("v")
      .Int32(1)
      .Byte(0x05)
      .NewWord(" odd ")      // unrecognised type code 05 on the last member
      .Bytes({0xDE, 0xAD});  // never read
  MissionText result = last.Convert();
  EXPECT_TRUE(result.ErrorFlag);
  EXPECT_EQ(result.Text,
            Lines({"class C", "{", "\tv=1;", "Unknown class or property: odd -0005", "};"}));

  MissionBuilder notLast;
  notLast.Header(kClassEntry)
      .NewWord("C")
      .PlainText("")
      .CompressedInt(2)
      .Bytes({0x01, 0x03})
      .NewWord("x")  // unrecognised type code 01 03 on the first member
      .TypeCode(kIntValue);
  result = notLast.Convert();
  EXPECT_TRUE(result.ErrorFlag);
  EXPECT_EQ(result.Text, Lines({"class C", "{", "Unknown class or property: x -0103"}));
}

TEST(MissionToText, UnknownElementTypeMarksArrayLine) {
  MissionBuilder mission;
  mission.Header(kClassEntry)
      .NewWord("C")
      .PlainText("")
      .CompressedInt(1)
      .TypeCode(kArrayEntry)
      .NewWord("list")
      .CompressedInt(4)
      .Byte(0x02)
      .Int32(1)    // IntElement 1
      .Byte(0x09)  // unrecognised: only this byte is consumed
      .Byte(0x02)
      .Int32(3)              // IntElement 3
      .Byte(0xFF)            // unrecognised again: the prefix is put in front again
      .TypeCode(kIntValue);  // never needed
  const MissionText result = mission.Convert();
  EXPECT_TRUE(result.ErrorFlag);
  // The class's only member was the array, so the closing step still closes it.
  EXPECT_EQ(result.Text,
            Lines({"class C", "{",
                   "Unknown value type in array: Unknown value type in array: list[]={1,3", "};"}));
}

TEST(MissionToText, ZeroReferenceElementIsReportedAheadOfArray) {
  MissionBuilder mission;
  mission.Header(kClassEntry)
      .NewWord("C")
      .PlainText("")
      .CompressedInt(2)
      .TypeCode(kArrayEntry)  // 14
      .NewWord("list")        // 15: word 2
      .CompressedInt(3)       // 1B: three elements
      .Byte(0x00)
      .NewWord("x")         // 1C: StringElement "x"
      .Bytes({0x03, 0x01})  // 20: nested array of one
      .Bytes({0x00, 0x00})  // 22: StringElement holding the zero reference (at 23)
      .Bytes({0x00, 0x00})  // 24: the same at the top level (at 25)
      .TypeCode(kIntValue);
  const MissionText result = mission.Convert();
  EXPECT_TRUE(result.ErrorFlag);
  EXPECT_EQ(result.Text, Lines({"class C", "{", "Unknown word pos: 00000023",
                                "Unknown word pos: 00000025", "\tlist[]={\"x\",}"}));
}

TEST(MissionToText, ReadsHeaderWithRunAndTwoByteFirstType) {
  MissionBuilder mission;
  mission.Signature()
      .Byte(0x7E)               // 09: never examined
      .PlainText("header run")  // 0A: skipped up to its 00
      .Bytes({0x33, 0x44})      // never examined
      .TypeCode(kIntValue)      // 01 02: the first type code in two bytes
      .NewWord("n")
      .Int32(5)
      .TypeCode(kClassEntry);
  EXPECT_EQ(mission.Convert().Text, Lines({"n=5;"}));
}

}  // namespace
}  // namespace pbo::test
