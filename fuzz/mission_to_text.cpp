// Fuzz target: MissionToText on any bytes.
//
// Properties, beyond ending (libFuzzer's timeout) and staying in bounds (the sanitizers):
//   - the text is empty or ends in CR LF;
//   - it never exceeds its documented bound of 64 bytes per data byte plus 64 KiB;
//   - ErrorFlag is set exactly when the text holds an error line.
// An error line is one that starts with one of the converter's error prefixes. A name or a
// string of the data can carry such a prefix too (a string may even hold CR LF), so a
// prefix that occurs in the data itself is not taken as proof of an error line.
#include <algorithm>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz/fuzz_check.h"
#include "mission/mission.h"

namespace {

constexpr std::string_view kErrorPrefixes[] = {
    "Unknown word pos: ",
    "Unknown value type in array: ",
    "Unknown class or property: ",
    "Unexpected end of data pos: ",
    "Invalid compressed integer pos: ",
    "Word not defined yet pos: ",
    "Text size limit reached pos: ",
};

constexpr std::size_t kTextBytesPerDataByte = 64;
constexpr std::size_t kTextAllowance = std::size_t{64} << 10;

bool Contains(const unsigned char* data, std::size_t size, std::string_view needle) {
  const std::string_view haystack(reinterpret_cast<const char*>(data), size);
  return haystack.find(needle) != std::string_view::npos;
}

// The prefixes that start some line of text.
std::vector<std::string_view> PrefixesAtLineStarts(const std::string& text) {
  std::vector<std::string_view> found;
  std::size_t start = 0;
  while (start < text.size()) {
    const std::string_view line(text.data() + start, text.size() - start);
    for (const std::string_view prefix : kErrorPrefixes) {
      if (line.substr(0, prefix.size()) == prefix) found.push_back(prefix);
    }
    const std::size_t end = text.find("\r\n", start);
    if (end == std::string::npos) break;
    start = end + 2;
  }
  return found;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, std::size_t size) {
  const std::vector<std::uint8_t> block(data, data + size);
  const pbo::MissionText mission = pbo::MissionToText(block.data(), block.size());
  const std::string& text = mission.Text;

  FUZZ_CHECK(text.size() <= size * kTextBytesPerDataByte + kTextAllowance);
  FUZZ_CHECK(text.empty() || (text.size() >= 2 && text.compare(text.size() - 2, 2, "\r\n") == 0));

  const std::vector<std::string_view> prefixes = PrefixesAtLineStarts(text);
  if (mission.ErrorFlag) {
    FUZZ_CHECK(!prefixes.empty());
  } else {
    const bool madeByConverter =
        std::any_of(prefixes.begin(), prefixes.end(),
                    [&](std::string_view prefix) { return !Contains(data, size, prefix); });
    FUZZ_CHECK(!madeByConverter);
  }
  return 0;
}
