// Ordered parallel jobs under a memory budget, on a private named pool.
//
// The parallel decoders cut their input into independent jobs (bzip2 block
// candidates, LZ4 blocks, DEFLATE segments), decode them on worker threads and
// must hand the results to one consumer in job order while the memory held by
// decoded-but-unconsumed results stays under a limit. The pieces:
//
// - `ThreadPool`: a private pool of named threads ("rvk-0", "rvk-lz4-3", ...)
//   that can broadcast a function to every worker and run ordered maps. Idle
//   workers sleep on a condition variable; nothing busy-waits.
// - `Budget`: one mutex-guarded byte counter with a condition variable. A
//   worker claims the next job (strictly in list order) only when the job's
//   whole reservation fits beside everything already charged; when the job
//   ends its charge shrinks to what the result really holds, and the consumer
//   retires it when it takes the result.
// - `run_ordered`: workers claim, decode and send results over an unbounded
//   channel; the consumer takes them by job index through `OrderedResults`,
//   out-of-order arrivals waiting in a reorder map.
// - `run_staged_ordered`: the same with a second stage. The consumer turns
//   stage-one results into stage-two tasks that the same workers run; a task
//   takes priority over claiming a new stage-one job and handing one over
//   wakes a worker waiting for budget, so a full budget can always drain.
//
// Failure policy: a job's error is an ordinary result. A worker loop that
// ends abnormally (an exception escaping decode: a violated invariant or an
// allocation failure) cancels the budget at once so no worker waits for the
// charge it leaves behind; the channel closes when the other workers have
// ended, the consumer sees "parallel decoder stopped early" if it still waits,
// and the run's outcome becomes "parallel decoder worker panicked" whatever the
// consumer returned. When the consumer returns (in any way) the run is
// cancelled and every worker has ended before run_* returns.
#pragma once

#include <algorithm>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <exception>
#include <functional>
#include <limits>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <span>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "rvk/result.hpp"

namespace rvk::pipeline {

// ---------------------------------------------------------------------------
// Worker counts

// The most worker threads any pool starts: a typo in RVK_NUM_THREADS must not
// start a million threads.
inline constexpr std::uint64_t kMaxThreads = 1024;
// No cap on jobs between claim and retirement.
inline constexpr std::uint64_t kUnlimited = std::numeric_limits<std::uint64_t>::max();

// Online processors as sysconf reports them; 1 when it cannot tell.
std::size_t online_processors() noexcept;

// The threads the address space has room for under a cap on it (RLIMIT_AS):
// each needs its stack and the 64 MiB the C library reserves for a thread's
// heap, and at most half of the room left goes to them: beyond it the
// threads' own memory would fail the run with MemoryError where fewer
// threads finish it. kMaxThreads without a cap.
std::uint64_t affordable_threads() noexcept;

// The worker count for a configured `threads`: 0 means online processors,
// capped at `auto_cap` (the LZ4 path uses 4); then no more than the address
// space affords; the result is clamped to [1, kMaxThreads] (1: serial).
std::size_t worker_count(std::uint64_t threads, std::uint64_t auto_cap = kMaxThreads) noexcept;

// Called first on every thread the decoders start. A thread's first
// exception allocates its C++ runtime's thread-local data, and when the
// library was loaded after the program started that allocation is lazy and
// its failure ends the process; done now, before the decode takes memory, an
// allocation failure later is an ordinary std::bad_alloc.
void prepare_thread() noexcept;

// ---------------------------------------------------------------------------
// Thread pool

namespace detail {
struct PoolState;
struct BroadcastState;
}  // namespace detail

// How the calls of one broadcast ended: all normally, one with an
// allocation failure (std::bad_alloc), or one with any other exception.
enum class BroadcastOutcome { Ok = 0, OutOfMemory = 1, Panicked = 2 };

// A handle on one broadcast: `wait` blocks until every worker has run the
// function and tells whether all of them returned normally. The destructor
// waits too, so a broadcast never outlives the data its function refers to.
class Broadcast {
 public:
  Broadcast() = default;
  explicit Broadcast(std::shared_ptr<detail::BroadcastState> state) : state_(std::move(state)) {}
  Broadcast(Broadcast&&) noexcept = default;
  Broadcast& operator=(Broadcast&&) noexcept;
  ~Broadcast();

