// The shared pool is a oneTBB arena sized to the CPUs this process may use
// (affinity masks and cgroup limits included, as oneTBB reports them).
#include "corpuswright/pool.hpp"

#include <tbb/info.h>

namespace corpuswright::pool {

tbb::task_arena& shared() {
    // Never destroyed: worker threads may still be parked in it at exit.
    static tbb::task_arena* arena = [] {
        auto* a = new tbb::task_arena(tbb::info::default_concurrency());
        a->initialize();
        return a;
    }();
    return *arena;
}

}  // namespace corpuswright::pool
