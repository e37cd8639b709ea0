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

// Reads the header table of an archive of archiveSize bytes, through read, a window at a
// time: passes over a leading version record and its three strings, then appends one
// record per header record to table, the terminator's (empty name) last. RelativeName,
// PackingMethod, OriginalSize and DataSize are filled; FullPath is left to the caller.
// Returns the offset of the first data block.
// Throws FatalError, naming archivePath, when the table runs out of bytes before its
// terminator (a name without its zero byte, a record cut short, a version record cut short).
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

// Appends the 21-byte terminator record: an empty name, the compressed packing method and
// four zero numbers.
void AppendTerminator(TByteFile& area);

}  // namespace pbo
