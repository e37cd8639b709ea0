// Renders a binarized mission as class-structured text.
//
// The walk reads one entry at a time: a type code, a name, a body, then the type code of the
// next entry. Classes with members are not read recursively; an explicit stack of open
// classes counts the members seen so far, and after every entry the classes whose last
// member has just been rendered are closed. Since the stack lives on the heap and grows by
// one element per class header in the data, no input can drive the call stack deep.
//
// The text can grow much faster than the data: indentation grows with depth, so nesting
// makes text as the square of the data, and a two-byte reference repeats a whole word. Sound
// missions do both, so no ratio to the data's size can hold the text; the caller gives the
// limit instead (extraction shares one allowance among all missions of a run). Reaching
// the limit ends the walk like any other damage.
#include "mission/mission.h"

#include <algorithm>
#include <cassert>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

#include "mission/fixed_notation.h"
#include "mission/mission_reader.h"
#include "platform/path_text.h"

namespace pbo {
namespace {

constexpr std::string_view kLineEnd = "\r\n";
constexpr std::string_view kUnknownValueTypePrefix = "Unknown value type in array: ";

// Upper-case hexadecimal, zero-padded to at least `digits` digits.
std::string Hexadecimal(std::uint32_t value, int digits) {
  static constexpr char kHexDigits[] = "0123456789ABCDEF";
  std::string text;
  while (value != 0 || digits > 0) {
    text.insert(text.begin(), kHexDigits[value & 0xF]);
    value >>= 4;
    --digits;
  }
  return text;
}

std::string OffsetLine(std::string_view message, std::size_t offset) {
  return std::string(message) + Hexadecimal(static_cast<std::uint32_t>(offset), 8);
}

// One double quote, the text with every double quote doubled, one double quote.
std::string Quoted(std::string_view text) {
  std::string quoted = "\"";
  for (const char c : text) {
    quoted += c;
    if (c == '"') quoted += '"';
  }
  quoted += '"';
  return quoted;
}

bool IsDayName(std::string_view name) {
  return name.size() == 3 && platform::UpperCaseAscii(name[0]) == 'D' &&
         platform::UpperCaseAscii(name[1]) == 'A' && platform::UpperCaseAscii(name[2]) == 'Y';
}

// The text under construction: finished lines plus the line being built. Nothing is added
// that would take the text past its limit; the first addition that does not fit marks the
// output full and is dropped, and so is everything after it. The line being built counts
// toward the limit as it grows, which keeps a hostile line from growing without bound. In a
// sound mission a line never shrinks (the character an array takes back is always followed
// by its closing braces), so such a text reaches the limit only when it is longer.
class TextOutput {
 public:
  explicit TextOutput(std::size_t limit) : limit_(limit) {}

  bool Full() const { return full_; }

  // Begins the line being built with `tabs` tab characters.
  void StartLine(std::size_t tabs) {
    DropLine();
    if (Reserve(tabs)) line_.assign(tabs, '\t');
  }

  void Append(std::string_view piece) {
    if (Reserve(piece.size())) line_ += piece;
  }

  // Once the output is full the line is partial (even empty) and will be dropped anyway.
  void RemoveLastCharacter() {
    assert(full_ || !line_.empty());
    if (!line_.empty()) line_.pop_back();
  }

  // Puts prefix in front of the line, after removing bytes 00 to 20 from both of its ends.
  // Repeated calls on one line must pass the same prefix, which must begin with a byte
  // above 20, so that only the first call has anything to remove at the front. The repeats
  // are kept as a count and the line is trimmed in place, so a call costs nothing per byte
  // of line.
  void PrefixTrimmedLine(std::string_view prefix) {
    if (full_) return;
    assert(prefixCount_ == 0 || prefix == prefix_);
    assert(!prefix.empty() && !IsControlOrSpace(prefix.front()));
    if (prefixCount_ == 0) {
      const auto firstKept = std::find_if_not(line_.begin(), line_.end(), IsControlOrSpace);
      line_.erase(line_.begin(), firstKept);
    }
    while (!line_.empty() && IsControlOrSpace(line_.back())) line_.pop_back();
    // Past the first call the line still holds the array's "[]=", so the trimming above
    // never reaches into a prefix.
    assert(prefixCount_ == 0 || !line_.empty());
    prefix_ = prefix;
    if (Reserve(prefix.size())) ++prefixCount_;
  }

