// pbo.exe as a Windows caller sees it: command lines split by the C runtime, drive letters,
// backslash paths, and the exit code as the whole report. pbo.exe lies beside this test.
#include <gtest/gtest.h>

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <filesystem>
#include <string>

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

struct ToolRun {
  DWORD ExitCode = 0xFFFFFFFF;
  std::string Out;
  std::string Err;
};

std::string ToolPath() {
  char buffer[MAX_PATH];
  const DWORD length = GetModuleFileNameA(nullptr, buffer, MAX_PATH);
  return (fs::path(std::string(buffer, length)).parent_path() / "pbo.exe").string();
}

// A file the child process inherits as its standard input, output or error.
HANDLE InheritableFile(const std::string& path, DWORD access, DWORD disposition) {
  SECURITY_ATTRIBUTES security{sizeof security, nullptr, TRUE};
  return CreateFileA(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE, &security,
                     disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
}

// Waits until no handle to path is left open. Under Wine the handles of a process that has
// ended (its standard output, its current folder) linger for some milliseconds, and until
// they go nothing it used can be removed.
void WaitUntilReleased(const std::string& path) {
  for (int attempt = 0; attempt < 500; ++attempt) {
    const HANDLE probe =
        CreateFileA(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (probe != INVALID_HANDLE_VALUE) {
      CloseHandle(probe);
      return;
    }
    Sleep(10);
  }
}

std::string Text(const Bytes& bytes) { return std::string(bytes.begin(), bytes.end()); }

// Runs pbo.exe in folder with arguments written exactly as on a command line after the
// program's name, quotes and all.
ToolRun RunTool(const fs::path& folder, const std::wstring& arguments) {
  ScratchFolder capture;
  const std::string outPath = capture / "stdout";
  const std::string errPath = capture / "stderr";
  HANDLE in = InheritableFile("NUL", GENERIC_READ, OPEN_EXISTING);
  HANDLE out = InheritableFile(outPath, GENERIC_WRITE, CREATE_ALWAYS);
  HANDLE err = InheritableFile(errPath, GENERIC_WRITE, CREATE_ALWAYS);
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = in;
  startup.hStdOutput = out;
  startup.hStdError = err;
  std::wstring commandLine = L"\"" + fs::path(ToolPath()).wstring() + L"\" " + arguments;
  PROCESS_INFORMATION process{};
  ToolRun run;
  const std::wstring workingFolder = folder.wstring();
  if (CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, TRUE, CREATE_NO_WINDOW, nullptr,
                     workingFolder.c_str(), &startup, &process)) {
    WaitForSingleObject(process.hProcess, 60000);
    GetExitCodeProcess(process.hProcess, &run.ExitCode);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
  }
  CloseHandle(in);
  CloseHandle(out);
  CloseHandle(err);
  WaitUntilReleased(outPath);
  WaitUntilReleased(errPath);
  run.Out = Text(ReadFile(outPath));
  run.Err = Text(ReadFile(errPath));
  return run;
}

// The same, with arguments in the code page.
ToolRun RunTool(const fs::path& folder, const std::string& arguments) {
  return RunTool(folder, fs::path(arguments).wstring());
}

std::size_t CountItems(const fs::path& folder) {
  return static_cast<std::size_t>(
      std::distance(fs::directory_iterator(folder), fs::directory_iterator()));
}

class WindowsCommandLine : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(fs::is_regular_file(ToolPath())) << ToolPath();
    root_ = scratch_.Path().string();
    ASSERT_EQ(root_.substr(1, 2), ":\\") << "the scratch folder lies on a lettered drive";
    drive_ = root_.substr(0, 2);
  }
  // An archive holding one file a.txt with the text "a".
  void WriteArchive(const std::string& relative) {
    WriteFile(scratch_.Path() / relative, ArchiveBuilder().Entry("a.txt", "a").Build());
  }
  Bytes Read(const std::string& relative) const { return ReadFile(scratch_.Path() / relative); }

  ScratchFolder scratch_;
  std::string root_;   // the scratch folder, such as C:\users\me\Temp\pbo-test-1
  std::string drive_;  // its drive, such as C:
};

TEST_F(WindowsCommandLine, AbsoluteBackslashPathExtractsBesideTheArchive) {
  WriteArchive("Data\\Island.pbo");
  const ToolRun run = RunTool(scratch_.Path(), "-x " + root_ + "\\Data\\Island.pbo");
  EXPECT_EQ(run.ExitCode, 0u);
  EXPECT_EQ(run.Out, "");
  EXPECT_EQ(run.Err, "");
  EXPECT_EQ(Read("Data\\Island\\a.txt"), ToBytes("a"));
}

