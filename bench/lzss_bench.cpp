// Codec benchmark: for every file of a corpus folder, the LZSS encoder and decoder side by
// side with the exhaustive reference encoder, the plain checked decode loop, the decoder of
// the previous design (bench/baseline_decoder.cpp, "today" in the tables), each decoder
// path forced in turn, and general compressors as yardsticks (zlib levels 6 and 1,
// libdeflate level 6, zstd levels 1 and 3, lz4), all in one run.
//
//   lzss_bench [--decode-only] CORPUS_DIR [SECONDS_PER_MEASUREMENT [ROUNDS]]
//
// --decode-only times the decoders alone (the LZSS ones, zstd-1 and libdeflate-6) and prints
// the decoder table.
//
// Every measurement repeats its operation at least three times and until it has used the
// given processor time (0.4 s by default), and reports bytes of uncompressed data per second
// of its fastest run, the fastest over the rounds (2 by default) of the whole corpus.
// The exhaustive encoder is timed on a prefix of each file; its figure assumes that speed
// for the whole file. The encoder's stream for that prefix is checked against the
// reference, and every decode is checked against the input.
#include <libdeflate.h>
#include <lz4.h>
#include <zlib.h>
#include <zstd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "bench/baseline_decoder.h"
#include "lzss/lzss.h"
#include "lzss/lzss_internal.h"
#include "tests/lzss/reference_decoder.h"
#include "tests/lzss/reference_encoder.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

constexpr std::size_t kReferencePrefix = 256 * 1024;
double gMinSeconds = 0.4;
int gRounds = 2;
bool gDecodeOnly = false;

constexpr pbo::lzss::DecodePath kPaths[] = {pbo::lzss::DecodePath::Portable,
                                            pbo::lzss::DecodePath::Sse2,
                                            pbo::lzss::DecodePath::Ssse3,
                                            pbo::lzss::DecodePath::Avx2};
constexpr int kPathCount = 4;

// Runs op at least kMinRuns times and until it has used gMinSeconds of processor time, and
// returns the shortest run, in seconds. Processor time and the shortest of several runs,
// so that other work on the machine disturbs the figures as little as possible.
template <typename Op>
double SecondsPerRun(Op&& op) {
  constexpr int kMinRuns = 3;
  double total = 0;
  double shortest = 0;
  for (int runs = 0; runs < kMinRuns || total < gMinSeconds; ++runs) {
    const std::clock_t start = std::clock();
    op();
    const double seconds = static_cast<double>(std::clock() - start) / CLOCKS_PER_SEC;
    shortest = runs == 0 ? seconds : std::min(shortest, seconds);
    total += seconds;
  }
  return shortest;
}

Bytes ReadFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// One codec on one file: seconds per run for the whole file, and the compressed size.
struct Figures {
  double Encode = 0;
  double Decode = 0;
  std::size_t Size = 0;
  bool Ok = true;
};

// The codecs in the order of the tables' columns.
enum Codec { kLzss, kZlib6, kZlib1, kLibdeflate6, kZstd1, kZstd3, kLz4, kCodecs };
const char* const kCodecNames[kCodecs] = {"lzss",   "zlib-6", "zlib-1", "libdef-6",
                                          "zstd-1", "zstd-3", "lz4-1"};

Figures MeasureLzss(const Bytes& data) {
  Figures f;
  Bytes stream;
  if (gDecodeOnly) {
    stream = pbo::LzssEncode(data.data(), data.size());
  } else {
    f.Encode = SecondsPerRun([&] { stream = pbo::LzssEncode(data.data(), data.size()); });
  }
  f.Size = stream.size();
  pbo::LzssDecodeResult decoded;
  const auto size = static_cast<std::int32_t>(data.size());
  f.Decode = SecondsPerRun([&] { decoded = pbo::LzssDecode(stream.data(), stream.size(), size); });
  f.Ok = (decoded.Verdict == pbo::LzssVerdict::Verified ||
          decoded.Verdict == pbo::LzssVerdict::Repaired) &&
         decoded.Output == data;
  return f;
}

