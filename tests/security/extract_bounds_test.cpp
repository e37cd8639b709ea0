// Resource bounds of extraction: archives built to cost as much time, memory or disk as
// their format allows, each extracted through ExtractArchive in a child process with a
// deadline. Each must end within seconds, with memory in proportion to the archive and
// output files no larger than the archive justifies, and still write its sound entries.
#include <gtest/gtest.h>
#ifndef _WIN32
#include <sys/stat.h>
#endif

#include <cstdio>
#include <filesystem>
#include <string>

#include "archive/archive.h"
#include "security/bounded_run.h"
#include "support/scratch.h"

namespace pbo {
namespace {

namespace fs = std::filesystem;
using testing::ArchiveBuilder;
using testing::Bytes;
using testing::ReadFile;
using testing::RunBounded;
using testing::ScratchFolder;
using testing::ToBytes;

constexpr std::uint32_t kPacked = ArchiveBuilder::kCompressed;
constexpr std::int64_t kBaseKiB = 64 * 1024;
// All mission text of one run may reach 64 MiB plus 64 bytes per byte of the archive; a
// mission that reaches the limit ends in its line, "Text size limit reached pos: XXXXXXXX".
std::uintmax_t MissionTextBudget(std::size_t archiveSize) { return (64u << 20) + 64 * archiveSize; }
constexpr std::uintmax_t kLimitLineSize = 29 + 8 + 2;

const Bytes kSignature = {0x00, 0x72, 0x61, 0x50, 0x04, 0x00, 0x00, 0x00, 0x00};

// Mission data: the signature, the smallest header (z = 10, one-byte first type code),
// then body.
Bytes Mission(const Bytes& body) {
  Bytes data = kSignature;
  data.insert(data.end(), {0x00,        // byte 9, not examined
                           0x00,        // z: the run at offset 10 is empty
                           0x00, 0x00,  // not examined
                           0x00});      // not 01: the first type code is one byte
  data.insert(data.end(), body.begin(), body.end());
  return data;
}

class ExtractionBounds : public ::testing::Test {
 protected:
  // Extracts archive into <scratch>/Island/ in a child process.
  testing::BoundedRun Extract(const Bytes& archive) {
    archiveSize_ = archive.size();
    testing::WriteFile(scratch_.Path() / "Island.pbo", archive);
    RunState run;
    run.Threads = testing::TestThreads();
    run.InputPath = scratch_ / "Island.pbo";
    run.OutputFolder = scratch_ / "Island/";
    return RunBounded([&run] {
      try {
        ExtractArchive(run);
        return static_cast<int>(run.ResultCode);
      } catch (const FatalError&) {
        return static_cast<int>(kBadCallOrFatal);
      } catch (...) {
        return 100;  // anything else escaping is a fault of its own
      }
    });
  }

  // Ended before RunBounded's deadline (a guard against endless work, not a speed test),
  // and peak memory within the allowance plus perArchiveByte bytes for every byte of the
  // archive, plus extraKiB (not checked where the sanitizers inflate memory).
  void ExpectCheap(const testing::BoundedRun& run, std::int64_t perArchiveByte,
                   std::int64_t extraKiB = 0) const {
    ASSERT_TRUE(run.Ended) << "did not end within the deadline";
    std::printf("[ figures  ] archive %zu bytes: %.2f s, peak %lld KiB above an idle child\n",
                archiveSize_, run.Seconds, static_cast<long long>(run.PeakKiB));
    if (run.PeakKiB >= 0 && !testing::kMemoryInflatedBySanitizer) {
      EXPECT_LT(run.PeakKiB, kBaseKiB + extraKiB +
                                 perArchiveByte * static_cast<std::int64_t>(archiveSize_) / 1024);
    }
  }

  fs::path Out(const std::string& relative) const { return scratch_.Path() / "Island" / relative; }

