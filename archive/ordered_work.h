// Runs the work of a mode on a pool of worker threads and hands the results, in order, to
// the one thread that writes. Internal to the archive subsystem.
//
// Both modes do the same three things: plan the next unit of work (a batch of small entries,
// or one piece of a large one), turn it into what is written (compress, expand, rate) and
// write it. The middle step is where the time goes and is independent from unit to unit, so
// it runs on the workers; planning and writing stay in order, so that the file system sees
// the same sequence of creations and the same failures whatever the thread count, and every
// result is byte for byte what one thread makes.
//
// Cost of the hand-over. A million small entries must not get slower with threads, so the
// pool keeps the threads from waking one another for nothing: a worker that waits for room
// is woken alone, and only when the unit in hand fits; the writer is woken only when the
// very unit it waits for is done. The state is a ring of slots, one per unit in flight, so
// it does not grow with the number of entries. The planner batches small entries, so the
// hand-over is paid per batch, not per entry.
//
// Memory. Each unit states, before it is handed out, what it will hold until it is written
// (Cost). Units are handed out in order while the costs in flight stay within the budget,
// except that a unit may always go when nothing else is in flight; so memory is bounded by
// the budget plus the largest unit, whatever the number and size of the entries.
#pragma once

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
namespace detail {

template <typename Plan, typename Work>
class OrderedPool {
 public:
  using Unit = typename decltype(std::declval<Plan&>()())::value_type;
  using Result = decltype(std::declval<Work&>()(std::declval<Unit>()));

  OrderedPool(std::size_t workers, std::uint64_t budget, Plan& plan, Work& work)
      : plan_(plan), work_(work), budget_(budget), slots_(4 * workers + 4) {}

  // Worker side: plans and works units until the plan is exhausted or the run stops.
  void Serve() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
      if (stopping_) return;
      if (!pending_ && !exhausted_) PlanNext();
      if (!pending_) return;
      if (!Fits(pending_->Cost)) {
        ++roomWaiters_;
        room_.wait(lock);
        --roomWaiters_;
        continue;
      }
      const std::uint64_t sequence = handedOut_++;
      Slot& slot = SlotOf(sequence);
      slot.Cost = pending_->Cost;
      inFlightCost_ += slot.Cost;
      ++inFlight_;
      std::optional<Unit> unit = std::move(pending_->Value);
      std::exception_ptr planError = std::move(pending_->Error);
      pending_.reset();
      // Another waiting worker may take the next unit if it fits too; it plans it itself.
      if (roomWaiters_ > 0) room_.notify_one();
      lock.unlock();
      std::optional<Result> result;
      std::exception_ptr error = planError;
      if (unit) {
        try {
          result.emplace(work_(std::move(*unit)));
        } catch (...) {
          error = std::current_exception();
        }
      }
      unit.reset();
      lock.lock();
      slot.Value = std::move(result);
      slot.Error = error;
      slot.Done = true;
      if (writerWaits_ && writerWaitsFor_ == sequence) done_.notify_one();
    }
  }

  // Writer side: the next unit's result, in order; nullopt once the plan is exhausted and
  // every unit has been taken. Rethrows what planning or working that unit threw.
  std::optional<Result> Take() {
    std::unique_lock<std::mutex> lock(mutex_);
    const std::uint64_t sequence = taken_;
    for (;;) {
      if (sequence < handedOut_ && SlotOf(sequence).Done) break;
      if (sequence == handedOut_ && exhausted_ && !pending_) return std::nullopt;
      writerWaits_ = true;
      writerWaitsFor_ = sequence;
      done_.wait(lock);
      writerWaits_ = false;
    }
    Slot& slot = SlotOf(sequence);
    ++taken_;
    if (slot.Error) std::rethrow_exception(slot.Error);
    std::optional<Result> result = std::move(slot.Value);
    slot.Value.reset();
    return result;
  }

  // Writer side: the unit last taken has been written; what it held is given back.
  void Release() {
    std::lock_guard<std::mutex> lock(mutex_);
    Slot& slot = SlotOf(taken_ - 1);
    inFlightCost_ -= slot.Cost;
    --inFlight_;
    slot = Slot();
    if (roomWaiters_ > 0 && pending_ && Fits(pending_->Cost)) room_.notify_one();
  }

  void Stop() {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
    room_.notify_all();
    done_.notify_all();
  }

 private:
  struct Slot {
    std::optional<Result> Value;
    std::exception_ptr Error;
    std::uint64_t Cost = 0;
    bool Done = false;
  };
  // The next unit, planned but not yet handed out, or the error its planning threw.
  struct Planned {
    std::optional<Unit> Value;
    std::exception_ptr Error;
    std::uint64_t Cost = 0;
  };

  Slot& SlotOf(std::uint64_t sequence) { return slots_[sequence % slots_.size()]; }

  // Plans the next unit, under the lock, so that units are planned in order. A throw is
  // kept as a unit of its own, thrown at the writer in its turn, and ends the plan.
  void PlanNext() {
    Planned next;
    try {
      std::optional<Unit> unit = plan_();
      if (!unit) {
        exhausted_ = true;
        if (writerWaits_) done_.notify_one();
        return;
      }
      next.Cost = unit->Cost;
      next.Value = std::move(unit);
    } catch (...) {
      next.Error = std::current_exception();
      exhausted_ = true;
    }
    pending_ = std::move(next);
  }

  bool Fits(std::uint64_t cost) const {
    return inFlight_ < slots_.size() && (inFlight_ == 0 || inFlightCost_ + cost <= budget_);
  }

  Plan& plan_;
  Work& work_;
  const std::uint64_t budget_;
  std::vector<Slot> slots_;  // a ring: slot of unit k is k modulo its size
  std::mutex mutex_;
  std::condition_variable room_;  // workers wait here for room for the pending unit
  std::condition_variable done_;  // the writer waits here for the unit it takes next
  std::optional<Planned> pending_;
  std::uint64_t handedOut_ = 0;  // units handed out to workers
  std::uint64_t taken_ = 0;      // units taken by the writer
  std::size_t inFlight_ = 0;     // units handed out and not yet written
  std::uint64_t inFlightCost_ = 0;
  unsigned roomWaiters_ = 0;
  bool writerWaits_ = false;
  std::uint64_t writerWaitsFor_ = 0;
  bool exhausted_ = false;
  bool stopping_ = false;
};

}  // namespace detail

