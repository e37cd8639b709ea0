// Little-endian loads and stores. Every number in an archive, in a compressed stream and in
// a binarized mission is little-endian, whatever the byte order of the machine reading it;
// this header is the one place that knows. Loads assemble bytes (or go through memcpy),
// never cast a pointer, so they need no alignment; compilers turn each into a single load
// on little-endian machines and a load plus a byte swap on big-endian ones.
#pragma once

#include <cstdint>
#include <cstring>

namespace pbo::bytes {

// The 2, 4 or 8 bytes at `at`, least significant first.
inline std::uint16_t LoadLe16(const std::uint8_t* at) {
  return static_cast<std::uint16_t>(at[0] | at[1] << 8);
}

inline std::uint32_t LoadLe32(const std::uint8_t* at) {
  return static_cast<std::uint32_t>(at[0]) | static_cast<std::uint32_t>(at[1]) << 8 |
         static_cast<std::uint32_t>(at[2]) << 16 | static_cast<std::uint32_t>(at[3]) << 24;
}

inline std::uint64_t LoadLe64(const std::uint8_t* at) {
  return static_cast<std::uint64_t>(LoadLe32(at)) | static_cast<std::uint64_t>(LoadLe32(at + 4))
                                                        << 32;
}

// Writes value to the 4 bytes at `at`, least significant first.
inline void StoreLe32(std::uint8_t* at, std::uint32_t value) {
  at[0] = static_cast<std::uint8_t>(value);
  at[1] = static_cast<std::uint8_t>(value >> 8);
  at[2] = static_cast<std::uint8_t>(value >> 16);
  at[3] = static_cast<std::uint8_t>(value >> 24);
}

// The 8 bytes at `at` in the machine's own order: for comparing two places for equality,
// where the order does not matter. Where it does (which byte differs first), use LoadLe64.
inline std::uint64_t LoadNative64(const std::uint8_t* at) {
  std::uint64_t value;
  std::memcpy(&value, at, sizeof value);
  return value;
}

}  // namespace pbo::bytes
