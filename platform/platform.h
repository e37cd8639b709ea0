// The thin layer over the operating system. Everything else in the tool reaches files,
// folders, the argument list and standard error through these functions only; there is a
// POSIX implementation (posix.cpp) and a Windows one (windows.cpp).
//
// Paths are byte strings handled as text: nothing here makes a path absolute or canonical
// (but for AbsolutePath, which only serves an error message). On POSIX nothing transcodes
// them; on Windows they are code-page bytes, converted exactly (or not at all) to the wide
// file API.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/path_text.h"

namespace pbo::platform {

// False for one "\"-separated part of an archive entry's name that would not name a plain
// file or folder inside the output folder on this platform (beyond ".." and an empty first
// part, which extraction refuses everywhere): on Windows a part holding ":" (a drive or
// an alternate data stream) or a reserved device name such as CON or LPT1.
bool IsSafeNamePart(const std::string& part);

// The program's arguments, without the program name, split by the platform's rule. Empty
// arguments are not counted (on POSIX an empty string, on Windows an empty pair of quotes).
// On Windows they come from the wide command line (wmain's), each converted to the code
// page exactly; a character the code page cannot hold becomes "?", so that such an
// argument names no path.
#ifdef _WIN32
std::vector<std::string> Arguments(int argc, wchar_t** argv);
#else
std::vector<std::string> Arguments(int argc, char** argv);
#endif

// What a path names. Symbolic links are followed, so a link to a folder is a Folder and a
// dangling link is Missing.
enum class PathKind { Missing, File, Folder, Other };
PathKind KindOf(const std::string& path);

// The size in bytes of the file at path (links followed) as the system states it now, or 0
// when it cannot be had. A hint, for planning work: the file may change before it is read.
std::uint64_t FileSizeHint(const std::string& path);

// True when path itself (not what it points to) is a symbolic link or, on Windows, a
// reparse point; such a path is never written through by extraction.
bool IsLink(const std::string& path);

// A file opened for reading at any offset. Others may read it meanwhile but not write it
// (where the platform enforces that); a FIFO or device is refused without waiting; a
// folder is refused.
class InputFile {
 public:
  InputFile();
  ~InputFile();
  InputFile(InputFile&& other) noexcept;
  InputFile& operator=(InputFile&& other) noexcept;
  InputFile(const InputFile&) = delete;
  InputFile& operator=(const InputFile&) = delete;

  // Opens path (closing any file opened before). On failure returns false and sets error
  // to the platform's text for it.
  bool Open(const std::string& path, std::string& error);
  // Size in bytes, taken once, at Open.
  std::uint64_t Size() const;
  // Reads exactly size bytes at offset. False (with error) on failure or when the file
  // holds fewer bytes there. May be called from several threads at once.
  bool ReadAt(std::uint64_t offset, std::uint8_t* out, std::size_t size, std::string& error) const;

 private:
  struct State;
  std::unique_ptr<State> state_;
};

// Makes SIGINT, SIGTERM and SIGHUP (on Windows Ctrl-C, Ctrl-Break and the closing of the
// console) end the run cleanly: the temporary files in flight (of WholeFile and
// ReplacementFile) are removed, every older file stays whole, and the process ends as the
// signal would have ended it (the shell sees 128 + its number, 130 for Ctrl-C; on Windows
// the exit code is that of Ctrl-C, STATUS_CONTROL_C_EXIT). A stop that comes while an old
// file is overwritten in place, or a new file is given its name, takes effect once that is
// done (or the old content has been put back). On POSIX a signal that was ignored when the
// process started stays ignored. Call once, from main, before anything is written.
void InstallStopHandlers();

// A new file, written in pieces from its start, that appears under its name only once
// whole. On Linux, at a name that holds nothing, it is made unnamed in the folder of its
// path and linked in at Commit, so that not even a kill leaves anything. Over an existing
// file (an unnamed one, linked to a temporary name and renamed, took 10% more processor
// time to extract a tree over itself on a RAM disk), where the file system makes no
// unnamed files, and on Windows, it is made beside the path, named "." + file name +
// ".tmp" + process id (+ "-" and a counter on a clash; the file name is left out when it
// is long), which a scan passes over and a stop (InstallStopHandlers) removes, and renamed
// over the name at Commit. Never written through a link.
class WholeFile {
 public:
  WholeFile();
  // Destroyed without Commit: the new content is removed; the old file stays as it was.
  ~WholeFile();
  WholeFile(WholeFile&& other) noexcept;
  WholeFile& operator=(WholeFile&& other) noexcept;
  WholeFile(const WholeFile&) = delete;
  WholeFile& operator=(const WholeFile&) = delete;

