// List mode: an archive's table as a person reads it, one line per entry.
//
// The table is walked twice. The first walk checks it whole, so that a table cut short
// prints nothing (as it extracts nothing), and finds the totals, the widths of the columns
// and where the first block begins; the second prints. Nothing but those numbers is kept
// between the two, so memory stays the same for ten entries or a million, and the second
// walk reads bytes the system has just cached. Where the totals show that some block runs
// past the end, a walk between the two names those entries, so that the report on standard
// error comes whole before the listing. No block is read, but for the 9 bytes that tell a
// binarized mission from another MISSION.ZEM entry.
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>

#include "archive/archive.h"
#include "archive/format.h"
#include "platform/platform.h"

namespace pbo {
namespace {

// Output is handed to the system in pieces of about this size.
constexpr std::size_t kFlushSize = 64 << 10;

// The column heads; the method column is as wide as its widest word.
constexpr const char* kSizeHead = "Size";
constexpr const char* kPackedHead = "Packed";
constexpr const char* kMethodHead = "Method";
constexpr std::size_t kMethodWidth = 7;  // "mission"

// What an entry's place in the archive says about it, as extraction finds it: the same
// position rule, so that an entry listed as sound is one extraction can read.
const char* PlacementFault(const TFileHeaders& entry, std::uint64_t blockEnd,
                           std::uint64_t archiveSize) {
  if (entry.DataSize < 0) return "its data size is 2 GiB or more";
  if (entry.DataSize > 0 && blockEnd > archiveSize) {
    return "its data runs past the end of the archive";
  }
  return nullptr;
}

// The size an entry has once extracted: a compressed entry's original size, any other's
// data size (a mission's text is not made here); an empty block gives an empty file.
std::uint64_t ExtractedSize(const TFileHeaders& entry) {
  if (entry.DataSize == 0) return 0;
  const std::int32_t size =
      entry.PackingMethod == kCompressedMethod ? entry.OriginalSize : entry.DataSize;
  return static_cast<std::uint32_t>(size);
}

// Paths and names may hold any byte; a control byte shows as "?", as in the report lines.
std::string Shown(std::string text) {
  for (char& c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if ((byte < 0x20 && byte != '\t') || byte == 0x7F) c = '?';
  }
  return text;
}

std::string RightAligned(const std::string& text, std::size_t width) {
  return std::string(width - std::min(width, text.size()), ' ') + text;
}

std::string LeftAligned(const std::string& text, std::size_t width) {
  return text + std::string(width - std::min(width, text.size()), ' ');
}

// The listing on its way to out, a piece at a time.
class ListingOutput {
 public:
  explicit ListingOutput(std::FILE* out) : out_(out) {}

  void Line(const std::string& line) {
    pending_ += line;
    pending_ += '\n';
    if (pending_.size() >= kFlushSize) Flush();
  }

  // Throws FatalError when out does not take the bytes (a full disk; a closed pipe, whose
  // reader has seen what it wanted, ends the run without a word, as `pbo -l | head` asks).
  void Flush() {
    if (std::fwrite(pending_.data(), 1, pending_.size(), out_) != pending_.size() ||
        std::fflush(out_) != 0) {
      if (errno == EPIPE) throw FatalError("");
      throw FatalError(std::string("Cannot write the listing. ") + std::strerror(errno));
    }
    pending_.clear();
  }

 private:
  std::FILE* out_;
  std::string pending_;
};

class Listing {
 public:
  Listing(RunState& run, const platform::InputFile& archive)
      : run_(run),
        archive_(archive),
        read_([this](std::uint64_t offset, std::uint8_t* out, std::size_t size) {
          ReadOrThrow(offset, out, size);
        }) {}

