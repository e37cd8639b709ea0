// LZSS codec of compressed archive entries.
//
// A stream is a sequence of groups, each one flag byte followed by up to eight items, and
// ends with the 32-bit little-endian sum of the uncompressed bytes. A set flag bit (least
// significant first) announces a literal byte, a clear one a two-byte back reference of
// 3 to 18 bytes into the last 4095 bytes produced. The encoder keeps 18 spaces before the
// data and may refer to them; the decoder produces zeros there and turns them back into
// spaces when the checksum shows that every zero produced by a reference was a space, or,
// failing that, when a second pass that reads spaces there gives the stored checksum.
//
// Everything here is pure: it touches no file and keeps no state between calls, but for
// what one LzssStreamJoiner holds of the file it joins.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

namespace pbo {

// How a decoded entry compares with its stored checksum and declared length.
enum class LzssVerdict {
  Verified,        // checksum and length agree: the output is the entry
  Repaired,        // the checksum matched once the zeros made by references became spaces,
                   // or once the sources before the start were read as spaces
  LengthMismatch,  // the stream produced another length than declared, and the checksum
                   // agrees at once or after the space repair
  Unrepairable,    // checksum disagrees and the space repair does not explain it
};

struct LzssDecodeResult {
  std::vector<std::uint8_t> Output;
  LzssVerdict Verdict = LzssVerdict::Unrepairable;
};

// Expands one compressed entry.
//   packed, packedSize: the entry's data block, item stream followed by its 4-byte checksum.
//   originalSize: the length the archive declares for the expanded entry.
// The rating, in this order: the sum of the produced bytes (zeros before the start) equal to
// the stored checksum gives Verified, or LengthMismatch when the stream produced another
// length than originalSize. Otherwise, when the stored checksum exceeds that sum by exactly
// 32 for every zero a reference produced (at least one), all those zeros become spaces:
// Repaired, or LengthMismatch for another length. Otherwise, when some reference read a
// source before the start and the length is originalSize, the stream is decoded again with
// a space for every such source (a distance of 0 still yields zeros): if that sum equals
// the stored checksum, that output is the entry, Repaired. Anything else is Unrepairable.
// Returns the verdict and the output:
//   Verified, Repaired: Output holds exactly originalSize bytes, the entry's content.
//   Unrepairable: Output holds the bytes as decoded, zeros included, zero-filled past the
//     end of a stream that ran out; it is originalSize bytes long unless originalSize is
//     more than packedSize bytes could ever expand to, in which case it is cut to that
//     bound (so a tiny block that claims gigabytes costs no more than the block justifies).
//   LengthMismatch: Output is not meant to be written.
// A negative originalSize gives LengthMismatch without decoding. A block shorter than the
// 4 checksum bytes gives Unrepairable with an empty Output. Decoding ends where the item
// stream does, even inside a group or an item. Reads never leave the packed block and
// writes never leave the output, whatever the block holds.
[[nodiscard]] LzssDecodeResult LzssDecode(const std::uint8_t* packed, std::size_t packedSize,
                                          std::int32_t originalSize);

// Decoding in stretches, in constant memory: the same verdict and the same bytes as
// LzssDecode, for an entry too large to hold whole. The caller gives access to the packed
// block and takes the output in stretches; the decoder holds the last 4095 bytes produced and
// buffers of bounded size (about 330 KiB in all), whatever the sizes. Two passes: the first
// rates the entry and delivers nothing, the second delivers the bytes the rating chose.

// Reads size bytes of the packed block (checksum included) from offset on into `into`.
// Returns false when they cannot be read; the decoder then stops. Reads ask for the last 4
// bytes first, then for the block from its start, in order, each byte once per pass.
using LzssBlockReader =
    std::function<bool(std::uint64_t offset, std::uint8_t* into, std::size_t size)>;

// Takes the next size bytes of the output, in order (size is never 0); bytes point into the
// decoder's buffer and stay valid only during the call. Returns false to stop the delivery.
using LzssSink = std::function<bool(const std::uint8_t* bytes, std::size_t size)>;

// Which bytes the second pass delivers; set by LzssRateStream, read by LzssDeliverStream.
enum class LzssStreamBytes : std::uint8_t;

struct LzssStreamRating {
  LzssVerdict Verdict = LzssVerdict::Unrepairable;
  bool ReadFailed = false;      // the reader failed: Verdict means nothing, deliver nothing
  std::uint64_t OutputSize = 0;  // the bytes LzssDeliverStream delivers in all
  LzssStreamBytes Bytes{};
};

// Rates one compressed entry as LzssDecode would, reading its packed block of packedSize
// bytes through read and keeping none of it. Returns the verdict LzssDecode gives for the
// same block and originalSize, and OutputSize, the length of LzssDecode's Output; or
// ReadFailed when a read failed. A stream that referred before the start and that the count
// of zeros does not repair is read a second time, with spaces there.
[[nodiscard]] LzssStreamRating LzssRateStream(std::uint64_t packedSize, std::int32_t originalSize,
                                              const LzssBlockReader& read);

// Hands to sink, in order and in stretches of at most 256 KiB, exactly the OutputSize bytes
// that LzssDecode's Output holds for the same block and originalSize: as produced, repaired
// or read with spaces before the start, as the rating chose, and zero-filled where the
// stream ran out. rating must come from LzssRateStream for the same block and size. Reads
// the block once more through read. Returns false when a read failed or the sink returned
// false; the bytes handed on until then are those of the output's start.
[[nodiscard]] bool LzssDeliverStream(std::uint64_t packedSize, std::int32_t originalSize,
                                     const LzssStreamRating& rating, const LzssBlockReader& read,
                                     const LzssSink& sink);

// Compresses size bytes into the stream that LzssDecode expands, checksum included; an
// empty input gives the checksum alone. size must be below 2^31.
//
// Every stream comes back: LzssDecode, or any reader of the format, rates it Verified or
// Repaired and gives the input back byte for byte. The coder's greedy parse may refer to
// the 18 spaces kept before the data (LzssReach::LeadingSpaces). A reader that puts zeros
// there and restores them only when the checksum shows that every zero a reference made
// stood for a space cannot restore such a stream if a reference also repeats a genuine zero
// byte of the input, or if more than 2^26 - 1 bytes come from the spaces (the checksum
// difference no longer fits 32 bits). For those inputs, and only those, the stream is the
// parse that refers to the data alone (LzssReach::DataOnly), which every reader gets back
// Verified; every other input gets the usual stream. Either way the stream is a pure
// function of the input: the same bytes give the same stream on every run and machine.
[[nodiscard]] std::vector<std::uint8_t> LzssEncode(const std::uint8_t* data, std::size_t size);

// The bytes LzssEncodeWithHeadroom takes in front of the data.
inline constexpr std::size_t kLzssHeadroom = 18;

// LzssEncode(buffer + kLzssHeadroom, size), for a caller that reads the data behind room
// for the coder's spaces; it writes spaces into the kLzssHeadroom bytes at the start of
// buffer, whatever they held. The data is not changed. (The coder no longer needs the room:
// it copies no more than a segment, the first, behind spaces of its own.)
[[nodiscard]] std::vector<std::uint8_t> LzssEncodeWithHeadroom(std::uint8_t* buffer,
                                                               std::size_t size);

// ---- Coding one file in segments, on several threads ----
//
// The item the coder takes at a position depends only on the bytes from 4095 before it to
// 19 after it (and, near the file's end, on where the file ends). So a segment of a file
// parsed from its own start, with the bytes before it at hand, gives the items of the whole
// file's parse from the first position where the two parses meet, which is usually within
// tens of bytes (long runs of one value keep them apart longer). LzssStreamJoiner follows
// the file's parse into each segment until it lands on a position of the segment's own
// parse, codes that stretch itself, and takes the rest of the segment as it stands; it
// groups the items, sums the checksum and hands the stream out as it goes. The stream is
// byte for byte LzssEncode's, whatever the segments' sizes, and so is the choice between
// the two reaches, which the joiner reports at the end.
//
// A file of fileSize bytes (1 <= fileSize < 2^31) on N workers:
//   1. Cut [0, fileSize) into segments [start, end), in file order, each at most
//      kLzssMaxSegmentSize bytes; kLzssSegmentSize is the size the tool uses.
//   2. On any worker, for each segment: read the file's bytes LzssSegmentBytes(start, end,
//      fileSize) into a buffer and call LzssParseSegment(piece, fileSize, start, end, reach,
//      start), reach being LzssReach::LeadingSpaces at first.
//   3. On one thread, in file order, with one LzssStreamJoiner(fileSize, reach): Join each
//      segment with the piece it was parsed from; write the bytes Join appended to out, and
//      clear out; the segment and its buffer may go.
//   4. Finish(out) appends the last bytes. If it returns LzssStreamFate::NeedsDataOnly, the
//      stream must be thrown away and the file coded again, steps 2 to 4, with
//      LzssReach::DataOnly (Fate() may say so before the end; the rest of the first pass can
//      then be skipped). Segments that start 4095 bytes or more into the file parse the same
//      for both reaches, so the second pass needs only the first ones parsed again. The
//      second pass always ends in ComesBack.
// With one worker, or whenever a segment is parsed after the one before it was joined, its
// parse may start at the joiner's NextPosition() instead of `start`: the joiner then takes
// it whole, and no stretch is parsed twice.

// Which bytes before a position a reference may copy.
enum class LzssReach {
  LeadingSpaces,  // the 18 spaces kept before the data too: the usual stream
  DataOnly,       // the data alone: the stream for the inputs the usual one fails
};

// What a reader that restores the leading spaces by the checksum makes of the usual stream.
enum class LzssStreamFate {
  Open,           // not known yet: the first 4095 bytes are not all joined, or the stream
                  // refers to the leading spaces and the rest of it decides
  ComesBack,      // Verified or Repaired, the input byte for byte: the stream is final
  NeedsDataOnly,  // the input would not come back: code it again with LzssReach::DataOnly
};

// The segment size the tool codes files in: large enough that indexing the window before
// each segment (about 30 us) costs 0.3% of coding it and the writer's share stays under a
// tenth of the workers' on text, small enough that a segment's working memory (its bytes,
// at most 2 bytes of items per byte, the finder's tables of 0.6 MiB) stays within 4 MiB.
inline constexpr std::uint64_t kLzssSegmentSize = std::uint64_t{1} << 20;
// The largest segment LzssParseSegment takes.
inline constexpr std::uint64_t kLzssMaxSegmentSize = std::uint64_t{64} << 20;

// A stretch of a file held in memory: Data[i] is the file's byte at position Offset + i.
struct LzssFilePiece {
  const std::uint8_t* Data = nullptr;
  std::size_t Size = 0;
  std::uint64_t Offset = 0;
};

// The file positions [First, Last) whose bytes parsing or joining the segment [start, end)
// of a file of fileSize bytes reads: from 4095 before start to 19 past end, within the file.
struct LzssByteRange {
  std::uint64_t First = 0;
  std::uint64_t Last = 0;
};
[[nodiscard]] LzssByteRange LzssSegmentBytes(std::uint64_t start, std::uint64_t end,
                                             std::uint64_t fileSize);

namespace lzss {
struct SegmentInside;
}

// One segment's own parse, as LzssParseSegment makes it, for LzssStreamJoiner: callers only
// pass it on, and may read which stretch it covers and what it holds in memory, two bytes
// per item.
class LzssSegment {
 public:
  LzssSegment() = default;

