// Extract mode: one archive in, one file per entry out.
//
// The archive's table is read whole before anything is written, and the place of every
// data block is found from the sum of the data sizes before it, so a failed entry never
// disturbs the entries after it. Each entry then takes one road (empty file, LZSS
// expansion, mission text, plain copy) on a worker thread, which reads its block only
// then, so memory follows the entries in flight, not the archive. Its file is written on
// this thread, in table order: the file system sees the same creations in the same order,
// and the run gives the same files and the same exit code whatever the thread count.
#include <algorithm>
#include <limits>
#include <optional>
#include <string_view>
#include <unordered_map>

#include "archive/extract.h"

#include "archive/archive.h"
#include "archive/format.h"
#include "archive/ordered_work.h"
#include "archive/output.h"
#include "lzss/lzss.h"
#include "mission/mission.h"
#include "platform/platform.h"

namespace pbo {
namespace {

// Mission text may grow far beyond its data (nesting makes it grow as the square), so no
// ratio per entry holds sound missions; what is bounded is all the text one run writes:
// 64 MiB, plus 64 bytes per byte of the archive. Missions draw on it in table order.
constexpr std::uint64_t kMissionTextBase = std::uint64_t{64} << 20;
constexpr std::uint64_t kMissionTextPerArchiveByte = 64;

// Most bytes one byte of an LZSS block can expand to: a flag byte and eight references of
// two bytes make 144 bytes from 17.
constexpr std::uint64_t kLargestExpansion = 9;

std::size_t MissionTextBudget(std::uint64_t archiveSize) {
  const std::uint64_t most = std::numeric_limits<std::size_t>::max();
  if (archiveSize >= (most - kMissionTextBase) / kMissionTextPerArchiveByte) {
    return static_cast<std::size_t>(most);
  }
  return static_cast<std::size_t>(kMissionTextBase + kMissionTextPerArchiveByte * archiveSize);
}

// True for a line the mission converter writes where it stops: never indented, it begins
// with "Unknown " or ends in " pos: " and an offset of eight hexadecimal digits.
bool IsMissionErrorLine(std::string_view line) {
  constexpr std::string_view kOffsetMark = " pos: ";
  constexpr std::size_t kOffsetDigits = 8;
  if (line.empty() || line.front() == '\t') return false;
  if (line.substr(0, 8) == "Unknown ") return true;
  if (line.size() < kOffsetMark.size() + kOffsetDigits) return false;
  const std::string_view offset = line.substr(line.size() - kOffsetDigits);
  return line.substr(line.size() - kOffsetDigits - kOffsetMark.size(), kOffsetMark.size()) ==
             kOffsetMark &&
         offset.find_first_not_of("0123456789ABCDEF") == std::string_view::npos;
}

// Why a mission's conversion stopped: the converter's error line, not the lines that close
// the classes still open after it. The last line that looks like one is taken: text before
// the error may look like one too (a name may hold anything), what follows it is made by
// the converter. The text's last line when no line looks like one.
std::string MissionErrorLine(const std::string& text) {
  std::string_view found;
  std::string_view last;
  for (std::size_t start = 0; start < text.size();) {
    std::size_t end = text.find("\r\n", start);
    if (end == std::string::npos) end = text.size();
    last = std::string_view(text).substr(start, end - start);
    if (IsMissionErrorLine(last)) found = last;
    start = end + 2;
  }
  return std::string(found.empty() ? last : found);
}

// What a worker made of one entry, for the writer.
struct ExtractedEntry {
  TByteFile Content;    // the bytes to write; a mission's data, still to be converted
  bool Write = true;    // false: no file at all
  // Why the entry fails, or null when it is sound: a fixed text, so that a million failed
  // entries cost no allocation on one thread and a release on another.
  const char* Failure = nullptr;
  bool IsMission = false;
  // A large entry, which the writer decodes or copies from the archive in stretches as it
  // writes it: its rating, when it is compressed.
  bool Streamed = false;
  LzssStreamRating Rating;
};

// Why a compressed entry fails by its verdict, or null when it is sound; and whether its
// file is written.
const char* VerdictFailure(LzssVerdict verdict, bool& write) {
  write = verdict != LzssVerdict::LengthMismatch;
  switch (verdict) {
    case LzssVerdict::Verified:
    case LzssVerdict::Repaired:  // a success like any other: nothing to report
      return nullptr;
    case LzssVerdict::Unrepairable:
      return "checksum does not match; written as decoded";
    case LzssVerdict::LengthMismatch:
      break;
  }
  return "expands to another length than its header states; not written";
}

ExtractedEntry Refused(const char* why) {
  ExtractedEntry refused;
  refused.Write = false;
  refused.Failure = why;
  return refused;
}

ExtractedEntry Expanded(const TFileHeaders& entry, const TByteFile& block) {
  ExtractedEntry extracted;
  LzssDecodeResult decoded = LzssDecode(block.data(), block.size(), entry.OriginalSize);
  extracted.Content = std::move(decoded.Output);
  extracted.Failure = VerdictFailure(decoded.Verdict, extracted.Write);
  return extracted;
}

ExtractionLimits gLimits;  // what ExtractArchive works within; only tests change it

// A large entry is read and written a piece of this size at a time.
constexpr std::size_t kCopyPiece = std::size_t{1} << 20;

// Small entries travel in batches of consecutive entries, so that the hand-over between
// the threads is paid per batch: up to this many entries, or until the batch holds this
// many bytes (blocks and what they expand to). A larger entry travels alone.
constexpr std::size_t kBatchEntries = 4096;
constexpr std::uint64_t kBatchBytes = std::uint64_t{1} << 20;

// What the units in flight may hold in all: this much per worker thread, and as much again
// for the writer to find work ready.
constexpr std::uint64_t kBudgetPerThread = std::uint64_t{8} << 20;

// What a large entry holds while it is rated or written: the stretch decoder's buffers, or
// a piece being copied.
constexpr std::uint64_t kStreamedCost = kCopyPiece;

// One extraction run: the state the workers read and the writer keeps.
class Extraction {
 public:
  Extraction(RunState& run, const platform::InputFile& archive, std::uint64_t firstBlock)
      : run_(run),
        archive_(archive),
        writer_(run.OutputFolder),
        model_(run.OutputFolder),
        missionTextLeft_(MissionTextBudget(archive_.Size())),
        entryCount_(run.EntryTable.size() - 1),  // the terminator is not extracted
        dataPosition_(firstBlock) {}