  // True when every worker's call returned without an exception. Idempotent.
  bool wait();
  // The same, telling an allocation failure from other exceptions.
  BroadcastOutcome outcome();
  // The error of a failed outcome: Io OutOfMemory "out of memory", or
  // InvalidConfiguration "parallel decoder worker panicked".
  static Error failure(BroadcastOutcome outcome);

 private:
  std::shared_ptr<detail::BroadcastState> state_;
  std::optional<BroadcastOutcome> outcome_;
};

class ThreadPool {
 public:
  // Starts `threads` workers (clamped to [1, kMaxThreads]) named
  // `name_prefix` followed by the worker index ("rvk-0"; names longer than
  // the platform's 15 characters are cut). When the system refuses a thread
  // the pool keeps the ones already running (size() tells how many); when
  // it refuses the first, the error is Io "could not start decoder threads:
  // {system error}" (or "out of memory").
  static Result<std::unique_ptr<ThreadPool>> create(std::size_t threads,
                                                    const std::string& name_prefix = "rvk-");
  ~ThreadPool();  // waits for queued broadcasts, then stops and joins
  ThreadPool(const ThreadPool&) = delete;
  ThreadPool& operator=(const ThreadPool&) = delete;

  std::size_t size() const noexcept;

  // Queues `fn(worker_index)` once on every worker and returns at once.
  // Must not be called from a worker of this pool (it would wait on itself).
  Broadcast broadcast_async(std::function<void(std::size_t)> fn);
  // The same, waiting; true when every call returned normally.
  bool broadcast(std::function<void(std::size_t)> fn) { return broadcast_async(std::move(fn)).wait(); }

  // Calls fn(i) for i in [0, n) on the workers (each index once, any worker)
  // and returns the results in index order. std::bad_alloc escaping fn gives
  // "out of memory", any other exception InvalidConfiguration "parallel
  // decoder worker panicked".
  template <class F>
  auto map(std::size_t n, F&& fn) -> Result<std::vector<std::invoke_result_t<F&, std::size_t>>>;

 private:
  ThreadPool() = default;
  std::shared_ptr<detail::PoolState> state_;
};

// ---------------------------------------------------------------------------
// Budget

// The shared memory budget of one run. All counts are unsigned 64-bit;
// subtraction saturates at 0, addition at the largest value.
class Budget {
 public:
  explicit Budget(std::uint64_t limit, std::uint64_t max_outstanding = kUnlimited) noexcept
      : limit_(limit), max_outstanding_(max_outstanding) {}
  Budget(const Budget&) = delete;
  Budget& operator=(const Budget&) = delete;

  // A finished job is charged what its result really holds: its charge
  // changes from `reserved` to `actual` (even above the reservation, so that
  // the count is true; later claims then wait). Wakes all waiters.
  void complete(std::uint64_t reserved, std::uint64_t actual);
  // The consumer has taken (or dropped) a result charged `bytes`: in_use -=
  // bytes, outstanding -= 1. Wakes all waiters.
  void retire(std::uint64_t bytes);
  // No job is claimed after this; waiting workers wake and end. Idempotent.
  void cancel();
  bool cancelled() const;

  std::uint64_t limit() const noexcept { return limit_; }
  std::uint64_t max_outstanding() const noexcept { return max_outstanding_; }

  struct Snapshot {
    std::uint64_t next = 0;         // list position of the next job to claim
    std::uint64_t in_use = 0;       // bytes charged now
    std::uint64_t outstanding = 0;  // jobs claimed and not retired
    bool cancelled = false;
    std::uint64_t peak_in_use = 0;  // highest in_use ever seen (diagnostics, tests)
  };
  Snapshot snapshot() const;

  // --- for the pipelines' worker loops -----------------------------------

  struct Claimed {
    std::uint64_t position = 0;  // place of the job in the list
    std::uint64_t need = 0;      // its reservation, now charged
  };
  enum class ClaimStatus { Claimed, Priority, Finished };

  // Claims the next of `job_count` jobs for a worker, waiting on the
  // condition variable while `need(position)` does not fit under the limit or
  // `max_outstanding` jobs are out. Before every attempt and after every
  // wake-up, under the mutex: a cancelled budget gives Finished; then
  // `priority` (if given) is called and, when it returns true, the call
  // returns Priority without claiming (the callback may move the priority
  // work out, as it runs under the mutex). With every job claimed the call
  // returns Finished unless `linger` (if given) returns true, in which case it
  // keeps waiting for priority work.
  ClaimStatus claim(std::uint64_t job_count, const std::function<std::uint64_t(std::uint64_t)>& need,
                    Claimed& out, const std::function<bool()>& priority = {},
                    const std::function<bool()>& linger = {});

