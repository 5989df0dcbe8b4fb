// Ordered parallel jobs: result order, the memory budget, cancellation,
// failing and crashing jobs, the staged variant's progress guarantees, and
// the private pool. Scenarios that could hang run many times, each under a
// deadline (rvk_test::within), with random job durations to shake out races.
#include <gtest/gtest.h>
#include <pthread.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <future>
#include <chrono>
#include <cstdio>
#include <memory>
#include <new>
#include <mutex>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "rvk/pipe.hpp"
#include "rvk/pipeline.hpp"
#include "timeout.hpp"

namespace {

using namespace rvk::pipeline;
using rvk::Error;
using rvk::Result;
using rvk_test::within;

struct Job {
  std::uint64_t index = 0;
  std::uint64_t reservation = 0;
  std::uint64_t actual = 0;         // bytes the result will hold
  std::uint32_t micros = 0;         // how long decoding takes
};

// A decoded result: the job's index plus a payload the consumer can check.
struct Out {
  std::uint64_t index = 0;
  std::uint64_t actual = 0;
};

std::unique_ptr<ThreadPool> make_pool(std::size_t n, const std::string& prefix = "rvk-") {
  auto pool = ThreadPool::create(n, prefix);
  if (!pool.ok()) throw std::runtime_error(pool.error().to_string());
  return std::move(pool).value();
}

std::vector<Job> random_jobs(std::size_t n, std::uint64_t reservation, std::mt19937& rng,
                             std::uint32_t max_micros = 300) {
  std::vector<Job> jobs(n);
  for (std::size_t i = 0; i < n; ++i) {
    jobs[i] = {i, reservation, rng() % (reservation + 1), static_cast<std::uint32_t>(rng() % max_micros)};
  }
  return jobs;
}

void pause(std::uint32_t micros) {
  if (micros > 0) std::this_thread::sleep_for(std::chrono::microseconds(micros));
}

// The standard job description; `decode_hook` runs first inside decode.
OrderedJobs<Job, Out> describe(const std::vector<Job>& jobs,
                               std::function<Result<Out>(const Job&)> decode = {}) {
  if (!decode) {
    decode = [](const Job& job) -> Result<Out> {
      pause(job.micros);
      return Out{job.index, job.actual};
    };
  }
  return OrderedJobs<Job, Out>{jobs, [](const Job& j) { return j.reservation; }, std::move(decode),
                               [](const Out& o) { return o.actual; }, [](const Job& j) { return j.index; }};
}

// ----- Budget ---------------------------------------------------------------

TEST(Budget, ClaimsInOrderOnlyWhenTheReservationFits) {
  Budget budget(100);
  const std::vector<std::uint64_t> needs = {60, 40, 1};
  auto need = [&](std::uint64_t i) { return needs[i]; };
  Budget::Claimed c;
  ASSERT_EQ(budget.claim(3, need, c), Budget::ClaimStatus::Claimed);
  EXPECT_EQ(c.position, 0u);
  ASSERT_EQ(budget.claim(3, need, c), Budget::ClaimStatus::Claimed);
  EXPECT_EQ(c.position, 1u);
  EXPECT_EQ(budget.snapshot().in_use, 100u);

  // Job 2 (1 byte) does not fit now; the claim waits until a charge shrinks.
  std::atomic<bool> claimed{false};
  std::thread waiter([&] {
    Budget::Claimed mine;
    EXPECT_EQ(budget.claim(3, need, mine), Budget::ClaimStatus::Claimed);
    EXPECT_EQ(mine.position, 2u);
    claimed = true;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_FALSE(claimed.load());
  budget.complete(60, 10);  // job 0's result holds only 10 bytes
  waiter.join();
  EXPECT_TRUE(claimed.load());
  const auto s = budget.snapshot();
  EXPECT_EQ(s.in_use, 51u);
  EXPECT_EQ(s.outstanding, 3u);
  EXPECT_EQ(s.peak_in_use, 100u);
  // Nothing left to claim.
  EXPECT_EQ(budget.claim(3, need, c), Budget::ClaimStatus::Finished);
}

TEST(Budget, CompleteChargesTheRealSizeAndCountsSaturate) {
  Budget budget(100);
  auto need = [](std::uint64_t) { return std::uint64_t{30}; };
  Budget::Claimed c;
  ASSERT_EQ(budget.claim(2, need, c), Budget::ClaimStatus::Claimed);
  budget.complete(30, 120);  // larger than reserved: charged as it is
  EXPECT_EQ(budget.snapshot().in_use, 120u);
  EXPECT_EQ(budget.snapshot().peak_in_use, 120u);
  // Nothing fits beside it until it is retired.
  std::atomic<bool> claimed{false};
  std::thread waiter([&] {
    Budget::Claimed next;
    EXPECT_EQ(budget.claim(2, need, next), Budget::ClaimStatus::Claimed);
    claimed = true;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_FALSE(claimed.load());
  budget.retire(120);
  waiter.join();
  budget.retire(30);
  budget.retire(5);  // saturates at zero instead of wrapping
  const auto s = budget.snapshot();
  EXPECT_EQ(s.in_use, 0u);
  EXPECT_EQ(s.outstanding, 0u);
}

TEST(Budget, FullLimitJobWaitsForAnEmptyBudget) {
  Budget budget(50);
  const std::vector<std::uint64_t> needs = {1, 50};
  auto need = [&](std::uint64_t i) { return needs[i]; };
  Budget::Claimed c;
  ASSERT_EQ(budget.claim(2, need, c), Budget::ClaimStatus::Claimed);
  std::atomic<bool> claimed{false};
  std::thread waiter([&] {
    Budget::Claimed mine;
    EXPECT_EQ(budget.claim(2, need, mine), Budget::ClaimStatus::Claimed);
    claimed = true;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  budget.complete(1, 1);
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_FALSE(claimed.load()) << "one byte still charged";
  budget.retire(1);
  waiter.join();
  EXPECT_EQ(budget.snapshot().in_use, 50u);
}

TEST(Budget, MaxOutstandingBoundsJobsWhateverTheirSize) {
  Budget budget(1000, 2);
  auto need = [](std::uint64_t) { return std::uint64_t{0}; };
  Budget::Claimed c;
  ASSERT_EQ(budget.claim(5, need, c), Budget::ClaimStatus::Claimed);
  ASSERT_EQ(budget.claim(5, need, c), Budget::ClaimStatus::Claimed);
  std::atomic<bool> claimed{false};
  std::thread waiter([&] {
    Budget::Claimed mine;
    EXPECT_EQ(budget.claim(5, need, mine), Budget::ClaimStatus::Claimed);
    claimed = true;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_FALSE(claimed.load());
  budget.retire(0);
  waiter.join();
}

TEST(Budget, CancelWakesWaitersAndStopsClaims) {
  Budget budget(10);
  auto need = [](std::uint64_t) { return std::uint64_t{10}; };
  Budget::Claimed c;
  ASSERT_EQ(budget.claim(3, need, c), Budget::ClaimStatus::Claimed);
  within(10, [&] {
    std::thread waiter([&] {
      Budget::Claimed mine;
      EXPECT_EQ(budget.claim(3, need, mine), Budget::ClaimStatus::Finished);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    budget.cancel();
    waiter.join();
  });
  EXPECT_EQ(budget.claim(3, need, c), Budget::ClaimStatus::Finished);
  EXPECT_TRUE(budget.cancelled());
}

// ----- run_ordered ----------------------------------------------------------

TEST(RunOrdered, ResultsInJobOrderUnderRandomDurations) {
  std::mt19937 rng(1);
  auto pool = make_pool(8);
  for (int round = 0; round < 40; ++round) {
    const std::size_t n = 1 + rng() % 120;
    const std::uint64_t reservation = 1 + rng() % 50;
    const std::uint64_t limit = reservation * (1 + rng() % 6);
    auto jobs = random_jobs(n, reservation, rng);
    within(30, [&] {
      auto outcome = run_ordered(*pool, describe(jobs), limit, kUnlimited,
                                 [&](OrderedResults<Out>& results) -> Result<std::uint64_t> {
                                   for (std::uint64_t i = 0; i < n; ++i) {
                                     RVK_TRY_ASSIGN(Out out, results.take(i));
                                     EXPECT_EQ(out.index, i);
                                     EXPECT_LE(results.budget().snapshot().in_use, limit);
                                   }
                                   return results.budget().snapshot().peak_in_use;
                                 });
      ASSERT_TRUE(outcome.ok()) << outcome.error().to_string();
      EXPECT_LE(*outcome, limit) << "budget exceeded in round " << round;
    });
  }
}

TEST(RunOrdered, LiveResultsStayWithinBudget) {
  // Independent of the budget's own counters: count the bytes of results that
  // exist (decoded and not yet dropped by the consumer). The consumer holds
  // at most one result beyond the budget: the one it has just taken.
  std::mt19937 rng(2);
  auto pool = make_pool(6);
  for (int round = 0; round < 20; ++round) {
    const std::uint64_t reservation = 100;
    const std::uint64_t limit = 350;
    auto jobs = random_jobs(80, reservation, rng);
    std::atomic<std::int64_t> live{0};
    std::atomic<std::int64_t> peak{0};
    auto decode = [&](const Job& job) -> Result<Out> {
      const auto now = live += static_cast<std::int64_t>(job.reservation);  // room allocated up front
      std::int64_t seen = peak.load();
      while (now > seen && !peak.compare_exchange_weak(seen, now)) {
      }
      pause(job.micros);
      live -= static_cast<std::int64_t>(job.reservation - job.actual);  // shrink to the real size
      return Out{job.index, job.actual};
    };
    within(30, [&] {
      auto outcome = run_ordered(*pool, describe(jobs, decode), limit, kUnlimited,
                                 [&](OrderedResults<Out>& results) -> Result<void> {
                                   for (std::uint64_t i = 0; i < jobs.size(); ++i) {
                                     RVK_TRY_ASSIGN(Out out, results.take(i));
                                     pause(rng() % 100);
                                     live -= static_cast<std::int64_t>(out.actual);
                                   }
                                   return {};
                                 });
      ASSERT_TRUE(outcome.ok());
    });
    EXPECT_LE(peak.load(), static_cast<std::int64_t>(limit + reservation));
    EXPECT_EQ(live.load(), 0);
  }
}

TEST(RunOrdered, OutOfOrderArrivalsWaitInTheMap) {
  // Job 2 finishes first, then 0, then 1 (once the consumer has looked at
  // the map, so that it cannot have arrived already).
  auto pool = make_pool(3);
  std::vector<Job> jobs = {{0, 1, 1, 0}, {1, 1, 1, 0}, {2, 1, 1, 0}};
  std::atomic<int> finished_mask{0};
  auto wait_for = [&](int bit) {
    while ((finished_mask.load() & bit) == 0) std::this_thread::sleep_for(std::chrono::microseconds(50));
  };
  auto decode = [&](const Job& job) -> Result<Out> {
    if (job.index == 0) wait_for(4);
    if (job.index == 1) wait_for(8);
    finished_mask |= 1 << job.index;
    return Out{job.index, 1};
  };
  within(20, [&] {
    auto outcome = run_ordered(*pool, describe(jobs, decode), 10, kUnlimited,
                               [&](OrderedResults<Out>& results) -> Result<void> {
                                 RVK_TRY_ASSIGN(Out first, results.take(0));
                                 EXPECT_EQ(first.index, 0u);
                                 EXPECT_EQ(results.parked(), 1u);  // job 2 waited in the map
                                 finished_mask |= 8;
                                 RVK_TRY_ASSIGN(Out second, results.take(1));
                                 EXPECT_EQ(second.index, 1u);
                                 RVK_TRY_ASSIGN(Out third, results.take(2));
                                 EXPECT_EQ(third.index, 2u);
                                 EXPECT_EQ(results.parked(), 0u);
                                 EXPECT_EQ(results.budget().snapshot().in_use, 0u);
                                 return {};
                               });
    EXPECT_TRUE(outcome.ok());
  });
}

TEST(RunOrdered, EmptyJobList) {
  auto pool = make_pool(2);
  std::vector<Job> none;
  auto own = run_ordered(*pool, describe(none), 10, kUnlimited,
                         [](OrderedResults<Out>&) -> Result<int> { return 7; });
  ASSERT_TRUE(own.ok());
  EXPECT_EQ(*own, 7);
  auto asks = run_ordered(*pool, describe(none), 10, kUnlimited,
                          [](OrderedResults<Out>& r) -> Result<Out> { return r.take(0); });
  ASSERT_FALSE(asks.ok());
  EXPECT_EQ(asks.error().to_string(), "invalid configuration: parallel decoder stopped early");
}

TEST(RunOrdered, ReservationAboveLimitRefusedBeforeAnyWork) {
  auto pool = make_pool(2);
  std::vector<Job> jobs = {{0, 10, 1, 0}, {1, 11, 1, 0}};
  std::atomic<int> decoded{0};
  bool consumed = false;
  auto outcome = run_ordered(
      *pool, describe(jobs, [&](const Job& j) -> Result<Out> { ++decoded; return Out{j.index, 1}; }), 10,
      kUnlimited, [&](OrderedResults<Out>&) -> Result<void> { consumed = true; return {}; });
  ASSERT_FALSE(outcome.ok());
  EXPECT_EQ(outcome.error().to_string(),
            "invalid configuration: a parallel job reservation exceeds the memory limit");
  EXPECT_EQ(decoded.load(), 0);
  EXPECT_FALSE(consumed);

  // Exactly the limit is fine: such a job runs alone.
  jobs[1].reservation = 10;
  auto fits = run_ordered(*pool, describe(jobs), 10, kUnlimited, [&](OrderedResults<Out>& r) -> Result<void> {
    RVK_TRY(r.take(0));
    RVK_TRY(r.take(1));
    return {};
  });
  EXPECT_TRUE(fits.ok());
}

TEST(RunOrdered, DecodeErrorArrivesAtItsTurn) {
  std::mt19937 rng(3);
  auto pool = make_pool(4);
  for (int round = 0; round < 30; ++round) {
    auto jobs = random_jobs(20, 5, rng, 200);
    auto decode = [](const Job& job) -> Result<Out> {
      pause(job.micros);
      if (job.index == 5) return Error::invalid_gzip("job 5 is damaged");
      return Out{job.index, job.actual};
    };
    within(20, [&] {
      std::vector<std::uint64_t> seen;
      auto outcome = run_ordered(*pool, describe(jobs, decode), 20, kUnlimited,
                                 [&](OrderedResults<Out>& results) -> Result<void> {
                                   for (std::uint64_t i = 0; i < jobs.size(); ++i) {
                                     RVK_TRY_ASSIGN(Out out, results.take(i));
                                     seen.push_back(out.index);
                                   }
                                   return {};
                                 });
      ASSERT_FALSE(outcome.ok());
      EXPECT_EQ(outcome.error().to_string(), "invalid gzip stream: job 5 is damaged");
      EXPECT_EQ(seen, (std::vector<std::uint64_t>{0, 1, 2, 3, 4}));
    });
  }
}

TEST(RunOrdered, ConsumerStoppingEarlyEndsEveryWorker) {
  std::mt19937 rng(4);
  auto pool = make_pool(6);
  for (int round = 0; round < 30; ++round) {
    auto jobs = random_jobs(100, 10, rng, 400);
    std::atomic<int> started{0};
    std::atomic<int> running{0};
    auto decode = [&](const Job& job) -> Result<Out> {
      ++started;
      ++running;
      pause(job.micros);
      --running;
      return Out{job.index, job.reservation};  // results keep their whole charge
    };
    within(20, [&] {
      auto outcome = run_ordered(*pool, describe(jobs, decode), 40, kUnlimited,
                                 [&](OrderedResults<Out>& results) -> Result<void> {
                                   for (std::uint64_t i = 0; i <= 3; ++i) RVK_TRY(results.take(i));
                                   return Error::invalid_lz4("consumer gave up");
                                 });
      ASSERT_FALSE(outcome.ok());
      EXPECT_EQ(outcome.error().to_string(), "invalid LZ4 frame: consumer gave up");
    });
    // Every worker's loop has ended when the run returns, and the budget
    // (4 results of 10 bytes) kept the pool from racing through the list.
    EXPECT_EQ(running.load(), 0);
    EXPECT_LE(started.load(), 4 + 4 + 6);
  }
  // The pool is still usable afterwards.
  std::vector<Job> jobs(3);
  for (std::uint64_t i = 0; i < 3; ++i) jobs[i] = {i, 1, 1, 0};
  auto again = run_ordered(*pool, describe(jobs), 10, kUnlimited, [](OrderedResults<Out>& r) -> Result<void> {
    for (std::uint64_t i = 0; i < 3; ++i) RVK_TRY(r.take(i));
    return {};
  });
  EXPECT_TRUE(again.ok());
}

TEST(RunOrdered, DroppedConsumerWhileWorkersWaitForBudget) {
  // The consumer takes nothing: workers fill the budget and wait; returning
  // must wake and end them all.
  auto pool = make_pool(8);
  std::mt19937 rng(5);
  for (int round = 0; round < 50; ++round) {
    auto jobs = random_jobs(64, 10, rng, 50);
    for (auto& j : jobs) j.actual = 10;
    within(20, [&] {
      auto outcome = run_ordered(*pool, describe(jobs), 30, kUnlimited, [&](OrderedResults<Out>& r) -> Result<int> {
        pause(rng() % 300);
        return 1;
      });
      ASSERT_TRUE(outcome.ok());
    });
  }
}

TEST(RunOrdered, DiscardBeforeReleasesParkedResults) {
  auto pool = make_pool(1);  // one worker sends in list order: 0..8 arrive before 9
  std::vector<Job> jobs(10);
  for (std::uint64_t i = 0; i < 10; ++i) jobs[i] = {i, 10, 10, 0};
  within(20, [&] {
    auto outcome = run_ordered(*pool, describe(jobs), 100, kUnlimited, [&](OrderedResults<Out>& r) -> Result<void> {
      RVK_TRY_ASSIGN(Out last, r.take(9));  // everything before 9 is parked now
      EXPECT_EQ(last.index, 9u);
      EXPECT_EQ(r.parked(), 9u);
      EXPECT_EQ(r.budget().snapshot().in_use, 90u);
      r.discard_before(6);
      EXPECT_EQ(r.parked(), 3u);
      EXPECT_EQ(r.budget().snapshot().in_use, 30u);
      RVK_TRY_ASSIGN(Out six, r.take(6));
      EXPECT_EQ(six.index, 6u);
      return {};
    });
    EXPECT_TRUE(outcome.ok());
  });
}

// The bzip2 assembly discards below each block it accepts while thousands of
// small results wait: each result must be looked at a bounded number of
// times, not once per accepted block (which made many streams quadratic).
TEST(RunOrdered, DiscardingAlongTheChainLooksAtEachResultOnce) {
  auto pool = make_pool(1);
  constexpr std::uint64_t n = 4000;
  std::vector<Job> jobs(n);
  for (std::uint64_t i = 0; i < n; ++i) jobs[i] = {i, 10, 1, 0};
  within(60, [&] {
    auto outcome = run_ordered(*pool, describe(jobs), 100000, kUnlimited, [&](OrderedResults<Out>& r) -> Result<void> {
      RVK_TRY(r.take(n - 1));  // every other result waits now
      for (std::uint64_t i = 0; i + 1 < n; i += 2) {
        RVK_TRY_ASSIGN(Out got, r.take(i));
        EXPECT_EQ(got.index, i);
        r.discard_before(i + 2);  // i + 1 was a false hit inside block i
      }
      EXPECT_EQ(r.parked(), 0u);
      EXPECT_LE(r.examined(), 3 * n) << "results examined for " << n / 2 << " accepted blocks";
      return {};
    });
    EXPECT_TRUE(outcome.ok());
  });
}

// A result arriving for an index already discarded is released at once, even
// while the consumer waits for a later one, and never waits in the map.
TEST(RunOrdered, ResultsBelowADiscardAreReleasedOnArrival) {
  auto pool = make_pool(1);  // jobs run and arrive in list order
  std::vector<Job> jobs(3);
  for (std::uint64_t i = 0; i < 3; ++i) jobs[i] = {i, 10, 7, 0};
  std::promise<void> go;
  std::shared_future<void> started = go.get_future().share();
  auto decode = [&](const Job& job) -> Result<Out> {
    if (job.index == 1) started.wait();
    return Out{job.index, job.actual};
  };
  within(20, [&] {
    auto outcome = run_ordered(*pool, describe(jobs, decode), 100, kUnlimited, [&](OrderedResults<Out>& r) -> Result<void> {
      RVK_TRY(r.take(0));
      r.discard_before(2);  // job 1 is still running
      go.set_value();
      RVK_TRY(r.take(2));   // job 1 arrives first
      EXPECT_EQ(r.parked(), 0u);
      EXPECT_EQ(r.budget().snapshot().in_use, 0u);
      EXPECT_EQ(r.budget().snapshot().outstanding, 0u);
      return {};
    });
    EXPECT_TRUE(outcome.ok());
  });
}

// A worker whose loop ends abnormally (an exception escaping decode) leaves
// its charge and its index behind. The run must fail, not hang, even when the
// budget is so small that the others would wait for that charge forever.
TEST(RunOrdered, CrashingWorkerFailsTheRunWithoutHanging) {
  std::mt19937 rng(6);
  auto pool = make_pool(4);
  for (int round = 0; round < 40; ++round) {
    auto jobs = random_jobs(30, 10, rng, 200);
    for (auto& j : jobs) j.actual = 10;
    auto decode = [](const Job& job) -> Result<Out> {
      pause(job.micros);
      if (job.index == 5) rvk::panic("broken invariant in job 5");
      return Out{job.index, job.actual};
    };
    within(20, [&] {
      auto outcome = run_ordered(*pool, describe(jobs, decode), 20, kUnlimited,
                                 [&](OrderedResults<Out>& results) -> Result<void> {
                                   for (std::uint64_t i = 0; i < jobs.size(); ++i) RVK_TRY(results.take(i));
                                   return {};
                                 });
      ASSERT_FALSE(outcome.ok());
      EXPECT_EQ(outcome.error().to_string(), "invalid configuration: parallel decoder worker panicked");
    });
  }
}

// A result taken with a hold stays charged while its bytes are in the pipe:
// the chunk the reader holds and the one handed over count, and the workers
// wait for that memory. Everything the decoder holds is in the budget, so its
// peak never passes the limit.
TEST(RunOrdered, ResultsStayChargedWhileTheirBytesAreInThePipe) {
  auto pool = make_pool(4);
  std::vector<Job> jobs(10);
  for (std::uint64_t i = 0; i < jobs.size(); ++i) jobs[i] = {i, 40, 40, 0};
  auto [writer, reader] = rvk::output::make_pipe();
  std::atomic<Budget*> budget{nullptr};
  std::promise<void> gate;
  std::promise<void> first_read;
  rvk::output::Bytes got;
  std::thread reading([&, r = std::move(reader)]() mutable {
    std::uint8_t byte[1];
    ASSERT_EQ(r.read(byte), 1u);  // holds chunk 0
    got.push_back(byte[0]);
    first_read.set_value();
    gate.get_future().wait();
    for (;;) {
      const std::size_t n = r.read(byte);
      if (n == 0) break;
      got.push_back(byte[0]);
    }
  });
  within(20, [&] {
    std::thread check([&] {
      first_read.get_future().wait();
      // Chunk 0 with the reader, chunk 1 waiting in the hand-over: 80 of
      // 100 charged, so job 2 (40 more) is not claimed.
      std::this_thread::sleep_for(std::chrono::milliseconds(30));
      const auto snap = budget.load()->snapshot();
      EXPECT_EQ(snap.in_use, 80u);
      EXPECT_EQ(snap.next, 2u);
      gate.set_value();
    });
    auto outcome = run_ordered(*pool, describe(jobs), 100, kUnlimited, [&](OrderedResults<Out>& r) -> Result<void> {
      budget = &r.budget();
      for (std::uint64_t i = 0; i < jobs.size(); ++i) {
        std::shared_ptr<void> hold;
        RVK_TRY_ASSIGN(Out out, r.take(i, &hold));
        RVK_TRY(writer.send(rvk::output::Bytes(out.actual, static_cast<std::uint8_t>(i)), 0, std::move(hold)));
      }
      EXPECT_LE(r.budget().snapshot().peak_in_use, 100u);
      return {};
    });
    writer.close();
    check.join();
    ASSERT_TRUE(outcome.ok()) << outcome.error().to_string();
  });
  reading.join();
  ASSERT_EQ(got.size(), 400u);
  for (std::size_t i = 0; i < got.size(); ++i) EXPECT_EQ(got[i], i / 40);
}

TEST(RunOrdered, CrashOverridesASuccessfulConsumer) {
  auto pool = make_pool(3);
  std::vector<Job> jobs(6);
  for (std::uint64_t i = 0; i < 6; ++i) jobs[i] = {i, 1, 1, 0};
  std::atomic<bool> crashed{false};
  auto decode = [&](const Job& job) -> Result<Out> {
    if (job.index == 4) {
      crashed = true;
      throw std::runtime_error("boom");
    }
    return Out{job.index, 1};
  };
  within(20, [&] {
    auto outcome = run_ordered(*pool, describe(jobs, decode), 100, kUnlimited, [&](OrderedResults<Out>& r) -> Result<int> {
      RVK_TRY(r.take(0));
      while (!crashed.load()) std::this_thread::sleep_for(std::chrono::microseconds(100));
      return 1;
    });
    ASSERT_FALSE(outcome.ok());
    EXPECT_EQ(outcome.error().to_string(), "invalid configuration: parallel decoder worker panicked");
  });
}

// ----- run_staged_ordered ---------------------------------------------------

using Staged = StagedResults<Out, Out, std::uint64_t>;

StagedJobs<Job, Out, Out, std::uint64_t> describe_staged(const std::vector<Job>& jobs,
                                                         std::function<Result<std::uint64_t>(Out&)> resolve) {
  return {jobs,
          [](const Job& j) { return j.reservation; },
          [](const Job& job) -> Result<Out> {
            pause(job.micros);
            return Out{job.index, job.actual};
          },
          [](const Out& o) { return o.actual; },
          [](const Job& j) { return j.index; },
          std::move(resolve)};
}

// The consumer pattern of the parallel DEFLATE decoder: take stage-one
// results in order, submit each, keep at most `window` tasks outstanding,
// and take stage-two results in order.
Result<std::uint64_t> staged_consumer(Staged& r, std::size_t n, std::size_t window, std::uint64_t limit) {
  std::uint64_t next_stage = 0;
  std::uint64_t sum = 0;
  for (std::uint64_t k = 0; k < n; ++k) {
    RVK_TRY_ASSIGN(auto one, r.take(k));
    if (!one.result.ok()) return std::move(one.result).error();
    RVK_TRY(r.submit(k, one.charged, one.result.value()));
    if (k + 1 - next_stage >= window) {
      RVK_TRY_ASSIGN(std::uint64_t v, r.take_stage(next_stage));
      if (v != next_stage * 3) return Error::invalid_configuration("stage two out of order");
      sum += v;
      ++next_stage;
    }
    if (r.budget().snapshot().in_use > limit) return Error::invalid_configuration("over budget");
  }
  for (; next_stage < n; ++next_stage) {
    RVK_TRY_ASSIGN(std::uint64_t v, r.take_stage(next_stage));
    if (v != next_stage * 3) return Error::invalid_configuration("stage two out of order");
    sum += v;
  }
  return sum;
}

TEST(RunStaged, NoDeadlockWithFullBudgetAndPendingSecondStage) {
  // Results keep their whole reservation until their second stage has run,
  // so the budget is full whenever the consumer hands work over: only a
  // second-stage task that wakes a waiting worker lets the run go on.
  std::mt19937 rng(7);
  for (int round = 0; round < 60; ++round) {
    const std::size_t threads = 1 + rng() % 4;
    auto pool = make_pool(threads);
    const std::size_t n = 1 + rng() % 60;
    const std::uint64_t reservation = 10;
    const std::uint64_t limit = reservation * (1 + rng() % 3);
    auto jobs = random_jobs(n, reservation, rng, 200);
    for (auto& j : jobs) j.actual = reservation;
    const std::size_t window = 1 + rng() % (threads + 1);
    auto resolve = [](Out& o) -> Result<std::uint64_t> {
      thread_local std::mt19937 local(static_cast<unsigned>(o.index));
      pause(local() % 50);
      return o.index * 3;
    };
    within(30, [&] {
      auto outcome = run_staged_ordered(*pool, describe_staged(jobs, resolve), limit, 2 * (threads + 2),
                                        [&](Staged& r) { return staged_consumer(r, n, window, limit); });
      ASSERT_TRUE(outcome.ok()) << outcome.error().to_string() << " round " << round;
      EXPECT_EQ(*outcome, 3 * n * (n - 1) / 2);
    }, "staged run with a full budget");
  }
}

TEST(RunStaged, SecondStageRunsBeforeNewFirstStageJobs) {
  // One worker: once a task is handed over, the worker finishes at most the
  // job it is decoding and then resolves the task before claiming another.
  auto pool = make_pool(1);
  std::vector<Job> jobs(30);
  for (std::uint64_t i = 0; i < 30; ++i) jobs[i] = {i, 1, 1, 500};
  std::mutex log_mutex;
  std::vector<std::string> log;
  auto note = [&](std::string entry) {
    std::lock_guard lock(log_mutex);
    log.push_back(std::move(entry));
  };
  StagedJobs<Job, Out, Out, std::uint64_t> spec{
      jobs, [](const Job& j) { return j.reservation; },
      [&](const Job& job) -> Result<Out> {
        note("decode");
        pause(job.micros);
        return Out{job.index, 1};
      },
      [](const Out& o) { return o.actual; }, {},
      [&](Out& o) -> Result<std::uint64_t> {
        note("resolve");
        return o.index;
      }};
  within(20, [&] {
    auto outcome = run_staged_ordered(*pool, spec, 1000, kUnlimited, [&](Staged& r) -> Result<void> {
      RVK_TRY_ASSIGN(auto one, r.take(0));
      note("submit");
      RVK_TRY(r.submit(0, one.charged, one.result.value()));
      RVK_TRY_ASSIGN(std::uint64_t v, r.take_stage(0));
      EXPECT_EQ(v, 0u);
      return {};
    });
    ASSERT_TRUE(outcome.ok());
  });
  std::size_t submit_at = 0;
  std::size_t resolve_at = 0;
  for (std::size_t i = 0; i < log.size(); ++i) {
    if (log[i] == "submit") submit_at = i;
    if (log[i] == "resolve") resolve_at = i;
  }
  ASSERT_GT(resolve_at, submit_at);
  EXPECT_LE(resolve_at - submit_at, 2u) << "the worker claimed new jobs before the handed-over task";
}

TEST(RunStaged, RejectedResultsAreRetiredByTheConsumer) {
  auto pool = make_pool(2);
  std::vector<Job> jobs(12);
  for (std::uint64_t i = 0; i < 12; ++i) jobs[i] = {i, 10, 10, 100};
  within(20, [&] {
    auto outcome = run_staged_ordered(
        *pool, describe_staged(jobs, [](Out& o) -> Result<std::uint64_t> { return o.index; }), 20, kUnlimited,
        [&](Staged& r) -> Result<void> {
          for (std::uint64_t k = 0; k < jobs.size(); ++k) {
            RVK_TRY_ASSIGN(auto one, r.take(k));
            if (k % 2 == 0) {
              r.retire(one.charged);  // rejected: nothing goes to stage two
            } else {
              RVK_TRY(r.submit(k, one.charged, one.result.value()));
              RVK_TRY_ASSIGN(std::uint64_t v, r.take_stage(k));
              EXPECT_EQ(v, k);
            }
          }
          return {};
        });
    EXPECT_TRUE(outcome.ok());
  });
}

TEST(RunStaged, ConsumerStoppingEarlyWithPendingTasksEndsEveryWorker) {
  std::mt19937 rng(10);
  for (int round = 0; round < 40; ++round) {
    auto pool = make_pool(1 + rng() % 4);
    auto jobs = random_jobs(40, 10, rng, 200);
    for (auto& j : jobs) j.actual = 10;
    std::atomic<int> resolving{0};
    auto resolve = [&](Out& o) -> Result<std::uint64_t> {
      ++resolving;
      pause(100);
      --resolving;
      return o.index;
    };
    const std::uint64_t stop_at = rng() % 10;
    within(20, [&] {
      auto outcome = run_staged_ordered(*pool, describe_staged(jobs, resolve), 30, kUnlimited,
                                        [&](Staged& r) -> Result<void> {
                                          for (std::uint64_t k = 0; k <= stop_at; ++k) {
                                            RVK_TRY_ASSIGN(auto one, r.take(k));
                                            RVK_TRY(r.submit(k, one.charged, one.result.value()));
                                          }
                                          // Leaves with tasks queued and the budget full.
                                          return Error::invalid_gzip("gave up");
                                        });
      ASSERT_FALSE(outcome.ok());
      EXPECT_EQ(outcome.error().to_string(), "invalid gzip stream: gave up");
    });
    EXPECT_EQ(resolving.load(), 0);
  }
}

TEST(RunStaged, CrashInEitherStageFailsTheRun) {
  std::mt19937 rng(8);
  for (int round = 0; round < 20; ++round) {
    auto pool = make_pool(3);
    auto jobs = random_jobs(20, 10, rng, 100);
    for (auto& j : jobs) j.actual = 10;
    const bool crash_in_resolve = round % 2 == 0;
    StagedJobs<Job, Out, Out, std::uint64_t> spec = describe_staged(jobs, [&](Out& o) -> Result<std::uint64_t> {
      if (crash_in_resolve && o.index == 7) throw std::runtime_error("resolve crashed");
      return o.index * 3;
    });
    if (!crash_in_resolve) {
      spec.decode = [](const Job& job) -> Result<Out> {
        if (job.index == 7) throw std::runtime_error("decode crashed");
        return Out{job.index, job.actual};
      };
    }
    within(20, [&] {
      auto outcome = run_staged_ordered(*pool, spec, 20, kUnlimited,
                                        [&](Staged& r) { return staged_consumer(r, jobs.size(), 2, 20); });
      ASSERT_FALSE(outcome.ok());
      EXPECT_EQ(outcome.error().to_string(), "invalid configuration: parallel decoder worker panicked");
    });
  }
}

// An allocation failure in a job is that job's result, "out of memory", and
// reaches the consumer like any decode error: never "worker panicked", which
// would read as a fault of the decoder, nor a message about the input.
TEST(Pipelines, AnAllocationFailureInAJobIsReportedAsOutOfMemory) {
  auto pool = make_pool(4);
  std::vector<Job> jobs(12);
  for (std::uint64_t i = 0; i < jobs.size(); ++i) jobs[i] = {i, 10, 10, 0};
  for (const bool staged : {false, true}) {
    auto decode = [](const Job& job) -> Result<Out> {
      if (job.index == 5) throw std::bad_alloc();
      return Out{job.index, job.actual};
    };
    within(20, [&] {
      std::uint64_t taken = 0;
      Result<void> outcome;
      if (!staged) {
        outcome = run_ordered(*pool, describe(jobs, decode), 30, kUnlimited, [&](OrderedResults<Out>& r) -> Result<void> {
          for (std::uint64_t i = 0; i < jobs.size(); ++i, ++taken) RVK_TRY(r.take(i));
          return {};
        });
      } else {
        auto spec = describe_staged(jobs, [](Out& o) -> Result<std::uint64_t> { return o.index; });
        spec.decode = decode;
        outcome = run_staged_ordered(*pool, spec, 30, kUnlimited, [&](Staged& r) -> Result<void> {
          for (std::uint64_t i = 0; i < jobs.size(); ++i, ++taken) {
            RVK_TRY_ASSIGN(auto one, r.take(i));
            r.retire(one.charged);
            RVK_TRY(std::move(one.result));
          }
          return {};
        });
      }
      ASSERT_FALSE(outcome.ok());
      EXPECT_EQ(outcome.error().to_string(), "out of memory");
      EXPECT_EQ(outcome.error().io_cause()->kind, rvk::error::IoKind::OutOfMemory);
      EXPECT_EQ(taken, 5u) << "jobs 0 to 4 come first";
    });
  }
}

// ----- ThreadPool -----------------------------------------------------------

TEST(ThreadPool, NamesItsThreadsAndBroadcastsOncePerWorker) {
  auto pool = make_pool(4, "rvk-lz4-");
  std::mutex mutex;
  std::multiset<std::string> names;
  std::multiset<std::size_t> workers;
  EXPECT_TRUE(pool->broadcast([&](std::size_t worker) {
    char name[16] = {};
    pthread_getname_np(pthread_self(), name, sizeof name);
    std::lock_guard lock(mutex);
    names.insert(name);
    workers.insert(worker);
  }));
  EXPECT_EQ(names, (std::multiset<std::string>{"rvk-lz4-0", "rvk-lz4-1", "rvk-lz4-2", "rvk-lz4-3"}));
  EXPECT_EQ(workers, (std::multiset<std::size_t>{0, 1, 2, 3}));
}

TEST(ThreadPool, BroadcastReportsAnAbnormalEndAndThePoolSurvives) {
  auto pool = make_pool(3);
  EXPECT_FALSE(pool->broadcast([](std::size_t worker) {
    if (worker == 1) throw std::runtime_error("worker 1 failed");
  }));
  std::atomic<int> ran{0};
  EXPECT_TRUE(pool->broadcast([&](std::size_t) { ++ran; }));
  EXPECT_EQ(ran.load(), 3);
}

TEST(ThreadPool, MapKeepsIndexOrder) {
  auto pool = make_pool(5);
  std::mt19937 rng(9);
  auto squares = pool->map(200, [&](std::size_t i) {
    pause(static_cast<std::uint32_t>(i * 7919 % 97));
    return i * i;
  });
  ASSERT_TRUE(squares.ok());
  ASSERT_EQ(squares->size(), 200u);
  for (std::size_t i = 0; i < 200; ++i) EXPECT_EQ((*squares)[i], i * i);
  auto failed = pool->map(10, [](std::size_t i) -> int {
    if (i == 3) throw std::runtime_error("x");
    return 0;
  });
  ASSERT_FALSE(failed.ok());
  EXPECT_EQ(failed.error().to_string(), "invalid configuration: parallel decoder worker panicked");
  auto no_memory = pool->map(10, [](std::size_t i) -> int {
    if (i == 3) throw std::bad_alloc();
    return 0;
  });
  ASSERT_FALSE(no_memory.ok());
  EXPECT_EQ(no_memory.error().to_string(), "out of memory");
}

std::size_t thread_count();

// A cap on the process's threads: the pool goes on with the threads it got,
// and only a pool without any fails, saying why.
TEST(ThreadPool, ThreadsTheSystemRefusesLeaveASmallerPool) {
  const std::size_t running = thread_count();
  pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    // RLIMIT_NPROC counts every thread of the user; run as root it is not
    // enforced, so the child asks for it through a thread cap the kernel
    // always applies: the address space left for stacks.
    struct rlimit cap {};
    ::getrlimit(RLIMIT_AS, &cap);
    std::FILE* status = std::fopen("/proc/self/status", "r");
    char line[256];
    unsigned long vm_kb = 0;
    while (status && std::fgets(line, sizeof line, status)) std::sscanf(line, "VmSize: %lu kB", &vm_kb);
    if (status) std::fclose(status);
    // Room for about three 8 MiB stacks and their guard pages.
    cap.rlim_cur = cap.rlim_max = (vm_kb << 10) + (28u << 20);
    if (::setrlimit(RLIMIT_AS, &cap) != 0) std::_Exit(10);
    // The decoders ask for no more threads than that room affords.
    if (rvk::pipeline::worker_count(16) != 1 || rvk::pipeline::affordable_threads() != 0) std::_Exit(16);
    auto pool = rvk::pipeline::ThreadPool::create(16);
    if (!pool.ok()) std::_Exit(11);
    const std::size_t size = (*pool)->size();
    if (size == 0 || size >= 16) std::_Exit(12);
    std::atomic<std::size_t> ran{0};
    if (!(*pool)->broadcast([&](std::size_t) { ++ran; }) || ran != size) std::_Exit(13);
    // No room for even one more thread: the refusal says what failed.
    std::vector<std::unique_ptr<rvk::pipeline::ThreadPool>> hold;
    for (int i = 0; i < 64; ++i) {
      auto more = rvk::pipeline::ThreadPool::create(4);
      if (!more.ok()) {
        const std::string text = more.error().to_string();
        std::_Exit(text.rfind("could not start decoder threads: ", 0) == 0 ? 0 : 14);
      }
      hold.push_back(std::move(more).value());
    }
    std::_Exit(15);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_EQ(thread_count(), running);
}

std::size_t thread_count() {
  std::size_t n = 0;
  for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/task")) ++n;
  return n;
}

TEST(ThreadPool, DestroyingThePoolEndsItsThreads) {
  const std::size_t before = thread_count();
  {
    auto pool = make_pool(7);
    EXPECT_EQ(thread_count(), before + 7);
  }
  EXPECT_EQ(thread_count(), before);
}

TEST(WorkerCount, ZeroMeansProcessorsAndHugeValuesAreClamped) {
  EXPECT_EQ(worker_count(0), std::min<std::size_t>(online_processors(), kMaxThreads));
  EXPECT_LE(worker_count(0, 4), 4u);
  EXPECT_GE(worker_count(0, 4), 1u);
  EXPECT_EQ(worker_count(1), 1u);
  EXPECT_EQ(worker_count(12), 12u);
  EXPECT_EQ(worker_count(1000000), kMaxThreads);
  EXPECT_EQ(worker_count(~std::uint64_t{0}), kMaxThreads);
  auto pool = ThreadPool::create(5000);
  ASSERT_TRUE(pool.ok());
  EXPECT_EQ((*pool)->size(), kMaxThreads);
}

}  // namespace
