// The LZSS coder written straight from its rules, with the exhaustive scan of the window at
// every position: slow, and the oracle that the fast coder must match byte for byte.
// Header-only so that tests, the benchmark and fuzz targets can all include it.
//
// The usual stream may refer to the 18 spaces before the data. When a reader that puts
// zeros there and restores them by the checksum would not give the data back from it, the
// stream is instead the parse whose sources all lie in the data; this oracle decides that
// by decoding the usual stream that way, where the coder decides it from the items alone.
#pragma once

#include <algorithm>
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
// after distance 4095, after distance p (the first space) or, for the data alone, p - 18
// (the first data byte), and after a candidate that reaches the second-to-last byte. The
// last byte is never compared.
inline ReferenceMatch ReferenceFindLongestMatch(const std::vector<std::uint8_t>& window,
                                                std::size_t p, bool dataOnly = false) {
  const std::size_t n = window.size();
  const std::size_t farthest = dataOnly ? p - 18 : p;
  ReferenceMatch best;
  for (std::size_t d = 1;; ++d) {
    std::size_t k = 0;
    while (k < 18 && p + k + 1 < n && window[p - d + k] == window[p + k]) ++k;
    if (k >= 3 && k >= best.Length) best = {k, d};
    if (d == 4095 || d == farthest || p + k + 1 == n) break;
  }
  return best;
}

// Whether a reader gets data back from its stream when it decodes with zeros before the
// start, lists every zero a reference produces, and turns them all into spaces when the
// stored sum exceeds the produced one by exactly 32 for each.
inline bool ComesBackWithZerosBeforeTheStart(const std::vector<std::uint8_t>& stream,
                                             const std::uint8_t* data, std::size_t size) {
  std::vector<std::uint8_t> out;
  std::vector<std::size_t> zeros;  // where a reference produced a zero
  std::uint32_t sum = 0;
  std::size_t in = 0;
  while (out.size() < size) {
    const unsigned flags = stream[in++];
    for (int item = 0; item < 8 && out.size() < size; ++item) {
      if ((flags >> item & 1) != 0) {
        out.push_back(stream[in++]);
        sum += out.back();
        continue;
      }
      const std::size_t distance = stream[in] | (std::size_t{stream[in + 1]} >> 4) << 8;
      const std::size_t length = (stream[in + 1] & 0x0Fu) + 3;
      in += 2;
      for (std::size_t k = 0; k < length; ++k) {
        const std::size_t p = out.size();
        out.push_back(distance > p ? 0 : out[p - distance]);
        sum += out.back();
        if (out.back() == 0) zeros.push_back(p);
      }
    }
  }
  const std::size_t end = stream.size() - 4;  // the checksum
  const std::uint32_t stored = stream[end] | stream[end + 1] << 8 | stream[end + 2] << 16 |
                               std::uint32_t{stream[end + 3]} << 24;
  if (stored != sum) {
    const auto difference = static_cast<std::int32_t>(stored - sum);
    const auto listed = static_cast<std::int64_t>(zeros.size());
    if (listed == 0 || static_cast<std::int64_t>(difference) != 32 * listed) return false;
    for (const std::size_t p : zeros) out[p] = 0x20;
  }
  return std::equal(out.begin(), out.end(), data);
}

// The stream of one parse for data (size >= 1): groups of a flag byte and up to eight
// items, then the byte sum as four little-endian bytes.
inline std::vector<std::uint8_t> ReferenceParse(const std::uint8_t* data, std::size_t size,
                                                bool dataOnly) {
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
    const ReferenceMatch match = ReferenceFindLongestMatch(window, p, dataOnly);
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

// The stream LzssEncode writes: the usual parse if it comes back as above, else the parse
// of the data alone.
inline std::vector<std::uint8_t> ReferenceEncode(const std::uint8_t* data, std::size_t size) {
  std::vector<std::uint8_t> stream = ReferenceParse(data, size, false);
  if (ComesBackWithZerosBeforeTheStart(stream, data, size)) return stream;
  return ReferenceParse(data, size, true);
}

inline std::vector<std::uint8_t> ReferenceEncode(const std::vector<std::uint8_t>& data) {
  return ReferenceEncode(data.data(), data.size());
}

}  // namespace pbo::reference
