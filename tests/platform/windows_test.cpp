// Rules of the Windows platform layer that have no POSIX counterpart: drive letters, the
// names Windows keeps for devices and streams, the sharing rule of a read, reparse points.
#include <gtest/gtest.h>

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <algorithm>
#include <filesystem>

#include "platform/platform.h"
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

// Owns a handle the test opens to stand in for another process.
class HeldFile {
 public:
  HeldFile(const std::string& path, DWORD access, DWORD sharing)
      : handle_(CreateFileA(path.c_str(), access, sharing, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr)) {}
  ~HeldFile() {
    if (Valid()) CloseHandle(handle_);
  }
  HeldFile(const HeldFile&) = delete;
  HeldFile& operator=(const HeldFile&) = delete;
  bool Valid() const { return handle_ != INVALID_HANDLE_VALUE; }

 private:
  HANDLE handle_;
};

TEST(FolderPartLength, EndsAtTheLastBackslashColonOrSlash) {
  EXPECT_EQ(platform::FolderPartLength("D:\\Data\\Island.pbo"), 8u);
  EXPECT_EQ(platform::FolderPartLength("D:Island.pbo"), 2u);
  EXPECT_EQ(platform::FolderPartLength("Island.pbo"), 0u);
  EXPECT_EQ(platform::FolderPartLength("D:"), 2u);
  EXPECT_EQ(platform::FolderPartLength("D:\\"), 3u);
  EXPECT_EQ(platform::FolderPartLength("D:/Data/Island"), 8u);
  EXPECT_EQ(platform::FolderPartLength("\\\\server\\share\\x.pbo"), 15u);
  for (char c : {'\\', ':', '/'}) EXPECT_TRUE(platform::EndsFolderPart(c)) << c;
  for (char c : {'a', '.', ' ', '*'}) EXPECT_FALSE(platform::EndsFolderPart(c)) << c;
}

TEST(IsSafeNamePart, RefusesDrivesAndStreams) {
  for (const char* part : {"C:", "D:evil.txt", "notes.txt:hidden", "a.txt::$DATA", ":"}) {
    EXPECT_FALSE(platform::IsSafeNamePart(part)) << part;
  }
  EXPECT_FALSE(platform::IsSafeNamePart("a/../../b"));  // "/" separates too
}

TEST(IsSafeNamePart, RefusesReservedDeviceNamesInAnyForm) {
  for (const char* part :
       {"CON",         "Con",   "con",      "PRN",       "AUX",     "NUL",        "nul.txt",
        "com1.tar.gz", "aux ",  "NUL .txt", "COM1",      "COM9",    "com0",       "LPT1",
        "lpt9.log",    "Lpt5.", "CONIN$",   "conout$.x", "COM\xB9", "lpt\xB3.txt"}) {
    EXPECT_FALSE(platform::IsSafeNamePart(part)) << part;
  }
}

TEST(IsSafeNamePart, AcceptsNamesThatOnlyLookLikeDevices) {
  for (const char* part :
       {"console", "CONFIG.cpp", "com10", "COM", "lpt", "nul_", "auxiliary.txt", "comx", "x.con",
        " nul", "my con.txt", "", ".", "..x", "a b", ".gitignore", "readme."}) {
    EXPECT_TRUE(platform::IsSafeNamePart(part)) << part;
  }
}

TEST(IsSafeNamePart, RefusesPartsOfOnlyDotsAndSpaces) {
  // Windows drops trailing dots and spaces, so these could turn into ".." or vanish.
  for (const char* part : {"...", ". .", ".. ", " ", "  ", "....."}) {
    EXPECT_FALSE(platform::IsSafeNamePart(part)) << "[" << part << "]";
  }
}

TEST(KindOf, DriveAndItsRootAreFolders) {
  ScratchFolder scratch;
  const std::string drive = scratch.Path().string().substr(0, 2);  // such as "C:"
  ASSERT_EQ(drive[1], ':');
  EXPECT_EQ(platform::KindOf(drive), PathKind::Folder);
  EXPECT_EQ(platform::KindOf(drive + "\\"), PathKind::Folder);
  EXPECT_EQ(platform::KindOf(scratch / "missing\\deeper"), PathKind::Missing);
}

TEST(CreateFolder, LeavesRoomForAShortNameAsWindowsDoes) {
  ScratchFolder scratch;
  std::string path = scratch.Path().string() + "\\";
  path += std::string(MAX_PATH - 13 - path.size(), 'a');  // 247 characters
  EXPECT_TRUE(platform::CreateFolder(path));
  EXPECT_FALSE(platform::CreateFolder(path + "\\b"));  // Wine would make it, and not list it
}

TEST(ReadWholeFile, OthersMayReadMeanwhileButNotWrite) {
  ScratchFolder scratch;
  WriteFile(scratch.Path() / "a.pbo", "content");
  Bytes read;
  std::string error;
  {
    HeldFile reader(scratch / "a.pbo", GENERIC_READ, FILE_SHARE_READ);
    ASSERT_TRUE(reader.Valid());
    EXPECT_TRUE(platform::ReadWholeFile(scratch / "a.pbo", read, error)) << error;
    EXPECT_EQ(read, ToBytes("content"));
  }
  {
    HeldFile writer(scratch / "a.pbo", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE);
    ASSERT_TRUE(writer.Valid());
    EXPECT_FALSE(platform::ReadWholeFile(scratch / "a.pbo", read, error));
    EXPECT_FALSE(error.empty());
  }
  EXPECT_TRUE(platform::ReadWholeFile(scratch / "a.pbo", read, error)) << error;
}