Figures MeasureZlib(const Bytes& data, int level) {
  Figures f;
  Bytes packed(compressBound(data.size()));
  uLongf packedSize = 0;
  f.Encode = SecondsPerRun([&] {
    packedSize = packed.size();
    compress2(packed.data(), &packedSize, data.data(), data.size(), level);
  });
  f.Size = packedSize;
  Bytes unpacked(data.size());
  f.Decode = SecondsPerRun([&] {
    uLongf unpackedSize = unpacked.size();
    uncompress(unpacked.data(), &unpackedSize, packed.data(), packedSize);
  });
  f.Ok = unpacked == data;
  return f;
}

Figures MeasureLibdeflate(const Bytes& data, int level) {
  Figures f;
  libdeflate_compressor* compressor = libdeflate_alloc_compressor(level);
  libdeflate_decompressor* decompressor = libdeflate_alloc_decompressor();
  Bytes packed(libdeflate_deflate_compress_bound(compressor, data.size()));
  std::size_t packedSize = 0;
  f.Encode = SecondsPerRun([&] {
    packedSize = libdeflate_deflate_compress(compressor, data.data(), data.size(), packed.data(),
                                             packed.size());
  });
  f.Size = packedSize;
  Bytes unpacked(data.size());
  f.Decode = SecondsPerRun([&] {
    libdeflate_deflate_decompress(decompressor, packed.data(), packedSize, unpacked.data(),
                                  unpacked.size(), nullptr);
  });
  f.Ok = packedSize != 0 && unpacked == data;
  libdeflate_free_compressor(compressor);
  libdeflate_free_decompressor(decompressor);
  return f;
}

Figures MeasureZstd(const Bytes& data, int level) {
  Figures f;
  Bytes packed(ZSTD_compressBound(data.size()));
  ZSTD_CCtx* cctx = ZSTD_createCCtx();
  ZSTD_DCtx* dctx = ZSTD_createDCtx();
  std::size_t packedSize = 0;
  f.Encode = SecondsPerRun([&] {
    packedSize =
        ZSTD_compressCCtx(cctx, packed.data(), packed.size(), data.data(), data.size(), level);
  });
  f.Size = packedSize;
  Bytes unpacked(data.size());
  f.Decode = SecondsPerRun([&] {
    ZSTD_decompressDCtx(dctx, unpacked.data(), unpacked.size(), packed.data(), packedSize);
  });
  f.Ok = !ZSTD_isError(packedSize) && unpacked == data;
  ZSTD_freeCCtx(cctx);
  ZSTD_freeDCtx(dctx);
  return f;
}

Figures MeasureLz4(const Bytes& data) {
  Figures f;
  const int size = static_cast<int>(data.size());
  std::vector<char> packed(LZ4_compressBound(size));
  const auto* source = reinterpret_cast<const char*>(data.data());
  int packedSize = 0;
  f.Encode = SecondsPerRun([&] {
    packedSize = LZ4_compress_default(source, packed.data(), size, static_cast<int>(packed.size()));
  });
  f.Size = static_cast<std::size_t>(packedSize);
  Bytes unpacked(data.size());
  f.Decode = SecondsPerRun([&] {
    LZ4_decompress_safe(packed.data(), reinterpret_cast<char*>(unpacked.data()), packedSize, size);
  });
  f.Ok = unpacked == data;
  return f;
}

struct FileResult {
  std::string Name;
  std::size_t Size = 0;
  Figures Codecs[kCodecs];
  double ExhaustiveEncode = 0;  // seconds, extrapolated from the prefix
  double PlainDecode = 0;       // seconds, the plain checked loop on the LZSS stream
  double TodayDecode = 0;       // seconds, the decoder of the previous design
  double PathDecode[kPathCount] = {};  // seconds, each decoder path forced; 0 where it does not run
};

