// Helpers shared by the tests that touch the disk: a scratch folder that cleans up after
// itself, whole-file helpers, and a builder for archives made byte by byte.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

namespace pbo::testing {

using Bytes = std::vector<std::uint8_t>;

// The worker threads the tests run the archive modes with: PBO_THREADS, as the tool reads
// it (CTest runs the archive and extraction suites once with 1 and once with 8), or the
// machine's hardware threads when it is unset.
inline unsigned TestThreads() {
  const char* value = std::getenv("PBO_THREADS");
  const int threads = value != nullptr ? std::atoi(value) : 0;
  return threads > 0 ? static_cast<unsigned>(threads)
                     : std::max(1u, std::thread::hardware_concurrency());
}

inline Bytes ToBytes(const std::string& text) { return Bytes(text.begin(), text.end()); }

// A fresh, empty folder under the system's temporary folder, removed with everything in it
// when the object goes away.
class ScratchFolder {
 public:
  ScratchFolder() {
    std::random_device seed;
    const auto base = std::filesystem::temp_directory_path();
    do {
      path_ = base / ("pbo-test-" + std::to_string(seed()));
    } while (!std::filesystem::create_directory(path_));
  }
  ~ScratchFolder() {
    std::error_code ignored;
    std::filesystem::permissions(path_, std::filesystem::perms::owner_all,
                                 std::filesystem::perm_options::add, ignored);
    std::filesystem::remove_all(path_, ignored);
  }
  ScratchFolder(const ScratchFolder&) = delete;
  ScratchFolder& operator=(const ScratchFolder&) = delete;

  const std::filesystem::path& Path() const { return path_; }
  std::string operator/(const std::string& relative) const { return (path_ / relative).string(); }

 private:
  std::filesystem::path path_;
};

inline void WriteFile(const std::filesystem::path& path, const Bytes& bytes) {
  std::filesystem::create_directories(path.parent_path());
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

inline void WriteFile(const std::filesystem::path& path, const std::string& text) {
  WriteFile(path, ToBytes(text));
}

inline Bytes ReadFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void AppendLe32(Bytes& out, std::uint32_t value) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
}

// Builds an archive: header records in the order added, the terminator, then the blocks.
class ArchiveBuilder {
 public:
  static constexpr std::uint32_t kCompressed = 0x43707273;

  // An entry whose header states the given numbers and whose block is `block`.
  ArchiveBuilder& Entry(const std::string& name, const Bytes& block, std::uint32_t method = 0,
                        std::uint32_t originalSize = 0) {
    return Record(name, method, originalSize, static_cast<std::uint32_t>(block.size()), block);
  }
  ArchiveBuilder& Entry(const std::string& name, const std::string& block) {
    return Entry(name, ToBytes(block));
  }
  // A record whose data size need not match its block (for damaged archives).
  ArchiveBuilder& Record(const std::string& name, std::uint32_t method, std::uint32_t originalSize,
                         std::uint32_t dataSize, const Bytes& block) {
    headers_.insert(headers_.end(), name.begin(), name.end());
    headers_.push_back(0);
    AppendLe32(headers_, method);
    AppendLe32(headers_, originalSize);
    AppendLe32(headers_, 0);  // reserved
    AppendLe32(headers_, 0);  // time stamp
    AppendLe32(headers_, dataSize);
    data_.insert(data_.end(), block.begin(), block.end());
    return *this;
  }
  // Opens the archive with a version record and its three strings.
  ArchiveBuilder& VersionRecord(const std::vector<std::string>& strings) {
    const std::uint8_t record[21] = {0x00, 0x73, 0x72, 0x65, 0x56};
    prefix_.assign(record, record + sizeof record);
    for (const std::string& s : strings) {
      prefix_.insert(prefix_.end(), s.begin(), s.end());
      prefix_.push_back(0);
    }
    return *this;
  }
  Bytes Build() const {
    Bytes archive = prefix_;
    archive.insert(archive.end(), headers_.begin(), headers_.end());
    archive.push_back(0);  // terminator: empty name
    AppendLe32(archive, kCompressed);
    for (int i = 0; i < 4; ++i) AppendLe32(archive, 0);
    archive.insert(archive.end(), data_.begin(), data_.end());
    return archive;
  }

 private:
  Bytes prefix_;
  Bytes headers_;
  Bytes data_;
};

}  // namespace pbo::testing
