// Extract mode: one archive in, one file per entry out.
//
// The archive is read whole and its table parsed before anything is written. Each entry
// then takes one road (empty file, LZSS expansion, mission text, plain copy) and is rated;
// a failed entry raises the result code to 3 and never disturbs the entries after it,
// since every data block is found from the sum of the data sizes before it.
#include <algorithm>
#include <cstring>
#include <limits>

#include "archive/archive.h"
#include "archive/format.h"
#include "archive/output.h"
#include "lzss/lzss.h"
#include "mission/mission.h"
#include "platform/platform.h"

namespace pbo {
namespace {

constexpr std::uint8_t kMissionSignature[9] = {0x00, 0x72, 0x61, 0x50, 0x04,
                                               0x00, 0x00, 0x00, 0x00};
constexpr std::size_t kMissionMinimumSize = 10;

// Mission text may grow far beyond its data (nesting makes it grow as the square), so no
// ratio per entry holds sound missions; what is bounded is all the text one run writes:
// 64 MiB, plus 64 bytes per byte of the archive. Missions draw on it in table order.
constexpr std::uint64_t kMissionTextBase = std::uint64_t{64} << 20;
constexpr std::uint64_t kMissionTextPerArchiveByte = 64;

std::size_t MissionTextBudget(std::uint64_t archiveSize) {
  const std::uint64_t most = std::numeric_limits<std::size_t>::max();
  if (archiveSize >= (most - kMissionTextBase) / kMissionTextPerArchiveByte) {
    return static_cast<std::size_t>(most);
  }
  return static_cast<std::size_t>(kMissionTextBase + kMissionTextPerArchiveByte * archiveSize);
}

// A stored entry named MISSION.ZEM (any case, any folder) whose block opens with the
// binarized signature is converted to text on the way out.
bool IsBinarizedMission(const TFileHeaders& entry, const std::uint8_t* block) {
  if (entry.PackingMethod == kCompressedMethod) return false;
  return platform::UpperCaseAscii(platform::EntryFileName(entry.RelativeName)) == "MISSION.ZEM" &&
         entry.DataSize >= static_cast<std::int32_t>(kMissionMinimumSize) &&
         std::memcmp(block, kMissionSignature, sizeof kMissionSignature) == 0;
}

// Takes one entry down its road and writes its file. Returns false when the entry failed.
// missionTextLeft: what the run's mission text budget still allows; a mission's text is
// taken from it.
bool ExtractEntry(TFileHeaders& entry, const std::uint8_t* block, OutputWriter& writer,
                  std::size_t& missionTextLeft) {
  entry.IsBinarizedMission = IsBinarizedMission(entry, block);
  const std::size_t size = static_cast<std::size_t>(entry.DataSize);
  if (size == 0) return writer.Write(entry.FullPath, nullptr, 0);
  if (entry.PackingMethod == kCompressedMethod) {
    const LzssDecodeResult decoded = LzssDecode(block, size, entry.OriginalSize);
    switch (decoded.Verdict) {
      case LzssVerdict::Verified:
      case LzssVerdict::Repaired:
        return writer.Write(entry.FullPath, decoded.Output.data(), decoded.Output.size());
      case LzssVerdict::Unrepairable:
        writer.Write(entry.FullPath, decoded.Output.data(), decoded.Output.size());
        return false;
      case LzssVerdict::LengthMismatch:
        return false;
    }
    return false;
  }
  if (entry.IsBinarizedMission) {
    const MissionText mission = MissionToText(block, size, missionTextLeft);
    missionTextLeft -= std::min(missionTextLeft, mission.Text.size());
    const bool written =
        writer.Write(entry.FullPath, reinterpret_cast<const std::uint8_t*>(mission.Text.data()),
                     mission.Text.size());
    return written && !mission.ErrorFlag;
  }
  return writer.Write(entry.FullPath, block, size);
}

}  // namespace

void ExtractArchive(RunState& run) {
  TByteFile archive;
  std::string error;
  if (!platform::ReadWholeFile(run.InputPath, archive, error)) {
    throw CannotOpenFile(run.InputPath, error);
  }
  run.EntryTable.clear();
  // Positions are 64-bit: the archive as a whole may exceed 2 GiB even though no entry may.
  std::uint64_t dataPosition = ReadEntryTable(archive, run.InputPath, run.EntryTable);

  OutputWriter writer(run.OutputFolder);
  std::size_t missionTextLeft = MissionTextBudget(archive.size());
  const std::size_t entryCount = run.EntryTable.size() - 1;  // the terminator is not extracted
  for (std::size_t i = 0; i < entryCount; ++i) {
    TFileHeaders& entry = run.EntryTable[i];
    entry.FullPath = EntryPathOnDisk(run.OutputFolder, entry.RelativeName);
    // A size of 2^31 or more reads as negative: such an entry fails, and the next block is
    // looked for past the whole unsigned size, as the field's bytes say.
    const std::uint64_t blockStart = dataPosition;
    dataPosition += static_cast<std::uint32_t>(entry.DataSize);
    const bool blockInside = entry.DataSize >= 0 && dataPosition <= archive.size();
    const bool ok = blockInside && IsSafeEntryName(entry.RelativeName) &&
                    ExtractEntry(entry, archive.data() + blockStart, writer, missionTextLeft);
    if (!ok) run.RaiseResult(kEntryFailed);
  }
}

}  // namespace pbo