// The previous design's decoder and every path that runs here, on the LZSS stream of data;
// each must give the verdict and bytes of the default path.
bool MeasureDecoders(const Bytes& data, FileResult& r) {
  const Bytes stream = pbo::LzssEncode(data.data(), data.size());
  const auto size = static_cast<std::int32_t>(data.size());
  const pbo::LzssDecodeResult expected = pbo::LzssDecode(stream.data(), stream.size(), size);
  bool ok = true;
  pbo::LzssDecodeResult decoded;
  r.TodayDecode = SecondsPerRun(
      [&] { decoded = pbo::baseline::BaselineDecode(stream.data(), stream.size(), size); });
  ok &= decoded.Output == expected.Output;
  const pbo::lzss::DecodePath widest = pbo::lzss::ActiveDecodePath();
  for (int i = 0; i < kPathCount; ++i) {
    if (!pbo::lzss::ForceDecodePath(kPaths[i])) continue;
    r.PathDecode[i] = SecondsPerRun(
        [&] { decoded = pbo::LzssDecode(stream.data(), stream.size(), size); });
    ok &= decoded.Output == expected.Output && decoded.Verdict == expected.Verdict;
  }
  pbo::lzss::ForceDecodePath(widest);
  return ok;
}

FileResult MeasureFile(const std::filesystem::path& path) {
  FileResult r;
  r.Name = path.filename().string();
  const Bytes data = ReadFile(path);
  r.Size = data.size();

  r.Codecs[kLzss] = MeasureLzss(data);
  const bool decodersOk = MeasureDecoders(data, r);
  if (gDecodeOnly) {
    r.Codecs[kLibdeflate6] = MeasureLibdeflate(data, 6);
    r.Codecs[kZstd1] = MeasureZstd(data, 1);
    if (!r.Codecs[kLzss].Ok || !decodersOk || !r.Codecs[kLibdeflate6].Ok || !r.Codecs[kZstd1].Ok) {
      std::printf("%s: CHECK FAILED\n", r.Name.c_str());
    }
    return r;
  }
  const Bytes stream = pbo::LzssEncode(data.data(), data.size());
  pbo::LzssDecodeResult plain;
  r.PlainDecode = SecondsPerRun([&] {
    plain = pbo::reference::ReferenceDecode(stream.data(), stream.size(),
                                            static_cast<std::int32_t>(data.size()));
  });
  const bool plainOk = plain.Output == data;

  const std::size_t prefixSize = std::min(data.size(), kReferencePrefix);
  Bytes referenceStream;
  const double referenceSeconds = SecondsPerRun(
      [&] { referenceStream = pbo::reference::ReferenceEncode(data.data(), prefixSize); });
  r.ExhaustiveEncode = referenceSeconds * data.size() / prefixSize;
  const bool sameStream = referenceStream == pbo::LzssEncode(data.data(), prefixSize);

  r.Codecs[kZlib6] = MeasureZlib(data, 6);
  r.Codecs[kZlib1] = MeasureZlib(data, 1);
  r.Codecs[kLibdeflate6] = MeasureLibdeflate(data, 6);
  r.Codecs[kZstd1] = MeasureZstd(data, 1);
  r.Codecs[kZstd3] = MeasureZstd(data, 3);
  r.Codecs[kLz4] = MeasureLz4(data);

  bool yardsticksOk = true;
  for (int c = kZlib6; c < kCodecs; ++c) yardsticksOk &= r.Codecs[c].Ok;
  if (!r.Codecs[kLzss].Ok || !plainOk || !sameStream || !yardsticksOk || !decodersOk) {
    std::printf("%s: CHECK FAILED (decode %d, plain decode %d, same stream %d, yardsticks %d)\n",
                r.Name.c_str(), r.Codecs[kLzss].Ok, plainOk, sameStream, yardsticksOk);
  }
  return r;
}

