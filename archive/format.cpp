#include "archive/format.h"

#include <cstring>

#include "platform/platform.h"

namespace pbo {
namespace {

// The first eight bytes of an archive that opens with a version record.
constexpr std::uint8_t kVersionMarker[8] = {0x00, 0x73, 0x72, 0x65, 0x56, 0x00, 0x00, 0x00};
constexpr std::size_t kVersionRecordSize = 21;
constexpr int kVersionStrings = 3;

// A cursor over the archive's table that refuses to leave the buffer.
class TableReader {
 public:
  TableReader(const TByteFile& archive, const std::string& archivePath)
      : archive_(archive), archivePath_(archivePath) {}

  std::size_t Position() const { return position_; }

  bool StartsWith(const std::uint8_t* bytes, std::size_t count) const {
    return archive_.size() >= count && std::memcmp(archive_.data(), bytes, count) == 0;
  }

  void Skip(std::size_t count, const char* what) {
    Require(count, what);
    position_ += count;
  }

  // The bytes up to the next zero byte; the cursor moves past that zero byte.
  std::string ZeroTerminated(const char* what) {
    if (position_ >= archive_.size()) Fail(what);
    const std::uint8_t* start = archive_.data() + position_;
    const void* zero = std::memchr(start, 0, archive_.size() - position_);
    if (zero == nullptr) Fail(what);
    const std::size_t length = static_cast<const std::uint8_t*>(zero) - start;
    position_ += length + 1;
    return std::string(reinterpret_cast<const char*>(start), length);
  }

  std::uint32_t Le32() {
    Require(4, "header record cut short");
    const std::uint32_t value = bytes::LoadLe32(archive_.data() + position_);
    position_ += 4;
    return value;
  }

 private:
  void Require(std::size_t count, const char* what) const {
    if (archive_.size() - position_ < count) Fail(what);
  }
  [[noreturn]] void Fail(const char* what) const {
    throw FatalError("\"" + archivePath_ + "\": " + what + " at offset " +
                     std::to_string(position_) + "; the archive is damaged");
  }

  const TByteFile& archive_;
  const std::string& archivePath_;
  std::size_t position_ = 0;
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

std::size_t ReadEntryTable(const TByteFile& archive, const std::string& archivePath,
                           std::vector<TFileHeaders>& table) {
  TableReader reader(archive, archivePath);
  if (reader.StartsWith(kVersionMarker, sizeof kVersionMarker)) {
    reader.Skip(kVersionRecordSize, "version record cut short");
    for (int i = 0; i < kVersionStrings; ++i) {
      reader.ZeroTerminated("version string without its zero byte");
    }
  }
  for (;;) {
    TFileHeaders record;
    record.RelativeName = ToBackslashes(reader.ZeroTerminated("entry name without its zero byte"));
    record.PackingMethod = reader.Le32();
    record.OriginalSize = static_cast<std::int32_t>(reader.Le32());
    reader.Le32();  // reserved
    reader.Le32();  // time stamp
    record.DataSize = static_cast<std::int32_t>(reader.Le32());
    const bool terminator = record.RelativeName.empty();
    table.push_back(std::move(record));
    if (terminator) return reader.Position();
  }
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

void AppendTerminator(TByteFile& area) {
  AppendHeaderRecord(area, std::string(), kCompressedMethod, 0, 0);
}

}  // namespace pbo