// Runs a mode's units through three steps and returns once every unit has been written:
//   plan() -> std::optional<U>   the next unit in order, or nullopt when there is none;
//                                called by one thread at a time. U::Cost is what the unit
//                                holds, with its result, until it has been written;
//   work(U&&) -> R               on a worker;
//   write(R&&)                   on the calling thread, for the units in planned order.
// Units in flight are held within budget (beyond a single unit, which may always go).
// With threads at 1 everything runs on the calling thread, unit by unit. What plan or work
// throws for a unit is thrown here when that unit's turn to be written comes, as is what
// write throws; the workers are stopped and joined first, and nothing after it is written.
template <typename Plan, typename Work, typename Write>
void RunInOrder(unsigned threads, std::uint64_t budget, Plan plan, Work work, Write write) {
  auto inline_run = [&] {
    while (auto unit = plan()) write(work(std::move(*unit)));
  };
  if (threads <= 1) {
    inline_run();
    return;
  }
  detail::OrderedPool<Plan, Work> pool(threads, budget, plan, work);
  std::vector<std::thread> workers;
  // Stops and joins the workers however the writer leaves, a throw included.
  struct Joiner {
    detail::OrderedPool<Plan, Work>& Pool;
    std::vector<std::thread>& Workers;
    ~Joiner() {
      Pool.Stop();
      for (std::thread& worker : Workers) worker.join();
    }
  } joiner{pool, workers};
  for (unsigned t = 0; t < threads; ++t) {
    try {
      workers.emplace_back([&pool] { pool.Serve(); });
    } catch (const std::system_error&) {
      break;  // fewer threads than asked for; those there are still do every unit
    }
  }
  if (workers.empty()) {
    inline_run();
    return;
  }
  while (auto result = pool.Take()) {
    write(std::move(*result));
    pool.Release();
  }
}

}  // namespace pbo
