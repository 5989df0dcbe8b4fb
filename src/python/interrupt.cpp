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
#include <chrono>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

#include "binding.hpp"
#include "corpuswright/pool.hpp"

namespace corpuswright::python {
namespace {

constexpr auto kPollInterval = std::chrono::milliseconds(50);

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

// Idle helpers; one is taken per running call and given back after it.
// Never destroyed: the helpers wait on them until the process ends.
std::mutex& idle_mutex() {
    static auto* m = new std::mutex;
    return *m;
}
std::vector<Helper*>& idle_helpers() {
    static auto* v = new std::vector<Helper*>;
    return *v;
}

// An idle helper, or a new one. Throws std::system_error when no thread can
// be started (the caller then runs the work itself), std::bad_alloc when
// memory has run out.
Helper* take_helper() {
    static std::size_t made = 0;  // guarded by idle_mutex()
    std::lock_guard<std::mutex> lock(idle_mutex());
    auto& idle = idle_helpers();
    if (!idle.empty()) {
        Helper* h = idle.back();
        idle.pop_back();
        return h;
    }
    idle.reserve(made + 1);  // so that giving a helper back never allocates
    auto* h = new Helper;
    ++made;
    return h;
}

void give_back(Helper* h) {
    std::lock_guard<std::mutex> lock(idle_mutex());
    idle_helpers().push_back(h);
}

}  // namespace

bool run_interruptible(std::atomic<bool>& stop, const std::function<void()>& body) {
    std::mutex m;
    std::condition_variable cv;
    bool done = false;
    std::exception_ptr thrown;
    bool interrupted = false;

    // Everything that allocates happens here, with the lock held, so that a
    // failure is raised as MemoryError like any other.
    std::function<void()> job = [&] {
        try {
            body();
        } catch (...) {
            thrown = std::current_exception();
        }
        std::lock_guard<std::mutex> lock(m);
        done = true;
        cv.notify_one();
    };
    Helper* helper = nullptr;
    try {
        helper = take_helper();
    } catch (const std::system_error&) {
        // No thread to spare: the work runs here, without noticing signals.
    }

    PyThreadState* state = PyEval_SaveThread();
    if (helper == nullptr) {
        job();
    } else {
        helper->start(std::move(job));
        std::unique_lock<std::mutex> lock(m);
        while (!done) {
            cv.wait_for(lock, kPollInterval);
            if (done || interrupted) continue;
            lock.unlock();
            PyEval_RestoreThread(state);
            bool raised = PyErr_CheckSignals() < 0;
            state = PyEval_SaveThread();
            lock.lock();
            if (raised) {
                interrupted = true;
                stop.store(true, std::memory_order_relaxed);
            }
        }
        lock.unlock();
        give_back(helper);
    }
    PyEval_RestoreThread(state);
    // The handler's exception is set; what the work threw on its way out
    // no longer matters.
    if (interrupted) return false;
    if (thrown) std::rethrow_exception(thrown);
    return true;
}

}  // namespace corpuswright::python
