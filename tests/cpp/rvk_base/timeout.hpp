// Runs a concurrency scenario under a deadline: a hang is the fault these
// tests look for, so it must fail the test run instead of freezing it.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <thread>

namespace rvk_test {

// Runs `fn` on its own thread and waits at most `seconds` for it. On a
// timeout the process ends at once with a message: the hung threads cannot be
// stopped, and waiting for them would hang the whole test executable.
template <class F>
void within(int seconds, F&& fn, const char* what = "scenario") {
  std::packaged_task<void()> task(std::forward<F>(fn));
  auto done = task.get_future();
  std::thread runner(std::move(task));
  if (done.wait_for(std::chrono::seconds(seconds)) != std::future_status::ready) {
    std::fprintf(stderr, "HANG: %s did not finish within %d s\n", what, seconds);
    std::fflush(stderr);
    std::_Exit(3);
  }
  runner.join();
  done.get();  // rethrows a failure of fn
}

}  // namespace rvk_test
