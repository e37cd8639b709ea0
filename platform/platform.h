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

// The new content of a file, written at any offsets, and put in place of the old file
// whole by Commit. Until Commit the old file is untouched.
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
  // be written (read-only), fails and nothing is made; anything else there (a link, a
  // FIFO) is replaced by Commit, never written through. The new file is made beside path,
  // named "." + file name + ".tmp" + process id (+ "-" and a counter on a clash; the file
  // name is left out when it is long), so a scan passes over it. When the folder cannot
  // take a new file (no permission) but path is an existing, writable regular file, the
  // content is gathered in an anonymous temporary file in the system's temporary folder
  // and copied into path at Commit (in place).
  bool Create(const std::string& path, std::string& error);
  // Writes size bytes at offset of the new content; a gap before offset reads as zeros.
  bool WriteAt(std::uint64_t offset, const std::uint8_t* data, std::size_t size,
               std::string& error);
  // Renames the new content over path (or copies it into path, in the fallback). On
  // failure the new content is removed and error holds the platform's text. Once only.
  bool Commit(std::string& error);

 private:
  struct State;
  std::unique_ptr<State> state_;
};

// Replaces the file at path with size bytes, whole or not at all. Over an existing file, a
// new file is made beside it (named as ReplacementFile names it) and moved over the name
// once complete; at a name that holds nothing, the file is made right there, never over
// anything, and removed again if the write fails. Never through a link: a path that is a
// symbolic link / reparse point, or anything but a regular file, fails without waiting.
// An existing file that may not be written fails and stays. Where the folder cannot take
// a new file (no permission, or the longer name does not fit), an existing regular file is
// written in place (still never through a link). On failure no new file is left behind
// and error holds why.
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

}  // namespace pbo::platform
