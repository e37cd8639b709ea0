// The archive subsystem: the run state the front end hands to a mode, the entry record, and
// the modes: extraction (which also tests an archive without touching the disk), listing
// and archive creation.
//
// An archive is a table of header records closed by a terminator record, followed by the
// entries' data blocks back to back in table order. Every number is 32-bit little-endian.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

namespace pbo {

// A growable array of bytes: a whole archive, one entry's data, a stream, an output area.
using TByteFile = std::vector<std::uint8_t>;

// Packing method of an LZSS-compressed entry (bytes 73 72 70 43 in the file). Every other
// value means the data block holds the entry unchanged.
inline constexpr std::uint32_t kCompressedMethod = 0x43707273;

// One archive entry.
struct TFileHeaders {
  std::string FullPath;          // the entry's file on disk
  std::int32_t DataSize = 0;     // length of the data block (extraction only)
  std::string RelativeName;      // the name inside the archive, folders joined by "\"
  std::uint32_t PackingMethod = 0;
  std::int32_t OriginalSize = 0;  // expanded length of a compressed entry (extraction only)
  bool IsBinarizedMission = false;
};

// Exit codes, the tool's whole report to its caller.
enum ResultCodes : std::int32_t {
  kRunCompleted = 0,      // every entry written (extract) or the archive written (archive)
  kBadCallOrFatal = 1,    // bad arguments, or an error that no mode handles
  kBadPathOrNoWrite = 2,  // bad path, or the archive cannot be written
  kEntryFailed = 3,       // extraction, test, listing: at least one entry failed
};

// Counters the modes raise as they go, for the front end's progress line, which reads them
// on a thread of its own while the mode runs. They change nothing a mode does.
struct RunProgress {
  std::atomic<std::uint64_t> EntriesTotal{0};  // known once the table or the folder is read
  std::atomic<std::uint64_t> EntriesDone{0};   // written (or tested), in table order
  std::atomic<std::uint64_t> BytesRead{0};     // blocks of the archive, or source files
  std::atomic<std::uint64_t> BytesWritten{0};  // files extracted, or blocks of the archive
};

// The values through which the front end and the modes meet. One per run.
struct RunState {
  std::string ModeLetter;     // "X", "T", "L" or "A"
  std::string InputPath;      // the path argument, unchanged
  std::string OutputFolder;   // extraction: where the entries go; ends in the separator
  std::string SourceFolder;   // archive creation: the folder to pack
  std::string OutputArchive;  // archive creation: SourceFolder followed by ".pbo"
  std::vector<TFileHeaders> EntryTable;
  std::int32_t ResultCode = kRunCompleted;
  // Worker threads that compress, expand and convert entries; 1 does everything on the
  // calling thread. The result is byte for byte the same whatever the number.
  unsigned Threads = 1;
  // Report, one line per thing that decides the exit code, on standard error.
  bool Verbose = false;
  // Extraction only tests: every entry is read, expanded, rated and converted as it would
  // be extracted, but no folder is made and no file written.
  bool TouchNoDisk = false;
  // Entries that failed (extraction, test, listing), and the first line that Fail was
  // given: what the front end shows at a terminal when the run is not verbose.
  std::uint64_t FailedEntries = 0;
  std::string FirstFailure;
  RunProgress Progress;
  // Where the lines of the report go; empty: platform::ReportError. The front end's
  // progress line puts itself here, to step aside for each line.
  std::function<void(const std::string&)> ReportLine;

  // Records a mode's failure. The result only ever rises, so one failure decides it.
  void RaiseResult(std::int32_t code) {
    if (code > ResultCode) ResultCode = code;
  }

  // With Verbose set, writes "pbo: " and line on standard error; otherwise nothing.
  void Report(const std::string& line) const;

  // Records a failure that decides the exit code: raises ResultCode to code, counts an
  // entry that failed (code kEntryFailed), keeps line as FirstFailure if it is the first,
  // and reports it.
  void Fail(std::int32_t code, const std::string& line);
};

// An error that no mode handles (an archive or source file that cannot be opened, an
// archive whose table cannot be read). It ends the run: the front end reports its message
// on one line, or nothing for an empty one (the listing's reader has gone), and exits with
// code 1.
class FatalError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Extract mode. Reads the table of the archive at run.InputPath into run.EntryTable (the
// terminator's record last), then each entry's block as it is needed, on run.Threads
// worker threads, and writes every entry under run.OutputFolder, in table order:
// compressed entries expanded and verified, binarized missions as text, the rest as they
// are. A failed entry (its block runs past the archive, its name would lead outside
// OutputFolder or through a symbolic link, its file cannot be written, its checksum or
// length fails, its mission holds data the converter does not understand, or its mission
// text passes what is left of the run's allowance: 64 MiB plus 64 bytes per byte of the
// archive for all missions, drawn on in table order) raises ResultCode to 3, and
// extraction goes on with the next entry; with run.Verbose the entry's name and why are
// reported. With run.Verbose, an entry whose file a later entry of the same name replaces
// is named too (the exit code does not change). The files and ResultCode are the same
// whatever run.Threads is. With run.TouchNoDisk set the run is a test: everything above
// happens but the writing, so ResultCode and the report are what extraction would give
// on a disk that takes every file, and nothing on disk changes.
// Throws FatalError when the archive cannot be opened or its table is cut short (nothing
// has been written then), or when it cannot be read further on.
void ExtractArchive(RunState& run);

// List mode. Reads the table of the archive at run.InputPath, twice (once to check it and
// size the columns, once to print, so that memory does not grow with the table), and
// writes to out a line with the version record's three strings when there is one, a
// header line, one line per entry in table order (the size it extracts to, the size of
// its block, "lzss", "stored" or "mission", and its name as the archive holds it, control
// bytes shown as "?") and a line with the count and the totals. No block is read but the
// first 9 bytes of a stored MISSION.ZEM entry's, which tell a binarized mission, and
// nothing is decoded or written to disk. An entry whose block runs past the end of the
// archive, or whose data size is 2 GiB or more, is marked in its line and fails (ResultCode
// 3, reported with run.Verbose). Throws FatalError when the archive cannot be opened or
// read or its table is cut short (nothing has been written to out then), or when out
// cannot be written.
void ListArchive(RunState& run, std::FILE* out);

// Archive mode. Scans run.SourceFolder into run.EntryTable, compresses the files on
// run.Threads worker threads and writes their blocks as they are ready, in table order,
// to a new file that replaces run.OutputArchive only once it is complete; the archive is
// the same whatever run.Threads is. Nothing is written when the folder holds no file. A failed write raises ResultCode to 2 and leaves
// any older archive as it was. Throws FatalError when a source file cannot be opened, or
// when a file or its compressed stream is 2 GiB or larger (more than a header record can
// state); no archive is written then, and any older archive stays as it was.
void CreateArchive(RunState& run);

}  // namespace pbo
