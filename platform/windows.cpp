// Windows implementation of the platform layer.
//
// Paths and names are byte strings in the system's 8-bit code page, so every call here is
// the byte-string ("A") form of the file API and nothing is converted to UTF-16 on the way.
// Besides "\" and ":", the file API also takes "/" as a separator, and so does this layer
// wherever it splits a path: otherwise "D:/Data/" would read as a folder without a trailing
// separator and get an archive written inside itself.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <algorithm>
#include <cstdio>

#include "platform/platform.h"

namespace pbo::platform {
namespace {

// The tool runs unattended, so no system dialog may ever wait for a click: not the "no
// disk in drive" box of a removable drive, not the crash box.
struct UnattendedErrorMode {
  UnattendedErrorMode() {
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX | SEM_NOOPENFILEERRORBOX);
  }
} const kUnattendedErrorMode;

// ReadFile and WriteFile move at most a DWORD's worth of bytes per call.
constexpr std::size_t kLargestTransfer = std::size_t{1} << 30;

std::string ErrorText(DWORD error) {
  char* buffer = nullptr;
  const DWORD length = FormatMessageA(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, error, 0, reinterpret_cast<char*>(&buffer), 0, nullptr);
  std::string text = length > 0 && buffer != nullptr ? std::string(buffer, length)
                                                     : "Error " + std::to_string(error);
  LocalFree(buffer);
  // The system's texts end in a line break, which would break the one-line report.
  while (!text.empty() && (text.back() == '\r' || text.back() == '\n' || text.back() == ' ')) {
    text.pop_back();
  }
  return text;
}

// Owns one file handle for the length of a scope.
class FileHandle {
 public:
  explicit FileHandle(HANDLE handle) : handle_(handle) {}
  FileHandle(const FileHandle&) = delete;
  FileHandle& operator=(const FileHandle&) = delete;
  ~FileHandle() {
    if (Valid()) CloseHandle(handle_);
  }
  HANDLE Get() const { return handle_; }
  bool Valid() const { return handle_ != INVALID_HANDLE_VALUE; }
  // Closes now and reports whether the close (which may flush) succeeded.
  bool Close() {
    const HANDLE handle = handle_;
    handle_ = INVALID_HANDLE_VALUE;
    return CloseHandle(handle) != 0;
  }

 private:
  HANDLE handle_;
};

// Opens path to read its attributes only, following a link or junction to what it points
// to; works for folders too and never conflicts with another process's sharing rule.
HANDLE OpenForAttributes(const std::string& path) {
  return CreateFileA(path.c_str(), FILE_READ_ATTRIBUTES,
                     FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                     FILE_FLAG_BACKUP_SEMANTICS, nullptr);
}

bool WriteAll(HANDLE file, const std::uint8_t* data, std::size_t size) {
  while (size > 0) {
    const DWORD chunk = static_cast<DWORD>(std::min(size, kLargestTransfer));
    DWORD written = 0;
    if (!WriteFile(file, data, chunk, &written, nullptr) || written == 0) return false;
    data += written;
    size -= written;
  }
  return true;
}

bool Has(DWORD attributes, DWORD wanted) {
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & wanted) != 0;
}

// The attributes to create a file with over one that has existing. Replacing a hidden or
// system file fails unless the new file asks for those attributes too, so they are kept.
DWORD AttributesToReplace(DWORD existing) {
  if (existing == INVALID_FILE_ATTRIBUTES) return FILE_ATTRIBUTE_NORMAL;
  const DWORD kept = existing & (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM);
  return kept != 0 ? kept : FILE_ATTRIBUTE_NORMAL;
}

// Windows opens a device, not a file, for these names in every folder, whatever extension
// follows and however many spaces end the stem: "nul.txt", "Con", "com1.tar.gz", "aux ".
bool IsReservedDeviceName(const std::string& part) {
  std::string stem = part.substr(0, part.find('.'));
  while (!stem.empty() && stem.back() == ' ') stem.pop_back();
  stem = UpperCaseAscii(stem);
  if (stem == "CON" || stem == "PRN" || stem == "AUX" || stem == "NUL" || stem == "CONIN$" ||
      stem == "CONOUT$") {
    return true;
  }
  if (stem.size() != 4 || (stem.compare(0, 3, "COM") != 0 && stem.compare(0, 3, "LPT") != 0)) {
    return false;
  }
  // A digit, or superscript one, two or three of the 8-bit code page.
  const char number = stem[3];
  return (number >= '0' && number <= '9') || number == '\xB9' || number == '\xB2' ||
         number == '\xB3';
}