TEST_F(WindowsCommandLine, BareAndDriveRelativeNamesExtractBesideTheArchive) {
  WriteArchive("Island.pbo");
  EXPECT_EQ(RunTool(scratch_.Path(), "-x Island.pbo").ExitCode, 0u);
  EXPECT_EQ(Read("Island\\a.txt"), ToBytes("a"));

  // D:Island.pbo means Island.pbo in the current folder of drive D:, and D:Island\ beside it.
  WriteArchive("Sea.pbo");
  EXPECT_EQ(RunTool(scratch_.Path(), "/X " + drive_ + "Sea.pbo").ExitCode, 0u);
  EXPECT_EQ(Read("Sea\\a.txt"), ToBytes("a"));
  EXPECT_FALSE(fs::exists(drive_ + "\\Sea"));
}

TEST_F(WindowsCommandLine, QuotedPathsAndEmptyQuotes) {
  WriteArchive("My Data\\Island.pbo");
  const ToolRun run = RunTool(scratch_.Path(), "\"\" -x \"\" \"My Data\\Island.pbo\" \"\"");
  EXPECT_EQ(run.ExitCode, 0u);
  EXPECT_EQ(Read("My Data\\Island\\a.txt"), ToBytes("a"));
  EXPECT_EQ(RunTool(scratch_.Path(), "-x My Data\\Island.pbo").ExitCode, 1u);  // three arguments
}

TEST_F(WindowsCommandLine, ArchiveModeRefusesDrivesAndTrailingSeparators) {
  WriteFile(scratch_.Path() / "Island" / "a.txt", "a");
  for (const std::string& path : {drive_ + "\\", drive_, std::string("Island\\"),
                                  std::string("Island/"), root_ + "\\Island\\"}) {
    // Unquoted: the runtime would read the \" of a quoted trailing backslash as a quote.
    EXPECT_EQ(RunTool(scratch_.Path(), "-a " + path).ExitCode, 2u) << path;
  }
  EXPECT_EQ(CountItems(scratch_.Path()), 1u);
  EXPECT_EQ(CountItems(scratch_.Path() / "Island"), 1u);
  EXPECT_FALSE(fs::exists(drive_ + "\\.pbo"));
}

TEST_F(WindowsCommandLine, ArchiveModeTakesDriveAndBackslashPaths) {
  WriteFile(scratch_.Path() / "Data" / "Island" / "maps" / "b.txt", "b");
  WriteFile(scratch_.Path() / "Data" / "Island" / "a.txt", "a");
  const ToolRun run = RunTool(scratch_.Path(), "-a " + root_ + "\\Data\\Island");
  EXPECT_EQ(run.ExitCode, 0u);
  EXPECT_EQ(run.Err, "");
  const Bytes packed = Read("Data\\Island.pbo");
  ASSERT_FALSE(packed.empty());

  // The same folder reached through the drive's current folder packs the same bytes.
  WriteFile(scratch_.Path() / "Island" / "maps" / "b.txt", "b");
  WriteFile(scratch_.Path() / "Island" / "a.txt", "a");
  EXPECT_EQ(RunTool(scratch_.Path(), "-a " + drive_ + "Island").ExitCode, 0u);
  EXPECT_EQ(Read("Island.pbo"), packed);
  const std::string names = Text(packed);
  EXPECT_NE(names.find("maps\\b.txt"), std::string::npos);  // "\" inside the archive
}

TEST_F(WindowsCommandLine, DeviceStreamAndDriveNamesInTheArchiveAreRefused) {
  const Bytes archive = ArchiveBuilder()
                            .Entry("CON", "x")
                            .Entry("nul.txt", "x")
                            .Entry("sub\\com1.tar.gz", "x")
                            .Entry("aux ", "x")
                            .Entry("lpt1\\inside.txt", "x")
                            .Entry(drive_ + "evil.txt", "x")
                            .Entry("notes.txt:hidden", "x")
                            .Entry("..\\up.txt", "x")
                            .Entry("...\\dots.txt", "x")
                            .Entry("\\rooted.txt", "x")
                            .Entry("good.txt", "good")
                            .Build();
  WriteFile(scratch_.Path() / "Island.pbo", archive);
  const ToolRun run = RunTool(scratch_.Path(), "-x Island.pbo");
  EXPECT_EQ(run.ExitCode, 3u);
  EXPECT_EQ(run.Out, "");
  EXPECT_EQ(run.Err, "");
  EXPECT_EQ(Read("Island\\good.txt"), ToBytes("good"));
  EXPECT_EQ(Read("Island\\rooted.txt"), ToBytes("x"));  // a leading separator stays inside
  EXPECT_EQ(CountItems(scratch_.Path() / "Island"), 2u);  // no notes.txt, no sub, no lpt1
  EXPECT_EQ(CountItems(scratch_.Path()), 2u);             // nothing climbed out either
}

