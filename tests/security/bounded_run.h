// Runs a piece of work in a child process with a deadline, and measures what it cost: the
// child's wall time and its peak resident memory above that of an idle child. A child
// that outlives the deadline is killed, so a loop that never ends fails its test instead
// of hanging the suite. The child may also run with its address space capped, or as an
// ordinary user when the tests run as root. On Windows, which has no fork, the work runs
// in the test process and only the time is measured.
#pragma once

#ifndef _WIN32
#include <grp.h>
#include <pwd.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <system_error>
#include <thread>

namespace pbo::testing {

struct BoundedRun {
  bool Ended = false;         // false: killed at the deadline
  int ExitCode = -1;          // what the work returned
  double Seconds = 0;         // wall time
  std::int64_t PeakKiB = -1;  // peak resident memory above an idle child; -1 if unknown
};

// True when the sanitizers' own bookkeeping (shadow memory, quarantine of freed blocks)
// inflates resident memory, so that peaks say little about the code under test.
inline constexpr bool kMemoryInflatedBySanitizer =
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
    true;
#else
    false;
#endif
#else
    false;
#endif

#ifndef _WIN32
namespace detail {

// Runs work in a child; returns its exit status and peak memory in KiB, or Ended false.
inline BoundedRun RunChild(const std::function<int()>& work, std::chrono::seconds deadline) {
  BoundedRun run;
  const auto start = std::chrono::steady_clock::now();
  std::fflush(nullptr);  // what the test printed so far must not come out twice
  const pid_t child = ::fork();
  if (child == 0) {
    int code = 100;  // an exception escaping the work is a fault of its own
    try {
      code = work();
    } catch (...) {
    }
    ::_exit(code & 0xFF);
  }
  if (child < 0) return run;
  int status = 0;
  struct rusage usage {};
  for (;;) {
    const pid_t done = ::wait4(child, &status, WNOHANG, &usage);
    if (done == child) break;
    if (std::chrono::steady_clock::now() - start > deadline) {
      ::kill(child, SIGKILL);
      ::wait4(child, &status, 0, &usage);
      return run;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  run.Seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  run.Ended = WIFEXITED(status);
  run.ExitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  run.PeakKiB = usage.ru_maxrss;
  return run;
}

// Hands folder and everything below it to the user nobody and becomes that user, for good.
// False, with the reason on standard error, when any step fails.
inline bool BecomeNobody(const std::filesystem::path& folder) {
  const struct passwd* nobody = ::getpwnam("nobody");
  if (nobody == nullptr) {
    std::fprintf(stderr, "no user nobody to run as\n");
    return false;
  }
  std::error_code error;
  bool handedOver = ::lchown(folder.c_str(), nobody->pw_uid, nobody->pw_gid) == 0;
  for (std::filesystem::recursive_directory_iterator it(folder, error), end;
       handedOver && !error && it != end; it.increment(error)) {
    handedOver = ::lchown(it->path().c_str(), nobody->pw_uid, nobody->pw_gid) == 0;
  }
  if (!handedOver || error || ::setgroups(0, nullptr) != 0 || ::setgid(nobody->pw_gid) != 0 ||
      ::setuid(nobody->pw_uid) != 0 || ::geteuid() == 0) {
    std::fprintf(stderr, "cannot hand %s to nobody and run as nobody\n", folder.c_str());
    return false;
  }
  return true;
}

}  // namespace detail
#endif

// How long a child may run before it is killed: a guard against endless work, never a
// speed test. The slowest case takes about a second on an idle machine and has taken 42 s
// on a loaded one (100,000 files made), so a child killed here was not merely slow.
constexpr std::chrono::seconds kDeadline(600);

// Runs work (whose result must fit in 0 to 255) under a deadline and measures it.
inline BoundedRun RunBounded(const std::function<int()>& work,
                             std::chrono::seconds deadline = kDeadline) {
#ifndef _WIN32
  const BoundedRun idle = detail::RunChild([] { return 0; }, deadline);
  BoundedRun run = detail::RunChild(work, deadline);
  if (run.Ended && idle.Ended) run.PeakKiB -= idle.PeakKiB;
  return run;
#else
  (void)deadline;  // nothing to kill a runaway with in-process
  BoundedRun run;
  const auto start = std::chrono::steady_clock::now();
  run.ExitCode = work();
  run.Ended = true;
  run.Seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  return run;
#endif
}

// What RunCapped and RunUnprivileged return when the child could not be set up as asked.
constexpr int kChildNotSetUp = 125;

// Runs work with its address space capped at capMiB, for work that would take whatever
// memory it can if it went wrong (packing the whole file system). Not capped where the
// sanitizers reserve terabytes of address space for themselves, nor on Windows.
inline BoundedRun RunCapped(const std::function<int()>& work, std::uint64_t capMiB,
                            std::chrono::seconds deadline = kDeadline) {
#ifndef _WIN32
  if (!kMemoryInflatedBySanitizer) {
    return RunBounded(
        [&work, capMiB] {
          const struct rlimit cap = {capMiB << 20, capMiB << 20};
          return ::setrlimit(RLIMIT_AS, &cap) == 0 ? work() : kChildNotSetUp;
        },
        deadline);
  }
#endif
  (void)capMiB;
  return RunBounded(work, deadline);
}

// Runs work as an ordinary user and returns what it returned. Root may write any file, so
// when the tests run as root the work runs in a child that first hands folder, and
// everything in it, to the user nobody and becomes that user: permissions then bind it as
// they bind everyone else (folder's parents must let nobody through). kChildNotSetUp when
// that fails; -1 when the child did not end within the deadline. Otherwise, and on Windows,
// the work runs as the tests do.
inline int RunUnprivileged(const std::filesystem::path& folder, const std::function<int()>& work,
                           std::chrono::seconds deadline = kDeadline) {
#ifndef _WIN32
  if (::geteuid() == 0) {
    return detail::RunChild(
               [&folder, &work] { return detail::BecomeNobody(folder) ? work() : kChildNotSetUp; },
               deadline)
        .ExitCode;
  }
#endif
  (void)folder;
  (void)deadline;
  return work();
}

}  // namespace pbo::testing
