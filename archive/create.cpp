// Archive mode: one folder in, one archive out.
//
// The folder is scanned into the entry table first, which fixes the size of the header
// table from the names alone. The work is then planned in table order: small files in
// batches, each read and compressed (or kept as it is) whole by a worker thread, and large
// files in segments of about a MiB, each read and parsed by a worker on its own; on this
// thread, in table order, the blocks are written to the new archive one after the other,
// a large file's stream joined from its segments as they come, leaving room for the header
// table, which is written last. So one large file keeps every core busy, memory follows
// the segments and files in flight, not the files' sizes nor the archive's, and the
// archive is the same whatever the thread count. The new archive replaces the older one
// only once it is complete: a run that fails anywhere leaves the older archive as it was.
#include "archive/create.h"

#include <algorithm>
#include <exception>
#include <memory>
#include <optional>
#include <stdexcept>
#include <variant>

#include "archive/archive.h"
#include "archive/format.h"
#include "archive/ordered_work.h"
#include "archive/scan.h"
#include "lzss/lzss.h"
#include "platform/platform.h"

namespace pbo {
namespace {

// Ends the run when an entry would need a size its header record cannot state. The check
// sits on the length of the file as it is read and on the stream actually made, never on
// a length taken apart from them.
void RequireFits(const std::string& path, const char* what, std::uint64_t size,
                 std::uint64_t largestEntrySize) {
  if (size <= largestEntrySize) return;
  throw FatalError("\"" + platform::AbsolutePath(path) + "\" " + what + " " + std::to_string(size) +
                   " bytes, more than the " + std::to_string(largestEntrySize) +
                   " an archive entry can hold");
}

PackingLimits gLimits;  // what CreateArchive works within; only tests change it

// Small files travel in batches of consecutive entries, so that the hand-over between the
// threads is paid per batch: up to this many files, or until the batch holds this many
// bytes (the files and their streams).
constexpr std::size_t kBatchEntries = 4096;
constexpr std::uint64_t kBatchBytes = std::uint64_t{1} << 20;

// What the units in flight may hold in all: this much per worker thread, and as much again
// for the writer to find work ready. A segment holds about 4 MiB while it is worked on.
constexpr std::uint64_t kBudgetPerThread = std::uint64_t{8} << 20;

// What the coder's finder holds while it codes size bytes: a bucket table that grows with
// the input, 32 bytes a byte, up to 512 KiB, and the links of a window, 32 KiB.
std::uint64_t FinderCost(std::uint64_t size) {
  constexpr std::uint64_t kLargestBuckets = std::uint64_t{512} << 10;
  constexpr std::uint64_t kLinks = std::uint64_t{32} << 10;
  return std::min(32 * size, kLargestBuckets) + kLinks;
}

// What packing a whole file holds: the file, and for a compressed one its stream, sized for
// the worst case (a literal costs 9/8 of a byte, the checksum 4), and the finder.
std::uint64_t WholeFileCost(const TFileHeaders& entry, std::uint64_t size) {
  return entry.PackingMethod == 0 ? size : 2 * size + size / 8 + 5 + FinderCost(size);
}

// One entry ready to be added to the archive.
struct PackedEntry {
  TByteFile Block;                 // the data block: the stream, or the file unchanged
  std::uint32_t OriginalSize = 0;  // the header's original size: the file's length, or 0
};

// Reads one source file whole and makes its data block. Throws FatalError when the file
// cannot be read whole or its sizes do not fit the header record.
PackedEntry PackEntry(const TFileHeaders& entry, std::uint64_t largestEntrySize) {
  platform::InputFile file;
  std::string error;
  if (!file.Open(entry.FullPath, error)) throw CannotOpenFile(entry.FullPath, error);
  RequireFits(entry.FullPath, "is", file.Size(), largestEntrySize);
  const auto size = static_cast<std::size_t>(file.Size());
  // A file to compress is read behind room for the coder's spaces, so that it works on
  // this one copy.
  const std::size_t headroom = entry.PackingMethod == 0 ? 0 : kLzssHeadroom;
  TByteFile content(headroom + size);
  if (!file.ReadAt(0, content.data() + headroom, size, error)) {
    throw CannotOpenFile(entry.FullPath, error);
  }
  PackedEntry packed;
  if (entry.PackingMethod == 0) {
    packed.Block = std::move(content);
    return packed;
  }
  packed.OriginalSize = static_cast<std::uint32_t>(size);
  // An empty file has no data block at all, not even a checksum.
  if (size == 0) return packed;
  packed.Block = LzssEncodeWithHeadroom(content.data(), size);
  RequireFits(entry.FullPath, "compresses to", packed.Block.size(), largestEntrySize);
  // The coder sizes its stream for the worst case; the block waits for its turn to be
  // written in no more memory than it needs, and the file is let go before it is trimmed.
  TByteFile().swap(content);
  packed.Block.shrink_to_fit();
  return packed;
}

// Consecutive small files from First on, packed whole by one worker.
struct FilesUnit {
  std::size_t First = 0;
  std::size_t Count = 0;
};

// One segment [Start, End) of a large file, open once for all its segments.
struct SegmentUnit {
  std::size_t Entry = 0;
  std::shared_ptr<const platform::InputFile> File;
  std::uint64_t FileSize = 0;
  std::uint64_t Start = 0;
  std::uint64_t End = 0;
};

struct PackUnit {
  std::variant<FilesUnit, SegmentUnit> Work;
  std::uint64_t Cost = 0;
};

// What a worker made of a batch of files: their blocks, up to the first that failed, and
// what it threw.
struct PackedFiles {
  std::size_t First = 0;
  std::vector<PackedEntry> Entries;
  std::exception_ptr Error;
};

// What a worker made of a segment: the file's bytes it reads (a stored file's: the segment
// alone), and its parse, unless the writer parses it as it joins.
struct PackedSegment {
  SegmentUnit Unit;
  TByteFile Bytes;
  std::uint64_t BytesOffset = 0;
  std::optional<LzssSegment> Parse;