  // Runs `fn` under the budget mutex and then wakes all waiters: how the
  // staged pipeline hands over work that `priority` / `linger` look at.
  template <class F>
  decltype(auto) locked_then_notify(F&& fn) {
    struct Notify {
      Budget* b;
      ~Notify() { b->cv_.notify_all(); }
    } notify{this};
    std::lock_guard lock(mutex_);
    return fn();
  }

 private:
  mutable std::mutex mutex_;
  std::condition_variable cv_;
  std::uint64_t next_ = 0;
  std::uint64_t in_use_ = 0;
  std::uint64_t outstanding_ = 0;
  std::uint64_t peak_in_use_ = 0;
  bool cancelled_ = false;
  const std::uint64_t limit_;
  const std::uint64_t max_outstanding_;
};

// The pipeline's own error texts (all InvalidConfiguration).
inline constexpr const char* kReservationTooLarge = "a parallel job reservation exceeds the memory limit";
inline constexpr const char* kStoppedEarly = "parallel decoder stopped early";
inline constexpr const char* kWorkerPanicked = "parallel decoder worker panicked";
inline constexpr const char* kStagedStoppedEarly = "parallel staged worker stopped early";
inline constexpr const char* kStagedNotSubmitted =
    "parallel decoder stopped before staged work was submitted";

// ---------------------------------------------------------------------------
// Job descriptions

// What the pipeline needs to know of the caller's jobs. The functions run on
// the workers and must only read the job and read-only shared data.
template <class Job, class Output>
struct OrderedJobs {
  std::span<const Job> jobs;  // in index order; must outlive the run
  // The most bytes the job's result may hold (charged before it runs).
  std::function<std::uint64_t(const Job&)> reservation;
  // Decodes one job; an error is an ordinary result.
  std::function<Result<Output>(const Job&)> decode;
  // Bytes a decoded result holds (charged until the consumer takes it, or
  // longer with a hold). Empty: 0.
  std::function<std::uint64_t(const Output&)> measure;
  // The index the consumer asks for; empty: the job's position in `jobs`.
  std::function<std::uint64_t(const Job&)> index;
};

// The same with the second stage: `resolve` runs a task the consumer built
// from a stage-one result.
template <class Job, class Output, class Task, class Output2>
struct StagedJobs {
  std::span<const Job> jobs;
  std::function<std::uint64_t(const Job&)> reservation;
  std::function<Result<Output>(const Job&)> decode;
  std::function<std::uint64_t(const Output&)> measure;
  std::function<std::uint64_t(const Job&)> index;
  std::function<Result<Output2>(Task&)> resolve;
};

// A stage-one result as the staged consumer receives it: still charged
// `charged` bytes until it is retired (directly, or after its stage-two task).
template <class Output>
struct StageOne {
  std::uint64_t charged = 0;
  Result<Output> result;
};

namespace detail {

// An unbounded multi-producer channel of messages tagged by job index, closed
// when its last sender is gone; the receiver parks out-of-order messages in
// index order. Below the highest index discarded so far (the floor) nothing
// is wanted any more: such a message is released as it arrives, through
// `release` (which returns its charge), so each message is looked at a
// bounded number of times however many wait and however often the consumer
// discards.
template <class Message>
class OrderedChannel {
 public:
  explicit OrderedChannel(std::size_t senders, std::function<void(Message&)> release = {})
      : senders_(senders), release_(std::move(release)) {}

