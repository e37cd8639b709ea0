// What the rest of the tool relies on from the platform layer, on every system: the same
// cases run against the POSIX and the Windows implementation.
#include "platform/platform.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "security/bounded_run.h"
#include "support/scratch.h"

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

TEST(Arguments, SkipsTheProgramNameAndEmptyArguments) {
  char program[] = "pbo";
  char empty[] = "";
  char modeSwitch[] = "-x";
  char path[] = "Island.pbo";
  char* argv[] = {program, empty, modeSwitch, empty, path, empty, nullptr};
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

TEST(ReadWholeFile, ReadsEveryByteAndReportsFailures) {
  ScratchFolder scratch;
  Bytes content(100000);
  for (std::size_t i = 0; i < content.size(); ++i) content[i] = static_cast<std::uint8_t>(i * 7);
  WriteFile(scratch.Path() / "data.bin", content);
  WriteFile(scratch.Path() / "empty.bin", "");
  fs::create_directory(scratch.Path() / "folder");

  Bytes read;
  std::string error;
  ASSERT_TRUE(platform::ReadWholeFile(scratch / "data.bin", read, error)) << error;
  EXPECT_EQ(read, content);
  EXPECT_EQ(platform::FileSize(scratch / "data.bin"), 100000);
  ASSERT_TRUE(platform::ReadWholeFile(scratch / "empty.bin", read, error)) << error;
  EXPECT_TRUE(read.empty());

  for (const char* bad : {"missing.bin", "folder"}) {
    error.clear();
    EXPECT_FALSE(platform::ReadWholeFile(scratch / bad, read, error)) << bad;
    EXPECT_FALSE(error.empty()) << bad;
    EXPECT_EQ(error.find('\n'), std::string::npos) << bad;  // fits the one-line report
  }
  EXPECT_EQ(platform::FileSize(scratch / "missing.bin"), -1);
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
  EXPECT_EQ(platform::FileSize(scratch / "empty.txt"), 0);
  EXPECT_FALSE(platform::WriteWholeFile((scratch.Path() / "no" / "b.txt").string(), content.data(),
                                        content.size(), error));
  fs::create_directory(scratch.Path() / "folder");
  error.clear();
  EXPECT_FALSE(platform::WriteWholeFile(scratch / "folder", content.data(), content.size(), error));
  EXPECT_FALSE(error.empty());
  EXPECT_EQ(CountItems(scratch.Path()), 3u);  // a.txt, empty.txt, folder: nothing beside them
}

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

class ReplaceFileAtomically : public ::testing::Test {
 protected:
  bool Replace(const std::string& first, const std::string& second, std::string& error) {
    const platform::ByteRange pieces[] = {
        {reinterpret_cast<const std::uint8_t*>(first.data()), first.size()},
        {reinterpret_cast<const std::uint8_t*>(second.data()), second.size()}};
    return platform::ReplaceFileAtomically(Target(), pieces, 2, error);
  }
  std::string Target() const { return scratch_ / "Island.pbo"; }

  ScratchFolder scratch_;
};

TEST_F(ReplaceFileAtomically, WritesThePiecesInOrderAndLeavesNothingElse) {
  std::string error;
  ASSERT_TRUE(Replace("header ", "data", error)) << error;
  EXPECT_EQ(ReadFile(Target()), ToBytes("header data"));
  WriteFile(Target(), "an old and longer archive");
  ASSERT_TRUE(Replace("new", "", error)) << error;
  EXPECT_EQ(ReadFile(Target()), ToBytes("new"));
  EXPECT_EQ(CountItems(scratch_.Path()), 1u);
}

TEST_F(ReplaceFileAtomically, ReadOnlyTargetFailsAndStaysAsItWas) {
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

TEST_F(ReplaceFileAtomically, FolderInTheWayFailsAndLeavesNoTemporaryFile) {
  WriteFile(scratch_.Path() / "Island.pbo" / "keep.txt", "keep");
  std::string error;
  EXPECT_FALSE(Replace("new", "", error));
  EXPECT_FALSE(error.empty());
  EXPECT_EQ(ReadFile(scratch_.Path() / "Island.pbo" / "keep.txt"), ToBytes("keep"));
  EXPECT_EQ(CountItems(scratch_.Path()), 1u);
}

}  // namespace
}  // namespace pbo
