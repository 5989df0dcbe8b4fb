// `rvk::Result<T>`: a value or an `rvk::error::Error`.
//
// g++ 12 has no std::expected, and the library returns every failure as a
// value, so this is the small expected-like type all of rvk uses. It converts
// implicitly from both a T and an Error so that `return value;` and
// `return Error::invalid_gzip("...");` both work; RVK_TRY / RVK_TRY_ASSIGN
// give early returns at the failure point.
//
// Reading the value of a failed Result (or the error of a successful one) is
// a violated internal invariant: it throws `rvk::Panic`, which the worker pools
// count as an abnormal end of a worker and the product layer turns into its
// panic exception. Nothing else in the library throws on purpose.
#pragma once

#include <optional>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <utility>
#include <variant>

#include "rvk/error.hpp"

namespace rvk {

using error::Error;

// A violated internal invariant (never a data error).
class Panic : public std::logic_error {
 public:
  using std::logic_error::logic_error;
};

// Stops the current call with a Panic carrying `message`.
[[noreturn]] inline void panic(const std::string& message) { throw Panic(message); }

template <class T>
class [[nodiscard]] Result {
  static_assert(!std::is_same_v<std::remove_cvref_t<T>, Error>, "Result<Error> is meaningless");

 public:
  using value_type = T;

  Result(const T& value) : v_(std::in_place_index<0>, value) {}              // NOLINT
  Result(T&& value) : v_(std::in_place_index<0>, std::move(value)) {}        // NOLINT
  Result(Error error) : v_(std::in_place_index<1>, std::move(error)) {}      // NOLINT
  // Any value convertible to T (e.g. a braced list or a derived type).
  template <class U>
    requires(std::is_constructible_v<T, U &&> && !std::is_same_v<std::remove_cvref_t<U>, T> &&
             !std::is_same_v<std::remove_cvref_t<U>, Result> &&
             !std::is_convertible_v<U &&, Error>)
  Result(U&& value) : v_(std::in_place_index<0>, std::forward<U>(value)) {}  // NOLINT

  bool ok() const noexcept { return v_.index() == 0; }
  explicit operator bool() const noexcept { return ok(); }

  T& value() & {
    check_value();
    return std::get<0>(v_);
  }
  const T& value() const& {
    check_value();
    return std::get<0>(v_);
  }
  T&& value() && {
    check_value();
    return std::get<0>(std::move(v_));
  }
  T& operator*() & { return value(); }
  const T& operator*() const& { return value(); }
  T&& operator*() && { return std::move(*this).value(); }
  T* operator->() { return &value(); }
  const T* operator->() const { return &value(); }

  const Error& error() const& {
    check_error();
    return std::get<1>(v_);
  }
  Error&& error() && {
    check_error();
    return std::get<1>(std::move(v_));
  }

 private:
  void check_value() const {
    if (v_.index() != 0) panic("rvk::Result: value() of a failed result: " + std::get<1>(v_).to_string());
  }
  void check_error() const {
    if (v_.index() != 1) panic("rvk::Result: error() of a successful result");
  }

  std::variant<T, Error> v_;
};

template <>
class [[nodiscard]] Result<void> {
 public:
  using value_type = void;

  Result() = default;
  Result(Error error) : error_(std::move(error)) {}  // NOLINT

  bool ok() const noexcept { return !error_.has_value(); }
  explicit operator bool() const noexcept { return ok(); }
  // Precondition-free: does nothing on success, panics on failure.
  void value() const {
    if (error_) panic("rvk::Result: value() of a failed result: " + error_->to_string());
  }

  const Error& error() const& {
    if (!error_) panic("rvk::Result: error() of a successful result");
    return *error_;
  }
  Error&& error() && {
    if (!error_) panic("rvk::Result: error() of a successful result");
    return std::move(*error_);
  }

 private:
  std::optional<Error> error_;
};

// A successful Result<void>.
inline Result<void> ok() { return {}; }

}  // namespace rvk

#define RVK_DETAIL_CONCAT2(a, b) a##b
#define RVK_DETAIL_CONCAT(a, b) RVK_DETAIL_CONCAT2(a, b)

// Evaluates `expr` (any Result); on failure returns its error from the
// enclosing function (whose return type must be constructible from Error).
#define RVK_TRY(expr)                                              \
  do {                                                             \
    auto&& rvk_try_result_ = (expr);                               \
    if (!rvk_try_result_.ok()) return std::move(rvk_try_result_).error(); \
  } while (0)

// `RVK_TRY_ASSIGN(auto x, f());` declares `x` from the value of f()'s Result,
// or returns its error from the enclosing function.
#define RVK_TRY_ASSIGN(decl, expr) \
  RVK_DETAIL_TRY_ASSIGN(RVK_DETAIL_CONCAT(rvk_try_tmp_, __LINE__), decl, expr)
#define RVK_DETAIL_TRY_ASSIGN(tmp, decl, expr)         \
  auto tmp = (expr);                                   \
  if (!tmp.ok()) return std::move(tmp).error();        \
  decl = std::move(tmp).value()
