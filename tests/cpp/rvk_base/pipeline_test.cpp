// Ordered parallel jobs: ordering, budget, cancellation, failures, staging.
#include <gtest/gtest.h>

#include <numeric>
#include <vector>

#include "rvk/pipeline.hpp"

namespace {

using namespace rvk::pipeline;
using rvk::Error;
using rvk::Result;

struct Job {
  std::uint64_t index;
  std::uint64_t reservation;
};

std::unique_ptr<ThreadPool> make_pool(std::size_t n) {
  auto pool = ThreadPool::create(n);
  EXPECT_TRUE(pool.ok());
  return std::move(pool).value();
}

TEST(RunOrdered, Smoke) {
  auto pool = make_pool(4);
  std::vector<Job> jobs;
  for (std::uint64_t i = 0; i < 50; ++i) jobs.push_back({i, 10});
  OrderedJobs<Job, std::uint64_t> spec{jobs, [](const Job& j) { return j.reservation; },
                                       [](const Job& j) -> Result<std::uint64_t> { return j.index * 2; },
                                       [](const std::uint64_t&) { return std::uint64_t{1}; }, {}};
  auto out = run_ordered(*pool, spec, 100, kUnlimited, [](OrderedResults<std::uint64_t>& r) -> Result<std::uint64_t> {
    std::uint64_t sum = 0;
    for (std::uint64_t i = 0; i < 50; ++i) {
      auto v = r.take(i);
      if (!v.ok()) return std::move(v).error();
      sum += *v;
    }
    return sum;
  });
  ASSERT_TRUE(out.ok());
  EXPECT_EQ(*out, 2450u);
}

TEST(RunStaged, Smoke) {
  auto pool = make_pool(3);
  std::vector<Job> jobs;
  for (std::uint64_t i = 0; i < 20; ++i) jobs.push_back({i, 10});
  StagedJobs<Job, std::uint64_t, std::uint64_t, std::uint64_t> spec{
      jobs, [](const Job& j) { return j.reservation; },
      [](const Job& j) -> Result<std::uint64_t> { return j.index; }, {}, {},
      [](std::uint64_t& t) -> Result<std::uint64_t> { return t * 10; }};
  using SR = StagedResults<std::uint64_t, std::uint64_t, std::uint64_t>;
  auto out = run_staged_ordered(*pool, spec, 30, 6, [](SR& r) -> Result<std::uint64_t> {
    std::uint64_t sum = 0;
    for (std::uint64_t i = 0; i < 20; ++i) {
      auto one = r.take(i);
      if (!one.ok()) return std::move(one).error();
      RVK_TRY(r.submit(i, one->charged, *one->result));
      auto two = r.take_stage(i);
      if (!two.ok()) return std::move(two).error();
      sum += *two;
    }
    return sum;
  });
  ASSERT_TRUE(out.ok()) << out.error().to_string();
  EXPECT_EQ(*out, 1900u);
}

}  // namespace
