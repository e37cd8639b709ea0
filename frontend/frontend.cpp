#include "frontend/frontend.h"

#include <new>

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

int Extract(RunState& run, const std::string& path) {
  run.InputPath = path;
  if (platform::KindOf(path) != platform::PathKind::File) return kBadPathOrNoWrite;
  if (!HasArchiveExtension(path)) return kBadPathOrNoWrite;
  run.OutputFolder = OutputFolderFor(path);
  ExtractArchive(run);
  return run.ResultCode;
}

int Archive(RunState& run, const std::string& path) {
  run.InputPath = path;
  run.SourceFolder = path;
  if (platform::KindOf(path) != platform::PathKind::Folder) return kBadPathOrNoWrite;
  if (platform::FolderPartLength(path) == path.size()) return kBadPathOrNoWrite;
  run.OutputArchive = path + ".pbo";
  CreateArchive(run);
  return run.ResultCode;
}

int RunMode(const std::vector<std::string>& arguments) {
  if (arguments.size() != 2) return kBadCallOrFatal;
  RunState run;
  run.ModeLetter = ModeLetterOf(arguments[0]);
  if (run.ModeLetter == "X") return Extract(run, arguments[1]);
  if (run.ModeLetter == "A") return Archive(run, arguments[1]);
  return kBadCallOrFatal;
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