  // False (message dropped by the caller) when the receiver has gone.
  bool send(std::uint64_t index, Message&& message) {
    std::lock_guard lock(mutex_);
    if (receiver_gone_) return false;
    queue_.emplace_back(index, std::move(message));
    cv_.notify_one();
    return true;
  }
  void sender_done() {
    std::lock_guard lock(mutex_);
    if (senders_ > 0) --senders_;
    cv_.notify_all();
  }
  // Waits until the message of `index` arrives (parking others); nullopt when
  // every sender has gone first. Consumer thread only.
  std::optional<Message> take(std::uint64_t index) {
    for (;;) {
      if (auto it = parked_.find(index); it != parked_.end()) {
        Message m = std::move(it->second);
        parked_.erase(it);
        return m;
      }
      std::deque<std::pair<std::uint64_t, Message>> arrived;
      {
        std::unique_lock lock(mutex_);
        cv_.wait(lock, [&] { return !queue_.empty() || senders_ == 0; });
        if (queue_.empty()) return std::nullopt;
        arrived.swap(queue_);
      }
      park(arrived);
    }
  }
  // Moves every message that has arrived into the reorder map.
  void drain_arrived() {
    std::deque<std::pair<std::uint64_t, Message>> arrived;
    {
      std::lock_guard lock(mutex_);
      arrived.swap(queue_);
    }
    park(arrived);
  }
  // Raises the floor to `index`: releases the parked messages below it and
  // every later arrival below it.
  void discard_before(std::uint64_t index) {
    floor_ = std::max(floor_, index);
    drain_arrived();
    while (!parked_.empty() && parked_.begin()->first < floor_) {
      ++examined_;
      if (release_) release_(parked_.begin()->second);
      parked_.erase(parked_.begin());
    }
  }
  std::size_t parked() const { return parked_.size(); }
  // Messages the consumer has looked at so far: what discarding costs.
  std::uint64_t examined() const { return examined_; }
  // The receiver has gone: later sends fail; queued and parked messages are
  // released without being retired, each outside the lock. One at a time:
  // this runs as a run unwinds, where allocating a queue to move them into
  // could fail with nobody to report it to.
  void close_receiver() {
    std::unique_lock lock(mutex_);
    receiver_gone_ = true;
    while (!queue_.empty()) {
      {
        std::pair<std::uint64_t, Message> dropped = std::move(queue_.front());
        queue_.pop_front();
        lock.unlock();
      }
      lock.lock();
    }
    lock.unlock();
    parked_.clear();
  }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  std::deque<std::pair<std::uint64_t, Message>> queue_;  // guarded by mutex_
  std::size_t senders_;                                  // guarded by mutex_
  bool receiver_gone_ = false;                           // guarded by mutex_
  // Parks arrived messages, releasing those below the floor. Consumer only.
  void park(std::deque<std::pair<std::uint64_t, Message>>& arrived) {
    for (auto& [i, m] : arrived) {
      ++examined_;
      if (i < floor_) {
        if (release_) release_(m);
      } else {
        parked_.insert_or_assign(i, std::move(m));
      }
    }
  }

  const std::function<void(Message&)> release_;
  // Consumer thread only:
  std::map<std::uint64_t, Message> parked_;
  std::uint64_t floor_ = 0;
  std::uint64_t examined_ = 0;  // messages looked at (parked, released, matched)
};

template <class Output>
struct Charged {
  std::uint64_t charged = 0;
  Result<Output> result;
};

// Ends a worker's share of a run: the channel loses a sender, and an abnormal
// end (an exception leaving the loop) cancels the budget so nobody waits for
// the charge the worker leaves behind.
template <class Close>
struct WorkerExit {
  Budget& budget;
  Close close;
  int uncaught = std::uncaught_exceptions();
  ~WorkerExit() {
    if (std::uncaught_exceptions() > uncaught) budget.cancel();
    close();
  }
};

template <class Job>
Result<void> check_reservations(std::span<const Job> jobs,
                                const std::function<std::uint64_t(const Job&)>& reservation,
                                std::uint64_t limit) {
  for (const Job& job : jobs) {
    if (reservation(job) > limit) return Error::invalid_configuration(kReservationTooLarge);
  }
  return {};
}

// A job's decode, an allocation failure in it being its result ("out of
// memory") like any decode error, so that the run reports it as such and the
// worker goes on.
template <class F, class Job>
auto decode_guarded(const F& decode, Job& job) -> decltype(decode(job)) {
  try {
    return decode(job);
  } catch (const std::bad_alloc&) {
    return Error::out_of_memory();
  }
}

template <class Job>
std::uint64_t index_of(const std::function<std::uint64_t(const Job&)>& index, std::span<const Job> jobs,
                       std::uint64_t position) {
  return index ? index(jobs[position]) : position;
}

}  // namespace detail

// ---------------------------------------------------------------------------
// Ordered results

// The consumer's end of a run_ordered run. Used by the consumer thread only.
template <class Output>
class OrderedResults {
 public:
  OrderedResults(std::shared_ptr<Budget> budget, detail::OrderedChannel<detail::Charged<Output>>& channel)
      : budget_(std::move(budget)), channel_(channel) {}

