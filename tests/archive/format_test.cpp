#include "archive/format.h"

#include <gtest/gtest.h>

#include "support/scratch.h"

namespace pbo {
namespace {

using testing::ArchiveBuilder;
using testing::Bytes;
using testing::ToBytes;

std::vector<TFileHeaders> TableOf(const Bytes& archive, std::size_t* dataStart = nullptr) {
  std::vector<TFileHeaders> table;
  const std::size_t start = ReadEntryTable(archive, "test.pbo", table);
  if (dataStart != nullptr) *dataStart = start;
  return table;
}

TEST(ReadEntryTable, ReadsRecordsAndEndsWithTheTerminator) {
  const Bytes archive = ArchiveBuilder()
                            .Entry("a.txt", "abc")
                            .Entry("sub/b.bin", ToBytes("xy"), ArchiveBuilder::kCompressed, 7)
                            .Build();
  std::size_t dataStart = 0;
  const auto table = TableOf(archive, &dataStart);
  ASSERT_EQ(table.size(), 3u);
  EXPECT_EQ(table[0].RelativeName, "a.txt");
  EXPECT_EQ(table[0].DataSize, 3);
  EXPECT_EQ(table[0].PackingMethod, 0u);
  EXPECT_EQ(table[1].RelativeName, "sub\\b.bin");  // "/" read as "\"
  EXPECT_EQ(table[1].PackingMethod, kCompressedMethod);
  EXPECT_EQ(table[1].OriginalSize, 7);
  EXPECT_EQ(table[2].RelativeName, "");
  EXPECT_EQ(dataStart, archive.size() - 5);
}

TEST(ReadEntryTable, PassesOverVersionRecordAndExactlyThreeStrings) {
  const Bytes archive = ArchiveBuilder()
                            .VersionRecord({"prefix", "x", "fourth?"})
                            .Entry("a.txt", "abc")
                            .Build();
  const auto table = TableOf(archive);
  ASSERT_EQ(table.size(), 2u);
  EXPECT_EQ(table[0].RelativeName, "a.txt");

  // A fourth string where the first record begins is read as the first entry's name.
  Bytes shifted = ArchiveBuilder().VersionRecord({"a", "b", "c"}).Build();
  shifted.resize(21 + 6);
  const std::string fourth = "name";
  shifted.insert(shifted.end(), fourth.begin(), fourth.end());
  shifted.push_back(0);
  for (int i = 0; i < 20; ++i) shifted.push_back(0);
  shifted.push_back(0);
  for (int i = 0; i < 20; ++i) shifted.push_back(0);
  EXPECT_EQ(TableOf(shifted)[0].RelativeName, "name");
}

TEST(ReadEntryTable, EmptyFirstNameWithoutVersionMarkerEndsTheTable) {
  Bytes archive(21, 0);
  archive[1] = 0x73;
  archive[2] = 0x72;
  archive[3] = 0x65;
  archive[4] = 0x56;
  archive[5] = 0x01;  // not the marker: byte 5 must be zero
  const auto table = TableOf(archive);
  EXPECT_EQ(table.size(), 1u);
}

TEST(ReadEntryTable, IgnoresReservedTimeStampAndTerminatorFields) {
  Bytes archive = ArchiveBuilder().Entry("a", "x").Build();
  for (std::size_t i = 2 + 8; i < 2 + 16; ++i) archive[i] = 0xEE;  // reserved, time stamp
  for (std::size_t i = 22 + 1; i < 22 + 21; ++i) archive[i] = 0xEE;  // terminator fields
  std::size_t dataStart = 0;
  const auto table = TableOf(archive, &dataStart);
  ASSERT_EQ(table.size(), 2u);
  EXPECT_EQ(table[0].DataSize, 1);
  EXPECT_EQ(dataStart, archive.size() - 1);
}

TEST(ReadEntryTable, RefusesTablesCutShort) {
  const Bytes whole = ArchiveBuilder().Entry("abc", "x").Build();
  // Every cut inside the table (name, numbers, terminator) is refused, never read past.
  for (std::size_t length = 0; length < whole.size() - 1; ++length) {
    const Bytes cut(whole.begin(), whole.begin() + static_cast<std::ptrdiff_t>(length));
    std::vector<TFileHeaders> table;
    EXPECT_THROW(ReadEntryTable(cut, "cut.pbo", table), FatalError) << "length " << length;
  }
  const Bytes version = ArchiveBuilder().VersionRecord({"a", "b"}).Build();
  std::vector<TFileHeaders> table;
  const Bytes shortVersion(version.begin(), version.begin() + 12);
  EXPECT_THROW(ReadEntryTable(shortVersion, "v.pbo", table), FatalError);
}

TEST(ReadEntryTable, RefusalNamesTheArchive) {
  std::vector<TFileHeaders> table;
  try {
    ReadEntryTable(ToBytes("abc"), "maps/Island.pbo", table);
    FAIL();
  } catch (const FatalError& error) {
    EXPECT_NE(std::string(error.what()).find("maps/Island.pbo"), std::string::npos);
  }
}

TEST(AppendHeaderRecord, WritesTheStoredOggExampleByteForByte) {
  TByteFile headers;
  AppendHeaderRecord(headers, "s.ogg", 0, 0, 3);
  AppendTerminator(headers);
  headers.insert(headers.end(), {0x01, 0x02, 0x03});
  const Bytes expected = {
      0x73, 0x2E, 0x6F, 0x67, 0x67, 0x00,  // "s.ogg" and its zero byte
      0x00, 0x00, 0x00, 0x00,              // packing method: stored
      0x00, 0x00, 0x00, 0x00,              // original size
      0x00, 0x00, 0x00, 0x00,              // reserved
      0x00, 0x00, 0x00, 0x00,              // time stamp
      0x03, 0x00, 0x00, 0x00,              // data size
      0x00, 0x73, 0x72, 0x70, 0x43,        // terminator: empty name, compressed method
      0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
      0x01, 0x02, 0x03};  // data block
  EXPECT_EQ(headers, expected);
  EXPECT_EQ(headers.size(), 50u);
}

}  // namespace
}  // namespace pbo