  void Run() {
    if (run_.TouchNoDisk) ExpectFiles();
    RunInOrder(
        run_.Threads, kBudgetPerThread * (run_.Threads + 1), [this] { return NextBatch(); },
        [this](Batch batch) { return Work(std::move(batch)); },
        [this](BatchResult result) { Write(std::move(result)); });
  }

 private:
  // Tells the model of a test the name of every entry.
  void ExpectFiles() {
    for (std::size_t i = 0; i < entryCount_; ++i) model_.Expect(run_.EntryTable[i].RelativeName);
  }

  // Where an entry's block lies, or why the entry is refused before it is read.
  struct Place {
    std::uint64_t BlockStart = 0;
    const char* Refusal = nullptr;
    bool Streamed = false;  // too large to hold whole: decoded or copied in stretches
  };
  // Consecutive entries from First on, handed to a worker together.
  struct Batch {
    std::size_t First = 0;
    std::vector<Place> Places;
    std::uint64_t Cost = 0;  // their blocks and what they expand to
  };
  struct BatchResult {
    std::size_t First = 0;
    std::vector<Place> Places;
    std::vector<ExtractedEntry> Entries;
  };

  // Plans the next batch, in table order: each entry's block is found from the sum of the
  // data sizes before it. Runs on one thread at a time.
  std::optional<Batch> NextBatch() {
    if (next_ == entryCount_) return std::nullopt;
    Batch batch;
    batch.First = next_;
    while (next_ < entryCount_ && batch.Places.size() < kBatchEntries) {
      TFileHeaders& entry = run_.EntryTable[next_];
      const Place place = PlaceOf(entry, dataPosition_);
      const std::uint64_t cost = CostOf(entry, place);
      if (!batch.Places.empty() && (batch.Cost + cost > kBatchBytes || place.Streamed)) break;
      // Positions are 64-bit: the archive as a whole may exceed 2 GiB even though no entry
      // may. A size of 2^31 or more reads as negative: such an entry fails, and the next
      // block is looked for past the whole unsigned size, as the field's bytes say.
      dataPosition_ += static_cast<std::uint32_t>(entry.DataSize);
      batch.Places.push_back(place);
      batch.Cost += cost;
      ++next_;
      if (place.Streamed) break;  // alone
    }
    return batch;
  }

