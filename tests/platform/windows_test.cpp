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

std::size_t CountItems(const fs::path& folder) {
  return static_cast<std::size_t>(
      std::distance(fs::directory_iterator(folder), fs::directory_iterator()));
}

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

TEST(InputFile, OthersMayReadMeanwhileButNotWrite) {
  ScratchFolder scratch;
  WriteFile(scratch.Path() / "a.pbo", "content");
  platform::InputFile file;
  std::string error;
  {
    HeldFile reader(scratch / "a.pbo", GENERIC_READ, FILE_SHARE_READ);
    ASSERT_TRUE(reader.Valid());
    EXPECT_TRUE(file.Open(scratch / "a.pbo", error)) << error;
    Bytes read(7);
    EXPECT_TRUE(file.ReadAt(0, read.data(), read.size(), error)) << error;
    EXPECT_EQ(read, ToBytes("content"));
  }
  {
    // While the file is open, others may read it but not write it.
    EXPECT_FALSE(
        HeldFile(scratch / "a.pbo", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE).Valid());
  }
  file = platform::InputFile();
  {
    HeldFile writer(scratch / "a.pbo", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE);
    ASSERT_TRUE(writer.Valid());
    EXPECT_FALSE(file.Open(scratch / "a.pbo", error));
    EXPECT_FALSE(error.empty());
  }
  EXPECT_TRUE(file.Open(scratch / "a.pbo", error)) << error;
}

TEST(InputFile, ErrorTextIsTheSystemsOneLine) {
  ScratchFolder scratch;
  platform::InputFile file;
  std::string error;
  EXPECT_FALSE(file.Open(scratch / "missing.pbo", error));
  ASSERT_FALSE(error.empty());
  EXPECT_EQ(error.find_first_of("\r\n"), std::string::npos) << error;
  EXPECT_NE(error.back(), ' ');
}

TEST(InputFile, RefusesDevices) {
  platform::InputFile file;
  std::string error;
  EXPECT_FALSE(file.Open("NUL", error));
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
  std::string error;
  ASSERT_EQ(platform::ListFolder(scratch.Path().string(), items, error),
            platform::Listing::Complete);
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
  std::string error;
  ASSERT_EQ(platform::ListFolder(scratch.Path().string() + "\\", items, error),
            platform::Listing::Complete);
  ASSERT_EQ(items.size(), 1u);
  EXPECT_EQ(items[0].Name, "a.txt");
}

// Best fit would make "a" of "ā" and "\\" of the fullwidth backslash.
TEST(Arguments, NeverMapsACharacterOntoALookAlike) {
  wchar_t program[] = L"pbo";
  wchar_t modeSwitch[] = L"-a";
  wchar_t lookAlike[] = L"D:\\x\xFF3C..\xFF3C\x0101";
  wchar_t latin[] = L"caf\x00E9";  // in the code page: its own byte
  wchar_t* argv[] = {program, modeSwitch, lookAlike, latin, nullptr};
  ASSERT_EQ(GetACP(), 1252u) << "the rows assume the Western code page";
  EXPECT_EQ(platform::Arguments(4, argv),
            (std::vector<std::string>{"-a", "D:\\x?..??", "caf\xE9"}));
}

TEST(ListFolder, NamesTheCodePageCannotHoldAreFilesThatDoNotOpen) {
  ScratchFolder scratch;
  WriteFile(scratch.Path() / L"x\xFF3C..\xFF3Csecret.txt", "x");
  WriteFile(scratch.Path() / L"\x0101.txt", "x");
  WriteFile(scratch.Path() / L"\x0101" / L"inner.txt", "x");
  WriteFile(scratch.Path() / L"caf\x00E9.txt", "x");
  std::vector<platform::FolderItem> items;
  std::string error;
  ASSERT_EQ(platform::ListFolder(scratch.Path().string(), items, error),
            platform::Listing::Complete);
  std::sort(items.begin(), items.end(),
            [](const auto& left, const auto& right) { return left.Name < right.Name; });
  ASSERT_EQ(items.size(), 4u);
  EXPECT_EQ(items[0].Name, "?");  // the folder
  EXPECT_EQ(items[1].Name, "?.txt");
  EXPECT_EQ(items[2].Name, "caf\xE9.txt");
  EXPECT_EQ(items[3].Name, "x?..?secret.txt");
  for (const auto& item : items) {
    const std::string path = scratch.Path().string() + "\\" + item.Name;
    const bool exact = item.Name.find('?') == std::string::npos;
    EXPECT_EQ(item.Kind, PathKind::File) << item.Name;
    EXPECT_EQ(platform::InputFile().Open(path, error), exact) << item.Name;
    EXPECT_EQ(platform::KindOf(path), exact ? PathKind::File : PathKind::Missing) << item.Name;
  }
}