  // The result of the job with `index` (its decode error included), once it
  // has arrived; its charge is retired before it is returned. Fails with
  // "parallel decoder stopped early" when every worker ended without it.
  // With `hold`, a decoded result stays charged: *hold receives a token that
  // retires the charge when its last holder lets go (the consumer hands it
  // on with the bytes, to whoever holds them last), safe to outlive the run.
  Result<Output> take(std::uint64_t index, std::shared_ptr<void>* hold = nullptr) {
    auto message = channel_.take(index);
    if (!message) return Error::invalid_configuration(kStoppedEarly);
    if (hold != nullptr && message->result.ok()) {
      const std::uint64_t charged = message->charged;
      *hold = std::shared_ptr<void>(nullptr, [budget = budget_, charged](void*) { budget->retire(charged); });
    } else {
      budget_->retire(message->charged);
    }
    return std::move(message->result);
  }

  // Releases every result for an index below `index` and retires its
  // charge, those already arrived now, later ones as they arrive.
  void discard_before(std::uint64_t index) { channel_.discard_before(index); }

  // Results waiting in the reorder map (not counting unread arrivals).
  std::size_t parked() const { return channel_.parked(); }
  std::uint64_t examined() const { return channel_.examined(); }
  Budget& budget() { return *budget_; }

 private:
  std::shared_ptr<Budget> budget_;
  detail::OrderedChannel<detail::Charged<Output>>& channel_;
};

// Runs `jobs.decode` on every job on the pool's workers under a budget of
// `limit` bytes with at most `max_outstanding` jobs between claim and
// retirement, and calls `consume(OrderedResults<Output>&)` on the calling
// thread; returns what consume returns (a Result). Errors of its own
// (InvalidConfiguration): a reservation above `limit` (checked before any
// work starts), "parallel decoder worker panicked" when a worker loop ended
// abnormally (replacing consume's outcome). Every worker has finished its part
// of the run when this returns; the pool can be reused.
template <class Job, class Output, class Consume>
auto run_ordered(ThreadPool& pool, const OrderedJobs<Job, Output>& jobs, std::uint64_t limit,
                 std::uint64_t max_outstanding, Consume&& consume)
    -> std::invoke_result_t<Consume&, OrderedResults<Output>&> {
  using Out = std::invoke_result_t<Consume&, OrderedResults<Output>&>;
  RVK_TRY(detail::check_reservations(jobs.jobs, jobs.reservation, limit));

  // Shared: a result's hold may outlive the run.
  const auto shared_budget = std::make_shared<Budget>(limit, max_outstanding);
  Budget& budget = *shared_budget;
  detail::OrderedChannel<detail::Charged<Output>> channel(
      pool.size(), [&budget](detail::Charged<Output>& m) { budget.retire(m.charged); });
  const std::uint64_t job_count = jobs.jobs.size();
  const std::function<std::uint64_t(std::uint64_t)> need = [&](std::uint64_t position) {
    return jobs.reservation(jobs.jobs[position]);
  };

  auto worker = [&](std::size_t) {
    auto close = [&] { channel.sender_done(); };
    detail::WorkerExit<decltype(close)> exit{budget, close};
    Budget::Claimed claimed;
    while (budget.claim(job_count, need, claimed) == Budget::ClaimStatus::Claimed) {
      const Job& job = jobs.jobs[claimed.position];
      Result<Output> result = detail::decode_guarded(jobs.decode, job);
      std::uint64_t actual = 0;
      if (result.ok() && jobs.measure) actual = jobs.measure(result.value());
      budget.complete(claimed.need, actual);
      const std::uint64_t index = detail::index_of(jobs.index, jobs.jobs, claimed.position);
      if (!channel.send(index, detail::Charged<Output>{actual, std::move(result)})) {
        budget.retire(actual);
        return;
      }
    }
  };

  BroadcastOutcome workers = BroadcastOutcome::Ok;
  std::optional<Out> outcome;
  {
    Broadcast run = pool.broadcast_async(worker);
    // Whatever way consume leaves, the receiver goes, the budget is cancelled
    // and the workers are waited for before the locals above disappear.
    struct Finish {
      detail::OrderedChannel<detail::Charged<Output>>& channel;
      Budget& budget;
      Broadcast& run;
      BroadcastOutcome& how;
      ~Finish() {
        channel.close_receiver();
        budget.cancel();
        how = run.outcome();
      }
    } finish{channel, budget, run, workers};
    OrderedResults<Output> results(shared_budget, channel);
    outcome.emplace(consume(results));
  }
  if (workers != BroadcastOutcome::Ok) return Broadcast::failure(workers);
  return std::move(*outcome);
}

// ---------------------------------------------------------------------------
// Staged results

template <class Output, class Task, class Output2>
class StagedResults;

namespace detail {

template <class Task>
struct StagedTask {
  std::uint64_t index = 0;
  std::uint64_t charged = 0;
  Task task;
};

// The state the staged consumer and workers share besides the channels.
// `tasks` and `tasks_closed` are guarded by the budget's mutex so that a
// hand-over and the workers' budget wait cannot miss each other.
template <class Task>
struct StagedQueue {
  std::deque<StagedTask<Task>> tasks;
  bool tasks_closed = false;  // consumer gone: no further tasks
  std::size_t workers_alive = 0;
};

}  // namespace detail

// The consumer's end of a run_staged_ordered run. Consumer thread only.
template <class Output, class Task, class Output2>
class StagedResults {
 public:
  StagedResults(Budget& budget, detail::OrderedChannel<detail::Charged<Output>>& stage1,
                detail::OrderedChannel<Result<Output2>>& stage2, detail::StagedQueue<Task>& queue)
      : budget_(budget), stage1_(stage1), stage2_(stage2), queue_(queue) {}