  Place PlaceOf(const TFileHeaders& entry, std::uint64_t blockStart) const {
    Place place;
    place.BlockStart = blockStart;
    const std::uint64_t blockEnd = blockStart + static_cast<std::uint32_t>(entry.DataSize);
    // An empty entry reads nothing, so it is sound wherever a damaged block before it has
    // put its position.
    if (entry.DataSize < 0) {
      place.Refusal = "its data size is 2 GiB or more";
    } else if (entry.DataSize > 0 && blockEnd > archive_.Size()) {
      place.Refusal = "its data runs past the end of the archive";
    } else if (!IsSafeEntryName(entry.RelativeName)) {
      place.Refusal = "its name leads outside the output folder";
    } else {
      place.Streamed = ExpandedSize(entry) > gLimits.WholeEntryLimit &&
                       (entry.PackingMethod == kCompressedMethod || !IsMissionName(entry.RelativeName));
    }
    return place;
  }

  // What an entry's file holds: a compressed entry's original size, but no more than its
  // block can expand to; a stored entry's block.
  static std::uint64_t ExpandedSize(const TFileHeaders& entry) {
    const auto size = static_cast<std::uint64_t>(entry.DataSize);
    if (entry.PackingMethod != kCompressedMethod) return size;
    return std::min(static_cast<std::uint64_t>(std::max(entry.OriginalSize, 0)),
                    kLargestExpansion * size);
  }

  // What an entry holds while it is worked on: its block and what it expands to, or for a
  // large one the buffers of the stretches.
  static std::uint64_t CostOf(const TFileHeaders& entry, const Place& place) {
    if (place.Refusal != nullptr) return 0;
    if (place.Streamed) return kStreamedCost;
    const auto size = static_cast<std::uint64_t>(entry.DataSize);
    return entry.PackingMethod != kCompressedMethod ? size : size + ExpandedSize(entry);
  }

  // Reads the bytes of a block through a reader that the stretch decoder can use; a failed
  // read keeps its reason in error.
  LzssBlockReader BlockReader(std::uint64_t blockStart, std::string& error) const {
    return [this, blockStart, &error](std::uint64_t offset, std::uint8_t* into, std::size_t size) {
      if (!archive_.ReadAt(blockStart + offset, into, size, error)) return false;
      run_.Progress.BytesRead += size;
      return true;
    };
  }

  // Reads an entry's block. Throws FatalError when the archive cannot be read there (it
  // shrank since it was opened): an archive that cannot be read ends the run.
  TByteFile ReadBlock(const TFileHeaders& entry, const Place& place) const {
    TByteFile block(static_cast<std::size_t>(entry.DataSize));
    std::string error;
    if (!archive_.ReadAt(place.BlockStart, block.data(), block.size(), error)) {
      throw CannotOpenFile(run_.InputPath, error);
    }
    run_.Progress.BytesRead += block.size();
    return block;
  }

  // Takes each entry of a batch down its road. Runs on a worker: reads the table and the
  // archive only. A throw ends the batch; the entries before it in the batch are written
  // first, then the run ends.
  BatchResult Work(Batch batch) const {
    BatchResult result;
    result.First = batch.First;
    result.Entries.reserve(batch.Places.size());
    for (std::size_t k = 0; k < batch.Places.size(); ++k) {
      result.Entries.push_back(WorkOn(run_.EntryTable[batch.First + k], batch.Places[k]));
    }
    result.Places = std::move(batch.Places);
    return result;
  }