  // Ends the line being built and adds it to the text.
  void FinishLine() {
    if (Reserve(kLineEnd.size())) {
      for (std::size_t i = 0; i < prefixCount_; ++i) text_ += prefix_;
      text_ += line_;
      text_ += kLineEnd;
    }
    DropLine();
  }

  void DropLine() {
    line_.clear();
    prefixCount_ = 0;
  }

  // Adds a whole line to the text, ahead of the line being built.
  void AddLine(std::size_t tabs, std::string_view line) {
    if (!Reserve(tabs + line.size() + kLineEnd.size())) return;
    text_.append(tabs, '\t');
    text_ += line;
    text_ += kLineEnd;
  }

  // Adds a short closing line even when the output is full, beyond the limit.
  void AddLineBeyondLimit(std::string_view line) {
    DropLine();
    text_ += line;
    text_ += kLineEnd;
  }

  std::string Take() { return std::move(text_); }

 private:
  static bool IsControlOrSpace(char c) { return static_cast<unsigned char>(c) <= 0x20; }

  std::size_t PendingSize() const { return prefixCount_ * prefix_.size() + line_.size(); }

  bool Reserve(std::size_t bytes) {
    if (!full_ && bytes <= limit_ - text_.size() - PendingSize()) return true;
    full_ = true;
    return false;
  }

  std::size_t limit_;
  std::string text_;
  std::string line_;
  std::string_view prefix_;
  std::size_t prefixCount_ = 0;
  bool full_ = false;
};

// A class that has been opened with members and not closed yet.
struct OpenClass {
  std::int32_t Seen = 0;
  std::int32_t Total = 0;
};

class MissionRenderer {
 public:
  MissionRenderer(const std::uint8_t* data, std::size_t size, std::size_t textLimit)
      : reader_(data, size), out_(textLimit) {}

  MissionText Render();

 private:
  // Whether the closing step follows an entry.
  enum class Closing { Take, Skip };

  std::size_t Indent() const { return classStack_.size(); }

  Closing RenderEntry();
  Closing RenderClass(std::string_view name);
  Closing RenderStringValue(std::string_view name);
  Closing RenderFloatValue(std::string_view name);
  Closing RenderIntValue(std::string_view name);
  Closing RenderArray(std::string_view name);
  Closing RenderUnknownType(std::string_view name);
  [[nodiscard]] bool AppendElement(bool nested);
  [[nodiscard]] bool AppendNestedArray();
  [[nodiscard]] bool AppendStringElement();
  Closing FinishEntry();
  void CloseFinishedClasses();

  void ReportError(std::string_view line);
  Closing FailOnReadFault();
  void ReportTextLimit();

