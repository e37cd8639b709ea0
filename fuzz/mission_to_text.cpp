// Fuzz target: MissionToText on any bytes.
//
// Properties, beyond ending (libFuzzer's timeout) and staying in bounds (the sanitizers):
//   - the text is empty or ends in CR LF;
//   - it never exceeds its limit by more than the line that reports reaching it;
//   - the limit holds to the byte: a text made without error comes out the same with its
//     own size as the limit, and with one byte less it keeps whole lines of that text and
//     ends in the limit line;
//   - ErrorFlag is set exactly when the text holds an error line.
// An error line is one that starts with one of the converter's error prefixes. A name or a
// string of the data can carry such a prefix too (a string may even hold CR LF), so a
// prefix that the data explains is not taken as proof of an error line. The data explains
// a prefix when it holds it whole, or when it holds its head at the end of a word (a name or
// a base name) and the rest begins the text the converter writes next: ": " before a base
// name, or " {};" after a class without members. So a class name holding CR LF and then
// "Unknown word pos", with a base name, makes a line that starts with "Unknown word pos: "
// although the data never holds that whole; so does one ending in "Unknown word pos:" whose
// class has no members.
#include <algorithm>
#include <cstdint>
#include <iterator>
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
constexpr std::string_view kLimitPrefix = "Text size limit reached pos: ";
constexpr std::size_t kLimitLineSize = kLimitPrefix.size() + 8 + 2;

// The limit this caller gives: enough for most texts of small data, so that both whole
// texts and cut ones are common.
constexpr std::size_t kTextBytesPerDataByte = 64;
constexpr std::size_t kTextAllowance = std::size_t{64} << 10;

// Whether data closes a word at end: bytes 01 to 20 (which a name loses when it is
// introduced), then the word's 00.
bool EndsAWordAt(std::string_view data, std::size_t end) {
  while (end < data.size() && data[end] != 0 && static_cast<unsigned char>(data[end]) <= 0x20) {
    ++end;
  }
  return end < data.size() && data[end] == 0;
}

// What the converter writes right after a name or a base name, where a line may go on
// from a word of the data into the converter's own text.
constexpr std::string_view kTextsAfterWords[] = {": ", " {};"};

bool ExplainedByData(std::string_view data, std::string_view prefix) {
  if (data.find(prefix) != std::string_view::npos) return true;
  for (std::size_t split = 1; split < prefix.size(); ++split) {
    const std::string_view head = prefix.substr(0, split);
    const std::string_view rest = prefix.substr(split);
    const bool joined =
        std::any_of(std::begin(kTextsAfterWords), std::end(kTextsAfterWords),
                    [&](std::string_view after) { return after.substr(0, rest.size()) == rest; });
    if (!joined) continue;
    for (std::size_t at = data.find(head); at != std::string_view::npos;
         at = data.find(head, at + 1)) {
      if (EndsAWordAt(data, at + head.size())) return true;
    }
  }
  return false;
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

// Start of the last line of a text that ends in CR LF.
std::size_t LastLineStart(const std::string& text) {
  if (text.size() < 4) return 0;
  const std::size_t end = text.rfind("\r\n", text.size() - 3);
  return end == std::string::npos ? 0 : end + 2;
}

void CheckLimitHoldsToTheByte(const std::vector<std::uint8_t>& block, const std::string& text) {
  const pbo::MissionText exact = pbo::MissionToText(block.data(), block.size(), text.size());
  FUZZ_CHECK(!exact.ErrorFlag && exact.Text == text);
  if (text.empty()) return;
  const pbo::MissionText cut = pbo::MissionToText(block.data(), block.size(), text.size() - 1);
  FUZZ_CHECK(cut.ErrorFlag);
  const std::size_t limitLine = LastLineStart(cut.Text);
  FUZZ_CHECK(cut.Text.compare(limitLine, kLimitPrefix.size(), kLimitPrefix) == 0);
  FUZZ_CHECK(cut.Text.size() - limitLine == kLimitLineSize);
  FUZZ_CHECK(text.compare(0, limitLine, cut.Text, 0, limitLine) == 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, std::size_t size) {
  const std::vector<std::uint8_t> block(data, data + size);
  const std::size_t limit = size * kTextBytesPerDataByte + kTextAllowance;
  const pbo::MissionText mission = pbo::MissionToText(block.data(), block.size(), limit);
  const std::string& text = mission.Text;

  FUZZ_CHECK(text.size() <= limit + kLimitLineSize);
  FUZZ_CHECK(text.empty() || (text.size() >= 2 && text.compare(text.size() - 2, 2, "\r\n") == 0));

  const std::vector<std::string_view> prefixes = PrefixesAtLineStarts(text);
  if (mission.ErrorFlag) {
    FUZZ_CHECK(!prefixes.empty());
  } else {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    FUZZ_CHECK(std::all_of(prefixes.begin(), prefixes.end(), [&](std::string_view prefix) {
      return ExplainedByData(bytes, prefix);
    }));
    CheckLimitHoldsToTheByte(block, text);
  }
  return 0;
}