  ExtractedEntry WorkOn(const TFileHeaders& entry, const Place& place) const {
    if (place.Refusal != nullptr) return Refused(place.Refusal);
    if (place.Streamed) return RateLarge(entry, place);
    TByteFile block = ReadBlock(entry, place);
    if (block.empty()) return {};
    if (entry.PackingMethod == kCompressedMethod) return Expanded(entry, block);
    ExtractedEntry stored;
    stored.IsMission =
        IsBinarizedMission(entry, block.size() >= kMissionSignatureSize ? block.data() : nullptr);
    stored.Content = std::move(block);
    return stored;
  }

  // A large entry: a compressed one is rated here, reading its block once and keeping
  // none of it; the writer decodes it again as it writes it. A stored one is only copied.
  ExtractedEntry RateLarge(const TFileHeaders& entry, const Place& place) const {
    ExtractedEntry large;
    large.Streamed = true;
    if (entry.PackingMethod != kCompressedMethod) return large;
    std::string error;
    large.Rating = LzssRateStream(static_cast<std::uint32_t>(entry.DataSize), entry.OriginalSize,
                                  BlockReader(place.BlockStart, error));
    if (large.Rating.ReadFailed) throw CannotOpenFile(run_.InputPath, error);
    large.Failure = VerdictFailure(large.Rating.Verdict, large.Write);
    return large;
  }

  void Write(BatchResult result) {
    for (std::size_t k = 0; k < result.Entries.size(); ++k) {
      Write(result.First + k, result.Places[k], std::move(result.Entries[k]));
    }
  }

  // Converts a mission under what is left of the run's text budget, and draws its text
  // from it. The writer does this, in table order, so the same entries reach the limit at
  // the same place whatever the thread count, and only one text is held at a time.
  // Sets failure to why it failed, if it did.
  std::string ConvertMission(const ExtractedEntry& mission, std::string& failure) {
    MissionText converted =
        MissionToText(mission.Content.data(), mission.Content.size(), missionTextLeft_);
    missionTextLeft_ -= std::min(missionTextLeft_, converted.Text.size());
    if (converted.ErrorFlag) failure = "mission: " + MissionErrorLine(converted.Text);
    return std::move(converted.Text);
  }

  // Writes entry i's file and rates the entry. Runs on the calling thread, in table order.
  void Write(std::size_t i, const Place& place, ExtractedEntry extracted) {
    TFileHeaders& entry = run_.EntryTable[i];
    entry.IsBinarizedMission = extracted.IsMission;
    const bool makesFile = extracted.IsMission || extracted.Write;
    // Only an entry that makes a file has a path on disk. A test writes nothing: it needs
    // the paths only to name the files they overwrite (40 MB less for a million entries).
    if (makesFile && (!run_.TouchNoDisk || run_.Verbose)) {
      entry.FullPath = EntryPathOnDisk(run_.OutputFolder, entry.RelativeName);
    }
    bool written = false;
    std::string error;
    std::string failure = extracted.Failure != nullptr ? extracted.Failure : "";
    if (extracted.IsMission) {
      const std::string text = ConvertMission(extracted, failure);
      written = Save(entry, reinterpret_cast<const std::uint8_t*>(text.data()), text.size(), error);
    } else if (extracted.Write && extracted.Streamed) {
      written = SaveLarge(entry, place, extracted, error);
    } else if (extracted.Write) {
      written = Save(entry, extracted.Content.data(), extracted.Content.size(), error);
    }
    if (makesFile && !written && failure.empty()) failure = "its file cannot be written: " + error;
    if (!failure.empty()) run_.Fail(kEntryFailed, entry.RelativeName + ": " + failure);
    if (written && run_.Verbose) NameOverwritten(i);
    ++run_.Progress.EntriesDone;
  }

