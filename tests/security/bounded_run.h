// Runs a piece of work in a child process with a deadline, and measures what it cost: the
// child's wall time and its peak resident memory above that of an idle child. A child
// that outlives the deadline is killed, so a loop that never ends fails its test instead
// of hanging the suite. On Windows, which has no fork, the work runs in the test process
// and only the time is measured.
#pragma once

#ifndef _WIN32
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <chrono>
#include <cstdint>
#include <functional>
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
#if defined(__SANITIZE_ADDRESS__)
    true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
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
  const pid_t child = ::fork();
  if (child == 0) ::_exit(work() & 0xFF);
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

}  // namespace detail
#endif

// Runs work (whose result must fit in 0 to 255) under a deadline and measures it.
inline BoundedRun RunBounded(const std::function<int()>& work,
                             std::chrono::seconds deadline = std::chrono::seconds(60)) {
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

}  // namespace pbo::testing