  // Starts the new content of the file at path, whose folder must exist. What path holds
  // is replaced only when it is a regular file that may be written: a symbolic link (or a
  // reparse point), a folder, anything but a regular file (a FIFO is never waited on) and a
  // read-only file (also when root runs the tool) fail, with error set and nothing made or
  // left, here on POSIX and at Commit on Windows (where the look at a name costs most when
  // it holds nothing). Where the folder takes no new file (no permission, or the temporary
  // name does not fit), only an existing regular file of one name is written, in place: the
  // content is gathered in an anonymous file in the system's temporary folder and copied
  // over the old one at Commit. freshFolder says that this run made path's folder, so that
  // its names are most likely free: on POSIX the look at the name is then left to Commit,
  // which makes the same checks should the name be taken after all (saving a lookup per
  // file, a sixth of the time to extract a fresh tree onto a RAM disk).
  bool Create(const std::string& path, std::string& error, bool freshFolder = false);
  // Appends size bytes. False with error when they cannot be written (a full disk); the
  // file is then only good for being destroyed.
  bool Append(const std::uint8_t* data, std::size_t size, std::string& error);
  // Gives the new content path's name, replacing the file there, or copies it in place:
  // the room reserved and the old content saved first, and put back should the copy fail
  // part way. On failure path holds what it held before, nothing new is left behind, and
  // error holds the platform's text. Once only.
  bool Commit(std::string& error);

 private:
  struct State;
  std::unique_ptr<State> state_;
};

// The new content of a file, written at any offsets, and put in place of the old file
// whole by Commit. Until Commit the old file is untouched. On Linux it is unnamed until
// Commit, over an existing file too (linked under a temporary name and renamed over it);
// elsewhere it has a temporary name as WholeFile's, which a stop removes. Where WholeFile
// refuses a link, FIFO or device at path, this replaces it at Commit, never writing
// through it.
class ReplacementFile {
 public:
  ReplacementFile();
  // Destroyed without Commit: the new content is closed and removed.
  ~ReplacementFile();
  ReplacementFile(ReplacementFile&& other) noexcept;
  ReplacementFile& operator=(ReplacementFile&& other) noexcept;
  ReplacementFile(const ReplacementFile&) = delete;
  ReplacementFile& operator=(const ReplacementFile&) = delete;

  // path: the file to replace. An existing path that is a folder, or a file that may not
  // be written (read-only), fails and nothing is made. When the folder cannot take a new
  // file (no permission) but path is an existing, writable regular file of one name, the
  // content is gathered in an anonymous file in the system's temporary folder and copied
  // into path at Commit (in place), as WholeFile does.
  bool Create(const std::string& path, std::string& error);
  // Writes size bytes at offset of the new content; a gap before offset reads as zeros.
  bool WriteAt(std::uint64_t offset, const std::uint8_t* data, std::size_t size,
               std::string& error);
  // Cuts the new content to size bytes (it may have been written further before).
  bool Truncate(std::uint64_t size, std::string& error);
  // Puts the new content in place of path (or copies it into path, in the fallback). On
  // failure the new content is removed, path holds what it held, and error holds the
  // platform's text. Once only.
  bool Commit(std::string& error);

 private:
  struct State;
  std::unique_ptr<State> state_;
};

// Replaces the file at path with size bytes, whole or not at all: a WholeFile written in
// one piece, with its rules (never through a link; nothing but a regular file replaced; a
// read-only one kept; in place only where the folder takes no new file). On failure
// nothing new is left behind and error holds why.
bool WriteWholeFile(const std::string& path, const std::uint8_t* data, std::size_t size,
                    std::string& error);

// Creates one folder. Returns false when it cannot (it may exist already).
bool CreateFolder(const std::string& path);

// One name in a folder listing.
struct FolderItem {
  std::string Name;
  PathKind Kind = PathKind::Other;  // as KindOf: links followed
};

// How far a folder listing got.
//   Complete:   every name was listed.
//   NotStarted: there was nothing to list: the folder is gone (or a file took its place),
//               its path is longer than the system takes, or it is a link that leads
//               round in a circle. It contributes nothing.
//   Broken:     the folder holds names that were not all listed: its listing could not be
//               started for another reason (access refused, an I/O error) or failed part
//               way.
enum class Listing { Complete, NotStarted, Broken };

// Appends the names in folder (without "." and "..") to items, in the platform's order.
// On Windows a name the code page cannot hold exactly is listed as a file whose name holds
// "?" in place of each such character, so that opening it fails. Sets error to the
// platform's text unless the listing is Complete.
Listing ListFolder(const std::string& folder, std::vector<FolderItem>& items, std::string& error);

// An identity of a folder that is the same for every path that reaches it (device and
// inode on POSIX, volume and file index on Windows); empty when it cannot be had.
std::string FolderIdentity(const std::string& folder);

// path made absolute against the current folder, for messages only.
std::string AbsolutePath(const std::string& path);

// Writes one line, "pbo: " and message, on standard error: the error that ends the run, or
// a line of the opt-in report. Control bytes in message (a line break in a path, say)
// show as "?", so the line stays one line.
void ReportError(const std::string& message);

// True when standard error is a terminal (on Windows a console) that a person may be
// watching; false for a file, a pipe or a closed stream.
bool StandardErrorIsTerminal();

}  // namespace pbo::platform
