// POSIX implementation of the platform layer.
#include <dirent.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "platform/platform.h"

namespace pbo::platform {
namespace {

std::string ErrorText(int error) { return std::strerror(error); }

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

// Opens path for writing without following a link and without waiting (a FIFO left at the
// path would hold a blocking open until some reader came along); only a regular file is
// kept open, in blocking mode again.
int OpenRegularFileToWrite(const std::string& path) {
  FileDescriptor file(::open(path.c_str(), O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
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

// The name of the new file made beside path: it starts with a dot, so that a scan of the
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

// Creates a new file beside path, never over anything that is there. Sets name to its
// path; returns -1 with errno set when none can be made.
int CreateFileBeside(const std::string& path, mode_t mode, std::string& name) {
  constexpr unsigned kAttempts = 1000;
  for (unsigned attempt = 0; attempt < kAttempts; ++attempt) {
    name = NameBeside(path, attempt);
    const int fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
    if (fd >= 0 || errno != EEXIST) return fd;
  }
  return -1;
}

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

// An unnamed file in the system's temporary folder, gone once closed.
int CreateAnonymousFile() {
  const char* folder = std::getenv("TMPDIR");
  std::string pattern = folder != nullptr && folder[0] != '\0' ? folder : "/tmp";
  pattern += "/.pbo-XXXXXX";
  const int fd = ::mkstemp(pattern.data());
  if (fd >= 0) ::unlink(pattern.c_str());
  return fd;
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

// Copies the whole of the file source into target from its start and cuts target to that
// length: room reserved first, then written over the old bytes before the length changes.
bool CopyInto(int source, int target) {
  struct stat info;
  if (::fstat(source, &info) != 0 ||
      !ReserveRoom(target, static_cast<std::uint64_t>(info.st_size))) {
    return false;
  }
  std::vector<std::uint8_t> buffer(std::size_t{1} << 20);
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

struct ReplacementFile::State {
  State(std::string target, std::string beside, int fd)
      : path(std::move(target)), temporary(std::move(beside)), content(fd) {}
  ~State() {
    // The anonymous file goes when it is closed; the one beside path is removed.
    if (!temporary.empty()) ::unlink(temporary.c_str());
  }
  std::string path;
  std::string temporary;  // the new file beside path; empty when path is written in place
  FileDescriptor content;
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
    error = ErrorText(EISDIR);
    return false;
  }
  // A read-only file stays as it is, as it would if it were overwritten in place.
  struct stat target;
  if (::stat(path.c_str(), &target) == 0 && !MayWrite(path, target)) {
    error = ErrorText(errno);
    return false;
  }
  std::string temporary;
  int fd = CreateFileBeside(path, 0666, temporary);
  if (fd < 0) {
    const int why = errno;
    // In place only for a file of one name: a hard link would carry the bytes elsewhere.
    if (!exists || !S_ISREG(info.st_mode) || info.st_nlink != 1 || !FolderRefusedNewFile(why)) {
      error = ErrorText(why);
      return false;
    }
    temporary.clear();
    fd = CreateAnonymousFile();
    if (fd < 0) {
      error = ErrorText(errno);
      return false;
    }
  }
  state_ = std::make_unique<State>(path, std::move(temporary), fd);
  return true;
}

bool ReplacementFile::WriteAt(std::uint64_t offset, const std::uint8_t* data, std::size_t size,
                              std::string& error) {
  if (!state_) {
    error = ErrorText(EBADF);
    return false;
  }
  if (WriteAllAt(state_->content.Get(), offset, data, size)) return true;
  error = ErrorText(errno);
  return false;
}

bool ReplacementFile::Commit(std::string& error) {
  if (!state_) {
    error = ErrorText(EBADF);
    return false;
  }
  // Whatever happens, the new content is closed and removed (or committed) on return.
  const std::unique_ptr<State> state = std::move(state_);
  bool done = false;
  if (state->temporary.empty()) {
    FileDescriptor target(OpenRegularFileToWrite(state->path));
    done = target.Valid() && CopyInto(state->content.Get(), target.Get()) && target.Close();
  } else if (state->content.Close()) {
    done = ::rename(state->temporary.c_str(), state->path.c_str()) == 0;
    if (done) state->temporary.clear();
  }
  if (!done) error = ErrorText(errno);
  return done;
}

namespace {

// Writes an existing regular file in place: the fallback where its folder takes no new
// file. Written over the old bytes before it is cut to length.
bool WriteInPlace(const std::string& path, const std::uint8_t* data, std::size_t size,
                  std::string& error) {
  FileDescriptor file(OpenRegularFileToWrite(path));
  const bool done = file.Valid() && ReserveRoom(file.Get(), size) &&
                    WriteAllAt(file.Get(), 0, data, size) &&
                    ::ftruncate(file.Get(), static_cast<off_t>(size)) == 0 && file.Close();
  if (!done) error = ErrorText(errno);
  return done;
}

// Writes data to the open file and closes it, then moves it from written to path (unless
// they are one); on failure removes written. True when path now holds data.
bool FinishWholeFile(FileDescriptor& file, const std::string& written, const std::string& path,
                     const std::uint8_t* data, std::size_t size, std::string& error) {
  bool done = WriteAll(file.Get(), data, size);
  int why = errno;
  if (!file.Close() && done) {
    done = false;
    why = errno;
  }
  if (done && written != path && ::rename(written.c_str(), path.c_str()) != 0) {
    done = false;
    why = errno;
  }
  if (!done) {
    ::unlink(written.c_str());
    error = ErrorText(why);
  }
  return done;
}

}  // namespace

bool WriteWholeFile(const std::string& path, const std::uint8_t* data, std::size_t size,
                    std::string& error) {
  // A name that holds nothing gets its file made right there, never over anything (O_EXCL
  // follows not even a dangling link), and removed again if the write fails.
  FileDescriptor fresh(
      ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666));
  if (fresh.Valid()) return FinishWholeFile(fresh, path, path, data, size, error);
  // Something is there. Only a regular file is replaced: not a link (whose target could
  // lie anywhere), not a FIFO or device, not a folder. A read-only one stays as it is.
  struct stat info;
  if (errno != EEXIST || ::lstat(path.c_str(), &info) != 0) {
    error = ErrorText(errno);
    return false;
  }
  if (!S_ISREG(info.st_mode)) {
    error = ErrorText(S_ISLNK(info.st_mode) ? ELOOP : S_ISDIR(info.st_mode) ? EISDIR : EINVAL);
    return false;
  }
  if (!MayWrite(path, info)) {
    error = ErrorText(errno);
    return false;
  }
  // The old file stays whole until the new one is: the new one is made beside it (keeping
  // its permissions, as far as the umask lets) and moved over it once complete.
  std::string temporary;
  FileDescriptor file(CreateFileBeside(path, info.st_mode & 0777, temporary));
  if (file.Valid()) return FinishWholeFile(file, temporary, path, data, size, error);
  // In place only for a file of one name: a hard link would carry the bytes elsewhere.
  if (FolderRefusedNewFile(errno) && info.st_nlink == 1) {
    return WriteInPlace(path, data, size, error);
  }
  error = ErrorText(errno);
  return false;
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

}  // namespace pbo::platform
