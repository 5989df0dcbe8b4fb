// The shared pool: plain threads that take indices from the loops published
// to them, one index at a time, oldest loop first. A loop's owner works on
// it too, so a loop always ends, whatever the pool's threads are doing and
// however many of them the system let the pool start.
//
// The pool makes its threads itself rather than through a scheduling
// library, for two things such a library does not give: a thread the system
// refuses must leave the pool smaller, not end the process (a cap on
// processes lets some threads start and refuses the next), and a child made
// by fork() must get threads of its own (the parent's are not in the child,
// while the library's records say they are, and its loops wait for them).
#include "corpuswright/pool.hpp"

#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>

#include <algorithm>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <exception>
#include <mutex>
#include <new>
#include <thread>
#include <vector>

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

// Deep documents recurse in the readers and writers; every pool thread
// gets the same stack, whatever the process's default for new threads.
constexpr std::size_t kStackSize = std::size_t{4} << 20;

// The CPUs this process may run on (its affinity mask).
int available_cpus() {
    cpu_set_t set;
    CPU_ZERO(&set);
    if (::sched_getaffinity(0, sizeof set, &set) == 0) {
        int n = CPU_COUNT(&set);
        if (n > 0) return n;
    }
    return static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
}

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
    const unsigned long long per_thread = kStackSize + (65ull << 20);
    const unsigned long long fit = room / 2 / per_thread + 1;
    return static_cast<int>(std::clamp<unsigned long long>(fit, 1, static_cast<unsigned long long>(wanted)));
}

using detail::Loop;

struct Pool {
    std::mutex m;
    std::condition_variable cv;   // new work, a finished loop, a started thread
    // Loops with indices to hand out, oldest first, linked through
    // themselves: publishing allocates nothing. Guarded by m.
    Loop* oldest = nullptr;
    Loop* newest = nullptr;
    std::size_t threads = 0;      // working; guarded by m
    std::size_t ready = 0;        // started and prepared; guarded by m
    std::size_t keep = SIZE_MAX;  // threads numbered from here on end; guarded by m

    void list(Loop* l) {  // with m held
        l->older = newest;
        l->newer = nullptr;
        if (newest != nullptr) {
            newest->newer = l;
        } else {
            oldest = l;
        }
        newest = l;
        l->listed = true;
    }

    void unlist(Loop* l) {  // with m held
        if (!l->listed) return;
        (l->older != nullptr ? l->older->newer : oldest) = l->newer;
        (l->newer != nullptr ? l->newer->older : newest) = l->older;
        l->listed = false;
    }

    static bool exhausted(const Loop& l) { return l.next.load(std::memory_order_relaxed) >= l.n; }
    static bool finished(const Loop& l) { return exhausted(l) && l.helpers == 0; }

    // The oldest open loop that still has indices (only leaves when asked),
    // dropping exhausted ones on the way. Called with m held.
    Loop* pick(bool leaf_only) {
        for (Loop* l = oldest; l != nullptr;) {
            Loop* newer = l->newer;
            if (exhausted(*l)) {
                unlist(l);
            } else if (!leaf_only || l->leaf) {
                return l;
            }
            l = newer;
        }
        return nullptr;
    }

    // Runs indices of `l` until none is left. Called and returns with m held.
    void help(Loop* l, std::unique_lock<std::mutex>& lock) {
        ++l->helpers;
        lock.unlock();
        for (;;) {
            const std::size_t i = l->next.fetch_add(1, std::memory_order_relaxed);
            if (i >= l->n) break;
            try {
                l->call(l->context, i);
            } catch (...) {
                lock.lock();
                if (!l->error) l->error = std::current_exception();
                l->next.store(l->n, std::memory_order_relaxed);
                lock.unlock();
                break;
            }
        }
        lock.lock();
        --l->helpers;
        if (finished(*l)) cv.notify_all();
    }

    void work(std::size_t index) {
        prepare_thread();
        std::unique_lock<std::mutex> lock(m);
        ++ready;
        cv.notify_all();
        for (;;) {
            if (index >= keep) return;
            if (Loop* l = pick(false)) {
                help(l, lock);
            } else {
                cv.wait(lock);
            }
        }
    }
};

// Never destroyed: its threads wait on it until the process ends. Forgotten
// in a forked child, whose first use makes a new one.
std::atomic<Pool*> current{nullptr};
std::mutex creating;

void forget_after_fork() noexcept {
    current.store(nullptr, std::memory_order_relaxed);
    // Another thread of the parent may have held it at the fork; that
    // thread is not in the child to let it go.
    new (&creating) std::mutex();
}

