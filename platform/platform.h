// The thin layer over the operating system. Everything else in the tool reaches files,
// folders, the argument list and standard error through these functions only; there is a
// POSIX implementation (posix.cpp) and a Windows one (windows.cpp).
//
// Paths are byte strings handled as text: nothing here makes a path absolute or canonical
// (but for AbsolutePath, which only serves an error message) or transcodes it.
#pragma once

#include <cstddef>
#include <cstdint>
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
std::vector<std::string> Arguments(int argc, char** argv);

// What a path names. Symbolic links are followed, so a link to a folder is a Folder and a
// dangling link is Missing.
enum class PathKind { Missing, File, Folder, Other };
PathKind KindOf(const std::string& path);

// True when path itself (not what it points to) is a symbolic link or, on Windows, a
// reparse point; such a path is never written through by extraction.
bool IsLink(const std::string& path);

// Reads the whole file at path. Others may read the file meanwhile but not write it (where
// the platform can enforce that). On failure returns false and sets error to the
// platform's text for it.
bool ReadWholeFile(const std::string& path, std::vector<std::uint8_t>& bytes, std::string& error);

// Size in bytes of the file at path, following links, or -1 when it cannot be had.
std::int64_t FileSize(const std::string& path);

// Creates (or replaces) the file at path and writes size bytes in one piece. A path that
// is a symbolic link is not followed, and one that names anything but a regular file (a
// FIFO, a device) is not written: the call fails, without waiting. Returns false on any
// failure; the part already written stays.
bool WriteWholeFile(const std::string& path, const std::uint8_t* data, std::size_t size);

// A run of bytes to be written.
struct ByteRange {
  const std::uint8_t* Data;
  std::size_t Size;
};

// Writes the pieces, one after the other, to a new file beside path and renames it over
// path only once it is complete, so that an existing file at path is either replaced whole
// or left as it was. An existing file that may not be written is left as it is and the
// call fails. On failure nothing new is left behind and error holds the platform's
// text.
bool ReplaceFileAtomically(const std::string& path, const ByteRange* pieces,
                           std::size_t pieceCount, std::string& error);

// Creates one folder. Returns false when it cannot (it may exist already).
bool CreateFolder(const std::string& path);

// One name in a folder listing.
struct FolderItem {
  std::string Name;
  PathKind Kind = PathKind::Other;  // as KindOf: links followed
};

// Lists the names in folder (without "." and ".."), in the platform's order. Returns
// false when the folder cannot be enumerated.
bool ListFolder(const std::string& folder, std::vector<FolderItem>& items);

// An identity of a folder that is the same for every path that reaches it (device and
// inode on POSIX, volume and file index on Windows); empty when it cannot be had.
std::string FolderIdentity(const std::string& folder);

// path made absolute against the current folder, for messages only.
std::string AbsolutePath(const std::string& path);

// Reports an error that ends the run: one line, "pbo: " and message, on standard error.
void ReportError(const std::string& message);

}  // namespace pbo::platform
