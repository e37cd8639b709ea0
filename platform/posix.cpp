// POSIX implementation of the platform layer.
#include <dirent.h>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "platform/platform.h"

namespace pbo::platform {
namespace {

std::string ErrorText(int error) { return std::strerror(error); }

// ---- Stops -------------------------------------------------------------------------------
// SIGINT, SIGTERM and SIGHUP end a run cleanly: the handler removes the temporary files in
// flight and then ends the process as the signal would. Some steps must not be cut (giving
// a file its name, overwriting an old file in place): they hold stops, and a stop that
// arrives meanwhile ends the process when the last hold ends. A handler may only do what
// is safe in one, so the state is one lock-free word and the temporary names sit in fixed
// slots, both changed with atomic operations only.

constexpr int kStopSignals[] = {SIGINT, SIGTERM, SIGHUP};

// The holds in force (low 16 bits), the stop that waits for them to end (bits 16 to 23),
// and whether a stop is ending the process (top bit).
std::atomic<std::uint32_t> stops{0};
static_assert(std::atomic<std::uint32_t>::is_always_lock_free, "a handler must not lock");
constexpr std::uint32_t kHoldMask = 0xFFFF;
constexpr unsigned kWaitingShift = 16;
constexpr std::uint32_t kWaitingMask = std::uint32_t{0xFF} << kWaitingShift;
constexpr std::uint32_t kEnding = std::uint32_t{1} << 31;

// The names of the temporary files in flight. A slot's name is written, and the slot taken
// or given back, only while stops are held, so the handler, which runs only when no hold is
// in force, never sees half a name. 32 slots: only the thread that writes files has any in
// flight, one at a time, today.
constexpr std::size_t kTemporarySlots = 32;
constexpr std::size_t kLongestTemporaryName = 4096;  // the longest path Linux takes
struct TemporarySlot {
  std::atomic<bool> taken{false};
  char name[kLongestTemporaryName];
};
TemporarySlot temporaries[kTemporarySlots];

// Removes the temporary files in flight and ends the process by signal, as it would have
// ended had the signal found no handler.
[[noreturn]] void EndByStop(int signal) {
  for (TemporarySlot& slot : temporaries) {
    if (slot.taken.load()) ::unlink(slot.name);
  }
  struct sigaction fallback {};
  fallback.sa_handler = SIG_DFL;
  sigemptyset(&fallback.sa_mask);
  ::sigaction(signal, &fallback, nullptr);
  sigset_t only;
  sigemptyset(&only);
  sigaddset(&only, signal);
  ::pthread_sigmask(SIG_UNBLOCK, &only, nullptr);  // a handler runs with its signal blocked
  ::raise(signal);
  ::_exit(128 + signal);  // not reached: the default action ends the process
}

void OnStop(int signal) {
  const int saved = errno;
  std::uint32_t state = stops.load();
  for (;;) {
    if ((state & kEnding) != 0) break;  // another thread is ending the process
    if ((state & kHoldMask) == 0) {
      if (stops.compare_exchange_weak(state, kEnding)) EndByStop(signal);
    } else if ((state & kWaitingMask) != 0 ||
               stops.compare_exchange_weak(state, state | static_cast<std::uint32_t>(signal)
                                                              << kWaitingShift)) {
      break;  // the last hold to end ends the process
    }
  }
  errno = saved;
}

// Holds stops for its lifetime (holds may overlap, on one thread or several).
class StopHold {
 public:
  StopHold() {
    std::uint32_t state = stops.load();
    do {
      // A stop is ending the process: nothing more may start.
      while ((state & kEnding) != 0) ::pause();
    } while (!stops.compare_exchange_weak(state, state + 1));
  }
  ~StopHold() {
    std::uint32_t state = stops.load();
    for (;;) {
      const std::uint32_t left = state - 1;
      const int waiting =
          (left & kHoldMask) == 0 ? static_cast<int>((left & kWaitingMask) >> kWaitingShift) : 0;
      if (stops.compare_exchange_weak(state, waiting != 0 ? kEnding : left)) {
        if (waiting != 0) EndByStop(waiting);
        return;
      }
    }
  }
  StopHold(const StopHold&) = delete;
  StopHold& operator=(const StopHold&) = delete;
};

// Enters name among the files a stop removes and returns its slot; -1 with errno set when
// no slot is free or the name does not fit. Stops must be held.
int EnterTemporary(const std::string& name) {
  if (name.size() >= kLongestTemporaryName) {
    errno = ENAMETOOLONG;
    return -1;
  }
  for (std::size_t i = 0; i < kTemporarySlots; ++i) {
    if (!temporaries[i].taken.exchange(true)) {
      std::memcpy(temporaries[i].name, name.c_str(), name.size() + 1);
      return static_cast<int>(i);
    }
  }
  errno = EMFILE;
  return -1;
}

// Gives a slot back once its file is gone or named. Stops must be held.
void LeaveTemporary(int slot) {
  if (slot >= 0) temporaries[slot].taken.store(false);
}

// Owns one file descriptor for the length of a scope.
class FileDescriptor {
 public:
  explicit FileDescriptor(int fd) : fd_(fd) {}
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  ~FileDescriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  int Get() const { return fd_; }
  bool Valid() const { return fd_ >= 0; }
  // Closes now and reports whether the close (which may flush) succeeded.
  bool Close() {
    const int fd = fd_;
    fd_ = -1;
    return ::close(fd) == 0;
  }
  // Hands the descriptor over to the caller.
  int Release() {
    const int fd = fd_;
    fd_ = -1;
    return fd;
  }