  LzssFilePiece Piece() const { return {Bytes.data(), Bytes.size(), BytesOffset}; }
};

using PackResult = std::variant<PackedFiles, PackedSegment>;

// Reads the file positions [first, last) of a segment's file. Throws FatalError when they
// cannot be read (the file shrank since it was opened).
TByteFile ReadRange(const TFileHeaders& entry, const platform::InputFile& file,
                    std::uint64_t first, std::uint64_t last) {
  TByteFile bytes(static_cast<std::size_t>(last - first));
  std::string error;
  if (!file.ReadAt(first, bytes.data(), bytes.size(), error)) {
    throw CannotOpenFile(entry.FullPath, error);
  }
  return bytes;
}

// Plans the units of the run in table order: batches of small files, and the segments of
// each large file, which it opens to take its length. Runs on one thread at a time.
class PackingPlan {
 public:
  PackingPlan(const std::vector<TFileHeaders>& table, const PackingLimits& limits)
      : table_(table), limits_(limits) {}

  std::optional<PackUnit> Next() {
    if (large_) return NextSegment();
    if (next_ == table_.size()) return std::nullopt;
    if (SizeHint() > limits_.SegmentSize) return StartLargeFile();
    FilesUnit files{next_, 0};
    std::uint64_t cost = 0;
    while (next_ < table_.size() && files.Count < kBatchEntries) {
      const std::uint64_t size = SizeHint();
      const std::uint64_t more = WholeFileCost(table_[next_], size);
      if (files.Count > 0 && (cost + more > kBatchBytes || size > limits_.SegmentSize)) break;
      cost += more;
      ++files.Count;
      Advance();
    }
    return PackUnit{files, cost};
  }

 private:
  // The size the next file has as the system states it now: a hint, for planning; the file
  // is read at the length it has when it is opened.
  std::uint64_t SizeHint() {
    if (!nextSize_) nextSize_ = platform::FileSizeHint(table_[next_].FullPath);
    return *nextSize_;
  }

