#include "frontend/frontend.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <optional>
#include <thread>

#include "archive/archive.h"
#include "frontend/progress.h"
#include "platform/platform.h"

namespace pbo {
namespace {

constexpr const char* kUsageLine =
    "usage: pbo -x|-t|-l ARCHIVE.pbo, or pbo -a FOLDER; pbo --help says more";

// What --help prints: the calls, the environment and the exit codes.
constexpr const char* kHelp =
    "Usage: pbo -x ARCHIVE.pbo   write every entry into the folder ARCHIVE beside it\n"
    "       pbo -a FOLDER        pack FOLDER into FOLDER.pbo beside it\n"
    "       pbo -l ARCHIVE.pbo   list the entries: sizes, how each is held, names\n"
    "       pbo -t ARCHIVE.pbo   test every entry as -x would, writing nothing\n"
    "       pbo --help | --version\n"
    "Only the switch's second character counts, in any case: -x, -X and /x extract.\n"
    "Environment:\n"
    "  PBO_THREADS=N  worker threads (default: as many as the machine runs at once)\n"
    "  PBO_VERBOSE=1  name on standard error each thing that decides the exit code\n"
    "Exit codes: 0 done; 1 a bad call, or an error that ends the run (its line says\n"
    "  which); 2 a bad path, or the archive cannot be written; 3 an entry failed\n"
    "  (-l: its data runs past the end of the archive).\n";

// Only the switch's second character counts: -x, /X and -xyz all select extract mode.
std::string ModeLetterOf(const std::string& modeSwitch) {
  return modeSwitch.size() < 2 ? std::string()
                               : std::string(1, platform::UpperCaseAscii(modeSwitch[1]));
}

bool HasArchiveExtension(const std::string& path) {
  const std::string fileName = path.substr(platform::FolderPartLength(path));
  return platform::UpperCaseAscii(platform::ExtensionOf(fileName)) == ".PBO";
}

// The folder beside the archive that bears its name: "maps/Island.pbo" gives "maps/Island/",
// a bare "Island.pbo" gives "Island/" in the current folder. An archive named just ".pbo"
// extracts into the folder that holds it.
std::string OutputFolderFor(const std::string& archivePath) {
  const std::size_t fileName = platform::FolderPartLength(archivePath);
  std::string folder = archivePath.substr(0, archivePath.size() - 4);
  if (folder.size() == fileName) folder += '.';
  return folder + platform::kSeparator;
}

// Ends a bad call or a refused path: its code, and why.
int Refuse(RunState& run, int code, const std::string& why) {
  run.Fail(code, why);
  return code;
}

std::string Quoted(const std::string& path) { return "\"" + path + "\""; }

// The path of -x, -t and -l: an existing file named *.pbo (any case); 0 when it is one.
int CheckArchivePath(RunState& run, const std::string& path) {
  run.InputPath = path;
  if (platform::KindOf(path) != platform::PathKind::File) {
    return Refuse(run, kBadPathOrNoWrite, Quoted(path) + " is not an existing file");
  }
  if (!HasArchiveExtension(path)) {
    return Refuse(run, kBadPathOrNoWrite, Quoted(path) + " is not named *.pbo");
  }
  return kRunCompleted;
}

// -x, and -t, which extracts the same way but writes nothing.
int Extract(RunState& run, const std::string& path, bool touchNoDisk) {
  if (CheckArchivePath(run, path) != kRunCompleted) return run.ResultCode;
  run.OutputFolder = OutputFolderFor(path);
  run.TouchNoDisk = touchNoDisk;
  ExtractArchive(run);
  return run.ResultCode;
}

int List(RunState& run, const std::string& path) {
  if (CheckArchivePath(run, path) != kRunCompleted) return run.ResultCode;
  ListArchive(run, stdout);
  return run.ResultCode;
}

int Archive(RunState& run, const std::string& path) {
  run.InputPath = path;
  run.SourceFolder = path;
  if (platform::KindOf(path) != platform::PathKind::Folder) {
    return Refuse(run, kBadPathOrNoWrite, Quoted(path) + " is not an existing folder");
  }
  if (platform::FolderPartLength(path) == path.size()) {
    return Refuse(run, kBadPathOrNoWrite,
                  Quoted(path) + " ends in a separator; name the folder without it");
  }
  run.OutputArchive = path + ".pbo";
  CreateArchive(run);
  return run.ResultCode;
}

// Help and version. Throws FatalError when standard output does not take the text.
int Print(const std::string& text) {
  if (std::fwrite(text.data(), 1, text.size(), stdout) != text.size() || std::fflush(stdout) != 0) {
    if (errno == EPIPE) throw FatalError("");  // its reader is gone: nothing to say
    throw FatalError(std::string("Cannot write to standard output. ") + std::strerror(errno));
  }
  return kRunCompleted;
}

// PBO_THREADS=N runs N worker threads (1: everything on one thread; leading zeros are
// allowed). Unset, or anything but a whole number from 1 up: as many as the machine runs
// at once.
unsigned ThreadsFromEnvironment() {
  constexpr unsigned long kMostThreads = 256;
  const char* value = std::getenv("PBO_THREADS");
  if (value != nullptr && *value != '\0' &&
      std::strspn(value, "0123456789") == std::strlen(value)) {
    // Past the range of unsigned long, strtoul gives its largest value, and so the most.
    const unsigned long threads = std::strtoul(value, nullptr, 10);
    if (threads >= 1) return static_cast<unsigned>(std::min(threads, kMostThreads));
  }
  return std::max(1u, std::thread::hardware_concurrency());
}

// PBO_VERBOSE set to anything but empty or 0 asks for the report on standard error.
bool VerboseFromEnvironment() {
  const char* value = std::getenv("PBO_VERBOSE");
  return value != nullptr && *value != '\0' && std::strcmp(value, "0") != 0;
}

// Runs the mode the arguments select. With watched set, a mode that may take long shows
// the progress line while it runs.
int RunMode(RunState& run, const std::vector<std::string>& arguments, bool watched) {
  if (arguments.size() == 1) {
    const std::string& option = arguments[0];
    if (option == "--help" || option == "-h" || option == "-?") return Print(kHelp);
    if (option == "--version") return Print("pbo " PBO_VERSION "\n");
  }
  if (arguments.size() == 2) {
    run.ModeLetter = ModeLetterOf(arguments[0]);
    const std::string& path = arguments[1];
    // Listing is as quick as reading the table, and its lines go to standard output.
    std::optional<ProgressLine> progress;
    if (watched && (run.ModeLetter == "X" || run.ModeLetter == "T" || run.ModeLetter == "A")) {
      progress.emplace(run);
    }
    if (run.ModeLetter == "X") return Extract(run, path, false);
    if (run.ModeLetter == "T") return Extract(run, path, true);
    if (run.ModeLetter == "L") return List(run, path);
    if (run.ModeLetter == "A") return Archive(run, path);
  }
  return Refuse(run, kBadCallOrFatal, kUsageLine);
}

// At a terminal a run that failed says why in one line, where a script reads the exit
// code: the usage line, why the path was refused or the archive not written, or how many
// entries failed. With PBO_VERBOSE the report has said it already.
void SayWhy(const RunState& run, int code) {
  if (code == kEntryFailed) {
    platform::ReportError(std::to_string(run.FailedEntries) + " of " +
                          std::to_string(run.Progress.EntriesTotal) +
                          " entries failed; PBO_VERBOSE=1 names them");
  } else if (code != kRunCompleted && !run.FirstFailure.empty()) {
    platform::ReportError(run.FirstFailure);
  }
}

}  // namespace

int Run(const std::vector<std::string>& arguments) {
  RunState run;
  run.Threads = ThreadsFromEnvironment();
  run.Verbose = VerboseFromEnvironment();
  const bool atTerminal = platform::StandardErrorIsTerminal();
  try {
    const int code = RunMode(run, arguments, atTerminal);
    if (atTerminal && !run.Verbose) SayWhy(run, code);
    return code;
  } catch (const FatalError& error) {
    if (*error.what() != '\0') platform::ReportError(error.what());
  } catch (const std::bad_alloc&) {
    platform::ReportError("Out of memory");
  } catch (const std::exception& error) {
    platform::ReportError(error.what());
  }
  return kBadCallOrFatal;
}

}  // namespace pbo
