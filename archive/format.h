// The archive's byte layout: header records, the terminator and the optional version
// record. Internal to the archive subsystem (and its tests).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "archive/archive.h"

namespace pbo {

// Size of a header record's five numbers: packing method, original size, reserved, time
// stamp, data size.
inline constexpr std::size_t kRecordNumbersSize = 20;
// Packing method of the version record that may open an archive ("sreV" in the file).
inline constexpr std::uint32_t kVersionMethod = 0x56657273;

inline std::uint32_t ReadLe32(const std::uint8_t* bytes) {
  return static_cast<std::uint32_t>(bytes[0]) | static_cast<std::uint32_t>(bytes[1]) << 8 |
         static_cast<std::uint32_t>(bytes[2]) << 16 | static_cast<std::uint32_t>(bytes[3]) << 24;
}

inline void AppendLe32(TByteFile& out, std::uint32_t value) {
  const std::uint8_t bytes[4] = {static_cast<std::uint8_t>(value),
                                 static_cast<std::uint8_t>(value >> 8),
                                 static_cast<std::uint8_t>(value >> 16),
                                 static_cast<std::uint8_t>(value >> 24)};
  out.insert(out.end(), bytes, bytes + 4);
}

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