// Windows drops the dots and spaces that end a name, so a part such as "..." or ". ." could
// come out as ".." or as the folder above. "." and the empty part stay harmless.
bool IsOnlyDotsAndSpaces(const std::string& part) {
  return !part.empty() && part != "." && part.find_first_not_of(". ") == std::string::npos;
}

}  // namespace

bool IsSafeNamePart(const std::string& part) {
  // ":" names a drive or an alternate data stream; "/" would split the part in two.
  if (part.find_first_of(":/") != std::string::npos) return false;
  return !IsOnlyDotsAndSpaces(part) && !IsReservedDeviceName(part);
}

std::vector<std::string> Arguments(int argc, char** argv) {
  // The C runtime has already split the command line; an empty pair of quotes arrives as
  // an empty argument and does not count.
  std::vector<std::string> arguments;
  for (int i = 1; i < argc; ++i) {
    if (argv[i][0] != '\0') arguments.emplace_back(argv[i]);
  }
  return arguments;
}

PathKind KindOf(const std::string& path) {
  const DWORD attributes = GetFileAttributesA(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return PathKind::Missing;
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) return PathKind::Folder;
  return PathKind::File;
}

bool IsLink(const std::string& path) {
  return Has(GetFileAttributesA(path.c_str()), FILE_ATTRIBUTE_REPARSE_POINT);
}

