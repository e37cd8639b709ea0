// Codec benchmark: for every file of a corpus folder, the fast LZSS encoder and decoder
// side by side with the exhaustive reference encoder, the plain checked decode loop and
// zlib at levels 6 and 1, all in one run.
//
//   lzss_bench CORPUS_DIR [SECONDS_PER_MEASUREMENT]
//
// Every measurement repeats its operation until it has used the given processor time
// (0.4 s by default) and reports bytes of uncompressed data per second of its fastest run.
// The exhaustive encoder is timed on a prefix of each file; its whole-corpus figure assumes
// that speed for the whole file. The fast encoder's stream for that prefix is checked
// against the reference, and every decode is checked against the input.
#include <zlib.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "lzss/lzss.h"
#include "lzss/lzss_internal.h"
#include "tests/lzss/reference_decoder.h"
#include "tests/lzss/reference_encoder.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

constexpr std::size_t kReferencePrefix = 256 * 1024;
double gMinSeconds = 0.4;

// Runs op until it has used gMinSeconds of processor time and returns the shortest run,
// in seconds. Processor time and the shortest run, so that other work on the machine
// disturbs the figures as little as possible.
template <typename Op>
double SecondsPerRun(Op&& op) {
  double total = 0;
  double shortest = 0;
  do {
    const std::clock_t start = std::clock();
    op();
    const double seconds = static_cast<double>(std::clock() - start) / CLOCKS_PER_SEC;
    shortest = total == 0 ? seconds : std::min(shortest, seconds);
    total += seconds;
  } while (total < gMinSeconds);
  return shortest;
}

Bytes ReadFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

struct ZlibResult {
  double EncodeSeconds = 0;
  double DecodeSeconds = 0;
  std::size_t Size = 0;
};

ZlibResult MeasureZlib(const Bytes& data, int level) {
  ZlibResult result;
  Bytes packed(compressBound(data.size()));
  uLongf packedSize = 0;
  result.EncodeSeconds = SecondsPerRun([&] {
    packedSize = packed.size();
    compress2(packed.data(), &packedSize, data.data(), data.size(), level);
  });
  result.Size = packedSize;
  Bytes unpacked(data.size());
  result.DecodeSeconds = SecondsPerRun([&] {
    uLongf unpackedSize = unpacked.size();
    uncompress(unpacked.data(), &unpackedSize, packed.data(), packedSize);
  });
  if (unpacked != data) std::printf("  zlib round trip FAILED\n");
  return result;
}

struct FileResult {
  std::string Name;
  std::size_t Size = 0;
  double FastEncode = 0, FastDecode = 0, PlainDecode = 0;  // seconds for the whole file
  double ReferenceEncode = 0;                              // estimated from the prefix
  std::size_t StreamSize = 0;
  ZlibResult Zlib6, Zlib1;
};

double MBps(std::size_t bytes, double seconds) { return bytes / seconds / 1e6; }

bool Decodes(const pbo::LzssDecodeResult& result, const Bytes& data) {
  return (result.Verdict == pbo::LzssVerdict::Verified ||
          result.Verdict == pbo::LzssVerdict::Repaired) &&
         result.Output == data;
}

FileResult MeasureFile(const std::filesystem::path& path) {
  FileResult r;
  r.Name = path.filename().string();
  const Bytes data = ReadFile(path);
  r.Size = data.size();
  const auto size = static_cast<std::int32_t>(data.size());

  Bytes stream;
  r.FastEncode = SecondsPerRun([&] { stream = pbo::LzssEncode(data.data(), data.size()); });
  r.StreamSize = stream.size();

  pbo::LzssDecodeResult decoded;
  r.FastDecode =
      SecondsPerRun([&] { decoded = pbo::LzssDecode(stream.data(), stream.size(), size); });
  const bool fastOk = Decodes(decoded, data);
  r.PlainDecode = SecondsPerRun(
      [&] { decoded = pbo::reference::ReferenceDecode(stream.data(), stream.size(), size); });
  const bool plainOk = Decodes(decoded, data);

  const std::size_t prefixSize = std::min(data.size(), kReferencePrefix);
  Bytes referenceStream;
  const double referenceSeconds = SecondsPerRun(
      [&] { referenceStream = pbo::reference::ReferenceEncode(data.data(), prefixSize); });
  r.ReferenceEncode = referenceSeconds * data.size() / prefixSize;
  const bool sameStream = referenceStream == pbo::LzssEncode(data.data(), prefixSize);

  r.Zlib6 = MeasureZlib(data, 6);
  r.Zlib1 = MeasureZlib(data, 1);
  if (!fastOk || !plainOk || !sameStream) {
    std::printf("  %s: CHECK FAILED (fast decode %d, plain decode %d, same stream %d)\n",
                r.Name.c_str(), fastOk, plainOk, sameStream);
  }
  return r;
}

