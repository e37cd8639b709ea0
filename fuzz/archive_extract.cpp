// Fuzz target: the bytes as an archive, listed, tested and extracted with ExtractArchive
// into an output folder where traps were left earlier.
//
// Layout of the scratch folder, made once per process under the system's temporary
// folder and rebuilt before every input:
//   <scratch>/Island.pbo          the input
//   <scratch>/decoy/              outside the output folder; must stay empty
//   <scratch>/box/Island/         OutputFolder, holding the traps:
//     l -> ../../decoy            a link to a folder outside
//     f -> ../../decoy/f          a link to a file outside, not there yet
//     d/l -> ../../../decoy       a link one folder down
//     p                           a FIFO (POSIX), which must not hold a write forever
// Seeds name these (l\x, f, d\l\x, p) so that the fuzzer starts from them.
// Properties:
//   - a table that cannot be read is refused with FatalError before anything is written;
//     otherwise the result code is 0 or 3 and no other exception escapes;
//   - nothing is written beside the output folder or through a trap: <scratch> holds only
//     Island.pbo (unchanged), box and an empty decoy, and box only Island;
//   - the traps are as they were, and they are the only links below the output folder;
//   - listing and testing first change nothing there, refuse the same tables, and fail no
//     more entries than extraction does (listing no more than testing).
// Inputs of odd length are extracted with every entry over 64 bytes taken down the stretch
// road, in reads of 7 bytes and stretches of 100, so that it meets hostile archives too.
#ifndef _WIN32
#include <sys/stat.h>
#endif

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <random>
#include <string>
#include <system_error>
#include <vector>

#include "archive/archive.h"
#include "archive/extract.h"
#include "fuzz/fuzz_check.h"
#include "lzss/lzss_internal.h"

namespace {

namespace fs = std::filesystem;

// A folder of this process's own, removed when the process ends normally (a failed
// property leaves it for a look).
class ScratchFolder {
 public:
  ScratchFolder() {
    std::random_device seed;
    do {
      path_ = fs::temp_directory_path() / ("pbo-fuzz-extract-" + std::to_string(seed()));
    } while (!fs::create_directory(path_));
  }
  ~ScratchFolder() {
    std::error_code ignored;
    fs::remove_all(path_, ignored);
  }
  const fs::path& Path() const { return path_; }