  // Writes an entry's file; a test only tells whether it would be written.
  bool Save(const TFileHeaders& entry, const std::uint8_t* data, std::size_t size,
            std::string& error) {
    if (run_.TouchNoDisk) return model_.Write(entry.RelativeName, error);
    if (!writer_.Write(entry.FullPath, data, size, error)) return false;
    run_.Progress.BytesWritten += size;
    return true;
  }

  // Writes a large entry's file in stretches: a compressed entry decoded once more with the
  // bytes its rating chose, a stored one copied from the archive. A test only tells whether
  // it would be written. Throws FatalError when the archive cannot be read.
  bool SaveLarge(const TFileHeaders& entry, const Place& place, const ExtractedEntry& large,
                 std::string& error) {
    if (run_.TouchNoDisk) return model_.Write(entry.RelativeName, error);
    platform::WholeFile file;
    if (!writer_.Create(entry.FullPath, file, error)) return false;
    bool appended = true;
    const LzssSink append = [&](const std::uint8_t* bytes, std::size_t size) {
      appended = file.Append(bytes, size, error);
      if (appended) run_.Progress.BytesWritten += size;
      return appended;
    };
    std::string readError;
    const auto blockSize = static_cast<std::uint32_t>(entry.DataSize);
    bool read = true;
    if (entry.PackingMethod == kCompressedMethod) {
      read = LzssDeliverStream(blockSize, entry.OriginalSize, large.Rating,
                               BlockReader(place.BlockStart, readError), append) ||
             !appended;
    } else {
      TByteFile piece(std::min<std::size_t>(kCopyPiece, blockSize));
      for (std::uint64_t done = 0; read && appended && done < blockSize;) {
        const auto size = static_cast<std::size_t>(std::min<std::uint64_t>(piece.size(), blockSize - done));
        read = archive_.ReadAt(place.BlockStart + done, piece.data(), size, readError);
        if (read) run_.Progress.BytesRead += size;
        if (read) append(piece.data(), size);
        done += size;
      }
    }
    // The file, unnamed or under a temporary name, goes with `file` when it is not whole.
    if (!read) throw CannotOpenFile(run_.InputPath, readError);
    return appended && file.Commit(error);
  }

  // An archive may hold one name twice (or two spellings of one path, "a\b" and "\a\b"):
  // the later entry's file replaces the earlier one's, which the report names.
  void NameOverwritten(std::size_t i) {
    const auto [earlier, first] = writtenPaths_.try_emplace(run_.EntryTable[i].FullPath, i);
    if (first) return;
    run_.Report(run_.EntryTable[earlier->second].RelativeName +
                ": overwritten by the later entry " + run_.EntryTable[i].RelativeName);
    earlier->second = i;
  }

  RunState& run_;
  const platform::InputFile& archive_;
  OutputWriter writer_;
  OutputModel model_;  // in a test, the output folder that is not written
  std::size_t missionTextLeft_;  // what is left of the run's mission text budget
  // With Verbose: the path of each file written so far, and the entry that wrote it.
  std::unordered_map<std::string, std::size_t> writtenPaths_;
  const std::size_t entryCount_;
  std::size_t next_ = 0;        // the next entry to plan
  std::uint64_t dataPosition_;  // where its block begins
};

}  // namespace

void SetExtractionLimitsForTests(const ExtractionLimits& limits) { gLimits = limits; }

void ExtractArchive(RunState& run) {
  platform::InputFile archive;
  std::string error;
  if (!archive.Open(run.InputPath, error)) throw CannotOpenFile(run.InputPath, error);
  const ArchiveReader read = [&](std::uint64_t offset, std::uint8_t* out, std::size_t size) {
    if (!archive.ReadAt(offset, out, size, error)) throw CannotOpenFile(run.InputPath, error);
  };
  run.EntryTable.clear();
  const std::uint64_t firstBlock =
      ReadEntryTable(archive.Size(), read, run.InputPath, run.EntryTable);
  run.Progress.EntriesTotal = run.EntryTable.size() - 1;
  Extraction(run, archive, firstBlock).Run();
}

}  // namespace pbo
