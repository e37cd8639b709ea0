// Extraction end to end: archives built byte by byte, extracted into a scratch folder.
#include <gtest/gtest.h>
#ifndef _WIN32
#include <sys/stat.h>
#endif

#include <cstdint>
#include <filesystem>
#include <utility>
#include <vector>

#include "archive/archive.h"
#include "mission/mission.h"
#include "support/scratch.h"

namespace pbo {
namespace {

namespace fs = std::filesystem;
using testing::ArchiveBuilder;
using testing::Bytes;
using testing::ReadFile;
using testing::ScratchFolder;
using testing::ToBytes;
using testing::WriteFile;

constexpr std::uint32_t kPacked = ArchiveBuilder::kCompressed;

// "abcabcabc": literals a b c, then a reference 3 back, 6 long; checksum 0x372.
const Bytes kAbcStream = {0x07, 0x61, 0x62, 0x63, 0x03, 0x03, 0x72, 0x03, 0x00, 0x00};
// Three spaces then "ab": a reference 5 back before the start gives three zeros, which
// the checksum (291 = 195 + 3 x 32) shows to be spaces.
const Bytes kRepairedStream = {0x06, 0x05, 0x00, 0x61, 0x62, 0x23, 0x01, 0x00, 0x00};
// Three leading spaces and a zero copied by reference: the zeros' count does not explain the
// checksum 96, a pass that reads spaces before the start does.
const Bytes kSpacesAndZerosStream = {0x02, 0x05, 0x00, 0x00, 0x01, 0x00, 0x60, 0x00, 0x00, 0x00};
// The same items with a checksum (97) that nothing explains.
const Bytes kUnrepairableStream = {0x02, 0x05, 0x00, 0x00, 0x01, 0x00, 0x61, 0x00, 0x00, 0x00};

// A binarized mission: class Mission { day=4.0; count=-10; list[]={"a\"b",1.5,{7,Mission}}; }
const Bytes kMission = {
    0x00, 0x72, 0x61, 0x50, 0x04, 0x00, 0x00, 0x00, 0x00,  // signature
    0x00, 0x00, 0x00, 0x00, 0x00,                          // header bytes, first code 1 byte
    0x00,                                                  // class
    0x01, 0x4D, 0x69, 0x73, 0x73, 0x69, 0x6F, 0x6E, 0x00,  // new word 1 "Mission"
    0x00, 0x03,                                            // no base, three members
    0x01, 0x01, 0x02, 0x64, 0x61, 0x79, 0x00,              // float "day"
    0x00, 0x00, 0x80, 0x40,                                // 4.0
    0x01, 0x02, 0x03, 0x63, 0x6F, 0x75, 0x6E, 0x74, 0x00,  // int "count"
    0xF6, 0xFF, 0xFF, 0xFF,                                // -10
    0x02, 0x04, 0x6C, 0x69, 0x73, 0x74, 0x00, 0x03,        // array "list", three elements
    0x00, 0x05, 0x61, 0x22, 0x62, 0x00,                    // string, new word 5 a"b
    0x01, 0x00, 0x00, 0xC0, 0x3F,                          // float 1.5
    0x03, 0x02, 0x02, 0x07, 0x00, 0x00, 0x00, 0x00, 0x01,  // {7, word 1}
    0x00};                                                 // last type code ends the data
const char kMissionText[] =
    "class Mission\r\n{\r\n\tday=3.000000;\r\n\tcount=-10;\r\n"
    "\tlist[]={\"a\"\"b\",1.500000,{7,\"Mission\"}};\r\n};\r\n";

class Extraction : public ::testing::Test {
 protected:
  Extraction() { run_.Threads = testing::TestThreads(); }