  // The file positions it covers: [Start(), End()).
  [[nodiscard]] std::uint64_t Start() const { return start_; }
  [[nodiscard]] std::uint64_t End() const { return end_; }
  [[nodiscard]] LzssReach Reach() const { return reach_; }
  [[nodiscard]] std::size_t HeldBytes() const { return items_.capacity() * sizeof(items_[0]); }

 private:
  friend LzssSegment LzssParseSegment(const LzssFilePiece&, std::uint64_t, std::uint64_t,
                                      std::uint64_t, LzssReach, std::uint64_t);
  friend class LzssStreamJoiner;
  friend struct lzss::SegmentInside;

  std::uint64_t start_ = 0;
  std::uint64_t end_ = 0;
  std::uint64_t parseStart_ = 0;  // the position of its first item
  std::uint64_t parseEnd_ = 0;    // the end of its last item: end_ to end_ + 17, or parseStart_
  std::uint32_t sum_ = 0;         // of the bytes [start_, end_), modulo 2^32
  LzssReach reach_ = LzssReach::LeadingSpaces;
  // From parseStart_ on, one per item: 0 for a literal, else the reference's two stream
  // bytes, the first one lowest. The last item reaches end_ or past it.
  std::vector<std::uint16_t> items_;
};

// Parses the segment [start, end) of a file of fileSize bytes the way the coder would if it
// began coding at parseStart, from there until an item reaches end.
//   piece: holds at least the bytes LzssSegmentBytes(start, end, fileSize); it is read only
//     during the call.
//   parseStart: start, or a later position known to be one of the file's parse (the
//     joiner's NextPosition()); at or past end, the segment has no items.
// Requires start < end <= fileSize < 2^31, end - start <= kLzssMaxSegmentSize and
// start <= parseStart; otherwise, or when piece does not hold those bytes, throws
// std::invalid_argument and reads nothing. Touches no other state: segments of one file may
// be parsed on any threads at once.
[[nodiscard]] LzssSegment LzssParseSegment(const LzssFilePiece& piece, std::uint64_t fileSize,
                                           std::uint64_t start, std::uint64_t end, LzssReach reach,
                                           std::uint64_t parseStart);

// Joins the segments of one file, in file order, into its stream (see above). It holds no
// more than a group of items and 4 KiB of state between calls; each Join may parse a
// stretch of the segment again, usually tens of bytes, at worst the whole segment.
class LzssStreamJoiner {
 public:
  // For a file of fileSize bytes (1 <= fileSize < 2^31, else std::invalid_argument) whose
  // segments are parsed with reach.
  LzssStreamJoiner(std::uint64_t fileSize, LzssReach reach);

