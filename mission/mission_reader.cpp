#include "mission/mission_reader.h"

#include <algorithm>
#include <cstring>

#include "platform/bytes.h"

namespace pbo {
namespace {

// The header run of non-zero bytes starts after the nine signature bytes and one more.
constexpr std::size_t kHeaderRunStart = 10;
// The first name follows the run's closing 00, two unexamined bytes and two type code bytes.
constexpr std::size_t kFirstNameAfterRun = 5;
constexpr std::uint8_t kTwoByteTypePrefix = 0x01;

bool IsControlOrSpace(char c) { return static_cast<unsigned char>(c) <= 0x20; }

}  // namespace

CompressedIntBytes EncodeCompressedInt(int value) {
  CompressedIntBytes encoded;
  if (value < 0x80) {
    encoded.Bytes[0] = static_cast<std::uint8_t>(value);
    encoded.Size = 1;
  } else {
    encoded.Bytes[0] = static_cast<std::uint8_t>(0x80 + value % 128);
    encoded.Bytes[1] = static_cast<std::uint8_t>(value / 128);
    encoded.Size = 2;
  }
  return encoded;
}

int DecodeCompressedInt(unsigned pair) {
  // Below 0x200 the second byte is 0 or 1: 1 gives the first byte's own value 128..255,
  // 0 gives a negative number that the encoder never writes.
  if (pair < 0x200) return static_cast<int>(pair) - 256;
  const int low = static_cast<int>(pair & 0xFF);
  const int high = static_cast<int>(pair >> 8);
  return (high - 1) * 128 + low;
}

std::string_view TrimControlAndSpace(std::string_view text) {
  while (!text.empty() && IsControlOrSpace(text.front())) text.remove_prefix(1);
  while (!text.empty() && IsControlOrSpace(text.back())) text.remove_suffix(1);
  return text;
}

MissionReader::MissionReader(const std::uint8_t* data, std::size_t size)
    : data_(data), size_(size) {}

template <typename T>
std::optional<T> MissionReader::Fail(ReadFaultKind kind, std::size_t offset) {
  if (fault_.Kind == ReadFaultKind::None) fault_ = ReadFault{kind, offset};
  position_ = std::min(offset, size_);
  return std::nullopt;
}

std::optional<std::size_t> MissionReader::FindZero(std::size_t from) const {
  if (from >= size_) return std::nullopt;
  const void* zero = std::memchr(data_ + from, 0, size_ - from);
  if (zero == nullptr) return std::nullopt;
  return static_cast<std::size_t>(static_cast<const std::uint8_t*>(zero) - data_);
}

std::optional<EntryType> MissionReader::LocateFirstEntry() {
  const std::optional<std::size_t> runEnd = FindZero(kHeaderRunStart);
  if (!runEnd) return Fail<EntryType>(ReadFaultKind::Truncated, kHeaderRunStart);
  position_ = *runEnd + 1;
  if (!Has(kFirstNameAfterRun - 1)) return Fail<EntryType>(ReadFaultKind::Truncated, position_);
  const bool twoByteCode = data_[*runEnd + 3] == kTwoByteTypePrefix;
  const unsigned lastByte = data_[*runEnd + 4];
  position_ = *runEnd + kFirstNameAfterRun;
  return static_cast<EntryType>(twoByteCode ? 0x100 + lastByte : lastByte);
}

std::optional<std::uint8_t> MissionReader::ReadByte() {
  if (!Has(1)) return Fail<std::uint8_t>(ReadFaultKind::Truncated, position_);
  return data_[position_++];
}

std::optional<int> MissionReader::ReadCompressedInt() {
  const std::size_t start = position_;
  if (!Has(1)) return Fail<int>(ReadFaultKind::Truncated, start);
  const unsigned first = data_[start];
  if (first < 0x80) {
    position_ = start + 1;
    return static_cast<int>(first);
  }
  if (!Has(2)) return Fail<int>(ReadFaultKind::Truncated, start);
  position_ = start + 2;
  return DecodeCompressedInt(first | (unsigned{data_[start + 1]} << 8));
}

std::optional<int> MissionReader::ReadCount() {
  const std::size_t start = position_;
  const std::optional<int> count = ReadCompressedInt();
  if (count && *count < 0) return Fail<int>(ReadFaultKind::NegativeNumber, start);
  return count;
}

std::optional<EntryType> MissionReader::ReadTypeCode() {
  const std::size_t start = position_;
  if (!Has(1)) return Fail<EntryType>(ReadFaultKind::Truncated, start);
  if (data_[start] != kTwoByteTypePrefix) {
    position_ = start + 1;
    return static_cast<EntryType>(data_[start]);
  }
  if (!Has(2)) return Fail<EntryType>(ReadFaultKind::Truncated, start);
  position_ = start + 2;
  return static_cast<EntryType>(0x100 + data_[start + 1]);
}

std::optional<std::uint32_t> MissionReader::ReadUint32() {
  if (!Has(4)) return Fail<std::uint32_t>(ReadFaultKind::Truncated, position_);
  const std::uint32_t value = bytes::LoadLe32(data_ + position_);
  position_ += 4;
  return value;
}

std::optional<std::int32_t> MissionReader::ReadInt32() {
  const std::optional<std::uint32_t> bits = ReadUint32();
  if (!bits) return std::nullopt;
  std::int32_t value;
  std::memcpy(&value, &*bits, sizeof value);
  return value;
}

std::optional<float> MissionReader::ReadFloat32() {
  static_assert(sizeof(float) == 4, "the mission format stores IEEE 754 singles");
  const std::optional<std::uint32_t> bits = ReadUint32();
  if (!bits) return std::nullopt;
  float value;
  std::memcpy(&value, &*bits, sizeof value);
  return value;
}

std::optional<std::string_view> MissionReader::ReadPlainText() {
  const std::size_t start = position_;
  const std::optional<std::size_t> zero = FindZero(start);
  if (!zero) return Fail<std::string_view>(ReadFaultKind::Truncated, start);
  position_ = *zero + 1;
  return std::string_view(reinterpret_cast<const char*>(data_ + start), *zero - start);
}

std::optional<WordField> MissionReader::ReadWordField(WordKind kind) {
  if (IsNewWordAtCursor()) return ReadNewWord(kind);
  return ReadReference(position_);
}

bool MissionReader::IsNewWordAtCursor() const {
  // Once every index has been handed out, no field can introduce a word any more.
  const int next = NextWordIndex();
  if (next > kMaxCompressedInt) return false;
  const CompressedIntBytes index = EncodeCompressedInt(next);
  return Has(index.Size) && std::memcmp(data_ + position_, index.Bytes, index.Size) == 0;
}

std::optional<WordField> MissionReader::ReadNewWord(WordKind kind) {
  const std::size_t start = position_;
  const std::size_t textStart = start + EncodeCompressedInt(NextWordIndex()).Size;
  const std::optional<std::size_t> zero = FindZero(textStart);
  if (!zero) return Fail<WordField>(ReadFaultKind::Truncated, start);
  std::string_view text(reinterpret_cast<const char*>(data_ + textStart), *zero - textStart);
  if (kind == WordKind::Name) text = TrimControlAndSpace(text);
  wordTable_.push_back(text);
  position_ = *zero + 1;
  // A name with nothing left after trimming still takes its index; its closing 00 then
  // reads as the zero reference.
  if (kind == WordKind::Name && text.empty()) return WordField{true, {}};
  return WordField{false, text};
}

std::optional<WordField> MissionReader::ReadReference(std::size_t fieldStart) {
  const std::optional<int> index = ReadCompressedInt();
  if (!index) return std::nullopt;
  if (*index == 0) return WordField{true, {}};
  if (*index < 0) return Fail<WordField>(ReadFaultKind::NegativeNumber, fieldStart);
  if (static_cast<std::size_t>(*index) > wordTable_.size()) {
    return Fail<WordField>(ReadFaultKind::UndefinedWord, fieldStart);
  }
  return WordField{false, wordTable_[static_cast<std::size_t>(*index) - 1]};
}

}  // namespace pbo
