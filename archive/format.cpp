#include "archive/format.h"

#include <algorithm>
#include <cstring>

#include "platform/platform.h"

namespace pbo {
namespace {

// The first eight bytes of an archive that opens with a version record.
constexpr std::uint8_t kVersionMarker[8] = {0x00, 0x73, 0x72, 0x65, 0x56, 0x00, 0x00, 0x00};
constexpr std::size_t kVersionRecordSize = 21;
constexpr int kVersionStrings = 3;
// A header record's five numbers: packing method, original size, reserved, time stamp and
// data size.
constexpr std::size_t kRecordNumbersSize = 20;
// The table is read this much at a time: it is not known how long it is before its
// terminator has been read.
constexpr std::size_t kWindowSize = 64 << 10;

// A cursor over the archive's table that refuses to leave the archive. It holds one
// window of the archive at a time.
class TableReader {
 public:
  TableReader(std::uint64_t archiveSize, const ArchiveReader& read, const std::string& archivePath)
      : size_(archiveSize), read_(read), archivePath_(archivePath) {}

  std::uint64_t Position() const { return position_; }

  bool StartsWith(const std::uint8_t* bytes, std::size_t count) {
    if (size_ < count) return false;
    std::vector<std::uint8_t> first(count);
    read_(0, first.data(), count);
    return std::memcmp(first.data(), bytes, count) == 0;
  }

  void Skip(std::size_t count, const char* what) {
    Require(count, what);
    position_ += count;
  }

  // The bytes up to the next zero byte; the cursor moves past that zero byte.
  std::string ZeroTerminated(const char* what) {
    const std::uint64_t start = position_;
    std::string text;
    while (position_ < size_) {
      const std::uint8_t* at = WindowAt(position_);
      const std::size_t inWindow = static_cast<std::size_t>(windowEnd() - position_);
      const void* zero = std::memchr(at, 0, inWindow);
      const std::size_t length =
          zero == nullptr ? inWindow
                          : static_cast<std::size_t>(static_cast<const std::uint8_t*>(zero) - at);
      text.append(reinterpret_cast<const char*>(at), length);
      position_ += length;
      if (zero != nullptr) {
        ++position_;
        return text;
      }
    }
    position_ = start;
    Fail(what);
  }

  std::uint32_t Le32() {
    Require(4, "header record cut short");
    std::uint8_t bytes[4];
    for (std::uint8_t& byte : bytes) byte = *WindowAt(position_++);
    return bytes::LoadLe32(bytes);
  }

 private:
  std::uint64_t windowEnd() const { return windowStart_ + window_.size(); }

  // The byte at offset (which lies inside the archive), in the window; the window moves
  // there when it does not hold it.
  const std::uint8_t* WindowAt(std::uint64_t offset) {
    if (offset < windowStart_ || offset >= windowEnd()) {
      window_.resize(
          static_cast<std::size_t>(std::min<std::uint64_t>(kWindowSize, size_ - offset)));
      read_(offset, window_.data(), window_.size());
      windowStart_ = offset;
    }
    return window_.data() + (offset - windowStart_);
  }

  void Require(std::size_t count, const char* what) const {
    if (size_ - position_ < count) Fail(what);
  }
  [[noreturn]] void Fail(const char* what) const {
    throw FatalError("\"" + archivePath_ + "\": " + what + " at offset " +
                     std::to_string(position_) + "; the archive is damaged");
  }

