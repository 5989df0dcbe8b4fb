// The shared worker pool: one per process, created on first use, one thread
// per available CPU. Page conversion and the dataset stages run their
// per-item maps on it; results go into per-index slots, so the output keeps
// the input's order whatever the scheduling.
#pragma once

#include <cstddef>
#include <functional>

#include <tbb/parallel_for.h>
#include <tbb/task_arena.h>

namespace corpuswright::pool {

// The process-wide arena; created on the first call, kept until exit.
tbb::task_arena& shared();

// Makes the calling thread's exception-handling and thread-local data, once
// per thread; the pool does it for each of its threads as it enters.
void prepare_thread() noexcept;

// Calls f(i) for every i in [0, n) on the shared pool and returns when all
// are done. With one item it runs on the caller's thread. f must not throw.
template <class F>
void for_each_index(std::size_t n, F&& f) {
    if (n == 0) return;
    if (n == 1) {
        f(std::size_t{0});
        return;
    }
    shared().execute([&] {
        tbb::parallel_for(tbb::blocked_range<std::size_t>(0, n, 1), [&](const tbb::blocked_range<std::size_t>& r) {
            for (std::size_t i = r.begin(); i != r.end(); ++i) f(i);
        });
    });
}

}  // namespace corpuswright::pool