void KeepShorter(FileResult& kept, const FileResult& again) {
  for (int c = 0; c < kCodecs; ++c) {
    kept.Codecs[c].Encode = std::min(kept.Codecs[c].Encode, again.Codecs[c].Encode);
    kept.Codecs[c].Decode = std::min(kept.Codecs[c].Decode, again.Codecs[c].Decode);
  }
  kept.ExhaustiveEncode = std::min(kept.ExhaustiveEncode, again.ExhaustiveEncode);
  kept.PlainDecode = std::min(kept.PlainDecode, again.PlainDecode);
  kept.TodayDecode = std::min(kept.TodayDecode, again.TodayDecode);
  for (int i = 0; i < kPathCount; ++i) {
    kept.PathDecode[i] = std::min(kept.PathDecode[i], again.PathDecode[i]);
  }
}

FileResult Total(const std::vector<FileResult>& files) {
  FileResult t;
  t.Name = "whole corpus";
  for (const FileResult& r : files) {
    t.Size += r.Size;
    for (int c = 0; c < kCodecs; ++c) {
      t.Codecs[c].Encode += r.Codecs[c].Encode;
      t.Codecs[c].Decode += r.Codecs[c].Decode;
      t.Codecs[c].Size += r.Codecs[c].Size;
    }
    t.ExhaustiveEncode += r.ExhaustiveEncode;
    t.PlainDecode += r.PlainDecode;
    t.TodayDecode += r.TodayDecode;
    for (int i = 0; i < kPathCount; ++i) t.PathDecode[i] += r.PathDecode[i];
  }
  return t;
}

double MBps(std::size_t bytes, double seconds) { return bytes / seconds / 1e6; }

void PrintSizes(const std::vector<FileResult>& rows) {
  std::printf("Compressed size, %% of the original\n%-14s %10s", "file", "bytes");
  for (const char* name : kCodecNames) std::printf(" %7s", name);
  std::printf("\n");
  for (const FileResult& r : rows) {
    std::printf("%-14s %10zu", r.Name.c_str(), r.Size);
    for (const Figures& f : r.Codecs) std::printf(" %6.1f%%", 100.0 * f.Size / r.Size);
    std::printf("\n");
  }
}

void PrintEncoding(const std::vector<FileResult>& rows) {
  std::printf("\nCompression, MB/s\n%-14s %7s", "file", "exhaus.");
  for (const char* name : kCodecNames) std::printf(" %7s", name);
  std::printf(" | %8s %8s\n", "lzss/exh", "lzss/z6");
  for (const FileResult& r : rows) {
    std::printf("%-14s %7.2f", r.Name.c_str(), MBps(r.Size, r.ExhaustiveEncode));
    for (const Figures& f : r.Codecs) std::printf(" %7.1f", MBps(r.Size, f.Encode));
    std::printf(" | %7.0fx %7.2fx\n", r.ExhaustiveEncode / r.Codecs[kLzss].Encode,
                r.Codecs[kZlib6].Encode / r.Codecs[kLzss].Encode);
  }
}

void PrintDecoding(const std::vector<FileResult>& rows) {
  std::printf("\nDecompression, MB/s\n%-14s %7s", "file", "plain");
  for (const char* name : kCodecNames) std::printf(" %7s", name);
  std::printf(" | %8s %8s %8s\n", "lzss/ld6", "lzss/zs1", "lzss/pl");
  for (const FileResult& r : rows) {
    const double lzss = r.Codecs[kLzss].Decode;
    std::printf("%-14s %7.0f", r.Name.c_str(), MBps(r.Size, r.PlainDecode));
    for (const Figures& f : r.Codecs) std::printf(" %7.0f", MBps(r.Size, f.Decode));
    std::printf(" | %7.2fx %7.2fx %7.2fx\n", r.Codecs[kLibdeflate6].Decode / lzss,
                r.Codecs[kZstd1].Decode / lzss, r.PlainDecode / lzss);
  }
}