  // The position at which the file's parse goes on: the end of the last item joined.
  [[nodiscard]] std::uint64_t NextPosition() const { return next_; }

  // Joins the next segment: the first one starts at 0, each next one where the one before
  // ended, and all were parsed with the joiner's reach (a segment that starts 4095 bytes
  // or more into the file parses the same with either reach, and may have either). piece holds at least the bytes
  // LzssSegmentBytes(segment.Start(), segment.End(), fileSize), as the one it was parsed from
  // does. Appends the stream bytes completed so far to out (whole groups of items; the
  // group still open is kept for the next call) and leaves out's earlier bytes alone.
  // Throws std::invalid_argument, with the joiner and out unchanged, for a segment out of
  // order, of another reach, or after Finish, and for a piece that lacks bytes. After
  // std::bad_alloc the joiner may be part way through the segment: start the file over.
  void Join(const LzssSegment& segment, const LzssFilePiece& piece, std::vector<std::uint8_t>& out);

  // Join for a caller that parses each segment only once the one before is joined (one
  // worker): parses the segment [start, end) from NextPosition() on and joins it in one
  // pass, with no list of items in between. piece and the failures are as for Join.
  void ParseAndJoin(const LzssFilePiece& piece, std::uint64_t start, std::uint64_t end,
                    std::vector<std::uint8_t>& out);

