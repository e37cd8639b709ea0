// Archive mode: one folder in, one archive out.
//
// The folder is scanned into the entry table first. Each file is then read and compressed
// (or kept as it is) on the worker threads, and its block and header record are added in
// table order on this thread, so the archive is the same whatever the thread count. The
// archive is written once at the end to a new file that replaces the older archive only
// when it is complete: a run that fails anywhere leaves the older archive as it was.
#include "archive/create.h"

#include <limits>

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
// sits on the bytes actually read and the stream actually made, never on a length taken
// apart from them.
void RequireFits(const std::string& path, const char* what, std::uint64_t size,
                 std::uint64_t largestEntrySize) {
  if (size <= largestEntrySize) return;
  throw FatalError("\"" + platform::AbsolutePath(path) + "\" " + what + " " + std::to_string(size) +
                   " bytes, more than the " + std::to_string(largestEntrySize) +
                   " an archive entry can hold");
}

TByteFile ReadSourceFile(const std::string& path) {
  TByteFile bytes;
  std::string error;
  if (!platform::ReadWholeFile(path, bytes, error)) throw CannotOpenFile(path, error);
  return bytes;
}

// The most the data area can need, so that it never moves while it grows. Only the pages
// actually filled take memory.
std::size_t DataAreaBound(const std::vector<TFileHeaders>& entries) {
  std::uint64_t bound = 0;
  for (const TFileHeaders& entry : entries) {
    const std::int64_t size = platform::FileSize(entry.FullPath);
    if (size <= 0 || static_cast<std::uint64_t>(size) > kLargestEntrySize) continue;
    // A literal costs 9/8 of a byte; the checksum adds 4.
    bound += static_cast<std::uint64_t>(size) + static_cast<std::uint64_t>(size) / 8 + 5;
  }
  return bound < std::numeric_limits<std::size_t>::max() / 2 ? static_cast<std::size_t>(bound) : 0;
}

// A source file about to be read: what it will hold in memory while it is compressed (the
// file, the coder's copy of it and the stream).
struct SourceFile {
  std::uint64_t Cost = 0;
};

// One entry ready to be added to the archive.
struct PackedEntry {
  TByteFile Block;                 // the data block: the stream, or the file unchanged
  std::uint32_t OriginalSize = 0;  // the header's original size: the file's length, or 0
  std::uint64_t HeldBytes() const { return Block.capacity(); }
};

SourceFile PrepareSource(const TFileHeaders& entry) {
  const std::int64_t size = platform::FileSize(entry.FullPath);
  return {size > 0 ? 3 * static_cast<std::uint64_t>(size) : 0};
}

// Reads one source file and makes its data block. Throws FatalError when the file cannot
// be read or its sizes do not fit the header record.
PackedEntry PackEntry(const TFileHeaders& entry, std::uint64_t largestEntrySize) {
  PackedEntry packed;
  TByteFile content = ReadSourceFile(entry.FullPath);
  RequireFits(entry.FullPath, "is", content.size(), largestEntrySize);
  if (entry.PackingMethod == 0) {
    packed.Block = std::move(content);
    return packed;
  }
  packed.OriginalSize = static_cast<std::uint32_t>(content.size());
  // An empty file has no data block at all, not even a checksum.
  if (content.empty()) return packed;
  packed.Block = LzssEncode(content.data(), content.size());
  // The coder sizes its stream for the worst case; the block waits for its turn to be
  // written in no more memory than it needs.
  packed.Block.shrink_to_fit();
  RequireFits(entry.FullPath, "compresses to", packed.Block.size(), largestEntrySize);
  return packed;
}

}  // namespace

void CreateArchive(RunState& run) { CreateArchiveWithin(run, kLargestEntrySize); }

void CreateArchiveWithin(RunState& run, std::uint64_t largestEntrySize) {
  run.EntryTable.clear();
  ScanSourceFolder(run, std::string());
  if (run.EntryTable.empty()) {
    run.Report("\"" + run.SourceFolder + "\" holds no file to pack; no archive written");
    return;
  }

  TByteFile headerArea;
  TByteFile dataArea;
  dataArea.reserve(DataAreaBound(run.EntryTable));
  const std::vector<TFileHeaders>& table = run.EntryTable;
  RunInTableOrder(
      run.Threads, table.size(), [&](std::size_t i) { return PrepareSource(table[i]); },
      [&](std::size_t i, SourceFile) { return PackEntry(table[i], largestEntrySize); },
      [&](std::size_t i, PackedEntry packed) {
        dataArea.insert(dataArea.end(), packed.Block.begin(), packed.Block.end());
        AppendHeaderRecord(headerArea, table[i].RelativeName, table[i].PackingMethod,
                           packed.OriginalSize, static_cast<std::uint32_t>(packed.Block.size()));
      });
  AppendTerminator(headerArea);

  std::string error;
  const platform::ByteRange pieces[] = {{headerArea.data(), headerArea.size()},
                                        {dataArea.data(), dataArea.size()}};
  if (!platform::ReplaceFileAtomically(run.OutputArchive, pieces, 2, error)) {
    run.RaiseResult(kBadPathOrNoWrite);
    run.Report("cannot write \"" + run.OutputArchive + "\": " + error);
  }
}

}  // namespace pbo
