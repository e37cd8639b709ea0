// Deterministic inputs of the kinds an archive holds, for the codec's differential and
// round-trip tests: text with indentation, prose, float geometry, image planes, random
// bytes, zero-heavy records, long runs and periodic data.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <vector>

namespace pbo::testdata {

using Bytes = std::vector<std::uint8_t>;

inline void Append(Bytes& out, const std::string& text) {
  out.insert(out.end(), text.begin(), text.end());
}

inline Bytes RandomBytes(std::uint32_t seed, std::size_t size) {
  std::mt19937 rng(seed);
  Bytes out(size);
  for (auto& byte : out) byte = static_cast<std::uint8_t>(rng());
  return out;
}

// Class-structured text: nested blocks, tab indentation, CR LF, repeated keys.
inline Bytes ConfigText(std::uint32_t seed, std::size_t size) {
  static const char* const kKeys[] = {"position", "azimut",  "side", "rank",    "skill",
                                      "name",     "vehicle", "init", "special", "player"};
  static const char* const kValues[] = {"\"RED\"",      "\"BLUE\"", "0.6",  "1",
                                        "\"CORPORAL\"", "\"FORM\"", "\"\"", "\"NONE\""};
  std::mt19937 rng(seed);
  Bytes out;
  int item = 0;
  while (out.size() < size) {
    const int depth = static_cast<int>(rng() % 5);
    const std::string indent(depth, '\t');
    Append(out, indent + "class Item" + std::to_string(item++) + "\r\n" + indent + "{\r\n");
    const int lines = 2 + static_cast<int>(rng() % 6);
    for (int i = 0; i < lines; ++i) {
      Append(out, indent + "\t" + kKeys[rng() % 10] + "=");
      if (rng() % 3 == 0) {
        Append(out, "{" + std::to_string(rng() % 10000) + "." + std::to_string(rng() % 1000000) +
                        "," + std::to_string(rng() % 300) + ".000000}");
      } else {
        Append(out, kValues[rng() % 8]);
      }
      Append(out, ";\r\n");
    }
    Append(out, indent + "};\r\n");
  }
  out.resize(size);
  return out;
}

// Word text wrapped into lines, starting with an indented title.
inline Bytes ProseText(std::uint32_t seed, std::size_t size) {
  static const char* const kWords[] = {"the",      "of",      "and",     "to",      "a",
                                       "in",       "that",    "was",     "river",   "mountain",
                                       "soldiers", "marched", "towards", "village", "quietly",
                                       "evening",  "under",   "bridge"};
  std::mt19937 rng(seed);
  Bytes out;
  Append(out, "      The Long Road\r\n\r\n");
  std::size_t column = 0;
  while (out.size() < size) {
    // Skewed choice: the first words are the most frequent.
    const std::size_t word = std::min<std::size_t>(rng() % 18, rng() % 18);
    const std::string text = kWords[word];
    if (column + text.size() > 76) {
      Append(out, "\r\n");
      column = 0;
    }
    Append(out, text + " ");
    column += text.size() + 1;
    if (rng() % 12 == 0) Append(out, rng() % 4 == 0 ? ".\r\n\r\n" : ". ");
  }
  out.resize(size);
  return out;
}

// Little-endian floats of a grid of points, with repeated index lists.
inline Bytes Geometry(std::uint32_t seed, std::size_t size) {
  std::mt19937 rng(seed);
  Bytes out;
  while (out.size() < size) {
    const float value = static_cast<float>(rng() % 512) / 64.0f - 4.0f;
    std::uint8_t bytes[4];
    std::memcpy(bytes, &value, 4);
    out.insert(out.end(), bytes, bytes + 4);
    if (rng() % 64 == 0) {
      for (std::uint32_t i = 0; i < 24; ++i) {
        const std::uint32_t index = i / 3 + rng() % 2;
        out.insert(out.end(), {static_cast<std::uint8_t>(index), 0, 0, 0});
      }
    }
  }
  out.resize(size);
  return out;
}

// Interleaved RGBA pixels: smooth gradients, low noise, constant alpha, flat areas.
inline Bytes Image(std::uint32_t seed, std::size_t size) {
  std::mt19937 rng(seed);
  Bytes out;
  for (std::size_t pixel = 0; out.size() < size; ++pixel) {
    const bool flat = (pixel / 256) % 3 == 0;
    for (int channel = 0; channel < 3; ++channel) {
      const auto base = static_cast<int>((pixel * (channel + 1)) / 7 % 256);
      out.push_back(static_cast<std::uint8_t>(flat ? 90 + channel : base + rng() % 3));
    }
    out.push_back(0xFF);
  }
  out.resize(size);
  return out;
}

// Mostly-zero 64-byte records with a few small fields, and long zero gaps.
inline Bytes Sparse(std::uint32_t seed, std::size_t size) {
  std::mt19937 rng(seed);
  Bytes out;
  std::uint32_t record = 0;
  while (out.size() < size) {
    if (rng() % 20 == 0) {
      out.insert(out.end(), 4096 * (1 + rng() % 3), 0);
      continue;
    }
    Bytes block(64, 0);
    if (rng() % 3 == 0) {
      std::memcpy(block.data(), &record, 4);
      block[4] = static_cast<std::uint8_t>(rng() % 7);
      block[8] = static_cast<std::uint8_t>(rng() % 4);
      if (rng() % 3 == 0) block[40] = static_cast<std::uint8_t>(rng());
    }
    out.insert(out.end(), block.begin(), block.end());
    ++record;
  }
  out.resize(size);
  return out;
}

// Runs of 20 bytes to several KiB of one value (spaces and zeros most often), separated by
// short lines or a few random bytes. Spaces within the first 4096 bytes are written as "!",
// so that no reference reaches the encoder's leading spaces in data that also repeats
// zeros, and the data round-trips.
inline Bytes Runs(std::uint32_t seed, std::size_t size) {
  static const std::uint8_t kValues[] = {0x20, 0x20, 0x20, 0x00, 0x00, 0xFF, '=', '-', 0x09};
  std::mt19937 rng(seed);
  Bytes out;
  Append(out, "RUNS\r\n");
  for (int section = 0; out.size() < size; ++section) {
    const std::size_t length = 20 + (rng() % (std::size_t{1} << (4 + rng() % 9)));
    out.insert(out.end(), length, kValues[rng() % 9]);
    if (rng() % 2 == 0) {
      Append(out, "\r\nsection " + std::to_string(section) + "\r\n");
    } else {
      for (std::uint32_t i = rng() % 12; i > 0; --i)
        out.push_back(static_cast<std::uint8_t>(rng()));
    }
  }
  out.resize(size);
  for (std::size_t i = 0; i < std::min<std::size_t>(size, 4096); ++i) {
    if (out[i] == 0x20) out[i] = '!';
  }
  return out;
}

// The same random block of `period` bytes over and over, with a changed byte now and then,
// so that many distances give equally long candidates.
inline Bytes Periodic(std::uint32_t seed, std::size_t period, std::size_t size) {
  std::mt19937 rng(seed);
  const Bytes block = RandomBytes(seed + 1, period);
  Bytes out;
  while (out.size() < size) {
    out.insert(out.end(), block.begin(), block.end());
    if (rng() % 4 == 0) out[out.size() - 1 - rng() % period] ^= 1;
  }
  out.resize(size);
  return out;
}

}  // namespace pbo::testdata