// The decoder against the previous design's, each path, and the yardsticks it is held to.
void PrintDecoders(const std::vector<FileResult>& rows) {
  std::printf("\nLZSS decoders, MB/s: today = the previous design, new = the default path (%s)\n",
              pbo::lzss::DecodePathName(pbo::lzss::ActiveDecodePath()));
  std::printf("%-14s %7s %7s", "file", "today", "new");
  for (const auto path : kPaths) std::printf(" %8s", pbo::lzss::DecodePathName(path));
  std::printf(" %7s %7s | %9s %8s %8s", "zstd-1", "libdef6", "new/today", "new/zs1", "new/ld6");
  for (const auto path : kPaths) std::printf(" %8.8s", pbo::lzss::DecodePathName(path));
  std::printf("\n%-14s %7s %7s %*s %7s %7s | %9s %8s %8s %*s\n", "", "", "", 9 * kPathCount - 1,
              "", "", "", "", "", "", 9 * kPathCount - 1, "(each path / today)");
  for (const FileResult& r : rows) {
    const double today = r.TodayDecode;
    const double fresh = r.Codecs[kLzss].Decode;
    std::printf("%-14s %7.0f %7.0f", r.Name.c_str(), MBps(r.Size, today), MBps(r.Size, fresh));
    for (const double path : r.PathDecode) {
      if (path > 0) {
        std::printf(" %8.0f", MBps(r.Size, path));
      } else {
        std::printf(" %8s", "-");
      }
    }
    std::printf(" %7.0f %7.0f | %8.2fx %7.2fx %7.2fx", MBps(r.Size, r.Codecs[kZstd1].Decode),
                MBps(r.Size, r.Codecs[kLibdeflate6].Decode), today / fresh,
                r.Codecs[kZstd1].Decode / fresh, r.Codecs[kLibdeflate6].Decode / fresh);
    for (const double path : r.PathDecode) {
      if (path > 0) {
        std::printf(" %7.2fx", today / path);
      } else {
        std::printf(" %8s", "-");
      }
    }
    std::printf("\n");
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1 && std::string(argv[1]) == "--decode-only") {
    gDecodeOnly = true;
    --argc;
    ++argv;
  }
  if (argc < 2) {
    std::fprintf(stderr, "usage: lzss_bench [--decode-only] CORPUS_DIR [SECONDS_PER_MEASUREMENT [ROUNDS]]\n");
    return 1;
  }
  if (argc > 2) gMinSeconds = std::stod(argv[2]);
  if (argc > 3) gRounds = std::max(1, std::stoi(argv[3]));
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

  // Each round measures every file again and keeps the shorter time of each figure, so
  // that a busy spell of the machine during one file's turn does not decide its row.
  std::vector<FileResult> rows;
  for (int round = 0; round < gRounds; ++round) {
    for (std::size_t i = 0; i < paths.size(); ++i) {
      std::fprintf(stderr, "round %d: measuring %s\n", round + 1,
                   paths[i].filename().string().c_str());
      const FileResult r = MeasureFile(paths[i]);
      if (round == 0) {
        rows.push_back(r);
      } else {
        KeepShorter(rows[i], r);
      }
    }
  }
  rows.push_back(Total(rows));
  if (gDecodeOnly) {
    PrintDecoders(rows);
    return 0;
  }

  std::printf(
      "Codecs, one process, side by side. MB/s of uncompressed data (10^6 bytes per second of "
      "processor time), fastest of at least 3 runs that take at least %.1f s in all, in each of %d "
      "rounds over the corpus.\n"
      "exhaus. = the plain exhaustive LZSS scan, timed on the first %zu KiB of each file and "
      "taken to hold for the whole file; plain = the plain checked LZSS decode loop.\n"
      "lzss/exh, lzss/z6: LZSS encoder speed over the exhaustive scan and zlib-6; lzss/ld6, "
      "lzss/zs1, lzss/pl: LZSS decoder speed over libdeflate-6, zstd-1 and the plain loop.\n\n",
      gMinSeconds, gRounds, kReferencePrefix / 1024);
  PrintSizes(rows);
  PrintEncoding(rows);
  PrintDecoding(rows);
  PrintDecoders(rows);
  return 0;
}
