// Archive mode: one folder in, one archive out.
//
// The folder is scanned into the entry table first, which fixes the size of the header
// table from the names alone. Each file is then read and compressed (or kept as it is) on
// the worker threads, and on this thread, in table order, its block is written to the new
// archive right after the blocks before it, leaving room for the header table, which is
// written last. Memory follows the entries in flight, not the archive, and the archive is
// the same whatever the thread count. The new archive replaces the older one only once it
// is complete: a run that fails anywhere leaves the older archive as it was.
#include "archive/create.h"

#include <exception>
#include <limits>
#include <optional>
#include <stdexcept>

#include "archive/archive.h"
#include "archive/format.h"
#include "archive/ordered_work.h"
#include "archive/scan.h"
#include "lzss/lzss.h"
#include "platform/platform.h"

namespace pbo {
namespace {

// The largest size a header record can state: its sizes are read as signed 32-bit.
constexpr std::uint64_t kLargestEntrySize = std::numeric_limits<std::int32_t>::max();

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

// One entry ready to be added to the archive.
struct PackedEntry {
  TByteFile Block;                 // the data block: the stream, or the file unchanged
  std::uint32_t OriginalSize = 0;  // the header's original size: the file's length, or 0
};

// Small files travel in batches of consecutive entries, so that the hand-over between the
// threads is paid per batch: up to this many files, or until the batch holds this many
// bytes (the files and their streams). A larger file travels alone.
constexpr std::size_t kBatchEntries = 256;
constexpr std::uint64_t kBatchBytes = std::uint64_t{1} << 20;

// What the units in flight may hold in all, per worker thread.
constexpr std::uint64_t kBudgetPerThread = std::uint64_t{16} << 20;

// Consecutive entries from First on, handed to a worker together.
struct SourceBatch {
  std::size_t First = 0;
  std::size_t Count = 0;
  std::uint64_t Cost = 0;
};

// What a worker made of a batch: the entries' blocks, up to the first that failed, and
// what it threw.
struct PackedBatch {
  std::size_t First = 0;
  std::vector<PackedEntry> Entries;
  std::exception_ptr Error;
};

// What packing a file holds: the file, and for a compressed one its stream, sized for
// the worst case (a literal costs 9/8 of a byte, the checksum 4). The size is the one the
// file had when the folder was listed; the file is read at the length it has when opened.
std::uint64_t PackingCost(const TFileHeaders& entry) {
  const std::uint64_t size = platform::FileSizeHint(entry.FullPath);
  return entry.PackingMethod == 0 ? size : 2 * size + size / 8 + 5;
}

// Reads one source file and makes its data block. Throws FatalError when the file cannot
// be read whole or its sizes do not fit the header record.
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

// The new archive, written as the entries come: each block after the ones before it, the
// header table last, in front of them. A write that fails is kept and reported by Finish,
// once every file has been read: a file that cannot be read still ends the run first.
class ArchiveOutput {
 public:
  ArchiveOutput(const std::string& path, std::uint64_t headerTableSize)
      : headerTableSize_(headerTableSize), dataPosition_(headerTableSize) {
    writing_ = file_.Create(path, error_);
  }

  void Add(const TFileHeaders& entry, const PackedEntry& packed) {
    if (writing_) {
      writing_ = file_.WriteAt(dataPosition_, packed.Block.data(), packed.Block.size(), error_);
    }
    dataPosition_ += packed.Block.size();
    AppendHeaderRecord(headers_, entry.RelativeName, entry.PackingMethod, packed.OriginalSize,
                       static_cast<std::uint32_t>(packed.Block.size()));
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
  TByteFile headers_;
};

}  // namespace

void CreateArchive(RunState& run) { CreateArchiveWithin(run, kLargestEntrySize); }

void CreateArchiveWithin(RunState& run, std::uint64_t largestEntrySize) {
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
  std::size_t next = 0;  // the next entry to plan
  std::uint64_t nextCost = 0;
  bool nextCostKnown = false;
  auto plan = [&]() -> std::optional<SourceBatch> {
    if (next == table.size()) return std::nullopt;
    SourceBatch batch{next, 0, 0};
    while (next < table.size() && batch.Count < kBatchEntries) {
      if (!nextCostKnown) nextCost = PackingCost(table[next]);
      nextCostKnown = true;
      if (batch.Count > 0 && batch.Cost + nextCost > kBatchBytes) break;
      batch.Cost += nextCost;
      ++batch.Count;
      ++next;
      nextCostKnown = false;
    }
    return batch;
  };
  auto work = [&](SourceBatch batch) {
    PackedBatch packed;
    packed.First = batch.First;
    packed.Entries.reserve(batch.Count);
    try {
      for (std::size_t k = 0; k < batch.Count; ++k) {
        const TFileHeaders& entry = table[batch.First + k];
        packed.Entries.push_back(PackEntry(entry, largestEntrySize));
        const PackedEntry& done = packed.Entries.back();
        progress.BytesRead += entry.PackingMethod == 0 ? done.Block.size() : done.OriginalSize;
      }
    } catch (...) {
      packed.Error = std::current_exception();
    }
    return packed;
  };
  auto write = [&](PackedBatch packed) {
    for (std::size_t k = 0; k < packed.Entries.size(); ++k) {
      archive.Add(table[packed.First + k], packed.Entries[k]);
      ++progress.EntriesDone;
      progress.BytesWritten += packed.Entries[k].Block.size();
    }
    if (packed.Error) std::rethrow_exception(packed.Error);
  };
  RunInOrder(run.Threads, kBudgetPerThread * run.Threads, plan, work, write);
  std::string error;
  if (!archive.Finish(error)) {
    run.Fail(kBadPathOrNoWrite, "cannot write \"" + run.OutputArchive + "\": " + error);
  }
}

}  // namespace pbo
