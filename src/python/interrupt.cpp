// Long calls run on a helper thread so that the calling thread stays free to
// notice signals: Python runs its signal handlers only on the main thread,
// holding the interpreter lock, and only when asked. The calling thread
// waits for the work with the lock released and asks every kPollInterval;
// when a handler raises (KeyboardInterrupt for Ctrl-C), the work is told to
// stop and is waited for, so that nothing of the call outlives it and every
// temporary file is gone before the exception reaches Python.
//
// Helper threads are kept for later calls rather than started per call: a
// thread's first exception and first use of thread-local data allocate
// memory, and failing that allocation ends the process (the C library
// aborts). A kept thread pays it once, when it starts, before any work runs
// on it. Like the shared worker pool, they are never stopped.
//
// Interpreter exit. A call running in a daemon thread when the interpreter
// exits must neither crash nor leave temporary files: the interpreter ends
// such a thread when it next takes the lock, unwinding its stack while the
// work still runs on the helper, and then the process exits under the work.
// So every call with the lock released is listed; at exit (an atexit
// callback, run before the interpreter starts tearing down) the listed calls
// are told to stop and are waited for, a while, and from then on no call
// takes the lock again: its thread stays parked until the process ends.
//
// fork(): the child has none of the parent's threads. Idle helpers and
// listed calls of the parent are forgotten there; the child makes its own.
#include <pthread.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <new>
#include <optional>
#include <system_error>
#include <thread>
#include <vector>

#include "binding.hpp"
#include "corpuswright/pool.hpp"

namespace corpuswright::python {
namespace {

constexpr auto kPollInterval = std::chrono::milliseconds(50);
// How long exit waits for running calls to stop. They stop within a
// fraction of a second; this bounds a call stuck in a system call.
constexpr auto kExitWait = std::chrono::seconds(10);

}  // namespace

class Helper {
public:
    Helper() : thread_([this] { loop(); }) {}

    // Runs `job` on the helper. Moving it in allocates nothing.
    void start(std::function<void()> job) {
        std::lock_guard<std::mutex> lock(m_);
        job_ = std::move(job);
        cv_.notify_one();
    }

private:
    void loop() {
        pool::prepare_thread();
        std::unique_lock<std::mutex> lock(m_);
        while (true) {
            cv_.wait(lock, [&] { return static_cast<bool>(job_); });
            std::function<void()> job = std::move(job_);
            job_ = nullptr;
            lock.unlock();
            job();  // never throws: run_interruptible's wrapper catches
            lock.lock();
        }
    }

    std::mutex m_;
    std::condition_variable cv_;
    std::function<void()> job_;
    std::thread thread_;
};

// Process-wide state of this file, never destroyed (threads wait on it
// until the process ends). A forked child starts with a fresh one: a parent
// thread may have held its mutexes at the fork, and the parent's helpers
// and calls are not in the child.
struct State {
    std::mutex idle_mutex;
    std::vector<Helper*> idle;  // guarded by idle_mutex
    std::size_t made = 0;       // guarded by idle_mutex

