// Windows implementation of the platform layer.
//
// Paths and names are byte strings in the system's 8-bit code page everywhere else in the
// tool. Here they cross to the wide (UTF-16) file API, converted exactly or not at all: the
// byte-string ("A") functions would map a character the code page cannot hold onto a
// look-alike ("best fit": a fullwidth backslash becomes "\", "ā" becomes "a"), and a name
// could then reach another file or folder.
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
#include <cwchar>
#include <utility>

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

// Sets error to the text of the last failure and returns false.
bool Fail(std::string& error) {
  error = ErrorText(GetLastError());
  return false;
}

// Converts UTF-16 to code-page bytes. Returns false when the code page cannot hold every
// character exactly; bytes then holds "?" in place of each such character, a character no
// Windows name may hold, so the name cannot be opened.
bool FromWide(const wchar_t* wide, std::size_t length, std::string& bytes) {
  bytes.clear();
  if (length == 0) return true;
  const int count = static_cast<int>(length);
  if (GetACP() == CP_UTF8) {
    // UTF-8 holds every character; only a lone surrogate has no form in it.
    const int size = WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, wide, count, nullptr, 0,
                                         nullptr, nullptr);
    if (size > 0) {
      bytes.resize(static_cast<std::size_t>(size));
      WideCharToMultiByte(CP_UTF8, 0, wide, count, bytes.data(), size, nullptr, nullptr);
      return true;
    }
    std::wstring marked(wide, length);
    for (std::size_t i = 0; i < marked.size(); ++i) {
      const bool high = marked[i] >= 0xD800 && marked[i] <= 0xDBFF;
      const bool low = marked[i] >= 0xDC00 && marked[i] <= 0xDFFF;
      if (high && i + 1 < marked.size() && marked[i + 1] >= 0xDC00 && marked[i + 1] <= 0xDFFF) {
        ++i;
      } else if (high || low) {
        marked[i] = L'?';
      }
    }
    FromWide(marked.data(), marked.size(), bytes);
    return false;
  }
  BOOL usedDefault = FALSE;
  const int size =
      WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, wide, count, nullptr, 0, "?", &usedDefault);
  if (size <= 0) return false;
  bytes.resize(static_cast<std::size_t>(size));
  WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, wide, count, bytes.data(), size, "?",
                      &usedDefault);
  return usedDefault == FALSE;
}

// Converts code-page bytes to UTF-16, only when the conversion is exact both ways: bytes
// that are no valid text, or that would come back as other bytes, name nothing.
bool ToWide(const std::string& bytes, std::wstring& wide) {
  wide.clear();
  if (bytes.empty()) return true;
  const int count = static_cast<int>(bytes.size());
  const int size =
      MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, bytes.data(), count, nullptr, 0);
  std::string back;
  if (size > 0) {
    wide.resize(static_cast<std::size_t>(size));
    MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, bytes.data(), count, wide.data(), size);
    if (FromWide(wide.data(), wide.size(), back) && back == bytes) return true;
  }
  wide.clear();
  SetLastError(ERROR_NO_UNICODE_TRANSLATION);
  return false;
}

// The wide form of path for the file API, or false (with the last error set) when it does
// not convert exactly or is longer than the classic limit of 260 characters (the closing
// zero included). The wide functions would take a longer path where some systems allow it,
// but what extraction made there the usual tools could not reach or remove, so the limit
// stays the one the byte-string functions keep: the same on every system.
bool WidePath(const std::string& path, std::wstring& wide, std::size_t limit = MAX_PATH) {
  if (!ToWide(path, wide)) return false;
  if (wide.size() < limit) return true;
  SetLastError(ERROR_FILENAME_EXCED_RANGE);
  return false;
}

