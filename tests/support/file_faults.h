// File calls that pause or fail on purpose, for the tests of what a stop does to the files
// in flight and of a file system that makes no unnamed files (Linux only). The test
// executable's own write, pwrite and open take the place of the C library's, which they
// call in turn. Include this in one source file of a test executable only: it defines them.
//   - While a WritePause is armed, the process halts once it has made a given number of
//     writes into the files below one folder, until the test, told so through a pipe, has
//     sent it a signal.
//   - With PBO_TEST_REFUSE_UNNAMED_FILES set, opening an unnamed file (O_TMPFILE) fails as
//     on a file system that cannot make one.
#pragma once

#if defined(__linux__)
#include <dlfcn.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>

#include "security/bounded_run.h"

namespace pbo::testing {

struct WritePause {
  std::string Folder;  // ends in "/"
  int WritesLeft = 0;  // writes into it before the halt; 0: before the first
  int Reached = -1;    // the halt writes one byte here ...
  int GoOn = -1;       // ... and waits for one byte from here
};

inline WritePause*& ArmedWritePause() {
  static WritePause* pause = nullptr;
  return pause;
}

namespace detail {

inline bool WritesBelow(int fd, const std::string& folder) {
  char target[4096];
  const std::string self = "/proc/self/fd/" + std::to_string(fd);
  const ssize_t length = ::readlink(self.c_str(), target, sizeof target);
  return length > 0 && std::string(target, static_cast<std::size_t>(length)).rfind(folder, 0) == 0;
}

// Called before (done false) and after each write into fd.
inline void PauseIfDue(int fd, bool done) {
  WritePause* pause = ArmedWritePause();
  if (pause == nullptr || !WritesBelow(fd, pause->Folder)) return;
  if (done) --pause->WritesLeft;
  if (pause->WritesLeft != 0) return;
  ArmedWritePause() = nullptr;
  char byte = 1;
  if (::write(pause->Reached, &byte, 1) == 1) (void)!::read(pause->GoOn, &byte, 1);
}

template <typename Function>
Function Real(const char* name) {
  return reinterpret_cast<Function>(::dlsym(RTLD_NEXT, name));
}

}  // namespace detail

// How a child ended: the signal that ended it (0 when it exited), or its exit code.
struct ChildEnd {
  int Signal = 0;
  int ExitCode = -1;
};

// Runs work in a child (as the user nobody, owner of folder, when unprivileged is set and
// the tests run as root) and sends it signal once it has made `writes` writes into the
// files below folder (0: before the first), letting it go on right after. A child that
// never gets there is not signalled.
inline ChildEnd StopAtWrite(const std::filesystem::path& folder, int writes, int signal,
                            bool unprivileged, const std::function<int()>& work) {
  int reached[2];
  int goOn[2];
  if (::pipe(reached) != 0 || ::pipe(goOn) != 0) return {};
  std::fflush(nullptr);
  const pid_t child = ::fork();
  if (child == 0) {
    ::close(reached[0]);
    ::close(goOn[1]);
    if (unprivileged && ::geteuid() == 0 && !detail::BecomeNobody(folder)) ::_exit(kChildNotSetUp);
    static WritePause pause;
    pause = WritePause{folder.string() + "/", writes, reached[1], goOn[0]};
    ArmedWritePause() = &pause;
    ::_exit(work() & 0xFF);
  }
  ::close(reached[1]);
  ::close(goOn[0]);
  char byte = 0;
  if (child > 0 && ::read(reached[0], &byte, 1) == 1) {
    ::kill(child, signal);
    // A child that the signal ended reads no more: no SIGPIPE for the test for that.
    const auto previous = ::signal(SIGPIPE, SIG_IGN);
    (void)!::write(goOn[1], &byte, 1);
    ::signal(SIGPIPE, previous);
  }
  ::close(reached[0]);
  ::close(goOn[1]);
  int status = 0;
  if (child < 0 || ::waitpid(child, &status, 0) != child) return {};
  return {WIFSIGNALED(status) ? WTERMSIG(status) : 0, WIFEXITED(status) ? WEXITSTATUS(status) : -1};
}

}  // namespace pbo::testing

extern "C" ssize_t write(int fd, const void* data, size_t size) {
  static const auto real =
      pbo::testing::detail::Real<ssize_t (*)(int, const void*, size_t)>("write");
  pbo::testing::detail::PauseIfDue(fd, false);
  const ssize_t written = real(fd, data, size);
  pbo::testing::detail::PauseIfDue(fd, true);
  return written;
}

extern "C" ssize_t pwrite(int fd, const void* data, size_t size, off_t offset) {
  static const auto real =
      pbo::testing::detail::Real<ssize_t (*)(int, const void*, size_t, off_t)>("pwrite");
  pbo::testing::detail::PauseIfDue(fd, false);
  const ssize_t written = real(fd, data, size, offset);
  pbo::testing::detail::PauseIfDue(fd, true);
  return written;
}

extern "C" int open(const char* path, int flags, ...) {
  static const auto real = pbo::testing::detail::Real<int (*)(const char*, int, ...)>("open");
  static const bool refuseUnnamed = std::getenv("PBO_TEST_REFUSE_UNNAMED_FILES") != nullptr;
  if (refuseUnnamed && (flags & O_TMPFILE) == O_TMPFILE) {
    errno = EOPNOTSUPP;
    return -1;
  }
  std::va_list rest;
  va_start(rest, flags);
  const bool hasMode = (flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE;
  const mode_t mode = hasMode ? va_arg(rest, mode_t) : 0;
  va_end(rest);
  return real(path, flags, mode);
}
#endif
