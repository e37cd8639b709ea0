// The archive's byte layout: header records, the terminator and the optional version
// record. Internal to the archive subsystem (and its tests).
#pragma once

#include <cstddef>
#include <cstdint>
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

// Reads the header table of archive: passes over a leading version record and its three
// strings, then appends one record per header record to table, the terminator's (empty
// name) last. RelativeName, PackingMethod, OriginalSize and DataSize are filled; FullPath
// is left to the caller. Returns the offset of the first data block.
// Throws FatalError, naming archivePath, when the table runs out of bytes before its
// terminator (a name without its zero byte, a record cut short, a version record cut short).
std::size_t ReadEntryTable(const TByteFile& archive, const std::string& archivePath,
                           std::vector<TFileHeaders>& table);

// Appends one header record: name, its zero byte, then packing method, original size, a
// zero reserved field, a zero time stamp and data size.
void AppendHeaderRecord(TByteFile& area, const std::string& name, std::uint32_t packingMethod,
                        std::uint32_t originalSize, std::uint32_t dataSize);

// Appends the 21-byte terminator record: an empty name, the compressed packing method and
// four zero numbers.
void AppendTerminator(TByteFile& area);

}  // namespace pbo
