// Outcome: the result of a fallible call of the retargeting tool library: a
// value, or a Failure that says what was wrong, in which input file and on
// which line, and where in the code it was raised. Nothing in the library
// throws across its functions; out of memory becomes a Failure too.
#pragma once
#include <cstdint>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <variant>

#include "norvo/result.h"

namespace norvo::retarget {

enum class FailureKind : std::uint8_t {
  BadInput,     // a file that is malformed or does not fit (exit code 2)
  Usage,        // an argument that makes no sense (exit code 1)
  Io,           // a file that cannot be read or written (exit code 2)
  OutOfMemory,  // memory ran out (exit code 3)
  Internal,     // the module failed or is missing (exit code 3)
};

struct Failure {
  FailureKind kind = FailureKind::Internal;
  std::string message;    // what was wrong
  std::string file;       // the input file it concerns; empty when none
  std::int64_t line = 0;  // the line in that file; 0 when none
  SourceLocation where = SourceLocation::current();

  // "file:line: message", "file: message" or "message".
  std::string Text() const;
};

// A text on one line, safe to print to a terminal: control characters as
// \n, \t or \xHH.
std::string Printable(std::string_view text);
// An input quoted in a message: at most `most` bytes of it (whole UTF-8
// letters), "..." marking what is left out.
std::string Excerpt(std::string_view input, std::size_t most = 200);

Failure MakeFailure(FailureKind kind, std::string message, std::string file = {}, std::int64_t line = 0,
                    SourceLocation where = SourceLocation::current());
// A framework error, e.g. "OutOfMemoryError while filling the body parts".
Failure FromError(const Error& error, const char* doing);
// What a caught std::bad_alloc turns into; builds no text on the heap.
Failure OutOfMemory(SourceLocation where = SourceLocation::current()) noexcept;

template <class T>
class [[nodiscard]] Outcome {
 public:
  Outcome(T value) : state_(std::in_place_index<0>, std::move(value)) {}
  Outcome(Failure failure) : state_(std::in_place_index<1>, std::move(failure)) {}

  bool has_value() const noexcept { return state_.index() == 0; }
  explicit operator bool() const noexcept { return has_value(); }
  T& value() & { return std::get<0>(state_); }
  const T& value() const& { return std::get<0>(state_); }
  T&& value() && { return std::get<0>(std::move(state_)); }
  const Failure& failure() const& { return std::get<1>(state_); }
  Failure&& failure() && { return std::get<1>(std::move(state_)); }

 private:
  std::variant<T, Failure> state_;
};

template <>
class [[nodiscard]] Outcome<void> {
 public:
  Outcome() = default;
  Outcome(Failure failure) : failure_(std::move(failure)), failed_(true) {}

  bool has_value() const noexcept { return !failed_; }
  explicit operator bool() const noexcept { return has_value(); }
  const Failure& failure() const& { return failure_; }
  Failure&& failure() && { return std::move(failure_); }

 private:
  Failure failure_;
  bool failed_ = false;
};

}  // namespace norvo::retarget

// Returns the failure of `expr` from the enclosing function.
#define RETARGET_TRY(expr)                                                 \
  do {                                                                     \
    auto&& retarget_outcome_ = (expr);                                     \
    if (!retarget_outcome_) return std::move(retarget_outcome_).failure(); \
  } while (0)

// Declares `decl` from the value of `expr`, or returns its failure from the
// enclosing function. It is several statements: give it braces of its own
// under an `if`.
#define RETARGET_ASSIGN(decl, expr) RETARGET_ASSIGN_IMPL(RETARGET_CONCAT(retarget_outcome_, __COUNTER__), decl, expr)
#define RETARGET_CONCAT_INNER(a, b) a##b
#define RETARGET_CONCAT(a, b) RETARGET_CONCAT_INNER(a, b)
#define RETARGET_ASSIGN_IMPL(tmp, decl, expr) \
  auto tmp = (expr);                          \
  if (!tmp) return std::move(tmp).failure();  \
  decl = std::move(tmp).value()

// Returns the framework error of the Result `expr` from the enclosing
// function, as a Failure that says what was being done.
#define RETARGET_CHECK(expr, doing)                                                                          \
  do {                                                                                                       \
    auto&& retarget_result_ = (expr);                                                                        \
    if (!retarget_result_.has_value()) return ::norvo::retarget::FromError(retarget_result_.error(), doing); \
  } while (0)
