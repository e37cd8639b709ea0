// Reading steps over a binarized mission held in memory. Internal to mission/ and its tests.
//
// A binarized mission is a byte stream of typed entries whose names and strings are shared
// through a word table: the first time a word occurs it is spelled out behind its index
// number, and every later occurrence is the index alone. The stream carries no total length,
// no offsets and no checksum, so every count and terminator in it is untrusted: each read
// here checks that its bytes exist, and the first read that cannot be satisfied records a
// ReadFault and yields nothing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

namespace pbo {

// The largest value a compressed integer can hold, and so the highest word index.
inline constexpr int kMaxCompressedInt = 32767;

// One or two bytes of a compressed integer, in stream order.
struct CompressedIntBytes {
  std::uint8_t Bytes[2] = {0, 0};
  std::size_t Size = 0;
};

// Encodes value, which must lie in 0..kMaxCompressedInt: values below 128 take one byte;
// larger ones take 0x80 + (value mod 128) followed by value div 128.
[[nodiscard]] CompressedIntBytes EncodeCompressedInt(int value);

// Decodes the two-byte form whose bytes are pair & 0xFF and pair >> 8 (pair < 0x10000).
// Every pair that EncodeCompressedInt produces decodes to 128..32767; a pair whose second
// byte is 0 decodes to the negative value (first byte - 256), which no encoder produces.
[[nodiscard]] int DecodeCompressedInt(unsigned pair);

// Type code of an entry: one byte, or 01 followed by a byte s giving 0x100 + s. Codes other
// than the named ones are kept as they were read so they can be reported.
enum class EntryType : std::uint16_t {
  ClassEntry = 0x00,
  ArrayEntry = 0x02,
  StringValue = 0x100,
  FloatValue = 0x101,
  IntValue = 0x102,
};

// Type byte of an array element.
enum class ElementType : std::uint8_t {
  StringElement = 0,
  FloatElement = 1,
  IntElement = 2,
  ArrayElement = 3,
};

// Which kind of text a word field holds. Names are trimmed when introduced, and a name
// that trims to nothing reads as the zero reference; strings are kept byte for byte.
enum class WordKind { Name, StringValue, ArrayString };

// What a word field held: the text of a word, or the zero reference (no word at all).
struct WordField {
  bool IsZeroReference = false;
  std::string_view Text;  // views the mission data; empty for the zero reference
};

// Why a read could not be satisfied.
enum class ReadFaultKind {
  None,
  Truncated,       // the field would run past the end of the data
  NegativeNumber,  // a count or word reference in the two-byte form with second byte 0
  UndefinedWord,   // a reference to a word index that has not been introduced yet
};

struct ReadFault {
  ReadFaultKind Kind = ReadFaultKind::None;
  std::size_t Offset = 0;  // where the field that could not be read begins
};

// A cursor over the mission data plus the word table built while reading it. Each Read
// consumes its field and returns its value; on bad data it returns std::nullopt, records
// the fault and leaves the cursor where the field began. Reads after a fault are allowed
// but the first fault is the one kept. The data must outlive the reader, since words are
// views into it.
class MissionReader {
 public:
  MissionReader(const std::uint8_t* data, std::size_t size);

  // Positions the cursor on the first entry's name field and returns the first entry's
  // type code. The header is skipped: after the signature and one more byte comes a run of
  // non-zero bytes closed by 00 at offset z; the type code is 01 plus the byte at z + 4
  // when the byte at z + 3 is 01, else the byte at z + 4 alone; the name begins at z + 5.
  [[nodiscard]] std::optional<EntryType> LocateFirstEntry();

  [[nodiscard]] std::optional<std::uint8_t> ReadByte();
  // A compressed integer, decoded as DecodeCompressedInt does, so it may be negative.
  [[nodiscard]] std::optional<int> ReadCompressedInt();
  // A compressed integer used as a count: a negative value is a NegativeNumber fault.
  [[nodiscard]] std::optional<int> ReadCount();
  [[nodiscard]] std::optional<EntryType> ReadTypeCode();
  // Little-endian 32-bit fields.
  [[nodiscard]] std::optional<std::int32_t> ReadInt32();
  [[nodiscard]] std::optional<float> ReadFloat32();
  // Plain text up to its closing 00, which is consumed; it does not touch the word table.
  [[nodiscard]] std::optional<std::string_view> ReadPlainText();
  // A word field: a new word (introduced into the word table as a side effect), a
  // reference to an earlier word, or the zero reference.
  [[nodiscard]] std::optional<WordField> ReadWordField(WordKind kind);

  std::size_t Position() const { return position_; }
  bool AtEnd() const { return position_ == size_; }
  const ReadFault& Fault() const { return fault_; }
  // The index the next new word will get; it starts at 1.
  int NextWordIndex() const { return static_cast<int>(wordTable_.size()) + 1; }

 private:
  bool Has(std::size_t count) const { return size_ - position_ >= count; }
  bool IsNewWordAtCursor() const;
  std::optional<std::size_t> FindZero(std::size_t from) const;
  std::optional<WordField> ReadNewWord(WordKind kind);
  std::optional<WordField> ReadReference(std::size_t fieldStart);
  std::optional<std::uint32_t> ReadUint32();
  template <typename T>
  std::optional<T> Fail(ReadFaultKind kind, std::size_t offset);

  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t position_ = 0;
  std::vector<std::string_view> wordTable_;  // word k at index k - 1
  ReadFault fault_;
};

// Removes every byte 00 to 20 from both ends of text.
[[nodiscard]] std::string_view TrimControlAndSpace(std::string_view text);

}  // namespace pbo
