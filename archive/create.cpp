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

#include <limits>
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

// A source file, open and about to be read.
struct SourceFile {
  platform::InputFile File;
  std::uint64_t Size = 0;
  std::uint64_t Cost = 0;  // memory it holds while it is compressed
};

// One entry ready to be added to the archive.
struct PackedEntry {
  TByteFile Block;                 // the data block: the stream, or the file unchanged
  std::uint32_t OriginalSize = 0;  // the header's original size: the file's length, or 0
  std::uint64_t HeldBytes() const { return Block.capacity(); }
};

// Opens one source file. Throws FatalError when it cannot.
SourceFile OpenSource(const TFileHeaders& entry) {
  SourceFile source;
  std::string error;
  if (!source.File.Open(entry.FullPath, error)) throw CannotOpenFile(entry.FullPath, error);
  source.Size = source.File.Size();
  // The file, and for a compressed one its stream, sized for the worst case (a literal
  // costs 9/8 of a byte, the checksum 4), then the stream and its trimmed copy.
  const std::uint64_t streamBound = source.Size + source.Size / 8 + 5;
  source.Cost = entry.PackingMethod == 0 ? source.Size : 2 * streamBound;
  return source;
}

// Reads one source file and makes its data block. Throws FatalError when the file cannot
// be read whole or its sizes do not fit the header record.
PackedEntry PackEntry(const TFileHeaders& entry, const platform::InputFile& file,
                      std::uint64_t largestEntrySize) {
  RequireFits(entry.FullPath, "is", file.Size(), largestEntrySize);
  const auto size = static_cast<std::size_t>(file.Size());
  // A file to compress is read behind room for the coder's spaces, so that it works on
  // this one copy.
  const std::size_t headroom = entry.PackingMethod == 0 ? 0 : kLzssHeadroom;
  TByteFile content(headroom + size);
  std::string error;
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
  RunInTableOrder(
      run.Threads, table.size(), [&](std::size_t i) { return OpenSource(table[i]); },
      [&](std::size_t i, SourceFile source) {
        PackedEntry packed = PackEntry(table[i], source.File, largestEntrySize);
        progress.BytesRead += source.Size;
        return packed;
      },
      [&](std::size_t i, PackedEntry packed) {
        archive.Add(table[i], packed);
        ++progress.EntriesDone;
        progress.BytesWritten += packed.Block.size();
      });
  std::string error;
  if (!archive.Finish(error)) {
    run.Fail(kBadPathOrNoWrite, "cannot write \"" + run.OutputArchive + "\": " + error);
  }
}

}  // namespace pbo