// A path of 259 characters, the most the classic limit allows: the new file made beside it
// has a longer name, and must still be made.
TEST(WriteWholeFile, WritesAPathAtTheClassicLimit) {
  ScratchFolder scratch;
  std::string folder = scratch.Path().string();
  while (folder.size() < 240) {
    folder += "\\" + std::string(std::min<std::size_t>(40, 239 - folder.size()), 'd');
    ASSERT_TRUE(platform::CreateFolder(folder)) << folder.size();
  }
  const std::string path = folder + "\\" + std::string(MAX_PATH - 2 - folder.size(), 'f');
  ASSERT_EQ(path.size(), MAX_PATH - 1u);
  WriteFile(path, "old");
  const Bytes content = ToBytes("new");
  std::string error;
  ASSERT_TRUE(platform::WriteWholeFile(path, content.data(), content.size(), error)) << error;
  EXPECT_EQ(ReadFile(path), content);
  EXPECT_EQ(CountItems(folder), 1u);
}

TEST(FolderIdentity, LetterCaseOfThePathDoesNotMatter) {
  ScratchFolder scratch;
  fs::create_directory(scratch.Path() / "Folder");
  const std::string identity = platform::FolderIdentity(scratch / "Folder");
  ASSERT_FALSE(identity.empty());
  EXPECT_EQ(platform::FolderIdentity(scratch / "FOLDER"), identity);
  EXPECT_EQ(platform::FolderIdentity(scratch / "folder\\."), identity);
}

TEST(WriteWholeFile, ReplacesHiddenAndSystemFilesButNotReadOnlyOnes) {
  ScratchFolder scratch;
  const Bytes content = ToBytes("new");
  for (const DWORD attributes : {DWORD{FILE_ATTRIBUTE_HIDDEN}, DWORD{FILE_ATTRIBUTE_SYSTEM},
                                 DWORD{FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM}}) {
    const std::string path = scratch / "file.txt";
    WriteFile(path, "old content");
    ASSERT_TRUE(SetFileAttributesA(path.c_str(), attributes));
    std::string error;
    EXPECT_TRUE(platform::WriteWholeFile(path, content.data(), content.size(), error)) << error;
    EXPECT_EQ(ReadFile(path), content) << attributes;
    EXPECT_EQ(GetFileAttributesA(path.c_str()) & attributes, attributes);
    SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_NORMAL);
  }
  const std::string readOnly = scratch / "read-only.txt";
  WriteFile(readOnly, "old");
  ASSERT_TRUE(SetFileAttributesA(readOnly.c_str(), FILE_ATTRIBUTE_READONLY));
  std::string error;
  EXPECT_FALSE(platform::WriteWholeFile(readOnly, content.data(), content.size(), error));
  EXPECT_EQ(ReadFile(readOnly), ToBytes("old"));
  EXPECT_EQ(CountItems(scratch.Path()), 2u);  // file.txt and read-only.txt, nothing beside
  SetFileAttributesA(readOnly.c_str(), FILE_ATTRIBUTE_NORMAL);
}

TEST(ReplacementFileOnWindows, ReplacesAHiddenTarget) {
  ScratchFolder scratch;
  const std::string target = scratch / "Island.pbo";
  WriteFile(target, "old");
  ASSERT_TRUE(SetFileAttributesA(target.c_str(), FILE_ATTRIBUTE_HIDDEN));
  const Bytes content = ToBytes("new");
  platform::ReplacementFile file;
  std::string error;
  EXPECT_TRUE(file.Create(target, error) &&
              file.WriteAt(0, content.data(), content.size(), error) && file.Commit(error))
      << error;
  EXPECT_EQ(ReadFile(target), content);
}

}  // namespace
}  // namespace pbo