 private:
  int fd_;
};

bool WriteAll(int fd, const std::uint8_t* data, std::size_t size) {
  while (size > 0) {
    const ssize_t written = ::write(fd, data, size);
    if (written < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data += written;
    size -= static_cast<std::size_t>(written);
  }
  return true;
}

bool WriteAllAt(int fd, std::uint64_t offset, const std::uint8_t* data, std::size_t size) {
  while (size > 0) {
    const ssize_t written = ::pwrite(fd, data, size, static_cast<off_t>(offset));
    if (written < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data += written;
    offset += static_cast<std::uint64_t>(written);
    size -= static_cast<std::size_t>(written);
  }
  return true;
}

// Reads exactly size bytes at offset; errno is 0 when the file simply holds fewer.
bool ReadAllAt(int fd, std::uint64_t offset, std::uint8_t* out, std::size_t size) {
  while (size > 0) {
    const ssize_t got = ::pread(fd, out, size, static_cast<off_t>(offset));
    if (got < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (got == 0) {
      errno = 0;
      return false;
    }
    out += got;
    offset += static_cast<std::uint64_t>(got);
    size -= static_cast<std::size_t>(got);
  }
  return true;
}

std::string ReadErrorText() { return errno == 0 ? "The file ends early" : ErrorText(errno); }

// Opens path to overwrite it in place, without following a link and without waiting (a
// FIFO left at the path would hold a blocking open until some reader came along); only a
// regular file is kept open, in blocking mode again. Read too: its old content is saved
// before it is overwritten.
int OpenRegularFileInPlace(const std::string& path) {
  FileDescriptor file(::open(path.c_str(), O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  if (!file.Valid()) return -1;
  struct stat info;
  if (::fstat(file.Get(), &info) != 0) return -1;
  if (!S_ISREG(info.st_mode)) {
    errno = S_ISDIR(info.st_mode) ? EISDIR : EINVAL;
    return -1;
  }
  const int mode = ::fcntl(file.Get(), F_GETFL);
  if (mode < 0 || ::fcntl(file.Get(), F_SETFL, mode & ~O_NONBLOCK) != 0) return -1;
  return file.Release();
}

// True when the folder of a path refused a new file for a reason that writing an existing
// file in place does not meet: no permission, or a name longer than the folder takes.
bool FolderRefusedNewFile(int error) {
  return error == EACCES || error == EPERM || error == ENAMETOOLONG;
}

// The name of a temporary file beside path: it starts with a dot, so that a scan of the
// folder passes over it should it ever be left behind. A long file name is left out, so
// that the new name still fits where the old one did.
std::string NameBeside(const std::string& path, unsigned attempt) {
  constexpr std::size_t kLongestNameKept = 200;
  const std::size_t folderLength = FolderPartLength(path);
  const std::size_t nameLength = path.size() - folderLength;
  std::string name = path.substr(0, folderLength) + ".";
  if (nameLength <= kLongestNameKept) name += path.substr(folderLength);
  name += ".tmp" + std::to_string(static_cast<long>(::getpid()));
  if (attempt > 0) name += "-" + std::to_string(attempt);
  return name;
}

constexpr unsigned kNameAttempts = 1000;

// True when this process may replace the existing file that info describes; sets errno
// when not. A file that grants no one the right to write it is read-only, for root too,
// who could write it anyway: a read-only file stays as it is whoever runs the tool, as
// root may run a file only when some execute bit is set. The owner's right is in the mode
// bits alone; only others cost a lookup.
bool MayWrite(const std::string& path, const struct stat& info) {
  const uid_t user = ::geteuid();
  if (user == 0) {
    if ((info.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) != 0) return true;
    errno = EACCES;
    return false;
  }
  if (user == info.st_uid && (info.st_mode & S_IWUSR) != 0) return true;
  return ::faccessat(AT_FDCWD, path.c_str(), W_OK, AT_EACCESS) == 0;
}

// An unnamed file can be given a name only through /proc/self/fd (linkat with an empty
// path asks for a capability that root in a container often lacks).
bool UnnamedFilesCanBeNamed() {
#ifdef O_TMPFILE
  static const bool can = ::access("/proc/self/fd", X_OK) == 0;
  return can;
#else
  return false;
#endif
}

// Gives the unnamed file open as fd the name path (where nothing is): by the descriptor
// itself where the process has the capability that takes, else through /proc/self/fd,
// whose walk costs more (on a RAM disk an unnamed file and its link cost 3 microseconds
// more than a file made under its name, 7 through /proc). The first refusal (ENOENT) tells
// which for the rest of the run.
bool LinkUnnamedFile(int fd, const std::string& path) {
#ifdef AT_EMPTY_PATH
  static std::atomic<bool> byDescriptor{true};
  if (byDescriptor.load(std::memory_order_relaxed)) {
    if (::linkat(fd, "", AT_FDCWD, path.c_str(), AT_EMPTY_PATH) == 0) return true;
    if (errno != ENOENT) return false;
    byDescriptor.store(false, std::memory_order_relaxed);
  }
#endif
  const std::string self = "/proc/self/fd/" + std::to_string(fd);
  return ::linkat(AT_FDCWD, self.c_str(), AT_FDCWD, path.c_str(), AT_SYMLINK_FOLLOW) == 0;
}

// True for the errors with which a file system, or an older kernel, refuses an unnamed file.
bool RefusesUnnamedFiles(int error) {
  return error == EOPNOTSUPP || error == EISDIR || error == EINVAL;
}

// An unnamed file in the system's temporary folder, gone once closed: where the new
// content of a file to be overwritten in place is gathered, and its old content saved.
int CreateAnonymousFile() {
  const char* folder = std::getenv("TMPDIR");
  std::string path = folder != nullptr && folder[0] != '\0' ? folder : "/tmp";
#ifdef O_TMPFILE
  const int fd = ::open(path.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
  if (fd >= 0 || !RefusesUnnamedFiles(errno)) return fd;
#endif
  path += "/.pbo-XXXXXX";
  const StopHold hold;  // the name is gone before a stop can end the process
  const int named = ::mkstemp(path.data());
  if (named >= 0) ::unlink(path.c_str());
  return named;
}

// Makes sure the file open as fd has the room for size bytes before it is written in place,
// so that a disk too full to hold them fails the write before the first old byte is
// overwritten. Best effort: where the system cannot reserve room, the write goes ahead.
bool ReserveRoom(int fd, std::uint64_t size) {
  rlimit limit;
  if (::getrlimit(RLIMIT_FSIZE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY &&
      size > limit.rlim_cur) {
    errno = EFBIG;
    return false;
  }
#ifdef __linux__
  if (size > 0 && ::fallocate(fd, FALLOC_FL_KEEP_SIZE, 0, static_cast<off_t>(size)) != 0) {
    return errno != ENOSPC && errno != EFBIG && errno != EDQUOT;
  }
#else
  (void)fd;
  (void)size;
#endif
  return true;
}

// Copies the whole of the file source over target from its start and cuts target to that
// length.
bool CopyOver(int source, int target, std::vector<std::uint8_t>& buffer) {
  std::uint64_t offset = 0;
  for (;;) {
    const ssize_t got = ::pread(source, buffer.data(), buffer.size(), static_cast<off_t>(offset));
    if (got < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (got == 0) break;
    if (!WriteAllAt(target, offset, buffer.data(), static_cast<std::size_t>(got))) return false;
    offset += static_cast<std::uint64_t>(got);
  }
  return ::ftruncate(target, static_cast<off_t>(offset)) == 0;
}

// Overwrites the file target with the whole of source, in place. Nothing is overwritten
// before the room for the new content is reserved and the old content saved; then, with
// stops held, the new content is written and, should that fail part way, the old content
// put back. Only a kill that no process can hold off (SIGKILL) during the copy, or an old
// content that cannot be put back, leaves target cut.
bool CopyInPlace(int source, int target) {
  struct stat info;
  if (::fstat(source, &info) != 0 ||
      !ReserveRoom(target, static_cast<std::uint64_t>(info.st_size))) {
    return false;
  }
  std::vector<std::uint8_t> buffer(std::size_t{1} << 20);
  FileDescriptor saved(CreateAnonymousFile());
  if (!saved.Valid() || !CopyOver(target, saved.Get(), buffer)) return false;
  const StopHold hold;
  if (CopyOver(source, target, buffer)) return true;
  const int why = errno;
  CopyOver(saved.Get(), target, buffer);
  errno = why;
  return false;
}

// The new content of the file at a path, until it takes that file's place: a new file in
// the path's folder, unnamed where the file system allows it (then even a kill leaves
// nothing behind), else under a temporary name beside the path, which a stop removes; or,
// where the folder takes no new file, an anonymous file to be copied in place.
class NewContent {
 public:
  explicit NewContent(std::string path) : path_(std::move(path)) {}
  ~NewContent() { Discard(); }
  NewContent(const NewContent&) = delete;
  NewContent& operator=(const NewContent&) = delete;

  // Makes the new file in path's folder with the permissions mode (less the umask),
  // unnamed when asked and the file system allows it. False with errno set when none can
  // be made.
  bool CreateBeside(mode_t mode, bool unnamed) {
#ifdef O_TMPFILE
    if (unnamed && CreateUnnamed(mode)) return true;
    if (unnamed && file_ < 0 && !RefusesUnnamedFiles(errno)) return false;
#endif
    const StopHold hold;
    for (unsigned attempt = 0; attempt < kNameAttempts; ++attempt) {
      temporary_ = NameBeside(path_, attempt);
      slot_ = EnterTemporary(temporary_);
      if (slot_ < 0) break;
      file_ =
          ::open(temporary_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
      if (file_ >= 0) return true;
      const int why = errno;
      LeaveTemporary(slot_);
      slot_ = -1;
      errno = why;
      if (why != EEXIST) break;
    }
    temporary_.clear();
    return false;
  }

#ifdef O_TMPFILE
  // Makes the new file unnamed in path's folder, where the file system allows it. False
  // with errno set when it does not.
  bool CreateUnnamed(mode_t mode) {
    if (!UnnamedFilesCanBeNamed()) {
      errno = EOPNOTSUPP;
      return false;
    }
    const std::size_t folderLength = FolderPartLength(path_);
    const std::string folder = folderLength == 0 ? "." : path_.substr(0, folderLength);
    file_ = ::open(folder.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, mode);
    return file_ >= 0;
  }

  // Makes the new file unnamed for a name taken to be free, without looking at it: should
  // it be taken at Commit, what is there is checked then as Create would have checked it.
  bool CreateUnnamedForFreeName() {
    (void)ProcessUmask();  // read now, not while the file is named with stops held
    checkAtCommit_ = CreateUnnamed(0666);
    return checkAtCommit_;
  }
#endif

  // Gathers the content in an anonymous file, to be copied into path in place.
  bool CreateForInPlace() {
    inPlace_ = true;
    file_ = CreateAnonymousFile();
    return file_ >= 0;
  }

  int Fd() const { return file_; }

  // Puts the new content under path's name, replacing whatever is there (the name itself:
  // never what a link there points to), or copies it into path in place. False with errno
  // set when it cannot; path then holds what it held before.
  bool Commit() {
    if (inPlace_) {
      FileDescriptor target(OpenRegularFileInPlace(path_));
      return target.Valid() && CopyInPlace(file_, target.Get());
    }
    if (temporary_.empty()) return LinkUnnamed();
    if (!CloseFile()) return false;
    const StopHold hold;
    if (::rename(temporary_.c_str(), path_.c_str()) != 0) return false;
    Forget();
    return true;
  }

 private:
  // The checks of WholeFile::Create, for a name found taken only at Commit: a regular
  // file that may be written, whose permissions the new one takes.
  bool MayReplaceTakenName() {
    struct stat info;
    if (::lstat(path_.c_str(), &info) != 0) return false;
    if (!S_ISREG(info.st_mode)) {
      errno = S_ISLNK(info.st_mode) ? ELOOP : S_ISDIR(info.st_mode) ? EISDIR : EINVAL;
      return false;
    }
    return MayWrite(path_, info) && ::fchmod(file_, info.st_mode & 0777 & ~ProcessUmask()) == 0;
  }

  // The process's umask, which a new file's permissions pass through. Read once, by setting
  // and restoring it, before this run names a file by this road (only the writing thread
  // makes files).
  static mode_t ProcessUmask() {
    static const mode_t umask = [] {
      const mode_t value = ::umask(0);
      ::umask(value);
      return value;
    }();
    return umask;
  }

  bool CloseFile() {
    const int fd = file_;
    file_ = -1;
    return ::close(fd) == 0;
  }

  // Gives the unnamed file path's name: linked in where nothing is, else linked under a
  // temporary name and moved over what is there, stops held until it is done.
  bool LinkUnnamed() {
    const StopHold hold;
    if (LinkUnnamedFile(file_, path_)) return CloseFile();
    if (errno != EEXIST || (checkAtCommit_ && !MayReplaceTakenName())) return false;
    for (unsigned attempt = 0; attempt < kNameAttempts; ++attempt) {
      const std::string temporary = NameBeside(path_, attempt);
      if (LinkUnnamedFile(file_, temporary)) {
        if (::rename(temporary.c_str(), path_.c_str()) == 0) return CloseFile();
        const int why = errno;
        ::unlink(temporary.c_str());
        errno = why;
        return false;
      }
      if (errno != EEXIST) return false;
    }
    return false;
  }

  // Removes the new content unless it has been committed.
  void Discard() {
    if (file_ >= 0) ::close(file_);
    file_ = -1;
    if (temporary_.empty()) return;
    const StopHold hold;
    ::unlink(temporary_.c_str());
    Forget();
  }

  // The temporary name is no longer the new content's.
  void Forget() {
    LeaveTemporary(slot_);
    slot_ = -1;
    temporary_.clear();
  }

  std::string path_;
  int file_ = -1;
  std::string temporary_;  // the new file's name while it has one of its own
  int slot_ = -1;          // where the stop handler finds that name
  bool inPlace_ = false;
  bool checkAtCommit_ = false;  // the name was not looked at when the file was made
};

// The error of the step that failed last, as text.
bool Fail(std::string& error) {
  error = ErrorText(errno);
  return false;
}

}  // namespace

bool IsSafeNamePart(const std::string&) { return true; }

std::vector<std::string> Arguments(int argc, char** argv) {
  std::vector<std::string> arguments;
  for (int i = 1; i < argc; ++i) {
    if (argv[i][0] != '\0') arguments.emplace_back(argv[i]);
  }
  return arguments;
}

namespace {

// What the stat call that gave result and info says of its path.
PathKind KindOfStat(int result, const struct stat& info) {
  if (result != 0) return PathKind::Missing;
  if (S_ISDIR(info.st_mode)) return PathKind::Folder;
  if (S_ISREG(info.st_mode)) return PathKind::File;
  return PathKind::Other;
}

}  // namespace

PathKind KindOf(const std::string& path) {
  struct stat info;
  return KindOfStat(::stat(path.c_str(), &info), info);
}

std::uint64_t FileSizeHint(const std::string& path) {
  struct stat info;
  return ::stat(path.c_str(), &info) == 0 ? static_cast<std::uint64_t>(info.st_size) : 0;
}

bool IsLink(const std::string& path) {
  struct stat info;
  return ::lstat(path.c_str(), &info) == 0 && S_ISLNK(info.st_mode);
}

InputFile::InputFile() = default;
InputFile::~InputFile() = default;
InputFile::InputFile(InputFile&& other) noexcept = default;
InputFile& InputFile::operator=(InputFile&& other) noexcept = default;

struct InputFile::State {
  explicit State(int fd) : file(fd) {}
  FileDescriptor file;
  std::uint64_t size = 0;
};

bool InputFile::Open(const std::string& path, std::string& error) {
  state_.reset();
  // Not waiting in the open for a writer, should a FIFO have taken the file's place.
  auto state = std::make_unique<State>(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
  struct stat info;
  if (!state->file.Valid() || ::fstat(state->file.Get(), &info) != 0) {
    error = ErrorText(errno);
    return false;
  }
  if (!S_ISREG(info.st_mode)) {
    error = S_ISDIR(info.st_mode) ? ErrorText(EISDIR) : "Not a regular file";
    return false;
  }
  state->size = static_cast<std::uint64_t>(info.st_size);
  state_ = std::move(state);
  return true;
}

std::uint64_t InputFile::Size() const { return state_ ? state_->size : 0; }

bool InputFile::ReadAt(std::uint64_t offset, std::uint8_t* out, std::size_t size,
                       std::string& error) const {
  if (!state_) {
    error = ErrorText(EBADF);
    return false;
  }
  if (ReadAllAt(state_->file.Get(), offset, out, size)) return true;
  error = ReadErrorText();
  return false;
}

void InstallStopHandlers() {
  struct sigaction action {};
  action.sa_handler = OnStop;
  action.sa_flags = SA_RESTART;
  sigemptyset(&action.sa_mask);
  for (const int signal : kStopSignals) sigaddset(&action.sa_mask, signal);
  for (const int signal : kStopSignals) {
    // A signal ignored when the run started (nohup, a background job) stays ignored.
    struct sigaction before {};
    if (::sigaction(signal, nullptr, &before) == 0 && before.sa_handler == SIG_IGN) continue;
    ::sigaction(signal, &action, nullptr);
  }
}

struct WholeFile::State : NewContent {
  using NewContent::NewContent;
};

WholeFile::WholeFile() = default;
WholeFile::~WholeFile() = default;
WholeFile::WholeFile(WholeFile&& other) noexcept = default;
WholeFile& WholeFile::operator=(WholeFile&& other) noexcept = default;

bool WholeFile::Create(const std::string& path, std::string& error, bool freshFolder) {
  state_.reset();
#ifdef O_TMPFILE
  if (freshFolder) {
    auto state = std::make_unique<State>(path);
    if (state->CreateUnnamedForFreeName()) {
      state_ = std::move(state);
      return true;
    }
    // No unnamed file here: the name is looked at first after all.
  }
#else
  (void)freshFolder;
#endif
  // Only a regular file is replaced: not a link (whose target could lie anywhere), not a
  // FIFO or device, not a folder. A read-only one stays as it is.
  struct stat info;
  const bool exists = ::lstat(path.c_str(), &info) == 0;
  if (!exists && errno != ENOENT) return Fail(error);
  if (exists && !S_ISREG(info.st_mode)) {
    errno = S_ISLNK(info.st_mode) ? ELOOP : S_ISDIR(info.st_mode) ? EISDIR : EINVAL;
    return Fail(error);
  }
  if (exists && !MayWrite(path, info)) return Fail(error);
  // A replacement keeps the old file's permissions, as far as the umask lets.
  auto state = std::make_unique<State>(path);
  if (!state->CreateBeside(exists ? info.st_mode & 0777 : 0666, !exists)) {
    // In place only for a file of one name: a hard link would carry the bytes elsewhere.
    if (!exists || !FolderRefusedNewFile(errno) || info.st_nlink != 1 ||
        !state->CreateForInPlace()) {
      return Fail(error);
    }
  }
  state_ = std::move(state);
  return true;
}

bool WholeFile::Append(const std::uint8_t* data, std::size_t size, std::string& error) {
  if (!state_) errno = EBADF;
  return (state_ && WriteAll(state_->Fd(), data, size)) || Fail(error);
}

bool WholeFile::Commit(std::string& error) {
  if (!state_) errno = EBADF;
  // Whatever happens, the new content is committed or removed on return.
  const std::unique_ptr<State> state = std::move(state_);
  return (state && state->Commit()) || Fail(error);
}

struct ReplacementFile::State : NewContent {
  using NewContent::NewContent;
};

ReplacementFile::ReplacementFile() = default;
ReplacementFile::~ReplacementFile() = default;
ReplacementFile::ReplacementFile(ReplacementFile&& other) noexcept = default;
ReplacementFile& ReplacementFile::operator=(ReplacementFile&& other) noexcept = default;

bool ReplacementFile::Create(const std::string& path, std::string& error) {
  state_.reset();
  struct stat info;
  const bool exists = ::lstat(path.c_str(), &info) == 0;
  if (exists && S_ISDIR(info.st_mode)) {
    errno = EISDIR;
    return Fail(error);
  }
  // A read-only file stays as it is, as it would if it were overwritten in place.
  struct stat target;
  if (::stat(path.c_str(), &target) == 0 && !MayWrite(path, target)) return Fail(error);
  auto state = std::make_unique<State>(path);
  if (!state->CreateBeside(0666, true)) {
    // In place only for a file of one name: a hard link would carry the bytes elsewhere.
    if (!exists || !S_ISREG(info.st_mode) || info.st_nlink != 1 || !FolderRefusedNewFile(errno) ||
        !state->CreateForInPlace()) {
      return Fail(error);
    }
  }
  state_ = std::move(state);
  return true;
}

bool ReplacementFile::WriteAt(std::uint64_t offset, const std::uint8_t* data, std::size_t size,
                              std::string& error) {
  if (!state_) errno = EBADF;
  return (state_ && WriteAllAt(state_->Fd(), offset, data, size)) || Fail(error);
}

bool ReplacementFile::Truncate(std::uint64_t size, std::string& error) {
  if (!state_) errno = EBADF;
  return (state_ && ::ftruncate(state_->Fd(), static_cast<off_t>(size)) == 0) || Fail(error);
}

bool ReplacementFile::Commit(std::string& error) {
  if (!state_) errno = EBADF;
  // Whatever happens, the new content is committed or removed on return.
  const std::unique_ptr<State> state = std::move(state_);
  return (state && state->Commit()) || Fail(error);
}

bool WriteWholeFile(const std::string& path, const std::uint8_t* data, std::size_t size,
                    std::string& error) {
  WholeFile file;
  return file.Create(path, error) && file.Append(data, size, error) && file.Commit(error);
}

bool CreateFolder(const std::string& path) { return ::mkdir(path.c_str(), 0777) == 0; }

Listing ListFolder(const std::string& folder, std::vector<FolderItem>& items, std::string& error) {
  DIR* listing = ::opendir(folder.c_str());
  if (listing == nullptr) {
    const int why = errno;
    error = ErrorText(why);
    // Gone (or turned into a file meanwhile), too deep for a whole path, or a link that
    // leads round in a circle: nothing to list. Anything else (access refused, an I/O
    // error) hides what the folder holds.
    const bool nothing = why == ENOENT || why == ENOTDIR || why == ENAMETOOLONG || why == ELOOP;
    return nothing ? Listing::NotStarted : Listing::Broken;
  }
  for (;;) {
    errno = 0;  // readdir tells the end from a failure by errno alone
    const dirent* entry = ::readdir(listing);
    if (entry == nullptr) break;
    const char* name = entry->d_name;
    if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) continue;
    // Each name is looked at from the open folder, not by its whole path, which may be
    // longer than the system takes: such a folder is still a folder, whose listing then
    // cannot start. Links are followed, as by stat.
    struct stat info;
    const int result = ::fstatat(::dirfd(listing), name, &info, 0);
    items.push_back(FolderItem{name, KindOfStat(result, info)});
  }
  const int why = errno;
  ::closedir(listing);
  if (why == 0) return Listing::Complete;
  error = ErrorText(why);
  return Listing::Broken;
}

std::string FolderIdentity(const std::string& folder) {
  struct stat info;
  if (::stat(folder.c_str(), &info) != 0) return std::string();
  return std::to_string(static_cast<unsigned long long>(info.st_dev)) + ":" +
         std::to_string(static_cast<unsigned long long>(info.st_ino));
}

std::string AbsolutePath(const std::string& path) {
  if (!path.empty() && path[0] == '/') return path;
  std::vector<char> buffer(4096);
  while (::getcwd(buffer.data(), buffer.size()) == nullptr) {
    if (errno != ERANGE || buffer.size() > (1u << 20)) return path;
    buffer.resize(buffer.size() * 2);
  }
  std::string absolute = buffer.data();
  if (absolute.empty() || absolute.back() != '/') absolute += '/';
  return absolute + path;
}

bool StandardErrorIsTerminal() { return ::isatty(STDERR_FILENO) == 1; }

}  // namespace pbo::platform