  // Writes the archive as <scratch>/Island.pbo and extracts it into <scratch>/Island/.
  int Extract(const Bytes& archive) {
    WriteFile(scratch_.Path() / "Island.pbo", archive);
    run_.InputPath = scratch_ / "Island.pbo";
    run_.OutputFolder = scratch_ / "Island/";
    ExtractArchive(run_);
    return run_.ResultCode;
  }
  fs::path Out(const std::string& relative) const { return scratch_.Path() / "Island" / relative; }
  Bytes Extracted(const std::string& relative) const { return ReadFile(Out(relative)); }

  ScratchFolder scratch_;
  RunState run_;
};

TEST_F(Extraction, WritesStoredEmptyAndCompressedEntriesInTheirFolders) {
  const int code = Extract(ArchiveBuilder()
                               .Entry("readme.txt", "hello")
                               .Entry("maps\\island\\empty.txt", Bytes())
                               .Entry("maps/abc.txt", kAbcStream, kPacked, 9)
                               .Build());
  EXPECT_EQ(code, 0);
  EXPECT_EQ(Extracted("readme.txt"), ToBytes("hello"));
  EXPECT_TRUE(fs::is_regular_file(Out("maps/island/empty.txt")));
  EXPECT_EQ(fs::file_size(Out("maps/island/empty.txt")), 0u);
  EXPECT_EQ(Extracted("maps/abc.txt"), ToBytes("abcabcabc"));
  EXPECT_EQ(run_.EntryTable.size(), 4u);
  EXPECT_EQ(run_.EntryTable[2].RelativeName, "maps\\abc.txt");
}

TEST_F(Extraction, OnlyTerminatorCreatesNothing) {
  EXPECT_EQ(Extract(ArchiveBuilder().Build()), 0);
  EXPECT_FALSE(fs::exists(scratch_.Path() / "Island"));
}

TEST_F(Extraction, EmptyCompressedEntryIsAnEmptyFile) {
  EXPECT_EQ(Extract(ArchiveBuilder().Entry("e.txt", Bytes(), kPacked, 0).Build()), 0);
  EXPECT_TRUE(fs::exists(Out("e.txt")));
  EXPECT_EQ(fs::file_size(Out("e.txt")), 0u);
}

TEST_F(Extraction, RepairsLeadingSpaces) {
  EXPECT_EQ(Extract(ArchiveBuilder()
                        .Entry("r.txt", kRepairedStream, kPacked, 5)
                        .Entry("z.bin", kSpacesAndZerosStream, kPacked, 7)
                        .Build()),
            0);
  EXPECT_EQ(Extracted("r.txt"), ToBytes("   ab"));
  EXPECT_EQ(Extracted("z.bin"), (Bytes{' ', ' ', ' ', 0, 0, 0, 0}));
}

TEST_F(Extraction, UnrepairableEntryIsWrittenAsDecodedAndFails) {
  const int code = Extract(ArchiveBuilder()
                               .Entry("bad.bin", kUnrepairableStream, kPacked, 7)
                               .Entry("after.txt", "still here")
                               .Build());
  EXPECT_EQ(code, 3);
  EXPECT_EQ(Extracted("bad.bin"), Bytes(7, 0));
  EXPECT_EQ(Extracted("after.txt"), ToBytes("still here"));
}

TEST_F(Extraction, LengthMismatchWritesNoFile) {
  // A sound stream for 9 bytes, declared as 8.
  const int code = Extract(ArchiveBuilder()
                               .Entry("short.txt", kAbcStream, kPacked, 8)
                               .Entry("after.txt", "x")
                               .Build());
  EXPECT_EQ(code, 3);
  EXPECT_FALSE(fs::exists(Out("short.txt")));
  EXPECT_TRUE(fs::exists(Out("after.txt")));
}

TEST_F(Extraction, HugeClaimedSizeEndsFastWithoutAHugeFile) {
  // 20 bytes that claim to expand to 2 GiB - 1.
  Bytes block = {0x00, 0x01, 0xFF, 0x01, 0xFF, 0x01, 0xFF, 0x01, 0xFF,
                 0x01, 0xFF, 0x01, 0xFF, 0x01, 0xFF, 0x01, 0xFF, 0, 0, 0};
  EXPECT_EQ(Extract(ArchiveBuilder().Entry("big.bin", block, kPacked, 0x7FFFFFFF).Build()), 3);
  if (fs::exists(Out("big.bin"))) {
    EXPECT_LT(fs::file_size(Out("big.bin")), 1u << 20);
  }
}

TEST_F(Extraction, ConvertsBinarizedMissionUnderItsOwnName) {
  const int code = Extract(ArchiveBuilder().Entry("missions\\demo\\Mission.zem", kMission).Build());
  EXPECT_EQ(code, 0);
  EXPECT_EQ(Extracted("missions/demo/Mission.zem"), ToBytes(kMissionText));
}

TEST_F(Extraction, ClassifiesMissionsByFileNameSizeAndSignature) {
  Bytes unsigned_ = kMission;
  unsigned_[4] = 0x05;  // signature differs
  const Bytes nine(kMission.begin(), kMission.begin() + 9);
  const Bytes ten(kMission.begin(), kMission.begin() + 10);
  struct Row {
    std::string Name;
    Bytes Data;
    bool Converted;
  };
  const std::vector<Row> rows = {
      {"a\\mission.zem", unsigned_, false},
      {"b\\MISSION.ZEM", nine, false},
      {"c\\mission.zem.txt", kMission, false},
      {"d\\Mission.Zem", ten, true},         // the smallest size that is converted
#ifndef _WIN32                               // Windows refuses names that hold ":"
      {"e\\x:mission.zem", kMission, true},  // the file name begins after the ":"
#endif
  };
  ArchiveBuilder archive;
  int expectedCode = 0;
  for (const Row& row : rows) {
    archive.Entry(row.Name, row.Data);
    if (row.Converted && MissionToText(row.Data.data(), row.Data.size(), SIZE_MAX).ErrorFlag) {
      expectedCode = 3;
    }
  }
  EXPECT_EQ(Extract(archive.Build()), expectedCode);
  for (const Row& row : rows) {
    const Bytes text = ToBytes(MissionToText(row.Data.data(), row.Data.size(), SIZE_MAX).Text);
    std::string onDisk = row.Name;
    onDisk[1] = '/';
    EXPECT_EQ(Extracted(onDisk), row.Converted ? text : row.Data) << row.Name;
  }
}

TEST_F(Extraction, CompressedMissionIsExpandedNotConverted) {
  const Bytes plain = {0x00, 0x72, 0x61, 0x50, 0x04, 0x00, 0x00, 0x00, 0x00, 0x00};
  const Bytes stream = {
      0xFF, 0x00, 0x72, 0x61, 0x50, 0x04, 0x00, 0x00, 0x00,  // eight literals
      0x03, 0x00, 0x00,                                      // two more
      0x27, 0x01, 0x00, 0x00};                               // checksum 0x127
  EXPECT_EQ(Extract(ArchiveBuilder().Entry("MISSION.ZEM", stream, kPacked, 10).Build()), 0);
  EXPECT_EQ(Extracted("MISSION.ZEM"), plain);
}

TEST_F(Extraction, MissionErrorStillWritesTextAndFails) {
  Bytes broken = kMission;
  broken[14] = 0x05;  // first type code unknown
  EXPECT_EQ(Extract(ArchiveBuilder().Entry("mission.zem", broken).Build()), 3);
  const Bytes text = Extracted("mission.zem");
  EXPECT_EQ(std::string(text.begin(), text.end()),
            "Unknown class or property: Mission -0005\r\n");
}

TEST_F(Extraction, LaterDuplicateNameWins) {
  EXPECT_EQ(Extract(ArchiveBuilder().Entry("a.txt", "first").Entry("a.txt", "second").Build()), 0);
  EXPECT_EQ(Extracted("a.txt"), ToBytes("second"));
}

TEST_F(Extraction, NameEndingInSeparatorMakesFolderThenFails) {
  const int code = Extract(ArchiveBuilder().Entry("dir\\", "x").Entry("next.txt", "n").Build());
  EXPECT_EQ(code, 3);
  EXPECT_TRUE(fs::is_directory(Out("dir")));
  EXPECT_EQ(Extracted("next.txt"), ToBytes("n"));
}

TEST_F(Extraction, FileAndFolderOfTheSameNameSecondFails) {
  EXPECT_EQ(Extract(ArchiveBuilder().Entry("a", "file").Entry("a\\b", "inner").Build()), 3);
  EXPECT_EQ(Extracted("a"), ToBytes("file"));
}

// A test run writes nothing, yet fails the same entries as an extraction into a fresh
// folder, also where only the files made before decide it.
TEST_F(Extraction, TestFailsWhereExtractionFails) {
  const std::vector<std::pair<Bytes, std::uint64_t>> archives = {
      {ArchiveBuilder().Entry("dir\\", "x").Entry("next.txt", "n").Build(), 1},
      {ArchiveBuilder().Entry("q\\..", "x").Entry(".", "x").Build(), 2},
      {ArchiveBuilder().Entry("a", "file").Entry("a\\b\\c", "x").Entry("a\\d", "x").Build(), 2},
      {ArchiveBuilder().Entry("a\\b\\c", "x").Entry("a\\b", "file").Entry("a", "f").Build(), 2},
      {ArchiveBuilder().Entry("a\\b", "x").Entry("\\a\\b", "y").Entry("a\\.\\b", "z").Build(), 0},
  };
  const auto failedEntries = [&](bool test) {
    RunState run;
    run.Threads = testing::TestThreads();
    run.InputPath = scratch_ / "Island.pbo";
    run.OutputFolder = scratch_ / "Island/";
    run.TouchNoDisk = test;
    ExtractArchive(run);
    return run.FailedEntries;
  };
  for (const auto& [archive, failed] : archives) {
    WriteFile(scratch_.Path() / "Island.pbo", archive);
    EXPECT_EQ(failedEntries(true), failed);
    EXPECT_FALSE(fs::exists(Out("")));
    EXPECT_EQ(failedEntries(false), failed);
    fs::remove_all(Out(""));
  }
}

TEST_F(Extraction, ReplacesAnExistingFile) {
  WriteFile(Out("a.txt"), "old content");
  EXPECT_EQ(Extract(ArchiveBuilder().Entry("a.txt", "new").Build()), 0);
  EXPECT_EQ(Extracted("a.txt"), ToBytes("new"));
}

TEST_F(Extraction, OutputPathThatCannotBeReplacedFailsOnlyThatEntry) {
  fs::create_directories(Out("taken.txt/inside"));
  EXPECT_EQ(Extract(ArchiveBuilder().Entry("taken.txt", "x").Entry("b.txt", "b").Build()), 3);
  EXPECT_TRUE(fs::is_directory(Out("taken.txt")));
  EXPECT_EQ(Extracted("b.txt"), ToBytes("b"));
}

TEST_F(Extraction, BlockPastTheEndFailsOnlyThatEntry) {
  const Bytes archive = ArchiveBuilder()
                            .Entry("good.txt", "good")
                            .Record("cut.txt", 0, 0, 100, ToBytes("only a few bytes"))
                            .Record("empty.txt", 0, 0, 0, Bytes())  // needs no byte of the archive
                            .Build();
  EXPECT_EQ(Extract(archive), 3);
  EXPECT_EQ(Extracted("good.txt"), ToBytes("good"));
  EXPECT_FALSE(fs::exists(Out("cut.txt")));
  EXPECT_TRUE(fs::is_regular_file(Out("empty.txt")));
}

TEST_F(Extraction, NegativeDataSizeFailsItsEntry) {
  const Bytes archive = ArchiveBuilder()
                            .Record("neg.txt", 0, 0, 0x80000000u, Bytes())
                            .Entry("ok.txt", "x")
                            .Build();
  EXPECT_EQ(Extract(archive), 3);
  EXPECT_FALSE(fs::exists(Out("neg.txt")));
}

TEST_F(Extraction, RefusesOnlyNamesThatLeaveTheOutputFolder) {
  const Bytes archive = ArchiveBuilder()
                            .Entry("..\\escaped.txt", "x")
                            .Entry("a/../../escaped2.txt", "x")
                            .Entry("\\Data\\a.txt", "a")  // joined as text: Island\\Data\a.txt
                            .Entry("/Data/b.txt", "b")
                            .Entry("\\\\c.txt", "c")
                            .Entry("inside\\..x\\fine.txt", "fine")
                            .Entry("x\\..\\up.txt", "up")  // where the joined path resolves
                            .Entry("maps\\island\\..\\.\\lake.txt", "lake")
                            .Build();
  EXPECT_EQ(Extract(archive), 3);
  EXPECT_FALSE(fs::exists(scratch_.Path() / "escaped.txt"));
  EXPECT_FALSE(fs::exists(scratch_.Path().parent_path() / "escaped2.txt"));
  EXPECT_EQ(Extracted("Data/a.txt"), ToBytes("a"));
  EXPECT_EQ(Extracted("Data/b.txt"), ToBytes("b"));
  EXPECT_EQ(Extracted("c.txt"), ToBytes("c"));
  EXPECT_EQ(Extracted("inside/..x/fine.txt"), ToBytes("fine"));
  EXPECT_EQ(Extracted("up.txt"), ToBytes("up"));
  EXPECT_EQ(Extracted("maps/lake.txt"), ToBytes("lake"));
  EXPECT_FALSE(fs::exists(Out("x")));  // no ".." reaches the disk
  EXPECT_FALSE(fs::exists(Out("maps/island")));
  // Nothing but the output folder appeared beside the archive.
  std::size_t count = 0;
  for (const auto& item : fs::directory_iterator(scratch_.Path())) {
    (void)item;
    ++count;
  }
  EXPECT_EQ(count, 2u);
}

#ifndef _WIN32  // links need a privilege on Windows, and Wine only pretends to make them
TEST_F(Extraction, NeverWritesThroughSymbolicLinks) {
  ScratchFolder elsewhere;
  fs::create_directories(Out(""));
  fs::create_directory_symlink(elsewhere.Path(), Out("linked"));
  fs::create_symlink(elsewhere / "target.txt", Out("file-link.txt"));
  const int code = Extract(ArchiveBuilder()
                               .Entry("linked\\a.txt", "x")
                               .Entry("linked\\deeper\\b.txt", "x")
                               .Entry("file-link.txt", "x")
                               .Entry("plain.txt", "ok")
                               .Build());
  EXPECT_EQ(code, 3);
  EXPECT_TRUE(fs::is_empty(elsewhere.Path()));
  EXPECT_EQ(Extracted("plain.txt"), ToBytes("ok"));
}

TEST_F(Extraction, OutputFolderThatIsALinkIsNotFollowed) {
  ScratchFolder elsewhere;
  fs::create_directory_symlink(elsewhere.Path(), scratch_.Path() / "Island");
  EXPECT_EQ(Extract(ArchiveBuilder().Entry("a.txt", "x").Build()), 3);
  EXPECT_TRUE(fs::is_empty(elsewhere.Path()));
}
#endif

TEST_F(Extraction, UnreadableArchiveIsFatal) {
  run_.InputPath = scratch_ / "missing.pbo";
  run_.OutputFolder = scratch_ / "missing/";
  EXPECT_THROW(ExtractArchive(run_), FatalError);
}

TEST_F(Extraction, TruncatedTableIsRefusedBeforeWriting) {
  Bytes archive = ArchiveBuilder().Entry("a.txt", "x").Entry("b.txt", "y").Build();
  archive.resize(30);  // inside the second record
  EXPECT_THROW(Extract(archive), FatalError);
  EXPECT_FALSE(fs::exists(scratch_.Path() / "Island"));
}

}  // namespace
}  // namespace pbo
