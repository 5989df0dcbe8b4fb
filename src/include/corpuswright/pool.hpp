// The shared worker pool: one per process, created on first use, one thread
// per available CPU. Page conversion and the dataset stages run their
// per-item maps on it; results go into per-index slots, so the output keeps
// the input's order whatever the scheduling.
//
// The pool runs with the threads the system lets it start: a thread refused
// (a cap on processes, no room for its stack) leaves it smaller, and with
// none at all every loop runs on its caller's thread. A process forked from
// one that used the pool gets a pool of its own on first use, as the
// parent's threads do not exist in the child.
#pragma once

#include <atomic>
#include <cstddef>
#include <exception>
#include <functional>
#include <type_traits>

namespace corpuswright::pool {

// Makes the calling thread's exception-handling and thread-local data, once
// per thread; the pool does it for each of its threads as it starts.
void prepare_thread() noexcept;

// Starts the pool's threads now, if this process has none yet. Returns the
// number of threads that work on a loop: the caller's and the pool's.
std::size_t start();

namespace detail {

// Indices [0, n) handed out one at a time to the threads that help. Lives
// on its owner's stack (or in a Task) until every helper has left it.
struct Loop {
    Loop(std::size_t count, void (*fn)(void*, std::size_t), void* ctx, bool is_leaf)
        : n(count), call(fn), context(ctx), leaf(is_leaf) {}
    Loop(const Loop&) = delete;
    Loop& operator=(const Loop&) = delete;

    const std::size_t n;
    void (*const call)(void*, std::size_t);
    void* const context;
    // A leaf's indices wait for nothing else: a thread waiting for its own
    // work may help with one without being held up for long.
    const bool leaf;
    std::atomic<std::size_t> next{0};  // the next index to hand out
    // The rest is guarded by the pool's mutex.
    std::size_t helpers = 0;  // threads working on it
    // What the first call that threw threw (an allocation failure): the
    // indices not yet handed out are skipped, and the owner gets it.
    std::exception_ptr error;
    Loop* older = nullptr;  // in the pool's list of open loops
    Loop* newer = nullptr;
    bool listed = false;
    void* pool = nullptr;  // the pool it was published to
};

// Publishes `loop`, works on it and returns once every index has run;
// throws what a call threw.
void run(Loop& loop);
// Publishes `loop` and returns at once.
void publish(Loop& loop);
// Returns once every index of a published loop has run, with what a call
// threw; runs what no pool thread has taken yet, and helps with leaf loops
// meanwhile.
std::exception_ptr wait(Loop& loop);

}  // namespace detail

// Calls f(i) for every i in [0, n) on the shared pool and returns when all
// are done. With one item it runs on the caller's thread. What f throws
// (an allocation failure) skips the indices not yet begun and is thrown here.
template <class F>
void for_each_index(std::size_t n, F&& f) {
    if (n == 0) return;
    if (n == 1) {
        f(std::size_t{0});
        return;
    }
    using Fn = std::remove_reference_t<F>;
    detail::Loop loop(
        n, [](void* ctx, std::size_t i) { (*static_cast<Fn*>(ctx))(i); }, const_cast<void*>(static_cast<const void*>(&f)),
        true);
    detail::run(loop);
}

// A job handed to the pool while its owner goes on: `wait` returns once it
// has run, running it on the waiting thread when no pool thread took it.
// What the job throws, `wait` throws. Destroying a task waits for it.
class Task {
public:
    explicit Task(std::function<void()> job)
        : job_(std::move(job)), loop_(1, [](void* ctx, std::size_t) { (*static_cast<std::function<void()>*>(ctx))(); },
                                      &job_, false) {
        detail::publish(loop_);
    }
    Task(const Task&) = delete;
    Task& operator=(const Task&) = delete;
    ~Task() {
        if (!waited_) detail::wait(loop_);
    }

    // Throws what the job threw.
    void wait() {
        if (waited_) return;
        waited_ = true;
        if (std::exception_ptr error = detail::wait(loop_)) std::rethrow_exception(error);
    }

private:
    std::function<void()> job_;
    detail::Loop loop_;
    bool waited_ = false;
};

}  // namespace corpuswright::pool