TEST(ReadWholeFile, ErrorTextIsTheSystemsOneLine) {
  ScratchFolder scratch;
  Bytes read;
  std::string error;
  EXPECT_FALSE(platform::ReadWholeFile(scratch / "missing.pbo", read, error));
  ASSERT_FALSE(error.empty());
  EXPECT_EQ(error.find_first_of("\r\n"), std::string::npos) << error;
  EXPECT_NE(error.back(), ' ');
}

TEST(ReadWholeFile, RefusesDevices) {
  Bytes read;
  std::string error;
  EXPECT_FALSE(platform::ReadWholeFile("NUL", read, error));
  EXPECT_FALSE(error.empty());
}

TEST(ListFolder, ReportsLongNamesAndHiddenFiles) {
  ScratchFolder scratch;
  const std::string longName = "A rather long file name.extension";
  WriteFile(scratch.Path() / longName, "x");
  WriteFile(scratch.Path() / "hidden.txt", "h");
  ASSERT_TRUE(SetFileAttributesA((scratch / "hidden.txt").c_str(),
                                 FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM));
  std::vector<platform::FolderItem> items;
  ASSERT_TRUE(platform::ListFolder(scratch.Path().string(), items));
  std::vector<std::string> names;
  for (const auto& item : items) names.push_back(item.Name);
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{longName, "hidden.txt"}));
  SetFileAttributesA((scratch / "hidden.txt").c_str(), FILE_ATTRIBUTE_NORMAL);
}

TEST(ListFolder, TakesAPathEndingInASeparator) {
  ScratchFolder scratch;
  WriteFile(scratch.Path() / "a.txt", "a");
  std::vector<platform::FolderItem> items;
  ASSERT_TRUE(platform::ListFolder(scratch.Path().string() + "\\", items));
  ASSERT_EQ(items.size(), 1u);
  EXPECT_EQ(items[0].Name, "a.txt");
}

TEST(FolderIdentity, LetterCaseOfThePathDoesNotMatter) {
  ScratchFolder scratch;
  fs::create_directory(scratch.Path() / "Folder");
  const std::string identity = platform::FolderIdentity(scratch / "Folder");
  ASSERT_FALSE(identity.empty());
  EXPECT_EQ(platform::FolderIdentity(scratch / "FOLDER"), identity);
  EXPECT_EQ(platform::FolderIdentity(scratch / "folder\\."), identity);
}

TEST(WriteWholeFile, NeverWritesThroughASymbolicLink) {
  ScratchFolder scratch;
  WriteFile(scratch.Path() / "target.txt", "target");
  const std::string link = scratch / "link.txt";
  // Creating a link takes a privilege that a test may lack, and Wine only pretends to.
  if (!CreateSymbolicLinkA(link.c_str(), (scratch / "target.txt").c_str(), 0) ||
      !platform::IsLink(link)) {
    GTEST_SKIP() << "no symbolic link can be created here";
  }
  const Bytes content = ToBytes("evil");
  EXPECT_FALSE(platform::WriteWholeFile(link, content.data(), content.size()));
  EXPECT_EQ(ReadFile(scratch.Path() / "target.txt"), ToBytes("target"));
}

TEST(WriteWholeFile, ReplacesHiddenAndSystemFilesButNotReadOnlyOnes) {
  ScratchFolder scratch;
  const Bytes content = ToBytes("new");
  for (const DWORD attributes : {DWORD{FILE_ATTRIBUTE_HIDDEN}, DWORD{FILE_ATTRIBUTE_SYSTEM},
                                 DWORD{FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM}}) {
    const std::string path = scratch / "file.txt";
    WriteFile(path, "old content");
    ASSERT_TRUE(SetFileAttributesA(path.c_str(), attributes));
    EXPECT_TRUE(platform::WriteWholeFile(path, content.data(), content.size())) << attributes;
    EXPECT_EQ(ReadFile(path), content) << attributes;
    SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_NORMAL);
  }
  const std::string readOnly = scratch / "read-only.txt";
  WriteFile(readOnly, "old");
  ASSERT_TRUE(SetFileAttributesA(readOnly.c_str(), FILE_ATTRIBUTE_READONLY));
  EXPECT_FALSE(platform::WriteWholeFile(readOnly, content.data(), content.size()));
  EXPECT_EQ(ReadFile(readOnly), ToBytes("old"));
  SetFileAttributesA(readOnly.c_str(), FILE_ATTRIBUTE_NORMAL);
}

TEST(ReplaceFileAtomicallyOnWindows, ReplacesAHiddenTarget) {
  ScratchFolder scratch;
  const std::string target = scratch / "Island.pbo";
  WriteFile(target, "old");
  ASSERT_TRUE(SetFileAttributesA(target.c_str(), FILE_ATTRIBUTE_HIDDEN));
  const std::string content = "new";
  const platform::ByteRange piece{reinterpret_cast<const std::uint8_t*>(content.data()),
                                  content.size()};
  std::string error;
  EXPECT_TRUE(platform::ReplaceFileAtomically(target, &piece, 1, error)) << error;
  EXPECT_EQ(ReadFile(target), ToBytes("new"));
}

}  // namespace
}  // namespace pbo