  MissionReader reader_;
  TextOutput out_;
  EntryType currentType_ = EntryType::ClassEntry;
  std::vector<OpenClass> classStack_;
  std::size_t entryOffset_ = 0;
  bool stopFlag_ = false;
  bool errorFlag_ = false;
};

MissionText MissionRenderer::Render() {
  const std::optional<EntryType> firstType = reader_.LocateFirstEntry();
  if (!firstType) {
    FailOnReadFault();
    return {out_.Take(), errorFlag_};
  }
  currentType_ = *firstType;
  for (;;) {
    entryOffset_ = reader_.Position();
    const Closing closing = RenderEntry();
    if (closing == Closing::Take) CloseFinishedClasses();
    if (out_.Full()) {
      ReportTextLimit();
      break;
    }
    if (closing == Closing::Skip || stopFlag_) break;
  }
  return {out_.Take(), errorFlag_};
}

MissionRenderer::Closing MissionRenderer::RenderEntry() {
  const std::optional<WordField> name = reader_.ReadWordField(WordKind::Name);
  if (!name) return FailOnReadFault();
  // A name field that holds no word is the normal end of the stream.
  if (name->IsZeroReference) return Closing::Skip;
  out_.StartLine(Indent());
  switch (currentType_) {
    case EntryType::ClassEntry:
      return RenderClass(name->Text);
    case EntryType::StringValue:
      return RenderStringValue(name->Text);
    case EntryType::FloatValue:
      return RenderFloatValue(name->Text);
    case EntryType::IntValue:
      return RenderIntValue(name->Text);
    case EntryType::ArrayEntry:
      return RenderArray(name->Text);
  }
  return RenderUnknownType(name->Text);
}

MissionRenderer::Closing MissionRenderer::RenderClass(std::string_view name) {
  const std::optional<std::string_view> baseName = reader_.ReadPlainText();
  if (!baseName) return FailOnReadFault();
  const std::optional<int> memberCount = reader_.ReadCount();
  if (!memberCount) return FailOnReadFault();
  out_.Append("class ");
  out_.Append(name);
  if (!baseName->empty()) {
    out_.Append(": ");
    out_.Append(*baseName);
  }
  if (*memberCount == 0) {
    out_.Append(" {};");
    out_.FinishLine();
  } else {
    out_.FinishLine();
    out_.AddLine(Indent(), "{");
    classStack_.push_back(OpenClass{0, *memberCount});
  }
  return FinishEntry();
}

MissionRenderer::Closing MissionRenderer::RenderStringValue(std::string_view name) {
  const std::size_t fieldOffset = reader_.Position();
  const std::optional<WordField> value = reader_.ReadWordField(WordKind::StringValue);
  if (!value) return FailOnReadFault();
  if (value->IsZeroReference) {
    out_.DropLine();
    ReportError(OffsetLine("Unknown word pos: ", fieldOffset));
    return Closing::Skip;
  }
  out_.Append(name);
  out_.Append("=");
  out_.Append(Quoted(value->Text));
  out_.Append(";");
  out_.FinishLine();
  return FinishEntry();
}

MissionRenderer::Closing MissionRenderer::RenderFloatValue(std::string_view name) {
  const std::optional<float> value = reader_.ReadFloat32();
  if (!value) return FailOnReadFault();
  // The text counts days one lower than the binarized form stores them.
  const double written = IsDayName(name) ? double{*value} - 1.0 : double{*value};
  out_.Append(name);
  out_.Append("=");
  out_.Append(FormatFixedNotation(written));
  out_.Append(";");
  out_.FinishLine();
  return FinishEntry();
}

MissionRenderer::Closing MissionRenderer::RenderIntValue(std::string_view name) {
  const std::optional<std::int32_t> value = reader_.ReadInt32();
  if (!value) return FailOnReadFault();
  out_.Append(name);
  out_.Append("=");
  out_.Append(std::to_string(*value));
  out_.Append(";");
  out_.FinishLine();
  return FinishEntry();
}

MissionRenderer::Closing MissionRenderer::RenderArray(std::string_view name) {
  const std::optional<int> count = reader_.ReadCount();
  if (!count) return FailOnReadFault();
  out_.Append(name);
  out_.Append("[]={");
  for (int i = 0; i < *count && !out_.Full(); ++i) {
    if (!AppendElement(/*nested=*/false)) return FailOnReadFault();
  }
  if (*count != 0) out_.RemoveLastCharacter();
  // An array that held an error is written without its closing braces, and the walk ends
  // after the closing step; the type code after the array is not needed for that.
  if (errorFlag_) {
    out_.FinishLine();
    return Closing::Take;
  }
  out_.Append("};");
  out_.FinishLine();
  return FinishEntry();
}

// Appends one element and its ",". Returns false when the data could not be read.
bool MissionRenderer::AppendElement(bool nested) {
  const std::optional<std::uint8_t> type = reader_.ReadByte();
  if (!type) return false;
  switch (static_cast<ElementType>(*type)) {
    case ElementType::StringElement:
      return AppendStringElement();
    case ElementType::FloatElement: {
      const std::optional<float> value = reader_.ReadFloat32();
      if (!value) return false;
      out_.Append(FormatFixedNotation(*value));
      out_.Append(",");
      return true;
    }
    case ElementType::IntElement: {
      const std::optional<std::int32_t> value = reader_.ReadInt32();
      if (!value) return false;
      out_.Append(std::to_string(*value));
      out_.Append(",");
      return true;
    }
    case ElementType::ArrayElement:
      if (!nested) return AppendNestedArray();
      break;
  }
  // Inside a nested array any other type byte is an element without payload or text.
  if (!nested) {
    stopFlag_ = errorFlag_ = true;
    out_.PrefixTrimmedLine(kUnknownValueTypePrefix);
  }
  return true;
}

bool MissionRenderer::AppendStringElement() {
  const std::size_t fieldOffset = reader_.Position();
  const std::optional<WordField> value = reader_.ReadWordField(WordKind::ArrayString);
  if (!value) return false;
  if (value->IsZeroReference) {
    // Reported ahead of the array's line; the remaining elements are still rendered.
    ReportError(OffsetLine("Unknown word pos: ", fieldOffset));
    return true;
  }
  out_.Append(Quoted(value->Text));
  out_.Append(",");
  return true;
}

bool MissionRenderer::AppendNestedArray() {
  const std::optional<int> count = reader_.ReadCount();
  if (!count) return false;
  out_.Append("{");
  for (int i = 0; i < *count && !out_.Full(); ++i) {
    if (!AppendElement(/*nested=*/true)) return false;
  }
  // This takes whatever ends the line, even the "{" when no inner element wrote text.
  if (*count != 0) out_.RemoveLastCharacter();
  out_.Append("},");
  return true;
}

MissionRenderer::Closing MissionRenderer::RenderUnknownType(std::string_view name) {
  out_.DropLine();
  ReportError("Unknown class or property: " + std::string(TrimControlAndSpace(name)) + " -" +
              Hexadecimal(static_cast<std::uint32_t>(currentType_), 4));
  return Closing::Take;
}

// Reads the type code of the next entry; the stream ends when that code ends the data.
MissionRenderer::Closing MissionRenderer::FinishEntry() {
  const std::optional<EntryType> next = reader_.ReadTypeCode();
  if (!next) return FailOnReadFault();
  currentType_ = *next;
  if (reader_.AtEnd()) stopFlag_ = true;
  return Closing::Take;
}

// A class's own header raises its Seen to 1 and each further member raises it again, so
// Seen reaches Total exactly when the last member has been rendered.
void MissionRenderer::CloseFinishedClasses() {
  while (!classStack_.empty() && classStack_.back().Seen == classStack_.back().Total) {
    classStack_.pop_back();
    out_.AddLine(Indent(), "};");
    if (out_.Full()) return;
  }
  if (!classStack_.empty()) ++classStack_.back().Seen;
}

void MissionRenderer::ReportError(std::string_view line) {
  stopFlag_ = errorFlag_ = true;
  out_.AddLine(0, line);
}

MissionRenderer::Closing MissionRenderer::FailOnReadFault() {
  const ReadFault& fault = reader_.Fault();
  std::string_view message = "Unexpected end of data pos: ";
  if (fault.Kind == ReadFaultKind::NegativeNumber) message = "Invalid compressed integer pos: ";
  if (fault.Kind == ReadFaultKind::UndefinedWord) message = "Word not defined yet pos: ";
  out_.DropLine();
  ReportError(OffsetLine(message, fault.Offset));
  return Closing::Skip;
}

void MissionRenderer::ReportTextLimit() {
  stopFlag_ = errorFlag_ = true;
  out_.AddLineBeyondLimit(OffsetLine("Text size limit reached pos: ", entryOffset_));
}

}  // namespace

MissionText MissionToText(const std::uint8_t* data, std::size_t size, std::size_t textLimit) {
  return MissionRenderer(data, size, textLimit).Render();
}

}  // namespace pbo
