// The shared pool is a oneTBB arena sized to the CPUs this process may use
// (affinity masks and cgroup limits included, as oneTBB reports them).
#include "corpuswright/pool.hpp"

#include <tbb/info.h>
#include <tbb/task_scheduler_observer.h>

#include <exception>

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

}  // namespace

tbb::task_arena& shared() {
    // Never destroyed: worker threads may still be parked in it at exit.
    static tbb::task_arena* arena = [] {
        auto* a = new tbb::task_arena(tbb::info::default_concurrency());
        a->initialize();
        new PrepareWorkers(*a);
        return a;
    }();
    return *arena;
}

}  // namespace corpuswright::pool
