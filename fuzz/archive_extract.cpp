// Fuzz target: the bytes as an archive, extracted with ExtractArchive.
//
// Layout of the scratch folder, made once per process under the system's temporary
// folder and emptied before every input:
//   <scratch>/Island.pbo     the input
//   <scratch>/box/Island/    OutputFolder
// Properties:
//   - a table that cannot be read is refused with FatalError before anything is written;
//     otherwise the result code is 0 or 3 and no other exception escapes;
//   - nothing is written beside the output folder: <scratch> still holds only Island.pbo
//     (unchanged) and box, and box only Island;
//   - nothing below the output folder is a symbolic link (extraction makes none, and
//     never writes through one).
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <system_error>
#include <vector>

#include "archive/archive.h"
#include "fuzz/fuzz_check.h"

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

// No symbolic link anywhere below folder. The walk is the library's own (a heap stack),
// and does not follow links, so it cannot leave folder.
bool HoldsNoLink(const fs::path& folder) {
  std::error_code error;
  fs::recursive_directory_iterator it(folder, error);
  for (; !error && it != fs::recursive_directory_iterator(); it.increment(error)) {
    if (it->is_symlink(error)) return false;
  }
  return !error;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, std::size_t size) {
  const fs::path& scratch = Scratch();
  Empty(scratch);
  const fs::path archive = scratch / "Island.pbo";
  const fs::path box = scratch / "box";
  {
    std::ofstream out(archive, std::ios::binary);
    out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    FUZZ_CHECK(out.good());
  }
  fs::create_directory(box);

  pbo::RunState run;
  run.ModeLetter = "X";
  run.InputPath = archive.string();
  run.OutputFolder = (box / "Island").string() + static_cast<char>(fs::path::preferred_separator);
  bool refused = false;
  try {
    pbo::ExtractArchive(run);
  } catch (const pbo::FatalError&) {
    refused = true;
  }

  if (refused) {
    FUZZ_CHECK(NamesIn(box).empty());
  } else {
    FUZZ_CHECK(run.ResultCode == pbo::kRunCompleted || run.ResultCode == pbo::kEntryFailed);
    const std::vector<std::string> inBox = NamesIn(box);
    FUZZ_CHECK(inBox.empty() || (inBox.size() == 1 && inBox[0] == "Island"));
    FUZZ_CHECK(HoldsNoLink(box));
  }
  const std::vector<std::string> inScratch = NamesIn(scratch);
  FUZZ_CHECK(inScratch.size() == 2);
  FUZZ_CHECK(SameBytes(archive, data, size));
  return 0;
}