 private:
  fs::path path_;
};

const fs::path& Scratch() {
  static const ScratchFolder scratch;
  return scratch.Path();
}

// Removes everything in folder, making what extraction may have left unwritable writable.
void Empty(const fs::path& folder) {
  std::error_code error;
  for (const auto& item : fs::directory_iterator(folder, error)) fs::remove_all(item.path(), error);
  FUZZ_CHECK(fs::is_empty(folder, error));
}

std::vector<std::string> NamesIn(const fs::path& folder) {
  std::vector<std::string> names;
  std::error_code error;
  for (const auto& item : fs::directory_iterator(folder, error)) {
    names.push_back(item.path().filename().string());
  }
  return names;
}

bool SameBytes(const fs::path& path, const unsigned char* data, std::size_t size) {
  std::ifstream in(path, std::ios::binary);
  const std::vector<char> bytes((std::istreambuf_iterator<char>(in)),
                                std::istreambuf_iterator<char>());
  return bytes.size() == size && (size == 0 || std::memcmp(bytes.data(), data, size) == 0);
}

struct Trap {
  const char* Name;    // below the output folder
  const char* Target;  // a link's target; nullptr for the FIFO
};
constexpr Trap kTraps[] = {
    {"l", "../../decoy"}, {"f", "../../decoy/f"}, {"d/l", "../../../decoy"}, {"p", nullptr}};

bool TrapIntact(const fs::path& output, const Trap& trap) {
  std::error_code error;
  const fs::path path = output / trap.Name;
  if (trap.Target == nullptr) return fs::is_fifo(fs::symlink_status(path, error));
  return fs::is_symlink(fs::symlink_status(path, error)) &&
         fs::read_symlink(path, error) == fs::path(trap.Target);
}

// Makes the traps that the platform allows: links may need a privilege on Windows, and
// Wine may make something else in their place, which is taken away again.
std::vector<const Trap*> LayTraps(const fs::path& output) {
  std::vector<const Trap*> laid;
  std::error_code error;
  fs::create_directories(output / "d", error);
  for (const Trap& trap : kTraps) {
    const fs::path path = output / trap.Name;
    if (trap.Target != nullptr) fs::create_symlink(trap.Target, path, error);
#ifndef _WIN32
    if (trap.Target == nullptr) ::mkfifo(path.c_str(), 0600);
#endif
    if (TrapIntact(output, trap)) {
      laid.push_back(&trap);
    } else {
      fs::remove_all(path, error);
    }
  }
  return laid;
}

// Counts the symbolic links below folder. The walk is the library's own (a heap stack),
// and does not follow links, so it cannot leave folder.
std::size_t LinksBelow(const fs::path& folder) {
  std::size_t links = 0;
  std::error_code error;
  fs::recursive_directory_iterator it(folder, error);
  for (; !error && it != fs::recursive_directory_iterator(); it.increment(error)) {
    links += it->is_symlink(error);
  }
  FUZZ_CHECK(!error);
  return links;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, std::size_t size) {
  const bool stretches = size % 2 == 1;
  pbo::ExtractionLimits limits;
  if (stretches) limits.WholeEntryLimit = 64;
  pbo::SetExtractionLimitsForTests(limits);
  pbo::lzss::SetStreamPieceSizes(stretches ? 7 : 0, stretches ? 100 : 0);
  const fs::path& scratch = Scratch();
  Empty(scratch);
  const fs::path archive = scratch / "Island.pbo";
  const fs::path decoy = scratch / "decoy";
  const fs::path box = scratch / "box";
  const fs::path output = box / "Island";
  {
    std::ofstream out(archive, std::ios::binary);
    out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    FUZZ_CHECK(out.good());
  }
  fs::create_directory(decoy);
  fs::create_directories(output);
  const std::vector<const Trap*> traps = LayTraps(output);

  // Nothing new: the folder d and the traps laid, at the top and in d.
  const auto checkNothingNew = [&] {
    std::size_t inD = 0;
    for (const Trap* trap : traps) inD += std::strchr(trap->Name, '/') != nullptr;
    FUZZ_CHECK(NamesIn(output).size() == 1 + traps.size() - inD);
    FUZZ_CHECK(NamesIn(output / "d").size() == inD);
  };
  const auto refusedBy = [](const std::function<void()>& mode) {
    try {
      mode();
    } catch (const pbo::FatalError&) {
      return true;
    }
    return false;
  };

  pbo::RunState run;
  run.ModeLetter = "X";
  run.InputPath = archive.string();
  run.OutputFolder = output.string() + static_cast<char>(fs::path::preferred_separator);
  pbo::RunState test;
  test.InputPath = run.InputPath;
  test.OutputFolder = run.OutputFolder;
  test.TouchNoDisk = true;
  const bool testRefused = refusedBy([&] { pbo::ExtractArchive(test); });
  pbo::RunState list;
  list.InputPath = run.InputPath;
#ifdef _WIN32
  std::FILE* nowhere = std::fopen("NUL", "w");
#else
  std::FILE* nowhere = std::fopen("/dev/null", "w");
#endif
  FUZZ_CHECK(nowhere != nullptr);
  const bool listRefused = refusedBy([&] { pbo::ListArchive(list, nowhere); });
  std::fclose(nowhere);
  checkNothingNew();
  const bool refused = refusedBy([&] { pbo::ExtractArchive(run); });
  FUZZ_CHECK(testRefused == refused && listRefused == refused);

  if (refused) {
    checkNothingNew();
  } else {
    FUZZ_CHECK(list.FailedEntries <= test.FailedEntries);
    FUZZ_CHECK(test.FailedEntries <= run.FailedEntries);
    FUZZ_CHECK((test.ResultCode == pbo::kEntryFailed) <= (run.ResultCode == pbo::kEntryFailed));
    FUZZ_CHECK(run.ResultCode == pbo::kRunCompleted || run.ResultCode == pbo::kEntryFailed);
  }
  FUZZ_CHECK(NamesIn(scratch).size() == 3);
  FUZZ_CHECK(NamesIn(box).size() == 1);
  FUZZ_CHECK(NamesIn(decoy).empty());
  std::size_t links = 0;
  for (const Trap* trap : traps) {
    FUZZ_CHECK(TrapIntact(output, *trap));
    links += trap->Target != nullptr;
  }
  FUZZ_CHECK(LinksBelow(output) == links);
  FUZZ_CHECK(SameBytes(archive, data, size));
  return 0;
}