void PrintHeader() {
  std::printf("%-14s %9s | %8s %8s %9s %6s | %8s %8s | %8s %8s %9s | %8s %9s | %7s %7s %7s\n",
              "file", "bytes", "enc MB/s", "dec MB/s", "stream", "ratio", "exh enc", "plain",
              "z6 enc", "z6 dec", "z6 size", "z1 enc", "z1 size", "fast/ex", "fast/z6", "dec/pl");
}

void PrintRow(const FileResult& r) {
  std::printf(
      "%-14s %9zu | %8.1f %8.1f %9zu %6.3f | %8.3f %8.1f | %8.1f %8.1f %9zu | %8.1f %9zu | "
      "%6.0fx %6.2fx %6.2fx\n",
      r.Name.c_str(), r.Size, MBps(r.Size, r.FastEncode), MBps(r.Size, r.FastDecode), r.StreamSize,
      static_cast<double>(r.StreamSize) / r.Size, MBps(r.Size, r.ReferenceEncode),
      MBps(r.Size, r.PlainDecode), MBps(r.Size, r.Zlib6.EncodeSeconds),
      MBps(r.Size, r.Zlib6.DecodeSeconds), r.Zlib6.Size, MBps(r.Size, r.Zlib1.EncodeSeconds),
      r.Zlib1.Size, r.ReferenceEncode / r.FastEncode, r.Zlib6.EncodeSeconds / r.FastEncode,
      r.PlainDecode / r.FastDecode);
}

FileResult Total(const std::vector<FileResult>& files) {
  FileResult t;
  t.Name = "whole corpus";
  for (const FileResult& r : files) {
    t.Size += r.Size;
    t.StreamSize += r.StreamSize;
    t.FastEncode += r.FastEncode;
    t.FastDecode += r.FastDecode;
    t.PlainDecode += r.PlainDecode;
    t.ReferenceEncode += r.ReferenceEncode;
    for (auto [total, part] : {std::pair{&t.Zlib6, &r.Zlib6}, std::pair{&t.Zlib1, &r.Zlib1}}) {
      total->EncodeSeconds += part->EncodeSeconds;
      total->DecodeSeconds += part->DecodeSeconds;
      total->Size += part->Size;
    }
  }
  return t;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s CORPUS_DIR [SECONDS_PER_MEASUREMENT]\n", argv[0]);
    return 1;
  }
  if (argc > 2) gMinSeconds = std::stod(argv[2]);
  std::vector<std::filesystem::path> paths;
  for (const auto& entry : std::filesystem::directory_iterator(argv[1])) {
    if (entry.is_regular_file() && entry.path().filename() != "MANIFEST.txt") {
      paths.push_back(entry.path());
    }
  }
  std::sort(paths.begin(), paths.end());
  if (paths.empty()) {
    std::fprintf(stderr, "no files in %s\n", argv[1]);
    return 1;
  }

  std::printf(
      "LZSS: fast encoder and decoder; exh enc = exhaustive reference encoder timed on the "
      "first %zu KiB of each file (whole-corpus figure extrapolated from it); plain = plain "
      "checked decode loop; z6/z1 = zlib levels 6 and 1. MB/s of uncompressed data, 1 MB = "
      "10^6 bytes per second of processor time, fastest of runs that take at least %.1f s in all.\n"
      "Ratios: fast/ex = fast encoder speed / exhaustive; fast/z6 = fast encoder speed / "
      "zlib-6 compression speed; dec/pl = fast decoder / plain checked loop.\n\n",
      kReferencePrefix / 1024, gMinSeconds);
  PrintHeader();
  std::vector<FileResult> results;
  for (const auto& path : paths) {
    results.push_back(MeasureFile(path));
    PrintRow(results.back());
    std::fflush(stdout);
  }
  PrintRow(Total(results));
  return 0;
}
