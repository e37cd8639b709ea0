// Builds binarized mission data one byte group at a time, so that tests can state each
// group with its meaning beside it. It encodes on its own rather than through the reader's
// helpers, so a fault there cannot hide itself in the tests.
#pragma once

#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <limits>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "mission/mission.h"

namespace pbo::test {

class MissionBuilder {
 public:
  // The nine signature bytes 00 72 61 50 04 00 00 00 00.
  MissionBuilder& Signature() {
    return Bytes({0x00, 0x72, 0x61, 0x50, 0x04, 0x00, 0x00, 0x00, 0x00});
  }

  // The shortest header: signature, byte 9, an empty run closed at offset 10, two unexamined
  // bytes and the first type code in two bytes (00 t, or 01 s for 0x100 + s). The first
  // name field then begins at offset 15.
  MissionBuilder& Header(unsigned firstType) {
    Signature();
    Byte(0x00);                                       // 09: never examined
    Byte(0x00);                                       // 0A: closes the empty run, z = 10
    Bytes({0x00, 0x00});                              // 0B: never examined
    return TypeCode(firstType, /*padOneByte=*/true);  // 0D, 0E: the first type code
  }

  MissionBuilder& Byte(std::uint8_t byte) {
    data_.push_back(byte);
    return *this;
  }

  MissionBuilder& Bytes(std::initializer_list<std::uint8_t> bytes) {
    data_.insert(data_.end(), bytes);
    return *this;
  }

  // A type code: 01 s for 0x100 + s, else one byte. With padOneByte a one-byte code is
  // preceded by 00, as the header's last two bytes are.
  MissionBuilder& TypeCode(unsigned code, bool padOneByte = false) {
    if (code >= 0x100) return Bytes({0x01, static_cast<std::uint8_t>(code - 0x100)});
    if (padOneByte) Byte(0x00);
    return Byte(static_cast<std::uint8_t>(code));
  }

  MissionBuilder& CompressedInt(int value) {
    if (value < 128) return Byte(static_cast<std::uint8_t>(value));
    return Bytes(
        {static_cast<std::uint8_t>(0x80 + value % 128), static_cast<std::uint8_t>(value / 128)});
  }

  // A new word: the next index, the characters, 00.
  MissionBuilder& NewWord(std::string_view text) {
    CompressedInt(nextWord_++);
    return PlainText(text);
  }

  MissionBuilder& Reference(int index) { return CompressedInt(index); }

  // Characters followed by 00, outside the word table (a base class name).
  MissionBuilder& PlainText(std::string_view text) {
    data_.insert(data_.end(), text.begin(), text.end());
    return Byte(0x00);
  }

  MissionBuilder& Int32(std::int32_t value) {
    std::uint32_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    return Bytes({static_cast<std::uint8_t>(bits), static_cast<std::uint8_t>(bits >> 8),
                  static_cast<std::uint8_t>(bits >> 16), static_cast<std::uint8_t>(bits >> 24)});
  }

  MissionBuilder& Float32(float value) {
    std::int32_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    return Int32(bits);
  }

  int NextWord() const { return nextWord_; }
  std::size_t Size() const { return data_.size(); }
  const std::vector<std::uint8_t>& Data() const { return data_; }

  // Converts the data from an exactly sized heap copy, so that a read one byte past the end
  // is caught by AddressSanitizer.
  MissionText Convert(std::size_t textLimit = kNoTextLimit) const {
    const std::unique_ptr<std::uint8_t[]> copy(new std::uint8_t[data_.size()]);
    if (!data_.empty()) std::memcpy(copy.get(), data_.data(), data_.size());
    return MissionToText(copy.get(), data_.size(), textLimit);
  }

  static constexpr std::size_t kNoTextLimit = std::numeric_limits<std::size_t>::max();

 private:
  std::vector<std::uint8_t> data_;
  int nextWord_ = 1;
};

// Joins lines with CR LF after each, as the converter writes them.
inline std::string Lines(std::initializer_list<std::string_view> lines) {
  std::string text;
  for (const std::string_view line : lines) {
    text += line;
    text += "\r\n";
  }
  return text;
}

}  // namespace pbo::test
