#include "frontend/frontend.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>
#include <thread>

#include "archive/archive.h"
#include "platform/platform.h"

namespace pbo {
namespace {

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

// Ends a bad call or a refused path: its code, and with PBO_VERBOSE its reason.
int Refuse(const RunState& run, int code, const std::string& why) {
  run.Report(why);
  return code;
}

std::string Quoted(const std::string& path) { return "\"" + path + "\""; }

int Extract(RunState& run, const std::string& path) {
  run.InputPath = path;
  if (platform::KindOf(path) != platform::PathKind::File) {
    return Refuse(run, kBadPathOrNoWrite, Quoted(path) + " is not an existing file");
  }
  if (!HasArchiveExtension(path)) {
    return Refuse(run, kBadPathOrNoWrite, Quoted(path) + " is not named *.pbo");
  }
  run.OutputFolder = OutputFolderFor(path);
  ExtractArchive(run);
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

// PBO_THREADS=N runs N worker threads (1: everything on one thread). Unset, or anything
// but a whole number from 1 up: as many as the machine runs at once.
unsigned ThreadsFromEnvironment() {
  constexpr unsigned long kMostThreads = 256;
  const char* value = std::getenv("PBO_THREADS");
  if (value != nullptr && *value >= '1' && *value <= '9' &&
      std::strspn(value, "0123456789") == std::strlen(value)) {
    return static_cast<unsigned>(std::min(std::strtoul(value, nullptr, 10), kMostThreads));
  }
  return std::max(1u, std::thread::hardware_concurrency());
}

// PBO_VERBOSE set to anything but empty or 0 asks for the report on standard error.
bool VerboseFromEnvironment() {
  const char* value = std::getenv("PBO_VERBOSE");
  return value != nullptr && *value != '\0' && std::strcmp(value, "0") != 0;
}

int RunMode(const std::vector<std::string>& arguments) {
  RunState run;
  run.Threads = ThreadsFromEnvironment();
  run.Verbose = VerboseFromEnvironment();
  if (arguments.size() == 2) {
    run.ModeLetter = ModeLetterOf(arguments[0]);
    if (run.ModeLetter == "X") return Extract(run, arguments[1]);
    if (run.ModeLetter == "A") return Archive(run, arguments[1]);
  }
  return Refuse(run, kBadCallOrFatal, "usage: pbo -x ARCHIVE.pbo, or pbo -a FOLDER");
}

}  // namespace

int Run(const std::vector<std::string>& arguments) {
  try {
    return RunMode(arguments);
  } catch (const FatalError& error) {
    platform::ReportError(error.what());
  } catch (const std::bad_alloc&) {
    platform::ReportError("Out of memory");
  } catch (const std::exception& error) {
    platform::ReportError(error.what());
  }
  return kBadCallOrFatal;
}

}  // namespace pbo