  void Advance() {
    ++next_;
    nextSize_.reset();
  }

  // Opens the next file, which is large, and plans its first segment. Throws FatalError
  // when it cannot be opened or is too large for an entry.
  std::optional<PackUnit> StartLargeFile() {
    const std::size_t entry = next_;
    const TFileHeaders& record = table_[entry];
    Advance();
    auto file = std::make_shared<platform::InputFile>();
    std::string error;
    if (!file->Open(record.FullPath, error)) throw CannotOpenFile(record.FullPath, error);
    RequireFits(record.FullPath, "is", file->Size(), limits_.LargestEntrySize);
    if (file->Size() <= limits_.SegmentSize) {
      // It shrank since the folder was listed: packed whole after all.
      return PackUnit{FilesUnit{entry, 1}, WholeFileCost(record, file->Size())};
    }
    large_ = SegmentUnit{entry, std::move(file), 0, 0, 0};
    large_->FileSize = large_->File->Size();
    return NextSegment();
  }

  std::optional<PackUnit> NextSegment() {
    SegmentUnit segment = *large_;
    segment.End = std::min(segment.Start + limits_.SegmentSize, segment.FileSize);
    large_->Start = segment.End;
    if (segment.End == segment.FileSize) large_.reset();
    std::uint64_t cost = segment.End - segment.Start;
    if (table_[segment.Entry].PackingMethod != 0) {
      const LzssByteRange bytes = LzssSegmentBytes(segment.Start, segment.End, segment.FileSize);
      // Its bytes, its parse (up to 2 bytes of items a byte) and the finder.
      cost = (bytes.Last - bytes.First) + 2 * cost + FinderCost(cost);
    }
    return PackUnit{std::move(segment), cost};
  }

  const std::vector<TFileHeaders>& table_;
  const PackingLimits& limits_;
  std::size_t next_ = 0;                  // the next entry to plan
  std::optional<std::uint64_t> nextSize_;  // its size hint, once taken
  std::optional<SegmentUnit> large_;      // the large file being cut, and its next segment
};

// The new archive, written as the entries come: each block after the ones before it, the
// header table last, in front of them. A write that fails is kept and reported by Finish,
// once every file has been read: a file that cannot be read still ends the run first.
class ArchiveOutput {
 public:
  ArchiveOutput(const std::string& path, std::uint64_t headerTableSize)
      : headerTableSize_(headerTableSize), dataPosition_(headerTableSize) {
    writing_ = file_.Create(path, error_);
  }

  std::uint64_t DataPosition() const { return dataPosition_; }

  // Writes bytes at the data position, which moves past them.
  void Put(const std::uint8_t* bytes, std::size_t size) {
    if (writing_ && size > 0) writing_ = file_.WriteAt(dataPosition_, bytes, size, error_);
    dataPosition_ += size;
    end_ = std::max(end_, dataPosition_);
  }

  // Moves the data position back to position, to write a block again from there.
  void Rewind(std::uint64_t position) { dataPosition_ = position; }

  void Record(const TFileHeaders& entry, std::uint32_t originalSize, std::uint64_t dataSize) {
    AppendHeaderRecord(headers_, entry.RelativeName, entry.PackingMethod, originalSize,
                       static_cast<std::uint32_t>(dataSize));
  }

  // Writes the header table and puts the archive in place of the older one. False, with
  // the reason in error, when the archive could not be written.
  bool Finish(std::string& error) {
    AppendTerminator(headers_);
    // The blocks were placed behind a table of the planned size; a table of another size
    // would overwrite them or leave a gap, so no such archive may take the older one's place.
    if (headers_.size() != headerTableSize_) {
      throw std::logic_error("the header table differs from its planned size");
    }
    if (writing_) writing_ = file_.WriteAt(0, headers_.data(), headers_.size(), error_);
    // A block written again may have come out shorter than the first time.
    if (writing_ && end_ > dataPosition_) writing_ = file_.Truncate(dataPosition_, error_);
    if (writing_) writing_ = file_.Commit(error_);
    error = error_;
    return writing_;
  }

