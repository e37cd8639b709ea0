#include "frontend/progress.h"

#include <cstdio>

#include "platform/platform.h"

namespace pbo {
namespace {

// A run that ends within this time shows no line at all.
constexpr std::chrono::milliseconds kQuietStart{1000};
// Four rewrites a second read as moving without flicker, and cost the run nothing.
constexpr std::chrono::milliseconds kRewriteEvery{250};

// "20.5 MB", or past 1000 MB "1.23 GB", so that the line keeps its length.
std::string Amount(std::uint64_t bytes) {
  char text[32];
  const double megabytes = static_cast<double>(bytes) / 1e6;
  if (megabytes < 1000) {
    std::snprintf(text, sizeof text, "%.1f MB", megabytes);
  } else {
    std::snprintf(text, sizeof text, "%.2f GB", megabytes / 1000);
  }
  return text;
}

void WriteOnStandardError(const std::string& text) {
  std::fwrite(text.data(), 1, text.size(), stderr);
  std::fflush(stderr);
}

}  // namespace

ProgressLine::ProgressLine(RunState& run) : run_(run), start_(std::chrono::steady_clock::now()) {
  run_.ReportLine = [this](const std::string& line) { Report(line); };
  thread_ = std::thread([this] { Watch(); });
}

ProgressLine::~ProgressLine() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  stopped_.notify_one();
  thread_.join();
  std::lock_guard<std::mutex> lock(mutex_);
  Erase();
  run_.ReportLine = nullptr;
}

void ProgressLine::Watch() {
  std::unique_lock<std::mutex> lock(mutex_);
  if (stopped_.wait_until(lock, start_ + kQuietStart, [this] { return stopping_; })) return;
  do {
    if (run_.Progress.EntriesTotal > 0) Show(Status());
  } while (!stopped_.wait_for(lock, kRewriteEvery, [this] { return stopping_; }));
}

// For example "pbo: 1200 of 3656 entries, 20.5 MB read, 31.0 MB written, 41.3 MB/s": short
// enough for one line of the narrowest terminal, where a longer one would wrap and leave
// its first part behind when it is rewritten.
std::string ProgressLine::Status() const {
  const RunProgress& progress = run_.Progress;
  const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start_;
  const std::uint64_t read = progress.BytesRead;
  return "pbo: " + std::to_string(progress.EntriesDone) + " of " +
         std::to_string(progress.EntriesTotal) + " entries, " + Amount(read) + " read, " +
         Amount(progress.BytesWritten) + " written, " +
         Amount(static_cast<std::uint64_t>(static_cast<double>(read) / elapsed.count())) + "/s";
}

// The line is rewritten over itself: back to its start, the new text, then spaces over
// what is left of a longer one. Spaces, not an erase sequence, so that every console
// shows it alike.
void ProgressLine::Show(const std::string& status) {
  std::string text = "\r" + status;
  if (status.size() < shownLength_) text.append(shownLength_ - status.size(), ' ');
  WriteOnStandardError(text);
  shownLength_ = status.size();
}

void ProgressLine::Erase() {
  if (shownLength_ == 0) return;
  WriteOnStandardError("\r" + std::string(shownLength_, ' ') + "\r");
  shownLength_ = 0;
}

// A report line replaces the status line; the next rewrite puts the status below it.
void ProgressLine::Report(const std::string& line) {
  std::lock_guard<std::mutex> lock(mutex_);
  Erase();
  platform::ReportError(line);
}

}  // namespace pbo
