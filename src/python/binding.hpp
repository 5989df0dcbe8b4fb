// Shared machinery of the extension module: owned references, argument
// parsing with the module's uniform messages, error mapping and the panic
// exception. The binding only translates; all work happens in the product
// libraries with the interpreter lock released.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <atomic>
#include <cstdint>
#include <exception>
#include <functional>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "corpuswright/error.hpp"

namespace corpuswright::python {

// An owned (strong) reference, released on scope exit.
class Ref {
public:
    Ref() = default;
    explicit Ref(PyObject* owned) : p_(owned) {}
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    Ref(Ref&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
    Ref& operator=(Ref&& o) noexcept {
        if (this != &o) {
            Py_XDECREF(p_);
            p_ = std::exchange(o.p_, nullptr);
        }
        return *this;
    }
    ~Ref() { Py_XDECREF(p_); }

    static Ref borrow(PyObject* p) {
        Py_XINCREF(p);
        return Ref(p);
    }
    PyObject* get() const { return p_; }
    PyObject* release() { return std::exchange(p_, nullptr); }
    explicit operator bool() const { return p_ != nullptr; }

private:
    PyObject* p_ = nullptr;
};

// A violated internal invariant found while the lock was released; raised as
// PanicException once the lock is held again.
struct Panic {
    std::string message;
};

// The parameters of one callable: its name as messages show it
// ("WikiConverter.quillmd()", "build_stage1()"), the parameter names (all
// positional-or-keyword) and how many leading ones are required.
struct Signature {
    const char* display_name;
    std::vector<const char*> params;
    std::size_t required;
};

// Binds fast-call arguments (positional array plus keyword names) to the
// parameters. On success `out[i]` is a borrowed reference or null when the
// optional parameter was not given. On failure raises TypeError with the
// module's message and returns false.
bool parse_fastcall(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                    std::vector<PyObject*>& out);

// The same for tuple-and-dict calls (the class constructor).
bool parse_tuple_dict(const Signature& sig, PyObject* args, PyObject* kwargs, std::vector<PyObject*>& out);

// Adds the note "while processing '<param>'" to the exception currently set.
void add_processing_note(const char* param);

// Raises TypeError "'<type>' object is not an instance of '<expected>'" (or
// "'None' is not an instance of '<expected>'"), then adds the note.
void raise_cast_error(PyObject* value, const char* expected, const char* param);

// The UTF-8 form of a `str` argument, kept by the string object itself (no
// copy). Raises with the note on failure.
std::optional<std::string_view> utf8_arg(PyObject* value, const char* param);

// A path-like argument as file-system bytes. Refuses non-str paths, and
// paths holding a NUL (which would silently open a truncated path).
std::optional<std::string> path_arg(PyObject* value, const char* param);

// An optional unsigned 64-bit integer argument (`fallback` when absent).
std::optional<std::uint64_t> u64_arg(PyObject* value, const char* param, std::uint64_t fallback);

// The same for a count that must not be 0 (`target_words`): ValueError
// "<param> must be positive" with the note.
std::optional<std::uint64_t> positive_u64_arg(PyObject* value, const char* param, std::uint64_t fallback);

// An optional signed 64-bit count that may be None (`limit=None`).
// Returns true on success; `out` stays empty for None or absent.
bool optional_u64_arg(PyObject* value, const char* param, std::optional<std::uint64_t>& out);

// RuntimeError with the error's whole context chain as its message.
PyObject* error(const Error& err);

// The exception for a failed call: a violated invariant panics, contradicting
// arguments or one out of its range are a ValueError, a failed allocation a
// MemoryError, anything else a RuntimeError (`error`).
PyObject* raise_error(const Error& err);

// Raises the module's PanicException (a BaseException subclass) with the
// invariant's message. Returns null for convenient `return raise_panic(...)`.
PyObject* raise_panic(const std::string& message);

// The PanicException class, created once per process.
PyObject* panic_type();

// Builds a Python str from UTF-8 bytes produced by this system.
PyObject* str_from(std::string_view s);

// A list of str.
PyObject* str_list(const std::vector<std::string>& items);

// Runs `body` with the interpreter lock released, on a thread of its own,
// while the calling thread checks for signals every few hundredths of a
// second. When a signal handler raises, `stop` is set, the body is waited
// for and false is returned with the handler's exception set. Otherwise
// returns true once the body is done; what the body threw is thrown again
// here, with the lock held. Must be called with the lock held.
bool run_interruptible(std::atomic<bool>& stop, const std::function<void()>& body);

struct State;
State& the_state();

// Releases the interpreter lock for a call's work, from construction until
// `relock` (or destruction), and lists the call meanwhile, so that when the
// interpreter exits it can tell the work to stop (through `stop`, where
// given) and wait for it. Taking the lock again once the interpreter is
// exiting would end the thread under the work, so such a thread is parked
// instead, until the process ends.
class Released {
public:
    explicit Released(std::atomic<bool>* stop = nullptr);
    ~Released();
    Released(const Released&) = delete;
    Released& operator=(const Released&) = delete;

    // The work has ended; called by the thread that ran it.
    void done() noexcept;
    // Takes the lock for a moment (false, untaken, when the interpreter is
    // exiting); `unlock` releases it again.
    bool lock();
    void unlock();
    // Ends the section: `done`, then takes the lock for good or parks.
    void relock();

private:
    State* state_;
    std::atomic<bool>* stop_;
    PyThreadState* thread_ = nullptr;
    bool finished_ = false;
    bool relocked_ = false;
};

// Registered with `atexit` by the module: tells every running call to stop
// and waits for them a while (with the lock released). Called with the lock.
void stop_calls_at_exit();

// Sets the Python exception for a C++ exception caught at the module's
// boundary: a failed allocation is a MemoryError, anything else a violated
// invariant. Called from a catch block, with the lock held.
void raise_current_exception() noexcept;

// Runs an entry point of the module (with the lock held): no C++ exception
// may reach the interpreter, where it would end the process.
template <class R, class F>
R guarded_entry(R on_error, F&& body) noexcept {
    try {
        return body();
    } catch (...) {
        raise_current_exception();
        return on_error;
    }
}

// The same for a fast-call function or method.
template <PyObject* (*F)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*)>
PyObject* guarded_fastcall(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return guarded_entry<PyObject*>(nullptr, [&] { return F(self, args, nargs, kwnames); });
}

// Module registration steps of the other files.
PyObject* wiki_converter_type();
int add_dataset_functions(PyObject* module, int (*add)(PyObject*, const char*, PyObject*));

}  // namespace corpuswright::python
