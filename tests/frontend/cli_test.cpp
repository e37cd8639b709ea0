// The command line as a caller sees it: the exit code, and no output but the one line of an
// error that ends the run, the listing, the usage and the version; at a terminal, the line
// that says why a run failed and the progress line.
#include <gtest/gtest.h>
#ifndef _WIN32
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <chrono>
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
// is set and without PBO_VERBOSE otherwise, after the shell command `before`. With
// atTerminal, standard error is a pseudo-terminal (made by `script`), whose line ends
// come back as "\n".
ToolRun RunTool(const fs::path& folder, const std::vector<std::string>& arguments,
                bool verbose = false, const std::string& before = "true", bool atTerminal = false) {
  const fs::path out = folder / ".stdout";
  const fs::path err = folder / ".stderr";
  std::string command = (verbose ? "PBO_VERBOSE=1 " : "env -u PBO_VERBOSE ") +
                        std::string(PBO_RUNNER " ") + Quoted(PBO_EXECUTABLE);
  for (const std::string& argument : arguments) command += " " + Quoted(argument);
  command += " >" + Quoted(out.string());
  // script passes on what reaches the terminal on its own standard output.
  command =
      atTerminal ? "script -qec " + Quoted(command) + " /dev/null </dev/null >" : command + " 2>";
  command =
      "cd " + Quoted(folder.string()) + " && " + before + " && " + command + Quoted(err.string());
  const int status = std::system(command.c_str());
  ToolRun run;
  run.ExitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  const Bytes outBytes = ReadFile(out);
  const Bytes errBytes = ReadFile(err);
  run.Out.assign(outBytes.begin(), outBytes.end());
  run.Err.assign(errBytes.begin(), errBytes.end());
  for (std::size_t at = 0; (at = run.Err.find("\r\n", at)) != std::string::npos;) {
    run.Err.erase(at, 1);
  }
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
  EXPECT_EQ(pbo::Run({"x", scratch / "Island"}), 1);  // one character: no mode letter
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
// The names below folder, and the size of each file.
std::string TreeOf(const fs::path& folder) {
  std::string tree;
  for (const auto& item : fs::recursive_directory_iterator(folder)) {
    tree += item.path().string() + " " +
            (item.is_regular_file() ? std::to_string(item.file_size()) : "folder") + "\n";
  }
  return tree;
}

// Each call runs four times, with and without PBO_VERBOSE=1, standard error a file or a
// terminal: the exit code and standard output are the same each time. Standard error is
// empty, or holds exactly the lines that say what decided the exit code, in table order;
// at a terminal without PBO_VERBOSE, one line that says why the run failed. -l and -t
// change nothing on disk.
TEST(Executable, SaysWhatDecidedTheExitCodeOnlyWhenAsked) {
  constexpr std::uint32_t kPacked = ArchiveBuilder::kCompressed;
  // Zeros before the start and a zero copied by reference, and a checksum (97) that neither
  // their count nor leading spaces explain.
  const Bytes unrepairable = {0x02, 0x05, 0x00, 0x00, 0x01, 0x00, 0x61, 0x00, 0x00, 0x00};
  // Three spaces then "ab", the spaces made by a reference before the start.
  const Bytes repaired = {0x06, 0x05, 0x00, 0x61, 0x62, 0x23, 0x01, 0x00, 0x00};
  // class a { b=1; } and then a member of type 3, which no mission holds: the converter's
  // error line comes before the class's closing line.
  const Bytes mission = {0x00, 0x72, 0x61, 0x50, 0x04, 0x00, 0x00, 0x00, 0x00,  // signature
                         0x00, 0x00, 0x00, 0x00, 0x00,                          // header bytes
                         0x00, 0x01, 'a',  0x00, 0x00, 0x02,  // class a, no base, two members
                         0x01, 0x02, 0x02, 'b',  0x00, 0x01, 0x00, 0x00, 0x00,  // b=1
                         0x03, 0x03, 'c',  0x00, 0x00};                         // type 3: c
  ScratchFolder scratch;
  WriteFile(scratch.Path() / "Island.pbo", ArchiveBuilder()
                                               .Entry("a.txt", "a")
                                               .Entry("maps\\bad.bin", unrepairable, kPacked, 7)
                                               .Entry("r.txt", repaired, kPacked, 5)
                                               .Entry("..\\evil", "x")
                                               .Entry("m\\mission.zem", mission)
                                               .Entry("/a.txt", "b")
                                               .Build());
  // The last block runs past the end of the archive.
  WriteFile(scratch.Path() / "Short.pbo", ArchiveBuilder()
                                              .VersionRecord({"prefix", "x\ny", ""})
                                              .Entry("a.txt", "a")
                                              .Record("b.txt", 0, 0, 5, ToBytes("bb"))
                                              .Build());
  // A file stands where the output folder would go: nothing can be written.
  WriteFile(scratch.Path() / "Blocked.pbo", ArchiveBuilder().Entry("a.txt", "a").Build());
  WriteFile(scratch.Path() / "Blocked", "in the way");
  WriteFile(scratch.Path() / "Mine" / "a.txt", "a");
  fs::create_directories(scratch.Path() / "Empty" / "sub");
  const std::string usage =
      "pbo: usage: pbo -x|-t|-l ARCHIVE.pbo, or pbo -a FOLDER; pbo --help says more\n";
  const std::string help = RunTool(scratch.Path(), {"--help"}).Out;
  EXPECT_EQ(help.rfind("Usage: pbo -x ARCHIVE.pbo ", 0), 0u) << help;
  const std::string islandReport =
      "pbo: maps\\bad.bin: checksum does not match; written as decoded\n"
      "pbo: ..\\evil: its name leads outside the output folder\n"
      "pbo: m\\mission.zem: mission: Unknown class or property: c -0003\n"
      "pbo: a.txt: overwritten by the later entry \\a.txt\n";
  const std::string shortReport = "pbo: b.txt: its data runs past the end of the archive\n";
  const std::string oneOfTwo = "pbo: 1 of 2 entries failed; PBO_VERBOSE=1 names them\n";
  const std::string threeOfSix = "pbo: 3 of 6 entries failed; PBO_VERBOSE=1 names them\n";
  struct Row {
    std::vector<std::string> Arguments;
    int ExitCode;
    std::string Report;           // with PBO_VERBOSE
    std::string AtTerminal = "";  // without it, at a terminal (a refused path: Report)
    std::string Out = "";
  };
  const Row rows[] = {
      {{}, 1, usage, usage},
      {{"-z", "x.pbo"}, 1, usage, usage},
      {{"-x", "a.pbo", "b.pbo"}, 1, usage, usage},  // as from pbo -x *.pbo
      {{"--help"}, 0, "", "", help},
      {{"-h"}, 0, "", "", help},
      {{"-?"}, 0, "", "", help},
      {{"--version"}, 0, "", "", "pbo " PBO_VERSION "\n"},
      {{"-x", "nosuch.pbo"}, 2, "pbo: \"nosuch.pbo\" is not an existing file\n"},
      {{"-x", "Mine"}, 2, "pbo: \"Mine\" is not an existing file\n"},
      {{"-l", "Mine"}, 2, "pbo: \"Mine\" is not an existing file\n"},
      {{"-t", "Mine/a.txt"}, 2, "pbo: \"Mine/a.txt\" is not named *.pbo\n"},
      {{"-a", "Mine/"}, 2, "pbo: \"Mine/\" ends in a separator; name the folder without it\n"},
      {{"-a", "Empty"}, 0, "pbo: \"Empty\" holds no file to pack; no archive written\n", ""},
      {{"-a", "Mine"}, 0, "", ""},
      {{"-x", "Blocked.pbo"},
       3,
       "pbo: a.txt: its file cannot be written: the folder \"Blocked\" cannot be made\n",
       "pbo: 1 of 1 entries failed; PBO_VERBOSE=1 names them\n"},
      {{"-l", "Island.pbo"},
       0,
       "",
       "",
       "Size  Packed  Method   Name\n"
       "   1       1  stored   a.txt\n"
       "   7      10  lzss     maps\\bad.bin\n"
       "   5       9  lzss     r.txt\n"
       "   1       1  stored   ..\\evil\n"
       "  34      34  mission  m\\mission.zem\n"
       "   1       1  stored   /a.txt\n"
       "  49      56           6 entries\n"},
      {{"-t", "Island.pbo"}, 3, islandReport, threeOfSix},
      {{"-x", "Island.pbo"}, 3, islandReport, threeOfSix},
      {{"-l", "Short.pbo"},
       3,
       shortReport,
       oneOfTwo,
       "Version record: \"prefix\" \"x?y\" \"\"\n"
       "Size  Packed  Method   Name\n"
       "   1       1  stored   a.txt\n"
       "   5       5  stored   b.txt  (its data runs past the end of the archive)\n"
       "   6       6           2 entries\n"},
      {{"-t", "Short.pbo"}, 3, shortReport, oneOfTwo},
  };
  for (const Row& row : rows) {
    // A refused path is said at a terminal as it is with PBO_VERBOSE.
    const std::string atTerminal = row.ExitCode == 2 ? row.Report : row.AtTerminal;
    const bool readsOnly =
        row.Arguments.size() == 2 && (row.Arguments[0] == "-l" || row.Arguments[0] == "-t");
    for (const bool verbose : {false, true}) {
      for (const bool terminal : {false, true}) {
        const std::string before = TreeOf(scratch.Path());
        const ToolRun run = RunTool(scratch.Path(), row.Arguments, verbose, "true", terminal);
        const std::string call = ::testing::PrintToString(row.Arguments) +
                                 (verbose ? " verbose" : "") + (terminal ? " at a terminal" : "");
        EXPECT_EQ(run.ExitCode, row.ExitCode) << call;
        EXPECT_EQ(run.Out, row.Out) << call;
        EXPECT_EQ(run.Err, verbose ? row.Report : terminal ? atTerminal : "") << call;
        if (readsOnly) {
          EXPECT_EQ(TreeOf(scratch.Path()), before) << call;
        }
      }
    }
  }
}

// At a terminal a run that lasts over a second shows a status line, rewritten in place and
// erased at the end; through a pipe, nothing. The run is made long by its size: entries are
// added until one test of the archive lasts a second and a half.
TEST(Executable, ShowsProgressAtATerminalOnlyAndErasesIt) {
  ScratchFolder scratch;
  std::vector<std::string> lines;
  for (std::size_t entries = 1 << 18; lines.empty(); entries *= 2) {
    ArchiveBuilder archive;
    for (std::size_t i = 0; i < entries; ++i) archive.Entry(std::to_string(i), "a");
    WriteFile(scratch.Path() / "Big.pbo", archive.Build());
    const auto start = std::chrono::steady_clock::now();
    // On one thread: many threads hand tiny entries to each other at a cost that varies
    // with the machine far more than the size does.
    const ToolRun run =
        RunTool(scratch.Path(), {"-t", "Big.pbo"}, false, "export PBO_THREADS=1", true);
    ASSERT_EQ(run.ExitCode, 0) << run.Err;
    if (std::chrono::steady_clock::now() - start < std::chrono::milliseconds(1500) &&
        entries < (1 << 23)) {
      continue;
    }
    // "\r" before each rewrite, and a last one after the spaces that erase the line.
    ASSERT_EQ(run.Err.substr(0, 6), "\rpbo: ");
    ASSERT_EQ(run.Err.back(), '\r');
    for (std::size_t at = 1, end; at < run.Err.size(); at = end + 1) {
      end = run.Err.find('\r', at);
      lines.push_back(run.Err.substr(at, end - at));
    }
  }
  const std::string erased = lines.back();
  lines.pop_back();
  EXPECT_EQ(erased.find_first_not_of(' '), std::string::npos);
  for (const std::string& line : lines) {
    EXPECT_NE(line.find(" entries, "), std::string::npos) << line;
    EXPECT_EQ(line.rfind("pbo: ", 0), 0u) << line;
    EXPECT_LE(line.find_last_not_of(' ') + 1, erased.size()) << line;
  }
  const ToolRun piped = RunTool(scratch.Path(), {"-t", "Big.pbo"}, false, "export PBO_THREADS=1");
  EXPECT_EQ(piped.ExitCode, 0);
  EXPECT_EQ(piped.Err, "");
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
  std::string line;
  for (const char* mode : {"-x", "-l", "-t"}) {
    const ToolRun run = RunTool(scratch.Path(), {mode, "Broken\nline.pbo"});
    EXPECT_EQ(run.ExitCode, 1) << mode;
    EXPECT_EQ(run.Out, "") << mode;  // -l too lists nothing of a table cut short
    ASSERT_FALSE(run.Err.empty()) << mode;
    EXPECT_EQ(run.Err.rfind("pbo: ", 0), 0u);
    EXPECT_NE(run.Err.find("Broken?line.pbo"), std::string::npos);
    EXPECT_EQ(run.Err.find('\n'), run.Err.size() - 1);
    if (line.empty()) line = run.Err;
    EXPECT_EQ(run.Err, line) << mode;  // the same line for each
  }
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

// Rows: a source folder with a file that cannot be opened, and one with a file whose name
// holds the separator of names inside an archive beside the file it would pack as.
TEST(Executable, SourceThatCannotBePackedIsExitOneWithItsMessageAndKeepsTheOldArchive) {
  ScratchFolder scratch;
  const fs::path source = scratch.Path() / "Island";
  const struct {
    const char* name;
    const char* why;
  } rows[] = {
      {"b.txt", "\". No such file or directory"},
      {"a\\b.txt", "\": its name holds a backslash, the separator of names inside an archive"},
  };
  for (const auto& row : rows) {
    fs::remove_all(source);
    WriteFile(source / "a" / "b.txt", "a");
    if (row.name == std::string("b.txt")) {
      fs::create_symlink("nowhere", source / row.name);
    } else {
      WriteFile(source / row.name, "b");
    }
    WriteFile(scratch.Path() / "Island.pbo", "old");
    const ToolRun run = RunTool(scratch.Path(), {"-a", "Island"});
    EXPECT_EQ(run.ExitCode, 1) << row.name;
    const std::string verb = row.name == std::string("b.txt") ? "Cannot open file" : "Cannot pack";
    EXPECT_EQ(run.Err, "pbo: " + verb + " \"" + (source / row.name).string() + row.why + "\n");
    EXPECT_EQ(ReadFile(scratch.Path() / "Island.pbo"), ToBytes("old")) << row.name;
  }
}
#endif

}  // namespace
}  // namespace pbo