  void Run(std::FILE* out) {
    Measure();
    if (firstBlock_ + totalPacked_ > archive_.Size() || anyHuge_) RateBlocks();
    ListingOutput output(out);
    if (!version_.empty()) {
      std::string line = "Version record:";
      for (const std::string& text : version_) line += " \"" + Shown(text) + "\"";
      output.Line(line);
    }
    output.Line(Columns(kSizeHead, kPackedHead, kMethodHead) + "Name");
    std::uint64_t blockStart = firstBlock_;
    VisitEntryTable(archive_.Size(), read_, run_.InputPath, [&](TFileHeaders&& entry) {
      if (entry.RelativeName.empty()) return;  // the terminator
      const std::uint64_t blockEnd = blockStart + static_cast<std::uint32_t>(entry.DataSize);
      const char* fault = PlacementFault(entry, blockEnd, archive_.Size());
      std::string line = Columns(std::to_string(ExtractedSize(entry)),
                                 std::to_string(static_cast<std::uint32_t>(entry.DataSize)),
                                 MethodOf(entry, blockStart, fault)) +
                         Shown(entry.RelativeName);
      if (fault != nullptr) line += std::string("  (") + fault + ")";
      output.Line(line);
      blockStart = blockEnd;
    });
    output.Line(Columns(std::to_string(totalSize_), std::to_string(totalPacked_), "") +
                std::to_string(entries_) + (entries_ == 1 ? " entry" : " entries"));
    output.Flush();
  }

 private:
  void ReadOrThrow(std::uint64_t offset, std::uint8_t* out, std::size_t size) const {
    std::string error;
    if (!archive_.ReadAt(offset, out, size, error)) throw CannotOpenFile(run_.InputPath, error);
  }

  // The first walk: checks the table, sums the sizes and sizes the columns. Throws before
  // anything is listed.
  void Measure() {
    firstBlock_ = VisitEntryTable(
        archive_.Size(), read_, run_.InputPath,
        [&](TFileHeaders&& entry) {
          if (entry.RelativeName.empty()) return;
          ++entries_;
          totalSize_ += ExtractedSize(entry);
          totalPacked_ += static_cast<std::uint32_t>(entry.DataSize);
          anyHuge_ = anyHuge_ || entry.DataSize < 0;
        },
        &version_);
    run_.Progress.EntriesTotal = entries_;
    sizeWidth_ = std::max(std::strlen(kSizeHead), std::to_string(totalSize_).size());
    packedWidth_ = std::max(std::strlen(kPackedHead), std::to_string(totalPacked_).size());
  }

  // Fails, and reports, each entry whose block cannot be read.
  void RateBlocks() {
    std::uint64_t blockStart = firstBlock_;
    VisitEntryTable(archive_.Size(), read_, run_.InputPath, [&](TFileHeaders&& entry) {
      if (entry.RelativeName.empty()) return;
      blockStart += static_cast<std::uint32_t>(entry.DataSize);
      const char* fault = PlacementFault(entry, blockStart, archive_.Size());
      if (fault != nullptr)
        run_.Fail(kEntryFailed, ToBackslashes(entry.RelativeName) + ": " + fault);
    });
  }

  std::string Columns(const std::string& size, const std::string& packed,
                      const std::string& method) const {
    return RightAligned(size, sizeWidth_) + "  " + RightAligned(packed, packedWidth_) + "  " +
           LeftAligned(method, kMethodWidth) + "  ";
  }

  // "mission" for a stored MISSION.ZEM entry that extraction turns into text, which takes
  // the first bytes of its block.
  std::string MethodOf(const TFileHeaders& entry, std::uint64_t blockStart,
                       const char* fault) const {
    if (entry.PackingMethod == kCompressedMethod) return "lzss";
    if (fault == nullptr && entry.DataSize >= static_cast<std::int32_t>(kMissionSignatureSize) &&
        IsMissionName(ToBackslashes(entry.RelativeName))) {
      std::uint8_t start[kMissionSignatureSize];
      ReadOrThrow(blockStart, start, sizeof start);
      if (IsBinarizedMission(entry, start)) return "mission";
    }
    return "stored";
  }

  RunState& run_;
  const platform::InputFile& archive_;
  const ArchiveReader read_;
  std::vector<std::string> version_;
  std::uint64_t firstBlock_ = 0;
  std::uint64_t entries_ = 0;
  std::uint64_t totalSize_ = 0;
  std::uint64_t totalPacked_ = 0;
  bool anyHuge_ = false;  // an entry's data size reads as negative: 2 GiB or more
  std::size_t sizeWidth_ = 0;
  std::size_t packedWidth_ = 0;
};

}  // namespace

void ListArchive(RunState& run, std::FILE* out) {
  platform::InputFile archive;
  std::string error;
  if (!archive.Open(run.InputPath, error)) throw CannotOpenFile(run.InputPath, error);
  Listing(run, archive).Run(out);
}

}  // namespace pbo