bool ReadWholeFile(const std::string& path, std::vector<std::uint8_t>& bytes, std::string& error) {
  FileHandle file(CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
  if (!file.Valid()) {
    error = ErrorText(GetLastError());
    return false;
  }
  // A device name such as NUL or COM1 opens, but it is no file to read whole.
  if (GetFileType(file.Get()) != FILE_TYPE_DISK) {
    error = ErrorText(ERROR_BAD_FILE_TYPE);
    return false;
  }
  LARGE_INTEGER size;
  if (!GetFileSizeEx(file.Get(), &size)) {
    error = ErrorText(GetLastError());
    return false;
  }
  // The length is taken once; a file that shrinks meanwhile gives what it still holds.
  bytes.resize(static_cast<std::size_t>(size.QuadPart));
  std::size_t filled = 0;
  while (filled < bytes.size()) {
    const DWORD chunk = static_cast<DWORD>(std::min(bytes.size() - filled, kLargestTransfer));
    DWORD got = 0;
    if (!ReadFile(file.Get(), bytes.data() + filled, chunk, &got, nullptr)) {
      error = ErrorText(GetLastError());
      return false;
    }
    if (got == 0) break;
    filled += got;
  }
  bytes.resize(filled);
  return true;
}

std::int64_t FileSize(const std::string& path) {
  FileHandle file(OpenForAttributes(path));
  LARGE_INTEGER size;
  if (!file.Valid() || !GetFileSizeEx(file.Get(), &size)) return -1;
  return static_cast<std::int64_t>(size.QuadPart);
}

bool WriteWholeFile(const std::string& path, const std::uint8_t* data, std::size_t size) {
  // A read-only file stays as it is. Windows refuses to replace it anyway, but Wine run
  // as root would not.
  const DWORD existing = GetFileAttributesA(path.c_str());
  if (Has(existing, FILE_ATTRIBUTE_READONLY)) return false;
  // FILE_FLAG_OPEN_REPARSE_POINT opens a link itself rather than its target; a handle that
  // turns out to be a link (or a device) is closed before a byte is written.
  FileHandle file(CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              AttributesToReplace(existing) | FILE_FLAG_OPEN_REPARSE_POINT,
                              nullptr));
  if (!file.Valid()) return false;
  BY_HANDLE_FILE_INFORMATION information;
  if (GetFileType(file.Get()) != FILE_TYPE_DISK ||
      !GetFileInformationByHandle(file.Get(), &information) ||
      (information.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
    return false;
  }
  if (!WriteAll(file.Get(), data, size)) return false;
  return file.Close();
}

bool ReplaceFileAtomically(const std::string& path, const ByteRange* pieces, std::size_t pieceCount,
                           std::string& error) {
  // A read-only archive stays as it is, as it would if it were overwritten in place.
  if (Has(GetFileAttributesA(path.c_str()), FILE_ATTRIBUTE_READONLY)) {
    error = ErrorText(ERROR_ACCESS_DENIED);
    return false;
  }
  // The new file starts with a dot, so that a scan of the folder it lies in passes over it
  // should it ever be left behind.
  const std::size_t folderLength = FolderPartLength(path);
  const std::string temporary = path.substr(0, folderLength) + "." + path.substr(folderLength) +
                                ".tmp" + std::to_string(GetCurrentProcessId());
  FileHandle file(CreateFileA(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                              FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file.Valid()) {
    error = ErrorText(GetLastError());
    return false;
  }
  bool written = true;
  for (std::size_t i = 0; written && i < pieceCount; ++i) {
    written = WriteAll(file.Get(), pieces[i].Data, pieces[i].Size);
  }
  const DWORD writeError = GetLastError();
  if (!written || !file.Close()) {
    error = ErrorText(written ? GetLastError() : writeError);
    DeleteFileA(temporary.c_str());
    return false;
  }
  if (!MoveFileExA(temporary.c_str(), path.c_str(),
                   MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    error = ErrorText(GetLastError());
    DeleteFileA(temporary.c_str());
    return false;
  }
  return true;
}

// Windows makes no folder through the byte-string functions whose path leaves no room for
// an 8.3 name within MAX_PATH. Wine makes them up to MAX_PATH itself, and nothing can list
// or remove such a folder again; refusing them here makes a deep name stop at the same
// depth under Wine as on Windows.
bool CreateFolder(const std::string& path) {
  if (path.size() > MAX_PATH - 13) {
    SetLastError(ERROR_FILENAME_EXCED_RANGE);
    return false;
  }
  return CreateDirectoryA(path.c_str(), nullptr) != 0;
}

bool ListFolder(const std::string& folder, std::vector<FolderItem>& items) {
  std::string pattern = folder;
  if (!pattern.empty() && !EndsFolderPart(pattern.back())) pattern += '\\';
  pattern += '*';
  WIN32_FIND_DATAA found;
  const HANDLE listing = FindFirstFileA(pattern.c_str(), &found);
  if (listing == INVALID_HANDLE_VALUE) {
    // The root of an empty drive has not even "." and "..": nothing found, but listed.
    return GetLastError() == ERROR_FILE_NOT_FOUND;
  }
  do {
    const std::string name = found.cFileName;  // the long name, never the 8.3 alias
    if (name == "." || name == "..") continue;
    const bool isFolder = (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    items.push_back(FolderItem{name, isFolder ? PathKind::Folder : PathKind::File});
  } while (FindNextFileA(listing, &found));
  FindClose(listing);
  return true;
}

std::string FolderIdentity(const std::string& folder) {
  FileHandle handle(OpenForAttributes(folder));
  BY_HANDLE_FILE_INFORMATION information;
  if (!handle.Valid() || !GetFileInformationByHandle(handle.Get(), &information)) {
    return std::string();
  }
  return std::to_string(information.dwVolumeSerialNumber) + ":" +
         std::to_string(information.nFileIndexHigh) + ":" +
         std::to_string(information.nFileIndexLow);
}

std::string AbsolutePath(const std::string& path) {
  std::vector<char> buffer(MAX_PATH);
  for (;;) {
    const DWORD length =
        GetFullPathNameA(path.c_str(), static_cast<DWORD>(buffer.size()), buffer.data(), nullptr);
    if (length == 0) return path;
    if (length < buffer.size()) return std::string(buffer.data(), length);
    buffer.resize(length);  // the length needed, terminator included
  }
}

void ReportError(const std::string& message) {
  const std::string line = "pbo: " + message + "\n";
  std::fwrite(line.data(), 1, line.size(), stderr);
  std::fflush(stderr);
}

}  // namespace pbo::platform