 private:
  platform::ReplacementFile file_;
  bool writing_ = false;  // false once anything has failed
  std::string error_;
  const std::uint64_t headerTableSize_;  // worked out from the names before any block
  std::uint64_t dataPosition_;
  std::uint64_t end_ = 0;  // the furthest byte written
  TByteFile headers_;
};

// The writer's side of a run: adds the blocks in table order, joining the segments of a
// large file into its stream as they come.
class PackingWriter {
 public:
  PackingWriter(const std::vector<TFileHeaders>& table, const PackingLimits& limits,
                RunProgress& progress, ArchiveOutput& archive)
      : table_(table), limits_(limits), progress_(progress), archive_(archive) {}

  void Add(PackResult&& result) {
    if (auto* files = std::get_if<PackedFiles>(&result)) {
      AddFiles(*files);
    } else {
      AddSegment(std::get<PackedSegment>(result));
    }
  }

 private:
  void AddFiles(const PackedFiles& files) {
    for (std::size_t k = 0; k < files.Entries.size(); ++k) {
      const PackedEntry& packed = files.Entries[k];
      archive_.Put(packed.Block.data(), packed.Block.size());
      archive_.Record(table_[files.First + k], packed.OriginalSize, packed.Block.size());
      ++progress_.EntriesDone;
      progress_.BytesWritten += packed.Block.size();
    }
    if (files.Error) std::rethrow_exception(files.Error);
  }

  void AddSegment(const PackedSegment& segment) {
    const SegmentUnit& unit = segment.Unit;
    const TFileHeaders& entry = table_[unit.Entry];
    const bool compressed = entry.PackingMethod != 0;
    if (unit.Start == 0) {
      blockStart_ = archive_.DataPosition();
      if (compressed) joiner_.emplace(unit.FileSize, LzssReach::LeadingSpaces);
    }
    if (!compressed) {
      archive_.Put(segment.Bytes.data(), segment.Bytes.size());
      progress_.BytesWritten += segment.Bytes.size();
    } else {
      if (segment.Parse) {
        joiner_->Join(*segment.Parse, segment.Piece(), stream_);
      } else {
        joiner_->ParseAndJoin(segment.Piece(), unit.Start, unit.End, stream_);
      }
      Put(stream_);
      if (joiner_->Fate() == LzssStreamFate::NeedsDataOnly) CodeAgainDataOnly(segment);
    }
    if (unit.End < unit.FileSize) return;
    std::uint32_t originalSize = 0;
    if (compressed) {
      if (joiner_->Finish(stream_) == LzssStreamFate::NeedsDataOnly) {
        CodeAgainDataOnly(segment);
        (void)joiner_->Finish(stream_);
      }
      Put(stream_);
      originalSize = static_cast<std::uint32_t>(unit.FileSize);
      joiner_.reset();
    }
    const std::uint64_t dataSize = archive_.DataPosition() - blockStart_;
    RequireFits(entry.FullPath, compressed ? "compresses to" : "is", dataSize,
                limits_.LargestEntrySize);
    archive_.Record(entry, originalSize, dataSize);
    ++progress_.EntriesDone;
  }

  // The usual stream of a file would not come back whole: codes the file again from its
  // start, up to the end of the segment in hand, with the data alone, writing the new
  // stream over the old one. The segments after it parse the same for both streams, so
  // the joining goes on with them as they come.
  void CodeAgainDataOnly(const PackedSegment& segment) {
    const SegmentUnit& unit = segment.Unit;
    const TFileHeaders& entry = table_[unit.Entry];
    joiner_.emplace(unit.FileSize, LzssReach::DataOnly);
    stream_.clear();
    archive_.Rewind(blockStart_);
    for (std::uint64_t start = 0; start < unit.End; start += limits_.SegmentSize) {
      const std::uint64_t end = std::min(start + limits_.SegmentSize, unit.FileSize);
      if (start == unit.Start) {
        joiner_->ParseAndJoin(segment.Piece(), start, end, stream_);
      } else {
        const LzssByteRange range = LzssSegmentBytes(start, end, unit.FileSize);
        const TByteFile bytes = ReadRange(entry, *unit.File, range.First, range.Last);
        joiner_->ParseAndJoin({bytes.data(), bytes.size(), range.First}, start, end, stream_);
      }
      Put(stream_);
    }
  }

