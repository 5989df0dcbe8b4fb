// The shared pool is a oneTBB arena sized to the CPUs this process may use
// (affinity masks and cgroup limits included, as oneTBB reports them).
#include "corpuswright/pool.hpp"

#include <sys/resource.h>

#include <tbb/global_control.h>
#include <tbb/info.h>
#include <tbb/task_group.h>
#include <tbb/task_scheduler_observer.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <exception>
#include <thread>

namespace corpuswright::pool {

void prepare_thread() noexcept {
    // A thread's first exception and its first use of thread-local data
    // allocate memory, and when that allocation fails the C library ends
    // the process. Doing both now, before the thread runs any work, keeps a
    // later allocation failure (std::bad_alloc) an ordinary error.
    static thread_local bool prepared = false;
    if (prepared) return;
    prepared = true;
    try {
        throw std::exception();
    } catch (const std::exception&) {
    }
}

namespace {

class PrepareWorkers final : public tbb::task_scheduler_observer {
public:
    explicit PrepareWorkers(tbb::task_arena& arena) : tbb::task_scheduler_observer(arena) { observe(true); }
    void on_scheduler_entry(bool) override { prepare_thread(); }
};

// The threads the address space has room for, the caller's own included.
// Under a cap on the address space (RLIMIT_AS) each worker's stack, and the
// 64 MiB the C library reserves for a thread's own heap, must fit beside the
// work itself; at most half of the room left goes to threads.
int affordable_concurrency(int wanted) {
    struct rlimit cap {};
    if (::getrlimit(RLIMIT_AS, &cap) != 0 || cap.rlim_cur == RLIM_INFINITY) return wanted;
    unsigned long long used = 0;
    if (std::FILE* status = std::fopen("/proc/self/status", "r")) {
        char line[256];
        while (std::fgets(line, sizeof line, status)) {
            if (std::sscanf(line, "VmSize: %llu kB", &used) == 1) break;
        }
        std::fclose(status);
    }
    used <<= 10;
    const unsigned long long room = cap.rlim_cur > used ? cap.rlim_cur - used : 0;
    const unsigned long long per_thread =
        tbb::global_control::active_value(tbb::global_control::thread_stack_size) + (65ull << 20);
    const unsigned long long fit = room / 2 / per_thread + 1;
    return static_cast<int>(std::clamp<unsigned long long>(fit, 1, static_cast<unsigned long long>(wanted)));
}

// Starts every worker of the arena now. oneTBB starts workers lazily, some
// from other workers, where a thread the system refuses ends the process;
// started here, before a run takes the memory, they exist for the process's
// life and a later run only wakes them. One task per thread, each waiting
// until all are running (or a short while, should fewer threads come).
void start_workers(tbb::task_arena& arena, int concurrency) {
    if (concurrency <= 1) return;
    std::atomic<int> running{0};
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    arena.execute([&] {
        tbb::task_group group;
        for (int i = 0; i < concurrency; ++i) {
            group.run([&] {
                running.fetch_add(1);
                while (running.load() < concurrency && std::chrono::steady_clock::now() < deadline) {
                    std::this_thread::yield();
                }
            });
        }
        group.wait();
    });
}

}  // namespace

tbb::task_arena& shared() {
    // Never destroyed: worker threads may still be parked in it at exit.
    static tbb::task_arena* arena = [] {
        const int concurrency = affordable_concurrency(tbb::info::default_concurrency());
        auto* a = new tbb::task_arena(concurrency);
        a->initialize();
        new PrepareWorkers(*a);
        start_workers(*a, concurrency);
        return a;
    }();
    return *arena;
}

}  // namespace corpuswright::pool
