// Archive mode: the folder scan and the archive written from it.
#include <gtest/gtest.h>
#ifndef _WIN32
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <filesystem>
#include <map>

#include "archive/archive.h"
#include "archive/create.h"
#include "archive/scan.h"
#include "security/bounded_run.h"
#include "support/listing_fault.h"
#include "support/scratch.h"

namespace pbo {
namespace {

namespace fs = std::filesystem;
using testing::Bytes;
using testing::ReadFile;
using testing::ScratchFolder;
using testing::ToBytes;
using testing::WriteFile;

TEST(ComesBefore, FoldsLetterCaseThenBreaksTiesByRawBytes) {
  EXPECT_TRUE(ComesBefore("a", "B"));
  EXPECT_FALSE(ComesBefore("B", "a"));
  EXPECT_TRUE(ComesBefore("B", "b"));   // same when folded: raw bytes decide
  EXPECT_TRUE(ComesBefore("a", "_"));   // 'A' (41) sorts before '_' (5F)
  EXPECT_TRUE(ComesBefore("Z", "_"));
  EXPECT_TRUE(ComesBefore("ab", "abc"));
  EXPECT_TRUE(ComesBefore("z", "\xE9"));  // bytes above 7F sort last, unsigned
  EXPECT_FALSE(ComesBefore("same", "same"));
}

TEST(IsStoredByExtension, StoresOnlyTheFourMediaExtensions) {
  for (const char* stored : {"intro.ogg", "Intro.Ogg", "INTRO.OGG", "a.bin", "b.WSS", "c.jpg",
                             "x.y.jpg"}) {
    EXPECT_TRUE(IsStoredByExtension(stored)) << stored;
  }
  for (const char* packed : {"intro.ogg.txt", "photo.jpeg", "data.bin2", "readme", "ogg",
                             ".ogg.x"}) {
    EXPECT_FALSE(IsStoredByExtension(packed)) << packed;
  }
}

class ArchiveMode : public ::testing::Test {
 protected:
  ArchiveMode() { run_.Threads = testing::TestThreads(); }

  // Packs <scratch>/Island into <scratch>/Island.pbo.
  int Pack() {
    run_.SourceFolder = scratch_ / "Island";
    run_.OutputArchive = run_.SourceFolder + ".pbo";
    CreateArchive(run_);
    return run_.ResultCode;
  }
  fs::path Source(const std::string& relative) const {
    return scratch_.Path() / "Island" / relative;
  }
  Bytes Packed() const { return ReadFile(scratch_.Path() / "Island.pbo"); }
  // Extracts <scratch>/Island.pbo into <scratch>/Out/ and returns the result code.
  int ExtractPacked() const {
    RunState extract;
    extract.Threads = testing::TestThreads();
    extract.InputPath = scratch_ / "Island.pbo";
    extract.OutputFolder = scratch_ / "Out/";
    ExtractArchive(extract);
    return extract.ResultCode;
  }
  std::vector<std::string> Names() const {
    std::vector<std::string> names;
    for (const auto& record : run_.EntryTable) names.push_back(record.RelativeName);
    return names;
  }

