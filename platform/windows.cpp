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
#include <atomic>
#include <cstring>
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

// ---- Stops -------------------------------------------------------------------------------
// Ctrl-C, Ctrl-Break and the closing of the console end a run cleanly. The system calls
// the handler on a thread of its own; it waits for the steps that must not be cut (giving a
// file its name, overwriting an old file in place) to end, removes the temporary files in
// flight, and ends the process with the code Ctrl-C gives.

// The holds in force (low 16 bits), and whether a stop is ending the process (top bit).
std::atomic<std::uint32_t> stops{0};
constexpr std::uint32_t kHoldMask = 0xFFFF;
constexpr std::uint32_t kEnding = std::uint32_t{1} << 31;

// The names of the temporary files in flight. A slot's name is written, and the slot taken
// or given back, only while stops are held, which the handler waits for.
constexpr std::size_t kTemporarySlots = 32;
constexpr std::size_t kLongestTemporaryName = 1024;  // a long form of a path near 260
struct TemporarySlot {
  std::atomic<bool> taken{false};
  wchar_t name[kLongestTemporaryName];
};
TemporarySlot temporaries[kTemporarySlots];

BOOL WINAPI OnConsoleStop(DWORD event) {
  if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT && event != CTRL_CLOSE_EVENT) {
    return FALSE;
  }
  std::uint32_t state = stops.load();
  for (;;) {
    if ((state & kEnding) != 0) Sleep(INFINITE);  // another stop is ending the process
    if ((state & kHoldMask) == 0) {
      if (stops.compare_exchange_weak(state, kEnding)) break;
    } else {
      Sleep(1);
      state = stops.load();
    }
  }
  // The files are open with FILE_SHARE_DELETE: each goes once the process has closed it.
  for (TemporarySlot& slot : temporaries) {
    if (slot.taken.load()) DeleteFileW(slot.name);
  }
  ExitProcess(STATUS_CONTROL_C_EXIT);
}

// Holds stops for its lifetime (holds may overlap, on one thread or several).
class StopHold {
 public:
  StopHold() {
    std::uint32_t state = stops.load();
    do {
      if ((state & kEnding) != 0) Sleep(INFINITE);  // a stop is ending the process
    } while (!stops.compare_exchange_weak(state, state + 1));
  }
  ~StopHold() { stops.fetch_sub(1); }
  StopHold(const StopHold&) = delete;
  StopHold& operator=(const StopHold&) = delete;
};

// Enters name among the files a stop removes and returns its slot; -1 when no slot is free
// or the name does not fit. Stops must be held.
int EnterTemporary(const std::wstring& name) {
  if (name.size() >= kLongestTemporaryName) {
    SetLastError(ERROR_FILENAME_EXCED_RANGE);
    return -1;
  }
  for (std::size_t i = 0; i < kTemporarySlots; ++i) {
    if (!temporaries[i].taken.exchange(true)) {
      std::wmemcpy(temporaries[i].name, name.c_str(), name.size() + 1);
      return static_cast<int>(i);
    }
  }
  SetLastError(ERROR_TOO_MANY_OPEN_FILES);
  return -1;
}

// Gives a slot back once its file is gone or named. Stops must be held.
void LeaveTemporary(int slot) {
  if (slot >= 0) temporaries[slot].taken.store(false);
}

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

