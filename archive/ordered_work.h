// Runs the entries of a mode on a pool of worker threads and hands their results, in table
// order, to the one thread that writes. Internal to the archive subsystem.
//
// Both modes do the same three things per entry: get it ready (open its file, or find its
// block), turn it into what is written (compress, expand, convert) and write it. The middle
// step is where the time goes and is independent from entry to entry, so it runs on the
// workers; the writing stays on the calling thread, in table order, so that the file system
// sees the same sequence of creations and the same failures whatever the thread count, and
// every result is byte for byte what one thread makes.
//
// Memory. Each entry claims, in table order, the memory it will hold while it is worked on
// (its file or block, what the coder makes of it); the claim becomes what its result holds
// once it is done, and is given back when the result has been written. The claims of the
// entries in flight stay within 2 x threads x the largest entry met so far, plus
// kBudgetAllowance, except that an entry may always go when nothing else is in flight. So
// memory does not grow with the archive, a huge entry runs alone if it must, and the
// entries after it keep the other workers busy as far as the budget reaches.
#pragma once

#include <algorithm>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <mutex>
#include <optional>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

namespace pbo {

// What the claims of the entries in flight may reach beyond 2 x threads x the largest
// entry, so that small entries run ahead of a slow writer.
inline constexpr std::uint64_t kBudgetAllowance = std::uint64_t{8} << 20;

namespace detail {

template <typename Result>
class OrderedWork {
 public:
  OrderedWork(unsigned threads, std::size_t count) : threads_(threads), slots_(count) {}

  // Worker side: runs entries until none is left or the run stops.
  template <typename Prepare, typename Work>
  void Serve(Prepare& prepare, Work& work) {
    for (;;) {
      std::size_t i = 0;
      {
        std::lock_guard<std::mutex> lock(mutex_);
        if (stopping_ || next_ == slots_.size()) return;
        i = next_++;
      }
      // What prepare or work throws is kept for the writer, which throws it in turn.
      std::optional<decltype(prepare(i))> prepared;
      Slot& slot = slots_[i];
      try {
        prepared.emplace(prepare(i));
      } catch (...) {
        slot.Error = std::current_exception();
      }
      if (!Claim(i, prepared ? prepared->Size : 0, prepared ? prepared->Cost : 0)) return;
      if (prepared) {
        try {
          slot.Value.emplace(work(i, std::move(*prepared)));
        } catch (...) {
          slot.Error = std::current_exception();
        }
      }
      Finish(i, slot.Value ? slot.Value->HeldBytes() : 0);
    }
  }

  // Writer side: waits for entry i and hands its result over; rethrows what its work threw.
  Result Take(std::size_t i) {
    Slot& slot = slots_[i];
    std::unique_lock<std::mutex> lock(mutex_);
    done_.wait(lock, [&] { return slot.Done; });
    if (slot.Error) std::rethrow_exception(slot.Error);
    Result result = std::move(*slot.Value);
    slot.Value.reset();
    return result;
  }

  // Writer side: entry i has been written; its claim is given back.
  void Release(std::size_t i) {
    std::lock_guard<std::mutex> lock(mutex_);
    claimed_ -= slots_[i].Held;
    slots_[i].Held = 0;
    WakeClaimsIfRoom();
  }

  void Stop() {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
    claimable_.notify_all();
    done_.notify_all();
  }

 private:
  struct Slot {
    std::optional<Result> Value;
    std::exception_ptr Error;
    std::uint64_t Held = 0;
    bool Done = false;
  };

  // Waits until entry i, of size bytes, may claim cost bytes: the entries before it have
  // claimed theirs, and the claim fits the budget or nothing else is in flight. False when
  // the run stops.
  bool Claim(std::size_t i, std::uint64_t size, std::uint64_t cost) {
    std::unique_lock<std::mutex> lock(mutex_);
    largest_ = std::max(largest_, size);
    claimable_.wait(lock, [&] { return stopping_ || (nextClaim_ == i && Fits(cost)); });
    if (stopping_) return false;
    claimed_ += cost;
    slots_[i].Held = cost;
    ++nextClaim_;
    claimable_.notify_all();
    return true;
  }

