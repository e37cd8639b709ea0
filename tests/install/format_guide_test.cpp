// The worked example of docs/format.md: the bytes the guide quotes are the ones the packer
// writes, and they extract to the files the guide describes.
#include <gtest/gtest.h>

#include <cctype>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "archive/archive.h"
#include "support/scratch.h"

namespace pbo {
namespace {

using testing::Bytes;
using testing::ReadFile;
using testing::ScratchFolder;
using testing::ToBytes;
using testing::WriteFile;

const std::string kBeginMarker = "<!-- example-archive:begin -->";
const std::string kEndMarker = "<!-- example-archive:end -->";

bool IsHexNumber(const std::string& token) {
  if (token.empty()) return false;
  for (char c : token) {
    if (!std::isxdigit(static_cast<unsigned char>(c))) return false;
  }
  return true;
}

// Parses one dump line, "OFFSET  BYTE BYTE ...  | comment", appending its bytes to dump.
// The offset must be where the bytes before it end, so the guide's offsets are checked too.
void ParseDumpLine(const std::string& line, Bytes& dump) {
  std::istringstream fields(line.substr(0, line.find('|')));
  std::string offset;
  if (!(fields >> offset)) return;  // a blank line
  ASSERT_TRUE(IsHexNumber(offset)) << "no offset on the line: " << line;
  EXPECT_EQ(std::stoul(offset, nullptr, 16), dump.size()) << "offset out of step: " << line;
  std::string byte;
  while (fields >> byte) {
    ASSERT_TRUE(byte.size() == 2 && IsHexNumber(byte)) << "not a byte: " << byte << " in " << line;
    dump.push_back(static_cast<std::uint8_t>(std::stoul(byte, nullptr, 16)));
  }
}

// The bytes of the fenced dump between the example markers of the guide.
Bytes ReadGuideExample() {
  std::ifstream guide(PBO_FORMAT_GUIDE);
  EXPECT_TRUE(guide) << "cannot read " << PBO_FORMAT_GUIDE;
  std::string line;
  while (std::getline(guide, line) && line != kBeginMarker) {
  }
  EXPECT_TRUE(std::getline(guide, line) && line == "```") << "no fenced block after the marker";
  Bytes dump;
  while (std::getline(guide, line) && line != "```") ParseDumpLine(line, dump);
  EXPECT_TRUE(std::getline(guide, line) && line == kEndMarker) << "no end marker after the block";
  return dump;
}

std::string Hex(const Bytes& bytes) {
  std::string text;
  char digits[4];
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    std::snprintf(digits, sizeof digits, "%02X", bytes[i]);
    text += digits;
    text += i % 16 == 15 ? '\n' : ' ';
  }
  return text;
}

// The folder the guide packs: a compressed text that begins with spaces and a stored file
// in a sub-folder.
void MakeExampleFolder(const ScratchFolder& scratch) {
  WriteFile(scratch / "demo/note.txt", std::string("    ha ha!"));
  WriteFile(scratch / "demo/sound/s.ogg", std::string("OggS"));
}

TEST(FormatGuide, ExampleArchiveIsWhatThePackerWrites) {
  const Bytes quoted = ReadGuideExample();
  ASSERT_EQ(quoted.size(), 99u) << "the guide calls the example a 99-byte archive";

  ScratchFolder scratch;
  MakeExampleFolder(scratch);
  RunState run;
  run.SourceFolder = scratch / "demo";
  run.OutputArchive = run.SourceFolder + ".pbo";
  CreateArchive(run);
  ASSERT_EQ(run.ResultCode, kRunCompleted);

  // As hex dumps, so that a failure shows the bytes in the guide's own notation.
  EXPECT_EQ(Hex(ReadFile(run.OutputArchive)), Hex(quoted));
}

TEST(FormatGuide, ExampleArchiveExtractsToTheFilesItDescribes) {
  ScratchFolder scratch;
  const std::string archive = scratch / "demo.pbo";
  WriteFile(archive, ReadGuideExample());

  RunState run;
  run.InputPath = archive;
  run.OutputFolder = (scratch.Path() / "demo").string() +
                     static_cast<char>(std::filesystem::path::preferred_separator);
  ExtractArchive(run);

  // note.txt is repaired: the zeros its references made become the four leading spaces.
  EXPECT_EQ(run.ResultCode, kRunCompleted);
  EXPECT_EQ(ReadFile(scratch / "demo/note.txt"), ToBytes("    ha ha!"));
  EXPECT_EQ(ReadFile(scratch / "demo/sound/s.ogg"), ToBytes("OggS"));
}

}  // namespace
}  // namespace pbo