  ScratchFolder scratch_;
  RunState run_;
};

TEST_F(ArchiveMode, ScanSortsEachFolderAndSkipsDotNames) {
  WriteFile(Source("b.txt"), "b");
  WriteFile(Source("A.txt"), "a");
  WriteFile(Source(".gitignore"), "x");
  WriteFile(Source(".svn/entries"), "x");
  WriteFile(Source("x.y/a.b"), "x");
  WriteFile(Source("maps/island/c.OGG"), "c");
  WriteFile(Source("readme"), "r");
  run_.SourceFolder = scratch_ / "Island";
  ScanSourceFolder(run_, "");
  EXPECT_EQ(Names(), (std::vector<std::string>{"A.txt", "b.txt", "maps\\island\\c.OGG",
                                                "readme", "x.y\\a.b"}));
#ifdef _WIN32
  EXPECT_EQ(run_.EntryTable[2].FullPath, run_.SourceFolder + "\\maps\\island\\c.OGG");
#else
  EXPECT_EQ(run_.EntryTable[2].FullPath, run_.SourceFolder + "/maps/island/c.OGG");
#endif
  EXPECT_EQ(run_.EntryTable[2].PackingMethod, 0u);
  EXPECT_EQ(run_.EntryTable[3].PackingMethod, kCompressedMethod);
}

#ifndef _WIN32  // symbolic links need a privilege on Windows; fifos do not exist there
TEST_F(ArchiveMode, ScanWalksLinksButNotCyclesAndSkipsSpecialFiles) {
  WriteFile(Source("real/f.txt"), "f");
  fs::create_directory_symlink(Source("real"), Source("alias"));
  fs::create_directory_symlink(scratch_.Path() / "Island", Source("real/loop"));
  fs::create_symlink(Source("real/f.txt"), Source("file-link.txt"));
  ASSERT_EQ(::mkfifo(Source("fifo").c_str(), 0600), 0);
  // Folders nested past the longest path the system takes, made level by level from the
  // folder above: the ones too deep cannot be listed and add nothing, not even a file.
  const std::string level(200, 'd');
  std::vector<int> levels{::open(Source("real").c_str(), O_RDONLY | O_DIRECTORY)};
  for (int depth = 0; depth < 24; ++depth) {
    ASSERT_EQ(::mkdirat(levels.back(), level.c_str(), 0700), 0);
    levels.push_back(::openat(levels.back(), level.c_str(), O_RDONLY | O_DIRECTORY));
  }
  run_.SourceFolder = scratch_ / "Island";
  ScanSourceFolder(run_, "");
  const std::vector<std::string> names = Names();
  for (std::size_t depth = levels.size() - 1; depth > 0; --depth) {
    ::close(levels[depth]);
    ::unlinkat(levels[depth - 1], level.c_str(), AT_REMOVEDIR);
  }
  ::close(levels[0]);
  EXPECT_EQ(names, (std::vector<std::string>{"alias\\f.txt", "file-link.txt", "real\\f.txt"}));
}
#endif

TEST_F(ArchiveMode, WritesTheTwoFileArchiveByteForByte) {
  WriteFile(Source("a.txt"), std::string(20, 'a'));
  WriteFile(Source("b.ogg"), "xyz");
  EXPECT_EQ(Pack(), 0);
  const Bytes expected = {
      0x61, 0x2E, 0x74, 0x78, 0x74, 0x00, 0x73, 0x72, 0x70, 0x43,  // a.txt, compressed
      0x14, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,              // original 20, reserved
      0x00, 0x00, 0x00, 0x00, 0x09, 0x00, 0x00, 0x00,              // time stamp, data 9
      0x62, 0x2E, 0x6F, 0x67, 0x67, 0x00, 0x00, 0x00, 0x00, 0x00,  // b.ogg, stored
      0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
      0x00, 0x00, 0x00, 0x00, 0x03, 0x00, 0x00, 0x00,              // data 3
      0x00, 0x73, 0x72, 0x70, 0x43, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
      0x05, 0x61, 0x01, 0x0F, 0x61, 0x94, 0x07, 0x00, 0x00,  // stream of a.txt
      0x78, 0x79, 0x7A};                                     // b.ogg
  EXPECT_EQ(Packed(), expected);
}

TEST_F(ArchiveMode, EmptyFilesGetEmptyRecords) {
  WriteFile(Source("empty.txt"), "");
  EXPECT_EQ(Pack(), 0);
  Bytes expected = {0x65, 0x6D, 0x70, 0x74, 0x79, 0x2E, 0x74, 0x78, 0x74, 0x00,
                    0x73, 0x72, 0x70, 0x43};
  expected.resize(expected.size() + 16, 0);
  expected.insert(expected.end(), {0x00, 0x73, 0x72, 0x70, 0x43});
  expected.resize(expected.size() + 16, 0);
  EXPECT_EQ(Packed(), expected);
  EXPECT_EQ(Packed().size(), 51u);

  fs::remove(Source("empty.txt"));
  WriteFile(Source("x.jpg"), "");
  EXPECT_EQ(Pack(), 0);
  const Bytes stored = Packed();
  ASSERT_EQ(stored.size(), 6u + 20 + 21);
  EXPECT_EQ(Bytes(stored.begin() + 6, stored.begin() + 26), Bytes(20, 0));
}

TEST_F(ArchiveMode, EmptyFolderWritesNothingAndKeepsTheOldArchive) {
  fs::create_directories(Source("only/empty/folders"));
  WriteFile(Source(".hidden"), "x");
  WriteFile(scratch_.Path() / "Island.pbo", "old archive");
  EXPECT_EQ(Pack(), 0);
  EXPECT_EQ(Packed(), ToBytes("old archive"));
}

TEST_F(ArchiveMode, ReplacesTheOldArchiveAndLeavesNoTemporaryFile) {
  WriteFile(Source("a.txt"), "new");
  WriteFile(scratch_.Path() / "Island.pbo", "old archive");
  EXPECT_EQ(Pack(), 0);
  EXPECT_NE(Packed(), ToBytes("old archive"));
  std::size_t count = 0;
  for (const auto& item : fs::directory_iterator(scratch_.Path())) {
    (void)item;
    ++count;
  }
  EXPECT_EQ(count, 2u);  // Island and Island.pbo
}

TEST_F(ArchiveMode, ArchivePathThatIsAFolderGivesTwoAndNoLeftovers) {
  WriteFile(Source("a.txt"), "a");
  WriteFile(scratch_.Path() / "Island.pbo" / "keep.txt", "keep");
  EXPECT_EQ(Pack(), 2);
  EXPECT_EQ(ReadFile(scratch_.Path() / "Island.pbo" / "keep.txt"), ToBytes("keep"));
  std::size_t count = 0;
  for (const auto& item : fs::directory_iterator(scratch_.Path())) {
    (void)item;
    ++count;
  }
  EXPECT_EQ(count, 2u);
}

TEST_F(ArchiveMode, ReadOnlyArchiveStaysUnchanged) {
  WriteFile(Source("a.txt"), "a");
  WriteFile(scratch_.Path() / "Island.pbo", "old");
  fs::permissions(scratch_.Path() / "Island.pbo", fs::perms::owner_read);
  EXPECT_EQ(Pack(), 2);  // whoever runs it, root included
  EXPECT_EQ(testing::RunUnprivileged(scratch_.Path(), [this] { return Pack(); }), 2);
  EXPECT_EQ(Packed(), ToBytes("old"));
  // Windows removes no read-only file, so the scratch folder's cleanup needs it writable.
  fs::permissions(scratch_.Path() / "Island.pbo", fs::perms::owner_write, fs::perm_options::add);
}

#ifndef _WIN32  // a dangling link and the POSIX error text; cli_windows_test has a locked file
TEST_F(ArchiveMode, UnopenableSourceIsFatalWithAbsolutePath) {
  WriteFile(Source("a.txt"), "a");
  fs::create_symlink(Source("gone.txt"), Source("dangling.txt"));
  WriteFile(scratch_.Path() / "Island.pbo", "old");
  try {
    Pack();
    FAIL() << "expected a fatal error";
  } catch (const FatalError& error) {
    EXPECT_EQ(std::string(error.what()),
              "Cannot open file \"" + Source("dangling.txt").string() +
                  "\". No such file or directory");
  }
  EXPECT_EQ(Packed(), ToBytes("old"));
}
#endif

#ifdef __linux__  // the fault is made in the C library's readdir
TEST_F(ArchiveMode, ListingThatFailsPartWayIsFatalAndKeepsTheOldArchive) {
  WriteFile(Source("a.txt"), "a");
  WriteFile(Source("b.txt"), "b");
  WriteFile(scratch_.Path() / "Island.pbo", "old");
  const testing::ListingFault fault;
  try {
    Pack();
    FAIL() << "expected a fatal error";
  } catch (const FatalError& error) {
    EXPECT_EQ(std::string(error.what()), "Cannot list folder \"" + scratch_.Path().string() +
                                             "/Island\". Input/output error");
  }
  EXPECT_EQ(Packed(), ToBytes("old"));
}
#endif

TEST_F(ArchiveMode, RefusesEntriesWhoseSizesDoNotFitTheirFields) {
  // The bound lowered from 2^31 - 1 to 100 bytes, so that no test needs 2 GiB files.
  constexpr std::uint64_t kLargest = 100;
  // Distinct bytes hold no match: a stream of n such bytes takes n + n / 8 rounded up + 4.
  Bytes distinct85(85);
  Bytes distinct95(95);
  for (std::size_t i = 0; i < distinct95.size(); ++i) {
    if (i < distinct85.size()) distinct85[i] = static_cast<std::uint8_t>(i * 3);
    distinct95[i] = static_cast<std::uint8_t>(i * 2 + 1);
  }
  struct Row {
    std::string Name;
    Bytes Content;
    bool Fits;
  };
  const Row rows[] = {
      {"stored.ogg", Bytes(100, 's'), true},   // stored, exactly the bound
      {"packed.txt", distinct85, true},        // a stream of exactly the bound
      {"stored.jpg", Bytes(101, 's'), false},  // stored, one byte over
      {"grows.txt", distinct95, false},        // 95 bytes whose stream takes 111
      {"long.txt", Bytes(101, 'a'), false},    // a short stream, but too long a file
  };
  for (const Row& row : rows) {
    fs::remove_all(Source(""));
    WriteFile(Source("a.txt"), "a");
    WriteFile(Source(row.Name), row.Content);
    WriteFile(scratch_.Path() / "Island.pbo", "old");
    run_.SourceFolder = scratch_ / "Island";
    run_.OutputArchive = run_.SourceFolder + ".pbo";
    try {
      CreateArchiveWithin(run_, kLargest);
      EXPECT_TRUE(row.Fits) << row.Name;
      EXPECT_EQ(run_.ResultCode, 0);
      EXPECT_NE(Packed(), ToBytes("old")) << row.Name;
    } catch (const FatalError& error) {
      EXPECT_FALSE(row.Fits) << row.Name;
      EXPECT_NE(std::string(error.what()).find(row.Name), std::string::npos) << error.what();
      EXPECT_EQ(Packed(), ToBytes("old")) << row.Name;
    }
  }
}

TEST_F(ArchiveMode, PackedTreeExtractsToTheSameFiles) {
  std::mt19937 random(7);
  std::map<std::string, Bytes> files;
  const char* names[] = {"config.cpp", "sound/intro.ogg", "maps/island/height.bin",
                         "maps/island/notes.txt", "readme", "textures/a.jpg", "data/zeros.dat"};
  for (std::size_t i = 0; i < std::size(names); ++i) {
    Bytes content;
    const std::size_t size = 1 + random() % 20000;
    for (std::size_t j = 0; j < size; ++j) {
      // Text-like, with repeats, so that references are exercised.
      content.push_back(static_cast<std::uint8_t>(i % 2 ? "abcdefgh ij\r\n"[random() % 13]
                                                         : random() % 256));
    }
    files[names[i]] = content;
  }
  files["data/zeros.dat"] = Bytes(5000, 0);
  for (const auto& [name, content] : files) WriteFile(Source(name), content);
  ASSERT_EQ(Pack(), 0);

  EXPECT_EQ(ExtractPacked(), 0);
  for (const auto& [name, content] : files) {
    EXPECT_EQ(ReadFile(scratch_.Path() / "Out" / name), content) << name;
  }
}

TEST_F(ArchiveMode, LeadingSpacesWithCopiedZerosComeBackIntact) {
  // The stream refers into the spaces kept before the data and also copies a genuine zero
  // byte: the count of zeros cannot tell the two kinds apart, reading the spaces can.
  Bytes content = ToBytes("    ");
  content.insert(content.end(), 8, 0);
  WriteFile(Source("spaces.txt"), content);
  ASSERT_EQ(Pack(), 0);
  EXPECT_EQ(ExtractPacked(), 0);
  EXPECT_EQ(ReadFile(scratch_.Path() / "Out" / "spaces.txt"), content);
}

}  // namespace
}  // namespace pbo