  ScratchFolder scratch_;
  std::size_t archiveSize_ = 0;
};

TEST_F(ExtractionBounds, HundredThousandEmptyEntriesAllBecomeFiles) {
  ArchiveBuilder archive;
  for (int i = 0; i < 100000; ++i) {
    archive.Entry("d" + std::to_string(i % 100) + "\\e" + std::to_string(i), Bytes(), kPacked);
  }
  const testing::BoundedRun run = Extract(archive.Build());
  EXPECT_EQ(run.ExitCode, 0);
  ExpectCheap(run, 64);
  EXPECT_TRUE(fs::exists(Out("d0/e0")));
  EXPECT_TRUE(fs::exists(Out("d99/e99999")));
  std::size_t files = 0;
  for (const auto& item : fs::recursive_directory_iterator(Out(""))) {
    files += item.is_regular_file();
  }
  EXPECT_EQ(files, 100000u);
}

TEST_F(ExtractionBounds, TenThousandByteNamesFailAloneOnFileNameAndPathLimits) {
  const std::string longPart(10000, 'n');  // beyond any file name limit
  std::string longPath;                    // 40 parts of 249 bytes: beyond any path limit
  for (int i = 0; i < 40; ++i) longPath += std::string(249, static_cast<char>('a' + i % 26)) + "\\";
  longPath += "f";
  const testing::BoundedRun run = Extract(
      ArchiveBuilder().Entry(longPart, "x").Entry(longPath, "y").Entry("sound.txt", "ok").Build());
  EXPECT_EQ(run.ExitCode, 3);
  ExpectCheap(run, 64);
  EXPECT_EQ(ReadFile(Out("sound.txt")), ToBytes("ok"));
}

TEST_F(ExtractionBounds, FiveThousandLevelNameFailsWithoutEndlessClimb) {
  std::string deep;
  for (int i = 0; i < 5000; ++i) deep += "a\\";
  deep += "f.txt";
  const testing::BoundedRun run =
      Extract(ArchiveBuilder().Entry(deep, "deep").Entry("a\\sound.txt", "ok").Build());
  EXPECT_EQ(run.ExitCode, 3);
  ExpectCheap(run, 64);
  EXPECT_EQ(ReadFile(Out("a/sound.txt")), ToBytes("ok"));
}

#ifndef _WIN32  // paths of 3,000 bytes are beyond the byte-string file functions of Windows
TEST_F(ExtractionBounds, ManyFilesInOneDeepFolderCostOneCheckEach) {
  // 1,000 files 1,500 folders down: the folders are checked and made once, not per file.
  std::string deep;
  for (int i = 0; i < 1500; ++i) deep += "a\\";
  ArchiveBuilder archive;
  for (int i = 0; i < 1000; ++i) archive.Entry(deep + "f" + std::to_string(i), Bytes(), kPacked);
  const testing::BoundedRun run = Extract(archive.Entry("sound.txt", "ok").Build());
  EXPECT_EQ(run.ExitCode, 0);
  ExpectCheap(run, 64);
  EXPECT_EQ(ReadFile(Out("sound.txt")), ToBytes("ok"));
}
#endif

TEST_F(ExtractionBounds, MissionsFarLargerAsTextThanAsDataComeOutWhole) {
  // One class of 300 members that all repeat one 1,000-character word: 136 times the data.
  Bytes wide = {0x00,                                // ClassEntry
                0x01, 0x63, 0x00,                    // name: new word 1, "c"
                0x00, 0xAC, 0x02,                    // no base, 300 members
                0x01, 0x00,                          // StringValue
                0x02, 0x6E, 0x61, 0x6D, 0x65, 0x00,  // name: new word 2, "name"
                0x03};                               // value: new word 3 ...
  wide.insert(wide.end(), 1000, 0x77);               // ... 1,000 "w"
  wide.push_back(0x00);
  for (int i = 1; i < 300; ++i) wide.insert(wide.end(), {0x01, 0x00, 0x02, 0x03});
  wide.push_back(0x00);  // the type code that ends the data
  std::string wideText = "class c\r\n{\r\n";
  for (int i = 0; i < 300; ++i) wideText += "\tname=\"" + std::string(1000, 'w') + "\";\r\n";
  wideText += "};\r\n";
  // 3,000 classes each nested in the one before: tabs make the text grow as the square.
  constexpr int kDepth = 3000;
  Bytes deep = {0x00, 0x01, 0x61, 0x00, 0x00, 0x01};  // class, new word 1 "a", one member
  for (int level = 1; level < kDepth; ++level) {
    const std::uint8_t members = level + 1 < kDepth ? 0x01 : 0x00;
    deep.insert(deep.end(), {0x00, 0x01, 0x00, members});  // class, word 1, no base
  }
  deep.push_back(0x00);  // the type code that ends the data
  std::string deepText;
  for (int level = 0; level + 1 < kDepth; ++level) {
    deepText += std::string(level, '\t') + "class a\r\n" + std::string(level, '\t') + "{\r\n";
  }
  deepText += std::string(kDepth - 1, '\t') + "class a {};\r\n";
  for (int level = kDepth - 2; level >= 0; --level) deepText += std::string(level, '\t') + "};\r\n";

  ASSERT_EQ(Mission(wide).size(), 2228u);
  ASSERT_EQ(wideText.size(), 303316u);
  ASSERT_EQ(Mission(deep).size(), 12017u);
  const testing::BoundedRun run = Extract(ArchiveBuilder()
                                              .Entry("wide\\mission.zem", Mission(wide))
                                              .Entry("deep\\mission.zem", Mission(deep))
                                              .Build());
  EXPECT_EQ(run.ExitCode, 0);
  ExpectCheap(run, 64);
  EXPECT_EQ(ReadFile(Out("wide/mission.zem")), ToBytes(wideText));
  EXPECT_EQ(ReadFile(Out("deep/mission.zem")), ToBytes(deepText));
}

TEST_F(ExtractionBounds, HundredThousandNestedClassesStopAtTheRunsTextBudget) {
  // class a { class a { ... } }, 100,000 deep: indentation alone would make gigabytes.
  Bytes body = {0x00,              // ClassEntry
                0x01, 0x61, 0x00,  // name: new word 1, "a"
                0x00, 0x01};       // no base, one member
  for (int i = 1; i < 100000; ++i) {
    body.insert(body.end(), {0x00,          // ClassEntry
                             0x01,          // name: reference to word 1
                             0x00, 0x01});  // no base, one member
  }
  body.push_back(0x00);  // the last class's member would be a class; the data ends instead
  const Bytes mission = Mission(body);
  const testing::BoundedRun run = Extract(
      ArchiveBuilder().Entry("deep\\mission.zem", mission).Entry("sound.txt", "ok").Build());
  EXPECT_EQ(run.ExitCode, 3);  // the text limit ends the conversion as an error
  const std::uintmax_t budget = MissionTextBudget(archiveSize_);
  // The text is held whole, and twice over for a moment while its buffer grows.
  ExpectCheap(run, 4 * 64, 2 * (64 << 10));
  ASSERT_TRUE(fs::exists(Out("deep/mission.zem")));
  // Cut after the last whole line that fits, and no line is as long as 10,000 bytes there.
  EXPECT_LE(fs::file_size(Out("deep/mission.zem")), budget + kLimitLineSize);
  EXPECT_GT(fs::file_size(Out("deep/mission.zem")), budget - 10000);
  const Bytes text = ReadFile(Out("deep/mission.zem"));
  const std::string tail(text.end() - 40, text.end());
  EXPECT_NE(tail.find("Text size limit reached pos: "), std::string::npos) << tail;
  EXPECT_EQ(ReadFile(Out("sound.txt")), ToBytes("ok"));
}

TEST_F(ExtractionBounds, ManySmallMissionsShareOneTextBudget) {
  // Each 4-byte entry repeats a 6,000-byte word, so the text would grow as the square of
  // the data; twenty such missions (9 MB of text each) must write no more than the run's
  // budget: the first whole, the last only the line that reports the limit.
  Bytes body = {0x00,                   // second byte of the first type code 01 00, StringValue
                0x01, 0x6E, 0x00,       // name: new word 1, "n"
                0x02};                  // value: new word 2 ...
  body.insert(body.end(), 6000, 0x77);  // ... 6,000 "w"
  body.push_back(0x00);
  for (int i = 0; i < 1494; ++i) {
    body.insert(body.end(), {0x01, 0x00,    // StringValue
                             0x01, 0x02});  // name word 1, value word 2
  }
  body.push_back(0x00);  // the type code that ends the data
  Bytes mission = Mission(body);
  mission[13] = 0x01;  // the header byte that makes the first type code two bytes long
  ArchiveBuilder archive;
  for (int i = 0; i < 20; ++i) archive.Entry("m" + std::to_string(i) + "\\mission.zem", mission);
  const testing::BoundedRun run = Extract(archive.Build());
  EXPECT_EQ(run.ExitCode, 3);
  ExpectCheap(run, 4 * 64);
  std::uintmax_t written = 0;
  for (const auto& item : fs::recursive_directory_iterator(Out(""))) {
    if (item.is_regular_file()) written += item.file_size();
  }
  const std::uintmax_t budget = MissionTextBudget(archiveSize_);
  EXPECT_LE(written, budget + 20 * kLimitLineSize);
  EXPECT_GT(written, budget - 6007);  // all of it, but for less than one line
  EXPECT_EQ(fs::file_size(Out("m0/mission.zem")), 1495u * 6007);
  EXPECT_EQ(ReadFile(Out("m19/mission.zem")), ToBytes("Text size limit reached pos: 0000000F\r\n"));
}

TEST_F(ExtractionBounds, TwoGigabyteClaimFromAFewBytesCostsWhatTheBytesJustify) {
  // Flag 00, then references of distance 1 and length 18: 2 bytes for 18 zeros.
  Bytes block = {0x00};
  for (int i = 0; i < 8; ++i) block.insert(block.end(), {0x01, 0x0F});
  block.insert(block.end(), {0x00, 0x00, 0x00, 0x00});  // checksum of zeros
  const testing::BoundedRun run = Extract(ArchiveBuilder()
                                              .Entry("huge.bin", block, kPacked, 0x7FFFFFFF)
                                              .Entry("sound.txt", "ok")
                                              .Build());
  EXPECT_EQ(run.ExitCode, 3);
  ExpectCheap(run, 64);
  if (fs::exists(Out("huge.bin"))) {
    EXPECT_LE(fs::file_size(Out("huge.bin")), 9 * block.size());
  }
  EXPECT_EQ(ReadFile(Out("sound.txt")), ToBytes("ok"));
}

TEST_F(ExtractionBounds, CountsOf32767WithNothingAfterThemEndTheConversion) {
  const Bytes classCount = Mission({0x00,                 // ClassEntry
                                    0x01, 0x63, 0x00,     // name: new word 1, "c"
                                    0x00,                 // no base
                                    0xFF, 0xFF});         // 32,767 members, none present
  const Bytes arrayCount = Mission({0x02,                 // ArrayEntry
                                    0x01, 0x6C, 0x00,     // name: new word 1, "l"
                                    0xFF, 0xFF});         // 32,767 elements, none present
  const Bytes nestedCount = Mission({0x02,                // ArrayEntry
                                     0x01, 0x6C, 0x00,    // name: new word 1, "l"
                                     0x01,                // one element
                                     0x03, 0xFF, 0xFF});  // a nested array of 32,767
  const Bytes manyEmptyNested = [] {
    Bytes body = {0x02, 0x01, 0x6C, 0x00,  // ArrayEntry "l"
                  0xFF, 0xFF};             // 32,767 elements, each an empty nested array
    for (int i = 0; i < 32767; ++i) body.insert(body.end(), {0x03, 0x00});
    body.push_back(0x00);  // the type code that ends the data
    return Mission(body);
  }();
  const testing::BoundedRun run = Extract(ArchiveBuilder()
                                              .Entry("class\\mission.zem", classCount)
                                              .Entry("array\\mission.zem", arrayCount)
                                              .Entry("nested\\mission.zem", nestedCount)
                                              .Entry("full\\mission.zem", manyEmptyNested)
                                              .Entry("sound.txt", "ok")
                                              .Build());
  EXPECT_EQ(run.ExitCode, 3);
  ExpectCheap(run, 64);
  for (const char* name : {"class/mission.zem", "array/mission.zem", "nested/mission.zem"}) {
    const Bytes text = ReadFile(Out(name));
    EXPECT_NE(std::string(text.begin(), text.end()).find("Unexpected end of data pos: "),
              std::string::npos)
        << name;
  }
  // The sound one, whole: "l[]={", 32,767 "{}" elements between commas, "};" and CR LF.
  EXPECT_EQ(fs::file_size(Out("full/mission.zem")), 5 + 32767u * 3 - 1 + 2 + 2);
  EXPECT_EQ(ReadFile(Out("sound.txt")), ToBytes("ok"));
}

#ifndef _WIN32  // FIFOs do not exist on Windows
// Something left in the output folder earlier that is neither a file nor a folder.
using HostileOutput = ExtractionBounds;

TEST_F(HostileOutput, FifoLeftAtAnOutputPathFailsItsEntryWithoutWaiting) {
  fs::create_directories(Out("sub"));
  ASSERT_EQ(::mkfifo(Out("sub/pipe.txt").c_str(), 0600), 0);
  const testing::BoundedRun run =
      Extract(ArchiveBuilder().Entry("sub\\pipe.txt", "x").Entry("sub\\sound.txt", "ok").Build());
  ASSERT_TRUE(run.Ended) << "the write waited for a reader of the FIFO";
  EXPECT_EQ(run.ExitCode, 3);
  EXPECT_TRUE(fs::is_fifo(Out("sub/pipe.txt")));
  EXPECT_EQ(ReadFile(Out("sub/sound.txt")), ToBytes("ok"));
}
#endif

}  // namespace
}  // namespace pbo