  // The stage-one result of job `index` with its charge, which stays booked:
  // the consumer either submits it (retired after its stage-two task ran) or
  // retires it itself. Fails with "parallel decoder stopped early".
  Result<StageOne<Output>> take(std::uint64_t index) {
    auto message = stage1_.take(index);
    if (!message) return Error::invalid_configuration(kStoppedEarly);
    return StageOne<Output>{message->charged, std::move(message->result)};
  }

  // Hands `task` to the workers; it runs before any new stage-one job, and
  // `charged` is retired when it has run. Fails with "parallel decoder stopped
  // before staged work was submitted" when every worker has ended.
  Result<void> submit(std::uint64_t index, std::uint64_t charged, Task task) {
    const bool accepted = budget_.locked_then_notify([&] {
      if (queue_.workers_alive == 0 || queue_.tasks_closed) return false;
      queue_.tasks.push_back(detail::StagedTask<Task>{index, charged, std::move(task)});
      return true;
    });
    if (!accepted) {
      budget_.retire(charged);
      return Error::invalid_configuration(kStagedNotSubmitted);
    }
    return {};
  }

  // The stage-two result of the task submitted with `index`. Fails with
  // "parallel staged worker stopped early" when every worker ended first.
  Result<Output2> take_stage(std::uint64_t index) {
    auto message = stage2_.take(index);
    if (!message) return Error::invalid_configuration(kStagedStoppedEarly);
    return std::move(*message);
  }

  // Returns a stage-one charge the consumer will not submit.
  void retire(std::uint64_t charged) { budget_.retire(charged); }
  Budget& budget() { return budget_; }

