// Archive mode: one folder in, one archive out.
//
// The archive is built whole in memory, header area and data area side by side, and
// written once at the end to a new file that replaces the older archive only when it is
// complete: a run that fails anywhere leaves the older archive as it was.
#include "archive/create.h"

#include <limits>

#include "archive/archive.h"
#include "archive/format.h"
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

}  // namespace

void CreateArchive(RunState& run) { CreateArchiveWithin(run, kLargestEntrySize); }

void CreateArchiveWithin(RunState& run, std::uint64_t largestEntrySize) {
  run.EntryTable.clear();
  ScanSourceFolder(run, std::string());
  if (run.EntryTable.empty()) return;

  TByteFile headerArea;
  TByteFile dataArea;
  dataArea.reserve(DataAreaBound(run.EntryTable));
  for (const TFileHeaders& entry : run.EntryTable) {
    const TByteFile content = ReadSourceFile(entry.FullPath);
    RequireFits(entry.FullPath, "is", content.size(), largestEntrySize);
    const auto contentSize = static_cast<std::uint32_t>(content.size());
    if (entry.PackingMethod == 0) {
      dataArea.insert(dataArea.end(), content.begin(), content.end());
      AppendHeaderRecord(headerArea, entry.RelativeName, 0, 0, contentSize);
      continue;
    }
    std::uint32_t dataSize = 0;
    if (!content.empty()) {
      const TByteFile stream = LzssEncode(content.data(), content.size());
      RequireFits(entry.FullPath, "compresses to", stream.size(), largestEntrySize);
      dataArea.insert(dataArea.end(), stream.begin(), stream.end());
      dataSize = static_cast<std::uint32_t>(stream.size());
    }
    AppendHeaderRecord(headerArea, entry.RelativeName, entry.PackingMethod, contentSize, dataSize);
  }
  AppendTerminator(headerArea);

  std::string error;
  const platform::ByteRange pieces[] = {{headerArea.data(), headerArea.size()},
                                        {dataArea.data(), dataArea.size()}};
  if (!platform::ReplaceFileAtomically(run.OutputArchive, pieces, 2, error)) {
    run.RaiseResult(kBadPathOrNoWrite);
  }
}

}  // namespace pbo