// The "\\?\" form of a path, which is not held to the classic limit of 260 characters:
// the full path the system would make of it (the same folders, "." and ".." resolved, the
// same trailing dots and spaces dropped) with "\\?\" before it. Only the new file made
// beside a name takes it, so that a name that fits the limit never fails for the few
// characters its new file adds. Device paths and paths of that form already stay as they
// are, and so does a path that does not come near the limit.
std::wstring LongForm(const std::wstring& path) {
  if (path.size() < MAX_PATH - 12) return path;
  const DWORD needed = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
  if (needed == 0) return path;  // the call that follows fails as it would have
  std::wstring full(needed, L'\0');
  const DWORD length = GetFullPathNameW(path.c_str(), needed, full.data(), nullptr);
  if (length == 0 || length >= needed) return path;
  full.resize(length);
  if (full.compare(0, 4, L"\\\\?\\") == 0 || full.compare(0, 4, L"\\\\.\\") == 0) return full;
  if (full.compare(0, 2, L"\\\\") == 0) return L"\\\\?\\UNC\\" + full.substr(2);
  return L"\\\\?\\" + full;
}

// Owns one file handle for the length of a scope.
class FileHandle {
 public:
  explicit FileHandle(HANDLE handle = INVALID_HANDLE_VALUE) : handle_(handle) {}
  FileHandle(const FileHandle&) = delete;
  FileHandle& operator=(const FileHandle&) = delete;
  ~FileHandle() {
    if (Valid()) CloseHandle(handle_);
  }
  HANDLE Get() const { return handle_; }
  bool Valid() const { return handle_ != INVALID_HANDLE_VALUE; }
  void Reset(HANDLE handle) {
    if (Valid()) CloseHandle(handle_);
    handle_ = handle;
  }
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
HANDLE OpenForAttributes(const std::wstring& path) {
  return CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES,
                     FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                     FILE_FLAG_BACKUP_SEMANTICS, nullptr);
}

