// The archive's byte layout: header records, the terminator and the optional version
// record. Internal to the archive subsystem (and its tests).
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "archive/archive.h"
#include "platform/bytes.h"

namespace pbo {

// Appends value as 4 bytes, least significant first.
inline void AppendLe32(TByteFile& out, std::uint32_t value) {
  std::uint8_t bytes[4];
  bytes::StoreLe32(bytes, value);
  out.insert(out.end(), bytes, bytes + 4);
}

// The error that ends the run when a file cannot be opened or read: Cannot open file
// "<path made absolute>". <reason>
FatalError CannotOpenFile(const std::string& path, const std::string& reason);

// name with every "/" turned into "\".
std::string ToBackslashes(std::string name);

// Reads exactly size bytes of an archive at offset into out (offset + size never passes
// the archive's size). Throws FatalError when it cannot.
using ArchiveReader =
    std::function<void(std::uint64_t offset, std::uint8_t* out, std::size_t size)>;

// Walks the header table of an archive of archiveSize bytes, through read, a window at a
// time: takes a leading version record's three strings into versionStrings (when it is not
// null; left as it is when there is no version record), then hands one record per header
// record to visit, in table order, the terminator's (empty name) last. RelativeName holds
// the name as the archive holds it ("/" not turned into "\"); PackingMethod, OriginalSize
// and DataSize are filled; FullPath is empty. Returns the offset of the first data block.
// Throws FatalError, naming archivePath, when the table runs out of bytes before its
// terminator (a name without its zero byte, a record cut short, a version record cut
// short); visit has seen the records before that point.
std::uint64_t VisitEntryTable(std::uint64_t archiveSize, const ArchiveReader& read,
                              const std::string& archivePath,
                              const std::function<void(TFileHeaders&&)>& visit,
                              std::vector<std::string>* versionStrings = nullptr);

// Reads the header table as VisitEntryTable walks it, appending one record per header
// record to table with every "/" of its name turned into "\". Returns the offset of the
// first data block. Throws as VisitEntryTable.
std::uint64_t ReadEntryTable(std::uint64_t archiveSize, const ArchiveReader& read,
                             const std::string& archivePath, std::vector<TFileHeaders>& table);

// The same, for an archive held in memory.
std::uint64_t ReadEntryTable(const TByteFile& archive, const std::string& archivePath,
                             std::vector<TFileHeaders>& table);

// Size of the header table that lists entries in this order: one record per entry (its
// name, a zero byte and five numbers) and the terminator.
std::uint64_t HeaderTableSize(const std::vector<TFileHeaders>& entries);

// Appends one header record: name, its zero byte, then packing method, original size, a
// zero reserved field, a zero time stamp and data size.
void AppendHeaderRecord(TByteFile& area, const std::string& name, std::uint32_t packingMethod,
                        std::uint32_t originalSize, std::uint32_t dataSize);

// True when the file name of relativeName (with "\" between folders) is MISSION.ZEM, in
// any case, in any folder: the name of an entry that may hold a binarized mission.
bool IsMissionName(const std::string& relativeName);

// True when an entry would be extracted as a mission's text: it is stored, its file name is
// MISSION.ZEM (IsMissionName) and its block (DataSize bytes) is at least 10 bytes long and
// opens with the binarized signature, whose 9 bytes `start` holds (null: the block has not
// been read, and the answer is false).
bool IsBinarizedMission(const TFileHeaders& entry, const std::uint8_t* start);

// The bytes of a block that IsBinarizedMission looks at.
inline constexpr std::size_t kMissionSignatureSize = 9;

// Appends the 21-byte terminator record: an empty name, the compressed packing method and
// four zero numbers.
void AppendTerminator(TByteFile& area);

}  // namespace pbo
