// What the rest of the tool relies on from the platform layer, on every system: the same
// cases run against the POSIX and the Windows implementation.
#include "platform/platform.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <thread>

#include "security/bounded_run.h"
#include "support/file_faults.h"
#include "support/links.h"
#include "support/listing_fault.h"
#include "support/scratch.h"

#ifndef _WIN32
#include <sys/resource.h>
#include <sys/stat.h>

#include <csignal>
#endif

namespace pbo {
namespace {

namespace fs = std::filesystem;
using platform::PathKind;
using testing::Bytes;
using testing::ReadFile;
using testing::ScratchFolder;
using testing::ToBytes;
using testing::WriteFile;

std::size_t CountItems(const fs::path& folder) {
  return static_cast<std::size_t>(
      std::distance(fs::directory_iterator(folder), fs::directory_iterator()));
}

#ifdef _WIN32
constexpr bool kWindows = true;
#else
constexpr bool kWindows = false;
#endif

// A folder where writing more than 64 KB fails, as on a full disk, and a way to run a step
// there. POSIX: any folder, the step in a child process whose file size limit is 64 KB.
// Windows: the small memory file system that scripts/windows-test.sh mounts and names in
// PBO_SMALL_FOLDER (none: the test is skipped).
class FullDisk {
 public:
  FullDisk() {
#ifdef _WIN32
    const char* small = std::getenv("PBO_SMALL_FOLDER");
    if (small == nullptr) return;
    folder_ = fs::path(small) / "full-disk";
    fs::remove_all(folder_);
    fs::create_directories(folder_);
#else
    folder_ = scratch_.Path();
#endif
  }
  ~FullDisk() {
#ifdef _WIN32
    std::error_code ignored;
    if (!folder_.empty()) fs::remove_all(folder_, ignored);
#endif
  }
  const fs::path& Folder() const { return folder_; }  // empty: none here
  // Runs step where the disk is full: 0 when it succeeded, 1 when it failed.
  int Run(const std::function<bool()>& step) const {
    return testing::RunBounded(
               [&step] { return SetFileSizeLimit() ? (step() ? 0 : 1) : testing::kChildNotSetUp; })
        .ExitCode;
  }

