// The status line a person at a terminal sees while a long run goes on. Internal to the
// front end.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <string>
#include <thread>

#include "archive/archive.h"

namespace pbo {

// Once the run has gone on for about a second, one line on standard error, rewritten in
// place a few times a second from the counters in run.Progress: entries done of all, bytes
// read and written, the rate. The line is erased before each report line (the run's report
// goes through this object meanwhile) and when the object goes away; it never reaches
// standard output and changes nothing the mode does. Make one only when standard error is
// a terminal: it starts a thread.
class ProgressLine {
 public:
  explicit ProgressLine(RunState& run);
  // Stops the thread, erases the line and gives the run's report back to standard error.
  ~ProgressLine();
  ProgressLine(const ProgressLine&) = delete;
  ProgressLine& operator=(const ProgressLine&) = delete;

 private:
  void Watch();
  std::string Status() const;
  // The three below write on standard error; the caller holds mutex_.
  void Show(const std::string& status);
  void Erase();
  void Report(const std::string& line);

  RunState& run_;
  const std::chrono::steady_clock::time_point start_;
  std::mutex mutex_;
  std::condition_variable stopped_;
  bool stopping_ = false;
  std::size_t shownLength_ = 0;  // characters of the line now on the terminal; 0: none
  std::thread thread_;
};

}  // namespace pbo