  const std::uint64_t size_;
  const ArchiveReader& read_;
  const std::string& archivePath_;
  std::uint64_t position_ = 0;
  std::vector<std::uint8_t> window_;
  std::uint64_t windowStart_ = 0;
};

}  // namespace

FatalError CannotOpenFile(const std::string& path, const std::string& reason) {
  return FatalError("Cannot open file \"" + platform::AbsolutePath(path) + "\". " + reason);
}

std::string ToBackslashes(std::string name) {
  for (char& c : name) {
    if (c == '/') c = '\\';
  }
  return name;
}

std::uint64_t VisitEntryTable(std::uint64_t archiveSize, const ArchiveReader& read,
                              const std::string& archivePath,
                              const std::function<void(TFileHeaders&&)>& visit,
                              std::vector<std::string>* versionStrings) {
  TableReader reader(archiveSize, read, archivePath);
  if (reader.StartsWith(kVersionMarker, sizeof kVersionMarker)) {
    reader.Skip(kVersionRecordSize, "version record cut short");
    std::vector<std::string> strings;
    for (int i = 0; i < kVersionStrings; ++i) {
      strings.push_back(reader.ZeroTerminated("version string without its zero byte"));
    }
    if (versionStrings != nullptr) *versionStrings = std::move(strings);
  }
  for (;;) {
    TFileHeaders record;
    record.RelativeName = reader.ZeroTerminated("entry name without its zero byte");
    record.PackingMethod = reader.Le32();
    record.OriginalSize = static_cast<std::int32_t>(reader.Le32());
    reader.Le32();  // reserved
    reader.Le32();  // time stamp
    record.DataSize = static_cast<std::int32_t>(reader.Le32());
    const bool terminator = record.RelativeName.empty();
    visit(std::move(record));
    if (terminator) return reader.Position();
  }
}

std::uint64_t ReadEntryTable(std::uint64_t archiveSize, const ArchiveReader& read,
                             const std::string& archivePath, std::vector<TFileHeaders>& table) {
  return VisitEntryTable(archiveSize, read, archivePath, [&table](TFileHeaders&& record) {
    record.RelativeName = ToBackslashes(std::move(record.RelativeName));
    table.push_back(std::move(record));
  });
}

std::uint64_t ReadEntryTable(const TByteFile& archive, const std::string& archivePath,
                             std::vector<TFileHeaders>& table) {
  const ArchiveReader read = [&archive](std::uint64_t offset, std::uint8_t* out, std::size_t size) {
    std::memcpy(out, archive.data() + offset, size);
  };
  return ReadEntryTable(archive.size(), read, archivePath, table);
}

std::uint64_t HeaderTableSize(const std::vector<TFileHeaders>& entries) {
  std::uint64_t size = 1 + kRecordNumbersSize;  // the terminator
  for (const TFileHeaders& entry : entries) {
    size += entry.RelativeName.size() + 1 + kRecordNumbersSize;
  }
  return size;
}

void AppendHeaderRecord(TByteFile& area, const std::string& name, std::uint32_t packingMethod,
                        std::uint32_t originalSize, std::uint32_t dataSize) {
  area.insert(area.end(), name.begin(), name.end());
  area.push_back(0);
  AppendLe32(area, packingMethod);
  AppendLe32(area, originalSize);
  AppendLe32(area, 0);  // reserved
  AppendLe32(area, 0);  // time stamp
  AppendLe32(area, dataSize);
}

bool IsBinarizedMission(const TFileHeaders& entry, const std::uint8_t* start) {
  constexpr std::uint8_t kSignature[kMissionSignatureSize] = {0x00, 0x72, 0x61, 0x50, 0x04,
                                                              0x00, 0x00, 0x00, 0x00};
  constexpr std::int32_t kMinimumSize = 10;
  return entry.PackingMethod != kCompressedMethod && entry.DataSize >= kMinimumSize &&
         start != nullptr && std::memcmp(start, kSignature, sizeof kSignature) == 0 &&
         IsMissionName(entry.RelativeName);
}

bool IsMissionName(const std::string& relativeName) {
  return platform::UpperCaseAscii(platform::EntryFileName(relativeName)) == "MISSION.ZEM";
}

void AppendTerminator(TByteFile& area) {
  AppendHeaderRecord(area, std::string(), kCompressedMethod, 0, 0);
}

}  // namespace pbo