 private:
  static bool SetFileSizeLimit() {
#ifdef _WIN32
    return true;
#else
    std::signal(SIGXFSZ, SIG_IGN);  // a write past the limit fails instead of ending us
    const rlimit limit{64 * 1024, 64 * 1024};
    return ::setrlimit(RLIMIT_FSIZE, &limit) == 0;
#endif
  }

#ifndef _WIN32
  ScratchFolder scratch_;
#endif
  fs::path folder_;
};

// The arguments as main (POSIX) or wmain (Windows) receives them.
#ifdef _WIN32
using ArgumentChar = wchar_t;
#define ARGUMENT(text) L##text
#else
using ArgumentChar = char;
#define ARGUMENT(text) text
#endif

TEST(Arguments, SkipsTheProgramNameAndEmptyArguments) {
  ArgumentChar program[] = ARGUMENT("pbo");
  ArgumentChar empty[] = ARGUMENT("");
  ArgumentChar modeSwitch[] = ARGUMENT("-x");
  ArgumentChar path[] = ARGUMENT("Island.pbo");
  ArgumentChar* argv[] = {program, empty, modeSwitch, empty, path, empty, nullptr};
  EXPECT_EQ(platform::Arguments(6, argv), (std::vector<std::string>{"-x", "Island.pbo"}));
  EXPECT_TRUE(platform::Arguments(1, argv).empty());
}

TEST(KindOf, TellsFilesFromFoldersAndMissingPaths) {
  ScratchFolder scratch;
  WriteFile(scratch.Path() / "file.txt", "x");
  fs::create_directory(scratch.Path() / "folder");
  EXPECT_EQ(platform::KindOf(scratch / "file.txt"), PathKind::File);
  EXPECT_EQ(platform::KindOf(scratch / "folder"), PathKind::Folder);
  EXPECT_EQ(platform::KindOf(scratch / "missing"), PathKind::Missing);
  EXPECT_EQ(platform::KindOf(""), PathKind::Missing);
  EXPECT_FALSE(platform::IsLink(scratch / "file.txt"));
  EXPECT_FALSE(platform::IsLink(scratch / "folder"));
}

TEST(InputFile, ReadsEveryByteAndReportsFailuresOnOneLine) {
  ScratchFolder scratch;
  Bytes content(100000);
  for (std::size_t i = 0; i < content.size(); ++i) content[i] = static_cast<std::uint8_t>(i * 7);
  WriteFile(scratch.Path() / "data.bin", content);
  WriteFile(scratch.Path() / "empty.bin", "");
  fs::create_directory(scratch.Path() / "folder");

  platform::InputFile file;
  Bytes read(content.size());
  std::string error;
  ASSERT_TRUE(file.Open(scratch / "data.bin", error)) << error;
  EXPECT_EQ(file.Size(), content.size());
  ASSERT_TRUE(file.ReadAt(0, read.data(), read.size(), error)) << error;
  EXPECT_EQ(read, content);
  ASSERT_TRUE(file.Open(scratch / "empty.bin", error)) << error;
  EXPECT_EQ(file.Size(), 0u);
  EXPECT_TRUE(file.ReadAt(0, read.data(), 0, error)) << error;

  for (const char* bad : {"missing.bin", "folder"}) {
    error.clear();
    EXPECT_FALSE(file.Open(scratch / bad, error)) << bad;
    EXPECT_FALSE(error.empty()) << bad;
    EXPECT_EQ(error.find('\n'), std::string::npos) << bad;  // fits the one-line report
  }
}

TEST(WriteWholeFile, CreatesAndReplacesButNeedsItsFolder) {
  ScratchFolder scratch;
  WriteFile(scratch.Path() / "a.txt", "a much longer old content");
  const Bytes content = ToBytes("new");
  std::string error;
  EXPECT_TRUE(platform::WriteWholeFile(scratch / "a.txt", content.data(), content.size(), error))
      << error;
  EXPECT_EQ(ReadFile(scratch.Path() / "a.txt"), content);
  EXPECT_TRUE(platform::WriteWholeFile(scratch / "empty.txt", nullptr, 0, error)) << error;
  EXPECT_EQ(platform::KindOf(scratch / "empty.txt"), PathKind::File);
  EXPECT_EQ(fs::file_size(scratch.Path() / "empty.txt"), 0u);
  EXPECT_FALSE(platform::WriteWholeFile((scratch.Path() / "no" / "b.txt").string(), content.data(),
                                        content.size(), error));
  fs::create_directory(scratch.Path() / "folder");
  error.clear();
  EXPECT_FALSE(platform::WriteWholeFile(scratch / "folder", content.data(), content.size(), error));
  EXPECT_FALSE(error.empty());
  EXPECT_EQ(CountItems(scratch.Path()), 3u);  // a.txt, empty.txt, folder: nothing beside them
}

TEST(WholeFile, ShowsOnlyOnceWholeAndLeavesNothingWhenAbandoned) {
  ScratchFolder scratch;
  WriteFile(scratch.Path() / "old.txt", "old");
  const Bytes piece = ToBytes("piece ");
  std::string error;
  for (const char* name : {"new.txt", "old.txt"}) {
    platform::WholeFile abandoned;
    ASSERT_TRUE(abandoned.Create(scratch / name, error)) << error;
    ASSERT_TRUE(abandoned.Append(piece.data(), piece.size(), error)) << error;
  }
  EXPECT_EQ(CountItems(scratch.Path()), 1u);
  EXPECT_EQ(ReadFile(scratch.Path() / "old.txt"), ToBytes("old"));
  platform::WholeFile file;
  ASSERT_TRUE(file.Create(scratch / "new.txt", error)) << error;
  ASSERT_TRUE(file.Append(piece.data(), piece.size(), error)) << error;
  ASSERT_TRUE(file.Append(piece.data(), 5, error)) << error;
  EXPECT_FALSE(fs::exists(scratch.Path() / "new.txt"));
  ASSERT_TRUE(file.Commit(error)) << error;
  EXPECT_EQ(ReadFile(scratch.Path() / "new.txt"), ToBytes("piece piece"));
  EXPECT_EQ(CountItems(scratch.Path()), 2u);
}

// Rows: the name written and whether the link at f.txt is dangling. On Windows "F.TXT",
// "f.txt." and "f.txt " reach f.txt too; on POSIX they are names of their own.
TEST(WriteWholeFile, NeverWritesThroughALink) {
  const struct {
    const char* name;
    bool dangling;
  } rows[] = {
      {"f.txt", false}, {"F.TXT", false}, {"f.txt.", false}, {"f.txt ", false}, {"f.txt", true}};
  for (const auto& row : rows) {
    ScratchFolder scratch;
    WriteFile(scratch.Path() / "outside" / "victim.txt", "victim");
    fs::create_directory(scratch.Path() / "out");
    const fs::path target =
        scratch.Path() / "outside" / (row.dangling ? "missing.txt" : "victim.txt");
    if (!testing::MakeFileLink(target, scratch.Path() / "out" / "f.txt")) {
      GTEST_SKIP() << "no symbolic link can be made here";
    }
    const std::string path = (scratch.Path() / "out" / row.name).string();
    const bool sameName = kWindows || std::string(row.name) == "f.txt";
    // Wine shows a link to a file as that file, and a dangling one not at all.
    const bool seenAsLink = platform::IsLink((scratch.Path() / "out" / "f.txt").string());
    const Bytes content = ToBytes("entry");
    std::string error;
    const bool written = platform::WriteWholeFile(path, content.data(), content.size(), error);
    EXPECT_EQ(ReadFile(scratch.Path() / "outside" / "victim.txt"), ToBytes("victim")) << row.name;
    EXPECT_EQ(CountItems(scratch.Path() / "outside"), 1u) << row.name;  // no missing.txt
    if (sameName && seenAsLink) {
      EXPECT_FALSE(written) << row.name;
    }
    if (written) {
      EXPECT_EQ(ReadFile(path), content) << row.name;
    } else {
      EXPECT_FALSE(error.empty()) << row.name;
    }
    EXPECT_EQ(CountItems(scratch.Path() / "out"), sameName ? 1u : 2u) << row.name;
  }
}

// Rows: WriteWholeFile over an older file and under a new name, a ReplacementFile of the
// older file.
TEST(FullDisk, FailedWriteLeavesTheOldFileAndNothingBesideIt) {
  const struct {
    const char* name;
    bool replace;
  } rows[] = {{"a.txt", false}, {"b.txt", false}, {"a.txt", true}};
  for (const auto& row : rows) {
    const FullDisk disk;
    if (disk.Folder().empty()) GTEST_SKIP() << "no small file system here";
    const std::string path = (disk.Folder() / row.name).string();
    WriteFile(disk.Folder() / "a.txt", "old");
    const Bytes content(200000, 'x');
    EXPECT_EQ(disk.Run([&] {
      std::string error;
      platform::ReplacementFile file;
      return row.replace
                 ? file.Create(path, error) &&
                       file.WriteAt(0, content.data(), content.size(), error) && file.Commit(error)
                 : platform::WriteWholeFile(path, content.data(), content.size(), error);
    }),
              1)
        << row.name << row.replace;
    EXPECT_EQ(ReadFile(disk.Folder() / "a.txt"), ToBytes("old")) << row.name << row.replace;
    EXPECT_EQ(CountItems(disk.Folder()), 1u) << row.name << row.replace;
  }
}

#ifdef __linux__
// Rows: a WholeFile (as WriteWholeFile writes one) or a ReplacementFile, at a new name or
// over an old file, in its folder or in place (as nobody, the folder read-only); and the
// signal, sent before the first write into the scratch folder or after it.
TEST(StoppedRun, LeavesEveryFileWholeAndEndsAsItsSignalWould) {
  const struct {
    bool replacement;
    bool old;
    bool inPlace;
    int signal;
    int writes;
  } rows[] = {
      {false, false, false, SIGKILL, 0},  // not even a kill leaves a cut file under the name
      {false, true, false, SIGINT, 0},    // Ctrl-C: the shell sees 130
      {true, true, false, SIGTERM, 1},   {true, false, false, SIGHUP, 1},
      {false, true, true, SIGTERM, 1},  // held until the old file is overwritten whole
      {true, true, true, SIGINT, 1},
  };
  for (const auto& row : rows) {
    ScratchFolder scratch;
    const std::string path = scratch / "f.bin";
    const Bytes old(300000, 'o');
    const Bytes content(200000, 'n');  // shorter: a copy cut short leaves old bytes behind
    if (row.old) WriteFile(path, old);
    if (row.inPlace) {
      fs::permissions(scratch.Path(),
                      fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
                      fs::perm_options::remove);
    }
    const testing::ChildEnd end =
        testing::StopAtWrite(scratch.Path(), row.writes, row.signal, row.inPlace, [&] {
          platform::InstallStopHandlers();
          std::string error;
          if (!row.replacement) {
            return platform::WriteWholeFile(path, content.data(), content.size(), error) ? 0 : 1;
          }
          platform::ReplacementFile file;
          return file.Create(path, error) &&
                         file.WriteAt(0, content.data(), content.size(), error) &&
                         file.Commit(error)
                     ? 0
                     : 1;
        });
    const std::string what = std::to_string(row.signal) + (row.inPlace ? " in place" : "");
    EXPECT_EQ(end.Signal, row.signal) << what;
    if (row.old) {
      EXPECT_TRUE(ReadFile(path) == (row.inPlace ? content : old)) << what << ": cut or lost";
    } else {
      EXPECT_FALSE(fs::exists(path)) << what;
    }
    // A kill leaves a temporary name where the file system makes no unnamed files.
    if (row.signal != SIGKILL) {
      EXPECT_EQ(CountItems(scratch.Path()), row.old ? 1u : 0u) << what;
    }
  }
}
#endif

TEST(CreateFolder, CreatesOneLevelOnly) {
  ScratchFolder scratch;
  EXPECT_TRUE(platform::CreateFolder(scratch / "one"));
  EXPECT_EQ(platform::KindOf(scratch / "one"), PathKind::Folder);
  EXPECT_FALSE(platform::CreateFolder(scratch / "one"));  // exists already
  EXPECT_FALSE(platform::CreateFolder((scratch.Path() / "two" / "three").string()));
  EXPECT_FALSE(fs::exists(scratch.Path() / "two"));
}

TEST(ListFolder, ListsEveryNameButDotAndDotDotWithItsKind) {
  ScratchFolder scratch;
  WriteFile(scratch.Path() / "b.txt", "b");
  WriteFile(scratch.Path() / ".hidden", "h");
  WriteFile(scratch.Path() / "Sub Folder" / "inner.txt", "i");
  std::vector<platform::FolderItem> items;
  std::string error;
  ASSERT_EQ(platform::ListFolder(scratch.Path().string(), items, error),
            platform::Listing::Complete)
      << error;
  std::sort(items.begin(), items.end(),
            [](const auto& left, const auto& right) { return left.Name < right.Name; });
  ASSERT_EQ(items.size(), 3u);
  EXPECT_EQ(items[0].Name, ".hidden");
  EXPECT_EQ(items[0].Kind, PathKind::File);
  EXPECT_EQ(items[1].Name, "Sub Folder");
  EXPECT_EQ(items[1].Kind, PathKind::Folder);
  EXPECT_EQ(items[2].Name, "b.txt");
  EXPECT_EQ(items[2].Kind, PathKind::File);
}

TEST(ListFolder, EmptyFolderListsNothingAndMissingOneIsNotStarted) {
  ScratchFolder scratch;
  std::vector<platform::FolderItem> items;
  std::string error;
  EXPECT_EQ(platform::ListFolder(scratch.Path().string(), items, error),
            platform::Listing::Complete);
  EXPECT_TRUE(items.empty());
  EXPECT_EQ(platform::ListFolder(scratch / "missing", items, error), platform::Listing::NotStarted);
  EXPECT_FALSE(error.empty());
  WriteFile(scratch.Path() / "file.txt", "x");
  EXPECT_EQ(platform::ListFolder(scratch / "file.txt", items, error),
            platform::Listing::NotStarted);
  EXPECT_TRUE(items.empty());
}

#ifdef __linux__
TEST(ListFolder, ListingThatFailsPartWayIsBroken) {
  ScratchFolder scratch;
  WriteFile(scratch.Path() / "a.txt", "a");
  WriteFile(scratch.Path() / "b.txt", "b");
  std::vector<platform::FolderItem> items;
  std::string error;
  {
    const testing::ListingFault fault;
    EXPECT_EQ(platform::ListFolder(scratch.Path().string(), items, error),
              platform::Listing::Broken);
  }
  EXPECT_EQ(items.size(), 1u);
  EXPECT_EQ(error, std::strerror(EIO));
}
#endif

TEST(FolderIdentity, SameFolderSameIdentityWhateverThePath) {
  ScratchFolder scratch;
  fs::create_directories(scratch.Path() / "a" / "b");
  fs::create_directory(scratch.Path() / "c");
  const std::string a = platform::FolderIdentity(scratch / "a");
  ASSERT_FALSE(a.empty());
  EXPECT_EQ(platform::FolderIdentity((scratch.Path() / "a" / "b" / "..").string()), a);
  EXPECT_NE(platform::FolderIdentity(scratch / "c"), a);
  EXPECT_NE(platform::FolderIdentity((scratch.Path() / "a" / "b").string()), a);
  EXPECT_EQ(platform::FolderIdentity(scratch / "missing"), "");
}

TEST(AbsolutePath, PrefixesTheCurrentFolder) {
  ScratchFolder scratch;
  WriteFile(scratch.Path() / "file.txt", "x");
  const fs::path previous = fs::current_path();
  fs::current_path(scratch.Path());
  const std::string absolute = platform::AbsolutePath("file.txt");
  fs::current_path(previous);
  EXPECT_TRUE(fs::path(absolute).is_absolute()) << absolute;
  EXPECT_TRUE(fs::equivalent(absolute, scratch.Path() / "file.txt")) << absolute;
}

TEST(InputFile, ReadsAtAnyOffsetFromManyThreadsAndRefusesAFifo) {
  ScratchFolder scratch;
  Bytes content(300000);
  for (std::size_t i = 0; i < content.size(); ++i) content[i] = static_cast<std::uint8_t>(i * 13);
  WriteFile(scratch.Path() / "data.bin", content);

  platform::InputFile file;
  std::string error;
  ASSERT_TRUE(file.Open(scratch / "data.bin", error)) << error;
  // Each thread reads its own pieces; a shared file position would mix them up.
  std::vector<std::thread> readers;
  std::vector<int> mismatches(4, 0);
  for (int t = 0; t < 4; ++t) {
    readers.emplace_back([&, t] {
      std::string readError;
      Bytes piece(1000);
      for (std::size_t offset = t * 1000; offset + 1000 <= content.size(); offset += 4000) {
        if (!file.ReadAt(offset, piece.data(), piece.size(), readError) ||
            !std::equal(piece.begin(), piece.end(), content.begin() + offset)) {
          ++mismatches[t];
        }
      }
    });
  }
  for (auto& reader : readers) reader.join();
  EXPECT_EQ(mismatches, std::vector<int>(4, 0));
  Bytes tail(10);
  EXPECT_FALSE(file.ReadAt(content.size() - 5, tail.data(), tail.size(), error));
  EXPECT_FALSE(error.empty());
#ifndef _WIN32
  ASSERT_EQ(::mkfifo((scratch / "fifo").c_str(), 0600), 0);
  EXPECT_FALSE(file.Open(scratch / "fifo", error));  // at once: no writer is waited for
#endif
}

class ReplacementFile : public ::testing::Test {
 protected:
  // Replaces the target with first and second, written in that order.
  bool Replace(const std::string& first, const std::string& second, std::string& error) {
    platform::ReplacementFile file;
    return file.Create(Target(), error) &&
           file.WriteAt(0, reinterpret_cast<const std::uint8_t*>(first.data()), first.size(),
                        error) &&
           file.WriteAt(first.size(), reinterpret_cast<const std::uint8_t*>(second.data()),
                        second.size(), error) &&
           file.Commit(error);
  }
  std::string Target() const { return scratch_ / "Island.pbo"; }