  void Put(TByteFile& bytes) {
    archive_.Put(bytes.data(), bytes.size());
    progress_.BytesWritten += bytes.size();
    bytes.clear();
  }

  const std::vector<TFileHeaders>& table_;
  const PackingLimits& limits_;
  RunProgress& progress_;
  ArchiveOutput& archive_;
  std::uint64_t blockStart_ = 0;             // where the large file's block begins
  std::optional<LzssStreamJoiner> joiner_;  // its stream so far, when it is compressed
  TByteFile stream_;                        // stream bytes on their way to the archive
};

}  // namespace

void SetPackingLimitsForTests(const PackingLimits& limits) { gLimits = limits; }

void CreateArchive(RunState& run) { CreateArchiveWithin(run, gLimits); }

void CreateArchiveWithin(RunState& run, const PackingLimits& limits) {
  run.EntryTable.clear();
  ScanSourceFolder(run, std::string());
  if (run.EntryTable.empty()) {
    run.Report("\"" + run.SourceFolder + "\" holds no file to pack; no archive written");
    return;
  }

  const std::vector<TFileHeaders>& table = run.EntryTable;
  RunProgress& progress = run.Progress;
  progress.EntriesTotal = table.size();
  ArchiveOutput archive(run.OutputArchive, HeaderTableSize(table));
  PackingPlan plan(table, limits);
  PackingWriter writer(table, limits, progress, archive);
  // With one thread the writer parses each segment as it joins it, so nothing is parsed
  // twice; with more, the workers parse and the writer only joins.
  const bool parseOnWorkers = run.Threads > 1;
  auto packFiles = [&](const FilesUnit& unit) {
    PackedFiles packed;
    packed.First = unit.First;
    packed.Entries.reserve(unit.Count);
    try {
      for (std::size_t k = 0; k < unit.Count; ++k) {
        const TFileHeaders& entry = table[unit.First + k];
        packed.Entries.push_back(PackEntry(entry, limits.LargestEntrySize));
        const PackedEntry& done = packed.Entries.back();
        progress.BytesRead += entry.PackingMethod == 0 ? done.Block.size() : done.OriginalSize;
      }
    } catch (...) {
      packed.Error = std::current_exception();
    }
    return packed;
  };
  auto packSegment = [&](SegmentUnit unit) {
    const TFileHeaders& entry = table[unit.Entry];
    PackedSegment packed;
    LzssByteRange range{unit.Start, unit.End};
    if (entry.PackingMethod != 0) range = LzssSegmentBytes(unit.Start, unit.End, unit.FileSize);
    packed.Bytes = ReadRange(entry, *unit.File, range.First, range.Last);
    packed.BytesOffset = range.First;
    progress.BytesRead += unit.End - unit.Start;
    if (entry.PackingMethod != 0 && parseOnWorkers) {
      packed.Parse = LzssParseSegment(packed.Piece(), unit.FileSize, unit.Start, unit.End,
                                      LzssReach::LeadingSpaces, unit.Start);
    }
    packed.Unit = std::move(unit);
    return packed;
  };
  RunInOrder(
      run.Threads, kBudgetPerThread * (run.Threads + 1), [&] { return plan.Next(); },
      [&](PackUnit unit) -> PackResult {
        if (auto* files = std::get_if<FilesUnit>(&unit.Work)) return packFiles(*files);
        return packSegment(std::move(std::get<SegmentUnit>(unit.Work)));
      },
      [&](PackResult result) { writer.Add(std::move(result)); });
  std::string error;
  if (!archive.Finish(error)) {
    run.Fail(kBadPathOrNoWrite, "cannot write \"" + run.OutputArchive + "\": " + error);
  }
}

}  // namespace pbo