// Creates a new file beside path, never over anything that is there (a link included),
// entered among the files a stop removes (and so shared for deletion). Sets name to its
// wide path and slot to its entry; on failure the last error says why.
bool CreateFileBeside(const std::string& path, DWORD attributes, FileHandle& file,
                      std::wstring& name, int& slot) {
  constexpr unsigned kAttempts = 1000;
  const StopHold hold;
  for (unsigned attempt = 0; attempt < kAttempts; ++attempt) {
    if (!ToWide(NameBeside(path, attempt), name)) return false;
    name = LongForm(name);
    slot = EnterTemporary(name);
    if (slot < 0) return false;
    file.Reset(CreateFileW(name.c_str(), GENERIC_WRITE | DELETE, FILE_SHARE_DELETE, nullptr,
                           CREATE_NEW, attributes | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (file.Valid()) return true;
    const DWORD error = GetLastError();
    LeaveTemporary(slot);
    slot = -1;
    SetLastError(error);
    if (error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS) return false;
  }
  return false;
}

// Gives the file open as file (with DELETE access) the name path, replacing what is there
// only when asked: by its handle, which saves the open and close that MoveFileEx makes of
// the name it moves.
bool RenameOpenFile(HANDLE file, const std::wstring& path, bool replace) {
  const std::size_t nameBytes = path.size() * sizeof(wchar_t);
  std::vector<std::uint8_t> buffer(sizeof(FILE_RENAME_INFO) + nameBytes);
  auto* rename = reinterpret_cast<FILE_RENAME_INFO*>(buffer.data());
  rename->ReplaceIfExists = replace ? TRUE : FALSE;
  rename->RootDirectory = nullptr;
  rename->FileNameLength = static_cast<DWORD>(nameBytes);
  std::memcpy(rename->FileName, path.c_str(), nameBytes + sizeof(wchar_t));
  return SetFileInformationByHandle(file, FileRenameInfo, rename,
                                    static_cast<DWORD>(buffer.size())) != 0;
}

// Sets the attributes of the open file.
bool SetAttributes(HANDLE file, DWORD attributes) {
  FILE_BASIC_INFO basic{};  // times of 0 stay as they are
  basic.FileAttributes = attributes;
  return SetFileInformationByHandle(file, FileBasicInfo, &basic, sizeof basic) != 0;
}

// True when the file at path, with the given attributes, may be replaced by extraction:
// not a link or junction (whose target could lie anywhere), not a folder, not read-only.
// Sets the last error when not.
bool MayReplace(DWORD existing) {
  if (!Has(existing,
           FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_READONLY)) {
    return true;
  }
  SetLastError(Has(existing, FILE_ATTRIBUTE_REPARSE_POINT) ? ERROR_CANT_ACCESS_FILE
                                                           : ERROR_ACCESS_DENIED);
  return false;
}

// Opens an existing regular file to write it in place: never a link (the handle is of the
// reparse point itself, and refused), a device, or a file of more than one name (a hard
// link would carry the bytes elsewhere). Never creates or truncates anything. Read too:
// its old content is saved before it is overwritten.
bool OpenInPlace(const std::wstring& path, FileHandle& file) {
  file.Reset(CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
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

// Copies the whole of source over target from its start and cuts target to that length.
bool CopyOver(HANDLE source, HANDLE target, std::vector<std::uint8_t>& buffer) {
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

// Overwrites the file target with the whole of source, in place. Nothing is overwritten
// before the room for the new content is reserved and the old content saved; then, with
// stops held, the new content is written and, should that fail part way, the old content
// put back. Only a process killed outright during the copy, or an old content that cannot
// be put back, leaves target cut.
bool CopyInPlace(HANDLE source, HANDLE target) {
  LARGE_INTEGER size;
  if (!GetFileSizeEx(source, &size) ||
      !ReserveRoom(target, static_cast<std::uint64_t>(size.QuadPart))) {
    return false;
  }
  std::vector<std::uint8_t> buffer(std::size_t{1} << 20);
  FileHandle saved(CreateAnonymousFile());
  if (!saved.Valid() || !CopyOver(target, saved.Get(), buffer)) return false;
  const StopHold hold;
  if (CopyOver(source, target, buffer)) return true;
  const DWORD why = GetLastError();
  CopyOver(saved.Get(), target, buffer);
  SetLastError(why);
  return false;
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

namespace {

// The new content of the file at a path, until it takes that file's place: a new file
// beside the path under a temporary name, which a stop removes, moved over the path at
// Commit; or, where the folder takes no new file, an anonymous file to be copied in place.
class NewContent {
 public:
  NewContent() = default;
  ~NewContent() { Discard(); }
  NewContent(const NewContent&) = delete;
  NewContent& operator=(const NewContent&) = delete;

  // Sets the path the content is for. False (last error set) when it has no exact wide form.
  bool SetPath(const std::string& path) { return WidePath(path, path_); }
  const std::wstring& Path() const { return path_; }

  // Makes the new file beside path with the given attributes. False with the last error
  // set when none can be made.
  bool CreateBeside(const std::string& path, DWORD attributes) {
    if (CreateFileBeside(path, attributes, file_, temporary_, slot_)) return true;
    temporary_.clear();
    return false;
  }

  // Gathers the content in an anonymous file, to be copied into path in place.
  bool CreateForInPlace() {
    inPlace_ = true;
    file_.Reset(CreateAnonymousFile());
    return file_.Valid();
  }

  HANDLE Handle() const { return file_.Get(); }

  // Moves the new content over path (the name itself: never what a link there points
  // to), or copies it into path in place; with MOVEFILE_WRITE_THROUGH, for the archive.
  // False with the last error set when it cannot; path then holds what it held.
  bool Commit() {
    if (inPlace_) return CommitInPlace();
    const StopHold hold;
    return MoveOver(MOVEFILE_WRITE_THROUGH);
  }

  // Names the new file of extraction where nothing is, by its handle. Where something is,
  // first looks what it is (no sooner: under Wine the look at a name that holds nothing
  // walks the whole folder), and replaces only a file that MayReplace, a hidden or system
  // file staying so.
  bool CommitWhole() {
    if (inPlace_) return CommitInPlace();
    const StopHold hold;
    if (RenameOpenFile(file_.Get(), path_, false)) return Named();
    const DWORD existing = GetFileAttributesW(path_.c_str());
    if (!MayReplace(existing)) return false;
    const DWORD kept = AttributesToReplace(existing);
    if (kept != FILE_ATTRIBUTE_NORMAL && !SetAttributes(file_.Get(), kept)) return false;
    if (RenameOpenFile(file_.Get(), path_, true)) return Named();
    return MoveOver(0);  // where the system renames no file by its handle
  }

 private:
  bool CommitInPlace() {
    FileHandle target;
    return OpenInPlace(path_, target) && CopyInPlace(file_.Get(), target.Get()) && target.Close();
  }

  // Closes the new file and moves it over path by name. Stops must be held.
  bool MoveOver(DWORD flags) {
    if (!file_.Close() ||
        !MoveFileExW(temporary_.c_str(), path_.c_str(), MOVEFILE_REPLACE_EXISTING | flags)) {
      return false;
    }
    Forget();
    return true;
  }

  // The new file has its name. Stops must be held.
  bool Named() {
    Forget();
    return file_.Close();
  }

  // Removes the new content unless it has been committed.
  void Discard() {
    const DWORD why = GetLastError();  // kept for the caller's report
    if (file_.Valid()) file_.Close();  // an open file cannot be removed
    if (!temporary_.empty()) {
      const StopHold hold;
      DeleteFileW(temporary_.c_str());
      Forget();
    }
    SetLastError(why);
  }

  void Forget() {
    LeaveTemporary(slot_);
    slot_ = -1;
    temporary_.clear();
  }

  std::wstring path_;
  FileHandle file_;
  std::wstring temporary_;  // the new file beside path; empty when path is written in place
  int slot_ = -1;           // where the stop handler finds that name
  bool inPlace_ = false;
};

}  // namespace

void InstallStopHandlers() { SetConsoleCtrlHandler(OnConsoleStop, TRUE); }

struct WholeFile::State : NewContent {
  std::uint64_t size = 0;  // written so far
};

WholeFile::WholeFile() = default;
WholeFile::~WholeFile() = default;
WholeFile::WholeFile(WholeFile&& other) noexcept = default;
WholeFile& WholeFile::operator=(WholeFile&& other) noexcept = default;

bool WholeFile::Create(const std::string& path, std::string& error, bool) {
  state_.reset();
  auto state = std::make_unique<State>();
  if (!state->SetPath(path)) return Fail(error);
  // What is at path is looked at only when it matters: at Commit, or here when the folder
  // takes no new file, where only an existing regular file is written, in place.
  if (!state->CreateBeside(path, FILE_ATTRIBUTE_NORMAL)) {
    const DWORD why = GetLastError();
    const DWORD existing = GetFileAttributesW(state->Path().c_str());
    if (existing == INVALID_FILE_ATTRIBUTES || !FolderRefusedNewFile(why)) {
      SetLastError(why);
      return Fail(error);
    }
    if (!MayReplace(existing) || !state->CreateForInPlace()) return Fail(error);
  }
  state_ = std::move(state);
  return true;
}

bool WholeFile::Append(const std::uint8_t* data, std::size_t size, std::string& error) {
  if (!state_) {
    SetLastError(ERROR_INVALID_HANDLE);
    return Fail(error);
  }
  if (!WriteAllAt(state_->Handle(), state_->size, data, size)) return Fail(error);
  state_->size += size;
  return true;
}

bool WholeFile::Commit(std::string& error) {
  if (!state_) {
    SetLastError(ERROR_INVALID_HANDLE);
    return Fail(error);
  }
  // Whatever happens, the new content is committed or removed on return.
  const std::unique_ptr<State> state = std::move(state_);
  return state->CommitWhole() || Fail(error);
}

struct ReplacementFile::State : NewContent {};

ReplacementFile::ReplacementFile() = default;
ReplacementFile::~ReplacementFile() = default;
ReplacementFile::ReplacementFile(ReplacementFile&& other) noexcept = default;
ReplacementFile& ReplacementFile::operator=(ReplacementFile&& other) noexcept = default;

bool ReplacementFile::Create(const std::string& path, std::string& error) {
  state_.reset();
  auto state = std::make_unique<State>();
  if (!state->SetPath(path)) return Fail(error);
  const DWORD existing = GetFileAttributesW(state->Path().c_str());
  // A read-only file stays as it is, as it would if it were overwritten in place (Windows
  // refuses to replace it anyway, but Wine run as root would not).
  if (Has(existing, FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_DIRECTORY)) {
    SetLastError(ERROR_ACCESS_DENIED);
    return Fail(error);
  }
  if (!state->CreateBeside(path, AttributesToReplace(existing))) {
    if (existing == INVALID_FILE_ATTRIBUTES || Has(existing, FILE_ATTRIBUTE_REPARSE_POINT) ||
        !FolderRefusedNewFile(GetLastError()) || !state->CreateForInPlace()) {
      return Fail(error);
    }
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
  return WriteAllAt(state_->Handle(), offset, data, size) || Fail(error);
}

bool ReplacementFile::Truncate(std::uint64_t size, std::string& error) {
  if (!state_) {
    SetLastError(ERROR_INVALID_HANDLE);
    return Fail(error);
  }
  LARGE_INTEGER end;
  end.QuadPart = static_cast<LONGLONG>(size);
  return (SetFilePointerEx(state_->Handle(), end, nullptr, FILE_BEGIN) &&
          SetEndOfFile(state_->Handle())) ||
         Fail(error);
}

bool ReplacementFile::Commit(std::string& error) {
  if (!state_) {
    SetLastError(ERROR_INVALID_HANDLE);
    return Fail(error);
  }
  // Whatever happens, the new content is committed or removed on return.
  const std::unique_ptr<State> state = std::move(state_);
  return state->Commit() || Fail(error);
}

bool WriteWholeFile(const std::string& path, const std::uint8_t* data, std::size_t size,
                    std::string& error) {
  WholeFile file;
  return file.Create(path, error) && file.Append(data, size, error) && file.Commit(error);
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
    const DWORD why = GetLastError();
    // The root of an empty drive has not even "." and "..": nothing found, but listed.
    if (why == ERROR_FILE_NOT_FOUND) return Listing::Complete;
    Fail(error);
    // Gone (or turned into a file meanwhile), too long a path, or a link that leads round
    // in a circle: nothing to list. Anything else (access refused, a device error) hides
    // what the folder holds.
    const bool nothing = why == ERROR_PATH_NOT_FOUND || why == ERROR_DIRECTORY ||
                         why == ERROR_INVALID_NAME || why == ERROR_FILENAME_EXCED_RANGE ||
                         why == ERROR_CANT_RESOLVE_FILENAME;
    return nothing ? Listing::NotStarted : Listing::Broken;
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