  ScratchFolder scratch_;
};

TEST_F(ReplacementFile, WritesAtAnyOffsetAndTouchesNothingUntilCommit) {
  const ScratchFolder& scratch = scratch_;
  const std::string target = Target();
  WriteFile(target, "old");
  const Bytes head = ToBytes("header ");
  const Bytes data = ToBytes("data");
  std::string error;
  {
    platform::ReplacementFile abandoned;
    ASSERT_TRUE(abandoned.Create(target, error)) << error;
    ASSERT_TRUE(abandoned.WriteAt(0, head.data(), head.size(), error)) << error;
  }  // destroyed without Commit
  EXPECT_EQ(ReadFile(target), ToBytes("old"));
  EXPECT_EQ(CountItems(scratch.Path()), 1u);

  platform::ReplacementFile file;
  ASSERT_TRUE(file.Create(target, error)) << error;
  ASSERT_TRUE(file.WriteAt(head.size(), data.data(), data.size(), error)) << error;
  ASSERT_TRUE(file.WriteAt(0, head.data(), head.size(), error)) << error;
  EXPECT_EQ(ReadFile(target), ToBytes("old"));
  ASSERT_TRUE(file.Commit(error)) << error;
  EXPECT_EQ(ReadFile(target), ToBytes("header data"));
  EXPECT_EQ(CountItems(scratch.Path()), 1u);
}

TEST_F(ReplacementFile, WritesThePiecesInOrderAndLeavesNothingElse) {
  std::string error;
  ASSERT_TRUE(Replace("header ", "data", error)) << error;
  EXPECT_EQ(ReadFile(Target()), ToBytes("header data"));
  WriteFile(Target(), "an old and longer archive");
  ASSERT_TRUE(Replace("new", "", error)) << error;
  EXPECT_EQ(ReadFile(Target()), ToBytes("new"));
  EXPECT_EQ(CountItems(scratch_.Path()), 1u);
}

TEST_F(ReplacementFile, ReadOnlyTargetFailsAndStaysAsItWas) {
  WriteFile(Target(), "old");
  fs::permissions(Target(), fs::perms::owner_read | fs::perms::group_read);
  // 0: replaced; 1: refused without a reason; 2: refused with one.
  EXPECT_EQ(testing::RunUnprivileged(scratch_.Path(),
                                     [this] {
                                       std::string error;
                                       return Replace("new", "", error) ? 0 : 1 + !error.empty();
                                     }),
            2);
  EXPECT_EQ(ReadFile(Target()), ToBytes("old"));
  EXPECT_EQ(CountItems(scratch_.Path()), 1u);
  fs::permissions(Target(), fs::perms::owner_write, fs::perm_options::add);  // for cleanup
}

#ifndef _WIN32  // Wine run as root writes any folder
TEST_F(ReplacementFile, FolderThatMayNotBeWrittenTakesTheFileInPlace) {
  WriteFile(Target(), "an old and longer archive");
  fs::permissions(Target(), fs::perms::all);
  const fs::perms readOnly = fs::perms::owner_read | fs::perms::owner_exec | fs::perms::group_read |
                             fs::perms::group_exec | fs::perms::others_read |
                             fs::perms::others_exec;
  // A second name, in a folder of its own: in place, the bytes would reach it too.
  const fs::path second = scratch_.Path() / "other" / "second.pbo";
  fs::create_directory(second.parent_path());
  fs::create_hard_link(Target(), second);
  fs::permissions(second.parent_path(), fs::perms::all);
  fs::permissions(scratch_.Path(), readOnly);
  // In place, the content is gathered in the system's temporary folder first: one that the
  // user may write, not whatever $TMPDIR the suite was given.
  const char* temporaryFolder = std::getenv("TMPDIR");
  const std::string previousTemporary = temporaryFolder != nullptr ? temporaryFolder : "";
  ::setenv("TMPDIR", second.parent_path().c_str(), 1);
  EXPECT_EQ(testing::RunUnprivileged(
                scratch_.Path(),
                [this, &second] {
                  std::string error;
                  if (Replace("new", " content", error)) return 5;
                  if (!fs::remove(second)) return 6;
                  if (!Replace("new", " content", error)) return 1;
                  // No room for what follows: it fails before the
                  // first old byte is overwritten, in place too.
                  std::signal(SIGXFSZ, SIG_IGN);
                  const rlimit limit{64 * 1024, 64 * 1024};
                  if (::setrlimit(RLIMIT_FSIZE, &limit) != 0) return 2;
                  const std::string big(100 * 1024, 'x');
                  const auto* bytes = reinterpret_cast<const std::uint8_t*>(big.data());
                  if (Replace(big, "", error)) return 3;
                  if (platform::WriteWholeFile(Target(), bytes, big.size(), error)) {
                    return 4;
                  }
                  return 0;
                }),
            0);
  if (temporaryFolder != nullptr) {
    ::setenv("TMPDIR", previousTemporary.c_str(), 1);
  } else {
    ::unsetenv("TMPDIR");
  }
  fs::permissions(scratch_.Path(), fs::perms::owner_all, fs::perm_options::add);
  EXPECT_EQ(ReadFile(Target()), ToBytes("new content"));
  EXPECT_EQ(CountItems(scratch_.Path()), 2u);  // the archive and the folder of its second name
}
#endif

TEST_F(ReplacementFile, FolderInTheWayFailsAndLeavesNoTemporaryFile) {
  WriteFile(scratch_.Path() / "Island.pbo" / "keep.txt", "keep");
  std::string error;
  EXPECT_FALSE(Replace("new", "", error));
  EXPECT_FALSE(error.empty());
  EXPECT_EQ(ReadFile(scratch_.Path() / "Island.pbo" / "keep.txt"), ToBytes("keep"));
  EXPECT_EQ(CountItems(scratch_.Path()), 1u);
}

}  // namespace
}  // namespace pbo
