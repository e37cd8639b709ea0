// Packs a folder into an archive beside it, then extracts that archive into another folder,
// through the library's two archive modes.
// Usage: pack_and_extract FOLDER OUTPUT_FOLDER  (OUTPUT_FOLDER ends in the separator)
// Exits with the result code of the mode that failed, or 0.
#include <pbo/archive.h>

#include <cstdio>

int main(int argc, char** argv) {
  if (argc != 3) return 1;
  try {
    pbo::RunState pack;
    pack.SourceFolder = argv[1];
    pack.OutputArchive = pack.SourceFolder + ".pbo";
    pbo::CreateArchive(pack);
    if (pack.ResultCode != pbo::kRunCompleted) return pack.ResultCode;

    pbo::RunState extract;
    extract.InputPath = pack.OutputArchive;
    extract.OutputFolder = argv[2];
    pbo::ExtractArchive(extract);
    return extract.ResultCode;
  } catch (const pbo::FatalError& error) {
    std::fprintf(stderr, "%s\n", error.what());
    return 1;
  }
}
