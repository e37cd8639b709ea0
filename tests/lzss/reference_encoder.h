// The LZSS coder written straight from its rules, with the exhaustive scan of the window at
// every position: slow, and the oracle that the fast coder must match byte for byte.
// Header-only so that tests, the benchmark and fuzz targets can all include it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace pbo::reference {

struct ReferenceMatch {
  std::size_t Length = 0;  // 0: no match
  std::size_t Distance = 0;
};

// The longest match at position p of the window (18 spaces, then the data), trying the
// distances 1, 2, ... and keeping the farthest of equally long candidates; the scan stops
// after distance 4095, after distance p, and after a candidate that reaches the
// second-to-last byte. The last byte is never compared.
inline ReferenceMatch ReferenceFindLongestMatch(const std::vector<std::uint8_t>& window,
                                                std::size_t p) {
  const std::size_t n = window.size();
  ReferenceMatch best;
  for (std::size_t d = 1;; ++d) {
    std::size_t k = 0;
    while (k < 18 && p + k + 1 < n && window[p - d + k] == window[p + k]) ++k;
    if (k >= 3 && k >= best.Length) best = {k, d};
    if (d == 4095 || d == p || p + k + 1 == n) break;
  }
  return best;
}

// The whole stream for data (size >= 1): groups of a flag byte and up to eight items, then
// the byte sum as four little-endian bytes.
inline std::vector<std::uint8_t> ReferenceEncode(const std::uint8_t* data, std::size_t size) {
  std::vector<std::uint8_t> window(18, 0x20);
  window.insert(window.end(), data, data + size);
  const std::size_t n = window.size();

  std::vector<std::uint8_t> out;
  std::size_t flagPos = 0;
  std::size_t count = 0;
  std::uint32_t checksum = 0;
  auto startItem = [&] {
    if (count == 8) {
      flagPos = out.size();
      out.push_back(0);
      count = 0;
    }
  };

  out.push_back(0x01);
  out.push_back(window[18]);
  count = 1;
  checksum = window[18];
  std::size_t p = 19;
  while (p < n) {
    checksum += window[p];
    startItem();
    const ReferenceMatch match = ReferenceFindLongestMatch(window, p);
    if (match.Length > 0) {
      out.push_back(static_cast<std::uint8_t>(match.Distance & 0xFF));
      out.push_back(static_cast<std::uint8_t>(((match.Distance >> 8) << 4) | (match.Length - 3)));
      for (std::size_t k = 1; k < match.Length; ++k) checksum += window[p + k];
      p += match.Length;
    } else {
      out.push_back(window[p]);
      out[flagPos] = static_cast<std::uint8_t>(out[flagPos] | 1u << count);
      ++p;
    }
    ++count;
  }
  for (int shift = 0; shift < 32; shift += 8) {
    out.push_back(static_cast<std::uint8_t>(checksum >> shift));
  }
  return out;
}

inline std::vector<std::uint8_t> ReferenceEncode(const std::vector<std::uint8_t>& data) {
  return ReferenceEncode(data.data(), data.size());
}

}  // namespace pbo::reference
