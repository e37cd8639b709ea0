// The command line as a caller sees it: the exit code, and no output but the one line of an
// error that ends the run.
#include <gtest/gtest.h>
#ifndef _WIN32
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <cstdlib>
#include <filesystem>

#include "frontend/frontend.h"
#include "security/bounded_run.h"
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

#ifndef _WIN32  // runs the executable through sh; cli_windows_test.cpp does it on Windows
struct ToolRun {
  int ExitCode = -1;
  std::string Out;
  std::string Err;
};

std::string Quoted(const std::string& argument) {
  std::string quoted = "'";
  for (char c : argument) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

// Runs the built executable in folder with the given arguments (in a cross build through
// the emulator that PBO_RUNNER names), with PBO_VERBOSE=1 in its environment when verbose
// is set and without PBO_VERBOSE otherwise, after the shell command `before`.
ToolRun RunTool(const fs::path& folder, const std::vector<std::string>& arguments,
                bool verbose = false, const std::string& before = "true") {
  std::string command = "cd " + Quoted(folder.string()) + " && " + before + " && " +
                        (verbose ? "PBO_VERBOSE=1 " : "env -u PBO_VERBOSE ") + PBO_RUNNER " " +
                        Quoted(PBO_EXECUTABLE);
  for (const std::string& argument : arguments) command += " " + Quoted(argument);
  const fs::path out = folder / ".stdout";
  const fs::path err = folder / ".stderr";
  command += " >" + Quoted(out.string()) + " 2>" + Quoted(err.string());
  const int status = std::system(command.c_str());
  ToolRun run;
  run.ExitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  const Bytes outBytes = ReadFile(out);
  const Bytes errBytes = ReadFile(err);
  run.Out.assign(outBytes.begin(), outBytes.end());
  run.Err.assign(errBytes.begin(), errBytes.end());
  fs::remove(out);
  fs::remove(err);
  return run;
}
#endif

// Runs the tool in-process with the current folder set to folder.
int RunIn(const fs::path& folder, const std::vector<std::string>& arguments) {
  const fs::path previous = fs::current_path();
  fs::current_path(folder);
  const int code = pbo::Run(arguments);
  fs::current_path(previous);
  return code;
}

TEST(CommandLine, WrongArgumentCountGivesOne) {
  EXPECT_EQ(pbo::Run({}), 1);
  EXPECT_EQ(pbo::Run({"-x"}), 1);
  EXPECT_EQ(pbo::Run({"-x", "a.pbo", "extra"}), 1);
}

TEST(CommandLine, OnlyTheSecondCharacterOfTheSwitchCounts) {
  ScratchFolder scratch;
  WriteFile(scratch.Path() / "Island" / "a.txt", "a");
  EXPECT_EQ(pbo::Run({"x", scratch / "Island"}), 1);   // one character: no mode letter
  EXPECT_EQ(pbo::Run({"-q", scratch / "Island"}), 1);
  EXPECT_EQ(pbo::Run({"", scratch / "Island"}), 1);
  EXPECT_EQ(pbo::Run({"xa", scratch / "Island"}), 0);  // archive mode
  EXPECT_TRUE(fs::exists(scratch.Path() / "Island.pbo"));
  for (const char* modeSwitch : {"-x", "-X", "/x", "-xtract"}) {
    EXPECT_EQ(pbo::Run({modeSwitch, scratch / "Island.pbo"}), 0) << modeSwitch;
  }
  EXPECT_EQ(ReadFile(scratch.Path() / "Island" / "a.txt"), ToBytes("a"));
}

TEST(CommandLine, ExtractRefusesPathsThatAreNotArchivesWithTwo) {
  ScratchFolder scratch;
  WriteFile(scratch.Path() / "noext", "x");
  WriteFile(scratch.Path() / "a.pbo.bak", "x");
  fs::create_directories(scratch.Path() / "folder.pbo");
  EXPECT_EQ(pbo::Run({"-x", scratch / "missing.pbo"}), 2);
  EXPECT_EQ(pbo::Run({"-x", scratch / "noext"}), 2);
  EXPECT_EQ(pbo::Run({"-x", scratch / "a.pbo.bak"}), 2);
  EXPECT_EQ(pbo::Run({"-x", scratch / "folder.pbo"}), 2);
  EXPECT_EQ(std::distance(fs::directory_iterator(scratch.Path()), fs::directory_iterator()), 3);
}

TEST(CommandLine, ExtractAcceptsAnyCaseAndDerivesTheFolder) {
  ScratchFolder scratch;
  WriteFile(scratch.Path() / "Island.tar.PbO", ArchiveBuilder().Entry("a.txt", "a").Build());
  EXPECT_EQ(pbo::Run({"-x", scratch / "Island.tar.PbO"}), 0);
  EXPECT_EQ(ReadFile(scratch.Path() / "Island.tar" / "a.txt"), ToBytes("a"));
}

TEST(CommandLine, BareArchiveNameExtractsBesideIt) {
  ScratchFolder scratch;
  WriteFile(scratch.Path() / "Island.pbo", ArchiveBuilder().Entry("a.txt", "a").Build());
  EXPECT_EQ(RunIn(scratch.Path(), {"-x", "Island.pbo"}), 0);
  EXPECT_EQ(ReadFile(scratch.Path() / "Island" / "a.txt"), ToBytes("a"));
}

TEST(CommandLine, ArchiveNamedOnlyDotPboExtractsIntoItsOwnFolder) {
  ScratchFolder scratch;
  WriteFile(scratch.Path() / "sub" / ".pbo", ArchiveBuilder().Entry("a.txt", "a").Build());
  EXPECT_EQ(pbo::Run({"-x", scratch / "sub/.pbo"}), 0);
  EXPECT_EQ(ReadFile(scratch.Path() / "sub" / "a.txt"), ToBytes("a"));
  WriteFile(scratch.Path() / ".pbo", ArchiveBuilder().Entry("b.txt", "b").Build());
  EXPECT_EQ(RunIn(scratch.Path(), {"-x", ".pbo"}), 0);
  EXPECT_EQ(ReadFile(scratch.Path() / "b.txt"), ToBytes("b"));
}

TEST(CommandLine, ArchiveRefusesPathsThatAreNotFoldersWithTwo) {
  ScratchFolder scratch;
  WriteFile(scratch.Path() / "Island" / "a.txt", "a");
  EXPECT_EQ(pbo::Run({"-a", scratch / "missing"}), 2);
  EXPECT_EQ(pbo::Run({"-a", scratch / "Island/a.txt"}), 2);
  EXPECT_EQ(pbo::Run({"-a", scratch / "Island/"}), 2);
  // Were "/" taken, the whole file system would be packed: a child with little memory and
  // time stops that early.
  const auto packRoot = [] { return pbo::Run({"-a", "/"}); };
  EXPECT_EQ(testing::RunCapped(packRoot, 1024, std::chrono::seconds(60)).ExitCode, 2);
  EXPECT_FALSE(fs::exists(scratch.Path() / "Island.pbo"));
}

TEST(CommandLine, DotPacksTheCurrentFolderIntoDotDotPbo) {
  ScratchFolder scratch;
  WriteFile(scratch.Path() / "a.txt", "a");
  EXPECT_EQ(RunIn(scratch.Path(), {"-a", "."}), 0);
  EXPECT_TRUE(fs::is_regular_file(scratch.Path() / "..pbo"));
  // The archive lies inside the folder under a dot name, so packing again skips it.
  const Bytes first = ReadFile(scratch.Path() / "..pbo");
  EXPECT_EQ(RunIn(scratch.Path(), {"-a", "."}), 0);
  EXPECT_EQ(ReadFile(scratch.Path() / "..pbo"), first);
}

#ifndef _WIN32
// Each call runs once as it is and once with PBO_VERBOSE=1: the exit code is the same,
// standard output stays empty, and standard error is empty, or holds exactly the lines that
// say what decided the exit code, in table order.
TEST(Executable, SaysWhatDecidedTheExitCodeOnlyWhenAsked) {
  constexpr std::uint32_t kPacked = ArchiveBuilder::kCompressed;
  // Zeros before the start and a zero copied by reference, and a checksum (97) that neither
  // their count nor leading spaces explain.
  const Bytes unrepairable = {0x02, 0x05, 0x00, 0x00, 0x01, 0x00, 0x61, 0x00, 0x00, 0x00};
  // Three spaces then "ab", the spaces made by a reference before the start.
  const Bytes repaired = {0x06, 0x05, 0x00, 0x61, 0x62, 0x23, 0x01, 0x00, 0x00};
  ScratchFolder scratch;
  WriteFile(scratch.Path() / "Island.pbo", ArchiveBuilder()
                                               .Entry("a.txt", "a")
                                               .Entry("maps\\bad.bin", unrepairable, kPacked, 7)
                                               .Entry("r.txt", repaired, kPacked, 5)
                                               .Entry("..\\evil", "x")
                                               .Build());
  // A file stands where the output folder would go: nothing can be written.
  WriteFile(scratch.Path() / "Blocked.pbo", ArchiveBuilder().Entry("a.txt", "a").Build());
  WriteFile(scratch.Path() / "Blocked", "in the way");
  WriteFile(scratch.Path() / "Mine" / "a.txt", "a");
  fs::create_directories(scratch.Path() / "Empty" / "sub");
  const std::string usage = "pbo: usage: pbo -x ARCHIVE.pbo, or pbo -a FOLDER\n";
  struct Row {
    std::vector<std::string> Arguments;
    int ExitCode;
    std::string Report;
  };
  const Row rows[] = {
      {{}, 1, usage},
      {{"-z", "x.pbo"}, 1, usage},
      {{"-x", "nosuch.pbo"}, 2, "pbo: \"nosuch.pbo\" is not an existing file\n"},
      {{"-x", "Mine"}, 2, "pbo: \"Mine\" is not an existing file\n"},
      {{"-a", "Mine/"}, 2, "pbo: \"Mine/\" ends in a separator; name the folder without it\n"},
      {{"-a", "Empty"}, 0, "pbo: \"Empty\" holds no file to pack; no archive written\n"},
      {{"-a", "Mine"}, 0, ""},
      {{"-x", "Blocked.pbo"},
       3,
       "pbo: a.txt: its file cannot be written: the folder \"Blocked\" cannot be made\n"},
      {{"-x", "Island.pbo"},
       3,
       "pbo: maps\\bad.bin: checksum does not match; written as decoded\n"
       "pbo: r.txt: repaired: the leading spaces were restored\n"
       "pbo: ..\\evil: its name leads outside the output folder\n"},
  };
  for (const Row& row : rows) {
    for (const bool verbose : {false, true}) {
      const ToolRun run = RunTool(scratch.Path(), row.Arguments, verbose);
      const std::string call =
          ::testing::PrintToString(row.Arguments) + (verbose ? " verbose" : "");
      EXPECT_EQ(run.ExitCode, row.ExitCode) << call;
      EXPECT_EQ(run.Out, "") << call;
      EXPECT_EQ(run.Err, verbose ? row.Report : "") << call;
    }
  }
}

TEST(Executable, EmptyArgumentsAreNotCounted) {
  ScratchFolder scratch;
  WriteFile(scratch.Path() / "Island.pbo", ArchiveBuilder().Entry("a.txt", "a").Build());
  const ToolRun run = RunTool(scratch.Path(), {"", "-x", "", "Island.pbo", ""});
  EXPECT_EQ(run.ExitCode, 0);
  EXPECT_TRUE(fs::exists(scratch.Path() / "Island" / "a.txt"));
}

TEST(Executable, DamagedTableIsOneLineOnStandardErrorAndExitOne) {
  ScratchFolder scratch;
  Bytes archive = ArchiveBuilder().Entry("a.txt", "a").Build();
  archive.resize(8);
  // A line break in the archive's name must not split the line.
  WriteFile(scratch.Path() / "Broken\nline.pbo", archive);
  const ToolRun run = RunTool(scratch.Path(), {"-x", "Broken\nline.pbo"});
  EXPECT_EQ(run.ExitCode, 1);
  EXPECT_EQ(run.Out, "");
  ASSERT_FALSE(run.Err.empty());
  EXPECT_EQ(run.Err.rfind("pbo: ", 0), 0u);
  EXPECT_NE(run.Err.find("Broken?line.pbo"), std::string::npos);
  EXPECT_EQ(run.Err.find('\n'), run.Err.size() - 1);
  EXPECT_FALSE(fs::exists(scratch.Path() / "Broken\nline"));
}

TEST(Executable, FileSizeLimitFailsTheWriteNotTheProcess) {
  // Past the limit, a write fails like any other: rated, nothing half-written left, the old
  // files whole, the run going on.
  ScratchFolder scratch;
  const std::string big(200 * 1024, 'b');
  WriteFile(scratch.Path() / "Island.pbo",
            ArchiveBuilder().Entry("big.bin", big).Entry("after.txt", "after").Build());
  WriteFile(scratch.Path() / "Island" / "big.bin", "old");
  WriteFile(scratch.Path() / "Mine" / "big.bin", big);
  WriteFile(scratch.Path() / "Mine.pbo", "old archive");
  const std::string limit = "ulimit -f 50";
  EXPECT_EQ(RunTool(scratch.Path(), {"-x", "Island.pbo"}, false, limit).ExitCode, 3);
  EXPECT_EQ(ReadFile(scratch.Path() / "Island" / "big.bin"), ToBytes("old"));
  EXPECT_EQ(ReadFile(scratch.Path() / "Island" / "after.txt"), ToBytes("after"));
  EXPECT_EQ(RunTool(scratch.Path(), {"-a", "Mine"}, false, limit).ExitCode, 2);
  EXPECT_EQ(ReadFile(scratch.Path() / "Mine.pbo"), ToBytes("old archive"));
  std::size_t items = 0;
  for (const auto& item : fs::directory_iterator(scratch.Path() / "Island")) items += item.exists();
  EXPECT_EQ(items, 2u);  // big.bin and after.txt, nothing beside them
  items = 0;
  for (const auto& item : fs::directory_iterator(scratch.Path())) items += item.exists();
  EXPECT_EQ(items, 4u);  // the two archives and their folders
}

TEST(Executable, UnopenableSourceFileIsExitOneWithTheMessage) {
  ScratchFolder scratch;
  WriteFile(scratch.Path() / "Island" / "a.txt", "a");
  fs::create_symlink("nowhere", scratch.Path() / "Island" / "b.txt");
  const ToolRun run = RunTool(scratch.Path(), {"-a", "Island"});
  EXPECT_EQ(run.ExitCode, 1);
  EXPECT_EQ(run.Err, "pbo: Cannot open file \"" + (scratch.Path() / "Island" / "b.txt").string() +
                         "\". No such file or directory\n");
  EXPECT_FALSE(fs::exists(scratch.Path() / "Island.pbo"));
}
#endif

}  // namespace
}  // namespace pbo
