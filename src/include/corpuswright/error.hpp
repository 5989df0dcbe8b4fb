// The product layer's error value and result type.
//
// Failures travel up as values, never as exceptions. An `Error` is a chain of
// messages: the innermost cause first recorded where the failure happened
// (the database's or the system's own text), then context added by each
// caller that knows which file or step was under way ("opening wiki metadata
// /x/y.db"). It is displayed outermost first, each further cause after ": ",
// which is exactly the text the Python boundary puts into a RuntimeError.
//
// `Result<T>` holds either a T or an Error. g++ 12 has no std::expected, so
// this is the small subset the product needs: test, take the value, take the
// error, add context on the way out.
#pragma once

#include <cassert>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

namespace corpuswright {

// What kind of thing failed. The Python boundary maps most kinds to
// RuntimeError; the last four have exceptions of their own. The kind also
// lets callers and tests tell classes of failure apart without matching on
// message text.
enum class ErrorKind : unsigned char {
    Other,        // anything not listed below
    Io,           // a file could not be opened, read, written or renamed
    Database,     // the SQLite layer reported a failure
    Type,         // a stored value had the wrong type (a NULL or non-text title)
    Format,       // input that does not follow its format (JSON, XML, dumps)
    Invalid,      // an argument out of its allowed range
    Invariant,    // a violated internal invariant: the Python layer panics
    Conflict,     // arguments that contradict each other, such as an output
                  // naming an input: ValueError
    OutOfMemory,  // an allocation failed: MemoryError
    Interrupted,  // the caller asked the run to stop (a signal): the
                  // exception its handler raised
};

class Error {
public:
    // An error whose only (innermost) message is `message`.
    explicit Error(std::string message, ErrorKind kind = ErrorKind::Other) : kind_(kind) {
        messages_.push_back(std::move(message));
    }

    // Wraps this error in one more context message, which becomes the
    // outermost one. Returns the error itself so that calls chain:
    // `return std::move(err).context("opening " + path);`.
    Error&& context(std::string message) && {
        messages_.push_back(std::move(message));
        return std::move(*this);
    }
    Error& context(std::string message) & {
        messages_.push_back(std::move(message));
        return *this;
    }

    ErrorKind kind() const { return kind_; }

    // The outermost message alone (the last context added, or the cause when
    // no context was added).
    const std::string& outermost() const { return messages_.back(); }

    // The innermost message: the cause as first recorded.
    const std::string& cause() const { return messages_.front(); }

    // Every message, outermost first.
    std::vector<std::string> chain() const { return {messages_.rbegin(), messages_.rend()}; }

    // The whole chain, outermost first, each further cause after ": ".
    std::string message() const {
        std::string out;
        for (auto it = messages_.rbegin(); it != messages_.rend(); ++it) {
            if (it != messages_.rbegin()) out += ": ";
            out += *it;
        }
        return out;
    }

private:
    ErrorKind kind_;
    std::vector<std::string> messages_;  // innermost first, outermost last
};

template <class T>
class [[nodiscard]] Result {
    static_assert(!std::is_same_v<std::remove_cvref_t<T>, Error>, "Result<Error> is ambiguous");

public:
    // From anything a T can be made of (`return "text";` for a
    // Result<std::string>), or from an Error.
    template <class U = T>
        requires(std::is_constructible_v<T, U &&> && !std::is_same_v<std::remove_cvref_t<U>, Result> &&
                 !std::is_same_v<std::remove_cvref_t<U>, Error>)
    Result(U&& value) : v_(std::in_place_index<0>, std::forward<U>(value)) {}  // NOLINT: implicit by design
    Result(Error error) : v_(std::in_place_index<1>, std::move(error)) {}  // NOLINT: implicit by design

    bool ok() const { return v_.index() == 0; }
    explicit operator bool() const { return ok(); }

    // The value; only valid when ok().
    T& value() & {
        assert(ok());
        return std::get<0>(v_);
    }
    const T& value() const& {
        assert(ok());
        return std::get<0>(v_);
    }
    T&& value() && {
        assert(ok());
        return std::get<0>(std::move(v_));
    }
    T& operator*() & { return value(); }
    const T& operator*() const& { return value(); }
    T&& operator*() && { return std::move(*this).value(); }
    T* operator->() { return &value(); }
    const T* operator->() const { return &value(); }

    // The error; only valid when !ok().
    Error& error() & {
        assert(!ok());
        return std::get<1>(v_);
    }
    const Error& error() const& {
        assert(!ok());
        return std::get<1>(v_);
    }
    Error&& error() && {
        assert(!ok());
        return std::get<1>(std::move(v_));
    }

    // Adds a context message to a failed result; a success passes through.
    Result&& context(std::string message) && {
        if (!ok()) std::get<1>(v_).context(std::move(message));
        return std::move(*this);
    }

private:
    std::variant<T, Error> v_;
};

// A result that carries no value: success, or an Error.
struct Ok {};
template <>
class [[nodiscard]] Result<void> {
public:
    Result() = default;
    Result(Ok) {}                                   // NOLINT: implicit by design
    Result(Error error) : err_(std::move(error)) {}  // NOLINT: implicit by design

    bool ok() const { return err_.index() == 0; }
    explicit operator bool() const { return ok(); }

    Error& error() & {
        assert(!ok());
        return std::get<1>(err_);
    }
    const Error& error() const& {
        assert(!ok());
        return std::get<1>(err_);
    }
    Error&& error() && {
        assert(!ok());
        return std::get<1>(std::move(err_));
    }

    Result&& context(std::string message) && {
        if (!ok()) std::get<1>(err_).context(std::move(message));
        return std::move(*this);
    }

private:
    std::variant<std::monostate, Error> err_;
};

}  // namespace corpuswright

// Early return of a failed Result from a function that itself returns a
// Result (of any value type). Usage: `CW_TRY(write_all(fd, data));`
#define CW_TRY(expr)                                                       \
    do {                                                                   \
        auto cw_try_result_ = (expr);                                      \
        if (!cw_try_result_.ok()) return std::move(cw_try_result_).error(); \
    } while (0)

// Declares or assigns `lhs` from a Result's value, returning its error on
// failure. Usage: `CW_TRY_ASSIGN(auto roles, TemplateRoles::open(path));`
#define CW_TRY_CONCAT_INNER_(a, b) a##b
#define CW_TRY_CONCAT_(a, b) CW_TRY_CONCAT_INNER_(a, b)
#define CW_TRY_ASSIGN(lhs, expr) CW_TRY_ASSIGN_IMPL_(CW_TRY_CONCAT_(cw_try_tmp_, __LINE__), lhs, expr)
#define CW_TRY_ASSIGN_IMPL_(tmp, lhs, expr)              \
    auto tmp = (expr);                                   \
    if (!tmp.ok()) return std::move(tmp).error();        \
    lhs = std::move(tmp).value()