  // What is known so far of the stream's fate; never Open after Finish, and always
  // ComesBack for LzssReach::DataOnly.
  [[nodiscard]] LzssStreamFate Fate() const;

  // After the segment that ends at fileSize: appends the last group and the 4-byte checksum
  // to out and returns the fate, ComesBack or NeedsDataOnly. Throws std::invalid_argument,
  // with out unchanged, before the last segment or when called twice.
  LzssStreamFate Finish(std::vector<std::uint8_t>& out);

 private:
  // Where the next items go: the flag byte of the group they join, and their first byte.
  struct Cursor {
    std::uint8_t* Flag;
    std::uint8_t* Next;
    unsigned Items;
  };
  static void Put(Cursor& g, std::uint16_t item, std::uint8_t literal);
  static void PutAll(Cursor& g, const std::uint16_t* items, std::size_t count,
                     const std::uint8_t* bytes);

  void RequireNext(std::uint64_t start, std::uint64_t end, const LzssFilePiece& piece) const;
  Cursor Open(std::vector<std::uint8_t>& out, std::uint64_t end);
  void Close(const Cursor& g, std::uint64_t end, std::uint32_t sum, std::vector<std::uint8_t>& out);
  std::uint64_t WatchUntil(std::uint64_t end, const LzssFilePiece& piece) const;
  void Watch(std::uint16_t item, const std::uint8_t* bytes);

  std::uint64_t fileSize_;
  LzssReach reach_;
  std::uint64_t next_ = 0;    // where the file's parse goes on
  std::uint64_t joined_ = 0;  // where the next segment starts
  bool finished_ = false;
  std::uint32_t sum_ = 0;
  // The group that may still grow: its flag byte, then its items' bytes; none while the
  // next item opens a group.
  std::array<std::uint8_t, 16> group_{};
  std::size_t groupBytes_ = 0;
  unsigned groupItems_ = 8;
  // What decides the fate: whether a reference reached before the data, whether one
  // repeated a zero byte of the data, and, for a file long enough for it to matter, how
  // many bytes derive from the spaces (a ring of which of the last 4096 positions do).
  bool refersToSpaces_ = false;
  bool copiesZero_ = false;
  bool countingDerived_ = false;
  std::uint64_t derived_ = 0;
  std::uint64_t lastDerived_ = 0;
  std::vector<std::uint8_t> derivedRing_;
};

}  // namespace pbo