 private:
  Budget& budget_;
  detail::OrderedChannel<detail::Charged<Output>>& stage1_;
  detail::OrderedChannel<Result<Output2>>& stage2_;
  detail::StagedQueue<Task>& queue_;
};

// Two ordered stages on the pool's workers. Stage one works like
// run_ordered; the consumer takes stage-one results in its own order, submits
// stage-two tasks and takes their results by index. Workers run a pending
// stage-two task before claiming a new stage-one job, wake for a task even
// while they wait for budget, and stay available for tasks until the
// consumer returns. A task's charge is retired when it has run. Errors as
// run_ordered, plus those of StagedResults.
template <class Job, class Output, class Task, class Output2, class Consume>
auto run_staged_ordered(ThreadPool& pool, const StagedJobs<Job, Output, Task, Output2>& jobs,
                        std::uint64_t limit, std::uint64_t max_outstanding, Consume&& consume)
    -> std::invoke_result_t<Consume&, StagedResults<Output, Task, Output2>&> {
  using Out = std::invoke_result_t<Consume&, StagedResults<Output, Task, Output2>&>;
  RVK_TRY(detail::check_reservations(jobs.jobs, jobs.reservation, limit));

  Budget budget(limit, max_outstanding);
  detail::OrderedChannel<detail::Charged<Output>> stage1(pool.size());
  detail::OrderedChannel<Result<Output2>> stage2(pool.size());
  detail::StagedQueue<Task> queue;
  queue.workers_alive = pool.size();
  const std::uint64_t job_count = jobs.jobs.size();
  const std::function<std::uint64_t(std::uint64_t)> need = [&](std::uint64_t position) {
    return jobs.reservation(jobs.jobs[position]);
  };

  auto worker = [&](std::size_t) {
    auto close = [&] {
      budget.locked_then_notify([&] { --queue.workers_alive; });
      stage1.sender_done();
      stage2.sender_done();
    };
    detail::WorkerExit<decltype(close)> exit{budget, close};
    std::optional<detail::StagedTask<Task>> task;
    // Both run under the budget mutex inside claim.
    const std::function<bool()> priority = [&] {
      if (queue.tasks.empty()) return false;
      task.emplace(std::move(queue.tasks.front()));
      queue.tasks.pop_front();
      return true;
    };
    const std::function<bool()> linger = [&] { return !queue.tasks_closed; };
    for (;;) {
      Budget::Claimed claimed;
      const auto status = budget.claim(job_count, need, claimed, priority, linger);
      if (status == Budget::ClaimStatus::Finished) return;
      if (status == Budget::ClaimStatus::Priority) {
        Result<Output2> resolved = detail::decode_guarded(jobs.resolve, task->task);
        const std::uint64_t index = task->index;
        const std::uint64_t charged = task->charged;
        task.reset();
        budget.retire(charged);
        stage2.send(index, std::move(resolved));  // a gone consumer drops it
        continue;
      }
      const Job& job = jobs.jobs[claimed.position];
      Result<Output> result = detail::decode_guarded(jobs.decode, job);
      std::uint64_t actual = 0;
      if (result.ok() && jobs.measure) actual = jobs.measure(result.value());
      budget.complete(claimed.need, actual);
      const std::uint64_t index = detail::index_of(jobs.index, jobs.jobs, claimed.position);
      if (!stage1.send(index, detail::Charged<Output>{actual, std::move(result)})) {
        budget.retire(actual);  // the consumer is gone: no further tasks either
        return;
      }
    }
  };

  BroadcastOutcome workers = BroadcastOutcome::Ok;
  std::optional<Out> outcome;
  {
    Broadcast run = pool.broadcast_async(worker);
    struct Finish {
      detail::OrderedChannel<detail::Charged<Output>>& stage1;
      detail::OrderedChannel<Result<Output2>>& stage2;
      detail::StagedQueue<Task>& queue;
      Budget& budget;
      Broadcast& run;
      BroadcastOutcome& how;
      ~Finish() {
        stage1.close_receiver();
        stage2.close_receiver();
        // Each task released outside the lock, one at a time, as above.
        for (bool more = true; more;) {
          std::optional<detail::StagedTask<Task>> dropped;
          more = budget.locked_then_notify([&] {
            queue.tasks_closed = true;
            if (queue.tasks.empty()) return false;
            dropped.emplace(std::move(queue.tasks.front()));
            queue.tasks.pop_front();
            return true;
          });
        }
        budget.cancel();
        how = run.outcome();
      }
    } finish{stage1, stage2, queue, budget, run, workers};
    StagedResults<Output, Task, Output2> results(budget, stage1, stage2, queue);
    outcome.emplace(consume(results));
  }
  if (workers != BroadcastOutcome::Ok) return Broadcast::failure(workers);
  return std::move(*outcome);
}

// ---------------------------------------------------------------------------
// ThreadPool::map

template <class F>
auto ThreadPool::map(std::size_t n, F&& fn) -> Result<std::vector<std::invoke_result_t<F&, std::size_t>>> {
  using R = std::invoke_result_t<F&, std::size_t>;
  std::vector<std::optional<R>> slots(n);
  std::mutex mutex;
  std::size_t next = 0;
  const BroadcastOutcome how = broadcast_async([&](std::size_t) {
                                 for (;;) {
                                   std::size_t i;
                                   {
                                     std::lock_guard lock(mutex);
                                     if (next >= n) return;
                                     i = next++;
                                   }
                                   slots[i].emplace(fn(i));
                                 }
                               }).outcome();
  if (how != BroadcastOutcome::Ok) return Broadcast::failure(how);
  std::vector<R> out;
  out.reserve(n);
  for (auto& slot : slots) out.push_back(std::move(*slot));
  return out;
}

}  // namespace rvk::pipeline
