// POSIX implementation of the platform layer.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

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

}  // namespace

bool IsSafeNamePart(const std::string&) { return true; }

std::vector<std::string> Arguments(int argc, char** argv) {
  std::vector<std::string> arguments;
  for (int i = 1; i < argc; ++i) {
    if (argv[i][0] != '\0') arguments.emplace_back(argv[i]);
  }
  return arguments;
}

PathKind KindOf(const std::string& path) {
  struct stat info;
  if (::stat(path.c_str(), &info) != 0) return PathKind::Missing;
  if (S_ISDIR(info.st_mode)) return PathKind::Folder;
  if (S_ISREG(info.st_mode)) return PathKind::File;
  return PathKind::Other;
}

bool IsLink(const std::string& path) {
  struct stat info;
  return ::lstat(path.c_str(), &info) == 0 && S_ISLNK(info.st_mode);
}

bool ReadWholeFile(const std::string& path, std::vector<std::uint8_t>& bytes, std::string& error) {
  // Not waiting in the open for a writer, should a FIFO have taken the file's place.
  FileDescriptor file(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
  if (!file.Valid()) {
    error = ErrorText(errno);
    return false;
  }
  struct stat info;
  if (::fstat(file.Get(), &info) != 0) {
    error = ErrorText(errno);
    return false;
  }
  if (S_ISDIR(info.st_mode)) {
    error = ErrorText(EISDIR);
    return false;
  }
  // The length is taken once; a file that shrinks meanwhile gives what it still holds.
  bytes.resize(S_ISREG(info.st_mode) ? static_cast<std::size_t>(info.st_size) : 0);
  std::size_t filled = 0;
  while (filled < bytes.size()) {
    const ssize_t got = ::read(file.Get(), bytes.data() + filled, bytes.size() - filled);
    if (got < 0) {
      if (errno == EINTR) continue;
      error = ErrorText(errno);
      return false;
    }
    if (got == 0) break;
    filled += static_cast<std::size_t>(got);
  }
  bytes.resize(filled);
  return true;
}

std::int64_t FileSize(const std::string& path) {
  struct stat info;
  if (::stat(path.c_str(), &info) != 0) return -1;
  return static_cast<std::int64_t>(info.st_size);
}

bool WriteWholeFile(const std::string& path, const std::uint8_t* data, std::size_t size) {
  // A FIFO left at the path would hold a blocking open until some reader came along, and
  // a device would take the bytes: the open does not wait, and only a regular file is
  // truncated and written.
  FileDescriptor file(
      ::open(path.c_str(), O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0666));
  if (!file.Valid()) return false;
  struct stat info;
  if (::fstat(file.Get(), &info) != 0 || !S_ISREG(info.st_mode)) return false;
  const int flags = ::fcntl(file.Get(), F_GETFL);
  if (flags < 0 || ::fcntl(file.Get(), F_SETFL, flags & ~O_NONBLOCK) != 0) return false;
  if (::ftruncate(file.Get(), 0) != 0) return false;
  if (!WriteAll(file.Get(), data, size)) return false;
  return file.Close();
}

bool ReplaceFileAtomically(const std::string& path, const ByteRange* pieces,
                           std::size_t pieceCount, std::string& error) {
  // A read-only archive stays as it is, as it would if it were overwritten in place.
  if (::access(path.c_str(), F_OK) == 0 && ::access(path.c_str(), W_OK) != 0) {
    error = ErrorText(errno);
    return false;
  }
  // The new file starts with a dot, so that a scan of the folder it lies in passes over it
  // should it ever be left behind.
  const std::size_t folderLength = FolderPartLength(path);
  const std::string temporary = path.substr(0, folderLength) + "." +
                                path.substr(folderLength) + ".tmp" +
                                std::to_string(static_cast<long>(::getpid()));
  FileDescriptor file(
      ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666));
  if (!file.Valid()) {
    error = ErrorText(errno);
    return false;
  }
  bool written = true;
  for (std::size_t i = 0; written && i < pieceCount; ++i) {
    written = WriteAll(file.Get(), pieces[i].Data, pieces[i].Size);
  }
  const int writeError = errno;
  if (!written || !file.Close()) {
    error = ErrorText(written ? errno : writeError);
    ::unlink(temporary.c_str());
    return false;
  }
  if (::rename(temporary.c_str(), path.c_str()) != 0) {
    error = ErrorText(errno);
    ::unlink(temporary.c_str());
    return false;
  }
  return true;
}

bool CreateFolder(const std::string& path) { return ::mkdir(path.c_str(), 0777) == 0; }

bool ListFolder(const std::string& folder, std::vector<FolderItem>& items) {
  DIR* listing = ::opendir(folder.c_str());
  if (listing == nullptr) return false;
  std::string prefix = folder;
  if (!prefix.empty() && prefix.back() != '/') prefix += '/';
  while (const dirent* entry = ::readdir(listing)) {
    const char* name = entry->d_name;
    if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) continue;
    items.push_back(FolderItem{name, KindOf(prefix + name)});
  }
  ::closedir(listing);
  return true;
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

void ReportError(const std::string& message) {
  const std::string line = "pbo: " + message + "\n";
  std::fwrite(line.data(), 1, line.size(), stderr);
  std::fflush(stderr);
}

}  // namespace pbo::platform
