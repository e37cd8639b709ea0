// The encoder's segments, measured: what cutting a file costs, and which files need the
// stream that refers to the data alone.
//
//   lzss_segment_bench segments CORPUS_DIR
//     For every corpus file and segment size: the processor time of parsing every segment
//     from its own start (the workers' part) and of joining them (the writer's part), over
//     that of one pass (LzssEncode); how far into a segment its parse meets the file's; and
//     a segment's working memory. Every joined stream is checked against LzssEncode's.
//   lzss_segment_bench survey DIR...
//     Codes every regular file below the folders (up to 64 MiB each) with LzssEncode and
//     decodes it with LzssDecode: how many files refer to the leading spaces, how many were
//     coded again from the data alone, and whether every one came back. It also decodes the
//     usual stream of each file, to check the joiner's verdict on it without a decode
//     against what the decoder makes of it.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <system_error>
#include <vector>

#include "lzss/lzss.h"
#include "lzss/segment_coder.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes ReadFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

double Seconds(std::clock_t start) {
  return static_cast<double>(std::clock() - start) / CLOCKS_PER_SEC;
}

pbo::LzssFilePiece PieceFor(const Bytes& data, std::uint64_t start, std::uint64_t end) {
  const pbo::LzssByteRange range = pbo::LzssSegmentBytes(start, end, data.size());
  return {data.data() + range.First, static_cast<std::size_t>(range.Last - range.First),
          range.First};
}

// The positions where the items of the file's one-pass parse begin.
std::vector<bool> ParsePositions(const Bytes& data) {
  std::vector<bool> starts(data.size() + pbo::lzss::kMaxMatch, false);
  const pbo::LzssSegment whole =
      pbo::LzssParseSegment(PieceFor(data, 0, data.size()), data.size(), 0, data.size(),
                            pbo::LzssReach::LeadingSpaces, 0);
  std::uint64_t q = 0;
  for (const std::uint16_t item : pbo::lzss::SegmentInside::Items(whole)) {
    starts[q] = true;
    q += pbo::lzss::ItemLength(item);
  }
  return starts;
}

struct SegmentFigures {
  double Parse = 0;  // seconds, all segments from their own starts
  double Join = 0;
  std::uint64_t MeetSum = 0;  // bytes from a segment's start to where the parses meet
  std::uint64_t MeetMost = 0;
  std::size_t Segments = 0;
  std::size_t MostItems = 0;
  bool Same = true;
};

SegmentFigures MeasureSegments(const Bytes& data, std::uint64_t size,
                               const std::vector<bool>& starts, const Bytes& expected) {
  SegmentFigures f;
  const std::uint64_t fileSize = data.size();
  std::vector<pbo::LzssSegment> segments;
  std::clock_t clock = std::clock();
  for (std::uint64_t start = 0; start < fileSize; start += size) {
    const std::uint64_t end = std::min(fileSize, start + size);
    segments.push_back(pbo::LzssParseSegment(PieceFor(data, start, end), fileSize, start, end,
                                             pbo::LzssReach::LeadingSpaces, start));
  }
  f.Parse = Seconds(clock);
  Bytes stream;
  clock = std::clock();
  pbo::LzssStreamJoiner joiner(fileSize, pbo::LzssReach::LeadingSpaces);
  for (const pbo::LzssSegment& segment : segments) {
    joiner.Join(segment, PieceFor(data, segment.Start(), segment.End()), stream);
  }
  (void)joiner.Finish(stream);
  f.Join = Seconds(clock);
  f.Same = stream == expected;
  for (const pbo::LzssSegment& segment : segments) {
    ++f.Segments;
    using Inside = pbo::lzss::SegmentInside;
    const std::vector<std::uint16_t>& items = Inside::Items(segment);
    f.MostItems = std::max(f.MostItems, items.size());
    if (segment.Start() == 0) continue;
    std::uint64_t q = Inside::ParseStart(segment);
    std::size_t i = 0;
    while (i < items.size() && !starts[q]) q += pbo::lzss::ItemLength(items[i++]);
    const std::uint64_t meet = (starts[q] ? q : Inside::ParseEnd(segment)) - segment.Start();
    f.MeetSum += meet;
    f.MeetMost = std::max(f.MeetMost, meet);
  }
  return f;
}

