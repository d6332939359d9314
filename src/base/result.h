// Result<T>: either a T or an Error; the one error path of the engine.
//
//   Result<PageRef> r = pager.get_page(n);
//   if (!r) return r.error();
//
// BKF_TRY(expr) evaluates a Result-returning expression, returns its Error
// from the enclosing function on failure, and otherwise yields the value
// (nothing for Result<void>). It is a statement expression, which both
// compilers this project builds with (g++ and clang) support.
#pragma once

#include <cassert>
#include <new>
#include <type_traits>
#include <utility>

#include "base/error.h"

namespace bkf {

template <class T>
class [[nodiscard]] Result {
  static_assert(!std::is_reference_v<T>, "Result holds values, not references");

 public:
  Result(const T& v) : ok_(true) { new (&value_) T(v); }
  Result(T&& v) : ok_(true) { new (&value_) T(std::move(v)); }
  template <class U, class = std::enable_if_t<std::is_constructible_v<T, U&&> &&
                                              !std::is_same_v<std::decay_t<U>, T> &&
                                              !std::is_same_v<std::decay_t<U>, Error> &&
                                              !std::is_same_v<std::decay_t<U>, Result>>>
  Result(U&& v) : ok_(true) {
    new (&value_) T(std::forward<U>(v));
  }
  Result(Error e) : ok_(false) { new (&error_) Error(std::move(e)); }

  Result(const Result& o) : ok_(o.ok_) {
    if (ok_) new (&value_) T(o.value_);
    else new (&error_) Error(o.error_);
  }
  Result(Result&& o) noexcept(std::is_nothrow_move_constructible_v<T>) : ok_(o.ok_) {
    if (ok_) new (&value_) T(std::move(o.value_));
    else new (&error_) Error(std::move(o.error_));
  }
  Result& operator=(Result o) {
    destroy();
    ok_ = o.ok_;
    if (ok_) new (&value_) T(std::move(o.value_));
    else new (&error_) Error(std::move(o.error_));
    return *this;
  }
  ~Result() { destroy(); }

  bool ok() const noexcept { return ok_; }
  explicit operator bool() const noexcept { return ok_; }

  T& value() & { assert(ok_); return value_; }
  const T& value() const& { assert(ok_); return value_; }
  T&& value() && { assert(ok_); return std::move(value_); }
  T& operator*() & { return value(); }
  const T& operator*() const& { return value(); }
  T* operator->() { return &value(); }
  const T* operator->() const { return &value(); }

  const Error& error() const& { assert(!ok_); return error_; }
  Error&& error() && { assert(!ok_); return std::move(error_); }

 private:
  void destroy() {
    if (ok_) value_.~T();
    else error_.~Error();
  }

  union {
    T value_;
    Error error_;
  };
  bool ok_;
};

template <>
class [[nodiscard]] Result<void> {
 public:
  Result() noexcept : ok_(true) {}
  Result(Error e) : ok_(false) { new (&error_) Error(std::move(e)); }
  Result(const Result& o) : ok_(o.ok_) {
    if (!ok_) new (&error_) Error(o.error_);
  }
  Result(Result&& o) noexcept : ok_(o.ok_) {
    if (!ok_) new (&error_) Error(std::move(o.error_));
  }
  Result& operator=(Result o) {
    if (!ok_) error_.~Error();
    ok_ = o.ok_;
    if (!ok_) new (&error_) Error(std::move(o.error_));
    return *this;
  }
  ~Result() {
    if (!ok_) error_.~Error();
  }

  bool ok() const noexcept { return ok_; }
  explicit operator bool() const noexcept { return ok_; }
  void value() const { assert(ok_); }

  const Error& error() const& { assert(!ok_); return error_; }
  Error&& error() && { assert(!ok_); return std::move(error_); }

 private:
  union {
    Error error_;
  };
  bool ok_;
};

using Status = Result<void>;

inline Status ok_status() { return Status(); }

}  // namespace bkf

#define BKF_TRY(expr)                                            \
  ({                                                             \
    auto&& bkf_try_result_ = (expr);                             \
    if (!bkf_try_result_.ok()) return std::move(bkf_try_result_).error(); \
    std::move(bkf_try_result_).value();                          \
  })