    std::mutex calls_mutex;
    std::condition_variable calls_cv;
    bool exiting = false;                    // guarded by calls_mutex
    // The thread that ran the exit hook, which goes on tearing the
    // interpreter down and may still call in (a later atexit callback): its
    // calls run as ever. Guarded by calls_mutex.
    pthread_t exit_thread{};
    std::vector<std::atomic<bool>*> stops;   // of the running calls; guarded by calls_mutex
    std::size_t running = 0;                 // calls whose work runs; guarded by calls_mutex
    std::size_t entering = 0;                // threads taking the lock; guarded by calls_mutex
};

namespace {

State* state = nullptr;
std::once_flag state_once;

void fresh_state_after_fork() noexcept { state = new (std::nothrow) State; }

}  // namespace

State& the_state() {
    std::call_once(state_once, [] {
        state = new State;
        ::pthread_atfork(nullptr, nullptr, fresh_state_after_fork);
    });
    if (state == nullptr) state = new State;  // a child that had no memory for it at the fork
    return *state;
}

namespace {

// An idle helper, or a new one. Throws std::system_error when no thread can
// be started (the caller then runs the work itself), std::bad_alloc when
// memory has run out.
Helper* take_helper() {
    State& s = the_state();
    std::lock_guard<std::mutex> lock(s.idle_mutex);
    if (!s.idle.empty()) {
        Helper* h = s.idle.back();
        s.idle.pop_back();
        return h;
    }
    s.idle.reserve(s.made + 1);  // so that giving a helper back never allocates
    auto* h = new Helper;
    ++s.made;
    return h;
}

void give_back(State& s, Helper* h) {
    std::lock_guard<std::mutex> lock(s.idle_mutex);
    s.idle.push_back(h);
}

[[noreturn]] void park() {
    // The interpreter is exiting: this thread may not take the lock again,
    // and must not return into code that expects to hold it.
    for (;;) ::pause();
}

}  // namespace

Released::Released(std::atomic<bool>* stop) : state_(&the_state()), stop_(stop) {
    {
        std::lock_guard<std::mutex> lock(state_->calls_mutex);
        // Reserved now, with the lock held, so that `done` never allocates.
        state_->stops.reserve(state_->stops.size() + 1);
        ++state_->running;
        if (stop_ != nullptr) {
            state_->stops.push_back(stop_);
            if (state_->exiting && !::pthread_equal(state_->exit_thread, ::pthread_self())) {
                stop_->store(true, std::memory_order_relaxed);
            }
        }
    }
    thread_ = PyEval_SaveThread();
}

void Released::done() noexcept {
    if (finished_) return;
    finished_ = true;
    std::lock_guard<std::mutex> lock(state_->calls_mutex);
    --state_->running;
    if (stop_ != nullptr) {
        auto it = std::find(state_->stops.begin(), state_->stops.end(), stop_);
        if (it != state_->stops.end()) state_->stops.erase(it);
    }
    state_->calls_cv.notify_all();
}

bool Released::lock() {
    std::unique_lock<std::mutex> guard(state_->calls_mutex);
    if (state_->exiting && !::pthread_equal(state_->exit_thread, ::pthread_self())) return false;
    ++state_->entering;
    guard.unlock();
    PyEval_RestoreThread(thread_);
    guard.lock();
    --state_->entering;
    state_->calls_cv.notify_all();
    return true;
}

void Released::unlock() { thread_ = PyEval_SaveThread(); }

void Released::relock() {
    if (relocked_) return;
    relocked_ = true;
    done();
    if (!lock()) park();
}

Released::~Released() { relock(); }

void stop_calls_at_exit() {
    State& s = the_state();
    Py_BEGIN_ALLOW_THREADS
    std::unique_lock<std::mutex> lock(s.calls_mutex);
    s.exiting = true;
    s.exit_thread = ::pthread_self();
    for (std::atomic<bool>* stop : s.stops) stop->store(true, std::memory_order_relaxed);
    s.calls_cv.wait_for(lock, kExitWait, [&] { return s.running == 0 && s.entering == 0; });
    Py_END_ALLOW_THREADS
}

bool run_interruptible(std::atomic<bool>& stop, const std::function<void()>& body) {
    std::mutex m;
    std::condition_variable cv;
    bool done = false;
    std::exception_ptr thrown;
    bool interrupted = false;
    State& s = the_state();

    Helper* helper = nullptr;
    try {
        helper = take_helper();
    } catch (const std::system_error&) {
        // No thread to spare: the work runs here, without noticing signals.
    }

    // Everything that allocates happens here, with the lock held, so that a
    // failure is raised as MemoryError like any other.
    Released* section = nullptr;
    std::function<void()> job = [&] {
        try {
            body();
        } catch (...) {
            thrown = std::current_exception();
        }
        section->done();
        std::lock_guard<std::mutex> lock(m);
        done = true;
        cv.notify_one();
    };
    std::optional<Released> released;
    try {
        released.emplace(&stop);
    } catch (...) {
        if (helper != nullptr) give_back(s, helper);
        throw;
    }
    section = &*released;
    if (helper == nullptr) {
        job();
    } else {
        helper->start(std::move(job));
        std::unique_lock<std::mutex> lock(m);
        while (!done) {
            cv.wait_for(lock, kPollInterval);
            if (done || interrupted) continue;
            lock.unlock();
            bool raised = false;
            if (released->lock()) {
                raised = PyErr_CheckSignals() < 0;
                released->unlock();
            }
            // Else the interpreter is exiting and has told the work to stop.
            lock.lock();
            if (raised) {
                interrupted = true;
                stop.store(true, std::memory_order_relaxed);
            }
        }
        lock.unlock();
        give_back(s, helper);
    }
    released->relock();
    // The handler's exception is set; what the work threw on its way out
    // no longer matters.
    if (interrupted) return false;
    if (thrown) std::rethrow_exception(thrown);
    return true;
}

}  // namespace corpuswright::python