int Segments(const char* folder) {
  std::vector<std::filesystem::path> paths;
  for (const auto& entry : std::filesystem::directory_iterator(folder)) {
    if (entry.is_regular_file() && entry.path().filename() != "MANIFEST.txt") {
      paths.push_back(entry.path());
    }
  }
  std::sort(paths.begin(), paths.end());
  const std::uint64_t sizes[] = {64 << 10, 256 << 10, 1 << 20, 4 << 20};
  std::printf(
      "Segments parsed from their own starts and joined, against one pass (LzssEncode);\n"
      "processor time, shortest of 3 runs; meet: bytes from a segment's start to where "
      "its parse meets the file's, mean and most.\n\n");
  std::printf("%-14s %7s %9s %9s %9s %9s %10s %9s\n", "file", "segment", "one pass", "workers",
              "writer", "overhead", "meet mean", "meet most");
  for (const auto& path : paths) {
    const Bytes data = ReadFile(path);
    Bytes expected;
    double onePass = 1e9;
    for (int run = 0; run < 3; ++run) {
      const std::clock_t clock = std::clock();
      expected = pbo::LzssEncode(data.data(), data.size());
      onePass = std::min(onePass, Seconds(clock));
    }
    const std::vector<bool> starts = ParsePositions(data);
    for (const std::uint64_t size : sizes) {
      SegmentFigures best = MeasureSegments(data, size, starts, expected);
      for (int run = 1; run < 3; ++run) {
        const SegmentFigures again = MeasureSegments(data, size, starts, expected);
        best.Parse = std::min(best.Parse, again.Parse);
        best.Join = std::min(best.Join, again.Join);
        best.Same &= again.Same;
      }
      const std::size_t inner = best.Segments > 1 ? best.Segments - 1 : 1;
      std::printf("%-14s %6lluK %8.1fms %8.1fms %8.2fms %8.1f%% %10.0f %9llu%s\n",
                  path.filename().string().c_str(), static_cast<unsigned long long>(size >> 10),
                  onePass * 1e3, best.Parse * 1e3, best.Join * 1e3,
                  100.0 * (best.Parse + best.Join - onePass) / onePass,
                  static_cast<double>(best.MeetSum) / inner,
                  static_cast<unsigned long long>(best.MeetMost),
                  best.Same ? "" : "  STREAM DIFFERS");
    }
  }
  return 0;
}

// The usual stream of data, and whether the joiner says it comes back.
std::pair<Bytes, bool> UsualStream(const Bytes& data) {
  pbo::LzssStreamJoiner joiner(data.size(), pbo::LzssReach::LeadingSpaces);
  Bytes stream;
  for (std::uint64_t start = 0; start < data.size(); start += pbo::kLzssSegmentSize) {
    const std::uint64_t end = std::min<std::uint64_t>(data.size(), start + pbo::kLzssSegmentSize);
    joiner.ParseAndJoin(PieceFor(data, start, end), start, end, stream);
  }
  const bool comesBack = joiner.Finish(stream) == pbo::LzssStreamFate::ComesBack;
  return {std::move(stream), comesBack};
}

int Survey(int folders, char** paths) {
  std::size_t files = 0, bytes = 0, referring = 0, dataOnly = 0, back = 0, misjudged = 0;
  for (int i = 0; i < folders; ++i) {
    std::error_code error;
    for (std::filesystem::recursive_directory_iterator
             it(paths[i], std::filesystem::directory_options::skip_permission_denied, error),
         end;
         it != end; it.increment(error)) {
      if (error || !it->is_regular_file(error) || it->is_symlink(error)) continue;
      const std::uint64_t size = it->file_size(error);
      if (error || size == 0 || size > (64u << 20)) continue;
      const Bytes data = ReadFile(it->path());
      if (data.size() != size) continue;
      const pbo::lzss::EncodeResult coded =
          pbo::lzss::EncodeInSegments(data.data(), data.size(), {});
      const pbo::LzssDecodeResult decoded = pbo::LzssDecode(
          coded.Stream.data(), coded.Stream.size(), static_cast<std::int32_t>(data.size()));
      const bool ok = (decoded.Verdict == pbo::LzssVerdict::Verified ||
                       decoded.Verdict == pbo::LzssVerdict::Repaired) &&
                      decoded.Output == data;
      ++files;
      bytes += data.size();
      referring +=
          decoded.Verdict == pbo::LzssVerdict::Repaired || coded.Reach == pbo::LzssReach::DataOnly;
      dataOnly += coded.Reach == pbo::LzssReach::DataOnly;
      back += ok;
      if (!ok) std::printf("NOT BACK: %s\n", it->path().c_str());
      const auto [usual, judged] = UsualStream(data);
      const pbo::LzssDecodeResult rated =
          pbo::LzssDecode(usual.data(), usual.size(), static_cast<std::int32_t>(data.size()));
      const bool usualBack = (rated.Verdict == pbo::LzssVerdict::Verified ||
                              rated.Verdict == pbo::LzssVerdict::Repaired) &&
                             rated.Output == data;
      if (usualBack != judged) {
        ++misjudged;
        std::printf("MISJUDGED: %s\n", it->path().c_str());
      }
    }
  }
  std::printf(
      "%zu files, %zu bytes: %zu refer to the leading spaces, %zu of them coded again "
      "from the data alone (%.2f%% of the files); %zu of %zu came back whole; the "
      "decoder's verdict on the usual stream differs from the joiner's for %zu\n",
      files, bytes, referring, dataOnly, files ? 100.0 * dataOnly / files : 0.0, back, files,
      misjudged);
  return back == files && misjudged == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string mode = argc > 1 ? argv[1] : "";
  if (mode == "segments" && argc == 3) return Segments(argv[2]);
  if (mode == "survey" && argc >= 3) return Survey(argc - 2, argv + 2);
  std::fprintf(stderr, "usage: %s segments CORPUS_DIR | survey DIR...\n", argv[0]);
  return 1;
}