struct Start {
    Pool* pool;
    std::size_t index;
};

void* thread_main(void* arg) {
    const Start start = *static_cast<Start*>(arg);
    delete static_cast<Start*>(arg);
    start.pool->work(start.index);
    return nullptr;
}

// Threads given back when the system refused one: the cap that refused it
// counts every thread of the user, and a decoder's feeder thread, or the
// helper a call runs on, must still find room.
constexpr std::size_t kLeftForOthers = 2;

Pool* make_pool() {
    static bool fork_handler = false;
    if (!fork_handler && ::pthread_atfork(nullptr, nullptr, forget_after_fork) == 0) fork_handler = true;
    auto* pool = new Pool;
    const int wanted = affordable_concurrency(available_cpus()) - 1;  // the caller works too
    pthread_attr_t attr;
    if (wanted <= 0 || ::pthread_attr_init(&attr) != 0) return pool;
    ::pthread_attr_setstacksize(&attr, kStackSize);
    std::vector<pthread_t> threads;
    bool refused = false;
    try {
        threads.reserve(static_cast<std::size_t>(wanted));
        for (int i = 0; i < wanted; ++i) {
            auto* start = new Start{pool, threads.size()};
            pthread_t thread;
            if (::pthread_create(&thread, &attr, thread_main, start) != 0) {
                // A cap on processes, or no memory for the stack: the pool
                // makes do with the threads it has.
                delete start;
                refused = true;
                break;
            }
            threads.push_back(thread);
        }
    } catch (const std::bad_alloc&) {
        refused = true;
    }
    ::pthread_attr_destroy(&attr);
    std::unique_lock<std::mutex> lock(pool->m);
    // Every thread has prepared itself before any run takes the memory.
    pool->cv.wait(lock, [&] { return pool->ready == threads.size(); });
    std::size_t kept = threads.size();
    if (refused) {
        kept = kept > kLeftForOthers ? kept - kLeftForOthers : 0;
        pool->keep = kept;
        pool->cv.notify_all();
        lock.unlock();
        for (std::size_t i = kept; i < threads.size(); ++i) ::pthread_join(threads[i], nullptr);
        lock.lock();
    }
    for (std::size_t i = 0; i < kept; ++i) ::pthread_detach(threads[i]);
    pool->threads = kept;
    return pool;
}

Pool& shared() {
    Pool* pool = current.load(std::memory_order_acquire);
    if (pool != nullptr) return *pool;
    std::lock_guard<std::mutex> lock(creating);
    pool = current.load(std::memory_order_relaxed);
    if (pool == nullptr) {
        pool = make_pool();
        current.store(pool, std::memory_order_release);
    }
    return *pool;
}

}  // namespace

std::size_t start() {
    Pool& pool = shared();
    std::lock_guard<std::mutex> lock(pool.m);
    return pool.threads + 1;
}

namespace detail {

void publish(Loop& loop) {
    Pool& pool = shared();
    loop.pool = &pool;
    {
        std::lock_guard<std::mutex> lock(pool.m);
        pool.list(&loop);
    }
    pool.cv.notify_all();
}

void run(Loop& loop) {
    Pool& pool = shared();
    loop.pool = &pool;
    std::unique_lock<std::mutex> lock(pool.m);
    if (pool.threads == 0) {
        // Nobody to share with: the caller runs it all.
        lock.unlock();
        loop.next.store(loop.n, std::memory_order_relaxed);
        for (std::size_t i = 0; i < loop.n; ++i) loop.call(loop.context, i);
        return;
    }
    pool.list(&loop);
    pool.cv.notify_all();
    pool.help(&loop, lock);
    pool.unlist(&loop);
    pool.cv.wait(lock, [&] { return Pool::finished(loop); });
    if (loop.error) {
        std::exception_ptr error = std::move(loop.error);
        lock.unlock();
        std::rethrow_exception(error);
    }
}

std::exception_ptr wait(Loop& loop) {
    Pool& pool = *static_cast<Pool*>(loop.pool);
    std::unique_lock<std::mutex> lock(pool.m);
    while (!Pool::finished(loop)) {
        if (!Pool::exhausted(loop)) {
            pool.help(&loop, lock);
        } else if (Loop* l = pool.pick(true)) {
            pool.help(l, lock);
        } else {
            pool.cv.wait(lock);
        }
    }
    pool.unlist(&loop);
    return std::move(loop.error);
}

}  // namespace detail

}  // namespace corpuswright::pool