// Opens an existing file to read, others reading meanwhile but not writing, and takes its
// size. A folder does not open (no FILE_FLAG_BACKUP_SEMANTICS); a device name such as NUL
// or COM1, or a pipe, opens but is refused.
bool OpenToRead(const std::string& path, FileHandle& file, std::uint64_t& size,
                std::string& error) {
  std::wstring wide;
  if (!WidePath(path, wide)) return Fail(error);
  file.Reset(CreateFileW(wide.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                         FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
  if (!file.Valid()) return Fail(error);
  if (GetFileType(file.Get()) != FILE_TYPE_DISK) {
    SetLastError(ERROR_BAD_FILE_TYPE);
    return Fail(error);
  }
  LARGE_INTEGER length;
  if (!GetFileSizeEx(file.Get(), &length)) return Fail(error);
  size = static_cast<std::uint64_t>(length.QuadPart);
  return true;
}

DWORD AttributesOf(const std::string& path) {
  std::wstring wide;
  return WidePath(path, wide) ? GetFileAttributesW(wide.c_str()) : INVALID_FILE_ATTRIBUTES;
}

OVERLAPPED At(std::uint64_t offset) {
  OVERLAPPED position{};
  position.Offset = static_cast<DWORD>(offset);
  position.OffsetHigh = static_cast<DWORD>(offset >> 32);
  return position;
}

bool WriteAllAt(HANDLE file, std::uint64_t offset, const std::uint8_t* data, std::size_t size) {
  while (size > 0) {
    const DWORD chunk = static_cast<DWORD>(std::min(size, kLargestTransfer));
    OVERLAPPED position = At(offset);
    DWORD written = 0;
    if (!WriteFile(file, data, chunk, &written, &position) || written == 0) return false;
    data += written;
    offset += written;
    size -= written;
  }
  return true;
}

// Reads exactly size bytes at offset; ERROR_HANDLE_EOF when the file holds fewer.
bool ReadAllAt(HANDLE file, std::uint64_t offset, std::uint8_t* out, std::size_t size) {
  while (size > 0) {
    const DWORD chunk = static_cast<DWORD>(std::min(size, kLargestTransfer));
    OVERLAPPED position = At(offset);
    DWORD got = 0;
    if (!ReadFile(file, out, chunk, &got, &position)) return false;
    if (got == 0) {
      SetLastError(ERROR_HANDLE_EOF);
      return false;
    }
    out += got;
    offset += got;
    size -= got;
  }
  return true;
}

bool Has(DWORD attributes, DWORD wanted) {
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & wanted) != 0;
}

// The attributes to create a file with over one that has existing: a hidden or system
// file stays so.
DWORD AttributesToReplace(DWORD existing) {
  if (existing == INVALID_FILE_ATTRIBUTES) return FILE_ATTRIBUTE_NORMAL;
  const DWORD kept = existing & (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM);
  return kept != 0 ? kept : FILE_ATTRIBUTE_NORMAL;
}

// True when the folder of a path refused a new file for a reason that writing an existing
// file in place does not meet.
bool FolderRefusedNewFile(DWORD error) {
  return error == ERROR_ACCESS_DENIED || error == ERROR_FILENAME_EXCED_RANGE;
}

// The name of the new file made beside path: it starts with a dot, so that a scan of the
// folder passes over it should it ever be left behind. A long file name is left out.
std::string NameBeside(const std::string& path, unsigned attempt) {
  constexpr std::size_t kLongestNameKept = 200;
  const std::size_t folderLength = FolderPartLength(path);
  const std::size_t nameLength = path.size() - folderLength;
  std::string name = path.substr(0, folderLength) + ".";
  if (nameLength <= kLongestNameKept) name += path.substr(folderLength);
  name += ".tmp" + std::to_string(GetCurrentProcessId());
  if (attempt > 0) name += "-" + std::to_string(attempt);
  return name;
}

// Creates a new file beside path, never over anything that is there (a link included).
// Sets name to its wide path; on failure the last error says why.
bool CreateFileBeside(const std::string& path, DWORD attributes, FileHandle& file,
                      std::wstring& name) {
  constexpr unsigned kAttempts = 1000;
  for (unsigned attempt = 0; attempt < kAttempts; ++attempt) {
    if (!ToWide(NameBeside(path, attempt), name)) return false;
    name = LongForm(name);
    file.Reset(CreateFileW(name.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                           attributes | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (file.Valid()) return true;
    const DWORD error = GetLastError();
    if (error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS) return false;
  }
  return false;
}

// Opens an existing regular file to write it in place: never a link (the handle is of the
// reparse point itself, and refused), a device, or a file of more than one name (a hard
// link would carry the bytes elsewhere). Never creates or truncates anything.
bool OpenInPlace(const std::wstring& path, FileHandle& file) {
  file.Reset(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                         FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  if (!file.Valid()) return false;
  BY_HANDLE_FILE_INFORMATION information;
  if (GetFileType(file.Get()) != FILE_TYPE_DISK ||
      !GetFileInformationByHandle(file.Get(), &information)) {
    SetLastError(ERROR_BAD_FILE_TYPE);
    return false;
  }
  if ((information.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 ||
      information.nNumberOfLinks != 1) {
    SetLastError(ERROR_CANT_ACCESS_FILE);
    return false;
  }
  return true;
}

// Cuts file to size bytes.
bool SetLength(HANDLE file, std::uint64_t size) {
  LARGE_INTEGER length;
  length.QuadPart = static_cast<LONGLONG>(size);
  return SetFilePointerEx(file, length, nullptr, FILE_BEGIN) && SetEndOfFile(file);
}

// Makes sure the file has the room for size bytes before it is written in place, so that
// a disk too full to hold them fails the write before the first old byte is overwritten.
// Best effort: where the file system cannot reserve room, the write goes ahead. The room
// asked for is never below the file's length, which would cut it.
bool ReserveRoom(HANDLE file, std::uint64_t size) {
  LARGE_INTEGER length;
  if (!GetFileSizeEx(file, &length)) return false;
  FILE_ALLOCATION_INFO allocation;
  allocation.AllocationSize.QuadPart =
      std::max(static_cast<LONGLONG>(size), static_cast<LONGLONG>(length.QuadPart));
  if (SetFileInformationByHandle(file, FileAllocationInfo, &allocation, sizeof allocation)) {
    return true;
  }
  const DWORD why = GetLastError();
  return why != ERROR_DISK_FULL && why != ERROR_HANDLE_DISK_FULL;
}

// An unnamed file in the system's temporary folder, gone once closed.
HANDLE CreateAnonymousFile() {
  wchar_t folder[MAX_PATH + 1];
  const DWORD length = GetTempPathW(MAX_PATH + 1, folder);
  if (length == 0 || length > MAX_PATH) return INVALID_HANDLE_VALUE;
  for (unsigned attempt = 0; attempt < 1000; ++attempt) {
    const std::wstring name = std::wstring(folder, length) + L".pbo-" +
                              std::to_wstring(GetCurrentProcessId()) + L"-" +
                              std::to_wstring(attempt) + L".tmp";
    const HANDLE file =
        CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                    FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    if (file != INVALID_HANDLE_VALUE) return file;
    const DWORD error = GetLastError();
    if (error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS) break;
  }
  return INVALID_HANDLE_VALUE;
}

// Copies the whole of source into target from its start and cuts target to that length:
// room reserved first, then written over the old bytes before the length changes.
bool CopyInto(HANDLE source, HANDLE target) {
  LARGE_INTEGER size;
  if (!GetFileSizeEx(source, &size) ||
      !ReserveRoom(target, static_cast<std::uint64_t>(size.QuadPart))) {
    return false;
  }
  std::vector<std::uint8_t> buffer(std::size_t{1} << 20);
  std::uint64_t offset = 0;
  for (;;) {
    OVERLAPPED position = At(offset);
    DWORD got = 0;
    if (!ReadFile(source, buffer.data(), static_cast<DWORD>(buffer.size()), &got, &position)) {
      if (GetLastError() == ERROR_HANDLE_EOF) break;
      return false;
    }
    if (got == 0) break;
    if (!WriteAllAt(target, offset, buffer.data(), got)) return false;
    offset += got;
  }
  return SetLength(target, offset);
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

std::vector<std::string> Arguments(int argc, wchar_t** argv) {
  // The C runtime has already split the command line; an empty pair of quotes arrives as
  // an empty argument and does not count. An argument the code page cannot hold keeps a
  // "?" for each such character, and so names no path.
  std::vector<std::string> arguments;
  for (int i = 1; i < argc; ++i) {
    std::string argument;
    FromWide(argv[i], std::wcslen(argv[i]), argument);
    if (!argument.empty()) arguments.push_back(std::move(argument));
  }
  return arguments;
}

std::uint64_t FileSizeHint(const std::string& path) {
  std::wstring wide;
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!WidePath(path, wide) || !GetFileAttributesExW(wide.c_str(), GetFileExInfoStandard, &data)) {
    return 0;
  }
  return std::uint64_t{data.nFileSizeHigh} << 32 | data.nFileSizeLow;
}

PathKind KindOf(const std::string& path) {
  const DWORD attributes = AttributesOf(path);
  if (attributes == INVALID_FILE_ATTRIBUTES) return PathKind::Missing;
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) return PathKind::Folder;
  return PathKind::File;
}

bool IsLink(const std::string& path) {
  return Has(AttributesOf(path), FILE_ATTRIBUTE_REPARSE_POINT);
}

struct InputFile::State {
  FileHandle file;
  std::uint64_t size = 0;
};

InputFile::InputFile() = default;
InputFile::~InputFile() = default;
InputFile::InputFile(InputFile&& other) noexcept = default;
InputFile& InputFile::operator=(InputFile&& other) noexcept = default;

bool InputFile::Open(const std::string& path, std::string& error) {
  state_.reset();
  auto state = std::make_unique<State>();
  if (!OpenToRead(path, state->file, state->size, error)) return false;
  state_ = std::move(state);
  return true;
}

std::uint64_t InputFile::Size() const { return state_ ? state_->size : 0; }

bool InputFile::ReadAt(std::uint64_t offset, std::uint8_t* out, std::size_t size,
                       std::string& error) const {
  if (!state_) {
    SetLastError(ERROR_INVALID_HANDLE);
    return Fail(error);
  }
  return ReadAllAt(state_->file.Get(), offset, out, size) || Fail(error);
}

struct ReplacementFile::State {
  ~State() {
    // Closed before it is removed: an open file cannot be removed.
    if (content.Valid()) content.Close();
    if (!temporary.empty()) DeleteFileW(temporary.c_str());
  }
  std::wstring path;
  std::wstring temporary;  // the new file beside path; empty when path is written in place
  FileHandle content;
};

ReplacementFile::ReplacementFile() = default;
ReplacementFile::~ReplacementFile() = default;
ReplacementFile::ReplacementFile(ReplacementFile&& other) noexcept = default;
ReplacementFile& ReplacementFile::operator=(ReplacementFile&& other) noexcept = default;

bool ReplacementFile::Create(const std::string& path, std::string& error) {
  state_.reset();
  auto state = std::make_unique<State>();
  if (!WidePath(path, state->path)) return Fail(error);
  const DWORD existing = GetFileAttributesW(state->path.c_str());
  // A read-only file stays as it is, as it would if it were overwritten in place (Windows
  // refuses to replace it anyway, but Wine run as root would not).
  if (Has(existing, FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_DIRECTORY)) {
    SetLastError(ERROR_ACCESS_DENIED);
    return Fail(error);
  }
  std::wstring temporary;
  if (!CreateFileBeside(path, AttributesToReplace(existing), state->content, temporary)) {
    const DWORD why = GetLastError();
    if (existing == INVALID_FILE_ATTRIBUTES || Has(existing, FILE_ATTRIBUTE_REPARSE_POINT) ||
        !FolderRefusedNewFile(why)) {
      SetLastError(why);
      return Fail(error);
    }
    state->content.Reset(CreateAnonymousFile());
    if (!state->content.Valid()) return Fail(error);
  } else {
    state->temporary = std::move(temporary);
  }
  state_ = std::move(state);
  return true;
}

bool ReplacementFile::WriteAt(std::uint64_t offset, const std::uint8_t* data, std::size_t size,
                              std::string& error) {
  if (!state_) {
    SetLastError(ERROR_INVALID_HANDLE);
    return Fail(error);
  }
  return WriteAllAt(state_->content.Get(), offset, data, size) || Fail(error);
}

bool ReplacementFile::Truncate(std::uint64_t size, std::string& error) {
  if (!state_) {
    SetLastError(ERROR_INVALID_HANDLE);
    return Fail(error);
  }
  LARGE_INTEGER end;
  end.QuadPart = static_cast<LONGLONG>(size);
  return (SetFilePointerEx(state_->content.Get(), end, nullptr, FILE_BEGIN) &&
          SetEndOfFile(state_->content.Get())) ||
         Fail(error);
}

bool ReplacementFile::Commit(std::string& error) {
  if (!state_) {
    SetLastError(ERROR_INVALID_HANDLE);
    return Fail(error);
  }
  // Whatever happens, the new content is closed and removed (or committed) on return.
  const std::unique_ptr<State> state = std::move(state_);
  if (state->temporary.empty()) {
    FileHandle target;
    const bool done = OpenInPlace(state->path, target) &&
                      CopyInto(state->content.Get(), target.Get()) && target.Close();
    return done || Fail(error);
  }
  if (!state->content.Close() || !MoveFileExW(state->temporary.c_str(), state->path.c_str(),
                                              MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    return Fail(error);
  }
  state->temporary.clear();
  return true;
}

namespace {

// Writes data to the open file and closes it, then moves it from written to target (unless
// they are one): the move replaces whatever the name is, a link the attributes did not
// show included, and never writes through it. On failure removes written.
bool FinishWholeFile(FileHandle& file, const std::wstring& written, const std::wstring& target,
                     const std::uint8_t* data, std::size_t size, std::string& error) {
  if (WriteAllAt(file.Get(), 0, data, size) && file.Close() &&
      (written == target ||
       MoveFileExW(written.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING))) {
    return true;
  }
  const DWORD why = GetLastError();
  if (file.Valid()) file.Close();  // an open file cannot be removed
  DeleteFileW(written.c_str());
  SetLastError(why);
  return Fail(error);
}

}  // namespace

bool WriteWholeFile(const std::string& path, const std::uint8_t* data, std::size_t size,
                    std::string& error) {
  std::wstring target;
  if (!WidePath(path, target)) return Fail(error);
  // A name that holds nothing gets its file made right there, never over anything (not
  // over a link either), and removed again if the write fails.
  FileHandle file(CreateFileW(target.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                              FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  if (file.Valid()) return FinishWholeFile(file, target, target, data, size, error);
  const DWORD why = GetLastError();
  if (why != ERROR_FILE_EXISTS && why != ERROR_ALREADY_EXISTS) return Fail(error);
  // Something is there. Only a regular file is replaced: not a link or junction (whose
  // target could lie anywhere), not a folder. A read-only one stays as it is.
  const DWORD existing = GetFileAttributesW(target.c_str());
  if (Has(existing,
          FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_READONLY)) {
    SetLastError(Has(existing, FILE_ATTRIBUTE_REPARSE_POINT) ? ERROR_CANT_ACCESS_FILE
                                                             : ERROR_ACCESS_DENIED);
    return Fail(error);
  }
  // The old file stays whole until the new one is: the new one is made beside it and moved
  // over it once complete.
  std::wstring temporary;
  if (CreateFileBeside(path, AttributesToReplace(existing), file, temporary)) {
    return FinishWholeFile(file, temporary, target, data, size, error);
  }
  if (existing == INVALID_FILE_ATTRIBUTES || !FolderRefusedNewFile(GetLastError())) {
    return Fail(error);
  }
  // Where the folder takes no new file, the existing one is written in place.
  return (OpenInPlace(target, file) && ReserveRoom(file.Get(), size) &&
          WriteAllAt(file.Get(), 0, data, size) && SetLength(file.Get(), size) && file.Close()) ||
         Fail(error);
}

bool CreateFolder(const std::string& path) {
  // A folder stops 12 characters short of the limit, room for the 8.3 name of a file.
  std::wstring wide;
  return WidePath(path, wide, MAX_PATH - 12) && CreateDirectoryW(wide.c_str(), nullptr) != 0;
}

Listing ListFolder(const std::string& folder, std::vector<FolderItem>& items, std::string& error) {
  std::string pattern = folder;
  if (!pattern.empty() && !EndsFolderPart(pattern.back())) pattern += '\\';
  pattern += '*';
  std::wstring widePattern;
  if (!WidePath(pattern, widePattern)) {
    Fail(error);
    return Listing::NotStarted;
  }
  WIN32_FIND_DATAW found;
  const HANDLE listing = FindFirstFileW(widePattern.c_str(), &found);
  if (listing == INVALID_HANDLE_VALUE) {
    // The root of an empty drive has not even "." and "..": nothing found, but listed.
    if (GetLastError() == ERROR_FILE_NOT_FOUND) return Listing::Complete;
    Fail(error);
    return Listing::NotStarted;
  }
  do {
    FolderItem item;
    // The long name, never the 8.3 alias.
    const bool exact = FromWide(found.cFileName, std::wcslen(found.cFileName), item.Name);
    if (item.Name == "." || item.Name == "..") continue;
    const bool isFolder = (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    // A name that did not convert is listed as a file, so that it fails when it is opened
    // rather than its folder passing for an empty one.
    item.Kind = isFolder && exact ? PathKind::Folder : PathKind::File;
    items.push_back(std::move(item));
  } while (FindNextFileW(listing, &found));
  const DWORD why = GetLastError();
  FindClose(listing);
  if (why == ERROR_NO_MORE_FILES) return Listing::Complete;
  error = ErrorText(why);
  return Listing::Broken;
}

std::string FolderIdentity(const std::string& folder) {
  std::wstring wide;
  if (!WidePath(folder, wide)) return std::string();
  FileHandle handle(OpenForAttributes(wide));
  BY_HANDLE_FILE_INFORMATION information;
  if (!handle.Valid() || !GetFileInformationByHandle(handle.Get(), &information)) {
    return std::string();
  }
  return std::to_string(information.dwVolumeSerialNumber) + ":" +
         std::to_string(information.nFileIndexHigh) + ":" +
         std::to_string(information.nFileIndexLow);
}

std::string AbsolutePath(const std::string& path) {
  std::wstring wide;
  if (!ToWide(path, wide)) return path;
  std::wstring buffer(MAX_PATH, L'\0');
  for (;;) {
    const DWORD length =
        GetFullPathNameW(wide.c_str(), static_cast<DWORD>(buffer.size()), buffer.data(), nullptr);
    if (length == 0) return path;
    if (length < buffer.size()) {
      std::string absolute;
      FromWide(buffer.data(), length, absolute);
      return absolute;
    }
    buffer.resize(length);  // the length needed, terminator included
  }
}

// A console, not merely a character device: NUL is one too, and _isatty takes it for a
// terminal.
bool StandardErrorIsTerminal() {
  DWORD mode = 0;
  return GetConsoleMode(GetStdHandle(STD_ERROR_HANDLE), &mode) != 0;
}

}  // namespace pbo::platform
