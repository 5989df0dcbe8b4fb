// The private worker pool of the parallel decoders.
//
// Plain named threads, each with its own queue of broadcasts: a broadcast is
// one function that every worker runs exactly once, which is all the ordered
// pipelines need (each worker runs the claim loop once) and makes parallel
// maps a few lines (ThreadPool::map). Workers sleep on one condition variable
// while their queue is empty. An exception escaping a broadcast function is
// caught on the worker, which stays alive; the broadcast then reports that a
// call ended abnormally.
#include <pthread.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <exception>
#include <new>
#include <optional>
#include <system_error>
#include <thread>

#include "rvk/pipeline.hpp"

namespace rvk::pipeline {

std::size_t online_processors() noexcept {
  const long count = ::sysconf(_SC_NPROCESSORS_ONLN);
  return count > 0 ? static_cast<std::size_t>(count) : 1;
}

std::uint64_t affordable_threads() noexcept {
  struct rlimit cap {};
  if (::getrlimit(RLIMIT_AS, &cap) != 0 || cap.rlim_cur == RLIM_INFINITY) return kMaxThreads;
  unsigned long long used = 0;
  if (std::FILE* status = std::fopen("/proc/self/status", "r")) {
    char line[256];
    while (std::fgets(line, sizeof line, status)) {
      if (std::sscanf(line, "VmSize: %llu kB", &used) == 1) break;
    }
    std::fclose(status);
  }
  used <<= 10;
  const std::uint64_t room = cap.rlim_cur > used ? cap.rlim_cur - used : 0;
  struct rlimit stack {};
  std::uint64_t stack_size = 8u << 20;
  if (::getrlimit(RLIMIT_STACK, &stack) == 0 && stack.rlim_cur != RLIM_INFINITY) stack_size = stack.rlim_cur;
  return room / 2 / (stack_size + (64u << 20));
}

std::size_t worker_count(std::uint64_t threads, std::uint64_t auto_cap) noexcept {
  std::uint64_t count = threads;
  if (count == 0) count = std::min<std::uint64_t>(online_processors(), std::max<std::uint64_t>(auto_cap, 1));
  count = std::min(count, affordable_threads());
  return static_cast<std::size_t>(std::clamp<std::uint64_t>(count, 1, kMaxThreads));
}

void prepare_thread() noexcept {
  try {
    throw std::exception();
  } catch (const std::exception&) {
  }
}

namespace detail {

struct BroadcastState {
  std::function<void(std::size_t)> fn;
  std::mutex mutex;
  std::condition_variable cv;
  std::size_t remaining = 0;  // workers that have not yet run fn; guarded by mutex
  // How the calls ended; guarded by mutex. An exception other than an
  // allocation failure outweighs one.
  BroadcastOutcome outcome = BroadcastOutcome::Ok;

  void finished(BroadcastOutcome how) {
    std::lock_guard lock(mutex);
    if (static_cast<int>(how) > static_cast<int>(outcome)) outcome = how;
    if (--remaining == 0) cv.notify_all();
  }
};

struct PoolState {
  std::mutex mutex;
  std::condition_variable cv;
  // One queue per worker; guarded by mutex.
  std::vector<std::deque<std::shared_ptr<BroadcastState>>> queues;
  bool stopping = false;  // guarded by mutex
  std::vector<std::thread> threads;

  void run(std::size_t worker) {
    prepare_thread();
    for (;;) {
      std::shared_ptr<BroadcastState> job;
      {
        std::unique_lock lock(mutex);
        cv.wait(lock, [&] { return stopping || !queues[worker].empty(); });
        if (queues[worker].empty()) return;  // stopping with nothing left
        job = std::move(queues[worker].front());
        queues[worker].pop_front();
      }
      BroadcastOutcome how = BroadcastOutcome::Ok;
      try {
        job->fn(worker);
      } catch (const std::bad_alloc&) {
        how = BroadcastOutcome::OutOfMemory;
      } catch (...) {
        how = BroadcastOutcome::Panicked;
      }
      job->finished(how);
    }
  }

