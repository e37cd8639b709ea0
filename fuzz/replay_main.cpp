// Runs a fuzz target over saved inputs without libFuzzer, so that any compiler can build
// it and CTest can replay the seed corpus on every build.
//
//   fuzz_replay_<target> PATH...   each PATH a file, or a folder whose files are all run
//
// A failed property aborts inside the target; the exit code is 1 when a path cannot be
// read or holds no input at all, so that a misplaced corpus does not pass silently.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <system_error>
#include <vector>

#include "fuzz/fuzz_check.h"

namespace {

namespace fs = std::filesystem;

std::vector<fs::path> InputsUnder(const fs::path& path) {
  std::vector<fs::path> inputs;
  std::error_code error;
  if (fs::is_directory(path, error)) {
    for (const auto& item : fs::directory_iterator(path, error)) {
      if (item.is_regular_file(error)) inputs.push_back(item.path());
    }
    std::sort(inputs.begin(), inputs.end());
  } else if (fs::is_regular_file(path, error)) {
    inputs.push_back(path);
  }
  return inputs;
}

bool Replay(const fs::path& input) {
  std::ifstream in(input, std::ios::binary);
  if (!in) return false;
  // An exactly sized heap block, so that a read one byte past the input is caught by the
  // sanitizers as it would be under libFuzzer.
  const std::vector<char> bytes((std::istreambuf_iterator<char>(in)),
                                std::istreambuf_iterator<char>());
  std::vector<unsigned char> data(bytes.begin(), bytes.end());
  data.shrink_to_fit();
  LLVMFuzzerTestOneInput(data.data(), data.size());
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  std::size_t replayed = 0;
  for (int i = 1; i < argc; ++i) {
    for (const fs::path& input : InputsUnder(argv[i])) {
      if (!Replay(input)) {
        std::fprintf(stderr, "cannot read %s\n", input.string().c_str());
        return 1;
      }
      ++replayed;
    }
  }
  std::printf("%zu inputs replayed\n", replayed);
  return replayed == 0 ? 1 : 0;
}