TEST_F(WindowsCommandLine, DamagedArchiveIsOneLineOnStandardErrorAndExitOne) {
  Bytes archive = ArchiveBuilder().Entry("a.txt", "a").Build();
  archive.resize(8);
  WriteFile(scratch_.Path() / "Broken.pbo", archive);
  const ToolRun run = RunTool(scratch_.Path(), "-x Broken.pbo");
  EXPECT_EQ(run.ExitCode, 1u);
  EXPECT_EQ(run.Out, "");
  EXPECT_EQ(run.Err.rfind("pbo: ", 0), 0u) << run.Err;
  EXPECT_NE(run.Err.find("Broken.pbo"), std::string::npos) << run.Err;
  // One line, ended the Windows way.
  EXPECT_EQ(run.Err.find('\n'), run.Err.size() - 1) << run.Err;
  EXPECT_EQ(run.Err.substr(run.Err.size() - 2), "\r\n");
  EXPECT_FALSE(fs::exists(scratch_.Path() / "Broken"));
}

TEST_F(WindowsCommandLine, SourceFileLockedByAnotherProcessIsExitOneWithItsPath) {
  WriteFile(scratch_.Path() / "Island" / "a.txt", "a");
  WriteFile(scratch_.Path() / "Island" / "locked.txt", "l");
  WriteFile(scratch_.Path() / "Island.pbo", "old");
  const std::string locked = root_ + "\\Island\\locked.txt";
  HANDLE holder = CreateFileA(locked.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(holder, INVALID_HANDLE_VALUE);
  const ToolRun run = RunTool(scratch_.Path(), "-a Island");
  CloseHandle(holder);
  EXPECT_EQ(run.ExitCode, 1u);
  EXPECT_EQ(run.Err.rfind("pbo: Cannot open file \"" + locked + "\". ", 0), 0u) << run.Err;
  EXPECT_EQ(Read("Island.pbo"), ToBytes("old"));
}

// Best fit would read the fullwidth backslash as "\\" and "ā" as "a": a file from outside
// the folder would be packed, a.txt twice, the folder a instead of ā.
TEST_F(WindowsCommandLine, NamesOutsideTheCodePageNeverReachALookAlike) {
  ASSERT_EQ(GetACP(), 1252u) << "the rows assume the Western code page";
  WriteFile(scratch_.Path() / "secret.txt", "secret");
  WriteFile(scratch_.Path() / "Island" / L"x\xFF3C..\xFF3C..\xFF3Csecret.txt", "s");
  ToolRun run = RunTool(scratch_.Path(), "-a Island");
  EXPECT_EQ(run.ExitCode, 1u);
  EXPECT_EQ(
      run.Err.rfind("pbo: Cannot open file \"" + root_ + "\\Island\\x?..?..?secret.txt\". ", 0), 0u)
      << run.Err;
  EXPECT_FALSE(fs::exists(scratch_.Path() / "Island.pbo"));

  WriteFile(scratch_.Path() / "Sea" / "a.txt", "a");
  WriteFile(scratch_.Path() / "Sea" / L"\x0101.txt", "long a");
  EXPECT_EQ(RunTool(scratch_.Path(), "-a Sea").ExitCode, 1u);
  EXPECT_FALSE(fs::exists(scratch_.Path() / "Sea.pbo"));

  WriteFile(scratch_.Path() / "a" / "a.txt", "a");
  WriteFile(scratch_.Path() / L"\x0101" / "b.txt", "b");
  run = RunTool(scratch_.Path(), L"-a \x0101");
  EXPECT_EQ(run.ExitCode, 2u);  // no folder "?"
  EXPECT_EQ(run.Err, "");
  EXPECT_FALSE(fs::exists(scratch_.Path() / "a.pbo"));
}

TEST_F(WindowsCommandLine, ReadOnlyArchiveIsNotReplaced) {
  WriteFile(scratch_.Path() / "Island" / "a.txt", "a");
  WriteFile(scratch_.Path() / "Island.pbo", "old");
  const std::string archive = root_ + "\\Island.pbo";
  ASSERT_TRUE(SetFileAttributesA(archive.c_str(), FILE_ATTRIBUTE_READONLY));
  const ToolRun run = RunTool(scratch_.Path(), "-a Island");
  SetFileAttributesA(archive.c_str(), FILE_ATTRIBUTE_NORMAL);
  EXPECT_EQ(run.ExitCode, 2u);
  EXPECT_EQ(run.Err, "");
  EXPECT_EQ(Read("Island.pbo"), ToBytes("old"));
  EXPECT_EQ(CountItems(scratch_.Path()), 2u);  // no temporary file left beside it
}

}  // namespace
}  // namespace pbo