  void stop_and_join() {
    {
      std::lock_guard lock(mutex);
      stopping = true;
    }
    cv.notify_all();
    for (auto& thread : threads) {
      if (thread.joinable()) thread.join();
    }
    threads.clear();
  }
};

}  // namespace detail

// ----- Broadcast ------------------------------------------------------------

Broadcast& Broadcast::operator=(Broadcast&& other) noexcept {
  if (this != &other) {
    wait();
    state_ = std::move(other.state_);
    outcome_ = other.outcome_;
  }
  return *this;
}

Broadcast::~Broadcast() { wait(); }

bool Broadcast::wait() { return outcome() == BroadcastOutcome::Ok; }

BroadcastOutcome Broadcast::outcome() {
  if (outcome_) return *outcome_;
  if (!state_) return BroadcastOutcome::Ok;
  std::unique_lock lock(state_->mutex);
  state_->cv.wait(lock, [&] { return state_->remaining == 0; });
  outcome_ = state_->outcome;
  lock.unlock();
  state_.reset();  // releases the function and what it captured
  return *outcome_;
}

Error Broadcast::failure(BroadcastOutcome outcome) {
  if (outcome == BroadcastOutcome::OutOfMemory) return Error::out_of_memory();
  return Error::invalid_configuration(kWorkerPanicked);
}

// ----- ThreadPool -----------------------------------------------------------

Result<std::unique_ptr<ThreadPool>> ThreadPool::create(std::size_t threads, const std::string& name_prefix) {
  const std::size_t count = std::clamp<std::size_t>(threads, 1, kMaxThreads);
  std::unique_ptr<ThreadPool> pool(new ThreadPool());
  pool->state_ = std::make_shared<detail::PoolState>();
  detail::PoolState& state = *pool->state_;
  state.queues.resize(count);  // only the first threads.size() are used
  state.threads.reserve(count);
  for (std::size_t i = 0; i < count; ++i) {
    // A thread the system refuses (no memory for its stack, a cap on
    // threads) leaves the pool smaller; only a pool without any fails.
    std::optional<Error> refused;
    try {
      state.threads.emplace_back([&state, i] { state.run(i); });
    } catch (const std::system_error& e) {
      const error::IoError cause = error::IoError::from_errno(e.code().value());
      refused = Error::io(cause.kind, "could not start decoder threads: " + cause.message);
    } catch (const std::bad_alloc&) {
      refused = Error::out_of_memory();
    }
    if (refused) {
      if (i > 0) break;
      state.stop_and_join();
      return std::move(*refused);
    }
    // Linux limits thread names to 15 bytes; cut rather than fail.
    std::string name = name_prefix + std::to_string(i);
    if (name.size() > 15) name.resize(15);
    ::pthread_setname_np(state.threads.back().native_handle(), name.c_str());
  }
  return pool;
}

ThreadPool::~ThreadPool() {
  if (state_) state_->stop_and_join();
}

std::size_t ThreadPool::size() const noexcept { return state_->threads.size(); }

Broadcast ThreadPool::broadcast_async(std::function<void(std::size_t)> fn) {
  auto job = std::make_shared<detail::BroadcastState>();
  job->fn = std::move(fn);
  job->remaining = state_->threads.size();
  {
    std::lock_guard lock(state_->mutex);
    for (std::size_t i = 0; i < state_->threads.size(); ++i) state_->queues[i].push_back(job);
  }
  state_->cv.notify_all();
  return Broadcast(std::move(job));
}

// ----- Budget ---------------------------------------------------------------

namespace {
std::uint64_t saturating_add(std::uint64_t a, std::uint64_t b) {
  const std::uint64_t sum = a + b;
  return sum < a ? std::numeric_limits<std::uint64_t>::max() : sum;
}
std::uint64_t saturating_sub(std::uint64_t a, std::uint64_t b) { return a > b ? a - b : 0; }
}  // namespace

void Budget::complete(std::uint64_t reserved, std::uint64_t actual) {
  {
    std::lock_guard lock(mutex_);
    in_use_ = saturating_add(saturating_sub(in_use_, reserved), actual);
    peak_in_use_ = std::max(peak_in_use_, in_use_);
  }
  cv_.notify_all();
}

void Budget::retire(std::uint64_t bytes) {
  {
    std::lock_guard lock(mutex_);
    in_use_ = saturating_sub(in_use_, bytes);
    outstanding_ = saturating_sub(outstanding_, 1);
  }
  cv_.notify_all();
}

void Budget::cancel() {
  {
    std::lock_guard lock(mutex_);
    cancelled_ = true;
  }
  cv_.notify_all();
}

bool Budget::cancelled() const {
  std::lock_guard lock(mutex_);
  return cancelled_;
}

Budget::Snapshot Budget::snapshot() const {
  std::lock_guard lock(mutex_);
  return Snapshot{next_, in_use_, outstanding_, cancelled_, peak_in_use_};
}

Budget::ClaimStatus Budget::claim(std::uint64_t job_count,
                                  const std::function<std::uint64_t(std::uint64_t)>& need, Claimed& out,
                                  const std::function<bool()>& priority,
                                  const std::function<bool()>& linger) {
  std::unique_lock lock(mutex_);
  for (;;) {
    if (cancelled_) return ClaimStatus::Finished;
    if (priority && priority()) return ClaimStatus::Priority;
    if (next_ < job_count) {
      if (outstanding_ < max_outstanding_) {
        const std::uint64_t want = need(next_);
        if (want <= saturating_sub(limit_, in_use_)) {
          out.position = next_;
          out.need = want;
          ++next_;
          in_use_ = saturating_add(in_use_, want);
          peak_in_use_ = std::max(peak_in_use_, in_use_);
          outstanding_ = saturating_add(outstanding_, 1);
          return ClaimStatus::Claimed;
        }
      }
    } else if (!linger || !linger()) {
      return ClaimStatus::Finished;
    }
    cv_.wait(lock);
  }
}

}  // namespace rvk::pipeline