  std::uint64_t Budget() const { return 2 * threads_ * largest_ + kBudgetAllowance; }

  bool Fits(std::uint64_t cost) const { return claimed_ == 0 || claimed_ + cost <= Budget(); }

  // Wakes the workers waiting for room once half the budget is free, not at every entry
  // written: they then claim a run of entries at once, where waking them for each small
  // entry would cost the writer a switch of threads per file.
  void WakeClaimsIfRoom() {
    if (claimed_ <= Budget() / 2) claimable_.notify_all();
  }

  void Finish(std::size_t i, std::uint64_t held) {
    std::lock_guard<std::mutex> lock(mutex_);
    Slot& slot = slots_[i];
    // The work is done: the claim becomes what the result holds until it is written.
    claimed_ = claimed_ - slot.Held + held;
    if (held < slot.Held) WakeClaimsIfRoom();
    slot.Held = held;
    slot.Done = true;
    done_.notify_one();  // only the writer waits for results
  }

  const std::uint64_t threads_;
  std::vector<Slot> slots_;
  std::mutex mutex_;
  std::condition_variable claimable_;  // workers wait here for their turn to claim
  std::condition_variable done_;       // the writer waits here for a result
  std::size_t next_ = 0;               // the next entry to hand out
  std::size_t nextClaim_ = 0;          // the next entry to claim memory; claims go in table order
  std::uint64_t claimed_ = 0;
  std::uint64_t largest_ = 0;  // the largest entry size met so far
  bool stopping_ = false;
};

}  // namespace detail

// Runs count entries through three steps and returns once every entry has been written:
//   prepare(i) -> P   on a worker, before memory is claimed; P::Size is the entry's size
//                     (its file, or what it expands to), P::Cost what it will hold while it
//                     is worked on (its block or file, and what is made of it);
//   work(i, P&&) -> R on a worker; R::HeldBytes() is what the result holds until written;
//   write(i, R&&)     on the calling thread, for i = 0, 1, 2, ... in that order.
// With threads at 1 (or a single entry) everything runs on the calling thread, entry by
// entry, as it always did. What prepare or work throws for entry i is thrown here when
// entry i's turn to be written comes, as is what write throws; the workers are stopped and
// joined first, and nothing after entry i is written.
template <typename Prepare, typename Work, typename Write>
void RunInTableOrder(unsigned threads, std::size_t count, Prepare prepare, Work work, Write write) {
  using Result = decltype(work(std::size_t{0}, prepare(std::size_t{0})));
  const std::size_t workers = std::min<std::size_t>(threads, count);
  if (workers <= 1) {
    for (std::size_t i = 0; i < count; ++i) write(i, work(i, prepare(i)));
    return;
  }
  detail::OrderedWork<Result> state(threads, count);
  std::vector<std::thread> pool;
  // Stops and joins the workers however the writer leaves, a throw included.
  struct Joiner {
    detail::OrderedWork<Result>& State;
    std::vector<std::thread>& Pool;
    ~Joiner() {
      State.Stop();
      for (std::thread& thread : Pool) thread.join();
    }
  } joiner{state, pool};
  for (std::size_t t = 0; t < workers; ++t) {
    try {
      pool.emplace_back([&] { state.Serve(prepare, work); });
    } catch (const std::system_error&) {
      break;  // fewer threads than asked for; the writer below still gets every entry
    }
  }
  if (pool.empty()) {
    for (std::size_t i = 0; i < count; ++i) write(i, work(i, prepare(i)));
    return;
  }
  for (std::size_t i = 0; i < count; ++i) {
    write(i, state.Take(i));
    state.Release(i);
  }
}

}  // namespace pbo
